#include "QBYGlobalShortcuts.h"

#include <unistd.h>

#include <algorithm>

#include "platform/Log.h"

namespace porvane::express {

namespace {

constexpr const char* kPortalName = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char* kShortcutsInterface = "org.freedesktop.portal.GlobalShortcuts";
constexpr const char* kRequestInterface = "org.freedesktop.portal.Request";
constexpr int kCallTimeoutMilliseconds = 25000;

// What a finished portal request hands to its continuation.
struct ResponseContext {
  QBYGlobalShortcuts* owner;
  void (*handler)(QBYGlobalShortcuts&, guint32, GVariant*);
};

}  // namespace

QBYGlobalShortcuts::QBYGlobalShortcuts(GDBusConnection* sessionBus,
                                       std::function<void(Shortcut)> activated)
    : bus_(qby::GObjectPtr<GDBusConnection>::retain(sessionBus)),
      activated_(std::move(activated)),
      cancellable_(qby::GObjectPtr<GCancellable>::adopt(g_cancellable_new())) {}

QBYGlobalShortcuts::~QBYGlobalShortcuts() {
  g_cancellable_cancel(cancellable_.get());
  closeSession();
}

void QBYGlobalShortcuts::update(const std::optional<std::string>& addTrigger,
                                const std::optional<std::string>& showTrigger) {
  addTrigger_ = addTrigger;
  showTrigger_ = showTrigger;
  closeSession();
  if (!addTrigger_ && !showTrigger_) return;
  if (!portalAvailable_) {
    checkPortal();
  } else if (*portalAvailable_) {
    createSession();
  }
}

void QBYGlobalShortcuts::checkPortal() {
  g_dbus_connection_call(
      bus_.get(), kPortalName, kPortalPath, "org.freedesktop.DBus.Properties", "Get",
      g_variant_new("(ss)", kShortcutsInterface, "version"), G_VARIANT_TYPE("(v)"),
      G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMilliseconds, cancellable_.get(),
      [](GObject* source, GAsyncResult* result, gpointer data) {
        GError* rawError = nullptr;
        qby::GVariantPtr reply(
            g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &rawError));
        const qby::GErrorPtr error(rawError);
        if (error && g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_CANCELLED)) return;
        auto* self = static_cast<QBYGlobalShortcuts*>(data);
        self->portalAvailable_ = static_cast<bool>(reply);
        if (!reply) {
          qby::log("Global shortcuts are not registered: the desktop has no shortcuts portal (%@)",
                   std::string(error ? error->message : "no answer"));
          return;
        }
        if (self->addTrigger_ || self->showTrigger_) self->createSession();
      },
      this);
}

std::string QBYGlobalShortcuts::nextToken() {
  return "porvane" + std::to_string(getpid()) + "_" + std::to_string(++tokenCounter_);
}

guint QBYGlobalShortcuts::awaitResponse(const std::string& token,
                                        void (*handler)(QBYGlobalShortcuts&, guint32, GVariant*)) {
  // The portal answers on a request object whose path it derives from our bus name and the
  // token; listening before the call means the answer cannot slip past.
  std::string sender = g_dbus_connection_get_unique_name(bus_.get());
  sender.erase(0, 1);
  std::replace(sender.begin(), sender.end(), '.', '_');
  const std::string path = std::string(kPortalPath) + "/request/" + sender + "/" + token;
  if (responseSubscription_)
    g_dbus_connection_signal_unsubscribe(bus_.get(), responseSubscription_);
  responseSubscription_ = g_dbus_connection_signal_subscribe(
      bus_.get(), kPortalName, kRequestInterface, "Response", path.c_str(), nullptr,
      G_DBUS_SIGNAL_FLAGS_NONE,
      [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
         GVariant* parameters, gpointer data) {
        auto* context = static_cast<ResponseContext*>(data);
        if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(ua{sv})"))) return;
        guint32 response = 2;
        GVariant* results = nullptr;
        g_variant_get(parameters, "(u@a{sv})", &response, &results);
        auto* owner = context->owner;
        auto handler = context->handler;
        // The request is answered once; the handler may start the next one.
        g_dbus_connection_signal_unsubscribe(owner->bus_.get(),
                                             std::exchange(owner->responseSubscription_, 0));
        handler(*owner, response, results);
        g_variant_unref(results);
      },
      new ResponseContext{this, handler},
      [](gpointer data) { delete static_cast<ResponseContext*>(data); });
  return responseSubscription_;
}

