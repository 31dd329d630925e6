// The process-wide coordinator of the deliveries: it starts and stops the system, decides which
// deliveries are due, hands them to the updater, applies what the scripts report (through the
// results applier), saves, archives and deletes deliveries, keeps the service catalogue,
// drives calendar events and reports progress through three delegates and posted
// notifications ("QBYDeliveriesChangeNotification", "QBYDeliveriesCompleteNotification").
//
// Every program that shows or updates deliveries uses the one instance of sharedManager(); it
// sets dataStore, syncManager, processType and the delegates, calls start() once, update() from
// its schedule, manualUpdate() from a refresh command and prepareToStop() then stop() at quit.
// Tests make their own instance with create() and a fake updater.
//
// Threads: the manager lives on the main thread; call it there only. The one exception is the
// search-index rebuild at start, which runs in a background context of the store. Delegates
// are held weakly and called on the main thread; an optional call has an empty default.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "manager/QBYManualOrder.h"
#include "manager/QBYNotification.h"
#include "manager/QBYSettingsValidation.h"
#include "model/QBYDeliverySettings.h"
#include "platform/Date.h"
#include "platform/MainQueue.h"
#include "platform/QBYError.h"
#include "platform/QBYNotificationCenter.h"
#include "platform/Value.h"
#include "store/core/QBYManagedObject.h"

