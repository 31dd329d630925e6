#include "QBYTroubleshootWindow.h"

#include "PorvaneKit.h"
#include "QBYAlert.h"
#include "engine/QBYServiceUpdate.h"
#include "manager/QBYLog.h"
#include "model/Delivery.h"
#include "platform/GLibPtr.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "presentation/text/QBYDeliveryDetailText.h"
#include "store/QBYDataStore.h"
#include "sync/QBYSyncServerAddress.h"
#include "util/StringUtilities.h"

namespace porvane::app {

namespace {

constexpr int kDefaultWidth = 560;
constexpr int kDefaultHeight = 520;
constexpr int kMargin = 24;
constexpr const char* kRowNamePrefix = "report-row-";

std::string validUTF8(const std::string& text) {
  qby::GCharPtr valid(g_utf8_make_valid(text.data(), static_cast<gssize>(text.size())));
  return valid.get();
}

GtkWidget* pillButton(const std::string& label, const char* name, bool suggested) {
  GtkWidget* button = gtk_button_new_with_label(label.c_str());
  gtk_widget_set_name(button, name);
  gtk_widget_add_css_class(button, "pill");
  if (suggested) gtk_widget_add_css_class(button, "suggested-action");
  return button;
}

GtkWidget* wrappedLabel(const std::string& text, const char* name) {
  GtkWidget* label = gtk_label_new(text.c_str());
  gtk_widget_set_name(label, name);
  gtk_label_set_wrap(GTK_LABEL(label), TRUE);
  gtk_label_set_justify(GTK_LABEL(label), GTK_JUSTIFY_CENTER);
  gtk_label_set_max_width_chars(GTK_LABEL(label), 48);
  return label;
}

GtkWidget* centredPage() {
  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 18);
  gtk_widget_set_valign(box, GTK_ALIGN_CENTER);
  gtk_widget_set_halign(box, GTK_ALIGN_CENTER);
  for (auto setMargin : {gtk_widget_set_margin_start, gtk_widget_set_margin_end,
                         gtk_widget_set_margin_top, gtk_widget_set_margin_bottom})
    setMargin(box, kMargin);
  return box;
}

const char* screenName(QBYTroubleshootWindow::Screen screen) {
  switch (screen) {
    case QBYTroubleshootWindow::Screen::Waiting:
      return "waiting";
    case QBYTroubleshootWindow::Screen::Results:
      return "results";
    case QBYTroubleshootWindow::Screen::Report:
      return "report";
    case QBYTroubleshootWindow::Screen::Success:
      return "success";
  }
  return "waiting";
}

// Keeps a widget pointer that GTK clears when the widget goes.
void watch(GtkWidget*& slot, GtkWidget* widget) {
  if (slot) g_object_remove_weak_pointer(G_OBJECT(slot), reinterpret_cast<gpointer*>(&slot));
  slot = widget;
  if (slot) g_object_add_weak_pointer(G_OBJECT(slot), reinterpret_cast<gpointer*>(&slot));
}

}  // namespace

// The C signal handlers; each finds the window through its user data. The widgets live inside
// the window, which the object outlives.
struct QBYTroubleshootWindow::Callbacks {
  static QBYTroubleshootWindow& self(gpointer data) {
    return *static_cast<QBYTroubleshootWindow*>(data);
  }

  static void finish(GtkButton*, gpointer data) { self(data).finish(); }
  static void reportAnyway(GtkButton*, gpointer data) { self(data).reportAnyway(); }
  static void send(GtkButton*, gpointer data) { self(data).send(); }
  static void close(GtkButton*, gpointer data) { self(data).close(); }

  static void rowActivated(GtkListBox*, GtkListBoxRow* row, gpointer data) {
    const char* name = gtk_widget_get_name(GTK_WIDGET(row));
    const std::string_view prefix = kRowNamePrefix;
    if (!name || std::string_view(name).substr(0, prefix.size()) != prefix) return;
    self(data).editValueForKey(std::string(name + prefix.size()));
  }

