// porvane: the command-line face of the suite, for people who live in a terminal and for
// scripts. It adds, lists, shows, searches, archives and deletes deliveries and runs update
// cycles through the same deliveries manager as the main application.
#include <glib.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "Commands.h"
#include "ExitCodes.h"
#include "FinderCommands.h"
#include "PorvaneKit.h"
#include "SafeText.h"
#include "SyncCommands.h"
#include "manager/QBYLog.h"
#include "platform/Log.h"
#include "platform/Paths.h"
#include "platform/Resources.h"

namespace {

constexpr const char* kUsage =
    "Usage: porvane [COMMAND] [OPTIONS]\n"
    "\n"
    "Without a command, porvane shows the version and the list of active deliveries.\n"
    "\n"
    "Deliveries (ID is the full ID or its first characters as the list shows them; a\n"
    "tracking number works too, in any case, with or without blanks):\n"
    "  add TEXT [--service KEY] [--name NAME] [--extra VALUE] [--date YYYY-MM-DD]\n"
    "           [--password-stdin] [--json]\n"
    "        Recognise the tracking number in TEXT, propose its services best first (on a\n"
    "        terminal you choose; otherwise TEXT must hold a number recognition knows, or\n"
    "        --service names the service), validate and save. A password is asked for\n"
    "        only when the service takes one. Adding an archived delivery restores it.\n"
    "  list [--archived | --all] [--json]\n"
    "        The active deliveries in the list's order (day count, title, status lines).\n"
    "  show ID|NUMBER [--json]\n"
    "        Every tracking line of one delivery, its last refresh and next update.\n"
    "  search WORDS [--archived | --active] [--json]\n"
    "        Deliveries whose texts hold every word (case and accents ignored).\n"
    "  update [--force] [--json] [--quiet]\n"
    "        Run one update cycle of the deliveries that are due (--force: of every active\n"
    "        one) and exit when it completes; progress on standard error, the notifications\n"
    "        of changed deliveries on standard output.\n"
    "  archive ID [--json]   Move a delivery to the archive.\n"
    "  delete ID [--json]    Delete a delivery for good.\n"
    "  services [WORDS] [--json]\n"
    "        The carriers and shops Porvane tracks with, the fields each asks for (*:\n"
    "        required) and how each is tracked. --check FILE runs a tracking module of your\n"
    "        own against a saved answer.\n"
    "\n"
    "Documents (*.porvane, the files the application exports and opens):\n"
    "  export ID|NUMBER FILE|FOLDER [--force] [--json]   write a delivery to a document\n"
    "  import FILE [--json]                              add the delivery of a document\n"
    "\n"
    "Panels:\n"
    "  status [--json]   the number of active deliveries and the one expected next; --json:\n"
    "                    one line for desktop panels (Waybar, Polybar, i3blocks)\n"
    "\n"
    "Sync between machines (your own sync server, see docs/server.md):\n"
    "  account register EMAIL --server URL --accept-terms [--name NAME] [--password-stdin]\n"
    "  account sign-in EMAIL --server URL [--password-stdin]\n"
    "  account sign-out | account status [--json]\n"
    "  sync [--json]   one exchange with the server: send queued changes, fetch others'\n"
    "  troubleshoot ID [--comments TEXT] [--send] [--json]\n"
    "        Update one delivery again with logging and show the report; --send sends it\n"
    "        to the sync server for a look.\n"
    "\n"
    "Background updates:\n"
    "  login-item on|off|status [--json]   whether Porvane Express starts at login\n"
    "\n"
    "Recognition:\n"
    "  guess [--strict] [--json] TEXT     the tracking numbers in TEXT and their services\n"
    "  guess [--strict] --lines           one JSON line per line of standard input\n"
    "  suggest [--json] TEXT              what the add sheet would suggest\n"
    "\n"
    "  COMMAND --help   the options of one command\n"
    "  --version  print the version and build number\n"
    "  --paths    print where Porvane keeps its data\n"
    "  --help     print this help\n"
    "\n"
    "JSON (--json; keys are added over time but never renamed or removed):\n"
    "  list, search: an array of deliveries; show, add: one delivery with \"items\".\n"
    "  A delivery has \"id\", \"title\", \"name\", \"service\", \"serviceName\", \"number\",\n"
    "  \"extra\", \"date\", \"state\" (pending, transit, delivered, error, signin,\n"
    "  updating, archived), \"archived\", \"updating\", \"complete\", \"error\", \"signIn\",\n"
    "  \"message\", \"url\", \"updated\", \"updatedText\", \"nextUpdate\", \"backgroundUpdate\",\n"
    "  \"statusChanged\", \"modified\" (times ISO 8601 or null), \"packages\", \"selected\" and\n"
    "  \"row\" (\"title\", \"package\", \"status\", \"deliver\", \"days\", \"daysText\": the list\n"
    "  row as shown). update: {\"result\", \"interrupted\", \"updated\", \"notifications\"}.\n"
    "  See docs/cli.md for every key.\n"
    "\n"
    "Environment: PORVANE_HOME (where data lives instead of the home folder), PORVANE_LOG=1\n"
    "(show the framework's log lines on standard error).\n"
    "\n"
    "Exit codes: 0 success, 1 failure (store, update, scripts, writing the output), 64 usage\n"
    "error (also an ID or number that matches several deliveries, a field the service does\n"
    "not have),\n"
    "65 invalid delivery (unknown service, missing setting, malformed date, too long, no\n"
    "tracking number recognised),\n"
    "66 no such delivery.\n";

void printLocations() {
  namespace P = qby::Paths;
  const auto resources = qby::Resources::searchFolders();
  std::printf("Shared container:  %s\n", P::sharedContainer().c_str());
  std::printf("Private container: %s\n", P::privateContainer().c_str());
  std::printf("Shared caches:     %s\n", P::sharedCaches().c_str());
  std::printf("Caches:            %s\n", P::caches().c_str());
  std::printf("Logs:              %s\n", P::logs().c_str());
  std::printf("Resources:         %s\n",
              resources.empty() ? "(none found)" : resources.front().c_str());
}

using Command = int (*)(int, char**);

struct CommandEntry {
  const char* name;
  Command run;
  // What "porvane COMMAND --help" prints.
  const char* usage;
};

constexpr CommandEntry kCommands[] = {
    {"add", porvane::runAddCommand,
     "Usage: porvane add TEXT [--service KEY] [--name NAME] [--extra VALUE]\n"
     "                  [--date YYYY-MM-DD] [--password-stdin] [--json]\n"
     "\n"
     "Recognise the tracking number in TEXT, propose its services best first, validate and\n"
     "save. On a terminal you choose among several services; otherwise TEXT must hold a\n"
     "number the recognition knows (or --service names the service and TEXT is a plausible\n"
     "number: letters and digits, grouped by blanks or dashes, with a digit in it).\n"
     "Adding an archived delivery again restores it with its name, extra value and date;\n"
     "what you pass replaces them.\n"
     "\n"
     "  --service KEY       the service (see 'porvane services')\n"
     "  --name NAME         your name for the delivery\n"
     "  --extra VALUE       the service's extra field (postal code, account, order link);\n"
     "                      only for services that have one\n"
     "  --date YYYY-MM-DD   the service's date field; only for services that have one\n"
     "  --password-stdin    read the service's password from the first line of input\n"
     "  --json              print the saved delivery as JSON\n"
     "  --                  every word after it is TEXT, also one that starts with a dash\n"},
    {"list", porvane::runListCommand,
     "Usage: porvane list [--archived | --all] [--json]\n"
     "\n"
     "The active deliveries in the list's order: ID, day count, title and status lines.\n"
     "\n"
     "  --archived   the archive instead\n"
     "  --all        the active deliveries, then the archive\n"
     "  --json       an array of deliveries\n"},
    {"show", porvane::runShowCommand,
     "Usage: porvane show ID|NUMBER [--json]\n"
     "\n"
     "Every tracking line of one delivery, its last refresh, next update and link. ID is the\n"
     "full ID or a unique beginning of it; NUMBER is the tracking number in any case, with or\n"
     "without blanks.\n"
     "\n"
     "  --json   the delivery with its \"items\"\n"},
    {"search", porvane::runSearchCommand,
     "Usage: porvane search WORDS [--archived | --active] [--json]\n"
     "\n"
     "Deliveries whose texts hold every word (case and accents ignored), newest change first.\n"
     "\n"
     "  --archived   only the archive\n"
     "  --active     only the active deliveries\n"
     "  --json       an array of deliveries\n"},
    {"update", porvane::runUpdateCommand,
     "Usage: porvane update [--force] [--json] [--quiet]\n"
     "\n"
     "Run one update cycle of the deliveries that are due and exit when it completes;\n"
     "progress on standard error, the notifications of changed deliveries on standard output.\n"
     "\n"
     "  --force   update every active delivery\n"
     "  --json    the run's result as JSON\n"
     "  --quiet   no progress line and no summary\n"},
    {"archive", porvane::runArchiveCommand,
     "Usage: porvane archive ID|NUMBER [--json]\n"
     "\n"
     "Move a delivery to the archive. A delivery archived already is left as it is.\n"
     "\n"
     "  --json   the delivery as JSON\n"},
    {"delete", porvane::runDeleteCommand,
     "Usage: porvane delete ID|NUMBER [--json]\n"
     "\n"
     "Delete a delivery for good.\n"
     "\n"
     "  --json   {\"id\", \"deleted\": true}\n"},
    {"services", porvane::runServicesCommand,
     "Usage: porvane services [WORDS] [--json]\n"
     "       porvane services --check FILE [--answer SAVED] [--status CODE] [--number N]\n"
     "                        [--extra VALUE] [--service KEY] [--json]\n"
     "\n"
     "The carriers and shops Porvane tracks with, the fields each asks for (*: required) and\n"
     "how each is tracked: without keys, with your keys, on the carrier's page only, or not\n"
     "at all (with the reason). WORDS filter by key, name, region and keywords.\n"
     "\n"
     "  --json            an array of services (with --check: the whole run)\n"
     "  --check FILE      run the tracking module in FILE without the network and print the\n"
     "                    results it reports\n"
     "  --answer SAVED    the answer every request of the module gets (default: offline)\n"
     "  --status CODE     the HTTP status of that answer (default 200)\n"
     "  --number N        the tracking number to run with; --extra VALUE its extra field\n"
     "  --service KEY     the service to run when FILE registers several\n"},
    {"guess", porvane::runGuessCommand,
     "Usage: porvane guess [--strict] [--json] TEXT\n"
     "       porvane guess [--strict] --lines\n"
     "\n"
     "The tracking numbers in TEXT and the services they may belong to. Nothing is saved.\n"
     "\n"
     "  --strict   only a text that is a tracking number as a whole\n"
     "  --json     the guesses as JSON\n"
     "  --lines    one JSON line of guesses per line of standard input (compact)\n"},
    {"suggest", porvane::runSuggestCommand,
     "Usage: porvane suggest [--json] TEXT\n"
     "\n"
     "What the add sheet would suggest for TEXT, section by section. Nothing is saved.\n"
     "\n"
     "  --json   an array of sections {\"title\", \"items\"}\n"},
    {"export", porvane::runExportCommand,
     "Usage: porvane export ID|NUMBER FILE|FOLDER [--force] [--json]\n"
     "\n"
     "Write the delivery to a document (*.porvane) that Porvane on another machine opens. Given\n"
     "a folder, the file is named after the delivery's title. An existing file is kept.\n"
     "\n"
     "  --force   replace an existing file\n"
     "  --json    {\"id\", \"file\"}\n"},
    {"import", porvane::runImportCommand,
     "Usage: porvane import FILE [--json]\n"
     "\n"
     "Add the delivery a document describes (a *.porvane file, or a JSON array whose first\n"
     "element is such a delivery). A delivery already in the list is left as it is; an\n"
     "archived one comes back.\n"
     "\n"
     "  --json   the delivery as JSON\n"},
    {"status", porvane::runStatusCommand,
     "Usage: porvane status [--json]\n"
     "\n"
     "The number of active deliveries and the one expected next, today or later.\n"
     "\n"
     "  --json   one line for desktop panels: Waybar's \"text\", \"tooltip\", \"class\"\n"
     "           (empty, active, today) and \"alt\"; i3blocks' \"full_text\" and\n"
     "           \"short_text\"; and \"count\", \"updating\" and \"next\" (null or \"id\",\n"
     "           \"title\", \"service\", \"date\", \"days\", \"dateText\")\n"},
    {"account", porvane::runAccountCommand,
     "Usage: porvane account register EMAIL --server URL --accept-terms [--name NAME]\n"
     "                       [--password-stdin] [--json]\n"
     "       porvane account sign-in EMAIL --server URL [--password-stdin] [--json]\n"
     "       porvane account sign-out [--json]\n"
     "       porvane account status [--json]\n"
     "\n"
     "The sync account on your own sync server. The password is asked for with echo off,\n"
     "or read from the first line of standard input with --password-stdin; it is kept in\n"
     "the desktop keyring, never in a file. URL must start with https://, except for a\n"
     "server on this machine (http://127.0.0.1:PORT). Signing out deletes the stored\n"
     "password.\n"},
    {"sync", porvane::runSyncCommand,
     "Usage: porvane sync [--json]\n"
     "\n"
     "One exchange with the sync server: send the changes made here, fetch those made on\n"
     "your other machines. Progress on standard error. Exit code 1 when it failed; the\n"
     "changes stay queued for the next sync.\n"
     "\n"
     "  --json   {\"result\" (synced, failed), \"signedIn\", \"error\", \"message\",\n"
     "           \"lastSync\", \"queued\"}\n"},
    {"troubleshoot", porvane::runTroubleshootCommand,
     "Usage: porvane troubleshoot ID|NUMBER [--comments TEXT] [--send] [--json]\n"
     "\n"
     "Update one delivery again with logging and show the troubleshooting report: the\n"
     "delivery's service, number and additional info, the log, this installation's versions.\n"
     "\n"
     "  --comments TEXT   what you saw, for the people who read the report\n"
     "  --send            send the report to your sync server (exit code 1 when it could not)\n"
     "  --json            {\"report\", \"sent\" (null without --send), \"error\"}\n"},
    {"login-item", porvane::runLoginItemCommand,
     "Usage: porvane login-item on|off|status [--json]\n"
     "\n"
     "Whether Porvane Express, the companion that keeps deliveries up to date while the\n"
     "application is closed, starts when you log in (an entry in the autostart folder).\n"
     "\n"
     "  on       start it at login\n"
     "  off      do not start it at login (nothing to do when it does not)\n"
     "  status   say whether it starts at login and whether it runs now\n"
     "  --json   {\"enabled\", \"path\", \"program\", \"programInstalled\", \"running\"}\n"},
};

const CommandEntry* commandNamed(const char* name) {
  for (const auto& command : kCommands)
    if (std::strcmp(name, command.name) == 0) return &command;
  return nullptr;
}

// Whether the words ask for help; words after "--" are text, not options.
bool asksForHelp(int argc, char** argv) {
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--") == 0) return false;
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) return true;
  }
  return false;
}

