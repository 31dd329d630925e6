#include "QBYMainWindow.h"

#include <array>

#include "PorvaneKit.h"
#include "QBYDeliveryCommands.h"
#include "manager/QBYDeliveriesManager.h"
#include "model/Delivery.h"
#include "platform/Format.h"
#include "platform/GLibPtr.h"
#include "platform/QBYUserDefaults.h"
#include "presentation/text/QBYDeliveryDetailText.h"
#include "store/QBYDataStore.h"

namespace porvane::app {

namespace {

constexpr int kDefaultWidth = 980;
constexpr int kDefaultHeight = 640;
constexpr const char* kSortModeKey = "QBYSortMode";

void setAccessibleName(GtkWidget* widget, const std::string& name) {
  gtk_accessible_update_property(GTK_ACCESSIBLE(widget), GTK_ACCESSIBLE_PROPERTY_LABEL,
                                 name.c_str(), -1);
}

GtkWidget* iconButton(const char* icon, const std::string& label, const char* action) {
  GtkWidget* button = gtk_button_new_from_icon_name(icon);
  gtk_widget_set_tooltip_text(button, label.c_str());
  setAccessibleName(button, label);
  if (action) gtk_actionable_set_action_name(GTK_ACTIONABLE(button), action);
  return button;
}

std::string escaped(const std::string& text) {
  qby::GCharPtr escaped(g_markup_escape_text(text.c_str(), -1));
  return escaped.get();
}

}  // namespace

struct QBYMainWindow::Callbacks {
  static QBYMainWindow& self(gpointer data) { return *static_cast<QBYMainWindow*>(data); }

  static void searchChanged(GtkSearchEntry* entry, gpointer data) {
    self(data).list_->setSearchString(gtk_editable_get_text(GTK_EDITABLE(entry)));
  }

  static void scopeChanged(GtkDropDown* dropDown, GParamSpec*, gpointer data) {
    // The menu shows All, Active, Archived; the store counts 0 all, 1 archived, 2 active.
    static constexpr std::array<int, 3> kScopes = {QBYSearchScopeAll, QBYSearchScopeActive,
                                                   QBYSearchScopeArchived};
    const guint selected = gtk_drop_down_get_selected(dropDown);
    if (selected < kScopes.size()) self(data).list_->setSearchScope(kScopes[selected]);
  }

  static void foldedChanged(AdwLeaflet* leaflet, GParamSpec*, gpointer data) {
    const bool folded = adw_leaflet_get_folded(leaflet);
    gtk_widget_set_visible(self(data).backButton_, folded);
    // Folded, the list stands alone and carries the window's buttons itself.
    adw_header_bar_set_show_end_title_buttons(ADW_HEADER_BAR(self(data).listHeader_), folded);
  }

  static void back(GtkButton*, gpointer data) {
    adw_leaflet_navigate(self(data).leaflet_, ADW_NAVIGATION_DIRECTION_BACK);
  }

  static void sortMode(GSimpleAction* action, GVariant* value, gpointer) {
    g_simple_action_set_state(action, value);
    qby::QBYDataStore::sharedDefaults().setInteger(g_variant_get_int32(value), kSortModeKey, true);
  }

  static void focusSearch(GSimpleAction*, GVariant*, gpointer data) {
    gtk_widget_grab_focus(GTK_WIDGET(self(data).searchEntry_));
  }

  static void showShortcuts(GSimpleAction*, GVariant*, gpointer data) {
    gtk_window_present(self(data).shortcutsWindow());
  }

