// The manager's side of calendar events against a real store file: which deliveries are
// written after an update run, how the dates before the last results find the old events, the
// conversion of the older setting, switching off for a vanished calendar, archiving (future
// events only) versus deleting, and moving to another calendar.
#include "manager/QBYDeliveriesCalendar.h"

#include <gtest/gtest.h>

#include <future>

#include "CalendarTestSupport.h"
#include "model/Delivery.h"
#include "model/Detail.h"
#include "model/Service.h"
#include "store/QBYDataStore.h"

namespace qby::test {
namespace {

class DeliveriesCalendarTest : public CalendarTest {
 protected:
  void SetUp() override {
    CalendarTest::SetUp();
    dataStore = std::make_unique<QBYDataStore>(makeTempDir("store") / "Porvane.sqlite");
    ASSERT_TRUE(dataStore->available());
    context = dataStore->viewContext().get();
    service = context->insert<Service>("Service");
    service->setFrom("parcel.example");
    service->setShortName("Parcel Co");
    calendar = makeCalendar("Deliveries");
    manager = QBYDeliveriesCalendar::create(store.get(), defaults.get());
  }

  void TearDown() override {
    manager.reset();
    context = nullptr;
    dataStore.reset();
    CalendarTest::TearDown();
  }

  void turnOn(const QBYEventCalendar& chosen) {
    defaults->setObject(Value(defaultsSafeCalendarInfo(*calendarInfo(chosen))),
                        QBYDeliveriesCalendarInfoKey);
  }

  // An active delivery whose status changed just now, with one line per (item, day, icon).
  struct Line {
    std::string item;
    std::optional<std::string> day;
    std::string icon;
  };
  std::shared_ptr<Delivery> delivery(const std::string& uuid, const std::vector<Line>& lines,
                                     double changedSecondsAgo = 0) {
    auto record = context->insert<Delivery>("Delivery");
    record->setUuid(uuid);
    record->setArchived(false);
    record->setFrom("parcel.example");
    record->setService(service);
    record->setStatusChangedOrModifiedDate(Date::now().addingTimeInterval(-changedSecondsAgo));
    for (const auto& line : lines) {
      auto detail = context->insert<Detail>("Detail");
      detail->setIndex(static_cast<std::int64_t>(record->details().size()));
      detail->setItemName(line.item);
      detail->setDeliveredDateString(line.day);
      detail->setIcon(line.icon);
      detail->setDelivery(record);
    }
    return record;
  }

  static std::string linkFor(const std::string& uuid) { return "porvane://show/" + uuid; }

