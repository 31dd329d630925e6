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
#include "engine/QBYIPAddress.h"
#include "engine/QBYPrivateToken.h"
#include "engine/QBYResponseDecoding.h"
#include "engine/QBYScriptValues.h"
#include "engine/QBYServiceUpdate.h"
#include "engine/QBYUserAgentChecker.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "platform/QBYUserDefaults.h"
#include "util/QBYRegions.h"
#include "util/URLUtilities.h"

namespace qby {

namespace {

constexpr std::size_t kBatchSize = 5;
constexpr gsize kReadChunkSize = 64 * 1024;
// How long dropping the session waits for cancelled requests to call back.
constexpr guint kNetworkDrainSeconds = 10;
#ifdef PORVANE_TEST_HOOKS
constexpr const char* kFixtureServerVariable = "PORVANE_FIXTURE_SERVER";
#endif
constexpr const char* kCredentialVariablePrefix = "PORVANE_CREDENTIAL_";

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

GObjectPtr<JSCValue> argument(const std::vector<JSCValue*>& arguments, std::size_t index) {
  if (index >= arguments.size()) return {};
  return GObjectPtr<JSCValue>::retain(arguments[index]);
}

std::optional<std::string> textArgument(const std::vector<JSCValue*>& arguments,
                                        std::size_t index) {
  return index < arguments.size() ? scriptText(arguments[index]) : std::nullopt;
}

// An option's text; only texts count, so a script's undefined or null means "not given".
std::optional<std::string> optionText(JSCValue* options, const char* key) {
  if (!options || !jsc_value_is_object(options)) return std::nullopt;
  auto value = GObjectPtr<JSCValue>::adopt(jsc_value_object_get_property(options, key));
  if (!value || jsc_value_is_undefined(value.get()) || jsc_value_is_null(value.get()))
    return std::nullopt;
  return scriptText(value.get());
}

// Header names are tokens and values must not break the header block; anything else from a
// script is dropped rather than sent.
bool isHeaderName(std::string_view name) {
  if (name.empty()) return false;
  static constexpr std::string_view kSeparators = "()<>@,;:\\\"/[]?={} \t";
  return std::all_of(name.begin(), name.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte > 32 && byte < 127 && kSeparators.find(c) == std::string_view::npos;
  });
}

bool isHeaderValue(std::string_view value) {
  return std::none_of(value.begin(), value.end(),
                      [](char c) { return c == '\r' || c == '\n' || c == '\0'; });
}

bool isHTTPAddress(GUri* uri) {
  const char* scheme = g_uri_get_scheme(uri);
  const char* host = g_uri_get_host(uri);
  return scheme &&
         (g_ascii_strcasecmp(scheme, "http") == 0 || g_ascii_strcasecmp(scheme, "https") == 0) &&
         host && *host;
}

// The texts a script sends as "requestExtraInformation" types that name a configured
// credential of a carrier's interface.
bool isCredentialType(std::string_view type) {
  return type == "apiKey" || type == "clientID" || type == "clientSecret" ||
         type == "accountNumber";
}

}  // namespace

// The session and what is in flight on it. Lives on the queue's thread: libsoup answers on
// the main context of the thread that made the session.
struct QBYDeliveriesUpdater::Network {
  GObjectPtr<SoupSession> session;
  // The session's default agent. It is put on each request rather than on the session,
  // because libsoup lets a session's agent replace the one a request carries.
  std::string userAgent;
  GObjectPtr<GCancellable> cancellable = GObjectPtr<GCancellable>::adopt(g_cancellable_new());
  int inFlight = 0;

  // Cancels everything in flight and lets the cancelled requests call back, so nothing they
  // hold outlives the session. Queue only.
  void drain() {
    g_cancellable_cancel(cancellable.get());
    GMainContext* context = g_main_context_get_thread_default();
    if (!context) context = g_main_context_default();
    bool expired = false;
    GSourcePtr timer(g_timeout_source_new_seconds(kNetworkDrainSeconds));
    g_source_set_callback(
        timer.get(),
        [](gpointer flag) -> gboolean {
          *static_cast<bool*>(flag) = true;
          return G_SOURCE_REMOVE;
        },
        &expired, nullptr);
    g_source_attach(timer.get(), context);
    while (inFlight > 0 && !expired) g_main_context_iteration(context, TRUE);
    g_source_destroy(timer.get());
    session.reset();
  }
};

