#include "QBYOnlineSignInViewController.h"

#include <jsc/jsc.h>
#include <nlohmann/json.hpp>

#include "PorvaneKit.h"
#include "QBYWebSession.h"
#include "engine/QBYCookieStorage.h"
#include "engine/QBYPasswordManager.h"
#include "engine/QBYUserAgentChecker.h"
#include "platform/Log.h"

namespace porvane::app {

namespace {

constexpr const char* kCaptureErrorDomain = "com.quillbay.Porvane.SignIn";
constexpr const char* kRememberChannel = "remember";

qby::QBYError captureError(std::int64_t code, const std::string& description) {
  return qby::QBYError::make(kCaptureErrorDomain, code, description);
}

// A JavaScript string literal of the text: values the user typed or a page sent must never
// become script.
std::string scriptLiteral(const std::string& text) {
  return nlohmann::json(text).dump(-1, ' ', true, nlohmann::json::error_handler_t::replace);
}

std::optional<std::string> stringProperty(JSCValue* object, const char* name) {
  JSCValue* value = jsc_value_object_get_property(object, name);
  std::optional<std::string> text;
  if (value && jsc_value_is_string(value)) {
    char* raw = jsc_value_to_string(value);
    if (raw) text = raw;
    g_free(raw);
  }
  if (value) g_object_unref(value);
  return text;
}

std::string hostOf(const std::string& url) {
  GUri* uri = g_uri_parse(url.c_str(), G_URI_FLAGS_NONE, nullptr);
  std::string host = uri && g_uri_get_host(uri) ? g_uri_get_host(uri) : "";
  if (uri) g_uri_unref(uri);
  return host;
}

using AsyncBody = std::function<void(GObject* source, GAsyncResult* result)>;
void runAsyncBody(GObject* source, GAsyncResult* result, gpointer data) {
  std::unique_ptr<AsyncBody> body(static_cast<AsyncBody*>(data));
  (*body)(source, result);
}

}  // namespace

// The updater holds its capture view weakly; this object lives as long as the pane and
// forgets the pane when it goes.
class QBYOnlineSignInViewController::Capture : public qby::QBYDeliveriesUpdaterCaptureView {
 public:
  explicit Capture(QBYOnlineSignInViewController* owner) : owner_(owner) {}
  void forget() { owner_ = nullptr; }
  void captureResponseFromURL(const std::string& url, const std::optional<std::string>& userAgent,
                              CaptureHandler handler) override {
    if (owner_) {
      owner_->captureResponseFromURL(url, userAgent, std::move(handler));
    } else if (handler) {
      handler(std::nullopt, captureError(2, "The sign-in window was closed"));
    }
  }
  void completeCaptureWithHandler(CookiesHandler handler) override {
    if (owner_) {
      owner_->completeCaptureWithHandler(std::move(handler));
    } else if (handler) {
      handler(std::nullopt);
    }
  }

