// Web-address operations: on texts (a user's half-typed address, query strings, host names)
// and on addresses (`qby::URL`). They turn what a user types or pastes into usable addresses
// and put values into and read them out of query strings.
//
// Pure functions of their arguments; any thread. The query-part character set is built once
// and shared.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/URL.h"
#include "platform/Value.h"
#include "util/CharacterSet.h"

namespace qby {

// --- Texts ---

// Begins with "http://" or "https://" (case-sensitive).
bool isURL(std::string_view text);
// Without a leading "http://" or "https://".
std::string stringByRemovingURLScheme(std::string_view text);
// The address without its fragment; nothing when the text is not an address.
std::optional<std::string> stringByRemovingURLFragment(std::string_view text);
// A host name without a leading "www.", "m.", "em." or "nolp.".
std::string domainDisplayName(std::string_view host);

// Percent-encodes (as UTF-8 bytes) every character outside URLQueryPartAllowedCharacterSet.
std::string stringEncodedForURLQuery(std::string_view text);
// text + "&" + key + "=" + the value encoded for a query, when both key and value are present;
// otherwise the text unchanged. The key is used as given.
std::string addKey(std::string_view text, const std::optional<std::string>& key,
                   const std::optional<std::string>& value);
// addKey with the key followed by the number ("item" and 2 give "item2").
std::string addKey(std::string_view text, const std::optional<std::string>& key,
                   const std::optional<std::string>& value, long no);
// "a=1&b=x%20y" → a → "1", b → "x y". Parts without "=" are skipped, a later key wins, text
// after a second "=" is dropped. A value whose escapes are malformed is kept as written.
Dictionary dictionaryFromQuery(std::string_view query);

// "https" when the text starts with "https" in any case, otherwise "http".
std::string validHTTPScheme(std::string_view text);
// Starts with "http://" or "https://" in any case.
bool isValidHTTPURL(std::string_view text);
// The text with its leading scheme (letters followed by ":" and/or slashes) replaced by
// "https://" when it was https, otherwise "http://"; "example.com" gives "http://example.com".
std::string stringByAddingHTTPScheme(std::string_view text);
// Nothing when the text is only a piece of a scheme ("", "http", "https:", "http://"), else the
// text.
std::optional<std::string> stringByRemovingLonelyHTTP(std::string_view text);
// A user's address text with a proper http(s) scheme; "" when nothing is left but a scheme.
std::string stringByCleaningUpHTTPScheme(std::string_view text);

// --- Addresses ---

// The text as an address: as it stands when it is one (also a relative reference), otherwise
// split into scheme, host, path, query and fragment and rebuilt with what needs it encoded
// (an "http" or "https" scheme). Nothing for no text, an empty host or a host with white space.
std::optional<URL> URLWithUnknownString(const std::optional<std::string>& text);
// URLWithUnknownString of stringByAddingHTTPScheme of the address's text ("" when there is no
// address, which gives "http://").
std::optional<URL> URLByAddingHTTPSchemeToURL(const std::optional<URL>& url);
// The address up to its last "#": only the last piece of a fragment that holds a "#" itself
// goes ("http://x/a#b#c" gives "http://x/a#b"). The address itself when it has no "#".
URL URLByRemovingFragment(const URL& url);
// The second path component ("a" of "http://x/a/b"); nothing when there are fewer than two.
std::optional<std::string> firstPathComponent(const URL& url);
// The scheme is "http" or "https" in any case.
bool isValidHTTPURL(const URL& url);

// The address with the values of query parameters that commonly carry secrets ("apikey",
// "key", "token", "access_token", "client_secret", "password", "secret", in any case) replaced
// by "(hidden)", for log lines. Works on any text; the rest is kept as it is.
std::string stringByHidingQuerySecrets(std::string_view text);

// The characters a query may hold unencoded, less "?&=@+/'": what stays as it is in a value
// put into a query string.
const CharacterSet& URLQueryPartAllowedCharacterSet();

}  // namespace qby
