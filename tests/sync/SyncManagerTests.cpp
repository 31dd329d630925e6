// The sync manager's state machine: start-up, modes, steps and status texts, the history
// window, busy and quitting.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/Date.h"
#include "platform/SystemChangeMonitor.h"
#include "sync/SyncTestSupport.h"

namespace qby::test {
namespace {

using SyncManagerTest = SyncTest;

// --- History window ---

TEST_F(SyncManagerTest, HistoryDaysAtLaunchFollowTheStoredValue) {
  struct Case {
    std::optional<std::int64_t> stored;
    unsigned days;
    bool deletes;
  };
  const Case cases[] = {
      {std::nullopt, 365, false},  // registered default: never delete
      {0, 365, false},
      {QBYHistoryDaysForever, 365, false},
      {30, 90, true},  // below the floor
      {-5, 90, true},
      {400, 400, true},
  };
  for (const auto& c : cases) {
    if (c.stored) {
      defaults->setInteger(*c.stored, QBYHistoryDaysKey);
    } else {
      defaults->removeObjectForKey(QBYHistoryDaysKey);
    }
    QBYSyncManager& sync = makeManager();
    EXPECT_EQ(sync.historyDays(), c.days) << c.stored.value_or(-1);
    EXPECT_EQ(sync.deleteOldObjects(), c.deletes) << c.stored.value_or(-1);
  }
}

TEST_F(SyncManagerTest, HistoryDaysChangeNotificationMovesOnlyTheWindow) {
  defaults->setInteger(120, QBYHistoryDaysKey);
  makeManager();
  startNotFirstRun();
  const Date cachedDate = manager->historyDate();
  ASSERT_TRUE(manager->deleteOldObjects());

  defaults->setInteger(0, QBYHistoryDaysKey, true);
  EXPECT_EQ(manager->historyDays(), 90u);
  defaults->setInteger(QBYHistoryDaysForever, QBYHistoryDaysKey, true);
  EXPECT_EQ(manager->historyDays(), 365u);
  defaults->setInteger(1000, QBYHistoryDaysKey, true);
  EXPECT_EQ(manager->historyDays(), 1000u);
  EXPECT_TRUE(manager->deleteOldObjects());
  EXPECT_EQ(manager->historyDate(), cachedDate);

  // Another suite's change is not ours.
  QBYUserDefaults other(folder / "other.plist");
  other.setInteger(200, QBYHistoryDaysKey, true);
  EXPECT_EQ(manager->historyDays(), 1000u);
}

TEST_F(SyncManagerTest, StartHandsOldArchivedDeliveriesToTheDelegate) {
  defaults->setInteger(100, QBYHistoryDaysKey);
  const double now = Date::now().timeIntervalSince1970();
  const double day = 86400;
  auto old = addDelivery("OLD", now - 200 * day, true);
  addDelivery("RECENT-ARCHIVED", now - 10 * day, true);
  addDelivery("OLD-ACTIVE", now - 500 * day, false);
  makeManager();
  startNotFirstRun();
  ASSERT_TRUE(waitFor([&] { return !delegate.deleted.empty(); }));
  ASSERT_EQ(delegate.deleted.size(), 1u);
  ASSERT_EQ(delegate.deleted[0].size(), 1u);
  EXPECT_EQ(delegate.deleted[0][0].rowID, old->objectID().rowID);
}

TEST_F(SyncManagerTest, NeverDeletingHandsNothingOver) {
  const double now = Date::now().timeIntervalSince1970();
  addDelivery("ANCIENT", now - 5000 * 86400.0, true);
  makeManager();
  startNotFirstRun();
  ASSERT_TRUE(waitFor([&] { return manager->step() == 6; }));
  EXPECT_TRUE(delegate.deleted.empty());
}

// --- Start-up and a pass without mode ---

TEST_F(SyncManagerTest, PassWithoutModeReachesStepSixAndCompletes) {
  NotificationRecorder notifications;
  makeManager();
  defaults->setBool(false, QBYSyncFirstRunKey);
  EXPECT_EQ(manager->syncType(), "…");
  manager->startSoon();
  ASSERT_TRUE(waitFor([&] { return notifications.count(QBYSyncCompleteNotification) == 1; }));
  EXPECT_TRUE(manager->started());
  EXPECT_TRUE(manager->ready());
  EXPECT_EQ(manager->step(), 6u);
  EXPECT_EQ(delegate.willStart, 1);
  EXPECT_FALSE(manager->status());
  EXPECT_EQ(manager->syncType(), "Off");
  EXPECT_FALSE(manager->iCloudEnabled());
  EXPECT_FALSE(manager->active());

  // The next pass (an update run) goes through its steps and completes again.
  manager->sync();
  EXPECT_EQ(delegate.willStart, 2);
  ASSERT_TRUE(waitFor([&] { return notifications.count(QBYSyncCompleteNotification) == 2; }));
  EXPECT_EQ(manager->step(), 6u);
}

TEST_F(SyncManagerTest, StartWithoutCloudAccountTurnsStaleCloudModeOff) {
  defaults->setBool(true, QBYiCloudSuccessKey);
  defaults->setInteger(77, QBYiCloudHashKey);
  makeManager();
  startNotFirstRun();
  EXPECT_FALSE(manager->iCloudEnabled());
  EXPECT_FALSE(manager->iCloudAvailable());
  EXPECT_TRUE(defaults->objectForKey(QBYiCloudHashKey).isNull());
  EXPECT_EQ(manager->syncType(), "Off");
}

TEST_F(SyncManagerTest, SyncIsIgnoredBeforeStartDuringPromptAndWhileAPassRuns) {
  makeManager(true);
  manager->sync();
  EXPECT_EQ(delegate.willStart, 0);
  EXPECT_EQ(engineLog->count("quillbayUpdate"), 0u);

  // First run with a known account: the prompt stays up while sync is asked for.
  PromptingInterface interface;
  manager->setInterfaceDelegate(&interface);
  credentials->account = "ann@example.com";
  keyValueStore->setObject(Value(QBYSyncTypeQuillbay), QBYSyncTypeKey);
  manager->start();
  manager->compareSyncType(std::string(QBYSyncTypeQuillbay));
  EXPECT_TRUE(manager->waitForPrompt());
  EXPECT_FALSE(manager->firstRun());
  ASSERT_TRUE(waitFor([&] { return static_cast<bool>(interface.pending); }));
  EXPECT_EQ(interface.titles.at(0), "Quillbay Sync");
  EXPECT_EQ(interface.messages.at(0), "Would you like to log in with the address ann@example.com?");
  manager->finishStart();  // as an engine finishing the account check would
  const int before = delegate.willStart;
  manager->sync();
  EXPECT_EQ(delegate.willStart, before);

  // Declined: the prompt is gone and the account check runs.
  interface.pending(false);
  EXPECT_FALSE(manager->waitForPrompt());
  EXPECT_FALSE(manager->quillbayEnabled());
  EXPECT_GE(engineLog->count("enableiCloud"), 1u);
  for (unsigned step : {0u, 1u, 2u, 3u, 4u}) {
    manager->setStep(step);
    const int count = delegate.willStart;
    manager->sync();
    EXPECT_EQ(delegate.willStart, count) << "step " << step;
  }
  manager->setStep(5);
  manager->sync();
  EXPECT_EQ(delegate.willStart, before + 1);
}

TEST_F(SyncManagerTest, AcceptedFirstRunPromptSignsInAndQueuesEverything) {
  const double now = Date::now().timeIntervalSince1970();
  addDelivery("A", now - 1000);
  addDelivery("B", now - 2000, true);  // archived lately: goes out as a deletion
  makeManager(true);
  PromptingInterface interface;
  manager->setInterfaceDelegate(&interface);
  credentials->account = "ann@example.com";
  manager->start();
  manager->compareSyncType(std::nullopt);
  ASSERT_TRUE(waitFor([&] { return static_cast<bool>(interface.pending); }));
  interface.pending(true);

  EXPECT_TRUE(manager->quillbayEnabled());
  EXPECT_EQ(manager->quillbayEmail(), "ann@example.com");
  EXPECT_EQ(keyValueStore->objectForKey(QBYSyncTypeKey), Value("Quillbay"));
  std::map<std::string, std::string> commands;
  for (const auto& item : manager->fetchQueueItems()) commands[item.uuid] = item.cmd;
  EXPECT_EQ(commands, (std::map<std::string, std::string>{{"A", "add"}, {"B", "delete"}}));
  // Not started yet: the account check finishes start-up, which then syncs.
  EXPECT_EQ(engineLog->count("enableiCloud"), 1u);
  EXPECT_TRUE(manager->started());
}

TEST_F(SyncManagerTest, FirstRunWaitsForTheKeyValueStoreBeforeChoosing) {
  makeManager(true);
  keyValueStore->setObject(Value(QBYSyncTypeiCloud), QBYSyncTypeKey);
  manager->start();
  EXPECT_FALSE(manager->started());
  EXPECT_EQ(engineLog->count("enableiCloud"), 0u);
  // A value that arrives meanwhile decides at once.
  keyValueStore->postExternalChange(QBYUbiquitousServerChange,
                                    Dictionary{{QBYSyncTypeKey, Value(QBYSyncTypeiCloud)}});
  ASSERT_TRUE(waitFor([&] { return manager->started(); }));
  EXPECT_EQ(engineLog->count("enableiCloud"), 1u);
}

// Nothing can arrive in a store that never leaves this machine: the first start chooses at
// once instead of holding every sync (and so every update) back for 15 seconds.
TEST_F(SyncManagerTest, FirstRunWithAStoreThatStaysHereChoosesAtOnce) {
  keyValueStore = std::make_shared<QBYLocalKeyValueStore>(folder / "local-kvs.plist");
  makeManager(true);
  manager->start();
  ASSERT_TRUE(waitFor([&] { return manager->started(); }, 4));
  EXPECT_EQ(engineLog->count("enableiCloud"), 1u);
}

TEST_F(SyncManagerTest, KeyValueStoreChangesGoToTheDelegateOnlyForServerAndInitialSync) {
  makeManager(true);
  startNotFirstRun();
  keyValueStore->postExternalChange(QBYUbiquitousQuotaViolationChange,
                                    Dictionary{{"QBYFavorites", Value("ignored")}});
  keyValueStore->postExternalChange(QBYUbiquitousAccountChange,
                                    Dictionary{{"QBYFavorites", Value("ignored too")}});
  keyValueStore->postExternalChange(QBYUbiquitousInitialSyncChange,
                                    Dictionary{{"QBYFavorites", Value("dhl.de")}});
  // Not first run any more: another machine's sync type changes nothing here.
  keyValueStore->postExternalChange(QBYUbiquitousServerChange,
                                    Dictionary{{QBYSyncTypeKey, Value(QBYSyncTypeQuillbay)}});
  ASSERT_TRUE(waitFor([&] { return !delegate.ubiquitous.empty(); }));
  MainQueue::drain();
  ASSERT_EQ(delegate.ubiquitous.size(), 1u);
  EXPECT_EQ(delegate.ubiquitous[0].first, "QBYFavorites");
  EXPECT_EQ(delegate.ubiquitous[0].second, Value("dhl.de"));
  EXPECT_EQ(engineLog->count("enableiCloud"), 1u);

  manager->updateUbiquitousKey("QBYFavorites", Value("ups.com"));
  EXPECT_EQ(QBYLocalKeyValueStore(folder / "kvs.plist").objectForKey("QBYFavorites"),
            Value("ups.com"));
}

// --- Modes, steps and status texts ---

TEST_F(SyncManagerTest, BothFlagsStatusAndQueueFollowCloudWhileSyncFollowsService) {
  defaults->setBool(true, QBYiCloudSuccessKey);
  defaults->setBool(true, QBYQuillbaySuccessKey);
  auto delivery = addDelivery("U1", 1500);
  makeManager(true);
  startNotFirstRun();
  engineLog->calls.clear();

  EXPECT_EQ(manager->syncType(), "iCloud");
  manager->setStep(2);
  EXPECT_EQ(manager->status(), "Syncing with iCloud…");
  manager->setStep(5);

  manager->syncObject(delivery, true);
  const auto items = manager->fetchQueueItems();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].cmd, "update");
  EXPECT_EQ(items[0].query, "");
  EXPECT_EQ(items[0].date, 1500);
  EXPECT_EQ(engineLog->count("syncWithiCloud"), 1u);
  EXPECT_EQ(engineLog->count("syncWithQuillbay"), 0u);

