// Records and contexts: round trips, identity, change tracking, delete rules, saves that fail,
// refreshes after other connections wrote.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "StoreTestSupport.h"
#include "platform/MainQueue.h"
#include "store/core/QBYStoreInternal.h"

namespace qby::test {
namespace {

class ContextTest : public ::testing::Test {
 protected:
  void SetUp() override {
    file = freshStorePath();
    store = openShop(file);
    ASSERT_TRUE(store);
    context = std::make_unique<QBYManagedObjectContext>(store, QBYConcurrencyType::MainQueue);
  }

  std::unique_ptr<QBYManagedObjectContext> another() {
    return std::make_unique<QBYManagedObjectContext>(store, QBYConcurrencyType::MainQueue);
  }

  bool save(QBYManagedObjectContext& c) {
    QBYError error;
    const bool ok = c.save(&error);
    EXPECT_TRUE(ok) << error.description();
    return ok;
  }

  std::filesystem::path file;
  std::shared_ptr<QBYPersistentStore> store;
  std::unique_ptr<QBYManagedObjectContext> context;
};

TEST_F(ContextTest, EveryAttributeKindSurvivesARoundTrip) {
  auto parcel = insert(*context, "Parcel");
  parcel->set("name", "Grüße 📦");
  parcel->set("number", 1234567890123LL);
  parcel->set("weight", 2.5);
  parcel->set("archived", true);
  parcel->set("when", Date(1700000000.25));
  parcel->set("blob", Data{0, 1, 2, 255});
  parcel->set("cache", "not stored");
  EXPECT_EQ(parcel->get("title"), Value(""));  // default on insert
  ASSERT_TRUE(save(*context));

  auto reader = another();
  auto found = fetchAll(*reader, "Parcel");
  ASSERT_EQ(found.size(), 1u);
  EXPECT_NE(found[0].get(), parcel.get());
  EXPECT_EQ(found[0]->get("name"), Value("Grüße 📦"));
  EXPECT_EQ(found[0]->get("number"), Value(1234567890123LL));
  EXPECT_EQ(found[0]->get("weight"), Value(2.5));
  EXPECT_EQ(found[0]->get("archived"), Value(true));
  EXPECT_EQ(found[0]->get("when"), Value(Date(1700000000.25)));
  EXPECT_EQ(found[0]->get("blob"), Value(Data{0, 1, 2, 255}));
  EXPECT_EQ(found[0]->get("title"), Value(""));
  EXPECT_TRUE(found[0]->get("cache").isNull());
}

TEST_F(ContextTest, AbsentAndEmptyTextsStayApart) {
  auto a = insert(*context, "Parcel");
  a->set("name", "");
  auto b = insert(*context, "Parcel");
  b->set("title", Value());
  ASSERT_TRUE(save(*context));
  auto reader = another();
  auto found = fetchAll(*reader, "Parcel");
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0]->get("name"), Value(""));
  EXPECT_TRUE(found[1]->get("name").isNull());
  EXPECT_TRUE(found[1]->get("title").isNull());
}

TEST_F(ContextTest, ValuesOfTheWrongKindAreConvertedOrIgnored) {
  auto parcel = insert(*context, "Parcel");
  parcel->set("number", 2.9);  // numbers convert among each other
  parcel->set("weight", 3);
  parcel->set("name", "kept");
  parcel->set("name", 17);  // a number is no text: the write is ignored
  parcel->set("unknown", "ignored");
  EXPECT_EQ(parcel->get("number"), Value(2));
  EXPECT_EQ(parcel->get("weight"), Value(3.0));
  EXPECT_EQ(parcel->get("name"), Value("kept"));
  EXPECT_TRUE(parcel->get("unknown").isNull());
}

