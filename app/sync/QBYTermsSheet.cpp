#include "QBYTermsSheet.h"

#include <adwaita.h>
#include <webkit/webkit.h>

#include <utility>

#include "platform/Format.h"
#include "platform/GLibPtr.h"
#include "platform/Localization.h"
#include "platform/MainQueue.h"

namespace porvane::app {

namespace {

using qby::QBYLocalizedString;

// The terms read like a document, whatever the server's own page looks like.
constexpr const char* kTermsStyle = R"css(
html { font: 15px/1.5 sans-serif; background: #ffffff; color: #1e1e1e; }
body { max-width: 42em; margin: 1.5em auto; padding: 0 1.5em; }
nav, header, footer, form, button, aside { display: none !important; }
a { color: #1c71d8; }
h1, h2, h3 { line-height: 1.2; }
)css";
constexpr const char* kTermsDarkStyle = R"css(
html { font: 15px/1.5 sans-serif; background: #242424; color: #ffffff; }
body { max-width: 42em; margin: 1.5em auto; padding: 0 1.5em; }
nav, header, footer, form, button, aside { display: none !important; }
a { color: #78aeed; }
h1, h2, h3 { line-height: 1.2; }
)css";

}  // namespace

struct QBYTermsSheet::Impl {
  GtkWidget* window = nullptr;
  WebKitWebView* webView = nullptr;
  GtkWidget* errorLabel = nullptr;
  Answer answer;
  std::string loadError;
  bool answered = false;
  std::shared_ptr<bool> alive = std::make_shared<bool>(true);

  void respond(bool agreed) {
    if (answered) return;
    answered = true;
    gtk_widget_set_visible(window, FALSE);
    // Given from the main loop, so the owner may destroy the sheet in its answer.
    std::weak_ptr<bool> weak = alive;
    qby::MainQueue::async([this, weak, agreed] {
      if (!weak.lock() || !answer) return;
      // A copy: the answer may destroy the sheet, and with it the original.
      const Answer call = answer;
      call(agreed);
    });
  }
};

QBYTermsSheet::QBYTermsSheet(GtkWindow* parent, const std::string& url, Answer answer)
    : impl_(std::make_unique<Impl>()) {
  impl_->answer = std::move(answer);
  impl_->window = adw_window_new();
  gtk_window_set_title(GTK_WINDOW(impl_->window), QBYLocalizedString("Terms of Use").c_str());
  gtk_window_set_modal(GTK_WINDOW(impl_->window), TRUE);
  if (parent) gtk_window_set_transient_for(GTK_WINDOW(impl_->window), parent);
  gtk_window_set_default_size(GTK_WINDOW(impl_->window), 640, 560);

  auto session =
      qby::GObjectPtr<WebKitNetworkSession>::adopt(webkit_network_session_new_ephemeral());
  auto content =
      qby::GObjectPtr<WebKitUserContentManager>::adopt(webkit_user_content_manager_new());
  const bool dark = adw_style_manager_get_dark(adw_style_manager_get_default());
  WebKitUserStyleSheet* sheet = webkit_user_style_sheet_new(
      dark ? kTermsDarkStyle : kTermsStyle, WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
      WEBKIT_USER_STYLE_LEVEL_USER, nullptr, nullptr);
  webkit_user_content_manager_add_style_sheet(content.get(), sheet);
  webkit_user_style_sheet_unref(sheet);
  impl_->webView =
      WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "network-session", session.get(),
                                   "user-content-manager", content.get(), nullptr));
  WebKitSettings* settings = webkit_web_view_get_settings(impl_->webView);
  // A terms page is text: no scripts run in it.
  webkit_settings_set_enable_javascript(settings, FALSE);
  gtk_widget_set_vexpand(GTK_WIDGET(impl_->webView), TRUE);

