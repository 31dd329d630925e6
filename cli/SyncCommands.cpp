#include "SyncCommands.h"

#include <glib.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "Arguments.h"
#include "Commands.h"
#include "DeliveryLookup.h"
#include "ExitCodes.h"
#include "SafeText.h"
#include "Session.h"
#include "engine/QBYServiceUpdate.h"
#include "manager/QBYDeliveriesManager.h"
#include "manager/QBYLog.h"
#include "model/Delivery.h"
#include "platform/MainQueue.h"
#include "platform/QBYNotificationCenter.h"
#include "platform/QBYUserDefaults.h"
#include "sync/QBYSendReportOperation.h"
#include "sync/QBYSyncManager.h"
#include "sync/QBYSyncServerAddress.h"
#include "sync/QBYTroubleshootReport.h"
#include "util/StringUtilities.h"

namespace porvane {

namespace {

// A sign-in waits this long for the server's answer (its first request may take 180 s on a
// slow link; a command gives up sooner and says so).
constexpr double kAnswerTimeoutSeconds = 90;

bool interactive() {
  return isatty(STDIN_FILENO) && isatty(STDERR_FILENO);
}

std::optional<std::string> readLine() {
  std::string line;
  if (!std::getline(std::cin, line)) return std::nullopt;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// Turns terminal echo off while it lives, so a typed password is not shown.
class EchoOff {
 public:
  EchoOff() {
    if (tcgetattr(STDIN_FILENO, &saved_) != 0) return;
    termios quiet = saved_;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    active_ = tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
  }
  ~EchoOff() {
    if (active_) tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_);
  }
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;

 private:
  termios saved_{};
  bool active_ = false;
};

std::optional<std::string> readPassword(bool fromStdin, const char* prompt) {
  if (fromStdin) return readLine();
  if (!interactive()) return std::nullopt;
  std::fprintf(stderr, "%s: ", prompt);
  std::fflush(stderr);
  EchoOff quiet;
  auto password = readLine();
  std::fprintf(stderr, "\n");
  return password;
}

std::string isoTime(const std::optional<qby::Date>& date) {
  if (!date) return {};
  std::unique_ptr<GDateTime, decltype(&g_date_time_unref)> time(
      g_date_time_new_from_unix_utc(static_cast<gint64>(date->timeIntervalSince1970())),
      g_date_time_unref);
  if (!time) return {};
  std::unique_ptr<gchar, decltype(&g_free)> text(g_date_time_format_iso8601(time.get()), g_free);
  return text ? text.get() : "";
}

qby::Value textOrNull(const std::optional<std::string>& text) {
  return text ? qby::Value(validUTF8(*text)) : qby::Value();
}

// What the sync manager reported while a command waited.
struct Outcome {
  bool success = false;
  bool failure = false;
  bool settingsError = false;
  bool complete = false;
  std::optional<std::string> failureStatus;
};

class OutcomeRecorder {
 public:
  explicit OutcomeRecorder(qby::QBYSyncManager& sync, bool progress) {
    token_ = qby::QBYNotificationCenter::defaultCenter().addObserver(
        std::nullopt, &sync, [this, &sync, progress](const qby::Notification& notification) {
          const auto status = notification.userInfo[qby::QBYSyncStatusKey].asString();
          if (notification.name == qby::QBYSyncSuccessNotification) outcome.success = true;
          if (notification.name == qby::QBYSyncSettingsErrorNotification)
            outcome.settingsError = true;
          if (notification.name == qby::QBYSyncCompleteNotification) outcome.complete = true;
          if (notification.name == qby::QBYSyncFailureNotification) {
            outcome.failure = true;
            if (status) outcome.failureStatus = status;
          }
          // A service message is printed once, by the command: a later exchange of the same
          // pass may clear it from the sync manager before the command ends.
          if (notification.name == qby::QBYSyncChangeNotification && status &&
              status == sync.quillbayMessage()) {
            lastMessage = status;
          } else if (progress && notification.name == qby::QBYSyncChangeNotification && status) {
            std::fprintf(stderr, "%s\n", terminalText(*status).c_str());
          }
        });
  }
  Outcome outcome;
  // The last message the server sent during the command.
  std::optional<std::string> lastMessage;
  // The server's message to show at the end: the one it still stands by, else the last sent.
  std::optional<std::string> message(const qby::QBYSyncManager& sync) const {
    if (const auto& current = sync.quillbayMessage(); current && !current->empty()) return current;
    return lastMessage;
  }

