// The update cycle: requests, selection, guards, continuation, the run's report and memory
// pressure, with a fake updater over a real store and a sync manager with no sync mode.
#include <algorithm>

#include "engine/QBYServiceUpdate.h"
#include "manager/DeliveriesManagerTestSupport.h"
#include "store/QBYDeliveriesQueries.h"
#include "sync/QBYSyncManagerDelegate.h"

namespace qby::test {
namespace {

bool contains(const std::vector<std::string>& list, const std::string& value) {
  return std::find(list.begin(), list.end(), value) != list.end();
}

// --- Requests
// --------------------------------------------------------------------------------------

TEST_F(DeliveriesManagerTest, StartRunsASyncPassThatLeadsIntoOneUpdate) {
  insertDelivery("A1", 0);
  manager->start();
  ASSERT_TRUE(waitForResults(1));
  EXPECT_TRUE(manager->started());
  ASSERT_EQ(updater->runs.size(), 1u);
  EXPECT_EQ(updater->uuidsOfRun(0), std::vector<std::string>{"uuid-A1"});
  EXPECT_EQ(delegate->results, std::vector<unsigned>{QBYUpdateResultNoChanges});
  // The run is over: step idle, busy date gone, nothing scheduled.
  EXPECT_EQ(manager->updateStep(), QBYUpdateStepIdle);
  EXPECT_FALSE(manager->updateBusyDate());
  EXPECT_FALSE(manager->updateDeliveriesPending());
}

TEST_F(DeliveriesManagerTest, TwoUpdateCallsMakeOneRun) {
  insertDelivery("A1", 0);
  manager->start();
  ASSERT_TRUE(waitForResults(1));
  ASSERT_TRUE(MainQueue::runUntil([&] { return !manager->busy(); }, 20));
  const int beganBefore = delegate->began;
  const std::size_t runsBefore = updater->runs.size();

  manager->update();
  manager->update();
  ASSERT_TRUE(waitForResults(2));
  // Anything a second request could still have scheduled has had its chance.
  MainQueue::runUntil([&] { return !manager->busy() && !manager->updateDeliveriesPending(); }, 20);
  MainQueue::runUntil([] { return false; }, 0.5);
  EXPECT_EQ(delegate->began - beganBefore, 1);
  EXPECT_EQ(updater->runs.size() - runsBefore, 1u);
  EXPECT_EQ(delegate->results.size(), 2u);
}

TEST_F(DeliveriesManagerTest, DelayedCallsReplaceEachOther) {
  insertDelivery("A1", 0);
  manager->updateDeliveriesAfter(30);
  manager->updateDeliveriesSoon();
  ASSERT_TRUE(waitForResults(1, 10));
  EXPECT_FALSE(manager->updateDeliveriesPending());
  MainQueue::runUntil([] { return false; }, 0.5);
  EXPECT_EQ(delegate->results.size(), 1u);
  EXPECT_EQ(delegate->began, 1);
}

// --- Continuation and results
// ---------------------------------------------------------------------

TEST_F(DeliveriesManagerTest, UpdateDuringARunContinuesWithASecondSelectionBeforeTheReport) {
  autoComplete = false;
  insertDelivery("A1", 0);
  manager->updateDeliveries();
  ASSERT_EQ(updater->runs.size(), 1u);
  EXPECT_EQ(manager->updateStep(), QBYUpdateStepUpdating);
  EXPECT_TRUE(manager->updateBusyDate());

  manager->updateDeliveries();
  EXPECT_TRUE(manager->continueUpdating());
  EXPECT_EQ(updater->runs.size(), 1u);

  updater->complete(true);
  // The second selection ran at once, and the run is not reported yet.
  EXPECT_EQ(updater->runs.size(), 2u);
  EXPECT_FALSE(manager->continueUpdating());
  EXPECT_EQ(manager->updateStep(), QBYUpdateStepUpdating);
  EXPECT_TRUE(delegate->results.empty());

  updater->complete(true);
  ASSERT_EQ(delegate->results.size(), 1u);
  EXPECT_EQ(manager->updateStep(), QBYUpdateStepIdle);
}

TEST_F(DeliveriesManagerTest, FailedRunReportsFailureAndTheNextRunStartsFromNoChanges) {
  autoComplete = false;
  insertDelivery("A1", 0);
  manager->updateDeliveries();
  updater->failedConfiguration = true;
  updater->complete(false);
  ASSERT_EQ(delegate->results, std::vector<unsigned>{QBYUpdateResultFailed});
  EXPECT_EQ(notifications->configurationFailures, 1);
  EXPECT_EQ(manager->updateResult(), QBYUpdateResultNoChanges);
  EXPECT_EQ(manager->updateResultText(), "no changes");

  updater->failedConfiguration = false;
  manager->updateDeliveries();
  updater->complete(true);
  ASSERT_EQ(delegate->results.size(), 2u);
  EXPECT_EQ(delegate->results[1], QBYUpdateResultNoChanges);
  EXPECT_EQ(notifications->configurationFailures, 1);
}

TEST_F(DeliveriesManagerTest, ScriptErrorIsReportedOnceAndCancelsEachTime) {
  autoComplete = false;
  insertDelivery("A1", 0);
  LogCapture logs;
  manager->updateDeliveries();
  manager->handleException("TypeError: x is undefined");
  EXPECT_TRUE(updater->invalidated);
  EXPECT_FALSE(manager->currentUpdater());
  manager->updateDeliveries();
  manager->handleException("TypeError: again");
  EXPECT_EQ(notifications->exceptions, std::vector<std::string>{"TypeError: x is undefined"});
  EXPECT_EQ(delegate->results,
            (std::vector<unsigned>{QBYUpdateResultFailed, QBYUpdateResultFailed}));
  EXPECT_EQ(logs.linesContaining("Canceling update").size(), 2u);
}

TEST_F(DeliveriesManagerTest, NothingDueEndsTheRunAsSuccessWithoutTheUpdater) {
  insertDelivery("A1", now() + 3600);
  manager->deliveriesToUpdate();  // the first selection after launch also takes stuck ones
  manager->updateDeliveries();
  EXPECT_EQ(updatersMade, 0);
  EXPECT_EQ(delegate->results, std::vector<unsigned>{QBYUpdateResultNoChanges});
  EXPECT_EQ(delegate->began, 1);
}

// --- Guards of the widget and the companion
// -------------------------------------------------------

TEST_F(DeliveriesManagerTest, WidgetWithTheApplicationOpenHandsTheUpdateOver) {
  manager->setProcessType(QBYProcessTypeWidget);
  parentOpen = true;
  insertDelivery("A1", 0);
  manager->updateDeliveries();
  EXPECT_EQ(actions, std::vector<std::string>{QBYWormholeActionUpdateDeliveries});
  EXPECT_EQ(updatersMade, 0);
  EXPECT_EQ(delegate->results, std::vector<unsigned>{QBYUpdateResultNoChanges});
  EXPECT_EQ(delegate->began, 0);
}

TEST_F(DeliveriesManagerTest, ApplicationIgnoresItsOwnParentCheckAndBusyDate) {
  parentOpen = true;
  manager->setUpdateBusyDate(Date::now().addingTimeInterval(-600));
  insertDelivery("A1", 0);
  manager->updateDeliveries();
  ASSERT_TRUE(waitForResults(1));
  EXPECT_TRUE(actions.empty());
  EXPECT_EQ(updater->runs.size(), 1u);
}

TEST_F(DeliveriesManagerTest, BusyDateTwoHoursOldSkipsThreeHoursOldResets) {
  manager->setProcessType(QBYProcessTypeCompanion);
  insertDelivery("A1", 0);
  LogCapture logs;

  const Date twoHoursAgo = Date::now().addingTimeInterval(-2 * 3600 - 60);
  manager->setUpdateBusyDate(twoHoursAgo);
  manager->updateDeliveries();
  EXPECT_EQ(logs.linesContaining("Hours since last busy date: 2").size(), 1u);
  EXPECT_EQ(logs.linesContaining("Skipping update because the last update did not complete").size(),
            1u);
  EXPECT_EQ(updatersMade, 0);
  ASSERT_EQ(delegate->results.size(), 1u);
  // The skipped report must not clear the busy date of the run that may still be going on,
  // or the next request an hour later would run beside it.
  ASSERT_TRUE(manager->updateBusyDate());
  EXPECT_NEAR(manager->updateBusyDate()->timeIntervalSince1970(),
              twoHoursAgo.timeIntervalSince1970(), 1.0);

  manager->setUpdateBusyDate(Date::now().addingTimeInterval(-3 * 3600 - 60));
  logs.clear();
  autoComplete = false;
  manager->updateDeliveries();
  EXPECT_EQ(logs.linesContaining("Resetting busy date").size(), 1u);
  ASSERT_EQ(updatersMade, 1);
  ASSERT_EQ(updater->runs.size(), 1u);
  ASSERT_TRUE(manager->updateBusyDate());
  EXPECT_GT(manager->updateBusyDate()->timeIntervalSince1970(), now() - 60);
  updater->complete(true);
  EXPECT_FALSE(manager->updateBusyDate());
}

// --- Selection
// ------------------------------------------------------------------------------------

TEST_F(DeliveriesManagerTest, SoftForcedUpdateTakesOnlyDeliveriesThatMayBeUpdated) {
  autoComplete = false;
  auto due = insertDelivery("DUE", now() - 10);
  auto stale = insertDelivery("STALE", now() + 3600);
  stale->setUpdatedTime(now() - 3600);
  auto fresh = insertDelivery("FRESH", now() + 3600);
  fresh->setUpdatedTime(now() - 10);
  auto archived = insertDelivery("OLD", now() - 10);
  archived->setArchived(true);
  ASSERT_TRUE(store->saveData());
  manager->deliveriesToUpdate();

  manager->manualUpdate(QBYForceUpdateSoft);
  EXPECT_TRUE(syncForceUpdate(*sync));
  // The sync pass the request starts ends in this call.
  manager->updateDeliveries();
  ASSERT_TRUE(updater);
  ASSERT_EQ(updater->runs.size(), 1u);
  auto soft = updater->uuidsOfRun(0);
  EXPECT_TRUE(contains(soft, "uuid-DUE"));
  EXPECT_TRUE(contains(soft, "uuid-STALE"));
  EXPECT_FALSE(contains(soft, "uuid-FRESH"));
  EXPECT_FALSE(contains(soft, "uuid-OLD"));
  EXPECT_EQ(manager->forceUpdate(), QBYForceUpdateNone);
  updater->complete(true);
  ASSERT_EQ(manager->updateStep(), QBYUpdateStepIdle);

  manager->resetServiceUpdates();
  EXPECT_EQ(manager->forceUpdate(), QBYForceUpdateAll);
  manager->updateDeliveries();
  ASSERT_TRUE(updater);
  ASSERT_FALSE(updater->runs.empty());
  auto all = updater->uuidsOfRun(updater->runs.size() - 1);
  EXPECT_EQ(all.size(), 3u);
  EXPECT_TRUE(contains(all, "uuid-FRESH"));
  EXPECT_FALSE(contains(all, "uuid-OLD"));
}

TEST_F(DeliveriesManagerTest, BackgroundSelectionUsesBackgroundTimesWithFifteenMinutesAhead) {
  auto soon = insertDelivery("SOON", now() + 100000);
  soon->setBackgroundUpdate(now() + 600);
  auto later = insertDelivery("LATER", now() + 100000);
  later->setBackgroundUpdate(now() + 1200);
  auto foreground = insertDelivery("FG", now() - 60);
  foreground->setBackgroundUpdate(now() + 5000);
  ASSERT_TRUE(store->saveData());
  manager->deliveriesToUpdate();

  notifications->state = QBYApplicationStateBackground;
  auto background = manager->deliveriesToUpdate();
  ASSERT_EQ(background.size(), 1u);
  EXPECT_EQ(background[0]->uuid(), "uuid-SOON");

  notifications->state = QBYApplicationStateActive;
  auto active = manager->deliveriesToUpdate();
  ASSERT_EQ(active.size(), 1u);
  EXPECT_EQ(active[0]->uuid(), "uuid-FG");
}

TEST_F(DeliveriesManagerTest, SelectionIsMostOverdueFirstAndLimitedInTheWidget) {
  for (int i = 0; i < 20; ++i) insertDelivery("N" + std::to_string(i), now() - 1000 + i);
  auto first = manager->deliveriesToUpdate();
  ASSERT_EQ(first.size(), 20u);
  EXPECT_EQ(first.front()->uuid(), "uuid-N0");
  EXPECT_EQ(first.back()->uuid(), "uuid-N19");
  manager->setProcessType(QBYProcessTypeWidget);
  auto widget = manager->deliveriesToUpdate();
  EXPECT_EQ(widget.size(), 15u);
}

TEST_F(DeliveriesManagerTest, StuckDeliveriesAreTakenOnlyByTheFirstSelection) {
  auto stuck = insertDelivery("STUCK", now() + 3600);
  stuck->setUpdating(true);
  ASSERT_TRUE(store->saveData());
  EXPECT_TRUE(manager->includeStuckDeliveries());
  auto first = manager->deliveriesToUpdate();
  ASSERT_EQ(first.size(), 1u);
  EXPECT_FALSE(manager->includeStuckDeliveries());
  EXPECT_TRUE(manager->deliveriesToUpdate().empty());
}

TEST_F(DeliveriesManagerTest, UpdaterSettingsLeaveOutAbsentValues) {
  auto delivery = insertDelivery("X1", 0);
  delivery->setExtra(std::nullopt);
  delivery->setDate("2024-05-01");
  auto settings = QBYDeliveriesManager::updaterSettingsForDelivery(*delivery);
  EXPECT_EQ(settings["uuid"].asString(), "uuid-X1");
  EXPECT_EQ(settings["hash"].asString(), delivery->settingsHash());
  EXPECT_EQ(settings["date"].asString(), "2024-05-01");
  EXPECT_FALSE(settings.contains("extra"));
  EXPECT_FALSE(settings.contains("itemCacheJSON"));
  // A delivery saved without a date keeps an empty text: no date is sent for it.
  delivery->setDate(std::string());
  EXPECT_FALSE(QBYDeliveriesManager::updaterSettingsForDelivery(*delivery).contains("date"));
}

// --- A run's results, counts and save
// -------------------------------------------------------------------

// A first answer with one line: the delivery's details change, which the user hears about.
Dictionary foundResults(const Delivery& delivery, std::int64_t status = 2) {
  return Dictionary{
      {"uuid", Value(delivery.uuid())},
      {"hash", Value(delivery.settingsHash())},
      {"status", Value(status)},
      {"items", Value(Array{Value(Dictionary{{"itemName", Value("Shoes")},
                                             {"dateString", Value("2024-05-01")},
                                             {"shippedText", Value("In transit %@")}})})},
      {"interval", Value(60)},
  };
}

TEST_F(DeliveriesManagerTest, NotificationsOfARunAreToldOnlyOnceItsChangesAreSaved) {
  autoComplete = false;
  notifications->state = 2;
  auto delivery = insertDelivery("N1", 0);
  manager->updateDeliveries();
  manager->updateDeliveryWithResults(foundResults(*delivery));
  EXPECT_TRUE(notifications->presented.empty()) << "told before the change was stored";
  updater->complete(true);
  ASSERT_EQ(delegate->results, std::vector<unsigned>{QBYUpdateResultNewData});
  ASSERT_EQ(notifications->presented.size(), 1u);
  EXPECT_EQ(notifications->presented[0].title, "Shoes");
  EXPECT_FALSE(manager->saveError());
}

TEST_F(DeliveriesManagerTest, ARunWhoseChangesCannotBeSavedFailsAndTellsNothing) {
  autoComplete = false;
  notifications->state = 2;
  auto delivery = insertDelivery("S1", 0);
  manager->updateDeliveries();
  manager->updateDeliveryWithResults(foundResults(*delivery));
  // The file goes away under the run (a full disk or a revoked store behaves the same way
  // for the context: its save is refused).
  store->persistentStore()->invalidate();
  LogCapture logs;
  updater->complete(true);
  ASSERT_EQ(delegate->results, std::vector<unsigned>{QBYUpdateResultFailed});
  EXPECT_TRUE(notifications->presented.empty());
  EXPECT_EQ(logs.linesContaining("Error saving changes: ").size(), 1u);
  ASSERT_TRUE(manager->saveError());
  EXPECT_FALSE(manager->saveError()->localizedDescription.empty());
  EXPECT_EQ(manager->updateBusyDate(), std::nullopt);
}

TEST_F(DeliveriesManagerTest, ARunCountsEachDeliveryByItsOutcome) {
  autoComplete = false;
  auto changed = insertDelivery("C1", 0);
  auto unchanged = insertDelivery("C2", 0);
  auto failed = insertDelivery("C3", 0);
  auto signIn = insertDelivery("C4", 0);
  // A store that shows an order only to a signed-in customer: its answer counts on its own,
  // never as failed.
  auto unsupported = insertDelivery("C5", 0, "www.apple.com/jp");
  manager->updateDeliveries();
  manager->updateDeliveryWithResults(foundResults(*changed));
  // The same line twice: the second application finds nothing new.
  manager->updateDeliveryWithResults(foundResults(*unchanged));
  manager->updateDeliveryWithResults(foundResults(*unchanged));
  manager->updateDeliveryWithResults(foundResults(*failed, 0));
  auto needsSignIn = foundResults(*signIn, 1);
  needsSignIn.set("tap", Value("signin"));
  manager->updateDeliveryWithResults(needsSignIn);
  manager->updateDeliveryWithResults(foundResults(*unsupported, 1));
  // A progress report and results for an unknown delivery count for nothing.
  manager->updateDeliveryWithResults(Dictionary{{"uuid", Value(changed->uuid())},
                                                {"hash", Value(changed->settingsHash())},
                                                {"updating", Value(true)}});
  manager->updateDeliveryWithResults(Dictionary{{"uuid", Value("nobody")}, {"status", Value(2)}});
  updater->complete(true);
  ASSERT_EQ(delegate->counts.size(), 1u);
  const auto& counts = delegate->counts[0];
  EXPECT_EQ(counts.updated, 2u);  // C1, and C2's first answer
  EXPECT_EQ(counts.unchanged, 1u);
  EXPECT_EQ(counts.failed, 2u);
  EXPECT_EQ(counts.unsupported, 1u);
  EXPECT_EQ(manager->runCounts().updated, 0u) << "counts belong to one run";

  // Nothing is due now: the next run ends at once, and counts nothing of the last one.
  manager->updateDeliveries();
  ASSERT_EQ(delegate->counts.size(), 2u);
  EXPECT_EQ(delegate->counts[1].updated + delegate->counts[1].unchanged +
                delegate->counts[1].failed + delegate->counts[1].unsupported,
            0u);
}

// --- Memory pressure and status
// --------------------------------------------------------------------

TEST_F(DeliveriesManagerTest, TwoMemoryWarningsDuringRunsStopUpdateUntilARunSucceeds) {
  autoComplete = false;
  insertDelivery("A1", 0);
  LogCapture logs;
  manager->updateDeliveries();
  manager->reduceMemoryUsage();
  manager->reduceMemoryUsage();
  EXPECT_EQ(manager->memoryWarningsWhileBusy(), 2);
  EXPECT_EQ(logs.linesContaining("Memory warning: update step 2 (2)").size(), 1u);
  updater->complete(false);

  manager->update();
  EXPECT_EQ(logs.linesContaining("Skipping update due to previous memory warnings").size(), 1u);

  // A run started directly (as after a sync) may still succeed and lifts the block.
  manager->updateDeliveries();
  updater->complete(true);
  EXPECT_EQ(manager->memoryWarningsWhileBusy(), 0);
  logs.clear();
  manager->update();
  EXPECT_TRUE(logs.linesContaining("Skipping update due to previous memory warnings").empty());
}

TEST_F(DeliveriesManagerTest, MemoryWarningWhileIdleDropsTheUpdater) {
  insertDelivery("A1", 0);
  manager->updateDeliveries();
  ASSERT_TRUE(waitForResults(1));
  ASSERT_TRUE(manager->currentUpdater());
  LogCapture logs;
  manager->reduceMemoryUsage();
  EXPECT_FALSE(manager->currentUpdater());
  EXPECT_TRUE(updater->invalidated);
  EXPECT_EQ(manager->memoryWarningsWhileBusy(), 0);
  EXPECT_EQ(logs.linesContaining("Memory warning: idle").size(), 1u);
}

TEST_F(DeliveriesManagerTest, StatusTextsAndChangeNotification) {
  std::vector<Dictionary> posted;
  auto token = QBYNotificationCenter::defaultCenter().addObserver(
      QBYDeliveriesChangeNotification, manager.get(),
      [&](const Notification& n) { posted.push_back(n.userInfo); });

  EXPECT_EQ(manager->status(), std::nullopt);  // no deliveries listed
  manager->updateStatus(std::nullopt);
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_TRUE(posted[0].empty());

  manager->updateStatus(std::string("Checking 1 of 2"));
  EXPECT_EQ(posted.back()[QBYDeliveriesStatusKey].asString(), "Checking 1 of 2");
  EXPECT_EQ(manager->status(), "Checking 1 of 2");

  manager->updateStatus(std::nullopt);
  auto delivery = insertDelivery("A1", now() + 3600);
  manager->reloadDeliveries();
  EXPECT_EQ(manager->status(), "Never updated");
  delivery->setUpdatedTime(now() - 30);
  ASSERT_TRUE(store->saveData());
  EXPECT_NEAR(manager->lastUpdated().timeIntervalSince1970(), now() - 30, 2);
  ASSERT_TRUE(manager->status());
  EXPECT_EQ(manager->status()->rfind("Updated ", 0), 0u);

  manager->setUpdateResult(QBYUpdateResultFailed);
  EXPECT_EQ(manager->status(), "Couldn’t connect");
}

TEST_F(DeliveriesManagerTest, SortModeSwitchToManualRenumbersTheList) {
  auto& defaults = QBYDataStore::sharedDefaults();
  insertDelivery("A", 0)->setManualSortIndex(50);
  insertDelivery("B", 0)->setManualSortIndex(7);
  ASSERT_TRUE(store->saveData());
  manager->start();
  manager->reloadDeliveries();
  auto order = manager->deliveries();
  ASSERT_EQ(order.size(), 2u);
  defaults.setInteger(0, QBYSortModeKey, true);
  EXPECT_EQ(order[0]->manualSortIndex(), 0);
  EXPECT_EQ(order[1]->manualSortIndex(), 1);
  EXPECT_EQ(manager->deliveries(), order);
  defaults.removeObjectForKey(QBYSortModeKey, false);
}

TEST_F(DeliveriesManagerTest, ServicesUpdateQueryAndCheckSchedule) {
  EXPECT_EQ(manager->additionalQueryForQuillbaySync().rfind("&defs=", 0), 0u);
  manager->downloadBetaServiceUpdate();
  EXPECT_TRUE(manager->checkForServicesBeta());
  EXPECT_NE(manager->additionalQueryForQuillbaySync().find("&beta=1"), std::string::npos);

  auto& update = manager->serviceUpdate();
  update.setUpdated(std::nullopt);
  EXPECT_TRUE(manager->shouldQuillbayUpdate());
  update.setUpdated(Date::now().addingTimeInterval(-3600 * 2));
  EXPECT_FALSE(manager->shouldQuillbayUpdate());
  update.setUpdated(Date::now().addingTimeInterval(-86400 * 8));
  EXPECT_TRUE(manager->shouldQuillbayUpdate());
  update.setUpdated(Date::now().addingTimeInterval(-86400 * 2));
  EXPECT_FALSE(manager->shouldQuillbayUpdate());
  QBYDataStore::sharedDefaults().setObject(Value(Date::now()), "QBYLastErrorDate");
  EXPECT_TRUE(manager->shouldQuillbayUpdate());
  QBYDataStore::sharedDefaults().removeObjectForKey("QBYLastErrorDate");
  update.setUpdated(std::nullopt);
}

TEST_F(DeliveriesManagerTest, AnOfferThroughTheManagerEndsTheRedownloadAfterAReset) {
  auto& update = manager->serviceUpdate();
  manager->resetServiceUpdates();
  ASSERT_TRUE(update.redownload());
  EXPECT_EQ(manager->additionalQueryForQuillbaySync().rfind("&defs=222", 0), 0u);
  LogCapture logs;
  // The server offers the installed version again, without a signature: it is taken as is.
  manager->unknownObjectNamed("updatedata",
                              Dictionary{{"version", Value(std::to_string(update.version()))}});
  EXPECT_FALSE(update.redownload());
  EXPECT_TRUE(update.updated());
  EXPECT_EQ(manager->additionalQueryForQuillbaySync().rfind(
                "&defs=" + std::to_string(update.versionForUpdateQuery()), 0),
            0u);
  // An older offer than the installed file changes nothing, whatever form its version has.
  manager->unknownObjectNamed("updatedata", Dictionary{{"version", Value(1)}});
  EXPECT_EQ(logs.linesContaining("Existing service update is newer").size(), 1u);
  EXPECT_TRUE(logs.linesContaining("New service update available").empty());
  update.setUpdated(std::nullopt);
}

TEST_F(DeliveriesManagerTest, UnknownReplyElementsAreLogged) {
  LogCapture logs;
  manager->unknownObjectNamed("mystery", Dictionary{{"a", Value(1)}});
  EXPECT_EQ(logs.linesContaining("Unknown object: mystery with attributes:").size(), 1u);
}

TEST_F(DeliveriesManagerTest, WebPagesOfEarlierBuildsGetTheirAddressAsTheExtraValue) {
  const auto file = makeTempDir("earlier") / "Porvane.sqlite";
  const auto add = [](QBYManagedObjectContext& context, const char* uuid, const char* from,
                      std::optional<std::string> no, std::optional<std::string> extra) {
    auto delivery = context.insert<Delivery>("Delivery");
    delivery->setUuid(std::string(uuid));
    delivery->setFrom(std::string(from));
    delivery->setNo(std::move(no));
    delivery->setExtra(std::move(extra));
    delivery->setArchived(false);
  };
  {
    QBYDataStore earlier(file);
    ASSERT_TRUE(earlier.available());
    auto& context = *earlier.viewContext();
    add(context, "page", "other", "https://shop.example/orders/5", std::nullopt);
    add(context, "both", "other", "A-1", std::string("https://shop.example/orders/6"));
    add(context, "carrier", "www.dhl.de", "00340434161094042557", std::string("10115"));
    ASSERT_TRUE(earlier.saveData());
  }
  // The store was last opened by a build that kept the address as the number.
  const unsigned current = QBYDataStore::currentVersion();
  QBYDataStore::sharedDefaults().setInteger(current > 1 ? 1 : 0, QBYLastInstalledVersionKey);
  auto reopened = std::make_shared<QBYDataStore>(file);
  ASSERT_TRUE(reopened->available());
  ASSERT_LT(reopened->previousVersionAtOpen(), reopened->currentVersionAtOpen());
  manager->setDataStore(reopened);
  manager->start();

  QBYDataStore after(file);
  ASSERT_TRUE(after.available());
  auto& context = *after.viewContext();
  const auto page = deliveryWithUUID(std::string("page"), context);
  ASSERT_TRUE(page);
  EXPECT_EQ(page->extra(), "https://shop.example/orders/5");
  EXPECT_EQ(page->no().value_or(""), "");
  const auto both = deliveryWithUUID(std::string("both"), context);
  ASSERT_TRUE(both);
  EXPECT_EQ(both->no(), "A-1");
  EXPECT_EQ(both->extra(), "https://shop.example/orders/6");
  const auto carrier = deliveryWithUUID(std::string("carrier"), context);
  ASSERT_TRUE(carrier);
  EXPECT_EQ(carrier->no(), "00340434161094042557");
  EXPECT_EQ(carrier->extra(), "10115");
}

}  // namespace
}  // namespace qby::test
