// The troubleshoot window under Xvfb, in the application's own process: a delivery updated
// again from a fixture carrier, the results or the report it leads to, editing the report,
// sending it to a fixture report endpoint on 127.0.0.1 that accepts, refuses or is not there,
// closing the window while a send waits, and the list's Troubleshoot… and Sign In… commands
// and the detail text's error link that open the windows. Each case saves a screenshot of the
// state it checked.
#include <adwaita.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "AppHarness.h"
#include "QBYDeliveryCommands.h"
#include "QBYOnlineSignInWindowController.h"
#include "QBYPreferencesWindow.h"
#include "QBYTroubleshootWindow.h"
#include "QBYWebSession.h"
#include "model/Delivery.h"
#include "platform/Date.h"
#include "platform/GLibPtr.h"
#include "store/QBYDataStore.h"
#include "support/GtkTestSupport.h"
#include "sync/QBYSyncServerAddress.h"

namespace {

using porvane::app::QBYTroubleshootWindow;
using porvane::test::AppHarness;
using qby::test::findWidget;
using qby::test::FixtureServer;
using qby::test::iterateFor;
using qby::test::iterateUntil;
using qby::test::saveScreenshot;
using Screen = QBYTroubleshootWindow::Screen;
using namespace std::chrono_literals;

constexpr const char* kReportPath = "/sync/porvane/report/";
constexpr const char* kAccepted = R"({"success": true})";
const std::string kSuccessText =
    "The problem was most likely a temporary issue with the shipping service, or something we "
    "fixed in the latest service update.";
const std::string kThanksText =
    "Thank you for your report. We'll look into the problem and do our best to get it fixed.";

struct Row {
  std::string key;
  std::string title;
  std::string subtitle;
  bool operator==(const Row&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Row& row) {
  return out << "{" << row.key << ", " << row.title << ", \"" << row.subtitle << "\"}";
}

// The rows of the report screen as the widgets show them.
std::vector<Row> shownRows(QBYTroubleshootWindow& window) {
  std::vector<Row> rows;
  for (GtkWidget* child = gtk_widget_get_first_child(GTK_WIDGET(window.reportList())); child;
       child = gtk_widget_get_next_sibling(child)) {
    if (!ADW_IS_ACTION_ROW(child)) continue;
    const std::string name = gtk_widget_get_name(child);
    const char* subtitle = adw_action_row_get_subtitle(ADW_ACTION_ROW(child));
    rows.push_back({name.substr(std::string("report-row-").size()),
                    adw_preferences_row_get_title(ADW_PREFERENCES_ROW(child)),
                    subtitle ? subtitle : ""});
  }
  return rows;
}

GtkWidget* rowForKey(QBYTroubleshootWindow& window, const std::string& key) {
  return findWidget(GTK_WIDGET(window.reportList()), "report-row-" + key);
}

std::string labelText(GtkWidget* root, const char* name) {
  GtkWidget* label = findWidget(root, name);
  return label && GTK_IS_LABEL(label) ? gtk_label_get_text(GTK_LABEL(label)) : "(no label)";
}

void click(QBYTroubleshootWindow& window, const char* name) {
  GtkWidget* button = findWidget(GTK_WIDGET(window.window()), name);
  ASSERT_TRUE(button && GTK_IS_BUTTON(button)) << name;
  ASSERT_TRUE(gtk_widget_is_sensitive(button)) << name;
  // What a click ends in; activating the button would emit it only after its press animation.
  g_signal_emit_by_name(button, "clicked");
}

// Opens the editor of the row the way a click on it does, types the text, and answers.
void editValue(QBYTroubleshootWindow& window, const std::string& key, const std::string& text,
               const char* response = "save") {
  GtkWidget* row = rowForKey(window, key);
  ASSERT_TRUE(row) << key;
  g_signal_emit_by_name(window.reportList(), "row-activated", row);
  ASSERT_TRUE(window.editorTextView()) << key;
  GtkWidget* dialog =
      gtk_widget_get_ancestor(GTK_WIDGET(window.editorTextView()), ADW_TYPE_MESSAGE_DIALOG);
  ASSERT_TRUE(dialog);
  GtkTextBuffer* buffer = gtk_text_view_get_buffer(window.editorTextView());
  gtk_text_buffer_set_text(buffer, text.c_str(), -1);
  iterateFor(300ms);
  saveScreenshot(dialog, "troubleshoot-editor-" + key);
  adw_message_dialog_response(ADW_MESSAGE_DIALOG(dialog), response);
  iterateFor(100ms);
}

// The form fields of a request body, in their order.
std::vector<std::pair<std::string, std::string>> formFields(const std::string& body) {
  std::vector<std::pair<std::string, std::string>> fields;
  std::size_t start = 0;
  while (start <= body.size()) {
    const std::size_t end = std::min(body.find('&', start), body.size());
    const std::string field = body.substr(start, end - start);
    const std::size_t equals = field.find('=');
    const std::string name = field.substr(0, equals);
    const std::string raw = equals == std::string::npos ? "" : field.substr(equals + 1);
    qby::GCharPtr value(g_uri_unescape_string(raw.c_str(), nullptr));
    fields.emplace_back(name, value ? value.get() : "(invalid)");
    start = end + 1;
  }
  return fields;
}

std::string fieldValue(const std::vector<std::pair<std::string, std::string>>& fields,
                       const std::string& name) {
  const auto found = std::find_if(fields.begin(), fields.end(),
                                  [&](const auto& field) { return field.first == name; });
  return found == fields.end() ? "(absent)" : found->second;
}

class TroubleshootWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(reports_.listening()) << reports_.error();
    reports_.route(kReportPath, {200, "application/json", kAccepted});
  }

