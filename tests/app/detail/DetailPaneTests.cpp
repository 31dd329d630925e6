// The detail pane on a real window: the buttons each delivery state calls for, the actions
// behind them (password into the keyring, archive, edit, help, the tracking page) and the links
// of the detail text, each checked against the store afterwards.
#include <adwaita.h>
#include <gtest/gtest.h>
#include <gtkmm/init.h>

#include <algorithm>
#include <ctime>
#include <memory>

#include "QBYDetailPane.h"
#include "engine/QBYDeliveriesUpdater.h"
#include "engine/QBYPasswordManager.h"
#include "manager/QBYDeliveriesManager.h"
#include "model/Delivery.h"
#include "model/Detail.h"
#include "platform/Date.h"
#include "platform/MainQueue.h"
#include "platform/Vendor.h"
#include "store/QBYDataStore.h"
#include "store/core/QBYManagedObjectContext.h"
#include "support/GtkTestSupport.h"
#include "support/TestSupport.h"

namespace porvane::app {
namespace {

using Kind = QBYDetailPane::ButtonKind;
using qby::test::iterateUntil;
using qby::test::saveScreenshot;

// Counts the runs it is given and ends each at once, so nothing reaches a carrier.
class CountingUpdater : public qby::QBYDeliveriesUpdaterHandle {
 public:
  void setDelegate(std::weak_ptr<qby::QBYDeliveriesUpdaterDelegate> delegate) override {
    delegate_ = std::move(delegate);
  }
  void updateDeliveriesWithSettings(const qby::Array& settings) override {
    runs.push_back(settings);
    auto weak = delegate_;
    qby::MainQueue::async([weak] {
      if (auto delegate = weak.lock()) delegate->completeUpdateWithSuccess(true);
    });
  }
  void startTroubleshooting() override {}
  void updateLogs() override {}
  void signInForDomain(const std::string&, const std::optional<std::string>&,
                       std::weak_ptr<qby::QBYDeliveriesUpdaterCaptureView>) override {}
  void invalidate() override {}
  void reduceMemoryUsage() override {}
  bool busy() const override { return false; }
  bool configurationFailed() const override { return false; }

  std::vector<qby::Array> runs;

 private:
  std::weak_ptr<qby::QBYDeliveriesUpdaterDelegate> delegate_;
};

class RecordingPaneDelegate : public QBYDetailPaneDelegate {
 public:
  void editDeliveryWithSettings(const qby::QBYDeliverySettings& settings) override {
    edited.push_back(settings);
  }
  void signInForDelivery(const std::string& uuid) override { signIns.push_back(uuid); }
  void troubleshootDelivery(const std::string& uuid) override { troubleshot.push_back(uuid); }
  void archivedDelivery(const std::string& uuid) override { archived.push_back(uuid); }

  std::vector<qby::QBYDeliverySettings> edited;
  std::vector<std::string> signIns, troubleshot, archived;
};

std::string daysFromNow(int days) {
  const std::time_t then = std::time(nullptr) + days * 86400;
  std::tm local{};
  localtime_r(&then, &local);
  char text[16] = {};
  std::strftime(text, sizeof text, "%Y-%m-%d", &local);
  return text;
}

class DetailPaneTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(qby::test::initGtk());
    Gtk::init_gtkmm_internals();
    storePath = qby::test::makeTempDir("store") / "Porvane.sqlite";
    store = std::make_shared<qby::QBYDataStore>(storePath);
    ASSERT_TRUE(store->available());
    qby::QBYDeliveriesManager::Options options;
    options.updaterFactory = [this](std::optional<std::filesystem::path>, bool) {
      updater = std::make_shared<CountingUpdater>();
      return updater;
    };
    options.parentAppOpen = [] { return false; };
    options.listenForActions = false;
    manager = qby::QBYDeliveriesManager::create(std::move(options));
    manager->setDataStore(store);

