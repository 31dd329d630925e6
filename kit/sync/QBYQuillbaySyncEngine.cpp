#include "sync/QBYQuillbaySyncEngine.h"

#include <libsoup/soup.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <sstream>
#include <vector>

#include "engine/QBYCookieStorage.h"
#include "platform/Localization.h"
#include "platform/Log.h"
#include "platform/Paths.h"
#include "platform/QBYUserDefaults.h"
#include "platform/Resources.h"
#include "store/QBYDataStore.h"
#include "sync/QBYSyncManager.h"
#include "sync/QBYSyncServerAddress.h"
#include "util/StringUtilities.h"
#include "util/URLUtilities.h"

namespace qby {

namespace {

constexpr double kFirstTimeout = 180;
constexpr double kTimeout = 30;
constexpr double kForegroundErrorWait = 600;
constexpr double kBackgroundErrorWait = 1800;
constexpr double kForegroundSyncInterval = 60;
constexpr double kBackgroundSyncInterval = 1800;
constexpr double kUpdateCheckErrorWait = 21600;
// No honest reply comes near this; a server that sends more is not read further.
constexpr gsize kMaxReplyBytes = 32 * 1024 * 1024;

std::string sixDecimals(double value) {
  if (!std::isfinite(value)) value = 0;
  char buffer[G_ASCII_DTOSTR_BUF_SIZE];
  return g_ascii_formatd(buffer, sizeof buffer, "%.6f", value);
}

std::optional<double> numberValue(const std::optional<std::string>& text) {
  if (!text || text->empty()) return std::nullopt;
  char* end = nullptr;
  const double value = g_ascii_strtod(text->c_str(), &end);
  if (end == text->c_str() || !std::isfinite(value)) return std::nullopt;
  return value;
}

std::string formText(const Dictionary& form, std::string_view key) {
  return form[key].asString().value_or("");
}

bool hasText(const std::optional<std::string>& text) {
  return text && hasTrimmedValue(*text);
}

// Seconds since the date; a missing date is infinitely long ago.
double secondsSinceDate(const std::optional<Date>& date) {
  if (!date) return INFINITY;
  return -date->timeIntervalSinceNow();
}

// Offline, or the name does not resolve: not the server's fault, so no back-off.
bool isInternetProblem(const GError* error) {
  if (!error) return false;
  if (error->domain == G_RESOLVER_ERROR) return true;
  return g_error_matches(error, G_IO_ERROR, G_IO_ERROR_NETWORK_UNREACHABLE) ||
         g_error_matches(error, G_IO_ERROR, G_IO_ERROR_HOST_UNREACHABLE);
}

struct SendContext {
  std::weak_ptr<bool> alive;
  QBYQuillbaySyncEngine* engine;
  std::shared_ptr<QBYQuillbayOperation> operation;
};

}  // namespace

// Collects what a reply says, in order, so that its effects run after the exchange left the
// queue, the way callbacks queued on the main thread would.
class QBYQuillbaySyncEngine::ReplyReader : public QBYXMLParserDelegate {
 public:
  explicit ReplyReader(QBYQuillbayOperation& operation) : operation_(operation) {}

  void parserEncounteredName(QBYXMLParser&, const std::string& name,
                             const std::optional<std::string>& value,
                             const std::optional<Dictionary>& attributes) override {
    if (name == "success") {
      if (isTrue(value)) {
        operation_.success = true;
        actions.push_back([](QBYQuillbaySyncEngine& engine, QBYQuillbayOperation& operation) {
          engine.operationSucceeded(operation);
        });
      } else if (isFalse(value)) {
        operation_.failure = true;
        if (attributes && isTrue((*attributes)["retry"].asString())) operation_.retry = true;
      }
      return;
    }
    actions.push_back(
        [name, value, attributes](QBYQuillbaySyncEngine& engine, QBYQuillbayOperation& operation) {
          engine.encountered(operation, name, value, attributes);
        });
  }

  std::vector<std::function<void(QBYQuillbaySyncEngine&, QBYQuillbayOperation&)>> actions;

