// The companion program as the desktop runs it: porvane-express is started as a child process
// on the test's private session bus, where fakes own the notification service and listen for
// the badge, and carrier answers come from a fixture server on 127.0.0.1. Deliveries are
// added with the command-line tool, as another program of the suite would.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "../cli/CliProcess.h"
#include "CompanionFakes.h"
#include "FakeStatusNotifierWatcher.h"
#include "PorvaneKit.h"
#include "engine/QBYPasswordManager.h"
#include "engine/QBYPrivateToken.h"
#include "manager/QBYBackgroundUpdater.h"
#include "manager/QBYDeliveriesManager.h"
#include "manager/QBYNotification.h"
#include "model/TemplateText.h"
#include "platform/MMWormhole.h"
#include "platform/MainQueue.h"
#include "platform/QBYUserDefaults.h"
#include "platform/Value.h"
#include "presentation/QBYDateFormatter.h"
#include "store/QBYDataStore.h"
#include "support/FixtureServer.h"
#include "support/TestSupport.h"

namespace porvane::test {
namespace {

namespace fs = std::filesystem;
using qby::Value;

constexpr const char* kCompanionName = "com.quillbay.mac.Porvane.Updater";
// Generous: the sanitizer build of the companion starts slowly on a busy machine.
constexpr double kStartSeconds = 60;
// An update run begins with sync and reaches the carriers 3 s later: a schedule firing more
// often would keep pushing the carriers' turn away.
constexpr double kUpdateInterval = 5;

// The fixture rewrite's path of a carrier address, with its query.
std::string fixturePath(const std::string& url) {
  GUri* uri = g_uri_parse(url.c_str(), G_URI_FLAGS_ENCODED, nullptr);
  EXPECT_NE(uri, nullptr) << url;
  if (!uri) return {};
  std::string path = "/" + std::string(g_uri_get_host(uri)) + g_uri_get_path(uri);
  if (const char* query = g_uri_get_query(uri)) path += std::string("?") + query;
  g_uri_unref(uri);
  return path;
}

// Every label of a dbusmenu layout a panel shows, depth first.
void collectLabels(GVariant* node, std::vector<std::string>& labels) {
  gint32 id = 0;
  GVariant* properties = nullptr;
  GVariant* children = nullptr;
  g_variant_get(node, "(i@a{sv}@av)", &id, &properties, &children);
  // A hidden item is not on screen, and neither is anything below it.
  gboolean visible = TRUE;
  g_variant_lookup(properties, "visible", "b", &visible);
  if (!visible) {
    g_variant_unref(properties);
    g_variant_unref(children);
    return;
  }
  const gchar* label = nullptr;
  if (g_variant_lookup(properties, "label", "&s", &label)) labels.emplace_back(label);
  GVariantIter iter;
  g_variant_iter_init(&iter, children);
  while (GVariant* child = g_variant_iter_next_value(&iter)) {
    GVariant* inner = g_variant_get_variant(child);
    collectLabels(inner, labels);
    g_variant_unref(inner);
    g_variant_unref(child);
  }
  g_variant_unref(properties);
  g_variant_unref(children);
}

// The labels of the menu the program with that bus name exports, as a panel reads them.
std::vector<std::string> menuLabels(GDBusConnection* bus, const std::string& owner) {
  std::vector<std::string> labels;
  qby::GVariantPtr reply(g_dbus_connection_call_sync(
      bus, owner.c_str(), "/MenuBar", "com.canonical.dbusmenu", "GetLayout",
      g_variant_new("(ii@as)", 0, -1, g_variant_new_strv(nullptr, 0)),
      G_VARIANT_TYPE("(u(ia{sv}av))"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr));
  if (!reply) return labels;
  qby::GVariantPtr layout(g_variant_get_child_value(reply.get(), 1));
  collectLabels(layout.get(), labels);
  return labels;
}

bool anyContains(const std::vector<std::string>& labels, const std::string& text) {
  for (const auto& label : labels)
    if (label.find(text) != std::string::npos) return true;
  return false;
}

class CompanionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.listening()) << server_.error();
    environment_["PORVANE_FIXTURE_SERVER"] = server_.url();
    environment_["PORVANE_TEST_QUIT_DELAY"] = "2";
  }

