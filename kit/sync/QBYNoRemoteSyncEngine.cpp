#include "sync/QBYNoRemoteSyncEngine.h"

#include "platform/Log.h"
#include "platform/QBYUserDefaults.h"
#include "sync/QBYSyncManager.h"

namespace qby {

void QBYNoCloudSyncEngine::enableiCloud() {
  auto& manager = *manager_;
  // A reset in progress checks the account itself when it is done.
  if (manager.step() == 1) return;
  manager.setReady(false);
  manager.setStep(0);
  manager.setICloudAvailable(false);
  manager.setICloudProblem(false);
  if (manager.iCloudEnabled()) disableiCloud();
  manager.finishStart();
}

void QBYNoCloudSyncEngine::disableiCloud() {
  auto& manager = *manager_;
  manager.setICloudEnabled(false);
  // Without an account there is no subscription to delete; what is kept locally goes.
  manager.defaults().removeObjectForKey(QBYiCloudChangeTokenKey);
  manager.resetOperationQueue();
  manager.defaults().removeObjectForKey(QBYiCloudHashKey);
}

void QBYNoCloudSyncEngine::syncWithiCloud() {
  if (!manager_->delegate()) {
    log("Tried to sync with iCloud but there's no delegate set");
    return;
  }
  log("iCloud is not available yet");
}

void QBYNoCloudSyncEngine::resetiCloudSubscription(bool restart) {
  (void)restart;
  manager_->defaults().removeObjectForKey(QBYiCloudChangeTokenKey);
}

void QBYNoCloudSyncEngine::resetiCloud() {
  auto& manager = *manager_;
  manager.setStep(1);
  manager.setStarted(false);
  manager.setReady(false);
  disableiCloud();
  // Nothing remote to delete; the account check that follows finds no account.
  manager.setStep(0);
  enableiCloud();
}

void QBYNoServiceSyncEngine::syncWithQuillbay() {
  manager_->quillbaySyncFailedWithConnectionError(true);
}

void QBYNoServiceSyncEngine::quillbayUpdate() {
  manager_->setStep(5);
}

void QBYNoServiceSyncEngine::registerQuillbayAccount() {
  manager_->quillbaySyncFailedWithConnectionError(true);
}

}  // namespace qby
