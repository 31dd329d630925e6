// The panel icon as a desktop panel sees it: over the test session's private bus, through a
// fake StatusNotifierWatcher and a host connection that reads the item and its menu and clicks
// as a panel does.
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "FakeStatusNotifierWatcher.h"
#include "QBYStatusItem.h"
#include "platform/GLibPtr.h"
#include "support/TestSupport.h"

namespace porvane {
namespace {

using qby::GErrorPtr;
using qby::GObjectPtr;
using qby::GVariantPtr;
using qby::test::FakeStatusNotifierWatcher;

constexpr const char* kItemInterface = "org.kde.StatusNotifierItem";
constexpr const char* kMenuInterface = "com.canonical.dbusmenu";
constexpr const char* kMissingWatcherLine = "No StatusNotifierWatcher on the session bus";

// Iterates the main context until done() holds. The limit only keeps a broken case from
// hanging the run; no case depends on how long anything takes.
bool spinUntil(const std::function<bool()>& done) {
  bool expired = false;
  const guint guard = g_timeout_add_seconds(
      20,
      [](gpointer flag) {
        *static_cast<bool*>(flag) = true;
        return G_SOURCE_REMOVE;
      },
      &expired);
  while (!done() && !expired) g_main_context_iteration(nullptr, TRUE);
  if (!expired) g_source_remove(guard);
  return done();
}

class RecordingDelegate : public QBYStatusItemDelegate {
 public:
  struct Choice {
    MenuCommand command;
    std::optional<std::string> uuid;
    std::size_t package;
  };
  void statusItemActivated() override { ++activations; }
  void menuCommandChosen(MenuCommand command, const std::optional<std::string>& uuid,
                         std::size_t package) override {
    choices.push_back({command, uuid, package});
  }
  int activations = 0;
  std::vector<Choice> choices;
};

// One item of a served menu as GetLayout describes it; absent properties have the protocol's
// defaults.
struct MenuNode {
  int id = 0;
  std::string label;
  std::string type;
  std::string childrenDisplay;
  std::string toggleType;
  int toggleState = -1;
  bool enabled = true;
  bool visible = true;
  std::vector<MenuNode> children;

  // The visible children, as a panel shows them.
  std::vector<const MenuNode*> shown() const {
    std::vector<const MenuNode*> result;
    for (const MenuNode& child : children)
      if (child.visible) result.push_back(&child);
    return result;
  }
  std::vector<std::string> shownLabels() const {
    std::vector<std::string> labels;
    for (const MenuNode* child : shown())
      labels.push_back(child->type == "separator" ? "---" : child->label);
    return labels;
  }
  const MenuNode* find(const std::string& wanted) const {
    for (const MenuNode& child : children)
      if (child.label == wanted) return &child;
    return nullptr;
  }
};

MenuNode parseLayout(GVariant* layout) {
  MenuNode node;
  GVariant* properties = nullptr;
  GVariant* children = nullptr;
  g_variant_get(layout, "(i@a{sv}@av)", &node.id, &properties, &children);
  GVariantPtr ownedProperties(properties);
  GVariantPtr ownedChildren(children);
  const char* text = nullptr;
  if (g_variant_lookup(properties, "label", "&s", &text)) node.label = text;
  if (g_variant_lookup(properties, "type", "&s", &text)) node.type = text;
  if (g_variant_lookup(properties, "children-display", "&s", &text)) node.childrenDisplay = text;
  if (g_variant_lookup(properties, "toggle-type", "&s", &text)) node.toggleType = text;
  gboolean flag = TRUE;
  if (g_variant_lookup(properties, "enabled", "b", &flag)) node.enabled = flag;
  if (g_variant_lookup(properties, "visible", "b", &flag)) node.visible = flag;
  gint32 state = -1;
  if (g_variant_lookup(properties, "toggle-state", "i", &state)) node.toggleState = state;
  const gsize count = g_variant_n_children(children);
  for (gsize i = 0; i < count; ++i) {
    GVariantPtr boxed(g_variant_get_child_value(children, i));
    GVariantPtr child(g_variant_get_variant(boxed.get()));
    node.children.push_back(parseLayout(child.get()));
  }
  return node;
}

// A panel: a connection of its own to the bus that calls the item and its menu and counts the
// signals they send.
class Host {
 public:
  Host() {
    GError* rawError = nullptr;
    qby::GCharPtr address(g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &rawError));
    GErrorPtr addressError(rawError);
    rawError = nullptr;
    if (address) {
      connection_ = GObjectPtr<GDBusConnection>::adopt(g_dbus_connection_new_for_address_sync(
          address.get(),
          static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                            G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
          nullptr, nullptr, &rawError));
    }
    GErrorPtr connectError(rawError);
    if (connection_) {
      subscription_ = g_dbus_connection_signal_subscribe(
          connection_.get(), nullptr, nullptr, nullptr, nullptr, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
          &Host::signalReceived, this, nullptr);
    }
  }
  ~Host() {
    if (subscription_ != 0) g_dbus_connection_signal_unsubscribe(connection_.get(), subscription_);
    if (connection_) g_dbus_connection_close_sync(connection_.get(), nullptr, nullptr);
  }
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  bool connected() const { return static_cast<bool>(connection_); }