// One request on its way through libsoup. Owned by the callback that runs next.
struct QBYDeliveriesUpdater::Request {
  std::weak_ptr<QBYDeliveriesUpdater> updater;
  std::shared_ptr<Network> network;
  std::string url;  // as the script gave it
  Value requestID;
  std::optional<std::string> encoding;
  std::uint64_t generation = 0;
  GObjectPtr<SoupMessage> message;
  GObjectPtr<GInputStream> stream;
  // Every read of the body lands here first: a buffer of its own per read would be made and
  // freed again for each chunk, and freeing one that large hands the pages back to the system
  // just before the next read asks for them again.
  std::unique_ptr<char[]> chunk;
  std::string body;
  bool tooLarge = false;
  // The request's own cancellation: the session's (invalidate) passes to it, and so does its
  // deadline, which ends a request however its server trickles.
  GObjectPtr<GCancellable> cancellable = GObjectPtr<GCancellable>::adopt(g_cancellable_new());
  gulong sessionHandler = 0;
  GSourcePtr deadline;
  guint deadlineSeconds = 0;

  Request() = default;
  Request(const Request&) = delete;
  Request& operator=(const Request&) = delete;
  ~Request() {
    if (deadline) g_source_destroy(deadline.get());
    if (network && sessionHandler)
      g_cancellable_disconnect(network->cancellable.get(), sessionHandler);
    if (network) network->inFlight--;
  }

  // Cancelled by its deadline rather than by the session.
  bool timedOut() const {
    return g_cancellable_is_cancelled(cancellable.get()) &&
           !(network && g_cancellable_is_cancelled(network->cancellable.get()));
  }

  // Links the request's cancellation to the session's and starts its deadline on the
  // thread's context (the queue's).
  void arm(guint seconds) {
    deadlineSeconds = seconds;
    const auto cancel = [](GCancellable*, gpointer target) {
      g_cancellable_cancel(static_cast<GCancellable*>(target));
    };
    sessionHandler = g_cancellable_connect(network->cancellable.get(), G_CALLBACK(+cancel),
                                           g_object_ref(cancellable.get()), g_object_unref);
    deadline.reset(g_timeout_source_new_seconds(seconds));
    g_source_set_callback(
        deadline.get(),
        [](gpointer target) -> gboolean {
          g_cancellable_cancel(static_cast<GCancellable*>(target));
          return G_SOURCE_REMOVE;
        },
        g_object_ref(cancellable.get()), g_object_unref);
    GMainContext* context = g_main_context_get_thread_default();
    g_source_attach(deadline.get(), context ? context : g_main_context_default());
  }
};

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
  std::lock_guard lock(mutex_);
  fileLoggingEnabled_ = std::move(source);
}

std::shared_ptr<QBYDeliveriesUpdater> QBYDeliveriesUpdater::deliveriesUpdater(
    std::optional<std::filesystem::path> servicesURL, bool limitMemoryUsage) {
  initialSettings = InitialSettings{std::move(servicesURL), limitMemoryUsage};
  auto updater = scriptRunnerWithConfigurationBlock<QBYDeliveriesUpdater>();
  initialSettings.reset();
  return updater;
}

QBYDeliveriesUpdater::QBYDeliveriesUpdater(ConstructionToken token) : QBYScriptRunner(token) {
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
  std::shared_ptr<Network> network;
  {
    std::lock_guard lock(mutex_);
    network = std::move(network_);
  }
  if (network) retireNetwork(std::move(network), queue());
}

std::shared_ptr<QBYDeliveriesUpdater> QBYDeliveriesUpdater::sharedFrom(QBYScriptRunner& runner) {
  return std::static_pointer_cast<QBYDeliveriesUpdater>(runner.shared_from_this());
}

// --- Properties ---

void QBYDeliveriesUpdater::setDelegate(std::weak_ptr<QBYDeliveriesUpdaterDelegate> delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = std::move(delegate);
}

void QBYDeliveriesUpdater::setServicesURL(std::optional<std::filesystem::path> url) {
  std::lock_guard lock(mutex_);
  servicesURL_ = std::move(url);
}

std::optional<std::filesystem::path> QBYDeliveriesUpdater::servicesURL() const {
  std::lock_guard lock(mutex_);
  return servicesURL_;
}

