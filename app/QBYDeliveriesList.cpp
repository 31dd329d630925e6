#include "QBYDeliveriesList.h"

#include <pango/pangocairo.h>

#include <algorithm>

#include "PorvaneKit.h"
#include "QBYAlert.h"
#include "QBYDeliveryCommands.h"
#include "QBYRowModel.h"
#include "model/Delivery.h"
#include "model/Detail.h"
#include "model/QBYDeliverySettings.h"
#include "platform/Format.h"
#include "platform/Log.h"
#include "platform/QBYUserDefaults.h"
#include "platform/URL.h"
#include "presentation/QBYDateFormatter.h"
#include "presentation/text/QBYDeliveryDetailText.h"
#include "presentation/text/QBYDeliveryRowText.h"
#include "store/QBYDataStore.h"
#include "sync/QBYDeliveryDocument.h"

namespace porvane::app {

namespace {

constexpr const char* kListItemKey = "qby-list-item";
constexpr int kStatusMargin = 20;

// The actions on the selected delivery, in the window's action map.
constexpr const char* kDeliveryActions[] = {
    "open-online", "edit",        "refresh", "refresh-all", "restore",      "archive",
    "delete",      "copy",        "export",  "print",       "next-package", "previous-package",
    "sign-in",     "troubleshoot"};

GtkWidget* makeLabel(const char* name, const char* cssClass) {
  GtkWidget* label = gtk_label_new(" ");
  gtk_widget_set_name(label, name);
  gtk_label_set_xalign(GTK_LABEL(label), 0);
  gtk_label_set_ellipsize(GTK_LABEL(label), PANGO_ELLIPSIZE_END);
  gtk_label_set_single_line_mode(GTK_LABEL(label), TRUE);
  if (cssClass) gtk_widget_add_css_class(label, cssClass);
  return label;
}

std::string packageDots(const qby::QBYPackageIndicator& package) {
  return qby::QBYDeliveryDetailText::packageDots(package.number - 1, package.count) + " ";
}

}  // namespace

// The C signal handlers; each finds the list through its user data. The widgets they are
// connected to live inside the list's own widget, which the list outlives.
struct QBYDeliveriesList::Callbacks {
  static QBYDeliveriesList& self(gpointer data) { return *static_cast<QBYDeliveriesList*>(data); }

  static void setup(GtkSignalListItemFactory*, GtkListItem* item, gpointer data) {
    GtkWidget* row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 12);
    gtk_widget_set_margin_start(row, 12);
    gtk_widget_set_margin_end(row, 12);
    gtk_widget_set_margin_top(row, 8);
    gtk_widget_set_margin_bottom(row, 8);
    GtkWidget* texts = gtk_box_new(GTK_ORIENTATION_VERTICAL, 2);
    gtk_widget_set_hexpand(texts, TRUE);
    gtk_box_append(GTK_BOX(texts), makeLabel("row-title", "heading"));
    gtk_box_append(GTK_BOX(texts), makeLabel("row-status", nullptr));
    gtk_box_append(GTK_BOX(texts), makeLabel("row-deliver", "dim-label"));
    GtkWidget* days = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    gtk_widget_set_valign(days, GTK_ALIGN_CENTER);
    GtkWidget* number = gtk_label_new("");
    gtk_widget_set_name(number, "row-days-number");
    gtk_widget_add_css_class(number, "title-2");
    GtkWidget* dayText = gtk_label_new("");
    gtk_widget_set_name(dayText, "row-days-text");
    gtk_widget_add_css_class(dayText, "caption");
    gtk_box_append(GTK_BOX(days), number);
    gtk_box_append(GTK_BOX(days), dayText);
    gtk_box_append(GTK_BOX(row), texts);
    gtk_box_append(GTK_BOX(row), days);
    g_object_set_data(G_OBJECT(row), kListItemKey, item);

    GtkDragSource* drag = gtk_drag_source_new();
    gtk_drag_source_set_actions(drag, GDK_ACTION_MOVE);
    g_signal_connect(drag, "prepare", G_CALLBACK(prepareDrag), data);
    gtk_widget_add_controller(row, GTK_EVENT_CONTROLLER(drag));

    GtkDropTarget* drop = gtk_drop_target_new(G_TYPE_UINT, GDK_ACTION_MOVE);
    g_signal_connect(drop, "accept", G_CALLBACK(acceptRowDrop), data);
    g_signal_connect(drop, "drop", G_CALLBACK(dropRow), data);
    gtk_widget_add_controller(row, GTK_EVENT_CONTROLLER(drop));

    GtkGesture* click = gtk_gesture_click_new();
    gtk_gesture_single_set_button(GTK_GESTURE_SINGLE(click), GDK_BUTTON_SECONDARY);
    g_signal_connect(click, "pressed", G_CALLBACK(secondaryClick), data);
    gtk_widget_add_controller(row, GTK_EVENT_CONTROLLER(click));

    gtk_list_item_set_child(item, row);
  }

