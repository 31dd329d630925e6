#include "QBYPreferencesWindow.h"

#include <adwaita.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "manager/QBYBackgroundUpdater.h"
#include "manager/QBYCalendarStore.h"
#include "manager/QBYDeliveriesCalendar.h"
#include "manager/QBYDeliveriesManager.h"
#include "manager/QBYLog.h"
#include "model/Delivery.h"
#include "platform/GLibPtr.h"
#include "platform/Localization.h"
#include "platform/MainQueue.h"
#include "platform/Paths.h"
#include "platform/QBYNotificationCenter.h"
#include "platform/QBYUserDefaults.h"
#include "store/QBYDataStore.h"
#include "store/QBYDeliveriesQueries.h"

namespace porvane::forms {

namespace {

using qby::QBYLocalizedString;

// Archive items: days an archived delivery stays, "Manually" (kept until cleared) and the
// item that clears the archive.
constexpr std::int64_t kClearArchiveTag = -1;
const std::vector<std::int64_t>& archiveTags() {
  static const std::vector<std::int64_t> tags = {
      1, 7, 30, 182, 365, qby::QBYHistoryDaysMax, kClearArchiveTag};
  return tags;
}

constexpr const char* kPortalName = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char* kShortcutsInterface = "org.freedesktop.portal.GlobalShortcuts";

void setAccessibleLabel(GtkWidget* widget, const std::string& label) {
  gtk_accessible_update_property(GTK_ACCESSIBLE(widget), GTK_ACCESSIBLE_PROPERTY_LABEL,
                                 label.c_str(), -1);
}

GtkStringList* stringList(const std::vector<std::string>& items) {
  GtkStringList* list = gtk_string_list_new(nullptr);
  for (const auto& item : items) gtk_string_list_append(list, item.c_str());
  return list;
}

}  // namespace

struct QBYPreferencesWindow::Impl {
  Impl(qby::QBYDeliveriesManager& manager, Options options)
      : manager(manager), options(std::move(options)) {}

  qby::QBYDeliveriesManager& manager;
  Options options;
  GtkWidget* window = nullptr;
  std::unique_ptr<QBYPreferencesPage> syncPage;
  AdwComboRow* sortRow = nullptr;
  AdwComboRow* archiveRow = nullptr;
  AdwComboRow* calendarRow = nullptr;
  GtkWidget* backgroundSwitch = nullptr;
  GtkWidget* panelSwitch = nullptr;
  GtkWidget* soundsSwitch = nullptr;
  GtkWidget* loggingSwitch = nullptr;
  AdwPreferencesGroup* shortcutsGroup = nullptr;
  std::vector<GtkWidget*> shortcutRows;
  // The info dictionary of each calendar item; nothing for "None".
  std::vector<std::optional<qby::Dictionary>> calendarInfos;
  std::optional<bool> portalAvailable;
  // Set while a control is changed from the stored value, so that its handler stores nothing.
  bool loading = false;
  std::vector<qby::ObserverToken> observers;
  qby::GObjectPtr<GCancellable> cancellable =
      qby::GObjectPtr<GCancellable>::adopt(g_cancellable_new());
  std::shared_ptr<bool> alive = std::make_shared<bool>(true);

  qby::QBYUserDefaults& defaults() { return qby::QBYDataStore::sharedDefaults(); }

  void build();
  GtkWidget* buildGeneralPage();
  GtkWidget* buildShortcutsPage();
  GtkWidget* buildLogsPage();
  GtkWidget* switchRow(AdwPreferencesGroup* group, const std::string& title,
                       const std::string& subtitle,
                       void (*toggled)(GObject*, GParamSpec*, gpointer));

  void loadGeneral();
  void loadCalendars();
  void settingsChanged(const qby::Notification& notification);
  // Stores the value and tells the suite; false (after telling the user) when not written.
  bool store(const char* key, const qby::Value& value);
  void toast(const std::string& text);
  void updateCompanion();

  void sortChanged();
  void archiveChanged();
  void askToClearArchive();
  void calendarChanged();
  void switchToggled(GtkWidget* widget);

