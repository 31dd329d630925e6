// The persistent change queue, the sync set, duplicates and the sign-in form.
#include <gtest/gtest.h>

#include "platform/Date.h"
#include "sync/SyncTestSupport.h"

namespace qby::test {
namespace {

using SyncQueueTest = SyncTest;

// --- Queue rules ---

TEST_F(SyncQueueTest, QueueingTwiceLeavesOneItemTheLaterOne) {
  auto delivery = addDelivery("TWICE", 100);
  makeManager(true);
  manager->saveObjectToQuillbay(delivery.get(), std::string("add"));
  delivery->setModified(250);
  delivery->setArchived(true);
  manager->saveObjectToQuillbay(delivery.get(), std::string("delete"));
  const auto items = manager->fetchQueueItems();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].uuid, "TWICE");
  EXPECT_EQ(items[0].cmd, "delete");
  EXPECT_EQ(items[0].date, 250);
  // No command: nothing queued, nothing removed.
  manager->saveObjectToQuillbay(delivery.get(), std::nullopt);
  EXPECT_EQ(manager->fetchQueueItems().size(), 1u);
}

TEST_F(SyncQueueTest, OlderIncomingChangeLeavesTheLocalItem) {
  auto delivery = addDelivery("NEWER", 1000);
  makeManager(true);
  manager->saveObjectToiCloud(*delivery);
  // The incoming change is older than ours: not applied, the item stays.
  EXPECT_FALSE(manager->removeFromQueue("NEWER", 900, false));
  EXPECT_EQ(manager->fetchQueueItems().size(), 1u);
  EXPECT_EQ(engineLog->count("cancel:NEWER"), 0u);
  // Same time: the incoming change wins.
  EXPECT_TRUE(manager->removeFromQueue("NEWER", 1000, false));
  EXPECT_FALSE(manager->hasQueueItems());
  EXPECT_EQ(engineLog->count("cancel:NEWER"), 1u);
  // Nothing queued for the uuid: nothing stands in the way.
  EXPECT_TRUE(manager->removeFromQueue("NEWER", 0, false));
  EXPECT_TRUE(manager->removeFromQueue("UNKNOWN", 0, false));

  manager->saveObjectToiCloud(*delivery);
  EXPECT_TRUE(manager->removeFromQueue("NEWER", 1, true));  // forced
  EXPECT_FALSE(manager->hasQueueItems());
}

TEST_F(SyncQueueTest, CommandsWithoutDeliveryGetTheirOwnUUIDs) {
  defaults->setDouble(12.5, QBYQuillbayOffsetKey);
  makeManager(true);
  manager->queueObject(nullptr, QBYQueueCommandLogout, false);
  manager->queueObject(nullptr, QBYQueueCommandLogout, false);
  const auto items = manager->fetchQueueItems();
  ASSERT_EQ(items.size(), 2u);
  for (const auto& item : items) {
    ASSERT_GT(item.uuid.size(), 6u);
    EXPECT_EQ(item.uuid.substr(item.uuid.size() - 6), "-QUEUE");
    EXPECT_EQ(item.cmd, "logout");
    EXPECT_EQ(item.query, "cmd=logout");
    EXPECT_EQ(item.date, -12.5);
  }
  EXPECT_NE(items[0].uuid, items[1].uuid);
}

TEST_F(SyncQueueTest, QueueSurvivesReopeningTheStore) {
  auto delivery = addDelivery("KEEP", 42);
  makeManager(true);
  manager->saveObjectToQuillbay(delivery.get(), std::string("add"));
  manager.reset();
  delivery.reset();
  store.reset();

  openStore();
  makeManager(true);
  const auto items = manager->fetchQueueItems();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].uuid, "KEEP");
  EXPECT_EQ(items[0].cmd, "add");
  EXPECT_EQ(items[0].date, 42);
}

TEST_F(SyncQueueTest, WithoutStoreTheQueueIsEmptyAndNothingBreaks) {
  makeManager(true);
  manager->setDataStore(nullptr);
  manager->queueObject(nullptr, QBYQueueCommandLogout, false);
  EXPECT_FALSE(manager->hasQueueItems());
  EXPECT_TRUE(manager->fetchQueueItems().empty());
  EXPECT_TRUE(manager->removeFromQueue("X", 0, false));
  EXPECT_TRUE(manager->saveData());
}

