#include "QBYDetailPane.h"

#include <adwaita.h>

#include <algorithm>
#include <charconv>

#include "PorvaneKit.h"
#include "QBYMapView.h"
#include "engine/QBYPasswordManager.h"
#include "manager/QBYDeliveriesManager.h"
#include "model/Delivery.h"
#include "model/Detail.h"
#include "platform/Format.h"
#include "platform/GLibPtr.h"
#include "platform/Log.h"
#include "platform/Vendor.h"
#include "presentation/text/QBYDeliveryDetailText.h"
#include "presentation/text/TemplateMarkup.h"
#include "store/QBYDataStore.h"
#include "sync/QBYSyncManager.h"

namespace porvane::app {

namespace {

constexpr std::string_view kShowPackagePrefix = "porvane://showpackage/";
constexpr std::string_view kErrorPrefix = "porvane://error";
// The footer's grey reads on light and dark backgrounds alike.
constexpr const char* kFooterColor = "#808080";
// The selected package's dots stand out in the desktop's usual accent blue.
constexpr const char* kSelectedBadgeColor = "#3584e4";

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// Pages a carrier names are web pages; any other scheme could start a local handler.
bool isWebAddress(const std::string& uri) {
  return (startsWith(uri, "https://") || startsWith(uri, "http://")) &&
         g_uri_is_valid(uri.c_str(), G_URI_FLAGS_NONE, nullptr);
}

bool defaultOpenURI(const std::string& uri) {
  GError* rawError = nullptr;
  const bool opened = g_app_info_launch_default_for_uri(uri.c_str(), nullptr, &rawError);
  if (!opened) {
    qby::log("Cannot open %@: %@", uri, rawError ? rawError->message : "?");
    g_clear_error(&rawError);
  }
  return opened;
}

std::string iconFor(QBYDetailPane::ButtonKind kind) {
  switch (kind) {
    case QBYDetailPane::ButtonKind::Password:
      return "dialog-password-symbolic";
    case QBYDetailPane::ButtonKind::Help:
      return "help-browser-symbolic";
    case QBYDetailPane::ButtonKind::Edit:
      return "document-edit-symbolic";
    case QBYDetailPane::ButtonKind::Archive:
      return "folder-download-symbolic";
    case QBYDetailPane::ButtonKind::Online:
      return "web-browser-symbolic";
  }
  return {};
}

void setAccessibleLabel(Gtk::Widget& widget, const std::string& label) {
  gtk_accessible_update_property(GTK_ACCESSIBLE(widget.gobj()), GTK_ACCESSIBLE_PROPERTY_LABEL,
                                 label.c_str(), -1);
}

QBYDetailPane::ButtonChoice choice(QBYDetailPane::ButtonKind kind, std::string title) {
  return {kind, std::move(title), iconFor(kind)};
}

// The row's order from the leading edge: the reverse of the order the state adds them in.
int rowPosition(QBYDetailPane::ButtonKind kind) {
  switch (kind) {
    case QBYDetailPane::ButtonKind::Online:
      return 0;
    case QBYDetailPane::ButtonKind::Archive:
      return 1;
    case QBYDetailPane::ButtonKind::Edit:
      return 2;
    case QBYDetailPane::ButtonKind::Help:
      return 3;
    case QBYDetailPane::ButtonKind::Password:
      return 4;
  }
  return 5;
}

qby::QBYDeliverySettings settingsOf(const qby::Delivery& delivery) {
  return qby::QBYDeliverySettings::settingsWithDictionary(delivery.attributes());
}

}  // namespace

// The password prompt: a message dialog with one password field, kept while it is open.
struct QBYDetailPane::PasswordPrompt {
  qby::GObjectPtr<AdwMessageDialog> dialog;
  GtkWidget* entry = nullptr;
  GtkWidget* error = nullptr;
};

// --- Choosing ------------------------------------------------------------------------------------

std::vector<QBYDetailPane::ButtonChoice> QBYDetailPane::buttonsForDelivery(
    const qby::Delivery& delivery) {
  std::vector<ButtonChoice> chosen;
  // The first matching state decides: a delivery waiting for its password shows nothing else,
  // however complete it looks.
  if (delivery.tap() == std::optional<std::string>("password")) {
    chosen.push_back(choice(ButtonKind::Password, QBYLocalizedString("Enter your password")));
  } else if (delivery.requiresSignIn()) {
    chosen.push_back(choice(ButtonKind::Password, QBYLocalizedString("Sign in required")));
    chosen.push_back(choice(ButtonKind::Help, QBYLocalizedString("Troubleshooting tips")));
  } else if (delivery.hasError()) {
    chosen.push_back(choice(ButtonKind::Edit, QBYLocalizedString("Edit your settings")));
    chosen.push_back(choice(ButtonKind::Help, QBYLocalizedString("Troubleshooting tips")));
  } else if (!delivery.archived() && delivery.isProbablyComplete()) {
    chosen.push_back(choice(ButtonKind::Archive, QBYLocalizedString("Archive")));
  }
  const auto url = delivery.url();
  if (url && !url->empty())
    chosen.push_back(choice(ButtonKind::Online, QBYLocalizedString("View details online")));
  std::stable_sort(chosen.begin(), chosen.end(), [](const auto& a, const auto& b) {
    return rowPosition(a.kind) < rowPosition(b.kind);
  });
  return chosen;
}

std::string QBYDetailPane::helpAddressForDelivery(const qby::Delivery& delivery) {
  return qby::Vendor::supportSiteURL() + "/help/" +
         (delivery.requiresSignIn() ? "amazon-sign-in.html" : "not-found.html");
}

// --- Building ------------------------------------------------------------------------------------

QBYDetailPane::QBYDetailPane(qby::QBYDeliveriesManager& manager)
    : Gtk::Box(Gtk::Orientation::VERTICAL),
      manager_(manager),
      openURI_(defaultOpenURI),
      content_(Gtk::Orientation::VERTICAL, 12),
      map_(Gtk::Orientation::VERTICAL),
      buttons_(Gtk::Orientation::HORIZONTAL, 6) {
  set_name("detail-pane");
  setAccessibleLabel(*this, QBYLocalizedString("Delivery details"));

  text_.set_wrap(true);
  text_.set_wrap_mode(Pango::WrapMode::WORD_CHAR);
  text_.set_xalign(0);
  text_.set_yalign(0);
  text_.set_selectable(true);
  text_.set_name("detail-text");
  setAccessibleLabel(text_, QBYLocalizedString("Delivery details"));
  text_.signal_activate_link().connect([this](const Glib::ustring& uri) { return handleLink(uri); },
                                       false);

  // The route map of the shown delivery; made once the manager has its store.
  map_.set_name("detail-map");
  map_.set_visible(false);

  buttons_.set_name("detail-buttons");
  buttons_.set_halign(Gtk::Align::START);
  setAccessibleLabel(buttons_, QBYLocalizedString("Delivery actions"));

  content_.set_margin(18);
  content_.append(text_);
  content_.append(map_);
  content_.append(buttons_);
  scroller_.set_child(content_);
  scroller_.set_vexpand(true);
  scroller_.set_policy(Gtk::PolicyType::NEVER, Gtk::PolicyType::AUTOMATIC);

  placeholder_.set_name("detail-placeholder");
  placeholder_.add_css_class("dim-label");
  placeholder_.add_css_class("title-2");
  placeholder_.set_vexpand(true);
  placeholder_.set_wrap(true);
  placeholder_.set_justify(Gtk::Justification::CENTER);

  append(scroller_);
  append(placeholder_);
  rebuild();
}

QBYDetailPane::~QBYDetailPane() {
  if (prompt_ && prompt_->dialog) gtk_window_destroy(GTK_WINDOW(prompt_->dialog.get()));
}

void QBYDetailPane::setURIOpener(URIOpener opener) {
  openURI_ = opener ? std::move(opener) : URIOpener(defaultOpenURI);
}

void QBYDetailPane::showDeliveries(std::vector<std::shared_ptr<qby::Delivery>> deliveries) {
  deliveries.erase(std::remove(deliveries.begin(), deliveries.end(), nullptr), deliveries.end());
  deliveries_ = std::move(deliveries);
  rebuild();
}

void QBYDetailPane::reload() {
  rebuild();
}

std::shared_ptr<qby::Delivery> QBYDetailPane::shownDelivery() const {
  return deliveries_.size() == 1 ? deliveries_.front() : nullptr;
}

void QBYDetailPane::rebuild() {
  const auto delivery = shownDelivery();
  scroller_.set_visible(delivery != nullptr);
  placeholder_.set_visible(delivery == nullptr);
  if (!delivery) {
    updateMap(nullptr);
    placeholder_.set_text(deliveries_.empty()
                              ? QBYLocalizedString("No Delivery Selected")
                              : qby::format(QBYLocalizedString("%d Deliveries Selected"),
                                            static_cast<long>(deliveries_.size())));
    text_.set_text("");
    rebuildButtons(nullptr);
    return;
  }
  qby::QBYDetailTextColors colors;
  colors.footer = kFooterColor;
  colors.badge = kFooterColor;
  colors.badgeSelected = kSelectedBadgeColor;
  const auto detail = qby::QBYDeliveryDetailText::textForDelivery(delivery.get(), false,
                                                                  manager_.dateFormatter(), colors);
  text_.set_markup(detail.markup);
  rebuildButtons(delivery.get());
  updateMap(delivery);
}

void QBYDetailPane::updateMap(const std::shared_ptr<qby::Delivery>& delivery) {
  auto* map = dynamic_cast<qby::QBYMapView*>(map_.get_first_child());
  if (!map && manager_.dataStore()) {
    map = Gtk::make_managed<qby::QBYMapView>(manager_.dataStore()->viewContext());
    map->set_size_request(-1, 280);
    map_.append(*map);
  }
  if (!map) return;
  bool hasPlaces = false;
  if (delivery) {
    for (const auto& line : delivery->details()) {
      hasPlaces = hasPlaces || !line->location().value_or("").empty() ||
                  !line->route().value_or("").empty();
    }
  }
  map_.set_visible(hasPlaces);
  map->updateMapForDelivery(hasPlaces ? delivery : nullptr);
}

void QBYDetailPane::rebuildButtons(const qby::Delivery* delivery) {
  while (auto* child = buttons_.get_first_child()) buttons_.remove(*child);
  if (!delivery) {
    buttons_.set_visible(false);
    return;
  }
  const auto chosen = buttonsForDelivery(*delivery);
  buttons_.set_visible(!chosen.empty());
  for (const auto& button : chosen) {
    auto* widget = Gtk::make_managed<Gtk::Button>();
    auto* content = adw_button_content_new();
    adw_button_content_set_label(ADW_BUTTON_CONTENT(content), button.title.c_str());
    adw_button_content_set_icon_name(ADW_BUTTON_CONTENT(content), button.iconName.c_str());
    gtk_button_set_child(GTK_BUTTON(widget->gobj()), content);
    widget->set_tooltip_text(button.title);
    setAccessibleLabel(*widget, button.title);
    switch (button.kind) {
      case ButtonKind::Password:
      case ButtonKind::Edit:
        widget->set_name(button.kind == ButtonKind::Password ? "detail-password" : "detail-edit");
        widget->signal_clicked().connect([this] { resolveError(); });
        break;
      case ButtonKind::Help:
        widget->set_name("detail-help");
        widget->signal_clicked().connect([this] { openHelp(); });
        break;
      case ButtonKind::Archive:
        widget->set_name("detail-archive");
        widget->signal_clicked().connect([this] { archive(); });
        break;
      case ButtonKind::Online:
        widget->set_name("detail-online");
        widget->signal_clicked().connect([this] { showOnline(); });
        break;
    }
    buttons_.append(*widget);
  }
}

// --- Actions -------------------------------------------------------------------------------------

void QBYDetailPane::resolveError() {
  const auto delivery = shownDelivery();
  if (!delivery) return;
  if (delivery->tap() == std::optional<std::string>("password")) {
    askForPassword();
  } else if (delivery->requiresSignIn()) {
    if (delegate_) delegate_->signInForDelivery(delivery->uuid().value_or(""));
  } else if (delivery->hasError()) {
    if (delegate_) delegate_->editDeliveryWithSettings(settingsOf(*delivery));
  }
}

void QBYDetailPane::openHelp() {
  if (const auto delivery = shownDelivery()) openURI_(helpAddressForDelivery(*delivery));
}

bool QBYDetailPane::archive() {
  const auto delivery = shownDelivery();
  if (!delivery || delivery->archived()) return false;
  const std::string uuid = delivery->uuid().value_or("");
  if (uuid.empty()) return false;
  qby::QBYDeliverySettings settings;
  settings.uuid = uuid;
  manager_.removeDeliveryWithSettings(settings);
  if (!delivery->archived()) {
    qby::log("Error archiving delivery %@", uuid);
    return false;
  }
  rebuild();
  if (delegate_) delegate_->archivedDelivery(uuid);
  return true;
}

bool QBYDetailPane::showOnline() {
  const auto delivery = shownDelivery();
  if (!delivery) return false;
  const auto url = delivery->url();
  // The address comes from a carrier's answer: only a well-formed one reaches the desktop.
  if (!url || !isWebAddress(*url)) {
    qby::log("Tried to open an invalid URL: %@", url);
    return false;
  }
  return openURI_(*url);
}

bool QBYDetailPane::handleLink(const std::string& uri) {
  const auto delivery = shownDelivery();
  if (startsWith(uri, kShowPackagePrefix)) {
    const std::string_view number = std::string_view(uri).substr(kShowPackagePrefix.size());
    long index = -1;
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), index);
    if (error != std::errc() || end != number.data() + number.size() || index < 0) {
      qby::log("Ignoring a package link without a package: %@", uri);
      return true;
    }
    selectPackage(index);
    return true;
  }
  if (startsWith(uri, kErrorPrefix)) {
    if (delivery && delegate_) delegate_->troubleshootDelivery(delivery->uuid().value_or(""));
    return true;
  }
  if (startsWith(uri, "https://") || startsWith(uri, "http://")) {
    if (isWebAddress(uri)) {
      openURI_(uri);
    } else {
      qby::log("Tried to open an invalid URL: %@", uri);
    }
    return true;
  }
  // Any other scheme (files, scripts, unknown handlers) stays unopened: the text comes from
  // carriers and sync partners.
  qby::log("Ignoring a link of the detail text: %@", uri);
  return true;
}

