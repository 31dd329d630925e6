// The main-loop repeating timer: its first fire and the repeats after it, and stopping,
// restarting or destroying it from inside its own callback.
#include "platform/RepeatingTimer.h"

#include <gtest/gtest.h>

#include <memory>

#include "platform/MainQueue.h"

namespace qby {
namespace {

constexpr double kPatience = 10;

TEST(RepeatingTimerTest, FiresFirstThenRepeatsUntilStopped) {
  RepeatingTimer timer;
  int fires = 0;
  timer.start(0, 1, RepeatingTimer::Precision::Fine, [&] {
    if (++fires == 3) timer.stop();
  });
  EXPECT_TRUE(timer.isRunning());
  ASSERT_TRUE(MainQueue::runUntil([&] { return fires == 3; }, kPatience));
  EXPECT_FALSE(timer.isRunning());
  // Nothing comes after a stop, not even a repeat that was already due.
  MainQueue::runUntil([] { return false; }, 1.2);
  EXPECT_EQ(fires, 3);
}

TEST(RepeatingTimerTest, ACoarseTimerRepeatsToo) {
  RepeatingTimer timer;
  int fires = 0;
  timer.start(0, 1, RepeatingTimer::Precision::Coarse, [&] { ++fires; });
  ASSERT_TRUE(MainQueue::runUntil([&] { return fires >= 2; }, kPatience));
  EXPECT_TRUE(timer.isRunning());
}

TEST(RepeatingTimerTest, RestartingReplacesTheRunningTimer) {
  RepeatingTimer timer;
  int old = 0;
  int fresh = 0;
  timer.start(0, 1, RepeatingTimer::Precision::Fine, [&] { ++old; });
  timer.start(0, 1, RepeatingTimer::Precision::Fine, [&] { ++fresh; });
  ASSERT_TRUE(MainQueue::runUntil([&] { return fresh >= 2; }, kPatience));
  EXPECT_EQ(old, 0);
}

TEST(RepeatingTimerTest, TheCallbackMayRestartOrDestroyTheTimer) {
  RepeatingTimer timer;
  int restarted = 0;
  timer.start(0, 1, RepeatingTimer::Precision::Fine,
              [&] { timer.start(0, 1, RepeatingTimer::Precision::Fine, [&] { ++restarted; }); });
  ASSERT_TRUE(MainQueue::runUntil([&] { return restarted >= 1; }, kPatience));

  auto owned = std::make_unique<RepeatingTimer>();
  int fires = 0;
  owned->start(0, 1, RepeatingTimer::Precision::Fine, [&] {
    ++fires;
    owned.reset();
  });
  ASSERT_TRUE(MainQueue::runUntil([&] { return !owned; }, kPatience));
  MainQueue::runUntil([] { return false; }, 1.2);
  EXPECT_EQ(fires, 1);
}

TEST(RepeatingTimerTest, DestroyingTheTimerCancelsItsFirstFire) {
  int fires = 0;
  {
    RepeatingTimer timer;
    timer.start(0, 1, RepeatingTimer::Precision::Fine, [&] { ++fires; });
  }
  MainQueue::drain();
  MainQueue::runUntil([] { return false; }, 0.2);
  EXPECT_EQ(fires, 0);
}

}  // namespace
}  // namespace qby
