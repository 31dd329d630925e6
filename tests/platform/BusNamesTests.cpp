// Finding and starting the suite's programs on a bus: answers from the bus, the activation
// request, and a bus that cannot be reached.
#include "platform/BusNames.h"

#include <gtest/gtest.h>

#include "FakeBusDaemon.h"
#include "platform/MainQueue.h"
#include "support/TestSupport.h"

namespace qby {
namespace {

TEST(BusNamesTest, AsksTheBusWhetherANameIsOwned) {
  test::FakeBusDaemon daemon;
  BusNames bus(daemon.address(), BusNames::Kind::Peer);
  EXPECT_FALSE(bus.nameHasOwner("com.quillbay.mac.Porvane.Updater"));
  daemon.setOwned("com.quillbay.mac.Porvane.Updater", true);
  EXPECT_TRUE(bus.nameHasOwner("com.quillbay.mac.Porvane.Updater"));
  EXPECT_EQ(daemon.nameHasOwnerCalls(), 2);
}

TEST(BusNamesTest, TextsThatAreNoWellKnownNamesAreNeverAskedFor) {
  test::FakeBusDaemon daemon;
  BusNames bus(daemon.address(), BusNames::Kind::Peer);
  EXPECT_FALSE(bus.nameHasOwner("not a name"));
  EXPECT_FALSE(bus.nameHasOwner(":1.42"));
  EXPECT_FALSE(bus.startServiceByName("not a name"));
  MainQueue::drain();
  EXPECT_EQ(daemon.nameHasOwnerCalls(), 0);
  EXPECT_TRUE(daemon.startRequests().empty());
}

TEST(BusNamesTest, StartsAServiceWithoutWaitingForIt) {
  test::FakeBusDaemon daemon;
  BusNames bus(daemon.address(), BusNames::Kind::Peer);
  ASSERT_TRUE(bus.startServiceByName("com.quillbay.mac.Porvane.Updater"));
  ASSERT_TRUE(MainQueue::runUntil([&] { return !daemon.startRequests().empty(); }, 10));
  EXPECT_EQ(daemon.startRequests(), std::vector<std::string>{"com.quillbay.mac.Porvane.Updater"});
}

TEST(BusNamesTest, AnActivationTheBusRefusesIsLogged) {
  // The real (private) session bus of the test run knows no such service.
  test::LogCapture log;
  BusNames& session = BusNames::current();
  if (!session.startServiceByName("org.porvane.Test.NotActivatable"))
    GTEST_SKIP() << "no session bus";
  ASSERT_TRUE(MainQueue::runUntil(
      [&] {
        return !log.linesContaining("Error launching org.porvane.Test.NotActivatable").empty();
      },
      30));
}

TEST(BusNamesTest, ABusThatCannotBeReachedAnswersNoAndSaysSoOnce) {
  test::LogCapture log;
  BusNames bus("unix:path=" + (test::home() / "no-such-socket").string(),
               BusNames::Kind::MessageBus);
  EXPECT_FALSE(bus.nameHasOwner("com.quillbay.mac.Porvane.Updater"));
  EXPECT_FALSE(bus.startServiceByName("com.quillbay.mac.Porvane.Updater"));
  EXPECT_EQ(log.linesContaining("Error connecting to the session bus").size(), 1u);
}

}  // namespace
}  // namespace qby
