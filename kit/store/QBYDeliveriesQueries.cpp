#include "store/QBYDeliveriesQueries.h"

#include <unicode/utf8.h>

#include <cstdio>
#include <cstdlib>
#include <functional>

#include "model/Delivery.h"
#include "model/Detail.h"
#include "model/Service.h"
#include "platform/Format.h"
#include "platform/Log.h"
#include "platform/QBYUserDefaults.h"
#include "platform/StringHash.h"
#include "presentation/QBYDateFormatter.h"
#include "store/QBYDataStore.h"
#include "util/CharacterSet.h"
#include "util/QBYRegions.h"
#include "util/StringUtilities.h"

namespace qby {
namespace {

// Conditions over the fetched entity (alias "t"); see the header for how absent values read.
// Flags are written as 0 or 1, and a flag never set reads as NO.
constexpr const char* kNotArchived = R"(t."archived" IS NOT 1)";
constexpr const char* kArchived = R"(t."archived" = 1)";
constexpr const char* kNotRemoved = R"(t."removed" IS NOT 1)";
constexpr const char* kUpdated = R"(t."updatedTime" > 0.0)";
// A detail's delivery is active and was updated at least once.
constexpr const char* kDetailOfUpdatedActiveDelivery =
    R"(t."delivery" IN (SELECT d.Z_PK FROM "Delivery" AS d)"
    R"( WHERE d."archived" IS NOT 1 AND d."updatedTime" > 0.0))";

// Searches stop adding words once they have more than this many.
constexpr std::size_t kMaxSearchPieces = 50;
constexpr std::size_t kListBatchSize = 20;
constexpr std::size_t kSummaryBatchSize = 10;
constexpr long kCalendarUpdateHours = 3;

QBYManagedObjectContext* resolve(QBYDataStore& store, QBYManagedObjectContext* context) {
  return context ? context : store.viewContext().get();
}

Value userInfoOf(const QBYError& error) {
  return Value(error.userInfo);
}

// Runs the request on the context's queue; nothing (with the error) when it failed.
std::optional<QBYFetchedResults> run(QBYManagedObjectContext& context,
                                     const QBYFetchRequest& request, QBYError& error) {
  std::optional<QBYFetchedResults> results;
  context.performAndWait([&] { results = context.executeFetchRequest(request, &error); });
  return results;
}

// Runs the request and hands every record to the reader on the context's queue.
template <typename T>
std::optional<std::vector<std::shared_ptr<T>>> runAll(QBYManagedObjectContext& context,
                                                      const QBYFetchRequest& request,
                                                      QBYError& error) {
  std::optional<std::vector<std::shared_ptr<T>>> out;
  context.performAndWait([&] {
    auto results = context.executeFetchRequest(request, &error);
    if (!results) return;
    out.emplace();
    out->reserve(results->size());
    for (std::size_t i = 0; i < results->size(); ++i)
      if (auto record = results->as<T>(i)) out->push_back(std::move(record));
  });
  return out;
}

std::vector<QBYSortDescriptor> titleSortAfter(QBYSortDescriptor first) {
  return {std::move(first), {"from", true, false}, {"historyTitle", true, true}};
}

std::int64_t historyDays() {
  const Value value = QBYDataStore::sharedDefaults().objectForKey(QBYHistoryDaysKey);
  return value.asInteger().value_or(QBYHistoryDaysDefault);
}

// Seconds since 1970 of the moment the archive window opens, as the "%lf" conversion writes
// it (six decimals), so the window is the same whichever way the number travels.
double archiveWindowStart(std::int64_t days) {
  Calendar calendar = QBYDateFormatter::sharedFormatter().calendar();
  const std::optional<Date> start = calendar.dateDaysAgo(static_cast<long>(days));
  char text[64];
  std::snprintf(text, sizeof text, "%lf", start ? start->timeIntervalSince1970() : 0.0);
  return std::strtod(text, nullptr);
}

std::string joined(const std::vector<std::string>& names, std::string_view separator) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += separator;
    out += names[i];
  }
  return out;
}