  void checkPortal();
  void showShortcutRows();
  void setShortcut(const char* key, const std::string& trigger, GtkWidget* row);
  void showLogFolder();
  void loggingToggled();
};

GtkWidget* QBYPreferencesWindow::Impl::switchRow(AdwPreferencesGroup* group,
                                                 const std::string& title,
                                                 const std::string& subtitle,
                                                 void (*toggled)(GObject*, GParamSpec*, gpointer)) {
  GtkWidget* row = adw_action_row_new();
  adw_preferences_row_set_title(ADW_PREFERENCES_ROW(row), title.c_str());
  if (!subtitle.empty()) adw_action_row_set_subtitle(ADW_ACTION_ROW(row), subtitle.c_str());
  GtkWidget* toggle = gtk_switch_new();
  gtk_widget_set_valign(toggle, GTK_ALIGN_CENTER);
  setAccessibleLabel(toggle, title);
  adw_action_row_add_suffix(ADW_ACTION_ROW(row), toggle);
  adw_action_row_set_activatable_widget(ADW_ACTION_ROW(row), toggle);
  adw_preferences_group_add(group, row);
  g_signal_connect(toggle, "notify::active", G_CALLBACK(toggled), this);
  return toggle;
}

void QBYPreferencesWindow::Impl::build() {
  window = adw_preferences_window_new();
  gtk_window_set_title(GTK_WINDOW(window), QBYLocalizedString("Preferences").c_str());
  gtk_window_set_default_size(GTK_WINDOW(window), 560, 620);
  // Closing hides; the owner destroys the window with this object.
  gtk_window_set_hide_on_close(GTK_WINDOW(window), TRUE);
  adw_preferences_window_set_search_enabled(ADW_PREFERENCES_WINDOW(window), FALSE);
  adw_preferences_window_add(ADW_PREFERENCES_WINDOW(window),
                             ADW_PREFERENCES_PAGE(buildGeneralPage()));
  adw_preferences_window_add(ADW_PREFERENCES_WINDOW(window),
                             ADW_PREFERENCES_PAGE(buildShortcutsPage()));
  adw_preferences_window_add(ADW_PREFERENCES_WINDOW(window), ADW_PREFERENCES_PAGE(buildLogsPage()));
  if (options.syncPage) {
    syncPage = options.syncPage(GTK_WINDOW(window));
    if (syncPage)
      adw_preferences_window_add(ADW_PREFERENCES_WINDOW(window),
                                 ADW_PREFERENCES_PAGE(syncPage->widget()));
  }

  g_signal_connect(window, "notify::visible", G_CALLBACK(+[](GObject*, GParamSpec*, gpointer data) {
                     auto* self = static_cast<Impl*>(data);
                     if (gtk_widget_get_visible(self->window) || !self->options.closed) return;
                     std::weak_ptr<bool> alive = self->alive;
                     qby::MainQueue::async([self, alive] {
                       if (alive.lock() && self->options.closed) self->options.closed();
                     });
                   }),
                   this);

  auto& center = qby::QBYNotificationCenter::defaultCenter();
  observers.push_back(center.addObserver(
      qby::QBYUserDefaultsDidChangeNotification, nullptr,
      [this](const qby::Notification& notification) { settingsChanged(notification); }));
  observers.push_back(
      center.addObserver(qby::QBYLogChangeNotification, nullptr, [this](const qby::Notification&) {
        loading = true;
        gtk_switch_set_active(GTK_SWITCH(loggingSwitch), qby::QBYLog::enabled());
        loading = false;
      }));
  loadGeneral();
  loadCalendars();
  checkPortal();
}

// --- General ----------------------------------------------------------------------------------

GtkWidget* QBYPreferencesWindow::Impl::buildGeneralPage() {
  GtkWidget* page = adw_preferences_page_new();
  adw_preferences_page_set_name(ADW_PREFERENCES_PAGE(page), "general");
  adw_preferences_page_set_title(ADW_PREFERENCES_PAGE(page), QBYLocalizedString("General").c_str());
  adw_preferences_page_set_icon_name(ADW_PREFERENCES_PAGE(page), "preferences-system-symbolic");

  auto* list = ADW_PREFERENCES_GROUP(adw_preferences_group_new());
  adw_preferences_group_set_title(list, QBYLocalizedString("Deliveries").c_str());
  adw_preferences_page_add(ADW_PREFERENCES_PAGE(page), list);

  std::vector<std::string> sortNames;
  for (unsigned mode = 0; mode < 4; ++mode)
    sortNames.push_back(qby::QBYDeliveriesManager::descriptionForSortMode(mode));
  sortRow = ADW_COMBO_ROW(adw_combo_row_new());
  adw_preferences_row_set_title(ADW_PREFERENCES_ROW(sortRow),
                                QBYLocalizedString("Sort By").c_str());
  adw_combo_row_set_model(sortRow, G_LIST_MODEL(stringList(sortNames)));
  adw_preferences_group_add(list, GTK_WIDGET(sortRow));
  g_signal_connect_swapped(sortRow, "notify::selected",
                           G_CALLBACK(+[](Impl* self) { self->sortChanged(); }), this);

  std::vector<std::string> archiveNames;
  for (std::int64_t tag : archiveTags()) {
    archiveNames.push_back(tag == kClearArchiveTag
                               ? QBYLocalizedString("Clear Archive…")
                               : qby::QBYDeliveriesManager::descriptionForHistoryDays(
                                     static_cast<std::uint64_t>(tag)));
  }
  archiveRow = ADW_COMBO_ROW(adw_combo_row_new());
  adw_preferences_row_set_title(ADW_PREFERENCES_ROW(archiveRow),
                                QBYLocalizedString("Remove From Archive").c_str());
  adw_combo_row_set_model(archiveRow, G_LIST_MODEL(stringList(archiveNames)));
  adw_preferences_group_add(list, GTK_WIDGET(archiveRow));
  g_signal_connect_swapped(archiveRow, "notify::selected",
                           G_CALLBACK(+[](Impl* self) { self->archiveChanged(); }), this);

  calendarRow = ADW_COMBO_ROW(adw_combo_row_new());
  adw_preferences_row_set_title(ADW_PREFERENCES_ROW(calendarRow),
                                QBYLocalizedString("Calendar").c_str());
  adw_action_row_set_subtitle(ADW_ACTION_ROW(calendarRow),
                              QBYLocalizedString("Adds expected deliveries as events").c_str());
  adw_combo_row_set_model(calendarRow, G_LIST_MODEL(stringList({QBYLocalizedString("None")})));
  gtk_widget_set_sensitive(GTK_WIDGET(calendarRow), FALSE);
  adw_preferences_group_add(list, GTK_WIDGET(calendarRow));
  g_signal_connect_swapped(calendarRow, "notify::selected",
                           G_CALLBACK(+[](Impl* self) { self->calendarChanged(); }), this);

  auto* background = ADW_PREFERENCES_GROUP(adw_preferences_group_new());
  adw_preferences_group_set_title(background, QBYLocalizedString("Background").c_str());
  adw_preferences_page_add(ADW_PREFERENCES_PAGE(page), background);
  auto toggled = +[](GObject* object, GParamSpec*, gpointer data) {
    static_cast<Impl*>(data)->switchToggled(GTK_WIDGET(object));
  };
  backgroundSwitch =
      switchRow(background, QBYLocalizedString("Update in the Background"),
                QBYLocalizedString("Keeps deliveries up to date while Porvane is closed"), toggled);
  panelSwitch = switchRow(background, QBYLocalizedString("Show Icon in the Panel"),
                          QBYLocalizedString("Lists your deliveries from the top bar"), toggled);

  auto* notifications = ADW_PREFERENCES_GROUP(adw_preferences_group_new());
  adw_preferences_group_set_title(notifications, QBYLocalizedString("Notifications").c_str());
  adw_preferences_page_add(ADW_PREFERENCES_PAGE(page), notifications);
  soundsSwitch = switchRow(notifications, QBYLocalizedString("Play Sounds"), "", toggled);
  return page;
}

void QBYPreferencesWindow::Impl::loadGeneral() {
  auto& stored = defaults();
  loading = true;
  const std::int64_t mode = stored.integerForKey(qby::QBYSortModeKey);
  adw_combo_row_set_selected(sortRow, mode >= 0 && mode < 4 ? static_cast<guint>(mode) : 1);
  std::int64_t days = stored.integerForKey(qby::QBYHistoryDaysKey);
  if (days < 1) days = qby::QBYHistoryDaysDefault;
  guint archiveIndex = GTK_INVALID_LIST_POSITION;
  for (std::size_t i = 0; i < archiveTags().size(); ++i)
    if (archiveTags()[i] == days) archiveIndex = static_cast<guint>(i);
  adw_combo_row_set_selected(archiveRow, archiveIndex);
  gtk_switch_set_active(GTK_SWITCH(backgroundSwitch),
                        stored.boolForKey(qby::QBYBackgroundUpdatesKey));
  gtk_switch_set_active(GTK_SWITCH(panelSwitch), stored.boolForKey(qby::QBYMenuBarModeKey));
  gtk_switch_set_active(GTK_SWITCH(soundsSwitch), stored.boolForKey(qby::QBYPlaySoundsKey));
  loading = false;
}

void QBYPreferencesWindow::Impl::loadCalendars() {
  gtk_widget_set_sensitive(GTK_WIDGET(calendarRow), FALSE);
  std::weak_ptr<bool> alive = this->alive;
  qby::QBYCalendarStore::sharedStore().requestAccessWithCompletion([this, alive](bool granted) {
    if (!alive.lock() || !granted) return;
    auto& calendars = qby::QBYCalendarStore::sharedStore();
    calendars.refreshSources();
    const auto chosen = defaults().dictionaryForKey(qby::QBYDeliveriesCalendarInfoKey);
    const std::optional<std::string> chosenID =
        chosen ? (*chosen)[qby::QBYCalendarIdentifier].asString() : std::nullopt;

    std::vector<std::string> names = {QBYLocalizedString("None")};
    calendarInfos = {std::nullopt};
    guint selected = 0;
    const qby::Dictionary groups = calendars.eventCalendars();
    for (const auto& [source, list] : groups) {
      const qby::Array* infos = list.arrayPtr();
      if (!infos) continue;
      for (const auto& entry : *infos) {
        const qby::Dictionary* info = entry.dictionaryPtr();
        if (!info) continue;
        const std::string title = (*info)[qby::QBYCalendarTitle].asString().value_or("");
        // The account names the group the calendar belongs to.
        names.push_back(source.empty() ? title : title + " — " + source);
        calendarInfos.push_back(*info);
        if (chosenID && (*info)[qby::QBYCalendarIdentifier].asString() == chosenID)
          selected = static_cast<guint>(calendarInfos.size() - 1);
      }
    }
    loading = true;
    adw_combo_row_set_model(calendarRow, G_LIST_MODEL(stringList(names)));
    adw_combo_row_set_selected(calendarRow, selected);
    loading = false;
    gtk_widget_set_sensitive(GTK_WIDGET(calendarRow), TRUE);
  });
}

void QBYPreferencesWindow::Impl::settingsChanged(const qby::Notification& notification) {
  const auto key = notification.userInfo[qby::QBYUserDefaultsKey].asString();
  if (!key) return;
  if (*key == qby::QBYSortModeKey || *key == qby::QBYHistoryDaysKey ||
      *key == qby::QBYBackgroundUpdatesKey || *key == qby::QBYMenuBarModeKey ||
      *key == qby::QBYPlaySoundsKey) {
    loadGeneral();
  }
}

bool QBYPreferencesWindow::Impl::store(const char* key, const qby::Value& value) {
  auto& stored = defaults();
  if (!stored.setObject(value, key)) {
    toast(QBYLocalizedString("The setting could not be saved."));
    return false;
  }
  stored.postNotificationForKey(key, value);
  return true;
}

void QBYPreferencesWindow::Impl::toast(const std::string& text) {
  adw_preferences_window_add_toast(ADW_PREFERENCES_WINDOW(window), adw_toast_new(text.c_str()));
}

void QBYPreferencesWindow::Impl::updateCompanion() {
  // The companion keeps deliveries current and shows the panel icon; it starts at login only
  // while one of them is wanted, and hears about the change at once.
  if (!qby::QBYBackgroundUpdater::requiresBackgroundUpdater()) {
    if (!qby::QBYBackgroundUpdater::enableBackgroundUpdater(false))
      toast(QBYLocalizedString("Porvane Express could not be removed from the login items."));
    return;
  }
  if (!qby::QBYBackgroundUpdater::enableBackgroundUpdater(true))
    toast(QBYLocalizedString("Porvane Express could not be added to the login items."));
  manager.sendWormholeAction(qby::QBYWormholeActionUpdateSettings, std::nullopt);
}

void QBYPreferencesWindow::Impl::sortChanged() {
  if (loading) return;
  const guint index = adw_combo_row_get_selected(sortRow);
  if (index >= 4) return;
  // Selecting what is stored (the list reselecting it, too) is no change to tell anyone.
  if (defaults().integerForKey(qby::QBYSortModeKey) == static_cast<std::int64_t>(index)) return;
  if (!store(qby::QBYSortModeKey, qby::Value(static_cast<std::int64_t>(index)))) loadGeneral();
}

void QBYPreferencesWindow::Impl::archiveChanged() {
  if (loading) return;
  const guint index = adw_combo_row_get_selected(archiveRow);
  if (index >= archiveTags().size()) return;
  const std::int64_t tag = archiveTags()[index];
  if (tag == kClearArchiveTag) {
    // The item is a command, not a setting: the stored choice stays selected.
    loadGeneral();
    askToClearArchive();
    return;
  }
  if (defaults().integerForKey(qby::QBYHistoryDaysKey) == tag) return;
  if (!store(qby::QBYHistoryDaysKey, qby::Value(tag))) loadGeneral();
}

void QBYPreferencesWindow::Impl::askToClearArchive() {
  GtkWidget* dialog = adw_message_dialog_new(
      GTK_WINDOW(window), QBYLocalizedString("Clear Archive").c_str(),
      QBYLocalizedString("Are you sure you want to clear your archive? All of your archived items "
                         "will be permanently deleted.")
          .c_str());
  adw_message_dialog_add_response(ADW_MESSAGE_DIALOG(dialog), "cancel",
                                  QBYLocalizedString("Cancel").c_str());
  adw_message_dialog_add_response(ADW_MESSAGE_DIALOG(dialog), "clear",
                                  QBYLocalizedString("Clear Archive").c_str());
  adw_message_dialog_set_response_appearance(ADW_MESSAGE_DIALOG(dialog), "clear",
                                             ADW_RESPONSE_DESTRUCTIVE);
  adw_message_dialog_set_default_response(ADW_MESSAGE_DIALOG(dialog), "cancel");
  adw_message_dialog_set_close_response(ADW_MESSAGE_DIALOG(dialog), "cancel");
  std::weak_ptr<bool> alive = this->alive;
  struct Context {
    Impl* self;
    std::weak_ptr<bool> alive;
  };
  g_signal_connect_data(
      dialog, "response", G_CALLBACK(+[](AdwMessageDialog*, const char* response, gpointer data) {
        auto* context = static_cast<Context*>(data);
        if (context->alive.lock() && g_str_equal(response, "clear"))
          context->self->manager.clearHistory();
      }),
      std::make_unique<Context>(Context{this, alive}).release(),
      +[](gpointer data, GClosure*) { std::unique_ptr<Context>(static_cast<Context*>(data)); },
      GConnectFlags(0));
  gtk_window_present(GTK_WINDOW(dialog));
}

void QBYPreferencesWindow::Impl::calendarChanged() {
  if (loading) return;
  const guint index = adw_combo_row_get_selected(calendarRow);
  if (index >= calendarInfos.size()) return;
  const auto& info = calendarInfos[index];
  const auto old = defaults().dictionaryForKey(qby::QBYDeliveriesCalendarInfoKey);
  const std::optional<std::string> oldID =
      old ? (*old)[qby::QBYCalendarIdentifier].asString() : std::nullopt;
  const std::optional<std::string> newID =
      info ? (*info)[qby::QBYCalendarIdentifier].asString() : std::nullopt;
  if (oldID == newID) return;
  // The events already written follow the choice: to the new calendar, or away for "None".
  if (qby::QBYDataStore* dataStore = manager.dataStore()) {
    std::vector<qby::QBYManagedObjectID> deliveries;
    for (const auto& delivery : manager.deliveries()) deliveries.push_back(delivery->objectID());
    std::weak_ptr<bool> alive = this->alive;
    manager.calendar().moveEventsFromCalendarIdentifier(
        oldID, newID, std::move(deliveries), *dataStore, [this, alive](bool changed) {
          // Called on the store's background queue.
          qby::MainQueue::async([this, alive, changed] {
            if (alive.lock() && options.eventsMoved) options.eventsMoved(changed);
          });
        });
  }
  if (info) {
    store(qby::QBYDeliveriesCalendarInfoKey, qby::Value(*info));
  } else {
    store(qby::QBYDeliveriesCalendarInfoKey, qby::Value());
  }
}

void QBYPreferencesWindow::Impl::switchToggled(GtkWidget* widget) {
  if (loading) return;
  const bool on = gtk_switch_get_active(GTK_SWITCH(widget));
  const char* key = widget == backgroundSwitch ? qby::QBYBackgroundUpdatesKey
                    : widget == panelSwitch    ? qby::QBYMenuBarModeKey
                                               : qby::QBYPlaySoundsKey;
  if (!store(key, qby::Value(on))) {
    loadGeneral();
    return;
  }
  if (widget == backgroundSwitch || widget == panelSwitch) updateCompanion();
}

// --- Shortcuts --------------------------------------------------------------------------------

GtkWidget* QBYPreferencesWindow::Impl::buildShortcutsPage() {
  GtkWidget* page = adw_preferences_page_new();
  adw_preferences_page_set_name(ADW_PREFERENCES_PAGE(page), "shortcuts");
  adw_preferences_page_set_title(ADW_PREFERENCES_PAGE(page),
                                 QBYLocalizedString("Shortcuts").c_str());
  adw_preferences_page_set_icon_name(ADW_PREFERENCES_PAGE(page),
                                     "preferences-desktop-keyboard-shortcuts-symbolic");
  shortcutsGroup = ADW_PREFERENCES_GROUP(adw_preferences_group_new());
  adw_preferences_group_set_title(shortcutsGroup, QBYLocalizedString("Global Shortcuts").c_str());
  adw_preferences_page_add(ADW_PREFERENCES_PAGE(page), shortcutsGroup);
  return page;
}

void QBYPreferencesWindow::Impl::checkPortal() {
  // The portal may be missing altogether, or too old to know global shortcuts: asking for
  // the interface's version tells both apart from a portal that has them.
  GError* error = nullptr;
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
  if (!bus) {
    if (error) g_error_free(error);
    portalAvailable = false;
    showShortcutRows();
    return;
  }
  std::weak_ptr<bool> alive = this->alive;
  struct Context {
    Impl* self;
    std::weak_ptr<bool> alive;
  };
  g_dbus_connection_call(
      bus, kPortalName, kPortalPath, "org.freedesktop.DBus.Properties", "Get",
      g_variant_new("(ss)", kShortcutsInterface, "version"), G_VARIANT_TYPE("(v)"),
      G_DBUS_CALL_FLAGS_NONE, 5000, cancellable.get(),
      +[](GObject* source, GAsyncResult* result, gpointer data) {
        std::unique_ptr<Context> context(static_cast<Context*>(data));
        GError* error = nullptr;
        GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
        if (reply) g_variant_unref(reply);
        const bool cancelled = error && g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED);
        if (error) g_error_free(error);
        if (cancelled || !context->alive.lock()) return;
        context->self->portalAvailable = reply != nullptr;
        context->self->showShortcutRows();
      },
      std::make_unique<Context>(Context{this, alive}).release());
  g_object_unref(bus);
}