 private:
  qby::ObserverToken token_;
};

// The reason to show for a refused or failed exchange.
std::string failureText(qby::QBYSyncManager& sync, const Outcome& outcome) {
  if (const auto& message = sync.quillbayMessage(); message && !message->empty()) return *message;
  if (outcome.failureStatus) return *outcome.failureStatus;
  return "the server refused the request";
}

int signIn(const char* command, const Arguments& arguments, bool registering) {
  const bool json = arguments.has("json");
  if (arguments.positionals().size() != 2)
    return fail(command, "give one e-mail address", kExitUsage);
  const std::string email = qby::trimmedString(validUTF8(arguments.positionals()[1]));
  if (email.empty() || email.find('@') == std::string::npos)
    return fail(command, "“" + email + "” is not an e-mail address", kExitUsage);
  const auto server = arguments.value("server");
  if (!server)
    return fail(command, "missing --server URL (the address of your sync server)", kExitUsage);
  std::string problem;
  const auto address = qby::QBYSyncServerAddress::acceptableAddress(*server, &problem);
  if (!address) return fail(command, problem, kExitUsage);
  if (registering && !arguments.has("accept-terms"))
    return fail(command, "registering needs --accept-terms (the server's terms of use)",
                kExitUsage);
  if (!arguments.has("password-stdin") && !interactive())
    return fail(command, "no terminal to ask for the password; use --password-stdin", kExitUsage);
  auto password = readPassword(arguments.has("password-stdin"), "Password");
  if (!password || password->empty()) return fail(command, "no password given", kExitUsage);
  std::optional<std::string> confirm = password;
  if (registering && !arguments.has("password-stdin"))
    confirm = readPassword(false, "Password again");

  std::string error;
  auto session = Session::open(&error);
  if (!session) return fail(command, error, kExitFailure);
  if (!qby::QBYSyncServerAddress::setAddress(qby::QBYUserDefaults::sharedDefaults(), *address))
    return fail(command, "the server address could not be saved", kExitFailure);
  auto& manager = session->startManager();
  auto& sync = *manager.syncManager();
  qby::MainQueue::runUntil([&] { return sync.started(); }, 10);

  qby::Dictionary form{{"email", qby::Value(email)}, {"password", qby::Value(*password)}};
  if (registering) {
    form.set("new", qby::Value(true));
    form.set("confirm", qby::Value(confirm.value_or("")));
    form.set("name", qby::Value(validUTF8(arguments.value("name").value_or(""))));
    form.set("terms", qby::Value(std::string("true")));
  }
  OutcomeRecorder recorder(sync, !json);
  qby::QBYError refused;
  refused.code = 0;
  if (sync.validateQuillbaySettings(form, &refused))
    return fail(command, "nothing to sign in with", kExitUsage);
  if (!refused.localizedDescription.empty())
    return fail(command, refused.localizedDescription, kExitUsage);
  const bool answered = qby::MainQueue::runUntil(
      [&] {
        const auto& o = recorder.outcome;
        return o.success || o.settingsError || (o.failure && sync.step() >= 5);
      },
      kAnswerTimeoutSeconds);
  const Outcome outcome = recorder.outcome;
  if (!answered) return fail(command, "the server did not answer in time", kExitFailure);
  if (!outcome.success) {
    const std::string reason = failureText(sync, outcome);
    // A refused sign-in leaves nothing behind: no half-stored account.
    sync.discardQuillbaySettings();
    return fail(command, reason, kExitFailure);
  }
  // Let the first changes go out before the session closes (it waits for queued exchanges).
  qby::MainQueue::runUntil([&] { return sync.serviceEngine().operationCount() == 0; }, 60);
  if (json) {
    qby::Dictionary result{{"result", qby::Value(std::string("signed-in"))},
                           {"email", qby::Value(email)},
                           {"server", qby::Value(*address)},
                           {"message", textOrNull(recorder.message(sync))}};
    return printJSON(command, qby::Value(std::move(result)));
  }
  std::printf("%s %s on %s.\n", registering ? "Registered and signed in as" : "Signed in as",
              terminalText(email).c_str(), terminalText(*address).c_str());
  return kExitSuccess;
}

int signOut(const char* command, const Arguments& arguments) {
  std::string error;
  auto session = Session::open(&error);
  if (!session) return fail(command, error, kExitFailure);
  auto& sync = *session->startManager().syncManager();
  qby::MainQueue::runUntil([&] { return sync.started(); }, 10);
  const auto email = sync.quillbayEmail();
  if (!email && !sync.quillbayEnabled()) {
    if (arguments.has("json"))
      return printJSON(
          command,
          qby::Value(qby::Dictionary{{"result", qby::Value(std::string("not-signed-in"))}}));
    std::printf("Not signed in.\n");
    return kExitSuccess;
  }
  // The command line keeps no password behind for an account it signed out of.
  sync.disableQuillbayAndDeletePassword(true);
  const bool done = qby::MainQueue::runUntil(
      [&] { return !sync.quillbayEnabled() && !sync.quillbayEmail(); }, kAnswerTimeoutSeconds);
  if (!done) return fail(command, "signing out did not finish in time", kExitFailure);
  if (arguments.has("json"))
    return printJSON(command,
                     qby::Value(qby::Dictionary{{"result", qby::Value(std::string("signed-out"))},
                                                {"email", textOrNull(email)}}));
  std::printf("Signed out%s.\n", email ? (" of " + terminalText(*email)).c_str() : "");
  return kExitSuccess;
}

int accountStatus(const char* command, const Arguments& arguments) {
  std::string error;
  auto session = Session::open(&error);
  if (!session) return fail(command, error, kExitFailure);
  auto& defaults = qby::QBYUserDefaults::sharedDefaults();
  qby::QBYSyncManager sync;
  sync.setDataStore(&session->store());
  const auto server = qby::QBYSyncServerAddress::address(defaults);
  const auto email = sync.quillbayEmail();
  const bool on = sync.quillbayEnabled();
  const auto success = sync.quillbaySuccessDate();
  const std::size_t queued = sync.fetchQueueItems().size();
  if (arguments.has("json")) {
    qby::Dictionary result{{"signedIn", qby::Value(on)},
                           {"email", textOrNull(email)},
                           {"server", textOrNull(server)},
                           {"lastSync", success ? qby::Value(isoTime(success)) : qby::Value()},
                           {"queued", qby::Value(static_cast<std::int64_t>(queued))}};
    return printJSON(command, qby::Value(std::move(result)));
  }
  if (!on) {
    std::printf("Not signed in%s.\n",
                server ? (" (server " + terminalText(*server) + ")").c_str() : "");
  } else {
    std::printf("Signed in as %s on %s.\n", terminalText(email.value_or("")).c_str(),
                terminalText(server.value_or("(no server)")).c_str());
    std::printf("Last sync: %s\n", success ? isoTime(success).c_str() : "never");
  }
  std::printf("Changes waiting to be sent: %zu\n", queued);
  return kExitSuccess;
}

// Keeps the report the deliveries manager hands over when the troubleshooting update ends.
class ReportCatcher : public qby::QBYDeliveriesTroubleshootingDelegate {
 public:
  void completedTroubleshootingWithReport(const qby::Dictionary& report) override {
    logs = report["logs"].asString();
    done = true;
  }
  bool done = false;
  std::optional<std::string> logs;
};

// A report value as one line: its first line that has text.
std::string firstLine(const std::string& text) {
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    const std::string line = qby::trimmedString(text.substr(start, end - start));
    if (!line.empty()) return line;
    start = end + 1;
  }
  return {};
}

}  // namespace

