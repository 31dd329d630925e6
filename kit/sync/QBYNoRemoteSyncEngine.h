// The engines of a machine that has neither a cloud account nor a reachable vendor service.
// They answer the way the real engines do when the remote side is missing, at once:
//
// - the cloud account check finds no account: cloud mode goes off and start-up finishes;
//   passes log that the cloud is not available;
// - the update check has nothing to ask and settles the step machine;
// - a request to the vendor's service (a flush or a registration) fails as a connection
//   failure ("Couldn’t connect"); the change queue keeps its items for a later engine.
//
// Main thread, like every engine call.
#pragma once

#include "sync/QBYSyncEngine.h"

namespace qby {

class QBYNoCloudSyncEngine : public QBYCloudSyncEngine {
 public:
  void enableiCloud() override;
  void disableiCloud() override;
  void syncWithiCloud() override;
  void resetiCloudSubscription(bool restart) override;
  void resetiCloud() override;
};

class QBYNoServiceSyncEngine : public QBYSyncServiceEngine {
 public:
  void syncWithQuillbay() override;
  void quillbayUpdate() override;
  void registerQuillbayAccount() override;
  void resetQuillbaySession() override {}

  std::size_t operationCount() const override { return 0; }
  void cancelAllOperations() override {}
  void cancelOperationsWithUUID(const std::string& uuid) override { (void)uuid; }
  bool waitUntilAllOperationsAreFinished(double timeoutSeconds) override {
    (void)timeoutSeconds;
    return true;
  }
};

}  // namespace qby