  // Launches with the report endpoint as the sync server, and a gls delivery that was tracked
  // an hour ago and whose carrier answers from the case now; by default the carrier no longer
  // knows the number, an update that fails.
  void launch(const char* carrierCase = "gls/not-found") {
    h_.serveCarrierCase(carrierCase);
    ASSERT_TRUE(h_.launch());
    ASSERT_TRUE(
        qby::QBYSyncServerAddress::setAddress(qby::QBYDataStore::sharedDefaults(), reports_.url()));
    uuid_ = h_.addDelivery("gls-group.com", "901234567890", "Bücherpaket");
    ASSERT_FALSE(uuid_.empty());
    auto delivery = h_.manager().deliveryWithUUID(uuid_);
    ASSERT_TRUE(delivery);
    delivery->setUpdatedTime(qby::Date::now().timeIntervalSince1970() - 3600);
    ASSERT_TRUE(h_.app().dataStore()->saveData());
    h_.showWindow();
  }

  // Opens the window and waits until the troubleshooting update has ended.
  QBYTroubleshootWindow& troubleshoot() {
    h_.app().troubleshootDelivery(uuid_);
    QBYTroubleshootWindow* window = h_.app().troubleshootWindow(uuid_);
    EXPECT_TRUE(window);
    if (!window) std::abort();
    EXPECT_EQ(window->screen(), Screen::Waiting);
    EXPECT_TRUE(iterateUntil([&] { return window->screen() != Screen::Waiting; }, 60s));
    iterateFor(300ms);
    return *window;
  }

  // The requests for the report path (the sync exchanges go to the same server).
  std::vector<qby::test::SeenRequest> reportsSeen() const {
    std::vector<qby::test::SeenRequest> seen;
    for (auto& request : reports_.seen())
      if (request.path == kReportPath) seen.push_back(std::move(request));
    return seen;
  }

  AppHarness h_;
  FixtureServer reports_;
  std::string uuid_;
};

TEST_F(TroubleshootWindowTest, AnUpdateThatWorksShowsTheStatusAndFinishShowsTheSuccessText) {
  launch("gls/in-transit");
  QBYTroubleshootWindow& window = troubleshoot();
  ASSERT_EQ(window.screen(), Screen::Results);
  ASSERT_TRUE(window.report());
  EXPECT_TRUE(window.report()->success());
  // The run was logged: the carrier's request is in the report's log.
  EXPECT_NE(window.report()->valueForKey("logs").value_or("").find("gls-group.com"),
            std::string::npos);
  const std::string status = labelText(GTK_WIDGET(window.window()), "results-status");
  EXPECT_NE(status.find("Bücherpaket"), std::string::npos) << status;
  EXPECT_NE(status.find("parcel center"), std::string::npos) << status;
  saveScreenshot(GTK_WIDGET(window.window()), "troubleshoot-results");

  click(window, "finish");
  EXPECT_EQ(window.screen(), Screen::Success);
  EXPECT_EQ(labelText(GTK_WIDGET(window.window()), "success-text"), kSuccessText);
  iterateFor(200ms);
  saveScreenshot(GTK_WIDGET(window.window()), "troubleshoot-finished");
  EXPECT_TRUE(reportsSeen().empty());

  // Closing the window lets the application forget it.
  click(window, "close");
  EXPECT_TRUE(iterateUntil([&] { return h_.app().troubleshootWindow(uuid_) == nullptr; }));
}

