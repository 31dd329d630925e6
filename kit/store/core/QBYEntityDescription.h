// The object model: which record types (entities) exist, their attributes and relationships.
// The store creates and migrates its tables from this description, and records read and
// write their fields through it.
//
// Storage: one table per entity, named after it, with the row id column "Z_PK", one column per
// attribute (named after the attribute), and one column per to-one relationship that owns its
// foreign key (named after the relationship, holding the destination's row id). A to-many
// relationship, and a to-one relationship whose inverse owns the key, has no column: it is
// found through the inverse's column.
//
// Immutable after construction; share freely between threads.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Value.h"

namespace qby {

class QBYManagedObject;
struct QBYRecordBlock;

// Makes an empty record of an entity's class with room for the extra bytes the block asks
// for, in the same allocation (makeRecord<T> in QBYManagedObject.h).
using QBYRecordMaker = std::shared_ptr<QBYManagedObject> (*)(QBYRecordBlock& block);

enum class AttributeType {
  String,   // TEXT
  Integer,  // INTEGER
  Double,   // REAL; also "seconds since 1970" time stamps
  Boolean,  // INTEGER 0/1
  Date,     // REAL, seconds since 1970 (read back as qby::Date)
  Binary,   // BLOB
};

struct AttributeDescription {
  std::string name;
  AttributeType type = AttributeType::String;
  // The value a newly inserted record starts with; null for none.
  Value defaultValue;
  // Not stored: lives only while the record is in memory.
  bool transient = false;
};

enum class DeleteRule {
  Nullify,  // the destinations stay; their key to this record is cleared
  Cascade,  // the destinations are deleted with this record
};

struct RelationshipDescription {
  std::string name;
  std::string destinationEntity;
  std::string inverseName;
  bool toMany = false;
  // For a to-one relationship: this side holds the foreign-key column.
  bool ownsForeignKey = false;
  DeleteRule deleteRule = DeleteRule::Nullify;
};

struct EntityDescription {
  std::string name;
  // Attributes and relationships of an abstract parent (QBYSyncObject) are listed here too;
  // the parent's name is kept for callers that ask for it.
  std::optional<std::string> parentName;
  std::vector<AttributeDescription> attributes;
  std::vector<RelationshipDescription> relationships;
  // Makes an empty record of the entity's class; without one, records are plain
  // QBYManagedObjects.
  QBYRecordMaker make = nullptr;

  // Index into attributes / relationships, or -1.
  int attributeIndex(std::string_view attribute) const;
  int relationshipIndex(std::string_view relationship) const;
};

// One step of a schema's history: the SQL that brings a store file from version - 1 to
// version. Steps are frozen once shipped: a store written by an old build replays exactly the
// steps it lacks. The SQL may hold several statements and may use the store's SQL functions
// (qby_fold).
struct QBYSchemaMigration {
  int version = 0;
  std::string sql;
};

class QBYManagedObjectModel {
 public:
  // version: the schema version the description corresponds to (PRAGMA user_version).
  // migrations: the schema's history, steps 1 to version. Without them (models made for
  // tests), a new file gets tables made from the description, and an older file is refused.
  QBYManagedObjectModel(int version, std::vector<EntityDescription> entities,
                        std::vector<QBYSchemaMigration> migrations = {});

  int version() const { return version_; }
  const std::vector<EntityDescription>& entities() const { return entities_; }
  const std::vector<QBYSchemaMigration>& migrations() const { return migrations_; }
  // nullptr when there is no such entity.
  const EntityDescription* entity(std::string_view name) const;

 private:
  int version_;
  std::vector<EntityDescription> entities_;
  std::vector<QBYSchemaMigration> migrations_;
};

}  // namespace qby
