#include "store/core/QBYManagedObject.h"

#include <algorithm>

#include "platform/Log.h"
#include "store/core/QBYStoreInternal.h"

namespace qby {

namespace {

const Value& nullValue() {
  static const Value value;
  return value;
}

// The value converted to the attribute's kind; nothing when it cannot be.
std::optional<Value> coerced(const Value& value, AttributeType type) {
  if (value.isNull()) return Value();
  switch (type) {
    case AttributeType::String:
      if (value.isString()) return value;
      return std::nullopt;
    case AttributeType::Integer:
      if (auto number = value.isNumber() ? value.asInteger() : std::nullopt)
        return Value(static_cast<long long>(*number));
      return std::nullopt;
    case AttributeType::Double:
      if (auto number = value.isNumber() ? value.asReal() : std::nullopt) return Value(*number);
      return std::nullopt;
    case AttributeType::Boolean:
      if (auto flag = value.isNumber() ? value.asBool() : std::nullopt) return Value(*flag);
      return std::nullopt;
    case AttributeType::Date:
      if (value.isDate()) return value;
      if (auto seconds = value.isNumber() ? value.asReal() : std::nullopt)
        return Value(Date(*seconds));
      return std::nullopt;
    case AttributeType::Binary:
      if (value.isData()) return value;
      return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace

std::string QBYManagedObjectID::description() const {
  const std::string name = entity ? entity->name : "?";
  if (rowID != 0) return name + "/p" + std::to_string(rowID);
  return name + "/t" + std::to_string(temporaryID);
}

QBYManagedObject::~QBYManagedObject() = default;

std::shared_ptr<QBYManagedObject> QBYManagedObject::make(const EntityDescription& entity,
                                                         std::size_t storedBytes,
                                                         std::byte** storedMemory) {
  // Only an entity with a to-many relationship ever fills those caches; most rows of a list
  // are lines, which have none.
  const bool toMany = std::any_of(entity.relationships.begin(), entity.relationships.end(),
                                  [](const RelationshipDescription& r) { return r.toMany; });
  const std::size_t attributes = entity.attributes.size();
  const std::size_t relationships = entity.relationships.size();
  // The extra bytes: value slots, to-one caches, to-many caches, stored columns, each aligned.
  std::size_t size = 0;
  const auto reserve = [&size](std::size_t bytes, std::size_t align) {
    size = (size + align - 1) / align * align;
    const std::size_t at = size;
    size += bytes;
    return at;
  };
  const std::size_t valuesAt = reserve(attributes * sizeof(Value), alignof(Value));
  const std::size_t toOnesAt = reserve(relationships * sizeof(ToOne), alignof(ToOne));
  const std::size_t toManysAt =
      reserve(toMany ? relationships * sizeof(ToMany) : 0, alignof(ToMany));
  const std::size_t storedAt = reserve(storedBytes, 8);

  QBYRecordBlock block{size, nullptr};
  std::shared_ptr<QBYManagedObject> object =
      entity.make ? entity.make(block) : std::make_shared<QBYManagedObject>();
  std::byte* extra = block.extra;
  object->values_.place(attributes, extra ? extra + valuesAt : nullptr);
  object->toOnes_.place(relationships, extra ? extra + toOnesAt : nullptr);
  if (toMany) object->toManys_.place(relationships, extra ? extra + toManysAt : nullptr);
  if (storedMemory) *storedMemory = extra && storedBytes ? extra + storedAt : nullptr;
  object->entity_ = &entity;
  return object;
}

QBYManagedObjectID QBYManagedObject::objectID() const {
  return QBYManagedObjectID{entity_, rowID_, temporaryID_};
}

void QBYManagedObject::fireFault() const {
  if (!fault_) return;
  if (context_) {
    QBYManagedObjectAccess::fulfillFault(const_cast<QBYManagedObject&>(*this));
  } else {
    // Nobody can load it any more: it reads as empty.
    fault_ = false;
    gone_ = true;
  }
}

Value QBYManagedObject::valueForKey(std::string_view key) const {
  if (!entity_) return Value();
  const int index = entity_->attributeIndex(key);
  if (index < 0) return Value();
  return primitiveValue(index);
}

void QBYManagedObject::setValueForKey(const Value& value, std::string_view key) {
  if (!entity_) return;
  const int index = entity_->attributeIndex(key);
  if (index < 0) return;
  auto converted = coerced(value, entity_->attributes[static_cast<std::size_t>(index)].type);
  if (!converted) {
    log("Ignoring a value of the wrong kind for %@.%@: %@", entity_->name, key, value);
    return;
  }
  setPrimitiveValue(index, std::move(*converted));
}

std::vector<std::string> QBYManagedObject::changedKeys() const {
  std::vector<std::string> keys;
  if (!entity_) return keys;
  for (std::size_t i = 0; i < changedAttributes_.size(); ++i)
    if (changedAttributes_[i]) keys.push_back(entity_->attributes[i].name);
  for (std::size_t i = 0; i < changedRelationships_.size(); ++i)
    if (changedRelationships_[i]) keys.push_back(entity_->relationships[i].name);
  return keys;
}

void QBYManagedObject::decodeStored() const {
  if (stored_.empty()) return;
  for (auto& [attribute, value] : stored_.takeAll()) {
    auto& slot = values_[static_cast<std::size_t>(attribute)];
    if (slot.isNull()) slot = std::move(value);
  }
}

const Value& QBYManagedObject::primitiveValue(int attribute) const {
  fireFault();
  if (attribute < 0 || static_cast<std::size_t>(attribute) >= values_.size()) return nullValue();
  auto& value = values_[static_cast<std::size_t>(attribute)];
  if (value.isNull() && !stored_.empty()) {
    if (auto stored = stored_.take(attribute)) value = std::move(*stored);
  }
  return value;
}

void QBYManagedObject::setPrimitiveValue(int attribute, Value value) {
  fireFault();
  if (!entity_ || attribute < 0 || static_cast<std::size_t>(attribute) >= values_.size()) return;
  const auto index = static_cast<std::size_t>(attribute);
  Value& current = values_[index];
  // The stored column first: the new value is compared with what the row held.
  if (current.isNull() && !stored_.empty()) {
    if (auto stored = stored_.take(attribute)) current = std::move(*stored);
  }
  if (current.type() == value.type() && current == value) return;
  current = std::move(value);
  if (entity_->attributes[index].transient || deleted_ || gone_) return;
  if (changedAttributes_.size() < values_.size()) changedAttributes_.resize(values_.size());
  changedAttributes_[index] = true;
  if (context_) QBYManagedObjectAccess::noteChanged(*this);
}

std::optional<std::string> QBYManagedObject::stringAt(int attribute) const {
  return primitiveValue(attribute).asString();
}
void QBYManagedObject::setStringAt(int attribute, std::optional<std::string> value) {
  setPrimitiveValue(attribute, value ? Value(std::move(*value)) : Value());
}

bool QBYManagedObject::boolAt(int attribute) const {
  return primitiveValue(attribute).asBool().value_or(false);
}
void QBYManagedObject::setBoolAt(int attribute, bool value) {
  setPrimitiveValue(attribute, Value(value));
}

std::int64_t QBYManagedObject::integerAt(int attribute) const {
  return primitiveValue(attribute).asInteger().value_or(0);
}
void QBYManagedObject::setIntegerAt(int attribute, std::int64_t value) {
  setPrimitiveValue(attribute, Value(static_cast<long long>(value)));
}

double QBYManagedObject::doubleAt(int attribute) const {
  return primitiveValue(attribute).asReal().value_or(0.0);
}
void QBYManagedObject::setDoubleAt(int attribute, double value) {
  setPrimitiveValue(attribute, Value(value));
}

std::optional<Date> QBYManagedObject::dateAt(int attribute) const {
  const Value& value = primitiveValue(attribute);
  if (auto date = value.asDate()) return date;
  if (value.isNumber()) return Date(*value.asReal());
  return std::nullopt;
}
void QBYManagedObject::setDateAt(int attribute, std::optional<Date> value) {
  setPrimitiveValue(attribute, value ? Value(*value) : Value());
}

std::optional<Data> QBYManagedObject::dataAt(int attribute) const {
  if (const Data* data = primitiveValue(attribute).dataPtr()) return *data;
  return std::nullopt;
}
void QBYManagedObject::setDataAt(int attribute, std::optional<Data> value) {
  setPrimitiveValue(attribute, value ? Value(std::move(*value)) : Value());
}

bool QBYManagedObject::hasValueAt(int attribute) const {
  return !primitiveValue(attribute).isNull();
}

std::shared_ptr<QBYManagedObject> QBYManagedObject::toOneAt(int relationship) const {
  fireFault();
  if (!entity_ || relationship < 0 ||
      static_cast<std::size_t>(relationship) >= entity_->relationships.size()) {
    return nullptr;
  }
  const auto& description = entity_->relationships[static_cast<std::size_t>(relationship)];
  if (description.toMany) return nullptr;
  auto& self = const_cast<QBYManagedObject&>(*this);
  if (description.ownsForeignKey) return QBYManagedObjectAccess::keyDestination(self, relationship);

  ToOne& cache = toOnes_[static_cast<std::size_t>(relationship)];
  if (cache.loaded) {
    if (auto object = cache.object.lock()) return object;
    // rowID 0: known to have no destination. Otherwise the destination left memory, which
    // means it had no pending change and the file knows it: look again.
    if (cache.rowID == 0) return nullptr;
  }
  auto found = QBYManagedObjectAccess::pointingTo(self, relationship);
  cache.loaded = true;
  cache.rowID = found.empty() ? 0 : -1;
  cache.object = found.empty() ? std::weak_ptr<QBYManagedObject>() : found.front();
  return found.empty() ? nullptr : found.front();
}

void QBYManagedObject::setToOneAt(int relationship,
                                  const std::shared_ptr<QBYManagedObject>& destination) {
  fireFault();
  if (!entity_ || relationship < 0 ||
      static_cast<std::size_t>(relationship) >= entity_->relationships.size()) {
    return;
  }
  const auto& description = entity_->relationships[static_cast<std::size_t>(relationship)];
  if (description.toMany) return;
  if (description.ownsForeignKey) {
    QBYManagedObjectAccess::setKey(*this, relationship, destination);
    return;
  }
  // The key lives on the other side: move it there.
  auto current = toOneAt(relationship);
  if (current == destination) return;
  if (current) {
    const int inverse = current->entity().relationshipIndex(description.inverseName);
    if (inverse >= 0) QBYManagedObjectAccess::setKey(*current, inverse, nullptr);
  }
  if (destination) {
    const int inverse = destination->entity().relationshipIndex(description.inverseName);
    if (inverse >= 0) QBYManagedObjectAccess::setKey(*destination, inverse, shared_from_this());
  }
}

std::vector<std::shared_ptr<QBYManagedObject>> QBYManagedObject::toManyAt(int relationship) const {
  return loadedToMany(relationship);
}

const std::vector<std::shared_ptr<QBYManagedObject>>& QBYManagedObject::loadedToMany(
    int relationship) const {
  static const std::vector<std::shared_ptr<QBYManagedObject>> none;
  fireFault();
  if (!entity_ || relationship < 0 ||
      static_cast<std::size_t>(relationship) >= entity_->relationships.size() ||
      static_cast<std::size_t>(relationship) >= toManys_.size()) {
    return none;
  }
  if (!entity_->relationships[static_cast<std::size_t>(relationship)].toMany) return none;
  ToMany& cache = toManys_[static_cast<std::size_t>(relationship)];
  if (!cache.loaded) {
    auto objects =
        QBYManagedObjectAccess::pointingTo(const_cast<QBYManagedObject&>(*this), relationship);
    // Reading the relationship may have dropped the record's caches (a fault fired again on
    // the way): look the slot up afresh.
    if (static_cast<std::size_t>(relationship) >= toManys_.size()) return none;
    ToMany& slot = toManys_[static_cast<std::size_t>(relationship)];
    slot.objects = std::move(objects);
    slot.loaded = true;
    return slot.objects;
  }
  return cache.objects;
}

// The index of the destination's to-one that is the inverse of this record's to-many
// relationship, or -1 when the relationship is not a to-many one of this entity.
int QBYManagedObject::inverseOfToMany(int relationship,
                                      const std::shared_ptr<QBYManagedObject>& destination) {
  fireFault();
  if (!destination || !entity_ || relationship < 0 ||
      static_cast<std::size_t>(relationship) >= entity_->relationships.size()) {
    return -1;
  }
  const auto& description = entity_->relationships[static_cast<std::size_t>(relationship)];
  if (!description.toMany) return -1;
  return destination->entity().relationshipIndex(description.inverseName);
}

void QBYManagedObject::addToManyAt(int relationship,
                                   const std::shared_ptr<QBYManagedObject>& destination) {
  const int inverse = inverseOfToMany(relationship, destination);
  if (inverse >= 0) QBYManagedObjectAccess::setKey(*destination, inverse, shared_from_this());
}

void QBYManagedObject::removeToManyAt(int relationship,
                                      const std::shared_ptr<QBYManagedObject>& destination) {
  const int inverse = inverseOfToMany(relationship, destination);
  if (inverse >= 0 && QBYManagedObjectAccess::keyNames(*destination, inverse, *this))
    QBYManagedObjectAccess::setKey(*destination, inverse, nullptr);
}

}  // namespace qby
