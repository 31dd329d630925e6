#include "QBYStatusItem.h"

#include <unistd.h>

#include <utility>

#include "platform/Format.h"
#include "platform/GLibPtr.h"
#include "platform/Log.h"

namespace porvane {

namespace {

constexpr const char* kItemInterface = "org.kde.StatusNotifierItem";
constexpr const char* kItemPath = "/StatusNotifierItem";
constexpr const char* kMenuPath = "/MenuBar";
constexpr const char* kWatcherName = "org.kde.StatusNotifierWatcher";
constexpr const char* kWatcherPath = "/StatusNotifierWatcher";
constexpr const char* kWatcherInterface = "org.kde.StatusNotifierWatcher";
constexpr const char* kIconName = "porvane-panel-symbolic";
constexpr const char* kTitle = "Porvane";

constexpr const char* kItemXML = R"xml(<node>
  <interface name="org.kde.StatusNotifierItem">
    <property name="Category" type="s" access="read"/>
    <property name="Id" type="s" access="read"/>
    <property name="Title" type="s" access="read"/>
    <property name="Status" type="s" access="read"/>
    <property name="WindowId" type="i" access="read"/>
    <property name="IconThemePath" type="s" access="read"/>
    <property name="IconName" type="s" access="read"/>
    <property name="IconPixmap" type="a(iiay)" access="read"/>
    <property name="OverlayIconName" type="s" access="read"/>
    <property name="OverlayIconPixmap" type="a(iiay)" access="read"/>
    <property name="AttentionIconName" type="s" access="read"/>
    <property name="AttentionIconPixmap" type="a(iiay)" access="read"/>
    <property name="AttentionMovieName" type="s" access="read"/>
    <property name="ToolTip" type="(sa(iiay)ss)" access="read"/>
    <property name="ItemIsMenu" type="b" access="read"/>
    <property name="Menu" type="o" access="read"/>
    <method name="ContextMenu"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
    <method name="Activate"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
    <method name="SecondaryActivate"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
    <method name="Scroll"><arg name="delta" type="i" direction="in"/><arg name="orientation" type="s" direction="in"/></method>
    <signal name="NewTitle"/>
    <signal name="NewIcon"/>
    <signal name="NewAttentionIcon"/>
    <signal name="NewOverlayIcon"/>
    <signal name="NewToolTip"/>
    <signal name="NewStatus"><arg name="status" type="s"/></signal>
  </interface>
</node>)xml";

struct NodeInfoDeleter {
  void operator()(GDBusNodeInfo* info) const { g_dbus_node_info_unref(info); }
};
using NodeInfoPtr = std::unique_ptr<GDBusNodeInfo, NodeInfoDeleter>;

GVariant* emptyPixmaps() {
  return g_variant_new_array(G_VARIANT_TYPE("(iiay)"), nullptr, 0);
}

std::string errorText(const GError* error) {
  return error && error->message ? std::string(error->message) : std::string("unknown error");
}

}  // namespace

struct QBYStatusItem::Impl {
  Impl(GDBusConnection* connection, QBYStatusItemDelegate& itemDelegate)
      : bus(qby::GObjectPtr<GDBusConnection>::retain(connection)),
        delegate(itemDelegate),
        menu(kMenuPath,
             [this](MenuCommand command, const std::optional<std::string>& uuid,
                    std::size_t package) { delegate.menuCommandChosen(command, uuid, package); }),
        busName(qby::format("org.kde.StatusNotifierItem-%d-1", static_cast<int>(getpid()))) {
    GError* rawError = nullptr;
    nodeInfo.reset(g_dbus_node_info_new_for_xml(kItemXML, &rawError));
    qby::GErrorPtr error(rawError);
    if (!nodeInfo) qby::log("Error reading the panel icon's interface: %@", errorText(error.get()));
  }

  ~Impl() { withdraw(); }

  void show() {
    if (objectID != 0 || !nodeInfo) return;
    static const GDBusInterfaceVTable vtable = {&Impl::methodCall, &Impl::getProperty, nullptr, {}};
    GError* rawError = nullptr;
    objectID = g_dbus_connection_register_object(bus.get(), kItemPath, nodeInfo->interfaces[0],
                                                 &vtable, this, nullptr, &rawError);
    qby::GErrorPtr error(rawError);
    if (objectID == 0) {
      qby::log("Error showing the panel icon: %@", errorText(error.get()));
      return;
    }
    registrationName = busName;
    ownerID = g_bus_own_name_on_connection(bus.get(), busName.c_str(), G_BUS_NAME_OWNER_FLAGS_NONE,
                                           &Impl::nameAcquired, &Impl::nameLost, this, nullptr);
    watchID = g_bus_watch_name_on_connection(bus.get(), kWatcherName, G_BUS_NAME_WATCHER_FLAGS_NONE,
                                             &Impl::watcherAppeared, &Impl::watcherVanished, this,
                                             nullptr);
  }

