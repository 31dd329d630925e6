// A context: a scratch pad of records over one connection to the store file. It fetches
// records (each row once: an identity map keeps one record object per row while it is in
// use), tracks inserted, changed and deleted records and writes them in one transaction on
// save. Changes made in memory win over the file: a save writes the changed fields over
// whatever another context or process wrote there, and leaves fields it did not change alone.
//
// Threads: a main-queue context is used on the main thread; a private-queue context owns a
// serial queue of its own. Touch a context and its records only inside perform /
// performAndWait (a main-queue context may also be used directly on the main thread).
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/QBYError.h"
#include "platform/Value.h"
#include "store/core/QBYManagedObject.h"

namespace qby {

class QBYPersistentStore;
class QBYOperationQueue;

enum class QBYConcurrencyType { MainQueue, PrivateQueue };

struct QBYSortDescriptor {
  std::string key;  // an attribute of the fetched entity
  bool ascending = true;
  // The platform's "localized standard" comparison: ICU collation for the current locale,
  // case- and accent-aware, numbers compared by value ("Item 2" before "Item 10").
  bool localizedStandard = false;
};

// One query, as SQL. The fetched entity's table has the alias "t"; the predicate is an SQL
// expression over it (it may use joins through sub-selects such as
// "EXISTS (SELECT 1 FROM Detail d WHERE d.delivery = t.Z_PK)"); "?" placeholders are bound to
// the arguments in order. The collation "QBYLOCALIZED" and the function
// "qby_fold(text)" (case- and diacritic-folded copy) are available in every statement. An
// argument that is an array fills one "?" with its elements ("t.uuid IN (?)"; an empty array
// reads as NULL, which matches nothing).
struct QBYFetchRequest {
  std::string entityName;
  std::string predicate;  // empty: every record
  std::vector<Value> arguments;
  std::vector<QBYSortDescriptor> sortDescriptors;
  std::size_t fetchLimit = 0;      // 0: no limit
  std::size_t fetchBatchSize = 0;  // 0: load every record at once
  // To-many or to-one relationships (of the fetched entity, one level) loaded together with
  // each batch of records, with one statement per relationship and batch.
  std::vector<std::string> relationshipKeyPathsForPrefetching;
  // The context's unsaved inserts, changes and deletions take part in the predicate, sort and
  // limit (they are written in a transaction that is rolled back after the query).
  bool includesPendingChanges = true;
};

// The result of a fetch: the identities of the matching rows, in order. With a batch size the
// records are loaded on access, one batch at a time, so a list of 100,000 rows costs 100,000
// row ids until it is read.
class QBYFetchedResults {
 public:
  struct State;  // opaque; defined by the context

  QBYFetchedResults() = default;
  std::size_t size() const;
  bool empty() const { return size() == 0; }
  // The record at the position, loading its batch when needed; nullptr when the row was
  // deleted meanwhile.
  std::shared_ptr<QBYManagedObject> at(std::size_t index) const;
  template <typename T>
  std::shared_ptr<T> as(std::size_t index) const {
    return std::static_pointer_cast<T>(at(index));
  }
  // Every record, loaded.
  std::vector<std::shared_ptr<QBYManagedObject>> all() const;
  template <typename T>
  std::vector<std::shared_ptr<T>> allAs() const {
    std::vector<std::shared_ptr<T>> out;
    for (auto& object : all()) out.push_back(std::static_pointer_cast<T>(object));
    return out;
  }

 private:
  friend class QBYManagedObjectContext;
  std::shared_ptr<State> state_;
};

class QBYManagedObjectContext {
 public:
  struct Impl;  // opaque

  // Counters for tests and benchmarks: what the context asked of the file.
  struct Statistics {
    std::size_t statements = 0;   // statements executed
    std::size_t rowsLoaded = 0;   // rows read into new records or fulfilled faults
    std::size_t batchLoads = 0;   // batches of fetched results loaded
    std::size_t faultsFired = 0;  // single records read because a fault fired
  };

  // A context over a connection of its own. A private-queue context makes its own serial
  // queue.
  QBYManagedObjectContext(std::shared_ptr<QBYPersistentStore> store, QBYConcurrencyType type);
  // A private-queue context whose blocks run on the given queue (shared by several short-lived
  // contexts, for instance the data store's background tasks). Destroy it on that queue or
  // when the queue is idle.
  QBYManagedObjectContext(std::shared_ptr<QBYPersistentStore> store,
                          std::shared_ptr<QBYOperationQueue> queue);
  ~QBYManagedObjectContext();
  QBYManagedObjectContext(const QBYManagedObjectContext&) = delete;
  QBYManagedObjectContext& operator=(const QBYManagedObjectContext&) = delete;

  QBYConcurrencyType concurrencyType() const;
  const QBYManagedObjectModel& model() const;

  // Runs the block on the context's queue, asynchronously.
  void perform(std::function<void()> block);
  // Runs the block on the context's queue and waits for it. Running already on that queue,
  // the block runs at once.
  void performAndWait(const std::function<void()>& block);

  std::shared_ptr<QBYManagedObject> insertNewObject(std::string_view entityName);
  template <typename T>
  std::shared_ptr<T> insert(std::string_view entityName) {
    return std::static_pointer_cast<T>(insertNewObject(entityName));
  }
  // Marks the record deleted; the save removes it and applies the delete rules.
  void deleteObject(const std::shared_ptr<QBYManagedObject>& object);

  // Nothing, with the error, when the statement fails.
  std::optional<QBYFetchedResults> executeFetchRequest(const QBYFetchRequest& request,
                                                       QBYError* error = nullptr);
  std::optional<std::size_t> countForFetchRequest(const QBYFetchRequest& request,
                                                  QBYError* error = nullptr);
  // The record with that identity, loaded from the store when needed; nullptr when the row
  // is gone.
  std::shared_ptr<QBYManagedObject> existingObjectWithID(const QBYManagedObjectID& id,
                                                         QBYError* error = nullptr);

  bool hasChanges() const;
  // Writes every change in one transaction. All or nothing: a failed save leaves the file as
  // it was and the context's changes pending.
  bool save(QBYError* error = nullptr);
  // Drops every pending change and forgets all records.
  void reset();
  // Turns every unchanged record into a fault, so its next access reads the file again (after
  // another context or process wrote it); records with pending changes keep them.
  void refreshAllObjects();
  // mergeChanges false drops the record's pending changes too.
  void refreshObject(const std::shared_ptr<QBYManagedObject>& object, bool mergeChanges);

  // Deletes rows directly in the file, without loading them (delete rules run as SQL). Records
  // of this context that were deleted this way become faults whose next access finds nothing.
  bool batchDelete(const std::string& entityName, const std::string& predicate,
                   const std::vector<Value>& arguments, QBYError* error = nullptr);
  bool batchDeleteObjectIDs(const std::vector<QBYManagedObjectID>& ids, QBYError* error = nullptr);

  const std::shared_ptr<QBYPersistentStore>& persistentStore() const;
  Statistics statistics() const;
  void resetStatistics();

 private:
  friend class QBYManagedObject;
  friend class QBYFetchedResults;
  friend struct QBYManagedObjectAccess;
  // Shared with fetched results, which hold it weakly and answer nothing once the context
  // is gone.
  std::shared_ptr<Impl> impl_;
};

}  // namespace qby
