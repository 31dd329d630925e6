// Answers every path of the vendor web service, independent of the HTTP server that carries the
// requests: the sync path (registration, sign-in by password or login code, add, delete,
// logout, get, the service-update offer), troubleshooting reports, the password reset, the add
// link, the user-agent page, the terms of use and the support pages.
//
// The service keeps nothing between requests (rate limits, codes and changes live in the
// store), so several instances can share one database.
//
// Thread rule: one thread; the store it is given is used from that thread only.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "QBYFormDecoder.h"
#include "QBYPasswordHasher.h"
#include "QBYServerConfig.h"
#include "QBYServerStore.h"
#include "QBYXMLReply.h"

namespace qby::server {

struct ServerRequest {
  std::string method;  // "GET", "POST", …
  std::string path;
  std::string query;  // without "?"
  std::string body;
  std::string remote;  // the client's address
};

struct ServerResponse {
  unsigned status = 200;
  std::string contentType;
  std::string body;
  std::string location;  // a redirect target, or empty
};

class QBYVendorService {
 public:
  using Log = std::function<void(const std::string&)>;
  using Clock = std::function<Micros()>;
  // Delivers a reset code to an address; false when it could not be sent.
  using Mailer = std::function<bool(const std::string& to, const std::string& code)>;

  QBYVendorService(const QBYServerConfig& config, QBYServerStore& store, QBYPasswordHasher hasher,
                   Log log, Clock clock = systemClock, Mailer mailer = nullptr);

  // False (with `error`) when the configured services file or signature cannot be read.
  bool loadServiceUpdate(std::string& error);
  // False (with `error`) when the configured terms file cannot be read or is not UTF-8. Read
  // once: a changed file is published by a restart.
  bool loadTerms(std::string& error);

  ServerResponse handle(const ServerRequest& request);
  // The answer to a request on `path` whose body is over the limit, in the form the path's
  // clients read: the sync path's XML refusal with its message, the report path's JSON.
  ServerResponse tooLarge(const std::string& path) const;

  static Micros systemClock();
  // "%lf" of a server time: seconds with six decimals.
  static std::string formatTime(Micros time);
  // Seconds (decimal text) as whole microseconds; nothing for text that is no finite number.
  static std::optional<Micros> parseTime(const std::string& text);
  // A log line with control characters (C0, DEL, C1) written as \xNN, so a value a client
  // chose can neither forge a second line nor drive the terminal that shows the log.
  static std::string printable(const std::string& line);

 private:
  struct Session {
    int64_t accountId = 0;
    std::string clientId;
    std::string code;  // a fresh login code for the client
  };
  enum class LoginOutcome { SignedIn, Refused, CodeRefused, LockedOut, Missing };

  ServerResponse sync(const ServerRequest& request);
  ServerResponse registerAccount(const QBYFormDecoder& form, const std::string& remote);
  LoginOutcome signIn(const QBYFormDecoder& form, const std::string& remote, Session& session);
  ServerResponse report(const ServerRequest& request);
  ServerResponse reset(const ServerRequest& request);
  ServerResponse grab(const ServerRequest& request) const;
  ServerResponse support(const ServerRequest& request) const;
  ServerResponse terms(const ServerRequest& request) const;

  ServerResponse xml(const QBYXMLReply& reply, unsigned status = 200) const;
  // A refusal after a successful sign-in carries the device's new code: the old one is used up.
  ServerResponse refusal(const std::string& message, unsigned status = 200, bool retry = false,
                         const Session* session = nullptr) const;
  void addCommonElements(QBYXMLReply& reply, const QBYFormDecoder& form) const;
  bool lockedOut(const std::string& kind, const std::string& key, int limit, int window);
  Session openSession(int64_t accountId, const std::string& clientId);

  const QBYServerConfig config_;
  QBYServerStore& store_;
  const QBYPasswordHasher hasher_;
  Log log_;
  Clock clock_;
  Mailer mailer_;
  // Verified against when an address has no account, so the answer takes as long as for a
  // wrong password and tells no one which addresses exist.
  std::string dummyHash_;
  std::string servicesText_, servicesSignature_;
  std::string termsPage_;
  Micros lastPurge_ = 0;
};

}  // namespace qby::server
