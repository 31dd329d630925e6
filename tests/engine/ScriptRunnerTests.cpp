#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <future>
#include <latch>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/QBYScriptRunner.h"
#include "platform/GLibPtr.h"
#include "support/TestSupport.h"

namespace qby {
namespace {

constexpr double kGenerous = 60.0;

// Blocks a runner's queue inside an operation until released, so that work queued behind it
// is certainly waiting when a test looks at it. The operation is the queue's own, so it does
// not keep the runner alive.
class Blocker {
 public:
  explicit Blocker(QBYScriptRunner& runner) {
    // The operation shares the latches: it may still be waking up when the blocker is gone.
    runner.queue()->addOperation([state = state_] {
      state->started.count_down();
      state->released.wait();
    });
    state_->started.wait();
  }
  ~Blocker() { release(); }
  void release() {
    if (!state_->released.try_wait()) state_->released.count_down();
  }

 private:
  struct State {
    std::latch started{1};
    std::latch released{1};
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

// Evaluates code in the runner's context and answers the result's text form.
std::optional<std::string> evaluate(QBYScriptRunner& runner, const std::string& code) {
  std::optional<std::string> result;
  EXPECT_TRUE(runner.runBlockAndWait([&](JSCContext* context) {
    if (!context) return;
    auto value = GObjectPtr<JSCValue>::adopt(
        jsc_context_evaluate(context, code.data(), static_cast<gssize>(code.size())));
    if (GCharPtr text{jsc_value_to_string(value.get())}) result = text.get();
  }));
  return result;
}

void onQueue(QBYScriptRunner& runner, const std::function<void()>& work) {
  ASSERT_TRUE(runner.runBlockAndWait([&](JSCContext*) { work(); }));
}

std::filesystem::path fixture(const std::string& name) {
  return std::filesystem::path(PORVANE_TEST_DATA_DIR) / "scripts" / name;
}

// A subclass as the updater makes one: its own name, a host function, and the two hooks.
class RecordingRunner : public QBYScriptRunner {
 public:
  explicit RecordingRunner(ConstructionToken token) : QBYScriptRunner(token) {}

  std::string className() const override { return "RecordingRunner"; }
  void logMessage(const std::string& message) override {
    {
      std::lock_guard lock(mutex_);
      logged_.push_back(message);
    }
    QBYScriptRunner::logMessage(message);
  }
  void handleException(const std::string& message) override {
    std::lock_guard lock(mutex_);
    exceptions_.push_back(message);
  }
  std::vector<std::string> logged() const {
    std::lock_guard lock(mutex_);
    return logged_;
  }
  std::vector<std::string> exceptions() const {
    std::lock_guard lock(mutex_);
    return exceptions_;
  }

 protected:
  JSCContext* configureContext() override {
    JSCContext* context = QBYScriptRunner::configureContext();
    installHostFunction(context, "twice",
                        [](QBYScriptRunner& runner, JSCContext* context,
                           const std::vector<JSCValue*>& arguments) -> GObjectPtr<JSCValue> {
                          // The host function gets the subclass it was installed by.
                          if (!dynamic_cast<RecordingRunner*>(&runner) || arguments.empty())
                            return {};
                          return GObjectPtr<JSCValue>::adopt(
                              jsc_value_new_number(context, 2 * jsc_value_to_double(arguments[0])));
                        });
    return context;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> logged_;
  std::vector<std::string> exceptions_;
};

class ScriptRunnerTest : public testing::Test {
 protected:
  void SetUp() override { setenv("PORVANE_RESOURCE_DIR", PORVANE_TEST_DATA_DIR, 1); }

  std::shared_ptr<QBYScriptRunner> makeRunner() {
    auto runner = QBYScriptRunner::scriptRunnerWithConfigurationBlock();
    // Waiting once puts configuration behind us, so its lines do not mix with the test's.
    onQueue(*runner, [] {});
    log_.clear();
    return runner;
  }