  void withdraw() {
    cancelRegistration();
    if (watchID != 0) g_bus_unwatch_name(std::exchange(watchID, 0));
    if (ownerID != 0) g_bus_unown_name(std::exchange(ownerID, 0));
    if (objectID != 0) g_dbus_connection_unregister_object(bus.get(), std::exchange(objectID, 0));
    nameOwned = false;
    watcherOwner.reset();
    registered = false;
  }

  void cancelRegistration() {
    if (registering) g_cancellable_cancel(registering.get());
    registering.reset();
  }

  // Registers once the item has its name and a watcher runs; each watcher needs it once.
  void registerWithWatcher() {
    if (!nameOwned || !watcherOwner || registered) return;
    cancelRegistration();
    registering = qby::GObjectPtr<GCancellable>::adopt(g_cancellable_new());
    // Addressed to the watcher's unique name, so that an answer of a watcher that has since
    // left cannot count for its successor.
    g_dbus_connection_call(
        bus.get(), watcherOwner->c_str(), kWatcherPath, kWatcherInterface,
        "RegisterStatusNotifierItem", g_variant_new("(s)", registrationName.c_str()), nullptr,
        G_DBUS_CALL_FLAGS_NONE, -1, registering.get(), &Impl::registerDone, this);
  }

  static void registerDone(GObject* source, GAsyncResult* result, gpointer data) {
    GError* rawError = nullptr;
    qby::GVariantPtr reply(
        g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &rawError));
    qby::GErrorPtr error(rawError);
    // A cancelled call belongs to an item that was hidden or destroyed, or to a watcher that
    // left: this object may be gone.
    if (error && g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_CANCELLED)) return;
    auto* self = static_cast<Impl*>(data);
    self->registering.reset();
    if (!reply) {
      qby::log("Error registering the panel icon with the StatusNotifierWatcher: %@",
               errorText(error.get()));
      return;
    }
    self->registered = true;
  }

  static void nameAcquired(GDBusConnection*, const gchar*, gpointer data) {
    auto* self = static_cast<Impl*>(data);
    self->nameOwned = true;
    self->registerWithWatcher();
  }

  static void nameLost(GDBusConnection* connection, const gchar* name, gpointer data) {
    auto* self = static_cast<Impl*>(data);
    if (!connection) return;  // the bus connection closed; nothing can be registered any more
    if (self->nameOwned && self->registrationName == self->busName) {
      // Another owner took the name over: the item lives on under the connection's own name.
      self->registered = false;
    }
    const char* unique = g_dbus_connection_get_unique_name(connection);
    if (!unique) return;
    if (self->registrationName != unique)
      qby::log("The panel icon could not keep the bus name %@; it registers as %@",
               std::string(name), std::string(unique));
    self->registrationName = unique;
    self->nameOwned = true;
    self->registerWithWatcher();
  }

  static void watcherAppeared(GDBusConnection*, const gchar*, const gchar* owner, gpointer data) {
    auto* self = static_cast<Impl*>(data);
    self->cancelRegistration();
    self->registered = false;
    self->watcherOwner = owner;
    self->registerWithWatcher();
  }

  static void watcherVanished(GDBusConnection*, const gchar*, gpointer data) {
    auto* self = static_cast<Impl*>(data);
    self->cancelRegistration();
    self->registered = false;
    self->watcherOwner.reset();
    if (!self->loggedMissingWatcher) {
      self->loggedMissingWatcher = true;
      qby::log(
          "No StatusNotifierWatcher on the session bus: the panel shows no icon until one starts");
    }
  }

  static void methodCall(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                         const gchar* method, GVariant*, GDBusMethodInvocation* invocation,
                         gpointer data) {
    auto* self = static_cast<Impl*>(data);
    g_dbus_method_invocation_return_value(invocation, nullptr);
    // A panel shows the menu itself on the other clicks and scrolling means nothing here.
    if (g_strcmp0(method, "Activate") == 0) self->delegate.statusItemActivated();
  }

  static GVariant* getProperty(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                               const gchar* property, GError** error, gpointer data) {
    const auto* self = static_cast<const Impl*>(data);
    const std::string name = property;
    if (name == "Category") return g_variant_new_string("ApplicationStatus");
    if (name == "Id") return g_variant_new_string("porvane-express");
    if (name == "Title") return g_variant_new_string(kTitle);
    if (name == "Status") return g_variant_new_string("Active");
    if (name == "WindowId") return g_variant_new_int32(0);
    if (name == "IconName") return g_variant_new_string(kIconName);
    if (name == "IconThemePath" || name == "OverlayIconName" || name == "AttentionIconName" ||
        name == "AttentionMovieName")
      return g_variant_new_string("");
    if (name == "IconPixmap" || name == "OverlayIconPixmap" || name == "AttentionIconPixmap")
      return emptyPixmaps();
    if (name == "ToolTip") return self->toolTip();
    if (name == "ItemIsMenu") return g_variant_new_boolean(self->itemIsMenu);
    if (name == "Menu") return g_variant_new_object_path(kMenuPath);
    g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_PROPERTY, "No property %s", property);
    return nullptr;
  }

  GVariant* toolTip() const {
    return g_variant_new("(s@a(iiay)ss)", kIconName, emptyPixmaps(), kTitle, statusText.c_str());
  }

  // Tells panels that a property changed: by the item's own signal, which panels follow, and
  // by the standard one for those that read properties.
  void propertyChanged(const char* property, GVariant* value, const char* itemSignal) {
    if (objectID == 0) {
      g_variant_unref(g_variant_ref_sink(value));
      return;
    }
    if (itemSignal)
      g_dbus_connection_emit_signal(bus.get(), nullptr, kItemPath, kItemInterface, itemSignal,
                                    nullptr, nullptr);
    GVariantBuilder changed;
    g_variant_builder_init(&changed, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&changed, "{sv}", property, value);
    g_dbus_connection_emit_signal(
        bus.get(), nullptr, kItemPath, "org.freedesktop.DBus.Properties", "PropertiesChanged",
        g_variant_new("(sa{sv}as)", kItemInterface, &changed, nullptr), nullptr);
  }

  qby::GObjectPtr<GDBusConnection> bus;
  QBYStatusItemDelegate& delegate;
  QBYDeliveriesMenu menu;
  const std::string busName;
  std::string registrationName;  // the well-known name, or the unique one when it was taken
  NodeInfoPtr nodeInfo;
  guint objectID = 0, ownerID = 0, watchID = 0;
  bool nameOwned = false;
  std::optional<std::string> watcherOwner;  // the running watcher's unique name
  qby::GObjectPtr<GCancellable> registering;
  bool registered = false;
  bool loggedMissingWatcher = false;
  bool itemIsMenu = false;
  std::string statusText;
};

