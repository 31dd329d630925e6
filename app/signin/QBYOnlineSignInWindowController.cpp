#include "QBYOnlineSignInWindowController.h"

#include <adwaita.h>

#include <regex>

#include "PorvaneKit.h"
#include "manager/QBYDeliveriesManager.h"
#include "platform/GLibPtr.h"
#include "platform/Log.h"

namespace porvane::app {

namespace {

// Desktop entries of the password managers whose search can be opened by address.
constexpr const char* kPasswordManagerDesktopIDs[] = {"1password.desktop",
                                                      "com.onepassword.OnePassword.desktop"};
constexpr const char* kPasswordManagerSearch = "onepassword://search/";

}  // namespace

QBYWebWindowController::QBYWebWindowController() {
  set_default_size(900, 720);
  lock_.set_from_icon_name("channel-secure-symbolic");
  titleLabel_.add_css_class("title");
  titleBox_.append(lock_);
  titleBox_.append(titleLabel_);
  header_.set_title_widget(titleBox_);
  passwordButton_.set_icon_name("dialog-password-symbolic");
  passwordButton_.set_tooltip_text(QBYLocalizedString("Open Password Manager"));
  passwordButton_.signal_clicked().connect([this] { openPasswordUtility(); });
  header_.pack_end(passwordButton_);
  header_.pack_end(spacer_);
  set_titlebar(header_);
  showPasswordButton(passwordManagerDesktopID().has_value());
}

void QBYWebWindowController::setContent(QBYWebViewController& pane) {
  pane_ = &pane;
  set_child(pane);
  pane.signalTitleChanged().connect([this] { updateTitle(); });
  updateTitle();
}

QBYWebWindowController::~QBYWebWindowController() = default;

void QBYWebWindowController::showPasswordButton(bool show) {
  passwordButton_.set_visible(show);
  spacer_.set_visible(!show);
}

std::string QBYWebWindowController::passwordSearchHost(const std::string& host) {
  static const std::regex prefix(R"(^(www|checkout|secure[0-9]*\.store)\.)");
  return std::regex_replace(host, prefix, "", std::regex_constants::format_first_only);
}

std::optional<std::string> QBYWebWindowController::passwordManagerDesktopID() {
  for (const char* id : kPasswordManagerDesktopIDs) {
    if (Gio::DesktopAppInfo::create(id)) return std::string(id);
  }
  return std::nullopt;
}

std::string QBYWebWindowController::passwordSearchAddress(const std::string& host) {
  char* escaped = g_uri_escape_string(passwordSearchHost(host).c_str(), nullptr, FALSE);
  const std::string address = std::string(kPasswordManagerSearch) + (escaped ? escaped : "");
  g_free(escaped);
  return address;
}

void QBYWebWindowController::updateTitle() {
  if (!pane_) return;
  titleLabel_.set_text(pane_->title());
  lock_.set_visible(pane_->titleIsSecure());
  set_title(pane_->title());
}

void QBYWebWindowController::openPasswordUtility() {
  const char* uri = pane_ ? webkit_web_view_get_uri(pane_->webView()) : nullptr;
  std::string host;
  if (uri) {
    if (GUri* parsed = g_uri_parse(uri, G_URI_FLAGS_NONE, nullptr)) {
      if (g_uri_get_host(parsed)) host = g_uri_get_host(parsed);
      g_uri_unref(parsed);
    }
  }
  const std::string address = passwordSearchAddress(host);
  GError* rawError = nullptr;
  if (!g_app_info_launch_default_for_uri(address.c_str(), nullptr, &rawError)) {
    qby::log("Cannot open %@: %@", address, rawError ? rawError->message : "?");
    g_clear_error(&rawError);
  }
}

QBYOnlineSignInWindowController::QBYOnlineSignInWindowController(
    QBYOnlineSignInViewController::SignInStarter starter)
    : pane_(std::move(starter)) {
  setContent(pane_);
  doneButton_.set_label(QBYLocalizedString("Done"));
  doneButton_.add_css_class("suggested-action");
  doneButton_.signal_clicked().connect([this] { completeSignIn(); });
  header_.pack_start(doneButton_);
  pane_.setCloseRequest([this] { set_visible(false); });
  pane_.setButtonsDisabler([this] { disableButtons(); });
  pane_.setPasswordPrompt(
      [this](std::function<void(bool)> answer) { presentPasswordSheet(std::move(answer)); });
  signal_close_request().connect([this] { return windowShouldClose(); }, false);
}

QBYOnlineSignInWindowController::~QBYOnlineSignInWindowController() = default;

void QBYOnlineSignInWindowController::signInForURL(const std::string& url, const std::string& from,
                                                   const std::optional<std::string>& extra,
                                                   bool manual) {
  doneButton_.set_sensitive(true);
  doneButton_.set_visible(manual);
  pane_.signInForURL(url, from, extra, manual);
  present();
}

std::unique_ptr<QBYOnlineSignInWindowController> QBYOnlineSignInWindowController::forManager(
    qby::QBYDeliveriesManager& manager) {
  return std::make_unique<QBYOnlineSignInWindowController>(
      [&manager](const std::string& domain, const std::optional<std::string>& extra,
                 std::weak_ptr<qby::QBYDeliveriesUpdaterCaptureView> view) {
        manager.signInForDomain(domain, extra, std::move(view));
      });
}

void QBYOnlineSignInWindowController::signInForService(const std::string& from,
                                                       const std::optional<std::string>& extra,
                                                       bool manual) {
  const std::string url = QBYOnlineSignInViewController::signInURLForService(from);
  if (url.empty()) {
    qby::log("No sign-in address for %@", from);
    return;
  }
  signInForURL(url, from, extra, manual);
}

void QBYOnlineSignInWindowController::completeSignIn() {
  pane_.completeSignIn();
}

void QBYOnlineSignInWindowController::disableButtons() {
  doneButton_.set_sensitive(false);
  passwordButton_.set_sensitive(false);
}

void QBYOnlineSignInWindowController::setPasswordPrompt(
    QBYOnlineSignInViewController::PasswordPrompt prompt) {
  pane_.setPasswordPrompt(std::move(prompt));
}

bool QBYOnlineSignInWindowController::windowShouldClose() {
  // The sheet keeps the window until it is answered.
  if (pane_.promptingToSavePassword()) return true;
  pane_.setCloseRequest(nullptr);
  pane_.closeSignIn();
  pane_.setCloseRequest([this] { set_visible(false); });
  return false;
}

void QBYOnlineSignInWindowController::presentPasswordSheet(std::function<void(bool save)> answer) {
  auto* dialog = adw_message_dialog_new(
      gobj(), QBYLocalizedString("Would you like to save this password?").c_str(),
      QBYLocalizedString("Passwords are saved securely in the keychain.").c_str());
  adw_message_dialog_add_responses(ADW_MESSAGE_DIALOG(dialog), "later",
                                   QBYLocalizedString("Not Now").c_str(), "save",
                                   QBYLocalizedString("Save Password").c_str(), nullptr);
  adw_message_dialog_set_response_appearance(ADW_MESSAGE_DIALOG(dialog), "save",
                                             ADW_RESPONSE_SUGGESTED);
  adw_message_dialog_set_default_response(ADW_MESSAGE_DIALOG(dialog), "save");
  adw_message_dialog_set_close_response(ADW_MESSAGE_DIALOG(dialog), "later");
  using Answer = std::function<void(bool)>;
  g_signal_connect_data(
      dialog, "response", G_CALLBACK(+[](AdwMessageDialog*, const char* response, gpointer data) {
        (*static_cast<Answer*>(data))(g_strcmp0(response, "save") == 0);
      }),
      new Answer(std::move(answer)),
      +[](gpointer data, GClosure*) { delete static_cast<Answer*>(data); }, GConnectFlags(0));
  gtk_window_present(GTK_WINDOW(dialog));
}

}  // namespace porvane::app
