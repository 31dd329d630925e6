#include "CompanionFakes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <memory>
#include <sstream>

#include "CliProcess.h"
#include "platform/MainQueue.h"
#include "support/TestSupport.h"

namespace porvane::test {

namespace {

constexpr const char* kNotificationsName = "org.freedesktop.Notifications";
constexpr const char* kNotificationsPath = "/org/freedesktop/Notifications";

constexpr const char* kNotificationsXML = R"(<node>
  <interface name="org.freedesktop.Notifications">
    <method name="GetCapabilities"><arg type="as" direction="out"/></method>
    <method name="Notify">
      <arg type="s" direction="in"/><arg type="u" direction="in"/><arg type="s" direction="in"/>
      <arg type="s" direction="in"/><arg type="s" direction="in"/><arg type="as" direction="in"/>
      <arg type="a{sv}" direction="in"/><arg type="i" direction="in"/>
      <arg type="u" direction="out"/>
    </method>
    <method name="CloseNotification"><arg type="u" direction="in"/></method>
    <method name="GetServerInformation">
      <arg type="s" direction="out"/><arg type="s" direction="out"/>
      <arg type="s" direction="out"/><arg type="s" direction="out"/>
    </method>
    <signal name="NotificationClosed"><arg type="u"/><arg type="u"/></signal>
    <signal name="ActionInvoked"><arg type="u"/><arg type="s"/></signal>
  </interface>
</node>)";

struct NodeInfoDeleter {
  void operator()(GDBusNodeInfo* info) const { g_dbus_node_info_unref(info); }
};

bool ownName(GDBusConnection* connection, const char* name, std::string* error) {
  GError* rawError = nullptr;
  qby::GVariantPtr reply(g_dbus_connection_call_sync(
      connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
      "RequestName", g_variant_new("(su)", name, 4u /* do not queue */), G_VARIANT_TYPE("(u)"),
      G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &rawError));
  qby::GErrorPtr failure(rawError);
  if (!reply) {
    if (error) *error = failure->message;
    return false;
  }
  guint32 code = 0;
  g_variant_get(reply.get(), "(u)", &code);
  if (code != 1 && error) *error = std::string(name) + " is owned already";
  return code == 1;
}

}  // namespace

qby::GObjectPtr<GDBusConnection> connectTo(const std::string& address, std::string* error) {
  GError* rawError = nullptr;
  std::string busAddress = address;
  if (busAddress.empty()) {
    qby::GCharPtr session(g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &rawError));
    qby::GErrorPtr failure(rawError);
    if (!session) {
      if (error) *error = failure->message;
      return {};
    }
    busAddress = session.get();
  }
  rawError = nullptr;
  auto connection = qby::GObjectPtr<GDBusConnection>::adopt(g_dbus_connection_new_for_address_sync(
      busAddress.c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, &rawError));
  qby::GErrorPtr failure(rawError);
  if (!connection && error) *error = failure->message;
  if (connection) g_dbus_connection_set_exit_on_close(connection.get(), FALSE);
  return connection;
}

// --- Notification server -----------------------------------------------------------------------

FakeNotificationServer::~FakeNotificationServer() {
  if (connection_ && objectID_) g_dbus_connection_unregister_object(connection_.get(), objectID_);
  if (connection_) g_dbus_connection_close_sync(connection_.get(), nullptr, nullptr);
}

bool FakeNotificationServer::start(const std::string& address, std::string* error) {
  connection_ = connectTo(address, error);
  if (!connection_) return false;
  std::unique_ptr<GDBusNodeInfo, NodeInfoDeleter> info(
      g_dbus_node_info_new_for_xml(kNotificationsXML, nullptr));
  static const GDBusInterfaceVTable vtable = {
      &FakeNotificationServer::methodCall, nullptr, nullptr, {}};
  GError* rawError = nullptr;
  objectID_ =
      g_dbus_connection_register_object(connection_.get(), kNotificationsPath, info->interfaces[0],
                                        &vtable, this, nullptr, &rawError);
  qby::GErrorPtr failure(rawError);
  if (!objectID_) {
    if (error) *error = failure->message;
    return false;
  }
  return ownName(connection_.get(), kNotificationsName, error);
}

