#include "platform/Format.h"

#include <charconv>
#include <cstdio>
#include <limits>

#include "platform/Date.h"
#include "platform/NumericLocale.h"
#include "platform/QBYError.h"
#include "platform/Value.h"

namespace qby {

namespace {

constexpr const char* kAbsent = "(null)";

// What one placeholder asks for, as written between '%' and the conversion character.
struct Spec {
  std::string flags;
  int width = -1;
  int precision = -1;
  char conversion = 0;
};

// Counts characters, not bytes, so padded columns of non-ASCII texts line up.
std::size_t characterCount(std::string_view text) {
  std::size_t count = 0;
  for (const char c : text) {
    if ((static_cast<unsigned char>(c) & 0xc0) != 0x80) ++count;
  }
  return count;
}

std::string padded(std::string text, const Spec& spec) {
  if (spec.width < 0) return text;
  const std::size_t length = characterCount(text);
  const auto width = static_cast<std::size_t>(spec.width);
  if (length >= width) return text;
  const std::string fill(width - length, ' ');
  return spec.flags.find('-') != std::string::npos ? text + fill : fill + text;
}

// The printf directive for one number, with our own length modifier and only the parts
// that were written, so snprintf never sees anything it might misread.
std::string directive(const Spec& spec, const char* length, char conversion) {
  std::string result = "%" + spec.flags;
  if (spec.width >= 0) result += std::to_string(spec.width);
  if (spec.precision >= 0) result += "." + std::to_string(spec.precision);
  result += length;
  result += conversion;
  return result;
}

template <typename T>
std::string printNumber(const std::string& directiveText, T number) {
  const NumericLocaleScope numericLocale;  // "1.50", never "1,50"
  char small[128];
  const int needed = std::snprintf(small, sizeof small, directiveText.c_str(), number);
  if (needed < 0) return {};
  if (static_cast<std::size_t>(needed) < sizeof small) return std::string(small, needed);
  std::string large(static_cast<std::size_t>(needed) + 1, '\0');
  std::snprintf(large.data(), large.size(), directiveText.c_str(), number);
  large.resize(static_cast<std::size_t>(needed));
  return large;
}

// Reals out of the 64-bit range saturate instead of being undefined when cast.
long long realToInteger(double real) {
  if (real != real) return 0;
  if (real >= 9223372036854775808.0) return std::numeric_limits<long long>::max();
  if (real < -9223372036854775808.0) return std::numeric_limits<long long>::min();
  return static_cast<long long>(real);
}

long long signedOf(const FormatArg& arg) {
  switch (arg.kind) {
    case FormatArg::Kind::Integer:
      return arg.integer;
    case FormatArg::Kind::Unsigned:
      return static_cast<long long>(arg.unsignedInteger);
    case FormatArg::Kind::Real:
      return realToInteger(arg.real);
    case FormatArg::Kind::Text:
      break;
  }
  return 0;
}

double realOf(const FormatArg& arg) {
  switch (arg.kind) {
    case FormatArg::Kind::Integer:
      return static_cast<double>(arg.integer);
    case FormatArg::Kind::Unsigned:
      return static_cast<double>(arg.unsignedInteger);
    case FormatArg::Kind::Real:
      return arg.real;
    case FormatArg::Kind::Text:
      break;
  }
  return 0;
}

std::string convert(const Spec& spec, const FormatArg& arg) {
  switch (spec.conversion) {
    case '@':
      return padded(arg.text, spec);
    case 's': {
      std::string text = arg.text;
      if (spec.precision >= 0 && static_cast<std::size_t>(spec.precision) < text.size()) {
        text.resize(static_cast<std::size_t>(spec.precision));
      }
      return padded(std::move(text), spec);
    }
    default:
      break;
  }
  // A text given for a number conversion prints as text rather than as a made-up number.
  if (arg.kind == FormatArg::Kind::Text) return padded(arg.text, spec);
  switch (spec.conversion) {
    case 'd':
    case 'i':
      return printNumber(directive(spec, "ll", 'd'), signedOf(arg));
    case 'u':
    case 'x':
    case 'X':
    case 'o': {
      const unsigned long long number = arg.kind == FormatArg::Kind::Unsigned
                                            ? arg.unsignedInteger
                                            : static_cast<unsigned long long>(signedOf(arg));
      return printNumber(directive(spec, "ll", spec.conversion), number);
    }
    case 'c': {
      const long long code = signedOf(arg);
      return padded(std::string(1, static_cast<char>(code & 0xff)), spec);
    }
    default:  // f F e E g G
      return printNumber(directive(spec, "", spec.conversion), realOf(arg));
  }
}

bool isConversion(char c) {
  switch (c) {
    case '@':
    case 'd':
    case 'i':
    case 'u':
    case 'x':
    case 'X':
    case 'o':
    case 'c':
    case 's':
    case 'f':
    case 'F':
    case 'e':
    case 'E':
    case 'g':
    case 'G':
      return true;
    default:
      return false;
  }
}

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

// Reads a decimal number at pos; -1 when there is none or it is absurdly large.
int readNumber(std::string_view text, std::size_t& pos) {
  const std::size_t start = pos;
  while (pos < text.size() && isDigit(text[pos])) ++pos;
  if (pos == start) return -1;
  int number = 0;
  const auto result = std::from_chars(text.data() + start, text.data() + pos, number);
  if (result.ec != std::errc() || number > 4096) return -2;
  return number;
}

}  // namespace

FormatArg formatArg(std::string_view text) {
  FormatArg arg;
  arg.text = std::string(text);
  return arg;
}

FormatArg formatArg(const std::string& text) {
  return formatArg(std::string_view(text));
}

FormatArg formatArg(const char* text) {
  return formatArg(text ? std::string_view(text) : std::string_view(kAbsent));
}

FormatArg formatArg(const std::optional<std::string>& text) {
  return formatArg(text ? std::string_view(*text) : std::string_view(kAbsent));
}

FormatArg formatArg(bool value) {
  FormatArg arg;
  arg.kind = FormatArg::Kind::Integer;
  arg.integer = value ? 1 : 0;
  arg.text = value ? "1" : "0";
  return arg;
}

FormatArg formatArg(double value) {
  FormatArg arg;
  arg.kind = FormatArg::Kind::Real;
  arg.real = value;
  arg.text = Value(value).description();
  return arg;
}

FormatArg formatArg(const Value& value) {
  FormatArg arg;
  arg.text = value.description();
  if (value.isBool() || value.isInteger()) {
    arg.kind = FormatArg::Kind::Integer;
    arg.integer = *value.asInteger();
  } else if (value.isReal()) {
    arg.kind = FormatArg::Kind::Real;
    arg.real = *value.asReal();
  }
  return arg;
}

FormatArg formatArg(const Date& date) {
  return formatArg(date.description());
}

FormatArg formatArg(const QBYError& error) {
  return formatArg(error.description());
}

FormatArg formatArg(const std::optional<QBYError>& error) {
  return error ? formatArg(*error) : formatArg(std::string_view(kAbsent));
}

std::string formatArgs(std::string_view format, const std::vector<FormatArg>& args) {
  std::string out;
  out.reserve(format.size() + 16 * args.size());
  std::size_t nextArg = 0;
  std::size_t pos = 0;
  while (pos < format.size()) {
    const std::size_t percent = format.find('%', pos);
    if (percent == std::string_view::npos) {
      out.append(format.substr(pos));
      break;
    }
    out.append(format.substr(pos, percent - pos));
    std::size_t cursor = percent + 1;
    if (cursor < format.size() && format[cursor] == '%') {
      out += '%';
      pos = cursor + 1;
      continue;
    }

    // [position$] [flags] [width] [.precision] [length] conversion
    Spec spec;
    int position = -1;
    {
      std::size_t probe = cursor;
      const int number = readNumber(format, probe);
      if (number > 0 && probe < format.size() && format[probe] == '$') {
        position = number;
        cursor = probe + 1;
      }
    }
    while (cursor < format.size() &&
           std::string_view("-+ 0#'").find(format[cursor]) != std::string_view::npos) {
      if (format[cursor] != '\'') spec.flags += format[cursor];
      ++cursor;
    }
    bool malformed = false;
    spec.width = readNumber(format, cursor);
    if (spec.width == -2) malformed = true;
    if (cursor < format.size() && format[cursor] == '.') {
      ++cursor;
      spec.precision = readNumber(format, cursor);
      if (spec.precision == -1) spec.precision = 0;
      if (spec.precision == -2) malformed = true;
    }
    while (cursor < format.size() &&
           std::string_view("hlqLjzt").find(format[cursor]) != std::string_view::npos) {
      ++cursor;
    }
    if (malformed || cursor >= format.size() || !isConversion(format[cursor])) {
      // Not a placeholder we know (or a lone '%' at the end): keep the text as written.
      const std::size_t end = cursor < format.size() ? cursor + 1 : format.size();
      out.append(format.substr(percent, end - percent));
      pos = end;
      continue;
    }
    spec.conversion = format[cursor];
    pos = cursor + 1;

    const std::size_t index = position > 0 ? static_cast<std::size_t>(position - 1) : nextArg++;
    if (index < args.size()) {
      out += convert(spec, args[index]);
    } else {
      out += padded(kAbsent, spec);
    }
  }
  return out;
}

}  // namespace qby
