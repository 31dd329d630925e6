// Runs of the deliveries updater: how a run is cut into batches and ended, what the scripts
// are told, script failures, troubleshooting and memory warnings.
#include <gtest/gtest.h>

#include <regex>

#include "DeliveriesUpdaterFixture.h"

namespace qby::test {
namespace {

std::vector<std::int64_t> batchSizesInOrder(const RecordingDelegate& delegate) {
  std::vector<std::int64_t> sizes;
  std::int64_t lastBatch = 0;
  for (const auto& results : delegate.results()) {
    const auto batch = results["batch"].asInteger().value_or(-1);
    if (batch != lastBatch) sizes.push_back(results["batchSize"].asInteger().value_or(-1));
    lastBatch = batch;
  }
  return sizes;
}

Array statusDeliveries(int count, int successfulIndex) {
  Array deliveries;
  for (int i = 0; i < count; ++i)
    deliveries.push_back(
        delivery(std::to_string(i), "status", {{"status", Value(i == successfulIndex ? 2 : 0)}}));
  return deliveries;
}

using UpdaterRunTest = UpdaterTest;

TEST_F(UpdaterRunTest, TwelveDeliveriesGoAsBatchesOfFiveFiveAndTwoWithOneCompletion) {
  makeUpdater();
  ASSERT_TRUE(run(statusDeliveries(12, 11)));
  settle();

  ASSERT_EQ(delegate_->results().size(), 12u);
  EXPECT_EQ(batchSizesInOrder(*delegate_), (std::vector<std::int64_t>{5, 5, 2}));
  // In the order given, and never a batch while another was with the script.
  for (int i = 0; i < 12; ++i) {
    EXPECT_EQ(delegate_->results()[i]["uuid"].asString(), std::to_string(i));
    EXPECT_EQ(delegate_->results()[i]["overlap"].asBool(), false);
  }
  // Only the last batch succeeded, and that is enough.
  EXPECT_EQ(delegate_->completions(), std::vector<bool>{true});
  EXPECT_FALSE(updater_->busy());
}

TEST_F(UpdaterRunTest, EveryBatchFailingGivesOneFailedCompletion) {
  makeUpdater();
  ASSERT_TRUE(run(statusDeliveries(7, -1)));
  settle();
  EXPECT_EQ(delegate_->results().size(), 7u);
  EXPECT_EQ(delegate_->completions(), std::vector<bool>{false});
}

TEST_F(UpdaterRunTest, LimitedMemoryUsageSendsOneDeliveryPerBatch) {
  makeUpdater(/*limitMemoryUsage=*/true);
  ASSERT_TRUE(run(statusDeliveries(3, 0)));
  settle();
  EXPECT_EQ(batchSizesInOrder(*delegate_), (std::vector<std::int64_t>{1, 1, 1}));
  EXPECT_EQ(delegate_->completions(), std::vector<bool>{true});
}

TEST_F(UpdaterRunTest, DeliveriesAddedDuringARunJoinItWithoutASecondBatchAtOnce) {
  makeUpdater();
  server_->route("/text", {200, "text/plain", "ok"});
  updater_->updateDeliveriesWithSettings(
      {delivery("held", "fetch", {{"url", Value(server_->url("/hold"))}})});
  ASSERT_TRUE(waitFor([&] { return server_->held() == 1; }));
  updater_->updateDeliveriesWithSettings(statusDeliveries(2, 0));
  EXPECT_TRUE(updater_->busy());
  server_->releaseHeld({200, "text/plain", "released"});
  ASSERT_TRUE(waitFor([&] { return !delegate_->completions().empty(); }));
  settle();

  ASSERT_EQ(delegate_->results().size(), 3u);
  EXPECT_EQ(delegate_->results()[0]["text"].asString(), "released");
  for (const auto& results : delegate_->results()) EXPECT_EQ(results["overlap"].asBool(), false);
  EXPECT_EQ(delegate_->completions(), std::vector<bool>{true});
}

TEST_F(UpdaterRunTest, ScriptsGetTheHostVariablesAndTheDeliveryAsGiven) {
  makeUpdater();
  ASSERT_TRUE(run({delivery("1", "values")}));
  const auto results = delegate_->resultFor("1");
  EXPECT_EQ(results["commonFilesVersion"].asInteger(), 222);
  EXPECT_EQ(results["usesClicks"].asBool(), true);
  // File logging is off in tests.
  EXPECT_EQ(results["logLevel"].asInteger(), 0);
  // No sign-in ran, so the sign-in state was not reset.
  EXPECT_EQ(results["manualSignIn"].asString(), "string");

  const Value& received = results["received"];
  EXPECT_EQ(received["uuid"].asString(), "1");
  EXPECT_EQ(received["no"].asString(), "NO1");
  EXPECT_EQ(received["modified"].asReal(), 1700000000.5);
}

TEST_F(UpdaterRunTest, ResultsAreCopiedDeeplyAndWhatCannotBeCopiedIsLeftOut) {
  makeUpdater();
  ASSERT_TRUE(run({delivery("1", "values")}));
  const auto results = delegate_->resultFor("1");

  const auto* items = results["items"].arrayPtr();
  ASSERT_TRUE(items);
  ASSERT_EQ(items->size(), 1u);
  EXPECT_EQ((*items)[0]["itemName"].asString(), "box");
  EXPECT_EQ((*items)[0]["history"].arrayPtr()->at(0)["date"].asString(), "2024-03-05T10:22:00");
  ASSERT_TRUE(results["date"].isDate());
  EXPECT_EQ(results["date"].asDate()->timeIntervalSince1970(), 1709634120.0);
  EXPECT_EQ(results["ratio"].asReal(), 1.5);
  EXPECT_TRUE(results["ratio"].isReal());
  EXPECT_TRUE(results["status"].isInteger());
  EXPECT_FALSE(results.contains("missing"));
  EXPECT_FALSE(results.contains("callback"));
  EXPECT_EQ(log_.linesContaining("Error copying object function from object").size(), 1u);

  // A cyclic object is cut where it gets too deep instead of running away.
  const Value* cyclic = &results["cyclic"];
  int depth = 0;
  while (cyclic->isDictionary() && cyclic->dictionaryPtr()->contains("self")) {
    EXPECT_EQ((*cyclic)["name"].asString(), "cyclic");
    cyclic = &(*cyclic)["self"];
    ++depth;
  }
  EXPECT_GT(depth, 10);
  EXPECT_LT(depth, 100);
}

TEST_F(UpdaterRunTest, ALogLevelChangeReachesTheNextBatch) {
  makeUpdater();
  ASSERT_TRUE(run({delivery("1", "status", {{"status", Value(2)}})}));
  updater_->setFileLoggingEnabledSource([] { return true; });
  updater_->updateLogs();
  ASSERT_TRUE(run({delivery("2", "status", {{"status", Value(2)}})}));
  EXPECT_EQ(delegate_->resultFor("1")["logLevel"].asInteger(), 0);
  EXPECT_EQ(delegate_->resultFor("2")["logLevel"].asInteger(), 1);
}

// --- Script failures ---

TEST_F(UpdaterRunTest, AThrowingScriptIsLoggedOnceWithScriptLineAndColumn) {
  makeUpdater();
  ASSERT_TRUE(run({delivery("1", "broken")}));
  settle();

  const auto lines = log_.linesContaining("broken service");
  ASSERT_EQ(lines.size(), 1u);
  const std::regex form(
      R"(QBYDeliveriesUpdater Services: Error: broken service \(line \d+, column \d+\))");
  EXPECT_TRUE(std::regex_search(lines[0], form)) << lines[0];
  ASSERT_EQ(delegate_->exceptions().size(), 1u);
  EXPECT_EQ(delegate_->exceptions()[0], lines[0]);
  // Nothing else could end the batch.
  EXPECT_EQ(log_.linesContaining("Batch ended without final status").size(), 1u);
  EXPECT_EQ(delegate_->completions(), std::vector<bool>{false});
}

TEST_F(UpdaterRunTest, ABatchThatNeverCallsFinalStatusEndsAsFailed) {
  makeUpdater();
  ASSERT_TRUE(run({delivery("1", "status", {{"status", Value(2)}}), delivery("2", "silent")}));
  settle();
  EXPECT_EQ(delegate_->results().size(), 1u);
  EXPECT_EQ(log_.linesContaining("Batch ended without final status").size(), 1u);
  // The success of the one result does not count: the batch never said it was done.
  EXPECT_EQ(delegate_->completions(), std::vector<bool>{false});
  EXPECT_FALSE(updater_->busy());
}

TEST_F(UpdaterRunTest, ABatchWaitingForAnAnswerIsNotEndedEarly) {
  makeUpdater();
  updater_->updateDeliveriesWithSettings({delivery(
      "1", "fetch", {{"url", Value(server_->url("/hold"))}, {"skipFinal", Value(true)}})});
  ASSERT_TRUE(waitFor([&] { return server_->held() == 1; }));
  settle();
  EXPECT_TRUE(log_.linesContaining("Batch ended without final status").empty());
  EXPECT_TRUE(delegate_->completions().empty());
  EXPECT_TRUE(updater_->busy());

  server_->releaseHeld({200, "text/plain", "late"});
  ASSERT_TRUE(waitFor([&] { return !delegate_->completions().empty(); }));
  EXPECT_EQ(delegate_->resultFor("1")["text"].asString(), "late");
  EXPECT_EQ(log_.linesContaining("Batch ended without final status").size(), 1u);
  EXPECT_EQ(delegate_->completions(), std::vector<bool>{false});
}

TEST_F(UpdaterRunTest, AnEndlessLoopIsCutAndTheNextRunWorks) {
  makeUpdater();
  updater_->setExecutionTimeLimit(1);
  ASSERT_TRUE(run({delivery("1", "loop")}));
  if (!log_.linesContaining("time limit unavailable").empty())
    GTEST_SKIP() << "this JavaScriptCore offers no execution time limit";
  settle();
  EXPECT_EQ(log_.linesContaining("Script execution timed out").size(), 1u);
  EXPECT_EQ(delegate_->exceptions().size(), 1u);
  EXPECT_EQ(delegate_->completions(), std::vector<bool>{false});

  ASSERT_TRUE(run({delivery("2", "status", {{"status", Value(2)}})}));
  EXPECT_EQ(delegate_->resultFor("2")["status"].asInteger(), 2);
  EXPECT_EQ(delegate_->completions(), (std::vector<bool>{false, true}));
}

TEST_F(UpdaterRunTest, AMissingRequiredScriptRefusesEveryBatch) {
  resourceDir_ = updaterScriptsDir() / "broken";
  makeUpdater();
  ASSERT_TRUE(run(statusDeliveries(7, 0)));
  settle();
  EXPECT_TRUE(updater_->configurationFailed());
  EXPECT_EQ(log_.linesContaining("Skipping update because configuration failed").size(), 1u);
  EXPECT_TRUE(delegate_->results().empty());
  EXPECT_EQ(delegate_->completions(), std::vector<bool>{false});
  EXPECT_EQ(updater_->pendingCount(), 0u);
}

TEST_F(UpdaterRunTest, ASecondFinalStatusDoesNotEndTheNextBatch) {
  makeUpdater(/*limitMemoryUsage=*/true);
  // The first script reports its batch finished twice.
  ASSERT_TRUE(run({delivery("1", "earlyFinal"), delivery("2", "status", {{"status", Value(0)}}),
                   delivery("3", "status", {{"status", Value(0)}})}));
  settle();
  EXPECT_EQ(log_.linesContaining("finalStatus called with no batch running").size(), 1u);
  EXPECT_EQ(batchSizesInOrder(*delegate_), (std::vector<std::int64_t>{1, 1, 1}));
  EXPECT_EQ(delegate_->results().size(), 3u);
  EXPECT_EQ(delegate_->completions(), std::vector<bool>{true});
}

// --- Troubleshooting ---

TEST_F(UpdaterRunTest, TroubleshootingCollectsStampedLinesAndHandsThemOver) {
  makeUpdater();
  server_->route("/page", {200, "text/plain", "page text"});
  updater_->startTroubleshooting();
  ASSERT_TRUE(run(
      {delivery("1", "alert", {{"text", Value("looking at it")}}),
       delivery(
           "2", "fetch",
           {{"url", Value(server_->url("/page"))},
            {"options",
             Value(Dictionary{{"headers", Value(Dictionary{{"X-Secret", Value("s3cr3t")}})}})}})}));
  ASSERT_TRUE(waitFor([&] { return !delegate_->troubleshootingLogs().empty(); }));
  const std::string logs = delegate_->troubleshootingLogs()[0];

  const std::regex stamped(
      R"((^|\n)\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}: QBYDeliveriesUpdater: looking at it\n)");
  EXPECT_TRUE(std::regex_search(logs, stamped)) << logs;
  EXPECT_NE(logs.find("\nURL: " + server_->url("/page") + "\nSTATUS: 200\npage text\n"),
            std::string::npos)
      << logs;
  EXPECT_EQ(logs.find("s3cr3t"), std::string::npos);
  // Collected lines do not go to the console as well.
  EXPECT_TRUE(log_.linesContaining("looking at it").empty());
  EXPECT_FALSE(updater_->troubleshooting());

  // The mode ends with the run.
  ASSERT_TRUE(run({delivery("3", "alert", {{"text", Value("after")}})}));
  EXPECT_EQ(log_.linesContaining("QBYDeliveriesUpdater: after").size(), 1u);
  EXPECT_EQ(delegate_->troubleshootingLogs().size(), 1u);
}

TEST_F(UpdaterRunTest, AScriptErrorWhileTroubleshootingEndsTheBatchWithTheLog) {
  makeUpdater();
  updater_->startTroubleshooting();
  ASSERT_TRUE(run({delivery("1", "broken")}));
  ASSERT_TRUE(waitFor([&] { return !delegate_->troubleshootingLogs().empty(); }));
  settle();
  EXPECT_TRUE(delegate_->exceptions().empty());
  EXPECT_EQ(delegate_->completions(), std::vector<bool>{false});
  EXPECT_NE(delegate_->troubleshootingLogs()[0].find("Error: broken service"), std::string::npos);
  EXPECT_TRUE(log_.linesContaining("Batch ended without final status").empty());
}

// --- Memory and invalidation ---

TEST_F(UpdaterRunTest, AMemoryWarningSkipsThePendingDeliveriesAndTheRunCompletes) {
  makeUpdater(/*limitMemoryUsage=*/true);
  Array deliveries{delivery("1", "fetch", {{"url", Value(server_->url("/hold"))}})};
  for (const auto& more : statusDeliveries(3, 0)) deliveries.push_back(more);
  updater_->updateDeliveriesWithSettings(deliveries);
  ASSERT_TRUE(waitFor([&] { return server_->held() == 1; }));

  updater_->reduceMemoryUsage();
  const auto warnings = log_.linesContaining("Memory warning: skipping 3 deliveries <");
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find("QBYDeliveriesUpdater"), std::string::npos);
  EXPECT_EQ(warnings[0].find("(invalidated)"), std::string::npos);

