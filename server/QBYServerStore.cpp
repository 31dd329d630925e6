#include "QBYServerStore.h"

#include <algorithm>

namespace qby::server {

void QBYServerStore::checkSchemaVersion(int have, int known) {
  if (have > known)
    throw QBYServerStoreError("the database has schema version " + std::to_string(have) +
                              ", newer than this server knows (" + std::to_string(known) + ")");
}

PutResult::Outcome QBYServerStore::writeOutcome(const std::optional<StoredDelivery>& stored,
                                                const ServerDelivery& delivery) {
  return stored && stored->modified > delivery.modified ? PutResult::Outcome::Older
                                                        : PutResult::Outcome::Stored;
}

bool QBYServerStore::addsLiveDelivery(const std::optional<StoredDelivery>& stored,
                                      const ServerDelivery& delivery) {
  const bool counted = stored && !stored->deleted;
  return !delivery.deleted && !counted;
}

PutResult::Outcome QBYServerStore::quotaOutcome(int64_t liveCount, int quota) {
  return liveCount >= quota ? PutResult::Outcome::OverQuota : PutResult::Outcome::Stored;
}

Micros QBYServerStore::nextServerTime(Micros now, Micros lastUpdated) {
  return std::max(now, lastUpdated + 1);
}

}  // namespace qby::server
