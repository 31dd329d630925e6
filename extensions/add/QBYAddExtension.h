// porvane-add's controller: reads what the desktop handed over (a web address, text or a
// file) off the main thread, asks the finder for the deliveries in it, and shows the add
// window with them. A chosen delivery goes to the add queue with its message, so that the
// program that keeps the list (the main application, or the companion, started for it when
// neither runs) adds it; the main window does not open.
//
// Threads: main thread only; the content is read and searched on a queue of its own.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "QBYAddDeliveryWindow.h"
#include "QBYSharedContent.h"

namespace qby {
class QBYDeliveriesManager;
class QBYOperationQueue;
}  // namespace qby

namespace porvane::add {

class QBYAddExtension {
 public:
  using Outcome = forms::QBYAddDeliveryWindow::Outcome;

  // `finished` runs once, when the window has closed (saved, cancelled or failed).
  QBYAddExtension(qby::QBYDeliveriesManager& manager, std::vector<std::string> arguments,
                  std::function<void(Outcome)> finished);
  ~QBYAddExtension();
  QBYAddExtension(const QBYAddExtension&) = delete;
  QBYAddExtension& operator=(const QBYAddExtension&) = delete;

  // Reads the content and, when the finder has answered, presents the window.
  void start();

  // The window, once the content was read; null before.
  forms::QBYAddDeliveryWindow* window() const { return window_.get(); }
  // What was read (after the window appeared).
  const QBYSharedContent& content() const { return content_; }

 private:
  void processResults(QBYSharedContent content, std::vector<qby::Dictionary> guesses);

  qby::QBYDeliveriesManager& manager_;
  std::vector<std::string> arguments_;
  std::function<void(Outcome)> finished_;
  QBYSharedContent content_;
  std::unique_ptr<forms::QBYAddDeliveryWindow> window_;
  std::unique_ptr<qby::QBYOperationQueue> queue_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace porvane::add
