// The delivery rules: selection and sort keys, completion, errors, soft updates, the hash and
// JSON forms that sync carries, the item cache, search texts and links.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ModelFixture.h"
#include "model/QBYDeliveryKeys.h"
#include "platform/Value.h"
#include "util/QBYRegions.h"

namespace qby::test {
namespace {

using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;

class DeliveryTest : public ModelTest {
 protected:
  // A delivery with n undated lines indexed 0…n-1.
  std::shared_ptr<Delivery> deliveryWithDetails(int n) {
    auto delivery = makeDelivery();
    for (int i = 0; i < n; ++i) addDetail(delivery, i);
    return delivery;
  }
};

TEST_F(DeliveryTest, InsertDefaults) {
  auto delivery = makeDelivery();
  EXPECT_EQ(delivery->tap(), "");
  EXPECT_EQ(delivery->message(), "");
  EXPECT_EQ(delivery->url(), "");
  EXPECT_EQ(delivery->historyTitle(), "");
  EXPECT_EQ(delivery->name(), std::nullopt);
  EXPECT_EQ(delivery->mobileURL(), std::nullopt);
}

TEST_F(DeliveryTest, DeliveryWithoutDetails) {
  auto delivery = makeDelivery();
  delivery->setUpdatedTime(kNow - 60);
  EXPECT_EQ(delivery->selectedDetail(), nullptr);
  delivery->updateDeliveryDateSortIndex();
  EXPECT_EQ(delivery->deliveryDateSortIndex(), 99999999999.0);
  EXPECT_FALSE(delivery->isComplete());
  EXPECT_FALSE(delivery->isProbablyComplete());
  EXPECT_EQ(delivery->detailsJSON(), std::optional<std::string>(""));
}

TEST_F(DeliveryTest, SetSelectedClampsToDetails) {
  auto delivery = deliveryWithDetails(4);
  delivery->setSelected(-1);
  EXPECT_EQ(delivery->selected(), 3);
  delivery->setSelected(4);
  EXPECT_EQ(delivery->selected(), 0);
  delivery->setSelected(2);
  EXPECT_EQ(delivery->selected(), 2);
  delivery->setSelected(std::nullopt);
  EXPECT_EQ(delivery->selected(), 0);

  auto empty = makeDelivery();
  empty->setSelected(0);
  EXPECT_EQ(empty->selected(), 0);
  empty->setSelected(-1);
  EXPECT_EQ(empty->selected(), 0);
}

TEST_F(DeliveryTest, IncrementSelectedWrapsAround) {
  auto delivery = deliveryWithDetails(3);
  delivery->setSelected(2);
  EXPECT_EQ(delivery->incrementSelected(1), 0);
  EXPECT_EQ(delivery->incrementSelected(-1), 2);
  EXPECT_EQ(delivery->incrementSelected(-1), 1);

  auto single = deliveryWithDetails(1);
  single->setSelected(0);
  EXPECT_EQ(single->incrementSelected(1), 0);
  EXPECT_EQ(single->incrementSelected(-1), 0);
}

TEST_F(DeliveryTest, SelectionRecomputesSortIndex) {
  auto delivery = makeDelivery();
  auto shipped = addDetail(delivery, 0);
  shipped->setShippedDateString("2021-03-01");
  auto delivered = addDetail(delivery, 1);
  delivered->setDeliveredDateString("2021-03-01");
  delivered->setIcon("checkmark");

  delivery->setSelected(0);
  EXPECT_EQ(delivery->deliveryDateSortIndex(), 4614556800.0);
  delivery->setSelected(1);
  EXPECT_EQ(delivery->deliveryDateSortIndex(), 1614513600.0);
  // A selection that names no line sorts last.
  delivered->setIndex(5);
  delivery->updateDeliveryDateSortIndex();
  EXPECT_EQ(delivery->deliveryDateSortIndex(), 99999999999.0);
}

TEST_F(DeliveryTest, StatusChangedOrModifiedDate) {
  auto delivery = makeDelivery();
  delivery->updateStatusChangedOrModifiedDate();
  EXPECT_EQ(delivery->statusChangedOrModifiedDate(), std::nullopt);
  delivery->setModified(kNow - 100);
  delivery->updateSortIndexes();
  EXPECT_EQ(delivery->statusChangedOrModifiedDate(), Date(kNow - 100));
  delivery->setStatusChangedDate(Date(kNow - 5));
  delivery->updateSortIndexes();
  EXPECT_EQ(delivery->statusChangedOrModifiedDate(), Date(kNow - 5));
}

TEST_F(DeliveryTest, SignInDelivery) {
  auto delivery = deliveryWithDetails(1);
  delivery->setTap("signin");
  delivery->setUpdatedTime(kNow - 3600);
  delivery->setNextUpdate(kNow + 3600);
  EXPECT_EQ(delivery->detailsJSON(), std::nullopt);
  EXPECT_TRUE(delivery->requiresSignIn());
  EXPECT_FALSE(delivery->shouldSoftUpdate());
  delivery->setNextUpdate(kNow);
  EXPECT_TRUE(delivery->shouldSoftUpdate());
  delivery->setArchived(true);
  EXPECT_FALSE(delivery->requiresSignIn());
  EXPECT_FALSE(delivery->shouldSoftUpdate());
}

TEST_F(DeliveryTest, ShouldSoftUpdate) {
  auto delivery = deliveryWithDetails(1);
  delivery->setNextUpdate(kNow + 3600);
  delivery->setUpdatedTime(kNow - 299);
  EXPECT_FALSE(delivery->shouldSoftUpdate()) << "updated within five minutes";
  delivery->setUpdatedTime(kNow - 301);
  EXPECT_TRUE(delivery->shouldSoftUpdate());
  delivery->details()[0]->setIcon("checkmark");
  EXPECT_FALSE(delivery->shouldSoftUpdate()) << "complete";
}

TEST_F(DeliveryTest, SettingsHashWritesAbsentValuesAsNull) {
  auto delivery = makeDelivery();
  delivery->setName("Box");
  delivery->setFrom("www.usps.com");
  delivery->setNo("123");
  // MD5 of "Boxwww.usps.com123(null)(null)".
  EXPECT_EQ(delivery->settingsHash(), "e1d5a714fad3f2659610a484014f278a");
  EXPECT_EQ(makeDelivery()->settingsHash(), "5f95cb984f4ed7e47b328e6d2e36bd2a");
  delivery->setExtra("");
  EXPECT_NE(delivery->settingsHash(), "e1d5a714fad3f2659610a484014f278a") << "empty ≠ absent";
}

TEST_F(DeliveryTest, UpdatedTimeOfOne) {
  auto delivery = deliveryWithDetails(1);
  delivery->setUpdatedTime(1.0);
  EXPECT_EQ(delivery->updatedDate(), std::nullopt);
  EXPECT_FALSE(delivery->shouldShowError());
  auto json = delivery->detailsJSON();
  ASSERT_TRUE(json);
  EXPECT_NE(*json, "");
  delivery->setUpdatedTime(0.5);
  EXPECT_TRUE(delivery->shouldShowError());
  EXPECT_EQ(delivery->detailsJSON(), std::optional<std::string>(""));
  delivery->setUpdatedTime(1.5);
  EXPECT_EQ(delivery->updatedDate(), Date(1.5));
}

TEST_F(DeliveryTest, Errors) {
  auto delivery = deliveryWithDetails(2);
  delivery->setUpdatedTime(kNow - 60);
  EXPECT_FALSE(delivery->hasError());
  EXPECT_FALSE(delivery->hasAnyError());

  delivery->setLastErrorDate(Date(kNow - 17999));
  EXPECT_TRUE(delivery->hasAnyError());
  EXPECT_FALSE(delivery->shouldShowError()) << "short failures stay hidden";
  delivery->setLastErrorDate(Date(kNow - 18001));
  EXPECT_TRUE(delivery->shouldShowError());
  delivery->setArchived(true);
  EXPECT_FALSE(delivery->hasAnyError());

  delivery->setArchived(false);
  delivery->setLastErrorDate(std::nullopt);
  delivery->details()[1]->setIcon("error");
  EXPECT_TRUE(delivery->hasError());
  EXPECT_TRUE(delivery->hasAnyError());
  EXPECT_TRUE(delivery->shouldShowError());

  for (auto& d : delivery->details()) d->setIcon("checkmark");
  delivery->setLastErrorDate(Date(kNow - 90000));
  EXPECT_FALSE(delivery->shouldShowError()) << "complete deliveries show no error";
}

TEST_F(DeliveryTest, Completion) {
  auto delivery = deliveryWithDetails(2);
  auto lines = delivery->sortedDetails();
  lines[0]->setIcon("checkmark");
  EXPECT_FALSE(delivery->isComplete());
  lines[1]->setIcon("checkmark");
  EXPECT_TRUE(delivery->isComplete());
  EXPECT_TRUE(delivery->isProbablyComplete());
}

TEST_F(DeliveryTest, ProbablyComplete) {
  auto delivery = deliveryWithDetails(2);
  auto lines = delivery->sortedDetails();
  lines[0]->setDeliveredDateString("2021-02-27");
  lines[1]->setShippedDateString("2021-02-28");
  delivery->setStatusChangedOrModifiedDate(Date(kNow - 5 * 86400));
  EXPECT_TRUE(delivery->isProbablyComplete());

  // A line dated today is still to come.
  lines[1]->setShippedDateString("2021-03-01");
  EXPECT_FALSE(delivery->isProbablyComplete());
  lines[1]->setShippedDateString("");
  EXPECT_TRUE(delivery->isProbablyComplete()) << "undated lines are skipped";

  delivery->setStatusChangedOrModifiedDate(Date(kNow - 2 * 86400));
  EXPECT_FALSE(delivery->isProbablyComplete()) << "status changed recently";
}

TEST_F(DeliveryTest, StatusChangedRecentlyIsThreeCalendarDays) {
  auto delivery = makeDelivery();
  EXPECT_FALSE(delivery->statusChangedRecently());
  delivery->setStatusChangedOrModifiedDate(Date(kNow - 3 * 86400));
  EXPECT_FALSE(delivery->statusChangedRecently());
  delivery->setStatusChangedOrModifiedDate(Date(kNow - 3 * 86400 + 1));
  EXPECT_TRUE(delivery->statusChangedRecently());
}

TEST_F(DeliveryTest, StatusChangedRecentlyKeepsTimeOfDayOverDaylightSaving) {
  // 30 March 2021 12:00 in Berlin. Summer time began on 28 March, so the same time of day three
  // calendar days earlier lies only 71 hours back.
  icu::TimeZone::adoptDefault(icu::TimeZone::createTimeZone("Europe/Berlin"));
  clock_.reset();
  constexpr double now = 1617098400;
  clock_ = std::make_unique<ClockOverride>(Date(now));
  auto delivery = makeDelivery();
  delivery->setStatusChangedOrModifiedDate(Date(now - 71 * 3600 + 1800));
  EXPECT_TRUE(delivery->statusChangedRecently());
  delivery->setStatusChangedOrModifiedDate(Date(now - 71 * 3600 - 1800));
  EXPECT_FALSE(delivery->statusChangedRecently());
}

TEST_F(DeliveryTest, DetailsJSON) {
  auto delivery = makeDelivery();
  delivery->setUuid("ABC");
  delivery->setName("Box");
  delivery->setUrl("https://track.example/1");
  delivery->setUpdatedTime(kNow - 60);
  delivery->setNextUpdate(kNow - 600);
  auto second = addDetail(delivery, 1);
  second->setItemName("Second");
  auto first = addDetail(delivery, 0);
  first->setItemName("First");
  first->setShippedBold(true);

  auto json = delivery->detailsJSON();
  ASSERT_TRUE(json);
  EXPECT_EQ(json->find('\n'), std::string::npos) << "compact";
  auto parsed = Value::fromJSON(*json);
  ASSERT_TRUE(parsed && parsed->isDictionary());
  EXPECT_THAT(parsed->dictionaryPtr()->keys(),
              UnorderedElementsAre("uuid", "hash", "interval", "status", "url", "items"));
  EXPECT_EQ((*parsed)["uuid"], Value("ABC"));
  EXPECT_EQ((*parsed)["hash"], Value(delivery->settingsHash()));
  EXPECT_EQ((*parsed)["status"], Value(2));
  EXPECT_DOUBLE_EQ(*(*parsed)["interval"].asReal(), -10.0);
  const Array& items = *(*parsed)["items"].arrayPtr();
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0]["itemName"], Value("First"));
  EXPECT_EQ(items[0]["shippedBold"], Value(true));
  EXPECT_EQ(items[1]["itemName"], Value("Second"));

