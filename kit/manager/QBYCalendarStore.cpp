#include "manager/QBYCalendarStore.h"

#include <unicode/coll.h>
#include <unicode/locid.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <utility>

#include "manager/QBYICSCalendarBackend.h"
#include "platform/Localization.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "platform/QBYUserDefaults.h"

namespace qby {

namespace {

// How far around a date the events of a delivery are looked for, and how old an event may be
// before it is left alone.
constexpr long kEventSearchDays = 8;
constexpr long kEventKeepDays = -7;

// Orders titles the way people read them: case and accents second, numbers by value.
class TitleOrder {
 public:
  TitleOrder() {
    UErrorCode status = U_ZERO_ERROR;
    collator_.reset(icu::Collator::createInstance(icu::Locale::getDefault(), status));
    if (U_FAILURE(status)) {
      collator_.reset();
      return;
    }
    collator_->setAttribute(UCOL_NUMERIC_COLLATION, UCOL_ON, status);
  }
  bool operator()(const std::string& a, const std::string& b) const {
    if (!collator_) return a < b;
    UErrorCode status = U_ZERO_ERROR;
    const auto order = collator_->compareUTF8(a, b, status);
    if (U_FAILURE(status)) return a < b;
    return order == UCOL_LESS;
  }

 private:
  std::unique_ptr<icu::Collator> collator_;
};

std::string titleOf(const Dictionary& info) {
  return info[QBYCalendarTitle].asString().value_or("");
}

}  // namespace

// --- Access ------------------------------------------------------------------------------------

// Shared with a running request, which may answer after the store is gone.
struct QBYCalendarStore::AccessState {
  bool requesting = false;
  std::vector<std::function<void(bool)>> waiting;
};

QBYCalendarStore& QBYCalendarStore::sharedStore() {
  static QBYCalendarStore* store = [] {
    const auto folder = QBYICSCalendarBackend::defaultFolder();
    std::error_code code;
    const bool firstUse = !std::filesystem::exists(folder, code) && !code;
    auto backend = std::make_shared<QBYICSCalendarBackend>(folder);
    if (firstUse) {
      QBYError error;
      if (!backend->makeCalendar(QBYLocalizedString("Deliveries"), std::string("#1BADF8"),
                                 QBYCalendarTypeLocal, &error))
        log("Error creating calendar: %@, %@", error, error.userInfoDescription());
    }
    // Lives as long as the process, like every shared instance.
    return new QBYCalendarStore(std::move(backend));
  }();
  return *store;
}

QBYCalendarStore::QBYCalendarStore(std::shared_ptr<QBYCalendarBackend> backend,
                                   QBYUserDefaults* defaults)
    : backend_(std::move(backend)), defaults_(defaults), access_(std::make_shared<AccessState>()) {}

QBYUserDefaults& QBYCalendarStore::defaults() const {
  return defaults_ ? *defaults_ : QBYUserDefaults::sharedDefaults();
}

bool QBYCalendarStore::requestingAccess() const {
  return access_->requesting;
}

void QBYCalendarStore::requestAccessWithCompletion(std::function<void(bool granted)> completion) {
  const QBYCalendarAuthorization status = backend_->authorizationStatus();
  if (status != QBYCalendarAuthorization::NotDetermined) {
    if (completion) completion(status == QBYCalendarAuthorization::Authorized);
    return;
  }
  if (completion) access_->waiting.push_back(std::move(completion));
  if (access_->requesting) return;
  access_->requesting = true;
  backend_->requestAccess([state = access_](bool granted, std::optional<QBYError> error) {
    // A backend may answer from a thread of its own; the state and the completions belong to
    // the main thread.
    auto answer = [state, granted, error = std::move(error)] {
      state->requesting = false;
      std::vector<std::function<void(bool)>> waiting;
      waiting.swap(state->waiting);
      if (!granted) {
        log("Calendar access denied: %@, %@", error,
            error ? std::optional<std::string>(error->userInfoDescription()) : std::nullopt);
      }
      for (auto& done : waiting) done(granted);
    };
    if (MainQueue::isMainThread())
      answer();
    else
      MainQueue::async(std::move(answer));
  });
}

// --- Calendars ---------------------------------------------------------------------------------

void QBYCalendarStore::refreshSources() {
  const std::lock_guard lock(backendMutex_);
  backend_->refreshSources();
}

Dictionary QBYCalendarStore::eventCalendars() {
  const std::lock_guard lock(backendMutex_);
  const std::vector<QBYEventCalendar> calendars = backend_->calendars();
  const TitleOrder order;
  std::vector<std::pair<std::string, std::vector<Dictionary>>> groups;
  for (const auto& calendar : calendars) {
    auto info = calendarInfo(calendar);
    if (!info) continue;
    const std::string source = calendar.sourceTitle.value_or("");
    auto group = std::find_if(groups.begin(), groups.end(),
                              [&](const auto& entry) { return entry.first == source; });
    if (group == groups.end()) group = groups.insert(groups.end(), {source, {}});
    group->second.push_back(std::move(*info));
  }
  std::stable_sort(groups.begin(), groups.end(),
                   [&](const auto& a, const auto& b) { return order(a.first, b.first); });
  Dictionary result;
  for (auto& [source, infos] : groups) {
    std::stable_sort(infos.begin(), infos.end(), [&](const Dictionary& a, const Dictionary& b) {
      return order(titleOf(a), titleOf(b));
    });
    Array list;
    for (auto& info : infos) list.emplace_back(std::move(info));
    result.set(source, Value(std::move(list)));
  }
  return result;
}

std::optional<QBYEventCalendar> QBYCalendarStore::eventCalendarWithIdentifier(
    const std::optional<std::string>& identifier) {
  const std::lock_guard lock(backendMutex_);
  if (!identifier) return std::nullopt;
  for (auto& calendar : backend_->calendars()) {
    if (calendar.identifier == *identifier) return calendar;
  }
  return std::nullopt;
}

std::optional<QBYEventCalendar> QBYCalendarStore::eventCalendarFromInfo(
    const Dictionary& info, std::string_view updateKey) {
  const std::lock_guard lock(backendMutex_);
  const auto identifier = info[QBYCalendarIdentifier].asString();
  if (auto calendar = eventCalendarWithIdentifier(identifier)) return calendar;

  // The same calendar after its account was removed and added again has a new identifier but
  // keeps its account and title.
  const auto sourceIdentifier = info[QBYCalendarSourceIdentifier].asString();
  const auto title = info[QBYCalendarTitle].asString();
  const std::vector<QBYEventCalendar> calendars = backend_->calendars();
  for (const auto& calendar : calendars) {
    if (!calendar.allowsContentModifications) continue;
    if (calendar.sourceIdentifier == sourceIdentifier && title && calendar.title == *title) {
      Dictionary updated = info;
      updated.set(QBYCalendarIdentifier, calendar.identifier);
      defaults().setObject(Value(std::move(updated)), updateKey);
      log("Calendar identifier changed: %@", calendar.identifier);
      return calendar;
    }
  }
  log("Calendar not found for identifier: %@", identifier);
  defaults().removeObjectForKey(updateKey);
  return std::nullopt;
}

// --- Events ------------------------------------------------------------------------------------

std::vector<QBYCalendarEvent> QBYCalendarStore::eventsWithDate(Date date,
                                                               const QBYEventCalendar& calendar) {
  const std::lock_guard lock(backendMutex_);
  const Calendar dates = this->calendar();
  const auto start = dateAddingDays(dates, -kEventSearchDays, date);
  const auto end = dateAddingDays(dates, kEventSearchDays, date);
  if (!start || !end) return {};
  return backend_->events(*start, *end, {calendar.identifier});
}

bool QBYCalendarStore::eventBelongsToURL(const QBYCalendarEvent& event,
                                         const QBYEventCalendar& calendar,
                                         const std::optional<std::string>& url) {
  // An empty link would match every event without one (or every note): a user's own events.
  if (!url || url->empty()) return false;
  if (calendar.type == QBYCalendarTypeExchange)
    return event.notes && event.notes->find(*url) != std::string::npos;
  return event.url == url;
}

std::vector<QBYCalendarEvent> QBYCalendarStore::deliveryEvents(
    const QBYEventCalendar& calendar, const std::vector<Date>& dates,
    const std::optional<std::string>& url, std::optional<Date> notBefore) {
  std::vector<QBYCalendarEvent> found;
  std::set<std::string> seen;
  for (const Date date : dates) {
    for (auto& event : eventsWithDate(date, calendar)) {
      if (!eventBelongsToURL(event, calendar, url)) continue;
      if (notBefore && event.startDate < *notBefore) continue;
      // Dates a few days apart find the same event more than once.
      if (!event.eventIdentifier || !seen.insert(*event.eventIdentifier).second) continue;
      found.push_back(std::move(event));
    }
  }
  return found;
}

bool QBYCalendarStore::addEventsToCalendar(const QBYEventCalendar& calendar,
                                           const std::optional<QBYEventCalendar>& fromCalendar,
                                           const std::vector<Date>& replacingDates,
                                           const std::vector<Dictionary>& details,
                                           const std::optional<std::string>& url,
                                           const std::optional<std::string>& location,
                                           const std::optional<std::string>& notes) {
  const std::lock_guard lock(backendMutex_);
  const Calendar dates = this->calendar();
  const auto notBefore = dateAddingDays(dates, kEventKeepDays, Date::now());

  auto existing = deliveryEvents(calendar, replacingDates, url, notBefore);
  if (fromCalendar && fromCalendar->identifier != calendar.identifier) {
    // A copied calendar file may hold the same event twice; it is one event to us.
    for (auto& event : deliveryEvents(*fromCalendar, replacingDates, url, notBefore)) {
      const bool known = std::any_of(existing.begin(), existing.end(), [&](const auto& other) {
        return other.eventIdentifier == event.eventIdentifier;
      });
      if (!known) existing.push_back(std::move(event));
    }
  }

  bool changed = false;
  for (const auto& detail : details) {
    const auto date = detail[QBYEventDate].asDate();
    if (!date) continue;
    const std::string title = detail[QBYEventTitle].asString().value_or("");
    const auto alternate = detail[QBYEventTitleAlternate].asString();

    QBYCalendarEvent event;
    std::optional<QBYCalendarEvent> before;
    const auto reused = std::find_if(existing.begin(), existing.end(), [&](const auto& candidate) {
      return candidate.title == title || (alternate && candidate.title == *alternate);
    });
    if (reused != existing.end()) {
      event = std::move(*reused);
      existing.erase(reused);
      before = event;
    }
    const std::optional<std::string> storedIn =
        before ? std::optional<std::string>(before->calendarIdentifier) : std::nullopt;

    event.calendarIdentifier = calendar.identifier;
    event.allDay = true;
    event.startDate = *date;
    event.endDate = *date;
    event.title = title;
    event.location = location;
    if (calendar.type == QBYCalendarTypeExchange) {
      if (notes && url)
        event.notes = *notes + "\n" + *url;
      else
        event.notes = url ? url : notes;
    } else {
      event.url = url;
      if (notes) event.notes = notes;
    }
    if (calendar.supportsAvailabilities) event.availability = QBYEventAvailability::Free;

    // Compare as stored: an all-day event keeps only its days.
    QBYCalendarEvent compared = event;
    if (before && compared.allDay) {
      if (auto start = dates.startOfDayForDate(compared.startDate)) {
        compared.startDate = *start;
        compared.endDate = *start;
      }
    }
    if (before && compared == *before) continue;

    QBYError error;
    if (backend_->saveEvent(event, storedIn, &error))
      changed = true;
    else
      log("Error saving event: %@, %@", error, error.userInfoDescription());
  }

  for (const auto& event : existing) {
    QBYError error;
    if (backend_->removeEvent(event, &error))
      changed = true;
    else
      log("Error removing event: %@, %@", error, error.userInfoDescription());
  }
  return changed;
}

bool QBYCalendarStore::removeEventsFromCalendar(const QBYEventCalendar& calendar,
                                                const std::vector<Date>& dates,
                                                const std::optional<std::string>& url,
                                                std::optional<Date> onlyAfter) {
  const std::lock_guard lock(backendMutex_);
  bool changed = false;
  for (const auto& event : deliveryEvents(calendar, dates, url, std::nullopt)) {
    if (onlyAfter && !(event.startDate > *onlyAfter)) continue;
    QBYError error;
    if (backend_->removeEvent(event, &error))
      changed = true;
    else
      log("Error removing event: %@, %@", error, error.userInfoDescription());
  }
  return changed;
}

bool QBYCalendarStore::commit(QBYError* error) {
  const std::lock_guard lock(backendMutex_);
  return backend_->commit(error);
}

// --- Operations on calendars of dates, dictionaries and platform calendars ---------------------

std::optional<Date> dateAddingDays(const Calendar& calendar, long days, Date date) {
  return calendar.dateDaysFrom(days, date);
}

Dictionary defaultsSafeCalendarInfo(const Dictionary& info) {
  Dictionary safe = info;
  safe.erase(QBYCalendarColor);
  return safe;
}

std::optional<Dictionary> calendarInfo(const QBYEventCalendar& calendar) {
  if (!calendar.allowsContentModifications) return std::nullopt;
  Dictionary info;
  info.set(QBYCalendarIdentifier, calendar.identifier);
  info.set(QBYCalendarType, calendar.type);
  info.set(QBYCalendarTitle, calendar.title);
  info.set(QBYCalendarColor, calendar.color.value_or(QBYCalendarDefaultColor));
  if (calendar.sourceIdentifier) info.set(QBYCalendarSourceIdentifier, *calendar.sourceIdentifier);
  info.set(QBYCalendarSourceTitle, calendar.sourceTitle.value_or(""));
  return info;
}

}  // namespace qby
