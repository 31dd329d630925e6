#include "store/core/QBYManagedObjectContext.h"

#include <algorithm>
#include <deque>
#include <exception>
#include <future>
#include <unordered_map>
#include <unordered_set>

#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "platform/QBYOperationQueue.h"
#include "store/core/QBYPersistentStore.h"
#include "store/core/QBYRowTable.h"
#include "store/core/QBYSQLite.h"
#include "store/core/QBYStoreInternal.h"

namespace qby {

using Access = QBYManagedObjectAccess;
using ObjectPtr = std::shared_ptr<QBYManagedObject>;

namespace {

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

EntityLayout makeLayout(const EntityDescription& entity) {
  EntityLayout layout;
  layout.entity = &entity;
  layout.table = sql::quoted(entity.name);
  std::string names = "(";
  std::string marks = "(";
  auto add = [&](const std::string& name) {
    if (names.size() > 1) {
      names += ", ";
      marks += ", ";
    }
    names += sql::quoted(name);
    marks += "?";
  };
  for (std::size_t i = 0; i < entity.attributes.size(); ++i) {
    if (entity.attributes[i].transient) continue;
    layout.attributes.push_back(static_cast<int>(i));
    add(entity.attributes[i].name);
  }
  for (std::size_t i = 0; i < entity.relationships.size(); ++i) {
    const auto& relationship = entity.relationships[i];
    if (relationship.toMany || !relationship.ownsForeignKey) continue;
    layout.keys.push_back(static_cast<int>(i));
    add(relationship.name);
  }
  if (names.size() == 1) {
    layout.insertSQL = "INSERT INTO " + layout.table + " DEFAULT VALUES";
  } else {
    layout.insertSQL = "INSERT INTO " + layout.table + " " + names + ") VALUES " + marks + ")";
  }
  layout.selectT = "SELECT " + layout.columns("t") + " FROM " + layout.table + " AS t";
  layout.selectP = "SELECT " + layout.columns("p") + " FROM " + layout.table + " AS p";
  layout.selectByRowSQL = layout.selectT + " WHERE t.Z_PK = ?";
  return layout;
}

std::string placeholders(std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count; ++i) out += i ? ",?" : "?";
  return out;
}

QBYError invalidRequest(const std::string& text) {
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

}  // namespace

// ---------------------------------------------------------------------------------------------

struct QBYFetchedResults::State {
  std::weak_ptr<QBYManagedObjectContext::Impl> context;
  const EntityDescription* entity = nullptr;
  std::vector<std::int64_t> rowIDs;
  // Unsaved records at their positions (they have no row to load).
  std::unordered_map<std::size_t, ObjectPtr> pendingAt;
  std::size_t batchSize = 0;
  std::vector<int> prefetch;
  // Without a batch size: every record, loaded at once. With one: the last batches read,
  // held so that walking along a batch does not read it again, and only those.
  std::vector<ObjectPtr> all;
  std::deque<std::vector<ObjectPtr>> recent;
  std::vector<ObjectPtr> keepAlive;
};

struct QBYManagedObjectContext::Impl {
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
  std::size_t registrationsSinceSweep = 0;
  // Records with unsaved changes, held strongly until they are saved or dropped.
  std::unordered_map<QBYManagedObject*, ObjectPtr> pending;
  std::uint64_t nextTemporaryID = 1;
  Statistics stats;
  // Scratch for a row's stored columns, reused from row to row.
  QBYStoredColumns::Builder storedBuilder;
  // While a query runs over written pending changes: provisional rows of inserted records.
  std::unordered_map<const EntityDescription*, std::unordered_map<std::int64_t, ObjectPtr>>
      provisional;

  // --- Basics --------------------------------------------------------------------------------

  bool ready(QBYError* error) {
    if (db) return true;
    setError(error, openError.value_or(QBYError::make(QBYStoreErrorDomain, QBYStoreErrorSQLite,
                                                      "The context has no connection")));
    return false;
  }