  // Not immediately: queued only.
  manager->syncObject(delivery, false);
  EXPECT_EQ(engineLog->count("syncWithiCloud"), 1u);

  manager->sync();
  EXPECT_EQ(engineLog->count("syncWithQuillbay"), 1u);
  EXPECT_EQ(engineLog->count("quillbayUpdate"), 0u);
  EXPECT_EQ(engineLog->count("syncWithiCloud"), 1u);
}

TEST_F(SyncManagerTest, ServiceModeQueuesAndAlwaysFlushes) {
  defaults->setBool(true, QBYQuillbaySuccessKey);
  defaults->setDouble(100, QBYQuillbayOffsetKey);
  auto active = addDelivery("ACTIVE", 5000.5);
  auto archived = addDelivery("GONE", 6000, true);
  makeManager(true);

  manager->syncObject(active, false);
  manager->syncObject(archived, false);
  EXPECT_EQ(engineLog->count("syncWithQuillbay"), 2u);
  std::map<std::string, QBYSyncQueueItem> items;
  for (const auto& item : manager->fetchQueueItems()) items[item.uuid] = item;
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items["ACTIVE"].cmd, "add");
  EXPECT_EQ(items["ACTIVE"].date, 4900.5);
  EXPECT_EQ(items["ACTIVE"].query,
            "cmd=add&modified=4900.500000&uuid=ACTIVE&from=example.com&name=Parcel&no=1Z999"
            "&extra=&date=");
  EXPECT_EQ(items["GONE"].cmd, "delete");
  EXPECT_EQ(items["GONE"].query, "cmd=delete&modified=5900.000000&uuid=GONE");
}

