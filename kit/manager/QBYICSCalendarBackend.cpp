#include "manager/QBYICSCalendarBackend.h"

#include <fcntl.h>
#include <libical/ical.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unicode/gregocal.h>
#include <unicode/timezone.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <system_error>
#include <tuple>

#include "manager/ICalPtr.h"
#include "platform/Localization.h"
#include "platform/Log.h"
#include "platform/Paths.h"

namespace qby {

namespace {

constexpr const char* kTitleProperty = "X-WR-CALNAME";
constexpr const char* kColorProperty = "X-APPLE-CALENDAR-COLOR";
constexpr const char* kIdentifierProperty = "X-WR-RELCALID";
constexpr const char* kTypeProperty = "X-PORVANE-CALENDAR-TYPE";
constexpr const char* kProductIdentifier = "-//Quill Bay//Porvane//EN";
constexpr const char* kLockFileName = ".lock";

QBYError calendarError(QBYCalendarErrorCode code, std::string description) {
  return QBYError::make(QBYCalendarErrorDomain, code, std::move(description));
}

// Identity and version of a file, to notice that another process replaced it.
struct FileStamp {
  bool exists = false;
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  long long modifiedNanoseconds = 0;
  bool operator==(const FileStamp&) const = default;
};

FileStamp stampOf(const std::filesystem::path& file) {
  struct stat info {};
  if (::stat(file.c_str(), &info) != 0) return {};
  return {true, info.st_dev, info.st_ino, info.st_size,
          static_cast<long long>(info.st_mtim.tv_sec) * 1000000000LL + info.st_mtim.tv_nsec};
}

// An exclusive lock on the folder's lock file while it lives, so that two processes committing
// to the same calendar take turns. Without a lock file (folder not writable) nothing is locked;
// the write that follows fails on its own.
class FolderLock {
 public:
  explicit FolderLock(const std::filesystem::path& folder) {
    fd_ = ::open((folder / kLockFileName).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ >= 0) {
      while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
      }
    }
  }
  ~FolderLock() {
    if (fd_ >= 0) ::close(fd_);  // closing releases the lock
  }
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

