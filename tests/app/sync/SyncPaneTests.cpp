// The Sync page of the preferences window, driven through its widgets against porvane-server
// (SQLite) on 127.0.0.1: the address rule, registration behind the terms, signing in and out,
// the server's messages in the status line and in an alert, the cloud database's view, and
// the loading view while the sync manager starts.
#include <adwaita.h>
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <gtkmm/init.h>
#include <webkit/webkit.h>

#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "FormsTestSupport.h"
#include "QBYPreferencesWindow.h"
#include "QBYSyncPreferencesPage.h"
#include "QBYTermsSheet.h"
#include "SyncServerProcess.h"
#include "manager/QBYDeliveriesManager.h"
#include "platform/GLibPtr.h"
#include "platform/MainQueue.h"
#include "platform/QBYUserDefaults.h"
#include "store/QBYDataStore.h"
#include "support/GtkTestSupport.h"
#include "support/TestSupport.h"
#include "sync/QBYSyncManager.h"
#include "sync/QBYSyncServerAddress.h"

namespace qby::test {
namespace {

using porvane::app::QBYSyncPreferencesPage;
using porvane::forms::QBYPreferencesWindow;
using View = QBYSyncPreferencesPage::View;
using namespace std::chrono_literals;

class SyncPaneTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(initGtk());
    Gtk::init_gtkmm_internals();
    root = makeTempDir("sync-pane");
    server = std::make_unique<SyncServer>(root / "server");
    ASSERT_TRUE(server->start());
    // The keyring outlasts the case: every case has an address of its own.
    email = "pane" + std::to_string(std::random_device()()) + "@example.org";

    store = std::make_shared<QBYDataStore>();
    sync = std::make_shared<QBYSyncManager>();
    QBYDeliveriesManager::Options options;
    options.updaterFactory = [](std::optional<std::filesystem::path>, bool) {
      return std::make_shared<RecordingUpdater>();
    };
    options.parentAppOpen = [] { return false; };
    options.actionSender = [](const std::string&) {};
    options.listenForActions = false;
    manager = QBYDeliveriesManager::create(std::move(options));
    manager->setDataStore(store);
    manager->setSyncManager(sync);
  }

  void TearDown() override {
    preferences.reset();
    if (manager && manager->started()) manager->stop();
    MainQueue::drain();
    manager.reset();
    sync.reset();
    store.reset();
  }

  void startSync() {
    manager->start();
    ASSERT_TRUE(iterateUntil([&] { return sync->step() >= 3; }, 20s));
  }

  void open() {
    QBYPreferencesWindow::Options options;
    options.pane = "sync";
    options.syncPage = [this](GtkWindow* window) {
      QBYSyncPreferencesPage::Options pageOptions;
      pageOptions.openURI = [this](const std::string& uri) {
        opened.push_back(uri);
        return true;
      };
      auto made = std::make_unique<QBYSyncPreferencesPage>(*sync, window, std::move(pageOptions));
      page = made.get();
      return std::unique_ptr<porvane::forms::QBYPreferencesPage>(std::move(made));
    };
    preferences = QBYPreferencesWindow::present(nullptr, *manager, std::move(options));
    ASSERT_NE(page, nullptr);
    ASSERT_TRUE(iterateUntil([&] { return gtk_widget_get_mapped(window()); }));
  }

