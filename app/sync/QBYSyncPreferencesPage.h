// The Sync page of the preferences: which sync is on, and the forms that sign in to, register
// with or leave the account's sync server. It shows one of four views after the sync manager's
// state: loading (start-up not finished), signed in, the sign-in form or the registration form
// (a two-part switch chooses between them). There is no built-in server: the forms ask for
// the server's address, which must use https except on this machine's loopback interface.
//
// Signing in hands the form to the sync manager (validateQuillbaySettings) and waits for its
// success, failure or change notifications; their messages appear in the status line, and a
// message of 101 characters or more also in an alert. Registering first shows the server's
// terms (QBYTermsSheet); the answer decides whether the form carries "terms".
//
// Threads: main thread only. The sync manager must outlive the page.
#pragma once

#include <gtk/gtk.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "QBYPreferencesWindow.h"
#include "platform/Value.h"

namespace qby {
class QBYSyncManager;
}

namespace porvane::app {

class QBYTermsSheet;

class QBYSyncPreferencesPage : public forms::QBYPreferencesPage {
 public:
  enum class View { Loading, SignedIn, SignIn, Register };

  struct Options {
    // Opens web addresses (the password-reset page, the help page); false when it could not.
    std::function<bool(const std::string& uri)> openURI;
  };

  QBYSyncPreferencesPage(qby::QBYSyncManager& sync, GtkWindow* window, Options options);
  ~QBYSyncPreferencesPage() override;
  QBYSyncPreferencesPage(const QBYSyncPreferencesPage&) = delete;
  QBYSyncPreferencesPage& operator=(const QBYSyncPreferencesPage&) = delete;

  GtkWidget* widget() const override;

  View view() const;
  // The text of the status line under the forms.
  std::string statusText() const;
  // The form as the page keeps it (nothing: no form started).
  const std::optional<qby::Dictionary>& settings() const;
  bool forceQuillbayForm() const;
  bool agreedToTerms() const;
  // The terms sheet while it is shown.
  QBYTermsSheet* termsSheet() const;
  // Chooses the view now instead of 0.1 s after a change.
  void updateView();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace porvane::app
