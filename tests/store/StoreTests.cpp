// The delivery store's own schema: its history upgrades a first-version file with data in it,
// and the columns the named queries filter on are indexed.
#include <gtest/gtest.h>

#include <sqlite3.h>

#include "StoreTestSupport.h"
#include "model/Delivery.h"
#include "model/DeliveryText.h"
#include "model/QBYModel.h"
#include "model/QBYSchemaHistory.h"
#include "store/QBYDataStore.h"
#include "store/core/QBYTextFolding.h"

namespace qby::test {
namespace {

// A store file as the first shipped schema left it, with a delivery, its details and its
// search text.
void writeVersion1Store(const std::filesystem::path& file) {
  ASSERT_TRUE(execSQL(file, QBYPorvaneSchemaMigrations().at(0).sql));
  ASSERT_TRUE(execSQL(file,
                      "PRAGMA user_version = 1;"
                      "INSERT INTO Service (\"from\", name, sort) VALUES ('ups.com', 'UPS', '01');"
                      "INSERT INTO Delivery (uuid, name, \"no\", \"from\", archived, removed, "
                      "  service, modified) VALUES ('U-1', 'Zürich parcel', '1Z999', 'ups.com', "
                      "  0, 0, 1, 1700000000.5);"
                      "INSERT INTO Detail (\"index\", itemName, icon, delivery) VALUES "
                      "  (0, 'Shoes', 'transit', 1), (1, 'Shoes', 'checkmark', 1);"
                      "INSERT INTO DeliveryText (text, delivery) VALUES ('Zürich parcel ÉCOLE "
                      "1Z999', 1);"));
}

std::string queryPlan(const std::filesystem::path& file, const std::string& sql) {
  sqlite3* db = nullptr;
  std::string plan;
  sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, ("EXPLAIN QUERY PLAN " + sql).c_str(), -1, &statement, nullptr) ==
      SQLITE_OK) {
    while (sqlite3_step(statement) == SQLITE_ROW)
      plan += reinterpret_cast<const char*>(sqlite3_column_text(statement, 3)) + std::string("\n");
  }
  sqlite3_finalize(statement);
  sqlite3_close(db);
  return plan;
}

TEST(DeliverySchema, AFirstVersionStoreIsUpgradedWithItsData) {
  const auto file = freshStorePath("Porvane.sqlite");
  writeVersion1Store(file);
  QBYDataStore store(file);
  ASSERT_TRUE(store.available()) << (store.error() ? store.error()->description() : "");
  EXPECT_EQ(queryText(file, "PRAGMA user_version"), std::to_string(QBYModelVersion));
  EXPECT_EQ(queryText(file, "SELECT foldedText FROM DeliveryText"),
            foldForSearch("Zürich parcel ÉCOLE 1Z999"));
  EXPECT_EQ(queryText(file, "SELECT foldedText FROM DeliveryText"), "zurich parcel ecole 1z999");

  auto& context = *store.viewContext();
  QBYFetchRequest request;
  request.entityName = "Delivery";
  request.predicate = "t.uuid = ? AND t.removed = 0";
  request.arguments = {Value("U-1")};
  request.relationshipKeyPathsForPrefetching = {"details", "service"};
  auto results = context.executeFetchRequest(request);
  ASSERT_TRUE(results);
  ASSERT_EQ(results->size(), 1u);
  auto delivery = results->as<Delivery>(0);
  EXPECT_EQ(delivery->valueForKey("name"), Value("Zürich parcel"));
  EXPECT_EQ(delivery->valueForKey("modified"), Value(1700000000.5));
  EXPECT_EQ(delivery->details().size(), 2u);
  ASSERT_TRUE(delivery->searchText());
  EXPECT_EQ(delivery->searchText()->foldedText(), "zurich parcel ecole 1z999");

  // Word search over the folded copy.
  request.predicate =
      "EXISTS (SELECT 1 FROM DeliveryText s WHERE s.delivery = t.Z_PK AND "
      "instr(s.foldedText, qby_fold(?)) > 0)";
  request.arguments = {Value("ZURICH")};
  request.relationshipKeyPathsForPrefetching.clear();
  EXPECT_EQ(context.executeFetchRequest(request)->size(), 1u);
  request.arguments = {Value("ecole")};
  EXPECT_EQ(context.executeFetchRequest(request)->size(), 1u);

  // Writing through the upgraded schema works as on a new store.
  delivery->setValueForKey(Value("renamed"), "name");
  EXPECT_TRUE(store.saveData());
  EXPECT_EQ(queryText(file, "SELECT name FROM Delivery"), "renamed");
  EXPECT_EQ(queryText(file, "PRAGMA integrity_check"), "ok");
}

