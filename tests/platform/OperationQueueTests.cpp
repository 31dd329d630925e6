#include <glib.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <future>
#include <latch>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/QBYOperationQueue.h"
#include "support/TestSupport.h"

namespace qby {
namespace {

constexpr double kGenerous = 30.0;

// Blocks the queue's worker inside an operation until released, so that work added behind it
// is certainly waiting when a test looks at it.
class Blocker {
 public:
  void block(QBYOperationQueue& queue) {
    queue.addOperation([this] {
      started_.count_down();
      released_.wait();
    });
    started_.wait();
  }
  void release() { released_.count_down(); }

 private:
  std::latch started_{1};
  std::latch released_{1};
};

TEST(OperationQueue, RunsOperationsOneAtATimeInOrderOnItsOwnThread) {
  QBYOperationQueue queue("order");
  std::mutex mutex;
  std::vector<int> order;
  std::vector<std::thread::id> threads;
  std::atomic<int> active{0};
  std::atomic<int> maxActive{0};
  std::atomic<int> wrongCurrent{0};

  for (int i = 0; i < 200; ++i) {
    queue.addOperation([&, i] {
      const int now = ++active;
      maxActive = std::max(maxActive.load(), now);
      if (QBYOperationQueue::current() != &queue || !queue.isCurrent()) wrongCurrent++;
      {
        std::lock_guard lock(mutex);
        order.push_back(i);
        threads.push_back(std::this_thread::get_id());
      }
      if (i % 7 == 0) std::this_thread::yield();
      --active;
    });
  }
  ASSERT_TRUE(queue.waitUntilAllOperationsAreFinished(kGenerous));

  ASSERT_EQ(order.size(), 200u);
  for (int i = 0; i < 200; ++i) EXPECT_EQ(order[i], i);
  EXPECT_EQ(maxActive.load(), 1);
  EXPECT_EQ(wrongCurrent.load(), 0);
  for (const auto& id : threads) EXPECT_EQ(id, threads.front());
  EXPECT_NE(threads.front(), std::this_thread::get_id());
  EXPECT_EQ(QBYOperationQueue::current(), nullptr);
  EXPECT_FALSE(queue.isCurrent());
}

TEST(OperationQueue, OperationsFromManyThreadsAllRunOnceAndKeepEachProducersOrder) {
  QBYOperationQueue queue("producers");
  constexpr int kProducers = 4;
  constexpr int kEach = 250;
  std::vector<std::vector<int>> seen(kProducers);  // touched only on the queue's thread
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < kEach; ++i) queue.addOperation([&, p, i] { seen[p].push_back(i); });
    });
  }
  for (auto& producer : producers) producer.join();
  ASSERT_TRUE(queue.waitUntilAllOperationsAreFinished(kGenerous));
  for (int p = 0; p < kProducers; ++p) {
    ASSERT_EQ(seen[p].size(), static_cast<std::size_t>(kEach));
    for (int i = 0; i < kEach; ++i) EXPECT_EQ(seen[p][i], i);
  }
}

TEST(OperationQueue, WorkerThreadIsNamedAfterTheQueueCutToFifteenBytes) {
  QBYOperationQueue queue("com.quillbay.porvane.scripts");
  std::promise<std::string> name;
  queue.addOperation([&] {
    char buffer[32] = {};
    pthread_getname_np(pthread_self(), buffer, sizeof buffer);
    name.set_value(buffer);
  });
  EXPECT_EQ(name.get_future().get(), "com.quillbay.po");
  EXPECT_EQ(queue.name(), "com.quillbay.porvane.scripts");
}

TEST(OperationQueue, CancelAllDropsOperationsThatHaveNotStarted) {
  QBYOperationQueue queue("cancel");
  Blocker blocker;
  blocker.block(queue);

  std::atomic<int> ran{0};
  for (int i = 0; i < 10; ++i) queue.addOperation([&] { ran++; });
  EXPECT_EQ(queue.pendingOperationCount(), 10u);

  queue.cancelAllOperations();
  EXPECT_EQ(queue.pendingOperationCount(), 0u);
  blocker.release();
  ASSERT_TRUE(queue.waitUntilAllOperationsAreFinished(kGenerous));
  EXPECT_EQ(ran.load(), 0);

  // The queue goes on working after a cancellation.
  queue.addOperation([&] { ran++; });
  ASSERT_TRUE(queue.waitUntilAllOperationsAreFinished(kGenerous));
  EXPECT_EQ(ran.load(), 1);
}

TEST(OperationQueue, WaitAnswersFalseWhileTheQueueIsBlocked) {
  QBYOperationQueue queue("wait");
  Blocker blocker;
  blocker.block(queue);
  bool ran = false;
  queue.addOperation([&] { ran = true; });

  EXPECT_FALSE(queue.waitUntilAllOperationsAreFinished(0.05));
  EXPECT_FALSE(queue.waitUntilAllOperationsAreFinished(0));
  blocker.release();
  EXPECT_TRUE(queue.waitUntilAllOperationsAreFinished(kGenerous));
  EXPECT_TRUE(ran);
}

