#include "QBYEditScreen.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "QBYDeliveryFormParent.h"
#include "engine/QBYPasswordManager.h"
#include "manager/QBYDeliveriesManager.h"
#include "model/Service.h"
#include "model/Setting.h"
#include "platform/Localization.h"
#include "util/QBYRegions.h"

namespace porvane::forms {

namespace {

// The field's text, or nothing when it holds only blanks.
std::optional<std::string> fieldText(const Glib::ustring& text) {
  const std::string value = text;
  const auto first = value.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return std::nullopt;
  const auto last = value.find_last_not_of(" \t\r\n");
  return value.substr(first, last - first + 1);
}

bool hasText(const std::optional<std::string>& text) {
  return text && !text->empty();
}

void setAccessibleLabel(Gtk::Widget& widget, const std::string& label) {
  gtk_accessible_update_property(GTK_ACCESSIBLE(widget.gobj()), GTK_ACCESSIBLE_PROPERTY_LABEL,
                                 label.c_str(), -1);
}

std::optional<std::string> inputTypeOf(const std::shared_ptr<qby::Service>& service,
                                       std::string_view type) {
  if (!service) return std::nullopt;
  auto setting = service->settingOfType(type);
  return setting ? setting->inputType() : std::nullopt;
}

}  // namespace

QBYEditScreen::QBYEditScreen(qby::QBYDeliveriesManager& manager, QBYDeliveryFormParent& parent,
                             qby::QBYDeliverySettings settings)
    : Gtk::Box(Gtk::Orientation::VERTICAL, 12),
      manager_(manager),
      parent_(parent),
      settings_(std::move(settings)),
      initialPassword_(settings_.password) {
  set_margin_start(18);
  set_margin_end(18);
  set_margin_top(18);
  set_margin_bottom(18);

  grid_.set_row_spacing(8);
  grid_.set_column_spacing(12);
  append(grid_);

  auto label = [](Gtk::Label& l, const std::string& text) {
    l.set_text(text);
    l.set_xalign(1);
    l.add_css_class("dim-label");
  };
  auto serviceLabel = Gtk::make_managed<Gtk::Label>();
  label(*serviceLabel, QBYLocalizedString("Service"));
  serviceMenu_.set_hexpand(true);
  setAccessibleLabel(serviceMenu_, QBYLocalizedString("Service"));
  showAllServices_.set_label(QBYLocalizedString("Show All Services"));
  grid_.attach(*serviceLabel, 0, 0);
  grid_.attach(serviceMenu_, 1, 0);
  grid_.attach(showAllServices_, 1, 1);

  label(nameLabel_, QBYLocalizedString("Name"));
  grid_.attach(nameLabel_, 0, 2);
  grid_.attach(nameEntry_, 1, 2);
  grid_.attach(numberLabel_, 0, 3);
  grid_.attach(numberEntry_, 1, 3);
  grid_.attach(extraLabel_, 0, 4);
  grid_.attach(extraEntry_, 1, 4);
  grid_.attach(passwordLabel_, 0, 5);
  grid_.attach(passwordEntry_, 1, 5);
  grid_.attach(dateLabel_, 0, 6);
  grid_.attach(dateButton_, 1, 6);
  for (Gtk::Label* l : {&numberLabel_, &extraLabel_, &passwordLabel_, &dateLabel_}) {
    l->set_xalign(1);
    l->add_css_class("dim-label");
  }
  passwordEntry_.set_show_peek_icon(true);
  for (Gtk::Widget* w :
       {static_cast<Gtk::Widget*>(&nameEntry_), static_cast<Gtk::Widget*>(&numberEntry_),
        static_cast<Gtk::Widget*>(&extraEntry_), static_cast<Gtk::Widget*>(&passwordEntry_)})
    w->set_hexpand(true);

  // The date popover: pick a day, or clear it.
  auto dateBox = Gtk::make_managed<Gtk::Box>(Gtk::Orientation::VERTICAL, 6);
  dateBox->append(calendar_);
  clearDateButton_.set_label(QBYLocalizedString("Clear"));
  dateBox->append(clearDateButton_);
  datePopover_.set_child(*dateBox);
  dateButton_.set_popover(datePopover_);
  calendar_.signal_day_selected().connect([this] {
    const Glib::DateTime day = calendar_.get_date();
    settings_.date = day.format("%Y-%m-%d");
    updateDateButton();
    datePopover_.popdown();
  });
  clearDateButton_.signal_clicked().connect([this] {
    settings_.date.reset();
    updateDateButton();
    datePopover_.popdown();
  });

  messageLabel_.set_wrap(true);
  messageLabel_.set_xalign(0);
  messageLabel_.add_css_class("error");
  messageRevealer_.set_child(messageLabel_);
  messageRevealer_.set_transition_type(Gtk::RevealerTransitionType::CROSSFADE);
  messageRevealer_.set_transition_duration(1000);
  append(messageRevealer_);

  saveButton_.set_label(QBYLocalizedString("Save"));
  saveButton_.add_css_class("suggested-action");
  saveButton_.set_halign(Gtk::Align::END);
  append(saveButton_);
  saveButton_.signal_clicked().connect([this] { saveDelivery(); });
  for (Gtk::Entry* entry : {&nameEntry_, &numberEntry_, &extraEntry_})
    entry->signal_activate().connect([this] { saveDelivery(); });
  passwordEntry_.property_activates_default().set_value(false);
  g_signal_connect_swapped(passwordEntry_.gobj(), "activate",
                           G_CALLBACK(+[](QBYEditScreen* screen) { screen->saveDelivery(); }),
                           this);

  extraEntry_.signal_changed().connect([this] {
    if (!fillingFields_) extraEdited_ = true;
  });
  // The stored password of the account, once the account is known.
  auto focus = Gtk::EventControllerFocus::create();
  focus->signal_leave().connect([this] { fillStoredPassword(); });
  extraEntry_.add_controller(focus);

  fillingFields_ = true;
  nameEntry_.set_text(settings_.name.value_or(""));
  numberEntry_.set_text(settings_.no.value_or(""));
  extraEntry_.set_text(settings_.extra.value_or(""));
  passwordEntry_.set_text(settings_.password.value_or(""));
  fillingFields_ = false;
  updateDateButton();

  service_ = manager_.serviceForDomain(settings_.from);
  buildServiceMenu();
  showAllServices_.signal_toggled().connect([this] {
    showingAllServices_ = showAllServices_.get_active();
    buildServiceMenu();
  });
  serviceMenu_.property_selected().signal_changed().connect([this] { serviceChanged(); });
  applyService(service_);

  // The field the settings still miss gets the cursor first, once the screen is on screen.
  signal_map().connect([this] {
    if (settings_.missingSetting == std::optional<std::string>("extra") &&
        extraEntry_.get_visible()) {
      extraEntry_.grab_focus();
    } else if (settings_.missingSetting == std::optional<std::string>("password") &&
               passwordEntry_.get_visible()) {
      passwordEntry_.grab_focus();
    } else if (!hasText(settings_.no) && numberEntry_.get_visible()) {
      numberEntry_.grab_focus();
    } else {
      nameEntry_.grab_focus();
    }
  });
}

QBYEditScreen::~QBYEditScreen() = default;

void QBYEditScreen::buildServiceMenu() {
  // Favourites first; all services when asked, or when there are no favourites yet. The
  // delivery's own service is always there.
  std::vector<std::shared_ptr<qby::Service>> services =
      showingAllServices_ ? manager_.services() : manager_.favoriteServices();
  if (services.empty()) {
    services = manager_.services();
    showingAllServices_ = true;
    showAllServices_.set_visible(false);
  }
  if (service_ && std::find(services.begin(), services.end(), service_) == services.end())
    services.insert(services.begin(), service_);
  menuServices_ = std::move(services);

  auto names = Gtk::StringList::create({});
  guint selected = GTK_INVALID_LIST_POSITION;
  for (std::size_t i = 0; i < menuServices_.size(); ++i) {
    const auto& service = menuServices_[i];
    names->append(service->localizedName().value_or(service->from().value_or("")));
    if (service == service_) selected = static_cast<guint>(i);
  }
  fillingFields_ = true;
  serviceMenu_.set_model(names);
  serviceMenu_.set_selected(selected);
  fillingFields_ = false;
}

bool QBYEditScreen::selectService(const std::string& key) {
  for (std::size_t i = 0; i < menuServices_.size(); ++i) {
    if (menuServices_[i]->from() == std::optional<std::string>(key)) {
      serviceMenu_.set_selected(static_cast<guint>(i));
      return true;
    }
  }
  if (!showingAllServices_) {
    showAllServices_.set_active(true);
    return selectService(key);
  }
  return false;
}

void QBYEditScreen::serviceChanged() {
  if (fillingFields_) return;
  const guint index = serviceMenu_.get_selected();
  if (index == GTK_INVALID_LIST_POSITION || index >= menuServices_.size()) return;
  const auto service = menuServices_[index];
  if (service == service_) return;
  clearSettingsFromService(service_, service);
  applyService(service);
}

void QBYEditScreen::clearSettingsFromService(const std::shared_ptr<qby::Service>& from,
                                             const std::shared_ptr<qby::Service>& to) {
  // A value typed for one kind of field (a postcode) means nothing in another (an e-mail).
  fillingFields_ = true;
  if (inputTypeOf(from, "no") != inputTypeOf(to, "no")) numberEntry_.set_text("");
  if (inputTypeOf(from, "extra") != inputTypeOf(to, "extra")) {
    extraEntry_.set_text("");
    extraEdited_ = false;
  }
  if (inputTypeOf(from, "password") != inputTypeOf(to, "password")) passwordEntry_.set_text("");
  if (inputTypeOf(from, "date") != inputTypeOf(to, "date")) {
    settings_.date.reset();
    updateDateButton();
  }
  fillingFields_ = false;
}

void QBYEditScreen::applyService(const std::shared_ptr<qby::Service>& service) {
  service_ = service;
  if (service) settings_.from = service->from();
  const auto show = [&](Gtk::Label& label, Gtk::Widget& field, const char* type) {
    // Without a service only the number is asked for.
    const bool visible = service ? service->hasSettingOfType(type) : std::string_view(type) == "no";
    label.set_visible(visible);
    field.set_visible(visible);
    label.set_text(service ? service->localizedNameForSettingOfType(type)
                           : qby::Service::defaultNameForSettingOfType(type));
    setAccessibleLabel(field, label.get_text());
  };
  show(numberLabel_, numberEntry_, "no");
  show(extraLabel_, extraEntry_, "extra");
  show(passwordLabel_, passwordEntry_, "password");
  show(dateLabel_, dateButton_, "date");
  setAccessibleLabel(nameEntry_, nameLabel_.get_text());
  fillDefaultExtra();
  fillStoredPassword();
}

void QBYEditScreen::fillDefaultExtra() {
  if (!service_ || !service_->hasSettingOfType("extra")) return;
  if (extraEdited_ && fieldText(extraEntry_.get_text())) return;
  if (service_->from() == std::optional<std::string>(qby::ServiceKey::AmazonOrderLink)) return;
  const auto value = service_->defaultExtra();
  if (!hasText(value)) return;
  fillingFields_ = true;
  extraEntry_.set_text(*value);
  fillingFields_ = false;
}

void QBYEditScreen::fillStoredPassword() {
  if (!service_ || !service_->hasSettingOfType("password")) return;
  if (!passwordEntry_.get_text().empty()) return;
  const auto account = fieldText(extraEntry_.get_text());
  const auto server = service_->from();
  if (!account || !hasText(server)) return;
  const auto stored =
      qby::QBYPasswordManager::passwordForAccount(*account, *server, std::nullopt, std::nullopt);
  if (hasText(stored)) {
    passwordEntry_.set_text(*stored);
    initialPassword_ = stored;
  }
}

void QBYEditScreen::updateDateButton() {
  dateButton_.set_label(settings_.date.value_or(QBYLocalizedString("None")));
}

qby::QBYDeliverySettings QBYEditScreen::currentSettings() const {
  qby::QBYDeliverySettings settings = settings_;
  settings.name = fieldText(nameEntry_.get_text());
  settings.no = numberEntry_.get_visible() ? fieldText(numberEntry_.get_text()) : settings_.no;
  settings.extra = extraEntry_.get_visible() ? fieldText(extraEntry_.get_text()) : settings_.extra;
  if (passwordEntry_.get_visible()) {
    const std::string password = passwordEntry_.get_text();
    settings.password = password.empty() ? std::nullopt : std::optional<std::string>(password);
    settings.changedPassword = settings.password != initialPassword_;
  }
  settings.shouldPresent = qby::QBYDeliverySettings::PresentFromEditor;
  return settings;
}

void QBYEditScreen::saveDelivery() {
  if (!saveButton_.get_sensitive()) return;
  saveButton_.set_sensitive(false);
  const qby::QBYDeliverySettings settings = currentSettings();
  qby::QBYError error;
  if (manager_.validateSettings(settings, true, &error)) {
    showMessage("");
    saveButton_.set_sensitive(true);
    parent_.saveDeliveryWithSettings(settings);
    return;
  }
  showMessage(error.localizedDescription);
  // The first missing field, in the order the fields are shown.
  std::vector<std::string> missing;
  if (const qby::Value* fields = error.userInfo.find(qby::QBYDeliveriesMissingFields)) {
    if (const qby::Array* list = fields->arrayPtr())
      for (const auto& field : *list)
        if (auto text = field.asString()) missing.push_back(*text);
  }
  const auto isMissing = [&](const char* type) {
    return std::find(missing.begin(), missing.end(), type) != missing.end();
  };
  if (isMissing("name")) {
    nameEntry_.grab_focus();
  } else if (isMissing("no")) {
    numberEntry_.grab_focus();
  } else if (isMissing("extra")) {
    extraEntry_.grab_focus();
  } else if (isMissing("password")) {
    passwordEntry_.grab_focus();
  }
  saveButton_.set_sensitive(true);
}

void QBYEditScreen::showMessage(const std::string& text) {
  messageLabel_.set_text(text);
  messageRevealer_.set_reveal_child(!text.empty());
}

}  // namespace porvane::forms