TEST_F(SyncManagerTest, WithoutModeSyncObjectQueuesNothing) {
  auto delivery = addDelivery("X", 10);
  makeManager(true);
  manager->syncObject(delivery, true);
  EXPECT_FALSE(manager->hasQueueItems());
  EXPECT_TRUE(engineLog->calls.empty());
}

TEST_F(SyncManagerTest, StatusTextsPerStepAndMode) {
  makeManager(true);
  startNotFirstRun();
  const std::pair<unsigned, std::optional<std::string>> noMode[] = {
      {0, "One moment…"}, {1, "One moment…"}, {2, std::nullopt}, {3, std::nullopt},
      {4, "Updating…"},   {5, std::nullopt},  {6, std::nullopt}};
  for (const auto& [step, text] : noMode) {
    manager->setStep(step);
    EXPECT_EQ(manager->status(), text) << step;
  }

  defaults->setBool(true, QBYQuillbaySuccessKey);
  manager->setStep(3);
  EXPECT_EQ(manager->status(), "Syncing with Quillbay…");
  EXPECT_EQ(manager->syncType(), "Quillbay");
  manager->setStep(6);
  EXPECT_EQ(manager->status(), "Couldn’t connect");
  manager->setQuillbaySuccessDate(Date::now());
  EXPECT_EQ(manager->status(), "Synced a moment ago");

  defaults->setBool(true, QBYiCloudSuccessKey);
  EXPECT_FALSE(manager->status());

  // Off the main thread there is no status.
  std::optional<std::string> fromThread = "unset";
  std::thread([&] { fromThread = manager->status(); }).join();
  EXPECT_FALSE(fromThread);
}

