// Printf-style formatting with the object placeholder "%@", so that log lines and localised
// texts keep their exact wording ("Error saving changes: %@ %@"). Arguments are consumed in
// order; "%1$@" picks one by position (translations may reorder). Recognised conversions:
// %@ %d %i %ld %li %lld %lu %llu %u %zu %zd %f %.Nf %g %s %x %%. An argument's text form comes
// from describe(): absent optionals read "(null)", as the platform prints a nil object.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace qby {

class Value;
class Date;
struct QBYError;

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
  requires std::is_integral_v<T> && (!std::is_same_v<T, bool>)
FormatArg formatArg(T value) {
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
