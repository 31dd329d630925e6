#include "CarrierHarness.h"

#include <jsc/jsc.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>

#include "engine/QBYScriptRunner.h"
#include "platform/GLibPtr.h"

namespace qby::test {
namespace {

using nlohmann::json;

constexpr double kGenerousSeconds = 60;
constexpr const char* kDefaultNow = "2024-04-15T10:00:00Z";
constexpr int kCommonFilesVersion = 222;

std::filesystem::path carriersFolder() {
  return std::filesystem::path(PORVANE_TEST_DATA_DIR) / "carriers";
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

json readJSON(const std::filesystem::path& path, std::vector<std::string>& problems) {
  if (!std::filesystem::exists(path)) {
    problems.push_back("Missing file " + path.string());
    return json::object();
  }
  try {
    return json::parse(readFile(path));
  } catch (const json::exception& error) {
    problems.push_back("Unreadable JSON in " + path.string() + ": " + error.what());
    return json::object();
  }
}

std::string stringOf(JSCValue* value) {
  if (!value || jsc_value_is_undefined(value) || jsc_value_is_null(value)) return {};
  GCharPtr text{jsc_value_to_string(value)};
  return text ? text.get() : std::string();
}

json jsonOf(JSCValue* value) {
  if (!value || jsc_value_is_undefined(value)) return nullptr;
  GCharPtr text{jsc_value_to_json(value, 0)};
  if (!text) return nullptr;
  try {
    return json::parse(text.get());
  } catch (const json::exception&) {
    return nullptr;
  }
}

struct FixtureResponse {
  std::string method;
  std::string url;
  int status = 200;
  std::string text;
  bool offline = false;
  std::optional<std::string> postData;
  json headers = json::object();
  bool used = false;
};

// What one case gives the host doubles, and what they record. The runner's queue writes, the
// test thread reads after the batch has ended; the mutex orders the two.
struct CaseState {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<FixtureResponse> responses;
  json credentials = json::object();
  CarrierRun run;
};

std::string scriptsFolder() {
  return PORVANE_SCRIPTS_SOURCE_DIR;
}

class CarrierRunner : public QBYScriptRunner {
 public:
  explicit CarrierRunner(ConstructionToken token) : QBYScriptRunner(token) {}

  std::shared_ptr<CaseState> state = std::make_shared<CaseState>();

  std::string className() const override { return "CarrierRunner"; }

  void logMessage(const std::string& message) override {
    const std::string prefix = className() + ": ";
    std::lock_guard lock(state->mutex);
    if (message.rfind(prefix, 0) == 0) {
      state->run.alerts.push_back(message.substr(prefix.size()));
    } else {
      state->run.problems.push_back(message);
    }
  }

  void handleException(const std::string& message) override {
    std::lock_guard lock(state->mutex);
    state->run.problems.push_back("Script error: " + message);
  }

  // Loads the scripts in the order the updater uses.
  void loadTrackingScripts() {
    const std::filesystem::path scripts = scriptsFolder();
    configureScriptWithURL(scripts / "Common.js", true);
    if (std::filesystem::exists(scripts / "Guess.js"))
      configureScriptWithURL(scripts / "Guess.js", true);
    configureScriptWithURL(scripts / "Strings.js", true);
    configureScriptWithURL(scripts / "Main.js", true);
    configureScriptWithURL(std::filesystem::path(PORVANE_SERVICES_SCRIPT), true);
  }

 protected:
  JSCContext* configureContext() override {
    JSCContext* context = QBYScriptRunner::configureContext();
    installHostFunction(context, "requestURL", &CarrierRunner::requestURL);
    installHostFunction(
        context, "requestExtraInformation",
        [](QBYScriptRunner& base, JSCContext* context,
           const std::vector<JSCValue*>& args) -> GObjectPtr<JSCValue> {
          auto& runner = static_cast<CarrierRunner&>(base);
          const std::string key = args.size() > 0 ? stringOf(args[0]) : "";
          const std::string type = args.size() > 1 ? stringOf(args[1]) : "";
          std::lock_guard lock(runner.state->mutex);
          const auto& credentials = runner.state->credentials;
          if (credentials.contains(key) && credentials[key].contains(type) &&
              credentials[key][type].is_string()) {
            const auto value = credentials[key][type].get<std::string>();
            return GObjectPtr<JSCValue>::adopt(jsc_value_new_string(context, value.c_str()));
          }
          return {};
        });
    installHostFunction(context, "updateDelivery",
                        [](QBYScriptRunner& base, JSCContext*,
                           const std::vector<JSCValue*>& args) -> GObjectPtr<JSCValue> {
                          auto& runner = static_cast<CarrierRunner&>(base);
                          json results = args.empty() ? json(nullptr) : jsonOf(args[0]);
                          std::lock_guard lock(runner.state->mutex);
                          if (!runner.state->run.finalStatus.empty())
                            runner.state->run.problems.push_back(
                                "Results after the final status: " + results.dump());
                          runner.state->run.results.push_back(std::move(results));
                          return {};
                        });
    installHostFunction(context, "saveUserAgent",
                        [](QBYScriptRunner&, JSCContext*, const std::vector<JSCValue*>&) {
                          return GObjectPtr<JSCValue>();
                        });
    installHostFunction(context, "finalStatus",
                        [](QBYScriptRunner& base, JSCContext*,
                           const std::vector<JSCValue*>& args) -> GObjectPtr<JSCValue> {
                          auto& runner = static_cast<CarrierRunner&>(base);
                          const bool success = !args.empty() && jsc_value_to_boolean(args[0]);
                          std::lock_guard lock(runner.state->mutex);
                          runner.state->run.finalStatus.push_back(success);
                          runner.state->changed.notify_all();
                          return {};
                        });
    return context;
  }

 private:
  static GObjectPtr<JSCValue> requestURL(QBYScriptRunner& base, JSCContext*,
                                         const std::vector<JSCValue*>& args) {
    auto& runner = static_cast<CarrierRunner&>(base);
    const std::string url = args.size() > 0 ? stringOf(args[0]) : "";
    std::optional<std::string> postData;
    if (args.size() > 1 && jsc_value_is_string(args[1])) {
      auto text = stringOf(args[1]);
      if (!text.empty() && text != "undefined") postData = std::move(text);
    }
    const json options = args.size() > 2 ? jsonOf(args[2]) : json(nullptr);
    const double number = args.size() > 3 ? jsc_value_to_double(args[3]) : 0;
    const std::string method = postData ? "POST" : "GET";
    json headers =
        options.is_object() && options.contains("headers") ? options["headers"] : json::object();

    FixtureResponse answer;
    answer.status = 0;
    {
      std::lock_guard lock(runner.state->mutex);
      bool found = false;
      for (auto& response : runner.state->responses) {
        if (response.used || response.method != method || response.url != url) continue;
        if (response.postData && response.postData != postData) continue;
        bool headersMatch = true;
        for (const auto& [name, value] : response.headers.items())
          headersMatch = headersMatch && headers.contains(name) && headers[name] == value;
        if (!headersMatch) continue;
        response.used = true;
        answer = response;
        found = true;
        break;
      }
      if (!found) {
        runner.state->run.problems.push_back("Unexpected request: " + method + " " + url +
                                             (postData ? " body " + *postData : "") + " headers " +
                                             headers.dump());
      }
    }
    // The real host answers later, from the queue; so does this one.
    runner.runBlock([number, answer](JSCContext* context) {
      if (!context) return;
      auto loadResponse =
          GObjectPtr<JSCValue>::adopt(jsc_context_get_value(context, "loadResponse"));
      if (!loadResponse || !jsc_value_is_function(loadResponse.get())) return;
      GObjectPtr<JSCValue> values[] = {
          GObjectPtr<JSCValue>::adopt(jsc_value_new_number(context, number)),
          GObjectPtr<JSCValue>::adopt(jsc_value_new_string(context, answer.text.c_str())),
          GObjectPtr<JSCValue>::adopt(jsc_value_new_number(context, answer.status)),
          GObjectPtr<JSCValue>::adopt(jsc_value_new_boolean(context, answer.offline)),
      };
      JSCValue* raw[] = {values[0].get(), values[1].get(), values[2].get(), values[3].get()};
      GObjectPtr<JSCValue>::adopt(jsc_value_function_callv(loadResponse.get(), 4, raw));
    });
    return {};
  }
};

void evaluate(JSCContext* context, const std::string& code) {
  GObjectPtr<JSCValue>::adopt(
      jsc_context_evaluate(context, code.data(), static_cast<gssize>(code.size())));
}

// The statements the updater evaluates after loading, and the fixed clock.
std::string setupStatements(const json& settings) {
  const int version = settings.value("commonFilesVersion", kCommonFilesVersion);
  const int level = settings.value("logLevel", 0);
  const std::string now = settings.value("now", std::string(kDefaultNow));
  return "commonFilesVersion = " + std::to_string(version) +
         "; usesClicks = true; logLevel = " + std::to_string(level) +
         "; manualSignIn = {}; Q.now = function () { return new Date(" + json(now).dump() + "); };";
}

std::shared_ptr<CarrierRunner> makeRunner(const json& settings,
                                          const std::vector<std::filesystem::path>& extraScripts) {
  auto runner = QBYScriptRunner::scriptRunnerWithConfigurationBlock<CarrierRunner>(
      [settings, extraScripts](CarrierRunner& runner, JSCContext* context) {
        if (!context) return;
        runner.loadTrackingScripts();
        for (const auto& script : extraScripts) runner.configureScriptWithURL(script, true);
        evaluate(context, setupStatements(settings));
      });
  runner->setWaitTimeout(kGenerousSeconds);
  return runner;
}

}  // namespace

void useCarrierTestEnvironment() {
  // A zone far from UTC with a quarter-hour offset: day arithmetic done in UTC, or dates
  // converted where they should be kept as written, shows up as a wrong day.
  setenv("TZ", "Pacific/Chatham", 1);
  tzset();
  setenv("LANG", "de_DE.UTF-8", 1);
  setenv("LC_ALL", "de_DE.UTF-8", 1);
}

std::vector<std::string> carrierCaseNames() {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& carrier : std::filesystem::directory_iterator(carriersFolder(), error)) {
    if (!carrier.is_directory()) continue;
    for (const auto& folder : std::filesystem::directory_iterator(carrier.path(), error)) {
      if (folder.is_directory() && std::filesystem::exists(folder.path() / "case.json"))
        names.push_back(carrier.path().filename().string() + "/" +
                        folder.path().filename().string());
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::filesystem::path carrierCaseFolder(const std::string& name) {
  return carriersFolder() / name;
}

CarrierRun runCarrierCase(const std::filesystem::path& folder) {
  std::vector<std::string> problems;
  const json settings = readJSON(folder / "case.json", problems);
  if (!problems.empty()) {
    CarrierRun run;
    run.problems = problems;
    return run;
  }

  json deliveries = json::array();
  if (settings.contains("deliveries")) deliveries = settings["deliveries"];
  if (settings.contains("delivery")) deliveries.push_back(settings["delivery"]);
  for (std::size_t i = 0; i < deliveries.size(); ++i) {
    auto& delivery = deliveries[i];
    if (!delivery.is_object()) continue;
    if (!delivery.contains("uuid")) delivery["uuid"] = "uuid-" + std::to_string(i + 1);
    if (!delivery.contains("hash")) delivery["hash"] = "hash-" + std::to_string(i + 1);
  }

  std::vector<FixtureResponse> responses;
  for (const auto& entry : settings.value("responses", json::array())) {
    FixtureResponse response;
    response.method = entry.value("method", std::string("GET"));
    response.url = entry.value("url", std::string());
    response.status = entry.value("status", 200);
    response.offline = entry.value("offline", false);
    if (entry.contains("file") && entry["file"].is_string()) {
      const auto path = folder / entry["file"].get<std::string>();
      if (!std::filesystem::exists(path)) problems.push_back("Missing fixture " + path.string());
      response.text = readFile(path);
    } else {
      response.text = entry.value("text", std::string());
    }
    if (entry.contains("postData") && entry["postData"].is_string())
      response.postData = entry["postData"].get<std::string>();
    if (entry.contains("headers")) response.headers = entry["headers"];
    responses.push_back(std::move(response));
  }

  std::vector<std::filesystem::path> extraScripts;
  for (const auto& script : settings.value("scripts", json::array()))
    extraScripts.push_back(folder / script.get<std::string>());

  auto runner = makeRunner(settings, extraScripts);
  auto state = runner->state;
  {
    std::lock_guard lock(state->mutex);
    state->responses = std::move(responses);
    state->credentials = settings.value("credentials", json::object());
    state->run.problems = problems;
  }

  const std::string batch = deliveries.dump();
  runner->runBlock([batch](JSCContext* context) {
    if (!context) return;
    auto update = GObjectPtr<JSCValue>::adopt(jsc_context_get_value(context, "updateDeliveries"));
    auto argument = GObjectPtr<JSCValue>::adopt(jsc_value_new_from_json(context, batch.c_str()));
    if (!update || !jsc_value_is_function(update.get())) return;
    JSCValue* raw[] = {argument.get()};
    GObjectPtr<JSCValue>::adopt(jsc_value_function_callv(update.get(), 1, raw));
  });

  {
    std::unique_lock lock(state->mutex);
    const bool ended =
        state->changed.wait_for(lock, std::chrono::duration<double>(kGenerousSeconds),
                                [&] { return !state->run.finalStatus.empty(); });
    if (!ended) state->run.problems.push_back("The batch never reported its final status");
  }
  // Lets answers still queued run, so that anything reported after the final status shows.
  runner->runBlockAndWait([](JSCContext*) {});
  runner->runBlockAndWait([](JSCContext*) {});
  runner->invalidate();

  std::lock_guard lock(state->mutex);
  for (const auto& response : state->responses) {
    if (!response.used)
      state->run.problems.push_back("Response never requested: " + response.method + " " +
                                    response.url);
  }
  return state->run;
}

std::string evaluateWithTrackingScripts(const std::string& code) {
  auto runner = makeRunner(json::object(), {});
  std::string answer;
  runner->runBlockAndWait([&](JSCContext* context) {
    if (!context) return;
    const std::string wrapped = "(function () { try { return JSON.stringify((function () { " +
                                code + " })()); } catch (e) { return 'error: ' + e; } })()";
    auto value = GObjectPtr<JSCValue>::adopt(
        jsc_context_evaluate(context, wrapped.data(), static_cast<gssize>(wrapped.size())));
    answer = stringOf(value.get());
  });
  {
    std::lock_guard lock(runner->state->mutex);
    for (const auto& problem : runner->state->run.problems) answer += "\nproblem: " + problem;
  }
  runner->invalidate();
  return answer;
}

}  // namespace qby::test
