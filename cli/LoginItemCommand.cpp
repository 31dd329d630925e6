// "porvane login-item": whether the companion starts at login, for people who set up their
// session from a terminal or a script instead of the preferences.
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

#include "Arguments.h"
#include "Commands.h"
#include "ExitCodes.h"
#include "SafeText.h"
#include "manager/QBYBackgroundUpdater.h"
#include "platform/Log.h"

namespace porvane {

namespace {

constexpr const char* kCommand = "login-item";

struct LoginItemState {
  bool enabled = false;
  std::string path;
  std::string program;
  bool programInstalled = false;
  bool running = false;

  static LoginItemState now() {
    using qby::QBYBackgroundUpdater;
    std::error_code error;
    LoginItemState state;
    state.enabled = QBYBackgroundUpdater::loginItemEnabled();
    state.path = QBYBackgroundUpdater::loginItemPath().string();
    state.program = QBYBackgroundUpdater::programPath().string();
    state.programInstalled = std::filesystem::exists(QBYBackgroundUpdater::programPath(), error);
    state.running = QBYBackgroundUpdater::backgroundUpdaterOpen();
    return state;
  }

  qby::Value json() const {
    qby::Dictionary dictionary;
    dictionary.set("enabled", enabled);
    dictionary.set("path", path);
    dictionary.set("program", program);
    dictionary.set("programInstalled", programInstalled);
    dictionary.set("running", running);
    return dictionary;
  }

  void print() const {
    std::printf("Porvane Express %s at login.\n", enabled ? "starts" : "does not start");
    std::printf("Login item: %s%s\n", terminalText(path).c_str(), enabled ? "" : " (none)");
    std::printf("Program:    %s%s\n", terminalText(program).c_str(),
                programInstalled ? "" : " (not installed)");
    std::printf("Running:    %s\n", running ? "yes" : "no");
  }
};

}  // namespace

int runLoginItemCommand(int argc, char** argv) {
  std::string error;
  const auto arguments = Arguments::parse(argc, argv, {{"json"}}, &error);
  if (!arguments) return fail(kCommand, error, kExitUsage);
  const auto& words = arguments->positionals();
  if (words.size() != 1 || (words[0] != "on" && words[0] != "off" && words[0] != "status"))
    return fail(kCommand, "say on, off or status (see 'porvane login-item --help')", kExitUsage);

  if (words[0] != "status") {
    const bool enable = words[0] == "on";
    // The reason of a failure is one of the framework's log lines; the user sees it here.
    std::string reason;
    const qby::LogObserver observer([&reason](std::string_view line) {
      constexpr std::string_view kPrefix = "Error writing login item: ";
      if (line.substr(0, kPrefix.size()) == kPrefix) reason = line.substr(kPrefix.size());
    });
    if (!qby::QBYBackgroundUpdater::enableBackgroundUpdater(enable)) {
      return fail(kCommand,
                  std::string("could not ") + (enable ? "set" : "remove") + " the login item" +
                      (reason.empty() ? "" : ": " + reason),
                  kExitFailure);
    }
  }

  const LoginItemState state = LoginItemState::now();
  if (words[0] == "on" && !state.programInstalled) {
    std::fprintf(stderr, "porvane %s: note: %s is not installed yet\n", kCommand,
                 terminalText(state.program).c_str());
  }
  if (arguments->has("json")) return printJSON(kCommand, state.json());
  state.print();
  return kExitSuccess;
}

}  // namespace porvane