void addName(std::vector<std::string>& names, const std::optional<std::string>& name) {
  // A line without an item name has nothing to list.
  if (!name) return;
  for (const auto& known : names)
    if (known == *name) return;
  names.push_back(*name);
}

}  // namespace

// --- Values ------------------------------------------------------------------------------------

Dictionary QBYSummaryData::dictionary() const {
  Dictionary out;
  out.set(QBYSummaryDataDeliveredKey, Value(delivered));
  if (!names.empty()) {
    Array list;
    for (const auto& name : names) list.emplace_back(name);
    out.set(QBYSummaryDataNamesKey, Value(std::move(list)));
  }
  if (date) out.set(QBYSummaryDataDateKey, Value(*date));
  if (startDate) out.set(QBYSummaryDataStartDateKey, Value(*startDate));
  return out;
}

Dictionary QBYSummaryTimeline::dictionary() const {
  Dictionary out;
  out.set(QBYSummaryDataDateKey, Value(date));
  out.set(QBYSummaryDataHashKey, Value(hash));
  if (entries) {
    Dictionary days;
    for (const auto& [day, summary] : *entries) days.set(day, Value(summary.dictionary()));
    out.set(QBYSummaryDataEntriesKey, Value(std::move(days)));
  }
  return out;
}

// --- Search words --------------------------------------------------------------------------------

std::vector<std::string> searchWordsForText(const std::optional<std::string>& searchText) {
  std::vector<std::string> pieces;
  if (!hasTrimmedValue(searchText)) return pieces;
  const std::string text = trimmedString(*searchText);
  const CharacterSet& separators = CharacterSet::whitespaceAndNewlineCharacterSet();
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto length = static_cast<std::int32_t>(text.size());
  std::int32_t pieceStart = 0;
  std::int32_t offset = 0;
  while (offset < length) {
    const std::int32_t characterStart = offset;
    UChar32 character;
    U8_NEXT(bytes, offset, length, character);
    if (character < 0 || !separators.contains(static_cast<char32_t>(character))) continue;
    pieces.emplace_back(text, static_cast<std::size_t>(pieceStart),
                        static_cast<std::size_t>(characterStart - pieceStart));
    pieceStart = offset;
    if (pieces.size() > kMaxSearchPieces) return pieces;
  }
  pieces.emplace_back(text, static_cast<std::size_t>(pieceStart));
  return pieces;
}

// --- Queries that need a context
// -------------------------------------------------------------------

std::shared_ptr<Delivery> deliveryWithUUID(const std::optional<std::string>& uuid,
                                           QBYManagedObjectContext& context) {
  if (!uuid) return nullptr;
  QBYFetchRequest request;
  request.entityName = "Delivery";
  request.predicate = std::string(R"(t."uuid" = ? AND )") + kNotRemoved;
  request.arguments = {Value(*uuid)};
  request.fetchLimit = 1;
  QBYError error;
  auto found = runAll<Delivery>(context, request, error);
  if (!found) {
    log("Error fetching delivery %@: %@, %@", *uuid, error, userInfoOf(error));
    return nullptr;
  }
  return found->empty() ? nullptr : found->front();
}

std::vector<std::shared_ptr<Delivery>> deliveriesWithUUIDs(
    const std::optional<std::vector<std::string>>& uuids, bool sortByDate,
    QBYManagedObjectContext& context) {
  if (!uuids || uuids->empty()) return {};
  Array list;
  list.reserve(uuids->size());
  for (const auto& uuid : *uuids) list.emplace_back(uuid);
  QBYFetchRequest request;
  request.entityName = "Delivery";
  request.predicate = std::string(R"(t."uuid" IN (?) AND )") + kNotRemoved;
  request.arguments = {Value(std::move(list))};
  if (sortByDate) request.sortDescriptors = titleSortAfter({"deliveryDateSortIndex", true, false});
  QBYError error;
  auto found = runAll<Delivery>(context, request, error);
  if (!found) {
    log("Error fetching deliveries: %@, %@", error, userInfoOf(error));
    return {};
  }
  return std::move(*found);
}

