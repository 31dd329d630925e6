#include "engine/QBYUserAgentChecker.h"

#include <jsc/jsc.h>

#include <array>
#include <utility>

#include "platform/Format.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "platform/Paths.h"
#include "platform/QBYUserDefaults.h"
#include "platform/Vendor.h"

namespace qby {
namespace {

constexpr const char* kUserAgentKey = "QBYUserAgent";
constexpr const char* kUserAgentVersionKey = "QBYUserAgentVersion";

std::mutex& defaultProbeMutex() {
  static std::mutex mutex;
  return mutex;
}
std::shared_ptr<QBYUserAgentProbe>& defaultProbe() {
  static std::shared_ptr<QBYUserAgentProbe> probe;
  return probe;
}

// "major.minor", and ".patch" only when the patch number is above 0.
std::string versionText(long major, long minor, long patch) {
  std::string text = format("%ld.%ld", major, minor);
  if (patch > 0) text = format("%@.%ld", text, patch);
  return text;
}

// The value of one os-release variable, unquoted; nothing when the text lacks it.
std::optional<std::string> osReleaseValue(std::string_view text, std::string_view name) {
  while (!text.empty()) {
    const auto end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.remove_suffix(1);
    if (!line.starts_with(name) || line.size() <= name.size() || line[name.size()] != '=') continue;
    std::string_view value = line.substr(name.size() + 1);
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
      value = value.substr(1, value.size() - 2);
    return std::string(value);
  }
  return std::nullopt;
}

// Up to three numbers of a version text such as "22.04" or "24.04.1"; parts that are not
// numbers count as 0 and end the reading.
std::array<long, 3> versionNumbers(std::string_view text) {
  std::array<long, 3> numbers{0, 0, 0};
  for (auto& number : numbers) {
    std::size_t digits = 0;
    long value = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9' && digits < 9) {
      value = value * 10 + (text[digits] - '0');
      ++digits;
    }
    if (digits == 0) break;
    number = value;
    text.remove_prefix(digits);
    if (text.empty() || text.front() != '.') break;
    text.remove_prefix(1);
  }
  return numbers;
}

}  // namespace

struct QBYUserAgentChecker::Check {
  std::mutex mutex;
  std::vector<CompletionHandler> handlers;
  bool finished = false;

  // Stores a captured agent and answers every waiting handler on the main thread.
  static void finish(const std::weak_ptr<Check>& weak, const std::optional<std::string>& header,
                     const std::string& version) {
    const auto check = weak.lock();
    if (!check) {
      log("User agent check ended after its checker was released");
      return;
    }
    std::vector<CompletionHandler> handlers;
    {
      std::lock_guard lock(check->mutex);
      if (check->finished) return;
      check->finished = true;
      handlers.swap(check->handlers);
    }
    std::string userAgent = defaultUserAgent();
    if (header && !header->empty()) {
      auto& defaults = QBYUserDefaults::sharedDefaults();
      defaults.setObject(Value(version), kUserAgentVersionKey);
      defaults.setObject(Value(*header), kUserAgentKey);
      userAgent = *header;
    }
    for (auto& handler : handlers)
      if (handler) handler(userAgent);
  }
};

QBYUserAgentChecker::QBYUserAgentChecker(std::shared_ptr<QBYUserAgentProbe> probe,
                                         SystemVersionSource systemVersionSource)
    : probe_(std::move(probe)), systemVersionSource_(std::move(systemVersionSource)) {
  if (!probe_) {
    std::lock_guard lock(defaultProbeMutex());
    probe_ = defaultProbe();
  }
}

QBYUserAgentChecker::~QBYUserAgentChecker() = default;

void QBYUserAgentChecker::setDefaultProbe(std::shared_ptr<QBYUserAgentProbe> probe) {
  std::lock_guard lock(defaultProbeMutex());
  defaultProbe() = std::move(probe);
}

std::string QBYUserAgentChecker::defaultUserAgent() {
  return QBYUserAgentDesktop;
}

