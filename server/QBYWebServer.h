// Carries HTTP requests between libsoup's SoupServer and the vendor service: listens on the
// configured address and port (TLS when a certificate is configured), refuses bodies over the
// limit before reading them, and hands each complete request to the service.
//
// Thread rule: created, started and served on one thread, whose thread-default main context
// runs the server.
#pragma once

#include <string>

#include <libsoup/soup.h>

#include "QBYServerConfig.h"
#include "QBYVendorService.h"

namespace qby::server {

class QBYWebServer {
 public:
  QBYWebServer(const QBYServerConfig& config, QBYVendorService& service);
  ~QBYWebServer();
  QBYWebServer(const QBYWebServer&) = delete;
  QBYWebServer& operator=(const QBYWebServer&) = delete;

  // False with `error` when the server cannot listen.
  bool start(std::string& error);
  // The bound port (useful with port 0).
  int port() const { return port_; }

 private:
  static void handle(SoupServer*, SoupServerMessage* message, const char* path, GHashTable*,
                     gpointer self);
  static void early(SoupServer*, SoupServerMessage* message, const char*, GHashTable*,
                    gpointer self);
  std::string remoteOf(SoupServerMessage* message) const;

  QBYServerConfig config_;
  QBYVendorService& service_;
  SoupServer* server_ = nullptr;
  int port_ = 0;
};

}  // namespace qby::server
