#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/QBYNotificationCenter.h"
#include "platform/SystemChangeMonitor.h"
#include "presentation/DateTestSupport.h"
#include "presentation/QBYDateFormatter.h"

namespace qby {
namespace {

using test::local;
using test::setDefaultLocale;
using test::setDefaultZone;

constexpr double kMinute = 60;
constexpr double kHour = 3600;
constexpr double kDay = 86400;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

class DateFormatterTest : public test::PinnedDateTest {
 protected:
  QBYDateFormatter formatter;
};

// ISO day texts

TEST_F(DateFormatterTest, ISODayTextsAreDaysOfTheCalendarsZone) {
  // 00:30 in Berlin is still the day before in UTC.
  EXPECT_EQ(formatter.stringFromDate(local(2024, 3, 12, 0, 30)), "2024-03-12");
  EXPECT_EQ(formatter.dateFromString("2024-03-12"), local(2024, 3, 12, 0, 0));
  EXPECT_EQ(formatter.dateFromString("2024-02-29"), local(2024, 2, 29, 0, 0));
  EXPECT_EQ(formatter.stringFromDate(formatter.dateFromString("1999-12-31")), "1999-12-31");
}

TEST_F(DateFormatterTest, InvalidISODayTextsGiveNoDate) {
  for (const char* text :
       {"2024-13-01", "", "yesterday", "2024-02-30", "2023-02-29", "2024-00-10", "2024-01-32",
        " 2024-01-01", "2024-01-01 ", "2024-01-01T10:00:00Z", "24-01-01", "2024-1-5", "2024-001-01",
        "+2024-01-01", "0000-01-01", "2024-01-0\xEF\xBC\x91", "2024/01/01"}) {
    EXPECT_EQ(formatter.dateFromString(text), std::nullopt) << text;
  }
  EXPECT_EQ(formatter.dateFromString(std::nullopt), std::nullopt);
  EXPECT_EQ(formatter.dateFromString(std::string("2024-01-01\0x", 12)), std::nullopt);
}

TEST_F(DateFormatterTest, AbsentOrUnrepresentableDatesGiveNoText) {
  EXPECT_EQ(formatter.stringFromDate(std::nullopt), std::nullopt);
  EXPECT_EQ(formatter.stringFromDate(Date(kNaN)), std::nullopt);
  EXPECT_EQ(formatter.stringFromDate(Date(std::numeric_limits<double>::infinity())), std::nullopt);
  EXPECT_EQ(formatter.stringFromDate(Date(1e300)), std::nullopt);
  EXPECT_EQ(formatter.displayDate(std::nullopt, 2), "");
  EXPECT_EQ(formatter.displayDate(Date(kNaN), 2), "");
  EXPECT_EQ(formatter.updatedText("Updated %@", Date(kNaN)), std::nullopt);
}

TEST_F(DateFormatterTest, ISODayTextsFollowATimeZoneChange) {
  const Date halfPastMidnight = local(2024, 3, 12, 0, 30);
  ASSERT_EQ(formatter.stringFromDate(halfPastMidnight), "2024-03-12");

  setDefaultZone("America/New_York");
  EXPECT_EQ(formatter.stringFromDate(halfPastMidnight), "2024-03-11");
  EXPECT_EQ(formatter.dateFromString("2024-03-12"), local(2024, 3, 12, 0, 0));
  EXPECT_EQ(formatter.calendar().timeZoneID(), "America/New_York");
}

TEST_F(DateFormatterTest, ISODateTimeTextsCarryTheZoneOffset) {
  const Date morning = local(2024, 3, 12, 9, 30);
  EXPECT_EQ(formatter.dateTimeStringFromDate(morning), "2024-03-12T09:30:00+01:00");
  EXPECT_EQ(formatter.dateTimeFromString("2024-03-12T09:30:00+01:00"), morning);
  EXPECT_EQ(formatter.dateTimeFromString("2024-03-12T08:30:00Z"), morning);
  EXPECT_EQ(formatter.dateTimeFromString("2024-03-12T09:30:00"), std::nullopt);
  EXPECT_EQ(formatter.dateTimeFromString("2024-03-12"), std::nullopt);
  EXPECT_EQ(formatter.dateTimeFromString(""), std::nullopt);

  setDefaultZone("Etc/UTC");
  EXPECT_EQ(formatter.dateTimeStringFromDate(morning), "2024-03-12T08:30:00Z");
}

// Display dates

TEST_F(DateFormatterTest, LateYesterdaySeenJustAfterMidnightIsYesterday) {
  pinNow(local(2024, 3, 12, 0, 1));
  const Date lateYesterday = local(2024, 3, 11, 23, 59);
  EXPECT_EQ(formatter.displayDate(lateYesterday, 1), "Yesterday");
  EXPECT_EQ(formatter.displayDate(lateYesterday, 2), "Yesterday");
  EXPECT_EQ(formatter.displayDate(lateYesterday, 0), "March 11");
  EXPECT_EQ(formatter.displayDate(local(2024, 3, 12, 23, 59), 1), "Today");
}

TEST_F(DateFormatterTest, ModeTwoNamesTheDaysOfTheComingWeek) {
  EXPECT_EQ(formatter.displayDate(local(2024, 3, 10, 18), 2), "March 10");  // two days ago
  EXPECT_EQ(formatter.displayDate(local(2024, 3, 11, 18), 2), "Yesterday");
  EXPECT_EQ(formatter.displayDate(local(2024, 3, 12, 18), 2), "Today");
  EXPECT_EQ(formatter.displayDate(local(2024, 3, 13, 8), 2), "Tomorrow");
  EXPECT_EQ(formatter.displayDate(local(2024, 3, 14, 8), 2), "Thursday");
  EXPECT_EQ(formatter.displayDate(local(2024, 3, 17, 8), 2), "Sunday");    // five days ahead
  EXPECT_EQ(formatter.displayDate(local(2024, 3, 18, 8), 2), "Monday");    // six days ahead
  EXPECT_EQ(formatter.displayDate(local(2024, 3, 19, 8), 2), "March 19");  // seven days ahead
}

TEST_F(DateFormatterTest, ModeOneIsRelativeOnlyForYesterdayAndToday) {
  EXPECT_EQ(formatter.displayDate(local(2024, 3, 13, 8), 1), "March 13");  // tomorrow
  EXPECT_EQ(formatter.displayDate(local(2024, 3, 10, 8), 1), "March 10");
  EXPECT_EQ(formatter.displayDate(local(2024, 3, 12, 8), 0), "March 12");
  // Modes the caller does not know are never relative.
  EXPECT_EQ(formatter.displayDate(local(2024, 3, 12, 8), 3), "March 12");
  EXPECT_EQ(formatter.displayDate(local(2024, 3, 12, 8), -1), "March 12");
}

TEST_F(DateFormatterTest, AReferenceDateDecidesTheRelativeWordNotTheClock) {
  const Date reference = local(2024, 8, 1, 9);
  EXPECT_EQ(formatter.displayDate(local(2024, 7, 31, 22), 1, reference), "Yesterday");
  EXPECT_EQ(formatter.displayDate(local(2024, 8, 2, 9), 2, reference), "Tomorrow");
  EXPECT_EQ(formatter.displayDate(local(2024, 8, 5, 9), 2, reference), "Monday");
  // Without the reference, the pinned now of March decides.
  EXPECT_EQ(formatter.displayDate(local(2024, 7, 31, 22), 1), "July 31");
}

TEST_F(DateFormatterTest, GermanUsesItsOwnWordsMonthsAndWeekdays) {
  setDefaultLocale("de_DE");
  EXPECT_EQ(formatter.displayDate(local(2024, 3, 11, 18), 1), "gestern");
  EXPECT_EQ(formatter.displayDate(local(2024, 3, 12, 18), 1), "heute");
  EXPECT_EQ(formatter.displayDate(local(2024, 3, 13, 8), 2), "morgen");
  EXPECT_EQ(formatter.displayDate(local(2024, 3, 14, 8), 2), "übermorgen");
  EXPECT_EQ(formatter.displayDate(local(2024, 3, 17, 8), 2), "Sonntag");
  EXPECT_EQ(formatter.displayDate(local(2024, 3, 13, 8), 1), "13. März");
  EXPECT_EQ(formatter.displayDate(local(2024, 12, 24, 8), 0), "24. Dezember");
  EXPECT_EQ(formatter.durationText(5 * kMinute), "5 Minuten");
  // Stored texts do not depend on the language.
  EXPECT_EQ(formatter.stringFromDate(local(2024, 3, 12)), "2024-03-12");
}

// Updated texts

TEST_F(DateFormatterTest, DatesAroundNowReadAsAMomentAgo) {
  EXPECT_EQ(formatter.updatedText(std::nullopt, now().addingTimeInterval(30)), "a moment ago");
  EXPECT_EQ(formatter.updatedText(std::nullopt, now().addingTimeInterval(59)), "a moment ago");
  EXPECT_EQ(formatter.updatedText(std::nullopt, now()), "a moment ago");
  EXPECT_EQ(formatter.updatedText(std::nullopt, now().addingTimeInterval(-59)), "a moment ago");
  // Further ahead is no moment ago, and not "ago" at all.
  EXPECT_EQ(formatter.updatedText(std::nullopt, now().addingTimeInterval(60)), "March 12");
  EXPECT_EQ(formatter.updatedText(std::nullopt, now().addingTimeInterval(3 * kDay)), "March 15");
}

TEST_F(DateFormatterTest, PastDatesUpToAWeekReadAsOneUnitAgo) {
  auto ago = [&](double seconds) {
    return formatter.updatedText(std::nullopt, now().addingTimeInterval(-seconds));
  };
  EXPECT_EQ(ago(60), "1 minute ago");
  EXPECT_EQ(ago(5 * kMinute + 59), "5 minutes ago");
  EXPECT_EQ(ago(3 * kHour), "3 hours ago");
  EXPECT_EQ(ago(2 * kHour - 1), "1 hour ago");
  EXPECT_EQ(ago(2 * kDay + 23 * kHour), "2 days ago");
  EXPECT_EQ(ago(7 * kDay), "7 days ago");
  EXPECT_EQ(ago(7 * kDay + 5), "March 5");
}

TEST_F(DateFormatterTest, GermanTimesAgoInflectTheirCount) {
  setDefaultLocale("de_DE");
  auto ago = [&](double seconds) {
    return formatter.updatedText(std::nullopt, now().addingTimeInterval(-seconds));
  };
  // The duration alone is nominative ("2 Tage"); after "vor" German needs the dative.
  EXPECT_EQ(ago(2 * kDay + 23 * kHour), "vor 2 Tagen");
  EXPECT_EQ(ago(7 * kDay), "vor 7 Tagen");
  EXPECT_EQ(ago(kDay), "vor 1 Tag");
  EXPECT_EQ(ago(3 * kHour), "vor 3 Stunden");
  EXPECT_EQ(ago(kMinute), "vor 1 Minute");
  EXPECT_EQ(ago(7 * kDay + 5), "5. März");
  EXPECT_EQ(formatter.durationText(2 * kDay), "2 Tage");
}

TEST_F(DateFormatterTest, FormatKeysWrapTheText) {
  EXPECT_EQ(formatter.updatedText("Updated %@", now().addingTimeInterval(-5 * kMinute)),
            "Updated 5 minutes ago");
  EXPECT_EQ(formatter.updatedText("Synced %@", now()), "Synced a moment ago");
  EXPECT_EQ(formatter.updatedText("Updated %@", local(2023, 12, 24)), "Updated December 24");
}

TEST_F(DateFormatterTest, UnsetDatesGiveNoUpdatedText) {
  EXPECT_EQ(formatter.updatedText("Updated %@", Date(0)), std::nullopt);
  EXPECT_EQ(formatter.updatedText(std::nullopt, Date(0.999)), std::nullopt);
  EXPECT_EQ(formatter.updatedText("Updated %@", std::nullopt), std::nullopt);
  EXPECT_EQ(formatter.updatedText(std::nullopt, Date(-86400)), std::nullopt);
  // One second after 1970 is a real (if odd) date.
  EXPECT_EQ(formatter.updatedText(std::nullopt, Date(1)), "January 1");
}

TEST_F(DateFormatterTest, WithoutAReferenceTheUpdatedTextIsMonthAndDay) {
  EXPECT_EQ(formatter.updatedText(std::nullopt, now(), std::nullopt), "March 12");
  const Date reference = local(2024, 5, 1, 12);
  EXPECT_EQ(
      formatter.updatedText(std::nullopt, reference.addingTimeInterval(-2 * kHour), reference),
      "2 hours ago");
}

TEST_F(DateFormatterTest, DurationsKeepTheLargestWholeUnit) {
  EXPECT_EQ(formatter.durationText(60), "1 minute");
  EXPECT_EQ(formatter.durationText(119), "1 minute");
  EXPECT_EQ(formatter.durationText(kHour - 1), "59 minutes");
  EXPECT_EQ(formatter.durationText(2 * kHour - 1), "1 hour");
  EXPECT_EQ(formatter.durationText(kDay - 1), "23 hours");
  EXPECT_EQ(formatter.durationText(2 * kDay - 1), "1 day");
  EXPECT_EQ(formatter.durationText(30), "0 minutes");
  EXPECT_EQ(formatter.durationText(-kHour), "0 minutes");
  EXPECT_EQ(formatter.durationText(kNaN), "0 minutes");
  EXPECT_FALSE(formatter.durationText(1e300).empty());
}

// Hours of today

TEST_F(DateFormatterTest, DateForHoursIsTodayAtThatTime) {
  EXPECT_EQ(formatter.dateForHours(18, 30), local(2024, 3, 12, 18, 30, 0));
  EXPECT_EQ(formatter.dateForHours(0, 0), local(2024, 3, 12, 0, 0, 0));
  EXPECT_EQ(formatter.dateForHours(-1, 0), std::nullopt);
  EXPECT_EQ(formatter.dateForHours(-1, 30), std::nullopt);
}

// Rebuilding

TEST_F(DateFormatterTest, ResetRebuildsTheFormattersOnNextUse) {
  const Date date = local(2024, 3, 11, 18);
  const std::string before = formatter.displayDate(date, 2);
  const auto resets = formatter.resetCount();
  for (int i = 0; i < 20; ++i) {
    formatter.reset();
    EXPECT_EQ(formatter.displayDate(date, 2), before);
    EXPECT_EQ(formatter.updatedText("Updated %@", now().addingTimeInterval(-kHour)),
              "Updated 1 hour ago");
  }
  EXPECT_EQ(formatter.resetCount(), resets + 20);
}

TEST_F(DateFormatterTest, UnchangedSettingsKeepTheFormatters) {
  formatter.stringFromDate(now());
  const auto resets = formatter.resetCount();
  for (int i = 0; i < 10; ++i) formatter.displayDate(now(), 2);
  EXPECT_EQ(formatter.resetCount(), resets);

  setDefaultZone("Asia/Tokyo");
  formatter.displayDate(now(), 2);
  formatter.displayDate(now(), 2);
  EXPECT_EQ(formatter.resetCount(), resets + 1);

  setDefaultLocale("fr_FR");
  EXPECT_EQ(formatter.displayDate(local(2024, 3, 20), 0), "20 mars");
  EXPECT_EQ(formatter.resetCount(), resets + 2);
}

TEST_F(DateFormatterTest, ChangeNotificationsReset) {
  formatter.stringFromDate(now());
  const auto resets = formatter.resetCount();
  auto& center = QBYNotificationCenter::defaultCenter();
  center.post(QBYSystemTimeZoneDidChangeNotification);
  center.post(QBYCurrentLocaleDidChangeNotification);
  center.post(QBYSystemClockDidChangeNotification);
  center.post("QBYSomethingElseNotification");
  EXPECT_EQ(formatter.resetCount(), resets + 3);
  EXPECT_EQ(formatter.stringFromDate(local(2024, 3, 12, 0, 30)), "2024-03-12");
}

TEST_F(DateFormatterTest, TheSharedFormatterIsOneInstanceSafeFromManyThreads) {
  std::vector<std::thread> threads;
  std::set<const QBYDateFormatter*> instances;
  std::mutex mutex;
  std::atomic<int> wrong{0};
  const Date date = local(2024, 3, 12, 0, 30);
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&] {
      QBYDateFormatter& shared = QBYDateFormatter::sharedFormatter();
      {
        std::lock_guard lock(mutex);
        instances.insert(&shared);
      }
      for (int i = 0; i < 200; ++i) {
        if (shared.stringFromDate(date) != "2024-03-12") ++wrong;
        if (shared.dateFromString("2024-03-12") != local(2024, 3, 12, 0, 0)) ++wrong;
        if (i % 50 == 0) shared.reset();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(instances.size(), 1u);
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace qby