 private:
  int fd_ = -1;
};

std::string randomIdentifier() {
  std::random_device device;
  std::uniform_int_distribution<int> nibble(0, 15);
  std::string text;
  for (int i = 0; i < 32; ++i) {
    if (i == 8 || i == 12 || i == 16 || i == 20) text += '-';
    int value = nibble(device);
    if (i == 12) value = 4;                // version 4
    if (i == 16) value = 8 | (value & 3);  // RFC 4122 variant
    text += "0123456789ABCDEF"[value];
  }
  return text;
}

// --- Days in the current time zone -------------------------------------------------------------

struct Day {
  int year = 0;
  int month = 0;  // 1-based
  int day = 0;
};

// iCalendar days are Gregorian whatever calendar the user reads dates in; only the time zone
// is the user's.
std::unique_ptr<icu::Calendar> workingCalendar() {
  UErrorCode status = U_ZERO_ERROR;
  auto calendar = std::make_unique<icu::GregorianCalendar>(icu::TimeZone::createDefault(), status);
  if (U_FAILURE(status)) return nullptr;
  return calendar;
}

std::optional<Day> dayOf(Date date) {
  auto calendar = workingCalendar();
  if (!calendar) return std::nullopt;
  UErrorCode status = U_ZERO_ERROR;
  calendar->setTime(date.timeIntervalSince1970() * 1000.0, status);
  Day day{calendar->get(UCAL_EXTENDED_YEAR, status), calendar->get(UCAL_MONTH, status) + 1,
          calendar->get(UCAL_DATE, status)};
  if (U_FAILURE(status)) return std::nullopt;
  return day;
}

// The moment of that local time (days beyond the month roll over, so day + 1 is the next day).
std::optional<Date> localDate(int year, int month, int day, int hour = 0, int minute = 0,
                              int second = 0) {
  auto calendar = workingCalendar();
  if (!calendar) return std::nullopt;
  calendar->clear();
  calendar->set(UCAL_EXTENDED_YEAR, year);
  calendar->set(UCAL_MONTH, month - 1);
  calendar->set(UCAL_DATE, day);
  calendar->set(UCAL_HOUR_OF_DAY, hour);
  calendar->set(UCAL_MINUTE, minute);
  calendar->set(UCAL_SECOND, second);
  UErrorCode status = U_ZERO_ERROR;
  const UDate millis = calendar->getTime(status);
  if (U_FAILURE(status)) return std::nullopt;
  return Date(millis / 1000.0);
}

std::optional<Date> startOfDay(Day day, int offset = 0) {
  return localDate(day.year, day.month, day.day + offset);
}

icaltimetype icalDay(Day day) {
  icaltimetype time = icaltime_null_date();
  time.year = day.year;
  time.month = day.month;
  time.day = day.day;
  time.is_date = 1;
  return icaltime_normalize(time);
}

icaltimetype icalUTC(Date date) {
  return icaltime_from_timet_with_zone(static_cast<time_t>(date.timeIntervalSince1970()), 0,
                                       icaltimezone_get_utc_timezone());
}

// A date-time value as a moment: with its zone (or UTC) when it has one, else as a local time.
std::optional<Date> momentOf(icaltimetype time) {
  if (icaltime_is_null_time(time) || !icaltime_is_valid_time(time)) return std::nullopt;
  if (time.is_date) return localDate(time.year, time.month, time.day);
  if (icaltime_is_utc(time) || time.zone)
    return Date(static_cast<double>(icaltime_as_timet_with_zone(time, time.zone)));
  return localDate(time.year, time.month, time.day, time.hour, time.minute, time.second);
}

// --- Components and properties -----------------------------------------------------------------

icalproperty* xProperty(icalcomponent* component, std::string_view name) {
  for (auto* property = icalcomponent_get_first_property(component, ICAL_X_PROPERTY); property;
       property = icalcomponent_get_next_property(component, ICAL_X_PROPERTY)) {
    const char* propertyName = icalproperty_get_x_name(property);
    if (propertyName && std::string_view(propertyName) == name) return property;
  }
  return nullptr;
}

std::optional<std::string> xValue(icalcomponent* component, std::string_view name) {
  auto* property = xProperty(component, name);
  if (!property) return std::nullopt;
  const char* value = icalproperty_get_x(property);
  if (!value) return std::nullopt;
  return std::string(value);
}

void setXValue(icalcomponent* component, const char* name,
               const std::optional<std::string>& value) {
  while (auto* old = xProperty(component, name)) {
    icalcomponent_remove_property(component, old);
    icalproperty_free(old);
  }
  if (!value) return;
  auto* property = icalproperty_new_x(value->c_str());
  icalproperty_set_x_name(property, name);
  icalcomponent_add_property(component, property);
}

void removeProperties(icalcomponent* component, icalproperty_kind kind) {
  while (auto* property = icalcomponent_get_first_property(component, kind)) {
    icalcomponent_remove_property(component, property);
    icalproperty_free(property);
  }
}

void replaceProperty(icalcomponent* component, icalproperty_kind kind, icalproperty* property) {
  removeProperties(component, kind);
  if (property) icalcomponent_add_property(component, property);
}

std::optional<std::string> textOf(const char* text) {
  if (!text) return std::nullopt;
  return std::string(text);
}

std::optional<std::string> uidOf(icalcomponent* event) {
  return textOf(icalcomponent_get_uid(event));
}

// The main event of that UID (not an override of one occurrence).
icalcomponent* masterEvent(icalcomponent* root, std::string_view uid) {
  for (auto* event = icalcomponent_get_first_component(root, ICAL_VEVENT_COMPONENT); event;
       event = icalcomponent_get_next_component(root, ICAL_VEVENT_COMPONENT)) {
    const char* eventUID = icalcomponent_get_uid(event);
    if (eventUID && std::string_view(eventUID) == uid &&
        !icalcomponent_get_first_property(event, ICAL_RECURRENCEID_PROPERTY))
      return event;
  }
  return nullptr;
}

// Removes every component of that UID; answers whether there was one.
bool removeEventComponents(icalcomponent* root, std::string_view uid) {
  std::vector<icalcomponent*> doomed;
  for (auto* event = icalcomponent_get_first_component(root, ICAL_VEVENT_COMPONENT); event;
       event = icalcomponent_get_next_component(root, ICAL_VEVENT_COMPONENT)) {
    const char* eventUID = icalcomponent_get_uid(event);
    if (eventUID && std::string_view(eventUID) == uid) doomed.push_back(event);
  }
  for (auto* event : doomed) {
    icalcomponent_remove_component(root, event);
    icalcomponent_free(event);
  }
  return !doomed.empty();
}

// Writes the event into its VEVENT, making one when the UID is new. Properties the event
// does not describe (alarms, categories a user added) stay.
void applyEvent(icalcomponent* root, const QBYCalendarEvent& event) {
  const std::string& uid = *event.eventIdentifier;
  icalcomponent* component = masterEvent(root, uid);
  const icaltimetype now = icalUTC(Date::now());
  if (!component) {
    component = icalcomponent_new_vevent();
    icalcomponent_add_property(component, icalproperty_new_uid(uid.c_str()));
    icalcomponent_add_property(component, icalproperty_new_created(now));
    icalcomponent_add_component(root, component);
  }
  replaceProperty(component, ICAL_DTSTAMP_PROPERTY, icalproperty_new_dtstamp(now));
  replaceProperty(component, ICAL_LASTMODIFIED_PROPERTY, icalproperty_new_lastmodified(now));
  replaceProperty(component, ICAL_SUMMARY_PROPERTY, icalproperty_new_summary(event.title.c_str()));
  removeProperties(component, ICAL_DURATION_PROPERTY);
  if (event.allDay) {
    const auto first = dayOf(event.startDate);
    const auto last = dayOf(event.endDate);
    if (first) {
      Day end = last.value_or(*first);
      if (std::tie(end.year, end.month, end.day) < std::tie(first->year, first->month, first->day))
        end = *first;
      end.day += 1;  // DTEND of an all-day event is the day after the last one
      replaceProperty(component, ICAL_DTSTART_PROPERTY, icalproperty_new_dtstart(icalDay(*first)));
      replaceProperty(component, ICAL_DTEND_PROPERTY, icalproperty_new_dtend(icalDay(end)));
    }
  } else {
    replaceProperty(component, ICAL_DTSTART_PROPERTY,
                    icalproperty_new_dtstart(icalUTC(event.startDate)));
    replaceProperty(component, ICAL_DTEND_PROPERTY,
                    icalproperty_new_dtend(icalUTC(std::max(event.endDate, event.startDate))));
  }
  replaceProperty(component, ICAL_URL_PROPERTY,
                  event.url ? icalproperty_new_url(event.url->c_str()) : nullptr);
  replaceProperty(component, ICAL_DESCRIPTION_PROPERTY,
                  event.notes ? icalproperty_new_description(event.notes->c_str()) : nullptr);
  replaceProperty(component, ICAL_LOCATION_PROPERTY,
                  event.location ? icalproperty_new_location(event.location->c_str()) : nullptr);
  replaceProperty(component, ICAL_TRANSP_PROPERTY,
                  icalproperty_new_transp(event.availability == QBYEventAvailability::Free
                                              ? ICAL_TRANSP_TRANSPARENT
                                              : ICAL_TRANSP_OPAQUE));
}

std::optional<QBYCalendarEvent> eventFromComponent(icalcomponent* component,
                                                   const std::string& calendarIdentifier) {
  auto uid = uidOf(component);
  if (!uid || icalcomponent_get_first_property(component, ICAL_RECURRENCEID_PROPERTY))
    return std::nullopt;
  const icaltimetype start = icalcomponent_get_dtstart(component);
  const auto startDate = momentOf(start);
  if (!startDate) return std::nullopt;

  QBYCalendarEvent event;
  event.eventIdentifier = std::move(uid);
  event.calendarIdentifier = calendarIdentifier;
  event.title = textOf(icalcomponent_get_summary(component)).value_or("");
  event.allDay = start.is_date != 0;
  event.startDate = *startDate;
  event.endDate = *startDate;
  const icaltimetype end = icalcomponent_get_dtend(component);
  if (const auto endDate = momentOf(end)) {
    if (event.allDay) {
      // The last day is the one before DTEND; an event without length keeps its one day.
      if (end.is_date) {
        if (auto last = localDate(end.year, end.month, end.day - 1); last && *last > *startDate)
          event.endDate = *last;
      }
    } else if (*endDate > *startDate) {
      event.endDate = *endDate;
    }
  }
  if (auto* url = icalcomponent_get_first_property(component, ICAL_URL_PROPERTY))
    event.url = textOf(icalproperty_get_url(url));
  if (icalcomponent_get_first_property(component, ICAL_DESCRIPTION_PROPERTY))
    event.notes = textOf(icalcomponent_get_description(component));
  if (icalcomponent_get_first_property(component, ICAL_LOCATION_PROPERTY))
    event.location = textOf(icalcomponent_get_location(component));
  auto* transparency = icalcomponent_get_first_property(component, ICAL_TRANSP_PROPERTY);
  event.availability =
      transparency && icalproperty_get_transp(transparency) == ICAL_TRANSP_TRANSPARENT
          ? QBYEventAvailability::Free
          : QBYEventAvailability::Busy;
  return event;
}

// The day after the event's last day (all-day) or its end (others), for overlap tests.
std::optional<Date> exclusiveEnd(const QBYCalendarEvent& event) {
  if (!event.allDay) return event.endDate;
  const auto last = dayOf(event.endDate);
  if (!last) return std::nullopt;
  return startOfDay(*last, 1);
}

// Gives all-day events the starts of their days, as reading them back would.
void normalise(QBYCalendarEvent& event) {
  if (!event.allDay) {
    if (event.endDate < event.startDate) event.endDate = event.startDate;
    return;
  }
  const auto first = dayOf(event.startDate);
  if (!first) return;
  event.startDate = startOfDay(*first).value_or(event.startDate);
  const auto last = dayOf(event.endDate);
  const auto lastStart = last ? startOfDay(*last) : std::nullopt;
  event.endDate = lastStart && *lastStart > event.startDate ? *lastStart : event.startDate;
}

}  // namespace

