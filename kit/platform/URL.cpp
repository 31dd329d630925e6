#include "platform/URL.h"

#include <glib.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <memory>

#include "platform/GLibPtr.h"

namespace qby {

namespace {

// Character classes of RFC 3986, on single bytes; anything non-ASCII is outside all of them.
bool isAlpha(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool isDigit(unsigned char c) {
  return c >= '0' && c <= '9';
}
bool isHex(unsigned char c) {
  return g_ascii_isxdigit(c);
}
bool isUnreserved(unsigned char c) {
  return isAlpha(c) || isDigit(c) || c == '-' || c == '.' || c == '_' || c == '~';
}
bool isSubDelim(unsigned char c) {
  return c != 0 && std::strchr("!$&'()*+,;=", c) != nullptr;
}
bool isPChar(unsigned char c) {
  return isUnreserved(c) || isSubDelim(c) || c == ':' || c == '@';
}
bool isRegNameChar(unsigned char c) {
  return isUnreserved(c) || isSubDelim(c);
}
// What a built host may keep unencoded: a "host:port" text or an IP literal passes through
// whole and is checked when the address is parsed.
bool isHostTextChar(unsigned char c) {
  return isRegNameChar(c) || c == ':' || c == '[' || c == ']';
}
bool isUserInfoChar(unsigned char c) {
  return isRegNameChar(c) || c == ':';
}
bool isPathChar(unsigned char c) {
  return isPChar(c) || c == '/';
}
bool isQueryChar(unsigned char c) {
  return isPChar(c) || c == '/' || c == '?';
}
// Browsers accept a second "#" inside a fragment; this is the only leniency.
bool isFragmentChar(unsigned char c) {
  return isQueryChar(c) || c == '#';
}

bool startsEscape(std::string_view s, std::size_t i) {
  return s[i] == '%' && i + 2 < s.size() && isHex(s[i + 1]) && isHex(s[i + 2]);
}

// Every byte is allowed or part of a well-formed "%XX" escape.
bool isValidComponent(std::string_view s, bool (*allowed)(unsigned char)) {
  for (std::size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c == '%') {
      if (!startsEscape(s, i)) return false;
      i += 2;
    } else if (!allowed(c)) {
      return false;
    }
  }
  return true;
}

bool isValidScheme(std::string_view s) {
  if (s.empty() || !isAlpha(s[0])) return false;
  for (unsigned char c : s) {
    if (!isAlpha(c) && !isDigit(c) && c != '+' && c != '-' && c != '.') return false;
  }
  return true;
}

// "[…]": an IPv6 address or an IPvFuture literal ("v1.x").
bool isValidIPLiteral(std::string_view s) {
  if (s.size() < 2 || s.front() != '[' || s.back() != ']') return false;
  const std::string inner(s.substr(1, s.size() - 2));
  if (!inner.empty() && (inner[0] == 'v' || inner[0] == 'V')) {
    const auto dot = inner.find('.');
    if (dot == std::string::npos || dot < 2 || dot + 1 == inner.size()) return false;
    for (std::size_t i = 1; i < dot; ++i) {
      if (!isHex(inner[i])) return false;
    }
    for (std::size_t i = dot + 1; i < inner.size(); ++i) {
      if (!isUserInfoChar(inner[i])) return false;
    }
    return true;
  }
  // GLib reads a C string: a NUL would hide whatever follows it from the check.
  return inner.find(':') != std::string::npos && inner.find('\0') == std::string::npos &&
         g_hostname_is_ip_address(inner.c_str());
}

std::optional<int> parsePort(std::string_view digits) {
  int port = 0;
  const auto* end = digits.data() + digits.size();
  const auto [ptr, ec] = std::from_chars(digits.data(), end, port);
  if (ec != std::errc() || ptr != end || port < 0 || port > 65535) return std::nullopt;
  return port;
}

char hexDigit(unsigned value) {
  return "0123456789ABCDEF"[value & 0xF];
}

// Percent-encodes every byte the component may not hold, keeping escapes already made.
std::string encode(std::string_view s, bool (*allowed)(unsigned char)) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c == '%' && startsEscape(s, i)) {
      out.append(s.substr(i, 3));
      i += 2;
    } else if (c != '%' && allowed(c)) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(hexDigit(c >> 4));
      out.push_back(hexDigit(c));
    }
  }
  return out;
}

