// A sync manager wired to test doubles: its own defaults file, a local key-value store, a
// keyring stand-in, recording engines (or the ones without remote) and a recording data
// delegate, over a fresh store file.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "model/Delivery.h"
#include "platform/MainQueue.h"
#include "platform/QBYNotificationCenter.h"
#include "platform/QBYUserDefaults.h"
#include "store/QBYDataStore.h"
#include "support/TestSupport.h"
#include "sync/QBYNoRemoteSyncEngine.h"
#include "sync/QBYSyncManager.h"

namespace qby::test {

// What the recording engines were asked, in order, and what they report.
struct EngineLog {
  std::vector<std::string> calls;
  std::size_t operations = 0;
  bool finishStartOnEnable = true;

  std::size_t count(const std::string& call) const {
    return static_cast<std::size_t>(std::count(calls.begin(), calls.end(), call));
  }
};

class RecordingCloudEngine : public QBYCloudSyncEngine {
 public:
  explicit RecordingCloudEngine(std::shared_ptr<EngineLog> log) : log_(std::move(log)) {}
  void enableiCloud() override {
    log_->calls.push_back("enableiCloud");
    if (log_->finishStartOnEnable) manager_->finishStart();
  }
  void disableiCloud() override { log_->calls.push_back("disableiCloud"); }
  void syncWithiCloud() override { log_->calls.push_back("syncWithiCloud"); }
  void resetiCloudSubscription(bool restart) override {
    log_->calls.push_back(restart ? "resetiCloudSubscription:restart" : "resetiCloudSubscription");
  }
  void resetiCloud() override { log_->calls.push_back("resetiCloud"); }

 private:
  std::shared_ptr<EngineLog> log_;
};

class RecordingServiceEngine : public QBYSyncServiceEngine {
 public:
  explicit RecordingServiceEngine(std::shared_ptr<EngineLog> log) : log_(std::move(log)) {}
  void syncWithQuillbay() override { log_->calls.push_back("syncWithQuillbay"); }
  void quillbayUpdate() override {
    log_->calls.push_back("quillbayUpdate");
    manager_->setStep(5);
  }
  void registerQuillbayAccount() override { log_->calls.push_back("registerQuillbayAccount"); }
  void resetQuillbaySession() override { log_->calls.push_back("resetQuillbaySession"); }
  std::size_t operationCount() const override { return log_->operations; }
  void cancelAllOperations() override { log_->calls.push_back("cancelAllOperations"); }
  void cancelOperationsWithUUID(const std::string& uuid) override {
    log_->calls.push_back("cancel:" + uuid);
  }
  bool waitUntilAllOperationsAreFinished(double) override { return true; }

 private:
  std::shared_ptr<EngineLog> log_;
};

// The keyring as a map from (account, server) to password.
class FakeCredentials : public QBYSyncCredentials {
 public:
  std::optional<std::string> account;
  std::map<std::pair<std::string, std::string>, std::string> passwords;

  std::optional<std::string> accountOnServer(std::string_view) override { return account; }
  std::optional<std::string> passwordForAccount(std::string_view account,
                                                std::string_view server) override {
    auto it = passwords.find({std::string(account), std::string(server)});
    if (it == passwords.end()) return std::nullopt;
    return it->second;
  }
  bool setPassword(const std::string& password, std::string_view account, std::string_view server,
                   bool) override {
    passwords[{std::string(account), std::string(server)}] = password;
    return true;
  }
  bool deletePasswordForAccount(std::string_view account, std::string_view server) override {
    passwords.erase({std::string(account), std::string(server)});
    return true;
  }
};

class RecordingDelegate : public QBYSyncManagerDelegate {
 public:
  int willStart = 0;
  std::vector<std::pair<Dictionary, bool>> saved;
  std::vector<std::vector<QBYManagedObjectID>> deleted;
  std::vector<std::pair<std::string, Value>> ubiquitous;
  std::vector<std::pair<std::string, Dictionary>> unknown;
  bool useTimer = false;

