#include "QBYAddScreen.h"

#include <algorithm>
#include <utility>

#include "QBYDeliveryFormParent.h"
#include "QBYGtkPasteboard.h"
#include "finder/QBYDeliveriesFinder.h"
#include "manager/QBYDeliveriesManager.h"
#include "manager/QBYServiceCatalogue.h"
#include "platform/Localization.h"
#include "platform/MainQueue.h"
#include "platform/QBYOperationQueue.h"

namespace porvane::forms {

namespace {

// The text of the field with every run of blanks made one blank.
std::string collapseSpaces(const std::string& text) {
  std::string out;
  bool blank = false;
  for (char c : text) {
    const bool isBlank = c == ' ' || c == '\t' || c == '\n' || c == '\r';
    if (isBlank) {
      if (!blank) out.push_back(' ');
      blank = true;
    } else {
      out.push_back(c);
      blank = false;
    }
  }
  return out;
}

std::vector<QBYAddScreen::Row> rowsFromSuggestions(const qby::QBYSuggestions& suggestions) {
  std::vector<QBYAddScreen::Row> rows;
  for (std::size_t i = 0; i < suggestions.titles.size(); ++i) {
    rows.push_back({suggestions.titles[i], std::nullopt});
    if (i < suggestions.items.size())
      for (const auto& settings : suggestions.items[i]) rows.push_back({std::nullopt, settings});
  }
  return rows;
}

void setAccessibleLabel(Gtk::Widget& widget, const std::string& label) {
  gtk_accessible_update_property(GTK_ACCESSIBLE(widget.gobj()), GTK_ACCESSIBLE_PROPERTY_LABEL,
                                 label.c_str(), -1);
}

}  // namespace

QBYAddScreen::QBYAddScreen(qby::QBYDeliveriesManager& manager, QBYDeliveryFormParent& parent,
                           const std::optional<std::string>& search,
                           std::vector<qby::Guess> foundGuesses)
    : Gtk::Box(Gtk::Orientation::VERTICAL, 12),
      manager_(manager),
      parent_(parent),
      foundGuesses_(std::move(foundGuesses)),
      searchQueue_(std::make_unique<qby::QBYOperationQueue>("QBYAddViewController:searchQueue")) {
  set_margin_start(12);
  set_margin_end(12);
  set_margin_top(12);
  set_margin_bottom(12);

  // Through the property: gtkmm 4.8 forwards the setter to GtkEntry, which this is not.
  g_object_set(searchEntry_.gobj(), "placeholder-text",
               QBYLocalizedString("Tracking Number, Link or Service").c_str(), nullptr);
  setAccessibleLabel(searchEntry_, QBYLocalizedString("Search"));
  searchEntry_.set_hexpand(true);
  append(searchEntry_);

  list_.set_selection_mode(Gtk::SelectionMode::SINGLE);
  list_.add_css_class("navigation-sidebar");
  setAccessibleLabel(list_, QBYLocalizedString("Suggestions"));
  scroller_.set_child(list_);
  scroller_.set_vexpand(true);
  scroller_.set_policy(Gtk::PolicyType::NEVER, Gtk::PolicyType::AUTOMATIC);
  scroller_.set_min_content_height(280);
  append(scroller_);

  searchEntry_.signal_search_changed().connect([this] { searchDidUpdate(); });
  searchEntry_.signal_activate().connect([this] { chooseSelectedRow(); });
  searchEntry_.signal_stop_search().connect([this] { parent_.cancel(); });
  auto keys = Gtk::EventControllerKey::create();
  keys->set_propagation_phase(Gtk::PropagationPhase::CAPTURE);
  keys->signal_key_pressed().connect(
      [this](guint key, guint, Gdk::ModifierType) {
        if (key == GDK_KEY_Down || key == GDK_KEY_KP_Down) {
          moveSelection(1);
          return true;
        }
        if (key == GDK_KEY_Up || key == GDK_KEY_KP_Up) {
          moveSelection(-1);
          return true;
        }
        return false;
      },
      false);
  searchEntry_.add_controller(keys);
  list_.signal_row_activated().connect([this](Gtk::ListBoxRow* row) { rowActivated(row); });

  auto click = Gtk::GestureClick::create();
  click->set_button(GDK_BUTTON_SECONDARY);
  click->signal_pressed().connect([this](int, double x, double y) {
    showContextMenu(list_.get_row_at_y(static_cast<int>(y)), x, y);
  });
  list_.add_controller(click);
  contextMenu_.set_parent(list_);
  contextMenu_.set_has_arrow(true);
  contextButton_.add_css_class("flat");
  contextMenu_.set_child(contextButton_);
  contextButton_.signal_clicked().connect([this] {
    contextMenu_.popdown();
    if (!contextRow_ || *contextRow_ >= searchResults_.size()) return;
    const std::size_t index = *contextRow_;
    const auto settings = searchResults_[index].settings;
    contextRow_.reset();
    if (!settings) return;
    if (settings->uuid) {
      manager_.removeDeliveryWithSettings(*settings);
    } else if (auto service = manager_.serviceForDomain(settings->from)) {
      manager_.serviceCatalogue().hideService(service);
    }
    removeRow(index);
  });

  pasteboard_ = std::make_shared<QBYGtkPasteboard>();
  manager_.deliveriesFinder().setPasteboard(pasteboard_);

  if (search) searchEntry_.set_text(collapseSpaces(*search));
  searchDidUpdate();

  std::weak_ptr<bool> alive = alive_;
  pasteboard_->refresh(gdk_display_get_clipboard(gdk_display_get_default()),
                       [this, alive](bool changed) {
                         // A clipboard read after the first search adds its section then.
                         if (alive.lock() && changed) searchDidUpdate();
                       });
}

QBYAddScreen::~QBYAddScreen() {
  *alive_ = false;
  // Lets a running search end before the finder it uses could go away with the manager.
  searchQueue_.reset();
  contextMenu_.unparent();
}

void QBYAddScreen::searchDidUpdate() {
  const std::string text = searchEntry_.get_text();
  const std::uint64_t generation = ++*generation_;
  // A search that has not started yet would only be thrown away.
  searchQueue_->cancelAllOperations();
  qby::QBYDeliveriesFinder* finder = &manager_.deliveriesFinder();
  std::weak_ptr<bool> alive = alive_;
  searchQueue_->addOperation([this, finder, alive, generation, text, latest = generation_,
                              state = state_, guesses = foundGuesses_] {
    if (latest->load() != generation) return;
    const int running = ++state->running;
    int most = state->mostConcurrent.load();
    while (running > most && !state->mostConcurrent.compare_exchange_weak(most, running)) {
    }
    auto suggestions = finder->suggestionsForNaturalString(
        text.empty() ? std::nullopt : std::optional<std::string>(text), guesses, true);
    --state->running;
    qby::MainQueue::async(
        [this, alive, generation, text, rows = rowsFromSuggestions(suggestions)]() mutable {
          if (alive.lock()) showResults(generation, text, std::move(rows));
        });
  });
}

void QBYAddScreen::showResults(std::uint64_t generation, const std::string& text,
                               std::vector<Row> rows) {
  // An answer overtaken by a newer search is never shown.
  if (generation != generation_->load()) return;
  searchResults_ = std::move(rows);
  shownSearch_ = text;
  ++searchesShown_;
  contextRow_.reset();

  // Rows only: the context menu's popover is a child of the list too.
  while (Gtk::ListBoxRow* row = list_.get_row_at_index(0)) list_.remove(*row);
  for (const auto& row : searchResults_) {
    auto* listRow = Gtk::make_managed<Gtk::ListBoxRow>();
    if (row.title) {
      auto* label = Gtk::make_managed<Gtk::Label>(*row.title);
      label->set_xalign(0);
      label->add_css_class("heading");
      label->set_margin_top(6);
      listRow->set_child(*label);
      listRow->set_selectable(false);
      listRow->set_activatable(false);
    } else {
      const auto& settings = *row.settings;
      auto* box = Gtk::make_managed<Gtk::Box>(Gtk::Orientation::VERTICAL, 2);
      const std::string title = settings.uuid && settings.name
                                    ? *settings.name
                                    : settings.suggestionTitle().value_or(settings.defaultTitle());
      auto* titleLabel = Gtk::make_managed<Gtk::Label>(title);
      titleLabel->set_xalign(0);
      titleLabel->set_ellipsize(Pango::EllipsizeMode::END);
      box->append(*titleLabel);
      if (auto description = settings.suggestionDescription()) {
        auto* detail = Gtk::make_managed<Gtk::Label>(*description);
        detail->set_xalign(0);
        detail->set_ellipsize(Pango::EllipsizeMode::MIDDLE);
        detail->add_css_class("dim-label");
        detail->add_css_class("caption");
        box->append(*detail);
      }
      box->set_margin_start(12);
      listRow->set_child(*box);
    }
    list_.append(*listRow);
  }
  // Row 1: the first suggestion under the first title.
  if (searchResults_.size() > 1 && searchResults_[1].settings) {
    if (auto* first = list_.get_row_at_index(1)) list_.select_row(*first);
  }
}

std::optional<std::size_t> QBYAddScreen::selectedIndex() const {
  const Gtk::ListBoxRow* row = list_.get_selected_row();
  if (!row) return std::nullopt;
  const int index = row->get_index();
  if (index < 0) return std::nullopt;
  return static_cast<std::size_t>(index);
}

void QBYAddScreen::moveSelection(int step) {
  if (searchResults_.empty()) return;
  const auto current = selectedIndex();
  long index = current ? static_cast<long>(*current) : (step > 0 ? -1 : 0);
  for (index += step; index >= 0 && index < static_cast<long>(searchResults_.size());
       index += step) {
    if (!searchResults_[static_cast<std::size_t>(index)].settings) continue;
    Gtk::ListBoxRow* row = list_.get_row_at_index(static_cast<int>(index));
    if (!row) return;
    list_.select_row(*row);
    // Keeps the chosen row in view without taking the keyboard away from the field.
    double x = 0;
    double y = 0;
    if (row->translate_coordinates(list_, 0, 0, x, y)) {
      auto adjustment = scroller_.get_vadjustment();
      const double height = row->get_height();
      if (y < adjustment->get_value()) {
        adjustment->set_value(y);
      } else if (y + height > adjustment->get_value() + adjustment->get_page_size()) {
        adjustment->set_value(y + height - adjustment->get_page_size());
      }
    }
    return;
  }
}

void QBYAddScreen::chooseSelectedRow() {
  const auto index = selectedIndex();
  if (!index || *index >= searchResults_.size()) return;
  if (const auto& settings = searchResults_[*index].settings)
    parent_.editDeliveryWithSettings(*settings);
}

void QBYAddScreen::rowActivated(Gtk::ListBoxRow* row) {
  if (!row) return;
  list_.select_row(*row);
  chooseSelectedRow();
}

void QBYAddScreen::showContextMenu(Gtk::ListBoxRow* row, double x, double y) {
  if (!row) return;
  const int index = row->get_index();
  if (index < 0 || static_cast<std::size_t>(index) >= searchResults_.size()) return;
  const auto& settings = searchResults_[static_cast<std::size_t>(index)].settings;
  if (!settings) return;
  // Existing deliveries can be deleted; service suggestions hidden. Numbers found in the text
  // have neither.
  if (settings->uuid) {
    contextButton_.set_label(QBYLocalizedString("Delete"));
  } else if (!settings->no && settings->from) {
    contextButton_.set_label(QBYLocalizedString("Hide"));
  } else {
    return;
  }
  contextRow_ = static_cast<std::size_t>(index);
  const Gdk::Rectangle at(static_cast<int>(x), static_cast<int>(y), 1, 1);
  contextMenu_.set_pointing_to(at);
  contextMenu_.popup();
}

void QBYAddScreen::removeRow(std::size_t index) {
  if (index >= searchResults_.size()) return;
  searchResults_.erase(searchResults_.begin() + static_cast<long>(index));
  if (Gtk::ListBoxRow* row = list_.get_row_at_index(static_cast<int>(index))) list_.remove(*row);
}

}  // namespace porvane::forms
