#include "finder/QBYCandidateSearch.h"

#include <unicode/uchar.h>
#include <unicode/uniset.h>
#include <unicode/utext.h>

#include <string.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

bool isASCII(std::string_view text) {
  // Eight bytes at a time; the high bit of any of them marks a non-ASCII text.
  std::uint64_t high = 0;
  std::size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + i, sizeof word);
    high |= word;
  }
  for (; i < text.size(); ++i) high |= static_cast<unsigned char>(text[i]);
  return (high & 0x8080808080808080) == 0;
}

// An ASCII byte compared with a lower-case word's byte as the engine compares them when it
// ignores case: a letter in either case, anything else as it is. The bytes of a folded view
// are lower case already, so the same compare serves both views.
constexpr bool isLowerLetter(char c) {
  return c >= 'a' && c <= 'z';
}
bool sameIgnoringCase(char text, char word) {
  return isLowerLetter(word) ? (text | 0x20) == word : text == word;
}

// The positions where a text begins with one of a few lower-case ASCII words, ignoring case,
// found in one pass over a byte view for all the words together: sixteen positions at a time
// are kept when they hold a word's first byte and, a word's length further on, its last byte,
// and only those are compared in full.
class StartFinder {
 public:
  StartFinder(std::string_view bytes, const std::vector<std::string>& starts) : bytes_(bytes) {
    for (const auto& start : starts) {
      if (start.empty()) continue;
      words_.push_back(start);
      longest_ = std::max(longest_, start.size());
#if defined(__SSE2__)
      const auto probe = [](char c) {
        return std::pair{_mm_set1_epi8(c), _mm_set1_epi8(isLowerLetter(c) ? 0x20 : 0)};
      };
      const auto [first, firstCase] = probe(start.front());
      const auto [last, lastCase] = probe(start.back());
      probes_.push_back({first, firstCase, last, lastCase, start.size() - 1});
#endif
    }
  }

  // The first such position at or after from, or -1.
  int32_t next(int32_t from) const {
    if (words_.empty()) return -1;
    const std::size_t size = bytes_.size();
    std::size_t at = static_cast<std::size_t>(std::max(from, 0));
#if defined(__SSE2__)
    const char* text = bytes_.data();
    const auto load = [](const char* bytes) {
      return _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
    };
    const auto hits = [&](std::size_t block) {
      const __m128i firsts = load(text + block);
      __m128i any = _mm_setzero_si128();
      for (const auto& probe : probes_) {
        const __m128i lasts = load(text + block + probe.lastOffset);
        const __m128i both =
            _mm_and_si128(_mm_cmpeq_epi8(_mm_or_si128(firsts, probe.firstCase), probe.first),
                          _mm_cmpeq_epi8(_mm_or_si128(lasts, probe.lastCase), probe.last));
        any = _mm_or_si128(any, both);
      }
      return static_cast<std::uint32_t>(_mm_movemask_epi8(any));
    };
    // Two blocks a turn, so that a stretch without a word costs one test per 32 bytes.
    for (; at + 32 + longest_ - 1 <= size; at += 32) {
      for (auto mask = hits(at) | hits(at + 16) << 16; mask != 0; mask &= mask - 1) {
        const std::size_t candidate = at + static_cast<std::size_t>(std::countr_zero(mask));
        if (startsAt(candidate)) return static_cast<int32_t>(candidate);
      }
    }
#endif
    for (; at < size; ++at)
      if (startsAt(at)) return static_cast<int32_t>(at);
    return -1;
  }

 private:
  bool startsAt(std::size_t at) const {
    const std::string_view rest = bytes_.substr(at);
    return std::any_of(words_.begin(), words_.end(), [&](std::string_view word) {
      return rest.size() >= word.size() &&
             std::equal(rest.begin(), rest.begin() + word.size(), word.begin(), sameIgnoringCase);
    });
  }

