#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/URL.h"

namespace qby {
namespace {

using Components = std::vector<std::string>;

std::optional<std::string> resolved(std::string_view reference, std::string_view base) {
  const auto baseURL = URL::URLWithString(base);
  if (!baseURL) return std::nullopt;
  const auto url = URL::URLWithString(reference, *baseURL);
  if (!url) return std::nullopt;
  return url->absoluteString();
}

std::optional<std::string> built(const URLComponents& components) {
  const auto url = components.url();
  if (!url) return std::nullopt;
  return url->absoluteString();
}

TEST(URLParsingTests, AcceptsAbsoluteAddressesAndRelativeReferences) {
  for (const char* text :
       {"http://example.com", "https://user:pw@example.com:8080/a/b;p?c=d&e=%20#f/?",
        "mailto:someone@example.com", "urn:isbn:0451450523", "/relative/path", "relative/path",
        "a/b:c", "?q=1", "#frag", "//host/x", "http://", "http://[::1]:80/", "http://[v1.x]/",
        "http://x/a%2Fb", "file:///tmp/x", "http://x:/", "x-y+z.1:opaque", "http://x/a#b#c"}) {
    const auto url = URL::URLWithString(text);
    ASSERT_TRUE(url) << text;
    EXPECT_EQ(url->absoluteString(), text);
  }
}

TEST(URLParsingTests, RejectsTextsThatNeedEncodingOrBreakTheSyntax) {
  for (const char* text : {"",
                           " ",
                           "http://exa mple.com",
                           "http://x/a b",
                           "http://x/ü",
                           "bücher.de",
                           "http://x/%zz",
                           "http://x/%2",
                           "http://x/a%",
                           "http://x/<a>",
                           "http://x/a|b",
                           "http://x/{a}",
                           "http://x/\"",
                           "http://x/\\",
                           "http://x/a^b",
                           "http://x/`",
                           "http://x/[a]",
                           "http://x?[a]",
                           ":foo",
                           "1a:b",
                           "a b:c",
                           "http://[::1/",
                           "http://[zz]/",
                           "http://x:port/",
                           "http://x:99999/",
                           "http://a@b@c/",
                           "http://x/\n",
                           "\xff"}) {
    EXPECT_FALSE(URL::URLWithString(text)) << text;
  }
}

TEST(URLParsingTests, RejectsIPLiteralsWithANulInside) {
  // Everything after the NUL would otherwise pass unchecked into the host.
  EXPECT_FALSE(URL::URLWithString(std::string("http://[::1\0\xff\x01]/", 16)));
  EXPECT_FALSE(URL::URLWithString(std::string("tRp://[:\0\0:q\xdf]", 14)));
  EXPECT_TRUE(URL::URLWithString("http://[::1]/"));
}

TEST(URLParsingTests, ComponentsAreReadAsThePlatformGivesThem) {
  const auto url =
      URL::URLWithString("HTTP://us%20er@Ex%41mple.com:8080/a%20b/c.tar.gz/?q=1%202&r#fr%20ag");
  ASSERT_TRUE(url);
  EXPECT_EQ(url->scheme(), "HTTP");
  EXPECT_EQ(url->host(), "ExAmple.com");
  EXPECT_EQ(url->port(), 8080);
  EXPECT_EQ(url->path(), "/a b/c.tar.gz");
  EXPECT_EQ(url->percentEncodedPath(), "/a%20b/c.tar.gz/");
  EXPECT_EQ(url->query(), "q=1%202&r");
  EXPECT_EQ(url->fragment(), "fr%20ag");
  EXPECT_EQ(url->pathComponents(), (Components{"/", "a b", "c.tar.gz"}));
  EXPECT_EQ(url->lastPathComponent(), "c.tar.gz");
  EXPECT_EQ(url->pathExtension(), "gz");
  EXPECT_TRUE(url->isAbsolute());

  const auto ipv6 = URL::URLWithString("http://[::1]/");
  ASSERT_TRUE(ipv6);
  EXPECT_EQ(ipv6->host(), "::1");
  EXPECT_FALSE(ipv6->port());
  EXPECT_EQ(ipv6->path(), "/");

  const auto bare = URL::URLWithString("http://example.com");
  ASSERT_TRUE(bare);
  EXPECT_FALSE(bare->query());
  EXPECT_FALSE(bare->fragment());
  EXPECT_EQ(bare->path(), "");
  EXPECT_EQ(URL::URLWithString("http://")->host(), std::nullopt);
  EXPECT_EQ(URL::URLWithString("http://x?")->query(), "");
}

TEST(URLParsingTests, PathComponentsLastComponentAndExtension) {
  struct Case {
    const char* text;
    Components components;
    const char* last;
    const char* extension;
  };
  const Case cases[] = {
      {"http://x", {}, "", ""},
      {"http://x/", {"/"}, "/", ""},
      {"http://x//a///b/", {"/", "a", "b"}, "b", ""},
      {"http://x/.hidden", {"/", ".hidden"}, ".hidden", ""},
      {"http://x/name.", {"/", "name."}, "name.", ""},
      {"a/b.txt", {"a", "b.txt"}, "b.txt", "txt"},
      {"http://x/a%2Fb", {"/", "a/b"}, "a/b", ""},
      {"http://x/%FF", {"/", "%FF"}, "%FF", ""},  // not UTF-8 once decoded: kept as written
  };
  for (const auto& c : cases) {
    const auto url = URL::URLWithString(c.text);
    ASSERT_TRUE(url) << c.text;
    EXPECT_EQ(url->pathComponents(), c.components) << c.text;
    EXPECT_EQ(url->lastPathComponent(), c.last) << c.text;
    EXPECT_EQ(url->pathExtension(), c.extension) << c.text;
  }
}

TEST(URLParsingTests, EqualityAndRemovingTheFragment) {
  EXPECT_EQ(*URL::URLWithString("http://x/a"), *URL::URLWithString("http://x/a"));
  EXPECT_FALSE(*URL::URLWithString("http://x/a") == *URL::URLWithString("http://x/a/"));
  EXPECT_EQ(URL::URLWithString("http://x/a?b#c#d")->withoutFragment(),
            *URL::URLWithString("http://x/a?b"));
}

TEST(URLResolutionTests, ResolvesReferencesAgainstABase) {
  // Examples of RFC 3986, section 5.4.
  const std::string base = "http://a/b/c/d;p?q";
  EXPECT_EQ(resolved("g", base), "http://a/b/c/g");
  EXPECT_EQ(resolved("./g/", base), "http://a/b/c/g/");
  EXPECT_EQ(resolved("/g", base), "http://a/g");
  EXPECT_EQ(resolved("//g", base), "http://g");
  EXPECT_EQ(resolved("?y", base), "http://a/b/c/d;p?y");
  EXPECT_EQ(resolved("#s", base), "http://a/b/c/d;p?q#s");
  EXPECT_EQ(resolved("../g", base), "http://a/b/g");
  EXPECT_EQ(resolved("../../../g", base), "http://a/g");
  EXPECT_EQ(resolved("g;x=1/../y", base), "http://a/b/c/y");
  EXPECT_EQ(resolved("https://other/x", base), "https://other/x");
  EXPECT_EQ(resolved("a%20b", base), "http://a/b/c/a%20b");
}

TEST(URLResolutionTests, NeedsAnAbsoluteBaseAndAValidReference) {
  EXPECT_EQ(resolved("g", "b/c"), std::nullopt);
  EXPECT_EQ(resolved("a b", "http://a/b"), std::nullopt);
}

TEST(URLComponentsTests, EncodesWhatNeedsIt) {
  URLComponents c;
  c.scheme = "http";
  c.host = "example.com";
  c.path = "/a b/ü";
  c.query = "q=x y&r=/?@";
  c.fragment = "f g#h";
  EXPECT_EQ(built(c), "http://example.com/a%20b/%C3%BC?q=x%20y&r=/?@#f%20g%23h");

  // Escapes already made stay; a lone "%" is encoded.
  c = {};
  c.scheme = "https";
  c.host = "example.com";
  c.path = "/a%20b 100%";
  EXPECT_EQ(built(c), "https://example.com/a%20b%20100%25");
}

TEST(URLComponentsTests, HostsAndPorts) {
  URLComponents c;
  c.scheme = "http";
  c.host = "bücher.example";
  c.port = 8080;
  EXPECT_EQ(built(c), "http://xn--bcher-kva.example:8080");
  c.host = "::1";
  EXPECT_EQ(built(c), "http://[::1]:8080");
  c.host = "a b";
  EXPECT_EQ(built(c), "http://a%20b:8080");
  c.port = 70000;
  EXPECT_EQ(built(c), std::nullopt);
  c.port = -1;
  EXPECT_EQ(built(c), std::nullopt);
}

TEST(URLComponentsTests, RefusesPartsThatCannotFormAnAddress) {
  URLComponents c;
  EXPECT_EQ(built(c), std::nullopt);  // ""
  c.scheme = "1http";
  c.host = "x";
  EXPECT_EQ(built(c), std::nullopt);
  c.scheme = "http";
  c.path = "relative";
  EXPECT_EQ(built(c), std::nullopt);
  c = {};
  c.path = "//looks-like-a-host";
  EXPECT_EQ(built(c), std::nullopt);
  c = {};
  c.port = 80;
  c.path = "/x";
  EXPECT_EQ(built(c), std::nullopt);
}

TEST(URLComponentsTests, RelativePathsStayPaths) {
  URLComponents c;
  c.path = "a:b/c:d";
  EXPECT_EQ(built(c), "a%3Ab/c:d");
  c.path = "x y";
  c.query = "";
  EXPECT_EQ(built(c), "x%20y?");
}

TEST(PercentDecodingTests, DecodesOnlyWellFormedUTF8) {
  EXPECT_EQ(stringByRemovingPercentEncoding("a%20b%C3%BC"), "a b\u00fc");
  EXPECT_EQ(stringByRemovingPercentEncoding("plain+text"), "plain+text");
  EXPECT_EQ(stringByRemovingPercentEncoding("%00"), std::string(1, '\0'));
  EXPECT_EQ(stringByRemovingPercentEncoding("%zz"), std::nullopt);
  EXPECT_EQ(stringByRemovingPercentEncoding("%2"), std::nullopt);
  EXPECT_EQ(stringByRemovingPercentEncoding("%FF"), std::nullopt);
  EXPECT_EQ(stringByRemovingPercentEncoding(""), "");
}

}  // namespace
}  // namespace qby
