#include "QBYTodayWindow.h"

#include <adwaita.h>

#include <algorithm>

#include "PorvaneKit.h"
#include "manager/QBYBackgroundUpdater.h"
#include "model/Delivery.h"
#include "model/Detail.h"
#include "platform/GLibPtr.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "platform/QBYUserDefaults.h"
#include "presentation/QBYDateFormatter.h"
#include "presentation/text/QBYDeliveryDetailText.h"
#include "presentation/text/QBYDeliveryRowText.h"
#include "presentation/text/TemplateMarkup.h"
#include "store/QBYDataStore.h"
#include "store/QBYDeliveriesQueries.h"
#include "sync/QBYSyncManager.h"

namespace porvane::today {

namespace {

constexpr const char* kAddURL = "porvane://add";
constexpr const char* kSyncSettingsURL = "porvane://settings/sync";
// Where the application keeps its one Today window.
constexpr const char* kWindowKey = "porvane-today-window";
// A relevant delivery is due within this many seconds or changed within the second span.
constexpr double kDueSoonSeconds = 7 * 86400.0;
constexpr double kChangedRecentlySeconds = 4 * 86400.0;
// Height of a row before one is measured (three lines of text and the margins).
constexpr int kFallbackRowHeight = 72;

const char* answerText(unsigned answer) {
  switch (answer) {
    case qby::QBYUpdateResultNewData:
      return "new data";
    case qby::QBYUpdateResultNoChanges:
      return "no changes";
    default:
      return "failed";
  }
}

bool defaultOpenURI(const std::string& uri) {
  GError* rawError = nullptr;
  const bool opened = g_app_info_launch_default_for_uri(uri.c_str(), nullptr, &rawError);
  if (!opened) {
    qby::log("Cannot open %@: %@", uri, rawError ? rawError->message : "?");
    g_clear_error(&rawError);
  }
  return opened;
}

void setAccessibleLabel(GtkWidget* widget, const std::string& label) {
  gtk_accessible_update_property(GTK_ACCESSIBLE(widget), GTK_ACCESSIBLE_PROPERTY_LABEL,
                                 label.c_str(), -1);
}

// The row texts pad a blank line with a single space so rows keep their height.
bool blank(const std::string& text) {
  return text.find_first_not_of(" \t\n") == std::string::npos;
}

// What the list showed: each active delivery with its last change. Another program that adds,
// archives, reorders or updates a delivery changes it.
std::vector<std::pair<std::string, double>> fingerprintOf(
    const std::vector<std::shared_ptr<qby::Delivery>>& deliveries) {
  std::vector<std::pair<std::string, double>> fingerprint;
  fingerprint.reserve(deliveries.size());
  for (const auto& delivery : deliveries) {
    if (!delivery) continue;
    fingerprint.emplace_back(delivery->uuid().value_or(""),
                             delivery->modified() + delivery->updatedTime());
  }
  return fingerprint;
}

}  // namespace

struct QBYTodayWindow::Widgets {
  GtkWidget* window = nullptr;  // owned by GTK's toplevel list until destroyed
  GtkWidget* list = nullptr;
  GtkWidget* scroller = nullptr;
  GtkWidget* status = nullptr;
  qby::GObjectPtr<GSimpleActionGroup> actions;
  // The list as it was when the window last answered an update.
  std::optional<std::vector<std::pair<std::string, double>>> answeredList;
};

// --- Making ----------------------------------------------------------------------------------

std::shared_ptr<QBYTodayWindow> QBYTodayWindow::present(GtkApplication* application) {
  auto* holder = application ? static_cast<std::shared_ptr<QBYTodayWindow>*>(
                                   g_object_get_data(G_OBJECT(application), kWindowKey))
                             : nullptr;
  std::shared_ptr<QBYTodayWindow> window = holder ? *holder : nullptr;
  if (!window) {
    window = create(application);
    if (application)
      g_object_set_data_full(
          G_OBJECT(application), kWindowKey, new std::shared_ptr<QBYTodayWindow>(window),
          +[](gpointer data) { delete static_cast<std::shared_ptr<QBYTodayWindow>*>(data); });
  }
  gtk_window_present(window->window());
  window->performUpdate();
  return window->manager_ ? window : nullptr;
}

std::shared_ptr<QBYTodayWindow> QBYTodayWindow::create(GtkApplication* application,
                                                       Environment environment) {
  std::shared_ptr<QBYTodayWindow> window(new QBYTodayWindow(application, std::move(environment)));
  window->setUpIfNeeded();
  window->refreshDeliveries();
  return window;
}

QBYTodayWindow::QBYTodayWindow(GtkApplication* application, Environment environment)
    : application_(application),
      environment_(std::move(environment)),
      widgets_(std::make_unique<Widgets>()) {
  if (!environment_.openURI) environment_.openURI = defaultOpenURI;
  if (!environment_.launchCompanion)
    environment_.launchCompanion = [] { qby::QBYBackgroundUpdater::launchBackgroundUpdater(); };

  auto& w = *widgets_;
  w.window = application ? adw_application_window_new(application) : adw_window_new();
  gtk_widget_set_name(w.window, "today-window");
  gtk_window_set_title(GTK_WINDOW(w.window), QBYLocalizedString("Today").c_str());
  gtk_window_set_default_size(GTK_WINDOW(w.window), 360, -1);

  auto* header = adw_header_bar_new();
  auto* add = gtk_button_new_from_icon_name("list-add-symbolic");
  gtk_widget_set_name(add, "today-add");
  gtk_widget_set_tooltip_text(add, QBYLocalizedString("Add Delivery").c_str());
  setAccessibleLabel(add, QBYLocalizedString("Add Delivery"));
  adw_header_bar_pack_start(ADW_HEADER_BAR(header), add);
  g_signal_connect(add, "clicked", G_CALLBACK(+[](GtkButton*, gpointer data) {
                     static_cast<QBYTodayWindow*>(data)->addDelivery();
                   }),
                   this);

  w.list = gtk_list_box_new();
  gtk_widget_set_name(w.list, "today-list");
  gtk_list_box_set_selection_mode(GTK_LIST_BOX(w.list), GTK_SELECTION_NONE);
  gtk_widget_add_css_class(w.list, "navigation-sidebar");
  setAccessibleLabel(w.list, QBYLocalizedString("Deliveries"));
  auto* empty = gtk_label_new(QBYLocalizedString("You do not have\nany deliveries").c_str());
  gtk_label_set_justify(GTK_LABEL(empty), GTK_JUSTIFY_CENTER);
  gtk_widget_add_css_class(empty, "dim-label");
  gtk_widget_set_margin_top(empty, 18);
  gtk_widget_set_margin_bottom(empty, 18);
  gtk_list_box_set_placeholder(GTK_LIST_BOX(w.list), empty);
  g_signal_connect(w.list, "row-activated",
                   G_CALLBACK(+[](GtkListBox*, GtkListBoxRow* row, gpointer data) {
                     static_cast<QBYTodayWindow*>(data)->openDelivery(
                         static_cast<std::size_t>(gtk_list_box_row_get_index(row)), false);
                   }),
                   this);

  w.scroller = gtk_scrolled_window_new();
  gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(w.scroller), GTK_POLICY_NEVER,
                                 GTK_POLICY_AUTOMATIC);
  gtk_scrolled_window_set_propagate_natural_height(GTK_SCROLLED_WINDOW(w.scroller), TRUE);
  gtk_scrolled_window_set_max_content_height(GTK_SCROLLED_WINDOW(w.scroller), 640);
  gtk_scrolled_window_set_child(GTK_SCROLLED_WINDOW(w.scroller), w.list);
  gtk_widget_set_vexpand(w.scroller, TRUE);