 private:
  QBYOnlineSignInViewController* owner_;
};

const std::vector<std::string>& QBYOnlineSignInViewController::shopExtraIdentifiers() {
  static const std::vector<std::string> identifiers{"document.getElementById('ap_email')",
                                                    "document.getElementById('auth-email')"};
  return identifiers;
}

const std::vector<std::string>& QBYOnlineSignInViewController::shopPasswordIdentifiers() {
  static const std::vector<std::string> identifiers{"document.getElementById('ap_password')",
                                                    "document.getElementById('auth-password')"};
  return identifiers;
}

const char* QBYOnlineSignInViewController::shopCompletionPattern() {
  // The order list, a shipment box, a box title, or the greeting and account link of a
  // signed-in customer's navigation bar.
  return R"((<div id="controlsContainer"[^>]*> ?</div> ?<div id="ordersContainer"[^>]*>|<div[^>]*class="a-box shipment[^"]*">|<div class="a-section">\s*<h3 class="a-box-title">|<span class="nav-greeting-recognized" id="nav-logobar-greeting">|<a href="/gp/css/homepage.html/ref=[^"]*" class="nav-a nav-a-2 nav-truncate"[^>]*>))";
}

std::string QBYOnlineSignInViewController::signInURLForService(const std::string& from) {
  // "www.amazon.com/url" and the like: the host is what comes before the path.
  const std::string host = from.substr(0, from.find('/'));
  if (host.empty() || host.find_first_of(" :?#@\\") != std::string::npos) return {};
  // Customers in Austria order through the German storefront.
  if (host == "www.amazon.at") return "https://www.amazon.de/gp/css/order-history";
  if (host.rfind("www.amazon.", 0) == 0) return "https://" + host + "/gp/css/order-history";
  return "https://" + host + "/";
}

QBYOnlineSignInViewController::QBYOnlineSignInViewController(SignInStarter signInStarter)
    : signInStarter_(std::move(signInStarter)), capture_(std::make_shared<Capture>(this)) {
  auto* manager = contentManager();
  webkit_user_content_manager_register_script_message_handler(manager, kRememberChannel, nullptr);
  g_signal_connect(manager, "script-message-received::remember", G_CALLBACK(onRememberMessage),
                   this);
  auto* script =
      webkit_user_script_new(signInScript(), WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                             WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_END, nullptr, nullptr);
  webkit_user_content_manager_add_script(manager, script);
  webkit_user_script_unref(script);
  const char* agent = webkit_settings_get_user_agent(webkit_web_view_get_settings(webView()));
  defaultUserAgent_ = agent ? agent : "";
}

std::shared_ptr<qby::QBYDeliveriesUpdaterCaptureView> QBYOnlineSignInViewController::captureView()
    const {
  return capture_;
}

QBYOnlineSignInViewController::~QBYOnlineSignInViewController() {
  g_signal_handlers_disconnect_by_data(contentManager(), this);
  capture_->forget();
  // A page request still waiting learns that it will get no page; the window is going
  // already.
  closeRequest_ = nullptr;
  promptingToSavePassword_ = false;
  closeSignIn();
}

void QBYOnlineSignInViewController::signInForURL(const std::string& url, const std::string& from,
                                                 const std::optional<std::string>& extra,
                                                 bool manual) {
  signInURL_ = url;
  from_ = from;
  extra_ = extra;
  manualSignIn_ = manual;
  customUserAgent_ = qby::QBYUserAgentChecker::userAgentForDomain(from);
  captureStarted_ = false;
  captureComplete_ = false;
  readyToDismiss_ = false;
  extraIdentifiers_ = shopExtraIdentifiers();
  passwordIdentifiers_ = shopPasswordIdentifiers();
  completionPattern_ = shopCompletionPattern();
  applyUserAgent(customUserAgent_);
  signInWhenReady();
}

void QBYOnlineSignInViewController::signInWhenReady() {
  std::weak_ptr<int> alive = alive_;
  transferSharedCookiesFromGroup(webView(), qby::QBYAppGroupID, [this, alive] {
    if (alive.expired()) return;
    cookiesReady_ = true;
    if (!signInURL_.empty()) openURL(signInURL_);
  });
}

void QBYOnlineSignInViewController::applyUserAgent(const std::optional<std::string>& userAgent) {
  const std::string& agent = userAgent && !userAgent->empty() ? *userAgent : defaultUserAgent_;
  webkit_settings_set_user_agent(webkit_web_view_get_settings(webView()), agent.c_str());
}

void QBYOnlineSignInViewController::completeSignIn() {
  closeWebView();
  if (disableButtons_) disableButtons_();
  if (!captureStarted_) {
    captureStarted_ = true;
    if (!from_.empty() && signInStarter_) {
      signInStarter_(from_, extra_, captureView());
    } else {
      captureComplete_ = true;
      closeSignIn();
    }
  }
  captureStarted_ = true;
}

void QBYOnlineSignInViewController::closeSignIn() {
  pageTimeoutCall_.cancel();
  cookieTimeout_.cancel();
  auto waiting = std::move(captureResponseHandler_);
  captureResponseHandler_ = nullptr;
  auto queued = std::move(captureRequests_);
  captureRequests_.clear();
  const auto closed = captureError(2, "The sign-in window was closed");
  if (waiting) waiting(std::nullopt, closed);
  for (auto& request : queued) {
    if (request.handler) request.handler(std::nullopt, closed);
  }
  if (auto cookiesHandler = std::move(captureCompleteHandler_)) {
    captureCompleteHandler_ = nullptr;
    cookiesHandler(std::nullopt);
  }
  from_.clear();
  extra_.reset();
  if (promptingToSavePassword_) {
    stopWebView();
  } else if (closeRequest_) {
    auto close = closeRequest_;
    close();
  }
}

void QBYOnlineSignInViewController::closeIfCaptureIsComplete() {
  if (captureComplete_ && !promptingToSavePassword_) closeSignIn();
}

// --- Page requests ---

void QBYOnlineSignInViewController::captureResponseFromURL(
    const std::string& url, const std::optional<std::string>& userAgent,
    qby::QBYDeliveriesUpdaterCaptureView::CaptureHandler handler) {
  CaptureRequest request{url, userAgent, std::move(handler)};
  if (captureResponseHandler_) {
    captureRequests_.push_back(std::move(request));
    return;
  }
  startCaptureRequest(std::move(request));
}

void QBYOnlineSignInViewController::startCaptureRequest(CaptureRequest request) {
  captureResponseHandler_ = std::move(request.handler);
  captureLoadRequested_ = false;
  captureLoadStarted_ = false;
  applyUserAgent(request.userAgent ? request.userAgent : customUserAgent_);
  std::weak_ptr<int> alive = alive_;
  const std::string url = request.url;
  qby::MainQueue::async([this, alive, url] {
    if (alive.expired() || !captureResponseHandler_) return;
    const char* current = webkit_web_view_get_uri(webView());
    std::optional<std::string> referer;
    if (current && g_str_has_prefix(current, "http")) referer = current;
    captureLoadRequested_ = true;
    openURL(url, referer);
  });
  pageTimeoutCall_.schedule(pageTimeout_, [this, alive] {
    if (alive.expired() || !captureResponseHandler_) return;
    stopWebView();
    answerCaptureRequest(std::nullopt, captureError(1, "The page did not finish loading"));
  });
}

void QBYOnlineSignInViewController::answerCaptureRequest(std::optional<std::string> html,
                                                         std::optional<qby::QBYError> error) {
  pageTimeoutCall_.cancel();
  auto handler = std::move(captureResponseHandler_);
  captureResponseHandler_ = nullptr;
  if (handler) handler(std::move(html), std::move(error));
  startNextCaptureRequest();
}

void QBYOnlineSignInViewController::startNextCaptureRequest() {
  if (captureResponseHandler_ || captureRequests_.empty()) return;
  auto next = std::move(captureRequests_.front());
  captureRequests_.pop_front();
  startCaptureRequest(std::move(next));
}

// --- Navigation ---

void QBYOnlineSignInViewController::navigationRequested(WebKitNavigationAction* action) {
  if (webkit_navigation_action_get_navigation_type(action) == WEBKIT_NAVIGATION_TYPE_FORM_SUBMITTED)
    readyToDismiss_ = true;
}

void QBYOnlineSignInViewController::pageStarted() {
  pageLoadFailed_ = false;
  // A load begun before the request's page was asked for is not that page.
  if (captureResponseHandler_ && captureLoadRequested_) captureLoadStarted_ = true;
}

void QBYOnlineSignInViewController::pageFailed(const std::string& uri, const GError* error) {
  pageLoadFailed_ = true;
  const bool cancelled =
      error && g_error_matches(error, WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED);
  // A load that the request's own replaced fails as "cancelled", and its start may have been
  // reported after the request's page was asked for: the request waits for its own load (the
  // page timeout still bounds the wait).
  if (captureResponseHandler_ && captureLoadStarted_) {
    if (cancelled) {
      captureLoadStarted_ = false;
    } else {
      answerCaptureRequest(std::nullopt, captureError(error ? error->code : 0,
                                                      error ? error->message : "Loading failed"));
    }
  }
  if (cancelled) return;
  if (error && g_error_matches(error, WEBKIT_POLICY_ERROR,
                               WEBKIT_POLICY_ERROR_FRAME_LOAD_INTERRUPTED_BY_POLICY_CHANGE))
    return;
  QBYWebViewController::pageFailed(uri, error);
}

void QBYOnlineSignInViewController::pageFinished() {
  if (pageLoadFailed_) return;
  if (captureResponseHandler_) {
    if (!captureLoadStarted_) return;
    auto* resource = webkit_web_view_get_main_resource(webView());
    auto* response = resource ? webkit_web_resource_get_response(resource) : nullptr;
    const unsigned status = response ? webkit_uri_response_get_status_code(response) : 0;
    if (status >= 500) {
      answerCaptureRequest(std::nullopt,
                           captureError(status, qby::format("The server answered %@", status)));
      return;
    }
    // The blank page a completed sign-in leaves the view on can finish after the request's
    // page was asked for; it is not that page, which is still to come.
    evaluate("location.href === 'about:blank' ? null : document.documentElement.outerHTML",
             [this](JSCValue* value, const GError* error) {
               if (!captureResponseHandler_) return;
               if (value && jsc_value_is_null(value)) {
                 captureLoadStarted_ = false;
                 return;
               }
               if (value && jsc_value_is_string(value)) {
                 char* raw = jsc_value_to_string(value);
                 std::string html = raw ? raw : "";
                 g_free(raw);
                 answerCaptureRequest(std::move(html), std::nullopt);
               } else {
                 answerCaptureRequest(
                     std::nullopt,
                     captureError(3, error ? error->message : "The page has no HTML text"));
               }
             });
    return;
  }
  testCompletionPattern();
}

void QBYOnlineSignInViewController::testCompletionPattern() {
  if (!completionPattern_ || captureStarted_) return;
  const std::string script = "(document.body && new RegExp(" + scriptLiteral(*completionPattern_) +
                             ").test(document.body.innerHTML)) ? true : false";
  evaluate(script, [this](JSCValue* value, const GError*) {
    if (!value || !jsc_value_is_boolean(value) || !jsc_value_to_boolean(value)) return;
    if (readyToDismiss_ && !manualSignIn_) completeSignIn();
  });
}

void QBYOnlineSignInViewController::evaluate(const std::string& script,
                                             std::function<void(JSCValue*, const GError*)> done) {
  std::weak_ptr<int> alive = alive_;
  webkit_web_view_evaluate_javascript(
      webView(), script.c_str(), static_cast<gssize>(script.size()), nullptr, nullptr, nullptr,
      runAsyncBody,
      new AsyncBody([alive, done = std::move(done)](GObject* source, GAsyncResult* result) {
        GError* rawError = nullptr;
        JSCValue* value =
            webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), result, &rawError);
        if (!alive.expired()) done(value, rawError);
        if (value) g_object_unref(value);
        g_clear_error(&rawError);
      }));
}