  std::string_view bytes_;
  std::vector<std::string_view> words_;
  std::size_t longest_ = 0;
#if defined(__SSE2__)
  // A word's first and last byte in every lane, what turns an upper-case letter into them, and
  // how far the last byte lies from the first.
  struct Probe {
    __m128i first;
    __m128i firstCase;
    __m128i last;
    __m128i lastCase;
    std::size_t lastOffset;
  };
  std::vector<Probe> probes_;
#endif
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

// The high bit of every lane (16 bits wide for UTF-16 units, 8 for ASCII bytes) of the word
// that holds a code unit in [low, high], both below 0x80. No subtraction borrows across lanes,
// as every lane has its high bit set when it runs; lanes whose own high bit is set are masked
// off, the others lie above both bounds.
template <typename Unit>
std::uint64_t unitsInRange(std::uint64_t word, unsigned low, unsigned high) {
  constexpr std::uint64_t kOnes = sizeof(Unit) == 1 ? 0x0101010101010101 : 0x0001000100010001;
  constexpr std::uint64_t kHighBits = kOnes << (8 * sizeof(Unit) - 1);
  const std::uint64_t raised = word | kHighBits;
  return (raised - kOnes * low) & ~(raised - kOnes * (high + 1)) & ~word & kHighBits;
}

// Matches a run pattern the way the engine does, in one pass and without backtracking. The
// engine's greedy repetitions try the longest chain of runs first and then shorter ones, and a
// match can only end where a run ends, so its match is the one that ends at the last run end
// of the chain that the end condition accepts. Unit is char16_t for any text, or char for a
// text known to be ASCII, which is scanned a byte a unit.
template <typename Unit>
class RunScanner {
 public:
  struct Match {
    int32_t start;     // of the whole match
    int32_t end;       // of the whole match, after the end character it took
    int32_t runStart;  // of the runs (the candidate)
    int32_t runEnd;
  };

