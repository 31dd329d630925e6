// The main window for a German user: the process runs under LANG=de_DE.UTF-8 and LANGUAGE=de
// with the catalog and locale the build makes, and the window's labels, menus and the list's
// day counts and status line must read German, with nothing left in English. The screenshot
// shows the state checked.
#include <adwaita.h>
#include <gtest/gtest.h>
#include <unicode/locid.h>

#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "QBYAppDelegate.h"
#include "QBYMainWindow.h"
#include "QBYPreferencesWindow.h"
#include "model/Delivery.h"
#include "model/Detail.h"
#include "platform/Date.h"
#include "platform/GLibPtr.h"
#include "presentation/QBYDateFormatter.h"
#include "store/QBYDataStore.h"
#include "store/core/QBYManagedObjectContext.h"
#include "support/FixtureServer.h"
#include "support/GtkTestSupport.h"
#include "support/TestSupport.h"

namespace {

using namespace std::chrono_literals;

// Every text a label in the tree shows.
void collectLabels(GtkWidget* widget, std::vector<std::string>& texts) {
  if (GTK_IS_LABEL(widget)) texts.emplace_back(gtk_label_get_text(GTK_LABEL(widget)));
  for (GtkWidget* child = gtk_widget_get_first_child(widget); child;
       child = gtk_widget_get_next_sibling(child))
    collectLabels(child, texts);
}

bool anyLabelContains(GtkWidget* root, const std::string& text) {
  std::vector<std::string> texts;
  collectLabels(root, texts);
  for (const auto& label : texts)
    if (label.find(text) != std::string::npos) return true;
  return false;
}

// The labels of a menu and its sections and submenus.
void menuLabels(GMenuModel* menu, std::vector<std::string>& labels) {
  for (int i = 0; i < g_menu_model_get_n_items(menu); ++i) {
    gchar* label = nullptr;
    if (g_menu_model_get_item_attribute(menu, i, G_MENU_ATTRIBUTE_LABEL, "s", &label)) {
      labels.emplace_back(label);
      g_free(label);
    }
    for (const char* link : {G_MENU_LINK_SECTION, G_MENU_LINK_SUBMENU}) {
      if (GMenuModel* inner = g_menu_model_get_item_link(menu, i, link)) {
        menuLabels(inner, labels);
        g_object_unref(inner);
      }
    }
  }
}

class GermanWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Before GTK, ICU or gettext have looked at the locale.
    setenv("LOCPATH", PORVANE_TEST_LOCPATH, 1);
    setenv("LANG", "de_DE.UTF-8", 1);
    setenv("LANGUAGE", "de", 1);
    setenv("PORVANE_LOCALE_DIR", PORVANE_LOCALE_BUILD_DIR, 1);
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LC_TIME"}) unsetenv(name);
    ASSERT_TRUE(std::setlocale(LC_ALL, "")) << "no de_DE.UTF-8 locale in " PORVANE_TEST_LOCPATH;
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale::setDefault(icu::Locale("de_DE"), status);
    qby::QBYDateFormatter::sharedFormatter().reset();

    ASSERT_TRUE(qby::test::initGtk()) << "no display";
    // Carrier addresses go to the fixture server, which answers nothing: never the internet.
    ASSERT_TRUE(server_.listening()) << server_.error();
    server_.setFallback({503, "text/plain", ""});
    setenv("PORVANE_FIXTURE_SERVER", server_.url().c_str(), 1);
  }

  void TearDown() override {
    if (delegate_) delegate_->applicationWillTerminate();
    delegate_.reset();
    qby::test::iterateFor(50ms);
  }

  // A delivery whose one package is expected in `days` days, updated `updatedAgo` s ago.
  void storeDelivery(const std::string& uuid, const std::string& name, int days,
                     double updatedAgo) {
    qby::QBYDataStore store(storeFile_);
    ASSERT_TRUE(store.available());
    auto& context = *store.viewContext();
    auto delivery = context.insert<qby::Delivery>("Delivery");
    delivery->setUuid(uuid);
    delivery->setName(name);
    delivery->setFrom(std::string("www.ups.com"));
    delivery->setNo("1Z999AA1012345678" + std::to_string(days));
    const double now = qby::Date::now().timeIntervalSince1970();
    delivery->setModified(now);
    delivery->setUpdatedTime(now - updatedAgo);
    auto detail = context.insert<qby::Detail>("Detail");
    detail->setIndex(0);
    detail->setItemName(name);
    detail->setDateString(qby::QBYDateFormatter::sharedFormatter().stringFromDate(
        qby::Date::now().addingTimeInterval(days * 86400.0)));
    delivery->addDetail(detail);
    delivery->updateSortIndexes();
    ASSERT_TRUE(context.save());
  }

  porvane::app::QBYMainWindow& launch() {
    const std::string id = "com.quillbay.mac.Porvane.GermanTest" + std::to_string(getpid());
    application_ = qby::GObjectPtr<GtkApplication>::adopt(
        GTK_APPLICATION(adw_application_new(id.c_str(), G_APPLICATION_NON_UNIQUE)));
    EXPECT_TRUE(g_application_register(G_APPLICATION(application_.get()), nullptr, nullptr));
    porvane::app::QBYAppDelegate::Environment environment;
    environment.application = application_.get();
    environment.terminate = [] {};
    environment.openURI = [](const std::string&) { return true; };
    environment.controlCompanion = false;
    environment.schedule = false;
    environment.storeFile = storeFile_;
    delegate_ = std::make_shared<porvane::app::QBYAppDelegate>(std::move(environment));
    EXPECT_TRUE(delegate_->applicationWillFinishLaunching());
    delegate_->applicationDidFinishLaunching();
    auto& window = *delegate_->mainWindow();
    gtk_window_set_default_size(window.window(), 980, 640);
    window.present();
    qby::test::iterateUntil([&] { return gtk_widget_get_mapped(GTK_WIDGET(window.window())); });
    qby::test::iterateFor(300ms);
    return window;
  }

  std::filesystem::path storeFile_ = qby::test::makeTempDir("store") / "Deliveries.sqlite";
  qby::test::FixtureServer server_;
  qby::GObjectPtr<GtkApplication> application_;
  std::shared_ptr<porvane::app::QBYAppDelegate> delegate_;
};

