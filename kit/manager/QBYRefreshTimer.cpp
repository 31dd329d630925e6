#include "manager/QBYRefreshTimer.h"

#include <cmath>

#include "platform/Log.h"

namespace qby {

Date QBYRefreshTimer::startOfNextMinute(Date now) {
  const double seconds = now.timeIntervalSince1970();
  // Whole minutes of the epoch are whole minutes of every zone in use today.
  return Date((std::floor(seconds / 60.0) + 1.0) * 60.0);
}

void QBYRefreshTimer::startWithUnit(unsigned long unit, std::function<void()> callback) {
  if (timer_.isRunning()) return;
  const Date now = Date::now();
  switch (unit) {
    case QBYCalendarUnitMinute:
      // Coarse: a fire within the second is on time for a minute display, and lets the
      // system wake once for every program's minute timers.
      nextFire_ = startOfNextMinute(now);
      interval_ = 60;
      timer_.start(nextFire_->timeIntervalSince(now), 60, RepeatingTimer::Precision::Coarse,
                   [this] { fired(); });
      break;
    case QBYCalendarUnitSecond:
      nextFire_ = now.addingTimeInterval(1);
      interval_ = 1;
      timer_.start(1, 1, RepeatingTimer::Precision::Fine, [this] { fired(); });
      break;
    default:
      log("Refresh timer unit is unsupported");
      return;
  }
  callback_ = std::move(callback);
}

void QBYRefreshTimer::stop() {
  timer_.stop();
  callback_ = nullptr;
  nextFire_.reset();
}

void QBYRefreshTimer::fired() {
  if (nextFire_) nextFire_ = nextFire_->addingTimeInterval(interval_);
  // A copy: the callback may stop the timer, which drops the stored one.
  const std::function<void()> callback = callback_;
  if (callback) callback();
}

}  // namespace qby
