#include "QBYGeocoderOperation.h"

#include <geocode-glib/geocode-glib.h>
#include <libsoup/soup.h>

#include <algorithm>
#include <cmath>

#include "platform/Date.h"
#include "platform/GLibPtr.h"
#include "platform/Localization.h"
#include "platform/QBYUserDefaults.h"

// libgeocode-glib's Nominatim client drops the search area of a forward search, and keeps
// every answer in a disk cache of its own that would outlive the expiry of our cached places
// (a reset place would come back from it unasked). This subclass makes the requests itself:
// with the search area as Nominatim's "viewbox" (left,top,right,bottom, which the "bounded"
// flag the client sends applies to), with the product's user agent, and without that cache.
struct QBYNominatim {
  GeocodeNominatim parent;
  char* viewbox;
  SoupSession* session;
};
struct QBYNominatimClass {
  GeocodeNominatimClass parent_class;
};

G_DEFINE_TYPE(QBYNominatim, qby_nominatim, GEOCODE_TYPE_NOMINATIM)

namespace {

constexpr unsigned kRequestTimeout = 20;  // seconds

char* qbyNominatimURI(GeocodeNominatim* self, const char* uri) {
  const char* viewbox = reinterpret_cast<QBYNominatim*>(self)->viewbox;
  if (!viewbox || !uri || std::string_view(uri).find("/search?") == std::string_view::npos) {
    return g_strdup(uri);
  }
  qby::GCharPtr escaped(g_uri_escape_string(viewbox, ",", FALSE));
  return g_strconcat(uri, "&viewbox=", escaped.get(), nullptr);
}

// The body of a successful answer as valid UTF-8 text; an HTTP failure as an error of the
// client's domain (a server error counts as the service not being reachable).
char* qbyNominatimBody(SoupMessage* message, GBytes* bytes, GError** error) {
  const guint status = soup_message_get_status(message);
  if (!SOUP_STATUS_IS_SUCCESSFUL(status)) {
    g_set_error(error, GEOCODE_ERROR, GEOCODE_ERROR_INTERNAL_SERVER, "HTTP %u", status);
    return nullptr;
  }
  gsize size = 0;
  const char* data = bytes ? static_cast<const char*>(g_bytes_get_data(bytes, &size)) : "";
  return g_utf8_make_valid(data ? data : "", static_cast<gssize>(size));
}

SoupMessage* qbyNominatimMessage(GeocodeNominatim* self, const char* uri, GError** error) {
  qby::GCharPtr full(qbyNominatimURI(self, uri));
  SoupMessage* message = soup_message_new(SOUP_METHOD_GET, full.get());
  if (!message) {
    g_set_error(error, GEOCODE_ERROR, GEOCODE_ERROR_INVALID_ARGUMENTS, "Invalid address");
  }
  return message;
}

gchar* qbyNominatimQuery(GeocodeNominatim* self, const gchar* uri, GCancellable* cancellable,
                         GError** error) {
  auto message = qby::GObjectPtr<SoupMessage>::adopt(qbyNominatimMessage(self, uri, error));
  if (!message) return nullptr;
  qby::GBytesPtr bytes(soup_session_send_and_read(reinterpret_cast<QBYNominatim*>(self)->session,
                                                  message.get(), cancellable, error));
  if (!bytes) return nullptr;
  return qbyNominatimBody(message.get(), bytes.get(), error);
}

void qbyNominatimQueryAsync(GeocodeNominatim* self, const gchar* uri, GCancellable* cancellable,
                            GAsyncReadyCallback callback, gpointer data) {
  GTask* task = g_task_new(self, cancellable, callback, data);
  GError* error = nullptr;
  SoupMessage* message = qbyNominatimMessage(self, uri, &error);
  if (!message) {
    g_task_return_error(task, error);
    g_object_unref(task);
    return;
  }
  g_task_set_task_data(task, message, g_object_unref);
  soup_session_send_and_read_async(
      reinterpret_cast<QBYNominatim*>(self)->session, message, G_PRIORITY_DEFAULT, cancellable,
      [](GObject* session, GAsyncResult* result, gpointer taskData) {
        GTask* task = G_TASK(taskData);
        GError* error = nullptr;
        qby::GBytesPtr bytes(
            soup_session_send_and_read_finish(SOUP_SESSION(session), result, &error));
        char* body =
            bytes ? qbyNominatimBody(SOUP_MESSAGE(g_task_get_task_data(task)), bytes.get(), &error)
                  : nullptr;
        if (body) {
          g_task_return_pointer(task, body, g_free);
        } else {
          g_task_return_error(task, error);
        }
        g_object_unref(task);
      },
      task);
}

gchar* qbyNominatimQueryFinish(GeocodeNominatim*, GAsyncResult* result, GError** error) {
  return static_cast<gchar*>(g_task_propagate_pointer(G_TASK(result), error));
}

}  // namespace