  g_signal_connect(impl_->webView, "load-failed",
                   G_CALLBACK(+[](WebKitWebView*, WebKitLoadEvent, const char*, GError* error,
                                  gpointer data) -> gboolean {
                     auto* self = static_cast<Impl*>(data);
                     self->loadError =
                         qby::format(QBYLocalizedString("The terms could not be loaded: %@"),
                                     error && error->message ? error->message : "?");
                     gtk_label_set_text(GTK_LABEL(self->errorLabel), self->loadError.c_str());
                     gtk_widget_set_visible(self->errorLabel, TRUE);
                     return TRUE;  // our label says it; no error page
                   }),
                   impl_.get());
  // Links of the terms open nowhere inside the sheet but the first page.
  g_signal_connect(impl_->webView, "decide-policy",
                   G_CALLBACK(+[](WebKitWebView*, WebKitPolicyDecision* decision,
                                  WebKitPolicyDecisionType type, gpointer) -> gboolean {
                     if (type != WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION) return FALSE;
                     auto* action = webkit_navigation_policy_decision_get_navigation_action(
                         WEBKIT_NAVIGATION_POLICY_DECISION(decision));
                     if (webkit_navigation_action_get_navigation_type(action) ==
                         WEBKIT_NAVIGATION_TYPE_LINK_CLICKED) {
                       webkit_policy_decision_ignore(decision);
                       return TRUE;
                     }
                     return FALSE;
                   }),
                   nullptr);

  impl_->errorLabel = gtk_label_new("");
  gtk_label_set_wrap(GTK_LABEL(impl_->errorLabel), TRUE);
  gtk_widget_add_css_class(impl_->errorLabel, "error");
  gtk_widget_set_margin_top(impl_->errorLabel, 12);
  gtk_widget_set_margin_start(impl_->errorLabel, 12);
  gtk_widget_set_margin_end(impl_->errorLabel, 12);
  gtk_widget_set_visible(impl_->errorLabel, FALSE);

  GtkWidget* cancelButton = gtk_button_new_with_label(QBYLocalizedString("Cancel").c_str());
  GtkWidget* agreeButton = gtk_button_new_with_label(QBYLocalizedString("I Agree").c_str());
  gtk_widget_add_css_class(agreeButton, "suggested-action");
  g_signal_connect_swapped(cancelButton, "clicked",
                           G_CALLBACK(+[](Impl* self) { self->respond(false); }), impl_.get());
  g_signal_connect_swapped(agreeButton, "clicked",
                           G_CALLBACK(+[](Impl* self) { self->respond(true); }), impl_.get());
  GtkWidget* buttons = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 12);
  gtk_widget_set_halign(buttons, GTK_ALIGN_END);
  gtk_widget_set_margin_top(buttons, 12);
  gtk_widget_set_margin_bottom(buttons, 12);
  gtk_widget_set_margin_end(buttons, 12);
  gtk_box_append(GTK_BOX(buttons), cancelButton);
  gtk_box_append(GTK_BOX(buttons), agreeButton);

  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  gtk_box_append(GTK_BOX(box), adw_header_bar_new());
  gtk_box_append(GTK_BOX(box), impl_->errorLabel);
  gtk_box_append(GTK_BOX(box), GTK_WIDGET(impl_->webView));
  gtk_box_append(GTK_BOX(box), buttons);
  adw_window_set_content(ADW_WINDOW(impl_->window), box);
  g_signal_connect(impl_->window, "close-request",
                   G_CALLBACK(+[](GtkWindow*, gpointer data) -> gboolean {
                     static_cast<Impl*>(data)->respond(false);
                     return TRUE;
                   }),
                   impl_.get());

  webkit_web_view_load_uri(impl_->webView, url.c_str());
  gtk_window_present(GTK_WINDOW(impl_->window));
  gtk_widget_grab_focus(agreeButton);
}

QBYTermsSheet::~QBYTermsSheet() {
  *impl_->alive = false;
  g_signal_handlers_disconnect_by_data(impl_->window, impl_.get());
  g_signal_handlers_disconnect_by_data(impl_->webView, impl_.get());
  webkit_web_view_stop_loading(impl_->webView);
  gtk_window_destroy(GTK_WINDOW(impl_->window));
}

GtkWindow* QBYTermsSheet::window() const {
  return GTK_WINDOW(impl_->window);
}

WebKitWebView* QBYTermsSheet::webView() const {
  return impl_->webView;
}

std::string QBYTermsSheet::loadError() const {
  return impl_->loadError;
}

void QBYTermsSheet::agree() {
  impl_->respond(true);
}

void QBYTermsSheet::cancel() {
  impl_->respond(false);
}

}  // namespace porvane::app