// --- The "remember" channel ---

void QBYOnlineSignInViewController::onRememberMessage(WebKitUserContentManager*, JSCValue* body,
                                                      gpointer self) {
  static_cast<QBYOnlineSignInViewController*>(self)->rememberMessage(body);
}

void QBYOnlineSignInViewController::rememberMessage(JSCValue* body) {
  const bool dictionary = body && jsc_value_is_object(body) && !jsc_value_is_array(body) &&
                          !jsc_value_is_function(body);
  if (!dictionary) {
    fillFields();
    return;
  }
  const auto email = stringProperty(body, "email");
  const auto password = stringProperty(body, "password");
  if (!password || password->empty() || from_.empty()) return;
  // A two-step form asks for the password on a page of its own, without the account field.
  const std::string account = email && !email->empty() ? *email : extra_.value_or("");
  if (account.empty()) return;
  if (qby::QBYPasswordManager::isPasswordSaved(password, account, from_)) {
    qby::log("Password is already saved");
    return;
  }
  offerToSavePassword(account, *password);
}

void QBYOnlineSignInViewController::fillFields() {
  const char* uri = webkit_web_view_get_uri(webView());
  // The page must belong to the service (or to the site its sign-in was opened on): an
  // account and a password are never typed into somebody else's page.
  if (from_.empty() || !uri) return;
  const std::string host = hostOf(uri);
  if (host.empty() || (host != from_ && host != hostOf(signInURL_))) return;
  auto fill = [this](const std::string& expression, const std::string& value) {
    const std::string script = "var el = " + expression +
                               "; if (el) el.value = " + scriptLiteral(value) +
                               "; if (el) { true } else { false }";
    evaluate(script, [expression](JSCValue*, const GError* error) {
      if (error) qby::log("%@: %@", expression, error->message);
    });
  };
  if (extra_ && !extra_->empty()) {
    for (const auto& expression : extraIdentifiers_) fill(expression, *extra_);
    const auto password =
        qby::QBYPasswordManager::passwordForAccount(*extra_, from_, std::string(), std::string());
    for (const auto& expression : passwordIdentifiers_) fill(expression, password.value_or(""));
  }
  if (rememberScript_) {
    evaluate(*rememberScript_, [](JSCValue*, const GError* error) {
      if (error)
        qby::log("Remember script failed: %@, %@", error->message,
                 g_quark_to_string(error->domain));
    });
  }
}

