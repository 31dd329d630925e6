// The calendar files: what lands in them (read back with libical itself), that nothing is
// written before commit and a failed write keeps the old file, that two processes writing the
// same calendar keep each other's events, that foreign content survives, and that a damaged
// file is reported and never written over.
#include <gtest/gtest.h>

#include <fstream>

#include "CalendarTestSupport.h"

namespace qby::test {
namespace {

using BackendTest = CalendarTest;

TEST_F(BackendTest, NewCalendarFileCarriesTitleColourAndIdentifier) {
  const auto calendar = makeCalendar("Parcels, home; 2", QBYCalendarTypeLocal, "#1BADF8");
  EXPECT_EQ(backend->fileForCalendar(calendar.identifier), folder / (calendar.identifier + ".ics"));

  ParsedCalendar parsed(fileText(calendar));
  ASSERT_TRUE(parsed.root);
  EXPECT_EQ(icalcomponent_isa(parsed.root), ICAL_VCALENDAR_COMPONENT);
  EXPECT_EQ(parsed.x("X-WR-CALNAME"), "Parcels, home; 2");
  EXPECT_EQ(parsed.x("X-APPLE-CALENDAR-COLOR"), "#1BADF8");
  EXPECT_EQ(parsed.x("X-WR-RELCALID"), calendar.identifier);
  EXPECT_FALSE(parsed.x("X-PORVANE-CALENDAR-TYPE"));

  // Another process sees the same calendar, in the one local account.
  const auto listed = makeBackend()->calendars();
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0], calendar);
  EXPECT_EQ(listed[0].title, "Parcels, home; 2");
  EXPECT_EQ(listed[0].sourceIdentifier, "local");
  EXPECT_EQ(listed[0].sourceTitle, "On This Computer");
  EXPECT_TRUE(listed[0].allowsContentModifications);
}

TEST_F(BackendTest, AllDayEventReadsBackWithEveryFieldAndOnItsLocalDay) {
  const auto calendar = makeCalendar("Deliveries");
  // 23:30 UTC on 1 March is already 2 March in Berlin: the event belongs to 2 March.
  const Date lateEvening(kCalendarNow + 11.5 * 3600);
  const std::string longLocation(5000, 'x');
  auto event = allDayEvent(calendar, "\u2713\u00A0Shoes, red; big\\ one", lateEvening,
                           "porvane://show/ABC-123");
  event.location = "Parcel Co" + longLocation;
  event.notes = "first line\nsecond line";
  event.availability = QBYEventAvailability::Free;
  ASSERT_TRUE(backend->saveEvent(event, std::nullopt, nullptr));
  ASSERT_TRUE(event.eventIdentifier);
  // Saved, the event keeps only its day.
  EXPECT_EQ(event.startDate, day(1));
  EXPECT_EQ(event.endDate, day(1));
  ASSERT_TRUE(backend->commit(nullptr));

  ParsedCalendar parsed(fileText(calendar));
  const auto components = parsed.events();
  ASSERT_EQ(components.size(), 1u);
  icalcomponent* written = components[0];
  EXPECT_EQ(std::string(icalcomponent_get_uid(written)), *event.eventIdentifier);
  EXPECT_EQ(std::string(icalcomponent_get_summary(written)), "\u2713\u00A0Shoes, red; big\\ one");
  const auto start = icalcomponent_get_dtstart(written);
  const auto end = icalcomponent_get_dtend(written);
  EXPECT_TRUE(start.is_date);
  EXPECT_TRUE(end.is_date);
  EXPECT_EQ(icalDayText(start), "2021-03-02");
  EXPECT_EQ(icalDayText(end), "2021-03-03");
  EXPECT_EQ(std::string(
                icalproperty_get_url(icalcomponent_get_first_property(written, ICAL_URL_PROPERTY))),
            "porvane://show/ABC-123");
  EXPECT_EQ(std::string(icalcomponent_get_location(written)), "Parcel Co" + longLocation);
  EXPECT_EQ(std::string(icalcomponent_get_description(written)), "first line\nsecond line");
  EXPECT_EQ(
      icalproperty_get_transp(icalcomponent_get_first_property(written, ICAL_TRANSP_PROPERTY)),
      ICAL_TRANSP_TRANSPARENT);

  const auto reread = eventsOnDisk(calendar);
  ASSERT_EQ(reread.size(), 1u);
  EXPECT_EQ(reread[0], event);
}