bool hasAnyDeliveriesInContext(QBYManagedObjectContext& context) {
  QBYFetchRequest request;
  request.entityName = "Delivery";
  request.predicate = std::string(kNotRemoved) +
                      R"( AND EXISTS (SELECT 1 FROM "Detail" AS x WHERE x."delivery" = t.Z_PK))";
  request.fetchLimit = 1;
  QBYError error;
  std::optional<std::size_t> count;
  context.performAndWait([&] { count = context.countForFetchRequest(request, &error); });
  if (!count) {
    log("Error fetching any deliveries: %@, %@", error, userInfoOf(error));
    return false;
  }
  return *count > 0;
}

std::vector<std::shared_ptr<Delivery>> deliveriesForCalendarUpdateInContext(
    QBYManagedObjectContext& context) {
  const Date since =
      QBYDateFormatter::sharedFormatter().calendar().dateHoursAgo(kCalendarUpdateHours);
  QBYFetchRequest request;
  request.entityName = "Delivery";
  request.predicate = std::string(kNotArchived) + R"( AND t."statusChangedOrModifiedDate" > ?)";
  request.arguments = {Value(since.timeIntervalSince1970())};
  request.relationshipKeyPathsForPrefetching = {"details"};
  QBYError error;
  auto found = runAll<Delivery>(context, request, error);
  if (!found) {
    log("Error getting deliveries for calendar update: %@", error);
    return {};
  }
  return std::move(*found);
}

// --- Lists ---------------------------------------------------------------------------------------

QBYFetchedResults deliveriesForProcessType(QBYDataStore& store, unsigned processType,
                                           QBYManagedObjectContext* context) {
  QBYManagedObjectContext* target = resolve(store, context);
  if (!target) return {};
  QBYFetchRequest request;
  request.entityName = "Delivery";
  // Removed deliveries stay in the list until they are deleted, so no removed condition.
  request.predicate = processType == QBYProcessTypeWidget
                          ? std::string(kNotArchived) + " AND " + kUpdated
                          : std::string(kNotArchived);
  switch (QBYDataStore::sharedDefaults().integerForKey(QBYSortModeKey)) {
    case 2:
      request.sortDescriptors = titleSortAfter({"statusChangedOrModifiedDate", false, false});
      break;
    case 1:
      request.sortDescriptors = titleSortAfter({"deliveryDateSortIndex", true, false});
      break;
    default:
      request.sortDescriptors = {{"manualSortIndex", true, false}};
      break;
  }
  request.fetchBatchSize = kListBatchSize;
  request.relationshipKeyPathsForPrefetching = {"details"};
  if (processType == QBYProcessTypeApplication)
    request.relationshipKeyPathsForPrefetching.push_back("service");
  QBYError error;
  auto results = run(*target, request, error);
  if (!results) {
    log("Error fetching deliveries: %@, %@", error, userInfoOf(error));
    return {};
  }
  return std::move(*results);
}

