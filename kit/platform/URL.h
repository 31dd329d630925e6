// Web addresses. `URL` is the address value the whole system passes around: an absolute address
// ("https://example.com/a?b#c") or a relative reference ("a/b", "//host/x", "?q"), exactly as
// written. Texts that would need percent-encoding first (spaces, non-ASCII, "<", a "%" that does
// not start an escape) are not addresses; `URLComponents` builds an address from such texts by
// encoding what needs it.
//
// Immutable values; any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qby {

class URL {
 public:
  // The text as an address when it is one as it stands: a valid RFC 3986 absolute address or
  // relative reference (a second "#" inside the fragment is tolerated, as browsers do). Nothing
  // for "" and for texts that need percent-encoding.
  static std::optional<URL> URLWithString(std::string_view text);
  // The text resolved against base into an absolute address; nothing when the text is not an
  // address or base is not absolute.
  static std::optional<URL> URLWithString(std::string_view text, const URL& relativeTo);

  // The address as written (for resolved addresses: as resolved).
  const std::string& absoluteString() const { return text_; }
  bool isAbsolute() const { return scheme_.has_value(); }

  // As written ("HTTP" stays "HTTP").
  const std::optional<std::string>& scheme() const { return scheme_; }
  // Percent-decoded, without the brackets of an IPv6 literal; nothing when there is no
  // authority or its host is empty.
  std::optional<std::string> host() const;
  const std::optional<int>& port() const { return port_; }
  // Percent-decoded, without a trailing "/" (except for the root path "/").
  std::string path() const;
  const std::string& percentEncodedPath() const { return path_; }
  // Percent-encoded, as written.
  const std::optional<std::string>& query() const { return query_; }
  const std::optional<std::string>& fragment() const { return fragment_; }

  // "/" first for an absolute path, then each non-empty segment decoded: "http://x/a%20b/c/"
  // gives "/", "a b", "c". Empty for an empty path.
  std::vector<std::string> pathComponents() const;
  // The last path component, "" when there is none.
  std::string lastPathComponent() const;
  // The last component's text after its last ".", "" when it has none (or only a leading one).
  std::string pathExtension() const;

  // The same address without its fragment.
  URL withoutFragment() const;

  bool operator==(const URL& other) const { return text_ == other.text_; }

 private:
  URL() = default;

  std::string text_;
  std::optional<std::string> scheme_;
  std::optional<std::string> userInfo_;
  std::optional<std::string> host_;  // as written, brackets included; present with an authority
  std::optional<int> port_;
  std::string path_;
  std::optional<std::string> query_;
  std::optional<std::string> fragment_;
};

// Builds an address from texts that need not be encoded yet. Spaces, non-ASCII characters and
// everything else a component may not hold are percent-encoded (as UTF-8 bytes); a "%" that
// already starts a valid escape ("%20") is kept, so a half-encoded text is not encoded twice.
// Non-ASCII host names become their ASCII (IDNA) form.
struct URLComponents {
  std::optional<std::string> scheme;
  std::optional<std::string> host;
  std::optional<int> port;
  std::string path;
  std::optional<std::string> query;
  std::optional<std::string> fragment;

  // Nothing when the parts cannot form an address: an invalid scheme or port, a path that
  // does not start with "/" beside a host, a path starting "//" without one.
  std::optional<URL> url() const;
};

// Percent-decoding: nothing when an escape is malformed or the decoded bytes are not UTF-8.
std::optional<std::string> stringByRemovingPercentEncoding(std::string_view text);

}  // namespace qby
