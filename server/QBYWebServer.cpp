#include "QBYWebServer.h"

#include <gio/gio.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <utility>

namespace qby::server {

QBYWebServer::QBYWebServer(const QBYServerConfig& config, QBYVendorService& service)
    : config_(config), service_(service) {}

QBYWebServer::~QBYWebServer() {
  if (server_) {
    soup_server_disconnect(server_);
    g_object_unref(server_);
  }
}

bool QBYWebServer::start(std::string& error) {
  GError* gerror = nullptr;
  server_ = soup_server_new("server-header", "porvane-server", nullptr);
  if (!config_.tlsCertificate.empty()) {
    // Each file on its own first, so the message names the one that is missing or unreadable.
    for (const auto& [what, path] :
         {std::pair{"certificate", &config_.tlsCertificate}, std::pair{"key", &config_.tlsKey}}) {
      std::error_code failure;
      const auto status = std::filesystem::status(*path, failure);
      std::string why;
      if (failure)
        why = failure.message();
      else if (!std::filesystem::is_regular_file(status))
        why = "not a file";
      else if (std::ifstream file(*path); !file)
        why = std::strerror(errno);
      if (!why.empty()) {
        error = std::string("cannot read the TLS ") + what + " " + *path + ": " + why;
        return false;
      }
    }
    GTlsCertificate* certificate = g_tls_certificate_new_from_files(
        config_.tlsCertificate.c_str(), config_.tlsKey.c_str(), &gerror);
    if (!certificate) {
      error = "the TLS certificate " + config_.tlsCertificate + " or key " + config_.tlsKey +
              " is not usable: " + (gerror ? gerror->message : "unreadable");
      g_clear_error(&gerror);
      return false;
    }
    soup_server_set_tls_certificate(server_, certificate);
    g_object_unref(certificate);
  }
  soup_server_add_early_handler(server_, nullptr, &QBYWebServer::early, this, nullptr);
  soup_server_add_handler(server_, nullptr, &QBYWebServer::handle, this, nullptr);

  GInetAddress* address = g_inet_address_new_from_string(config_.address.c_str());
  if (!address) {
    error = "not an IP address: " + config_.address;
    return false;
  }
  GSocketAddress* socketAddress =
      g_inet_socket_address_new(address, static_cast<guint16>(config_.port));
  const GSocketFamily family = g_inet_address_get_family(address);
  g_object_unref(address);
  const auto options =
      config_.tlsCertificate.empty() ? SoupServerListenOptions(0) : SOUP_SERVER_LISTEN_HTTPS;
  // Our own socket, for its backlog: GLib's default of 10 drops the connections of a burst of
  // devices, which then wait a second for the retransmission.
  GSocket* socket = g_socket_new(family, G_SOCKET_TYPE_STREAM, G_SOCKET_PROTOCOL_DEFAULT, &gerror);
  bool listening = socket != nullptr;
  if (listening) {
    g_socket_set_listen_backlog(socket, 1024);
    listening = g_socket_bind(socket, socketAddress, TRUE, &gerror) &&
                g_socket_listen(socket, &gerror) &&
                soup_server_listen_socket(server_, socket, options, &gerror);
    g_object_unref(socket);
  }
  g_object_unref(socketAddress);
  if (!listening) {
    error = std::string("cannot listen on ") + config_.address + ":" +
            std::to_string(config_.port) + ": " + (gerror ? gerror->message : "unknown error");
    g_clear_error(&gerror);
    return false;
  }
  GSList* uris = soup_server_get_uris(server_);
  for (GSList* item = uris; item; item = item->next) {
    if (port_ == 0) port_ = g_uri_get_port(static_cast<GUri*>(item->data));
  }
  g_slist_free_full(uris, reinterpret_cast<GDestroyNotify>(g_uri_unref));
  return port_ > 0;
}

std::string QBYWebServer::remoteOf(SoupServerMessage* message) const {
  std::string remote;
  if (const char* host = soup_server_message_get_remote_host(message)) remote = host;
  if (config_.trustProxy) {
    // The proxy appends the address it saw; earlier entries come from the client and prove
    // nothing.
    const char* forwarded = soup_message_headers_get_list(
        soup_server_message_get_request_headers(message), "X-Forwarded-For");
    if (forwarded) {
      std::string list = forwarded;
      const size_t comma = list.rfind(',');
      std::string last = comma == std::string::npos ? list : list.substr(comma + 1);
      while (!last.empty() && last.front() == ' ') last.erase(0, 1);
      while (!last.empty() && last.back() == ' ') last.pop_back();
      if (!last.empty() && g_hostname_is_ip_address(last.c_str())) remote = last;
    }
  }
  return remote;
}

void QBYWebServer::early(SoupServer*, SoupServerMessage* message, const char* path, GHashTable*,
                         gpointer self) {
  auto* server = static_cast<QBYWebServer*>(self);
  const goffset length =
      soup_message_headers_get_content_length(soup_server_message_get_request_headers(message));
  const bool report = path && g_str_has_prefix(path, "/sync/porvane/report");
  const size_t limit = report ? server->config_.maxReportBody : server->config_.maxBody;
  // Refused before the body is read, so a client cannot make the server hold a huge body. The
  // answer is the path's own reply format, so a sync client shows its message.
  if (length > 0 && static_cast<size_t>(length) > limit) {
    const ServerResponse response = server->service_.tooLarge(path ? path : "/");
    soup_server_message_set_status(message, response.status, nullptr);
    SoupMessageHeaders* headers = soup_server_message_get_response_headers(message);
    soup_message_headers_replace(headers, "Cache-Control", "no-store");
    // The unread body cannot be told from the next request on this connection.
    soup_message_headers_replace(headers, "Connection", "close");
    soup_server_message_set_response(message, response.contentType.c_str(), SOUP_MEMORY_COPY,
                                     response.body.data(), response.body.size());
  }
}

void QBYWebServer::handle(SoupServer*, SoupServerMessage* message, const char* path, GHashTable*,
                          gpointer self) {
  auto* server = static_cast<QBYWebServer*>(self);
  if (soup_server_message_get_status(message) == SOUP_STATUS_REQUEST_ENTITY_TOO_LARGE) return;
  ServerRequest request;
  request.method = soup_server_message_get_method(message);
  request.path = path ? path : "/";
  if (const char* query = g_uri_get_query(soup_server_message_get_uri(message)))
    request.query = query;
  SoupMessageBody* body = soup_server_message_get_request_body(message);
  if (body) {
    GBytes* bytes = soup_message_body_flatten(body);
    gsize size = 0;
    const auto* data = static_cast<const char*>(g_bytes_get_data(bytes, &size));
    if (data) request.body.assign(data, size);
    g_bytes_unref(bytes);
  }
  request.remote = server->remoteOf(message);

  const ServerResponse response = server->service_.handle(request);
  soup_server_message_set_status(message, response.status, nullptr);
  SoupMessageHeaders* headers = soup_server_message_get_response_headers(message);
  if (!response.location.empty())
    soup_message_headers_replace(headers, "Location", response.location.c_str());
  soup_message_headers_replace(headers, "Cache-Control", "no-store");
  soup_server_message_set_response(
      message, response.contentType.empty() ? "text/plain" : response.contentType.c_str(),
      SOUP_MEMORY_COPY, response.body.data(), response.body.size());
}

}  // namespace qby::server
