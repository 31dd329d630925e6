#include "QBYDeliveriesMenu.h"

#include <gio/gio.h>
#include <libdbusmenu-glib/client.h>
#include <libdbusmenu-glib/menuitem.h>
#include <libdbusmenu-glib/server.h>

#include <algorithm>
#include <map>
#include <utility>

#include "platform/Format.h"
#include "platform/GLibPtr.h"
#include "platform/Localization.h"

namespace porvane {

namespace {

using MenuitemPtr = qby::GObjectPtr<DbusmenuMenuitem>;

std::string validUTF8(std::string_view text) {
  if (g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr))
    return std::string(text);
  qby::GCharPtr valid(g_utf8_make_valid(text.data(), static_cast<gssize>(text.size())));
  return valid ? std::string(valid.get()) : std::string();
}

// The browser a web page opens in, for "Open in %@"; "Open in Browser" when the desktop names
// none.
std::string browserLabel() {
  auto browser = qby::GObjectPtr<GAppInfo>::adopt(g_app_info_get_default_for_uri_scheme("https"));
  const char* name = browser ? g_app_info_get_display_name(browser.get()) : nullptr;
  if (!name || !*name) return menuLabel(QBYLocalizedString("Open in Browser"));
  return menuLabel(qby::format(QBYLocalizedString("Open in %@"), std::string(name)));
}

void setLabel(DbusmenuMenuitem* item, const std::string& label) {
  dbusmenu_menuitem_property_set(item, DBUSMENU_MENUITEM_PROP_LABEL, label.c_str());
}

void setVisible(DbusmenuMenuitem* item, bool visible) {
  dbusmenu_menuitem_property_set_bool(item, DBUSMENU_MENUITEM_PROP_VISIBLE, visible);
}

void makeSubmenu(DbusmenuMenuitem* item) {
  dbusmenu_menuitem_property_set(item, DBUSMENU_MENUITEM_PROP_CHILD_DISPLAY,
                                 DBUSMENU_MENUITEM_CHILD_DISPLAY_SUBMENU);
}

MenuitemPtr makeSeparator() {
  auto item = MenuitemPtr::adopt(dbusmenu_menuitem_new());
  dbusmenu_menuitem_property_set(item.get(), DBUSMENU_MENUITEM_PROP_TYPE,
                                 DBUSMENU_CLIENT_TYPES_SEPARATOR);
  return item;
}

// A line of text in the menu that cannot be chosen.
MenuitemPtr makeTextLine() {
  auto item = MenuitemPtr::adopt(dbusmenu_menuitem_new());
  dbusmenu_menuitem_property_set_bool(item.get(), DBUSMENU_MENUITEM_PROP_ENABLED, FALSE);
  return item;
}

std::string rowLabel(const MenuDelivery& delivery) {
  if (delivery.days.empty()) return menuLabel(delivery.title);
  return menuLabel(qby::format(QBYLocalizedString("%@ — %@"), delivery.title, delivery.days));
}

void disconnectTree(DbusmenuMenuitem* item, gpointer data) {
  g_signal_handlers_disconnect_by_data(item, data);
  for (GList* child = dbusmenu_menuitem_get_children(item); child; child = child->next)
    disconnectTree(static_cast<DbusmenuMenuitem*>(child->data), data);
}

}  // namespace

