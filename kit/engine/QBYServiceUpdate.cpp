#include "engine/QBYServiceUpdate.h"

#include <libsoup/soup.h>

#include <charconv>

#include "engine/QBYSignedString.h"
#include "platform/GLibPtr.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "platform/Paths.h"
#include "platform/QBYNotificationCenter.h"
#include "platform/QBYUserDefaults.h"

namespace qby {

namespace {

constexpr const char* kCertificateName = "Certificate-2018";
constexpr const char* kServicesFileName = "Services.js";
// Long enough for a slow line, short enough that a hung server does not keep an update busy
// for the rest of the session.
constexpr guint kDownloadTimeoutSeconds = 60;

// The offer's texts; numbers are accepted too, in case a caller converted them already.
std::optional<std::string> offerText(const Dictionary& offer, std::string_view key) {
  const Value& value = offer[key];
  if (const auto* text = value.stringPtr()) return *text;
  if (value.isInteger()) return std::to_string(*value.asInteger());
  return std::nullopt;
}

// Leading digits, as a text's integer value is read: "231", " 231 ", "231abc" are 231;
// anything without digits is 0.
std::int64_t offerVersion(const Dictionary& offer) {
  const auto text = offerText(offer, "version");
  if (!text) return 0;
  const char* begin = text->data();
  const char* end = begin + text->size();
  while (begin != end && (*begin == ' ' || *begin == '\t' || *begin == '\n')) ++begin;
  if (begin != end && *begin == '+') ++begin;
  std::int64_t version = 0;
  if (std::from_chars(begin, end, version).ec != std::errc()) return 0;
  return version;
}

bool offerBeta(const Dictionary& offer) {
  return offerText(offer, "beta") == "true";
}

// An empty signature can verify nothing, so it counts as none.
std::optional<std::string> offerSignature(const Dictionary& offer) {
  auto signature = offerText(offer, "signature");
  if (signature && signature->empty()) return std::nullopt;
  return signature;
}

std::string_view withoutByteOrderMark(std::string_view text) {
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  return text;
}

// The installed file as text: UTF-8 (with or without a byte-order mark) or UTF-16 with a
// byte-order mark. Nothing, with the error, when it cannot be read or is not text.
std::optional<std::string> readText(const std::filesystem::path& file, QBYError* error) {
  gchar* contents = nullptr;
  gsize length = 0;
  GError* readError = nullptr;
  if (!g_file_get_contents(file.c_str(), &contents, &length, &readError)) {
    GErrorPtr owned(readError);
    *error = errorFromGError(owned.get());
    return std::nullopt;
  }
  GCharPtr owned(contents);
  std::string_view bytes(contents, length);
  if (bytes.starts_with("\xFF\xFE") || bytes.starts_with("\xFE\xFF")) {
    const char* from = bytes.starts_with("\xFF\xFE") ? "UTF-16LE" : "UTF-16BE";
    gsize written = 0;
    GError* convertError = nullptr;
    GCharPtr converted(g_convert(contents + 2, static_cast<gssize>(length - 2), "UTF-8", from,
                                 nullptr, &written, &convertError));
    if (!converted) {
      GErrorPtr ownedError(convertError);
      *error = errorFromGError(ownedError.get());
      return std::nullopt;
    }
    return std::string(converted.get(), written);
  }
  bytes = withoutByteOrderMark(bytes);
  if (!g_utf8_validate(bytes.data(), static_cast<gssize>(bytes.size()), nullptr)) {
    *error = QBYError::make(g_quark_to_string(G_CONVERT_ERROR), G_CONVERT_ERROR_ILLEGAL_SEQUENCE,
                            "The file is not UTF-8 text.", Dictionary{{"path", file.string()}});
    return std::nullopt;
  }
  return std::string(bytes);
}

bool isDownloadURL(const std::string& location) {
  const GUriPtr uri(
      g_uri_parse(location.c_str(), static_cast<GUriFlags>(SOUP_HTTP_URI_FLAGS), nullptr));
  if (!uri) return false;
  const char* scheme = g_uri_get_scheme(uri.get());
  const char* host = g_uri_get_host(uri.get());
  return scheme &&
         (g_ascii_strcasecmp(scheme, "http") == 0 || g_ascii_strcasecmp(scheme, "https") == 0) &&
         host && *host;
}

}  // namespace

// The libsoup session and what is in flight on it. Lives on the queue's thread only, because
// a session is used from the thread whose context created it.
struct QBYServiceUpdate::Download {
  GObjectPtr<SoupSession> session;
  GObjectPtr<GCancellable> cancellable = GObjectPtr<GCancellable>::adopt(g_cancellable_new());
  int inFlight = 0;
  bool stopping = false;
};

struct QBYServiceUpdate::Request {
  QBYServiceUpdate* owner = nullptr;
  std::string location;
  Install install;
  GObjectPtr<SoupMessage> message;
};

QBYServiceUpdate::QBYServiceUpdate() {
  auto& defaults = QBYUserDefaults::sharedDefaults();
  // Nothing stored means nothing was ever downloaded: the shipped files are in use.
  version_ = defaults.objectForKey(QBYServiceUpdateVersionKey)
                 .asInteger()
                 .value_or(QBYServiceUpdateBundleVersion);
  beta_ = defaults.boolForKey(QBYServiceUpdateBetaKey);
}

QBYServiceUpdate::~QBYServiceUpdate() {
  cancelDownloadAndWait();
}

void QBYServiceUpdate::cancelDownloadAndWait() {
  queue_.addOperation([this] {
    if (!download_) return;
    download_->stopping = true;
    g_cancellable_cancel(download_->cancellable.get());
    // Let the cancelled requests call back, so nothing they hold outlives the session.
    while (download_->inFlight > 0) g_main_context_iteration(queue_.context(), TRUE);
    download_.reset();
  });
  queue_.waitUntilAllOperationsAreFinished(1e9);
}

void QBYServiceUpdate::setDelegate(std::weak_ptr<QBYServiceUpdateDelegate> delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = std::move(delegate);
}

std::filesystem::path QBYServiceUpdate::url() {
  std::lock_guard lock(mutex_);
  if (!url_) url_ = Paths::sharedCaches() / kServicesFileName;
  return *url_;
}

std::int64_t QBYServiceUpdate::installVersion() const {
  std::lock_guard lock(mutex_);
  return install_.version;
}

bool QBYServiceUpdate::installBeta() const {
  std::lock_guard lock(mutex_);
  return install_.beta;
}

std::optional<std::string> QBYServiceUpdate::installSignature() const {
  std::lock_guard lock(mutex_);
  return install_.signature;
}

std::optional<Date> QBYServiceUpdate::updated() const {
  return QBYUserDefaults::sharedDefaults().dateOrNilForKey(QBYServiceUpdateDateKey);
}

void QBYServiceUpdate::setUpdated(const std::optional<Date>& date) {
  QBYUserDefaults::sharedDefaults().setObject(date ? Value(*date) : Value(),
                                              QBYServiceUpdateDateKey);
}

std::int64_t QBYServiceUpdate::versionForUpdateQuery() const {
  return redownload_ ? QBYServiceUpdateBundleVersion : version_.load();
}

std::string QBYServiceUpdate::versionString() {
  auto& defaults = QBYUserDefaults::sharedDefaults();
  return format("%ld%@", defaults.integerForKey(QBYServiceUpdateVersionKey),
                defaults.boolForKey(QBYServiceUpdateBetaKey) ? " beta" : "");
}

void QBYServiceUpdate::checkBundleVersion() {
  std::error_code error;
  if (version_ <= QBYServiceUpdateBundleVersion || !std::filesystem::exists(url(), error)) reset();
}

bool QBYServiceUpdate::installedUpdateMatchesSignature(std::string_view signature) {
  const auto file = url();
  QBYError error;
  const auto text = readText(file, &error);
  if (!text) {
    log("Error verifying update %@: %@, %@", file.string(), error, Value(error.userInfo));
    return false;
  }
  auto installed = QBYSignedString::signedStringWithString(*text);
  if (installed.verifyWithSignature(signature, kCertificateName)) {
    log("Installed service update verified");
    return true;
  }
  log("Installed service update could not be verified!");
  return false;
}

void QBYServiceUpdate::handleUpdateOffer(const Dictionary& offer) {
  redownload_ = false;
  setUpdated(Date::now());

  const std::int64_t offered = offerVersion(offer);
  if (version_ > offered) {
    log("Existing service update is newer");
    return;
  }
  if (version_ != offered) {
    log("New service update available");
    installUpdate(offer);
    return;
  }
  const auto signature = offerSignature(offer);
  if (signature && !installedUpdateMatchesSignature(*signature)) {
    log("Existing service update is the same version, but signature is invalid");
    installUpdate(offer);
    return;
  }
  registerUpdate(offer);
}

void QBYServiceUpdate::installUpdate(const Dictionary& offer) {
  busy_ = true;
  // Each install carries its own copy of the offer, so an offer that arrives while another is
  // still being verified cannot lend it its version or signature.
  const Install install{offerVersion(offer), offerBeta(offer), offerSignature(offer)};
  {
    std::lock_guard lock(mutex_);
    install_ = install;
  }
  if (auto text = offerText(offer, "text")) {
    process(text, install);
    return;
  }
  const auto location = offerText(offer, "url");
  log("Downloading service update from %@", location);
  queue_.addOperation(
      [this, location = location.value_or(""), install] { download(location, install); });
}

void QBYServiceUpdate::download(const std::string& location, const Install& install) {
  auto request = std::make_unique<Request>();
  request->owner = this;
  request->location = location;
  request->install = install;
  if (isDownloadURL(location))
    request->message = GObjectPtr<SoupMessage>::adopt(soup_message_new("GET", location.c_str()));
  if (!request->message) {
    const auto error = QBYError::make(QBYServiceUpdateErrorDomain, QBYServiceUpdateErrorInvalidURL,
                                      "The service update has no valid download URL.",
                                      Dictionary{{"url", Value(location)}});
    log("Error downloading service update: %@, %@", error, Value(error.userInfo));
    process(std::nullopt, install);
    return;
  }

  if (!download_) download_ = std::make_unique<Download>();
  if (!download_->session) {
    // TLS certificates are checked against the system's trust store by default, and nothing
    // here accepts a certificate that fails.
    download_->session = GObjectPtr<SoupSession>::adopt(soup_session_new_with_options(
        "timeout", kDownloadTimeoutSeconds, "idle-timeout", kDownloadTimeoutSeconds, nullptr));
  }
  download_->inFlight++;
  SoupMessage* message = request->message.get();
  // The callback runs on this queue's context and owns the request from then on.
  soup_session_send_and_read_async(download_->session.get(), message, G_PRIORITY_DEFAULT,
                                   download_->cancellable.get(), &downloadFinished,
                                   request.release());
}

void QBYServiceUpdate::downloadFinished(GObject* source, GAsyncResult* result, void* data) {
  std::unique_ptr<Request> request(static_cast<Request*>(data));
  QBYServiceUpdate& owner = *request->owner;
  GError* sendError = nullptr;
  GBytes* body = soup_session_send_and_read_finish(SOUP_SESSION(source), result, &sendError);
  GErrorPtr ownedError(sendError);
  const GBytesPtr ownedBody(body);
  owner.download_->inFlight--;
  // Cancelled because the instance is going away: nobody is left to tell.
  if (owner.download_->stopping) return;

  std::optional<QBYError> error;
  if (!body) {
    error = errorFromGError(ownedError.get());
    error->userInfo.set("url", Value(request->location));
  } else if (const guint status = soup_message_get_status(request->message.get());
             status < 200 || status > 299) {
    // An error page is no services file; say so rather than let it fail the signature check.
    error = QBYError::make(QBYServiceUpdateErrorDomain, status, format("HTTP status %u", status),
                           Dictionary{{"url", Value(request->location)}});
  }
  if (error) {
    log("Error downloading service update: %@, %@", *error, Value(error->userInfo));
    owner.process(std::nullopt, request->install);
    return;
  }
  gsize size = 0;
  const auto* bytes = static_cast<const char*>(g_bytes_get_data(body, &size));
  const std::string_view text = withoutByteOrderMark(std::string_view(bytes ? bytes : "", size));
  // Data that is not UTF-8 is no text at all.
  owner.process(g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr)
                    ? std::optional<std::string>(text)
                    : std::nullopt,
                request->install);
}

