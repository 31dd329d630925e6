#include "sync/QBYSyncChangeQueue.h"

#include <cstdint>
#include <cstdio>
#include <optional>
#include <random>

#include "model/QBYSyncObject.h"
#include "model/Queue.h"
#include "platform/Format.h"
#include "platform/Log.h"
#include "platform/URL.h"
#include "store/QBYDataStore.h"
#include "store/core/QBYManagedObjectContext.h"
#include "util/ICUText.h"
#include "util/URLUtilities.h"

namespace qby {

namespace {

constexpr const char* kQueueEntity = "Queue";

// "E621E1F8-C36C-495A-93FC-0C247A3E6E5F", as the platform prints a fresh UUID.
std::string newUUIDString() {
  thread_local std::mt19937_64 generator{std::random_device{}()};
  std::uint64_t high = generator();
  std::uint64_t low = generator();
  high = (high & 0xFFFFFFFFFFFF0FFFULL) | 0x0000000000004000ULL;  // version 4
  low = (low & 0x3FFFFFFFFFFFFFFFULL) | 0x8000000000000000ULL;    // RFC 4122 variant
  char text[37];
  std::snprintf(text, sizeof text, "%08X-%04X-%04X-%04X-%012llX", static_cast<unsigned>(high >> 32),
                static_cast<unsigned>((high >> 16) & 0xFFFF), static_cast<unsigned>(high & 0xFFFF),
                static_cast<unsigned>(low >> 48),
                static_cast<unsigned long long>(low & 0xFFFFFFFFFFFFULL));
  return text;
}

// The encoded text of the longest run of whole characters (grapheme clusters) from the start of
// text whose encoding fits in limit bytes.
std::string encodedPrefix(const std::string& text, std::size_t limit) {
  const icu::UnicodeString unicode = icu::UnicodeString::fromUTF8(text);
  const auto characters = icutext::characterBreaks(unicode);
  std::string result;
  if (!characters) return result;
  int32_t start = characters->first();
  for (int32_t end = characters->next(); end != icu::BreakIterator::DONE;
       start = end, end = characters->next()) {
    std::string piece;
    unicode.tempSubStringBetween(start, end).toUTF8String(piece);
    const std::string encoded = stringEncodedForURLQuery(piece);
    if (result.size() + encoded.size() > limit) break;
    result += encoded;
  }
  return result;
}

// Raw query text cut to limit bytes, never inside a "%XX" escape.
std::string_view rawPrefix(std::string_view text, std::size_t limit) {
  std::size_t end = std::min(limit, text.size());
  for (std::size_t back = 1; back <= 2 && back <= end; ++back)
    if (text[end - back] == '%') {
      end -= back;
      break;
    }
  return text.substr(0, end);
}

}  // namespace

std::string QBYSyncChangeQueue::cappedQuery(std::string_view query) {
  std::string result;
  result.reserve(std::min(query.size(), std::size_t(8) * QBYSyncMaxValueBytes));
  while (true) {
    const auto ampersand = query.find('&');
    const std::string_view part = query.substr(0, ampersand);
    const auto equals = part.find('=');
    if (equals != std::string_view::npos && part.size() - equals - 1 > QBYSyncMaxValueBytes) {
      const std::string_view value = part.substr(equals + 1);
      result.append(part.substr(0, equals + 1));
      if (const auto decoded = stringByRemovingPercentEncoding(value))
        result += encodedPrefix(*decoded, QBYSyncMaxValueBytes);
      else
        result.append(rawPrefix(value, QBYSyncMaxValueBytes));
    } else {
      result.append(part);
    }
    if (ampersand == std::string_view::npos) break;
    result.push_back('&');
    query.remove_prefix(ampersand + 1);
  }
  return result;
}

QBYSyncChangeQueue::QBYSyncChangeQueue(Performer perform, RemovalHandler removed)
    : perform_(std::move(perform)), removed_(std::move(removed)) {}

std::string QBYSyncChangeQueue::quillbayQueryForObject(const QBYSyncObject* object,
                                                       const std::string& cmd, double modified) {
  if (cmd == QBYQueueCommandAdd) {
    return cappedQuery(format("cmd=%@&modified=%lf%@", cmd, modified,
                              object ? object->queryString() : std::string()));
  }
  if (cmd == QBYQueueCommandDelete) {
    return format("cmd=%@&modified=%lf&uuid=%@", cmd, modified,
                  object ? object->uuid().value_or("") : std::string());
  }
  return format("cmd=%@", cmd);
}

void QBYSyncChangeQueue::queueObject(const QBYSyncObject* object, const std::string& cmd,
                                     bool foriCloud, double serviceOffset) {
  std::optional<std::string> uuid = object ? object->uuid() : std::nullopt;
  if (uuid && uuid->empty()) uuid.reset();
  if (uuid) removeFromQueue(*uuid, 0, true);
  const std::string itemUUID = uuid ? *uuid : newUUIDString() + QBYQueueCommandSuffix;
  double date = object ? object->modified() : 0;
  std::string query;
  if (!foriCloud) {
    date -= serviceOffset;
    query = quillbayQueryForObject(object, cmd, date);
  }
  perform_([&](QBYManagedObjectContext& context) {
    auto item = context.insert<Queue>(kQueueEntity);
    item->setUuid(itemUUID);
    item->setCmd(cmd);
    item->setDate(date);
    item->setQuery(query);
    // Written down at once: an unsent change must survive a crash as well as a quit.
    qby_saveChanges(context);
  });
}

bool QBYSyncChangeQueue::removeFromQueue(const std::string& uuid, double ifOlderThan,
                                         bool orForce) {
  bool answer = true;
  bool removed = false;
  perform_([&](QBYManagedObjectContext& context) {
    QBYFetchRequest request;
    request.entityName = kQueueEntity;
    request.predicate = R"(t."uuid" = ?)";
    request.arguments = {Value(uuid)};
    QBYError error;
    auto results = context.executeFetchRequest(request, &error);
    if (!results) {
      log("Error getting queue item: %@, %@", error, error.userInfoDescription());
      return;
    }
    // There is one item per uuid; should a store from an older build hold more, they all go
    // together, and the newest decides whether the incoming change is older.
    const auto items = results->allAs<Queue>();
    if (items.empty()) return;
    if (!orForce) {
      for (const auto& item : items) {
        if (item && item->date() > ifOlderThan) {
          answer = false;
          return;
        }
      }
    }
    for (const auto& item : items) {
      if (item) context.deleteObject(item);
    }
    qby_saveChanges(context);
    removed = true;
  });
  if (removed && removed_) removed_(uuid);
  return answer;
}

bool QBYSyncChangeQueue::hasQueueItems() {
  bool any = false;
  perform_([&](QBYManagedObjectContext& context) {
    QBYFetchRequest request;
    request.entityName = kQueueEntity;
    request.fetchLimit = 1;
    QBYError error;
    auto count = context.countForFetchRequest(request, &error);
    if (!count) {
      log("Error checking for queue items: %@, %@", error, error.userInfoDescription());
      return;
    }
    any = *count > 0;
  });
  return any;
}

std::vector<QBYSyncQueueItem> QBYSyncChangeQueue::fetchQueueItems() {
  std::vector<QBYSyncQueueItem> items;
  perform_([&](QBYManagedObjectContext& context) {
    QBYFetchRequest request;
    request.entityName = kQueueEntity;
    QBYError error;
    auto results = context.executeFetchRequest(request, &error);
    if (!results) {
      log("Error getting queue items: %@, %@", error, error.userInfoDescription());
      return;
    }
    for (const auto& item : results->allAs<Queue>()) {
      if (!item) continue;
      items.push_back(QBYSyncQueueItem{item->uuid().value_or(""), item->cmd().value_or(""),
                                       item->date(), item->query().value_or("")});
    }
  });
  return items;
}

void QBYSyncChangeQueue::removeAllItems() {
  perform_([](QBYManagedObjectContext& context) {
    QBYFetchRequest request;
    request.entityName = kQueueEntity;
    QBYError error;
    auto items = context.executeFetchRequest(request, &error);
    if (!items) {
      log("Error getting queue items: %@, %@", error, error.userInfoDescription());
      return;
    }
    for (const auto& item : items->all()) {
      if (item) context.deleteObject(item);
    }
    qby_saveChanges(context);
  });
}

}  // namespace qby
