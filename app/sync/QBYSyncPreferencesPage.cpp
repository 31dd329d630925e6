#include "QBYSyncPreferencesPage.h"

#include <adwaita.h>

#include <utility>
#include <vector>

#include "QBYOnlineSignInWindowController.h"
#include "QBYTermsSheet.h"
#include "platform/Format.h"
#include "platform/Localization.h"
#include "platform/MainQueue.h"
#include "platform/QBYNotificationCenter.h"
#include "platform/QBYUserDefaults.h"
#include "platform/URL.h"
#include "sync/QBYSyncManager.h"
#include "sync/QBYSyncServerAddress.h"
#include "util/StringUtilities.h"

namespace porvane::app {

namespace {

using qby::QBYLocalizedString;

constexpr double kUpdateDelay = 0.1;
constexpr double kSpinnerDelay = 0.1;
// Messages this long do not fit the status line; they are also shown in an alert.
constexpr long kAlertMessageLength = 101;
constexpr const char* kResetPath = "/sync/?cmd=reset";
constexpr const char* kTermsPath = "/sync/app/legal/terms.html";

GtkWidget* entryRow(const std::string& title, bool password, const char* name) {
  GtkWidget* row = password ? adw_password_entry_row_new() : adw_entry_row_new();
  gtk_widget_set_name(row, name);
  adw_preferences_row_set_title(ADW_PREFERENCES_ROW(row), title.c_str());
  return row;
}

std::string rowText(GtkWidget* row) {
  const char* text = gtk_editable_get_text(GTK_EDITABLE(row));
  return text ? text : "";
}

void setRowText(GtkWidget* row, const std::string& text) {
  gtk_editable_set_text(GTK_EDITABLE(row), text.c_str());
}

void disconnectTree(GtkWidget* root, gpointer data) {
  g_signal_handlers_disconnect_by_data(root, data);
  for (GtkWidget* child = gtk_widget_get_first_child(root); child;
       child = gtk_widget_get_next_sibling(child))
    disconnectTree(child, data);
}

GtkWidget* wrappingLabel(const char* cssClass) {
  GtkWidget* label = gtk_label_new("");
  gtk_label_set_wrap(GTK_LABEL(label), TRUE);
  gtk_label_set_xalign(GTK_LABEL(label), 0);
  gtk_label_set_selectable(GTK_LABEL(label), TRUE);
  if (cssClass) gtk_widget_add_css_class(label, cssClass);
  return label;
}

}  // namespace

struct QBYSyncPreferencesPage::Impl {
  Impl(qby::QBYSyncManager& sync, GtkWindow* window, Options options)
      : sync(sync), window(window), options(std::move(options)) {}

  qby::QBYSyncManager& sync;
  GtkWindow* window;
  Options options;

  GtkWidget* page = nullptr;
  GtkWidget* stack = nullptr;
  GtkWidget* spinner = nullptr;
  GtkWidget* signedInTitle = nullptr;
  GtkWidget* signedInText = nullptr;
  GtkWidget* switchButton = nullptr;
  GtkWidget* logOutButton = nullptr;
  GtkWidget* signInToggle = nullptr;
  GtkWidget* registerToggle = nullptr;
  GtkWidget* serverRow = nullptr;
  GtkWidget* nameRow = nullptr;
  GtkWidget* emailRow = nullptr;
  GtkWidget* passwordRow = nullptr;
  GtkWidget* confirmRow = nullptr;
  GtkWidget* actionButton = nullptr;
  GtkWidget* passwordManagerButton = nullptr;
  GtkWidget* statusLabel = nullptr;

  View view = View::Loading;
  std::optional<qby::Dictionary> settings;
  bool forceQuillbayForm = false;
  bool agreedToTerms = false;
  bool signingIn = false;
  // The last message the sync manager posted, shown before its stored one.
  std::optional<std::string> message;
  std::unique_ptr<QBYTermsSheet> termsSheet;
  qby::DelayedCall updateCall;
  qby::DelayedCall spinnerCall;
  std::vector<qby::ObserverToken> observers;
  // Set while the page itself changes the switch, so its handler does nothing.
  bool loading = false;

