#include "finder/QBYCandidateSearch.h"

#include <unicode/uchar.h>
#include <unicode/uniset.h>

#include <string.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>

#include "util/CharacterSet.h"

namespace qby {

namespace {

// A single match attempt that runs longer than this many engine steps (roughly milliseconds)
// is abandoned: nested repetitions can backtrack for ever over long runs of capitals.
constexpr int32_t kMatchTimeLimit = 200;

struct CompiledStep {
  std::string_view pattern;
  bool ignoreCase;
  std::unique_ptr<icutext::Pattern> compiled;
};

const std::vector<CompiledStep>& compiledSteps() {
  static const std::vector<CompiledStep> steps = [] {
    std::vector<CompiledStep> list;
    for (const auto& step : QBYDeliveriesFinder::candidatePatterns()) {
      uint32_t flags = UREGEX_MULTILINE;
      if (step.ignoreCase) flags |= UREGEX_CASE_INSENSITIVE;
      list.push_back(
          {step.pattern, step.ignoreCase, std::make_unique<icutext::Pattern>(step.pattern, flags)});
    }
    return list;
  }();
  return steps;
}

// The byte that stands for a UTF-16 unit in the folded view of a text: ASCII folded to lower
// case, the Kelvin sign and the long s as the "k" and "s" the engine folds them to, and 0x80
// for everything else.
constexpr std::array<char, 0x80> kFoldedASCII = [] {
  std::array<char, 0x80> table{};
  for (int c = 0; c < 0x80; ++c) table[c] = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  return table;
}();
char foldedByte(char16_t c) {
  if (c < 0x80) return kFoldedASCII[c];
  if (c == 0x212A) return 'k';
  if (c == 0x017F) return 's';
  return static_cast<char>(0x80);
}

// The positions where a text begins with one of a few lower-case ASCII words, ignoring case:
// a byte search for each word in the folded view, remembering for each word where it next
// occurs, since the positions asked for only grow.
class StartFinder {
 public:
  StartFinder(std::string_view folded, const std::vector<std::string>& starts) : folded_(folded) {
    for (const auto& start : starts)
      if (!start.empty()) words_.push_back({start, kUnknown});
  }

  // The first such position at or after from, or -1.
  int32_t next(int32_t from) {
    from = std::max(from, 0);
    int32_t first = -1;
    for (auto& word : words_) {
      if (word.next != kNone && word.next < from) word.next = find(word.text, from);
      if (word.next != kNone && (first < 0 || word.next < first)) first = word.next;
    }
    return first;
  }

 private:
  static constexpr int32_t kUnknown = std::numeric_limits<int32_t>::min();
  static constexpr int32_t kNone = -1;

  int32_t find(std::string_view word, int32_t from) const {
    if (static_cast<std::size_t>(from) >= folded_.size()) return kNone;
    const void* found =
        memmem(folded_.data() + from, folded_.size() - static_cast<std::size_t>(from), word.data(),
               word.size());
    return found ? static_cast<int32_t>(static_cast<const char*>(found) - folded_.data()) : kNone;
  }

  struct Word {
    std::string_view text;
    int32_t next;
  };
  std::string_view folded_;
  std::vector<Word> words_;
};

// The run patterns: a blank, ">", "#" or a line start, then runs of at least two characters of
// one ASCII class joined by single hyphens, dots or blanks (at least two runs, which a run of
// four or more makes by itself), then white space, ".", ",", "?", "<" or a line end.
struct RunPattern {
  std::string_view pattern;
  bool capitals;  // the class holds A-Z beside 0-9
};
constexpr RunPattern kRunPatterns[] = {
    {R"((^|\s|>|#)([0-9A-Z]{2,}([-. ]?[0-9A-Z]{2,})+)(\s|\.|,|\?|<|$))", true},
    {R"((^|\s|>|#)([0-9]{2,}([-. ]?[0-9]{2,})+)(\s|\.|,|\?|<|$))", false},
};
constexpr int32_t kRunGroup = 2;

// The high bit of every 16-bit lane of the word that holds a code unit in [low, high], both
// below 0x80. No subtraction borrows across lanes, as every lane is at least 0x8000 when it
// runs; lanes of 0x8000 and above are masked off, the others lie above both bounds.
std::uint64_t unitsInRange(std::uint64_t word, unsigned low, unsigned high) {
  constexpr std::uint64_t kOnes = 0x0001000100010001;
  constexpr std::uint64_t kHighBits = 0x8000800080008000;
  const std::uint64_t raised = word | kHighBits;
  return (raised - kOnes * low) & ~(raised - kOnes * (high + 1)) & ~word & kHighBits;
}

// Matches a run pattern the way the engine does, in one pass and without backtracking. The
// engine's greedy repetitions try the longest chain of runs first and then shorter ones, and a
// match can only end where a run ends, so its match is the one that ends at the last run end
// of the chain that the end condition accepts.
class RunScanner {
 public:
  struct Match {
    int32_t start;     // of the whole match
    int32_t end;       // of the whole match, after the end character it took
    int32_t runStart;  // of the runs (the candidate)
    int32_t runEnd;
  };