std::string encodeHost(const std::string& host) {
  if (host.empty() || host.front() == '[') return host;
  if (host.find(':') != std::string::npos && g_hostname_is_ip_address(host.c_str())) {
    return "[" + host + "]";
  }
  if (g_str_is_ascii(host.c_str()) || !g_utf8_validate(host.data(), host.size(), nullptr)) {
    return encode(host, isHostTextChar);
  }
  // Names that IDNA cannot convert are kept, byte-encoded, rather than lost.
  const GCharPtr ascii(g_hostname_to_ascii(host.c_str()));
  return encode(ascii ? std::string_view(ascii.get()) : std::string_view(host), isHostTextChar);
}

std::string decodedOrRaw(std::string_view s) {
  auto decoded = stringByRemovingPercentEncoding(s);
  return decoded ? std::move(*decoded) : std::string(s);
}

// Escapes stay as written; host names are not IDNA-converted.
constexpr GUriFlags kGUriFlags = static_cast<GUriFlags>(G_URI_FLAGS_ENCODED | G_URI_FLAGS_NON_DNS);

}  // namespace

std::optional<URL> URL::URLWithString(std::string_view text) {
  if (text.empty()) return std::nullopt;
  URL url;
  std::string_view rest = text;

  // A ":" before any "/", "?" or "#" ends a scheme; a relative reference may not have one there.
  const auto firstDelimiter = rest.find_first_of(":/?#");
  if (firstDelimiter != std::string_view::npos && rest[firstDelimiter] == ':') {
    const auto scheme = rest.substr(0, firstDelimiter);
    if (!isValidScheme(scheme)) return std::nullopt;
    url.scheme_ = std::string(scheme);
    rest.remove_prefix(firstDelimiter + 1);
  }

  if (const auto hash = rest.find('#'); hash != std::string_view::npos) {
    const auto fragment = rest.substr(hash + 1);
    if (!isValidComponent(fragment, isFragmentChar)) return std::nullopt;
    url.fragment_ = std::string(fragment);
    rest = rest.substr(0, hash);
  }
  if (const auto question = rest.find('?'); question != std::string_view::npos) {
    const auto query = rest.substr(question + 1);
    if (!isValidComponent(query, isQueryChar)) return std::nullopt;
    url.query_ = std::string(query);
    rest = rest.substr(0, question);
  }

  if (rest.starts_with("//")) {
    rest.remove_prefix(2);
    const auto slash = rest.find('/');
    std::string_view authority = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);

    if (const auto at = authority.find('@'); at != std::string_view::npos) {
      const auto userInfo = authority.substr(0, at);
      if (!isValidComponent(userInfo, isUserInfoChar)) return std::nullopt;
      url.userInfo_ = std::string(userInfo);
      authority.remove_prefix(at + 1);
    }
    std::string_view host = authority;
    std::optional<std::string_view> port;
    if (authority.starts_with("[")) {
      const auto close = authority.find(']');
      if (close == std::string_view::npos) return std::nullopt;
      host = authority.substr(0, close + 1);
      if (!isValidIPLiteral(host)) return std::nullopt;
      const auto after = authority.substr(close + 1);
      if (!after.empty()) {
        if (after[0] != ':') return std::nullopt;
        port = after.substr(1);
      }
    } else {
      if (const auto colon = authority.find(':'); colon != std::string_view::npos) {
        host = authority.substr(0, colon);
        port = authority.substr(colon + 1);
      }
      if (!isValidComponent(host, isRegNameChar)) return std::nullopt;
    }
    if (port && !port->empty()) {
      url.port_ = parsePort(*port);
      if (!url.port_) return std::nullopt;
    }
    url.host_ = std::string(host);
  }

  if (!isValidComponent(rest, isPathChar)) return std::nullopt;
  url.path_ = std::string(rest);
  url.text_ = std::string(text);
  return url;
}

