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
using contextimpl::placeholders;

// --- Reading rows into records ------------------------------------------------------------------

// Reads the columns of the row the statement stands on into the scratch: texts and data as
// bytes for the stored block, everything else as values. Most of a list's cost is here, once
// per row and attribute.
void QBYManagedObjectContext::Impl::readRow(sqlite3_stmt* statement, const EntityLayout& layout) {
  const auto& attributes = layout.entity->attributes;
  storedBuilder.clear();
  rowValues.clear();
  int column = 1;
  for (int a : layout.attributes) {
    const auto& attribute = attributes[static_cast<std::size_t>(a)];
    // The statement is stepped on this context's queue only (its connection has no mutex of
    // its own), so the column's value may be read directly.
    sqlite3_value* cell = sqlite3_column_value(statement, column++);
    const int kind = sqlite3_value_type(cell);
    if (kind == SQLITE_NULL) continue;
    if (attribute.type == AttributeType::String) {
      const auto* text = reinterpret_cast<const char*>(sqlite3_value_text(cell));
      const int length = sqlite3_value_bytes(cell);
      storedBuilder.addText(a,
                            std::string_view(text ? text : "", static_cast<std::size_t>(length)));
    } else if (attribute.type == AttributeType::Binary) {
      const void* bytes = sqlite3_value_blob(cell);
      const int length = sqlite3_value_bytes(cell);
      storedBuilder.addData(a, bytes, static_cast<std::size_t>(length));
    } else {
      rowValues.emplace_back(a, sql::value(cell, attribute.type));
    }
  }
}

// Reads a row (Z_PK first, then the layout's columns) into the record. A fresh record (just
// made by makeObject after readRow, with room for the stored columns at storedMemory when it
// has any) is empty already; a record filled again starts from empty.
void QBYManagedObjectContext::Impl::fill(QBYManagedObject& object, sqlite3_stmt* statement,
                                         const EntityLayout& layout, bool fresh,
                                         std::byte* storedMemory) {
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
    // Texts and data stay bytes in one block until they are read.
    Access::stored(object) =
        storedMemory ? storedBuilder.finishInto(storedMemory) : storedBuilder.finish();
    for (auto& [attribute, value] : rowValues)
      values[static_cast<std::size_t>(attribute)] = std::move(value);
    column += static_cast<int>(layout.attributes.size());
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
ObjectPtr QBYManagedObjectContext::Impl::materialize(const EntityLayout& layout,
                                                     sqlite3_stmt* statement) {
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
  // A new record: the row is read first, so that the record is made once, with room for it.
  readRow(statement, layout);
  std::byte* storedMemory = nullptr;
  ObjectPtr object = makeObject(*layout.entity, storedBuilder.blockSize(), &storedMemory);
  Access::rowID(*object) = rowID;
  fill(*object, statement, layout, true, storedMemory);
  registerObject(object);
  return object;
}

// The record for a row: the one in memory, else read from the file; nullptr when the row
// is gone.
ObjectPtr QBYManagedObjectContext::Impl::objectForRow(const EntityDescription& entity,
                                                      std::int64_t rowID) {
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

void QBYManagedObjectContext::Impl::fulfillFault(QBYManagedObject& object) {
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

// The records whose key (the inverse of the relationship) names the record: rows of the
// file as this context sees them, plus unsaved records.
std::vector<ObjectPtr> QBYManagedObjectContext::Impl::pointingTo(QBYManagedObject& object,
                                                                 int relationship) {
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
    if (std::find(found.begin(), found.end(), candidate) == found.end()) found.push_back(candidate);
  }
  return found;
}

std::optional<QBYManagedObjectContext::Impl::PreparedQuery>
QBYManagedObjectContext::Impl::prepareQuery(const QBYFetchRequest& request, QBYError* error) {
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
void QBYManagedObjectContext::Impl::prefetchRelationship(int relationship,
                                                         const std::vector<ObjectPtr>& records,
                                                         const std::string& inSQL,
                                                         const std::vector<Value>& inArguments,
                                                         const std::string& keySelect,
                                                         std::vector<ObjectPtr>& keepAlive) {
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
      auto at = std::lower_bound(byRow.begin(), byRow.end(), std::make_pair(rowID, std::size_t(0)));
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
        auto at =
            std::lower_bound(byRow.begin(), byRow.end(), std::make_pair(key.rowID, std::size_t(0)));
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
void QBYManagedObjectContext::Impl::loadBatch(QBYFetchedResults::State& state,
                                              std::size_t position) {
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

std::optional<QBYFetchedResults> QBYManagedObjectContext::Impl::fetch(
    const QBYFetchRequest& request, QBYError* error) {
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
      log("Error including unsaved changes in a fetch of %@: %@", query->entity->name, writeError);
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

std::optional<std::size_t> QBYManagedObjectContext::Impl::count(const QBYFetchRequest& request,
                                                                QBYError* error) {
  if (!ready(error)) return std::nullopt;
  auto query = prepareQuery(request, error);
  if (!query) return std::nullopt;
  sql::WriteTransaction transaction(db.get());
  if (request.includesPendingChanges && !pending.empty()) {
    WriteOutcome outcome;
    QBYError writeError;
    if (!transaction.begin(error)) return std::nullopt;
    if (!writePending(outcome, &writeError)) {
      log("Error including unsaved changes in a count of %@: %@", query->entity->name, writeError);
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

// --- The context's fetch operations -------------------------------------------------------------

std::optional<QBYFetchedResults> QBYManagedObjectContext::executeFetchRequest(
    const QBYFetchRequest& request, QBYError* error) {
  return impl_->fetch(request, error);
}

std::optional<std::size_t> QBYManagedObjectContext::countForFetchRequest(
    const QBYFetchRequest& request, QBYError* error) {
  return impl_->count(request, error);
}

}  // namespace qby
