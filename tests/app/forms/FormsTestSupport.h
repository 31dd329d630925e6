// A deliveries manager for the window tests: the real store in the test's PORVANE_HOME with
// the shipped services imported, the real finder, and an updater that records what it is given
// and never reaches a network. Inter-process actions are recorded instead of sent.
#pragma once

#include <gtk/gtk.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "manager/QBYDeliveriesManager.h"
#include "store/QBYDataStore.h"

namespace qby::test {

class RecordingUpdater : public QBYDeliveriesUpdaterHandle {
 public:
  void setDelegate(std::weak_ptr<QBYDeliveriesUpdaterDelegate> delegate) override;
  void updateDeliveriesWithSettings(const Array& settings) override;
  void startTroubleshooting() override {}
  void updateLogs() override {}
  void signInForDomain(const std::string&, const std::optional<std::string>&,
                       std::weak_ptr<QBYDeliveriesUpdaterCaptureView>) override {}
  void invalidate() override {}
  void reduceMemoryUsage() override {}
  bool busy() const override { return false; }
  bool configurationFailed() const override { return false; }

  std::vector<Array> runs;

 private:
  std::weak_ptr<QBYDeliveriesUpdaterDelegate> delegate_;
};

struct FormsManager {
  // Makes the store and the manager and starts it (which imports the services list).
  explicit FormsManager(unsigned processType = 0);
  ~FormsManager();

  // Deliveries of the store with this number, read afresh (any process may have written).
  std::vector<std::string> namesOfDeliveriesWithNumber(const std::string& number);

  std::shared_ptr<QBYDataStore> store;
  std::shared_ptr<QBYDeliveriesManager> manager;
  std::shared_ptr<RecordingUpdater> updater;
  std::vector<std::string> actions;
};

// The nearest ancestor of the type of the widget labelled `text` (findWidget), or null.
GtkWidget* rowWithTitle(GtkWidget* root, const std::string& text, GType rowType);

// Every visible toplevel window of the type (message dialogs, for instance).
std::vector<GtkWindow*> visibleWindowsOfType(GType type);

// Whether the keyboard focus of the widget's window is the widget or inside it.
bool hasFocusWithin(GtkWidget* widget);

}  // namespace qby::test