  static gboolean closeRequest(GtkWindow*, gpointer data) {
    auto& window = self(data);
    if (window.closing_) return FALSE;
    window.closing_ = true;
    // A send under way ends here: its answer has no window left to show it in.
    if (window.sendOperation_) window.sendOperation_->cancel();
    gtk_widget_set_visible(window.window_, FALSE);
    if (window.options_.closed) {
      std::weak_ptr<QBYTroubleshootWindow> weak = window.weak_from_this();
      qby::MainQueue::async([weak] {
        if (auto strong = weak.lock(); strong && strong->options_.closed) strong->options_.closed();
      });
    }
    return TRUE;
  }
};

std::shared_ptr<QBYTroubleshootWindow> QBYTroubleshootWindow::present(
    GtkWindow* parent, std::shared_ptr<qby::QBYDeliveriesManager> manager, std::string uuid,
    Options options) {
  auto window = std::make_shared<QBYTroubleshootWindow>(std::move(manager), std::move(uuid),
                                                        std::move(options));
  if (parent) gtk_window_set_transient_for(window->window(), parent);
  gtk_window_present(window->window());
  window->start();
  return window;
}

QBYTroubleshootWindow::QBYTroubleshootWindow(std::shared_ptr<qby::QBYDeliveriesManager> manager,
                                             std::string uuid, Options options)
    : manager_(std::move(manager)), uuid_(std::move(uuid)), options_(std::move(options)) {
  build();
}

QBYTroubleshootWindow::~QBYTroubleshootWindow() {
  // Cancelled first: the operation's answer must not arrive at a half-destroyed window.
  sendOperation_.reset();
  GtkWidget* editor = editor_;
  watch(editor_, nullptr);
  editorTextView_ = nullptr;
  if (editor) gtk_window_destroy(GTK_WINDOW(editor));
  GtkWidget* alert = lastAlert_;
  watch(lastAlert_, nullptr);
  if (alert) gtk_window_destroy(GTK_WINDOW(alert));
  g_signal_handlers_disconnect_by_data(window_, this);
  gtk_window_destroy(GTK_WINDOW(window_));
  g_object_unref(window_);
}

void QBYTroubleshootWindow::build() {
  window_ = adw_window_new();
  g_object_ref_sink(window_);
  gtk_widget_set_name(window_, "troubleshoot-window");
  const std::string title = QBYLocalizedString("Troubleshooting");
  gtk_window_set_title(GTK_WINDOW(window_), title.c_str());
  gtk_window_set_default_size(GTK_WINDOW(window_), kDefaultWidth, kDefaultHeight);
  g_signal_connect(window_, "close-request", G_CALLBACK(Callbacks::closeRequest), this);

  GtkWidget* content = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  GtkWidget* header = adw_header_bar_new();
  const auto delivery = manager_->deliveryWithUUID(uuid_);
  const std::string subtitle = delivery ? delivery->titleLimitedToLength(40) : std::string();
  title_ = ADW_WINDOW_TITLE(adw_window_title_new(title.c_str(), subtitle.c_str()));
  adw_header_bar_set_title_widget(ADW_HEADER_BAR(header), GTK_WIDGET(title_));
  gtk_box_append(GTK_BOX(content), header);

  stack_ = GTK_STACK(gtk_stack_new());
  // Screens change at once: each one answers what the user just did.
  gtk_stack_set_transition_type(stack_, GTK_STACK_TRANSITION_TYPE_NONE);
  gtk_widget_set_vexpand(GTK_WIDGET(stack_), TRUE);
  gtk_stack_add_named(stack_, buildWaitingPage(), screenName(Screen::Waiting));
  gtk_stack_add_named(stack_, buildResultsPage(), screenName(Screen::Results));
  gtk_stack_add_named(stack_, buildReportPage(), screenName(Screen::Report));
  gtk_stack_add_named(stack_, buildSuccessPage(), screenName(Screen::Success));
  gtk_box_append(GTK_BOX(content), GTK_WIDGET(stack_));
  adw_window_set_content(ADW_WINDOW(window_), content);
  showScreen(Screen::Waiting);
}

GtkWidget* QBYTroubleshootWindow::buildWaitingPage() {
  GtkWidget* page = centredPage();
  GtkWidget* spinner = gtk_spinner_new();
  gtk_widget_set_name(spinner, "waiting-spinner");
  gtk_widget_set_size_request(spinner, 32, 32);
  gtk_spinner_start(GTK_SPINNER(spinner));
  gtk_box_append(GTK_BOX(page), spinner);
  gtk_box_append(GTK_BOX(page),
                 wrappedLabel(QBYLocalizedString("Updating the delivery and collecting its log…"),
                              "waiting-message"));
  return page;
}