TEST_F(ContextTest, TemporaryIdentitiesBecomeRowIDsOnSave) {
  auto parcel = insert(*context, "Parcel");
  const auto temporary = parcel->objectID();
  EXPECT_TRUE(temporary.isTemporary());
  EXPECT_EQ(temporary.description().rfind("Parcel/t", 0), 0u);
  EXPECT_EQ(context->existingObjectWithID(temporary), parcel);

  ASSERT_TRUE(save(*context));
  const auto saved = parcel->objectID();
  EXPECT_FALSE(saved.isTemporary());
  EXPECT_EQ(saved.description(), "Parcel/p" + std::to_string(saved.rowID));
  EXPECT_FALSE(parcel->isInserted());
  EXPECT_FALSE(parcel->hasChanges());
  EXPECT_EQ(context->existingObjectWithID(saved), parcel);

  auto reader = another();
  auto other = reader->existingObjectWithID(saved);
  ASSERT_TRUE(other);
  EXPECT_EQ(other->objectID().rowID, saved.rowID);
}

TEST_F(ContextTest, OneRowIsOneRecordWhileItIsInUse) {
  auto parcel = insert(*context, "Parcel");
  parcel->set("name", "a");
  ASSERT_TRUE(save(*context));

  auto reader = another();
  auto first = fetchAll(*reader, "Parcel");
  auto second = fetchAll(*reader, "Parcel", "t.name = ?", {Value("a")});
  ASSERT_EQ(first.size(), 1u);
  ASSERT_EQ(second.size(), 1u);
  EXPECT_EQ(first[0].get(), second[0].get());
  EXPECT_EQ(reader->existingObjectWithID(first[0]->objectID()), first[0]);

  // Nobody holds the record any more: the context does not keep it.
  std::weak_ptr<TestRecord> weak = first[0];
  first.clear();
  second.clear();
  EXPECT_TRUE(weak.expired());
  EXPECT_EQ(fetchAll(*reader, "Parcel").size(), 1u);
}

TEST_F(ContextTest, RecordsWithPendingChangesAreHeldByTheContext) {
  auto parcel = insert(*context, "Parcel");
  ASSERT_TRUE(save(*context));
  const auto id = parcel->objectID();
  parcel->set("name", "changed");
  std::weak_ptr<TestRecord> weak = parcel;
  parcel.reset();
  EXPECT_FALSE(weak.expired());
  auto again = std::static_pointer_cast<TestRecord>(context->existingObjectWithID(id));
  EXPECT_EQ(again->get("name"), Value("changed"));
  EXPECT_TRUE(context->hasChanges());
}

TEST_F(ContextTest, SavingWritesOnlyTheChangedColumns) {
  auto parcel = insert(*context, "Parcel");
  parcel->set("name", "original");
  parcel->set("number", 1);
  ASSERT_TRUE(save(*context));

  auto one = another();
  auto two = another();
  auto a = fetchAll(*one, "Parcel")[0];
  auto b = fetchAll(*two, "Parcel")[0];
  a->set("name", "from one");
  b->set("number", 2);
  EXPECT_EQ(a->changedKeys(), std::vector<std::string>{"name"});
  ASSERT_TRUE(save(*one));
  ASSERT_TRUE(save(*two));

  EXPECT_EQ(queryText(file, "SELECT name || '/' || number FROM Parcel"), "from one/2");

  // The same field changed twice: the later save wins.
  a->set("number", 7);
  b->set("number", 8);
  ASSERT_TRUE(save(*one));
  ASSERT_TRUE(save(*two));
  EXPECT_EQ(queryText(file, "SELECT number FROM Parcel"), "8");
}

TEST_F(ContextTest, SettingTheSameValueIsNoChange) {
  auto parcel = insert(*context, "Parcel");
  parcel->set("name", "x");
  ASSERT_TRUE(save(*context));
  parcel->set("name", "x");
  EXPECT_FALSE(parcel->hasChanges());
  EXPECT_FALSE(context->hasChanges());
}

TEST_F(ContextTest, SaveWithoutChangesRunsNoStatement) {
  context->resetStatistics();
  EXPECT_TRUE(save(*context));
  EXPECT_EQ(context->statistics().statements, 0u);
}

