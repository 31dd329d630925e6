// The application's lifecycle in the test's process: addresses that save without a window or
// open one, the settings panes, a broken database with its ways out, and quitting while the
// sync is busy.
#include <adwaita.h>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "AppHarness.h"
#include "QBYAddDeliveryWindow.h"
#include "QBYAddScreen.h"
#include "QBYEditDeliveryWindow.h"
#include "QBYPreferencesWindow.h"
#include "manager/QBYLog.h"
#include "model/Delivery.h"
#include "store/QBYDataStore.h"
#include "support/GtkTestSupport.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using porvane::test::AppHarness;
using qby::test::iterateFor;
using qby::test::iterateUntil;
using qby::test::saveScreenshot;
using namespace std::chrono_literals;

std::string readBytes(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

std::shared_ptr<qby::Delivery> deliveryWithNumber(AppHarness& h, const std::string& number) {
  h.manager().reloadDeliveries();
  for (const auto& delivery : h.manager().deliveries())
    if (delivery->no() == number) return delivery;
  return nullptr;
}

TEST(LifecycleTest, AnAddAddressWithAValidQuerySavesWithoutAnyWindow) {
  AppHarness h;
  ASSERT_TRUE(h.launch());
  EXPECT_TRUE(
      h.app().processURL("porvane://add?from=gls-group.com&no=901234567890&name=B%C3%BCcher"));
  iterateFor(200ms);
  auto delivery = deliveryWithNumber(h, "901234567890");
  ASSERT_TRUE(delivery);
  EXPECT_EQ(delivery->name(), "Bücher");
  EXPECT_FALSE(gtk_widget_get_visible(GTK_WIDGET(h.window().window())));
  EXPECT_EQ(h.app().addWindow(), nullptr);
  EXPECT_EQ(h.app().editWindow(""), nullptr);
  EXPECT_FALSE(h.app().showMainWindowAtLaunch());

  // What was saved is in the list when the window is opened.
  h.showWindow();
  EXPECT_TRUE(h.window().list().rowOfDelivery(*delivery).has_value());
  saveScreenshot(GTK_WIDGET(h.window().window()), "added-from-address");
}

TEST(LifecycleTest, AnAddAddressThatDoesNotValidateOpensTheEditWindowAndSavesNothing) {
  AppHarness h;
  ASSERT_TRUE(h.launch());
  EXPECT_TRUE(h.app().processURL("porvane://add?from=gls-group.com&name=Only%20a%20name"));
  iterateFor(200ms);
  h.manager().reloadDeliveries();
  EXPECT_TRUE(h.manager().deliveries().empty());
  auto* edit = h.app().editWindow("");
  ASSERT_NE(edit, nullptr);
  iterateFor(300ms);
  saveScreenshot(GTK_WIDGET(edit->gobj()), "add-address-invalid");
}

TEST(LifecycleTest, OtherSchemesOpenTheAddWindowAndOverlongQueriesAreRefused) {
  AppHarness h;
  ASSERT_TRUE(h.launch());
  const std::string link = "https://www.ups.com/track?tracknum=1Z999AA10123456784";
  EXPECT_TRUE(h.app().processURL(link));
  ASSERT_NE(h.app().addWindow(), nullptr);
  EXPECT_EQ(h.app().addWindow()->addScreen()->searchEntry().get_text().raw(), link);
  iterateFor(300ms);
  saveScreenshot(GTK_WIDGET(h.app().addWindow()->gobj()), "other-scheme-add");

  EXPECT_FALSE(h.app().processURL("porvane://add?no=" + std::string(2998, '1')));
  h.manager().reloadDeliveries();
  EXPECT_TRUE(h.manager().deliveries().empty());
}

TEST(LifecycleTest, SettingsAddressesOpenTheirPaneAndLogsOnlyWhileLogging) {
  AppHarness h;
  ASSERT_TRUE(h.launch());
  qby::QBYLog::setEnabled(false);
  EXPECT_TRUE(h.app().processURL("porvane://settings/shortcuts"));
  auto* preferences = h.app().preferencesWindow();
  ASSERT_TRUE(preferences);
  auto* window = ADW_PREFERENCES_WINDOW(preferences->window());
  ASSERT_TRUE(iterateUntil([&] { return adw_preferences_window_get_visible_page_name(window); }));
  EXPECT_STREQ(adw_preferences_window_get_visible_page_name(window), "shortcuts");

  // Logs while logging is off: the window stays on its current pane.
  EXPECT_TRUE(h.app().processURL("porvane://settings/logs"));
  iterateFor(100ms);
  EXPECT_STREQ(adw_preferences_window_get_visible_page_name(window), "shortcuts");
  iterateFor(300ms);
  saveScreenshot(GTK_WIDGET(preferences->window()), "settings-logs-disabled");

  qby::QBYLog::setEnabled(true);
  EXPECT_TRUE(h.app().processURL("porvane://settings/logs"));
  iterateFor(100ms);
  EXPECT_STREQ(adw_preferences_window_get_visible_page_name(window), "logs");
  qby::QBYLog::setEnabled(false);
}

TEST(LifecycleTest, SearchAndShowAddressesShowTheMainWindow) {
  AppHarness h;
  ASSERT_TRUE(h.launch());
  const std::string camera = h.addDelivery("www.ups.com", "1Z999AA10123456784", "Camera");
  h.addDelivery("gls-group.com", "901234567890", "Books");
  EXPECT_TRUE(h.app().processURL("porvane://show/" + camera));
  ASSERT_TRUE(iterateUntil([&] { return gtk_widget_get_mapped(GTK_WIDGET(h.window().window())); }));
  ASSERT_TRUE(h.window().list().selectedDelivery());
  EXPECT_EQ(h.window().list().selectedDelivery()->uuid(), camera);

  EXPECT_TRUE(h.app().processURL("porvane://search?text=Books"));
  EXPECT_EQ(h.window().list().searchString(), "Books");
  EXPECT_EQ(h.window().list().shownDeliveries().size(), 1u);
  iterateFor(300ms);
  saveScreenshot(GTK_WIDGET(h.window().window()), "search-address");
}

TEST(LifecycleTest, ABrokenDatabaseShowsTheAlertAndAResetKeepsTheFile) {
  const fs::path store = qby::test::makeTempDir("broken") / "Porvane.sqlite";
  std::string garbage;
  for (int i = 0; i < 200; ++i) garbage += "this is not a database, but someone's data ";
  qby::test::writeFile(store, garbage);

  AppHarness h(AppHarness::Options{store, {}});
  ASSERT_FALSE(h.launch());
  auto* alert = ADW_MESSAGE_DIALOG(h.app().storeAlert());
  ASSERT_TRUE(alert);
  for (const char* response : {"quit", "visit", "reset"})
    EXPECT_TRUE(adw_message_dialog_has_response(alert, response)) << response;
  // The alert says what is wrong with the file, in the database's words.
  EXPECT_NE(std::string(adw_message_dialog_get_body(alert)).find("not a database"),
            std::string::npos)
      << adw_message_dialog_get_body(alert);
  iterateFor(300ms);
  saveScreenshot(GTK_WIDGET(alert), "corrupt-database-alert");
  EXPECT_EQ(readBytes(store), garbage);
  EXPECT_EQ(h.app().mainWindow(), nullptr);

  adw_message_dialog_response(alert, "reset");
  iterateFor(100ms);
  auto* prompt = ADW_MESSAGE_DIALOG(h.app().storeAlert());
  ASSERT_TRUE(prompt);
  EXPECT_STREQ(adw_message_dialog_get_heading(prompt), "Reset your data?");
  EXPECT_EQ(readBytes(store), garbage);  // asking changed nothing
  adw_message_dialog_response(prompt, "reset");
  iterateFor(100ms);
  auto* done = ADW_MESSAGE_DIALOG(h.app().storeAlert());
  ASSERT_TRUE(done);
  EXPECT_STREQ(adw_message_dialog_get_heading(done), "Your data has been reset");
  ASSERT_TRUE(h.app().movedStoreFile());
  EXPECT_FALSE(fs::exists(store));
  EXPECT_EQ(readBytes(*h.app().movedStoreFile()), garbage);
  EXPECT_EQ(h.app().movedStoreFile()->parent_path(), store.parent_path());
  saveScreenshot(GTK_WIDGET(done), "corrupt-database-reset");
  EXPECT_FALSE(h.terminated());
  adw_message_dialog_response(done, "quit");
  iterateFor(100ms);
  EXPECT_TRUE(h.terminated());
}

TEST(LifecycleTest, QuittingFromTheBrokenDatabaseAlertLeavesTheFileAlone) {
  const fs::path store = qby::test::makeTempDir("broken") / "Porvane.sqlite";
  const std::string garbage(8192, 'x');
  qby::test::writeFile(store, garbage);
  AppHarness h(AppHarness::Options{store, {}});
  ASSERT_FALSE(h.launch());
  auto* alert = ADW_MESSAGE_DIALOG(h.app().storeAlert());
  ASSERT_TRUE(alert);
  iterateFor(200ms);
  saveScreenshot(GTK_WIDGET(alert), "corrupt-database-quit");
  adw_message_dialog_response(alert, "quit");
  iterateFor(100ms);
  EXPECT_TRUE(h.terminated());
  EXPECT_EQ(readBytes(store), garbage);
  EXPECT_EQ(fs::directory_iterator(store.parent_path()) == fs::directory_iterator(), false);
  std::size_t files = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(store.parent_path())) ++files;
  EXPECT_EQ(files, 1u);  // nothing moved, nothing added beside it
}

