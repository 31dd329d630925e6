// The preferences window against the shared defaults of the test home: every control stores
// its key and tells the suite, the companion's login item follows background updates and the
// panel icon, clearing the archive asks first, choosing no calendar takes the events away,
// the Shortcuts pane offers the command when the session bus has no portal, and logging.
#include <gtest/gtest.h>

#include <adwaita.h>
#include <gtkmm/init.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <memory>
#include <string>

#include "FormsTestSupport.h"
#include "QBYPreferencesWindow.h"
#include "manager/QBYBackgroundUpdater.h"
#include "manager/QBYCalendarStore.h"
#include "manager/QBYDeliveriesCalendar.h"
#include "manager/QBYLog.h"
#include "model/Delivery.h"
#include "model/Detail.h"
#include "platform/MMWormhole.h"
#include "platform/QBYNotificationCenter.h"
#include "platform/QBYUserDefaults.h"
#include "presentation/QBYDateFormatter.h"
#include "store/QBYDeliveriesQueries.h"
#include "store/core/QBYManagedObjectContext.h"
#include "support/GtkTestSupport.h"
#include "support/TestSupport.h"

namespace qby::test {
namespace {

using porvane::forms::QBYPreferencesWindow;
namespace fs = std::filesystem;

// A desktop portal that offers global shortcuts (version 1 of the interface) on a connection
// of its own to the test session's bus.
class FakeShortcutsPortal {
 public:
  FakeShortcutsPortal() {
    GError* error = nullptr;
    char* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (!address) {
      g_clear_error(&error);
      return;
    }
    connection_ = g_dbus_connection_new_for_address_sync(
        address,
        GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                             G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    g_free(address);
    g_clear_error(&error);
    if (!connection_) return;
    node_ = g_dbus_node_info_new_for_xml(
        "<node><interface name='org.freedesktop.portal.GlobalShortcuts'>"
        "<property name='version' type='u' access='read'/></interface></node>",
        nullptr);
    static const GDBusInterfaceVTable vtable = {
        nullptr,
        +[](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GError**,
            gpointer) -> GVariant* { return g_variant_new_uint32(1); },
        nullptr,
        {}};
    objectID_ =
        g_dbus_connection_register_object(connection_, "/org/freedesktop/portal/desktop",
                                          node_->interfaces[0], &vtable, nullptr, nullptr, nullptr);
    GVariant* reply = g_dbus_connection_call_sync(
        connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "RequestName", g_variant_new("(su)", "org.freedesktop.portal.Desktop", 4u),
        G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    // The suite's inter-process signals, as a companion would hear them.
    signalID_ = g_dbus_connection_signal_subscribe(
        connection_, nullptr, MMWormholeSignalInterface, nullptr, MMWormholeSignalPath, nullptr,
        G_DBUS_SIGNAL_FLAGS_NONE,
        +[](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* member,
            GVariant*, gpointer data) {
          static_cast<FakeShortcutsPortal*>(data)->signals_.emplace_back(member);
        },
        this, nullptr);
    if (reply) {
      guint32 result = 0;
      g_variant_get(reply, "(u)", &result);
      owned_ = result == 1;  // primary owner
      g_variant_unref(reply);
    }
  }
  ~FakeShortcutsPortal() {
    if (connection_ && signalID_) g_dbus_connection_signal_unsubscribe(connection_, signalID_);
    if (connection_ && objectID_) g_dbus_connection_unregister_object(connection_, objectID_);
    if (connection_) {
      g_dbus_connection_close_sync(connection_, nullptr, nullptr);
      g_object_unref(connection_);
    }
    if (node_) g_dbus_node_info_unref(node_);
  }
  FakeShortcutsPortal(const FakeShortcutsPortal&) = delete;
  FakeShortcutsPortal& operator=(const FakeShortcutsPortal&) = delete;
  bool running() const { return owned_ && objectID_ != 0; }
  bool heard(const std::string& member) const {
    return std::find(signals_.begin(), signals_.end(), member) != signals_.end();
  }

 private:
  GDBusConnection* connection_ = nullptr;
  GDBusNodeInfo* node_ = nullptr;
  guint objectID_ = 0;
  guint signalID_ = 0;
  bool owned_ = false;
  std::vector<std::string> signals_;
};

class PreferencesWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(initGtk());
    // The windows are gtkmm objects; the programs get this from their application object.
    Gtk::init_gtkmm_internals();
    forms = std::make_unique<FormsManager>();
    observer = QBYNotificationCenter::defaultCenter().addObserver(
        QBYUserDefaultsDidChangeNotification, nullptr, [this](const Notification& notification) {
          if (auto key = notification.userInfo[QBYUserDefaultsKey].asString())
            changedKeys.push_back(*key);
        });
  }
  void TearDown() override {
    preferences.reset();
    forms.reset();
  }

