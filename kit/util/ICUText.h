// The library's one set of helpers for working with ICU: UTF-8 conversion, patterns compiled
// once, break iterators, dates in ICU's milliseconds. Sources of any layer from util up
// include it; a public header never does, so programs and upper layers see no ICU types.
//
// Invalid UTF-8 turns into U+FFFD on conversion, so nothing downstream sees broken text.
//
// Threads: any; nothing here keeps state between calls.
#pragma once

#include <unicode/brkiter.h>
#include <unicode/regex.h>
#include <unicode/unistr.h>
#include <unicode/utypes.h>

#include <cmath>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Date.h"
#include "platform/QBYError.h"

namespace qby::icutext {

icu::UnicodeString unicode(std::string_view text);
std::string utf8(const icu::UnicodeString& text);
std::string utf8(const icu::UnicodeString& text, int32_t start, int32_t limit);

// A compiled pattern or the error that compiling it gave. RegexPattern is immutable and may
// be shared by threads; every use creates its own matcher.
class Pattern {
 public:
  Pattern(std::string_view pattern, uint32_t flags = 0);

  bool isValid() const { return pattern_ != nullptr; }
  // Domain "ICU", the ICU status as code and name, the pattern and error offset as user info.
  const QBYError& error() const { return error_; }
  // A matcher over input, which must outlive it; nullptr when the pattern is invalid.
  std::unique_ptr<icu::RegexMatcher> matcher(const icu::UnicodeString& input) const;
  // Every match replaced by the template ("$1" refers to a group); nothing when the pattern
  // is invalid or the template refers to a group the pattern does not have.
  std::optional<std::string> replaceAll(std::string_view text, std::string_view replacement,
                                        QBYError* error = nullptr) const;

 private:
  std::string source_;
  std::unique_ptr<icu::RegexPattern> pattern_;
  QBYError error_;
};

// A group's text, or nothing when the group took no part in the match.
std::optional<std::string> group(icu::RegexMatcher& matcher, int32_t number);

// Grapheme clusters and words, with the root locale's rules so results do not depend on the
// user's language. nullptr only when ICU's data is missing.
std::unique_ptr<icu::BreakIterator> characterBreaks(const icu::UnicodeString& text);
std::unique_ptr<icu::BreakIterator> wordBreaks(const icu::UnicodeString& text);

// The boundary `count` grapheme clusters after the start, or nothing when the text has fewer.
std::optional<int32_t> advanceCharacters(icu::BreakIterator& characters, std::size_t count);

// ICU counts milliseconds since 1970, we count seconds.
inline UDate toUDate(Date date) {
  return date.timeIntervalSince1970() * 1000.0;
}
inline Date fromUDate(UDate millis) {
  return Date(millis / 1000.0);
}

// ICU calendars clamp or fail outside about ±5.8 million years (1.8e17 ms); a date beyond
// that, or not a number, is refused before it reaches ICU.
inline bool isRepresentable(Date date) {
  const double seconds = date.timeIntervalSince1970();
  return std::isfinite(seconds) && std::fabs(seconds) < 1.8e14;
}

}  // namespace qby::icutext
