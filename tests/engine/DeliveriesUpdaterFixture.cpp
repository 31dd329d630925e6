#include "DeliveriesUpdaterFixture.h"

#include <chrono>
#include <thread>

namespace qby::test {

FixtureServer::FixtureServer()
    : server_(GObjectPtr<SoupServer>::adopt(soup_server_new(nullptr, nullptr))) {
  soup_server_add_handler(server_.get(), nullptr, &FixtureServer::handle, this, nullptr);
  GError* error = nullptr;
  if (!soup_server_listen_local(server_.get(), 0, SOUP_SERVER_LISTEN_IPV4_ONLY, &error)) {
    GErrorPtr owned(error);
    ADD_FAILURE() << "listen: " << owned->message;
    return;
  }
  GSList* uris = soup_server_get_uris(server_.get());
  if (uris) port_ = g_uri_get_port(static_cast<GUri*>(uris->data));
  g_slist_free_full(uris, reinterpret_cast<GDestroyNotify>(g_uri_unref));
}

FixtureServer::~FixtureServer() {
  releaseHeld(Response{503, "text/plain", "gone"});
  soup_server_disconnect(server_.get());
}

std::string FixtureServer::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<SeenRequest> FixtureServer::seen() const {
  std::lock_guard lock(mutex_);
  return seen_;
}

void FixtureServer::releaseHeld(const Response& response) {
  for (SoupServerMessage* message : held_) {
    soup_server_message_set_status(message, response.status, nullptr);
    soup_server_message_set_response(message, response.contentType.c_str(), SOUP_MEMORY_COPY,
                                     response.body.data(), response.body.size());
    soup_server_message_unpause(message);
    g_object_unref(message);
  }
  held_.clear();
}

void FixtureServer::handle(SoupServer*, SoupServerMessage* message, const char* path, GHashTable*,
                           gpointer data) {
  auto& self = *static_cast<FixtureServer*>(data);
  SeenRequest seen;
  seen.method = soup_server_message_get_method(message);
  seen.path = path;
  if (const char* query = g_uri_get_query(soup_server_message_get_uri(message))) seen.query = query;
  SoupMessageHeadersIter iter;
  soup_message_headers_iter_init(&iter, soup_server_message_get_request_headers(message));
  const char* name = nullptr;
  const char* value = nullptr;
  while (soup_message_headers_iter_next(&iter, &name, &value)) seen.headers[name] = value;
  SoupMessageBody* body = soup_server_message_get_request_body(message);
  if (body && body->length > 0) {
    GBytes* bytes = soup_message_body_flatten(body);
    gsize size = 0;
    const auto* data = static_cast<const char*>(g_bytes_get_data(bytes, &size));
    seen.body.assign(data, size);
    g_bytes_unref(bytes);
  }
  {
    std::lock_guard lock(self.mutex_);
    self.seen_.push_back(seen);
  }

  const std::string_view route(path);
  if (route == "/hold") {
    soup_server_message_pause(message);
    self.held_.push_back(static_cast<SoupServerMessage*>(g_object_ref(message)));
    return;
  }
  if (route == "/endless") {
    // Headers and a first chunk, then nothing more: the response never ends.
    soup_server_message_set_status(message, 200, nullptr);
    SoupMessageHeaders* headers = soup_server_message_get_response_headers(message);
    soup_message_headers_set_encoding(headers, SOUP_ENCODING_CHUNKED);
    soup_message_headers_set_content_type(headers, "text/plain", nullptr);
    soup_message_body_append(soup_server_message_get_response_body(message), SOUP_MEMORY_STATIC,
                             "partial", 7);
    return;
  }
  if (route == "/trickle") {
    // A few bytes at a time, never silent for long, finishing only long after any sensible
    // deadline: the silence limit never fires, only an overall one does.
    soup_server_message_set_status(message, 200, nullptr);
    SoupMessageHeaders* headers = soup_server_message_get_response_headers(message);
    soup_message_headers_set_encoding(headers, SOUP_ENCODING_CHUNKED);
    soup_message_headers_set_content_type(headers, "text/plain", nullptr);
    struct Trickle {
      GObjectPtr<SoupServerMessage> message;
      int left = 100;
      bool finished = false;
    };
    auto* trickle = new Trickle{GObjectPtr<SoupServerMessage>::adopt(
        static_cast<SoupServerMessage*>(g_object_ref(message)))};
    g_signal_connect(message, "finished", G_CALLBACK(+[](SoupServerMessage*, gpointer data) {
                       static_cast<Trickle*>(data)->finished = true;
                     }),
                     trickle);
    g_timeout_add_full(
        G_PRIORITY_DEFAULT, 200,
        [](gpointer data) -> gboolean {
          auto* t = static_cast<Trickle*>(data);
          if (t->finished) return G_SOURCE_REMOVE;
          SoupMessageBody* body = soup_server_message_get_response_body(t->message.get());
          soup_message_body_append(body, SOUP_MEMORY_STATIC, "tick\n", 5);
          if (--t->left == 0) soup_message_body_complete(body);
          soup_server_message_unpause(t->message.get());
          return t->left == 0 ? G_SOURCE_REMOVE : G_SOURCE_CONTINUE;
        },
        trickle,
        [](gpointer data) {
          auto* t = static_cast<Trickle*>(data);
          g_signal_handlers_disconnect_by_data(t->message.get(), t);
          delete t;
        });
    return;
  }
  if (route == "/echo") {
    // The request as the server saw it, one "name: value" line each, then the body.
    std::string text = "method: " + seen.method + "\n";
    for (const auto& [header, content] : seen.headers) text += header + ": " + content + "\n";
    text += "body: " + seen.body + "\n";
    soup_server_message_set_status(message, 200, nullptr);
    soup_server_message_set_response(message, "text/plain; charset=utf-8", SOUP_MEMORY_COPY,
                                     text.data(), text.size());
    return;
  }
  // A route with its query ("/path?a=b") wins over the bare path.
  auto found = self.routes_.find(std::string(route) + "?" + seen.query);
  if (seen.query.empty() || found == self.routes_.end())
    found = self.routes_.find(std::string(route));
  if (found == self.routes_.end()) {
    soup_server_message_set_status(message, 404, nullptr);
    return;
  }
  soup_server_message_set_status(message, found->second.status, nullptr);
  soup_server_message_set_response(message, found->second.contentType.c_str(), SOUP_MEMORY_COPY,
                                   found->second.body.data(), found->second.body.size());
}

Value delivery(const std::string& uuid, const std::string& behaviour, const Dictionary& options) {
  return Value(Dictionary{{"uuid", Value(uuid)},
                          {"hash", Value("hash-" + uuid)},
                          {"name", Value("Parcel " + uuid)},
                          {"from", Value(behaviour)},
                          {"no", Value("NO" + uuid)},
                          {"extra", Value(json(options))},
                          {"modified", Value(1700000000.5)},
                          {"itemCacheJSON", Value("")}});
}

std::string json(const Dictionary& options) {
  return Value(options).toJSON().value_or("{}");
}

void UpdaterTest::SetUp() {
  setenv("PORVANE_RESOURCE_DIR", resourceDir_.c_str(), 1);
  unsetenv("PORVANE_FIXTURE_SERVER");
  server_ = std::make_unique<FixtureServer>();
}

void UpdaterTest::TearDown() {
  if (updater_) updater_->invalidate();
  updater_.reset();
  settle();
  server_.reset();
}

std::shared_ptr<QBYDeliveriesUpdater> UpdaterTest::makeUpdater(bool limitMemoryUsage) {
  setenv("PORVANE_RESOURCE_DIR", resourceDir_.c_str(), 1);
  updater_ = QBYDeliveriesUpdater::deliveriesUpdater(std::nullopt, limitMemoryUsage);
  updater_->setDelegate(delegate_);
  updater_->setUserAgent(std::string(kTestUserAgent));
  return updater_;
}

bool UpdaterTest::run(const Array& deliveries) {
  const std::size_t before = delegate_->completions().size();
  updater_->updateDeliveriesWithSettings(deliveries);
  return waitFor([&] { return delegate_->completions().size() > before; });
}

void UpdaterTest::settle() {
  // Work on the queue may still post to the main thread; give it a moment, then drain.
  for (int i = 0; i < 5; ++i) {
    MainQueue::drain();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  MainQueue::drain();
}

}  // namespace qby::test
