#include "support/FixtureServer.h"

#include <future>
#include <utility>

namespace qby::test {

namespace {

constexpr const char* kStreamType = "text/plain";

void startChunked(SoupServerMessage* message) {
  soup_server_message_set_status(message, 200, nullptr);
  SoupMessageHeaders* headers = soup_server_message_get_response_headers(message);
  soup_message_headers_set_encoding(headers, SOUP_ENCODING_CHUNKED);
  soup_message_headers_set_content_type(headers, kStreamType, nullptr);
}

// A trickling answer: owns its message until the last chunk or until the client goes away.
struct Trickle {
  GObjectPtr<SoupServerMessage> message;
  int left = 100;
  bool finished = false;
};

}  // namespace

FixtureServer::FixtureServer(Thread thread)
    : thread_(thread),
      fallback_(Kind::Answer, std::make_shared<const Response>(Response{404, "", ""})) {
  if (thread_ == Thread::Caller) {
    context_.reset(g_main_context_ref_thread_default());
    listen();
    return;
  }
  context_.reset(g_main_context_new());
  loop_.reset(g_main_loop_new(context_.get(), FALSE));
  worker_ = std::thread([this] {
    g_main_context_push_thread_default(context_.get());
    listen();
    {
      std::lock_guard lock(mutex_);
      ready_ = true;
    }
    started_.notify_all();
    if (listening()) g_main_loop_run(loop_.get());
    if (server_) soup_server_disconnect(server_.get());
    server_.reset();
    g_main_context_pop_thread_default(context_.get());
  });
  std::unique_lock lock(mutex_);
  started_.wait(lock, [this] { return ready_; });
}

FixtureServer::~FixtureServer() {
  if (listening()) releaseHeld(Response{503, "text/plain", "gone"});
  if (thread_ == Thread::Caller) {
    if (server_) soup_server_disconnect(server_.get());
    return;
  }
  g_main_context_invoke(
      context_.get(),
      [](gpointer loop) -> gboolean {
        g_main_loop_quit(static_cast<GMainLoop*>(loop));
        return G_SOURCE_REMOVE;
      },
      loop_.get());
  worker_.join();
}

void FixtureServer::listen() {
  server_ = GObjectPtr<SoupServer>::adopt(soup_server_new(nullptr, nullptr));
  soup_server_add_handler(server_.get(), nullptr, &FixtureServer::handle, this, nullptr);
  GError* error = nullptr;
  if (!soup_server_listen_local(server_.get(), 0, SOUP_SERVER_LISTEN_IPV4_ONLY, &error)) {
    GErrorPtr owned(error);
    error_ = owned ? owned->message : "could not listen";
    return;
  }
  GSList* uris = soup_server_get_uris(server_.get());
  if (uris) port_ = g_uri_get_port(static_cast<GUri*>(uris->data));
  g_slist_free_full(uris, reinterpret_cast<GDestroyNotify>(g_uri_unref));
  if (port_ == 0) error_ = "no address to listen on";
}

std::string FixtureServer::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void FixtureServer::route(const std::string& path, Response response) {
  std::lock_guard lock(mutex_);
  routes_[path] = Route{Kind::Answer, std::make_shared<const Response>(std::move(response))};
}

void FixtureServer::redirect(const std::string& path, const std::string& location,
                             unsigned status) {
  std::lock_guard lock(mutex_);
  Route redirect(Kind::Redirect);
  redirect.status = status;
  redirect.location = location;
  routes_[path] = std::move(redirect);
}

void FixtureServer::setFallback(Response response) {
  std::lock_guard lock(mutex_);
  fallback_ = Route{Kind::Answer, std::make_shared<const Response>(std::move(response))};
}

void FixtureServer::echo(const std::string& path) {
  std::lock_guard lock(mutex_);
  routes_[path] = Route{Kind::Echo};
}

void FixtureServer::endless(const std::string& path) {
  std::lock_guard lock(mutex_);
  routes_[path] = Route{Kind::Endless};
}

void FixtureServer::trickle(const std::string& path) {
  std::lock_guard lock(mutex_);
  routes_[path] = Route{Kind::Trickle};
}

void FixtureServer::hold(const std::string& path) {
  std::lock_guard lock(mutex_);
  holding_.insert(path);
}

std::size_t FixtureServer::held() const {
  std::lock_guard lock(mutex_);
  return waiting_.size();
}

std::vector<SeenRequest> FixtureServer::seen() const {
  std::lock_guard lock(mutex_);
  return seen_;
}

void FixtureServer::releaseHeld(const Response& response) {
  onServerContext([&] {
    std::vector<Waiting> waiting;
    {
      std::lock_guard lock(mutex_);
      waiting.swap(waiting_);
    }
    answerWaiting(std::move(waiting), &response);
  });
}

void FixtureServer::release() {
  onServerContext([&] {
    std::vector<Waiting> waiting;
    {
      std::lock_guard lock(mutex_);
      holding_.clear();
      waiting.swap(waiting_);
    }
    answerWaiting(std::move(waiting), nullptr);
  });
}

void FixtureServer::answerWaiting(std::vector<Waiting> waiting, const Response* response) {
  for (auto& request : waiting) {
    const Route route = response ? Route{Kind::Answer, std::make_shared<const Response>(*response)}
                                 : routeFor(request.seen.path, request.seen.query);
    serve(request.message.get(), route, request.seen);
    soup_server_message_unpause(request.message.get());
  }
}

void FixtureServer::onServerContext(const std::function<void()>& work) {
  if (thread_ == Thread::Caller || std::this_thread::get_id() == worker_.get_id()) {
    work();
    return;
  }
  struct Task {
    const std::function<void()>& work;
    std::promise<void> done;
  } task{work, {}};
  auto done = task.done.get_future();
  g_main_context_invoke(
      context_.get(),
      [](gpointer data) -> gboolean {
        auto& task = *static_cast<Task*>(data);
        task.work();
        task.done.set_value();
        return G_SOURCE_REMOVE;
      },
      &task);
  done.wait();
}

FixtureServer::Route FixtureServer::routeFor(const std::string& path,
                                             const std::string& query) const {
  std::lock_guard lock(mutex_);
  // A route with its query ("/path?a=b") wins over the bare path.
  auto found = query.empty() ? routes_.end() : routes_.find(path + "?" + query);
  if (found == routes_.end()) found = routes_.find(path);
  return found == routes_.end() ? fallback_ : found->second;
}

void FixtureServer::handle(SoupServer*, SoupServerMessage* message, const char* path, GHashTable*,
                           gpointer data) {
  auto& self = *static_cast<FixtureServer*>(data);
  ++self.requests_;
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
    GBytesPtr bytes(soup_message_body_flatten(body));
    gsize size = 0;
    const auto* text = static_cast<const char*>(g_bytes_get_data(bytes.get(), &size));
    seen.body.assign(text, size);
  }
  {
    std::lock_guard lock(self.mutex_);
    self.seen_.push_back(seen);
    if (self.holding_.contains(seen.path)) {
      soup_server_message_pause(message);
      self.waiting_.push_back(Waiting{GObjectPtr<SoupServerMessage>::retain(message), seen});
      return;
    }
  }
  if (const unsigned latency = self.latency_; latency > 0) {
    self.serveLater(message, std::move(seen), latency);
    return;
  }
  self.serve(message, self.routeFor(seen.path, seen.query), seen);
}