  static gboolean closeRequest(GtkWindow*, gpointer data) {
    // Closing the main window quits the application; the quit waits for a running sync
    // and takes the window down itself.
    self(data).host_.mainWindowClosed();
    return TRUE;
  }
};

QBYMainWindow::QBYMainWindow(GtkApplication* application,
                             std::shared_ptr<qby::QBYDeliveriesManager> manager,
                             QBYMainWindowHost& host)
    : manager_(std::move(manager)), host_(host) {
  window_ = adw_application_window_new(application);
  g_object_ref_sink(window_);
  gtk_widget_set_name(window_, "main-window");
  gtk_window_set_title(GTK_WINDOW(window_), QBYLocalizedString("Porvane").c_str());
  gtk_window_set_default_size(GTK_WINDOW(window_), kDefaultWidth, kDefaultHeight);
  gtk_widget_set_size_request(window_, 360, 320);
  g_signal_connect(window_, "close-request", G_CALLBACK(Callbacks::closeRequest), this);

  list_ = std::make_shared<QBYDeliveriesList>(manager_, static_cast<QBYDeliveriesListHost&>(*this));
  toasts_ = ADW_TOAST_OVERLAY(adw_toast_overlay_new());
  list_->attach(G_ACTION_MAP(window_), toasts_);

  leaflet_ = ADW_LEAFLET(adw_leaflet_new());
  adw_leaflet_set_can_navigate_back(leaflet_, TRUE);
  adw_leaflet_set_transition_type(leaflet_, ADW_LEAFLET_TRANSITION_TYPE_OVER);
  GtkWidget* listSide = buildListSide();
  AdwLeafletPage* listPage = adw_leaflet_append(leaflet_, listSide);
  adw_leaflet_page_set_name(listPage, "list");
  adw_leaflet_page_set_navigatable(
      adw_leaflet_append(leaflet_, gtk_separator_new(GTK_ORIENTATION_VERTICAL)), FALSE);
  AdwLeafletPage* detailPage = adw_leaflet_append(leaflet_, buildDetailSide());
  adw_leaflet_page_set_name(detailPage, "detail");
  adw_leaflet_set_visible_child(leaflet_, listSide);
  g_signal_connect(leaflet_, "notify::folded", G_CALLBACK(Callbacks::foldedChanged), this);

  adw_toast_overlay_set_child(toasts_, GTK_WIDGET(leaflet_));
  adw_application_window_set_content(ADW_APPLICATION_WINDOW(window_), GTK_WIDGET(toasts_));
  addWindowActions();
  Callbacks::foldedChanged(leaflet_, nullptr, this);
  selectedDeliveryChanged(list_->selectedDelivery());
}

QBYMainWindow::~QBYMainWindow() {
  if (shortcutsWindow_) gtk_window_destroy(GTK_WINDOW(shortcutsWindow_));
  // The widgets call back into the list; they go first.
  gtk_window_destroy(GTK_WINDOW(window_));
  g_object_unref(window_);
  list_.reset();
}

GtkWidget* QBYMainWindow::buildListSide() {
  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  gtk_widget_set_size_request(box, 320, -1);
  gtk_widget_set_hexpand(box, FALSE);

  GtkWidget* header = adw_header_bar_new();
  listHeader_ = header;
  adw_header_bar_set_show_end_title_buttons(ADW_HEADER_BAR(header), FALSE);
  GtkWidget* title = adw_window_title_new(QBYLocalizedString("Deliveries").c_str(), nullptr);
  adw_header_bar_set_title_widget(ADW_HEADER_BAR(header), title);
  adw_header_bar_pack_start(
      ADW_HEADER_BAR(header),
      iconButton("list-add-symbolic", QBYLocalizedString("New Delivery"), "app.new"));
  GtkWidget* menuButton = gtk_menu_button_new();
  gtk_menu_button_set_icon_name(GTK_MENU_BUTTON(menuButton), "open-menu-symbolic");
  qby::GObjectPtr<GMenuModel> menu = qby::GObjectPtr<GMenuModel>::adopt(primaryMenu());
  gtk_menu_button_set_menu_model(GTK_MENU_BUTTON(menuButton), menu.get());
  gtk_menu_button_set_primary(GTK_MENU_BUTTON(menuButton), TRUE);
  gtk_widget_set_tooltip_text(menuButton, QBYLocalizedString("Main Menu").c_str());
  setAccessibleName(menuButton, QBYLocalizedString("Main Menu"));
  adw_header_bar_pack_end(ADW_HEADER_BAR(header), menuButton);
  gtk_box_append(GTK_BOX(box), header);

  GtkWidget* searchRow = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 6);
  gtk_widget_set_margin_start(searchRow, 6);
  gtk_widget_set_margin_end(searchRow, 6);
  gtk_widget_set_margin_top(searchRow, 6);
  gtk_widget_set_margin_bottom(searchRow, 6);
  searchEntry_ = GTK_SEARCH_ENTRY(gtk_search_entry_new());
  gtk_widget_set_hexpand(GTK_WIDGET(searchEntry_), TRUE);
  gtk_widget_set_name(GTK_WIDGET(searchEntry_), "search");
  g_object_set(searchEntry_, "placeholder-text", QBYLocalizedString("Search").c_str(), nullptr);
  setAccessibleName(GTK_WIDGET(searchEntry_), QBYLocalizedString("Search deliveries"));
  g_signal_connect(searchEntry_, "search-changed", G_CALLBACK(Callbacks::searchChanged), this);
  gtk_box_append(GTK_BOX(searchRow), GTK_WIDGET(searchEntry_));

