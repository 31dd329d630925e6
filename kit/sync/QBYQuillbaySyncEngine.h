// The sync-service engine: flushes the change queue to the account's server in order, logs in
// with the password or the per-device login code, registers accounts, applies the replies
// (deliveries, client identifier, login code, clock offset, messages, update offers) and
// reacts to failures. Exchanges run one at a time; a failure of any kind never removes a
// queued change, so the next flush sends it again.
//
// Requests go to the configured server address (QBYSyncServerAddress) through one libsoup
// session that keeps its cookies in the suite's group cookie storage. Without an address a
// flush or registration fails as a connection failure and the update check does nothing.
//
// Threads: main thread for every call, like the sync manager that owns it, except
// waitUntilAllOperationsAreFinished (a background thread). libsoup delivers its callbacks on
// the main context.
#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/GLibPtr.h"
#include "platform/Value.h"
#include "sync/QBYQuillbayOperation.h"
#include "sync/QBYSyncEngine.h"
#include "sync/QBYXMLParser.h"

typedef struct _SoupSession SoupSession;

namespace qby {

class QBYQuillbaySyncEngine : public QBYSyncServiceEngine {
 public:
  QBYQuillbaySyncEngine();
  ~QBYQuillbaySyncEngine() override;

  // The fixed part of every request: "&type=linux&version=…&osversion=…&now=…" and the data
  // delegate's additional query.
  static std::string commonTail(const std::string& version, const std::string& osVersion,
                                double now, const std::string& additionalQuery);
  // "cmd=register&email=…&newpassword=…&confirmpass=…&name=…&terms=…" from the form.
  static std::string registerQuery(const Dictionary& form);
  // The running system's version as "major.minor.patch".
  static std::string operatingSystemVersion();

  void syncWithQuillbay() override;
  void quillbayUpdate() override;
  void registerQuillbayAccount() override;
  void resetQuillbaySession() override;

  std::size_t operationCount() const override;
  void cancelAllOperations() override;
  void cancelOperationsWithUUID(const std::string& uuid) override;
  bool waitUntilAllOperationsAreFinished(double timeoutSeconds) override;
  void stop() override;

  // continueAfterSuccess: a continuation after a confirmed exchange; retry: after the service
  // refused the login code.
  void syncWithQuillbayContinue(bool continueAfterSuccess, bool retry);
  // Whether a flush with nothing to send is due (error back-off, time since the last success).
  bool timeToSync() const;
  // The login part of a request; nothing when there are no credentials to send.
  std::optional<std::string> quillbayLoginQuery();
  // The request body; nothing when login is asked for and there is no login part.
  std::optional<std::string> quillbayRequestBody(const std::optional<std::string>& query,
                                                 bool login);

 private:
  class ReplyReader;

  void addOperation(std::optional<std::string> uuid, std::optional<std::string> query,
                    bool requiresLogin);
  bool hasOperationWithUUID(const std::string& uuid) const;
  void startNextOperation();
  void send(const std::shared_ptr<QBYQuillbayOperation>& operation);
  void replyArrived(const std::shared_ptr<QBYQuillbayOperation>& operation, GBytes* body,
                    GError* error);
  void finishOperation(const std::shared_ptr<QBYQuillbayOperation>& operation);
  void encountered(QBYQuillbayOperation& operation, const std::string& name,
                   const std::optional<std::string>& value,
                   const std::optional<Dictionary>& attributes);
  void operationSucceeded(QBYQuillbayOperation& operation);
  void operationFailed(QBYQuillbayOperation& operation);
  void raiseUpdated(double updated);
  SoupSession* session();
  void updateCount();

  GObjectPtr<SoupSession> session_;
  std::deque<std::shared_ptr<QBYQuillbayOperation>> operations_;
  bool running_ = false;
  mutable std::mutex countMutex_;
  std::condition_variable countChanged_;
  std::size_t count_ = 0;
  std::shared_ptr<bool> alive_;
};

}  // namespace qby