GtkWidget* QBYTroubleshootWindow::buildResultsPage() {
  GtkWidget* page = centredPage();
  GtkWidget* heading =
      wrappedLabel(QBYLocalizedString("The delivery updated without error."), "results-heading");
  gtk_widget_add_css_class(heading, "title-2");
  gtk_box_append(GTK_BOX(page), heading);
  GtkWidget* status = wrappedLabel("", "results-status");
  gtk_label_set_selectable(GTK_LABEL(status), TRUE);
  statusLabel_ = GTK_LABEL(status);
  gtk_box_append(GTK_BOX(page), status);

  GtkWidget* buttons = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 12);
  gtk_widget_set_halign(buttons, GTK_ALIGN_CENTER);
  GtkWidget* reportButton = pillButton(QBYLocalizedString("Report Anyway"), "report-anyway", false);
  g_signal_connect(reportButton, "clicked", G_CALLBACK(Callbacks::reportAnyway), this);
  GtkWidget* finishButton = pillButton(QBYLocalizedString("Finish"), "finish", true);
  g_signal_connect(finishButton, "clicked", G_CALLBACK(Callbacks::finish), this);
  gtk_box_append(GTK_BOX(buttons), reportButton);
  gtk_box_append(GTK_BOX(buttons), finishButton);
  gtk_box_append(GTK_BOX(page), buttons);
  return page;
}

GtkWidget* QBYTroubleshootWindow::buildReportPage() {
  GtkWidget* page = gtk_box_new(GTK_ORIENTATION_VERTICAL, 12);
  for (auto setMargin : {gtk_widget_set_margin_start, gtk_widget_set_margin_end,
                         gtk_widget_set_margin_top, gtk_widget_set_margin_bottom})
    setMargin(page, 18);
  reportList_ = GTK_LIST_BOX(gtk_list_box_new());
  gtk_widget_set_name(GTK_WIDGET(reportList_), "report-list");
  gtk_list_box_set_selection_mode(reportList_, GTK_SELECTION_NONE);
  gtk_widget_add_css_class(GTK_WIDGET(reportList_), "boxed-list");
  gtk_widget_set_valign(GTK_WIDGET(reportList_), GTK_ALIGN_START);
  g_signal_connect(reportList_, "row-activated", G_CALLBACK(Callbacks::rowActivated), this);
  GtkWidget* scrolled = gtk_scrolled_window_new();
  gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scrolled), GTK_POLICY_NEVER,
                                 GTK_POLICY_AUTOMATIC);
  gtk_scrolled_window_set_child(GTK_SCROLLED_WINDOW(scrolled), GTK_WIDGET(reportList_));
  gtk_widget_set_vexpand(scrolled, TRUE);
  gtk_box_append(GTK_BOX(page), scrolled);

  GtkWidget* bar = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 12);
  gtk_widget_set_halign(bar, GTK_ALIGN_END);
  sendSpinner_ = gtk_spinner_new();
  gtk_widget_set_name(sendSpinner_, "send-spinner");
  gtk_widget_set_visible(sendSpinner_, FALSE);
  sendButton_ = pillButton(QBYLocalizedString("Send Report"), "send", true);
  g_signal_connect(sendButton_, "clicked", G_CALLBACK(Callbacks::send), this);
  gtk_box_append(GTK_BOX(bar), sendSpinner_);
  gtk_box_append(GTK_BOX(bar), sendButton_);
  gtk_box_append(GTK_BOX(page), bar);
  return page;
}

GtkWidget* QBYTroubleshootWindow::buildSuccessPage() {
  GtkWidget* page = centredPage();
  GtkWidget* icon = gtk_image_new_from_icon_name("emblem-ok-symbolic");
  gtk_image_set_pixel_size(GTK_IMAGE(icon), 64);
  gtk_widget_add_css_class(icon, "success");
  gtk_box_append(GTK_BOX(page), icon);
  GtkWidget* label = wrappedLabel("", "success-text");
  successLabel_ = GTK_LABEL(label);
  gtk_box_append(GTK_BOX(page), label);
  GtkWidget* closeButton = pillButton(QBYLocalizedString("Close"), "close", true);
  gtk_widget_set_halign(closeButton, GTK_ALIGN_CENTER);
  g_signal_connect(closeButton, "clicked", G_CALLBACK(Callbacks::close), this);
  gtk_box_append(GTK_BOX(page), closeButton);
  return page;
}

