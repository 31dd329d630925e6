// The sync manager keeps the local list of deliveries in step with the user's other machines.
// It owns the choice of engine (none, the cloud record database or the vendor's sync service,
// derived from two stored flags), the start-up sequence, the persistent change queue, the
// sign-in and sign-out of the vendor account, the step/status machine that user interfaces
// show, the removal of old archived deliveries and orderly stopping. It never edits deliveries
// itself: incoming changes go to the data delegate (the deliveries manager).
//
// One instance per process, made by the program and handed to the deliveries manager, which
// sets itself as data delegate and the data store, sets the prefetch paths and calls
// startSoon().
//
// Threads: the step machine, notifications, prompts and all delegate calls run on the main
// thread; call everything on the main thread except the change-queue operations (queueObject,
// removeFromQueue, hasQueueItems, fetchQueueItems, …) and saveData, which go through
// synchronous performs on the working context and may be called from any thread, engine
// callback threads included.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Date.h"
#include "platform/MainQueue.h"
#include "platform/QBYError.h"
#include "platform/QBYNotificationCenter.h"
#include "platform/QBYOperationQueue.h"
#include "platform/Value.h"
#include "store/QBYDeliveriesQueries.h"
#include "store/core/QBYManagedObject.h"
#include "sync/QBYSyncChangeQueue.h"
#include "sync/QBYSyncCredentials.h"
#include "sync/QBYSyncEngine.h"
#include "sync/QBYSyncKeyValueStore.h"
#include "sync/QBYSyncManagerDelegate.h"

namespace qby {

class QBYDataStore;
class QBYManagedObjectContext;
class QBYSyncObject;
class QBYUserDefaults;

// --- Notifications (sender: the sync manager) ---
inline constexpr const char* QBYSyncChangeNotification = "QBYSyncChangeNotification";
inline constexpr const char* QBYSyncCompleteNotification = "QBYSyncCompleteNotification";
inline constexpr const char* QBYSyncFailureNotification = "QBYSyncFailureNotification";
inline constexpr const char* QBYSyncSuccessNotification = "QBYSyncSuccessNotification";
inline constexpr const char* QBYSyncSettingsErrorNotification = "QBYSyncSettingsErrorNotification";
inline constexpr const char* QBYLocaleChangeNotification = "QBYLocaleChangeNotification";
inline constexpr const char* QBYTimeChangeNotification = "QBYTimeChangeNotification";
// The status text in a notification's user information, present only when there is one.
inline constexpr const char* QBYSyncStatusKey = "QBYSyncStatusKey";

// Posted by the programs (on the default centre) when they become the active application and
// when the machine wakes from sleep, and by whoever notices a new calendar day; the sync
// manager syncs on the first two and refreshes its dates on the third.
inline constexpr const char* QBYApplicationDidBecomeActiveNotification =
    "QBYApplicationDidBecomeActiveNotification";
inline constexpr const char* QBYWorkspaceDidWakeNotification = "QBYWorkspaceDidWakeNotification";
inline constexpr const char* QBYCalendarDayChangedNotification =
    "QBYCalendarDayChangedNotification";

// --- Errors of the sign-in form ---
inline constexpr const char* QBYSyncErrorDomain = "com.quillbay.sync";
inline constexpr std::int64_t QBYSyncFormErrorCode = 200;

// The server string of the sync account's keyring items.
inline constexpr const char* QBYQuillbayServiceKey = "sync.quillbay.com";

// --- Shared-defaults keys ---
inline constexpr const char* QBYSyncFirstRunKey = "firstrun";
// QBYHistoryDaysKey ("QBYHistoryDays") comes with the store queries, which read it too.
inline constexpr const char* QBYiCloudSuccessKey = "QBYiCloudSuccess";
inline constexpr const char* QBYiCloudChangeTokenKey = "QBYiCloudChangeToken";
inline constexpr const char* QBYiCloudHashKey = "QBYiCloudHash";
inline constexpr const char* QBYQuillbaySuccessKey = "syncsuccess";
inline constexpr const char* QBYQuillbayEmailKey = "syncemail";
inline constexpr const char* QBYQuillbayClientKey = "syncclient";
inline constexpr const char* QBYQuillbayUpdatedKey = "syncupdated";
inline constexpr const char* QBYQuillbayOffsetKey = "syncoffset";
inline constexpr const char* QBYQuillbaySuccessDateKey = "QBYQuillbaySuccessDate";
// "Never delete archived deliveries".
inline constexpr std::int64_t QBYHistoryDaysForever = 365242;

// The cloud key-value store's key for the sync type, with its two values.
inline constexpr const char* QBYSyncTypeKey = "QBYSyncType";
inline constexpr const char* QBYSyncTypeiCloud = "iCloud";
inline constexpr const char* QBYSyncTypeQuillbay = "Quillbay";

// What a sync manager is made with; every member left empty gets the real one (the shared
// defaults, the local key-value store, the keyring, the engines without remote).
struct QBYSyncManagerEnvironment {
  QBYUserDefaults* defaults = nullptr;
  std::shared_ptr<QBYSyncKeyValueStore> keyValueStore;
  std::shared_ptr<QBYSyncCredentials> credentials;
  std::unique_ptr<QBYCloudSyncEngine> cloudEngine;
  std::unique_ptr<QBYSyncServiceEngine> serviceEngine;
};

class QBYSyncManager {
 public:
  QBYSyncManager();
  explicit QBYSyncManager(QBYSyncManagerEnvironment environment);
  ~QBYSyncManager();
  QBYSyncManager(const QBYSyncManager&) = delete;
  QBYSyncManager& operator=(const QBYSyncManager&) = delete;

