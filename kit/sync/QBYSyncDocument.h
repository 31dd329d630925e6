// A file that holds one synced record as a property list, read and written by several programs
// of the suite (the application, the previewer, the metadata extractor) and by the desktop's
// own file services. Every access to the file runs on the document's serial file access
// queue, one after the other, and under a cross-process file lock (QBYFileCoordinator), so
// no program ever reads a half-written file or two programs write one file at once. Writes
// replace the file atomically.
//
// QBYDeliveryDocument (QBYDeliveryDocument.h) is the subclass for one delivery; this base
// cannot read or write contents by itself (codes 101 and 102).
//
// Threads: create, fill and read a document on one thread (the caller's). The asynchronous
// operations run on the file access queue and call their completion there, never on the
// caller's thread: a user interface hops back to its main loop itself. Do not read or change
// the document's fields while one of its operations is in flight, and do not destroy the
// document from its own completion; destroying it waits for its operations to finish.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Date.h"
#include "platform/QBYError.h"
#include "platform/QBYOperationQueue.h"
#include "platform/Value.h"
#include "sync/QBYSyncManager.h"

namespace qby {

class QBYSyncObject;

// Failures of the file system itself; the code is errno's.
inline constexpr const char* QBYErrorDomainPOSIX = "NSPOSIXErrorDomain";

// Document errors, in QBYSyncErrorDomain ("com.quillbay.sync").
enum QBYSyncFileErrorCode : std::int64_t {
  QBYSyncFileFormatError = 100,        // the file is not in the right format
  QBYSyncFileReadUnknownError = 101,   // the base class cannot read contents
  QBYSyncFileWriteUnknownError = 102,  // the base class cannot produce contents
  QBYSyncFileEmptyError = 103,         // the file is empty
};

// How a save treats an existing file.
enum class QBYSaveOperation {
  // Replaces the file atomically.
  SaveOverwriting = 0,
  // Creates the file; fails and leaves it as it was when it exists already.
  SaveForCreating = 1,
};

class QBYSyncDocument {
 public:
  QBYSyncDocument();
  explicit QBYSyncDocument(std::filesystem::path fileURL);
  virtual ~QBYSyncDocument();
  QBYSyncDocument(const QBYSyncDocument&) = delete;
  QBYSyncDocument& operator=(const QBYSyncDocument&) = delete;

  // Takes uuid, archived and modified (as the modification date) from the record and marks
  // the document as having unsaved changes. Call on the record's context queue.
  virtual void updateWithObject(const QBYSyncObject& record);

  // Reads the file into the document. On success fileModificationDate is the file's time.
  void openWithCompletionHandler(std::function<void(bool success)> completion);
  // Writes the document to the file; on success fileURL becomes that file and the file's
  // modification time is set to fileModificationDate (when known).
  void saveToURL(const std::filesystem::path& url, QBYSaveOperation operation,
                 std::function<void(bool success)> completion);
  void deleteWithCompletionHandler(std::function<void(bool success)> completion);
  // The file's modification time as a coordinated read sees it; nothing when unreadable.
  void modificationDateWithCompletionHandler(
      std::function<void(std::optional<Date> date)> completion);

  // The same operations, waiting on the calling thread for at most timeoutSeconds (never
  // call them on the document's own queue). False, with the document's error in *error, on
  // failure or time-out.
  bool openAndWait(QBYError* error = nullptr, double timeoutSeconds = 120);
  bool saveAndWait(const std::filesystem::path& url, QBYSaveOperation operation,
                   QBYError* error = nullptr, double timeoutSeconds = 120);

  // Turns the bytes of a file into the document's fields; the base fails with code 101.
  virtual bool loadFromContents(std::string_view data, std::string_view type, QBYError* error);
  // The bytes to write; the base fails with code 102.
  virtual std::optional<std::string> contentsForType(std::string_view type, QBYError* error);

  // "modified" (seconds since 1970) when the modification date is known.
  virtual Dictionary attributes() const;
  virtual std::string documentType() const;

  const std::optional<std::filesystem::path>& fileURL() const { return fileURL_; }
  const std::optional<Date>& fileModificationDate() const { return fileModificationDate_; }
  void setFileModificationDate(std::optional<Date> date) { fileModificationDate_ = date; }
  bool unsavedChanges() const { return unsavedChanges_; }
  // The error of the last operation; cleared when the next one starts.
  const std::optional<QBYError>& error() const { return error_; }

  const std::optional<std::string>& uuid() const { return uuid_; }
  void setUuid(std::optional<std::string> uuid) { uuid_ = std::move(uuid); }
  bool archived() const { return archived_; }
  void setArchived(bool archived) { archived_ = archived; }

 protected:
  // Makes a document of the caller's class: fill it, then save it as a new file and wait.
  bool saveNewFileAndWait(const std::filesystem::path& url, QBYError* error);

 private:
  void readFromURL(const std::filesystem::path& url, std::function<void(bool)> completion);
  void writeToURL(const std::filesystem::path& url, QBYSaveOperation operation,
                  std::function<void(bool)> completion);
  void deleteFromURL(const std::filesystem::path& url, std::function<void(bool)> completion);

  std::optional<std::filesystem::path> fileURL_;
  std::optional<Date> fileModificationDate_;
  bool unsavedChanges_ = false;
  std::optional<QBYError> error_;
  std::optional<std::string> uuid_;
  bool archived_ = false;
  // Last member: destroyed first, so operations still running see every field alive.
  QBYOperationQueue fileAccessQueue_{"fileAccessQueue"};
};

}  // namespace qby