  void open(std::optional<std::string> pane = std::nullopt) {
    QBYPreferencesWindow::Options options;
    options.pane = std::move(pane);
    options.eventsMoved = [this](bool changed) { movedEvents.push_back(changed); };
    preferences = QBYPreferencesWindow::present(nullptr, *forms->manager, std::move(options));
    ASSERT_TRUE(iterateUntil([&] { return gtk_widget_get_mapped(root()); }));
  }

  GtkWidget* root() { return GTK_WIDGET(preferences->window()); }
  AdwComboRow* combo(const std::string& title) {
    GtkWidget* row = rowWithTitle(root(), title, ADW_TYPE_COMBO_ROW);
    EXPECT_TRUE(row) << title;
    return ADW_COMBO_ROW(row);
  }
  GtkSwitch* toggle(const std::string& title) {
    GtkWidget* row = rowWithTitle(root(), title, ADW_TYPE_ACTION_ROW);
    EXPECT_TRUE(row) << title;
    return row ? GTK_SWITCH(findWidgetOfType(row, GTK_TYPE_SWITCH)) : nullptr;
  }
  // Clicks the dialog's button with that label, as the user would.
  static void clickResponse(GtkWidget* dialog, const std::string& label) {
    GtkWidget* found = buttonLabelled(dialog, label);
    ASSERT_TRUE(found) << label;
    g_signal_emit_by_name(found, "clicked");
  }
  static GtkWidget* buttonLabelled(GtkWidget* root, const std::string& label) {
    if (GTK_IS_BUTTON(root)) {
      const char* text = gtk_button_get_label(GTK_BUTTON(root));
      if (text && label == text) return root;
    }
    for (GtkWidget* child = gtk_widget_get_first_child(root); child;
         child = gtk_widget_get_next_sibling(child))
      if (GtkWidget* found = buttonLabelled(child, label)) return found;
    return nullptr;
  }
  static QBYUserDefaults& defaults() { return QBYDataStore::sharedDefaults(); }
  bool told(const std::string& key) const {
    return std::find(changedKeys.begin(), changedKeys.end(), key) != changedKeys.end();
  }

  std::shared_ptr<Delivery> insertDelivery(const std::string& uuid, bool archived) {
    auto& context = *forms->store->viewContext();
    auto delivery = context.insert<Delivery>("Delivery");
    delivery->setUuid(uuid);
    delivery->setNo("NO-" + uuid);
    delivery->setFrom("www.ups.com");
    delivery->setService(forms->manager->serviceForDomain(std::string("www.ups.com")));
    delivery->setName("Item " + uuid);
    delivery->setArchived(archived);
    delivery->setStatusChangedOrModifiedDate(Date::now());
    return delivery;
  }

