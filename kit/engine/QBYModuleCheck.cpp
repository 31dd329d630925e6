#include "engine/QBYModuleCheck.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "engine/QBYDeliveriesUpdaterInternal.h"
#include "engine/QBYScriptRunner.h"
#include "engine/QBYScriptValues.h"
#include "engine/QBYServiceUpdate.h"
#include "engine/QBYUserModules.h"
#include "platform/Format.h"
#include "platform/GLibPtr.h"

namespace qby {
namespace {

using updater::textArgument;

// What the host functions record. The runner's queue writes, the caller's thread reads after
// the final status (or the time-out); the mutex orders the two.
struct CheckState {
  std::mutex mutex;
  std::condition_variable changed;
  std::optional<std::string> answer;
  int status = 200;
  QBYModuleCheckResult result;
  bool done = false;
};

void evaluate(JSCContext* context, const std::string& code) {
  GObjectPtr<JSCValue>::adopt(
      jsc_context_evaluate(context, code.data(), static_cast<gssize>(code.size())));
}

std::string evaluateText(JSCContext* context, const std::string& code) {
  auto value = GObjectPtr<JSCValue>::adopt(
      jsc_context_evaluate(context, code.data(), static_cast<gssize>(code.size())));
  if (!value || !jsc_value_is_string(value.get())) return {};
  GCharPtr text{jsc_value_to_string(value.get())};
  return text ? std::string(text.get()) : std::string();
}

class CheckRunner : public QBYScriptRunner {
 public:
  explicit CheckRunner(ConstructionToken token) : QBYScriptRunner(token) {}

  std::shared_ptr<CheckState> state = std::make_shared<CheckState>();

  std::string className() const override { return "QBYModuleCheck"; }

  void logMessage(const std::string& message) override {
    std::lock_guard lock(state->mutex);
    state->result.log.push_back(message);
  }

  // Loads the common files in the updater's order.
  void loadCommonScripts() {
    configureScriptNamed("Common", true);
    configureScriptNamed("Guess", true);
    configureScriptNamed("Strings", true);
    configureScriptNamed("Main", true);
  }

 protected:
  JSCContext* configureContext() override {
    JSCContext* context = QBYScriptRunner::configureContext();
    if (!context) return context;
    installHostFunction(context, "requestURL", &CheckRunner::requestURL);
    // No credentials: the module takes the path a user without keys gets.
    installHostFunction(context, "requestExtraInformation",
                        [](QBYScriptRunner&, JSCContext*, const std::vector<JSCValue*>&) {
                          return GObjectPtr<JSCValue>();
                        });
    installHostFunction(context, "saveUserAgent",
                        [](QBYScriptRunner&, JSCContext*, const std::vector<JSCValue*>&) {
                          return GObjectPtr<JSCValue>();
                        });
    installHostFunction(context, "updateDelivery",
                        [](QBYScriptRunner& base, JSCContext*,
                           const std::vector<JSCValue*>& arguments) -> GObjectPtr<JSCValue> {
                          auto& runner = static_cast<CheckRunner&>(base);
                          if (arguments.empty()) return {};
                          Value results = valueFromScript(arguments[0]);
                          std::lock_guard lock(runner.state->mutex);
                          runner.state->result.results.push_back(std::move(results));
                          return {};
                        });
    installHostFunction(context, "finalStatus",
                        [](QBYScriptRunner& base, JSCContext*,
                           const std::vector<JSCValue*>& arguments) -> GObjectPtr<JSCValue> {
                          auto& runner = static_cast<CheckRunner&>(base);
                          const bool success =
                              !arguments.empty() && jsc_value_to_boolean(arguments[0]);
                          std::lock_guard lock(runner.state->mutex);
                          runner.state->result.finalStatus = success;
                          runner.state->done = true;
                          runner.state->changed.notify_all();
                          return {};
                        });
    return context;
  }

