// Runs with blanks: which pieces are asked about and which are kept, with verdicts of the
// tests' own so that every rule of the choice can be seen.
#include "finder/QBYRunSplitter.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace qby::test {
namespace {

using Strings = std::vector<std::string>;
using Verdict = QBYRunSplitter::Verdict;

Strings pieceTexts(const QBYRunSplitter& splitter) {
  Strings texts;
  for (const auto& piece : splitter.pieces()) texts.push_back(piece.text);
  return texts;
}

// The pieces kept when the named texts get those verdicts and every other piece None.
Strings kept(const std::string& run, const std::map<std::string, Verdict>& verdicts) {
  const QBYRunSplitter splitter(run);
  std::vector<Verdict> given;
  for (const auto& piece : splitter.pieces()) {
    const auto found = verdicts.find(piece.text);
    given.push_back(found == verdicts.end() ? Verdict::None : found->second);
  }
  Strings texts;
  for (const auto index : splitter.choose(given)) texts.push_back(splitter.pieces()[index].text);
  return texts;
}

TEST(RunSplitterTest, GroupsOfOneNumberStayTogether) {
  // Short groups that hold digits are never parted: the run is asked about as a whole only.
  EXPECT_EQ(pieceTexts(QBYRunSplitter("1Z 999 AA1 01 2345 6784")),
            Strings{"1Z 999 AA1 01 2345 6784"});
  EXPECT_EQ(pieceTexts(QBYRunSplitter("9400 1118 9922 3397 6585 38")),
            Strings{"9400 1118 9922 3397 6585 38"});
  // Words without digits around the groups may be left out.
  const auto pieces = pieceTexts(QBYRunSplitter("SHIPPED VIA UPS 1Z 999 AA1 01 2345 6784 TODAY"));
  EXPECT_NE(std::find(pieces.begin(), pieces.end(), "1Z 999 AA1 01 2345 6784"), pieces.end());
  for (const auto& piece : pieces) {
    EXPECT_NE(piece.find("1Z 999 AA1 01 2345 6784"), std::string::npos) << piece;
  }
}

TEST(RunSplitterTest, PiecesHoldEightToFortyCharactersAndADigit) {
  const QBYRunSplitter splitter("ABCDEFGH 12345678901234567890 12345678901234567890 AB12");
  for (const auto& piece : splitter.pieces()) {
    std::size_t characters = 0;
    for (const char c : piece.text) characters += c != ' ';
    EXPECT_GE(characters, 8u) << piece.text;
    EXPECT_LE(characters, 40u) << piece.text;
    EXPECT_NE(piece.text.find_first_of("0123456789"), std::string::npos) << piece.text;
  }
  const auto texts = pieceTexts(splitter);
  // Two twenty-digit tokens make forty characters, a piece; with the word before, too many.
  EXPECT_NE(std::find(texts.begin(), texts.end(), "12345678901234567890 12345678901234567890"),
            texts.end());
  EXPECT_EQ(std::find(texts.begin(), texts.end(), "ABCDEFGH"), texts.end());
  EXPECT_TRUE(QBYRunSplitter("AB 12 CD").pieces().empty());
  EXPECT_TRUE(QBYRunSplitter("").pieces().empty());
}

TEST(RunSplitterTest, TwoCheckedNumbersSideBySideAreBothKept) {
  const std::string run = "1Z999AA10123456784 JJD000390007726468";
  EXPECT_EQ(kept(run, {{"1Z999AA10123456784", Verdict::Checked},
                       {"JJD000390007726468", Verdict::Checked}}),
            (Strings{"1Z999AA10123456784", "JJD000390007726468"}));
  // A checked whole loses to a split into more checked numbers...
  EXPECT_EQ(kept("3318810025 8487135506", {{"3318810025 8487135506", Verdict::Checked},
                                           {"3318810025", Verdict::Checked},
                                           {"8487135506", Verdict::Checked}}),
            (Strings{"3318810025", "8487135506"}));
  // ...but not to a checked fragment beside a number that only fits a format.
  EXPECT_EQ(kept("3318810025 8487135507", {{"3318810025 8487135507", Verdict::Checked},
                                           {"3318810025", Verdict::Checked},
                                           {"8487135507", Verdict::Format}}),
            Strings{"3318810025 8487135507"});
}

TEST(RunSplitterTest, CheckedNumbersComeFirstThenFormatsInTheRest) {
  // A number whose check fails is still kept beside a checked one.
  EXPECT_EQ(
      kept("JJD000390007726468 9400111899223397658538",
           {{"JJD000390007726468", Verdict::Checked}, {"9400111899223397658538", Verdict::Format}}),
      (Strings{"JJD000390007726468", "9400111899223397658538"}));
  // A format-only whole gives way to a checked part with the rest as a format.
  EXPECT_EQ(kept("3318810025 8487135507", {{"3318810025 8487135507", Verdict::Format},
                                           {"3318810025", Verdict::Checked},
                                           {"8487135507", Verdict::Format}}),
            (Strings{"3318810025", "8487135507"}));
  // Of two checked readings the one that covers more of the run wins.
  EXPECT_EQ(kept("9 1Z999AA10123456784 X1", {{"9 1Z999AA10123456784", Verdict::Checked},
                                             {"1Z999AA10123456784", Verdict::Checked}}),
            Strings{"9 1Z999AA10123456784"});
  // Words and pieces the script does not know are left out.
  EXPECT_EQ(kept("SHIPPED VIA UPS 1Z 999 AA1 01 2345 6784 TODAY",
                 {{"1Z 999 AA1 01 2345 6784", Verdict::Checked}}),
            Strings{"1Z 999 AA1 01 2345 6784"});
  EXPECT_TRUE(kept("ORDER 55512 REF AB12CD34", {}).empty());
}

TEST(RunSplitterTest, OnlyRunsWithTwoNumberLongGroupsAreSplit) {
  EXPECT_TRUE(QBYRunSplitter("1Z999AA10123456784 JJD000390007726468").mayHoldSeveralNumbers());
  EXPECT_TRUE(QBYRunSplitter("REF 3318810025 QTY 8487135506").mayHoldSeveralNumbers());
  // One number in groups, with or without words around it, and words with a short number.
  EXPECT_FALSE(QBYRunSplitter("1Z 999 AA1 01 2345 6784").mayHoldSeveralNumbers());
  EXPECT_FALSE(QBYRunSplitter("UPS 1Z 999 AA1 01 2345 6784").mayHoldSeveralNumbers());
  EXPECT_FALSE(QBYRunSplitter("ORDER 55512 REF AB12CD34").mayHoldSeveralNumbers());
  // Eight letters alone are a word, not a number.
  EXPECT_FALSE(QBYRunSplitter("TRACKING 3318810025").mayHoldSeveralNumbers());
}

TEST(RunSplitterTest, TheCoreLeavesOutTheWordsAtTheEnds) {
  EXPECT_EQ(QBYRunSplitter("UPS 1Z 999 AA1 01 2345 6784").core(), "1Z 999 AA1 01 2345 6784");
  EXPECT_EQ(QBYRunSplitter("SHIPPED VIA UPS 1Z999AA10123456784 TODAY").core(),
            "1Z999AA10123456784");
  // Words inside stay; a run without words at its ends, or with too little left, has none.
  EXPECT_EQ(QBYRunSplitter("PARCEL 12345 NO 678901 SENT").core(), "12345 NO 678901");
  // A code with few digits between words is no number.
  EXPECT_EQ(QBYRunSplitter("SKU AB12345CD SHIPS").core(), std::nullopt);
  EXPECT_EQ(QBYRunSplitter("SKU ABCDEF123456GHIJKL SHIPS").core(), std::nullopt);
  EXPECT_EQ(QBYRunSplitter("1Z 999 AA1 01 2345 6784").core(), std::nullopt);
  EXPECT_EQ(QBYRunSplitter("QTY 12 EACH").core(), std::nullopt);
  EXPECT_EQ(QBYRunSplitter("ORDER CONFIRMED").core(), std::nullopt);
}

}  // namespace
}  // namespace qby::test
