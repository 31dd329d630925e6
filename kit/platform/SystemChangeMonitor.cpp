#include "platform/SystemChangeMonitor.h"

#include <gio/gio.h>
#include <glib-unix.h>
#include <sys/timerfd.h>
#include <unicode/timezone.h>
#include <unicode/unistr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string_view>

#include "platform/GLibPtr.h"
#include "platform/QBYNotificationCenter.h"

namespace qby {

namespace {

icu::UnicodeString unicode(std::string_view text) {
  return icu::UnicodeString::fromUTF8(
      icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
}

// True for zone IDs ICU knows as system zones ("Europe/Berlin", "Etc/UTC"), not custom
// offsets or invented names.
bool isKnownZone(std::string_view id) {
  if (id.empty()) return false;
  icu::UnicodeString canonical;
  UBool isSystemID = false;
  UErrorCode status = U_ZERO_ERROR;
  icu::TimeZone::getCanonicalID(unicode(id), canonical, isSystemID, status);
  return U_SUCCESS(status) && isSystemID;
}

// "…/zoneinfo/Europe/Berlin" (also below "posix/" or "right/") names Europe/Berlin.
std::optional<std::string> zoneIDFromZoneFilePath(const std::string& path) {
  constexpr std::string_view kMarker = "zoneinfo/";
  const auto found = path.rfind(kMarker);
  if (found == std::string::npos) return std::nullopt;
  std::string_view id = std::string_view(path).substr(found + kMarker.size());
  for (const std::string_view prefix : {"posix/", "right/"}) {
    if (id.substr(0, prefix.size()) == prefix) id.remove_prefix(prefix.size());
  }
  if (!isKnownZone(id)) return std::nullopt;
  return std::string(id);
}

std::optional<std::string> zoneIDFromLink(const std::string& linkPath) {
  std::error_code error;
  const std::filesystem::path target = std::filesystem::read_symlink(linkPath, error);
  if (error) return std::nullopt;
  return zoneIDFromZoneFilePath(target.lexically_normal().string());
}

std::optional<std::string> zoneIDFromTextFile(const std::string& path) {
  std::ifstream file(path);
  std::string line;
  if (!file || !std::getline(file, line)) return std::nullopt;
  const auto first = line.find_first_not_of(" \t\r");
  if (first == std::string::npos) return std::nullopt;
  const auto last = line.find_last_not_of(" \t\r");
  line = line.substr(first, last - first + 1);
  if (!isKnownZone(line)) return std::nullopt;
  return line;
}

std::optional<std::string> zoneIDFromICU() {
  std::unique_ptr<icu::TimeZone> zone(icu::TimeZone::detectHostTimeZone());
  if (!zone || *zone == icu::TimeZone::getUnknown()) return std::nullopt;
  icu::UnicodeString id;
  std::string result;
  zone->getID(id).toUTF8String(result);
  return result;
}

}  // namespace

struct SystemChangeMonitor::Impl {
  SystemChangeMonitorOptions options;
  std::vector<GObjectPtr<GFileMonitor>> fileMonitors;
  int clockFd = -1;
  GSourcePtr clockSource;
};

namespace {

void onTimeZoneFileChanged(GFileMonitor*, GFile*, GFile*, GFileMonitorEvent, gpointer monitor) {
  static_cast<SystemChangeMonitor*>(monitor)->checkTimeZone();
}

// Arms a timer far in the future that the kernel cancels whenever the real-time clock is set.
bool armClockTimer(int fd) {
  itimerspec spec{};
  spec.it_value.tv_sec = std::time(nullptr) + 100L * 365 * 24 * 3600;
  return timerfd_settime(fd, TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &spec, nullptr) == 0;
}

gboolean onClockTimer(gint fd, GIOCondition, gpointer) {
  std::uint64_t expirations = 0;
  const ssize_t count = read(fd, &expirations, sizeof expirations);
  const bool clockWasSet = count < 0 && errno == ECANCELED;
  if (count < 0 && errno == EAGAIN) return G_SOURCE_CONTINUE;
  armClockTimer(fd);
  if (clockWasSet) {
    QBYNotificationCenter::defaultCenter().post(QBYSystemClockDidChangeNotification);
  }
  return G_SOURCE_CONTINUE;
}

}  // namespace

SystemChangeMonitor::SystemChangeMonitor() : SystemChangeMonitor(SystemChangeMonitorOptions{}) {}

SystemChangeMonitor::SystemChangeMonitor(SystemChangeMonitorOptions options)
    : impl_(std::make_unique<Impl>()) {
  impl_->options = std::move(options);

  for (const std::string& path : impl_->options.timeZoneFiles) {
    GObjectPtr<GFile> file = GObjectPtr<GFile>::adopt(g_file_new_for_path(path.c_str()));
    GError* rawError = nullptr;
    auto monitor = GObjectPtr<GFileMonitor>::adopt(
        g_file_monitor_file(file.get(), G_FILE_MONITOR_NONE, nullptr, &rawError));
    const GErrorPtr error(rawError);
    // Without inotify (or with a folder we may not read) the zone is simply not followed.
    if (!monitor) continue;
    g_signal_connect(monitor.get(), "changed", G_CALLBACK(onTimeZoneFileChanged), this);
    impl_->fileMonitors.push_back(std::move(monitor));
  }

  if (impl_->options.watchClock) {
    impl_->clockFd = timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC);
    if (impl_->clockFd >= 0 && armClockTimer(impl_->clockFd)) {
      impl_->clockSource.reset(g_unix_fd_source_new(impl_->clockFd, G_IO_IN));
      g_source_set_callback(impl_->clockSource.get(), G_SOURCE_FUNC(onClockTimer), nullptr,
                            nullptr);
      g_source_attach(impl_->clockSource.get(), g_main_context_get_thread_default());
    }
  }
}

SystemChangeMonitor::~SystemChangeMonitor() {
  for (const auto& monitor : impl_->fileMonitors) {
    g_signal_handlers_disconnect_by_data(monitor.get(), this);
    g_file_monitor_cancel(monitor.get());
  }
  if (impl_->clockSource) g_source_destroy(impl_->clockSource.get());
  impl_->clockSource.reset();
  if (impl_->clockFd >= 0) close(impl_->clockFd);
}

bool SystemChangeMonitor::checkTimeZone() {
  const std::optional<std::string> id =
      impl_->options.detectTimeZone ? impl_->options.detectTimeZone() : hostTimeZoneID();
  if (!id || !isKnownZone(*id)) return false;
  std::unique_ptr<icu::TimeZone> zone(icu::TimeZone::createTimeZone(unicode(*id)));
  const std::unique_ptr<icu::TimeZone> current(icu::TimeZone::createDefault());
  if (!zone || (current && *current == *zone)) return false;

  // The C library reads the zone again too, so localtime() agrees with ICU.
  tzset();
  icu::TimeZone::adoptDefault(zone.release());
  QBYNotificationCenter::defaultCenter().post(QBYSystemTimeZoneDidChangeNotification);
  return true;
}

std::optional<std::string> SystemChangeMonitor::hostTimeZoneID() {
  if (const char* variable = std::getenv("TZ"); variable && *variable) {
    std::string_view tz = variable;
    if (tz.front() == ':') tz.remove_prefix(1);
    if (!tz.empty() && tz.front() == '/') {
      const std::string path(tz);
      if (auto id = zoneIDFromZoneFilePath(path)) return id;
      if (auto id = zoneIDFromLink(path)) return id;
    } else if (isKnownZone(tz)) {
      return std::string(tz);
    }
    // A POSIX rule such as "CET-1CEST" is left to ICU, which understands some of them.
  } else if (auto id = timeZoneIDFromFiles("/etc/localtime", "/etc/timezone")) {
    return id;
  }
  return zoneIDFromICU();
}

std::optional<std::string> SystemChangeMonitor::timeZoneIDFromFiles(
    const std::string& localtimePath, const std::string& timezonePath) {
  if (auto id = zoneIDFromLink(localtimePath)) return id;
  return zoneIDFromTextFile(timezonePath);
}

}  // namespace qby