    pane = std::make_unique<QBYDetailPane>(*manager);
    pane->setDelegate(&delegate);
    pane->setURIOpener([this](const std::string& uri) {
      opened.push_back(uri);
      return true;
    });
    window = adw_window_new();
    gtk_window_set_default_size(GTK_WINDOW(window), 480, 420);
    adw_window_set_content(ADW_WINDOW(window), GTK_WIDGET(pane->gobj()));
    gtk_window_present(GTK_WINDOW(window));
    ASSERT_TRUE(iterateUntil([&] { return gtk_widget_get_mapped(GTK_WIDGET(pane->gobj())); }));
  }

  void TearDown() override {
    if (window) gtk_window_destroy(GTK_WINDOW(window));
    pane.reset();
    qby::MainQueue::drain();
    manager.reset();
    store.reset();
  }

  qby::QBYManagedObjectContext& context() { return *store->viewContext(); }

  std::shared_ptr<qby::Delivery> insertDelivery(const std::string& no,
                                                std::optional<std::string> url = std::nullopt) {
    auto delivery = context().insert<qby::Delivery>("Delivery");
    delivery->setUuid("uuid-" + no);
    delivery->setFrom("shop.example");
    delivery->setNo(no);
    delivery->setName("Parcel " + no);
    delivery->setModified(qby::Date::now().timeIntervalSince1970() - 1000);
    delivery->setUpdatedTime(qby::Date::now().timeIntervalSince1970() - 600);
    delivery->setNextUpdate(qby::Date::now().timeIntervalSince1970() + 3600);
    delivery->setUrl(std::move(url));
    EXPECT_TRUE(store->saveData());
    return delivery;
  }

  // A tracking line shipped on the day (an ISO day; by default long past).
  void addDetail(const std::shared_ptr<qby::Delivery>& delivery, const std::string& item,
                 std::optional<std::string> icon, const std::string& shipped = "2020-03-02") {
    auto detail = context().insert<qby::Detail>("Detail");
    detail->setItemName(item);
    detail->setIcon(std::move(icon));
    detail->setShippedText("Shipped %@");
    detail->setShippedDateString(shipped);
    detail->setIndex(static_cast<std::int64_t>(delivery->details().size()));
    detail->setDelivery(delivery);
    EXPECT_TRUE(store->saveData());
  }

  // The delivery as another connection to the same file reads it now.
  std::shared_ptr<qby::Delivery> storedDelivery(const std::string& uuid) {
    reader = std::make_shared<qby::QBYDataStore>(storePath);
    readerManager = qby::QBYDeliveriesManager::create();
    readerManager->setDataStore(reader);
    return readerManager->deliveryWithUUID(uuid, true, reader->viewContext().get());
  }

  // The buttons the row shows, by name, in their order on screen.
  std::vector<std::string> shownButtons() {
    std::vector<std::string> names;
    auto& row = pane->buttonRow();
    if (!row.get_visible()) return names;
    for (auto* child = row.get_first_child(); child; child = child->get_next_sibling())
      names.push_back(child->get_name());
    return names;
  }

  void click(const std::string& name) {
    GtkWidget* button = nullptr;
    for (auto* child = pane->buttonRow().get_first_child(); child;
         child = child->get_next_sibling())
      if (std::string(child->get_name()) == name) button = GTK_WIDGET(child->gobj());
    ASSERT_NE(button, nullptr) << name;
    g_signal_emit_by_name(button, "clicked");
  }

  bool activateLink(const std::string& uri) {
    gboolean handled = FALSE;
    g_signal_emit_by_name(pane->textLabel().gobj(), "activate-link", uri.c_str(), &handled);
    return handled;
  }

  void screenshot(const std::string& name) {
    qby::test::iterateFor(std::chrono::milliseconds(150));
    EXPECT_FALSE(saveScreenshot(window, name).empty()) << name;
  }

  std::filesystem::path storePath;
  std::shared_ptr<qby::QBYDataStore> store, reader;
  std::shared_ptr<CountingUpdater> updater;
  std::shared_ptr<qby::QBYDeliveriesManager> manager, readerManager;
  std::unique_ptr<QBYDetailPane> pane;
  RecordingPaneDelegate delegate;
  std::vector<std::string> opened;
  GtkWidget* window = nullptr;
};