void QBYServiceUpdate::registerUpdate(const Dictionary& offer) {
  setVersion(offerVersion(offer), offerBeta(offer), true);
}

void QBYServiceUpdate::manualUpdate() {
  redownload_ = true;
  setUpdated(std::nullopt);
}

bool QBYServiceUpdate::shouldReload() {
  auto& defaults = QBYUserDefaults::sharedDefaults();
  const std::int64_t stored = defaults.integerForKey(QBYServiceUpdateVersionKey);
  if (stored <= version_) return false;
  log("Found new service update from another process");
  setVersion(stored, defaults.boolForKey(QBYServiceUpdateBetaKey), false);
  return true;
}

void QBYServiceUpdate::reset() {
  busy_ = true;
  const auto file = GObjectPtr<GFile>::adopt(g_file_new_for_path(url().c_str()));
  GError* deleteError = nullptr;
  if (!g_file_delete(file.get(), nullptr, &deleteError)) {
    GErrorPtr owned(deleteError);
    if (!g_error_matches(owned.get(), G_IO_ERROR, G_IO_ERROR_NOT_FOUND)) {
      const auto failure = errorFromGError(owned.get());
      log("Error deleting service update: %@, %@", failure, Value(failure.userInfo));
    }
  }
  setVersion(QBYServiceUpdateBundleVersion, false, true);
  busy_ = false;
}