namespace qby {

class Delivery;
class QBYDataStore;
class QBYDateFormatter;
class QBYDeliveriesCalendar;
class QBYDeliveriesFinder;
class QBYDeliveriesUpdater;
class QBYDeliveriesUpdaterCaptureView;
class QBYDeliveriesUpdaterDelegate;
class QBYManagedObjectContext;
class MMWormhole;
class QBYResultsApplier;
class QBYServiceCatalogue;
class QBYServiceUpdate;
class QBYSyncManager;
class QBYUserDefaults;
class Service;

inline constexpr const char* QBYDeliveriesChangeNotification = "QBYDeliveriesChangeNotification";
inline constexpr const char* QBYDeliveriesCompleteNotification =
    "QBYDeliveriesCompleteNotification";
inline constexpr const char* QBYDeliveriesStatusKey = "QBYDeliveriesStatus";

// Shared-defaults keys of the update cycle and the add queue.
inline constexpr const char* QBYPlaySoundsKey = "playsounds";
inline constexpr const char* QBYUpdateBusyDateKey = "QBYUpdateBusyDate";
inline constexpr const char* QBYNextWidgetUpdateKey = "QBYNextWidgetUpdateKey";
inline constexpr const char* QBYWidgetUpdatedDateKey = "QBYWidgetUpdatedDate";
inline constexpr const char* QBYAddToDeliveriesKey = "QBYAddToDeliveries";
inline constexpr const char* QBYLastServiceKey = "from";

// Inter-process actions: each is the name of its message file and of its session-bus signal.
// The main application listens to AddDelivery, NewDelivery, UpdateDeliveries, UpdateBadge and
// BeginRestart; the background updater to AddDelivery, Notification, ClearNotifications,
// UpdateSettings, RequestRestart and Quit; the widget, the add extension and the browser host
// only send.
inline constexpr const char* QBYWormholeActionAddDelivery = "QBYWormholeActionAddDelivery";
// The JSON text of a delivery settings dictionary, from the browser host.
inline constexpr const char* QBYWormholeActionNewDelivery = "QBYWormholeActionNewDelivery";
inline constexpr const char* QBYWormholeActionUpdateDeliveries =
    "QBYWormholeActionUpdateDeliveries";
// A QBYNotification dictionary; without "message" it asks to remove the uuid's notification.
inline constexpr const char* QBYWormholeActionNotification = "QBYWormholeActionNotification";
// A number: the badge count the background updater reports.
inline constexpr const char* QBYWormholeActionUpdateBadge = "QBYWormholeActionUpdateBadge";
inline constexpr const char* QBYWormholeActionClearNotifications =
    "QBYWormholeActionClearNotifications";
inline constexpr const char* QBYWormholeActionUpdateSettings = "QBYWormholeActionUpdateSettings";
inline constexpr const char* QBYWormholeActionRequestRestart = "QBYWormholeActionRequestRestart";
inline constexpr const char* QBYWormholeActionBeginRestart = "QBYWormholeActionBeginRestart";
inline constexpr const char* QBYWormholeActionQuit = "QBYWormholeActionQuit";
// The folder of the message files inside the shared container.
inline constexpr const char* QBYWormholeDirectory = "Wormhole";

enum QBYUpdateStep : unsigned {
  QBYUpdateStepIdle = 0,
  QBYUpdateStepPreparing = 1,
  QBYUpdateStepUpdating = 2,
  QBYUpdateStepSyncing = 3
};

enum QBYUpdateResult : unsigned {
  QBYUpdateResultNewData = 0,
  QBYUpdateResultNoChanges = 1,
  QBYUpdateResultFailed = 2
};

// forceUpdate values.
enum QBYForceUpdate : unsigned {
  QBYForceUpdateNone = 0,
  QBYForceUpdateSoft = 1,  // every active delivery whose shouldSoftUpdate() holds
  QBYForceUpdateAll = 2    // every active delivery
};

// How the deliveries of one run came out, each counted once by its final results.
struct QBYUpdateCounts {
  std::size_t updated = 0;      // found, with something new
  std::size_t unchanged = 0;    // found (or kept quiet), nothing new
  std::size_t failed = 0;       // the update failed or needs the user (sign-in, password)
  std::size_t unsupported = 0;  // a service the list does not track automatically
};

// The user interface of the process.
class QBYDeliveriesManagerDelegate {
 public:
  virtual ~QBYDeliveriesManagerDelegate() = default;
  // The list or its order changed: reload the view.
  virtual void shouldReloadDeliveries() = 0;
  virtual void beganUpdatingDeliveries() {}
  // The run's counts, told just before completedUpdateWithResult.
  virtual void completedUpdateWithCounts(const QBYUpdateCounts& counts) { (void)counts; }
  virtual void completedUpdateWithResult(unsigned updateResult) = 0;
  virtual void beganSyncing() {}
  virtual void completedSyncing() {}
  virtual void updatedDelivery(const std::shared_ptr<Delivery>& delivery) = 0;
  virtual void addedDelivery(const std::shared_ptr<Delivery>& delivery, std::size_t row) = 0;
  virtual void removedDelivery(const std::shared_ptr<Delivery>& delivery, std::size_t row,
                               bool deleted) = 0;
  virtual void updatedArchivedDeliveries() {}
  virtual void userArchivedCompletedDelivery() {}
  virtual void shouldPresent(unsigned present, const std::shared_ptr<Delivery>& delivery) {
    (void)present;
    (void)delivery;
  }
  virtual void willClearHistory() {}
  virtual void installedServiceUpdatesVersion(std::int64_t version, bool beta) {
    (void)version;
    (void)beta;
  }
};

// The process's application object: its state, notifications, badge and reports.
class QBYDeliveriesNotificationDelegate {
 public:
  virtual ~QBYDeliveriesNotificationDelegate() = default;
  // 0 active (in front), 2 background.
  virtual long applicationState() = 0;
  virtual void versionChanged() {}
  virtual void versionIsOutdated() {}
  virtual void updateConfigurationFailed() {}
  virtual void deliveriesManagerException(const std::string& message) { (void)message; }
  virtual void presentDeliveryNotification(const QBYNotification& notification) {
    (void)notification;
  }
  virtual void removeNotificationForUUID(const std::string& uuid) { (void)uuid; }
  virtual void removeAllBadgeUUIDs() {}
  virtual void updateBadgeCount(long count) { (void)count; }
  virtual void updateSettings() {}
  // An inter-process action the manager does not handle itself (NewDelivery and BeginRestart
  // in the main application, RequestRestart and Quit in the background updater). The object
  // is null when the action carried none.
  virtual void processWormholeAction(const std::string& identifier, const Value& object) {
    (void)identifier;
    (void)object;
  }
};

class QBYDeliveriesTroubleshootingDelegate {
 public:
  virtual ~QBYDeliveriesTroubleshootingDelegate() = default;
  virtual void completedTroubleshootingWithReport(const Dictionary& report) = 0;
};

// The updater as the manager drives it. The real one (made by the default factory) wraps
// QBYDeliveriesUpdater; tests hand in a fake that reports what they choose.
class QBYDeliveriesUpdaterHandle {
 public:
  virtual ~QBYDeliveriesUpdaterHandle() = default;
  virtual void setDelegate(std::weak_ptr<QBYDeliveriesUpdaterDelegate> delegate) = 0;
  virtual void updateDeliveriesWithSettings(const Array& settings) = 0;
  virtual void startTroubleshooting() = 0;
  virtual void updateLogs() = 0;
  virtual void signInForDomain(const std::string& domain, const std::optional<std::string>& extra,
                               std::weak_ptr<QBYDeliveriesUpdaterCaptureView> captureView) = 0;
  virtual void invalidate() = 0;
  virtual void reduceMemoryUsage() = 0;
  virtual bool busy() const = 0;
  virtual bool configurationFailed() const = 0;
  // The wrapped engine updater, when there is one (nothing for fakes).
  virtual std::shared_ptr<QBYDeliveriesUpdater> updater() const { return nullptr; }
};

class QBYDeliveriesManager : public std::enable_shared_from_this<QBYDeliveriesManager> {
 public:
  // Makes the updater: services file (nothing: the shipped one) and whether to limit memory.
  using UpdaterFactory = std::function<std::shared_ptr<QBYDeliveriesUpdaterHandle>(
      std::optional<std::filesystem::path> servicesURL, bool limitMemoryUsage)>;
  // Sends an inter-process action the manager raises itself (UpdateDeliveries, AddDelivery),
  // which carries no object. Unset: sendWormholeAction.
  using ActionSender = std::function<void(const std::string& action)>;