// --- One calendar file -------------------------------------------------------------------------

struct QBYICSCalendarBackend::CalendarFile {
  std::string identifier;
  std::filesystem::path path;
  ICalComponentPtr root;  // null while the file is damaged
  std::optional<QBYError> damage;
  FileStamp stamp;
  // Events saved (a value) or removed (nothing) since the last commit, by UID.
  std::map<std::string, std::optional<QBYCalendarEvent>> pending;

  // The events as read from the tree, in file order, with the end used for range tests. Kept
  // in step with every change, because converting dates is far slower than comparing them and
  // a run asks for the events near every date of every delivery.
  struct Entry {
    QBYCalendarEvent event;
    Date end;
  };
  std::vector<Entry> index;

  std::optional<Entry> entryFor(icalcomponent* component) const {
    auto event = eventFromComponent(component, identifier);
    if (!event) return std::nullopt;
    const auto end = exclusiveEnd(*event);
    if (!end) return std::nullopt;
    return Entry{std::move(*event), *end};
  }

  void rebuildIndex() {
    index.clear();
    if (!root) return;
    for (auto* component = icalcomponent_get_first_component(root.get(), ICAL_VEVENT_COMPONENT);
         component;
         component = icalcomponent_get_next_component(root.get(), ICAL_VEVENT_COMPONENT)) {
      if (auto entry = entryFor(component)) index.push_back(std::move(*entry));
    }
  }

