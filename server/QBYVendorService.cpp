#include "QBYVendorService.h"

#include <glib.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

namespace qby::server {

namespace {

constexpr char kSyncPath[] = "/sync/porvane/xml.php";
constexpr char kReportPath[] = "/sync/porvane/report/";
constexpr char kTermsPath[] = "/sync/app/legal/terms.html";
constexpr char kXMLType[] = "text/xml; charset=utf-8";
constexpr char kHTMLType[] = "text/html; charset=utf-8";
constexpr Micros kSecond = 1'000'000;

std::string normalizedEmail(const std::string& text) {
  std::string email = text;
  while (!email.empty() && g_ascii_isspace(email.back())) email.pop_back();
  size_t start = 0;
  while (start < email.size() && g_ascii_isspace(email[start])) ++start;
  email.erase(0, start);
  for (char& c : email) c = g_ascii_tolower(c);
  return email;
}

bool plausibleEmail(const std::string& email) {
  const size_t at = email.find('@');
  if (at == std::string::npos || at == 0 || at + 1 >= email.size() || email.size() > 254)
    return false;
  for (const unsigned char c : email)
    if (c <= ' ' || c == 0x7F) return false;
  return email.find('@', at + 1) == std::string::npos;
}

std::string htmlEscape(const std::string& text) {
  char* escaped = g_markup_escape_text(text.c_str(), static_cast<gssize>(text.size()));
  std::string out(escaped);
  g_free(escaped);
  return out;
}

std::string page(const std::string& title, const std::string& body) {
  return "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + htmlEscape(title) +
         "</title></head>\n<body><h1>" + htmlEscape(title) + "</h1>\n" + body + "</body></html>\n";
}

std::string uriEscape(const std::string& text) {
  char* escaped = g_uri_escape_string(text.c_str(), nullptr, FALSE);
  std::string out(escaped);
  g_free(escaped);
  return out;
}

bool readFile(const std::string& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) return false;
  out = text.str();
  return true;
}

}  // namespace

QBYVendorService::QBYVendorService(const QBYServerConfig& config, QBYServerStore& store,
                                   QBYPasswordHasher hasher, Log log, Clock clock, Mailer mailer)
    : config_(config),
      store_(store),
      hasher_(hasher),
      log_([inner = std::move(log)](const std::string& line) { inner(printable(line)); }),
      clock_(std::move(clock)),
      mailer_(std::move(mailer)) {
  dummyHash_ = hasher_.hash(QBYPasswordHasher::randomToken()).value_or(std::string());
}

Micros QBYVendorService::systemClock() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string QBYVendorService::formatTime(Micros time) {
  const bool negative = time < 0;
  const unsigned long long magnitude = negative ? 0ULL - static_cast<unsigned long long>(time)
                                                : static_cast<unsigned long long>(time);
  char text[48];
  std::snprintf(text, sizeof text, "%s%llu.%06llu", negative ? "-" : "", magnitude / 1'000'000ULL,
                magnitude % 1'000'000ULL);
  return text;
}

std::optional<Micros> QBYVendorService::parseTime(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  const double seconds = g_ascii_strtod(text.c_str(), &end);
  if (end == text.c_str() || *end != '\0' || !std::isfinite(seconds) || std::fabs(seconds) > 1e11)
    return std::nullopt;
  return std::llround(seconds * 1e6);
}

std::string QBYVendorService::printable(const std::string& line) {
  std::string out;
  out.reserve(line.size());
  char escape[8];
  const char* p = line.c_str();
  const char* end = p + line.size();
  while (p < end) {
    const gunichar c = g_utf8_get_char_validated(p, end - p);
    const bool invalid = c == static_cast<gunichar>(-1) || c == static_cast<gunichar>(-2);
    const char* next = invalid ? p + 1 : g_utf8_next_char(p);
    if (invalid || c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0)) {
      for (const char* q = p; q < next; ++q) {
        std::snprintf(escape, sizeof escape, "\\x%02X", static_cast<unsigned char>(*q));
        out += escape;
      }
    } else {
      out.append(p, next);
    }
    p = next;
  }
  return out;
}

