// Keeps the panel icon's menu in step with the companion's deliveries and carries out what the
// user picks in it: opening a delivery in the main application or its tracking page in the
// browser, refreshing, archiving, showing another package, and the companion's own commands.
//
// A primary click on the icon opens the main application's compact Today window when that
// program is installed beside the companion (or on the PATH); without it the icon is a menu.
//
// Main thread only; it must not outlive the application delegate it serves.
#pragma once

#include <gio/gio.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "QBYStatusItem.h"

namespace qby {
class Delivery;
class QBYDateFormatter;
}  // namespace qby

namespace porvane::express {

class QBYBackgroundAppDelegate;

// The rows of the menu for the active deliveries, in their order.
std::vector<MenuDelivery> menuDeliveries(
    const std::vector<std::shared_ptr<qby::Delivery>>& deliveries,
    qby::QBYDateFormatter& formatter);

class QBYStatusMenuController final : public QBYStatusItemDelegate {
 public:
  QBYStatusMenuController(GDBusConnection* sessionBus, QBYBackgroundAppDelegate& application);
  ~QBYStatusMenuController() override;
  QBYStatusMenuController(const QBYStatusMenuController&) = delete;
  QBYStatusMenuController& operator=(const QBYStatusMenuController&) = delete;

  void setVisible(bool visible);
  bool visible() const;
  // Rebuilds the rows from the manager's active deliveries (only while visible).
  void reload();

  void statusItemActivated() override;
  void menuCommandChosen(MenuCommand command, const std::optional<std::string>& uuid,
                         std::size_t package) override;

  // The Today window's program, when installed: next to this program, else on the PATH.
  static std::optional<std::string> todayProgram();

 private:
  std::shared_ptr<qby::Delivery> delivery(const std::optional<std::string>& uuid) const;
  void saveChangeOf(const std::shared_ptr<qby::Delivery>& delivery);

  QBYBackgroundAppDelegate& application_;
  std::unique_ptr<QBYStatusItem> item_;
  std::optional<std::string> todayProgram_;
};

}  // namespace porvane::express