void FakeNotificationServer::methodCall(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                                        const gchar* method, GVariant* parameters,
                                        GDBusMethodInvocation* invocation, gpointer data) {
  auto* self = static_cast<FakeNotificationServer*>(data);
  const std::string name = method;
  if (name == "GetCapabilities") {
    const char* capabilities[] = {"actions", "body", nullptr};
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(^as)", capabilities));
  } else if (name == "GetServerInformation") {
    g_dbus_method_invocation_return_value(invocation,
                                          g_variant_new("(ssss)", "fake", "test", "1", "1.2"));
  } else if (name == "Notify") {
    const gchar* appName = nullptr;
    guint32 replaces = 0;
    const gchar* icon = nullptr;
    const gchar* summary = nullptr;
    const gchar* body = nullptr;
    GVariantIter* actions = nullptr;
    GVariant* hints = nullptr;
    gint32 timeout = 0;
    g_variant_get(parameters, "(&su&s&s&sas@a{sv}i)", &appName, &replaces, &icon, &summary, &body,
                  &actions, &hints, &timeout);
    Shown shown;
    shown.replacesID = replaces;
    shown.id = replaces ? replaces : self->nextID_++;
    shown.appName = appName;
    shown.summary = summary;
    shown.body = body;
    const gchar* key = nullptr;
    const gchar* label = nullptr;
    while (g_variant_iter_next(actions, "&s", &key) && g_variant_iter_next(actions, "&s", &label))
      shown.actions.emplace_back(key, label);
    g_variant_iter_free(actions);
    g_variant_unref(hints);
    self->shown_.push_back(shown);
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(u)", shown.id));
  } else if (name == "CloseNotification") {
    guint32 id = 0;
    g_variant_get(parameters, "(u)", &id);
    self->closed_.push_back(id);
    g_dbus_method_invocation_return_value(invocation, nullptr);
    g_dbus_connection_emit_signal(self->connection_.get(), nullptr, kNotificationsPath,
                                  kNotificationsName, "NotificationClosed",
                                  g_variant_new("(uu)", id, 3u), nullptr);
  } else {
    g_dbus_method_invocation_return_dbus_error(invocation,
                                               "org.freedesktop.DBus.Error.UnknownMethod", method);
  }
}

std::optional<std::string> FakeNotificationServer::actionKey(const Shown& shown,
                                                             const std::string& label) {
  for (const auto& [key, text] : shown.actions)
    if (text == label) return key;
  return std::nullopt;
}

void FakeNotificationServer::invoke(std::uint32_t id, const std::string& actionKey) {
  g_dbus_connection_emit_signal(connection_.get(), nullptr, kNotificationsPath, kNotificationsName,
                                "ActionInvoked", g_variant_new("(us)", id, actionKey.c_str()),
                                nullptr);
  g_dbus_connection_flush_sync(connection_.get(), nullptr, nullptr);
}

// --- Launcher entry ----------------------------------------------------------------------------

LauncherEntryListener::LauncherEntryListener() {
  std::string error;
  connection_ = connectTo("", &error);
  if (!connection_) {
    ADD_FAILURE() << "no session bus for the launcher entry: " << error;
    return;
  }
  subscription_ = g_dbus_connection_signal_subscribe(
      connection_.get(), nullptr, "com.canonical.Unity.LauncherEntry", "Update", nullptr, nullptr,
      G_DBUS_SIGNAL_FLAGS_NONE,
      [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
         GVariant* parameters, gpointer data) {
        const gchar* uri = nullptr;
        GVariant* properties = nullptr;
        if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(sa{sv})"))) return;
        g_variant_get(parameters, "(&s@a{sv})", &uri, &properties);
        gint64 count = -1;
        g_variant_lookup(properties, "count", "x", &count);
        g_variant_unref(properties);
        static_cast<LauncherEntryListener*>(data)->counts_.push_back(count);
      },
      this, nullptr);
}

LauncherEntryListener::~LauncherEntryListener() {
  if (connection_ && subscription_)
    g_dbus_connection_signal_unsubscribe(connection_.get(), subscription_);
  if (connection_) g_dbus_connection_close_sync(connection_.get(), nullptr, nullptr);
}

// --- Private bus -------------------------------------------------------------------------------

