// The named queries of the delivery store, against a real store file filled through the record
// classes: list orders, settings matching, word search with its scopes and archive window,
// services, the background-update and calendar queries, and the summary of the coming days.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <string>
#include <vector>

#include "model/Delivery.h"
#include "model/DeliveryText.h"
#include "model/Detail.h"
#include "model/Service.h"
#include "platform/QBYUserDefaults.h"
#include "presentation/QBYDateFormatter.h"
#include "store/QBYDataStore.h"
#include "store/QBYDeliveriesQueries.h"
#include "store/core/QBYPersistentStore.h"
#include "support/TestSupport.h"
#include "util/QBYRegions.h"

namespace qby::test {
namespace {

class QueriesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto& defaults = QBYDataStore::sharedDefaults();
    // The lists below are checked in the order the store keeps them; the registered default
    // would sort them by delivery date.
    defaults.setInteger(0, QBYSortModeKey);
    defaults.removeObjectForKey(QBYHistoryDaysKey);
    store = std::make_unique<QBYDataStore>(makeTempDir("queries") / "Porvane.sqlite");
    ASSERT_TRUE(store->available());
    context = store->viewContext().get();
  }

  std::shared_ptr<Delivery> delivery(const std::string& uuid, const std::string& text = "") {
    auto record = context->insert<Delivery>("Delivery");
    record->setUuid(uuid);
    record->setArchived(false);
    record->setRemoved(false);
    record->setFrom("www.example.com");
    record->setModified(now().timeIntervalSince1970());
    record->setUpdatedTime(now().timeIntervalSince1970());
    if (!text.empty()) {
      auto search = context->insert<DeliveryText>("DeliveryText");
      search->setText(text);
      search->setDelivery(record);
    }
    return record;
  }

  std::shared_ptr<Detail> detail(const std::shared_ptr<Delivery>& owner, const std::string& item,
                                 std::optional<std::string> deliveredDay,
                                 std::optional<std::string> icon = std::string()) {
    auto line = context->insert<Detail>("Detail");
    line->setIndex(static_cast<std::int64_t>(owner->details().size()));
    line->setItemName(item);
    line->setDeliveredDateString(std::move(deliveredDay));
    line->setIcon(std::move(icon));
    line->setDelivery(owner);
    return line;
  }

  void save() { ASSERT_TRUE(context->save()); }

  // The uuids of a result, in order.
  static std::vector<std::string> uuids(const QBYFetchedResults& results) {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < results.size(); ++i)
      out.push_back(results.as<Delivery>(i)->uuid().value_or("?"));
    return out;
  }
  static std::vector<std::string> uuids(const std::vector<std::shared_ptr<Delivery>>& list) {
    std::vector<std::string> out;
    for (const auto& record : list) out.push_back(record->uuid().value_or("?"));
    return out;
  }
  std::vector<std::string> search(const std::string& text, unsigned scope = 0) {
    return uuids(deliveriesMatchingSearch(*store, text, scope, 0, false));
  }

  static Date now() { return Date::now(); }
  static Calendar calendar() { return QBYDateFormatter::sharedFormatter().calendar(); }
  // The ISO day text of today plus the offset.
  static std::string day(long offset) {
    auto& formatter = QBYDateFormatter::sharedFormatter();
    return *formatter.stringFromDate(calendar().dateDaysFrom(offset, now()));
  }
  static Date startOfDay(long offset) {
    return *calendar().startOfDayForDate(*calendar().dateDaysFrom(offset, now()));
  }

  LogCapture logs;
  std::unique_ptr<QBYDataStore> store;
  QBYManagedObjectContext* context = nullptr;
};

using Strings = std::vector<std::string>;

// --- The active list -------------------------------------------------------------------------

