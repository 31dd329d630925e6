#include "SafeText.h"

#include <glib.h>

#include <cstdio>
#include <memory>

namespace porvane {

namespace {

constexpr std::size_t kQuotedWordLength = 40;

bool isContinuationByte(unsigned char byte) {
  return (byte & 0xC0) == 0x80;
}

std::string hexEscape(const char* prefix, unsigned value, int digits) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%s%0*X", prefix, digits, value);
  return buffer;
}

}  // namespace

std::string validUTF8(std::string_view text) {
  if (g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr))
    return std::string(text);
  // GLib replaces each invalid sequence with U+FFFD (a NUL byte too, which no C string of the
  // tool could carry on anyway).
  std::unique_ptr<gchar, decltype(&g_free)> valid(
      g_utf8_make_valid(text.data(), static_cast<gssize>(text.size())), &g_free);
  return valid ? std::string(valid.get()) : std::string();
}

std::string terminalText(std::string_view text) {
  const std::string valid = validUTF8(text);
  std::string result;
  result.reserve(valid.size());
  for (std::size_t i = 0; i < valid.size(); ++i) {
    const auto byte = static_cast<unsigned char>(valid[i]);
    if (byte == '\n') {
      result += "\\n";
    } else if (byte == '\t') {
      result += "\\t";
    } else if (byte == '\r') {
      result += "\\r";
    } else if (byte < 0x20 || byte == 0x7F) {
      result += hexEscape("\\x", byte, 2);
    } else if (byte == 0xC2 && i + 1 < valid.size() &&
               static_cast<unsigned char>(valid[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(valid[i + 1]) <= 0x9F) {
      // U+0080 to U+009F: the C1 controls, among them CSI (U+009B), which some terminals
      // take as the start of an escape sequence.
      result += hexEscape("\\u", static_cast<unsigned char>(valid[++i]) & 0xFF, 4);
    } else {
      result += static_cast<char>(byte);
    }
  }
  return result;
}

std::string shortenedText(std::string_view text, std::size_t maximum) {
  std::size_t characters = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (isContinuationByte(static_cast<unsigned char>(text[i]))) continue;
    if (characters == maximum) return std::string(text.substr(0, i)) + "…";
    ++characters;
  }
  return std::string(text);
}

std::string quotedWord(std::string_view word) {
  return "“" + terminalText(shortenedText(validUTF8(word), kQuotedWordLength)) + "”";
}

}  // namespace porvane