  qby::QBYUserDefaults& defaults() { return sync.defaults(); }
  bool registering() const {
    return gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(registerToggle));
  }

  void build();
  GtkWidget* buildLoadingView();
  GtkWidget* buildSignedInView();
  GtkWidget* buildFormView();
  void observe();

  void updateView();
  void scheduleUpdate();
  void showSignedIn();
  void showForm();
  void startForm();
  void setStatus(const std::string& text);
  void notified(const qby::Notification& notification, bool success);
  void alert(const std::string& text);

  void switchClicked();
  void logOut();
  void segmentChanged();
  void actionClicked();
  void save();
  void forgotPassword();
  void openHelp();
  void openPasswordManager();
  bool open(const std::string& uri);
  // The typed server address made acceptable, or nothing with the reason in the status line.
  std::optional<std::string> typedServer();
};

void QBYSyncPreferencesPage::Impl::build() {
  page = adw_preferences_page_new();
  adw_preferences_page_set_name(ADW_PREFERENCES_PAGE(page), "sync");
  adw_preferences_page_set_title(ADW_PREFERENCES_PAGE(page), QBYLocalizedString("Sync").c_str());
  adw_preferences_page_set_icon_name(ADW_PREFERENCES_PAGE(page), "emblem-synchronizing-symbolic");

  stack = gtk_stack_new();
  gtk_stack_set_transition_type(GTK_STACK(stack), GTK_STACK_TRANSITION_TYPE_CROSSFADE);
  gtk_stack_set_vhomogeneous(GTK_STACK(stack), FALSE);
  gtk_stack_add_named(GTK_STACK(stack), buildLoadingView(), "loading");
  gtk_stack_add_named(GTK_STACK(stack), buildSignedInView(), "signed-in");
  gtk_stack_add_named(GTK_STACK(stack), buildFormView(), "form");

  auto* group = ADW_PREFERENCES_GROUP(adw_preferences_group_new());
  adw_preferences_group_add(group, stack);
  adw_preferences_page_add(ADW_PREFERENCES_PAGE(page), group);
  observe();
  updateView();
}

GtkWidget* QBYSyncPreferencesPage::Impl::buildLoadingView() {
  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 12);
  gtk_widget_set_margin_top(box, 48);
  spinner = gtk_spinner_new();
  gtk_widget_set_size_request(spinner, 32, 32);
  gtk_box_append(GTK_BOX(box), spinner);
  return box;
}

GtkWidget* QBYSyncPreferencesPage::Impl::buildSignedInView() {
  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 12);
  signedInTitle = wrappingLabel("title-2");
  signedInText = wrappingLabel(nullptr);
  gtk_box_append(GTK_BOX(box), signedInTitle);
  gtk_box_append(GTK_BOX(box), signedInText);

  GtkWidget* buttons = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 12);
  gtk_widget_set_margin_top(buttons, 12);
  switchButton = gtk_button_new_with_label("");
  logOutButton = gtk_button_new_with_label(QBYLocalizedString("Log Out").c_str());
  gtk_widget_add_css_class(logOutButton, "destructive-action");
  GtkWidget* help = gtk_button_new_from_icon_name("help-browser-symbolic");
  gtk_widget_set_tooltip_text(help, QBYLocalizedString("Help").c_str());
  gtk_accessible_update_property(GTK_ACCESSIBLE(help), GTK_ACCESSIBLE_PROPERTY_LABEL,
                                 QBYLocalizedString("Help").c_str(), -1);
  // Names let the tests and accessibility tools tell the buttons apart.
  gtk_widget_set_name(switchButton, "sync-switch");
  gtk_widget_set_name(logOutButton, "sync-log-out");
  gtk_widget_set_name(help, "sync-help");
  gtk_box_append(GTK_BOX(buttons), switchButton);
  gtk_box_append(GTK_BOX(buttons), logOutButton);
  gtk_box_append(GTK_BOX(buttons), help);
  gtk_box_append(GTK_BOX(box), buttons);
  g_signal_connect_swapped(switchButton, "clicked",
                           G_CALLBACK(+[](Impl* self) { self->switchClicked(); }), this);
  g_signal_connect_swapped(logOutButton, "clicked", G_CALLBACK(+[](Impl* self) { self->logOut(); }),
                           this);
  g_signal_connect_swapped(help, "clicked", G_CALLBACK(+[](Impl* self) { self->openHelp(); }),
                           this);
  return box;
}