TEST_F(TroubleshootWindowTest, ReportAnywayFromTheResultsSendsASuccessfulReport) {
  launch("gls/in-transit");
  QBYTroubleshootWindow& window = troubleshoot();
  ASSERT_EQ(window.screen(), Screen::Results);
  click(window, "report-anyway");
  ASSERT_EQ(window.screen(), Screen::Report);
  EXPECT_EQ(shownRows(window).back(), (Row{"success", "Success", "1"}));
  click(window, "send");
  ASSERT_TRUE(iterateUntil([&] { return window.screen() == Screen::Success; }, 20s));
  const auto seen = reportsSeen();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(fieldValue(formFields(seen[0].body), "success"), "1");
}

TEST_F(TroubleshootWindowTest, AFailingDeliveryGoesStraightToTheReportInKeyOrder) {
  launch();
  QBYTroubleshootWindow& window = troubleshoot();
  ASSERT_EQ(window.screen(), Screen::Report);
  ASSERT_TRUE(window.report());
  EXPECT_FALSE(window.report()->success());
  GtkWidget* title =
      qby::test::findWidgetOfType(GTK_WIDGET(window.window()), ADW_TYPE_WINDOW_TITLE);
  ASSERT_TRUE(title);
  EXPECT_STREQ(adw_window_title_get_title(ADW_WINDOW_TITLE(title)), "Report");

  const std::vector<Row> rows = shownRows(window);
  std::vector<std::string> keys;
  for (const Row& row : rows) keys.push_back(row.key);
  // The table's order; the empty "extra" is gone, the empty "comments" stays for the user.
  EXPECT_EQ(keys, (std::vector<std::string>{"comments", "logs", "vendor-id", "from", "no",
                                            "platform", "system-version", "app-version",
                                            "service-update", "success"}));
  ASSERT_EQ(rows.size(), 10u);
  EXPECT_EQ(rows[0], (Row{"comments", "Comments", ""}));
  EXPECT_EQ(rows[3], (Row{"from", "From", "gls-group.com"}));
  EXPECT_EQ(rows[4], (Row{"no", "Tracking No.", "901234567890"}));
  EXPECT_EQ(rows[9], (Row{"success", "Success", "0"}));
  // A value shows its first line that has text.
  const std::string logs = window.report()->valueForKey("logs").value_or("");
  ASSERT_FALSE(logs.empty());
  EXPECT_EQ(rows[1].title, "Logs");
  EXPECT_EQ(rows[1].subtitle, QBYTroubleshootWindow::firstLine(logs));
  EXPECT_EQ(rows[1].subtitle.find('\n'), std::string::npos);
  EXPECT_NE(logs.find("404"), std::string::npos) << logs;
  // Only the user's rows open an editor.
  EXPECT_TRUE(gtk_list_box_row_get_activatable(GTK_LIST_BOX_ROW(rowForKey(window, "comments"))));
  EXPECT_TRUE(gtk_list_box_row_get_activatable(GTK_LIST_BOX_ROW(rowForKey(window, "logs"))));
  EXPECT_FALSE(gtk_list_box_row_get_activatable(GTK_LIST_BOX_ROW(rowForKey(window, "from"))));
  EXPECT_EQ(window.editValueForKey("from"), nullptr);
  saveScreenshot(GTK_WIDGET(window.window()), "troubleshoot-report");
}

