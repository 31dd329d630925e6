#include "presentation/QBYDateFormatter.h"

#include <unicode/calendar.h>
#include <unicode/datefmt.h>
#include <unicode/dtptngen.h>
#include <unicode/locid.h>
#include <unicode/measfmt.h>
#include <unicode/measunit.h>
#include <unicode/measure.h>
#include <unicode/reldatefmt.h>
#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>
#include <unicode/udisplaycontext.h>

#include <algorithm>
#include <cmath>

#include "platform/Format.h"
#include "platform/Localization.h"
#include "platform/SystemChangeMonitor.h"
#include "util/ICUText.h"

namespace qby {

using icutext::fromUDate;
using icutext::isRepresentable;
using icutext::toUDate;

namespace {

constexpr double kSecondsPerMinute = 60;
constexpr double kSecondsPerHour = 3600;
constexpr double kSecondsPerDay = 86400;
constexpr double kWeek = 7 * kSecondsPerDay;

// Every date field of an ISO day: four-digit year, two-digit month and day, ASCII only. ICU's
// strict parsing alone would still take " 2024-01-01", "24-01-01" or full-width digits.
bool hasISODayShape(std::string_view text) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (i == 4 || i == 7) continue;
    if (text[i] < '0' || text[i] > '9') return false;
  }
  return true;
}

// Strict parsing: no lenient field values (month 13, February 30), no blanks or partial
// literals accepted.
void makeStrict(icu::DateFormat& format) {
  UErrorCode status = U_ZERO_ERROR;
  format.setLenient(false);
  format.setBooleanAttribute(UDAT_PARSE_ALLOW_WHITESPACE, false, status);
  format.setBooleanAttribute(UDAT_PARSE_ALLOW_NUMERIC, false, status);
  format.setBooleanAttribute(UDAT_PARSE_PARTIAL_LITERAL_MATCH, false, status);
  format.setBooleanAttribute(UDAT_PARSE_MULTIPLE_PATTERNS_FOR_MATCH, false, status);
}

std::unique_ptr<icu::SimpleDateFormat> makePatternFormat(const char* pattern,
                                                         const icu::Locale& locale,
                                                         const icu::TimeZone& zone) {
  UErrorCode status = U_ZERO_ERROR;
  auto format =
      std::make_unique<icu::SimpleDateFormat>(icu::UnicodeString(pattern), locale, status);
  if (U_FAILURE(status)) return nullptr;
  format->setTimeZone(zone);
  return format;
}

// A format for the locale's best pattern for a skeleton ("MMMM d" is "d. MMMM" in German).
std::unique_ptr<icu::SimpleDateFormat> makeSkeletonFormat(const char* skeleton,
                                                          const icu::Locale& locale,
                                                          const icu::TimeZone& zone) {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::DateTimePatternGenerator> generator(
      icu::DateTimePatternGenerator::createInstance(locale, status));
  if (U_FAILURE(status) || !generator) return nullptr;
  const icu::UnicodeString pattern =
      generator->getBestPattern(icu::UnicodeString(skeleton), status);
  if (U_FAILURE(status)) return nullptr;
  auto format = std::make_unique<icu::SimpleDateFormat>(pattern, locale, status);
  if (U_FAILURE(status)) return nullptr;
  format->setTimeZone(zone);
  return format;
}

std::unique_ptr<icu::DateFormat> makeShortDateFormat(icu::DateFormat::EStyle style,
                                                     const icu::Locale& locale,
                                                     const icu::TimeZone& zone) {
  std::unique_ptr<icu::DateFormat> format(icu::DateFormat::createDateInstance(style, locale));
  if (!format) return nullptr;
  format->setTimeZone(zone);
  // Words like "Yesterday" stand alone in list rows and status lines; the locale's data
  // decides whether they are capitalised there (English yes, German no).
  UErrorCode status = U_ZERO_ERROR;
  format->setContext(UDISPCTX_CAPITALIZATION_FOR_UI_LIST_OR_MENU, status);
  return format;
}

std::string formatDate(const icu::DateFormat* format, Date date) {
  if (!format || !isRepresentable(date)) return "";
  icu::UnicodeString text;
  format->format(toUDate(date), text);
  return icutext::utf8(text);
}

std::optional<Date> parseDate(const icu::DateFormat* format, std::string_view text) {
  if (!format) return std::nullopt;
  const icu::UnicodeString unicode = icutext::unicode(text);
  icu::ParsePosition position(0);
  const UDate date = format->parse(unicode, position);
  if (position.getErrorIndex() >= 0 || position.getIndex() != unicode.length()) {
    return std::nullopt;
  }
  return fromUDate(date);
}

}  // namespace