  // Calls and waits for the answer while the main context runs, since the item answers on it.
  GVariantPtr call(const std::string& destination, const std::string& path, const char* interface,
                   const char* method, GVariant* parameters, std::string* error = nullptr) {
    struct Pending {
      bool done = false;
      GVariantPtr reply;
      std::string error;
    } pending;
    g_dbus_connection_call(
        connection_.get(), destination.c_str(), path.c_str(), interface, method, parameters,
        nullptr, G_DBUS_CALL_FLAGS_NONE, 10000, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
          auto* pending = static_cast<Pending*>(data);
          GError* rawError = nullptr;
          pending->reply.reset(
              g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &rawError));
          GErrorPtr callError(rawError);
          if (callError) pending->error = callError->message;
          pending->done = true;
        },
        &pending);
    spinUntil([&] { return pending.done; });
    if (error) *error = pending.error;
    return std::move(pending.reply);
  }

  GVariantPtr property(const std::string& destination, const std::string& path,
                       const char* interface, const char* name) {
    GVariantPtr reply = call(destination, path, "org.freedesktop.DBus.Properties", "Get",
                             g_variant_new("(ss)", interface, name));
    if (!reply) return nullptr;
    GVariant* value = nullptr;
    g_variant_get(reply.get(), "(v)", &value);
    return GVariantPtr(value);
  }

  std::string stringProperty(const std::string& destination, const char* name) {
    GVariantPtr value = property(destination, "/StatusNotifierItem", kItemInterface, name);
    if (!value || !g_variant_is_of_type(value.get(), G_VARIANT_TYPE_STRING)) return "(none)";
    return g_variant_get_string(value.get(), nullptr);
  }

  std::string menuPath(const std::string& item) {
    GVariantPtr value = property(item, "/StatusNotifierItem", kItemInterface, "Menu");
    if (!value || !g_variant_is_of_type(value.get(), G_VARIANT_TYPE_OBJECT_PATH)) return "";
    return g_variant_get_string(value.get(), nullptr);
  }

  // The whole menu as the item serves it; retried while the menu is still being exported.
  std::optional<MenuNode> layout(const std::string& item) {
    const std::string path = menuPath(item);
    if (path.empty()) return std::nullopt;
    std::optional<MenuNode> menu;
    spinUntil([&] {
      GVariantPtr reply = call(item, path, kMenuInterface, "GetLayout",
                               g_variant_new("(ii@as)", 0, -1, g_variant_new_strv(nullptr, 0)));
      if (!reply) return false;
      guint32 revision = 0;
      GVariant* tree = nullptr;
      g_variant_get(reply.get(), "(u@(ia{sv}av))", &revision, &tree);
      GVariantPtr ownedTree(tree);
      menu = parseLayout(tree);
      return true;
    });
    return menu;
  }

  // Clicks the menu item as a panel does; the error text of a refused click.
  std::string click(const std::string& item, int id) {
    std::string error;
    call(item, menuPath(item), kMenuInterface, "Event",
         g_variant_new("(isvu)", id, "clicked", g_variant_new_int32(0), 0u), &error);
    return error;
  }

  // Takes a bus name as another program would; the bus daemon answers by itself.
  bool requestName(const std::string& name) {
    GVariantPtr reply(g_dbus_connection_call_sync(
        connection_.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "RequestName", g_variant_new("(su)", name.c_str(), 4u /* do not queue */),
        G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr));
    guint32 result = 0;
    if (reply) g_variant_get(reply.get(), "(u)", &result);
    return result == 1;
  }

  int signalCount(const std::string& member) const {
    const auto found = signals_.find(member);
    return found == signals_.end() ? 0 : found->second;
  }

 private:
  static void signalReceived(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                             const gchar* member, GVariant*, gpointer data) {
    ++static_cast<Host*>(data)->signals_[member];
  }

  GObjectPtr<GDBusConnection> connection_;
  guint subscription_ = 0;
  std::map<std::string, int> signals_;
};

