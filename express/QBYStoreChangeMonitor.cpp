#include "QBYStoreChangeMonitor.h"

#include "platform/Log.h"

namespace porvane::express {

QBYStoreChangeMonitor::QBYStoreChangeMonitor(const std::filesystem::path& storeFile,
                                             std::function<void()> changed)
    : changed_(std::move(changed)) {
  for (const std::filesystem::path& path :
       {storeFile, std::filesystem::path(storeFile.string() + "-wal")}) {
    auto file = qby::GObjectPtr<GFile>::adopt(g_file_new_for_path(path.c_str()));
    GError* error = nullptr;
    // A file monitor of a file that does not exist yet reports its creation, so the -wal file
    // SQLite makes at the first write is watched from the start.
    GFileMonitor* monitor = g_file_monitor_file(file.get(), G_FILE_MONITOR_NONE, nullptr, &error);
    if (!monitor) {
      qby::log("Cannot watch %@: %@", path.string(), error ? error->message : "unknown error");
      g_clear_error(&error);
      continue;
    }
    g_signal_connect(monitor, "changed", G_CALLBACK(fileChanged), this);
    monitors_.push_back(qby::GObjectPtr<GFileMonitor>::adopt(monitor));
  }
}

QBYStoreChangeMonitor::~QBYStoreChangeMonitor() {
  for (auto& monitor : monitors_) {
    g_signal_handlers_disconnect_by_data(monitor.get(), this);
    g_file_monitor_cancel(monitor.get());
  }
}

void QBYStoreChangeMonitor::fileChanged(GFileMonitor*, GFile*, GFile*, GFileMonitorEvent event,
                                        gpointer data) {
  switch (event) {
    case G_FILE_MONITOR_EVENT_CHANGED:
    case G_FILE_MONITOR_EVENT_CHANGES_DONE_HINT:
    case G_FILE_MONITOR_EVENT_CREATED:
    case G_FILE_MONITOR_EVENT_DELETED:
      break;
    default:
      return;
  }
  auto* self = static_cast<QBYStoreChangeMonitor*>(data);
  self->quiet_.schedule(kQuietSeconds, [self] { self->changed_(); });
}

}  // namespace porvane::express