  // Reads the one event of that UID again after it changed or went.
  void reindex(const std::string& uid) {
    auto found = std::find_if(index.begin(), index.end(), [&](const Entry& entry) {
      return entry.event.eventIdentifier == uid;
    });
    icalcomponent* component = root ? masterEvent(root.get(), uid) : nullptr;
    auto entry = component ? entryFor(component) : std::nullopt;
    if (!entry) {
      if (found != index.end()) index.erase(found);
    } else if (found != index.end()) {
      *found = std::move(*entry);
    } else {
      index.push_back(std::move(*entry));
    }
  }

  // Reads the file again; answers false (and keeps the error) when it is not one calendar.
  bool load() {
    stamp = stampOf(path);
    root.reset();
    damage.reset();
    std::error_code code;
    const auto size = std::filesystem::file_size(path, code);
    std::optional<std::string> bytes;
    if (!code && size <= kMaximumFileSize) bytes = Paths::readFile(path);
    if (bytes && bytes->find('\0') == std::string::npos) {
      ICalComponentPtr parsed(icalparser_parse_string(bytes->c_str()));
      if (parsed && icalcomponent_isa(parsed.get()) == ICAL_VCALENDAR_COMPONENT &&
          icalcomponent_count_errors(parsed.get()) == 0)
        root = std::move(parsed);
    }
    rebuildIndex();
    if (root) return true;
    damage = calendarError(
        QBYCalendarErrorDamaged,
        format("The calendar file \"%@\" could not be read as a calendar", path.string()));
    log("Error reading calendar %@: %@", path.string(), *damage);
    return false;
  }