 private:
  QBYQuillbayOperation& operation_;
};

QBYQuillbaySyncEngine::QBYQuillbaySyncEngine() : alive_(std::make_shared<bool>(true)) {}

QBYQuillbaySyncEngine::~QBYQuillbaySyncEngine() {
  alive_.reset();
  cancelAllOperations();
  resetQuillbaySession();
}

// --- Request bodies -------------------------------------------------------------------------

std::string QBYQuillbaySyncEngine::commonTail(const std::string& version,
                                              const std::string& osVersion, double now,
                                              const std::string& additionalQuery) {
  return "&type=linux&version=" + stringEncodedForURLQuery(version) +
         "&osversion=" + stringEncodedForURLQuery(osVersion) + "&now=" + sixDecimals(now) +
         additionalQuery;
}

std::string QBYQuillbaySyncEngine::registerQuery(const Dictionary& form) {
  return "cmd=register&email=" + stringEncodedForURLQuery(formText(form, "email")) +
         "&newpassword=" + stringEncodedForURLQuery(formText(form, "password")) +
         "&confirmpass=" + stringEncodedForURLQuery(formText(form, "confirm")) +
         "&name=" + stringEncodedForURLQuery(formText(form, "name")) +
         "&terms=" + (form["terms"].isNull() ? "" : "true");
}

std::string QBYQuillbaySyncEngine::operatingSystemVersion() {
  long numbers[3] = {0, 0, 0};
  if (const auto release = Paths::readFile("/etc/os-release")) {
    std::istringstream lines(*release);
    std::string line;
    while (std::getline(lines, line)) {
      if (!line.starts_with("VERSION_ID=")) continue;
      std::string text = line.substr(11);
      text.erase(std::remove(text.begin(), text.end(), '"'), text.end());
      std::istringstream parts(text);
      std::string part;
      for (int i = 0; i < 3 && std::getline(parts, part, '.'); ++i)
        numbers[i] = std::strtol(part.c_str(), nullptr, 10);
    }
  }
  return std::to_string(numbers[0]) + "." + std::to_string(numbers[1]) + "." +
         std::to_string(numbers[2]);
}

std::optional<std::string> QBYQuillbaySyncEngine::quillbayLoginQuery() {
  if (const auto& form = manager_->quillbaySettings()) {
    const auto password = (*form)["password"].asString();
    if (!password) return std::nullopt;
    return "&email=" + stringEncodedForURLQuery(formText(*form, "email")) +
           "&password=" + stringEncodedForURLQuery(*password);
  }
  const std::string email = manager_->quillbayEmail().value_or("");
  const std::string client = manager_->defaults().stringForKey(QBYQuillbayClientKey).value_or("");
  const auto code = manager_->quillbayCode();
  if (code && !code->empty() && !client.empty())
    return "&client=" + stringEncodedForURLQuery(client) +
           "&code=" + stringEncodedForURLQuery(*code);
  const auto password =
      email.empty() ? std::nullopt
                    : manager_->credentials().passwordForAccount(email, QBYQuillbayServiceKey);
  // Without a password there is nothing to log in with: a request with an empty password
  // would only count against the address's sign-in limit.
  if (!password || password->empty()) return std::nullopt;
  return "&email=" + stringEncodedForURLQuery(email) +
         "&client=" + stringEncodedForURLQuery(client) +
         "&password=" + stringEncodedForURLQuery(*password);
}

std::optional<std::string> QBYQuillbaySyncEngine::quillbayRequestBody(
    const std::optional<std::string>& query, bool login) {
  auto* delegate = manager_->delegate();
  const std::string tail = commonTail(
      Resources::version(), operatingSystemVersion(), Date::now().timeIntervalSince1970(),
      delegate ? delegate->additionalQueryForQuillbaySync() : std::string());
  if (login) {
    const auto loginPart = quillbayLoginQuery();
    if (!loginPart) return std::nullopt;
    return query.value_or("") + *loginPart +
           "&updated=" + sixDecimals(manager_->defaults().doubleForKey(QBYQuillbayUpdatedKey)) +
           tail;
  }
  return query ? *query + tail : tail;
}

// --- Flushing -------------------------------------------------------------------------------

void QBYQuillbaySyncEngine::syncWithQuillbay() {
  if (!QBYSyncServerAddress::address(manager_->defaults())) {
    manager_->quillbaySyncFailedWithConnectionError(true);
    return;
  }
  auto* delegate = manager_->delegate();
  if (delegate && delegate->parentAppOpen()) {
    log("Not syncing with Quillbay, main app is open");
    return;
  }
  bool needsMet = false;
  if (const auto& form = manager_->quillbaySettings()) {
    needsMet = hasText((*form)["email"].asString()) && hasText((*form)["password"].asString());
  } else {
    needsMet = manager_->quillbayEmail().has_value();
    manager_->setRefreshQuillbayCode(true);
  }
  if (needsMet) {
    if (auto* store = manager_->dataStore()) store->saveData();
    syncWithQuillbayContinue(false, false);
    return;
  }
  log("Attemped to sync but no email address was found");
  manager_->setQuillbayEnabled(false);
  manager_->quillbaySyncFailedWithConnectionError(true);
  manager_->disableQuillbayAndDeletePassword(false);
}

void QBYQuillbaySyncEngine::syncWithQuillbayContinue(bool continueAfterSuccess, bool retry) {
  manager_->setMoreToSync(false);
  auto items = manager_->fetchQueueItems();
  // The store answers in no particular order; changes go out in the order they were made.
  std::stable_sort(
      items.begin(), items.end(),
      [](const QBYSyncQueueItem& a, const QBYSyncQueueItem& b) { return a.date < b.date; });
  if (!retry && items.empty() && !manager_->forceUpdate() && !manager_->quillbaySettings() &&
      !timeToSync()) {
    manager_->setStep(5);
    return;
  }
  if (!continueAfterSuccess) manager_->setStep(2);
  manager_->setForceUpdate(false);

  bool added = false;
  for (const auto& item : items) {
    if (hasOperationWithUUID(item.uuid)) continue;
    if (!continueAfterSuccess && added) {
      manager_->setMoreToSync(true);
      break;
    }
    // Items queued by older builds may hold values no server accepts.
    addOperation(item.uuid, QBYSyncChangeQueue::cappedQuery(item.query), true);
    added = true;
  }
  if (added) return;
  // An exchange that was cancelled but has not yet heard back from libsoup will send
  // nothing: it must not hold back the request a new sign-in needs.
  const std::size_t count = static_cast<std::size_t>(
      std::count_if(operations_.begin(), operations_.end(),
                    [](const auto& operation) { return !operation->cancelled(); }));
  if (count > 1 || (!retry && count > 0)) return;
  if (!continueAfterSuccess) {
    addOperation(std::nullopt, std::string("cmd=get"), true);
    return;
  }
  manager_->setStep(5);
}

bool QBYQuillbaySyncEngine::timeToSync() const {
  auto* interface = manager_->interfaceDelegate();
  const bool background =
      !interface || interface->applicationState() == QBYApplicationStateBackground;
  if (secondsSinceDate(manager_->quillbayErrorDate()) <
      (background ? kBackgroundErrorWait : kForegroundErrorWait))
    return false;
  return secondsSinceDate(manager_->quillbaySuccessDate()) >
         (background ? kBackgroundSyncInterval : kForegroundSyncInterval);
}

void QBYQuillbaySyncEngine::quillbayUpdate() {
  auto* delegate = manager_->delegate();
  if (QBYSyncServerAddress::address(manager_->defaults()) && !manager_->preparingToStop() &&
      secondsSinceDate(manager_->quillbayErrorDate()) > kUpdateCheckErrorWait && delegate &&
      delegate->shouldQuillbayUpdate()) {
    manager_->setQuillbayMessage(std::nullopt);
    manager_->setStep(4);
    manager_->setForceUpdate(false);
    addOperation(std::nullopt, std::nullopt, false);
    return;
  }
  manager_->setStep(5);
}

void QBYQuillbaySyncEngine::registerQuillbayAccount() {
  if (!QBYSyncServerAddress::address(manager_->defaults())) {
    manager_->quillbaySyncFailedWithConnectionError(true);
    return;
  }
  manager_->setQuillbayMessage(std::nullopt);
  manager_->setStep(2);
  addOperation(std::nullopt, registerQuery(manager_->quillbaySettings().value_or(Dictionary())),
               false);
}

// --- The operation queue --------------------------------------------------------------------

void QBYQuillbaySyncEngine::addOperation(std::optional<std::string> uuid,
                                         std::optional<std::string> query, bool requiresLogin) {
  operations_.push_back(
      std::make_shared<QBYQuillbayOperation>(std::move(uuid), std::move(query), requiresLogin));
  updateCount();
  startNextOperation();
}

bool QBYQuillbaySyncEngine::hasOperationWithUUID(const std::string& uuid) const {
  return std::any_of(operations_.begin(), operations_.end(), [&](const auto& operation) {
    return !operation->cancelled() && operation->uuid() == uuid;
  });
}

std::size_t QBYQuillbaySyncEngine::operationCount() const {
  std::lock_guard lock(countMutex_);
  return count_;
}

void QBYQuillbaySyncEngine::updateCount() {
  {
    std::lock_guard lock(countMutex_);
    count_ = operations_.size();
  }
  countChanged_.notify_all();
}

void QBYQuillbaySyncEngine::cancelAllOperations() {
  for (const auto& operation : operations_) operation->cancel();
  // A running exchange stays counted until libsoup confirms the cancellation.
  if (running_) {
    operations_.erase(operations_.begin() + 1, operations_.end());
  } else {
    operations_.clear();
  }
  updateCount();
}

void QBYQuillbaySyncEngine::cancelOperationsWithUUID(const std::string& uuid) {
  for (auto it = operations_.begin(); it != operations_.end();) {
    if ((*it)->uuid() == uuid) {
      (*it)->cancel();
      if (!(running_ && it == operations_.begin())) {
        it = operations_.erase(it);
        continue;
      }
    }
    ++it;
  }
  updateCount();
}

bool QBYQuillbaySyncEngine::waitUntilAllOperationsAreFinished(double timeoutSeconds) {
  std::unique_lock lock(countMutex_);
  return countChanged_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds),
                                [this] { return count_ == 0; });
}

