// Fetching: batches, prefetching, sorting with the localized collation, folded search, and
// requests that are wrong.
#include <gtest/gtest.h>

#include "StoreTestSupport.h"
#include "store/core/QBYTextFolding.h"

namespace qby::test {
namespace {

class FetchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    file = freshStorePath();
    store = openShop(file);
    ASSERT_TRUE(store);
    context = std::make_unique<QBYManagedObjectContext>(store, QBYConcurrencyType::MainQueue);
  }

  // Parcels numbered 0..count-1, each with `lines` lines and a carrier of its own every
  // tenth parcel, written by a context of their own.
  void fill(int count, int lines = 0) {
    QBYManagedObjectContext writer(store, QBYConcurrencyType::MainQueue);
    Record carrier;
    for (int i = 0; i < count; ++i) {
      if (i % 10 == 0) {
        carrier = insert(writer, "Carrier");
        carrier->set("name", "carrier " + std::to_string(i / 10));
      }
      auto parcel = insert(writer, "Parcel");
      parcel->set("number", i);
      parcel->set("name", "Parcel " + std::to_string(i));
      parcel->setOne("carrier", carrier);
      for (int l = 0; l < lines; ++l) {
        auto line = insert(writer, "Line");
        line->set("index", l);
        line->setOne("parcel", parcel);
      }
    }
    QBYError error;
    ASSERT_TRUE(writer.save(&error)) << error.description();
  }

  QBYFetchRequest parcels(std::size_t batchSize = 0) {
    QBYFetchRequest request;
    request.entityName = "Parcel";
    request.sortDescriptors = {{"number", true, false}};
    request.fetchBatchSize = batchSize;
    return request;
  }

  std::filesystem::path file;
  std::shared_ptr<QBYPersistentStore> store;
  std::unique_ptr<QBYManagedObjectContext> context;
};

TEST_F(FetchTest, BatchesLoadOnlyWhatIsRead) {
  fill(1000);
  context->resetStatistics();
  auto results = context->executeFetchRequest(parcels(20));
  ASSERT_TRUE(results);
  EXPECT_EQ(results->size(), 1000u);
  EXPECT_EQ(context->statistics().statements, 1u);  // the ids only
  EXPECT_EQ(context->statistics().rowsLoaded, 0u);

  auto first = results->as<TestRecord>(0);
  auto fifth = results->as<TestRecord>(5);
  auto last = results->as<TestRecord>(999);
  EXPECT_EQ(first->get("number"), Value(0));
  EXPECT_EQ(fifth->get("number"), Value(5));
  EXPECT_EQ(last->get("number"), Value(999));
  const auto statistics = context->statistics();
  EXPECT_EQ(statistics.batchLoads, 2u);
  EXPECT_EQ(statistics.rowsLoaded, 40u);
  EXPECT_EQ(statistics.statements, 3u);
  EXPECT_EQ(statistics.faultsFired, 0u);

  // Reading along a loaded batch costs nothing more.
  for (std::size_t i = 0; i < 20; ++i)
    EXPECT_EQ(results->as<TestRecord>(i)->get("number"), Value(static_cast<int>(i)));
  EXPECT_EQ(context->statistics().statements, 3u);
}

TEST_F(FetchTest, WalkingALongListDoesNotKeepItAlive) {
  fill(1000);
  auto results = context->executeFetchRequest(parcels(20));
  ASSERT_TRUE(results);
  std::vector<std::weak_ptr<QBYManagedObject>> seen;
  for (std::size_t i = 0; i < results->size(); ++i) {
    auto record = results->as<TestRecord>(i);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->get("number"), Value(static_cast<int>(i)));
    seen.push_back(record);
  }
  std::size_t alive = 0;
  for (auto& weak : seen) alive += weak.expired() ? 0 : 1;
  EXPECT_LE(alive, 40u);  // at most the last two batches
  EXPECT_EQ(context->statistics().batchLoads, 50u);
}

