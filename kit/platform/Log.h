// The console log: one line per event on standard error, which the log files of a program
// receive once file logging is on. Lines are written with one write() each, so lines of
// different threads and processes never interleave.
//
// Any thread may log.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "platform/Format.h"

namespace qby {

// Writes one line (a trailing newline is added) to the console and to every observer.
void logLine(std::string_view line);

// Whether lines reach standard error (on by default; observers get them either way). A
// command-line tool turns it off unless asked: its standard error is the user's terminal and
// carries its own messages.
void setConsoleLogEnabled(bool enabled);
bool consoleLogEnabled();

template <typename... Args>
void log(std::string_view fmt, const Args&... args) {
  logLine(format(fmt, args...));
}

// Receives a copy of every console line while it lives (troubleshooting runs collect the
// updater's lines; tests check the exact texts). Observers are called on the logging thread.
class LogObserver {
 public:
  explicit LogObserver(std::function<void(std::string_view line)> callback);
  ~LogObserver();
  LogObserver(const LogObserver&) = delete;
  LogObserver& operator=(const LogObserver&) = delete;

 private:
  int id_;
};

}  // namespace qby
