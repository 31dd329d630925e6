#include "util/URLUtilities.h"

#include <unicode/uniset.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <climits>

#include "platform/Log.h"
#include "util/ICUText.h"
#include "util/StringUtilities.h"

namespace qby {

using icutext::unicode;

namespace {

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

// Runs an anchored pattern from the start of the text; the matcher keeps `input` referenced.
std::unique_ptr<icu::RegexMatcher> matchAtStart(const icutext::Pattern& pattern,
                                                const icu::UnicodeString& input) {
  auto matcher = pattern.matcher(input);
  UErrorCode status = U_ZERO_ERROR;
  if (!matcher || !matcher->lookingAt(status) || U_FAILURE(status)) return nullptr;
  return matcher;
}

// The one way the unknown-string pattern fails to match: its fragment, "#(.*)", cannot cross a
// line break (LF, VT, FF, CR, NEL, LS, PS for ICU), and "$" allows only a final one. Checking this
// first matters: the failing match backtracks through every split of host and path, which takes
// forever on long texts, while a match that succeeds does so on its first try.
bool fragmentHasInnerLineBreak(const icu::UnicodeString& text) {
  const int32_t hash = text.indexOf(u'#');
  if (hash < 0) return false;
  const int32_t length = text.length();
  for (int32_t i = hash + 1; i < length; ++i) {
    const char16_t c = text[i];
    const bool lineBreak =
        (c >= u'\n' && c <= u'\r') || c == u'\u0085' || c == u'\u2028' || c == u'\u2029';
    if (!lineBreak) continue;
    const bool final = i == length - 1 || (c == u'\r' && i == length - 2 && text[i + 1] == u'\n');
    if (!final) return true;
  }
  return false;
}

std::string withoutEmpty(std::optional<std::string> text) {
  return text.value_or("");
}

}  // namespace

bool isURL(std::string_view text) {
  return text.starts_with("http://") || text.starts_with("https://");
}

std::string stringByRemovingURLScheme(std::string_view text) {
  if (text.starts_with("http://")) return std::string(text.substr(7));
  if (text.starts_with("https://")) return std::string(text.substr(8));
  return std::string(text);
}

std::optional<std::string> stringByRemovingURLFragment(std::string_view text) {
  const auto url = URL::URLWithString(text);
  if (!url) return std::nullopt;
  return url->withoutFragment().absoluteString();
}

std::string domainDisplayName(std::string_view host) {
  static const icutext::Pattern pattern("^(www|m|em|nolp)\\.");
  const icu::UnicodeString input = unicode(host);
  const auto matcher = matchAtStart(pattern, input);
  if (!matcher) return std::string(host);
  UErrorCode status = U_ZERO_ERROR;
  const int32_t end = matcher->end(status);
  return icutext::utf8(input, end, input.length());
}

const CharacterSet& URLQueryPartAllowedCharacterSet() {
  // RFC 3986 query characters (unreserved, sub-delims, ":", "@", "/", "?") less "?&=@+/'".
  static const CharacterSet set = CharacterSet::withCharactersInString(
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~!$()*,;:");
  return set;
}

std::string stringEncodedForURLQuery(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  const CharacterSet& allowed = URLQueryPartAllowedCharacterSet();
  std::string out;
  out.reserve(text.size());
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const auto length = static_cast<int32_t>(std::min<std::size_t>(text.size(), INT32_MAX));
  for (int32_t i = 0; i < length;) {
    const int32_t start = i;
    UChar32 c = 0;
    U8_NEXT(bytes, i, length, c);
    if (c >= 0 && allowed.contains(static_cast<char32_t>(c))) {
      out.append(text.substr(start, i - start));
      continue;
    }
    // Invalid bytes are encoded one by one as well, so nothing is lost.
    for (int32_t j = start; j < i; ++j) {
      out.push_back('%');
      out.push_back(kHex[bytes[j] >> 4]);
      out.push_back(kHex[bytes[j] & 0xF]);
    }
  }
  return out;
}

std::string addKey(std::string_view text, const std::optional<std::string>& key,
                   const std::optional<std::string>& value) {
  std::string result(text);
  if (key && value) result += "&" + *key + "=" + stringEncodedForURLQuery(*value);
  return result;
}

std::string addKey(std::string_view text, const std::optional<std::string>& key,
                   const std::optional<std::string>& value, long no) {
  if (!key) return std::string(text);
  return addKey(text, *key + std::to_string(no), value);
}

Dictionary dictionaryFromQuery(std::string_view query) {
  Dictionary dictionary;
  while (true) {
    const auto ampersand = query.find('&');
    const std::string_view part = query.substr(0, ampersand);
    if (const auto equals = part.find('='); equals != std::string_view::npos) {
      const std::string_view key = part.substr(0, equals);
      std::string_view value = part.substr(equals + 1);
      value = value.substr(0, value.find('='));
      // Keeping a malformed value as written loses less than dropping the pair.
      auto decoded = stringByRemovingPercentEncoding(value);
      dictionary.set(key, Value(decoded ? std::move(*decoded) : std::string(value)));
    }
    if (ampersand == std::string_view::npos) break;
    query.remove_prefix(ampersand + 1);
  }
  return dictionary;
}

std::string validHTTPScheme(std::string_view text) {
  return startsWithIgnoringCase(text, "https") ? "https" : "http";
}

bool isValidHTTPURL(std::string_view text) {
  return startsWithIgnoringCase(text, "http://") || startsWithIgnoringCase(text, "https://");
}

std::string stringByAddingHTTPScheme(std::string_view text) {
  // The scheme pattern is "^([a-z]*)(:/*|//*)". Its trailing "/*" can only take every "/" that
  // follows, so it is done by hand: ICU keeps a backtracking frame per character of a literal
  // loop and gives up on very long runs.
  static const icutext::Pattern pattern("^([a-z]*)(:|/)", UREGEX_CASE_INSENSITIVE);
  const icu::UnicodeString input = unicode(text);
  std::string scheme = "http";
  std::string rest(text);
  if (const auto matcher = matchAtStart(pattern, input)) {
    const std::string letters = withoutEmpty(icutext::group(*matcher, 1));
    if (letters.size() == 5 && startsWithIgnoringCase(letters, "https")) scheme = "https";
    UErrorCode status = U_ZERO_ERROR;
    int32_t end = matcher->end(status);
    while (end < input.length() && input[end] == u'/') ++end;
    rest = icutext::utf8(input, end, input.length());
  }
  return scheme + "://" + rest;
}

std::optional<std::string> stringByRemovingLonelyHTTP(std::string_view text) {
  static const icutext::Pattern pattern("^(http(s?))?:?/?/?$");
  const icu::UnicodeString input = unicode(text);
  if (matchAtStart(pattern, input)) return std::nullopt;
  return std::string(text);
}

std::string stringByCleaningUpHTTPScheme(std::string_view text) {
  const std::string withScheme =
      isValidHTTPURL(text) ? std::string(text) : stringByAddingHTTPScheme(text);
  return stringByRemovingLonelyHTTP(withScheme).value_or("");
}

std::optional<URL> URLWithUnknownString(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  if (auto url = URL::URLWithString(*text)) return url;

  static const icutext::Pattern pattern(
      "^(([a-z]*)(:/*|//*))?([^/?#]*)([^?#]*)(\\?([^#]*))?(#(.*))?$", UREGEX_CASE_INSENSITIVE);
  if (!pattern.isValid()) {
    log("Error creating regular expression in URLWithUnknownString: %@", pattern.error());
    return std::nullopt;
  }
  const icu::UnicodeString input = unicode(*text);
  if (fragmentHasInnerLineBreak(input)) return std::nullopt;
  const auto matcher = matchAtStart(pattern, input);
  if (!matcher) return std::nullopt;

  const std::string host = withoutEmpty(icutext::group(*matcher, 4));
  // Any white space, not only " ": a host with a tab or line break is no more usable.
  if (host.empty() || CharacterSet::whitespaceAndNewlineCharacterSet().containsAnyCharacter(host)) {
    return std::nullopt;
  }
  URLComponents components;
  components.scheme = validHTTPScheme(withoutEmpty(icutext::group(*matcher, 2)));
  components.host = host;
  components.path = withoutEmpty(icutext::group(*matcher, 5));
  if (auto query = icutext::group(*matcher, 7); hasValue(query)) components.query = query;
  if (auto fragment = icutext::group(*matcher, 9); hasValue(fragment)) {
    components.fragment = fragment;
  }
  return components.url();
}

std::optional<URL> URLByAddingHTTPSchemeToURL(const std::optional<URL>& url) {
  return URLWithUnknownString(
      stringByAddingHTTPScheme(url ? std::string_view(url->absoluteString()) : ""));
}

URL URLByRemovingFragment(const URL& url) {
  const std::string& text = url.absoluteString();
  const auto hash = text.rfind('#');
  if (hash == std::string::npos) return url;
  // Cutting a valid address at a "#" leaves a valid one; the fallback only guards that.
  if (auto cut = URL::URLWithString(std::string_view(text).substr(0, hash))) return *cut;
  return url.withoutFragment();
}

std::optional<std::string> firstPathComponent(const URL& url) {
  auto components = url.pathComponents();
  if (components.size() < 2) return std::nullopt;
  return std::move(components[1]);
}

bool isValidHTTPURL(const URL& url) {
  if (!url.scheme()) return false;
  const std::string& scheme = *url.scheme();
  return (scheme.size() == 4 && startsWithIgnoringCase(scheme, "http")) ||
         (scheme.size() == 5 && startsWithIgnoringCase(scheme, "https"));
}

std::string stringByHidingQuerySecrets(std::string_view text) {
  static constexpr std::string_view kSecretNames[] = {
      "apikey", "api_key", "key", "token", "access_token", "client_secret", "password", "secret"};
  std::string result;
  result.reserve(text.size());
  std::size_t position = 0;
  const std::size_t query = text.find('?');
  if (query == std::string_view::npos) return std::string(text);
  result.append(text.substr(0, query + 1));
  position = query + 1;
  while (position <= text.size()) {
    std::size_t end = text.find_first_of("&#", position);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view pair = text.substr(position, end - position);
    const std::size_t equals = pair.find('=');
    const std::string_view name = pair.substr(0, equals);
    const bool secret =
        equals != std::string_view::npos &&
        std::any_of(std::begin(kSecretNames), std::end(kSecretNames), [&](std::string_view n) {
          return n.size() == name.size() && startsWithIgnoringCase(name, n);
        });
    result.append(secret ? std::string(name) + "=(hidden)" : std::string(pair));
    if (end == text.size()) break;
    result.push_back(text[end]);
    if (text[end] == '#') {
      result.append(text.substr(end + 1));
      break;
    }
    position = end + 1;
  }
  return result;
}

}  // namespace qby