  GtkWidget* window() const { return GTK_WIDGET(preferences->window()); }
  GtkWidget* widget(const char* name) const {
    GtkWidget* found = findWidget(window(), name);
    EXPECT_NE(found, nullptr) << name;
    return found;
  }
  void type(const char* row, const std::string& text) {
    gtk_editable_set_text(GTK_EDITABLE(widget(row)), text.c_str());
  }
  void click(const char* name) {
    GtkWidget* button = widget(name);
    ASSERT_TRUE(button && gtk_widget_is_sensitive(button) && gtk_widget_get_mapped(button)) << name;
    g_signal_emit_by_name(button, "clicked");
  }
  // Lets the layout settle first: a view that just changed has no size yet.
  static void screenshot(GtkWidget* shown, const std::string& name) {
    iterateFor(std::chrono::milliseconds(300));
    EXPECT_FALSE(saveScreenshot(shown, name).empty()) << name;
  }
  bool waitForView(View view, std::chrono::milliseconds timeout = 10s) {
    return iterateUntil([&] { return page->view() == view; }, timeout);
  }
  bool waitForStatus(const std::string& text, std::chrono::milliseconds timeout = 30s) {
    return iterateUntil([&] { return page->statusText().find(text) != std::string::npos; },
                        timeout);
  }
  void fillRegistration(const std::string& password) {
    click("sync-register-segment");
    ASSERT_TRUE(waitForView(View::Register));
    type("sync-server", server->url());
    type("sync-name", "Pane Tester");
    type("sync-email", email);
    type("sync-password", password);
    type("sync-confirm", password);
  }
  // Presses Register and answers the terms sheet once it has loaded.
  void registerAnswering(bool agree) {
    click("sync-action");
    ASSERT_TRUE(iterateUntil([&] { return page->termsSheet() != nullptr; }));
    auto* sheet = page->termsSheet();
    ASSERT_TRUE(iterateUntil([&] { return gtk_widget_get_mapped(GTK_WIDGET(sheet->window())); }));
    // The sheet shows the server's own terms page (its built-in one here).
    ASSERT_TRUE(iterateUntil(
        [&] {
          const char* title = webkit_web_view_get_title(sheet->webView());
          return !webkit_web_view_is_loading(sheet->webView()) && title &&
                 std::string(title) == "Terms of use";
        },
        20s))
        << sheet->loadError();
    EXPECT_EQ(std::string(webkit_web_view_get_uri(sheet->webView())),
              server->url() + "/sync/app/legal/terms.html");
    ASSERT_TRUE(findWidget(GTK_WIDGET(sheet->window()), "I Agree"));
    ASSERT_TRUE(findWidget(GTK_WIDGET(sheet->window()), "Cancel"));
    iterateFor(300ms);
    screenshot(GTK_WIDGET(sheet->window()), agree ? "terms-sheet" : "terms-sheet-cancel");
    if (agree)
      sheet->agree();
    else
      sheet->cancel();
    ASSERT_TRUE(iterateUntil([&] { return page->termsSheet() == nullptr; }));
  }

  // Opens the page on a started sync manager and registers the case's account through it.
  void registerThroughThePage() {
    startSync();
    open();
    ASSERT_TRUE(waitForView(View::SignIn));
    fillRegistration(kPassword);
    ASSERT_FALSE(HasFatalFailure());
    registerAnswering(true);
    ASSERT_TRUE(waitForView(View::SignedIn, 30s)) << page->statusText();
  }

  static constexpr const char* kPassword = "correct horse 42";
  std::filesystem::path root;
  std::unique_ptr<SyncServer> server;
  std::string email;
  std::shared_ptr<QBYDataStore> store;
  std::shared_ptr<QBYSyncManager> sync;
  std::shared_ptr<QBYDeliveriesManager> manager;
  std::unique_ptr<QBYPreferencesWindow> preferences;
  QBYSyncPreferencesPage* page = nullptr;
  std::vector<std::string> opened;
};

TEST_F(SyncPaneTest, LoadingUntilTheSyncManagerHasStartedThenTheSignInForm) {
  open();
  EXPECT_EQ(page->view(), View::Loading);
  EXPECT_FALSE(gtk_widget_get_mapped(widget("sync-action")));
  startSync();
  page->updateView();
  EXPECT_EQ(page->view(), View::SignIn);
  // No message yet: the invitation.
  EXPECT_NE(page->statusText().find("Sign in to your Quillbay account"), std::string::npos)
      << page->statusText();
  EXPECT_FALSE(gtk_widget_get_visible(widget("sync-confirm")));
  EXPECT_FALSE(gtk_widget_get_visible(widget("sync-name")));
  screenshot(window(), "sync-sign-in-form");
}

