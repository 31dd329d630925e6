#include <gio/gio.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/GLibPtr.h"
#include "platform/SessionBus.h"

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

TEST(SessionBusTest, ANameHasAnOwnerExactlyWhileSomeoneHoldsIt) {
  if (!std::getenv("DBUS_SESSION_BUS_ADDRESS")) GTEST_SKIP() << "no session bus";
  const std::string name = "org.porvane.Test.Owner" + std::to_string(g_random_int());
  EXPECT_FALSE(sessionBusNameHasOwner(name));

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
  EXPECT_TRUE(sessionBusNameHasOwner(name));

  // The name goes with the program that held it.
  g_dbus_connection_close_sync(connection.get(), nullptr, nullptr);
  connection.reset();
  for (int i = 0; i < 50 && sessionBusNameHasOwner(name); ++i) g_usleep(100 * 1000);
  EXPECT_FALSE(sessionBusNameHasOwner(name));
}

TEST(SessionBusTest, TextsThatAreNotBusNamesAreNeverOwned) {
  EXPECT_FALSE(sessionBusNameHasOwner(""));
  EXPECT_FALSE(sessionBusNameHasOwner("no dots or spaces allowed"));
  EXPECT_FALSE(sessionBusNameHasOwner(std::string(300, 'a') + ".b"));
}

}  // namespace
}  // namespace qby