 private:
  static GObjectPtr<JSCValue> requestURL(QBYScriptRunner& base, JSCContext*,
                                         const std::vector<JSCValue*>& arguments) {
    auto& runner = static_cast<CheckRunner&>(base);
    const std::string url = textArgument(arguments, 0).value_or("");
    const auto postData = textArgument(arguments, 1);
    const bool post = postData && !postData->empty() && *postData != "undefined";
    const double number = arguments.size() > 3 ? jsc_value_to_double(arguments[3]) : 0;
    std::string text;
    int status = 0;
    bool offline = true;
    {
      std::lock_guard lock(runner.state->mutex);
      runner.state->result.requests.push_back({post ? "POST" : "GET", url});
      if (runner.state->answer) {
        text = *runner.state->answer;
        status = runner.state->status;
        offline = false;
      }
    }
    // The real host answers later, from the queue; so does this one.
    runner.runBlock([number, text, status, offline](JSCContext* context) {
      if (!context) return;
      auto loadResponse =
          GObjectPtr<JSCValue>::adopt(jsc_context_get_value(context, "loadResponse"));
      if (!loadResponse || !jsc_value_is_function(loadResponse.get())) return;
      GObjectPtr<JSCValue> values[] = {
          GObjectPtr<JSCValue>::adopt(jsc_value_new_number(context, number)),
          GObjectPtr<JSCValue>::adopt(jsc_value_new_string(context, text.c_str())),
          GObjectPtr<JSCValue>::adopt(jsc_value_new_number(context, status)),
          GObjectPtr<JSCValue>::adopt(jsc_value_new_boolean(context, offline)),
      };
      JSCValue* raw[] = {values[0].get(), values[1].get(), values[2].get(), values[3].get()};
      GObjectPtr<JSCValue>::adopt(jsc_value_function_callv(loadResponse.get(), 4, raw));
    });
    return {};
  }
};

std::string setupStatements() {
  return format("commonFilesVersion = %lu; usesClicks = true; logLevel = 1; manualSignIn = {};",
                QBYServiceUpdateBundleVersion);
}

}  // namespace

QBYModuleCheckResult QBYModuleCheck::run(const QBYModuleCheckOptions& options) {
  auto runner = QBYScriptRunner::scriptRunnerWithConfigurationBlock<CheckRunner>(
      [](CheckRunner& runner, JSCContext* context) {
        if (!context) return;
        runner.loadCommonScripts();
        evaluate(context, setupStatements());
      });
  runner->setWaitTimeout(options.timeoutSeconds);
  // A module that loops is stopped well before the wait gives up, so that the answer says so.
  runner->setExecutionTimeLimit(options.timeoutSeconds / 3);
  auto state = runner->state;
  {
    std::lock_guard lock(state->mutex);
    state->answer = options.answer;
    state->status = options.status;
  }

  // Shared with the block, which may still run after a wait that timed out.
  auto loaded = std::make_shared<std::optional<QBYUserModuleLoad>>();
  std::weak_ptr<CheckRunner> weakRunner = runner;
  const bool waited =
      runner->runBlockAndWait([loaded, weakRunner, file = options.file](JSCContext* context) {
        auto runner = weakRunner.lock();
        if (!context || !runner || runner->configurationFailed()) return;
        *loaded = QBYUserModules::load(context, file);
      });
  const std::optional<QBYUserModuleLoad> load = waited ? *loaded : std::nullopt;

  auto finishWith = [&](std::string error) {
    runner->invalidate();
    std::lock_guard lock(state->mutex);
    state->result.error = std::move(error);
    return state->result;
  };
  if (!waited) return finishWith("the module did not finish loading within the time allowed");
  if (!load) return finishWith("the tracking scripts could not be loaded");
  if (load->refusal) return finishWith("refused: " + *load->refusal);

  std::string service;
  if (options.service) {
    bool registered = false;
    for (const auto& key : load->services) registered = registered || key == *options.service;
    if (!registered) return finishWith("the module registers no service " + *options.service);
    service = *options.service;
  } else if (load->services.size() == 1) {
    service = load->services.front();
  } else if (load->services.empty()) {
    return finishWith("the module registers no service (registerService)");
  } else {
    std::string keys;
    for (const auto& key : load->services) keys += (keys.empty() ? "" : ", ") + key;
    return finishWith("the module registers several services (" + keys +
                      "): choose one with --service");
  }
  {
    std::lock_guard lock(state->mutex);
    state->result.service = service;
  }

  Dictionary delivery{{"uuid", Value("check")},      {"hash", Value("check")},
                      {"name", Value("")},           {"from", Value(service)},
                      {"no", Value(options.number)}, {"extra", Value(options.extra)}};
  const std::string batch = Value(Array{Value(std::move(delivery))}).toJSON().value_or("[]");
  runner->runBlock([batch](JSCContext* context) {
    if (!context) return;
    auto update = GObjectPtr<JSCValue>::adopt(jsc_context_get_value(context, "updateDeliveries"));
    auto argument = GObjectPtr<JSCValue>::adopt(jsc_value_new_from_json(context, batch.c_str()));
    if (!update || !jsc_value_is_function(update.get())) return;
    JSCValue* raw[] = {argument.get()};
    GObjectPtr<JSCValue>::adopt(jsc_value_function_callv(update.get(), 1, raw));
  });

  bool ended = false;
  {
    std::unique_lock lock(state->mutex);
    ended = state->changed.wait_for(lock, std::chrono::duration<double>(options.timeoutSeconds),
                                    [&] { return state->done; });
  }
  runner->invalidate();
  std::lock_guard lock(state->mutex);
  if (!ended) state->result.error = "the module did not finish within the time allowed";
  return state->result;
}

std::map<std::string, QBYModuleInfo> QBYModuleCheck::registeredModules(
    const std::optional<std::filesystem::path>& servicesURL, double timeoutSeconds) {
  auto runner = QBYScriptRunner::scriptRunnerWithConfigurationBlock<CheckRunner>();
  runner->setWaitTimeout(timeoutSeconds);
  runner->setExecutionTimeLimit(timeoutSeconds / 3);
  // Shared with the block, which may still run after a wait that timed out.
  auto found = std::make_shared<std::map<std::string, QBYModuleInfo>>();
  std::weak_ptr<CheckRunner> weakRunner = runner;
  runner->runBlockAndWait([found, weakRunner, servicesURL](JSCContext* context) {
    auto runner = weakRunner.lock();
    if (!context || !runner) return;
    auto& modules = *found;
    runner->loadCommonScripts();
    if (!servicesURL || !runner->configureScriptWithURL(*servicesURL, false))
      runner->configureScriptNamed("Services", true);
    const auto loads = QBYUserModules::loadAll(context, {});
    const std::string listing = evaluateText(context, R"JS(
      (function () {
        if (typeof Tracking !== 'object') return '[]';
        return JSON.stringify(Object.keys(Tracking.services).map(function (key) {
          var module = Tracking.services[key] || {};
          return {
            key: key,
            access: typeof module.access === 'string' ? module.access : '',
            credentials: Array.isArray(module.credentials) ? module.credentials.map(String) : []
          };
        }));
      })()
    )JS");
    const auto parsed = Value::fromJSON(listing);
    if (!parsed || !parsed->arrayPtr()) return;
    for (const auto& entry : *parsed->arrayPtr()) {
      const auto key = entry["key"].asString();
      if (!key) continue;
      QBYModuleInfo info;
      info.access = entry["access"].asString().value_or("");
      if (const auto* types = entry["credentials"].arrayPtr())
        for (const auto& type : *types)
          if (auto text = type.asString()) info.credentials.push_back(*text);
      for (const auto& load : loads)
        for (const auto& registered : load.services)
          if (registered == *key) info.userFile = load.file;
      modules[*key] = std::move(info);
    }
  });
  runner->invalidate();
  return *found;
}

}  // namespace qby
