#include "manager/QBYDeliveriesManager.h"

#include <unicode/locid.h>

#include <algorithm>
#include <mutex>
#include <utility>

#include "engine/QBYDeliveriesUpdater.h"
#include "engine/QBYPasswordManager.h"
#include "engine/QBYServiceUpdate.h"
#include "finder/QBYDeliveriesFinder.h"
#include "manager/QBYDeliveriesCalendar.h"
#include "manager/QBYLog.h"
#include "manager/QBYNotification.h"
#include "manager/QBYResultsApplier.h"
#include "manager/QBYServiceCatalogue.h"
#include "model/Delivery.h"
#include "model/Service.h"
#include "platform/BusNames.h"
#include "platform/Localization.h"
#include "platform/Log.h"
#include "platform/MMWormhole.h"
#include "platform/Paths.h"
#include "platform/QBYUserDefaults.h"
#include "presentation/QBYDateFormatter.h"
#include "store/QBYDataStore.h"
#include "store/QBYDeliveriesQueries.h"
#include "store/core/QBYManagedObjectContext.h"
#include "sync/QBYSyncManager.h"
#include "sync/QBYSyncManagerDelegate.h"
#include "util/QBYRegions.h"

namespace qby {

namespace {

constexpr double kUpdateAfterSyncStartDelay = 3.0;
constexpr double kUpdateSoonDelay = 0.3;
constexpr long kBusyDateHours = 3;
constexpr double kBackgroundLookAhead = 900;
constexpr std::size_t kWidgetSelectionLimit = 15;
constexpr std::size_t kSaveEvery = 100;
constexpr unsigned kSearchIndexMigrationVersion = 118;
constexpr unsigned kSortIndexMigrationVersion = 160;
// Builds up to this one kept a web page's address as the delivery's number; later ones keep
// it as the extra value, the field the web-page service asks for.
constexpr unsigned kWebAddressMigrationVersion = 1;
constexpr double kOneHour = 3600;
constexpr double kOneDay = 86400;

// The engine's updater behind the interface the manager drives.
class EngineUpdaterHandle final : public QBYDeliveriesUpdaterHandle {
 public:
  explicit EngineUpdaterHandle(std::shared_ptr<QBYDeliveriesUpdater> updater)
      : updater_(std::move(updater)) {}
  void setDelegate(std::weak_ptr<QBYDeliveriesUpdaterDelegate> delegate) override {
    updater_->setDelegate(std::move(delegate));
  }
  void updateDeliveriesWithSettings(const Array& settings) override {
    updater_->updateDeliveriesWithSettings(settings);
  }
  void startTroubleshooting() override { updater_->startTroubleshooting(); }
  void updateLogs() override { updater_->updateLogs(); }
  void signInForDomain(const std::string& domain, const std::optional<std::string>& extra,
                       std::weak_ptr<QBYDeliveriesUpdaterCaptureView> captureView) override {
    updater_->signInForDomain(domain, extra, std::move(captureView));
  }
  void invalidate() override { updater_->invalidate(); }
  void reduceMemoryUsage() override { updater_->reduceMemoryUsage(); }
  bool busy() const override { return updater_->busy(); }
  bool configurationFailed() const override { return updater_->configurationFailed(); }
  std::shared_ptr<QBYDeliveriesUpdater> updater() const override { return updater_; }

 private:
  std::shared_ptr<QBYDeliveriesUpdater> updater_;
};

std::shared_ptr<QBYDeliveriesUpdaterHandle> makeEngineUpdater(
    std::optional<std::filesystem::path> servicesURL, bool limitMemoryUsage) {
  auto updater = QBYDeliveriesUpdater::deliveriesUpdater(std::move(servicesURL), limitMemoryUsage);
  if (!updater) return nullptr;
  updater->setFileLoggingEnabledSource([] { return QBYLog::enabled(); });
  return std::make_shared<EngineUpdaterHandle>(std::move(updater));
}

}  // namespace

// The manager's sides of the interfaces its collaborators call back through. Each holds the
// manager by a plain pointer: the manager owns them and outlives every call (the collaborators
// hold them weakly or are told to forget them in stop and the destructor).
struct QBYDeliveriesManager::Adapters {
  struct Updater final : QBYDeliveriesUpdaterDelegate {
    QBYDeliveriesManager* manager;
    explicit Updater(QBYDeliveriesManager* m) : manager(m) {}
    void updateDeliveryWithResults(const Dictionary& results) override {
      manager->updateDeliveryWithResults(results);
    }
    void completeUpdateWithSuccess(bool success) override {
      manager->completeUpdateWithSuccess(success);
    }
    void completeTroubleshootingWithLogs(const std::string& logs) override {
      manager->completeTroubleshootingWithLogs(logs);
    }
    void handleException(const std::string& message) override { manager->handleException(message); }
  };

  struct Sync final : QBYSyncManagerDelegate {
    QBYDeliveriesManager* manager;
    explicit Sync(QBYDeliveriesManager* m) : manager(m) {}
    void willStartSyncing() override { manager->willStartSyncing(); }
    void saveObjectWithAttributes(const Dictionary& attributes, bool sync) override {
      manager->saveObjectWithAttributes(attributes, sync);
    }
    void removeObjectWithUUID(const std::string& uuid) override {
      manager->removeObjectWithUUID(uuid);
    }
    void deleteObjectsWithIDs(const std::vector<QBYManagedObjectID>& ids) override {
      manager->deleteObjectsWithIDs(ids);
    }
    void unknownObjectNamed(const std::string& name, const Dictionary& attributes) override {
      manager->unknownObjectNamed(name, attributes);
    }
    void ubiquitousKey(const std::string& key, const Value& value) override {
      manager->ubiquitousKeyUpdatedWithObject(key, value);
    }
    std::string additionalQueryForQuillbaySync() override {
      return manager->additionalQueryForQuillbaySync();
    }
    bool shouldQuillbayUpdate() override { return manager->shouldQuillbayUpdate(); }
    bool shouldUseTimer() override { return manager->shouldUseTimer(); }
    bool parentAppOpen() override { return manager->parentAppOpen(); }
  };

