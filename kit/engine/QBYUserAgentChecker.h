// The browser user agent the tracking requests send, and the domain agents scripts keep.
//
// Carrier sites answer browsers, so the updater sends what the system's web view would send.
// A check learns that text once per system version: an off-screen web view (supplied by the
// application through QBYUserAgentProbe, since WebKit needs a display) is pointed at the
// vendor's "/version-check" page and its first request's "User-Agent" header is stored in the
// shared defaults ("QBYUserAgent", with "QBYUserAgentVersion"). The page is never loaded, so
// the check needs no network. Without a probe, or without a web service (no sync server is
// configured), the check answers the built-in desktop agent and stores nothing.
//
// Threads: the class operations and savedUserAgent() may be called from any thread (the
// defaults serialise themselves). checkUserAgentWithCompletionHandler() runs the probe on the
// main thread and calls its handler there, asynchronously. A checker must outlive its check;
// when it is destroyed first, the check's answer is dropped.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qby {

inline constexpr const char* QBYUserAgentDesktop =
    "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_14_3) AppleWebKit/605.1.15 (KHTML, like Gecko) "
    "Version/12.0.3 Safari/605.1.15";
inline constexpr const char* QBYUserAgentMobile =
    "Mozilla/5.0 (iPhone; CPU iPhone OS 12_1_4 like Mac OS X) AppleWebKit/605.1.15 (KHTML, like "
    "Gecko) Version/12.0 Mobile/15E148 Safari/604.1";
inline constexpr const char* QBYUserAgentPad =
    "Mozilla/5.0 (iPad; CPU OS 12_1_4 like Mac OS X) AppleWebKit/605.1.15 (KHTML, like Gecko) "
    "Version/12.0 Mobile/15E148 Safari/604.1";
inline constexpr const char* QBYWebKitUserAgentKey = "UserAgent";

// An off-screen web view that reveals the user agent it sends. The application implements it
// with WebKitGTK and installs it with QBYUserAgentChecker::setDefaultProbe().
class QBYUserAgentProbe {
 public:
  virtual ~QBYUserAgentProbe() = default;
  // Called on the main thread. Loads the address in an off-screen web view, reads the
  // "User-Agent" header of the first navigation request, cancels that navigation (the page is
  // never loaded) and calls answer once with the header, or with nothing when the request had
  // none.
  virtual void probeUserAgent(const std::string& url,
                              std::function<void(std::optional<std::string> userAgent)> answer) = 0;
};

class QBYUserAgentChecker {
 public:
  using CompletionHandler = std::function<void(const std::string& userAgent)>;
  // Answers the running system's version text; tests pass their own.
  using SystemVersionSource = std::function<std::string()>;

  // Without a probe the installed default probe is used, if any.
  explicit QBYUserAgentChecker(std::shared_ptr<QBYUserAgentProbe> probe = nullptr,
                               SystemVersionSource systemVersionSource = nullptr);
  ~QBYUserAgentChecker();
  QBYUserAgentChecker(const QBYUserAgentChecker&) = delete;
  QBYUserAgentChecker& operator=(const QBYUserAgentChecker&) = delete;

  // The probe checkers use when they are given none (nullptr: none). Any thread.
  static void setDefaultProbe(std::shared_ptr<QBYUserAgentProbe> probe);

  // QBYUserAgentDesktop.
  static std::string defaultUserAgent();
  // The agent a script kept for the domain, or nothing.
  static std::optional<std::string> userAgentForDomain(std::string_view domain);
  // Keeps the agent for the domain; nothing removes the domain's key.
  static void saveUserAgent(const std::optional<std::string>& userAgent, std::string_view domain);
  // "QBYUserAgent-<domain>".
  static std::string defaultsKeyForDomain(std::string_view domain);
  // The address the check loads: the vendor web service's "/version-check"; nothing without a
  // web service.
  static std::optional<std::string> versionCheckURL();

  // The captured agent, only while it was captured on the running system version.
  std::optional<std::string> savedUserAgent();

  // Learns the web view's agent (see above) and calls the handler with it on the main
  // thread. A check asked for while one runs shares its answer. When the probe's request
  // carries no agent, nothing is stored and the handler gets the default agent, so a caller
  // that waits for the answer is never left waiting.
  void checkUserAgentWithCompletionHandler(CompletionHandler handler);
  // True from the start of a check until its answer (the web view's lifetime).
  bool isChecking() const;

  // The running system's version, computed once.
  const std::string& systemVersion();

  // On Linux the user agent a web view sends depends on the distribution release and on the
  // WebKitGTK build, so both make up the version: "<os>/<webkit>", each as "major.minor" with
  // ".patch" added when the patch number is above 0 ("12.0/2.50.1"). The OS numbers come
  // from os-release's VERSION_ID ("0.0" when it has none, as rolling releases do).
  static std::string systemVersionFromOSRelease(std::string_view osRelease, long webKitMajor,
                                                long webKitMinor, long webKitMicro);
  static std::string currentSystemVersion();

 private:
  struct Check;
  std::shared_ptr<QBYUserAgentProbe> probe_;
  SystemVersionSource systemVersionSource_;
  std::once_flag systemVersionOnce_;
  std::string systemVersion_;
  mutable std::mutex mutex_;
  std::shared_ptr<Check> check_;
};

}  // namespace qby
