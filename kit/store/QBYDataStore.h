// The delivery store of a program: finds the one database file in the shared container, opens
// (and migrates) it with the delivery model, hands out contexts, saves, deletes in bulk,
// destroys the store on request and turns failures into one user-facing error. It also keeps
// the build-number bookkeeping with which the programs notice upgrades, downgrades and an
// installation replaced while it runs, and it makes the cache folders.
//
// Each program makes one store at launch, checks available(), and hands it to the deliveries
// manager. Several programs open the same file at once; each learns of the others' writes
// through inter-process messages and then calls refreshObjects().
//
// Threads: make the store on the main thread (the view context belongs to it). saveData,
// refreshObjects and deleteObjectsWithIDs run on the queue of the context they use and wait,
// so they may be called from any thread except from inside a block already running on that
// queue. Class operations may be called from any thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/QBYError.h"
#include "store/core/QBYManagedObjectContext.h"
#include "store/core/QBYPersistentStore.h"

namespace qby {

class QBYUserDefaults;
class QBYOperationQueue;

inline constexpr const char* QBYDataStoreErrorDomain = "com.quillbay.datastore";
inline constexpr std::int64_t QBYDataStoreFatalErrorCode = 100;
// Where the recovery suggestion of the user-facing error is kept in its user information.
inline constexpr const char* QBYLocalizedRecoverySuggestionErrorKey =
    "NSLocalizedRecoverySuggestion";
// Why opening or saving failed, in the database's words ("file is not a database", "database
// or disk is full", "attempt to write a readonly database"), and which file it was.
inline constexpr const char* QBYLocalizedFailureReasonErrorKey = "NSLocalizedFailureReason";
inline constexpr const char* QBYFilePathErrorKey = "NSFilePath";

inline constexpr const char* QBYLastInstalledVersionKey = "QBYLastInstalledVersion";
inline constexpr const char* QBYLastOpenedVersionKey = "QBYLastOpenedVersion";
inline constexpr const char* QBYCurrentVersionFirstLaunchDateKey =
    "QBYCurrentVersionFirstLaunchDate";

class QBYDataStore {
 public:
  // --- Class operations -------------------------------------------------------------------

  // This program's build number, compiled in.
  static unsigned currentVersion();
  // "QBYLastInstalledVersion" of the shared defaults.
  static unsigned previousVersion();
  // The build number of the installation on disk, read again from the "BUILD" file the install
  // step puts into the resource folder; 0 when it cannot be read. Differs from currentVersion
  // when the programs were replaced while this one runs.
  static unsigned installedVersion();
  // "QBYLastOpenedVersion" of the shared defaults.
  static unsigned lastOpenedVersion();
  // Calendar days since the current build was first launched; when that date is missing it is
  // set to now and 0 is answered.
  static std::int64_t daysSinceCurrentVersionFirstLaunch();
  // The application group's defaults, with the values every program relies on registered at
  // the first call ("QBYSortMode" 1, "playsounds" true), so that a command that only reads the
  // store sorts and sounds as the programs do.
  static QBYUserDefaults& sharedDefaults();
  // Registers those values in the given defaults.
  static void registerSharedDefaults(QBYUserDefaults& defaults);

  static std::filesystem::path privateContainerURL();
  static std::filesystem::path sharedContainerURL();
  static std::filesystem::path sharedCachesURL();
  static std::filesystem::path cachesURL();
  static std::filesystem::path storeURL();
  // Folder for per-record files for desktop search; made when missing.
  static std::filesystem::path externalRecordsURL();
  // (shared caches or caches) + name, emptied: whatever lies there is removed first, and with
  // create an empty folder is made (intermediate folders included). The path is answered also
  // after a failure (logged); nothing when the caches folder is unknown or the name would
  // leave it.
  static std::optional<std::filesystem::path> cacheURLNamed(const std::string& name, bool shared,
                                                            bool create);
  static std::shared_ptr<const QBYManagedObjectModel> managedObjectModel();

  // --- Instance -------------------------------------------------------------------------------

