// The delivery store: opening at its location, version bookkeeping, caches, saving, bulk
// deletion, destroying, and the user-facing error for files it cannot use.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <thread>

#include "StoreTestSupport.h"
#include "model/Delivery.h"
#include "model/Detail.h"
#include "model/QBYModel.h"
#include "platform/MainQueue.h"
#include "platform/QBYUserDefaults.h"
#include "platform/Resources.h"
#include "store/QBYDataStore.h"
#include "support/TestSupport.h"

namespace qby::test {
namespace {

std::size_t deliveryCount(QBYManagedObjectContext& context) {
  QBYFetchRequest request;
  request.entityName = "Delivery";
  return context.countForFetchRequest(request).value_or(999999);
}

std::shared_ptr<QBYManagedObject> newDelivery(QBYManagedObjectContext& context,
                                              const std::string& uuid) {
  auto delivery = context.insertNewObject("Delivery");
  delivery->setValueForKey(Value(uuid), "uuid");
  return delivery;
}

class DataStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto& defaults = QBYDataStore::sharedDefaults();
    for (const char* key :
         {QBYLastInstalledVersionKey, QBYLastOpenedVersionKey, QBYCurrentVersionFirstLaunchDateKey})
      defaults.removeObjectForKey(key);
    // Tests of one process share a home: each starts without a store file.
    QBYPersistentStore::destroy(QBYDataStore::storeURL());
  }
  LogCapture logs;
};

TEST_F(DataStoreTest, LocationsLieInTheContainerAndCaches) {
  const auto home = qby::test::home();
  EXPECT_EQ(QBYDataStore::storeURL(), QBYDataStore::sharedContainerURL() / "Porvane.sqlite");
  EXPECT_EQ(QBYDataStore::storeURL().string().rfind(home.string(), 0), 0u);
  const auto records = QBYDataStore::externalRecordsURL();
  EXPECT_EQ(records, QBYDataStore::cachesURL() / "Metadata" / "CoreData" / "Porvane");
  EXPECT_TRUE(std::filesystem::is_directory(records));
  EXPECT_EQ(QBYDataStore::managedObjectModel()->version(), QBYModelVersion);
}

TEST_F(DataStoreTest, FirstLaunchCreatesAnAvailableStore) {
  QBYDataStore store;
  EXPECT_TRUE(store.available());
  EXPECT_FALSE(store.error());
  EXPECT_EQ(store.previousVersionAtOpen(), 0u);
  EXPECT_EQ(store.currentVersionAtOpen(), Resources::buildNumber());
  EXPECT_TRUE(std::filesystem::exists(QBYDataStore::storeURL()));
  ASSERT_TRUE(store.viewContext());
  EXPECT_EQ(store.viewContext()->concurrencyType(), QBYConcurrencyType::MainQueue);
  EXPECT_TRUE(logs.linesContaining("Database is missing").empty());
}

TEST_F(DataStoreTest, AVanishedStoreIsAFirstLaunchAgain) {
  QBYDataStore::sharedDefaults().setInteger(1200, QBYLastInstalledVersionKey);
  QBYDataStore store;
  EXPECT_TRUE(store.available());
  EXPECT_EQ(store.previousVersionAtOpen(), 0u);
  EXPECT_EQ(QBYDataStore::previousVersion(), 0u);
  EXPECT_EQ(logs.linesContaining("Database is missing but previous version was 1200").size(), 1u);

  // The next launch finds the file: no second line, the version stays.
  QBYDataStore::sharedDefaults().setInteger(1200, QBYLastInstalledVersionKey);
  QBYDataStore again;
  EXPECT_EQ(again.previousVersionAtOpen(), 1200u);
  EXPECT_EQ(logs.linesContaining("Database is missing").size(), 1u);
}

TEST_F(DataStoreTest, NoStoreURLIsTheFatalError) {
  QBYDataStore store(std::nullopt);
  EXPECT_FALSE(store.available());
  ASSERT_TRUE(store.error());
  EXPECT_EQ(store.error()->domain, "com.quillbay.datastore");
  EXPECT_EQ(store.error()->code, 100);
  EXPECT_EQ(logs.linesContaining("Store URL is missing").size(), 1u);
  EXPECT_FALSE(store.viewContext());
  EXPECT_FALSE(store.backgroundContext());
  EXPECT_FALSE(store.saveData());
}

