// The inside of a context, shared by the files that implement it: the context itself and
// its records' life in memory (QBYManagedObjectContext.cpp), the fetch path that reads rows
// into records (QBYManagedObjectContextFetching.cpp) and the save path that writes changes
// and deletes rows (QBYManagedObjectContextSaving.cpp). Only those files include it.
//
// Threads: everything here runs on the context's queue.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/QBYError.h"
#include "platform/Value.h"
#include "store/core/QBYManagedObjectContext.h"
#include "store/core/QBYPersistentStore.h"
#include "store/core/QBYRowTable.h"
#include "store/core/QBYSQLite.h"
#include "store/core/QBYStoreInternal.h"
#include "store/core/QBYStoredColumns.h"

namespace qby {

namespace contextimpl {

// How one entity's rows are read and written: the stored attributes and owning keys, in the
// order of the columns every generated SELECT lists after Z_PK.
struct EntityLayout {
  const EntityDescription* entity = nullptr;
  std::string table;
  std::vector<int> attributes;  // stored attributes, by index
  std::vector<int> keys;        // to-one relationships that own their key column, by index
  std::string insertSQL;
  // Made once: batches and faults run these for every few records.
  std::string selectT;  // "SELECT t.Z_PK, t.<columns> FROM <table> AS t"
  std::string selectP;  // the same with the alias "p"
  std::string selectByRowSQL;
  mutable std::vector<std::string> selectByRowsSQL;  // by number of row ids

  std::string columns(const char* alias) const {
    std::string out = std::string(alias) + ".Z_PK";
    for (int a : attributes)
      out += ", " + std::string(alias) + "." + sql::quoted(entity->attributes[a].name);
    for (int k : keys)
      out += ", " + std::string(alias) + "." + sql::quoted(entity->relationships[k].name);
    return out;
  }

  // The rows with count row ids ("WHERE t.Z_PK IN (?,…)").
  const std::string& selectByRows(std::size_t count) const {
    if (selectByRowsSQL.size() <= count) selectByRowsSQL.resize(count + 1);
    std::string& sql = selectByRowsSQL[count];
    if (sql.empty()) {
      sql = selectT + " WHERE t.Z_PK IN (";
      for (std::size_t i = 0; i < count; ++i) sql += i ? ",?" : "?";
      sql += ")";
    }
    return sql;
  }
};

EntityLayout makeLayout(const EntityDescription& entity);

inline std::string placeholders(std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count; ++i) out += i ? ",?" : "?";
  return out;
}

inline QBYError invalidRequest(const std::string& text) {
  return QBYError::make(QBYStoreErrorDomain, QBYStoreErrorInvalidRequest, text);
}

// What a write of the pending changes did, applied to the records once the transaction
// committed (or used to map provisional rows during a query).
struct WriteOutcome {
  std::unordered_map<QBYManagedObject*, std::int64_t> newRowIDs;
  std::vector<QBYManagedObject*> vanished;  // changed records whose row was gone
  std::vector<std::pair<const EntityDescription*, std::int64_t>> deletedRows;
  struct Nullified {
    const EntityDescription* entity;
    std::int64_t rowID;
    int relationship;
  };
  std::vector<Nullified> nullified;
};

}  // namespace contextimpl

struct QBYFetchedResults::State {
  std::weak_ptr<QBYManagedObjectContext::Impl> context;
  const EntityDescription* entity = nullptr;
  std::vector<std::int64_t> rowIDs;
  // Unsaved records at their positions (they have no row to load).
  std::unordered_map<std::size_t, std::shared_ptr<QBYManagedObject>> pendingAt;
  std::size_t batchSize = 0;
  std::vector<int> prefetch;
  // Without a batch size: every record, loaded at once. With one: the last batches read,
  // held so that walking along a batch does not read it again, and only those.
  std::vector<std::shared_ptr<QBYManagedObject>> all;
  std::deque<std::vector<std::shared_ptr<QBYManagedObject>>> recent;
  std::vector<std::shared_ptr<QBYManagedObject>> keepAlive;
};

struct QBYManagedObjectContext::Impl {
  using Access = QBYManagedObjectAccess;
  using ObjectPtr = std::shared_ptr<QBYManagedObject>;
  using EntityLayout = contextimpl::EntityLayout;
  using WriteOutcome = contextimpl::WriteOutcome;