TEST_F(QueriesTest, ManualOrderIsTheIndexAloneWithTiesInStoreOrder) {
  const struct {
    const char* uuid;
    int index;
    const char* title;
  } rows[] = {{"a", 2, "A"}, {"b", 1, "Z"}, {"c", 2, "B"}, {"d", 0, "Y"}, {"e", 1, "A"}};
  for (const auto& row : rows) {
    auto record = delivery(row.uuid);
    record->setManualSortIndex(row.index);
    record->setHistoryTitle(row.title);
    record->setDeliveryDateSortIndex(10 - row.index);
  }
  save();
  QBYDataStore::sharedDefaults().setInteger(0, QBYSortModeKey);
  EXPECT_EQ(uuids(deliveriesForProcessType(*store, 0)), (Strings{"d", "b", "e", "a", "c"}));
  // Nothing stored is the registered default, by delivery date (ties by service, then title).
  QBYDataStore::sharedDefaults().removeObjectForKey(QBYSortModeKey);
  EXPECT_EQ(uuids(deliveriesForProcessType(*store, 0)), (Strings{"a", "c", "e", "b", "d"}));
  // An unknown mode is the manual order.
  QBYDataStore::sharedDefaults().setInteger(7, QBYSortModeKey);
  EXPECT_EQ(uuids(deliveriesForProcessType(*store, 0)), (Strings{"d", "b", "e", "a", "c"}));
}

TEST_F(QueriesTest, DateAndStatusOrdersBreakTiesByServiceThenTitleWithNumbersByValue) {
  const struct {
    const char* uuid;
    double dateIndex;
    double changed;
    const char* from;
    const char* title;
  } rows[] = {
      {"item10", 100, 5000, "b.com", "Item 10"},     {"item2", 100, 5000, "b.com", "Item 2"},
      {"otherService", 100, 5000, "a.com", "Zebra"}, {"early", 50, 1000, "z.com", "Late"},
      {"recent", 200, 9000, "z.com", "Recent"},
  };
  for (const auto& row : rows) {
    auto record = delivery(row.uuid);
    record->setDeliveryDateSortIndex(row.dateIndex);
    record->setStatusChangedOrModifiedDate(Date(row.changed));
    record->setFrom(row.from);
    record->setHistoryTitle(row.title);
  }
  save();
  QBYDataStore::sharedDefaults().setInteger(1, QBYSortModeKey);
  EXPECT_EQ(uuids(deliveriesForProcessType(*store, 0)),
            (Strings{"early", "otherService", "item2", "item10", "recent"}));
  QBYDataStore::sharedDefaults().setInteger(2, QBYSortModeKey);
  EXPECT_EQ(uuids(deliveriesForProcessType(*store, 0)),
            (Strings{"recent", "otherService", "item2", "item10", "early"}));
}

TEST_F(QueriesTest, ActiveListKeepsRemovedAndDropsArchived) {
  delivery("active");
  delivery("removed")->setRemoved(true);
  delivery("archived")->setArchived(true);
  // A flag that was never written reads as NO, as the record itself reads it.
  auto unset = context->insert<Delivery>("Delivery");
  unset->setUuid("unset");
  unset->setUpdatedTime(now().timeIntervalSince1970());
  save();
  EXPECT_FALSE(unset->archived());
  EXPECT_EQ(uuids(deliveriesForProcessType(*store, 0)), (Strings{"active", "removed", "unset"}));
  EXPECT_EQ(uuids(deliveriesForProcessType(*store, 2)), (Strings{"active", "removed", "unset"}));
}

TEST_F(QueriesTest, WidgetListLeavesOutDeliveriesNeverUpdated) {
  delivery("updated");
  delivery("never")->setUpdatedTime(0);
  auto absent = context->insert<Delivery>("Delivery");
  absent->setUuid("absent");
  save();
  EXPECT_EQ(uuids(deliveriesForProcessType(*store, 1)), (Strings{"updated"}));
  EXPECT_EQ(uuids(deliveriesForProcessType(*store, 0)), (Strings{"updated", "never", "absent"}));
}

TEST_F(QueriesTest, ApplicationListPrefetchesDetailsAndService) {
  auto service = context->insert<Service>("Service");
  service->setFrom("www.example.com");
  for (int i = 0; i < 45; ++i) {
    auto record = delivery("d" + std::to_string(i));
    record->setManualSortIndex(i);
    record->setService(service);
    detail(record, "line", std::nullopt);
    detail(record, "line", std::nullopt);
  }
  save();
  context->reset();
  context->resetStatistics();
  auto list = deliveriesForProcessType(*store, 0);
  ASSERT_EQ(list.size(), 45u);
  for (std::size_t i = 0; i < list.size(); ++i) {
    auto record = list.as<Delivery>(i);
    EXPECT_EQ(record->details().size(), 2u);
    ASSERT_TRUE(record->service());
    EXPECT_EQ(record->service()->from(), "www.example.com");
  }
  const auto stats = context->statistics();
  EXPECT_EQ(stats.faultsFired, 0u);
  // The ids, then three batches of 20 with their details and (once loaded) the service.
  EXPECT_EQ(stats.batchLoads, 3u);
  EXPECT_LE(stats.statements, 1u + 3u * 3u);
}