GtkWidget* QBYSyncPreferencesPage::Impl::buildFormView() {
  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 12);

  GtkWidget* segments = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
  gtk_widget_add_css_class(segments, "linked");
  gtk_widget_set_halign(segments, GTK_ALIGN_CENTER);
  signInToggle = gtk_toggle_button_new_with_label(QBYLocalizedString("Sign In").c_str());
  registerToggle = gtk_toggle_button_new_with_label(QBYLocalizedString("Register").c_str());
  gtk_toggle_button_set_group(GTK_TOGGLE_BUTTON(registerToggle), GTK_TOGGLE_BUTTON(signInToggle));
  gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(signInToggle), TRUE);
  gtk_widget_set_name(signInToggle, "sync-sign-in-segment");
  gtk_widget_set_name(registerToggle, "sync-register-segment");
  gtk_box_append(GTK_BOX(segments), signInToggle);
  gtk_box_append(GTK_BOX(segments), registerToggle);
  gtk_box_append(GTK_BOX(box), segments);
  g_signal_connect_swapped(registerToggle, "toggled",
                           G_CALLBACK(+[](Impl* self) { self->segmentChanged(); }), this);

  GtkWidget* list = gtk_list_box_new();
  gtk_list_box_set_selection_mode(GTK_LIST_BOX(list), GTK_SELECTION_NONE);
  gtk_widget_add_css_class(list, "boxed-list");
  serverRow = entryRow(QBYLocalizedString("Server Address"), false, "sync-server");
  nameRow = entryRow(QBYLocalizedString("Name"), false, "sync-name");
  emailRow = entryRow(QBYLocalizedString("Email"), false, "sync-email");
  passwordRow = entryRow(QBYLocalizedString("Password"), true, "sync-password");
  confirmRow = entryRow(QBYLocalizedString("Confirm Password"), true, "sync-confirm");
  gtk_editable_set_enable_undo(GTK_EDITABLE(passwordRow), FALSE);
  for (GtkWidget* row : {serverRow, nameRow, emailRow, passwordRow, confirmRow})
    gtk_list_box_append(GTK_LIST_BOX(list), row);
  gtk_box_append(GTK_BOX(box), list);
  // Return in the last field sends the form.
  for (GtkWidget* row : {passwordRow, confirmRow}) {
    adw_entry_row_set_activates_default(ADW_ENTRY_ROW(row), FALSE);
    g_signal_connect_swapped(row, "entry-activated",
                             G_CALLBACK(+[](Impl* self) { self->actionClicked(); }), this);
  }

  passwordManagerButton = gtk_button_new_from_icon_name("dialog-password-symbolic");
  gtk_widget_set_valign(passwordManagerButton, GTK_ALIGN_CENTER);
  gtk_widget_add_css_class(passwordManagerButton, "flat");
  gtk_widget_set_tooltip_text(passwordManagerButton,
                              QBYLocalizedString("Open Password Manager").c_str());
  gtk_accessible_update_property(GTK_ACCESSIBLE(passwordManagerButton),
                                 GTK_ACCESSIBLE_PROPERTY_LABEL,
                                 QBYLocalizedString("Open Password Manager").c_str(), -1);
  adw_entry_row_add_suffix(ADW_ENTRY_ROW(passwordRow), passwordManagerButton);
  gtk_widget_set_visible(passwordManagerButton,
                         QBYWebWindowController::passwordManagerDesktopID().has_value());
  g_signal_connect_swapped(passwordManagerButton, "clicked",
                           G_CALLBACK(+[](Impl* self) { self->openPasswordManager(); }), this);

  GtkWidget* buttons = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 12);
  GtkWidget* forgot =
      gtk_button_new_with_label(QBYLocalizedString("Forgot your password?").c_str());
  gtk_widget_add_css_class(forgot, "flat");
  gtk_widget_set_hexpand(forgot, TRUE);
  gtk_widget_set_halign(forgot, GTK_ALIGN_START);
  actionButton = gtk_button_new_with_label(QBYLocalizedString("Sign In").c_str());
  gtk_widget_add_css_class(actionButton, "suggested-action");
  gtk_widget_set_name(forgot, "sync-forgot");
  gtk_widget_set_name(actionButton, "sync-action");
  gtk_box_append(GTK_BOX(buttons), forgot);
  gtk_box_append(GTK_BOX(buttons), actionButton);
  gtk_box_append(GTK_BOX(box), buttons);
  g_signal_connect_swapped(forgot, "clicked",
                           G_CALLBACK(+[](Impl* self) { self->forgotPassword(); }), this);
  g_signal_connect_swapped(actionButton, "clicked",
                           G_CALLBACK(+[](Impl* self) { self->actionClicked(); }), this);

  statusLabel = wrappingLabel("dim-label");
  gtk_widget_set_name(statusLabel, "sync-status");
  gtk_box_append(GTK_BOX(box), statusLabel);
  return box;
}

