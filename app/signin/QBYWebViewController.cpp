#include "QBYWebViewController.h"

#include <libsoup/soup.h>

#include "PorvaneKit.h"
#include "QBYWebSession.h"
#include "platform/Log.h"

namespace porvane::app {

QBYWebViewController::QBYWebViewController()
    : Gtk::Box(Gtk::Orientation::VERTICAL),
      contentManager_(
          qby::GObjectPtr<WebKitUserContentManager>::adopt(webkit_user_content_manager_new())) {
  webView_ = WEBKIT_WEB_VIEW(newSessionWebView(contentManager_.get()));
  auto* viewWidget = Gtk::manage(Glib::wrap(GTK_WIDGET(webView_)));
  viewWidget->set_expand(true);
  overlay_.set_child(*viewWidget);
  spinner_.set_halign(Gtk::Align::CENTER);
  spinner_.set_valign(Gtk::Align::CENTER);
  spinner_.set_size_request(32, 32);
  spinner_.set_visible(false);
  overlay_.add_overlay(spinner_);
  errorLabel_.set_wrap(true);
  errorLabel_.set_justify(Gtk::Justification::CENTER);
  errorLabel_.set_expand(true);
  errorLabel_.set_visible(false);
  errorLabel_.add_css_class("dim-label");
  overlay_.set_expand(true);
  append(overlay_);
  append(errorLabel_);

  g_signal_connect(webView_, "decide-policy", G_CALLBACK(onDecidePolicy), this);
  g_signal_connect(webView_, "load-changed", G_CALLBACK(onLoadChanged), this);
  g_signal_connect(webView_, "load-failed", G_CALLBACK(onLoadFailed), this);
}

QBYWebViewController::~QBYWebViewController() {
  g_signal_handlers_disconnect_by_data(webView_, this);
  webkit_web_view_stop_loading(webView_);
}

void QBYWebViewController::openURL(const std::string& url,
                                   const std::optional<std::string>& referer,
                                   const std::optional<std::string>& html) {
  setTitleFromURL(url);
  if (html) {
    webkit_web_view_load_html(webView_, html->c_str(), url.c_str());
    gtk_widget_set_sensitive(GTK_WIDGET(webView_), TRUE);
    return;
  }
  auto request = qby::GObjectPtr<WebKitURIRequest>::adopt(webkit_uri_request_new(url.c_str()));
  if (referer && !referer->empty()) {
    if (auto* headers = webkit_uri_request_get_http_headers(request.get()))
      soup_message_headers_replace(headers, "Referer", referer->c_str());
  }
  webkit_web_view_load_request(webView_, request.get());
}

void QBYWebViewController::setTitleFromURL(const std::string& url) {
  if (titleOverride_) {
    title_ = *titleOverride_;
    titleIsSecure_ = false;
  } else {
    GUri* uri = g_uri_parse(url.c_str(), G_URI_FLAGS_NONE, nullptr);
    title_ = uri && g_uri_get_host(uri) ? g_uri_get_host(uri) : "";
    titleIsSecure_ = uri && g_strcmp0(g_uri_get_scheme(uri), "https") == 0;
    if (uri) g_uri_unref(uri);
  }
  titleChanged_.emit();
}

void QBYWebViewController::setTitleOverride(std::optional<std::string> title) {
  titleOverride_ = std::move(title);
}

void QBYWebViewController::showWebView() {
  errorLabel_.set_visible(false);
  overlay_.set_visible(true);
}

void QBYWebViewController::hideWebView() {
  overlay_.set_visible(false);
}

void QBYWebViewController::stopWebView() {
  webkit_web_view_stop_loading(webView_);
  spinner_.stop();
  spinner_.set_visible(false);
}

void QBYWebViewController::closeWebView() {
  stopWebView();
  webkit_web_view_load_uri(webView_, "about:blank");
}

void QBYWebViewController::showError(const std::string& message) {
  spinner_.stop();
  spinner_.set_visible(false);
  errorLabel_.set_text(message);
  hideWebView();
  errorLabel_.set_visible(true);
}

std::string QBYWebViewController::errorText() const {
  return errorLabel_.get_visible() ? std::string(errorLabel_.get_text()) : std::string();
}

void QBYWebViewController::pageFailed(const std::string& uri, const GError* error) {
  (void)uri;
  showError(qby::format(QBYLocalizedString("The page could not be loaded: %@"),
                        error ? error->message : ""));
}

gboolean QBYWebViewController::onDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                                              WebKitPolicyDecisionType type, gpointer self) {
  if (type == WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION) {
    auto* action = webkit_navigation_policy_decision_get_navigation_action(
        WEBKIT_NAVIGATION_POLICY_DECISION(decision));
    static_cast<QBYWebViewController*>(self)->navigationRequested(action);
  }
  return FALSE;  // every navigation is allowed
}

void QBYWebViewController::onLoadChanged(WebKitWebView* view, WebKitLoadEvent event,
                                         gpointer self) {
  auto* controller = static_cast<QBYWebViewController*>(self);
  switch (event) {
    case WEBKIT_LOAD_STARTED:
      controller->showWebView();
      controller->spinner_.set_visible(true);
      controller->spinner_.start();
      controller->pageStarted();
      break;
    case WEBKIT_LOAD_COMMITTED:
      if (const char* uri = webkit_web_view_get_uri(view)) controller->setTitleFromURL(uri);
      break;
    case WEBKIT_LOAD_FINISHED:
      controller->spinner_.stop();
      controller->spinner_.set_visible(false);
      controller->pageFinished();
      break;
    default:
      break;
  }
}

gboolean QBYWebViewController::onLoadFailed(WebKitWebView*, WebKitLoadEvent, const char* uri,
                                            GError* error, gpointer self) {
  static_cast<QBYWebViewController*>(self)->pageFailed(uri ? uri : "", error);
  return TRUE;  // our own error view instead of WebKit's page
}

}  // namespace porvane::app