TEST_F(BackendTest, DaysAreGregorianWhateverCalendarTheUserReads) {
  UErrorCode status = U_ZERO_ERROR;
  icu::Locale::setDefault(icu::Locale("he_IL@calendar=hebrew"), status);
  const auto calendar = makeCalendar("Deliveries");
  seed({allDayEvent(calendar, "Lamp", day(1), std::nullopt)});
  ParsedCalendar parsed(fileText(calendar));
  ASSERT_EQ(parsed.events().size(), 1u);
  EXPECT_EQ(icalDayText(icalcomponent_get_dtstart(parsed.events()[0])), "2021-03-02");
  EXPECT_EQ(eventsOnDisk(calendar)[0].startDate, day(1));
}

TEST_F(BackendTest, BusyEventsAndAbsentFieldsStayAbsent) {
  const auto calendar = makeCalendar("Deliveries");
  auto event = allDayEvent(calendar, "Lamp", day(2), std::nullopt);
  seed({event});
  ParsedCalendar parsed(fileText(calendar));
  ASSERT_EQ(parsed.events().size(), 1u);
  icalcomponent* written = parsed.events()[0];
  EXPECT_FALSE(icalcomponent_get_first_property(written, ICAL_URL_PROPERTY));
  EXPECT_FALSE(icalcomponent_get_first_property(written, ICAL_DESCRIPTION_PROPERTY));
  EXPECT_FALSE(icalcomponent_get_first_property(written, ICAL_LOCATION_PROPERTY));
  EXPECT_EQ(
      icalproperty_get_transp(icalcomponent_get_first_property(written, ICAL_TRANSP_PROPERTY)),
      ICAL_TRANSP_OPAQUE);
  const auto reread = eventsOnDisk(calendar);
  ASSERT_EQ(reread.size(), 1u);
  EXPECT_FALSE(reread[0].url);
  EXPECT_FALSE(reread[0].notes);
  EXPECT_FALSE(reread[0].location);
  EXPECT_EQ(reread[0].availability, QBYEventAvailability::Busy);
}

TEST_F(BackendTest, NothingIsWrittenBeforeCommitAndUIDsStayAcrossChanges) {
  const auto calendar = makeCalendar("Deliveries");
  const std::string empty = fileText(calendar);
  auto event = allDayEvent(calendar, "Book", day(3), "porvane://show/A");
  ASSERT_TRUE(backend->saveEvent(event, std::nullopt, nullptr));
  EXPECT_EQ(fileText(calendar), empty);
  // This process sees its own uncommitted event already.
  EXPECT_EQ(allEvents(calendar).size(), 1u);
  ASSERT_TRUE(backend->commit(nullptr));

  event.title = "Book (signed)";
  event.startDate = event.endDate = day(5);
  ASSERT_TRUE(backend->saveEvent(event, std::nullopt, nullptr));
  ASSERT_TRUE(backend->commit(nullptr));
  const auto reread = eventsOnDisk(calendar);
  ASSERT_EQ(reread.size(), 1u);
  EXPECT_EQ(reread[0].eventIdentifier, event.eventIdentifier);
  EXPECT_EQ(reread[0].title, "Book (signed)");
  EXPECT_EQ(reread[0].startDate, day(5));

  ASSERT_TRUE(backend->removeEvent(event, nullptr));
  ASSERT_TRUE(backend->commit(nullptr));
  EXPECT_TRUE(eventsOnDisk(calendar).empty());
  QBYError error;
  EXPECT_FALSE(backend->removeEvent(event, &error));
  EXPECT_EQ(error.code, QBYCalendarErrorEventNotFound);
}

