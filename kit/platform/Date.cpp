#include "platform/Date.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>
#include <utility>

namespace qby {

namespace {

// The active override. A shared_ptr so that now() can call the clock outside the lock while
// an override is being removed on another thread.
std::mutex clockMutex;
std::shared_ptr<const std::function<Date()>> clockOverride;

std::shared_ptr<const std::function<Date()>> currentOverride() {
  std::lock_guard lock(clockMutex);
  return clockOverride;
}

// Seconds from 1970 to 1 January of year 1 and to 1 January of year 10000 (proleptic
// Gregorian): the range in which the calendar text is meaningful.
constexpr double kEarliestDescribable = -62135596800.0;
constexpr double kLatestDescribable = 253402300800.0;

}  // namespace

Date Date::now() {
  if (const auto clock = currentOverride()) return (*clock)();
  const auto since = std::chrono::system_clock::now().time_since_epoch();
  return Date(std::chrono::duration<double>(since).count());
}

std::string Date::description() const {
  if (!std::isfinite(seconds_) || seconds_ < kEarliestDescribable ||
      seconds_ >= kLatestDescribable) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.17g", seconds_);
    return buffer;
  }
  const auto whole = static_cast<std::time_t>(std::floor(seconds_));
  std::tm parts{};
  if (!gmtime_r(&whole, &parts)) return "(null)";
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d +0000", parts.tm_year + 1900,
                parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
  return buffer;
}

ClockOverride::ClockOverride(std::function<Date()> clock) {
  auto shared = std::make_shared<const std::function<Date()>>(std::move(clock));
  std::lock_guard lock(clockMutex);
  clockOverride = std::move(shared);
}

ClockOverride::ClockOverride(Date fixed) : ClockOverride([fixed] { return fixed; }) {}

ClockOverride::~ClockOverride() {
  std::shared_ptr<const std::function<Date()>> previous;
  std::lock_guard lock(clockMutex);
  previous = std::exchange(clockOverride, nullptr);
}

}  // namespace qby