  delivery->setNextUpdate(kNow + 90);
  delivery->setMobileURL("https://m.track.example/1");
  parsed = Value::fromJSON(*delivery->detailsJSON());
  EXPECT_DOUBLE_EQ(*(*parsed)["interval"].asReal(), 1.5);
  EXPECT_EQ((*parsed)["mobileURL"], Value("https://m.track.example/1"));
}

TEST_F(DeliveryTest, SyncDictionaries) {
  auto delivery = deliveryWithDetails(1);
  delivery->setUuid("U1");
  delivery->setFrom("www.usps.com");
  delivery->setNo("9400");
  delivery->setSelected(0);
  EXPECT_THAT(delivery->attributes().keys(), ElementsAre("uuid", "from", "no", "selected"));

  delivery->setArchived(false);
  delivery->setModified(kNow);
  delivery->setName("Box");
  delivery->setRemoved(false);
  delivery->setStatusChangedDate(Date(kNow));
  EXPECT_THAT(delivery->attributes().keys(),
              ElementsAre("uuid", "archived", "modified", "from", "name", "no", "selected"));
  // No results yet: details JSON is "" and still travels.
  auto sync = delivery->attributesToSync();
  EXPECT_THAT(sync.keys(), ElementsAre("uuid", "archived", "modified", "from", "name", "no",
                                       "selected", "removed", "detailsJSON", "detailsLanguage"));
  EXPECT_EQ(sync["detailsLanguage"], Value("en"));
  delivery->setUpdatedTime(kNow);
  delivery->setServiceUpdateVersion(7);
  sync = delivery->attributesToSync();
  EXPECT_EQ(sync[QBYDeliveryServiceUpdateVersion], Value(7));
  EXPECT_EQ(sync[QBYDeliveryUpdatedTime], Value(kNow));
  EXPECT_TRUE(delivery->watchData().contains(QBYDeliveryStatusChangedDate));

  // Waiting for sign-in: no results travel at all.
  delivery->setTap("signin");
  EXPECT_FALSE(delivery->attributesToSync().contains(QBYDeliveryDetailsJSON));
  EXPECT_FALSE(delivery->attributesToSync().contains(QBYDeliveryUpdatedTime));

  delivery->setRemoved(true);
  EXPECT_THAT(delivery->watchData().keys(), ElementsAre("uuid", "archived", "removed"));
}

