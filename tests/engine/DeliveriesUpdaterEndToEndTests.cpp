// The shipped tracking scripts through the real updater and HTTP stack: carrier answers from
// the fixture cases of tests/data/carriers, served on 127.0.0.1 behind the fixture rewrite.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "DeliveriesUpdaterFixture.h"
#include "engine/QBYPrivateToken.h"

namespace qby::test {
namespace {

namespace fs = std::filesystem;

std::string readText(const fs::path& path) {
  std::ifstream stream(path, std::ios::binary);
  std::ostringstream text;
  text << stream.rdbuf();
  return text.str();
}

std::string contentTypeFor(const fs::path& file) {
  const std::string extension = file.extension().string();
  if (extension == ".json") return "application/json";
  if (extension == ".xml") return "application/xml; charset=utf-8";
  if (extension == ".html") return "text/html; charset=utf-8";
  return "text/plain; charset=utf-8";
}

// One carrier case: the delivery it tracks and what its script must report at the end.
struct CarrierCase {
  std::string name;
  Dictionary delivery;
  Dictionary expected;  // the last results the case expects
};

class EndToEndTest : public UpdaterTest {
 protected:
  void SetUp() override {
    UpdaterTest::SetUp();
    // The real scripts: the shipped common scripts and the joined services of this build.
    resourceDir_ = makeTempDir("scripts-");
    fs::create_directories(resourceDir_ / "scripts");
    const fs::path source = PORVANE_SCRIPTS_SOURCE_DIR;
    for (const char* name : {"Common.js", "Guess.js", "Strings.js", "Main.js"}) {
      if (fs::exists(source / name)) fs::copy_file(source / name, resourceDir_ / "scripts" / name);
    }
    fs::copy_file(PORVANE_SERVICES_SCRIPT, resourceDir_ / "scripts" / "Services.js");
    setenv("PORVANE_FIXTURE_SERVER", server_->url("").c_str(), 1);
  }

  void TearDown() override {
    UpdaterTest::TearDown();
    unsetenv("PORVANE_FIXTURE_SERVER");
  }

