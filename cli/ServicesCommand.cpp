// services: the catalogue, with how each service is tracked (the tracking scripts say it of
// themselves, the services list marks what cannot be tracked), and --check, which runs one
// module file against a saved answer so that a user can write a module without the network.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "Arguments.h"
#include "Commands.h"
#include "DeliveryOutput.h"
#include "ExitCodes.h"
#include "SafeText.h"
#include "Session.h"
#include "engine/QBYModuleCheck.h"
#include "engine/QBYPrivateToken.h"
#include "engine/QBYServiceUpdate.h"
#include "manager/QBYDeliveriesManager.h"
#include "manager/QBYServiceCatalogue.h"
#include "model/Service.h"
#include "model/Setting.h"
#include "platform/Paths.h"
#include "store/core/QBYTextFolding.h"

namespace porvane {
namespace {

// How one service is tracked.
struct TrackingState {
  // "keyless", "keys", "page", "unsupported", or "unknown" for a module that does not say.
  std::string state;
  std::string reason;
  std::vector<std::string> credentials;
  bool configured = false;
  std::optional<std::filesystem::path> userModule;
};

// Why the services list marks the service as not tracked, when it does: its "supported" is NO.
// An entry without "unsupportedReason" is tracked on the carrier's page only.
struct ListMark {
  bool unsupported = false;
  std::optional<std::string> reason;
};

std::map<std::string, ListMark> listMarks() {
  std::map<std::string, ListMark> marks;
  for (const auto& entry : qby::QBYServiceCatalogue::servicesList()) {
    const auto from = entry["from"].asString();
    if (!from) continue;
    const qby::Value& supported = entry["supported"];
    ListMark mark;
    mark.unsupported = !supported.isNull() && !supported.asBool().value_or(true);
    mark.reason = entry["unsupportedReason"].asString();
    marks[*from] = mark;
  }
  return marks;
}

TrackingState trackingState(const std::string& key, const std::map<std::string, ListMark>& marks,
                            const std::map<std::string, qby::QBYModuleInfo>& modules) {
  TrackingState state;
  const auto module = modules.find(key);
  if (module != modules.end()) {
    state.credentials = module->second.credentials;
    state.userModule = module->second.userFile;
  }
  const auto mark = marks.find(key);
  // A user's own module tracks whatever the list says of the service.
  if (mark != marks.end() && mark->second.unsupported && !state.userModule) {
    if (mark->second.reason) {
      state.state = "unsupported";
      state.reason = *mark->second.reason;
    } else {
      state.state = "page";
    }
    return state;
  }
  if (module == modules.end()) {
    state.state = "page";
    return state;
  }
  state.state = module->second.access;
  // A module that does not say how it tracks is not claimed to need no keys.
  if (state.state != "keyless" && state.state != "keys" && state.state != "page")
    state.state = "unknown";
  state.configured = !state.credentials.empty();
  for (const auto& type : state.credentials)
    state.configured = state.configured && qby::QBYPrivateToken::credential(key, type).has_value();
  return state;
}

std::string stateText(const TrackingState& state) {
  std::string text;
  if (state.state == "keyless") {
    text = "tracks without keys";
    if (!state.credentials.empty())
      text += state.configured ? " (your keys configured as second path)" : "";
  } else if (state.state == "keys") {
    text = state.configured ? "needs keys (configured)" : "needs keys (not configured)";
  } else if (state.state == "unknown") {
    text = "tracked by a module that does not say whether it needs keys";
  } else if (state.state == "unsupported") {
    text = "not supported: " + state.reason;
  } else {
    text = "page only";
  }
  if (state.userModule) text += " [your module " + state.userModule->filename().string() + "]";
  return text;
}

qby::Value stateJSON(const TrackingState& state) {
  qby::Array credentials;
  for (const auto& type : state.credentials) credentials.emplace_back(type);
  qby::Dictionary object{{"state", qby::Value(state.state)}};
  if (!state.reason.empty()) object.set("reason", qby::Value(state.reason));
  object.set("credentials", qby::Value(std::move(credentials)));
  object.set("configured", qby::Value(state.configured));
  if (state.userModule) object.set("userModule", qby::Value(validUTF8(state.userModule->string())));
  return qby::Value(std::move(object));
}

std::optional<std::string> readWholeFile(const std::string& path, std::string* error) {
  auto bytes = qby::Paths::readFile(path);
  if (!bytes) *error = "cannot read " + quotedWord(path);
  return bytes;
}

int runCheck(const Arguments& arguments) {
  const char* command = "services --check";
  qby::QBYModuleCheckOptions options;
  options.file = *arguments.value("check");
  std::string error;
  if (!std::filesystem::is_regular_file(options.file))
    return fail(command, "no module file " + quotedWord(options.file.string()), kExitUsage);
  if (const auto answer = arguments.value("answer")) {
    options.answer = readWholeFile(*answer, &error);
    if (!options.answer) return fail(command, error, kExitFailure);
    // Whatever the file holds, the module reads it as text, like an answer from the network.
    options.answer = validUTF8(*options.answer);
  }
  if (const auto status = arguments.value("status")) {
    char* end = nullptr;
    const long code = std::strtol(status->c_str(), &end, 10);
    if (status->empty() || *end != '\0' || code < 100 || code > 599)
      return fail(command, "--status needs an HTTP status from 100 to 599", kExitUsage);
    options.status = static_cast<int>(code);
  }
  if (const auto number = arguments.value("number")) options.number = *number;
  if (const auto extra = arguments.value("extra")) options.extra = *extra;
  options.service = arguments.value("service");

  const auto result = qby::QBYModuleCheck::run(options);
  if (arguments.has("json")) {
    qby::Array requests;
    for (const auto& request : result.requests)
      requests.emplace_back(qby::Dictionary{{"method", qby::Value(request.method)},
                                            {"url", qby::Value(validUTF8(request.url))}});
    qby::Array log;
    for (const auto& line : result.log) log.emplace_back(validUTF8(line));
    qby::Dictionary object{
        {"service", qby::Value(result.service)},
        {"requests", qby::Value(std::move(requests))},
        {"results", qby::Value(result.results)},
        {"log", qby::Value(std::move(log))},
    };
    object.set("finalStatus", result.finalStatus ? qby::Value(*result.finalStatus) : qby::Value());
    if (result.error) object.set("error", qby::Value(validUTF8(*result.error)));
    const int printed = printJSON(command, qby::Value(std::move(object)));
    return result.error ? kExitFailure : printed;
  }
  for (const auto& line : result.log) std::fprintf(stderr, "log: %s\n", terminalText(line).c_str());
  if (result.error) return fail(command, *result.error, kExitFailure);
  for (const auto& request : result.requests)
    std::fprintf(stderr, "request: %s %s\n", request.method.c_str(),
                 terminalText(request.url).c_str());
  // The last dictionary is the result; those before it are progress reports.
  if (result.results.empty()) return fail(command, "the module reported no results", kExitFailure);
  return printJSON(command, result.results.back());
}

}  // namespace

int runServicesCommand(int argc, char** argv) {
  std::string error;
  const auto arguments = Arguments::parse(argc, argv,
                                          {{"json", false},
                                           {"check", true},
                                           {"answer", true},
                                           {"status", true},
                                           {"number", true},
                                           {"extra", true},
                                           {"service", true}},
                                          &error);
  if (!arguments) return fail("services", error, kExitUsage);
  if (arguments->has("check")) {
    if (!arguments->positionals().empty())
      return fail("services", "--check takes no search words", kExitUsage);
    return runCheck(*arguments);
  }
  for (const char* option : {"answer", "status", "number", "extra", "service"})
    if (arguments->has(option))
      return fail("services", std::string("--") + option + " only goes with --check", kExitUsage);

  auto session = Session::open(&error);
  if (!session) return fail("services", error, kExitFailure);
  // The catalogue is imported by the manager's start when this build has not done it yet.
  auto& manager = session->startManager();

  std::vector<std::shared_ptr<qby::Service>> services;
  const std::string words = arguments->joinedPositionals();
  if (words.empty()) {
    services = manager.services();
  } else {
    // Every word must occur in the key, the name, the region or the keywords.
    for (const auto& service : manager.services()) {
      const std::string haystack = qby::foldForSearch(
          service->from().value_or("") + " " + service->localizedName().value_or("") + " " +
          service->region().value_or("") + " " + service->keywords().value_or(""));
      bool all = true;
      for (const auto& word : arguments->positionals())
        all = all && haystack.find(qby::foldForSearch(word)) != std::string::npos;
      if (all) services.push_back(service);
    }
  }

  // What the tracking scripts register, the downloaded services file first when there is one.
  std::optional<std::filesystem::path> servicesURL = manager.serviceUpdate().url();
  if (servicesURL && !std::filesystem::exists(*servicesURL)) servicesURL.reset();
  const auto modules = qby::QBYModuleCheck::registeredModules(servicesURL);
  const auto marks = listMarks();

  if (arguments->has("json")) {
    qby::Array array;
    for (const auto& service : services) {
      qby::Value entry = jsonForService(*service);
      const auto state = trackingState(service->from().value_or(""), marks, modules);
      if (auto* object = entry.dictionaryPtr()) {
        object->set("supported", qby::Value(state.state != "unsupported" && state.state != "page"));
        object->set("tracking", stateJSON(state));
      }
      array.push_back(std::move(entry));
    }
    return printJSON("services", qby::Value(std::move(array)));
  }
  if (services.empty()) {
    std::printf(words.empty() ? "No services.\n" : "No service matches.\n");
    return kExitSuccess;
  }
  for (const auto& service : services) {
    std::string fields;
    for (const auto& setting : service->settings()) {
      const std::string type = setting->type().value_or("");
      fields += (fields.empty() ? "" : ", ") + service->localizedNameForSettingOfType(type) +
                (setting->required() ? "*" : "");
    }
    const std::string region = service->region().value_or("");
    const auto state = trackingState(service->from().value_or(""), marks, modules);
    std::string line = "  " + service->from().value_or("");
    line += std::string(line.size() < 30 ? 30 - line.size() : 1, ' ');
    line += service->localizedName().value_or("");
    if (!region.empty()) line += " (" + region + ")";
    if (!fields.empty()) line += "  [" + fields + "]";
    std::printf("%s\n", terminalText(line).c_str());
    std::printf("      %s\n", terminalText(stateText(state)).c_str());
  }
  std::printf("\n*  required field\n");
  return kExitSuccess;
}

}  // namespace porvane
