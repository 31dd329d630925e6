# Precompiled headers, shared by families of targets. A large share of a unit's compile time, up
# to two thirds in the windowed programs, goes to parsing the same few headers (the standard
# library, GLib, gtkmm, GoogleTest) again; each family parses them once, into a small target of
# its own, and its members reuse the result. In the sanitized clang build a unit took 0.51 of its
# time without the header in the GUI tests, 0.82 in the other tests and 0.83 in the library.
#
# A precompiled header is used only with the options it was built with, and position-independent
# code differs between libraries (-fPIC) and programs (-fPIE): a family therefore serves either
# static libraries or programs, never both. GCC passes a mismatched header over, clang refuses it
# (as it does for graphene's SSE flags, which only the programs that link GTK get).
#
# Turn PORVANE_PCH off to check that every file includes what it uses.
option(PORVANE_PCH "Precompile the headers most units parse" ON)
if(PORVANE_PCH)
  # A header built with other options is passed over in silence, and the unit parses everything
  # again: say so.
  add_compile_options(-Winvalid-pch)
endif()

# porvane_pch_family(<family> LIBRARY|PROGRAM HEADERS <header…> LIBRARIES <lib…>)
# LIBRARIES provide the headers' include folders and definitions, as they do for the members.
function(porvane_pch_family family)
  cmake_parse_arguments(ARG "LIBRARY;PROGRAM" "" "HEADERS;LIBRARIES" ${ARGN})
  if(NOT PORVANE_PCH)
    return()
  endif()
  set(target porvane_pch_${family})
  if(ARG_PROGRAM)
    add_executable(${target} ${CMAKE_SOURCE_DIR}/cmake/pch/program.cpp)
  elseif(ARG_LIBRARY)
    add_library(${target} OBJECT ${CMAKE_SOURCE_DIR}/cmake/pch/library.cpp)
  else()
    message(FATAL_ERROR "porvane_pch_family(${family}): say LIBRARY or PROGRAM")
  endif()
  target_link_libraries(${target} PRIVATE ${ARG_LIBRARIES})
  target_precompile_headers(${target} PRIVATE ${ARG_HEADERS})
endfunction()

# porvane_use_pch(<target> <family>)
function(porvane_use_pch target family)
  if(PORVANE_PCH)
    target_precompile_headers(${target} REUSE_FROM porvane_pch_${family})
  endif()
endfunction()

# The standard library headers the library's and the tests' files include most often.
set(PORVANE_PCH_STANDARD_HEADERS
  <algorithm> <atomic> <chrono> <cstddef> <cstdint> <cstdlib> <cstring> <filesystem>
  <functional> <map> <memory> <mutex> <optional> <string> <string_view> <utility> <vector>)
