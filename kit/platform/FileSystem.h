// The file operations whose failures decide whether the user's settings, logs and versions
// survive: atomic replacement of a file, renaming, and the cross-process lock beside a file.
// Everything in the library that writes such a file goes through FileSystem::current(), so a
// test can make exactly these operations fail (a full disk, a read-only folder, a lock that
// cannot be taken) and check that nothing is lost and the failure is reported.
//
// The real implementation is this class itself; a test derives from it and overrides what
// should fail. Only test builds can replace the process's instance.
//
// Threads: any. The operations keep no state of their own; an installed test instance must
// outlive every call made while it is installed.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace qby {

// An exclusive cross-process lock, held while this object lives. flock() locks belong to the
// open file description, so two holders in one process exclude each other too.
class FileLock {
 public:
  FileLock(FileLock&& other) noexcept;
  FileLock& operator=(FileLock&& other) noexcept;
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  ~FileLock();

 private:
  friend class FileSystem;
  explicit FileLock(int fd) : fd_(fd) {}
  int fd_ = -1;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // The file system the library uses.
  static FileSystem& current();

  // Writes the bytes to a temporary file beside the target, flushes it to disk and renames it
  // over the target, so readers see the old or the new content, never a part. The folder must
  // exist. A replaced file keeps its permissions; a new one is readable by the owner only.
  // Answers false and leaves the target untouched on failure (the temporary file is removed);
  // the error text goes to *error when given.
  virtual bool writeFileAtomically(const std::filesystem::path& target, std::string_view bytes,
                                   std::string* error = nullptr);

  // Renames a file, replacing the target. Answers false with errno's text in *error.
  virtual bool rename(const std::filesystem::path& from, const std::filesystem::path& to,
                      std::string* error = nullptr);

  // Waits for the exclusive lock on the file (created, mode 0600, when missing). Nothing, with
  // the reason in *error, when the file cannot be opened or locked.
  virtual std::optional<FileLock> lock(const std::filesystem::path& lockFile,
                                       std::string* error = nullptr);

#ifdef PORVANE_TEST_HOOKS
  // Makes the given file system the process's until the override goes.
  class Override {
   public:
    explicit Override(FileSystem& replacement);
    ~Override();
    Override(const Override&) = delete;
    Override& operator=(const Override&) = delete;

   private:
    FileSystem* previous_;
  };
#endif
};

}  // namespace qby