void QBYPreferencesWindow::Impl::showShortcutRows() {
  for (GtkWidget* row : shortcutRows) adw_preferences_group_remove(shortcutsGroup, row);
  shortcutRows.clear();
  struct Item {
    const char* key;
    std::string title;
    const char* address;
  };
  const std::vector<Item> items = {
      {qby::QBYAddShortcutKey, QBYLocalizedString("Add Delivery"), "porvane://add"},
      {qby::QBYShowShortcutKey, QBYLocalizedString("Show Deliveries"), "porvane://show"}};

  if (!portalAvailable.value_or(false)) {
    adw_preferences_group_set_description(
        shortcutsGroup,
        QBYLocalizedString("This desktop does not offer global shortcuts to programs. Bind these "
                           "commands to keys in your desktop's keyboard settings.")
            .c_str());
    const auto program = qby::QBYBackgroundUpdater::programPath().parent_path() / "porvane-app";
    char* quoted = g_shell_quote(program.c_str());
    const std::string base = quoted;
    g_free(quoted);
    for (const auto& item : items) {
      const std::string command = base + " " + item.address;
      GtkWidget* row = adw_action_row_new();
      adw_preferences_row_set_title(ADW_PREFERENCES_ROW(row), item.title.c_str());
      adw_action_row_set_subtitle(ADW_ACTION_ROW(row), command.c_str());
      GtkWidget* copy = gtk_button_new_from_icon_name("edit-copy-symbolic");
      gtk_widget_set_valign(copy, GTK_ALIGN_CENTER);
      gtk_widget_add_css_class(copy, "flat");
      gtk_widget_set_tooltip_text(copy, QBYLocalizedString("Copy Command").c_str());
      g_object_set_data_full(G_OBJECT(copy), "command", g_strdup(command.c_str()), g_free);
      g_signal_connect(copy, "clicked", G_CALLBACK(+[](GtkButton* button, gpointer) {
                         const char* text = static_cast<const char*>(
                             g_object_get_data(G_OBJECT(button), "command"));
                         gdk_clipboard_set_text(gtk_widget_get_clipboard(GTK_WIDGET(button)), text);
                       }),
                       nullptr);
      adw_action_row_add_suffix(ADW_ACTION_ROW(row), copy);
      adw_preferences_group_add(shortcutsGroup, row);
      shortcutRows.push_back(row);
    }
    return;
  }

  adw_preferences_group_set_description(
      shortcutsGroup, QBYLocalizedString("Type a shortcut such as <Control><Alt>a and press "
                                         "Enter; the desktop asks you to confirm it.")
                          .c_str());
  for (const auto& item : items) {
    GtkWidget* row = adw_entry_row_new();
    adw_preferences_row_set_title(ADW_PREFERENCES_ROW(row), item.title.c_str());
    adw_entry_row_set_show_apply_button(ADW_ENTRY_ROW(row), TRUE);
    const auto stored = defaults().stringForKey(item.key);
    gtk_editable_set_text(GTK_EDITABLE(row), stored.value_or("").c_str());
    g_object_set_data(G_OBJECT(row), "key", const_cast<char*>(item.key));
    auto apply = +[](AdwEntryRow* entry, gpointer data) {
      auto* self = static_cast<Impl*>(data);
      const char* key = static_cast<const char*>(g_object_get_data(G_OBJECT(entry), "key"));
      self->setShortcut(key, gtk_editable_get_text(GTK_EDITABLE(entry)), GTK_WIDGET(entry));
    };
    g_signal_connect(row, "apply", G_CALLBACK(apply), this);
    g_signal_connect(row, "entry-activated", G_CALLBACK(apply), this);
    adw_preferences_group_add(shortcutsGroup, row);
    shortcutRows.push_back(row);
  }
}

