#include "model/ModelText.h"

#include "util/QBYDigest.h"
#include "util/StringUtilities.h"
#include "util/URLUtilities.h"

namespace qby::modeltext {

bool hasNonBlankText(const std::optional<std::string>& text) {
  return hasTrimmedValue(text);
}

std::string trimmed(std::string_view text) {
  return trimmedString(text);
}

std::string cutToLength(std::string_view text, std::size_t n) {
  return trimToLength(text, n);
}

std::string limitByWords(std::string_view text, std::size_t n) {
  return stringLimitedByWordsToLength(text, n);
}

std::string queryValue(const std::optional<std::string>& value) {
  return value ? stringEncodedForURLQuery(*value) : std::string();
}

bool isWebAddress(const std::optional<std::string>& text) {
  return text && isURL(*text);
}

std::optional<URL> addressFromText(const std::optional<std::string>& text) {
  return URLWithUnknownString(text);
}

std::optional<std::string> hostOfText(const std::optional<std::string>& text) {
  const auto address = addressFromText(text);
  if (!address) return std::nullopt;
  return address->host();
}

std::string domainDisplayName(std::string_view host) {
  return qby::domainDisplayName(host);
}

std::string md5Hex(std::string_view text) {
  return md5HexDigest(text);
}

std::string replaceAll(std::string text, std::string_view placeholder, std::string_view value) {
  if (placeholder.empty()) return text;
  std::string result;
  std::size_t position = 0;
  for (;;) {
    const auto found = text.find(placeholder, position);
    if (found == std::string::npos) break;
    result.append(text, position, found - position);
    result.append(value);
    position = found + placeholder.size();
  }
  result.append(text, position, std::string::npos);
  return result;
}

std::string escapeHTML(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        result += "&amp;";
        break;
      case '<':
        result += "&lt;";
        break;
      case '>':
        result += "&gt;";
        break;
      case '"':
        result += "&quot;";
        break;
      case '\'':
        result += "&#39;";
        break;
      default:
        result += c;
    }
  }
  return result;
}

}  // namespace qby::modeltext
