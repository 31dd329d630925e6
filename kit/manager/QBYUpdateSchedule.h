// The hourly background update of the main application and the companion. The time the next
// update is due is kept in the shared defaults, so a restarted program, and every process that
// runs a schedule of the same name, keeps to it instead of starting the hour again. One
// main-loop timer waits for that time; since such a timer counts only the time the machine was
// awake, the schedule also looks again when the machine wakes or the network comes back, and
// runs an update that fell due meanwhile at once.
//
// Each due time fires the host's callback exactly once: firing first moves the stored due time
// on by the interval, and a timer, a wake-up or another process that finds the new time ahead
// of it does nothing. Whether an update may run now (another process may be updating) is the
// manager's to decide; the schedule only calls the host.
//
// The main thread only; the callback runs there.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/Date.h"
#include "platform/MainQueue.h"
#include "platform/SleepMonitor.h"

namespace qby {

inline constexpr double QBYUpdateScheduleInterval = 3600;
// The schedules of the main application and of the companion.
inline constexpr const char* QBYUpdateScheduleApplicationIdentifier =
    "com.quillbay.mac.Porvane.sync";
inline constexpr const char* QBYUpdateScheduleUpdaterIdentifier =
    "com.quillbay.mac.Porvane.Updater.sync";

struct QBYUpdateScheduleOptions {
  double interval = QBYUpdateScheduleInterval;
  // Where wake-ups come from; nothing: no monitor (the timer alone).
  std::optional<SleepMonitorOptions> wakeUps = SleepMonitorOptions{};
};

class QBYUpdateSchedule {
 public:
  // A schedule named like "com.quillbay.mac.Porvane.sync". It starts at once: an update due
  // already (a program started after its hour passed) fires on the next turn of the loop; a
  // schedule never run before is due one interval from now.
  QBYUpdateSchedule(std::string identifier, std::function<void()> fire,
                    QBYUpdateScheduleOptions options = {});
  ~QBYUpdateSchedule();
  QBYUpdateSchedule(const QBYUpdateSchedule&) = delete;
  QBYUpdateSchedule& operator=(const QBYUpdateSchedule&) = delete;

  // When the next update is due, as stored.
  std::optional<Date> dueDate() const;
  // Fires when the due time has passed, else waits for it afresh. Wake-ups and network
  // changes call this; a host may too.
  void checkDue();

  // The shared-defaults key of a schedule's due time.
  static std::string dueDateKey(const std::string& identifier);

 private:
  void moveDueDate(Date due);
  void arm(Date due);

  std::string identifier_;
  std::function<void()> fire_;
  double interval_;
  DelayedCall timer_;
  std::optional<Date> localDue_;
  std::unique_ptr<SleepMonitor> monitor_;
  // Set while the host's callback runs, so a check it causes does not fire again.
  bool firing_ = false;
};

}  // namespace qby
