// The server's settings: defaults, then the configuration file (INI, read with GKeyFile), then
// the command-line flags, each overriding the one before.
//
//   [server]   address, port, tls-certificate, tls-key, trust-proxy, log-file
//   [storage]  backend (sqlite|postgresql), postgresql (a libpq connection string)
//   [accounts] quota, code-lifetime, min-password-length, terms-file
//   [limits]   login-per-address, login-per-ip, login-window, register-per-ip,
//              register-window, max-body, max-report-body
//   [updates]  services-file, signature-file, version
//   [mail]     smtp-host, smtp-port, from, reset-code-lifetime
//
// Thread rule: a value; any thread.
#pragma once

#include <optional>
#include <string>

namespace qby::server {

struct QBYServerConfig {
  std::string dataDir;
  std::string address = "127.0.0.1";
  int port = 8080;
  std::string tlsCertificate, tlsKey;
  // Take the client address from the last X-Forwarded-For entry (behind a reverse proxy only).
  bool trustProxy = false;
  std::string logFile;

  std::string backend = "sqlite";
  std::string postgresql;

  int quota = 5000;
  int codeLifetime = 30 * 24 * 3600;  // seconds a login code stays valid
  int minPasswordLength = 8;
  // An HTML page of the server's terms of use, shown by the app before it registers; without
  // one a built-in page says that none were published.
  std::string termsFile;

  int loginPerAddress = 10;  // failed sign-ins per address within the window
  int loginPerIP = 50;       // failed sign-ins per client address within the window
  int loginWindow = 900;
  int registerPerIP = 10;
  int registerWindow = 3600;
  // Clients cut each value of a change they send to 8 KiB (encoded), so every change fits in
  // this much with room for the sign-in and the rest of the request; a smaller limit would
  // refuse a change for good, and it would stay queued on its device.
  static constexpr size_t kSmallestMaxBody = 64 * 1024;
  size_t maxBody = 256 * 1024;
  size_t maxReportBody = 2 * 1024 * 1024;

  std::string servicesFile, signatureFile;
  long servicesVersion = 0;

  std::string smtpHost;
  int smtpPort = 25;
  std::string mailFrom = "porvane-server@localhost";
  int resetCodeLifetime = 3600;

  // Reads the file over the current values. False with `error` set when it cannot be read or a
  // value has the wrong type or range; the values read so far stay.
  bool load(const std::string& path, std::string& error);
  // Checks the combination (a back end that exists, a data folder when SQLite is used, …).
  bool validate(std::string& error) const;
};

}  // namespace qby::server