  static void bind(GtkSignalListItemFactory*, GtkListItem* item, gpointer data) {
    auto& list = self(data);
    const guint position = gtk_list_item_get_position(item);
    if (position >= list.shown_.size()) return;
    const auto& delivery = list.shown_[position];
    const auto detail = delivery->selectedDetail();
    const auto text = qby::QBYDeliveryRowText::forDelivery(
        delivery.get(), detail.get(), list.manager_->dateFormatter(),
        qby::QBYDeliveryRowText::QBYDisplayStyleNormal);
    GtkWidget* row = gtk_list_item_get_child(item);
    GtkWidget* texts = gtk_widget_get_first_child(row);
    GtkWidget* title = gtk_widget_get_first_child(texts);
    GtkWidget* status = gtk_widget_get_next_sibling(title);
    GtkWidget* deliver = gtk_widget_get_next_sibling(status);
    const std::string dots = text.package ? packageDots(*text.package) : std::string();
    gtk_label_set_markup(GTK_LABEL(title), (dots + text.titleMarkup).c_str());
    gtk_label_set_markup(GTK_LABEL(status), text.statusMarkup.c_str());
    gtk_label_set_markup(GTK_LABEL(deliver), text.deliverMarkup.c_str());
    GtkWidget* days = gtk_widget_get_next_sibling(texts);
    GtkWidget* number = gtk_widget_get_first_child(days);
    gtk_label_set_text(GTK_LABEL(number), text.daysNumber.c_str());
    gtk_label_set_text(GTK_LABEL(gtk_widget_get_next_sibling(number)), text.daysText.c_str());
    const std::string name = text.title + ", " + text.status + ", " + text.deliver;
    gtk_accessible_update_property(GTK_ACCESSIBLE(row), GTK_ACCESSIBLE_PROPERTY_LABEL, name.c_str(),
                                   -1);
  }

  static std::optional<guint> rowPosition(GtkEventController* controller) {
    GtkWidget* row = gtk_event_controller_get_widget(controller);
    auto* item = static_cast<GtkListItem*>(g_object_get_data(G_OBJECT(row), kListItemKey));
    if (!item) return std::nullopt;
    const guint position = gtk_list_item_get_position(item);
    if (position == GTK_INVALID_LIST_POSITION) return std::nullopt;
    return position;
  }

  static GdkContentProvider* prepareDrag(GtkDragSource* source, double, double, gpointer data) {
    auto& list = self(data);
    const auto position = rowPosition(GTK_EVENT_CONTROLLER(source));
    if (!position || *position >= list.shown_.size()) return nullptr;
    // The row index for reordering inside the list, and the delivery's text for anywhere
    // else a text can be dropped.
    const std::string text = list.shown_[*position]->pasteboardString();
    GdkContentProvider* providers[] = {gdk_content_provider_new_typed(G_TYPE_UINT, *position),
                                       gdk_content_provider_new_typed(G_TYPE_STRING, text.c_str())};
    return gdk_content_provider_new_union(providers, 2);
  }

  static gboolean acceptRowDrop(GtkDropTarget*, GdkDrop*, gpointer data) {
    return !self(data).searchActive();
  }

  static gboolean dropRow(GtkDropTarget* target, const GValue* value, double, double,
                          gpointer data) {
    if (!G_VALUE_HOLDS_UINT(value)) return FALSE;
    const auto to = rowPosition(GTK_EVENT_CONTROLLER(target));
    if (!to) return FALSE;
    return self(data).moveRow(g_value_get_uint(value), *to);
  }

  static gboolean acceptOutsideDrop(GtkDropTarget*, GdkDrop* drop, gpointer) {
    // Rows dragged inside the list are the row targets' business.
    return !gdk_content_formats_contain_gtype(gdk_drop_get_formats(drop), G_TYPE_UINT);
  }

  static gboolean dropOutside(GtkDropTarget*, const GValue* value, double, double, gpointer data) {
    std::vector<std::string> uris;
    std::optional<std::string> text;
    if (G_VALUE_HOLDS(value, GDK_TYPE_FILE_LIST)) {
      auto* files = static_cast<GSList*>(g_value_get_boxed(value));
      for (GSList* node = files; node; node = node->next) {
        qby::GCharPtr uri(g_file_get_uri(G_FILE(node->data)));
        if (uri) uris.emplace_back(uri.get());
      }
    } else if (G_VALUE_HOLDS_STRING(value) && g_value_get_string(value)) {
      const char* raw = g_value_get_string(value);
      // Text from another program: only valid UTF-8 goes further.
      qby::GCharPtr valid(g_utf8_make_valid(raw, -1));
      text = valid.get();
    }
    return self(data).dropURIs(uris, text);
  }

  static void secondaryClick(GtkGestureClick* gesture, int, double x, double y, gpointer data) {
    auto& list = self(data);
    const auto position = rowPosition(GTK_EVENT_CONTROLLER(gesture));
    if (!position) return;
    const GdkModifierType state =
        gtk_event_controller_get_current_event_state(GTK_EVENT_CONTROLLER(gesture));
    GMenuModel* menu = list.contextMenuForRow(*position, (state & GDK_SHIFT_MASK) != 0);
    if (!menu) return;
    GtkWidget* row = gtk_event_controller_get_widget(GTK_EVENT_CONTROLLER(gesture));
    list.dropContextPopover();
    list.contextPopover_ = gtk_popover_menu_new_from_model(menu);
    // Our own reference: the row may be recycled or destroyed while the menu is open.
    g_object_ref_sink(list.contextPopover_);
    gtk_widget_set_parent(list.contextPopover_, row);
    gtk_popover_set_has_arrow(GTK_POPOVER(list.contextPopover_), FALSE);
    const GdkRectangle at{static_cast<int>(x), static_cast<int>(y), 1, 1};
    gtk_popover_set_pointing_to(GTK_POPOVER(list.contextPopover_), &at);
    g_signal_connect(list.contextPopover_, "closed", G_CALLBACK(popoverClosed), data);
    gtk_popover_popup(GTK_POPOVER(list.contextPopover_));
  }