void QBYTroubleshootWindow::start() {
  manager_->troubleshootDeliveryWithUUID(uuid_, weak_from_this());
}

void QBYTroubleshootWindow::showScreen(Screen screen) {
  screen_ = screen;
  gtk_stack_set_visible_child_name(stack_, screenName(screen));
  adw_window_title_set_title(title_, screen == Screen::Report
                                         ? QBYLocalizedString("Report").c_str()
                                         : QBYLocalizedString("Troubleshooting").c_str());
}

// --- The report --------------------------------------------------------------------------------

qby::QBYTroubleshootReport QBYTroubleshootWindow::reportFrom(const qby::Dictionary& collected) {
  // The collected lines hold carriers' answers in full, whatever their encoding.
  const auto rawLogs = collected["logs"].asString();
  const std::optional<std::string> logs =
      rawLogs ? std::optional(validUTF8(*rawLogs)) : std::nullopt;
  const qby::QBYTroubleshootReport::Environment environment{
      qby::QBYLog::vendorIdentifier(), qby::QBYLog::platformIdentifier(),
      qby::QBYLog::systemVersion(), qby::QBYLog::appVersion(),
      qby::QBYServiceUpdate::versionString()};
  if (const auto delivery = manager_->deliveryWithUUID(uuid_))
    return qby::QBYTroubleshootReport::reportForDelivery(*delivery, logs, environment);
  // The delivery went away while it was updated: what is left to report is the log.
  qby::log("No delivery to report on with uuid %@", uuid_);
  qby::QBYTroubleshootReport report;
  const std::pair<const char*, std::optional<std::string>> values[] = {
      {"platform", environment.platform},          {"system-version", environment.systemVersion},
      {"app-version", environment.appVersion},     {"service-update", environment.serviceUpdate},
      {"vendor-id", environment.vendorIdentifier}, {"logs", logs}};
  for (const auto& [key, value] : values) {
    if (value) report.setValueForKey(key, *value);
  }
  return report;
}

void QBYTroubleshootWindow::completedTroubleshootingWithReport(const qby::Dictionary& collected) {
  if (closing_) return;
  report_ = reportFrom(collected);
  // The user's row is there from the start, empty until they write something.
  if (!report_->valueForKey("comments")) report_->setValueForKey("comments", "");
  if (report_->success()) {
    const auto delivery = manager_->deliveryWithUUID(uuid_);
    const auto text = qby::QBYDeliveryDetailText::textForDelivery(delivery.get(), true,
                                                                  manager_->dateFormatter());
    gtk_label_set_text(statusLabel_, text.text.c_str());
    showScreen(Screen::Results);
  } else {
    showReport();
  }
}

void QBYTroubleshootWindow::showReport() {
  reloadReportRows();
  showScreen(Screen::Report);
}

void QBYTroubleshootWindow::reloadReportRows() {
  while (GtkWidget* child = gtk_widget_get_first_child(GTK_WIDGET(reportList_)))
    gtk_list_box_remove(reportList_, child);
  if (!report_) return;
  for (const std::string& key : report_->keys()) {
    GtkWidget* row = adw_action_row_new();
    const std::string name = kRowNamePrefix + key;
    gtk_widget_set_name(row, name.c_str());
    // Values are the user's and the carriers' texts, never markup.
    adw_preferences_row_set_use_markup(ADW_PREFERENCES_ROW(row), FALSE);
    adw_preferences_row_set_title(ADW_PREFERENCES_ROW(row),
                                  qby::QBYTroubleshootReport::displayNameForKey(key).c_str());
    adw_action_row_set_subtitle(ADW_ACTION_ROW(row),
                                firstLine(report_->valueForKey(key).value_or("")).c_str());
    adw_action_row_set_subtitle_lines(ADW_ACTION_ROW(row), 1);
    if (qby::QBYTroubleshootReport::keyIsEditable(key)) {
      gtk_list_box_row_set_activatable(GTK_LIST_BOX_ROW(row), TRUE);
      GtkWidget* icon = gtk_image_new_from_icon_name("document-edit-symbolic");
      adw_action_row_add_suffix(ADW_ACTION_ROW(row), icon);
      gtk_widget_set_tooltip_text(row, QBYLocalizedString("Edit").c_str());
    } else {
      gtk_list_box_row_set_activatable(GTK_LIST_BOX_ROW(row), FALSE);
    }
    gtk_list_box_append(reportList_, row);
  }
}

