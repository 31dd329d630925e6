// The companion program's application object: it keeps the deliveries updated while the main
// application is closed, presents the notifications and the badge count on behalf of the whole
// suite, keeps the panel menu's list in step with the shared store, and decides when a
// temporary launch has done its work and may quit.
//
// It answers the deliveries manager (notification delegate and list delegate) and the sync
// manager (interface and notification delegate); the program's main() owns it and the
// GApplication it serves.
//
// Threads: main thread only. Every callback it registers arrives on the main loop.
#pragma once

#include <gio/gio.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "QBYUserNotifications.h"
#include "manager/QBYDeliveriesManager.h"
#include "platform/MainQueue.h"
#include "platform/QBYNotificationCenter.h"
#include "sync/QBYSyncManagerDelegate.h"

namespace qby {
class QBYDataStore;
class QBYSyncManager;
class QBYUpdateSchedule;
}  // namespace qby

namespace porvane::express {

class QBYGlobalShortcuts;
class QBYStatusMenuController;
class QBYStoreChangeMonitor;

class QBYBackgroundAppDelegate final
    : public qby::QBYDeliveriesNotificationDelegate,
      public qby::QBYDeliveriesManagerDelegate,
      public std::enable_shared_from_this<QBYBackgroundAppDelegate> {
 public:
  // How the delegate reaches the world outside the process; tests of the program replace
  // nothing here, the program's main() fills them in.
  struct Environment {
    GApplication* application = nullptr;  // registered, primary instance
    // Ends the program (through the application's quit, which runs applicationWillTerminate).
    std::function<void()> terminate;
    // Opens an address with the desktop's handler; false when that failed.
    std::function<bool(const std::string& uri)> openURI;
  };

  // A temporary launch (started on demand, not as a login item) quits once its work is done.
  QBYBackgroundAppDelegate(Environment environment, bool temporaryLaunch);
  ~QBYBackgroundAppDelegate() override;
  QBYBackgroundAppDelegate(const QBYBackgroundAppDelegate&) = delete;
  QBYBackgroundAppDelegate& operator=(const QBYBackgroundAppDelegate&) = delete;

  // Creates the store, the sync manager and the deliveries manager and starts it. False when
  // the store is unavailable ("Terminating because the data store is unavailable" is logged);
  // the caller then ends the program with a failure status.
  bool applicationWillFinishLaunching();
  // Sets up the hourly schedule and the store watch, then applies the settings.
  void applicationDidFinishLaunching();
  // Stops observing, prepares the manager to stop and stops it. Runs once.
  void applicationWillTerminate();

  bool temporaryLaunch() const { return temporaryLaunch_; }
  qby::QBYDeliveriesManager* deliveriesManager() const { return deliveriesManager_.get(); }

  // --- Commands of the notifications and the menu ---
  // Archives the delivery through the manager, also when no window is open.
  void archiveDeliveryWithUUID(const std::string& uuid);
  // Opens the delivery in the main application (its show address).
  void showDeliveryWithUUID(const std::string& uuid);
  void openURL(const std::string& uri);
  // Ends the program in order (the menu's Quit).
  void terminate();

  // --- Background updates ---
  // One firing of the hourly schedule.
  void startBackgroundUpdate();
  bool backgroundUpdateRunning() const { return backgroundUpdateRunning_; }

  // On a temporary launch, quits after the quiet delay unless more work arrives first.
  void quitSoonIfAppropriate();
  // 30 s; test builds may shorten it through PORVANE_TEST_QUIT_DELAY (seconds).
  static double quitDelaySeconds();

  // --- QBYDeliveriesNotificationDelegate ---
  long applicationState() override { return qby::QBYApplicationStateBackground; }
  void versionIsOutdated() override;
  void updateConfigurationFailed() override;
  void presentDeliveryNotification(const qby::QBYNotification& notification) override;
  void removeNotificationForUUID(const std::string& uuid) override;
  void removeAllBadgeUUIDs() override;
  void updateBadgeCount(long count) override;
  void updateSettings() override;
  // The actions the manager passes on (restart, quit).
  void processWormholeAction(const std::string& identifier, const qby::Value& object) override;

  // --- QBYDeliveriesManagerDelegate: the menu follows the list ---
  void shouldReloadDeliveries() override { deliveriesChanged(); }
  void completedUpdateWithResult(unsigned) override { deliveriesChanged(); }
  void updatedDelivery(const std::shared_ptr<qby::Delivery>&) override { deliveriesChanged(); }
  void addedDelivery(const std::shared_ptr<qby::Delivery>&, std::size_t) override {
    deliveriesChanged();
  }
  void removedDelivery(const std::shared_ptr<qby::Delivery>&, std::size_t, bool) override {
    deliveriesChanged();
  }

 private:
  // The sync manager's interface and notification delegate: its application-state question
  // has another return type than the manager's, so it is an object of its own.
  class SyncDelegate final : public qby::QBYSyncInterfaceDelegate,
                             public qby::QBYSyncNotificationDelegate {
   public:
    int applicationState() override { return qby::QBYApplicationStateBackground; }
    void shouldPromptWithTitle(const std::string& title, const std::string& message,
                               const std::string& accept, const std::string& cancel,
                               std::function<void(bool accepted)> handler) override;
    // Pushes from the cloud database do not reach a Linux desktop; sync runs with updates.
    void registerForRemoteNotifications() override {}
  };

  void completeBackgroundUpdate();
  void storeChanged();
  void deliveriesChanged();
  void restartDueToAppChange(const char* reason);
  void updateShortcuts();
  // The show shortcut: the Today window with the panel icon on, else the main window.
  void showDeliveries();

  Environment environment_;
  bool temporaryLaunch_;
  bool terminalStatus_ = false;
  bool terminated_ = false;
  bool backgroundUpdateRunning_ = false;
  // A change of the store seen while an update ran; reloaded when it completes.
  bool reloadAfterUpdate_ = false;

  SyncDelegate syncDelegate_;
  std::shared_ptr<qby::QBYDataStore> dataStore_;
  std::shared_ptr<qby::QBYSyncManager> syncManager_;
  std::shared_ptr<qby::QBYDeliveriesManager> deliveriesManager_;
  QBYUserNotifications notifications_;
  std::unique_ptr<QBYStoreChangeMonitor> storeMonitor_;
  // The panel icon; none on a temporary launch.
  std::unique_ptr<QBYStatusMenuController> menu_;
  std::unique_ptr<QBYGlobalShortcuts> shortcuts_;
  std::vector<qby::ObserverToken> observers_;
  qby::DelayedCall quitSoon_;
  std::unique_ptr<qby::QBYUpdateSchedule> updateScheduler_;
};

}  // namespace porvane::express
