#include "platform/MainQueue.h"

#include <glib.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <utility>

#include "platform/GLibPtr.h"

namespace qby {

namespace {

// The work of one async() call belongs to its source and is freed with it, run or not.
gboolean runWork(gpointer data) {
  (*static_cast<std::function<void()>*>(data))();
  return G_SOURCE_REMOVE;
}

void deleteWork(gpointer data) {
  std::unique_ptr<std::function<void()>> owned(static_cast<std::function<void()>*>(data));
}

guint millisecondsFrom(double seconds) {
  if (!(seconds > 0)) return 0;
  const double ms = std::ceil(seconds * 1000.0);
  if (ms >= static_cast<double>(G_MAXUINT)) return G_MAXUINT;
  return static_cast<guint>(ms);
}

gboolean keepWaking(gpointer) {
  return G_SOURCE_CONTINUE;
}

}  // namespace

namespace MainQueue {

void async(std::function<void()> work) {
  if (!work) return;
  // One idle source per call at the default priority: sources of equal priority are
  // dispatched in the order they were attached, which keeps the calls in FIFO order.
  GSourcePtr source(g_idle_source_new());
  g_source_set_priority(source.get(), G_PRIORITY_DEFAULT);
  g_source_set_static_name(source.get(), "qby-main-queue-async");
  auto owned = std::make_unique<std::function<void()>>(std::move(work));
  g_source_set_callback(source.get(), runWork, owned.release(), deleteWork);
  g_source_attach(source.get(), g_main_context_default());
}

bool isMainThread() {
  // On Linux the main thread's thread id equals the process id. That holds from the first
  // instruction of the program, also during static initialisation, and in a forked child
  // (whose only thread becomes its main thread), so there is nothing to record.
  return static_cast<pid_t>(syscall(SYS_gettid)) == getpid();
}

bool runUntil(const std::function<bool()>& done, double timeoutSeconds) {
  GMainContext* context = g_main_context_default();
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(millisecondsFrom(timeoutSeconds));
  if (done()) return true;

  // The predicate may turn true through another thread without any source of the main
  // context becoming ready, so a short timer wakes the iteration to look again; the deadline
  // itself is checked after every wake-up.
  GSourcePtr waker(g_timeout_source_new(10));
  g_source_set_static_name(waker.get(), "qby-main-queue-run-until");
  g_source_set_callback(waker.get(), keepWaking, nullptr, nullptr);
  g_source_attach(waker.get(), context);

  bool result = false;
  while (true) {
    if (done()) {
      result = true;
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) break;
    g_main_context_iteration(context, TRUE);
  }
  g_source_destroy(waker.get());
  return result;
}

void drain() {
  GMainContext* context = g_main_context_default();
  while (g_main_context_iteration(context, FALSE)) {
  }
}

}  // namespace MainQueue

// The state a pending call shares with its GLib source. The source's callback holds only a
// weak reference and the generation it was scheduled for, so a call cancelled, rescheduled
// or whose handle is gone finds out and does nothing.
struct DelayedCall::State {
  GSource* source = nullptr;  // one reference of ours while a call is pending
  std::function<void()> work;
  std::uint64_t generation = 0;

  void cancel() {
    if (source) {
      g_source_destroy(source);
      g_source_unref(std::exchange(source, nullptr));
    }
    // Dropped here, not when the source is freed, so captured objects go away on cancel.
    work = nullptr;
  }

  struct Pending {
    std::weak_ptr<State> state;
    std::uint64_t generation;
  };
};

DelayedCall::DelayedCall() = default;

DelayedCall::~DelayedCall() {
  if (state_) state_->cancel();
}

DelayedCall::DelayedCall(DelayedCall&& other) noexcept : state_(std::move(other.state_)) {}

DelayedCall& DelayedCall::operator=(DelayedCall&& other) noexcept {
  if (this != &other) {
    if (state_) state_->cancel();
    state_ = std::move(other.state_);
  }
  return *this;
}

void DelayedCall::schedule(double delaySeconds, std::function<void()> work) {
  if (!state_) state_ = std::make_shared<State>();
  state_->cancel();
  if (!work) return;

  State& state = *state_;
  state.work = std::move(work);
  state.generation++;
  state.source = g_timeout_source_new(millisecondsFrom(delaySeconds));
  g_source_set_static_name(state.source, "qby-delayed-call");

  auto pending = std::make_unique<State::Pending>(State::Pending{state_, state.generation});
  g_source_set_callback(
      state.source,
      [](gpointer data) -> gboolean {
        const auto& call = *static_cast<State::Pending*>(data);
        // Keeps the state alive while the work runs, even if the work destroys the handle.
        std::shared_ptr<State> state = call.state.lock();
        if (!state || state->generation != call.generation || !state->source) {
          return G_SOURCE_REMOVE;
        }
        std::function<void()> work = std::move(state->work);
        state->work = nullptr;
        g_source_unref(std::exchange(state->source, nullptr));
        // The work may schedule again or destroy the handle; neither touches this source.
        if (work) work();
        return G_SOURCE_REMOVE;
      },
      pending.release(),
      [](gpointer data) {
        std::unique_ptr<State::Pending> owned(static_cast<State::Pending*>(data));
      });
  g_source_attach(state.source, g_main_context_default());
}

void DelayedCall::cancel() {
  if (state_) state_->cancel();
}

bool DelayedCall::isPending() const {
  return state_ && state_->source != nullptr;
}

}  // namespace qby
