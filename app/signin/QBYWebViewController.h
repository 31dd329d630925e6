// A general web pane: a WebKit web view in the program's network session (QBYWebSession.h)
// with a spinner while a page loads, an error view when one fails, and a title made from the
// page's address. Subclasses watch the navigation through the protected hooks.
//
// The main thread only.
#pragma once

#include <gtkmm.h>
#include <webkit/webkit.h>

#include <optional>
#include <string>

#include "platform/GLibPtr.h"

namespace porvane::app {

class QBYWebViewController : public Gtk::Box {
 public:
  QBYWebViewController();
  ~QBYWebViewController() override;
  QBYWebViewController(const QBYWebViewController&) = delete;
  QBYWebViewController& operator=(const QBYWebViewController&) = delete;

  WebKitWebView* webView() const { return webView_; }

  // With HTML the page is made from it, the address as its base and the back and forward
  // gestures off; otherwise the address is requested, with "Referer" when one is given.
  void openURL(const std::string& url, const std::optional<std::string>& referer = std::nullopt,
               const std::optional<std::string>& html = std::nullopt);
  // The host as title ("secure" when the scheme is https), unless a title override is set.
  void setTitleFromURL(const std::string& url);
  void setTitleOverride(std::optional<std::string> title);
  const std::string& title() const { return title_; }
  bool titleIsSecure() const { return titleIsSecure_; }
  sigc::signal<void()>& signalTitleChanged() { return titleChanged_; }

  void showWebView();
  void hideWebView();
  void stopWebView();
  // Leaves the page (and its scripts) by showing an empty one.
  void closeWebView();
  void showError(const std::string& message);
  // The text the error view shows now ("" when the page is shown).
  std::string errorText() const;

 protected:
  // Navigation hooks for subclasses; the defaults keep the spinner and error view right.
  virtual void navigationRequested(WebKitNavigationAction* action) { (void)action; }
  virtual void pageStarted() {}
  virtual void pageFinished() {}
  virtual void pageFailed(const std::string& uri, const GError* error);
  // The user content manager of the view (scripts and message channels).
  WebKitUserContentManager* contentManager() const { return contentManager_.get(); }

 private:
  static gboolean onDecidePolicy(WebKitWebView*, WebKitPolicyDecision*, WebKitPolicyDecisionType,
                                 gpointer self);
  static void onLoadChanged(WebKitWebView*, WebKitLoadEvent, gpointer self);
  static gboolean onLoadFailed(WebKitWebView*, WebKitLoadEvent, const char* uri, GError*,
                               gpointer self);

  qby::GObjectPtr<WebKitUserContentManager> contentManager_;
  WebKitWebView* webView_ = nullptr;  // owned by the overlay
  Gtk::Overlay overlay_;
  Gtk::Spinner spinner_;
  Gtk::Label errorLabel_;
  std::optional<std::string> titleOverride_;
  std::string title_;
  bool titleIsSecure_ = false;
  sigc::signal<void()> titleChanged_;
};

}  // namespace porvane::app
