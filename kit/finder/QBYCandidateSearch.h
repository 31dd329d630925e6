// The search for candidates in a pasted or shared text: every match of a candidate pattern,
// found fast enough that a text of megabytes costs little beside the script calls for the
// candidates it holds. The text is converted once for all patterns; compiled patterns are
// kept for the life of the process; the engine is tried only where a match can begin; and the
// two run patterns (letter-and-digit runs, digit runs) are matched by a scanner of their own
// that answers exactly what the engine answers, in one pass.
//
// Internal to the finder. A search is immutable once made; any thread may use it.
#pragma once

#include <unicode/regex.h>
#include <unicode/unistr.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "finder/QBYDeliveriesFinder.h"
#include "util/ICUText.h"

namespace qby {

class QBYCandidateSearch {
 public:
  explicit QBYCandidateSearch(std::string_view text);

  // The text as the engine sees it (invalid UTF-8 turned into U+FFFD).
  const icu::UnicodeString& text() const { return text_; }

  // The step's capture group of every match, in text order, leaving out those that fail the
  // step's length and digit conditions (which look at the candidate trimmed of white space).
  std::vector<std::string> candidates(const QBYDeliveriesFinder::CandidatePattern& step) const;

  // The same with the regular-expression engine alone (all positions tried): what candidates
  // must answer. For tests and the benchmark.
  std::vector<std::string> candidatesByEngine(
      const QBYDeliveriesFinder::CandidatePattern& step) const;

  // The compiled form of a candidate pattern with its case rule, or null for any other.
  static const icutext::Pattern* compiledCandidatePattern(std::string_view pattern,
                                                          bool ignoringCase);

  // Calls found for every match of the matcher, which must be one over text(), leftmost first,
  // going on after each match. With starts, the engine is tried only where the text begins
  // with one of them (lower-case ASCII, compared ignoring case as the engine folds it). A
  // match attempt that hits the time limit gives up on the rest of that line. found may set
  // stop.
  void enumerateMatches(icu::RegexMatcher& matcher, const std::vector<std::string>& starts,
                        const std::function<void(bool& stop)>& found) const;

 private:
  struct Range {
    int32_t start;
    int32_t end;
  };
  bool meetsConditions(const QBYDeliveriesFinder::CandidatePattern& step, Range range) const;
  std::string textOf(Range range) const;
  std::vector<std::string> engineCandidates(const QBYDeliveriesFinder::CandidatePattern& step,
                                            const std::vector<std::string>& starts) const;

  icu::UnicodeString text_;
  // One byte for every UTF-16 unit of the text, so that byte searches give text positions:
  // ASCII folded to lower case as the engine folds it when it ignores case, 0x80 for the rest.
  std::string folded_;
};

}  // namespace qby
