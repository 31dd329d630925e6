// The main window: a header bar with the search, the primary menu and the new-delivery
// button over the delivery list, beside the detail pane, in a leaflet that shows one of them
// at a time on a narrow window. It owns the list, the window actions on the selected delivery,
// their keyboard shortcuts and the shortcuts window, and the toasts.
//
// The main thread only.
#pragma once

#include <adwaita.h>
#include <gtk/gtk.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "QBYDeliveriesList.h"

namespace qby {
class QBYDeliveriesManager;
class Delivery;
}  // namespace qby

namespace porvane::app {

// What the window asks of the application.
class QBYMainWindowHost {
 public:
  virtual ~QBYMainWindowHost() = default;
  virtual void openAddWindow(const std::string& searchText) = 0;
  virtual void openEditWindow(const std::string& uuid) = 0;
  virtual void openURIs(const std::vector<std::string>& uris) = 0;
  virtual void openWebPage(const std::string& uri) = 0;
  virtual void signInForDelivery(const std::string& uuid) = 0;
  virtual void troubleshootDelivery(const std::string& uuid) = 0;
  // The user closed the main window: the application quits.
  virtual void mainWindowClosed() = 0;
};

class QBYMainWindow : private QBYDeliveriesListHost {
 public:
  QBYMainWindow(GtkApplication* application, std::shared_ptr<qby::QBYDeliveriesManager> manager,
                QBYMainWindowHost& host);
  ~QBYMainWindow() override;
  QBYMainWindow(const QBYMainWindow&) = delete;
  QBYMainWindow& operator=(const QBYMainWindow&) = delete;

  GtkWindow* window() const { return GTK_WINDOW(window_); }
  void present();
  QBYDeliveriesList& list() { return *list_; }
  AdwLeaflet* leaflet() const { return leaflet_; }
  GtkSearchEntry* searchEntry() const { return searchEntry_; }
  GtkWindow* shortcutsWindow();
  // Shows the detail side (on a folded window it is the visible one).
  void showDetail();
  // Search from outside (the "search" address): shows the window with the text searched.
  void search(const std::string& text);
  // Puts the detail pane into the leaflet's right side in place of the plain detail text;
  // `show` is told the selected delivery (null: none) whenever the selection or it changes.
  using DetailShower = std::function<void(const std::shared_ptr<qby::Delivery>& delivery)>;
  void setDetailPane(GtkWidget* pane, DetailShower show);

  // The accelerators of the window's actions, for the application to register.
  static const std::vector<std::pair<const char*, std::vector<const char*>>>& accelerators();

 private:
  struct Callbacks;
  // QBYDeliveriesListHost
  void openEditWindow(const std::string& uuid) override;
  void openURIs(const std::vector<std::string>& uris) override;
  void openWebPage(const std::string& uri) override;
  void signInForDelivery(const std::string& uuid) override;
  void troubleshootDelivery(const std::string& uuid) override;
  void selectedDeliveryChanged(const std::shared_ptr<qby::Delivery>& delivery) override;
  void bringWindowForward() override;
  GtkWindow* parentWindow() override { return window(); }

  GtkWidget* buildListSide();
  GtkWidget* buildDetailSide();
  GMenuModel* primaryMenu();
  void addWindowActions();
  void updateActionStates(const std::shared_ptr<qby::Delivery>& delivery);
  void showDetailText(const std::shared_ptr<qby::Delivery>& delivery);

  std::shared_ptr<qby::QBYDeliveriesManager> manager_;
  QBYMainWindowHost& host_;
  std::shared_ptr<QBYDeliveriesList> list_;
  GtkWidget* window_ = nullptr;
  AdwLeaflet* leaflet_ = nullptr;
  AdwToastOverlay* toasts_ = nullptr;
  GtkSearchEntry* searchEntry_ = nullptr;
  GtkWidget* scopeDropDown_ = nullptr;
  GtkBox* detailBox_ = nullptr;
  GtkWidget* detailPlaceholder_ = nullptr;
  GtkWidget* detailLabel_ = nullptr;
  GtkWidget* backButton_ = nullptr;
  GtkWidget* listHeader_ = nullptr;
  GtkWidget* shortcutsWindow_ = nullptr;
  DetailShower showDetail_;
};

}  // namespace porvane::app
