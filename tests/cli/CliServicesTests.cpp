// "porvane services": how every service is tracked, the services that cannot be tracked and
// why, the user's own modules, and --check, which runs a module file against a saved answer
// without the network.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "CliProcess.h"
#include "engine/QBYUserModules.h"
#include "platform/Value.h"
#include "support/TestSupport.h"

namespace porvane::test {
namespace {

constexpr int kFailure = 1;
constexpr int kUsage = 64;

qby::Value json(const RunResult& result) {
  auto value = qby::Value::fromJSON(result.out);
  EXPECT_TRUE(value) << result.out << result.err;
  return value.value_or(qby::Value());
}

// The entry of the service in "services --json", or null.
qby::Value serviceEntry(const qby::Value& list, const std::string& key) {
  if (const auto* array = list.arrayPtr())
    for (const auto& entry : *array)
      if (entry["key"].asString() == key) return entry;
  return {};
}

std::filesystem::path carrierData(const std::string& name) {
  return std::filesystem::path(PORVANE_TEST_DATA_DIR) / "carriers" / name;
}

constexpr const char* kModule = R"JS(var API = 'https://parcels.example/api/';
function pageURL(number) { return 'https://parcels.example/t/' + number; }
registerService('www.dpd.de', {
  access: 'keyless',
  track: function(task) {
    task.request(API + task.number, undefined, {}, function(response) {
      var body = Q.json(response.text);
      var links = task.pageLinks(pageURL);
      if (response.status !== 200 || !body) return task.failForResponse(response, links);
      task.found([Q.trackingItem(task.itemName, {state: body.state, status: body.text})], links);
    });
  },
});
)JS";

TEST(CliServicesTest, EveryServiceSaysHowItIsTracked) {
  const auto list = json(runCli({"services", "--json"}));
  ASSERT_TRUE(list.arrayPtr());
  ASSERT_FALSE(list.arrayPtr()->empty());
  for (const auto& entry : *list.arrayPtr()) {
    const auto state = entry["tracking"]["state"].asString().value_or("");
    EXPECT_TRUE(state == "keyless" || state == "keys" || state == "page" ||
                state == "unsupported" || state == "unknown")
        << entry.toJSON().value_or("");
  }
  // The Amazon storefronts are tracked through the order page after a sign-in in the main
  // application.
  for (const char* key : {"www.amazon.com", "www.amazon.de", "www.amazon.co.jp"}) {
    const auto entry = serviceEntry(list, key);
    EXPECT_EQ(entry["tracking"]["state"].asString(), "keyless") << key;
    EXPECT_NE(entry["supported"].asBool(), false) << key;
  }
  // The stores without such a module are not supported, with the reason, and never counted
  // as tracked.
  for (const char* key : {"www.amazon.com/url", "www.apple.com/jp", "www.apple.com/hk"}) {
    const auto entry = serviceEntry(list, key);
    EXPECT_EQ(entry["tracking"]["state"].asString(), "unsupported") << key;
    EXPECT_NE(entry["tracking"]["reason"].asString().value_or("").find("sign in"),
              std::string::npos)
        << key;
    EXPECT_EQ(entry["supported"].asBool(), false) << key;
  }
  // Without configured keys a module that needs them says so.
  const auto ups = serviceEntry(list, "www.ups.com")["tracking"];
  if (ups["state"].asString() == "keys") EXPECT_EQ(ups["configured"].asBool(), false);

  const auto text = runCli({"services", "amazon"});
  EXPECT_EQ(text.exitCode, 0) << text.err;
  EXPECT_NE(text.out.find("not supported: Amazon shows an order only after you sign in"),
            std::string::npos)
      << text.out;
}

TEST(CliServicesTest, AUserModuleReplacesTheShippedOneAndIsNamed) {
  qby::test::writeFile(qby::QBYUserModules::folder() / "my-dpd.js", kModule);
  const auto entry = serviceEntry(json(runCli({"services", "--json", "dpd"})), "www.dpd.de");
  EXPECT_EQ(entry["tracking"]["state"].asString(), "keyless");
  EXPECT_EQ(entry["tracking"]["userModule"].asString(),
            (qby::QBYUserModules::folder() / "my-dpd.js").string());
  const auto text = runCli({"services", "dpd"});
  EXPECT_NE(text.out.find("[your module my-dpd.js]"), std::string::npos) << text.out;
}

TEST(CliServicesTest, CheckPrintsTheResultsOfASavedAnswer) {
  const auto folder = qby::test::makeTempDir("check");
  const auto module = qby::test::writeFile(folder / "module.js", kModule);
  const auto answer =
      qby::test::writeFile(folder / "answer.json", R"({"state": "out", "text": "With courier"})");

  const RunResult result = runCli({"services", "--check", module.string(), "--answer",
                                   answer.string(), "--number", "ab 12", "--json"});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  const auto report = json(result);
  EXPECT_EQ(report["service"].asString(), "www.dpd.de");
  EXPECT_EQ(report["requests"].toJSON().value_or(""),
            R"([{"method":"GET","url":"https://parcels.example/api/AB12"}])");
  const auto* results = report["results"].arrayPtr();
  ASSERT_TRUE(results && !results->empty());
  const auto& last = results->back();
  EXPECT_EQ(last["status"].asInteger(), 2);
  EXPECT_EQ(last["mobileURL"].asString(), "https://parcels.example/t/AB12");
  EXPECT_EQ(report["finalStatus"].asBool(), true);

  // The plain form prints the results dictionary alone on standard output.
  const RunResult plain = runCli(
      {"services", "--check", module.string(), "--answer", answer.string(), "--status", "502"});
  ASSERT_EQ(plain.exitCode, 0) << plain.err;
  EXPECT_EQ(json(plain)["status"].asInteger(), 0);
  EXPECT_NE(plain.err.find("request: GET https://parcels.example/api/TEST"), std::string::npos)
      << plain.err;
}

TEST(CliServicesTest, CheckRefusesBadModulesAndArguments) {
  const auto folder = qby::test::makeTempDir("check");
  const auto broken = qby::test::writeFile(folder / "broken.js",
                                           "registerService('x.example', {\n  track: ,\n});\n");
  const RunResult refused = runCli({"services", "--check", broken.string()});
  EXPECT_EQ(refused.exitCode, kFailure);
  EXPECT_NE(refused.err.find(broken.string() + ":2:"), std::string::npos) << refused.err;
  EXPECT_EQ(refused.out, "");

  EXPECT_EQ(runCli({"services", "--check", (folder / "missing.js").string()}).exitCode, kUsage);
  EXPECT_EQ(runCli({"services", "--check", broken.string(), "--status", "99"}).exitCode, kUsage);
  EXPECT_EQ(runCli({"services", "--answer", broken.string()}).exitCode, kUsage);
  const RunResult noAnswerFile = runCli(
      {"services", "--check", broken.string(), "--answer", (folder / "missing.json").string()});
  EXPECT_EQ(noAnswerFile.exitCode, kFailure);
}

}  // namespace
}  // namespace porvane::test
