#include "QBYAppDelegate.h"

#include <adwaita.h>
#include <gtkmm/init.h>

#include <chrono>
#include <ctime>
#include <system_error>

#include "PorvaneKit.h"
#include "QBYAddDeliveryWindow.h"
#include "QBYAlert.h"
#include "QBYEditDeliveryWindow.h"
#include "QBYOnlineSignInWindowController.h"
#include "QBYPreferencesWindow.h"
#include "QBYSyncPreferencesPage.h"
#include "QBYTodayWindow.h"
#include "QBYTroubleshootWindow.h"
#include "engine/QBYPasswordManager.h"
#include "manager/QBYBackgroundUpdater.h"
#include "manager/QBYLog.h"
#include "manager/QBYNotification.h"
#include "manager/QBYUpdateSchedule.h"
#include "model/Delivery.h"
#include "model/QBYDeliverySettings.h"
#include "platform/Date.h"
#include "platform/Format.h"
#include "platform/LauncherEntry.h"
#include "platform/Log.h"
#include "platform/QBYUserDefaults.h"
#include "platform/Vendor.h"
#include "store/QBYDataStore.h"
#include "sync/QBYDeliveryDocument.h"
#include "sync/QBYSyncManager.h"
#include "util/StringUtilities.h"

namespace porvane::app {

namespace fs = std::filesystem;

namespace {

constexpr double kCompanionRestartDelay = 1.0;

struct KeyFileDeleter {
  void operator()(GKeyFile* keys) const { g_key_file_unref(keys); }
};
using KeyFilePtr = std::unique_ptr<GKeyFile, KeyFileDeleter>;

bool openWithDesktop(const std::string& uri) {
  GError* raw = nullptr;
  if (g_app_info_launch_default_for_uri(uri.c_str(), nullptr, &raw)) return true;
  qby::GErrorPtr error(raw);
  qby::log("Cannot open %@: %@", uri, error ? error->message : "unknown error");
  return false;
}

double now() {
  return qby::Date::now().timeIntervalSince1970();
}

// "<file>.reset-20261208-204501": a name beside the file that no program opens.
fs::path asidePath(const fs::path& file) {
  const std::time_t seconds = std::time(nullptr);
  std::tm local{};
  localtime_r(&seconds, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
  fs::path candidate = file;
  candidate += std::string(".reset-") + stamp;
  for (int n = 2; fs::exists(candidate); ++n) {
    candidate = file;
    candidate += std::string(".reset-") + stamp + "-" + std::to_string(n);
  }
  return candidate;
}

}  // namespace

QBYAppDelegate::QBYAppDelegate(Environment environment) : environment_(std::move(environment)) {
  // The detail pane and the forms are gtkmm widgets inside a window made through the C API.
  Gtk::init_gtkmm_internals();
}

QBYAppDelegate::~QBYAppDelegate() {
  applicationWillTerminate();
}

// --- Lifecycle ---------------------------------------------------------------------------------

void QBYAppDelegate::addApplicationActions() {
  if (!environment_.application) return;
  struct Entry {
    const char* name;
    void (*run)(QBYAppDelegate&);
  };
  static constexpr Entry kActions[] = {
      {"quit", [](QBYAppDelegate& self) { self.requestQuit(); }},
      {"new", [](QBYAppDelegate& self) { self.openAddWindow(""); }},
      {"preferences", [](QBYAppDelegate& self) { self.openPreferences(""); }},
      {"today",
       [](QBYAppDelegate& self) {
         if (self.deliveriesManager_) today::QBYTodayWindow::present(self.environment_.application);
       }},
      {"about", [](QBYAppDelegate& self) { self.showAbout(); }}};
  for (const Entry& entry : kActions) {
    auto action = qby::GObjectPtr<GSimpleAction>::adopt(g_simple_action_new(entry.name, nullptr));
    g_signal_connect(action.get(), "activate",
                     G_CALLBACK(+[](GSimpleAction* action, GVariant*, gpointer data) {
                       auto* self = static_cast<QBYAppDelegate*>(data);
                       const std::string name = g_action_get_name(G_ACTION(action));
                       for (const Entry& entry : kActions)
                         if (name == entry.name) entry.run(*self);
                     }),
                     this);
    g_action_map_add_action(G_ACTION_MAP(environment_.application), G_ACTION(action.get()));
  }
}

void QBYAppDelegate::showAbout() {
  const std::string version = std::to_string(qby::QBYDataStore::currentVersion());
  adw_show_about_window(mainGtkWindow(), "application-name", QBYLocalizedString("Porvane").c_str(),
                        "application-icon", qby::QBYParentAppID, "version", version.c_str(),
                        "website", qby::Vendor::supportSiteURL().c_str(), nullptr);
}

bool QBYAppDelegate::applicationWillFinishLaunching() {
  showMainWindowAtLaunch_ = true;
  addApplicationActions();
  dataStore_ = environment_.storeFile ? std::make_shared<qby::QBYDataStore>(environment_.storeFile)
                                      : std::make_shared<qby::QBYDataStore>();
  if (!dataStore_->available()) {
    qby::log("The data store is unavailable: %@", dataStore_->error());
    showStoreAlert();
    return false;
  }
  syncManager_ = std::make_shared<qby::QBYSyncManager>();
  syncManager_->setInterfaceDelegate(&syncDelegate_);
  syncManager_->setNotificationDelegate(&syncDelegate_);
  syncManager_->setSupportAutomaticTermination(false);

  // The program's one manager, owned here (see the companion): a process-wide static would
  // outlive the notification centre its sync manager observes at exit.
  deliveriesManager_ = qby::QBYDeliveriesManager::create();
  deliveriesManager_->setProcessType(qby::QBYProcessTypeApplication);
  deliveriesManager_->setDataStore(dataStore_);
  deliveriesManager_->setSyncManager(syncManager_);
  deliveriesManager_->setNotificationDelegate(weak_from_this());
  deliveriesManager_->start();

  std::weak_ptr<QBYAppDelegate> weak = weak_from_this();
  auto& center = qby::QBYNotificationCenter::defaultCenter();
  observers_.push_back(center.addObserver(qby::QBYUserDefaultsDidChangeNotification, nullptr,
                                          [weak](const qby::Notification& note) {
                                            if (auto self = weak.lock())
                                              self->settingsChanged(note);
                                          }));
  observers_.push_back(center.addObserver(qby::QBYDeliveriesCompleteNotification, nullptr,
                                          [weak](const qby::Notification&) {
                                            if (auto self = weak.lock())
                                              self->backgroundUpdateComplete();
                                          }));
  observers_.push_back(center.addObserver(qby::QBYSyncSettingsErrorNotification, nullptr,
                                          [weak](const qby::Notification&) {
                                            qby::MainQueue::async([weak] {
                                              if (auto self = weak.lock())
                                                self->openPreferences("sync");
                                            });
                                          }));
  return true;
}

void QBYAppDelegate::applicationDidFinishLaunching() {
  if (!deliveriesManager_ || launched_) return;
  launched_ = true;
  mainWindow_ =
      std::make_unique<QBYMainWindow>(environment_.application, deliveriesManager_, *this);
  for (const auto& [action, keys] : QBYMainWindow::accelerators()) {
    std::vector<const char*> accels(keys.begin(), keys.end());
    accels.push_back(nullptr);
    gtk_application_set_accels_for_action(environment_.application, action, accels.data());
  }
  // The detail pane lives in the leaflet's right side.
  auto* pane = Gtk::make_managed<QBYDetailPane>(*deliveriesManager_);
  pane->setDelegate(this);
  pane->setURIOpener([weak = weak_from_this()](const std::string& uri) {
    auto self = weak.lock();
    if (!self) return false;
    self->openWebPage(uri);
    return true;
  });
  pane->set_vexpand(true);
  mainWindow_->setDetailPane(GTK_WIDGET(pane->gobj()), [pane](const auto& delivery) {
    std::vector<std::shared_ptr<qby::Delivery>> shown;
    if (delivery) shown.push_back(delivery);
    pane->showDeliveries(std::move(shown));
  });
  detailPane_ = pane;

  if (environment_.schedule) {
    std::weak_ptr<QBYAppDelegate> weak = weak_from_this();
    updateScheduler_ = std::make_unique<qby::QBYUpdateSchedule>(
        qby::QBYUpdateScheduleApplicationIdentifier, [weak] {
          if (auto self = weak.lock()) self->startBackgroundUpdate();
        });
  }
  updateBackgroundUpdater(qby::QBYBackgroundUpdater::backgroundUpdaterNeedsRelaunch());
}

void QBYAppDelegate::activate() {
  if (!deliveriesManager_) {
    // Only the store's alert is there to show.
    if (storeAlert_) gtk_window_present(GTK_WINDOW(storeAlert_));
    return;
  }
  showMainWindow();
}

void QBYAppDelegate::open(const std::vector<std::string>& uris) {
  const bool atLaunch = mainWindow_ && !gtk_widget_get_visible(GTK_WIDGET(mainWindow_->window()));
  openURIs(uris);
  // An address that opened a window of its own (or saved without one) leaves the main
  // window closed; anything else shows it, as a plain launch would.
  if (atLaunch && showMainWindowAtLaunch_) showMainWindow();
  if (atLaunch) quitSoonIfNoWindowShows();
}

void QBYAppDelegate::mainWindowClosed() {
  requestQuit();
}

void QBYAppDelegate::quitSoonIfNoWindowShows() {
  std::weak_ptr<QBYAppDelegate> weak = weak_from_this();
  // Later, so a window that is on its way (or on its way out) has settled.
  qby::MainQueue::async([weak] {
    auto self = weak.lock();
    if (!self || self->quitting_ || self->terminated_ || !self->environment_.application) return;
    for (GList* node = gtk_application_get_windows(self->environment_.application); node;
         node = node->next) {
      if (gtk_widget_get_visible(GTK_WIDGET(node->data))) return;
    }
    self->requestQuit();
  });
}

void QBYAppDelegate::requestQuit() {
  if (quitting_ || terminated_) return;
  quitting_ = true;
  observers_.clear();
  updateScheduler_.reset();
  if (!deliveriesManager_) {
    finishQuit();
    return;
  }
  deliveriesManager_->prepareToStop();
  if (!syncBusy()) {
    finishQuit();
    return;
  }
  qby::log("Waiting for the sync to finish before quitting");
  quitStarted_ = now();
  quitPoll_ = g_timeout_add(
      kQuitPollMilliseconds,
      [](gpointer data) -> gboolean {
        auto* self = static_cast<QBYAppDelegate*>(data);
        const bool overdue = now() - self->quitStarted_ >= kQuitWaitLimit;
        if (!overdue && self->syncBusy()) return G_SOURCE_CONTINUE;
        if (overdue) qby::log("Quitting without waiting longer for the sync");
        self->quitPoll_ = 0;
        self->finishQuit();
        return G_SOURCE_REMOVE;
      },
      this);
}

void QBYAppDelegate::finishQuit() {
  quitCompanionIfAppropriate();
  applicationWillTerminate();
  terminate();
}

void QBYAppDelegate::applicationWillTerminate() {
  if (terminated_) return;
  terminated_ = true;
  // The actions call into this object; the application may outlive it.
  if (environment_.application)
    for (const char* name : {"quit", "new", "preferences", "today", "about"})
      g_action_map_remove_action(G_ACTION_MAP(environment_.application), name);
  if (quitPoll_) g_source_remove(std::exchange(quitPoll_, 0));
  companionUpdate_.cancel();
  updateScheduler_.reset();
  observers_.clear();
  addWindow_.reset();
  editWindows_.clear();
  preferencesWindow_.reset();
  troubleshootWindows_.clear();
  detailPane_ = nullptr;
  mainWindow_.reset();
  if (deliveriesManager_) {
    if (!quitting_) deliveriesManager_->prepareToStop();
    deliveriesManager_->stop();
    qby::MainQueue::drain();
  }
  deliveriesManager_.reset();
  syncManager_.reset();
  if (dataStore_ && dataStore_->available()) dataStore_->saveData();
}

void QBYAppDelegate::terminate() {
  if (environment_.terminate) {
    environment_.terminate();
  } else if (environment_.application) {
    g_application_quit(G_APPLICATION(environment_.application));
  }
}

bool QBYAppDelegate::syncBusy() {
  if (environment_.syncBusy) return environment_.syncBusy();
  return syncManager_ && syncManager_->busy();
}

// --- Unavailable store -------------------------------------------------------------------------

void QBYAppDelegate::showStoreAlert() {
  // The store's own error says what went wrong; a generic one only when it has none.
  const qby::QBYError error =
      dataStore_->error() ? *dataStore_->error()
                          : dataStore_->fatalErrorWithDescription(std::nullopt, std::nullopt);
  QBYAlertSpec spec;
  spec.heading = error.localizedDescription;
  const qby::Value* suggestion = error.userInfo.find(qby::QBYLocalizedRecoverySuggestionErrorKey);
  const qby::Value* reason = error.userInfo.find(qby::QBYLocalizedFailureReasonErrorKey);
  if (suggestion && suggestion->asString()) spec.body = *suggestion->asString();
  if (reason && reason->asString())
    spec.body += (spec.body.empty() ? "" : "\n\n") + *reason->asString();
  spec.responses = {{"quit", QBYLocalizedString("Quit")},
                    {"visit", QBYLocalizedString("Visit Site")},
                    {"reset", QBYLocalizedString("Reset Data")}};
  spec.defaultResponse = spec.closeResponse = "quit";
  spec.destructiveResponse = "reset";
  std::weak_ptr<QBYAppDelegate> weak = weak_from_this();
  // The alert is the only window; the application stays up while it shows.
  if (environment_.application) g_application_hold(G_APPLICATION(environment_.application));
  storeAlert_ = presentAlert(nullptr, spec, [weak](const std::string& response) {
    auto self = weak.lock();
    if (!self) return;
    self->storeAlert_ = nullptr;
    if (self->environment_.application)
      g_application_release(G_APPLICATION(self->environment_.application));
    if (response == "reset") {
      self->promptToResetDataStore();
      return;
    }
    if (response == "visit") self->openWebPage(qby::Vendor::supportSiteURL());
    self->requestQuit();
  });
  gtk_widget_set_name(storeAlert_, "store-alert");
}

void QBYAppDelegate::promptToResetDataStore() {
  QBYAlertSpec spec;
  spec.heading = QBYLocalizedString("Reset your data?");
  spec.body = QBYLocalizedString(
                  "This will delete all of your data and preferences. If your data is not synced "
                  "with iCloud or Quillbay, it will be lost.") +
              " " +
              qby::format(QBYLocalizedString("If you are not sure, visit %@ first."),
                          qby::Vendor::supportSiteURL());
  spec.responses = {{"cancel", QBYLocalizedString("Cancel")},
                    {"reset", QBYLocalizedString("Reset")}};
  spec.defaultResponse = spec.closeResponse = "cancel";
  spec.destructiveResponse = "reset";
  std::weak_ptr<QBYAppDelegate> weak = weak_from_this();
  if (environment_.application) g_application_hold(G_APPLICATION(environment_.application));
  storeAlert_ = presentAlert(nullptr, spec, [weak](const std::string& response) {
    auto self = weak.lock();
    if (!self) return;
    self->storeAlert_ = nullptr;
    if (self->environment_.application)
      g_application_release(G_APPLICATION(self->environment_.application));
    if (response != "reset") {
      self->requestQuit();
      return;
    }
    const bool reset = self->resetDataStore();
    QBYAlertSpec done;
    if (reset) {
      done.heading = QBYLocalizedString("Your data has been reset");
      done.body = QBYLocalizedString(
          "Your data and preferences have been removed, and the app will now close. The next "
          "time you open the app, you’ll want to check your sync settings and other "
          "preferences.");
      if (self->movedStoreFile_)
        done.body += "\n\n" + qby::format(QBYLocalizedString("The old database was kept as %@."),
                                          self->movedStoreFile_->string());
    } else {
      done.heading = QBYLocalizedString("Your data could not be reset");
      done.body = QBYLocalizedString(
                      "There was a problem resetting your data. You may want to try again, or "
                      "delete and reinstall the app.") +
                  " " +
                  qby::format(QBYLocalizedString("If the problem continues, visit %@."),
                              qby::Vendor::supportSiteURL());
    }
    done.responses = {{"quit", QBYLocalizedString("Quit")}};
    done.defaultResponse = done.closeResponse = "quit";
    if (self->environment_.application)
      g_application_hold(G_APPLICATION(self->environment_.application));
    self->storeAlert_ = presentAlert(nullptr, done, [weak](const std::string&) {
      auto self = weak.lock();
      if (!self) return;
      self->storeAlert_ = nullptr;
      if (self->environment_.application)
        g_application_release(G_APPLICATION(self->environment_.application));
      self->requestQuit();
    });
  });
}

bool QBYAppDelegate::resetDataStore() {
  const fs::path store = environment_.storeFile.value_or(qby::QBYDataStore::storeURL());
  // Close the broken store first, so nothing writes into the files being moved.
  dataStore_.reset();
  bool moved = true;
  for (const char* suffix : {"", "-wal", "-shm"}) {
    fs::path file = store;
    file += suffix;
    std::error_code error;
    if (!fs::exists(file, error)) continue;
    const fs::path aside = asidePath(file);
    fs::rename(file, aside, error);
    if (error) {
      qby::log("Unable to move %@ aside: %@", file.string(), error.message());
      moved = false;
    } else if (*suffix == '\0') {
      movedStoreFile_ = aside;
    }
  }
  if (!moved) return false;
  // The shared settings go aside too, kept like the database.
  const fs::path defaults = qby::QBYDataStore::sharedDefaults().file();
  std::error_code error;
  if (fs::exists(defaults, error)) {
    fs::rename(defaults, asidePath(defaults), error);
    if (error) {
      qby::log("Unable to move %@ aside: %@", defaults.string(), error.message());
      return false;
    }
  }
  qby::log("Reset the data; the old database is %@",
           movedStoreFile_ ? movedStoreFile_->string() : std::string("(none)"));
  return true;
}

// --- Addresses ---------------------------------------------------------------------------------

bool QBYAppDelegate::processURL(const std::string& text) {
  const QBYURLCommand command = QBYURLCommand::parse(text);
  if (!command.handled()) {
    qby::log("Not handling URL: %@", qby::trimToLength(text, 200));
    return false;
  }
  if (command.opensOtherWindow()) showMainWindowAtLaunch_ = false;
  carryOut(command);
  return true;
}

void QBYAppDelegate::carryOut(const QBYURLCommand& command) {
  using Kind = QBYURLCommand::Kind;
  if (!deliveriesManager_) return;
  switch (command.kind) {
    case Kind::NotHandled:
    case Kind::Ignored:
      return;
    case Kind::OpenAddWindow:
      openAddWindow(command.searchText);
      return;
    case Kind::AddDelivery: {
      qby::QBYDeliverySettings settings = *command.settings;
      if (deliveriesManager_->validateSettings(settings, false)) {
        deliveriesManager_->saveDeliveryWithSettings(settings);
        dataStore_->saveData();
      } else {
        openEditWindowWithSettings(settings);
      }
      return;
    }
    case Kind::ShowDelivery: {
      auto delivery = deliveriesManager_->deliveryWithUUID(command.uuid);
      if (!delivery && command.settings)
        delivery = deliveriesManager_->deliveryWithSettings(*command.settings, false);
      showMainWindow();
      if (delivery && mainWindow_ && mainWindow_->list().selectDelivery(delivery))
        mainWindow_->showDetail();
      return;
    }
    case Kind::EditDelivery:
      openEditWindow(*command.uuid);
      return;
    case Kind::Search:
      showMainWindow();
      if (mainWindow_) mainWindow_->search(command.searchText);
      return;
    case Kind::OpenSettings: {
      std::string pane = command.pane;
      // The Logs pane shows only while logging is on; otherwise the current pane.
      if (pane == "logs" && !qby::QBYLog::enabled()) pane.clear();
      openPreferences(pane);
      return;
    }
    case Kind::ICloudReset:
      if (syncManager_) syncManager_->promptForiCloudReset();
      return;
    case Kind::RepairDatabase:
      confirm(QBYLocalizedString("Repair your database?"),
              QBYLocalizedString(
                  "Porvane will attempt to repair your database. This may help if some services "
                  "are missing from the app, or if some of your deliveries have a generic "
                  "appearance of black text on a white background."),
              QBYLocalizedString("Repair"), [weak = weak_from_this()] {
                if (auto self = weak.lock(); self && self->deliveriesManager_)
                  self->deliveriesManager_->importServicesWithDefaults(true, true);
              });
      return;
    case Kind::ClearCookies: {
      // COOKIES PLACE: the updater's cookie store is cleared through the sign-in issue's
      // cookie manager; until then the address is recognised and does nothing.
      qby::log("Clearing cookies is not available yet");
      return;
    }
    case Kind::EnableLogs:
      preferencesWindow_.reset();
      qby::QBYLog::setEnabled(true);
      deliveriesManager_->update();
      return;
    case Kind::DownloadBeta:
      confirm(QBYLocalizedString("Download beta service updates?"),
              QBYLocalizedString(
                  "Beta service updates will let you try out fixes for problems before they’re "
                  "final. In some cases they may not work, or cause other problems. You can "
                  "always reset service updates by opening the About window and clicking on the "
                  "version number."),
              QBYLocalizedString("Download"), [weak = weak_from_this()] {
                if (auto self = weak.lock(); self && self->deliveriesManager_)
                  self->deliveriesManager_->downloadBetaServiceUpdate();
              });
      return;
  }
}

void QBYAppDelegate::confirm(const std::string& heading, const std::string& body,
                             const std::string& accept, std::function<void()> accepted) {
  QBYAlertSpec spec;
  spec.heading = heading;
  spec.body = body;
  spec.responses = {{"cancel", QBYLocalizedString("Cancel")}, {"accept", accept}};
  spec.defaultResponse = spec.closeResponse = "cancel";
  spec.destructiveResponse = "accept";
  presentAlert(mainGtkWindow(), spec,
               [accepted = std::move(accepted)](const std::string& response) {
                 if (response == "accept") accepted();
               });
}

void QBYAppDelegate::openFile(const fs::path& file) {
  showMainWindowAtLaunch_ = false;
  if (file.extension() == std::string(".") + qby::QBYDeliveryDocumentExtension) {
    // A delivery document: its delivery in an edit window, to save or change first.
    qby::QBYDeliveryDocument document(file);
    qby::QBYError error;
    if (document.openAndWait(&error)) {
      openEditWindowWithSettings(document.deliverySettings());
      return;
    }
    qby::log("Unable to open document %@: %@", file.string(), error);
    QBYAlertSpec spec;
    spec.heading = QBYLocalizedString("The document could not be opened.");
    spec.body = error.localizedDescription;
    spec.responses = {{"ok", QBYLocalizedString("OK")}};
    spec.defaultResponse = spec.closeResponse = "ok";
    presentAlert(mainGtkWindow(), spec, [](const std::string&) {});
    return;
  }
  if (file.extension() == ".desktop") {
    // A web location saved by the desktop (a link entry): the address it holds.
    KeyFilePtr keys(g_key_file_new());
    qby::GCharPtr url;
    if (g_key_file_load_from_file(keys.get(), file.c_str(), G_KEY_FILE_NONE, nullptr))
      url.reset(g_key_file_get_string(keys.get(), G_KEY_FILE_DESKTOP_GROUP,
                                      G_KEY_FILE_DESKTOP_KEY_URL, nullptr));
    if (url && g_utf8_validate(url.get(), -1, nullptr)) {
      openAddWindow(url.get());
      return;
    }
  }
  // Anything else goes to the add window as its address, which finds what it can in it.
  qby::GObjectPtr<GFile> gfile = qby::GObjectPtr<GFile>::adopt(g_file_new_for_path(file.c_str()));
  qby::GCharPtr uri(g_file_get_uri(gfile.get()));
  openAddWindow(uri ? uri.get() : file.string());
}

void QBYAppDelegate::openURIs(const std::vector<std::string>& uris) {
  for (const std::string& uri : uris) {
    if (uri.rfind("file:", 0) == 0) {
      qby::GCharPtr path(g_filename_from_uri(uri.c_str(), nullptr, nullptr));
      if (path) openFile(path.get());
      continue;
    }
    processURL(uri);
  }
}

void QBYAppDelegate::openWebPage(const std::string& uri) {
  if (!g_uri_is_valid(uri.c_str(), G_URI_FLAGS_NONE, nullptr)) {
    qby::log("Tried to open an invalid URL: %@", uri);
    return;
  }
  if (environment_.openURI)
    environment_.openURI(uri);
  else
    openWithDesktop(uri);
}

// --- Windows -----------------------------------------------------------------------------------

GtkWindow* QBYAppDelegate::mainGtkWindow() const {
  return mainWindow_ ? mainWindow_->window() : nullptr;
}

void QBYAppDelegate::showMainWindow() {
  if (mainWindow_) mainWindow_->present();
}

void QBYAppDelegate::openAddWindow(const std::string& searchText) {
  if (!deliveriesManager_) return;
  showMainWindowAtLaunch_ = false;
  if (addWindow_) {
    // One add window: a new address starts it over.
    addWindow_.reset();
  }
  forms::QBYAddDeliveryWindow::Options options;
  if (!searchText.empty()) options.search = searchText;
  std::weak_ptr<QBYAppDelegate> weak = weak_from_this();
  options.finished = [weak](forms::QBYAddDeliveryWindow::Outcome) {
    if (auto self = weak.lock()) {
      self->addWindow_.reset();
      self->quitSoonIfNoWindowShows();
    }
  };
  Gtk::Window* parent = nullptr;
  if (mainWindow_ && gtk_widget_get_visible(GTK_WIDGET(mainWindow_->window())))
    parent = Glib::wrap(mainWindow_->window());
  addWindow_ =
      forms::QBYAddDeliveryWindow::present(parent, *deliveriesManager_, std::move(options));
}

void QBYAppDelegate::openAddWindowWithGuesses(std::vector<qby::Dictionary> guesses) {
  if (!deliveriesManager_) return;
  showMainWindowAtLaunch_ = false;
  addWindow_.reset();
  forms::QBYAddDeliveryWindow::Options options;
  options.foundGuesses = std::move(guesses);
  std::weak_ptr<QBYAppDelegate> weak = weak_from_this();
  options.finished = [weak](forms::QBYAddDeliveryWindow::Outcome) {
    if (auto self = weak.lock()) {
      self->addWindow_.reset();
      self->quitSoonIfNoWindowShows();
    }
  };
  addWindow_ =
      forms::QBYAddDeliveryWindow::present(nullptr, *deliveriesManager_, std::move(options));
}

forms::QBYEditDeliveryWindow* QBYAppDelegate::editWindow(const std::string& uuid) const {
  const auto found = editWindows_.find(uuid);
  return found == editWindows_.end() ? nullptr : found->second.get();
}

void QBYAppDelegate::openEditWindow(const std::string& uuid) {
  if (!deliveriesManager_) return;
  auto delivery = deliveriesManager_->deliveryWithUUID(uuid);
  if (!delivery) {
    qby::log("No delivery to edit with uuid %@", uuid);
    return;
  }
  openEditWindowWithSettings(
      qby::QBYDeliverySettings::settingsWithDictionary(delivery->attributes()));
}

void QBYAppDelegate::openEditWindowWithSettings(const qby::QBYDeliverySettings& settings) {
  if (!deliveriesManager_) return;
  showMainWindowAtLaunch_ = false;
  // One window per delivery; a new one (no uuid yet) under the empty key.
  const std::string key = settings.uuid.value_or("");
  if (auto* existing = editWindow(key)) {
    existing->Gtk::Window::present();
    return;
  }
  std::weak_ptr<QBYAppDelegate> weak = weak_from_this();
  Gtk::Window* parent = nullptr;
  if (mainWindow_ && gtk_widget_get_visible(GTK_WIDGET(mainWindow_->window())))
    parent = Glib::wrap(mainWindow_->window());
  editWindows_[key] = forms::QBYEditDeliveryWindow::present(
      parent, *deliveriesManager_, settings, [weak, key](std::shared_ptr<qby::Delivery>) {
        if (auto self = weak.lock()) {
          self->editWindows_.erase(key);
          self->quitSoonIfNoWindowShows();
        }
      });
}

void QBYAppDelegate::openPreferences(const std::string& pane) {
  if (!deliveriesManager_) return;
  showMainWindowAtLaunch_ = false;
  if (preferencesWindow_) {
    if (!pane.empty()) preferencesWindow_->showPane(pane);
    gtk_window_present(preferencesWindow_->window());
    return;
  }
  forms::QBYPreferencesWindow::Options options;
  if (!pane.empty()) options.pane = pane;
  std::weak_ptr<QBYAppDelegate> weak = weak_from_this();
  if (syncManager_) {
    options.syncPage = [weak, sync = syncManager_](GtkWindow* window) {
      QBYSyncPreferencesPage::Options pageOptions;
      pageOptions.openURI = [weak](const std::string& uri) {
        auto self = weak.lock();
        if (!self) return false;
        self->openWebPage(uri);
        return true;
      };
      return std::unique_ptr<forms::QBYPreferencesPage>(
          std::make_unique<QBYSyncPreferencesPage>(*sync, window, std::move(pageOptions)));
    };
  }
  options.closed = [weak] {
    if (auto self = weak.lock()) {
      self->preferencesWindow_.reset();
      self->quitSoonIfNoWindowShows();
    }
  };
  preferencesWindow_ = forms::QBYPreferencesWindow::present(mainGtkWindow(), *deliveriesManager_,
                                                            std::move(options));
}

// --- Background updates and the companion ------------------------------------------------------

void QBYAppDelegate::startBackgroundUpdate() {
  if (!deliveriesManager_) return;
  qby::log("Starting background update");
  backgroundUpdateRunning_ = true;
  deliveriesManager_->update();
}

void QBYAppDelegate::backgroundUpdateComplete() {
  if (!backgroundUpdateRunning_) return;
  backgroundUpdateRunning_ = false;
  if (dataStore_) dataStore_->saveData();
  const auto result = deliveriesManager_ ? deliveriesManager_->updateResultText() : std::nullopt;
  qby::log("Background update complete: %@", result.value_or("(null)"));
}

void QBYAppDelegate::updateBackgroundUpdater(bool restart) {
  companionUpdate_.cancel();
  if (!environment_.controlCompanion) return;
  if (!qby::QBYBackgroundUpdater::usingBackgroundUpdater()) {
    qby::QBYBackgroundUpdater::enableBackgroundUpdater(false);
    return;
  }
  if (restart) {
    // Told to quit now (it stays only when still wanted) and started again a moment later.
    sendToCompanion(qby::QBYWormholeActionQuit, std::nullopt);
    std::weak_ptr<QBYAppDelegate> weak = weak_from_this();
    companionUpdate_.schedule(kCompanionRestartDelay, [weak] {
      if (auto self = weak.lock()) self->updateBackgroundUpdater(false);
    });
    return;
  }
  if (qby::QBYBackgroundUpdater::requiresBackgroundUpdater())
    qby::QBYBackgroundUpdater::enableBackgroundUpdater(true);
  qby::QBYBackgroundUpdater::launchBackgroundUpdater();
  sendToCompanion(qby::QBYWormholeActionUpdateSettings, std::nullopt);
}

void QBYAppDelegate::settingsChanged(const qby::Notification& notification) {
  const auto key = notification.userInfo[qby::QBYUserDefaultsKey].asString();
  if (!key) return;
  if (*key == qby::QBYBackgroundUpdatesKey || *key == qby::QBYMenuBarModeKey) {
    updateBackgroundUpdater(true);
    if (*key == qby::QBYBackgroundUpdatesKey && syncManager_ &&
        qby::QBYDataStore::sharedDefaults().boolForKey(qby::QBYBackgroundUpdatesKey))
      syncManager_->updateiCloudSubscription();
  } else if (*key == qby::QBYAddShortcutKey || *key == qby::QBYShowShortcutKey) {
    updateBackgroundUpdater(false);
  }
}

void QBYAppDelegate::quitCompanionIfAppropriate() {
  if (!environment_.controlCompanion) return;
  if (!qby::QBYBackgroundUpdater::requiresBackgroundUpdater())
    sendToCompanion(qby::QBYWormholeActionQuit, std::nullopt);
}

void QBYAppDelegate::sendToCompanion(const std::string& action,
                                     const std::optional<qby::Value>& object) {
  if (!deliveriesManager_) return;
  deliveriesManager_->sendWormholeAction(action, object);
}

void QBYAppDelegate::restartDueToAppChange(const char* reason) {
  if (restarting_) return;
  restarting_ = true;
  qby::log(reason);
  if (environment_.controlCompanion) {
    qby::QBYBackgroundUpdater::launchBackgroundUpdater();
    sendToCompanion(qby::QBYWormholeActionRequestRestart, std::nullopt);
  }
  requestQuit();
}

// --- Notification delegate ---------------------------------------------------------------------

long QBYAppDelegate::applicationState() {
  GtkWindow* window = mainGtkWindow();
  return window && gtk_window_is_active(window) ? 0 : 2;
}

void QBYAppDelegate::versionChanged() {
  updateBackgroundUpdater(true);
}

void QBYAppDelegate::updateConfigurationFailed() {
  restartDueToAppChange("Requesting restart because update configuration failed");
}

void QBYAppDelegate::deliveriesManagerException(const std::string& message) {
  qby::log("Deliveries manager exception: %@", message);
  QBYAlertSpec spec;
  spec.heading = QBYLocalizedString("Porvane is unable to update");
  spec.body = QBYLocalizedString(
      "There is a problem with the current service update, and your deliveries cannot be "
      "refreshed. Visit our site for more information.");
  spec.responses = {{"cancel", QBYLocalizedString("Cancel")},
                    {"visit", QBYLocalizedString("Visit Site")}};
  spec.defaultResponse = "visit";
  spec.closeResponse = "cancel";
  std::weak_ptr<QBYAppDelegate> weak = weak_from_this();
  presentAlert(mainGtkWindow(), spec, [weak](const std::string& response) {
    if (auto self = weak.lock(); self && response == "visit")
      self->openWebPage(qby::Vendor::supportSiteURL() + "/update-exception.html");
  });
}

void QBYAppDelegate::presentDeliveryNotification(const qby::QBYNotification& notification) {
  // The companion shows every notification of the suite.
  if (environment_.controlCompanion) qby::QBYBackgroundUpdater::launchBackgroundUpdater();
  sendToCompanion(qby::QBYWormholeActionNotification, qby::Value(notification.dictionary()));
}

void QBYAppDelegate::removeNotificationForUUID(const std::string& uuid) {
  if (environment_.controlCompanion) qby::QBYBackgroundUpdater::launchBackgroundUpdater();
  sendToCompanion(qby::QBYWormholeActionNotification,
                  qby::Value(qby::QBYNotification::notificationWithUUID(uuid).dictionary()));
}

void QBYAppDelegate::removeAllBadgeUUIDs() {
  qby::QBYNotifications::removeAllBadgeUUIDs();
  updateBadgeCount(0);
  if (environment_.controlCompanion) qby::QBYBackgroundUpdater::launchBackgroundUpdater();
  sendToCompanion(qby::QBYWormholeActionClearNotifications, std::nullopt);
}

void QBYAppDelegate::updateBadgeCount(long count) {
  qby::LauncherEntry::updateBadgeCount(count);
}

void QBYAppDelegate::processWormholeAction(const std::string& identifier,
                                           const qby::Value& object) {
  if (identifier == qby::QBYWormholeActionNewDelivery) {
    const auto text = object.asString();
    const auto dictionary = qby::QBYDeliverySettings::dictionaryFromJSON(text);
    if (!dictionary) {
      qby::log("Error parsing JSON to add delivery: %@", text.value_or("(null)"));
      return;
    }
    openAddWindowWithGuesses({*dictionary});
  } else if (identifier == qby::QBYWormholeActionBeginRestart) {
    qby::log("Terminating on request of background app");
    requestQuit();
  }
}

// --- Detail pane delegate ----------------------------------------------------------------------

void QBYAppDelegate::editDeliveryWithSettings(const qby::QBYDeliverySettings& settings) {
  openEditWindowWithSettings(settings);
}

// The shop's sign-in page in a window of its own; once the customer has signed in, the
// manager updates the service's deliveries through it, and later background updates reuse its
// cookies. One window at a time: a second request replaces the first.
void QBYAppDelegate::signInForDelivery(const std::string& uuid) {
  if (!deliveriesManager_) return;
  const auto delivery = deliveriesManager_->deliveryWithUUID(uuid);
  const auto from = delivery ? delivery->from() : std::nullopt;
  if (!from) {
    qby::log("No delivery to sign in for with uuid %@", uuid);
    return;
  }
  signInWindow_ = QBYOnlineSignInWindowController::forManager(*deliveriesManager_);
  if (auto* parent = mainGtkWindow())
    gtk_window_set_transient_for(GTK_WINDOW(signInWindow_->gobj()), parent);
  signInWindow_->signInForService(*from, delivery->extra(), false);
}

void QBYAppDelegate::troubleshootDelivery(const std::string& uuid) {
  if (!deliveriesManager_ || uuid.empty()) return;
  if (auto* window = troubleshootWindow(uuid)) {
    gtk_window_present(window->window());
    return;
  }
  for (const auto& [other, window] : troubleshootWindows_) {
    if (window->screen() == QBYTroubleshootWindow::Screen::Waiting) {
      qby::log("Still troubleshooting %@", other);
      gtk_window_present(window->window());
      return;
    }
  }
  if (!deliveriesManager_->deliveryWithUUID(uuid)) {
    qby::log("No delivery to troubleshoot with uuid %@", uuid);
    return;
  }
  QBYTroubleshootWindow::Options options;
  std::weak_ptr<QBYAppDelegate> weak = weak_from_this();
  options.closed = [weak, uuid] {
    if (auto self = weak.lock()) self->troubleshootWindows_.erase(uuid);
  };
  options.openSyncPreferences = [weak] {
    if (auto self = weak.lock()) self->openPreferences("sync");
  };
  troubleshootWindows_[uuid] =
      QBYTroubleshootWindow::present(mainGtkWindow(), deliveriesManager_, uuid, std::move(options));
}

QBYTroubleshootWindow* QBYAppDelegate::troubleshootWindow(const std::string& uuid) const {
  const auto found = troubleshootWindows_.find(uuid);
  return found == troubleshootWindows_.end() ? nullptr : found->second.get();
}

void QBYAppDelegate::archivedDelivery(const std::string& uuid) {
  (void)uuid;
}

// --- Sync prompts ------------------------------------------------------------------------------

int QBYAppDelegate::SyncDelegate::applicationState() {
  return static_cast<int>(owner_.applicationState());
}

void QBYAppDelegate::SyncDelegate::shouldPromptWithTitle(
    const std::string& title, const std::string& message, const std::string& accept,
    const std::string& cancel, std::function<void(bool accepted)> handler) {
  QBYAlertSpec spec;
  spec.heading = title;
  spec.body = message;
  spec.responses = {{"accept", accept}, {"cancel", cancel}};
  spec.defaultResponse = "accept";
  spec.closeResponse = "cancel";
  presentAlert(owner_.mainGtkWindow(), spec,
               [handler = std::move(handler)](const std::string& response) {
                 if (handler) handler(response == "accept");
               });
}

}  // namespace porvane::app
