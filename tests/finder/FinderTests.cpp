// The finder's search of pages and texts: which candidates it looks at, in which order it
// keeps the scripts' answers, what onlyBest stops at, and how it copes with broken input.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "FinderTestSupport.h"
#include "finder/QBYDeliveriesFinder.h"
#include "support/TestSupport.h"

namespace qby::test {
namespace {

using Strings = std::vector<std::string>;

// Answers of the tests' own for texts no carrier format covers, so that the search order can
// be seen: a shop page that prefers UPS without naming a number, and plain 7- or 8-digit runs
// and ten capitals as if they were numbers of an example carrier.
constexpr const char* kOverrides = R"JS(
var qbyShippedGuess = guessesFromText;
guessesFromText = function (text, strict) {
  if (/^https:\/\/shop\.example\//.test(text)) return { best: ["www.ups.com"] };
  if (strict && /^([0-9]{7,8}|[A-Z]{10})$/.test(text))
    return { no: text, best: ["www.example.com"], input: text };
  return qbyShippedGuess(text, strict);
};
)JS";

Strings numbers(const std::vector<Guess>& guesses) {
  Strings out;
  for (const auto& guess : guesses) out.push_back(guessString(guess, "no").value_or("-"));
  return out;
}

class FinderTest : public ::testing::Test {
 protected:
  void SetUp() override { useRecognitionScripts(kOverrides); }
  QBYDeliveriesFinder finder{nullptr};
  LogCapture logs;
};

TEST_F(FinderTest, AddressHoldingANumberIsTheOnlyGuessWithOnlyBest) {
  QBYWebData page;
  page.url = "https://www.ups.com/track?loc=en_US&tracknum=1Z999AA10123456784";
  page.links = Strings{"https://www.fedex.com/fedextrack/?trknbr=986578788855"};
  page.text = "Also shipped: 9400111201080805483016";
  const auto best = finder.guessesFromWebData(page, true);
  ASSERT_EQ(best.size(), 1u);
  EXPECT_EQ(guessString(best[0], "no"), "1Z999AA10123456784");
  EXPECT_EQ(bestGuesses(best[0]), Strings{"www.ups.com"});

  // Without onlyBest the links and the text are searched too, each number once.
  EXPECT_EQ(numbers(finder.guessesFromWebData(page, false)),
            (Strings{"1Z999AA10123456784", "986578788855", "9400111201080805483016"}));
}

TEST_F(FinderTest, LabelledNumbersWithoutThePreferredServiceComeAfterThoseWithIt) {
  QBYWebData page;
  page.url = "https://shop.example/orders/5";
  page.text = "Tracking Number: 986578788855\nTracking Number: 1Z999AA10123456784\n";
  const auto all = finder.guessesFromWebData(page, false);
  ASSERT_GE(all.size(), 2u);
  EXPECT_EQ(guessString(all[0], "no"), "1Z999AA10123456784");
  EXPECT_EQ(guessString(all[1], "no"), "986578788855");
  // onlyBest takes the one with the preferred service, though it comes later in the text.
  const auto best = finder.bestGuessFromWebData(page);
  ASSERT_TRUE(best);
  EXPECT_EQ(guessString(*best, "no"), "1Z999AA10123456784");
}

TEST_F(FinderTest, DigitRunsNeedEightCharactersAndLetterRunsADigit) {
  EXPECT_EQ(numbers(finder.guessesFromWebData(
                QBYWebData::webDataWithString("Call 1234567 today, or quote 12345678."))),
            Strings{"12345678"});
  EXPECT_TRUE(
      finder.guessesFromWebData(QBYWebData::webDataWithString("Code ABCDEFGHIJ here")).empty());
  // The same ten capitals typed alone are guessed: only the search skips them.
  EXPECT_TRUE(finder.guessesFromText(std::string("ABCDEFGHIJ"), true));
}

TEST_F(FinderTest, UnknownAddressGivesTheGenericGuessOnce) {
  QBYWebData page;
  page.url = "https://example.com/orders/77?x=1";
  const auto guesses = finder.guessesFromWebData(page);
  ASSERT_EQ(guesses.size(), 1u);
  EXPECT_EQ(guessString(guesses[0], "extra"), page.url);
  EXPECT_TRUE(includesDomain(guesses[0], "other"));
  EXPECT_FALSE(guesses[0].contains("no"));
}

TEST_F(FinderTest, NumbersBrokenBySeparatorsAndLowerCaseAreFound) {
  for (const char* text :
       {"your parcel 1Z 999 AA1 01 2345 6784 ships today", "1z999aa10123456784",
        "1Z999AA1-0123-4567-84", "1Z\u2011999\u2011AA1\u201101\u20112345\u20116784"}) {
    auto guess = finder.guessesFromText(std::string(text), false);
    ASSERT_TRUE(guess) << text;
    EXPECT_EQ(guessString(*guess, "no"), "1Z999AA10123456784") << text;
    EXPECT_EQ(bestGuesses(*guess), Strings{"www.ups.com"}) << text;
  }
  // Strict means the text is the number and nothing else.
  EXPECT_FALSE(finder.guessesFromText(std::string("ship 1Z999AA10123456784"), true));
}

TEST_F(FinderTest, SortPutsGuessesWithBestServicesFirst) {
  QBYWebData page;
  page.text = "ref 1Z999AA10123456785 and 986578788855";  // the UPS one fails its check
  const auto guesses = finder.guessesFromWebData(page);
  ASSERT_FALSE(guesses.empty());
  EXPECT_EQ(guessString(guesses[0], "no"), "986578788855");
}

TEST_F(FinderTest, AdditionalDataNamesTheGuess) {
  QBYWebData page;
  page.url = "https://shop.example/orders/9";
  page.html = R"(<li data-tracking-number="1Z999AA10123456784" data-item-name="Desk lamp">)";
  page.text = "Tracking: 1Z999AA10123456784";
  const auto guesses = finder.guessesFromWebData(page);
  ASSERT_FALSE(guesses.empty());
  EXPECT_EQ(guessString(guesses[0], "name"), "Desk lamp");
  EXPECT_FALSE(finder.additionalDataFromHTML(std::nullopt, std::string("x")));
}

TEST_F(FinderTest, BrokenPatternsAndAbsentTextsYieldNothing) {
  int calls = 0;
  QBYDeliveriesFinder::enumerateMatchesForPattern("([a-z", std::string("abc"), false,
                                                  [&](const auto&, bool&) { ++calls; });
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(logs.linesContaining("Error creating regular expression: ").size(), 1u);
  QBYDeliveriesFinder::enumerateMatchesForPattern("a", std::nullopt, false,
                                                  [&](const auto&, bool&) { ++calls; });
  EXPECT_EQ(calls, 0);
  EXPECT_FALSE(finder.guessesFromText(std::nullopt, false));
  EXPECT_FALSE(finder.guessesFromText(std::string("\xff\xfe not utf-8 \xc3"), false));
}

TEST_F(FinderTest, PatternsMatchAtLineStartsAndCaseOnRequest) {
  Strings found;
  QBYDeliveriesFinder::enumerateMatchesForPattern(
      "^ab", std::string("ab\nAB\nxab"), true,
      [&](const auto& groups, bool&) { found.push_back(*groups[0]); });
  EXPECT_EQ(found, (Strings{"ab", "AB"}));
}

TEST_F(FinderTest, LongCapitalRunsDoNotStallTheSearch) {
  // Nested repetitions over a long run of capitals with no end in sight used to backtrack
  // for ever; the search gives up on that stretch and goes on with the next line.
  std::string text(4000, 'A');
  text += "x\nTracking: 1Z999AA10123456784\n";
  EXPECT_EQ(numbers(finder.guessesFromWebData(QBYWebData::webDataWithString(text))),
            Strings{"1Z999AA10123456784"});
}

TEST_F(FinderTest, ABatchOfPagesAnswersAsEachPageAlone) {
  QBYWebData shop;
  shop.url = "https://shop.example/orders/5";
  shop.text = "Tracking Number: 986578788855\nTracking Number: 1Z999AA10123456784\n";
  const std::vector<QBYWebData> pages = {
      QBYWebData::webDataWithString("Tracking: 1Z999AA10123456784"),
      QBYWebData{},
      QBYWebData::webDataWithString("nothing here"),
      shop,
      QBYWebData::webDataWithString("1Z999AA10123456784 JJD000390007726468"),
      QBYWebData::webDataWithString("Call 1234567 today, or quote 12345678."),
  };
  const auto batch = finder.guessesFromWebData(pages);
  ASSERT_EQ(batch.size(), pages.size());
  for (std::size_t i = 0; i < pages.size(); ++i)
    EXPECT_EQ(batch[i], finder.guessesFromWebData(pages[i])) << i;
  EXPECT_TRUE(finder.guessesFromWebData(std::vector<QBYWebData>{}).empty());

  const Strings texts = {"1Z999AA10123456784", "ship 1Z999AA10123456784", ""};
  const auto strict = finder.guessesFromTexts(texts, true);
  ASSERT_EQ(strict.size(), texts.size());
  for (std::size_t i = 0; i < texts.size(); ++i)
    EXPECT_EQ(strict[i], finder.guessesFromText(texts[i], true)) << texts[i];
  EXPECT_TRUE(strict[0]);
}

TEST(FinderScriptsTest, MissingScriptsAnswerNothing) {
  useRecognitionScripts();
  LogCapture logs;
  QBYDeliveriesFinder finder(nullptr, {"Guess", "NoSuchRecognition", "GuessText"});
  EXPECT_FALSE(finder.guessesFromText(std::string("1Z999AA10123456784"), true));
  EXPECT_TRUE(finder.scriptsFailedToLoad());
  EXPECT_TRUE(
      finder.guessesFromWebData(QBYWebData::webDataWithString("1Z999AA10123456784")).empty());
  // A batch has no answer at all, rather than an empty answer for every page.
  EXPECT_TRUE(finder.guessesFromWebData(std::vector<QBYWebData>{QBYWebData::webDataWithString("x")})
                  .empty());
  EXPECT_TRUE(finder.guessesFromTexts({"1Z999AA10123456784"}, true).empty());
  EXPECT_EQ(logs.linesContaining("Script not found: NoSuchRecognition").size(), 1u);
}

// Guesses with every kind of "best" list the final sort tells apart: none, empty, not texts,
// Amazon's order-link service first or later, Amazon's shops and other carriers.
std::vector<Guess> guessesOfEveryRank() {
  const std::vector<std::vector<Value>> bestLists = {
      {},
      {Value(1)},
      {Value("www.amazon.com/url")},
      {Value("www.amazon.com/url"), Value("www.ups.com")},
      {Value("www.ups.com"), Value("www.amazon.com/url")},
      {Value("www.amazon.de")},
      {Value("www.amazon.com")},
      {Value("www.ups.com")},
      {Value("www.fedex.com"), Value("www.amazon.co.uk")},
  };
  std::vector<Guess> guesses;
  int number = 0;
  for (const auto& best : bestLists) {
    guesses.push_back(Guess{{"no", Value(std::to_string(++number))}, {"best", Value(Array(best))}});
    guesses.push_back(Guess{{"no", Value(std::to_string(++number))}, {"more", Value(Array(best))}});
  }
  guesses.push_back(Guess{{"no", Value("none")}});
  guesses.push_back(Guess{{"no", Value("text")}, {"best", Value("www.ups.com")}});
  return guesses;
}

TEST(GuessRankingTest, IsAStrictWeakOrdering) {
  const auto guesses = guessesOfEveryRank();
  const auto before = [](const Guess& a, const Guess& b) { return guessRanksBefore(a, b); };
  const auto equivalent = [&](const Guess& a, const Guess& b) {
    return !before(a, b) && !before(b, a);
  };
  for (const auto& a : guesses) {
    EXPECT_FALSE(before(a, a));
    for (const auto& b : guesses) {
      EXPECT_FALSE(before(a, b) && before(b, a));
      for (const auto& c : guesses) {
        EXPECT_TRUE(!(before(a, b) && before(b, c)) || before(a, c));
        // Sorting also needs "neither before the other" to be transitive.
        EXPECT_TRUE(!(equivalent(a, b) && equivalent(b, c)) || equivalent(a, c));
      }
    }
  }
}

TEST(GuessRankingTest, ShuffledListsSortToOneOrderOfRanks) {
  auto guesses = guessesOfEveryRank();
  const auto rankOrder = [](std::vector<Guess> list) {
    std::stable_sort(list.begin(), list.end(), guessRanksBefore);
    Strings order;
    for (const auto& guess : list) {
      const auto best = bestGuesses(guess);
      order.push_back(best.empty() ? "-" : best.front() == "www.amazon.com/url" ? "link" : "best");
    }
    return order;
  };
  const auto expected = rankOrder(guesses);
  EXPECT_EQ(expected.front(), "link");
  EXPECT_EQ(expected.back(), "-");
  std::uint32_t seed = 11;
  for (int turn = 0; turn < 20; ++turn) {
    for (std::size_t i = guesses.size(); i > 1; --i) {
      seed = seed * 1103515245u + 12345u;
      std::swap(guesses[i - 1], guesses[seed % i]);
    }
    EXPECT_EQ(rankOrder(guesses), expected);
  }
  // Within a rank the search's order stands.
  std::vector<Guess> carriers = {
      Guess{{"no", Value("a")}, {"best", Value(Array{Value("www.amazon.de")})}},
      Guess{{"no", Value("b")}, {"best", Value(Array{Value("www.ups.com")})}},
      Guess{{"no", Value("c")}, {"more", Value(Array{Value("www.ups.com")})}},
      Guess{{"no", Value("d")}, {"best", Value(Array{Value("www.amazon.com/url")})}}};
  std::stable_sort(carriers.begin(), carriers.end(), guessRanksBefore);
  EXPECT_EQ(numbers(carriers), (Strings{"d", "a", "b", "c"}));
}

}  // namespace
}  // namespace qby::test