// The calendar and formatters of one setting (zone and locale). The calendar is made at once;
// each formatter on its first use.
struct QBYDateFormatter::Formatters {
  Formatters() : calendar(), locale(icu::Locale::getDefault()) {
    zone.reset(calendar.icuCalendar().getTimeZone().clone());
    localeName = locale.getName();
  }

  icu::SimpleDateFormat* isoDateFormatter() {
    if (!isoDate) {
      isoDate = makePatternFormat("yyyy-MM-dd", icu::Locale("en_US_POSIX"), *zone);
      if (isoDate) makeStrict(*isoDate);
    }
    return isoDate.get();
  }
  icu::SimpleDateFormat* isoDateTimeFormatter() {
    if (!isoDateTime) {
      isoDateTime =
          makePatternFormat("yyyy-MM-dd'T'HH:mm:ssXXX", icu::Locale("en_US_POSIX"), *zone);
      if (isoDateTime) makeStrict(*isoDateTime);
    }
    return isoDateTime.get();
  }
  icu::SimpleDateFormat* dateFormatter() {
    if (!monthDay) monthDay = makeSkeletonFormat("MMMM d", locale, *zone);
    return monthDay.get();
  }
  icu::DateFormat* relativeFormatter() {
    if (!relative) relative = makeShortDateFormat(icu::DateFormat::kShortRelative, locale, *zone);
    return relative.get();
  }
  icu::DateFormat* comparisonFormatter() {
    if (!comparison) comparison = makeShortDateFormat(icu::DateFormat::kShort, locale, *zone);
    return comparison.get();
  }
  icu::SimpleDateFormat* dayFormatter() {
    if (!weekday) weekday = makeSkeletonFormat("EEEE", locale, *zone);
    return weekday.get();
  }
  icu::MeasureFormat* componentsFormatter() {
    if (!duration) {
      UErrorCode status = U_ZERO_ERROR;
      auto format = std::make_unique<icu::MeasureFormat>(locale, UMEASFMT_WIDTH_WIDE, status);
      if (U_SUCCESS(status)) duration = std::move(format);
    }
    return duration.get();
  }

  icu::RelativeDateTimeFormatter* agoFormatter() {
    if (!ago) {
      UErrorCode status = U_ZERO_ERROR;
      auto format = std::make_unique<icu::RelativeDateTimeFormatter>(
          locale, nullptr, UDAT_STYLE_LONG, UDISPCTX_CAPITALIZATION_NONE, status);
      if (U_SUCCESS(status)) ago = std::move(format);
    }
    return ago.get();
  }

  const Calendar calendar;
  const icu::Locale locale;
  // The setting the formatters were made for, to notice when ICU's defaults move on.
  std::unique_ptr<icu::TimeZone> zone;
  std::string localeName;

 private:
  std::unique_ptr<icu::SimpleDateFormat> isoDate;
  std::unique_ptr<icu::SimpleDateFormat> isoDateTime;
  std::unique_ptr<icu::SimpleDateFormat> monthDay;
  std::unique_ptr<icu::DateFormat> relative;
  std::unique_ptr<icu::DateFormat> comparison;
  std::unique_ptr<icu::SimpleDateFormat> weekday;
  std::unique_ptr<icu::MeasureFormat> duration;
  std::unique_ptr<icu::RelativeDateTimeFormatter> ago;
};

QBYDateFormatter& QBYDateFormatter::sharedFormatter() {
  static QBYDateFormatter formatter;
  return formatter;
}

QBYDateFormatter::QBYDateFormatter() {
  auto& center = QBYNotificationCenter::defaultCenter();
  const auto handler = [this](const Notification&) { reset(); };
  clockObserver_ = center.addObserver(QBYSystemClockDidChangeNotification, nullptr, handler);
  timeZoneObserver_ = center.addObserver(QBYSystemTimeZoneDidChangeNotification, nullptr, handler);
  localeObserver_ = center.addObserver(QBYCurrentLocaleDidChangeNotification, nullptr, handler);
}

QBYDateFormatter::~QBYDateFormatter() = default;

void QBYDateFormatter::reset() {
  std::lock_guard lock(mutex_);
  dropAll();
}

std::uint64_t QBYDateFormatter::resetCount() const {
  std::lock_guard lock(mutex_);
  return resetCount_;
}

void QBYDateFormatter::dropAll() {
  formatters_.reset();
  ++resetCount_;
}