void QBYPreferencesWindow::Impl::setShortcut(const char* key, const std::string& trigger,
                                             GtkWidget* row) {
  std::string text = trigger;
  const auto first = text.find_first_not_of(" \t");
  text = first == std::string::npos ? ""
                                    : text.substr(first, text.find_last_not_of(" \t") - first + 1);
  if (text.empty()) {
    if (!store(key, qby::Value())) return;
  } else {
    guint keyval = 0;
    GdkModifierType modifiers = GdkModifierType(0);
    // A shortcut without a modifier would take a key away from every program's typing.
    const GdkModifierType needed =
        GdkModifierType(GDK_CONTROL_MASK | GDK_ALT_MASK | GDK_SUPER_MASK);
    if (!gtk_accelerator_parse(text.c_str(), &keyval, &modifiers) || keyval == 0 ||
        !(modifiers & needed)) {
      gtk_widget_add_css_class(row, "error");
      toast(
          QBYLocalizedString("A shortcut needs a key with Ctrl, Alt or Super, such as "
                             "<Control><Alt>a."));
      return;
    }
    char* normal = gtk_accelerator_name(keyval, modifiers);
    text = normal;
    g_free(normal);
    if (!store(key, qby::Value(text))) return;
    gtk_editable_set_text(GTK_EDITABLE(row), text.c_str());
  }
  gtk_widget_remove_css_class(row, "error");
  // The companion serves the shortcuts; it registers them with the portal when told.
  manager.sendWormholeAction(qby::QBYWormholeActionUpdateSettings, std::nullopt);
}

