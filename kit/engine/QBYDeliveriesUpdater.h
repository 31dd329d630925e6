// The host of the tracking scripts. It loads the shipped scripts (Common, Guess, Strings,
// Main, then a downloaded services file or the shipped Services) into the context of its
// script runner, hands them the deliveries to update in batches (five, or one when memory is
// limited), performs every web request a script asks for through its own libsoup session
// (group cookie jar, browser user agent, 60 s time-out, no cache, TLS verified), and passes
// what the scripts report to its delegate.
//
// Threads. The owner (the deliveries manager) calls updateDeliveriesWithSettings,
// signInForDomain, startTroubleshooting, updateLogs, reduceMemoryUsage and invalidate on the
// main thread; the other setters may be called from any thread. The run and its batches, the
// session and every request belong to the runner's queue: the main-thread operations hand
// their part over to it with runBlock, and the scripts, the host functions, request
// construction and response delivery run there. busy, invalidated, troubleshooting and
// pendingCount read atomics and answer at once from any thread. Only the settings the setters
// change (delegate, services file, user agent, network and file-logging sources) are shared
// between threads and sit behind a mutex, never held while a script, a delegate or a view
// runs. Delegate and capture-view calls are always made on the main thread, asynchronously;
// the capture view may answer on any thread, and its answer hops onto the queue before it
// reaches the script.
//
// A batch that can never finish. A batch ends when the script calls finalStatus. When the
// script has returned from every call into it, no request of the batch is still outstanding
// and finalStatus was not called (the script forgot it, threw, or a call was cut by the
// execution time limit), nothing could ever end the batch and the run would stay busy
// forever. The updater then logs "Batch ended without final status" and ends the batch with
// failure, which moves on to the next batch or completes the run.
//
// After invalidate no request is sent, answers in flight are dropped and no delegate call is
// made any more; the owner then releases the updater.
#pragma once

#include <gio/gio.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/QBYCookieList.h"
#include "engine/QBYScriptRunner.h"
#include "platform/QBYNotificationCenter.h"
#include "platform/Value.h"

namespace qby {

class QBYUserAgentChecker;

// Posted by the programs when they stop being the active application and when they are about
// to quit; the updater then copies cookies a sign-in left behind (checkCookies).
inline constexpr const char* QBYApplicationWillResignActiveNotification =
    "QBYApplicationWillResignActiveNotification";
inline constexpr const char* QBYApplicationWillTerminateNotification =
    "QBYApplicationWillTerminateNotification";

// The standard-defaults key of needsCookies.
inline constexpr const char* QBYDeliveriesUpdaterNeedsCookiesKey =
    "QBYDeliveriesUpdaterNeedsCookiesKey";

// Receives what the scripts report. Every call arrives on the main thread.
class QBYDeliveriesUpdaterDelegate {
 public:
  virtual ~QBYDeliveriesUpdaterDelegate() = default;
  // One delivery's results, a deep copy of what the script passed to "updateDelivery".
  virtual void updateDeliveryWithResults(const Dictionary& results) = 0;
  // The whole run has ended; true when any batch reported success.
  virtual void completeUpdateWithSuccess(bool success) = 0;
  // The lines collected during a troubleshooting run.
  virtual void completeTroubleshootingWithLogs(const std::string& logs) = 0;
  // A script error outside troubleshooting mode.
  virtual void handleException(const std::string& message) = 0;
};

// The sign-in web view through which requests go while a manual sign-in runs. Both calls are
// made on the main thread; the handlers may be called on any thread, once each.
class QBYDeliveriesUpdaterCaptureView {
 public:
  using CaptureHandler =
      std::function<void(std::optional<std::string> pageText, std::optional<QBYError> error)>;
  using CookiesHandler = std::function<void(std::optional<CookieList> cookies)>;

  virtual ~QBYDeliveriesUpdaterCaptureView() = default;
  // Loads the address in the web view (with that user agent when given) and answers the
  // page's HTML, or nothing and an error. Requests arriving while one loads wait their turn.
  virtual void captureResponseFromURL(const std::string& url,
                                      const std::optional<std::string>& userAgent,
                                      CaptureHandler completionHandler) = 0;
  // The sign-in run is over: answer every cookie of the web view's store, or nothing when
  // the view cannot read them.
  virtual void completeCaptureWithHandler(CookiesHandler completionHandler) = 0;
};

class QBYDeliveriesUpdater : public QBYScriptRunner {
 public:
  // Label of the keychain item that keeps the session cookies between runs.
  static constexpr const char* kSessionCookiesLabel = "Porvane Session Data";
  static constexpr double kDefaultRequestTimeout = 60;
  // A response body beyond this is not a tracking page; the request fails instead of letting
  // a broken or hostile server fill the memory.
  static constexpr std::size_t kMaximumResponseSize = 32 * 1024 * 1024;
  // Connections the session opens to one host, as a browser would: room for every request
  // of a batch of five at once.
  static constexpr int kMaximumConnectionsPerHost = 6;

