// The calendar side of calendar events: access, the calendars a user may pick, and writing a
// delivery's all-day events into one of them. It decides which events belong to a delivery
// (by link), which may be reused (by title, near the dates the delivery had before) and which
// are left alone (older than a week); the deliveries manager decides when that happens.
//
// The calendars themselves are a QBYCalendarBackend's; the shared store keeps iCalendar files
// in the shared container. Changes are saved without committing and written by commit(), once
// per run.
//
// Threads: access is requested on the main thread; a backend may answer from a thread of its
// own, and the answer is brought to the main thread before the completions run. Calendars and
// events are used from any thread: the deliveries calendar writes from the data store's
// background queue while a window lists the calendars on the main thread, so every use of the
// backend holds the store's lock, and each call (a delivery's events read and rewritten, say)
// is whole to the other threads.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "manager/QBYCalendarBackend.h"
#include "platform/Date.h"
#include "platform/QBYError.h"
#include "platform/Value.h"
#include "presentation/Calendar.h"

namespace qby {

class QBYUserDefaults;

// Keys of a calendar's info dictionary, the form in which the chosen calendar is stored.
inline constexpr const char* QBYCalendarIdentifier = "QBYCalendarIdentifier";
inline constexpr const char* QBYCalendarType = "QBYCalendarType";
inline constexpr const char* QBYCalendarTitle = "QBYCalendarTitle";
inline constexpr const char* QBYCalendarColor = "QBYCalendarColor";
inline constexpr const char* QBYCalendarSourceIdentifier = "QBYCalendarSourceIdentifier";
inline constexpr const char* QBYCalendarSourceTitle = "QBYCalendarSourceTitle";

// Keys of an event dictionary: one event to write.
inline constexpr const char* QBYEventTitle = "QBYEventTitle";
// A title an existing event may carry instead (the plain name of a delivered item).
inline constexpr const char* QBYEventTitleAlternate = "QBYEventTitleAlternate";
inline constexpr const char* QBYEventDate = "QBYEventDate";

// The colour an info dictionary gives a calendar without one.
inline constexpr const char* QBYCalendarDefaultColor = "#FFFFFF";

class QBYCalendarStore {
 public:
  // The process's store over the calendar files in the shared container. When that folder
  // does not exist yet, a first calendar, "Deliveries", is made in it.
  static QBYCalendarStore& sharedStore();

  // A store over that backend; info dictionaries that must change are written to defaults
  // (the shared defaults when none is given).
  explicit QBYCalendarStore(std::shared_ptr<QBYCalendarBackend> backend,
                            QBYUserDefaults* defaults = nullptr);
  QBYCalendarStore(const QBYCalendarStore&) = delete;
  QBYCalendarStore& operator=(const QBYCalendarStore&) = delete;

  // The current calendar of dates, in the time zone and locale in effect at each call.
  Calendar calendar() const { return Calendar(); }
  bool requestingAccess() const;

  // Calls the completion with whether events may be written: at once when that is decided,
  // else when the backend answers (a second caller during a request waits for the same
  // answer). A denial is logged.
  void requestAccessWithCompletion(std::function<void(bool granted)> completion);
  void refreshSources();

  // The info dictionaries of the calendars that allow changes, grouped by account title
  // (groups in title order), each group sorted by "QBYCalendarTitle".
  Dictionary eventCalendars();
  std::optional<QBYEventCalendar> eventCalendarWithIdentifier(
      const std::optional<std::string>& identifier);
  // The calendar the info describes. When its identifier is gone, a changeable calendar of the
  // same account with the same title is taken as the same calendar after its account was added
  // again, and the info is stored again with the new identifier under updateKey; when there is
  // none, updateKey is removed, which turns calendar events off.
  std::optional<QBYEventCalendar> eventCalendarFromInfo(const Dictionary& info,
                                                        std::string_view updateKey);
  // The calendar's events from 8 days before to 8 days after the date.
  std::vector<QBYCalendarEvent> eventsWithDate(Date date, const QBYEventCalendar& calendar);

  // Writes one delivery's events (event dictionaries) into the calendar, reusing its existing
  // events near the replaced dates (also those in fromCalendar, which move over) and removing
  // the ones no dictionary asks for. Events older than 7 days are left alone. Answers whether
  // any event was saved or removed; nothing is committed.
  bool addEventsToCalendar(const QBYEventCalendar& calendar,
                           const std::optional<QBYEventCalendar>& fromCalendar,
                           const std::vector<Date>& replacingDates,
                           const std::vector<Dictionary>& details,
                           const std::optional<std::string>& url,
                           const std::optional<std::string>& location,
                           const std::optional<std::string>& notes);
  // Removes the delivery's events near the dates; with onlyAfter only those that begin later
  // than it (events of earlier days near a future date stay). Answers whether any was removed.
  bool removeEventsFromCalendar(const QBYEventCalendar& calendar, const std::vector<Date>& dates,
                                const std::optional<std::string>& url,
                                std::optional<Date> onlyAfter = std::nullopt);
  bool commit(QBYError* error = nullptr);

  // Whether the event belongs to the delivery with that link: Exchange calendars keep the link
  // in the notes, the others in the event's link. Without a link nothing belongs to it.
  static bool eventBelongsToURL(const QBYCalendarEvent& event, const QBYEventCalendar& calendar,
                                const std::optional<std::string>& url);

 private:
  struct AccessState;

  std::vector<QBYCalendarEvent> deliveryEvents(const QBYEventCalendar& calendar,
                                               const std::vector<Date>& dates,
                                               const std::optional<std::string>& url,
                                               std::optional<Date> notBefore);
  QBYUserDefaults& defaults() const;

  std::shared_ptr<QBYCalendarBackend> backend_;
  // Recursive: public calls build on each other (a calendar from its info looks it up by
  // identifier first).
  std::recursive_mutex backendMutex_;
  QBYUserDefaults* defaults_;
  std::shared_ptr<AccessState> access_;
};

// --- Operations on calendars of dates, dictionaries and platform calendars ---------------------

// The date plus whole calendar days (the time of day kept where it exists).
std::optional<Date> dateAddingDays(const Calendar& calendar, long days, Date date);
// The info without its colour, ready for the defaults.
Dictionary defaultsSafeCalendarInfo(const Dictionary& info);
// The calendar's info dictionary; nothing for a calendar that does not allow changes.
std::optional<Dictionary> calendarInfo(const QBYEventCalendar& calendar);

}  // namespace qby