// --- Logs -------------------------------------------------------------------------------------

GtkWidget* QBYPreferencesWindow::Impl::buildLogsPage() {
  GtkWidget* page = adw_preferences_page_new();
  adw_preferences_page_set_name(ADW_PREFERENCES_PAGE(page), "logs");
  adw_preferences_page_set_title(ADW_PREFERENCES_PAGE(page), QBYLocalizedString("Logs").c_str());
  adw_preferences_page_set_icon_name(ADW_PREFERENCES_PAGE(page), "text-x-generic-symbolic");
  auto* group = ADW_PREFERENCES_GROUP(adw_preferences_group_new());
  adw_preferences_group_set_description(
      group, QBYLocalizedString("Logs help to find out what went wrong when deliveries do not "
                                "update. They stay on this computer until you send them.")
                 .c_str());
  adw_preferences_page_add(ADW_PREFERENCES_PAGE(page), group);
  loggingSwitch = switchRow(
      group, QBYLocalizedString("Logging"), "",
      +[](GObject*, GParamSpec*, gpointer data) { static_cast<Impl*>(data)->loggingToggled(); });
  loading = true;
  gtk_switch_set_active(GTK_SWITCH(loggingSwitch), qby::QBYLog::enabled());
  loading = false;

  GtkWidget* folder = adw_action_row_new();
  adw_preferences_row_set_title(ADW_PREFERENCES_ROW(folder),
                                QBYLocalizedString("Log Folder").c_str());
  adw_action_row_set_subtitle(ADW_ACTION_ROW(folder), qby::QBYLog::folderURL().c_str());
  GtkWidget* show = gtk_button_new_with_label(QBYLocalizedString("Show Log Folder").c_str());
  gtk_widget_set_valign(show, GTK_ALIGN_CENTER);
  g_signal_connect_swapped(show, "clicked", G_CALLBACK(+[](Impl* self) { self->showLogFolder(); }),
                           this);
  adw_action_row_add_suffix(ADW_ACTION_ROW(folder), show);
  adw_preferences_group_add(group, folder);
  return page;
}