void QBYSyncPreferencesPage::Impl::observe() {
  auto& center = qby::QBYNotificationCenter::defaultCenter();
  observers.push_back(center.addObserver(
      qby::QBYSyncChangeNotification, nullptr,
      [this](const qby::Notification& notification) { notified(notification, false); }));
  observers.push_back(center.addObserver(qby::QBYSyncFailureNotification, nullptr,
                                         [this](const qby::Notification& notification) {
                                           signingIn = false;
                                           notified(notification, false);
                                         }));
  observers.push_back(center.addObserver(
      qby::QBYSyncSuccessNotification, nullptr, [this](const qby::Notification& notification) {
        // Signed in: the form has done its work.
        signingIn = false;
        settings.reset();
        forceQuillbayForm = false;
        message.reset();
        setRowText(passwordRow, "");
        setRowText(confirmRow, "");
        // The account exists now: the next form is a sign-in.
        loading = true;
        gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(signInToggle), TRUE);
        loading = false;
        notified(notification, true);
      }));
  observers.push_back(center.addObserver(qby::QBYSyncSettingsErrorNotification, nullptr,
                                         [this](const qby::Notification& notification) {
                                           signingIn = false;
                                           notified(notification, false);
                                         }));
  observers.push_back(center.addObserver(
      qby::QBYSyncCompleteNotification, nullptr,
      [this](const qby::Notification& notification) { notified(notification, false); }));
}

void QBYSyncPreferencesPage::Impl::notified(const qby::Notification& notification, bool success) {
  if (!success) {
    if (const auto text = notification.userInfo[qby::QBYSyncStatusKey].asString();
        text && !text->empty()) {
      message = *text;
      setStatus(*text);
      if (g_utf8_strlen(text->c_str(), -1) >= kAlertMessageLength) alert(*text);
    }
  }
  scheduleUpdate();
}

