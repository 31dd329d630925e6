// The calendar store: access requests, the calendars offered and found again after an account
// came back, and the rules that write a delivery's events: reuse by title near the old dates,
// the check-mark title, the 8-day search, the 7-day limit, Exchange-style links in the notes,
// moving between calendars, and leaving other events alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "CalendarTestSupport.h"
#include "platform/MainQueue.h"

namespace qby::test {
namespace {

constexpr const char* kLink = "porvane://show/11111111-2222-3333-4444-555555555555";
constexpr const char* kOtherLink = "porvane://show/99999999-2222-3333-4444-555555555555";

// A backend whose access question stays open until the test answers it.
class PendingAccessBackend : public QBYCalendarBackend {
 public:
  QBYCalendarAuthorization status = QBYCalendarAuthorization::NotDetermined;
  int requests = 0;
  std::function<void(bool, std::optional<QBYError>)> answer;

  QBYCalendarAuthorization authorizationStatus() const override { return status; }
  void requestAccess(std::function<void(bool, std::optional<QBYError>)> done) override {
    ++requests;
    answer = std::move(done);
  }
  void refreshSources() override {}
  std::vector<QBYEventCalendar> calendars() const override { return {}; }
  std::vector<QBYCalendarEvent> events(Date, Date, const std::vector<std::string>&) const override {
    return {};
  }
  bool saveEvent(QBYCalendarEvent&, const std::optional<std::string>&, QBYError*) override {
    return false;
  }
  bool removeEvent(const QBYCalendarEvent&, QBYError*) override { return false; }
  bool commit(QBYError*) override { return true; }
};

using StoreTest = CalendarTest;

// --- Access -------------------------------------------------------------------------------------

TEST_F(StoreTest, LocalCalendarsAreAlwaysAuthorised) {
  std::optional<bool> answer;
  store->requestAccessWithCompletion([&](bool granted) { answer = granted; });
  EXPECT_EQ(answer, true);
  EXPECT_FALSE(store->requestingAccess());
}

TEST_F(StoreTest, ASecondRequestWaitsForTheRunningOneAndDenialIsLogged) {
  auto pending = std::make_shared<PendingAccessBackend>();
  QBYCalendarStore asking(pending, defaults.get());
  std::vector<bool> answers;
  asking.requestAccessWithCompletion([&](bool granted) { answers.push_back(granted); });
  asking.requestAccessWithCompletion([&](bool granted) { answers.push_back(granted); });
  EXPECT_TRUE(asking.requestingAccess());
  EXPECT_EQ(pending->requests, 1);
  EXPECT_TRUE(answers.empty());

  pending->answer(false, QBYError::make("com.example.calendar", 7, "No"));
  EXPECT_FALSE(asking.requestingAccess());
  EXPECT_EQ(answers, (std::vector<bool>{false, false}));
  const auto denied = logs.linesContaining("Calendar access denied: ");
  ASSERT_EQ(denied.size(), 1u);
  EXPECT_NE(denied[0].find("com.example.calendar"), std::string::npos);

  // Once decided, the answer comes at once and nothing is asked again.
  pending->status = QBYCalendarAuthorization::Denied;
  answers.clear();
  asking.requestAccessWithCompletion([&](bool granted) { answers.push_back(granted); });
  pending->status = QBYCalendarAuthorization::Restricted;
  asking.requestAccessWithCompletion([&](bool granted) { answers.push_back(granted); });
  pending->status = QBYCalendarAuthorization::Authorized;
  asking.requestAccessWithCompletion([&](bool granted) { answers.push_back(granted); });
  EXPECT_EQ(answers, (std::vector<bool>{false, false, true}));
  EXPECT_EQ(pending->requests, 1);
}

TEST_F(StoreTest, AnAnswerFromAnotherThreadIsHandedOverOnTheMainThread) {
  auto pending = std::make_shared<PendingAccessBackend>();
  QBYCalendarStore asking(pending, defaults.get());
  std::vector<bool> onMainThread;
  asking.requestAccessWithCompletion(
      [&](bool granted) { onMainThread.push_back(granted && MainQueue::isMainThread()); });
  ASSERT_TRUE(pending->answer);

  std::thread backend([answer = pending->answer] { answer(true, std::nullopt); });
  backend.join();
  // The answer waits for the main loop: until then the request is still running.
  EXPECT_TRUE(onMainThread.empty());
  EXPECT_TRUE(asking.requestingAccess());
  ASSERT_TRUE(MainQueue::runUntil([&] { return !onMainThread.empty(); }, 10.0));
  EXPECT_EQ(onMainThread, std::vector<bool>{true});
  EXPECT_FALSE(asking.requestingAccess());
}

// --- Calendars ----------------------------------------------------------------------------------

TEST(SharedCalendarStoreTest, FirstUseMakesOneCalendarForDeliveries) {
  auto& shared = QBYCalendarStore::sharedStore();
  EXPECT_EQ(&shared, &QBYCalendarStore::sharedStore());
  const auto list = shared.eventCalendars();
  const auto* group = list["On This Computer"].arrayPtr();
  ASSERT_TRUE(group);
  ASSERT_EQ(group->size(), 1u);
  EXPECT_EQ((*group)[0][QBYCalendarTitle], Value("Deliveries"));
  const auto identifier = *(*group)[0][QBYCalendarIdentifier].asString();
  EXPECT_TRUE(std::filesystem::is_regular_file(QBYICSCalendarBackend::defaultFolder() /
                                               (identifier + ".ics")));
}

TEST_F(StoreTest, CalendarListHoldsChangeableCalendarsSortedByTitle) {
  makeCalendar("Work 10");
  makeCalendar("work 2");
  makeCalendar("Holidays", QBYCalendarTypeSubscription);
  const auto plain = makeCalendar("Äpfel", QBYCalendarTypeExchange, std::nullopt);
  writeFile(folder / "broken.ics", "nonsense");
  store->refreshSources();

  const auto list = store->eventCalendars();
  ASSERT_EQ(list.keys(), (std::vector<std::string>{"On This Computer"}));
  const auto* group = list["On This Computer"].arrayPtr();
  ASSERT_TRUE(group);
  std::vector<std::string> titles;
  for (const auto& info : *group) titles.push_back(*info[QBYCalendarTitle].asString());
  EXPECT_EQ(titles, (std::vector<std::string>{"Äpfel", "work 2", "Work 10"}));

  const Dictionary expected{{QBYCalendarIdentifier, plain.identifier},
                            {QBYCalendarType, 2},
                            {QBYCalendarTitle, "Äpfel"},
                            {QBYCalendarColor, "#FFFFFF"},
                            {QBYCalendarSourceIdentifier, "local"},
                            {QBYCalendarSourceTitle, "On This Computer"}};
  EXPECT_EQ(*(*group)[0].dictionaryPtr(), expected);
  EXPECT_EQ(defaultsSafeCalendarInfo(expected).keys(),
            (std::vector<std::string>{QBYCalendarIdentifier, QBYCalendarType, QBYCalendarTitle,
                                      QBYCalendarSourceIdentifier, QBYCalendarSourceTitle}));
}

TEST_F(StoreTest, CalendarFoundAgainAfterItsAccountCameBack) {
  const auto calendar = makeCalendar("Deliveries");
  auto info = *calendarInfo(calendar);
  constexpr const char* kKey = "QBYDeliveriesCalendarInfo";
  defaults->setObject(Value(defaultsSafeCalendarInfo(info)), kKey);

  // Present: found as it is, nothing stored.
  auto found = store->eventCalendarFromInfo(info, kKey);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->identifier, calendar.identifier);
  EXPECT_TRUE(logs.lines().empty());

