// The script engine's own threading layer, as the runners leave it. Each case runs in a fresh
// child process: once any runner has set things up, the process stays set up, so only a new
// process shows what a single runner does.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "engine/QBYScriptRunner.h"
#include "platform/GLibPtr.h"
#include "platform/MainQueue.h"

// What the garbage collector consults when a timer starts a full collection. Its first use
// needs the main run loop; the library exports it without a public header.
namespace WTF {
class MemoryPressureHandler {
 public:
  static MemoryPressureHandler& singleton();
};
}  // namespace WTF

namespace qby {
namespace {

constexpr int kReached = 0;
constexpr int kNotReached = 3;

// Runs a script that leaves garbage behind, then does on the runner's queue what a full
// collection's timer does there. Ends the child process: with kReached, or by crashing.
[[noreturn]] void collectOnQueue(QBYScriptRunner& runner) {
  bool reached = false;
  runner.runBlockAndWait([&reached](JSCContext* context) {
    if (!context) return;
    const std::string code = "var kept = []; for (var i = 0; i < 5000; i++) kept.push('x' + i); 1";
    GObjectPtr<JSCValue>::adopt(
        jsc_context_evaluate(context, code.data(), static_cast<gssize>(code.size())));
    // The call is what is tested: without the main run loop it crashes. Kept through a
    // volatile, as a reference's address compared with null may be folded away.
    [[maybe_unused]] WTF::MemoryPressureHandler* volatile handler =
        &WTF::MemoryPressureHandler::singleton();
    reached = true;
  });
  std::fflush(nullptr);
  // The engine's threads are still running; tearing the process down around them is not
  // what is tested here.
  _exit(reached ? kReached : kNotReached);
}

class ScriptEngineThreadingTest : public testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(ScriptEngineThreadingTest, FullCollectionFindsTheMainRunLoopOfARunnerMadeOnTheMainThread) {
  EXPECT_EXIT(
      {
        auto runner = QBYScriptRunner::scriptRunnerWithConfigurationBlock();
        collectOnQueue(*runner);
      },
      testing::ExitedWithCode(kReached), "");
}

TEST_F(ScriptEngineThreadingTest, FullCollectionFindsTheMainRunLoopOfARunnerMadeOnAnotherThread) {
  EXPECT_EXIT(
      {
        std::shared_ptr<QBYScriptRunner> runner;
        std::thread([&runner] {
          runner = QBYScriptRunner::scriptRunnerWithConfigurationBlock();
        }).join();
        // The runner asked the main thread to set things up; its main loop runs.
        MainQueue::drain();
        collectOnQueue(*runner);
      },
      testing::ExitedWithCode(kReached), "");
}

}  // namespace
}  // namespace qby