  RunScanner(const Unit* text, int32_t length, bool capitals)
      : text_(text), length_(length), capitals_(capitals) {
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
        if (auto end = runsEnd(runStart, runEnd))
          return Match{*start, endAfter(*end), runStart, *end};
      }
      at = runEnd;
    }
    return std::nullopt;
  }

 private:
  char16_t unit(int32_t at) const {
    if constexpr (sizeof(Unit) == 1) {
      return static_cast<unsigned char>(text_[at]);
    } else {
      return text_[at];
    }
  }

  bool inClass(int32_t at) const {
    const char16_t c = unit(at);
    return c < 0x80 && inClass_[c];
  }

  // The engine's "\s": Unicode white space.
  bool isSpace(int32_t at) const {
    const char16_t c = unit(at);
    if (c < 0x80) return c == u' ' || (c >= 0x09 && c <= 0x0D);
    return u_hasBinaryProperty(c, UCHAR_WHITE_SPACE);
  }
  // Line terminators as the engine knows them for "^" and "$" in multi-line mode.
  bool isLineTerminator(int32_t at) const {
    const char16_t c = unit(at);
    return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029;
  }
  bool isLead(int32_t at) const { return unit(at) == u'>' || unit(at) == u'#' || isSpace(at); }
  // White space or one of ".,?<" is taken with the match.
  bool takesEnd(int32_t at) const {
    const char16_t c = unit(at);
    return c == u'.' || c == u',' || c == u'?' || c == u'<' || isSpace(at);
  }
  // A match may end before a character it takes, a line end or the text's end.
  bool endsAt(int32_t at) const { return at >= length_ || takesEnd(at) || isLineTerminator(at); }
  int32_t endAfter(int32_t at) const { return at < length_ && takesEnd(at) ? at + 1 : at; }

  // The class members among a 64-bit word of code units: the high bit of each member's lane.
  std::uint64_t members(std::uint64_t word) const {
    std::uint64_t found = unitsInRange<Unit>(word, '0', '9');
    if (capitals_) found |= unitsInRange<Unit>(word, 'A', 'Z');
    return found;
  }

  // The end of the run of class members from from on, a word of code units at a time: runs are
  // short and of every length, which a unit-by-unit loop mispredicts at every end.
  int32_t runEnd(int32_t from) const {
    constexpr int32_t kUnits = sizeof(std::uint64_t) / sizeof(Unit);
    constexpr std::uint64_t kHighBits = sizeof(Unit) == 1 ? 0x8080808080808080 : 0x8000800080008000;
    if constexpr (std::endian::native == std::endian::little) {
      for (; from + kUnits <= length_; from += kUnits) {
        std::uint64_t word;
        std::memcpy(&word, text_ + from, sizeof word);
        if (const std::uint64_t outside = ~members(word) & kHighBits)
          return from + std::countr_zero(outside) / static_cast<int>(8 * sizeof(Unit));
      }
    }
    while (from < length_ && inClass(from)) ++from;
    return from;
  }

  // The first position at or after from where two characters of the class follow each other,
  // looked for a 64-bit word of code units at a time.
  std::optional<int32_t> nextPair(int32_t from) const {
    constexpr int32_t kUnits = sizeof(std::uint64_t) / sizeof(Unit);
    constexpr int kLaneBits = 8 * sizeof(Unit);
    int32_t i = from;
    if constexpr (std::endian::native == std::endian::little) {
      for (; i + kUnits <= length_; i += kUnits - 1) {
        std::uint64_t word;
        std::memcpy(&word, text_ + i, sizeof word);
        const std::uint64_t found = members(word);
        // A member whose next unit is one too; the last unit's pair is looked at next time.
        if (const std::uint64_t pairs = found & (found >> kLaneBits))
          return i + std::countr_zero(pairs) / kLaneBits;
      }
    }
    for (; i + 1 < length_; ++i)
      if (inClass(i) && inClass(i + 1)) return i;
    return std::nullopt;
  }

  // Where the runs that begin at start, the first of them ending at firstEnd, end in a match,
  // or nothing.
  std::optional<int32_t> runsEnd(int32_t start, int32_t firstEnd) const {
    int32_t end = firstEnd;
    if (end - start < 2) return std::nullopt;
    std::optional<int32_t> last;
    if (end - start >= 4 && endsAt(end)) last = end;
    while (end < length_) {
      const char16_t separator = unit(end);
      if (separator != u'-' && separator != u'.' && separator != u' ') break;
      const int32_t next = runEnd(end + 1);
      if (next - (end + 1) < 2) break;
      end = next;
      if (endsAt(end)) last = end;
    }
    return last;
  }

  const Unit* text_;
  int32_t length_;
  bool capitals_;
  std::array<bool, 0x80> inClass_{};
};

// Tells whether a stretch of a text is the first of its value: an open-addressing table of
// stretches, grown as it fills, so that a page's tens of thousands of repeated candidates are
// told apart without making a string of each.
template <typename Unit>
class DistinctRanges {
 public:
  explicit DistinctRanges(const Unit* units) : units_(units), slots_(1024) {}

  bool insert(int32_t start, int32_t end) {
    const View text(units_ + start, static_cast<std::size_t>(end - start));
    const std::size_t hash = std::hash<View>{}(text);
    if ((count_ + 1) * 2 > slots_.size()) grow();
    Slot* slot = find(text, hash);
    if (slot->length >= 0) return false;
    *slot = {hash, start, end - start};
    ++count_;
    return true;
  }

 private:
  using View = std::basic_string_view<std::conditional_t<sizeof(Unit) == 1, char, char16_t>>;
  struct Slot {
    std::size_t hash = 0;
    int32_t start = 0;
    int32_t length = -1;  // -1: free
  };

  View viewOf(const Slot& slot) const {
    return View(units_ + slot.start, static_cast<std::size_t>(slot.length));
  }

