// A point in time, counted in seconds since 1 January 1970 UTC, as every time stamp of the
// store and the scripts is. A value type: copy it freely, on any thread.
#pragma once

#include <compare>
#include <functional>
#include <string>

namespace qby {

class Date {
 public:
  constexpr Date() = default;
  constexpr explicit Date(double secondsSince1970) : seconds_(secondsSince1970) {}

  // The current time, from the process clock. Tests may replace the clock (see ClockOverride).
  static Date now();
  static constexpr Date fromTimeIntervalSince1970(double seconds) { return Date(seconds); }

  constexpr double timeIntervalSince1970() const { return seconds_; }
  constexpr double timeIntervalSince(Date other) const { return seconds_ - other.seconds_; }
  double timeIntervalSinceNow() const { return seconds_ - now().seconds_; }
  constexpr Date addingTimeInterval(double seconds) const { return Date(seconds_ + seconds); }

  constexpr auto operator<=>(const Date&) const = default;

  // "2024-01-31 12:00:00 +0000": the time in UTC to the whole second (rounded down), as the
  // platform prints a date with "%@". Times outside years 1..9999 print as the bare number of
  // seconds, since no calendar text would be faithful there.
  std::string description() const;

 private:
  double seconds_ = 0;
};

// Replaces the clock that Date::now() reads while it lives; for tests that need a fixed "now".
// Only one may be active at a time; the clock function must be callable from any thread.
class ClockOverride {
 public:
  explicit ClockOverride(std::function<Date()> clock);
  explicit ClockOverride(Date fixed);
  ~ClockOverride();
  ClockOverride(const ClockOverride&) = delete;
  ClockOverride& operator=(const ClockOverride&) = delete;
};

}  // namespace qby
