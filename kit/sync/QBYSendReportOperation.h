// Sends one troubleshooting report to the report path of the account's server as a
// form-encoded POST ("cmd=report" and the report's fields) and reads the JSON answer
// {"success": true}. A transport error, an empty reply, a reply that is not a JSON object
// or a "success" that is not true all count as not sent; the caller keeps the report.
//
// Threads: start() on a thread whose thread-default main context runs (the main thread in
// the programs); the completion is called once, on that thread, unless the operation was
// cancelled or destroyed first.
#pragma once

#include <gio/gio.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/GLibPtr.h"
#include "platform/QBYError.h"
#include "platform/Value.h"

typedef struct _SoupSession SoupSession;

namespace qby {

class QBYSendReportOperation {
 public:
  using Completion = std::function<void(bool success, const std::optional<QBYError>& error)>;

  QBYSendReportOperation(std::string reportURL, Dictionary reportDictionary, Completion completion);
  ~QBYSendReportOperation();
  QBYSendReportOperation(const QBYSendReportOperation&) = delete;
  QBYSendReportOperation& operator=(const QBYSendReportOperation&) = delete;

  // "cmd=report" then "&key=value" per entry in order, the value encoded for a URL query (a
  // value that is not a text is sent empty).
  static std::string requestBody(const Dictionary& reportDictionary);
  // Whether the reply is a JSON object whose "success" is true.
  static bool replySaysSuccess(std::string_view reply);

  void start();
  void cancel();

 private:
  void finish(bool success, std::optional<QBYError> error);

  std::string reportURL_;
  Dictionary reportDictionary_;
  Completion completion_;
  GObjectPtr<SoupSession> session_;
  GObjectPtr<GCancellable> cancellable_;
  std::shared_ptr<bool> alive_;
};

}  // namespace qby
