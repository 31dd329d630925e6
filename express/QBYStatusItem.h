// The companion's icon in the desktop's panel: a StatusNotifierItem on the session bus, with
// the deliveries menu (QBYDeliveriesMenu) as its menu.
//
// While visible, the item is exported at /StatusNotifierItem, owns the bus name
// "org.kde.StatusNotifierItem-<pid>-1" and is registered with the desktop's
// StatusNotifierWatcher, the service through which panels find items. Without a watcher there
// is no icon: the item says so once in the log, follows the watcher's name on the bus and
// registers as soon as a watcher appears, and again whenever the watcher restarts (a new watcher
// knows nothing of the old one's items).
//
// Hiding the item withdraws it from the bus; the panel drops it when its name goes.
//
// Main thread only: the bus's answers and the panel's calls arrive on the default main context.
// The delegate is called there and must outlive the item; it may change the item from within a
// call but must not destroy it (quit by leaving the main loop).
#pragma once

#include <gio/gio.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "QBYDeliveriesMenu.h"

namespace porvane {

class QBYStatusItemDelegate {
 public:
  virtual ~QBYStatusItemDelegate() = default;
  virtual void statusItemActivated() = 0;  // primary click on the icon
  virtual void menuCommandChosen(MenuCommand command, const std::optional<std::string>& uuid,
                                 std::size_t package) = 0;
};

class QBYStatusItem {
 public:
  // The bus must be the process's shared session-bus connection (g_bus_get()): the menu is
  // served there, and a panel looks for it beside the item.
  QBYStatusItem(GDBusConnection* sessionBus, QBYStatusItemDelegate& delegate);
  ~QBYStatusItem();
  QBYStatusItem(const QBYStatusItem&) = delete;
  QBYStatusItem& operator=(const QBYStatusItem&) = delete;

  void setVisible(bool visible);  // export + register with the watcher / withdraw
  bool visible() const;
  bool registeredWithWatcher() const;   // a StatusNotifierWatcher accepted the item
  void setItemIsMenu(bool itemIsMenu);  // true while the Today window is not installed
  // The menu's rows (at most QBYDeliveriesMenu::kMaximumRows) and the icon's tooltip text.
  void setDeliveries(std::vector<MenuDelivery> deliveries, const std::string& statusText);
  void setEmptyText(const std::string& text);  // "You do not have\nany deliveries"

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace porvane
