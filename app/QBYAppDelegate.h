// The main application's own logic: it opens the store, starts the sync manager and the
// deliveries manager (or, when the database cannot be opened, offers a reset that moves the
// broken file aside, or quitting), owns the main window and the add, edit and preferences
// windows, carries out the application's addresses and opened files, runs the hourly update,
// keeps the companion in step with the settings, answers the manager as its notification
// delegate, and quits in order, waiting while the sync settles.
//
// The program's main() makes one and calls it from the GApplication signals (startup,
// activate, open, shutdown); GUI tests drive the same calls in their own process.
//
// The main thread only. Keep the instance in a shared_ptr (the manager holds it weakly).
#pragma once

#include <gtk/gtk.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "QBYDetailPane.h"
#include "QBYMainWindow.h"
#include "QBYURLCommand.h"
#include "manager/QBYDeliveriesManager.h"
#include "platform/MainQueue.h"
#include "platform/QBYNotificationCenter.h"
#include "sync/QBYSyncManagerDelegate.h"

namespace qby {
class QBYDataStore;
class QBYSyncManager;
class QBYUpdateSchedule;
}  // namespace qby

namespace porvane::forms {
class QBYAddDeliveryWindow;
class QBYEditDeliveryWindow;
class QBYPreferencesWindow;
}  // namespace porvane::forms