TEST_F(SyncPaneTest, AddressesThatWouldSendThePasswordInClearAreRefusedAndNothingIsStored) {
  startSync();
  open();
  ASSERT_TRUE(waitForView(View::SignIn));
  type("sync-server", "http://sync.example.org");
  type("sync-email", email);
  type("sync-password", kPassword);
  click("sync-action");
  EXPECT_NE(page->statusText().find("https"), std::string::npos) << page->statusText();
  EXPECT_FALSE(QBYSyncServerAddress::address(sync->defaults()));
  EXPECT_FALSE(sync->quillbaySettings());

  type("sync-server", "");
  click("sync-action");
  EXPECT_EQ(page->statusText(), "Enter the address of your sync server.");
  EXPECT_FALSE(sync->quillbayEnabled());
}

TEST_F(SyncPaneTest, RegistrationWaitsForTheTermsAndCancellingThemSendsNone) {
  startSync();
  open();
  ASSERT_TRUE(waitForView(View::SignIn));
  fillRegistration(kPassword);
  ASSERT_FALSE(HasFatalFailure());
  EXPECT_TRUE(gtk_widget_get_visible(widget("sync-confirm")));

  // Cancelled terms: the form still goes to the server, without "terms", which refuses it.
  registerAnswering(false);
  EXPECT_FALSE(page->agreedToTerms());
  ASSERT_TRUE(page->settings());
  EXPECT_FALSE(page->settings()->contains("terms"));
  ASSERT_TRUE(waitForStatus("Please accept the terms of service.")) << page->statusText();
  EXPECT_FALSE(sync->quillbayEnabled());
  // The failed registration restarts the sync manager: loading, then the same form again.
  ASSERT_TRUE(waitForView(View::Register)) << static_cast<int>(page->view());
  // The form can be sent again.
  ASSERT_TRUE(iterateUntil([&] { return gtk_widget_is_sensitive(widget("sync-action")); }));

  registerAnswering(true);
  EXPECT_TRUE(page->agreedToTerms());
  ASSERT_TRUE(waitForView(View::SignedIn, 30s)) << page->statusText();
  EXPECT_TRUE(sync->quillbayEnabled());
  EXPECT_EQ(sync->quillbayEmail(), email);
  EXPECT_EQ(sync->credentials().passwordForAccount(email, QBYQuillbayServiceKey), kPassword);
  EXPECT_EQ(QBYSyncServerAddress::address(sync->defaults()), server->url());
  EXPECT_TRUE(findWidget(window(), "Syncing with Quillbay"));
  EXPECT_TRUE(findWidget(window(),
                         "You are currently signed in as " + email + "\nServer: " + server->url()));
  EXPECT_TRUE(gtk_widget_get_visible(widget("sync-log-out")));
  // A success clears the form.
  EXPECT_FALSE(page->settings());
  click("sync-help");
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened.back(), QBYSyncManager::syncHelpURL());
  screenshot(window(), "sync-signed-in");
}

TEST_F(SyncPaneTest, LogOutKeepsThePasswordSoSigningInAgainNeedsOnlyTheButton) {
  registerThroughThePage();
  ASSERT_FALSE(HasFatalFailure());

  click("sync-log-out");
  ASSERT_TRUE(iterateUntil([&] { return !sync->quillbayEnabled(); }, 30s));
  ASSERT_TRUE(waitForView(View::SignIn));
  EXPECT_EQ(sync->credentials().passwordForAccount(email, QBYQuillbayServiceKey), kPassword);

  // The new form starts from the address and the stored password.
  EXPECT_EQ(gtk_editable_get_text(GTK_EDITABLE(widget("sync-email"))), email);
  EXPECT_STREQ(gtk_editable_get_text(GTK_EDITABLE(widget("sync-password"))), kPassword);
  EXPECT_EQ(gtk_editable_get_text(GTK_EDITABLE(widget("sync-server"))), server->url());
  click("sync-action");
  ASSERT_TRUE(waitForView(View::SignedIn, 30s)) << page->statusText();
  EXPECT_TRUE(sync->quillbayEnabled());
}