  // Serves a carrier case's answers and takes its credentials; answers the case's last
  // results.
  Value serve(const std::string& name) {
    const fs::path folder = fs::path(PORVANE_TEST_DATA_DIR) / "carriers" / name;
    const Value parsed = readJSON(folder / "case.json");
    for (const Value& response :
         parsed["responses"].arrayPtr() ? *parsed["responses"].arrayPtr() : qby::Array{}) {
      qby::test::FixtureServer::Response answer;
      answer.status = static_cast<unsigned>(response["status"].asInteger().value_or(200));
      if (auto file = response["file"].asString()) {
        answer.body = readText(folder / *file);
        answer.contentType = "application/json";
      } else {
        answer.body = response["text"].asString().value_or("");
      }
      server_.route(fixturePath(response["url"].asString().value_or("")), std::move(answer));
    }
    if (const auto* credentials = parsed["credentials"].dictionaryPtr())
      for (const auto& [service, types] : *credentials)
        for (const auto& [type, value] :
             types.dictionaryPtr() ? *types.dictionaryPtr() : qby::Dictionary{})
          environment_[qby::QBYPrivateToken::environmentVariableForCredential(service, type)] =
              value.asString().value_or("");
    number_ = parsed["delivery"]["no"].asString().value_or("");
    service_ = parsed["delivery"]["from"].asString().value_or("");
    const Value expected = readJSON(folder / "expected.json");
    const auto* results = expected["results"].arrayPtr();
    return results && !results->empty() ? results->back() : Value();
  }

  // Adds the served delivery with the command-line tool; answers its uuid.
  std::string add(const std::string& name) {
    const RunResult result = runCli(
        {"add", "--json", "--service", service_, "--name", name, "--", number_}, "", environment_);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    return Value::fromJSON(result.out).value_or(Value())["id"].asString().value_or("");
  }

  Value list(const std::string& which = "") {
    std::vector<std::string> arguments = {"list", "--json"};
    if (!which.empty()) arguments.push_back(which);
    const RunResult result = runCli(arguments, "", environment_);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    return Value::fromJSON(result.out).value_or(Value());
  }

  static bool listed(const Value& list, const std::string& id) {
    for (const Value& delivery : list.arrayPtr() ? *list.arrayPtr() : qby::Array{})
      if (delivery["id"].asString() == id) return true;
    return false;
  }

  // The line a notification shows for an item's text and date (relative dates, mode 2).
  static std::string phrased(const Value& item, const char* textKey, const char* dateKey) {
    auto& formatter = qby::QBYDateFormatter::sharedFormatter();
    const auto text = item[textKey].asString();
    if (!text || text->empty()) return "";
    const auto date = formatter.dateFromString(item[dateKey].asString());
    return qby::stringWithDate(*text,
                               date ? std::optional(formatter.displayDate(date, 2)) : std::nullopt);
  }

  static void setDefault(const char* key, const Value& value) {
    ASSERT_TRUE(qby::QBYDataStore::sharedDefaults().setObject(value, key)) << key;
  }

  static qby::Array badgeUUIDs() {
    const Value stored = qby::QBYDataStore::sharedDefaults().objectForKey(qby::QBYBadgeUUIDsKey);
    return stored.arrayPtr() ? *stored.arrayPtr() : qby::Array{};
  }

  std::map<std::string, std::string> companionEnvironment(double updateInterval = 0) const {
    auto environment = environment_;
    if (updateInterval > 0)
      environment["PORVANE_TEST_UPDATE_INTERVAL"] = std::to_string(updateInterval);
    return environment;
  }

  qby::test::FixtureServer server_;
  std::map<std::string, std::string> environment_;
  std::string number_;
  std::string service_;
};

