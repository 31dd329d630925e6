// Cross-process coordination of one file's readers and writers. Readers share the file,
// a writer has it alone: a coordinated write waits for the readers and writers in every
// program of the suite, a coordinated read waits for writers only. The lock is not the
// document itself (an atomic write replaces its inode, and a lock there would not survive
// the replacement) but a small lock file in the shared caches named after the document's
// absolute path, so every program that coordinates on a path meets at the same lock file.
//
// Threads: any; a held access belongs to the object that holds it and ends with it.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace qby {

class QBYFileCoordinator {
 public:
  enum class Access { Reading, Writing };

  // An access held while this object lives.
  class Hold {
   public:
    Hold(Hold&& other) noexcept;
    Hold& operator=(Hold&& other) noexcept;
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;
    ~Hold();

   private:
    friend class QBYFileCoordinator;
    explicit Hold(int fd) : fd_(fd) {}
    int fd_ = -1;
  };

  // Waits at most timeoutSeconds for the access to the file. Nothing, with the reason in
  // *error, when the lock file cannot be made or the wait times out (a program that hangs
  // while it writes must not hang every reader for good).
  static std::optional<Hold> coordinate(const std::filesystem::path& file, Access access,
                                        double timeoutSeconds = 30, std::string* error = nullptr);

  // The lock file that stands for the file.
  static std::filesystem::path lockFileForPath(const std::filesystem::path& file);
};

}  // namespace qby