TEST_F(DeliveryTest, QueryString) {
  auto delivery = makeDelivery();
  delivery->setUuid("U 1");
  delivery->setFrom("www.usps.com");
  delivery->setName("A&B=C");
  EXPECT_EQ(delivery->queryString(),
            "&uuid=U%201&from=www.usps.com&name=A%26B%3DC&no=&extra=&date=");
}

TEST_F(DeliveryTest, ItemCacheModes) {
  auto delivery = makeDelivery();
  auto second = addDetail(delivery, 1);
  second->setItemName("Lamp");
  second->setUrl("https://shop.example/lamp");
  auto first = addDetail(delivery, 0);
  first->setItemName("Chair");
  first->setUrl("https://shop.example/chair");

  delivery->updateItemCache(0);
  ASSERT_TRUE(delivery->itemCacheJSON());
  auto cache = Value::fromJSON(*delivery->itemCacheJSON());
  ASSERT_TRUE(cache && cache->isArray());
  ASSERT_EQ(cache->arrayPtr()->size(), 2u);
  EXPECT_EQ((*cache->arrayPtr())[0],
            Value(Dictionary{{"itemName", "Chair"}, {"url", "https://shop.example/chair"}}));
  EXPECT_EQ((*cache->arrayPtr())[1]["itemName"], Value("Lamp"));
  const auto built = delivery->itemCacheJSON();

  // One line without a link: mode 0 keeps the cache, mode 1 drops it.
  second->setUrl(std::nullopt);
  delivery->updateItemCache(0);
  EXPECT_EQ(delivery->itemCacheJSON(), built);
  delivery->updateItemCache(1);
  EXPECT_EQ(delivery->itemCacheJSON(), std::nullopt);

  second->setUrl("https://shop.example/lamp");
  delivery->updateItemCache(1);
  EXPECT_EQ(delivery->itemCacheJSON(), built);
  delivery->setNextUpdate(500);
  delivery->prepareForSignIn();
  EXPECT_EQ(delivery->itemCacheJSON(), std::nullopt);
  EXPECT_EQ(first->url(), std::nullopt);
  EXPECT_EQ(second->url(), std::nullopt);
  EXPECT_EQ(delivery->nextUpdate(), 0);
  EXPECT_EQ(delivery->backgroundUpdate(), 0);
}