void QBYQuillbaySyncEngine::stop() {
  cancelAllOperations();
  resetQuillbaySession();
}

void QBYQuillbaySyncEngine::resetQuillbaySession() {
  if (!session_) return;
  soup_session_abort(session_.get());
  session_ = GObjectPtr<SoupSession>();
}

SoupSession* QBYQuillbaySyncEngine::session() {
  if (!session_) {
    session_ = GObjectPtr<SoupSession>::adopt(soup_session_new_with_options(
        "max-conns-per-host", 1, "timeout", static_cast<guint>(kFirstTimeout), nullptr));
    // The service's session cookie is shared with every program of the suite.
    auto jar = groupCookieJar();
    if (jar) soup_session_add_feature(session_.get(), SOUP_SESSION_FEATURE(jar.get()));
  }
  return session_.get();
}

void QBYQuillbaySyncEngine::startNextOperation() {
  if (running_) return;
  while (!operations_.empty() && operations_.front()->cancelled()) operations_.pop_front();
  updateCount();
  if (operations_.empty()) {
    manager_->operationCountDidReachZero();
    return;
  }
  running_ = true;
  send(operations_.front());
}

void QBYQuillbaySyncEngine::send(const std::shared_ptr<QBYQuillbayOperation>& operation) {
  const auto url = QBYSyncServerAddress::urlForPath(manager_->defaults(), QBYSyncServicePath);
  const auto body =
      url ? quillbayRequestBody(operation->query(), operation->requiresLogin()) : std::nullopt;
  if (!body) {
    finishOperation(operation);
    if (url) {
      // Nothing is sent without credentials, but the exchange did not happen either: say so
      // rather than settle as if it had.
      log("Not sending a sync request: no password or login code for the account");
      manager_->setQuillbayMessage(
          QBYLocalizedString("No password is stored for this account. Please sign in again."));
      manager_->quillbaySyncFailedWithConnectionError(false);
    }
    startNextOperation();
    return;
  }
  SoupMessage* message = soup_message_new("POST", url->c_str());
  if (!message) {
    finishOperation(operation);
    startNextOperation();
    return;
  }
  GObjectPtr<SoupMessage> owned = GObjectPtr<SoupMessage>::adopt(message);
  GBytesPtr bytes(g_bytes_new(body->data(), body->size()));
  soup_message_set_request_body_from_bytes(message, "application/x-www-form-urlencoded",
                                           bytes.get());
  soup_message_headers_replace(soup_message_get_request_headers(message), "Cache-Control",
                               "no-cache");
  soup_session_set_timeout(session(),
                           manager_->defaults().doubleForKey(QBYQuillbayUpdatedKey) <= 1.0
                               ? static_cast<guint>(kFirstTimeout)
                               : static_cast<guint>(kTimeout));
  auto* context = new SendContext{alive_, this, operation};
  soup_session_send_and_read_async(
      session(), message, G_PRIORITY_DEFAULT, operation->cancellable(),
      [](GObject* source, GAsyncResult* result, gpointer data) {
        std::unique_ptr<SendContext> context(static_cast<SendContext*>(data));
        GError* rawError = nullptr;
        GBytesPtr reply(soup_session_send_and_read_finish(SOUP_SESSION(source), result, &rawError));
        GErrorPtr error(rawError);
        if (context->alive.expired()) return;
        context->engine->replyArrived(context->operation, reply.get(), error.get());
      },
      context);
}

