// The main queue: work for the main thread, which runs the default GMainContext. The
// manager, the sync state machine, delegates and user interfaces live there.
#pragma once

#include <functional>
#include <memory>

namespace qby {

namespace MainQueue {

// Runs the function on the main thread, asynchronously, after work already queued there.
// Callable from any thread.
void async(std::function<void()> work);

// True on the program's main thread, the one that runs the default main context. (On Linux
// that is the thread whose id is the process id, so the answer is right from the first
// instruction on, static initialisers included, and in a forked child.)
bool isMainThread();

// Runs the default main context until the predicate holds or the timeout (seconds) passes.
// Answers the predicate's last value. The predicate is asked again after every dispatch and
// at least every few milliseconds, so it may watch state that other threads change. For
// programs' main functions and for tests; call it on the main thread only.
bool runUntil(const std::function<bool()>& done, double timeoutSeconds);

// Dispatches everything that is ready on the default main context without blocking (work
// that keeps queueing more work keeps it going).
void drain();

}  // namespace MainQueue

// A delayed call on the main loop with a cancellable handle: scheduling again cancels the
// previous request ("cancel the previous request, schedule again"). Destroying the handle
// cancels a pending call. Use it on the main thread only.
class DelayedCall {
 public:
  DelayedCall();
  ~DelayedCall();
  DelayedCall(DelayedCall&&) noexcept;
  DelayedCall& operator=(DelayedCall&&) noexcept;
  DelayedCall(const DelayedCall&) = delete;
  DelayedCall& operator=(const DelayedCall&) = delete;

  void schedule(double delaySeconds, std::function<void()> work);
  void cancel();
  bool isPending() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace qby