bool busNameHasOwner(GDBusConnection* bus, const char* name) {
  GVariantPtr reply(g_dbus_connection_call_sync(
      bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
      g_variant_new("(s)", name), G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr,
      nullptr));
  gboolean owned = FALSE;
  if (reply) g_variant_get(reply.get(), "(b)", &owned);
  return owned;
}

MenuDelivery delivery(std::string uuid, std::string title) {
  MenuDelivery result;
  result.uuid = std::move(uuid);
  result.title = std::move(title);
  return result;
}

class StatusItemTest : public testing::Test {
 protected:
  void SetUp() override {
    if (!std::getenv("DBUS_SESSION_BUS_ADDRESS")) GTEST_SKIP() << "no session bus";
    bus_ = GObjectPtr<GDBusConnection>::adopt(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr));
    ASSERT_TRUE(bus_);
    // A watcher already on the bus is a desktop's: these cases need the private bus of a test
    // session (dbus-run-session), never a real panel.
    if (busNameHasOwner(bus_.get(), FakeStatusNotifierWatcher::kName))
      GTEST_SKIP() << "a StatusNotifierWatcher runs on this bus; run the tests in dbus-run-session";
    host_ = std::make_unique<Host>();
    ASSERT_TRUE(host_->connected());
    itemName_ = "org.kde.StatusNotifierItem-" + std::to_string(getpid()) + "-1";
  }

  // A visible item that the running watcher accepted.
  std::unique_ptr<QBYStatusItem> registeredItem() {
    std::string error;
    if (!watcher_.running()) {
      EXPECT_TRUE(watcher_.start(&error)) << error;
    }
    auto item = std::make_unique<QBYStatusItem>(bus_.get(), delegate_);
    item->setVisible(true);
    EXPECT_TRUE(spinUntil([&] { return item->registeredWithWatcher(); }));
    return item;
  }

  MenuNode menu() {
    std::optional<MenuNode> layout = host_->layout(itemName_);
    EXPECT_TRUE(layout) << "GetLayout failed";
    return layout.value_or(MenuNode{});
  }

  GObjectPtr<GDBusConnection> bus_;
  std::unique_ptr<Host> host_;
  RecordingDelegate delegate_;
  FakeStatusNotifierWatcher watcher_;
  std::string itemName_;
};

// --- Registration ------------------------------------------------------------------------------

TEST_F(StatusItemTest, RegistersWithARunningWatcherUnderItsWellKnownName) {
  auto item = registeredItem();
  EXPECT_TRUE(item->visible());
  ASSERT_EQ(watcher_.registrations().size(), 1u);
  EXPECT_EQ(watcher_.registrations()[0].service, itemName_);
  EXPECT_EQ(watcher_.registrations()[0].sender, g_dbus_connection_get_unique_name(bus_.get()));
  EXPECT_EQ(watcher_.registeredItems(), std::vector<std::string>{itemName_});
  EXPECT_TRUE(busNameHasOwner(bus_.get(), itemName_.c_str()));
}

TEST_F(StatusItemTest, WithoutAWatcherSaysSoOnceAndRegistersWithEachWatcherThatAppears) {
  qby::test::LogCapture log;
  QBYStatusItem item(bus_.get(), delegate_);
  item.setVisible(true);
  ASSERT_TRUE(spinUntil([&] { return !log.linesContaining(kMissingWatcherLine).empty(); }));
  EXPECT_FALSE(item.registeredWithWatcher());

  std::string error;
  ASSERT_TRUE(watcher_.start(&error)) << error;
  ASSERT_TRUE(spinUntil([&] { return item.registeredWithWatcher(); }));
  ASSERT_EQ(watcher_.registrations().size(), 1u);
  EXPECT_EQ(watcher_.registrations()[0].service, itemName_);

  // The desktop's panel restarts: the new watcher knows nothing of the old one's items.
  watcher_.stop();
  ASSERT_TRUE(spinUntil([&] { return !item.registeredWithWatcher(); }));
  ASSERT_TRUE(watcher_.start(&error)) << error;
  ASSERT_TRUE(spinUntil([&] { return item.registeredWithWatcher(); }));
  ASSERT_EQ(watcher_.registrations().size(), 1u);
  EXPECT_EQ(watcher_.registeredItems(), std::vector<std::string>{itemName_});

  EXPECT_EQ(log.linesContaining(kMissingWatcherLine).size(), 1u);
}

