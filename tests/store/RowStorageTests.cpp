// How a context keeps rows in memory: the row table its records are found by, the arrays and
// text and data columns a record keeps in its own allocation, and records read from the file.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "StoreTestSupport.h"
#include "store/core/QBYPersistentStore.h"
#include "store/core/QBYRecordArray.h"
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

// --- Record arrays ----------------------------------------------------------------------------

// Counts its live instances, so a test sees every element built and destroyed exactly once.
struct Counted {
  static inline int alive = 0;
  int value = 0;
  Counted() { ++alive; }
  Counted(const Counted& other) : value(other.value) { ++alive; }
  Counted& operator=(const Counted&) = default;
  ~Counted() { --alive; }
};

TEST(RecordArrayTest, ElementsLiveInTheGivenMemoryAndDieWithTheArray) {
  alignas(Counted) std::byte memory[4 * sizeof(Counted)];
  {
    QBYRecordArray<Counted> array;
    array.place(4, memory);
    EXPECT_EQ(Counted::alive, 4);
    EXPECT_EQ(static_cast<void*>(&array[0]), static_cast<void*>(memory));
    array[3].value = 7;
    // Same size: the elements are reset where they are.
    array.assign(4, Counted());
    EXPECT_EQ(array[3].value, 0);
    EXPECT_EQ(static_cast<void*>(&array[0]), static_cast<void*>(memory));
    // Another size cannot fit the given memory: the array moves to the heap.
    Counted seven;
    seven.value = 7;
    array.assign(6, seven);
    EXPECT_EQ(array.size(), 6u);
    EXPECT_NE(static_cast<void*>(&array[0]), static_cast<void*>(memory));
    EXPECT_EQ(array[5].value, 7);
    EXPECT_EQ(Counted::alive, 7);
  }
  EXPECT_EQ(Counted::alive, 0);
}

