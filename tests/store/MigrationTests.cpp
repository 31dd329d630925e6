// Opening store files: new, older, newer, damaged, and files whose schema does not match.
#include <gtest/gtest.h>

#include <fstream>

#include "StoreTestSupport.h"
#include "support/TestSupport.h"

namespace qby::test {
namespace {

// A tiny model with a history: version 1 has notes with a text; version 2 adds a folded copy
// of the text, filled from the old rows, and an index.
std::shared_ptr<const QBYManagedObjectModel> notesModel(int version) {
  EntityDescription note;
  note.name = "Note";
  note.attributes = {{"text", AttributeType::String, {}, false}};
  if (version >= 2) note.attributes.push_back({"folded", AttributeType::String, {}, false});
  note.make = &makeRecord<TestRecord>;
  std::vector<QBYSchemaMigration> steps = {
      {1, "CREATE TABLE Note (Z_PK INTEGER PRIMARY KEY AUTOINCREMENT, text TEXT);"},
      {2,
       "ALTER TABLE Note ADD COLUMN folded TEXT; UPDATE Note SET folded = qby_fold(text); "
       "CREATE INDEX Note_folded ON Note (folded);"},
  };
  steps.resize(static_cast<std::size_t>(version));
  return std::make_shared<const QBYManagedObjectModel>(version,
                                                       std::vector<EntityDescription>{note}, steps);
}

TEST(Migration, ANewFileGetsEveryStep) {
  const auto file = freshStorePath();
  QBYError error;
  auto store = QBYPersistentStore::open(file, notesModel(2), &error);
  ASSERT_TRUE(store) << error.description();
  EXPECT_EQ(queryText(file, "PRAGMA user_version"), "2");
  EXPECT_EQ(queryText(file, "PRAGMA journal_mode"), "wal");
  EXPECT_EQ(queryText(file, "SELECT count(*) FROM sqlite_master WHERE name = 'Note_folded'"), "1");
}

TEST(Migration, AnOlderFileIsUpgradedWithItsData) {
  const auto file = freshStorePath();
  {
    auto store = QBYPersistentStore::open(file, notesModel(1));
    ASSERT_TRUE(store);
    QBYManagedObjectContext context(store, QBYConcurrencyType::MainQueue);
    for (const char* text : {"Zürich", "ÉCOLE", "plain"})
      insert(context, "Note")->set("text", text);
    ASSERT_TRUE(context.save());
  }
  EXPECT_EQ(queryText(file, "PRAGMA user_version"), "1");

  QBYError error;
  auto store = QBYPersistentStore::open(file, notesModel(2), &error);
  ASSERT_TRUE(store) << error.description();
  EXPECT_EQ(queryText(file, "PRAGMA user_version"), "2");
  QBYManagedObjectContext context(store, QBYConcurrencyType::MainQueue);
  auto notes = fetchAll(context, "Note");
  ASSERT_EQ(notes.size(), 3u);
  EXPECT_EQ(notes[0]->get("text"), Value("Zürich"));
  EXPECT_EQ(notes[0]->get("folded"), Value("zurich"));
  EXPECT_EQ(notes[1]->get("folded"), Value("ecole"));
  EXPECT_EQ(notes[2]->get("folded"), Value("plain"));
}

TEST(Migration, AFailingStepLeavesTheFileAsItWas) {
  const auto file = freshStorePath();
  ASSERT_TRUE(QBYPersistentStore::open(file, notesModel(1)));
  ASSERT_TRUE(execSQL(file, "INSERT INTO Note (text) VALUES ('kept')"));
  // A broken step 2: its first statement works, its second fails.
  auto broken = std::make_shared<const QBYManagedObjectModel>(
      2, notesModel(2)->entities(),
      std::vector<QBYSchemaMigration>{notesModel(1)->migrations()[0],
                                      {2,
                                       "ALTER TABLE Note ADD COLUMN folded TEXT; "
                                       "UPDATE NoSuchTable SET x = 1;"}});
  QBYError error;
  EXPECT_FALSE(QBYPersistentStore::open(file, broken, &error));
  EXPECT_EQ(error.code, QBYStoreErrorMigration);
  EXPECT_EQ(queryText(file, "PRAGMA user_version"), "1");
  EXPECT_EQ(queryText(file,
                      "SELECT count(*) FROM pragma_table_info('Note') WHERE name = "
                      "'folded'"),
            "0");
  EXPECT_EQ(queryText(file, "SELECT text FROM Note"), "kept");
  // The proper step still works afterwards.
  EXPECT_TRUE(QBYPersistentStore::open(file, notesModel(2), &error)) << error.description();
}

TEST(Migration, AFileOfANewerSchemaIsRefusedNotDowngraded) {
  const auto file = freshStorePath();
  ASSERT_TRUE(QBYPersistentStore::open(file, notesModel(2)));
  ASSERT_TRUE(execSQL(file, "PRAGMA user_version = 3"));
  QBYError error;
  EXPECT_FALSE(QBYPersistentStore::open(file, notesModel(2), &error));
  EXPECT_EQ(error.domain, QBYStoreErrorDomain);
  EXPECT_EQ(error.code, QBYStoreErrorNewerVersion);
  EXPECT_NE(error.localizedDescription.find("newer version"), std::string::npos);
  EXPECT_EQ(queryText(file, "PRAGMA user_version"), "3");
}

TEST(Migration, AModelChangeWithoutItsStepIsCaught) {
  const auto file = freshStorePath();
  ASSERT_TRUE(QBYPersistentStore::open(file, notesModel(1)));
  // Version 1 again, but the description grew an attribute that no step adds.
  auto forgotten = std::make_shared<const QBYManagedObjectModel>(1, notesModel(2)->entities(),
                                                                 notesModel(1)->migrations());
  QBYError error;
  EXPECT_FALSE(QBYPersistentStore::open(file, forgotten, &error));
  EXPECT_EQ(error.code, QBYStoreErrorSchemaMismatch);
  EXPECT_NE(error.localizedDescription.find("folded"), std::string::npos);
}

TEST(Migration, AModelWithoutHistoryRefusesAnOlderFile) {
  const auto file = freshStorePath();
  ASSERT_TRUE(QBYPersistentStore::open(file, shopModel(1)));
  QBYError error;
  EXPECT_FALSE(QBYPersistentStore::open(file, shopModel(2), &error));
  EXPECT_EQ(error.code, QBYStoreErrorMigration);
}

TEST(Migration, FilesThatAreNoDatabaseGiveAnErrorNotACrash) {
  const auto folder = makeTempDir("broken");
  std::string garbage;
  for (int i = 0; i < 8192; ++i) garbage += static_cast<char>((i * 37 + 11) % 256);
  const auto garbageFile = writeFile(folder / "garbage.sqlite", garbage);
  QBYError error;
  EXPECT_FALSE(QBYPersistentStore::open(garbageFile, shopModel(), &error));
  EXPECT_EQ(error.code, QBYStoreErrorUnreadable);

  // A real store cut short in the middle of its pages.
  const auto good = freshStorePath("good.sqlite");
  {
    auto store = openShop(good);
    QBYManagedObjectContext context(store, QBYConcurrencyType::MainQueue);
    for (int i = 0; i < 500; ++i) insert(context, "Parcel")->set("name", std::string(200, 'x'));
    ASSERT_TRUE(context.save());
  }
  ASSERT_TRUE(execSQL(good, "PRAGMA wal_checkpoint(TRUNCATE)"));
  std::ifstream in(good, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_GT(bytes.size(), 8192u);
  const auto truncated = writeFile(folder / "truncated.sqlite", bytes.substr(0, 6000));
  auto store = QBYPersistentStore::open(truncated, shopModel(), &error);
  if (store) {
    // SQLite may open a cut file whose schema page survived; reading the lost pages must then
    // fail cleanly.
    QBYManagedObjectContext context(store, QBYConcurrencyType::MainQueue);
    QBYFetchRequest request;
    request.entityName = "Parcel";
    auto results = context.executeFetchRequest(request, &error);
    if (results) {
      EXPECT_LT(results->size(), 500u);
    }
  } else {
    EXPECT_EQ(error.domain, QBYStoreErrorDomain);
  }

  // A header that claims to be SQLite with nonsense after it.
  const auto fake = writeFile(folder / "fake.sqlite",
                              std::string("SQLite format 3\0", 16) + std::string(4000, '\x7f'));
  EXPECT_FALSE(QBYPersistentStore::open(fake, shopModel(), &error));

  // A folder where the file should be.
  EXPECT_FALSE(QBYPersistentStore::open(folder, shopModel(), &error));
}

TEST(Migration, AnEmptyFileBecomesAStore) {
  const auto file = writeFile(makeTempDir("empty") / "empty.sqlite", "");
  QBYError error;
  EXPECT_TRUE(QBYPersistentStore::open(file, shopModel(), &error)) << error.description();
}

TEST(Migration, DestroyRemovesTheFileAndItsJournal) {
  const auto file = freshStorePath();
  {
    auto store = openShop(file);
    QBYManagedObjectContext context(store, QBYConcurrencyType::MainQueue);
    insert(context, "Parcel");
    ASSERT_TRUE(context.save());
  }
  EXPECT_TRUE(std::filesystem::exists(file));
  ASSERT_TRUE(QBYPersistentStore::destroy(file));
  for (const char* suffix : {"", "-wal", "-shm"})
    EXPECT_FALSE(std::filesystem::exists(file.string() + suffix)) << suffix;
  EXPECT_TRUE(QBYPersistentStore::destroy(file));  // nothing there is fine too
}

TEST(Migration, AContextLeftOverFromADestroyedStoreCannotHarmTheNewOne) {
  const auto file = freshStorePath();
  auto oldStore = openShop(file);
  auto oldContext =
      std::make_unique<QBYManagedObjectContext>(oldStore, QBYConcurrencyType::MainQueue);
  insert(*oldContext, "Parcel");
  ASSERT_TRUE(oldContext->save());

  oldStore->invalidate();
  ASSERT_TRUE(QBYPersistentStore::destroy(file));
  auto newStore = openShop(file);
  QBYManagedObjectContext newContext(newStore, QBYConcurrencyType::MainQueue);
  insert(newContext, "Parcel")->set("name", "new");
  ASSERT_TRUE(newContext.save());

  insert(*oldContext, "Parcel");
  QBYError error;
  EXPECT_FALSE(oldContext->save(&error));
  EXPECT_EQ(error.code, QBYStoreErrorDestroyed);
  // Closing the old connection must not take the new file's journal with it.
  oldContext.reset();
  oldStore.reset();
  EXPECT_EQ(fetchAll(newContext, "Parcel").size(), 1u);
  EXPECT_EQ(queryText(file, "SELECT name FROM Parcel"), "new");
  EXPECT_EQ(queryText(file, "PRAGMA integrity_check"), "ok");
}

}  // namespace
}  // namespace qby::test
