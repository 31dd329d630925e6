#include "platform/FileSystem.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

namespace qby {

namespace fs = std::filesystem;

namespace {

FileSystem* gOverride = nullptr;

std::string errorText(const char* action, const fs::path& path, int error) {
  return std::string(action) + " " + path.string() + ": " + strerror(error);
}

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

}  // namespace

FileLock::FileLock(FileLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

FileLock::~FileLock() {
  if (fd_ >= 0) ::close(fd_);  // closing releases the lock
}

FileSystem& FileSystem::current() {
  static FileSystem real;
  return gOverride ? *gOverride : real;
}

bool FileSystem::writeFileAtomically(const fs::path& target, std::string_view bytes,
                                     std::string* error) {
  const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
  std::string name = ".";
  name += target.filename().string();
  name += ".XXXXXX";
  std::string temporary = (folder / name).string();

  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) {
    if (error) *error = errorText("Cannot create a temporary file beside", target, errno);
    return false;
  }
  // A replaced file keeps its permissions; a new one stays private (mkstemp's 0600).
  if (struct stat existing{}; ::stat(target.c_str(), &existing) == 0) {
    ::fchmod(fd, existing.st_mode & 07777);
  }

  int failure = 0;
  const char* action = nullptr;
  if (!writeAll(fd, bytes)) {
    failure = errno;
    action = "Cannot write";
  } else if (::fsync(fd) != 0) {
    failure = errno;
    action = "Cannot flush";
  }
  if (::close(fd) != 0 && !failure) {
    failure = errno;
    action = "Cannot close";
  }
  if (!failure && ::rename(temporary.c_str(), target.c_str()) != 0) {
    failure = errno;
    action = "Cannot replace";
  }
  if (failure) {
    ::unlink(temporary.c_str());
    if (error) *error = errorText(action, target, failure);
    return false;
  }

  // Makes the rename itself durable; the data is already safe, so a failure here is ignored.
  if (const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
}

bool FileSystem::rename(const fs::path& from, const fs::path& to, std::string* error) {
  if (::rename(from.c_str(), to.c_str()) == 0) return true;
  if (error) *error = strerror(errno);
  return false;
}

std::optional<FileLock> FileSystem::lock(const fs::path& lockFile, std::string* error) {
  const int fd = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    if (error) *error = strerror(errno);
    return std::nullopt;
  }
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno == EINTR) continue;
    if (error) *error = strerror(errno);
    ::close(fd);
    return std::nullopt;
  }
  return FileLock(fd);
}

#ifdef PORVANE_TEST_HOOKS
FileSystem::Override::Override(FileSystem& replacement) : previous_(gOverride) {
  gOverride = &replacement;
}

FileSystem::Override::~Override() {
  gOverride = previous_;
}
#endif

}  // namespace qby