TEST_F(SyncQueueTest, SyncSetHoldsActiveAndRecentlyArchivedDeliveries) {
  const double now = Date::now().timeIntervalSince1970();
  const double day = 86400;
  addDelivery("ACTIVE-OLD", now - 400 * day);
  addDelivery("ARCHIVED-RECENT", now - 5 * day, true);
  addDelivery("ARCHIVED-OLD", now - 45 * day, true);
  addDelivery("ARCHIVED-REMOVED", now - 1 * day, true, true);
  makeManager(true);
  manager->saveAllObjectsToQuillbay();
  std::map<std::string, std::string> commands;
  for (const auto& item : manager->fetchQueueItems()) commands[item.uuid] = item.cmd;
  EXPECT_EQ(commands, (std::map<std::string, std::string>{{"ACTIVE-OLD", "add"},
                                                          {"ARCHIVED-RECENT", "delete"}}));

  manager->saveAllObjectsToiCloud();
  EXPECT_EQ(manager->step(), 2u);
  commands.clear();
  for (const auto& item : manager->fetchQueueItems()) commands[item.uuid] = item.cmd;
  EXPECT_EQ(commands, (std::map<std::string, std::string>{{"ACTIVE-OLD", "update"},
                                                          {"ARCHIVED-RECENT", "update"}}));
}

// --- Duplicates ---

TEST_F(SyncQueueTest, EqualModifiedDuplicatesKeepTheFirstSeen) {
  auto first = addDelivery("DUP", 500, false, false, "first");
  auto second = addDelivery("DUP", 500, false, false, "second");
  auto third = addDelivery("DUP", 500, true, false, "third");
  addDelivery("SINGLE", 500);
  makeManager();
  LogCapture logs;
  manager->removeDuplicateObjects();
  ASSERT_TRUE(waitFor([&] { return !delegate.deleted.empty(); }));
  ASSERT_EQ(delegate.saved.size(), 1u);
  const auto& [attributes, sync] = delegate.saved[0];
  EXPECT_TRUE(sync);
  EXPECT_EQ(attributes["name"], Value("first"));
  EXPECT_EQ(attributes["uuid"], Value("DUP"));
  EXPECT_FALSE(attributes.contains("archived"));
  EXPECT_FALSE(attributes.contains("modified"));
  ASSERT_EQ(delegate.deleted.size(), 1u);
  std::vector<std::int64_t> rows;
  for (const auto& id : delegate.deleted[0]) rows.push_back(id.rowID);
  std::sort(rows.begin(), rows.end());
  EXPECT_EQ(rows, (std::vector<std::int64_t>{second->objectID().rowID, third->objectID().rowID}));
  EXPECT_EQ(logs.linesContaining("Duplicate objects found").size(), 1u);
}

TEST_F(SyncQueueTest, NewestDuplicateWinsInEveryGroup) {
  addDelivery("A", 100, false, false, "a-old");
  auto aNew = addDelivery("A", 300, false, false, "a-new");
  addDelivery("B", 900, false, false, "b-new");
  addDelivery("B", 200, false, false, "b-old");
  addDelivery("A", 200, false, false, "a-mid");
  makeManager();
  manager->removeDuplicateObjects();
  ASSERT_TRUE(waitFor([&] { return !delegate.deleted.empty(); }));
  ASSERT_EQ(delegate.saved.size(), 2u);
  EXPECT_EQ(delegate.saved[0].first["name"], Value("a-new"));
  EXPECT_EQ(delegate.saved[1].first["name"], Value("b-new"));
  EXPECT_EQ(delegate.deleted[0].size(), 3u);
  for (const auto& id : delegate.deleted[0]) EXPECT_NE(id.rowID, aNew->objectID().rowID);
}

TEST_F(SyncQueueTest, NoDuplicatesNoCalls) {
  addDelivery("ONE", 1);
  addDelivery("TWO", 2);
  makeManager();
  manager->removeDuplicateObjects();
  // The pass ends with the working context's queue; a later block runs after it.
  manager->performInObjectContext([](QBYManagedObjectContext&) {});
  MainQueue::drain();
  EXPECT_TRUE(delegate.saved.empty());
  EXPECT_TRUE(delegate.deleted.empty());
}

// --- The sign-in form ---

