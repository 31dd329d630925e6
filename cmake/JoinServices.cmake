# Joins the tracking modules into the one services script that the programs load and that a
# signed service update replaces as a whole.
#
#   cmake -DOUTPUT=<Services.js> -DMODULES_DIR=<resources/scripts/services> -P JoinServices.cmake
#
# Order: _header.js first when present, then every other module sorted by file name. Each
# module runs inside its own function, so helpers of one carrier never collide with another's.
# The output is UTF-8 without a byte-order mark (a signed file must be served byte for byte).

if(NOT OUTPUT OR NOT MODULES_DIR)
  message(FATAL_ERROR "JoinServices.cmake needs OUTPUT and MODULES_DIR")
endif()

file(GLOB modules RELATIVE "${MODULES_DIR}" "${MODULES_DIR}/*.js")
list(SORT modules)
list(REMOVE_ITEM modules "_header.js")

set(text "// Generated from resources/scripts/services by the build. Do not edit.\n")
if(EXISTS "${MODULES_DIR}/_header.js")
  file(READ "${MODULES_DIR}/_header.js" header)
  string(APPEND text "\n// ---- _header.js\n${header}\n")
endif()
foreach(module IN LISTS modules)
  # An editor's byte-order mark would land in the middle of the joined file.
  file(READ "${MODULES_DIR}/${module}" head LIMIT 3 HEX)
  if(head STREQUAL "efbbbf")
    file(READ "${MODULES_DIR}/${module}" body OFFSET 3)
  else()
    file(READ "${MODULES_DIR}/${module}" body)
  endif()
  string(APPEND text "\n// ---- ${module}\n(function () {\n${body}\n})();\n")
endforeach()

# Write through a temporary file so that an interrupted build never leaves half a script.
file(WRITE "${OUTPUT}.tmp" "${text}")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
