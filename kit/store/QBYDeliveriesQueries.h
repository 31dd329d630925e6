// The named queries of the delivery store: every read of deliveries and services that the rest
// of the system makes. Each query is one SQL statement with a fixed predicate, sort order,
// limit and prefetching; it runs on the queue of the context it is given (waiting for the
// result) and returns records of that context, to be used only on that context's queue.
//
// Queries that take a QBYDataStore use its view context when no context is given; the others
// need a context. A failed fetch is logged and answers nothing (an empty list, nothing, false).
//
// Absent values in predicates. The store writes what the records hold, and a record may hold
// no value where the query compares one. The queries read absent values the way the records'
// own rules do:
//   - a flag (archived, removed) that was never set is NO, as Delivery::archived() reads it;
//   - a number or date compared with "greater than" (updatedTime, modified,
//     statusChangedOrModifiedDate) does not match when absent;
//   - "icon is not checkmark" matches an absent icon: a line without an icon is not delivered;
//   - "has a delivered day" does not match an absent day text: it has no text.
//
// Threads: any thread, but never from inside a block already running on another context's
// queue that the given context's queue waits for. The records returned belong to the context.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "model/QBYDeliverySettings.h"
#include "platform/Date.h"
#include "platform/Value.h"
#include "store/core/QBYManagedObjectContext.h"

namespace qby {

class QBYDataStore;
class Delivery;
class Detail;
class Service;

// Shared-defaults keys the queries read.
inline constexpr const char* QBYSortModeKey = "QBYSortMode";
inline constexpr const char* QBYHistoryDaysKey = "QBYHistoryDays";
// Archived deliveries stay this many days in the archive; QBYHistoryDaysMax means for ever.
inline constexpr std::int64_t QBYHistoryDaysMax = 365242;
inline constexpr std::int64_t QBYHistoryDaysDefault = QBYHistoryDaysMax;

// Keys of the summary and timeline dictionaries.
inline constexpr const char* QBYSummaryDataDeliveredKey = "delivered";
inline constexpr const char* QBYSummaryDataNamesKey = "names";
inline constexpr const char* QBYSummaryDataDateKey = "date";
inline constexpr const char* QBYSummaryDataStartDateKey = "startDate";
inline constexpr const char* QBYSummaryDataObjectsKey = "objects";
inline constexpr const char* QBYSummaryDataEntriesKey = "entries";
inline constexpr const char* QBYSummaryDataHashKey = "hash";

// What the list asks for: the main application, the notification-panel widget, the menu-bar
// companion.
enum QBYProcessType : unsigned {
  QBYProcessTypeApplication = 0,
  QBYProcessTypeWidget = 1,
  QBYProcessTypeCompanion = 2
};

// Which deliveries a search looks at; any other value sets no archive condition.
enum QBYSearchScope : unsigned {
  QBYSearchScopeAll = 0,      // active ones and the archive window
  QBYSearchScopeArchive = 1,  // the archive window only
  QBYSearchScopeActive = 2    // active ones only
};

// The deliveries due on one day, for the widget.
struct QBYSummaryData {
  bool delivered = false;          // there are entries and every one is delivered
  std::vector<std::string> names;  // item names, each once, in order
  std::optional<Date> date;        // last second of the summary day; absent without a day
  std::optional<Date> startDate;   // modification date of the first entry's delivery
  // The lines, when they were asked for; records of the context the summary ran in.
  std::optional<std::vector<std::shared_ptr<Detail>>> objects;

  // The dictionary form: "delivered" always, "names" when there are names, "date" and
  // "startDate" when known. Records cannot live in a dictionary: "objects" is left out.
  Dictionary dictionary() const;
};

// The summaries of the five days around today and a text that changes whenever one of them
// does.
struct QBYSummaryTimeline {
  Date date;  // start of today
  std::string hash;
  // By ISO day text, from two days ago to two days ahead; only when the data was asked for.
  std::optional<std::vector<std::pair<std::string, QBYSummaryData>>> entries;