static void qby_nominatim_finalize(GObject* object) {
  auto* self = reinterpret_cast<QBYNominatim*>(object);
  g_free(self->viewbox);
  g_clear_object(&self->session);
  G_OBJECT_CLASS(qby_nominatim_parent_class)->finalize(object);
}

static void qby_nominatim_class_init(QBYNominatimClass* klass) {
  G_OBJECT_CLASS(klass)->finalize = qby_nominatim_finalize;
  GEOCODE_NOMINATIM_CLASS(klass)->query = qbyNominatimQuery;
  GEOCODE_NOMINATIM_CLASS(klass)->query_async = qbyNominatimQueryAsync;
  GEOCODE_NOMINATIM_CLASS(klass)->query_finish = qbyNominatimQueryFinish;
}

static void qby_nominatim_init(QBYNominatim* self) {
  self->viewbox = nullptr;
  self->session = soup_session_new_with_options("user-agent", "Porvane (Linux; route map)",
                                                "timeout", kRequestTimeout, nullptr);
}

namespace qby {

double QBYGeocodeThrottle::reserve() {
  const double now = Date::now().timeIntervalSince1970();
  const double start = lastStart_ ? std::max(now, *lastStart_ + interval_) : now;
  lastStart_ = start;
  return start - now;
}

struct QBYGeocoderOperation::State {
  std::string baseURL;
  std::shared_ptr<QBYGeocodeThrottle> throttle;
  std::optional<QBYSearchRegion> region;
  Completion completion;
  GObjectPtr<GCancellable> cancellable = GObjectPtr<GCancellable>::adopt(g_cancellable_new());
  guint timer = 0;
  bool retried = false;
};

namespace {

using State = QBYGeocoderOperation::State;
using Failure = QBYGeocoderOperation::Failure;
using Placemark = QBYGeocoderOperation::Placemark;

void search(const std::shared_ptr<State>& state, const std::string& text);

void finish(const std::shared_ptr<State>& state, const QBYGeocoderOperation::Answer& answer) {
  if (!state->completion) return;
  // The completion may drop the operation; keep it alive until it returns.
  QBYGeocoderOperation::Completion completion = std::move(state->completion);
  state->completion = nullptr;
  completion(answer);
}

Failure failureFor(const GError* error, const std::string& text) {
  Failure failure;
  const bool geocodeError = error && error->domain == GEOCODE_ERROR;
  failure.connection = error && (!geocodeError || error->code == GEOCODE_ERROR_INTERNAL_SERVER) &&
                       !g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED);
  if (failure.connection) {
    failure.message = QBYLocalizedString("Couldn’t connect");
  } else if (!error || (geocodeError && error->code == GEOCODE_ERROR_NO_MATCHES)) {
    failure.message =
        text.empty() ? std::string() : QBYLocalizedString("This location could not be found");
  } else {
    GCharPtr valid(g_utf8_make_valid(error->message, -1));
    failure.message = valid.get();
  }
  return failure;
}

std::optional<Placemark> bestAnswer(GList* places) {
  for (GList* item = places; item; item = item->next) {
    GeocodeLocation* location = geocode_place_get_location(GEOCODE_PLACE(item->data));
    if (!location) continue;
    Placemark placemark;
    placemark.latitude = geocode_location_get_latitude(location);
    placemark.longitude = geocode_location_get_longitude(location);
    const double accuracy = geocode_location_get_accuracy(location);
    placemark.radius = accuracy > 0 ? accuracy : 0;
    return placemark;
  }
  return std::nullopt;
}

struct SearchCall {
  std::shared_ptr<State> state;
  std::string text;
};

void searched(GObject* source, GAsyncResult* result, gpointer data) {
  std::unique_ptr<SearchCall> call(static_cast<SearchCall*>(data));
  GError* rawError = nullptr;
  GList* places = geocode_forward_search_finish(GEOCODE_FORWARD(source), result, &rawError);
  GErrorPtr error(rawError);
  std::optional<Placemark> best = bestAnswer(places);
  g_list_free_full(places, g_object_unref);
  g_object_unref(source);
  const auto& state = call->state;
  if (g_cancellable_is_cancelled(state->cancellable.get())) return;
  if (best) return finish(state, *best);
  const Failure failure = failureFor(error.get(), call->text);
  if (!failure.connection && !state->retried) {
    const std::string simpler = QBYPlaceTextWithoutPostalCode(call->text);
    if (simpler != call->text) {
      state->retried = true;
      return search(state, simpler);
    }
  }
  finish(state, failure);
}

void startSearch(const std::shared_ptr<State>& state, const std::string& text) {
  // The same properties geocode_nominatim_new() sets; no maintainer address is sent.
  auto* nominatim = static_cast<QBYNominatim*>(
      g_object_new(qby_nominatim_get_type(), "base-url", state->baseURL.c_str(),
                   "maintainer-email-address", "", nullptr));
  auto backend = GObjectPtr<GeocodeNominatim>::adopt(GEOCODE_NOMINATIM(nominatim));
  GeocodeForward* forward = geocode_forward_new_for_string(text.c_str());
  geocode_forward_set_backend(forward, GEOCODE_BACKEND(backend.get()));
  geocode_forward_set_answer_count(forward, 5);
  if (state->region) {
    const QBYSearchRegion& r = *state->region;
    const double half = r.extent / 2;
    const double dLat = half / 111320.0;
    const double cosLat = std::max(std::cos(r.latitude * M_PI / 180), 0.01);
    const double dLon = std::min(half / (111320.0 * cosLat), 180.0);
    const double top = std::min(r.latitude + dLat, 90.0);
    const double bottom = std::max(r.latitude - dLat, -90.0);
    const double left = std::max(r.longitude - dLon, -180.0);
    const double right = std::min(r.longitude + dLon, 180.0);
    char viewbox[4 * G_ASCII_DTOSTR_BUF_SIZE + 4];
    char number[G_ASCII_DTOSTR_BUF_SIZE];
    std::string joined;
    for (double value : {left, top, right, bottom}) {
      if (!joined.empty()) joined += ',';
      joined += g_ascii_formatd(number, sizeof number, "%.5f", value);
    }
    g_strlcpy(viewbox, joined.c_str(), sizeof viewbox);
    nominatim->viewbox = g_strdup(viewbox);
    geocode_forward_set_bounded(forward, TRUE);
  }
  geocode_forward_search_async(forward, state->cancellable.get(), searched,
                               new SearchCall{state, text});
}

void search(const std::shared_ptr<State>& state, const std::string& text) {
  const double wait = state->throttle->reserve();
  if (wait <= 0) return startSearch(state, text);
  auto* call = new SearchCall{state, text};
  state->timer = g_timeout_add_full(
      G_PRIORITY_DEFAULT, static_cast<guint>(std::ceil(wait * 1000)),
      [](gpointer data) -> gboolean {
        auto* c = static_cast<SearchCall*>(data);
        c->state->timer = 0;
        if (!g_cancellable_is_cancelled(c->state->cancellable.get()))
          startSearch(c->state, c->text);
        return G_SOURCE_REMOVE;
      },
      call, [](gpointer data) { delete static_cast<SearchCall*>(data); });
}

}  // namespace