  // The product's help address followed by "sync-options.html".
  static std::string syncHelpURL();
  // "%@ is required.", "%@ and %@ are required.", "%@, %@, and %@ are required." (the first
  // three), each field name localised; "" for none.
  static std::string validationMessageForFields(const std::vector<std::string>& fields);

  // --- Wiring ---
  void setDataStore(QBYDataStore* dataStore);
  QBYDataStore* dataStore() const { return dataStore_; }
  void setDelegate(QBYSyncManagerDelegate* delegate) { delegate_ = delegate; }
  QBYSyncManagerDelegate* delegate() const { return delegate_; }
  void setInterfaceDelegate(QBYSyncInterfaceDelegate* delegate) { interfaceDelegate_ = delegate; }
  QBYSyncInterfaceDelegate* interfaceDelegate() const { return interfaceDelegate_; }
  void setNotificationDelegate(QBYSyncNotificationDelegate* delegate) {
    notificationDelegate_ = delegate;
  }
  QBYSyncNotificationDelegate* notificationDelegate() const { return notificationDelegate_; }
  void setCloudKitPrefetchPaths(std::vector<std::string> paths) {
    cloudKitPrefetchPaths_ = std::move(paths);
  }
  const std::vector<std::string>& cloudKitPrefetchPaths() const { return cloudKitPrefetchPaths_; }
  // The main application turns this off: activity then keeps automatic termination alone.
  void setSupportAutomaticTermination(bool support) { supportAutomaticTermination_ = support; }
  bool supportAutomaticTermination() const { return supportAutomaticTermination_; }

  QBYUserDefaults& defaults() const { return *defaults_; }
  QBYSyncKeyValueStore& keyValueStore() const { return *keyValueStore_; }
  QBYSyncCredentials& credentials() const { return *credentials_; }
  QBYCloudSyncEngine& cloudEngine() const { return *cloudEngine_; }
  QBYSyncServiceEngine& serviceEngine() const { return *serviceEngine_; }

  // --- Operations the programs and the deliveries manager use ---
  // Cancels a pending start and starts after 0.1 s.
  void startSoon();
  void start();
  // Re-checks the cloud account when ready.
  void refresh();
  // Runs the engine of the current mode; nothing before start-up finished, while a prompt is
  // up or while a pass runs (steps 0-4).
  void sync();
  void setForceUpdate(bool force);
  bool forceUpdate() const { return forceUpdate_; }
  // Pushes queued cloud changes now; true when a push was started.
  bool syncChanges();
  // Queues one delivery for the current mode (cloud mode first) and syncs: the cloud only when
  // immediately, the vendor service always.
  void syncObject(const std::shared_ptr<QBYSyncObject>& object, bool immediately);
  void syncObject(const std::shared_ptr<QBYSyncObject>& object) { syncObject(object, true); }
  void prepareToStop();
  // Whether quitting should wait; gives up 30 s after prepareToStop.
  bool busy();
  void stop();
  // Merges deliveries that share a uuid, in the background: the newest modified one wins (the
  // first seen on a tie), is saved afresh through the delegate and the others are deleted.
  void removeDuplicateObjects();
  // Applies the sign-in or registration form. True only when an empty form turned sync off;
  // false with the error when the form was refused; false without error while signing in.
  bool validateQuillbaySettings(const Dictionary& settings, QBYError* error);
  void discardQuillbaySettings();
  void disableQuillbayAndDeletePassword(bool deletePassword);
  void promptForiCloudReset();
  void resetiCloud();
  void updateiCloudSubscription();
  void processNotification(const Dictionary& userInfo);
  void updateUbiquitousKey(const std::string& key, const Value& value);