// --- By uuid and by settings ---------------------------------------------------------------

TEST_F(QueriesTest, DeliveryWithUUIDIgnoresRemovedAndAbsentUUIDs) {
  delivery("one");
  delivery("gone")->setRemoved(true);
  save();
  ASSERT_TRUE(deliveryWithUUID(std::string("one"), *context));
  EXPECT_EQ(deliveryWithUUID(std::string("one"), *context)->uuid(), "one");
  EXPECT_FALSE(deliveryWithUUID(std::string("gone"), *context));
  EXPECT_FALSE(deliveryWithUUID(std::string("nobody"), *context));
  EXPECT_FALSE(deliveryWithUUID(std::nullopt, *context));
}

TEST_F(QueriesTest, DeliveriesWithUUIDsSortByDateServiceAndTitle) {
  const struct {
    const char* uuid;
    double dateIndex;
    const char* from;
    const char* title;
  } rows[] = {{"late", 300, "a.com", "A"},       {"title10", 100, "b.com", "Box 10"},
              {"title9", 100, "b.com", "Box 9"}, {"service", 100, "a.com", "Z"},
              {"removed", 1, "a.com", "A"},      {"notAsked", 2, "a.com", "A"}};
  for (const auto& row : rows) {
    auto record = delivery(row.uuid);
    record->setDeliveryDateSortIndex(row.dateIndex);
    record->setFrom(row.from);
    record->setHistoryTitle(row.title);
  }
  save();
  deliveryWithUUID(std::string("removed"), *context)->setRemoved(true);
  save();
  const std::vector<std::string> asked = {"late", "title10", "title9", "service", "removed"};
  EXPECT_EQ(uuids(deliveriesWithUUIDs(asked, true, *context)),
            (Strings{"service", "title9", "title10", "late"}));
  auto unsorted = uuids(deliveriesWithUUIDs(asked, false, *context));
  std::sort(unsorted.begin(), unsorted.end());
  EXPECT_EQ(unsorted, (Strings{"late", "service", "title10", "title9"}));
  EXPECT_TRUE(deliveriesWithUUIDs(std::vector<std::string>{}, true, *context).empty());
  EXPECT_TRUE(deliveriesWithUUIDs(std::nullopt, true, *context).empty());
}

TEST_F(QueriesTest, SettingsThatNameNothingMatchNothingWithoutAskingTheStore) {
  delivery("a")->setName("Shoes");
  save();
  QBYDeliverySettings settings;
  settings.name = "Shoes";
  context->resetStatistics();
  EXPECT_TRUE(deliveriesWithSettings(*store, settings, false, true, 0).empty());
  EXPECT_EQ(context->statistics().statements, 0u);
  // Strictly, the name is a condition of its own.
  EXPECT_EQ(uuids(deliveriesWithSettings(*store, settings, true, true, 0)), (Strings{"a"}));
  // Empty texts are no conditions either.
  settings.name = "";
  settings.no = "";
  EXPECT_TRUE(deliveriesWithSettings(*store, settings, true, true, 0).empty());
  EXPECT_EQ(context->statistics().statements, 1u);
}

TEST_F(QueriesTest, SettingsMatchNumberServiceAndArchiveAsAsked) {
  auto plain = delivery("plain");
  plain->setNo("123");
  plain->setExtra("12345");
  plain->setName("Shoes");
  auto archived = delivery("archived");
  archived->setNo("123");
  archived->setArchived(true);
  auto removed = delivery("removed");
  removed->setNo("123");
  removed->setRemoved(true);
  auto elsewhere = delivery("elsewhere");
  elsewhere->setNo("123");
  elsewhere->setFrom("www.other.com");
  save();

  QBYDeliverySettings settings;
  settings.no = "123";
  settings.from = "www.example.com";
  settings.extra = "99999";
  settings.name = "Other name";
  EXPECT_EQ(uuids(deliveriesWithSettings(*store, settings, false, false, 0)), (Strings{"plain"}));
  auto both = uuids(deliveriesWithSettings(*store, settings, false, true, 0));
  std::sort(both.begin(), both.end());
  EXPECT_EQ(both, (Strings{"archived", "plain"}));
  EXPECT_EQ(deliveriesWithSettings(*store, settings, false, true, 1).size(), 1u);
  // Strict matching compares extra and name too.
  EXPECT_TRUE(deliveriesWithSettings(*store, settings, true, true, 0).empty());
  settings.extra = "12345";
  settings.name = "Shoes";
  EXPECT_EQ(uuids(deliveriesWithSettings(*store, settings, true, false, 0)), (Strings{"plain"}));
  // The uuid alone finds a delivery of any service.
  QBYDeliverySettings byUUID;
  byUUID.uuid = "elsewhere";
  EXPECT_EQ(uuids(deliveriesWithSettings(*store, byUUID, false, false, 0)), (Strings{"elsewhere"}));
}