std::vector<std::shared_ptr<Delivery>> deliveriesWithSettings(
    QBYDataStore& store, const QBYDeliverySettings& settings, bool strictMatching,
    bool includeArchive, std::size_t limit, QBYManagedObjectContext* context) {
  std::vector<std::string> conditions;
  std::vector<Value> arguments;
  const auto equal = [&](const char* key, const std::optional<std::string>& value) {
    if (!hasValue(value)) return;
    conditions.push_back(std::string("t.\"") + key + "\" = ?");
    arguments.emplace_back(*value);
  };
  equal("uuid", settings.uuid);
  equal("no", settings.no);
  equal("from", settings.from);
  if (strictMatching) {
    equal("extra", settings.extra);
    equal("name", settings.name);
  } else if (settings.from && *settings.from == ServiceKey::AmazonOrderLink) {
    // Order links differ only by their page; the same number may be several orders.
    equal("extra", settings.extra);
  }
  if (!includeArchive) conditions.emplace_back(kNotArchived);
  // Settings that name nothing would match every delivery.
  if (conditions.empty()) return {};
  QBYManagedObjectContext* target = resolve(store, context);
  if (!target) return {};
  conditions.emplace_back(kNotRemoved);

  QBYFetchRequest request;
  request.entityName = "Delivery";
  request.predicate = joined(conditions, " AND ");
  request.arguments = std::move(arguments);
  request.fetchLimit = limit;
  QBYError error;
  auto found = runAll<Delivery>(*target, request, error);
  if (!found) {
    log("Error fetching existing deliveries: %@, %@", error, userInfoOf(error));
    return {};
  }
  return std::move(*found);
}

QBYFetchedResults deliveriesMatchingSearch(QBYDataStore& store,
                                           const std::optional<std::string>& searchText,
                                           unsigned scope, std::size_t limit, bool prefetch,
                                           QBYManagedObjectContext* context) {
  QBYManagedObjectContext* target = resolve(store, context);
  if (!target) return {};

  // Every word must occur in the delivery's one search text. An empty piece (two separators in
  // a row) matches every delivery, so it adds no condition; all words are tested on the same
  // row of the search text. The texts are read in one pass and their deliveries looked up by
  // key, about twice as fast as testing each delivery's text through the index.
  std::vector<Value> arguments;
  std::string term;
  const std::vector<std::string> pieces = searchWordsForText(searchText);
  if (!pieces.empty()) {
    std::string words;
    for (const auto& piece : pieces) {
      if (piece.empty()) continue;
      words += R"( AND instr(s."foldedText", qby_fold(?)) > 0)";
      arguments.emplace_back(piece);
    }
    term = words.empty()
               ? std::string("1")
               : R"(t.Z_PK IN (SELECT s."delivery" FROM "DeliveryText" AS s WHERE 1)" + words + ")";
  }

  const std::int64_t days = historyDays();
  const bool forever = days == QBYHistoryDaysMax;
  std::string window;
  std::vector<Value> windowArguments;
  switch (scope) {
    case QBYSearchScopeActive:
      window = kNotArchived;
      break;
    case QBYSearchScopeArchive:
      window = kArchived;
      if (!forever) {
        window += R"( AND t."modified" > ?)";
        windowArguments.emplace_back(archiveWindowStart(days));
      }
      break;
    case QBYSearchScopeAll:
      if (!forever) {
        window = std::string(kNotArchived) + R"( OR t."modified" > ?)";
        windowArguments.emplace_back(archiveWindowStart(days));
      }
      break;
    default:
      break;
  }

  std::string condition;
  if (!window.empty() && !term.empty()) {
    condition = "(" + window + ") AND (" + term + ")";
  } else {
    condition = window.empty() ? term : window;
  }
  windowArguments.insert(windowArguments.end(), arguments.begin(), arguments.end());

  QBYFetchRequest request;
  request.entityName = "Delivery";
  request.predicate = condition.empty() ? std::string(kNotRemoved)
                                        : std::string(kNotRemoved) + " AND (" + condition + ")";
  request.arguments = std::move(windowArguments);
  request.sortDescriptors = {{"modified", false, false}};
  request.fetchBatchSize = kListBatchSize;
  request.fetchLimit = limit;
  if (prefetch) request.relationshipKeyPathsForPrefetching = {"details", "service"};
  QBYError error;
  auto results = run(*target, request, error);
  if (!results) {
    log("Error searching deliveries: %@, %@", error, userInfoOf(error));
    return {};
  }
  return std::move(*results);
}

// --- Services
// --------------------------------------------------------------------------------------