  const EntityLayout& layout(const EntityDescription& entity) {
    auto found = layouts.find(&entity);
    if (found != layouts.end()) return found->second;
    return layouts.emplace(&entity, makeLayout(entity)).first->second;
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

  void registerObject(const ObjectPtr& object) {
    RowTable* existing = rowTable(&object->entity());
    auto& table = existing ? *existing : registry[&object->entity()];
    table[Access::rowID(*object)] = object;
    // Expired entries of records nobody holds any more are swept now and then, so walking a
    // long list leaves no trail behind.
    if (++registrationsSinceSweep >= 4096) {
      registrationsSinceSweep = 0;
      for (auto& [entity, rows] : registry) rows.eraseExpired();
    }
  }

  void unregister(QBYManagedObject& object) {
    RowTable* table = rowTable(&object.entity());
    if (!table) return;
    auto* found = table->find(Access::rowID(object));
    if (found && found->lock().get() == &object) table->erase(Access::rowID(object));
  }

  // An empty record of the entity. Without values: the caller fills them (a row's record
  // builds them in place, column by column).
  ObjectPtr makeObject(const EntityDescription& entity, bool withValues = true) {
    ObjectPtr object = entity.make ? entity.make() : std::make_shared<QBYManagedObject>();
    Access::entity(*object) = &entity;
    Access::context(*object) = owner;
    if (withValues) Access::values(*object).assign(entity.attributes.size(), Value());
    Access::toOnes(*object).assign(entity.relationships.size(), {});
    // Only an entity with a to-many relationship ever fills these; most rows of a list are
    // lines, which have none.
    if (std::any_of(entity.relationships.begin(), entity.relationships.end(),
                    [](const RelationshipDescription& r) { return r.toMany; }))
      Access::toManys(*object).assign(entity.relationships.size(), {});
    return object;
  }

  // Reads a row (Z_PK first, then the layout's columns) into the record. A fresh record (just
  // made by makeObject) is empty already; a record filled again starts from empty.
  void fill(QBYManagedObject& object, sqlite3_stmt* statement, const EntityLayout& layout,
            bool fresh = false) {
    auto& values = Access::rawValues(object);
    auto& toOnes = Access::toOnes(object);
    Access::stored(object).clear();
    if (!fresh) {
      values.assign(layout.entity->attributes.size(), Value());
      toOnes.assign(layout.entity->relationships.size(), {});
      Access::toManys(object).assign(layout.entity->relationships.size(), {});
      Access::changedAttributes(object).clear();
      Access::changedRelationships(object).clear();
    }
    int column = 1;
    if (fresh) {
      // Built in place: most of a list's cost is here, once per row and attribute. Texts and
      // data stay bytes in one block until they are read.
      const auto& attributes = layout.entity->attributes;
      values.resize(attributes.size());
      storedBuilder.clear();
      for (std::size_t a = 0; a < attributes.size(); ++a) {
        const auto& attribute = attributes[a];
        if (attribute.transient) continue;
        // The statement is stepped on this context's queue only (its connection has no
        // mutex of its own), so the column's value may be read directly.
        sqlite3_value* cell = sqlite3_column_value(statement, column++);
        const int kind = sqlite3_value_type(cell);
        if (kind == SQLITE_NULL) continue;
        if (attribute.type == AttributeType::String) {
          const auto* text = reinterpret_cast<const char*>(sqlite3_value_text(cell));
          const int length = sqlite3_value_bytes(cell);
          storedBuilder.addText(
              static_cast<int>(a),
              std::string_view(text ? text : "", static_cast<std::size_t>(length)));
        } else if (attribute.type == AttributeType::Binary) {
          const void* bytes = sqlite3_value_blob(cell);
          const int length = sqlite3_value_bytes(cell);
          storedBuilder.addData(static_cast<int>(a), bytes, static_cast<std::size_t>(length));
        } else {
          values[a] = sql::value(cell, attribute.type);
        }
      }
      Access::stored(object) = storedBuilder.finish();
    } else {
      for (int a : layout.attributes)
        values[static_cast<std::size_t>(a)] =
            sql::column(statement, column++, layout.entity->attributes[a].type);
    }
    for (int k : layout.keys) {
      auto& key = toOnes[static_cast<std::size_t>(k)];
      key.rowID = sql::columnRowID(statement, column++);
      key.loaded = true;
    }
    Access::fault(object) = false;
    Access::gone(object) = false;
    ++stats.rowsLoaded;
  }

  // The record for the row the statement stands on: the one in memory (filled when it is a
  // fault), or a new one.
  ObjectPtr materialize(const EntityLayout& layout, sqlite3_stmt* statement) {
    const std::int64_t rowID = sqlite3_column_int64(statement, 0);
    if (!provisional.empty()) {
      if (auto table = provisional.find(layout.entity); table != provisional.end()) {
        if (auto found = table->second.find(rowID); found != table->second.end())
          return found->second;
      }
    }
    if (auto object = registered(layout.entity, rowID)) {
      if (Access::fault(*object) && !pending.count(object.get())) fill(*object, statement, layout);
      return object;
    }
    ObjectPtr object = makeObject(*layout.entity, false);
    Access::rowID(*object) = rowID;
    fill(*object, statement, layout, true);
    registerObject(object);
    return object;
  }

  // The record for a row: the one in memory, else read from the file; nullptr when the row
  // is gone.
  ObjectPtr objectForRow(const EntityDescription& entity, std::int64_t rowID) {
    if (rowID == 0) return nullptr;
    if (auto object = registered(&entity, rowID)) {
      Access::fire(*object);
      return Access::gone(*object) ? nullptr : object;
    }
    const EntityLayout& entityLayout = layout(entity);
    QBYError error;
    sqlite3_stmt* statement = prepare(entityLayout.selectByRowSQL, &error);
    if (!statement) {
      log("Error reading %@ %lld: %@", entity.name, static_cast<long long>(rowID), error);
      return nullptr;
    }
    sql::StatementReset reset(statement);
    sqlite3_bind_int64(statement, 1, rowID);
    const int rc = sqlite3_step(statement);
    if (rc == SQLITE_ROW) return materialize(entityLayout, statement);
    if (rc != SQLITE_DONE)
      log("Error reading %@ %lld: %@", entity.name, static_cast<long long>(rowID),
          sql::errorFrom(db.get(), rc, "Reading a record failed"));
    return nullptr;
  }

  void fulfillFault(QBYManagedObject& object) {
    ++stats.faultsFired;
    const EntityLayout& entityLayout = layout(object.entity());
    QBYError error;
    sqlite3_stmt* statement = prepare(entityLayout.selectByRowSQL, &error);
    if (!statement) {
      log("Error reading %@: %@", object.objectID().description(), error);
      return;
    }
    sql::StatementReset reset(statement);
    sqlite3_bind_int64(statement, 1, Access::rowID(object));
    const int rc = sqlite3_step(statement);
    if (rc == SQLITE_ROW) {
      fill(object, statement, entityLayout);
    } else if (rc == SQLITE_DONE) {
      markGone(object);
    } else {
      // Left a fault: the next access tries again.
      log("Error reading %@: %@", object.objectID().description(),
          sql::errorFrom(db.get(), rc, "Reading a record failed"));
    }
  }

  // The row is no longer in the file: the record reads as empty and says it is deleted.
  void markGone(QBYManagedObject& object) {
    Access::stored(object).clear();
    Access::values(object).assign(object.entity().attributes.size(), Value());
    Access::toOnes(object).assign(object.entity().relationships.size(), {});
    for (auto& toOne : Access::toOnes(object)) toOne.loaded = true;
    Access::toManys(object).assign(object.entity().relationships.size(), {});
    for (auto& toMany : Access::toManys(object)) toMany.loaded = true;
    Access::changedAttributes(object).clear();
    Access::changedRelationships(object).clear();
    Access::fault(object) = false;
    Access::gone(object) = true;
    pending.erase(&object);
    unregister(object);
  }

  void turnIntoFault(QBYManagedObject& object) {
    if (Access::inserted(object) || Access::gone(object)) return;
    Access::stored(object).clear();
    Access::values(object).assign(object.entity().attributes.size(), Value());
    Access::toOnes(object).assign(object.entity().relationships.size(), {});
    Access::toManys(object).assign(object.entity().relationships.size(), {});
    Access::changedAttributes(object).clear();
    Access::changedRelationships(object).clear();
    Access::fault(object) = true;
    Access::didTurnIntoFault(object);
  }

  // Drops what a record learned about others (to-many lists, inverse to-ones); its own fields
  // and keys stay.
  static void dropRelationshipCaches(QBYManagedObject& object) {
    const auto& relationships = object.entity().relationships;
    auto& toOnes = Access::toOnes(object);
    auto& toManys = Access::toManys(object);
    for (std::size_t i = 0; i < relationships.size() && i < toOnes.size(); ++i) {
      if (relationships[i].toMany) {
        toManys[i] = {};
      } else if (!relationships[i].ownsForeignKey) {
        toOnes[i] = {};
      }
    }
  }

  // --- Relationships --------------------------------------------------------------------------

  static bool keyNames(QBYManagedObject& object, int relationship,
                       const QBYManagedObject& destination) {
    const auto& key = Access::toOnes(object)[static_cast<std::size_t>(relationship)];
    if (auto target = key.object.lock()) return target.get() == &destination;
    const std::int64_t rowID = Access::rowID(const_cast<QBYManagedObject&>(destination));
    return key.rowID != 0 && key.rowID == rowID;
  }

  ObjectPtr inMemoryKeyDestination(QBYManagedObject& object, int relationship) {
    const auto& key = Access::toOnes(object)[static_cast<std::size_t>(relationship)];
    if (auto target = key.object.lock()) return target;
    const auto* entity = destination(object.entity().relationships[relationship]);
    return entity ? registered(entity, key.rowID) : nullptr;
  }

  ObjectPtr keyDestination(QBYManagedObject& object, int relationship) {
    auto& key = Access::toOnes(object)[static_cast<std::size_t>(relationship)];
    if (auto target = key.object.lock()) return target;
    if (key.rowID == 0) return nullptr;
    const auto* entity = destination(object.entity().relationships[relationship]);
    if (!entity) return nullptr;
    ObjectPtr target = objectForRow(*entity, key.rowID);
    if (target) key.object = target;
    return target;
  }

  // The records whose key (the inverse of the relationship) names the record: rows of the
  // file as this context sees them, plus unsaved records.
  std::vector<ObjectPtr> pointingTo(QBYManagedObject& object, int relationship) {
    std::vector<ObjectPtr> found;
    const auto& description = object.entity().relationships[relationship];
    const EntityDescription* entity = destination(description);
    if (!entity) return found;
    const int inverse = entity->relationshipIndex(description.inverseName);
    if (inverse < 0) return found;

    if (Access::rowID(object) != 0 && ready(nullptr)) {
      const EntityLayout& entityLayout = layout(*entity);
      const std::string sqlText = entityLayout.selectT + " WHERE t." +
                                  sql::quoted(entity->relationships[inverse].name) +
                                  " = ? ORDER BY t.Z_PK";
      QBYError error;
      if (sqlite3_stmt* statement = prepare(sqlText, &error)) {
        sql::StatementReset reset(statement);
        sqlite3_bind_int64(statement, 1, Access::rowID(object));
        int rc;
        while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
          ObjectPtr candidate = materialize(entityLayout, statement);
          if (!candidate->isDeleted() && keyNames(*candidate, inverse, object))
            found.push_back(std::move(candidate));
        }
        if (rc != SQLITE_DONE)
          log("Error reading %@ of %@: %@", description.name, object.objectID().description(),
              sql::errorFrom(db.get(), rc, "Reading a relationship failed"));
      } else {
        log("Error reading %@ of %@: %@", description.name, object.objectID().description(), error);
      }
    }
    for (auto& [raw, candidate] : pending) {
      if (&candidate->entity() != entity || candidate->isDeleted()) continue;
      if (!keyNames(*candidate, inverse, object)) continue;
      if (std::find(found.begin(), found.end(), candidate) == found.end())
        found.push_back(candidate);
    }
    return found;
  }

  void noteChanged(QBYManagedObject& object) {
    if (Access::context(object) != owner) return;
    pending.emplace(&object, object.shared_from_this());
  }

