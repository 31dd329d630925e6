#include "StoreTestSupport.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "support/TestSupport.h"

namespace qby::test {

namespace {

AttributeDescription attr(std::string name, AttributeType type, Value defaultValue = {},
                          bool transient = false) {
  return AttributeDescription{std::move(name), type, std::move(defaultValue), transient};
}

template <typename T>
QBYRecordMaker maker() {
  return &makeRecord<T>;
}

}  // namespace

std::shared_ptr<const QBYManagedObjectModel> shopModel(int version,
                                                       std::vector<QBYSchemaMigration> steps) {
  using A = AttributeType;
  EntityDescription parcel;
  parcel.name = "Parcel";
  parcel.attributes = {attr("name", A::String),      attr("number", A::Integer),
                       attr("weight", A::Double),    attr("archived", A::Boolean),
                       attr("when", A::Date),        attr("blob", A::Binary),
                       attr("title", A::String, ""), attr("cache", A::String, {}, true)};
  parcel.relationships = {
      {"lines", "Line", "parcel", true, false, DeleteRule::Cascade},
      {"carrier", "Carrier", "parcels", false, true, DeleteRule::Nullify},
      {"note", "Note", "parcel", false, false, DeleteRule::Cascade},
  };
  parcel.make = maker<TestRecord>();

  EntityDescription line;
  line.name = "Line";
  line.attributes = {attr("index", A::Integer), attr("text", A::String, "")};
  line.relationships = {{"parcel", "Parcel", "lines", false, true, DeleteRule::Nullify}};
  line.make = maker<TestRecord>();

  EntityDescription carrier;
  carrier.name = "Carrier";
  carrier.attributes = {attr("name", A::String)};
  carrier.relationships = {{"parcels", "Parcel", "carrier", true, false, DeleteRule::Nullify}};
  carrier.make = maker<TestRecord>();

  EntityDescription note;
  note.name = "Note";
  note.attributes = {attr("text", A::String)};
  note.relationships = {{"parcel", "Parcel", "note", false, true, DeleteRule::Nullify}};
  note.make = maker<TestRecord>();

  return std::make_shared<const QBYManagedObjectModel>(
      version, std::vector<EntityDescription>{parcel, line, carrier, note}, std::move(steps));
}

std::shared_ptr<TestRecord> TestRecord::one(std::string_view relationship) const {
  return std::static_pointer_cast<TestRecord>(toOneAt(entity().relationshipIndex(relationship)));
}

std::vector<std::shared_ptr<TestRecord>> TestRecord::many(std::string_view relationship) const {
  return toManyAs<TestRecord>(entity().relationshipIndex(relationship));
}

void TestRecord::setOne(std::string_view relationship,
                        const std::shared_ptr<QBYManagedObject>& target) {
  setToOneAt(entity().relationshipIndex(relationship), target);
}

void TestRecord::add(std::string_view relationship,
                     const std::shared_ptr<QBYManagedObject>& target) {
  addToManyAt(entity().relationshipIndex(relationship), target);
}

void TestRecord::remove(std::string_view relationship,
                        const std::shared_ptr<QBYManagedObject>& target) {
  removeToManyAt(entity().relationshipIndex(relationship), target);
}

std::filesystem::path freshStorePath(const std::string& name) {
  return makeTempDir("store") / name;
}

std::shared_ptr<QBYPersistentStore> openShop(const std::filesystem::path& file) {
  QBYError error;
  auto store = QBYPersistentStore::open(file, shopModel(), &error);
  EXPECT_TRUE(store) << error.description();
  return store;
}

Record insert(QBYManagedObjectContext& context, const std::string& entity) {
  return std::static_pointer_cast<TestRecord>(context.insertNewObject(entity));
}

std::vector<Record> fetchAll(QBYManagedObjectContext& context, const std::string& entity,
                             const std::string& predicate, std::vector<Value> arguments) {
  QBYFetchRequest request;
  request.entityName = entity;
  request.predicate = predicate;
  request.arguments = std::move(arguments);
  QBYError error;
  auto results = context.executeFetchRequest(request, &error);
  EXPECT_TRUE(results) << error.description();
  if (!results) return {};
  return results->allAs<TestRecord>();
}

std::size_t countOf(QBYManagedObjectContext& context, const std::string& entity,
                    const std::string& predicate) {
  QBYFetchRequest request;
  request.entityName = entity;
  request.predicate = predicate;
  QBYError error;
  auto count = context.countForFetchRequest(request, &error);
  EXPECT_TRUE(count) << error.description();
  return count.value_or(0);
}

std::string queryText(const std::filesystem::path& file, const std::string& sql) {
  sqlite3* db = nullptr;
  std::string out;
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
    sqlite3_busy_timeout(db, 30000);
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW) {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
      out = text ? text : "";
    } else {
      ADD_FAILURE() << "query failed: " << sql << ": " << sqlite3_errmsg(db);
    }
    sqlite3_finalize(statement);
  }
  sqlite3_close(db);
  return out;
}

bool execSQL(const std::filesystem::path& file, const std::string& sql) {
  sqlite3* db = nullptr;
  bool ok = sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                            nullptr) == SQLITE_OK;
  if (ok) {
    sqlite3_busy_timeout(db, 30000);
    char* message = nullptr;
    ok = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) == SQLITE_OK;
    if (!ok) ADD_FAILURE() << sql << ": " << (message ? message : "");
    sqlite3_free(message);
  }
  sqlite3_close(db);
  return ok;
}

}  // namespace qby::test