  QBYManagedObjectContext* owner = nullptr;
  std::shared_ptr<QBYPersistentStore> store;
  QBYConcurrencyType type = QBYConcurrencyType::MainQueue;
  std::shared_ptr<QBYOperationQueue> queue;
  sql::ConnectionPtr db;
  std::optional<QBYError> openError;
  std::unique_ptr<sql::StatementCache> statements;
  std::unordered_map<const EntityDescription*, EntityLayout> layouts;
  using RowTable = QBYRowTable;
  std::unordered_map<const EntityDescription*, RowTable> registry;
  // The table last looked up: a batch asks for the same entity row after row. Reset whenever
  // the registry drops tables.
  mutable const EntityDescription* lastEntity = nullptr;
  mutable RowTable* lastTable = nullptr;
  // Registrations between sweeps of expired row-table entries: at least this many, and at
  // least as many as the records still alive after the last sweep.
  static constexpr std::size_t kMinimumSweepPause = 256;
  std::size_t registrationsSinceSweep = 0;
  std::size_t liveAfterSweep = 0;
  // Records with unsaved changes, held strongly until they are saved or dropped.
  std::unordered_map<QBYManagedObject*, ObjectPtr> pending;
  std::uint64_t nextTemporaryID = 1;
  Statistics stats;
  // Scratch for a row's stored columns, reused from row to row.
  QBYStoredColumns::Builder storedBuilder;
  // Scratch for a row's other columns, as (attribute, value).
  std::vector<std::pair<int, Value>> rowValues;
  // While a query runs over written pending changes: provisional rows of inserted records.
  std::unordered_map<const EntityDescription*, std::unordered_map<std::int64_t, ObjectPtr>>
      provisional;

  bool ready(QBYError* error) {
    if (db) return true;
    setError(error, openError.value_or(QBYError::make(QBYStoreErrorDomain, QBYStoreErrorSQLite,
                                                      "The context has no connection")));
    return false;
  }

  const EntityLayout& layout(const EntityDescription& entity) {
    auto found = layouts.find(&entity);
    if (found != layouts.end()) return found->second;
    return layouts.emplace(&entity, contextimpl::makeLayout(entity)).first->second;
  }

  const EntityDescription* destination(const RelationshipDescription& relationship) const {
    return store->model().entity(relationship.destinationEntity);
  }

  sqlite3_stmt* prepare(const std::string& sql, QBYError* error) {
    if (!ready(error)) return nullptr;
    ++stats.statements;
    return statements->prepare(sql, error);
  }

  static void bindAll(sqlite3_stmt* statement, const std::vector<Value>& arguments, int first = 1) {
    for (std::size_t i = 0; i < arguments.size(); ++i)
      sql::bind(statement, first + static_cast<int>(i), arguments[i]);
  }

  RowTable* rowTable(const EntityDescription* entity) const {
    if (entity == lastEntity && lastTable) return lastTable;
    auto table = registry.find(entity);
    if (table == registry.end()) return nullptr;
    lastEntity = entity;
    lastTable = const_cast<RowTable*>(&table->second);
    return lastTable;
  }

  ObjectPtr registered(const EntityDescription* entity, std::int64_t rowID) const {
    if (rowID == 0) return nullptr;
    RowTable* table = rowTable(entity);
    if (!table) return nullptr;
    auto* found = table->find(rowID);
    return found ? found->lock() : nullptr;
  }

  void registerObject(const ObjectPtr& object);

  void unregister(QBYManagedObject& object);

  // An empty record of the entity, with room for storedBytes of stored columns at
  // *storedMemory (see QBYManagedObject::make).
  ObjectPtr makeObject(const EntityDescription& entity, std::size_t storedBytes = 0,
                       std::byte** storedMemory = nullptr);

  // Reads the columns of the row the statement stands on into storedBuilder and rowValues.
  void readRow(sqlite3_stmt* statement, const EntityLayout& layout);

  // Reads a row (Z_PK first, then the layout's columns) into the record. A fresh record (just
  // made by makeObject after readRow, with room for the stored columns at storedMemory when it
  // has any) is empty already; a record filled again starts from empty.
  void fill(QBYManagedObject& object, sqlite3_stmt* statement, const EntityLayout& layout,
            bool fresh = false, std::byte* storedMemory = nullptr);

