// One test per folder under tests/data/carriers/<carrier>/<case>: the case's delivery runs
// through the real tracking scripts against its fixture responses, and what the scripts
// report must equal expected.json. Set PORVANE_UPDATE_EXPECTED=1 to write the actual answer
// into expected.json for a new case, then read it through before keeping it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "CarrierHarness.h"

namespace qby::test {
namespace {

using nlohmann::json;

class CarrierEnvironment : public testing::Environment {
 public:
  void SetUp() override { useCarrierTestEnvironment(); }
};

const auto* const environment = testing::AddGlobalTestEnvironment(new CarrierEnvironment);

json actualAnswer(const CarrierRun& run, bool withAlerts) {
  json answer = {{"results", run.results}, {"finalStatus", run.finalStatus}};
  if (withAlerts) answer["alerts"] = run.alerts;
  return answer;
}

std::string readableDiff(const json& expected, const json& actual) {
  std::ostringstream out;
  for (const auto& operation : json::diff(expected, actual)) {
    const std::string path = operation.value("path", std::string());
    const std::string op = operation.value("op", std::string());
    const json* expectedValue = nullptr;
    try {
      expectedValue = &expected.at(json::json_pointer(path));
    } catch (const json::exception&) {
    }
    out << "  " << op << " " << path << "\n";
    if (expectedValue) out << "    expected: " << expectedValue->dump() << "\n";
    if (operation.contains("value")) out << "    actual:   " << operation["value"].dump() << "\n";
  }
  return out.str();
}

class CarrierCase : public testing::TestWithParam<std::string> {};

TEST_P(CarrierCase, ReportsTheExpectedResults) {
  const auto folder = carrierCaseFolder(GetParam());
  const CarrierRun run = runCarrierCase(folder);

  std::ifstream in(folder / "expected.json");
  json expected;
  if (in) {
    try {
      expected = json::parse(in);
    } catch (const json::exception& error) {
      ADD_FAILURE() << "expected.json is no JSON: " << error.what();
    }
  }
  const bool withAlerts = expected.contains("alerts") || !run.alerts.empty();
  const json actual =
      actualAnswer(run, expected.is_object() ? expected.contains("alerts") : withAlerts);

  if (const char* update = std::getenv("PORVANE_UPDATE_EXPECTED"); update && *update == '1') {
    std::ofstream(folder / "expected.json") << actualAnswer(run, withAlerts).dump(2) << "\n";
  }

  for (const auto& problem : run.problems) ADD_FAILURE() << problem;
  ASSERT_TRUE(expected.is_object()) << "No expected.json; the scripts answered:\n"
                                    << actualAnswer(run, withAlerts).dump(2);
  EXPECT_EQ(expected, actual) << "Differences (expected → actual):\n"
                              << readableDiff(expected, actual) << "Whole answer:\n"
                              << actual.dump(2);
}

std::string caseTestName(const testing::TestParamInfo<std::string>& info) {
  std::string name;
  for (char c : info.param) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(Carriers, CarrierCase, testing::ValuesIn(carrierCaseNames()),
                         caseTestName);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(CarrierCase);

}  // namespace
}  // namespace qby::test