TEST_F(QueriesTest, AmazonOrderLinksCompareTheirPageEvenWhenNotStrict) {
  for (const char* page : {"https://www.amazon.de/order/1", "https://www.amazon.de/order/2"}) {
    auto record = delivery(page);
    record->setFrom(ServiceKey::AmazonOrderLink);
    record->setNo("A-1");
    record->setExtra(page);
  }
  save();
  QBYDeliverySettings settings;
  settings.from = ServiceKey::AmazonOrderLink;
  settings.no = "A-1";
  settings.extra = "https://www.amazon.de/order/2";
  EXPECT_EQ(uuids(deliveriesWithSettings(*store, settings, false, false, 0)),
            (Strings{"https://www.amazon.de/order/2"}));
  settings.extra.reset();
  EXPECT_EQ(deliveriesWithSettings(*store, settings, false, false, 0).size(), 2u);
}

TEST_F(QueriesTest, AnyDeliveriesMeansOneNotRemovedWithDetails) {
  EXPECT_FALSE(hasAnyDeliveriesInContext(*context));
  delivery("bare");
  auto removed = delivery("removed");
  removed->setRemoved(true);
  detail(removed, "line", std::nullopt);
  save();
  EXPECT_FALSE(hasAnyDeliveriesInContext(*context));
  detail(delivery("full"), "line", std::nullopt);
  save();
  EXPECT_TRUE(hasAnyDeliveriesInContext(*context));
}

// --- Search ----------------------------------------------------------------------------------

TEST_F(QueriesTest, SearchWordsKeepEmptyPiecesBetweenSeparators) {
  EXPECT_EQ(searchWordsForText(std::string("  alpha   beta  ")),
            (Strings{"alpha", "", "", "beta"}));
  EXPECT_EQ(searchWordsForText(std::string("a\tb\nc\u00a0d")), (Strings{"a", "b", "c", "d"}));
  EXPECT_TRUE(searchWordsForText(std::string(" \n\t ")).empty());
  EXPECT_TRUE(searchWordsForText(std::nullopt).empty());
  EXPECT_EQ(searchWordsForText(std::string("Zürich")), (Strings{"Zürich"}));
}

TEST_F(QueriesTest, SearchFindsDeliveriesHoldingEveryWord) {
  delivery("both", "alpha gamma beta")->setModified(300);
  delivery("one", "alpha only")->setModified(200);
  delivery("other", "beta only")->setModified(100);
  save();
  EXPECT_EQ(search("  alpha   beta  "), (Strings{"both"}));
  EXPECT_EQ(search("ALPHA"), (Strings{"both", "one"}));
  EXPECT_TRUE(search("alpha delta").empty());
}

TEST_F(QueriesTest, SearchUsesTheFirst51WordsOnly) {
  std::string text;
  std::string stored;
  for (int i = 0; i < 60; ++i) {
    const std::string word = "w" + std::to_string(i) + "x";
    text += (i ? " " : "") + word;
    if (i < 51) stored += word + " ";
  }
  ASSERT_EQ(searchWordsForText(text).size(), 51u);
  EXPECT_EQ(searchWordsForText(text).back(), "w50x");
  // The delivery holds words 0…50 but not 51…59: the 52nd word is not asked for.
  delivery("first51", stored);
  delivery("first50", stored.substr(0, stored.find("w50x")));
  save();
  EXPECT_EQ(search(text), (Strings{"first51"}));
}

TEST_F(QueriesTest, SearchIgnoresCaseAndAccents) {
  delivery("zurich", "Parcel to Zürich");
  delivery("ecole", "Livre pour l'ÉCOLE");
  save();
  EXPECT_EQ(search("zurich"), (Strings{"zurich"}));
  EXPECT_EQ(search("ZÜRICH"), (Strings{"zurich"}));
  EXPECT_EQ(search("ecole"), (Strings{"ecole"}));
  EXPECT_EQ(search("école"), (Strings{"ecole"}));
}

