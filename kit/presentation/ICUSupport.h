// Small conversions between our types and ICU's, for the presentation sources only.
#pragma once

#include <unicode/unistr.h>
#include <unicode/utypes.h>

#include <cmath>
#include <string>
#include <string_view>

#include "platform/Date.h"

namespace qby::icusupport {

inline std::string toUTF8(const icu::UnicodeString& text) {
  std::string result;
  text.toUTF8String(result);
  return result;
}

inline icu::UnicodeString fromUTF8(std::string_view text) {
  return icu::UnicodeString::fromUTF8(
      icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
}

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

}  // namespace qby::icusupport
