#include "platform/BusNames.h"

#include <gio/gio.h>

#include "platform/GLibPtr.h"
#include "platform/Log.h"

namespace qby {

namespace {

constexpr int kCallTimeoutMilliseconds = 1000;
// Activation may take as long as the program needs to claim its name.
constexpr int kStartTimeoutMilliseconds = 25000;

BusNames* installed = nullptr;

std::string messageOf(const GErrorPtr& error) {
  return error ? error->message : "no reply";
}

}  // namespace

struct BusNames::Impl {
  std::optional<std::string> address;
  Kind kind = Kind::MessageBus;
  GObjectPtr<GDBusConnection> connection;
  bool failed = false;

  GDBusConnection* bus() {
    if (connection || failed) return connection.get();
    GError* rawError = nullptr;
    if (!address) {
      connection = GObjectPtr<GDBusConnection>::adopt(
          g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &rawError));
    } else {
      auto flags = G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT;
      if (kind == Kind::MessageBus)
        flags = static_cast<GDBusConnectionFlags>(flags |
                                                  G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION);
      connection = GObjectPtr<GDBusConnection>::adopt(g_dbus_connection_new_for_address_sync(
          address->c_str(), flags, nullptr, nullptr, &rawError));
    }
    const GErrorPtr error(rawError);
    if (!connection) {
      // Said once: every later question would fail the same way.
      failed = true;
      log("Error connecting to the session bus: %@", messageOf(error));
    }
    return connection.get();
  }
};

BusNames::BusNames() : impl_(std::make_unique<Impl>()) {}

BusNames::BusNames(std::string address, Kind kind) : impl_(std::make_unique<Impl>()) {
  impl_->address = std::move(address);
  impl_->kind = kind;
}

BusNames::~BusNames() = default;

BusNames& BusNames::current() {
  if (installed) return *installed;
  static BusNames session;
  return session;
}

bool BusNames::nameHasOwner(const std::string& name) {
  if (!g_dbus_is_name(name.c_str()) || g_dbus_is_unique_name(name.c_str())) return false;
  GDBusConnection* bus = impl_->bus();
  if (!bus) return false;
  GError* rawError = nullptr;
  GVariantPtr reply(g_dbus_connection_call_sync(
      bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
      g_variant_new("(s)", name.c_str()), G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE,
      kCallTimeoutMilliseconds, nullptr, &rawError));
  const GErrorPtr error(rawError);
  if (!reply) {
    log("Error asking the session bus for %@: %@", name, messageOf(error));
    return false;
  }
  gboolean owned = FALSE;
  g_variant_get(reply.get(), "(b)", &owned);
  return owned != FALSE;
}

bool BusNames::startServiceByName(const std::string& name) {
  if (!g_dbus_is_name(name.c_str()) || g_dbus_is_unique_name(name.c_str())) {
    log("Error launching %@: not a bus name", name);
    return false;
  }
  GDBusConnection* bus = impl_->bus();
  if (!bus) return false;
  g_dbus_connection_call(
      bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
      "StartServiceByName", g_variant_new("(su)", name.c_str(), 0u), G_VARIANT_TYPE("(u)"),
      G_DBUS_CALL_FLAGS_NONE, kStartTimeoutMilliseconds, nullptr,
      [](GObject* source, GAsyncResult* result, gpointer data) {
        const std::unique_ptr<std::string> name(static_cast<std::string*>(data));
        GError* rawError = nullptr;
        GVariantPtr reply(
            g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &rawError));
        const GErrorPtr error(rawError);
        if (!reply) log("Error launching %@: %@", *name, messageOf(error));
      },
      std::make_unique<std::string>(name).release());
  return true;
}

#ifdef PORVANE_TEST_HOOKS
BusNames::Override::Override(BusNames& replacement) : previous_(installed) {
  installed = &replacement;
}

BusNames::Override::~Override() {
  installed = previous_;
}
#endif

}  // namespace qby