  // Gone, but a changeable calendar of the same account and title exists: the same calendar.
  std::filesystem::remove(backend->fileForCalendar(calendar.identifier));
  makeCalendar("Deliveries", QBYCalendarTypeSubscription);  // not changeable, not taken
  const auto again = makeCalendar("Deliveries");
  store->refreshSources();
  found = store->eventCalendarFromInfo(info, kKey);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->identifier, again.identifier);
  auto stored = defaults->dictionaryForKey(kKey);
  ASSERT_TRUE(stored);
  EXPECT_EQ((*stored)[QBYCalendarIdentifier], Value(again.identifier));
  EXPECT_EQ((*stored)[QBYCalendarTitle], Value("Deliveries"));
  EXPECT_EQ(logs.linesContaining("Calendar identifier changed: " + again.identifier).size(), 1u);

  // Gone without a successor: calendar events are switched off.
  std::filesystem::remove(backend->fileForCalendar(again.identifier));
  store->refreshSources();
  EXPECT_FALSE(store->eventCalendarFromInfo(*stored, kKey));
  EXPECT_FALSE(defaults->dictionaryForKey(kKey));
  EXPECT_EQ(logs.linesContaining("Calendar not found for identifier: " + again.identifier).size(),
            1u);
}

TEST_F(StoreTest, EventsNearADateReachEightDaysEachWay) {
  const auto calendar = makeCalendar("Deliveries");
  seed({allDayEvent(calendar, "-9", day(-9), kLink), allDayEvent(calendar, "-8", day(-8), kLink),
        allDayEvent(calendar, "+8", day(8), kLink), allDayEvent(calendar, "+9", day(9), kLink)});
  std::vector<std::string> titles;
  for (const auto& event : store->eventsWithDate(Date::now(), calendar))
    titles.push_back(event.title);
  EXPECT_EQ(titles, (std::vector<std::string>{"-8", "+8"}));
}

