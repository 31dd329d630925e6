// Calendars kept as iCalendar files, one file per calendar in one folder, so any desktop
// calendar that subscribes to a file shows the events. All of them belong to one account,
// "On This Computer", and access is always granted: the files are our own.
//
// A calendar file is "<identifier>.ics" holding one VCALENDAR with the title (X-WR-CALNAME),
// the colour (X-APPLE-CALENDAR-COLOR, "#RRGGBB", read by many desktop calendars), the
// identifier (X-WR-RELCALID) and, for calendars that are not plain local ones, the kind
// (X-PORVANE-CALENDAR-TYPE). Events are VEVENTs addressed by their UID; all-day events are
// DTSTART;VALUE=DATE with DTEND on the next day. Components and properties this backend does
// not know (a user's own events, time zones) are kept as they are.
//
// Saving and removing change the calendar in memory and note the change; commit writes each
// changed file atomically (temporary file and rename) under a lock file, and when another
// process replaced the file in the meantime, reads it again and replays the noted changes on
// top of it, so neither process loses events. A file that cannot be read as one calendar is
// reported and never written: its calendar is listed, but holds no events and refuses changes.
// A file that cannot be written (or is one of the read-only kinds) is a calendar that does not
// allow changes.
//
// Threads: not synchronised (QBYCalendarStore serialises calls).
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "manager/QBYCalendarBackend.h"

namespace qby {

class QBYICSCalendarBackend : public QBYCalendarBackend {
 public:
  // Writes bytes to a file atomically; answers false (with a text in *error) and leaves the
  // file as it was on failure. Tests put a failing one in.
  using FileWriter = std::function<bool(const std::filesystem::path& file, std::string_view bytes,
                                        std::string* error)>;

  // The account every file calendar belongs to.
  static constexpr const char* kSourceIdentifier = "local";
  static constexpr const char* kSourceTitle = "On This Computer";
  // Files larger than this are not read (refused as damaged).
  static constexpr std::uintmax_t kMaximumFileSize = 64 * 1024 * 1024;

  // <shared container>/Calendars.
  static std::filesystem::path defaultFolder();

  // Calendars in that folder; it is made on the first calendar made. The default writer is
  // Paths::writeFileAtomically.
  explicit QBYICSCalendarBackend(std::filesystem::path folder, FileWriter writer = {});
  ~QBYICSCalendarBackend() override;
  QBYICSCalendarBackend(const QBYICSCalendarBackend&) = delete;
  QBYICSCalendarBackend& operator=(const QBYICSCalendarBackend&) = delete;

  const std::filesystem::path& folder() const { return folder_; }
  std::filesystem::path fileForCalendar(std::string_view identifier) const;

  // Makes a new, empty calendar file at once (not waiting for commit).
  std::optional<QBYEventCalendar> makeCalendar(const std::string& title,
                                               const std::optional<std::string>& color,
                                               std::int64_t type, QBYError* error);

  QBYCalendarAuthorization authorizationStatus() const override;
  void requestAccess(std::function<void(bool granted, std::optional<QBYError>)> done) override;
  void refreshSources() override;
  std::vector<QBYEventCalendar> calendars() const override;
  std::vector<QBYCalendarEvent> events(Date start, Date end,
                                       const std::vector<std::string>& calendars) const override;
  bool saveEvent(QBYCalendarEvent& event, const std::optional<std::string>& fromCalendar,
                 QBYError* error) override;
  bool removeEvent(const QBYCalendarEvent& event, QBYError* error) override;
  bool commit(QBYError* error) override;

 private:
  struct CalendarFile;

  void loadFolderIfNeeded() const;
  CalendarFile* calendarFile(std::string_view identifier) const;
  bool writeCalendarFile(CalendarFile& file, QBYError* error);

  std::filesystem::path folder_;
  FileWriter writer_;
  // Loaded on first use; by identifier.
  mutable bool loaded_ = false;
  mutable std::map<std::string, std::unique_ptr<CalendarFile>, std::less<>> files_;
};

}  // namespace qby