bool QBYVendorService::loadServiceUpdate(std::string& error) {
  if (config_.servicesFile.empty()) return true;
  std::string signature;
  if (!readFile(config_.servicesFile, servicesText_)) {
    error = "cannot read the services file " + config_.servicesFile;
    return false;
  }
  if (!g_utf8_validate_len(servicesText_.data(), servicesText_.size(), nullptr)) {
    error = "the services file " + config_.servicesFile + " is not UTF-8";
    return false;
  }
  if (!readFile(config_.signatureFile, signature)) {
    error = "cannot read the signature file " + config_.signatureFile;
    return false;
  }
  // The signature is Base64 text; line breaks around it are only formatting.
  for (const char c : signature)
    if (!g_ascii_isspace(c)) servicesSignature_.push_back(c);
  if (servicesSignature_.empty()) {
    error = "the signature file " + config_.signatureFile + " is empty";
    return false;
  }
  return true;
}

bool QBYVendorService::loadTerms(std::string& error) {
  if (config_.termsFile.empty()) return true;
  if (!readFile(config_.termsFile, termsPage_)) {
    error = "cannot read the terms file " + config_.termsFile;
    return false;
  }
  if (!g_utf8_validate_len(termsPage_.data(), termsPage_.size(), nullptr)) {
    error = "the terms file " + config_.termsFile + " is not UTF-8";
    return false;
  }
  if (termsPage_.find_first_not_of(" \t\r\n") == std::string::npos) {
    error = "the terms file " + config_.termsFile + " is empty";
    return false;
  }
  return true;
}

ServerResponse QBYVendorService::handle(const ServerRequest& request) {
  try {
    const Micros now = clock_();
    if (now - lastPurge_ > 600 * kSecond) {
      const int window = std::max(config_.loginWindow, config_.registerWindow);
      store_.purgeAttempts(now - static_cast<Micros>(window) * kSecond);
      lastPurge_ = now;
    }
    if (request.path == kSyncPath) return sync(request);
    if (request.path == kReportPath || request.path == "/sync/porvane/report")
      return report(request);
    if (request.path == "/sync/" || request.path == "/sync") return reset(request);
    if (request.path == "/sync/grab/" || request.path == "/sync/grab") return grab(request);
    if (request.path == "/version-check" || request.path == "/version-check/")
      return {200, kHTMLType, page("Porvane", "<p>Porvane sync server.</p>\n"), {}};
    if (request.path == kTermsPath) return terms(request);
    if (request.path.rfind("/support/", 0) == 0) return support(request);
    if (request.path == "/")
      return {200, kHTMLType, page("Porvane", "<p>Porvane sync server.</p>\n"), {}};
    return {404, kHTMLType, page("Not found", ""), {}};
  } catch (const QBYServerStoreError& error) {
    log_(std::string("storage failure: ") + error.what());
    // Not XML on purpose: the clients count an unreadable answer as no answer and keep every
    // change they queued for the next attempt.
    return {503, "text/plain; charset=utf-8", "Service temporarily unavailable\n", {}};
  }
}

ServerResponse QBYVendorService::tooLarge(const std::string& path) const {
  if (path == kSyncPath) return refusal("The request is too large.", 413);
  if (path.rfind("/sync/porvane/report", 0) == 0)
    return {413, "application/json", "{\"success\": false}", {}};
  return {413, "text/plain; charset=utf-8", "The request is too large.\n", {}};
}

ServerResponse QBYVendorService::xml(const QBYXMLReply& reply, unsigned status) const {
  return {status, kXMLType, reply.document(), {}};
}

ServerResponse QBYVendorService::refusal(const std::string& message, unsigned status, bool retry,
                                         const Session* session) const {
  QBYXMLReply reply;
  if (retry)
    reply.add("success", QBYXMLReply::Attributes{{"value", "false"}, {"retry", "true"}});
  else
    reply.add("success", "false");
  if (session) {
    reply.add("client", session->clientId);
    reply.add("code", session->code);
  }
  if (!message.empty()) reply.add("message", message);
  return xml(reply, status);
}

