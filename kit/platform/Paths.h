// Where the programs keep their files. Every location comes from here; QBYDataStore's class
// operations answer these.
//
//   shared container   $XDG_DATA_HOME/porvane          (store, shared defaults, messages)
//   private container  $XDG_CONFIG_HOME/porvane        (a program's own settings)
//   shared caches      $XDG_CACHE_HOME/porvane/shared  (downloaded service scripts)
//   caches             $XDG_CACHE_HOME/porvane/local
//   logs               <shared container>/Logs
//
// When the environment variable PORVANE_HOME is set, the three XDG bases become
// $PORVANE_HOME/data, $PORVANE_HOME/config and $PORVANE_HOME/cache, so tests and portable
// installations never touch the user's home. Folders are created (mode 0700) when missing.
// The environment is read on every call, so a test that sets PORVANE_HOME sees it at once.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace qby::Paths {

// The application group shared by all programs of the suite.
inline constexpr const char* kAppGroupID = "QX7T2LM9RA.com.quillbay.Porvane";

std::filesystem::path sharedContainer();
std::filesystem::path privateContainer();
std::filesystem::path sharedCaches();
std::filesystem::path caches();
std::filesystem::path logs();

// Creates the folder and its parents with mode 0700 when missing. False when that fails.
bool ensureDirectory(const std::filesystem::path& folder);

// FileSystem::current().writeFileAtomically: the bytes replace the target whole or not at all.
bool writeFileAtomically(const std::filesystem::path& target, std::string_view bytes,
                         std::string* error = nullptr);

// The whole file, or nothing when it cannot be read.
std::optional<std::string> readFile(const std::filesystem::path& file);

}  // namespace qby::Paths