  w.status = gtk_label_new(nullptr);
  gtk_widget_set_name(w.status, "today-status");
  gtk_widget_add_css_class(w.status, "dim-label");
  gtk_widget_add_css_class(w.status, "caption");
  gtk_widget_set_margin_top(w.status, 6);
  gtk_widget_set_margin_bottom(w.status, 6);

  auto* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  gtk_box_append(GTK_BOX(box), header);
  gtk_box_append(GTK_BOX(box), w.scroller);
  gtk_box_append(GTK_BOX(box), w.status);
  if (application)
    adw_application_window_set_content(ADW_APPLICATION_WINDOW(w.window), box);
  else
    adw_window_set_content(ADW_WINDOW(w.window), box);

  // The row commands, each with the row it concerns.
  w.actions = qby::GObjectPtr<GSimpleActionGroup>::adopt(g_simple_action_group_new());
  struct Command {
    const char* name;
    void (*run)(QBYTodayWindow&, std::size_t);
  };
  static constexpr Command kCommands[] = {
      {"open", [](QBYTodayWindow& t, std::size_t row) { t.openDelivery(row, false); }},
      {"open-online", [](QBYTodayWindow& t, std::size_t row) { t.openDelivery(row, true); }},
      {"next-package", [](QBYTodayWindow& t, std::size_t row) { t.advancePackage(row); }},
      {"edit", [](QBYTodayWindow& t, std::size_t row) { t.editDelivery(row); }},
      {"refresh", [](QBYTodayWindow& t, std::size_t row) { t.refreshDelivery(row); }},
      {"archive", [](QBYTodayWindow& t, std::size_t row) { t.removeDeliveryFromRow(row); }},
      {"copy", [](QBYTodayWindow& t, std::size_t row) { t.copyDelivery(row); }},
  };
  for (const auto& command : kCommands) {
    auto* action = g_simple_action_new(command.name, G_VARIANT_TYPE_UINT32);
    g_object_set_data(G_OBJECT(action), "porvane-command", reinterpret_cast<gpointer>(command.run));
    g_signal_connect(action, "activate",
                     G_CALLBACK(+[](GSimpleAction* action, GVariant* parameter, gpointer data) {
                       auto run = reinterpret_cast<void (*)(QBYTodayWindow&, std::size_t)>(
                           g_object_get_data(G_OBJECT(action), "porvane-command"));
                       if (run && parameter)
                         run(*static_cast<QBYTodayWindow*>(data), g_variant_get_uint32(parameter));
                     }),
                     this);
    g_action_map_add_action(G_ACTION_MAP(w.actions.get()), G_ACTION(action));
    g_object_unref(action);
  }
  gtk_widget_insert_action_group(w.window, "today", G_ACTION_GROUP(w.actions.get()));

