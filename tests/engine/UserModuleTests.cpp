// The user's own tracking modules: loaded after the shipped services from the container's
// scripts/services folder, replacing a shipped module of the same key, refused with file, line,
// column and message when they do not load, without harm to the modules loaded before them;
// and the check that runs one module file against a saved answer.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "engine/QBYModuleCheck.h"
#include "engine/QBYScriptRunner.h"
#include "engine/QBYUserModules.h"
#include "support/TestSupport.h"

namespace qby::test {
namespace {

std::filesystem::path modulesFolder() {
  return QBYUserModules::folder();
}

class UserModules : public testing::Test {
 protected:
  void SetUp() override {
    std::error_code error;
    std::filesystem::remove_all(modulesFolder(), error);
  }
  void TearDown() override {
    std::error_code error;
    std::filesystem::remove_all(modulesFolder(), error);
  }
};

constexpr const char* kAddsACarrier = R"JS(// A carrier of the user's own.
var API = 'https://parcels.example/track/';
registerService('parcels.example', {
  access: 'keyless',
  track: function(task) { task.notFound(); },
});
)JS";

constexpr const char* kReplacesDPD = R"JS(registerService('www.dpd.de', {
  access: 'page',
  track: function(task) { task.notFound(); },
});
)JS";

// Registers a service, then throws on its fourth line: the registration must not stay.
constexpr const char* kThrowsAfterRegistering = R"JS(registerService('www.ups.com', {
  track: function(task) { task.notFound(); },
});
undefinedHelperOfTheModule();
)JS";

constexpr const char* kSyntaxError = "var a = 1;\nvar b = 2;\nvar c = ;\n";

TEST_F(UserModules, AddAndReplaceServicesAfterTheShippedOnes) {
  writeFile(modulesFolder() / "a-adds.js", kAddsACarrier);
  writeFile(modulesFolder() / "b-replaces.js", kReplacesDPD);
  writeFile(modulesFolder() / "c-throws.js", kThrowsAfterRegistering);
  writeFile(modulesFolder() / "d-syntax.js", kSyntaxError);
  writeFile(modulesFolder() / "notes.txt", "registerService('txt.example', {});");

  const auto modules = QBYModuleCheck::registeredModules(std::nullopt);
  ASSERT_TRUE(modules.contains("parcels.example"));
  EXPECT_EQ(modules.at("parcels.example").access, "keyless");
  EXPECT_EQ(modules.at("parcels.example").userFile, modulesFolder() / "a-adds.js");
  ASSERT_TRUE(modules.contains("www.dpd.de"));
  EXPECT_EQ(modules.at("www.dpd.de").access, "page");
  EXPECT_EQ(modules.at("www.dpd.de").userFile, modulesFolder() / "b-replaces.js");
  // The module that threw kept nothing: the shipped UPS module is still the one registered.
  ASSERT_TRUE(modules.contains("www.ups.com"));
  EXPECT_FALSE(modules.at("www.ups.com").userFile);
  EXPECT_EQ(modules.at("www.ups.com").access, "keys");
  EXPECT_FALSE(modules.contains("txt.example"));
}

TEST_F(UserModules, RefusalsNameFileLineColumnAndMessage) {
  writeFile(modulesFolder() / "syntax.js", kSyntaxError);
  writeFile(modulesFolder() / "throws.js", kThrowsAfterRegistering);
  writeFile(modulesFolder() / "good.js", kAddsACarrier);

  QBYModuleCheckOptions options;
  options.file = modulesFolder() / "syntax.js";
  const auto syntax = QBYModuleCheck::run(options);
  ASSERT_TRUE(syntax.error);
  EXPECT_NE(syntax.error->find((modulesFolder() / "syntax.js").string() + ":3:"), std::string::npos)
      << *syntax.error;
  EXPECT_NE(syntax.error->find("SyntaxError"), std::string::npos) << *syntax.error;

  options.file = modulesFolder() / "throws.js";
  const auto throws = QBYModuleCheck::run(options);
  ASSERT_TRUE(throws.error);
  EXPECT_NE(throws.error->find((modulesFolder() / "throws.js").string() + ":4:"), std::string::npos)
      << *throws.error;
  EXPECT_NE(throws.error->find("undefinedHelperOfTheModule"), std::string::npos) << *throws.error;
  EXPECT_TRUE(throws.results.empty());
}

TEST_F(UserModules, AModuleCannotCloseItsWrapperAndRunOutsideIt) {
  // Valid once wrapped, but the call would run outside the guard and reach the context's
  // exception handler, which counts against the whole update.
  writeFile(modulesFolder() / "escapes.js", "})(); undefinedOutsideTheGuard(); (function () {\n");
  QBYModuleCheckOptions options;
  options.file = modulesFolder() / "escapes.js";
  const auto escaped = QBYModuleCheck::run(options);
  ASSERT_TRUE(escaped.error);
  EXPECT_NE(escaped.error->find("no function body of its own"), std::string::npos)
      << *escaped.error;
  for (const auto& line : escaped.log)
    EXPECT_EQ(line.find("undefinedOutsideTheGuard"), std::string::npos) << line;

  // A body with a string that only looks like the wrapper's end loads.
  writeFile(modulesFolder() / "quoted.js",
            "var text = '})(); (function () {';\n"
            "registerService('quoted.example', {track: function(task) { task.notFound(); }});\n");
  options.file = modulesFolder() / "quoted.js";
  const auto quoted = QBYModuleCheck::run(options);
  ASSERT_FALSE(quoted.error) << *quoted.error;
  EXPECT_EQ(quoted.service, "quoted.example");
}

