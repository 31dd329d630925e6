// How the tool shows deliveries and finds the one a command names, over a real store with a
// pinned clock, zone and locale so relative dates and day counts are the same everywhere.
#include <gtest/gtest.h>
#include <unicode/locid.h>
#include <unicode/timezone.h>

#include <memory>
#include <string>

#include "DeliveryLookup.h"
#include "DeliveryOutput.h"
#include "model/Delivery.h"
#include "model/Detail.h"
#include "model/Service.h"
#include "model/Setting.h"
#include "platform/Date.h"
#include "presentation/QBYDateFormatter.h"
#include "store/QBYDataStore.h"
#include "support/TestSupport.h"

namespace porvane {
namespace {

using namespace qby;

// Monday 1 March 2021, 12:00 UTC.
constexpr double kNow = 1614600000;

class DeliveryOutputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedZone_.reset(icu::TimeZone::createDefault());
    savedLocale_ = icu::Locale::getDefault();
    icu::TimeZone::adoptDefault(icu::TimeZone::createTimeZone("UTC"));
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale::setDefault(icu::Locale("en_US"), status);
    clock_ = std::make_unique<ClockOverride>(Date(kNow));
    store_ = std::make_unique<QBYDataStore>(test::makeTempDir("store") / "Deliveries.sqlite");
    ASSERT_TRUE(store_->available());
  }

  void TearDown() override {
    store_.reset();
    clock_.reset();
    icu::TimeZone::adoptDefault(savedZone_.release());
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale::setDefault(savedLocale_, status);
  }

  QBYManagedObjectContext& context() { return *store_->viewContext(); }

  std::shared_ptr<Delivery> makeDelivery(const std::string& uuid, const std::string& number,
                                         const std::optional<std::string>& name = std::nullopt) {
    auto delivery = context().insert<Delivery>("Delivery");
    delivery->setUuid(uuid);
    delivery->setNo(number);
    delivery->setName(name);
    delivery->setFrom(std::string("www.ups.com"));
    delivery->setService(ups());
    return delivery;
  }

  std::shared_ptr<Detail> addDetail(const std::shared_ptr<Delivery>& delivery, int index,
                                    const std::string& item) {
    auto detail = context().insert<Detail>("Detail");
    detail->setIndex(index);
    detail->setItemName(item);
    delivery->addDetail(detail);
    return detail;
  }

  std::shared_ptr<Service> ups() {
    if (!ups_) {
      ups_ = context().insert<Service>("Service");
      ups_->setFrom(std::string("www.ups.com"));
      ups_->setName(std::string("UPS"));
      auto setting = context().insert<Setting>("Setting");
      setting->setType(std::string("no"));
      setting->setName(std::string("Tracking No."));
      setting->setRequired(true);
      ups_->addSetting(setting);
    }
    return ups_;
  }

  static std::string day(int offset) {
    return *QBYDateFormatter::sharedFormatter().stringFromDate(Date(kNow + offset * 86400.0));
  }

  QBYDateFormatter& formatter() { return QBYDateFormatter::sharedFormatter(); }

  std::unique_ptr<QBYDataStore> store_;
  std::shared_ptr<Service> ups_;

 private:
  std::unique_ptr<icu::TimeZone> savedZone_;
  icu::Locale savedLocale_;
  std::unique_ptr<ClockOverride> clock_;
};

TEST_F(DeliveryOutputTest, RowShowsTheSelectedLineWithRelativeDatesAndDayCount) {
  auto delivery = makeDelivery("0a1b2c3d-1111", "1Z999AA10123456784", std::string("Camera"));
  auto detail = addDetail(delivery, 0, "Camera body");
  detail->setShippedText(std::string("Shipped %@"));
  detail->setShippedDateString(day(-1));
  detail->setDeliveredText(std::string("Expected %@"));
  detail->setDeliveredDateString(day(3));
  detail->setDateString(day(3));

  const DeliveryRow row = rowForDelivery(*delivery, formatter());
  EXPECT_EQ(row.title, "Camera body");
  EXPECT_EQ(row.status, "Shipped Yesterday");
  // Three days ahead is within the week: the weekday, as the list phrases it.
  EXPECT_EQ(row.deliver, "Expected Thursday");
  EXPECT_EQ(row.days, "3");
  EXPECT_EQ(row.daysText, "days");
  EXPECT_EQ(row.package, "");

  const std::string text = textForRow(row);
  EXPECT_EQ(text,
            "0a1b2c3d  3 days    Camera body\n"
            "                    Shipped Yesterday\n"
            "                    Expected Thursday\n");
}

