// Runs the tracking scripts (Common, Guess when present, Strings, Main and the joined
// Services) in a real script runner whose host functions are test doubles: requests are
// answered from a case's fixture responses, results and final statuses are recorded.
//
// A case folder holds case.json:
//   {"delivery": {...settings...}            one delivery, or
//    "deliveries": [{...}, ...],             a batch of several;
//    "responses": [{"method", "url", "status", "file" | "text", "offline",
//                   "postData" (optional, must match), "headers" (optional, must be sent)}],
//    "credentials": {"<service key>": {"<type>": "<value>"}},
//    "scripts": ["extra.js"],                loaded from the case folder after the services
//    "now": "2024-04-15T10:00:00Z",          the reference time Q.now() answers
//    "logLevel": 0, "commonFilesVersion": 222}
// and expected.json: {"results": [...], "finalStatus": [...], "alerts": [...] (optional)}.
//
// Test code only. Run one case at a time from the test thread.
#pragma once

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace qby::test {

struct CarrierRun {
  nlohmann::json results = nlohmann::json::array();
  nlohmann::json finalStatus = nlohmann::json::array();
  std::vector<std::string> alerts;
  // Problems of the run itself: unexpected or unused requests, script errors, a batch that
  // never ended.
  std::vector<std::string> problems;
};

// Runs the case in the folder and collects what the scripts reported.
CarrierRun runCarrierCase(const std::filesystem::path& folder);

// Runs JavaScript in a context with the tracking scripts loaded (and the fixed reference
// time) and answers the JSON text of its value, or the script error as "error: …".
std::string evaluateWithTrackingScripts(const std::string& code);

// Every folder under tests/data/carriers with a case.json, as "<carrier>/<case>", sorted.
std::vector<std::string> carrierCaseNames();

std::filesystem::path carrierCaseFolder(const std::string& name);

// Sets the time zone and locale the carrier tests run under (not English, not UTC), before
// any script context exists.
void useCarrierTestEnvironment();

}  // namespace qby::test