TEST_F(ContextTest, RelationshipsKeepBothSidesInStep) {
  auto p1 = insert(*context, "Parcel");
  auto p2 = insert(*context, "Parcel");
  auto line = insert(*context, "Line");
  auto note = insert(*context, "Note");

  line->setOne("parcel", p1);
  EXPECT_EQ(p1->many("lines").size(), 1u);
  p2->add("lines", line);  // moves the line
  EXPECT_TRUE(p1->many("lines").empty());
  EXPECT_EQ(p2->many("lines").size(), 1u);
  EXPECT_EQ(line->one("parcel"), p2);
  p2->remove("lines", line);
  EXPECT_FALSE(line->one("parcel"));
  line->setOne("parcel", p1);

  p1->setOne("note", note);  // key on the note's side
  EXPECT_EQ(note->one("parcel"), p1);
  p2->setOne("note", note);  // one to one: p1 lets go
  EXPECT_FALSE(p1->one("note"));
  EXPECT_EQ(p2->one("note"), note);
  ASSERT_TRUE(save(*context));

  auto reader = another();
  auto parcels = fetchAll(*reader, "Parcel");
  ASSERT_EQ(parcels.size(), 2u);
  ASSERT_EQ(parcels[0]->many("lines").size(), 1u);
  EXPECT_TRUE(parcels[1]->many("lines").empty());
  EXPECT_FALSE(parcels[0]->one("note"));
  ASSERT_TRUE(parcels[1]->one("note"));
  EXPECT_EQ(parcels[1]->one("note")->one("parcel"), parcels[1]);
}

TEST_F(ContextTest, ChildrenInsertedBeforeTheirParentStillGetItsRowID) {
  // The line is inserted first, so its key must wait for the parcel's row id.
  auto line = insert(*context, "Line");
  auto carrier = insert(*context, "Carrier");
  auto parcel = insert(*context, "Parcel");
  line->setOne("parcel", parcel);
  parcel->setOne("carrier", carrier);
  ASSERT_TRUE(save(*context));
  EXPECT_EQ(queryText(file,
                      "SELECT count(*) FROM Line l JOIN Parcel p ON l.parcel = p.Z_PK "
                      "JOIN Carrier c ON p.carrier = c.Z_PK"),
            "1");
}

TEST_F(ContextTest, DeletingCascadesAndNullifies) {
  auto carrier = insert(*context, "Carrier");
  auto parcel = insert(*context, "Parcel");
  auto keep = insert(*context, "Parcel");
  parcel->setOne("carrier", carrier);
  keep->setOne("carrier", carrier);
  for (int i = 0; i < 3; ++i) insert(*context, "Line")->setOne("parcel", parcel);
  insert(*context, "Note")->setOne("parcel", parcel);
  ASSERT_TRUE(save(*context));

  auto lines = parcel->many("lines");
  context->deleteObject(parcel);
  EXPECT_TRUE(parcel->isDeleted());
  for (auto& line : lines) EXPECT_TRUE(line->isDeleted());
  EXPECT_EQ(carrier->many("parcels").size(), 1u);
  ASSERT_TRUE(save(*context));
  EXPECT_EQ(queryText(file, "SELECT count(*) FROM Parcel"), "1");
  EXPECT_EQ(queryText(file, "SELECT count(*) FROM Line"), "0");
  EXPECT_EQ(queryText(file, "SELECT count(*) FROM Note"), "0");
  EXPECT_EQ(parcel->managedObjectContext(), nullptr);

  // Nullify: the parcel stays, without carrier.
  context->deleteObject(carrier);
  EXPECT_FALSE(keep->one("carrier"));
  ASSERT_TRUE(save(*context));
  EXPECT_EQ(queryText(file, "SELECT count(*) FROM Parcel WHERE carrier IS NULL"), "1");
  EXPECT_EQ(queryText(file, "SELECT count(*) FROM Carrier"), "0");
}

