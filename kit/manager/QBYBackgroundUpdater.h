// Whether the suite's background updater (the companion program that keeps deliveries up to
// date while the main application is closed, serves the global shortcuts and posts the
// notifications) is wanted, whether it runs, starting it, and registering it to start at login.
//
// Class operations only; they read the shared defaults. The main thread only (starting the
// program answers on the main loop). "Running" means the companion's bus name has an owner
// on the session bus; a login item is an XDG autostart entry in the user's autostart folder
// (below PORVANE_HOME when that is set).
#pragma once

#include <filesystem>
#include <string>

namespace qby {

// The companion's identifier: its bus name, the name of its desktop entries and D-Bus service.
inline constexpr const char* QBYBackgroundUpdaterIdentifier = "com.quillbay.mac.Porvane.Updater";

// Shared-defaults keys that decide whether the companion is wanted.
inline constexpr const char* QBYBackgroundUpdatesKey = "QBYBackgroundUpdates";
inline constexpr const char* QBYMenuBarModeKey = "QBYMenuBarMode";
inline constexpr const char* QBYAddShortcutKey = "QBYAddShortcut";
inline constexpr const char* QBYShowShortcutKey = "QBYShowShortcut";

class QBYBackgroundUpdater {
 public:
  QBYBackgroundUpdater() = delete;

  // Background updates or the panel item is on.
  static bool requiresBackgroundUpdater();
  // Required, or a global shortcut is set (the companion serves the shortcuts).
  static bool usingBackgroundUpdater();
  static bool backgroundUpdaterOpen();
  static bool backgroundUpdaterNeedsRelaunch();
  // Writes (true) or removes (false) the autostart entry; each replaces or removes the file
  // whole. Removing an entry that is not there succeeds. Answers whether it worked; a failure
  // is logged and leaves the caller's setting to the caller.
  static bool enableBackgroundUpdater(bool enable);
  // Starts the companion through bus activation, without waiting, unless it is wanted as a
  // login item (it then starts at login and stays) or runs already.
  static void launchBackgroundUpdater();

  // The autostart entry and what it holds.
  static std::filesystem::path loginItemPath();
  static std::string loginItemContents();
  // Whether the entry is in place.
  static bool loginItemEnabled();
  // The companion program the entry starts.
  static std::filesystem::path programPath();
};

// The text quoted for the Exec key of a desktop entry, so that the launcher reads exactly that
// one word again (blanks, quotes, dollars, backslashes and percent signs included).
std::string desktopEntryExecWord(const std::string& word);

}  // namespace qby
