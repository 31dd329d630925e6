#include "sync/QBYSyncManager.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

#include "engine/QBYPasswordManager.h"
#include "model/Delivery.h"
#include "model/QBYModel.h"
#include "model/QBYSyncObject.h"
#include "model/Queue.h"
#include "platform/Localization.h"
#include "platform/Log.h"
#include "platform/QBYUserDefaults.h"
#include "platform/SystemChangeMonitor.h"
#include "platform/Vendor.h"
#include "presentation/Calendar.h"
#include "presentation/QBYDateFormatter.h"
#include "store/QBYDataStore.h"
#include "store/core/QBYManagedObjectContext.h"
#include "sync/QBYNoRemoteSyncEngine.h"
#include "sync/QBYQuillbaySyncEngine.h"
#include "util/StringUtilities.h"

namespace qby {

namespace {

// The sync set also carries archived deliveries changed this recently, so that archiving
// reaches the other machines.
constexpr long kRecentlyArchivedDays = 30;
constexpr double kStartDelay = 0.1;
constexpr double kSettleDelay = 0.7;
constexpr double kOperationQueueCompleteDelay = 0.1;
constexpr double kSyncTimerInterval = 3600;
constexpr double kBusyGiveUp = 30;
constexpr double kBusyGrace = 5;
// Beyond this a history window cannot be expressed as a calendar date.
constexpr std::int64_t kMaxHistoryDays = 10 * QBYHistoryDaysForever;

bool hasNonBlankText(const Value& value) {
  const auto* text = value.stringPtr();
  return text && hasTrimmedValue(*text);
}

// Runs on the main thread: now when already there, else queued, and only while the manager
// lives.
void onMain(const std::weak_ptr<bool>& alive, std::function<void()> work) {
  if (MainQueue::isMainThread()) {
    if (!alive.expired()) work();
    return;
  }
  MainQueue::async([alive, work = std::move(work)] {
    if (alive.expired()) {
      log("Sync manager went away before its callback ran");
      return;
    }
    work();
  });
}

}  // namespace

// --- Construction -------------------------------------------------------------------------

QBYSyncManager::QBYSyncManager() : QBYSyncManager(QBYSyncManagerEnvironment{}) {}

QBYSyncManager::QBYSyncManager(QBYSyncManagerEnvironment environment)
    : defaults_(environment.defaults ? environment.defaults : &QBYUserDefaults::sharedDefaults()),
      keyValueStore_(environment.keyValueStore ? std::move(environment.keyValueStore)
                                               : std::make_shared<QBYLocalKeyValueStore>()),
      credentials_(environment.credentials ? std::move(environment.credentials)
                                           : std::make_shared<QBYKeyringSyncCredentials>()),
      cloudEngine_(environment.cloudEngine ? std::move(environment.cloudEngine)
                                           : std::make_unique<QBYNoCloudSyncEngine>()),
      serviceEngine_(environment.serviceEngine ? std::move(environment.serviceEngine)
                                               : std::make_unique<QBYQuillbaySyncEngine>()),
      changeQueue_(
          [this](const std::function<void(QBYManagedObjectContext&)>& block) {
            return performInObjectContext(block);
          },
          [this](const std::string& uuid) { serviceEngine_->cancelOperationsWithUUID(uuid); }),
      alive_(std::make_shared<bool>(true)) {
  cloudEngine_->attach(this);
  serviceEngine_->attach(this);
  defaults_->registerDefaults(
      {{QBYSyncFirstRunKey, true},
       {QBYHistoryDaysKey, static_cast<std::int64_t>(QBYHistoryDaysForever)}});
  const std::int64_t days = defaults_->integerForKey(QBYHistoryDaysKey);
  if (days == 0 || days == QBYHistoryDaysForever) {
    historyDays_ = 365;
    deleteOldObjects_ = false;
  } else {
    historyDays_ = static_cast<unsigned>(std::clamp<std::int64_t>(days, 90, kMaxHistoryDays));
    deleteOldObjects_ = true;
  }
}

QBYSyncManager::~QBYSyncManager() {
  keyValueStore_->setExternalChangeHandler({});
  stopObserving();
  defaultsObserver_.reset();
  alive_.reset();
  // The engines may still hold callbacks that reach back into the manager; they go first,
  // after a sign-out still waiting for them was released.
  serviceEngine_->cancelAllOperations();
  signOutQueue_.reset();
  serviceEngine_->stop();
  cloudEngine_->stop();
  serviceEngine_.reset();
  cloudEngine_.reset();
  // A background context must not be destroyed from inside one of its own blocks; by now no
  // block of ours is queued (every use waits), so dropping it here is safe.
  std::lock_guard lock(objectContextMutex_);
  objectContext_.reset();
}

std::string QBYSyncManager::syncHelpURL() {
  return Vendor::supportSiteURL() + "/help/sync-options.html";
}

std::string QBYSyncManager::validationMessageForFields(const std::vector<std::string>& fields) {
  switch (fields.size()) {
    case 0:
      return "";
    case 1:
      return format(QBYLocalizedString("%@ is required."), QBYLocalizedString(fields[0]));
    case 2:
      return format(QBYLocalizedString("%@ and %@ are required."), QBYLocalizedString(fields[0]),
                    QBYLocalizedString(fields[1]));
    default:
      return format(QBYLocalizedString("%@, %@, and %@ are required."),
                    QBYLocalizedString(fields[0]), QBYLocalizedString(fields[1]),
                    QBYLocalizedString(fields[2]));
  }
}

void QBYSyncManager::setDataStore(QBYDataStore* dataStore) {
  if (dataStore == dataStore_) return;
  dataStore_ = dataStore;
  dropObjectContext();
}

// --- Mode flags and stored state ----------------------------------------------------------

bool QBYSyncManager::iCloudEnabled() const {
  return defaults_->boolForKey(QBYiCloudSuccessKey);
}

bool QBYSyncManager::quillbayEnabled() const {
  return defaults_->boolForKey(QBYQuillbaySuccessKey);
}

bool QBYSyncManager::firstRun() const {
  return defaults_->boolForKey(QBYSyncFirstRunKey);
}

void QBYSyncManager::setICloudEnabled(bool enabled) {
  defaults_->setBool(enabled, QBYiCloudSuccessKey);
  if (enabled) {
    defaults_->setBool(false, QBYSyncFirstRunKey);
    keyValueStore_->setObject(Value(QBYSyncTypeiCloud), QBYSyncTypeKey);
  }
}

void QBYSyncManager::setQuillbayEnabled(bool enabled) {
  defaults_->setBool(enabled, QBYQuillbaySuccessKey);
  if (enabled) {
    defaults_->setBool(false, QBYSyncFirstRunKey);
    keyValueStore_->setObject(Value(QBYSyncTypeQuillbay), QBYSyncTypeKey);
  }
}

std::optional<std::string> QBYSyncManager::quillbayEmail() const {
  auto email = defaults_->stringForKey(QBYQuillbayEmailKey);
  if (email && hasTrimmedValue(*email)) return email;
  return std::nullopt;
}

void QBYSyncManager::setQuillbayEmail(const std::optional<std::string>& email) {
  if (email) {
    defaults_->setObject(Value(*email), QBYQuillbayEmailKey);
  } else {
    defaults_->removeObjectForKey(QBYQuillbayEmailKey);
  }
}

std::optional<Date> QBYSyncManager::quillbaySuccessDate() const {
  return defaults_->dateOrNilForKey(QBYQuillbaySuccessDateKey);
}

void QBYSyncManager::setQuillbaySuccessDate(std::optional<Date> date) {
  if (date) {
    defaults_->setObject(Value(*date), QBYQuillbaySuccessDateKey);
  } else {
    defaults_->removeObjectForKey(QBYQuillbaySuccessDateKey);
  }
}

std::optional<std::string> QBYSyncManager::quillbayCode() {
  if (refreshQuillbayCode_) {
    refreshQuillbayCode_ = false;
    quillbayCode_.reset();
    if (auto email = quillbayEmail()) {
      quillbayCode_ =
          credentials_->passwordForAccount(*email + QBYSyncCodeSuffix, QBYQuillbayServiceKey);
    }
  }
  return quillbayCode_;
}

void QBYSyncManager::saveQuillbayCode(const std::optional<std::string>& code) {
  quillbayCode_ = code;
  refreshQuillbayCode_ = false;
  // While a sign-in form is being applied the account is the form's, not yet the stored one.
  std::optional<std::string> email = quillbayEmail();
  if (quillbaySettings_)
    if (auto formEmail = (*quillbaySettings_)["email"].asString(); formEmail && !formEmail->empty())
      email = std::move(formEmail);
  if (!email) return;
  const std::string account = *email + QBYSyncCodeSuffix;
  if (code && !code->empty()) {
    // The companion reads the code in the background; the password stays a foreground item.
    credentials_->setPassword(*code, account, QBYQuillbayServiceKey, true);
  } else {
    credentials_->deletePasswordForAccount(account, QBYQuillbayServiceKey);
  }
}

void QBYSyncManager::saveQuillbaySettings() {
  if (!quillbaySettings_) return;
  const auto email = (*quillbaySettings_)["email"].asString();
  const auto password = (*quillbaySettings_)["password"].asString();
  if (email) setQuillbayEmail(email);
  if (email && password && !email->empty() && !password->empty()) {
    credentials_->setPassword(*password, *email, QBYQuillbayServiceKey, false);
  }
  quillbaySettings_.reset();
}

// --- History window -----------------------------------------------------------------------

Date QBYSyncManager::historyDate() {
  if (!historyDate_) {
    historyDate_ = Calendar().dateDaysAgo(static_cast<long>(historyDays_) + 1).value_or(Date(0));
  }
  return *historyDate_;
}

void QBYSyncManager::historyDaysChanged(const Value& value) {
  const std::int64_t days = value.asInteger().value_or(0);
  // Only the window moves; whether anything is deleted was decided at launch, and the cached
  // date is kept until the clock or locale changes.
  historyDays_ = days == QBYHistoryDaysForever
                     ? 365
                     : static_cast<unsigned>(std::clamp<std::int64_t>(days, 90, kMaxHistoryDays));
}

void QBYSyncManager::observeDefaults() {
  if (defaultsObserver_) return;
  std::weak_ptr<bool> alive = alive_;
  defaultsObserver_ = QBYNotificationCenter::defaultCenter().addObserver(
      std::string(QBYUserDefaultsDidChangeNotification), defaults_,
      [this, alive](const Notification& notification) {
        if (notification.userInfo[QBYUserDefaultsKey].asString() != QBYHistoryDaysKey) return;
        const Value value = notification.userInfo[QBYUserDefaultsValue];
        onMain(alive, [this, value] { historyDaysChanged(value); });
      });
}

void QBYSyncManager::deleteOldArchivedObjects() {
  auto context = objectContext();
  if (!context) return;
  const double cutoff = historyDate().timeIntervalSince1970();
  std::weak_ptr<bool> alive = alive_;
  context->perform([this, alive, context, cutoff] {
    QBYFetchRequest request;
    request.entityName = QBYSyncEntityName;
    request.predicate = R"(t."archived" = 1 AND t."modified" < ?)";
    request.arguments = {Value(cutoff)};
    QBYError error;
    auto results = context->executeFetchRequest(request, &error);
    if (!results) {
      log("Error getting old, archived objects: %@, %@", error, error.userInfoDescription());
      return;
    }
    std::vector<QBYManagedObjectID> ids;
    for (std::size_t i = 0; i < results->size(); ++i) {
      if (auto object = results->at(i)) ids.push_back(object->objectID());
    }
    if (ids.empty()) return;
    MainQueue::async([this, alive, ids = std::move(ids)] {
      if (alive.expired()) return;
      if (delegate_) delegate_->deleteObjectsWithIDs(ids);
    });
  });
}

// --- Start-up -----------------------------------------------------------------------------

void QBYSyncManager::startSoon() {
  std::weak_ptr<bool> alive = alive_;
  startCall_.schedule(kStartDelay, [this, alive] {
    if (!alive.expired()) start();
  });
}

void QBYSyncManager::start() {
  startCall_.cancel();
  if (started_) return;
  const bool first = firstRun();

  std::weak_ptr<bool> alive = alive_;
  keyValueStore_->synchronize();
  keyValueStore_->setExternalChangeHandler(
      [this, alive](int reason, const std::vector<std::string>& keys) {
        onMain(alive, [this, reason, keys] { updateStoreItems(reason, keys); });
      });

  if (first) {
    // The other machines' choice may take a moment to arrive in the key-value store; a store
    // that stays on this machine has nothing more to bring.
    const auto type = keyValueStore_->objectForKey(QBYSyncTypeKey).asString();
    const double wait = keyValueStore_->receivesChangesFromElsewhere() ? (type ? 5 : 15) : 0;
    compareSyncTypeCall_.schedule(wait, [this, alive, type] {
      if (!alive.expired()) compareSyncType(type);
    });
  } else {
    cloudEngine_->enableiCloud();
  }

  observeDefaults();
  if (deleteOldObjects_ && delegate_) deleteOldArchivedObjects();
  startSyncTimer();
}

void QBYSyncManager::startSyncTimer() {
  if (!delegate_ || !delegate_->shouldUseTimer() || syncTimer_.isPending()) return;
  scheduleSyncTimer();
}

void QBYSyncManager::scheduleSyncTimer() {
  std::weak_ptr<bool> alive = alive_;
  syncTimer_.schedule(kSyncTimerInterval, [this, alive] {
    if (alive.expired()) return;
    scheduleSyncTimer();
    sync();
  });
}

void QBYSyncManager::refresh() {
  if (ready_) cloudEngine_->enableiCloud();
}

void QBYSyncManager::compareSyncType(const std::optional<std::string>& type) {
  compareSyncTypeCall_.cancel();
  if (!type || *type == QBYSyncTypeQuillbay) {
    if (promptForQuillbay()) return;
  }
  cloudEngine_->enableiCloud();
}

bool QBYSyncManager::promptForQuillbay() {
  if (!firstRun()) return false;
  defaults_->setBool(false, QBYSyncFirstRunKey);
  if (quillbayEmail()) return false;
  const auto account = credentials_->accountOnServer(QBYQuillbayServiceKey);
  if (!account || account->empty()) return false;
  if (!interfaceDelegate_) return false;
  waitForPrompt_ = true;
  std::weak_ptr<bool> alive = alive_;
  MainQueue::async([this, alive, account = *account] {
    if (alive.expired()) return;
    if (!interfaceDelegate_) {
      promptReturnedAccount(std::nullopt);
      return;
    }
    interfaceDelegate_->shouldPromptWithTitle(
        QBYLocalizedString("Quillbay Sync"),
        format(QBYLocalizedString("Would you like to log in with the address %@?"), account),
        QBYLocalizedString("Sign In"), QBYLocalizedString("Cancel"),
        [this, alive, account](bool accepted) {
          onMain(alive, [this, accepted, account] {
            promptReturnedAccount(accepted ? std::optional<std::string>(account) : std::nullopt);
          });
        });
  });
  return true;
}

void QBYSyncManager::promptReturnedAccount(const std::optional<std::string>& account) {
  if (account) {
    setQuillbayEmail(account);
    setQuillbayEnabled(true);
    saveAllObjectsToQuillbay();
  }
  waitForPrompt_ = false;
  if (account && started_) {
    cloudEngine_->disableiCloud();
    serviceEngine_->syncWithQuillbay();
  } else {
    cloudEngine_->enableiCloud();
  }
}

void QBYSyncManager::finishStart() {
  if (!MainQueue::isMainThread()) {
    onMain(alive_, [this] { finishStart(); });
    return;
  }
  const bool wasStarted = started_;
  started_ = true;
  ready_ = true;
  setStep(5);
  if (wasStarted) return;

  if (iCloudEnabled() || !promptForQuillbay()) sync();

  if (!systemObservers_.empty()) return;
  auto& center = QBYNotificationCenter::defaultCenter();
  std::weak_ptr<bool> alive = alive_;
  auto observe = [&](const char* name, std::function<void()> work) {
    systemObservers_.push_back(center.addObserver(
        std::string(name), nullptr,
        [alive, work = std::move(work)](const Notification&) { onMain(alive, work); }));
  };
  observe(QBYApplicationDidBecomeActiveNotification, [this] { sync(); });
  observe(QBYWorkspaceDidWakeNotification, [this] { sync(); });
  observe(QBYCalendarDayChangedNotification, [this] { localeOrTimeChanged(false, true); });
  observe(QBYSystemClockDidChangeNotification, [this] { localeOrTimeChanged(false, false); });
  observe(QBYSystemTimeZoneDidChangeNotification, [this] { localeOrTimeChanged(false, false); });
  observe(QBYCurrentLocaleDidChangeNotification, [this] { localeOrTimeChanged(true, false); });
}

void QBYSyncManager::stopObserving() {
  systemObservers_.clear();
  startCall_.cancel();
  compareSyncTypeCall_.cancel();
  syncTimer_.cancel();
}

void QBYSyncManager::cloudAccountChanged() {
  onMain(alive_, [this] {
    if (iCloudEnabled()) cloudEngine_->enableiCloud();
  });
}

void QBYSyncManager::localeOrTimeChanged(bool locale, bool dayChange) {
  historyDate_.reset();
  saveData();
  dropObjectContext();
  postNotification(locale ? QBYLocaleChangeNotification : QBYTimeChangeNotification, std::nullopt);
  if (dayChange) return;
  // A clock that was set back would otherwise hold off the next exchange for a long time.
  const Date now = Date::now();
  if (auto success = quillbaySuccessDate(); success && *success > now) setQuillbaySuccessDate(now);
  if (quillbayErrorDate_ && *quillbayErrorDate_ > now) quillbayErrorDate_ = now;
  sync();
}

void QBYSyncManager::updateStoreItems(int reason, const std::vector<std::string>& keys) {
  if (reason != QBYUbiquitousServerChange && reason != QBYUbiquitousInitialSyncChange) return;
  for (const auto& key : keys) {
    if (key == QBYSyncTypeKey) {
      if (firstRun()) compareSyncType(keyValueStore_->objectForKey(key).asString());
    } else if (delegate_) {
      delegate_->ubiquitousKey(key, keyValueStore_->objectForKey(key));
    }
  }
}

void QBYSyncManager::updateUbiquitousKey(const std::string& key, const Value& value) {
  keyValueStore_->setObject(value, key);
}

// --- Syncing ------------------------------------------------------------------------------

void QBYSyncManager::sync() {
  if (!started_ || waitForPrompt_ || step_ < 5) return;
  if (delegate_) delegate_->willStartSyncing();
  if (quillbayEnabled()) {
    serviceEngine_->syncWithQuillbay();
  } else {
    serviceEngine_->quillbayUpdate();
    if (iCloudEnabled() && !iCloudProblem_) cloudEngine_->syncWithiCloud();
  }
}

void QBYSyncManager::setForceUpdate(bool force) {
  forceUpdate_ = force;
  if (force) quillbayErrorDate_.reset();
}

bool QBYSyncManager::syncChanges() {
  if (iCloudEnabled() && !iCloudProblem_ && hasQueueItems()) {
    setStep(2);
    cloudEngine_->syncWithiCloud();
    return true;
  }
  return false;
}

void QBYSyncManager::syncObject(const std::shared_ptr<QBYSyncObject>& object, bool immediately) {
  if (!object) return;
  if (iCloudEnabled()) {
    saveObjectToiCloud(*object);
    if (immediately && !iCloudProblem_) cloudEngine_->syncWithiCloud();
  } else if (quillbayEnabled()) {
    saveObjectToQuillbay(
        object.get(), std::string(object->archived() ? QBYQueueCommandDelete : QBYQueueCommandAdd));
    serviceEngine_->syncWithQuillbay();
  }
}

void QBYSyncManager::processNotification(const Dictionary& userInfo) {
  (void)userInfo;
  sync();
}

void QBYSyncManager::resetiCloud() {
  cloudEngine_->resetiCloud();
}

void QBYSyncManager::updateiCloudSubscription() {
  if (iCloudEnabled()) cloudEngine_->resetiCloudSubscription(true);
}

void QBYSyncManager::promptForiCloudReset() {
  if (!interfaceDelegate_) return;
  std::weak_ptr<bool> alive = alive_;
  MainQueue::async([this, alive] {
    if (alive.expired() || !interfaceDelegate_) return;
    interfaceDelegate_->shouldPromptWithTitle(
        QBYLocalizedString("Reset iCloud Sync"),
        QBYLocalizedString("If you're having problems with iCloud syncing, you may need to reset "
                           "it. This will delete the app’s sync data from iCloud, then re-sync "
                           "everything in the app back to\u00A0iCloud."),
        QBYLocalizedString("Reset"), QBYLocalizedString("Cancel"), [this, alive](bool accepted) {
          if (accepted) onMain(alive, [this] { resetiCloud(); });
        });
  });
}

// --- Steps, status and notifications ------------------------------------------------------

void QBYSyncManager::setStep(unsigned step) {
  if (!MainQueue::isMainThread()) {
    onMain(alive_, [this, step] { setStep(step); });
    return;
  }
  if (step == step_ && step != 6) return;
  step6Call_.cancel();
  step_ = step;
  enterStep(step);
}

void QBYSyncManager::enterStep(unsigned step) {
  switch (step) {
    case 0:
      setActive(false);
      postNotification(QBYSyncChangeNotification, std::nullopt);
      break;
    case 1:
    case 2:
    case 3:
    case 4:
      setActive(true);
      postNotification(QBYSyncChangeNotification, std::nullopt);
      break;
    case 5: {
      setActive(false);
      std::weak_ptr<bool> alive = alive_;
      step6Call_.schedule(kSettleDelay, [this, alive] {
        if (!alive.expired()) setStep(6);
      });
      break;
    }
    default:
      setActive(false);
      postNotification(QBYSyncCompleteNotification, std::nullopt);
      break;
  }
}

void QBYSyncManager::setActive(bool active) {
  if (active == active_) return;
  // Linux has no sudden or automatic termination to hold off; the flag is what the programs
  // ask before quitting. Becoming idle writes the queue down first.
  if (!active) saveData();
  active_ = active;
}

std::optional<std::string> QBYSyncManager::status() const {
  if (!MainQueue::isMainThread()) return std::nullopt;
  auto syncingText = [this]() -> std::optional<std::string> {
    if (iCloudEnabled()) return QBYLocalizedString("Syncing with iCloud…");
    if (quillbayEnabled()) return QBYLocalizedString("Syncing with Quillbay…");
    return std::nullopt;
  };
  switch (step_) {
    case 0:
    case 1:
      return QBYLocalizedString("One moment…");
    case 2:
    case 3:
    case 5:
      return syncingText();
    case 4:
      return QBYLocalizedString("Updating…");
    default:
      if (iCloudEnabled() || !quillbayEnabled()) return std::nullopt;
      if (auto date = quillbaySuccessDate()) {
        return QBYDateFormatter::sharedFormatter().updatedText("Synced %@", *date);
      }
      return QBYLocalizedString("Couldn’t connect");
  }
}

std::string QBYSyncManager::syncType() const {
  if (iCloudEnabled()) return QBYSyncTypeiCloud;
  if (quillbayEnabled()) return QBYSyncTypeQuillbay;
  return started_ && step_ > 0 ? QBYLocalizedString("Off") : QBYLocalizedString("…");
}

void QBYSyncManager::postNotification(const char* name, const std::optional<std::string>& status) {
  Dictionary userInfo;
  if (status) userInfo.set(QBYSyncStatusKey, Value(*status));
  const std::string notificationName = name;
  onMain(alive_, [this, notificationName, userInfo = std::move(userInfo)] {
    QBYNotificationCenter::defaultCenter().post(notificationName, this, userInfo);
  });
}

void QBYSyncManager::quillbaySyncFailedWithConnectionError(bool connectionError) {
  postNotification(QBYSyncFailureNotification,
                   connectionError
                       ? std::optional<std::string>(QBYLocalizedString("Couldn’t connect"))
                       : std::nullopt);
  serviceEngine_->cancelAllOperations();
  setStep(5);
}

void QBYSyncManager::resetOperationQueue() {
  serviceEngine_->cancelAllOperations();
  setStep(5);
}

void QBYSyncManager::resetQuillbayQueue() {
  resetOperationQueue();
  serviceEngine_->resetQuillbaySession();
  setStep(5);
  // Deleted at once rather than later, so that a command queued right after (the sign-out's
  // "logout") cannot be swept away with the old items.
  changeQueue_.removeAllItems();
}

void QBYSyncManager::operationCountDidReachZero() {
  std::weak_ptr<bool> alive = alive_;
  onMain(alive, [this, alive] {
    operationQueueCompleteCall_.schedule(kOperationQueueCompleteDelay, [this, alive] {
      if (!alive.expired()) setStep(5);
    });
  });
}

// --- The change queue ---------------------------------------------------------------------

std::string QBYSyncManager::quillbayQueryForObject(const QBYSyncObject* object,
                                                   const std::string& cmd, double modified) const {
  return QBYSyncChangeQueue::quillbayQueryForObject(object, cmd, modified);
}

void QBYSyncManager::queueObject(const QBYSyncObject* object, const std::string& cmd,
                                 bool foriCloud) {
  changeQueue_.queueObject(object, cmd, foriCloud,
                           foriCloud ? 0 : defaults_->doubleForKey(QBYQuillbayOffsetKey));
}

void QBYSyncManager::saveObjectToiCloud(const QBYSyncObject& object) {
  queueObject(&object, QBYQueueCommandUpdate, true);
}

void QBYSyncManager::saveObjectToQuillbay(const QBYSyncObject* object,
                                          const std::optional<std::string>& cmd) {
  if (!cmd) return;
  queueObject(object, *cmd, false);
}

void QBYSyncManager::saveAllObjectsToiCloud() {
  setStep(2);
  performInObjectContext([this](QBYManagedObjectContext& context) {
    for (const auto& object : allObjectsToSync(context)) {
      queueObject(object.get(), QBYQueueCommandUpdate, true);
    }
  });
}

void QBYSyncManager::saveAllObjectsToQuillbay() {
  performInObjectContext([this](QBYManagedObjectContext& context) {
    for (const auto& object : allObjectsToSync(context)) {
      queueObject(object.get(), object->archived() ? QBYQueueCommandDelete : QBYQueueCommandAdd,
                  false);
    }
  });
}

bool QBYSyncManager::removeFromQueue(const std::string& uuid, double ifOlderThan, bool orForce) {
  return changeQueue_.removeFromQueue(uuid, ifOlderThan, orForce);
}

void QBYSyncManager::removeUUIDFromQueue(const std::string& uuid) {
  removeFromQueue(uuid, 0, true);
}

bool QBYSyncManager::hasQueueItems() {
  return changeQueue_.hasQueueItems();
}

std::vector<QBYSyncQueueItem> QBYSyncManager::fetchQueueItems() {
  return changeQueue_.fetchQueueItems();
}

// --- The working context ------------------------------------------------------------------

std::shared_ptr<QBYManagedObjectContext> QBYSyncManager::objectContext() {
  std::lock_guard lock(objectContextMutex_);
  if (!objectContext_ && dataStore_ && dataStore_->available()) {
    objectContext_ = dataStore_->backgroundContext();
  }
  return objectContext_;
}

void QBYSyncManager::dropObjectContext() {
  std::shared_ptr<QBYManagedObjectContext> old;
  {
    std::lock_guard lock(objectContextMutex_);
    old.swap(objectContext_);
  }
  // Let blocks already queued on it finish before it goes (they hold it too).
  if (old) old->performAndWait([] {});
}

bool QBYSyncManager::performInObjectContext(
    const std::function<void(QBYManagedObjectContext&)>& block) {
  auto context = objectContext();
  if (!context) return false;
  context->performAndWait([&] { block(*context); });
  return true;
}

std::vector<std::shared_ptr<QBYSyncObject>> QBYSyncManager::allObjectsToSync(
    QBYManagedObjectContext& context) {
  const double recent =
      Calendar().dateDaysAgo(kRecentlyArchivedDays).value_or(Date(0)).timeIntervalSince1970();
  QBYFetchRequest request;
  request.entityName = QBYSyncEntityName;
  request.predicate = R"(t."archived" IS NOT 1 OR (t."removed" IS NOT 1 AND t."modified" > ?))";
  request.arguments = {Value(recent)};
  QBYError error;
  auto results = context.executeFetchRequest(request, &error);
  if (!results) {
    log("Error getting all objects: %@, %@", error, error.userInfoDescription());
    return {};
  }
  std::vector<std::shared_ptr<QBYSyncObject>> objects;
  for (auto& object : results->allAs<QBYSyncObject>()) {
    if (object) objects.push_back(std::move(object));
  }
  return objects;
}

bool QBYSyncManager::saveData() {
  // Only a context that exists can hold changes; making one just to find none would be waste.
  std::shared_ptr<QBYManagedObjectContext> context;
  {
    std::lock_guard lock(objectContextMutex_);
    context = objectContext_;
  }
  bool saved = true;
  if (context) {
    context->performAndWait([&] {
      if (context->hasChanges()) saved = qby_saveChanges(*context);
    });
  }
  if (saved && dataStore_ && dataStore_->available() && MainQueue::isMainThread()) {
    dataStore_->saveData();
  }
  return saved;
}

// --- Duplicates ---------------------------------------------------------------------------

void QBYSyncManager::removeDuplicateObjects() {
  auto context = objectContext();
  if (!context) return;
  std::weak_ptr<bool> alive = alive_;
  context->perform([this, alive, context] {
    QBYFetchRequest request;
    request.entityName = QBYSyncEntityName;
    QBYError error;
    auto results = context->executeFetchRequest(request, &error);
    if (!results) {
      log("Error getting all objects: %@, %@", error, error.userInfoDescription());
      return;
    }
    const auto objects = results->allAs<QBYSyncObject>();
    // Positions of each uuid's records, in the order they were seen.
    std::unordered_map<std::string, std::vector<std::size_t>> byUUID;
    std::vector<std::string> order;
    for (std::size_t i = 0; i < objects.size(); ++i) {
      if (!objects[i]) continue;
      const auto uuid = objects[i]->uuid();
      if (!uuid) continue;
      auto [it, inserted] = byUUID.try_emplace(*uuid);
      if (inserted) order.push_back(*uuid);
      it->second.push_back(i);
    }
    std::vector<Dictionary> merged;
    std::vector<QBYManagedObjectID> doomed;
    for (const auto& uuid : order) {
      const auto& group = byUUID[uuid];
      if (group.size() < 2) continue;
      std::size_t keep = group.front();
      for (std::size_t index : group) {
        // Strictly greater: on a tie the first one seen stays.
        if (objects[index]->modified() > objects[keep]->modified()) keep = index;
      }
      for (std::size_t index : group) {
        if (index != keep) doomed.push_back(objects[index]->objectID());
      }
      Dictionary attributes = objects[keep]->attributes();
      attributes.erase("archived");
      attributes.erase("modified");
      merged.push_back(std::move(attributes));
    }
    if (merged.empty()) return;
    log("Duplicate objects found");
    MainQueue::async([this, alive, merged = std::move(merged), doomed = std::move(doomed)] {
      if (alive.expired() || !delegate_) return;
      for (const auto& attributes : merged) delegate_->saveObjectWithAttributes(attributes, true);
      delegate_->deleteObjectsWithIDs(doomed);
    });
  });
}

// --- The sign-in form ---------------------------------------------------------------------

bool QBYSyncManager::validateQuillbaySettings(const Dictionary& settings, QBYError* error) {
  const bool isNew = settings["new"].asBool().value_or(false);
  const bool hasEmail = hasNonBlankText(settings["email"]);
  const bool hasPassword = hasNonBlankText(settings["password"]);

  if (!hasEmail && !isNew && !hasPassword) {
    disableQuillbayAndDeletePassword(false);
    return true;
  }

  auto refuse = [&](const std::string& message) {
    setError(error, QBYError::make(QBYSyncErrorDomain, QBYSyncFormErrorCode, message));
    postNotification(QBYSyncFailureNotification, message);
    return false;
  };

  std::vector<std::string> missing;
  if (!hasEmail) missing.emplace_back("Email");
  if (!hasPassword || (isNew && !hasNonBlankText(settings["confirm"]))) {
    missing.emplace_back("Password");
  }
  if (!missing.empty()) {
    const std::string message = validationMessageForFields(missing);
    quillbayMessage_ = message;
    return refuse(message);
  }
  if (isNew && settings["password"] != settings["confirm"]) {
    return refuse(QBYLocalizedString("Both password fields must match."));
  }

  resetQuillbayQueue();
  cloudEngine_->disableiCloud();
  quillbaySettings_ = settings;
  if (isNew) serviceEngine_->registerQuillbayAccount();
  saveAllObjectsToQuillbay();
  serviceEngine_->syncWithQuillbay();
  postNotification(QBYSyncChangeNotification, QBYLocalizedString("Syncing with Quillbay…"));
  return false;
}

void QBYSyncManager::discardQuillbaySettings() {
  quillbayMessage_.reset();
  if (!iCloudEnabled() && quillbayEmail() && !quillbayEnabled()) {
    disableQuillbayAndDeletePassword(false);
  }
}

void QBYSyncManager::disableQuillbayAndDeletePassword(bool deletePassword) {
  cloudEngine_->resetiCloudSubscription(false);
  resetQuillbayQueue();
  if (quillbayEnabled()) {
    queueObject(nullptr, QBYQueueCommandLogout, false);
    serviceEngine_->syncWithQuillbay();
  }
  // The logout request must go out with the account's credentials, so they are dropped only
  // once the queue has drained.
  const auto email = quillbayEmail();
  std::weak_ptr<bool> alive = alive_;
  auto* engine = serviceEngine_.get();
  auto finish = [this, alive, email, deletePassword] {
    if (alive.expired()) return;
    if (deletePassword && email) {
      credentials_->deletePasswordForAccount(*email, QBYQuillbayServiceKey);
    }
    saveQuillbayCode(std::nullopt);
    setQuillbayEnabled(false);
    setQuillbayEmail(std::nullopt);
    defaults_->removeObjectForKey(QBYQuillbayClientKey);
    defaults_->setDouble(0, QBYQuillbayUpdatedKey);
    setQuillbaySuccessDate(std::nullopt);
    quillbayErrorDate_.reset();
    quillbayMessage_.reset();
    quillbaySettings_.reset();
    if (!iCloudEnabled()) cloudEngine_->enableiCloud();
  };
  if (engine->operationCount() == 0) {
    finish();
    return;
  }
  if (!signOutQueue_) signOutQueue_ = std::make_unique<QBYOperationQueue>("Sync sign-out");
  signOutQueue_->addOperation([engine, alive, finish] {
    if (alive.expired()) return;
    engine->waitUntilAllOperationsAreFinished(kBusyGiveUp * 4);
    MainQueue::async(finish);
  });
}

// --- Quitting -----------------------------------------------------------------------------

void QBYSyncManager::prepareToStop() {
  syncChanges();
  preparingToStop_ = true;
  gaveUpWaiting_ = false;
  quitDate_ = Date::now();
}

bool QBYSyncManager::busy() {
  if (step_ == 6) return false;
  if (step_ == 5 && !preparingToStop_) return true;
  // Once given up, the answer stays: asking again must not hold the quit up for another 30 s.
  if (gaveUpWaiting_) return false;
  if (!quitDate_) return true;
  const double elapsed = Date::now().timeIntervalSince(*quitDate_);
  auto giveUp = [this] {
    quitDate_.reset();
    gaveUpWaiting_ = true;
    setActive(false);
    return false;
  };
  if (elapsed > kBusyGiveUp) return giveUp();
  if (elapsed < kBusyGrace) return true;
  if ((iCloudEnabled() || quillbayEnabled()) && serviceEngine_->operationCount() > 0) return true;
  return giveUp();
}

void QBYSyncManager::stop() {
  saveData();
  stopObserving();
  resetOperationQueue();
  serviceEngine_->resetQuillbaySession();
  serviceEngine_->stop();
  cloudEngine_->stop();
  started_ = false;
  ready_ = false;
}

}  // namespace qby