// A change the carrier reports becomes one notification with the delivery's texts and an
// Archive button; the button archives the delivery and withdraws the notification; the badge
// counts the notification while it is shown.
TEST_F(CompanionTest, AChangeIsNotifiedOnceAndItsArchiveButtonArchivesTheDelivery) {
  FakeNotificationServer notifications;
  std::string error;
  ASSERT_TRUE(notifications.start("", &error)) << error;
  LauncherEntryListener badge;

  const Value results = serve("ups/delivered");
  const std::string id = add("Camera");
  ASSERT_FALSE(id.empty());
  setDefault(qby::QBYBackgroundUpdatesKey, Value(true));

  CompanionProcess companion({}, companionEnvironment(kUpdateInterval));
  ASSERT_TRUE(companion.waitForLog("Background update complete", kStartSeconds)) << companion.log();
  ASSERT_TRUE(qby::MainQueue::runUntil([&] { return !notifications.shown().empty(); }, 20))
      << companion.log();
  // Later runs find nothing due and nothing new: still one notification.
  ASSERT_TRUE(companion.waitForLog("Background update complete", kStartSeconds, 3))
      << companion.log();
  ASSERT_EQ(notifications.shown().size(), 1u) << companion.log();

  const auto& shown = notifications.shown().front();
  const Value& item = (*results["items"].arrayPtr())[0];
  EXPECT_EQ(shown.summary, "✓\u00a0" + item["itemName"].asString().value_or(""));
  EXPECT_EQ(shown.body, phrased(item, "shippedText", "shippedDateString") + "\n" +
                            phrased(item, "deliveredText", "deliveredDateString"));
  const auto archive = FakeNotificationServer::actionKey(shown, "Archive");
  ASSERT_TRUE(archive) << "no Archive button";
  EXPECT_NE(archive->find(id), std::string::npos) << *archive;
  EXPECT_EQ(badgeUUIDs(), qby::Array{Value(id)});
  ASSERT_TRUE(qby::MainQueue::runUntil(
      [&] { return !badge.counts().empty() && badge.counts().back() == 1; }, 10));

  notifications.invoke(shown.id, *archive);
  ASSERT_TRUE(qby::MainQueue::runUntil([&] { return !notifications.closed().empty(); }, 20))
      << companion.log();
  EXPECT_EQ(notifications.closed(), std::vector<std::uint32_t>{shown.id});
  ASSERT_TRUE(qby::MainQueue::runUntil(
      [&] { return !badge.counts().empty() && badge.counts().back() == 0; }, 10));
  EXPECT_TRUE(badgeUUIDs().empty());
  EXPECT_TRUE(listed(list("--archived"), id));
  EXPECT_FALSE(listed(list(), id));

  // Quitting stops in order: the program ends by itself with success.
  companion.kill(SIGTERM);
  ASSERT_TRUE(companion.waitForExit(30));
  EXPECT_EQ(companion.exitStatus(), 0) << companion.log();
}

// The panel menu follows the store: a delivery another program adds shows up in it within two
// seconds, without the companion polling.
TEST_F(CompanionTest, ADeliveryAddedByTheToolAppearsInThePanelMenuWithinTwoSeconds) {
  qby::test::FakeStatusNotifierWatcher watcher;
  std::string error;
  ASSERT_TRUE(watcher.start(&error)) << error;
  auto bus = connectTo("", &error);
  ASSERT_TRUE(bus) << error;
  setDefault(qby::QBYMenuBarModeKey, Value(true));
  serve("ups/in-transit");

  CompanionProcess companion({}, companionEnvironment());
  ASSERT_TRUE(
      qby::MainQueue::runUntil([&] { return !watcher.registrations().empty(); }, kStartSeconds))
      << companion.log();
  const std::string owner = watcher.registrations().front().sender;
  ASSERT_TRUE(qby::MainQueue::runUntil(
      [&] { return anyContains(menuLabels(bus.get(), owner), "any deliveries"); }, 10));

  ASSERT_FALSE(add("Garden lamp").empty());
  const bool shown = qby::MainQueue::runUntil(
      [&] { return anyContains(menuLabels(bus.get(), owner), "Garden lamp"); }, 2.0);
  EXPECT_TRUE(shown) << companion.log();
  // Once shown, the empty-list text is gone.
  if (shown) {
    EXPECT_FALSE(anyContains(menuLabels(bus.get(), owner), "any deliveries"));
  }
}

// With a shortcut set, the companion binds it through the desktop's portal, with the keys the
// user chose, and a press opens the add window.
TEST_F(CompanionTest, AShortcutIsBoundThroughThePortalAndItsPressOpensTheAddWindow) {
  FakeShortcutsPortal portal;
  std::string error;
  ASSERT_TRUE(portal.start(&error)) << error;
  setDefault(qby::QBYAddShortcutKey, Value("<Control><Alt>a"));

  CompanionProcess companion({}, companionEnvironment());
  ASSERT_TRUE(qby::MainQueue::runUntil([&] { return !portal.bound().empty(); }, kStartSeconds))
      << companion.log();
  ASSERT_EQ(portal.bound().size(), 1u);
  EXPECT_EQ(portal.bound()[0].id, "add-delivery");
  EXPECT_EQ(portal.bound()[0].preferredTrigger, "<Control><Alt>a");

  // A press of another session's shortcut is not ours.
  portal.activate("/org/freedesktop/portal/desktop/session/fake/other", "add-delivery");
  portal.activate(portal.bound()[0].session, "add-delivery");
  // The test session has no handler for the address; the attempt is what the log shows.
  ASSERT_TRUE(companion.waitForLog("porvane://add", 20)) << companion.log();
  qby::MainQueue::runUntil([] { return false; }, 1);
  EXPECT_EQ(occurrences(companion.log(), "porvane://add"), 1u) << companion.log();
}