void QBYOnlineSignInViewController::offerToSavePassword(const std::string& account,
                                                        const std::string& password) {
  if (!passwordPrompt_ || promptingToSavePassword_) return;
  promptingToSavePassword_ = true;
  std::weak_ptr<int> alive = alive_;
  const std::string service = from_;
  passwordPrompt_([this, alive, account, password, service](bool save) {
    if (alive.expired()) return;
    if (save) {
      qby::QBYError error;
      if (!qby::QBYPasswordManager::setPassword(password, account, service, false, &error))
        qby::log("Saving the sign-in password failed: %@", error.localizedDescription);
    }
    promptingToSavePassword_ = false;
    closeIfCaptureIsComplete();
  });
}

// --- Handing over cookies ---

void QBYOnlineSignInViewController::completeCaptureWithHandler(
    qby::QBYDeliveriesUpdaterCaptureView::CookiesHandler handler) {
  captureCompleteHandler_ = std::move(handler);
  std::weak_ptr<int> alive = alive_;
  cookieTimeout_.schedule(kCookieTimeout, [this, alive] {
    if (alive.expired()) return;
    qby::log("Timed out while retrieving cookies");
    finishCookieHandOver(std::nullopt);
  });
  auto* session = webkit_web_view_get_network_session(webView());
  auto* manager = webkit_network_session_get_cookie_manager(session);
  webkit_cookie_manager_get_all_cookies(
      manager, nullptr, runAsyncBody,
      new AsyncBody([this, alive](GObject* source, GAsyncResult* result) {
        GError* rawError = nullptr;
        GList* list = webkit_cookie_manager_get_all_cookies_finish(WEBKIT_COOKIE_MANAGER(source),
                                                                   result, &rawError);
        qby::CookieList cookies;
        for (GList* item = list; item; item = item->next)
          cookies.push_back(qby::SoupCookiePtr(static_cast<SoupCookie*>(item->data)));
        g_list_free(list);
        if (rawError) {
          qby::log("Reading the web view's cookies failed: %@", rawError->message);
          g_clear_error(&rawError);
          return;  // the time-out answers
        }
        if (!alive.expired()) finishCookieHandOver(std::move(cookies));
      }));
}

void QBYOnlineSignInViewController::finishCookieHandOver(std::optional<qby::CookieList> cookies) {
  cookieTimeout_.cancel();
  auto handler = std::move(captureCompleteHandler_);
  captureCompleteHandler_ = nullptr;
  if (!handler) return;
  captureComplete_ = true;
  handler(std::move(cookies));
  closeIfCaptureIsComplete();
}

}  // namespace porvane::app
