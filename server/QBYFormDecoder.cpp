#include "QBYFormDecoder.h"

#include <glib.h>

namespace qby::server {

namespace {

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Valid UTF-8 of the bytes. A NUL byte becomes U+FFFD too: GLib's repair stops at one, which
// would silently cut the text there.
std::string validUTF8(const std::string& bytes) {
  if (bytes.find('\0') == std::string::npos &&
      g_utf8_validate_len(bytes.data(), bytes.size(), nullptr))
    return bytes;
  std::string result;
  size_t start = 0;
  while (start <= bytes.size()) {
    size_t nul = bytes.find('\0', start);
    if (nul == std::string::npos) nul = bytes.size();
    if (nul > start) {
      char* valid = g_utf8_make_valid(bytes.data() + start, static_cast<gssize>(nul - start));
      result += valid;
      g_free(valid);
    }
    if (nul == bytes.size()) break;
    result += "\xEF\xBF\xBD";
    start = nul + 1;
  }
  return result;
}

std::string unescapeBytes(std::string_view component) {
  std::string bytes;
  bytes.reserve(component.size());
  for (size_t i = 0; i < component.size(); ++i) {
    const char c = component[i];
    if (c == '+') {
      bytes.push_back(' ');
    } else if (c == '%' && i + 2 < component.size() && hexDigit(component[i + 1]) >= 0 &&
               hexDigit(component[i + 2]) >= 0) {
      bytes.push_back(
          static_cast<char>(hexDigit(component[i + 1]) * 16 + hexDigit(component[i + 2])));
      i += 2;
    } else {
      bytes.push_back(c);
    }
  }
  return bytes;
}

}  // namespace

std::string QBYFormDecoder::unescape(std::string_view component) {
  return validUTF8(unescapeBytes(component));
}

std::optional<QBYFormDecoder> QBYFormDecoder::decode(std::string_view form, const Limits& limits,
                                                     std::string* error) {
  auto fail = [&](const char* why) -> std::optional<QBYFormDecoder> {
    if (error) *error = why;
    return std::nullopt;
  };
  QBYFormDecoder decoder;
  size_t start = 0;
  while (start <= form.size()) {
    size_t end = form.find('&', start);
    if (end == std::string_view::npos) end = form.size();
    const std::string_view field = form.substr(start, end - start);
    start = end + 1;
    if (field.empty()) {
      if (end == form.size()) break;
      continue;
    }
    if (decoder.fields_.size() >= limits.maxFields) return fail("too many fields");
    const size_t equals = field.find('=');
    const std::string_view rawName = field.substr(0, equals);
    const std::string_view rawValue =
        equals == std::string_view::npos ? std::string_view() : field.substr(equals + 1);
    // Encoding only ever grows a text, so the raw length bounds the decoded one from above by
    // three: check the raw text first to avoid decoding megabytes only to refuse them.
    if (rawName.size() > 3 * limits.maxNameLength || rawValue.size() > 3 * limits.maxValueLength)
      return fail("field too long");
    const std::string name = unescapeBytes(rawName);
    const std::string value = unescapeBytes(rawValue);
    if (name.size() > limits.maxNameLength || value.size() > limits.maxValueLength)
      return fail("field too long");
    if (name.find('\0') != std::string::npos || value.find('\0') != std::string::npos)
      return fail("field holds a NUL byte");
    decoder.fields_.emplace_back(validUTF8(name), validUTF8(value));
    if (end == form.size()) break;
  }
  return decoder;
}

std::optional<std::string> QBYFormDecoder::value(std::string_view name) const {
  for (const auto& [key, value] : fields_)
    if (key == name) return value;
  return std::nullopt;
}

}  // namespace qby::server