TEST_F(SyncPaneTest, AWrongPasswordShowsTheServersMessageAndLeavesTheFormUsable) {
  registerThroughThePage();
  ASSERT_FALSE(HasFatalFailure());
  click("sync-log-out");
  ASSERT_TRUE(iterateUntil([&] { return !sync->quillbayEmail() && sync->step() >= 5; }, 30s));
  ASSERT_TRUE(waitForView(View::SignIn));

  type("sync-server", server->url());
  type("sync-email", email);
  type("sync-password", "not the password");
  click("sync-action");
  ASSERT_TRUE(waitForStatus("The e-mail address or password is incorrect.")) << page->statusText();
  EXPECT_FALSE(sync->quillbayEnabled());
  ASSERT_TRUE(waitForView(View::SignIn));
  ASSERT_TRUE(iterateUntil([&] { return gtk_widget_is_sensitive(widget("sync-action")); }));
  // The stored password is the right one still.
  EXPECT_EQ(sync->credentials().passwordForAccount(email, QBYQuillbayServiceKey), kPassword);
  screenshot(window(), "sync-wrong-password");
}

TEST_F(SyncPaneTest, LongMessagesAlsoGoToAnAlertShortOnesOnlyToTheStatusLine) {
  startSync();
  open();
  ASSERT_TRUE(waitForView(View::SignIn));
  const std::string shortText(100, 'x');
  sync->postNotification(QBYSyncChangeNotification, shortText);
  ASSERT_TRUE(waitForStatus(shortText));
  iterateFor(200ms);
  EXPECT_TRUE(visibleWindowsOfType(ADW_TYPE_MESSAGE_DIALOG).empty());

  // 101 characters, counted as characters, not bytes.
  std::string longText;
  for (int i = 0; i < 101; ++i) longText += "ü";
  sync->postNotification(QBYSyncFailureNotification, longText);
  ASSERT_TRUE(waitForStatus(longText));
  ASSERT_TRUE(iterateUntil([] { return !visibleWindowsOfType(ADW_TYPE_MESSAGE_DIALOG).empty(); }));
  GtkWindow* alert = visibleWindowsOfType(ADW_TYPE_MESSAGE_DIALOG).front();
  EXPECT_STREQ(adw_message_dialog_get_heading(ADW_MESSAGE_DIALOG(alert)), "Quillbay Sync");
  EXPECT_EQ(adw_message_dialog_get_body(ADW_MESSAGE_DIALOG(alert)), longText);
  EXPECT_EQ(gtk_window_get_transient_for(alert), GTK_WINDOW(window()));
  GtkWidget* ok = findWidget(GTK_WIDGET(alert), "OK");
  ASSERT_NE(ok, nullptr);
  screenshot(GTK_WIDGET(alert), "sync-long-message-alert");
  g_signal_emit_by_name(ok, "clicked");
  EXPECT_TRUE(iterateUntil([] { return visibleWindowsOfType(ADW_TYPE_MESSAGE_DIALOG).empty(); }));
}

TEST_F(SyncPaneTest, CloudDatabaseViewHasNoLogOutAndSwitchingShowsTheFormWithoutSigningOut) {
  startSync();
  open();
  sync->setICloudEnabled(true);
  page->updateView();
  ASSERT_EQ(page->view(), View::SignedIn);
  EXPECT_TRUE(findWidget(window(), "Syncing with iCloud"));
  EXPECT_FALSE(gtk_widget_get_visible(widget("sync-log-out")));
  ASSERT_TRUE(findWidget(window(), "Switch to Quillbay"));

  sync->setICloudProblem(true);
  page->updateView();
  EXPECT_TRUE(findWidget(window(), "iCloud is Unavailable"));
  EXPECT_TRUE(findWidget(window(), "Please try again later."));

  click("sync-switch");
  EXPECT_TRUE(page->forceQuillbayForm());
  EXPECT_EQ(page->view(), View::SignIn);
  EXPECT_TRUE(sync->iCloudEnabled());
  sync->setICloudEnabled(false);
}

TEST_F(SyncPaneTest, ForgotPasswordAndHelpOpenTheServersPages) {
  startSync();
  open();
  ASSERT_TRUE(waitForView(View::SignIn));
  // Without any address there is nothing to open, and the page says what is missing.
  click("sync-forgot");
  EXPECT_TRUE(opened.empty());
  EXPECT_EQ(page->statusText(), "Enter the address of your sync server.");

  type("sync-server", server->url() + "/");
  click("sync-forgot");
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened.back(), server->url() + "/sync/?cmd=reset");
}

}  // namespace
}  // namespace qby::test