namespace porvane::app {

class QBYOnlineSignInWindowController;
class QBYTroubleshootWindow;

class QBYAppDelegate : public qby::QBYDeliveriesNotificationDelegate,
                       public QBYMainWindowHost,
                       public QBYDetailPaneDelegate,
                       public std::enable_shared_from_this<QBYAppDelegate> {
 public:
  // The longest a quit waits for the sync to settle, whatever the sync manager answers.
  static constexpr double kQuitWaitLimit = 30;
  static constexpr unsigned kQuitPollMilliseconds = 300;

  // How the application reaches the world; every member has a working default except the
  // application.
  struct Environment {
    GtkApplication* application = nullptr;
    // Ends the main loop once everything has stopped. Empty: g_application_quit.
    std::function<void()> terminate;
    // Opens an address in the desktop's handler. Empty: the desktop's default handler.
    std::function<bool(const std::string& uri)> openURI;
    // Whether quitting must wait. Empty: the sync manager's busy().
    std::function<bool()> syncBusy;
    // Whether the companion is started, enabled and told about settings (tests turn it off).
    bool controlCompanion = true;
    // Whether the hourly update runs.
    bool schedule = true;
    // The store file; empty: the shared container's.
    std::optional<std::filesystem::path> storeFile;
  };

  explicit QBYAppDelegate(Environment environment);
  ~QBYAppDelegate() override;
  QBYAppDelegate(const QBYAppDelegate&) = delete;
  QBYAppDelegate& operator=(const QBYAppDelegate&) = delete;

  // --- Lifecycle ---
  // Opens the store and starts the managers. False when the store is unavailable: the alert
  // with its ways out is shown instead and nothing else starts.
  bool applicationWillFinishLaunching();
  // Makes the main window (not shown yet), the hourly schedule and the companion's settings.
  void applicationDidFinishLaunching();
  // The desktop activated the application (launch or a second launch without addresses).
  void activate();
  // Addresses and files handed to the application (launch or a second launch).
  void open(const std::vector<std::string>& uris);
  // Quits in order: prepare, wait while the sync is busy (at most kQuitWaitLimit seconds),
  // stop the companion when it is not wanted, stop the manager, terminate.
  void requestQuit();
  // Stops whatever still runs; idempotent (also called from the destructor).
  void applicationWillTerminate();

  // --- Addresses ---
  // Carries out an address; answers whether it was handled.
  bool processURL(const std::string& text);
  void openFile(const std::filesystem::path& file);

  // --- Windows ---
  void showMainWindow();
  void openAddWindow(const std::string& searchText) override;
  void openAddWindowWithGuesses(std::vector<qby::Dictionary> guesses);
  void openEditWindow(const std::string& uuid) override;
  void openEditWindowWithSettings(const qby::QBYDeliverySettings& settings);
  void openPreferences(const std::string& pane);
  void openURIs(const std::vector<std::string>& uris) override;
  void openWebPage(const std::string& uri) override;
  void mainWindowClosed() override;

  // --- State (for the program and its tests) ---
  QBYMainWindow* mainWindow() const { return mainWindow_.get(); }
  QBYDetailPane* detailPane() const { return detailPane_; }
  forms::QBYAddDeliveryWindow* addWindow() const { return addWindow_.get(); }
  forms::QBYEditDeliveryWindow* editWindow(const std::string& uuid) const;
  forms::QBYPreferencesWindow* preferencesWindow() const { return preferencesWindow_.get(); }
  const std::shared_ptr<qby::QBYDeliveriesManager>& deliveriesManager() const {
    return deliveriesManager_;
  }
  qby::QBYDataStore* dataStore() const { return dataStore_.get(); }
  bool showMainWindowAtLaunch() const { return showMainWindowAtLaunch_; }
  bool waitingToQuit() const { return quitPoll_ != 0; }
  bool terminated() const { return terminated_; }
  // The alert shown for an unavailable store, while it shows.
  GtkWidget* storeAlert() const { return storeAlert_; }
  // Where a reset moved the broken database.
  const std::optional<std::filesystem::path>& movedStoreFile() const { return movedStoreFile_; }

  // --- Notification delegate ---
  long applicationState() override;
  void versionChanged() override;
  void updateConfigurationFailed() override;
  void deliveriesManagerException(const std::string& message) override;
  void presentDeliveryNotification(const qby::QBYNotification& notification) override;
  void removeNotificationForUUID(const std::string& uuid) override;
  void removeAllBadgeUUIDs() override;
  void updateBadgeCount(long count) override;
  void processWormholeAction(const std::string& identifier, const qby::Value& object) override;

  // --- Detail pane delegate ---
  void editDeliveryWithSettings(const qby::QBYDeliverySettings& settings) override;
  void signInForDelivery(const std::string& uuid) override;
  void archivedDelivery(const std::string& uuid) override;
  // The sign-in window, while one shows (tests).
  QBYOnlineSignInWindowController* signInWindow() const { return signInWindow_.get(); }
  // Opens the delivery's troubleshoot window, or brings forward the one it has. The manager
  // diagnoses one delivery at a time: while another window waits for its run, that one comes
  // forward instead.
  void troubleshootDelivery(const std::string& uuid) override;
  // The delivery's troubleshoot window, while one shows (tests).
  QBYTroubleshootWindow* troubleshootWindow(const std::string& uuid) const;

 private:
  class SyncDelegate : public qby::QBYSyncInterfaceDelegate,
                       public qby::QBYSyncNotificationDelegate {
   public:
    explicit SyncDelegate(QBYAppDelegate& owner) : owner_(owner) {}
    int applicationState() override;
    void shouldPromptWithTitle(const std::string& title, const std::string& message,
                               const std::string& accept, const std::string& cancel,
                               std::function<void(bool accepted)> handler) override;
    void registerForRemoteNotifications() override {}

   private:
    QBYAppDelegate& owner_;
  };

  // The application's own actions: quit, new, preferences, today, about.
  void addApplicationActions();
  void showAbout();
  void showStoreAlert();
  void promptToResetDataStore();
  // Moves the database (and its journal files) and the shared settings aside; false when
  // something could not be moved (nothing is deleted either way).
  bool resetDataStore();
  void carryOut(const QBYURLCommand& command);
  void confirm(const std::string& heading, const std::string& body, const std::string& accept,
               std::function<void()> accepted);
  void startBackgroundUpdate();
  void backgroundUpdateComplete();
  void updateBackgroundUpdater(bool restart);
  void settingsChanged(const qby::Notification& notification);
  void quitCompanionIfAppropriate();
  void sendToCompanion(const std::string& action, const std::optional<qby::Value>& object);
  void finishQuit();
  // Quits (in order) when no window of the application shows: a launch that only saved, or
  // the last of the add, edit and preferences windows closed while the main one is hidden.
  void quitSoonIfNoWindowShows();
  void restartDueToAppChange(const char* reason);
  bool syncBusy();
  void terminate();
  GtkWindow* mainGtkWindow() const;

  Environment environment_;
  SyncDelegate syncDelegate_{*this};
  std::shared_ptr<qby::QBYDataStore> dataStore_;
  std::shared_ptr<qby::QBYSyncManager> syncManager_;
  std::shared_ptr<qby::QBYDeliveriesManager> deliveriesManager_;
  std::unique_ptr<QBYMainWindow> mainWindow_;
  QBYDetailPane* detailPane_ = nullptr;  // owned by the main window's widgets
  std::unique_ptr<forms::QBYAddDeliveryWindow> addWindow_;
  std::map<std::string, std::unique_ptr<forms::QBYEditDeliveryWindow>> editWindows_;
  std::unique_ptr<forms::QBYPreferencesWindow> preferencesWindow_;
  std::unique_ptr<QBYOnlineSignInWindowController> signInWindow_;
  std::map<std::string, std::shared_ptr<QBYTroubleshootWindow>> troubleshootWindows_;
  std::unique_ptr<qby::QBYUpdateSchedule> updateScheduler_;
  std::vector<qby::ObserverToken> observers_;
  qby::DelayedCall companionUpdate_;
  GtkWidget* storeAlert_ = nullptr;
  std::optional<std::filesystem::path> movedStoreFile_;
  bool showMainWindowAtLaunch_ = true;
  bool launched_ = false;
  bool backgroundUpdateRunning_ = false;
  bool quitting_ = false;
  bool terminated_ = false;
  bool restarting_ = false;
  guint quitPoll_ = 0;
  double quitStarted_ = 0;
};

}  // namespace porvane::app
