// The right side of the main window: the detail text of the selected delivery, and below it the
// few buttons that lead the user out of the delivery's present trouble (a password to enter, a
// sign-in, settings to fix) or on to the carrier's page. Several selected deliveries show how
// many there are; none shows an empty page.
//
// The pane rebuilds its text and buttons whenever showDeliveries() or reload() is called; the
// main window calls reload() after the manager told it the shown delivery changed. Actions that
// need another window (edit, sign-in, troubleshooting, map) go to the delegate; the pane itself
// archives, opens pages, selects packages from the text's links and asks for a password.
//
// Threads: main thread only, like GTK. The deliveries are records of the manager's view
// context.
#pragma once

#include <gtkmm.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "model/QBYDeliverySettings.h"

namespace qby {
class Delivery;
class QBYDeliveriesManager;
}  // namespace qby

namespace porvane::app {

// What the main window answers for the pane. Calls arrive on the main thread; the optional ones
// have empty defaults.
class QBYDetailPaneDelegate {
 public:
  virtual ~QBYDetailPaneDelegate() = default;
  // Open the edit window with the delivery's settings. settings.missingSetting names a field
  // the window asks for first ("password"), when set.
  virtual void editDeliveryWithSettings(const qby::QBYDeliverySettings& settings) = 0;
  // Start the online sign-in for the delivery's shop (the sign-in window).
  virtual void signInForDelivery(const std::string& uuid) { (void)uuid; }
  // Start troubleshooting of the delivery (a link of the "error" type).
  virtual void troubleshootDelivery(const std::string& uuid) { (void)uuid; }
  // The pane archived the delivery (the window may offer to undo it).
  virtual void archivedDelivery(const std::string& uuid) { (void)uuid; }
};

class QBYDetailPane : public Gtk::Box {
 public:
  enum class ButtonKind { Password, Help, Edit, Archive, Online };

  // One button as the state of a delivery asks for it.
  struct ButtonChoice {
    ButtonKind kind;
    std::string title;     // localised
    std::string iconName;  // a symbolic icon of the desktop's theme
    bool operator==(const ButtonChoice&) const = default;
  };

  // The buttons for the delivery, in the order of the row from the leading edge: online,
  // archive, edit, help, password (each only when the state asks for it).
  static std::vector<ButtonChoice> buttonsForDelivery(const qby::Delivery& delivery);
  // The product's help page for the delivery's trouble.
  static std::string helpAddressForDelivery(const qby::Delivery& delivery);

  // Opens an address in the desktop's handler; false when that failed.
  using URIOpener = std::function<bool(const std::string& uri)>;

  // The manager must outlive the pane.
  explicit QBYDetailPane(qby::QBYDeliveriesManager& manager);
  ~QBYDetailPane() override;
  QBYDetailPane(const QBYDetailPane&) = delete;
  QBYDetailPane& operator=(const QBYDetailPane&) = delete;

  // Held weakly in spirit: the delegate must outlive the pane or be cleared with nullptr.
  void setDelegate(QBYDetailPaneDelegate* delegate) { delegate_ = delegate; }
  // Replaces how addresses are opened (the default asks the desktop).
  void setURIOpener(URIOpener opener);

  // The selection of the list: none, one or several deliveries.
  void showDeliveries(std::vector<std::shared_ptr<qby::Delivery>> deliveries);
  // Rebuilds text and buttons of what is shown (after the delivery changed).
  void reload();
  // The one delivery shown, or nothing (no or several selected).
  std::shared_ptr<qby::Delivery> shownDelivery() const;

  // --- The actions behind the buttons and links (the buttons call these) ---
  // Password → password prompt; sign-in required → delegate's sign-in; error → edit window.
  void resolveError();
  void openHelp();
  // Archives the shown delivery through the manager; false when there was none to archive.
  bool archive();
  // Opens the tracking page; false when there is none or it could not be opened.
  bool showOnline();
  // Answers a link of the detail text: "porvane://showpackage/<n>" selects the package,
  // "porvane://error/…" starts troubleshooting, web addresses open in the browser. Answers
  // whether the link was handled.
  bool handleLink(const std::string& uri);
  // Stores the password for the shown delivery's account and asks for a new update; false
  // with *error set when nothing was stored.
  bool savePassword(const std::string& password, std::string* error = nullptr);

  // --- Parts the tests and the window read ---
  Gtk::Label& textLabel() { return text_; }
  Gtk::Box& buttonRow() { return buttons_; }
  // The open password prompt, or nullptr.
  GtkWidget* passwordPrompt() const;
  // The box holding the route map of the shown delivery (hidden when it has no places).
  Gtk::Box& mapPlaceholder() { return map_; }

 private:
  struct PasswordPrompt;
  void rebuild();
  void rebuildButtons(const qby::Delivery* delivery);
  // Shows the delivery's places on the route map (hidden when it has none).
  void updateMap(const std::shared_ptr<qby::Delivery>& delivery);
  void askForPassword();
  void selectPackage(long index);

  qby::QBYDeliveriesManager& manager_;
  QBYDetailPaneDelegate* delegate_ = nullptr;
  URIOpener openURI_;
  std::vector<std::shared_ptr<qby::Delivery>> deliveries_;

  Gtk::ScrolledWindow scroller_;
  Gtk::Box content_;
  Gtk::Label text_;
  Gtk::Box map_;
  Gtk::Box buttons_;
  Gtk::Label placeholder_;
  std::unique_ptr<PasswordPrompt> prompt_;
};

}  // namespace porvane::app