  // Closing ends the window's manager; the application lets go of the window afterwards.
  // Closing destroys the window; the application then lets go of this object, which stops the
  // window's manager.
  g_signal_connect(w.window, "destroy", G_CALLBACK(+[](GtkWidget*, gpointer data) {
                     auto* self = static_cast<QBYTodayWindow*>(data);
                     // The children go with the window; nothing may touch them afterwards.
                     auto& widgets = *self->widgets_;
                     widgets.window = widgets.list = widgets.scroller = widgets.status = nullptr;
                     if (self->application_)
                       qby::MainQueue::async([application = self->application_] {
                         g_object_set_data(G_OBJECT(application), kWindowKey, nullptr);
                       });
                   }),
                   this);
}

QBYTodayWindow::~QBYTodayWindow() {
  observers_.clear();
  if (manager_) {
    manager_->prepareToStop();
    manager_->stop();
  }
  if (completionHandler_) {
    auto handler = std::move(completionHandler_);
    handler(qby::QBYUpdateResultFailed);
  }
  if (widgets_->window) {
    g_signal_handlers_disconnect_by_data(widgets_->window, this);
    gtk_window_destroy(GTK_WINDOW(widgets_->window));
  }
}

GtkWindow* QBYTodayWindow::window() const {
  return GTK_WINDOW(widgets_->window);
}

