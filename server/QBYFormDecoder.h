// Decodes an application/x-www-form-urlencoded body or query into ordered fields, the way the
// sync clients encode them: '&' separates fields, the first '=' separates name and value, '+' is
// a space and %XX a byte. A '%' not followed by two hex digits stays as it is. Every name and
// value comes out as valid UTF-8 (invalid bytes become U+FFFD); a field holding a NUL byte makes
// the whole form invalid, because neither back end can store one in a text column.
//
// Thread rule: a pure value; any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qby::server {

class QBYFormDecoder {
 public:
  struct Limits {
    size_t maxFields = 256;
    size_t maxNameLength = 64;
    size_t maxValueLength = 64 * 1024;
  };

  // Nothing when the form breaks a limit or holds a NUL byte; `error` then says which.
  static std::optional<QBYFormDecoder> decode(std::string_view form, const Limits& limits,
                                              std::string* error = nullptr);
  static std::optional<QBYFormDecoder> decode(std::string_view form) {
    return decode(form, Limits{});
  }

  // The first field of that name: the command's own fields come before the common tail, so a
  // tail field cannot replace them.
  std::optional<std::string> value(std::string_view name) const;
  // The value, or "" when the field is absent.
  std::string text(std::string_view name) const { return value(name).value_or(std::string()); }
  bool has(std::string_view name) const { return value(name).has_value(); }
  const std::vector<std::pair<std::string, std::string>>& fields() const { return fields_; }

  // Percent-decoding of one component ('+' as space), made valid UTF-8.
  static std::string unescape(std::string_view component);

 private:
  std::vector<std::pair<std::string, std::string>> fields_;
};

}  // namespace qby::server