// --- Writing a delivery's events ----------------------------------------------------------------

class WriteTest : public CalendarTest {
 protected:
  void SetUp() override {
    CalendarTest::SetUp();
    calendar = makeCalendar("Deliveries");
  }

  bool write(const std::vector<Date>& replacing, const std::vector<Dictionary>& details,
             std::optional<std::string> notes = std::nullopt,
             const std::optional<QBYEventCalendar>& target = std::nullopt,
             const std::optional<QBYEventCalendar>& from = std::nullopt) {
    return store->addEventsToCalendar(target.value_or(calendar), from, replacing, details, kLink,
                                      std::string("Parcel Co"), notes);
  }
  static Dictionary item(const std::string& title, Date date) {
    return Dictionary{{QBYEventTitle, title}, {QBYEventDate, date}};
  }
  static Dictionary delivered(const std::string& name, Date date) {
    return Dictionary{{QBYEventTitle, "\u2713\u00A0" + name},
                      {QBYEventTitleAlternate, name},
                      {QBYEventDate, date}};
  }
  std::vector<QBYCalendarEvent> committed(const QBYEventCalendar& which) {
    QBYError error;
    EXPECT_TRUE(store->commit(&error)) << error.description();
    return eventsOnDisk(which);
  }

  QBYEventCalendar calendar;
};

// The deliveries calendar writes from the data store's queue while a window lists the
// calendars: neither may see the backend half changed.
TEST_F(WriteTest, ListingCalendarsWhileAnotherThreadWritesIsSafe) {
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int round = 0; round < 150; ++round) {
      store->refreshSources();
      write({day(2)}, {item("Shoes " + std::to_string(round), day(2))});
      store->commit(nullptr);
    }
    done = true;
  });
  int reads = 0;
  while (!done || reads == 0) {
    EXPECT_EQ(store->eventCalendars().size(), 1u);
    EXPECT_LE(store->eventsWithDate(day(2), calendar).size(), 1u);
    ++reads;
  }
  writer.join();
  const auto events = committed(calendar);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].title, "Shoes 149");
}

