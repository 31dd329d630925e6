#include "Session.h"

#include "manager/QBYDeliveriesManager.h"
#include "platform/MainQueue.h"
#include "platform/QBYUserDefaults.h"
#include "store/QBYDataStore.h"
#include "sync/QBYSyncEngine.h"
#include "sync/QBYSyncManager.h"

namespace porvane {

namespace {

// How long quitting waits for sync to push pending changes; the sync manager gives up after
// 30 seconds itself, this only keeps a stuck loop from holding the terminal.
constexpr double kStopTimeoutSeconds = 35;
// A busy date older than this was left by a run that was killed (the manager's own limit).
constexpr double kBusyDateSeconds = 3 * 3600;

// Whether quitting must wait for sync: it reports itself busy and has work in hand, a pass
// (steps 1 to 4) or requests of the sync service. The sync manager also reports itself busy
// while it merely settles after a pass or has not started yet; a program with a window waits
// that out, a command need not: what is queued stays in the store for the next pass.
bool syncHasWorkInHand(qby::QBYSyncManager& sync) {
  if (!sync.busy()) return false;
  return sync.active() || sync.serviceEngine().operationCount() > 0;
}

}  // namespace

std::string storeErrorText(const std::optional<qby::QBYError>& failure, const char* verb) {
  // The library's message is written for a window ("There was an error loading your data");
  // on a terminal the file and the database's own reason say what to do.
  std::string text = "the delivery store";
  if (failure)
    if (const auto path = failure->userInfo[qby::QBYFilePathErrorKey].asString())
      text += " " + *path;
  text += std::string(" could not be ") + verb;
  if (failure) {
    const auto reason = failure->userInfo[qby::QBYLocalizedFailureReasonErrorKey].asString();
    text += ": " + (reason && !reason->empty() ? *reason : failure->localizedDescription);
  }
  return text;
}

std::unique_ptr<Session> Session::open(std::string* error) {
  std::unique_ptr<Session> session(new Session());
  session->store_ = std::make_shared<qby::QBYDataStore>();
  if (!session->store_->available()) {
    if (error) *error = storeErrorText(session->store_->error(), "opened");
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
  // The tool borrows the main application's process type, but the messages waiting for the
  // application (a page the browser handed over, a badge count) are not its to take.
  qby::QBYDeliveriesManager::Options options;
  options.listenForActions = false;
  manager_ = qby::QBYDeliveriesManager::create(std::move(options));
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
      qby::MainQueue::runUntil([&] { return !syncHasWorkInHand(*sync); }, kStopTimeoutSeconds);
    manager->stop();
    // Work the manager queued for the main thread (delegate calls, saves) runs before the
    // store goes, so nothing is left half-written.
    qby::MainQueue::drain();
  }
  if (store_) store_->saveData();
}

bool Session::updateRunning() {
  const auto busyDate =
      qby::QBYDataStore::sharedDefaults().dateOrNilForKey(qby::QBYUpdateBusyDateKey);
  if (!busyDate) return false;
  const double age = qby::Date::now().timeIntervalSince(*busyDate);
  return age >= 0 && age < kBusyDateSeconds;
}

}  // namespace porvane
