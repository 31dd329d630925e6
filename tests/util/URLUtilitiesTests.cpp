#include <gtest/gtest.h>

#include <string>

#include "util/URLUtilities.h"

namespace qby {
namespace {

std::optional<std::string> unknown(const std::optional<std::string>& text) {
  const auto url = URLWithUnknownString(text);
  if (!url) return std::nullopt;
  return url->absoluteString();
}

URL url(std::string_view text) {
  auto parsed = URL::URLWithString(text);
  EXPECT_TRUE(parsed) << text;
  return parsed ? *parsed : *URL::URLWithString("invalid-test-input");
}

TEST(URLTextTests, IsURLAndRemovingTheSchemeAreCaseSensitive) {
  EXPECT_TRUE(isURL("http://x"));
  EXPECT_TRUE(isURL("https://x"));
  EXPECT_FALSE(isURL("HTTP://x"));
  EXPECT_FALSE(isURL(" http://x"));
  EXPECT_FALSE(isURL("http:/x"));
  EXPECT_EQ(stringByRemovingURLScheme("https://example.com/a"), "example.com/a");
  EXPECT_EQ(stringByRemovingURLScheme("http://example.com"), "example.com");
  EXPECT_EQ(stringByRemovingURLScheme("HTTP://example.com"), "HTTP://example.com");
  EXPECT_EQ(stringByRemovingURLScheme("ftp://example.com"), "ftp://example.com");
}

TEST(URLTextTests, RemovingTheFragmentRebuildsTheAddress) {
  EXPECT_EQ(stringByRemovingURLFragment("https://example.com/a?b=c#frag"),
            "https://example.com/a?b=c");
  EXPECT_EQ(stringByRemovingURLFragment("https://example.com/a"), "https://example.com/a");
  EXPECT_EQ(stringByRemovingURLFragment("page#"), "page");
  EXPECT_EQ(stringByRemovingURLFragment("not an address#x"), std::nullopt);
}

TEST(URLTextTests, DomainDisplayNameDropsCommonPrefixesOnly) {
  EXPECT_EQ(domainDisplayName("www.example.com"), "example.com");
  EXPECT_EQ(domainDisplayName("m.example.com"), "example.com");
  EXPECT_EQ(domainDisplayName("em.example.com"), "example.com");
  EXPECT_EQ(domainDisplayName("nolp.example.com"), "example.com");
  EXPECT_EQ(domainDisplayName("www.www.example.com"), "www.example.com");
  EXPECT_EQ(domainDisplayName("www2.example.com"), "www2.example.com");
  EXPECT_EQ(domainDisplayName("wwwexample.com"), "wwwexample.com");
  EXPECT_EQ(domainDisplayName("WWW.example.com"), "WWW.example.com");
  EXPECT_EQ(domainDisplayName("mail.example.com"), "mail.example.com");
  EXPECT_EQ(domainDisplayName(""), "");
}

TEST(QueryTests, EncodingKeepsOnlyTheQueryPartSet) {
  EXPECT_EQ(stringEncodedForURLQuery("a b&c=d/e?f@g+h'i"), "a%20b%26c%3Dd%2Fe%3Ff%40g%2Bh%27i");
  EXPECT_EQ(stringEncodedForURLQuery("AZaz09-._~!$()*,;:"), "AZaz09-._~!$()*,;:");
  EXPECT_EQ(stringEncodedForURLQuery("100%"), "100%25");
  EXPECT_EQ(stringEncodedForURLQuery("#[]\"<>\\^`{|}"), "%23%5B%5D%22%3C%3E%5C%5E%60%7B%7C%7D");
  EXPECT_EQ(stringEncodedForURLQuery("ü€"), "%C3%BC%E2%82%AC");
  EXPECT_EQ(stringEncodedForURLQuery("👍"), "%F0%9F%91%8D");
  // Undecodable bytes are encoded as they are instead of being lost.
  EXPECT_EQ(stringEncodedForURLQuery("a\xff"
                                     "b"),
            "a%FFb");
  EXPECT_EQ(stringEncodedForURLQuery(""), "");
}

TEST(QueryTests, CharacterSetHoldsQueryCharactersLessSeven) {
  const auto& set = URLQueryPartAllowedCharacterSet();
  for (char32_t c : std::u32string(U"aZ09-._~!$()*,;:")) EXPECT_TRUE(set.contains(c)) << char(c);
  for (char32_t c : std::u32string(U"?&=@+/' #%[]")) EXPECT_FALSE(set.contains(c)) << char(c);
  EXPECT_FALSE(set.contains(U'ü'));
  EXPECT_EQ(&set, &URLQueryPartAllowedCharacterSet());
}

TEST(QueryTests, AddKeyAppendsOnlyWhenKeyAndValueArePresent) {
  EXPECT_EQ(addKey("a=1", "b", "x y&z"), "a=1&b=x%20y%26z");
  EXPECT_EQ(addKey("", "k", ""), "&k=");
  EXPECT_EQ(addKey("a=1", std::nullopt, "v"), "a=1");
  EXPECT_EQ(addKey("a=1", "k", std::nullopt), "a=1");
  EXPECT_EQ(addKey("a=1", "item", "v", 2), "a=1&item2=v");
  EXPECT_EQ(addKey("a=1", "item", "v", -1), "a=1&item-1=v");
  EXPECT_EQ(addKey("a=1", std::nullopt, "v", 2), "a=1");
  EXPECT_EQ(addKey("a=1", "item", std::nullopt, 2), "a=1");
}

TEST(QueryTests, DictionaryFromQuery) {
  const Dictionary d = dictionaryFromQuery("a=1&b=x%20y&c");
  EXPECT_EQ(d.size(), 2u);
  EXPECT_EQ(d["a"], Value("1"));
  EXPECT_EQ(d["b"], Value("x y"));
  EXPECT_FALSE(d.contains("c"));
}

TEST(QueryTests, DictionaryFromQueryEdgeCases) {
  const Dictionary d = dictionaryFromQuery("k=1&k=2&e=&=v&x=a=b&&p=%zz&q=%C3%BC+1&r=%FF");
  EXPECT_EQ(d["k"], Value("2"));  // a later key wins
  EXPECT_EQ(d["e"], Value(""));
  EXPECT_EQ(d[""], Value("v"));
  EXPECT_EQ(d["x"], Value("a"));    // text after a second "=" is dropped
  EXPECT_EQ(d["p"], Value("%zz"));  // malformed escapes are kept as written
  EXPECT_EQ(d["q"], Value("ü+1"));  // "+" is not a space here
  EXPECT_EQ(d["r"], Value("%FF"));  // not UTF-8 once decoded
  EXPECT_TRUE(dictionaryFromQuery("").empty());
}

TEST(HTTPSchemeTests, ValidSchemeAndAddressChecksIgnoreCase) {
  EXPECT_EQ(validHTTPScheme("HTTPS://x"), "https");
  EXPECT_EQ(validHTTPScheme("httpsfoo"), "https");
  EXPECT_EQ(validHTTPScheme("http://x"), "http");
  EXPECT_EQ(validHTTPScheme(""), "http");
  EXPECT_TRUE(isValidHTTPURL("HTTP://x"));
  EXPECT_TRUE(isValidHTTPURL("hTtPs://x"));
  EXPECT_FALSE(isValidHTTPURL("https:/x"));
  EXPECT_FALSE(isValidHTTPURL("ftp://x"));
  EXPECT_FALSE(isValidHTTPURL(""));
}

TEST(HTTPSchemeTests, AddingTheSchemeReplacesWhateverSchemeIsThere) {
  EXPECT_EQ(stringByAddingHTTPScheme("HTTPS:/example"), "https://example");
  EXPECT_EQ(stringByAddingHTTPScheme("ftp://x"), "http://x");
  EXPECT_EQ(stringByAddingHTTPScheme("example.com/a"), "http://example.com/a");
  EXPECT_EQ(stringByAddingHTTPScheme("https:////x"), "https://x");
  EXPECT_EQ(stringByAddingHTTPScheme("hTTpS://x"), "https://x");
  EXPECT_EQ(stringByAddingHTTPScheme("httpsx://y"), "http://y");
  EXPECT_EQ(stringByAddingHTTPScheme("//cdn.example.com"), "http://cdn.example.com");
  EXPECT_EQ(stringByAddingHTTPScheme("https"), "http://https");
  EXPECT_EQ(stringByAddingHTTPScheme(""), "http://");
  EXPECT_EQ(stringByAddingHTTPScheme("https:" + std::string(5 * 1024 * 1024, '/') + "x"),
            "https://x");
}

TEST(HTTPSchemeTests, LonelySchemePiecesAreRemoved) {
  for (const char* lonely :
       {"", "http", "https", "http:", "https:", "http:/", "https://", ":", "//", ":/", "s"}) {
    if (std::string_view(lonely) == "s") {
      EXPECT_EQ(stringByRemovingLonelyHTTP(lonely), "s");
      continue;
    }
    EXPECT_EQ(stringByRemovingLonelyHTTP(lonely), std::nullopt) << lonely;
  }
  EXPECT_EQ(stringByRemovingLonelyHTTP("http://x"), "http://x");
  EXPECT_EQ(stringByRemovingLonelyHTTP("httpx"), "httpx");
  EXPECT_EQ(stringByRemovingLonelyHTTP("HTTP://"), "HTTP://");
  EXPECT_EQ(stringByRemovingLonelyHTTP("http:///"), "http:///");
}

TEST(HTTPSchemeTests, CleaningUpTheScheme) {
  EXPECT_EQ(stringByCleaningUpHTTPScheme("http://"), "");
  EXPECT_EQ(stringByCleaningUpHTTPScheme(""), "");
  EXPECT_EQ(stringByCleaningUpHTTPScheme("http:"), "");
  EXPECT_EQ(stringByCleaningUpHTTPScheme("example.com"), "http://example.com");
  EXPECT_EQ(stringByCleaningUpHTTPScheme("HTTPS:/example"), "https://example");
  EXPECT_EQ(stringByCleaningUpHTTPScheme("HTTPS://example"), "HTTPS://example");
}

TEST(UnknownStringTests, ParseableTextsAreReturnedUnchanged) {
  EXPECT_EQ(unknown(std::nullopt), std::nullopt);
  EXPECT_EQ(unknown("https://example.com/a?b=c#d"), "https://example.com/a?b=c#d");
  // A relative reference stays one: no scheme is made up for it.
  const auto relative = URLWithUnknownString("example.com/path");
  ASSERT_TRUE(relative);
  EXPECT_EQ(relative->absoluteString(), "example.com/path");
  EXPECT_FALSE(relative->scheme());
}

TEST(UnknownStringTests, TextsNeedingEncodingAreRebuilt) {
  EXPECT_EQ(unknown("example.com/my path"), "http://example.com/my%20path");
  EXPECT_EQ(unknown("https://example.com/a b?q=x y&r=1#f g"),
            "https://example.com/a%20b?q=x%20y&r=1#f%20g");
  EXPECT_EQ(unknown("HTTPS://Example.com/a b"), "https://Example.com/a%20b");
  EXPECT_EQ(unknown("ftp://example.com/a b"), "http://example.com/a%20b");
  EXPECT_EQ(unknown("example.com:8080/a b"), "http://example.com:8080/a%20b");
  EXPECT_EQ(unknown("bücher.de/straße"), "http://xn--bcher-kva.de/stra%C3%9Fe");
  EXPECT_EQ(unknown("example.com/a%20b c"), "http://example.com/a%20b%20c");
  EXPECT_EQ(unknown("example.com/100% sure"), "http://example.com/100%25%20sure");
  EXPECT_EQ(unknown("example.com/a?x=<1>#a#b c"), "http://example.com/a?x=%3C1%3E#a%23b%20c");
  // Empty query and fragment pieces are left out.
  EXPECT_EQ(unknown("example.com/a b?#"), "http://example.com/a%20b");
}

TEST(UnknownStringTests, HostsThatCannotBeUsedGiveNothing) {
  EXPECT_EQ(unknown("exa mple.com/path"), std::nullopt);
  EXPECT_EQ(unknown("http:// /a b"), std::nullopt);
  EXPECT_EQ(unknown("exa\tmple.com/a b"), std::nullopt);
  EXPECT_EQ(unknown("http:///a b"), std::nullopt);
  EXPECT_EQ(unknown(""), std::nullopt);
  EXPECT_EQ(unknown(" "), std::nullopt);
  // A line break inside the fragment: the pattern does not match.
  EXPECT_EQ(unknown("example.com/a#x\ny z"), std::nullopt);
}

TEST(UnknownStringTests, HugeTextsEndInLinearTime) {
  std::string text = "example.com/" + std::string(5 * 1024 * 1024, 'a') + " #frag\nmore";
  EXPECT_EQ(unknown(text), std::nullopt);
  text = "example.com/" + std::string(5 * 1024 * 1024, 'a') + " b";
  const auto encoded = unknown(text);
  ASSERT_TRUE(encoded);
  EXPECT_TRUE(encoded->ends_with("a%20b"));
  EXPECT_EQ(unknown("\xff\xfe host/x"), std::nullopt);
}

TEST(AddressTests, AddingTheSchemeToAnAddress) {
  EXPECT_EQ(URLByAddingHTTPSchemeToURL(std::nullopt)->absoluteString(), "http://");
  EXPECT_EQ(URLByAddingHTTPSchemeToURL(url("example.com/x"))->absoluteString(),
            "http://example.com/x");
  EXPECT_EQ(URLByAddingHTTPSchemeToURL(url("ftp://x/y"))->absoluteString(), "http://x/y");
  EXPECT_EQ(URLByAddingHTTPSchemeToURL(url("HTTPS://x/y"))->absoluteString(), "https://x/y");
}

TEST(AddressTests, RemovingTheFragment) {
  EXPECT_EQ(URLByRemovingFragment(url("http://x/a?b#c")).absoluteString(), "http://x/a?b");
  EXPECT_EQ(URLByRemovingFragment(url("http://x/a")).absoluteString(), "http://x/a");
  EXPECT_EQ(URLByRemovingFragment(url("http://x/a#")).absoluteString(), "http://x/a");
  // With two "#" only the last piece goes: the cut is at the last "#".
  const URL twice = URLByRemovingFragment(url("http://x/a#b#c"));
  EXPECT_EQ(twice.absoluteString(), "http://x/a#b");
  EXPECT_EQ(twice.fragment(), "b");
  EXPECT_EQ(URLByRemovingFragment(twice).absoluteString(), "http://x/a");
  // Single-page sites keep their route in the fragment; a trailing "#" is all that goes.
  EXPECT_EQ(URLByRemovingFragment(url("https://x/#/track/1Z#")).absoluteString(),
            "https://x/#/track/1Z");
  EXPECT_EQ(URLByRemovingFragment(url("a/b#c")).absoluteString(), "a/b");
}

TEST(AddressTests, FirstPathComponent) {
  EXPECT_EQ(firstPathComponent(url("http://x/a/b")), "a");
  EXPECT_EQ(firstPathComponent(url("http://x/a%20b/c")), "a b");
  EXPECT_EQ(firstPathComponent(url("http://x//a")), "a");
  EXPECT_EQ(firstPathComponent(url("http://x/")), std::nullopt);
  EXPECT_EQ(firstPathComponent(url("http://x")), std::nullopt);
  EXPECT_EQ(firstPathComponent(url("a")), std::nullopt);
  EXPECT_EQ(firstPathComponent(url("a/b")), "b");
}

TEST(AddressTests, IsValidHTTPURLLooksAtTheScheme) {
  EXPECT_TRUE(isValidHTTPURL(url("HTTP://x")));
  EXPECT_TRUE(isValidHTTPURL(url("https:x")));
  EXPECT_FALSE(isValidHTTPURL(url("httpx://x")));
  EXPECT_FALSE(isValidHTTPURL(url("ftp://x")));
  EXPECT_FALSE(isValidHTTPURL(url("x/y")));
}

}  // namespace
}  // namespace qby

TEST(URLUtilitiesTests, HidesSecretQueryValuesForLogLines) {
  EXPECT_EQ(qby::stringByHidingQuerySecrets(
                "https://api2.postnord.com/track.json?apikey=abc123&id=00340434&locale=en"),
            "https://api2.postnord.com/track.json?apikey=(hidden)&id=00340434&locale=en");
  // Names match in any case; a name that merely contains a secret word is kept.
  EXPECT_EQ(qby::stringByHidingQuerySecrets("http://x/?API_KEY=1&monkey=2&Token=3#key=4"),
            "http://x/?API_KEY=(hidden)&monkey=2&Token=(hidden)#key=4");
  // Nothing to hide: the text comes back unchanged, including odd pieces.
  EXPECT_EQ(qby::stringByHidingQuerySecrets("http://x/a?&=&key&b=c"), "http://x/a?&=&key&b=c");
  EXPECT_EQ(qby::stringByHidingQuerySecrets("no query here"), "no query here");
  EXPECT_EQ(qby::stringByHidingQuerySecrets("http://x/?password="), "http://x/?password=(hidden)");
}