  void setKey(QBYManagedObject& object, int relationship, const ObjectPtr& target) {
    Access::fire(object);
    const auto& description = object.entity().relationships[relationship];
    auto& key = Access::toOnes(object)[static_cast<std::size_t>(relationship)];
    if (target ? keyNames(object, relationship, *target)
               : (key.rowID == 0 && key.object.expired())) {
      return;
    }
    ObjectPtr previous = inMemoryKeyDestination(object, relationship);

    key.rowID = target ? Access::rowID(*target) : 0;
    key.object = target;
    key.loaded = true;
    auto& changed = Access::changedRelationships(object);
    if (changed.size() < object.entity().relationships.size())
      changed.resize(object.entity().relationships.size());
    changed[static_cast<std::size_t>(relationship)] = true;
    noteChanged(object);

    const EntityDescription* entity = destination(description);
    if (!entity) return;
    const int inverse = entity->relationshipIndex(description.inverseName);
    if (inverse < 0) return;
    const auto& inverseDescription = entity->relationships[inverse];

    if (previous && previous.get() != target.get()) {
      if (inverseDescription.toMany) {
        auto& list = Access::toManys(*previous)[static_cast<std::size_t>(inverse)];
        if (list.loaded)
          std::erase_if(list.objects, [&](const ObjectPtr& item) { return item.get() == &object; });
      } else if (!inverseDescription.ownsForeignKey) {
        Access::toOnes(*previous)[static_cast<std::size_t>(inverse)] = {0, {}, true};
      }
    }
    if (!target) return;
    ObjectPtr self = object.shared_from_this();
    if (inverseDescription.toMany) {
      auto& list = Access::toManys(*target)[static_cast<std::size_t>(inverse)];
      if (list.loaded &&
          std::find(list.objects.begin(), list.objects.end(), self) == list.objects.end()) {
        list.objects.push_back(self);
      }
    } else if (!inverseDescription.ownsForeignKey) {
      // One to one: whoever pointed at the target before lets go of it.
      ObjectPtr other = Access::toOne(*target, inverse);
      if (other && other != self) setKey(*other, relationship, nullptr);
      Access::toOnes(*target)[static_cast<std::size_t>(inverse)] = {-1, self, true};
    }
  }

  // --- Deleting in memory ---------------------------------------------------------------------

  void deleteObject(const ObjectPtr& object) {
    if (!object || Access::context(*object) != owner || Access::deleted(*object)) return;
    Access::fire(*object);
    if (Access::gone(*object)) return;
    Access::deleted(*object) = true;
    pending.emplace(object.get(), object);

    const auto& relationships = object->entity().relationships;
    for (std::size_t i = 0; i < relationships.size(); ++i) {
      const auto& description = relationships[i];
      const int index = static_cast<int>(i);
      const EntityDescription* entity = destination(description);
      if (!entity) continue;
      const int inverse = entity->relationshipIndex(description.inverseName);
      if (description.toMany || !description.ownsForeignKey) {
        std::vector<ObjectPtr> targets;
        if (description.toMany) {
          targets = Access::toMany(*object, index);
        } else if (auto target = Access::toOne(*object, index)) {
          targets.push_back(target);
        }
        for (auto& target : targets) {
          if (description.deleteRule == DeleteRule::Cascade) {
            deleteObject(target);
          } else if (inverse >= 0 && keyNames(*target, inverse, *object)) {
            setKey(*target, inverse, nullptr);
          }
        }
      } else {
        ObjectPtr target = description.deleteRule == DeleteRule::Cascade
                               ? keyDestination(*object, index)
                               : inMemoryKeyDestination(*object, index);
        if (target && inverse >= 0) {
          const auto& inverseDescription = entity->relationships[inverse];
          if (inverseDescription.toMany) {
            auto& list = Access::toManys(*target)[static_cast<std::size_t>(inverse)];
            std::erase_if(list.objects,
                          [&](const ObjectPtr& item) { return item.get() == object.get(); });
          } else if (!inverseDescription.ownsForeignKey) {
            Access::toOnes(*target)[static_cast<std::size_t>(inverse)] = {0, {}, true};
          }
        }
        if (target && description.deleteRule == DeleteRule::Cascade) deleteObject(target);
      }
    }
    if (Access::inserted(*object)) {
      // Never saved: it simply goes away.
      pending.erase(object.get());
      Access::context(*object) = nullptr;
    }
  }

  // --- Writing --------------------------------------------------------------------------------

  bool ensureDoomedTable(QBYError* error) {
    return sql::exec(db.get(),
                     "CREATE TEMP TABLE IF NOT EXISTS qby_doomed (entity TEXT NOT NULL, id "
                     "INTEGER NOT NULL, PRIMARY KEY (entity, id)) WITHOUT ROWID",
                     error);
  }

  bool run(sqlite3_stmt* statement, QBYError* error, const char* action) {
    const int rc = sqlite3_step(statement);
    if (rc == SQLITE_DONE || rc == SQLITE_ROW) return true;
    setError(error, sql::errorFrom(db.get(), rc, action));
    return false;
  }

  // Applies the delete rules to the rows listed in temp.qby_doomed and deletes them, all in
  // SQL: cascades add their destinations to the list until nothing new comes, nullify rules
  // clear the keys that named a doomed row, then every listed row goes.
  bool deleteDoomedRows(WriteOutcome& outcome, QBYError* error) {
    const auto& entities = store->model().entities();
    for (int round = 0; round < 64; ++round) {
      int added = 0;
      for (const auto& entity : entities) {
        for (const auto& description : entity.relationships) {
          if (description.deleteRule != DeleteRule::Cascade) continue;
          const EntityDescription* target = destination(description);
          if (!target) continue;
          std::string sqlText;
          if (description.toMany || !description.ownsForeignKey) {
            const int inverse = target->relationshipIndex(description.inverseName);
            if (inverse < 0) continue;
            sqlText = "INSERT OR IGNORE INTO temp.qby_doomed SELECT ?1, d.Z_PK FROM " +
                      sql::quoted(target->name) + " AS d WHERE d." +
                      sql::quoted(target->relationships[inverse].name) +
                      " IN (SELECT id FROM temp.qby_doomed WHERE entity = ?2)";
          } else {
            sqlText = "INSERT OR IGNORE INTO temp.qby_doomed SELECT ?1, s." +
                      sql::quoted(description.name) + " FROM " + sql::quoted(entity.name) +
                      " AS s WHERE s." + sql::quoted(description.name) +
                      " IS NOT NULL AND s.Z_PK IN (SELECT id FROM temp.qby_doomed WHERE entity "
                      "= ?2)";
          }
          sqlite3_stmt* statement = prepare(sqlText, error);
          if (!statement) return false;
          sql::StatementReset reset(statement);
          sql::bind(statement, 1, Value(target->name));
          sql::bind(statement, 2, Value(entity.name));
          if (!run(statement, error, "Applying a delete rule failed")) return false;
          added += sqlite3_changes(db.get());
        }
      }
      if (added == 0) break;
    }

    for (const auto& entity : entities) {
      for (const auto& description : entity.relationships) {
        if (description.deleteRule != DeleteRule::Nullify) continue;
        if (!description.toMany && description.ownsForeignKey) continue;  // the key goes too
        const EntityDescription* target = destination(description);
        if (!target) continue;
        const int inverse = target->relationshipIndex(description.inverseName);
        if (inverse < 0) continue;
        const std::string column = sql::quoted(target->relationships[inverse].name);
        const std::string sqlText =
            "UPDATE " + sql::quoted(target->name) + " SET " + column + " = NULL WHERE " + column +
            " IN (SELECT id FROM temp.qby_doomed WHERE entity = ?1) AND Z_PK NOT IN (SELECT id "
            "FROM temp.qby_doomed WHERE entity = ?2) RETURNING Z_PK";
        sqlite3_stmt* statement = prepare(sqlText, error);
        if (!statement) return false;
        sql::StatementReset reset(statement);
        sql::bind(statement, 1, Value(entity.name));
        sql::bind(statement, 2, Value(target->name));
        int rc;
        while ((rc = sqlite3_step(statement)) == SQLITE_ROW)
          outcome.nullified.push_back({target, sqlite3_column_int64(statement, 0), inverse});
        if (rc != SQLITE_DONE) {
          setError(error, sql::errorFrom(db.get(), rc, "Applying a delete rule failed"));
          return false;
        }
      }
    }

    {
      sqlite3_stmt* statement = prepare("SELECT entity, id FROM temp.qby_doomed", error);
      if (!statement) return false;
      sql::StatementReset reset(statement);
      int rc;
      while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
        const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
        if (const EntityDescription* entity = store->model().entity(name ? name : ""))
          outcome.deletedRows.emplace_back(entity, sqlite3_column_int64(statement, 1));
      }
      if (rc != SQLITE_DONE) {
        setError(error, sql::errorFrom(db.get(), rc, "Listing deleted rows failed"));
        return false;
      }
    }
    for (const auto& entity : entities) {
      sqlite3_stmt* statement =
          prepare("DELETE FROM " + sql::quoted(entity.name) +
                      " WHERE Z_PK IN (SELECT id FROM temp.qby_doomed WHERE entity = ?)",
                  error);
      if (!statement) return false;
      sql::StatementReset reset(statement);
      sql::bind(statement, 1, Value(entity.name));
      if (!run(statement, error, "Deleting rows failed")) return false;
    }
    return sql::exec(db.get(), "DELETE FROM temp.qby_doomed", error);
  }