  // Opens the store at storeURL().
  QBYDataStore();
  // Opens the store at the given file (tests, tools); the version bookkeeping is the same.
  explicit QBYDataStore(std::optional<std::filesystem::path> storeFile);
  ~QBYDataStore();
  QBYDataStore(const QBYDataStore&) = delete;
  QBYDataStore& operator=(const QBYDataStore&) = delete;

  // The store opened without error. False with error() set is the failed state: nothing may be
  // read or written; the user can reset the data (deleteStore, then a new store).
  bool available() const { return available_; }
  // The last fatal error, for the user interface to show; absent while all is well.
  const std::optional<QBYError>& error() const { return error_; }
  // The build numbers taken when the store was made (previousVersion is 0 again when the file
  // had vanished).
  unsigned currentVersionAtOpen() const { return currentVersion_; }
  unsigned previousVersionAtOpen() const { return previousVersion_; }
  const std::shared_ptr<QBYPersistentStore>& persistentStore() const { return store_; }

  // The main-queue context of the user interface; nullptr when the store is not available.
  const std::shared_ptr<QBYManagedObjectContext>& viewContext() const { return viewContext_; }
  // A new private-queue context; the caller owns it. nullptr when not available.
  std::shared_ptr<QBYManagedObjectContext> backgroundContext() const;
  // Runs the block asynchronously on a fresh private-queue context of its own. Tasks run one
  // after another on the store's background queue.
  void performBackgroundTask(std::function<void(QBYManagedObjectContext&)> block);

  // Saves the view context's pending changes; true when there was nothing to save or the save
  // succeeded. A failure is logged and kept as the fatal error "There was an error saving your
  // data".
  bool saveData();
  // Turns every unchanged record of the view context into a fault, so it is read again.
  bool refreshObjects();
  // Deletes the records directly in the file (delete rules included); callers refresh their
  // contexts afterwards. False when the deletion failed.
  bool deleteObjectsWithIDs(const std::vector<QBYManagedObjectID>& ids);
  // Destroys the store file. The store is not available afterwards; make a new one.
  bool deleteStore();

  void registerCurrentVersion();
  void registerLastOpenedVersion();
  bool installedVersionChanged() const;
  bool lastOpenedNewerVersion() const;

  // Builds and keeps the user-facing error: domain "com.quillbay.datastore", code 100, the
  // description or "There was an error loading your data", and the suggestion or the default
  // one naming the support site (in the user information under
  // "NSLocalizedRecoverySuggestion").
  const QBYError& fatalErrorWithDescription(const std::optional<std::string>& description,
                                            const std::optional<std::string>& suggestion);

 private:
  void open(const std::optional<std::filesystem::path>& storeFile);
  // Adds to the kept error why it happened (the underlying error's database message or
  // description) and the store file (QBYLocalizedFailureReasonErrorKey, QBYFilePathErrorKey).
  void noteFailureReason(const QBYError& underlying);

  std::optional<std::filesystem::path> storeFile_;
  std::shared_ptr<QBYPersistentStore> store_;
  std::shared_ptr<QBYManagedObjectContext> viewContext_;
  std::shared_ptr<QBYOperationQueue> backgroundQueue_;
  std::optional<QBYError> error_;
  unsigned currentVersion_ = 0;
  unsigned previousVersion_ = 0;
  bool available_ = false;
};

// Context operations.

// Whether at least one record of the entity exists (one row at most is read). An error logs
// "Error checking for entity name %@: %@, %@" and answers false.
bool qby_containsEntityName(QBYManagedObjectContext& context, const std::string& name);
// Deletes every record of the entity with one batch delete in the file.
bool qby_deleteObjectsWithEntityName(QBYManagedObjectContext& context, const std::string& name);
// Pinning a context to one snapshot of the file while other processes write has no SQLite
// counterpart beyond an open read transaction, which would keep the write-ahead log from
// being checkpointed for as long as the context lives: always false.
bool qby_updateQueryToken(QBYManagedObjectContext& context);
// True when there is nothing to save; else saves, logging "Error saving changes: %@ %@" on
// failure.
bool qby_saveChanges(QBYManagedObjectContext& context);

}  // namespace qby
