#include "sync/QBYSyncDocument.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>

#include "model/QBYSyncObject.h"
#include "platform/Log.h"
#include "sync/QBYDeliveryDocument.h"
#include "sync/QBYFileCoordinator.h"

namespace qby {
namespace {

constexpr const char* kBinaryPropertyListType = "com.apple.binary-property-list";

QBYError posixError(int code, const std::filesystem::path& file) {
  return QBYError::make(QBYErrorDomainPOSIX, code, std::strerror(code),
                        Dictionary{{"NSFilePath", Value(file.string())}});
}

QBYError coordinationError(const std::string& reason, const std::filesystem::path& file) {
  return QBYError::make(QBYErrorDomainPOSIX, EWOULDBLOCK, reason,
                        Dictionary{{"NSFilePath", Value(file.string())}});
}

// Reads the whole file, refusing one larger than any delivery document can be.
std::optional<std::string> readWholeFile(const std::filesystem::path& file, QBYError* error) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    setError(error, posixError(errno, file));
    return std::nullopt;
  }
  std::string bytes;
  char buffer[65536];
  for (;;) {
    const ssize_t count = ::read(fd, buffer, sizeof buffer);
    if (count < 0) {
      if (errno == EINTR) continue;
      const int code = errno;
      ::close(fd);
      setError(error, posixError(code, file));
      return std::nullopt;
    }
    if (count == 0) break;
    if (bytes.size() + static_cast<std::size_t>(count) > QBYDeliveryDocumentMaximumSize) {
      ::close(fd);
      setError(error, posixError(EFBIG, file));
      return std::nullopt;
    }
    bytes.append(buffer, static_cast<std::size_t>(count));
  }
  ::close(fd);
  return bytes;
}

std::optional<Date> contentModificationDate(const std::filesystem::path& file, QBYError* error) {
  struct stat info {};
  if (::stat(file.c_str(), &info) != 0) {
    setError(error, posixError(errno, file));
    return std::nullopt;
  }
  return Date(static_cast<double>(info.st_mtim.tv_sec) +
              static_cast<double>(info.st_mtim.tv_nsec) / 1e9);
}

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t count = ::write(fd, bytes.data(), bytes.size());
    if (count < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(count));
  }
  return true;
}

// Writes the bytes to a temporary file beside the target and moves it into place, so a
// reader sees the old file or the new one, never a part. When creating, the move refuses to
// replace a file that appeared meanwhile. A new file gets the usual permissions (the umask
// decides), since it is a document the user handles, not private data.
bool writeFile(const std::filesystem::path& target, std::string_view bytes, bool create,
               QBYError* error) {
  const std::filesystem::path folder = target.has_parent_path() ? target.parent_path() : ".";
  std::string temporary = (folder / ("." + target.filename().string() + ".XXXXXX")).string();
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) {
    setError(error, posixError(errno, target));
    return false;
  }
  const mode_t mask = ::umask(0);
  ::umask(mask);
  mode_t mode = 0666 & ~mask;
  struct stat existing {};
  if (!create && ::stat(target.c_str(), &existing) == 0) mode = existing.st_mode & 07777;
  bool written = ::fchmod(fd, mode) == 0 && writeAll(fd, bytes) && ::fsync(fd) == 0;
  int code = written ? 0 : errno;
  if (::close(fd) != 0 && written) {
    written = false;
    code = errno;
  }
  if (written) {
    if (create) {
      if (::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) !=
          0) {
        code = errno;
        // File systems without the no-replace move: a hard link fails on an existing name
        // just as well.
        if (code == EINVAL || code == ENOSYS) {
          code = ::link(temporary.c_str(), target.c_str()) == 0 ? 0 : errno;
          ::unlink(temporary.c_str());
        }
        written = code == 0;
      }
    } else if (::rename(temporary.c_str(), target.c_str()) != 0) {
      code = errno;
      written = false;
    }
  }
  if (!written) {
    ::unlink(temporary.c_str());
    setError(error, posixError(code ? code : EIO, target));
    return false;
  }
  // The move is durable only once the folder is on disk too.
  const int folderFD = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folderFD >= 0) {
    ::fsync(folderFD);
    ::close(folderFD);
  }
  return true;
}

bool setModificationDate(const std::filesystem::path& file, Date date, QBYError* error) {
  const double seconds = date.timeIntervalSince1970();
  if (!std::isfinite(seconds)) {
    setError(error, posixError(EINVAL, file));
    return false;
  }
  struct timespec times[2];
  const double whole = std::floor(seconds);
  times[0].tv_sec = static_cast<time_t>(whole);
  times[0].tv_nsec = static_cast<long>((seconds - whole) * 1e9);
  times[1] = times[0];
  if (::utimensat(AT_FDCWD, file.c_str(), times, 0) != 0) {
    setError(error, posixError(errno, file));
    return false;
  }
  return true;
}

