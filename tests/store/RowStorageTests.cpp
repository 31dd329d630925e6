// How a context keeps rows in memory: the row table its records are found by, and the text and
// data columns a record keeps as bytes until they are read.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "StoreTestSupport.h"
#include "store/core/QBYRowTable.h"
#include "store/core/QBYStoredColumns.h"

namespace qby::test {
namespace {

// --- The row table ----------------------------------------------------------------------------

std::shared_ptr<QBYManagedObject> record() {
  return std::make_shared<QBYManagedObject>();
}

TEST(RowTableTest, AgreesWithAMapThroughInsertsAndErasures) {
  // Erasing shifts later entries back into the hole; runs of row ids and wrap-around at the
  // end of the slots are where that goes wrong, so the ids come in clustered runs.
  QBYRowTable table;
  std::map<std::int64_t, std::shared_ptr<QBYManagedObject>> expected;
  std::mt19937 random(7);
  for (int step = 0; step < 20000; ++step) {
    const std::int64_t rowID =
        1 + static_cast<std::int64_t>(random() % 600) +
        (step % 3 == 0 ? 100000 * static_cast<std::int64_t>(random() % 4) : 0);
    if (random() % 3 == 0) {
      table.erase(rowID);
      expected.erase(rowID);
    } else {
      auto object = record();
      table[rowID] = object;
      expected[rowID] = object;
    }
  }
  EXPECT_EQ(table.size(), expected.size());
  for (const auto& [rowID, object] : expected) {
    auto* found = table.find(rowID);
    ASSERT_NE(found, nullptr) << rowID;
    EXPECT_EQ(found->lock(), object) << rowID;
  }
  std::size_t visited = 0;
  table.forEach([&](std::int64_t rowID, std::weak_ptr<QBYManagedObject>& weak) {
    ++visited;
    EXPECT_EQ(weak.lock(), expected.at(rowID));
  });
  EXPECT_EQ(visited, expected.size());
  for (std::int64_t absent : {0LL, -5LL, 700LL, 100700LL}) EXPECT_EQ(table.find(absent), nullptr);
}

TEST(RowTableTest, DroppingExpiredEntriesKeepsTheLiveOnes) {
  QBYRowTable table;
  std::vector<std::shared_ptr<QBYManagedObject>> kept;
  for (std::int64_t rowID = 1; rowID <= 1000; ++rowID) {
    auto object = record();
    table[rowID] = object;
    if (rowID % 10 == 0) kept.push_back(object);
  }
  table.eraseExpired();
  EXPECT_EQ(table.size(), kept.size());
  for (std::int64_t rowID = 1; rowID <= 1000; ++rowID) {
    auto* found = table.find(rowID);
    if (rowID % 10 == 0) {
      ASSERT_NE(found, nullptr);
      EXPECT_EQ(found->lock(), kept[static_cast<std::size_t>(rowID / 10 - 1)]);
    } else {
      EXPECT_EQ(found, nullptr);
    }
  }
  // Still usable for more rows after the rebuild.
  auto late = record();
  table[5000] = late;
  EXPECT_EQ(table.find(5000)->lock(), late);
}

// --- Stored columns ---------------------------------------------------------------------------

TEST(StoredColumnsTest, EachColumnIsTakenOnceAndKeepsItsBytes) {
  QBYStoredColumns::Builder builder;
  builder.addText(9, std::string_view("with\0nul", 8));
  builder.addText(2, "");
  const std::uint8_t bytes[] = {0, 255, 7};
  builder.addData(5, bytes, sizeof bytes);
  QBYStoredColumns columns = builder.finish();
  builder.clear();  // the block owns its bytes
  builder.addText(9, "reused scratch");

  EXPECT_EQ(columns.take(2), Value(""));  // empty, not absent
  EXPECT_EQ(columns.take(9), Value(std::string("with\0nul", 8)));
  EXPECT_EQ(columns.take(9), std::nullopt);
  EXPECT_EQ(columns.take(3), std::nullopt);
  EXPECT_EQ(columns.take(-1), std::nullopt);
  columns.discard(5);
  EXPECT_EQ(columns.take(5), std::nullopt);
  EXPECT_TRUE(builder.finish().take(9).has_value());
  EXPECT_TRUE(QBYStoredColumns::Builder().finish().empty());
}

TEST(StoredColumnsTest, TakingAllSkipsWhatWasTaken) {
  QBYStoredColumns::Builder builder;
  builder.addText(1, "one");
  builder.addText(4, "four");
  const std::uint8_t bytes[] = {1, 2};
  builder.addData(3, bytes, sizeof bytes);
  QBYStoredColumns columns = builder.finish();
  ASSERT_TRUE(columns.take(4).has_value());
  const auto all = columns.takeAll();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0], (std::pair<int, Value>{1, Value("one")}));
  EXPECT_EQ(all[1], (std::pair<int, Value>{3, Value(Data{1, 2})}));
  EXPECT_TRUE(columns.empty());
}