void QBYTodayWindow::setUpIfNeeded() {
  if (manager_) return;
  if (!dataStore_) {
    dataStore_ =
        environment_.dataStore ? environment_.dataStore : std::make_shared<qby::QBYDataStore>();
  }
  if (!dataStore_->available()) {
    qby::log("The data store is unavailable");
    return;
  }
  syncManager_ = std::make_shared<qby::QBYSyncManager>();
  manager_ = qby::QBYDeliveriesManager::create(environment_.managerOptions);
  manager_->setProcessType(1);
  manager_->setDataStore(dataStore_);
  manager_->setSyncManager(syncManager_);
  manager_->setDelegate(weak_from_this());
  manager_->setNotificationDelegate(weak_from_this());
  std::weak_ptr<QBYTodayWindow> weak = weak_from_this();
  observers_.push_back(qby::QBYNotificationCenter::defaultCenter().addObserver(
      qby::QBYSyncSettingsErrorNotification, nullptr, [weak](const qby::Notification&) {
        qby::MainQueue::async([weak] {
          if (auto self = weak.lock()) self->openURL(kSyncSettingsURL);
        });
      }));
  manager_->start();
}

// --- Updating --------------------------------------------------------------------------------

bool QBYTodayWindow::updateDue() const {
  std::optional<qby::Date> last = updateDate_;
  if (!last && manager_) {
    const auto updated = manager_->lastUpdated();
    if (updated.timeIntervalSince1970() > 1) last = updated;
  }
  return !last || -last->timeIntervalSinceNow() > kUpdateInterval;
}

void QBYTodayWindow::performUpdate(std::function<void(unsigned answer)> completion) {
  if (updatePending_) {
    qby::log("Canceling completion handler");
    updatePending_ = false;
    if (auto handler = std::exchange(completionHandler_, nullptr))
      handler(qby::QBYUpdateResultFailed);
  }
  // A store that was unavailable may be there now (another program created it).
  if (!manager_) {
    dataStore_.reset();
    setUpIfNeeded();
  }
  if (manager_ && updateDue()) {
    completionHandler_ = std::move(completion);
    updatePending_ = true;
    manager_->update();
    return;
  }
  if (manager_) {
    // Not due: the list still shows what other programs stored meanwhile.
    manager_->refresh(false);
    rebuildRows();
  }
  const unsigned answer = manager_ ? qby::QBYUpdateResultNoChanges : qby::QBYUpdateResultFailed;
  lastAnswer_ = answer;
  if (completion) completion(answer);
}

void QBYTodayWindow::completedUpdateWithResult(unsigned updateResult) {
  if (manager_) manager_->refresh(false);
  if (updateResult == qby::QBYUpdateResultNewData) refreshDeliveries();
  callCompletionHandler(updateResult);
}

void QBYTodayWindow::callCompletionHandler(unsigned result) {
  if (!updatePending_) return;
  updatePending_ = false;
  qby::log("Update complete: %@", answerText(result));
  unsigned answer = result;
  auto& defaults = qby::QBYUserDefaults::standardDefaults();
  const qby::Date lastUpdated = manager_ ? manager_->lastUpdated() : qby::Date(0);
  const auto fingerprint = fingerprintOf(manager_ ? manager_->activeDeliveries() : rows_);
  if (answer != qby::QBYUpdateResultNewData) {
    const auto previous = defaults.dateOrNilForKey(QBYLastUpdatedDateKey);
    // Another program updated, added or removed deliveries since the last answer: the list
    // has news although this run found none.
    const bool updatedElsewhere = previous && lastUpdated > *previous;
    const bool listChanged = widgets_->answeredList && *widgets_->answeredList != fingerprint;
    if (updatedElsewhere || listChanged) {
      qby::log("Changed since last update");
      answer = qby::QBYUpdateResultNewData;
    }
  }
  if (!defaults.setObject(qby::Value(lastUpdated), QBYLastUpdatedDateKey))
    qby::log("Error saving the last update date");
  widgets_->answeredList = fingerprint;
  updateDate_ = qby::Date::now();
  // The widget's answers: 0 new data, 1 no data, 2 failed.
  lastAnswer_ = answer == qby::QBYUpdateResultNewData  ? 0u
                : answer == qby::QBYUpdateResultFailed ? 2u
                                                       : 1u;
  if (answer == qby::QBYUpdateResultNewData) refreshDeliveries();
  rebuildRows();
  if (auto handler = std::exchange(completionHandler_, nullptr)) handler(*lastAnswer_);
}