void QBYPreferencesWindow::Impl::loggingToggled() {
  if (loading) return;
  const bool on = gtk_switch_get_active(GTK_SWITCH(loggingSwitch));
  qby::QBYLog::setEnabled(on);
  if (qby::QBYLog::enabled() != on) {
    toast(QBYLocalizedString("The setting could not be saved."));
    loading = true;
    gtk_switch_set_active(GTK_SWITCH(loggingSwitch), qby::QBYLog::enabled());
    loading = false;
    return;
  }
  if (!on) return;
  const qby::QBYLogAlert alert = qby::QBYLog::enabledAlert();
  GtkWidget* dialog = adw_message_dialog_new(GTK_WINDOW(window), alert.message.c_str(),
                                             alert.informativeText.c_str());
  int number = 0;
  for (const auto& button : alert.buttons) {
    const std::string id = "button" + std::to_string(number++);
    adw_message_dialog_add_response(ADW_MESSAGE_DIALOG(dialog), id.c_str(), button.c_str());
  }
  if (alert.buttons.empty())
    adw_message_dialog_add_response(ADW_MESSAGE_DIALOG(dialog), "ok",
                                    QBYLocalizedString("OK").c_str());
  gtk_window_present(GTK_WINDOW(dialog));
}

void QBYPreferencesWindow::Impl::showLogFolder() {
  const auto folder = qby::QBYLog::folderURL();
  if (!qby::Paths::ensureDirectory(folder)) {
    toast(QBYLocalizedString("The log folder could not be created."));
    return;
  }
  char* uri = g_filename_to_uri(folder.c_str(), nullptr, nullptr);
  if (!uri) return;
  std::weak_ptr<bool> alive = this->alive;
  struct Context {
    Impl* self;
    std::weak_ptr<bool> alive;
  };
  g_app_info_launch_default_for_uri_async(
      uri, nullptr, nullptr,
      +[](GObject*, GAsyncResult* result, gpointer data) {
        std::unique_ptr<Context> context(static_cast<Context*>(data));
        GError* error = nullptr;
        const bool opened = g_app_info_launch_default_for_uri_finish(result, &error);
        if (error) g_error_free(error);
        if (!opened && context->alive.lock())
          context->self->toast(QBYLocalizedString("The log folder could not be opened."));
      },
      std::make_unique<Context>(Context{this, alive}).release());
  g_free(uri);
}

