// A loopback web server for benchmarks: every address answers with the same tracking page of
// realistic size (about 40 kB). It runs on a thread and main context of its own, so the
// programs measured and their baselines share the machine with it alike.
#pragma once

#include <libsoup/soup.h>

#include <atomic>
#include <string>
#include <thread>

#include "platform/GLibPtr.h"

namespace qby::bench {

// A tracking page of realistic size (about 40 kB), the same for every address.
inline std::string trackingPage() {
  std::string page = "<html><body><table>";
  for (int row = 0; row < 400; ++row)
    page += "<tr><td>2024-03-0" + std::to_string(row % 9 + 1) +
            "</td><td>Parcel processed at sorting centre</td></tr>";
  return page + "</table></body></html>";
}

// The loopback server on its own thread and main context.
class LoopbackServer {
 public:
  LoopbackServer() : page_(trackingPage()) {
    std::atomic<bool> ready{false};
    thread_ = std::thread([this, &ready] {
      g_main_context_push_thread_default(context_.get());
      auto server = GObjectPtr<SoupServer>::adopt(soup_server_new(nullptr, nullptr));
      soup_server_add_handler(
          server.get(), nullptr,
          [](SoupServer*, SoupServerMessage* message, const char*, GHashTable*, gpointer data) {
            const auto& page = *static_cast<std::string*>(data);
            soup_server_message_set_status(message, 200, nullptr);
            soup_server_message_set_response(message, "text/html; charset=utf-8",
                                             SOUP_MEMORY_STATIC, page.data(), page.size());
          },
          &page_, nullptr);
      soup_server_listen_local(server.get(), 0, SOUP_SERVER_LISTEN_IPV4_ONLY, nullptr);
      GSList* uris = soup_server_get_uris(server.get());
      if (uris) port_ = g_uri_get_port(static_cast<GUri*>(uris->data));
      g_slist_free_full(uris, reinterpret_cast<GDestroyNotify>(g_uri_unref));
      ready = true;
      g_main_loop_run(loop_.get());
      soup_server_disconnect(server.get());
      g_main_context_pop_thread_default(context_.get());
    });
    while (!ready) std::this_thread::yield();
  }
  ~LoopbackServer() {
    g_main_context_invoke(
        context_.get(),
        [](gpointer loop) -> gboolean {
          g_main_loop_quit(static_cast<GMainLoop*>(loop));
          return G_SOURCE_REMOVE;
        },
        loop_.get());
    thread_.join();
  }
  std::string url(int number) const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/track/" + std::to_string(number);
  }

 private:
  std::string page_;
  GMainContextPtr context_{g_main_context_new()};
  GMainLoopPtr loop_{g_main_loop_new(context_.get(), FALSE)};
  std::thread thread_;
  int port_ = 0;
};

}  // namespace qby::bench