int runTroubleshootCommand(int argc, char** argv) {
  const char* command = "troubleshoot";
  std::string error;
  const auto arguments =
      Arguments::parse(argc, argv, {{"send", false}, {"comments", true}, {"json", false}}, &error);
  if (!arguments) return fail(command, error, kExitUsage);
  if (arguments->positionals().size() != 1)
    return fail(command, "give one delivery ID or tracking number", kExitUsage);
  const bool json = arguments->has("json");
  std::optional<std::string> reportURL;
  if (arguments->has("send")) {
    reportURL = qby::QBYSyncServerAddress::urlForPath(qby::QBYUserDefaults::sharedDefaults(),
                                                      qby::QBYSyncReportPath);
    if (!reportURL)
      return fail(command,
                  "no server to send the report to; sign in with “porvane account sign-in EMAIL "
                  "--server URL” first",
                  kExitUsage);
  }

  auto session = Session::open(&error);
  if (!session) return fail(command, error, kExitFailure);
  const std::string word = arguments->positionals()[0];
  auto found = findDelivery(session->store(), word);
  if (found.kind == LookupResult::NotFound)
    return fail(command, "no delivery " + quotedWord(word), kExitNotFound);
  if (found.kind == LookupResult::Ambiguous)
    return fail(command, ambiguityMessage(word, found), kExitUsage);
  const auto uuid = found.delivery->uuid();
  if (!uuid) return fail(command, "the delivery has no ID", kExitFailure);

  // Update the one delivery again with logging, and take what it collected.
  auto& manager = session->startManager();
  auto catcher = std::make_shared<ReportCatcher>();
  if (!json) std::fprintf(stderr, "Updating %s with logging…\n", terminalText(word).c_str());
  manager.troubleshootDeliveryWithUUID(*uuid, catcher);
  if (!qby::MainQueue::runUntil([&] { return catcher->done; }, 300))
    return fail(command, "the update did not finish in time", kExitFailure);

  auto again = findDelivery(session->store(), *uuid);
  const auto& delivery = again.delivery ? again.delivery : found.delivery;
  qby::QBYTroubleshootReport::Environment environment{
      qby::QBYLog::vendorIdentifier(), qby::QBYLog::platformIdentifier(),
      qby::QBYLog::systemVersion(), qby::QBYLog::appVersion(),
      qby::QBYServiceUpdate::versionString()};
  auto report = qby::QBYTroubleshootReport::reportForDelivery(
      *delivery, catcher->logs ? std::optional(validUTF8(*catcher->logs)) : std::nullopt,
      environment);
  if (const auto comments = arguments->value("comments"))
    report.setValueForKey("comments", validUTF8(*comments));

  std::optional<bool> sent;
  std::string sendError;
  if (reportURL) {
    qby::QBYSendReportOperation operation(
        *reportURL, report.dictionary(),
        [&](bool success, const std::optional<qby::QBYError>& failure) {
          sent = success;
          if (!success)
            sendError = failure && !failure->localizedDescription.empty()
                            ? failure->localizedDescription
                            : "Please try again later.";
        });
    operation.start();
    if (!qby::MainQueue::runUntil([&] { return sent.has_value(); }, 90)) {
      operation.cancel();
      sent = false;
      sendError = "Please try again later.";
    }
  }

  if (json) {
    qby::Dictionary result{{"report", qby::Value(report.dictionary())},
                           {"sent", sent ? qby::Value(*sent) : qby::Value()},
                           {"error", sendError.empty() ? qby::Value() : qby::Value(sendError)}};
    const int printed = printJSON(command, qby::Value(std::move(result)));
    return sent == false ? kExitFailure : printed;
  }
  if (report.success() && !reportURL)
    std::printf("%s\n\n",
                "The delivery updated without error. The problem was most likely a temporary "
                "issue with the shipping service, or something we fixed in the latest service "
                "update.");
  for (const auto& key : report.keys()) {
    std::printf("%s: %s\n",
                terminalText(qby::QBYTroubleshootReport::displayNameForKey(key)).c_str(),
                terminalText(firstLine(report.valueForKey(key).value_or(""))).c_str());
  }
  if (!reportURL) return kExitSuccess;
  if (!*sent) return fail(command, "Unable to send report: " + sendError, kExitFailure);
  std::printf(
      "\nThank you for your report. We'll look into the problem and do our best to get "
      "it fixed.\n");
  return kExitSuccess;
}