TEST(DeliverySchema, ANewStoreEqualsAnUpgradedOne) {
  const auto upgraded = freshStorePath("Upgraded.sqlite");
  writeVersion1Store(upgraded);
  ASSERT_TRUE(QBYPersistentStore::open(upgraded, QBYPorvaneModel()));
  const auto fresh = freshStorePath("Fresh.sqlite");
  ASSERT_TRUE(QBYPersistentStore::open(fresh, QBYPorvaneModel()));
  const std::string schema =
      "SELECT group_concat(name || ':' || ifnull(sql, ''), '|') FROM (SELECT name, sql FROM "
      "sqlite_master WHERE name NOT LIKE 'sqlite_%' ORDER BY name)";
  EXPECT_EQ(queryText(upgraded, schema), queryText(fresh, schema));
}

TEST(DeliverySchema, TheQueriedColumnsAreIndexed) {
  const auto file = freshStorePath("Porvane.sqlite");
  ASSERT_TRUE(QBYPersistentStore::open(file, QBYPorvaneModel()));
  EXPECT_NE(queryPlan(file, "SELECT Z_PK FROM Delivery WHERE uuid = 'x' AND removed = 0")
                .find("Delivery_uuid"),
            std::string::npos);
  EXPECT_NE(queryPlan(file, "SELECT Z_PK FROM Detail WHERE delivery IN (1, 2, 3)")
                .find("Detail_delivery"),
            std::string::npos);
  EXPECT_NE(
      queryPlan(file, "SELECT Z_PK FROM Service WHERE \"from\" = 'ups.com'").find("Service_from"),
      std::string::npos);
  EXPECT_NE(queryPlan(file, "SELECT Z_PK FROM DeliveryText WHERE delivery = 1")
                .find("DeliveryText_delivery"),
            std::string::npos);
  EXPECT_NE(
      queryPlan(file, "SELECT Z_PK FROM CloudKitData WHERE object = 1").find("CloudKitData_object"),
      std::string::npos);
  EXPECT_NE(queryPlan(file, "SELECT Z_PK FROM HTML WHERE delivery = 1").find("HTML_delivery"),
            std::string::npos);
}

TEST(DeliverySchema, DeletingADeliveryTakesItsDependentsAlong) {
  const auto file = freshStorePath("Porvane.sqlite");
  writeVersion1Store(file);
  ASSERT_TRUE(execSQL(file,
                      "INSERT INTO HTML (html, delivery) VALUES ('', 1);"
                      "INSERT INTO CloudKitData (data, object) VALUES (x'01', 1);"));
  QBYDataStore store(file);
  ASSERT_TRUE(store.available());
  ASSERT_TRUE(qby_deleteObjectsWithEntityName(*store.viewContext(), "Delivery"));
  for (const char* table : {"Delivery", "Detail", "DeliveryText", "HTML", "CloudKitData"})
    EXPECT_EQ(queryText(file, std::string("SELECT count(*) FROM ") + table), "0") << table;
  EXPECT_EQ(queryText(file, "SELECT count(*) FROM Service"), "1");
}

}  // namespace
}  // namespace qby::test
