// The wake-up monitor: logind's PrepareForSleep sent by a fake on the test run's private bus,
// the network coming back, and a machine without a system bus.
#include "platform/SleepMonitor.h"

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/GLibPtr.h"
#include "platform/MainQueue.h"
#include "support/TestSupport.h"

namespace qby {
namespace {

using Event = SleepMonitor::Event;

// Plays logind on the test run's private session bus: owns its name and sends its signal.
class FakeLogind {
 public:
  FakeLogind() {
    GError* rawError = nullptr;
    GCharPtr address(g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &rawError));
    GErrorPtr error(rawError);
    if (!address) return;
    address_ = address.get();
    rawError = nullptr;
    connection_ = GObjectPtr<GDBusConnection>::adopt(g_dbus_connection_new_for_address_sync(
        address_.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &rawError));
    GErrorPtr connectError(rawError);
    if (!connection_) return;
    rawError = nullptr;
    GVariantPtr reply(g_dbus_connection_call_sync(
        connection_.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "RequestName", g_variant_new("(su)", "org.freedesktop.login1", 4u /* do not queue */),
        G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &rawError));
    GErrorPtr nameError(rawError);
    guint32 result = 0;
    if (reply) g_variant_get(reply.get(), "(u)", &result);
    owned_ = result == 1;
  }

  bool ready() const { return owned_; }
  const std::string& address() const { return address_; }

  void prepareForSleep(bool starting, const char* path = "/org/freedesktop/login1") {
    g_dbus_connection_emit_signal(connection_.get(), nullptr, path,
                                  "org.freedesktop.login1.Manager", "PrepareForSleep",
                                  g_variant_new("(b)", starting), nullptr);
    g_dbus_connection_flush_sync(connection_.get(), nullptr, nullptr);
  }

 private:
  std::string address_;
  GObjectPtr<GDBusConnection> connection_;
  bool owned_ = false;
};

class SleepMonitorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::getenv("DBUS_SESSION_BUS_ADDRESS")) GTEST_SKIP() << "no session bus";
    ASSERT_TRUE(logind_.ready());
  }

  std::unique_ptr<SleepMonitor> makeMonitor() {
    SleepMonitorOptions options;
    options.systemBusAddress = logind_.address();
    options.watchNetwork = false;
    return std::make_unique<SleepMonitor>([this](Event event) { events_.push_back(event); },
                                          options);
  }

  FakeLogind logind_;
  std::vector<Event> events_;
};

TEST_F(SleepMonitorTest, ReportsTheEndOfSleepButNotItsStart) {
  auto monitor = makeMonitor();
  ASSERT_TRUE(monitor->watchingSleep());
  logind_.prepareForSleep(true);
  logind_.prepareForSleep(false);
  ASSERT_TRUE(MainQueue::runUntil([&] { return !events_.empty(); }, 10));
  // The sleep's start came first on the bus; had it been reported, it would be first here.
  EXPECT_EQ(events_, std::vector<Event>{Event::Resumed});
}

TEST_F(SleepMonitorTest, IgnoresTheSignalFromAnotherObject) {
  auto monitor = makeMonitor();
  logind_.prepareForSleep(false, "/org/example/Other");
  logind_.prepareForSleep(false);
  ASSERT_TRUE(MainQueue::runUntil([&] { return !events_.empty(); }, 10));
  MainQueue::drain();
  EXPECT_EQ(events_.size(), 1u);
}

TEST_F(SleepMonitorTest, ASignalQueuedForAMonitorThatIsGoneReachesNobody) {
  auto monitor = makeMonitor();
  logind_.prepareForSleep(false);
  monitor.reset();
  MainQueue::runUntil([] { return false; }, 0.3);
  EXPECT_TRUE(events_.empty());
}

TEST(SleepMonitorNetworkTest, ReportsTheNetworkOnlyWhenItComesBack) {
  std::vector<Event> events;
  SleepMonitorOptions options;
  options.watchSleep = false;
  SleepMonitor monitor([&](Event event) { events.push_back(event); }, options);
  GNetworkMonitor* network = g_network_monitor_get_default();
  g_signal_emit_by_name(network, "network-changed", FALSE);
  g_signal_emit_by_name(network, "network-changed", TRUE);
  // A change of route while the network stays up is no return.
  g_signal_emit_by_name(network, "network-changed", TRUE);
  EXPECT_EQ(events, std::vector<Event>{Event::NetworkAvailable});
}

TEST(SleepMonitorWithoutBusTest, WorksOnAndSaysWhyItCannotWatchSleep) {
  test::LogCapture log;
  SleepMonitorOptions options;
  options.systemBusAddress = "unix:path=" + (test::home() / "no-system-bus").string();
  options.watchNetwork = false;
  SleepMonitor monitor([](Event) {}, options);
  EXPECT_FALSE(monitor.watchingSleep());
  EXPECT_EQ(log.linesContaining("Not watching for the end of sleep").size(), 1u);
}

}  // namespace
}  // namespace qby
