// The main window under Xvfb: the list's commands with their toast and confirmation, reordering
// and drops, search scopes, the layout when narrow and right to left, the status line, export
// and printing, and a delivery updated from a fixture carrier. Each case saves a screenshot of
// the state it checked.
#include <adwaita.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "AppHarness.h"
#include "QBYAddDeliveryWindow.h"
#include "QBYAddScreen.h"
#include "QBYEditDeliveryWindow.h"
#include "QBYPreferencesWindow.h"
#include "model/Delivery.h"
#include "model/Detail.h"
#include "platform/QBYUserDefaults.h"
#include "store/QBYDataStore.h"
#include "support/GtkTestSupport.h"
#include "support/TestSupport.h"
#include "sync/QBYDeliveryDocument.h"

namespace {

namespace fs = std::filesystem;
using porvane::test::AppHarness;
using qby::test::iterateFor;
using qby::test::iterateUntil;
using qby::test::saveScreenshot;
using namespace std::chrono_literals;

std::vector<std::string> shownUUIDs(porvane::app::QBYDeliveriesList& list) {
  std::vector<std::string> uuids;
  for (const auto& delivery : list.shownDeliveries())
    uuids.push_back(delivery->uuid().value_or(""));
  return uuids;
}

std::size_t rowOf(porvane::app::QBYDeliveriesList& list, const std::string& uuid) {
  const auto uuids = shownUUIDs(list);
  return static_cast<std::size_t>(std::find(uuids.begin(), uuids.end(), uuid) - uuids.begin());
}

// The (label, action) pairs of a menu and its sections.
std::vector<std::pair<std::string, std::string>> menuItems(GMenuModel* menu) {
  std::vector<std::pair<std::string, std::string>> items;
  for (int i = 0; i < g_menu_model_get_n_items(menu); ++i) {
    if (GMenuModel* section = g_menu_model_get_item_link(menu, i, G_MENU_LINK_SECTION)) {
      auto inner = menuItems(section);
      items.insert(items.end(), inner.begin(), inner.end());
      g_object_unref(section);
      continue;
    }
    if (GMenuModel* submenu = g_menu_model_get_item_link(menu, i, G_MENU_LINK_SUBMENU)) {
      auto inner = menuItems(submenu);
      items.insert(items.end(), inner.begin(), inner.end());
      g_object_unref(submenu);
    }
    gchar* label = nullptr;
    gchar* action = nullptr;
    g_menu_model_get_item_attribute(menu, i, G_MENU_ATTRIBUTE_LABEL, "s", &label);
    g_menu_model_get_item_attribute(menu, i, G_MENU_ATTRIBUTE_ACTION, "s", &action);
    items.emplace_back(label ? label : "", action ? action : "");
    g_free(label);
    g_free(action);
  }
  return items;
}

gboolean emitDrop(GtkEventController* target, const GValue* value) {
  gboolean accepted = FALSE;
  g_signal_emit_by_name(target, "drop", value, 4.0, 4.0, &accepted);
  return accepted;
}

bool archivedInStore(AppHarness& h, const std::string& uuid) {
  auto delivery = h.manager().deliveryWithUUID(uuid);
  return delivery && delivery->archived();
}

void activate(AppHarness& h, const char* action) {
  g_action_group_activate_action(G_ACTION_GROUP(h.window().window()), action, nullptr);
}

TEST(MainWindowTest, ArchiveFromTheContextMenuAndUndoWithTheToast) {
  AppHarness h;
  ASSERT_TRUE(h.launch());
  const std::string camera = h.addDelivery("www.ups.com", "1Z999AA10123456784", "Camera");
  h.addDelivery("gls-group.com", "901234567890", "Books");
  h.showWindow();
  auto& list = h.window().list();
  ASSERT_EQ(list.shownDeliveries().size(), 2u);
  const std::size_t row = rowOf(list, camera);

  // The real right click on the row: it selects the row and opens its menu.
  GtkWidget* rowWidget = nullptr;
  ASSERT_TRUE(iterateUntil([&] { return (rowWidget = h.rowWidget(row)) != nullptr; }));
  GtkEventController* click = AppHarness::controllerOfType(rowWidget, GTK_TYPE_GESTURE_CLICK);
  ASSERT_TRUE(click);
  g_signal_emit_by_name(click, "pressed", 1, 20.0, 10.0);
  iterateFor(300ms);
  EXPECT_EQ(list.selectedDelivery()->uuid(), camera);
  saveScreenshot(GTK_WIDGET(h.window().window()), "context-menu");

  const auto items = menuItems(list.contextMenuForRow(row, false));
  const auto archiveItem =
      std::find(items.begin(), items.end(),
                std::make_pair(std::string("Archive"), std::string("win.archive")));
  ASSERT_NE(archiveItem, items.end());
  EXPECT_EQ(std::count_if(items.begin(), items.end(),
                          [](const auto& item) { return item.second == "win.sign-in"; }),
            0);
  activate(h, "archive");  // what choosing the item does
  iterateFor(200ms);

  EXPECT_TRUE(archivedInStore(h, camera));
  EXPECT_EQ(rowOf(list, camera), list.shownDeliveries().size());  // gone from the list
  AdwToast* toast = list.lastToast();
  ASSERT_TRUE(toast);
  EXPECT_STREQ(adw_toast_get_button_label(toast), "Undo");
  saveScreenshot(GTK_WIDGET(h.window().window()), "archive-toast");

  g_signal_emit_by_name(toast, "button-clicked");
  iterateFor(200ms);
  EXPECT_FALSE(archivedInStore(h, camera));
  EXPECT_LT(rowOf(list, camera), list.shownDeliveries().size());
  saveScreenshot(GTK_WIDGET(h.window().window()), "archive-undone");
}

TEST(MainWindowTest, DeleteAsksFirstAndAnArchivedDeliveryOffersNoArchive) {
  AppHarness h;
  ASSERT_TRUE(h.launch());
  const std::string active = h.addDelivery("www.ups.com", "1Z999AA10123456784", "Camera");
  const std::string old = h.addDelivery("gls-group.com", "901234567890", "Books");
  h.showWindow();
  auto& list = h.window().list();

  list.confirmDelete(h.manager().deliveryWithUUID(active));
  auto* dialog = ADW_MESSAGE_DIALOG(list.lastDialog());
  ASSERT_TRUE(dialog);
  EXPECT_TRUE(adw_message_dialog_has_response(dialog, "archive"));
  EXPECT_STREQ(adw_message_dialog_get_heading(dialog), "Delete “Camera”?");
  iterateFor(200ms);
  saveScreenshot(GTK_WIDGET(dialog), "delete-active");
  // Nothing happens before the answer.
  EXPECT_TRUE(h.manager().deliveryWithUUID(active));
  adw_message_dialog_response(dialog, "archive");
  iterateFor(100ms);
  EXPECT_TRUE(archivedInStore(h, active));

  auto archived = h.manager().deliveryWithUUID(old);
  list.restore(archived);
  list.archive(h.manager().deliveryWithUUID(old));
  ASSERT_TRUE(archivedInStore(h, old));
  list.confirmDelete(h.manager().deliveryWithUUID(old));
  dialog = ADW_MESSAGE_DIALOG(list.lastDialog());
  ASSERT_TRUE(dialog);
  EXPECT_FALSE(adw_message_dialog_has_response(dialog, "archive"));
  EXPECT_TRUE(adw_message_dialog_has_response(dialog, "delete"));
  iterateFor(200ms);
  saveScreenshot(GTK_WIDGET(dialog), "delete-archived");
  adw_message_dialog_response(dialog, "delete");
  iterateFor(100ms);
  EXPECT_FALSE(h.manager().deliveryWithUUID(old));
}

TEST(MainWindowTest, ReorderingIsRefusedWhileSearching) {
  AppHarness h;
  ASSERT_TRUE(h.launch());
  const std::string a = h.addDelivery("www.ups.com", "1Z999AA10123456784", "Camera");
  const std::string b = h.addDelivery("gls-group.com", "901234567890", "Camera bag");
  const std::string c = h.addDelivery("gls-group.com", "901234567891", "Boots");
  h.showWindow();
  auto& list = h.window().list();
  const auto before = shownUUIDs(list);
  ASSERT_EQ(before.size(), 3u);

  gtk_editable_set_text(GTK_EDITABLE(h.window().searchEntry()), "Camera");
  ASSERT_TRUE(iterateUntil([&] { return list.searchActive(); }));
  ASSERT_TRUE(iterateUntil([&] { return list.shownDeliveries().size() == 2; }));
  EXPECT_EQ(list.searchScope(), porvane::app::QBYSearchScopeAll);
  GtkWidget* target = nullptr;
  ASSERT_TRUE(iterateUntil([&] { return (target = h.rowWidget(1)) != nullptr; }));
  GtkEventController* drop = AppHarness::controllerOfType(target, GTK_TYPE_DROP_TARGET);
  ASSERT_TRUE(drop);
  GValue from = G_VALUE_INIT;
  g_value_init(&from, G_TYPE_UINT);
  g_value_set_uint(&from, 0);
  EXPECT_FALSE(emitDrop(drop, &from));
  saveScreenshot(GTK_WIDGET(h.window().window()), "reorder-refused-search");
  gtk_editable_set_text(GTK_EDITABLE(h.window().searchEntry()), "");
  ASSERT_TRUE(iterateUntil([&] { return !list.searchActive(); }));
  EXPECT_EQ(shownUUIDs(list), before);

  // Without a search the same drop moves the first row above the third.
  qby::QBYDataStore::sharedDefaults().setInteger(1, "QBYSortMode", true);
  ASSERT_TRUE(iterateUntil([&] { return (target = h.rowWidget(2)) != nullptr; }));
  drop = AppHarness::controllerOfType(target, GTK_TYPE_DROP_TARGET);
  EXPECT_TRUE(emitDrop(drop, &from));
  g_value_unset(&from);
  const auto after = shownUUIDs(list);
  EXPECT_EQ(after, (std::vector<std::string>{before[1], before[0], before[2]}));
  EXPECT_EQ(qby::QBYDataStore::sharedDefaults().integerForKey("QBYSortMode"), 0);
  EXPECT_EQ(list.selectedDelivery()->uuid(), before[0]);
  // The order is the store's: a fresh fetch agrees.
  h.manager().reloadDeliveries();
  std::vector<std::string> stored;
  for (const auto& delivery : h.manager().deliveries()) stored.push_back(*delivery->uuid());
  EXPECT_EQ(stored, after);
  saveScreenshot(GTK_WIDGET(h.window().window()), "reordered");
  (void)a, (void)b, (void)c;
}

TEST(MainWindowTest, SearchScopesNarrowTheResults) {
  AppHarness h;
  ASSERT_TRUE(h.launch());
  const std::string active = h.addDelivery("www.ups.com", "1Z999AA10123456784", "Camera");
  const std::string archived = h.addDelivery("gls-group.com", "901234567890", "Camera bag");
  h.showWindow();
  auto& list = h.window().list();
  list.archive(h.manager().deliveryWithUUID(archived));
  ASSERT_EQ(shownUUIDs(list), std::vector<std::string>{active});

  list.setSearchString("camera");
  EXPECT_EQ(list.shownDeliveries().size(), 2u);  // "All" includes the archive
  GtkWidget* scope = qby::test::findWidget(GTK_WIDGET(h.window().window()), "search-scope");
  ASSERT_TRUE(scope);
  gtk_drop_down_set_selected(GTK_DROP_DOWN(scope), 2);  // Archived
  EXPECT_EQ(shownUUIDs(list), std::vector<std::string>{archived});
  gtk_drop_down_set_selected(GTK_DROP_DOWN(scope), 1);  // Active
  EXPECT_EQ(shownUUIDs(list), std::vector<std::string>{active});
  saveScreenshot(GTK_WIDGET(h.window().window()), "search-active-scope");
  list.setSearchString("no such thing");
  EXPECT_TRUE(list.shownDeliveries().empty());
}

TEST(MainWindowTest, DropsFromOutsideTakeAddressesAndRefusePlainText) {
  AppHarness h;
  ASSERT_TRUE(h.launch());
  h.showWindow();
  GtkEventController* drop =
      AppHarness::controllerOfType(h.window().list().widget(), GTK_TYPE_DROP_TARGET);
  ASSERT_TRUE(drop);
  GValue text = G_VALUE_INIT;
  g_value_init(&text, G_TYPE_STRING);
  g_value_set_string(&text, "my parcel 901234567890 is late");
  EXPECT_FALSE(emitDrop(drop, &text));
  EXPECT_EQ(h.app().addWindow(), nullptr);

  const std::string link = "https://gls-group.com/GROUP/en/parcel-tracking?match=901234567890";
  g_value_set_string(&text, link.c_str());
  EXPECT_TRUE(emitDrop(drop, &text));
  g_value_unset(&text);
  ASSERT_NE(h.app().addWindow(), nullptr);
  ASSERT_NE(h.app().addWindow()->addScreen(), nullptr);
  EXPECT_EQ(h.app().addWindow()->addScreen()->searchEntry().get_text().raw(), link);
  iterateFor(300ms);
  saveScreenshot(GTK_WIDGET(h.app().addWindow()->gobj()), "drop-opens-add");
}

TEST(MainWindowTest, EmptyListShowsItsTextAndStatusLineFloatsOverTheList) {
  AppHarness h;
  ASSERT_TRUE(h.launch());
  h.showWindow();
  GtkWidget* empty = qby::test::findWidget(GTK_WIDGET(h.window().window()), "empty-list");
  ASSERT_TRUE(empty);
  EXPECT_TRUE(gtk_widget_get_visible(empty));
  qby::QBYNotificationCenter::defaultCenter().post(
      qby::QBYDeliveriesChangeNotification, nullptr,
      qby::Dictionary{{qby::QBYDeliveriesStatusKey, qby::Value(std::string("Updating 3 of 7"))}});
  EXPECT_EQ(h.window().list().statusText(), "Updating 3 of 7");
  iterateFor(400ms);
  GtkWidget* status = qby::test::findWidget(GTK_WIDGET(h.window().window()), "Updating 3 of 7");
  ASSERT_TRUE(status);
  EXPECT_TRUE(gtk_widget_get_child_visible(gtk_widget_get_ancestor(status, GTK_TYPE_REVEALER)) ||
              gtk_revealer_get_reveal_child(
                  GTK_REVEALER(gtk_widget_get_ancestor(status, GTK_TYPE_REVEALER))));
  saveScreenshot(GTK_WIDGET(h.window().window()), "empty-with-status");
  h.addDelivery("www.ups.com", "1Z999AA10123456784", "Camera");
  EXPECT_FALSE(gtk_widget_get_visible(empty));
}

TEST(MainWindowTest, NarrowWindowFoldsTheLeafletAndShowsTheDetailOnSelection) {
  AppHarness h;
  ASSERT_TRUE(h.launch());
  const std::string camera = h.addDelivery("www.ups.com", "1Z999AA10123456784", "Camera");
  h.showWindow(360, 640);
  AdwLeaflet* leaflet = h.window().leaflet();
  ASSERT_TRUE(iterateUntil([&] { return adw_leaflet_get_folded(leaflet); }));
  GtkWidget* detail = adw_leaflet_get_child_by_name(leaflet, "detail");
  EXPECT_NE(adw_leaflet_get_visible_child(leaflet), detail);
  saveScreenshot(GTK_WIDGET(h.window().window()), "narrow-list");

  ASSERT_TRUE(h.window().list().selectDelivery(h.manager().deliveryWithUUID(camera)));
  ASSERT_TRUE(iterateUntil([&] { return adw_leaflet_get_visible_child(leaflet) == detail; }));
  iterateFor(400ms);
  int width = gtk_widget_get_width(GTK_WIDGET(h.window().window()));
  EXPECT_LE(width, 400);
  saveScreenshot(GTK_WIDGET(h.window().window()), "narrow-detail");
}

TEST(MainWindowTest, RightToLeftPutsTheListOnTheRight) {
  // After GTK's own start, which takes the direction from the locale.
  ASSERT_TRUE(qby::test::initGtk());
  gtk_widget_set_default_direction(GTK_TEXT_DIR_RTL);
  {
    AppHarness h;
    ASSERT_TRUE(h.launch());
    h.addDelivery("www.ups.com", "1Z999AA10123456784", "Camera");
    h.showWindow(980, 640);
    AdwLeaflet* leaflet = h.window().leaflet();
    ASSERT_FALSE(adw_leaflet_get_folded(leaflet));
    GtkWidget* list = adw_leaflet_get_child_by_name(leaflet, "list");
    GtkWidget* detail = adw_leaflet_get_child_by_name(leaflet, "detail");
    graphene_rect_t listBounds, detailBounds;
    GtkWidget* root = GTK_WIDGET(h.window().window());
    ASSERT_TRUE(gtk_widget_compute_bounds(list, root, &listBounds));
    ASSERT_TRUE(gtk_widget_compute_bounds(detail, root, &detailBounds));
    EXPECT_GT(listBounds.origin.x, detailBounds.origin.x);
    EXPECT_GT(listBounds.size.width, 100);
    saveScreenshot(root, "right-to-left");
  }
  gtk_widget_set_default_direction(GTK_TEXT_DIR_LTR);
}

TEST(MainWindowTest, ExportWritesADocumentTheApplicationOpensAndPrintingWritesPages) {
  AppHarness h;
  ASSERT_TRUE(h.launch());
  const std::string camera = h.addDelivery("www.ups.com", "1Z999AA10123456784", "Camera");
  h.showWindow();
  auto delivery = h.manager().deliveryWithUUID(camera);
  auto& list = h.window().list();

  const fs::path folder = qby::test::makeTempDir("export");
  const fs::path file = folder / "Camera.porvane";
  qby::test::writeFile(file, "an older file the user chose to replace\n");
  ASSERT_TRUE(list.exportToFile(delivery, file));
  qby::QBYDeliveryDocument document(file);
  qby::QBYError error;
  ASSERT_TRUE(document.openAndWait(&error)) << error.description();
  EXPECT_EQ(document.no(), "1Z999AA10123456784");
  EXPECT_EQ(document.uuid(), camera);
  // Only the document is left: the partial file it was written to is gone.
  std::size_t files = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(folder)) ++files;
  EXPECT_EQ(files, 1u);

