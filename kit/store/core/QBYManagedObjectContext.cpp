#include "store/core/QBYManagedObjectContext.h"

#include <algorithm>
#include <exception>
#include <future>

#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "platform/QBYOperationQueue.h"
#include "store/core/QBYManagedObjectContextInternal.h"

namespace qby {

using Access = QBYManagedObjectAccess;
using ObjectPtr = std::shared_ptr<QBYManagedObject>;
using contextimpl::EntityLayout;
using contextimpl::invalidRequest;
using contextimpl::WriteOutcome;

EntityLayout contextimpl::makeLayout(const EntityDescription& entity) {
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

// --- Records in memory --------------------------------------------------------------------------

void QBYManagedObjectContext::Impl::registerObject(const ObjectPtr& object) {
  RowTable* existing = rowTable(&object->entity());
  auto& table = existing ? *existing : registry[&object->entity()];
  table[Access::rowID(*object)] = object;
  // Expired entries of records nobody holds any more are swept now and then, so walking a
  // long list leaves no trail behind. A record's values share its allocation, which its
  // expired entry keeps until the sweep, so sweeps come often while few records live; the
  // pause grows with the records that survived the last one, which keeps a sweep's cost per
  // registration constant when a list holds many.
  if (++registrationsSinceSweep >= std::max(kMinimumSweepPause, liveAfterSweep)) {
    registrationsSinceSweep = 0;
    liveAfterSweep = 0;
    for (auto& [entity, rows] : registry) {
      rows.eraseExpired();
      liveAfterSweep += rows.size();
    }
  }
}

void QBYManagedObjectContext::Impl::unregister(QBYManagedObject& object) {
  RowTable* table = rowTable(&object.entity());
  if (!table) return;
  auto* found = table->find(Access::rowID(object));
  if (found && found->lock().get() == &object) table->erase(Access::rowID(object));
}

// An empty record of the entity, with room for storedBytes of stored columns at *storedMemory
// (see QBYManagedObject::make).
ObjectPtr QBYManagedObjectContext::Impl::makeObject(const EntityDescription& entity,
                                                    std::size_t storedBytes,
                                                    std::byte** storedMemory) {
  ObjectPtr object = Access::make(entity, storedBytes, storedMemory);
  Access::context(*object) = owner;
  return object;
}

// The row is no longer in the file: the record reads as empty and says it is deleted.
void QBYManagedObjectContext::Impl::markGone(QBYManagedObject& object) {
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

void QBYManagedObjectContext::Impl::turnIntoFault(QBYManagedObject& object) {
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
void QBYManagedObjectContext::Impl::dropRelationshipCaches(QBYManagedObject& object) {
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

ObjectPtr QBYManagedObjectContext::Impl::inMemoryKeyDestination(QBYManagedObject& object,
                                                                int relationship) {
  const auto& key = Access::toOnes(object)[static_cast<std::size_t>(relationship)];
  if (auto target = key.object.lock()) return target;
  const auto* entity = destination(object.entity().relationships[relationship]);
  return entity ? registered(entity, key.rowID) : nullptr;
}

ObjectPtr QBYManagedObjectContext::Impl::keyDestination(QBYManagedObject& object,
                                                        int relationship) {
  auto& key = Access::toOnes(object)[static_cast<std::size_t>(relationship)];
  if (auto target = key.object.lock()) return target;
  if (key.rowID == 0) return nullptr;
  const auto* entity = destination(object.entity().relationships[relationship]);
  if (!entity) return nullptr;
  ObjectPtr target = objectForRow(*entity, key.rowID);
  if (target) key.object = target;
  return target;
}

void QBYManagedObjectContext::Impl::noteChanged(QBYManagedObject& object) {
  if (Access::context(object) != owner) return;
  pending.emplace(&object, object.shared_from_this());
}

void QBYManagedObjectContext::Impl::setKey(QBYManagedObject& object, int relationship,
                                           const ObjectPtr& target) {
  Access::fire(object);
  const auto& description = object.entity().relationships[relationship];
  auto& key = Access::toOnes(object)[static_cast<std::size_t>(relationship)];
  if (target ? keyNames(object, relationship, *target) : (key.rowID == 0 && key.object.expired())) {
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

void QBYManagedObjectContext::Impl::deleteObject(const ObjectPtr& object) {
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

void QBYManagedObjectContext::Impl::detachAll() {
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

QBYManagedObjectContext::Statistics QBYManagedObjectContext::statistics() const {
  return impl_->stats;
}

void QBYManagedObjectContext::resetStatistics() {
  impl_->stats = {};
}

}  // namespace qby