TEST_F(StatusItemTest, HidingWithdrawsTheItemAndShowingRegistersItAgain) {
  auto item = registeredItem();
  item->setVisible(false);
  EXPECT_FALSE(item->visible());
  EXPECT_FALSE(item->registeredWithWatcher());
  // The watcher drops the item when its name goes, which is what makes the panel drop it.
  ASSERT_TRUE(spinUntil([&] { return !watcher_.unregistered().empty(); }));
  EXPECT_EQ(watcher_.unregistered(), std::vector<std::string>{itemName_});
  EXPECT_TRUE(watcher_.registeredItems().empty());
  std::string error;
  host_->call(itemName_, "/StatusNotifierItem", kItemInterface, "Activate",
              g_variant_new("(ii)", 0, 0), &error);
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(delegate_.activations, 0);

  item->setVisible(true);
  ASSERT_TRUE(spinUntil([&] { return item->registeredWithWatcher(); }));
  EXPECT_EQ(watcher_.registrations().size(), 2u);
  EXPECT_EQ(watcher_.registeredItems(), std::vector<std::string>{itemName_});
}

TEST_F(StatusItemTest, AnItemDestroyedWhileRegisteringLeavesNothingBehind) {
  std::string error;
  ASSERT_TRUE(watcher_.start(&error)) << error;
  {
    QBYStatusItem item(bus_.get(), delegate_);
    item.setVisible(true);
  }
  // Whatever answers were under way arrive for an item that is gone.
  auto item = registeredItem();
  EXPECT_EQ(watcher_.registeredItems(), std::vector<std::string>{itemName_});
}

TEST_F(StatusItemTest, AnItemWhoseNameIsTakenRegistersUnderItsConnectionsName) {
  ASSERT_TRUE(host_->requestName(itemName_));
  qby::test::LogCapture log;
  auto item = registeredItem();
  const std::string unique = g_dbus_connection_get_unique_name(bus_.get());
  ASSERT_EQ(watcher_.registrations().size(), 1u);
  EXPECT_EQ(watcher_.registrations()[0].service, unique);
  EXPECT_EQ(log.linesContaining("could not keep the bus name").size(), 1u);
  // The panel finds the item and its menu under the name it registered with.
  item->setDeliveries({delivery("u1", "Shoes")}, "");
  std::optional<MenuNode> layout = host_->layout(unique);
  ASSERT_TRUE(layout);
  EXPECT_EQ(layout->shownLabels()[0], "Shoes");
}

// --- What a panel reads and calls ------------------------------------------------------------

TEST_F(StatusItemTest, PanelsReadTheItemsPropertiesAndAreToldOfChanges) {
  auto item = registeredItem();
  EXPECT_EQ(host_->stringProperty(itemName_, "Category"), "ApplicationStatus");
  EXPECT_EQ(host_->stringProperty(itemName_, "Title"), "Porvane");
  EXPECT_EQ(host_->stringProperty(itemName_, "Status"), "Active");
  EXPECT_EQ(host_->stringProperty(itemName_, "IconName"), "porvane-panel-symbolic");
  EXPECT_FALSE(host_->stringProperty(itemName_, "Id").empty());
  EXPECT_EQ(host_->menuPath(itemName_), "/MenuBar");

  auto isMenu = [&] {
    GVariantPtr value =
        host_->property(itemName_, "/StatusNotifierItem", kItemInterface, "ItemIsMenu");
    return value && g_variant_get_boolean(value.get());
  };
  EXPECT_FALSE(isMenu());
  item->setItemIsMenu(true);
  EXPECT_TRUE(isMenu());
  ASSERT_TRUE(spinUntil([&] { return host_->signalCount("PropertiesChanged") >= 1; }));

  item->setDeliveries({}, "Updated just now");
  ASSERT_TRUE(spinUntil([&] { return host_->signalCount("NewToolTip") == 1; }));
  GVariantPtr toolTip =
      host_->property(itemName_, "/StatusNotifierItem", kItemInterface, "ToolTip");
  ASSERT_TRUE(toolTip);
  const char* title = nullptr;
  const char* text = nullptr;
  g_variant_get(toolTip.get(), "(&s@a(iiay)&s&s)", nullptr, nullptr, &title, &text);
  EXPECT_STREQ(title, "Porvane");
  EXPECT_STREQ(text, "Updated just now");

  // The same text again changes nothing a panel would redraw.
  item->setDeliveries({}, "Updated just now");
  item->setDeliveries({delivery("u1", "Shoes")}, "Updated just now");
  menu();
  EXPECT_EQ(host_->signalCount("NewToolTip"), 1);
}