TEST_F(DeliveryOutputTest, RowOfADeliveryWithoutLinesShowsItsTitleAndMessage) {
  auto delivery = makeDelivery("99990000-aaaa", "JJD000390007", std::nullopt);
  delivery->setMessage(std::string("  Connecting…  "));
  const DeliveryRow row = rowForDelivery(*delivery, formatter());
  EXPECT_EQ(row.title, "JJD000390007");
  EXPECT_EQ(row.status, "Connecting…");
  EXPECT_EQ(row.days, "");
  EXPECT_EQ(textForRow(row), "99990000            JJD000390007\n                    Connecting…\n");
}

TEST_F(DeliveryOutputTest, SeveralPackagesShowWhichOneTheRowIs) {
  auto delivery = makeDelivery("abcd0000-0001", "N1", std::string("Order"));
  addDetail(delivery, 0, "Shoes");
  addDetail(delivery, 1, "Socks");
  addDetail(delivery, 2, "Laces");
  delivery->setSelected(1);
  const DeliveryRow row = rowForDelivery(*delivery, formatter());
  EXPECT_EQ(row.title, "Socks");
  EXPECT_EQ(row.package, "2/3");
  EXPECT_NE(textForRow(row).find("Socks (2/3)"), std::string::npos);
}

TEST_F(DeliveryOutputTest, DetailTextFollowsTheTitleAndFooterRules) {
  // Without a name the number is the title and is not repeated in the footer.
  auto unnamed = makeDelivery("11110000-0000", "1Z999AA10123456784", std::nullopt);
  std::string text = detailText(*unnamed, formatter());
  EXPECT_EQ(text.substr(0, text.find('\n')), "1Z999AA10123456784");
  EXPECT_EQ(text.find("Tracking No.:"), std::string::npos);
  EXPECT_NE(text.find("\nNever updated\n"), std::string::npos);

  // With a name, the footer names the number with the service's own label.
  auto named = makeDelivery("22220000-0000", " 1Z999AA10123456784 ", std::string("Camera"));
  named->setUpdatedTime(kNow - 300);
  text = detailText(*named, formatter());
  EXPECT_EQ(text.substr(0, text.find('\n')), "Camera");
  EXPECT_NE(text.find("\nRefreshed 5 minutes ago\n"), std::string::npos);
  EXPECT_NE(text.find("\nTracking No.: 1Z999AA10123456784\n"), std::string::npos);

  // While it updates, its message (or "Updating…") replaces the refresh line.
  named->setUpdating(true);
  text = detailText(*named, formatter());
  EXPECT_NE(text.find("\nUpdating…\n"), std::string::npos);
  EXPECT_EQ(text.find("Refreshed"), std::string::npos);
}

