#include "presentation/Calendar.h"

#include <unicode/calendar.h>
#include <unicode/locid.h>
#include <unicode/timezone.h>

#include <cmath>
#include <limits>

#include "util/ICUText.h"

namespace qby {

using icutext::fromUDate;
using icutext::isRepresentable;
using icutext::toUDate;

namespace {

constexpr double kMillisPerDay = 86400000.0;

std::shared_ptr<const icu::Calendar> makeCalendar(icu::TimeZone* adoptedZone,
                                                  const icu::Locale& locale) {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::Calendar> calendar(
      icu::Calendar::createInstance(adoptedZone, locale, status));
  if (U_FAILURE(status) || !calendar) {
    // Only an out-of-memory ICU fails here; a Gregorian calendar in UTC keeps the value usable.
    status = U_ZERO_ERROR;
    calendar.reset(icu::Calendar::createInstance(icu::TimeZone::getGMT()->clone(),
                                                 icu::Locale::getRoot(), status));
  }
  return std::shared_ptr<const icu::Calendar>(std::move(calendar));
}

// The moment of the date's day start as if the wall clock were UTC. Two such values are a whole
// number of days apart however many hours the days in between had in the real zone.
double wallClockDayStart(const icu::TimeZone& zone, Date date) {
  const UDate millis = toUDate(date);
  int32_t rawOffset = 0;
  int32_t dstOffset = 0;
  UErrorCode status = U_ZERO_ERROR;
  zone.getOffset(millis, false, rawOffset, dstOffset, status);
  if (U_FAILURE(status)) rawOffset = dstOffset = 0;
  return std::floor((millis + rawOffset + dstOffset) / kMillisPerDay) * kMillisPerDay;
}

long wholeUnits(Date date, Date fromDate, double unitSeconds) {
  if (!isRepresentable(date) || !isRepresentable(fromDate)) return 0;
  return static_cast<long>(std::trunc(date.timeIntervalSince(fromDate) / unitSeconds));
}

}  // namespace

Calendar::Calendar()
    : calendar_(makeCalendar(icu::TimeZone::createDefault(), icu::Locale::getDefault())) {}

Calendar::Calendar(std::string_view timeZoneID, std::string_view localeID)
    : calendar_(makeCalendar(icu::TimeZone::createTimeZone(icutext::unicode(timeZoneID)),
                             icu::Locale(std::string(localeID).c_str()))) {}

Calendar::Calendar(const icu::Calendar& calendar) : calendar_(calendar.clone()) {}

std::string Calendar::timeZoneID() const {
  icu::UnicodeString id;
  return icutext::utf8(calendar_->getTimeZone().getID(id));
}

std::string Calendar::localeID() const {
  UErrorCode status = U_ZERO_ERROR;
  return calendar_->getLocale(ULOC_VALID_LOCALE, status).getName();
}

std::unique_ptr<icu::Calendar> Calendar::working() const {
  return std::unique_ptr<icu::Calendar>(calendar_->clone());
}

Date Calendar::dateHoursFromNow(long hours) const {
  return Date::now().addingTimeInterval(static_cast<double>(hours) * 3600.0);
}

Date Calendar::dateHoursAgo(long hours) const {
  return Date::now().addingTimeInterval(-static_cast<double>(hours) * 3600.0);
}

std::optional<Date> Calendar::dateDaysFromNow(long days) const {
  return dateDaysFrom(days, Date::now());
}

std::optional<Date> Calendar::dateDaysAgo(long days) const {
  if (days == std::numeric_limits<long>::min()) return std::nullopt;
  return dateDaysFrom(-days, Date::now());
}

std::optional<Date> Calendar::dateDaysFrom(long days, Date date) const {
  if (!isRepresentable(date) || days > std::numeric_limits<int32_t>::max() ||
      days < std::numeric_limits<int32_t>::min()) {
    return std::nullopt;
  }
  auto calendar = working();
  UErrorCode status = U_ZERO_ERROR;
  calendar->setTime(toUDate(date), status);
  calendar->add(UCAL_DATE, static_cast<int32_t>(days), status);
  const UDate result = calendar->getTime(status);
  if (U_FAILURE(status)) return std::nullopt;
  return fromUDate(result);
}

std::optional<Date> Calendar::dateFromDate(Date date, int hours, int minutes) const {
  if (!isRepresentable(date)) return std::nullopt;
  auto calendar = working();
  UErrorCode status = U_ZERO_ERROR;
  calendar->setTime(toUDate(date), status);
  calendar->set(UCAL_HOUR_OF_DAY, hours);
  calendar->set(UCAL_MINUTE, minutes);
  calendar->set(UCAL_SECOND, 0);
  calendar->set(UCAL_MILLISECOND, 0);
  const UDate result = calendar->getTime(status);
  if (U_FAILURE(status)) return std::nullopt;
  return fromUDate(result);
}

std::optional<Date> Calendar::startOfDayForDate(Date date) const {
  return dateFromDate(date, 0, 0);
}

std::optional<Date> Calendar::endOfDayForDate(Date date) const {
  if (!isRepresentable(date)) return std::nullopt;
  // Step to the next day from noon and take that day's start: adding a day to a start that
  // fell after a skipped midnight would keep the later wall time and overshoot.
  auto calendar = working();
  UErrorCode status = U_ZERO_ERROR;
  calendar->setTime(toUDate(date), status);
  calendar->set(UCAL_HOUR_OF_DAY, 12);
  calendar->add(UCAL_DATE, 1, status);
  calendar->set(UCAL_HOUR_OF_DAY, 0);
  calendar->set(UCAL_MINUTE, 0);
  calendar->set(UCAL_SECOND, 0);
  calendar->set(UCAL_MILLISECOND, 0);
  const UDate nextDayStart = calendar->getTime(status);
  if (U_FAILURE(status)) return std::nullopt;
  return fromUDate(nextDayStart).addingTimeInterval(-1);
}

long Calendar::minutesSinceDate(Date date) const {
  return wholeUnits(Date::now(), date, 60);
}
long Calendar::minutesUntilDate(Date date) const {
  return wholeUnits(date, Date::now(), 60);
}
long Calendar::minutesUntilDate(Date date, Date fromDate) const {
  return wholeUnits(date, fromDate, 60);
}

long Calendar::hoursSinceDate(Date date) const {
  return wholeUnits(Date::now(), date, 3600);
}
long Calendar::hoursUntilDate(Date date) const {
  return wholeUnits(date, Date::now(), 3600);
}
long Calendar::hoursUntilDate(Date date, Date fromDate) const {
  return wholeUnits(date, fromDate, 3600);
}

long Calendar::daysSinceDate(Date date) const {
  return calendarUnits(CalendarUnit::Day, date, Date::now());
}
long Calendar::daysUntilDate(Date date) const {
  return calendarUnits(CalendarUnit::Day, Date::now(), date);
}
long Calendar::daysUntilDate(Date date, Date fromDate) const {
  return calendarUnits(CalendarUnit::Day, fromDate, date);
}

long Calendar::monthsUntilDate(Date date) const {
  return calendarUnits(CalendarUnit::Month, Date::now(), date);
}
long Calendar::monthsUntilDate(Date date, Date fromDate) const {
  return calendarUnits(CalendarUnit::Month, fromDate, date);
}

long Calendar::calendarUnits(CalendarUnit unit, Date fromDate, Date toDate) const {
  UCalendarDateFields field;
  switch (unit) {
    case CalendarUnit::Year:
      field = UCAL_YEAR;
      break;
    case CalendarUnit::Month:
      field = UCAL_MONTH;
      break;
    case CalendarUnit::Day:
      field = UCAL_DATE;
      break;
    default:
      return -1;
  }
  if (!isRepresentable(fromDate) || !isRepresentable(toDate)) return 0;

  // Both day starts are taken on the local wall clock and compared in UTC, where every day has
  // 24 hours; the calendar system (Gregorian, Buddhist, Hebrew…) still decides what a month is.
  const icu::TimeZone& zone = calendar_->getTimeZone();
  const double from = wallClockDayStart(zone, fromDate);
  const double to = wallClockDayStart(zone, toDate);
  if (field == UCAL_DATE) return static_cast<long>(std::llround((to - from) / kMillisPerDay));

  auto calendar = working();
  calendar->setTimeZone(*icu::TimeZone::getGMT());
  UErrorCode status = U_ZERO_ERROR;
  calendar->setTime(from, status);
  const int32_t difference = calendar->fieldDifference(to, field, status);
  if (U_FAILURE(status)) return 0;
  return difference;
}

}  // namespace qby