  struct Results final : QBYResultsApplierHost {
    QBYDeliveriesManager* manager;
    explicit Results(QBYDeliveriesManager* m) : manager(m) {}
    QBYDataStore& dataStore() override { return *manager->dataStore_; }
    std::shared_ptr<Delivery> deliveryWithUUID(const std::string& uuid) override {
      if (!manager->dataStore_) return nullptr;
      if (auto found = manager->deliveriesInRun_.find(uuid);
          found != manager->deliveriesInRun_.end()) {
        const auto& delivery = found->second;
        if (!delivery->isDeleted() && !delivery->removed() &&
            delivery->managedObjectContext() == manager->dataStore_->viewContext().get())
          return delivery;
      }
      return manager->deliveryWithUUID(uuid, false, manager->dataStore_->viewContext().get());
    }
    void updateStatus(const std::optional<std::string>& message) override {
      manager->updateStatus(message);
    }
    int applicationState() override { return static_cast<int>(manager->applicationState()); }
    void presentDeliveryNotification(const QBYNotification& notification) override {
      // During a run the change is not stored yet: it is told once the run's save succeeded,
      // so that a change that could not be saved is not announced (and then again next run).
      if (manager->updateStep_ != QBYUpdateStepIdle) {
        manager->heldNotifications_.push_back(notification);
        return;
      }
      if (auto delegate = manager->notificationDelegate())
        delegate->presentDeliveryNotification(notification);
    }
    void updatedDelivery(const std::shared_ptr<Delivery>& delivery) override {
      if (auto delegate = manager->delegate()) delegate->updatedDelivery(delivery);
    }
    bool iCloudEnabled() override {
      return manager->syncManager_ && manager->syncManager_->iCloudEnabled();
    }
    void syncObject(const std::shared_ptr<Delivery>& delivery, bool immediately) override {
      if (manager->syncManager_) manager->syncManager_->syncObject(delivery, immediately);
    }
    void setUpdateResultNewData() override { manager->updateResult_ = QBYUpdateResultNewData; }
    void setPreviousEventDates(const std::string& uuid, std::vector<Date> dates) override {
      manager->setPreviousEventDates(uuid, std::move(dates));
    }
    QBYDateFormatter& dateFormatter() override { return manager->dateFormatter(); }
  };

  struct Catalogue final : QBYServiceCatalogueHost {
    QBYDeliveriesManager* manager;
    explicit Catalogue(QBYDeliveriesManager* m) : manager(m) {}
    QBYDataStore* catalogueDataStore() override { return manager->dataStore_.get(); }
    void catalogueUpdateUbiquitousKey(const std::string& key, const Value& object) override {
      if (manager->syncManager_) manager->syncManager_->updateUbiquitousKey(key, object);
    }
    void catalogueSetForceUpdate(unsigned forceUpdate) override {
      manager->forceUpdate_ = forceUpdate;
    }
    void catalogueCancelUpdate() override { manager->cancel(); }
    void catalogueReloadDeliveries() override { manager->reloadDeliveries(); }
    void catalogueShouldReloadDeliveries() override {
      manager->tellDelegateAsync(
          [](QBYDeliveriesManagerDelegate& d) { d.shouldReloadDeliveries(); });
    }
  };

  struct ServiceUpdate final : QBYServiceUpdateDelegate {
    QBYDeliveriesManager* manager;
    std::weak_ptr<QBYDeliveriesManager> weakManager;
    explicit ServiceUpdate(QBYDeliveriesManager* m) : manager(m) {}
    // Called from the service update's queue: hop to the main thread first.
    void serviceUpdateInstalled(QBYServiceUpdate&) override {
      MainQueue::async([weak = weakManager] {
        if (auto strong = weak.lock()) strong->serviceUpdateInstalled();
      });
    }
    void serviceUpdateFailed(QBYServiceUpdate&) override {
      MainQueue::async([weak = weakManager] {
        if (auto strong = weak.lock()) strong->serviceUpdateFailed();
      });
    }
  };

