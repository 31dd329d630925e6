// An error value: domain, code, localised description and user information. Failures are
// values passed out of operations; nothing throws across a module boundary.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Value.h"

namespace qby {

inline constexpr const char* QBYErrorDomainGLib = "org.gtk.GLib.Error";
// Failures of Value's JSON and property-list conversions (codes below). Parse errors carry
// the parser's message as description and, where known, "offset" (a byte index) in userInfo.
inline constexpr const char* QBYErrorDomainJSON = "com.quillbay.json";
inline constexpr const char* QBYErrorDomainPropertyList = "com.quillbay.plist";
enum QBYValueErrorCode : std::int64_t {
  QBYValueErrorUnreadable = 1,       // not well-formed, truncated or of an unknown format
  QBYValueErrorUnrepresentable = 2,  // a value the format cannot hold (JSON date, plist null…)
  QBYValueErrorTooDeep = 3,          // nested deeper than QBYValueMaxDepth
};
// Arrays and dictionaries nest at most this deep in anything converted, so that hostile
// input cannot exhaust the stack.
inline constexpr int QBYValueMaxDepth = 512;

struct QBYError {
  std::string domain;
  std::int64_t code = 0;
  std::string localizedDescription;
  Dictionary userInfo;

  static QBYError make(std::string domain, std::int64_t code, std::string description,
                       Dictionary userInfo = {});

  // "Error Domain=<domain> Code=<code> \"<description>\"", as the platform prints an error,
  // followed by " UserInfo={key=value, key2=value2}" (values in their description() form)
  // when there is user information.
  std::string description() const;
  // The user information in the old-style plist form ("{\n    key = value;\n}").
  std::string userInfoDescription() const;

  bool operator==(const QBYError&) const = default;
};

// Sets *out when out is not null; lets operations take an optional error out-parameter.
inline void setError(QBYError* out, QBYError error) {
  if (out) *out = std::move(error);
}

}  // namespace qby