void QBYVendorService::addCommonElements(QBYXMLReply& reply, const QBYFormDecoder& form) const {
  if (const auto clientNow = parseTime(form.text("now")))
    reply.add("offset", formatTime(*clientNow - clock_()));
  if (!servicesText_.empty()) {
    char* end = nullptr;
    const std::string defs = form.text("defs");
    const long long installed = g_ascii_strtoll(defs.c_str(), &end, 10);
    if (!defs.empty() && *end == '\0' && installed < config_.servicesVersion)
      reply.add("updatedata",
                QBYXMLReply::Attributes{{"version", std::to_string(config_.servicesVersion)},
                                        {"signature", servicesSignature_},
                                        {"text", servicesText_}});
  }
}

bool QBYVendorService::lockedOut(const std::string& kind, const std::string& key, int limit,
                                 int window) {
  return store_.attemptsSince(kind, key, clock_() - static_cast<Micros>(window) * kSecond) >= limit;
}

QBYVendorService::Session QBYVendorService::openSession(int64_t accountId,
                                                        const std::string& clientId) {
  Session session{accountId, clientId, QBYPasswordHasher::randomToken()};
  const Micros expires = clock_() + static_cast<Micros>(config_.codeLifetime) * kSecond;
  std::optional<ServerClient> existing;
  if (!clientId.empty()) existing = store_.clientById(clientId);
  // The device keeps its identifier unless another request changed its code meanwhile; then it
  // gets a new one rather than a code that was never stored.
  const bool kept = existing && existing->accountId == accountId &&
                    store_.replaceCode(clientId, existing->codeDigest,
                                       QBYPasswordHasher::digest(session.code), expires);
  if (!kept) {
    session.clientId = QBYPasswordHasher::randomToken();
    store_.createClient(
        ServerClient{session.clientId, accountId, QBYPasswordHasher::digest(session.code), expires},
        clock_());
  }
  return session;
}

ServerResponse QBYVendorService::sync(const ServerRequest& request) {
  // Every refusal here is the XML the clients read, so that they can show its message; only a
  // storage failure (handle) answers otherwise, because the clients must try that again.
  if (request.method != "POST") return refusal("Sync requests must be sent with POST.", 405);
  if (request.body.size() > config_.maxBody) return tooLarge(request.path);
  std::string why;
  QBYFormDecoder::Limits limits;
  limits.maxValueLength = config_.maxBody;
  const auto form = QBYFormDecoder::decode(request.body, limits, &why);
  if (!form) return refusal("The request could not be read (" + why + ").", 400);

  const std::string cmd = form->text("cmd");
  if (cmd == "register") return registerAccount(*form, request.remote);

  const bool wantsLogin = form->has("password") || form->has("code");
  if (cmd.empty() && !wantsLogin) {
    // The service-update check of a client without an account.
    QBYXMLReply reply;
    reply.add("success", "true");
    addCommonElements(reply, *form);
    return xml(reply);
  }
  if (cmd != "add" && cmd != "delete" && cmd != "logout" && cmd != "get" && !cmd.empty())
    return refusal("Unknown command.", 400);

  Session session;
  switch (signIn(*form, request.remote, session)) {
    case LoginOutcome::SignedIn:
      break;
    case LoginOutcome::Missing:
      return refusal("Please sign in.", 401);
    case LoginOutcome::CodeRefused:
      return refusal("", 200, true);
    case LoginOutcome::Refused:
      return refusal("The e-mail address or password is incorrect.");
    case LoginOutcome::LockedOut:
      return refusal("Too many failed sign-in attempts. Please wait a few minutes and try again.",
                     429);
  }

  if (cmd == "logout") {
    store_.deleteClient(session.clientId);
    QBYXMLReply reply;
    reply.add("success", "true");
    return xml(reply);
  }

  // Said to the device along with an ordinary answer: a refusal would sign it out, and the
  // change would block every later one in its queue.
  std::optional<std::string> notice;
  if (cmd == "add" || cmd == "delete") {
    ServerDelivery delivery;
    delivery.uuid = form->text("uuid");
    const auto modified = parseTime(form->text("modified"));
    if (delivery.uuid.empty() || delivery.uuid.size() > 200 || !modified)
      return refusal("The change could not be read.", 400, false, &session);
    delivery.modified = *modified;
    delivery.deleted = cmd == "delete";
    if (!delivery.deleted) {
      delivery.from = form->text("from");
      delivery.name = form->text("name");
      delivery.no = form->text("no");
      delivery.extra = form->text("extra");
      delivery.date = form->text("date");
    }
    const PutResult put = store_.putDelivery(session.accountId, delivery, config_.quota, clock_());
    if (put.outcome == PutResult::Outcome::OverQuota) {
      log_("quota of " + std::to_string(config_.quota) + " deliveries reached for account " +
           std::to_string(session.accountId) + "; change not stored");
      notice = "Your account holds the most deliveries it may (" + std::to_string(config_.quota) +
               "). This delivery stays on this device only; delete some deliveries, then change "
               "it to sync it.";
    }
  }

  QBYXMLReply reply;
  reply.add("success", "true");
  reply.add("client", session.clientId);
  reply.add("code", session.code);
  addCommonElements(reply, *form);
  if (notice) reply.add("message", *notice);
  const Micros since = parseTime(form->text("updated")).value_or(0);
  Micros latest = since;
  for (const ServerDelivery& d : store_.changesSince(session.accountId, since)) {
    reply.add("delivery", QBYXMLReply::Attributes{{"uuid", d.uuid},
                                                  {"updated", formatTime(d.updated)},
                                                  {"deleted", d.deleted ? "1" : "0"},
                                                  {"from", d.from},
                                                  {"name", d.name},
                                                  {"no", d.no},
                                                  {"extra", d.extra},
                                                  {"date", d.date},
                                                  {"modified", formatTime(d.modified)}});
    latest = std::max(latest, d.updated);
  }
  if (latest > since)
    reply.add("updated", QBYXMLReply::Attributes{{"value", formatTime(latest)}, {"skip", "true"}});
  return xml(reply);
}

