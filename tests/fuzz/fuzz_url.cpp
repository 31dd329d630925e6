// Web addresses: the strict parser, resolution against a base, addresses built from parts, the
// unknown-string parser a user's typing goes through, and percent-decoding. Every address any
// of them answers must be one the strict parser accepts as it stands, with the same text, and
// every decoded text must be UTF-8.
//
// Input: "<text>" alone, or "<base>\0<text>"; the text split at further NULs gives the parts
// of an address to build (scheme, host, port, path, query, fragment).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "platform/URL.h"
#include "util/URLUtilities.h"

namespace {

using qby::URL;

void checkAddress(const URL& url) {
  const auto again = URL::URLWithString(url.absoluteString());
  FUZZ_CHECK(again && *again == url, url.absoluteString());
  FUZZ_CHECK(again->isAbsolute() == url.isAbsolute(), url.absoluteString());
  const auto host = url.host();
  FUZZ_CHECK(!host || qby::fuzz::isValidUTF8(*host), url.absoluteString());
  FUZZ_CHECK(qby::fuzz::isValidUTF8(url.path()), url.absoluteString());
  for (const auto& component : url.pathComponents())
    FUZZ_CHECK(qby::fuzz::isValidUTF8(component), url.absoluteString());
  (void)url.lastPathComponent();
  (void)url.pathExtension();
  const URL bare = url.withoutFragment();
  FUZZ_CHECK(!bare.fragment(), url.absoluteString());
  // "#x" without its fragment is "", which is no address.
  FUZZ_CHECK(bare.absoluteString().empty() || URL::URLWithString(bare.absoluteString()),
             url.absoluteString());
}

std::vector<std::string_view> fields(std::string_view text) {
  std::vector<std::string_view> out;
  while (true) {
    const auto nul = text.find('\0');
    out.push_back(text.substr(0, nul));
    if (nul == std::string_view::npos) return out;
    text.remove_prefix(nul + 1);
  }
}

std::optional<std::string> field(const std::vector<std::string_view>& parts, std::size_t index) {
  if (index >= parts.size() || parts[index].empty()) return std::nullopt;
  return std::string(parts[index]);
}

void checkComponents(const std::vector<std::string_view>& parts) {
  qby::URLComponents components;
  components.scheme = field(parts, 0);
  components.host = field(parts, 1);
  if (const auto port = field(parts, 2)) {
    // Up to six digits, with an optional sign: valid ports and ones just out of range.
    int number = 0;
    for (const char c : port->substr(port->front() == '-' ? 1 : 0, 6))
      number = number * 10 + (c >= '0' && c <= '9' ? c - '0' : 0);
    components.port = port->front() == '-' ? -number : number;
  }
  components.path = std::string(parts.size() > 3 ? parts[3] : std::string_view());
  components.query = field(parts, 4);
  components.fragment = field(parts, 5);
  const auto url = components.url();
  if (!url) return;
  checkAddress(*url);
  // A host may be given as "host:port" text, which brings its own port.
  if (!components.host || components.host->find_first_of(":[") == std::string::npos)
    FUZZ_CHECK(url->port() == components.port, url->absoluteString());
  FUZZ_CHECK(url->scheme() == components.scheme, url->absoluteString());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  if (const auto url = URL::URLWithString(input)) {
    FUZZ_CHECK(url->absoluteString() == input, input);
    checkAddress(*url);
  }

  const auto [base, text] = qby::fuzz::splitAtNul(data, size);
  if (base) {
    const auto baseURL = URL::URLWithString(*base);
    if (baseURL) {
      const auto resolved = URL::URLWithString(text, *baseURL);
      if (resolved) {
        FUZZ_CHECK(resolved->isAbsolute(), resolved->absoluteString());
        checkAddress(*resolved);
      }
    }
  }

  if (const auto decoded = qby::stringByRemovingPercentEncoding(input))
    FUZZ_CHECK(qby::fuzz::isValidUTF8(*decoded), input);

  // What the user typed or pasted.
  if (const auto unknown = qby::URLWithUnknownString(std::string(input))) checkAddress(*unknown);
  if (const auto typed = qby::URLWithUnknownString(qby::stringByCleaningUpHTTPScheme(input)))
    checkAddress(*typed);

  checkComponents(fields(input));
  return 0;
}