  // A folder that is not there: told, not reported as done, and nothing written.
  EXPECT_FALSE(list.exportToFile(delivery, folder / "missing" / "x.porvane"));
  ASSERT_TRUE(list.lastDialog());
  EXPECT_FALSE(fs::exists(folder / "missing"));
  adw_message_dialog_response(ADW_MESSAGE_DIALOG(list.lastDialog()), "ok");
  iterateFor(100ms);

  // The exported document opens in an edit window of its delivery.
  qby::GCharPtr uri(g_filename_to_uri(file.c_str(), nullptr, nullptr));
  h.app().open({uri.get()});
  EXPECT_NE(h.app().editWindow(camera), nullptr);
  // A saved web location opens the add window with its address.
  const fs::path link = qby::test::writeFile(
      folder / "Parcel.desktop",
      "[Desktop Entry]\nType=Link\nName=Parcel\nURL=https://gls-group.com/track?match=1\n");
  qby::GCharPtr linkURI(g_filename_to_uri(link.c_str(), nullptr, nullptr));
  h.app().open({linkURI.get()});
  ASSERT_NE(h.app().addWindow(), nullptr);
  EXPECT_EQ(h.app().addWindow()->addScreen()->searchEntry().get_text().raw(),
            "https://gls-group.com/track?match=1");
  // A document that is not one is refused with an alert; nothing opens.
  const fs::path broken = qby::test::writeFile(folder / "Broken.porvane", "not a document");
  qby::GCharPtr brokenURI(g_filename_to_uri(broken.c_str(), nullptr, nullptr));
  h.app().open({brokenURI.get()});
  EXPECT_EQ(h.app().editWindow(""), nullptr);

