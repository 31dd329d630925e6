// A shop on 127.0.0.1 that shows its orders only to a signed-in customer: a sign-in form,
// a session cookie (one lasting, one for the session only) and an order page, plus the
// hostile pages a capture must survive (one that never answers, a redirect loop, a server
// error, a page that posts nonsense on the sign-in channel).
//
// The main thread only (the server runs on the default main context).
#pragma once

#include <libsoup/soup.h>

#include <string>
#include <vector>

#include "platform/GLibPtr.h"

namespace porvane::app::test {

class ShopFixture {
 public:
  static constexpr const char* kAccount = "buyer@example.com";
  static constexpr const char* kPassword = "s3cret 'quoted\" pass";
  static constexpr const char* kOrderText = "Order 114-3941689-8772232";

  ShopFixture();
  ~ShopFixture();
  ShopFixture(const ShopFixture&) = delete;
  ShopFixture& operator=(const ShopFixture&) = delete;

  bool listening() const { return port_ != 0; }
  std::string url(const std::string& path) const;
  std::string host() const { return "127.0.0.1"; }
  // Paths requested, in order.
  const std::vector<std::string>& seen() const { return seen_; }
  int signIns() const { return signIns_; }

 private:
  static void handle(SoupServer*, SoupServerMessage* message, const char* path, GHashTable*,
                     gpointer self);
  void serve(SoupServerMessage* message, const std::string& path);

  qby::GObjectPtr<SoupServer> server_;
  int port_ = 0;
  std::vector<std::string> seen_;
  std::vector<qby::GObjectPtr<SoupServerMessage>> neverAnswered_;
  int signIns_ = 0;
};

}  // namespace porvane::app::test