// Lets a caller wait for a completion that runs on the file access queue.
struct Waiter {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  bool success = false;

  void finish(bool value) {
    std::lock_guard lock(mutex);
    finished = true;
    success = value;
    done.notify_all();
  }
  // False on time-out.
  bool wait(double seconds) {
    std::unique_lock lock(mutex);
    return done.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return finished; });
  }
};

}  // namespace

QBYSyncDocument::QBYSyncDocument() = default;

QBYSyncDocument::QBYSyncDocument(std::filesystem::path fileURL) : fileURL_(std::move(fileURL)) {}

QBYSyncDocument::~QBYSyncDocument() {
  // Operations still queued refer to this document: let them finish, with their completions,
  // before the fields go.
  if (!fileAccessQueue_.isCurrent()) fileAccessQueue_.waitUntilAllOperationsAreFinished(1e9);
}

void QBYSyncDocument::updateWithObject(const QBYSyncObject& record) {
  uuid_ = record.uuid();
  archived_ = record.archived();
  const double modified = record.modified();
  fileModificationDate_ = modified > 1 ? std::optional<Date>(Date(modified)) : std::nullopt;
  unsavedChanges_ = true;
}

bool QBYSyncDocument::loadFromContents(std::string_view, std::string_view, QBYError* error) {
  setError(error, QBYError::make(QBYSyncErrorDomain, QBYSyncFileReadUnknownError,
                                 "The document cannot read its contents."));
  return false;
}

std::optional<std::string> QBYSyncDocument::contentsForType(std::string_view, QBYError* error) {
  setError(error, QBYError::make(QBYSyncErrorDomain, QBYSyncFileWriteUnknownError,
                                 "The document cannot write its contents."));
  return std::nullopt;
}

Dictionary QBYSyncDocument::attributes() const {
  Dictionary result;
  if (fileModificationDate_) result.set("modified", fileModificationDate_->timeIntervalSince1970());
  return result;
}

std::string QBYSyncDocument::documentType() const {
  return kBinaryPropertyListType;
}

// --- Asynchronous operations ---

void QBYSyncDocument::openWithCompletionHandler(std::function<void(bool)> completion) {
  if (!fileURL_) {
    log("Error reading data: no URL");
    if (completion) completion(false);
    return;
  }
  const std::filesystem::path url = *fileURL_;
  fileAccessQueue_.addOperation([this, url, completion = std::move(completion)] {
    std::string reason;
    auto hold =
        QBYFileCoordinator::coordinate(url, QBYFileCoordinator::Access::Reading, 30, &reason);
    if (!hold) {
      error_ = coordinationError(reason, url);
      log("Error coordinating file reading: %@ %@", *error_, error_->userInfoDescription());
      if (completion) completion(false);
      return;
    }
    readFromURL(url, completion);
  });
}

void QBYSyncDocument::saveToURL(const std::filesystem::path& url, QBYSaveOperation operation,
                                std::function<void(bool)> completion) {
  if (url.empty()) {
    log("Error writing data: no URL");
    if (completion) completion(false);
    return;
  }
  fileAccessQueue_.addOperation([this, url, operation, completion = std::move(completion)] {
    std::string reason;
    auto hold =
        QBYFileCoordinator::coordinate(url, QBYFileCoordinator::Access::Writing, 30, &reason);
    if (!hold) {
      error_ = coordinationError(reason, url);
      log("Error coordinating file writing: %@ %@", *error_, error_->userInfoDescription());
      if (completion) completion(false);
      return;
    }
    writeToURL(url, operation, completion);
  });
}

void QBYSyncDocument::deleteWithCompletionHandler(std::function<void(bool)> completion) {
  if (!fileURL_) {
    log("Error deleting: no URL");
    if (completion) completion(false);
    return;
  }
  const std::filesystem::path url = *fileURL_;
  fileAccessQueue_.addOperation([this, url, completion = std::move(completion)] {
    std::string reason;
    auto hold =
        QBYFileCoordinator::coordinate(url, QBYFileCoordinator::Access::Writing, 30, &reason);
    if (!hold) {
      error_ = coordinationError(reason, url);
      log("Error coordinating file deleting: %@ %@", *error_, error_->userInfoDescription());
      if (completion) completion(false);
      return;
    }
    deleteFromURL(url, completion);
  });
}

