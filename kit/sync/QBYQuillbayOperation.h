// One exchange with the sync service: a queue item's command (or "get", a registration, the
// update check) sent as a form-encoded POST, and what its reply said. The engine that owns it
// (QBYQuillbaySyncEngine) builds the request when the exchange is sent, not when it is queued,
// so that the login part and "updated" are current.
//
// Threads: main thread, like the engine.
#pragma once

#include <gio/gio.h>

#include <optional>
#include <string>

#include "platform/GLibPtr.h"

namespace qby {

class QBYQuillbayOperation {
 public:
  QBYQuillbayOperation(std::optional<std::string> uuid, std::optional<std::string> query,
                       bool requiresLogin)
      : uuid_(std::move(uuid)), query_(std::move(query)), requiresLogin_(requiresLogin) {}

  // The uuid of the queue item it sends; nothing for an exchange without one.
  const std::optional<std::string>& uuid() const { return uuid_; }
  const std::optional<std::string>& query() const { return query_; }
  bool requiresLogin() const { return requiresLogin_; }

  bool cancelled() const { return cancelled_; }
  void cancel() {
    cancelled_ = true;
    if (cancellable_) g_cancellable_cancel(cancellable_.get());
  }
  GCancellable* cancellable() {
    if (!cancellable_) cancellable_ = GObjectPtr<GCancellable>::adopt(g_cancellable_new());
    return cancellable_.get();
  }

  // The reply's outcome: "success" true, "success" false (with "retry"), and a transport
  // failure that means the machine is offline rather than that the server failed.
  bool success = false;
  bool failure = false;
  bool retry = false;
  bool internetProblem = false;

 private:
  std::optional<std::string> uuid_;
  std::optional<std::string> query_;
  bool requiresLogin_ = false;
  bool cancelled_ = false;
  GObjectPtr<GCancellable> cancellable_;
};

}  // namespace qby
