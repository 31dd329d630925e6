#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "platform/MainQueue.h"
#include "platform/QBYOperationQueue.h"

namespace qby {
namespace {

constexpr double kGenerous = 30.0;

TEST(MainQueue, IsMainThreadOnlyOnTheProgramsMainThread) {
  EXPECT_TRUE(MainQueue::isMainThread());
  bool onOtherThread = true;
  std::thread([&] { onOtherThread = MainQueue::isMainThread(); }).join();
  EXPECT_FALSE(onOtherThread);
}

TEST(MainQueue, AsyncWorkRunsOnTheMainThreadInTheOrderItWasQueued) {
  std::vector<int> order;
  bool allOnMain = true;
  for (int i = 0; i < 50; ++i) {
    MainQueue::async([&, i] {
      order.push_back(i);
      allOnMain = allOnMain && MainQueue::isMainThread();
    });
  }
  EXPECT_TRUE(order.empty());  // asynchronous, even when queued from the main thread
  ASSERT_TRUE(MainQueue::runUntil([&] { return order.size() == 50; }, kGenerous));
  for (int i = 0; i < 50; ++i) EXPECT_EQ(order[i], i);
  EXPECT_TRUE(allOnMain);
}

TEST(MainQueue, AsyncFromAWorkerQueueReachesTheMainThreadInOrder) {
  QBYOperationQueue queue("to-main");
  std::vector<int> order;  // touched only on the main thread
  for (int i = 0; i < 20; ++i) {
    queue.addOperation([&, i] { MainQueue::async([&, i] { order.push_back(i); }); });
  }
  ASSERT_TRUE(MainQueue::runUntil([&] { return order.size() == 20; }, kGenerous));
  for (int i = 0; i < 20; ++i) EXPECT_EQ(order[i], i);
}

TEST(MainQueue, WorkQueuedByWorkRunsAfterWhatWasAlreadyQueued) {
  std::vector<std::string> order;
  MainQueue::async([&] {
    order.push_back("a");
    MainQueue::async([&] { order.push_back("c"); });
  });
  MainQueue::async([&] { order.push_back("b"); });
  ASSERT_TRUE(MainQueue::runUntil([&] { return order.size() == 3; }, kGenerous));
  EXPECT_EQ(order, (std::vector<std::string>{"a", "b", "c"}));
}

TEST(MainQueue, RunUntilNoticesAChangeMadeByAnotherThreadWithoutAnyEvent) {
  std::atomic<bool> flag{false};
  std::thread setter([&] { flag = true; });
  EXPECT_TRUE(MainQueue::runUntil([&] { return flag.load(); }, kGenerous));
  setter.join();
}

TEST(MainQueue, RunUntilAnswersFalseWhenTheTimeoutPasses) {
  bool ran = false;
  DelayedCall later;
  later.schedule(60, [&] { ran = true; });
  EXPECT_FALSE(MainQueue::runUntil([&] { return ran; }, 0.05));
  EXPECT_FALSE(ran);
}

TEST(MainQueue, DrainRunsReadyWorkWithoutWaiting) {
  int ran = 0;
  MainQueue::async([&] { ++ran; });
  MainQueue::async([&] { ++ran; });
  MainQueue::drain();
  EXPECT_EQ(ran, 2);
}

TEST(DelayedCall, RunsOnceAfterTheDelay) {
  DelayedCall call;
  EXPECT_FALSE(call.isPending());
  int ran = 0;
  call.schedule(0.01, [&] { ++ran; });
  EXPECT_TRUE(call.isPending());
  ASSERT_TRUE(MainQueue::runUntil([&] { return ran > 0; }, kGenerous));
  EXPECT_FALSE(call.isPending());

  // A later, unrelated call proves the first one did not fire a second time.
  DelayedCall probe;
  bool probed = false;
  probe.schedule(0.05, [&] { probed = true; });
  ASSERT_TRUE(MainQueue::runUntil([&] { return probed; }, kGenerous));
  EXPECT_EQ(ran, 1);
}

TEST(DelayedCall, SchedulingAgainCancelsThePreviousRequest) {
  DelayedCall call;
  std::vector<std::string> ran;
  call.schedule(0.02, [&] { ran.push_back("first"); });
  call.schedule(0.05, [&] { ran.push_back("second"); });
  ASSERT_TRUE(MainQueue::runUntil([&] { return !ran.empty(); }, kGenerous));

  DelayedCall probe;
  bool probed = false;
  probe.schedule(0.1, [&] { probed = true; });
  ASSERT_TRUE(MainQueue::runUntil([&] { return probed; }, kGenerous));
  EXPECT_EQ(ran, std::vector<std::string>{"second"});
}

TEST(DelayedCall, DestroyingOrCancellingDropsThePendingCallAndWhatItCaptured) {
  auto captured = std::make_shared<int>(0);
  bool ran = false;
  {
    DelayedCall call;
    call.schedule(0.01, [&, captured] { ran = true; });
    EXPECT_EQ(captured.use_count(), 2);
  }
  DelayedCall cancelled;
  cancelled.schedule(0.01, [&, captured] { ran = true; });
  cancelled.cancel();
  EXPECT_FALSE(cancelled.isPending());
  EXPECT_EQ(captured.use_count(), 1);

  DelayedCall probe;
  bool probed = false;
  probe.schedule(0.1, [&] { probed = true; });
  ASSERT_TRUE(MainQueue::runUntil([&] { return probed; }, kGenerous));
  EXPECT_FALSE(ran);
}

TEST(DelayedCall, WorkMayRescheduleItsOwnCall) {
  DelayedCall call;
  int runs = 0;
  std::function<void()> work = [&] {
    if (++runs < 3) call.schedule(0.005, work);
  };
  call.schedule(0.005, work);
  ASSERT_TRUE(MainQueue::runUntil([&] { return runs == 3; }, kGenerous));
  EXPECT_FALSE(call.isPending());
}

TEST(DelayedCall, WorkMayDestroyItsOwnHandle) {
  auto call = std::make_unique<DelayedCall>();
  auto captured = std::make_shared<int>(7);
  int seen = 0;
  call->schedule(0.005, [&, captured] {
    call.reset();
    seen = *captured;  // still alive: the running work is not destroyed under itself
  });
  ASSERT_TRUE(MainQueue::runUntil([&] { return seen != 0; }, kGenerous));
  EXPECT_EQ(seen, 7);
  EXPECT_EQ(captured.use_count(), 1);
}

TEST(DelayedCall, AMovedHandleKeepsThePendingCall) {
  DelayedCall original;
  bool ran = false;
  original.schedule(0.01, [&] { ran = true; });
  DelayedCall moved(std::move(original));
  EXPECT_TRUE(moved.isPending());
  EXPECT_FALSE(original.isPending());  // NOLINT(bugprone-use-after-move): defined empty state

  DelayedCall target;
  bool targetRan = false;
  target.schedule(0.01, [&] { targetRan = true; });
  target = std::move(moved);  // the target's own pending call is cancelled
  ASSERT_TRUE(MainQueue::runUntil([&] { return ran; }, kGenerous));

  DelayedCall probe;
  bool probed = false;
  probe.schedule(0.05, [&] { probed = true; });
  ASSERT_TRUE(MainQueue::runUntil([&] { return probed; }, kGenerous));
  EXPECT_FALSE(targetRan);
}

}  // namespace
}  // namespace qby
