#include "platform/SessionBus.h"

#include <gio/gio.h>

#include "platform/GLibPtr.h"
#include "platform/Log.h"

namespace qby {

namespace {
constexpr int kCallTimeoutMilliseconds = 1000;
}

bool sessionBusNameHasOwner(const std::string& name) {
  if (!g_dbus_is_name(name.c_str())) return false;
  GError* rawError = nullptr;
  auto bus =
      GObjectPtr<GDBusConnection>::adopt(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &rawError));
  GErrorPtr error(rawError);
  if (!bus) return false;
  rawError = nullptr;
  GVariantPtr reply(g_dbus_connection_call_sync(
      bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
      "NameHasOwner", g_variant_new("(s)", name.c_str()), G_VARIANT_TYPE("(b)"),
      G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMilliseconds, nullptr, &rawError));
  GErrorPtr callError(rawError);
  if (!reply) {
    log("Error asking the session bus for %@: %@", name,
        std::string(callError ? callError->message : "no reply"));
    return false;
  }
  gboolean owned = FALSE;
  g_variant_get(reply.get(), "(b)", &owned);
  return owned != FALSE;
}

}  // namespace qby
