#include "engine/QBYUserModules.h"

#include <jsc/jsc.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <string_view>
#include <system_error>

#include "engine/QBYScriptRunner.h"
#include "platform/GLibPtr.h"
#include "platform/Paths.h"

namespace qby {
namespace {

// The module's body runs in a function of its own, like a shipped module's. The opening stays
// on the body's first line so that line numbers in errors are the file's own; registrations
// are recorded, and undone when the body throws.
constexpr std::string_view kPrefix =
    "(function(){if(typeof registerService!=='function'||typeof Tracking!=='object')"
    "return JSON.stringify({error:'the tracking framework is not loaded'});"
    "var saved={},keys=[],original=registerService;"
    "for(var k in Tracking.services)saved[k]=Tracking.services[k];"
    "registerService=function(key,module){keys.push(String(key));return original(key,module);};"
    "try{(function(){";
constexpr std::string_view kSuffix =
    "\n})();return JSON.stringify({keys:keys.filter(function(key){"
    "return Object.prototype.hasOwnProperty.call(Tracking.services,key);})});}"
    "catch(e){Tracking.services=saved;return JSON.stringify({"
    "error:String(e&&e.message!==undefined?e.message:e),name:e&&e.name,"
    "line:e&&e.line,column:e&&e.column});}"
    "finally{registerService=original;}})()";

std::string fileURI(const std::filesystem::path& file) {
  GCharPtr uri{g_filename_to_uri(file.c_str(), nullptr, nullptr)};
  return uri ? std::string(uri.get()) : file.string();
}

// Columns on the first line count the opening the file does not have.
unsigned fileColumn(unsigned line, unsigned column) {
  if (line == 1 && column > kPrefix.size()) return column - static_cast<unsigned>(kPrefix.size());
  return column;
}

std::string refusalText(const std::filesystem::path& file, unsigned line, unsigned column,
                        const std::string& message) {
  return file.string() + ":" + std::to_string(line) + ":" + std::to_string(column) + ": " + message;
}

// Why the text is no function body on its own, or nothing when it is one. The Function
// constructor parses a body alone, without running it.
std::optional<std::string> standaloneBodyProblem(JSCContext* context, const std::string& body) {
  static constexpr std::string_view kCheck =
      "(function(source){try{new Function(source);return '';}"
      "catch(e){return String(e&&e.message!==undefined?e.message:e)||'unreadable';}})";
  auto check = GObjectPtr<JSCValue>::adopt(
      jsc_context_evaluate(context, kCheck.data(), static_cast<gssize>(kCheck.size())));
  // From bytes: a NUL in the file must not end the text early.
  const GBytesPtr bytes(g_bytes_new(body.data(), body.size()));
  auto source = GObjectPtr<JSCValue>::adopt(jsc_value_new_string_from_bytes(context, bytes.get()));
  if (!check || !jsc_value_is_function(check.get()) || !source)
    return std::string("the module could not be checked");
  JSCValue* arguments[] = {source.get()};
  auto answer = GObjectPtr<JSCValue>::adopt(jsc_value_function_callv(check.get(), 1, arguments));
  if (!answer || !jsc_value_is_string(answer.get()))
    return std::string("the module could not be checked");
  GCharPtr text{jsc_value_to_string(answer.get())};
  if (!text || *text.get() == '\0') return std::nullopt;
  return "SyntaxError: the module is no function body of its own (" + std::string(text.get()) + ")";
}

}  // namespace

std::filesystem::path QBYUserModules::folder() {
  return Paths::sharedContainer() / "scripts" / "services";
}

std::vector<std::filesystem::path> QBYUserModules::files() {
  std::vector<std::filesystem::path> found;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder(), error)) {
    std::error_code typeError;
    if (entry.path().extension() == ".js" && entry.is_regular_file(typeError))
      found.push_back(entry.path());
  }
  std::sort(found.begin(), found.end());
  return found;
}