void QBYDateFormatter::dropIfStale() {
  if (!formatters_) return;
  const std::unique_ptr<icu::TimeZone> zone(icu::TimeZone::createDefault());
  if ((zone && *zone != *formatters_->zone) ||
      formatters_->localeName != icu::Locale::getDefault().getName()) {
    dropAll();
  }
}

QBYDateFormatter::Formatters& QBYDateFormatter::formatters() {
  dropIfStale();
  if (!formatters_) formatters_ = std::make_unique<Formatters>();
  return *formatters_;
}

Calendar QBYDateFormatter::calendar() {
  std::lock_guard lock(mutex_);
  return formatters().calendar;
}

std::optional<Date> QBYDateFormatter::dateFromString(std::optional<std::string_view> text) {
  if (!text || !hasISODayShape(*text)) return std::nullopt;
  std::lock_guard lock(mutex_);
  return parseDate(formatters().isoDateFormatter(), *text);
}

std::optional<std::string> QBYDateFormatter::stringFromDate(std::optional<Date> date) {
  if (!date || !isRepresentable(*date)) return std::nullopt;
  std::lock_guard lock(mutex_);
  std::string text = formatDate(formatters().isoDateFormatter(), *date);
  if (text.empty()) return std::nullopt;
  return text;
}

std::optional<Date> QBYDateFormatter::dateTimeFromString(std::optional<std::string_view> text) {
  if (!text || text->empty()) return std::nullopt;
  std::lock_guard lock(mutex_);
  return parseDate(formatters().isoDateTimeFormatter(), *text);
}

std::optional<std::string> QBYDateFormatter::dateTimeStringFromDate(std::optional<Date> date) {
  if (!date || !isRepresentable(*date)) return std::nullopt;
  std::lock_guard lock(mutex_);
  std::string text = formatDate(formatters().isoDateTimeFormatter(), *date);
  if (text.empty()) return std::nullopt;
  return text;
}

std::string QBYDateFormatter::displayDate(std::optional<Date> date, int relative,
                                          std::optional<Date> toDate) {
  std::lock_guard lock(mutex_);
  return displayDateLocked(date, relative, toDate);
}

std::string QBYDateFormatter::displayDateLocked(std::optional<Date> date, int relative,
                                                std::optional<Date> toDate) {
  if (!date || !isRepresentable(*date)) return "";
  Formatters& f = formatters();
  const Date reference = toDate && isRepresentable(*toDate) ? *toDate : Date::now();
  const long days = f.calendar.daysUntilDate(*date, reference);
  const bool relativeForm =
      (relative == QBYRelativeYesterdayToWeekAhead && days >= -1 && days <= 6) ||
      (relative == QBYRelativeYesterdayToToday && (days == -1 || days == 0));
  if (!relativeForm) return formatDate(f.dateFormatter(), *date);
  return relativeDayText(*date, days);
}

std::string QBYDateFormatter::relativeDayText(Date date, long days) {
  Formatters& f = formatters();
  // ICU picks its word by comparing with the real clock's today, while the day count may come
  // from another reference (a pinned clock, a caller's date). Ask about the day that lies
  // `days` after the real today, at noon, so the word always matches the count.
  const Date icuToday = fromUDate(icu::Calendar::getNow());
  std::optional<Date> probe = f.calendar.dateDaysFrom(days, icuToday);
  if (probe) probe = f.calendar.dateFromDate(*probe, 12, 0);
  if (probe) {
    const std::string relativeText = formatDate(f.relativeFormatter(), *probe);
    const std::string plainText = formatDate(f.comparisonFormatter(), *probe);
    // Equal texts mean the locale has no word for that day.
    if (!relativeText.empty() && relativeText != plainText) return relativeText;
  }
  return formatDate(f.dayFormatter(), date);
}

std::optional<std::string> QBYDateFormatter::updatedText(std::optional<std::string_view> formatKey,
                                                         std::optional<Date> date) {
  return updatedText(formatKey, date, Date::now());
}

std::optional<std::string> QBYDateFormatter::updatedText(std::optional<std::string_view> formatKey,
                                                         std::optional<Date> date,
                                                         std::optional<Date> toDate) {
  std::lock_guard lock(mutex_);
  return updatedTextLocked(formatKey, date, toDate);
}

