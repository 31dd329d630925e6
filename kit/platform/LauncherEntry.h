// The application's badge in docks and task bars: the launcher-entry signal that such docks
// watch on the session bus (interface "com.canonical.Unity.LauncherEntry", member "Update",
// arguments (application URI, {"count": int64, "count-visible": bool})). A count of 0 or less
// hides the badge.
//
// Any thread. Broadcasting needs no answer, so a dock that is not running costs nothing; a
// failure (no session bus, a connection that closed) is logged and answered as false.
#pragma once

#include <cstdint>

namespace qby {

// The desktop entry the dock matches the badge to.
inline constexpr const char* QBYLauncherEntryAppURI =
    "application://com.quillbay.mac.Porvane.desktop";
inline constexpr const char* QBYLauncherEntryInterface = "com.canonical.Unity.LauncherEntry";
inline constexpr const char* QBYLauncherEntryPath = "/com/quillbay/Porvane/LauncherEntry";

class LauncherEntry {
 public:
  // Shows the count on the application's launcher icon, or hides it for 0.
  static bool updateBadgeCount(std::int64_t count);
};

}  // namespace qby
