// The windows around the web panes. QBYWebWindowController shows a web pane with the page's
// host as title (a lock icon for https) and, when a password manager is installed, a button
// that opens its search for the page's host. QBYOnlineSignInWindowController adds "Done"
// (ends a sign-in the user opened by hand), the password prompt, and the rule that closing
// the window drops the capture (a waiting page request gets an error, never silence).
//
// Whoever opens a window owns it (a std::unique_ptr), and may drop it once it is hidden.
// The main thread only.
#pragma once

#include <gtkmm.h>

#include <memory>
#include <optional>
#include <string>

#include "QBYOnlineSignInViewController.h"

namespace qby {
class QBYDeliveriesManager;
}

namespace porvane::app {

class QBYWebWindowController : public Gtk::Window {
 public:
  QBYWebWindowController();
  ~QBYWebWindowController() override;

  // Shows the pane (once, before the window is presented).
  void setContent(QBYWebViewController& pane);

  // Shows the password-manager button in place of the spacer, or the reverse.
  void showPasswordButton(bool show);
  bool passwordButtonShown() const { return passwordButton_.get_visible(); }
  // The page host the password manager is asked for: the host without a leading "www.",
  // "checkout." or "secure<n>.store.".
  static std::string passwordSearchHost(const std::string& host);
  // The desktop entry of an installed password manager, if any.
  static std::optional<std::string> passwordManagerDesktopID();
  // The address that opens the password manager's search for the host (as passwordSearchHost
  // trims it).
  static std::string passwordSearchAddress(const std::string& host);

 protected:
  Gtk::HeaderBar header_;
  Gtk::Button passwordButton_;

 private:
  void updateTitle();
  void openPasswordUtility();

  QBYWebViewController* pane_ = nullptr;
  Gtk::Box titleBox_{Gtk::Orientation::HORIZONTAL, 6};
  Gtk::Image lock_;
  Gtk::Label titleLabel_;
  Gtk::Box spacer_;
};

class QBYOnlineSignInWindowController : public QBYWebWindowController {
 public:
  explicit QBYOnlineSignInWindowController(QBYOnlineSignInViewController::SignInStarter starter);
  ~QBYOnlineSignInWindowController() override;

  // A window whose completed sign-in asks the manager to update the service's deliveries
  // through it. The manager must outlive the window.
  static std::unique_ptr<QBYOnlineSignInWindowController> forManager(
      qby::QBYDeliveriesManager& manager);

  // Forwards to the pane and presents the window.
  void signInForURL(const std::string& url, const std::string& from,
                    const std::optional<std::string>& extra, bool manual);
  // The same, starting where the service's sign-in starts (signInURLForService).
  void signInForService(const std::string& from, const std::optional<std::string>& extra,
                        bool manual);
  // The "Done" button.
  void completeSignIn();
  void disableButtons();

  QBYOnlineSignInViewController& pane() { return pane_; }
  Gtk::Button& doneButton() { return doneButton_; }

  // Replaces the password sheet (tests answer it themselves).
  void setPasswordPrompt(QBYOnlineSignInViewController::PasswordPrompt prompt);

 private:
  bool windowShouldClose();
  void presentPasswordSheet(std::function<void(bool save)> answer);

  QBYOnlineSignInViewController pane_;
  Gtk::Button doneButton_;
};

}  // namespace porvane::app