TEST_F(DetailPaneTest, ChoosesTheButtonsOfEachDeliveryStateFirstMatchFirst) {
  struct Case {
    const char* name;
    std::optional<std::string> tap;
    std::optional<std::string> icon;
    bool archived;
    std::optional<std::string> url;
    std::vector<std::string> buttons;
    std::vector<std::string> titles;
  };
  const std::string page = "https://track.shop.example/1";
  const std::vector<Case> cases = {
      // Waiting for a password beats complete: no archive button.
      {"password-complete",
       "password",
       "checkmark",
       false,
       page,
       {"detail-online", "detail-password"},
       {"View details online", "Enter your password"}},
      {"signin",
       "signin",
       std::nullopt,
       false,
       std::nullopt,
       {"detail-help", "detail-password"},
       {"Troubleshooting tips", "Sign in required"}},
      // An archived delivery needs no sign-in any more; its failed line still counts.
      {"signin-archived-error",
       "signin",
       "error",
       true,
       std::nullopt,
       {"detail-edit", "detail-help"},
       {"Edit your settings", "Troubleshooting tips"}},
      {"error",
       std::nullopt,
       "error",
       false,
       page,
       {"detail-online", "detail-edit", "detail-help"},
       {"View details online", "Edit your settings", "Troubleshooting tips"}},
      {"complete",
       std::nullopt,
       "checkmark",
       false,
       page,
       {"detail-online", "detail-archive"},
       {"View details online", "Archive"}},
      {"archived-complete",
       std::nullopt,
       "checkmark",
       true,
       page,
       {"detail-online"},
       {"View details online"}},
      {"in-transit-no-page", std::nullopt, std::nullopt, false, std::nullopt, {}, {}},
  };
  int number = 100;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto delivery = insertDelivery(std::to_string(number++), c.url);
    // A line dated in the future keeps a delivery without trouble from looking complete.
    addDetail(delivery, "Shoes", c.icon, c.buttons.empty() ? daysFromNow(3) : "2020-03-02");
    delivery->setTap(c.tap);
    delivery->setArchived(c.archived);
    ASSERT_TRUE(store->saveData());

    pane->showDeliveries({delivery});
    EXPECT_EQ(shownButtons(), c.buttons);
    std::vector<std::string> titles;
    for (const auto& choice : QBYDetailPane::buttonsForDelivery(*delivery))
      titles.push_back(choice.title);
    EXPECT_EQ(titles, c.titles);
    // Every button has a name a screen reader can say.
    for (auto* child = pane->buttonRow().get_first_child(); child;
         child = child->get_next_sibling())
      EXPECT_FALSE(child->get_tooltip_text().empty());
    screenshot(std::string("detail-buttons-") + c.name);
  }
}

TEST_F(DetailPaneTest, TheButtonsCarryOutTheirActions) {
  auto failing = insertDelivery("200", "https://track.shop.example/200");
  addDetail(failing, "Shoes", "error");
  pane->showDeliveries({failing});
  click("detail-edit");
  ASSERT_EQ(delegate.edited.size(), 1u);
  EXPECT_EQ(delegate.edited[0].uuid, std::optional<std::string>("uuid-200"));
  EXPECT_EQ(delegate.edited[0].from, std::optional<std::string>("shop.example"));
  EXPECT_EQ(delegate.edited[0].no, std::optional<std::string>("200"));
  click("detail-help");
  click("detail-online");
  ASSERT_EQ(opened.size(), 2u);
  EXPECT_EQ(opened[0], qby::Vendor::supportSiteURL() + "/help/not-found.html");
  EXPECT_EQ(opened[1], "https://track.shop.example/200");

  auto signIn = insertDelivery("201");
  addDetail(signIn, "Book", std::nullopt);
  signIn->setTap("signin");
  ASSERT_TRUE(store->saveData());
  pane->showDeliveries({signIn});
  click("detail-password");
  EXPECT_EQ(delegate.signIns, std::vector<std::string>{"uuid-201"});
  EXPECT_EQ(pane->passwordPrompt(), nullptr);
  click("detail-help");
  EXPECT_EQ(opened.back(), qby::Vendor::supportSiteURL() + "/help/amazon-sign-in.html");

  // A tracking page that is not a web page never reaches the desktop's handlers.
  auto odd = insertDelivery("202", "file:///etc/passwd");
  addDetail(odd, "Lamp", std::nullopt);
  pane->showDeliveries({odd});
  const auto before = opened.size();
  EXPECT_FALSE(pane->showOnline());
  EXPECT_EQ(opened.size(), before);
}

