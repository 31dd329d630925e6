// Checks of what "porvane add" is given, made before anything is recognised or written, so
// bad input gets a clear message and leaves the store untouched. Pure functions; any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace porvane {

// Longest tracking number, name and extra value a delivery takes, in characters. Carriers'
// numbers are far shorter; the limits keep pasted documents out of the store and the
// recognition scripts.
inline constexpr std::size_t kMaxNumberLength = 256;
inline constexpr std::size_t kMaxNameLength = 256;
inline constexpr std::size_t kMaxExtraLength = 2048;
// Longest TEXT (a sentence or a page address with a number in it) given to recognition.
inline constexpr std::size_t kMaxTextLength = 4096;

// Characters of UTF-8 text (bytes that start a character).
std::size_t characterCount(const std::string& text);

// "<label> is too long (at most <n> characters)." when the value is longer, else nothing.
std::optional<std::string> lengthError(const std::string& label, const std::string& value,
                                       std::size_t maximum);

// The message for TEXT that cannot be recognised safely: one word longer than a tracking
// number can be is reported as a number that is too long, anything else over the text limit
// as text that is too long; nothing when the text is fine.
std::optional<std::string> textError(const std::string& text);

// Whether TEXT can stand for a tracking number when the user names the service and the
// recognition does not know the number: ASCII letters and digits, possibly in groups split by
// blanks or dashes, beginning and ending with a letter or digit, with at least one digit and
// 4 to kMaxNumberLength characters without the separators. A group of more than three
// letters and no digit is a word, so a sentence is never taken for a number.
bool isPlausibleNumber(const std::string& text);

// Whether the text is exactly an ISO calendar day ("2024-03-04") that exists.
bool isCalendarDay(const std::string& text);

}  // namespace porvane