// --- List ------------------------------------------------------------------------------------

std::size_t QBYTodayWindow::minimumVisibleRows(
    const std::vector<std::shared_ptr<qby::Delivery>>& list, const qby::Date& now) {
  std::size_t rows = 0;
  for (const auto& delivery : list) {
    if (rows >= kMinimumRowsAtMost || !delivery) break;
    bool relevant = false;
    if (const auto detail = delivery->selectedDetail()) {
      if (const auto date = detail->date())
        relevant = date->timeIntervalSince(now) < kDueSoonSeconds;
    }
    if (!relevant) {
      if (const auto changed = delivery->statusChangedOrModifiedDate())
        relevant = now.timeIntervalSince(*changed) < kChangedRecentlySeconds;
    }
    if (!relevant) break;
    ++rows;
  }
  return std::clamp(rows, kMinimumRowsAtLeast, kMinimumRowsAtMost);
}

void QBYTodayWindow::refreshDeliveries() {
  rows_ = manager_ ? manager_->activeDeliveries() : std::vector<std::shared_ptr<qby::Delivery>>{};
  minimumRows_ = minimumVisibleRows(rows_, qby::Date::now());
  rebuildRows();
}

void QBYTodayWindow::rebuildRows() {
  if (manager_) {
    rows_ = manager_->activeDeliveries();
    minimumRows_ = minimumVisibleRows(rows_, qby::Date::now());
  }
  auto& w = *widgets_;
  if (!w.window) return;
  while (auto* child = gtk_widget_get_first_child(w.list)) {
    if (!GTK_IS_LIST_BOX_ROW(child)) break;
    gtk_list_box_remove(GTK_LIST_BOX(w.list), child);
  }
  for (std::size_t index = 0; index < rows_.size(); ++index) {
    const auto& delivery = rows_[index];
    const auto detail = delivery->selectedDetail();
    const auto text = qby::QBYDeliveryRowText::forDelivery(
        delivery.get(), detail.get(), manager_->dateFormatter(),
        qby::QBYDeliveryRowText::QBYDisplayStyleNormal);
    // Texts from carriers and other programs reach GTK only as valid UTF-8.
    const std::string title =
        qby::validText(blank(text.title) ? delivery->titleForEmail() : text.title);

    auto* row = gtk_list_box_row_new();
    gtk_widget_set_name(row, ("today-row-" + std::to_string(index)).c_str());
    setAccessibleLabel(row, title);
    auto* line = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
    gtk_widget_set_margin_top(line, 6);
    gtk_widget_set_margin_bottom(line, 6);
    auto* lines = gtk_box_new(GTK_ORIENTATION_VERTICAL, 2);
    gtk_widget_set_hexpand(lines, TRUE);
    auto addLabel = [&](const std::string& markup, bool plain, const char* style) {
      auto* label = gtk_label_new(nullptr);
      if (plain)
        gtk_label_set_text(GTK_LABEL(label), markup.c_str());
      else
        gtk_label_set_markup(GTK_LABEL(label), markup.c_str());
      gtk_label_set_xalign(GTK_LABEL(label), 0);
      gtk_label_set_ellipsize(GTK_LABEL(label), PANGO_ELLIPSIZE_END);
      if (style) gtk_widget_add_css_class(label, style);
      gtk_box_append(GTK_BOX(lines), label);
    };
    std::string titleMarkup = blank(text.title) ? qby::markupEscaped(title) : text.titleMarkup;
    // A delivery of several packages shows which one the row is about.
    if (text.package && text.package->count >= 2) {
      const int alpha = static_cast<int>(text.package->opacity * 100);
      titleMarkup =
          "<span alpha=\"" + std::to_string(alpha) + "%\">" +
          qby::QBYDeliveryDetailText::packageDots(text.package->number - 1, text.package->count) +
          "</span> " + titleMarkup;
    }
    addLabel(titleMarkup, false, "heading");
    if (!blank(text.status))
      addLabel(text.statusMarkup, false, text.statusIsMessage ? "dim-label" : nullptr);
    if (!blank(text.deliver)) addLabel(text.deliverMarkup, false, nullptr);
    gtk_box_append(GTK_BOX(line), lines);

    if (!text.daysNumber.empty()) {
      // The package badge: a click shows the next package of a delivery of several.
      auto* badge = gtk_button_new_with_label(
          qby::validText(text.daysNumber + (text.daysText.empty() ? "" : "\n" + text.daysText))
              .c_str());
      gtk_widget_add_css_class(badge, "flat");
      gtk_widget_set_valign(badge, GTK_ALIGN_CENTER);
      setAccessibleLabel(badge, qby::validText(text.daysNumber + " " + text.daysText));
      gtk_actionable_set_action_name(GTK_ACTIONABLE(badge), "today.next-package");
      gtk_actionable_set_action_target_value(GTK_ACTIONABLE(badge),
                                             g_variant_new_uint32(static_cast<guint32>(index)));
      gtk_box_append(GTK_BOX(line), badge);
    }

    auto menu = qby::GObjectPtr<GMenu>::adopt(g_menu_new());
    auto addItem = [&](const std::string& label, const char* action) {
      auto item = qby::GObjectPtr<GMenuItem>::adopt(g_menu_item_new(label.c_str(), nullptr));
      g_menu_item_set_action_and_target_value(item.get(), action,
                                              g_variant_new_uint32(static_cast<guint32>(index)));
      g_menu_append_item(menu.get(), item.get());
    };
    addItem(QBYLocalizedString("Open in Porvane"), "today.open");
    const auto url = delivery->url();
    if (url && !url->empty())
      addItem(QBYLocalizedString("Open Tracking Page"), "today.open-online");
    if (delivery->details().size() >= 2)
      addItem(QBYLocalizedString("Next Package"), "today.next-package");
    addItem(QBYLocalizedString("Edit"), "today.edit");
    addItem(QBYLocalizedString("Refresh"), "today.refresh");
    addItem(QBYLocalizedString("Copy"), "today.copy");
    addItem(QBYLocalizedString("Archive"), "today.archive");
    auto* more = gtk_menu_button_new();
    gtk_menu_button_set_icon_name(GTK_MENU_BUTTON(more), "view-more-symbolic");
    gtk_menu_button_set_menu_model(GTK_MENU_BUTTON(more), G_MENU_MODEL(menu.get()));
    gtk_widget_add_css_class(more, "flat");
    gtk_widget_set_valign(more, GTK_ALIGN_CENTER);
    gtk_widget_set_tooltip_text(more, QBYLocalizedString("Actions").c_str());
    setAccessibleLabel(more, QBYLocalizedString("Actions"));
    gtk_box_append(GTK_BOX(line), more);
    gtk_list_box_row_set_child(GTK_LIST_BOX_ROW(row), line);

    // Dragging a row onto another moves it there.
    auto* source = gtk_drag_source_new();
    gtk_drag_source_set_actions(source, GDK_ACTION_MOVE);
    g_object_set_data(G_OBJECT(source), "porvane-row", GUINT_TO_POINTER(index + 1));
    g_signal_connect(
        source, "prepare", G_CALLBACK(+[](GtkDragSource* source, double, double, gpointer) {
          const auto row = GPOINTER_TO_UINT(g_object_get_data(G_OBJECT(source), "porvane-row"));
          GValue value = G_VALUE_INIT;
          g_value_init(&value, G_TYPE_UINT);
          g_value_set_uint(&value, row);
          auto* content = gdk_content_provider_new_for_value(&value);
          g_value_unset(&value);
          return content;
        }),
        nullptr);
    gtk_widget_add_controller(row, GTK_EVENT_CONTROLLER(source));
    auto* target = gtk_drop_target_new(G_TYPE_UINT, GDK_ACTION_MOVE);
    g_object_set_data(G_OBJECT(target), "porvane-row", GUINT_TO_POINTER(index + 1));
    g_signal_connect(target, "drop",
                     G_CALLBACK(+[](GtkDropTarget* target, const GValue* value, double, double,
                                    gpointer data) -> gboolean {
                       const auto to =
                           GPOINTER_TO_UINT(g_object_get_data(G_OBJECT(target), "porvane-row"));
                       const auto from = g_value_get_uint(value);
                       if (from == 0 || to == 0) return FALSE;
                       auto* self = static_cast<QBYTodayWindow*>(data);
                       // Rows change under the drop: move once the drag has ended.
                       std::weak_ptr<QBYTodayWindow> weak = self->weak_from_this();
                       qby::MainQueue::async([weak, from, to] {
                         if (auto strong = weak.lock())
                           strong->moveDeliveryFromRow(from - 1, to - 1);
                       });
                       return TRUE;
                     }),
                     this);
    gtk_widget_add_controller(row, GTK_EVENT_CONTROLLER(target));
    gtk_list_box_append(GTK_LIST_BOX(w.list), row);
  }

  // Show at least the relevant rows at the top without scrolling.
  int rowHeight = kFallbackRowHeight;
  if (auto* first = gtk_list_box_get_row_at_index(GTK_LIST_BOX(w.list), 0)) {
    int natural = 0;
    gtk_widget_measure(GTK_WIDGET(first), GTK_ORIENTATION_VERTICAL, 360, nullptr, &natural, nullptr,
                       nullptr);
    if (natural > 0) rowHeight = natural;
  }
  gtk_scrolled_window_set_min_content_height(GTK_SCROLLED_WINDOW(w.scroller),
                                             static_cast<int>(minimumRows_) * rowHeight);
  const auto status = manager_ ? manager_->status() : std::nullopt;
  gtk_label_set_text(GTK_LABEL(w.status), status.value_or("").c_str());
}