  // Puts the changes not yet committed on top of what was just read.
  void replayPending() {
    if (!root) return;
    for (const auto& [uid, event] : pending) {
      if (event)
        applyEvent(root.get(), *event);
      else
        removeEventComponents(root.get(), uid);
    }
    rebuildIndex();
  }

  std::int64_t type() const {
    if (!root) return QBYCalendarTypeLocal;
    const auto text = xValue(root.get(), kTypeProperty);
    if (!text) return QBYCalendarTypeLocal;
    try {
      return std::stoll(*text);
    } catch (...) {
      return QBYCalendarTypeLocal;
    }
  }

  bool writable() const {
    const std::int64_t kind = type();
    return root && kind != QBYCalendarTypeSubscription && kind != QBYCalendarTypeBirthday &&
           ::access(path.c_str(), W_OK) == 0;
  }

  QBYEventCalendar info() const {
    QBYEventCalendar calendar;
    calendar.identifier = identifier;
    calendar.type = type();
    if (root) {
      calendar.title = xValue(root.get(), kTitleProperty).value_or("");
      calendar.color = xValue(root.get(), kColorProperty);
    }
    calendar.sourceIdentifier = kSourceIdentifier;
    calendar.sourceTitle = QBYLocalizedString(kSourceTitle);
    calendar.allowsContentModifications = writable();
    calendar.supportsAvailabilities = true;
    return calendar;
  }

  // Errors for a change to this calendar, or nothing when it may be changed.
  std::optional<QBYError> changeRefusal() const {
    if (damage) return damage;
    if (!writable())
      return calendarError(QBYCalendarErrorReadOnly,
                           format("The calendar \"%@\" does not allow changes", identifier));
    return std::nullopt;
  }
};

// --- Backend -----------------------------------------------------------------------------------

std::filesystem::path QBYICSCalendarBackend::defaultFolder() {
  return Paths::sharedContainer() / "Calendars";
}

QBYICSCalendarBackend::QBYICSCalendarBackend(std::filesystem::path folder, FileWriter writer)
    : folder_(std::move(folder)), writer_(std::move(writer)) {
  if (!writer_) {
    writer_ = [](const std::filesystem::path& file, std::string_view bytes, std::string* error) {
      return Paths::writeFileAtomically(file, bytes, error);
    };
  }
}

QBYICSCalendarBackend::~QBYICSCalendarBackend() = default;

std::filesystem::path QBYICSCalendarBackend::fileForCalendar(std::string_view identifier) const {
  return folder_ / (std::string(identifier) + ".ics");
}

QBYCalendarAuthorization QBYICSCalendarBackend::authorizationStatus() const {
  return QBYCalendarAuthorization::Authorized;
}

void QBYICSCalendarBackend::requestAccess(
    std::function<void(bool granted, std::optional<QBYError>)> done) {
  if (done) done(true, std::nullopt);
}

