// Tells the process when the host's time zone or clock changes. Linux sends no such
// notification, so a program creates one SystemChangeMonitor on its main thread at launch: it
// watches /etc/localtime and /etc/timezone, and when the zone they name differs from ICU's
// default it makes that zone the default and posts "QBYSystemTimeZoneDidChangeNotification" on
// the default notification centre. A set of the real-time clock (not a gradual adjustment)
// posts "QBYSystemClockDidChangeNotification". Observers such as the shared date formatter
// drop what they built for the old setting.
//
// The callbacks run on the thread-default main context of the creating thread; create and
// destroy the monitor on that thread. checkTimeZone() may be called from it at any time.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qby {

inline constexpr char QBYSystemTimeZoneDidChangeNotification[] =
    "QBYSystemTimeZoneDidChangeNotification";
// Posted by whoever changes the process's locale (nothing on Linux changes it from outside).
inline constexpr char QBYCurrentLocaleDidChangeNotification[] =
    "QBYCurrentLocaleDidChangeNotification";
inline constexpr char QBYSystemClockDidChangeNotification[] = "QBYSystemClockDidChangeNotification";

struct SystemChangeMonitorOptions {
  // Files whose change may mean a new zone; a missing file is watched for its creation.
  std::vector<std::string> timeZoneFiles{"/etc/localtime", "/etc/timezone"};
  // Answers the host's zone ID; SystemChangeMonitor::hostTimeZoneID() when empty.
  std::function<std::optional<std::string>()> detectTimeZone;
  bool watchClock = true;
};

class SystemChangeMonitor {
 public:
  SystemChangeMonitor();
  explicit SystemChangeMonitor(SystemChangeMonitorOptions options);
  ~SystemChangeMonitor();
  SystemChangeMonitor(const SystemChangeMonitor&) = delete;
  SystemChangeMonitor& operator=(const SystemChangeMonitor&) = delete;

  // Detects the host's zone now; when it is a known zone other than ICU's default, makes it
  // the default and posts the time-zone notification. Answers whether it did.
  bool checkTimeZone();

  // The zone the C library uses: TZ when it names a zone (or a zone file), else the zone the
  // files name, else ICU's own guess. Nothing when none of them names a known zone.
  static std::optional<std::string> hostTimeZoneID();
  // The zone the files name: the target of the localtime link below a "zoneinfo" folder,
  // else the first line of the timezone file. Read afresh on every call (ICU's own detection
  // remembers its first answer for the life of the process).
  static std::optional<std::string> timeZoneIDFromFiles(const std::string& localtimePath,
                                                        const std::string& timezonePath);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace qby