TEST_F(DetailPaneTest, ArchivesFromThePaneIntoTheStore) {
  auto done = insertDelivery("300", "https://track.shop.example/300");
  addDetail(done, "Chair", "checkmark");
  pane->showDeliveries({done});
  screenshot("detail-archive-before");
  click("detail-archive");

  EXPECT_EQ(delegate.archived, std::vector<std::string>{"uuid-300"});
  const auto stored = storedDelivery("uuid-300");
  ASSERT_NE(stored, nullptr);
  EXPECT_TRUE(stored->archived());
  // Archived and complete: only the page is left to offer.
  EXPECT_EQ(shownButtons(), std::vector<std::string>{"detail-online"});
  screenshot("detail-archive-after");
  // A second archive of the same delivery is refused, not repeated.
  EXPECT_FALSE(pane->archive());
  EXPECT_EQ(delegate.archived.size(), 1u);
}

TEST_F(DetailPaneTest, ThePasswordPromptStoresThePasswordInTheKeyring) {
  // The keyring lasts for the whole test run: a password another test stored for this account
  // would be found in place of the one typed here.
  for (const char* server : {"shop.example", "track.shop.example"})
    ASSERT_TRUE(qby::QBYPasswordManager::deletePasswordForAccount("buyer@example.com", server));
  auto waiting = insertDelivery("400", "https://track.shop.example/400");
  waiting->setExtra("buyer@example.com");
  waiting->setTap("password");
  addDetail(waiting, "Shoes", "checkmark");
  pane->showDeliveries({waiting});
  click("detail-password");
  ASSERT_TRUE(iterateUntil([&] {
    auto* prompt = pane->passwordPrompt();
    return prompt && gtk_widget_get_mapped(prompt);
  }));
  auto* prompt = pane->passwordPrompt();
  auto* entry = qby::test::findWidgetOfType(prompt, GTK_TYPE_PASSWORD_ENTRY);
  ASSERT_NE(entry, nullptr);
  gtk_editable_set_text(GTK_EDITABLE(entry), "s3cret ünïcode");
  qby::test::iterateFor(std::chrono::milliseconds(150));
  EXPECT_FALSE(saveScreenshot(prompt, "detail-password-prompt").empty());
  adw_message_dialog_response(ADW_MESSAGE_DIALOG(prompt), "save");
  ASSERT_TRUE(iterateUntil([&] { return pane->passwordPrompt() == nullptr; }));

  EXPECT_EQ(qby::QBYPasswordManager::passwordForAccount("buyer@example.com", "shop.example",
                                                        std::nullopt, std::nullopt),
            std::optional<std::string>("s3cret ünïcode"));
  const auto stored = storedDelivery("uuid-400");
  ASSERT_NE(stored, nullptr);
  EXPECT_TRUE(stored->password());
  EXPECT_EQ(stored->tap(), std::nullopt);
  // The delivery is due for an update with its password now.
  EXPECT_LE(stored->nextUpdate(), 1.0);
  const auto buttons = shownButtons();
  EXPECT_EQ(std::count(buttons.begin(), buttons.end(), "detail-password"), 0);
  screenshot("detail-password-saved");
}

