// A stored record. Each record belongs to one context (QBYManagedObjectContext) and is read and
// written only on that context's queue. A record may be a fault: its fields are not loaded yet
// (or were dropped by a refresh) and are read from the store on first access.
//
// Records are held by std::shared_ptr. The context keeps records with unsaved changes alive;
// unchanged records live as long as someone holds them, so a long list does not pin every
// record it ever touched. Relationships: a record holds the records of a to-many relationship
// once it has loaded them; a to-one relationship is kept as the destination's identity and
// resolved through the context.
//
// Subclasses (Delivery, Detail, …) add typed accessors over the protected helpers, named after
// the attributes, and the rules that derive from them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Value.h"
#include "store/core/QBYEntityDescription.h"
#include "store/core/QBYRecordArray.h"
#include "store/core/QBYStoredColumns.h"

namespace qby {

class QBYManagedObjectContext;

// Extra bytes behind a record, in the record's own allocation: its context keeps the record's
// value slots, relationship caches and the row's stored columns there, so reading a row costs
// one allocation.
struct QBYRecordBlock {
  std::size_t extraBytes = 0;  // asked for
  std::byte* extra = nullptr;  // set by the allocation; aligned for any fundamental type
};

namespace recordblock {

// Allocates the record (with its shared-pointer control block) and the extra bytes the block
// asks for in one piece. Used once per record, by std::allocate_shared.
template <typename T>
class Allocator {
 public:
  using value_type = T;
  explicit Allocator(QBYRecordBlock* block) : block_(block) {}
  template <typename U>
  Allocator(const Allocator<U>& other) : block_(other.block_) {}

  T* allocate(std::size_t count) {
    constexpr std::size_t align = alignof(std::max_align_t);
    const std::size_t head = (count * sizeof(T) + align - 1) / align * align;
    auto* memory = static_cast<std::byte*>(::operator new(head + block_->extraBytes));
    block_->extra = block_->extraBytes ? memory + head : nullptr;
    return reinterpret_cast<T*>(memory);
  }
  void deallocate(T* memory, std::size_t) noexcept { ::operator delete(memory); }
  template <typename U>
  bool operator==(const Allocator<U>&) const {
    return true;
  }

 private:
  template <typename U>
  friend class Allocator;
  // Only read while allocating; the copy kept for deallocation never looks at it.
  QBYRecordBlock* block_;
};

}  // namespace recordblock

// The maker of an entity whose records are Ts (EntityDescription::make).
template <typename T>
std::shared_ptr<QBYManagedObject> makeRecord(QBYRecordBlock& block) {
  return std::allocate_shared<T>(recordblock::Allocator<T>(&block));
}

// A record's identity: its entity and row id. A record that was inserted and not yet saved has
// a temporary identity (rowID 0 and a temporary number) until the save gives it a row id.
struct QBYManagedObjectID {
  const EntityDescription* entity = nullptr;
  std::int64_t rowID = 0;
  std::uint64_t temporaryID = 0;

  bool isTemporary() const { return rowID == 0; }
  bool operator==(const QBYManagedObjectID& other) const = default;
  // "<entity>/p<rowid>" or "<entity>/t<number>", stable for logs and tests.
  std::string description() const;
};

class QBYManagedObject : public std::enable_shared_from_this<QBYManagedObject> {
 public:
  QBYManagedObject() = default;
  virtual ~QBYManagedObject();
  QBYManagedObject(const QBYManagedObject&) = delete;
  QBYManagedObject& operator=(const QBYManagedObject&) = delete;

  const EntityDescription& entity() const { return *entity_; }
  QBYManagedObjectID objectID() const;
  // The context that holds the record; nullptr once it was deleted and saved, or the context
  // went away.
  QBYManagedObjectContext* managedObjectContext() const { return context_; }

  bool isInserted() const { return inserted_; }
  // Also true for a record whose row vanished from the file (another context or process
  // deleted it): once its fault fired it reads as empty instead of failing.
  bool isDeleted() const { return deleted_ || gone_; }
  bool isUpdated() const { return !changedAttributes_.empty() || !changedRelationships_.empty(); }
  bool hasChanges() const { return inserted_ || deleted_ || isUpdated(); }
  bool isFault() const { return fault_; }

  // Generic access by attribute name, for dictionary forms, sync and tests. Unknown keys read
  // as null and are ignored on write. Dates are qby::Date values.
  Value valueForKey(std::string_view key) const;
  void setValueForKey(const Value& value, std::string_view key);

  // Names of the attributes and relationships changed since the last save.
  std::vector<std::string> changedKeys() const;

 protected:
  // Attribute access by index in entity().attributes. Reading fires the fault.
  const Value& primitiveValue(int attribute) const;
  // Stores the value and marks the attribute changed when it differs from the current one.
  void setPrimitiveValue(int attribute, Value value);