  // "date", "hash" and, with the data, "entries" (a dictionary of summary dictionaries).
  Dictionary dictionary() const;
};

// --- Queries that need a context ---------------------------------------------------------------

// The delivery with that uuid that is not removed; nothing for an absent uuid.
std::shared_ptr<Delivery> deliveryWithUUID(const std::optional<std::string>& uuid,
                                           QBYManagedObjectContext& context);
// The deliveries with these uuids that are not removed; sortByDate orders them by delivery
// date, service and title. Empty for absent or empty uuids.
std::vector<std::shared_ptr<Delivery>> deliveriesWithUUIDs(
    const std::optional<std::vector<std::string>>& uuids, bool sortByDate,
    QBYManagedObjectContext& context);
// Whether any delivery that is not removed has details (reads one row at most).
bool hasAnyDeliveriesInContext(QBYManagedObjectContext& context);
// Active deliveries whose status or settings changed in the last three hours.
std::vector<std::shared_ptr<Delivery>> deliveriesForCalendarUpdateInContext(
    QBYManagedObjectContext& context);

// --- Queries with a default context -------------------------------------------------------------

// The active list in the order of "QBYSortMode", loaded in batches of 20 with their details
// (and service, for the application). The widget leaves out deliveries never updated. Removed
// deliveries that are not archived are part of the list until they are deleted.
QBYFetchedResults deliveriesForProcessType(QBYDataStore& store, unsigned processType,
                                           QBYManagedObjectContext* context = nullptr);

// The deliveries the settings describe: equal uuid, number and service key where the settings
// have them; strictMatching also extra and name (without it only the Amazon order-link service
// compares extra). Without includeArchive only active ones. Settings that name nothing match
// nothing, and the store is not asked. limit 0 means no limit.
std::vector<std::shared_ptr<Delivery>> deliveriesWithSettings(
    QBYDataStore& store, const QBYDeliverySettings& settings, bool strictMatching,
    bool includeArchive, std::size_t limit, QBYManagedObjectContext* context = nullptr);

// Deliveries whose search text holds every word of the text (case and accents ignored), in the
// scope, newest change first, loaded in batches of 20. Blank text matches every delivery of the
// scope. limit 0 means no limit.
QBYFetchedResults deliveriesMatchingSearch(QBYDataStore& store,
                                           const std::optional<std::string>& searchText,
                                           unsigned scope, std::size_t limit, bool prefetch,
                                           QBYManagedObjectContext* context = nullptr);

// Services with a use count (favorites) or all, in list order.
std::vector<std::shared_ptr<Service>> servicesMarkedAsFavorites(
    QBYDataStore& store, bool favorites, QBYManagedObjectContext* context = nullptr);
// The service with that key, or nothing (logged).
std::shared_ptr<Service> serviceForDomain(QBYDataStore& store,
                                          const std::optional<std::string>& key,
                                          QBYManagedObjectContext* context = nullptr);
// The earliest background update time of the active deliveries; nothing without any.
std::optional<Date> nextBackgroundUpdateInContext(QBYDataStore& store,
                                                  QBYManagedObjectContext* context = nullptr);

// The first day on or after the date (now when absent) on which an active, updated delivery
// has a line delivered or due, with the names of that day's items; when there is none, the
// names of every line not yet delivered, without a day.
QBYSummaryData summaryDataForDate(QBYDataStore& store, std::optional<Date> date, bool withObjects,
                                  QBYManagedObjectContext* context = nullptr);
// The summaries of the days from two days ago to two days ahead.
QBYSummaryTimeline summaryTimelineWithData(QBYDataStore& store, bool withData, bool withObjects,
                                           QBYManagedObjectContext* context = nullptr);

// The words a search text is matched with: trimmed, split at every single white-space or
// line-break character (empty pieces between two separators kept, as they match everything),
// at most 51 pieces. Nothing for a blank text.
std::vector<std::string> searchWordsForText(const std::optional<std::string>& searchText);

}  // namespace qby
