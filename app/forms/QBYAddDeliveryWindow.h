// The window that adds a delivery: the add screen first, then, once a suggestion is chosen,
// the edit screen in its place. The main application saves through the deliveries manager and
// closes; porvane-add hands the settings to the add queue instead (SaveMode::Later), so that
// the program keeping the list adds it without the main window opening.
//
// The owner keeps the window (a std::unique_ptr) and drops it from the `finished` callback,
// which runs once, on the main loop after the window was hidden.
//
// Threads: main thread only.
#pragma once

#include <gtkmm.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "QBYDeliveryFormParent.h"
#include "finder/QBYGuess.h"

namespace qby {
class QBYDeliveriesManager;
}

namespace porvane::forms {

class QBYAddScreen;
class QBYEditScreen;

class QBYAddDeliveryWindow : public Gtk::Window, private QBYDeliveryFormParent {
 public:
  enum class SaveMode {
    Now,   // saveDeliveryWithSettings, then close
    Later  // addDeliveryLaterWithSettings (the add queue and its message), then close
  };
  enum class Outcome { Saved, Cancelled, Failed };

  struct Options {
    // Put into the search field and searched at once.
    std::optional<std::string> search;
    // Guesses already found in shared content.
    std::vector<qby::Guess> foundGuesses;
    SaveMode saveMode = SaveMode::Now;
    // Told once when the window has closed; the owner may destroy the window in it.
    std::function<void(Outcome)> finished;
  };

  QBYAddDeliveryWindow(qby::QBYDeliveriesManager& manager, Options options);
  ~QBYAddDeliveryWindow() override;

  // Makes the window, transient for the parent (may be null), and presents it.
  static std::unique_ptr<QBYAddDeliveryWindow> present(Gtk::Window* parent,
                                                       qby::QBYDeliveriesManager& manager,
                                                       Options options);

  // The screen shown now; the other is null.
  QBYAddScreen* addScreen() const { return addScreen_; }
  QBYEditScreen* editScreen() const { return editScreen_; }
  std::optional<Outcome> outcome() const { return outcome_; }
  // Shows a problem with the shared content instead of the suggestions (porvane-add).
  void showProblem(const std::string& text);

 private:
  void editDeliveryWithSettings(const qby::QBYDeliverySettings& settings) override;
  void saveDeliveryWithSettings(const qby::QBYDeliverySettings& settings) override;
  void cancel() override;
  QBYDeliveryFormParent& formParent() { return *this; }
  void finish(Outcome outcome);
  void showScreen(Gtk::Widget& screen);

  qby::QBYDeliveriesManager& manager_;
  Options options_;
  std::optional<Outcome> outcome_;
  QBYAddScreen* addScreen_ = nullptr;
  QBYEditScreen* editScreen_ = nullptr;
  Gtk::Box content_;
  Gtk::Label problem_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace porvane::forms
