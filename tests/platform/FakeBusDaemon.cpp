#include "FakeBusDaemon.h"

#include <gio/gio.h>

#include <condition_variable>
#include <stdexcept>
#include <thread>

#include "platform/GLibPtr.h"
#include "support/TestSupport.h"

namespace qby::test {

namespace {

constexpr const char* kIntrospection =
    "<node><interface name='org.freedesktop.DBus'>"
    "<method name='NameHasOwner'><arg type='s' direction='in'/>"
    "<arg type='b' direction='out'/></method>"
    "<method name='StartServiceByName'><arg type='s' direction='in'/>"
    "<arg type='u' direction='in'/><arg type='u' direction='out'/></method>"
    "</interface></node>";

}  // namespace

struct FakeBusDaemon::Impl {
  mutable std::mutex mutex;
  std::set<std::string> owned;
  std::vector<std::string> starts;
  std::atomic<int> hasOwnerCalls{0};

  std::string address;
  GMainContext* context = nullptr;
  GMainLoop* loop = nullptr;
  GDBusNodeInfo* node = nullptr;
  std::vector<GDBusConnection*> connections;
  std::thread thread;

  static void onMethodCall(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                           const gchar* method, GVariant* parameters,
                           GDBusMethodInvocation* invocation, gpointer data) {
    auto& impl = *static_cast<Impl*>(data);
    const gchar* name = nullptr;
    if (g_strcmp0(method, "NameHasOwner") == 0) {
      g_variant_get(parameters, "(&s)", &name);
      impl.hasOwnerCalls++;
      std::lock_guard lock(impl.mutex);
      g_dbus_method_invocation_return_value(invocation,
                                            g_variant_new("(b)", impl.owned.count(name) != 0));
    } else {
      guint32 flags = 0;
      g_variant_get(parameters, "(&su)", &name, &flags);
      std::lock_guard lock(impl.mutex);
      impl.starts.emplace_back(name);
      g_dbus_method_invocation_return_value(invocation, g_variant_new("(u)", 1u));
    }
  }

  static gboolean onNewConnection(GDBusServer*, GDBusConnection* connection, gpointer data) {
    auto& impl = *static_cast<Impl*>(data);
    static const GDBusInterfaceVTable vtable = {onMethodCall, nullptr, nullptr, {}};
    g_dbus_connection_register_object(connection, "/org/freedesktop/DBus", impl.node->interfaces[0],
                                      &vtable, &impl, nullptr, nullptr);
    impl.connections.push_back(G_DBUS_CONNECTION(g_object_ref(connection)));
    return TRUE;
  }

  void run(std::mutex& readyMutex, std::condition_variable& ready, bool& started) {
    g_main_context_push_thread_default(context);
    const std::string folder = makeTempDir("bus").string();
    GCharPtr guid(g_dbus_generate_guid());
    GError* rawError = nullptr;
    GDBusServer* server =
        g_dbus_server_new_sync(("unix:tmpdir=" + folder).c_str(), G_DBUS_SERVER_FLAGS_NONE,
                               guid.get(), nullptr, nullptr, &rawError);
    GErrorPtr error(rawError);
    if (server) {
      g_signal_connect(server, "new-connection", G_CALLBACK(onNewConnection), this);
      g_dbus_server_start(server);
      address = g_dbus_server_get_client_address(server);
    }
    {
      std::lock_guard lock(readyMutex);
      started = true;
    }
    ready.notify_one();
    if (server) g_main_loop_run(loop);
    for (GDBusConnection* connection : connections) {
      g_dbus_connection_close_sync(connection, nullptr, nullptr);
      g_object_unref(connection);
    }
    if (server) {
      g_dbus_server_stop(server);
      g_object_unref(server);
    }
    g_main_context_pop_thread_default(context);
  }
};

FakeBusDaemon::FakeBusDaemon() : impl_(std::make_unique<Impl>()) {
  impl_->node = g_dbus_node_info_new_for_xml(kIntrospection, nullptr);
  impl_->context = g_main_context_new();
  impl_->loop = g_main_loop_new(impl_->context, FALSE);
  std::mutex readyMutex;
  std::condition_variable ready;
  bool started = false;
  impl_->thread = std::thread([&] { impl_->run(readyMutex, ready, started); });
  std::unique_lock lock(readyMutex);
  ready.wait(lock, [&] { return started; });
  lock.unlock();
  if (impl_->address.empty()) {
    impl_->thread.join();
    throw std::runtime_error("the fake bus could not listen");
  }
}

FakeBusDaemon::~FakeBusDaemon() {
  // Through the loop's own context: a quit before the loop runs would be lost.
  g_main_context_invoke(
      impl_->context,
      [](gpointer loop) {
        g_main_loop_quit(static_cast<GMainLoop*>(loop));
        return G_SOURCE_REMOVE;
      },
      impl_->loop);
  impl_->thread.join();
  g_main_loop_unref(impl_->loop);
  g_main_context_unref(impl_->context);
  g_dbus_node_info_unref(impl_->node);
}

std::string FakeBusDaemon::address() const {
  return impl_->address;
}

void FakeBusDaemon::setOwned(const std::string& name, bool owned) {
  std::lock_guard lock(impl_->mutex);
  if (owned)
    impl_->owned.insert(name);
  else
    impl_->owned.erase(name);
}

std::vector<std::string> FakeBusDaemon::startRequests() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->starts;
}

int FakeBusDaemon::nameHasOwnerCalls() const {
  return impl_->hasOwnerCalls.load();
}

}  // namespace qby::test