void QBYDetailPane::selectPackage(long index) {
  const auto delivery = shownDelivery();
  if (!delivery) return;
  const auto count = static_cast<long>(delivery->details().size());
  if (index >= count) {
    qby::log("Ignoring a link to package %@ of %@", static_cast<double>(index),
             static_cast<double>(count));
    return;
  }
  if (delivery->selected() == index) return;
  delivery->setSelected(index);
  if (auto* store = manager_.dataStore(); !store || !store->saveData()) {
    qby::log("Error saving changes to %@", delivery->uuid());
  } else if (const auto& sync = manager_.syncManager()) {
    sync->syncObject(delivery, false);
  }
  rebuild();
  // The list shows the selected package in the row too.
  if (auto listDelegate = manager_.delegate()) listDelegate->updatedDelivery(delivery);
}

// --- Password ------------------------------------------------------------------------------------

GtkWidget* QBYDetailPane::passwordPrompt() const {
  return prompt_ ? GTK_WIDGET(prompt_->dialog.get()) : nullptr;
}

void QBYDetailPane::askForPassword() {
  const auto delivery = shownDelivery();
  if (!delivery) return;
  if (prompt_) {
    gtk_window_present(GTK_WINDOW(prompt_->dialog.get()));
    return;
  }
  auto* root = dynamic_cast<Gtk::Window*>(get_root());
  const std::string account = qby::validText(delivery->extra().value_or(""));
  const std::string body =
      account.empty() ? QBYLocalizedString("Enter the password for this delivery.")
                      : qby::format(QBYLocalizedString("Enter the password for %@."), account);
  auto prompt = std::make_unique<PasswordPrompt>();
  prompt->dialog = qby::GObjectPtr<AdwMessageDialog>::retain(ADW_MESSAGE_DIALOG(
      adw_message_dialog_new(root ? root->gobj() : nullptr,
                             QBYLocalizedString("Enter your password").c_str(), body.c_str())));
  auto* dialog = prompt->dialog.get();
  gtk_widget_set_name(GTK_WIDGET(dialog), "password-prompt");
  adw_message_dialog_add_responses(dialog, "cancel", QBYLocalizedString("Cancel").c_str(), "save",
                                   QBYLocalizedString("Save").c_str(), nullptr);
  adw_message_dialog_set_response_appearance(dialog, "save", ADW_RESPONSE_SUGGESTED);
  adw_message_dialog_set_default_response(dialog, "save");
  adw_message_dialog_set_close_response(dialog, "cancel");

  auto* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 6);
  prompt->entry = gtk_password_entry_new();
  gtk_widget_set_name(prompt->entry, "password-entry");
  gtk_password_entry_set_show_peek_icon(GTK_PASSWORD_ENTRY(prompt->entry), TRUE);
  g_object_set(prompt->entry, "activates-default", TRUE, nullptr);
  gtk_accessible_update_property(GTK_ACCESSIBLE(prompt->entry), GTK_ACCESSIBLE_PROPERTY_LABEL,
                                 QBYLocalizedString("Password").c_str(), -1);
  prompt->error = gtk_label_new(nullptr);
  gtk_widget_set_name(prompt->error, "password-error");
  gtk_widget_add_css_class(prompt->error, "error");
  gtk_label_set_wrap(GTK_LABEL(prompt->error), TRUE);
  gtk_widget_set_visible(prompt->error, FALSE);
  gtk_box_append(GTK_BOX(box), prompt->entry);
  gtk_box_append(GTK_BOX(box), prompt->error);
  adw_message_dialog_set_extra_child(dialog, box);

  g_signal_connect(
      dialog, "response", G_CALLBACK(+[](AdwMessageDialog*, const char* response, gpointer data) {
        auto* pane = static_cast<QBYDetailPane*>(data);
        if (!pane->prompt_) return;
        if (std::string_view(response) == "save") {
          const std::string password = gtk_editable_get_text(GTK_EDITABLE(pane->prompt_->entry));
          std::string error;
          if (!pane->savePassword(password, &error)) {
            // The dialog closes after a response; a new one keeps what was typed
            // out of sight and says why.
            qby::log("Error saving password: %@", error);
            pane->prompt_.reset();
            pane->askForPassword();
            if (pane->prompt_) {
              gtk_label_set_text(GTK_LABEL(pane->prompt_->error), error.c_str());
              gtk_widget_set_visible(pane->prompt_->error, TRUE);
            }
            return;
          }
        }
        pane->prompt_.reset();
      }),
      this);
  prompt_ = std::move(prompt);
  gtk_window_present(GTK_WINDOW(dialog));
  gtk_widget_grab_focus(prompt_->entry);
}