TEST_F(StatusItemTest, APrimaryClickReachesTheDelegateAndOtherClicksAreAnswered) {
  auto item = registeredItem();
  std::string error;
  host_->call(itemName_, "/StatusNotifierItem", kItemInterface, "Activate",
              g_variant_new("(ii)", 10, 20), &error);
  EXPECT_EQ(error, "");
  EXPECT_EQ(delegate_.activations, 1);
  host_->call(itemName_, "/StatusNotifierItem", kItemInterface, "SecondaryActivate",
              g_variant_new("(ii)", 10, 20), &error);
  EXPECT_EQ(error, "");
  host_->call(itemName_, "/StatusNotifierItem", kItemInterface, "ContextMenu",
              g_variant_new("(ii)", 10, 20), &error);
  EXPECT_EQ(error, "");
  host_->call(itemName_, "/StatusNotifierItem", kItemInterface, "Scroll",
              g_variant_new("(is)", 3, "vertical"), &error);
  EXPECT_EQ(error, "");
  EXPECT_EQ(delegate_.activations, 1);
  EXPECT_TRUE(delegate_.choices.empty());
}

// --- The menu ----------------------------------------------------------------------------------

const std::vector<std::string> kFixedCommands = {"---",          "Update Now",   "Add Delivery…",
                                                 "Open Porvane", "Preferences…", "Quit"};

TEST_F(StatusItemTest, EachDeliveryIsASubmenuAboveTheCompanionsCommands) {
  auto item = registeredItem();
  MenuDelivery shoes = delivery("u1", "Shoes");
  shoes.status = "In transit";
  shoes.deliver = "Deliver on Friday";
  shoes.days = "2 days";
  shoes.hasTrackingPage = true;
  MenuDelivery books = delivery("u2", "Books");
  item->setDeliveries({shoes, books}, "");

  const MenuNode root = menu();
  EXPECT_EQ(root.id, 0);
  std::vector<std::string> expected = {"Shoes — 2 days", "Books"};
  expected.insert(expected.end(), kFixedCommands.begin(), kFixedCommands.end());
  EXPECT_EQ(root.shownLabels(), expected);

  const MenuNode* row = root.find("Shoes — 2 days");
  ASSERT_TRUE(row);
  EXPECT_EQ(row->childrenDisplay, "submenu");
  const std::vector<const MenuNode*> lines = row->shown();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0]->label, "In transit");
  EXPECT_FALSE(lines[0]->enabled);
  EXPECT_EQ(lines[1]->label, "Deliver on Friday");
  EXPECT_FALSE(lines[1]->enabled);
  const std::vector<std::string> rowLabels = row->shownLabels();
  ASSERT_EQ(rowLabels.size(), 6u);
  EXPECT_EQ(rowLabels[2], "Open in Porvane");
  EXPECT_EQ(rowLabels[3].rfind("Open in ", 0), 0u) << rowLabels[3];
  EXPECT_NE(rowLabels[3], "Open in Porvane");
  EXPECT_EQ(std::vector<std::string>(rowLabels.begin() + 4, rowLabels.end()),
            (std::vector<std::string>{"Refresh", "Archive"}));

  // Blank lines, no tracking page and a single package leave their items out.
  const MenuNode* plain = root.find("Books");
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->shownLabels(),
            (std::vector<std::string>{"Open in Porvane", "Refresh", "Archive"}));
}

TEST_F(StatusItemTest, TheTrackingPageItemNamesTheDesktopsDefaultBrowser) {
  // The test main points the XDG folders into the test home.
  const char* dataHome = std::getenv("XDG_DATA_HOME");
  const char* configHome = std::getenv("XDG_CONFIG_HOME");
  ASSERT_TRUE(dataHome && configHome);
  qby::test::writeFile(
      std::filesystem::path(dataHome) / "applications" / "porvane-test-web.desktop",
      "[Desktop Entry]\nType=Application\nName=Web_Surfer\nExec=/bin/true %u\n"
      "MimeType=x-scheme-handler/https;\n");
  qby::test::writeFile(std::filesystem::path(configHome) / "mimeapps.list",
                       "[Default Applications]\nx-scheme-handler/https=porvane-test-web.desktop\n");
  auto item = registeredItem();
  MenuDelivery parcel = delivery("u1", "Parcel");
  parcel.hasTrackingPage = true;
  // The desktop's application list may have been read before the files were written; it
  // follows them once their change is noticed.
  std::string label;
  EXPECT_TRUE(spinUntil([&] {
    item->setDeliveries({parcel}, "");
    const MenuNode root = menu();
    label = root.find("Parcel") ? root.find("Parcel")->shownLabels().at(1) : "";
    return label == "Open in Web__Surfer";
  })) << label;
}