std::optional<URL> URL::URLWithString(std::string_view text, const URL& relativeTo) {
  if (!relativeTo.isAbsolute() || !URLWithString(text)) return std::nullopt;
  // Both texts are already valid, so GLib's errors carry nothing worth reporting.
  const GUriPtr base(g_uri_parse(relativeTo.text_.c_str(), kGUriFlags, nullptr));
  if (!base) return std::nullopt;
  const std::string reference(text);
  const GUriPtr resolved(g_uri_parse_relative(base.get(), reference.c_str(), kGUriFlags, nullptr));
  if (!resolved) return std::nullopt;
  const GCharPtr resolvedText(g_uri_to_string(resolved.get()));
  if (!resolvedText) return std::nullopt;
  return URLWithString(resolvedText.get());
}

std::optional<std::string> URL::host() const {
  if (!host_ || host_->empty()) return std::nullopt;
  if (host_->front() == '[') return host_->substr(1, host_->size() - 2);
  return decodedOrRaw(*host_);
}

std::string URL::path() const {
  std::string path = decodedOrRaw(path_);
  if (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::vector<std::string> URL::pathComponents() const {
  std::vector<std::string> components;
  if (path_.empty()) return components;
  if (path_.front() == '/') components.emplace_back("/");
  std::string_view rest = path_;
  while (!rest.empty()) {
    const auto slash = rest.find('/');
    const auto segment = rest.substr(0, slash);
    if (!segment.empty()) components.push_back(decodedOrRaw(segment));
    if (slash == std::string_view::npos) break;
    rest.remove_prefix(slash + 1);
  }
  return components;
}

std::string URL::lastPathComponent() const {
  auto components = pathComponents();
  return components.empty() ? std::string() : std::move(components.back());
}

std::string URL::pathExtension() const {
  const std::string last = lastPathComponent();
  const auto dot = last.rfind('.');
  if (dot == std::string::npos || dot == 0) return {};
  return last.substr(dot + 1);
}

URL URL::withoutFragment() const {
  if (!fragment_) return *this;
  URL url = *this;
  url.fragment_.reset();
  // The fragment starts at the first "#": no other component may hold one.
  url.text_.resize(text_.find('#'));
  return url;
}

std::optional<URL> URLComponents::url() const {
  std::string text;
  if (scheme) {
    if (!isValidScheme(*scheme)) return std::nullopt;
    text += *scheme + ":";
  }
  if (host) {
    text += "//" + encodeHost(*host);
    if (port) {
      if (*port < 0 || *port > 65535) return std::nullopt;
      text += ":" + std::to_string(*port);
    }
    if (!path.empty() && path.front() != '/') return std::nullopt;
    text += encode(path, isPathChar);
  } else {
    if (port || path.starts_with("//")) return std::nullopt;
    std::string encodedPath = encode(path, isPathChar);
    if (!scheme) {
      // Without a scheme, a ":" in the first segment would be read as one.
      const auto firstSegmentEnd = std::min(encodedPath.find('/'), encodedPath.size());
      std::string escaped;
      for (std::size_t i = 0; i < firstSegmentEnd; ++i) {
        escaped += encodedPath[i] == ':' ? std::string("%3A") : std::string(1, encodedPath[i]);
      }
      encodedPath = escaped + encodedPath.substr(firstSegmentEnd);
    }
    text += encodedPath;
  }
  if (query) text += "?" + encode(*query, isQueryChar);
  if (fragment) text += "#" + encode(*fragment, isQueryChar);
  return URL::URLWithString(text);
}

std::optional<std::string> stringByRemovingPercentEncoding(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out.push_back(text[i]);
      continue;
    }
    if (!startsEscape(text, i)) return std::nullopt;
    out.push_back(static_cast<char>(g_ascii_xdigit_value(text[i + 1]) * 16 +
                                    g_ascii_xdigit_value(text[i + 2])));
    i += 2;
  }
  // GLib's check refuses NUL bytes, which "%00" legitimately decodes to: check between them.
  for (std::size_t start = 0; start <= out.size();) {
    const auto nul = std::min(out.find('\0', start), out.size());
    if (!g_utf8_validate(out.data() + start, static_cast<gssize>(nul - start), nullptr)) {
      return std::nullopt;
    }
    start = nul + 1;
  }
  return out;
}

}  // namespace qby