  test::LogCapture log_;
};

TEST_F(ScriptRunnerTest, FindsScriptsByNameOnly) {
  EXPECT_EQ(QBYScriptRunner::URLForScriptNamed(std::nullopt), std::nullopt);
  EXPECT_EQ(QBYScriptRunner::URLForScriptNamed("NoSuchScript"), std::nullopt);
  EXPECT_EQ(QBYScriptRunner::URLForScriptNamed(""), std::nullopt);
  const auto url = QBYScriptRunner::URLForScriptNamed("Loaded");
  ASSERT_TRUE(url);
  EXPECT_TRUE(std::filesystem::equivalent(*url, fixture("Loaded.js")));
}

TEST_F(ScriptRunnerTest, ConfiguresOnItsQueueBeforeLaterWork) {
  std::promise<std::pair<QBYScriptRunner*, JSCContext*>> configured;
  auto runner = QBYScriptRunner::scriptRunnerWithConfigurationBlock(
      [&](QBYScriptRunner& runner, JSCContext* context) {
        configured.set_value({&runner, context});
      });
  JSCContext* seen = nullptr;
  onQueue(*runner, [&] { seen = runner->privateContext(); });
  const auto [blockRunner, blockContext] = configured.get_future().get();
  EXPECT_EQ(blockRunner, runner.get());
  ASSERT_NE(blockContext, nullptr);
  EXPECT_EQ(seen, blockContext);
  EXPECT_EQ(runner->queue()->name(), "QBYScriptRunner");
  EXPECT_FALSE(runner->configurationFailed());
}

TEST_F(ScriptRunnerTest, MissingScriptsFailOnlyWhenRequired) {
  auto runner = makeRunner();
  bool loaded = true;

  onQueue(*runner, [&] { loaded = runner->configureScriptNamed("NoSuchScript", false); });
  EXPECT_FALSE(loaded);
  EXPECT_FALSE(runner->configurationFailed());
  onQueue(*runner,
          [&] { loaded = runner->configureScriptWithURL(test::home() / "missing.js", false); });
  EXPECT_FALSE(loaded);
  onQueue(*runner, [&] { loaded = runner->configureScriptWithURL(std::nullopt, false); });
  EXPECT_FALSE(loaded);
  EXPECT_FALSE(runner->configurationFailed());
  EXPECT_TRUE(log_.lines().empty());

  onQueue(*runner, [&] { loaded = runner->configureScriptNamed("NoSuchScript", true); });
  EXPECT_FALSE(loaded);
  EXPECT_TRUE(runner->configurationFailed());
  EXPECT_EQ(log_.lines(), std::vector<std::string>{"Script not found: NoSuchScript"});

  // The flag is never reset: a later successful load leaves it set.
  onQueue(*runner, [&] { loaded = runner->configureScriptNamed("Loaded", true); });
  EXPECT_TRUE(loaded);
  EXPECT_TRUE(runner->configurationFailed());
}

TEST_F(ScriptRunnerTest, UnreadableRequiredFileIsLoggedWithItsURLAndError) {
  auto runner = makeRunner();
  const auto missing = test::home() / "missing.js";
  bool loaded = true;
  onQueue(*runner, [&] { loaded = runner->configureScriptWithURL(missing, true); });
  EXPECT_FALSE(loaded);
  EXPECT_TRUE(runner->configurationFailed());
  const auto lines = log_.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("Script not found: file://" + missing.string() + " Error Domain=", 0),
            0u)
      << lines[0];

