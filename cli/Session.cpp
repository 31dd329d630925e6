#include "Session.h"

#include "manager/QBYDeliveriesManager.h"
#include "platform/MainQueue.h"
#include "store/QBYDataStore.h"
#include "sync/QBYSyncManager.h"

namespace porvane {

namespace {

// How long quitting waits for sync to push pending changes; the sync manager gives up after
// 30 seconds itself, this only keeps a stuck loop from holding the terminal.
constexpr double kStopTimeoutSeconds = 35;

}  // namespace

std::unique_ptr<Session> Session::open(std::string* error) {
  std::unique_ptr<Session> session(new Session());
  session->store_ = std::make_shared<qby::QBYDataStore>();
  if (!session->store_->available()) {
    if (error) {
      const auto& failure = session->store_->error();
      *error = "the delivery store could not be opened" +
               (failure ? ": " + failure->localizedDescription : std::string());
    }
    return nullptr;
  }
  return session;
}

Session::~Session() {
  close();
}

qby::QBYDeliveriesManager& Session::startManager(
    std::weak_ptr<qby::QBYDeliveriesManagerDelegate> delegate,
    std::weak_ptr<qby::QBYDeliveriesNotificationDelegate> notificationDelegate) {
  if (manager_) return *manager_;
  manager_ = qby::QBYDeliveriesManager::create();
  manager_->setDataStore(store_);
  manager_->setSyncManager(std::make_shared<qby::QBYSyncManager>());
  // The tool acts for the user the way the main application does: it keeps no list window,
  // but it must not be held back by a busy date that a killed companion left behind.
  manager_->setProcessType(0);
  manager_->setDelegate(std::move(delegate));
  manager_->setNotificationDelegate(std::move(notificationDelegate));
  manager_->start();
  return *manager_;
}

void Session::close() {
  if (manager_) {
    auto manager = std::move(manager_);
    manager->prepareToStop();
    if (const auto& sync = manager->syncManager())
      qby::MainQueue::runUntil([&] { return !sync->busy(); }, kStopTimeoutSeconds);
    manager->stop();
    // Work the manager queued for the main thread (delegate calls, saves) runs before the
    // store goes, so nothing is left half-written.
    qby::MainQueue::drain();
  }
  if (store_) store_->saveData();
}

}  // namespace porvane