void QBYGlobalShortcuts::createSession() {
  const std::string token = nextToken();
  const std::string sessionToken = nextToken();
  awaitResponse(token, [](QBYGlobalShortcuts& self, guint32 response, GVariant* results) {
    const gchar* handle = nullptr;
    if (response != 0 || !g_variant_lookup(results, "session_handle", "&s", &handle)) {
      qby::log("Global shortcuts are not registered: the portal refused a session (%@)",
               static_cast<long>(response));
      return;
    }
    self.sessionHandle_ = handle;
    self.bindShortcuts(self.sessionHandle_);
  });
  GVariantBuilder options;
  g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
  g_variant_builder_add(&options, "{sv}", "handle_token", g_variant_new_string(token.c_str()));
  g_variant_builder_add(&options, "{sv}", "session_handle_token",
                        g_variant_new_string(sessionToken.c_str()));
  g_dbus_connection_call(bus_.get(), kPortalName, kPortalPath, kShortcutsInterface, "CreateSession",
                         g_variant_new("(a{sv})", &options), G_VARIANT_TYPE("(o)"),
                         G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMilliseconds, cancellable_.get(),
                         nullptr, nullptr);
}

void QBYGlobalShortcuts::bindShortcuts(const std::string& sessionHandle) {
  if (!activatedSubscription_)
    activatedSubscription_ = g_dbus_connection_signal_subscribe(
        bus_.get(), kPortalName, kShortcutsInterface, "Activated", kPortalPath, nullptr,
        G_DBUS_SIGNAL_FLAGS_NONE, &QBYGlobalShortcuts::onActivated, this, nullptr);

  GVariantBuilder shortcuts;
  g_variant_builder_init(&shortcuts, G_VARIANT_TYPE("a(sa{sv})"));
  const auto add = [&shortcuts](const char* id, const char* description,
                                const std::optional<std::string>& trigger) {
    if (!trigger) return;
    GVariantBuilder properties;
    g_variant_builder_init(&properties, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&properties, "{sv}", "description", g_variant_new_string(description));
    if (!trigger->empty() && g_utf8_validate(trigger->c_str(), -1, nullptr))
      g_variant_builder_add(&properties, "{sv}", "preferred_trigger",
                            g_variant_new_string(trigger->c_str()));
    g_variant_builder_add(&shortcuts, "(sa{sv})", id, &properties);
  };
  add(kAddID, "Add a delivery", addTrigger_);
  add(kShowID, "Show the deliveries", showTrigger_);

  const std::string token = nextToken();
  awaitResponse(token, [](QBYGlobalShortcuts& self, guint32 response, GVariant*) {
    self.bound_ = response == 0;
    if (!self.bound_)
      qby::log("Global shortcuts are not registered: the portal did not bind them (%@)",
               static_cast<long>(response));
  });
  GVariantBuilder options;
  g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
  g_variant_builder_add(&options, "{sv}", "handle_token", g_variant_new_string(token.c_str()));
  g_dbus_connection_call(
      bus_.get(), kPortalName, kPortalPath, kShortcutsInterface, "BindShortcuts",
      g_variant_new("(oa(sa{sv})sa{sv})", sessionHandle.c_str(), &shortcuts, "", &options),
      G_VARIANT_TYPE("(o)"), G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMilliseconds, cancellable_.get(),
      nullptr, nullptr);
}

void QBYGlobalShortcuts::closeSession() {
  bound_ = false;
  if (responseSubscription_)
    g_dbus_connection_signal_unsubscribe(bus_.get(), std::exchange(responseSubscription_, 0));
  if (activatedSubscription_)
    g_dbus_connection_signal_unsubscribe(bus_.get(), std::exchange(activatedSubscription_, 0));
  if (sessionHandle_.empty()) return;
  // Closing the session is how the portal drops its shortcuts.
  g_dbus_connection_call(bus_.get(), kPortalName, sessionHandle_.c_str(),
                         "org.freedesktop.portal.Session", "Close", nullptr, nullptr,
                         G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMilliseconds, nullptr, nullptr,
                         nullptr);
  sessionHandle_.clear();
}

void QBYGlobalShortcuts::onActivated(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                                     const gchar*, GVariant* parameters, gpointer data) {
  auto* self = static_cast<QBYGlobalShortcuts*>(data);
  if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(osta{sv})"))) return;
  const gchar* session = nullptr;
  const gchar* id = nullptr;
  g_variant_get(parameters, "(&o&sta{sv})", &session, &id, nullptr, nullptr);
  if (self->sessionHandle_ != session || !self->activated_) return;
  const std::string shortcut = id;
  if (shortcut == kAddID)
    self->activated_(Shortcut::Add);
  else if (shortcut == kShowID)
    self->activated_(Shortcut::Show);
}

}  // namespace porvane::express