TEST(StoredColumnsTest, ABlockInBorrowedMemoryReadsLikeAnOwnedOne) {
  QBYStoredColumns::Builder builder;
  builder.addText(4, "four");
  builder.addText(1, "a text long enough to need a heap block of its own");
  const std::uint8_t bytes[] = {1, 2, 3};
  builder.addData(2, bytes, sizeof bytes);
  std::vector<std::uint64_t> memory((builder.blockSize() + 7) / 8);
  QBYStoredColumns columns = builder.finishInto(reinterpret_cast<std::byte*>(memory.data()));
  builder.clear();
  builder.addText(4, "scratch reused");
  EXPECT_EQ(columns.take(2), Value(Data{1, 2, 3}));
  const auto rest = columns.takeAll();
  ASSERT_EQ(rest.size(), 2u);
  EXPECT_EQ(rest[0].second, Value("a text long enough to need a heap block of its own"));
  EXPECT_EQ(rest[1].second, Value("four"));
  EXPECT_TRUE(columns.empty());
  EXPECT_EQ(QBYStoredColumns::Builder().blockSize(), 0u);
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

TEST_F(StoredRecordTest, FieldsReadAfterAnotherWasSetKeepTheirRowValues) {
  auto parcel = read();
  ASSERT_TRUE(parcel);
  parcel->set("number", 43);
  parcel->set("weight", 1.5);
  EXPECT_EQ(parcel->get("name"), Value("a name long enough to live outside the string"));
  parcel->set("title", "a new title");
  EXPECT_EQ(parcel->get("blob"), Value(Data{9, 8, 7}));
  EXPECT_EQ(parcel->get("number"), Value(43));
  EXPECT_EQ(parcel->get("title"), Value("a new title"));
  EXPECT_TRUE(parcel->get("when").isNull());
  QBYError error;
  ASSERT_TRUE(context->save(&error)) << error.description();
  EXPECT_EQ(queryText(file, "SELECT name || '|' || title || '|' || number FROM Parcel"),
            "a name long enough to live outside the string|a new title|43");
}

TEST_F(StoredRecordTest, ARefreshWithLongerTextsThanTheRowHadReadsThemAll) {
  auto parcel = read();
  ASSERT_TRUE(parcel);
  const std::string longer(500, 'x');
  ASSERT_TRUE(execSQL(file, "UPDATE Parcel SET title = '" + longer + "', number = 7"));
  context->refreshAllObjects();
  EXPECT_EQ(parcel->get("title"), Value(longer));
  EXPECT_EQ(parcel->get("name"), Value("a name long enough to live outside the string"));
  EXPECT_EQ(parcel->get("number"), Value(7));
  EXPECT_FALSE(parcel->hasChanges());
}

TEST_F(StoredRecordTest, ARecordOutlivesItsBatchAndItsContext) {
  {
    QBYManagedObjectContext writer(store, QBYConcurrencyType::MainQueue);
    for (int i = 0; i < 9; ++i) {
      auto parcel = insert(writer, "Parcel");
      parcel->set("name", "parcel number " + std::to_string(i) + " with a longer name");
      parcel->set("number", i);
    }
    ASSERT_TRUE(writer.save());
  }
  QBYFetchRequest request;
  request.entityName = "Parcel";
  request.predicate = "t.number < 9";  // not the parcel SetUp wrote
  request.sortDescriptors = {{"number", true}};
  request.fetchBatchSize = 2;
  auto results = context->executeFetchRequest(request);
  ASSERT_TRUE(results);
  ASSERT_EQ(results->size(), 9u);
  auto kept = results->as<TestRecord>(1);
  // Walking on drops the early batches; only the kept record stays.
  for (std::size_t i = 0; i < results->size(); ++i) ASSERT_TRUE(results->at(i));
  EXPECT_EQ(kept->get("name"), Value("parcel number 1 with a longer name"));
  context.reset();
  EXPECT_EQ(kept->managedObjectContext(), nullptr);
  EXPECT_EQ(kept->get("number"), Value(1));
  EXPECT_EQ(kept->get("name"), Value("parcel number 1 with a longer name"));
}

TEST_F(StoredRecordTest, EveryFieldReadsBackInAnyOrder) {
  auto parcel = read();
  ASSERT_TRUE(parcel);
  const auto& attributes = parcel->entity().attributes;
  std::map<std::string, Value> backwards;
  for (auto attribute = attributes.rbegin(); attribute != attributes.rend(); ++attribute)
    backwards[attribute->name] = parcel->get(attribute->name);
  EXPECT_EQ(backwards["name"], Value("a name long enough to live outside the string"));
  EXPECT_EQ(backwards["title"], Value("the title"));
  EXPECT_EQ(backwards["blob"], Value(Data{9, 8, 7}));
  EXPECT_EQ(backwards["number"], Value(42));
  EXPECT_TRUE(backwards["weight"].isNull());
  EXPECT_TRUE(backwards["cache"].isNull());
  // A second pass reads the same values from the slots the first one filled.
  for (const auto& attribute : attributes)
    EXPECT_EQ(parcel->get(attribute.name), backwards[attribute.name]) << attribute.name;
}

// Entities without a maker get plain records whose slots live on the heap: they read, change
// and refresh like the others.
TEST(PlainRecordTest, AnEntityWithoutMakerStoresAndReadsItsRecords) {
  EntityDescription plain;
  plain.name = "Plain";
  plain.attributes = {{"text", AttributeType::String, Value(), false},
                      {"count", AttributeType::Integer, Value(3), false}};
  auto model =
      std::make_shared<const QBYManagedObjectModel>(1, std::vector<EntityDescription>{plain});
  const auto file = freshStorePath("Plain.sqlite");
  QBYError error;
  auto store = QBYPersistentStore::open(file, model, &error);
  ASSERT_TRUE(store) << error.description();
  QBYManagedObjectContext writer(store, QBYConcurrencyType::MainQueue);
  auto inserted = writer.insertNewObject("Plain");
  ASSERT_TRUE(inserted);
  EXPECT_EQ(inserted->valueForKey("count"), Value(3));
  inserted->setValueForKey(Value("a plain record's text, long enough for the heap"), "text");
  ASSERT_TRUE(writer.save(&error)) << error.description();

  QBYManagedObjectContext reader(store, QBYConcurrencyType::MainQueue);
  QBYFetchRequest request;
  request.entityName = "Plain";
  auto results = reader.executeFetchRequest(request, &error);
  ASSERT_TRUE(results) << error.description();
  ASSERT_EQ(results->size(), 1u);
  auto record = results->at(0);
  EXPECT_EQ(record->valueForKey("text"), Value("a plain record's text, long enough for the heap"));
  record->setValueForKey(Value(4), "count");
  ASSERT_TRUE(reader.save(&error)) << error.description();
  ASSERT_TRUE(execSQL(file, "UPDATE Plain SET text = 'changed'"));
  reader.refreshAllObjects();
  EXPECT_EQ(record->valueForKey("text"), Value("changed"));
  EXPECT_EQ(record->valueForKey("count"), Value(4));
}

}  // namespace
}  // namespace qby::test
