// When calendar events are written: the deliveries manager owns one of these and asks it to
// bring the chosen calendar in step after every update run, when a delivery is edited,
// archived or deleted, and when the user picks another calendar. Every dated tracking line of a
// delivery becomes one all-day event titled with the item's name and linked to the delivery.
//
// Calendar events are on exactly while the shared defaults hold "QBYDeliveriesCalendarInfo".
//
// Threads: make it and call it on the main thread. Record work runs in the data store's
// background tasks; completions run there. Blocks hold the object weakly: one that finds it gone
// logs and does nothing. The data store given must outlive the call's completion.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Date.h"
#include "platform/Value.h"
#include "store/core/QBYManagedObject.h"

namespace qby {

class Delivery;
class QBYCalendarStore;
class QBYDataStore;
class QBYManagedObjectContext;
class QBYUserDefaults;
struct QBYEventCalendar;

// Shared-defaults keys: the chosen calendar's info dictionary, and the older setting that held
// only its identifier.
inline constexpr const char* QBYDeliveriesCalendarInfoKey = "QBYDeliveriesCalendarInfo";
inline constexpr const char* QBYDeliveriesCalendarKey = "QBYDeliveriesCalendar";

class QBYDeliveriesCalendar : public std::enable_shared_from_this<QBYDeliveriesCalendar> {
 public:
  // Delivery uuid → the delivered dates its lines had before the last results replaced them.
  using EventDates = std::map<std::string, std::vector<Date>>;
  // Called with whether anything was written to the calendar.
  using Completion = std::function<void(bool changed)>;

  // Over the shared calendar store and shared defaults unless others are given.
  static std::shared_ptr<QBYDeliveriesCalendar> create(QBYCalendarStore* store = nullptr,
                                                       QBYUserDefaults* defaults = nullptr);

  // Whether calendar events are on.
  bool calendarEventsEnabled() const;
  // The stored calendar settings, when there are any.
  std::optional<Dictionary> calendarSettings() const;

  // Converts the older identifier setting to an info dictionary (at start).
  void updateCalendarSettings();

  // Kept between applying results and the next updateCalendarEvents(); each entry is used once.
  void setPreviousEventDates(const std::string& uuid, std::vector<Date> dates);
  EventDates previousEventDates() const;

  // Brings the events of the deliveries changed in the last three hours in step, in a
  // background context of the store, and commits once.
  void updateCalendarEvents(QBYDataStore& dataStore, Completion completion = {});
  // Removes the delivery's events (only those of later dates with onlyFuture) and commits.
  // Reads the record on the calling thread, which must be its context's.
  void deleteEventsForDelivery(const Delivery& delivery, bool onlyFuture);
  // Moves the events of the listed deliveries (the current list) from one calendar to the
  // other: within one account the events themselves move, otherwise they are removed from the
  // old calendar and written anew; without a new calendar they are only removed.
  void moveEventsFromCalendarIdentifier(const std::optional<std::string>& oldIdentifier,
                                        const std::optional<std::string>& newIdentifier,
                                        std::vector<QBYManagedObjectID> deliveries,
                                        QBYDataStore& dataStore, Completion completion = {});

  // {"QBYEventTitle": name, "QBYEventDate": date}; for a delivered line (icon "checkmark") the
  // title is a check mark, a no-break space and the name, and "QBYEventTitleAlternate" holds
  // the plain name, so an event written before delivery is still found.
  static Dictionary eventDictionaryForName(const std::optional<std::string>& name, Date date,
                                           const std::optional<std::string>& icon);

 private:
  QBYDeliveriesCalendar(QBYCalendarStore& store, QBYUserDefaults& defaults);

  // The replaced dates and event dictionaries of one delivery; previous dates are added (and
  // taken out of previousEventDates when consume is set).
  struct DeliveryEvents {
    std::vector<Date> dates;
    std::vector<Dictionary> details;
  };
  DeliveryEvents eventsForDelivery(const Delivery& delivery, bool consumePrevious);
  bool writeDeliveryEvents(const Delivery& delivery, const QBYEventCalendar& calendar,
                           const std::optional<QBYEventCalendar>& fromCalendar,
                           const DeliveryEvents& events);
  void commitChanges();

  QBYCalendarStore& store_;
  QBYUserDefaults& defaults_;
  mutable std::mutex mutex_;
  EventDates previousEventDates_;
};

}  // namespace qby