  const fs::path pdf = folder / "Camera.pdf";
  ASSERT_TRUE(list.print(delivery, pdf));
  std::ifstream pdfIn(pdf, std::ios::binary);
  std::string head(5, '\0');
  pdfIn.read(head.data(), 5);
  EXPECT_EQ(head, "%PDF-");
  EXPECT_GT(fs::file_size(pdf), 500u);
  saveScreenshot(GTK_WIDGET(h.window().window()), "after-export");
}

TEST(MainWindowTest, PackagesStepAndWrapAround) {
  AppHarness h;
  ASSERT_TRUE(h.launch());
  const std::string uuid = h.addDelivery("www.ups.com", "1Z999AA10123456784", "Camera");
  auto delivery = h.manager().deliveryWithUUID(uuid);
  auto& context = *h.app().dataStore()->viewContext();
  for (int i = 0; i < 2; ++i) {
    auto detail = context.insert<qby::Detail>("Detail");
    detail->setIndex(i);
    detail->setItemName(std::string(i == 0 ? "Lens" : "Tripod"));
    delivery->addDetail(detail);
  }
  ASSERT_TRUE(h.app().dataStore()->saveData());
  {
    auto other = std::make_shared<qby::QBYDataStore>();
    qby::QBYDeliveriesManager::Options options;
    options.listenForActions = false;
    auto reader = qby::QBYDeliveriesManager::create(options);
    reader->setDataStore(other);
    auto copy = reader->deliveryWithUUID(uuid);
    ASSERT_TRUE(copy);
    EXPECT_EQ(copy->details().size(), 2u) << "details not in the file";
  }
  h.showWindow();
  auto& list = h.window().list();
  ASSERT_TRUE(list.selectDelivery(delivery));
  ASSERT_EQ(list.selectedDelivery(), delivery);
  ASSERT_EQ(delivery->details().size(), 2u);
  ASSERT_TRUE(
      g_action_group_get_action_enabled(G_ACTION_GROUP(h.window().window()), "next-package"));
  EXPECT_EQ(delivery->selected(), 0);
  activate(h, "next-package");
  EXPECT_EQ(delivery->selected(), 1);
  activate(h, "next-package");
  EXPECT_EQ(delivery->selected(), 0);  // past the last comes the first
  activate(h, "previous-package");
  EXPECT_EQ(delivery->selected(), 1);
  ASSERT_EQ(list.shownDeliveries().size(), 1u);
  EXPECT_EQ(list.shownDeliveries()[0].get(), delivery.get());
  EXPECT_EQ(list.shownDeliveries()[0]->details().size(), 2u);
  // Activating the row (double click, Return) steps on as well.
  g_signal_emit_by_name(list.listView(), "activate", 0u);
  EXPECT_EQ(delivery->selected(), 0);
  const auto items = menuItems(list.contextMenuForRow(0, false));
  // One item per package, named after it.
  EXPECT_EQ(std::count_if(items.begin(), items.end(),
                          [](const auto& item) { return item.second == "win.show-package"; }),
            2);
  EXPECT_TRUE(std::any_of(items.begin(), items.end(), [](const auto& item) {
    return item.first == "Tripod" && item.second == "win.show-package";
  }));
  iterateFor(300ms);
  saveScreenshot(GTK_WIDGET(h.window().window()), "packages");
}