void FixtureServer::serveLater(SoupServerMessage* message, SeenRequest seen, unsigned latency) {
  struct Delayed {
    FixtureServer* server;
    GObjectPtr<SoupServerMessage> message;
    SeenRequest seen;
  };
  soup_server_message_pause(message);
  GSourcePtr source(g_timeout_source_new(latency));
  g_source_set_callback(
      source.get(),
      [](gpointer data) -> gboolean {
        auto* delayed = static_cast<Delayed*>(data);
        delayed->server->serve(delayed->message.get(),
                               delayed->server->routeFor(delayed->seen.path, delayed->seen.query),
                               delayed->seen);
        soup_server_message_unpause(delayed->message.get());
        return G_SOURCE_REMOVE;
      },
      new Delayed{this, GObjectPtr<SoupServerMessage>::retain(message), std::move(seen)},
      [](gpointer data) { delete static_cast<Delayed*>(data); });
  g_source_attach(source.get(), context_.get());
}

void FixtureServer::serve(SoupServerMessage* message, const Route& route, const SeenRequest& seen) {
  switch (route.kind) {
    case Kind::Answer: {
      const Response& response = *route.response;
      soup_server_message_set_status(message, response.status, nullptr);
      if (!response.contentType.empty())
        soup_server_message_set_response(message, response.contentType.c_str(), SOUP_MEMORY_COPY,
                                         response.body.data(), response.body.size());
      return;
    }
    case Kind::Redirect:
      soup_server_message_set_redirect(message, route.status, route.location.c_str());
      return;
    case Kind::Echo: {
      std::string text = "method: " + seen.method + "\n";
      for (const auto& [header, content] : seen.headers) text += header + ": " + content + "\n";
      text += "body: " + seen.body + "\n";
      soup_server_message_set_status(message, 200, nullptr);
      soup_server_message_set_response(message, "text/plain; charset=utf-8", SOUP_MEMORY_COPY,
                                       text.data(), text.size());
      return;
    }
    case Kind::Endless:
      startChunked(message);
      soup_message_body_append(soup_server_message_get_response_body(message), SOUP_MEMORY_STATIC,
                               "partial", 7);
      return;
    case Kind::Trickle: {
      startChunked(message);
      auto* trickle = new Trickle{GObjectPtr<SoupServerMessage>::retain(message)};
      g_signal_connect(message, "finished", G_CALLBACK(+[](SoupServerMessage*, gpointer data) {
                         static_cast<Trickle*>(data)->finished = true;
                       }),
                       trickle);
      GSourcePtr source(g_timeout_source_new(200));
      g_source_set_callback(
          source.get(),
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
      g_source_attach(source.get(), context_.get());
      return;
    }
  }
}

}  // namespace qby::test
