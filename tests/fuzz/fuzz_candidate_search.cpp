// The finder's candidate search over arbitrary text: for every candidate pattern the fast
// search (ASCII bytes, or the text converted once to UTF-16, with its own scanner for the run
// patterns) must answer exactly what the regular-expression engine answers over the whole
// text, and every candidate must be UTF-8. An ASCII input is searched a second time with a
// character from beyond ASCII added, so both paths see every input.
//
// The engine tries every pattern at every position and costs many times the search itself,
// so it checks a fixed sample of the inputs: every short one (where most of the patterns'
// edge cases fit) and one in eight of the rest, chosen by a hash of the bytes, so that a saved
// input is checked the same way when it is run again. Every input still goes through the
// search and its own invariants: candidates are UTF-8 and, for a UTF-8 text, pieces of it, and
// the distinct candidates are the first of each.
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

// Inputs this long or shorter are always compared with the engine; longer ones when their
// hash falls in the sample.
constexpr std::size_t kAlwaysComparedLength = 64;
constexpr std::uint64_t kComparedOneIn = 8;

// FNV-1a: the same answer for the same bytes in every run.
std::uint64_t hashOf(std::string_view bytes) {
  std::uint64_t hash = 14695981039346656037ull;
  for (const char c : bytes) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211ull;
  }
  return hash;
}

bool comparedWithEngine(std::string_view input) {
  return input.size() <= kAlwaysComparedLength || hashOf(input) % kComparedOneIn == 0;
}

void checkText(const std::string& text, bool withEngine) {
  const qby::QBYCandidateSearch search(text);
  const bool utf8 = qby::fuzz::isValidUTF8(text);
  for (const auto& step : qby::QBYDeliveriesFinder::candidatePatterns()) {
    const auto fast = search.candidates(step);
    for (const auto& candidate : fast) {
      FUZZ_CHECK(qby::fuzz::isValidUTF8(candidate), candidate);
      // Invalid UTF-8 reaches the engine as U+FFFD, so only a valid text holds its candidates.
      if (utf8) FUZZ_CHECK(text.find(candidate) != std::string::npos, candidate + "\nin: " + text);
    }

    // Each candidate once, where it first turns up.
    std::vector<std::string> firsts;
    std::set<std::string> seen;
    for (const auto& candidate : fast)
      if (seen.insert(candidate).second) firsts.push_back(candidate);
    const auto distinct = search.distinctCandidates(step);
    FUZZ_CHECK(distinct == firsts, joined(distinct) + "\nexpected: " + joined(firsts));

    if (!withEngine) continue;
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
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const bool withEngine = comparedWithEngine(text);
  checkText(text, withEngine);
  const bool ascii = std::all_of(text.begin(), text.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (ascii) checkText(text + "\xC2\xA0", withEngine);
  return 0;
}
