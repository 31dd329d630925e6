// The host's answers for a text that is one number, from the recognition script's number
// tables: any text (what a user pastes) must be answered without a fault, and a guess must
// hold a number of capital letters and digits of an allowed length, the text as its input, and
// best and further services from the tables that do not repeat each other. An input that
// begins with "tables" and a NUL is read as tables instead, which must be refused or, when
// taken, answer every number of every length without a fault (its guesses may name no
// service when its loose guesses name none).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "FuzzSupport.h"
#include "finder/QBYNumberFormats.h"

namespace {

// One format for each check rule, with prefixes, exceptions, inner prefixes and a post.
constexpr const char* kTables = R"({
  "variants": [
    {"length": 18, "prefix": "1Z", "except": [], "classes": "XXXXXXXXXXXXXXXD",
     "best": ["ups"], "more": [], "failed": ["ups"], "post": false,
     "check": {"rule": "mod10", "from": 2, "to": 17, "at": 17, "weights": [1, 2], "lead": ""}},
    {"length": 12, "prefix": "", "except": ["33"], "classes": "DDDDDDDDDDDD",
     "best": ["fedex"], "more": ["canada"], "failed": ["fedex"], "post": false,
     "check": {"rule": "mod11", "from": 0, "to": 11, "at": 11, "weights": [3, 1, 7], "lead": ""}},
    {"length": 20, "prefix": "61", "except": [], "classes": "DDDDDDDDDDDDDDDDDD",
     "best": ["fedex"], "more": ["usps"], "failed": ["fedex"], "post": false,
     "check": {"rule": "gs1", "from": 0, "to": 19, "at": 19, "weights": [], "lead": "92"}},
    {"length": 34, "prefix": "420", "except": [], "classes": "DDDDDDDDDDDDDDDDDDDDDDDDDDDDDDD",
     "inner": {"at": 8, "prefixes": ["92"]}, "innerExcept": {"at": 12, "prefixes": ["92"]},
     "best": ["usps"], "more": [], "failed": ["usps"], "post": false,
     "check": {"rule": "gs1", "from": 8, "to": 33, "at": 33, "weights": [], "lead": ""}},
    {"length": 10, "prefix": "", "except": [], "classes": "DDDDDDDDDD",
     "best": ["dhl"], "more": [], "failed": ["dhl"], "post": false,
     "check": {"rule": "mod7", "from": 0, "to": 9, "at": 9, "weights": [], "lead": ""}},
    {"length": 13, "prefix": "", "except": [], "classes": "LLDDDDDDDDDLL",
     "best": [], "more": [], "failed": [], "post": true,
     "check": {"rule": "s10", "from": 2, "to": 10, "at": 10, "weights": [], "lead": ""}},
    {"length": 15, "prefix": "", "except": [], "classes": "DDDDDDDDDDDDDDX",
     "best": ["dpd"], "more": [], "failed": ["dpd"], "post": false,
     "check": {"rule": "mod3736", "from": 0, "to": 14, "at": 14, "weights": [], "lead": ""}},
    {"length": 15, "prefix": "TBA", "except": [], "classes": "DDDDDDDDDDDD",
     "best": ["amazon"], "more": [], "failed": ["amazon"], "post": false}
  ],
  "postByCountry": {"US": "usps", "GB": "royalmail"},
  "postAlternatives": {"GB": ["parcelforce"]},
  "destinationPosts": ["usps", "royalmail"],
  "shortest": 8, "longest": 40, "looseShortest": 10, "looseLongest": 34,
  "looseKeys": ["ups", "fedex"]
})";

// The lengths a guess may have: the tables' "shortest" to "longest" (taken tables name both).
struct Lengths {
  std::int64_t shortest = -1;
  std::int64_t longest = -1;
};

Lengths lengthsOf(const qby::Value& tables) {
  return {tables["shortest"].asInteger().value_or(-1), tables["longest"].asInteger().value_or(-1)};
}

const qby::Value& fixedTables() {
  static const auto tables = [] {
    auto value = qby::Value::fromJSON(kTables);
    if (!value) qby::fuzz::fail("the fixed tables are no JSON");
    return *value;
  }();
  return tables;
}

const qby::QBYNumberFormats& formats() {
  static const auto made = [] {
    auto parsed = qby::QBYNumberFormats::fromTables(fixedTables());
    if (!parsed) qby::fuzz::fail("the fixed tables were refused");
    return *parsed;
  }();
  return made;
}

// With tables of its own, a guess may name no service (a table whose loose guesses name
// none), as the script's own guess would, and its number may have any length those tables
// allow.
void checkGuess(const qby::QBYNumberFormats& tables, std::string_view text, bool strict,
                Lengths lengths, bool namesServices = true) {
  const auto answer = tables.guessForText(text, strict);
  if (!answer || !*answer) return;
  const auto& guess = **answer;
  const auto number = qby::guessString(guess, qby::QBYGuessNumberKey);
  FUZZ_CHECK(number && std::cmp_greater_equal(number->size(), lengths.shortest) &&
                 std::cmp_less_equal(number->size(), lengths.longest),
             std::string(text));
  FUZZ_CHECK(std::all_of(number->begin(), number->end(),
                         [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z'); }),
             *number);
  FUZZ_CHECK(qby::guessString(guess, qby::QBYGuessInputKey) == std::string(text),
             std::string(text));
  const auto best = qby::bestGuesses(guess);
  const auto more = qby::moreGuesses(guess);
  FUZZ_CHECK(!namesServices || !best.empty() || !more.empty(), std::string(text));
  for (const auto& key : more)
    FUZZ_CHECK(std::find(best.begin(), best.end(), key) == best.end(), key);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qby::fuzz::useTemporaryHome();
  formats();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto split = qby::fuzz::splitAtNul(data, size);
  if (split.head == std::string("tables")) {
    const auto tables = qby::Value::fromJSON(split.rest);
    if (!tables) return 0;
    const auto parsed = qby::QBYNumberFormats::fromTables(*tables);
    if (!parsed) return 0;
    const Lengths lengths = lengthsOf(*tables);
    // Every length a table may name, in digits and in letters.
    for (std::size_t length = 0; length <= 66; ++length) {
      parsed->servicesForNumber(std::string(length, '7'));
      parsed->servicesForNumber(std::string(length, 'Z'));
      checkGuess(*parsed, std::string(length, '9'), false, lengths, false);
    }
    return 0;
  }
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  static const Lengths lengths = lengthsOf(fixedTables());
  checkGuess(formats(), text, true, lengths);
  checkGuess(formats(), text, false, lengths);
  return 0;
}
