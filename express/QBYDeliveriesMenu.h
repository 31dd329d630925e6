// The panel icon's menu: the active deliveries, each a submenu with its status and deliver
// lines and what can be done with it, then the companion's own commands. It is served on the
// session bus as a com.canonical.dbusmenu object, which the panel reads and shows.
//
// A changed list updates the served tree in place: rows that stay keep their items and ids, so
// a panel that holds the menu sees changed labels and added or removed rows
// (ItemsPropertiesUpdated, LayoutUpdated) rather than a new menu under the same ids.
//
// Labels are plain text: invalid UTF-8 becomes U+FFFD, control characters become spaces and
// underscores are doubled, since a menu label reads "_" as its mnemonic mark.
//
// Main thread only: the server answers on the default main context, and chosen items reach the
// handler there.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace porvane {

enum class MenuCommand {
  OpenInPorvane,
  OpenTrackingPage,
  Refresh,
  Archive,
  ShowPackage,
  UpdateNow,
  AddDelivery,
  OpenPorvane,
  Preferences,
  Quit
};

// One active delivery as the menu shows it.
struct MenuDelivery {
  std::string uuid;
  std::string title;             // plain texts from the delivery text component
  std::string status;            // status line ("" when blank)
  std::string deliver;           // deliver line ("" when blank)
  std::string days;              // day count and unit, "" when none
  bool hasTrackingPage = false;  // the "open in browser" item is offered
  std::size_t packageCount = 1, selectedPackage = 0;
};

// A text from outside as the panel shows it: valid UTF-8 (U+FFFD for invalid bytes), control
// characters as spaces; a line break stays only where keepLineBreaks asks for it.
std::string displayText(std::string_view text, bool keepLineBreaks = false);
// The label a menu shows for a text: its display text with every "_" doubled, so that it shows
// literally instead of marking a mnemonic.
std::string menuLabel(std::string_view text, bool keepLineBreaks = false);

class QBYDeliveriesMenu {
 public:
  // Rows the menu shows at most; later deliveries are left out.
  static constexpr std::size_t kMaximumRows = 8;
  // Package items a row's "Show Package" submenu lists at most; "Next" and "Previous" reach
  // every package. A count from a damaged record must not make a menu of millions of items.
  static constexpr std::size_t kMaximumPackageItems = 50;

  // A chosen item: its command, the delivery's uuid for the commands of a row (absent for the
  // companion's own commands) and the package it concerns (for ShowPackage the one to show,
  // otherwise the row's selected one; 0 for the companion's own commands).
  using CommandHandler = std::function<void(
      MenuCommand command, const std::optional<std::string>& uuid, std::size_t package)>;

  // Serves the menu at the object path on the process's shared session-bus connection (the one
  // g_bus_get() answers). The handler is called on the main thread while this object lives; it
  // may change or destroy the menu.
  QBYDeliveriesMenu(const std::string& objectPath, CommandHandler handler);
  ~QBYDeliveriesMenu();
  QBYDeliveriesMenu(const QBYDeliveriesMenu&) = delete;
  QBYDeliveriesMenu& operator=(const QBYDeliveriesMenu&) = delete;

  const std::string& objectPath() const;

  void setDeliveries(std::vector<MenuDelivery> deliveries);
  // Shown, disabled, in place of the rows while there are none; may hold a line break.
  void setEmptyText(const std::string& text);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace porvane
