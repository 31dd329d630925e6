// A deliveries manager over a real store and a real sync manager (no sync mode), with a fake
// updater that records the runs it is given and ends them when the test says so (or at once
// with autoComplete), and delegates that record what they hear.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/QBYDeliveriesUpdater.h"
#include "manager/QBYDeliveriesManager.h"
#include "model/Delivery.h"
#include "model/Detail.h"
#include "model/Service.h"
#include "model/Setting.h"
#include "platform/MainQueue.h"
#include "platform/QBYUserDefaults.h"
#include "store/QBYDataStore.h"
#include "store/core/QBYManagedObjectContext.h"
#include "support/TestSupport.h"

namespace qby {
class QBYSyncManager;
}

namespace qby::test {

// A sync manager with no sync mode, and its forceUpdate flag (kept in one test source, apart
// from the store's query names).
std::shared_ptr<QBYSyncManager> makeSyncManager();
bool syncForceUpdate(const QBYSyncManager& sync);

class FakeUpdater : public QBYDeliveriesUpdaterHandle {
 public:
  void setDelegate(std::weak_ptr<QBYDeliveriesUpdaterDelegate> delegate) override {
    delegate_ = std::move(delegate);
  }
  void updateDeliveriesWithSettings(const Array& settings) override {
    runs.push_back(settings);
    if (autoComplete) {
      auto weak = delegate_;
      bool success = autoSuccess;
      MainQueue::async([weak, success] {
        if (auto delegate = weak.lock()) delegate->completeUpdateWithSuccess(success);
      });
    }
  }
  void startTroubleshooting() override { troubleshooting = true; }
  void updateLogs() override {}
  void signInForDomain(const std::string&, const std::optional<std::string>&,
                       std::weak_ptr<QBYDeliveriesUpdaterCaptureView>) override {}
  void invalidate() override { invalidated = true; }
  void reduceMemoryUsage() override {}
  bool busy() const override { return false; }
  bool configurationFailed() const override { return failedConfiguration; }

  // Ends the run as the engine would, on the main thread.
  void complete(bool success) {
    if (auto delegate = delegate_.lock()) delegate->completeUpdateWithSuccess(success);
  }

  // The uuids of one run's settings, in order.
  std::vector<std::string> uuidsOfRun(std::size_t run) const {
    std::vector<std::string> uuids;
    for (const auto& settings : runs.at(run))
      uuids.push_back(settings["uuid"].asString().value_or(""));
    return uuids;
  }

  std::vector<Array> runs;
  bool autoComplete = true;
  bool autoSuccess = true;
  bool failedConfiguration = false;
  bool troubleshooting = false;
  bool invalidated = false;

 private:
  std::weak_ptr<QBYDeliveriesUpdaterDelegate> delegate_;
};

class RecordingDelegate : public QBYDeliveriesManagerDelegate {
 public:
  void shouldReloadDeliveries() override { ++reloads; }
  void beganUpdatingDeliveries() override { ++began; }
  void completedUpdateWithCounts(const QBYUpdateCounts& run) override { counts.push_back(run); }
  void completedUpdateWithResult(unsigned result) override { results.push_back(result); }
  void updatedDelivery(const std::shared_ptr<Delivery>& delivery) override {
    updated.push_back(delivery);
  }
  void addedDelivery(const std::shared_ptr<Delivery>& delivery, std::size_t row) override {
    added.push_back({delivery, row});
  }
  void removedDelivery(const std::shared_ptr<Delivery>& delivery, std::size_t row,
                       bool deleted) override {
    removed.push_back({delivery, row, deleted});
  }
  void updatedArchivedDeliveries() override { ++archivedUpdates; }
  void userArchivedCompletedDelivery() override { ++archivedCompleted; }
  void shouldPresent(unsigned present, const std::shared_ptr<Delivery>& delivery) override {
    presented.push_back({present, delivery});
  }
  void willClearHistory() override { ++clearing; }

  struct Removal {
    std::shared_ptr<Delivery> delivery;
    std::size_t row;
    bool deleted;
  };
  int reloads = 0;
  int began = 0;
  std::vector<unsigned> results;
  std::vector<QBYUpdateCounts> counts;
  std::vector<std::shared_ptr<Delivery>> updated;
  std::vector<std::pair<std::shared_ptr<Delivery>, std::size_t>> added;
  std::vector<Removal> removed;
  int archivedUpdates = 0;
  int archivedCompleted = 0;
  std::vector<std::pair<unsigned, std::shared_ptr<Delivery>>> presented;
  int clearing = 0;
};

class RecordingNotificationDelegate : public QBYDeliveriesNotificationDelegate {
 public:
  long applicationState() override { return state; }
  void versionIsOutdated() override { ++outdated; }
  void updateConfigurationFailed() override { ++configurationFailures; }
  void deliveriesManagerException(const std::string& message) override {
    exceptions.push_back(message);
  }
  void removeNotificationForUUID(const std::string& uuid) override {
    removedNotifications.push_back(uuid);
  }
  void presentDeliveryNotification(const QBYNotification& notification) override {
    presented.push_back(notification);
  }
  void removeAllBadgeUUIDs() override { ++badgeClears; }
  void updateBadgeCount(long count) override { badgeCounts.push_back(count); }
  void updateSettings() override { ++settingsUpdates; }
  void processWormholeAction(const std::string& identifier, const Value& object) override {
    passedOn.emplace_back(identifier, object);
  }

