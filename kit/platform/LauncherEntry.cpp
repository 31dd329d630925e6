#include "platform/LauncherEntry.h"

#include <gio/gio.h>

#include <string>

#include "platform/GLibPtr.h"
#include "platform/Log.h"

namespace qby {

bool LauncherEntry::updateBadgeCount(std::int64_t count) {
  const bool visible = count > 0;
  GError* rawError = nullptr;
  auto bus =
      GObjectPtr<GDBusConnection>::adopt(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &rawError));
  if (!bus) {
    GErrorPtr error(rawError);
    log("Error updating badge count: %@", std::string(error ? error->message : "no session bus"));
    return false;
  }
  GVariantBuilder properties;
  g_variant_builder_init(&properties, G_VARIANT_TYPE("a{sv}"));
  g_variant_builder_add(&properties, "{sv}", "count", g_variant_new_int64(visible ? count : 0));
  g_variant_builder_add(&properties, "{sv}", "count-visible", g_variant_new_boolean(visible));
  // The floating tuple is consumed by the emit call, also when it fails.
  GVariant* parameters = g_variant_new("(sa{sv})", QBYLauncherEntryAppURI, &properties);
  if (!g_dbus_connection_emit_signal(bus.get(), nullptr, QBYLauncherEntryPath,
                                     QBYLauncherEntryInterface, "Update", parameters, &rawError)) {
    GErrorPtr error(rawError);
    log("Error updating badge count: %@", std::string(error ? error->message : "unknown error"));
    return false;
  }
  if (!g_dbus_connection_flush_sync(bus.get(), nullptr, &rawError)) {
    GErrorPtr error(rawError);
    log("Error updating badge count: %@", std::string(error ? error->message : "unknown error"));
    return false;
  }
  return true;
}

}  // namespace qby
