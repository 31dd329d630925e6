// The one shared date formatter: phrases dates as people speak of them ("Yesterday", a
// weekday in the coming week, "5 minutes ago", "March 4") and reads and writes the ISO day
// texts ("2024-03-04") that stored records and scripts use.
//
// The calendar and the formatters are built on first use in the user's current time zone and
// locale and dropped by reset(). reset() runs on the time-zone, locale and clock change
// notifications, and every call also checks that ICU's default zone and locale are still the
// ones the formatters were built for, so a process that changes its own zone is never stale.
//
// Any thread. The one lock inside guards the cache of ICU calendar and formatters, which is
// truly shared: the finder's and the updater's queues and the main thread all read and write
// dates, ICU's formatters are not safe to use from two threads at once, and a set of them per
// thread would cost each thread the build (milliseconds, hundreds of kilobytes) again.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Date.h"
#include "platform/QBYNotificationCenter.h"
#include "presentation/Calendar.h"

namespace qby {

class QBYDateFormatter {
 public:
  // How displayDate() may phrase a date relatively.
  enum RelativeMode : int {
    QBYRelativeNever = 0,                // always month and day
    QBYRelativeYesterdayToToday = 1,     // the locale's word for yesterday and today
    QBYRelativeYesterdayToWeekAhead = 2  // yesterday up to six days ahead (words or weekday)
  };

  static QBYDateFormatter& sharedFormatter();

  // Observes the change notifications on the default centre while it lives.
  QBYDateFormatter();
  ~QBYDateFormatter();
  QBYDateFormatter(const QBYDateFormatter&) = delete;
  QBYDateFormatter& operator=(const QBYDateFormatter&) = delete;

  // Drops the calendar and every formatter; the next use builds them for the current setting.
  void reset();
  // How often the formatters were dropped (reset, notification or a noticed change).
  std::uint64_t resetCount() const;

  // The user's current calendar, the one every day count of this formatter uses.
  Calendar calendar();

  // ISO day texts ("yyyy-MM-dd", in the calendar's zone). A text that is not exactly a valid
  // calendar day (no time, no blanks, "2024-02-30" refused) gives no date; the date is the
  // start of that day.
  std::optional<Date> dateFromString(std::optional<std::string_view> text);
  std::optional<std::string> stringFromDate(std::optional<Date> date);
  // ISO date and time with the zone offset ("2024-03-04T09:30:00+01:00", "…Z" in UTC).
  std::optional<Date> dateTimeFromString(std::optional<std::string_view> text);
  std::optional<std::string> dateTimeStringFromDate(std::optional<Date> date);

  // The date as a delivery line shows it, relative to the reference day (today when absent);
  // an absent date gives "".
  std::string displayDate(std::optional<Date> date, int relative,
                          std::optional<Date> toDate = std::nullopt);

  // "a moment ago", "5 minutes ago" up to 7 days back, else month and day; put into the
  // localised format key ("Updated %@", "Synced %@") when one is given. A date less than one
  // second after 1970 (never set) gives nothing. The two-argument form measures from now;
  // with an absent reference the text is month and day.
  std::optional<std::string> updatedText(std::optional<std::string_view> formatKey,
                                         std::optional<Date> date);
  std::optional<std::string> updatedText(std::optional<std::string_view> formatKey,
                                         std::optional<Date> date, std::optional<Date> toDate);

  // Today at that hour and minute, 0 seconds; a negative hour gives nothing.
  std::optional<Date> dateForHours(int hours, int minutes);

  // The pieces displayDate() and updatedText() are made of, for views that need one alone.
  std::string monthDayText(Date date);  // "March 4" / "4. März"
  std::string weekdayText(Date date);   // "Monday"
  // One unit of a duration with its full name, the largest of days, hours and minutes that is
  // at least 1, rounded down: 7199 s is "1 hour", 172800 s is "2 days". Under a minute (or a
  // negative interval) gives "0 minutes".
  std::string durationText(double seconds);

 private:
  struct Formatters;

  void dropIfStale();
  void dropAll();
  Formatters& formatters();
  std::optional<std::string> updatedTextLocked(std::optional<std::string_view> formatKey,
                                               std::optional<Date> date,
                                               std::optional<Date> toDate);
  std::string displayDateLocked(std::optional<Date> date, int relative, std::optional<Date> toDate);
  std::string relativeDayText(Date date, long days);
  std::string durationTextLocked(double seconds);
  // "5 minutes ago" / "vor 5 Minuten": the interval in one unit, as durationText() picks it.
  std::string agoTextLocked(double seconds);

  mutable std::mutex mutex_;
  std::unique_ptr<Formatters> formatters_;
  std::uint64_t resetCount_ = 0;
  ObserverToken clockObserver_;
  ObserverToken timeZoneObserver_;
  ObserverToken localeObserver_;
};

}  // namespace qby
