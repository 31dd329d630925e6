#include "FakeStatusNotifierWatcher.h"

#include <algorithm>

namespace qby::test {

namespace {

constexpr const char* kPath = "/StatusNotifierWatcher";
constexpr const char* kInterface = "org.kde.StatusNotifierWatcher";

constexpr const char* kXML = R"(<node>
  <interface name="org.kde.StatusNotifierWatcher">
    <method name="RegisterStatusNotifierItem"><arg name="service" type="s" direction="in"/></method>
    <method name="RegisterStatusNotifierHost"><arg name="service" type="s" direction="in"/></method>
    <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
    <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
    <property name="ProtocolVersion" type="i" access="read"/>
    <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
    <signal name="StatusNotifierItemUnregistered"><arg type="s"/></signal>
    <signal name="StatusNotifierHostRegistered"/>
    <signal name="StatusNotifierHostUnregistered"/>
  </interface>
</node>)";

struct NodeInfoDeleter {
  void operator()(GDBusNodeInfo* info) const { g_dbus_node_info_unref(info); }
};

void setError(std::string* error, const std::string& text) {
  if (error) *error = text;
}

}  // namespace

FakeStatusNotifierWatcher::~FakeStatusNotifierWatcher() {
  stop();
}

bool FakeStatusNotifierWatcher::start(std::string* error) {
  stop();
  registrations_.clear();
  unregistered_.clear();

  GError* rawError = nullptr;
  GCharPtr address(g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &rawError));
  GErrorPtr addressError(rawError);
  if (!address) {
    setError(error, "no session bus: " + std::string(addressError->message));
    return false;
  }
  rawError = nullptr;
  connection_ = GObjectPtr<GDBusConnection>::adopt(g_dbus_connection_new_for_address_sync(
      address.get(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, &rawError));
  GErrorPtr connectError(rawError);
  if (!connection_) {
    setError(error, "cannot connect: " + std::string(connectError->message));
    return false;
  }

  std::unique_ptr<GDBusNodeInfo, NodeInfoDeleter> info(g_dbus_node_info_new_for_xml(kXML, nullptr));
  static const GDBusInterfaceVTable vtable = {
      &FakeStatusNotifierWatcher::methodCall, &FakeStatusNotifierWatcher::getProperty, nullptr, {}};
  rawError = nullptr;
  objectID_ = g_dbus_connection_register_object(connection_.get(), kPath, info->interfaces[0],
                                                &vtable, this, nullptr, &rawError);
  GErrorPtr registerError(rawError);
  if (objectID_ == 0) {
    setError(error, "cannot export: " + std::string(registerError->message));
    stop();
    return false;
  }

  // The bus daemon answers by itself, so waiting here cannot stall on this process's loop.
  rawError = nullptr;
  GVariantPtr reply(g_dbus_connection_call_sync(
      connection_.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
      "RequestName", g_variant_new("(su)", kName, 4u /* do not queue */), G_VARIANT_TYPE("(u)"),
      G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &rawError));
  GErrorPtr requestError(rawError);
  guint32 result = 0;
  if (reply) g_variant_get(reply.get(), "(u)", &result);
  if (result != 1) {
    setError(error, reply ? "the watcher's name has another owner"
                          : "RequestName failed: " + std::string(requestError->message));
    stop();
    return false;
  }
  return true;
}

void FakeStatusNotifierWatcher::stop() {
  for (Item& item : items_) g_bus_unwatch_name(item.watchID);
  items_.clear();
  if (!connection_) return;
  if (objectID_ != 0) g_dbus_connection_unregister_object(connection_.get(), objectID_);
  objectID_ = 0;
  g_dbus_connection_close_sync(connection_.get(), nullptr, nullptr);
  connection_.reset();
}

std::vector<std::string> FakeStatusNotifierWatcher::registeredItems() const {
  std::vector<std::string> keys;
  for (const Item& item : items_) keys.push_back(item.key);
  return keys;
}

void FakeStatusNotifierWatcher::methodCall(GDBusConnection*, const gchar* sender, const gchar*,
                                           const gchar*, const gchar* method, GVariant* parameters,
                                           GDBusMethodInvocation* invocation, gpointer data) {
  auto* self = static_cast<FakeStatusNotifierWatcher*>(data);
  const gchar* service = nullptr;
  g_variant_get(parameters, "(&s)", &service);
  if (g_strcmp0(method, "RegisterStatusNotifierItem") == 0) {
    if (!service || !*service) {
      g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS,
                                            "no service given");
      return;
    }
    self->registerItem(service, sender ? sender : "");
  } else {
    self->emit("StatusNotifierHostRegistered", nullptr);
  }
  g_dbus_method_invocation_return_value(invocation, nullptr);
}

void FakeStatusNotifierWatcher::registerItem(const std::string& service,
                                             const std::string& sender) {
  registrations_.push_back({service, sender});
  // An item may name itself by its bus name or by its object path on the caller's connection.
  const bool byPath = service.front() == '/';
  const std::string key = byPath ? sender + service : service;
  const std::string busName = byPath ? sender : service;
  const bool known =
      std::any_of(items_.begin(), items_.end(), [&](const Item& item) { return item.key == key; });
  if (!known) {
    Item item{key, 0};
    item.watchID = g_bus_watch_name_on_connection(
        connection_.get(), busName.c_str(), G_BUS_NAME_WATCHER_FLAGS_NONE, nullptr,
        &FakeStatusNotifierWatcher::itemVanished, this, nullptr);
    items_.push_back(item);
  }
  emit("StatusNotifierItemRegistered", g_variant_new("(s)", key.c_str()));
}

void FakeStatusNotifierWatcher::itemVanished(GDBusConnection*, const gchar* name, gpointer data) {
  auto* self = static_cast<FakeStatusNotifierWatcher*>(data);
  const std::string busName = name;
  for (auto item = self->items_.begin(); item != self->items_.end();) {
    const bool ofName = item->key == busName || item->key.rfind(busName + "/", 0) == 0;
    if (!ofName) {
      ++item;
      continue;
    }
    g_bus_unwatch_name(item->watchID);
    self->unregistered_.push_back(item->key);
    self->emit("StatusNotifierItemUnregistered", g_variant_new("(s)", item->key.c_str()));
    item = self->items_.erase(item);
  }
}

GVariant* FakeStatusNotifierWatcher::getProperty(GDBusConnection*, const gchar*, const gchar*,
                                                 const gchar*, const gchar* property,
                                                 GError** error, gpointer data) {
  const auto* self = static_cast<const FakeStatusNotifierWatcher*>(data);
  const std::string name = property;
  if (name == "RegisteredStatusNotifierItems") {
    GVariantBuilder keys;
    g_variant_builder_init(&keys, G_VARIANT_TYPE("as"));
    for (const Item& item : self->items_) g_variant_builder_add(&keys, "s", item.key.c_str());
    return g_variant_builder_end(&keys);
  }
  if (name == "IsStatusNotifierHostRegistered") return g_variant_new_boolean(TRUE);
  if (name == "ProtocolVersion") return g_variant_new_int32(0);
  g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_PROPERTY, "No property %s", property);
  return nullptr;
}

void FakeStatusNotifierWatcher::emit(const char* signal, GVariant* parameters) {
  if (!connection_) {
    if (parameters) g_variant_unref(g_variant_ref_sink(parameters));
    return;
  }
  g_dbus_connection_emit_signal(connection_.get(), nullptr, kPath, kInterface, signal, parameters,
                                nullptr);
}

}  // namespace qby::test