TEST_F(DeliveryOutputTest, DetailTextDropsARepeatedNameAndNumbersPackages) {
  auto delivery = makeDelivery("33330000-0000", "N1", std::string("Order"));
  auto first = addDetail(delivery, 0, "Order: Shoes");
  first->setDateString(day(1));
  addDetail(delivery, 1, "Order: Socks");
  const std::string text = detailText(*delivery, formatter());
  EXPECT_NE(text.find("(1/2) Shoes\n  1 day\n"), std::string::npos) << text;
  EXPECT_NE(text.find("(2/2) Socks\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("Order: "), std::string::npos) << text;
}

TEST_F(DeliveryOutputTest, JSONHasEveryKeyWithNullForWhatIsAbsent) {
  auto delivery = makeDelivery("44440000-0000", "N4", std::nullopt);
  const Value json = jsonForDelivery(*delivery, formatter(), true);
  ASSERT_TRUE(json.isDictionary());
  for (const char* key : {"id",
                          "title",
                          "name",
                          "service",
                          "serviceName",
                          "number",
                          "extra",
                          "date",
                          "state",
                          "archived",
                          "updating",
                          "complete",
                          "error",
                          "signIn",
                          "message",
                          "url",
                          "updated",
                          "updatedText",
                          "nextUpdate",
                          "backgroundUpdate",
                          "statusChanged",
                          "modified",
                          "packages",
                          "selected",
                          "row",
                          "items"})
    EXPECT_TRUE(json.dictionaryPtr()->contains(key)) << key;
  EXPECT_TRUE(json["name"].isNull());
  EXPECT_TRUE(json["updated"].isNull());
  EXPECT_EQ(json["state"].asString(), "pending");
  EXPECT_EQ(json["title"].asString(), "N4");
  EXPECT_EQ(json["items"].arrayPtr()->size(), 0u);

  delivery->setUpdatedTime(kNow - 60);
  delivery->setNextUpdate(kNow + 3600);
  auto line = addDetail(delivery, 0, "Box");
  line->setIcon(std::string("truck"));
  const Value updated = jsonForDelivery(*delivery, formatter(), false);
  EXPECT_EQ(updated["nextUpdate"].asString(), "2021-03-01T13:00:00Z");
  EXPECT_EQ(updated["updatedText"].asString(), "1 minute ago");
  EXPECT_EQ(updated["state"].asString(), "transit");
  EXPECT_EQ(updated["row"]["title"].asString(), "Box");
  // Without items asked for, there is no "items" key at all.
  EXPECT_FALSE(updated.dictionaryPtr()->contains("items"));
}

TEST_F(DeliveryOutputTest, StateWordsFollowTheRecordRules) {
  auto delivery = makeDelivery("55550000-0000", "N5", std::nullopt);
  delivery->setUpdatedTime(kNow - 60);
  auto line = addDetail(delivery, 0, "Box");
  line->setIcon(std::string("checkmark"));
  EXPECT_EQ(stateForDelivery(*delivery), "delivered");
  line->setIcon(std::string("error"));
  EXPECT_EQ(stateForDelivery(*delivery), "error");
  delivery->setTap(std::string("signin"));
  EXPECT_EQ(stateForDelivery(*delivery), "signin");
  delivery->setArchived(true);
  EXPECT_EQ(stateForDelivery(*delivery), "archived");
}

TEST_F(DeliveryOutputTest, LookupByIDPrefixOrNumber) {
  auto first = makeDelivery("abc12345-0000-0000-0000-000000000001", "1111");
  auto second = makeDelivery("abc12399-0000-0000-0000-000000000002", "2222");
  auto removed = makeDelivery("fff00000-0000-0000-0000-000000000003", "3333");
  removed->setRemoved(true);
  ASSERT_TRUE(store_->saveData());

  EXPECT_EQ(findDelivery(*store_, "abc12345-0000-0000-0000-000000000001").delivery, first);
  EXPECT_EQ(findDelivery(*store_, "ABC123").kind, LookupResult::Ambiguous);
  EXPECT_EQ(findDelivery(*store_, "abc123").matches.size(), 2u);
  EXPECT_EQ(findDelivery(*store_, "abc1239").delivery, second);
  EXPECT_EQ(findDelivery(*store_, " 2222 ").delivery, second);
  // Deleted deliveries are gone for the tool, by ID and by number.
  EXPECT_EQ(findDelivery(*store_, "fff00000").kind, LookupResult::NotFound);
  EXPECT_EQ(findDelivery(*store_, "3333").kind, LookupResult::NotFound);
  // Too short to be an ID, and not a number.
  EXPECT_EQ(findDelivery(*store_, "abc").kind, LookupResult::NotFound);
  EXPECT_EQ(findDelivery(*store_, "").kind, LookupResult::NotFound);
}

TEST_F(DeliveryOutputTest, ANumberAddedTwicePrefersTheActiveDelivery) {
  auto old = makeDelivery("aaaa0000-0000", "777");
  old->setArchived(true);
  old->setModified(kNow);
  auto active = makeDelivery("bbbb0000-0000", "777");
  active->setModified(kNow - 86400);
  ASSERT_TRUE(store_->saveData());
  EXPECT_EQ(findDelivery(*store_, "777").delivery, active);
}

}  // namespace
}  // namespace porvane
