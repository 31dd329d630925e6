// Tracking modules against answers their carriers never meant to send: each module's own
// fixture answers with one value at a time replaced by null, a list, an object, a text or a
// number, cut short at many places, and a handful of bare JSON and HTML bodies. Whatever the
// answer, a delivery must end with exactly one result of a known status that carries the
// carrier's page, the batch with one final status, and no module may throw or stop without
// a result: a module that does fails the user's update for a reason nobody can see.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "CarrierHarness.h"

namespace qby::test {
namespace {

using nlohmann::json;

std::string readText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Every fixture answer of the carrier's cases, with the delivery it was made for.
json fixtureAnswers(const std::string& carrier) {
  json answers = json::array();
  for (const auto& name : carrierCaseNames()) {
    if (name.rfind(carrier + "/", 0) != 0) continue;
    const auto folder = carrierCaseFolder(name);
    const json settings = json::parse(readText(folder / "case.json"), nullptr, false);
    if (!settings.is_object() || !settings.contains("delivery")) continue;
    for (const auto& response : settings.value("responses", json::array())) {
      if (!response.contains("file")) continue;
      answers.push_back({{"delivery", settings["delivery"]},
                         {"text", readText(folder / response["file"].get<std::string>())}});
    }
  }
  return answers;
}

// Runs every answer and its variations through the module and lists what went wrong.
constexpr const char* kOddAnswers = R"JS(
  var ODD = [null, [], {}, '', 'x', 0, -1, true, [null], [{}], {'a': null}];
  var BODIES = ['', ' ', 'null', '[]', '{}', '"text"', '42', '[[], {}]',
      '{"result": "x", "data": "x", "module": [null], "Packages": 7, "results": [[]]}',
      '<html><body><table><tr><td>x</td></tr></table></body></html>'];
  var problems = [];

  function variations(text) {
    var found = [];
    var value;
    try { value = JSON.parse(text); } catch (e) { value = undefined; }
    if (value !== undefined && value !== null && typeof value === 'object') {
      var walk = function(node, path) {
        Object.keys(node).forEach(function(key) {
          var here = path.concat([key]);
          ODD.forEach(function(odd) {
            var copy = JSON.parse(text);
            var parent = copy;
            for (var i = 0; i < here.length - 1; i++) parent = parent[here[i]];
            parent[here[here.length - 1]] = odd;
            found.push(JSON.stringify(copy));
          });
          if (node[key] && typeof node[key] === 'object') walk(node[key], here);
        });
      };
      walk(value, []);
    }
    var step = Math.max(1, Math.floor(text.length / 40));
    for (var cut = 0; cut < text.length; cut += step) found.push(text.slice(0, cut));
    return found;
  }

  function run(delivery, text, status) {
    var queue = [], results = [], finals = [], alerts = [];
    var saved = {requestURL: requestURL, updateDelivery: updateDelivery,
                 finalStatus: finalStatus, alert: alert};
    requestURL = function(url, post, options, number) { queue.push(number); };
    updateDelivery = function(results_) { results.push(results_); };
    finalStatus = function(success) { finals.push(success); };
    alert = function(message) { alerts.push(String(message)); };
    try {
      updateDeliveries([delivery]);
      for (var guard = 0; queue.length && guard < 20; guard++)
        loadResponse(queue.shift(), text, status, false);
    } catch (error) {
      alerts.push('thrown: ' + error);
    } finally {
      requestURL = saved.requestURL;
      updateDelivery = saved.updateDelivery;
      finalStatus = saved.finalStatus;
      alert = saved.alert;
    }
    var wrong = [];
    var finished = results.filter(function(entry) { return !entry.updating; });
    if (finished.length !== 1) wrong.push(finished.length + ' results');
    if (finals.length !== 1) wrong.push(finals.length + ' final statuses');
    if (queue.length) wrong.push('requests never answered');
    var result = finished[0] || {};
    if ([0, 1, 2].indexOf(result.status) < 0) wrong.push('status ' + result.status);
    if (typeof result.url !== 'string' || result.url !== result.mobileURL) wrong.push('no page');
    if (!Array.isArray(result.items) || !result.items.length) wrong.push('no items');
    (result.items || []).forEach(function(item) {
      if (!item || typeof item.itemName !== 'string' || typeof item.icon !== 'string')
        wrong.push('item without name or icon');
    });
    alerts.forEach(function(message) { wrong.push('alert: ' + message); });
    if (wrong.length && problems.length < 12)
      problems.push(delivery.from + ' [' + status + '] ' + JSON.stringify(text).slice(0, 120) +
                    ': ' + wrong.join(', '));
    return wrong.length === 0;
  }

  var runs = 0;
  ANSWERS.forEach(function(answer) {
    variations(answer.text).concat(BODIES).forEach(function(text) {
      [200, 404].forEach(function(status) {
        run(answer.delivery, text, status);
        runs++;
      });
    });
  });
  return {runs: runs, problems: problems};
)JS";

class CarrierOddAnswers : public testing::TestWithParam<std::string> {
 protected:
  static void SetUpTestSuite() { useCarrierTestEnvironment(); }
};

TEST_P(CarrierOddAnswers, EveryDeliveryEndsWithOneResult) {
  const json answers = fixtureAnswers(GetParam());
  ASSERT_FALSE(answers.empty()) << "No fixture answers for " << GetParam();
  const std::string code = "var ANSWERS = " + answers.dump() + ";\n" + kOddAnswers;
  const json outcome = json::parse(evaluateWithTrackingScripts(code), nullptr, false);
  ASSERT_TRUE(outcome.is_object()) << evaluateWithTrackingScripts(code).substr(0, 2000);
  EXPECT_GT(outcome.value("runs", 0), 20);
  EXPECT_EQ(outcome["problems"], json::array()) << outcome["problems"].dump(2);
}

// The modules whose carriers answer JSON or HTML without any key.
INSTANTIATE_TEST_SUITE_P(Carriers, CarrierOddAnswers,
                         testing::Values("4px", "amazon", "amazonlogistics", "cainiao", "canpar",
                                         "cjlogistics", "epost", "gofo", "japanpost", "nzpost",
                                         "ontrac", "purolator", "sagawa", "singpost", "speedee",
                                         "tntaustralia", "yamato"));

}  // namespace
}  // namespace qby::test