// Without the portal nothing is grabbed: the companion says so and runs on.
TEST_F(CompanionTest, WithoutThePortalShortcutsAreLeftUnregisteredAndSaidSo) {
  setDefault(qby::QBYShowShortcutKey, Value("<Super>p"));
  CompanionProcess companion({}, companionEnvironment());
  EXPECT_TRUE(companion.waitForLog(
      "Global shortcuts are not registered: the desktop has no shortcuts portal", kStartSeconds))
      << companion.log();
  EXPECT_FALSE(companion.finished());
}

// An update that fell due while the machine slept runs once when it wakes: the wake-up from
// logind and the overdue timer both look, and only the first finds the update due.
TEST_F(CompanionTest, AnUpdateOverdueAfterSleepRunsExactlyOnce) {
  PrivateBus systemBus;
  ASSERT_TRUE(systemBus.running());
  FakeLogind logind;
  std::string error;
  ASSERT_TRUE(logind.start(systemBus.address(), &error)) << error;
  setDefault(qby::QBYBackgroundUpdatesKey, Value(true));

  auto environment = companionEnvironment(20);
  environment["DBUS_SYSTEM_BUS_ADDRESS"] = systemBus.address();
  CompanionProcess companion({}, environment);
  ASSERT_TRUE(companion.waitForLog("Creating search indexes", kStartSeconds)) << companion.log();
  qby::MainQueue::runUntil([] { return false; }, 1);
  EXPECT_EQ(companion.log().find("Not watching for the end of sleep"), std::string::npos)
      << companion.log();

  // Asleep past the due time: the program stands still, the signals wait for it.
  companion.kill(SIGSTOP);
  qby::MainQueue::runUntil([] { return false; }, 22);
  EXPECT_EQ(occurrences(companion.log(), "Starting background update"), 0u) << companion.log();
  logind.prepareForSleep(true);
  logind.prepareForSleep(false);
  companion.kill(SIGCONT);

  ASSERT_TRUE(companion.waitForLog("Starting background update", 10)) << companion.log();
  // The next update is a whole interval away.
  qby::MainQueue::runUntil([] { return false; }, 5);
  EXPECT_EQ(occurrences(companion.log(), "Starting background update"), 1u) << companion.log();
}

// The main application's well-known name, held by a connection of the test's own for as long
// as the object lives: to the companion, the application runs.
class RunningApplication {
 public:
  RunningApplication() {
    std::string error;
    connection_ = connectTo("", &error);
    if (!connection_) return;
    qby::GVariantPtr reply(g_dbus_connection_call_sync(
        connection_.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "RequestName", g_variant_new("(su)", qby::QBYParentAppID, 4u /* do not queue */),
        G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr));
    guint32 result = 0;
    if (reply) g_variant_get(reply.get(), "(u)", &result);
    owned_ = result == 1;
  }
  ~RunningApplication() { quit(); }
  bool running() const { return owned_; }
  void quit() {
    if (connection_) g_dbus_connection_close_sync(connection_.get(), nullptr, nullptr);
    connection_.reset();
    owned_ = false;
  }

 private:
  qby::GObjectPtr<GDBusConnection> connection_;
  bool owned_ = false;
};

// While the main application runs, the hourly run answers at once and leaves updating to the
// application; once it has quit, the next run updates.
TEST_F(CompanionTest, WhileTheApplicationRunsTheScheduleLeavesTheUpdateToIt) {
  setDefault(qby::QBYBackgroundUpdatesKey, Value(true));
  RunningApplication application;
  ASSERT_TRUE(application.running());
  CompanionProcess companion({}, companionEnvironment(kUpdateInterval));
  ASSERT_TRUE(companion.waitForLog("Creating search indexes", kStartSeconds)) << companion.log();

  // Three times the interval: the schedule has fired at least twice.
  qby::MainQueue::runUntil([] { return false; }, 3 * kUpdateInterval);
  EXPECT_EQ(occurrences(companion.log(), "Starting background update"), 0u) << companion.log();
  EXPECT_FALSE(companion.finished()) << companion.log();

  application.quit();
  EXPECT_TRUE(companion.waitForLog("Starting background update", 3 * kUpdateInterval + 10))
      << companion.log();
}