TEST_F(SyncManagerTest, StepChangesPostNotificationsAndDriveActivity) {
  makeManager(true);
  startNotFirstRun();
  ASSERT_TRUE(waitFor([&] { return manager->step() == 6; }));
  NotificationRecorder notifications;

  manager->setStep(2);
  EXPECT_TRUE(manager->active());
  manager->setStep(2);  // unchanged: nothing posted
  manager->setStep(3);
  EXPECT_EQ(notifications.count(QBYSyncChangeNotification), 2u);
  EXPECT_FALSE(notifications.entries[0].status);

  manager->setStep(5);
  EXPECT_FALSE(manager->active());
  // Leaving step 5 before it settles cancels the pending step 6.
  manager->setStep(4);
  MainQueue::runUntil([] { return false; }, 1.0);
  EXPECT_EQ(manager->step(), 4u);
  EXPECT_EQ(notifications.count(QBYSyncCompleteNotification), 0u);

  manager->setStep(5);
  ASSERT_TRUE(waitFor([&] { return notifications.count(QBYSyncCompleteNotification) == 1; }));
  // Step 6 always runs, also when it is the current step.
  manager->setStep(6);
  EXPECT_EQ(notifications.count(QBYSyncCompleteNotification), 2u);
}

TEST_F(SyncManagerTest, SyncChangesPushesOnlyQueuedCloudChanges) {
  makeManager(true);
  startNotFirstRun();
  EXPECT_FALSE(manager->syncChanges());  // no mode
  defaults->setBool(true, QBYiCloudSuccessKey);
  EXPECT_FALSE(manager->syncChanges());  // empty queue
  auto delivery = addDelivery("Q", 1);
  manager->syncObject(delivery, false);
  manager->setICloudProblem(true);
  EXPECT_FALSE(manager->syncChanges());
  manager->setICloudProblem(false);
  engineLog->calls.clear();
  EXPECT_TRUE(manager->syncChanges());
  EXPECT_EQ(manager->step(), 2u);
  EXPECT_EQ(engineLog->calls, std::vector<std::string>{"syncWithiCloud"});
}

