#include "platform/Paths.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/FileSystem.h"
#include "platform/Log.h"
#include "platform/QBYError.h"

namespace qby::Paths {

namespace {

namespace fs = std::filesystem;

std::optional<std::string> environment(const char* name) {
  const char* value = std::getenv(name);
  if (!value || !*value) return std::nullopt;
  return std::string(value);
}

fs::path homeFolder() {
  if (auto home = environment("HOME")) return *home;
  // Services started without a login environment have no HOME; the password database knows.
  if (const passwd* entry = getpwuid(getuid()); entry && entry->pw_dir && *entry->pw_dir) {
    return entry->pw_dir;
  }
  return fs::temp_directory_path();
}

// One XDG base folder: below PORVANE_HOME when that is set, else the XDG variable (relative
// values are ignored, as the XDG rules say), else its fallback below the home folder.
fs::path base(const char* portableName, const char* variable, const char* fallback) {
  if (auto portable = environment("PORVANE_HOME")) return fs::path(*portable) / portableName;
  if (auto value = environment(variable); value && fs::path(*value).is_absolute()) return *value;
  return homeFolder() / fallback;
}

fs::path created(const fs::path& folder) {
  if (!ensureDirectory(folder))
    log("Error creating folder %@: %@", folder.string(), strerror(errno));
  return folder;
}

}  // namespace

fs::path sharedContainer() {
  return created(base("data", "XDG_DATA_HOME", ".local/share") / "porvane");
}

fs::path privateContainer() {
  return created(base("config", "XDG_CONFIG_HOME", ".config") / "porvane");
}

fs::path sharedCaches() {
  return created(base("cache", "XDG_CACHE_HOME", ".cache") / "porvane" / "shared");
}

fs::path caches() {
  return created(base("cache", "XDG_CACHE_HOME", ".cache") / "porvane" / "local");
}

fs::path logs() {
  return created(sharedContainer() / "Logs");
}

bool ensureDirectory(const fs::path& folder) {
  if (folder.empty()) return false;
  struct stat info {};
  if (::stat(folder.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) return true;
    errno = ENOTDIR;
    return false;
  }
  // Create from the top down, so that every folder made here gets mode 0700; folders that
  // exist keep theirs.
  fs::path partial;
  for (const fs::path& component : folder.lexically_normal()) {
    partial /= component;
    if (component.empty() || component == partial.root_path()) continue;
    if (::mkdir(partial.c_str(), 0700) == 0) continue;
    const int error = errno;
    if (error != EEXIST) return false;
    if (::stat(partial.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
      errno = ENOTDIR;
      return false;
    }
  }
  return true;
}

bool writeFileAtomically(const fs::path& target, std::string_view bytes, std::string* error) {
  return FileSystem::current().writeFileAtomically(target, bytes, error);
}

std::optional<std::string> readFile(const fs::path& file) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string contents;
  char buffer[65536];
  while (true) {
    const ssize_t count = ::read(fd, buffer, sizeof buffer);
    if (count < 0) {
      if (errno == EINTR) continue;
      ::close(fd);
      return std::nullopt;
    }
    if (count == 0) break;
    contents.append(buffer, static_cast<std::size_t>(count));
  }
  ::close(fd);
  return contents;
}

}  // namespace qby::Paths