void QBYQuillbaySyncEngine::replyArrived(const std::shared_ptr<QBYQuillbayOperation>& operation,
                                         GBytes* body, GError* error) {
  if (operation->cancelled()) {
    finishOperation(operation);
    startNextOperation();
    return;
  }
  gsize size = 0;
  const char* data = body ? static_cast<const char*>(g_bytes_get_data(body, &size)) : nullptr;
  if (!data || size == 0 || size > kMaxReplyBytes) {
    if (error) {
      log("Error syncing: %@, %@", std::string(error->message), g_quark_to_string(error->domain));
      operation->internetProblem = isInternetProblem(error);
    }
    finishOperation(operation);
    operationFailed(*operation);
    startNextOperation();
    return;
  }
  ReplyReader reader(*operation);
  const auto parser = QBYXMLParser::parseData(std::string_view(data, size), &reader);
  finishOperation(operation);
  if (!parser->success()) {
    log("Error parsing XML: %@, %@", parser->error() ? parser->error()->localizedDescription : "",
        parser->error() ? std::to_string(parser->error()->code) : "");
  } else {
    for (const auto& action : reader.actions) action(*this, *operation);
  }
  // A document that says neither yes nor no (an error page that happens to be well-formed)
  // is no answer either.
  const bool answered = operation->success || operation->failure;
  if (!parser->success() || operation->failure || !answered) operationFailed(*operation);
  startNextOperation();
}