TEST_F(StatusItemTest, TheMenuShowsAtMostEightDeliveries) {
  auto item = registeredItem();
  std::vector<MenuDelivery> many;
  for (int i = 1; i <= 20; ++i)
    many.push_back(delivery("u" + std::to_string(i), "D" + std::to_string(i)));
  item->setDeliveries(many, "");
  std::vector<std::string> expected = {"D1", "D2", "D3", "D4", "D5", "D6", "D7", "D8"};
  expected.insert(expected.end(), kFixedCommands.begin(), kFixedCommands.end());
  EXPECT_EQ(menu().shownLabels(), expected);

  item->setDeliveries(std::vector<MenuDelivery>(many.begin(), many.begin() + 8), "");
  EXPECT_EQ(menu().shownLabels(), expected);
}

TEST_F(StatusItemTest, AnEmptyListShowsTheEmptyTextThatCannotBeChosen) {
  auto item = registeredItem();
  std::vector<std::string> expected = {"You do not have\nany deliveries"};
  expected.insert(expected.end(), kFixedCommands.begin(), kFixedCommands.end());
  EXPECT_EQ(menu().shownLabels(), expected);
  EXPECT_FALSE(menu().shown()[0]->enabled);

  item->setDeliveries({delivery("u1", "Shoes")}, "");
  EXPECT_EQ(menu().shownLabels()[0], "Shoes");
  EXPECT_EQ(menu().shownLabels().size(), 1 + kFixedCommands.size());

  item->setEmptyText("Nothing_here");
  item->setDeliveries({}, "");
  const MenuNode root = menu();
  EXPECT_EQ(root.shownLabels()[0], "Nothing__here");
  EXPECT_FALSE(root.shown()[0]->enabled);
  // A click on the text, if a panel sends one at all, chooses nothing; the click after it does.
  host_->click(itemName_, root.shown()[0]->id);
  EXPECT_EQ(host_->click(itemName_, root.find("Quit")->id), "");
  ASSERT_TRUE(spinUntil([&] { return !delegate_.choices.empty(); }));
  ASSERT_EQ(delegate_.choices.size(), 1u);
  EXPECT_EQ(delegate_.choices[0].command, MenuCommand::Quit);
}

TEST_F(StatusItemTest, ChoosingAnItemTellsTheDelegateTheCommandDeliveryAndPackage) {
  auto item = registeredItem();
  MenuDelivery parcel = delivery("u-parcel", "Parcel");
  parcel.hasTrackingPage = true;
  parcel.packageCount = 3;
  parcel.selectedPackage = 2;
  item->setDeliveries({delivery("u-first", "First"), parcel}, "");
  const MenuNode root = menu();
  const MenuNode* row = root.find("Parcel");
  ASSERT_TRUE(row);
  const MenuNode* packages = row->find("Show Package");
  ASSERT_TRUE(packages);
  EXPECT_EQ(
      packages->shownLabels(),
      (std::vector<std::string>{"Package 1", "Package 2", "Package 3", "---", "Next", "Previous"}));
  EXPECT_EQ(packages->children[2].toggleType, "radio");
  EXPECT_EQ(packages->children[2].toggleState, 1);
  EXPECT_EQ(packages->children[0].toggleState, 0);

  struct Case {
    const MenuNode* node;
    MenuCommand command;
    std::optional<std::string> uuid;
    std::size_t package;
  };
  const std::vector<Case> cases = {
      {row->find("Open in Porvane"), MenuCommand::OpenInPorvane, "u-parcel", 2},
      {&row->children[3], MenuCommand::OpenTrackingPage, "u-parcel", 2},
      {row->find("Refresh"), MenuCommand::Refresh, "u-parcel", 2},
      {root.find("First") ? root.find("First")->find("Archive") : nullptr, MenuCommand::Archive,
       "u-first", 0},
      {packages->find("Package 2"), MenuCommand::ShowPackage, "u-parcel", 1},
      // From the last package the next is the first, and the previous of it the second.
      {packages->find("Next"), MenuCommand::ShowPackage, "u-parcel", 0},
      {packages->find("Previous"), MenuCommand::ShowPackage, "u-parcel", 1},
      {root.find("Update Now"), MenuCommand::UpdateNow, std::nullopt, 0},
      {root.find("Add Delivery…"), MenuCommand::AddDelivery, std::nullopt, 0},
      {root.find("Open Porvane"), MenuCommand::OpenPorvane, std::nullopt, 0},
      {root.find("Preferences…"), MenuCommand::Preferences, std::nullopt, 0},
      {root.find("Quit"), MenuCommand::Quit, std::nullopt, 0},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    ASSERT_TRUE(cases[i].node);
    ASSERT_EQ(host_->click(itemName_, cases[i].node->id), "");
    ASSERT_TRUE(spinUntil([&] { return delegate_.choices.size() == i + 1; }));
    EXPECT_EQ(delegate_.choices[i].command, cases[i].command);
    EXPECT_EQ(delegate_.choices[i].uuid, cases[i].uuid);
    EXPECT_EQ(delegate_.choices[i].package, cases[i].package);
  }
  EXPECT_EQ(delegate_.activations, 0);
}