TEST_F(QueriesTest, SearchSortsByChangeAndHonoursLimitAndRemoved) {
  delivery("old", "box")->setModified(1000);
  delivery("new", "box")->setModified(3000);
  delivery("middle", "box")->setModified(2000);
  delivery("removed", "box")->setRemoved(true);
  // Without a search text a delivery is found even when it has none.
  delivery("textless")->setModified(500);
  save();
  EXPECT_EQ(search("box"), (Strings{"new", "middle", "old"}));
  EXPECT_EQ(uuids(deliveriesMatchingSearch(*store, std::string("box"), 0, 2, true)),
            (Strings{"new", "middle"}));
  EXPECT_EQ(search(""), (Strings{"new", "middle", "old", "textless"}));
  EXPECT_EQ(uuids(deliveriesMatchingSearch(*store, std::nullopt, 0, 0, false)),
            (Strings{"new", "middle", "old", "textless"}));
}

TEST_F(QueriesTest, ScopesAndTheArchiveWindow) {
  const double day = 86400;
  const double t = now().timeIntervalSince1970();
  delivery("active", "box")->setModified(t - 400 * day);
  auto recent = delivery("recentArchive", "box");
  recent->setArchived(true);
  recent->setModified(t - 10 * day);
  auto old = delivery("oldArchive", "box");
  old->setArchived(true);
  old->setModified(t - 40 * day);
  save();

  QBYDataStore::sharedDefaults().setInteger(30, QBYHistoryDaysKey);
  EXPECT_EQ(search("box", 1), (Strings{"recentArchive"}));
  EXPECT_EQ(search("", 1), (Strings{"recentArchive"}));
  EXPECT_EQ(search("box", 0), (Strings{"recentArchive", "active"}));
  EXPECT_EQ(search("", 0), (Strings{"recentArchive", "active"}));
  EXPECT_EQ(search("box", 2), (Strings{"active"}));
  EXPECT_EQ(search("box", 9), (Strings{"recentArchive", "oldArchive", "active"}));

  QBYDataStore::sharedDefaults().setInteger(QBYHistoryDaysMax, QBYHistoryDaysKey);
  EXPECT_EQ(search("box", 1), (Strings{"recentArchive", "oldArchive"}));
  EXPECT_EQ(search("box", 0), (Strings{"recentArchive", "oldArchive", "active"}));
  // Absent, the archive keeps everything.
  QBYDataStore::sharedDefaults().removeObjectForKey(QBYHistoryDaysKey);
  EXPECT_EQ(search("", 1), (Strings{"recentArchive", "oldArchive"}));
}

// --- Services, background updates, calendar ------------------------------------------------

TEST_F(QueriesTest, ServicesByFavouriteAndByKey) {
  const struct {
    const char* from;
    const char* sort;
    int uses;
  } rows[] = {{"c.com", "03", 0}, {"a.com", "07", 2}, {"b.com", "01", 5}};
  for (const auto& row : rows) {
    auto service = context->insert<Service>("Service");
    service->setFrom(row.from);
    service->setSort(row.sort);
    service->setUseCount(row.uses);
  }
  save();
  const auto keys = [](const std::vector<std::shared_ptr<Service>>& list) {
    Strings out;
    for (const auto& service : list) out.push_back(service->from().value_or("?"));
    return out;
  };
  EXPECT_EQ(keys(servicesMarkedAsFavorites(*store, true)), (Strings{"b.com", "a.com"}));
  EXPECT_EQ(keys(servicesMarkedAsFavorites(*store, false)), (Strings{"b.com", "c.com", "a.com"}));
  ASSERT_TRUE(serviceForDomain(*store, std::string("a.com")));
  EXPECT_EQ(serviceForDomain(*store, std::string("a.com"))->sort(), "07");
  EXPECT_TRUE(logs.linesContaining("Service not found").empty());
  EXPECT_FALSE(serviceForDomain(*store, std::string("nowhere.com")));
  EXPECT_EQ(logs.linesContaining("Service not found nowhere.com").size(), 1u);
}

