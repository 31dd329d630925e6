#include "QBYBackgroundAppDelegate.h"

#include <cstdlib>

#include "PorvaneKit.h"
#include "QBYGlobalShortcuts.h"
#include "QBYStatusMenuController.h"
#include "QBYStoreChangeMonitor.h"
#include "manager/QBYBackgroundUpdater.h"
#include "manager/QBYUpdateSchedule.h"
#include "model/Delivery.h"
#include "platform/LauncherEntry.h"
#include "platform/Log.h"
#include "platform/QBYUserDefaults.h"
#include "store/QBYDataStore.h"
#include "sync/QBYSyncManager.h"

namespace porvane::express {

namespace {

// The main application's address for its settings' Sync pane.
constexpr const char* kSyncSettingsURL = "porvane://settings/sync";
constexpr const char* kAddURL = "porvane://add";
constexpr const char* kShowURL = "porvane://show";

constexpr double kQuitDelaySeconds = 30;
constexpr const char* kScheduleIdentifier = "com.quillbay.mac.Porvane.Updater.sync";

// Test builds may shorten a delay through the environment; a program a user runs never does.
std::optional<double> testSeconds(const char* variable) {
#ifdef PORVANE_TEST_HOOKS
  if (const char* text = std::getenv(variable); text && *text) {
    char* end = nullptr;
    const double seconds = std::strtod(text, &end);
    if (end && *end == '\0' && seconds > 0) return seconds;
  }
#else
  (void)variable;
#endif
  return std::nullopt;
}

}  // namespace

QBYBackgroundAppDelegate::QBYBackgroundAppDelegate(Environment environment, bool temporaryLaunch)
    : environment_(std::move(environment)),
      temporaryLaunch_(temporaryLaunch),
      notifications_(environment_.application) {}

QBYBackgroundAppDelegate::~QBYBackgroundAppDelegate() {
  applicationWillTerminate();
}

double QBYBackgroundAppDelegate::quitDelaySeconds() {
  return testSeconds("PORVANE_TEST_QUIT_DELAY").value_or(kQuitDelaySeconds);
}

bool QBYBackgroundAppDelegate::applicationWillFinishLaunching() {
  dataStore_ = std::make_shared<qby::QBYDataStore>();
  if (!dataStore_->available()) {
    qby::log("Terminating because the data store is unavailable");
    dataStore_.reset();
    return false;
  }
  syncManager_ = std::make_shared<qby::QBYSyncManager>();
  syncManager_->setInterfaceDelegate(&syncDelegate_);
  syncManager_->setNotificationDelegate(&syncDelegate_);
  syncManager_->setSupportAutomaticTermination(false);

  // The program's one manager, owned here rather than by a process-wide static: a static one
  // would outlive the notification centre its sync manager observes at exit.
  deliveriesManager_ = qby::QBYDeliveriesManager::create();
  deliveriesManager_->setProcessType(2);
  deliveriesManager_->setDataStore(dataStore_);
  deliveriesManager_->setSyncManager(syncManager_);
  deliveriesManager_->setNotificationDelegate(weak_from_this());
  deliveriesManager_->setDelegate(weak_from_this());
  deliveriesManager_->start();

  std::weak_ptr<QBYBackgroundAppDelegate> weak = weak_from_this();
  auto& center = qby::QBYNotificationCenter::defaultCenter();
  observers_.push_back(center.addObserver(qby::QBYDeliveriesCompleteNotification, nullptr,
                                          [weak](const qby::Notification&) {
                                            // Posted on the main thread by the manager; the
                                            // delegate may be gone at quit.
                                            if (auto self = weak.lock())
                                              self->completeBackgroundUpdate();
                                          }));
  observers_.push_back(center.addObserver(qby::QBYSyncSettingsErrorNotification, nullptr,
                                          [weak](const qby::Notification&) {
                                            qby::MainQueue::async([weak] {
                                              if (auto self = weak.lock())
                                                self->openURL(kSyncSettingsURL);
                                            });
                                          }));
  return true;
}

void QBYBackgroundAppDelegate::applicationDidFinishLaunching() {
  std::weak_ptr<QBYBackgroundAppDelegate> weak = weak_from_this();
  qby::QBYUpdateScheduleOptions options;
  options.interval = testSeconds("PORVANE_TEST_UPDATE_INTERVAL").value_or(options.interval);
  updateScheduler_ = std::make_unique<qby::QBYUpdateSchedule>(
      kScheduleIdentifier,
      [weak] {
        if (auto self = weak.lock()) self->startBackgroundUpdate();
      },
      options);

  storeMonitor_ = std::make_unique<QBYStoreChangeMonitor>(qby::QBYDataStore::storeURL(), [weak] {
    if (auto self = weak.lock()) self->storeChanged();
  });
  updateSettings();
  // A temporary launch that was given nothing to do still ends.
  quitSoonIfAppropriate();
}

void QBYBackgroundAppDelegate::applicationWillTerminate() {
  if (terminated_) return;
  terminated_ = true;
  quitSoon_.cancel();
  updateScheduler_.reset();
  storeMonitor_.reset();
  menu_.reset();
  shortcuts_.reset();
  observers_.clear();
  if (deliveriesManager_) {
    deliveriesManager_->prepareToStop();
    deliveriesManager_->stop();
    qby::MainQueue::drain();
  }
  deliveriesManager_.reset();
  syncManager_.reset();
  if (dataStore_) dataStore_->saveData();
}

// --- Commands ----------------------------------------------------------------------------------

void QBYBackgroundAppDelegate::archiveDeliveryWithUUID(const std::string& uuid) {
  if (!deliveriesManager_ || uuid.empty()) return;
  qby::QBYDeliverySettings settings;
  settings.uuid = uuid;
  deliveriesManager_->removeDeliveryWithSettings(settings);
}

void QBYBackgroundAppDelegate::showDeliveryWithUUID(const std::string& uuid) {
  const auto url = qby::Delivery::urlForAction("show", uuid);
  if (url) openURL(url->absoluteString());
  // Opening the main application is the last thing a temporary launch was asked for.
  quitSoonIfAppropriate();
}

void QBYBackgroundAppDelegate::openURL(const std::string& uri) {
  // A tracking page comes from a carrier's answer: only a well-formed address goes to the
  // desktop's handler. Opening logs its own failure.
  if (!g_uri_is_valid(uri.c_str(), G_URI_FLAGS_NONE, nullptr)) {
    qby::log("Tried to open an invalid URL: %@", uri);
    return;
  }
  if (environment_.openURI) environment_.openURI(uri);
}

// --- Background updates ------------------------------------------------------------------------

void QBYBackgroundAppDelegate::startBackgroundUpdate() {
  completeBackgroundUpdate();
  auto& defaults = qby::QBYDataStore::sharedDefaults();
  if (defaults.boolForKey(qby::QBYBackgroundUpdatesKey) && deliveriesManager_ &&
      !deliveriesManager_->parentAppOpen()) {
    qby::log("Starting background update");
    backgroundUpdateRunning_ = true;
    quitSoon_.cancel();
    deliveriesManager_->update();
    return;
  }
  if (!defaults.boolForKey(qby::QBYMenuBarModeKey)) quitSoonIfAppropriate();
}

void QBYBackgroundAppDelegate::completeBackgroundUpdate() {
  if (reloadAfterUpdate_ && deliveriesManager_ && deliveriesManager_->updateStep() == 0) {
    reloadAfterUpdate_ = false;
    deliveriesManager_->refresh(true);
  }
  if (!backgroundUpdateRunning_) return;
  backgroundUpdateRunning_ = false;
  if (dataStore_) dataStore_->saveData();
  const auto result = deliveriesManager_ ? deliveriesManager_->updateResultText() : std::nullopt;
  qby::log("Background update complete: %@", result.value_or("(null)"));
  quitSoonIfAppropriate();
}

void QBYBackgroundAppDelegate::quitSoonIfAppropriate() {
  quitSoon_.cancel();
  if (!temporaryLaunch_ || terminated_) return;
  std::weak_ptr<QBYBackgroundAppDelegate> weak = weak_from_this();
  quitSoon_.schedule(quitDelaySeconds(), [weak] {
    auto self = weak.lock();
    if (!self) return;
    // An update still under way would be cut off; it reschedules the check when it ends.
    if (self->backgroundUpdateRunning_) return;
    if (self->environment_.terminate) self->environment_.terminate();
  });
}

// --- Notification delegate ---------------------------------------------------------------------

void QBYBackgroundAppDelegate::versionIsOutdated() {
  restartDueToAppChange("Requesting restart because the version is outdated");
}

void QBYBackgroundAppDelegate::updateConfigurationFailed() {
  restartDueToAppChange("Requesting restart because update configuration failed");
}

void QBYBackgroundAppDelegate::presentDeliveryNotification(
    const qby::QBYNotification& notification) {
  if (!notifications_.present(notification)) return;
  updateBadgeCount(static_cast<long>(qby::QBYNotifications::addUUIDToBadge(*notification.uuid)));
  quitSoonIfAppropriate();
}

void QBYBackgroundAppDelegate::removeNotificationForUUID(const std::string& uuid) {
  notifications_.removeForUUID(uuid);
  updateBadgeCount(static_cast<long>(qby::QBYNotifications::removeUUIDFromBadge(uuid)));
  quitSoonIfAppropriate();
}

void QBYBackgroundAppDelegate::removeAllBadgeUUIDs() {
  notifications_.removeAll();
  qby::QBYNotifications::removeAllBadgeUUIDs();
  updateBadgeCount(0);
  quitSoonIfAppropriate();
}

void QBYBackgroundAppDelegate::updateBadgeCount(long count) {
  // Docks show the badge on the main application's icon; the main application, when it runs,
  // shows the same count in its window.
  qby::LauncherEntry::updateBadgeCount(count);
  if (deliveriesManager_)
    deliveriesManager_->sendWormholeAction(qby::QBYWormholeActionUpdateBadge,
                                           qby::Value(static_cast<std::int64_t>(count)));
}

void QBYBackgroundAppDelegate::updateSettings() {
  if (temporaryLaunch_ || terminated_) return;
  const bool menuBarMode = qby::QBYDataStore::sharedDefaults().boolForKey(qby::QBYMenuBarModeKey);
  if (menuBarMode && !menu_) {
    if (GDBusConnection* bus = g_application_get_dbus_connection(environment_.application))
      menu_ = std::make_unique<QBYStatusMenuController>(bus, *this);
  }
  if (menu_) menu_->setVisible(menuBarMode);
  updateShortcuts();
}

void QBYBackgroundAppDelegate::updateShortcuts() {
  auto& defaults = qby::QBYDataStore::sharedDefaults();
  // Any stored value turns a shortcut on; a text is the keys the user chose.
  const auto trigger = [&defaults](const char* key) -> std::optional<std::string> {
    const qby::Value value = defaults.objectForKey(key);
    if (value.isNull()) return std::nullopt;
    return value.asString().value_or("");
  };
  const auto add = trigger(qby::QBYAddShortcutKey);
  const auto show = trigger(qby::QBYShowShortcutKey);
  if (!shortcuts_ && !add && !show) return;
  if (!shortcuts_) {
    GDBusConnection* bus = g_application_get_dbus_connection(environment_.application);
    if (!bus) return;
    std::weak_ptr<QBYBackgroundAppDelegate> weak = weak_from_this();
    shortcuts_ =
        std::make_unique<QBYGlobalShortcuts>(bus, [weak](QBYGlobalShortcuts::Shortcut shortcut) {
          auto self = weak.lock();
          if (!self) return;
          if (shortcut == QBYGlobalShortcuts::Shortcut::Add)
            self->openURL(kAddURL);
          else
            self->showDeliveries();
        });
  }
  shortcuts_->update(add, show);
}

void QBYBackgroundAppDelegate::showDeliveries() {
  if (menu_ && menu_->visible() && QBYStatusMenuController::todayProgram()) {
    menu_->statusItemActivated();
    return;
  }
  openURL(kShowURL);
}

void QBYBackgroundAppDelegate::terminate() {
  if (environment_.terminate) environment_.terminate();
}

void QBYBackgroundAppDelegate::processWormholeAction(const std::string& identifier,
                                                     const qby::Value& object) {
  (void)object;
  if (identifier == qby::QBYWormholeActionRequestRestart) {
    restartDueToAppChange("Requesting restart on behalf of parent app");
  } else if (identifier == qby::QBYWormholeActionQuit) {
    if (!qby::QBYBackgroundUpdater::requiresBackgroundUpdater()) {
      qby::log("Quitting because the parent app quit");
      if (environment_.terminate) environment_.terminate();
    } else {
      qby::log("The parent app quit but background updates are enabled");
    }
  }
}

void QBYBackgroundAppDelegate::restartDueToAppChange(const char* reason) {
  if (terminalStatus_) return;
  terminalStatus_ = true;
  qby::log(reason);
  // There is no window to ask from here; the main application starts the companion again
  // when it launches, so ending cleanly is the restart.
  if (environment_.terminate) environment_.terminate();
}

// --- Store and list ----------------------------------------------------------------------------

void QBYBackgroundAppDelegate::storeChanged() {
  if (!deliveriesManager_) return;
  // Refreshing in the middle of a run would drop records the run still writes to; the run's
  // own end reloads the list anyway.
  if (deliveriesManager_->updateStep() != 0) {
    reloadAfterUpdate_ = true;
    return;
  }
  deliveriesManager_->refresh(true);
}

void QBYBackgroundAppDelegate::deliveriesChanged() {
  if (menu_) menu_->reload();
}

// --- Sync prompts ------------------------------------------------------------------------------

void QBYBackgroundAppDelegate::SyncDelegate::shouldPromptWithTitle(
    const std::string& title, const std::string& message, const std::string& accept,
    const std::string& cancel, std::function<void(bool accepted)> handler) {
  // Without a window there is no one to ask: the question waits for the main application,
  // which asks the same when it syncs, so the companion declines and keeps things as they are.
  qby::log("Declined sync question without a window: %@ %@ (%@ / %@)", title, message, accept,
           cancel);
  if (handler) handler(false);
}

}  // namespace porvane::express