std::string QBYTroubleshootWindow::firstLine(const std::string& text) {
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    std::string line = qby::trimmedString(std::string_view(text).substr(start, end - start));
    if (!line.empty()) return line;
    start = end + 1;
  }
  return {};
}

// --- Actions -----------------------------------------------------------------------------------

void QBYTroubleshootWindow::finish() {
  gtk_label_set_text(successLabel_,
                     QBYLocalizedString("The problem was most likely a temporary issue with the "
                                        "shipping service, or something we fixed in the latest "
                                        "service update.")
                         .c_str());
  showScreen(Screen::Success);
}

void QBYTroubleshootWindow::reportAnyway() {
  if (report_) showReport();
}

GtkWidget* QBYTroubleshootWindow::editValueForKey(const std::string& key) {
  if (!report_ || !qby::QBYTroubleshootReport::keyIsEditable(key) || sending()) return nullptr;
  if (editor_) gtk_window_destroy(GTK_WINDOW(editor_));

  GtkWidget* dialog = adw_message_dialog_new(
      GTK_WINDOW(window_), qby::QBYTroubleshootReport::displayNameForKey(key).c_str(), nullptr);
  auto* messageDialog = ADW_MESSAGE_DIALOG(dialog);
  adw_message_dialog_add_response(messageDialog, "cancel", QBYLocalizedString("Cancel").c_str());
  adw_message_dialog_add_response(messageDialog, "save", QBYLocalizedString("Save").c_str());
  adw_message_dialog_set_response_appearance(messageDialog, "save", ADW_RESPONSE_SUGGESTED);
  adw_message_dialog_set_close_response(messageDialog, "cancel");
  gtk_window_set_default_size(GTK_WINDOW(dialog), 520, -1);

  GtkWidget* textView = gtk_text_view_new();
  gtk_widget_set_name(textView, "editor-text");
  gtk_text_view_set_wrap_mode(GTK_TEXT_VIEW(textView), GTK_WRAP_WORD_CHAR);
  gtk_text_view_set_monospace(GTK_TEXT_VIEW(textView), key == "logs");
  const std::string value = report_->valueForKey(key).value_or("");
  gtk_text_buffer_set_text(gtk_text_view_get_buffer(GTK_TEXT_VIEW(textView)), value.c_str(),
                           static_cast<int>(value.size()));
  GtkWidget* scrolled = gtk_scrolled_window_new();
  gtk_scrolled_window_set_child(GTK_SCROLLED_WINDOW(scrolled), textView);
  gtk_scrolled_window_set_min_content_height(GTK_SCROLLED_WINDOW(scrolled), 220);
  gtk_scrolled_window_set_min_content_width(GTK_SCROLLED_WINDOW(scrolled), 440);
  gtk_widget_add_css_class(scrolled, "card");
  adw_message_dialog_set_extra_child(messageDialog, scrolled);

  struct EditState {
    std::weak_ptr<QBYTroubleshootWindow> window;
    std::string key;
    GtkTextView* textView;  // lives as long as the dialog that answers
  };
  auto state =
      std::make_unique<EditState>(EditState{weak_from_this(), key, GTK_TEXT_VIEW(textView)});
  g_signal_connect_data(
      dialog, "response",
      G_CALLBACK(+[](AdwMessageDialog* dialog, const char* response, gpointer data) {
        auto* state = static_cast<EditState*>(data);
        auto self = state->window.lock();
        if (!self) return;
        if (self->editor_ == GTK_WIDGET(dialog)) self->editorTextView_ = nullptr;
        if (g_strcmp0(response, "save") != 0 || !self->report_) return;
        GtkTextBuffer* buffer = gtk_text_view_get_buffer(state->textView);
        GtkTextIter start;
        GtkTextIter end;
        gtk_text_buffer_get_bounds(buffer, &start, &end);
        qby::GCharPtr text(gtk_text_buffer_get_text(buffer, &start, &end, FALSE));
        self->report_->setValueForKey(state->key, validUTF8(text ? text.get() : ""));
        self->reloadReportRows();
      }),
      state.release(),
      [](gpointer data, GClosure*) { std::unique_ptr<EditState>(static_cast<EditState*>(data)); },
      GConnectFlags(0));
  editorTextView_ = GTK_TEXT_VIEW(textView);
  watch(editor_, dialog);
  gtk_window_present(GTK_WINDOW(dialog));
  gtk_widget_grab_focus(textView);
  return dialog;
}