void QBYSyncPreferencesPage::Impl::alert(const std::string& text) {
  GtkWidget* dialog = adw_message_dialog_new(
      window && gtk_widget_get_visible(GTK_WIDGET(window)) ? window : nullptr,
      QBYLocalizedString("Quillbay Sync").c_str(), text.c_str());
  adw_message_dialog_add_response(ADW_MESSAGE_DIALOG(dialog), "ok",
                                  QBYLocalizedString("OK").c_str());
  adw_message_dialog_set_default_response(ADW_MESSAGE_DIALOG(dialog), "ok");
  adw_message_dialog_set_close_response(ADW_MESSAGE_DIALOG(dialog), "ok");
  gtk_window_present(GTK_WINDOW(dialog));
}

void QBYSyncPreferencesPage::Impl::scheduleUpdate() {
  updateCall.cancel();
  updateCall.schedule(kUpdateDelay, [this] { updateView(); });
}

void QBYSyncPreferencesPage::Impl::updateView() {
  updateCall.cancel();
  if (sync.step() < 3) {
    view = View::Loading;
    gtk_stack_set_visible_child_name(GTK_STACK(stack), "loading");
    // A short start-up shows no spinner at all.
    if (!spinnerCall.isPending() && !gtk_spinner_get_spinning(GTK_SPINNER(spinner)))
      spinnerCall.schedule(kSpinnerDelay, [this] { gtk_spinner_start(GTK_SPINNER(spinner)); });
    return;
  }
  spinnerCall.cancel();
  gtk_spinner_stop(GTK_SPINNER(spinner));
  if ((sync.iCloudEnabled() || sync.quillbayEnabled()) && !forceQuillbayForm) {
    showSignedIn();
  } else {
    showForm();
  }
}

void QBYSyncPreferencesPage::Impl::showSignedIn() {
  view = View::SignedIn;
  if (sync.iCloudEnabled()) {
    if (sync.iCloudProblem()) {
      gtk_label_set_text(GTK_LABEL(signedInTitle),
                         QBYLocalizedString("iCloud is Unavailable").c_str());
      gtk_label_set_text(GTK_LABEL(signedInText),
                         QBYLocalizedString("Please try again later.").c_str());
    } else {
      gtk_label_set_text(GTK_LABEL(signedInTitle),
                         QBYLocalizedString("Syncing with iCloud").c_str());
      gtk_label_set_text(GTK_LABEL(signedInText),
                         QBYLocalizedString("If you need to change your settings, open System "
                                            "Preferences and click iCloud.")
                             .c_str());
    }
    gtk_button_set_label(GTK_BUTTON(switchButton),
                         QBYLocalizedString("Switch to Quillbay").c_str());
    gtk_widget_set_visible(switchButton, TRUE);
    gtk_widget_set_visible(logOutButton, FALSE);
  } else {
    gtk_label_set_text(GTK_LABEL(signedInTitle),
                       QBYLocalizedString("Syncing with Quillbay").c_str());
    std::string text = qby::format(QBYLocalizedString("You are currently signed in as %@"),
                                   sync.quillbayEmail().value_or(""));
    if (const auto server = qby::QBYSyncServerAddress::address(defaults()))
      text += "\n" + qby::format(QBYLocalizedString("Server: %@"), *server);
    gtk_label_set_text(GTK_LABEL(signedInText), text.c_str());
    gtk_button_set_label(GTK_BUTTON(switchButton), QBYLocalizedString("Switch to iCloud").c_str());
    // Without a cloud account on this machine there is nothing to switch to; signing out is
    // the log-out button's job.
    gtk_widget_set_visible(switchButton, sync.iCloudAvailable());
    gtk_widget_set_visible(logOutButton, TRUE);
  }
  gtk_stack_set_visible_child_name(GTK_STACK(stack), "signed-in");
}