TEST_F(FetchTest, ALargeFetchLoadsNoRowsUntilRead) {
  fill(20000, 0);
  context->resetStatistics();
  auto request = parcels(20);
  auto results = context->executeFetchRequest(request);
  ASSERT_TRUE(results);
  EXPECT_EQ(results->size(), 20000u);
  EXPECT_EQ(context->statistics().rowsLoaded, 0u);
}

TEST_F(FetchTest, WithoutBatchSizeOneStatementLoadsEverything) {
  fill(100);
  context->resetStatistics();
  auto results = context->executeFetchRequest(parcels());
  ASSERT_TRUE(results);
  EXPECT_EQ(results->size(), 100u);
  EXPECT_EQ(context->statistics().statements, 1u);
  EXPECT_EQ(context->statistics().rowsLoaded, 100u);
  auto all = results->allAs<TestRecord>();
  EXPECT_EQ(all[42]->get("number"), Value(42));
  EXPECT_EQ(context->statistics().statements, 1u);
}

TEST_F(FetchTest, PrefetchingLoadsRelationshipsPerBatchInOneStatementEach) {
  fill(100, 3);
  context->resetStatistics();
  auto request = parcels(20);
  request.relationshipKeyPathsForPrefetching = {"lines", "carrier"};
  auto results = context->executeFetchRequest(request);
  ASSERT_TRUE(results);
  for (std::size_t i = 0; i < 20; ++i) {
    auto parcel = results->as<TestRecord>(i);
    EXPECT_EQ(parcel->many("lines").size(), 3u);
    ASSERT_TRUE(parcel->one("carrier"));
    EXPECT_EQ(parcel->one("carrier")->get("name"), Value("carrier " + std::to_string(i / 10)));
  }
  // ids, one batch, its lines, its carriers.
  EXPECT_EQ(context->statistics().statements, 4u);
  EXPECT_EQ(context->statistics().faultsFired, 0u);
}

// Lines written in turns across parcels, so row order and parcel order differ: a prefetched
// list must hold exactly the parcel's lines in row order, as a fault of the relationship reads
// them, with and without batches.
TEST_F(FetchTest, PrefetchedListsKeepRowOrderWhenLinesOfParcelsInterleave) {
  {
    QBYManagedObjectContext writer(store, QBYConcurrencyType::MainQueue);
    std::vector<Record> all;
    for (int i = 0; i < 30; ++i) {
      auto parcel = insert(writer, "Parcel");
      parcel->set("number", i);
      all.push_back(parcel);
    }
    ASSERT_TRUE(writer.save());
    for (int round = 0; round < 3; ++round) {
      for (int i = 29; i >= 0; --i) {
        if ((i + round) % 4 == 0) continue;  // most parcels skip one round
        auto line = insert(writer, "Line");
        line->set("index", round * 100 + i);
        line->setOne("parcel", all[static_cast<std::size_t>(i)]);
      }
      ASSERT_TRUE(writer.save());  // each round in its own rows, after the previous one
    }
  }
  auto indexes = [](const std::vector<std::shared_ptr<TestRecord>>& lines) {
    std::vector<Value> out;
    for (const auto& line : lines) out.push_back(line->get("index"));
    return out;
  };
  // What a fault reads, from a context of its own.
  QBYManagedObjectContext reference(store, QBYConcurrencyType::MainQueue);
  auto expected = reference.executeFetchRequest(parcels());
  ASSERT_TRUE(expected);
  for (std::size_t batchSize : {std::size_t(0), std::size_t(7)}) {
    context->reset();
    auto request = parcels(batchSize);
    request.relationshipKeyPathsForPrefetching = {"lines"};
    auto results = context->executeFetchRequest(request);
    ASSERT_TRUE(results);
    ASSERT_EQ(results->size(), 30u);
    context->resetStatistics();
    for (std::size_t i = 0; i < 30; ++i) {
      const auto want = indexes(expected->as<TestRecord>(i)->many("lines"));
      EXPECT_EQ(indexes(results->as<TestRecord>(i)->many("lines")), want)
          << "parcel " << i << ", batch size " << batchSize;
      EXPECT_EQ(want.size(), i % 4 == 1 ? 3u : 2u) << "parcel " << i;
    }
    EXPECT_EQ(context->statistics().faultsFired, 0u);
  }
}