  RunScanner(const icu::UnicodeString& text, bool capitals)
      : text_(text.getBuffer()), length_(text.length()), capitals_(capitals) {
    for (int c = '0'; c <= '9'; ++c) inClass_[c] = true;
    if (capitals)
      for (int c = 'A'; c <= 'Z'; ++c) inClass_[c] = true;
  }

  // The first match that begins at or after from.
  std::optional<Match> next(int32_t from) const {
    int32_t at = std::max(from, 0);
    while (auto pair = nextPair(at)) {
      const int32_t runStart = *pair;
      const int32_t runEnd = this->runEnd(runStart);
      // Nothing inside a run can begin a match; a run that began before from is not ours.
      if (runStart > 0 && inClass(runStart - 1)) {
        at = runEnd;
        continue;
      }
      // The engine tries the earlier start first: the character before the run, when it is
      // white space, ">" or "#"; else the run itself, when it begins a line.
      std::optional<int32_t> start;
      if (runStart - 1 >= from && isLead(runStart - 1)) {
        start = runStart - 1;
      } else if (runStart == 0 || isLineTerminator(runStart - 1)) {
        start = runStart;
      }
      if (start) {
        if (auto end = runsEnd(runStart)) return Match{*start, endAfter(*end), runStart, *end};
      }
      at = runEnd;
    }
    return std::nullopt;
  }

 private:
  bool inClass(int32_t at) const {
    const char16_t c = text_[at];
    return c < 0x80 && inClass_[c];
  }

  // The engine's "\s": Unicode white space.
  bool isSpace(int32_t at) const {
    const char16_t c = text_[at];
    if (c < 0x80) return c == u' ' || (c >= 0x09 && c <= 0x0D);
    return u_hasBinaryProperty(c, UCHAR_WHITE_SPACE);
  }
  // Line terminators as the engine knows them for "^" and "$" in multi-line mode.
  bool isLineTerminator(int32_t at) const {
    const char16_t c = text_[at];
    return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029;
  }
  bool isLead(int32_t at) const { return text_[at] == u'>' || text_[at] == u'#' || isSpace(at); }
  // White space or one of ".,?<" is taken with the match.
  bool takesEnd(int32_t at) const {
    const char16_t c = text_[at];
    return c == u'.' || c == u',' || c == u'?' || c == u'<' || isSpace(at);
  }
  // A match may end before a character it takes, a line end or the text's end.
  bool endsAt(int32_t at) const { return at >= length_ || takesEnd(at) || isLineTerminator(at); }
  int32_t endAfter(int32_t at) const { return at < length_ && takesEnd(at) ? at + 1 : at; }

  int32_t runEnd(int32_t from) const {
    while (from < length_ && inClass(from)) ++from;
    return from;
  }

  // The first position at or after from where two characters of the class follow each other,
  // looked for four code units at a time.
  std::optional<int32_t> nextPair(int32_t from) const {
    int32_t i = from;
    if constexpr (std::endian::native == std::endian::little) {
      for (; i + 4 <= length_; i += 3) {
        std::uint64_t word;
        std::memcpy(&word, text_ + i, sizeof word);
        std::uint64_t members = unitsInRange(word, '0', '9');
        if (capitals_) members |= unitsInRange(word, 'A', 'Z');
        // A member whose next unit is one too; the last unit's pair is looked at next time.
        if (const std::uint64_t pairs = members & (members >> 16))
          return i + std::countr_zero(pairs) / 16;
      }
    }
    for (; i + 1 < length_; ++i)
      if (inClass(i) && inClass(i + 1)) return i;
    return std::nullopt;
  }

  // Where the runs that begin at start end in a match, or nothing.
  std::optional<int32_t> runsEnd(int32_t start) const {
    int32_t end = runEnd(start);
    if (end - start < 2) return std::nullopt;
    std::optional<int32_t> last;
    if (end - start >= 4 && endsAt(end)) last = end;
    while (end < length_) {
      const char16_t separator = text_[end];
      if (separator != u'-' && separator != u'.' && separator != u' ') break;
      const int32_t next = runEnd(end + 1);
      if (next - (end + 1) < 2) break;
      end = next;
      if (endsAt(end)) last = end;
    }
    return last;
  }