TEST_F(BackendTest, RangeQueriesFindEventsThatOverlapTheRange) {
  const auto calendar = makeCalendar("Deliveries");
  auto event = allDayEvent(calendar, "Chair", day(4), "porvane://show/A");
  seed({event});
  auto found = [&](Date start, Date end) {
    return backend->events(start, end, {calendar.identifier}).size();
  };
  EXPECT_EQ(found(day(4), day(5)), 1u);
  EXPECT_EQ(found(day(3).addingTimeInterval(3600), day(4).addingTimeInterval(1)), 1u);
  EXPECT_EQ(found(day(4).addingTimeInterval(86399), day(9)), 1u);  // last second of the day
  EXPECT_EQ(found(day(5), day(9)), 0u);                            // starts the day after
  EXPECT_EQ(found(day(1), day(4)), 0u);                            // ends as the day begins
  EXPECT_EQ(backend->events(day(-10), day(10), {"no-such-calendar"}).size(), 0u);
}

TEST_F(BackendTest, EventsOfOtherProgramsAndUnknownPropertiesSurviveOurWrites) {
  const auto calendar = makeCalendar("Deliveries");
  // A user's own timed event with an alarm, a time zone and a multi-day all-day event, as a
  // desktop calendar would add them to the file.
  std::string text = fileText(calendar);
  const std::string own =
      "BEGIN:VTIMEZONE\r\nTZID:Europe/Berlin\r\nBEGIN:STANDARD\r\nDTSTART:19701025T030000\r\n"
      "TZOFFSETFROM:+0200\r\nTZOFFSETTO:+0100\r\nEND:STANDARD\r\nEND:VTIMEZONE\r\n"
      "BEGIN:VEVENT\r\nUID:user-1\r\nDTSTAMP:20210101T000000Z\r\n"
      "DTSTART;TZID=Europe/Berlin:20210302T090000\r\nDTEND;TZID=Europe/Berlin:20210302T100000\r\n"
      "SUMMARY:Dentist\r\nCATEGORIES:Health\r\nBEGIN:VALARM\r\nACTION:DISPLAY\r\n"
      "TRIGGER:-PT15M\r\nDESCRIPTION:Dentist\r\nEND:VALARM\r\nEND:VEVENT\r\n"
      "BEGIN:VEVENT\r\nUID:user-2\r\nDTSTAMP:20210101T000000Z\r\n"
      "DTSTART;VALUE=DATE:20210305\r\nDTEND;VALUE=DATE:20210308\r\nSUMMARY:Trip\r\n"
      "END:VEVENT\r\n";
  text.insert(text.rfind("END:VCALENDAR"), own);
  writeFile(backend->fileForCalendar(calendar.identifier), text);
  backend->refreshSources();

  const auto before = allEvents(calendar);
  ASSERT_EQ(before.size(), 2u);
  EXPECT_EQ(before[0].title, "Dentist");
  EXPECT_FALSE(before[0].allDay);
  EXPECT_EQ(before[0].startDate, Date(kCalendarNow + 20 * 3600));  // 09:00 Berlin, 2 March
  EXPECT_EQ(before[1].title, "Trip");
  EXPECT_EQ(before[1].startDate, day(4));
  EXPECT_EQ(before[1].endDate, day(6));  // DTEND is the day after the last one

  seed({allDayEvent(calendar, "Lamp", day(2), "porvane://show/A")});
  const std::string after = fileText(calendar);
  EXPECT_NE(after.find("CATEGORIES:Health"), std::string::npos);
  EXPECT_NE(after.find("BEGIN:VALARM"), std::string::npos);
  EXPECT_NE(after.find("TZID:Europe/Berlin"), std::string::npos);
  EXPECT_EQ(eventsOnDisk(calendar).size(), 3u);
}

TEST_F(BackendTest, AFailedWriteLeavesTheOldFileAndTheChangesForTheNextCommit) {
  const auto calendar = makeCalendar("Deliveries");
  seed({allDayEvent(calendar, "Old", day(1), "porvane://show/A")});
  const std::string old = fileText(calendar);

  auto event = allDayEvent(calendar, "New", day(2), "porvane://show/B");
  ASSERT_TRUE(backend->saveEvent(event, std::nullopt, nullptr));
  failWrites = true;
  QBYError error;
  EXPECT_FALSE(backend->commit(&error));
  EXPECT_EQ(error.domain, QBYCalendarErrorDomain);
  EXPECT_EQ(error.code, QBYCalendarErrorWriteFailed);
  EXPECT_NE(error.localizedDescription.find("disk full"), std::string::npos);
  EXPECT_EQ(fileText(calendar), old);

  failWrites = false;
  ASSERT_TRUE(backend->commit(nullptr));
  EXPECT_EQ(eventsOnDisk(calendar).size(), 2u);
}

