// Tells a program when the machine wakes from sleep and when the network comes back, the two
// moments when work that fell due meanwhile should run: main-loop timers count only the time
// the machine was awake, so an hourly timer would otherwise run late by the time it slept.
//
// Waking is logind's PrepareForSleep(false) on the system bus; the network is GIO's network
// monitor reporting the network available after it was not. Without a system bus (a container,
// a minimal session) the monitor logs why and reports the network only.
//
// The callback runs on the thread-default main context of the creating thread; create and
// destroy the monitor on that thread.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace qby {

struct SleepMonitorOptions {
  // The bus logind speaks on: the system bus when empty. A test gives the address of a bus
  // of its own, where a fake sends the signal under logind's name.
  std::optional<std::string> systemBusAddress;
  bool watchSleep = true;
  bool watchNetwork = true;
};

class SleepMonitor {
 public:
  enum class Event { Resumed, NetworkAvailable };

  explicit SleepMonitor(std::function<void(Event)> callback, SleepMonitorOptions options = {});
  ~SleepMonitor();
  SleepMonitor(const SleepMonitor&) = delete;
  SleepMonitor& operator=(const SleepMonitor&) = delete;

  // Whether the end of sleep is being watched (there was a bus to watch it on).
  bool watchingSleep() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace qby
