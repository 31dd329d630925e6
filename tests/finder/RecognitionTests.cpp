// The shipped recognition scripts against the carriers' number formats (valid numbers and the
// same numbers with the check digit one off), real-looking e-mails and a very large text.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "FinderTestSupport.h"
#include "finder/QBYDeliveriesFinder.h"
#include "support/TestSupport.h"

namespace qby::test {
namespace {

using Strings = std::vector<std::string>;

struct Sample {
  const char* number;
  const char* key;
  bool hasCheckDigit;
};

// Published sample numbers and numbers built with each format's own check-digit rule.
const Sample kSamples[] = {
    {"1Z999AA10123456784", "www.ups.com", true},
    {"1Z5R89390357567127", "www.ups.com", true},
    {"1Z879E930346834440", "www.ups.com", true},
    {"986578788855", "www.fedex.com", true},
    {"477179081230", "www.fedex.com", true},
    {"568283610012734", "www.fedex.com", true},
    {"000123450000000027", "www.fedex.com", true},
    {"61299998820821171811", "www.fedex.com", true},
    {"9611020987654312345672", "www.fedex.com", true},
    {"1001921334250001000300779017972697", "www.fedex.com", true},
    {"9400111201080805483016", "www.usps.com", true},
    {"9361289878700317633795", "www.usps.com", true},
    {"03071790000523483741", "www.usps.com", true},
    {"92748931507708513018050063", "www.usps.com", true},
    {"420221539101026837331000039521", "www.usps.com", true},
    {"4201002334249200190132607600833457", "www.usps.com", true},
    {"RB123456785US", "www.usps.com", true},
    {"RB123456785GB", "www.royalmail.com", true},
    {"RB123456785CA", "www.canadapost.ca", true},
    {"RB123456785AU", "auspost.com.au", true},
    {"RB123456785NL", "www.postnl.nl", true},
    {"RB123456785DE", "www.dhl.de", true},
    {"3318810025", "www.dhl.com", true},
    {"8487135506", "www.dhl.com", true},
    {"73891051146", "www.dhl.com", true},
    {"00340433836442636597", "www.dhl.de", true},
    {"201298452277", "www.dhl.de", true},
    {"428001369716", "www.dhl.de", true},
    {"0073938000549297", "www.canadapost.ca", true},
    {"008182709980000020033350276C", "www.dpd.de", true},
    {"01015026003653C", "www.dpd.de", true},
    {"C11031500001879", "www.ontrac.com", true},
    {"D10011354453707", "www.ontrac.com", true},
    {"JJD1410302937991", "www.dhl.com", false},
    {"PB1234567", "www.parcelforce.com", false},
    {"33ABC1234567", "auspost.com.au", false},
    {"3SDEVC172649258", "www.postnl.nl", false},
    {"LX17635036", "www.lasership.com", false},
    {"1LS717793482164", "www.lasership.com", false},
    {"TBA502887274000", "track.amazon.com", false},
};

// The number with its last digit (or check character) moved by one.
std::string oneOff(std::string number) {
  char& last = number.back();
  if (last >= '0' && last <= '9')
    last = static_cast<char>('0' + (last - '0' + 1) % 10);
  else
    last = last == 'Z' ? 'A' : static_cast<char>(last + 1);
  // S10 numbers end in a country: the check digit sits before it.
  if (number.size() == 13 && number[11] >= 'A') {
    number.back() = number[12] == 'A' ? 'Z' : static_cast<char>(number[12] - 1);
    char& check = number[10];
    check = static_cast<char>('0' + (check - '0' + 1) % 10);
  }
  return number;
}

bool contains(const Strings& list, const std::string& key) {
  return std::find(list.begin(), list.end(), key) != list.end();
}

class RecognitionTest : public ::testing::Test {
 protected:
  void SetUp() override { useRecognitionScripts(); }
  QBYDeliveriesFinder finder{nullptr};
};

TEST_F(RecognitionTest, ValidNumbersAreBestGuessesOfTheirCarrier) {
  for (const auto& sample : kSamples) {
    auto guess = finder.guessesFromText(std::string(sample.number), true);
    ASSERT_TRUE(guess) << sample.number;
    EXPECT_EQ(guessString(*guess, "no"), sample.number);
    EXPECT_TRUE(contains(bestGuesses(*guess), sample.key)) << sample.number;
    EXPECT_FALSE(contains(moreGuesses(*guess), sample.key)) << sample.number;
  }
}

TEST_F(RecognitionTest, ANumberOneDigitOffIsNeverABestGuessOfThatCarrier) {
  for (const auto& sample : kSamples) {
    if (!sample.hasCheckDigit) continue;
    const auto wrong = oneOff(sample.number);
    if (auto strict = finder.guessesFromText(wrong, true)) {
      EXPECT_FALSE(contains(bestGuesses(*strict), sample.key)) << wrong;
    }
    if (auto loose = finder.guessesFromText(wrong, false)) {
      EXPECT_FALSE(contains(bestGuesses(*loose), sample.key)) << wrong;
    }
  }
  // Not strict, a near miss is still offered as a possibility.
  auto loose = finder.guessesFromText(std::string("1Z999AA10123456785"), false);
  ASSERT_TRUE(loose);
  EXPECT_TRUE(bestGuesses(*loose).empty());
  EXPECT_EQ(moreGuesses(*loose), Strings{"www.ups.com"});
}

TEST_F(RecognitionTest, CarrierLinksGiveTheirNumberAndService) {
  const struct {
    const char* url;
    const char* number;
    const char* key;
  } links[] = {
      {"https://www.ups.com/track?loc=en_US&tracknum=1Z999AA10123456784&requester=ST/",
       "1Z999AA10123456784", "www.ups.com"},
      {"https://www.fedex.com/fedextrack/?trknbr=986578788855", "986578788855", "www.fedex.com"},
      {"https://tools.usps.com/go/TrackConfirmAction?tLabels=9400111201080805483016",
       "9400111201080805483016", "www.usps.com"},
      {"https://www.dhl.com/global-en/home/tracking.html?tracking-id=3318810025&submit=1",
       "3318810025", "www.dhl.com"},
      {"https://www.dhl.de/de/privatkunden/pakete-empfangen/"
       "verfolgen.html?piececode=00340433836442636597",
       "00340433836442636597", "www.dhl.de"},
      {"https://www.royalmail.com/track-your-item#/tracking-results/RB123456785GB", "RB123456785GB",
       "www.royalmail.com"},
      {"https://tracking.dpd.de/status/de_DE/parcel/01015026003653", "01015026003653",
       "www.dpd.de"},
      {"https://track.amazon.com/tracking/TBA502887274000", "TBA502887274000", "track.amazon.com"},
  };
  for (const auto& link : links) {
    auto guess = finder.guessesFromText(std::string(link.url), true);
    ASSERT_TRUE(guess) << link.url;
    EXPECT_EQ(guessString(*guess, "no"), link.number);
    ASSERT_FALSE(bestGuesses(*guess).empty());
    EXPECT_EQ(bestGuesses(*guess).front(), link.key);
    EXPECT_EQ(guessString(*guess, "input"), link.url);
  }
  auto order = finder.guessesFromText(
      std::string(
          "https://www.amazon.com/gp/your-account/order-details?orderID=113-1234567-1234567"),
      true);
  ASSERT_TRUE(order);
  EXPECT_EQ(bestGuesses(*order), Strings{"www.amazon.com/url"});
  EXPECT_EQ(guessString(*order, "name"), "113-1234567-1234567");
  EXPECT_FALSE(finder.guessesFromText(std::string("https://www.ups.com/us/en/support"), true));
}

TEST_F(RecognitionTest, PlainTextMailWithPricesPhonesAndOrderNumbers) {
  const std::string mail =
      "Hello Sam,\n\nThanks for your order #112-5550123-7654321 placed on 03/14/2025.\n"
      "Order total: $1,249.99 (tax $99.12). Questions? Call 1-800-555-0199 or +44 20 7946 0958.\n"
      "Your package ships with UPS.\nTracking Number: 1Z 999 AA1 01 2345 6784\n"
      "A second box ships with FedEx, tracking 986578788855.\n"
      "Gift card 6011 0000 0000 0004 was charged.\n";
  const auto guesses = finder.guessesFromWebData(QBYWebData::webDataWithString(mail));
  Strings found;
  for (const auto& guess : guesses)
    if (!bestGuesses(guess).empty()) found.push_back(*guessString(guess, "no"));
  // The labelled FedEx number comes from an earlier step than the UPS number broken by blanks.
  EXPECT_EQ(found, (Strings{"986578788855", "1Z999AA10123456784"}));
}

TEST_F(RecognitionTest, HtmlMailWithLinksAndUnicodePunctuation) {
  QBYWebData page;
  page.html =
      "<html><body><p>Ihre Bestellung Nr. 4711-0815 ist unterwegs.</p>"
      "<p>Paketnummer: <b>00340433836442636597</b></p>"
      "<a href=\"https://www.dhl.de/de/privatkunden/pakete-empfangen/verfolgen.html?"
      "piececode=00340433836442636597\">Sendung verfolgen</a></body></html>";
  page.links = Strings{"https://www.shop.example/help",
                       "https://www.dhl.de/de/privatkunden/"
                       "pakete-empfangen/verfolgen.html?"
                       "piececode=00340433836442636597"};
  page.text =
      "Ihre Bestellung Nr. 4711-0815 ist unterwegs. Preis: 49,95 \u20ac\u2014danke!\n"
      "Paketnummer: 00340433836442636597\n\u201cRoyal Mail\u201d: RB123456785GB.\n"
      "Fragezeichen\u2026 \u00bfQu\u00e9? \u2018DE\u2019 \u2014 \u00a0\u2009\n";
  const auto guesses = finder.guessesFromWebData(page);
  ASSERT_GE(guesses.size(), 2u);
  EXPECT_EQ(guessString(guesses[0], "no"), "00340433836442636597");
  EXPECT_EQ(bestGuesses(guesses[0]).front(), "www.dhl.de");
  EXPECT_TRUE(std::any_of(guesses.begin(), guesses.end(), [](const Guess& guess) {
    return guessString(guess, "no") == "RB123456785GB";
  }));
}

TEST_F(RecognitionTest, FiveMegabyteTextCompletesAndFindsThePlantedNumbers) {
  std::string text;
  text.reserve(5 * 1024 * 1024 + 4096);
  const std::string filler =
      "Dear customer, your ORDER 55512 of 2024-03-14 for EUR 129.90 is confirmed. Call "
      "+49 30 1234567 for help. REF AB12CD34 SKU 7777-4444 QTY 2.\n";
  std::size_t line = 0;
  while (text.size() < 5 * 1024 * 1024) {
    if (line == 20000) text += "Tracking Number: 1Z999AA10123456784\n";
    if (line == 30000) text += "Your FedEx number 986578788855 is active.\n";
    text += filler;
    ++line;
  }
  const auto guesses = finder.guessesFromWebData(QBYWebData::webDataWithString(text));
  Strings best;
  for (const auto& guess : guesses)
    if (!bestGuesses(guess).empty()) best.push_back(*guessString(guess, "no"));
  EXPECT_TRUE(contains(best, "1Z999AA10123456784"));
  EXPECT_TRUE(contains(best, "986578788855"));
  // The whole text as one guess is refused rather than scanned by the script.
  EXPECT_FALSE(finder.guessesFromText(text, true));
}

TEST_F(RecognitionTest, AnASCIIMailAndTheSameMailWithAccentsGiveTheSameGuesses) {
  // A plain ASCII text takes a faster way through the search than one with any other
  // character; the answers must not tell them apart.
  std::string mail;
  std::uint32_t seed = 7;
  const auto next = [&] { return seed = seed * 1103515245u + 12345u; };
  const char* numbers[] = {"1Z999AA10123456784",      "986578788855",
                           "RB123456785GB",           "00340433836442636597",
                           "1Z 999 AA1 01 2345 6784", "12345"};
  for (int line = 0; line < 400; ++line) {
    mail += "Order " + std::to_string(next() % 1000000) + " placed on 2024-03-1" +
            std::to_string(next() % 10) + ", call 1-800-555-" +
            std::to_string(1000 + next() % 9000) + ". SKU AB" + std::to_string(next() % 100000) +
            "CD\n";
    if (next() % 25 == 0) mail += "tracking number: " + std::string(numbers[next() % 6]) + "\n";
    if (next() % 40 == 0) mail += "Ship with " + std::string(numbers[next() % 6]) + " today\n";
  }
  const auto numbersOf = [](const std::vector<Guess>& guesses) {
    Strings found;
    for (const auto& guess : guesses) found.push_back(guessString(guess, "no").value_or("-"));
    return found;
  };
  const auto ascii = numbersOf(finder.guessesFromWebData(QBYWebData::webDataWithString(mail)));
  EXPECT_GE(ascii.size(), 3u);
  EXPECT_EQ(ascii, numbersOf(finder.guessesFromWebData(
                       QBYWebData::webDataWithString("Gr\u00FC\u00DFe aus K\u00F6ln\n" + mail))));
  EXPECT_EQ(ascii, numbersOf(finder.guessesFromWebData(
                       QBYWebData::webDataWithString(mail + "\u00A0\u2014 Jos\u00E9"))));
}

Strings numbersOf(const std::vector<Guess>& guesses) {
  Strings found;
  for (const auto& guess : guesses) found.push_back(guessString(guess, "no").value_or("-"));
  return found;
}

// The numbers with a checked service, then those without, each group sorted: a step lists
// the numbers it finds last first, which these tests leave open.
std::pair<Strings, Strings> checkedAndUnchecked(const std::vector<Guess>& guesses) {
  std::pair<Strings, Strings> groups;
  bool uncheckedSeen = false;
  for (const auto& guess : guesses) {
    const bool checked = !bestGuesses(guess).empty();
    EXPECT_FALSE(checked && uncheckedSeen) << "a checked number after an unchecked one";
    uncheckedSeen = uncheckedSeen || !checked;
    (checked ? groups.first : groups.second).push_back(guessString(guess, "no").value_or("-"));
  }
  std::sort(groups.first.begin(), groups.first.end());
  std::sort(groups.second.begin(), groups.second.end());
  return groups;
}

Strings checkedNumbers(const std::vector<Guess>& guesses) {
  auto [checked, unchecked] = checkedAndUnchecked(guesses);
  EXPECT_TRUE(unchecked.empty());
  return checked;
}

TEST_F(RecognitionTest, TwoNumbersPartedByABlankAreBothFound) {
  const auto guesses = finder.guessesFromWebData(
      QBYWebData::webDataWithString("1Z999AA10123456784 JJD000390007726468"));
  EXPECT_EQ(checkedNumbers(guesses), (Strings{"1Z999AA10123456784", "JJD000390007726468"}));
  // Two numbers whose digits together also pass a check are read as the two numbers.
  EXPECT_EQ(checkedNumbers(finder.guessesFromWebData(
                QBYWebData::webDataWithString("DHL: 3318810025 8487135506"))),
            (Strings{"3318810025", "8487135506"}));
  // One number printed in groups stays one number.
  EXPECT_EQ(numbersOf(finder.guessesFromWebData(
                QBYWebData::webDataWithString("UPS 1Z 999 AA1 01 2345 6784 TODAY"))),
            Strings{"1Z999AA10123456784"});
}

TEST_F(RecognitionTest, NumbersWhoseCheckFailsAreKeptAfterCheckedOnes) {
  const auto guesses = finder.guessesFromWebData(
      QBYWebData::webDataWithString("JJD000390007726468 and 9400111899223397658538"));
  ASSERT_EQ(numbersOf(guesses), (Strings{"JJD000390007726468", "9400111899223397658538"}));
  EXPECT_EQ(bestGuesses(guesses[0]), Strings{"www.dhl.com"});
  EXPECT_TRUE(bestGuesses(guesses[1]).empty());
  EXPECT_TRUE(contains(moreGuesses(guesses[1]), "www.usps.com"));
  // The best guess of a text is a checked number, also one found after an unchecked one.
  const auto best = finder.bestGuessFromWebData(
      QBYWebData::webDataWithString("9400111899223397658538 and later 986578788855"));
  ASSERT_TRUE(best);
  EXPECT_EQ(guessString(*best, "no"), "986578788855");
  const auto unchecked = finder.bestGuessFromWebData(
      QBYWebData::webDataWithString("Your parcel: 9400111899223397658538."));
  ASSERT_TRUE(unchecked);
  EXPECT_EQ(guessString(*unchecked, "no"), "9400111899223397658538");
}

TEST_F(RecognitionTest, AMailYieldsEveryNumberAndNoDistractor) {
  const std::string mail =
      "Order #112-5550123-7654321 placed 2024-03-14. Total $1,249.99.\n"
      "Questions? Call 800 555 0195 or 1-800-562-7773 or +44 20 7946 0958.\n"
      "Package 1: UPS 1Z 999 AA1 01 2345 6784\n"
      "Package 2: 9400111899223397658538\n"
      "Packages 3 and 4: 3318810025 8487135506\n"
      "Gift card 6011 0000 0000 0004 was charged. Zip 94043-1351.\n";
  const auto guesses = finder.guessesFromWebData(QBYWebData::webDataWithString(mail));
  const auto [checked, unchecked] = checkedAndUnchecked(guesses);
  EXPECT_EQ(checked, (Strings{"1Z999AA10123456784", "3318810025", "8487135506"}));
  EXPECT_EQ(unchecked, Strings{"9400111899223397658538"});
}

TEST_F(RecognitionTest, AMailWithOnlyPhoneNumbersHasNoGuess) {
  // 800 555 0195 passes the check of ten-digit DHL numbers; 1-800-562-7773 fits their format.
  for (const char* mail :
       {"Questions? Call 1-800-562-7773 today.", "Questions? Call 800 555 0195 today.",
        "Hotline: +1 800 555 0195\nThank you for your order!"}) {
    EXPECT_TRUE(finder.guessesFromWebData(QBYWebData::webDataWithString(mail)).empty()) << mail;
    EXPECT_FALSE(finder.bestGuessFromWebData(QBYWebData::webDataWithString(mail))) << mail;
  }
  // Past the phone number, the number after it is still found.
  const auto guesses = finder.guessesFromWebData(
      QBYWebData::webDataWithString("Call 1-800-562-7773 about 1z999aa10123456785 today."));
  EXPECT_EQ(numbersOf(guesses), Strings{"1Z999AA10123456785"});
  // Typed alone, a number is the user's choice whatever its shape.
  EXPECT_EQ(numbersOf(finder.guessesFromWebData(QBYWebData::webDataWithString("1-800-562-7773"))),
            Strings{"18005627773"});
}

// The service keys of the shipped services list.
std::set<std::string> listedServiceKeys() {
  std::ifstream file(std::filesystem::path(PORVANE_SCRIPTS_DIR) / ".." / "lists" / "Services.plist",
                     std::ios::binary);
  std::stringstream bytes;
  bytes << file.rdbuf();
  std::set<std::string> keys;
  const auto list = Value::fromPlist(bytes.str());
  if (!list || !list->arrayPtr()) return keys;
  for (const auto& service : *list->arrayPtr())
    if (const auto* entry = service.dictionaryPtr())
      if (const auto* from = entry->find("from"); from && from->stringPtr())
        keys.insert(*from->stringPtr());
  return keys;
}

// Every key the scripts' tables hold, answered for a text no number can be.
constexpr const char* kEveryKeyOverride = R"JS(
var qbyShippedGuessForKeys = guessesFromText;
guessesFromText = function (text, strict) {
  if (text !== 'every service key') return qbyShippedGuessForKeys(text, strict);
  var keys = [], name, i;
  for (name in QBYGuessKeys) keys.push(QBYGuessKeys[name]);
  for (name in QBYGuessPostByCountry) keys.push(QBYGuessPostByCountry[name]);
  for (i = 0; i < QBYGuessDestinationPosts.length; i++) keys.push(QBYGuessDestinationPosts[i]);
  for (i = 0; i < QBYGuessLinks.length; i++) keys.push(QBYGuessLinks[i].key);
  for (i = 0; i < QBYGuessFormats.length; i++) {
    var format = QBYGuessFormats[i];
    keys = keys.concat(format.best || [], format.more || [], format.failed || []);
  }
  for (name in QBYGuessPostAlternatives) keys = keys.concat(QBYGuessPostAlternatives[name]);
  keys = keys.concat(QBYGuessLooseNumberKeys);
  return { no: text, best: keys };
};
)JS";

TEST(RecognitionServiceKeys, EveryProposedServiceIsInTheServicesList) {
  useRecognitionScripts(kEveryKeyOverride);
  QBYDeliveriesFinder finder(nullptr);
  const auto listed = listedServiceKeys();
  ASSERT_GT(listed.size(), 20u);
  const auto expectListed = [&](const Guess& guess, const std::string& text) {
    for (const auto& list : {bestGuesses(guess), moreGuesses(guess)})
      for (const auto& key : list) EXPECT_TRUE(listed.count(key)) << key << " for " << text;
  };

  const auto tables = finder.guessesFromText(std::string("every service key"), false);
  ASSERT_TRUE(tables);
  EXPECT_GT(bestGuesses(*tables).size(), 20u);
  expectListed(*tables, "the scripts' tables");

  // What a search proposes: the samples, their near misses and digit runs of every length.
  std::vector<std::string> texts;
  for (const auto& sample : kSamples) {
    texts.emplace_back(sample.number);
    texts.push_back(oneOff(sample.number));
  }
  std::string digits;
  for (int length = 1; length <= 40; ++length) {
    digits += static_cast<char>('0' + (length * 7) % 10);
    texts.push_back(digits);
  }
  texts.emplace_back("617326624931");
  for (const auto& text : texts)
    for (const bool strict : {true, false})
      if (auto guess = finder.guessesFromText(text, strict)) expectListed(*guess, text);
}

}  // namespace
}  // namespace qby::test