  // --- State ---
  // The status text for the user interface; nothing off the main thread.
  std::optional<std::string> status() const;
  std::string syncType() const;
  unsigned step() const { return step_; }
  bool iCloudEnabled() const;
  bool quillbayEnabled() const;
  // The stored account e-mail when it has non-blank text.
  std::optional<std::string> quillbayEmail() const;
  const std::optional<std::string>& quillbayMessage() const { return quillbayMessage_; }
  bool firstRun() const;
  bool started() const { return started_; }
  bool ready() const { return ready_; }
  bool active() const { return active_; }
  bool waitForPrompt() const { return waitForPrompt_; }
  bool preparingToStop() const { return preparingToStop_; }
  std::optional<Date> quitDate() const { return quitDate_; }
  bool iCloudAvailable() const { return iCloudAvailable_; }
  bool iCloudReady() const { return iCloudReady_; }
  bool iCloudProblem() const { return iCloudProblem_; }
  bool moreToSync() const { return moreToSync_; }
  const std::optional<Dictionary>& quillbaySettings() const { return quillbaySettings_; }
  std::optional<Date> quillbaySuccessDate() const;
  std::optional<Date> quillbayErrorDate() const { return quillbayErrorDate_; }

  // --- History window ---
  unsigned historyDays() const { return historyDays_; }
  bool deleteOldObjects() const { return deleteOldObjects_; }
  // historyDays + 1 calendar days ago, cached until the locale or clock changes.
  Date historyDate();

  // --- For the engines: state changes ---
  void setStep(unsigned step);
  void setICloudEnabled(bool enabled);
  void setQuillbayEnabled(bool enabled);
  void setQuillbayEmail(const std::optional<std::string>& email);
  void setStarted(bool started) { started_ = started; }
  void setReady(bool ready) { ready_ = ready; }
  void setICloudAvailable(bool available) { iCloudAvailable_ = available; }
  void setICloudReady(bool ready) { iCloudReady_ = ready; }
  void setICloudProblem(bool problem) { iCloudProblem_ = problem; }
  void setMoreToSync(bool more) { moreToSync_ = more; }
  void setQuillbayMessage(std::optional<std::string> message) {
    quillbayMessage_ = std::move(message);
  }
  void setQuillbaySettings(std::optional<Dictionary> settings) {
    quillbaySettings_ = std::move(settings);
  }
  void setQuillbaySuccessDate(std::optional<Date> date);
  void setQuillbayErrorDate(std::optional<Date> date) { quillbayErrorDate_ = date; }
  // The login code, read again from the keyring when refreshQuillbayCode was asked for.
  std::optional<std::string> quillbayCode();
  void setRefreshQuillbayCode(bool refresh) { refreshQuillbayCode_ = refresh; }
  // Keeps the code and stores it in the keyring; nothing deletes the keyring item.
  void saveQuillbayCode(const std::optional<std::string>& code);
  // The confirmed form becomes the stored e-mail and keyring password; the form is dropped.
  void saveQuillbaySettings();

  // --- For the engines: start-up and flow ---
  // Start-up finished (any thread; runs on the main queue).
  void finishStart();
  void compareSyncType(const std::optional<std::string>& type);
  // True when a sign-in prompt for a known account was put up.
  bool promptForQuillbay();
  void promptReturnedAccount(const std::optional<std::string>& account);
  // Values of the cloud key-value store changed elsewhere.
  void updateStoreItems(int reason, const std::vector<std::string>& keys);
  // The cloud account behind the machine changed.
  void cloudAccountChanged();
  // dayChange: a new calendar day (no sync); locale: the locale changed (else the clock or zone).
  void localeOrTimeChanged(bool locale, bool dayChange);
  // Posts the notification with the status text under QBYSyncStatusKey when there is one.
  void postNotification(const char* name, const std::optional<std::string>& status);
  // A service exchange failed: failure notification ("Couldn’t connect" for a connection
  // failure), all operations cancelled, step 5. The queue keeps its items.
  void quillbaySyncFailedWithConnectionError(bool connectionError);
  // Cancels every service operation and settles (step 5).
  void resetOperationQueue();
  // Also forgets the session and deletes every queue item.
  void resetQuillbayQueue();
  // The engine's operation queue became empty (main thread): step 5 after 0.1 s.
  void operationCountDidReachZero();