// The main application tells the companion it quit: a companion launched only for the
// application's sake goes too; one the user keeps for background updates stays.
TEST_F(CompanionTest, TheApplicationQuittingEndsATemporaryLaunchOnly) {
  auto environment = companionEnvironment();
  environment["PORVANE_TEST_QUIT_DELAY"] = "600";
  auto wormhole = qby::MMWormhole::initWithApplicationGroupIdentifier(qby::QBYAppGroupID,
                                                                      std::string("Wormhole"));
  ASSERT_TRUE(wormhole);
  // An action without an object leaves no file, so one sent before the companion listens is
  // lost, as it would be for the application: the test says it again until it is heard.
  const auto sendQuitUntil = [&](const std::function<bool()>& heard) {
    for (int attempt = 0; attempt < 30 && !heard(); ++attempt) {
      EXPECT_TRUE(wormhole->passMessageObject(std::nullopt, qby::QBYWormholeActionQuit));
      qby::MainQueue::runUntil(heard, 2);
    }
    return heard();
  };

  {
    CompanionProcess temporary({}, environment);
    ASSERT_TRUE(temporary.started());
    ASSERT_TRUE(sendQuitUntil([&] { return temporary.finished(); })) << temporary.log();
    EXPECT_EQ(temporary.exitStatus(), 0) << temporary.log();
    EXPECT_EQ(occurrences(temporary.log(), "Quitting because the parent app quit"), 1u)
        << temporary.log();
  }

  setDefault(qby::QBYBackgroundUpdatesKey, Value(true));
  CompanionProcess kept({}, environment);
  ASSERT_TRUE(kept.started());
  ASSERT_TRUE(sendQuitUntil([&] {
    return kept.log().find("The parent app quit but background updates are enabled") !=
           std::string::npos;
  })) << kept.log();
  qby::MainQueue::runUntil([] { return false; }, 2);
  EXPECT_FALSE(kept.finished()) << kept.log();
  EXPECT_EQ(occurrences(kept.log(), "Quitting because the parent app quit"), 0u) << kept.log();
}

// Started on demand while another copy runs, the companion leaves at once and touches nothing.
TEST_F(CompanionTest, ASecondCopyOnATemporaryLaunchQuitsAndTheFirstStays) {
  auto environment = companionEnvironment();
  environment["PORVANE_TEST_QUIT_DELAY"] = "600";
  CompanionProcess first({}, environment);
  ASSERT_TRUE(qby::MainQueue::runUntil(
      [&] { return first.log().find("Creating search indexes") != std::string::npos; },
      kStartSeconds))
      << first.log();

  CompanionProcess second({}, environment);
  ASSERT_TRUE(second.waitForExit(kStartSeconds));
  EXPECT_EQ(second.exitStatus(), 0);
  EXPECT_NE(second.log().find("Terminating because another copy is running"), std::string::npos)
      << second.log();
  // It never opened the store.
  EXPECT_EQ(second.log().find("Creating search indexes"), std::string::npos) << second.log();
  EXPECT_FALSE(first.finished());
}

// A temporary launch with nothing to do ends soon by itself.
TEST_F(CompanionTest, ATemporaryLaunchQuitsAfterItsWork) {
  CompanionProcess companion({}, companionEnvironment());
  ASSERT_TRUE(companion.waitForExit(kStartSeconds)) << companion.log();
  EXPECT_EQ(companion.exitStatus(), 0) << companion.log();
}

// A store that cannot be opened ends the program with a failure and the log line.
TEST_F(CompanionTest, AnUnavailableStoreEndsTheProgramWithAFailure) {
  const fs::path store = qby::QBYDataStore::storeURL();
  fs::create_directories(store.parent_path());
  qby::test::writeFile(store, std::string(4096, 'x'));

  CompanionProcess companion({}, companionEnvironment());
  ASSERT_TRUE(companion.waitForExit(kStartSeconds)) << companion.log();
  EXPECT_EQ(companion.exitStatus(), 1) << companion.log();
  EXPECT_NE(companion.log().find("Terminating because the data store is unavailable"),
            std::string::npos)
      << companion.log();
  // The damaged file is left for the user to rescue.
  EXPECT_EQ(readText(store), std::string(4096, 'x'));
}

