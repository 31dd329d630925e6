// porvane: the command-line face of the suite, for people who live in a terminal and for
// scripts. It adds, lists, shows, searches, archives and deletes deliveries and runs update
// cycles through the same deliveries manager as the main application.
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Commands.h"
#include "ExitCodes.h"
#include "FinderCommands.h"
#include "PorvaneKit.h"
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
    "tracking number works too):\n"
    "  add TEXT [--service KEY] [--name NAME] [--extra VALUE] [--date YYYY-MM-DD]\n"
    "           [--password-stdin] [--json]\n"
    "        Recognise the tracking number in TEXT, propose its services best first (on a\n"
    "        terminal you choose; otherwise the best is taken), validate and save. A\n"
    "        password is asked for only when the service takes one.\n"
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
    "  archive ID   Move a delivery to the archive.\n"
    "  delete ID    Delete a delivery for good.\n"
    "  services [WORDS] [--json]\n"
    "        The carriers and shops Porvane tracks with, and the fields each asks for (*:\n"
    "        required).\n"
    "\n"
    "Recognition:\n"
    "  guess [--strict] [--json] TEXT     the tracking numbers in TEXT and their services\n"
    "  guess [--strict] --lines           one JSON line per line of standard input\n"
    "  suggest TEXT                       what the add sheet would suggest\n"
    "\n"
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
    "Exit codes: 0 success, 1 failure (store, update, scripts), 64 usage error,\n"
    "65 invalid delivery (unknown service, missing setting, malformed date, too long),\n"
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
};

constexpr CommandEntry kCommands[] = {
    {"add", porvane::runAddCommand},       {"list", porvane::runListCommand},
    {"show", porvane::runShowCommand},     {"search", porvane::runSearchCommand},
    {"update", porvane::runUpdateCommand}, {"archive", porvane::runArchiveCommand},
    {"delete", porvane::runDeleteCommand}, {"services", porvane::runServicesCommand},
    {"guess", porvane::runGuessCommand},   {"suggest", porvane::runSuggestCommand},
};

}  // namespace

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  // The framework's console lines (migrations, updates, scripts) are for the log files; on a
  // terminal they would drown the tool's own messages. PORVANE_LOG=1 shows them.
  const char* showLog = std::getenv("PORVANE_LOG");
  qby::setConsoleLogEnabled(showLog && std::strcmp(showLog, "0") != 0 && *showLog);
  const std::string version = std::string("Porvane ") + qby::PorvaneKitVersion() + " (build " +
                              std::to_string(qby::PorvaneKitBuildNumber()) + ")";
  if (argc == 1) {
    std::printf("%s\n\n", version.c_str());
    std::fflush(stdout);
    return porvane::runListCommand(0, argv + 1);
  }
  for (const auto& command : kCommands)
    if (std::strcmp(argv[1], command.name) == 0) return command.run(argc - 2, argv + 2);
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("%s\n", version.c_str());
    return porvane::kExitSuccess;
  }
  if (argc == 2 && std::strcmp(argv[1], "--paths") == 0) {
    printLocations();
    return porvane::kExitSuccess;
  }
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0 ||
                    std::strcmp(argv[1], "help") == 0)) {
    std::fputs(kUsage, stdout);
    return porvane::kExitSuccess;
  }
  std::fprintf(stderr, "porvane: unknown command: %s (see 'porvane --help')\n", argv[1]);
  return porvane::kExitUsage;
}