void QBYServiceUpdate::setVersion(std::int64_t version, bool beta, bool save) {
  version_ = version;
  beta_ = beta;
  if (save) {
    auto& defaults = QBYUserDefaults::sharedDefaults();
    defaults.setInteger(version, QBYServiceUpdateVersionKey);
    defaults.setBool(beta, QBYServiceUpdateBetaKey);
  }
  std::weak_ptr<int> alive = lifetime_;
  MainQueue::async([this, alive] {
    if (alive.expired()) return;
    QBYNotificationCenter::defaultCenter().post(QBYServiceUpdateNotification, this);
  });
}

void QBYServiceUpdate::processUpdateString(const std::optional<std::string>& text) {
  Install install;
  {
    std::lock_guard lock(mutex_);
    install = install_;
  }
  process(text, install);
}

void QBYServiceUpdate::process(const std::optional<std::string>& text, const Install& install) {
  if (!text || !install.signature) {
    log("Unknown service update error");
    finishUpdateWithSuccess(false);
    return;
  }
  queue_.addOperation([this, text = *text, install] {
    log("Verifying service update with signature");
    auto update = QBYSignedString::signedStringWithString(text);
    if (!update.verifyWithSignature(*install.signature, kCertificateName)) {
      log("Update signature could not be verified!");
      finishUpdateWithSuccess(false);
      return;
    }
    QBYError error;
    if (!update.writeToFile(url(), true, &error)) {
      log("Error writing service update: %@, %@", error, Value(error.userInfo));
      finishUpdateWithSuccess(false);
      return;
    }
    log("Installed service update %ld%@", install.version, install.beta ? " (beta)" : "");
    setVersion(install.version, install.beta, true);
    finishUpdateWithSuccess(true);
  });
}

void QBYServiceUpdate::finishUpdateWithSuccess(bool success) {
  busy_ = false;
  std::shared_ptr<QBYServiceUpdateDelegate> delegate;
  {
    std::lock_guard lock(mutex_);
    delegate = delegate_.lock();
  }
  if (!delegate) return;
  if (success)
    delegate->serviceUpdateInstalled(*this);
  else
    delegate->serviceUpdateFailed(*this);
}

}  // namespace qby