QBYUserModuleLoad QBYUserModules::load(JSCContext* context, const std::filesystem::path& file) {
  QBYUserModuleLoad result{file, {}, std::nullopt};
  if (!context) {
    result.refusal = refusalText(file, 0, 0, "no script context");
    return result;
  }
  QBYError readError;
  const auto body = QBYScriptRunner::scriptFromURL(file, &readError);
  if (!body) {
    result.refusal = refusalText(file, 0, 0, readError.localizedDescription);
    return result;
  }
  std::string code;
  code.reserve(kPrefix.size() + body->size() + kSuffix.size());
  code.append(kPrefix).append(*body).append(kSuffix);
  const std::string uri = fileURI(file);

  // A syntax error is found before anything runs, and without the context's exception handler,
  // which would count it as a failed update.
  JSCException* rawException = nullptr;
  const auto syntax =
      jsc_context_check_syntax(context, code.data(), static_cast<gssize>(code.size()),
                               JSC_CHECK_SYNTAX_MODE_SCRIPT, uri.c_str(), 1, &rawException);
  auto exception = GObjectPtr<JSCException>::adopt(rawException);
  if (syntax != JSC_CHECK_SYNTAX_RESULT_SUCCESS) {
    unsigned line = 0, column = 0;
    std::string message = "the file is no valid script";
    if (exception) {
      line = jsc_exception_get_line_number(exception.get());
      column = fileColumn(line, jsc_exception_get_column_number(exception.get()));
      const char* name = jsc_exception_get_name(exception.get());
      const char* text = jsc_exception_get_message(exception.get());
      message = std::string(name ? name : "SyntaxError") + ": " + (text ? text : "");
    }
    result.refusal = refusalText(file, line, column, message);
    return result;
  }

  // The body must stand on its own as a function body: text that closes the wrapper early
  // would run outside its guard, where an exception counts against the whole update.
  if (auto reason = standaloneBodyProblem(context, *body)) {
    result.refusal = refusalText(file, 1, 1, *reason);
    return result;
  }

  auto value = GObjectPtr<JSCValue>::adopt(jsc_context_evaluate_with_source_uri(
      context, code.data(), static_cast<gssize>(code.size()), uri.c_str(), 1));
  GCharPtr text{value && jsc_value_is_string(value.get()) ? jsc_value_to_string(value.get())
                                                          : nullptr};
  nlohmann::json answer;
  if (text) answer = nlohmann::json::parse(text.get(), nullptr, false);
  if (!answer.is_object()) {
    result.refusal = refusalText(file, 0, 0, "the module did not run to its end");
    return result;
  }
  if (answer.contains("error")) {
    const unsigned line = answer.value("line", 0u);
    const unsigned column = fileColumn(line, answer.value("column", 0u));
    std::string message = answer["error"].is_string() ? answer["error"].get<std::string>() : "";
    if (answer.contains("name") && answer["name"].is_string())
      message = answer["name"].get<std::string>() + ": " + message;
    result.refusal = refusalText(file, line, column, message);
    return result;
  }
  for (const auto& key : answer.value("keys", nlohmann::json::array()))
    if (key.is_string()) result.services.push_back(key.get<std::string>());
  return result;
}

std::vector<QBYUserModuleLoad> QBYUserModules::loadAll(
    JSCContext* context, const std::function<void(const std::string&)>& log) {
  std::vector<QBYUserModuleLoad> loads;
  for (const auto& file : files()) {
    auto load = QBYUserModules::load(context, file);
    if (log) {
      if (load.refusal) {
        log("Refusing user module " + *load.refusal);
      } else {
        std::string keys;
        for (const auto& key : load.services) keys += (keys.empty() ? "" : ", ") + key;
        log("Using user module " + file.string() +
            (keys.empty() ? std::string(" (it registers no service)") : " for " + keys));
      }
    }
    loads.push_back(std::move(load));
  }
  return loads;
}

}  // namespace qby
