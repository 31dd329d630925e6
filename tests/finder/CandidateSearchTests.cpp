// The fast candidate search against the regular-expression engine: the same candidates, in the
// same order, for texts built to reach the corners of the run patterns.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>

#include "finder/QBYCandidateSearch.h"
#include "finder/QBYDeliveriesFinder.h"
#include "finder/QBYDistractors.h"

namespace qby::test {
namespace {

void expectSameAsEngine(const std::string& text) {
  const QBYCandidateSearch search(text);
  for (const auto& step : QBYDeliveriesFinder::candidatePatterns())
    EXPECT_EQ(search.candidates(step), search.candidatesByEngine(step))
        << step.pattern << "\nin: " << text;
}

TEST(CandidateSearchTest, RunsEndWhereTheEngineEndsThem) {
  for (const char* text : {
           "AB12 CD34 EF56",                     // blanks join runs
           "AB-CD-E, 1234567-89x 12-34-56-78.",  // a short last run is left out
           "#AB12CD34 >1234.5678<",              // leads and ends of every kind
           "ABCD\n12345678\r\n87654321",         // line starts and ends
           "x12345678 12345678x 1234--5678 12 34 56 78",
           "AB CD EF GH? 1Z 999 AA1 01 2345 6784",
           "SKU AB12345CD ships 2024-03-15, call 1-800-555-1234.",
           "A1 B2 C3 D4 E5 F6 G7 H8 I9\tJ0",
       })
    expectSameAsEngine(text);
}

TEST(CandidateSearchTest, UnicodeSpacesLineEndsAndFoldingMatchTheEngine) {
  // No-break and other Unicode spaces lead and end runs; U+0085 and the line separators start
  // lines; the Kelvin sign and the long s fold to ASCII when case is ignored.
  expectSameAsEngine("\u00A012345678\u2003ABCD1234\u0085 87654321\u2028AB12CD34\u3000");
  expectSameAsEngine("\u000B12345678\u000C87654321\u200B11223344");
  expectSameAsEngine("TRAC\u212A IT: 1Z999AA10123456784\nORDER NUMBER W123456789\n");
  expectSameAsEngine("12345678\xF0\x9F\x93\xA6 \xF0\x9F\x93\xA6 12345678 caf\xC3\xA9 AB12CD34");
}

TEST(CandidateSearchTest, RandomTextsFromTheRunsAlphabet) {
  // Short texts of the characters the run patterns care about, so that every boundary case
  // turns up many times over.
  const std::string alphabet[] = {"A", "Z", "0", "9",  "a",  " ",  "-", ".",      ",",      "?",
                                  "<", ">", "#", "\n", "\r", "\t", "x", "\u00A0", "\u2028", "/"};
  std::mt19937 random(20240315);
  std::uniform_int_distribution<std::size_t> pick(0, std::size(alphabet) - 1);
  std::uniform_int_distribution<int> length(1, 40);
  for (int i = 0; i < 3000; ++i) {
    std::string text;
    for (int k = length(random); k > 0; --k) text += alphabet[pick(random)];
    expectSameAsEngine(text);
    if (HasFailure()) break;
  }
}

TEST(CandidateSearchTest, LongerRandomTextsCrossTheScannersBlocks) {
  // The scanner classifies units 64 at a time, 16 to a step: runs, their leads and their ends
  // must be seen across those bounds, in ASCII texts and in UTF-16 ones with spaces from beyond
  // ASCII inside a block.
  const std::string alphabet[] = {"A",      "7",    "0",  "x",  " ",  "-",      ".",
                                  ",",      "<",    ">",  "#",  "\n", "\u00A0", "\u2028",
                                  "\u0085", "1234", "AB", "12", "-",  " "};
  std::mt19937 random(20261208);
  std::uniform_int_distribution<std::size_t> pick(0, std::size(alphabet) - 1);
  std::uniform_int_distribution<int> length(40, 220);
  for (int i = 0; i < 400; ++i) {
    std::string text;
    for (int k = length(random); k > 0; --k) {
      // Every other text ASCII, so that both paths are taken.
      const auto& piece = alphabet[pick(random)];
      if (i % 2 == 0 && static_cast<unsigned char>(piece[0]) >= 0x80) continue;
      text += piece;
    }
    expectSameAsEngine(text);
    if (HasFailure()) break;
  }
}

TEST(CandidateSearchTest, RunsAtEveryOffsetOfTheScannersBlocks) {
  for (std::size_t pad = 0; pad < 140; ++pad) {
    for (const char* piece : {" AB12CD34 ", "\n12345678.", "#1Z 999 AA1 01 2345 6784<",
                              ">12-34-56-78", "\u00A087654321\u2028", "\u0085ABCD1234"}) {
      // Padding of letters outside the classes, and of digits that make a run longer (a few:
      // the engine gives up on long ones).
      expectSameAsEngine(std::string(pad, 'x') + piece + std::string(pad % 5, 'y'));
      expectSameAsEngine(std::string(pad, 'x') + " " + std::string(pad % 7, '9') + piece);
      if (HasFailure()) return;
    }
  }
}

TEST(CandidateSearchTest, EveryWhiteSpaceAndLineTerminatorOfTheBasicPlane) {
  // Each code unit between two runs: a lead, an end, a line start or nothing, as the engine
  // decides.
  std::string text;
  for (char32_t c = 1; c < 0x3100; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    icu::UnicodeString unit(static_cast<UChar32>(c));
    std::string encoded;
    unit.toUTF8String(encoded);
    text += "1234" + encoded + "5678" + encoded;
  }
  expectSameAsEngine(text);
}

TEST(CandidateSearchTest, LongRunsAreScannedWithoutBacktracking) {
  // The engine gives up on such lines; the scanner has nothing to give up and finds the number
  // after them all the same.
  std::string text(20000, 'A');
  text += "x\n" + std::string(5000, '1') + "-\n>AB 1234 5678";
  const QBYCandidateSearch search(text);
  const auto& runs = QBYDeliveriesFinder::candidatePatterns()[3];
  EXPECT_EQ(search.candidates(runs), (std::vector<std::string>{"AB 1234 5678"}));
}

// An ASCII text is searched in its own bytes; the same text with one non-ASCII line before it
// goes through the UTF-16 form. Both must find the same candidates, once each in the same
// order when asked for distinct ones, and, unless long runs make the engine give up on a
// line, what the engine finds.
void expectSameAsUnicodeForm(const std::string& text, bool withEngine = true) {
  const QBYCandidateSearch ascii(text);
  const std::string unicodeText = "Gr\u00FC\u00DFe \u2014\n" + text;
  const QBYCandidateSearch unicode(unicodeText);
  for (const auto& step : QBYDeliveriesFinder::candidatePatterns()) {
    const auto found = ascii.candidates(step);
    EXPECT_EQ(found, unicode.candidates(step)) << step.pattern << "\nin: " << text;
    if (withEngine) {
      EXPECT_EQ(found, ascii.candidatesByEngine(step)) << step.pattern << "\nin: " << text;
    }
    std::vector<std::string> firsts;
    for (const auto& candidate : found)
      if (std::find(firsts.begin(), firsts.end(), candidate) == firsts.end())
        firsts.push_back(candidate);
    EXPECT_EQ(ascii.distinctCandidates(step), firsts) << step.pattern << "\nin: " << text;
    EXPECT_EQ(unicode.distinctCandidates(step), firsts) << step.pattern << "\nin: " << text;
  }
}

TEST(CandidateSearchTest, DistinctCandidatesOfALargeTextAndVeryLongOnes) {
  // Enough distinct numbers that the table of those seen grows several times, each of them
  // twice in a shuffled order, and addresses too long for the table's slots, which are kept
  // aside: two equal and one that differs only in its last character.
  std::vector<std::string> numbers;
  for (int i = 0; i < 6000; ++i) {
    numbers.push_back(std::to_string(10000000 + i * 7919 % 9000000));
    numbers.push_back(numbers.back());
  }
  std::shuffle(numbers.begin(), numbers.end(), std::mt19937(7));
  const std::string longAddress = "https://example.com/" + std::string(70000, 'a');
  std::string text = longAddress + "\n" + longAddress + "b\n";
  for (const auto& number : numbers) text += number + ",\n";
  text += "\n" + longAddress + "\n";

  const auto firstsOf = [](const std::vector<std::string>& found) {
    std::vector<std::string> firsts;
    std::set<std::string> seen;
    for (const auto& candidate : found)
      if (seen.insert(candidate).second) firsts.push_back(candidate);
    return firsts;
  };
  for (const auto& form : {text, "\u00FC\n" + text}) {
    const QBYCandidateSearch search(form);
    const auto& links = QBYDeliveriesFinder::candidatePatterns()[0];
    EXPECT_EQ(search.distinctCandidates(links),
              (std::vector<std::string>{longAddress, longAddress + "b"}));
    const auto& digits = QBYDeliveriesFinder::candidatePatterns()[4];
    const auto found = search.candidates(digits);
    EXPECT_EQ(found.size(), numbers.size());
    const auto distinct = search.distinctCandidates(digits);
    EXPECT_EQ(distinct.size(), numbers.size() / 2);
    EXPECT_EQ(distinct, firstsOf(found));
  }
}

TEST(CandidateSearchTest, DistractorsAreLeftOutWhereTheyStandOnly) {
  const auto& runs = QBYDeliveriesFinder::candidatePatterns()[3];
  ASSERT_TRUE(runs.leavesOutDistractors);
  EXPECT_FALSE(QBYDeliveriesFinder::candidatePatterns()[1].leavesOutDistractors);
  const QBYCandidateSearch::Keep keep = [](std::string_view bytes, std::size_t start,
                                           std::size_t end) {
    return !QBYDistractors::isDistractor(bytes, start, end);
  };
  // The order number is turned down where the word "Order" names it, and kept where it stands
  // again as a carrier's number; the phone number nowhere. Both views of the text agree.
  const std::string text =
      "Order 3318810025 and phone 800 555 0195\nshipped by dhl: 3318810025 \xC3\xBC 800 555 0195\n";
  for (const std::string& form : {text, "Gr\u00FC\u00DFe\n" + text}) {
    const QBYCandidateSearch search(form);
    EXPECT_EQ(search.distinctCandidates(runs, keep), std::vector<std::string>{"3318810025"})
        << form;
    EXPECT_EQ(search.distinctCandidates(runs).size(), 2u) << form;
  }
}

TEST(CandidateSearchTest, ASCIITextsFindWhatTheirUnicodeFormFinds) {
  for (const char* text : {
           "Tracking Number: 1Z999AA10123456784\nORDER NUMBER W12345678 \n",
           "see https://example.com/track?id=1Z999AA10123456784 and HTTP://X.Y/z",
           "tRaCkInG nUmBeR(S): AB-12.34-5678 Carrier Trk 12345 label number 98765432\n",
           "Paketnummer:00340433836442636597 paketverfolgungsnummer 1234567890",
           "12345678 12345678 AB12CD34 12345678\n#AB12CD34 >AB12CD34<",
           "track",
           "",
           "TRACK IT: 9400111201080805483016\r\ntracking number is 986578788855.",
       })
    expectSameAsUnicodeForm(text);
}

TEST(CandidateSearchTest, LabelsAreFoundAtEveryOffsetAndNearTheEnd) {
  // The label search looks at blocks of bytes; a label must be found wherever it falls in them,
  // and a cut-off label or one at the very end must not be read past the text.
  const auto& labelled = QBYDeliveriesFinder::candidatePatterns()[1];
  for (std::size_t pad = 0; pad < 80; ++pad) {
    const std::string text = std::string(pad, 'x') + " TrAcKiNg # 1Z999AA10123456784";
    const QBYCandidateSearch search(text);
    EXPECT_EQ(search.candidates(labelled), (std::vector<std::string>{"1Z999AA10123456784"}))
        << "after " << pad << " bytes";
    for (const char* end : {"Trackin", "Tracking", "Carrier Tr", "order numbe", "htt"}) {
      expectSameAsUnicodeForm(std::string(pad, ' ') + end);
      if (HasFailure()) return;
    }
  }
}

TEST(CandidateSearchTest, RandomASCIITextsWithLabelsAndRuns) {
  const std::string pieces[] = {"Tracking",
                                "tracking number is ",
                                "Order Number",
                                "http://a.b/",
                                "W12345678",
                                "1Z999AA1",
                                "0123",
                                "AB",
                                " ",
                                ":",
                                "-",
                                ".",
                                "\n",
                                "\r",
                                "<",
                                ">",
                                "#",
                                "x",
                                "Label Number",
                                "TRACK IT"};
  std::mt19937 random(20250214);
  std::uniform_int_distribution<std::size_t> pick(0, std::size(pieces) - 1);
  std::uniform_int_distribution<int> length(1, 30);
  for (int i = 0; i < 1500; ++i) {
    std::string text;
    for (int k = length(random); k > 0; --k) text += pieces[pick(random)];
    // Pieces run together into capital runs long enough for the engine to give up on.
    expectSameAsUnicodeForm(text, false);
    if (HasFailure()) break;
  }
}

}  // namespace
}  // namespace qby::test
