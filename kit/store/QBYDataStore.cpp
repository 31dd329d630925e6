#include "store/QBYDataStore.h"

#include <charconv>
#include <mutex>
#include <system_error>

#include "model/QBYModel.h"
#include "platform/Localization.h"
#include "platform/Log.h"
#include "platform/Paths.h"
#include "platform/QBYOperationQueue.h"
#include "platform/QBYUserDefaults.h"
#include "platform/Resources.h"
#include "platform/Vendor.h"
#include "presentation/Calendar.h"
#include "store/QBYDeliveriesQueries.h"

namespace qby {

namespace fs = std::filesystem;

namespace {

unsigned storedVersion(const char* key) {
  const std::int64_t value = QBYDataStore::sharedDefaults().integerForKey(key);
  if (value <= 0) return 0;
  if (value > static_cast<std::int64_t>(UINT32_MAX)) return UINT32_MAX;
  return static_cast<unsigned>(value);
}

// The build number in a BUILD file: digits, optionally surrounded by white space.
unsigned buildNumberInFile(const fs::path& file) {
  auto text = Paths::readFile(file);
  if (!text) return 0;
  const auto first = text->find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return 0;
  const auto last = text->find_last_not_of(" \t\r\n");
  const std::string_view digits(text->data() + first, last - first + 1);
  unsigned value = 0;
  auto [end, failure] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (failure != std::errc() || end != digits.data() + digits.size()) return 0;
  return value;
}

}  // namespace

// --- Class operations ---------------------------------------------------------------------------

unsigned QBYDataStore::currentVersion() {
  return Resources::buildNumber();
}

unsigned QBYDataStore::previousVersion() {
  return storedVersion(QBYLastInstalledVersionKey);
}

unsigned QBYDataStore::installedVersion() {
  // The install step puts BUILD beside the other resources; a program run from its build tree
  // reads the copy the build made there.
  if (auto file = Resources::pathForResource("BUILD", "")) return buildNumberInFile(*file);
#ifdef PORVANE_BUILD_FILE
  return buildNumberInFile(PORVANE_BUILD_FILE);
#else
  return 0;
#endif
}

unsigned QBYDataStore::lastOpenedVersion() {
  return storedVersion(QBYLastOpenedVersionKey);
}

std::int64_t QBYDataStore::daysSinceCurrentVersionFirstLaunch() {
  auto& defaults = sharedDefaults();
  auto date = defaults.dateOrNilForKey(QBYCurrentVersionFirstLaunchDateKey);
  if (!date) {
    defaults.setObject(Value(Date::now()), QBYCurrentVersionFirstLaunchDateKey);
    return 0;
  }
  return Calendar().daysSinceDate(*date);
}

QBYUserDefaults& QBYDataStore::sharedDefaults() {
  static std::once_flag registered;
  auto& defaults = QBYUserDefaults::sharedDefaults();
  std::call_once(registered, [&defaults] { registerSharedDefaults(defaults); });
  return defaults;
}

void QBYDataStore::registerSharedDefaults(QBYUserDefaults& defaults) {
  defaults.registerDefaults(Dictionary{{QBYSortModeKey, Value(1)}, {"playsounds", Value(true)}});
}

fs::path QBYDataStore::privateContainerURL() {
  return Paths::privateContainer();
}
fs::path QBYDataStore::sharedContainerURL() {
  return Paths::sharedContainer();
}
fs::path QBYDataStore::sharedCachesURL() {
  return Paths::sharedCaches();
}
fs::path QBYDataStore::cachesURL() {
  return Paths::caches();
}
fs::path QBYDataStore::storeURL() {
  return sharedContainerURL() / "Porvane.sqlite";
}

fs::path QBYDataStore::externalRecordsURL() {
  const fs::path folder = cachesURL() / "Metadata" / "CoreData" / "Porvane";
  if (!Paths::ensureDirectory(folder)) log("Error creating folder %@", folder.string());
  return folder;
}

std::optional<fs::path> QBYDataStore::cacheURLNamed(const std::string& name, bool shared,
                                                    bool create) {
  const fs::path base = shared ? sharedCachesURL() : cachesURL();
  if (base.empty()) return std::nullopt;
  // The folder is emptied: a name that is empty or climbs out must not empty anything else.
  const fs::path relative(name);
  if (name.empty() || relative.is_absolute()) return std::nullopt;
  for (const auto& part : relative)
    if (part == "..") return std::nullopt;

  const fs::path folder = base / relative;
  std::error_code failure;
  if (fs::symlink_status(folder, failure).type() != fs::file_type::not_found) {
    fs::remove_all(folder, failure);
    if (failure) log("Error removing items from cache: %@, %@", failure.message(), folder.string());
  }
  if (create) {
    failure.clear();
    fs::create_directories(folder, failure);
    if (failure) log("Error creating cache folder: %@, %@", failure.message(), folder.string());
  }
  return folder;
}

std::shared_ptr<const QBYManagedObjectModel> QBYDataStore::managedObjectModel() {
  return QBYPorvaneModel();
}

// --- Opening -------------------------------------------------------------------------------------

QBYDataStore::QBYDataStore() {
  open(storeURL());
}

QBYDataStore::QBYDataStore(std::optional<fs::path> storeFile) {
  open(storeFile);
}

QBYDataStore::~QBYDataStore() {
  // Background tasks still waiting are dropped; the running one finishes first.
  if (backgroundQueue_) {
    backgroundQueue_->cancelAllOperations();
    backgroundQueue_->waitUntilAllOperationsAreFinished(60);
  }
}

// There is a single way to open the store here: one SQLite file with a connection per
// context. The coordinator-and-context-pair ("legacy") path of older object databases has no
// counterpart and is not needed.
void QBYDataStore::open(const std::optional<fs::path>& storeFile) {
  available_ = false;
  currentVersion_ = currentVersion();
  previousVersion_ = previousVersion();
  storeFile_ = storeFile;

  if (!storeFile || storeFile->empty()) {
    log("Store URL is missing");
    fatalErrorWithDescription(std::nullopt, std::nullopt);
    return;
  }

  std::error_code failure;
  if (!fs::exists(*storeFile, failure) && previousVersion_ != 0) {
    // A store that vanished is a first launch: nothing downstream may try to upgrade data
    // that is not there.
    log("Database is missing but previous version was %lu", previousVersion_);
    previousVersion_ = 0;
    sharedDefaults().setInteger(0, QBYLastInstalledVersionKey);
  }

  QBYError error;
  Paths::ensureDirectory(storeFile->parent_path());
  store_ = QBYPersistentStore::open(*storeFile, managedObjectModel(), &error);
  if (!store_) {
    log("Error loading persistent stores: %@, %@", error, error.userInfoDescription());
    if (error.code == QBYStoreErrorNewerVersion) {
      fatalErrorWithDescription(
          QBYLocalizedString("Your data was saved by a newer version of Porvane. Please install "
                             "the latest version to open it."),
          std::nullopt);
      error_->userInfo.set("NSUnderlyingError", Value(error.description()));
    } else {
      fatalErrorWithDescription(std::nullopt, std::nullopt);
    }
    noteFailureReason(error);
    return;
  }
  viewContext_ = std::make_shared<QBYManagedObjectContext>(store_, QBYConcurrencyType::MainQueue);
  backgroundQueue_ = std::make_shared<QBYOperationQueue>("QBYDataStore background tasks");
  available_ = true;
}

// --- Contexts ------------------------------------------------------------------------------------

std::shared_ptr<QBYManagedObjectContext> QBYDataStore::backgroundContext() const {
  if (!store_) return nullptr;
  return std::make_shared<QBYManagedObjectContext>(store_, QBYConcurrencyType::PrivateQueue);
}

void QBYDataStore::performBackgroundTask(std::function<void(QBYManagedObjectContext&)> block) {
  if (!store_ || !backgroundQueue_ || !block) return;
  QBYOperationQueue* queue = backgroundQueue_.get();
  backgroundQueue_->addOperation([store = store_, queue, block = std::move(block)] {
    // The context runs on the queue this task runs on; it does not own the queue (a task must
    // not be the last owner of the thread it runs on).
    QBYManagedObjectContext context(
        store, std::shared_ptr<QBYOperationQueue>(std::shared_ptr<void>(), queue));
    block(context);
  });
}

bool QBYDataStore::saveData() {
  if (!viewContext_) return false;
  bool result = true;
  viewContext_->performAndWait([&] {
    if (!viewContext_->hasChanges()) return;
    QBYError error;
    if (viewContext_->save(&error)) return;
    result = false;
    log("Error in saveData: %@ %@", error, error.userInfoDescription());
    fatalErrorWithDescription(QBYLocalizedString("There was an error saving your data"),
                              std::nullopt);
    noteFailureReason(error);
  });
  return result;
}

bool QBYDataStore::refreshObjects() {
  if (viewContext_) viewContext_->performAndWait([&] { viewContext_->refreshAllObjects(); });
  return true;
}

bool QBYDataStore::deleteObjectsWithIDs(const std::vector<QBYManagedObjectID>& ids) {
  auto context = backgroundContext();
  if (!context) return false;
  bool result = false;
  context->performAndWait([&] {
    QBYError error;
    if (!context->batchDeleteObjectIDs(ids, &error)) {
      // Answering the outcome of the (empty) save here would report a failed deletion as a
      // success.
      log("Error deleting object IDs: %@, %@", error, error.userInfoDescription());
      return;
    }
    result = qby_saveChanges(*context);
  });
  return result;
}

bool QBYDataStore::deleteStore() {
  if (!storeFile_ || storeFile_->empty()) {
    log("Unable to delete store because there's no description: %@", std::optional<std::string>());
    return false;
  }
  log("Destroying persistent store from coordinator: %@ at URL: %@",
      store_ ? std::string("QBYPersistentStore") : std::string("(none)"), storeFile_->string());
  if (store_) store_->invalidate();
  if (viewContext_) viewContext_->performAndWait([&] { viewContext_->reset(); });
  QBYError error;
  if (!QBYPersistentStore::destroy(*storeFile_, &error)) {
    log("Error destroying persistent store: %@, %@", error, error.userInfoDescription());
    return false;
  }
  available_ = false;
  return true;
}

// --- Versions ------------------------------------------------------------------------------------

void QBYDataStore::registerCurrentVersion() {
  if (previousVersion_ >= currentVersion_) return;
  sharedDefaults().setInteger(currentVersion_, QBYLastInstalledVersionKey);
  sharedDefaults().setObject(Value(Date::now()), QBYCurrentVersionFirstLaunchDateKey);
}

void QBYDataStore::registerLastOpenedVersion() {
  sharedDefaults().setInteger(currentVersion_, QBYLastOpenedVersionKey);
}

bool QBYDataStore::installedVersionChanged() const {
  const unsigned installed = installedVersion();
  if (installed == 0) {
    log("Application moved while open");
    return true;
  }
  if (installed != currentVersion_) {
    log("Replaced with a new version: %lu → %lu", currentVersion_, installed);
    return true;
  }
  return false;
}

bool QBYDataStore::lastOpenedNewerVersion() const {
  const unsigned lastOpened = lastOpenedVersion();
  if (currentVersion_ < lastOpened) {
    log("Opened a newer version: %lu → %lu", currentVersion_, lastOpened);
    return true;
  }
  return false;
}

const QBYError& QBYDataStore::fatalErrorWithDescription(
    const std::optional<std::string>& description, const std::optional<std::string>& suggestion) {
  const std::string text =
      description ? *description : QBYLocalizedString("There was an error loading your data");
  const std::string recovery =
      suggestion ? *suggestion
                 : format(QBYLocalizedString("If you continue to see this error, please try "
                                             "resetting your data, or visit %@ for help."),
                          Vendor::supportSiteURL());
  Dictionary info;
  info.set(QBYLocalizedRecoverySuggestionErrorKey, Value(recovery));
  error_ =
      QBYError::make(QBYDataStoreErrorDomain, QBYDataStoreFatalErrorCode, text, std::move(info));
  return *error_;
}

void QBYDataStore::noteFailureReason(const QBYError& underlying) {
  if (!error_) return;
  const auto sqliteMessage = underlying.userInfo["sqliteMessage"].asString();
  const std::string reason =
      sqliteMessage && !sqliteMessage->empty() ? *sqliteMessage : underlying.localizedDescription;
  if (!reason.empty()) error_->userInfo.set(QBYLocalizedFailureReasonErrorKey, Value(reason));
  if (storeFile_) error_->userInfo.set(QBYFilePathErrorKey, Value(storeFile_->string()));
}

// --- Context operations --------------------------------------------------------------------------

bool qby_containsEntityName(QBYManagedObjectContext& context, const std::string& name) {
  QBYFetchRequest request;
  request.entityName = name;
  request.fetchLimit = 1;
  QBYError error;
  auto count = context.countForFetchRequest(request, &error);
  if (!count) {
    log("Error checking for entity name %@: %@, %@", name, error, error.userInfoDescription());
    return false;
  }
  return *count > 0;
}

bool qby_deleteObjectsWithEntityName(QBYManagedObjectContext& context, const std::string& name) {
  QBYError error;
  if (context.batchDelete(name, "", {}, &error)) return true;
  log("Error deleting objects with entity name %@: %@, %@", name, error,
      error.userInfoDescription());
  return false;
}

bool qby_updateQueryToken(QBYManagedObjectContext&) {
  return false;
}

bool qby_saveChanges(QBYManagedObjectContext& context) {
  if (!context.hasChanges()) return true;
  QBYError error;
  if (context.save(&error)) return true;
  log("Error saving changes: %@ %@", error, error.userInfoDescription());
  return false;
}

}  // namespace qby