  void willStartSyncing() override { ++willStart; }
  void saveObjectWithAttributes(const Dictionary& attributes, bool sync) override {
    saved.emplace_back(attributes, sync);
  }
  void removeObjectWithUUID(const std::string&) override {}
  void deleteObjectsWithIDs(const std::vector<QBYManagedObjectID>& ids) override {
    deleted.push_back(ids);
  }
  void unknownObjectNamed(const std::string& name, const Dictionary& attributes) override {
    unknown.emplace_back(name, attributes);
  }
  void ubiquitousKey(const std::string& key, const Value& value) override {
    ubiquitous.emplace_back(key, value);
  }
  bool shouldUseTimer() override { return useTimer; }
};

// Holds the prompt's handler until the test answers it.
class PromptingInterface : public QBYSyncInterfaceDelegate {
 public:
  int state = QBYApplicationStateActive;
  std::vector<std::string> titles;
  std::vector<std::string> messages;
  std::function<void(bool)> pending;

  int applicationState() override { return state; }
  void shouldPromptWithTitle(const std::string& title, const std::string& message,
                             const std::string&, const std::string&,
                             std::function<void(bool)> handler) override {
    titles.push_back(title);
    messages.push_back(message);
    pending = std::move(handler);
  }
};

// Collects the sync manager's notifications.
class NotificationRecorder {
 public:
  struct Entry {
    std::string name;
    std::optional<std::string> status;
  };
  NotificationRecorder() {
    token_ = QBYNotificationCenter::defaultCenter().addObserver(
        std::nullopt, nullptr, [this](const Notification& notification) {
          if (notification.name.rfind("QBYSync", 0) != 0 &&
              notification.name != QBYLocaleChangeNotification &&
              notification.name != QBYTimeChangeNotification) {
            return;
          }
          entries.push_back(
              {notification.name, notification.userInfo[QBYSyncStatusKey].asString()});
        });
  }
  std::size_t count(const std::string& name) const {
    std::size_t n = 0;
    for (const auto& entry : entries) n += entry.name == name;
    return n;
  }
  std::vector<Entry> entries;

 private:
  ObserverToken token_;
};

class SyncTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder = makeTempDir("sync");
    defaults = std::make_unique<QBYUserDefaults>(folder / "defaults.plist");
    // As if a bridge carried it between machines: first starts wait for it.
    keyValueStore = std::make_shared<QBYLocalKeyValueStore>(folder / "kvs.plist", true);
    credentials = std::make_shared<FakeCredentials>();
    engineLog = std::make_shared<EngineLog>();
    openStore();
  }

  void TearDown() override {
    manager.reset();
    store.reset();
  }

  void openStore() { store = std::make_unique<QBYDataStore>(folder / "Porvane.sqlite"); }

  // recording: the recording engines; otherwise the ones without remote.
  QBYSyncManager& makeManager(bool recording = false) {
    QBYSyncManagerEnvironment environment;
    environment.defaults = defaults.get();
    environment.keyValueStore = keyValueStore;
    environment.credentials = credentials;
    if (recording) {
      environment.cloudEngine = std::make_unique<RecordingCloudEngine>(engineLog);
      environment.serviceEngine = std::make_unique<RecordingServiceEngine>(engineLog);
    }
    manager = std::make_unique<QBYSyncManager>(std::move(environment));
    manager->setDataStore(store.get());
    manager->setDelegate(&delegate);
    return *manager;
  }

  // Starts a manager that has been started before on this machine and waits for the end of
  // start-up.
  void startNotFirstRun() {
    defaults->setBool(false, QBYSyncFirstRunKey);
    manager->start();
    ASSERT_TRUE(MainQueue::runUntil([&] { return manager->started(); }, 10));
  }

  std::shared_ptr<Delivery> addDelivery(const std::string& uuid, double modified,
                                        bool archived = false, bool removed = false,
                                        const std::string& name = "Parcel") {
    auto& context = *store->viewContext();
    auto delivery = context.insert<Delivery>("Delivery");
    delivery->setUuid(uuid);
    delivery->setName(name);
    delivery->setFrom(std::string("example.com"));
    delivery->setNo(std::string("1Z999"));
    delivery->setModified(modified);
    delivery->setArchived(archived);
    delivery->setRemoved(removed);
    EXPECT_TRUE(context.save());
    return delivery;
  }

  static bool waitFor(const std::function<bool()>& done, double seconds = 10) {
    return MainQueue::runUntil(done, seconds);
  }

  std::filesystem::path folder;
  std::unique_ptr<QBYUserDefaults> defaults;
  std::shared_ptr<QBYLocalKeyValueStore> keyValueStore;
  std::shared_ptr<FakeCredentials> credentials;
  std::shared_ptr<EngineLog> engineLog;
  std::unique_ptr<QBYDataStore> store;
  RecordingDelegate delegate;
  std::unique_ptr<QBYSyncManager> manager;
};

}  // namespace qby::test