  long state = 0;
  int outdated = 0;
  int configurationFailures = 0;
  std::vector<std::string> exceptions;
  std::vector<std::string> removedNotifications;
  std::vector<QBYNotification> presented;
  int badgeClears = 0;
  std::vector<long> badgeCounts;
  int settingsUpdates = 0;
  std::vector<std::pair<std::string, Value>> passedOn;
};

class DeliveriesManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto& defaults = QBYDataStore::sharedDefaults();
    for (const char* key : {QBYUpdateBusyDateKey, QBYAddToDeliveriesKey, QBYLastServiceKey})
      defaults.removeObjectForKey(key);
    store = std::make_shared<QBYDataStore>(makeTempDir("store") / "Porvane.sqlite");
    ASSERT_TRUE(store->available());
    sync = makeSyncManager();
    QBYDeliveriesManager::Options options;
    options.updaterFactory = [this](std::optional<std::filesystem::path>, bool limit) {
      ++updatersMade;
      limitedMemory = limit;
      updater = std::make_shared<FakeUpdater>();
      updater->autoComplete = autoComplete;
      return updater;
    };
    options.parentAppOpen = [this] { return parentOpen; };
    options.actionSender = [this](const std::string& action) { actions.push_back(action); };
    manager = QBYDeliveriesManager::create(std::move(options));
    manager->setDataStore(store);
    manager->setSyncManager(sync);
    manager->setDelegate(delegate);
    manager->setNotificationDelegate(notifications);
  }

  void TearDown() override {
    if (manager && manager->started()) manager->stop();
    MainQueue::drain();
    manager.reset();
    sync.reset();
    store.reset();
  }

  QBYManagedObjectContext& context() { return *store->viewContext(); }

  // A stored delivery of a carrier, due at the given time.
  std::shared_ptr<Delivery> insertDelivery(const std::string& no, double nextUpdate,
                                           const std::string& from = "carrier.example") {
    auto delivery = context().insert<Delivery>("Delivery");
    delivery->setUuid("uuid-" + no);
    delivery->setFrom(from);
    delivery->setNo(no);
    delivery->setName("Parcel " + no);
    delivery->setModified(Date::now().timeIntervalSince1970() - 1000);
    delivery->setNextUpdate(nextUpdate);
    delivery->setBackgroundUpdate(nextUpdate);
    delivery->setUpdating(false);
    EXPECT_TRUE(store->saveData());
    return delivery;
  }

  void addDetail(const std::shared_ptr<Delivery>& delivery, const std::string& item) {
    auto detail = context().insert<Detail>("Detail");
    detail->setItemName(item);
    detail->setIndex(static_cast<std::int64_t>(delivery->details().size()));
    detail->setDelivery(delivery);
    delivery->setUpdatedTime(Date::now().timeIntervalSince1970() - 600);
    EXPECT_TRUE(store->saveData());
  }

  // A service whose settings are the given types, each required.
  std::shared_ptr<Service> insertService(const std::string& from,
                                         const std::vector<std::string>& requiredTypes) {
    auto service = context().insert<Service>("Service");
    service->setFrom(from);
    service->setName(from);
    for (const auto& type : requiredTypes) {
      auto setting = context().insert<Setting>("Setting");
      setting->setType(type);
      setting->setName(type == "no" ? "Tracking Number" : "Postal Code");
      setting->setRequired(true);
      service->addSetting(setting);
    }
    EXPECT_TRUE(store->saveData());
    manager->clearServices();
    return service;
  }

  static double now() { return Date::now().timeIntervalSince1970(); }

  bool waitForResults(std::size_t count, double timeout = 20) {
    return MainQueue::runUntil([&] { return delegate->results.size() >= count; }, timeout);
  }

  std::shared_ptr<QBYDataStore> store;
  std::shared_ptr<QBYSyncManager> sync;
  std::shared_ptr<QBYDeliveriesManager> manager;
  std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
  std::shared_ptr<RecordingNotificationDelegate> notifications =
      std::make_shared<RecordingNotificationDelegate>();
  std::shared_ptr<FakeUpdater> updater;
  int updatersMade = 0;
  bool limitedMemory = false;
  bool autoComplete = true;
  bool parentOpen = false;
  std::vector<std::string> actions;
};

}  // namespace qby::test