  // The record for the row the statement stands on: the one in memory (filled when it is a
  // fault), or a new one.
  ObjectPtr materialize(const EntityLayout& layout, sqlite3_stmt* statement);

  // The record for a row: the one in memory, else read from the file; nullptr when the row
  // is gone.
  ObjectPtr objectForRow(const EntityDescription& entity, std::int64_t rowID);

  void fulfillFault(QBYManagedObject& object);

  // The row is no longer in the file: the record reads as empty and says it is deleted.
  void markGone(QBYManagedObject& object);

  void turnIntoFault(QBYManagedObject& object);

  // Drops what a record learned about others (to-many lists, inverse to-ones); its own fields
  // and keys stay.
  static void dropRelationshipCaches(QBYManagedObject& object);

  static bool keyNames(QBYManagedObject& object, int relationship,
                       const QBYManagedObject& destination) {
    const auto& key = Access::toOnes(object)[static_cast<std::size_t>(relationship)];
    if (auto target = key.object.lock()) return target.get() == &destination;
    const std::int64_t rowID = Access::rowID(const_cast<QBYManagedObject&>(destination));
    return key.rowID != 0 && key.rowID == rowID;
  }

  ObjectPtr inMemoryKeyDestination(QBYManagedObject& object, int relationship);

  ObjectPtr keyDestination(QBYManagedObject& object, int relationship);

  // The records whose key (the inverse of the relationship) names the record: rows of the
  // file as this context sees them, plus unsaved records.
  std::vector<ObjectPtr> pointingTo(QBYManagedObject& object, int relationship);

  void noteChanged(QBYManagedObject& object);

  void setKey(QBYManagedObject& object, int relationship, const ObjectPtr& target);

  void deleteObject(const ObjectPtr& object);

  bool ensureDoomedTable(QBYError* error);

  bool run(sqlite3_stmt* statement, QBYError* error, const char* action);

  // Applies the delete rules to the rows listed in temp.qby_doomed and deletes them, all in
  // SQL: cascades add their destinations to the list until nothing new comes, nullify rules
  // clear the keys that named a doomed row, then every listed row goes.
  bool deleteDoomedRows(WriteOutcome& outcome, QBYError* error);

  Value keyValue(QBYManagedObject& object, int relationship, const WriteOutcome& outcome);

  // Inserts the record after the unsaved records its keys name, so every key can be written
  // with its destination's row id. A cycle of unsaved records is closed afterwards.
  bool insertRecord(QBYManagedObject& object, WriteOutcome& outcome,
                    std::unordered_set<QBYManagedObject*>& visiting,
                    std::vector<std::pair<QBYManagedObject*, int>>& fixups, QBYError* error);

  bool updateRecord(QBYManagedObject& object, WriteOutcome& outcome, QBYError* error);

  // Writes every pending change into the open transaction. Nothing in memory changes here.
  bool writePending(WriteOutcome& outcome, QBYError* error);

  // After a committed batch delete (or the deletions of a save): records of deleted rows are
  // gone, keys that named them are cleared, and lists that held them forget them.
  void applyDeletions(const WriteOutcome& outcome);

  void applySave(const WriteOutcome& outcome);

  struct PreparedQuery {
    const EntityDescription* entity = nullptr;
    std::string from;  // "FROM ... AS t [WHERE ...]"
    std::string order;
    std::string limit;
    std::vector<Value> arguments;
    std::vector<int> prefetch;
  };

  std::optional<PreparedQuery> prepareQuery(const QBYFetchRequest& request, QBYError* error);

  // Loads the destinations of one relationship for a set of records with one statement. The
  // set is given as SQL ("?,?,?" with row ids, or a sub-select) with its arguments.
  void prefetchRelationship(int relationship, const std::vector<ObjectPtr>& records,
                            const std::string& inSQL, const std::vector<Value>& inArguments,
                            const std::string& keySelect, std::vector<ObjectPtr>& keepAlive);

  // Loads the batch of fetched results that holds the position.
  void loadBatch(QBYFetchedResults::State& state, std::size_t position);

  std::optional<QBYFetchedResults> fetch(const QBYFetchRequest& request, QBYError* error);

  std::optional<std::size_t> count(const QBYFetchRequest& request, QBYError* error);

  bool batchDelete(const std::function<bool(QBYError*)>& listRows, QBYError* error);

  void detachAll();
};

}  // namespace qby