bool QBYTodayWindow::moveDeliveryFromRow(std::size_t from, std::size_t to) {
  if (!manager_) return false;
  const auto moved = manager_->moveDeliveryFromRow(static_cast<std::int64_t>(from),
                                                   static_cast<std::int64_t>(to), false);
  if (moved) {
    auto& defaults = qby::QBYUserDefaults::sharedDefaults();
    defaults.setInteger(0, qby::QBYSortModeKey, true);
  }
  refreshDeliveries();
  return moved != nullptr;
}

void QBYTodayWindow::removeDeliveryFromRow(std::size_t row) {
  if (!manager_ || row >= rows_.size()) return;
  manager_->removeDeliveryFromRow(row);
  refreshDeliveries();
}

// --- Row actions -----------------------------------------------------------------------------

std::shared_ptr<qby::Delivery> QBYTodayWindow::deliveryAtRow(std::size_t row) const {
  return row < rows_.size() ? rows_[row] : nullptr;
}

bool QBYTodayWindow::openURL(const std::string& uri) {
  // Addresses come from carriers' answers: only a well-formed one reaches the desktop.
  if (uri.empty() || !g_uri_is_valid(uri.c_str(), G_URI_FLAGS_NONE, nullptr)) {
    qby::log("Tried to open an invalid URL: %@", uri);
    return false;
  }
  return environment_.openURI(uri);
}

