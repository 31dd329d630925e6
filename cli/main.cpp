// porvane: the command-line face of the suite. Until the deliveries manager arrives it tells
// which version is installed and where its data lives.
#include <clocale>
#include <cstdio>
#include <cstring>
#include <string>

#include "FinderCommands.h"
#include "PorvaneKit.h"
#include "platform/Paths.h"
#include "platform/Resources.h"

namespace {

void printUsage(FILE* out) {
  std::fprintf(out,
               "Usage: porvane [--version | --paths | --help]\n"
               "       porvane guess [--strict] [--json] TEXT\n"
               "       porvane guess [--strict] --lines   (one JSON line per input line)\n"
               "       porvane suggest TEXT\n"
               "  --version  print the version and build number\n"
               "  --paths    print where Porvane keeps its data\n");
}

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

}  // namespace

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  const std::string version = std::string("Porvane ") + qby::PorvaneKitVersion() + " (build " +
                              std::to_string(qby::PorvaneKitBuildNumber()) + ")";
  if (argc == 1) {
    std::printf("%s\n\n", version.c_str());
    printLocations();
    return 0;
  }
  if (std::strcmp(argv[1], "guess") == 0) return porvane::runGuessCommand(argc - 2, argv + 2);
  if (std::strcmp(argv[1], "suggest") == 0) return porvane::runSuggestCommand(argc - 2, argv + 2);
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("%s\n", version.c_str());
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--paths") == 0) {
    printLocations();
    return 0;
  }
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    printUsage(stdout);
    return 0;
  }
  std::fprintf(stderr, "porvane: unknown argument: %s\n", argv[1]);
  printUsage(stderr);
  return 64;
}