TEST_F(DeliveryTest, SearchTextComposition) {
  auto service = makeService("www.ups.com", "UPS");
  auto delivery = makeDelivery();
  delivery->setService(service);
  delivery->setName("Gift");
  delivery->setNo("1Z99");
  delivery->setUrl("https://ups.example/1Z99");
  EXPECT_THAT(delivery->basicSearchKeywords(),
              ElementsAre("Gift", "1Z99", "UPS", "https://ups.example/1Z99"));
  EXPECT_EQ(delivery->basicSearchText(), "Gift 1Z99 UPS https://ups.example/1Z99");

  auto line = addDetail(delivery, 0);
  line->setItemName("Shoes");
  line->setDeliveredDateString("2021-03-01");
  EXPECT_EQ(delivery->generatedSearchText(),
            "Gift 1Z99 UPS https://ups.example/1Z99 Shoes   2021-03-01");
  EXPECT_THAT(delivery->generatedSearchKeywordsForDetail(line),
              ElementsAre("Gift", "1Z99", "UPS", "https://ups.example/1Z99", "2021-03-01"));
  EXPECT_EQ(delivery->generatedSearchKeywordsForDetail(nullptr).size(), 4u);
}

TEST_F(DeliveryTest, TitlesAndNames) {
  auto service = makeService("www.ups.com", "UPS");
  auto delivery = makeDelivery();
  delivery->setService(service);
  EXPECT_EQ(delivery->defaultTitle(), "Unknown Item");
  delivery->setNo("1Z99");
  EXPECT_EQ(delivery->defaultTitle(), "1Z99");
  delivery->setName("  ");
  EXPECT_EQ(delivery->defaultTitle(), "1Z99");
  EXPECT_EQ(delivery->siriName(), "UPS");
  delivery->setName(" Gift ");
  EXPECT_EQ(delivery->defaultTitle(), " Gift ");
  EXPECT_EQ(delivery->siriName(), "Gift");

  auto other = makeDelivery();
  other->setFrom("other");
  EXPECT_EQ(other->siriName(), "Unknown Item");
  other->setExtra("https://www.shop.example/order/1");
  EXPECT_TRUE(other->isOther());
  EXPECT_EQ(other->extraDomain(), "shop.example");
  EXPECT_EQ(other->serviceName(), "shop.example");
  other->setExtra("shop.example/order/1");
  EXPECT_EQ(other->extraDomain(), std::nullopt);
}