std::optional<std::string> QBYUserAgentChecker::userAgentForDomain(std::string_view domain) {
  return QBYUserDefaults::sharedDefaults().stringForKey(defaultsKeyForDomain(domain));
}

void QBYUserAgentChecker::saveUserAgent(const std::optional<std::string>& userAgent,
                                        std::string_view domain) {
  auto& defaults = QBYUserDefaults::sharedDefaults();
  if (userAgent) {
    defaults.setObject(Value(*userAgent), defaultsKeyForDomain(domain));
  } else {
    defaults.removeObjectForKey(defaultsKeyForDomain(domain));
  }
}

std::string QBYUserAgentChecker::defaultsKeyForDomain(std::string_view domain) {
  return format("%@-%@", kUserAgentKey, domain);
}

std::optional<std::string> QBYUserAgentChecker::versionCheckURL() {
  const auto webService = Vendor::webServiceURL();
  if (!webService) return std::nullopt;
  return *webService + "/version-check";
}

std::optional<std::string> QBYUserAgentChecker::savedUserAgent() {
  auto& defaults = QBYUserDefaults::sharedDefaults();
  const auto version = defaults.stringForKey(kUserAgentVersionKey);
  if (!version || *version != systemVersion()) return std::nullopt;
  return defaults.stringForKey(kUserAgentKey);
}

void QBYUserAgentChecker::checkUserAgentWithCompletionHandler(CompletionHandler handler) {
  std::shared_ptr<Check> check;
  {
    std::lock_guard lock(mutex_);
    if (check_) {
      std::lock_guard checkLock(check_->mutex);
      if (!check_->finished) {
        check_->handlers.push_back(std::move(handler));
        return;
      }
    }
    check_ = std::make_shared<Check>();
    check_->handlers.push_back(std::move(handler));
    check = check_;
  }
  const std::weak_ptr<Check> weak = check;
  const std::string version = systemVersion();
  const auto url = versionCheckURL();
  // Without a web service there is no page to ask for: the default agent serves, and nothing
  // is stored, so the check runs once a server is configured. (The page itself is never
  // loaded, so a configured server answers the check offline as well.)
  if (!probe_ || !url) {
    MainQueue::async([weak, version] { Check::finish(weak, std::nullopt, version); });
    return;
  }
  auto answer = [weak, version](std::optional<std::string> userAgent) {
    if (MainQueue::isMainThread()) {
      Check::finish(weak, userAgent, version);
    } else {
      MainQueue::async([weak, userAgent, version] { Check::finish(weak, userAgent, version); });
    }
  };
  MainQueue::async([probe = probe_, url = *url, answer = std::move(answer)] {
    probe->probeUserAgent(url, answer);
  });
}

bool QBYUserAgentChecker::isChecking() const {
  std::lock_guard lock(mutex_);
  if (!check_) return false;
  std::lock_guard checkLock(check_->mutex);
  return !check_->finished;
}

const std::string& QBYUserAgentChecker::systemVersion() {
  std::call_once(systemVersionOnce_, [this] {
    systemVersion_ = systemVersionSource_ ? systemVersionSource_() : currentSystemVersion();
  });
  return systemVersion_;
}

std::string QBYUserAgentChecker::systemVersionFromOSRelease(std::string_view osRelease,
                                                            long webKitMajor, long webKitMinor,
                                                            long webKitMicro) {
  const auto versionID = osReleaseValue(osRelease, "VERSION_ID");
  const auto os = versionNumbers(versionID.value_or(""));
  return versionText(os[0], os[1], os[2]) + "/" +
         versionText(webKitMajor, webKitMinor, webKitMicro);
}

std::string QBYUserAgentChecker::currentSystemVersion() {
  std::optional<std::string> osRelease = Paths::readFile("/etc/os-release");
  if (!osRelease) osRelease = Paths::readFile("/usr/lib/os-release");
  return systemVersionFromOSRelease(osRelease.value_or(""), jsc_get_major_version(),
                                    jsc_get_minor_version(), jsc_get_micro_version());
}

}  // namespace qby