void QBYQuillbaySyncEngine::finishOperation(
    const std::shared_ptr<QBYQuillbayOperation>& operation) {
  // A cancelled exchange may already have left the queue (cancelOperationsWithUUID keeps only
  // the running one in front).
  auto it = std::find(operations_.begin(), operations_.end(), operation);
  if (it != operations_.end()) operations_.erase(it);
  running_ = false;
  updateCount();
}

// --- Applying replies -----------------------------------------------------------------------

void QBYQuillbaySyncEngine::raiseUpdated(double updated) {
  if (updated > manager_->defaults().doubleForKey(QBYQuillbayUpdatedKey))
    manager_->defaults().setDouble(updated, QBYQuillbayUpdatedKey);
}

void QBYQuillbaySyncEngine::encountered(QBYQuillbayOperation& operation, const std::string& name,
                                        const std::optional<std::string>& value,
                                        const std::optional<Dictionary>& attributes) {
  (void)operation;
  auto& defaults = manager_->defaults();
  auto* delegate = manager_->delegate();
  if (name == "client") {
    if (value) defaults.setObject(Value(*value), QBYQuillbayClientKey);
  } else if (name == "code") {
    manager_->saveQuillbayCode(value);
  } else if (name == "offset") {
    if (const auto offset = numberValue(value)) defaults.setDouble(*offset, QBYQuillbayOffsetKey);
  } else if (name == "updated") {
    if (attributes && isTrue((*attributes)["skip"].asString()))
      if (const auto updated = numberValue(value)) raiseUpdated(*updated);
  } else if (name == "message") {
    std::optional<std::string> message;
    if (hasText(value) && *value != "Delivery synced…" && *value != "Note synced…")
      message = QBYLocalizedString(*value);
    manager_->setQuillbayMessage(message);
    if (message) manager_->postNotification(QBYSyncChangeNotification, message);
  } else if (name == "delivery") {
    const Dictionary fields = attributes.value_or(Dictionary());
    const auto uuid = fields["uuid"].asString();
    const double updated = numberValue(fields["updated"].asString()).value_or(0);
    if (uuid && !uuid->empty() && manager_->removeFromQueue(*uuid, updated, false) && delegate) {
      const auto deleted = numberValue(fields["deleted"].asString()).value_or(0);
      if (deleted >= 1) {
        delegate->removeObjectWithUUID(*uuid);
      } else {
        delegate->saveObjectWithAttributes(fields, false);
      }
    }
    raiseUpdated(updated);
  } else if (name == "pushenabled" || name == "token") {
    // Push is not offered on this platform.
  } else if (delegate) {
    Dictionary fields = attributes.value_or(Dictionary());
    if (!attributes && value) fields.set("value", Value(*value));
    delegate->unknownObjectNamed(name, fields);
  }
}

