#include "QBYAddDeliveryWindow.h"

#include <adwaita.h>

#include <utility>

#include "QBYAddScreen.h"
#include "QBYEditScreen.h"
#include "manager/QBYDeliveriesManager.h"
#include "platform/Localization.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "platform/QBYUserDefaults.h"
#include "store/QBYDataStore.h"

namespace porvane::forms {

QBYAddDeliveryWindow::QBYAddDeliveryWindow(qby::QBYDeliveriesManager& manager, Options options)
    : manager_(manager), options_(std::move(options)), content_(Gtk::Orientation::VERTICAL, 0) {
  set_title(QBYLocalizedString("Add Delivery"));
  set_default_size(420, 480);
  Gtk::Widget* header = Glib::wrap(adw_header_bar_new());
  set_titlebar(*header);
  set_child(content_);
  problem_.set_wrap(true);
  problem_.set_margin_start(18);
  problem_.set_margin_end(18);
  problem_.set_margin_top(18);
  problem_.set_xalign(0);
  problem_.add_css_class("error");
  problem_.set_visible(false);
  content_.append(problem_);

  addScreen_ = Gtk::make_managed<QBYAddScreen>(manager_, formParent(), options_.search,
                                               options_.foundGuesses);
  showScreen(*addScreen_);

  // Escape anywhere in the window closes it unsaved.
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
        if (!outcome_) finish(Outcome::Cancelled);
        return false;
      },
      false);
}

QBYAddDeliveryWindow::~QBYAddDeliveryWindow() {
  *alive_ = false;
}

std::unique_ptr<QBYAddDeliveryWindow> QBYAddDeliveryWindow::present(
    Gtk::Window* parent, qby::QBYDeliveriesManager& manager, Options options) {
  auto window = std::make_unique<QBYAddDeliveryWindow>(manager, std::move(options));
  if (parent) window->set_transient_for(*parent);
  window->Gtk::Window::present();
  return window;
}

void QBYAddDeliveryWindow::showScreen(Gtk::Widget& screen) {
  if (Gtk::Widget* old = problem_.get_next_sibling()) content_.remove(*old);
  content_.append(screen);
}

void QBYAddDeliveryWindow::showProblem(const std::string& text) {
  problem_.set_text(text);
  problem_.set_visible(!text.empty());
}

void QBYAddDeliveryWindow::editDeliveryWithSettings(const qby::QBYDeliverySettings& settings) {
  auto* screen = Gtk::make_managed<QBYEditScreen>(manager_, formParent(), settings);
  set_title(QBYLocalizedString("Edit Delivery"));
  // The add screen goes away with the removal; answers of its searches find it gone.
  addScreen_ = nullptr;
  editScreen_ = screen;
  showScreen(*screen);
}

void QBYAddDeliveryWindow::saveDeliveryWithSettings(const qby::QBYDeliverySettings& settings) {
  if (options_.saveMode == SaveMode::Later) {
    // The add queue lives in the shared defaults; the program that keeps the list takes it
    // from there when the message reaches it, or when it next starts.
    // The queue's write is checked here: a delivery that never reached it would be lost
    // while the window said it was saved.
    auto& defaults = qby::QBYDataStore::sharedDefaults();
    const auto queued = [&defaults] {
      return defaults.arrayForKey(qby::QBYAddToDeliveriesKey).value_or(qby::Array{}).size();
    };
    const std::size_t before = queued();
    manager_.addDeliveryLaterWithSettings(settings);
    defaults.synchronize();
    if (queued() <= before) {
      qby::log("Error adding delivery to the add queue: %@", settings.description());
      if (editScreen_)
        editScreen_->showMessage(QBYLocalizedString("The delivery could not be saved."));
      return;
    }
    finish(Outcome::Saved);
    return;
  }
  qby::QBYError passwordError;
  auto delivery = manager_.saveDeliveryWithSettings(settings, &passwordError);
  if (!delivery) {
    qby::log("Error saving delivery: %@", settings.description());
    if (editScreen_)
      editScreen_->showMessage(QBYLocalizedString("The delivery could not be saved."));
    return;
  }
  // The delivery is saved; its updates will ask for the password again.
  if (!passwordError.domain.empty())
    qby::log("Error saving password: %@", passwordError.description());
  finish(Outcome::Saved);
}

void QBYAddDeliveryWindow::cancel() {
  finish(Outcome::Cancelled);
}

void QBYAddDeliveryWindow::finish(Outcome outcome) {
  if (outcome_) return;
  outcome_ = outcome;
  set_visible(false);
  // The owner may destroy the window in the callback: not from inside one of its handlers.
  std::weak_ptr<bool> alive = alive_;
  qby::MainQueue::async([this, alive, outcome] {
    if (!alive.lock()) return;
    if (options_.finished) options_.finished(outcome);
  });
}

}  // namespace porvane::forms