void QBYICSCalendarBackend::loadFolderIfNeeded() const {
  if (loaded_) return;
  loaded_ = true;
  const_cast<QBYICSCalendarBackend*>(this)->refreshSources();
}

void QBYICSCalendarBackend::refreshSources() {
  loaded_ = true;
  std::map<std::string, std::unique_ptr<CalendarFile>, std::less<>> found;
  std::error_code code;
  for (std::filesystem::directory_iterator entry(folder_, code), end; !code && entry != end;
       entry.increment(code)) {
    const auto& path = entry->path();
    const std::string name = path.filename().string();
    // Hidden files are the lock file and the temporary files of atomic writes.
    if (name.empty() || name.front() == '.' || path.extension() != ".ics") continue;
    std::error_code typeCode;
    if (!entry->is_regular_file(typeCode)) continue;
    const std::string identifier = path.stem().string();
    auto known = files_.find(identifier);
    std::unique_ptr<CalendarFile> file;
    if (known != files_.end()) {
      file = std::move(known->second);
      if (file->stamp != stampOf(path) && file->load()) file->replayPending();
    } else {
      file = std::make_unique<CalendarFile>();
      file->identifier = identifier;
      file->path = path;
      file->load();
    }
    found.emplace(identifier, std::move(file));
  }
  // Calendars whose files were deleted are gone, with whatever was not committed to them.
  files_ = std::move(found);
}

QBYICSCalendarBackend::CalendarFile* QBYICSCalendarBackend::calendarFile(
    std::string_view identifier) const {
  loadFolderIfNeeded();
  const auto found = files_.find(identifier);
  return found == files_.end() ? nullptr : found->second.get();
}

std::vector<QBYEventCalendar> QBYICSCalendarBackend::calendars() const {
  loadFolderIfNeeded();
  std::vector<QBYEventCalendar> list;
  for (const auto& [identifier, file] : files_) list.push_back(file->info());
  return list;
}

std::optional<QBYEventCalendar> QBYICSCalendarBackend::makeCalendar(
    const std::string& title, const std::optional<std::string>& color, std::int64_t type,
    QBYError* error) {
  loadFolderIfNeeded();
  if (!Paths::ensureDirectory(folder_)) {
    setError(error, calendarError(QBYCalendarErrorWriteFailed,
                                  format("The folder \"%@\" could not be made", folder_.string())));
    return std::nullopt;
  }
  auto file = std::make_unique<CalendarFile>();
  file->identifier = randomIdentifier();
  file->path = fileForCalendar(file->identifier);
  file->root.reset(icalcomponent_new_vcalendar());
  icalcomponent* root = file->root.get();
  icalcomponent_add_property(root, icalproperty_new_version("2.0"));
  icalcomponent_add_property(root, icalproperty_new_prodid(kProductIdentifier));
  icalcomponent_add_property(root, icalproperty_new_calscale("GREGORIAN"));
  setXValue(root, kTitleProperty, title);
  setXValue(root, kColorProperty, color);
  setXValue(root, kIdentifierProperty, file->identifier);
  if (type != QBYCalendarTypeLocal) setXValue(root, kTypeProperty, std::to_string(type));
  if (!writeCalendarFile(*file, error)) return std::nullopt;
  auto info = file->info();
  files_.emplace(file->identifier, std::move(file));
  return info;
}

std::vector<QBYCalendarEvent> QBYICSCalendarBackend::events(
    Date start, Date end, const std::vector<std::string>& calendars) const {
  std::vector<QBYCalendarEvent> list;
  for (const auto& identifier : calendars) {
    const CalendarFile* file = calendarFile(identifier);
    if (!file || !file->root) continue;
    for (const auto& [event, eventEnd] : file->index) {
      // An event without length counts at its start.
      const bool overlaps =
          event.startDate < end &&
          (eventEnd > start || (eventEnd == event.startDate && event.startDate >= start));
      if (overlaps) list.push_back(event);
    }
  }
  std::stable_sort(list.begin(), list.end(),
                   [](const auto& a, const auto& b) { return a.startDate < b.startDate; });
  return list;
}

