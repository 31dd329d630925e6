// How the tool shows deliveries and finds the one a command names, over a real store with a
// pinned clock, zone and locale so relative dates and day counts are the same everywhere.
#include <gtest/gtest.h>
#include <unicode/locid.h>
#include <unicode/timezone.h>

#include <algorithm>
#include <cmath>
#include <functional>
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

TEST_F(DeliveryOutputTest, ALineWithABlankItemNameIsListedByTheDeliverysTitle) {
  auto delivery = makeDelivery("99990000-bbbb", "JJD000390008", std::string("Lamp"));
  auto detail = addDetail(delivery, 0, "   ");
  detail->setShippedText(std::string("Picked up"));
  const DeliveryRow row = rowForDelivery(*delivery, formatter());
  EXPECT_EQ(row.title, "Lamp");
  EXPECT_EQ(row.status, "Picked up");
  EXPECT_EQ(row.deliver, "");
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

  // Marked for the next run, it is not being updated yet: the refresh line stays.
  named->setUpdating(true);
  text = detailText(*named, formatter());
  EXPECT_EQ(text.find("Updating…"), std::string::npos) << text;
  EXPECT_NE(text.find("\nRefreshed 5 minutes ago\n"), std::string::npos);
  // While a run works on it, its message (or "Updating…") replaces the refresh line.
  text = detailText(*named, formatter(), true);
  EXPECT_NE(text.find("\nUpdating…\n"), std::string::npos);
  EXPECT_EQ(text.find("Refreshed"), std::string::npos);
  // A failing delivery being updated again says so, not what failed last time.
  auto failed = addDetail(named, 0, "Camera body");
  failed->setIcon(std::string("error"));
  failed->setShippedText(std::string("Carrier unreachable"));
  named->setLastErrorDate(Date(kNow - 86400));
  ASSERT_EQ(statusForDelivery(*named, true).message, std::string("Carrier unreachable"));
  text = detailText(*named, formatter(), true);
  EXPECT_NE(text.find("\nUpdating…\n"), std::string::npos) << text;
  named->setMessage(std::string("Signing in"));
  text = detailText(*named, formatter(), true);
  EXPECT_NE(text.find("\nSigning in\n"), std::string::npos) << text;
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
  // As saved: waiting for its first update.
  delivery->setUpdating(true);
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
                          "due",
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

// The state a delivery shows is the same in the text and the JSON, for each situation a
// delivery passes through.
TEST_F(DeliveryOutputTest, TextAndJSONTellOneStateForEachSituation) {
  struct Case {
    const char* name;
    std::function<void(const std::shared_ptr<Delivery>&)> setUp;
    bool updateRunning;
    const char* state;
    bool error;
    std::optional<std::string> message;
    const char* nextUpdate;
  };
  const std::vector<Case> cases = {
      {"just added", [](const std::shared_ptr<Delivery>& d) { d->setUpdating(true); }, false,
       "pending", false, std::nullopt, "due now"},
      {"taken by a running update",
       [](const std::shared_ptr<Delivery>& d) { d->setUpdating(true); }, true, "updating", false,
       std::nullopt, "now"},
      {"its first update failed",
       [this](const std::shared_ptr<Delivery>& d) {
         auto line = addDetail(d, 0, "Box");
         line->setIcon(std::string("warning"));
         line->setShippedText(std::string("Update failed"));
         d->setNextUpdate(kNow + 3600);
       },
       false, "error", true, std::string("Update failed"), "in 1 hour"},
      {"in transit",
       [this](const std::shared_ptr<Delivery>& d) {
         auto line = addDetail(d, 0, "Box");
         line->setIcon(std::string("truck"));
         d->setUpdatedTime(kNow - 60);
         d->setNextUpdate(kNow + 3600);
       },
       false, "transit", false, std::nullopt, "in 1 hour"},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto delivery = makeDelivery("77770000-000" + std::to_string(n++), "N7", std::string("Shoes"));
    c.setUp(delivery);
    const Value json = jsonForDelivery(*delivery, formatter(), true, c.updateRunning);
    const std::string text = detailText(*delivery, formatter(), c.updateRunning);
    EXPECT_EQ(json["state"].asString(), c.state);
    EXPECT_NE(text.find(std::string("\nState:       ") + c.state + "\n"), std::string::npos)
        << text;
    EXPECT_EQ(json["updating"].asBool(), c.updateRunning);
    EXPECT_EQ(text.find("Updating…") != std::string::npos, c.updateRunning) << text;
    EXPECT_EQ(json["error"].asBool(), c.error);
    EXPECT_EQ(json["message"].asString(), c.message);
    EXPECT_NE(text.find(std::string("\nNext update: ") + c.nextUpdate + "\n"), std::string::npos)
        << text;
    EXPECT_EQ(json["due"].asBool(), std::string(c.nextUpdate) != "in 1 hour");
    // The lines a failed update left are its error report; tracking lines are not errors.
    for (const Value& item : *json["items"].arrayPtr()) EXPECT_EQ(item["error"].asBool(), c.error);
  }
}

TEST_F(DeliveryOutputTest, ControlsInStoredTextsNeverReachTheTerminal) {
  const std::string name = "\x1b[31mRED\nsecond row";
  auto delivery = makeDelivery("88880000-0000", "N8", name);
  delivery->setUpdating(true);
  const std::string row = textForRow(rowForDelivery(*delivery, formatter()));
  EXPECT_EQ(row.find('\x1b'), std::string::npos) << row;
  // One row, one line: the line break in the name does not start another.
  EXPECT_EQ(std::count(row.begin(), row.end(), '\n'), 1) << row;
  EXPECT_NE(row.find("\\x1B[31mRED\\nsecond row"), std::string::npos) << row;
  const std::string detail = detailText(*delivery, formatter());
  EXPECT_EQ(detail.find('\x1b'), std::string::npos) << detail;
  EXPECT_EQ(detail.substr(0, detail.find('\n')), "\\x1B[31mRED\\nsecond row");
  // Scripts get the name as stored.
  EXPECT_EQ(jsonForDelivery(*delivery, formatter(), false)["name"].asString(), name);
}

TEST_F(DeliveryOutputTest, BadBytesAnOlderVersionStoredDoNotCostTheList) {
  auto bad = makeDelivery("99990000-0001", "N9", std::string("bad\xffname"));
  auto good = makeDelivery("99990000-0002", "N10", std::string("Shoes"));
  Array list;
  list.push_back(jsonForDelivery(*bad, formatter(), false));
  list.push_back(jsonForDelivery(*good, formatter(), false));
  const std::string text = jsonText(Value(std::move(list)));
  const auto parsed = Value::fromJSON(text);
  ASSERT_TRUE(parsed) << text;
  ASSERT_EQ(parsed->arrayPtr()->size(), 2u);
  EXPECT_EQ((*parsed->arrayPtr())[0]["name"].asString(), "bad\uFFFDname");
  EXPECT_EQ((*parsed->arrayPtr())[1]["name"].asString(), "Shoes");

  // What JSON cannot hold at all is a failure with its reason, never "null".
  std::string error;
  EXPECT_FALSE(jsonTextOrError(Value(Dictionary{{"x", Value(std::nan(""))}}), &error));
  EXPECT_NE(error.find("JSON"), std::string::npos) << error;
  EXPECT_EQ(jsonText(Value(Dictionary{{"x", Value(std::nan(""))}})), "");
}

TEST_F(DeliveryOutputTest, AWebPageDeliveryIsTitledByItsSite) {
  auto page = context().insert<Delivery>("Delivery");
  page->setUuid(std::string("aaaa1111-0000"));
  page->setFrom(std::string("other"));
  page->setExtra(std::string("https://shop.example.org/Orders/77"));
  EXPECT_EQ(rowForDelivery(*page, formatter()).title, "shop.example.org");
  EXPECT_EQ(jsonForDelivery(*page, formatter(), false)["title"].asString(), "shop.example.org");
  const std::string text = detailText(*page, formatter());
  EXPECT_EQ(text.substr(0, text.find('\n')), "shop.example.org");
}

TEST_F(DeliveryOutputTest, LookupReadsNumbersAndIDsInAnyForm) {
  auto delivery = makeDelivery("ABC12345-0000-0000-0000-000000000001", "1Z999AA10123456784");
  ASSERT_TRUE(store_->saveData());
  for (const char* word :
       {"abc12345-0000-0000-0000-000000000001", "abc1234", "ABC12", "1z999aa10123456784",
        "1Z 999 AA1 0123 4567 84", " 1z999aa1-0123456784 "}) {
    const auto found = findDelivery(*store_, word);
    EXPECT_EQ(found.kind, LookupResult::Found) << word;
    EXPECT_EQ(found.delivery, delivery) << word;
  }
  EXPECT_EQ(findDelivery(*store_, "1Z999AA1012345678").kind, LookupResult::NotFound);
}

TEST_F(DeliveryOutputTest, AWordThatNamesSeveralDeliveriesPicksNone) {
  // The same number under two services is two shipments.
  auto ups = makeDelivery("11111111-0000", "555000111");
  auto fedex = makeDelivery("22222222-0000", "555000111");
  fedex->setFrom(std::string("www.fedex.com"));
  // A number that reads like the beginning of another delivery's ID.
  auto numbered = makeDelivery("33333333-0000", "4444aaaa");
  auto other = makeDelivery("4444AAAA-0000", "999");
  ASSERT_TRUE(store_->saveData());

  auto found = findDelivery(*store_, "555000111");
  EXPECT_EQ(found.kind, LookupResult::Ambiguous);
  EXPECT_EQ(found.matches.size(), 2u);

  found = findDelivery(*store_, "4444aaaa");
  EXPECT_EQ(found.kind, LookupResult::Ambiguous);
  EXPECT_EQ(found.matches.size(), 2u);
  // More of the ID decides.
  EXPECT_EQ(findDelivery(*store_, "4444aaaa-0").delivery, other);
  EXPECT_EQ(findDelivery(*store_, "4444AAAA-0000").delivery, other);
}

}  // namespace
}  // namespace porvane
