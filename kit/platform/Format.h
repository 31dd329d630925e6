// Printf-style formatting with the object placeholder "%@", so that log lines and localised
// texts keep their exact wording ("Error saving changes: %@ %@"). Arguments are consumed in
// order; "%1$@" picks one by position (translations may reorder) and does not move the
// in-order count. Recognised conversions: %@ %d %i %u %x %X %o %c %s %f %F %e %E %g %G and %%,
// with flags (-+ 0#), width, precision and any length modifier (h hh l ll q z j t L, all
// ignored: the argument's own kind decides). An argument's text form comes from describe():
// absent optionals read "(null)", as the platform prints a nil object; %@ of a Value is its
// description(), of a Date "2024-01-31 12:00:00 +0000" (UTC), of a QBYError its description().
//
// Never reads beyond the arguments and never fails:
// - a placeholder without an argument prints "(null)";
// - a number conversion given a text prints the text; %d of a real truncates it;
// - an unknown or malformed placeholder ("%k", "%n", "%*d", a width above 4096, a lone "%"
//   at the end) is copied as written and takes no argument;
// - numbers use a decimal point whatever the locale.
// Widths pad %@ and %s by characters, not bytes. Any thread may call.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

// Complete types, not forward declarations: overload resolution for formatArg() looks at
// std::optional<QBYError>, which must not be instantiated with an incomplete type.
#include "platform/QBYError.h"

namespace qby {

// One argument of format(): its text form plus, for numbers, the number itself so that
// "%d" and "%.2f" can print it their own way.
struct FormatArg {
  enum class Kind { Text, Integer, Unsigned, Real };
  Kind kind = Kind::Text;
  std::string text;
  long long integer = 0;
  unsigned long long unsignedInteger = 0;
  double real = 0;
};

FormatArg formatArg(std::string_view text);
FormatArg formatArg(const std::string& text);
FormatArg formatArg(const char* text);
FormatArg formatArg(const std::optional<std::string>& text);
FormatArg formatArg(bool value);
FormatArg formatArg(double value);
FormatArg formatArg(const Value& value);
FormatArg formatArg(const Date& date);
FormatArg formatArg(const QBYError& error);
FormatArg formatArg(const std::optional<QBYError>& error);
template <typename T>
requires std::is_integral_v<T> &&(!std::is_same_v<T, bool>)FormatArg formatArg(T value) {
  FormatArg arg;
  if constexpr (std::is_signed_v<T>) {
    arg.kind = FormatArg::Kind::Integer;
    arg.integer = value;
    arg.text = std::to_string(static_cast<long long>(value));
  } else {
    arg.kind = FormatArg::Kind::Unsigned;
    arg.unsignedInteger = value;
    arg.text = std::to_string(static_cast<unsigned long long>(value));
  }
  return arg;
}

std::string formatArgs(std::string_view format, const std::vector<FormatArg>& args);

template <typename... Args>
std::string format(std::string_view fmt, const Args&... args) {
  return formatArgs(fmt, std::vector<FormatArg>{formatArg(args)...});
}

}  // namespace qby
