// The Today window: a compact window with the active deliveries, for a glance from the panel
// icon (`porvane-app --today`). It runs a deliveries manager of its own with the widget's
// process type (1) on the shared store, so it updates only when an update is due (at most once
// in 300 s, or when the main application runs, by asking it to), hands the notifications of its
// runs to the companion, and tells when another program changed the list meanwhile.
//
// Rows offer what the panel menu offers: open in the main application (a click on the row), the
// tracking page, the next package (also a click on the day badge), edit, refresh, archive and
// copy; the header adds a delivery. Dragging a row to another place moves it and switches the list
// to manual order.
//
// Threads: main thread only. Every callback it registers arrives on the main loop.
#pragma once

#include <gtk/gtk.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "manager/QBYDeliveriesManager.h"
#include "platform/Date.h"
#include "platform/QBYNotificationCenter.h"

namespace qby {
class Delivery;
class QBYDataStore;
class QBYSyncManager;
}  // namespace qby

namespace porvane::today {

// Standard-defaults key: the manager's last-updated date at the previous update of the window.
inline constexpr const char* QBYLastUpdatedDateKey = "QBYLastUpdatedDate";

class QBYTodayWindow final : public qby::QBYDeliveriesManagerDelegate,
                             public qby::QBYDeliveriesNotificationDelegate,
                             public std::enable_shared_from_this<QBYTodayWindow> {
 public:
  // Seconds an update of the window keeps it from asking for another.
  static constexpr double kUpdateInterval = 300;
  // Rows the window shows at least and at most of the relevant deliveries at the top.
  static constexpr std::size_t kMinimumRowsAtLeast = 1, kMinimumRowsAtMost = 5;

  // How the window reaches the world; every member has a working default.
  struct Environment {
    // Options of the window's deliveries manager (tests give a fake updater).
    qby::QBYDeliveriesManager::Options managerOptions;
    // The store; empty: the shared store of the container (PORVANE_HOME).
    std::shared_ptr<qby::QBYDataStore> dataStore;
    // Opens an address; empty: the desktop's handler.
    std::function<bool(const std::string& uri)> openURI;
    // Starts the companion before it is handed a notification; empty: bus activation.
    std::function<void()> launchCompanion;
  };

  // --- Entry point ---
  // Presents the process's one Today window in the application (creating it on first call)
  // and asks it for an update. Answers the window; nothing when the store is unavailable (the
  // window then still shows, empty, and every update answers "failed").
  static std::shared_ptr<QBYTodayWindow> present(GtkApplication* application);

  // A window of its own (tests, or a program that hosts several).
  static std::shared_ptr<QBYTodayWindow> create(GtkApplication* application,
                                                Environment environment = {});
  ~QBYTodayWindow() override;
  QBYTodayWindow(const QBYTodayWindow&) = delete;
  QBYTodayWindow& operator=(const QBYTodayWindow&) = delete;

  GtkWindow* window() const;
  qby::QBYDeliveriesManager* deliveriesManager() const { return manager_.get(); }

  // --- Updating ---
  // Asks for an update as the panel does: a pending request is answered failed first; then,
  // when an update is due, the manager updates and the completion gets its answer when it
  // ends; otherwise the completion is answered at once (no data, or failed without manager).
  // Answers: 0 new data, 1 no data, 2 failed.
  void performUpdate(std::function<void(unsigned answer)> completion = {});
  // Whether performUpdate would ask the manager to update now.
  bool updateDue() const;
  // When the window last finished an update.
  const std::optional<qby::Date>& updateDate() const { return updateDate_; }
  // The last answer given (nothing before the first).
  const std::optional<unsigned>& lastAnswer() const { return lastAnswer_; }

  // --- List ---
  // The deliveries shown: the manager's active deliveries.
  const std::vector<std::shared_ptr<qby::Delivery>>& deliveries() const { return rows_; }
  // Rows to show at least: the relevant deliveries from the top (a line due within seven days
  // or a change within four), at least one, at most five.
  static std::size_t minimumVisibleRows(const std::vector<std::shared_ptr<qby::Delivery>>& list,
                                        const qby::Date& now);
  std::size_t minimumVisibleRows() const { return minimumRows_; }
  // Reloads the list from the manager and rebuilds the rows.
  void refreshDeliveries();
  // Moves a row; on success the list's sort mode becomes manual. Answers whether it moved.
  bool moveDeliveryFromRow(std::size_t from, std::size_t to);
  // Archives the delivery of the row.
  void removeDeliveryFromRow(std::size_t row);

  // --- Row actions (the row's buttons and menu call these) ---
  void openDelivery(std::size_t row, bool trackingPage);
  void advancePackage(std::size_t row);
  void editDelivery(std::size_t row);
  void refreshDelivery(std::size_t row);
  void copyDelivery(std::size_t row);
  void addDelivery();

  // --- Manager's delegates ---
  void shouldReloadDeliveries() override;
  void completedUpdateWithResult(unsigned updateResult) override;
  void updatedDelivery(const std::shared_ptr<qby::Delivery>& delivery) override;
  void addedDelivery(const std::shared_ptr<qby::Delivery>& delivery, std::size_t row) override;
  void removedDelivery(const std::shared_ptr<qby::Delivery>& delivery, std::size_t row,
                       bool deleted) override;
  long applicationState() override { return 2; }
  void presentDeliveryNotification(const qby::QBYNotification& notification) override;
  void removeNotificationForUUID(const std::string& uuid) override;

 private:
  struct Widgets;
  QBYTodayWindow(GtkApplication* application, Environment environment);
  void setUpIfNeeded();
  void callCompletionHandler(unsigned result);
  void rebuildRows();
  bool openURL(const std::string& uri);
  std::shared_ptr<qby::Delivery> deliveryAtRow(std::size_t row) const;
  void saveChangeOf(const std::shared_ptr<qby::Delivery>& delivery);

  GtkApplication* application_ = nullptr;
  Environment environment_;
  std::unique_ptr<Widgets> widgets_;
  std::shared_ptr<qby::QBYDataStore> dataStore_;
  std::shared_ptr<qby::QBYSyncManager> syncManager_;
  std::shared_ptr<qby::QBYDeliveriesManager> manager_;
  std::vector<qby::ObserverToken> observers_;
  std::function<void(unsigned)> completionHandler_;
  bool updatePending_ = false;
  std::optional<qby::Date> updateDate_;
  std::optional<unsigned> lastAnswer_;
  std::vector<std::shared_ptr<qby::Delivery>> rows_;
  std::size_t minimumRows_ = 1;
};

}  // namespace porvane::today