TEST_F(QueriesTest, NextBackgroundUpdateIsTheEarliestActiveOne) {
  EXPECT_FALSE(nextBackgroundUpdateInContext(*store));
  delivery("later")->setBackgroundUpdate(5000);
  delivery("sooner")->setBackgroundUpdate(3000);
  auto archived = delivery("archived");
  archived->setArchived(true);
  archived->setBackgroundUpdate(1000);
  save();
  EXPECT_EQ(nextBackgroundUpdateInContext(*store), Date(3000));
}

TEST_F(QueriesTest, CalendarUpdateTakesChangesOfTheLastThreeHours) {
  const Date t = now();
  delivery("twoHours")->setStatusChangedOrModifiedDate(t.addingTimeInterval(-2 * 3600));
  delivery("fourHours")->setStatusChangedOrModifiedDate(t.addingTimeInterval(-4 * 3600));
  delivery("never");
  auto archived = delivery("archived");
  archived->setArchived(true);
  archived->setStatusChangedOrModifiedDate(t);
  save();
  EXPECT_EQ(uuids(deliveriesForCalendarUpdateInContext(*context)), (Strings{"twoHours"}));
}

// --- Summary ---------------------------------------------------------------------------------

TEST_F(QueriesTest, SummaryWithNothingDueListsEveryUndeliveredLine) {
  auto first = delivery("first");
  detail(first, "Past line", day(-3));
  detail(first, "Delivered", day(-3), std::string("checkmark"));
  detail(first, "No icon", std::nullopt, std::nullopt);
  auto second = delivery("second");
  detail(second, "Past line", day(-2), std::string("transit"));
  detail(second, "Other", std::nullopt);
  auto archived = delivery("archived");
  archived->setArchived(true);
  detail(archived, "Archived line", day(-1));
  auto never = delivery("never");
  never->setUpdatedTime(0);
  detail(never, "Never updated", day(-1));
  save();

  const QBYSummaryData summary = summaryDataForDate(*store, now(), true);
  Strings names = summary.names;
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (Strings{"No icon", "Other", "Past line"}));
  EXPECT_FALSE(summary.date);
  EXPECT_FALSE(summary.delivered);
  ASSERT_TRUE(summary.objects);
  EXPECT_EQ(summary.objects->size(), 4u);
  const Dictionary form = summary.dictionary();
  EXPECT_FALSE(form.contains(QBYSummaryDataDateKey));
  EXPECT_EQ(form[QBYSummaryDataDeliveredKey], Value(false));
  EXPECT_EQ(form[QBYSummaryDataNamesKey].arrayPtr()->size(), 3u);
}

TEST_F(QueriesTest, SummaryTakesTheFirstDayOnOrAfterTheDate) {
  auto early = delivery("early");
  early->setModified(1234);
  detail(early, "Yesterday", day(-1));
  // Lines without a delivered day (absent or empty) neither stop nor join the walk.
  detail(early, "Undated", std::nullopt);
  detail(early, "Empty", std::string());
  auto due = delivery("due");
  due->setModified(5678);
  detail(due, "Tomorrow A", day(1));
  detail(due, "Tomorrow B", day(1), std::string("checkmark"));
  detail(due, "Tomorrow A", day(1));
  detail(due, "Later", day(3));
  save();

  const QBYSummaryData summary = summaryDataForDate(*store, now(), false);
  EXPECT_EQ(summary.names, (Strings{"Tomorrow A", "Tomorrow B"}));
  ASSERT_TRUE(summary.date);
  EXPECT_EQ(*summary.date, startOfDay(2).addingTimeInterval(-1));
  EXPECT_EQ(summary.startDate, Date(5678));
  EXPECT_FALSE(summary.delivered);
  EXPECT_FALSE(summary.objects);
  EXPECT_TRUE(summary.dictionary().contains(QBYSummaryDataStartDateKey));
}

TEST_F(QueriesTest, AnUnreadableDayEndsTheWalkWhereverItSorts) {
  auto record = delivery("one");
  detail(record, "Tomorrow", day(1));
  // Sorts before every real day, is no calendar day: the walk stops there and finds no day.
  auto broken = detail(record, "Broken", std::string("1999-02-30"));
  save();
  QBYSummaryData summary = summaryDataForDate(*store, now(), false);
  EXPECT_FALSE(summary.date);
  Strings names = summary.names;
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (Strings{"Broken", "Tomorrow"}));

  // A real day long past is only skipped.
  broken->setDeliveredDateString(std::string("1999-02-28"));
  save();
  summary = summaryDataForDate(*store, now(), false);
  EXPECT_EQ(summary.date, startOfDay(2).addingTimeInterval(-1));
  EXPECT_EQ(summary.names, (Strings{"Tomorrow"}));
}