TEST(TroubleshootFirstLineTest, TakesTheFirstLineThatHasText) {
  EXPECT_EQ(QBYTroubleshootWindow::firstLine(""), "");
  EXPECT_EQ(QBYTroubleshootWindow::firstLine("\n  \n\t\n"), "");
  EXPECT_EQ(QBYTroubleshootWindow::firstLine("\n\n  second  \nthird"), "second");
  EXPECT_EQ(QBYTroubleshootWindow::firstLine("only"), "only");
  EXPECT_EQ(QBYTroubleshootWindow::firstLine("last line\n"), "last line");
}

TEST_F(TroubleshootWindowTest, EditedCommentsReachTheServerAsFormFields) {
  launch();
  QBYTroubleshootWindow& window = troubleshoot();
  ASSERT_EQ(window.screen(), Screen::Report);
  const std::string logs = window.report()->valueForKey("logs").value_or("");

  const std::string comments =
      "Stuck at “Übergabe” since Monday & the page says 50% + more=1\nSecond line";
  editValue(window, "comments", comments);
  EXPECT_EQ(window.report()->valueForKey("comments"), comments);
  EXPECT_EQ(shownRows(window)[0],
            (Row{"comments", "Comments",
                 "Stuck at “Übergabe” since Monday & the page says 50% + more=1"}));
  // A cancelled edit changes nothing.
  editValue(window, "logs", "thrown away", "cancel");
  EXPECT_EQ(window.report()->valueForKey("logs"), logs);
  saveScreenshot(GTK_WIDGET(window.window()), "troubleshoot-report-edited");

  click(window, "send");
  EXPECT_TRUE(window.sending());
  ASSERT_TRUE(iterateUntil([&] { return window.screen() == Screen::Success; }, 20s));
  EXPECT_EQ(labelText(GTK_WIDGET(window.window()), "success-text"), kThanksText);
  iterateFor(200ms);
  EXPECT_FALSE(saveScreenshot(GTK_WIDGET(window.window()), "troubleshoot-sent").empty());

  const auto seen = reportsSeen();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].method, "POST");
  EXPECT_EQ(seen[0].path, kReportPath);
  EXPECT_NE(seen[0].headers.at("Content-Type").find("application/x-www-form-urlencoded"),
            std::string::npos);
  const auto fields = formFields(seen[0].body);
  ASSERT_FALSE(fields.empty());
  EXPECT_EQ(fields[0], (std::pair<std::string, std::string>{"cmd", "report"}));
  EXPECT_EQ(fieldValue(fields, "comments"), comments);
  EXPECT_EQ(fieldValue(fields, "logs"), logs);
  EXPECT_EQ(fieldValue(fields, "from"), "gls-group.com");
  EXPECT_EQ(fieldValue(fields, "no"), "901234567890");
  EXPECT_EQ(fieldValue(fields, "success"), "0");
  EXPECT_EQ(fields.back().first, "success");
}

// How the report endpoint fails: a JSON answer that is not a success, an HTML page, or no
// server at all.
enum class Refusal { NotSuccess, HTML, ConnectionRefused };

class TroubleshootSendFailureTest : public TroubleshootWindowTest,
                                    public ::testing::WithParamInterface<Refusal> {};