TEST_F(DataStoreTest, TheFatalErrorCarriesTheDefaultTexts) {
  setenv("PORVANE_SUPPORT_URL", "https://support.example.test", 1);
  QBYDataStore store(std::nullopt);
  const QBYError& error = store.fatalErrorWithDescription(std::nullopt, std::nullopt);
  EXPECT_EQ(error.localizedDescription, "There was an error loading your data");
  EXPECT_EQ(error.userInfo["NSLocalizedRecoverySuggestion"],
            Value("If you continue to see this error, please try resetting your data, or visit "
                  "https://support.example.test for help."));
  const QBYError& custom = store.fatalErrorWithDescription("Broken", "Do this");
  EXPECT_EQ(custom.localizedDescription, "Broken");
  EXPECT_EQ(custom.userInfo["NSLocalizedRecoverySuggestion"], Value("Do this"));
  EXPECT_EQ(store.error(), custom);
  unsetenv("PORVANE_SUPPORT_URL");
}

TEST_F(DataStoreTest, AGarbageFileIsNotAvailableAndDoesNotCrash) {
  std::string garbage(20000, '\0');
  for (std::size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<char>(i * 131 % 251);
  writeFile(QBYDataStore::storeURL(), garbage);
  QBYDataStore store;
  EXPECT_FALSE(store.available());
  ASSERT_TRUE(store.error());
  EXPECT_EQ(store.error()->code, 100);
  EXPECT_EQ(store.error()->localizedDescription, "There was an error loading your data");
  EXPECT_EQ(logs.linesContaining("Error loading persistent stores: ").size(), 1u);
  EXPECT_FALSE(store.viewContext());

  // Resetting the data brings a working store back.
  EXPECT_TRUE(store.deleteStore());
  QBYDataStore fresh;
  EXPECT_TRUE(fresh.available());
}

TEST_F(DataStoreTest, AStoreOfANewerVersionIsRefusedAndTheErrorSaysSo) {
  { QBYDataStore store; }
  ASSERT_TRUE(execSQL(QBYDataStore::storeURL(), "PRAGMA user_version = 99"));
  QBYDataStore store;
  EXPECT_FALSE(store.available());
  ASSERT_TRUE(store.error());
  EXPECT_EQ(store.error()->code, 100);
  EXPECT_NE(store.error()->localizedDescription.find("newer version"), std::string::npos);
  EXPECT_EQ(queryText(QBYDataStore::storeURL(), "PRAGMA user_version"), "99");
}

TEST_F(DataStoreTest, RegisteringVersions) {
  const unsigned current = QBYDataStore::currentVersion();
  QBYDataStore::sharedDefaults().setInteger(current + 100, QBYLastInstalledVersionKey);
  {
    // A downgrade writes nothing.
    QBYDataStore::sharedDefaults().setInteger(current + 100, QBYLastInstalledVersionKey);
    writeFile(QBYDataStore::storeURL(), "");  // the store is there: no reset of the version
    QBYDataStore store;
    store.registerCurrentVersion();
    EXPECT_EQ(QBYDataStore::previousVersion(), current + 100);
    EXPECT_FALSE(
        QBYDataStore::sharedDefaults().dateOrNilForKey(QBYCurrentVersionFirstLaunchDateKey));
  }
  QBYDataStore::sharedDefaults().setInteger(current - 1, QBYLastInstalledVersionKey);
  QBYDataStore store;
  store.registerCurrentVersion();
  EXPECT_EQ(QBYDataStore::previousVersion(), current);
  EXPECT_TRUE(QBYDataStore::sharedDefaults().dateOrNilForKey(QBYCurrentVersionFirstLaunchDateKey));
  EXPECT_EQ(QBYDataStore::daysSinceCurrentVersionFirstLaunch(), 0);

  EXPECT_FALSE(store.lastOpenedNewerVersion());
  store.registerLastOpenedVersion();
  EXPECT_EQ(QBYDataStore::lastOpenedVersion(), current);
  EXPECT_FALSE(store.lastOpenedNewerVersion());
  QBYDataStore::sharedDefaults().setInteger(current + 5, QBYLastOpenedVersionKey);
  EXPECT_TRUE(store.lastOpenedNewerVersion());
  EXPECT_EQ(logs.linesContaining("Opened a newer version: " + std::to_string(current) + " → " +
                                 std::to_string(current + 5))
                .size(),
            1u);
}

// A local wall-clock time of 14 June 2024 (far from any daylight-saving change).
Date localTimeOn14June(int hour, int minute) {
  std::tm parts{};
  parts.tm_year = 2024 - 1900;
  parts.tm_mon = 5;
  parts.tm_mday = 14;
  parts.tm_hour = hour;
  parts.tm_min = minute;
  parts.tm_isdst = -1;
  return Date(static_cast<double>(std::mktime(&parts)));
}

TEST_F(DataStoreTest, DaysSinceFirstLaunchCountsCalendarDays) {
  // Just after midnight: three days and a minute ago is already the fourth calendar day back.
  {
    ClockOverride clock(localTimeOn14June(0, 0).addingTimeInterval(30));
    EXPECT_EQ(QBYDataStore::daysSinceCurrentVersionFirstLaunch(), 0);  // sets the date
    EXPECT_TRUE(
        QBYDataStore::sharedDefaults().dateOrNilForKey(QBYCurrentVersionFirstLaunchDateKey));
    QBYDataStore::sharedDefaults().setObject(Value(localTimeOn14June(12, 0)),
                                             QBYCurrentVersionFirstLaunchDateKey);
    EXPECT_EQ(QBYDataStore::daysSinceCurrentVersionFirstLaunch(), 0);
    QBYDataStore::sharedDefaults().setObject(Value(Date::now().addingTimeInterval(-3 * 86400 - 60)),
                                             QBYCurrentVersionFirstLaunchDateKey);
    EXPECT_EQ(QBYDataStore::daysSinceCurrentVersionFirstLaunch(), 4);
  }
  ClockOverride clock(localTimeOn14June(12, 0));
  QBYDataStore::sharedDefaults().setObject(Value(Date::now().addingTimeInterval(-3 * 86400 - 60)),
                                           QBYCurrentVersionFirstLaunchDateKey);
  EXPECT_EQ(QBYDataStore::daysSinceCurrentVersionFirstLaunch(), 3);
  // One minute before midnight of the previous day is one calendar day back, not zero.
  QBYDataStore::sharedDefaults().setObject(Value(localTimeOn14June(0, 0).addingTimeInterval(-60)),
                                           QBYCurrentVersionFirstLaunchDateKey);
  EXPECT_EQ(QBYDataStore::daysSinceCurrentVersionFirstLaunch(), 1);
}

TEST_F(DataStoreTest, TheInstalledVersionComesFromTheBuildFile) {
  QBYDataStore store;
  // From the build tree: the same build.
  EXPECT_EQ(QBYDataStore::installedVersion(), QBYDataStore::currentVersion());
  EXPECT_FALSE(store.installedVersionChanged());

  const auto resources = makeTempDir("resources");
  setenv("PORVANE_RESOURCE_DIR", resources.c_str(), 1);
  writeFile(resources / "BUILD", std::to_string(QBYDataStore::currentVersion() + 7) + "\n");
  EXPECT_EQ(QBYDataStore::installedVersion(), QBYDataStore::currentVersion() + 7);
  EXPECT_TRUE(store.installedVersionChanged());
  EXPECT_EQ(logs.linesContaining("Replaced with a new version: " +
                                 std::to_string(QBYDataStore::currentVersion()) + " → " +
                                 std::to_string(QBYDataStore::currentVersion() + 7))
                .size(),
            1u);

  writeFile(resources / "BUILD", "not a number");
  EXPECT_EQ(QBYDataStore::installedVersion(), 0u);
  EXPECT_TRUE(store.installedVersionChanged());
  EXPECT_EQ(logs.linesContaining("Application moved while open").size(), 1u);
  unsetenv("PORVANE_RESOURCE_DIR");
}

TEST_F(DataStoreTest, CacheFoldersAreFreshAndEmptyEachTime) {
  auto first = QBYDataStore::cacheURLNamed("Scripts/Updates", true, true);
  ASSERT_TRUE(first);
  EXPECT_EQ(*first, QBYDataStore::sharedCachesURL() / "Scripts" / "Updates");
  EXPECT_TRUE(std::filesystem::is_directory(*first));
  writeFile(*first / "old.js", "stale");
  writeFile(*first / "nested" / "deep.txt", "stale");

  auto second = QBYDataStore::cacheURLNamed("Scripts/Updates", true, true);
  ASSERT_TRUE(second);
  EXPECT_EQ(*second, *first);
  EXPECT_TRUE(std::filesystem::is_directory(*second));
  EXPECT_TRUE(std::filesystem::is_empty(*second));

  // Without create: whatever was there is gone and nothing is made.
  writeFile(QBYDataStore::cachesURL() / "Thumbs", "a file, not a folder");
  auto third = QBYDataStore::cacheURLNamed("Thumbs", false, false);
  ASSERT_TRUE(third);
  EXPECT_FALSE(std::filesystem::exists(*third));

  // Names that would empty something else are refused.
  EXPECT_FALSE(QBYDataStore::cacheURLNamed("", true, true));
  EXPECT_FALSE(QBYDataStore::cacheURLNamed("../../data", true, true));
  EXPECT_FALSE(QBYDataStore::cacheURLNamed("/tmp", true, true));
  EXPECT_TRUE(std::filesystem::exists(QBYDataStore::sharedContainerURL()));
}

TEST_F(DataStoreTest, ACacheFolderThatCannotBeMadeIsLoggedAndAnsweredAnyway) {
  // A read-only parent: the folder cannot be made.
  const auto parent = QBYDataStore::cachesURL() / "Locked";
  std::filesystem::create_directories(parent);
  std::filesystem::permissions(
      parent, std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
  auto folder = QBYDataStore::cacheURLNamed("Locked/Inner", false, true);
  std::filesystem::permissions(parent, std::filesystem::perms::owner_all);
  ASSERT_TRUE(folder);
  EXPECT_EQ(*folder, parent / "Inner");
  if (geteuid() != 0) {
    EXPECT_EQ(logs.linesContaining("Error creating cache folder: ").size(), 1u);
  }
}

TEST_F(DataStoreTest, SaveDataWithoutChangesWritesNothing) {
  QBYDataStore store;
  ASSERT_TRUE(store.available());
  store.viewContext()->resetStatistics();
  EXPECT_TRUE(store.saveData());
  EXPECT_EQ(store.viewContext()->statistics().statements, 0u);
  EXPECT_FALSE(store.error());
}

TEST_F(DataStoreTest, SaveDataWritesTheViewContextAndReportsFailures) {
  QBYDataStore store;
  ASSERT_TRUE(store.available());
  newDelivery(*store.viewContext(), "A");
  EXPECT_TRUE(store.saveData());
  EXPECT_EQ(queryText(QBYDataStore::storeURL(), "SELECT uuid FROM Delivery"), "A");

  ASSERT_TRUE(execSQL(QBYDataStore::storeURL(),
                      "CREATE TRIGGER refuse BEFORE INSERT ON Delivery BEGIN SELECT "
                      "RAISE(ABORT, 'no more'); END"));
  newDelivery(*store.viewContext(), "B");
  EXPECT_FALSE(store.saveData());
  ASSERT_TRUE(store.error());
  EXPECT_EQ(store.error()->localizedDescription, "There was an error saving your data");
  EXPECT_EQ(logs.linesContaining("Error in saveData: ").size(), 1u);
  EXPECT_TRUE(store.viewContext()->hasChanges());
}

TEST_F(DataStoreTest, BackgroundWorkSeesTheSameFile) {
  QBYDataStore store;
  ASSERT_TRUE(store.available());
  auto background = store.backgroundContext();
  ASSERT_TRUE(background);
  EXPECT_EQ(background->concurrencyType(), QBYConcurrencyType::PrivateQueue);
  background->performAndWait([&] {
    newDelivery(*background, "from background");
    EXPECT_TRUE(qby_saveChanges(*background));
  });
  EXPECT_EQ(deliveryCount(*store.viewContext()), 1u);

  std::atomic<bool> ran{false};
  std::atomic<bool> onMain{true};
  store.performBackgroundTask([&](QBYManagedObjectContext& context) {
    onMain = MainQueue::isMainThread();
    newDelivery(context, "from task");
    EXPECT_TRUE(qby_saveChanges(context));
    ran = true;
  });
  ASSERT_TRUE(MainQueue::runUntil([&] { return ran.load(); }, 60));
  EXPECT_FALSE(onMain);
  EXPECT_EQ(deliveryCount(*store.viewContext()), 2u);
}

TEST_F(DataStoreTest, RefreshObjectsSeesAnotherProcessWrite) {
  QBYDataStore store;
  auto delivery = newDelivery(*store.viewContext(), "U1");
  delivery->setValueForKey(Value("old name"), "name");
  ASSERT_TRUE(store.saveData());
  ASSERT_TRUE(execSQL(QBYDataStore::storeURL(), "UPDATE Delivery SET name = 'new name'"));
  EXPECT_EQ(delivery->valueForKey("name"), Value("old name"));
  EXPECT_TRUE(store.refreshObjects());
  EXPECT_EQ(delivery->valueForKey("name"), Value("new name"));
}

TEST_F(DataStoreTest, DeletingByIdentityCascadesInTheFile) {
  QBYDataStore store;
  auto& context = *store.viewContext();
  auto keep = newDelivery(context, "keep");
  auto gone = newDelivery(context, "gone");
  for (int i = 0; i < 3; ++i) {
    auto detail = context.insertNewObject("Detail");
    detail->setValueForKey(Value(i), "index");
    std::static_pointer_cast<Delivery>(gone)->addDetail(std::static_pointer_cast<Detail>(detail));
  }
  ASSERT_TRUE(store.saveData());
  EXPECT_EQ(queryText(QBYDataStore::storeURL(), "SELECT count(*) FROM Detail"), "3");
  EXPECT_TRUE(store.deleteObjectsWithIDs({gone->objectID()}));
  EXPECT_EQ(queryText(QBYDataStore::storeURL(), "SELECT count(*) FROM Detail"), "0");
  EXPECT_EQ(queryText(QBYDataStore::storeURL(), "SELECT group_concat(uuid) FROM Delivery"), "keep");
  store.refreshObjects();
  EXPECT_TRUE(gone->valueForKey("uuid").isNull());  // its row is gone: it reads as empty
  EXPECT_TRUE(gone->isDeleted());
  EXPECT_EQ(keep->valueForKey("uuid"), Value("keep"));
}

TEST_F(DataStoreTest, ContextOperations) {
  QBYDataStore store;
  auto& context = *store.viewContext();
  EXPECT_FALSE(qby_containsEntityName(context, "Delivery"));
  newDelivery(context, "A");
  newDelivery(context, "B");
  EXPECT_TRUE(qby_saveChanges(context));
  EXPECT_TRUE(qby_saveChanges(context));  // nothing to save
  context.resetStatistics();
  EXPECT_TRUE(qby_containsEntityName(context, "Delivery"));
  EXPECT_EQ(context.statistics().rowsLoaded, 0u);
  EXPECT_FALSE(qby_containsEntityName(context, "Nonsense"));
  EXPECT_EQ(logs.linesContaining("Error checking for entity name Nonsense: ").size(), 1u);

  EXPECT_TRUE(qby_deleteObjectsWithEntityName(context, "Delivery"));
  EXPECT_FALSE(qby_containsEntityName(context, "Delivery"));
  EXPECT_FALSE(qby_deleteObjectsWithEntityName(context, "Nonsense"));
  EXPECT_EQ(logs.linesContaining("Error deleting objects with entity name Nonsense: ").size(), 1u);
  EXPECT_FALSE(qby_updateQueryToken(context));
}

TEST_F(DataStoreTest, DeleteStoreThenANewStoreIsEmptyAtTheSamePath) {
  {
    QBYDataStore store;
    newDelivery(*store.viewContext(), "A");
    ASSERT_TRUE(store.saveData());
    EXPECT_TRUE(store.deleteStore());
    EXPECT_FALSE(store.available());
    EXPECT_EQ(logs.linesContaining("Destroying persistent store from coordinator: ").size(), 1u);
    QBYDataStore fresh;
    ASSERT_TRUE(fresh.available());
    EXPECT_EQ(deliveryCount(*fresh.viewContext()), 0u);
    newDelivery(*fresh.viewContext(), "B");
    ASSERT_TRUE(fresh.saveData());
  }
  QBYDataStore again;
  EXPECT_EQ(queryText(QBYDataStore::storeURL(), "SELECT group_concat(uuid) FROM Delivery"), "B");
}

}  // namespace
}  // namespace qby::test
