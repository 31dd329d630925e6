# GTK 4 through gtkmm with libadwaita, for the programs that have windows (the main application,
# the add tool, the Today window). The library and the companion never link it.
pkg_check_modules(GTKMM REQUIRED IMPORTED_TARGET gtkmm-4.0>=4.8)
pkg_check_modules(ADWAITA REQUIRED IMPORTED_TARGET libadwaita-1>=1.2)

# The versions Debian 12 ships: calls newer than these are compile errors, not surprises on a
# user's machine.
add_library(porvane_gtk INTERFACE)
target_link_libraries(porvane_gtk INTERFACE PkgConfig::GTKMM PkgConfig::ADWAITA)
target_compile_definitions(porvane_gtk INTERFACE
  GDK_VERSION_MIN_REQUIRED=GDK_VERSION_4_8 GDK_VERSION_MAX_ALLOWED=GDK_VERSION_4_8
  ADW_VERSION_MIN_REQUIRED=ADW_VERSION_1_2 ADW_VERSION_MAX_ALLOWED=ADW_VERSION_1_2)
