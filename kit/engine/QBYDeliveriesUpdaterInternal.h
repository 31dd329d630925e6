// The request path of the deliveries updater: the libsoup session with what is in flight on it
// (Network) and one request on its way through it (Request), plus the reading of a script's
// request arguments. Private to the updater's sources.
//
// Threads: the runner's queue, whose thread made the session, so that libsoup answers there.
#pragma once

#include <gio/gio.h>
#include <libsoup/soup.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/QBYDeliveriesUpdater.h"
#include "engine/QBYScriptValues.h"
#include "platform/GLibPtr.h"

namespace qby {

namespace updater {

inline constexpr gsize kReadChunkSize = 64 * 1024;
// How long dropping the session waits for cancelled requests to call back.
inline constexpr guint kNetworkDrainSeconds = 10;

inline GObjectPtr<JSCValue> argument(const std::vector<JSCValue*>& arguments, std::size_t index) {
  if (index >= arguments.size()) return {};
  return GObjectPtr<JSCValue>::retain(arguments[index]);
}

inline std::optional<std::string> textArgument(const std::vector<JSCValue*>& arguments,
                                               std::size_t index) {
  return index < arguments.size() ? scriptText(arguments[index]) : std::nullopt;
}

// An option's text; only texts count, so a script's undefined or null means "not given".
inline std::optional<std::string> optionText(JSCValue* options, const char* key) {
  if (!options || !jsc_value_is_object(options)) return std::nullopt;
  auto value = GObjectPtr<JSCValue>::adopt(jsc_value_object_get_property(options, key));
  if (!value || jsc_value_is_undefined(value.get()) || jsc_value_is_null(value.get()))
    return std::nullopt;
  return scriptText(value.get());
}

// Header names are tokens and values must not break the header block; anything else from a
// script is dropped rather than sent.
inline bool isHeaderName(std::string_view name) {
  if (name.empty()) return false;
  static constexpr std::string_view kSeparators = "()<>@,;:\\\"/[]?={} \t";
  return std::all_of(name.begin(), name.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte > 32 && byte < 127 && kSeparators.find(c) == std::string_view::npos;
  });
}

inline bool isHeaderValue(std::string_view value) {
  return std::none_of(value.begin(), value.end(),
                      [](char c) { return c == '\r' || c == '\n' || c == '\0'; });
}

inline bool isHTTPAddress(GUri* uri) {
  const char* scheme = g_uri_get_scheme(uri);
  const char* host = g_uri_get_host(uri);
  return scheme &&
         (g_ascii_strcasecmp(scheme, "http") == 0 || g_ascii_strcasecmp(scheme, "https") == 0) &&
         host && *host;
}

}  // namespace updater

// The session and what is in flight on it. Lives on the queue's thread: libsoup answers on
// the main context of the thread that made the session.
struct QBYDeliveriesUpdater::Network {
  GObjectPtr<SoupSession> session;
  // The session's default agent. It is put on each request rather than on the session,
  // because libsoup lets a session's agent replace the one a request carries.
  std::string userAgent;
  // The updater's: invalidate cancels every request with it from the main thread.
  GObjectPtr<GCancellable> cancellable;
  int inFlight = 0;

  // Cancels everything in flight and lets the cancelled requests call back, so nothing they
  // hold outlives the session. Queue only.
  void drain() {
    g_cancellable_cancel(cancellable.get());
    GMainContext* context = g_main_context_get_thread_default();
    if (!context) context = g_main_context_default();
    bool expired = false;
    GSourcePtr timer(g_timeout_source_new_seconds(updater::kNetworkDrainSeconds));
    g_source_set_callback(
        timer.get(),
        [](gpointer flag) -> gboolean {
          *static_cast<bool*>(flag) = true;
          return G_SOURCE_REMOVE;
        },
        &expired, nullptr);
    g_source_attach(timer.get(), context);
    while (inFlight > 0 && !expired) g_main_context_iteration(context, TRUE);
    g_source_destroy(timer.get());
    session.reset();
  }
};

// One request on its way through libsoup. Owned by the callback that runs next.
struct QBYDeliveriesUpdater::Request {
  std::weak_ptr<QBYDeliveriesUpdater> updater;
  std::shared_ptr<Network> network;
  std::string url;  // as the script gave it
  Value requestID;
  std::optional<std::string> encoding;
  std::uint64_t generation = 0;
  GObjectPtr<SoupMessage> message;
  GObjectPtr<GInputStream> stream;
  // Every read of the body lands here first: a buffer of its own per read would be made and
  // freed again for each chunk, and freeing one that large hands the pages back to the system
  // just before the next read asks for them again.
  std::unique_ptr<char[]> chunk;
  std::string body;
  bool tooLarge = false;
  // The request's own cancellation: the session's (invalidate) passes to it, and so does its
  // deadline, which ends a request however its server trickles.
  GObjectPtr<GCancellable> cancellable = GObjectPtr<GCancellable>::adopt(g_cancellable_new());
  gulong sessionHandler = 0;
  GSourcePtr deadline;
  guint deadlineSeconds = 0;

  Request() = default;
  Request(const Request&) = delete;
  Request& operator=(const Request&) = delete;
  ~Request() {
    if (deadline) g_source_destroy(deadline.get());
    if (network && sessionHandler)
      g_cancellable_disconnect(network->cancellable.get(), sessionHandler);
    if (network) network->inFlight--;
  }

  // Cancelled by its deadline rather than by the session.
  bool timedOut() const {
    return g_cancellable_is_cancelled(cancellable.get()) &&
           !(network && g_cancellable_is_cancelled(network->cancellable.get()));
  }

  // Links the request's cancellation to the session's and starts its deadline on the
  // thread's context (the queue's).
  void arm(guint seconds) {
    deadlineSeconds = seconds;
    const auto cancel = [](GCancellable*, gpointer target) {
      g_cancellable_cancel(static_cast<GCancellable*>(target));
    };
    sessionHandler = g_cancellable_connect(network->cancellable.get(), G_CALLBACK(+cancel),
                                           g_object_ref(cancellable.get()), g_object_unref);
    deadline.reset(g_timeout_source_new_seconds(seconds));
    g_source_set_callback(
        deadline.get(),
        [](gpointer target) -> gboolean {
          g_cancellable_cancel(static_cast<GCancellable*>(target));
          return G_SOURCE_REMOVE;
        },
        g_object_ref(cancellable.get()), g_object_unref);
    GMainContext* context = g_main_context_get_thread_default();
    g_source_attach(deadline.get(), context ? context : g_main_context_default());
  }
};

}  // namespace qby
