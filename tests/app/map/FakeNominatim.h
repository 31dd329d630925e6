// A Nominatim search service on 127.0.0.1 for the map tests: answers "/search" by the "q"
// parameter from a table (places not in it get an empty list, as the real service answers),
// and records each query with the real time it arrived.
#pragma once

#include <libsoup/soup.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "platform/GLibPtr.h"

namespace qby::test {

class FakeNominatim {
 public:
  struct Seen {
    std::string query;
    std::map<std::string, std::string> parameters;
    std::string userAgent;
    std::chrono::steady_clock::time_point time;
  };

  FakeNominatim();
  ~FakeNominatim();
  FakeNominatim(const FakeNominatim&) = delete;
  FakeNominatim& operator=(const FakeNominatim&) = delete;

  std::string url() const;
  // A place the service finds for the text.
  void addPlace(const std::string& text, double latitude, double longitude,
                const std::string& type = "city");
  // Answers every search with this HTTP status (0: answer normally).
  void failWithStatus(unsigned status) { failStatus_ = status; }
  const std::vector<Seen>& seen() const { return seen_; }
  std::vector<std::string> queries() const;

 private:
  static void handle(SoupServer*, SoupServerMessage* message, const char*, GHashTable* query,
                     gpointer data);

  GObjectPtr<SoupServer> server_;
  int port_ = 0;
  std::map<std::string, std::string> answers_;
  std::vector<Seen> seen_;
  unsigned failStatus_ = 0;
};

}  // namespace qby::test