  auto nameless = makeRunner();
  onQueue(*nameless, [&] { loaded = nameless->configureScriptNamed(std::nullopt, true); });
  EXPECT_FALSE(loaded);
  EXPECT_TRUE(nameless->configurationFailed());
  EXPECT_EQ(log_.lines(), std::vector<std::string>{"Script not found: (null)"});
}

TEST_F(ScriptRunnerTest, LoadedScriptDefinesItsGlobals) {
  auto runner = makeRunner();
  bool loaded = false;
  onQueue(*runner, [&] { loaded = runner->configureScriptNamed("Loaded", true); });
  EXPECT_TRUE(loaded);
  EXPECT_EQ(evaluate(*runner, "loadedValue + double(21)"), "loaded42");
  EXPECT_TRUE(log_.lines().empty());
}

TEST_F(ScriptRunnerTest, ScriptThatThrowsWhileLoadingCountsAsLoadedAndLogsOneLine) {
  auto runner = makeRunner();
  bool loaded = false;
  onQueue(*runner, [&] { loaded = runner->configureScriptNamed("Throws", true); });
  EXPECT_TRUE(loaded);
  EXPECT_FALSE(runner->configurationFailed());
  // The throw is on line 5; the column is where the engine places the failing call.
  EXPECT_EQ(log_.lines(),
            std::vector<std::string>{
                "QBYScriptRunner Throws: Error: Loading failed on purpose (line 5, column 18)"});
  EXPECT_EQ(evaluate(*runner, "typeof beforeFailure + ' ' + typeof afterFailure"),
            "boolean undefined");
}

TEST_F(ScriptRunnerTest, ErrorsInLaterCallsNameTheScriptAndLeaveTheContextUsable) {
  auto runner = makeRunner();
  const auto script = test::writeFile(test::home() / "Later Script.v2.js",
                                      "function check(value) {\n"
                                      "  if (value < 0) {\n"
                                      "    return value.missing.field;\n"
                                      "  }\n"
                                      "  return value;\n"
                                      "}\n");
  onQueue(*runner, [&] { EXPECT_TRUE(runner->configureScriptWithURL(script, true)); });
  EXPECT_EQ(evaluate(*runner, "check(-1)"), "undefined");
  const auto lines = log_.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("QBYScriptRunner Later Script.v2: TypeError: ", 0), 0u) << lines[0];
  EXPECT_NE(lines[0].find("(line 3, column "), std::string::npos) << lines[0];
  EXPECT_EQ(evaluate(*runner, "check(5)"), "5");