TEST_F(ContextTest, CascadeReachesRowsTheContextNeverLoaded) {
  auto parcel = insert(*context, "Parcel");
  ASSERT_TRUE(save(*context));
  const auto id = parcel->objectID();

  // Another context adds lines the first one knows nothing about.
  auto writer = another();
  auto theirs = std::static_pointer_cast<TestRecord>(writer->existingObjectWithID(id));
  insert(*writer, "Line")->setOne("parcel", theirs);
  insert(*writer, "Line")->setOne("parcel", theirs);
  ASSERT_TRUE(save(*writer));

  context->deleteObject(parcel);
  ASSERT_TRUE(save(*context));
  EXPECT_EQ(queryText(file, "SELECT count(*) FROM Line"), "0");
}

TEST_F(ContextTest, DeletingAnUnsavedRecordLeavesNothingToSave) {
  auto parcel = insert(*context, "Parcel");
  context->deleteObject(parcel);
  EXPECT_FALSE(context->hasChanges());
  context->resetStatistics();
  ASSERT_TRUE(save(*context));
  EXPECT_EQ(context->statistics().statements, 0u);
  EXPECT_EQ(queryText(file, "SELECT count(*) FROM Parcel"), "0");
}

TEST_F(ContextTest, AFailedSaveChangesNothingAndKeepsTheChanges) {
  auto existing = insert(*context, "Parcel");
  existing->set("name", "before");
  ASSERT_TRUE(save(*context));
  // A constraint the save runs into half-way: lines with the text "boom" are refused.
  ASSERT_TRUE(execSQL(file,
                      "CREATE TRIGGER refuse BEFORE INSERT ON Line WHEN new.text = 'boom' "
                      "BEGIN SELECT RAISE(ABORT, 'refused'); END"));

  existing->set("name", "after");
  auto parcel = insert(*context, "Parcel");
  auto good = insert(*context, "Line");
  good->setOne("parcel", parcel);
  auto bad = insert(*context, "Line");
  bad->set("text", "boom");
  bad->setOne("parcel", parcel);

  QBYError error;
  EXPECT_FALSE(context->save(&error));
  EXPECT_EQ(error.domain, QBYStoreErrorDomain);
  EXPECT_NE(error.localizedDescription.find("refused"), std::string::npos);
  EXPECT_EQ(queryText(file, "SELECT count(*) FROM Parcel"), "1");
  EXPECT_EQ(queryText(file, "SELECT count(*) FROM Line"), "0");
  EXPECT_EQ(queryText(file, "SELECT name FROM Parcel"), "before");

  EXPECT_TRUE(context->hasChanges());
  EXPECT_TRUE(parcel->isInserted());
  EXPECT_TRUE(parcel->objectID().isTemporary());
  EXPECT_EQ(existing->changedKeys(), std::vector<std::string>{"name"});

  // Fixing the cause lets the same changes through.
  bad->set("text", "fine");
  ASSERT_TRUE(save(*context));
  EXPECT_EQ(queryText(file, "SELECT count(*) FROM Line WHERE parcel = " +
                                std::to_string(parcel->objectID().rowID)),
            "2");
  EXPECT_EQ(queryText(file, "SELECT name FROM Parcel WHERE Z_PK = " +
                                std::to_string(existing->objectID().rowID)),
            "after");
}

TEST_F(ContextTest, RefreshSeesWhatAnotherConnectionWrote) {
  auto parcel = insert(*context, "Parcel");
  parcel->set("name", "old");
  auto line = insert(*context, "Line");
  line->setOne("parcel", parcel);
  ASSERT_TRUE(save(*context));
  EXPECT_EQ(parcel->many("lines").size(), 1u);

  ASSERT_TRUE(execSQL(file,
                      "UPDATE Parcel SET name = 'new'; INSERT INTO Line (parcel, text) "
                      "SELECT Z_PK, 'second' FROM Parcel"));
  EXPECT_EQ(parcel->get("name"), Value("old"));  // loaded records keep what they read
  const int faultsBefore = parcel->faultCount;
  context->refreshAllObjects();
  EXPECT_TRUE(parcel->isFault());
  EXPECT_EQ(parcel->faultCount, faultsBefore + 1);
  EXPECT_EQ(parcel->get("name"), Value("new"));
  EXPECT_EQ(parcel->many("lines").size(), 2u);
}