  Value keyValue(QBYManagedObject& object, int relationship, const WriteOutcome& outcome) {
    const auto& key = Access::toOnes(object)[static_cast<std::size_t>(relationship)];
    if (auto target = key.object.lock()) {
      if (target->isDeleted()) return Value();
      if (Access::rowID(*target) != 0) return Value(static_cast<long long>(Access::rowID(*target)));
      if (auto found = outcome.newRowIDs.find(target.get()); found != outcome.newRowIDs.end())
        return Value(static_cast<long long>(found->second));
      return Value();
    }
    if (key.rowID == 0) return Value();
    return Value(static_cast<long long>(key.rowID));
  }

  // Inserts the record after the unsaved records its keys name, so every key can be written
  // with its destination's row id. A cycle of unsaved records is closed afterwards.
  bool insertRecord(QBYManagedObject& object, WriteOutcome& outcome,
                    std::unordered_set<QBYManagedObject*>& visiting,
                    std::vector<std::pair<QBYManagedObject*, int>>& fixups, QBYError* error) {
    if (outcome.newRowIDs.count(&object)) return true;
    visiting.insert(&object);
    const EntityLayout& entityLayout = layout(object.entity());
    for (int k : entityLayout.keys) {
      auto target = Access::toOnes(object)[static_cast<std::size_t>(k)].object.lock();
      if (!target || Access::rowID(*target) != 0 || !Access::inserted(*target) ||
          target->isDeleted() || outcome.newRowIDs.count(target.get())) {
        continue;
      }
      if (visiting.count(target.get())) {
        fixups.emplace_back(&object, k);
        continue;
      }
      if (!insertRecord(*target, outcome, visiting, fixups, error)) return false;
    }
    sqlite3_stmt* statement = prepare(entityLayout.insertSQL, error);
    if (!statement) return false;
    sql::StatementReset reset(statement);
    int index = 1;
    for (int a : entityLayout.attributes)
      sql::bind(statement, index++, Access::values(object)[static_cast<std::size_t>(a)]);
    for (int k : entityLayout.keys) sql::bind(statement, index++, keyValue(object, k, outcome));
    if (!run(statement, error, "Inserting a record failed")) return false;
    outcome.newRowIDs[&object] = sqlite3_last_insert_rowid(db.get());
    visiting.erase(&object);
    return true;
  }

  bool updateRecord(QBYManagedObject& object, WriteOutcome& outcome, QBYError* error) {
    const auto& entity = object.entity();
    const auto& changedAttributes = Access::changedAttributes(object);
    const auto& changedKeys = Access::changedRelationships(object);
    std::string assignments;
    std::vector<Value> arguments;
    for (std::size_t i = 0; i < changedAttributes.size(); ++i) {
      if (!changedAttributes[i] || entity.attributes[i].transient) continue;
      if (!assignments.empty()) assignments += ", ";
      assignments += sql::quoted(entity.attributes[i].name) + " = ?";
      arguments.push_back(Access::values(object)[i]);
    }
    for (std::size_t i = 0; i < changedKeys.size(); ++i) {
      const auto& description = entity.relationships[i];
      if (!changedKeys[i] || description.toMany || !description.ownsForeignKey) continue;
      if (!assignments.empty()) assignments += ", ";
      assignments += sql::quoted(description.name) + " = ?";
      arguments.push_back(keyValue(object, static_cast<int>(i), outcome));
    }
    if (assignments.empty()) return true;
    sqlite3_stmt* statement = prepare(
        "UPDATE " + sql::quoted(entity.name) + " SET " + assignments + " WHERE Z_PK = ?", error);
    if (!statement) return false;
    sql::StatementReset reset(statement);
    bindAll(statement, arguments);
    sqlite3_bind_int64(statement, static_cast<int>(arguments.size()) + 1, Access::rowID(object));
    if (!run(statement, error, "Updating a record failed")) return false;
    if (sqlite3_changes(db.get()) == 0) outcome.vanished.push_back(&object);
    return true;
  }

  // Writes every pending change into the open transaction. Nothing in memory changes here.
  bool writePending(WriteOutcome& outcome, QBYError* error) {
    std::vector<QBYManagedObject*> inserted, updated, deleted;
    for (auto& [raw, object] : pending) {
      if (Access::deleted(*raw)) {
        if (!Access::inserted(*raw) && Access::rowID(*raw) != 0) deleted.push_back(raw);
      } else if (Access::inserted(*raw)) {
        inserted.push_back(raw);
      } else if (raw->isUpdated() && !Access::gone(*raw)) {
        updated.push_back(raw);
      }
    }
    std::sort(inserted.begin(), inserted.end(),
              [](auto* a, auto* b) { return Access::temporaryID(*a) < Access::temporaryID(*b); });
    auto byRow = [](QBYManagedObject* a, QBYManagedObject* b) {
      if (&a->entity() != &b->entity()) return a->entity().name < b->entity().name;
      return Access::rowID(*a) < Access::rowID(*b);
    };
    std::sort(updated.begin(), updated.end(), byRow);
    std::sort(deleted.begin(), deleted.end(), byRow);

    std::unordered_set<QBYManagedObject*> visiting;
    std::vector<std::pair<QBYManagedObject*, int>> fixups;
    for (auto* object : inserted)
      if (!insertRecord(*object, outcome, visiting, fixups, error)) return false;
    for (auto& [object, relationship] : fixups) {
      sqlite3_stmt* statement =
          prepare("UPDATE " + sql::quoted(object->entity().name) + " SET " +
                      sql::quoted(object->entity().relationships[relationship].name) +
                      " = ? WHERE Z_PK = ?",
                  error);
      if (!statement) return false;
      sql::StatementReset reset(statement);
      sql::bind(statement, 1, keyValue(*object, relationship, outcome));
      sqlite3_bind_int64(statement, 2, outcome.newRowIDs[object]);
      if (!run(statement, error, "Linking inserted records failed")) return false;
    }
    for (auto* object : updated)
      if (!updateRecord(*object, outcome, error)) return false;
    if (!deleted.empty()) {
      if (!sql::exec(db.get(), "DELETE FROM temp.qby_doomed", error)) return false;
      sqlite3_stmt* statement =
          prepare("INSERT OR IGNORE INTO temp.qby_doomed (entity, id) VALUES (?, ?)", error);
      if (!statement) return false;
      for (auto* object : deleted) {
        sql::StatementReset reset(statement);
        sql::bind(statement, 1, Value(object->entity().name));
        sqlite3_bind_int64(statement, 2, Access::rowID(*object));
        if (!run(statement, error, "Deleting a record failed")) return false;
      }
      if (!deleteDoomedRows(outcome, error)) return false;
    }
    return true;
  }