  bool update() {
    EXPECT_TRUE(context->save());
    std::promise<bool> done;
    manager->updateCalendarEvents(*dataStore, [&](bool changed) { done.set_value(changed); });
    auto result = done.get_future();
    EXPECT_EQ(result.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    return result.get();
  }

  bool move(const std::optional<std::string>& from, const std::optional<std::string>& to,
            const std::vector<std::shared_ptr<Delivery>>& list) {
    EXPECT_TRUE(context->save());
    std::vector<QBYManagedObjectID> ids;
    for (const auto& record : list) ids.push_back(record->objectID());
    std::promise<bool> done;
    manager->moveEventsFromCalendarIdentifier(from, to, ids, *dataStore,
                                              [&](bool changed) { done.set_value(changed); });
    auto result = done.get_future();
    EXPECT_EQ(result.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    return result.get();
  }

  static std::vector<std::string> titles(const std::vector<QBYCalendarEvent>& events) {
    std::vector<std::string> list;
    for (const auto& event : events) list.push_back(event.title);
    return list;
  }

  std::unique_ptr<QBYDataStore> dataStore;
  QBYManagedObjectContext* context = nullptr;
  std::shared_ptr<Service> service;
  QBYEventCalendar calendar;
  std::shared_ptr<QBYDeliveriesCalendar> manager;
};

const std::string kCheck = "\xE2\x9C\x93\xC2\xA0";  // U+2713 and U+00A0

TEST(EventDictionaryTest, DeliveredItemsGetTheCheckMarkTitleAndKeepThePlainOne) {
  const Date date(1614556800);
  EXPECT_EQ(QBYDeliveriesCalendar::eventDictionaryForName("Shoes", date, "transit"),
            (Dictionary{{"QBYEventTitle", "Shoes"}, {"QBYEventDate", date}}));
  EXPECT_EQ(QBYDeliveriesCalendar::eventDictionaryForName("Shoes", date, std::nullopt),
            (Dictionary{{"QBYEventTitle", "Shoes"}, {"QBYEventDate", date}}));
  EXPECT_EQ(QBYDeliveriesCalendar::eventDictionaryForName("Shoes", date, "checkmark"),
            (Dictionary{{"QBYEventTitle", kCheck + "Shoes"},
                        {"QBYEventTitleAlternate", "Shoes"},
                        {"QBYEventDate", date}}));
  // A "%@" in a name is text, not a placeholder.
  EXPECT_EQ(QBYDeliveriesCalendar::eventDictionaryForName("100%@ cotton", date,
                                                          "checkmark")["QBYEventTitle"],
            Value(kCheck + "100%@ cotton"));
}

TEST_F(DeliveriesCalendarTest, OffWithoutSettings) {
  delivery("A", {{"Lamp", dayText(2), ""}});
  EXPECT_FALSE(manager->calendarEventsEnabled());
  EXPECT_FALSE(update());
  EXPECT_TRUE(allEvents(calendar).empty());
}

TEST_F(DeliveriesCalendarTest, UpdateWritesEveryDatedLineOfRecentlyChangedDeliveries) {
  turnOn(calendar);
  delivery("A", {{"Lamp", dayText(2), "transit"},
                 {"Shoes", dayText(0), "checkmark"},
                 {"Undated", std::nullopt, ""},
                 {"Bad day", std::string("2021-02-30"), ""}});
  delivery("OLD", {{"Chair", dayText(3), ""}}, 4 * 3600);  // changed 4 hours ago
  auto archived = delivery("GONE", {{"Table", dayText(3), ""}});
  archived->setArchived(true);

  EXPECT_TRUE(update());
  const auto events = eventsOnDisk(calendar);
  EXPECT_EQ(titles(events), (std::vector<std::string>{kCheck + "Shoes", "Lamp"}));
  for (const auto& event : events) {
    EXPECT_EQ(event.url, linkFor("A"));
    EXPECT_EQ(event.location, "Parcel Co");
    EXPECT_EQ(event.availability, QBYEventAvailability::Free);
  }
  EXPECT_EQ(events[0].startDate, day(0));
  EXPECT_EQ(events[1].startDate, day(2));
  // Nothing changed since: a second run writes nothing.
  EXPECT_FALSE(update());
}

TEST_F(DeliveriesCalendarTest, DatesBeforeTheLastResultsFindTheOldEventsOnce) {
  turnOn(calendar);
  // The event of an earlier run, 12 days before the new date: only the remembered date
  // finds it.
  const auto earlier = seed({allDayEvent(calendar, "Lamp", day(1), linkFor("A"))})[0];
  delivery("A", {{"Lamp", dayText(13), ""}});
  manager->setPreviousEventDates("A", {day(1)});
  manager->setPreviousEventDates("B", {day(4)});  // a delivery not in this run
  EXPECT_TRUE(update());

  const auto events = eventsOnDisk(calendar);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].eventIdentifier, earlier.eventIdentifier);
  EXPECT_EQ(events[0].startDate, day(13));
  const auto left = manager->previousEventDates();
  EXPECT_FALSE(left.contains("A"));
  EXPECT_TRUE(left.contains("B"));
}

TEST_F(DeliveriesCalendarTest, AVanishedCalendarSwitchesEventsOff) {
  turnOn(calendar);
  delivery("A", {{"Lamp", dayText(2), ""}});
  std::filesystem::remove(backend->fileForCalendar(calendar.identifier));
  EXPECT_FALSE(update());
  EXPECT_FALSE(manager->calendarEventsEnabled());
  EXPECT_EQ(
      logs.linesContaining("Calendar not found for identifier: " + calendar.identifier).size(), 1u);
}

TEST_F(DeliveriesCalendarTest, CommitFailuresAreLoggedAndRetriedNextRun) {
  turnOn(calendar);
  delivery("A", {{"Lamp", dayText(2), ""}});
  failWrites = true;
  EXPECT_TRUE(update());
  EXPECT_EQ(logs.linesContaining("Error commiting calendar changes: ").size(), 1u);
  EXPECT_TRUE(eventsOnDisk(calendar).empty());
  failWrites = false;
  ASSERT_TRUE(store->commit(nullptr));
  EXPECT_EQ(titles(eventsOnDisk(calendar)), (std::vector<std::string>{"Lamp"}));
}

TEST_F(DeliveriesCalendarTest, OlderSettingBecomesAnInfoDictionary) {
  defaults->setObject(Value(calendar.identifier), QBYDeliveriesCalendarKey);
  manager->updateCalendarSettings();
  EXPECT_FALSE(defaults->stringForKey(QBYDeliveriesCalendarKey));
  const auto info = manager->calendarSettings();
  ASSERT_TRUE(info);
  EXPECT_EQ(*info, defaultsSafeCalendarInfo(*calendarInfo(calendar)));
  EXPECT_FALSE(info->contains("QBYCalendarColor"));
  EXPECT_EQ(logs.linesContaining("Updating calendar info: ").size(), 1u);

  // An identifier no calendar has any more leaves calendar events off.
  defaults->setObject(Value("no-such-calendar"), QBYDeliveriesCalendarKey);
  manager->updateCalendarSettings();
  EXPECT_FALSE(defaults->stringForKey(QBYDeliveriesCalendarKey));
  EXPECT_FALSE(manager->calendarEventsEnabled());
}

TEST_F(DeliveriesCalendarTest, ArchivingRemovesOnlyFutureEventsDeletingRemovesAll) {
  turnOn(calendar);
  auto record = delivery(
      "A",
      {{"Lamp", dayText(-2), "checkmark"}, {"Shoes", dayText(0), ""}, {"Socks", dayText(3), ""}});
  EXPECT_TRUE(update());
  ASSERT_EQ(eventsOnDisk(calendar).size(), 3u);

  manager->deleteEventsForDelivery(*record, true);
  // Today's event began before now: it is not a future one.
  EXPECT_EQ(titles(eventsOnDisk(calendar)), (std::vector<std::string>{kCheck + "Lamp", "Shoes"}));
  manager->deleteEventsForDelivery(*record, false);
  EXPECT_TRUE(eventsOnDisk(calendar).empty());
}

TEST_F(DeliveriesCalendarTest, MovingWithinTheAccountMovesTheEventsThemselves) {
  turnOn(calendar);
  auto lamp = delivery("A", {{"Lamp", dayText(2), ""}});
  auto desk = delivery("B", {{"Desk", dayText(4), ""}});
  EXPECT_TRUE(update());
  const auto before = eventsOnDisk(calendar);
  ASSERT_EQ(before.size(), 2u);

  const auto other = makeCalendar("Parcels", QBYCalendarTypeExchange);
  store->refreshSources();
  EXPECT_TRUE(move(calendar.identifier, other.identifier, {lamp, desk}));
  EXPECT_TRUE(eventsOnDisk(calendar).empty());
  const auto after = eventsOnDisk(other);
  ASSERT_EQ(after.size(), 2u);
  EXPECT_EQ(after[0].eventIdentifier, before[0].eventIdentifier);
  EXPECT_EQ(after[1].eventIdentifier, before[1].eventIdentifier);
  // The new calendar keeps links in the notes.
  EXPECT_EQ(after[0].notes, linkFor("A"));

  // "None": the events are removed; and back from nothing they are written anew.
  EXPECT_TRUE(move(other.identifier, std::nullopt, {lamp, desk}));
  EXPECT_TRUE(eventsOnDisk(other).empty());
  EXPECT_TRUE(move(std::nullopt, calendar.identifier, {lamp}));
  EXPECT_EQ(titles(eventsOnDisk(calendar)), (std::vector<std::string>{"Lamp"}));
  EXPECT_FALSE(move(std::nullopt, std::nullopt, {lamp}));
}

TEST_F(DeliveriesCalendarTest, BlocksThatOutliveTheirOwnerDoNothing) {
  turnOn(calendar);
  delivery("A", {{"Lamp", dayText(2), ""}});
  ASSERT_TRUE(context->save());
  std::promise<bool> done;
  // The background queue is busy while the owner goes away.
  std::promise<void> release;
  auto gate = release.get_future().share();
  dataStore->performBackgroundTask([gate](QBYManagedObjectContext&) { gate.wait(); });
  manager->updateCalendarEvents(*dataStore, [&](bool changed) { done.set_value(changed); });
  manager.reset();
  release.set_value();
  auto result = done.get_future();
  ASSERT_EQ(result.wait_for(std::chrono::seconds(60)), std::future_status::ready);
  EXPECT_FALSE(result.get());
  EXPECT_TRUE(allEvents(calendar).empty());
}

}  // namespace
}  // namespace qby::test