TEST_F(ContextTest, ARowDeletedMeanwhileReadsAsEmpty) {
  auto parcel = insert(*context, "Parcel");
  parcel->set("name", "soon gone");
  ASSERT_TRUE(save(*context));
  ASSERT_TRUE(execSQL(file, "DELETE FROM Parcel"));
  context->refreshAllObjects();
  EXPECT_TRUE(parcel->get("name").isNull());
  EXPECT_TRUE(parcel->isDeleted());
  EXPECT_TRUE(parcel->many("lines").empty());
  EXPECT_FALSE(context->existingObjectWithID(parcel->objectID()));
}

TEST_F(ContextTest, RefreshKeepsPendingChanges) {
  auto parcel = insert(*context, "Parcel");
  parcel->set("name", "mine");
  parcel->set("number", 1);
  ASSERT_TRUE(save(*context));
  parcel->set("name", "edited");
  ASSERT_TRUE(execSQL(file, "UPDATE Parcel SET name = 'theirs', number = 5"));
  context->refreshAllObjects();
  EXPECT_EQ(parcel->get("name"), Value("edited"));
  ASSERT_TRUE(save(*context));
  // In-memory changes win for the field that changed; the other field keeps their write.
  EXPECT_EQ(queryText(file, "SELECT name || '/' || number FROM Parcel"), "edited/5");

  parcel->set("name", "discarded");
  context->refreshObject(parcel, false);
  EXPECT_FALSE(context->hasChanges());
  EXPECT_EQ(parcel->get("name"), Value("edited"));
}

TEST_F(ContextTest, SavingAChangeToARowSomeoneDeletedDoesNotResurrectIt) {
  auto parcel = insert(*context, "Parcel");
  ASSERT_TRUE(save(*context));
  parcel->set("name", "late edit");
  ASSERT_TRUE(execSQL(file, "DELETE FROM Parcel"));
  ASSERT_TRUE(save(*context));
  EXPECT_TRUE(parcel->isDeleted());
  EXPECT_EQ(queryText(file, "SELECT count(*) FROM Parcel"), "0");
}

TEST_F(ContextTest, BatchDeleteAppliesTheRulesInTheFile) {
  auto carrier = insert(*context, "Carrier");
  std::vector<Record> parcels;
  for (int i = 0; i < 4; ++i) {
    auto parcel = insert(*context, "Parcel");
    parcel->set("number", i);
    parcel->setOne("carrier", carrier);
    insert(*context, "Line")->setOne("parcel", parcel);
    insert(*context, "Note")->setOne("parcel", parcel);
    parcels.push_back(parcel);
  }
  ASSERT_TRUE(save(*context));
  auto loadedLine = parcels[0]->many("lines")[0];

  QBYError error;
  ASSERT_TRUE(context->batchDelete("Parcel", "t.number < ?", {Value(2)}, &error))
      << error.description();
  EXPECT_EQ(queryText(file, "SELECT count(*) FROM Parcel"), "2");
  EXPECT_EQ(queryText(file, "SELECT count(*) FROM Line"), "2");
  EXPECT_EQ(queryText(file, "SELECT count(*) FROM Note"), "2");
  EXPECT_TRUE(parcels[0]->isDeleted());
  EXPECT_TRUE(loadedLine->isDeleted());
  EXPECT_FALSE(parcels[2]->isDeleted());
  EXPECT_EQ(carrier->many("parcels").size(), 2u);

  // By identity; then a carrier, whose parcels stay without it.
  ASSERT_TRUE(context->batchDeleteObjectIDs({parcels[2]->objectID()}, &error));
  EXPECT_EQ(queryText(file, "SELECT count(*) FROM Line"), "1");
  ASSERT_TRUE(context->batchDeleteObjectIDs({carrier->objectID()}, &error));
  EXPECT_EQ(queryText(file, "SELECT count(*) FROM Parcel WHERE carrier IS NULL"), "1");
  EXPECT_FALSE(parcels[3]->one("carrier"));

  EXPECT_FALSE(context->batchDelete("Parcel", "t.nosuchcolumn = 1", {}, &error));
  EXPECT_FALSE(context->batchDelete("Nothing", "", {}, &error));
  EXPECT_EQ(error.code, QBYStoreErrorInvalidRequest);
}