TEST_F(BackendTest, TwoProcessesCommittingToOneCalendarKeepBothEvents) {
  const auto calendar = makeCalendar("Deliveries");
  auto other = makeBackend();
  ASSERT_EQ(other->calendars().size(), 1u);  // both have read the file

  auto mine = allDayEvent(calendar, "Mine", day(1), "porvane://show/A");
  auto theirs = allDayEvent(calendar, "Theirs", day(2), "porvane://show/B");
  ASSERT_TRUE(backend->saveEvent(mine, std::nullopt, nullptr));
  ASSERT_TRUE(other->saveEvent(theirs, std::nullopt, nullptr));
  ASSERT_TRUE(other->commit(nullptr));
  ASSERT_TRUE(backend->commit(nullptr));

  const auto onDisk = eventsOnDisk(calendar);
  ASSERT_EQ(onDisk.size(), 2u);
  EXPECT_EQ(onDisk[0].title, "Mine");
  EXPECT_EQ(onDisk[1].title, "Theirs");

  // A removal made elsewhere is seen after refreshing.
  ASSERT_TRUE(other->removeEvent(theirs, nullptr));
  ASSERT_TRUE(other->commit(nullptr));
  backend->refreshSources();
  const auto left = allEvents(calendar);
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].title, "Mine");
}

TEST_F(BackendTest, EventsMoveBetweenCalendarsKeepingTheirIdentifier) {
  const auto home = makeCalendar("Home");
  const auto work = makeCalendar("Work");
  auto event = seed({allDayEvent(home, "Desk", day(2), "porvane://show/A")})[0];
  event.calendarIdentifier = work.identifier;
  ASSERT_TRUE(backend->saveEvent(event, home.identifier, nullptr));
  ASSERT_TRUE(backend->commit(nullptr));
  EXPECT_TRUE(eventsOnDisk(home).empty());
  const auto moved = eventsOnDisk(work);
  ASSERT_EQ(moved.size(), 1u);
  EXPECT_EQ(moved[0].eventIdentifier, event.eventIdentifier);
}

// --- Files that are not calendars we may write ---------------------------------------------------

TEST_F(BackendTest, DamagedFilesAreReportedListedReadOnlyAndNeverWritten) {
  const auto good = makeCalendar("Good");
  seed({allDayEvent(good, "Lamp", day(1), "porvane://show/A")});
  const std::string goodText = fileText(good);
  static constexpr char kWithNul[] = "BEGIN:VCALENDAR\r\n\0\r\nEND:VCALENDAR\r\n";
  const struct {
    const char* name;
    std::string text;
  } cases[] = {
      {"garbage", "this is not a calendar\n\xff\xfe"},
      {"truncated", goodText.substr(0, goodText.size() / 2)},
      {"empty", ""},
      {"bad-date",
       "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nBEGIN:VEVENT\r\nUID:1\r\n"
       "DTSTART;VALUE=DATE:2021xx01\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n"},
      {"two-calendars", goodText + goodText},
      {"nul", std::string(kWithNul, sizeof kWithNul - 1)},
  };
  for (const auto& damaged : cases) {
    SCOPED_TRACE(damaged.name);
    const auto file = writeFile(folder / (std::string(damaged.name) + ".ics"), damaged.text);
    logs.clear();
    auto reader = makeBackend();
    const auto calendars = reader->calendars();
    const auto listed = std::find_if(calendars.begin(), calendars.end(),
                                     [&](const auto& c) { return c.identifier == damaged.name; });
    ASSERT_NE(listed, calendars.end());
    EXPECT_FALSE(listed->allowsContentModifications);
    EXPECT_FALSE(calendarInfo(*listed));
    EXPECT_EQ(logs.linesContaining(file.string()).size(), 1u);
    EXPECT_EQ(logs.linesContaining("Error reading calendar").size(), logs.lines().size());
    EXPECT_TRUE(reader->events(day(-400), day(400), {damaged.name}).empty());

    QBYCalendarEvent event;
    event.calendarIdentifier = damaged.name;
    event.title = "Lamp";
    event.startDate = event.endDate = day(1);
    QBYError error;
    EXPECT_FALSE(reader->saveEvent(event, std::nullopt, &error));
    EXPECT_EQ(error.code, QBYCalendarErrorDamaged);
    EXPECT_TRUE(reader->commit(nullptr));
    EXPECT_EQ(Paths::readFile(file), damaged.text);
    // The good calendar next to it is unaffected.
    EXPECT_EQ(reader->events(day(-400), day(400), {good.identifier}).size(), 1u);
  }
}