  struct Options {
    UpdaterFactory updaterFactory;  // empty: the engine's QBYDeliveriesUpdater
    // Whether the main application runs (only asked outside it). Empty: asks the session bus
    // whether the application's well-known name (its identifier) has an owner.
    std::function<bool()> parentAppOpen;
    ActionSender actionSender;
    // Whether start() listens for the process type's inter-process actions (and processes the
    // messages waiting for them). Off for tools that borrow a program's process type without
    // being that program: they would take messages meant for it.
    bool listenForActions = true;
    // The calendar side; empty: one over the shared calendar store and defaults.
    std::shared_ptr<QBYDeliveriesCalendar> calendar;
  };

  // The process's one manager, made on first use (thread-safe).
  static std::shared_ptr<QBYDeliveriesManager> sharedManager();
  // A manager of its own (tests, tools): processType 0, updateResult 1, includeStuckDeliveries
  // on, defaults registered in the shared defaults.
  static std::shared_ptr<QBYDeliveriesManager> create(Options options);
  static std::shared_ptr<QBYDeliveriesManager> create();
  // The shared manager's sync manager.
  static std::shared_ptr<QBYSyncManager> sharedSyncManager();
  // "QBYSortMode" 1 and "playsounds" true.
  static void registerDefaults(QBYUserDefaults& defaults);

  ~QBYDeliveriesManager();
  QBYDeliveriesManager(const QBYDeliveriesManager&) = delete;
  QBYDeliveriesManager& operator=(const QBYDeliveriesManager&) = delete;

  // --- Properties ---
  bool started() const { return started_; }
  bool includeStuckDeliveries() const { return includeStuckDeliveries_; }
  bool continueUpdating() const { return continueUpdating_; }
  bool checkForServicesBeta() const { return checkForServicesBeta_; }
  bool handledException() const { return handledException_; }

  void setDelegate(std::weak_ptr<QBYDeliveriesManagerDelegate> delegate);
  void setNotificationDelegate(std::weak_ptr<QBYDeliveriesNotificationDelegate> delegate);
  void setTroubleshootingDelegate(std::weak_ptr<QBYDeliveriesTroubleshootingDelegate> delegate);
  std::shared_ptr<QBYDeliveriesManagerDelegate> delegate() const { return delegate_.lock(); }
  std::shared_ptr<QBYDeliveriesNotificationDelegate> notificationDelegate() const {
    return notificationDelegate_.lock();
  }

  // Also given to the sync manager when there is one. The manager keeps the store alive.
  void setDataStore(std::shared_ptr<QBYDataStore> dataStore);
  QBYDataStore* dataStore() const { return dataStore_.get(); }
  const std::shared_ptr<QBYDataStore>& sharedDataStore() const { return dataStore_; }
  void setSyncManager(std::shared_ptr<QBYSyncManager> syncManager);
  const std::shared_ptr<QBYSyncManager>& syncManager() const { return syncManager_; }