  // After a committed batch delete (or the deletions of a save): records of deleted rows are
  // gone, keys that named them are cleared, and lists that held them forget them.
  void applyDeletions(const WriteOutcome& outcome) {
    if (outcome.deletedRows.empty() && outcome.nullified.empty()) return;
    for (const auto& [entity, rowID] : outcome.deletedRows) {
      if (auto object = registered(entity, rowID)) {
        if (Access::deleted(*object)) {
          pending.erase(object.get());
          unregister(*object);
          Access::context(*object) = nullptr;
        } else {
          markGone(*object);
        }
      }
    }
    for (const auto& item : outcome.nullified) {
      auto object = registered(item.entity, item.rowID);
      if (!object || Access::fault(*object)) continue;
      const auto& changed = Access::changedRelationships(*object);
      if (static_cast<std::size_t>(item.relationship) < changed.size() &&
          changed[static_cast<std::size_t>(item.relationship)]) {
        continue;
      }
      Access::toOnes(*object)[static_cast<std::size_t>(item.relationship)] = {0, {}, true};
    }
    for (auto& [entity, rows] : registry) {
      rows.forEach([](std::int64_t, std::weak_ptr<QBYManagedObject>& weak) {
        auto object = weak.lock();
        if (!object) return;
        for (auto& list : Access::toManys(*object))
          std::erase_if(list.objects, [](const ObjectPtr& item) { return item->isDeleted(); });
        auto& toOnes = Access::toOnes(*object);
        const auto& relationships = object->entity().relationships;
        for (std::size_t i = 0; i < toOnes.size(); ++i) {
          if (relationships[i].toMany || relationships[i].ownsForeignKey) continue;
          if (auto target = toOnes[i].object.lock(); target && target->isDeleted())
            toOnes[i] = {0, {}, true};
        }
      });
    }
  }

  void applySave(const WriteOutcome& outcome) {
    std::vector<ObjectPtr> saved;
    for (auto& [raw, object] : pending) {
      if (!Access::deleted(*raw)) saved.push_back(object);
    }
    for (auto& [raw, rowID] : outcome.newRowIDs) {
      Access::rowID(*raw) = rowID;
      Access::inserted(*raw) = false;
    }
    for (auto& object : saved) {
      Access::changedAttributes(*object).clear();
      Access::changedRelationships(*object).clear();
      if (outcome.newRowIDs.count(object.get())) registerObject(object);
    }
    for (auto* raw : outcome.vanished) markGone(*raw);
    applyDeletions(outcome);
    // Deleted records whose rows were already gone are done with as well.
    for (auto& [raw, object] : pending) {
      if (Access::deleted(*raw)) {
        unregister(*raw);
        Access::context(*raw) = nullptr;
      }
    }
    pending.clear();
    // Keys that named then-unsaved records now know their row ids.
    for (auto& object : saved) {
      for (auto& key : Access::toOnes(*object)) {
        if (auto target = key.object.lock(); target && key.rowID >= 0 && key.loaded)
          key.rowID = Access::rowID(*target);
      }
    }
  }

  // --- Fetching -------------------------------------------------------------------------------

  struct PreparedQuery {
    const EntityDescription* entity = nullptr;
    std::string from;  // "FROM ... AS t [WHERE ...]"
    std::string order;
    std::string limit;
    std::vector<Value> arguments;
    std::vector<int> prefetch;
  };

  std::optional<PreparedQuery> prepareQuery(const QBYFetchRequest& request, QBYError* error) {
    PreparedQuery query;
    query.entity = store->model().entity(request.entityName);
    if (!query.entity) {
      setError(error, invalidRequest("No entity named " + request.entityName));
      return std::nullopt;
    }
    std::string predicate = request.predicate;
    query.arguments = request.arguments;
    sql::expandArrayArguments(predicate, query.arguments);
    query.from = "FROM " + sql::quoted(query.entity->name) + " AS t";
    if (!predicate.empty()) query.from += " WHERE (" + predicate + ")";
    query.order = " ORDER BY ";
    for (const auto& sort : request.sortDescriptors) {
      const int index = query.entity->attributeIndex(sort.key);
      if (index < 0 || query.entity->attributes[index].transient) {
        setError(error, invalidRequest("No stored attribute " + sort.key + " in " +
                                       query.entity->name + " to sort by"));
        return std::nullopt;
      }
      query.order += "t." + sql::quoted(sort.key);
      if (sort.localizedStandard) query.order += " COLLATE QBYLOCALIZED";
      query.order += sort.ascending ? " ASC, " : " DESC, ";
    }
    // Ties keep the order rows were inserted in, the same in every batch.
    query.order += "t.Z_PK";
    if (request.fetchLimit > 0) query.limit = " LIMIT " + std::to_string(request.fetchLimit);
    for (const auto& path : request.relationshipKeyPathsForPrefetching) {
      const int index = query.entity->relationshipIndex(path);
      if (index < 0) {
        setError(error, invalidRequest("No relationship " + path + " in " + query.entity->name +
                                       " to prefetch"));
        return std::nullopt;
      }
      query.prefetch.push_back(index);
    }
    return query;
  }

