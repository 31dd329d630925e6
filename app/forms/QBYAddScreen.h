// The add screen: a search field whose text the finder turns into grouped suggestions
// (existing deliveries, numbers found in the text or on the clipboard, services), shown as one
// list with the group titles as rows that cannot be chosen. Choosing a suggestion hands its
// settings to the parent, which shows the edit screen.
//
// Searches run on a serial queue of their own, one at a time; a newer search cancels one that
// has not started, and only the answer of the newest search is shown, so fast typing never
// shows stale rows.
//
// Threads: main thread only. The finder is called on the search queue; answers come back on
// the main loop and are dropped when the screen is gone.
#pragma once

#include <gtkmm.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "finder/QBYGuess.h"
#include "model/QBYDeliverySettings.h"

namespace qby {
class QBYDeliveriesManager;
class QBYOperationQueue;
}  // namespace qby

namespace porvane::forms {

class QBYDeliveryFormParent;
class QBYGtkPasteboard;

class QBYAddScreen : public Gtk::Box {
 public:
  // One row of the list: a group title, or the settings of a suggestion.
  struct Row {
    std::optional<std::string> title;
    std::optional<qby::QBYDeliverySettings> settings;
  };

  // The search text, when given, goes into the field with runs of blanks made one, and is
  // searched at once; foundGuesses are guesses already found in shared content.
  QBYAddScreen(qby::QBYDeliveriesManager& manager, QBYDeliveryFormParent& parent,
               const std::optional<std::string>& search, std::vector<qby::Guess> foundGuesses);
  ~QBYAddScreen() override;

  Gtk::SearchEntry& searchEntry() { return searchEntry_; }
  // The rows shown now, titles included, in order.
  const std::vector<Row>& searchResults() const { return searchResults_; }
  // The text whose answer the rows show.
  const std::string& shownSearch() const { return shownSearch_; }
  // Searches asked for, and answers shown, since the screen was made.
  std::uint64_t searchesRequested() const { return generation_->load(); }
  std::uint64_t searchesShown() const { return searchesShown_; }
  // The most searches that ran at the same moment (one, unless the queue broke its promise).
  int mostConcurrentSearches() const { return state_->mostConcurrent.load(); }

  // The index in searchResults() of the selected row.
  std::optional<std::size_t> selectedIndex() const;
  // Moves the selection to the next or previous suggestion, skipping titles.
  void moveSelection(int step);
  // Chooses the selected suggestion (Return).
  void chooseSelectedRow();
  // Runs a search for the field's text now (the field's change signal calls this).
  void searchDidUpdate();

 private:
  struct SearchState {
    std::atomic<int> running{0};
    std::atomic<int> mostConcurrent{0};
  };
  void showResults(std::uint64_t generation, const std::string& text, std::vector<Row> rows);
  void rowActivated(Gtk::ListBoxRow* row);
  void showContextMenu(Gtk::ListBoxRow* row, double x, double y);
  void removeRow(std::size_t index);

  qby::QBYDeliveriesManager& manager_;
  QBYDeliveryFormParent& parent_;
  std::vector<qby::Guess> foundGuesses_;
  std::vector<Row> searchResults_;
  std::string shownSearch_;
  std::uint64_t searchesShown_ = 0;
  std::shared_ptr<std::atomic<std::uint64_t>> generation_ =
      std::make_shared<std::atomic<std::uint64_t>>(0);
  std::shared_ptr<SearchState> state_ = std::make_shared<SearchState>();
  // Answers queued on the main loop check this before touching the screen.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  std::shared_ptr<QBYGtkPasteboard> pasteboard_;
  std::unique_ptr<qby::QBYOperationQueue> searchQueue_;

  Gtk::SearchEntry searchEntry_;
  Gtk::ScrolledWindow scroller_;
  Gtk::ListBox list_;
  Gtk::Popover contextMenu_;
  Gtk::Button contextButton_;
  std::optional<std::size_t> contextRow_;
};

}  // namespace porvane::forms