  unsigned forceUpdate() const { return forceUpdate_; }
  void setForceUpdate(unsigned force) { forceUpdate_ = force; }
  unsigned updateStep() const { return updateStep_; }
  // Storing 2 stores now as the busy date; 0 removes it.
  void setUpdateStep(unsigned step);
  unsigned updateResult() const { return updateResult_; }
  // Applying results marks a change with QBYUpdateResultNewData.
  void setUpdateResult(unsigned result) { updateResult_ = result; }
  unsigned processType() const { return processType_; }
  void setProcessType(unsigned type) { processType_ = type; }

  // Created on first use.
  std::shared_ptr<QBYDeliveriesUpdaterHandle> deliveriesUpdater();
  // The current updater without creating one.
  const std::shared_ptr<QBYDeliveriesUpdaterHandle>& currentUpdater() const { return updater_; }
  QBYDeliveriesFinder& deliveriesFinder();
  QBYDateFormatter& dateFormatter();
  QBYServiceUpdate& serviceUpdate();
  QBYResultsApplier& resultsApplier();
  QBYServiceCatalogue& serviceCatalogue();
  QBYDeliveriesCalendar& calendar();
  // The message channel in the shared container's "Wormhole" folder, made on first use and
  // kept for the manager's life (memory warnings leave it alone: it holds the listeners).
  // Nothing when the container cannot be made; every send and listen then does nothing.
  MMWormhole* wormhole();
  // Cached service lists (list order / use count above 0).
  std::vector<std::shared_ptr<Service>> services();
  std::vector<std::shared_ptr<Service>> favoriteServices();
  void clearServices();

  // The list this process shows.
  const std::vector<std::shared_ptr<Delivery>>& deliveries() const { return deliveries_; }
  const std::vector<std::shared_ptr<Delivery>>& activeDeliveries();
  // 0 active, 2 background (also when there is no notification delegate).
  long applicationState() const;
  const std::string& language() const { return language_; }
  const std::optional<std::string>& cachedStatus() const { return cachedStatus_; }
  long memoryWarningsWhileBusy() const { return memoryWarningsWhileBusy_; }
  const std::optional<std::string>& troubleshootingUUID() const { return troubleshootingUUID_; }
  // Delivery uuid → its lines' delivered dates before the last results replaced them.
  void setPreviousEventDates(const std::string& uuid, std::vector<Date> dates);

  // --- Derived ---
  std::optional<std::string> updateResultText() const;
  bool parentAppOpen() const;
  // The newest updatedTime of the active deliveries; the epoch without any.
  Date lastUpdated();
  std::optional<std::string> status();
  double minimumWidgetUpdateInterval() const;
  bool widgetUsedRecently() const;
  std::optional<Date> updateBusyDate() const;
  void setUpdateBusyDate(const std::optional<Date>& date);

  // --- Lifecycle ---
  void start();
  void prepareToStop();
  void stop();

  // The error of the last save of a run's changes that failed; cleared by one that succeeded.
  // A run whose changes could not be saved ends as failed.
  const std::optional<QBYError>& saveError() const { return saveError_; }
  // The counts of the run under way (zero between runs).
  const QBYUpdateCounts& runCounts() const { return runCounts_; }

  // --- Updating ---
  void update();
  void manualUpdate(unsigned force);
  bool refresh(bool reload);
  void cancel();
  bool busy() const;
  void updateDeliveries();
  void updateDeliveriesSoon();
  void updateDeliveriesAfter(double seconds);
  // Whether an updateDeliveries call is scheduled.
  bool updateDeliveriesPending() const { return delayedUpdate_.isPending(); }
  std::vector<std::shared_ptr<Delivery>> deliveriesToUpdate();
  // The dictionary the updater gets for one delivery.
  static Dictionary updaterSettingsForDelivery(const Delivery& delivery);
  void reloadDeliveries();
  std::vector<std::shared_ptr<Delivery>> fetchDeliveries();
  bool sortDeliveries();
  void updateStatus(const std::optional<std::string>& status);
  void postNotificationName(const std::string& name, const std::optional<Dictionary>& userInfo);
  void reduceMemoryUsage();
  void troubleshootDeliveryWithUUID(const std::string& uuid,
                                    std::weak_ptr<QBYDeliveriesTroubleshootingDelegate> delegate);
  void signInForDomain(const std::string& domain, const std::optional<std::string>& extra,
                       std::weak_ptr<QBYDeliveriesUpdaterCaptureView> captureView);
  void reloadServiceUpdates();
  void resetServiceUpdates();
  void downloadBetaServiceUpdate();
  void completeBetaServiceUpdate();
  static std::string descriptionForSortMode(unsigned mode);