namespace qby::test {
namespace {

TEST(CandidatePatternsTest, SearchingFromKnownStartsFindsWhatAFullSearchFinds) {
  const std::string text =
      "TRACKING #: 1Z999AA10123456784\nCarrier Trk 986578788855 carrier tracking id: AB-12.34x\n"
      "label number:0034043383 see HTTPS://Example.com/a?b=(1) and http://x.y/\"q\" "
      "Order Number: W123456789\norder numberW12345678 Paketnummer  00340433836442636597\n"
      "trackingtracking Tracking Number(s): 12345 track it 99-88.77";
  for (const auto& step : QBYDeliveriesFinder::candidatePatterns()) {
    std::vector<std::vector<std::optional<std::string>>> full, fromStarts;
    QBYDeliveriesFinder::enumerateMatchesForPattern(
        step.pattern, text, step.ignoreCase,
        [&](const auto& groups, bool&) { full.push_back(groups); });
    QBYDeliveriesFinder::enumerateMatchesForPattern(
        step.pattern, text, step.ignoreCase, step.starts,
        [&](const auto& groups, bool&) { fromStarts.push_back(groups); });
    EXPECT_EQ(full, fromStarts) << step.pattern;
    if (step.ignoreCase) {
      EXPECT_FALSE(full.empty()) << step.pattern;
    }
  }
}

}  // namespace
}  // namespace qby::test