  static void popoverClosed(GtkPopover* popover, gpointer data) {
    auto& list = self(data);
    if (list.contextPopover_ != GTK_WIDGET(popover)) return;
    // Unparented later: the menu activates its item after it closes. The idle call takes
    // over the list's reference.
    list.contextPopover_ = nullptr;
    g_idle_add_full(
        G_PRIORITY_LOW,
        [](gpointer widget) -> gboolean {
          if (gtk_widget_get_parent(GTK_WIDGET(widget))) gtk_widget_unparent(GTK_WIDGET(widget));
          g_object_unref(widget);
          return G_SOURCE_REMOVE;
        },
        popover, nullptr);
  }

  static void selectionChanged(GtkSingleSelection*, GParamSpec*, gpointer data) {
    auto& list = self(data);
    if (list.selecting_) return;
    list.host_.selectedDeliveryChanged(list.selectedDelivery());
  }

  static void activated(GtkListView*, guint position, gpointer data) {
    auto& list = self(data);
    if (position < list.shown_.size()) list.stepPackage(list.shown_[position], 1);
  }

  static void action(GSimpleAction* action, GVariant* parameter, gpointer data) {
    auto& list = self(data);
    const std::string name = g_action_get_name(G_ACTION(action));
    if (name == "refresh-all") {
      list.manager_->manualUpdate(qby::QBYForceUpdateAll);
      return;
    }
    const auto delivery = list.selectedDelivery();
    if (!delivery) return;
    if (name == "open-online")
      list.openOnline(delivery);
    else if (name == "edit" && delivery->uuid())
      list.host_.openEditWindow(*delivery->uuid());
    else if (name == "refresh")
      list.refresh(delivery);
    else if (name == "restore")
      list.restore(delivery);
    else if (name == "archive")
      list.archive(delivery);
    else if (name == "delete")
      list.confirmDelete(delivery);
    else if (name == "copy")
      list.copy(delivery);
    else if (name == "export")
      list.chooseExportFile(delivery);
    else if (name == "print")
      list.print(delivery);
    else if (name == "next-package")
      list.stepPackage(delivery, 1);
    else if (name == "previous-package")
      list.stepPackage(delivery, -1);
    else if (name == "sign-in" && delivery->uuid())
      list.host_.signInForDelivery(*delivery->uuid());
    else if (name == "troubleshoot" && delivery->uuid())
      list.host_.troubleshootDelivery(*delivery->uuid());
    else if (name == "show-package" && parameter)
      list.showPackage(delivery, g_variant_get_int64(parameter));
  }
};

QBYDeliveriesList::QBYDeliveriesList(std::shared_ptr<qby::QBYDeliveriesManager> manager,
                                     QBYDeliveriesListHost& host)
    : manager_(std::move(manager)), host_(host) {}

QBYDeliveriesList::~QBYDeliveriesList() {
  refreshTimer_.stop();
  observers_.clear();
  dropContextPopover();
  rememberDialog(nullptr);
  if (overlay_) g_object_unref(overlay_);
}

void QBYDeliveriesList::attach(GActionMap* window, AdwToastOverlay* toasts) {
  toasts_ = toasts;
  buildView();
  addActions(window);
  manager_->setDelegate(weak_from_this());

  std::weak_ptr<QBYDeliveriesList> weak = weak_from_this();
  observers_.push_back(qby::QBYNotificationCenter::defaultCenter().addObserver(
      qby::QBYDeliveriesChangeNotification, nullptr, [weak](const qby::Notification& note) {
        auto self = weak.lock();
        if (!self) return;
        const qby::Value* status = note.userInfo.find(qby::QBYDeliveriesStatusKey);
        if (status) self->showStatus(status->asString());
      }));
  // Relative dates ("in 2 days", "yesterday") change with the clock.
  refreshTimer_.startWithUnit(qby::QBYCalendarUnitMinute, [weak] {
    if (auto self = weak.lock()) self->rebindAll();
  });
  // The first frame shows the list: the manager fetches it here if it has not yet.
  if (manager_->deliveries().empty()) manager_->reloadDeliveries();
  reload();
  showStatus(manager_->status());
}

