// The finder's candidate search over arbitrary text: for every candidate pattern the fast
// search (ASCII bytes, or the text converted once to UTF-16, with its own scanner for the run
// patterns) must answer exactly what the regular-expression engine answers over the whole
// text, and every candidate must be UTF-8. An ASCII input is searched a second time with a
// character from beyond ASCII added, so both paths see every input.
//
// The full finder also runs its recognition scripts in JavaScriptCore; only the search runs
// here, since the script calls are not part of reading the text.
#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "finder/QBYCandidateSearch.h"
#include "finder/QBYDeliveriesFinder.h"

namespace {

std::string joined(const std::vector<std::string>& candidates) {
  std::string out;
  for (const auto& candidate : candidates) out += "[" + candidate + "]";
  return out;
}

// Whether the text has a stretch of 20 or more letters, digits, blanks, dots and dashes: the
// only places where the run patterns' nested repetition can make the engine give up.
bool hasLongRun(std::string_view text) {
  std::size_t run = 0;
  for (const char c : text) {
    const bool part = std::isalnum(static_cast<unsigned char>(c)) || c == ' ' || c == '-' ||
                      c == '.' || static_cast<unsigned char>(c) >= 0x80;
    run = part ? run + 1 : 0;
    if (run >= 20) return true;
  }
  return false;
}

bool isSubsequence(const std::vector<std::string>& part, const std::vector<std::string>& whole) {
  auto next = whole.begin();
  for (const auto& candidate : part) {
    next = std::find(next, whole.end(), candidate);
    if (next == whole.end()) return false;
    ++next;
  }
  return true;
}

void checkText(const std::string& text) {
  const qby::QBYCandidateSearch search(text);
  for (const auto& step : qby::QBYDeliveriesFinder::candidatePatterns()) {
    const auto fast = search.candidates(step);
    const auto engine = search.candidatesByEngine(step);
    if (hasLongRun(text)) {
      // The engine gives up on a line where nested repetition backtracks past its step limit;
      // the scanner does not backtrack and finds what follows. What the engine found must
      // still be found, in order.
      FUZZ_CHECK(isSubsequence(engine, fast), std::string(step.pattern) +
                                                  "\nfast:   " + joined(fast) +
                                                  "\nengine: " + joined(engine) + "\nin: " + text);
    } else {
      FUZZ_CHECK(fast == engine, std::string(step.pattern) + "\nfast:   " + joined(fast) +
                                     "\nengine: " + joined(engine) + "\nin: " + text);
    }
    for (const auto& candidate : fast) FUZZ_CHECK(qby::fuzz::isValidUTF8(candidate), candidate);

    // Each candidate once, where it first turns up.
    std::vector<std::string> firsts;
    std::set<std::string> seen;
    for (const auto& candidate : fast)
      if (seen.insert(candidate).second) firsts.push_back(candidate);
    const auto distinct = search.distinctCandidates(step);
    FUZZ_CHECK(distinct == firsts, joined(distinct) + "\nexpected: " + joined(firsts));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  checkText(text);
  const bool ascii = std::all_of(text.begin(), text.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (ascii) checkText(text + "\xC2\xA0");
  return 0;
}
