// The command-line parser and the checks "porvane add" makes before it touches the store.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "AddInput.h"
#include "Arguments.h"

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

}  // namespace
}  // namespace porvane