void QBYDeliveriesList::buildView() {
  model_ = newRowModel();
  selection_ = gtk_single_selection_new(G_LIST_MODEL(model_));
  gtk_single_selection_set_autoselect(selection_, FALSE);
  gtk_single_selection_set_can_unselect(selection_, TRUE);
  g_signal_connect(selection_, "notify::selected", G_CALLBACK(Callbacks::selectionChanged), this);

  GtkListItemFactory* factory = gtk_signal_list_item_factory_new();
  g_signal_connect(factory, "setup", G_CALLBACK(Callbacks::setup), this);
  g_signal_connect(factory, "bind", G_CALLBACK(Callbacks::bind), this);
  view_ = GTK_LIST_VIEW(gtk_list_view_new(GTK_SELECTION_MODEL(selection_), factory));
  gtk_widget_set_name(GTK_WIDGET(view_), "deliveries-list");
  gtk_widget_add_css_class(GTK_WIDGET(view_), "navigation-sidebar");
  gtk_accessible_update_property(GTK_ACCESSIBLE(view_), GTK_ACCESSIBLE_PROPERTY_LABEL,
                                 QBYLocalizedString("Deliveries").c_str(), -1);
  g_signal_connect(view_, "activate", G_CALLBACK(Callbacks::activated), this);

  GtkWidget* scrolled = gtk_scrolled_window_new();
  gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scrolled), GTK_POLICY_NEVER,
                                 GTK_POLICY_AUTOMATIC);
  gtk_scrolled_window_set_child(GTK_SCROLLED_WINDOW(scrolled), GTK_WIDGET(view_));
  gtk_widget_set_vexpand(scrolled, TRUE);

  overlay_ = gtk_overlay_new();
  g_object_ref_sink(overlay_);
  gtk_overlay_set_child(GTK_OVERLAY(overlay_), scrolled);

  emptyLabel_ = gtk_label_new(QBYLocalizedString("You do not have\nany deliveries").c_str());
  gtk_widget_set_name(emptyLabel_, "empty-list");
  gtk_label_set_justify(GTK_LABEL(emptyLabel_), GTK_JUSTIFY_CENTER);
  gtk_widget_add_css_class(emptyLabel_, "dim-label");
  gtk_widget_add_css_class(emptyLabel_, "title-3");
  gtk_widget_set_halign(emptyLabel_, GTK_ALIGN_CENTER);
  gtk_widget_set_valign(emptyLabel_, GTK_ALIGN_CENTER);
  gtk_widget_set_can_target(emptyLabel_, FALSE);
  gtk_overlay_add_overlay(GTK_OVERLAY(overlay_), emptyLabel_);

  statusLabel_ = gtk_label_new("");
  gtk_widget_set_name(statusLabel_, "status-line");
  gtk_label_set_ellipsize(GTK_LABEL(statusLabel_), PANGO_ELLIPSIZE_END);
  GtkWidget* statusBox = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
  gtk_widget_add_css_class(statusBox, "osd");
  gtk_widget_add_css_class(statusBox, "toolbar");
  gtk_box_append(GTK_BOX(statusBox), statusLabel_);
  statusRevealer_ = gtk_revealer_new();
  gtk_revealer_set_transition_type(GTK_REVEALER(statusRevealer_),
                                   GTK_REVEALER_TRANSITION_TYPE_CROSSFADE);
  gtk_revealer_set_child(GTK_REVEALER(statusRevealer_), statusBox);
  gtk_widget_set_valign(statusRevealer_, GTK_ALIGN_END);
  gtk_widget_set_halign(statusRevealer_, GTK_ALIGN_CENTER);
  for (auto setMargin :
       {gtk_widget_set_margin_start, gtk_widget_set_margin_end, gtk_widget_set_margin_bottom})
    setMargin(statusRevealer_, kStatusMargin);
  gtk_widget_set_can_target(statusRevealer_, FALSE);
  gtk_overlay_add_overlay(GTK_OVERLAY(overlay_), statusRevealer_);

  // Web addresses and files from other programs: to the application's opener.
  GtkDropTarget* drop = gtk_drop_target_new(G_TYPE_INVALID, GDK_ACTION_COPY);
  GType types[] = {GDK_TYPE_FILE_LIST, G_TYPE_STRING};
  gtk_drop_target_set_gtypes(drop, types, G_N_ELEMENTS(types));
  g_signal_connect(drop, "accept", G_CALLBACK(Callbacks::acceptOutsideDrop), this);
  g_signal_connect(drop, "drop", G_CALLBACK(Callbacks::dropOutside), this);
  gtk_widget_add_controller(overlay_, GTK_EVENT_CONTROLLER(drop));
}

void QBYDeliveriesList::addActions(GActionMap* window) {
  for (const char* name : kDeliveryActions) {
    qby::GObjectPtr<GSimpleAction> action =
        qby::GObjectPtr<GSimpleAction>::adopt(g_simple_action_new(name, nullptr));
    g_signal_connect(action.get(), "activate", G_CALLBACK(Callbacks::action), this);
    g_action_map_add_action(window, G_ACTION(action.get()));
  }
  qby::GObjectPtr<GSimpleAction> show = qby::GObjectPtr<GSimpleAction>::adopt(
      g_simple_action_new("show-package", G_VARIANT_TYPE_INT64));
  g_signal_connect(show.get(), "activate", G_CALLBACK(Callbacks::action), this);
  g_action_map_add_action(window, G_ACTION(show.get()));
}

void QBYDeliveriesList::dropContextPopover() {
  if (!contextPopover_) return;
  GtkWidget* popover = std::exchange(contextPopover_, nullptr);
  if (gtk_widget_get_parent(popover)) gtk_widget_unparent(popover);
  g_object_unref(popover);
}

void QBYDeliveriesList::rememberDialog(GtkWidget* dialog) {
  // Weakly: the dialog goes away when answered.
  if (lastDialog_)
    g_object_remove_weak_pointer(G_OBJECT(lastDialog_), reinterpret_cast<gpointer*>(&lastDialog_));
  lastDialog_ = dialog;
  if (lastDialog_)
    g_object_add_weak_pointer(G_OBJECT(lastDialog_), reinterpret_cast<gpointer*>(&lastDialog_));
}

// --- Content -----------------------------------------------------------------------------------

void QBYDeliveriesList::reload() {
  showRows(true);
}

void QBYDeliveriesList::showRows(bool rebind) {
  if (!searchActive()) {
    replaceRows(manager_->deliveries(), rebind);
    return;
  }
  const unsigned scope = searchScope_ < 0 ? 0u : static_cast<unsigned>(searchScope_);
  replaceRows(manager_->deliveriesMatchingSearch(searchString_, scope), rebind);
}