TEST(LifecycleTest, QuittingWaitsWhileTheSyncIsBusy) {
  bool busy = true;
  int asked = 0;
  AppHarness h(AppHarness::Options{std::nullopt, [&] {
                                     ++asked;
                                     return busy;
                                   }});
  ASSERT_TRUE(h.launch());
  h.addDelivery("www.ups.com", "1Z999AA10123456784", "Camera");
  h.showWindow();
  h.app().requestQuit();
  EXPECT_TRUE(h.app().waitingToQuit());
  iterateFor(1000ms);
  EXPECT_FALSE(h.terminated());
  EXPECT_GE(asked, 3);  // asked again on each tick
  saveScreenshot(GTK_WIDGET(h.window().window()), "quit-waiting");
  // A second quit request does not start a second wait.
  h.app().requestQuit();
  busy = false;
  const auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(iterateUntil([&] { return h.terminated(); }, 3s));
  EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);
  EXPECT_TRUE(h.app().terminated());
  EXPECT_EQ(h.app().mainWindow(), nullptr);
}

TEST(LifecycleTest, QuittingWithoutSyncWorkEndsAtOnceAndSavesTheStore) {
  AppHarness h(AppHarness::Options{std::nullopt, [] { return false; }});
  ASSERT_TRUE(h.launch());
  h.addDelivery("www.ups.com", "1Z999AA10123456784", "Camera");
  h.app().requestQuit();
  EXPECT_FALSE(h.app().waitingToQuit());
  EXPECT_TRUE(h.terminated());
  // The store on disk holds the delivery for the next launch.
  qby::QBYDataStore reopened;
  ASSERT_TRUE(reopened.available());
}

TEST(LifecycleTest, NewDeliveryMessagesOpenTheAddWindowAndBadJSONIsIgnored) {
  AppHarness h;
  ASSERT_TRUE(h.launch());
  h.app().processWormholeAction(qby::QBYWormholeActionNewDelivery,
                                qby::Value(std::string("{not json")));
  EXPECT_EQ(h.app().addWindow(), nullptr);
  h.app().processWormholeAction(
      qby::QBYWormholeActionNewDelivery,
      qby::Value(std::string(R"({"no":"901234567890","from":"gls-group.com","name":"Books"})")));
  ASSERT_NE(h.app().addWindow(), nullptr);
  iterateFor(300ms);
  saveScreenshot(GTK_WIDGET(h.app().addWindow()->gobj()), "new-delivery-message");
}

}  // namespace