TEST_P(TroubleshootSendFailureTest, ShowsUnableToSendAndKeepsTheReportToSendAgain) {
  launch();
  const Refusal refusal = GetParam();
  std::string closedAddress;
  if (refusal == Refusal::NotSuccess) {
    reports_.route(kReportPath, {200, "application/json", R"({"success": false})"});
  } else if (refusal == Refusal::HTML) {
    reports_.route(kReportPath,
                   {200, "text/html", "<html><body><h1>Site maintenance</h1></body></html>"});
  } else {
    // A port that was free a moment ago and has nobody listening now.
    auto gone = std::make_unique<FixtureServer>();
    closedAddress = gone->url();
    gone.reset();
    ASSERT_TRUE(
        qby::QBYSyncServerAddress::setAddress(qby::QBYDataStore::sharedDefaults(), closedAddress));
  }
  QBYTroubleshootWindow& window = troubleshoot();
  ASSERT_EQ(window.screen(), Screen::Report);
  editValue(window, "comments", "Still no news since Monday");

  click(window, "send");
  ASSERT_TRUE(iterateUntil([&] { return !window.sending(); }, 30s));
  iterateFor(300ms);
  EXPECT_EQ(window.screen(), Screen::Report);
  GtkWidget* alert = window.lastAlert();
  ASSERT_TRUE(alert && ADW_IS_MESSAGE_DIALOG(alert));
  EXPECT_STREQ(adw_message_dialog_get_heading(ADW_MESSAGE_DIALOG(alert)), "Unable to send report");
  const std::string body = adw_message_dialog_get_body(ADW_MESSAGE_DIALOG(alert));
  if (refusal == Refusal::ConnectionRefused) {
    // The transport's own description of what went wrong.
    EXPECT_FALSE(body.empty());
    EXPECT_NE(body, "Please try again later.");
  } else {
    EXPECT_EQ(body, "Please try again later.");
  }
  EXPECT_TRUE(adw_message_dialog_has_response(ADW_MESSAGE_DIALOG(alert), "ok"));
  const char* names[] = {"troubleshoot-send-failed-not-success", "troubleshoot-send-failed-html",
                         "troubleshoot-send-failed-refused"};
  saveScreenshot(alert, names[static_cast<int>(refusal)]);
  adw_message_dialog_response(ADW_MESSAGE_DIALOG(alert), "ok");
  iterateFor(200ms);

  // Nothing of the report was lost, and the send button works again.
  EXPECT_EQ(window.report()->valueForKey("comments"), "Still no news since Monday");
  EXPECT_EQ(shownRows(window)[0], (Row{"comments", "Comments", "Still no news since Monday"}));
  GtkWidget* send = findWidget(GTK_WIDGET(window.window()), "send");
  ASSERT_TRUE(send);
  EXPECT_TRUE(gtk_widget_is_sensitive(send));

  // The server is back: the same report goes out.
  reports_.route(kReportPath, {200, "application/json", kAccepted});
  ASSERT_TRUE(
      qby::QBYSyncServerAddress::setAddress(qby::QBYDataStore::sharedDefaults(), reports_.url()));
  const std::size_t before = reportsSeen().size();
  click(window, "send");
  ASSERT_TRUE(iterateUntil([&] { return window.screen() == Screen::Success; }, 20s));
  const auto seen = reportsSeen();
  ASSERT_EQ(seen.size(), before + 1);
  EXPECT_EQ(fieldValue(formFields(seen.back().body), "comments"), "Still no news since Monday");
}

std::string refusalName(const ::testing::TestParamInfo<Refusal>& info) {
  switch (info.param) {
    case Refusal::NotSuccess:
      return "NotSuccess";
    case Refusal::HTML:
      return "HTML";
    case Refusal::ConnectionRefused:
      return "ConnectionRefused";
  }
  return "Unknown";
}

INSTANTIATE_TEST_SUITE_P(Refusals, TroubleshootSendFailureTest,
                         ::testing::Values(Refusal::NotSuccess, Refusal::HTML,
                                           Refusal::ConnectionRefused),
                         refusalName);

TEST_F(TroubleshootWindowTest, ClosingTheWindowWhileASendWaitsEndsTheSendQuietly) {
  launch();
  reports_.hold(kReportPath);
  QBYTroubleshootWindow& window = troubleshoot();
  ASSERT_EQ(window.screen(), Screen::Report);
  click(window, "send");
  ASSERT_TRUE(iterateUntil([&] { return reports_.held() == 1; }, 20s));
  EXPECT_TRUE(window.sending());
  window.close();
  ASSERT_TRUE(iterateUntil([&] { return h_.app().troubleshootWindow(uuid_) == nullptr; }));
  // The server answers after all; nobody is left to hear it.
  reports_.releaseHeld({200, "application/json", kAccepted});
  iterateFor(500ms);
  EXPECT_TRUE(h_.manager().deliveryWithUUID(uuid_));
  // And the delivery can be troubleshot again.
  h_.app().troubleshootDelivery(uuid_);
  ASSERT_TRUE(h_.app().troubleshootWindow(uuid_));
  EXPECT_TRUE(iterateUntil(
      [&] { return h_.app().troubleshootWindow(uuid_)->screen() == Screen::Report; }, 60s));
}