bool QBYICSCalendarBackend::saveEvent(QBYCalendarEvent& event,
                                      const std::optional<std::string>& fromCalendar,
                                      QBYError* error) {
  CalendarFile* target = calendarFile(event.calendarIdentifier);
  if (!target) {
    setError(error, calendarError(QBYCalendarErrorCalendarNotFound,
                                  format("There is no calendar \"%@\"", event.calendarIdentifier)));
    return false;
  }
  if (auto refusal = target->changeRefusal()) {
    setError(error, *refusal);
    return false;
  }
  CalendarFile* source = nullptr;
  if (event.eventIdentifier && fromCalendar && *fromCalendar != event.calendarIdentifier) {
    source = calendarFile(*fromCalendar);
    if (source) {
      if (auto refusal = source->changeRefusal()) {
        setError(error, *refusal);
        return false;
      }
    }
  }
  if (!event.eventIdentifier) event.eventIdentifier = randomIdentifier();
  normalise(event);
  if (source && removeEventComponents(source->root.get(), *event.eventIdentifier)) {
    source->pending[*event.eventIdentifier] = std::nullopt;
    source->reindex(*event.eventIdentifier);
  }
  applyEvent(target->root.get(), event);
  target->pending[*event.eventIdentifier] = event;
  target->reindex(*event.eventIdentifier);
  return true;
}

bool QBYICSCalendarBackend::removeEvent(const QBYCalendarEvent& event, QBYError* error) {
  CalendarFile* file = calendarFile(event.calendarIdentifier);
  if (!file) {
    setError(error, calendarError(QBYCalendarErrorCalendarNotFound,
                                  format("There is no calendar \"%@\"", event.calendarIdentifier)));
    return false;
  }
  if (auto refusal = file->changeRefusal()) {
    setError(error, *refusal);
    return false;
  }
  if (!event.eventIdentifier || !removeEventComponents(file->root.get(), *event.eventIdentifier)) {
    setError(error, calendarError(QBYCalendarErrorEventNotFound,
                                  format("The event \"%@\" is not in the calendar \"%@\"",
                                         event.eventIdentifier, event.calendarIdentifier)));
    return false;
  }
  file->pending[*event.eventIdentifier] = std::nullopt;
  file->reindex(*event.eventIdentifier);
  return true;
}

bool QBYICSCalendarBackend::writeCalendarFile(CalendarFile& file, QBYError* error) {
  const ICalBufferPtr text(icalcomponent_as_ical_string_r(file.root.get()));
  const std::string bytes = text ? text.get() : "";
  std::string reason;
  if (bytes.empty() || !writer_(file.path, bytes, &reason)) {
    setError(error, calendarError(QBYCalendarErrorWriteFailed,
                                  format("The calendar file \"%@\" could not be written: %@",
                                         file.path.string(), reason)));
    return false;
  }
  file.stamp = stampOf(file.path);
  return true;
}

bool QBYICSCalendarBackend::commit(QBYError* error) {
  loadFolderIfNeeded();
  bool ok = true;
  auto fail = [&](const QBYError& failure) {
    if (ok) setError(error, failure);
    ok = false;
  };
  std::optional<FolderLock> lock;
  for (auto& [identifier, file] : files_) {
    if (file->pending.empty()) continue;
    if (!lock) lock.emplace(folder_);
    const FileStamp current = stampOf(file->path);
    if (!current.exists) {
      // The user deleted the calendar; writing now would bring it back.
      file->pending.clear();
      fail(calendarError(QBYCalendarErrorCalendarNotFound,
                         format("The calendar file \"%@\" was removed", file->path.string())));
      continue;
    }
    if (current != file->stamp) {
      // Another process wrote the file since it was read: start from its version.
      if (!file->load()) {
        fail(*file->damage);
        continue;
      }
      file->replayPending();
    }
    QBYError failure;
    if (!writeCalendarFile(*file, &failure)) {
      fail(failure);
      continue;
    }
    file->pending.clear();
  }
  return ok;
}

}  // namespace qby
