#include "QBYTileSource.h"

#include <libsoup/soup.h>

#include <memory>
#include <string>

#include "platform/Paths.h"

struct QBYTileSourceObject {
  ShumateDataSource parent;
  char* urlTemplate;
  ShumateFileCache* cache;
  SoupSession* session;
};
struct QBYTileSourceObjectClass {
  ShumateDataSourceClass parent_class;
};

G_DEFINE_TYPE(QBYTileSourceObject, qby_tile_source_object, SHUMATE_TYPE_DATA_SOURCE)

namespace {

constexpr guint kCacheLimit = 100 * 1024 * 1024;
constexpr guint kTimeout = 20;

struct TileRequest {
  int x = 0;
  int y = 0;
  int zoom = 0;
  qby::GBytesPtr stale;  // a cached tile older than a week, shown when the network fails
  qby::GObjectPtr<SoupMessage> message;
};

QBYTileSourceObject* sourceOf(GTask* task) {
  return reinterpret_cast<QBYTileSourceObject*>(g_task_get_source_object(task));
}

std::string tileURL(const char* urlTemplate, int x, int y, int zoom) {
  std::string url = urlTemplate;
  const auto put = [&url](const std::string& key, int value) {
    for (auto at = url.find(key); at != std::string::npos; at = url.find(key)) {
      url.replace(at, key.size(), std::to_string(value));
    }
  };
  put("{x}", x);
  put("{y}", y);
  put("{z}", zoom);
  return url;
}

void returnTile(GTask* task, GBytes* bytes, GError* error) {
  if (bytes) {
    g_task_return_pointer(task, g_bytes_ref(bytes),
                          reinterpret_cast<GDestroyNotify>(g_bytes_unref));
    if (error) g_error_free(error);
  } else {
    g_task_return_error(
        task, error ? error : g_error_new_literal(G_IO_ERROR, G_IO_ERROR_FAILED, "No tile"));
  }
  g_object_unref(task);
}

void downloaded(GObject* session, GAsyncResult* result, gpointer data) {
  GTask* task = G_TASK(data);
  auto* request = static_cast<TileRequest*>(g_task_get_task_data(task));
  GError* error = nullptr;
  qby::GBytesPtr bytes(soup_session_send_and_read_finish(SOUP_SESSION(session), result, &error));
  const guint status = soup_message_get_status(request->message.get());
  if (bytes && SOUP_STATUS_IS_SUCCESSFUL(status) && g_bytes_get_size(bytes.get()) > 0) {
    const char* etag = soup_message_headers_get_one(
        soup_message_get_response_headers(request->message.get()), "ETag");
    shumate_file_cache_store_tile_async(sourceOf(task)->cache, request->x, request->y,
                                        request->zoom, bytes.get(), etag, nullptr, nullptr,
                                        nullptr);
    return returnTile(task, bytes.get(), error);
  }
  if (!error) {
    error = g_error_new(G_IO_ERROR, G_IO_ERROR_FAILED, "HTTP %u", status);
  }
  returnTile(task, request->stale.get(), error);
}

void download(GTask* task) {
  auto* request = static_cast<TileRequest*>(g_task_get_task_data(task));
  QBYTileSourceObject* self = sourceOf(task);
  const std::string url = tileURL(self->urlTemplate, request->x, request->y, request->zoom);
  request->message =
      qby::GObjectPtr<SoupMessage>::adopt(soup_message_new(SOUP_METHOD_GET, url.c_str()));
  if (!request->message) {
    return returnTile(task, request->stale.get(),
                      g_error_new(G_IO_ERROR, G_IO_ERROR_INVALID_ARGUMENT, "Invalid tile address"));
  }
  soup_session_send_and_read_async(self->session, request->message.get(), G_PRIORITY_DEFAULT,
                                   g_task_get_cancellable(task), downloaded, task);
}

void cached(GObject* cache, GAsyncResult* result, gpointer data) {
  GTask* task = G_TASK(data);
  auto* request = static_cast<TileRequest*>(g_task_get_task_data(task));
  GDateTime* modified = nullptr;
  char* etag = nullptr;
  qby::GBytesPtr bytes(shumate_file_cache_get_tile_finish(SHUMATE_FILE_CACHE(cache), &etag,
                                                          &modified, result, nullptr));
  g_free(etag);
  bool fresh = false;
  if (bytes && modified) {
    GDateTime* now = g_date_time_new_now_utc();
    fresh = g_date_time_difference(now, modified) / G_TIME_SPAN_SECOND <
            static_cast<GTimeSpan>(qby::QBYTileSource::kFreshSeconds);
    g_date_time_unref(now);
  }
  if (modified) g_date_time_unref(modified);
  if (bytes && fresh) return returnTile(task, bytes.get(), nullptr);
  request->stale = std::move(bytes);
  download(task);
}

void getTileDataAsync(ShumateDataSource* source, int x, int y, int zoom, GCancellable* cancellable,
                      GAsyncReadyCallback callback, gpointer data) {
  GTask* task = g_task_new(source, cancellable, callback, data);
  auto* request = new TileRequest{x, y, zoom, nullptr, {}};
  g_task_set_task_data(task, request, [](gpointer p) { delete static_cast<TileRequest*>(p); });
  shumate_file_cache_get_tile_async(reinterpret_cast<QBYTileSourceObject*>(source)->cache, x, y,
                                    zoom, cancellable, cached, task);
}

GBytes* getTileDataFinish(ShumateDataSource*, GAsyncResult* result, GError** error) {
  return static_cast<GBytes*>(g_task_propagate_pointer(G_TASK(result), error));
}

}  // namespace

static void qby_tile_source_object_finalize(GObject* object) {
  auto* self = reinterpret_cast<QBYTileSourceObject*>(object);
  g_free(self->urlTemplate);
  g_clear_object(&self->cache);
  g_clear_object(&self->session);
  G_OBJECT_CLASS(qby_tile_source_object_parent_class)->finalize(object);
}

static void qby_tile_source_object_class_init(QBYTileSourceObjectClass* klass) {
  G_OBJECT_CLASS(klass)->finalize = qby_tile_source_object_finalize;
  SHUMATE_DATA_SOURCE_CLASS(klass)->get_tile_data_async = getTileDataAsync;
  SHUMATE_DATA_SOURCE_CLASS(klass)->get_tile_data_finish = getTileDataFinish;
}

static void qby_tile_source_object_init(QBYTileSourceObject* self) {
  self->urlTemplate = nullptr;
  self->cache = nullptr;
  self->session = soup_session_new_with_options("user-agent", "Porvane (Linux; route map)",
                                                "timeout", kTimeout, nullptr);
}

namespace qby {

GObjectPtr<ShumateDataSource> QBYTileSource::create(const std::string& urlTemplate,
                                                    const std::filesystem::path& cacheFolder) {
  auto* self =
      static_cast<QBYTileSourceObject*>(g_object_new(qby_tile_source_object_get_type(), nullptr));
  self->urlTemplate = g_strdup(urlTemplate.c_str());
  self->cache = shumate_file_cache_new_full(kCacheLimit, "tiles", cacheFolder.c_str());
  return GObjectPtr<ShumateDataSource>::adopt(SHUMATE_DATA_SOURCE(self));
}

std::filesystem::path QBYTileSource::defaultCacheFolder() {
  return Paths::sharedCaches() / "map-tiles";
}

}  // namespace qby