  std::optional<std::string> stringAt(int attribute) const;
  void setStringAt(int attribute, std::optional<std::string> value);
  bool boolAt(int attribute) const;
  void setBoolAt(int attribute, bool value);
  std::int64_t integerAt(int attribute) const;
  void setIntegerAt(int attribute, std::int64_t value);
  double doubleAt(int attribute) const;
  void setDoubleAt(int attribute, double value);
  std::optional<Date> dateAt(int attribute) const;
  void setDateAt(int attribute, std::optional<Date> value);
  std::optional<Data> dataAt(int attribute) const;
  void setDataAt(int attribute, std::optional<Data> value);
  // True when the attribute holds a value (not null).
  bool hasValueAt(int attribute) const;

  // Relationship access by index in entity().relationships.
  std::shared_ptr<QBYManagedObject> toOneAt(int relationship) const;
  // Also updates the inverse on both the old and the new destination when they are loaded.
  void setToOneAt(int relationship, const std::shared_ptr<QBYManagedObject>& destination);
  // Loads the relationship from the store on first access (or uses the prefetched records).
  std::vector<std::shared_ptr<QBYManagedObject>> toManyAt(int relationship) const;
  // Adds or removes one destination; sets the destination's inverse to-one accordingly.
  void addToManyAt(int relationship, const std::shared_ptr<QBYManagedObject>& destination);
  void removeToManyAt(int relationship, const std::shared_ptr<QBYManagedObject>& destination);

  template <typename T>
  std::shared_ptr<T> toOneAs(int relationship) const {
    return std::static_pointer_cast<T>(toOneAt(relationship));
  }
  template <typename T>
  std::vector<std::shared_ptr<T>> toManyAs(int relationship) const {
    // Straight from the loaded list: a list row reads its lines for every row it draws.
    const auto& objects = loadedToMany(relationship);
    std::vector<std::shared_ptr<T>> out;
    out.reserve(objects.size());
    for (const auto& object : objects) out.push_back(std::static_pointer_cast<T>(object));
    return out;
  }

  // Called once when the record is inserted into a context, after the description's default
  // values were set.
  virtual void awakeFromInsert() {}
  // Called when the record's stored fields are dropped (turned into a fault) or reloaded:
  // subclasses drop the transient values they computed from them.
  virtual void didTurnIntoFault() {}

 private:
  friend class QBYManagedObjectContext;
  friend struct QBYManagedObjectAccess;

  // An empty record of the entity, its slots and caches set up, with room for storedBytes of
  // stored columns at *storedMemory (nullptr when there is no room: the columns get a block of
  // their own).
  static std::shared_ptr<QBYManagedObject> make(const EntityDescription& entity,
                                                std::size_t storedBytes, std::byte** storedMemory);

  void fireFault() const;
  // Turns every stored column not read yet into its value.
  void decodeStored() const;
  // The relationship's destinations, loaded on first access; an empty list for anything that
  // is not a to-many relationship of the entity.
  const std::vector<std::shared_ptr<QBYManagedObject>>& loadedToMany(int relationship) const;
  int inverseOfToMany(int relationship, const std::shared_ptr<QBYManagedObject>& destination);

  const EntityDescription* entity_ = nullptr;
  QBYManagedObjectContext* context_ = nullptr;
  std::int64_t rowID_ = 0;
  std::uint64_t temporaryID_ = 0;
  bool inserted_ = false;
  bool deleted_ = false;
  mutable bool gone_ = false;
  mutable bool fault_ = false;
  // Value slots, relationship caches and stored columns live in the record's own allocation
  // when its entity has a maker (see QBYRecordBlock), else on the heap.
  mutable QBYRecordArray<Value> values_;
  // Text and data columns of the row, not turned into values_ yet: such an attribute's entry
  // in values_ is null until first read.
  mutable QBYStoredColumns stored_;
  std::vector<bool> changedAttributes_;  // sized lazily; empty means none changed
  std::vector<bool> changedRelationships_;

  // To-one: the destination's identity (rowID, or the temporary object until saved). For a
  // to-one whose inverse owns the key, a cache of the resolved destination: rowID 0 means
  // "known to have none", -1 "the object below" (looked up again once it left memory).
  struct ToOne {
    std::int64_t rowID = 0;
    std::weak_ptr<QBYManagedObject> object;
    bool loaded = false;
  };
  mutable QBYRecordArray<ToOne> toOnes_;
  // To-many: loaded destinations, held strongly once loaded.
  struct ToMany {
    bool loaded = false;
    std::vector<std::shared_ptr<QBYManagedObject>> objects;
  };
  mutable QBYRecordArray<ToMany> toManys_;
};

}  // namespace qby