TEST_F(SyncQueueTest, ValidationMessagesForOneTwoAndThreeFields) {
  EXPECT_EQ(QBYSyncManager::validationMessageForFields({}), "");
  EXPECT_EQ(QBYSyncManager::validationMessageForFields({"Email"}), "Email is required.");
  EXPECT_EQ(QBYSyncManager::validationMessageForFields({"Email", "Password"}),
            "Email and Password are required.");
  EXPECT_EQ(QBYSyncManager::validationMessageForFields({"Email", "Password", "Name", "Terms"}),
            "Email, Password, and Name are required.");
}

TEST_F(SyncQueueTest, EmptyFormSignsOutAndAnswersTrue) {
  defaults->setBool(true, QBYQuillbaySuccessKey);
  defaults->setObject(Value("ann@example.com"), QBYQuillbayEmailKey);
  defaults->setObject(Value("client-7"), QBYQuillbayClientKey);
  defaults->setDouble(1234, QBYQuillbayUpdatedKey);
  credentials->passwords[{"ann@example.com", QBYQuillbayServiceKey}] = "secret";
  credentials->passwords[{"ann@example.com [porvane]", QBYQuillbayServiceKey}] = "code";
  makeManager(true);

  QBYError error;
  EXPECT_TRUE(manager->validateQuillbaySettings(
      Dictionary{{"email", Value("  ")}, {"password", Value("")}}, &error));
  EXPECT_FALSE(manager->quillbayEnabled());
  EXPECT_FALSE(manager->quillbayEmail());
  EXPECT_TRUE(defaults->objectForKey(QBYQuillbayClientKey).isNull());
  EXPECT_EQ(defaults->doubleForKey(QBYQuillbayUpdatedKey), 0);
  // Signed out without deleting the password; the login code is forgotten.
  EXPECT_EQ(credentials->passwords.count({"ann@example.com", QBYQuillbayServiceKey}), 1u);
  EXPECT_EQ(credentials->passwords.count({"ann@example.com [porvane]", QBYQuillbayServiceKey}), 0u);
  // The service is told.
  const auto items = manager->fetchQueueItems();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].cmd, "logout");
  EXPECT_NE(items[0].uuid.find("-QUEUE"), std::string::npos);
  EXPECT_GE(engineLog->count("syncWithQuillbay"), 1u);
  EXPECT_GE(engineLog->count("resetiCloudSubscription"), 1u);
  EXPECT_GE(engineLog->count("enableiCloud"), 1u);
}

TEST_F(SyncQueueTest, SignOutWithPasswordDeletionForgetsThePassword) {
  defaults->setBool(true, QBYQuillbaySuccessKey);
  defaults->setObject(Value("ann@example.com"), QBYQuillbayEmailKey);
  credentials->passwords[{"ann@example.com", QBYQuillbayServiceKey}] = "secret";
  auto delivery = addDelivery("OLD-ITEM", 1);
  makeManager(true);
  manager->saveObjectToQuillbay(delivery.get(), std::string("add"));
  manager->disableQuillbayAndDeletePassword(true);
  EXPECT_TRUE(credentials->passwords.empty());
  // The old items were dropped with the queue; only the logout remains.
  const auto items = manager->fetchQueueItems();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].cmd, "logout");
}

TEST_F(SyncQueueTest, RegistrationWithBlankConfirmationReportsPassword) {
  makeManager(true);
  NotificationRecorder notifications;
  QBYError error;
  EXPECT_FALSE(manager->validateQuillbaySettings(Dictionary{{"new", Value(true)},
                                                            {"email", Value("ann@example.com")},
                                                            {"password", Value("secret")},
                                                            {"confirm", Value("   ")}},
                                                 &error));
  EXPECT_EQ(error.domain, "com.quillbay.sync");
  EXPECT_EQ(error.code, 200);
  EXPECT_EQ(error.localizedDescription, "Password is required.");
  EXPECT_EQ(manager->quillbayMessage(), "Password is required.");
  ASSERT_EQ(notifications.count(QBYSyncFailureNotification), 1u);
  EXPECT_EQ(notifications.entries.back().status, "Password is required.");
  EXPECT_TRUE(engineLog->calls.empty());

  // Both fields missing.
  error = {};
  EXPECT_FALSE(manager->validateQuillbaySettings(Dictionary{{"new", Value(true)}}, &error));
  EXPECT_EQ(error.localizedDescription, "Email and Password are required.");
  // A sign-in with the e-mail only.
  EXPECT_FALSE(manager->validateQuillbaySettings(
      Dictionary{{"email", Value("ann@example.com")}, {"password", Value(" ")}}, &error));
  EXPECT_EQ(error.localizedDescription, "Password is required.");
}