void QBYDeliveriesList::replaceRows(std::vector<std::shared_ptr<qby::Delivery>> rows, bool rebind) {
  const auto selected = selectedDelivery();
  // The same records in the same order (typing on while every row still matches) leave the
  // view alone; anything else rebuilds the rows on screen only.
  const bool same = !rebind && rows == shown_;
  const guint previous = rowCount(model_);
  shown_ = std::move(rows);
  if (!same) {
    selecting_ = true;
    spliceRows(model_, 0, previous, static_cast<guint>(shown_.size()));
    gtk_single_selection_set_selected(selection_, GTK_INVALID_LIST_POSITION);
    if (selected) {
      if (const auto row = rowOfDelivery(*selected))
        gtk_single_selection_set_selected(selection_, static_cast<guint>(*row));
    }
    selecting_ = false;
  }
  updateEmptyText();
  const auto now = selectedDelivery();
  if (now != selected) host_.selectedDeliveryChanged(now);
}

void QBYDeliveriesList::rebindRow(std::size_t row) {
  if (row >= shown_.size()) return;
  const bool wasSelected = gtk_single_selection_get_selected(selection_) == row;
  selecting_ = true;
  spliceRows(model_, static_cast<guint>(row), 1, 1);
  if (wasSelected) gtk_single_selection_set_selected(selection_, static_cast<guint>(row));
  selecting_ = false;
}

void QBYDeliveriesList::rebindAll() {
  replaceRows(shown_, true);
}

void QBYDeliveriesList::updateEmptyText() {
  gtk_widget_set_visible(emptyLabel_, shown_.empty() && !searchActive());
}

std::shared_ptr<qby::Delivery> QBYDeliveriesList::selectedDelivery() const {
  if (!selection_) return nullptr;
  const guint position = gtk_single_selection_get_selected(selection_);
  if (position == GTK_INVALID_LIST_POSITION || position >= shown_.size()) return nullptr;
  return shown_[position];
}

std::optional<std::size_t> QBYDeliveriesList::rowOfDelivery(const qby::Delivery& delivery) const {
  const auto uuid = delivery.uuid();
  for (std::size_t i = 0; i < shown_.size(); ++i) {
    if (shown_[i].get() == &delivery || (uuid && shown_[i]->uuid() == uuid)) return i;
  }
  return std::nullopt;
}

bool QBYDeliveriesList::selectDelivery(const std::shared_ptr<qby::Delivery>& delivery) {
  if (!delivery) return false;
  auto row = rowOfDelivery(*delivery);
  if (!row && searchActive()) {
    // A delivery outside the results is shown by leaving the search.
    setSearchString("");
    row = rowOfDelivery(*delivery);
  }
  if (!row) return false;
  if (gtk_single_selection_get_selected(selection_) == *row) {
    // Already selected: presenting it again shows its current state.
    host_.selectedDeliveryChanged(shown_[*row]);
  } else {
    gtk_single_selection_set_selected(selection_, static_cast<guint>(*row));
  }
  gtk_widget_activate_action(GTK_WIDGET(view_), "list.scroll-to-item", "u",
                             static_cast<guint>(*row));
  return true;
}

// --- Search ------------------------------------------------------------------------------------

void QBYDeliveriesList::setSearchString(const std::string& text) {
  searchString_ = text;
  if (searchScope_ == QBYSearchScopeNone && !text.empty()) {
    searchScope_ = QBYSearchScopeAll;
    qby::QBYNotificationCenter::defaultCenter().post(QBYSearchScopeDidChangeNotification, this);
  }
  // The records did not change, only which of them show.
  showRows(false);
}

void QBYDeliveriesList::setSearchScope(int scope) {
  if (scope < QBYSearchScopeNone || scope > QBYSearchScopeActive) return;
  searchScope_ = scope;
  showRows(false);
}

// --- Commands ----------------------------------------------------------------------------------

void QBYDeliveriesList::archive(const std::shared_ptr<qby::Delivery>& delivery) {
  if (!delivery || delivery->archived() || !delivery->uuid()) return;
  qby::QBYDeliverySettings settings;
  settings.uuid = delivery->uuid();
  const std::string title = delivery->titleLimitedToLength(30);
  manager_->removeDeliveryWithSettings(settings);
  if (!toasts_) return;
  AdwToast* toast = adw_toast_new(qby::format(QBYLocalizedString("Archived “%@”"), title).c_str());
  adw_toast_set_button_label(toast, QBYLocalizedString("Undo").c_str());
  adw_toast_set_priority(toast, ADW_TOAST_PRIORITY_HIGH);
  // The delivery is found again by its uuid: the record may be refaulted meanwhile.
  struct Undo {
    std::weak_ptr<QBYDeliveriesList> list;
    std::string uuid;
  };
  auto undo = std::make_unique<Undo>(Undo{weak_from_this(), *delivery->uuid()});
  g_signal_connect_data(
      toast, "button-clicked", G_CALLBACK(+[](AdwToast*, gpointer data) {
        auto* undo = static_cast<Undo*>(data);
        auto list = undo->list.lock();
        if (!list) return;
        auto record = list->manager_->deliveryWithUUID(undo->uuid);
        if (record) list->restore(record);
      }),
      undo.release(),
      [](gpointer data, GClosure*) { std::unique_ptr<Undo>(static_cast<Undo*>(data)); },
      GConnectFlags(0));
  lastToast_ = toast;
  g_signal_connect(toast, "dismissed", G_CALLBACK(+[](AdwToast* dismissed, gpointer data) {
                     auto* list = static_cast<QBYDeliveriesList*>(data);
                     if (list->lastToast_ == dismissed) list->lastToast_ = nullptr;
                   }),
                   this);
  adw_toast_overlay_add_toast(toasts_, toast);
}

void QBYDeliveriesList::restore(const std::shared_ptr<qby::Delivery>& delivery) {
  if (!delivery) return;
  auto settings = qby::QBYDeliverySettings::settingsWithDictionary(delivery->attributes());
  settings.archived = false;
  settings.modified = 0;
  manager_->saveDeliveryWithSettings(settings);
}