TEST_F(DetailPaneTest, APasswordWithoutAnAccountIsRefusedAndNothingIsStored) {
  auto waiting = insertDelivery("401");
  waiting->setTap("password");
  addDetail(waiting, "Shoes", std::nullopt);
  pane->showDeliveries({waiting});
  click("detail-password");
  ASSERT_TRUE(iterateUntil([&] { return pane->passwordPrompt() != nullptr; }));
  auto* entry = qby::test::findWidgetOfType(pane->passwordPrompt(), GTK_TYPE_PASSWORD_ENTRY);
  ASSERT_NE(entry, nullptr);
  gtk_editable_set_text(GTK_EDITABLE(entry), "pw");
  adw_message_dialog_response(ADW_MESSAGE_DIALOG(pane->passwordPrompt()), "save");
  // The prompt comes back with the reason instead of closing as if it had worked.
  ASSERT_TRUE(iterateUntil([&] {
    auto* prompt = pane->passwordPrompt();
    auto* error = prompt ? qby::test::findWidget(prompt, "password-error") : nullptr;
    return error && gtk_widget_get_visible(error);
  }));
  auto* error = qby::test::findWidget(pane->passwordPrompt(), "password-error");
  EXPECT_NE(std::string(gtk_label_get_text(GTK_LABEL(error))), "");
  screenshot("detail-password-refused");
  const auto stored = storedDelivery("uuid-401");
  ASSERT_NE(stored, nullptr);
  EXPECT_FALSE(stored->password());
  EXPECT_EQ(stored->tap(), std::optional<std::string>("password"));
  std::string reason;
  EXPECT_FALSE(pane->savePassword("", &reason));
  EXPECT_FALSE(reason.empty());
}

TEST_F(DetailPaneTest, AnswersTheLinksOfTheDetailText) {
  auto parcels = insertDelivery("500");
  addDetail(parcels, "First box", std::nullopt);
  addDetail(parcels, "Second box", std::nullopt);
  pane->showDeliveries({parcels});
  const std::string markup = pane->textLabel().get_label();
  ASSERT_NE(markup.find("porvane://showpackage/1"), std::string::npos) << markup;

  EXPECT_TRUE(activateLink("porvane://showpackage/1"));
  EXPECT_EQ(parcels->selected(), 1);
  auto stored = storedDelivery("uuid-500");
  ASSERT_NE(stored, nullptr);
  EXPECT_EQ(stored->selected(), 1);
  screenshot("detail-link-second-package");

  // A package that is not there, or a link without a number, changes nothing.
  EXPECT_TRUE(activateLink("porvane://showpackage/7"));
  EXPECT_TRUE(activateLink("porvane://showpackage/1x"));
  EXPECT_TRUE(activateLink("porvane://showpackage/-1"));
  EXPECT_EQ(parcels->selected(), 1);

  EXPECT_TRUE(activateLink("porvane://error/uuid-500"));
  EXPECT_EQ(delegate.troubleshot, std::vector<std::string>{"uuid-500"});

  // Web links open in the browser; other schemes are never handed on.
  EXPECT_TRUE(activateLink("https://carrier.example/track?id=500"));
  EXPECT_TRUE(activateLink("file:///etc/passwd"));
  EXPECT_TRUE(activateLink("ssh://host"));
  EXPECT_EQ(opened, std::vector<std::string>{"https://carrier.example/track?id=500"});
}

TEST_F(DetailPaneTest, ShowsHowManyDeliveriesAreSelected) {
  auto first = insertDelivery("600");
  auto second = insertDelivery("601");
  pane->showDeliveries({first, second});
  EXPECT_EQ(pane->shownDelivery(), nullptr);
  EXPECT_NE(qby::test::findWidget(GTK_WIDGET(pane->gobj()), "2 Deliveries Selected"), nullptr);
  EXPECT_TRUE(shownButtons().empty());
  EXPECT_FALSE(pane->archive());
  screenshot("detail-two-selected");

  pane->showDeliveries({});
  EXPECT_NE(qby::test::findWidget(GTK_WIDGET(pane->gobj()), "No Delivery Selected"), nullptr);
  pane->showDeliveries({nullptr, second});
  EXPECT_EQ(pane->shownDelivery(), second);
}

}  // namespace
}  // namespace porvane::app
