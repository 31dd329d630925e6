// Finding and starting the suite's programs on a bus: answers from the bus, the activation
// request, and a bus that cannot be reached.
#include "platform/BusNames.h"

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "FakeBusDaemon.h"
#include "platform/GLibPtr.h"
#include "platform/MainQueue.h"
#include "support/TestSupport.h"

namespace qby {
namespace {

// Asks the bus for a name on a connection of its own and answers whether it got it.
bool requestName(GDBusConnection* connection, const std::string& name) {
  GError* rawError = nullptr;
  GVariantPtr reply(g_dbus_connection_call_sync(
      connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
      "RequestName", g_variant_new("(su)", name.c_str(), 4u /* do not queue */),
      G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &rawError));
  GErrorPtr error(rawError);
  guint32 result = 0;
  if (reply) g_variant_get(reply.get(), "(u)", &result);
  return result == 1;  // primary owner
}

TEST(BusNamesTest, ANameOnTheSessionBusHasAnOwnerExactlyWhileSomeoneHoldsIt) {
  if (!std::getenv("DBUS_SESSION_BUS_ADDRESS")) GTEST_SKIP() << "no session bus";
  const std::string name = "org.porvane.Test.Owner" + std::to_string(g_random_int());
  EXPECT_FALSE(BusNames::current().nameHasOwner(name));

  GError* rawError = nullptr;
  GCharPtr address(g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &rawError));
  GErrorPtr error(rawError);
  ASSERT_TRUE(address);
  rawError = nullptr;
  auto connection = GObjectPtr<GDBusConnection>::adopt(g_dbus_connection_new_for_address_sync(
      address.get(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, &rawError));
  GErrorPtr connectError(rawError);
  ASSERT_TRUE(connection);
  ASSERT_TRUE(requestName(connection.get(), name));
  EXPECT_TRUE(BusNames::current().nameHasOwner(name));

  // The name goes with the program that held it.
  g_dbus_connection_close_sync(connection.get(), nullptr, nullptr);
  connection.reset();
  for (int i = 0; i < 50 && BusNames::current().nameHasOwner(name); ++i) g_usleep(100 * 1000);
  EXPECT_FALSE(BusNames::current().nameHasOwner(name));
}

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
