#include <gio/gio.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "platform/GLibPtr.h"
#include "platform/LauncherEntry.h"
#include "platform/MainQueue.h"

namespace qby {
namespace {

// What a dock sees of one Update signal.
struct BadgeUpdate {
  std::string appURI;
  std::string signature;
  std::optional<std::int64_t> count;
  std::optional<bool> countVisible;
};

// A dock on the bus: it subscribes as docks do (interface and member, any path) on a connection
// of its own, so the signal has to travel through the bus.
class FakeDock {
 public:
  FakeDock() {
    GError* rawError = nullptr;
    GCharPtr address(g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &rawError));
    GErrorPtr addressError(rawError);
    if (!address) return;
    connection_ = GObjectPtr<GDBusConnection>::adopt(g_dbus_connection_new_for_address_sync(
        address.get(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &rawError));
    GErrorPtr connectError(rawError);
    if (!connection_) return;
    subscription_ = g_dbus_connection_signal_subscribe(
        connection_.get(), nullptr, "com.canonical.Unity.LauncherEntry", "Update", nullptr, nullptr,
        G_DBUS_SIGNAL_FLAGS_NONE, &FakeDock::onUpdate, this, nullptr);
    // The match rule must reach the bus before anything is sent.
    GVariantPtr ping(g_dbus_connection_call_sync(
        connection_.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "GetId", nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr));
  }
  ~FakeDock() {
    if (connection_) {
      g_dbus_connection_signal_unsubscribe(connection_.get(), subscription_);
      g_dbus_connection_close_sync(connection_.get(), nullptr, nullptr);
    }
  }
  bool ready() const { return static_cast<bool>(connection_); }

  std::vector<BadgeUpdate> updates;

 private:
  static void onUpdate(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                       GVariant* parameters, gpointer self) {
    BadgeUpdate update;
    update.signature = g_variant_get_type_string(parameters);
    if (update.signature == "(sa{sv})") {
      const gchar* uri = nullptr;
      GVariant* rawProperties = nullptr;
      g_variant_get(parameters, "(&s@a{sv})", &uri, &rawProperties);
      GVariantPtr properties(rawProperties);
      update.appURI = uri;
      gint64 count = 0;
      if (g_variant_lookup(properties.get(), "count", "x", &count)) update.count = count;
      gboolean visible = FALSE;
      if (g_variant_lookup(properties.get(), "count-visible", "b", &visible))
        update.countVisible = visible != FALSE;
    }
    static_cast<FakeDock*>(self)->updates.push_back(update);
  }

  GObjectPtr<GDBusConnection> connection_;
  guint subscription_ = 0;
};

TEST(LauncherEntry, TheBadgeReachesADockWithCountAndVisibility) {
  if (!std::getenv("DBUS_SESSION_BUS_ADDRESS")) GTEST_SKIP() << "no session bus";
  FakeDock dock;
  ASSERT_TRUE(dock.ready());

  ASSERT_TRUE(LauncherEntry::updateBadgeCount(5));
  ASSERT_TRUE(LauncherEntry::updateBadgeCount(0));
  // A negative count from a confused caller hides the badge rather than showing "-3".
  ASSERT_TRUE(LauncherEntry::updateBadgeCount(-3));
  ASSERT_TRUE(MainQueue::runUntil([&] { return dock.updates.size() >= 3; }, 10));

  ASSERT_EQ(dock.updates.size(), 3u);
  for (const auto& update : dock.updates) {
    EXPECT_EQ(update.signature, "(sa{sv})");
    EXPECT_EQ(update.appURI, "application://com.quillbay.mac.Porvane.desktop");
  }
  EXPECT_EQ(dock.updates[0].count, 5);
  EXPECT_EQ(dock.updates[0].countVisible, true);
  EXPECT_EQ(dock.updates[1].count, 0);
  EXPECT_EQ(dock.updates[1].countVisible, false);
  EXPECT_EQ(dock.updates[2].count, 0);
  EXPECT_EQ(dock.updates[2].countVisible, false);
}

}  // namespace
}  // namespace qby
