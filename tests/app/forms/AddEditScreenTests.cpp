// The add and edit windows with the real finder and store: grouped suggestions for a typed
// number, fast typing that must end on the newest answer, the clipboard's section, choosing a
// suggestion, validation that keeps the window open and puts the cursor where the number is
// missing, and a save that lands in the store.
#include <gtest/gtest.h>

#include <adwaita.h>
#include <gtkmm/init.h>

#include <algorithm>
#include <memory>
#include <string>

#include "FormsTestSupport.h"
#include "QBYAddDeliveryWindow.h"
#include "QBYAddScreen.h"
#include "QBYEditDeliveryWindow.h"
#include "QBYEditScreen.h"
#include "model/Service.h"
#include "model/Setting.h"
#include "support/GtkTestSupport.h"
#include "support/TestSupport.h"

namespace qby::test {
namespace {

using porvane::forms::QBYAddDeliveryWindow;
using porvane::forms::QBYAddScreen;
using porvane::forms::QBYEditDeliveryWindow;

// A UPS number whose check digit holds, as the recognition scripts check it.
const std::string kNumber = "1Z999AA10123456784";

class AddEditScreenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(initGtk());
    // The windows are gtkmm objects; the programs get this from their application object.
    Gtk::init_gtkmm_internals();
    // Nothing from another test (or the desktop) on the clipboard.
    gdk_clipboard_set_text(gdk_display_get_clipboard(gdk_display_get_default()), "");
    forms = std::make_unique<FormsManager>();
  }
  void TearDown() override {
    window.reset();
    editWindow.reset();
    forms.reset();
  }

  void openAddWindow(std::optional<std::string> search) {
    QBYAddDeliveryWindow::Options options;
    options.search = std::move(search);
    options.finished = [this](QBYAddDeliveryWindow::Outcome outcome) { finished = outcome; };
    window = QBYAddDeliveryWindow::present(nullptr, *forms->manager, std::move(options));
  }

  // Waits until the add screen shows the answer for this text.
  bool waitForResults(const std::string& text) {
    return iterateUntil([&] {
      auto* screen = window->addScreen();
      return screen && screen->searchesShown() > 0 && screen->shownSearch() == text;
    });
  }

  static std::vector<std::string> titles(const QBYAddScreen& screen) {
    std::vector<std::string> list;
    for (const auto& row : screen.searchResults())
      if (row.title) list.push_back(*row.title);
    return list;
  }

  static const QBYAddScreen::Row* rowWithNumber(const QBYAddScreen& screen,
                                                const std::string& number) {
    for (const auto& row : screen.searchResults())
      if (row.settings && row.settings->no == std::optional<std::string>(number)) return &row;
    return nullptr;
  }

  std::unique_ptr<FormsManager> forms;
  std::unique_ptr<QBYAddDeliveryWindow> window;
  std::unique_ptr<QBYEditDeliveryWindow> editWindow;
  std::optional<QBYAddDeliveryWindow::Outcome> finished;
};

TEST_F(AddEditScreenTest, ANumberShowsGroupedSuggestionsWithTheFirstOneSelected) {
  // Runs of blanks in the given text become one before it is searched.
  openAddWindow("Boots   " + kNumber);
  const std::string text = "Boots " + kNumber;
  ASSERT_TRUE(waitForResults(text));
  auto& screen = *window->addScreen();
  EXPECT_EQ(std::string(screen.searchEntry().get_text()), text);

  // A copy: choosing a row below replaces the screen that holds them.
  const auto rows = screen.searchResults();
  ASSERT_GE(rows.size(), 2u);
  // Titles group the rows; the first row is a title, never a suggestion.
  EXPECT_TRUE(rows.front().title);
  EXPECT_FALSE(titles(screen).empty());
  const auto* found = rowWithNumber(screen, kNumber);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->settings->from, std::optional<std::string>("www.ups.com"));

  iterateFor(std::chrono::milliseconds(200));
  EXPECT_FALSE(saveScreenshot(GTK_WIDGET(window->gobj()), "add-suggestions").empty());

  // Down and up skip titles; Return on the chosen row opens the edit screen with it.
  screen.moveSelection(1);
  screen.moveSelection(-1);
  screen.chooseSelectedRow();
  ASSERT_TRUE(window->editScreen());
  EXPECT_FALSE(window->addScreen());
  EXPECT_EQ(window->editScreen()->currentSettings().from, rows[1].settings->from);
}

