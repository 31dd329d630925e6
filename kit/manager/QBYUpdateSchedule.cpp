#include "manager/QBYUpdateSchedule.h"

#include <algorithm>

#include "platform/Log.h"
#include "platform/QBYUserDefaults.h"

namespace qby {

QBYUpdateSchedule::QBYUpdateSchedule(std::string identifier, std::function<void()> fire,
                                     QBYUpdateScheduleOptions options)
    : identifier_(std::move(identifier)),
      fire_(std::move(fire)),
      interval_(std::max(1.0, options.interval)) {
  if (options.wakeUps) {
    monitor_ = std::make_unique<SleepMonitor>([this](SleepMonitor::Event) { checkDue(); },
                                              *options.wakeUps);
  }
  if (!dueDate()) {
    moveDueDate(Date::now().addingTimeInterval(interval_));
    return;
  }
  // A due time that passed while no program ran fires soon, not an interval late.
  timer_.schedule(0, [this] { checkDue(); });
}

QBYUpdateSchedule::~QBYUpdateSchedule() = default;

std::string QBYUpdateSchedule::dueDateKey(const std::string& identifier) {
  return "QBYUpdateScheduleDueDate." + identifier;
}

std::optional<Date> QBYUpdateSchedule::dueDate() const {
  const std::optional<Date> stored =
      QBYUserDefaults::sharedDefaults().dateOrNilForKey(dueDateKey(identifier_));
  // What this process set counts too: a write that failed must not make the old time fire
  // again at every wake-up.
  if (stored && localDue_) return std::max(*stored, *localDue_);
  return stored ? stored : localDue_;
}

void QBYUpdateSchedule::checkDue() {
  if (firing_) return;
  const Date now = Date::now();
  const std::optional<Date> due = dueDate();
  // A time more than one interval ahead means the clock was set back; waiting for it would
  // stop the updates for as long.
  if (!due || due->timeIntervalSince(now) > interval_) {
    moveDueDate(now.addingTimeInterval(interval_));
    return;
  }
  if (*due > now) {
    arm(*due);
    return;
  }
  // Moved on before the host runs, so this due time fires once even if the host takes long
  // or another process looks meanwhile.
  moveDueDate(now.addingTimeInterval(interval_));
  firing_ = true;
  if (fire_) fire_();
  firing_ = false;
}

void QBYUpdateSchedule::moveDueDate(Date due) {
  localDue_ = due;
  if (!QBYUserDefaults::sharedDefaults().setObject(Value(due), dueDateKey(identifier_)))
    log("Error saving the next update time of %@", identifier_);
  arm(due);
}

void QBYUpdateSchedule::arm(Date due) {
  const double delay = std::max(0.0, due.timeIntervalSinceNow());
  timer_.schedule(delay, [this] { checkDue(); });
}

}  // namespace qby