  // Serves the case's answers and configures its credentials; the delivery gets its own uuid.
  CarrierCase load(const std::string& name) {
    const fs::path folder = fs::path(PORVANE_TEST_DATA_DIR) / "carriers" / name;
    auto parsed = Value::fromJSON(readText(folder / "case.json"));
    auto expected = Value::fromJSON(readText(folder / "expected.json"));
    EXPECT_TRUE(parsed && parsed->isDictionary()) << name;
    EXPECT_TRUE(expected && expected->isDictionary()) << name;
    CarrierCase result{name, {}, {}};
    if (!parsed || !expected) return result;

    const Array* responses = (*parsed)["responses"].arrayPtr();
    EXPECT_NE(responses, nullptr) << name;
    for (const Value& response : responses ? *responses : Array{}) {
      const std::string url = response["url"].asString().value_or("");
      GUri* uri = g_uri_parse(url.c_str(), G_URI_FLAGS_ENCODED, nullptr);
      EXPECT_NE(uri, nullptr) << url;
      if (!uri) continue;
      std::string path = "/" + std::string(g_uri_get_host(uri)) + g_uri_get_path(uri);
      if (const char* query = g_uri_get_query(uri)) path += "?" + std::string(query);
      g_uri_unref(uri);
      FixtureServer::Response answer;
      answer.status = static_cast<unsigned>(response["status"].asInteger().value_or(200));
      if (auto file = response["file"].asString()) {
        answer.body = readText(folder / *file);
        answer.contentType = contentTypeFor(*file);
      } else {
        answer.body = response["text"].asString().value_or("");
      }
      server_->route(path, std::move(answer));
    }
    if (const Dictionary* credentials = (*parsed)["credentials"].dictionaryPtr()) {
      for (const auto& [service, types] : *credentials) {
        if (!types.dictionaryPtr()) continue;
        for (const auto& [type, value] : *types.dictionaryPtr()) {
          const std::string text = value.asString().value_or("");
          setenv(QBYPrivateToken::environmentVariableForCredential(service, type).c_str(),
                 text.c_str(), 1);
          // PostNord's key is the built-in token of its API.
          if (type == "apiKey" && (service == "www.posten.se" || service == "www.postdanmark.dk"))
            setenv(QBYPrivateToken::environmentVariableForID(QBYPrivateToken::kPostNordAPI).c_str(),
                   text.c_str(), 1);
        }
      }
    }
    result.delivery = *(*parsed)["delivery"].dictionaryPtr();
    result.delivery["uuid"] = Value(name);
    if (const Array* results = (*expected)["results"].arrayPtr(); results && !results->empty())
      if (const Dictionary* last = results->back().dictionaryPtr()) result.expected = *last;
    return result;
  }
};

std::vector<std::string> itemNames(const Value& items) {
  std::vector<std::string> names;
  if (const Array* list = items.arrayPtr())
    for (const Value& item : *list) names.push_back(item["itemName"].asString().value_or(""));
  return names;
}

TEST_F(EndToEndTest, TwelveDeliveriesOfTwelveCarriersRunInBatchesOfFiveFiveAndTwo) {
  const std::vector<std::string> names = {
      "ups/delivered",       "fedex/delivered",      "usps/delivered",    "dhl/delivered",
      "royalmail/delivered", "canadapost/delivered", "auspost/delivered", "postnl/delivered",
      "laposte/delivered",   "dhlde/delivered",      "dpd/in-transit",    "postnord/delivered"};
  std::vector<CarrierCase> cases;
  Array deliveries;
  for (const auto& name : names) {
    cases.push_back(load(name));
    deliveries.push_back(Value(cases.back().delivery));
  }
  ASSERT_FALSE(HasFailure());

  makeUpdater();
  ASSERT_TRUE(run(deliveries));
  settle();

  // One completion for the whole run, and it succeeded.
  ASSERT_EQ(delegate_->completions(), std::vector<bool>{true});
  EXPECT_TRUE(delegate_->exceptions().empty());

  // Final results (progress reports aside) arrive batch by batch: the first five deliveries,
  // then the next five, then the last two, each group complete before the next begins.
  std::vector<std::string> order;
  for (const Dictionary& results : delegate_->results())
    if (results["updating"].asBool() != std::optional<bool>(true))
      order.push_back(results["uuid"].asString().value_or(""));
  ASSERT_EQ(order.size(), names.size());
  const auto group = [&](std::size_t from, std::size_t to) {
    return std::set<std::string>(order.begin() + from, order.begin() + to);
  };
  EXPECT_EQ(group(0, 5), std::set<std::string>(names.begin(), names.begin() + 5));
  EXPECT_EQ(group(5, 10), std::set<std::string>(names.begin() + 5, names.begin() + 10));
  EXPECT_EQ(group(10, 12), std::set<std::string>(names.begin() + 10, names.end()));

  // Every carrier's answer went through the rewrite and the real script read it as its
  // fixture case says: tracking data found, with the same items.
  for (const CarrierCase& carrierCase : cases) {
    SCOPED_TRACE(carrierCase.name);
    const Dictionary results = delegate_->resultFor(carrierCase.name);
    EXPECT_EQ(results["hash"], carrierCase.delivery["hash"]);
    EXPECT_EQ(results["status"].asInteger(), carrierCase.expected["status"].asInteger());
    EXPECT_GE(results["status"].asInteger().value_or(0), 2);
    EXPECT_EQ(itemNames(results["items"]), itemNames(carrierCase.expected["items"]));
    EXPECT_EQ(results["url"], carrierCase.expected["url"]);
  }
  // Every request went to the fixture server, none beside it.
  EXPECT_GE(server_->seen().size(), names.size());
}

}  // namespace
}  // namespace qby::test