QBYVendorService::LoginOutcome QBYVendorService::signIn(const QBYFormDecoder& form,
                                                        const std::string& remote,
                                                        Session& session) {
  const Micros now = clock_();
  if (lockedOut("login-ip", remote, config_.loginPerIP, config_.loginWindow))
    return LoginOutcome::LockedOut;

  if (form.has("password")) {
    const std::string email = normalizedEmail(form.text("email"));
    if (email.empty()) return LoginOutcome::Missing;
    if (lockedOut("login-address", email, config_.loginPerAddress, config_.loginWindow)) {
      log_("sign-in refused: " + email + " is locked out");
      return LoginOutcome::LockedOut;
    }
    const auto account = store_.accountByEmail(email);
    const std::string password = form.text("password");
    const bool matches = account ? hasher_.verify(account->passwordHash, password)
                                 : (hasher_.verify(dummyHash_, password), false);
    if (!matches) {
      store_.addAttempt("login-address", email, now);
      store_.addAttempt("login-ip", remote, now);
      log_("sign-in refused: wrong password or unknown address " + email + " from " + remote);
      return LoginOutcome::Refused;
    }
    session = openSession(account->id, form.text("client"));
    return LoginOutcome::SignedIn;
  }

  if (form.has("code")) {
    const std::string clientId = form.text("client");
    const std::string code = form.text("code");
    const auto client = clientId.empty() ? std::nullopt : store_.clientById(clientId);
    const std::string digest = QBYPasswordHasher::digest(code);
    // A code works once: the winner of replaceCode owns the session, and a second request with
    // the same code finds it gone and falls back to the password.
    const std::string fresh = QBYPasswordHasher::randomToken();
    if (!client || code.empty() || client->codeDigest != digest || client->codeExpires <= now ||
        !store_.replaceCode(clientId, digest, QBYPasswordHasher::digest(fresh),
                            now + static_cast<Micros>(config_.codeLifetime) * kSecond)) {
      store_.addAttempt("login-ip", remote, now);
      return LoginOutcome::CodeRefused;
    }
    session = Session{client->accountId, clientId, fresh};
    return LoginOutcome::SignedIn;
  }
  return LoginOutcome::Missing;
}