TEST_F(DeliveryTest, PasteboardAndLimitedTitles) {
  auto delivery = deliveryWithDetails(1);
  delivery->setSelected(0);
  delivery->details()[0]->setItemName(std::string(60, 'x'));
  delivery->setNo("1Z99");
  delivery->setUrl("https://ups.example/1");
  const std::string cut = std::string(48, 'x') + "…";
  EXPECT_EQ(delivery->pasteboardTitle(), cut + ": 1Z99");
  EXPECT_EQ(delivery->pasteboardString(), cut + ": 1Z99 https://ups.example/1");
  delivery->details()[0]->setItemName("1Z99");
  EXPECT_EQ(delivery->pasteboardTitle(), "1Z99") << "number not repeated";

  delivery->updateHistoryTitle();
  EXPECT_EQ(delivery->historyTitle(), "1Z99");
  delivery->setHistoryTitle("Hello, wonderful world");
  EXPECT_EQ(delivery->titleLimitedToLength(10), "Hello…");
}

TEST_F(DeliveryTest, Links) {
  auto delivery = makeDelivery();
  EXPECT_EQ(delivery->onlineURL(), std::nullopt);
  EXPECT_EQ(delivery->showURL(), std::nullopt);
  delivery->setUuid("0A1B2C3D-0000-4000-8000-00000000ABCD");
  EXPECT_EQ(delivery->showURL()->absoluteString(),
            "porvane://show/0A1B2C3D-0000-4000-8000-00000000ABCD");
  EXPECT_EQ(delivery->editURL()->absoluteString(),
            "porvane://edit/0A1B2C3D-0000-4000-8000-00000000ABCD");
  EXPECT_EQ(Delivery::urlForAction("show", std::nullopt), std::nullopt);

  delivery->setMobileURL("https://m.ups.example/1");
  EXPECT_EQ(delivery->onlineURLForMobile(true), std::nullopt) << "no desktop page, no link";
  delivery->setUrl("ups.example/track 1");
  EXPECT_EQ(delivery->onlineURL()->absoluteString(), "http://ups.example/track%201");
  EXPECT_EQ(delivery->onlineURLForMobile(true)->absoluteString(), "https://m.ups.example/1");
}