bool QBYDetailPane::savePassword(const std::string& password, std::string* error) {
  auto fail = [error](std::string message) {
    if (error) *error = std::move(message);
    return false;
  };
  const auto delivery = shownDelivery();
  if (!delivery) return fail(QBYLocalizedString("No delivery is selected."));
  if (password.empty()) return fail(QBYLocalizedString("Enter a password."));
  // The password belongs to the account (the extra value) at the service.
  if (!delivery->extra() || delivery->extra()->empty())
    return fail(QBYLocalizedString("This delivery has no account for a password."));

  auto settings = settingsOf(*delivery);
  settings.password = password;
  settings.changedPassword = true;
  qby::QBYError passwordError;
  const auto saved = manager_.saveDeliveryWithSettings(settings, &passwordError);
  if (!saved) return fail(QBYLocalizedString("The delivery could not be saved."));
  if (!saved->password())
    return fail(passwordError.localizedDescription.empty()
                    ? QBYLocalizedString("The password could not be stored.")
                    : passwordError.localizedDescription);
  // The stored password answers what the carrier asked for; the next update tells anew.
  saved->setTap(std::nullopt);
  if (auto* store = manager_.dataStore(); !store || !store->saveData())
    return fail(QBYLocalizedString("The delivery could not be saved."));
  manager_.updateDeliveriesSoon();
  rebuild();
  return true;
}

}  // namespace porvane::app
