// A repeating timer on the main loop: a first fire after a delay of its own, then one fire per
// interval until it is stopped. A coarse timer fires within the second of its due time, so the
// system can wake once for the timers of every program that wakes at that second; a fine one
// fires to the millisecond.
//
// The main thread only (the timer runs on the default main context). The callback may stop the
// timer, start it again or destroy it.
#pragma once

#include <functional>
#include <memory>

namespace qby {

class RepeatingTimer {
 public:
  enum class Precision { Coarse, Fine };

  RepeatingTimer();
  ~RepeatingTimer();
  RepeatingTimer(RepeatingTimer&&) noexcept;
  RepeatingTimer& operator=(RepeatingTimer&&) noexcept;
  RepeatingTimer(const RepeatingTimer&) = delete;
  RepeatingTimer& operator=(const RepeatingTimer&) = delete;

  // Replaces a running timer. The first fire comes after firstDelaySeconds (0 or less: on the
  // next turn of the loop), then every intervalSeconds (at least 1).
  void start(double firstDelaySeconds, unsigned intervalSeconds, Precision precision,
             std::function<void()> fire);
  void stop();
  bool isRunning() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace qby