  const std::string all = QBYLocalizedString("All");
  const std::string active = QBYLocalizedString("Active");
  const std::string archived = QBYLocalizedString("Archived");
  const char* scopes[] = {all.c_str(), active.c_str(), archived.c_str(), nullptr};
  scopeDropDown_ = gtk_drop_down_new_from_strings(scopes);
  gtk_widget_set_name(scopeDropDown_, "search-scope");
  gtk_widget_set_tooltip_text(scopeDropDown_, QBYLocalizedString("Search In").c_str());
  setAccessibleName(scopeDropDown_, QBYLocalizedString("Search In"));
  g_signal_connect(scopeDropDown_, "notify::selected", G_CALLBACK(Callbacks::scopeChanged), this);
  gtk_box_append(GTK_BOX(searchRow), scopeDropDown_);
  gtk_box_append(GTK_BOX(box), searchRow);

  gtk_box_append(GTK_BOX(box), list_->widget());
  return box;
}

GtkWidget* QBYMainWindow::buildDetailSide() {
  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  gtk_widget_set_hexpand(box, TRUE);
  GtkWidget* header = adw_header_bar_new();
  adw_header_bar_set_title_widget(ADW_HEADER_BAR(header), adw_window_title_new("", nullptr));
  backButton_ = iconButton("go-previous-symbolic", QBYLocalizedString("Back"), nullptr);
  g_signal_connect(backButton_, "clicked", G_CALLBACK(Callbacks::back), this);
  adw_header_bar_pack_start(ADW_HEADER_BAR(header), backButton_);
  gtk_box_append(GTK_BOX(box), header);

  detailBox_ = GTK_BOX(gtk_box_new(GTK_ORIENTATION_VERTICAL, 0));
  gtk_widget_set_vexpand(GTK_WIDGET(detailBox_), TRUE);
  gtk_widget_set_name(GTK_WIDGET(detailBox_), "detail");
  // The plain detail text, until the application puts its detail pane here.
  detailLabel_ = gtk_label_new("");
  gtk_widget_set_name(detailLabel_, "detail-text");
  gtk_label_set_wrap(GTK_LABEL(detailLabel_), TRUE);
  gtk_label_set_selectable(GTK_LABEL(detailLabel_), TRUE);
  gtk_label_set_xalign(GTK_LABEL(detailLabel_), 0);
  gtk_label_set_yalign(GTK_LABEL(detailLabel_), 0);
  gtk_widget_set_margin_start(detailLabel_, 24);
  gtk_widget_set_margin_end(detailLabel_, 24);
  gtk_widget_set_margin_top(detailLabel_, 24);
  GtkWidget* scrolled = gtk_scrolled_window_new();
  gtk_scrolled_window_set_child(GTK_SCROLLED_WINDOW(scrolled), detailLabel_);
  gtk_widget_set_vexpand(scrolled, TRUE);
  detailPlaceholder_ = scrolled;
  gtk_box_append(detailBox_, scrolled);
  gtk_box_append(GTK_BOX(box), GTK_WIDGET(detailBox_));
  return box;
}

