// The window that edits one delivery: the edit screen for its settings. A valid save goes
// straight to the deliveries manager and closes the window; Escape closes it unsaved.
//
// The owner keeps the window and drops it from the `finished` callback (run once, on the main
// loop after the window was hidden).
//
// Threads: main thread only.
#pragma once

#include <gtkmm.h>

#include <functional>
#include <memory>
#include <optional>

#include "QBYDeliveryFormParent.h"

namespace qby {
class QBYDeliveriesManager;
class Delivery;
}  // namespace qby

namespace porvane::forms {

class QBYEditScreen;

class QBYEditDeliveryWindow : public Gtk::Window, private QBYDeliveryFormParent {
 public:
  // Told with the saved delivery, or null when the window closed without saving.
  using Finished = std::function<void(std::shared_ptr<qby::Delivery> saved)>;

  QBYEditDeliveryWindow(qby::QBYDeliveriesManager& manager, qby::QBYDeliverySettings settings,
                        Finished finished);
  ~QBYEditDeliveryWindow() override;

  // Makes the window, transient for the parent (may be null), and presents it.
  static std::unique_ptr<QBYEditDeliveryWindow> present(Gtk::Window* parent,
                                                        qby::QBYDeliveriesManager& manager,
                                                        qby::QBYDeliverySettings settings,
                                                        Finished finished);

  QBYEditScreen& editScreen() { return *editScreen_; }

 private:
  void editDeliveryWithSettings(const qby::QBYDeliverySettings& settings) override;
  void saveDeliveryWithSettings(const qby::QBYDeliverySettings& settings) override;
  void cancel() override;
  QBYDeliveryFormParent& formParent() { return *this; }
  void finish(std::shared_ptr<qby::Delivery> saved);

  qby::QBYDeliveriesManager& manager_;
  Finished finished_;
  bool done_ = false;
  QBYEditScreen* editScreen_ = nullptr;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace porvane::forms