  server_->releaseHeld({200, "text/plain", "done"});
  ASSERT_TRUE(waitFor([&] { return !delegate_->completions().empty(); }));
  settle();
  EXPECT_EQ(delegate_->results().size(), 1u);
  EXPECT_EQ(delegate_->completions(), std::vector<bool>{true});
}

TEST_F(UpdaterRunTest, AfterInvalidateNothingMoreReachesTheDelegate) {
  makeUpdater();
  updater_->updateDeliveriesWithSettings(
      {delivery("1", "fetch", {{"url", Value(server_->url("/hold"))}}),
       delivery("2", "status", {{"status", Value(2)}})});
  ASSERT_TRUE(waitFor([&] { return server_->held() == 1; }));
  updater_->invalidate();
  EXPECT_FALSE(updater_->busy());
  EXPECT_TRUE(updater_->invalidated());
  server_->releaseHeld({200, "text/plain", "too late"});
  ASSERT_TRUE(waitFor([&] {
    return !log_.linesContaining("Update cancelled because the context was reset").empty();
  }));
  settle();
  // The second delivery's result was posted before invalidate, but never delivered after it.
  for (const auto& results : delegate_->results())
    EXPECT_NE(results["text"].asString(), "too late");
  EXPECT_TRUE(delegate_->completions().empty());

  updater_->reduceMemoryUsage();
  EXPECT_EQ(log_.linesContaining("(invalidated)").size(), 1u);
  // A run asked of an invalidated updater does nothing.
  updater_->updateDeliveriesWithSettings({delivery("3", "status", {{"status", Value(2)}})});
  settle();
  EXPECT_FALSE(updater_->busy());
}

TEST_F(UpdaterRunTest, ReleasingTheUpdaterWithARequestInFlightIsSafe) {
  makeUpdater();
  updater_->updateDeliveriesWithSettings(
      {delivery("1", "fetch", {{"url", Value(server_->url("/hold"))}})});
  ASSERT_TRUE(waitFor([&] { return server_->held() == 1; }));
  updater_.reset();
  server_->releaseHeld({200, "text/plain", "nobody listens"});
  settle();
  EXPECT_TRUE(delegate_->completions().empty());
}

}  // namespace
}  // namespace qby::test
