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
#include <unordered_set>

#include "util/CharacterSet.h"
#include "util/ICUPtr.h"

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
// are kept when they hold a word's first byte and, as far on as the shortest word's last byte
// lies, that word's byte there, and only those are compared in full. The second byte lies at the
// same distance for every word, so that one load and one fold serve them all.
class StartFinder {
 public:
  StartFinder(std::string_view bytes, const std::vector<std::string>& starts) : bytes_(bytes) {
    for (const auto& start : starts) {
      if (start.empty()) continue;
      words_.push_back(start);
      longest_ = std::max(longest_, start.size());
      secondOffset_ = std::min(secondOffset_, start.size() - 1);
    }
#if defined(__SSE2__)
    for (const auto word : words_)
      probes_.push_back({folded(word.front()), folded(word[secondOffset_])});
    for (std::size_t i = 0; i < padded_.size() && !probes_.empty(); ++i)
      padded_[i] = probes_[i < probes_.size() ? i : 0];
#endif
  }

  // The first such position at or after from, or -1.
  int32_t next(int32_t from) const {
    if (words_.empty()) return -1;
    const std::size_t size = bytes_.size();
    std::size_t at = static_cast<std::size_t>(std::max(from, 0));
#if defined(__SSE2__)
    const char* text = bytes_.data();
    const __m128i fold = _mm_set1_epi8(0x20);
    const auto load = [&](const char* bytes) {
      return _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes)), fold);
    };
    // The probes' loop is unrolled for the few words a step has; padding repeats a probe.
    const auto hits = [&]<std::size_t count>(std::size_t block) {
      const __m128i firsts = load(text + block);
      const __m128i seconds = load(text + block + secondOffset_);
      const auto probeHits = [&](const Probe& probe) {
        return _mm_and_si128(_mm_cmpeq_epi8(firsts, probe.first),
                             _mm_cmpeq_epi8(seconds, probe.second));
      };
      __m128i any = probeHits(probes_[0]);
      if constexpr (count == 0) {
        for (std::size_t i = 1; i < probes_.size(); ++i)
          any = _mm_or_si128(any, probeHits(probes_[i]));
      } else {
        for (std::size_t i = 1; i < count; ++i) any = _mm_or_si128(any, probeHits(padded_[i]));
      }
      return static_cast<std::uint32_t>(_mm_movemask_epi8(any));
    };
    // Two blocks a turn, so that a stretch without a word costs one test per 32 bytes.
    const auto scan = [&]<std::size_t count>() -> int32_t {
      for (; at + 32 + longest_ - 1 <= size; at += 32) {
        for (auto mask = hits.template operator()<count>(at) |
                         hits.template operator()<count>(at + 16) << 16;
             mask != 0; mask &= mask - 1) {
          const std::size_t candidate = at + static_cast<std::size_t>(std::countr_zero(mask));
          if (startsAt(candidate)) return static_cast<int32_t>(candidate);
        }
      }
      return -1;
    };
    const int32_t found = probes_.size() == 1   ? scan.template operator()<1>()
                          : probes_.size() <= 4 ? scan.template operator()<4>()
                                                : scan.template operator()<0>();
    if (found >= 0) return found;
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
  std::size_t secondOffset_ = std::numeric_limits<std::size_t>::max();
#if defined(__SSE2__)
  // A word's first byte and its byte at the second offset in every lane, with the case bit set
  // as it is set in the text's bytes: that keeps every match and lets through a few that the
  // full compare turns down.
  static __m128i folded(char c) {
    return _mm_set1_epi8(static_cast<char>(c | 0x20));
  }
  struct Probe {
    __m128i first;
    __m128i second;
  };
  std::vector<Probe> probes_;
  std::array<Probe, 4> padded_{};
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
    {R"re((^|\s|>|#|\(|\[|:|")([0-9A-Z]{2,}([-. ]?[0-9A-Z]{2,})+)(\s|\.|,|\?|<|\)|\]|;|!|:|"|$))re",
     true},
    {R"re((^|\s|>|#|\(|\[|:|")([0-9]{2,}([-. ]?[0-9]{2,})+)(\s|\.|,|\?|<|\)|\]|;|!|:|"|$))re",
     false},
};
constexpr int32_t kRunGroup = 2;