TEST_F(WriteTest, NewEventsAreAllDayFreeAndLinkedAndAreNotSavedTwice) {
  EXPECT_TRUE(write({day(2)}, {item("Shoes", day(2)), item("Socks", day(3))}));
  const auto events = committed(calendar);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].title, "Shoes");
  EXPECT_TRUE(events[0].allDay);
  EXPECT_EQ(events[0].startDate, day(2));
  EXPECT_EQ(events[0].endDate, day(2));
  EXPECT_EQ(events[0].url, kLink);
  EXPECT_FALSE(events[0].notes);
  EXPECT_EQ(events[0].location, "Parcel Co");
  EXPECT_EQ(events[0].availability, QBYEventAvailability::Free);
  EXPECT_EQ(events[1].title, "Socks");

  // The same request again changes nothing; the file is not touched.
  const std::string before = fileText(calendar);
  EXPECT_FALSE(write({day(2), day(3)}, {item("Shoes", day(2)), item("Socks", day(3))}));
  EXPECT_TRUE(store->commit(nullptr));
  EXPECT_EQ(fileText(calendar), before);
}

TEST_F(WriteTest, DeliveredItemReplacesTheEventTitledWithThePlainName) {
  const auto earlier = seed({allDayEvent(calendar, "Shoes", day(2), kLink)})[0];
  EXPECT_TRUE(write({day(2)}, {delivered("Shoes", day(1))}));
  const auto events = committed(calendar);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].eventIdentifier, earlier.eventIdentifier);
  EXPECT_EQ(events[0].title, "\u2713\u00A0Shoes");
  EXPECT_EQ(events[0].startDate, day(1));
  // And the check-mark title itself is recognised on the next run.
  EXPECT_FALSE(write({day(1)}, {delivered("Shoes", day(1))}));
}

TEST_F(WriteTest, AnEventIsFoundWithinEightDaysOfTheDatesReplaced) {
  const auto near = seed({allDayEvent(calendar, "Lamp", day(2), kLink)})[0];
  // Only the new date is known: 8 days away the old event is still found and moved.
  EXPECT_TRUE(write({day(10)}, {item("Lamp", day(10))}));
  auto events = committed(calendar);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].eventIdentifier, near.eventIdentifier);
  EXPECT_EQ(events[0].startDate, day(10));

  // 9 days away it is not: a new event is made and the old one stays.
  EXPECT_TRUE(write({day(19)}, {item("Lamp", day(19))}));
  events = committed(calendar);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].eventIdentifier, near.eventIdentifier);
  EXPECT_NE(events[1].eventIdentifier, near.eventIdentifier);
}

TEST_F(WriteTest, EventsOlderThanAWeekAreNeitherReusedNorRemoved) {
  const auto old = seed({allDayEvent(calendar, "Chair", day(-8), kLink),
                         allDayEvent(calendar, "Table", day(-8), kLink)});
  const auto recent = seed({allDayEvent(calendar, "Stool", day(-6), kLink)})[0];
  // Chair moves to tomorrow, Table and Stool are no longer asked for.
  EXPECT_TRUE(write({day(-8), day(-6)}, {item("Chair", day(1))}));
  const auto events = committed(calendar);
  std::vector<std::string> left;
  for (const auto& event : events)
    left.push_back(event.title + "@" + event.startDate.description());
  ASSERT_EQ(events.size(), 3u) << testing::PrintToString(left);
  EXPECT_EQ(events[0].eventIdentifier, old[0].eventIdentifier);  // old Chair left alone
  EXPECT_EQ(events[1].eventIdentifier, old[1].eventIdentifier);  // old Table left alone
  EXPECT_EQ(events[2].title, "Chair");
  EXPECT_EQ(events[2].startDate, day(1));
  EXPECT_NE(events[2].eventIdentifier, old[0].eventIdentifier);
  EXPECT_NE(events[2].eventIdentifier, recent.eventIdentifier);  // Stool was removed
}

TEST_F(WriteTest, OnlyTheDeliverysOwnEventsAreTouched) {
  auto own = allDayEvent(calendar, "Mine", day(2), std::nullopt);  // a user's, no link
  auto other = allDayEvent(calendar, "Lamp", day(2), kOtherLink);
  seed({own, other, allDayEvent(calendar, "Lamp", day(2), kLink)});
  // The delivery's Lamp is gone from its results: only that event goes.
  EXPECT_TRUE(write({day(2)}, {item("Desk", day(2))}));
  std::vector<std::string> left;
  for (const auto& event : committed(calendar)) left.push_back(event.title);
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"Desk", "Lamp", "Mine"}));
  // Without a link nothing belongs to a delivery, not even events without one.
  EXPECT_FALSE(store->removeEventsFromCalendar(calendar, {day(2)}, std::nullopt));
  EXPECT_FALSE(store->removeEventsFromCalendar(calendar, {day(2)}, std::string()));
}