std::optional<std::string> QBYDateFormatter::updatedTextLocked(
    std::optional<std::string_view> formatKey, std::optional<Date> date,
    std::optional<Date> toDate) {
  // An unset date is stored as 0 (or 1) seconds since 1970.
  if (!date || !isRepresentable(*date) || date->timeIntervalSince1970() < 1) return std::nullopt;

  std::optional<std::string> text;
  if (toDate && isRepresentable(*toDate)) {
    const double interval = toDate->timeIntervalSince(*date);
    if (*date >= *toDate) {
      // Clocks of different machines disagree a little; a minute ahead still reads as now.
      if (interval > -kSecondsPerMinute) text = QBYLocalizedString("a moment ago");
    } else if (interval < kSecondsPerMinute) {
      text = QBYLocalizedString("a moment ago");
    } else if (interval <= kWeek) {
      text = agoTextLocked(interval);
    }
  }
  if (!text) text = displayDateLocked(date, QBYRelativeNever, std::nullopt);
  if (formatKey) return format(QBYLocalizedString(*formatKey), *text);
  return text;
}

std::optional<Date> QBYDateFormatter::dateForHours(int hours, int minutes) {
  if (hours < 0) return std::nullopt;
  return calendar().dateFromDate(Date::now(), hours, minutes);
}

std::string QBYDateFormatter::monthDayText(Date date) {
  std::lock_guard lock(mutex_);
  return formatDate(formatters().dateFormatter(), date);
}

std::string QBYDateFormatter::weekdayText(Date date) {
  std::lock_guard lock(mutex_);
  return formatDate(formatters().dayFormatter(), date);
}

std::string QBYDateFormatter::durationText(double seconds) {
  std::lock_guard lock(mutex_);
  return durationTextLocked(seconds);
}

namespace {

enum class DurationUnit { Minute, Hour, Day };

// One unit only, as a duration formatter limited to one unit shows it: the largest unit with a
// count of at least 1, the rest dropped (so 1 h 59 min is "1 hour", never "2 hours").
std::pair<DurationUnit, double> oneUnit(double seconds) {
  double count = 0;
  DurationUnit unit = DurationUnit::Minute;
  if (!std::isfinite(seconds) || seconds < kSecondsPerMinute) {
    count = 0;
  } else if (seconds >= kSecondsPerDay) {
    unit = DurationUnit::Day;
    count = std::floor(seconds / kSecondsPerDay);
  } else if (seconds >= kSecondsPerHour) {
    unit = DurationUnit::Hour;
    count = std::floor(seconds / kSecondsPerHour);
  } else {
    count = std::floor(seconds / kSecondsPerMinute);
  }
  return {unit, std::min(count, 1e15)};  // beyond any real interval, still an exact integer
}

}  // namespace

std::string QBYDateFormatter::agoTextLocked(double seconds) {
  // The locale's own phrase for a time ago, not the duration put into a sentence: languages
  // inflect the count after their word for "ago" ("vor 2 Tagen", never "vor 2 Tage").
  const auto [unit, count] = oneUnit(seconds);
  if (icu::RelativeDateTimeFormatter* formatter = formatters().agoFormatter()) {
    const UDateRelativeUnit relativeUnit = unit == DurationUnit::Day    ? UDAT_RELATIVE_DAYS
                                           : unit == DurationUnit::Hour ? UDAT_RELATIVE_HOURS
                                                                        : UDAT_RELATIVE_MINUTES;
    UErrorCode status = U_ZERO_ERROR;
    icu::UnicodeString text;
    formatter->format(count, UDAT_DIRECTION_LAST, relativeUnit, text, status);
    if (U_SUCCESS(status) && !text.isEmpty()) return icutext::utf8(text);
  }
  return format(QBYLocalizedString("%@ ago"), durationTextLocked(seconds));
}

std::string QBYDateFormatter::durationTextLocked(double seconds) {
  const auto [which, count] = oneUnit(seconds);
  UErrorCode status = U_ZERO_ERROR;
  icu::MeasureUnit* unit = which == DurationUnit::Day    ? icu::MeasureUnit::createDay(status)
                           : which == DurationUnit::Hour ? icu::MeasureUnit::createHour(status)
                                                         : icu::MeasureUnit::createMinute(status);
  // Measure adopts the unit, also when it fails.
  const icu::Measure measure(icu::Formattable(static_cast<int64_t>(count)), unit, status);
  icu::MeasureFormat* formatter = formatters().componentsFormatter();
  if (U_FAILURE(status) || !formatter) return "";
  icu::UnicodeString text;
  icu::FieldPosition position;
  formatter->formatMeasures(&measure, 1, text, position, status);
  if (U_FAILURE(status)) return "";
  return icutext::utf8(text);
}

}  // namespace qby