PrivateBus::PrivateBus() : folder_(qby::test::makeTempDir("bus")), services_(folder_ / "services") {
  std::filesystem::create_directories(services_);
  address_ = "unix:path=" + (folder_ / "socket").string();
  qby::test::writeFile(folder_ / "bus.conf",
                       "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration "
                       "1.0//EN\" \"http://www.freedesktop.org/standards/dbus/1.0/"
                       "busconfig.dtd\">\n<busconfig>\n  <type>session</type>\n  <listen>" +
                           address_ + "</listen>\n  <servicedir>" + services_.string() +
                           "</servicedir>\n  <policy context=\"default\">\n"
                           "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                           "    <allow eavesdrop=\"true\"/>\n    <allow own=\"*\"/>\n"
                           "  </policy>\n</busconfig>\n");
  auto launcher = qby::GObjectPtr<GSubprocessLauncher>::adopt(
      g_subprocess_launcher_new(G_SUBPROCESS_FLAGS_NONE));
  // What the bus activates talks to this bus as its session bus.
  g_subprocess_launcher_setenv(launcher.get(), "DBUS_SESSION_BUS_ADDRESS", address_.c_str(), TRUE);
  g_subprocess_launcher_set_stderr_file_path(launcher.get(), (folder_ / "daemon.log").c_str());
  const std::string config = "--config-file=" + (folder_ / "bus.conf").string();
  const char* argv[] = {"dbus-daemon", config.c_str(), "--nofork", "--nopidfile", nullptr};
  GError* rawError = nullptr;
  process_ = qby::GObjectPtr<GSubprocess>::adopt(
      g_subprocess_launcher_spawnv(launcher.get(), argv, &rawError));
  qby::GErrorPtr failure(rawError);
  if (!process_) {
    ADD_FAILURE() << "cannot start dbus-daemon: " << failure->message;
    return;
  }
  std::string error;
  qby::MainQueue::runUntil(
      [&] {
        if (!std::filesystem::exists(folder_ / "socket")) return false;
        connection_ = connectTo(address_, &error);
        return static_cast<bool>(connection_);
      },
      20);
  if (!connection_) ADD_FAILURE() << "cannot reach the private bus: " << error;
}

PrivateBus::~PrivateBus() {
  if (connection_) g_dbus_connection_close_sync(connection_.get(), nullptr, nullptr);
  if (process_) {
    g_subprocess_send_signal(process_.get(), SIGTERM);
    g_subprocess_wait(process_.get(), nullptr, nullptr);
  }
}

void PrivateBus::addService(const std::string& name, const std::string& commandLine) {
  qby::test::writeFile(services_ / (name + ".service"),
                       "[D-BUS Service]\nName=" + name + "\nExec=" + commandLine + "\n");
  // The daemon reads its service folder again when told to.
  if (connection_)
    qby::GVariantPtr(g_dbus_connection_call_sync(
        connection_.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "ReloadConfig", nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr));
}

bool PrivateBus::hasOwner(const std::string& name) {
  if (!connection_) return false;
  qby::GVariantPtr reply(g_dbus_connection_call_sync(
      connection_.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
      "NameHasOwner", g_variant_new("(s)", name.c_str()), G_VARIANT_TYPE("(b)"),
      G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr));
  gboolean owned = FALSE;
  if (reply) g_variant_get(reply.get(), "(b)", &owned);
  return owned;
}

unsigned PrivateBus::startService(const std::string& name, std::string* error) {
  if (!connection_) return 0;
  GError* rawError = nullptr;
  qby::GVariantPtr reply(g_dbus_connection_call_sync(
      connection_.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
      "StartServiceByName", g_variant_new("(su)", name.c_str(), 0u), G_VARIANT_TYPE("(u)"),
      G_DBUS_CALL_FLAGS_NONE, 60000, nullptr, &rawError));
  qby::GErrorPtr failure(rawError);
  if (!reply) {
    if (error) *error = failure->message;
    return 0;
  }
  guint32 code = 0;
  g_variant_get(reply.get(), "(u)", &code);
  return code;
}

// --- Shortcuts portal -------------------------------------------------------------------------

namespace {

constexpr const char* kPortalXML = R"xml(<node>
  <interface name="org.freedesktop.portal.GlobalShortcuts">
    <method name="CreateSession">
      <arg type="a{sv}" direction="in"/><arg type="o" direction="out"/>
    </method>
    <method name="BindShortcuts">
      <arg type="o" direction="in"/><arg type="a(sa{sv})" direction="in"/>
      <arg type="s" direction="in"/><arg type="a{sv}" direction="in"/>
      <arg type="o" direction="out"/>
    </method>
    <property name="version" type="u" access="read"/>
    <signal name="Activated">
      <arg type="o"/><arg type="s"/><arg type="t"/><arg type="a{sv}"/>
    </signal>
  </interface>
  <interface name="org.freedesktop.portal.Session">
    <method name="Close"/>
  </interface>
</node>)xml";

constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";

// The request path the portal answers on for a caller and a token.
std::string requestPath(std::string sender, const std::string& token) {
  sender.erase(0, 1);
  std::replace(sender.begin(), sender.end(), '.', '_');
  return std::string(kPortalPath) + "/request/" + sender + "/" + token;
}

}  // namespace