TEST_F(QueriesTest, SummaryDayIsDeliveredWhenEveryEntryIs) {
  auto today = delivery("today");
  detail(today, "One", day(0), std::string("checkmark"));
  detail(today, "Two", day(0), std::string("checkmark"));
  save();
  EXPECT_TRUE(summaryDataForDate(*store, now(), false).delivered);
  // Seen from the day before, that day's first line does not count as delivered.
  const QBYSummaryData before = summaryDataForDate(*store, startOfDay(-1), false);
  EXPECT_EQ(before.date, startOfDay(1).addingTimeInterval(-1));
  EXPECT_FALSE(before.delivered);
}

TEST_F(QueriesTest, TimelineCoversFiveDaysAndItsHashFollowsChanges) {
  auto record = delivery("one");
  auto line = detail(record, "Box", day(1));
  save();
  const QBYSummaryTimeline first = summaryTimelineWithData(*store, true, false);
  EXPECT_EQ(first.date, startOfDay(0));
  ASSERT_TRUE(first.entries);
  ASSERT_EQ(first.entries->size(), 5u);
  EXPECT_EQ(first.entries->front().first, day(-2));
  EXPECT_EQ(first.entries->back().first, day(2));
  // Every day up to tomorrow shows tomorrow; the day after has nothing due any more.
  EXPECT_EQ((*first.entries)[3].second.date, startOfDay(2).addingTimeInterval(-1));
  EXPECT_FALSE((*first.entries)[4].second.date);
  EXPECT_EQ(std::count(first.hash.begin(), first.hash.end(), '/'), 5);
  EXPECT_EQ(summaryTimelineWithData(*store, false, false).hash, first.hash);
  EXPECT_FALSE(summaryTimelineWithData(*store, false, false).entries);
  EXPECT_TRUE(first.dictionary().contains(QBYSummaryDataEntriesKey));

  line->setDeliveredDateString(day(2));
  save();
  EXPECT_NE(summaryTimelineWithData(*store, false, false).hash, first.hash);
}

// --- Failures --------------------------------------------------------------------------------

TEST_F(QueriesTest, FailedFetchesAreLoggedAndAnswerNothing) {
  delivery("one", "box");
  save();
  // Another program's damage: the tables the queries read are gone.
  sqlite3* raw = store->persistentStore()->openConnection();
  ASSERT_TRUE(raw);
  ASSERT_EQ(sqlite3_exec(raw,
                         R"(ALTER TABLE "Delivery" RENAME TO "Gone1";)"
                         R"(ALTER TABLE "Service" RENAME TO "Gone2";)",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close_v2(raw);

  QBYDeliverySettings settings;
  settings.no = "1";
  EXPECT_TRUE(deliveriesForProcessType(*store, 0).empty());
  EXPECT_FALSE(hasAnyDeliveriesInContext(*context));
  EXPECT_TRUE(deliveriesWithSettings(*store, settings, false, false, 0).empty());
  EXPECT_TRUE(deliveriesMatchingSearch(*store, std::string("box"), 0, 0, true).empty());
  EXPECT_TRUE(deliveriesForCalendarUpdateInContext(*context).empty());
  EXPECT_TRUE(servicesMarkedAsFavorites(*store, true).empty());
  EXPECT_FALSE(serviceForDomain(*store, std::string("a.com")));
  EXPECT_FALSE(nextBackgroundUpdateInContext(*store));
  const QBYSummaryData summary = summaryDataForDate(*store, std::nullopt, false);
  EXPECT_TRUE(summary.names.empty());
  EXPECT_FALSE(summary.delivered);

  for (const char* text :
       {"Error fetching deliveries: Error Domain=", "Error fetching any deliveries: Error",
        "Error fetching existing deliveries: Error", "Error searching deliveries: Error",
        "Error getting deliveries for calendar update: Error", "Error fetching services: Error",
        "Error getting service a.com: Error", "Error getting next background update: Error",
        "Error fetching details for summary: Error"}) {
    EXPECT_EQ(logs.linesContaining(text).size(), 1u) << text;
  }
  EXPECT_TRUE(logs.linesContaining("Service not found").empty());
}

}  // namespace
}  // namespace qby::test