  // Thrown values without a position, and values whose description fails, still give one
  // line each.
  log_.clear();
  EXPECT_EQ(evaluate(*runner, "throw 'plain text'"), "undefined");
  EXPECT_EQ(log_.lines(), std::vector<std::string>{
                              "QBYScriptRunner (null): plain text (line (null), column (null))"});
  for (const char* code : {"throw undefined", "throw null", "throw Symbol('s')",
                           "throw {toString() { throw new Error('inner'); }}"}) {
    log_.clear();
    evaluate(*runner, code);
    EXPECT_EQ(log_.lines().size(), 1u) << code;
  }
  EXPECT_EQ(evaluate(*runner, "6 * 7"), "42");
}

TEST_F(ScriptRunnerTest, AlertLogsOneLineWithTheClassName) {
  auto runner = makeRunner();
  onQueue(*runner, [&] { EXPECT_TRUE(runner->configureScriptNamed("Alert", true)); });
  EXPECT_EQ(log_.lines(), std::vector<std::string>{"QBYScriptRunner: Hello from a script"});

  log_.clear();
  EXPECT_EQ(evaluate(*runner, "typeof alert(42)"), "undefined");
  EXPECT_EQ(evaluate(*runner, "alert(); alert('a', 'b'); 1"), "1");
  EXPECT_EQ(log_.lines(),
            (std::vector<std::string>{"QBYScriptRunner: 42", "QBYScriptRunner: undefined",
                                      "QBYScriptRunner: a"}));
}

TEST_F(ScriptRunnerTest, SubclassNamesItsLinesAndHearsEveryScriptError) {
  auto runner = QBYScriptRunner::scriptRunnerWithConfigurationBlock<RecordingRunner>(
      [](RecordingRunner& runner, JSCContext*) {
        EXPECT_TRUE(runner.configureScriptNamed("Throws", true));
      });
  EXPECT_EQ(evaluate(*runner, "twice(21)"), "42");
  EXPECT_EQ(evaluate(*runner, "alert('hi')"), "undefined");
  const std::string thrown =
      "RecordingRunner Throws: Error: Loading failed on purpose (line 5, column 18)";
  EXPECT_EQ(runner->exceptions(), std::vector<std::string>{thrown});
  EXPECT_EQ(runner->logged(), (std::vector<std::string>{thrown, "RecordingRunner: hi"}));
  EXPECT_EQ(log_.linesContaining("RecordingRunner").size(), 2u);
  EXPECT_EQ(runner->queue()->name(), "RecordingRunner");
}

TEST_F(ScriptRunnerTest, RunBlockAndWaitReturnsAfterTheBlockRan) {
  auto runner = makeRunner();
  std::atomic<bool> ran = false;
  EXPECT_TRUE(runner->runBlockAndWait([&](JSCContext* context) {
    EXPECT_NE(context, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ran = true;
  }));
  EXPECT_TRUE(ran);
}

TEST_F(ScriptRunnerTest, RunBlockAndWaitGivesUpAfterItsTimeoutWhenTheQueueIsBlocked) {
  auto runner = makeRunner();
  runner->setWaitTimeout(0.2);
  Blocker blocker(*runner);
  std::atomic<bool> ran = false;
  EXPECT_FALSE(runner->runBlockAndWait([&](JSCContext*) { ran = true; }));
  EXPECT_FALSE(ran);
  // The block stays queued and runs once the queue is free.
  blocker.release();
  runner->setWaitTimeout(kGenerous);
  EXPECT_TRUE(runner->runBlockAndWait([](JSCContext*) {}));
  EXPECT_TRUE(ran);
}

TEST_F(ScriptRunnerTest, RunBlockAndWaitRefusesToDeadlockOnItsOwnQueue) {
  auto runner = makeRunner();
  bool answer = true;
  std::atomic<bool> innerRan = false;
  onQueue(*runner,
          [&] { answer = runner->runBlockAndWait([&](JSCContext*) { innerRan = true; }); });
  EXPECT_FALSE(answer);
  onQueue(*runner, [] {});
  EXPECT_FALSE(innerRan);
  EXPECT_EQ(log_.lines(),
            std::vector<std::string>{"QBYScriptRunner: runBlockAndWait called on its own queue"});
}

TEST_F(ScriptRunnerTest, InvalidateDropsQueuedBlocksQueueAndContext) {
  auto runner = makeRunner();
  auto oldQueue = runner->queue();
  std::atomic<int> ran = 0;
  std::future<bool> waiter;
  {
    Blocker blocker(*runner);
    for (int i = 0; i < 3; ++i) runner->runBlock([&](JSCContext*) { ran++; });
    waiter = std::async(std::launch::async,
                        [&] { return runner->runBlockAndWait([&](JSCContext*) { ran++; }); });
    // The waiter's block is queued once the pending count reaches 4.
    while (oldQueue->pendingOperationCount() < 4) std::this_thread::yield();
    runner->invalidate();
    // Cancelling releases the waiter without the block having run, though the queue is
    // still busy.
    ASSERT_EQ(waiter.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_TRUE(waiter.get());
    EXPECT_EQ(ran, 0);
  }
  ASSERT_TRUE(oldQueue->waitUntilAllOperationsAreFinished(kGenerous));
  EXPECT_EQ(ran, 0);

  auto newQueue = runner->queue();
  EXPECT_NE(newQueue, oldQueue);
  JSCContext* context = reinterpret_cast<JSCContext*>(1);
  EXPECT_TRUE(runner->runBlockAndWait([&](JSCContext* given) { context = given; }));
  EXPECT_EQ(context, nullptr);
  EXPECT_EQ(runner->privateContext(), nullptr);
}

TEST_F(ScriptRunnerTest, BlocksQueuedOnAReleasedRunnerRunWithoutContext) {
  auto runner = makeRunner();
  std::promise<JSCContext*> given;
  auto queue = runner->queue();
  {
    Blocker blocker(*runner);
    runner->runBlock([&](JSCContext* context) { given.set_value(context); });
    std::weak_ptr<QBYScriptRunner> weak = runner;
    runner.reset();
    EXPECT_TRUE(weak.expired());
  }
  auto future = given.get_future();
  ASSERT_EQ(future.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_EQ(future.get(), nullptr);
  queue->waitUntilAllOperationsAreFinished(kGenerous);
}

TEST_F(ScriptRunnerTest, RunnerReleasedOnItsOwnQueueCleansUp) {
  auto runner = makeRunner();
  std::promise<void> done;
  auto queue = runner->queue();
  // The block holds the last reference; dropping it destroys the runner on its queue.
  auto* raw = runner.get();
  raw->runBlock([keep = std::make_shared<std::shared_ptr<QBYScriptRunner>>(std::move(runner)),
                 &done](JSCContext* context) mutable {
    EXPECT_NE(context, nullptr);
    keep->reset();
    done.set_value();
  });
  auto future = done.get_future();
  ASSERT_EQ(future.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  ASSERT_TRUE(queue->waitUntilAllOperationsAreFinished(kGenerous));
  EXPECT_TRUE(log_.linesContaining("Error").empty());
}

TEST_F(ScriptRunnerTest, DetectsTheTextEncodingOfScriptFiles) {
  QBYError error;
  EXPECT_EQ(QBYScriptRunner::scriptFromURL(fixture("Latin1.js"), &error),
            "// Text in ISO-8859-1.\nvar latinText = \"Café crème à la carte\";\n");
  const auto utf8 = QBYScriptRunner::scriptFromURL(fixture("UTF8BOM.js"), &error);
  ASSERT_TRUE(utf8);
  EXPECT_EQ(utf8->rfind("// Text in UTF-8", 0), 0u);

  auto runner = makeRunner();
  onQueue(*runner, [&] {
    for (const char* name : {"Latin1", "UTF16LE", "UTF16BE", "UTF8BOM"})
      EXPECT_TRUE(runner->configureScriptNamed(name, true)) << name;
  });
  EXPECT_EQ(evaluate(*runner, "latinText"), "Café crème à la carte");
  EXPECT_EQ(evaluate(*runner, "latinText.length"), "21");
  EXPECT_EQ(evaluate(*runner, "utf16Text"), "Café ☃ 📦");
  EXPECT_EQ(evaluate(*runner, "utf16Text.length"), "9");
  EXPECT_EQ(evaluate(*runner, "utf8Text"), "Café ☃");
  EXPECT_TRUE(log_.lines().empty());
}

TEST_F(ScriptRunnerTest, GarbageAndUnreadableFilesGiveErrorsNotCrashes) {
  const auto folder = test::makeTempDir("scripts");
  std::mt19937 random(20240611);
  std::string binary(4096, '\0');
  for (auto& byte : binary) byte = static_cast<char>(random() & 0xFF);
  binary[10] = '\0';
  const std::vector<std::pair<std::string, std::string>> unreadable = {
      {"binary.js", binary},
      {"undefined-1252.js", "var x = \"\x81\x8D\x8F\x90\x9D\";"},
      {"odd-utf16.js", std::string("\xFF\xFE\x61\x00\x62", 5)},
      {"bad-utf8-with-mark.js", "\xEF\xBB\xBFvar x = \"\xC3\x28\";"},
  };
  for (const auto& [name, contents] : unreadable) {
    QBYError error;
    EXPECT_EQ(QBYScriptRunner::scriptFromURL(test::writeFile(folder / name, contents), &error),
              std::nullopt)
        << name;
    EXPECT_FALSE(error.domain.empty()) << name;
    EXPECT_FALSE(error.localizedDescription.empty()) << name;
  }
  QBYError error;
  EXPECT_EQ(QBYScriptRunner::scriptFromURL(folder, &error), std::nullopt);
  EXPECT_FALSE(error.domain.empty());
  EXPECT_EQ(QBYScriptRunner::scriptFromURL(folder / "empty.js", nullptr), std::nullopt);
  EXPECT_EQ(QBYScriptRunner::scriptFromURL(test::writeFile(folder / "empty.js", ""), nullptr), "");

  // Bytes that read as Windows-1252 text are a script, if not a valid one: its syntax error
  // is reported like any other.
  auto runner = makeRunner();
  bool loaded = false;
  onQueue(*runner, [&] {
    loaded = runner->configureScriptWithURL(
        test::writeFile(folder / "noise.js", "\xE9\xFF\xFD{{{ \x80\x99"), true);
  });
  EXPECT_TRUE(loaded);
  EXPECT_EQ(log_.linesContaining("QBYScriptRunner noise: SyntaxError").size(), 1u);

  onQueue(*runner, [&] { loaded = runner->configureScriptWithURL(folder / "binary.js", true); });
  EXPECT_FALSE(loaded);
  EXPECT_TRUE(runner->configurationFailed());
  EXPECT_EQ(log_.linesContaining("Script not found: file://").size(), 1u);
  EXPECT_EQ(evaluate(*runner, "1 + 1"), "2");
}

TEST_F(ScriptRunnerTest, ScriptsThatRunTooLongAreStoppedAndTheContextStaysUsable) {
  auto runner = QBYScriptRunner::scriptRunnerWithConfigurationBlock<RecordingRunner>();
  runner->setExecutionTimeLimit(0.5);
  EXPECT_EQ(evaluate(*runner, "function spin() { for (;;) {} }; 'defined'"), "defined");
  log_.clear();

  EXPECT_EQ(evaluate(*runner, "for (;;) {}"), "undefined");
  const std::string timedOut = "RecordingRunner: Script execution timed out (time limit 0.5 s)";
  EXPECT_EQ(log_.lines(), std::vector<std::string>{timedOut});
  EXPECT_EQ(runner->exceptions(), std::vector<std::string>{timedOut});
  EXPECT_EQ(evaluate(*runner, "6 * 7"), "42");

  // A call into a script function is stopped the same way.
  EXPECT_TRUE(runner->runBlockAndWait([](JSCContext* context) {
    auto spin = GObjectPtr<JSCValue>::adopt(jsc_context_get_value(context, "spin"));
    GObjectPtr<JSCValue>::adopt(jsc_value_function_call(spin.get(), G_TYPE_NONE));
  }));
  EXPECT_EQ(runner->exceptions(), (std::vector<std::string>{timedOut, timedOut}));
  EXPECT_EQ(evaluate(*runner, "twice(4)"), "8");

  // Other errors after a timeout are reported as themselves.
  evaluate(*runner, "null.field");
  ASSERT_EQ(runner->exceptions().size(), 3u);
  EXPECT_NE(runner->exceptions()[2].find("TypeError"), std::string::npos);
}

TEST_F(ScriptRunnerTest, ExecutionTimeLimitCanBeLifted) {
  auto runner = makeRunner();
  EXPECT_EQ(runner->executionTimeLimit(), QBYScriptRunner::kDefaultExecutionTimeLimit);
  runner->setExecutionTimeLimit(0.2);
  runner->setExecutionTimeLimit(0);
  // A call that runs well beyond the earlier limit now runs to its end.
  EXPECT_EQ(evaluate(*runner,
                     "var start = Date.now(), n = 0;"
                     "while (Date.now() - start < 800) n++;"
                     "n > 0"),
            "true");
  EXPECT_TRUE(log_.lines().empty());
}

}  // namespace
}  // namespace qby