FakeShortcutsPortal::~FakeShortcutsPortal() {
  for (guint id : objectIDs_) g_dbus_connection_unregister_object(connection_.get(), id);
  if (connection_) g_dbus_connection_close_sync(connection_.get(), nullptr, nullptr);
}

bool FakeShortcutsPortal::start(std::string* error) {
  connection_ = connectTo("", error);
  if (!connection_) return false;
  static std::unique_ptr<GDBusNodeInfo, NodeInfoDeleter> info(
      g_dbus_node_info_new_for_xml(kPortalXML, nullptr));
  static const GDBusInterfaceVTable vtable = {
      &FakeShortcutsPortal::methodCall, &FakeShortcutsPortal::getProperty, nullptr, {}};
  // The portal object, and every session below it (a subtree would do; one path is enough for
  // the sessions a test opens).
  objectIDs_.push_back(g_dbus_connection_register_object(
      connection_.get(), kPortalPath, info->interfaces[0], &vtable, this, nullptr, nullptr));
  for (unsigned session = 1; session <= 8; ++session)
    objectIDs_.push_back(g_dbus_connection_register_object(
        connection_.get(),
        (std::string(kPortalPath) + "/session/fake/s" + std::to_string(session)).c_str(),
        info->interfaces[1], &vtable, this, nullptr, nullptr));
  return ownName(connection_.get(), "org.freedesktop.portal.Desktop", error);
}

GVariant* FakeShortcutsPortal::getProperty(GDBusConnection*, const gchar*, const gchar*,
                                           const gchar*, const gchar* property, GError** error,
                                           gpointer) {
  if (std::string(property) == "version") return g_variant_new_uint32(1);
  g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_PROPERTY, "%s", property);
  return nullptr;
}

void FakeShortcutsPortal::respond(const std::string& sender, const std::string& token,
                                  GVariant* results) {
  g_dbus_connection_emit_signal(connection_.get(), sender.c_str(),
                                requestPath(sender, token).c_str(),
                                "org.freedesktop.portal.Request", "Response",
                                g_variant_new("(u@a{sv})", 0u, results), nullptr);
}

void FakeShortcutsPortal::methodCall(GDBusConnection*, const gchar* sender, const gchar*,
                                     const gchar* path, const gchar* method, GVariant* parameters,
                                     GDBusMethodInvocation* invocation, gpointer data) {
  auto* self = static_cast<FakeShortcutsPortal*>(data);
  const std::string name = method;
  if (name == "Close") {
    self->closed_.emplace_back(path);
    g_dbus_method_invocation_return_value(invocation, nullptr);
    return;
  }
  if (name == "CreateSession") {
    qby::GVariantPtr options(g_variant_get_child_value(parameters, 0));
    const gchar* token = "";
    g_variant_lookup(options.get(), "handle_token", "&s", &token);
    const std::string request = requestPath(sender, token);
    const std::string session =
        std::string(kPortalPath) + "/session/fake/s" + std::to_string(++self->sessions_);
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(o)", request.c_str()));
    GVariantBuilder results;
    g_variant_builder_init(&results, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&results, "{sv}", "session_handle",
                          g_variant_new_string(session.c_str()));
    self->respond(sender, token, g_variant_builder_end(&results));
    return;
  }
  if (name == "BindShortcuts") {
    const gchar* session = nullptr;
    GVariantIter* shortcuts = nullptr;
    const gchar* parent = nullptr;
    GVariant* options = nullptr;
    g_variant_get(parameters, "(&oa(sa{sv})&s@a{sv})", &session, &shortcuts, &parent, &options);
    const gchar* id = nullptr;
    GVariant* properties = nullptr;
    while (g_variant_iter_next(shortcuts, "(&s@a{sv})", &id, &properties)) {
      const gchar* trigger = "";
      g_variant_lookup(properties, "preferred_trigger", "&s", &trigger);
      self->bound_.push_back({session, id, trigger});
      g_variant_unref(properties);
    }
    g_variant_iter_free(shortcuts);
    const gchar* token = "";
    g_variant_lookup(options, "handle_token", "&s", &token);
    const std::string tokenText = token;
    g_variant_unref(options);
    g_dbus_method_invocation_return_value(
        invocation, g_variant_new("(o)", requestPath(sender, tokenText).c_str()));
    GVariantBuilder results;
    g_variant_builder_init(&results, G_VARIANT_TYPE_VARDICT);
    self->respond(sender, tokenText, g_variant_builder_end(&results));
    return;
  }
  g_dbus_method_invocation_return_dbus_error(invocation, "org.freedesktop.DBus.Error.UnknownMethod",
                                             method);
}

