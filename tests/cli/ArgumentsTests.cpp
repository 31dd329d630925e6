// The command-line parser, the checks "porvane add" makes before it touches the store, and the
// texts at the tool's edges (what comes in as bytes, what goes out to a terminal).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "AddInput.h"
#include "Arguments.h"
#include "SafeText.h"

namespace porvane {
namespace {

const std::vector<OptionSpec> kSpecs = {{"json", false}, {"service", true}, {"name", true}};

std::optional<Arguments> parse(const std::vector<std::string>& words,
                               std::string* error = nullptr) {
  std::string ignored;
  return Arguments::parse(words, kSpecs, error ? error : &ignored);
}

TEST(ArgumentsTest, OptionsTakeTheirValueSeparatelyOrAfterAnEqualsSign) {
  const auto arguments =
      parse({"--service", "www.ups.com", "1Z 999", "--name=Camera = new", "--json"});
  ASSERT_TRUE(arguments);
  EXPECT_EQ(arguments->value("service"), "www.ups.com");
  // Only the first "=" separates; the rest belongs to the value.
  EXPECT_EQ(arguments->value("name"), "Camera = new");
  EXPECT_TRUE(arguments->has("json"));
  EXPECT_EQ(arguments->joinedPositionals(), "1Z 999");
}

TEST(ArgumentsTest, AnEmptyValueIsAValueNotAMissingOne) {
  const auto arguments = parse({"--name=", "X"});
  ASSERT_TRUE(arguments);
  EXPECT_EQ(arguments->value("name"), "");
  EXPECT_FALSE(arguments->value("service").has_value());
}

TEST(ArgumentsTest, DoubleDashEndsOptionsSoWordsMayStartWithDashes) {
  const auto arguments = parse({"--json", "--", "--service", "-1"});
  ASSERT_TRUE(arguments);
  EXPECT_EQ(arguments->positionals(), (std::vector<std::string>{"--service", "-1"}));
  EXPECT_FALSE(arguments->has("service"));
  // A single dash is an ordinary word.
  EXPECT_EQ(parse({"-"})->positionals(), std::vector<std::string>{"-"});
}

TEST(ArgumentsTest, WrongCommandLinesNameTheirProblem) {
  std::string error;
  EXPECT_FALSE(parse({"--frobnicate"}, &error));
  EXPECT_EQ(error, "unknown option: --frobnicate");
  EXPECT_FALSE(parse({"X", "--service"}, &error));
  EXPECT_EQ(error, "option --service needs a value");
  EXPECT_FALSE(parse({"--json=yes"}, &error));
  EXPECT_EQ(error, "option --json takes no value");
  EXPECT_FALSE(parse({"--name", "a", "--name", "b"}, &error));
  EXPECT_EQ(error, "option --name given twice");
}

TEST(AddInputTest, LengthsCountCharactersNotBytes) {
  EXPECT_EQ(characterCount("Zürich ✓"), 8u);
  // 256 two-byte characters fit a limit of 256; one more does not.
  std::string name;
  for (int i = 0; i < 256; ++i) name += "é";
  EXPECT_FALSE(lengthError("Name", name, kMaxNameLength));
  EXPECT_EQ(lengthError("Name", name + "é", kMaxNameLength),
            "Name is too long (at most 256 characters).");
}

TEST(AddInputTest, AHugeSingleWordIsATrackingNumberThatIsTooLong) {
  EXPECT_EQ(textError(std::string(10000, '7')),
            "Tracking No. is too long (at most 256 characters).");
  EXPECT_FALSE(textError(std::string(256, '7')));
  // A long sentence with a number in it is still recognisable, up to the text limit.
  std::string sentence;
  while (sentence.size() < 1000) sentence += "Your parcel 1Z999AA10123456784 is on its way. ";
  EXPECT_FALSE(textError(sentence));
  std::string huge;
  while (huge.size() <= kMaxTextLength) huge += "word ";
  EXPECT_EQ(textError(huge), "The text is too long (at most 4096 characters).");
  // A shop's page address is not a tracking number, however long its query.
  EXPECT_FALSE(textError("https://shop.example.com/orders?" + std::string(1000, 'a')));
}

TEST(AddInputTest, OnlyExistingISODaysAreDates) {
  EXPECT_TRUE(isCalendarDay("2024-03-04"));
  EXPECT_TRUE(isCalendarDay("2024-02-29"));
  EXPECT_FALSE(isCalendarDay("2023-02-29"));
  EXPECT_FALSE(isCalendarDay("2024-02-30"));
  EXPECT_FALSE(isCalendarDay("2024-13-01"));
  EXPECT_FALSE(isCalendarDay("2024-3-4"));
  EXPECT_FALSE(isCalendarDay("04.03.2024"));
  EXPECT_FALSE(isCalendarDay("2024-03-04T10:00"));
  EXPECT_FALSE(isCalendarDay("2024-03-0x"));
  EXPECT_FALSE(isCalendarDay(""));
}

TEST(ArgumentsTest, EveryWordBecomesValidUTF8AtTheBoundary) {
  std::string name = "bad\xffname";
  std::string option = "--name=Gr\xc3\xbc\xc3";  // a valid "ü", then a cut-off sequence
  std::string word = "1Z\x80";
  char* argv[] = {name.data(), option.data(), word.data()};
  std::string error;
  const auto arguments = Arguments::parse(3, argv, kSpecs, &error);
  ASSERT_TRUE(arguments) << error;
  EXPECT_EQ(arguments->positionals(), (std::vector<std::string>{"bad\uFFFDname", "1Z\uFFFD"}));
  EXPECT_EQ(arguments->value("name"), "Grü\uFFFD");
}

TEST(ArgumentsTest, AfterTheDoubleDashEveryWordIsText) {
  // "add -- -1Z999AA --service www.ups.com": the service is part of the text, which the add
  // command then refuses as a number.
  const auto arguments = parse({"--", "-1Z999AA", "--service", "www.ups.com"});
  ASSERT_TRUE(arguments);
  EXPECT_FALSE(arguments->has("service"));
  EXPECT_EQ(arguments->joinedPositionals(), "-1Z999AA --service www.ups.com");
  EXPECT_FALSE(isPlausibleNumber(arguments->joinedPositionals()));
}

TEST(AddInputTest, OnlyNumberShapedTextIsAPlausibleNumber) {
  for (const char* number :
       {"1Z999AA10123456784", "1Z 999 AA1 0123 4567 84", "1z 999 aa1 01234", "123-4567890-1234567",
        "JJD000390007726468", "AB 1234 5678 9GB", "0190 5021 4058 51", "LX123456789DE", "1234"}) {
    EXPECT_TRUE(isPlausibleNumber(number)) << number;
  }
  for (const char* text :
       {"call me at 555 123 4567 tomorrow", "-1Z999AA", "1Z999AA-",
        "-1Z999AA --service www.ups.com", "hello", "ABCDEFGH", "123", "1Z999AA.",
        "https://example.com/1234", "1Z999AA\t123", "Zürich 123", "parcel 12345", ""}) {
    EXPECT_FALSE(isPlausibleNumber(text)) << text;
  }
  EXPECT_TRUE(isPlausibleNumber(std::string(kMaxNumberLength, '7')));
  EXPECT_FALSE(isPlausibleNumber(std::string(kMaxNumberLength + 1, '7')));
}

TEST(SafeTextTest, ControlsAreShownNotObeyed) {
  EXPECT_EQ(terminalText("\x1b[31mRED\x1b[0m"), "\\x1B[31mRED\\x1B[0m");
  EXPECT_EQ(terminalText("two\nlines\r\tand\x7f"), "two\\nlines\\r\\tand\\x7F");
  // C1 controls (U+009B is CSI on some terminals) by code point; letters around them stay.
  EXPECT_EQ(terminalText("a\xc2\x9b"
                         "2Jb\xc2\x85"),
            "a\\u009B2Jb\\u0085");
  // Text that is no control stays exactly as it is, U+00A0 (the byte after C2 above 9F) too.
  EXPECT_EQ(terminalText("Zürich ✓\xc2\xa0Straße"), "Zürich ✓\xc2\xa0Straße");
  EXPECT_EQ(terminalText("bad\xff"), "bad\uFFFD");
  EXPECT_EQ(validUTF8("fine ✓"), "fine ✓");
  EXPECT_EQ(validUTF8(std::string("a\0b", 3)), "a\uFFFDb");
}

TEST(SafeTextTest, QuotedWordsAreShortAndCutBetweenCharacters) {
  const std::string huge(100000, '7');
  const std::string quoted = quotedWord(huge);
  EXPECT_EQ(quoted, "“" + std::string(40, '7') + "…”");
  // A cut never splits a character.
  std::string accents;
  for (int i = 0; i < 50; ++i) accents += "é";
  std::string expected;
  for (int i = 0; i < 40; ++i) expected += "é";
  EXPECT_EQ(shortenedText(accents, 40), expected + "…");
  EXPECT_EQ(shortenedText("short", 40), "short");
  EXPECT_EQ(quotedWord("a\nb"), "“a\\nb”");
}

}  // namespace
}  // namespace porvane