TEST_F(BackendTest, AFileDamagedBeforeCommitIsNotOverwritten) {
  const auto calendar = makeCalendar("Deliveries");
  auto event = allDayEvent(calendar, "Lamp", day(1), "porvane://show/A");
  ASSERT_TRUE(backend->saveEvent(event, std::nullopt, nullptr));
  const auto file = backend->fileForCalendar(calendar.identifier);
  writeFile(file, "BEGIN:VCALENDAR\r\nVERSION:2.0\r\n");  // another program broke it
  QBYError error;
  EXPECT_FALSE(backend->commit(&error));
  EXPECT_EQ(error.code, QBYCalendarErrorDamaged);
  EXPECT_EQ(Paths::readFile(file), "BEGIN:VCALENDAR\r\nVERSION:2.0\r\n");

  // Once repaired, the change that waited is written on top of the repaired file.
  writeFile(file, "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nX-WR-CALNAME:Repaired\r\nEND:VCALENDAR\r\n");
  ASSERT_TRUE(backend->commit(nullptr));
  const auto onDisk = eventsOnDisk(calendar);
  ASSERT_EQ(onDisk.size(), 1u);
  EXPECT_EQ(onDisk[0].title, "Lamp");
  EXPECT_EQ(makeBackend()->calendars()[0].title, "Repaired");
}

TEST_F(BackendTest, ReadOnlyKindsRefuseChangesAndOtherFilesAreIgnored) {
  const auto subscribed = makeCalendar("Holidays", QBYCalendarTypeSubscription);
  const auto exchange = makeCalendar("Office", QBYCalendarTypeExchange);
  writeFile(folder / "notes.txt", "not a calendar");
  writeFile(folder / ".hidden.ics", "BEGIN:VCALENDAR\r\nEND:VCALENDAR\r\n");
  std::filesystem::create_directories(folder / "folder.ics");

  auto reader = makeBackend();
  const auto calendars = reader->calendars();
  ASSERT_EQ(calendars.size(), 2u);
  for (const auto& calendar : calendars) {
    if (calendar.identifier == subscribed.identifier) {
      EXPECT_EQ(calendar.type, QBYCalendarTypeSubscription);
      EXPECT_FALSE(calendar.allowsContentModifications);
    } else {
      EXPECT_EQ(calendar.identifier, exchange.identifier);
      EXPECT_EQ(calendar.type, QBYCalendarTypeExchange);
      EXPECT_TRUE(calendar.allowsContentModifications);
    }
  }
  auto event = allDayEvent(subscribed, "Lamp", day(1), std::nullopt);
  QBYError error;
  EXPECT_FALSE(reader->saveEvent(event, std::nullopt, &error));
  EXPECT_EQ(error.code, QBYCalendarErrorReadOnly);
}

TEST_F(BackendTest, ACalendarDeletedByTheUserIsNotBroughtBackByACommit) {
  const auto calendar = makeCalendar("Deliveries");
  auto event = allDayEvent(calendar, "Lamp", day(1), "porvane://show/A");
  ASSERT_TRUE(backend->saveEvent(event, std::nullopt, nullptr));
  const auto file = backend->fileForCalendar(calendar.identifier);
  std::filesystem::remove(file);
  QBYError error;
  EXPECT_FALSE(backend->commit(&error));
  EXPECT_EQ(error.code, QBYCalendarErrorCalendarNotFound);
  EXPECT_FALSE(std::filesystem::exists(file));
  backend->refreshSources();
  EXPECT_TRUE(backend->calendars().empty());
  EXPECT_TRUE(backend->commit(nullptr));
}

}  // namespace
}  // namespace qby::test