TEST_F(TroubleshootWindowTest, WhileOneDeliveryIsDiagnosedAnotherWaitsItsTurn) {
  launch();
  const std::string other = h_.addDelivery("gls-group.com", "901234567891", "Lampe");
  h_.app().troubleshootDelivery(uuid_);
  QBYTroubleshootWindow* first = h_.app().troubleshootWindow(uuid_);
  ASSERT_TRUE(first);
  ASSERT_EQ(first->screen(), Screen::Waiting);
  // The manager diagnoses one delivery at a time: the waiting window comes forward instead.
  h_.app().troubleshootDelivery(other);
  EXPECT_EQ(h_.app().troubleshootWindow(other), nullptr);
  ASSERT_TRUE(iterateUntil([&] { return first->screen() == Screen::Report; }, 60s));
  EXPECT_EQ(first->report()->valueForKey("no"), "901234567890");
  // Once it is done, the other delivery gets a window and a report of its own.
  h_.app().troubleshootDelivery(other);
  QBYTroubleshootWindow* second = h_.app().troubleshootWindow(other);
  ASSERT_TRUE(second);
  EXPECT_NE(second, first);
  ASSERT_TRUE(iterateUntil([&] { return second->screen() != Screen::Waiting; }, 60s));
  ASSERT_TRUE(second->report());
  EXPECT_EQ(second->report()->valueForKey("no"), "901234567891");
  EXPECT_EQ(h_.app().troubleshootWindow(uuid_), first);
}

TEST_F(TroubleshootWindowTest, WithoutASyncServerTheSendActionSaysSoAndKeepsTheReport) {
  launch();
  ASSERT_TRUE(
      qby::QBYSyncServerAddress::setAddress(qby::QBYDataStore::sharedDefaults(), std::nullopt));
  QBYTroubleshootWindow& window = troubleshoot();
  ASSERT_EQ(window.screen(), Screen::Report);
  editValue(window, "comments", "Nowhere to go yet");
  click(window, "send");
  iterateFor(200ms);
  EXPECT_FALSE(window.sending());
  GtkWidget* alert = window.lastAlert();
  ASSERT_TRUE(alert && ADW_IS_MESSAGE_DIALOG(alert));
  EXPECT_STREQ(adw_message_dialog_get_heading(ADW_MESSAGE_DIALOG(alert)), "No Sync Server");
  EXPECT_NE(std::string(adw_message_dialog_get_body(ADW_MESSAGE_DIALOG(alert)))
                .find("Preferences › Sync"),
            std::string::npos);
  saveScreenshot(alert, "troubleshoot-no-sync-server");
  adw_message_dialog_response(ADW_MESSAGE_DIALOG(alert), "preferences");
  ASSERT_TRUE(iterateUntil([&] { return h_.app().preferencesWindow() != nullptr; }));
  EXPECT_EQ(window.screen(), Screen::Report);
  EXPECT_EQ(window.report()->valueForKey("comments"), "Nowhere to go yet");
  EXPECT_TRUE(reportsSeen().empty());
}

