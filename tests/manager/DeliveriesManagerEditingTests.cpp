// Saving, archiving and deleting deliveries, the add queue of the other programs, lookups with
// duplicate repair, changes from sync, the manual order and the archive.
#include "engine/QBYPasswordManager.h"
#include "manager/DeliveriesManagerTestSupport.h"
#include "store/QBYDeliveriesQueries.h"
#include "sync/QBYSyncManager.h"

namespace qby::test {

std::shared_ptr<QBYSyncManager> makeSyncManager() {
  return std::make_shared<QBYSyncManager>();
}
bool syncForceUpdate(const QBYSyncManager& sync) {
  return sync.forceUpdate();
}

namespace {

QBYDeliverySettings carrierSettings(const std::string& no, const std::string& name = "Shoes") {
  QBYDeliverySettings settings;
  settings.from = "carrier.example";
  settings.no = no;
  settings.name = name;
  return settings;
}

std::size_t countDeliveries(QBYManagedObjectContext& context, const std::string& predicate = "",
                            std::vector<Value> arguments = {}) {
  QBYFetchRequest request;
  request.entityName = "Delivery";
  request.predicate = predicate;
  request.arguments = std::move(arguments);
  return context.countForFetchRequest(request).value_or(999);
}

// --- Saving
// ---------------------------------------------------------------------------------------

TEST_F(DeliveriesManagerTest, SavingANewDeliveryNormalisesAndMakesItDueAtOnce) {
  auto settings = carrierSettings("  1Z999  ");
  settings.extra = " 10115 ";
  auto delivery = manager->saveDeliveryWithSettings(settings);
  ASSERT_TRUE(delivery);
  ASSERT_TRUE(delivery->uuid());
  EXPECT_EQ(delivery->uuid()->size(), 36u);
  EXPECT_EQ(delivery->no(), "1Z999");
  // Without a service record nothing says the extra is unused: it is kept, trimmed.
  EXPECT_EQ(delivery->extra(), "10115");
  EXPECT_TRUE(delivery->updating());
  EXPECT_EQ(delivery->nextUpdate(), 0);
  EXPECT_EQ(QBYDataStore::sharedDefaults().stringForKey(QBYLastServiceKey), "carrier.example");
  ASSERT_EQ(delegate->added.size(), 1u);
  EXPECT_EQ(delegate->added[0].second, 0u);
  EXPECT_EQ(manager->deliveries().front(), delivery);
  EXPECT_TRUE(manager->updateDeliveriesPending());
  EXPECT_EQ(countDeliveries(context()), 1u);
}

TEST_F(DeliveriesManagerTest, SavingTheSameSettingsTwiceOnlyTakesModified) {
  auto settings = carrierSettings("AB123");
  settings.uuid = "fixed-uuid";
  settings.modified = now() - 100;
  auto delivery = manager->saveDeliveryWithSettings(settings);
  ASSERT_TRUE(delivery);
  delivery->setNextUpdate(now() + 3600);
  delivery->setUpdating(false);
  ASSERT_TRUE(store->saveData());
  manager->updateDeliveriesAfter(1000);  // stands for a pending request from elsewhere
  delegate->added.clear();

  settings.modified = now() - 50;
  auto again = manager->saveDeliveryWithSettings(settings);
  EXPECT_EQ(again, delivery);
  EXPECT_DOUBLE_EQ(delivery->modified(), settings.modified);
  EXPECT_GT(delivery->nextUpdate(), now());
  EXPECT_FALSE(delivery->updating());
  EXPECT_TRUE(delegate->added.empty());
  EXPECT_TRUE(delegate->updated.empty());
  EXPECT_TRUE(manager->updateDeliveriesPending());
}

TEST_F(DeliveriesManagerTest, RenamingACarrierDeliveryClearsItsLinesButAnOtherKeepsThem) {
  auto carrier = manager->saveDeliveryWithSettings(carrierSettings("C1", "Old"));
  addDetail(carrier, "Parcel");
  QBYDeliverySettings otherSettings;
  otherSettings.from = "other";
  otherSettings.no = "https://shop.example/order/5";
  otherSettings.name = "Old";
  auto other = manager->saveDeliveryWithSettings(otherSettings);
  addDetail(other, "Typed by hand");

  auto renamed = carrierSettings("C1", "New");
  renamed.uuid = carrier->uuid();
  manager->saveDeliveryWithSettings(renamed);
  EXPECT_EQ(carrier->name(), "New");
  EXPECT_TRUE(carrier->details().empty());
  EXPECT_EQ(carrier->updatedTime(), 0);
  EXPECT_EQ(carrier->nextUpdate(), 0);
  ASSERT_EQ(delegate->updated.size(), 1u);

  otherSettings.uuid = other->uuid();
  otherSettings.name = "New";
  manager->saveDeliveryWithSettings(otherSettings);
  EXPECT_EQ(other->name(), "New");
  EXPECT_EQ(other->details().size(), 1u);
  EXPECT_GT(other->updatedTime(), 0);
}

TEST_F(DeliveriesManagerTest, ExtraAndDateAreDroppedWhenTheServiceHasNoSuchSetting) {
  insertService("carrier.example", {"no"});
  auto settings = carrierSettings("C1");
  settings.extra = "10115";
  settings.date = "2024-05-01";
  auto delivery = manager->saveDeliveryWithSettings(settings);
  ASSERT_TRUE(delivery);
  EXPECT_EQ(delivery->extra(), "");
  EXPECT_EQ(delivery->date(), "");
  ASSERT_TRUE(delivery->service());
  EXPECT_EQ(delivery->service()->from(), "carrier.example");
  EXPECT_EQ(delivery->service()->useCount(), 1);
}

TEST_F(DeliveriesManagerTest, TheFirstDeliveryIsPresentedLaterOnesAreNot) {
  auto first = manager->saveDeliveryWithSettings(carrierSettings("F1"));
  ASSERT_EQ(delegate->presented.size(), 1u);
  EXPECT_EQ(delegate->presented[0].first, QBYDeliverySettings::PresentFromEditor);
  EXPECT_EQ(delegate->presented[0].second, first);
  manager->saveDeliveryWithSettings(carrierSettings("F2"));
  EXPECT_EQ(delegate->presented.size(), 1u);
  auto linked = carrierSettings("F3");
  linked.shouldPresent = QBYDeliverySettings::PresentFromLink;
  manager->saveDeliveryWithSettings(linked);
  ASSERT_EQ(delegate->presented.size(), 2u);
  EXPECT_EQ(delegate->presented[1].first, QBYDeliverySettings::PresentFromLink);
}

TEST_F(DeliveriesManagerTest, EachNewDeliveryGoesAboveAllOthersWhateverTheListOrder) {
  // Every command of the tool is a process of its own: its list is fetched in the sort mode
  // of the defaults (by delivery date, then title), not in the manual order.
  auto& defaults = QBYDataStore::sharedDefaults();
  defaults.setInteger(1, QBYSortModeKey);
  std::vector<std::shared_ptr<Delivery>> added;
  for (const char* no : {"P1", "P2", "P3", "P4", "P5", "P6"}) {
    manager->reloadDeliveries();
    added.push_back(manager->saveDeliveryWithSettings(carrierSettings(no, no)));
  }
  for (std::size_t i = 1; i < added.size(); ++i)
    EXPECT_LT(added[i]->manualSortIndex(), added[i - 1]->manualSortIndex()) << i;
  EXPECT_EQ(added.front()->manualSortIndex(), 10);

  defaults.setInteger(0, QBYSortModeKey);
  manager->reloadDeliveries();
  std::vector<std::shared_ptr<Delivery>> expected(added.rbegin(), added.rend());
  EXPECT_EQ(manager->deliveries(), expected);
  defaults.removeObjectForKey(QBYSortModeKey);
}

TEST_F(DeliveriesManagerTest, APasswordThatCannotBeStoredIsToldToTheCaller) {
  insertService("shop.example", {"no", "extra", "password"});
  // No keyring anywhere: the session bus this process would ask does not exist.
  setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/porvane-test-bus", 1);
  QBYDeliverySettings settings;
  settings.from = "shop.example";
  settings.no = "123-1234567-1234567";
  settings.extra = "me@example.com";
  settings.password = "secret";
  settings.changedPassword = true;
  QBYError error;
  LogCapture logs;
  auto delivery = manager->saveDeliveryWithSettings(settings, &error);
  ASSERT_TRUE(delivery);
  EXPECT_FALSE(delivery->password());
  EXPECT_EQ(error.domain, QBYPasswordManagerErrorDomain);
  EXPECT_NE(error.localizedDescription.find("no keyring is reachable"), std::string::npos)
      << error.localizedDescription;
  EXPECT_EQ(logs.linesContaining("Error saving password for me@example.com on shop.example").size(),
            1u);
  // The delivery itself is kept.
  EXPECT_EQ(manager->deliveryWithUUID(delivery->uuid()), delivery);

  // Without a password to store there is nothing to tell.
  QBYError none;
  settings.password.reset();
  settings.changedPassword = false;
  settings.no = "123-7654321-1234567";
  EXPECT_TRUE(manager->saveDeliveryWithSettings(settings, &none));
  EXPECT_TRUE(none.localizedDescription.empty());
}

// --- Archiving and deleting
// -----------------------------------------------------------------------

TEST_F(DeliveriesManagerTest, ReaddingAnArchivedDeliveryBringsItBackOnTop) {
  auto a = manager->saveDeliveryWithSettings(carrierSettings("A"));
  auto b = manager->saveDeliveryWithSettings(carrierSettings("B"));
  ASSERT_EQ(manager->deliveries().size(), 2u);
  ASSERT_EQ(manager->deliveries()[1], a);

  auto archive = QBYDeliverySettings::settingsWithDictionary(a->attributes());
  manager->removeDeliveryWithSettings(archive);
  EXPECT_TRUE(a->archived());
  EXPECT_FALSE(a->removed());
  ASSERT_EQ(delegate->removed.size(), 1u);
  EXPECT_EQ(delegate->removed[0].row, 1u);
  EXPECT_FALSE(delegate->removed[0].deleted);
  EXPECT_EQ(manager->deliveries(), std::vector<std::shared_ptr<Delivery>>{b});
  EXPECT_EQ(notifications->removedNotifications, std::vector<std::string>{*a->uuid()});

  delegate->added.clear();
  auto readd = carrierSettings("A");
  readd.uuid = a->uuid();
  auto back = manager->saveDeliveryWithSettings(readd);
  EXPECT_EQ(back, a);
  EXPECT_FALSE(a->archived());
  ASSERT_EQ(delegate->added.size(), 1u);
  EXPECT_EQ(delegate->added[0].second, 0u);
  ASSERT_EQ(manager->deliveries().size(), 2u);
  EXPECT_EQ(manager->deliveries()[0], a);
  EXPECT_LT(a->manualSortIndex(), b->manualSortIndex());
}

TEST_F(DeliveriesManagerTest, DeletionLeavesATombstone) {
  auto delivery = manager->saveDeliveryWithSettings(carrierSettings("D1", "Gift"));
  addDetail(delivery, "Gift");
  const std::string uuid = *delivery->uuid();
  auto settings = QBYDeliverySettings::settingsWithDictionary(delivery->attributes());
  settings.shouldDelete = true;
  manager->removeDeliveryWithSettings(settings);

  ASSERT_EQ(delegate->removed.size(), 1u);
  EXPECT_TRUE(delegate->removed[0].deleted);
  EXPECT_EQ(manager->deliveryWithUUID(uuid), nullptr);
  auto tombstone = manager->deliveryWithUUID(uuid, true, &context());
  ASSERT_TRUE(tombstone);
  EXPECT_TRUE(tombstone->archived());
  EXPECT_TRUE(tombstone->removed());
  EXPECT_EQ(tombstone->from(), std::nullopt);
  EXPECT_EQ(tombstone->no(), std::nullopt);
  EXPECT_EQ(tombstone->name(), std::nullopt);
  EXPECT_TRUE(tombstone->details().empty());
  EXPECT_FALSE(tombstone->updating());
  EXPECT_EQ(countDeliveries(context(), R"(t."uuid" = ?)", {Value(uuid)}), 1u);
  EXPECT_EQ(countDeliveries(context(), R"(t."removed" = 1 AND t."archived" = 1)"), 1u);
}

TEST_F(DeliveriesManagerTest, UnknownArchivedDeliveryFromSyncWithoutResultsIsNotCreated) {
  QBYDeliverySettings settings = carrierSettings("S1");
  settings.uuid = "from-sync";
  settings.archived = true;
  settings.skipSync = true;
  manager->removeDeliveryWithSettings(settings);
  // Without carried results there is nothing worth keeping.
  EXPECT_EQ(manager->deliveryWithUUID("from-sync", true, &context()), nullptr);
  EXPECT_EQ(delegate->archivedUpdates, 0);
}

TEST_F(DeliveriesManagerTest, RemovingARowArchivesThatDelivery) {
  manager->saveDeliveryWithSettings(carrierSettings("R1"));
  auto second = manager->saveDeliveryWithSettings(carrierSettings("R2"));
  manager->removeDeliveryFromRow(0);
  EXPECT_TRUE(second->archived());
  manager->removeDeliveryFromRow(5);  // no such row: nothing happens
  EXPECT_EQ(manager->deliveries().size(), 1u);
}

// --- Lookups
// --------------------------------------------------------------------------------------

TEST_F(DeliveriesManagerTest, DuplicateUUIDsAreRepairedOnLookupKeepingTheNewest) {
  for (double modified : {100.0, 300.0, 300.0, 200.0}) {
    auto record = context().insert<Delivery>("Delivery");
    record->setUuid("dup");
    record->setNo(std::to_string(static_cast<int>(modified)));
    record->setModified(modified);
  }
  ASSERT_TRUE(store->saveData());
  ASSERT_EQ(countDeliveries(context(), R"(t."uuid" = 'dup')"), 4u);

  auto found = manager->deliveryWithUUID("dup");
  ASSERT_TRUE(found);
  EXPECT_EQ(found->modified(), 300.0);
  ASSERT_TRUE(MainQueue::runUntil([&] { return delegate->reloads > 0; }, 10));
  EXPECT_EQ(countDeliveries(context(), R"(t."uuid" = 'dup')"), 1u);
  EXPECT_EQ(manager->deliveryWithUUID("dup"), found);
  EXPECT_EQ(manager->deliveryWithUUID(std::nullopt), nullptr);
}

TEST_F(DeliveriesManagerTest, ChangedPasswordPreparesTheServiceDeliveriesForSignIn) {
  auto a = insertDelivery("P1", now() + 3600);
  a->setExtra("me@example.com");
  auto other = insertDelivery("P2", now() + 3600);
  other->setExtra("you@example.com");
  ASSERT_TRUE(store->saveData());
  manager->changedPasswordForDomain("carrier.example", std::string("me@example.com"));
  EXPECT_LE(a->nextUpdate(), now());
  EXPECT_GT(other->nextUpdate(), now());
}

// --- The add queue
// --------------------------------------------------------------------------------

TEST_F(DeliveriesManagerTest, AddedDeliveryDoesNotReplaceANewerOneAndTheQueueIsEmptied) {
  auto existing = insertDelivery("EXIST", now() + 3600);
  existing->setModified(now() + 1000);
  ASSERT_TRUE(store->saveData());

  auto older = carrierSettings("EXIST", "Replacement");
  manager->addDeliveryLaterWithSettings(older);
  manager->addDeliveryLaterWithSettings(carrierSettings("NEW1", "Fresh"));
  EXPECT_EQ(actions,
            (std::vector<std::string>{QBYWormholeActionAddDelivery, QBYWormholeActionAddDelivery}));
  ASSERT_EQ(QBYDataStore::sharedDefaults().arrayForKey(QBYAddToDeliveriesKey)->size(), 2u);

  LogCapture logs;
  manager->checkForAddedDeliveries();
  EXPECT_EQ(logs.linesContaining("Existing delivery is newer, not replacing:").size(), 1u);
  EXPECT_EQ(existing->name(), "Parcel EXIST");
  EXPECT_FALSE(QBYDataStore::sharedDefaults().arrayForKey(QBYAddToDeliveriesKey));
  EXPECT_EQ(countDeliveries(context(), R"(t."no" = 'NEW1')"), 1u);
}

TEST_F(DeliveriesManagerTest, AddedDeliveryReplacesAnOlderOneKeepingItsUUID) {
  auto existing = insertDelivery("OLDER", now() + 3600);
  manager->addDeliveryLaterWithSettings(carrierSettings("OLDER", "Renamed"));
  // A damaged entry is skipped, the others still taken.
  auto pending = *QBYDataStore::sharedDefaults().arrayForKey(QBYAddToDeliveriesKey);
  pending.insert(pending.begin(), Value("not an archive"));
  QBYDataStore::sharedDefaults().setObject(Value(pending), QBYAddToDeliveriesKey);

  LogCapture logs;
  manager->checkForAddedDeliveries();
  EXPECT_EQ(logs.linesContaining("Replacing delivery").size(), 1u);
  EXPECT_EQ(existing->name(), "Renamed");
  EXPECT_EQ(countDeliveries(context()), 1u);
  EXPECT_FALSE(QBYDataStore::sharedDefaults().arrayForKey(QBYAddToDeliveriesKey));
}

// --- Changes from sync
// ----------------------------------------------------------------------------

TEST_F(DeliveriesManagerTest, InvalidSettingsFromSyncAreIgnored) {
  insertService("carrier.example", {"no", "extra"});
  auto settings = carrierSettings("SYNC1", "Before");
  settings.extra = "10115";
  auto delivery = manager->saveDeliveryWithSettings(settings);
  ASSERT_TRUE(delivery);

  LogCapture logs;
  Dictionary attributes{{"uuid", Value(*delivery->uuid())},
                        {"from", Value("carrier.example")},
                        {"no", Value("SYNC1")},
                        {"name", Value("After")},
                        {"extra", Value("   ")},
                        {"modified", Value(now() + 10)}};
  manager->saveObjectWithAttributes(attributes, false);
  EXPECT_EQ(logs.linesContaining("Ignoring invalid settings:").size(), 1u);
  EXPECT_EQ(delivery->name(), "Before");
  EXPECT_EQ(delivery->extra(), "10115");

  // Valid settings from sync are taken and not sent back.
  attributes.set("extra", Value("20095"));
  manager->saveObjectWithAttributes(attributes, false);
  EXPECT_EQ(delivery->name(), "After");
  EXPECT_EQ(delivery->extra(), "20095");
}

TEST_F(DeliveriesManagerTest, SyncRemovalArchivesAndDeleteByIDsReloads) {
  auto a = manager->saveDeliveryWithSettings(carrierSettings("X1"));
  auto b = manager->saveDeliveryWithSettings(carrierSettings("X2"));
  manager->removeObjectWithUUID(*a->uuid());
  EXPECT_TRUE(a->archived());
  EXPECT_FALSE(a->removed());
  EXPECT_EQ(delegate->archivedCompleted, 0);

  const int reloads = delegate->reloads;
  manager->deleteObjectsWithIDs({b->objectID()});
  EXPECT_EQ(delegate->reloads, reloads + 1);
  EXPECT_EQ(countDeliveries(context(), R"(t."no" = 'X2')"), 0u);
  EXPECT_TRUE(manager->deliveries().empty());
}

// --- Order and archive
// ----------------------------------------------------------------------------

TEST_F(DeliveriesManagerTest, MovingRowsGoesThroughTheManualOrderAndSaves) {
  EXPECT_EQ(manager->indexForRow(0), 10);
  auto d = manager->saveDeliveryWithSettings(carrierSettings("D"));
  auto c = manager->saveDeliveryWithSettings(carrierSettings("C"));
  auto b = manager->saveDeliveryWithSettings(carrierSettings("B"));
  auto a = manager->saveDeliveryWithSettings(carrierSettings("A"));
  ASSERT_EQ(manager->deliveries(), (std::vector<std::shared_ptr<Delivery>>{a, b, c, d}));
  EXPECT_EQ(manager->moveDeliveryFromRow(1, 1, true), nullptr);
  EXPECT_EQ(manager->moveDeliveryFromRow(0, 3, true), a);
  EXPECT_EQ(manager->deliveries(), (std::vector<std::shared_ptr<Delivery>>{b, c, a, d}));
  EXPECT_FALSE(context().hasChanges());
  EXPECT_EQ(manager->moveDeliveryFromRow(QBYRowNotFound, 0, true), nullptr);
}

TEST_F(DeliveriesManagerTest, ClearingHistoryDeletesOnlyArchivedDeliveries) {
  auto keep = manager->saveDeliveryWithSettings(carrierSettings("K"));
  auto gone = manager->saveDeliveryWithSettings(carrierSettings("G"));
  manager->removeDeliveryWithSettings(
      QBYDeliverySettings::settingsWithDictionary(gone->attributes()));
  manager->clearHistory();
  EXPECT_EQ(delegate->clearing, 1);
  EXPECT_EQ(countDeliveries(context()), 1u);
  EXPECT_EQ(countDeliveries(context(), R"(t."no" = 'K')"), 1u);
}

TEST_F(DeliveriesManagerTest, HistoryDayDescriptions) {
  EXPECT_EQ(QBYDeliveriesManager::descriptionForHistoryDays(365242), "Manually");
  EXPECT_EQ(QBYDeliveriesManager::descriptionForHistoryDays(182), "After 6 Months");
  EXPECT_EQ(QBYDeliveriesManager::descriptionForHistoryDays(365), "After a Year");
  EXPECT_EQ(QBYDeliveriesManager::descriptionForHistoryDays(30), "After 30 Days");
}

}  // namespace
}  // namespace qby::test
