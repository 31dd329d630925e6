// The edit screen: the fields of one delivery as its service asks for them (name, tracking
// number, extra value, password, date), a service menu with the favourite services first, and
// Save. Save validates through the deliveries manager; a delivery that lacks a required field
// keeps the screen open, shows the manager's message and puts the cursor into the first
// missing field.
//
// Threads: main thread only (services and their settings belong to the store's view context).
#pragma once

#include <gtkmm.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "model/QBYDeliverySettings.h"

namespace qby {
class QBYDeliveriesManager;
class Service;
}  // namespace qby

namespace porvane::forms {

class QBYDeliveryFormParent;

class QBYEditScreen : public Gtk::Box {
 public:
  QBYEditScreen(qby::QBYDeliveriesManager& manager, QBYDeliveryFormParent& parent,
                qby::QBYDeliverySettings settings);
  ~QBYEditScreen() override;

  // The settings with the fields copied in (what Save would validate).
  qby::QBYDeliverySettings currentSettings() const;
  const std::shared_ptr<qby::Service>& service() const { return service_; }
  // Chooses the service with this key (as the menu does); false when it is not listed.
  bool selectService(const std::string& key);

  // Validates and, when valid, hands the settings to the parent.
  void saveDelivery();

  Gtk::Entry& nameEntry() { return nameEntry_; }
  Gtk::Entry& numberEntry() { return numberEntry_; }
  Gtk::Entry& extraEntry() { return extraEntry_; }
  Gtk::PasswordEntry& passwordEntry() { return passwordEntry_; }
  Gtk::Button& saveButton() { return saveButton_; }
  // The validation message shown (empty when none).
  std::string message() const { return messageLabel_.get_text(); }
  // Shows a message under the fields (faded in); empty hides it.
  void showMessage(const std::string& text);

 private:
  struct Field;
  void buildServiceMenu();
  void serviceChanged();
  void applyService(const std::shared_ptr<qby::Service>& service);
  void clearSettingsFromService(const std::shared_ptr<qby::Service>& from,
                                const std::shared_ptr<qby::Service>& to);
  void fillDefaultExtra();
  void fillStoredPassword();
  void updateDateButton();

  qby::QBYDeliveriesManager& manager_;
  QBYDeliveryFormParent& parent_;
  qby::QBYDeliverySettings settings_;
  std::shared_ptr<qby::Service> service_;
  std::vector<std::shared_ptr<qby::Service>> menuServices_;
  bool showingAllServices_ = false;
  bool extraEdited_ = false;
  bool fillingFields_ = false;
  std::optional<std::string> initialPassword_;

  Gtk::Grid grid_;
  Gtk::DropDown serviceMenu_;
  Gtk::CheckButton showAllServices_;
  Gtk::Label nameLabel_, numberLabel_, extraLabel_, passwordLabel_, dateLabel_;
  Gtk::Entry nameEntry_, numberEntry_, extraEntry_;
  Gtk::PasswordEntry passwordEntry_;
  Gtk::MenuButton dateButton_;
  Gtk::Popover datePopover_;
  Gtk::Calendar calendar_;
  Gtk::Button clearDateButton_;
  Gtk::Revealer messageRevealer_;
  Gtk::Label messageLabel_;
  Gtk::Button saveButton_;
};

}  // namespace porvane::forms