  explicit QBYDeliveriesUpdater(ConstructionToken token);
  ~QBYDeliveriesUpdater() override;

  // Makes an updater whose configuration sees these settings. Setting servicesURL after
  // scriptRunnerWithConfigurationBlock races with the configuration already queued, which
  // may load the shipped services instead of the downloaded ones.
  static std::shared_ptr<QBYDeliveriesUpdater> deliveriesUpdater(
      std::optional<std::filesystem::path> servicesURL, bool limitMemoryUsage);

  std::string className() const override { return "QBYDeliveriesUpdater"; }

  // --- Configuration (before the first update) ---
  void setDelegate(std::weak_ptr<QBYDeliveriesUpdaterDelegate> delegate);
  void setServicesURL(std::optional<std::filesystem::path> url);
  std::optional<std::filesystem::path> servicesURL() const;
  // True: batches of one delivery (the widget); false: batches of five.
  void setLimitMemoryUsage(bool limit);
  bool limitMemoryUsage() const;
  // Seconds after which a request fails, in all (however slowly its server trickles) and
  // without progress; for tests. The silence limit applies to the session created by the next
  // first request, the overall one to every request started from then on.
  void setRequestTimeout(double seconds);
  double requestTimeout() const;
  // Whether the machine has a network connection; the default asks GNetworkMonitor. Tests
  // replace it to simulate a machine without one. Called on the queue.
  void setNetworkAvailability(std::function<bool()> networkAvailable);

  // Whether file logging is on, which makes the scripts log more ("logLevel" 1). The manager
  // answers it with QBYLog::enabled(); the engine sits below the manager and only asks. Until
  // one is set the answer is no. Called on the queue.
  void setFileLoggingEnabledSource(std::function<bool()> source);

  // The user agent of this run; found through QBYUserAgentChecker when not set.
  void setUserAgent(std::optional<std::string> userAgent);
  std::optional<std::string> userAgent() const;

  // --- Operations the owner calls on the main thread ---
  // Starts a run, or adds to the one in progress.
  void updateDeliveriesWithSettings(const Array& settings);
  // The next run collects every log line with a time stamp and hands them over at its end.
  void startTroubleshooting();
  // The next batch passes the current log level to the scripts.
  void updateLogs();
  // Routes the requests of the next run through the capture view; only deliveries of that
  // service key and extra value are updated while it is set.
  void signInForDomain(const std::string& domain, const std::optional<std::string>& extra,
                       std::weak_ptr<QBYDeliveriesUpdaterCaptureView> captureView);
  void invalidate() override;
  // Drops the deliveries not yet handed to the scripts; the running batch finishes and the
  // run then completes.
  void reduceMemoryUsage();

  // --- Cookies ---
  // Forgets every stored cookie and the saved session cookies.
  static void clearCookies();
  static bool needsCookies();
  static void setNeedsCookies(bool needsCookies);
  // Copies cookies a sign-in left in the process's shared storage, when that is still due.
  static void checkCookies();
  // With cookies: they replace the group's cookies and their session cookies are saved.
  // Without: the process's shared cookies are copied into the group's storage.
  static void feedCookies(const std::optional<CookieList>& cookies);

  // --- State ---
  // Any thread. pendingCount counts the deliveries waiting for a batch as the queue last left
  // them, so deliveries just handed over count once the queue has taken them.
  bool busy() const;
  bool invalidated() const;
  bool troubleshooting() const;
  std::size_t pendingCount() const;

  void logMessage(const std::string& message) override;
  void handleException(const std::string& message) override;

 protected:
  JSCContext* configureContext() override;

 private:
  struct Network;
  struct Request;
  struct BatchState {
    bool active = false;  // handed to the script, finalStatus not yet called
    std::uint64_t generation = 0;
    int outstanding = 0;  // requests of this batch whose answer is still due
  };

