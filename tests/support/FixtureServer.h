// An HTTP server on 127.0.0.1 (a free port) for tests and benchmarks: fixed answers by path,
// requests held back until released, slow and endless answers for time-out tests, an echo of
// the request, and a record of every request seen.
//
// Thread rule: the server answers on one main context. By default that is the caller's
// thread-default context (the main context in tests), so a test serves it while it waits with
// MainQueue::runUntil. With `Thread::Own` it runs on a thread and context of its own, for
// callers that block on their own requests (synchronous clients, benchmarks). Routes, holds
// and the record may be set and read from any thread; releasing held requests happens on the
// server's context (directly for `Thread::Caller`, so call it from that thread then).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <libsoup/soup.h>

#include "platform/GLibPtr.h"

namespace qby::test {

// What the server saw of one request.
struct SeenRequest {
  std::string method;
  std::string path;
  std::string query;
  std::map<std::string, std::string> headers;
  std::string body;
};

class FixtureServer {
 public:
  struct Response {
    unsigned status = 200;
    std::string contentType = "text/plain; charset=utf-8";
    std::string body;
  };
  enum class Thread { Caller, Own };

  explicit FixtureServer(Thread thread = Thread::Caller);
  ~FixtureServer();
  FixtureServer(const FixtureServer&) = delete;
  FixtureServer& operator=(const FixtureServer&) = delete;

  // False when the server could not listen; error() says why.
  bool listening() const { return port_ != 0; }
  const std::string& error() const { return error_; }
  int port() const { return port_; }
  // "http://127.0.0.1:<port><path>".
  std::string url(const std::string& path = "") const;

  // Answers requests for the path ("/a/b", any query) or for the path with exactly that query
  // ("/a/b?x=1"), which wins.
  void route(const std::string& path, Response response);
  // A redirect to the location (an absolute address or a path of this server).
  void redirect(const std::string& path, const std::string& location, unsigned status = 302);
  // The answer to paths without a route (404 with no body unless set).
  void setFallback(Response response);

  // Answers with the request as the server saw it: "method: …", one "name: value" line per
  // header, then "body: …".
  void echo(const std::string& path);
  // Headers and a first chunk, then nothing more: the response never ends.
  void endless(const std::string& path);
  // A few bytes every 200 ms, finishing only after 20 s: never silent for long, yet slower
  // than any sensible overall deadline.
  void trickle(const std::string& path);

  // Requests for the path (any query) wait without an answer until released.
  void hold(const std::string& path);
  // Answers every waiting request with the response; held paths stay held.
  void releaseHeld(const Response& response);
  // Stops holding every path and answers the waiting requests as their routes say.
  void release();
  // Every answer leaves after this many milliseconds (0, the default: at once), like a distant
  // server's; requests keep arriving meanwhile, so several wait side by side.
  void setLatency(unsigned milliseconds) { latency_ = milliseconds; }
  // How many requests wait now.
  std::size_t held() const;

  std::vector<SeenRequest> seen() const;
  std::size_t requests() const { return requests_; }

 private:
  enum class Kind { Answer, Redirect, Echo, Endless, Trickle };
  struct Route {
    Route() = default;
    explicit Route(Kind kind, std::shared_ptr<const Response> response = nullptr)
        : kind(kind), response(std::move(response)) {}
    Kind kind = Kind::Answer;
    std::shared_ptr<const Response> response;  // Answer
    unsigned status = 0;                       // Redirect
    std::string location;                      // Redirect
  };
  struct Waiting {
    GObjectPtr<SoupServerMessage> message;
    SeenRequest seen;
  };

  static void handle(SoupServer*, SoupServerMessage* message, const char* path, GHashTable*,
                     gpointer data);
  void serve(SoupServerMessage* message, const Route& route, const SeenRequest& seen);
  void serveLater(SoupServerMessage* message, SeenRequest seen, unsigned latency);
  void listen();
  Route routeFor(const std::string& path, const std::string& query) const;
  // Runs the work on the server's context and waits for it.
  void onServerContext(const std::function<void()>& work);
  // Answers with the response, or as routed when there is none.
  void answerWaiting(std::vector<Waiting> waiting, const Response* response);

  const Thread thread_;
  GMainContextPtr context_;
  GMainLoopPtr loop_;  // for Thread::Own
  std::thread worker_;
  GObjectPtr<SoupServer> server_;
  int port_ = 0;
  std::string error_;

  mutable std::mutex mutex_;
  std::condition_variable started_;
  bool ready_ = false;  // the own thread has tried to listen
  std::map<std::string, Route> routes_;
  Route fallback_;
  std::set<std::string> holding_;
  std::vector<Waiting> waiting_;
  std::vector<SeenRequest> seen_;
  std::atomic<std::size_t> requests_{0};
  std::atomic<unsigned> latency_{0};
};

}  // namespace qby::test
