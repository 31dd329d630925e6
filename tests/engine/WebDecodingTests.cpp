// Response bodies in the encodings carrier pages really use, declared or not.
#include <glib.h>
#include <gtest/gtest.h>
#include <unicode/ucnv.h>

#include <algorithm>
#include <string>

#include "engine/QBYResponseDecoding.h"

namespace qby {
namespace {

// The UTF-8 text in another encoding, through ICU, so fixtures stay readable.
std::string encode(const std::string& utf8, const char* encoding) {
  UErrorCode status = U_ZERO_ERROR;
  std::string out(utf8.size() * 4 + 16, '\0');
  const int32_t length = ucnv_convert(encoding, "UTF-8", out.data(), int32_t(out.size()),
                                      utf8.data(), int32_t(utf8.size()), &status);
  EXPECT_TRUE(U_SUCCESS(status)) << u_errorName(status);
  out.resize(U_SUCCESS(status) ? std::size_t(length) : 0);
  return out;
}

bool isUTF8(const std::optional<std::string>& text) {
  if (!text) return false;
  // NUL bytes are text too, which GLib's validation would refuse.
  std::string copy = *text;
  std::replace(copy.begin(), copy.end(), '\0', ' ');
  return g_utf8_validate(copy.data(), gssize(copy.size()), nullptr);
}

TEST(WebDecoding, DeclaredSingleByteEncodingsAndTheirAliases) {
  const std::string latin1 =
      "Caf\xE9 cr\xE8me, Stra\xDF"
      "e";
  for (const char* name : {"ISO-8859-1", "iso-8859-1", "latin1", "\"ISO-8859-1\"", " l1 "}) {
    const auto decoded = decodeResponseData(latin1, std::string(name));
    EXPECT_EQ(decoded.text, "Café crème, Straße") << name;
    EXPECT_EQ(decoded.encoding, "ISO-8859-1") << name;
    EXPECT_FALSE(decoded.lossy) << name;
  }
  // Bytes 0x80-0x9F are where windows-1252 and ISO-8859-1 part ways.
  const auto windows =
      decodeResponseData("\x80 12 \x93quoted\x94 \x85", std::string("windows-1252"));
  EXPECT_EQ(windows.text, "€ 12 “quoted” …");
  EXPECT_EQ(windows.encoding, "windows-1252");
  const auto cp1252 = decodeResponseData("\x80", std::string("cp1252"));
  EXPECT_EQ(cp1252.text, "€");
}

TEST(WebDecoding, DeclaredMultiByteEncodings) {
  const std::string japanese = "お荷物の配達状況：配達完了（東京営業所）";
  const auto sjis = decodeResponseData(encode(japanese, "Shift_JIS"), std::string("Shift_JIS"));
  EXPECT_EQ(sjis.text, japanese);
  EXPECT_EQ(sjis.encoding, "Shift_JIS");
  EXPECT_FALSE(sjis.lossy);

  const std::string utf8 = "Zugestellt in Köln – 3 Pakete 📦";
  const auto declared = decodeResponseData(utf8, std::string("utf-8"));
  EXPECT_EQ(declared.text, utf8);
  EXPECT_EQ(declared.encoding, "UTF-8");

  // Without a byte-order mark "UTF-16" is big-endian.
  const auto utf16 = decodeResponseData(std::string("\0h\0i", 4), std::string("UTF-16"));
  EXPECT_EQ(utf16.text, "hi");
}

TEST(WebDecoding, NoOrUnknownNameMeansUTF8) {
  const std::string utf8 = "Grüße aus Zürich — ½ €";
  for (const std::optional<std::string>& name :
       {std::optional<std::string>(), std::optional<std::string>(""),
        std::optional<std::string>("x-no-such-charset"), std::optional<std::string>("   ")}) {
    const auto decoded = decodeResponseData(utf8, name);
    EXPECT_EQ(decoded.text, utf8) << name.value_or("(none)");
    EXPECT_EQ(decoded.encoding, "UTF-8") << name.value_or("(none)");
    EXPECT_FALSE(decoded.lossy);
  }
}

TEST(WebDecoding, NamesThatAreNotPlainAliasesAreIgnored) {
  // ICU would read these as converter files or options; a server must not pick those.
  const std::string utf8 = "Zustellung ✓";
  for (const char* name : {"../../../etc/passwd", "/tmp/x.cnv", "UTF-16,version=1",
                           "ISO-8859-1\nX-Evil: 1", "icudt72l/ibm-943_P15A-2003"}) {
    const auto decoded = decodeResponseData(utf8, std::string(name));
    EXPECT_EQ(decoded.text, utf8) << name;
    EXPECT_EQ(decoded.encoding, "UTF-8") << name;
  }
  const auto tooLong = decodeResponseData(utf8, std::string(200, 'a'));
  EXPECT_EQ(tooLong.text, utf8);
}

TEST(WebDecoding, UndeclaredLegacyTextIsDetected) {
  const std::string japanese =
      "ご注文いただいた商品は本日発送いたしました。お届け予定日は明日です。"
      "配達状況はお問い合わせ番号で確認できます。ご利用ありがとうございました。";
  const auto sjis = decodeResponseData(encode(japanese, "Shift_JIS"), std::nullopt);
  EXPECT_EQ(sjis.text, japanese);
  EXPECT_EQ(sjis.encoding, "Shift_JIS");
  EXPECT_FALSE(sjis.lossy);

  // Declared wrongly as UTF-8: the bytes are not UTF-8, so detection decides.
  const std::string french =
      "Votre colis a été livré à l'adresse indiquée. Merci d'avoir choisi notre service, "
      "à très bientôt. Numéro de suivi : déjà enregistré.";
  const auto latin = decodeResponseData(encode(french, "ISO-8859-1"), std::string("UTF-8"));
  EXPECT_EQ(latin.text, french);
  EXPECT_TRUE(latin.encoding == "ISO-8859-1" || latin.encoding == "windows-1252") << latin.encoding;
  EXPECT_FALSE(latin.lossy);
}

TEST(WebDecoding, ByteOrderMarksWinAndAreRemoved) {
  const auto utf8 = decodeResponseData(
      "\xEF\xBB\xBF"
      "caf\xC3\xA9",
      std::string("ISO-8859-1"));
  EXPECT_EQ(utf8.text, "café");
  EXPECT_EQ(utf8.encoding, "UTF-8");

  const auto little =
      decodeResponseData(std::string("\xFF\xFEh\0i\0", 6), std::string("Shift_JIS"));
  EXPECT_EQ(little.text, "hi");
  EXPECT_EQ(little.encoding, "UTF-16LE");

  const auto big = decodeResponseData(std::string("\xFE\xFF\0h\0i", 6), std::nullopt);
  EXPECT_EQ(big.text, "hi");
  EXPECT_EQ(big.encoding, "UTF-16BE");

  const auto onlyMark = decodeResponseData("\xEF\xBB\xBF", std::nullopt);
  EXPECT_EQ(onlyMark.text, "");
}

TEST(WebDecoding, InvalidBytesNeverGiveInvalidText) {
  const std::vector<std::string> inputs = {
      "ok \xC3\x28 text",                  // a broken two-byte sequence
      "price \xE2\x82",                    // cut off at the end
      "\xED\xA0\x80 surrogate",            // an encoded surrogate
      "\xC0\xAF overlong slash",           // an overlong form
      std::string("\xFF\xFE\x00", 3),      // UTF-16 mark with half a character
      std::string("\x00\x01\x02\xFF", 4),  // binary
  };
  for (const auto& input : inputs) {
    for (const auto& name : {std::optional<std::string>(), std::optional<std::string>("UTF-8"),
                             std::optional<std::string>("Shift_JIS")}) {
      const auto decoded = decodeResponseData(input, name);
      ASSERT_TRUE(decoded.text.has_value()) << input;
      EXPECT_TRUE(isUTF8(decoded.text)) << input;
      EXPECT_FALSE(decoded.encoding.empty());
    }
  }
  // A truncated UTF-16 character is not valid UTF-16: whatever wins must not claim it was.
  const auto odd = decodeResponseData(std::string("\0h\0", 3), std::string("UTF-16BE"));
  ASSERT_TRUE(odd.text.has_value());
  EXPECT_TRUE(isUTF8(odd.text));
  EXPECT_FALSE(odd.encoding == "UTF-16BE" && !odd.lossy);
}

TEST(WebDecoding, ValidUTF8ComesBackByteForByte) {
  // The edges of the code space, noncharacters and a NUL: valid UTF-8 whichever way it is
  // checked, so the text is the body as it came.
  const std::string edges = std::string("a\0b \x7F \xC2\x80 \xEF\xBF\xBE \xEF\xBF\xBF ", 17) +
                            "\xF4\x8F\xBF\xBF \xEF\xBB\xBF mid-text mark";
  for (const auto& name : {std::optional<std::string>(), std::optional<std::string>("utf-8"),
                           std::optional<std::string>("UTF8")}) {
    const auto decoded = decodeResponseData(edges, name);
    EXPECT_EQ(decoded.text, edges) << name.value_or("(none)");
    EXPECT_EQ(decoded.encoding, "UTF-8");
    EXPECT_FALSE(decoded.lossy);
  }
}

TEST(WebDecoding, ABadByteAfterAnyLengthOfASCIIIsNoticed) {
  // ASCII is checked a word at a time: the byte that breaks the text may sit anywhere in a
  // word, or in the few bytes after the last whole one.
  for (std::size_t length = 0; length <= 17; ++length) {
    const std::string ascii(length, 'x');
    const std::string broken = ascii + "\xC3\x28 tail";
    const auto decoded = decodeResponseData(broken, std::string("UTF-8"));
    ASSERT_TRUE(decoded.text.has_value()) << length;
    EXPECT_NE(decoded.text, broken) << length;
    EXPECT_TRUE(isUTF8(decoded.text)) << length;

    const std::string withNul = ascii + std::string(1, '\0') + "caf\xC3\xA9";
    EXPECT_EQ(decodeResponseData(withNul, std::nullopt).text, withNul) << length;
    const std::string accented = ascii + "\xC3\xA9";
    EXPECT_EQ(decodeResponseData(accented, std::nullopt).text, accented) << length;
  }
}

TEST(WebDecoding, EmptyData) {
  for (const auto& name : {std::optional<std::string>(), std::optional<std::string>("Shift_JIS"),
                           std::optional<std::string>("nonsense")}) {
    const auto decoded = decodeResponseData("", name);
    EXPECT_EQ(decoded.text, "");
    EXPECT_FALSE(decoded.lossy);
    EXPECT_FALSE(decoded.encoding.empty());
  }
}

TEST(WebDecoding, LargeBodiesSurviveTheConversionBuffers) {
  // Multi-byte characters land on every buffer boundary; embedded NULs are text too.
  std::string utf8;
  for (int i = 0; utf8.size() < 3 * 1024 * 1024; ++i) {
    utf8 += "Sendung ";
    utf8 += std::to_string(i);
    utf8 += " → Zustellbasis Köln 配達 📦";
    utf8.push_back('\0');
  }
  const auto same = decodeResponseData(utf8, std::string("UTF-8"));
  ASSERT_TRUE(same.text.has_value());
  EXPECT_EQ(same.text->size(), utf8.size());
  EXPECT_TRUE(*same.text == utf8);

  const std::string latin(2 * 1024 * 1024 + 7, '\xE9');
  const auto widened = decodeResponseData(latin, std::string("latin1"));
  ASSERT_TRUE(widened.text.has_value());
  EXPECT_EQ(widened.text->size(), latin.size() * 2);
  EXPECT_EQ(widened.text->substr(widened.text->size() - 2), "é");
}

}  // namespace
}  // namespace qby
