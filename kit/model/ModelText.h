// The text and address operations the record rules are written in, gathered in one place so
// that every record applies them the same way: absent texts count as having no text, and
// every value that goes into a query is encoded the same way. Pure functions; any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/URL.h"

namespace qby::modeltext {

// Not absent and not "".
inline bool hasText(const std::optional<std::string>& text) {
  return text && !text->empty();
}
// Not absent and not blank after trimming white space and line breaks.
bool hasNonBlankText(const std::optional<std::string>& text);
std::string trimmed(std::string_view text);

// Both absent, or both present and equal.
inline bool sameText(const std::optional<std::string>& a, const std::optional<std::string>& b) {
  return a == b;
}

// Shortened to n characters with an ellipsis, never splitting a character.
std::string cutToLength(std::string_view text, std::size_t n);
// Shortened at word boundaries to n characters, with an ellipsis.
std::string limitByWords(std::string_view text, std::size_t n);

// The value encoded for a query part; an absent value as "".
std::string queryValue(const std::optional<std::string>& value);

// Begins with "http://" or "https://".
bool isWebAddress(const std::optional<std::string>& text);
// The address that a half-typed text stands for, or nothing.
std::optional<URL> addressFromText(const std::optional<std::string>& text);
// The host of the address that the text stands for, or nothing.
std::optional<std::string> hostOfText(const std::optional<std::string>& text);
// A host name without a leading "www.", "m.", "em." or "nolp.".
std::string domainDisplayName(std::string_view host);

// MD5 of the UTF-8 bytes as 32 lower-case hexadecimal digits.
std::string md5Hex(std::string_view text);

// Every occurrence of the placeholder replaced, literally.
std::string replaceAll(std::string text, std::string_view placeholder, std::string_view value);
// The text made safe to stand inside HTML text and attribute values.
std::string escapeHTML(std::string_view text);

}  // namespace qby::modeltext