TEST_F(FetchTest, PrefetchingWithoutBatchesUsesOneStatementPerRelationship) {
  fill(50, 2);
  context->resetStatistics();
  auto request = parcels();
  request.predicate = "t.number >= ?";
  request.arguments = {Value(10)};
  request.fetchLimit = 25;
  request.relationshipKeyPathsForPrefetching = {"lines", "carrier", "note"};
  auto results = context->executeFetchRequest(request);
  ASSERT_TRUE(results);
  ASSERT_EQ(results->size(), 25u);
  EXPECT_EQ(context->statistics().statements, 4u);
  std::size_t lines = 0;
  for (auto& parcel : results->allAs<TestRecord>()) {
    lines += parcel->many("lines").size();
    EXPECT_TRUE(parcel->one("carrier"));
    EXPECT_FALSE(parcel->one("note"));
  }
  EXPECT_EQ(lines, 50u);
  EXPECT_EQ(context->statistics().statements, 4u);
}

TEST_F(FetchTest, FetchingDoesNotLoadRelationshipsUnasked) {
  fill(30, 5);
  context->resetStatistics();
  auto results = context->executeFetchRequest(parcels());
  ASSERT_TRUE(results);
  EXPECT_EQ(context->statistics().rowsLoaded, 30u);  // no lines, no carriers
}

TEST_F(FetchTest, RowsDeletedAfterTheIdsWereReadAreAnsweredAsNothing) {
  fill(40);
  auto results = context->executeFetchRequest(parcels(20));
  ASSERT_TRUE(results);
  ASSERT_TRUE(execSQL(file, "DELETE FROM Parcel WHERE number = 25"));
  EXPECT_TRUE(results->at(24));
  EXPECT_FALSE(results->at(25));
  EXPECT_EQ(results->all().size(), 39u);
}

TEST_F(FetchTest, LocalizedSortComparesNumbersByValue) {
  for (const char* name : {"Item 10", "item 1", "Item 2", "Élan", "Apple", "Zebra"}) {
    insert(*context, "Parcel")->set("name", name);
  }
  ASSERT_TRUE(context->save());
  QBYFetchRequest request;
  request.entityName = "Parcel";
  request.sortDescriptors = {{"name", true, true}};
  auto sorted = context->executeFetchRequest(request)->allAs<TestRecord>();
  std::vector<std::string> names;
  for (auto& parcel : sorted) names.push_back(*parcel->get("name").asString());
  EXPECT_EQ(names,
            (std::vector<std::string>{"Apple", "Élan", "item 1", "Item 2", "Item 10", "Zebra"}));

  request.sortDescriptors = {{"name", false, true}};
  sorted = context->executeFetchRequest(request)->allAs<TestRecord>();
  EXPECT_EQ(sorted.front()->get("name"), Value("Zebra"));

  // Plain comparison for contrast: byte order puts "Item 10" before "Item 2".
  request.sortDescriptors = {{"name", true, false}};
  sorted = context->executeFetchRequest(request)->allAs<TestRecord>();
  EXPECT_EQ(sorted[1]->get("name"), Value("Item 10"));
}

TEST(TextFolding, FoldsCaseAndDiacritics) {
  EXPECT_EQ(foldForSearch("Zürich"), foldForSearch("ZURICH"));
  EXPECT_EQ(foldForSearch("Zürich"), "zurich");
  EXPECT_EQ(foldForSearch("ÉCOLE"), "ecole");
  EXPECT_EQ(foldForSearch("Straße"), foldForSearch("STRASSE"));
  EXPECT_EQ(foldForSearch("Ça Va"), "ca va");
  EXPECT_EQ(foldForSearch("1Z999AA10123456784"), "1z999aa10123456784");
  EXPECT_EQ(foldForSearch(""), "");
  // Invalid UTF-8 gives valid text, not a crash.
  const std::string broken("\xC3\x28 ok \xFF", 7);
  EXPECT_NE(foldForSearch(broken).find(" ok "), std::string::npos);
}