  // Loads the destinations of one relationship for a set of records with one statement. The
  // set is given as SQL ("?,?,?" with row ids, or a sub-select) with its arguments.
  void prefetchRelationship(int relationship, const std::vector<ObjectPtr>& records,
                            const std::string& inSQL, const std::vector<Value>& inArguments,
                            const std::string& keySelect, std::vector<ObjectPtr>& keepAlive) {
    if (records.empty()) return;
    const EntityDescription& entity = records.front()->entity();
    const auto& description = entity.relationships[relationship];
    const EntityDescription* target = destination(description);
    if (!target) return;
    const EntityLayout& targetLayout = layout(*target);
    QBYError error;

    if (!description.toMany && description.ownsForeignKey) {
      // To-one with the key here: the destinations by row id.
      const std::string sqlText = targetLayout.selectP + " WHERE p.Z_PK IN (" + keySelect + ")";
      sqlite3_stmt* statement = prepare(sqlText, &error);
      if (!statement) {
        log("Error prefetching %@: %@", description.name, error);
        return;
      }
      sql::StatementReset reset(statement);
      bindAll(statement, inArguments);
      int rc;
      while ((rc = sqlite3_step(statement)) == SQLITE_ROW)
        keepAlive.push_back(materialize(targetLayout, statement));
      if (rc != SQLITE_DONE)
        log("Error prefetching %@: %@", description.name,
            sql::errorFrom(db.get(), rc, "Prefetching failed"));
      return;
    }

    const int inverse = target->relationshipIndex(description.inverseName);
    if (inverse < 0) return;
    // The records by row id (sorted, for a binary search) and their lists by position.
    std::vector<std::pair<std::int64_t, std::size_t>> byRow;
    byRow.reserve(records.size());
    for (std::size_t i = 0; i < records.size(); ++i)
      if (Access::rowID(*records[i]) != 0) byRow.emplace_back(Access::rowID(*records[i]), i);
    std::sort(byRow.begin(), byRow.end());
    std::vector<std::vector<ObjectPtr>> found(records.size());
    const auto positionOf = [&](const QBYManagedObject* record) -> std::optional<std::size_t> {
      const std::int64_t rowID = Access::rowID(*const_cast<QBYManagedObject*>(record));
      if (rowID != 0) {
        auto at =
            std::lower_bound(byRow.begin(), byRow.end(), std::make_pair(rowID, std::size_t(0)));
        if (at != byRow.end() && at->first == rowID && records[at->second].get() == record)
          return at->second;
        return std::nullopt;
      }
      for (std::size_t i = 0; i < records.size(); ++i)
        if (records[i].get() == record) return i;
      return std::nullopt;
    };
    // Each record's list in row order, as a fault of the relationship reads it. Ordered by
    // the key first, the rows come straight out of the key's index instead of through a sort.
    const std::string key = "p." + sql::quoted(target->relationships[inverse].name);
    const std::string sqlText =
        targetLayout.selectP + " WHERE " + key + " IN (" + inSQL + ") ORDER BY " + key + ", p.Z_PK";
    sqlite3_stmt* statement = prepare(sqlText, &error);
    if (!statement) {
      log("Error prefetching %@: %@", description.name, error);
      return;
    }
    {
      sql::StatementReset reset(statement);
      bindAll(statement, inArguments);
      int rc;
      while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
        ObjectPtr item = materialize(targetLayout, statement);
        if (item->isDeleted()) continue;
        const auto& key = Access::toOnes(*item)[static_cast<std::size_t>(inverse)];
        std::optional<std::size_t> parent;
        if (auto object = key.object.lock()) {
          parent = positionOf(object.get());
        } else if (key.rowID != 0) {
          auto at = std::lower_bound(byRow.begin(), byRow.end(),
                                     std::make_pair(key.rowID, std::size_t(0)));
          if (at != byRow.end() && at->first == key.rowID) parent = at->second;
        }
        if (parent) found[*parent].push_back(std::move(item));
      }
      if (rc != SQLITE_DONE) {
        log("Error prefetching %@: %@", description.name,
            sql::errorFrom(db.get(), rc, "Prefetching failed"));
        return;
      }
    }
    for (auto& [raw, item] : pending) {
      if (&item->entity() != target || item->isDeleted()) continue;
      for (std::size_t i = 0; i < records.size(); ++i) {
        auto& list = found[i];
        if (keyNames(*item, inverse, *records[i]) &&
            std::find(list.begin(), list.end(), item) == list.end()) {
          list.push_back(item);
        }
      }
    }
    for (std::size_t i = 0; i < records.size(); ++i) {
      const auto& record = records[i];
      auto& list = found[i];
      if (description.toMany) {
        auto& cache = Access::toManys(*record)[static_cast<std::size_t>(relationship)];
        if (!cache.loaded) cache = {true, std::move(list)};
      } else {
        auto& cache = Access::toOnes(*record)[static_cast<std::size_t>(relationship)];
        if (!cache.loaded) {
          cache = {list.empty() ? 0 : -1,
                   list.empty() ? std::weak_ptr<QBYManagedObject>() : list.front(), true};
        }
        if (!list.empty()) keepAlive.push_back(list.front());
      }
    }
  }

  // Loads the batch of fetched results that holds the position.
  void loadBatch(QBYFetchedResults::State& state, std::size_t position) {
    const std::size_t first = position / state.batchSize * state.batchSize;
    const std::size_t last = std::min(first + state.batchSize, state.rowIDs.size());
    std::vector<Value> ids;
    ids.reserve(last - first);
    for (std::size_t i = first; i < last; ++i)
      if (state.rowIDs[i] != 0) ids.push_back(Value(static_cast<long long>(state.rowIDs[i])));
    std::vector<ObjectPtr> batch;
    batch.reserve(ids.size() + 8);
    ++stats.batchLoads;
    if (!ids.empty()) {
      const EntityLayout& entityLayout = layout(*state.entity);
      QBYError error;
      sqlite3_stmt* statement = prepare(entityLayout.selectByRows(ids.size()), &error);
      if (!statement) {
        log("Error loading a batch of %@: %@", state.entity->name, error);
        return;
      }
      sql::StatementReset reset(statement);
      bindAll(statement, ids);
      int rc;
      while ((rc = sqlite3_step(statement)) == SQLITE_ROW)
        batch.push_back(materialize(entityLayout, statement));
      if (rc != SQLITE_DONE)
        log("Error loading a batch of %@: %@", state.entity->name,
            sql::errorFrom(db.get(), rc, "Loading a batch failed"));
    }
    for (std::size_t i = first; i < last; ++i) {
      if (auto found = state.pendingAt.find(i); found != state.pendingAt.end())
        batch.push_back(found->second);
    }
    // Rows deleted since the ids were read: their records (if any) are gone.
    for (std::size_t i = first; i < last; ++i) {
      if (state.rowIDs[i] == 0) continue;
      if (auto object = registered(state.entity, state.rowIDs[i]);
          object && Access::fault(*object) && !pending.count(object.get())) {
        markGone(*object);
      }
    }
    std::vector<ObjectPtr> keepAlive;
    for (int relationship : state.prefetch) {
      std::string keySelect;
      std::vector<Value> keys;
      const auto& description = state.entity->relationships[relationship];
      if (!description.toMany && description.ownsForeignKey) {
        std::unordered_set<std::int64_t> seen;
        const EntityDescription* target = destination(description);
        for (const auto& record : batch) {
          const auto& key = Access::toOnes(*record)[static_cast<std::size_t>(relationship)];
          if (key.rowID == 0 || !target || !seen.insert(key.rowID).second) continue;
          ObjectPtr inMemory = key.object.lock();
          if (!inMemory) inMemory = registered(target, key.rowID);
          if (inMemory && !Access::fault(*inMemory)) {
            keepAlive.push_back(std::move(inMemory));
          } else {
            keys.push_back(Value(static_cast<long long>(key.rowID)));
          }
        }
        if (keys.empty()) continue;
        keySelect = placeholders(keys.size());
      }
      prefetchRelationship(relationship, batch, placeholders(ids.size()),
                           keySelect.empty() ? ids : keys, keySelect, keepAlive);
    }
    batch.insert(batch.end(), keepAlive.begin(), keepAlive.end());
    state.recent.push_back(std::move(batch));
    while (state.recent.size() > 2) state.recent.pop_front();
  }

  std::optional<QBYFetchedResults> fetch(const QBYFetchRequest& request, QBYError* error) {
    if (!ready(error)) return std::nullopt;
    auto query = prepareQuery(request, error);
    if (!query) return std::nullopt;

    // With unsaved changes the query runs over them: they are written inside a transaction
    // that is rolled back once the rows are read.
    sql::WriteTransaction transaction(db.get());
    WriteOutcome outcome;
    const bool overPending = request.includesPendingChanges && !pending.empty();
    if (overPending) {
      QBYError writeError;
      if (!transaction.begin(error)) return std::nullopt;
      if (!writePending(outcome, &writeError)) {
        log("Error including unsaved changes in a fetch of %@: %@", query->entity->name,
            writeError);
        transaction.rollback();
      } else {
        for (auto& [raw, rowID] : outcome.newRowIDs)
          provisional[&raw->entity()][rowID] = pending.at(raw);
      }
    }
    struct ClearProvisional {
      Impl& impl;
      ~ClearProvisional() { impl.provisional.clear(); }
    } clearProvisional{*this};

    auto state = std::make_shared<QBYFetchedResults::State>();
    state->entity = query->entity;
    state->batchSize = request.fetchBatchSize;
    state->prefetch = query->prefetch;
    const EntityLayout& entityLayout = layout(*query->entity);

    const bool batched = request.fetchBatchSize > 0;
    const std::string columns = batched ? "t.Z_PK" : entityLayout.columns("t");
    sqlite3_stmt* statement =
        prepare("SELECT " + columns + " " + query->from + query->order + query->limit, error);
    if (!statement) return std::nullopt;
    {
      sql::StatementReset reset(statement);
      bindAll(statement, query->arguments);
      int rc;
      while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
        const std::int64_t rowID = sqlite3_column_int64(statement, 0);
        ObjectPtr inserted;
        if (auto table = provisional.find(query->entity); table != provisional.end()) {
          if (auto found = table->second.find(rowID); found != table->second.end())
            inserted = found->second;
        }
        if (batched) {
          if (inserted) state->pendingAt[state->rowIDs.size()] = inserted;
          state->rowIDs.push_back(inserted ? 0 : rowID);
        } else {
          ObjectPtr object = inserted ? inserted : materialize(entityLayout, statement);
          state->rowIDs.push_back(inserted ? 0 : rowID);
          state->all.push_back(std::move(object));
        }
      }
      if (rc != SQLITE_DONE) {
        setError(error, sql::errorFrom(db.get(), rc, "Fetching failed"));
        return std::nullopt;
      }
    }
    if (!batched && !state->all.empty()) {
      // One statement per relationship for every record: the destinations of the rows the
      // same query selects.
      const std::string subSelect = "SELECT t.Z_PK " + query->from + query->order + query->limit;
      for (int relationship : query->prefetch) {
        const auto& description = query->entity->relationships[relationship];
        const std::string keySelect = "SELECT t." + sql::quoted(description.name) + " " +
                                      query->from + query->order + query->limit;
        prefetchRelationship(relationship, state->all, subSelect, query->arguments, keySelect,
                             state->keepAlive);
      }
    }
    QBYFetchedResults results;
    state->context = owner->impl_;
    results.state_ = std::move(state);
    return results;
  }

  std::optional<std::size_t> count(const QBYFetchRequest& request, QBYError* error) {
    if (!ready(error)) return std::nullopt;
    auto query = prepareQuery(request, error);
    if (!query) return std::nullopt;
    sql::WriteTransaction transaction(db.get());
    if (request.includesPendingChanges && !pending.empty()) {
      WriteOutcome outcome;
      QBYError writeError;
      if (!transaction.begin(error)) return std::nullopt;
      if (!writePending(outcome, &writeError)) {
        log("Error including unsaved changes in a count of %@: %@", query->entity->name,
            writeError);
        transaction.rollback();
      }
    }
    sqlite3_stmt* statement =
        prepare("SELECT count(*) FROM (SELECT t.Z_PK " + query->from + query->limit + ")", error);
    if (!statement) return std::nullopt;
    sql::StatementReset reset(statement);
    bindAll(statement, query->arguments);
    const int rc = sqlite3_step(statement);
    if (rc != SQLITE_ROW) {
      setError(error, sql::errorFrom(db.get(), rc, "Counting failed"));
      return std::nullopt;
    }
    return static_cast<std::size_t>(sqlite3_column_int64(statement, 0));
  }

  bool batchDelete(const std::function<bool(QBYError*)>& listRows, QBYError* error) {
    if (!ready(error)) return false;
    if (store->isInvalidated()) {
      setError(error, QBYError::make(QBYStoreErrorDomain, QBYStoreErrorDestroyed,
                                     "The store was destroyed"));
      return false;
    }
    sql::WriteTransaction transaction(db.get());
    WriteOutcome outcome;
    if (!transaction.begin(error) || !sql::exec(db.get(), "DELETE FROM temp.qby_doomed", error) ||
        !listRows(error) || !deleteDoomedRows(outcome, error) || !transaction.commit(error)) {
      return false;
    }
    applyDeletions(outcome);
    return true;
  }

  void detachAll() {
    for (auto& [entity, rows] : registry) {
      rows.forEach([](std::int64_t, std::weak_ptr<QBYManagedObject>& weak) {
        if (auto object = weak.lock()) Access::context(*object) = nullptr;
      });
    }
    for (auto& [raw, object] : pending) Access::context(*raw) = nullptr;
    registry.clear();
    lastEntity = nullptr;
    lastTable = nullptr;
    pending.clear();
  }
};

