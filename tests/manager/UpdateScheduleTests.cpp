// The hourly update schedule: the due time kept in the shared defaults, firing once per due
// time however many wake-ups look, and wake-ups sent by a fake logind on the test bus.
#include "manager/QBYUpdateSchedule.h"

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/GLibPtr.h"
#include "platform/MainQueue.h"
#include "platform/QBYUserDefaults.h"
#include "support/TestSupport.h"

namespace qby {
namespace {

constexpr const char* kIdentifier = QBYUpdateScheduleApplicationIdentifier;
constexpr double kStart = 1709633742;  // 2024-03-05 10:15:42 UTC

// A clock the test moves; the schedule reads it through Date::now().
class MovingClock {
 public:
  explicit MovingClock(double start) : now_(start) {}
  void advance(double seconds) { now_ += seconds; }
  double now() const { return now_; }

 private:
  double now_;
  ClockOverride override_{[this] { return Date(now_); }};
};

QBYUpdateScheduleOptions withoutMonitor() {
  QBYUpdateScheduleOptions options;
  options.wakeUps.reset();
  return options;
}

TEST(UpdateScheduleTest, AFirstScheduleIsDueAnIntervalFromNowAndKeepsThatAcrossRestarts) {
  MovingClock clock(kStart);
  int fires = 0;
  {
    QBYUpdateSchedule schedule(
        kIdentifier, [&] { ++fires; }, withoutMonitor());
    EXPECT_EQ(schedule.dueDate(), Date(kStart + 3600));
  }
  clock.advance(1000);
  QBYUpdateSchedule again(
      kIdentifier, [&] { ++fires; }, withoutMonitor());
  MainQueue::drain();
  // The restart keeps the hour that had begun.
  EXPECT_EQ(again.dueDate(), Date(kStart + 3600));
  EXPECT_EQ(fires, 0);
  EXPECT_EQ(
      QBYUserDefaults::sharedDefaults().dateOrNilForKey(QBYUpdateSchedule::dueDateKey(kIdentifier)),
      Date(kStart + 3600));
}

TEST(UpdateScheduleTest, AProgramStartedAfterItsHourPassedUpdatesAtOnce) {
  MovingClock clock(kStart);
  {
    QBYUpdateSchedule schedule(
        kIdentifier, [] {}, withoutMonitor());
  }
  clock.advance(5000);
  int fires = 0;
  QBYUpdateSchedule schedule(
      kIdentifier, [&] { ++fires; }, withoutMonitor());
  ASSERT_TRUE(MainQueue::runUntil([&] { return fires == 1; }, 10));
  EXPECT_EQ(schedule.dueDate(), Date(kStart + 5000 + 3600));
}

TEST(UpdateScheduleTest, AWakeUpAfterTheDueTimeFiresOnceAndAnEarlierOneNothing) {
  MovingClock clock(kStart);
  int fires = 0;
  QBYUpdateSchedule schedule(
      kIdentifier, [&] { ++fires; }, withoutMonitor());
  clock.advance(1800);
  schedule.checkDue();
  EXPECT_EQ(fires, 0);
  EXPECT_EQ(schedule.dueDate(), Date(kStart + 3600));

  // Slept through the due time: one update, however many wake-ups report it.
  clock.advance(7200);
  schedule.checkDue();
  schedule.checkDue();
  EXPECT_EQ(fires, 1);
  EXPECT_EQ(schedule.dueDate(), Date(kStart + 9000 + 3600));
}

TEST(UpdateScheduleTest, ADueTimeMovedOnByAnotherProcessIsNotFiredAgain) {
  MovingClock clock(kStart);
  int fires = 0;
  QBYUpdateSchedule schedule(
      kIdentifier, [&] { ++fires; }, withoutMonitor());
  clock.advance(3700);
  // Another program of the suite ran this hour's update and moved the time on.
  ASSERT_TRUE(QBYUserDefaults::sharedDefaults().setObject(
      Value(Date(kStart + 3700 + 3600)), QBYUpdateSchedule::dueDateKey(kIdentifier)));
  schedule.checkDue();
  EXPECT_EQ(fires, 0);
}

TEST(UpdateScheduleTest, AClockSetBackDoesNotStopTheUpdatesForLong) {
  MovingClock clock(kStart);
  int fires = 0;
  QBYUpdateSchedule schedule(
      kIdentifier, [&] { ++fires; }, withoutMonitor());
  clock.advance(-30 * 24 * 3600.0);
  schedule.checkDue();
  EXPECT_EQ(fires, 0);
  EXPECT_EQ(schedule.dueDate(), Date(clock.now() + 3600));
}

TEST(UpdateScheduleTest, AWakeUpCausedByTheUpdateItselfDoesNotFireAgain) {
  MovingClock clock(kStart);
  int fires = 0;
  QBYUpdateSchedule* self = nullptr;
  QBYUpdateSchedule schedule(
      kIdentifier,
      [&] {
        ++fires;
        // The update runs long enough for the next hour to pass while it runs.
        clock.advance(4000);
        self->checkDue();
      },
      withoutMonitor());
  self = &schedule;
  clock.advance(3600);
  schedule.checkDue();
  EXPECT_EQ(fires, 1);
}

TEST(UpdateScheduleTest, TheTimerFiresTheDueUpdate) {
  MovingClock clock(kStart);
  int fires = 0;
  QBYUpdateScheduleOptions options = withoutMonitor();
  options.interval = 1;
  QBYUpdateSchedule schedule(
      kIdentifier, [&] { ++fires; }, options);
  clock.advance(1);
  ASSERT_TRUE(MainQueue::runUntil([&] { return fires == 1; }, 10));
}

// The machine's wake-ups, sent as logind would on the test run's private bus.
class UpdateScheduleWakeUpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::getenv("DBUS_SESSION_BUS_ADDRESS")) GTEST_SKIP() << "no session bus";
    GError* rawError = nullptr;
    GCharPtr address(g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &rawError));
    GErrorPtr error(rawError);
    ASSERT_TRUE(address);
    address_ = address.get();
    logind_ = GObjectPtr<GDBusConnection>::adopt(g_dbus_connection_new_for_address_sync(
        address_.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr));
    ASSERT_TRUE(logind_);
    GVariantPtr reply(g_dbus_connection_call_sync(
        logind_.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "RequestName", g_variant_new("(su)", "org.freedesktop.login1", 4u), G_VARIANT_TYPE("(u)"),
        G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr));
    ASSERT_TRUE(reply);
  }

  QBYUpdateScheduleOptions options() const {
    QBYUpdateScheduleOptions options;
    options.wakeUps = SleepMonitorOptions{};
    options.wakeUps->systemBusAddress = address_;
    return options;
  }

  void wakeUp() {
    g_dbus_connection_emit_signal(logind_.get(), nullptr, "/org/freedesktop/login1",
                                  "org.freedesktop.login1.Manager", "PrepareForSleep",
                                  g_variant_new("(b)", FALSE), nullptr);
    g_dbus_connection_flush_sync(logind_.get(), nullptr, nullptr);
  }

  // Gives signals still on their way the time to arrive; what is checked after it is that
  // nothing more happened.
  void settle() {
    MainQueue::runUntil([] { return false; }, 0.5);
  }

  std::string address_;
  GObjectPtr<GDBusConnection> logind_;
};

