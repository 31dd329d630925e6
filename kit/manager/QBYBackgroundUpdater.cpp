#include "manager/QBYBackgroundUpdater.h"

#include <cerrno>
#include <cstring>
#include <system_error>

#include "platform/BusNames.h"
#include "platform/FileSystem.h"
#include "platform/Log.h"
#include "platform/Paths.h"
#include "platform/QBYUserDefaults.h"

namespace qby {

namespace {

namespace fs = std::filesystem;

// The XDG configuration base (or PORVANE_HOME's), of which the private container is a folder.
fs::path configurationBase() {
  return Paths::privateContainer().parent_path();
}

}  // namespace

std::string desktopEntryExecWord(const std::string& word) {
  // Characters that make the launcher split or interpret a word unless it is quoted.
  constexpr std::string_view kReserved = " \t\n\"'\\><~|&;$*?#()`";
  const bool needsQuotes = word.empty() || word.find_first_of(kReserved) != std::string::npos;
  std::string quoted;
  if (needsQuotes) quoted.push_back('"');
  for (const char c : word) {
    if (needsQuotes && (c == '"' || c == '`' || c == '$' || c == '\\')) quoted.push_back('\\');
    if (c == '%') quoted.push_back('%');
    quoted.push_back(c);
  }
  if (needsQuotes) quoted.push_back('"');
  // The key's value is a string first: its own escapes come off before the words are split.
  std::string escaped;
  for (const char c : quoted) {
    if (c == '\\') {
      escaped += "\\\\";
    } else if (c == '\n') {
      escaped += "\\n";
    } else if (c == '\t') {
      escaped += "\\t";
    } else {
      escaped.push_back(c);
    }
  }
  return escaped;
}

bool QBYBackgroundUpdater::requiresBackgroundUpdater() {
  auto& defaults = QBYUserDefaults::sharedDefaults();
  return defaults.boolForKey(QBYBackgroundUpdatesKey) || defaults.boolForKey(QBYMenuBarModeKey);
}

bool QBYBackgroundUpdater::usingBackgroundUpdater() {
  if (requiresBackgroundUpdater()) return true;
  auto& defaults = QBYUserDefaults::sharedDefaults();
  return !defaults.objectForKey(QBYAddShortcutKey).isNull() ||
         !defaults.objectForKey(QBYShowShortcutKey).isNull();
}

bool QBYBackgroundUpdater::backgroundUpdaterOpen() {
  return BusNames::current().nameHasOwner(QBYBackgroundUpdaterIdentifier);
}

bool QBYBackgroundUpdater::backgroundUpdaterNeedsRelaunch() {
  return usingBackgroundUpdater() && !backgroundUpdaterOpen();
}

fs::path QBYBackgroundUpdater::loginItemPath() {
  return configurationBase() / "autostart" /
         (std::string(QBYBackgroundUpdaterIdentifier) + ".desktop");
}

fs::path QBYBackgroundUpdater::programPath() {
  return fs::path(PORVANE_INSTALL_BINDIR) / "porvane-express";
}

std::string QBYBackgroundUpdater::loginItemContents() {
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=Porvane Express\n"
         "Comment=Keeps your deliveries up to date in the background\n"
         "Exec=" +
         desktopEntryExecWord(programPath().string()) +
         "\n"
         "Icon=com.quillbay.mac.Porvane\n"
         "NoDisplay=true\n"
         "X-GNOME-Autostart-enabled=true\n";
}

bool QBYBackgroundUpdater::loginItemEnabled() {
  std::error_code error;
  return fs::is_regular_file(loginItemPath(), error);
}

bool QBYBackgroundUpdater::enableBackgroundUpdater(bool enable) {
  const fs::path item = loginItemPath();
  bool succeeded = false;
  std::string failure;
  if (enable) {
    if (!Paths::ensureDirectory(item.parent_path())) {
      failure = item.parent_path().string() + ": " + std::strerror(errno);
    } else {
      succeeded = FileSystem::current().writeFileAtomically(item, loginItemContents(), &failure);
    }
  } else {
    std::error_code error;
    fs::remove(item, error);
    succeeded = !error;
    if (error) failure = item.string() + ": " + error.message();
  }
  if (succeeded) {
    log("%@ login item", std::string(enable ? "Set" : "Removed"));
  } else {
    log("Failed to %@ login item", std::string(enable ? "set" : "remove"));
    log("Error writing login item: %@", failure);
  }
  return succeeded;
}

void QBYBackgroundUpdater::launchBackgroundUpdater() {
  if (usingBackgroundUpdater() || backgroundUpdaterOpen()) return;
  BusNames::current().startServiceByName(QBYBackgroundUpdaterIdentifier);
}

}  // namespace qby
