// The search for candidates in a pasted or shared text: every match of a candidate pattern,
// found fast enough that a text of megabytes costs little beside the script calls for the
// candidates it holds. An ASCII text is searched as it is, any other converted once for all
// patterns; compiled patterns are kept for the life of the process; the engine is tried only where
// a match can begin; and the two run patterns (letter-and-digit runs, digit runs) are matched by a
// scanner of their own that answers exactly what the engine answers, in one pass over a
// classification of the text's units that both share.
//
// Internal to the finder. A search is immutable once made; any thread may use it.
#pragma once

#include <unicode/regex.h>
#include <unicode/unistr.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "finder/QBYDeliveriesFinder.h"
#include "util/ICUText.h"

namespace qby {

class QBYCandidateSearch {
 public:
  // The text must outlive the search. An ASCII text is searched in its own bytes, without a
  // copy; any other is converted to UTF-16 once.
  explicit QBYCandidateSearch(std::string_view text);
  ~QBYCandidateSearch();
  QBYCandidateSearch(const QBYCandidateSearch&) = delete;
  QBYCandidateSearch& operator=(const QBYCandidateSearch&) = delete;

  // The text as the engine sees it (invalid UTF-8 turned into U+FFFD); made on first use for
  // an ASCII text.
  const icu::UnicodeString& text() const;

  // The step's capture group of every match, in text order, leaving out those that fail the
  // step's length and digit conditions (which look at the candidate trimmed of white space).
  std::vector<std::string> candidates(const QBYDeliveriesFinder::CandidatePattern& step) const;

  // The same, each candidate once: the first of equal candidates, in text order.
  std::vector<std::string> distinctCandidates(
      const QBYDeliveriesFinder::CandidatePattern& step) const;

  // Tells whether the candidate at [start, end) of a byte view of the text is kept. The view
  // has one byte per code unit: ASCII as it is (in the text's case, or folded to lower case
  // for a text that is not ASCII), 0x80 or more for anything else.
  using Keep = std::function<bool(std::string_view bytes, std::size_t start, std::size_t end)>;
  // The same, leaving out the occurrences that keep turns down: a candidate turned down in one
  // place is still found where it stands again, as the first of its value kept.
  std::vector<std::string> distinctCandidates(const QBYDeliveriesFinder::CandidatePattern& step,
                                              const Keep& keep) const;

  // The same as candidates with the regular-expression engine alone, over the UTF-16 text with
  // all positions tried: what candidates must answer. For tests and the benchmark.
  std::vector<std::string> candidatesByEngine(
      const QBYDeliveriesFinder::CandidatePattern& step) const;

  // The compiled form of a candidate pattern with its case rule, or null for any other.
  static const icutext::Pattern* compiledCandidatePattern(std::string_view pattern,
                                                          bool ignoringCase);

  // Calls found for every match of the matcher, which must be one over this search's text (as
  // text() or as the ASCII bytes), leftmost first, going on after each match. With starts, the
  // engine is tried only where the text begins with one of them (lower-case ASCII, compared
  // ignoring case as the engine folds it). A match attempt that hits the time limit gives up
  // on the rest of that line. found may set stop.
  void enumerateMatches(icu::RegexMatcher& matcher, const std::vector<std::string>& starts,
                        const std::function<void(bool& stop)>& found) const;

  // The units' classes the run scanners read; known only to the search's own code.
  struct UnitClasses;

 private:
  struct Range {
    int32_t start;
    int32_t end;
  };
  bool meetsConditions(const QBYDeliveriesFinder::CandidatePattern& step, Range range) const;
  std::string textOf(Range range) const;
  // The candidates' ranges in text order, by the scanner where it knows the step.
  void forEachCandidate(const QBYDeliveriesFinder::CandidatePattern& step,
                        const std::function<void(Range)>& found) const;
  void engineCandidates(icu::RegexMatcher& matcher,
                        const QBYDeliveriesFinder::CandidatePattern& step,
                        const std::vector<std::string>& starts,
                        const std::function<void(Range)>& found) const;
  // One byte for every UTF-16 unit of the text, so that byte searches give text positions:
  // the text itself when it is ASCII, else its folded view.
  std::string_view bytes() const { return ascii_ ? *ascii_ : std::string_view(folded_); }
  // The classes of the text's units that the run steps look at, made on first use.
  const UnitClasses& unitClasses() const;

  std::optional<std::string_view> ascii_;
  // For a text that is not ASCII: the text in UTF-16, and one byte for every unit of it,
  // ASCII folded to lower case as the engine folds it when it ignores case, 0x80 for the rest.
  mutable icu::UnicodeString text_;
  std::string folded_;
  // Made once for an ASCII text, when text() is first asked for.
  mutable std::once_flag textOnce_;
  mutable std::unique_ptr<const UnitClasses> classes_;
  mutable std::once_flag classesOnce_;
  int32_t length_ = 0;
};

}  // namespace qby