TEST_F(AddEditScreenTest, TypingFastRunsOneSearchAtATimeAndEndsOnTheNewestAnswer) {
  openAddWindow(std::nullopt);
  ASSERT_TRUE(iterateUntil([&] { return window->addScreen()->searchesShown() > 0; }));
  auto& screen = *window->addScreen();
  const std::uint64_t before = screen.searchesRequested();
  // Every keystroke asks for a search before the loop gets a chance to show any answer.
  for (std::size_t length = 1; length <= kNumber.size(); ++length) {
    screen.searchEntry().set_text(kNumber.substr(0, length));
    screen.searchDidUpdate();
  }
  ASSERT_TRUE(waitForResults(kNumber));
  // Nothing older arrives afterwards to replace the newest answer.
  iterateFor(std::chrono::milliseconds(1500));
  EXPECT_EQ(screen.shownSearch(), kNumber);
  EXPECT_TRUE(rowWithNumber(screen, kNumber));
  EXPECT_EQ(screen.mostConcurrentSearches(), 1);
  EXPECT_GE(screen.searchesRequested() - before, kNumber.size());
  // Overtaken answers are dropped, not shown one after another.
  EXPECT_LT(screen.searchesShown(), screen.searchesRequested());
  EXPECT_FALSE(saveScreenshot(GTK_WIDGET(window->gobj()), "add-typing-fast").empty());
}

TEST_F(AddEditScreenTest, TheClipboardNumberGetsASectionOfItsOwn) {
  gdk_clipboard_set_text(gdk_display_get_clipboard(gdk_display_get_default()), kNumber.c_str());
  openAddWindow(std::nullopt);
  ASSERT_TRUE(iterateUntil([&] {
    auto* screen = window->addScreen();
    if (!screen) return false;
    const auto list = titles(*screen);
    return std::find(list.begin(), list.end(), "From Your Clipboard") != list.end();
  }));
  const auto* found = rowWithNumber(*window->addScreen(), kNumber);
  ASSERT_TRUE(found);
  // Shown masked, but carried whole.
  EXPECT_NE(found->settings->displayName, std::optional<std::string>(kNumber));
  iterateFor(std::chrono::milliseconds(200));
  EXPECT_FALSE(saveScreenshot(GTK_WIDGET(window->gobj()), "add-clipboard").empty());
}

TEST_F(AddEditScreenTest, AChosenSuggestionIsSavedIntoTheStoreAndTheWindowCloses) {
  openAddWindow(kNumber);
  ASSERT_TRUE(waitForResults(kNumber));
  auto& screen = *window->addScreen();
  const auto* found = rowWithNumber(screen, kNumber);
  ASSERT_TRUE(found);
  // Down from the first suggestion until the number's row is selected, then Return.
  const auto selectedNumber = [&] {
    const auto index = screen.selectedIndex();
    return index ? screen.searchResults()[*index].settings->no : std::nullopt;
  };
  for (std::size_t i = 0; i < screen.searchResults().size() && selectedNumber() != kNumber; ++i)
    screen.moveSelection(1);
  ASSERT_EQ(selectedNumber(), std::optional<std::string>(kNumber));
  g_signal_emit_by_name(screen.searchEntry().gobj(), "activate");
  ASSERT_TRUE(window->editScreen());
  auto& edit = *window->editScreen();
  EXPECT_EQ(std::string(edit.numberEntry().get_text()), kNumber);
  edit.nameEntry().set_text("Walking boots");
  iterateFor(std::chrono::milliseconds(200));
  EXPECT_FALSE(saveScreenshot(GTK_WIDGET(window->gobj()), "add-edit-screen").empty());

  edit.saveButton().activate();
  ASSERT_TRUE(iterateUntil([&] { return finished.has_value(); }));
  EXPECT_EQ(*finished, QBYAddDeliveryWindow::Outcome::Saved);
  EXPECT_FALSE(window->get_visible());
  EXPECT_EQ(forms->namesOfDeliveriesWithNumber(kNumber), std::vector<std::string>{"Walking boots"});
}

TEST_F(AddEditScreenTest, EscapeClosesTheAddWindowWithoutSaving) {
  openAddWindow(kNumber);
  ASSERT_TRUE(waitForResults(kNumber));
  g_signal_emit_by_name(window->addScreen()->searchEntry().gobj(), "stop-search");
  ASSERT_TRUE(iterateUntil([&] { return finished.has_value(); }));
  EXPECT_EQ(*finished, QBYAddDeliveryWindow::Outcome::Cancelled);
  EXPECT_TRUE(forms->namesOfDeliveriesWithNumber(kNumber).empty());
}

