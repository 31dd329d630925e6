#include "AddInput.h"

#include <algorithm>
#include <cctype>

#include "platform/Format.h"
#include "presentation/QBYDateFormatter.h"
#include "util/StringUtilities.h"

namespace porvane {

std::size_t characterCount(const std::string& text) {
  return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

std::optional<std::string> lengthError(const std::string& label, const std::string& value,
                                       std::size_t maximum) {
  if (characterCount(value) <= maximum) return std::nullopt;
  return qby::format("%@ is too long (at most %lu characters).", label,
                     static_cast<unsigned long>(maximum));
}

std::optional<std::string> textError(const std::string& text) {
  const std::string trimmed = qby::trimmedString(text);
  const bool oneWord =
      std::none_of(trimmed.begin(), trimmed.end(), [](unsigned char c) { return std::isspace(c); });
  const bool address = trimmed.find("://") != std::string::npos;
  if (oneWord && !address) {
    if (auto error = lengthError("Tracking No.", trimmed, kMaxNumberLength)) return error;
  }
  return lengthError("The text", trimmed, kMaxTextLength);
}

bool isPlausibleNumber(const std::string& text) {
  const auto alphanumeric = [](unsigned char c) { return std::isalnum(c) && c < 0x80; };
  if (text.empty() || !alphanumeric(text.front()) || !alphanumeric(text.back())) return false;
  std::size_t characters = 0;
  bool digit = false;
  std::size_t groupLetters = 0;
  bool groupDigit = false;
  const auto groupIsWord = [&] { return groupLetters > 3 && !groupDigit; };
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte == ' ' || byte == '-') {
      if (groupIsWord()) return false;
      groupLetters = 0;
      groupDigit = false;
      continue;
    }
    if (!alphanumeric(byte)) return false;
    ++characters;
    if (std::isdigit(byte)) {
      digit = true;
      groupDigit = true;
    } else {
      ++groupLetters;
    }
  }
  if (groupIsWord()) return false;
  return digit && characters >= 4 && characters <= kMaxNumberLength;
}

bool isCalendarDay(const std::string& text) {
  // The formatter refuses days that do not exist ("2024-02-30"); the shape is checked here
  // so that "2024-3-4" or a date with a time is not read leniently.
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return false;
  for (std::size_t i : {0u, 1u, 2u, 3u, 5u, 6u, 8u, 9u})
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
  return qby::QBYDateFormatter::sharedFormatter().dateFromString(text).has_value();
}

}  // namespace porvane