void QBYDeliveriesList::confirmDelete(const std::shared_ptr<qby::Delivery>& delivery) {
  if (!delivery || !delivery->uuid()) return;
  const QBYDeleteConfirmation confirmation = deleteConfirmationForDelivery(*delivery);
  QBYAlertSpec spec;
  spec.heading = confirmation.heading;
  spec.body = confirmation.body;
  spec.responses = confirmation.responses;
  spec.closeResponse = "cancel";
  spec.defaultResponse = "cancel";
  spec.destructiveResponse = "delete";
  std::weak_ptr<QBYDeliveriesList> weak = weak_from_this();
  const std::string uuid = *delivery->uuid();
  rememberDialog(
      presentAlert(host_.parentWindow(), spec, [weak, uuid](const std::string& response) {
        auto self = weak.lock();
        if (!self) return;
        auto record = self->manager_->deliveryWithUUID(uuid);
        if (!record) return;
        if (response == "delete") {
          qby::QBYDeliverySettings settings;
          settings.uuid = uuid;
          settings.shouldDelete = true;
          self->manager_->removeDeliveryWithSettings(settings);
        } else if (response == "archive") {
          self->archive(record);
        }
      }));
}

void QBYDeliveriesList::refresh(const std::shared_ptr<qby::Delivery>& delivery) {
  if (!delivery || delivery->archived()) return;
  manager_->manualUpdate(qby::QBYForceUpdateSoft);
}

void QBYDeliveriesList::copy(const std::shared_ptr<qby::Delivery>& delivery) {
  if (!delivery) return;
  gdk_clipboard_set_text(gtk_widget_get_clipboard(GTK_WIDGET(view_)),
                         delivery->pasteboardString().c_str());
}

void QBYDeliveriesList::chooseExportFile(const std::shared_ptr<qby::Delivery>& delivery) {
  if (!delivery) return;
  const std::string label = QBYLocalizedString("Export");
  GtkFileChooserNative* chooser = gtk_file_chooser_native_new(
      label.c_str(), host_.parentWindow(), GTK_FILE_CHOOSER_ACTION_SAVE, label.c_str(), nullptr);
  gtk_file_chooser_set_current_name(
      GTK_FILE_CHOOSER(chooser),
      exportFileNameForDelivery(*delivery, qby::QBYDeliveryDocumentExtension).c_str());
  qby::GObjectPtr<GtkFileFilter> filter =
      qby::GObjectPtr<GtkFileFilter>::adopt(gtk_file_filter_new());
  gtk_file_filter_set_name(filter.get(), QBYLocalizedString("Porvane Delivery").c_str());
  gtk_file_filter_add_mime_type(filter.get(), qby::QBYDeliveryDocumentMIMEType);
  gtk_file_filter_add_suffix(filter.get(), qby::QBYDeliveryDocumentExtension);
  gtk_file_chooser_add_filter(GTK_FILE_CHOOSER(chooser), filter.get());
  gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(chooser), TRUE);
  struct Export {
    std::weak_ptr<QBYDeliveriesList> list;
    std::string uuid;
  };
  auto state = std::make_unique<Export>(Export{weak_from_this(), delivery->uuid().value_or("")});
  g_signal_connect_data(
      chooser, "response", G_CALLBACK(+[](GtkNativeDialog* dialog, int response, gpointer data) {
        auto* state = static_cast<Export*>(data);
        auto list = state->list.lock();
        if (list && response == GTK_RESPONSE_ACCEPT) {
          qby::GObjectPtr<GFile> file =
              qby::GObjectPtr<GFile>::adopt(gtk_file_chooser_get_file(GTK_FILE_CHOOSER(dialog)));
          qby::GCharPtr path(file ? g_file_get_path(file.get()) : nullptr);
          auto record = list->manager_->deliveryWithUUID(state->uuid);
          if (path && record) list->exportToFile(record, path.get());
        }
        g_object_unref(dialog);
      }),
      state.release(),
      [](gpointer data, GClosure*) { std::unique_ptr<Export>(static_cast<Export*>(data)); },
      GConnectFlags(0));
  gtk_native_dialog_show(GTK_NATIVE_DIALOG(chooser));
}

bool QBYDeliveriesList::exportToFile(const std::shared_ptr<qby::Delivery>& delivery,
                                     const std::filesystem::path& file) {
  if (!delivery) return false;
  // The document is written as a new file beside the target, then renamed over it: the
  // user already agreed to replace an existing file, and it stays whole until the new one
  // is complete.
  std::filesystem::path partial = file;
  partial += ".partial-" + std::to_string(g_random_int());
  qby::QBYError error;
  std::string reason;
  if (qby::QBYDeliveryDocument::saveObject(*delivery, partial, &error)) {
    std::error_code renameError;
    std::filesystem::rename(partial, file, renameError);
    if (!renameError) return true;
    reason = renameError.message();
  } else {
    reason = error.localizedDescription.empty() ? error.description() : error.localizedDescription;
  }
  std::error_code ignored;
  std::filesystem::remove(partial, ignored);
  qby::log("Unable to export delivery: %@, %@", file.string(), reason);
  QBYAlertSpec spec;
  spec.heading = QBYLocalizedString("Unable to Export");
  spec.body = reason;
  spec.responses = {{"ok", QBYLocalizedString("OK")}};
  spec.defaultResponse = spec.closeResponse = "ok";
  rememberDialog(presentAlert(host_.parentWindow(), spec, [](const std::string&) {}));
  return false;
}

