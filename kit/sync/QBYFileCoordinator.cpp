#include "sync/QBYFileCoordinator.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>
#include <thread>

#include "platform/Paths.h"
#include "util/QBYDigest.h"

namespace qby {

QBYFileCoordinator::Hold::Hold(Hold&& other) noexcept : fd_(other.fd_) {
  other.fd_ = -1;
}

QBYFileCoordinator::Hold& QBYFileCoordinator::Hold::operator=(Hold&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

QBYFileCoordinator::Hold::~Hold() {
  // Closing the descriptor releases its flock.
  if (fd_ >= 0) ::close(fd_);
}

std::filesystem::path QBYFileCoordinator::lockFileForPath(const std::filesystem::path& file) {
  std::error_code ignored;
  // Two spellings of one path ("a/../b", a relative one) must meet at one lock.
  std::filesystem::path absolute = std::filesystem::weakly_canonical(file, ignored);
  if (absolute.empty()) absolute = std::filesystem::absolute(file, ignored);
  if (absolute.empty()) absolute = file;
  const auto digest = QBYSHA256Hash(std::string_view(absolute.native()));
  return Paths::sharedCaches() / "FileCoordination" / (digest.value_or("unnamed") + ".lock");
}

std::optional<QBYFileCoordinator::Hold> QBYFileCoordinator::coordinate(
    const std::filesystem::path& file, Access access, double timeoutSeconds, std::string* error) {
  const std::filesystem::path lockFile = lockFileForPath(file);
  if (!Paths::ensureDirectory(lockFile.parent_path())) {
    if (error) *error = "cannot create " + lockFile.parent_path().string();
    return std::nullopt;
  }
  const int fd = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    if (error) *error = lockFile.string() + ": " + std::strerror(errno);
    return std::nullopt;
  }
  Hold hold(fd);
  const int operation = access == Access::Writing ? LOCK_EX : LOCK_SH;
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration<double>(timeoutSeconds > 0 ? timeoutSeconds : 0);
  // Polling keeps the wait bounded; flock itself has no time-out.
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    if (::flock(fd, operation | LOCK_NB) == 0) return hold;
    if (errno != EWOULDBLOCK && errno != EINTR) {
      if (error) *error = lockFile.string() + ": " + std::strerror(errno);
      return std::nullopt;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      if (error) *error = "timed out waiting for other programs to finish with " + file.string();
      return std::nullopt;
    }
    std::this_thread::sleep_for(pause);
    if (pause < std::chrono::milliseconds(50)) pause *= 2;
  }
}

}  // namespace qby