ServerResponse QBYVendorService::registerAccount(const QBYFormDecoder& form,
                                                 const std::string& remote) {
  if (lockedOut("register-ip", remote, config_.registerPerIP, config_.registerWindow))
    return refusal("Too many registrations from your network. Please try again later.", 429);
  store_.addAttempt("register-ip", remote, clock_());

  const std::string email = normalizedEmail(form.text("email"));
  const std::string password = form.text("newpassword");
  if (!plausibleEmail(email)) return refusal("Please enter a valid e-mail address.");
  if (password != form.text("confirmpass")) return refusal("The passwords do not match.");
  if (static_cast<int>(g_utf8_strlen(password.c_str(), -1)) < config_.minPasswordLength)
    return refusal("The password must have at least " + std::to_string(config_.minPasswordLength) +
                   " characters.");
  if (form.text("terms") != "true") return refusal("Please accept the terms of service.");
  std::string name = form.text("name");
  if (g_utf8_strlen(name.c_str(), -1) > 200) return refusal("The name is too long.", 400);

  const auto hash = hasher_.hash(password);
  if (!hash) {
    log_("registration failed: the password could not be hashed");
    return {503, "text/plain; charset=utf-8", "Service temporarily unavailable\n", {}};
  }
  const auto accountId = store_.createAccount(email, name, *hash, clock_());
  if (!accountId) return refusal("An account with this e-mail address already exists.");
  log_("registered account " + email + " from " + remote);

  const Session session = openSession(*accountId, std::string());
  QBYXMLReply reply;
  reply.add("success", "true");
  reply.add("client", session.clientId);
  reply.add("code", session.code);
  addCommonElements(reply, form);
  return xml(reply);
}

ServerResponse QBYVendorService::report(const ServerRequest& request) {
  const std::string json = "application/json";
  const std::string refused = "{\"success\": false}";
  if (request.method != "POST") return {405, json, refused, {}};
  if (request.body.size() > config_.maxReportBody) return tooLarge(request.path);
  QBYFormDecoder::Limits limits;
  limits.maxValueLength = config_.maxReportBody;
  const auto form = QBYFormDecoder::decode(request.body, limits);
  if (!form || form->text("cmd") != "report") return {400, json, refused, {}};
  nlohmann::ordered_json fields = nlohmann::ordered_json::object();
  for (const auto& [key, value] : form->fields())
    if (key != "cmd" && !fields.contains(key)) fields[key] = value;
  store_.storeReport(fields.dump(), request.remote, clock_());
  log_("stored a troubleshooting report from " + request.remote);
  return {200, json, "{\"success\": true}", {}};
}

ServerResponse QBYVendorService::grab(const ServerRequest& request) const {
  const auto form = QBYFormDecoder::decode(request.query);
  if (!form) return {400, kHTMLType, page("Bad request", ""), {}};
  std::string query;
  for (const char* key : {"from", "name", "no", "extra", "date"}) {
    query += query.empty() ? "" : "&";
    query += std::string(key) + "=" + uriEscape(form->text(key));
  }
  const std::string link = "porvane://add?" + query;
  return {302, kHTMLType,
          page("Add to Porvane",
               "<p><a href=\"" + htmlEscape(link) + "\">Add this delivery to Porvane</a></p>\n"),
          link};
}

ServerResponse QBYVendorService::terms(const ServerRequest& request) const {
  if (request.method != "GET" && request.method != "HEAD")
    return {405, "text/plain; charset=utf-8", "GET only\n", {}};
  if (!termsPage_.empty()) return {200, kHTMLType, termsPage_, {}};
  return {200,
          kHTMLType,
          page("Terms of use",
               "<p>The administrator of this server has not published terms of use. Ask them "
               "before you register an account.</p>\n"),
          {}};
}

ServerResponse QBYVendorService::support(const ServerRequest& request) const {
  std::string category = request.path.substr(std::string("/support/").size());
  while (!category.empty() && category.back() == '/') category.pop_back();
  category = QBYFormDecoder::unescape(category);
  const auto form = QBYFormDecoder::decode(request.query);
  std::string body =
      "<p>Help topics: " + htmlEscape(category.empty() ? "all" : category) + "</p>\n";
  if (form && form->has("search"))
    body +=
        "<p id=\"questions\">Questions matching \"" + htmlEscape(form->text("search")) + "\"</p>\n";
  return {200, kHTMLType, page("Porvane Support", body), {}};
}