// --- Locale and clock ---

TEST_F(SyncManagerTest, ClockChangeForgetsHistoryDateAndPullsFutureDatesBack) {
  makeManager(true);
  startNotFirstRun();
  ASSERT_TRUE(waitFor([&] { return manager->step() == 6; }));
  NotificationRecorder notifications;
  const Date future = Date::now().addingTimeInterval(86400 * 3);
  manager->setQuillbaySuccessDate(future);
  manager->setQuillbayErrorDate(future);
  const int before = delegate.willStart;

  QBYNotificationCenter::defaultCenter().post(QBYCalendarDayChangedNotification);
  EXPECT_EQ(notifications.count(QBYTimeChangeNotification), 1u);
  EXPECT_EQ(manager->quillbaySuccessDate(), future);  // a new day changes no dates
  EXPECT_EQ(delegate.willStart, before);

  QBYNotificationCenter::defaultCenter().post(QBYSystemClockDidChangeNotification);
  EXPECT_EQ(notifications.count(QBYTimeChangeNotification), 2u);
  EXPECT_LT(*manager->quillbaySuccessDate(), future);
  EXPECT_LT(*manager->quillbayErrorDate(), future);
  EXPECT_EQ(delegate.willStart, before + 1);

  QBYNotificationCenter::defaultCenter().post(QBYCurrentLocaleDidChangeNotification);
  EXPECT_EQ(notifications.count(QBYLocaleChangeNotification), 1u);
}

// --- Quitting ---

TEST_F(SyncManagerTest, BusyGivesUpThirtySecondsAfterPrepareToStop) {
  std::atomic<double> now{1'700'000'000};
  ClockOverride clock([&] { return Date(now.load()); });
  defaults->setBool(true, QBYQuillbaySuccessKey);
  makeManager(true);
  startNotFirstRun();
  manager->setStep(5);
  EXPECT_TRUE(manager->busy());  // settling, not quitting

  engineLog->operations = 1;  // an exchange that never ends
  manager->prepareToStop();
  EXPECT_TRUE(manager->preparingToStop());
  for (double t : {0.0, 4.9, 5.1, 20.0, 30.0}) {
    now = 1'700'000'000 + t;
    EXPECT_TRUE(manager->busy()) << t;
  }
  now = 1'700'000'000 + 30.5;
  EXPECT_FALSE(manager->busy());
  EXPECT_FALSE(manager->active());
  EXPECT_FALSE(manager->quitDate());
  // Asking again does not start another wait.
  now = 1'700'000'000 + 31;
  EXPECT_FALSE(manager->busy());
}

TEST_F(SyncManagerTest, BusyEndsAfterTheGraceWhenNothingRuns) {
  std::atomic<double> now{1'700'000'000};
  ClockOverride clock([&] { return Date(now.load()); });
  makeManager(true);
  startNotFirstRun();
  manager->setStep(2);
  manager->prepareToStop();
  now = 1'700'000'000 + 2;
  EXPECT_TRUE(manager->busy());
  now = 1'700'000'000 + 6;
  EXPECT_FALSE(manager->busy());  // no mode and no operations

  manager->setStep(6);
  EXPECT_FALSE(manager->busy());
}

TEST_F(SyncManagerTest, StopSavesAndAllowsStartingAgain) {
  defaults->setBool(true, QBYQuillbaySuccessKey);
  auto delivery = addDelivery("S", 1);
  makeManager(true);
  startNotFirstRun();
  manager->syncObject(delivery, false);
  manager->stop();
  EXPECT_FALSE(manager->started());
  EXPECT_FALSE(manager->ready());
  EXPECT_GE(engineLog->count("cancelAllOperations"), 1u);
  // No longer observing the application.
  const int before = delegate.willStart;
  QBYNotificationCenter::defaultCenter().post(QBYApplicationDidBecomeActiveNotification);
  EXPECT_EQ(delegate.willStart, before);

  manager->start();
  ASSERT_TRUE(waitFor([&] { return manager->started(); }));
  EXPECT_EQ(delegate.willStart, before + 1);  // the first finish syncs
  ASSERT_TRUE(waitFor([&] { return manager->step() == 6; }));
  QBYNotificationCenter::defaultCenter().post(QBYApplicationDidBecomeActiveNotification);
  EXPECT_EQ(delegate.willStart, before + 2);
}

}  // namespace
}  // namespace qby::test