QBYStatusItem::QBYStatusItem(GDBusConnection* sessionBus, QBYStatusItemDelegate& delegate)
    : impl_(std::make_unique<Impl>(sessionBus, delegate)) {}

QBYStatusItem::~QBYStatusItem() = default;

void QBYStatusItem::setVisible(bool visible) {
  if (visible)
    impl_->show();
  else
    impl_->withdraw();
}

bool QBYStatusItem::visible() const {
  return impl_->objectID != 0;
}

bool QBYStatusItem::registeredWithWatcher() const {
  return impl_->registered;
}

void QBYStatusItem::setItemIsMenu(bool itemIsMenu) {
  if (impl_->itemIsMenu == itemIsMenu) return;
  impl_->itemIsMenu = itemIsMenu;
  impl_->propertyChanged("ItemIsMenu", g_variant_new_boolean(itemIsMenu), nullptr);
}

void QBYStatusItem::setDeliveries(std::vector<MenuDelivery> deliveries,
                                  const std::string& statusText) {
  impl_->menu.setDeliveries(std::move(deliveries));
  const std::string text = displayText(statusText, true);
  if (text == impl_->statusText) return;
  impl_->statusText = text;
  impl_->propertyChanged("ToolTip", impl_->toolTip(), "NewToolTip");
}

void QBYStatusItem::setEmptyText(const std::string& text) {
  impl_->menu.setEmptyText(text);
}

}  // namespace porvane