  // --- The change queue (any thread) ---
  // object may be null (a command about no delivery, uuid "<new uuid>-QUEUE").
  void queueObject(const QBYSyncObject* object, const std::string& cmd, bool foriCloud);
  void saveObjectToiCloud(const QBYSyncObject& object);
  // Nothing without a command.
  void saveObjectToQuillbay(const QBYSyncObject* object, const std::optional<std::string>& cmd);
  void saveAllObjectsToiCloud();
  void saveAllObjectsToQuillbay();
  // True when the item is gone: none existed, or it was removed. False (and the item stays)
  // when not forced and the queued local change is newer than time.
  bool removeFromQueue(const std::string& uuid, double ifOlderThan, bool orForce);
  void removeUUIDFromQueue(const std::string& uuid);
  bool hasQueueItems();
  std::vector<QBYSyncQueueItem> fetchQueueItems();
  // The request parameters of a vendor-service command about the object (or none).
  std::string quillbayQueryForObject(const QBYSyncObject* object, const std::string& cmd,
                                     double modified) const;

  // --- The working context ---
  // The data store's background context, made on first use; nullptr without an available
  // store.
  std::shared_ptr<QBYManagedObjectContext> objectContext();
  // Runs the block synchronously on the working context; false without one.
  bool performInObjectContext(const std::function<void(QBYManagedObjectContext&)>& block);
  // Active deliveries plus archived, not removed ones changed in the last 30 days. Call on the
  // context's queue.
  std::vector<std::shared_ptr<QBYSyncObject>> allObjectsToSync(QBYManagedObjectContext& context);
  // Saves the working context when it has changes, then the data store; answers whether the
  // context save succeeded (no changes counts as success).
  bool saveData();

 private:
  void setActive(bool active);
  void enterStep(unsigned step);
  void observeDefaults();
  void historyDaysChanged(const Value& value);
  void deleteOldArchivedObjects();
  void startSyncTimer();
  void scheduleSyncTimer();
  void stopObserving();
  void dropObjectContext();

  QBYUserDefaults* defaults_ = nullptr;
  std::shared_ptr<QBYSyncKeyValueStore> keyValueStore_;
  std::shared_ptr<QBYSyncCredentials> credentials_;
  std::unique_ptr<QBYCloudSyncEngine> cloudEngine_;
  std::unique_ptr<QBYSyncServiceEngine> serviceEngine_;

  QBYDataStore* dataStore_ = nullptr;
  QBYSyncManagerDelegate* delegate_ = nullptr;
  QBYSyncInterfaceDelegate* interfaceDelegate_ = nullptr;
  QBYSyncNotificationDelegate* notificationDelegate_ = nullptr;
  std::vector<std::string> cloudKitPrefetchPaths_;

  bool started_ = false;
  bool ready_ = false;
  unsigned step_ = 0;
  bool active_ = false;
  bool waitForPrompt_ = false;
  bool preparingToStop_ = false;
  std::optional<Date> quitDate_;
  bool gaveUpWaiting_ = false;
  bool supportAutomaticTermination_ = true;
  bool iCloudAvailable_ = false;
  bool iCloudReady_ = false;
  bool iCloudProblem_ = false;
  bool forceUpdate_ = false;
  bool moreToSync_ = false;
  std::optional<Dictionary> quillbaySettings_;
  std::optional<std::string> quillbayCode_;
  bool refreshQuillbayCode_ = true;
  std::optional<std::string> quillbayMessage_;
  std::optional<Date> quillbayErrorDate_;

  unsigned historyDays_ = 365;
  std::optional<Date> historyDate_;
  bool deleteOldObjects_ = false;

  std::shared_ptr<QBYManagedObjectContext> objectContext_;
  std::mutex objectContextMutex_;
  QBYSyncChangeQueue changeQueue_;

  DelayedCall startCall_;
  DelayedCall compareSyncTypeCall_;
  DelayedCall step6Call_;
  DelayedCall operationQueueCompleteCall_;
  DelayedCall syncTimer_;
  ObserverToken defaultsObserver_;
  std::vector<ObserverToken> systemObservers_;
  // Where a sign-out waits for the last exchanges (the logout) before it forgets the account.
  std::unique_ptr<QBYOperationQueue> signOutQueue_;
  // Shared with blocks on other queues, which check it before touching the manager.
  std::shared_ptr<bool> alive_;
};

}  // namespace qby