TEST_F(StatusItemTest, AChangedListUpdatesTheServedMenuInPlace) {
  auto item = registeredItem();
  item->setDeliveries({delivery("u1", "One"), delivery("u2", "Two"), delivery("u3", "Three")}, "");
  const MenuNode before = menu();
  const int layouts = host_->signalCount("LayoutUpdated");
  const int properties = host_->signalCount("ItemsPropertiesUpdated");

  // A new title on a row that stays: the same item, relabelled.
  item->setDeliveries(
      {delivery("u1", "One"), delivery("u2b", "Two again"), delivery("u3", "Three")}, "");
  ASSERT_TRUE(spinUntil([&] { return host_->signalCount("ItemsPropertiesUpdated") > properties; }));
  MenuNode after = menu();
  ASSERT_TRUE(after.find("Two again"));
  EXPECT_EQ(after.find("Two again")->id, before.find("Two")->id);
  EXPECT_EQ(after.find("One")->id, before.find("One")->id);

  // Fewer rows: the layout changes and the panel is told.
  item->setDeliveries({delivery("u3", "Three")}, "");
  ASSERT_TRUE(spinUntil([&] { return host_->signalCount("LayoutUpdated") > layouts; }));
  after = menu();
  std::vector<std::string> expected = {"Three"};
  expected.insert(expected.end(), kFixedCommands.begin(), kFixedCommands.end());
  EXPECT_EQ(after.shownLabels(), expected);

  // A click on an item of a row that went chooses nothing; the row that stayed acts for the
  // delivery it shows now.
  host_->click(itemName_, before.find("Three")->find("Archive")->id);
  ASSERT_EQ(host_->click(itemName_, after.find("Three")->find("Archive")->id), "");
  ASSERT_TRUE(spinUntil([&] { return !delegate_.choices.empty(); }));
  ASSERT_EQ(delegate_.choices.size(), 1u);
  EXPECT_EQ(delegate_.choices[0].uuid, std::optional<std::string>("u3"));

  // More packages, then fewer: the package submenu follows.
  MenuDelivery three = delivery("u3", "Three");
  three.packageCount = 4;
  item->setDeliveries({three}, "");
  EXPECT_EQ(menu().find("Three")->find("Show Package")->shown().size(), 4u + 3u);
  three.packageCount = 2;
  three.selectedPackage = 1;
  item->setDeliveries({three}, "");
  const MenuNode fewer = menu();
  ASSERT_TRUE(fewer.find("Three"));
  const MenuNode* packages = fewer.find("Three")->find("Show Package");
  ASSERT_TRUE(packages);
  EXPECT_EQ(packages->shownLabels(),
            (std::vector<std::string>{"Package 1", "Package 2", "---", "Next", "Previous"}));
  EXPECT_EQ(packages->children[1].toggleState, 1);
}