  // --- Inter-process actions ---
  // Writes the object (none: no file) as the action's message and signals the action.
  void sendWormholeAction(const std::string& identifier, const std::optional<Value>& object);
  // Processes a message already waiting for the action, then listens for it. The listener
  // holds the manager weakly.
  void listenForWormholeAction(const std::string& identifier);
  // Acts on one action by process type; the object is null when there was none. Every branch
  // deletes the message file first, except AddDelivery outside the main application while the
  // main application runs: that message stays for the main application.
  void processWormholeAction(const std::string& identifier, const Value& object);

  // --- Updater's side (arrive from the updater on the main thread) ---
  void updateDeliveryWithResults(const Dictionary& results);
  void completeUpdateWithSuccess(bool success);
  void completeTroubleshootingWithLogs(const std::string& logs);
  void handleException(const std::string& message);

  // --- Sync manager's side ---
  void willStartSyncing();
  void saveObjectWithAttributes(const Dictionary& attributes, bool sync);
  void removeObjectWithUUID(const std::string& uuid);
  void deleteObjectsWithIDs(const std::vector<QBYManagedObjectID>& ids);
  void unknownObjectNamed(const std::string& name, const Dictionary& attributes);
  void ubiquitousKeyUpdatedWithObject(const std::string& key, const Value& object);
  std::string additionalQueryForQuillbaySync();
  bool shouldQuillbayUpdate();
  bool shouldUseTimer() const { return false; }

  // --- Service update's side ---
  void serviceUpdateInstalled();
  void serviceUpdateFailed();

  // --- Observers ---
  void userDefaultsDidChange(const Notification& notification);
  void localeOrTimeChanged(const Notification& notification);
  void syncStatusChanged(const Notification& notification);
  void syncComplete(const Notification& notification);
  void logsEnabledChanged(const Notification& notification);

  // --- Editing (adding, saving, removing) ---
  bool validateSettings(const QBYDeliverySettings& settings, bool checkPassword,
                        QBYError* error = nullptr);
  static std::optional<QBYError> validationErrorForFields(
      const std::vector<std::string>& fields, const std::optional<std::vector<std::string>>& keys);
  // A password the settings carry that could not be stored leaves the delivery's password
  // flag off and is told through passwordError (the delivery itself is saved).
  std::shared_ptr<Delivery> saveDeliveryWithSettings(QBYDeliverySettings settings,
                                                     QBYError* passwordError = nullptr);
  void saveOrRemoveDeliveryWithSettings(const QBYDeliverySettings& settings);
  void removeDeliveryWithSettings(const QBYDeliverySettings& settings);
  void removeDeliveryFromRow(std::size_t row);
  void addDeliveryLaterWithSettings(QBYDeliverySettings settings);
  void checkForAddedDeliveries();
  std::shared_ptr<Delivery> existingDeliveryMatchingGuess(const Dictionary& guess);
  std::shared_ptr<Delivery> deliveryWithSettings(const QBYDeliverySettings& settings,
                                                 bool strictMatching);
  // Not removed, view context.
  std::shared_ptr<Delivery> deliveryWithUUID(const std::optional<std::string>& uuid);
  std::shared_ptr<Delivery> deliveryWithUUID(const std::optional<std::string>& uuid,
                                             bool includeRemoved, QBYManagedObjectContext* context);
  std::shared_ptr<QBYManagedObject> existingObjectWithID(const QBYManagedObjectID& id);
  std::vector<std::shared_ptr<Delivery>> deliveriesMatchingSearch(
      const std::optional<std::string>& text, unsigned scope);
  void changedPasswordForDomain(const std::optional<std::string>& domain,
                                const std::optional<std::string>& extra);
  // Rows as QBYManualOrder counts them (QBYRowNotFound: no row).
  std::shared_ptr<Delivery> moveDeliveryFromRow(std::int64_t from, std::int64_t to, bool adjust);
  double indexForRow(std::int64_t row) const;
  void clearHistory();
  static std::string descriptionForHistoryDays(std::uint64_t days);
  void cleanUpAfterDelete();

