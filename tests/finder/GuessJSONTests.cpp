// The compact JSON of guesses written without a JSON tree must be byte for byte what the
// general writer makes, for plain guesses, texts that need escapes, non-ASCII texts, nested
// values and values only the general writer can write (or refuse).
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "finder/QBYGuess.h"

namespace qby::test {
namespace {

std::optional<std::string> general(const std::vector<Guess>& guesses) {
  return Value(Array(guesses.begin(), guesses.end())).toJSON(false);
}

TEST(GuessJSONTest, WritesWhatTheGeneralWriterWrites) {
  std::string controls;
  for (int c = 1; c < 0x20; ++c) controls += static_cast<char>(c);
  const std::vector<std::vector<Guess>> cases = {
      {},
      {Guess{{"no", Value("1Z999AA10123456784")},
             {"best", Value(Array{Value("www.ups.com")})},
             {"more", Value(Array{})},
             {"input", Value("1Z 999 AA1 01 2345 6784")}}},
      {Guess{{"no", Value("A\"B\\C/D")}, {"extra", Value(controls + "\x7F end")}},
       Guess{{"more", Value(Array{Value("other")})},
             {"extra", Value("https://x.example/?a=1&b=2")}}},
      {Guess{{"name", Value("Gr\u00FC\u00DFe \u2014 \xF0\x9F\x93\xA6")},
             {"no", Value("12345678")}}},
      {Guess{{"nested", Value(Dictionary{{"list", Value(Array{Value(1), Value(true), Value()})},
                                         {"n", Value(-42)}})}}},
      {Guess{{"real", Value(2.5)}, {"no", Value("X")}}},
      {Guess{{"\u00E9t\u00E9", Value("key beyond ASCII")}}},
  };
  for (const auto& guesses : cases) {
    const auto fast = guessesJSON(guesses);
    const auto slow = general(guesses);
    ASSERT_TRUE(slow);
    ASSERT_TRUE(fast);
    EXPECT_EQ(*fast, *slow);
  }
}

TEST(GuessJSONTest, RefusesWhatTheGeneralWriterRefuses) {
  // Not valid UTF-8, and a number JSON cannot hold: no text rather than a wrong one.
  EXPECT_FALSE(guessesJSON({Guess{{"no", Value(std::string("12\xFF"
                                                           "34"))}}}));
  EXPECT_FALSE(guessesJSON({Guess{{"no", Value(std::nan(""))}}}));
}

}  // namespace
}  // namespace qby::test
