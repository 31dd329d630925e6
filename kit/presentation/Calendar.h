// Calendar arithmetic in one time zone and locale: moments some hours or days away, the start
// and end of a day, and counts of minutes, hours, days and months between two moments.
//
// "Days" are always calendar days between the starts of the two days in the calendar's zone,
// never 24-hour periods: 23:59 yesterday is one day before 00:01 today, and a day with a
// daylight-saving change (23 or 25 hours) still counts as one. Operations without a reference
// date measure from Date::now(), so a pinned test clock is honoured.
//
// A value type: copies share one immutable ICU calendar and each operation works on its own
// clone, so a Calendar may be used from any thread. Moments outside ICU's range (about
// ±5.8 million years) and non-finite ones give no date and counts of 0.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <unicode/uversion.h>

#include "platform/Date.h"

U_NAMESPACE_BEGIN
class Calendar;
U_NAMESPACE_END

namespace qby {

// The units calendarUnits() understands (Year, Month, Day) and some it answers -1 for.
enum class CalendarUnit { Era, Year, Month, WeekOfYear, Day, Hour, Minute, Second };

class Calendar {
 public:
  // The user's current calendar: ICU's default time zone and locale at this moment.
  Calendar();
  // A calendar for that zone ("Europe/Berlin") and locale ("de_DE"); an unknown zone ID gives
  // ICU's "Etc/Unknown" zone, which behaves as UTC.
  Calendar(std::string_view timeZoneID, std::string_view localeID);
  // Takes a copy of an ICU calendar (its zone, locale and calendar system).
  explicit Calendar(const icu::Calendar& calendar);

  static Calendar current() { return Calendar(); }

  std::string timeZoneID() const;
  std::string localeID() const;
  // The ICU calendar behind this one, for formatters that must use the same zone and system.
  const icu::Calendar& icuCalendar() const { return *calendar_; }

  // Now plus or minus whole hours (elapsed time; a daylight-saving change does not matter).
  Date dateHoursFromNow(long hours) const;
  Date dateHoursAgo(long hours) const;
  // Now or the date plus or minus calendar days, keeping the time of day where it exists.
  std::optional<Date> dateDaysFromNow(long days) const;
  std::optional<Date> dateDaysFrom(long days, Date date) const;
  std::optional<Date> dateDaysAgo(long days) const;

  // The date's day at that hour and minute, 0 seconds. Hours and minutes outside their range
  // roll over (24:00 is the next day's start).
  std::optional<Date> dateFromDate(Date date, int hours, int minutes) const;
  // The first moment of the date's day (midnight, or the first moment after a skipped one).
  std::optional<Date> startOfDayForDate(Date date) const;
  // The start of the date's day plus one day minus one second.
  std::optional<Date> endOfDayForDate(Date date) const;

  // Whole minutes or hours between two moments, rounded towards zero. "Until" measures from
  // fromDate (or now) to the date, "since" from the date to now.
  long minutesSinceDate(Date date) const;
  long minutesUntilDate(Date date) const;
  long minutesUntilDate(Date date, Date fromDate) const;
  long hoursSinceDate(Date date) const;
  long hoursUntilDate(Date date) const;
  long hoursUntilDate(Date date, Date fromDate) const;

  // Calendar days or whole calendar months between the starts of the two days.
  long daysSinceDate(Date date) const;
  long daysUntilDate(Date date) const;
  long daysUntilDate(Date date, Date fromDate) const;
  long monthsUntilDate(Date date) const;
  long monthsUntilDate(Date date, Date fromDate) const;

  // Years, months or days from the start of fromDate's day to the start of toDate's day
  // (negative when toDate's day is earlier); -1 for any other unit.
  long calendarUnits(CalendarUnit unit, Date fromDate, Date toDate) const;

 private:
  std::unique_ptr<icu::Calendar> working() const;

  std::shared_ptr<const icu::Calendar> calendar_;
};

}  // namespace qby