TEST(MainWindowTest, AddScreenSuggestsAndAFixtureCarrierUpdatesTheList) {
  AppHarness h;
  h.serveCarrierCase("gls/in-transit");
  ASSERT_TRUE(h.launch());
  h.addDelivery("www.ups.com", "1Z999AA10123456784", "Camera");
  h.showWindow();

  h.app().openAddWindow("9012 3456 7890");
  auto* add = h.app().addWindow();
  ASSERT_TRUE(add && add->addScreen());
  ASSERT_TRUE(iterateUntil([&] {
    const auto& rows = add->addScreen()->searchResults();
    return std::any_of(rows.begin(), rows.end(), [](const auto& row) {
      return row.settings && row.settings->from == "gls-group.com";
    });
  }));
  iterateFor(300ms);
  saveScreenshot(GTK_WIDGET(add->gobj()), "add-screen-suggestions");
  add->close();
  iterateFor(200ms);

  const std::string books = h.addDelivery("gls-group.com", "901234567890", "Bücherpaket");
  auto& list = h.window().list();
  ASSERT_TRUE(list.selectDelivery(h.manager().deliveryWithUUID(books)));
  activate(h, "refresh");
  ASSERT_TRUE(iterateUntil(
      [&] {
        auto delivery = h.manager().deliveryWithUUID(books);
        return delivery && !delivery->details().empty() && !h.manager().busy();
      },
      30s));
  iterateFor(500ms);
  GtkWidget* status = nullptr;
  ASSERT_TRUE(iterateUntil([&] {
    GtkWidget* row = h.rowWidget(rowOf(list, books));
    if (!row) return false;
    status = qby::test::findWidget(row, "row-status");
    return status && std::string(gtk_label_get_text(GTK_LABEL(status))).find("parcel center") !=
                         std::string::npos;
  }));
  EXPECT_FALSE(h.app().detailPane()->textLabel().get_text().empty());
  EXPECT_NE(h.app().detailPane()->textLabel().get_text().raw().find("Bücherpaket"),
            std::string::npos);
  saveScreenshot(GTK_WIDGET(h.window().window()), "list-with-detail");

  h.app().openPreferences("general");
  ASSERT_TRUE(h.app().preferencesWindow());
  iterateFor(400ms);
  saveScreenshot(GTK_WIDGET(h.app().preferencesWindow()->window()), "preferences");
}

