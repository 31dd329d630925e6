// The seam between records and their context: the context reaches a record's fields and the
// record asks its context to load rows. Only the store's own files include it.
#pragma once

#include <memory>
#include <vector>

#include "store/core/QBYManagedObject.h"
#include "store/core/QBYManagedObjectContext.h"

namespace qby {

struct QBYManagedObjectAccess {
  using ToOne = QBYManagedObject::ToOne;
  using ToMany = QBYManagedObject::ToMany;

  static const EntityDescription*& entity(QBYManagedObject& o) { return o.entity_; }
  static QBYManagedObjectContext*& context(QBYManagedObject& o) { return o.context_; }
  static std::int64_t& rowID(QBYManagedObject& o) { return o.rowID_; }
  static std::uint64_t& temporaryID(QBYManagedObject& o) { return o.temporaryID_; }
  static bool& inserted(QBYManagedObject& o) { return o.inserted_; }
  static bool& deleted(QBYManagedObject& o) { return o.deleted_; }
  static bool& gone(QBYManagedObject& o) { return o.gone_; }
  static bool& fault(QBYManagedObject& o) { return o.fault_; }
  // Every value, the stored columns decoded first.
  static QBYRecordArray<Value>& values(QBYManagedObject& o) {
    o.decodeStored();
    return o.values_;
  }
  // The values as they are, for a reader that fills them (and the stored columns) anew.
  static QBYRecordArray<Value>& rawValues(QBYManagedObject& o) { return o.values_; }
  static QBYStoredColumns& stored(QBYManagedObject& o) { return o.stored_; }
  static std::vector<bool>& changedAttributes(QBYManagedObject& o) { return o.changedAttributes_; }
  static std::vector<bool>& changedRelationships(QBYManagedObject& o) {
    return o.changedRelationships_;
  }
  static QBYRecordArray<ToOne>& toOnes(QBYManagedObject& o) { return o.toOnes_; }
  static QBYRecordArray<ToMany>& toManys(QBYManagedObject& o) { return o.toManys_; }
  // A record of the entity with its slots set up (see QBYManagedObject::make).
  static std::shared_ptr<QBYManagedObject> make(const EntityDescription& entity,
                                                std::size_t storedBytes, std::byte** storedMemory) {
    return QBYManagedObject::make(entity, storedBytes, storedMemory);
  }
  static void awakeFromInsert(QBYManagedObject& o) { o.awakeFromInsert(); }
  static void didTurnIntoFault(QBYManagedObject& o) { o.didTurnIntoFault(); }
  static void fire(QBYManagedObject& o) { o.fireFault(); }
  static std::shared_ptr<QBYManagedObject> toOne(QBYManagedObject& o, int relationship) {
    return o.toOneAt(relationship);
  }
  static std::vector<std::shared_ptr<QBYManagedObject>> toMany(QBYManagedObject& o,
                                                               int relationship) {
    return o.toManyAt(relationship);
  }

  // Implemented by the context (QBYManagedObjectContext.cpp).
  static void fulfillFault(QBYManagedObject& o);
  static void noteChanged(QBYManagedObject& o);
  // The destination of an owning key (the object when it is in memory, else loaded).
  static std::shared_ptr<QBYManagedObject> keyDestination(QBYManagedObject& o, int relationship);
  // The records whose key (the inverse of the relationship) names the record.
  static std::vector<std::shared_ptr<QBYManagedObject>> pointingTo(QBYManagedObject& o,
                                                                   int relationship);
  // Sets an owning key and keeps the inverse caches of the old and new destination in step.
  static void setKey(QBYManagedObject& o, int relationship,
                     const std::shared_ptr<QBYManagedObject>& destination);
  // True when the key (an owning to-one) names the destination.
  static bool keyNames(QBYManagedObject& o, int relationship, const QBYManagedObject& destination);
  // Empties the record's stored fields and caches; it reads the file again on next access.
  static void turnIntoFault(QBYManagedObject& o);
};

}  // namespace qby