// --- The window -------------------------------------------------------------------------------

QBYPreferencesWindow::QBYPreferencesWindow(qby::QBYDeliveriesManager& manager, Options options)
    : impl_(std::make_unique<Impl>(manager, std::move(options))) {
  impl_->build();
  if (impl_->options.pane) showPane(*impl_->options.pane);
}

QBYPreferencesWindow::~QBYPreferencesWindow() {
  *impl_->alive = false;
  g_cancellable_cancel(impl_->cancellable.get());
  impl_->observers.clear();
  impl_->syncPage.reset();
  g_signal_handlers_disconnect_by_data(impl_->window, impl_.get());
  gtk_window_destroy(GTK_WINDOW(impl_->window));
}

std::unique_ptr<QBYPreferencesWindow> QBYPreferencesWindow::present(
    GtkWindow* parent, qby::QBYDeliveriesManager& manager, Options options) {
  auto preferences = std::make_unique<QBYPreferencesWindow>(manager, std::move(options));
  if (parent) gtk_window_set_transient_for(preferences->window(), parent);
  gtk_window_present(preferences->window());
  return preferences;
}

GtkWindow* QBYPreferencesWindow::window() const {
  return GTK_WINDOW(impl_->window);
}

void QBYPreferencesWindow::showPane(const std::string& name) {
  const char* page = name == "shortcuts"                 ? "shortcuts"
                     : name == "logs"                    ? "logs"
                     : name == "sync" && impl_->syncPage ? "sync"
                                                         : "general";
  adw_preferences_window_set_visible_page_name(ADW_PREFERENCES_WINDOW(impl_->window), page);
}

std::optional<bool> QBYPreferencesWindow::portalAvailable() const {
  return impl_->portalAvailable;
}

}  // namespace porvane::forms
