// The page text and fingerprint helpers against plain reference versions of themselves. The
// shipped helpers skip passes and fold bytes in place for speed; a page must still give the
// same text and the same fingerprint, or every delivery tracked by web address would read as
// changed after an update. The references below do the obvious thing: every pass, every byte.
#include <gtest/gtest.h>

#include <string>

#include "CarrierHarness.h"

namespace qby::test {
namespace {

// The reference text and fingerprint, and a seeded generator of awkward markup: tags of every
// kind in any case, a '<' that never closes, comments (also unclosed and around code), code
// blocks that hold markup, entities, and every kind of white space JavaScript knows.
const char* const kReferences = R"JS(
  function referenceText(html) {
    var text = Q.string(html)
                   .replace(/<!--[\s\S]*?-->/g, ' ')
                   .replace(/<(script|style|noscript|template)\b[\s\S]*?<\/\1\s*>/gi, ' ')
                   .replace(/<(br|\/p|\/div|\/tr|\/td|\/th|\/li|\/h[1-6]|\/dt|\/dd)\b[^>]*>/gi, ' ')
                   .replace(/<[^>]*>/g, '');
    return Q.decodeEntities(text).replace(/[\s\u00a0]+/g, ' ').replace(/^ | $/g, '');
  }
  // FNV-1a over the UTF-8 bytes, one byte at a time; a lone surrogate counts as U+FFFD.
  function referenceHash(text) {
    var s = Q.string(text);
    var bytes = [];
    for (var i = 0; i < s.length; i++) {
      var c = s.codePointAt(i);
      if (c > 0xffff) i++;
      else if (c >= 0xd800 && c <= 0xdfff) c = 0xfffd;
      if (c < 0x80) bytes.push(c);
      else if (c < 0x800) bytes.push(0xc0 | (c >> 6), 0x80 | (c & 63));
      else if (c < 0x10000) bytes.push(0xe0 | (c >> 12), 0x80 | ((c >> 6) & 63), 0x80 | (c & 63));
      else bytes.push(0xf0 | (c >> 18), 0x80 | ((c >> 12) & 63), 0x80 | ((c >> 6) & 63),
                      0x80 | (c & 63));
    }
    var hash = 0x811c9dc5;
    for (var k = 0; k < bytes.length; k++) hash = Math.imul(hash ^ bytes[k], 0x01000193) >>> 0;
    return ('0000000' + hash.toString(16)).slice(-8);
  }
  var pieces = ['<p>', '</p>', '<P class="x">', '<br>', '<BR/>', '<br/ >', '</td>', '</TD >',
    '<td>', '</tr>', '</th>', '</li>', '</h1>', '</H6>', '</h7>', '</dt>', '</dd>', '</div>',
    '</divx>', '<div>', '<a href="x>y">', '<', '>', '<<', '< b', 'a<b', '<!--', '-->',
    '<!-- c -->', '<!-- <script> -->', '<script>', '</script>', '<SCRIPT type="t">',
    '</script >', '<style>', '</STYLE>', '<noscript>', '</noscript>', '<template>',
    '</template>', '<scripts>', '<stylesheet>', 'if (a < b) x()', '&amp;', '&nbsp;', '&lt;',
    '&#65;', '&#x41;', '&#xD800;', '&#99999999;', '&bogus;', '&amp', '&', ';', ' ', '  ',
    '\t', '\n', '\r\n', '\u00a0', '\u2028', '\u3000', '\ufeff', '\u200b', '\u1680', 'x', 'Paket',
    'M\u00fcnchen', '\u20ac', '\ud83d\udce6', '\ud800', '\udc00', '2024-03-05', 'a b', ' z '];
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
)JS";

class PageText : public testing::Test {
 protected:
  static void SetUpTestSuite() { useCarrierTestEnvironment(); }
  static std::string js(const std::string& code) {
    return evaluateWithTrackingScripts(std::string(kReferences) + code);
  }
};

TEST_F(PageText, TextMatchesTheReferenceOverGeneratedMarkup) {
  // The first few thousand cases cover short fragments, where edge positions (text that
  // starts or ends with white space, a tag cut at the end) are most likely.
  EXPECT_EQ(js("var failures = [];"
               "for (var seed = 1; seed <= 3000 && failures.length < 3; seed++) {"
               "  var html = generated(seed, 1 + seed % 40);"
               "  if (Q.text(html) !== referenceText(html)) failures.push(JSON.stringify(html));"
               "}"
               "return failures"),
            "[]");
}

TEST_F(PageText, TextMatchesTheReferenceOnWholePages) {
  EXPECT_EQ(js("var failures = [];"
               "for (var seed = 1; seed <= 40; seed++) {"
               "  var html = generated(seed * 7919, 4000);"
               "  if (Q.text(html) !== referenceText(html)) failures.push(seed);"
               "}"
               "return failures"),
            "[]");
  // A page of a tracking table, as the benchmark and many shops send it.
  EXPECT_EQ(
      js("var page = '<html><head><title>T</title></head><body><table>';"
         "for (var row = 0; row < 300; row++)"
         "  page += '<tr><td>2024-03-0' + (row % 9 + 1) + '</td><td>Parcel &amp; co</td></tr>';"
         "page += '</table></body></html>';"
         "return Q.text(page) === referenceText(page) && Q.text(page).length > 1000"),
      "true");
}

TEST_F(PageText, TextOfTextWithoutMarkupOnlyCollapsesWhiteSpace) {
  EXPECT_EQ(js("return [Q.text(''), Q.text(' '), Q.text('\\u00a0'), Q.text(' a '), "
               "Q.text('a \\t\\n b'), Q.text('a b'), Q.text(undefined), Q.text(42)]"),
            "[\"\",\"\",\"\",\"a\",\"a b\",\"a b\",\"\",\"42\"]");
}

TEST_F(PageText, HashMatchesTheReferenceForEveryKindOfCharacter) {
  EXPECT_EQ(js("var failures = [];"
               "for (var seed = 1; seed <= 2000 && failures.length < 3; seed++) {"
               "  var text = generated(seed, 1 + seed % 30);"
               "  if (Q.hash(text) !== referenceHash(text)) failures.push(JSON.stringify(text));"
               "}"
               "return failures"),
            "[]");
  // Two- three- and four-byte characters, and halves of a pair at either end.
  EXPECT_EQ(js("return ['\\u00e9', '\\u20ac', '\\ud83d\\udce6', '\\ud83d', '\\udce6x', "
               "'x\\ud83d', '\\udce6\\ud83d'].every(function(t) {"
               "  return Q.hash(t) === referenceHash(t); })"),
            "true");
}

}  // namespace
}  // namespace qby::test