void QBYTodayWindow::openDelivery(std::size_t row, bool trackingPage) {
  const auto delivery = deliveryAtRow(row);
  if (!delivery) return;
  if (trackingPage) {
    // A tracking page is a web page; any other scheme could start a local handler.
    const std::string url = delivery->url().value_or("");
    if (url.rfind("https://", 0) != 0 && url.rfind("http://", 0) != 0) {
      qby::log("Tried to open an invalid URL: %@", url);
      return;
    }
    openURL(url);
    return;
  }
  if (const auto url = delivery->showURL()) openURL(url->absoluteString());
}

void QBYTodayWindow::saveChangeOf(const std::shared_ptr<qby::Delivery>& delivery) {
  if (!manager_ || !manager_->dataStore()) return;
  if (!manager_->dataStore()->saveData()) {
    qby::log("Error saving changes to %@", delivery->uuid());
    return;
  }
  if (const auto& sync = manager_->syncManager()) sync->syncObject(delivery, false);
}

void QBYTodayWindow::advancePackage(std::size_t row) {
  const auto delivery = deliveryAtRow(row);
  if (!delivery || delivery->details().size() < 2) return;
  delivery->incrementSelected(1);
  saveChangeOf(delivery);
  rebuildRows();
}

void QBYTodayWindow::editDelivery(std::size_t row) {
  if (const auto delivery = deliveryAtRow(row))
    if (const auto url = delivery->editURL()) openURL(url->absoluteString());
}