  // The slot that holds text, or the free one where it belongs.
  Slot* find(View text, std::size_t hash) {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t index = hash & mask;; index = (index + 1) & mask) {
      Slot& slot = slots_[index];
      if (slot.length < 0 || (slot.hash == hash && viewOf(slot) == text)) return &slot;
    }
  }

  void grow() {
    std::vector<Slot> old(slots_.size() * 2);
    old.swap(slots_);
    const std::size_t mask = slots_.size() - 1;
    for (const Slot& slot : old) {
      if (slot.length < 0) continue;
      std::size_t index = slot.hash & mask;
      while (slots_[index].length >= 0) index = (index + 1) & mask;
      slots_[index] = slot;
    }
  }

  const Unit* units_;
  std::vector<Slot> slots_;
  std::size_t count_ = 0;
};

const RunPattern* runPatternFor(const QBYDeliveriesFinder::CandidatePattern& step) {
  if (step.ignoreCase || step.group != kRunGroup) return nullptr;
  for (const auto& run : kRunPatterns)
    if (run.pattern == step.pattern) return &run;
  return nullptr;
}

}  // namespace

QBYCandidateSearch::QBYCandidateSearch(std::string_view text) {
  // Most pasted mail is plain ASCII, whose bytes are its code units and fold on their own.
  if (isASCII(text) && text.size() <= static_cast<std::size_t>(INT32_MAX)) {
    ascii_ = text;
    length_ = static_cast<int32_t>(text.size());
    return;
  }
  text_ = icutext::unicode(text);
  length_ = text_.length();
  const char16_t* units = text_.getBuffer();
  folded_.resize(static_cast<std::size_t>(length_));
  char* folded = folded_.data();
  for (int32_t i = 0; i < length_; ++i) folded[i] = foldedByte(units[i]);
}