TEST_F(GermanWindowTest, TheMainWindowSpeaksGerman) {
  storeDelivery("6A1B2C3D-0000-4000-8000-000000000001", "Winterstiefel", 3, 300);
  storeDelivery("6A1B2C3D-0000-4000-8000-000000000002", "Kamera", 1, 7200);
  auto& window = launch();
  GtkWidget* root = GTK_WIDGET(window.window());

  // The header bar and search field.
  EXPECT_TRUE(qby::test::findWidget(root, "Sendungen"));
  EXPECT_TRUE(qby::test::findWidget(root, "Hauptmenü"));
  gchar* placeholder = nullptr;
  g_object_get(window.searchEntry(), "placeholder-text", &placeholder, nullptr);
  EXPECT_STREQ(placeholder, "Suchen");
  g_free(placeholder);

  // The list's day counts, phrased by the German catalog.
  EXPECT_TRUE(qby::test::iterateUntil([&] { return anyLabelContains(root, "Tage"); }))
      << "no German day count in the list";
  EXPECT_TRUE(anyLabelContains(root, "Keine Sendung ausgewählt"));

  // The detail pane of a selected delivery: when it was refreshed, as the German locale says.
  auto& list = window.list();
  std::shared_ptr<qby::Delivery> boots;
  for (const auto& delivery : list.shownDeliveries())
    if (delivery->name() == std::optional<std::string>("Winterstiefel")) boots = delivery;
  ASSERT_TRUE(boots);
  ASSERT_TRUE(list.selectDelivery(boots));
  EXPECT_TRUE(qby::test::iterateUntil([&] {
    return anyLabelContains(root, "Aktualisiert vor 5 Minuten");
  })) << "the detail pane does not say when it was refreshed in German";

  // The primary menu, with its delivery commands and the application's own.
  GtkWidget* menuButton = qby::test::findWidget(root, "Hauptmenü");
  ASSERT_TRUE(menuButton && GTK_IS_MENU_BUTTON(menuButton));
  std::vector<std::string> labels;
  menuLabels(gtk_menu_button_get_menu_model(GTK_MENU_BUTTON(menuButton)), labels);
  for (const char* german :
       {"Archivieren", "Löschen …", "Bearbeiten", "Einstellungen", "Tastenkürzel", "Beenden"}) {
    EXPECT_NE(std::find(labels.begin(), labels.end(), german), labels.end()) << german;
  }

  // Nothing of the window left in English.
  std::vector<std::string> texts;
  collectLabels(root, texts);
  texts.insert(texts.end(), labels.begin(), labels.end());
  for (const char* english : {"Deliveries", "Main Menu", "Updated", "days", "Archive", "Quit",
                              "Preferences", "Never updated", "Refreshed", "ago"}) {
    for (const auto& text : texts) EXPECT_EQ(text.find(english), std::string::npos) << text;
  }

  // The selection's detail pane is drawn before it is captured.
  qby::test::iterateFor(300ms);
  EXPECT_FALSE(qby::test::saveScreenshot(root, "main-window-german").empty());
}

TEST_F(GermanWindowTest, ThePreferencesSpeakGerman) {
  auto& window = launch();
  porvane::forms::QBYPreferencesWindow::Options options;
  options.pane = "general";
  auto preferences = porvane::forms::QBYPreferencesWindow::present(
      window.window(), *delegate_->deliveriesManager(), options);
  ASSERT_TRUE(preferences);
  GtkWidget* root = GTK_WIDGET(preferences->window());
  ASSERT_TRUE(qby::test::iterateUntil([&] { return gtk_widget_get_mapped(root); }));
  qby::test::iterateFor(300ms);
  for (const char* german : {"Allgemein", "Im Hintergrund aktualisieren", "Benachrichtigungen",
                             "Klänge abspielen", "Archiv leeren …"}) {
    EXPECT_TRUE(anyLabelContains(root, german)) << german;
  }
  for (const char* english : {"General", "Update in the Background", "Notifications"})
    EXPECT_FALSE(anyLabelContains(root, english)) << english;
  EXPECT_FALSE(qby::test::saveScreenshot(root, "preferences-german").empty());

  preferences->showPane("logs");
  EXPECT_TRUE(qby::test::iterateUntil([&] { return anyLabelContains(root, "Protokollordner"); }));
  EXPECT_TRUE(anyLabelContains(root, "Protokollierung"));
}

}  // namespace