void QBYTodayWindow::refreshDelivery(std::size_t row) {
  const auto delivery = deliveryAtRow(row);
  if (!delivery || !manager_) return;
  delivery->markForUpdate();
  saveChangeOf(delivery);
  manager_->update();
}

void QBYTodayWindow::copyDelivery(std::size_t row) {
  const auto delivery = deliveryAtRow(row);
  if (!delivery || !widgets_->window) return;
  auto* clipboard = gtk_widget_get_clipboard(widgets_->window);
  gdk_clipboard_set_text(clipboard, qby::validText(delivery->pasteboardString()).c_str());
}

void QBYTodayWindow::addDelivery() {
  openURL(kAddURL);
}

// --- Delegates -------------------------------------------------------------------------------

void QBYTodayWindow::shouldReloadDeliveries() {
  refreshDeliveries();
}

void QBYTodayWindow::updatedDelivery(const std::shared_ptr<qby::Delivery>& delivery) {
  if (std::find(rows_.begin(), rows_.end(), delivery) != rows_.end()) rebuildRows();
}

void QBYTodayWindow::addedDelivery(const std::shared_ptr<qby::Delivery>&, std::size_t) {
  refreshDeliveries();
}

void QBYTodayWindow::removedDelivery(const std::shared_ptr<qby::Delivery>&, std::size_t, bool) {
  refreshDeliveries();
}

void QBYTodayWindow::presentDeliveryNotification(const qby::QBYNotification& notification) {
  // The window cannot present notifications of its own: the companion does, for the suite.
  environment_.launchCompanion();
  if (manager_)
    manager_->sendWormholeAction(qby::QBYWormholeActionNotification,
                                 qby::Value(notification.dictionary()));
}

void QBYTodayWindow::removeNotificationForUUID(const std::string& uuid) {
  environment_.launchCompanion();
  if (manager_)
    manager_->sendWormholeAction(
        qby::QBYWormholeActionNotification,
        qby::Value(qby::QBYNotification::notificationWithUUID(uuid).dictionary()));
}

}  // namespace porvane::today