// --- Records read from the file ---------------------------------------------------------------

class StoredRecordTest : public ::testing::Test {
 protected:
  void SetUp() override {
    file = freshStorePath();
    store = openShop(file);
    ASSERT_TRUE(store);
    QBYManagedObjectContext writer(store, QBYConcurrencyType::MainQueue);
    auto parcel = insert(writer, "Parcel");
    parcel->set("name", "a name long enough to live outside the string");
    parcel->set("title", "the title");
    parcel->set("blob", Data{9, 8, 7});
    parcel->set("number", 42);
    QBYError error;
    ASSERT_TRUE(writer.save(&error)) << error.description();
    context = std::make_unique<QBYManagedObjectContext>(store, QBYConcurrencyType::MainQueue);
  }

  Record read() {
    auto found = fetchAll(*context, "Parcel");
    return found.empty() ? nullptr : found[0];
  }

  std::filesystem::path file;
  std::shared_ptr<QBYPersistentStore> store;
  std::unique_ptr<QBYManagedObjectContext> context;
};

TEST_F(StoredRecordTest, ClearingATextNeverReadSavesTheClearing) {
  auto parcel = read();
  ASSERT_TRUE(parcel);
  parcel->set("name", Value());
  EXPECT_TRUE(parcel->get("name").isNull());
  EXPECT_EQ(parcel->changedKeys(), std::vector<std::string>{"name"});
  QBYError error;
  ASSERT_TRUE(context->save(&error)) << error.description();
  EXPECT_EQ(queryText(file, "SELECT coalesce(name, 'null') FROM Parcel"), "null");
  EXPECT_EQ(read()->get("title"), Value("the title"));
}

TEST_F(StoredRecordTest, SettingWhatTheRowHoldsIsNoChange) {
  auto parcel = read();
  ASSERT_TRUE(parcel);
  parcel->set("title", "the title");
  parcel->set("blob", Data{9, 8, 7});
  EXPECT_FALSE(parcel->hasChanges());
}

TEST_F(StoredRecordTest, ARefreshReadsTheNewTextsNotTheOldBytes) {
  auto parcel = read();
  ASSERT_TRUE(parcel);
  ASSERT_TRUE(execSQL(file, "UPDATE Parcel SET name = 'changed elsewhere', blob = NULL"));
  context->refreshObject(parcel, false);
  EXPECT_EQ(parcel->get("name"), Value("changed elsewhere"));
  EXPECT_TRUE(parcel->get("blob").isNull());
  EXPECT_EQ(parcel->get("number"), Value(42));
}

TEST_F(StoredRecordTest, DictionaryStyleReadsSeeEveryColumn) {
  auto parcel = read();
  ASSERT_TRUE(parcel);
  EXPECT_EQ(parcel->get("title"), Value("the title"));  // one read first, the rest after
  EXPECT_EQ(parcel->get("name"), Value("a name long enough to live outside the string"));
  EXPECT_EQ(parcel->get("blob"), Value(Data{9, 8, 7}));
}

}  // namespace
}  // namespace qby::test
