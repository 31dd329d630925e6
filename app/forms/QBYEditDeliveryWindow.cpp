#include "QBYEditDeliveryWindow.h"

#include <adwaita.h>

#include <utility>

#include "QBYEditScreen.h"
#include "manager/QBYDeliveriesManager.h"
#include "platform/Localization.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"

namespace porvane::forms {

QBYEditDeliveryWindow::QBYEditDeliveryWindow(qby::QBYDeliveriesManager& manager,
                                             qby::QBYDeliverySettings settings, Finished finished)
    : manager_(manager), finished_(std::move(finished)) {
  set_title(QBYLocalizedString("Edit Delivery"));
  set_default_size(420, 360);
  Gtk::Widget* header = Glib::wrap(adw_header_bar_new());
  set_titlebar(*header);
  editScreen_ = Gtk::make_managed<QBYEditScreen>(manager_, formParent(), std::move(settings));
  set_child(*editScreen_);

  auto keys = Gtk::EventControllerKey::create();
  keys->signal_key_pressed().connect(
      [this](guint key, guint, Gdk::ModifierType) {
        if (key != GDK_KEY_Escape) return false;
        cancel();
        return true;
      },
      false);
  add_controller(keys);
  signal_close_request().connect(
      [this] {
        finish(nullptr);
        return false;
      },
      false);
}

QBYEditDeliveryWindow::~QBYEditDeliveryWindow() {
  *alive_ = false;
}

std::unique_ptr<QBYEditDeliveryWindow> QBYEditDeliveryWindow::present(
    Gtk::Window* parent, qby::QBYDeliveriesManager& manager, qby::QBYDeliverySettings settings,
    Finished finished) {
  auto window =
      std::make_unique<QBYEditDeliveryWindow>(manager, std::move(settings), std::move(finished));
  if (parent) window->set_transient_for(*parent);
  window->Gtk::Window::present();
  return window;
}

void QBYEditDeliveryWindow::editDeliveryWithSettings(const qby::QBYDeliverySettings&) {
  // The window edits one delivery; it shows no suggestions that could choose another.
}

void QBYEditDeliveryWindow::saveDeliveryWithSettings(const qby::QBYDeliverySettings& settings) {
  qby::QBYError passwordError;
  auto delivery = manager_.saveDeliveryWithSettings(settings, &passwordError);
  // The delivery is saved; its updates will ask for the password again.
  if (delivery && !passwordError.domain.empty())
    qby::log("Error saving password: %@", passwordError.description());
  if (!delivery) {
    qby::log("Error saving delivery: %@", settings.description());
    editScreen_->showMessage(QBYLocalizedString("The delivery could not be saved."));
    return;
  }
  finish(std::move(delivery));
}

void QBYEditDeliveryWindow::cancel() {
  finish(nullptr);
}

void QBYEditDeliveryWindow::finish(std::shared_ptr<qby::Delivery> saved) {
  if (done_) return;
  done_ = true;
  set_visible(false);
  std::weak_ptr<bool> alive = alive_;
  qby::MainQueue::async([this, alive, saved = std::move(saved)] {
    if (!alive.lock()) return;
    if (finished_) finished_(saved);
  });
}

}  // namespace porvane::forms
