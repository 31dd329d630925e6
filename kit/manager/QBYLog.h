// File logging for troubleshooting. When the user turns logging on, a program's standard
// error, where every console line of the suite goes, is sent to a log file of its own in the
// shared container's "Logs" folder. Files rotate when they are a number of days old or a new
// build runs; each new file starts with a header naming the program, its version and build,
// the operating system and the installation's anonymous identifier.
//
// Class operations only. Call start()/outputToFile() from the main thread at launch or when
// the setting changes; the answers (paths, versions) may be read from any thread.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/Date.h"

namespace qby {

class QBYUserDefaults;

inline constexpr const char* QBYLogChangeNotification = "QBYLogChangeNotification";

// The alert a program shows after logging was turned on (the library has no user interface;
// the programs present it).
struct QBYLogAlert {
  enum class Style { Warning, Informational };
  Style style = Style::Warning;
  std::string message;
  std::string informativeText;
  std::vector<std::string> buttons;
};

class QBYLog {
 public:
  QBYLog() = delete;

  static bool enabled();
  // Stores the flag; on starts file output at once, off forgets the rotation settings. Posts
  // QBYLogChangeNotification either way (sender: nullptr, standing for the class).
  static void setEnabled(bool enabled);
  // Age in calendar days at which the current file is rotated; 0 or unset reads as 1.
  static int daysToRotate();
  // Calendar days from the local day of created to the local day of now, as rotation counts
  // a file's age: 23:59 yesterday is one day old at 00:01.
  static long ageInDays(Date created, Date now);
  static void setDaysToRotate(int days);
  // Files kept, the current one included; 0 or unset reads as 5.
  static int maximumFiles();
  static void setMaximumFiles(int files);

  // Remembers the group whose container holds the logs (nothing: the private container) and
  // starts.
  static void startForGroup(const std::optional<std::string>& groupID);
  // Starts file output when logging is enabled.
  static void start();
  // Rotates when due, creates the file with its header when missing, and sends standard error
  // to it (appending).
  static void outputToFile();
  // Removes every ".log" file in the folder; false when any could not be removed.
  static bool deleteLogFiles();

  static std::filesystem::path folderURL();
  static std::filesystem::path URL();
  static std::string path() { return URL().string(); }
  static std::vector<std::filesystem::path> paths();

  static std::string platformIdentifier();
  // The operating system's name and version, from os-release ("Debian GNU/Linux 12").
  static std::string systemVersion();
  static std::string appVersion();
  // A random identifier of this installation, made on first use and kept in the log defaults.
  static std::string vendorIdentifier();
  static QBYLogAlert enabledAlert();
  // The shared defaults when a group is stored, else the program's own defaults.
  static QBYUserDefaults& sharedDefaults();

  // The path of rotated file number n: n 0 is the path itself, n ≥ 1 is "name-(n+1).ext".
  static std::filesystem::path incrementFileName(const std::filesystem::path& path, long number);

  // The name of the running program (the executable's file name), which names its log file.
  static std::string programName();
};

}  // namespace qby