// Messages of GLib and the libraries on it (libsoup, GIO) are for the log files, like the
// framework's own lines: on the user's terminal they would read as the tool's errors.
// PORVANE_LOG=1 shows them as GLib would.
GLogWriterOutput quietLogWriter(GLogLevelFlags level, const GLogField* fields, gsize count,
                                gpointer data) {
  if (qby::consoleLogEnabled() || (level & G_LOG_LEVEL_ERROR))
    return g_log_writer_default(level, fields, count, data);
  std::string domain;
  std::string message;
  for (gsize i = 0; i < count; ++i) {
    if (fields[i].length >= 0 || !fields[i].value) continue;
    const char* value = static_cast<const char*>(fields[i].value);
    if (std::strcmp(fields[i].key, "GLIB_DOMAIN") == 0) domain = value;
    if (std::strcmp(fields[i].key, "MESSAGE") == 0) message = value;
  }
  qby::logLine((domain.empty() ? "" : domain + ": ") + message);
  return G_LOG_WRITER_HANDLED;
}

// Closes standard output and answers the exit code: a failed write (a full disk, a closed
// pipe's other end gone) is a failure even when the command itself succeeded, so a script
// never takes cut output for the whole.
int closeStandardOutput(int code) {
  const bool failedBefore = std::ferror(stdout) != 0;
  const bool pending = __fpending(stdout) != 0;
  errno = 0;
  const bool closeFailed = std::fclose(stdout) != 0;
  const int error = closeFailed ? errno : 0;
  // Closing an output that was closed from the start, with nothing written, is no failure.
  if (!failedBefore && (!closeFailed || (!pending && error == EBADF))) return code;
  if (error != 0)
    std::fprintf(stderr, "porvane: write error: %s\n", std::strerror(error));
  else
    std::fprintf(stderr, "porvane: write error\n");
  return code == porvane::kExitSuccess ? porvane::kExitFailure : code;
}

