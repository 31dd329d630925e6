// add, update, archive and delete: the commands that go through the deliveries manager, so
// that a delivery changed here is validated, saved, synced and scheduled exactly as one
// changed in the main application.
#include <fcntl.h>
#include <glib-unix.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "AddInput.h"
#include "Arguments.h"
#include "Commands.h"
#include "DeliveryLookup.h"
#include "DeliveryOutput.h"
#include "ExitCodes.h"
#include "ProgressLine.h"
#include "SafeText.h"
#include "Session.h"
#include "finder/QBYDeliveriesFinder.h"
#include "finder/QBYGuess.h"
#include "finder/QBYWebData.h"
#include "manager/QBYDeliveriesManager.h"
#include "manager/QBYNotification.h"
#include "model/Delivery.h"
#include "model/QBYDeliverySettings.h"
#include "model/Service.h"
#include "model/Setting.h"
#include "platform/MainQueue.h"
#include "platform/Paths.h"
#include "platform/QBYNotificationCenter.h"
#include "presentation/QBYDateFormatter.h"
#include "store/QBYDataStore.h"
#include "util/StringUtilities.h"

namespace porvane {

namespace {

// An update run that has not ended after this long is cancelled; every request of the
// updater has its own, much shorter, time limit, so this only guards against a stuck run.
constexpr double kUpdateTimeoutSeconds = 30 * 60;
// After cancelling, how long to wait for the run to report its end.
constexpr double kCancelTimeoutSeconds = 30;

bool interactive() {
  return isatty(STDIN_FILENO) && isatty(STDERR_FILENO);
}

// Reads one line from standard input; nothing at the end of input.
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

// Keeps update runs of the tool one at a time on a store. Two processes that update the same
// new delivery at once would each write its tracking lines; the second run waits and then
// finds what the first saved. The lock goes with the process, also when it is killed.
class UpdateLock {
 public:
  UpdateLock() {
    const auto folder = qby::Paths::sharedContainer();
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    fd_ = ::open((folder / "porvane-update.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  }
  ~UpdateLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  UpdateLock(const UpdateLock&) = delete;
  UpdateLock& operator=(const UpdateLock&) = delete;

  // True when the lock was free; false when another run holds it.
  bool tryLock() { return fd_ < 0 || ::flock(fd_, LOCK_EX | LOCK_NB) == 0; }
  // Waits for the other run; false only when the lock file could not be used at all.
  bool lock() {
    if (fd_ < 0) return false;
    while (::flock(fd_, LOCK_EX) != 0)
      if (errno != EINTR) return false;
    return true;
  }

 private:
  int fd_ = -1;
};

std::string serviceLabel(const std::shared_ptr<qby::Service>& service) {
  const auto name = service->localizedName();
  const std::string key = service->from().value_or("");
  return name && !name->empty() && *name != key ? *name + " (" + key + ")" : key;
}

// "UPS (www.ups.com), FedEx (www.fedex.com)": the first few, with "…" when there are more.
std::string labels(const std::vector<std::shared_ptr<qby::Service>>& services, std::size_t most) {
  std::string text;
  for (std::size_t i = 0; i < services.size() && i < most; ++i)
    text += (text.empty() ? "" : ", ") + serviceLabel(services[i]);
  if (services.size() > most) text += ", …";
  return text;
}

// "Tracking No.*, Postal code": the fields the service asks for, * for the required ones.
std::string fieldsText(const qby::Service& service) {
  std::string fields;
  for (const auto& setting : service.settings()) {
    const std::string type = setting->type().value_or("");
    fields += (fields.empty() ? "" : ", ") + service.localizedNameForSettingOfType(type) +
              (setting->required() ? "*" : "");
  }
  return fields.empty() ? "none" : fields;
}

// The services the recognised guess proposes, best first, each once, only those the catalogue
// knows.
std::vector<std::shared_ptr<qby::Service>> proposedServices(qby::QBYDeliveriesManager& manager,
                                                            const qby::Guess& guess) {
  std::vector<std::shared_ptr<qby::Service>> services;
  std::set<std::string> seen;
  auto keys = qby::bestGuesses(guess);
  const auto more = qby::moreGuesses(guess);
  keys.insert(keys.end(), more.begin(), more.end());
  for (const auto& key : keys) {
    if (!seen.insert(key).second) continue;
    if (auto service = manager.serviceForDomain(key)) services.push_back(std::move(service));
  }
  return services;
}

// Asks which of the proposals to use; nothing when the user gives up (end of input).
std::shared_ptr<qby::Service> chooseService(
    const std::vector<std::shared_ptr<qby::Service>>& services) {
  std::fprintf(stderr, "Which service tracks it?\n");
  for (std::size_t i = 0; i < services.size(); ++i)
    std::fprintf(stderr, "  %zu. %s\n", i + 1, serviceLabel(services[i]).c_str());
  for (;;) {
    std::fprintf(stderr, "Service [1]: ");
    std::fflush(stderr);
    const auto answer = readLine();
    if (!answer) return nullptr;
    const std::string word = qby::trimmedString(*answer);
    if (word.empty()) return services.front();
    for (const auto& service : services)
      if (service->from() == word) return service;
    char* end = nullptr;
    const unsigned long index = std::strtoul(word.c_str(), &end, 10);
    if (end && *end == '\0' && index >= 1 && index <= services.size()) return services[index - 1];
    std::fprintf(stderr, "Give a number from 1 to %zu or a service key.\n", services.size());
  }
}

qby::Value notificationJSON(const qby::QBYNotification& notification) {
  return qby::Value(qby::Dictionary{
      {"identifier", qby::Value(notification.identifier)},
      {"uuid", qby::Value(notification.uuid)},
      {"title", qby::Value(notification.title)},
      {"message", qby::Value(notification.message)},
      {"category", qby::Value(notification.category)},
      {"action", qby::Value(notification.action)},
  });
}

// The manager's delegates for one command: collects what the run reports.
class CommandObserver : public qby::QBYDeliveriesManagerDelegate,
                        public qby::QBYDeliveriesNotificationDelegate {
 public:
  // --- QBYDeliveriesManagerDelegate ---
  void shouldReloadDeliveries() override {}
  void beganUpdatingDeliveries() override { began = true; }
  void completedUpdateWithResult(unsigned result) override {
    ++completions;
    // The worst outcome of the runs wins: a failure, then new data, then no changes.
    if (result == qby::QBYUpdateResultFailed || worst == qby::QBYUpdateResultFailed)
      worst = qby::QBYUpdateResultFailed;
    else if (result == qby::QBYUpdateResultNewData)
      worst = qby::QBYUpdateResultNewData;
  }
  void completedUpdateWithCounts(const qby::QBYUpdateCounts& run) override {
    counts.updated += run.updated;
    counts.unchanged += run.unchanged;
    counts.failed += run.failed;
    counts.unsupported += run.unsupported;
  }
  void updatedDelivery(const std::shared_ptr<qby::Delivery>& delivery) override {
    if (delivery && !delivery->updating() && delivery->uuid()) updated.insert(*delivery->uuid());
    if (onProgress) onProgress();
  }
  void addedDelivery(const std::shared_ptr<qby::Delivery>&, std::size_t) override {}
  void removedDelivery(const std::shared_ptr<qby::Delivery>&, std::size_t, bool) override {}

  // --- QBYDeliveriesNotificationDelegate ---
  // The tool runs outside any window, the situation notifications are made for: the manager
  // hands them over and the tool prints them.
  long applicationState() override { return 2; }
  void presentDeliveryNotification(const qby::QBYNotification& notification) override {
    notifications.push_back(notification);
  }
  void updateConfigurationFailed() override { configurationFailed = true; }
  void deliveriesManagerException(const std::string& message) override { exception = message; }

  bool began = false;
  int completions = 0;
  unsigned worst = qby::QBYUpdateResultNoChanges;
  qby::QBYUpdateCounts counts;
  std::set<std::string> updated;
  std::vector<qby::QBYNotification> notifications;
  bool configurationFailed = false;
  std::optional<std::string> exception;
  std::function<void()> onProgress;
};

std::string resultText(unsigned result) {
  switch (result) {
    case qby::QBYUpdateResultNewData:
      return "new data";
    case qby::QBYUpdateResultFailed:
      return "failed";
    default:
      return "no changes";
  }
}

std::string plural(std::size_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

// "2 updated, 1 unchanged, 1 failed, 1 not supported": the counts that are not zero.
std::string countsText(const qby::QBYUpdateCounts& counts) {
  std::vector<std::string> parts;
  if (counts.updated) parts.push_back(std::to_string(counts.updated) + " updated");
  if (counts.unchanged) parts.push_back(std::to_string(counts.unchanged) + " unchanged");
  if (counts.failed) parts.push_back(std::to_string(counts.failed) + " failed");
  if (counts.unsupported) parts.push_back(std::to_string(counts.unsupported) + " not supported");
  if (parts.empty()) return "no deliveries were due";
  std::string text;
  for (const auto& part : parts) text += (text.empty() ? "" : ", ") + part;
  return text;
}

int printSavedDelivery(qby::Delivery& delivery, bool asJSON, const char* verb) {
  auto& formatter = qby::QBYDateFormatter::sharedFormatter();
  if (asJSON)
    return printJSON("add", jsonForDelivery(delivery, formatter, true, Session::updateRunning()));
  const auto service = delivery.serviceName();
  std::printf("%s %s  %s%s\n", verb, shortID(delivery.uuid()).c_str(),
              terminalText(rowForDelivery(delivery, formatter).title).c_str(),
              service && !service->empty() ? (" · " + terminalText(*service)).c_str() : "");
  return kExitSuccess;
}

}  // namespace

int runAddCommand(int argc, char** argv) {
  std::string error;
  const auto arguments = Arguments::parse(argc, argv,
                                          {{"service", true},
                                           {"name", true},
                                           {"extra", true},
                                           {"date", true},
                                           {"password-stdin", false},
                                           {"json", false}},
                                          &error);
  if (!arguments) return fail("add", error, kExitUsage);
  const std::string text = qby::trimmedString(arguments->joinedPositionals());
  if (text.empty()) return fail("add", "missing TEXT (the tracking number)", kExitUsage);

  // Everything that can be checked without the store is checked first: bad input must leave
  // the store as it was.
  if (auto problem = textError(text)) return fail("add", *problem, kExitValidation);
  const auto name = arguments->value("name");
  if (name)
    if (auto problem = lengthError("Name", *name, kMaxNameLength))
      return fail("add", *problem, kExitValidation);
  const auto extraOption = arguments->value("extra");
  if (extraOption)
    if (auto problem = lengthError("Extra", *extraOption, kMaxExtraLength))
      return fail("add", *problem, kExitValidation);
  const auto date = arguments->value("date");
  if (date && !isCalendarDay(*date))
    return fail("add", "malformed date " + quotedWord(*date) + ": use YYYY-MM-DD", kExitValidation);

  auto session = Session::open(&error);
  if (!session) return fail("add", error, kExitFailure);
  auto observer = std::make_shared<CommandObserver>();
  auto& manager = session->startManager(observer, observer);

  // Recognition: the number as the finder reads it and the services it proposes.
  qby::Guess guess;
  for (const auto& candidate :
       manager.deliveriesFinder().guessesFromWebData(qby::QBYWebData::webDataWithString(text))) {
    if (qby::hasGuesses(candidate)) {
      guess = candidate;
      break;
    }
  }
  const auto guessedNumber = qby::guessString(guess, qby::QBYGuessNumberKey);
  const auto guessedExtra = qby::guessString(guess, qby::QBYGuessExtraKey);
  const auto best = qby::bestGuesses(guess);
  // The finder recognised what it read: a number that a service's pattern knows, or a page
  // address. Its other proposals are only what any text might be (it squeezes a sentence
  // into a "number" for them).
  const bool recognised = !best.empty() || (!guessedNumber && guessedExtra);

  std::shared_ptr<qby::Service> service;
  if (const auto key = arguments->value("service")) {
    const auto current = qby::QBYDeliverySettings::currentServiceKey(*key);
    service = manager.serviceForDomain(current);
    if (!service) {
      // The manager's own validation names what is missing; the key tells the user why.
      qby::QBYDeliverySettings unknown;
      unknown.from = key;
      qby::QBYError validation;
      manager.validateSettings(unknown, false, &validation);
      return fail("add",
                  validation.localizedDescription + " Unknown service " + quotedWord(*key) +
                      " (see 'porvane services').",
                  kExitValidation);
    }
  } else {
    const auto proposals = proposedServices(manager, guess);
    if (proposals.empty() || (!recognised && !interactive()))
      return fail(
          "add",
          "no tracking number recognised in " + quotedWord(text) +
              (proposals.empty() ? std::string() : "; it could be for " + labels(proposals, 4)) +
              ": name the service with --service KEY (see 'porvane services')",
          kExitValidation);
    if (proposals.size() > 1 && interactive()) {
      service = chooseService(proposals);
      if (!service) return fail("add", "no service chosen", kExitUsage);
    } else {
      service = proposals.front();
      if (proposals.size() > 1) {
        const std::vector<std::shared_ptr<qby::Service>> others(proposals.begin() + 1,
                                                                proposals.end());
        std::fprintf(stderr,
                     "porvane add: tracking with %s; also possible: %s (choose with --service)\n",
                     serviceLabel(service).c_str(), labels(others, 3).c_str());
      }
    }
  }

  // Only the fields the service has: a value for another would be dropped without a word.
  for (const auto& [option, type] : {std::pair{"extra", "extra"}, std::pair{"date", "date"}})
    if (arguments->value(option) && !service->hasSettingOfType(type))
      return fail("add",
                  serviceLabel(service) + " has no " + type + " field, so --" + option +
                      " does not apply; its fields: " + fieldsText(*service),
                  kExitUsage);

  qby::QBYDeliverySettings settings;
  settings.from = service->from();
  const bool takesNumber = service->hasSettingOfType("no");
  const bool numberFits = guessedNumber && settings.from &&
                          std::find(best.begin(), best.end(), *settings.from) != best.end();
  // A page address the finder read for this service (a web page, a shop's order link): it
  // is the delivery's extra field, and the delivery has no number.
  const bool pageFits =
      !guessedNumber && guessedExtra && settings.from && qby::includesDomain(guess, *settings.from);
  if ((pageFits || !takesNumber) && extraOption)
    return fail("add",
                serviceLabel(service) + " is tracked by its " +
                    service->localizedNameForSettingOfType("extra") +
                    ": give it as TEXT, not with --extra",
                kExitUsage);
  if (pageFits) {
    settings.extra = guessedExtra;
  } else if (takesNumber) {
    // The finder's reading of the number (without blanks, in the carrier's form) when it
    // recognised it for this service; else the text as given, when it can be a number at all.
    if (numberFits) {
      settings.no = *guessedNumber;
    } else if (isPlausibleNumber(text)) {
      settings.no = guessedNumber && qby::includesDomain(guess, *settings.from) &&
                            numberKey(*guessedNumber) == numberKey(text)
                        ? *guessedNumber
                        : text;
    } else {
      return fail("add",
                  quotedWord(text) + " is not a tracking number for " + serviceLabel(service) +
                      ": a number is letters and digits, perhaps in groups split by blanks or "
                      "dashes",
                  kExitValidation);
    }
    if (auto problem = lengthError("Tracking No.", *settings.no, kMaxNumberLength))
      return fail("add", *problem, kExitValidation);
  } else {
    settings.extra = text;
  }
  settings.name = name ? name : qby::guessString(guess, qby::QBYGuessNameKey);
  if (extraOption) {
    settings.extra = extraOption;
  } else if (!settings.extra) {
    if (numberFits && guessedExtra)
      settings.extra = guessedExtra;
    else if (service->hasSettingOfType("extra"))
      // The value used last time with this service, as the add sheet preselects it.
      settings.extra = service->defaultExtra();
  }
  settings.date = date;

  // Ask for a password only where the service takes one.
  if (service->hasSettingOfType("password")) {
    std::optional<std::string> password;
    if (arguments->has("password-stdin")) {
      password = readLine();
    } else if (interactive()) {
      std::fprintf(stderr,
                   "%s for %s: ", service->localizedNameForSettingOfType("password").c_str(),
                   serviceLabel(service).c_str());
      std::fflush(stderr);
      EchoOff quiet;
      password = readLine();
      std::fprintf(stderr, "\n");
    }
    if (password && !password->empty()) {
      settings.password = password;
      settings.changedPassword = true;
    }
  } else if (arguments->has("password-stdin")) {
    return fail("add", serviceLabel(service) + " takes no password", kExitUsage);
  }

  // The delivery this is already, in the number's form as the user typed it or as saved.
  std::shared_ptr<qby::Delivery> existing;
  if (settings.no) {
    existing = manager.deliveryWithSettings(settings, false);
    if (!existing)
      for (const auto& match : deliveriesWithNumber(session->store(), *settings.no))
        if (match->from() == settings.from) {
          existing = match;
          break;
        }
  } else {
    // A web page is the same delivery only at the same address.
    qby::QBYDeliverySettings page;
    page.from = settings.from;
    page.extra = settings.extra;
    existing = manager.deliveryWithSettings(page, true);
  }
  const char* verb = "Added";
  if (existing && !existing->archived()) {
    std::fprintf(
        stderr, "porvane add: already tracking %s as %s\n",
        terminalText(rowForDelivery(*existing, qby::QBYDateFormatter::sharedFormatter()).title)
            .c_str(),
        shortID(existing->uuid()).c_str());
    return printSavedDelivery(*existing, arguments->has("json"), "Tracking");
  }
  if (existing) {
    // Adding an archived delivery again brings it back to the top of the list as it was:
    // only what the user gives now replaces its name, extra value and date.
    auto restored = qby::QBYDeliverySettings::settingsWithDictionary(existing->attributes());
    restored.uuid = existing->uuid();
    restored.archived = false;
    restored.modified = 0;
    if (name) restored.name = name;
    if (extraOption) restored.extra = extraOption;
    if (date) restored.date = date;
    restored.password = settings.password;
    restored.changedPassword = settings.changedPassword;
    settings = std::move(restored);
    verb = "Restored";
  }

  qby::QBYError validation;
  if (!manager.validateSettings(settings, true, &validation))
    return fail("add", validation.localizedDescription, kExitValidation);

  qby::QBYError passwordError;
  auto delivery = manager.saveDeliveryWithSettings(settings, &passwordError);
  if (!delivery) return fail("add", "the delivery could not be saved", kExitFailure);
  if (!session->store().saveData())
    return fail("add", storeErrorText(session->store().error(), "saved"), kExitFailure);
  const int printed = printSavedDelivery(*delivery, arguments->has("json"), verb);
  if (settings.password && !delivery->password())
    return fail(
        "add",
        "the delivery was saved, but its password could not be stored: " +
            (passwordError.localizedDescription.empty() ? std::string("the keyring refused it")
                                                        : passwordError.localizedDescription),
        kExitFailure);
  return printed;
}

int runUpdateCommand(int argc, char** argv) {
  std::string error;
  const auto arguments =
      Arguments::parse(argc, argv, {{"force", false}, {"json", false}, {"quiet", false}}, &error);
  if (!arguments) return fail("update", error, kExitUsage);
  if (!arguments->positionals().empty())
    return fail("update", "unexpected argument: " + arguments->positionals().front(), kExitUsage);
  ProgressLine progress(stderr, isatty(STDERR_FILENO));
  const bool quiet = arguments->has("quiet");
  UpdateLock updateLock;
  if (!updateLock.tryLock()) {
    if (!quiet) progress.show("Waiting for another update to finish…");
    updateLock.lock();
  }
  // Opened after the lock, so the store is read with everything the other run saved.
  auto session = Session::open(&error);
  if (!session) return fail("update", error, kExitFailure);

  auto observer = std::make_shared<CommandObserver>();
  auto& manager = session->startManager(observer, observer);

  std::optional<std::string> status;
  const auto showProgress = [&] {
    if (quiet) return;
    std::string line = "Updating";
    if (!observer->updated.empty())
      line += " (" + std::to_string(observer->updated.size()) + " done)";
    line += "…";
    if (status && !status->empty()) line += " " + *status;
    progress.show(line);
  };
  observer->onProgress = showProgress;
  auto statusObserver = qby::QBYNotificationCenter::defaultCenter().addObserver(
      std::string(qby::QBYDeliveriesChangeNotification), nullptr,
      [&](const qby::Notification& notification) {
        status = notification.userInfo[qby::QBYDeliveriesStatusKey].asString();
        showProgress();
      });

  // Ctrl-C or a polite kill cancels the run, so it ends as the manager ends a cancelled run
  // (busy date removed, results so far saved) instead of leaving the store mid-update.
  bool interrupted = false;
  const auto cancel = +[](gpointer data) -> gboolean {
    auto* pair = static_cast<std::pair<qby::QBYDeliveriesManager*, bool*>*>(data);
    *pair->second = true;
    pair->first->cancel();
    return G_SOURCE_CONTINUE;
  };
  std::pair<qby::QBYDeliveriesManager*, bool*> cancelData{&manager, &interrupted};
  const guint sigint = g_unix_signal_add(SIGINT, cancel, &cancelData);
  const guint sigterm = g_unix_signal_add(SIGTERM, cancel, &cancelData);

  showProgress();
  if (arguments->has("force"))
    manager.manualUpdate(qby::QBYForceUpdateAll);
  else
    manager.update();
  // Done when a run has reported and nothing more is under way or scheduled (a run may go on
  // with a second selection, and sync may finish after it).
  const auto finished = [&] {
    return observer->completions > 0 && !manager.busy() && !manager.updateDeliveriesPending();
  };
  if (!qby::MainQueue::runUntil(finished, kUpdateTimeoutSeconds)) {
    manager.cancel();
    qby::MainQueue::runUntil(finished, kCancelTimeoutSeconds);
  }
  g_source_remove(sigint);
  g_source_remove(sigterm);
  statusObserver = {};
  progress.finish();
  // The manager goes with the session: take what it knows first.
  const std::optional<qby::QBYError> saveError = manager.saveError();
  session->close();

  const unsigned result = observer->completions > 0 ? observer->worst : qby::QBYUpdateResultFailed;
  const qby::QBYUpdateCounts& counts = observer->counts;
  if (arguments->has("json")) {
    qby::Array updated;
    for (const auto& uuid : observer->updated) updated.emplace_back(uuid);
    qby::Array notifications;
    for (const auto& notification : observer->notifications)
      notifications.push_back(notificationJSON(notification));
    std::fputs(
        jsonText(
            qby::Value(qby::Dictionary{
                {"result", qby::Value(resultText(result))},
                {"interrupted", qby::Value(interrupted)},
                {"updated", qby::Value(std::move(updated))},
                {"notifications", qby::Value(std::move(notifications))},
                {"counts",
                 qby::Value(qby::Dictionary{
                     {"updated", qby::Value(static_cast<std::int64_t>(counts.updated))},
                     {"unchanged", qby::Value(static_cast<std::int64_t>(counts.unchanged))},
                     {"failed", qby::Value(static_cast<std::int64_t>(counts.failed))},
                     {"unsupported", qby::Value(static_cast<std::int64_t>(counts.unsupported))},
                 })},
            }))
            .c_str(),
        stdout);
  } else {
    for (const auto& notification : observer->notifications) {
      std::printf("%s\n", notification.title.value_or("").c_str());
      if (notification.message && !notification.message->empty()) {
        std::string message = *notification.message;
        std::size_t at = 0;
        while ((at = message.find('\n', at)) != std::string::npos) message.replace(at, 1, "\n  ");
        std::printf("  %s\n", message.c_str());
      }
    }
    if (!quiet)
      std::printf("%s: %s\n",
                  result == qby::QBYUpdateResultFailed    ? "Update failed"
                  : counts.failed > 0                     ? "Update incomplete"
                  : result == qby::QBYUpdateResultNewData ? "New data"
                                                          : "No changes",
                  countsText(counts).c_str());
  }
  std::fflush(stdout);
  if (interrupted)
    return fail("update", "interrupted; the next update picks up where this one stopped",
                kExitFailure);
  if (observer->configurationFailed)
    return fail("update", "the tracking scripts could not be loaded", kExitFailure);
  if (observer->exception)
    return fail("update", "a tracking script failed: " + *observer->exception, kExitFailure);
  if (saveError)
    return fail("update",
                "the changes could not be saved: " + saveError->localizedDescription +
                    "; the next update tries again",
                kExitFailure);
  if (counts.failed > 0)
    return fail("update", plural(counts.failed, "delivery", "deliveries") + " could not be updated",
                kExitFailure);
  if (result == qby::QBYUpdateResultFailed)
    return fail("update", "the update failed", kExitFailure);
  return kExitSuccess;
}

namespace {

int removeCommand(const char* command, int argc, char** argv, bool shouldDelete) {
  std::string error;
  const auto arguments = Arguments::parse(argc, argv, {{"json", false}}, &error);
  if (!arguments) return fail(command, error, kExitUsage);
  if (arguments->positionals().size() != 1)
    return fail(command, "give one delivery ID or tracking number", kExitUsage);
  auto session = Session::open(&error);
  if (!session) return fail(command, error, kExitFailure);
  auto observer = std::make_shared<CommandObserver>();
  auto& manager = session->startManager(observer, observer);

  const std::string& word = arguments->positionals().front();
  const LookupResult found = findDelivery(session->store(), word);
  if (found.kind == LookupResult::Ambiguous)
    return fail(command, ambiguityMessage(word, found), kExitUsage);
  if (found.kind == LookupResult::NotFound)
    return fail(command, "no delivery with the ID or tracking number " + quotedWord(word),
                kExitNotFound);

  auto delivery = found.delivery;
  const auto printResult = [&](const std::string& title) {
    if (arguments->has("json"))
      return printJSON(command, qby::Value(qby::Dictionary{
                                    {"id", qby::Value(delivery->uuid())},
                                    {shouldDelete ? "deleted" : "archived", qby::Value(true)},
                                }));
    std::printf("%s %s  %s\n", shouldDelete ? "Deleted" : "Archived",
                shortID(delivery->uuid()).c_str(), terminalText(title).c_str());
    return kExitSuccess;
  };
  if (!shouldDelete && delivery->archived()) {
    // Nothing to do, and the answer is the same as for the archiving that did it.
    if (!arguments->has("json"))
      std::fprintf(stderr, "porvane %s: %s is archived already\n", command,
                   shortID(delivery->uuid()).c_str());
    return arguments->has("json") ? printResult(delivery->defaultTitle()) : kExitSuccess;
  }
  auto settings = qby::QBYDeliverySettings::settingsWithDictionary(delivery->attributes());
  settings.archived = true;
  settings.shouldDelete = shouldDelete;
  // A change the user makes now: the manager stamps it with the current time.
  settings.modified = 0;
  const std::string title = delivery->defaultTitle();
  manager.removeDeliveryWithSettings(settings);
  if (!session->store().saveData())
    return fail(command, storeErrorText(session->store().error(), "saved"), kExitFailure);
  if (!delivery->archived())
    return fail(command, "the delivery could not be changed", kExitFailure);
  return printResult(title);
}

}  // namespace

int runArchiveCommand(int argc, char** argv) {
  return removeCommand("archive", argc, argv, false);
}

int runDeleteCommand(int argc, char** argv) {
  return removeCommand("delete", argc, argv, true);
}

}  // namespace porvane