GMenuModel* QBYMainWindow::primaryMenu() {
  GMenu* menu = g_menu_new();
  GMenu* top = g_menu_new();
  g_menu_append(top, QBYLocalizedString("New Delivery…").c_str(), "app.new");
  g_menu_append_section(menu, nullptr, G_MENU_MODEL(top));
  g_object_unref(top);

  GMenu* delivery = g_menu_new();
  GAppInfo* browser = g_app_info_get_default_for_uri_scheme("https");
  const std::string browserName =
      browser ? g_app_info_get_display_name(browser) : QBYLocalizedString("Browser");
  if (browser) g_object_unref(browser);
  g_menu_append(delivery, qby::format(QBYLocalizedString("Open in %@"), browserName).c_str(),
                "win.open-online");
  g_menu_append(delivery, QBYLocalizedString("Next Package").c_str(), "win.next-package");
  g_menu_append(delivery, QBYLocalizedString("Previous Package").c_str(), "win.previous-package");
  g_menu_append(delivery, QBYLocalizedString("Edit").c_str(), "win.edit");
  g_menu_append(delivery, QBYLocalizedString("Refresh").c_str(), "win.refresh");
  g_menu_append(delivery, QBYLocalizedString("Refresh All").c_str(), "win.refresh-all");
  g_menu_append(delivery, QBYLocalizedString("Restore").c_str(), "win.restore");
  g_menu_append(delivery, QBYLocalizedString("Archive").c_str(), "win.archive");
  g_menu_append(delivery, QBYLocalizedString("Delete…").c_str(), "win.delete");
  g_menu_append(delivery, QBYLocalizedString("Copy").c_str(), "win.copy");
  g_menu_append(delivery, QBYLocalizedString("Export…").c_str(), "win.export");
  g_menu_append(delivery, QBYLocalizedString("Print…").c_str(), "win.print");
  g_menu_append_section(menu, nullptr, G_MENU_MODEL(delivery));
  g_object_unref(delivery);

  GMenu* sort = g_menu_new();
  for (int mode : {0, 1, 2, 3}) {
    GMenuItem* item = g_menu_item_new(
        qby::QBYDeliveriesManager::descriptionForSortMode(static_cast<unsigned>(mode)).c_str(),
        nullptr);
    g_menu_item_set_action_and_target_value(item, "win.sort-mode", g_variant_new_int32(mode));
    g_menu_append_item(sort, item);
    g_object_unref(item);
  }
  GMenu* sortSection = g_menu_new();
  g_menu_append_submenu(sortSection, QBYLocalizedString("Sort By").c_str(), G_MENU_MODEL(sort));
  g_object_unref(sort);
  g_menu_append_section(menu, nullptr, G_MENU_MODEL(sortSection));
  g_object_unref(sortSection);

  GMenu* app = g_menu_new();
  g_menu_append(app, QBYLocalizedString("Preferences").c_str(), "app.preferences");
  g_menu_append(app, QBYLocalizedString("Keyboard Shortcuts").c_str(), "win.show-shortcuts");
  g_menu_append(app, QBYLocalizedString("About Porvane").c_str(), "app.about");
  g_menu_append(app, QBYLocalizedString("Quit").c_str(), "app.quit");
  g_menu_append_section(menu, nullptr, G_MENU_MODEL(app));
  g_object_unref(app);
  return G_MENU_MODEL(menu);
}

void QBYMainWindow::addWindowActions() {
  const std::int64_t mode = qby::QBYDataStore::sharedDefaults().integerForKey(kSortModeKey);
  GSimpleAction* sort = g_simple_action_new_stateful(
      "sort-mode", G_VARIANT_TYPE_INT32, g_variant_new_int32(static_cast<gint32>(mode)));
  g_signal_connect(sort, "change-state", G_CALLBACK(Callbacks::sortMode), this);
  g_action_map_add_action(G_ACTION_MAP(window_), G_ACTION(sort));
  g_object_unref(sort);
  GSimpleAction* find = g_simple_action_new("find", nullptr);
  g_signal_connect(find, "activate", G_CALLBACK(Callbacks::focusSearch), this);
  g_action_map_add_action(G_ACTION_MAP(window_), G_ACTION(find));
  g_object_unref(find);
  GSimpleAction* shortcuts = g_simple_action_new("show-shortcuts", nullptr);
  g_signal_connect(shortcuts, "activate", G_CALLBACK(Callbacks::showShortcuts), this);
  g_action_map_add_action(G_ACTION_MAP(window_), G_ACTION(shortcuts));
  g_object_unref(shortcuts);
}

