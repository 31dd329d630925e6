#include "util/StringUtilities.h"

#include <unicode/uniset.h>

#include <algorithm>
#include <limits>

#include "platform/Log.h"
#include "util/ICUText.h"

namespace qby {

using icutext::unicode;
using icutext::utf8;

namespace {

constexpr std::string_view kEllipsis = "…";

int32_t clampedCount(std::size_t n) {
  return static_cast<int32_t>(std::min<std::size_t>(n, std::numeric_limits<int32_t>::max()));
}

// The UTF-16 offset after the first n characters of text, or nothing when the text has no
// more than n characters (so it needs no shortening).
std::optional<int32_t> endOfFirstCharactersWhenLonger(const icu::UnicodeString& text,
                                                      icu::BreakIterator& characters,
                                                      std::size_t n) {
  const auto end =
      icutext::advanceCharacters(characters, static_cast<std::size_t>(clampedCount(n)));
  if (!end || *end >= text.length()) return std::nullopt;
  return end;
}

int32_t endOfFirstCharacters(icu::BreakIterator& characters, std::size_t n, int32_t length) {
  return icutext::advanceCharacters(characters, n).value_or(length);
}

}  // namespace

bool stringIsEqualToString(const std::optional<std::string>& a,
                           const std::optional<std::string>& b) {
  return a == b;
}

std::string trimmedString(std::string_view text) {
  const auto& set = CharacterSet::whitespaceAndNewlineCharacterSet().unicodeSet();
  const icu::UnicodeString input = unicode(text);
  const int32_t start = set.span(input, 0, USET_SPAN_CONTAINED);
  if (start == input.length()) return {};
  const int32_t end = set.spanBack(input, input.length(), USET_SPAN_CONTAINED);
  return utf8(input, start, end);
}

std::optional<std::string> trimmedString(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  return trimmedString(std::string_view(*text));
}

bool hasTrimmedValue(std::string_view text) {
  return hasValue(trimmedString(text));
}

bool hasTrimmedValue(const std::optional<std::string>& text) {
  return text && hasTrimmedValue(std::string_view(*text));
}

bool isAlphaNumeric(std::string_view text) {
  return CharacterSet::alphanumericCharacterSet().containsAllCharacters(text);
}

std::string trimToLength(std::string_view text, std::size_t n) {
  const icu::UnicodeString input = unicode(text);
  const auto characters = icutext::characterBreaks(input);
  if (!characters || !endOfFirstCharactersWhenLonger(input, *characters, n)) {
    return std::string(text);
  }
  const int32_t cut = endOfFirstCharacters(*characters, n >= 2 ? n - 2 : 0, input.length());
  // Trailing punctuation and white space ("[[:punct:][:space:]]*$") go. Walking back over the
  // set means the same as the pattern without the pattern's quadratic worst case on long runs
  // of punctuation.
  static const std::optional<CharacterSet> trailing =
      CharacterSet::fromPattern("[[:punct:][:space:]]");
  if (!trailing) {
    log("Error creating regular expression for trimToLength: %@, %@", "[[:punct:][:space:]]",
        "invalid set");
    return utf8(input, 0, cut) + std::string(kEllipsis);
  }
  const int32_t end = trailing->unicodeSet().spanBack(input, cut, USET_SPAN_CONTAINED);
  return utf8(input, 0, end) + std::string(kEllipsis);
}

std::string stringLimitedByWordsToLength(std::string_view text, std::size_t n) {
  const icu::UnicodeString input = unicode(text);
  const auto characters = icutext::characterBreaks(input);
  const auto words = icutext::wordBreaks(input);
  if (!characters || !words || !endOfFirstCharactersWhenLonger(input, *characters, n)) {
    return std::string(text);
  }

  // Walks words and characters side by side, so only the first n characters are ever counted.
  std::optional<int32_t> keepEnd;
  int32_t characterEnd = characters->first();
  std::size_t characterCount = 0;
  words->first();
  for (int32_t end = words->next(); end != icu::BreakIterator::DONE; end = words->next()) {
    if (words->getRuleStatus() == UBRK_WORD_NONE) continue;  // spaces and punctuation
    while (characterEnd < end) {
      characterEnd = characters->next();
      ++characterCount;
    }
    if (characterCount > n) break;
    keepEnd = characterEnd;
  }
  // Not even the first word fits (or there are no words): cut within it instead.
  const int32_t cut =
      keepEnd ? *keepEnd : endOfFirstCharacters(*characters, n >= 1 ? n - 1 : 0, input.length());
  return utf8(input, 0, cut) + std::string(kEllipsis);
}

std::optional<std::string> firstNonEmptyLine(std::string_view text) {
  // "^\s*(\S.*)", with "\s" written as a set so that ICU runs it as one loop instead of
  // keeping a backtracking frame per character (which overflows on long runs of blank lines).
  static const icutext::Pattern pattern("^[\\s]*(\\S.*)");
  if (!pattern.isValid()) {
    log("Error creating regular expression for firstNonEmptyLine: %@, %@", pattern.error(),
        Value(pattern.error().userInfo));
    return std::nullopt;
  }
  const icu::UnicodeString input = unicode(text);
  const auto matcher = pattern.matcher(input);
  UErrorCode status = U_ZERO_ERROR;
  if (!matcher || !matcher->lookingAt(status) || U_FAILURE(status)) return std::nullopt;
  return icutext::group(*matcher, 1);
}

std::string stringByRemovingPrefix(std::string_view text, std::string_view prefix) {
  if (text.starts_with(prefix)) text.remove_prefix(prefix.size());
  return std::string(text);
}

std::string reduceSpaces(std::string_view text) {
  // "\s+", written as a set loop; see firstNonEmptyLine.
  static const icutext::Pattern pattern("[\\s]+");
  return pattern.replaceAll(text, " ").value_or("");
}

std::string normalizeLineEndings(std::string_view text) {
  static const icutext::Pattern pattern("\\r\\n|\\r|\\n");
  return pattern.replaceAll(text, "\n").value_or("");
}

std::optional<std::string> stringByReplacingPattern(std::string_view text, std::string_view pattern,
                                                    std::string_view templ) {
  const icutext::Pattern compiled(pattern);
  QBYError error;
  auto result = compiled.replaceAll(text, templ, &error);
  if (!result) log("Error creating regular expression: %@", error);
  return result;
}

std::string stringByReducingCharactersNotInSet(std::string_view text, const CharacterSet& set,
                                               std::string_view replacement,
                                               std::size_t maximumLength) {
  const icu::UnicodeString input = unicode(text);
  const icu::UnicodeString replacementText = unicode(replacement);
  const auto characters = icutext::characterBreaks(input);
  if (!characters) return {};
  std::size_t replacementLength = 0;
  if (const auto breaks = icutext::characterBreaks(replacementText)) {
    for (breaks->first(); breaks->next() != icu::BreakIterator::DONE;) ++replacementLength;
  }

  icu::UnicodeString result;
  std::size_t length = 0;
  bool inRun = false;
  int32_t start = characters->first();
  for (int32_t end = characters->next(); end != icu::BreakIterator::DONE && length < maximumLength;
       start = end, end = characters->next()) {
    const icu::UnicodeString character = input.tempSubStringBetween(start, end);
    if (set.unicodeSet().containsAll(character)) {
      result.append(character);
      ++length;
      inRun = false;
    } else if (!inRun) {
      result.append(replacementText);
      length += replacementLength;
      inRun = true;
    }
  }
  return utf8(result);
}

std::optional<std::string> validUUID(std::string_view text) {
  static const icutext::Pattern pattern(
      "^([A-Z0-9]{8}-[A-Z0-9]{4}-[A-Z0-9]{4}-[A-Z0-9]{4}-[A-Z0-9]{12}|[A-Za-z0-9]{13,23})(-[0-9]+)?"
      "$");
  const icu::UnicodeString input = unicode(text);
  const auto matcher = pattern.matcher(input);
  UErrorCode status = U_ZERO_ERROR;
  if (!matcher || !matcher->lookingAt(status) || U_FAILURE(status)) return std::nullopt;
  return icutext::group(*matcher, 1);
}

}  // namespace qby
