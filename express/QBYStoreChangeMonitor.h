// Notices that another program of the suite (the main application, the command-line tool, the
// widget) wrote the shared delivery store, so the companion's menu can follow without polling.
// It watches the database file and its write-ahead log; a burst of changes (one transaction
// touches both files several times) becomes one call after a short quiet period.
//
// The companion's own saves are seen too; the owner decides whether a reload is worth it.
//
// Threads: main thread only; the callback runs on the main loop.
#pragma once

#include <gio/gio.h>

#include <filesystem>
#include <functional>
#include <vector>

#include "platform/GLibPtr.h"
#include "platform/MainQueue.h"

namespace porvane::express {

class QBYStoreChangeMonitor {
 public:
  // How long the files must stay quiet before the callback runs.
  static constexpr double kQuietSeconds = 0.3;

  // Watches storeFile and storeFile + "-wal" (each may not exist yet). started() tells whether
  // at least one watch could be set up.
  QBYStoreChangeMonitor(const std::filesystem::path& storeFile, std::function<void()> changed);
  ~QBYStoreChangeMonitor();
  QBYStoreChangeMonitor(const QBYStoreChangeMonitor&) = delete;
  QBYStoreChangeMonitor& operator=(const QBYStoreChangeMonitor&) = delete;

  bool started() const { return !monitors_.empty(); }

 private:
  static void fileChanged(GFileMonitor* monitor, GFile* file, GFile* other, GFileMonitorEvent event,
                          gpointer data);

  std::function<void()> changed_;
  std::vector<qby::GObjectPtr<GFileMonitor>> monitors_;
  qby::DelayedCall quiet_;
};

}  // namespace porvane::express