namespace {

// One print job's text and its pagination.
struct PrintJob {
  std::string text;
  std::vector<int> pageStarts;  // first line of each page
};

void beginPrint(GtkPrintOperation* operation, GtkPrintContext* context, gpointer data) {
  auto* job = static_cast<PrintJob*>(data);
  qby::GObjectPtr<PangoLayout> layout =
      qby::GObjectPtr<PangoLayout>::adopt(gtk_print_context_create_pango_layout(context));
  pango_layout_set_width(layout.get(),
                         static_cast<int>(gtk_print_context_get_width(context) * PANGO_SCALE));
  pango_layout_set_wrap(layout.get(), PANGO_WRAP_WORD_CHAR);
  pango_layout_set_text(layout.get(), job->text.c_str(), -1);
  const double pageHeight = gtk_print_context_get_height(context);
  job->pageStarts = {0};
  double used = 0;
  const int lines = pango_layout_get_line_count(layout.get());
  for (int i = 0; i < lines; ++i) {
    PangoRectangle logical;
    pango_layout_line_get_extents(pango_layout_get_line_readonly(layout.get(), i), nullptr,
                                  &logical);
    const double height = static_cast<double>(logical.height) / PANGO_SCALE;
    if (used + height > pageHeight && used > 0) {
      job->pageStarts.push_back(i);
      used = 0;
    }
    used += height;
  }
  gtk_print_operation_set_n_pages(operation, static_cast<int>(job->pageStarts.size()));
}

void drawPage(GtkPrintOperation*, GtkPrintContext* context, int page, gpointer data) {
  auto* job = static_cast<PrintJob*>(data);
  cairo_t* cairo = gtk_print_context_get_cairo_context(context);
  qby::GObjectPtr<PangoLayout> layout =
      qby::GObjectPtr<PangoLayout>::adopt(gtk_print_context_create_pango_layout(context));
  pango_layout_set_width(layout.get(),
                         static_cast<int>(gtk_print_context_get_width(context) * PANGO_SCALE));
  pango_layout_set_wrap(layout.get(), PANGO_WRAP_WORD_CHAR);
  pango_layout_set_text(layout.get(), job->text.c_str(), -1);
  const int first = job->pageStarts[static_cast<std::size_t>(page)];
  const int last = static_cast<std::size_t>(page) + 1 < job->pageStarts.size()
                       ? job->pageStarts[static_cast<std::size_t>(page) + 1]
                       : pango_layout_get_line_count(layout.get());
  double y = 0;
  cairo_set_source_rgb(cairo, 0, 0, 0);
  for (int i = first; i < last; ++i) {
    PangoLayoutLine* line = pango_layout_get_line_readonly(layout.get(), i);
    PangoRectangle logical;
    pango_layout_line_get_extents(line, nullptr, &logical);
    const double baseline = static_cast<double>(-logical.y) / PANGO_SCALE;
    cairo_move_to(cairo, 0, y + baseline);
    pango_cairo_show_layout_line(cairo, line);
    y += static_cast<double>(logical.height) / PANGO_SCALE;
  }
}

}  // namespace

bool QBYDeliveriesList::print(const std::shared_ptr<qby::Delivery>& delivery,
                              const std::optional<std::filesystem::path>& pdf) {
  if (!delivery) return false;
  qby::GObjectPtr<GtkPrintOperation> operation =
      qby::GObjectPtr<GtkPrintOperation>::adopt(gtk_print_operation_new());
  auto job = std::make_unique<PrintJob>();
  job->text = delivery->pasteboardString();
  gtk_print_operation_set_job_name(operation.get(), delivery->titleLimitedToLength(32).c_str());
  gtk_print_operation_set_embed_page_setup(operation.get(), TRUE);
  g_signal_connect(operation.get(), "begin-print", G_CALLBACK(beginPrint), job.get());
  g_signal_connect(operation.get(), "draw-page", G_CALLBACK(drawPage), job.get());
  g_object_set_data_full(
      G_OBJECT(operation.get()), "qby-print-job", job.release(),
      [](gpointer data) { std::unique_ptr<PrintJob>(static_cast<PrintJob*>(data)); });
  GtkPrintOperationAction action = GTK_PRINT_OPERATION_ACTION_PRINT_DIALOG;
  if (pdf) {
    gtk_print_operation_set_export_filename(operation.get(), pdf->c_str());
    action = GTK_PRINT_OPERATION_ACTION_EXPORT;
  }
  GError* raw = nullptr;
  const GtkPrintOperationResult result =
      gtk_print_operation_run(operation.get(), action, host_.parentWindow(), &raw);
  qby::GErrorPtr error(raw);
  if (result == GTK_PRINT_OPERATION_RESULT_ERROR) {
    qby::log("Unable to print: %@", error ? error->message : "unknown error");
    return false;
  }
  return result != GTK_PRINT_OPERATION_RESULT_CANCEL;
}

void QBYDeliveriesList::openOnline(const std::shared_ptr<qby::Delivery>& delivery) {
  if (!delivery) return;
  if (const auto url = delivery->onlineURL()) host_.openWebPage(url->absoluteString());
}

void QBYDeliveriesList::showPackage(const std::shared_ptr<qby::Delivery>& delivery,
                                    std::int64_t index) {
  if (!delivery || index < 0 || static_cast<std::size_t>(index) >= delivery->details().size())
    return;
  delivery->setSelected(index);
  saveSelectionChange(delivery);
}

void QBYDeliveriesList::stepPackage(const std::shared_ptr<qby::Delivery>& delivery, int step) {
  if (!delivery || delivery->details().size() < 2) return;
  // setSelected wraps: past the last package comes the first, before the first the last.
  delivery->setSelected(delivery->selected() + step);
  saveSelectionChange(delivery);
}