TEST_F(UpdateScheduleWakeUpTest, TwoWakeUpsAfterTheDueTimeFireOnce) {
  MovingClock clock(kStart);
  int fires = 0;
  QBYUpdateSchedule schedule(
      kIdentifier, [&] { ++fires; }, options());
  clock.advance(3 * 3600);
  wakeUp();
  wakeUp();
  ASSERT_TRUE(MainQueue::runUntil([&] { return fires >= 1; }, 10));
  settle();
  EXPECT_EQ(fires, 1);
}

TEST_F(UpdateScheduleWakeUpTest, AWakeUpBeforeTheDueTimeFiresNothing) {
  MovingClock clock(kStart);
  int fires = 0;
  QBYUpdateSchedule schedule(
      kIdentifier, [&] { ++fires; }, options());
  clock.advance(600);
  wakeUp();
  settle();
  EXPECT_EQ(fires, 0);
  EXPECT_EQ(schedule.dueDate(), Date(kStart + 3600));
}

TEST(UpdateScheduleNetworkTest, TheNetworkComingBackFiresAnOverdueUpdateOnce) {
  MovingClock clock(kStart);
  int fires = 0;
  QBYUpdateScheduleOptions options;
  options.wakeUps = SleepMonitorOptions{};
  options.wakeUps->watchSleep = false;
  QBYUpdateSchedule schedule(
      kIdentifier, [&] { ++fires; }, options);
  GNetworkMonitor* network = g_network_monitor_get_default();
  g_signal_emit_by_name(network, "network-changed", FALSE);
  g_signal_emit_by_name(network, "network-changed", TRUE);
  EXPECT_EQ(fires, 0);  // not due yet

  clock.advance(3601);
  g_signal_emit_by_name(network, "network-changed", FALSE);
  g_signal_emit_by_name(network, "network-changed", TRUE);
  g_signal_emit_by_name(network, "network-changed", FALSE);
  g_signal_emit_by_name(network, "network-changed", TRUE);
  EXPECT_EQ(fires, 1);
}

}  // namespace
}  // namespace qby