TEST_F(UserModules, AModuleThatLoopsWhileLoadingIsStoppedAndRefused) {
  writeFile(modulesFolder() / "loops.js",
            "registerService('loop.example', {});\nwhile (true) {}\n");
  QBYModuleCheckOptions options;
  options.file = modulesFolder() / "loops.js";
  options.timeoutSeconds = 3;
  const auto looped = QBYModuleCheck::run(options);
  ASSERT_TRUE(looped.error);
  EXPECT_EQ(looped.error->find("refused: " + options.file.string() + ":"), 0u) << *looped.error;
  EXPECT_TRUE(looped.results.empty());
}

TEST_F(UserModules, LoadAllLogsOneLinePerFileInNameOrder) {
  writeFile(modulesFolder() / "b-good.js", kAddsACarrier);
  writeFile(modulesFolder() / "a-syntax.js", kSyntaxError);
  auto lines = std::make_shared<std::vector<std::string>>();
  auto runner = QBYScriptRunner::scriptRunnerWithConfigurationBlock([lines](QBYScriptRunner& runner,
                                                                            JSCContext* context) {
    for (const char* name : {"Common", "Guess", "Strings", "Main"})
      runner.configureScriptNamed(name, true);
    QBYUserModules::loadAll(context, [lines](const std::string& line) { lines->push_back(line); });
  });
  ASSERT_TRUE(runner->runBlockAndWait([](JSCContext*) {}));
  runner->invalidate();
  ASSERT_EQ(lines->size(), 2u);
  EXPECT_EQ(lines->at(0).rfind(
                "Refusing user module " + (modulesFolder() / "a-syntax.js").string() + ":3:", 0),
            0u)
      << lines->at(0);
  EXPECT_EQ(lines->at(1), "Using user module " + (modulesFolder() / "b-good.js").string() +
                              " for parcels.example");
}

// The first item of a results dictionary, or null.
Value firstItem(const Value& results) {
  const auto* items = results["items"].arrayPtr();
  return items && !items->empty() ? items->front() : Value();
}

std::string readWhole(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string answerFile(const std::string& name) {
  return readWhole(std::filesystem::path(PORVANE_TEST_DATA_DIR) / "carriers" / name);
}

TEST_F(UserModules, CheckRunsAModuleAgainstASavedAnswer) {
  const auto module = std::filesystem::path(PORVANE_SCRIPTS_SOURCE_DIR) / "services" / "dpd.js";
  QBYModuleCheckOptions options;
  options.file = module;
  options.answer = answerFile("dpd/delivered/plc.json");
  options.number = "0190 5021 4058 51";
  const auto found = QBYModuleCheck::run(options);
  ASSERT_FALSE(found.error) << *found.error;
  EXPECT_EQ(found.service, "www.dpd.de");
  ASSERT_EQ(found.requests.size(), 1u);
  EXPECT_EQ(found.requests[0].method, "GET");
  EXPECT_NE(found.requests[0].url.find("01905021405851"), std::string::npos);
  ASSERT_FALSE(found.results.empty());
  const Value& results = found.results.back();
  EXPECT_EQ(results["status"].asInteger(), 2);
  EXPECT_EQ(firstItem(results)["icon"].asString().value_or(""), "checkmark")
      << results.toJSON().value_or("");
  EXPECT_EQ(found.finalStatus, true);

  // A server error as the saved answer is the module's failure, and still a complete run.
  options.status = 503;
  options.answer = "<html><body>Service unavailable</body></html>";
  const auto failed = QBYModuleCheck::run(options);
  ASSERT_FALSE(failed.error) << *failed.error;
  EXPECT_EQ(failed.results.back()["status"].asInteger(), 0);
  EXPECT_EQ(failed.finalStatus, false);

  // Without an answer every request is offline.
  options.answer.reset();
  const auto offline = QBYModuleCheck::run(options);
  ASSERT_FALSE(offline.error);
  EXPECT_EQ(firstItem(offline.results.back())["shippedText"].asString().value_or(""),
            "No internet connection");
}

TEST_F(UserModules, CheckNeedsOneServiceToRun) {
  writeFile(modulesFolder() / "two.js",
            "registerService('one.example', {track: function(task) { task.notFound(); }});\n"
            "registerService('two.example', {track: function(task) { task.notFound(); }});\n");
  writeFile(modulesFolder() / "none.js", "var nothing = 1;\n");
  writeFile(modulesFolder() / "silent.js",
            "registerService('silent.example', {track: function(task) {\n"
            "  task.request('https://silent.example/', undefined, {}, function() {});\n"
            "}});\n");

  QBYModuleCheckOptions options;
  options.file = modulesFolder() / "two.js";
  const auto several = QBYModuleCheck::run(options);
  ASSERT_TRUE(several.error);
  EXPECT_NE(several.error->find("one.example, two.example"), std::string::npos);
  options.service = "two.example";
  const auto chosen = QBYModuleCheck::run(options);
  ASSERT_FALSE(chosen.error) << *chosen.error;
  EXPECT_EQ(chosen.results.back()["status"].asInteger(), 1);
  options.service = "three.example";
  EXPECT_TRUE(QBYModuleCheck::run(options).error);

  options.service.reset();
  options.file = modulesFolder() / "none.js";
  const auto none = QBYModuleCheck::run(options);
  ASSERT_TRUE(none.error);
  EXPECT_NE(none.error->find("registers no service"), std::string::npos);

  // A module whose callback returns without finishing still ends: the framework fails it.
  options.file = modulesFolder() / "silent.js";
  options.answer = "{}";
  const auto silent = QBYModuleCheck::run(options);
  ASSERT_FALSE(silent.error) << *silent.error;
  EXPECT_EQ(silent.results.back()["status"].asInteger(), 0);
}

}  // namespace
}  // namespace qby::test