std::vector<std::shared_ptr<Service>> servicesMarkedAsFavorites(QBYDataStore& store, bool favorites,
                                                                QBYManagedObjectContext* context) {
  QBYManagedObjectContext* target = resolve(store, context);
  if (!target) return {};
  QBYFetchRequest request;
  request.entityName = "Service";
  if (favorites) request.predicate = R"(t."useCount" > 0)";
  request.sortDescriptors = {{"sort", true, false}};
  QBYError error;
  auto found = runAll<Service>(*target, request, error);
  if (!found) {
    log("Error fetching services: %@, %@", error, userInfoOf(error));
    return {};
  }
  return std::move(*found);
}

std::shared_ptr<Service> serviceForDomain(QBYDataStore& store,
                                          const std::optional<std::string>& key,
                                          QBYManagedObjectContext* context) {
  QBYManagedObjectContext* target = resolve(store, context);
  if (!target) return nullptr;
  QBYFetchRequest request;
  request.entityName = "Service";
  // "IS" so that an absent key finds a service without key, as an equality with nothing does.
  request.predicate = R"(t."from" IS ?)";
  request.arguments = {Value(key)};
  request.fetchLimit = 1;
  QBYError error;
  auto found = runAll<Service>(*target, request, error);
  if (!found) {
    log("Error getting service %@: %@ %@", key, error, userInfoOf(error));
    return nullptr;
  }
  if (found->empty()) {
    log("Service not found %@", key);
    return nullptr;
  }
  return found->front();
}

std::optional<Date> nextBackgroundUpdateInContext(QBYDataStore& store,
                                                  QBYManagedObjectContext* context) {
  QBYManagedObjectContext* target = resolve(store, context);
  if (!target) return std::nullopt;
  QBYFetchRequest request;
  request.entityName = "Delivery";
  request.predicate = kNotArchived;
  request.sortDescriptors = {{"backgroundUpdate", true, false}};
  request.fetchLimit = 1;
  QBYError error;
  std::optional<Date> next;
  bool failed = false;
  target->performAndWait([&] {
    auto results = target->executeFetchRequest(request, &error);
    if (!results) {
      failed = true;
      return;
    }
    if (auto delivery = results->empty() ? nullptr : results->as<Delivery>(0))
      next = Date(delivery->backgroundUpdate());
  });
  if (failed) log("Error getting next background update: %@, %@", error, userInfoOf(error));
  return next;
}

// --- Summary
// ---------------------------------------------------------------------------------------

