#include "FakeNominatim.h"

#include <cstdio>

namespace qby::test {

FakeNominatim::FakeNominatim()
    : server_(GObjectPtr<SoupServer>::adopt(soup_server_new(nullptr, nullptr))) {
  soup_server_add_handler(server_.get(), "/search", &FakeNominatim::handle, this, nullptr);
  GError* error = nullptr;
  if (soup_server_listen_local(server_.get(), 0, SOUP_SERVER_LISTEN_IPV4_ONLY, &error)) {
    GSList* uris = soup_server_get_uris(server_.get());
    if (uris) port_ = g_uri_get_port(static_cast<GUri*>(uris->data));
    g_slist_free_full(uris, reinterpret_cast<GDestroyNotify>(g_uri_unref));
  } else {
    g_error_free(error);
  }
}

FakeNominatim::~FakeNominatim() {
  soup_server_disconnect(server_.get());
}

std::string FakeNominatim::url() const {
  return "http://127.0.0.1:" + std::to_string(port_);
}

void FakeNominatim::addPlace(const std::string& text, double latitude, double longitude,
                             const std::string& type) {
  char json[512];
  std::snprintf(json, sizeof json,
                "[{\"place_id\":1,\"osm_type\":\"node\",\"osm_id\":1,\"lat\":\"%.6f\","
                "\"lon\":\"%.6f\",\"display_name\":\"%s\",\"class\":\"place\",\"type\":\"%s\","
                "\"importance\":0.5,\"place_rank\":16,\"boundingbox\":[\"%.6f\",\"%.6f\",\"%.6f\","
                "\"%.6f\"]}]",
                latitude, longitude, text.c_str(), type.c_str(), latitude - 0.1, latitude + 0.1,
                longitude - 0.1, longitude + 0.1);
  answers_[text] = json;
}

std::vector<std::string> FakeNominatim::queries() const {
  std::vector<std::string> out;
  for (const auto& s : seen_) {
    auto it = s.parameters.find("q");
    out.push_back(it == s.parameters.end() ? std::string() : it->second);
  }
  return out;
}

void FakeNominatim::handle(SoupServer*, SoupServerMessage* message, const char*, GHashTable* query,
                           gpointer data) {
  auto* self = static_cast<FakeNominatim*>(data);
  Seen seen;
  seen.time = std::chrono::steady_clock::now();
  if (const char* agent = soup_message_headers_get_one(
          soup_server_message_get_request_headers(message), "User-Agent")) {
    seen.userAgent = agent;
  }
  if (query) {
    GHashTableIter iter;
    gpointer key = nullptr;
    gpointer value = nullptr;
    g_hash_table_iter_init(&iter, query);
    while (g_hash_table_iter_next(&iter, &key, &value)) {
      seen.parameters[static_cast<const char*>(key)] = static_cast<const char*>(value);
    }
  }
  if (GUri* uri = soup_server_message_get_uri(message); uri && g_uri_get_query(uri)) {
    seen.query = g_uri_get_query(uri);
  }
  const std::string q = seen.parameters.count("q") ? seen.parameters["q"] : std::string();
  self->seen_.push_back(std::move(seen));
  if (self->failStatus_) {
    soup_server_message_set_status(message, self->failStatus_, nullptr);
    return;
  }
  auto it = self->answers_.find(q);
  const std::string body = it == self->answers_.end() ? "[]" : it->second;
  soup_server_message_set_status(message, 200, nullptr);
  soup_server_message_set_response(message, "application/json", SOUP_MEMORY_COPY, body.data(),
                                   body.size());
}

}  // namespace qby::test
