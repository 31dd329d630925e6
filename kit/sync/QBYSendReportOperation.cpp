#include "sync/QBYSendReportOperation.h"

#include <libsoup/soup.h>

#include "platform/Localization.h"
#include "platform/Log.h"
#include "util/URLUtilities.h"

namespace qby {

namespace {

constexpr const char* kReportErrorDomain = "QBYSendReportErrorDomain";
constexpr guint kTimeoutSeconds = 60;

struct SendContext {
  std::weak_ptr<bool> alive;
  QBYSendReportOperation* operation;
};

}  // namespace

QBYSendReportOperation::QBYSendReportOperation(std::string reportURL, Dictionary reportDictionary,
                                               Completion completion)
    : reportURL_(std::move(reportURL)),
      reportDictionary_(std::move(reportDictionary)),
      completion_(std::move(completion)),
      alive_(std::make_shared<bool>(true)) {}

QBYSendReportOperation::~QBYSendReportOperation() {
  alive_.reset();
  cancel();
}

std::string QBYSendReportOperation::requestBody(const Dictionary& reportDictionary) {
  std::string body = "cmd=report";
  for (const auto& [key, value] : reportDictionary) {
    const auto* text = value.stringPtr();
    body += "&" + key + "=" + (text ? stringEncodedForURLQuery(*text) : std::string());
  }
  return body;
}

bool QBYSendReportOperation::replySaysSuccess(std::string_view reply) {
  const auto value = Value::fromJSON(reply);
  if (!value) return false;
  const auto* object = value->dictionaryPtr();
  if (!object) return false;
  const Value& success = (*object)["success"];
  return success.isBool() && success.asBool().value_or(false);
}

void QBYSendReportOperation::start() {
  if (!completion_) return;
  SoupMessage* message = soup_message_new("POST", reportURL_.c_str());
  if (!message) {
    finish(false, QBYError::make(kReportErrorDomain, 1, "The report address is not valid."));
    return;
  }
  GObjectPtr<SoupMessage> owned = GObjectPtr<SoupMessage>::adopt(message);
  const std::string body = requestBody(reportDictionary_);
  GBytesPtr bytes(g_bytes_new(body.data(), body.size()));
  soup_message_set_request_body_from_bytes(message, "application/x-www-form-urlencoded",
                                           bytes.get());
  session_ = GObjectPtr<SoupSession>::adopt(
      soup_session_new_with_options("timeout", kTimeoutSeconds, nullptr));
  cancellable_ = GObjectPtr<GCancellable>::adopt(g_cancellable_new());
  soup_session_send_and_read_async(
      session_.get(), message, G_PRIORITY_DEFAULT, cancellable_.get(),
      [](GObject* source, GAsyncResult* result, gpointer data) {
        std::unique_ptr<SendContext> context(static_cast<SendContext*>(data));
        GError* rawError = nullptr;
        GBytesPtr reply(soup_session_send_and_read_finish(SOUP_SESSION(source), result, &rawError));
        GErrorPtr error(rawError);
        if (context->alive.expired()) return;
        if (error && g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_CANCELLED)) return;
        gsize size = 0;
        const char* text =
            reply ? static_cast<const char*>(g_bytes_get_data(reply.get(), &size)) : nullptr;
        if (!text || size == 0) {
          std::optional<QBYError> failure;
          if (error) {
            log("Error sending report: %@, %@", std::string(error->message),
                g_quark_to_string(error->domain));
            failure = QBYError::make(kReportErrorDomain, error->code, error->message);
          }
          context->operation->finish(false, std::move(failure));
          return;
        }
        context->operation->finish(replySaysSuccess(std::string_view(text, size)), std::nullopt);
      },
      new SendContext{alive_, this});
}

void QBYSendReportOperation::cancel() {
  if (cancellable_) g_cancellable_cancel(cancellable_.get());
  completion_ = nullptr;
}

void QBYSendReportOperation::finish(bool success, std::optional<QBYError> error) {
  // Called once, then forgotten.
  auto completion = std::exchange(completion_, nullptr);
  if (completion) completion(success, error);
}

}  // namespace qby
