// porvane-add's flow with the real finder and store: a file or some text handed over, the
// number found in it proposed, and the delivery saved into the add queue with its message,
// with no window but its own, for the program keeping the list to add; a file that cannot be
// read shows why and saves nothing.
#include <gtest/gtest.h>

#include <adwaita.h>
#include <gtkmm/init.h>

#include <memory>
#include <string>

#include "FormsTestSupport.h"
#include "QBYAddExtension.h"
#include "QBYAddScreen.h"
#include "QBYEditScreen.h"
#include "platform/QBYUserDefaults.h"
#include "store/QBYDeliveriesQueries.h"
#include "support/GtkTestSupport.h"
#include "support/TestSupport.h"

namespace qby::test {
namespace {

using porvane::add::QBYAddExtension;

const std::string kNumber = "1Z999AA10123456784";

class AddExtensionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(initGtk());
    Gtk::init_gtkmm_internals();
    gdk_clipboard_set_text(gdk_display_get_clipboard(gdk_display_get_default()), "");
    forms = std::make_unique<FormsManager>(QBYProcessTypeWidget);
  }
  void TearDown() override {
    extension.reset();
    forms.reset();
  }

  void start(std::vector<std::string> arguments) {
    extension = std::make_unique<QBYAddExtension>(
        *forms->manager, std::move(arguments),
        [this](QBYAddExtension::Outcome outcome) { finished = outcome; });
    extension->start();
    ASSERT_TRUE(iterateUntil([&] { return extension->window() != nullptr; }));
  }

  // Waits for the number among the suggestions, chooses it and saves it.
  void chooseAndSave(const std::string& name) {
    auto* window = extension->window();
    ASSERT_TRUE(iterateUntil([&] {
      auto* screen = window->addScreen();
      if (!screen || screen->searchesShown() == 0) return false;
      for (const auto& row : screen->searchResults())
        if (row.settings && row.settings->no == std::optional<std::string>(kNumber)) return true;
      return false;
    }));
    auto& screen = *window->addScreen();
    for (std::size_t i = 0; i < screen.searchResults().size(); ++i) {
      const auto index = screen.selectedIndex();
      if (index && screen.searchResults()[*index].settings->no == kNumber) break;
      screen.moveSelection(1);
    }
    iterateFor(std::chrono::milliseconds(200));
    EXPECT_FALSE(saveScreenshot(GTK_WIDGET(window->gobj()), "porvane-add-" + name).empty());
    screen.chooseSelectedRow();
    ASSERT_TRUE(window->editScreen());
    window->editScreen()->nameEntry().set_text(name);
    window->editScreen()->saveDelivery();
    ASSERT_TRUE(iterateUntil([&] { return finished.has_value(); }));
  }

  static Array addQueue() {
    auto& defaults = QBYDataStore::sharedDefaults();
    defaults.synchronize();
    return defaults.arrayForKey(QBYAddToDeliveriesKey).value_or(Array{});
  }

  void expectQueuedAndAddedLater(const std::string& name) {
    EXPECT_EQ(*finished, QBYAddExtension::Outcome::Saved);
    const Array queue = addQueue();
    ASSERT_EQ(queue.size(), 1u);
    const Dictionary* entry = queue[0].dictionaryPtr();
    ASSERT_TRUE(entry);
    EXPECT_EQ((*entry)["no"].asString(), kNumber);
    EXPECT_EQ((*entry)["name"].asString(), name);
    EXPECT_EQ(forms->actions, std::vector<std::string>{QBYWormholeActionAddDelivery});
    // Nothing in the store yet, and no window of the main application.
    EXPECT_TRUE(forms->namesOfDeliveriesWithNumber(kNumber).empty());
    EXPECT_TRUE(visibleWindowsOfType(GTK_TYPE_APPLICATION_WINDOW).empty());
    // The program that keeps the list takes it from the queue.
    forms->manager->checkForAddedDeliveries();
    EXPECT_EQ(forms->namesOfDeliveriesWithNumber(kNumber), std::vector<std::string>{name});
    EXPECT_TRUE(addQueue().empty());
  }

  std::unique_ptr<FormsManager> forms;
  std::unique_ptr<QBYAddExtension> extension;
  std::optional<QBYAddExtension::Outcome> finished;
};

TEST_F(AddExtensionTest, AFileProposesItsNumberAndSavesThroughTheAddQueue) {
  const auto file = writeFile(makeTempDir("shared") / "mail.txt",
                              "Hello,\nyour parcel " + kNumber + " is on its way.\n");
  start({"file://" + file.string()});
  EXPECT_FALSE(extension->content().error);
  chooseAndSave("Kettle");
  expectQueuedAndAddedLater("Kettle");
}

TEST_F(AddExtensionTest, TextProposesItsNumberAndSavesThroughTheAddQueue) {
  start({"Parcel " + kNumber});
  // The field shows what the finder took from the text.
  ASSERT_TRUE(extension->window()->addScreen());
  const std::string search = extension->window()->addScreen()->searchEntry().get_text();
  EXPECT_NE(search.find(kNumber), std::string::npos) << search;
  chooseAndSave("Desk lamp");
  expectQueuedAndAddedLater("Desk lamp");
}

TEST_F(AddExtensionTest, AFileThatCannotBeReadSaysSoAndSavesNothing) {
  start({(makeTempDir("shared") / "gone.txt").string()});
  ASSERT_TRUE(extension->content().error);
  auto* window = extension->window();
  GtkWidget* problem = findWidget(GTK_WIDGET(window->gobj()), *extension->content().error);
  ASSERT_TRUE(problem);
  EXPECT_TRUE(gtk_widget_get_visible(problem));
  iterateFor(std::chrono::milliseconds(200));
  EXPECT_FALSE(saveScreenshot(GTK_WIDGET(window->gobj()), "porvane-add-unreadable").empty());
  window->close();
  ASSERT_TRUE(iterateUntil([&] { return finished.has_value(); }));
  EXPECT_EQ(*finished, QBYAddExtension::Outcome::Cancelled);
  EXPECT_TRUE(addQueue().empty());
  EXPECT_TRUE(forms->actions.empty());
}

}  // namespace
}  // namespace qby::test
