// The two remote engines the sync manager can run, as interfaces, so that the cloud record
// engine and the vendor's sync-service engine plug into the manager without changing it.
//
// The sync manager owns its engines. It attaches itself once, before any other call, and then
// calls them on the main thread. Engines drive the manager back through its public state and
// queue operations (setStep, finishStart, the change queue, the flags); they call its data
// delegate only through the manager, on the main thread.
//
// QBYNoCloudSyncEngine and QBYNoServiceSyncEngine (QBYNoRemoteSyncEngine.h) are the engines of a
// machine without a cloud account or vendor service: they finish at once the honest way.
#pragma once

#include <cstddef>
#include <string>

namespace qby {

class QBYSyncManager;

// The cloud record engine: one record per delivery in the user's private cloud database.
class QBYCloudSyncEngine {
 public:
  virtual ~QBYCloudSyncEngine() = default;

  void attach(QBYSyncManager* manager) { manager_ = manager; }

  // Checks the cloud account (also on refresh, after a reset and when the account changes).
  // Ends in the manager's finishStart() in every case, unless a reset is running (step 1).
  virtual void enableiCloud() = 0;
  // Turns cloud mode off, drops the subscription where there is one, cancels queued service
  // operations (resetOperationQueue) and forgets the account hash.
  virtual void disableiCloud() = 0;
  // One pass: fetch the other machines' changes, then push the queued "update" items.
  virtual void syncWithiCloud() = 0;
  // Forgets the change token and deletes the push subscription; re-creates it when restart.
  virtual void resetiCloudSubscription(bool restart) = 0;
  // Deletes the cloud data and uploads everything again (after the user confirmed).
  virtual void resetiCloud() = 0;
  // The manager stops: drop sessions and callbacks.
  virtual void stop() {}

 protected:
  QBYSyncManager* manager_ = nullptr;
};

// The vendor's sync service: an account, form-encoded requests, flat XML replies, and the
// service-script update check when no account is in use. It owns the operation queue on which
// exchanges run one at a time; when that queue becomes empty it calls the manager's
// operationCountDidReachZero() on the main thread.
class QBYSyncServiceEngine {
 public:
  virtual ~QBYSyncServiceEngine() = default;

  void attach(QBYSyncManager* manager) { manager_ = manager; }

  // Flushes the change queue to the service (or asks for its changes with nothing queued).
  virtual void syncWithQuillbay() = 0;
  // The service-script update check, run by sync when no account is in use; without an
  // exchange to make it settles the step machine (step 5).
  virtual void quillbayUpdate() = 0;
  // Sends the registration form the manager holds (quillbaySettings()).
  virtual void registerQuillbayAccount() = 0;
  // Forgets the session, cancelling its requests.
  virtual void resetQuillbaySession() = 0;

  // --- The operation queue ---
  // Operations queued or running.
  virtual std::size_t operationCount() const = 0;
  virtual void cancelAllOperations() = 0;
  // Cancels the queued exchanges about that uuid (its queue item was removed).
  virtual void cancelOperationsWithUUID(const std::string& uuid) = 0;
  // Waits until no operation is left; false when the timeout (seconds) passed first. Called
  // from a background thread (sign-out), never from the main thread.
  virtual bool waitUntilAllOperationsAreFinished(double timeoutSeconds) = 0;

  // The manager stops: invalidate the session.
  virtual void stop() {}

 protected:
  QBYSyncManager* manager_ = nullptr;
};

}  // namespace qby
