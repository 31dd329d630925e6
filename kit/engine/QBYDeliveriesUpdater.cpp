#include "engine/QBYDeliveriesUpdater.h"

#include <gio/gio.h>
#include <libsoup/soup.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <thread>
#include <utility>

#include "PorvaneKit.h"
#include "engine/QBYCookieStorage.h"
#include "engine/QBYDeliveriesUpdaterInternal.h"
#include "engine/QBYIPAddress.h"
#include "engine/QBYPrivateToken.h"
#include "engine/QBYResponseDecoding.h"
#include "engine/QBYScriptValues.h"
#include "engine/QBYServiceUpdate.h"
#include "engine/QBYUserAgentChecker.h"
#include "engine/QBYUserModules.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "platform/QBYUserDefaults.h"
#include "util/QBYRegions.h"
#include "util/URLUtilities.h"

namespace qby {

using updater::textArgument;

namespace {

constexpr std::size_t kBatchSize = 5;

// "2024-03-05 14:02:11.042", local time.
std::string logTimeStamp() {
  GDateTime* now = g_date_time_new_now_local();
  if (!now) return "";
  GCharPtr seconds{g_date_time_format(now, "%Y-%m-%d %H:%M:%S")};
  const int milliseconds = g_date_time_get_microsecond(now) / 1000;
  g_date_time_unref(now);
  char fraction[16];
  std::snprintf(fraction, sizeof fraction, ".%03d", milliseconds);
  return std::string(seconds ? seconds.get() : "") + fraction;
}

// The texts a script sends as "requestExtraInformation" types that name a configured
// credential of a carrier's interface.
bool isCredentialType(std::string_view type) {
  return type == "apiKey" || type == "clientID" || type == "clientSecret" ||
         type == "accountNumber";
}

}  // namespace

namespace {
// Settings for the updater being made on this thread by deliveriesUpdater(); the constructor
// takes them before the configuration it queues can run.
struct InitialSettings {
  std::optional<std::filesystem::path> servicesURL;
  bool limitMemoryUsage = false;
};
thread_local std::optional<InitialSettings> initialSettings;

}  // namespace

void QBYDeliveriesUpdater::setFileLoggingEnabledSource(std::function<bool()> source) {
  std::lock_guard lock(settingsMutex_);
  fileLoggingEnabled_ = std::move(source);
}

std::shared_ptr<QBYDeliveriesUpdater> QBYDeliveriesUpdater::deliveriesUpdater(
    std::optional<std::filesystem::path> servicesURL, bool limitMemoryUsage) {
  initialSettings = InitialSettings{std::move(servicesURL), limitMemoryUsage};
  auto updater = scriptRunnerWithConfigurationBlock<QBYDeliveriesUpdater>();
  initialSettings.reset();
  return updater;
}

QBYDeliveriesUpdater::QBYDeliveriesUpdater(ConstructionToken token)
    : QBYScriptRunner(token), stopRequests_(GObjectPtr<GCancellable>::adopt(g_cancellable_new())) {
  if (initialSettings) {
    servicesURL_ = initialSettings->servicesURL;
    limitMemoryUsage_ = initialSettings->limitMemoryUsage;
    initialSettings.reset();
  }
  // The observers are removed in the destructor, before anything they use is gone.
  auto& center = QBYNotificationCenter::defaultCenter();
  resignActiveObserver_ = center.addObserver(QBYApplicationWillResignActiveNotification, nullptr,
                                             [](const Notification&) { checkCookies(); });
  terminateObserver_ = center.addObserver(QBYApplicationWillTerminateNotification, nullptr,
                                          [](const Notification&) { checkCookies(); });
}

QBYDeliveriesUpdater::~QBYDeliveriesUpdater() {
  resignActiveObserver_.reset();
  terminateObserver_.reset();
  // After invalidate the session is already being dropped on the queue it belonged to.
  if (networkMade_ && !invalidated_) retireNetwork(network_, queue());
}

std::shared_ptr<QBYDeliveriesUpdater> QBYDeliveriesUpdater::sharedFrom(QBYScriptRunner& runner) {
  return std::static_pointer_cast<QBYDeliveriesUpdater>(runner.shared_from_this());
}

// --- Properties ---

void QBYDeliveriesUpdater::setDelegate(std::weak_ptr<QBYDeliveriesUpdaterDelegate> delegate) {
  std::lock_guard lock(settingsMutex_);
  delegate_ = std::move(delegate);
}

std::shared_ptr<QBYDeliveriesUpdaterDelegate> QBYDeliveriesUpdater::delegate() const {
  std::lock_guard lock(settingsMutex_);
  return delegate_.lock();
}

void QBYDeliveriesUpdater::setServicesURL(std::optional<std::filesystem::path> url) {
  std::lock_guard lock(settingsMutex_);
  servicesURL_ = std::move(url);
}

std::optional<std::filesystem::path> QBYDeliveriesUpdater::servicesURL() const {
  std::lock_guard lock(settingsMutex_);
  return servicesURL_;
}

void QBYDeliveriesUpdater::setLimitMemoryUsage(bool limit) {
  limitMemoryUsage_ = limit;
}

bool QBYDeliveriesUpdater::limitMemoryUsage() const {
  return limitMemoryUsage_;
}

void QBYDeliveriesUpdater::setRequestTimeout(double seconds) {
  requestTimeout_ = seconds;
}

double QBYDeliveriesUpdater::requestTimeout() const {
  return requestTimeout_;
}

void QBYDeliveriesUpdater::setNetworkAvailability(std::function<bool()> networkAvailable) {
  std::lock_guard lock(settingsMutex_);
  networkAvailable_ = std::move(networkAvailable);
}

void QBYDeliveriesUpdater::setUserAgent(std::optional<std::string> userAgent) {
  std::lock_guard lock(settingsMutex_);
  userAgent_ = std::move(userAgent);
}

std::optional<std::string> QBYDeliveriesUpdater::userAgent() const {
  std::lock_guard lock(settingsMutex_);
  return userAgent_;
}

// An invalidated updater is never busy, also while work queued before invalidate winds down.
bool QBYDeliveriesUpdater::busy() const {
  return busy_ && !invalidated_;
}

bool QBYDeliveriesUpdater::invalidated() const {
  return invalidated_;
}

bool QBYDeliveriesUpdater::troubleshooting() const {
  return troubleshooting_;
}

std::size_t QBYDeliveriesUpdater::pendingCount() const {
  return pending_;
}

// --- Configuring the context ---

JSCContext* QBYDeliveriesUpdater::configureContext() {
  JSCContext* context = QBYScriptRunner::configureContext();
  if (!context) return context;

  installHostFunction(context, "requestURL",
                      [](QBYScriptRunner& runner, JSCContext* context, const auto& arguments) {
                        sharedFrom(runner)->requestURL(context, arguments);
                        return GObjectPtr<JSCValue>();
                      });
  installHostFunction(context, "requestExtraInformation",
                      [](QBYScriptRunner& runner, JSCContext* context, const auto& arguments) {
                        return sharedFrom(runner)->requestExtraInformation(context, arguments);
                      });
  installHostFunction(context, "updateDelivery",
                      [](QBYScriptRunner& runner, JSCContext* context, const auto& arguments) {
                        sharedFrom(runner)->updateDelivery(context, arguments);
                        return GObjectPtr<JSCValue>();
                      });
  installHostFunction(context, "saveUserAgent",
                      [](QBYScriptRunner&, JSCContext*, const auto& arguments) {
                        if (const auto domain = textArgument(arguments, 0))
                          QBYUserAgentChecker::saveUserAgent(textArgument(arguments, 1), *domain);
                        return GObjectPtr<JSCValue>();
                      });
  installHostFunction(context, "finalStatus",
                      [](QBYScriptRunner& runner, JSCContext*, const auto& arguments) {
                        sharedFrom(runner)->finalStatus(arguments);
                        return GObjectPtr<JSCValue>();
                      });

  configureScriptNamed("Common", true);
  configureScriptNamed("Guess", true);
  configureScriptNamed("Strings", true);
  configureScriptNamed("Main", true);
  const auto downloaded = servicesURL();
  if (downloaded && configureScriptWithURL(*downloaded, false)) {
    log("Using downloaded services");
  } else {
    log("Using included services");
    configureScriptNamed("Services", true);
  }
  // The user's own modules come last, so that they may replace a shipped one.
  QBYUserModules::loadAll(context, [](const std::string& line) { log("%@", line); });

  const std::string statement = format("commonFilesVersion = %lu; usesClicks = %@",
                                       QBYServiceUpdateBundleVersion, std::string("true"));
  GObjectPtr<JSCValue>::adopt(
      jsc_context_evaluate(context, statement.data(), static_cast<gssize>(statement.size())));

  needsUpdateLogs_ = true;
  return context;
}

// --- Runs ---

void QBYDeliveriesUpdater::updateDeliveriesWithSettings(const Array& settings) {
  if (invalidated_) return;
  busy_ = true;
  const bool capturing = capturing_;
  onQueue([settings](QBYDeliveriesUpdater& updater) { updater.addDeliveries(settings); });

  if (needsCookies()) {
    feedCookies(std::nullopt);
    setNeedsCookies(false);
  }
  if (!capturing) loadSessionCookiesForGroup(QBYAppGroupID);
  continueWithUserAgent();
}

void QBYDeliveriesUpdater::addDeliveries(const Array& settings) {
  // A run that ended while these were on their way has made the updater idle again.
  busy_ = true;
  deliveries_.insert(deliveries_.end(), settings.begin(), settings.end());
  if (capture_) {
    // A missing value counts as different, also when both are missing.
    const auto matches = [this](const Value& delivery) {
      const auto from = delivery["from"].asString();
      const auto extra = delivery["extra"].asString();
      return from && *from == capture_->domain && extra && capture_->extra &&
             *extra == *capture_->extra;
    };
    std::erase_if(deliveries_, [&](const Value& delivery) { return !matches(delivery); });
  }
  pending_ = deliveries_.size();
}

void QBYDeliveriesUpdater::continueWithUserAgent() {
  // A check under way sends the batch when it answers.
  if (!userAgent() && userAgentChecker_) return;
  std::shared_ptr<QBYUserAgentChecker> checker;
  if (!userAgent()) {
    checker = std::make_shared<QBYUserAgentChecker>();
    if (auto saved = checker->savedUserAgent()) {
      setUserAgent(std::move(saved));
      checker.reset();
    } else {
      userAgentChecker_ = checker;
    }
  }
  if (!checker) {
    onQueue([](QBYDeliveriesUpdater& updater) { updater.sendBatch(); });
    return;
  }
  std::weak_ptr<QBYDeliveriesUpdater> weak =
      std::static_pointer_cast<QBYDeliveriesUpdater>(shared_from_this());
  checker->checkUserAgentWithCompletionHandler([weak](const std::string& userAgent) {
    MainQueue::async([weak, userAgent] {
      auto updater = weak.lock();
      if (!updater) return;
      updater->setUserAgent(userAgent);
      updater->userAgentChecker_.reset();
      updater->onQueue([](QBYDeliveriesUpdater& updater) { updater.sendBatch(); });
    });
  });
}

void QBYDeliveriesUpdater::sendBatch() {
  Array batch;
  bool endRun = false;
  if (invalidated_) return;
  // One batch at a time: the end of the running batch sends the next one.
  if (batchSent_) return;
  if (deliveries_.empty()) {
    // Nothing was left to send (a sign-in run whose deliveries were all filtered out): the
    // run still has to end, or it would stay busy forever.
    endRun = busy_;
  } else {
    const std::size_t size = std::min(limitMemoryUsage_ ? 1 : kBatchSize, deliveries_.size());
    batch.assign(std::make_move_iterator(deliveries_.begin()),
                 std::make_move_iterator(deliveries_.begin() + static_cast<long>(size)));
    deliveries_.erase(deliveries_.begin(), deliveries_.begin() + static_cast<long>(size));
    pending_ = deliveries_.size();
    batchSent_ = true;
  }
  if (batch.empty()) {
    log("updateDeliveries called with no deliveries!");
    if (endRun) completeUpdateWithSuccess(false);
    return;
  }
  std::weak_ptr<QBYDeliveriesUpdater> weak =
      std::static_pointer_cast<QBYDeliveriesUpdater>(shared_from_this());
  runBlock([weak, batch = std::move(batch)](JSCContext* context) {
    if (auto updater = weak.lock()) updater->runBatch(context, batch);
  });
}

void QBYDeliveriesUpdater::runBatch(JSCContext* context, const Array& batch) {
  if (!context || invalidated()) return;
  if (configurationFailed()) {
    log("Skipping update because configuration failed");
    deliveries_.clear();
    pending_ = 0;
    completeUpdateWithSuccess(false);
    return;
  }

  const bool updateLogs = needsUpdateLogs_;
  const bool resetSignIn = needsResetSignIn_;
  std::function<bool()> fileLoggingEnabled;
  {
    std::lock_guard lock(settingsMutex_);
    fileLoggingEnabled = fileLoggingEnabled_;
  }
  const auto evaluate = [context](const std::string& statement) {
    GObjectPtr<JSCValue>::adopt(
        jsc_context_evaluate(context, statement.data(), static_cast<gssize>(statement.size())));
  };
  if (updateLogs)
    evaluate(fileLoggingEnabled && fileLoggingEnabled() ? "logLevel = 1" : "logLevel = 0");
  if (resetSignIn) evaluate("manualSignIn = {}");

  batch_.active = true;
  batch_.generation++;
  batch_.outstanding = 0;

  auto function = GObjectPtr<JSCValue>::adopt(jsc_context_get_value(context, "updateDeliveries"));
  auto argument = scriptValueFromValue(context, Value(batch));
  JSCValue* arguments[] = {argument.get()};
  scriptDepth_++;
  // A missing function raises a script error, which the exception handler reports.
  GObjectPtr<JSCValue>::adopt(jsc_value_function_callv(function.get(), 1, arguments));
  scriptDepth_--;
  endBatchIfStuck();
}

void QBYDeliveriesUpdater::finalStatus(const std::vector<JSCValue*>& arguments) {
  // A batch ends once; a second call (or one after the batch was ended for the script)
  // would otherwise end the next batch before it ran.
  if (!batch_.active) {
    logMessage("finalStatus called with no batch running");
    return;
  }
  const bool success = !arguments.empty() && jsc_value_to_boolean(arguments[0]);
  batch_.active = false;
  completeUpdateWithSuccess(success);
}

void QBYDeliveriesUpdater::endBatchIfStuck() {
  if (scriptDepth_ > 0 || !batch_.active || batch_.outstanding > 0 || invalidated()) return;
  logMessage("Batch ended without final status");
  batch_.active = false;
  completeUpdateWithSuccess(false);
}

void QBYDeliveriesUpdater::completeUpdateWithSuccess(bool success) {
  bool hadSuccess = false;
  bool troubleshooting = false;
  std::optional<std::string> logs;
  bool capturing = false;
  std::shared_ptr<QBYDeliveriesUpdaterCaptureView> view;
  batchSent_ = false;
  if (success) hadSuccess_ = true;
  if (invalidated_) return;
  const bool runOver = deliveries_.empty();
  if (runOver) {
    busy_ = false;
    hadSuccess = std::exchange(hadSuccess_, false);
    troubleshooting = troubleshooting_.exchange(false);
    if (troubleshooting) logs = std::exchange(logs_, std::nullopt);
    capturing = capture_.has_value();
    if (capturing) {
      view = capture_->view.lock();
      capture_.reset();
      capturing_ = false;
    }
  }
  if (!runOver) {
    sendBatch();
    return;
  }

  onMainQueue([hadSuccess](QBYDeliveriesUpdater& updater) {
    if (auto delegate = updater.delegate()) delegate->completeUpdateWithSuccess(hadSuccess);
  });
  if (troubleshooting) {
    onMainQueue([logs = logs.value_or("")](QBYDeliveriesUpdater& updater) {
      if (auto delegate = updater.delegate()) delegate->completeTroubleshootingWithLogs(logs);
    });
  }
  if (capturing) {
    if (view) {
      // The cookies are worth keeping even when the updater is gone by then.
      MainQueue::async([view] {
        view->completeCaptureWithHandler([](std::optional<CookieList> cookies) {
          if (cookies) {
            feedCookies(cookies);
          } else {
            setNeedsCookies(true);
          }
        });
      });
    }
  } else {
    saveSessionCookiesForGroup(QBYAppGroupID, std::string(kSessionCookiesLabel));
  }
}

void QBYDeliveriesUpdater::onMainQueue(std::function<void(QBYDeliveriesUpdater&)> work) {
  std::weak_ptr<QBYDeliveriesUpdater> weak =
      std::static_pointer_cast<QBYDeliveriesUpdater>(shared_from_this());
  MainQueue::async([weak, work = std::move(work)] {
    auto updater = weak.lock();
    if (!updater || updater->invalidated()) return;
    work(*updater);
  });
}

void QBYDeliveriesUpdater::onQueue(std::function<void(QBYDeliveriesUpdater&)> work) {
  std::weak_ptr<QBYDeliveriesUpdater> weak =
      std::static_pointer_cast<QBYDeliveriesUpdater>(shared_from_this());
  runBlock([weak, work = std::move(work)](JSCContext*) {
    auto updater = weak.lock();
    if (!updater || updater->invalidated()) return;
    work(*updater);
  });
}

// --- Owner operations ---

void QBYDeliveriesUpdater::startTroubleshooting() {
  troubleshooting_ = true;
}

void QBYDeliveriesUpdater::updateLogs() {
  onQueue([](QBYDeliveriesUpdater& updater) { updater.needsUpdateLogs_ = true; });
}

void QBYDeliveriesUpdater::signInForDomain(
    const std::string& domain, const std::optional<std::string>& extra,
    std::weak_ptr<QBYDeliveriesUpdaterCaptureView> captureView) {
  // Read at once by the next updateDeliveriesWithSettings, which leaves the session cookies
  // alone while a sign-in runs.
  capturing_ = true;
  onQueue([capture = Capture{domain, extra, std::move(captureView)}](
              QBYDeliveriesUpdater& updater) mutable {
    updater.capture_ = std::move(capture);
    updater.needsResetSignIn_ = true;
  });
}

void QBYDeliveriesUpdater::reduceMemoryUsage() {
  // The count is the queue's as last published; the deliveries themselves go on the queue,
  // after any the owner handed over before this call.
  const std::size_t skipped = pending_;
  const bool invalidated = invalidated_;
  if (!invalidated) {
    onQueue([](QBYDeliveriesUpdater& updater) {
      updater.deliveries_.clear();
      updater.pending_ = 0;
    });
  }
  logMessage(format("Memory warning: skipping %lu deliveries %@%@", skipped,
                    format("<%@: %@>", className(), format("%p", static_cast<const void*>(this))),
                    std::string(invalidated ? " (invalidated)" : "")));
}

void QBYDeliveriesUpdater::invalidate() {
  invalidated_ = true;
  busy_ = false;
  pending_ = 0;
  std::shared_ptr<QBYOperationQueue> previousQueue;
  if (networkMade_) {
    // Stops the answers at once; the session itself is dropped on its own thread.
    g_cancellable_cancel(stopRequests_.get());
    previousQueue = queue();
  }
  checkCookies();
  QBYScriptRunner::invalidate();
  // The queue's run state is left as it is: everything that runs there from now on sees
  // invalidated_ and stops.
  retireNetwork(network_, std::move(previousQueue));
}

// --- Logging and script errors ---

void QBYDeliveriesUpdater::logMessage(const std::string& message) {
  if (!troubleshooting_) {
    log("%@", message);
    return;
  }
  // Lines after invalidate would go to a report that is never handed over.
  if (invalidated_) return;
  std::string line = format("%@: %@\n", logTimeStamp(), message);
  const auto append = [](QBYDeliveriesUpdater& updater, const std::string& line) {
    if (!updater.logs_) updater.logs_.emplace();
    *updater.logs_ += line;
  };
  if (queue()->isCurrent()) {
    append(*this, line);
    return;
  }
  onQueue(
      [append, line = std::move(line)](QBYDeliveriesUpdater& updater) { append(updater, line); });
}

void QBYDeliveriesUpdater::handleException(const std::string& message) {
  const auto delegate = this->delegate();
  const bool troubleshooting = troubleshooting_;
  if (!delegate) return;
  if (!troubleshooting) {
    onMainQueue([message](QBYDeliveriesUpdater& updater) {
      if (auto delegate = updater.delegate()) delegate->handleException(message);
    });
    return;
  }
  if (!batch_.active) return;
  batch_.active = false;
  completeUpdateWithSuccess(false);
}

// --- Host functions ---

GObjectPtr<JSCValue> QBYDeliveriesUpdater::requestExtraInformation(
    JSCContext* context, const std::vector<JSCValue*>& arguments) {
  const auto from = textArgument(arguments, 0);
  const auto type = textArgument(arguments, 1);
  if (!from || !type) return {};
  std::optional<std::string> answer;
  if (*from == ServiceKey::USPS && *type == "apiUserID") {
    answer = QBYPrivateToken::tokenForID(std::string(QBYPrivateToken::kUSPSWebToolsAPI));
  } else if (*from == ServiceKey::USPS && *type == "clientIPAddress") {
    answer = QBYIPAddress::address(true);
  } else if ((*from == ServiceKey::PostenSweden || *from == ServiceKey::PostDanmark) &&
             *type == "apiKey") {
    answer = QBYPrivateToken::tokenForID(std::string(QBYPrivateToken::kPostNordAPI));
  } else if (isCredentialType(*type)) {
    answer = QBYPrivateToken::credential(*from, *type);
  }
  if (!answer) return {};
  return scriptValueFromValue(context, Value(*answer));
}

void QBYDeliveriesUpdater::updateDelivery(JSCContext*, const std::vector<JSCValue*>& arguments) {
  if (arguments.empty()) return;
  const std::string container = "results";
  Value results =
      valueFromScript(arguments[0], [this](const std::string& value, const std::string& from) {
        logMessage(format("Error copying object %@ from %@", value, from));
      });
  if (!results.isDictionary()) {
    logMessage(format("Error copying object %@ from %@", results, container));
    return;
  }
  onMainQueue([results = std::move(*results.dictionaryPtr())](QBYDeliveriesUpdater& updater) {
    if (auto delegate = updater.delegate()) delegate->updateDeliveryWithResults(results);
  });
}

void QBYDeliveriesUpdater::loadResponse(const Value& requestID, const std::string& text,
                                        unsigned status, bool offline, std::uint64_t) {
  JSCContext* context = privateContext();
  if (!context || invalidated()) return;
  auto function = GObjectPtr<JSCValue>::adopt(jsc_context_get_value(context, "loadResponse"));
  auto identifier = scriptValueFromValue(context, requestID);
  // The script's string is made straight from the decoded text: a page is tens of kilobytes,
  // and the engine converts (and so copies) it anyway. Through bytes, so that a NUL character
  // does not cut it short.
  const GBytesPtr bytes(g_bytes_new_static(text.data(), text.size()));
  auto body = GObjectPtr<JSCValue>::adopt(jsc_value_new_string_from_bytes(context, bytes.get()));
  auto code = GObjectPtr<JSCValue>::adopt(jsc_value_new_number(context, status));
  auto failed = GObjectPtr<JSCValue>::adopt(jsc_value_new_boolean(context, offline));
  JSCValue* arguments[] = {identifier.get(), body.get(), code.get(), failed.get()};
  scriptDepth_++;
  GObjectPtr<JSCValue>::adopt(jsc_value_function_callv(function.get(), 4, arguments));
  scriptDepth_--;
}

// --- Cookies ---

bool QBYDeliveriesUpdater::needsCookies() {
  return QBYUserDefaults::standardDefaults().boolForKey(QBYDeliveriesUpdaterNeedsCookiesKey);
}

void QBYDeliveriesUpdater::setNeedsCookies(bool needsCookies) {
  QBYUserDefaults::standardDefaults().setBool(needsCookies, QBYDeliveriesUpdaterNeedsCookiesKey);
}

void QBYDeliveriesUpdater::checkCookies() {
  if (needsCookies()) feedCookies(std::nullopt);
}

void QBYDeliveriesUpdater::feedCookies(const std::optional<CookieList>& cookies) {
  if (cookies) {
    log("Transferring cookies directly");
    transferCookies(*cookies, std::string_view(QBYAppGroupID), true);
    saveSessionCookies(*cookies, QBYAppGroupID, std::string(kSessionCookiesLabel));
  } else {
    log("Transferring cookies manually");
    transferSharedCookiesToGroup(QBYAppGroupID);
  }
}

void QBYDeliveriesUpdater::clearCookies() {
  qby::clearCookies(QBYAppGroupID);
}

}  // namespace qby