const std::vector<std::pair<const char*, std::vector<const char*>>>& QBYMainWindow::accelerators() {
  static const std::vector<std::pair<const char*, std::vector<const char*>>> kAccelerators = {
      {"win.open-online", {"<Alt>Return"}},
      {"win.edit", {"<Control>e"}},
      {"win.refresh", {"<Control>r"}},
      {"win.refresh-all", {"<Control><Shift>r"}},
      {"win.archive", {"<Control>BackSpace"}},
      {"win.delete", {"<Control><Alt>BackSpace", "<Shift>Delete"}},
      {"win.print", {"<Control>p"}},
      {"win.next-package", {"<Control>bracketright"}},
      {"win.previous-package", {"<Control>bracketleft"}},
      {"win.find", {"<Control>f"}},
      {"win.show-shortcuts", {"<Control>question"}},
      {"app.new", {"<Control>n"}},
      {"app.preferences", {"<Control>comma"}},
      {"app.quit", {"<Control>q"}},
  };
  return kAccelerators;
}

GtkWindow* QBYMainWindow::shortcutsWindow() {
  if (shortcutsWindow_) return GTK_WINDOW(shortcutsWindow_);
  struct Entry {
    std::string title;
    const char* accelerator;
  };
  const std::vector<std::pair<std::string, std::vector<Entry>>> groups = {
      {QBYLocalizedString("Deliveries"),
       {{QBYLocalizedString("New Delivery"), "<Control>n"},
        {QBYLocalizedString("Search"), "<Control>f"},
        {QBYLocalizedString("Edit"), "<Control>e"},
        {QBYLocalizedString("Refresh"), "<Control>r"},
        {QBYLocalizedString("Refresh All"), "<Control><Shift>r"},
        {QBYLocalizedString("Archive"), "<Control>BackSpace"},
        {QBYLocalizedString("Delete…"), "<Control><Alt>BackSpace"},
        {QBYLocalizedString("Open Tracking Page"), "<Alt>Return"},
        {QBYLocalizedString("Next Package"), "<Control>bracketright"},
        {QBYLocalizedString("Previous Package"), "<Control>bracketleft"},
        {QBYLocalizedString("Copy"), "<Control>c"},
        {QBYLocalizedString("Print…"), "<Control>p"}}},
      {QBYLocalizedString("Application"),
       {{QBYLocalizedString("Preferences"), "<Control>comma"},
        {QBYLocalizedString("Keyboard Shortcuts"), "<Control>question"},
        {QBYLocalizedString("Quit"), "<Control>q"}}}};
  std::string xml =
      "<interface><object class=\"GtkShortcutsWindow\" id=\"shortcuts\">"
      "<property name=\"modal\">1</property><child><object class=\"GtkShortcutsSection\">"
      "<property name=\"section-name\">main</property>";
  for (const auto& [group, entries] : groups) {
    xml += "<child><object class=\"GtkShortcutsGroup\"><property name=\"title\">" + escaped(group) +
           "</property>";
    for (const auto& entry : entries) {
      xml += "<child><object class=\"GtkShortcutsShortcut\"><property name=\"title\">" +
             escaped(entry.title) + "</property><property name=\"accelerator\">" +
             escaped(entry.accelerator) + "</property></object></child>";
    }
    xml += "</object></child>";
  }
  xml += "</object></child></object></interface>";
  GtkBuilder* builder = gtk_builder_new_from_string(xml.c_str(), -1);
  shortcutsWindow_ = GTK_WIDGET(gtk_builder_get_object(builder, "shortcuts"));
  g_object_ref(shortcutsWindow_);
  g_object_unref(builder);
  gtk_window_set_transient_for(GTK_WINDOW(shortcutsWindow_), GTK_WINDOW(window_));
  gtk_window_set_hide_on_close(GTK_WINDOW(shortcutsWindow_), TRUE);
  return GTK_WINDOW(shortcutsWindow_);
}