  std::shared_ptr<Updater> updater;
  std::shared_ptr<Sync> sync;
  std::shared_ptr<Results> results;
  std::shared_ptr<Catalogue> catalogue;
  std::shared_ptr<ServiceUpdate> serviceUpdate;
};

// --- Creation ------------------------------------------------------------------------------------

std::shared_ptr<QBYDeliveriesManager> QBYDeliveriesManager::sharedManager() {
  static std::once_flag once;
  static std::shared_ptr<QBYDeliveriesManager> shared;
  std::call_once(once, [] { shared = create(); });
  return shared;
}

std::shared_ptr<QBYDeliveriesManager> QBYDeliveriesManager::create() {
  return create(Options());
}

std::shared_ptr<QBYDeliveriesManager> QBYDeliveriesManager::create(Options options) {
  std::shared_ptr<QBYDeliveriesManager> manager(new QBYDeliveriesManager(std::move(options)));
  manager->makeAdapters();
  return manager;
}

std::shared_ptr<QBYSyncManager> QBYDeliveriesManager::sharedSyncManager() {
  return sharedManager()->syncManager();
}

QBYDeliveriesManager::QBYDeliveriesManager(Options options) : options_(std::move(options)) {
  if (!options_.updaterFactory) options_.updaterFactory = makeEngineUpdater;
  registerDefaults(QBYDataStore::sharedDefaults());
}

void QBYDeliveriesManager::makeAdapters() {
  adapters_ = std::make_unique<Adapters>();
  adapters_->updater = std::make_shared<Adapters::Updater>(this);
  adapters_->sync = std::make_shared<Adapters::Sync>(this);
  adapters_->results = std::make_shared<Adapters::Results>(this);
  adapters_->catalogue = std::make_shared<Adapters::Catalogue>(this);
  adapters_->serviceUpdate = std::make_shared<Adapters::ServiceUpdate>(this);
  adapters_->serviceUpdate->weakManager = weak_from_this();
}

QBYDeliveriesManager::~QBYDeliveriesManager() {
  delayedUpdate_.cancel();
  observers_.clear();
  if (syncManager_) syncManager_->setDelegate(nullptr);
  if (updater_) updater_->invalidate();
  // The applier and catalogue refer to their hosts inside adapters_: drop them first.
  resultsApplier_.reset();
  serviceCatalogue_.reset();
}

void QBYDeliveriesManager::registerDefaults(QBYUserDefaults& defaults) {
  // The store registers them for every program that opens its defaults; one list of values.
  QBYDataStore::registerSharedDefaults(defaults);
}

// --- Properties ----------------------------------------------------------------------------------

void QBYDeliveriesManager::setDelegate(std::weak_ptr<QBYDeliveriesManagerDelegate> delegate) {
  delegate_ = std::move(delegate);
}

void QBYDeliveriesManager::setNotificationDelegate(
    std::weak_ptr<QBYDeliveriesNotificationDelegate> delegate) {
  notificationDelegate_ = std::move(delegate);
}

void QBYDeliveriesManager::setTroubleshootingDelegate(
    std::weak_ptr<QBYDeliveriesTroubleshootingDelegate> delegate) {
  troubleshootingDelegate_ = std::move(delegate);
}

void QBYDeliveriesManager::setDataStore(std::shared_ptr<QBYDataStore> dataStore) {
  dataStore_ = std::move(dataStore);
  if (syncManager_) syncManager_->setDataStore(dataStore_.get());
  // The finder keeps the store it was made with; the next use makes one over the new store.
  finder_.reset();
  clearServices();
  deliveries_.clear();
  deliveriesFetched_ = false;
}

void QBYDeliveriesManager::setSyncManager(std::shared_ptr<QBYSyncManager> syncManager) {
  if (syncManager_ && syncManager_ != syncManager) syncManager_->setDelegate(nullptr);
  syncManager_ = std::move(syncManager);
}

void QBYDeliveriesManager::setUpdateStep(unsigned step) {
  updateStep_ = step;
  if (step == QBYUpdateStepUpdating) {
    setUpdateBusyDate(Date::now());
  } else if (step == QBYUpdateStepIdle) {
    setUpdateBusyDate(std::nullopt);
  }
}

std::shared_ptr<QBYDeliveriesUpdaterHandle> QBYDeliveriesManager::deliveriesUpdater() {
  if (!updater_) {
    std::optional<std::filesystem::path> servicesURL = serviceUpdate().url();
    updater_ = options_.updaterFactory(servicesURL, processType_ == QBYProcessTypeWidget);
    if (updater_) updater_->setDelegate(adapters_->updater);
  }
  return updater_;
}

void QBYDeliveriesManager::dropUpdater() {
  if (!updater_) return;
  updater_->invalidate();
  updater_.reset();
}

QBYDeliveriesFinder& QBYDeliveriesManager::deliveriesFinder() {
  if (!finder_) finder_ = std::make_unique<QBYDeliveriesFinder>(dataStore_.get());
  return *finder_;
}

QBYDateFormatter& QBYDeliveriesManager::dateFormatter() {
  return QBYDateFormatter::sharedFormatter();
}

QBYServiceUpdate& QBYDeliveriesManager::serviceUpdate() {
  if (!serviceUpdate_) {
    serviceUpdate_ = std::make_shared<QBYServiceUpdate>();
    serviceUpdate_->setDelegate(adapters_->serviceUpdate);
  }
  return *serviceUpdate_;
}

QBYResultsApplier& QBYDeliveriesManager::resultsApplier() {
  if (!resultsApplier_) resultsApplier_ = std::make_unique<QBYResultsApplier>(*adapters_->results);
  return *resultsApplier_;
}

QBYServiceCatalogue& QBYDeliveriesManager::serviceCatalogue() {
  if (!serviceCatalogue_)
    serviceCatalogue_ = std::make_unique<QBYServiceCatalogue>(*adapters_->catalogue);
  return *serviceCatalogue_;
}

QBYDeliveriesCalendar& QBYDeliveriesManager::calendar() {
  if (!calendar_)
    calendar_ = options_.calendar ? options_.calendar : QBYDeliveriesCalendar::create();
  return *calendar_;
}

MMWormhole* QBYDeliveriesManager::wormhole() {
  // A container that could not be made now may be there later: asked again on the next use.
  if (!wormhole_)
    wormhole_ = MMWormhole::initWithApplicationGroupIdentifier(Paths::kAppGroupID,
                                                               std::string(QBYWormholeDirectory));
  return wormhole_.get();
}

std::vector<std::shared_ptr<Service>> QBYDeliveriesManager::services() {
  if (!dataStore_) return {};
  return serviceCatalogue().services();
}

std::vector<std::shared_ptr<Service>> QBYDeliveriesManager::favoriteServices() {
  if (!dataStore_) return {};
  return serviceCatalogue().favoriteServices();
}

void QBYDeliveriesManager::clearServices() {
  if (serviceCatalogue_) serviceCatalogue_->clearServices();
}

const std::vector<std::shared_ptr<Delivery>>& QBYDeliveriesManager::activeDeliveries() {
  if (!deliveriesFetched_) reloadDeliveries();
  return deliveries_;
}

long QBYDeliveriesManager::applicationState() const {
  if (auto delegate = notificationDelegate_.lock()) return delegate->applicationState();
  return QBYApplicationStateBackground;
}

void QBYDeliveriesManager::setPreviousEventDates(const std::string& uuid, std::vector<Date> dates) {
  calendar().setPreviousEventDates(uuid, std::move(dates));
}

// --- Derived -------------------------------------------------------------------------------------

std::optional<std::string> QBYDeliveriesManager::updateResultText() const {
  switch (updateResult_) {
    case QBYUpdateResultNewData:
      return "new data";
    case QBYUpdateResultNoChanges:
      return "no changes";
    case QBYUpdateResultFailed:
      return "failed";
    default:
      return std::nullopt;
  }
}

bool QBYDeliveriesManager::parentAppOpen() const {
  if (processType_ == QBYProcessTypeApplication) return false;
  return options_.parentAppOpen ? options_.parentAppOpen()
                                : BusNames::current().nameHasOwner(QBYParentAppID);
}

Date QBYDeliveriesManager::lastUpdated() {
  if (!dataStore_ || !dataStore_->viewContext()) return Date(0);
  // The largest value is the first one in descending order: one row instead of an aggregate.
  QBYFetchRequest request;
  request.entityName = "Delivery";
  request.predicate = R"(t."archived" IS NOT 1 AND t."updatedTime" IS NOT NULL)";
  request.sortDescriptors = {{"updatedTime", false}};
  request.fetchLimit = 1;
  QBYError error;
  auto results = dataStore_->viewContext()->executeFetchRequest(request, &error);
  if (!results) {
    log("Error fetching last update: %@, %@", error.description(), error.userInfoDescription());
    return Date(0);
  }
  if (results->empty()) return Date(0);
  auto delivery = results->as<Delivery>(0);
  return delivery ? Date(delivery->updatedTime()) : Date(0);
}

std::optional<std::string> QBYDeliveriesManager::status() {
  if (cachedStatus_) return cachedStatus_;
  if (updateResult_ == QBYUpdateResultFailed) return QBYLocalizedString("Couldn’t connect");
  if (deliveries_.empty()) return std::nullopt;
  if (auto text = dateFormatter().updatedText("Updated %@", lastUpdated())) return text;
  return QBYLocalizedString("Never updated");
}

double QBYDeliveriesManager::minimumWidgetUpdateInterval() const {
  auto date = QBYDataStore::sharedDefaults().dateOrNilForKey(QBYNextWidgetUpdateKey);
  if (!date) return -1;
  return date->timeIntervalSinceNow();
}

bool QBYDeliveriesManager::widgetUsedRecently() const {
  auto& defaults = QBYDataStore::sharedDefaults();
  auto date = defaults.dateOrNilForKey(QBYWidgetUpdatedDateKey);
  if (!date) return false;
  if (-date->timeIntervalSinceNow() >= 24 * kOneHour) {
    defaults.removeObjectForKey(QBYWidgetUpdatedDateKey);
    return false;
  }
  return true;
}

std::optional<Date> QBYDeliveriesManager::updateBusyDate() const {
  return QBYDataStore::sharedDefaults().dateOrNilForKey(QBYUpdateBusyDateKey);
}

void QBYDeliveriesManager::setUpdateBusyDate(const std::optional<Date>& date) {
  auto& defaults = QBYDataStore::sharedDefaults();
  if (date) {
    defaults.setObject(Value(*date), QBYUpdateBusyDateKey);
  } else {
    defaults.removeObjectForKey(QBYUpdateBusyDateKey);
  }
}

// --- Lifecycle -----------------------------------------------------------------------------------

void QBYDeliveriesManager::start() {
  if (started_) return;
  if (syncManager_) {
    syncManager_->setDataStore(dataStore_.get());
    syncManager_->setCloudKitPrefetchPaths({"details"});
    syncManager_->setDelegate(adapters_->sync.get());
  }
  const char* language = icu::Locale::getDefault().getLanguage();
  language_ = language ? language : "";

  unsigned previous = 0;
  unsigned current = 0;
  if (dataStore_) {
    previous = dataStore_->previousVersionAtOpen();
    current = dataStore_->currentVersionAtOpen();
    runMigrations(previous, current);
  }

  serviceUpdate().checkBundleVersion();
  calendar().updateCalendarSettings();
  if (dataStore_) {
    dataStore_->registerCurrentVersion();
    dataStore_->registerLastOpenedVersion();
  }

  addObservers();
  started_ = true;

  if (options_.listenForActions) listenForWormholeActions();

  if (syncManager_) syncManager_->startSoon();
  if (dataStore_ && previous < current) {
    if (auto delegate = notificationDelegate_.lock()) delegate->versionChanged();
  }
}

void QBYDeliveriesManager::runMigrations(unsigned previous, unsigned current) {
  // A store this build has opened before needs none of them: the thresholds name builds that
  // wrote older search and sort indexes, and rebuilding on every launch (a build number below
  // them) would rewrite every delivery each time a program starts.
  if (previous >= current) return;
  importServicesWithDefaults(previous == 0, false);
  if (previous <= kSearchIndexMigrationVersion) {
    if (syncManager_) syncManager_->removeDuplicateObjects();
    rebuildSearchIndexes();
  }
  if (previous <= kWebAddressMigrationVersion) moveWebAddressesToExtra();
  if (previous <= kSortIndexMigrationVersion) {
    auto& context = *dataStore_->viewContext();
    QBYFetchRequest request;
    request.entityName = "Delivery";
    auto results = context.executeFetchRequest(request);
    auto records = results ? results->allAs<Delivery>() : std::vector<std::shared_ptr<Delivery>>{};
    log("Updating sort indexes for %lu deliveries", records.size());
    std::size_t count = 0;
    for (const auto& delivery : records) {
      delivery->updateSortIndexes();
      if (++count % kSaveEvery == 0) dataStore_->saveData();
    }
    dataStore_->saveData();
  }
}

void QBYDeliveriesManager::moveWebAddressesToExtra() {
  auto& context = *dataStore_->viewContext();
  QBYFetchRequest request;
  request.entityName = "Delivery";
  request.predicate = R"(t."from" = ?)";
  request.arguments = {Value(ServiceKey::Other)};
  const auto results = context.executeFetchRequest(request);
  if (!results) return;
  std::size_t moved = 0;
  for (const auto& delivery : results->allAs<Delivery>()) {
    const auto address = delivery->no();
    if (!address || address->empty() || delivery->extra().value_or("") != "") continue;
    delivery->setExtra(address);
    delivery->setNo(std::nullopt);
    delivery->setHistoryTitle(delivery->defaultTitle());
    ++moved;
  }
  if (moved == 0) return;
  log("Moved the address of %lu web-page deliveries to their extra value", moved);
  dataStore_->saveData();
}

void QBYDeliveriesManager::rebuildSearchIndexes() {
  std::weak_ptr<QBYDeliveriesManager> weak = weak_from_this();
  std::shared_ptr<QBYDataStore> store = dataStore_;
  // Made here, on the main thread; the task only uses it.
  resultsApplier();
  store->performBackgroundTask([weak, store](QBYManagedObjectContext& context) {
    auto strong = weak.lock();
    if (!strong) {
      log("Deliveries manager gone before the search indexes were rebuilt");
      return;
    }
    auto records = deliveriesForSearchIndex(*store, context);
    log("Creating search indexes for %lu deliveries", records.size());
    std::size_t count = 0;
    for (const auto& delivery : records) {
      strong->resultsApplier().updateSearchTextForDelivery(delivery, context);
      if (++count % kSaveEvery == 0) qby_saveChanges(context);
    }
    qby_saveChanges(context);
    MainQueue::async([store] { store->saveData(); });
  });
}

void QBYDeliveriesManager::prepareToStop() {
  if (syncManager_) syncManager_->prepareToStop();
  if (dataStore_) dataStore_->saveData();
}

void QBYDeliveriesManager::stop() {
  if (syncManager_) syncManager_->stop();
  removeObservers();
  dropUpdater();
  finder_.reset();
  started_ = false;
}

void QBYDeliveriesManager::addObservers() {
  auto& center = QBYNotificationCenter::defaultCenter();
  std::weak_ptr<QBYDeliveriesManager> weak = weak_from_this();
  // Posts may come from other threads; the manager answers on the main thread only.
  auto observe = [&](const char* name, void (QBYDeliveriesManager::*handler)(const Notification&)) {
    observers_.push_back(center.addObserver(name, nullptr, [weak, handler](const Notification& n) {
      if (MainQueue::isMainThread()) {
        if (auto strong = weak.lock()) ((*strong).*handler)(n);
        return;
      }
      MainQueue::async([weak, handler, n] {
        if (auto strong = weak.lock()) ((*strong).*handler)(n);
      });
    }));
  };
  observe(QBYSyncChangeNotification, &QBYDeliveriesManager::syncStatusChanged);
  observe(QBYSyncCompleteNotification, &QBYDeliveriesManager::syncComplete);
  observe(QBYUserDefaultsDidChangeNotification, &QBYDeliveriesManager::userDefaultsDidChange);
  observe(QBYTimeChangeNotification, &QBYDeliveriesManager::localeOrTimeChanged);
  observe(QBYLocaleChangeNotification, &QBYDeliveriesManager::localeOrTimeChanged);
  observe(QBYLogChangeNotification, &QBYDeliveriesManager::logsEnabledChanged);
}

void QBYDeliveriesManager::removeObservers() {
  observers_.clear();
}

// --- Requesting an update ------------------------------------------------------------------------

void QBYDeliveriesManager::update() {
  if (memoryWarningsWhileBusy_ >= 2) {
    log("Skipping update due to previous memory warnings");
    return;
  }
  if (syncManager_) {
    syncManager_->sync();
  } else {
    updateDeliveriesSoon();
  }
}

void QBYDeliveriesManager::manualUpdate(unsigned force) {
  if (syncManager_) syncManager_->setForceUpdate(force != 0);
  forceUpdate_ = force;
  if (syncManager_) {
    syncManager_->sync();
  } else {
    updateDeliveriesSoon();
  }
}

void QBYDeliveriesManager::willStartSyncing() {
  refresh(true);
  if (serviceUpdate().shouldReload()) reloadServiceUpdates();
  updateDeliveriesAfter(kUpdateAfterSyncStartDelay);
  if (auto delegate = delegate_.lock()) delegate->beganSyncing();
}

void QBYDeliveriesManager::syncComplete(const Notification&) {
  if (checkForServicesBeta_ && !serviceUpdate().busy()) completeBetaServiceUpdate();
  if (auto delegate = delegate_.lock()) delegate->completedSyncing();
  if (updateStep_ == QBYUpdateStepSyncing) {
    completeUpdateWithSuccess(true);
  } else {
    checkForAddedDeliveries();
    updateDeliveriesSoon();
  }
}

void QBYDeliveriesManager::updateDeliveriesSoon() {
  updateDeliveriesAfter(kUpdateSoonDelay);
}

void QBYDeliveriesManager::updateDeliveriesAfter(double seconds) {
  std::weak_ptr<QBYDeliveriesManager> weak = weak_from_this();
  delayedUpdate_.schedule(seconds, [weak] {
    if (auto strong = weak.lock()) strong->updateDeliveries();
  });
}

bool QBYDeliveriesManager::refresh(bool reload) {
  if (!dataStore_ || !dataStore_->refreshObjects()) return false;
  reloadDeliveries();
  if (reload)
    tellDelegateAsync([](QBYDeliveriesManagerDelegate& d) { d.shouldReloadDeliveries(); });
  return true;
}

void QBYDeliveriesManager::reloadDeliveries() {
  deliveries_ = fetchDeliveries();
  deliveriesFetched_ = true;
}

bool QBYDeliveriesManager::sortDeliveries() {
  auto fetched = fetchDeliveries();
  deliveriesFetched_ = true;
  if (fetched == deliveries_) return false;
  deliveries_ = std::move(fetched);
  return true;
}

// --- Running the update --------------------------------------------------------------------------

void QBYDeliveriesManager::updateDeliveries() {
  delayedUpdate_.cancel();

  if (processType_ == QBYProcessTypeWidget || processType_ == QBYProcessTypeCompanion) {
    if (parentAppOpen()) {
      sendAction(QBYWormholeActionUpdateDeliveries);
      completeUpdateWithSuccess(true);
      return;
    }
    if (auto busyDate = updateBusyDate()) {
      long hours = dateFormatter().calendar().hoursSinceDate(*busyDate);
      log("Hours since last busy date: %ld", hours);
      if (hours < kBusyDateHours) {
        log("Skipping update because the last update did not complete");
        completeUpdateWithSuccess(true);
        return;
      }
      log("Resetting busy date");
      setUpdateBusyDate(std::nullopt);
    }
    if (dataStore_ &&
        (dataStore_->lastOpenedNewerVersion() || dataStore_->installedVersionChanged())) {
      completeUpdateWithSuccess(false);
      if (auto delegate = notificationDelegate_.lock()) delegate->versionIsOutdated();
      return;
    }
  }

  if (serviceUpdate().busy()) return;

  if (updateStep_ == QBYUpdateStepUpdating) {
    continueUpdating_ = true;
    return;
  }

  if (auto delegate = delegate_.lock()) delegate->beganUpdatingDeliveries();

  Array settings;
  for (const auto& delivery : deliveriesToUpdate()) {
    if (forceUpdate_ == QBYForceUpdateSoft && !delivery->shouldSoftUpdate()) continue;
    settings.push_back(Value(updaterSettingsForDelivery(*delivery)));
    if (const auto uuid = delivery->uuid()) deliveriesInRun_[*uuid] = delivery;
  }
  forceUpdate_ = QBYForceUpdateNone;

  if (settings.empty()) {
    completeUpdateWithSuccess(true);
    return;
  }

  log("Updating %lu %@", settings.size(), settings.size() == 1 ? "delivery" : "deliveries");
  setUpdateStep(QBYUpdateStepUpdating);
  auto updater = deliveriesUpdater();
  if (!updater) {
    // Without an updater the run could never end; end it as failed instead.
    log("Error creating deliveries updater");
    completeUpdateWithSuccess(false);
    return;
  }
  updater->updateDeliveriesWithSettings(settings);
}

Dictionary QBYDeliveriesManager::updaterSettingsForDelivery(const Delivery& delivery) {
  Dictionary settings;
  auto setText = [&settings](const char* key, const std::optional<std::string>& text) {
    if (text) settings.set(key, Value(*text));
  };
  setText("uuid", delivery.uuid());
  settings.set("hash", Value(delivery.settingsHash()));
  setText("name", delivery.name());
  setText("from", delivery.from());
  setText("no", delivery.no());
  setText("extra", delivery.extra());
  settings.set("modified", Value(delivery.modified()));
  setText("itemCacheJSON", delivery.itemCacheJSON());
  // Only a delivery that has a date sends one: the scripts read an empty text as a date.
  if (const auto date = delivery.date(); date && !date->empty()) settings.set("date", Value(*date));
  return settings;
}

std::vector<std::shared_ptr<Delivery>> QBYDeliveriesManager::deliveriesToUpdate() {
  if (!dataStore_ || !dataStore_->viewContext()) return {};
  const bool background = applicationState() == QBYApplicationStateBackground;
  const std::string key = background ? "backgroundUpdate" : "nextUpdate";
  const double threshold =
      Date::now().timeIntervalSince1970() + (background ? kBackgroundLookAhead : 0);

  QBYFetchRequest request;
  request.entityName = "Delivery";
  const std::string notArchived = R"(t."archived" IS NOT 1)";
  const std::string due = "COALESCE(t.\"" + key + "\", 0) <= ?";
  if (forceUpdate_ != QBYForceUpdateNone) {
    request.predicate = notArchived;
  } else if (includeStuckDeliveries_) {
    request.predicate = "(" + due + R"( OR t."updating" = 1) AND )" + notArchived;
    request.arguments = {Value(threshold)};
    includeStuckDeliveries_ = false;
  } else {
    request.predicate = due + " AND " + notArchived;
    request.arguments = {Value(threshold)};
  }
  request.sortDescriptors = {{key, true}};
  if (processType_ == QBYProcessTypeWidget) request.fetchLimit = kWidgetSelectionLimit;

  QBYError error;
  auto results = dataStore_->viewContext()->executeFetchRequest(request, &error);
  if (!results) {
    log("Error getting deliveries to update: %@, %@", error.description(),
        error.userInfoDescription());
    return {};
  }
  return results->allAs<Delivery>();
}

// --- Ending a run --------------------------------------------------------------------------------

void QBYDeliveriesManager::completeUpdateWithSuccess(bool success) {
  if (!success) {
    updateResult_ = QBYUpdateResultFailed;
    if (updater_ && updater_->configurationFailed()) configurationFailed_ = true;
  }
  if (continueUpdating_) {
    continueUpdating_ = false;
    updateStep_ = QBYUpdateStepPreparing;
    updateDeliveries();
    return;
  }
  if (success && updateStep_ != QBYUpdateStepSyncing && syncManager_ &&
      syncManager_->syncChanges()) {
    updateStep_ = QBYUpdateStepSyncing;
    return;
  }
  if (processType_ == QBYProcessTypeWidget) dropUpdater();
  if (sortDeliveries()) {
    if (auto delegate = delegate_.lock()) delegate->shouldReloadDeliveries();
  }
  if (saveChanges()) {
    presentHeldNotifications();
  } else {
    // Nothing of the run is stored: it failed, whatever the scripts found.
    heldNotifications_.clear();
    updateResult_ = QBYUpdateResultFailed;
  }
  // Only a run of this process stored the busy date; a run that ended before it got going
  // (a guard, nothing due) leaves another process's busy date alone.
  if (updateStep_ != QBYUpdateStepIdle) setUpdateStep(QBYUpdateStepIdle);
  deliveriesInRun_.clear();
  if (success) memoryWarningsWhileBusy_ = 0;
  // The desktop has no widget controller to tell whether there is content; the widget reads
  // the store itself.
  updateStatus(std::nullopt);
  if (dataStore_) calendar().updateCalendarEvents(*dataStore_);
  postNotificationName(QBYDeliveriesCompleteNotification, std::nullopt);
  const QBYUpdateCounts counts = std::exchange(runCounts_, {});
  if (auto delegate = delegate_.lock()) {
    delegate->completedUpdateWithCounts(counts);
    delegate->completedUpdateWithResult(updateResult_);
  }
  if (configurationFailed_) {
    configurationFailed_ = false;
    if (auto delegate = notificationDelegate_.lock()) delegate->updateConfigurationFailed();
  }
  updateResult_ = QBYUpdateResultNoChanges;
}

void QBYDeliveriesManager::cancel() {
  log("Canceling update");
  dropUpdater();
  continueUpdating_ = false;
  completeUpdateWithSuccess(false);
}

void QBYDeliveriesManager::handleException(const std::string& message) {
  if (!handledException_) {
    handledException_ = true;
    if (auto delegate = notificationDelegate_.lock()) delegate->deliveriesManagerException(message);
  }
  cancel();
}

bool QBYDeliveriesManager::busy() const {
  return (syncManager_ && syncManager_->busy()) || updateStep_ != QBYUpdateStepIdle;
}

void QBYDeliveriesManager::updateDeliveryWithResults(const Dictionary& results) {
  if (!dataStore_) return;
  const auto outcome =
      resultsApplier().updateDelivery(nullptr, results, std::nullopt, serviceUpdate().version());
  if (outcome == QBYResultsOutcome::Dropped || outcome == QBYResultsOutcome::Progress) return;
  std::optional<std::string> from;
  if (const auto uuid = results[QBYResultsUUID].asString()) {
    if (auto found = deliveriesInRun_.find(*uuid); found != deliveriesInRun_.end())
      from = found->second->from();
    else if (auto delivery = deliveryWithUUID(*uuid))
      from = delivery->from();
  }
  // A service without tracking only offers its page: that is neither a failure nor an update.
  if (!QBYServiceCatalogue::isSupportedService(from)) {
    ++runCounts_.unsupported;
  } else if (outcome == QBYResultsOutcome::Changed) {
    ++runCounts_.updated;
  } else if (outcome == QBYResultsOutcome::Unchanged) {
    ++runCounts_.unchanged;
  } else {
    ++runCounts_.failed;
  }
}

// --- Status --------------------------------------------------------------------------------------

void QBYDeliveriesManager::updateStatus(const std::optional<std::string>& text) {
  cachedStatus_ = text;
  std::optional<std::string> shown = text ? text : status();
  if (shown) {
    postNotificationName(QBYDeliveriesChangeNotification,
                         Dictionary{{QBYDeliveriesStatusKey, Value(*shown)}});
  } else {
    postNotificationName(QBYDeliveriesChangeNotification, std::nullopt);
  }
}

void QBYDeliveriesManager::postNotificationName(const std::string& name,
                                                const std::optional<Dictionary>& userInfo) {
  QBYNotificationCenter::defaultCenter().post(name, this, userInfo.value_or(Dictionary{}));
}

void QBYDeliveriesManager::syncStatusChanged(const Notification& notification) {
  const Value* value = notification.userInfo.find(QBYSyncStatusKey);
  if (value && value->isString()) {
    updateStatus(value->asString());
  } else {
    updateStatus(syncManager_ ? syncManager_->status() : std::nullopt);
  }
}

void QBYDeliveriesManager::localeOrTimeChanged(const Notification&) {
  if (dataStore_) dataStore_->refreshObjects();
  if (auto delegate = delegate_.lock()) delegate->shouldReloadDeliveries();
}

void QBYDeliveriesManager::logsEnabledChanged(const Notification&) {
  if (updater_) updater_->updateLogs();
}

void QBYDeliveriesManager::userDefaultsDidChange(const Notification& notification) {
  if (notification.userInfo[QBYUserDefaultsKey].asString() != std::string(QBYSortModeKey)) return;
  const auto mode = notification.userInfo[QBYUserDefaultsValue].asInteger();
  if (mode && *mode == 0) {
    std::int64_t index = 0;
    for (const auto& delivery : deliveries_) {
      if (delivery->manualSortIndex() != index) delivery->setManualSortIndex(index);
      ++index;
    }
  }
  if (sortDeliveries()) {
    if (dataStore_) dataStore_->saveData();
    if (auto delegate = delegate_.lock()) delegate->shouldReloadDeliveries();
  }
}

// --- Memory
// ----------------------------------------------------------------------------------------

void QBYDeliveriesManager::reduceMemoryUsage() {
  const std::string self = format("<QBYDeliveriesManager: %p>", static_cast<const void*>(this));
  if (updateStep_ != QBYUpdateStepIdle) {
    ++memoryWarningsWhileBusy_;
    log("Memory warning: update step %lu (%ld) %@", updateStep_, memoryWarningsWhileBusy_, self);
    continueUpdating_ = false;
  } else {
    log("Memory warning: idle %@ %@", continueUpdating_ ? "(continuing)" : "", self);
    dropUpdater();
  }
  dateFormatter().reset();
  finder_.reset();
  if (serviceUpdate_ && !serviceUpdate_->busy()) serviceUpdate_.reset();
  clearServices();
}

// --- Troubleshooting and sign-in -----------------------------------------------------------------

void QBYDeliveriesManager::troubleshootDeliveryWithUUID(
    const std::string& uuid, std::weak_ptr<QBYDeliveriesTroubleshootingDelegate> delegate) {
  troubleshootingUUID_ = uuid;
  troubleshootingDelegate_ = std::move(delegate);
  if (auto delivery = deliveryWithUUID(uuid)) delivery->markForUpdate();
  if (auto updater = deliveriesUpdater()) updater->startTroubleshooting();
  update();
}

void QBYDeliveriesManager::completeTroubleshootingWithLogs(const std::string& logs) {
  auto uuid = std::exchange(troubleshootingUUID_, std::nullopt);
  // The report's sending form belongs to the troubleshooting reports; the delegate gets what
  // it is made of: the delivery's settings and the collected lines.
  Dictionary report;
  if (auto delivery = deliveryWithUUID(uuid)) {
    report.set("delivery", Value(delivery->attributes()));
    report.set("hash", Value(delivery->settingsHash()));
  } else if (uuid) {
    report.set("uuid", Value(*uuid));
  }
  report.set("logs", Value(logs));
  if (auto delegate = troubleshootingDelegate_.lock())
    delegate->completedTroubleshootingWithReport(report);
  troubleshootingDelegate_.reset();
}

void QBYDeliveriesManager::signInForDomain(
    const std::string& domain, const std::optional<std::string>& extra,
    std::weak_ptr<QBYDeliveriesUpdaterCaptureView> captureView) {
  if (auto updater = deliveriesUpdater())
    updater->signInForDomain(domain, extra, std::move(captureView));
  changedPasswordForDomain(domain, extra);
  updateDeliveriesSoon();
}

// --- Service updates -----------------------------------------------------------------------------

void QBYDeliveriesManager::serviceUpdateInstalled() {
  std::weak_ptr<QBYDeliveriesManager> weak = weak_from_this();
  MainQueue::async([weak] {
    if (auto strong = weak.lock()) strong->reloadServiceUpdates();
  });
}

void QBYDeliveriesManager::serviceUpdateFailed() {
  completeBetaServiceUpdate();
}

void QBYDeliveriesManager::reloadServiceUpdates() {
  dropUpdater();
  forceUpdate_ = QBYForceUpdateSoft;
  updateStep_ = QBYUpdateStepPreparing;
  updateDeliveries();
}

void QBYDeliveriesManager::resetServiceUpdates() {
  dropUpdater();
  serviceUpdate().manualUpdate();
  checkForServicesBeta_ = false;
  forceUpdate_ = QBYForceUpdateAll;
  updateStep_ = QBYUpdateStepPreparing;
  completeBetaServiceUpdate();
  if (syncManager_) syncManager_->setForceUpdate(true);
}

void QBYDeliveriesManager::downloadBetaServiceUpdate() {
  resetServiceUpdates();
  checkForServicesBeta_ = true;
  update();
}

void QBYDeliveriesManager::completeBetaServiceUpdate() {
  if (!checkForServicesBeta_) return;
  checkForServicesBeta_ = false;
  const std::int64_t version = serviceUpdate().version();
  const bool beta = serviceUpdate().beta();
  tellDelegateAsync([version, beta](QBYDeliveriesManagerDelegate& d) {
    d.installedServiceUpdatesVersion(version, beta);
  });
}

std::string QBYDeliveriesManager::descriptionForSortMode(unsigned mode) {
  switch (mode) {
    case 0:
      return QBYLocalizedString("Manually");
    case 1:
      return QBYLocalizedString("Delivery Date");
    case 2:
      return QBYLocalizedString("Last Updated");
    default:
      return QBYLocalizedString("Date Added");
  }
}

void QBYDeliveriesManager::unknownObjectNamed(const std::string& name,
                                              const Dictionary& attributes) {
  if (name != "updatedata") {
    log("Unknown object: %@ with attributes: %@", name, Value(attributes));
    return;
  }
  // The service update owns the offer protocol: it also forgets a pending re-download, so
  // that later exchanges stop asking for the file again.
  serviceUpdate().handleUpdateOffer(attributes);
}

void QBYDeliveriesManager::ubiquitousKeyUpdatedWithObject(const std::string& key,
                                                          const Value& object) {
  serviceCatalogue().ubiquitousKey(key, object);
}

bool QBYDeliveriesManager::shouldQuillbayUpdate() {
  auto updated = serviceUpdate().updated();
  if (!updated) return true;
  const double age = -updated->timeIntervalSinceNow();
  if (troubleshootingUUID_ && age > kOneHour) return true;
  if (age > 7 * kOneDay) return true;
  if (age > kOneDay) {
    auto lastError = QBYDataStore::sharedDefaults().dateOrNilForKey(QBYLastErrorDateKey);
    if (lastError && *lastError > *updated) return true;
  }
  return false;
}

std::string QBYDeliveriesManager::additionalQueryForQuillbaySync() {
  std::string query = format("&defs=%lu", serviceUpdate().versionForUpdateQuery());
  if (checkForServicesBeta_ || serviceUpdate().beta()) query += "&beta=1";
  return query;
}

// --- Helpers -------------------------------------------------------------------------------------

bool QBYDeliveriesManager::saveChanges() {
  if (!dataStore_) return true;
  const auto& context = dataStore_->viewContext();
  if (!context) return false;
  bool saved = true;
  QBYError error;
  context->performAndWait([&] {
    if (context->hasChanges()) saved = context->save(&error);
  });
  if (saved) {
    saveError_.reset();
    return true;
  }
  log("Error saving changes: %@ %@", error, error.userInfoDescription());
  dataStore_->fatalErrorWithDescription(QBYLocalizedString("There was an error saving your data"),
                                        std::nullopt);
  saveError_ = error;
  return false;
}

void QBYDeliveriesManager::presentHeldNotifications() {
  auto held = std::exchange(heldNotifications_, {});
  auto delegate = notificationDelegate_.lock();
  if (!delegate) return;
  for (const auto& notification : held) delegate->presentDeliveryNotification(notification);
}

void QBYDeliveriesManager::syncDelivery(const std::shared_ptr<Delivery>& delivery,
                                        bool immediately) {
  if (syncManager_) syncManager_->syncObject(delivery, immediately);
}

void QBYDeliveriesManager::tellDelegateAsync(
    std::function<void(QBYDeliveriesManagerDelegate&)> call) {
  std::weak_ptr<QBYDeliveriesManager> weak = weak_from_this();
  MainQueue::async([weak, call = std::move(call)] {
    auto strong = weak.lock();
    if (!strong) return;
    if (auto delegate = strong->delegate_.lock()) call(*delegate);
  });
}

void QBYDeliveriesManager::sendAction(const std::string& action) {
  if (options_.actionSender) {
    options_.actionSender(action);
  } else {
    sendWormholeAction(action, std::nullopt);
  }
}

// --- Inter-process actions -------------------------------------------------------------------

void QBYDeliveriesManager::listenForWormholeActions() {
  static constexpr const char* kApplicationActions[] = {
      QBYWormholeActionAddDelivery, QBYWormholeActionNewDelivery, QBYWormholeActionUpdateDeliveries,
      QBYWormholeActionUpdateBadge, QBYWormholeActionBeginRestart};
  static constexpr const char* kCompanionActions[] = {
      QBYWormholeActionAddDelivery,        QBYWormholeActionNotification,
      QBYWormholeActionClearNotifications, QBYWormholeActionUpdateSettings,
      QBYWormholeActionRequestRestart,     QBYWormholeActionQuit};
  if (processType_ == QBYProcessTypeApplication) {
    for (const char* action : kApplicationActions) listenForWormholeAction(action);
  } else if (processType_ == QBYProcessTypeCompanion) {
    for (const char* action : kCompanionActions) listenForWormholeAction(action);
  }
}

void QBYDeliveriesManager::sendWormholeAction(const std::string& identifier,
                                              const std::optional<Value>& object) {
  auto* channel = wormhole();
  if (!channel) return;
  // Failures are logged by the channel; the action is then simply not signalled.
  channel->passMessageObject(object, identifier);
}

void QBYDeliveriesManager::listenForWormholeAction(const std::string& identifier) {
  auto* channel = wormhole();
  if (!channel) return;
  // Sent while this program was not running: the message waited in its file.
  if (auto waiting = channel->messageWithIdentifier(identifier))
    processWormholeAction(identifier, *waiting);
  std::weak_ptr<QBYDeliveriesManager> weak = weak_from_this();
  channel->listenForMessageWithIdentifier(
      identifier, [weak, identifier](const std::optional<Value>& message) {
        auto strong = weak.lock();
        if (!strong) {
          log("Deliveries manager gone before action %@", identifier);
          return;
        }
        strong->processWormholeAction(identifier, message.value_or(Value()));
      });
}

void QBYDeliveriesManager::processWormholeAction(const std::string& identifier,
                                                 const Value& object) {
  auto* channel = wormhole();
  const auto clear = [&] {
    if (channel) channel->clearMessageContentsForIdentifier(identifier);
  };
  const auto delegate = notificationDelegate_.lock();

  if (processType_ == QBYProcessTypeApplication) {
    clear();
    if (identifier == QBYWormholeActionUpdateDeliveries) {
      refresh(true);
      updateDeliveriesSoon();
    } else if (identifier == QBYWormholeActionUpdateBadge) {
      const auto count = object.isNumber() ? object.asInteger() : std::nullopt;
      if (count && delegate) delegate->updateBadgeCount(static_cast<long>(*count));
    } else if (identifier == QBYWormholeActionAddDelivery) {
      checkForAddedDeliveries();
    } else if (delegate) {
      delegate->processWormholeAction(identifier, object);
    }
    return;
  }

  if (identifier == QBYWormholeActionAddDelivery) {
    // The main application adds them; its listener still needs the message.
    if (parentAppOpen()) return;
    clear();
    checkForAddedDeliveries();
    return;
  }
  clear();
  if (identifier == QBYWormholeActionNotification) {
    const auto notification = QBYNotification::notificationWithValue(object);
    if (!notification || !notification->uuid || !delegate) return;
    if (notification->message) {
      delegate->presentDeliveryNotification(*notification);
    } else {
      delegate->removeNotificationForUUID(*notification->uuid);
    }
  } else if (identifier == QBYWormholeActionClearNotifications) {
    if (delegate) delegate->removeAllBadgeUUIDs();
  } else if (identifier == QBYWormholeActionUpdateSettings) {
    if (delegate) delegate->updateSettings();
  } else if (delegate) {
    delegate->processWormholeAction(identifier, object);
  }
}

void QBYDeliveriesManager::importServicesWithDefaults(bool defaults, bool repair) {
  if (!dataStore_) return;
  serviceCatalogue().importServicesWithDefaults(defaults, repair);
}

std::shared_ptr<Service> QBYDeliveriesManager::serviceForDomain(
    const std::optional<std::string>& key) {
  if (!dataStore_) return nullptr;
  return serviceCatalogue().serviceForDomain(key);
}

void QBYDeliveriesManager::increaseCountForService(const std::shared_ptr<Service>& service) {
  if (service) serviceCatalogue().increaseCountForService(service);
}

}  // namespace qby
