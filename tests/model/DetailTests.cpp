// Tracking lines: dictionary form, parsed dates and their caches, the day count, sort keys and
// the texts built from a line.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ModelFixture.h"
#include "model/TemplateText.h"
#include "presentation/QBYDateFormatter.h"

namespace qby::test {
namespace {

using ::testing::ElementsAre;

class DetailTest : public ModelTest {
 protected:
  void SetUp() override {
    ModelTest::SetUp();
    delivery_ = makeDelivery();
    detail_ = addDetail(delivery_, 0);
  }

  std::shared_ptr<Delivery> delivery_;
  std::shared_ptr<Detail> detail_;
};

TEST_F(DetailTest, InsertDefaults) {
  EXPECT_EQ(detail_->itemName(), "");
  EXPECT_EQ(detail_->dateString(), "");
  EXPECT_EQ(detail_->icon(), "");
  EXPECT_EQ(detail_->route(), std::nullopt);
  EXPECT_EQ(detail_->url(), std::nullopt);
}

TEST_F(DetailTest, AttributesKeepKeyOrderAndLeaveIndexAlone) {
  Dictionary input{{"url", "https://x.example"},
                   {"deliveredBold", true},
                   {"icon", "checkmark"},
                   {"route", "A-B"},
                   {"itemName", "Chair"},
                   {"shippedDateString", "2021-02-27"},
                   {"shippedBold", false},
                   {"location", "Berlin"},
                   {"dateString", "2021-03-02"},
                   {"statusDateString", "2021-02-28"},
                   {"deliveredExtra", "Signed"},
                   {"deliveredDateString", "2021-03-01"},
                   {"deliveredText", "Delivered %@"},
                   {"shippedExtra", "x"},
                   {"shippedText", "Shipped %@"},
                   {"index", 9}};
  detail_->setIndex(4);
  detail_->setAttributes(input);
  EXPECT_EQ(detail_->index(), 4);
  const Dictionary out = detail_->attributes();
  EXPECT_THAT(
      out.keys(),
      ElementsAre("itemName", "shippedText", "shippedDateString", "shippedExtra", "deliveredText",
                  "deliveredDateString", "deliveredExtra", "statusDateString", "dateString",
                  "location", "route", "icon", "shippedBold", "deliveredBold", "url"));
  EXPECT_EQ(out["deliveredBold"], Value(true));
  EXPECT_EQ(out["route"], Value("A-B"));

  // Missing keys clear their fields.
  detail_->setAttributes(Dictionary{{"itemName", "Lamp"}});
  EXPECT_THAT(detail_->attributes().keys(), ElementsAre("itemName"));
  EXPECT_EQ(detail_->deliveredDate(), std::nullopt);
  EXPECT_EQ(detail_->index(), 4);
}

TEST_F(DetailTest, DatesAreParsedAndDroppedWithTheirStrings) {
  detail_->setDeliveredDateString("2021-03-01");
  EXPECT_EQ(detail_->deliveredDate(), Date(1614556800));
  detail_->setDeliveredDateString("2021-03-02");
  EXPECT_EQ(detail_->deliveredDate(), Date(1614643200));
  detail_->setShippedDateString("1 March");
  EXPECT_EQ(detail_->shippedDate(), std::nullopt);
  detail_->setShippedDateString("2021-02-28");
  EXPECT_EQ(detail_->shippedDate(), Date(1614470400));
  detail_->setStatusDateString("2021-02-30");
  EXPECT_EQ(detail_->statusDate(), std::nullopt);
  detail_->setDateString("2021-03-05");
  EXPECT_EQ(detail_->date(), Date(1614902400));
}

TEST_F(DetailTest, CachesDropWhenTheRecordTurnsIntoAFault) {
  detail_->setDateString("2021-03-03");
  EXPECT_EQ(detail_->daysNumber(), "2");
  EXPECT_EQ(detail_->date(), Date(1614729600));
  ASSERT_TRUE(context_->save());
  // Refreshing drops what was computed from the old fields, even when the new value is written
  // without going through the date string's own setter.
  context_->refreshObject(detail_, false);
  detail_->setValueForKey(Value("2021-03-04"), "dateString");
  EXPECT_EQ(detail_->daysNumber(), "3");
  EXPECT_EQ(detail_->date(), Date(1614816000));
}

TEST_F(DetailTest, DayCount) {
  detail_->setDateString("2021-03-02");
  EXPECT_EQ(detail_->daysNumber(), "1");
  EXPECT_EQ(detail_->daysText(), "day");
  EXPECT_EQ(detail_->displayType(), 1);
  detail_->setDateString("2021-03-01");
  EXPECT_EQ(detail_->daysNumber(), "0");
  EXPECT_EQ(detail_->daysText(), "days");
  detail_->setDateString("2021-06-08");
  EXPECT_EQ(detail_->daysNumber(), "99");
  EXPECT_EQ(detail_->daysText(), "days");
  EXPECT_EQ(detail_->icon(), "") << "a day count leaves the icon alone";
}

TEST_F(DetailTest, DayCountInMonths) {
  detail_->setDateString("2021-07-29");  // 150 days ahead
  EXPECT_THAT(detail_->daysNumber(), ::testing::AnyOf("4", "5"));
  EXPECT_EQ(detail_->daysText(), "months");
  detail_->setDateString("2029-06-01");  // 99 months ahead
  EXPECT_EQ(detail_->daysNumber(), "99");
  detail_->setDateString("2030-01-01");  // 106 months ahead
  EXPECT_EQ(detail_->daysNumber(), "+");
  EXPECT_EQ(detail_->daysText(), "months");
}

TEST_F(DetailTest, DayCountOfPastAndMissingDates) {
  detail_->setDateString("2021-02-27");
  EXPECT_EQ(detail_->daysNumber(), "");
  EXPECT_EQ(detail_->daysText(), "");
  EXPECT_EQ(detail_->icon(), "transit");
  EXPECT_EQ(detail_->displayType(), 0);

  // With an icon the line shows no count.
  detail_->setIcon("checkmark");
  detail_->setDateString("2021-03-10");
  EXPECT_EQ(detail_->daysNumber(), "");
  EXPECT_EQ(detail_->icon(), "checkmark");
  EXPECT_EQ(detail_->displayType(), 2);

  // A past day the user gave on a plain web page: delivered.
  delivery_->setFrom("other");
  detail_->setIcon("");
  detail_->setDateString("2021-02-27");
  EXPECT_EQ(detail_->daysNumber(), "");
  EXPECT_EQ(detail_->icon(), "checkmark");

  detail_->setIcon("");
  detail_->setDateString("soon");
  EXPECT_EQ(detail_->daysNumber(), "");
  EXPECT_EQ(detail_->icon(), "transit") << "no date is not a past date";
}

TEST_F(DetailTest, DayCountUsesTheLocaleNumbers) {
  UErrorCode status = U_ZERO_ERROR;
  icu::Locale::setDefault(icu::Locale("ar_EG"), status);
  detail_->setDateString("2021-03-04");
  EXPECT_EQ(detail_->daysNumber(), "٣");
}

TEST_F(DetailTest, DeliveryDateSortIndex) {
  EXPECT_EQ(detail_->deliveryDateSortIndex(), 99999999998.0);
  detail_->setShippedDateString("2021-03-01");
  EXPECT_EQ(detail_->deliveryDateSortIndex(), 4614556800.0);
  detail_->setDeliveredDateString("2021-03-01");
  EXPECT_EQ(detail_->deliveryDateSortIndex(), 1614556800.0);
  detail_->setIcon("checkmark");
  EXPECT_EQ(detail_->deliveryDateSortIndex(), 1614513600.0);
  detail_->setIcon("error");
  EXPECT_EQ(detail_->deliveryDateSortIndex(), 99999999999.0);
  detail_->setIcon("");
  detail_->setDeliveredDateString("yesterday");
  detail_->setShippedDateString("");
  EXPECT_EQ(detail_->deliveryDateSortIndex(), 99999999998.0);
}

TEST_F(DetailTest, SearchText) {
  detail_->setItemName("Shoes");
  detail_->setLocation("Berlin");
  detail_->setShippedText("Shipped");
  detail_->setDeliveredText("Arrives %@");
  detail_->setDeliveredDateString("2021-03-04");
  EXPECT_EQ(detail_->generatedSearchText(), "Shoes Berlin Shipped 2021-03-04");
  detail_->setIcon("checkmark");
  detail_->setDeliveredText("Delivered on %@ at the door");
  EXPECT_EQ(detail_->generatedSearchText(),
            "Shoes Berlin Shipped Delivered on 2021-03-04 at the door");
  detail_->setDeliveredText("Delivered");
  EXPECT_EQ(detail_->generatedSearchText(), "Shoes Berlin Shipped Delivered 2021-03-04");
  detail_->setIcon("");
  detail_->setDeliveredDateString(std::nullopt);
  detail_->setLocation(std::nullopt);
  EXPECT_EQ(detail_->generatedSearchText(), "Shoes  Shipped ");
}

TEST_F(DetailTest, Summary) {
  detail_->setItemName("Hello");
  EXPECT_EQ(detail_->summaryOfLength(20), "Hello");
  detail_->setShippedText("wonderful world");
  EXPECT_EQ(detail_->summaryOfLength(40), "Hello: wonderful world");
  EXPECT_EQ(detail_->summaryOfLength(10), "Hello: w…");
}

TEST_F(DetailTest, TextsWithDates) {
  auto& formatter = QBYDateFormatter::sharedFormatter();
  EXPECT_EQ(detail_->shippedTextWithDateFormatter(formatter, 0), std::nullopt);
  detail_->setShippedText("Shipped %@");
  detail_->setShippedDateString("2021-02-27");
  EXPECT_EQ(detail_->shippedTextWithDateFormatter(formatter, 0), "Shipped February 27");
  detail_->setDeliveredText("Delivered %@ to the door");
  detail_->setDeliveredDateString("2021-03-01");
  EXPECT_EQ(detail_->deliveredTextWithDateFormatter(formatter, 0), "Delivered March 1 to the door");
  detail_->setDeliveredDateString(std::nullopt);
  EXPECT_EQ(detail_->deliveredTextWithDateFormatter(formatter, 0), "Delivered  to the door");
}

TEST(TemplateText, FillsTheFirstPlaceholder) {
  bool used = false;
  EXPECT_EQ(stringWithDate("Due %@", std::string("today"), &used), "Due today");
  EXPECT_TRUE(used);
  EXPECT_EQ(stringWithDate("Due %@", std::nullopt, &used), "Due ");
  EXPECT_FALSE(used);
  EXPECT_EQ(stringWithDate("In transit", std::string("today"), &used), "In transit");
  EXPECT_FALSE(used);
  EXPECT_EQ(stringWithDate("%@ then %@ end", std::string("X"), &used), "X then ");
  EXPECT_EQ(stringWithDate("%@", std::string("X")), "X");
}

}  // namespace
}  // namespace qby::test
