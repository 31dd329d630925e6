#include <algorithm>
#include <unordered_set>

#include "platform/Log.h"
#include "store/core/QBYManagedObjectContextInternal.h"

namespace qby {

using Access = QBYManagedObjectAccess;
using ObjectPtr = std::shared_ptr<QBYManagedObject>;
using contextimpl::EntityLayout;
using contextimpl::WriteOutcome;

using contextimpl::invalidRequest;

// --- Writing pending changes and deleting rows --------------------------------------------------

bool QBYManagedObjectContext::Impl::ensureDoomedTable(QBYError* error) {
  return sql::exec(db.get(),
                   "CREATE TEMP TABLE IF NOT EXISTS qby_doomed (entity TEXT NOT NULL, id "
                   "INTEGER NOT NULL, PRIMARY KEY (entity, id)) WITHOUT ROWID",
                   error);
}

bool QBYManagedObjectContext::Impl::run(sqlite3_stmt* statement, QBYError* error,
                                        const char* action) {
  const int rc = sqlite3_step(statement);
  if (rc == SQLITE_DONE || rc == SQLITE_ROW) return true;
  setError(error, sql::errorFrom(db.get(), rc, action));
  return false;
}

// Applies the delete rules to the rows listed in temp.qby_doomed and deletes them, all in
// SQL: cascades add their destinations to the list until nothing new comes, nullify rules
// clear the keys that named a doomed row, then every listed row goes.
bool QBYManagedObjectContext::Impl::deleteDoomedRows(WriteOutcome& outcome, QBYError* error) {
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

Value QBYManagedObjectContext::Impl::keyValue(QBYManagedObject& object, int relationship,
                                              const WriteOutcome& outcome) {
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
bool QBYManagedObjectContext::Impl::insertRecord(
    QBYManagedObject& object, WriteOutcome& outcome,
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

bool QBYManagedObjectContext::Impl::updateRecord(QBYManagedObject& object, WriteOutcome& outcome,
                                                 QBYError* error) {
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
bool QBYManagedObjectContext::Impl::writePending(WriteOutcome& outcome, QBYError* error) {
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
    sqlite3_stmt* statement = prepare(
        "UPDATE " + sql::quoted(object->entity().name) + " SET " +
            sql::quoted(object->entity().relationships[relationship].name) + " = ? WHERE Z_PK = ?",
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
void QBYManagedObjectContext::Impl::applyDeletions(const WriteOutcome& outcome) {
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

void QBYManagedObjectContext::Impl::applySave(const WriteOutcome& outcome) {
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

bool QBYManagedObjectContext::Impl::batchDelete(const std::function<bool(QBYError*)>& listRows,
                                                QBYError* error) {
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

// --- The context's save operations --------------------------------------------------------------

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

}  // namespace qby
