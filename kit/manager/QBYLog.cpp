#include "manager/QBYLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <system_error>

#include "platform/Date.h"
#include "platform/FileSystem.h"
#include "platform/Localization.h"
#include "platform/Log.h"
#include "platform/Paths.h"
#include "platform/QBYNotificationCenter.h"
#include "platform/QBYUserDefaults.h"
#include "platform/Resources.h"
#include "presentation/Calendar.h"

namespace qby {
namespace {

constexpr const char* kEnabledKey = "QBYLogEnabled";
constexpr const char* kDaysToRotateKey = "QBYLogDaysToRotate";
constexpr const char* kMaximumFilesKey = "QBYLogMaximumFiles";
constexpr const char* kGroupIDKey = "QBYLogGroupID";
constexpr const char* kLastBuildKey = "QBYLogLastBuild";
constexpr const char* kVendorIdentifierKey = "QBYVendorIdentifier";

// The highest rotated number kept at all; files beyond it are removed whatever the maximum.
constexpr long kLastRotatedNumber = 8;

std::string randomUUID() {
  std::random_device device;
  std::uniform_int_distribution<int> nibble(0, 15);
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (int i = 0; i < 32; ++i) {
    int value = nibble(device);
    if (i == 12) value = 4;                  // version 4: random
    if (i == 16) value = 8 | (value & 0x3);  // RFC 4122 variant
    text.push_back(kHex[value]);
    if (i == 7 || i == 11 || i == 15 || i == 19) text.push_back('-');
  }
  return text;
}

// When the file was made. Linux keeps a birth time on most file systems; where it does not,
// the last change is the best we know.
std::optional<Date> creationDate(const std::filesystem::path& file) {
  struct statx info {};
  if (statx(AT_FDCWD, file.c_str(), 0, STATX_BTIME | STATX_MTIME, &info) != 0) return std::nullopt;
  const auto& stamp = (info.stx_mask & STATX_BTIME) ? info.stx_btime : info.stx_mtime;
  return Date(static_cast<double>(stamp.tv_sec) + stamp.tv_nsec / 1e9);
}

std::string osReleaseField(const std::string& text, const std::string& key) {
  std::size_t position = 0;
  while (position < text.size()) {
    const auto end = text.find('\n', position);
    const std::string line =
        text.substr(position, end == std::string::npos ? std::string::npos : end - position);
    position = end == std::string::npos ? text.size() : end + 1;
    if (line.rfind(key + "=", 0) != 0) continue;
    std::string value = line.substr(key.size() + 1);
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
      value = value.substr(1, value.size() - 2);
    return value;
  }
  return {};
}

}  // namespace

bool QBYLog::enabled() {
  return sharedDefaults().boolForKey(kEnabledKey);
}

void QBYLog::setEnabled(bool enabled) {
  sharedDefaults().setBool(enabled, kEnabledKey);
  if (enabled) {
    outputToFile();
  } else {
    auto& standard = QBYUserDefaults::standardDefaults();
    standard.removeObjectForKey(kDaysToRotateKey);
    standard.removeObjectForKey(kMaximumFilesKey);
  }
  QBYNotificationCenter::defaultCenter().post(QBYLogChangeNotification, nullptr);
}

int QBYLog::daysToRotate() {
  const auto days = QBYUserDefaults::standardDefaults().integerForKey(kDaysToRotateKey);
  return days > 0 ? static_cast<int>(days) : 1;
}

void QBYLog::setDaysToRotate(int days) {
  QBYUserDefaults::standardDefaults().setInteger(days, kDaysToRotateKey);
}

int QBYLog::maximumFiles() {
  const auto files = QBYUserDefaults::standardDefaults().integerForKey(kMaximumFilesKey);
  return files > 0 ? static_cast<int>(files) : 5;
}

void QBYLog::setMaximumFiles(int files) {
  QBYUserDefaults::standardDefaults().setInteger(files, kMaximumFilesKey);
}

void QBYLog::startForGroup(const std::optional<std::string>& groupID) {
  auto& standard = QBYUserDefaults::standardDefaults();
  if (groupID)
    standard.setObject(Value(*groupID), kGroupIDKey);
  else
    standard.removeObjectForKey(kGroupIDKey);
  start();
}

void QBYLog::start() {
  if (enabled()) outputToFile();
}

void QBYLog::outputToFile() {
  const auto folder = folderURL();
  std::error_code error;
  if (!std::filesystem::is_directory(folder, error) && !Paths::ensureDirectory(folder)) {
    log("Error creating logs folder: %@, %@", folder.string(), std::string(strerror(errno)));
    return;
  }

  const double build = Resources::buildNumber();
  auto& standard = QBYUserDefaults::standardDefaults();
  const auto file = URL();

  if (std::filesystem::exists(file, error)) {
    const double lastBuild = standard.doubleForKey(kLastBuildKey);
    const auto created = creationDate(file);
    const bool old = created && ageInDays(*created, Date::now()) >= daysToRotate();
    if (build > lastBuild || old) {
      const long maximum = maximumFiles();
      for (long number = kLastRotatedNumber; number >= 0; --number) {
        const auto from = incrementFileName(file, number);
        if (!std::filesystem::exists(from, error)) continue;
        if (number == kLastRotatedNumber || number >= maximum - 1) {
          if (!std::filesystem::remove(from, error) && error)
            log("Failed to remove log file %@: %@ %@", from.string(), error.message(),
                std::to_string(error.value()));
        } else {
          std::string failure;
          if (!FileSystem::current().rename(from, incrementFileName(file, number + 1), &failure)) {
            // The next lower file would be moved onto this one and replace it: stop shifting.
            // The files keep their names and the current one is appended to.
            log("Error rotating log file: %@, %@", from.string(), failure);
            break;
          }
        }
      }
    }
  }

  if (!std::filesystem::exists(file, error)) {
    log("Creating file at %@", file.string());
    const std::string header =
        format("%@ %@ (%@)\n%@\nVendor ID: %@\n\n", programName(), appVersion(),
               Resources::buildNumber(), systemVersion(), vendorIdentifier());
    std::string failure;
    if (!Paths::writeFileAtomically(file, header, &failure))
      log("Error creating file: %@, %@", file.string(), failure);
  }

  standard.setDouble(build, kLastBuildKey);

  const int descriptor = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (descriptor < 0) {
    log("Error creating file: %@, %@", file.string(), std::string(strerror(errno)));
    return;
  }
  std::fflush(stderr);
  ::dup2(descriptor, STDERR_FILENO);
  ::close(descriptor);
}

bool QBYLog::deleteLogFiles() {
  bool removedAll = true;
  for (const auto& file : paths()) {
    std::error_code error;
    if (!std::filesystem::remove(file, error) && error) {
      log("Failed to remove log file %@: %@ %@", file.string(), error.message(),
          std::to_string(error.value()));
      removedAll = false;
    }
  }
  return removedAll;
}

std::filesystem::path QBYLog::folderURL() {
  const bool grouped = QBYUserDefaults::standardDefaults().stringForKey(kGroupIDKey).has_value();
  return (grouped ? Paths::sharedContainer() : Paths::privateContainer()) / "Logs";
}

std::filesystem::path QBYLog::URL() {
  return folderURL() / (programName() + ".log");
}

std::vector<std::filesystem::path> QBYLog::paths() {
  std::vector<std::filesystem::path> files;
  std::error_code error;
  std::filesystem::directory_iterator it(folderURL(), error);
  if (error) {
    log("Error getting contents of logs folder: %@, %@", folderURL().string(), error.message());
    return files;
  }
  for (const auto& entry : it)
    if (entry.path().extension() == ".log") files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  return files;
}

std::string QBYLog::platformIdentifier() {
  return "linux";
}

std::string QBYLog::systemVersion() {
  auto text = Paths::readFile("/etc/os-release");
  if (!text) text = Paths::readFile("/usr/lib/os-release");
  if (!text) return "Linux";
  std::string name = osReleaseField(*text, "NAME");
  const std::string version = osReleaseField(*text, "VERSION_ID");
  if (name.empty()) name = "Linux";
  return version.empty() ? name : name + " " + version;
}

std::string QBYLog::appVersion() {
  return Resources::version();
}

std::string QBYLog::vendorIdentifier() {
  auto& defaults = sharedDefaults();
  if (auto identifier = defaults.stringForKey(kVendorIdentifierKey);
      identifier && !identifier->empty())
    return *identifier;
  const std::string identifier = randomUUID();
  defaults.setObject(Value(identifier), kVendorIdentifierKey);
  return identifier;
}

QBYLogAlert QBYLog::enabledAlert() {
  QBYLogAlert alert;
  alert.style = QBYLogAlert::Style::Warning;
  alert.message = QBYLocalizedString("Logs are now enabled");
  alert.informativeText = QBYLocalizedString(
      "Use the app to reproduce the problem you\u2019ve been having, and details about the "
      "problem will be recorded. To share your logs with us, or turn off logging, open the "
      "Preferences, and then click\u00a0Logs.");
  alert.buttons = {QBYLocalizedString("OK")};
  return alert;
}

QBYUserDefaults& QBYLog::sharedDefaults() {
  const bool grouped = QBYUserDefaults::standardDefaults().stringForKey(kGroupIDKey).has_value();
  return grouped ? QBYUserDefaults::sharedDefaults() : QBYUserDefaults::standardDefaults();
}

std::filesystem::path QBYLog::incrementFileName(const std::filesystem::path& path, long number) {
  if (number <= 0) return path;
  const auto stem = path.stem().string();
  const auto extension = path.extension().string();  // ".log"
  const auto name = format("%@-%ld%@", stem, number + 1, extension);
  return path.parent_path() / name;
}

std::string QBYLog::programName() {
  std::error_code error;
  const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
  if (!error) return executable.stem().string();
  return "porvane";
}

long QBYLog::ageInDays(Date created, Date now) {
  // The calendar's day count, not elapsed seconds over 86400: the day of a daylight-saving
  // change is 23 or 25 hours long and still one day.
  return Calendar().daysUntilDate(now, created);
}

}  // namespace qby
