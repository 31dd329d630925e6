// The sign-in pane: a web pane in which the user signs in to a shop's own site, which then
// serves the updater as its capture view (page requests loaded one at a time in the
// signed-in view and answered as HTML; at the end every cookie of the view's store).
//
// The page script "SignIn" reports on the "remember" channel: a message that is not an
// object when a page is ready (the pane then fills the account name and the stored
// password), an object {email, password} when the user submits a form (the pane offers to
// keep a new password in the password store).
//
// Sign-in completes when a page reached by a form submission shows the completion pattern,
// or, for a sign-in the user opened by hand, only with completeSignIn() ("Done"). Completing
// asks the manager (through the SignInStarter given) to run the service's update with this
// pane as capture view.
//
// Closing the pane while a page request waits answers it with an error, so an update never
// waits for a window that is gone; a page that neither loads nor fails within the page
// time-out fails the same way.
//
// The main thread only; the handlers given by the updater are called on the main thread.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "QBYWebViewController.h"
#include "engine/QBYDeliveriesUpdater.h"
#include "platform/MainQueue.h"

namespace porvane::app {

class QBYOnlineSignInViewController : public QBYWebViewController {
 public:
  using SignInStarter =
      std::function<void(const std::string& domain, const std::optional<std::string>& extra,
                         std::weak_ptr<qby::QBYDeliveriesUpdaterCaptureView> captureView)>;
  // Asks the user whether to keep a typed password; answer(true) keeps it. Tests answer it.
  using PasswordPrompt = std::function<void(std::function<void(bool save)> answer)>;

  static constexpr double kCookieTimeout = 3.0;
  static constexpr double kDefaultPageTimeout = 60.0;

  explicit QBYOnlineSignInViewController(SignInStarter signInStarter);
  ~QBYOnlineSignInViewController() override;

  // --- What the window sets ---
  void setPasswordPrompt(PasswordPrompt prompt) { passwordPrompt_ = std::move(prompt); }
  // Called when the pane wants its window closed.
  void setCloseRequest(std::function<void()> close) { closeRequest_ = std::move(close); }
  // Called when sign-in completes, so the window can disable its buttons.
  void setButtonsDisabler(std::function<void()> disable) { disableButtons_ = std::move(disable); }
  // Seconds a page request may take before it fails.
  void setPageTimeout(double seconds) { pageTimeout_ = seconds; }

  // Begins: takes the domain's user agent, resets the capture state and opens the URL once
  // the suite's cookies are in the view.
  void signInForURL(const std::string& url, const std::string& from,
                    const std::optional<std::string>& extra, bool manual);
  // "Done", or a completion-pattern match after a form submission.
  void completeSignIn();
  // Drops the handlers (answering a waiting page request with an error) and closes the
  // window unless the password prompt is open.
  void closeSignIn();
  void closeIfCaptureIsComplete();

  // The updater's capture view (held weakly by the updater, strongly by this pane).
  std::shared_ptr<qby::QBYDeliveriesUpdaterCaptureView> captureView() const;

  // --- State, for the window and for tests ---
  bool cookiesReady() const { return cookiesReady_; }
  bool captureStarted() const { return captureStarted_; }
  bool captureComplete() const { return captureComplete_; }
  bool readyToDismiss() const { return readyToDismiss_; }
  bool promptingToSavePassword() const { return promptingToSavePassword_; }
  bool manualSignIn() const { return manualSignIn_; }
  const std::optional<std::string>& customUserAgent() const { return customUserAgent_; }
  std::size_t queuedCaptureRequests() const { return captureRequests_.size(); }
  bool captureRequestLoading() const { return static_cast<bool>(captureResponseHandler_); }

  // The field expressions and completion pattern of the shop sites this pane knows.
  static const std::vector<std::string>& shopExtraIdentifiers();
  static const std::vector<std::string>& shopPasswordIdentifiers();
  static const char* shopCompletionPattern();
  // The page script, installed into every page.
  static const char* signInScript();
  // Where the sign-in for a service starts: for the shop storefronts the order list (which
  // asks a customer who is not signed in to sign in, and shows the completion markup
  // afterwards), for other services the home page of the service key's host. Empty for a
  // key without a host.
  static std::string signInURLForService(const std::string& from);

  // --- The capture-view protocol ---
  void captureResponseFromURL(const std::string& url, const std::optional<std::string>& userAgent,
                              qby::QBYDeliveriesUpdaterCaptureView::CaptureHandler handler);
  void completeCaptureWithHandler(qby::QBYDeliveriesUpdaterCaptureView::CookiesHandler handler);

 protected:
  void navigationRequested(WebKitNavigationAction* action) override;
  void pageStarted() override;
  void pageFinished() override;
  void pageFailed(const std::string& uri, const GError* error) override;

 private:
  struct CaptureRequest {
    std::string url;
    std::optional<std::string> userAgent;
    qby::QBYDeliveriesUpdaterCaptureView::CaptureHandler handler;
  };
  class Capture;

  void startCaptureRequest(CaptureRequest request);
  void answerCaptureRequest(std::optional<std::string> html, std::optional<qby::QBYError> error);
  void startNextCaptureRequest();
  void signInWhenReady();
  void testCompletionPattern();
  void rememberMessage(JSCValue* body);
  void fillFields();
  void offerToSavePassword(const std::string& account, const std::string& password);
  void finishCookieHandOver(std::optional<qby::CookieList> cookies);
  void evaluate(const std::string& script, std::function<void(JSCValue*, const GError*)> done);
  void applyUserAgent(const std::optional<std::string>& userAgent);
  static void onRememberMessage(WebKitUserContentManager*, JSCValue* body, gpointer self);

  SignInStarter signInStarter_;
  PasswordPrompt passwordPrompt_;
  std::function<void()> closeRequest_;
  std::function<void()> disableButtons_;
  std::shared_ptr<Capture> capture_;
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);

  std::string signInURL_;
  std::string from_;
  std::optional<std::string> extra_;
  bool manualSignIn_ = false;
  std::optional<std::string> customUserAgent_;
  std::string defaultUserAgent_;
  bool cookiesReady_ = false;
  bool captureStarted_ = false;
  bool captureComplete_ = false;
  bool readyToDismiss_ = false;
  bool promptingToSavePassword_ = false;
  std::vector<std::string> extraIdentifiers_;
  std::vector<std::string> passwordIdentifiers_;
  std::optional<std::string> completionPattern_;
  std::optional<std::string> rememberScript_;

  qby::QBYDeliveriesUpdaterCaptureView::CaptureHandler captureResponseHandler_;
  bool captureLoadRequested_ = false;  // the current request's page has been asked for
  bool captureLoadStarted_ = false;    // the current request's own load has begun
  bool pageLoadFailed_ = false;        // the load that just ended failed
  std::deque<CaptureRequest> captureRequests_;
  qby::QBYDeliveriesUpdaterCaptureView::CookiesHandler captureCompleteHandler_;
  qby::DelayedCall pageTimeoutCall_;
  qby::DelayedCall cookieTimeout_;
  double pageTimeout_ = kDefaultPageTimeout;
};

}  // namespace porvane::app
