// Text operations the whole system relies on for the same results everywhere: whether a text
// has a value, how a title is shortened, how runs of white space and line endings are tidied.
// Web-address operations on texts are in util/URLUtilities.h.
//
// Pure functions of their arguments; any thread. Texts are UTF-8; invalid bytes read as U+FFFD.
// Lengths count characters as a reader sees them (grapheme clusters): an emoji or an accented
// letter is one character and is never cut apart.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "util/CharacterSet.h"

namespace qby {

// True when both are absent, or both present and equal.
bool stringIsEqualToString(const std::optional<std::string>& a,
                           const std::optional<std::string>& b);

// True unless the text is "" (an absent text has no value).
inline bool hasValue(std::string_view text) {
  return !text.empty();
}
inline bool hasValue(const std::string& text) {
  return !text.empty();
}
inline bool hasValue(const char* text) {
  return text && *text;
}
inline bool hasValue(const std::optional<std::string>& text) {
  return text && !text->empty();
}

// The text without Unicode white space and line breaks at both ends.
std::string trimmedString(std::string_view text);
inline std::string trimmedString(const std::string& text) {
  return trimmedString(std::string_view(text));
}
inline std::string trimmedString(const char* text) {
  return trimmedString(std::string_view(text));
}
std::optional<std::string> trimmedString(const std::optional<std::string>& text);

// The trimmed text has a value.
bool hasTrimmedValue(std::string_view text);
inline bool hasTrimmedValue(const std::string& text) {
  return hasTrimmedValue(std::string_view(text));
}
inline bool hasTrimmedValue(const char* text) {
  return text && hasTrimmedValue(std::string_view(text));
}
bool hasTrimmedValue(const std::optional<std::string>& text);

// No character outside letters, marks and numbers ("" included).
bool isAlphaNumeric(std::string_view text);

// A text longer than n characters becomes its first n - 2 characters without trailing
// punctuation and white space, followed by "…"; shorter texts are returned unchanged.
std::string trimToLength(std::string_view text, std::size_t n);

// A text longer than n characters is cut after the last whole word that ends within the first
// n characters, or after n - 1 characters when not even the first word fits; "…" follows.
std::string stringLimitedByWordsToLength(std::string_view text, std::size_t n);

// The first line with something on it, without its leading white space; nothing when there is
// none.
std::optional<std::string> firstNonEmptyLine(std::string_view text);

std::string stringByRemovingPrefix(std::string_view text, std::string_view prefix);

// Every run of white space made one space.
std::string reduceSpaces(std::string_view text);

// Every "\r\n", "\r" and "\n" made "\n".
std::string normalizeLineEndings(std::string_view text);

// All matches of the ICU regular expression replaced by the template ("$1" for a group).
// Nothing, with a log line, when the pattern is invalid.
std::optional<std::string> stringByReplacingPattern(std::string_view text, std::string_view pattern,
                                                    std::string_view templ);

// Characters in the set are kept; each run of other characters becomes one replacement. Stops
// once the result is at least maximumLength characters long, so it may exceed it by the last
// piece. A character made of several code points is kept only when all of them are in the set.
std::string stringByReducingCharactersNotInSet(std::string_view text, const CharacterSet& set,
                                               std::string_view replacement,
                                               std::size_t maximumLength);

// The identifier of an upper-case UUID text or of 13 to 23 letters and digits, without a
// trailing "-<number>"; nothing for anything else.
std::optional<std::string> validUUID(std::string_view text);

}  // namespace qby