TEST_F(SyncQueueTest, RegistrationWithDifferentPasswordsIsRefused) {
  makeManager(true);
  manager->setQuillbayMessage(std::string("earlier"));
  QBYError error;
  EXPECT_FALSE(manager->validateQuillbaySettings(Dictionary{{"new", Value(true)},
                                                            {"email", Value("ann@example.com")},
                                                            {"password", Value("secret")},
                                                            {"confirm", Value("secret ")}},
                                                 &error));
  EXPECT_EQ(error.code, 200);
  EXPECT_EQ(error.localizedDescription, "Both password fields must match.");
  EXPECT_EQ(manager->quillbayMessage(), "earlier");  // not stored
  EXPECT_FALSE(manager->quillbaySettings());
}

TEST_F(SyncQueueTest, AcceptedRegistrationStartsSigningIn) {
  addDelivery("D1", 10);
  makeManager(true);
  NotificationRecorder notifications;
  QBYError error;
  const Dictionary form{{"new", Value(true)},          {"email", Value("ann@example.com")},
                        {"password", Value("secret")}, {"confirm", Value("secret")},
                        {"name", Value("Ann")},        {"terms", Value("true")}};
  EXPECT_FALSE(manager->validateQuillbaySettings(form, &error));
  EXPECT_TRUE(error.domain.empty());
  ASSERT_TRUE(manager->quillbaySettings());
  EXPECT_EQ(*manager->quillbaySettings(), form);
  EXPECT_EQ(engineLog->count("disableiCloud"), 1u);
  EXPECT_EQ(engineLog->count("registerQuillbayAccount"), 1u);
  EXPECT_EQ(engineLog->count("syncWithQuillbay"), 1u);
  ASSERT_EQ(manager->fetchQueueItems().size(), 1u);
  ASSERT_EQ(notifications.count(QBYSyncChangeNotification), 1u);
  EXPECT_EQ(notifications.entries.back().status, "Syncing with Quillbay…");
  // Not yet an account: that waits for the service's confirmation.
  EXPECT_FALSE(manager->quillbayEmail());

  manager->saveQuillbaySettings();
  EXPECT_EQ(manager->quillbayEmail(), "ann@example.com");
  EXPECT_EQ((credentials->passwords[{"ann@example.com", QBYQuillbayServiceKey}]), "secret");
  EXPECT_FALSE(manager->quillbaySettings());
}

TEST_F(SyncQueueTest, SignInWithoutServiceFailsAsCouldNotConnectAndKeepsTheQueue) {
  addDelivery("D1", 10);
  makeManager();  // the engines without remote
  NotificationRecorder notifications;
  QBYError error;
  EXPECT_FALSE(manager->validateQuillbaySettings(
      Dictionary{{"email", Value("ann@example.com")}, {"password", Value("secret")}}, &error));
  ASSERT_GE(notifications.count(QBYSyncFailureNotification), 1u);
  bool couldNotConnect = false;
  for (const auto& entry : notifications.entries) {
    couldNotConnect |=
        entry.name == QBYSyncFailureNotification && entry.status == "Couldn’t connect";
  }
  EXPECT_TRUE(couldNotConnect);
  EXPECT_FALSE(manager->quillbayEnabled());
  EXPECT_EQ(manager->fetchQueueItems().size(), 1u);
}

TEST_F(SyncQueueTest, DiscardingAnUnfinishedSignInSignsOut) {
  defaults->setObject(Value("ann@example.com"), QBYQuillbayEmailKey);
  makeManager(true);
  manager->setQuillbayMessage(std::string("Wrong password"));
  manager->discardQuillbaySettings();
  EXPECT_FALSE(manager->quillbayMessage());
  EXPECT_FALSE(manager->quillbayEmail());

  // A working account is left alone.
  defaults->setObject(Value("bob@example.com"), QBYQuillbayEmailKey);
  defaults->setBool(true, QBYQuillbaySuccessKey);
  manager->discardQuillbaySettings();
  EXPECT_EQ(manager->quillbayEmail(), "bob@example.com");
}

}  // namespace
}  // namespace qby::test