TEST_F(StatusItemTest, AHugePackageCountListsAFewPackagesAndStillStepsThroughAll) {
  auto item = registeredItem();
  MenuDelivery damaged = delivery("u1", "Damaged");
  damaged.packageCount = 5'000'000;
  damaged.selectedPackage = 4'999'999;
  item->setDeliveries({damaged}, "");
  const MenuNode root = menu();
  ASSERT_TRUE(root.find("Damaged"));
  const MenuNode* packages = root.find("Damaged")->find("Show Package");
  ASSERT_TRUE(packages);
  EXPECT_EQ(packages->shown().size(), QBYDeliveriesMenu::kMaximumPackageItems + 3);
  ASSERT_TRUE(packages->find("Next"));
  ASSERT_TRUE(packages->find("Previous"));
  ASSERT_EQ(host_->click(itemName_, packages->find("Previous")->id), "");
  ASSERT_EQ(host_->click(itemName_, packages->find("Next")->id), "");
  ASSERT_TRUE(spinUntil([&] { return delegate_.choices.size() == 2; }));
  EXPECT_EQ(delegate_.choices[0].package, 4'999'998u);
  EXPECT_EQ(delegate_.choices[1].package, 0u);

  // A selection beyond the count (a record changed underneath) steps from the last package.
  damaged.packageCount = 3;
  damaged.selectedPackage = 7;
  item->setDeliveries({damaged}, "");
  const MenuNode fewer = menu();
  ASSERT_TRUE(fewer.find("Damaged"));
  const MenuNode* three = fewer.find("Damaged")->find("Show Package");
  ASSERT_TRUE(three && three->find("Next"));
  ASSERT_EQ(host_->click(itemName_, three->find("Next")->id), "");
  ASSERT_TRUE(spinUntil([&] { return delegate_.choices.size() == 3; }));
  EXPECT_EQ(delegate_.choices[2].package, 0u);
}

TEST_F(StatusItemTest, HostileTextsBecomeLiteralValidLabels) {
  auto item = registeredItem();
  MenuDelivery hostile = delivery("u1", "<b>Bold</b> &amp; _x_");
  hostile.status = std::string("bad \xff\xfe bytes");
  hostile.deliver = "line\nbreak\x1b[31m red\t tab";
  MenuDelivery c1 = delivery("u2", "next\xc2\x85line");
  item->setDeliveries({hostile, c1}, "status \xc3");

  const MenuNode root = menu();
  const MenuNode* row = root.find("<b>Bold</b> &amp; __x__");
  ASSERT_TRUE(row) << root.shownLabels()[0];
  const std::vector<std::string> labels = row->shownLabels();
  ASSERT_GE(labels.size(), 2u);
  EXPECT_EQ(labels[0], "bad \xEF\xBF\xBD\xEF\xBF\xBD bytes");
  EXPECT_EQ(labels[1], "line break [31m red  tab");
  EXPECT_TRUE(root.find("next line"));
  for (const std::string& label : root.shownLabels())
    EXPECT_TRUE(g_utf8_validate(label.c_str(), static_cast<gssize>(label.size()), nullptr));

  GVariantPtr toolTip =
      host_->property(itemName_, "/StatusNotifierItem", kItemInterface, "ToolTip");
  ASSERT_TRUE(toolTip);
  const char* text = nullptr;
  g_variant_get(toolTip.get(), "(&s@a(iiay)&s&s)", nullptr, nullptr, nullptr, &text);
  EXPECT_STREQ(text, "status \xEF\xBF\xBD");
}

// --- Labels ------------------------------------------------------------------------------------

TEST(MenuLabelTest, DoublesUnderscoresAndKeepsLineBreaksOnlyWhenAsked) {
  EXPECT_EQ(menuLabel("__init__"), "____init____");
  EXPECT_EQ(menuLabel("a\nb"), "a b");
  EXPECT_EQ(menuLabel("a\nb", true), "a\nb");
  EXPECT_EQ(menuLabel("a\r\nb", true), "a \nb");
  EXPECT_EQ(displayText("snake_case"), "snake_case");
  EXPECT_EQ(displayText("del\x7f"
                        "c1\xc2\x9b"
                        "end"),
            "del c1 end");
  EXPECT_EQ(displayText("café ✓"), "café ✓");
  EXPECT_EQ(displayText(std::string("nul\0byte", 8)),
            "nul\xEF\xBF\xBD"
            "byte");
  const std::string cut = displayText("cut \xe2\x9c");
  EXPECT_TRUE(g_utf8_validate(cut.c_str(), static_cast<gssize>(cut.size()), nullptr));
  EXPECT_EQ(cut.rfind("cut \xEF\xBF\xBD", 0), 0u) << cut;
}

}  // namespace
}  // namespace porvane