// The suite's file log, for a program whose standard error is the user's terminal. When the
// user turned logging on, the framework's lines go to this program's file in the shared
// Logs folder, as every program's do; the tool's own messages and progress stay on the
// terminal, and standard output is never touched.
class ProgramLog {
 public:
  ProgramLog() {
    const int terminal = ::dup(STDERR_FILENO);
    if (terminal < 0) return;
    qby::QBYLog::startForGroup(std::string(qby::QBYAppGroupID));
    if (!sameFile(terminal, STDERR_FILENO)) {
      // The log took standard error: keep the file for the framework's lines and give the
      // terminal back.
      std::fflush(stderr);
      file_ = ::dup(STDERR_FILENO);
      ::dup2(terminal, STDERR_FILENO);
    }
    ::close(terminal);
    if (file_ >= 0) {
      const int file = file_;
      observer_.emplace([file](std::string_view line) { writeLine(file, line); });
    }
  }
  ~ProgramLog() {
    observer_.reset();
    if (file_ >= 0) ::close(file_);
  }
  ProgramLog(const ProgramLog&) = delete;
  ProgramLog& operator=(const ProgramLog&) = delete;

 private:
  static bool sameFile(int a, int b) {
    struct stat first {};
    struct stat second {};
    if (::fstat(a, &first) != 0 || ::fstat(b, &second) != 0) return true;
    return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
  }
  // One write per line, as the console log does, so lines of other programs sharing the
  // folder and of other threads never mix.
  static void writeLine(int file, std::string_view line) {
    std::string text(line);
    text.push_back('\n');
    std::string_view left = text;
    while (!left.empty()) {
      const ssize_t written = ::write(file, left.data(), left.size());
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) return;
      left.remove_prefix(static_cast<std::size_t>(written));
    }
  }

  int file_ = -1;
  std::optional<qby::LogObserver> observer_;
};