TEST(MainWindowTest, ShortcutsWindowListsTheKeys) {
  AppHarness h;
  ASSERT_TRUE(h.launch());
  h.showWindow();
  activate(h, "show-shortcuts");
  GtkWindow* shortcuts = h.window().shortcutsWindow();
  ASSERT_TRUE(iterateUntil([&] { return gtk_widget_get_mapped(GTK_WIDGET(shortcuts)); }));
  iterateFor(300ms);
  saveScreenshot(GTK_WIDGET(shortcuts), "shortcuts");
  // Every accelerator the window registers is one GTK can parse.
  for (const auto& [action, keys] : porvane::app::QBYMainWindow::accelerators()) {
    for (const char* key : keys) {
      guint keyval = 0;
      GdkModifierType modifiers{};
      EXPECT_TRUE(gtk_accelerator_parse(key, &keyval, &modifiers)) << action << " " << key;
    }
  }
}

TEST(MainWindowTest, TheSyncAddressOpensThePreferencesOnTheSyncPage) {
  AppHarness h;
  ASSERT_TRUE(h.launch());
  ASSERT_TRUE(h.app().processURL("porvane://settings/sync"));
  ASSERT_TRUE(h.app().preferencesWindow());
  auto* window = ADW_PREFERENCES_WINDOW(h.app().preferencesWindow()->window());
  ASSERT_TRUE(iterateUntil([&] { return gtk_widget_get_mapped(GTK_WIDGET(window)); }));
  EXPECT_STREQ(adw_preferences_window_get_visible_page_name(window), "sync");
  // Once the sync manager has started, the page offers the sign-in form.
  EXPECT_TRUE(iterateUntil(
      [&] {
        GtkWidget* action = qby::test::findWidget(GTK_WIDGET(window), "sync-action");
        return action && gtk_widget_get_mapped(action);
      },
      20s));

  // The window already open turns to the page asked for.
  ASSERT_TRUE(h.app().processURL("porvane://settings/general"));
  EXPECT_STREQ(adw_preferences_window_get_visible_page_name(window), "general");
  ASSERT_TRUE(h.app().processURL("porvane://settings/sync"));
  EXPECT_STREQ(adw_preferences_window_get_visible_page_name(window), "sync");
  iterateFor(300ms);
  saveScreenshot(GTK_WIDGET(window), "preferences-sync");
}

}  // namespace
