// A repeating timer aligned to the clock, which the programs use to refresh relative dates on
// screen ("2 minutes ago", day counts): with the minute unit it fires at the start of every
// minute, with the second unit every second.
//
// The main thread only; the callback runs there. Destroying the timer stops it.
#pragma once

#include <functional>
#include <optional>

#include "platform/Date.h"
#include "platform/RepeatingTimer.h"

namespace qby {

// The calendar units the timer is started with (their platform values).
inline constexpr unsigned long QBYCalendarUnitHour = 32;
inline constexpr unsigned long QBYCalendarUnitMinute = 64;
inline constexpr unsigned long QBYCalendarUnitSecond = 128;

class QBYRefreshTimer {
 public:
  QBYRefreshTimer() = default;
  // The running timer calls back into this object, so it stays where it was made.
  QBYRefreshTimer(const QBYRefreshTimer&) = delete;
  QBYRefreshTimer& operator=(const QBYRefreshTimer&) = delete;

  // Starts the timer unless it runs already. Minute: the first fire at the start of the next
  // minute, then every 60 seconds. Second: in one second, then every second. Any other unit
  // is logged and starts nothing.
  void startWithUnit(unsigned long unit, std::function<void()> callback);
  void stop();
  bool isRunning() const { return timer_.isRunning(); }

  // When the next fire is due (nothing while stopped).
  std::optional<Date> nextFireDate() const { return nextFire_; }

  // The first fire of a minute timer started at that time: the next whole minute.
  static Date startOfNextMinute(Date now);

#ifdef PORVANE_TEST_HOOKS
  // Does what a fire of the running timer does, without waiting for it.
  void fireForTesting() {
    fired();
  }
#endif

 private:
  void fired();

  RepeatingTimer timer_;
  std::function<void()> callback_;
  std::optional<Date> nextFire_;
  double interval_ = 0;
};

}  // namespace qby