TEST_F(TroubleshootWindowTest, TheListCommandsAndTheErrorLinkOpenTheirWindows) {
  launch();
  const std::string archived = h_.addDelivery("www.ups.com", "1Z999AA10123456784", "Camera");
  const std::string page = h_.addDelivery("other", "https://shop.example/order/7", "Lamp");
  auto& list = h_.window().list();
  list.archive(h_.manager().deliveryWithUUID(archived));
  iterateFor(200ms);

  auto enabled = [&](const char* action) {
    return g_action_group_get_action_enabled(G_ACTION_GROUP(h_.window().window()), action);
  };
  auto menuActions = [&](const std::string& uuid) {
    std::vector<std::string> actions;
    const auto& shown = list.shownDeliveries();
    for (std::size_t row = 0; row < shown.size(); ++row) {
      if (shown[row]->uuid() != uuid) continue;
      GMenuModel* menu = list.contextMenuForRow(row, true);
      GMenuModel* section = g_menu_model_get_item_link(menu, 0, G_MENU_LINK_SECTION);
      for (int i = 0; section && i < g_menu_model_get_n_items(section); ++i) {
        gchar* action = nullptr;
        if (g_menu_model_get_item_attribute(section, i, G_MENU_ATTRIBUTE_ACTION, "s", &action))
          actions.emplace_back(action);
        g_free(action);
      }
      if (section) g_object_unref(section);
    }
    return actions;
  };
  auto contains = [](const std::vector<std::string>& actions, const char* action) {
    return std::find(actions.begin(), actions.end(), action) != actions.end();
  };

  // A tracked delivery: both commands are in the menu and enabled.
  const auto actions = menuActions(uuid_);
  EXPECT_TRUE(contains(actions, "win.troubleshoot"));
  EXPECT_TRUE(contains(actions, "win.sign-in"));
  EXPECT_EQ(list.selectedDelivery()->uuid(), uuid_);
  EXPECT_TRUE(enabled("troubleshoot"));
  EXPECT_TRUE(enabled("sign-in"));
  saveScreenshot(GTK_WIDGET(h_.window().window()), "troubleshoot-command-enabled");

  // A page tracked through a plain web page has neither.
  const auto pageActions = menuActions(page);
  EXPECT_EQ(list.selectedDelivery()->uuid(), page);
  EXPECT_FALSE(contains(pageActions, "win.troubleshoot"));
  EXPECT_FALSE(contains(pageActions, "win.sign-in"));
  EXPECT_FALSE(enabled("troubleshoot"));
  EXPECT_FALSE(enabled("sign-in"));
  // An archived delivery neither (it is not in the list to select).
  const auto archivedDelivery = h_.manager().deliveryWithUUID(archived);
  ASSERT_TRUE(archivedDelivery && archivedDelivery->archived());
  EXPECT_FALSE(porvane::app::deliveryCanBeTroubleshot(*archivedDelivery));
  EXPECT_FALSE(porvane::app::deliveryOffersSignIn(*archivedDelivery));

  // Choosing Troubleshoot… opens the window; a second time brings the same one forward.
  menuActions(uuid_);
  g_action_group_activate_action(G_ACTION_GROUP(h_.window().window()), "troubleshoot", nullptr);
  QBYTroubleshootWindow* window = h_.app().troubleshootWindow(uuid_);
  ASSERT_TRUE(window);
  EXPECT_TRUE(gtk_widget_get_visible(GTK_WIDGET(window->window())));
  EXPECT_EQ(gtk_window_get_transient_for(window->window()), h_.window().window());
  h_.app().troubleshootDelivery(uuid_);
  EXPECT_EQ(h_.app().troubleshootWindow(uuid_), window);
  iterateFor(200ms);
  saveScreenshot(GTK_WIDGET(window->window()), "troubleshoot-waiting");
  ASSERT_TRUE(iterateUntil([&] { return window->screen() == Screen::Report; }, 60s));
  window->close();
  ASSERT_TRUE(iterateUntil([&] { return h_.app().troubleshootWindow(uuid_) == nullptr; }));

  // The detail text's error link does the same.
  ASSERT_TRUE(h_.app().detailPane()->handleLink("porvane://error"));
  ASSERT_TRUE(h_.app().troubleshootWindow(uuid_));
  ASSERT_TRUE(iterateUntil(
      [&] { return h_.app().troubleshootWindow(uuid_)->screen() == Screen::Report; }, 60s));

  // Sign In… opens the sign-in window. Its page requests go to a proxy nobody listens on, so
  // nothing leaves the machine.
  {
    auto gone = std::make_unique<FixtureServer>();
    const std::string proxy = gone->url();
    gone.reset();
    WebKitNetworkProxySettings* settings =
        webkit_network_proxy_settings_new(proxy.c_str(), nullptr);
    webkit_network_session_set_proxy_settings(porvane::app::webNetworkSession(),
                                              WEBKIT_NETWORK_PROXY_MODE_CUSTOM, settings);
    webkit_network_proxy_settings_free(settings);
  }
  ASSERT_FALSE(h_.app().signInWindow());
  g_action_group_activate_action(G_ACTION_GROUP(h_.window().window()), "sign-in", nullptr);
  ASSERT_TRUE(h_.app().signInWindow());
  EXPECT_TRUE(iterateUntil([&] { return h_.app().signInWindow()->get_visible(); }));
  iterateFor(300ms);
  saveScreenshot(GTK_WIDGET(h_.app().signInWindow()->gobj()), "troubleshoot-sign-in");
  h_.app().signInWindow()->close();
  iterateFor(200ms);
}

}  // namespace
