// The clock-aligned refresh timer: where the minute timer's fires fall, the second unit, an
// unsupported unit, starting twice and stopping.
#include "manager/QBYRefreshTimer.h"

#include <gtest/gtest.h>

#include "platform/MainQueue.h"
#include "support/TestSupport.h"

namespace qby {
namespace {

// 2024-03-05 10:15:42 UTC.
constexpr double k101542 = 1709633742;

TEST(RefreshTimerTest, TheMinuteTimerFiresAtTheStartOfEveryMinute) {
  const ClockOverride clock(Date(k101542 + 0.25));
  QBYRefreshTimer timer;
  int fires = 0;
  timer.startWithUnit(QBYCalendarUnitMinute, [&] { ++fires; });
  ASSERT_TRUE(timer.isRunning());
  // 10:16:00 sharp, not 10:16:00.25: the fraction of the second counts too.
  EXPECT_EQ(timer.nextFireDate(), Date(k101542 + 18));
  timer.fireForTesting();
  EXPECT_EQ(fires, 1);
  EXPECT_EQ(timer.nextFireDate(), Date(k101542 + 78));
  timer.fireForTesting();
  EXPECT_EQ(timer.nextFireDate(), Date(k101542 + 138));
}

TEST(RefreshTimerTest, AtTheFirstSecondOfAMinuteTheNextMinuteIsAWholeMinuteAway) {
  EXPECT_EQ(QBYRefreshTimer::startOfNextMinute(Date(k101542 + 18)), Date(k101542 + 78));
  EXPECT_EQ(QBYRefreshTimer::startOfNextMinute(Date(k101542 + 17.999)), Date(k101542 + 18));
  // Before 1970 the minutes still fall on whole minutes.
  EXPECT_EQ(QBYRefreshTimer::startOfNextMinute(Date(-61)), Date(-60));
}

TEST(RefreshTimerTest, TheSecondTimerFiresEverySecond) {
  QBYRefreshTimer timer;
  int fires = 0;
  timer.startWithUnit(QBYCalendarUnitSecond, [&] { ++fires; });
  ASSERT_TRUE(MainQueue::runUntil([&] { return fires >= 2; }, 10));
  timer.stop();
  EXPECT_FALSE(timer.isRunning());
  EXPECT_FALSE(timer.nextFireDate());
}

TEST(RefreshTimerTest, AnUnsupportedUnitIsLoggedAndStartsNothing) {
  test::LogCapture log;
  QBYRefreshTimer timer;
  timer.startWithUnit(QBYCalendarUnitHour, [] {});
  EXPECT_FALSE(timer.isRunning());
  EXPECT_EQ(log.lines(), std::vector<std::string>{"Refresh timer unit is unsupported"});
  timer.startWithUnit(0, [] {});
  EXPECT_FALSE(timer.isRunning());
}

TEST(RefreshTimerTest, StartingARunningTimerKeepsTheFirstOne) {
  const ClockOverride clock{Date(k101542)};
  QBYRefreshTimer timer;
  int first = 0;
  int second = 0;
  timer.startWithUnit(QBYCalendarUnitMinute, [&] { ++first; });
  timer.startWithUnit(QBYCalendarUnitSecond, [&] { ++second; });
  EXPECT_EQ(timer.nextFireDate(), Date(k101542 + 18));
  timer.fireForTesting();
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 0);

  // After a stop it starts afresh.
  timer.stop();
  timer.startWithUnit(QBYCalendarUnitSecond, [&] { ++second; });
  EXPECT_EQ(timer.nextFireDate(), Date(k101542 + 1));
}

TEST(RefreshTimerTest, TheCallbackMayStopTheTimer) {
  QBYRefreshTimer timer;
  int fires = 0;
  timer.startWithUnit(QBYCalendarUnitSecond, [&] {
    ++fires;
    timer.stop();
  });
  ASSERT_TRUE(MainQueue::runUntil([&] { return fires == 1; }, 10));
  MainQueue::runUntil([] { return false; }, 1.5);
  EXPECT_EQ(fires, 1);
}

}  // namespace
}  // namespace qby