constexpr bool isDigitUnit(char16_t c) {
  return c >= u'0' && c <= u'9';
}
constexpr bool isCapitalUnit(char16_t c) {
  return c >= u'A' && c <= u'Z';
}
// The engine's "\s": Unicode white space, which holds every line terminator.
bool isSpaceUnit(char16_t c) {
  if (c < 0x80) return c == u' ' || (c >= 0x09 && c <= 0x0D);
  return u_hasBinaryProperty(c, UCHAR_WHITE_SPACE);
}
// What may come before a run that begins a match: white space (line terminators with it), ">",
// "#", an opening bracket, a colon or a double quote (a number in brackets or quotes, or glued
// to the colon after the words that name it).
bool isLeadUnit(char16_t c) {
  return c == u'>' || c == u'#' || c == u'(' || c == u'[' || c == u':' || c == u'"' ||
         isSpaceUnit(c);
}

}  // namespace

// Which units of the text are digits, capitals or may lead a run, one bit a unit (bit i of word
// i / 64 for unit i; none past the text's end). Both run steps read them, so that the text is
// classified in one pass and the scanners look only where a run begins after a lead.
struct QBYCandidateSearch::UnitClasses {
  std::vector<std::uint64_t> digits;
  std::vector<std::uint64_t> capitals;
  std::vector<std::uint64_t> leads;
};

namespace {

using UnitClasses = QBYCandidateSearch::UnitClasses;

// Whether any unit in [start, end) has its bit set.
bool anyBetween(const std::vector<std::uint64_t>& bits, int32_t start, int32_t end) {
  if (start >= end) return false;
  const auto first = static_cast<std::size_t>(start);
  const auto last = static_cast<std::size_t>(end - 1);
  const std::uint64_t head = ~std::uint64_t{0} << (first % 64);
  const std::uint64_t tail = ~std::uint64_t{0} >> (63 - last % 64);
  if (first / 64 == last / 64) return (bits[first / 64] & head & tail) != 0;
  if ((bits[first / 64] & head) != 0 || (bits[last / 64] & tail) != 0) return true;
  return std::any_of(bits.begin() + static_cast<std::ptrdiff_t>(first / 64 + 1),
                     bits.begin() + static_cast<std::ptrdiff_t>(last / 64),
                     [](std::uint64_t word) { return word != 0; });
}

#if defined(__SSE2__)
// Sixteen units as sixteen bytes: ASCII as it is, any other unit as a byte no class holds (the
// saturating pack turns it into 0x80-0xFF or 0).
__m128i sixteenUnits(const char* text) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(text));
}
__m128i sixteenUnits(const char16_t* text) {
  return _mm_packus_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(text)),
                          _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + 8)));
}
// Bytes in [low, high], both below 0x80; the signed compare leaves bytes from 0x80 up out.
__m128i bytesInRange(__m128i bytes, char low, char high) {
  return _mm_and_si128(_mm_cmpgt_epi8(bytes, _mm_set1_epi8(static_cast<char>(low - 1))),
                       _mm_cmpgt_epi8(_mm_set1_epi8(static_cast<char>(high + 1)), bytes));
}
std::uint64_t laneBits(__m128i mask, int block) {
  return static_cast<std::uint64_t>(static_cast<std::uint16_t>(_mm_movemask_epi8(mask)))
         << (16 * block);
}
#endif

