// Finds the resources that ship with the library (scripts, lists, templates, certificate).
// Folders are searched in this order:
//   1. $PORVANE_RESOURCE_DIR, when set, in test builds only (tests point it at fixtures);
//   2. the data folder beside the installed library (<prefix>/share/porvane);
//   3. the build tree's share/porvane folder, which holds what the build generates (the
//      joined services script);
//   4. the source tree's resources folder, so programs run from a build tree.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qby::Resources {

std::vector<std::filesystem::path> searchFolders();

// The first existing file <folder>/<subfolder>/<name>.<extension>, or nothing. An empty name
// answers nothing.
std::optional<std::filesystem::path> pathForResource(std::string_view name,
                                                     std::string_view extension,
                                                     std::string_view subfolder = {});

// The program's version text and build number, fixed at build time.
const char* version();
unsigned buildNumber();

}  // namespace qby::Resources