// A notification handed over while the companion did not run waits in its message file; the
// bus starts the companion by its name, and it presents the notification, then quits.
TEST_F(CompanionTest, AMessageSentWhileNotRunningIsPresentedWhenTheBusStartsTheCompanion) {
  // The bus passes its environment on to what it starts.
  setenv("PORVANE_TEST_QUIT_DELAY", "2", 1);
  PrivateBus bus;
  ASSERT_TRUE(bus.running());
  FakeNotificationServer notifications;
  std::string error;
  ASSERT_TRUE(notifications.start(bus.address(), &error)) << error;

  // Sent the way the main application sends it, with no companion to hear the signal.
  qby::QBYNotification notification;
  notification.identifier = "uuid-waiting-single";
  notification.uuid = "uuid-waiting";
  notification.title = "Lamp";
  notification.message = "Out for delivery";
  notification.category = "update";
  {
    auto wormhole = qby::MMWormhole::initWithApplicationGroupIdentifier(qby::QBYAppGroupID,
                                                                        qby::QBYWormholeDirectory);
    ASSERT_TRUE(wormhole);
    ASSERT_TRUE(wormhole->passMessageObject(Value(notification.dictionary()),
                                            qby::QBYWormholeActionNotification));
  }

  const fs::path log = qby::test::makeTempDir("activated") / "log";
  bus.addService(kCompanionName, "/bin/sh -c 'exec \"" + CompanionProcess::programPath() +
                                     "\" --gapplication-service 2>>\"" + log.string() + "\"'");
  ASSERT_NE(bus.startService(kCompanionName, &error), 0u) << error;
  ASSERT_TRUE(qby::MainQueue::runUntil([&] { return !notifications.shown().empty(); }, 60))
      << readText(log);
  EXPECT_EQ(notifications.shown().front().summary, "Lamp");
  EXPECT_EQ(notifications.shown().front().body, "Out for delivery");
  EXPECT_FALSE(FakeNotificationServer::actionKey(notifications.shown().front(), "Archive"));

  // The message was taken; the temporary launch then ends by itself.
  auto wormhole = qby::MMWormhole::initWithApplicationGroupIdentifier(qby::QBYAppGroupID,
                                                                      qby::QBYWormholeDirectory);
  EXPECT_FALSE(wormhole->messageWithIdentifier(qby::QBYWormholeActionNotification));
  EXPECT_TRUE(qby::MainQueue::runUntil([&] { return !bus.hasOwner(kCompanionName); }, 60))
      << readText(log);
}

// Killed while a carrier keeps it waiting, the companion leaves a store every program can
// read, and an update after it completes.
TEST_F(CompanionTest, KilledMidUpdateTheStoreStaysReadableAndTheNextRunCompletes) {
  FakeNotificationServer notifications;
  std::string error;
  ASSERT_TRUE(notifications.start("", &error)) << error;
  serve("ups/delivered");
  const std::string id = add("Camera");
  ASSERT_FALSE(id.empty());
  setDefault(qby::QBYBackgroundUpdatesKey, Value(true));
  server_.hold("/onlinetools.ups.com/api/track/v1/details/1Z999AA10123456784");

  {
    CompanionProcess companion({}, companionEnvironment(kUpdateInterval));
    ASSERT_TRUE(qby::MainQueue::runUntil([&] { return server_.held() > 0; }, kStartSeconds))
        << companion.log();
    companion.kill(SIGKILL);
    ASSERT_TRUE(companion.waitForExit(30));
    EXPECT_EQ(companion.exitStatus(), -SIGKILL);
  }
  server_.release();

  // Readable and unchanged: the delivery is there, not updated yet.
  const Value before = list();
  ASSERT_TRUE(listed(before, id)) << before.toJSON().value_or("");
  EXPECT_TRUE(notifications.shown().empty());

  // The killed run left its busy date: another background run holds back, as it must not
  // pile onto a run that may still be going...
  {
    CompanionProcess companion({}, companionEnvironment(kUpdateInterval));
    EXPECT_TRUE(companion.waitForLog("Skipping update because the last update did not complete",
                                     kStartSeconds))
        << companion.log();
  }
  // ...while an update the user asks for runs and completes.
  const RunResult update = runCli({"update", "--json"}, "", environment_);
  ASSERT_EQ(update.exitCode, 0) << update.err;
  const Value outcome = Value::fromJSON(update.out).value_or(Value());
  EXPECT_EQ(outcome["result"].asString(), "new data") << update.out;
  bool delivered = false;
  for (const Value& delivery : list().arrayPtr() ? *list().arrayPtr() : qby::Array{})
    if (delivery["id"].asString() == id) delivered = delivery["state"].asString() == "delivered";
  EXPECT_TRUE(delivered);
}

}  // namespace
}  // namespace porvane::test
