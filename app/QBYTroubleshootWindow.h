// The troubleshoot window of one delivery. It asks the deliveries manager to update the
// delivery again with logging and waits (a spinner and a message); then it shows the results
// of an update that went well (the delivery's status, with "Finish" and "Report Anyway"), or
// the report of one that did not: the report's keys with their display names and the first
// line of each value, "Comments" and "Logs" editable in a text editor. "Send Report" sends the
// report to the sync server's report path with the window's own send operation; sent, a thank
// you; not sent, the report stays as it was, with an alert that says why. Without a sync server
// there is nowhere to send to, and the send action says so and points to Preferences › Sync.
//
// The owner keeps the object in a shared_ptr (the manager holds it weakly as its
// troubleshooting delegate); destroying it cancels a send under way and destroys the window.
// Closing the window tells `closed` on the main loop, where the owner may drop it.
//
// Threads: main thread only.
#pragma once

#include <adwaita.h>
#include <gtk/gtk.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "manager/QBYDeliveriesManager.h"
#include "sync/QBYSendReportOperation.h"
#include "sync/QBYTroubleshootReport.h"

namespace porvane::app {

class QBYTroubleshootWindow : public qby::QBYDeliveriesTroubleshootingDelegate,
                              public std::enable_shared_from_this<QBYTroubleshootWindow> {
 public:
  enum class Screen { Waiting, Results, Report, Success };

  struct Options {
    // The window was closed; called on the main loop.
    std::function<void()> closed;
    // Opens the Sync pane of the preferences (offered when no sync server is set).
    std::function<void()> openSyncPreferences;
  };

  // Makes the window for the delivery (transient for the parent, which may be null), presents
  // it on the waiting screen and starts the troubleshooting update. The manager must outlive
  // the window.
  static std::shared_ptr<QBYTroubleshootWindow> present(
      GtkWindow* parent, std::shared_ptr<qby::QBYDeliveriesManager> manager, std::string uuid,
      Options options);

  QBYTroubleshootWindow(std::shared_ptr<qby::QBYDeliveriesManager> manager, std::string uuid,
                        Options options);
  ~QBYTroubleshootWindow() override;
  QBYTroubleshootWindow(const QBYTroubleshootWindow&) = delete;
  QBYTroubleshootWindow& operator=(const QBYTroubleshootWindow&) = delete;

  // --- Manager's troubleshooting delegate ---
  void completedTroubleshootingWithReport(const qby::Dictionary& collected) override;

  // --- What the user does (the buttons call these) ---
  void finish();
  void reportAnyway();
  // Opens the editor of an editable value; answers the editor dialog (null for a key that is
  // not editable).
  GtkWidget* editValueForKey(const std::string& key);
  void send();
  void close();

  // --- State ---
  const std::string& uuid() const { return uuid_; }
  GtkWindow* window() const { return GTK_WINDOW(window_); }
  Screen screen() const { return screen_; }
  const std::optional<qby::QBYTroubleshootReport>& report() const { return report_; }
  bool sending() const { return sendOperation_ != nullptr; }
  // The report's rows in order: one AdwActionRow per key, named "report-row-<key>".
  GtkListBox* reportList() const { return reportList_; }
  // The text view of the open editor, and the last alert, while they show.
  GtkTextView* editorTextView() const { return editorTextView_; }
  GtkWidget* lastAlert() const { return lastAlert_; }

  // A value as its row shows it: its first line that has text, trimmed.
  static std::string firstLine(const std::string& text);

 private:
  struct Callbacks;
  void build();
  GtkWidget* buildWaitingPage();
  GtkWidget* buildResultsPage();
  GtkWidget* buildReportPage();
  GtkWidget* buildSuccessPage();
  void start();
  void showScreen(Screen screen);
  void showReport();
  void reloadReportRows();
  void sendCompleted(bool success, const std::optional<qby::QBYError>& error);
  void showAlert(GtkWidget* alert);
  qby::QBYTroubleshootReport reportFrom(const qby::Dictionary& collected);

  std::shared_ptr<qby::QBYDeliveriesManager> manager_;
  const std::string uuid_;
  Options options_;
  Screen screen_ = Screen::Waiting;
  std::optional<qby::QBYTroubleshootReport> report_;
  std::unique_ptr<qby::QBYSendReportOperation> sendOperation_;

  GtkWidget* window_ = nullptr;  // our reference
  AdwWindowTitle* title_ = nullptr;
  GtkStack* stack_ = nullptr;
  GtkLabel* statusLabel_ = nullptr;
  GtkListBox* reportList_ = nullptr;
  GtkWidget* sendButton_ = nullptr;
  GtkWidget* sendSpinner_ = nullptr;
  GtkLabel* successLabel_ = nullptr;
  GtkTextView* editorTextView_ = nullptr;  // weak: cleared when the editor goes
  GtkWidget* editor_ = nullptr;            // weak
  GtkWidget* lastAlert_ = nullptr;         // weak
  bool closing_ = false;
};

}  // namespace porvane::app