TEST_F(WriteTest, ExchangeCalendarsKeepTheLinkInTheNotes) {
  const auto exchange = makeCalendar("Office", QBYCalendarTypeExchange);
  // An event written earlier with notes of its own before the link.
  auto earlier = allDayEvent(exchange, "Printer", day(3), std::nullopt);
  earlier.notes = std::string("Order 42\n") + kLink;
  earlier = seed({earlier})[0];
  EXPECT_TRUE(
      write({day(3)}, {item("Printer", day(4)), item("Toner", day(4))}, std::nullopt, exchange));
  auto events = committed(exchange);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].eventIdentifier, earlier.eventIdentifier);
  for (const auto& event : events) {
    EXPECT_FALSE(event.url);
    EXPECT_EQ(event.notes, kLink);
  }
  EXPECT_TRUE(write({day(4)}, {item("Printer", day(4))}, std::string("Gift"), exchange));
  events = committed(exchange);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].notes, std::string("Gift\n") + kLink);

  // An ordinary calendar keeps the link in its field and the notes only when given.
  EXPECT_TRUE(write({day(4)}, {item("Printer", day(4))}, std::string("Gift")));
  events = committed(calendar);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].url, kLink);
  EXPECT_EQ(events[0].notes, "Gift");
}

TEST_F(WriteTest, EventsFoundInTheSourceCalendarMoveOver) {
  const auto target = makeCalendar("Parcels");
  const auto source = seed({allDayEvent(calendar, "Lamp", day(2), kLink),
                            allDayEvent(calendar, "Cable", day(2), kLink)});
  EXPECT_TRUE(write({day(2)}, {item("Lamp", day(2))}, std::nullopt, target, calendar));
  EXPECT_TRUE(committed(calendar).empty());  // Lamp moved, Cable no longer asked for
  const auto moved = eventsOnDisk(target);
  ASSERT_EQ(moved.size(), 1u);
  EXPECT_EQ(moved[0].eventIdentifier, source[0].eventIdentifier);
}

TEST_F(WriteTest, FailuresAreLoggedAndTheRestGoesOn) {
  const auto readOnly = makeCalendar("Holidays", QBYCalendarTypeSubscription);
  EXPECT_FALSE(write({day(1)}, {item("Lamp", day(1))}, std::nullopt, readOnly));
  EXPECT_EQ(logs.linesContaining("Error saving event: ").size(), 1u);

  write({day(1)}, {item("Lamp", day(1))});
  failWrites = true;
  QBYError error;
  EXPECT_FALSE(store->commit(&error));
  EXPECT_EQ(error.code, QBYCalendarErrorWriteFailed);
}

TEST_F(WriteTest, RemovingTakesTheDeliverysEventsNearTheDates) {
  seed({allDayEvent(calendar, "Lamp", day(-20), kLink),
        allDayEvent(calendar, "Lamp", day(1), kLink), allDayEvent(calendar, "Desk", day(5), kLink),
        allDayEvent(calendar, "Desk", day(5), kOtherLink)});
  EXPECT_TRUE(store->removeEventsFromCalendar(calendar, {day(1), day(3)}, kLink));
  std::vector<std::string> left;
  for (const auto& event : committed(calendar)) left.push_back(event.title + " " + *event.url);
  EXPECT_EQ(left, (std::vector<std::string>{std::string("Lamp ") + kLink,
                                            std::string("Desk ") + kOtherLink}));
  EXPECT_FALSE(store->removeEventsFromCalendar(calendar, {day(1)}, kLink));
}

}  // namespace
}  // namespace qby::test
