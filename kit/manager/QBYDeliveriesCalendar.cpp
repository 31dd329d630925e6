#include "manager/QBYDeliveriesCalendar.h"

#include <algorithm>
#include <utility>

#include "manager/QBYCalendarStore.h"
#include "model/Delivery.h"
#include "model/Detail.h"
#include "model/Service.h"
#include "platform/Localization.h"
#include "platform/Log.h"
#include "platform/QBYUserDefaults.h"
#include "platform/URL.h"
#include "store/QBYDataStore.h"
#include "store/QBYDeliveriesQueries.h"
#include "store/core/QBYManagedObjectContext.h"

namespace qby {

namespace {

constexpr const char* kDeliveredIcon = "checkmark";
// A check mark and a no-break space before a delivered item's name.
constexpr const char* kDeliveredTitleFormat = "\u2713\u00A0%@";

void addDateOnce(std::vector<Date>& dates, Date date) {
  if (std::find(dates.begin(), dates.end(), date) == dates.end()) dates.push_back(date);
}

std::optional<std::string> linkOf(const Delivery& delivery) {
  const auto url = delivery.showURL();
  if (!url) return std::nullopt;
  return url->absoluteString();
}

std::optional<std::string> locationOf(const Delivery& delivery) {
  const auto service = delivery.service();
  if (!service) return std::nullopt;
  const auto shortName = service->shortName();
  if (!shortName) return std::nullopt;
  return QBYLocalizedString(*shortName);
}

void logGone() {
  log("Deliveries calendar is gone; calendar events not written");
}

}  // namespace

std::shared_ptr<QBYDeliveriesCalendar> QBYDeliveriesCalendar::create(QBYCalendarStore* store,
                                                                     QBYUserDefaults* defaults) {
  return std::shared_ptr<QBYDeliveriesCalendar>(
      new QBYDeliveriesCalendar(store ? *store : QBYCalendarStore::sharedStore(),
                                defaults ? *defaults : QBYUserDefaults::sharedDefaults()));
}

QBYDeliveriesCalendar::QBYDeliveriesCalendar(QBYCalendarStore& store, QBYUserDefaults& defaults)
    : store_(store), defaults_(defaults) {}

std::optional<Dictionary> QBYDeliveriesCalendar::calendarSettings() const {
  return defaults_.dictionaryForKey(QBYDeliveriesCalendarInfoKey);
}

bool QBYDeliveriesCalendar::calendarEventsEnabled() const {
  return calendarSettings().has_value();
}

void QBYDeliveriesCalendar::updateCalendarSettings() {
  const auto identifier = defaults_.stringForKey(QBYDeliveriesCalendarKey);
  if (!identifier) return;
  store_.requestAccessWithCompletion([weak = weak_from_this(), identifier](bool granted) {
    auto self = weak.lock();
    if (!self) return logGone();
    if (!granted) return;
    std::optional<Dictionary> info;
    if (auto calendar = self->store_.eventCalendarWithIdentifier(identifier)) {
      if (auto full = calendarInfo(*calendar)) info = defaultsSafeCalendarInfo(*full);
    }
    log("Updating calendar info: %@", info ? Value(*info) : Value());
    self->defaults_.removeObjectForKey(QBYDeliveriesCalendarKey);
    // A calendar that is gone leaves no settings: calendar events are off.
    self->defaults_.setObject(info ? Value(*info) : Value(), QBYDeliveriesCalendarInfoKey);
  });
}

void QBYDeliveriesCalendar::setPreviousEventDates(const std::string& uuid,
                                                  std::vector<Date> dates) {
  std::lock_guard lock(mutex_);
  previousEventDates_[uuid] = std::move(dates);
}

QBYDeliveriesCalendar::EventDates QBYDeliveriesCalendar::previousEventDates() const {
  std::lock_guard lock(mutex_);
  return previousEventDates_;
}

Dictionary QBYDeliveriesCalendar::eventDictionaryForName(const std::optional<std::string>& name,
                                                         Date date,
                                                         const std::optional<std::string>& icon) {
  const std::string title = name.value_or("");
  if (icon == kDeliveredIcon) {
    return Dictionary{{QBYEventTitle, format(kDeliveredTitleFormat, title)},
                      {QBYEventTitleAlternate, title},
                      {QBYEventDate, date}};
  }
  return Dictionary{{QBYEventTitle, title}, {QBYEventDate, date}};
}

QBYDeliveriesCalendar::DeliveryEvents QBYDeliveriesCalendar::eventsForDelivery(
    const Delivery& delivery, bool consumePrevious) {
  DeliveryEvents events;
  if (const auto uuid = delivery.uuid()) {
    std::lock_guard lock(mutex_);
    if (auto previous = previousEventDates_.find(*uuid); previous != previousEventDates_.end()) {
      for (const Date date : previous->second) addDateOnce(events.dates, date);
      if (consumePrevious) previousEventDates_.erase(previous);
    }
  }
  for (const auto& detail : delivery.sortedDetails()) {
    const auto date = detail->deliveredDate();
    if (!date) continue;
    addDateOnce(events.dates, *date);
    events.details.push_back(eventDictionaryForName(detail->itemName(), *date, detail->icon()));
  }
  return events;
}

bool QBYDeliveriesCalendar::writeDeliveryEvents(const Delivery& delivery,
                                                const QBYEventCalendar& calendar,
                                                const std::optional<QBYEventCalendar>& fromCalendar,
                                                const DeliveryEvents& events) {
  if (events.dates.empty() && events.details.empty()) return false;
  return store_.addEventsToCalendar(calendar, fromCalendar, events.dates, events.details,
                                    linkOf(delivery), locationOf(delivery), std::nullopt);
}

void QBYDeliveriesCalendar::commitChanges() {
  QBYError error;
  if (!store_.commit(&error))
    log("Error commiting calendar changes: %@, %@", error, error.userInfoDescription());
}

void QBYDeliveriesCalendar::updateCalendarEvents(QBYDataStore& dataStore, Completion completion) {
  auto finish = [completion](bool changed) {
    if (completion) completion(changed);
  };
  if (!calendarEventsEnabled()) return finish(false);
  if (!dataStore.available()) return finish(false);
  store_.requestAccessWithCompletion([weak = weak_from_this(), &dataStore, finish](bool granted) {
    if (!granted) return finish(false);
    dataStore.performBackgroundTask([weak, finish](QBYManagedObjectContext& context) {
      auto self = weak.lock();
      if (!self) {
        logGone();
        return finish(false);
      }
      const auto deliveries = deliveriesForCalendarUpdateInContext(context);
      if (deliveries.empty()) return finish(false);
      self->store_.refreshSources();
      const auto settings = self->calendarSettings();
      if (!settings) return finish(false);
      const auto calendar =
          self->store_.eventCalendarFromInfo(*settings, QBYDeliveriesCalendarInfoKey);
      if (!calendar) return finish(false);

      bool changed = false;
      for (const auto& delivery : deliveries) {
        const auto events = self->eventsForDelivery(*delivery, true);
        if (self->writeDeliveryEvents(*delivery, *calendar, std::nullopt, events)) changed = true;
      }
      if (changed) self->commitChanges();
      finish(changed);
    });
  });
}

void QBYDeliveriesCalendar::deleteEventsForDelivery(const Delivery& delivery, bool onlyFuture) {
  if (!calendarEventsEnabled()) return;
  std::vector<Date> dates;
  const Date now = Date::now();
  for (const auto& detail : delivery.details()) {
    const auto date = detail->deliveredDate();
    if (!date || (onlyFuture && !(*date > now))) continue;
    addDateOnce(dates, *date);
  }
  if (dates.empty()) return;
  // Searching near a future date also finds the delivery's events of the days before it,
  // which archiving must keep.
  const std::optional<Date> onlyAfter = onlyFuture ? std::optional<Date>(now) : std::nullopt;
  store_.requestAccessWithCompletion(
      [weak = weak_from_this(), dates, onlyAfter, url = linkOf(delivery)](bool granted) {
        auto self = weak.lock();
        if (!self) return logGone();
        if (!granted) return;
        const auto settings = self->calendarSettings();
        if (!settings) return;
        const auto calendar =
            self->store_.eventCalendarFromInfo(*settings, QBYDeliveriesCalendarInfoKey);
        if (!calendar) return;
        if (self->store_.removeEventsFromCalendar(*calendar, dates, url, onlyAfter))
          self->commitChanges();
      });
}

void QBYDeliveriesCalendar::moveEventsFromCalendarIdentifier(
    const std::optional<std::string>& oldIdentifier,
    const std::optional<std::string>& newIdentifier, std::vector<QBYManagedObjectID> deliveries,
    QBYDataStore& dataStore, Completion completion) {
  auto finish = [completion](bool changed) {
    if (completion) completion(changed);
  };
  if (!oldIdentifier && !newIdentifier) return finish(false);
  if (!dataStore.available()) return finish(false);
  store_.requestAccessWithCompletion([weak = weak_from_this(), &dataStore, finish, oldIdentifier,
                                      newIdentifier,
                                      deliveries = std::move(deliveries)](bool granted) {
    if (!granted) return finish(false);
    dataStore.performBackgroundTask([weak, finish, oldIdentifier, newIdentifier,
                                     deliveries](QBYManagedObjectContext& context) {
      auto self = weak.lock();
      if (!self) {
        logGone();
        return finish(false);
      }
      self->store_.refreshSources();
      const auto oldCalendar = self->store_.eventCalendarWithIdentifier(oldIdentifier);
      const auto newCalendar = self->store_.eventCalendarWithIdentifier(newIdentifier);
      const bool sameAccount = oldCalendar && newCalendar && oldCalendar->sourceIdentifier &&
                               oldCalendar->sourceIdentifier == newCalendar->sourceIdentifier;

      bool changed = false;
      for (const auto& identifier : deliveries) {
        auto delivery =
            std::dynamic_pointer_cast<Delivery>(context.existingObjectWithID(identifier));
        if (!delivery) continue;
        const auto events = self->eventsForDelivery(*delivery, false);
        if (events.dates.empty() && events.details.empty()) continue;
        if (oldCalendar && (!sameAccount || !newCalendar)) {
          if (self->store_.removeEventsFromCalendar(*oldCalendar, events.dates, linkOf(*delivery)))
            changed = true;
        }
        if (newCalendar && self->writeDeliveryEvents(*delivery, *newCalendar, oldCalendar, events))
          changed = true;
      }
      if (changed) self->commitChanges();
      finish(changed);
    });
  });
}

}  // namespace qby
