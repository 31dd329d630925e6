// The main application in the test's own process: an application object that does not claim
// the real instance's bus name, the real QBYAppDelegate with its windows, carrier answers from
// a fixture server on 127.0.0.1, and helpers to add deliveries and to find rows.
#pragma once

#include <gtk/gtk.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "QBYAppDelegate.h"
#include "platform/GLibPtr.h"
#include "support/FixtureServer.h"

namespace porvane::test {

class AppHarness {
 public:
  struct Options {
    std::optional<std::filesystem::path> storeFile;
    std::function<bool()> syncBusy;
  };

  AppHarness();
  explicit AppHarness(Options options);
  ~AppHarness();

  // Registers the application and runs the delegate's launch; answers what
  // applicationWillFinishLaunching answered.
  bool launch();
  app::QBYAppDelegate& app() { return *delegate_; }
  app::QBYMainWindow& window() { return *delegate_->mainWindow(); }
  qby::QBYDeliveriesManager& manager() { return *delegate_->deliveriesManager(); }
  qby::test::FixtureServer& carriers() { return server_; }
  bool terminated() const { return terminated_; }
  const std::vector<std::string>& openedPages() const { return openedPages_; }

  // Saves a delivery as the add screen would; answers its uuid.
  std::string addDelivery(const std::string& from, const std::string& number,
                          const std::string& name);
  // Serves a carrier case of tests/data/carriers ("gls/in-transit").
  void serveCarrierCase(const std::string& name);
  // The row widget of the list's visible row, or nullptr.
  GtkWidget* rowWidget(std::size_t row);
  // The controller of the type on the widget.
  static GtkEventController* controllerOfType(GtkWidget* widget, GType type);
  // Shows the main window and waits until it is mapped and laid out.
  void showWindow(int width = 980, int height = 640);

 private:
  Options options_;
  qby::test::FixtureServer server_;
  qby::GObjectPtr<GtkApplication> application_;
  std::shared_ptr<app::QBYAppDelegate> delegate_;
  bool terminated_ = false;
  std::vector<std::string> openedPages_;
};

}  // namespace porvane::test
