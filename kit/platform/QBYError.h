// An error value: domain, code, localised description and user information. Failures are
// values passed out of operations; nothing throws across a module boundary.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Value.h"

namespace qby {

inline constexpr const char* QBYErrorDomainGLib = "org.gtk.GLib.Error";

struct QBYError {
  std::string domain;
  std::int64_t code = 0;
  std::string localizedDescription;
  Dictionary userInfo;

  static QBYError make(std::string domain, std::int64_t code, std::string description,
                       Dictionary userInfo = {});

  // "Error Domain=<domain> Code=<code> \"<description>\"", as the platform prints an error.
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
