// The persistent change queue of sync: Queue records in the local store that hold the changes
// the sync target has not confirmed yet, so that they survive a quit or a crash. At most one
// item per uuid: queueing a delivery first removes its previous item. An item leaves when the
// target confirms it, when a newer change for the same uuid arrives from the other side, or
// when the whole queue is reset.
//
// The queue keeps no records of its own: every operation runs synchronously inside the working
// context its owner (the sync manager) hands it, and store errors are logged and read as an
// empty queue. Threads: any, as the working context allows; the removal callback runs on the
// calling thread.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace qby {

class QBYManagedObjectContext;
class QBYSyncObject;

// Queue commands.
inline constexpr const char* QBYQueueCommandUpdate = "update";  // cloud records
inline constexpr const char* QBYQueueCommandAdd = "add";        // vendor service
inline constexpr const char* QBYQueueCommandDelete = "delete";
inline constexpr const char* QBYQueueCommandLogout = "logout";
// The end of the uuid of a queued command that is about no delivery.
inline constexpr const char* QBYQueueCommandSuffix = "-QUEUE";
// The most bytes one value of a queued vendor-service command takes once encoded. A change has
// five such values, so with the sign-in and the rest of the request it stays well below the
// smallest body limit a server may set (64 KiB): a server never refuses a change as too large
// for good, which would hold it in the queue forever.
inline constexpr std::size_t QBYSyncMaxValueBytes = 8 * 1024;

// One change-queue item, copied out of the working context.
struct QBYSyncQueueItem {
  std::string uuid;
  std::string cmd;
  double date = 0;
  std::string query;
  bool operator==(const QBYSyncQueueItem&) const = default;
};

class QBYSyncChangeQueue {
 public:
  // Runs the block synchronously on the working context; false when there is none.
  using Performer = std::function<bool(const std::function<void(QBYManagedObjectContext&)>&)>;
  // Told the uuid of items that left the queue, so that exchanges still waiting to send them
  // can be cancelled.
  using RemovalHandler = std::function<void(const std::string& uuid)>;

  QBYSyncChangeQueue(Performer perform, RemovalHandler removed);

  // The request parameters of a vendor-service command about the object (or none).
  static std::string quillbayQueryForObject(const QBYSyncObject* object, const std::string& cmd,
                                            double modified);
  // The query with every value longer than QBYSyncMaxValueBytes cut to the whole characters
  // that fit (a value that is not valid percent-encoding is cut before an escape); the rest
  // as it stands. Applied when a change is queued and, for items queued by older builds, when
  // it is sent. The server's answer then brings the cut text back to this device too, so every
  // device agrees on it.
  static std::string cappedQuery(std::string_view query);

  // Queues the command; object may be null (a command about no delivery gets the uuid
  // "<new uuid>-QUEUE"). For the vendor service the date is the object's modified time minus
  // serviceOffset and the request parameters are built now; for cloud records there are none.
  void queueObject(const QBYSyncObject* object, const std::string& cmd, bool foriCloud,
                   double serviceOffset);
  // True when the uuid's item is gone: none existed, or it was removed. False (and the item
  // stays) when not forced and the queued local change is newer than ifOlderThan.
  bool removeFromQueue(const std::string& uuid, double ifOlderThan, bool orForce);
  bool hasQueueItems();
  // Every item, unsorted.
  std::vector<QBYSyncQueueItem> fetchQueueItems();
  // Deletes every item at once (without telling the removal handler: the caller resets the
  // exchanges itself).
  void removeAllItems();

 private:
  Performer perform_;
  RemovalHandler removed_;
};

}  // namespace qby