QBYSummaryData summaryDataForDate(QBYDataStore& store, std::optional<Date> date, bool withObjects,
                                  QBYManagedObjectContext* context) {
  QBYSummaryData summary;
  QBYManagedObjectContext* target = resolve(store, context);
  if (!target) return summary;
  QBYDateFormatter& formatter = QBYDateFormatter::sharedFormatter();
  const Calendar calendar = formatter.calendar();
  const Date given = date.value_or(Date::now());
  const std::optional<Date> givenDay = calendar.startOfDayForDate(given);

  // First pass: lines with a delivered (or expected) day, in day order. An absent day text has
  // no text: it is left out rather than sorted first, where it would end the walk at once.
  //
  // The walk skips every line of a day before the given one, and those are most lines of a
  // long history: the statement leaves out the texts that are exactly a valid ISO day sorting
  // before the given day's text (date(x, '+0 days') = x holds for nothing else), since the
  // walk would only skip them. Every other text, an unparsable one included, still reaches the
  // walk, which stops at it as before.
  QBYFetchRequest request;
  request.entityName = "Detail";
  request.predicate =
      std::string(kDetailOfUpdatedActiveDelivery) +
      R"( AND t."deliveredDateString" <> '' AND (t."deliveredDateString" >= ?)"
      R"( OR date(t."deliveredDateString", '+0 days') IS NOT t."deliveredDateString"))";
  request.arguments = {Value(givenDay ? formatter.stringFromDate(*givenDay) : std::nullopt)};
  request.sortDescriptors = {{"deliveredDateString", true, false}};
  request.fetchBatchSize = kSummaryBatchSize;
  request.relationshipKeyPathsForPrefetching = {"delivery"};

  std::size_t entries = 0;
  std::size_t delivered = 0;
  QBYError error;
  bool failed = false;
  std::vector<std::shared_ptr<Detail>> objects;
  target->performAndWait([&] {
    auto results = target->executeFetchRequest(request, &error);
    if (!results) {
      failed = true;
      return;
    }
    std::optional<Date> summaryDay;
    for (std::size_t i = 0; i < results->size(); ++i) {
      auto detail = results->as<Detail>(i);
      if (!detail) continue;
      const std::optional<Date> day = detail->deliveredDate();
      if (!day) break;
      const std::optional<Date> start = calendar.startOfDayForDate(*day);
      if (!start || !givenDay) break;
      if (*start < *givenDay) continue;
      if (!summaryDay) {
        summaryDay = start;
        if (auto delivery = detail->delivery(); delivery && delivery->modified() > 1.0)
          summary.startDate = Date(delivery->modified());
      } else if (*start != *summaryDay) {
        break;
      }
      addName(summary.names, detail->itemName());
      if (withObjects) objects.push_back(detail);
      // Only the given day itself is reported delivered through the day's first line.
      const bool counts = entries > 0 || *summaryDay == *givenDay;
      ++entries;
      if (detail->isDelivered() && counts) ++delivered;
    }
    if (summaryDay) summary.date = calendar.endOfDayForDate(*summaryDay);
  });
  if (failed) {
    log("Error fetching details for summary: %@, %@", error, userInfoOf(error));
    return summary;
  }
  summary.delivered = entries > 0 && delivered == entries;
  if (entries > 0) {
    if (withObjects) summary.objects = std::move(objects);
    return summary;
  }

  // Second pass: nothing is due from that day on; list every line not yet delivered.
  summary.startDate.reset();
  summary.date.reset();
  QBYFetchRequest pending;
  pending.entityName = "Detail";
  pending.predicate =
      std::string(kDetailOfUpdatedActiveDelivery) + R"( AND t."icon" IS NOT 'checkmark')";
  if (withObjects) pending.relationshipKeyPathsForPrefetching = {"delivery"};
  auto lines = runAll<Detail>(*target, pending, error);
  if (!lines) {
    log("Error fetching details for summary: %@, %@", error, userInfoOf(error));
    return summary;
  }
  target->performAndWait([&] {
    for (const auto& detail : *lines) addName(summary.names, detail->itemName());
  });
  if (withObjects) summary.objects = std::move(*lines);
  return summary;
}

QBYSummaryTimeline summaryTimelineWithData(QBYDataStore& store, bool withData, bool withObjects,
                                           QBYManagedObjectContext* context) {
  QBYSummaryTimeline timeline;
  QBYDateFormatter& formatter = QBYDateFormatter::sharedFormatter();
  const Calendar calendar = formatter.calendar();
  timeline.date = calendar.startOfDayForDate(Date::now()).value_or(Date::now());
  if (withData) timeline.entries.emplace();
  for (long offset = -2; offset <= 2; ++offset) {
    const Date day = calendar.dateDaysFrom(offset, timeline.date).value_or(timeline.date);
    QBYSummaryData summary = summaryDataForDate(store, day, withObjects, context);
    const double seconds = summary.date ? summary.date->timeIntervalSince1970() : 0.0;
    timeline.hash += format("%@-%@-%@/", Value(seconds), Value(summary.delivered),
                            stringHash(joined(summary.names, ", ")));
    if (withData)
      timeline.entries->emplace_back(formatter.stringFromDate(day).value_or(""),
                                     std::move(summary));
  }
  return timeline;
}

}  // namespace qby