void QBYQuillbaySyncEngine::operationSucceeded(QBYQuillbayOperation& operation) {
  manager_->setQuillbaySuccessDate(Date::now());
  manager_->setQuillbayErrorDate(std::nullopt);
  std::string command;
  if (const auto& uuid = operation.uuid()) {
    for (const auto& item : manager_->fetchQueueItems())
      if (item.uuid == *uuid) command = item.cmd;
    manager_->removeUUIDFromQueue(*uuid);
  }
  if (command != QBYQueueCommandLogout) manager_->setQuillbayEnabled(true);
  if (manager_->quillbaySettings()) {
    manager_->saveQuillbaySettings();
    manager_->postNotification(QBYSyncSuccessNotification, std::nullopt);
  }
  if (manager_->moreToSync() && manager_->quillbayEnabled()) syncWithQuillbayContinue(true, false);
}

void QBYQuillbaySyncEngine::operationFailed(QBYQuillbayOperation& operation) {
  if (operation.failure) {
    manager_->setQuillbaySettings(std::nullopt);
    if (operation.retry) {
      log("Sync failed with code, will try again with password");
      manager_->saveQuillbayCode(std::nullopt);
      syncWithQuillbayContinue(false, true);
      return;
    }
    manager_->setQuillbayEnabled(false);
    log("Sync failed: %@ item: %@", manager_->quillbayMessage().value_or("(null)"),
        operation.uuid().value_or("(null)"));
    manager_->postNotification(QBYSyncSettingsErrorNotification, std::nullopt);
    manager_->quillbaySyncFailedWithConnectionError(false);
    return;
  }
  if (!operation.internetProblem) manager_->setQuillbayErrorDate(Date::now());
  manager_->quillbaySyncFailedWithConnectionError(true);
}

}  // namespace qby