TEST_F(AddEditScreenTest, AMissingNumberKeepsTheWindowOpenAndPutsTheCursorThere) {
  QBYDeliverySettings settings;
  settings.from = "www.ups.com";
  settings.name = "Lamp";
  std::optional<std::shared_ptr<Delivery>> saved;
  editWindow = QBYEditDeliveryWindow::present(
      nullptr, *forms->manager, settings,
      [&saved](std::shared_ptr<Delivery> delivery) { saved = std::move(delivery); });
  auto& edit = editWindow->editScreen();
  ASSERT_TRUE(iterateUntil([&] { return edit.get_mapped(); }));
  edit.nameEntry().grab_focus();
  ASSERT_TRUE(hasFocusWithin(GTK_WIDGET(edit.nameEntry().gobj())));

  edit.saveDelivery();
  iterateFor(std::chrono::milliseconds(1200));  // the message fades in over a second
  EXPECT_FALSE(edit.message().empty());
  // The message names the field as the service labels it.
  EXPECT_NE(edit.message().find(edit.service()->localizedNameForSettingOfType("no")),
            std::string::npos)
      << edit.message();
  EXPECT_TRUE(hasFocusWithin(GTK_WIDGET(edit.numberEntry().gobj())));
  EXPECT_TRUE(editWindow->get_visible());
  EXPECT_FALSE(saved.has_value());
  EXPECT_TRUE(edit.saveButton().get_sensitive());
  EXPECT_FALSE(saveScreenshot(GTK_WIDGET(editWindow->gobj()), "edit-missing-number").empty());

  // With the number the same window saves and closes.
  edit.numberEntry().set_text("  " + kNumber + " ");
  edit.saveDelivery();
  ASSERT_TRUE(iterateUntil([&] { return saved.has_value(); }));
  ASSERT_TRUE(*saved);
  EXPECT_FALSE(editWindow->get_visible());
  EXPECT_EQ(forms->namesOfDeliveriesWithNumber(kNumber), std::vector<std::string>{"Lamp"});
}

TEST_F(AddEditScreenTest, ChangingTheServiceClearsValuesOfAnotherKindAndShowsItsFields) {
  // Find two services whose extra fields differ in kind, from the shipped list.
  std::shared_ptr<Service> withExtra;
  std::shared_ptr<Service> withoutExtra;
  for (const auto& service : forms->manager->services()) {
    if (!withExtra && service->hasSettingOfType("extra") && service->hasSettingOfType("no"))
      withExtra = service;
    if (!withoutExtra && !service->hasSettingOfType("extra") && service->hasSettingOfType("no"))
      withoutExtra = service;
  }
  ASSERT_TRUE(withExtra && withoutExtra);
  QBYDeliverySettings settings;
  settings.from = withExtra->from();
  settings.no = kNumber;
  settings.extra = "12345";
  editWindow = QBYEditDeliveryWindow::present(nullptr, *forms->manager, settings, {});
  auto& edit = editWindow->editScreen();
  ASSERT_TRUE(iterateUntil([&] { return edit.get_mapped(); }));
  EXPECT_TRUE(edit.extraEntry().get_visible());
  EXPECT_EQ(std::string(edit.extraEntry().get_text()), "12345");

  // Back to a service with an extra field: its default value is filled in.
  withExtra->setDefaultExtra(std::string("DE-80331"));
  ASSERT_TRUE(edit.selectService(*withoutExtra->from()));
  ASSERT_TRUE(edit.selectService(*withExtra->from()));
  EXPECT_EQ(std::string(edit.extraEntry().get_text()), "DE-80331");

  ASSERT_TRUE(edit.selectService(*withoutExtra->from()));
  EXPECT_EQ(edit.service(), withoutExtra);
  EXPECT_FALSE(edit.extraEntry().get_visible());
  EXPECT_EQ(std::string(edit.extraEntry().get_text()), "");
  // The number keeps its value only when both services ask for the same kind of number.
  const auto kind = [](const std::shared_ptr<Service>& service) {
    return service->settingOfType("no")->inputType();
  };
  EXPECT_EQ(std::string(edit.numberEntry().get_text()),
            kind(withExtra) == kind(withoutExtra) ? kNumber : "");
  EXPECT_EQ(edit.currentSettings().from, withoutExtra->from());
}

}  // namespace
}  // namespace qby::test
