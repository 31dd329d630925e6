// The calendar store underneath QBYCalendarStore: calendars grouped by account, events found by
// date range, events saved and removed in memory and written out by one commit. The first
// backend keeps each calendar in an iCalendar file of our own (QBYICSCalendarBackend); one that
// talks to the desktop's calendar server can take its place without changing the callers.
//
// Threads: a backend is not synchronised; QBYCalendarStore calls it on the main thread only.
// The completion of requestAccess may arrive on any thread and must not touch the calendars.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/Date.h"
#include "platform/QBYError.h"

namespace qby {

// Errors of calendar backends. The description names the calendar or file concerned.
inline constexpr const char* QBYCalendarErrorDomain = "com.quillbay.calendar";
enum QBYCalendarErrorCode : std::int64_t {
  QBYCalendarErrorCalendarNotFound = 1,  // no calendar with that identifier
  QBYCalendarErrorReadOnly = 2,          // the calendar does not allow changes
  QBYCalendarErrorDamaged = 3,           // the calendar's file could not be read as a calendar
  QBYCalendarErrorEventNotFound = 4,     // the event is not (or no longer) in its calendar
  QBYCalendarErrorWriteFailed = 5,       // a file could not be written; nothing was replaced
};

// Whether this program may read and change events (the desktop may ask the user).
enum class QBYCalendarAuthorization { NotDetermined, Restricted, Denied, Authorized };

// The kinds of calendar accounts. Exchange calendars keep an event's link in its notes, since
// they have no field of their own for it; subscriptions and birthdays cannot be changed.
enum QBYCalendarType : std::int64_t {
  QBYCalendarTypeLocal = 0,
  QBYCalendarTypeCalDAV = 1,
  QBYCalendarTypeExchange = 2,
  QBYCalendarTypeSubscription = 3,
  QBYCalendarTypeBirthday = 4,
};

enum class QBYEventAvailability { NotSupported, Busy, Free, Tentative, Unavailable };

struct QBYEventCalendar {
  std::string identifier;
  std::string title;
  std::int64_t type = QBYCalendarTypeLocal;
  // "#RRGGBB"; absent when the calendar has none.
  std::optional<std::string> color;
  // The account the calendar belongs to.
  std::optional<std::string> sourceIdentifier;
  std::optional<std::string> sourceTitle;
  bool allowsContentModifications = true;
  bool supportsAvailabilities = true;

  bool operator==(const QBYEventCalendar&) const = default;
};

// An event as a value: read it, change the copy, save it. For an all-day event startDate and
// endDate are the starts of its first and last day in the current time zone (a one-day event
// has both equal), so an event read back compares equal to the one that was saved.
struct QBYCalendarEvent {
  // Stable across saves and moves between calendars; absent until the event is first saved.
  std::optional<std::string> eventIdentifier;
  std::string calendarIdentifier;
  std::string title;
  Date startDate;
  Date endDate;
  bool allDay = true;
  std::optional<std::string> url;
  std::optional<std::string> notes;
  std::optional<std::string> location;
  QBYEventAvailability availability = QBYEventAvailability::Busy;

  bool operator==(const QBYCalendarEvent&) const = default;
};

class QBYCalendarBackend {
 public:
  virtual ~QBYCalendarBackend() = default;

  virtual QBYCalendarAuthorization authorizationStatus() const = 0;
  // Asks for access; the completion receives the answer, on any thread.
  virtual void requestAccess(std::function<void(bool granted, std::optional<QBYError>)> done) = 0;

  // Reads the calendars and their events again where they changed outside this process.
  // Changes saved but not committed are kept.
  virtual void refreshSources() = 0;
  // Every calendar, also those that do not allow changes and those that could not be read.
  virtual std::vector<QBYEventCalendar> calendars() const = 0;
  // Events of those calendars that overlap [start, end), committed or not, by start date.
  virtual std::vector<QBYCalendarEvent> events(Date start, Date end,
                                               const std::vector<std::string>& calendars) const = 0;

  // Keeps the event in memory until the next commit. A new event (no identifier) gets one; an
  // event whose calendar changed moves from fromCalendar, where it was read.
  virtual bool saveEvent(QBYCalendarEvent& event, const std::optional<std::string>& fromCalendar,
                         QBYError* error) = 0;
  virtual bool removeEvent(const QBYCalendarEvent& event, QBYError* error) = 0;
  // Writes every saved and removed event. On failure the pending changes stay for the next
  // commit and nothing stored is lost.
  virtual bool commit(QBYError* error) = 0;
};

}  // namespace qby
