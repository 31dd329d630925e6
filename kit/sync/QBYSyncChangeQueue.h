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

#include <functional>
#include <string>
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
