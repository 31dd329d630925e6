// The preferences window (an AdwPreferencesWindow): General (sort order, archive with the
// clear-archive confirmation, calendar, background updates, the panel icon, sounds), Shortcuts
// (the global shortcuts through the desktop's GlobalShortcuts portal, or the command to bind
// by hand where the session has none) and Logs (logging on or off, the log folder).
//
// The main application adds its Sync page (see QBYPreferencesPage); porvane-add's window has
// none.
//
// Every control writes the shared defaults and posts "QBYUserDefaultsDidChangeNotification";
// changes that concern the companion (background updates, the panel icon, the shortcuts) also
// write or remove its login item and send it "QBYWormholeActionUpdateSettings", so it reacts
// at once. The controls follow settings changed elsewhere while the window is open.
//
// The owner keeps the object; destroying it destroys the window, and closing the window tells
// `closed` (on the main loop), where the owner may destroy it.
//
// Threads: main thread only.
#pragma once

#include <gtk/gtk.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace qby {
class QBYDeliveriesManager;
}

namespace porvane::forms {

// A page another part of the suite adds to the window. The window keeps it and destroys it
// before itself; the page's widget is an AdwPreferencesPage named after the pane.
class QBYPreferencesPage {
 public:
  virtual ~QBYPreferencesPage() = default;
  virtual GtkWidget* widget() const = 0;
};

class QBYPreferencesWindow {
 public:
  struct Options {
    // "general", "shortcuts", "logs" or the name of an added page; anything else shows
    // General.
    std::optional<std::string> pane;
    // Makes the Sync page for the window being built (given as the page's parent for its
    // dialogs); none: the window has no Sync page.
    std::function<std::unique_ptr<QBYPreferencesPage>(GtkWindow* window)> syncPage;
    std::function<void()> closed;
    // Told on the main loop when the events of a calendar change have been moved (with
    // whether any event changed).
    std::function<void(bool changed)> eventsMoved;
  };

  QBYPreferencesWindow(qby::QBYDeliveriesManager& manager, Options options);
  ~QBYPreferencesWindow();
  QBYPreferencesWindow(const QBYPreferencesWindow&) = delete;
  QBYPreferencesWindow& operator=(const QBYPreferencesWindow&) = delete;

  // Makes the window, transient for the parent (may be null), and presents it.
  static std::unique_ptr<QBYPreferencesWindow> present(GtkWindow* parent,
                                                       qby::QBYDeliveriesManager& manager,
                                                       Options options);

  GtkWindow* window() const;
  // Shows a pane by name ("general", "shortcuts", "logs", "sync" when the window has it).
  void showPane(const std::string& name);
  // Whether the Shortcuts pane found the GlobalShortcuts portal (nothing: not answered yet).
  std::optional<bool> portalAvailable() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace porvane::forms
