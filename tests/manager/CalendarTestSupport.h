// Calendar tests run in a time zone east of UTC with a pinned clock, so that a day boundary in
// local time differs from the one in UTC and all-day dates cannot come out right by luck. Each
// test gets its own calendar folder and its own defaults file.
#pragma once

#include <gtest/gtest.h>
#include <libical/ical.h>
#include <unicode/locid.h>
#include <unicode/timezone.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "manager/QBYCalendarStore.h"
#include "manager/QBYICSCalendarBackend.h"
#include "platform/Date.h"
#include "platform/Paths.h"
#include "platform/QBYUserDefaults.h"
#include "presentation/Calendar.h"
#include "presentation/QBYDateFormatter.h"
#include "support/TestSupport.h"

namespace qby::test {

// Monday 1 March 2021, 12:00 UTC (13:00 in Berlin).
inline constexpr double kCalendarNow = 1614600000;

class CalendarTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedZone_.reset(icu::TimeZone::createDefault());
    savedLocale_ = icu::Locale::getDefault();
    icu::TimeZone::adoptDefault(icu::TimeZone::createTimeZone("Europe/Berlin"));
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale::setDefault(icu::Locale("en_US"), status);
    clock_ = std::make_unique<ClockOverride>(Date(kCalendarNow));
    folder = makeTempDir("calendars");
    defaults = std::make_unique<QBYUserDefaults>(makeTempDir("defaults") / "defaults.plist");
    backend = makeBackend();
    store = std::make_unique<QBYCalendarStore>(backend, defaults.get());
  }

  void TearDown() override {
    store.reset();
    backend.reset();
    clock_.reset();
    icu::TimeZone::adoptDefault(savedZone_.release());
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale::setDefault(savedLocale_, status);
  }

  // A backend on the same folder, as another process would have; writes go through the
  // writer, which fails while failWrites is set.
  std::shared_ptr<QBYICSCalendarBackend> makeBackend() {
    return std::make_shared<QBYICSCalendarBackend>(
        folder,
        [this](const std::filesystem::path& file, std::string_view bytes, std::string* error) {
          if (failWrites) {
            if (error) *error = "disk full";
            return false;
          }
          return Paths::writeFileAtomically(file, bytes, error);
        });
  }

  QBYEventCalendar makeCalendar(const std::string& title, std::int64_t type = QBYCalendarTypeLocal,
                                std::optional<std::string> color = std::string("#FF2968")) {
    QBYError error;
    auto calendar = backend->makeCalendar(title, color, type, &error);
    EXPECT_TRUE(calendar) << error.description();
    return calendar.value_or(QBYEventCalendar{});
  }

  // The start of the local day `offset` days from today.
  static Date day(long offset) {
    const Calendar calendar;
    return *calendar.startOfDayForDate(*calendar.dateDaysFrom(offset, Date::now()));
  }
  static std::string dayText(long offset) {
    return *QBYDateFormatter::sharedFormatter().stringFromDate(day(offset));
  }

  // An all-day event of one day, as the store writes them.
  static QBYCalendarEvent allDayEvent(const QBYEventCalendar& calendar, const std::string& title,
                                      Date date, std::optional<std::string> url) {
    QBYCalendarEvent event;
    event.calendarIdentifier = calendar.identifier;
    event.title = title;
    event.startDate = date;
    event.endDate = date;
    event.url = std::move(url);
    return event;
  }

  // Saves and commits events straight through the backend, as earlier runs would have left
  // them; answers them with their identifiers.
  std::vector<QBYCalendarEvent> seed(std::vector<QBYCalendarEvent> events) {
    for (auto& event : events) {
      QBYError error;
      EXPECT_TRUE(backend->saveEvent(event, std::nullopt, &error)) << error.description();
    }
    QBYError error;
    EXPECT_TRUE(backend->commit(&error)) << error.description();
    return events;
  }

  // Every event of the calendar within a year of now.
  std::vector<QBYCalendarEvent> allEvents(const QBYEventCalendar& calendar) {
    return backend->events(day(-365), day(365), {calendar.identifier});
  }

  // The calendar's events as a fresh backend reads them from the file.
  std::vector<QBYCalendarEvent> eventsOnDisk(const QBYEventCalendar& calendar) {
    return makeBackend()->events(day(-365), day(365), {calendar.identifier});
  }

  std::string fileText(const QBYEventCalendar& calendar) {
    return Paths::readFile(backend->fileForCalendar(calendar.identifier)).value_or("");
  }

  std::filesystem::path folder;
  std::unique_ptr<QBYUserDefaults> defaults;
  std::shared_ptr<QBYICSCalendarBackend> backend;
  std::unique_ptr<QBYCalendarStore> store;
  bool failWrites = false;
  LogCapture logs;

 private:
  std::unique_ptr<icu::TimeZone> savedZone_;
  icu::Locale savedLocale_;
  std::unique_ptr<ClockOverride> clock_;
};

// The one VCALENDAR of a file's text, parsed by libical; freed when it goes.
struct ParsedCalendar {
  explicit ParsedCalendar(const std::string& text) : root(icalparser_parse_string(text.c_str())) {}
  ~ParsedCalendar() {
    if (root) icalcomponent_free(root);
  }
  ParsedCalendar(const ParsedCalendar&) = delete;
  ParsedCalendar& operator=(const ParsedCalendar&) = delete;

  std::vector<icalcomponent*> events() const {
    std::vector<icalcomponent*> list;
    for (auto* event = icalcomponent_get_first_component(root, ICAL_VEVENT_COMPONENT); event;
         event = icalcomponent_get_next_component(root, ICAL_VEVENT_COMPONENT))
      list.push_back(event);
    return list;
  }
  std::optional<std::string> x(const char* name) const {
    for (auto* property = icalcomponent_get_first_property(root, ICAL_X_PROPERTY); property;
         property = icalcomponent_get_next_property(root, ICAL_X_PROPERTY)) {
      if (std::string(icalproperty_get_x_name(property)) == name)
        return std::string(icalproperty_get_x(property));
    }
    return std::nullopt;
  }

  icalcomponent* root;
};

// "2021-03-02" for an icaltime date value.
inline std::string icalDayText(icaltimetype time) {
  char text[16];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", time.year, time.month, time.day);
  return text;
}

}  // namespace qby::test
