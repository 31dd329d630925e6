// A small model of the tests' own (parcels, their lines, carriers and notes) that covers every
// kind of attribute and relationship the record layer knows, and helpers to open stores.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "store/core/QBYManagedObjectContext.h"
#include "store/core/QBYPersistentStore.h"

namespace qby::test {

// Parcel: name, number, weight, archived, when, blob, title (default ""), cache (transient);
//         lines (to-many Line, cascade), carrier (to-one Carrier, owns key, nullify),
//         note (to-one Note, key on the note, cascade).
// Line:   index, text; parcel (owns key).
// Carrier: name; parcels (to-many, nullify).
// Note:   text; parcel (owns key).
std::shared_ptr<const QBYManagedObjectModel> shopModel(int version = 1,
                                                       std::vector<QBYSchemaMigration> steps = {});

// A record that opens the protected relationship helpers to the tests, by name.
class TestRecord : public QBYManagedObject {
 public:
  Value get(std::string_view key) const { return valueForKey(key); }
  void set(std::string_view key, const Value& value) { setValueForKey(value, key); }
  std::shared_ptr<TestRecord> one(std::string_view relationship) const;
  std::vector<std::shared_ptr<TestRecord>> many(std::string_view relationship) const;
  void setOne(std::string_view relationship, const std::shared_ptr<QBYManagedObject>& target);
  void add(std::string_view relationship, const std::shared_ptr<QBYManagedObject>& target);
  void remove(std::string_view relationship, const std::shared_ptr<QBYManagedObject>& target);
  int faultCount = 0;

 protected:
  void didTurnIntoFault() override { ++faultCount; }
};
using Record = std::shared_ptr<TestRecord>;

// A fresh store file path below the test home.
std::filesystem::path freshStorePath(const std::string& name = "Shop.sqlite");

std::shared_ptr<QBYPersistentStore> openShop(const std::filesystem::path& file);

Record insert(QBYManagedObjectContext& context, const std::string& entity);
// Every record of the entity, optionally with a predicate, sorted by Z_PK.
std::vector<Record> fetchAll(QBYManagedObjectContext& context, const std::string& entity,
                             const std::string& predicate = "", std::vector<Value> arguments = {});
std::size_t countOf(QBYManagedObjectContext& context, const std::string& entity,
                    const std::string& predicate = "");

// Runs one SQL statement on a separate connection and answers the first column of the first
// row as text ("" for none), for looking at the file behind the contexts' backs.
std::string queryText(const std::filesystem::path& file, const std::string& sql);
bool execSQL(const std::filesystem::path& file, const std::string& sql);

}  // namespace qby::test