QBYGeocoderOperation::QBYGeocoderOperation(std::string baseURL,
                                           std::shared_ptr<QBYGeocodeThrottle> throttle,
                                           std::string location, std::string regionName,
                                           std::optional<QBYSearchRegion> region)
    : baseURL_(std::move(baseURL)),
      throttle_(std::move(throttle)),
      location_(std::move(location)),
      regionName_(std::move(regionName)),
      region_(region) {}

QBYGeocoderOperation::~QBYGeocoderOperation() {
  cancel();
}

void QBYGeocoderOperation::start(Completion completion) {
  if (location_.empty() || !completion || state_) return;
  state_ = std::make_shared<State>();
  state_->baseURL = baseURL_;
  state_->throttle = throttle_ ? throttle_ : std::make_shared<QBYGeocodeThrottle>();
  state_->region = region_;
  state_->completion = std::move(completion);
  if (baseURL_.empty()) {
    // No service configured: the same answer as an unreachable one, on the next turn of the
    // main loop like any other answer.
    auto* pending = new std::shared_ptr<State>(state_);
    state_->timer = g_idle_add_full(
        G_PRIORITY_DEFAULT,
        [](gpointer data) -> gboolean {
          auto& state = *static_cast<std::shared_ptr<State>*>(data);
          state->timer = 0;
          finish(state, Failure{QBYLocalizedString("Couldn’t connect"), true});
          return G_SOURCE_REMOVE;
        },
        pending, [](gpointer data) { delete static_cast<std::shared_ptr<State>*>(data); });
    return;
  }
  GCharPtr valid(g_utf8_make_valid(location_.c_str(), static_cast<gssize>(location_.size())));
  search(state_, valid.get());
}

void QBYGeocoderOperation::cancel() {
  if (!state_) return;
  state_->completion = nullptr;
  g_cancellable_cancel(state_->cancellable.get());
  if (state_->timer) {
    g_source_remove(state_->timer);
    state_->timer = 0;
  }
}

std::string QBYGeocoderOperation::configuredBaseURL() {
  auto url = QBYUserDefaults::sharedDefaults().stringForKey("QBYMapGeocoderURL");
  if (url && !url->empty()) return *url;
#if PORVANE_TEST_HOOKS
  // Test programs never ask the public service: without a configured address, no geocoder.
  return std::string();
#else
  return "https://nominatim.openstreetmap.org";
#endif
}

}  // namespace qby