void QBYSyncDocument::modificationDateWithCompletionHandler(
    std::function<void(std::optional<Date>)> completion) {
  if (!fileURL_) {
    log("Error checking modification date: no URL");
    if (completion) completion(std::nullopt);
    return;
  }
  const std::filesystem::path url = *fileURL_;
  fileAccessQueue_.addOperation([url, completion = std::move(completion)] {
    std::string reason;
    auto hold =
        QBYFileCoordinator::coordinate(url, QBYFileCoordinator::Access::Reading, 30, &reason);
    if (!hold) {
      const QBYError failure = coordinationError(reason, url);
      log("Error coordinating modification date check: %@ %@", failure,
          failure.userInfoDescription());
      if (completion) completion(std::nullopt);
      return;
    }
    QBYError failure;
    auto date = contentModificationDate(url, &failure);
    if (!date)
      log("Error getting modification date: %@, %@", failure, failure.userInfoDescription());
    if (completion) completion(date);
  });
}

// --- Inside the coordinated access, on the file access queue ---

void QBYSyncDocument::readFromURL(const std::filesystem::path& url,
                                  std::function<void(bool)> completion) {
  error_.reset();
  QBYError failure;
  auto bytes = readWholeFile(url, &failure);
  if (!bytes) {
    log("Error reading data from URL: %@, %@", failure, failure.userInfoDescription());
    error_ = failure;
    if (completion) completion(false);
    return;
  }
  if (!loadFromContents(*bytes, documentType(), &failure)) {
    log("Error loading data from contents: %@, %@", failure, failure.userInfoDescription());
    error_ = failure;
    if (completion) completion(false);
    return;
  }
  fileURL_ = url;
  QBYError dateFailure;
  if (auto date = contentModificationDate(url, &dateFailure)) {
    fileModificationDate_ = date;
  } else {
    log("Error getting modification date: %@, %@", dateFailure, dateFailure.userInfoDescription());
  }
  if (completion) completion(true);
}

void QBYSyncDocument::writeToURL(const std::filesystem::path& url, QBYSaveOperation operation,
                                 std::function<void(bool)> completion) {
  error_.reset();
  QBYError failure;
  auto contents = contentsForType(documentType(), &failure);
  if (!contents) {
    log("Error saving data to URL: %@, %@", failure, failure.userInfoDescription());
    error_ = failure;
    if (completion) completion(false);
    return;
  }
  if (!writeFile(url, *contents, operation == QBYSaveOperation::SaveForCreating, &failure)) {
    log("Error writing data to file: %@, %@", failure, failure.userInfoDescription());
    error_ = failure;
    if (completion) completion(false);
    return;
  }
  fileURL_ = url;
  if (fileModificationDate_) {
    QBYError dateFailure;
    if (!setModificationDate(url, *fileModificationDate_, &dateFailure)) {
      log("Error setting modification date: %@, %@", dateFailure,
          dateFailure.userInfoDescription());
    }
  }
  unsavedChanges_ = false;
  if (completion) completion(true);
}

void QBYSyncDocument::deleteFromURL(const std::filesystem::path& url,
                                    std::function<void(bool)> completion) {
  error_.reset();
  if (::unlink(url.c_str()) != 0) {
    const QBYError failure = posixError(errno, url);
    log("Error deleting file: %@, %@", failure, failure.userInfoDescription());
    error_ = failure;
    if (completion) completion(false);
    return;
  }
  unsavedChanges_ = false;
  if (completion) completion(true);
}

// --- Waiting forms ---

bool QBYSyncDocument::openAndWait(QBYError* error, double timeoutSeconds) {
  auto waiter = std::make_shared<Waiter>();
  openWithCompletionHandler([waiter](bool success) { waiter->finish(success); });
  if (!waiter->wait(timeoutSeconds)) {
    setError(error, QBYError::make(QBYErrorDomainPOSIX, ETIMEDOUT, std::strerror(ETIMEDOUT)));
    return false;
  }
  if (!waiter->success) {
    setError(error, error_.value_or(
                        QBYError::make(QBYErrorDomainPOSIX, ENOENT, "The document has no file.")));
  }
  return waiter->success;
}

bool QBYSyncDocument::saveAndWait(const std::filesystem::path& url, QBYSaveOperation operation,
                                  QBYError* error, double timeoutSeconds) {
  auto waiter = std::make_shared<Waiter>();
  saveToURL(url, operation, [waiter](bool success) { waiter->finish(success); });
  if (!waiter->wait(timeoutSeconds)) {
    setError(error, QBYError::make(QBYErrorDomainPOSIX, ETIMEDOUT, std::strerror(ETIMEDOUT)));
    return false;
  }
  if (!waiter->success) {
    setError(error, error_.value_or(
                        QBYError::make(QBYErrorDomainPOSIX, ENOENT, "The document has no file.")));
  }
  return waiter->success;
}

bool QBYSyncDocument::saveNewFileAndWait(const std::filesystem::path& url, QBYError* error) {
  return saveAndWait(url, QBYSaveOperation::SaveForCreating, error, 120);
}

}  // namespace qby
