// The host's native page text against the scripts' own: the web-page service uses whichever
// the host offers, so both must give the same text and fingerprint for any page, or a page
// would read as changed after an upgrade (or on a machine whose host lacks the function).
#include <gtest/gtest.h>

#include <string>

#include "CarrierHarness.h"
#include "util/QBYVisibleText.h"

namespace qby::test {
namespace {

// Awkward markup from a seeded generator: every tag the passes treat alike or apart, in any
// case and with attributes, unclosed tags and comments, code holding markup, every reference
// the scripts decode by name and the numeric forms at their limits, and every kind of white
// space JavaScript knows (and some it does not).
const char* const kGenerator = R"JS(
  var pieces = ['<p>', '</p>', '</P class="x">', '<br>', '<BR/>', '<br/ >', '<bra>', '</td>',
    '</TD >', '<td>', '</tr>', '</th>', '</li>', '</h1>', '</H6>', '</h7>', '</h>', '</dt>',
    '</dd>', '</div>', '</divx>', '</div\n>', '<div>', '<a href="x>y">', '<', '>', '<<', '< b',
    'a<b', '<!--', '-->', '<!-->', '<!-- c -->', '<!-- <script> -->', '<script>', '</script>',
    '<SCRIPT type="t">', '</script >', '</script\u00a0>', '</SCRIPT\t>', '<script', '<style>',
    '</STYLE>', '<noscript>', '</noscript>', '<template>', '</template>', '<scripts>',
    '<stylesheet>', '<script_x>', 'if (a < b) x()', '&amp;', '&AMP;', '&nbsp;', '&lt;', '&gt;',
    '&quot;', '&apos;', '&ndash;', '&mdash;', '&hellip;', '&laquo;', '&raquo;', '&lsquo;',
    '&rsquo;', '&ldquo;', '&rdquo;', '&bull;', '&middot;', '&copy;', '&reg;', '&trade;',
    '&deg;', '&euro;', '&pound;', '&yen;', '&auml;', '&ouml;', '&uuml;', '&Auml;', '&Ouml;',
    '&Uuml;', '&szlig;', '&eacute;', '&egrave;', '&ecirc;', '&agrave;', '&aacute;',
    '&ccedil;', '&iacute;', '&oacute;', '&uacute;', '&ntilde;', '&aring;', '&oslash;',
    '&aelig;', '&Aring;', '&Oslash;', '&AElig;', '&constructor;', '&toString;', '&#65;',
    '&#x41;', '&#X41;', '&#x;', '&#;', '&#0;', '&#x0;', '&#xD800;', '&#xdfff;', '&#1114111;',
    '&#1114112;', '&#99999999999999999999;', '&#x10FFFF;', '&#x110000;', '&#128230;', '&#12a;',
    '&bogus;', '&a1;', '&1a;', '&amp', '&', ';', '#', ' ', '  ', '\t', '\n', '\r\n', '\v',
    '\f', '\u00a0', '\u0085', '\u180e', '\u2000', '\u200a', '\u200b', '\u2028', '\u2029',
    '\u202f', '\u205f', '\u3000', '\ufeff', '\u1680', 'x', '_', 'Paket', 'M\u00fcnchen',
    '\u20ac', '\ud83d\udce6', '2024-03-05', 'a b', ' z '];
  function generated(seed, count) {
    var state = seed;
    var next = function() {
      state = (Math.imul(state, 1103515245) + 12345) >>> 0;
      return state >>> 8;
    };
    var out = '';
    for (var i = 0; i < count; i++) out += pieces[next() % pieces.length];
    return out;
  }
  function differs(html) {
    var native = visiblePageText(html);
    var text = Q.text(html);
    return !native || native.text !== text || native.fingerprint !== Q.hash(text);
  }
)JS";

class PageTextHost : public testing::Test {
 protected:
  static void SetUpTestSuite() { useCarrierTestEnvironment(); }
  static std::string js(const std::string& code) {
    return evaluateWithTrackingScripts(std::string(kGenerator) + code);
  }
};

TEST_F(PageTextHost, NativeTextAndFingerprintMatchTheScriptsOverGeneratedMarkup) {
  EXPECT_EQ(js("var failures = [];"
               "for (var seed = 1; seed <= 4000 && failures.length < 3; seed++) {"
               "  var html = generated(seed, 1 + seed % 50);"
               "  if (differs(html)) failures.push(JSON.stringify(html));"
               "}"
               "return failures"),
            "[]");
}

TEST_F(PageTextHost, NativeTextMatchesTheScriptsOnWholePages) {
  EXPECT_EQ(
      js("var failures = [];"
         "for (var seed = 1; seed <= 30; seed++) {"
         "  if (differs(generated(seed * 7919, 4000))) failures.push(seed);"
         "}"
         "var page = '<html><head><title>T</title><script>var a = \"</p>\";</script>' +"
         "  '</head><body><table>';"
         "for (var row = 0; row < 300; row++)"
         "  page += '<tr><td>2024-03-0' + (row % 9 + 1) + '</td><td>Parcel &amp; co</td></tr>';"
         "page += '</table></body></html>';"
         "if (differs(page) || visiblePageText(page).text.length < 1000) failures.push('page');"
         "return failures"),
      "[]");
}

TEST_F(PageTextHost, OnlyTextGetsAnAnswerAndNulCharactersSurvive) {
  // Not a text: no answer, and the web-page service falls back to its own code.
  EXPECT_EQ(js("return [visiblePageText(), visiblePageText(42), visiblePageText(null)]"),
            "[null,null,null]");
  // A NUL inside a page must not cut the text short.
  EXPECT_EQ(js("return visiblePageText('<p>a\\u0000b</p> c').text === 'a\\u0000b c'"), "true");
}

// The native function on its own, where a slip would not show through the scripts.
TEST(VisibleText, KeepsTextThatOnlyLooksLikeMarkup) {
  EXPECT_EQ(visibleText("a < b"), "a < b");
  EXPECT_EQ(visibleText("1 <2 <br"), "1 <2 <br");
  // A "<" takes everything up to the next ">" with it, as a tag would.
  EXPECT_EQ(visibleText("a < b and c > d"), "a d");
  EXPECT_EQ(visibleText("<!-- never closed <b>x</b>"), "x");
  EXPECT_EQ(visibleText("x<!-- never closed"), "x<!-- never closed");
  EXPECT_EQ(visibleText("<script>x = 1; <b>shown</b>"), "x = 1; shown");
  EXPECT_EQ(visibleText("&amp;lt; &#0; &#xD800; &#x110000;"),
            "&lt; \xEF\xBF\xBD \xEF\xBF\xBD \xEF\xBF\xBD");
  EXPECT_EQ(visibleText(" \xC2\xA0x\xE3\x80\x80y\xEF\xBB\xBF "), "x y");
  EXPECT_EQ(visibleText(""), "");
  EXPECT_EQ(textFingerprint(""), "811c9dc5");
  EXPECT_EQ(textFingerprint("a"), "e40c292c");
}

}  // namespace
}  // namespace qby::test