void FakeShortcutsPortal::activate(const std::string& session, const std::string& id) {
  GVariantBuilder options;
  g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
  g_dbus_connection_emit_signal(
      connection_.get(), nullptr, kPortalPath, "org.freedesktop.portal.GlobalShortcuts",
      "Activated",
      g_variant_new("(osta{sv})", session.c_str(), id.c_str(), static_cast<guint64>(0), &options),
      nullptr);
  g_dbus_connection_flush_sync(connection_.get(), nullptr, nullptr);
}

// --- logind ------------------------------------------------------------------------------------

bool FakeLogind::start(const std::string& address, std::string* error) {
  connection_ = connectTo(address, error);
  return connection_ && ownName(connection_.get(), "org.freedesktop.login1", error);
}

void FakeLogind::prepareForSleep(bool sleeping) {
  g_dbus_connection_emit_signal(connection_.get(), nullptr, "/org/freedesktop/login1",
                                "org.freedesktop.login1.Manager", "PrepareForSleep",
                                g_variant_new("(b)", sleeping), nullptr);
  g_dbus_connection_flush_sync(connection_.get(), nullptr, nullptr);
}

// --- The companion -----------------------------------------------------------------------------

std::string CompanionProcess::programPath() {
  return PORVANE_EXPRESS_PATH;
}

CompanionProcess::CompanionProcess(const std::vector<std::string>& arguments,
                                   const std::map<std::string, std::string>& environment)
    : folder_(qby::test::makeTempDir("companion")) {
  auto launcher = qby::GObjectPtr<GSubprocessLauncher>::adopt(
      g_subprocess_launcher_new(G_SUBPROCESS_FLAGS_STDIN_INHERIT));
  g_subprocess_launcher_set_stdout_file_path(launcher.get(), (folder_ / "out").c_str());
  g_subprocess_launcher_set_stderr_file_path(launcher.get(), (folder_ / "err").c_str());
  for (const auto& [name, value] : environment)
    g_subprocess_launcher_setenv(launcher.get(), name.c_str(), value.c_str(), TRUE);
  const std::string program = programPath();
  std::vector<const char*> argv = {program.c_str()};
  for (const auto& argument : arguments) argv.push_back(argument.c_str());
  argv.push_back(nullptr);
  GError* rawError = nullptr;
  process_ = qby::GObjectPtr<GSubprocess>::adopt(
      g_subprocess_launcher_spawnv(launcher.get(), argv.data(), &rawError));
  qby::GErrorPtr failure(rawError);
  if (!process_) {
    ADD_FAILURE() << "cannot start porvane-express: " << failure->message;
    finished_ = true;
    return;
  }
  g_subprocess_wait_async(process_.get(), nullptr, &CompanionProcess::exited, this);
}

CompanionProcess::~CompanionProcess() {
  if (process_ && !finished_) {
    g_subprocess_force_exit(process_.get());
    qby::MainQueue::runUntil([this] { return finished_; }, 30);
  }
}

void CompanionProcess::exited(GObject*, GAsyncResult*, gpointer data) {
  static_cast<CompanionProcess*>(data)->finished_ = true;
}

std::optional<int> CompanionProcess::exitStatus() const {
  if (!process_ || !finished_) return std::nullopt;
  if (g_subprocess_get_if_exited(process_.get()))
    return g_subprocess_get_exit_status(process_.get());
  if (g_subprocess_get_if_signaled(process_.get()))
    return -g_subprocess_get_term_sig(process_.get());
  return std::nullopt;
}

bool CompanionProcess::waitForExit(double timeoutSeconds) {
  return qby::MainQueue::runUntil([this] { return finished_; }, timeoutSeconds);
}

void CompanionProcess::kill(int signal) {
  if (process_ && !finished_) g_subprocess_send_signal(process_.get(), signal);
}

std::string CompanionProcess::log() const {
  return readText(folder_ / "err");
}

bool CompanionProcess::waitForLog(const std::string& text, double timeoutSeconds,
                                  std::size_t times) {
  return qby::MainQueue::runUntil([&] { return occurrences(log(), text) >= times; },
                                  timeoutSeconds);
}

std::size_t occurrences(const std::string& whole, const std::string& text) {
  std::size_t count = 0;
  for (auto at = whole.find(text); at != std::string::npos; at = whole.find(text, at + 1)) ++count;
  return count;
}

}  // namespace porvane::test