void QBYTroubleshootWindow::send() {
  if (!report_ || sending()) return;
  const auto url = qby::QBYSyncServerAddress::urlForPath(qby::QBYDataStore::sharedDefaults(),
                                                         qby::QBYSyncReportPath);
  if (!url) {
    // Reports go to the sync server; without one there is nowhere honest to send to.
    QBYAlertSpec spec;
    spec.heading = QBYLocalizedString("No Sync Server");
    spec.body = QBYLocalizedString(
        "Reports are sent to your sync server, and none is set. Enter its address in "
        "Preferences › Sync, then send the report again. Your report stays here until then.");
    spec.responses = {{"ok", QBYLocalizedString("OK")}};
    if (options_.openSyncPreferences)
      spec.responses.emplace_back("preferences", QBYLocalizedString("Open Preferences"));
    spec.defaultResponse = "ok";
    spec.closeResponse = "ok";
    std::weak_ptr<QBYTroubleshootWindow> weak = weak_from_this();
    showAlert(presentAlert(window(), spec, [weak](const std::string& response) {
      auto self = weak.lock();
      if (self && response == "preferences" && self->options_.openSyncPreferences)
        self->options_.openSyncPreferences();
    }));
    return;
  }

  gtk_widget_set_sensitive(sendButton_, FALSE);
  gtk_widget_set_sensitive(GTK_WIDGET(reportList_), FALSE);
  gtk_widget_set_visible(sendSpinner_, TRUE);
  gtk_spinner_start(GTK_SPINNER(sendSpinner_));
  std::weak_ptr<QBYTroubleshootWindow> weak = weak_from_this();
  sendOperation_ = std::make_unique<qby::QBYSendReportOperation>(
      *url, report_->dictionary(), [weak](bool success, const std::optional<qby::QBYError>& error) {
        // Later, on the main loop: the operation is still inside its own callback here.
        qby::MainQueue::async([weak, success, error] {
          if (auto self = weak.lock()) self->sendCompleted(success, error);
        });
      });
  sendOperation_->start();
}

void QBYTroubleshootWindow::sendCompleted(bool success, const std::optional<qby::QBYError>& error) {
  sendOperation_.reset();
  gtk_spinner_stop(GTK_SPINNER(sendSpinner_));
  gtk_widget_set_visible(sendSpinner_, FALSE);
  gtk_widget_set_sensitive(sendButton_, TRUE);
  gtk_widget_set_sensitive(GTK_WIDGET(reportList_), TRUE);
  if (closing_) return;
  if (success) {
    gtk_label_set_text(successLabel_,
                       QBYLocalizedString("Thank you for your report. We'll look into the problem "
                                          "and do our best to get it fixed.")
                           .c_str());
    showScreen(Screen::Success);
    return;
  }
  showScreen(Screen::Report);
  QBYAlertSpec spec;
  spec.heading = QBYLocalizedString("Unable to send report");
  spec.body = error && !error->localizedDescription.empty()
                  ? validUTF8(error->localizedDescription)
                  : QBYLocalizedString("Please try again later.");
  spec.responses = {{"ok", QBYLocalizedString("OK")}};
  spec.defaultResponse = "ok";
  spec.closeResponse = "ok";
  showAlert(presentAlert(window(), spec, nullptr));
}

void QBYTroubleshootWindow::showAlert(GtkWidget* alert) {
  watch(lastAlert_, alert);
}

void QBYTroubleshootWindow::close() {
  gtk_window_close(GTK_WINDOW(window_));
}

}  // namespace porvane::app
