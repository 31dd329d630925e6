// The delivery list of the main window: a GtkListView over a model of the shown deliveries
// (the manager's list, or the results of a search), one recycled row widget per visible row
// with the texts of QBYDeliveryRowText, the search and its scope, the commands on a delivery
// (as actions of the window, the context menu and keyboard shortcuts), reordering by drag,
// drops of web addresses, copying, exporting and printing, and the status line floating over
// the list. It is the deliveries manager's view delegate; every rule stays in the manager.
//
// The main thread only. Keep the instance in a shared_ptr (the manager holds it weakly).
#pragma once

#include <adwaita.h>
#include <gtk/gtk.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "QBYRowModel.h"
#include "manager/QBYDeliveriesManager.h"
#include "manager/QBYRefreshTimer.h"
#include "platform/GLibPtr.h"
#include "platform/QBYNotificationCenter.h"

namespace qby {
class Delivery;
}

namespace porvane::app {

// What the list asks of the window and the application.
class QBYDeliveriesListHost {
 public:
  virtual ~QBYDeliveriesListHost() = default;
  virtual void openEditWindow(const std::string& uuid) = 0;
  // Addresses dropped onto the list, for the application's opener (add window, documents).
  virtual void openURIs(const std::vector<std::string>& uris) = 0;
  // A web page in the desktop's browser.
  virtual void openWebPage(const std::string& uri) = 0;
  // The selection changed (nothing selected: null); the detail pane follows it.
  virtual void selectedDeliveryChanged(const std::shared_ptr<qby::Delivery>& delivery) = 0;
  // The Sign In… and Troubleshoot… commands: the sign-in window, the troubleshoot window.
  virtual void signInForDelivery(const std::string& uuid) = 0;
  virtual void troubleshootDelivery(const std::string& uuid) = 0;
  // A presented delivery asks for the window to come forward.
  virtual void bringWindowForward() = 0;
  // The window the list's dialogs belong to.
  virtual GtkWindow* parentWindow() = 0;
};

// Search scopes as the store's search counts them.
enum QBYSearchScope : int {
  QBYSearchScopeNone = -1,
  QBYSearchScopeAll = 0,
  QBYSearchScopeArchived = 1,
  QBYSearchScopeActive = 2
};
inline constexpr const char* QBYSearchScopeDidChangeNotification = "QBYSearchScopeDidChange";

class QBYDeliveriesList : public qby::QBYDeliveriesManagerDelegate,
                          public std::enable_shared_from_this<QBYDeliveriesList> {
 public:
  QBYDeliveriesList(std::shared_ptr<qby::QBYDeliveriesManager> manager,
                    QBYDeliveriesListHost& host);
  ~QBYDeliveriesList() override;
  QBYDeliveriesList(const QBYDeliveriesList&) = delete;
  QBYDeliveriesList& operator=(const QBYDeliveriesList&) = delete;

  // Builds the widgets, adds the delivery actions to the window's action map, and becomes the
  // manager's delegate. Call once, before showing the window.
  void attach(GActionMap* window, AdwToastOverlay* toasts);
  // The list with its empty-list text and status line; owned by the window once packed.
  GtkWidget* widget() const { return overlay_; }
  GtkListView* listView() const { return view_; }

  // --- Content ---
  void reload();
  const std::vector<std::shared_ptr<qby::Delivery>>& shownDeliveries() const { return shown_; }
  std::shared_ptr<qby::Delivery> selectedDelivery() const;
  bool selectDelivery(const std::shared_ptr<qby::Delivery>& delivery);
  std::optional<std::size_t> rowOfDelivery(const qby::Delivery& delivery) const;

  // --- Search ---
  void setSearchString(const std::string& text);
  void setSearchScope(int scope);
  const std::string& searchString() const { return searchString_; }
  int searchScope() const { return searchScope_; }
  bool searchActive() const { return !searchString_.empty(); }

  // --- Commands (on the given delivery) ---
  void archive(const std::shared_ptr<qby::Delivery>& delivery);
  void restore(const std::shared_ptr<qby::Delivery>& delivery);
  // Asks first; the answer goes to the manager.
  void confirmDelete(const std::shared_ptr<qby::Delivery>& delivery);
  void refresh(const std::shared_ptr<qby::Delivery>& delivery);
  void copy(const std::shared_ptr<qby::Delivery>& delivery);
  // The save dialog ("Export"); the chosen file gets exportToFile.
  void chooseExportFile(const std::shared_ptr<qby::Delivery>& delivery);
  // Writes the delivery as a delivery document to the file, replacing it whole; false
  // (logged, told) when it could not be written.
  bool exportToFile(const std::shared_ptr<qby::Delivery>& delivery,
                    const std::filesystem::path& file);
  // With a file: prints into that PDF without a dialog; otherwise through the print dialog.
  bool print(const std::shared_ptr<qby::Delivery>& delivery,
             const std::optional<std::filesystem::path>& pdf = std::nullopt);
  void openOnline(const std::shared_ptr<qby::Delivery>& delivery);
  // Shows the package (0-based, in the delivery's sorted details) or steps by +1/-1.
  void showPackage(const std::shared_ptr<qby::Delivery>& delivery, std::int64_t index);
  void stepPackage(const std::shared_ptr<qby::Delivery>& delivery, int step);
  // Moves a row to above another (drop rows past the end go last). Refused, false, while a
  // search is active: the rows shown are not the list's rows then.
  bool moveRow(std::int64_t from, std::int64_t to);
  // Addresses dropped onto the list; false when the drop carries none (refused).
  bool dropURIs(const std::vector<std::string>& uris, const std::optional<std::string>& text);

  // The context menu of the row (it is selected first); the model the popover shows.
  GMenuModel* contextMenuForRow(std::size_t row, bool alternate);
  // The status line's text while it shows.
  std::optional<std::string> statusText() const;
  AdwToast* lastToast() const { return lastToast_; }
  GtkWidget* lastDialog() const { return lastDialog_; }

  // --- Manager delegate ---
  void shouldReloadDeliveries() override;
  void completedUpdateWithResult(unsigned updateResult) override;
  void updatedDelivery(const std::shared_ptr<qby::Delivery>& delivery) override;
  void addedDelivery(const std::shared_ptr<qby::Delivery>& delivery, std::size_t row) override;
  void removedDelivery(const std::shared_ptr<qby::Delivery>& delivery, std::size_t row,
                       bool deleted) override;
  void shouldPresent(unsigned present, const std::shared_ptr<qby::Delivery>& delivery) override;
  void installedServiceUpdatesVersion(std::int64_t version, bool beta) override;

 private:
  struct Callbacks;
  void buildView();
  void addActions(GActionMap* window);
  // rebind: redraw the rows on screen even when the list is the same.
  void replaceRows(std::vector<std::shared_ptr<qby::Delivery>> rows, bool rebind = false);
  void rebindRow(std::size_t row);
  void rebindAll();
  void showStatus(const std::optional<std::string>& status);
  void updateEmptyText();
  // The manager's list or the search results; rebind redraws rows whose records stay.
  void showRows(bool rebind);
  void saveSelectionChange(const std::shared_ptr<qby::Delivery>& delivery);
  void dropContextPopover();
  void rememberDialog(GtkWidget* dialog);

  std::shared_ptr<qby::QBYDeliveriesManager> manager_;
  QBYDeliveriesListHost& host_;
  std::vector<std::shared_ptr<qby::Delivery>> shown_;
  std::string searchString_;
  int searchScope_ = QBYSearchScopeNone;

  GtkWidget* overlay_ = nullptr;  // owned by its parent once packed; kept alive here
  GtkListView* view_ = nullptr;
  QBYRowModel* model_ = nullptr;             // owned by selection_
  GtkSingleSelection* selection_ = nullptr;  // owned by view_
  GtkWidget* emptyLabel_ = nullptr;
  GtkWidget* statusRevealer_ = nullptr;
  GtkWidget* statusLabel_ = nullptr;
  GtkWidget* contextPopover_ = nullptr;  // one reference of ours while open
  AdwToastOverlay* toasts_ = nullptr;
  AdwToast* lastToast_ = nullptr;    // weak: cleared when dismissed
  GtkWidget* lastDialog_ = nullptr;  // weak pointer
  std::optional<std::string> statusText_;
  qby::GObjectPtr<GMenu> contextMenu_;
  qby::QBYRefreshTimer refreshTimer_;
  std::vector<qby::ObserverToken> observers_;
  bool selecting_ = false;
};

}  // namespace porvane::app