ServerResponse QBYVendorService::reset(const ServerRequest& request) {
  const auto query = QBYFormDecoder::decode(request.query);
  const auto form = request.method == "POST" ? QBYFormDecoder::decode(request.body) : query;
  if (!form) return {400, kHTMLType, page("Bad request", ""), {}};
  const std::string cmd = form->text("cmd");
  const std::string askForm =
      "<form method=\"post\" action=\"/sync/\"><input type=\"hidden\" name=\"cmd\" "
      "value=\"reset\"><label>E-mail <input name=\"email\" type=\"email\"></label> "
      "<button>Send code</button></form>\n";
  auto codeForm = [](const std::string& email) {
    return "<form method=\"post\" action=\"/sync/\"><input type=\"hidden\" name=\"cmd\" "
           "value=\"setpassword\"><input type=\"hidden\" name=\"email\" value=\"" +
           htmlEscape(email) +
           "\"><label>Code <input name=\"code\"></label> <label>New password <input "
           "name=\"newpassword\" type=\"password\"></label> <label>Confirm <input "
           "name=\"confirmpass\" type=\"password\"></label> <button>Change password</button>"
           "</form>\n";
  };
  if (request.method != "POST") return {200, kHTMLType, page("Reset your password", askForm), {}};

  if (cmd == "reset") {
    if (lockedOut("reset-ip", request.remote, config_.registerPerIP, config_.registerWindow))
      return {429, kHTMLType, page("Reset your password", "<p>Please try again later.</p>\n"), {}};
    store_.addAttempt("reset-ip", request.remote, clock_());
    const std::string email = normalizedEmail(form->text("email"));
    if (const auto account = store_.accountByEmail(email)) {
      const std::string code = QBYPasswordHasher::randomToken(6);
      store_.storeResetCode(account->id, QBYPasswordHasher::digest(code),
                            clock_() + static_cast<Micros>(config_.resetCodeLifetime) * kSecond);
      if (mailer_) {
        if (!mailer_(email, code)) log_("could not mail the reset code to " + email);
      } else {
        // Without a mail relay the administrator passes the code on.
        log_("password reset code for " + email + ": " + code);
      }
    }
    // The same answer whether or not the address has an account.
    return {200,
            kHTMLType,
            page("Reset your password",
                 "<p>If an account exists for this address, a code is on its way.</p>\n" +
                     codeForm(email)),
            {}};
  }
  if (cmd == "setpassword") {
    const std::string email = normalizedEmail(form->text("email"));
    if (lockedOut("login-address", email, config_.loginPerAddress, config_.loginWindow))
      return {429, kHTMLType, page("Reset your password", "<p>Please try again later.</p>\n"), {}};
    const std::string password = form->text("newpassword");
    if (password != form->text("confirmpass") ||
        static_cast<int>(g_utf8_strlen(password.c_str(), -1)) < config_.minPasswordLength)
      return {400,
              kHTMLType,
              page("Reset your password", "<p>The passwords must match and have at least " +
                                              std::to_string(config_.minPasswordLength) +
                                              " characters.</p>\n" + codeForm(email)),
              {}};
    const auto account =
        store_.takeResetCode(email, QBYPasswordHasher::digest(form->text("code")), clock_());
    if (!account) {
      store_.addAttempt("login-address", email, clock_());
      return {400,
              kHTMLType,
              page("Reset your password",
                   "<p>The code is wrong or has expired.</p>\n" + codeForm(email)),
              {}};
    }
    const auto hash = hasher_.hash(password);
    if (!hash) return {503, kHTMLType, page("Please try again later", ""), {}};
    store_.setPasswordHash(*account, *hash);
    store_.deleteClients(*account);
    log_("password changed by reset for " + email);
    return {200,
            kHTMLType,
            page("Password changed", "<p>Sign in with your new password on every device.</p>\n"),
            {}};
  }
  return {200, kHTMLType, page("Reset your password", askForm), {}};
}

}  // namespace qby::server
