#include "QBYServerConfig.h"

#include <glib.h>

#include <memory>

namespace qby::server {

namespace {

struct KeyFileDeleter {
  void operator()(GKeyFile* f) const { g_key_file_free(f); }
};

class Reader {
 public:
  explicit Reader(GKeyFile* file) : file_(file) {}

  bool text(const char* group, const char* key, std::string& out) {
    if (!g_key_file_has_key(file_, group, key, nullptr)) return true;
    GError* error = nullptr;
    char* value = g_key_file_get_string(file_, group, key, &error);
    if (!value) return failed(group, key, error);
    out = value;
    g_free(value);
    return true;
  }
  template <typename Number>
  bool number(const char* group, const char* key, Number& out, long long min, long long max) {
    if (!g_key_file_has_key(file_, group, key, nullptr)) return true;
    GError* error = nullptr;
    const gint64 value = g_key_file_get_int64(file_, group, key, &error);
    if (error) return failed(group, key, error);
    if (value < min || value > max) {
      error_ = std::string("[") + group + "] " + key + " must be between " + std::to_string(min) +
               " and " + std::to_string(max);
      return false;
    }
    out = static_cast<Number>(value);
    return true;
  }
  bool boolean(const char* group, const char* key, bool& out) {
    if (!g_key_file_has_key(file_, group, key, nullptr)) return true;
    GError* error = nullptr;
    const gboolean value = g_key_file_get_boolean(file_, group, key, &error);
    if (error) return failed(group, key, error);
    out = value;
    return true;
  }
  const std::string& error() const { return error_; }

 private:
  bool failed(const char* group, const char* key, GError* error) {
    error_ = std::string("[") + group + "] " + key + ": " + (error ? error->message : "unreadable");
    if (error) g_error_free(error);
    return false;
  }
  GKeyFile* file_;
  std::string error_;
};

}  // namespace

bool QBYServerConfig::load(const std::string& path, std::string& error) {
  std::unique_ptr<GKeyFile, KeyFileDeleter> file(g_key_file_new());
  GError* gerror = nullptr;
  if (!g_key_file_load_from_file(file.get(), path.c_str(), G_KEY_FILE_NONE, &gerror)) {
    error = path + ": " + (gerror ? gerror->message : "unreadable");
    if (gerror) g_error_free(gerror);
    return false;
  }
  Reader r(file.get());
  const bool ok =
      r.text("server", "address", address) && r.number("server", "port", port, 0, 65535) &&
      r.text("server", "tls-certificate", tlsCertificate) && r.text("server", "tls-key", tlsKey) &&
      r.boolean("server", "trust-proxy", trustProxy) && r.text("server", "log-file", logFile) &&
      r.text("server", "data", dataDir) && r.text("storage", "backend", backend) &&
      r.text("storage", "postgresql", postgresql) &&
      r.number("accounts", "quota", quota, 1, 10'000'000) &&
      r.number("accounts", "code-lifetime", codeLifetime, 1, 365 * 24 * 3600) &&
      r.number("accounts", "min-password-length", minPasswordLength, 1, 1024) &&
      r.text("accounts", "terms-file", termsFile) &&
      r.number("limits", "login-per-address", loginPerAddress, 1, 1'000'000) &&
      r.number("limits", "login-per-ip", loginPerIP, 1, 1'000'000) &&
      r.number("limits", "login-window", loginWindow, 1, 7 * 24 * 3600) &&
      r.number("limits", "register-per-ip", registerPerIP, 1, 1'000'000) &&
      r.number("limits", "register-window", registerWindow, 1, 7 * 24 * 3600) &&
      r.number("limits", "max-body", maxBody, kSmallestMaxBody, 64LL * 1024 * 1024) &&
      r.number("limits", "max-report-body", maxReportBody, 1024, 256LL * 1024 * 1024) &&
      r.text("updates", "services-file", servicesFile) &&
      r.text("updates", "signature-file", signatureFile) &&
      r.number("updates", "version", servicesVersion, 0, 1'000'000'000) &&
      r.text("mail", "smtp-host", smtpHost) && r.number("mail", "smtp-port", smtpPort, 1, 65535) &&
      r.text("mail", "from", mailFrom) &&
      r.number("mail", "reset-code-lifetime", resetCodeLifetime, 60, 7 * 24 * 3600);
  if (!ok) error = path + ": " + r.error();
  return ok;
}

bool QBYServerConfig::validate(std::string& error) const {
  if (backend != "sqlite" && backend != "postgresql") {
    error = "unknown storage backend \"" + backend + "\" (sqlite or postgresql)";
    return false;
  }
  if (backend == "sqlite" && dataDir.empty()) {
    error = "the SQLite back end needs a data folder (--data DIR)";
    return false;
  }
  if (backend == "postgresql" && postgresql.empty()) {
    error = "the PostgreSQL back end needs [storage] postgresql (a connection string)";
    return false;
  }
  if (tlsCertificate.empty() != tlsKey.empty()) {
    error = "TLS needs both tls-certificate and tls-key";
    return false;
  }
  if (!servicesFile.empty() && (signatureFile.empty() || servicesVersion <= 0)) {
    error = "a services file needs its signature-file and a version";
    return false;
  }
  return true;
}

}  // namespace qby::server