void QBYMainWindow::present() {
  gtk_window_present(GTK_WINDOW(window_));
}

void QBYMainWindow::showDetail() {
  adw_leaflet_navigate(leaflet_, ADW_NAVIGATION_DIRECTION_FORWARD);
}

void QBYMainWindow::search(const std::string& text) {
  gtk_editable_set_text(GTK_EDITABLE(searchEntry_), text.c_str());
  // The entry reports changes after a pause; a search asked for from outside runs now.
  list_->setSearchString(text);
  present();
}

// --- List host ---------------------------------------------------------------------------------

void QBYMainWindow::openEditWindow(const std::string& uuid) {
  host_.openEditWindow(uuid);
}

void QBYMainWindow::openURIs(const std::vector<std::string>& uris) {
  host_.openURIs(uris);
}

void QBYMainWindow::openWebPage(const std::string& uri) {
  host_.openWebPage(uri);
}

void QBYMainWindow::signInForDelivery(const std::string& uuid) {
  host_.signInForDelivery(uuid);
}

void QBYMainWindow::troubleshootDelivery(const std::string& uuid) {
  host_.troubleshootDelivery(uuid);
}

void QBYMainWindow::selectedDeliveryChanged(const std::shared_ptr<qby::Delivery>& delivery) {
  updateActionStates(delivery);
  showDetailText(delivery);
  if (delivery && adw_leaflet_get_folded(leaflet_) && gtk_widget_get_visible(window_)) showDetail();
}

void QBYMainWindow::bringWindowForward() {
  // Raises a window the user sees; a delivery saved from an address while the window is
  // closed stays saved without one.
  if (gtk_widget_get_visible(window_)) present();
}

void QBYMainWindow::updateActionStates(const std::shared_ptr<qby::Delivery>& delivery) {
  const bool any = delivery != nullptr;
  const bool archived = any && delivery->archived();
  const bool packages = any && delivery->details().size() >= 2;
  const std::vector<std::pair<const char*, bool>> states = {
      {"open-online", any && delivery->onlineURL().has_value()},
      {"edit", any},
      {"refresh", any && !archived},
      {"restore", archived},
      {"archive", any && !archived},
      {"delete", any},
      {"copy", any},
      {"export", any},
      {"print", any},
      {"next-package", packages},
      {"previous-package", packages},
      {"show-package", packages},
      {"sign-in", any && deliveryOffersSignIn(*delivery)},
      {"troubleshoot", any && deliveryCanBeTroubleshot(*delivery)}};
  for (const auto& [name, enabled] : states) {
    GAction* action = g_action_map_lookup_action(G_ACTION_MAP(window_), name);
    if (action) g_simple_action_set_enabled(G_SIMPLE_ACTION(action), enabled);
  }
}

void QBYMainWindow::setDetailPane(GtkWidget* pane, DetailShower show) {
  if (detailPlaceholder_) {
    gtk_box_remove(detailBox_, detailPlaceholder_);
    detailPlaceholder_ = nullptr;
    detailLabel_ = nullptr;
  }
  gtk_box_append(detailBox_, pane);
  showDetail_ = std::move(show);
  showDetailText(list_->selectedDelivery());
}

void QBYMainWindow::showDetailText(const std::shared_ptr<qby::Delivery>& delivery) {
  if (showDetail_) {
    showDetail_(delivery);
    return;
  }
  if (!detailLabel_) return;
  const auto text =
      qby::QBYDeliveryDetailText::textForDelivery(delivery.get(), false, manager_->dateFormatter());
  gtk_label_set_markup(GTK_LABEL(detailLabel_), text.markup.c_str());
}

}  // namespace porvane::app