void QBYDeliveriesUpdater::setLimitMemoryUsage(bool limit) {
  std::lock_guard lock(mutex_);
  limitMemoryUsage_ = limit;
}

bool QBYDeliveriesUpdater::limitMemoryUsage() const {
  std::lock_guard lock(mutex_);
  return limitMemoryUsage_;
}

void QBYDeliveriesUpdater::setRequestTimeout(double seconds) {
  std::lock_guard lock(mutex_);
  requestTimeout_ = seconds;
}

double QBYDeliveriesUpdater::requestTimeout() const {
  std::lock_guard lock(mutex_);
  return requestTimeout_;
}

void QBYDeliveriesUpdater::setNetworkAvailability(std::function<bool()> networkAvailable) {
  std::lock_guard lock(mutex_);
  networkAvailable_ = std::move(networkAvailable);
}

void QBYDeliveriesUpdater::setUserAgent(std::optional<std::string> userAgent) {
  std::lock_guard lock(mutex_);
  userAgent_ = std::move(userAgent);
}

std::optional<std::string> QBYDeliveriesUpdater::userAgent() const {
  std::lock_guard lock(mutex_);
  return userAgent_;
}

bool QBYDeliveriesUpdater::busy() const {
  std::lock_guard lock(mutex_);
  return busy_;
}

bool QBYDeliveriesUpdater::invalidated() const {
  std::lock_guard lock(mutex_);
  return invalidated_;
}

bool QBYDeliveriesUpdater::troubleshooting() const {
  std::lock_guard lock(mutex_);
  return troubleshooting_;
}

std::size_t QBYDeliveriesUpdater::pendingCount() const {
  std::lock_guard lock(mutex_);
  return deliveries_.size();
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

  const std::string statement = format("commonFilesVersion = %lu; usesClicks = %@",
                                       QBYServiceUpdateBundleVersion, std::string("true"));
  GObjectPtr<JSCValue>::adopt(
      jsc_context_evaluate(context, statement.data(), static_cast<gssize>(statement.size())));

  std::lock_guard lock(mutex_);
  needsUpdateLogs_ = true;
  return context;
}

// --- Runs ---

void QBYDeliveriesUpdater::updateDeliveriesWithSettings(const Array& settings) {
  bool capturing = false;
  {
    std::lock_guard lock(mutex_);
    if (invalidated_) return;
    busy_ = true;
    deliveries_.insert(deliveries_.end(), settings.begin(), settings.end());
    capturing = hasCaptureView_;
    if (capturing) {
      // A missing value counts as different, also when both are missing.
      const auto matches = [this](const Value& delivery) {
        const auto from = delivery["from"].asString();
        const auto extra = delivery["extra"].asString();
        return from && captureDomain_ && *from == *captureDomain_ && extra && captureExtra_ &&
               *extra == *captureExtra_;
      };
      std::erase_if(deliveries_, [&](const Value& delivery) { return !matches(delivery); });
    }
  }

  if (needsCookies()) {
    feedCookies(std::nullopt);
    setNeedsCookies(false);
  }
  if (!capturing) loadSessionCookiesForGroup(QBYAppGroupID);
  continueWithUserAgent();
}

void QBYDeliveriesUpdater::continueWithUserAgent() {
  std::shared_ptr<QBYUserAgentChecker> checker;
  {
    std::lock_guard lock(mutex_);
    // A check under way sends the batch when it answers.
    if (!userAgent_ && userAgentChecker_) return;
    if (!userAgent_) {
      checker = std::make_shared<QBYUserAgentChecker>();
      if (auto saved = checker->savedUserAgent()) {
        userAgent_ = std::move(saved);
        checker.reset();
      } else {
        userAgentChecker_ = checker;
      }
    }
  }
  if (!checker) {
    sendBatch();
    return;
  }
  std::weak_ptr<QBYDeliveriesUpdater> weak =
      std::static_pointer_cast<QBYDeliveriesUpdater>(shared_from_this());
  checker->checkUserAgentWithCompletionHandler([weak](const std::string& userAgent) {
    MainQueue::async([weak, userAgent] {
      auto updater = weak.lock();
      if (!updater) return;
      {
        std::lock_guard lock(updater->mutex_);
        updater->userAgent_ = userAgent;
        updater->userAgentChecker_.reset();
      }
      updater->sendBatch();
    });
  });
}