void QBYSyncPreferencesPage::Impl::startForm() {
  // After a sign-out the account is forgotten, but the address typed before is most likely
  // the one to sign in with again.
  std::optional<std::string> email = sync.quillbayEmail();
  if (!email) {
    const std::string typed = qby::trimmedString(rowText(emailRow));
    if (!typed.empty()) email = typed;
  }
  settings = qby::Dictionary{{"email", qby::Value(email.value_or(""))}};
  loading = true;
  setRowText(emailRow, email.value_or(""));
  setRowText(serverRow, qby::QBYSyncServerAddress::address(defaults()).value_or(""));
  std::string password;
  if (email && !sync.quillbayEnabled()) {
    password =
        sync.credentials().passwordForAccount(*email, qby::QBYQuillbayServiceKey).value_or("");
  }
  setRowText(passwordRow, password);
  setRowText(confirmRow, "");
  loading = false;
}

void QBYSyncPreferencesPage::Impl::showForm() {
  const bool registration = registering();
  view = registration ? View::Register : View::SignIn;
  if (!settings) startForm();
  gtk_widget_set_visible(nameRow, registration);
  gtk_widget_set_visible(confirmRow, registration);
  gtk_button_set_label(GTK_BUTTON(actionButton),
                       QBYLocalizedString(registration ? "Register" : "Sign In").c_str());
  for (GtkWidget* widget : {serverRow, nameRow, emailRow, passwordRow, confirmRow, actionButton,
                            signInToggle, registerToggle})
    gtk_widget_set_sensitive(widget, !signingIn);
  if (message) {
    setStatus(*message);
  } else if (const auto& stored = sync.quillbayMessage(); stored && !stored->empty()) {
    setStatus(*stored);
  } else {
    setStatus(QBYLocalizedString("Sign in to your Quillbay account to sync with any Mac, iPhone, "
                                 "iPod touch, iPad, or web browser.") +
              " " +
              QBYLocalizedString("Your deliveries are synced securely through the server you "
                                 "enter here, over an encrypted connection."));
  }
  gtk_stack_set_visible_child_name(GTK_STACK(stack), "form");
}

void QBYSyncPreferencesPage::Impl::setStatus(const std::string& text) {
  gtk_label_set_text(GTK_LABEL(statusLabel), text.c_str());
}

void QBYSyncPreferencesPage::Impl::switchClicked() {
  if (sync.iCloudEnabled()) {
    forceQuillbayForm = true;
    updateView();
  } else {
    logOut();
  }
}

void QBYSyncPreferencesPage::Impl::logOut() {
  settings.reset();
  message.reset();
  signingIn = false;
  forceQuillbayForm = false;
  // The stored password stays, so signing in again needs only the button.
  sync.disableQuillbayAndDeletePassword(false);
  updateView();
}

void QBYSyncPreferencesPage::Impl::segmentChanged() {
  if (loading) return;
  // A sign-in under way belongs to the other form.
  sync.discardQuillbaySettings();
  message.reset();
  signingIn = false;
  updateView();
}

std::optional<std::string> QBYSyncPreferencesPage::Impl::typedServer() {
  const std::string typed = qby::trimmedString(rowText(serverRow));
  if (typed.empty()) {
    setStatus(QBYLocalizedString("Enter the address of your sync server."));
    gtk_widget_grab_focus(serverRow);
    return std::nullopt;
  }
  std::string problem;
  auto address = qby::QBYSyncServerAddress::acceptableAddress(typed, &problem);
  if (!address) {
    setStatus(problem);
    gtk_widget_grab_focus(serverRow);
  }
  return address;
}