// --- QBYManagedObjectAccess (the record side) ----------------------------------------------------

void QBYManagedObjectAccess::fulfillFault(QBYManagedObject& o) {
  if (auto* impl = o.context_ ? o.context_->impl_.get() : nullptr) impl->fulfillFault(o);
}

void QBYManagedObjectAccess::noteChanged(QBYManagedObject& o) {
  if (auto* impl = o.context_ ? o.context_->impl_.get() : nullptr) impl->noteChanged(o);
}

std::shared_ptr<QBYManagedObject> QBYManagedObjectAccess::keyDestination(QBYManagedObject& o,
                                                                         int relationship) {
  if (auto* impl = o.context_ ? o.context_->impl_.get() : nullptr)
    return impl->keyDestination(o, relationship);
  return o.toOnes_[static_cast<std::size_t>(relationship)].object.lock();
}

std::vector<std::shared_ptr<QBYManagedObject>> QBYManagedObjectAccess::pointingTo(
    QBYManagedObject& o, int relationship) {
  if (auto* impl = o.context_ ? o.context_->impl_.get() : nullptr)
    return impl->pointingTo(o, relationship);
  return {};
}

void QBYManagedObjectAccess::setKey(QBYManagedObject& o, int relationship,
                                    const std::shared_ptr<QBYManagedObject>& destination) {
  if (auto* impl = o.context_ ? o.context_->impl_.get() : nullptr) {
    impl->setKey(o, relationship, destination);
    return;
  }
  auto& key = o.toOnes_[static_cast<std::size_t>(relationship)];
  key.rowID = destination ? destination->rowID_ : 0;
  key.object = destination;
  key.loaded = true;
}

bool QBYManagedObjectAccess::keyNames(QBYManagedObject& o, int relationship,
                                      const QBYManagedObject& destination) {
  return QBYManagedObjectContext::Impl::keyNames(o, relationship, destination);
}

void QBYManagedObjectAccess::turnIntoFault(QBYManagedObject& o) {
  if (auto* impl = o.context_ ? o.context_->impl_.get() : nullptr) impl->turnIntoFault(o);
}

// --- QBYFetchedResults -------------------------------------------------------------------------

std::size_t QBYFetchedResults::size() const {
  return state_ ? state_->rowIDs.size() : 0;
}

std::shared_ptr<QBYManagedObject> QBYFetchedResults::at(std::size_t index) const {
  if (!state_ || index >= state_->rowIDs.size()) return nullptr;
  if (state_->batchSize == 0) {
    const ObjectPtr& object = state_->all[index];
    return object && !Access::gone(*object) ? object : nullptr;
  }
  if (auto found = state_->pendingAt.find(index); found != state_->pendingAt.end())
    return found->second;
  auto impl = state_->context.lock();
  if (!impl) return nullptr;
  const std::int64_t rowID = state_->rowIDs[index];
  auto object = impl->registered(state_->entity, rowID);
  if (!object || Access::fault(*object)) {
    impl->loadBatch(*state_, index);
    object = impl->registered(state_->entity, rowID);
  }
  if (!object || Access::gone(*object)) return nullptr;
  return object;
}

std::vector<std::shared_ptr<QBYManagedObject>> QBYFetchedResults::all() const {
  std::vector<ObjectPtr> out;
  if (!state_) return out;
  out.reserve(state_->rowIDs.size());
  for (std::size_t i = 0; i < state_->rowIDs.size(); ++i)
    if (auto object = at(i)) out.push_back(std::move(object));
  return out;
}

// --- QBYManagedObjectContext -------------------------------------------------------------------

namespace {

std::shared_ptr<QBYManagedObjectContext::Impl> makeImpl(QBYManagedObjectContext* owner,
                                                        std::shared_ptr<QBYPersistentStore> store,
                                                        QBYConcurrencyType type,
                                                        std::shared_ptr<QBYOperationQueue> queue) {
  auto impl = std::make_shared<QBYManagedObjectContext::Impl>();
  impl->owner = owner;
  impl->store = std::move(store);
  impl->type = type;
  impl->queue = std::move(queue);
  QBYError error;
  if (!impl->store) {
    impl->openError =
        QBYError::make(QBYStoreErrorDomain, QBYStoreErrorSQLite, "The context has no store");
  } else if (sqlite3* db =
                 impl->store->openConnection(&error, QBYPersistentStore::ConnectionUse::OneQueue)) {
    // The connection is private to the context, and the context is only ever used on its own
    // queue (see the header), so SQLite need not lock it for every call.
    impl->db.reset(db);
    impl->statements = std::make_unique<sql::StatementCache>(db);
    if (!impl->ensureDoomedTable(&error)) {
      impl->openError = error;
      impl->statements.reset();
      impl->db.reset();
    }
  } else {
    impl->openError = error;
  }
  if (impl->openError) log("Error opening a context on the store: %@", *impl->openError);
  return impl;
}

}  // namespace

QBYManagedObjectContext::QBYManagedObjectContext(std::shared_ptr<QBYPersistentStore> store,
                                                 QBYConcurrencyType type)
    : impl_(makeImpl(this, std::move(store), type,
                     type == QBYConcurrencyType::PrivateQueue
                         ? std::make_shared<QBYOperationQueue>("QBYManagedObjectContext")
                         : nullptr)) {}

QBYManagedObjectContext::QBYManagedObjectContext(std::shared_ptr<QBYPersistentStore> store,
                                                 std::shared_ptr<QBYOperationQueue> queue)
    : impl_(makeImpl(this, std::move(store), QBYConcurrencyType::PrivateQueue,
                     queue ? std::move(queue)
                           : std::make_shared<QBYOperationQueue>("QBYManagedObjectContext"))) {}

QBYManagedObjectContext::~QBYManagedObjectContext() {
  // Blocks still queued or running use the context: let the running one finish first. A
  // shared queue is not ours to drain beyond that.
  if (impl_->queue && impl_->queue.use_count() == 1 && !impl_->queue->isCurrent()) {
    impl_->queue->cancelAllOperations();
    impl_->queue->waitUntilAllOperationsAreFinished(60);
  }
  impl_->detachAll();
  impl_->statements.reset();
  impl_->db.reset();
  impl_->owner = nullptr;
}