void QBYDeliveriesUpdater::sendBatch() {
  Array batch;
  bool endRun = false;
  {
    std::lock_guard lock(mutex_);
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
      batchSent_ = true;
    }
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
    {
      std::lock_guard lock(mutex_);
      deliveries_.clear();
    }
    completeUpdateWithSuccess(false);
    return;
  }

  bool updateLogs = false;
  bool resetSignIn = false;
  std::function<bool()> fileLoggingEnabled;
  {
    std::lock_guard lock(mutex_);
    updateLogs = needsUpdateLogs_;
    resetSignIn = needsResetSignIn_;
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
  bool runOver = false;
  {
    std::lock_guard lock(mutex_);
    batchSent_ = false;
    if (success) hadSuccess_ = true;
    if (invalidated_) return;
    runOver = deliveries_.empty();
    if (runOver) {
      busy_ = false;
      hadSuccess = std::exchange(hadSuccess_, false);
      troubleshooting = std::exchange(troubleshooting_, false);
      if (troubleshooting) logs = std::exchange(logs_, std::nullopt);
      capturing = std::exchange(hasCaptureView_, false);
      if (capturing) {
        view = captureView_.lock();
        captureView_.reset();
        captureDomain_.reset();
        captureExtra_.reset();
      }
    }
  }
  if (!runOver) {
    sendBatch();
    return;
  }

  onMainQueue([hadSuccess](QBYDeliveriesUpdater& updater) {
    if (auto delegate = updater.delegate_.lock()) delegate->completeUpdateWithSuccess(hadSuccess);
  });
  if (troubleshooting) {
    onMainQueue([logs = logs.value_or("")](QBYDeliveriesUpdater& updater) {
      if (auto delegate = updater.delegate_.lock()) delegate->completeTroubleshootingWithLogs(logs);
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

// --- Owner operations ---

void QBYDeliveriesUpdater::startTroubleshooting() {
  std::lock_guard lock(mutex_);
  troubleshooting_ = true;
}

void QBYDeliveriesUpdater::updateLogs() {
  std::lock_guard lock(mutex_);
  needsUpdateLogs_ = true;
}

void QBYDeliveriesUpdater::signInForDomain(
    const std::string& domain, const std::optional<std::string>& extra,
    std::weak_ptr<QBYDeliveriesUpdaterCaptureView> captureView) {
  std::lock_guard lock(mutex_);
  captureDomain_ = domain;
  captureExtra_ = extra;
  captureView_ = std::move(captureView);
  hasCaptureView_ = true;
  needsResetSignIn_ = true;
}

void QBYDeliveriesUpdater::reduceMemoryUsage() {
  std::size_t skipped = 0;
  bool invalidated = false;
  {
    std::lock_guard lock(mutex_);
    skipped = deliveries_.size();
    deliveries_.clear();
    invalidated = invalidated_;
  }
  logMessage(format("Memory warning: skipping %lu deliveries %@%@", skipped,
                    format("<%@: %@>", className(), format("%p", static_cast<const void*>(this))),
                    std::string(invalidated ? " (invalidated)" : "")));
}

void QBYDeliveriesUpdater::invalidate() {
  std::shared_ptr<Network> network;
  {
    std::lock_guard lock(mutex_);
    deliveries_.clear();
    invalidated_ = true;
    busy_ = false;
    batchSent_ = false;
    network = std::move(network_);
  }
  std::shared_ptr<QBYOperationQueue> previousQueue;
  if (network) {
    // Stops the answers at once; the session itself is dropped on its own thread.
    g_cancellable_cancel(network->cancellable.get());
    previousQueue = queue();
  }
  checkCookies();
  QBYScriptRunner::invalidate();
  retireNetwork(std::move(network), std::move(previousQueue));
}

void QBYDeliveriesUpdater::retireNetwork(std::shared_ptr<Network> network,
                                         std::shared_ptr<QBYOperationQueue> queue) {
  if (!network || !queue) return;
  if (queue->isCurrent()) {
    network->drain();
    return;
  }
  queue->addOperation([network = std::move(network)]() mutable {
    network->drain();
    network.reset();
  });
  // The queue must not be released on its own thread, and the caller must not wait for a
  // script that may still be running on it.
  std::thread([queue = std::move(queue)] {
    queue->waitUntilAllOperationsAreFinished(std::numeric_limits<double>::infinity());
  }).detach();
}

// --- Logging and script errors ---

void QBYDeliveriesUpdater::logMessage(const std::string& message) {
  {
    std::lock_guard lock(mutex_);
    if (troubleshooting_) {
      if (!logs_) logs_.emplace();
      *logs_ += format("%@: %@\n", logTimeStamp(), message);
      return;
    }
  }
  log("%@", message);
}

void QBYDeliveriesUpdater::handleException(const std::string& message) {
  std::shared_ptr<QBYDeliveriesUpdaterDelegate> delegate;
  bool troubleshooting = false;
  {
    std::lock_guard lock(mutex_);
    delegate = delegate_.lock();
    troubleshooting = troubleshooting_;
  }
  if (!delegate) return;
  if (!troubleshooting) {
    onMainQueue([message](QBYDeliveriesUpdater& updater) {
      if (auto delegate = updater.delegate_.lock()) delegate->handleException(message);
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
    if (auto delegate = updater.delegate_.lock()) delegate->updateDeliveryWithResults(results);
  });
}

std::optional<std::string> QBYDeliveriesUpdater::rewriteForFixtureServer(const std::string& url) {
#ifndef PORVANE_TEST_HOOKS
  // Whoever sets a user's environment must not be able to send carrier requests, with their
  // tokens and passwords, to another host: only test builds know the rewrite.
  return url;
#else
  const char* server = std::getenv(kFixtureServerVariable);
  if (!server || !*server) return url;
  if (!fixtureRewriteLogged_) {
    fixtureRewriteLogged_ = true;
    logMessage(format("Fixture server rewrite active: %@", std::string(server)));
  }
  const GUriPtr uri(g_uri_parse(url.c_str(), static_cast<GUriFlags>(SOUP_HTTP_URI_FLAGS), nullptr));
  if (!uri) return std::nullopt;
  std::string rewritten = server;
  while (!rewritten.empty() && rewritten.back() == '/') rewritten.pop_back();
  rewritten += "/";
  rewritten += g_uri_get_host(uri.get()) ? g_uri_get_host(uri.get()) : "";
  const char* path = g_uri_get_path(uri.get());
  if (!path || *path != '/') rewritten += "/";
  if (path) rewritten += path;
  if (const char* query = g_uri_get_query(uri.get())) {
    rewritten += "?";
    rewritten += query;
  }
  return rewritten;
#endif
}

void QBYDeliveriesUpdater::requestURL(JSCContext*, const std::vector<JSCValue*>& arguments) {
  if (invalidated()) return;
  const auto text = textArgument(arguments, 0);
  const auto postData = textArgument(arguments, 1);
  auto options = argument(arguments, 2);
  auto requestIDValue = argument(arguments, 3);
  const Value requestID = requestIDValue ? valueFromScript(requestIDValue.get()) : Value();

  // The address the request goes to; the fixture rewrite changes nothing else.
  std::optional<std::string> target = text ? rewriteForFixtureServer(*text) : std::nullopt;
  const GUriPtr uri(
      target ? g_uri_parse(target->c_str(), static_cast<GUriFlags>(SOUP_HTTP_URI_FLAGS), nullptr)
             : nullptr);
  if (!uri || !isHTTPAddress(uri.get())) {
    logMessage(format("Update failed because the URL was invalid: %@",
                      text ? std::optional(stringByHidingQuerySecrets(*text)) : std::nullopt));
    loadResponse(requestID, "", 0, false, 0);
    return;
  }

  std::shared_ptr<QBYDeliveriesUpdaterCaptureView> view;
  {
    std::lock_guard lock(mutex_);
    if (hasCaptureView_) view = captureView_.lock();
  }
  const auto userAgentOption = optionText(options.get(), "userAgent");
  if (view) {
    capture(*target, requestID, userAgentOption, std::move(view));
    return;
  }

  auto message = GObjectPtr<SoupMessage>::adopt(soup_message_new_from_uri("GET", uri.get()));
  if (!message) {
    logMessage(format("Update failed because the URL was invalid: %@",
                      text ? std::optional(stringByHidingQuerySecrets(*text)) : std::nullopt));
    loadResponse(requestID, "", 0, false, 0);
    return;
  }

  SoupMessageHeaders* headers = soup_message_get_request_headers(message.get());
  // Without the option the session's user agent applies.
  if (userAgentOption && isHeaderValue(*userAgentOption))
    soup_message_headers_replace(headers, "User-Agent", userAgentOption->c_str());
  if (const auto referer = optionText(options.get(), "referer"); referer && isHeaderValue(*referer))
    soup_message_headers_replace(headers, "Referer", referer->c_str());
  if (const auto tokenID = optionText(options.get(), "tokenID")) {
    if (const auto token = QBYPrivateToken::tokenForID(*tokenID); token && isHeaderValue(*token))
      soup_message_headers_replace(headers, "X-Okapi-Key", token->c_str());
  }
  if (options && jsc_value_is_object(options.get())) {
    auto extra =
        GObjectPtr<JSCValue>::adopt(jsc_value_object_get_property(options.get(), "headers"));
    if (extra && jsc_value_is_object(extra.get())) {
      const GStrvPtr names(jsc_value_object_enumerate_properties(extra.get()));
      for (gchar** name = names.get(); name && *name; ++name) {
        const auto value = optionText(extra.get(), *name);
        // Values may hold keys: only the name is ever logged.
        if (!value || !isHeaderName(*name) || !isHeaderValue(*value)) {
          logMessage(format("Ignoring request header %@", std::string(*name)));
          continue;
        }
        soup_message_headers_replace(headers, *name, value->c_str());
      }
    }
  }
  // The "cache" option needs nothing here: the session keeps no cache, so every request is
  // answered by the server, which is what both settings come to.

  // An omitted argument reaches the host as the text "undefined".
  if (postData && !postData->empty() && *postData != "undefined") {
    const auto postType = optionText(options.get(), "postType");
    const std::string contentType =
        postType && isHeaderValue(*postType) ? *postType : "application/x-www-form-urlencoded";
    soup_message_set_method(message.get(), "POST");
    const GBytesPtr body(g_bytes_new(postData->data(), postData->size()));
    soup_message_set_request_body_from_bytes(message.get(), nullptr, body.get());
    soup_message_headers_replace(headers, "Content-type", contentType.c_str());
  }

  if (invalidated()) return;
  auto request = std::make_unique<Request>();
  request->updater = std::static_pointer_cast<QBYDeliveriesUpdater>(shared_from_this());
  request->url = *text;
  request->requestID = requestID;
  request->encoding = optionText(options.get(), "encoding");
  request->message = std::move(message);
  startRequest(std::move(request));
}

// --- Requests through the session ---

std::shared_ptr<QBYDeliveriesUpdater::Network> QBYDeliveriesUpdater::network() {
  std::lock_guard lock(mutex_);
  if (invalidated_) return nullptr;
  if (!network_) {
    network_ = std::make_shared<Network>();
    const auto seconds = static_cast<guint>(std::clamp(requestTimeout_, 1.0, 3600.0));
    const std::string userAgent = userAgent_.value_or(QBYUserAgentChecker::defaultUserAgent());
    // Made on the queue's thread, so its answers arrive on the queue. TLS certificates are
    // checked against the system's trust store, and nothing here accepts one that fails.
    // libsoup adds no cache unless asked, so no response is ever served from one.
    network_->userAgent = userAgent;
    // libsoup's own limit of two connections per host would send a batch's requests to one
    // carrier two at a time, each waiting for an earlier answer to be read and handed to the
    // script; a batch is meant to be fetched side by side.
    network_->session = GObjectPtr<SoupSession>::adopt(
        soup_session_new_with_options("timeout", seconds, "idle-timeout", seconds,
                                      "max-conns-per-host", kMaximumConnectionsPerHost, nullptr));
    if (auto jar = groupCookieJar(QBYAppGroupID))
      soup_session_add_feature(network_->session.get(), SOUP_SESSION_FEATURE(jar.get()));
  }
  return network_;
}

void QBYDeliveriesUpdater::startRequest(std::unique_ptr<Request> request) {
  auto network = this->network();
  if (!network) return;
  SoupMessageHeaders* headers = soup_message_get_request_headers(request->message.get());
  if (!soup_message_headers_get_one(headers, "User-Agent"))
    soup_message_headers_replace(headers, "User-Agent", network->userAgent.c_str());
  request->network = network;
  request->generation = batch_.generation;
  network->inFlight++;
  if (batch_.active) batch_.outstanding++;
  // The session's time-out only counts silence; this one counts the whole request.
  request->arm(static_cast<guint>(std::clamp(requestTimeout(), 1.0, 3600.0)));
  SoupMessage* message = request->message.get();
  GCancellable* cancellable = request->cancellable.get();
  soup_session_send_async(network->session.get(), message, G_PRIORITY_DEFAULT, cancellable,
                          &QBYDeliveriesUpdater::requestSent, request.release());
}

void QBYDeliveriesUpdater::requestSent(GObject* source, GAsyncResult* result, gpointer data) {
  std::unique_ptr<Request> request(static_cast<Request*>(data));
  GError* error = nullptr;
  GInputStream* stream = soup_session_send_finish(SOUP_SESSION(source), result, &error);
  GErrorPtr ownedError(error);
  if (!stream) {
    auto updater = request->updater.lock();
    if (!updater) {
      log("Updater is no longer available");
      return;
    }
    updater->requestFinished(std::move(request), ownedError.get());
    return;
  }
  request->stream = GObjectPtr<GInputStream>::adopt(stream);
  readNext(std::move(request));
}

void QBYDeliveriesUpdater::readNext(std::unique_ptr<Request> request) {
  GInputStream* stream = request->stream.get();
  GCancellable* cancellable = request->cancellable.get();
  if (!request->chunk) request->chunk = std::make_unique_for_overwrite<char[]>(kReadChunkSize);
  char* chunk = request->chunk.get();
  g_input_stream_read_async(stream, chunk, kReadChunkSize, G_PRIORITY_DEFAULT, cancellable,
                            &QBYDeliveriesUpdater::bodyRead, request.release());
}

void QBYDeliveriesUpdater::bodyRead(GObject* source, GAsyncResult* result, gpointer data) {
  std::unique_ptr<Request> request(static_cast<Request*>(data));
  GError* error = nullptr;
  const gssize read = g_input_stream_read_finish(G_INPUT_STREAM(source), result, &error);
  GErrorPtr ownedError(error);
  const gsize size = read > 0 ? static_cast<gsize>(read) : 0;
  if (size > 0) {
    if (request->body.size() + size > kMaximumResponseSize) {
      request->tooLarge = true;
    } else {
      request->body.append(request->chunk.get(), size);
    }
  }
  if (!ownedError && size > 0 && !request->tooLarge) {
    readNext(std::move(request));
    return;
  }
  auto updater = request->updater.lock();
  if (!updater) {
    log("Updater is no longer available");
    return;
  }
  GErrorPtr failure = std::move(ownedError);
  if (request->tooLarge) {
    failure.reset(g_error_new(G_IO_ERROR, G_IO_ERROR_MESSAGE_TOO_LARGE,
                              "The response is larger than %zu bytes", kMaximumResponseSize));
  }
  // A body cut short by an error is no answer; the script learns that it failed.
  if (failure) request->body.clear();
  updater->requestFinished(std::move(request), failure.get());
}

void QBYDeliveriesUpdater::requestFinished(std::unique_ptr<Request> request, GError* error) {
  GErrorPtr timeout;
  if (error && request->timedOut()) {
    // Whatever part of the body came is no answer: the script learns that the request failed.
    request->body.clear();
    timeout.reset(g_error_new(G_IO_ERROR, G_IO_ERROR_TIMED_OUT,
                              "The request did not complete within %u seconds",
                              request->deadlineSeconds));
    error = timeout.get();
  }
  const unsigned status = request->message ? soup_message_get_status(request->message.get()) : 0;
  const std::uint64_t generation = request->generation;
  if (generation == batch_.generation && batch_.outstanding > 0) batch_.outstanding--;

  std::string text;
  bool offline = false;
  if (!request->body.empty()) {
    std::optional<std::string> encoding = request->encoding;
    if (!encoding && request->message) {
      GHashTable* parameters = nullptr;
      soup_message_headers_get_content_type(
          soup_message_get_response_headers(request->message.get()), &parameters);
      if (parameters) {
        if (const auto* charset =
                static_cast<const char*>(g_hash_table_lookup(parameters, "charset")))
          encoding = std::string(charset);
        g_hash_table_destroy(parameters);
      }
    }
    auto decoded = decodeResponseData(request->body, encoding);
    if (decoded.text) {
      text = std::move(*decoded.text);
    } else {
      logMessage(format("Decoding data failed with encoding: %lu lossy: %@", decoded.encoding,
                        std::string(decoded.lossy ? "YES" : "NO")));
    }
    request->body.clear();
    request->body.shrink_to_fit();
  } else {
    std::optional<std::string> response;
    if (status != 0) {
      const char* reason = soup_message_get_reason_phrase(request->message.get());
      response = format("<SoupMessage: %@> { status code: %u, reason: %@ }",
                        stringByHidingQuerySecrets(request->url), status,
                        std::string(reason ? reason : ""));
    }
    std::optional<QBYError> failure;
    if (error) failure = errorFromGError(error);
    logMessage(format("Data task failed with response: %@ error: %@, %@", response, failure,
                      failure ? Value(failure->userInfo) : Value()));
    offline = isInternetConnectionError(error);
  }

  if (invalidated()) {
    logMessage("Update cancelled because the context was reset");
    return;
  }
  if (troubleshooting())
    logMessage(format("\nURL: %@\nSTATUS: %@\n%@\n", stringByHidingQuerySecrets(request->url),
                      status, text));
  const Value requestID = std::move(request->requestID);
  // The request (and its share of the session) goes before the script runs on.
  request.reset();
  loadResponse(requestID, text, status, offline, generation);
  endBatchIfStuck();
}

bool QBYDeliveriesUpdater::isInternetConnectionError(const GError* error) {
  // The counterpart of "not connected to the internet": the connection failed before any
  // server could be reached because there is no route or no name service, and the system
  // reports no network at all. Either sign alone says less: a network can be unreachable
  // for one address family on a connected machine, and a resolver fails now and then while
  // the network is fine; a monitor's "no network" alone would also mark a refused connection
  // or a server's time-out as the user's fault.
  if (!error) return false;
  const bool unreachable =
      g_error_matches(error, G_IO_ERROR, G_IO_ERROR_NETWORK_UNREACHABLE) ||
      g_error_matches(error, G_RESOLVER_ERROR, G_RESOLVER_ERROR_TEMPORARY_FAILURE);
  if (!unreachable) return false;
  std::function<bool()> networkAvailable;
  {
    std::lock_guard lock(mutex_);
    networkAvailable = networkAvailable_;
  }
  if (networkAvailable) return !networkAvailable();
  return !g_network_monitor_get_network_available(g_network_monitor_get_default());
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

// --- Requests through the sign-in view ---

void QBYDeliveriesUpdater::capture(const std::string& url, const Value& requestID,
                                   const std::optional<std::string>& userAgent,
                                   std::shared_ptr<QBYDeliveriesUpdaterCaptureView> view) {
  const std::uint64_t generation = batch_.generation;
  if (batch_.active) batch_.outstanding++;
  std::weak_ptr<QBYDeliveriesUpdater> weak =
      std::static_pointer_cast<QBYDeliveriesUpdater>(shared_from_this());
  auto answered = std::make_shared<std::atomic<bool>>(false);
  QBYDeliveriesUpdaterCaptureView::CaptureHandler handler = [weak, requestID, generation, answered](
                                                                std::optional<std::string> page,
                                                                std::optional<QBYError> error) {
    // A view that answers twice would make the script see one request end twice.
    if (answered->exchange(true)) return;
    auto updater = weak.lock();
    if (!updater) {
      log("Updater is no longer available");
      return;
    }
    if (!page) {
      updater->logMessage(format("Capture failed with error: %@, %@", error,
                                 error ? Value(error->userInfo) : Value()));
    }
    if (updater->invalidated()) {
      updater->logMessage("Update cancelled because the context was reset");
      return;
    }
    // The view may answer on any thread; the context is used on the queue only.
    updater->runBlock([weak, requestID, generation, page = std::move(page)](JSCContext*) {
      auto updater = weak.lock();
      if (!updater) return;
      if (generation == updater->batch_.generation && updater->batch_.outstanding > 0)
        updater->batch_.outstanding--;
      updater->loadResponse(requestID, page.value_or(""), page ? 200 : 500, !page, generation);
      updater->endBatchIfStuck();
    });
  };
  MainQueue::async([view = std::move(view), url, userAgent, handler = std::move(handler)] {
    view->captureResponseFromURL(url, userAgent, handler);
  });
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