std::string displayText(std::string_view text, bool keepLineBreaks) {
  const std::string valid = validUTF8(text);
  std::string label;
  label.reserve(valid.size());
  for (std::size_t i = 0; i < valid.size(); ++i) {
    const auto byte = static_cast<unsigned char>(valid[i]);
    if (byte == '\n' && keepLineBreaks) {
      label += '\n';
    } else if (byte < 0x20 || byte == 0x7F) {
      label += ' ';
    } else if (byte == 0xC2 && i + 1 < valid.size() &&
               static_cast<unsigned char>(valid[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(valid[i + 1]) <= 0x9F) {
      // U+0080 to U+009F, the C1 controls (NEL among them breaks a line too).
      label += ' ';
      ++i;
    } else {
      label += static_cast<char>(byte);
    }
  }
  return label;
}

std::string menuLabel(std::string_view text, bool keepLineBreaks) {
  const std::string plain = displayText(text, keepLineBreaks);
  std::string label;
  label.reserve(plain.size());
  for (const char c : plain) {
    if (c == '_') label += '_';
    label += c;
  }
  return label;
}

struct QBYDeliveriesMenu::Impl {
  enum class PackageStep { Selected, Index, Next, Previous };
  struct Action {
    MenuCommand command;
    std::optional<std::size_t> row;  // absent for the companion's own commands
    PackageStep step = PackageStep::Selected;
    std::size_t package = 0;
  };
  // One of the companion's own commands, which belong to no row.
  static Action ownCommand(MenuCommand command) {
    return Action{command, std::nullopt, PackageStep::Selected, 0};
  }

  // One delivery's submenu. Items keep their ids while the row shows other deliveries.
  struct Row {
    MenuitemPtr item, status, deliver, openInPorvane, openInBrowser, showPackage, refresh, archive;
    MenuitemPtr packageSeparator, next, previous;
    std::vector<MenuitemPtr> packages;
    MenuDelivery delivery;
  };

  Impl(std::string path, CommandHandler commandHandler)
      : objectPath(std::move(path)),
        handler(std::move(commandHandler)),
        server(qby::GObjectPtr<DbusmenuServer>::adopt(dbusmenu_server_new(objectPath.c_str()))),
        root(MenuitemPtr::adopt(dbusmenu_menuitem_new_with_id(0))) {
    empty = makeTextLine();
    setLabel(empty.get(), menuLabel(QBYLocalizedString("You do not have\nany deliveries"), true));
    dbusmenu_menuitem_child_append(root.get(), empty.get());
    separator = makeSeparator();
    dbusmenu_menuitem_child_append(root.get(), separator.get());
    updateNow = appendItem(root.get(), QBYLocalizedString("Update Now"),
                           ownCommand(MenuCommand::UpdateNow));
    addDelivery = appendItem(root.get(), QBYLocalizedString("Add Delivery…"),
                             ownCommand(MenuCommand::AddDelivery));
    openPorvane = appendItem(root.get(), QBYLocalizedString("Open Porvane"),
                             ownCommand(MenuCommand::OpenPorvane));
    preferences = appendItem(root.get(), QBYLocalizedString("Preferences…"),
                             ownCommand(MenuCommand::Preferences));
    quit = appendItem(root.get(), QBYLocalizedString("Quit"), ownCommand(MenuCommand::Quit));
    dbusmenu_server_set_root(server.get(), root.get());
  }

  ~Impl() {
    // The server may still hold items (and deliver a late click) after this object is gone.
    disconnectTree(root.get(), this);
    server.reset();
  }

  // A new child of the parent at the position (the end when absent) whose activation is the
  // action.
  MenuitemPtr addItem(DbusmenuMenuitem* parent, const std::string& label,
                      std::optional<Action> action, std::optional<guint> position = {}) {
    auto item = MenuitemPtr::adopt(dbusmenu_menuitem_new());
    setLabel(item.get(), menuLabel(label));
    if (action) {
      actions.emplace(dbusmenu_menuitem_get_id(item.get()), *action);
      g_signal_connect(item.get(), DBUSMENU_MENUITEM_SIGNAL_ITEM_ACTIVATED,
                       G_CALLBACK(&Impl::itemActivated), this);
    }
    if (position)
      dbusmenu_menuitem_child_add_position(parent, item.get(), *position);
    else
      dbusmenu_menuitem_child_append(parent, item.get());
    return item;
  }
  MenuitemPtr appendItem(DbusmenuMenuitem* parent, const std::string& label, Action action) {
    return addItem(parent, label, action);
  }

  // Takes the item and its children out of the parent and forgets their actions.
  void removeItem(DbusmenuMenuitem* parent, DbusmenuMenuitem* item) {
    forgetActions(item);
    disconnectTree(item, this);
    dbusmenu_menuitem_child_delete(parent, item);
  }
  void forgetActions(DbusmenuMenuitem* item) {
    actions.erase(dbusmenu_menuitem_get_id(item));
    for (GList* child = dbusmenu_menuitem_get_children(item); child; child = child->next)
      forgetActions(static_cast<DbusmenuMenuitem*>(child->data));
  }

  std::unique_ptr<Row> makeRow(std::size_t index) {
    auto row = std::make_unique<Row>();
    row->item = addItem(root.get(), "", std::nullopt, static_cast<guint>(index));
    DbusmenuMenuitem* menu = row->item.get();
    makeSubmenu(menu);
    row->status = makeTextLine();
    dbusmenu_menuitem_child_append(menu, row->status.get());
    row->deliver = makeTextLine();
    dbusmenu_menuitem_child_append(menu, row->deliver.get());
    row->openInPorvane = appendItem(menu, QBYLocalizedString("Open in Porvane"),
                                    {MenuCommand::OpenInPorvane, index});
    row->openInBrowser = addItem(menu, "", Action{MenuCommand::OpenTrackingPage, index});
    row->showPackage = addItem(menu, QBYLocalizedString("Show Package"), std::nullopt);
    makeSubmenu(row->showPackage.get());
    row->packageSeparator = makeSeparator();
    dbusmenu_menuitem_child_append(row->showPackage.get(), row->packageSeparator.get());
    row->next = appendItem(row->showPackage.get(), QBYLocalizedString("Next"),
                           {MenuCommand::ShowPackage, index, PackageStep::Next});
    row->previous = appendItem(row->showPackage.get(), QBYLocalizedString("Previous"),
                               {MenuCommand::ShowPackage, index, PackageStep::Previous});
    row->refresh = appendItem(menu, QBYLocalizedString("Refresh"), {MenuCommand::Refresh, index});
    row->archive = appendItem(menu, QBYLocalizedString("Archive"), {MenuCommand::Archive, index});
    return row;
  }

  void updateRow(Row& row, std::size_t index, MenuDelivery delivery) {
    setLabel(row.item.get(), rowLabel(delivery));
    setLabel(row.status.get(), menuLabel(delivery.status));
    setVisible(row.status.get(), !delivery.status.empty());
    setLabel(row.deliver.get(), menuLabel(delivery.deliver));
    setVisible(row.deliver.get(), !delivery.deliver.empty());
    setLabel(row.openInBrowser.get(), openInBrowserLabel);
    setVisible(row.openInBrowser.get(), delivery.hasTrackingPage);
    // One package needs no choice between packages.
    const std::size_t packages =
        delivery.packageCount >= 2 ? std::min(delivery.packageCount, kMaximumPackageItems) : 0;
    setVisible(row.showPackage.get(), packages > 0);
    while (row.packages.size() > packages) {
      removeItem(row.showPackage.get(), row.packages.back().get());
      row.packages.pop_back();
    }
    while (row.packages.size() < packages) {
      const std::size_t package = row.packages.size();
      auto item =
          addItem(row.showPackage.get(), qby::format(QBYLocalizedString("Package %d"), package + 1),
                  Action{MenuCommand::ShowPackage, index, PackageStep::Index, package},
                  static_cast<guint>(package));
      dbusmenu_menuitem_property_set(item.get(), DBUSMENU_MENUITEM_PROP_TOGGLE_TYPE,
                                     DBUSMENU_MENUITEM_TOGGLE_RADIO);
      row.packages.push_back(std::move(item));
    }
    for (std::size_t package = 0; package < row.packages.size(); ++package) {
      dbusmenu_menuitem_property_set_int(
          row.packages[package].get(), DBUSMENU_MENUITEM_PROP_TOGGLE_STATE,
          package == delivery.selectedPackage ? DBUSMENU_MENUITEM_TOGGLE_STATE_CHECKED
                                              : DBUSMENU_MENUITEM_TOGGLE_STATE_UNCHECKED);
    }
    row.delivery = std::move(delivery);
  }

  void setDeliveries(std::vector<MenuDelivery> deliveries) {
    if (deliveries.size() > kMaximumRows) deliveries.resize(kMaximumRows);
    // The companion runs for days: the user may have chosen another browser since.
    openInBrowserLabel = browserLabel();
    while (rows.size() > deliveries.size()) {
      removeItem(root.get(), rows.back()->item.get());
      rows.pop_back();
    }
    while (rows.size() < deliveries.size()) rows.push_back(makeRow(rows.size()));
    for (std::size_t index = 0; index < rows.size(); ++index)
      updateRow(*rows[index], index, std::move(deliveries[index]));
    setVisible(empty.get(), rows.empty());
  }

  static void itemActivated(DbusmenuMenuitem* item, guint /*timestamp*/, gpointer data) {
    static_cast<Impl*>(data)->activated(dbusmenu_menuitem_get_id(item));
  }

  void activated(int id) {
    const auto found = actions.find(id);
    if (found == actions.end()) return;
    const Action action = found->second;
    std::optional<std::string> uuid;
    std::size_t package = 0;
    if (action.row) {
      if (*action.row >= rows.size()) return;
      const MenuDelivery& delivery = rows[*action.row]->delivery;
      uuid = delivery.uuid;
      const std::size_t count = std::max<std::size_t>(delivery.packageCount, 1);
      const std::size_t selected = std::min(delivery.selectedPackage, count - 1);
      switch (action.step) {
        case PackageStep::Selected:
          package = selected;
          break;
        case PackageStep::Index:
          package = action.package;
          break;
        case PackageStep::Next:
          package = (selected + 1) % count;
          break;
        case PackageStep::Previous:
          package = (selected + count - 1) % count;
          break;
      }
    }
    // The handler may change the menu, which would free the action and the row read above.
    const CommandHandler call = handler;
    call(action.command, uuid, package);
  }

  std::string objectPath;
  CommandHandler handler;
  std::string openInBrowserLabel;
  qby::GObjectPtr<DbusmenuServer> server;
  MenuitemPtr root, empty, separator, updateNow, addDelivery, openPorvane, preferences, quit;
  std::vector<std::unique_ptr<Row>> rows;
  std::map<int, Action> actions;  // by item id
};

QBYDeliveriesMenu::QBYDeliveriesMenu(const std::string& objectPath, CommandHandler handler)
    : impl_(std::make_unique<Impl>(objectPath, std::move(handler))) {}

QBYDeliveriesMenu::~QBYDeliveriesMenu() = default;

const std::string& QBYDeliveriesMenu::objectPath() const {
  return impl_->objectPath;
}

void QBYDeliveriesMenu::setDeliveries(std::vector<MenuDelivery> deliveries) {
  impl_->setDeliveries(std::move(deliveries));
}

void QBYDeliveriesMenu::setEmptyText(const std::string& text) {
  setLabel(impl_->empty.get(), menuLabel(text, true));
}

}  // namespace porvane