const icu::UnicodeString& QBYCandidateSearch::text() const {
  if (ascii_) {
    std::call_once(textOnce_, [this] {
      const auto& bytes = *ascii_;
      if (char16_t* units = text_.getBuffer(length_)) {
        std::copy(bytes.begin(), bytes.end(), units);
        text_.releaseBuffer(length_);
      }
    });
  }
  return text_;
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
  UErrorCode status = U_ZERO_ERROR;
  matcher.setTimeLimit(kMatchTimeLimit, status);
  const std::string_view bytes = this->bytes();
  StartFinder startFinder(bytes, starts);
  int32_t from = 0;
  bool stop = false;
  while (!stop && from <= length_) {
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
      const auto lineEnd = bytes.find('\n', static_cast<std::size_t>(std::max(attempt, 0)));
      if (lineEnd == std::string_view::npos) break;
      from = static_cast<int32_t>(lineEnd) + 1;
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
  const auto minimum = static_cast<int32_t>(step.minimumLength);
  if (range.end - range.start < minimum) return false;
  const auto& blanks = CharacterSet::whitespaceAndNewlineCharacterSet().unicodeSet();
  // Most candidates begin and end with a letter or digit: nothing to trim.
  const auto plain = [](char16_t c) { return c > u' ' && c < 0x7F; };
  const auto digit = [](char16_t c) { return c >= u'0' && c <= u'9'; };
  if (ascii_) {
    const char* units = ascii_->data();
    int32_t start = range.start;
    int32_t end = range.end;
    while (start < end && !plain(units[start]) && blanks.contains(units[start])) ++start;
    while (end > start && !plain(units[end - 1]) && blanks.contains(units[end - 1])) --end;
    if (end - start < minimum) return false;
    return !step.requiresDigit || std::any_of(units + start, units + end, digit);
  }
  const char16_t* units = text_.getBuffer();
  int32_t start = range.start;
  int32_t end = range.end;
  if (start == end || !plain(units[start]) || !plain(units[end - 1])) {
    start = std::min(blanks.span(text_, range.start, USET_SPAN_CONTAINED), range.end);
    end = std::max(blanks.spanBack(text_, range.end, USET_SPAN_CONTAINED), start);
  }
  // Every unit counts as a character unless it is half of a surrogate pair.
  if (end - start < minimum || text_.countChar32(start, end - start) < minimum) return false;
  return !step.requiresDigit || std::any_of(units + start, units + end, digit);
}

std::string QBYCandidateSearch::textOf(Range range) const {
  if (ascii_)
    return std::string(ascii_->substr(static_cast<std::size_t>(range.start),
                                      static_cast<std::size_t>(range.end - range.start)));
  const char16_t* units = text_.getBuffer();
  if (std::all_of(units + range.start, units + range.end, [](char16_t c) { return c < 0x80; }))
    return std::string(units + range.start, units + range.end);
  return icutext::utf8(text_, range.start, range.end);
}

std::vector<std::string> QBYCandidateSearch::candidates(
    const QBYDeliveriesFinder::CandidatePattern& step) const {
  std::vector<std::string> found;
  forEachCandidate(step, [&](Range range) { found.push_back(textOf(range)); });
  return found;
}

std::vector<std::string> QBYCandidateSearch::distinctCandidates(
    const QBYDeliveriesFinder::CandidatePattern& step) const {
  std::vector<std::string> found;
  const auto collect = [&](auto seen) {
    forEachCandidate(step, [&](Range range) {
      if (seen.insert(range.start, range.end)) found.push_back(textOf(range));
    });
  };
  if (ascii_) {
    collect(DistinctRanges<char>(ascii_->data()));
  } else {
    collect(DistinctRanges<char16_t>(text_.getBuffer()));
  }
  return found;
}

std::vector<std::string> QBYCandidateSearch::candidatesByEngine(
    const QBYDeliveriesFinder::CandidatePattern& step) const {
  std::vector<std::string> found;
  const auto* compiled = compiledCandidatePattern(step.pattern, step.ignoreCase);
  auto matcher = compiled ? compiled->matcher(text()) : nullptr;
  if (matcher)
    engineCandidates(*matcher, step, {}, [&](Range range) { found.push_back(textOf(range)); });
  return found;
}

void QBYCandidateSearch::forEachCandidate(const QBYDeliveriesFinder::CandidatePattern& step,
                                          const std::function<void(Range)>& found) const {
  if (const auto* run = runPatternFor(step)) {
    const auto scan = [&](const auto& scanner) {
      for (auto match = scanner.next(0); match; match = scanner.next(match->end)) {
        if (meetsConditions(step, {match->runStart, match->runEnd}))
          found({match->runStart, match->runEnd});
      }
    };
    if (ascii_) {
      scan(RunScanner<char>(ascii_->data(), length_, run->capitals));
    } else {
      scan(RunScanner<char16_t>(text_.getBuffer(), length_, run->capitals));
    }
    return;
  }
  const auto* compiled = compiledCandidatePattern(step.pattern, step.ignoreCase);
  if (!compiled) return;
  if (!ascii_) {
    if (auto matcher = compiled->matcher(text_))
      engineCandidates(*matcher, step, step.starts, found);
    return;
  }
  // The engine reads an ASCII text in place, as UTF-8 whose byte offsets are the positions of
  // its UTF-16 form.
  UErrorCode status = U_ZERO_ERROR;
  const std::unique_ptr<UText, decltype(&utext_close)> input(
      utext_openUTF8(nullptr, ascii_->data(), length_, &status), utext_close);
  static const icu::UnicodeString kNoText;
  auto matcher = compiled->matcher(kNoText);
  if (U_FAILURE(status) || !matcher) return;
  matcher->reset(input.get());
  engineCandidates(*matcher, step, step.starts, found);
}

void QBYCandidateSearch::engineCandidates(icu::RegexMatcher& matcher,
                                          const QBYDeliveriesFinder::CandidatePattern& step,
                                          const std::vector<std::string>& starts,
                                          const std::function<void(Range)>& found) const {
  enumerateMatches(matcher, starts, [&](bool&) {
    UErrorCode status = U_ZERO_ERROR;
    const int32_t start = matcher.start(step.group, status);
    const int32_t end = matcher.end(step.group, status);
    if (U_SUCCESS(status) && start >= 0 && meetsConditions(step, {start, end})) found({start, end});
  });
}

}  // namespace qby