QBYConcurrencyType QBYManagedObjectContext::concurrencyType() const {
  return impl_->type;
}

const QBYManagedObjectModel& QBYManagedObjectContext::model() const {
  return impl_->store->model();
}

const std::shared_ptr<QBYPersistentStore>& QBYManagedObjectContext::persistentStore() const {
  return impl_->store;
}

void QBYManagedObjectContext::perform(std::function<void()> block) {
  if (!block) return;
  if (impl_->type == QBYConcurrencyType::MainQueue) {
    MainQueue::async(std::move(block));
  } else {
    impl_->queue->addOperation(std::move(block));
  }
}

void QBYManagedObjectContext::performAndWait(const std::function<void()>& block) {
  if (!block) return;
  const bool onQueue = impl_->type == QBYConcurrencyType::MainQueue ? MainQueue::isMainThread()
                                                                    : impl_->queue->isCurrent();
  if (onQueue) {
    block();
    return;
  }
  auto done = std::make_shared<std::promise<void>>();
  auto finished = done->get_future();
  auto work = [done, &block] {
    try {
      block();
      done->set_value();
    } catch (...) {
      done->set_exception(std::current_exception());
    }
  };
  if (impl_->type == QBYConcurrencyType::MainQueue) {
    MainQueue::async(work);
  } else {
    impl_->queue->addOperation(work);
  }
  finished.get();
}

std::shared_ptr<QBYManagedObject> QBYManagedObjectContext::insertNewObject(
    std::string_view entityName) {
  const EntityDescription* entity =
      impl_->store ? impl_->store->model().entity(entityName) : nullptr;
  if (!entity) {
    log("Cannot insert a record of unknown entity %@", entityName);
    return nullptr;
  }
  ObjectPtr object = impl_->makeObject(*entity);
  Access::temporaryID(*object) = impl_->nextTemporaryID++;
  Access::inserted(*object) = true;
  auto& values = Access::values(*object);
  for (std::size_t i = 0; i < entity->attributes.size(); ++i)
    values[i] = entity->attributes[i].defaultValue;
  // Nothing in the file can point at a record that is not there yet.
  for (auto& toOne : Access::toOnes(*object)) toOne.loaded = true;
  for (auto& toMany : Access::toManys(*object)) toMany.loaded = true;
  impl_->pending.emplace(object.get(), object);
  Access::awakeFromInsert(*object);
  return object;
}

void QBYManagedObjectContext::deleteObject(const std::shared_ptr<QBYManagedObject>& object) {
  impl_->deleteObject(object);
}

std::optional<QBYFetchedResults> QBYManagedObjectContext::executeFetchRequest(
    const QBYFetchRequest& request, QBYError* error) {
  return impl_->fetch(request, error);
}

std::optional<std::size_t> QBYManagedObjectContext::countForFetchRequest(
    const QBYFetchRequest& request, QBYError* error) {
  return impl_->count(request, error);
}

std::shared_ptr<QBYManagedObject> QBYManagedObjectContext::existingObjectWithID(
    const QBYManagedObjectID& id, QBYError* error) {
  if (!id.entity) {
    setError(error, invalidRequest("An object identity without entity"));
    return nullptr;
  }
  if (id.isTemporary()) {
    for (auto& [raw, object] : impl_->pending)
      if (&raw->entity() == id.entity && Access::temporaryID(*raw) == id.temporaryID &&
          Access::rowID(*raw) == 0) {
        return object;
      }
    setError(error, invalidRequest("No unsaved record " + id.description()));
    return nullptr;
  }
  if (!impl_->ready(error)) return nullptr;
  auto object = impl_->objectForRow(*id.entity, id.rowID);
  if (!object)
    setError(error, QBYError::make(QBYStoreErrorDomain, QBYStoreErrorInvalidRequest,
                                   "No record " + id.description()));
  return object;
}

bool QBYManagedObjectContext::hasChanges() const {
  for (auto& [raw, object] : impl_->pending)
    if (raw->hasChanges()) return true;
  return false;
}

bool QBYManagedObjectContext::save(QBYError* error) {
  if (!hasChanges()) {
    impl_->pending.clear();
    return true;
  }
  if (!impl_->ready(error)) return false;
  if (impl_->store->isInvalidated()) {
    setError(error, QBYError::make(QBYStoreErrorDomain, QBYStoreErrorDestroyed,
                                   "The store was destroyed"));
    return false;
  }
  sql::WriteTransaction transaction(impl_->db.get());
  WriteOutcome outcome;
  if (!transaction.begin(error) || !impl_->writePending(outcome, error) ||
      !transaction.commit(error)) {
    return false;
  }
  impl_->applySave(outcome);
  return true;
}

void QBYManagedObjectContext::reset() {
  impl_->detachAll();
}

void QBYManagedObjectContext::refreshAllObjects() {
  for (auto& [entity, rows] : impl_->registry) {
    rows.forEach([this](std::int64_t, std::weak_ptr<QBYManagedObject>& weak) {
      auto object = weak.lock();
      if (!object) return;
      if (impl_->pending.count(object.get())) {
        Impl::dropRelationshipCaches(*object);
      } else {
        impl_->turnIntoFault(*object);
      }
    });
  }
  for (auto& [raw, object] : impl_->pending) Impl::dropRelationshipCaches(*raw);
}

void QBYManagedObjectContext::refreshObject(const std::shared_ptr<QBYManagedObject>& object,
                                            bool mergeChanges) {
  if (!object || Access::context(*object) != this) return;
  const bool changed = impl_->pending.count(object.get()) > 0;
  if (changed && Access::inserted(*object)) return;
  if (changed && !mergeChanges) {
    impl_->pending.erase(object.get());
    Access::deleted(*object) = false;
    impl_->turnIntoFault(*object);
  } else if (changed) {
    Impl::dropRelationshipCaches(*object);
  } else {
    impl_->turnIntoFault(*object);
  }
}

bool QBYManagedObjectContext::batchDelete(const std::string& entityName,
                                          const std::string& predicate,
                                          const std::vector<Value>& arguments, QBYError* error) {
  const EntityDescription* entity =
      impl_->store ? impl_->store->model().entity(entityName) : nullptr;
  if (!entity) {
    setError(error, invalidRequest("No entity named " + entityName));
    return false;
  }
  return impl_->batchDelete(
      [&](QBYError* listError) {
        std::string where = predicate;
        std::vector<Value> values = arguments;
        sql::expandArrayArguments(where, values);
        std::string sqlText = "INSERT OR IGNORE INTO temp.qby_doomed SELECT ?, t.Z_PK FROM " +
                              sql::quoted(entity->name) + " AS t";
        if (!where.empty()) sqlText += " WHERE (" + where + ")";
        sqlite3_stmt* statement = impl_->prepare(sqlText, listError);
        if (!statement) return false;
        sql::StatementReset reset(statement);
        sql::bind(statement, 1, Value(entity->name));
        Impl::bindAll(statement, values, 2);
        return impl_->run(statement, listError, "Listing rows to delete failed");
      },
      error);
}

bool QBYManagedObjectContext::batchDeleteObjectIDs(const std::vector<QBYManagedObjectID>& ids,
                                                   QBYError* error) {
  return impl_->batchDelete(
      [&](QBYError* listError) {
        sqlite3_stmt* statement = impl_->prepare(
            "INSERT OR IGNORE INTO temp.qby_doomed (entity, id) VALUES (?, ?)", listError);
        if (!statement) return false;
        for (const auto& id : ids) {
          if (!id.entity || id.isTemporary()) continue;
          sql::StatementReset reset(statement);
          sql::bind(statement, 1, Value(id.entity->name));
          sqlite3_bind_int64(statement, 2, id.rowID);
          if (!impl_->run(statement, listError, "Listing rows to delete failed")) return false;
        }
        return true;
      },
      error);
}

QBYManagedObjectContext::Statistics QBYManagedObjectContext::statistics() const {
  return impl_->stats;
}

void QBYManagedObjectContext::resetStatistics() {
  impl_->stats = {};
}

}  // namespace qby