  // Service catalogue operations that live in QBYServiceCatalogue.
  void importServicesWithDefaults(bool defaults, bool repair);
  std::shared_ptr<Service> serviceForDomain(const std::optional<std::string>& key);
  void increaseCountForService(const std::shared_ptr<Service>& service);

 private:
  struct Adapters;
  explicit QBYDeliveriesManager(Options options);
  void makeAdapters();

  void addObservers();
  void removeObservers();
  void dropUpdater();
  void runMigrations(unsigned previous, unsigned current);
  // Web-page deliveries saved by earlier builds get their address as the extra value.
  void moveWebAddressesToExtra();
  void rebuildSearchIndexes();
  // Saves the view context; a failure logs "Error saving changes: %@ %@", becomes the store's
  // fatal error and is kept as saveError().
  bool saveChanges();
  // Hands the notifications held back during a run to the notification delegate.
  void presentHeldNotifications();
  void tellDelegateAsync(std::function<void(QBYDeliveriesManagerDelegate&)> call);
  void sendAction(const std::string& action);
  // The actions of the process type (start step): the main application's or the companion's.
  void listenForWormholeActions();
  // Hands a changed delivery to the sync manager, when there is one.
  void syncDelivery(const std::shared_ptr<Delivery>& delivery, bool immediately);
  // Every delivery whose search text is rebuilt at start, in the context (its queue).
  static std::vector<std::shared_ptr<Delivery>> deliveriesForSearchIndex(
      QBYDataStore& store, QBYManagedObjectContext& context);

  Options options_;
  std::unique_ptr<Adapters> adapters_;

  bool started_ = false;
  bool includeStuckDeliveries_ = true;
  bool continueUpdating_ = false;
  bool checkForServicesBeta_ = false;
  bool handledException_ = false;
  bool configurationFailed_ = false;
  std::weak_ptr<QBYDeliveriesManagerDelegate> delegate_;
  std::weak_ptr<QBYDeliveriesNotificationDelegate> notificationDelegate_;
  std::weak_ptr<QBYDeliveriesTroubleshootingDelegate> troubleshootingDelegate_;
  std::shared_ptr<QBYDataStore> dataStore_;
  std::shared_ptr<QBYSyncManager> syncManager_;
  unsigned forceUpdate_ = QBYForceUpdateNone;
  unsigned updateStep_ = QBYUpdateStepIdle;
  unsigned updateResult_ = QBYUpdateResultNoChanges;
  unsigned processType_ = 0;

  std::shared_ptr<QBYDeliveriesUpdaterHandle> updater_;
  std::unique_ptr<QBYDeliveriesFinder> finder_;
  std::shared_ptr<QBYServiceUpdate> serviceUpdate_;
  std::unique_ptr<QBYResultsApplier> resultsApplier_;
  std::unique_ptr<QBYServiceCatalogue> serviceCatalogue_;
  std::shared_ptr<QBYDeliveriesCalendar> calendar_;
  std::optional<std::vector<std::shared_ptr<Service>>> services_;
  std::optional<std::vector<std::shared_ptr<Service>>> favoriteServices_;
  std::vector<std::shared_ptr<Delivery>> deliveries_;
  bool deliveriesFetched_ = false;

  std::string language_;
  std::optional<std::string> cachedStatus_;
  long memoryWarningsWhileBusy_ = 0;
  std::optional<std::string> troubleshootingUUID_;
  // The deliveries handed to the updater in this run, by uuid: each result finds its record
  // here instead of through a fetch, which would first write every pending change of the run.
  std::unordered_map<std::string, std::shared_ptr<Delivery>> deliveriesInRun_;

  // Notifications of the running update, told when its changes have been saved.
  std::vector<QBYNotification> heldNotifications_;
  std::optional<QBYError> saveError_;
  QBYUpdateCounts runCounts_;

  std::unique_ptr<MMWormhole> wormhole_;

  DelayedCall delayedUpdate_;
  std::vector<ObserverToken> observers_;
};

}  // namespace qby
