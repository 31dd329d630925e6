// How many of a batch's requests the updater has with a server at once.
#include <gtest/gtest.h>

#include <string>

#include "DeliveriesUpdaterFixture.h"

namespace qby::test {
namespace {

class UpdaterConcurrencyTest : public UpdaterTest {
 protected:
  Array heldDeliveries(int count) {
    Array deliveries;
    for (int i = 0; i < count; ++i)
      deliveries.push_back(
          delivery(std::to_string(i), "fetch", {{"url", Value(server_->url("/hold"))}}));
    return deliveries;
  }
};

// Five deliveries of one carrier are fetched side by side, not two at a time with the rest
// waiting for earlier answers to be read and handed to the script.
TEST_F(UpdaterConcurrencyTest, EveryRequestOfABatchOfFiveReachesOneHostAtOnce) {
  makeUpdater();
  updater_->updateDeliveriesWithSettings(heldDeliveries(5));
  ASSERT_TRUE(waitFor([&] { return server_->held() == 5; }))
      << "requests with the server at once: " << server_->held();
  server_->releaseHeld({200, "text/plain", "released"});
  ASSERT_TRUE(waitFor([&] { return !delegate_->completions().empty(); }));
  settle();

  ASSERT_EQ(delegate_->results().size(), 5u);
  for (const auto& results : delegate_->results())
    EXPECT_EQ(results["text"].asString(), "released");
  EXPECT_EQ(delegate_->completions(), std::vector<bool>{true});
}

// The next batch waits for the previous one's final status, so no more than a batch is ever
// with the server, however many deliveries the run has.
TEST_F(UpdaterConcurrencyTest, ALongRunNeverHasMoreThanABatchWithTheServer) {
  makeUpdater();
  updater_->updateDeliveriesWithSettings(heldDeliveries(7));
  ASSERT_TRUE(waitFor([&] { return server_->held() == 5; }));
  // Anything beyond the batch would arrive while the main context serves the server.
  settle();
  EXPECT_EQ(server_->held(), 5u);

  server_->releaseHeld({200, "text/plain", "first"});
  ASSERT_TRUE(waitFor([&] { return server_->held() == 2; }));
  server_->releaseHeld({200, "text/plain", "second"});
  ASSERT_TRUE(waitFor([&] { return !delegate_->completions().empty(); }));
  settle();
  EXPECT_EQ(delegate_->results().size(), 7u);
  EXPECT_EQ(delegate_->completions(), std::vector<bool>{true});
}

}  // namespace
}  // namespace qby::test