void QBYDeliveriesList::saveSelectionChange(const std::shared_ptr<qby::Delivery>& delivery) {
  if (auto* store = manager_->dataStore()) store->saveData();
  if (const auto row = rowOfDelivery(*delivery)) rebindRow(*row);
  if (selectedDelivery() == delivery) host_.selectedDeliveryChanged(delivery);
}

bool QBYDeliveriesList::moveRow(std::int64_t from, std::int64_t to) {
  if (searchActive()) return false;
  const auto count = static_cast<std::int64_t>(shown_.size());
  if (from < 0 || from >= count) return false;
  to = std::clamp<std::int64_t>(to, 0, count);
  const auto moved = manager_->moveDeliveryFromRow(from, to, true);
  if (!moved) return false;
  // The user's order is now the list's order.
  qby::QBYDataStore::sharedDefaults().setInteger(0, "QBYSortMode", true);
  reload();
  selectDelivery(moved);
  return true;
}

bool QBYDeliveriesList::dropURIs(const std::vector<std::string>& uris,
                                 const std::optional<std::string>& text) {
  const std::vector<std::string> accepted = acceptedDropURIs(uris, text);
  if (accepted.empty()) return false;
  host_.openURIs(accepted);
  return true;
}

GMenuModel* QBYDeliveriesList::contextMenuForRow(std::size_t row, bool alternate) {
  if (row >= shown_.size()) return nullptr;
  gtk_single_selection_set_selected(selection_, static_cast<guint>(row));
  const auto& delivery = shown_[row];
  contextMenu_ = qby::GObjectPtr<GMenu>::adopt(g_menu_new());
  qby::GObjectPtr<GMenu> section = qby::GObjectPtr<GMenu>::adopt(g_menu_new());
  GAppInfo* browser = g_app_info_get_default_for_uri_scheme("https");
  const std::string browserName =
      browser ? g_app_info_get_display_name(browser) : QBYLocalizedString("Browser");
  if (browser) g_object_unref(browser);
  for (const auto& command :
       commandsForDelivery(*delivery, QBYMenuPlace::ContextMenu, alternate, browserName)) {
    if (command.action == "show-package") {
      qby::GObjectPtr<GMenu> packages = qby::GObjectPtr<GMenu>::adopt(g_menu_new());
      const auto details = delivery->sortedDetails();
      for (const auto& detail : details) {
        qby::GObjectPtr<GMenuItem> item = qby::GObjectPtr<GMenuItem>::adopt(g_menu_item_new(
            detail->itemName().value_or(delivery->defaultTitle()).c_str(), nullptr));
        g_menu_item_set_action_and_target_value(item.get(), "win.show-package",
                                                g_variant_new_int64(detail->index()));
        g_menu_append_item(packages.get(), item.get());
      }
      g_menu_append_submenu(section.get(), command.label.c_str(), G_MENU_MODEL(packages.get()));
      continue;
    }
    const std::string action = "win." + command.action;
    g_menu_append(section.get(), command.label.c_str(), action.c_str());
  }
  g_menu_append_section(contextMenu_.get(), nullptr, G_MENU_MODEL(section.get()));
  return G_MENU_MODEL(contextMenu_.get());
}

void QBYDeliveriesList::showStatus(const std::optional<std::string>& status) {
  statusText_ = status && !status->empty() ? status : std::nullopt;
  if (!statusLabel_) return;
  if (statusText_) gtk_label_set_text(GTK_LABEL(statusLabel_), statusText_->c_str());
  gtk_revealer_set_reveal_child(GTK_REVEALER(statusRevealer_), statusText_.has_value());
}

std::optional<std::string> QBYDeliveriesList::statusText() const {
  return statusText_;
}

// --- Manager delegate --------------------------------------------------------------------------

void QBYDeliveriesList::shouldReloadDeliveries() {
  reload();
}

void QBYDeliveriesList::completedUpdateWithResult(unsigned) {
  showStatus(manager_->status());
}

void QBYDeliveriesList::updatedDelivery(const std::shared_ptr<qby::Delivery>& delivery) {
  if (!delivery) return;
  if (const auto row = rowOfDelivery(*delivery)) {
    rebindRow(*row);
    if (selectedDelivery() && selectedDelivery()->uuid() == delivery->uuid())
      host_.selectedDeliveryChanged(delivery);
  }
}

void QBYDeliveriesList::addedDelivery(const std::shared_ptr<qby::Delivery>&, std::size_t) {
  reload();
}

void QBYDeliveriesList::removedDelivery(const std::shared_ptr<qby::Delivery>&, std::size_t, bool) {
  reload();
}

void QBYDeliveriesList::shouldPresent(unsigned present,
                                      const std::shared_ptr<qby::Delivery>& delivery) {
  if (!selectDelivery(delivery)) return;
  if (present == 2 || (present == 1 && manager_->applicationState() != 0))
    host_.bringWindowForward();
}

void QBYDeliveriesList::installedServiceUpdatesVersion(std::int64_t version, bool beta) {
  QBYAlertSpec spec;
  spec.heading = qby::format(QBYLocalizedString("Installed service update %ld%@"), version,
                             beta ? QBYLocalizedString(" beta") : std::string());
  spec.responses = {{"ok", QBYLocalizedString("OK")}};
  spec.defaultResponse = spec.closeResponse = "ok";
  rememberDialog(presentAlert(host_.parentWindow(), spec, [](const std::string&) {}));
}

}  // namespace porvane::app