  std::unique_ptr<FormsManager> forms;
  std::unique_ptr<QBYPreferencesWindow> preferences;
  std::vector<std::string> changedKeys;
  std::vector<bool> movedEvents;
  ObserverToken observer;
};

TEST_F(PreferencesWindowTest, EveryGeneralControlStoresItsKeyAndTellsTheSuite) {
  open();
  AdwComboRow* sort = combo("Sort By");
  // The stored value is shown: "QBYSortMode" is registered as 1.
  EXPECT_EQ(adw_combo_row_get_selected(sort), 1u);
  adw_combo_row_set_selected(sort, 3);
  EXPECT_EQ(defaults().integerForKey(QBYSortModeKey), 3);
  EXPECT_TRUE(told(QBYSortModeKey));

  AdwComboRow* archive = combo("Remove From Archive");
  adw_combo_row_set_selected(archive, 2);  // After 30 Days
  EXPECT_EQ(defaults().integerForKey(QBYHistoryDaysKey), 30);
  EXPECT_TRUE(told(QBYHistoryDaysKey));

  GtkSwitch* sounds = toggle("Play Sounds");
  ASSERT_TRUE(sounds);
  EXPECT_TRUE(gtk_switch_get_active(sounds));  // registered on
  gtk_switch_set_active(sounds, FALSE);
  EXPECT_FALSE(defaults().boolForKey(QBYPlaySoundsKey));
  EXPECT_TRUE(told(QBYPlaySoundsKey));

  // A change made elsewhere shows in the open window.
  defaults().setInteger(0, QBYSortModeKey, true);
  EXPECT_EQ(adw_combo_row_get_selected(sort), 0u);
  iterateFor(std::chrono::milliseconds(200));
  EXPECT_FALSE(saveScreenshot(root(), "preferences-general").empty());
}

TEST_F(PreferencesWindowTest, TheLoginItemFollowsBackgroundUpdatesAndThePanelIcon) {
  const fs::path item = QBYBackgroundUpdater::loginItemPath();
  // Written inside the test home, never the user's autostart folder.
  ASSERT_EQ(item.string().rfind(home().string(), 0), 0u) << item;
  ASSERT_FALSE(fs::exists(item));
  open();
  GtkSwitch* background = toggle("Update in the Background");
  GtkSwitch* panel = toggle("Show Icon in the Panel");
  ASSERT_TRUE(background && panel);

  gtk_switch_set_active(background, TRUE);
  EXPECT_TRUE(defaults().boolForKey(QBYBackgroundUpdatesKey));
  EXPECT_TRUE(told(QBYBackgroundUpdatesKey));
  EXPECT_TRUE(fs::is_regular_file(item));
  gtk_switch_set_active(panel, TRUE);
  EXPECT_TRUE(defaults().boolForKey(QBYMenuBarModeKey));
  // The companion still wants to start at login while the panel icon is on.
  gtk_switch_set_active(background, FALSE);
  EXPECT_TRUE(fs::is_regular_file(item));
  gtk_switch_set_active(panel, FALSE);
  EXPECT_FALSE(defaults().boolForKey(QBYMenuBarModeKey));
  EXPECT_FALSE(fs::exists(item));
}

TEST_F(PreferencesWindowTest, ClearingTheArchiveAsksFirstAndCancellingChangesNothing) {
  insertDelivery("archived", true);
  insertDelivery("active", false);
  ASSERT_TRUE(forms->store->viewContext()->save());
  defaults().setInteger(7, QBYHistoryDaysKey);
  open();
  AdwComboRow* archive = combo("Remove From Archive");
  EXPECT_EQ(adw_combo_row_get_selected(archive), 1u);  // After 7 Days
  changedKeys.clear();

  const guint clearItem = g_list_model_get_n_items(adw_combo_row_get_model(archive)) - 1;
  adw_combo_row_set_selected(archive, clearItem);
  ASSERT_TRUE(iterateUntil([] { return !visibleWindowsOfType(ADW_TYPE_MESSAGE_DIALOG).empty(); }));
  AdwMessageDialog* dialog = ADW_MESSAGE_DIALOG(visibleWindowsOfType(ADW_TYPE_MESSAGE_DIALOG)[0]);
  EXPECT_STREQ(adw_message_dialog_get_heading(dialog), "Clear Archive");
  // The stored choice stays selected and stored while the question is open.
  EXPECT_EQ(adw_combo_row_get_selected(archive), 1u);
  EXPECT_EQ(defaults().integerForKey(QBYHistoryDaysKey), 7);
  EXPECT_FALSE(told(QBYHistoryDaysKey));
  iterateFor(std::chrono::milliseconds(300));
  EXPECT_FALSE(saveScreenshot(GTK_WIDGET(dialog), "preferences-clear-archive").empty());

  clickResponse(GTK_WIDGET(dialog), "Cancel");
  ASSERT_TRUE(iterateUntil([] { return visibleWindowsOfType(ADW_TYPE_MESSAGE_DIALOG).empty(); }));
  EXPECT_EQ(forms->namesOfDeliveriesWithNumber("NO-archived").size(), 1u);
  EXPECT_EQ(defaults().integerForKey(QBYHistoryDaysKey), 7);

  adw_combo_row_set_selected(archive, clearItem);
  ASSERT_TRUE(iterateUntil([] { return !visibleWindowsOfType(ADW_TYPE_MESSAGE_DIALOG).empty(); }));
  // The destructive button carries the same words as the heading.
  GtkWidget* second = GTK_WIDGET(visibleWindowsOfType(ADW_TYPE_MESSAGE_DIALOG)[0]);
  clickResponse(second, "Clear Archive");
  ASSERT_TRUE(iterateUntil([] { return visibleWindowsOfType(ADW_TYPE_MESSAGE_DIALOG).empty(); }));
  EXPECT_TRUE(forms->namesOfDeliveriesWithNumber("NO-archived").empty());
  EXPECT_EQ(forms->namesOfDeliveriesWithNumber("NO-active").size(), 1u);
  EXPECT_EQ(defaults().integerForKey(QBYHistoryDaysKey), 7);
}

TEST_F(PreferencesWindowTest, ChoosingNoCalendarTakesTheEventsAwayAndRemovesTheSetting) {
  open();
  AdwComboRow* calendar = combo("Calendar");
  ASSERT_TRUE(iterateUntil([&] { return gtk_widget_get_sensitive(GTK_WIDGET(calendar)); }));
  ASSERT_GE(g_list_model_get_n_items(adw_combo_row_get_model(calendar)), 2u);
  EXPECT_EQ(adw_combo_row_get_selected(calendar), 0u);  // "None"
  adw_combo_row_set_selected(calendar, 1);
  const auto info = defaults().dictionaryForKey(QBYDeliveriesCalendarInfoKey);
  ASSERT_TRUE(info);
  EXPECT_TRUE(told(QBYDeliveriesCalendarInfoKey));
  const auto identifier = (*info)[QBYCalendarIdentifier].asString();
  ASSERT_TRUE(identifier);

  // A delivery expected in two days gets its event.
  auto delivery = insertDelivery("lamp", false);
  const Date inTwoDays = Date::now().addingTimeInterval(2 * 86400);
  auto& context = *forms->store->viewContext();
  auto detail = context.insert<Detail>("Detail");
  detail->setIndex(0);
  detail->setItemName("Lamp");
  detail->setDeliveredDateString(QBYDateFormatter::sharedFormatter().stringFromDate(inTwoDays));
  detail->setIcon("");
  detail->setDelivery(delivery);
  ASSERT_TRUE(context.save());
  forms->manager->reloadDeliveries();
  std::atomic<bool> written{false};
  forms->manager->calendar().updateCalendarEvents(*forms->store,
                                                  [&written](bool) { written = true; });
  ASSERT_TRUE(iterateUntil([&] { return written.load(); }, std::chrono::seconds(30)));
  auto& store = QBYCalendarStore::sharedStore();
  const auto eventCount = [&] {
    store.refreshSources();
    const auto chosen = store.eventCalendarWithIdentifier(identifier);
    return chosen ? store.eventsWithDate(inTwoDays, *chosen).size() : 0u;
  };
  ASSERT_EQ(eventCount(), 1u);

  changedKeys.clear();
  movedEvents.clear();
  adw_combo_row_set_selected(calendar, 0);
  EXPECT_FALSE(defaults().dictionaryForKey(QBYDeliveriesCalendarInfoKey));
  EXPECT_TRUE(told(QBYDeliveriesCalendarInfoKey));
  // The calendar store is read here only once the move has ended: it is not shared between
  // threads.
  ASSERT_TRUE(iterateUntil([&] { return !movedEvents.empty(); }, std::chrono::seconds(30)));
  EXPECT_TRUE(movedEvents.front());
  EXPECT_EQ(eventCount(), 0u);
  iterateFor(std::chrono::milliseconds(200));
  EXPECT_FALSE(saveScreenshot(root(), "preferences-calendar-none").empty());
}

TEST_F(PreferencesWindowTest, WithoutThePortalTheShortcutsPaneShowsTheCommandToBind) {
  open("shortcuts");
  ASSERT_TRUE(iterateUntil([&] { return preferences->portalAvailable().has_value(); }));
  // The test session's bus has no desktop portal.
  EXPECT_FALSE(*preferences->portalAvailable());
  const fs::path program = QBYBackgroundUpdater::programPath().parent_path() / "porvane-app";
  char* quoted = g_shell_quote(program.c_str());
  const std::string add = std::string(quoted) + " porvane://add";
  const std::string show = std::string(quoted) + " porvane://show";
  g_free(quoted);
  iterateFor(std::chrono::milliseconds(200));
  EXPECT_TRUE(findWidget(root(), add)) << add;
  EXPECT_TRUE(findWidget(root(), show)) << show;
  // Nothing was stored by looking.
  EXPECT_TRUE(defaults().objectForKey(QBYAddShortcutKey).isNull());
  EXPECT_FALSE(saveScreenshot(root(), "preferences-shortcuts").empty());
}

TEST_F(PreferencesWindowTest, WithThePortalAShortcutNeedsAModifierAndIsStoredForTheCompanion) {
  FakeShortcutsPortal portal;
  ASSERT_TRUE(portal.running());
  open("shortcuts");
  ASSERT_TRUE(iterateUntil([&] { return preferences->portalAvailable().has_value(); }));
  ASSERT_TRUE(*preferences->portalAvailable());
  ASSERT_TRUE(
      iterateUntil([&] { return rowWithTitle(root(), "Add Delivery", ADW_TYPE_ENTRY_ROW); }));
  GtkWidget* add = rowWithTitle(root(), "Add Delivery", ADW_TYPE_ENTRY_ROW);

  // A bare key would take a letter from every program's typing: refused, nothing stored.
  gtk_editable_set_text(GTK_EDITABLE(add), "a");
  g_signal_emit_by_name(add, "apply");
  EXPECT_TRUE(gtk_widget_has_css_class(add, "error"));
  EXPECT_TRUE(defaults().objectForKey(QBYAddShortcutKey).isNull());
  EXPECT_FALSE(told(QBYAddShortcutKey));
  gtk_editable_set_text(GTK_EDITABLE(add), "<Alt><Primary>nonsense");
  g_signal_emit_by_name(add, "apply");
  EXPECT_TRUE(defaults().objectForKey(QBYAddShortcutKey).isNull());

  gtk_editable_set_text(GTK_EDITABLE(add), " <Ctrl><Alt>a ");
  g_signal_emit_by_name(add, "apply");
  EXPECT_FALSE(gtk_widget_has_css_class(add, "error"));
  EXPECT_EQ(defaults().stringForKey(QBYAddShortcutKey),
            std::optional<std::string>("<Control><Alt>a"));
  EXPECT_TRUE(told(QBYAddShortcutKey));
  // The companion is told to register it.
  EXPECT_TRUE(iterateUntil([&] { return portal.heard(QBYWormholeActionUpdateSettings); }));
  iterateFor(std::chrono::milliseconds(200));
  EXPECT_FALSE(saveScreenshot(root(), "preferences-shortcuts-portal").empty());

  // An empty field turns the shortcut off.
  gtk_editable_set_text(GTK_EDITABLE(add), "");
  g_signal_emit_by_name(add, "apply");
  EXPECT_TRUE(defaults().objectForKey(QBYAddShortcutKey).isNull());
}

TEST_F(PreferencesWindowTest, TheLogsPaneTurnsLoggingOnAndNamesTheFolder) {
  ASSERT_FALSE(QBYLog::enabled());
  open("logs");
  EXPECT_TRUE(findWidget(root(), QBYLog::folderURL().string()));
  GtkSwitch* logging = toggle("Logging");
  ASSERT_TRUE(logging);
  gtk_switch_set_active(logging, TRUE);
  EXPECT_TRUE(QBYLog::enabled());
  // Turning it on explains what happens next.
  EXPECT_TRUE(iterateUntil([] { return !visibleWindowsOfType(ADW_TYPE_MESSAGE_DIALOG).empty(); }));
  for (GtkWindow* dialog : visibleWindowsOfType(ADW_TYPE_MESSAGE_DIALOG))
    gtk_window_destroy(dialog);
  gtk_switch_set_active(logging, FALSE);
  EXPECT_FALSE(QBYLog::enabled());
  iterateFor(std::chrono::milliseconds(200));
  EXPECT_FALSE(saveScreenshot(root(), "preferences-logs").empty());
}

}  // namespace
}  // namespace qby::test
