#include "platform/RepeatingTimer.h"

#include <glib.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>

namespace qby {

// What the timer's GLib sources share with the handle. A source holds only a weak reference
// and the generation it belongs to, so a source of a stopped or restarted timer does nothing.
struct RepeatingTimer::State {
  GSource* source = nullptr;  // our reference while the timer runs
  std::function<void()> fire;
  unsigned interval = 1;
  Precision precision = Precision::Coarse;
  std::uint64_t generation = 0;

  void dropSource() {
    if (source) {
      g_source_destroy(source);
      g_source_unref(std::exchange(source, nullptr));
    }
  }

  void stop() {
    dropSource();
    ++generation;
    // Dropped now, so what the callback captured goes away when the timer stops.
    fire = nullptr;
  }

  struct Pending {
    std::weak_ptr<State> state;
    std::uint64_t generation;
    bool first;
  };
  static void attach(const std::shared_ptr<State>& state, GSource* source, bool first);
  static gboolean onTimer(gpointer data);
};

void RepeatingTimer::State::attach(const std::shared_ptr<State>& state, GSource* source,
                                   bool first) {
  state->source = source;
  g_source_set_static_name(source, "qby-repeating-timer");
  auto pending = std::make_unique<Pending>(Pending{state, state->generation, first});
  g_source_set_callback(source, onTimer, pending.release(), [](gpointer data) {
    const std::unique_ptr<Pending> owned(static_cast<Pending*>(data));
  });
  g_source_attach(source, g_main_context_default());
}

gboolean RepeatingTimer::State::onTimer(gpointer data) {
  const auto& pending = *static_cast<Pending*>(data);
  // Kept alive while the callback runs, even if the callback destroys the handle.
  std::shared_ptr<State> state = pending.state.lock();
  if (!state || state->generation != pending.generation || !state->source) return G_SOURCE_REMOVE;
  const std::uint64_t generation = state->generation;
  const bool first = pending.first;
  if (first) {
    // The first fire had a delay of its own; from now on the interval repeats.
    g_source_unref(std::exchange(state->source, nullptr));
    GSource* next = state->precision == Precision::Coarse
                        ? g_timeout_source_new_seconds(state->interval)
                        : g_timeout_source_new(state->interval * 1000u);
    attach(state, next, false);
  }
  std::function<void()> fire = state->fire;
  if (fire) fire();
  // The first source is done; a repeating one goes on unless the callback stopped the timer.
  if (first) return G_SOURCE_REMOVE;
  return state->generation == generation ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
}

RepeatingTimer::RepeatingTimer() = default;

RepeatingTimer::~RepeatingTimer() {
  if (state_) state_->stop();
}

RepeatingTimer::RepeatingTimer(RepeatingTimer&& other) noexcept : state_(std::move(other.state_)) {}

RepeatingTimer& RepeatingTimer::operator=(RepeatingTimer&& other) noexcept {
  if (this != &other) {
    if (state_) state_->stop();
    state_ = std::move(other.state_);
  }
  return *this;
}

void RepeatingTimer::start(double firstDelaySeconds, unsigned intervalSeconds, Precision precision,
                           std::function<void()> fire) {
  if (!state_) state_ = std::make_shared<State>();
  state_->stop();
  if (!fire) return;
  state_->fire = std::move(fire);
  state_->interval = std::max(1u, intervalSeconds);
  state_->precision = precision;
  const double milliseconds =
      std::isfinite(firstDelaySeconds) ? std::clamp(firstDelaySeconds * 1000.0, 0.0, 1.0e9) : 0.0;
  State::attach(state_, g_timeout_source_new(static_cast<guint>(std::ceil(milliseconds))), true);
}

void RepeatingTimer::stop() {
  if (state_) state_->stop();
}

bool RepeatingTimer::isRunning() const {
  return state_ && state_->source != nullptr;
}

}  // namespace qby
