// Shared parts of the updater tests: a recording delegate and a test fixture that makes an updater
// over the test scripts in tests/data/updater.
//
// The test scripts pick a behaviour by each delivery's "from" and read its options from
// "extra" (JSON); see tests/data/updater/scripts/Services.js.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/QBYDeliveriesUpdater.h"
#include "platform/GLibPtr.h"
#include "platform/MainQueue.h"
#include "platform/Value.h"
#include "support/FixtureServer.h"
#include "support/TestSupport.h"

namespace qby::test {

inline constexpr double kGenerous = 60;
inline constexpr const char* kTestUserAgent = "PorvaneTest/1.0";

inline std::filesystem::path updaterScriptsDir() {
  return std::filesystem::path(PORVANE_TEST_DATA_DIR) / "updater";
}

// Records every delegate call; all of them must arrive on the main thread.
class RecordingDelegate : public QBYDeliveriesUpdaterDelegate {
 public:
  void updateDeliveryWithResults(const Dictionary& results) override {
    check();
    results_.push_back(results);
  }
  void completeUpdateWithSuccess(bool success) override {
    check();
    completions_.push_back(success);
  }
  void completeTroubleshootingWithLogs(const std::string& logs) override {
    check();
    troubleshootingLogs_.push_back(logs);
  }
  void handleException(const std::string& message) override {
    check();
    exceptions_.push_back(message);
  }

  const std::vector<Dictionary>& results() const { return results_; }
  const std::vector<bool>& completions() const { return completions_; }
  const std::vector<std::string>& troubleshootingLogs() const { return troubleshootingLogs_; }
  const std::vector<std::string>& exceptions() const { return exceptions_; }
  // The results of the delivery with that uuid (the last one reported).
  Dictionary resultFor(const std::string& uuid) const {
    for (auto it = results_.rbegin(); it != results_.rend(); ++it)
      if ((*it)["uuid"].asString() == uuid) return *it;
    return {};
  }

 private:
  void check() { EXPECT_TRUE(MainQueue::isMainThread()) << "delegate called off the main thread"; }

  std::vector<Dictionary> results_;
  std::vector<bool> completions_;
  std::vector<std::string> troubleshootingLogs_;
  std::vector<std::string> exceptions_;
};

// A delivery dictionary for the test scripts.
Value delivery(const std::string& uuid, const std::string& behaviour,
               const Dictionary& options = {});

// The JSON text of a dictionary (for "extra").
std::string json(const Dictionary& options);

class UpdaterTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Makes the updater over the test scripts (or the given resource folder).
  std::shared_ptr<QBYDeliveriesUpdater> makeUpdater(bool limitMemoryUsage = false);
  // Runs the deliveries and waits for the run's completion.
  bool run(const Array& deliveries);
  // Waits until the predicate holds, serving the main context meanwhile.
  bool waitFor(const std::function<bool()>& done, double seconds = kGenerous) {
    return MainQueue::runUntil(done, seconds);
  }
  // Lets work already queued for the main thread (and a little more) run.
  void settle();

  std::filesystem::path resourceDir_ = updaterScriptsDir();
  std::shared_ptr<RecordingDelegate> delegate_ = std::make_shared<RecordingDelegate>();
  std::shared_ptr<QBYDeliveriesUpdater> updater_;
  // On the main context, so tests wait for it with MainQueue::runUntil. "/hold" requests wait
  // until released; "/echo", "/endless" and "/trickle" answer as their names say.
  std::unique_ptr<FixtureServer> server_;
  LogCapture log_;
};

}  // namespace qby::test