int runAccountCommand(int argc, char** argv) {
  const char* command = "account";
  std::string error;
  const auto arguments = Arguments::parse(argc, argv,
                                          {{"server", true},
                                           {"name", true},
                                           {"password-stdin", false},
                                           {"accept-terms", false},
                                           {"json", false}},
                                          &error);
  if (!arguments) return fail(command, error, kExitUsage);
  if (arguments->positionals().empty())
    return fail(command, "say register, sign-in, sign-out or status", kExitUsage);
  const std::string& action = arguments->positionals()[0];
  if (action == "register") return signIn(command, *arguments, true);
  if (action == "sign-in") return signIn(command, *arguments, false);
  if (arguments->positionals().size() != 1)
    return fail(command, action + " takes no further words", kExitUsage);
  if (action == "sign-out") return signOut(command, *arguments);
  if (action == "status") return accountStatus(command, *arguments);
  return fail(command, "unknown action " + quotedWord(action), kExitUsage);
}

int runSyncCommand(int argc, char** argv) {
  const char* command = "sync";
  std::string error;
  const auto arguments = Arguments::parse(argc, argv, {{"json", false}}, &error);
  if (!arguments) return fail(command, error, kExitUsage);
  if (!arguments->positionals().empty()) return fail(command, "takes no words", kExitUsage);
  const bool json = arguments->has("json");

  auto session = Session::open(&error);
  if (!session) return fail(command, error, kExitFailure);
  auto& manager = session->startManager();
  auto& sync = *manager.syncManager();
  if (!sync.quillbayEnabled())
    return fail(command, "not signed in; run “porvane account sign-in EMAIL --server URL”",
                kExitFailure);
  OutcomeRecorder recorder(sync, !json);
  qby::MainQueue::runUntil([&] { return sync.started() && sync.step() >= 5; }, 30);
  // A pass that start-up began ends first; then one exchange that is not held back by the
  // time since the last one.
  qby::MainQueue::runUntil([&] { return sync.serviceEngine().operationCount() == 0; }, 60);
  recorder.outcome = Outcome();
  sync.setForceUpdate(true);
  sync.sync();
  const bool finished = qby::MainQueue::runUntil(
      [&] { return recorder.outcome.complete && sync.serviceEngine().operationCount() == 0; },
      kAnswerTimeoutSeconds + 90);
  const Outcome outcome = recorder.outcome;
  const bool failed = !finished || outcome.failure || outcome.settingsError;
  const std::size_t queued = sync.fetchQueueItems().size();
  std::string reason;
  if (failed) reason = finished ? failureText(sync, outcome) : "the server did not answer in time";
  if (json) {
    qby::Dictionary result{
        {"result", qby::Value(std::string(failed ? "failed" : "synced"))},
        {"signedIn", qby::Value(sync.quillbayEnabled())},
        {"error", failed ? qby::Value(validUTF8(reason)) : qby::Value()},
        {"message", textOrNull(recorder.message(sync))},
        {"lastSync", sync.quillbaySuccessDate() ? qby::Value(isoTime(sync.quillbaySuccessDate()))
                                                : qby::Value()},
        {"queued", qby::Value(static_cast<std::int64_t>(queued))}};
    const int printed = printJSON(command, qby::Value(std::move(result)));
    return failed ? kExitFailure : printed;
  }
  if (failed) return fail(command, reason, kExitFailure);
  if (const auto message = recorder.message(sync); message && !message->empty())
    std::fprintf(stderr, "%s\n", terminalText(*message).c_str());
  std::fprintf(stderr, "Synced; %zu change%s still waiting.\n", queued, queued == 1 ? "" : "s");
  return kExitSuccess;
}

}  // namespace porvane