TEST_F(FetchTest, FoldedSearchFindsTextsWhateverTheirCaseAndAccents) {
  for (const char* name : {"Zürich Hauptbahnhof", "ÉCOLE normale", "Berlin"}) {
    insert(*context, "Parcel")->set("name", name);
  }
  ASSERT_TRUE(context->save());
  auto search = [&](const std::string& word) {
    std::vector<std::string> names;
    for (auto& parcel :
         fetchAll(*context, "Parcel", "instr(qby_fold(t.name), qby_fold(?)) > 0", {Value(word)}))
      names.push_back(*parcel->get("name").asString());
    return names;
  };
  EXPECT_EQ(search("zurich"), std::vector<std::string>{"Zürich Hauptbahnhof"});
  EXPECT_EQ(search("ZÜRICH"), std::vector<std::string>{"Zürich Hauptbahnhof"});
  EXPECT_EQ(search("ecole"), std::vector<std::string>{"ÉCOLE normale"});
  EXPECT_EQ(search("École"), std::vector<std::string>{"ÉCOLE normale"});
  EXPECT_TRUE(search("paris").empty());
  EXPECT_EQ(search("").size(), 3u);
  EXPECT_EQ(queryText(file, "SELECT count(*) FROM Parcel"), "3");
}

TEST_F(FetchTest, ArrayArgumentsFillOnePlaceholder) {
  fill(10);
  auto found = fetchAll(*context, "Parcel", "t.number IN (?) AND t.name != ?",
                        {Value(Array{Value(2), Value(5), Value(7)}), Value("Parcel 5")});
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0]->get("number"), Value(2));
  EXPECT_EQ(found[1]->get("number"), Value(7));
  EXPECT_TRUE(fetchAll(*context, "Parcel", "t.number IN (?)", {Value(Array{})}).empty());
  // A question mark inside a quoted text is no placeholder.
  EXPECT_TRUE(
      fetchAll(*context, "Parcel", "t.name = '?' AND t.number IN (?)", {Value(Array{Value(1)})})
          .empty());
}

TEST_F(FetchTest, LimitsAndCounts) {
  fill(30);
  auto request = parcels();
  request.fetchLimit = 7;
  EXPECT_EQ(context->executeFetchRequest(request)->size(), 7u);
  EXPECT_EQ(context->countForFetchRequest(request), 7u);
  request.fetchLimit = 0;
  request.predicate = "t.number % 2 = 0";
  EXPECT_EQ(context->countForFetchRequest(request), 15u);
}

TEST_F(FetchTest, WrongRequestsGiveErrorsNotCrashes) {
  QBYError error;
  QBYFetchRequest request;
  request.entityName = "Nothing";
  EXPECT_FALSE(context->executeFetchRequest(request, &error));
  EXPECT_EQ(error.code, QBYStoreErrorInvalidRequest);

  request = parcels();
  request.sortDescriptors = {{"cache", true, false}};  // transient: not in the file
  EXPECT_FALSE(context->executeFetchRequest(request, &error));
  EXPECT_EQ(error.code, QBYStoreErrorInvalidRequest);

  request = parcels();
  request.relationshipKeyPathsForPrefetching = {"lines.parcel"};
  EXPECT_FALSE(context->executeFetchRequest(request, &error));

  request = parcels();
  request.predicate = "t.name = = 'broken";
  EXPECT_FALSE(context->executeFetchRequest(request, &error));
  EXPECT_EQ(error.domain, QBYStoreErrorDomain);
  EXPECT_EQ(error.code, QBYStoreErrorSQLite);
  EXPECT_FALSE(context->countForFetchRequest(request, &error));

  // The context still works afterwards.
  EXPECT_TRUE(context->executeFetchRequest(parcels()));
}

}  // namespace
}  // namespace qby::test
