// What a mail's numbers are when they are no tracking numbers: phone numbers, amounts, dates,
// postcodes and the shop's own numbers, judged in their place in the text.
#include "finder/QBYDistractors.h"

#include <gtest/gtest.h>

#include <string>

namespace qby::test {
namespace {

// Whether the first occurrence of stretch in text is a distractor.
bool distractorIn(const std::string& text, const std::string& stretch) {
  const auto at = text.find(stretch);
  EXPECT_NE(at, std::string::npos) << stretch;
  if (at == std::string::npos) return false;
  return QBYDistractors::isDistractor(text, at, at + stretch.size());
}

TEST(DistractorTest, PhoneNumbersByShapePrefixAndLabel) {
  EXPECT_TRUE(QBYDistractors::isDistractor("800 555 0195"));  // passes DHL's check
  EXPECT_TRUE(QBYDistractors::isDistractor("800-562-7773"));
  EXPECT_TRUE(QBYDistractors::isDistractor("1 800 562 7773"));
  EXPECT_TRUE(QBYDistractors::isDistractor("030 1234 5678"));
  EXPECT_TRUE(distractorIn("Questions? +44 20 7946 0958.", "20 7946 0958"));
  EXPECT_TRUE(distractorIn("Hotline +49 (0)30 12345678", "12345678"));
  EXPECT_TRUE(distractorIn("Service (030) 1234 5678", "1234 5678"));
  EXPECT_TRUE(distractorIn("Tel.: 3012345678 (Mo-Fr)", "3012345678"));
  EXPECT_TRUE(distractorIn("Call us at 3318810025 any time", "3318810025"));
  EXPECT_TRUE(distractorIn("PHONE NUMBER: 3318810025", "3318810025"));
}

TEST(DistractorTest, AmountsDatesPostcodesAndTheShopsOwnNumbers) {
  EXPECT_TRUE(distractorIn("Order #112-5550123-7654321 placed", "112-5550123-7654321"));
  EXPECT_TRUE(distractorIn("Bestellung Nr. 4711-0815-2342", "4711-0815-2342"));
  EXPECT_TRUE(distractorIn("Gift card 6011 0000 0000 0004 was charged", "6011 0000 0000 0004"));
  EXPECT_TRUE(distractorIn("Total: $ 1249 9900", "1249 9900"));
  EXPECT_TRUE(distractorIn("Zip code 94043 1351 0000", "94043 1351 0000"));
  EXPECT_TRUE(distractorIn("Customer ID 123456789012", "123456789012"));
  EXPECT_TRUE(QBYDistractors::isDistractor("2024-03-14 10 30"));
  EXPECT_TRUE(QBYDistractors::isDistractor("14.03.2024 1030"));
  EXPECT_TRUE(QBYDistractors::isDistractor("03/14/2025"));
}

TEST(DistractorTest, TrackingNumbersStayCandidates) {
  for (const char* number :
       {"1Z 999 AA1 01 2345 6784", "9400 1118 9922 3397 6585 38", "00340433836442636597",
        "0034 0433 8364 4263 6597", "3318810025", "986578788855", "2024031412345678",
        "20241314 5678", "JJD000390007726468"}) {
    EXPECT_FALSE(QBYDistractors::isDistractor(number)) << number;
  }
  EXPECT_FALSE(distractorIn("Tracking number: 1Z 999 AA1 01 2345 6784", "1Z 999 AA1"));
  EXPECT_FALSE(distractorIn("Your order shipped with DHL 3318810025", "3318810025"));
  EXPECT_FALSE(distractorIn("Shipped 2024-03-14 as 986578788855", "986578788855"));
  EXPECT_FALSE(distractorIn("call\n986578788855", "986578788855"));  // a label ends at its line
  EXPECT_FALSE(distractorIn("Recall 986578788855", "986578788855"));
  EXPECT_FALSE(distractorIn("Order 7 of 9: 986578788855", "986578788855"));
  EXPECT_FALSE(distractorIn("Anruf\u00e9 986578788855", "986578788855"));
  // Out of range or empty stretches are nothing.
  EXPECT_FALSE(QBYDistractors::isDistractor("12345678", 4, 2));
  EXPECT_FALSE(QBYDistractors::isDistractor("12345678", 0, 20));
}

}  // namespace
}  // namespace qby::test
