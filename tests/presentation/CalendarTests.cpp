#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "presentation/Calendar.h"
#include "presentation/DateComparisons.h"
#include "presentation/DateTestSupport.h"

namespace qby {
namespace {

using test::local;
using test::setDefaultZone;

constexpr double kHour = 3600;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

class CalendarTest : public test::PinnedDateTest {};

// Day counts

TEST_F(CalendarTest, DaysAreCalendarDaysNotDayLengths) {
  const Calendar calendar;
  const Date lateYesterday = local(2024, 3, 11, 23, 59);
  const Date earlyToday = local(2024, 3, 12, 0, 1);
  EXPECT_EQ(calendar.daysUntilDate(earlyToday, lateYesterday), 1);
  EXPECT_EQ(calendar.daysUntilDate(lateYesterday, earlyToday), -1);
  EXPECT_EQ(calendar.daysUntilDate(local(2024, 3, 12, 23, 59), earlyToday), 0);
  EXPECT_EQ(calendar.daysUntilDate(local(2025, 3, 12, 0, 1), earlyToday), 365);
}

TEST_F(CalendarTest, DayCountsAcrossDaylightSavingChangesAreWhole) {
  const Calendar calendar;
  // Berlin springs forward on 31 March 2024 (a 23-hour day) and falls back on 27 October
  // (a 25-hour day).
  const Date springStart = local(2024, 3, 31, 0, 0);
  const Date springEnd = local(2024, 4, 1, 0, 0);
  ASSERT_EQ(springEnd.timeIntervalSince(springStart), 23 * kHour);
  EXPECT_EQ(calendar.daysUntilDate(springEnd, springStart), 1);
  EXPECT_EQ(calendar.hoursUntilDate(springEnd, springStart), 23);
  EXPECT_EQ(calendar.daysUntilDate(local(2024, 4, 1, 12), local(2024, 3, 30, 12)), 2);
  EXPECT_EQ(calendar.daysUntilDate(local(2024, 3, 31, 23, 30), local(2024, 3, 30, 23, 30)), 1);

  const Date autumnStart = local(2024, 10, 27, 0, 0);
  const Date autumnEnd = local(2024, 10, 28, 0, 0);
  ASSERT_EQ(autumnEnd.timeIntervalSince(autumnStart), 25 * kHour);
  EXPECT_EQ(calendar.daysUntilDate(autumnEnd, autumnStart), 1);
  EXPECT_EQ(calendar.daysUntilDate(autumnStart.addingTimeInterval(24.5 * kHour), autumnStart), 0);
  EXPECT_EQ(calendar.daysUntilDate(local(2024, 11, 1), local(2024, 3, 1)), 245);
}

TEST_F(CalendarTest, DaysFromKeepTheTimeOfDayAcrossDaylightSaving) {
  const Calendar calendar;
  EXPECT_EQ(calendar.dateDaysFrom(1, local(2024, 3, 30, 12)), local(2024, 3, 31, 12));
  EXPECT_EQ(calendar.dateDaysFrom(-2, local(2024, 4, 1, 8, 15)), local(2024, 3, 30, 8, 15));
  EXPECT_EQ(calendar.dateDaysFrom(1, Date(kNaN)), std::nullopt);
  EXPECT_EQ(calendar.dateDaysFrom(std::numeric_limits<long>::max(), now()), std::nullopt);
}

TEST_F(CalendarTest, DayStartsAndEndsOfShortAndLongDays) {
  const Calendar calendar;
  EXPECT_EQ(calendar.startOfDayForDate(local(2024, 3, 31, 18)), local(2024, 3, 31, 0, 0));
  EXPECT_EQ(calendar.endOfDayForDate(local(2024, 3, 31, 1)), local(2024, 3, 31, 23, 59, 59));
  EXPECT_EQ(calendar.endOfDayForDate(local(2024, 10, 27, 1)), local(2024, 10, 27, 23, 59, 59));
  EXPECT_EQ(calendar.endOfDayForDate(local(2024, 12, 31, 23, 59, 59)),
            local(2024, 12, 31, 23, 59, 59));
  EXPECT_EQ(calendar.endOfDayForDate(Date(std::numeric_limits<double>::infinity())), std::nullopt);
}

TEST_F(CalendarTest, DaysWhoseMidnightIsSkippedStartAfterTheGap) {
  // São Paulo moved its clocks from 00:00 to 01:00 on 4 November 2018.
  setDefaultZone("America/Sao_Paulo");
  const Calendar calendar;
  const Date start = *calendar.startOfDayForDate(local(2018, 11, 4, 12));
  EXPECT_EQ(start, local(2018, 11, 4, 1, 0));
  EXPECT_EQ(start.timeIntervalSince1970(), 1541300400);  // 03:00 UTC
  EXPECT_EQ(calendar.endOfDayForDate(local(2018, 11, 3, 12)), start.addingTimeInterval(-1));
  EXPECT_EQ(calendar.endOfDayForDate(start), local(2018, 11, 4, 23, 59, 59));
  EXPECT_EQ(calendar.daysUntilDate(local(2018, 11, 5, 0, 30), local(2018, 11, 4, 1, 30)), 1);
  EXPECT_EQ(calendar.daysUntilDate(local(2018, 11, 5, 12), local(2018, 11, 3, 12)), 2);
}

TEST_F(CalendarTest, ACalendarKeepsTheZoneItWasMadeIn) {
  const Calendar berlin;
  const Calendar tokyo("Asia/Tokyo", "ja_JP");
  setDefaultZone("America/New_York");
  EXPECT_EQ(berlin.timeZoneID(), "Europe/Berlin");
  const Calendar copy = tokyo;
  EXPECT_EQ(copy.timeZoneID(), "Asia/Tokyo");
  EXPECT_EQ(Calendar().timeZoneID(), "America/New_York");
  // 16:00 UTC is already the next day in Tokyo.
  const Date afternoonUTC = Date(1710259200);  // 2024-03-12 16:00 UTC
  const Date nextDayUTC = Date(1710259200 + 10 * kHour);
  EXPECT_EQ(tokyo.daysUntilDate(afternoonUTC, Date(1710230400)), 1);  // from 08:00 UTC
  EXPECT_EQ(berlin.daysUntilDate(nextDayUTC, afternoonUTC), 1);
  EXPECT_EQ(tokyo.dateFromDate(afternoonUTC, 9, 0), Date(1710288000));  // 2024-03-13 00:00 UTC
}

// Other units

TEST_F(CalendarTest, CalendarUnitsCountsYearsMonthsAndDaysOnly) {
  const Calendar calendar;
  const Date from = local(2020, 6, 1, 15);
  const Date to = local(2024, 5, 31, 9);
  EXPECT_EQ(calendar.calendarUnits(CalendarUnit::Year, from, to), 3);
  EXPECT_EQ(calendar.calendarUnits(CalendarUnit::Month, from, to), 47);
  EXPECT_EQ(calendar.calendarUnits(CalendarUnit::Day, from, to), 1460);
  EXPECT_EQ(calendar.calendarUnits(CalendarUnit::Year, to, from), -3);
  for (const CalendarUnit unit : {CalendarUnit::Era, CalendarUnit::WeekOfYear, CalendarUnit::Hour,
                                  CalendarUnit::Minute, CalendarUnit::Second}) {
    EXPECT_EQ(calendar.calendarUnits(unit, from, to), -1);
  }
  EXPECT_EQ(calendar.calendarUnits(CalendarUnit::Day, Date(kNaN), to), 0);
}

TEST_F(CalendarTest, MonthsCountWholeCalendarMonths) {
  const Calendar calendar;
  EXPECT_EQ(calendar.monthsUntilDate(local(2024, 3, 14), local(2024, 1, 15)), 1);
  EXPECT_EQ(calendar.monthsUntilDate(local(2024, 3, 15), local(2024, 1, 15)), 2);
  EXPECT_EQ(calendar.monthsUntilDate(local(2024, 1, 15), local(2024, 3, 15)), -2);
  EXPECT_EQ(calendar.monthsUntilDate(local(2025, 2, 1, 0, 10), local(2024, 11, 30, 23, 50)), 2);
  // From the pinned now, 12 March 2024, across the change to summer time.
  EXPECT_EQ(calendar.monthsUntilDate(local(2024, 7, 12, 0, 0)), 4);
  EXPECT_EQ(calendar.monthsUntilDate(local(2024, 7, 11, 23, 0)), 3);
}

TEST_F(CalendarTest, MinutesAndHoursAreWholeElapsedUnits) {
  const Calendar calendar;
  const Date from = local(2024, 3, 12, 10, 0);
  EXPECT_EQ(calendar.minutesUntilDate(from.addingTimeInterval(119), from), 1);
  EXPECT_EQ(calendar.minutesUntilDate(from.addingTimeInterval(-119), from), -1);
  EXPECT_EQ(calendar.hoursUntilDate(from.addingTimeInterval(3 * kHour - 1), from), 2);
  EXPECT_EQ(calendar.hoursUntilDate(Date(kNaN), from), 0);
  // Against the pinned now.
  EXPECT_EQ(calendar.hoursSinceDate(now().addingTimeInterval(-3 * kHour)), 3);
  EXPECT_EQ(calendar.hoursSinceDate(now().addingTimeInterval(-3 * kHour + 1)), 2);
  EXPECT_EQ(calendar.minutesSinceDate(now().addingTimeInterval(-90)), 1);
  EXPECT_EQ(calendar.minutesUntilDate(now().addingTimeInterval(600)), 10);
  EXPECT_EQ(calendar.hoursUntilDate(now().addingTimeInterval(-7200)), -2);
}

TEST_F(CalendarTest, NowRelativeOperationsUseTheClock) {
  const Calendar calendar;
  EXPECT_EQ(calendar.dateHoursFromNow(5), now().addingTimeInterval(5 * kHour));
  EXPECT_EQ(calendar.dateHoursAgo(5), now().addingTimeInterval(-5 * kHour));
  EXPECT_EQ(calendar.dateDaysFromNow(20), local(2024, 4, 1, 10));  // 20 days, one hour less
  EXPECT_EQ(calendar.dateDaysAgo(3), local(2024, 3, 9, 10));
  EXPECT_EQ(calendar.daysSinceDate(local(2024, 3, 9, 23)), 3);
  EXPECT_EQ(calendar.daysUntilDate(local(2024, 3, 13, 0, 5)), 1);
  EXPECT_EQ(calendar.daysUntilDate(local(2024, 3, 12, 23, 59)), 0);
}

TEST_F(CalendarTest, DateFromDateSetsTheTimeOfTheSameDay) {
  const Calendar calendar;
  EXPECT_EQ(calendar.dateFromDate(local(2024, 3, 12, 23, 10, 42), 7, 5), local(2024, 3, 12, 7, 5));
  EXPECT_EQ(calendar.dateFromDate(local(2024, 3, 12, 9), 25, 0), local(2024, 3, 13, 1, 0));
  // The hour that summer time skips comes out as the hour after it.
  EXPECT_EQ(calendar.dateFromDate(local(2024, 3, 31, 12), 2, 30), local(2024, 3, 31, 3, 30));
}

// Comparisons of optional dates

TEST(DateComparisons, AbsentDatesAreEqualOnlyToEachOther) {
  EXPECT_TRUE(dateIsEqualToDate(std::nullopt, std::nullopt));
  EXPECT_FALSE(dateIsEqualToDate(Date(5), std::nullopt));
  EXPECT_FALSE(dateIsEqualToDate(std::nullopt, Date(5)));
  EXPECT_TRUE(dateIsEqualToDate(Date(5), Date(5)));
  EXPECT_FALSE(dateIsEqualToDate(Date(5), Date(5.001)));
}

TEST(DateComparisons, OrderingIsStrictOrInclusiveAsNamed) {
  const Date early(100);
  const Date late(200);
  EXPECT_TRUE(isEarlierThan(early, late));
  EXPECT_FALSE(isEarlierThan(early, early));
  EXPECT_TRUE(isEarlierThanOrEqualTo(early, early));
  EXPECT_FALSE(isEarlierThanOrEqualTo(late, early));
  EXPECT_TRUE(isLaterThan(late, early));
  EXPECT_FALSE(isLaterThan(late, late));
  EXPECT_TRUE(isLaterThanOrEqualTo(late, late));
  EXPECT_FALSE(isLaterThanOrEqualTo(early, late));
  // An absent date is neither earlier nor later than anything.
  for (const auto& [a, b] :
       {std::pair<std::optional<Date>, std::optional<Date>>{early, {}}, {{}, early}, {{}, {}}}) {
    EXPECT_FALSE(isEarlierThan(a, b));
    EXPECT_FALSE(isEarlierThanOrEqualTo(a, b));
    EXPECT_FALSE(isLaterThan(a, b));
    EXPECT_FALSE(isLaterThanOrEqualTo(a, b));
  }
}

}  // namespace
}  // namespace qby
