// Query strings: reading one, and putting values into one. Any value encoded for a query and
// added under a key must read back unchanged, the encoded text must hold only characters a
// query part may hold, and reading any query text must give UTF-8 keys' values where the escapes
// are good. The helpers that tidy a user's address text must keep UTF-8 UTF-8.
//
// Input: "<query>" alone, or "<key>\0<value>".
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "util/URLUtilities.h"

namespace {

bool isQueryPartText(std::string_view text) {
  const auto& allowed = qby::URLQueryPartAllowedCharacterSet();
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%') {
      if (i + 2 >= text.size()) return false;
      if (!std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
          !std::isxdigit(static_cast<unsigned char>(text[i + 2])))
        return false;
      i += 2;
    } else if (static_cast<unsigned char>(c) >= 0x80 || !allowed.contains(char32_t(c))) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const bool utf8 = qby::fuzz::isValidUTF8(input);

  const qby::Dictionary query = qby::dictionaryFromQuery(input);
  for (const auto& [key, value] : query) {
    FUZZ_CHECK(value.isString(), key);
    FUZZ_CHECK(key.find('&') == std::string::npos && key.find('=') == std::string::npos, key);
    if (utf8) FUZZ_CHECK(qby::fuzz::isValidUTF8(*value.stringPtr()), input);
  }

  const auto [head, rest] = qby::fuzz::splitAtNul(data, size);
  if (head && qby::fuzz::isValidUTF8(rest)) {
    const std::string value(rest);
    const std::string encoded = qby::stringEncodedForURLQuery(value);
    FUZZ_CHECK(isQueryPartText(encoded), encoded);
    // A key is used as given, so only keys that a query can carry plainly come back.
    const bool plainKey =
        !head->empty() && isQueryPartText(*head) && head->find('%') == std::string::npos;
    if (plainKey) {
      const std::string text = qby::addKey("a=1", *head, value);
      const qby::Dictionary read = qby::dictionaryFromQuery(text);
      FUZZ_CHECK(read[*head].asString() == value, text);
      if (*head != "a") FUZZ_CHECK(read["a"].asString() == std::string("1"), text);
      const std::string numbered = qby::addKey("", *head, value, 12);
      FUZZ_CHECK(qby::dictionaryFromQuery(numbered)[*head + "12"].asString() == value, numbered);
    }
  }

  // A user's address text on its way to an address; only ASCII is touched.
  if (utf8) {
    FUZZ_CHECK(qby::fuzz::isValidUTF8(qby::stringByHidingQuerySecrets(input)), input);
    FUZZ_CHECK(qby::fuzz::isValidUTF8(qby::stringByCleaningUpHTTPScheme(input)), input);
    FUZZ_CHECK(qby::fuzz::isValidUTF8(qby::stringByAddingHTTPScheme(input)), input);
    FUZZ_CHECK(qby::fuzz::isValidUTF8(qby::domainDisplayName(input)), input);
    (void)qby::stringByRemovingURLFragment(input);
    (void)qby::stringByRemovingLonelyHTTP(input);
  }
  return 0;
}
