#include "platform/Resources.h"

#include <dlfcn.h>

#include <cstdlib>
#include <system_error>

namespace qby::Resources {
namespace {

// The folder that holds the installed library: resources lie in <prefix>/share/porvane when
// the library is in <prefix>/lib or <prefix>/lib/<multiarch>.
std::vector<std::filesystem::path> installedFolders() {
  std::vector<std::filesystem::path> folders;
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&searchFolders), &info) && info.dli_fname) {
    std::error_code error;
    const auto library = std::filesystem::canonical(info.dli_fname, error);
    if (!error) {
      auto prefix = library.parent_path().parent_path();
      folders.push_back(prefix / "share" / "porvane");
      folders.push_back(prefix.parent_path() / "share" / "porvane");
    }
  }
  folders.emplace_back(PORVANE_RESOURCE_INSTALL_DIR);
  return folders;
}

}  // namespace

std::vector<std::filesystem::path> searchFolders() {
  std::vector<std::filesystem::path> folders;
#ifdef PORVANE_TEST_HOOKS
  // Tests and benchmarks point this at fixture scripts. Programs users run never read it: a
  // services script from elsewhere would see every password the user stored.
  if (const char* dir = std::getenv("PORVANE_RESOURCE_DIR"); dir && *dir) folders.emplace_back(dir);
#endif
  for (auto& folder : installedFolders()) folders.push_back(std::move(folder));
  // Files the build generates (the joined services script) live in the build tree.
  folders.emplace_back(PORVANE_RESOURCE_BUILD_DIR);
  folders.emplace_back(PORVANE_RESOURCE_SOURCE_DIR);

  std::vector<std::filesystem::path> existing;
  for (auto& folder : folders) {
    std::error_code error;
    if (!std::filesystem::is_directory(folder, error)) continue;
    bool seen = false;
    for (const auto& other : existing)
      seen = seen || std::filesystem::equivalent(other, folder, error);
    if (!seen) existing.push_back(std::move(folder));
  }
  return existing;
}

std::optional<std::filesystem::path> pathForResource(std::string_view name,
                                                     std::string_view extension,
                                                     std::string_view subfolder) {
  if (name.empty()) return std::nullopt;
  // A name is one path component: "../x" must not reach outside the resource folders.
  if (name.find('/') != std::string_view::npos || name == "." || name == "..") return std::nullopt;
  std::string file(name);
  if (!extension.empty()) {
    file += '.';
    file += extension;
  }
  for (const auto& folder : searchFolders()) {
    auto candidate = subfolder.empty() ? folder / file : folder / subfolder / file;
    std::error_code error;
    if (std::filesystem::is_regular_file(candidate, error)) return candidate;
  }
  return std::nullopt;
}

const char* version() {
  return PORVANE_VERSION;
}

unsigned buildNumber() {
  return PORVANE_BUILD_NUMBER;
}

}  // namespace qby::Resources