  const char16_t* text_;
  int32_t length_;
  bool capitals_;
  std::array<bool, 0x80> inClass_{};
};

const RunPattern* runPatternFor(const QBYDeliveriesFinder::CandidatePattern& step) {
  if (step.ignoreCase || step.group != kRunGroup) return nullptr;
  for (const auto& run : kRunPatterns)
    if (run.pattern == step.pattern) return &run;
  return nullptr;
}

}  // namespace

QBYCandidateSearch::QBYCandidateSearch(std::string_view text) : text_(icutext::unicode(text)) {
  const char16_t* units = text_.getBuffer();
  folded_.resize(static_cast<std::size_t>(text_.length()));
  char* folded = folded_.data();
  for (int32_t i = 0, length = text_.length(); i < length; ++i) folded[i] = foldedByte(units[i]);
}

const icutext::Pattern* QBYCandidateSearch::compiledCandidatePattern(std::string_view pattern,
                                                                     bool ignoringCase) {
  for (const auto& step : compiledSteps())
    if (step.ignoreCase == ignoringCase && step.pattern == pattern) return step.compiled.get();
  return nullptr;
}

void QBYCandidateSearch::enumerateMatches(icu::RegexMatcher& matcher,
                                          const std::vector<std::string>& starts,
                                          const std::function<void(bool& stop)>& found) const {
  const icu::UnicodeString& input = text_;
  UErrorCode status = U_ZERO_ERROR;
  matcher.setTimeLimit(kMatchTimeLimit, status);
  StartFinder startFinder(folded_, starts);
  int32_t from = 0;
  bool stop = false;
  while (!stop && from <= input.length()) {
    status = U_ZERO_ERROR;
    bool matched = false;
    int32_t attempt = from;
    if (starts.empty()) {
      matched = matcher.find(from, status);
    } else {
      // A match can only begin at a start, so the first start that matches is the match find
      // would have answered.
      for (int32_t at = startFinder.next(from); at >= 0 && !matched && U_SUCCESS(status);
           at = startFinder.next(at + 1)) {
        attempt = at;
        matched = matcher.lookingAt(at, status);
      }
    }
    if (!matched) {
      if (status != U_REGEX_TIME_OUT) break;
      // Give up on the stretch that made the engine backtrack, not on the rest of the text.
      from = input.indexOf(static_cast<char16_t>('\n'), attempt);
      if (from < 0) break;
      ++from;
      continue;
    }
    found(stop);
    status = U_ZERO_ERROR;
    const int32_t start = matcher.start(status);
    const int32_t end = matcher.end(status);
    if (U_FAILURE(status)) break;
    from = end > start ? end : end + 1;
  }
}

bool QBYCandidateSearch::meetsConditions(const QBYDeliveriesFinder::CandidatePattern& step,
                                         Range range) const {
  if (step.minimumLength == 0) return true;
  const char16_t* units = text_.getBuffer();
  int32_t start = range.start;
  int32_t end = range.end;
  // Most candidates begin and end with a letter or digit: nothing to trim.
  const auto plain = [](char16_t c) { return c > u' ' && c < 0x7F; };
  if (start == end || !plain(units[start]) || !plain(units[end - 1])) {
    const auto& blanks = CharacterSet::whitespaceAndNewlineCharacterSet().unicodeSet();
    start = std::min(blanks.span(text_, range.start, USET_SPAN_CONTAINED), range.end);
    end = std::max(blanks.spanBack(text_, range.end, USET_SPAN_CONTAINED), start);
  }
  const auto digit = [](char16_t c) { return c >= u'0' && c <= u'9'; };
  const auto minimum = static_cast<int32_t>(step.minimumLength);
  // Every unit counts as a character unless it is half of a surrogate pair.
  if (end - start < minimum || text_.countChar32(start, end - start) < minimum) return false;
  return !step.requiresDigit || std::any_of(units + start, units + end, digit);
}

std::string QBYCandidateSearch::textOf(Range range) const {
  const char16_t* units = text_.getBuffer();
  if (std::all_of(units + range.start, units + range.end, [](char16_t c) { return c < 0x80; }))
    return std::string(units + range.start, units + range.end);
  return icutext::utf8(text_, range.start, range.end);
}

std::vector<std::string> QBYCandidateSearch::candidates(
    const QBYDeliveriesFinder::CandidatePattern& step) const {
  std::vector<std::string> found;
  if (const auto* run = runPatternFor(step)) {
    const RunScanner scanner(text_, run->capitals);
    for (auto match = scanner.next(0); match; match = scanner.next(match->end)) {
      if (meetsConditions(step, {match->runStart, match->runEnd}))
        found.push_back(textOf({match->runStart, match->runEnd}));
    }
    return found;
  }
  return engineCandidates(step, step.starts);
}

std::vector<std::string> QBYCandidateSearch::candidatesByEngine(
    const QBYDeliveriesFinder::CandidatePattern& step) const {
  return engineCandidates(step, {});
}

std::vector<std::string> QBYCandidateSearch::engineCandidates(
    const QBYDeliveriesFinder::CandidatePattern& step,
    const std::vector<std::string>& starts) const {
  std::vector<std::string> found;
  const auto* compiled = compiledCandidatePattern(step.pattern, step.ignoreCase);
  auto matcher = compiled ? compiled->matcher(text_) : nullptr;
  if (!matcher) return found;
  enumerateMatches(*matcher, starts, [&](bool&) {
    UErrorCode status = U_ZERO_ERROR;
    const int32_t start = matcher->start(step.group, status);
    const int32_t end = matcher->end(step.group, status);
    if (U_SUCCESS(status) && start >= 0 && meetsConditions(step, {start, end}))
      found.push_back(textOf({start, end}));
  });
  return found;
}

}  // namespace qby