template <typename Unit>
UnitClasses classify(const Unit* text, int32_t length) {
  const std::size_t words = (static_cast<std::size_t>(length) + 63) / 64;
  UnitClasses classes{std::vector<std::uint64_t>(words), std::vector<std::uint64_t>(words),
                      std::vector<std::uint64_t>(words)};
  const auto unit = [&](int32_t at) -> char16_t {
    if constexpr (sizeof(Unit) == 1) {
      return static_cast<unsigned char>(text[at]);
    } else {
      return text[at];
    }
  };
  int32_t at = 0;
#if defined(__SSE2__)
  for (; at + 64 <= length; at += 64) {
    std::uint64_t digits = 0;
    std::uint64_t capitals = 0;
    std::uint64_t leads = 0;
    for (int block = 0; block < 4; ++block) {
      const __m128i bytes = sixteenUnits(text + at + 16 * block);
      const auto is = [&](char c) { return _mm_cmpeq_epi8(bytes, _mm_set1_epi8(c)); };
      digits |= laneBits(bytesInRange(bytes, '0', '9'), block);
      capitals |= laneBits(bytesInRange(bytes, 'A', 'Z'), block);
      const __m128i brackets =
          _mm_or_si128(_mm_or_si128(is('('), is('[')), _mm_or_si128(is(':'), is('"')));
      leads |= laneBits(_mm_or_si128(_mm_or_si128(_mm_or_si128(is(' '), is('>')), brackets),
                                     _mm_or_si128(is('#'), bytesInRange(bytes, 0x09, 0x0D))),
                        block);
    }
    if constexpr (sizeof(Unit) == 2) {
      // Units from 0x80 up were left out; a few of them are white space.
      if (std::any_of(text + at, text + at + 64, [](char16_t c) { return c >= 0x80; }))
        for (int k = 0; k < 64; ++k)
          if (unit(at + k) >= 0x80 && isSpaceUnit(unit(at + k))) leads |= std::uint64_t{1} << k;
    }
    const std::size_t word = static_cast<std::size_t>(at) / 64;
    classes.digits[word] = digits;
    classes.capitals[word] = capitals;
    classes.leads[word] = leads;
  }
#endif
  for (; at < length; ++at) {
    const char16_t c = unit(at);
    const std::uint64_t bit = std::uint64_t{1} << (at % 64);
    const std::size_t word = static_cast<std::size_t>(at) / 64;
    if (isDigitUnit(c)) classes.digits[word] |= bit;
    if (isCapitalUnit(c)) classes.capitals[word] |= bit;
    if (isLeadUnit(c)) classes.leads[word] |= bit;
  }
  return classes;
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

  RunScanner(const Unit* text, int32_t length, const UnitClasses& classes, bool capitals)
      : text_(text), length_(length), classes_(classes), capitals_(capitals) {}

  // The first match that begins at or after from.
  std::optional<Match> next(int32_t from) const {
    int32_t at = std::max(from, 0);
    while (auto found = nextRunStart(at)) {
      const int32_t runStart = *found;
      const int32_t runEnd = this->runEnd(runStart);
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

  bool isSpace(int32_t at) const { return isSpaceUnit(unit(at)); }
  // Line terminators as the engine knows them for "^" and "$" in multi-line mode.
  bool isLineTerminator(int32_t at) const {
    const char16_t c = unit(at);
    return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029;
  }
  bool isLead(int32_t at) const { return isLeadUnit(unit(at)); }
  // White space or one of ".,?<)];!:\"" is taken with the match.
  bool takesEnd(int32_t at) const {
    const char16_t c = unit(at);
    return c == u'.' || c == u',' || c == u'?' || c == u'<' || c == u')' || c == u']' ||
           c == u';' || c == u'!' || c == u':' || c == u'"' || isSpace(at);
  }
  // A match may end before a character it takes, a line end or the text's end.
  bool endsAt(int32_t at) const { return at >= length_ || takesEnd(at) || isLineTerminator(at); }
  int32_t endAfter(int32_t at) const { return at < length_ && takesEnd(at) ? at + 1 : at; }

  std::size_t words() const { return classes_.digits.size(); }
  // The class members among the 64 units of a word.
  std::uint64_t members(std::size_t word) const {
    return capitals_ ? classes_.digits[word] | classes_.capitals[word] : classes_.digits[word];
  }

  // Where a run of at least two members begins after a lead, a line terminator or the text's
  // start, among the units of a word: the only places a match can take its runs from.
  std::uint64_t runStarts(std::size_t word) const {
    const std::uint64_t here = members(word);
    const std::uint64_t before = here << 1 | (word > 0 ? members(word - 1) >> 63 : 0);
    const std::uint64_t after = here >> 1 | (word + 1 < words() ? members(word + 1) << 63 : 0);
    const std::uint64_t leadBefore =
        classes_.leads[word] << 1 | (word > 0 ? classes_.leads[word - 1] >> 63 : 1);
    return here & ~before & after & leadBefore;
  }

  std::optional<int32_t> nextRunStart(int32_t from) const {
    if (from >= length_) return std::nullopt;
    std::size_t word = static_cast<std::size_t>(from) / 64;
    std::uint64_t starts = runStarts(word) & (~std::uint64_t{0} << (from % 64));
    while (starts == 0) {
      if (++word >= words()) return std::nullopt;
      starts = runStarts(word);
    }
    return static_cast<int32_t>(word * 64 + static_cast<std::size_t>(std::countr_zero(starts)));
  }

  // The end of the run of class members from from on.
  int32_t runEnd(int32_t from) const {
    if (from >= length_) return length_;
    std::size_t word = static_cast<std::size_t>(from) / 64;
    // No unit past the text's end is a member, so a run always ends.
    std::uint64_t outside = ~members(word) & (~std::uint64_t{0} << (from % 64));
    while (outside == 0) {
      if (++word >= words()) return length_;
      outside = ~members(word);
    }
    return std::min(
        static_cast<int32_t>(word * 64 + static_cast<std::size_t>(std::countr_zero(outside))),
        length_);
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
  const UnitClasses& classes_;
  bool capitals_;
};

// A hash for the short stretches candidates are, eight bytes at a time, that spreads them well
// enough over a table indexed by its low bits.
std::size_t hashOf(const unsigned char* bytes, std::size_t size) {
  std::uint64_t hash = 0x9E3779B97F4A7C15 ^ size;
  const auto mix = [&](std::uint64_t word) {
    hash = (hash ^ word) * 0xBF58476D1CE4E5B9;
    hash ^= hash >> 31;
  };
  for (; size >= 8; size -= 8, bytes += 8) {
    std::uint64_t word;
    std::memcpy(&word, bytes, sizeof word);
    mix(word);
  }
  if (size > 0) {
    std::uint64_t word = 0;
    for (std::size_t i = 0; i < size; ++i) word |= std::uint64_t{bytes[i]} << (8 * i);
    mix(word);
  }
  return static_cast<std::size_t>(hash);
}

// Tells whether a stretch of a text is the first of its value: an open-addressing table of
// stretches, grown as it fills, so that a page's tens of thousands of repeated candidates are
// told apart without making a string of each. A slot is eight bytes, a stretch's place, length
// and a few bits of its hash, so that the table of a large page stays in the processor's
// cache; stretches too long for that are kept aside.
template <typename Unit>
class DistinctRanges {
 public:
  DistinctRanges(const Unit* units, int32_t length)
      // A short text (a pasted line) holds a few candidates: a large first table would cost
      // more to clear than the whole search of the line.
      : units_(units),
        slots_(std::bit_ceil(
            std::max<std::size_t>(16, static_cast<std::size_t>(std::max(length, 0)) / 256))) {}

  bool insert(int32_t start, int32_t end) {
    const View text(units_ + start, static_cast<std::size_t>(end - start));
    if (text.size() > kLongest) return long_.insert(text).second;
    const std::size_t hash = hashOf(text);
    if ((count_ + 1) * 2 > slots_.size()) grow();
    const std::uint16_t tag = tagOf(hash);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t index = hash & mask;; index = (index + 1) & mask) {
      Slot& slot = slots_[index];
      if (slot.start < 0) {
        slot = {start, static_cast<std::uint16_t>(text.size()), tag};
        ++count_;
        return true;
      }
      if (slot.tag == tag && slot.length == text.size() && viewOf(slot) == text) return false;
    }
  }

 private:
  using View = std::basic_string_view<std::conditional_t<sizeof(Unit) == 1, char, char16_t>>;
  static constexpr std::size_t kLongest = 0xFFFF;
  struct Slot {
    int32_t start = -1;  // -1: free
    std::uint16_t length = 0;
    std::uint16_t tag = 0;
  };

  static std::size_t hashOf(View text) {
    return qby::hashOf(reinterpret_cast<const unsigned char*>(text.data()),
                       text.size() * sizeof(Unit));
  }
  static std::uint16_t tagOf(std::size_t hash) {
    return static_cast<std::uint16_t>(static_cast<std::uint64_t>(hash) >> 48);
  }
  View viewOf(const Slot& slot) const { return View(units_ + slot.start, slot.length); }

  // The slots keep no full hash, so growing hashes the stretches again; the first size is
  // chosen from the text's length so that this seldom happens.
  void grow() {
    std::vector<Slot> old(slots_.size() * 2);
    old.swap(slots_);
    const std::size_t mask = slots_.size() - 1;
    for (const Slot& slot : old) {
      if (slot.start < 0) continue;
      std::size_t index = hashOf(viewOf(slot)) & mask;
      while (slots_[index].start >= 0) index = (index + 1) & mask;
      slots_[index] = slot;
    }
  }

  const Unit* units_;
  std::vector<Slot> slots_;
  std::size_t count_ = 0;
  std::unordered_set<View> long_;
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

QBYCandidateSearch::~QBYCandidateSearch() = default;

const QBYCandidateSearch::UnitClasses& QBYCandidateSearch::unitClasses() const {
  std::call_once(classesOnce_, [this] {
    classes_ = std::make_unique<const UnitClasses>(ascii_ ? classify(ascii_->data(), length_)
                                                          : classify(text_.getBuffer(), length_));
  });
  return *classes_;
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
  // The shared set lives as long as the process; looked up once, not for every candidate.
  static const auto& blanks = CharacterSet::whitespaceAndNewlineCharacterSet().unicodeSet();
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
  return distinctCandidates(step, nullptr);
}

std::vector<std::string> QBYCandidateSearch::distinctCandidates(
    const QBYDeliveriesFinder::CandidatePattern& step, const Keep& keep) const {
  std::vector<std::string> found;
  const std::string_view view = bytes();
  const auto collect = [&](auto seen) {
    forEachCandidate(step, [&](Range range) {
      if (keep &&
          !keep(view, static_cast<std::size_t>(range.start), static_cast<std::size_t>(range.end)))
        return;
      if (seen.insert(range.start, range.end)) found.push_back(textOf(range));
    });
  };
  if (ascii_) {
    collect(DistinctRanges<char>(ascii_->data(), length_));
  } else {
    collect(DistinctRanges<char16_t>(text_.getBuffer(), length_));
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
    // A run begins and ends with an ASCII letter or digit and holds nothing but ASCII, so it
    // needs no trimming and its units are its characters.
    const auto& classes = unitClasses();
    const auto meets = [&](int32_t start, int32_t end) {
      if (step.minimumLength == 0) return true;
      if (static_cast<std::size_t>(end - start) < step.minimumLength) return false;
      return !step.requiresDigit || anyBetween(classes.digits, start, end);
    };
    const auto scan = [&](const auto& scanner) {
      for (auto match = scanner.next(0); match; match = scanner.next(match->end)) {
        if (meets(match->runStart, match->runEnd)) found({match->runStart, match->runEnd});
      }
    };
    if (ascii_) {
      scan(RunScanner<char>(ascii_->data(), length_, classes, run->capitals));
    } else {
      scan(RunScanner<char16_t>(text_.getBuffer(), length_, classes, run->capitals));
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
  const UTextPtr input(utext_openUTF8(nullptr, ascii_->data(), length_, &status));
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