  static std::shared_ptr<QBYDeliveriesUpdater> sharedFrom(QBYScriptRunner& runner);

  // Host functions (queue).
  void requestURL(JSCContext* context, const std::vector<JSCValue*>& arguments);
  GObjectPtr<JSCValue> requestExtraInformation(JSCContext* context,
                                               const std::vector<JSCValue*>& arguments);
  void updateDelivery(JSCContext* context, const std::vector<JSCValue*>& arguments);
  void finalStatus(const std::vector<JSCValue*>& arguments);

  // Runs.
  void addDeliveries(const Array& settings);
  void continueWithUserAgent();
  void sendBatch();
  void runBatch(JSCContext* context, const Array& batch);
  void completeUpdateWithSuccess(bool success);
  void endBatchIfStuck();

  // Requests (queue).
  std::shared_ptr<Network> network();
  void startRequest(std::unique_ptr<Request> request);
  void capture(const std::string& url, const Value& requestID,
               const std::optional<std::string>& userAgent,
               std::shared_ptr<QBYDeliveriesUpdaterCaptureView> view);
  static void requestSent(GObject* source, GAsyncResult* result, gpointer data);
  static void bodyRead(GObject* source, GAsyncResult* result, gpointer data);
  static void readNext(std::unique_ptr<Request> request);
  void requestFinished(std::unique_ptr<Request> request, GError* error);
  // Calls the script's loadResponse and then checks whether the batch can still end.
  void loadResponse(const Value& requestID, const std::string& text, unsigned status, bool offline,
                    std::uint64_t generation);
  bool isInternetConnectionError(const GError* error);
  std::optional<std::string> rewriteForFixtureServer(const std::string& url);

  // Hands work to the main thread, dropped there when the updater is gone or invalidated.
  void onMainQueue(std::function<void(QBYDeliveriesUpdater& updater)> work);
  // Hands work to the queue, dropped there when the updater is gone or invalidated.
  void onQueue(std::function<void(QBYDeliveriesUpdater& updater)> work);
  std::shared_ptr<QBYDeliveriesUpdaterDelegate> delegate() const;
  // Drops the session in the slot on the queue's thread, where it was made.
  static void retireNetwork(std::shared_ptr<std::shared_ptr<Network>> slot,
                            std::shared_ptr<QBYOperationQueue> queue);

  // The settings, shared between the setters' threads and the queue.
  mutable std::mutex settingsMutex_;
  std::weak_ptr<QBYDeliveriesUpdaterDelegate> delegate_;
  std::optional<std::filesystem::path> servicesURL_;
  std::function<bool()> networkAvailable_;
  std::function<bool()> fileLoggingEnabled_;
  std::optional<std::string> userAgent_;
  std::atomic<bool> limitMemoryUsage_{false};
  std::atomic<double> requestTimeout_{kDefaultRequestTimeout};

  // What any thread may ask at once.
  std::atomic<bool> busy_{false};
  std::atomic<bool> invalidated_{false};
  std::atomic<bool> troubleshooting_{false};
  std::atomic<bool> capturing_{false};   // a sign-in run is set up or under way
  std::atomic<std::size_t> pending_{0};  // deliveries_.size(), for pendingCount
  // Set before the session is made, so that invalidate knows to drop it on its thread.
  std::atomic<bool> networkMade_{false};
  // Cancels every request at once; invalidate may call it from the main thread.
  const GObjectPtr<GCancellable> stopRequests_;

  // Main thread only.
  std::shared_ptr<QBYUserAgentChecker> userAgentChecker_;

  // Queue only.
  struct Capture {
    std::string domain;
    std::optional<std::string> extra;
    std::weak_ptr<QBYDeliveriesUpdaterCaptureView> view;
  };
  // Shared with the work that drops the session on the queue after the updater is gone.
  std::shared_ptr<std::shared_ptr<Network>> network_ = std::make_shared<std::shared_ptr<Network>>();
  Array deliveries_;
  bool batchSent_ = false;  // a batch is on its way to or with the script
  bool needsUpdateLogs_ = false;
  bool needsResetSignIn_ = false;
  bool hadSuccess_ = false;
  std::optional<std::string> logs_;
  std::optional<Capture> capture_;
  BatchState batch_;
  int scriptDepth_ = 0;
  bool fixtureRewriteLogged_ = false;

  ObserverToken resignActiveObserver_;
  ObserverToken terminateObserver_;
};

}  // namespace qby
