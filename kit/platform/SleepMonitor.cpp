#include "platform/SleepMonitor.h"

#include <gio/gio.h>

#include "platform/GLibPtr.h"
#include "platform/Log.h"

namespace qby {

struct SleepMonitor::Impl {
  // What a bus subscription reaches. The bus may deliver a signal already queued after the
  // subscription is gone, so it holds the receiver weakly, never the monitor itself.
  struct Receiver {
    std::function<void(Event)> callback;
  };
  std::shared_ptr<Receiver> receiver = std::make_shared<Receiver>();
  GObjectPtr<GDBusConnection> systemBus;
  guint subscription = 0;
  GObjectPtr<GNetworkMonitor> network;
  gulong networkHandler = 0;
  bool networkAvailable = true;

  void report(Event event) const {
    if (receiver->callback) receiver->callback(event);
  }

  static void onPrepareForSleep(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                                const gchar*, GVariant* parameters, gpointer data) {
    if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(b)"))) return;
    gboolean starting = TRUE;
    g_variant_get(parameters, "(b)", &starting);
    const auto receiver = static_cast<std::weak_ptr<Receiver>*>(data)->lock();
    // True announces the sleep; false says the machine is back.
    if (!starting && receiver && receiver->callback) receiver->callback(Event::Resumed);
  }

  static void onNetworkChanged(GNetworkMonitor*, gboolean available, gpointer data) {
    auto& impl = *static_cast<Impl*>(data);
    const bool cameBack = available && !impl.networkAvailable;
    impl.networkAvailable = available;
    if (cameBack) impl.report(Event::NetworkAvailable);
  }

  void watchSleep(const std::optional<std::string>& address) {
    GError* rawError = nullptr;
    if (address) {
      systemBus = GObjectPtr<GDBusConnection>::adopt(g_dbus_connection_new_for_address_sync(
          address->c_str(),
          static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                            G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
          nullptr, nullptr, &rawError));
    } else {
      systemBus =
          GObjectPtr<GDBusConnection>::adopt(g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &rawError));
    }
    const GErrorPtr error(rawError);
    if (!systemBus) {
      log("Not watching for the end of sleep: %@", std::string(error ? error->message : "no bus"));
      return;
    }
    subscription = g_dbus_connection_signal_subscribe(
        systemBus.get(), "org.freedesktop.login1", "org.freedesktop.login1.Manager",
        "PrepareForSleep", "/org/freedesktop/login1", nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
        onPrepareForSleep, std::make_unique<std::weak_ptr<Receiver>>(receiver).release(),
        [](gpointer data) {
          const std::unique_ptr<std::weak_ptr<Receiver>> owned(
              static_cast<std::weak_ptr<Receiver>*>(data));
        });
  }

  void watchNetwork() {
    network = GObjectPtr<GNetworkMonitor>::retain(g_network_monitor_get_default());
    if (!network) return;
    networkAvailable = g_network_monitor_get_network_available(network.get());
    networkHandler =
        g_signal_connect(network.get(), "network-changed", G_CALLBACK(onNetworkChanged), this);
  }
};

SleepMonitor::SleepMonitor(std::function<void(Event)> callback, SleepMonitorOptions options)
    : impl_(std::make_unique<Impl>()) {
  impl_->receiver->callback = std::move(callback);
  if (options.watchSleep) impl_->watchSleep(options.systemBusAddress);
  if (options.watchNetwork) impl_->watchNetwork();
}

SleepMonitor::~SleepMonitor() {
  if (impl_->subscription != 0)
    g_dbus_connection_signal_unsubscribe(impl_->systemBus.get(), impl_->subscription);
  if (impl_->networkHandler != 0)
    g_signal_handler_disconnect(impl_->network.get(), impl_->networkHandler);
}

bool SleepMonitor::watchingSleep() const {
  return impl_->subscription != 0;
}

}  // namespace qby
