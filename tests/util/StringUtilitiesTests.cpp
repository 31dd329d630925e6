#include <gtest/gtest.h>

#include <string>

#include "support/TestSupport.h"
#include "util/QBYDigest.h"
#include "util/StringUtilities.h"

namespace qby {
namespace {

const std::string kEllipsis = "…";
// One grapheme cluster each: a family emoji (seven code points), a skin-toned thumb, a flag, and
// an "e" with a combining acute accent.
const std::string kFamily = "👨‍👩‍👧‍👦";
const std::string kThumb = "👍🏽";
const std::string kFlag = "🇩🇪";
const std::string kAccentedE = "e\u0301";

std::string repeat(const std::string& piece, int count) {
  std::string out;
  for (int i = 0; i < count; ++i) out += piece;
  return out;
}

// A five-megabyte text of words, spaces, tabs and line breaks.
std::string hugeText() {
  std::string text;
  text.reserve(5 * 1024 * 1024 + 64);
  while (text.size() < 5 * 1024 * 1024) text += "word \t\n  other,  words ";
  return text;
}

TEST(StringValueTests, HasValueDistinguishesAbsentEmptyAndBlank) {
  EXPECT_TRUE(hasValue(" "));
  EXPECT_FALSE(hasValue(""));
  EXPECT_FALSE(hasValue(std::optional<std::string>()));
  EXPECT_FALSE(hasValue(std::optional<std::string>("")));
  EXPECT_TRUE(hasValue(std::optional<std::string>("x")));

  EXPECT_FALSE(hasTrimmedValue(" "));
  EXPECT_FALSE(hasTrimmedValue("\n\t\u00a0\u3000\r\n"));
  EXPECT_FALSE(hasTrimmedValue(std::optional<std::string>()));
  EXPECT_TRUE(hasTrimmedValue(" x "));
}

TEST(StringValueTests, EqualityTreatsAbsentAsItsOwnValue) {
  EXPECT_TRUE(stringIsEqualToString(std::nullopt, std::nullopt));
  EXPECT_TRUE(stringIsEqualToString("a", "a"));
  EXPECT_FALSE(stringIsEqualToString("a", std::nullopt));
  EXPECT_FALSE(stringIsEqualToString(std::nullopt, ""));
  EXPECT_FALSE(stringIsEqualToString("a", "A"));
}

TEST(StringValueTests, TrimmedStringRemovesUnicodeWhiteSpaceAtBothEndsOnly) {
  EXPECT_EQ(trimmedString("  \t\r\n a  b \n"), "a  b");
  EXPECT_EQ(trimmedString("\u00a0\u2028x\u3000\u0085"), "x");
  EXPECT_EQ(trimmedString(" \n "), "");
  EXPECT_EQ(trimmedString(std::optional<std::string>()), std::nullopt);
  // A zero-width space is not white space in this sense (category Cf).
  EXPECT_EQ(trimmedString("\u200bx"), "\u200bx");
}

TEST(StringValueTests, IsAlphaNumericUsesLettersMarksAndNumbers) {
  EXPECT_TRUE(isAlphaNumeric("abc123"));
  EXPECT_TRUE(isAlphaNumeric("Grüße"));
  EXPECT_TRUE(isAlphaNumeric(kAccentedE));            // the combining mark counts
  EXPECT_TRUE(isAlphaNumeric("\u0663\u4e2d\u00bd"));  // Arabic digit, CJK, vulgar fraction
  EXPECT_TRUE(isAlphaNumeric(""));
  EXPECT_FALSE(isAlphaNumeric("a b"));
  EXPECT_FALSE(isAlphaNumeric("a-b"));
  EXPECT_FALSE(isAlphaNumeric(kThumb));
  EXPECT_FALSE(isAlphaNumeric("ab\xff"));  // invalid UTF-8 reads as U+FFFD
}

TEST(TrimToLengthTests, KeepsNMinusTwoCharactersAndAddsEllipsis) {
  EXPECT_EQ(trimToLength("Hello, wonderful world", 10), "Hello, w" + kEllipsis);
  // Trailing punctuation and white space of the kept part go before the ellipsis.
  EXPECT_EQ(trimToLength("Hello, world", 9), "Hello" + kEllipsis);
  EXPECT_EQ(trimToLength("Wait... what?", 9), "Wait" + kEllipsis);
}

TEST(TrimToLengthTests, TextsUpToNCharactersStayUnchanged) {
  EXPECT_EQ(trimToLength("0123456789", 10), "0123456789");
  EXPECT_EQ(trimToLength("", 0), "");
  EXPECT_EQ(trimToLength("01234567890", 10), "01234567" + kEllipsis);
  // Ten clusters, many more bytes and code points.
  EXPECT_EQ(trimToLength(repeat(kFamily, 10), 10), repeat(kFamily, 10));
}

TEST(TrimToLengthTests, NeverCutsEmojiOrAccentedLetters) {
  EXPECT_EQ(trimToLength(repeat(kFamily, 12), 10), repeat(kFamily, 8) + kEllipsis);
  EXPECT_EQ(trimToLength(repeat(kAccentedE, 12), 10), repeat(kAccentedE, 8) + kEllipsis);
  EXPECT_EQ(trimToLength("abcdefg" + kThumb + kFlag + "xyz", 10), "abcdefg" + kThumb + kEllipsis);
}

TEST(TrimToLengthTests, TinyLimitsAndInvalidInputDoNotBreak) {
  EXPECT_EQ(trimToLength("abc", 0), kEllipsis);
  EXPECT_EQ(trimToLength("abc", 1), kEllipsis);
  EXPECT_EQ(trimToLength("abc", 2), kEllipsis);
  EXPECT_EQ(trimToLength("ab\xff\xfe\xfd"
                         "cdefgh",
                         6),
            "ab\uFFFD\uFFFD" + kEllipsis);
}

TEST(TrimToLengthTests, HandlesHugeTexts) {
  const std::string text = hugeText();
  EXPECT_EQ(trimToLength(text, 10), "word" + kEllipsis);
  // A long run of punctuation before the cut is stripped without quadratic work.
  const std::string commas = "x" + std::string(1'000'000, ',') + "y";
  EXPECT_EQ(trimToLength(commas, 1'000'001), "x" + kEllipsis);
}

TEST(LimitedByWordsTests, KeepsWholeWordsThatEndWithinN) {
  EXPECT_EQ(stringLimitedByWordsToLength("Hello, wonderful world", 10), "Hello" + kEllipsis);
  // A word ending exactly at n is kept.
  EXPECT_EQ(stringLimitedByWordsToLength("Hello world again", 11), "Hello world" + kEllipsis);
  EXPECT_EQ(stringLimitedByWordsToLength("Hello world again", 10), "Hello" + kEllipsis);
  EXPECT_EQ(stringLimitedByWordsToLength("Hello world", 11), "Hello world");
}

TEST(LimitedByWordsTests, FirstWordLongerThanNIsCutAfterNMinusOneCharacters) {
  EXPECT_EQ(stringLimitedByWordsToLength("Supercalifragilistic is", 10), "Supercali" + kEllipsis);
  EXPECT_EQ(stringLimitedByWordsToLength(repeat(kAccentedE, 20), 5),
            repeat(kAccentedE, 4) + kEllipsis);
  // No words at all (only punctuation and emoji): the same cut.
  EXPECT_EQ(stringLimitedByWordsToLength("!!!!!!!!!!!!", 5), "!!!!" + kEllipsis);
  EXPECT_EQ(stringLimitedByWordsToLength(repeat(kFamily, 6), 5), repeat(kFamily, 4) + kEllipsis);
  EXPECT_EQ(stringLimitedByWordsToLength("abc", 0), kEllipsis);
}

TEST(LimitedByWordsTests, CountsComposedCharactersNotCodeUnits) {
  const std::string cafe = "Caf" + kAccentedE;  // four characters, five code points
  EXPECT_EQ(stringLimitedByWordsToLength(cafe + " au lait chaud", 12),
            cafe + " au lait" + kEllipsis);
  EXPECT_EQ(stringLimitedByWordsToLength(kThumb + " ok fine", 4), kThumb + " ok" + kEllipsis);
}

TEST(LimitedByWordsTests, HandlesHugeTexts) {
  const std::string text = hugeText();
  EXPECT_EQ(stringLimitedByWordsToLength(text, 14), "word \t\n  other" + kEllipsis);
  EXPECT_EQ(stringLimitedByWordsToLength(text, 13), "word" + kEllipsis);
  const std::string oneWord(5 * 1024 * 1024, 'a');
  EXPECT_EQ(stringLimitedByWordsToLength(oneWord, 4), "aaa" + kEllipsis);
}

TEST(LineTests, FirstNonEmptyLineSkipsBlankLines) {
  EXPECT_EQ(firstNonEmptyLine("\n\n  First line  \r\nsecond"), "First line  ");
  EXPECT_EQ(firstNonEmptyLine("\r\n\r\n\t\r\nx\r\ny"), "x");
  EXPECT_EQ(firstNonEmptyLine("only"), "only");
  EXPECT_EQ(firstNonEmptyLine(" \n\t \r\n "), std::nullopt);
  EXPECT_EQ(firstNonEmptyLine(""), std::nullopt);
  EXPECT_EQ(firstNonEmptyLine(std::string(5 * 1024 * 1024, ' ')), std::nullopt);
  EXPECT_EQ(firstNonEmptyLine(std::string(5 * 1024 * 1024, '\n') + "last"), "last");
}

TEST(LineTests, NormalizeLineEndingsMakesEveryBreakALineFeed) {
  EXPECT_EQ(normalizeLineEndings("a\r\nb\rc\nd\r\n\r\n"), "a\nb\nc\nd\n\n");
  EXPECT_EQ(normalizeLineEndings("\n\r"), "\n\n");
  EXPECT_EQ(normalizeLineEndings("none"), "none");
}

TEST(ReplacementTests, ReduceSpacesMakesEachRunOneSpace) {
  EXPECT_EQ(reduceSpaces("a \t\n b  c"), "a b c");
  EXPECT_EQ(reduceSpaces("  lead\u00a0\u3000trail  "), " lead trail ");
  EXPECT_EQ(reduceSpaces(""), "");
}

TEST(ReplacementTests, ReduceSpacesHandlesHugeTexts) {
  EXPECT_EQ(reduceSpaces("a" + std::string(5 * 1024 * 1024, ' ') + "b"), "a b");
  const std::string reduced = reduceSpaces(hugeText());
  EXPECT_EQ(reduced.substr(0, 23), "word other, words word ");
  EXPECT_EQ(reduced.find("  "), std::string::npos);
  EXPECT_EQ(reduced.find('\n'), std::string::npos);
}

TEST(ReplacementTests, ReplacesWithTemplateGroups) {
  EXPECT_EQ(stringByReplacingPattern("a1b22c333", "(\\d+)", "<$1>"), "a<1>b<22>c<333>");
  EXPECT_EQ(stringByReplacingPattern("Straße", "(?i)STRASSE|straße", "Weg"), "Weg");
  EXPECT_EQ(stringByReplacingPattern("no match", "\\d", "x"), "no match");
}

TEST(ReplacementTests, InvalidPatternLogsAndAnswersNothing) {
  test::LogCapture capture;
  EXPECT_EQ(stringByReplacingPattern("text", "(unclosed", "x"), std::nullopt);
  EXPECT_EQ(stringByReplacingPattern("text", "[z-a]", "x"), std::nullopt);
  EXPECT_EQ(capture.linesContaining("Error creating regular expression: ").size(), 2u);
  // A template that names a group the pattern lacks fails the same way, without a crash.
  EXPECT_EQ(stringByReplacingPattern("text", "t", "$7"), std::nullopt);
  // A pattern whose matching gives up on a long run is reported, not half applied.
  EXPECT_EQ(stringByReplacingPattern("a" + std::string(5 * 1024 * 1024, ' ') + "b", "(?: )+", "_"),
            std::nullopt);
  EXPECT_EQ(capture.linesContaining("Error creating regular expression: ").size(), 4u);
}

TEST(ReplacementTests, RemovingPrefix) {
  EXPECT_EQ(stringByRemovingPrefix("prefix-rest", "prefix-"), "rest");
  EXPECT_EQ(stringByRemovingPrefix("rest", "prefix-"), "rest");
  EXPECT_EQ(stringByRemovingPrefix("pre", "prefix"), "pre");
  EXPECT_EQ(stringByRemovingPrefix("abc", ""), "abc");
}

TEST(ReduceCharactersTests, ReplacesRunsOutsideTheSet) {
  const auto& alnum = CharacterSet::alphanumericCharacterSet();
  EXPECT_EQ(stringByReducingCharactersNotInSet("Hello, World!", alnum, "-", 100), "Hello-World-");
  EXPECT_EQ(stringByReducingCharactersNotInSet("--a--", alnum, "", 100), "a");
  EXPECT_EQ(stringByReducingCharactersNotInSet("", alnum, "-", 100), "");
}

TEST(ReduceCharactersTests, StopsOnceTheResultReachesTheMaximum) {
  const auto& alnum = CharacterSet::alphanumericCharacterSet();
  EXPECT_EQ(stringByReducingCharactersNotInSet("abc def ghi", alnum, "_", 5), "abc_d");
  // The last piece may overshoot.
  EXPECT_EQ(stringByReducingCharactersNotInSet("a b c", alnum, "--", 2), "a--");
  EXPECT_EQ(stringByReducingCharactersNotInSet("abc", alnum, "_", 0), "");
  EXPECT_EQ(stringByReducingCharactersNotInSet(std::string(5 * 1024 * 1024, 'x'), alnum, "_", 3),
            "xxx");
}

TEST(ReduceCharactersTests, TreatsComposedCharactersAsWholes) {
  const auto& alnum = CharacterSet::alphanumericCharacterSet();
  const std::string cafe = "Caf" + kAccentedE;
  EXPECT_EQ(stringByReducingCharactersNotInSet(cafe + " ☕ au lait", alnum, " ", 6), cafe + " a");
  EXPECT_EQ(stringByReducingCharactersNotInSet("a" + kFamily + kThumb + "b", alnum, "*", 10),
            "a*b");
  // An accented letter is kept only when the set holds its accent too.
  const auto letters = CharacterSet::fromPattern("[a-z]");
  ASSERT_TRUE(letters);
  EXPECT_EQ(stringByReducingCharactersNotInSet("x" + kAccentedE + "y", *letters, "?", 10), "x?y");
  const auto emoji = CharacterSet::withCharactersInString(kThumb);
  EXPECT_EQ(stringByReducingCharactersNotInSet("a" + kThumb + "b", emoji, "", 10), kThumb);
}

TEST(ValidUUIDTests, AcceptsUpperCaseUUIDsAndShortIdentifiers) {
  const std::string uuid = "0F8FAD5B-D9CB-469F-A165-70867728950E";
  EXPECT_EQ(validUUID(uuid), uuid);
  EXPECT_EQ(validUUID(uuid + "-2"), uuid);
  EXPECT_EQ(validUUID(uuid + "-123"), uuid);
  EXPECT_EQ(validUUID("abcDEF1234567"), "abcDEF1234567");  // 13
  EXPECT_EQ(validUUID("abcDEF1234567-15"), "abcDEF1234567");
  EXPECT_EQ(validUUID(std::string(23, 'z')), std::string(23, 'z'));
}

TEST(ValidUUIDTests, RejectsEverythingElse) {
  EXPECT_EQ(validUUID("0f8fad5b-d9cb-469f-a165-70867728950e"), std::nullopt);
  EXPECT_EQ(validUUID("0F8FAD5B-D9CB-469F-A165-70867728950E-x"), std::nullopt);
  EXPECT_EQ(validUUID("0F8FAD5B-D9CB-469F-A165-70867728950E-"), std::nullopt);
  EXPECT_EQ(validUUID(std::string(12, 'a')), std::nullopt);
  EXPECT_EQ(validUUID(std::string(24, 'a')), std::nullopt);
  EXPECT_EQ(validUUID("abcdefghijklm!"), std::nullopt);
  EXPECT_EQ(validUUID(""), std::nullopt);
  EXPECT_EQ(validUUID(std::string(5 * 1024 * 1024, 'A')), std::nullopt);
}

TEST(DigestTests, MD5OfUTF8Bytes) {
  EXPECT_EQ(md5HexDigest(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(md5HexDigest("The quick brown fox jumps over the lazy dog"),
            "9e107d9d372bb6826bd81d3542a419d6");
  EXPECT_EQ(md5HexDigest("ü"), "c03410a5204b21cd8229ff754688d743");
}

}  // namespace
}  // namespace qby
