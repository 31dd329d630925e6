// The host's reading of the recognition script's number tables: a finder that answers numbers
// from the tables must answer exactly what the script answers, for valid numbers, wrong check
// characters, numbers in groups, words and odd texts alike; malformed tables are refused, and a
// script that no longer promises its answers follow the tables is always called.
#include "finder/QBYNumberFormats.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "FinderTestSupport.h"
#include "NumberSamples.h"
#include "finder/QBYDeliveriesFinder.h"

namespace qby::test {
namespace {

std::string describe(const std::optional<Guess>& guess) {
  return guess ? Value(*guess).toJSON(false).value_or("?") : "none";
}

TEST(NumberFormatsTest, TablesAnswerWhatTheScriptAnswers) {
  useRecognitionScripts();
  QBYDeliveriesFinder tables(nullptr);
  QBYDeliveriesFinder script(nullptr);
  script.useNumberFormatTables(false);

  NumberSamples make(99);
  std::vector<std::string> texts;
  for (const auto& sample : make.valid(8)) {
    texts.push_back(sample.number);
    texts.push_back(NumberSamples::withWrongCheck(sample));
    texts.push_back(make.grouped(sample.number, ' '));
    texts.push_back(make.grouped(sample.number, '-'));
    std::string lower = sample.number;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    texts.push_back(lower);
    texts.push_back("UPS " + sample.number);
    texts.push_back(sample.number + " today");
    texts.push_back("Track " + make.grouped(sample.number, ' '));
  }
  // Runs of every length and mix, words, separators at the ends and characters of no number.
  std::mt19937 random(5);
  const std::string alphabet = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  for (int length = 1; length <= 44; ++length) {
    for (int round = 0; round < 6; ++round) {
      std::string text;
      for (int i = 0; i < length; ++i)
        text += round < 3 ? static_cast<char>('0' + random() % 10) : alphabet[random() % 36];
      texts.push_back(text);
    }
  }
  for (const char* odd :
       {"", " 1Z999AA10123456784", "1Z999AA10123456784 ", "ABCDEFGHIJ", "1Z999AA1.0123456784",
        "1Z999AA1/0123456784", "12345678 ABCD 1234", "Call 1-800-562-7773", "1-800-562-7773",
        "--------", "12.34.56.78.90", "https://www.ups.com/track?tracknum=1Z999AA10123456784",
        "1Z999AA10123456784\t", "RB123456785gb", "rb 123 456 785 gb", "Abcd 12345678901",
        "ABCD 1234567890"}) {
    texts.emplace_back(odd);
  }
  std::size_t compared = 0;
  for (const auto& text : texts) {
    for (const bool strict : {true, false}) {
      const auto fromTables = tables.guessesFromText(text, strict);
      const auto fromScript = script.guessesFromText(text, strict);
      EXPECT_EQ(describe(fromTables), describe(fromScript))
          << "\"" << text << "\"" << (strict ? " strict" : "");
      ++compared;
    }
  }
  EXPECT_GT(compared, 2000u);
}

TEST(NumberFormatsTest, AScriptThatOverridesItsGuessesIsAlwaysCalled) {
  // A guessesFromText laid over the shipped one does not carry the promise the tables rest on.
  useRecognitionScripts(R"JS(
var qbyShippedGuessesFromText = guessesFromText;
guessesFromText = function (text, strict) {
  if (text === '1Z999AA10123456784') return {no: text, best: ['other'], input: text};
  return qbyShippedGuessesFromText(text, strict);
};
)JS");
  QBYDeliveriesFinder finder(nullptr);
  const auto guess = finder.guessesFromText(std::string("1Z999AA10123456784"), true);
  ASSERT_TRUE(guess);
  EXPECT_EQ(bestGuesses(*guess), std::vector<std::string>{"other"});
}

Value tablesWith(Dictionary variant) {
  return Value(Dictionary{{"variants", Value(Array{Value(std::move(variant))})},
                          {"shortest", Value(8)},
                          {"longest", Value(40)},
                          {"looseShortest", Value(10)},
                          {"looseLongest", Value(34)}});
}

Dictionary variantWith(Dictionary check) {
  Dictionary variant{{"length", Value(10)},
                     {"prefix", Value("")},
                     {"classes", Value("DDDDDDDDDD")},
                     {"best", Value(Array{Value("www.dhl.com")})}};
  if (!check.empty()) variant.set("check", Value(std::move(check)));
  return variant;
}

TEST(NumberFormatsTest, MalformedTablesAreRefused) {
  const Dictionary mod7{
      {"rule", Value("mod7")}, {"from", Value(0)}, {"to", Value(9)}, {"at", Value(9)}};
  const auto good = QBYNumberFormats::fromTables(tablesWith(variantWith(mod7)));
  ASSERT_TRUE(good);
  EXPECT_EQ(good->servicesForNumber("3318810025").best, std::vector<std::string>{"www.dhl.com"});
  EXPECT_TRUE(good->servicesForNumber("3318810026").best.empty());

  auto unknownRule = mod7;
  unknownRule.set("rule", Value("luhn"));
  EXPECT_FALSE(QBYNumberFormats::fromTables(tablesWith(variantWith(unknownRule))));
  auto outside = mod7;
  outside.set("at", Value(10));
  EXPECT_FALSE(QBYNumberFormats::fromTables(tablesWith(variantWith(outside))));
  auto backwards = mod7;
  backwards.set("from", Value(9));
  backwards.set("to", Value(2));
  EXPECT_FALSE(QBYNumberFormats::fromTables(tablesWith(variantWith(backwards))));
  auto noWeights = mod7;
  noWeights.set("rule", Value("mod10"));
  EXPECT_FALSE(QBYNumberFormats::fromTables(tablesWith(variantWith(noWeights))));
  auto shortShape = variantWith({});
  shortShape.set("classes", Value("DDD"));
  EXPECT_FALSE(QBYNumberFormats::fromTables(tablesWith(shortShape)));
  auto oddClass = variantWith({});
  oddClass.set("classes", Value("DDDDDDDDD?"));
  EXPECT_FALSE(QBYNumberFormats::fromTables(tablesWith(oddClass)));
  EXPECT_FALSE(QBYNumberFormats::fromTables(Value(Array{})));
  EXPECT_FALSE(QBYNumberFormats::fromTables(Value(Dictionary{{"variants", Value(Array{})}})));
  // A number longer than any format is no format's.
  EXPECT_TRUE(good->servicesForNumber(std::string(60, '1')).best.empty());
}

}  // namespace
}  // namespace qby::test