void QBYSyncPreferencesPage::Impl::actionClicked() {
  if (signingIn) return;
  const bool registration = registering();
  qby::Dictionary form;
  form.set("email", qby::Value(qby::trimmedString(rowText(emailRow))));
  form.set("password", qby::Value(rowText(passwordRow)));
  if (registration) {
    form.set("new", qby::Value(true));
    form.set("confirm", qby::Value(rowText(confirmRow)));
    form.set("name", qby::Value(qby::trimmedString(rowText(nameRow))));
  }
  const bool empty = form["email"].asString().value_or("").empty() &&
                     form["password"].asString().value_or("").empty() && !registration;
  // An empty sign-in form turns sync off and needs no server.
  if (!empty) {
    const auto server = typedServer();
    if (!server) return;
    if (!qby::QBYSyncServerAddress::setAddress(defaults(), *server)) {
      setStatus(QBYLocalizedString("The server address could not be saved."));
      return;
    }
    setRowText(serverRow, *server);
  }
  settings = std::move(form);
  if (!registration) {
    save();
    return;
  }
  // Registering asks for the terms first; either answer goes on to the server, which decides.
  const auto url = qby::QBYSyncServerAddress::urlForPath(defaults(), kTermsPath);
  termsSheet =
      std::make_unique<QBYTermsSheet>(window, url.value_or("about:blank"), [this](bool agreed) {
        termsSheet.reset();
        agreedToTerms = agreed;
        if (!settings) return;
        if (agreed)
          settings->set("terms", qby::Value(std::string("true")));
        else
          settings->erase("terms");
        save();
      });
}

void QBYSyncPreferencesPage::Impl::save() {
  if (!settings) return;
  message.reset();
  qby::QBYError error;
  error.code = 0;
  if (sync.validateQuillbaySettings(*settings, &error)) {
    // The empty form turned the service off.
    settings.reset();
    updateView();
    return;
  }
  if (!error.localizedDescription.empty()) {
    message = error.localizedDescription;
    setStatus(error.localizedDescription);
    return;
  }
  signingIn = true;
  updateView();
}

bool QBYSyncPreferencesPage::Impl::open(const std::string& uri) {
  return options.openURI && options.openURI(uri);
}

void QBYSyncPreferencesPage::Impl::forgotPassword() {
  auto server = qby::QBYSyncServerAddress::address(defaults());
  if (!server) server = typedServer();
  if (!server) return;
  open(*server + kResetPath);
}

void QBYSyncPreferencesPage::Impl::openHelp() {
  open(qby::QBYSyncManager::syncHelpURL());
}

void QBYSyncPreferencesPage::Impl::openPasswordManager() {
  std::string host;
  const std::string typed = qby::trimmedString(rowText(serverRow));
  if (const auto url = qby::URL::URLWithString(typed)) host = url->host().value_or("");
  open(QBYWebWindowController::passwordSearchAddress(host));
}

// --- The page ---------------------------------------------------------------------------------

QBYSyncPreferencesPage::QBYSyncPreferencesPage(qby::QBYSyncManager& sync, GtkWindow* window,
                                               Options options)
    : impl_(std::make_unique<Impl>(sync, window, std::move(options))) {
  impl_->build();
}

QBYSyncPreferencesPage::~QBYSyncPreferencesPage() {
  impl_->observers.clear();
  impl_->updateCall.cancel();
  impl_->spinnerCall.cancel();
  impl_->termsSheet.reset();
  // The widgets may outlive the page for a moment inside the window; none of them may call
  // back into it.
  disconnectTree(impl_->page, impl_.get());
}

GtkWidget* QBYSyncPreferencesPage::widget() const {
  return impl_->page;
}

QBYSyncPreferencesPage::View QBYSyncPreferencesPage::view() const {
  return impl_->view;
}

std::string QBYSyncPreferencesPage::statusText() const {
  const char* text = gtk_label_get_text(GTK_LABEL(impl_->statusLabel));
  return text ? text : "";
}

const std::optional<qby::Dictionary>& QBYSyncPreferencesPage::settings() const {
  return impl_->settings;
}

bool QBYSyncPreferencesPage::forceQuillbayForm() const {
  return impl_->forceQuillbayForm;
}

bool QBYSyncPreferencesPage::agreedToTerms() const {
  return impl_->agreedToTerms;
}

QBYTermsSheet* QBYSyncPreferencesPage::termsSheet() const {
  return impl_->termsSheet.get();
}

void QBYSyncPreferencesPage::updateView() {
  impl_->updateView();
}

}  // namespace porvane::app
