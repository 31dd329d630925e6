// Word-overlap similarity of tracking event texts, and the guess and web data helpers.
#include <gtest/gtest.h>

#include "finder/QBYGuess.h"
#include "finder/QBYTextSimilarity.h"
#include "finder/QBYWebData.h"

namespace qby::test {
namespace {

TEST(SimilarityTest, SameSimilarAndDifferent) {
  EXPECT_EQ(similarityToString("Arrived at Sort Facility", "arrived at sort facility."), 2);
  EXPECT_EQ(similarityToString("Out: for; delivery,", "  out for delivery\n"), 2);
  // Three words, all in order in a four-word text: 3 of 4 = 0.75.
  EXPECT_EQ(similarityToString("departed from facility", "departed from the facility"), 1);
  EXPECT_EQ(similarityToString("Delivered", "In transit"), 0);
  // One of two words: 0.5 is not enough.
  EXPECT_EQ(similarityToString("package delivered", "package delayed"), 0);
  // Exactly 0.7 is not more than 0.7: 7 of 10 words.
  EXPECT_EQ(similarityToString("a b c d e f g", "a b c d e f g h i j"), 0);
  // A repeated word may match the same word again; the cursor never moves back.
  EXPECT_EQ(similarityToString("scan scan scan", "scan x"), 1);
  EXPECT_EQ(similarityToString("b a", "a b"), 0);
  EXPECT_EQ(similarityToString("", ""), 2);
  EXPECT_EQ(similarityToString("Zugestellt in München", "zugestellt in münchen"), 2);
}

TEST(GuessOperationsTest, GuessesNeedANumberOrExtraAndAService) {
  EXPECT_TRUE(hasGuesses(Guess{{"no", "1"}, {"more", Array{Value("x")}}}));
  EXPECT_TRUE(hasGuesses(Guess{{"extra", "u"}, {"best", Array{Value("x")}}}));
  EXPECT_FALSE(hasGuesses(Guess{{"best", Array{Value("x")}}}));
  EXPECT_FALSE(hasGuesses(Guess{{"no", "1"}, {"best", Array{}}}));
  EXPECT_FALSE(hasGuesses(Guess{{"no", "1"}, {"best", "x"}}));  // not a list

  const Guess guess{{"no", "N1"}, {"extra", "E"}, {"best", Array{Value("a")}}};
  EXPECT_FALSE(includesGuess({}, guess));
  EXPECT_TRUE(includesGuess({Guess{{"no", "N1"}}}, guess));
  EXPECT_FALSE(includesGuess({Guess{{"extra", "E"}}}, Guess{{"extra", "E"}}));

  const Dictionary extraData{{"N1", Dictionary{{"name", "Lamp"}, {"displayName", "L"}}},
                             {"U", Dictionary{{"extra", "X2"}}}};
  const auto named = guessWithAdditionalData(guess, extraData);
  EXPECT_EQ(guessString(named, "name"), "Lamp");
  EXPECT_EQ(guessString(named, "extra"), "E");
  // Without a number the extra value is the key.
  const auto byExtra = guessWithAdditionalData(Guess{{"extra", "U"}}, extraData);
  EXPECT_EQ(guessString(byExtra, "extra"), "X2");
  EXPECT_EQ(guessWithAdditionalData(guess, std::nullopt), guess);

  std::vector<Guess> list;
  addObjectOnce(list, guess);
  addObjectOnce(list, guess);
  EXPECT_EQ(list.size(), 1u);
}

TEST(WebDataTest, ClipboardReadingOrder) {
  QBYPasteboardContent content;
  content.richText = QBYPasteboardContent::RichText{"rich", {"https://a/1", "https://b/2"}};
  content.plainText = "https://plain/3";
  auto data = QBYWebData::webDataFromPasteboard(content);
  EXPECT_EQ(data.text, "rich");
  EXPECT_EQ(data.url, "https://plain/3");
  EXPECT_EQ(data.links, (std::vector<std::string>{"https://a/1", "https://b/2"}));

  content = {};
  content.url = "https://u/";
  content.plainText = "https://plain/3";
  data = QBYWebData::webDataFromPasteboard(content);
  EXPECT_EQ(data.url, "https://u/");
  EXPECT_EQ(data.text, "https://plain/3");

  content = {};
  content.plainText = "httpsfoo";
  EXPECT_EQ(QBYWebData::webDataFromPasteboard(content).text, "httpsfoo");
}

TEST(WebDataTest, DescriptionAndHashes) {
  auto data = QBYWebData::webDataWithDictionary(
      Dictionary{{"url", "https://x/"}, {"links", Array{Value("l1"), Value(3)}}, {"html", 5}});
  EXPECT_EQ(data.links, std::vector<std::string>{"l1"});
  EXPECT_FALSE(data.html);
  EXPECT_EQ(data.description().keys(), (std::vector<std::string>{"url", "links"}));
  EXPECT_EQ(data.hashText(), "https://x/\n(\n    l1\n)\n(null)\n(null)");
  EXPECT_EQ(data.sha256Hash().size(), 64u);
  auto other = data;
  other.text = "";
  EXPECT_NE(data.sha256Hash(), other.sha256Hash());
}

}  // namespace
}  // namespace qby::test