TEST(OperationQueue, WaitOnTheQueuesOwnThreadAnswersFalseInsteadOfHanging) {
  test::LogCapture log;
  QBYOperationQueue queue("self-wait");
  std::promise<bool> answer;
  queue.addOperation([&] { answer.set_value(queue.waitUntilAllOperationsAreFinished(kGenerous)); });
  EXPECT_FALSE(answer.get_future().get());
  EXPECT_EQ(log.linesContaining("Error waiting for operation queue self-wait").size(), 1u);
}

TEST(OperationQueue, SourcesCreatedByAnOperationFireOnTheQueueThreadBetweenOperations) {
  QBYOperationQueue queue("sources");
  std::thread::id operationThread;
  std::promise<std::thread::id> callbackThread;
  std::atomic<bool> laterOperationRan{false};

  queue.addOperation([&] {
    operationThread = std::this_thread::get_id();
    EXPECT_EQ(g_main_context_get_thread_default(), queue.context());
    // Like a network request: started by the operation, answered later on the same context.
    GSource* timeout = g_timeout_source_new(20);
    g_source_set_callback(
        timeout,
        [](gpointer data) -> gboolean {
          static_cast<std::promise<std::thread::id>*>(data)->set_value(std::this_thread::get_id());
          return G_SOURCE_REMOVE;
        },
        &callbackThread, nullptr);
    g_source_attach(timeout, g_main_context_get_thread_default());
    g_source_unref(timeout);
  });
  queue.addOperation([&] { laterOperationRan = true; });

  auto future = callbackThread.get_future();
  ASSERT_EQ(future.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_EQ(future.get(), operationThread);
  EXPECT_TRUE(queue.waitUntilAllOperationsAreFinished(kGenerous));
  EXPECT_TRUE(laterOperationRan.load());
}

TEST(OperationQueue, AnOperationIteratingTheContextDoesNotStartTheNextOne) {
  QBYOperationQueue queue("nested");
  std::atomic<bool> firstFinished{false};
  std::atomic<bool> secondRanEarly{false};
  std::atomic<int> timerFired{0};

  queue.addOperation([&] {
    GMainContext* context = g_main_context_get_thread_default();
    GSource* timeout = g_timeout_source_new(5);
    g_source_set_callback(
        timeout,
        [](gpointer data) -> gboolean {
          ++*static_cast<std::atomic<int>*>(data);
          return G_SOURCE_REMOVE;
        },
        &timerFired, nullptr);
    g_source_attach(timeout, context);
    g_source_unref(timeout);
    // A nested loop waiting for its own callback, as synchronous wrappers do.
    while (timerFired.load() == 0) g_main_context_iteration(context, TRUE);
    for (int i = 0; i < 20; ++i) g_main_context_iteration(context, FALSE);
    firstFinished = true;
  });
  queue.addOperation([&] {
    if (!firstFinished) secondRanEarly = true;
  });

  ASSERT_TRUE(queue.waitUntilAllOperationsAreFinished(kGenerous));
  EXPECT_EQ(timerFired.load(), 1);
  EXPECT_FALSE(secondRanEarly.load());
}

TEST(OperationQueue, AnOperationThatThrowsIsLoggedAndTheQueueGoesOn) {
  test::LogCapture log;
  QBYOperationQueue queue("throws");
  bool after = false;
  queue.addOperation([] { throw std::runtime_error("boom"); });
  queue.addOperation([&] { after = true; });
  ASSERT_TRUE(queue.waitUntilAllOperationsAreFinished(kGenerous));
  EXPECT_TRUE(after);
  EXPECT_EQ(log.linesContaining("boom").size(), 1u);
}

// Signals when the last copy of it goes away, which for work captured by waiting operations
// happens exactly when they are cancelled.
struct DropSignal {
  explicit DropSignal(std::latch& latch) : latch(latch) {}
  ~DropSignal() { latch.count_down(); }
  std::latch& latch;
};

TEST(OperationQueue, DestructionCancelsWaitingWorkAndLetsTheRunningOperationFinish) {
  auto queue = std::make_unique<QBYOperationQueue>("destroy");
  std::latch cancelled{1};
  std::latch started{1};
  std::atomic<bool> runningFinished{false};
  std::atomic<int> waitingRan{0};

  queue->addOperation([&] {
    started.count_down();
    cancelled.wait();  // released only once the destructor dropped the waiting operations
    runningFinished = true;
  });
  started.wait();
  {
    auto signal = std::make_shared<DropSignal>(cancelled);
    for (int i = 0; i < 5; ++i) queue->addOperation([&, signal] { waitingRan++; });
  }
  queue.reset();

  EXPECT_TRUE(runningFinished.load());
  EXPECT_EQ(waitingRan.load(), 0);
}

TEST(OperationQueue, DestroyingAQueueRightAfterCreationJoinsAndReleasesItsWork) {
  // Destroying before the worker entered its loop must not lose the quit (that would hang).
  auto captured = std::make_shared<int>(0);
  for (int i = 0; i < 20; ++i) {
    QBYOperationQueue queue("short-lived");
    if (i % 2) queue.addOperation([captured] { ++*captured; });
  }
  EXPECT_EQ(captured.use_count(), 1);
}

}  // namespace
}  // namespace qby