int run(int argc, char** argv) {
  const std::string version = std::string("Porvane ") + qby::PorvaneKitVersion() + " (build " +
                              std::to_string(qby::PorvaneKitBuildNumber()) + ")";
  if (argc == 1) {
    const ProgramLog log;
    std::printf("%s\n\n", version.c_str());
    return porvane::runListCommand(0, argv + 1);
  }
  if (const auto* command = commandNamed(argv[1])) {
    if (asksForHelp(argc - 2, argv + 2)) {
      std::fputs(command->usage, stdout);
      return porvane::kExitSuccess;
    }
    // Started for the commands only: --version and --help read nothing and write nothing.
    const ProgramLog log;
    return command->run(argc - 2, argv + 2);
  }
  const bool help = std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0 ||
                    std::strcmp(argv[1], "help") == 0;
  if (help && argc == 3) {
    // "porvane help add"
    if (const auto* command = commandNamed(argv[2])) {
      std::fputs(command->usage, stdout);
      return porvane::kExitSuccess;
    }
  }
  const bool versionFlag = std::strcmp(argv[1], "--version") == 0;
  const bool paths = std::strcmp(argv[1], "--paths") == 0;
  if ((versionFlag || paths || help) && argc > 2) {
    std::fprintf(stderr, "porvane: %s takes no argument (see 'porvane --help')\n", argv[1]);
    return porvane::kExitUsage;
  }
  if (versionFlag) {
    std::printf("%s\n", version.c_str());
    return porvane::kExitSuccess;
  }
  if (paths) {
    printLocations();
    return porvane::kExitSuccess;
  }
  if (help) {
    std::fputs(kUsage, stdout);
    return porvane::kExitSuccess;
  }
  std::fprintf(stderr, "porvane: unknown command: %s (see 'porvane --help')\n",
               porvane::quotedWord(argv[1]).c_str());
  return porvane::kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  // The framework's console lines (migrations, updates, scripts) are for the log files; on a
  // terminal they would drown the tool's own messages. PORVANE_LOG=1 shows them.
  const char* showLog = std::getenv("PORVANE_LOG");
  qby::setConsoleLogEnabled(showLog && std::strcmp(showLog, "0") != 0 && *showLog);
  g_log_set_writer_func(quietLogWriter, nullptr, nullptr);
  return closeStandardOutput(run(argc, argv));
}