TEST_F(ContextTest, FetchesSeeUnsavedChanges) {
  auto saved = insert(*context, "Parcel");
  saved->set("name", "saved");
  auto doomed = insert(*context, "Parcel");
  doomed->set("name", "doomed");
  ASSERT_TRUE(save(*context));

  auto fresh = insert(*context, "Parcel");
  fresh->set("name", "fresh");
  saved->set("name", "renamed");
  context->deleteObject(doomed);

  auto all = fetchAll(*context, "Parcel");
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0], saved);
  EXPECT_EQ(all[1], fresh);
  EXPECT_EQ(fetchAll(*context, "Parcel", "t.name = 'renamed'").size(), 1u);
  EXPECT_TRUE(fetchAll(*context, "Parcel", "t.name = 'saved'").empty());
  EXPECT_EQ(countOf(*context, "Parcel"), 2u);
  // Nothing of it reached the file, and the changes are still pending.
  EXPECT_EQ(queryText(file, "SELECT group_concat(name) FROM Parcel"), "saved,doomed");
  EXPECT_TRUE(fresh->isInserted());
  ASSERT_TRUE(save(*context));
  EXPECT_EQ(queryText(file, "SELECT group_concat(name) FROM Parcel"), "renamed,fresh");
}

TEST_F(ContextTest, PrivateQueueContextRunsBlocksOnItsQueue) {
  QBYManagedObjectContext background(store, QBYConcurrencyType::PrivateQueue);
  std::thread::id ran;
  background.performAndWait([&] {
    ran = std::this_thread::get_id();
    auto parcel = insert(background, "Parcel");
    parcel->set("name", "from the background");
    EXPECT_TRUE(background.save());
  });
  EXPECT_NE(ran, std::this_thread::get_id());
  EXPECT_EQ(queryText(file, "SELECT name FROM Parcel"), "from the background");

  // Nested performAndWait on the queue runs at once instead of waiting for itself.
  bool nested = false;
  background.performAndWait([&] { background.performAndWait([&] { nested = true; }); });
  EXPECT_TRUE(nested);

  std::atomic<bool> done{false};
  background.perform([&] { done = true; });
  EXPECT_TRUE(MainQueue::runUntil([&] { return done.load(); }, 30));
}

TEST_F(ContextTest, MainQueueContextPerformsOnTheMainThread) {
  bool ran = false;
  context->perform([&] { ran = MainQueue::isMainThread(); });
  EXPECT_TRUE(MainQueue::runUntil([&] { return ran; }, 30));

  // From another thread, performAndWait hops onto the main loop.
  bool onMain = false;
  std::atomic<bool> finished{false};
  std::thread worker([&] {
    context->performAndWait([&] { onMain = MainQueue::isMainThread(); });
    finished = true;
  });
  EXPECT_TRUE(MainQueue::runUntil([&] { return finished.load(); }, 30));
  worker.join();
  EXPECT_TRUE(onMain);
}

TEST_F(ContextTest, ResetForgetsEverything) {
  auto parcel = insert(*context, "Parcel");
  context->reset();
  EXPECT_FALSE(context->hasChanges());
  EXPECT_EQ(parcel->managedObjectContext(), nullptr);
  ASSERT_TRUE(save(*context));
  EXPECT_EQ(queryText(file, "SELECT count(*) FROM Parcel"), "0");
}

TEST_F(ContextTest, RecordsOutliveTheirContextSafely) {
  auto parcel = insert(*context, "Parcel");
  parcel->set("name", "x");
  ASSERT_TRUE(save(*context));
  context->refreshAllObjects();
  context.reset();
  EXPECT_EQ(parcel->managedObjectContext(), nullptr);
  EXPECT_TRUE(parcel->get("name").isNull());
  EXPECT_TRUE(parcel->many("lines").empty());
}

}  // namespace
}  // namespace qby::test