TEST_F(DeliveryTest, RegionName) {
  auto delivery = makeDelivery();
  EXPECT_EQ(delivery->regionName(), std::nullopt);
  delivery->setFrom(ServiceKey::USPS);
  EXPECT_EQ(delivery->regionName(), "US");
  delivery->setFrom(ServiceKey::OnTrac);
  EXPECT_EQ(delivery->regionName(), "California");
  delivery->setFrom("www.unknown-carrier.example");
  EXPECT_EQ(delivery->regionName(), std::nullopt);

  delivery->setFrom(ServiceKey::AmazonOrderLink);
  EXPECT_EQ(delivery->regionName(), std::nullopt);
  delivery->setExtra("https://smile.amazon.de/gp/your-account/order-details?orderID=1");
  EXPECT_EQ(delivery->regionName(), "Germany");
  delivery->setExtra("https://www.amazon.co.jp/gp/css/order-details?orderID=2");
  EXPECT_EQ(delivery->regionName(), "Japan");
  delivery->setExtra("https://smile.amazon.com/gp/x");
  EXPECT_EQ(delivery->regionName(), "US");
  delivery->setExtra("www.amazon.co.uk/gp/x");
  EXPECT_EQ(delivery->regionName(), std::nullopt) << "no web address, no region";
  delivery->setExtra("https://amazon.fr/gp/x");
  EXPECT_EQ(delivery->regionName(), std::nullopt);
}

TEST_F(DeliveryTest, DisplayTypeForDetail) {
  auto delivery = deliveryWithDetails(1);
  EXPECT_EQ(delivery->displayTypeForDetail(nullptr), 0);
  auto line = delivery->details()[0];
  line->setIcon("checkmark");
  EXPECT_EQ(delivery->displayTypeForDetail(line), 2);
}

TEST_F(DeliveryTest, SurvivesSaveAndReload) {
  auto delivery = deliveryWithDetails(2);
  delivery->setUuid("U1");
  delivery->setSelected(-1);
  QBYError error;
  ASSERT_TRUE(context_->save(&error)) << error.description();
  context_->reset();
  QBYFetchRequest request;
  request.entityName = "Delivery";
  auto results = context_->executeFetchRequest(request, &error);
  ASSERT_TRUE(results) << error.description();
  ASSERT_EQ(results->size(), 1u);
  auto loaded = results->as<Delivery>(0);
  EXPECT_EQ(loaded->uuid(), "U1");
  EXPECT_EQ(loaded->selected(), 1);
  EXPECT_EQ(loaded->details().size(), 2u);
  EXPECT_EQ(loaded->selectedDetail()->index(), 1);
}

}  // namespace
}  // namespace qby::test
