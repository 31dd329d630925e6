// The Today window on a real display over the shared store: it updates only when due, tells of
// changes another program (the real porvane tool) made meanwhile, keeps the relevant rows in
// view, switches the list to manual order when a row is moved, and answers its row actions.
#include <adwaita.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>

#include "CliProcess.h"
#include "QBYTodayWindow.h"
#include "engine/QBYDeliveriesUpdater.h"
#include "manager/QBYDeliveriesManager.h"
#include "model/Delivery.h"
#include "model/Detail.h"
#include "platform/Date.h"
#include "platform/GLibPtr.h"
#include "platform/MMWormhole.h"
#include "platform/MainQueue.h"
#include "platform/Paths.h"
#include "platform/QBYUserDefaults.h"
#include "store/QBYDataStore.h"
#include "store/QBYDeliveriesQueries.h"
#include "store/core/QBYManagedObjectContext.h"
#include "support/GtkTestSupport.h"
#include "support/TestSupport.h"

namespace porvane::today {
namespace {

using qby::test::iterateUntil;

// Records the runs it is given and ends each at once with nothing found, so nothing reaches a
// carrier.
class CountingUpdater : public qby::QBYDeliveriesUpdaterHandle {
 public:
  void setDelegate(std::weak_ptr<qby::QBYDeliveriesUpdaterDelegate> delegate) override {
    delegate_ = std::move(delegate);
  }
  void updateDeliveriesWithSettings(const qby::Array& settings) override {
    ++*runs;
    (void)settings;
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

  std::shared_ptr<int> runs;

 private:
  std::weak_ptr<qby::QBYDeliveriesUpdaterDelegate> delegate_;
};

std::string isoDay(const qby::Date& date) {
  const std::time_t time = static_cast<std::time_t>(date.timeIntervalSince1970());
  std::tm local{};
  localtime_r(&time, &local);
  char text[16] = {};
  std::strftime(text, sizeof text, "%Y-%m-%d", &local);
  return text;
}

class TodayWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(qby::test::initGtk());
    // The shared store of this test's home, which the porvane tool started below opens too.
    store = std::make_shared<qby::QBYDataStore>();
    ASSERT_TRUE(store->available());
  }

  void TearDown() override {
    window.reset();
    qby::MainQueue::drain();
    store.reset();
  }

  void openWindow() {
    QBYTodayWindow::Environment environment;
    environment.dataStore = store;
    environment.managerOptions.updaterFactory = [this](std::optional<std::filesystem::path>, bool) {
      auto updater = std::make_shared<CountingUpdater>();
      updater->runs = runs;
      return updater;
    };
    environment.managerOptions.parentAppOpen = [] { return false; };
    environment.managerOptions.listenForActions = false;
    environment.openURI = [this](const std::string& uri) {
      opened.push_back(uri);
      return true;
    };
    environment.launchCompanion = [this] { ++companionLaunches; };
    window = QBYTodayWindow::create(nullptr, std::move(environment));
    ASSERT_NE(window->deliveriesManager(), nullptr);
    gtk_window_present(window->window());
    ASSERT_TRUE(iterateUntil([&] { return gtk_widget_get_mapped(GTK_WIDGET(window->window())); }));
  }

  // Asks for an update and waits for its answer.
  std::optional<unsigned> update() {
    std::optional<unsigned> answer;
    window->performUpdate([&](unsigned result) { answer = result; });
    iterateUntil([&] { return answer.has_value(); }, std::chrono::seconds(20));
    return answer;
  }

  qby::QBYManagedObjectContext& context() { return *store->viewContext(); }

  std::shared_ptr<qby::Delivery> insertDelivery(const std::string& no, double manualIndex) {
    auto delivery = context().insert<qby::Delivery>("Delivery");
    delivery->setUuid("uuid-" + no);
    delivery->setFrom("carrier.example");
    delivery->setNo(no);
    delivery->setName("Parcel " + no);
    delivery->setModified(qby::Date::now().timeIntervalSince1970() - 1000);
    delivery->setManualSortIndex(static_cast<std::int64_t>(manualIndex));
    // The window lists deliveries that have been updated at least once.
    delivery->setUpdatedTime(qby::Date::now().timeIntervalSince1970() - 3600);
    delivery->setNextUpdate(0);
    delivery->setBackgroundUpdate(0);
    delivery->updateStatusChangedOrModifiedDate();
    EXPECT_TRUE(store->saveData());
    return delivery;
  }

  void addDetail(const std::shared_ptr<qby::Delivery>& delivery, const std::string& item,
                 const std::optional<std::string>& date = std::nullopt) {
    auto detail = context().insert<qby::Detail>("Detail");
    detail->setItemName(item);
    detail->setDeliveredText("Expected %@");
    detail->setDeliveredDateString(date);
    detail->setDateString(date);
    detail->setIndex(static_cast<std::int64_t>(delivery->details().size()));
    detail->setDelivery(delivery);
    EXPECT_TRUE(store->saveData());
  }

  std::vector<std::string> shownNumbers() {
    std::vector<std::string> numbers;
    for (const auto& delivery : window->deliveries())
      numbers.push_back(delivery->no().value_or(""));
    return numbers;
  }

  void screenshot(const std::string& name) {
    qby::test::iterateFor(std::chrono::milliseconds(150));
    EXPECT_FALSE(qby::test::saveScreenshot(GTK_WIDGET(window->window()), name).empty()) << name;
  }

  std::shared_ptr<qby::QBYDataStore> store;
  std::shared_ptr<QBYTodayWindow> window;
  std::shared_ptr<int> runs = std::make_shared<int>(0);
  std::vector<std::string> opened;
  int companionLaunches = 0;
};

TEST_F(TodayWindowTest, UpdatesOnlyWhenDueAndNotTwiceWithinFiveMinutes) {
  insertDelivery("1001", 10);
  openWindow();
  EXPECT_TRUE(window->updateDue());
  ASSERT_EQ(update(), std::optional<unsigned>(1u));
  EXPECT_EQ(*runs, 1);
  ASSERT_TRUE(window->updateDate().has_value());

  // Asked again at once: no data, and the updater is left alone.
  EXPECT_FALSE(window->updateDue());
  EXPECT_EQ(update(), std::optional<unsigned>(1u));
  EXPECT_EQ(*runs, 1);

  // Four minutes on it is still too soon; past five minutes the window updates again.
  const qby::Date start = qby::Date::now();
  {
    qby::ClockOverride later(start.addingTimeInterval(240));
    EXPECT_EQ(update(), std::optional<unsigned>(1u));
    EXPECT_EQ(*runs, 1);
  }
  {
    qby::ClockOverride later(start.addingTimeInterval(301));
    EXPECT_TRUE(window->updateDue());
    EXPECT_EQ(update(), std::optional<unsigned>(1u));
    EXPECT_EQ(*runs, 2);
  }
  screenshot("today-updated");
}

TEST_F(TodayWindowTest, APendingRequestIsAnsweredFailedWhenANewOneComes) {
  insertDelivery("1101", 10);
  openWindow();
  std::vector<unsigned> answers;
  window->performUpdate([&](unsigned answer) { answers.push_back(answer); });
  // The second request comes before the first run ended: the first is given up as failed.
  window->performUpdate([&](unsigned answer) { answers.push_back(answer); });
  ASSERT_FALSE(answers.empty());
  EXPECT_EQ(answers.front(), 2u);
  ASSERT_TRUE(iterateUntil([&] { return answers.size() == 2; }, std::chrono::seconds(20)));
  EXPECT_EQ(answers[1], 1u);
}

TEST_F(TodayWindowTest, AnswersNewDataWhenAnotherProgramAddedADelivery) {
  // The carrier's answer for the tool's update, on 127.0.0.1.
  porvane::test::CarrierServer carrier;
  ASSERT_TRUE(carrier.listening()) << carrier.error();
  const auto folder = std::filesystem::path(PORVANE_TEST_DATA_DIR) / "carriers/4px/in-transit";
  qby::test::FixtureServer::Response answer;
  answer.body = porvane::test::readText(folder / "answer.json");
  answer.contentType = "application/json";
  carrier.route("/track.4px.com/track/v2/front/listTrackV3", std::move(answer));
  const std::map<std::string, std::string> environment = {
      {"PORVANE_FIXTURE_SERVER", carrier.url()}};

  insertDelivery("1201", 10);
  openWindow();
  ASSERT_EQ(update(), std::optional<unsigned>(1u));
  EXPECT_EQ(shownNumbers(), std::vector<std::string>{"1201"});

  // The real command-line tool, a process of its own on the same store, adds a delivery and
  // updates it.
  const auto added = porvane::test::runCli(
      {"add", "--service", "www.4px.com", "--", "4PX3001291278502CN"}, "", environment);
  ASSERT_EQ(added.exitCode, 0) << added.err;
  const auto updated = porvane::test::runCli({"update", "--quiet"}, "", environment);
  ASSERT_EQ(updated.exitCode, 0) << updated.out << updated.err;

  qby::test::LogCapture log;
  {
    qby::ClockOverride later(qby::Date::now().addingTimeInterval(301));
    // This window's own run finds nothing; the news is the other program's.
    EXPECT_EQ(update(), std::optional<unsigned>(0u));
  }
  EXPECT_FALSE(log.linesContaining("Changed since last update").empty());
  const auto numbers = shownNumbers();
  EXPECT_NE(std::find(numbers.begin(), numbers.end(), "4PX3001291278502CN"), numbers.end());
  EXPECT_NE(qby::test::findWidget(GTK_WIDGET(window->window()), "today-row-1"), nullptr);
  screenshot("today-new-data-from-cli");

  // Nothing changed since: the next due update has no news.
  {
    qby::ClockOverride evenLater(qby::Date::now().addingTimeInterval(700));
    EXPECT_EQ(update(), std::optional<unsigned>(1u));
  }

  // Another program archiving a shown delivery changes the list too.
  const auto archived = porvane::test::runCli({"archive", "1201"}, "", environment);
  ASSERT_EQ(archived.exitCode, 0) << archived.err;
  {
    qby::ClockOverride muchLater(qby::Date::now().addingTimeInterval(1100));
    EXPECT_EQ(update(), std::optional<unsigned>(0u));
  }
  EXPECT_EQ(shownNumbers(), std::vector<std::string>{"4PX3001291278502CN"});
}

TEST_F(TodayWindowTest, AnswersNewDataWhenAnotherProgramUpdatedTheDeliveries) {
  auto delivery = insertDelivery("1301", 10);
  openWindow();
  ASSERT_EQ(update(), std::optional<unsigned>(1u));

  // Another program stored newer tracking results (through its own connection).
  {
    qby::QBYDeliveriesManager::Options options;
    options.listenForActions = false;
    auto otherManager = qby::QBYDeliveriesManager::create(options);
    auto otherStore = std::make_shared<qby::QBYDataStore>();
    otherManager->setDataStore(otherStore);
    auto same = otherManager->deliveryWithUUID(std::string("uuid-1301"));
    ASSERT_NE(same, nullptr);
    same->setUpdatedTime(qby::Date::now().timeIntervalSince1970() + 5);
    ASSERT_TRUE(otherStore->saveData());
  }
  qby::ClockOverride later(qby::Date::now().addingTimeInterval(301));
  EXPECT_EQ(update(), std::optional<unsigned>(0u));
}

TEST_F(TodayWindowTest, MovingARowSwitchesTheListToManualOrder) {
  auto& defaults = qby::QBYUserDefaults::sharedDefaults();
  ASSERT_TRUE(defaults.setInteger(2, qby::QBYSortModeKey));
  insertDelivery("A1", 10);
  insertDelivery("B2", 20);
  insertDelivery("C3", 30);
  ASSERT_TRUE(defaults.setInteger(0, qby::QBYSortModeKey));
  openWindow();
  ASSERT_EQ(shownNumbers(), (std::vector<std::string>{"A1", "B2", "C3"}));
  ASSERT_TRUE(defaults.setInteger(1, qby::QBYSortModeKey));

  // The same row again is no move, and the order mode stays.
  EXPECT_FALSE(window->moveDeliveryFromRow(1, 1));
  EXPECT_EQ(defaults.integerForKey(qby::QBYSortModeKey), 1);

  EXPECT_TRUE(window->moveDeliveryFromRow(0, 2));
  EXPECT_EQ(defaults.integerForKey(qby::QBYSortModeKey), 0);
  EXPECT_EQ(shownNumbers(), (std::vector<std::string>{"B2", "C3", "A1"}));

  // Another connection reads the new order from the file.
  qby::QBYDataStore::sharedDefaults().synchronize();
  auto reader = std::make_shared<qby::QBYDataStore>();
  qby::QBYDeliveriesManager::Options options;
  options.listenForActions = false;
  auto readerManager = qby::QBYDeliveriesManager::create(options);
  readerManager->setDataStore(reader);
  std::vector<std::string> stored;
  for (const auto& delivery : readerManager->activeDeliveries())
    stored.push_back(delivery->no().value_or(""));
  EXPECT_EQ(stored, (std::vector<std::string>{"B2", "C3", "A1"}));
  screenshot("today-manual-order");
}

TEST_F(TodayWindowTest, DroppingARowOnAnotherMovesItThere) {
  auto& defaults = qby::QBYUserDefaults::sharedDefaults();
  ASSERT_TRUE(defaults.setInteger(0, qby::QBYSortModeKey));
  insertDelivery("A1", 10);
  insertDelivery("B2", 20);
  insertDelivery("C3", 30);
  openWindow();
  ASSERT_EQ(shownNumbers(), (std::vector<std::string>{"A1", "B2", "C3"}));
  ASSERT_TRUE(defaults.setInteger(1, qby::QBYSortModeKey));

  // What a drag of the third row carries, dropped on the first row's target.
  auto* firstRow = qby::test::findWidget(GTK_WIDGET(window->window()), "today-row-0");
  ASSERT_NE(firstRow, nullptr);
  GtkDropTarget* target = nullptr;
  GListModel* controllers = gtk_widget_observe_controllers(firstRow);
  for (guint i = 0; i < g_list_model_get_n_items(controllers) && !target; ++i) {
    auto* controller = g_list_model_get_item(controllers, i);
    if (GTK_IS_DROP_TARGET(controller)) target = GTK_DROP_TARGET(controller);
    g_object_unref(controller);
  }
  g_object_unref(controllers);
  ASSERT_NE(target, nullptr);
  GValue dragged = G_VALUE_INIT;
  g_value_init(&dragged, G_TYPE_UINT);
  g_value_set_uint(&dragged, 3);
  gboolean accepted = FALSE;
  g_signal_emit_by_name(target, "drop", &dragged, 4.0, 4.0, &accepted);
  g_value_unset(&dragged);
  EXPECT_TRUE(accepted);

  ASSERT_TRUE(iterateUntil([&] { return shownNumbers().front() == "C3"; }));
  EXPECT_EQ(shownNumbers(), (std::vector<std::string>{"C3", "A1", "B2"}));
  EXPECT_EQ(defaults.integerForKey(qby::QBYSortModeKey), 0);
  screenshot("today-dropped-row");
}

TEST_F(TodayWindowTest, KeepsTheRelevantRowsAtTheTopInView) {
  const qby::Date now = qby::Date::now();
  qby::ClockOverride fixed(now);
  auto soon = insertDelivery("S1", 10);
  addDetail(soon, "Due tomorrow", isoDay(now.addingTimeInterval(86400)));
  auto changed = insertDelivery("S2", 20);
  addDetail(changed, "Changed today", isoDay(now.addingTimeInterval(30 * 86400)));
  auto stale = insertDelivery("S3", 30);
  addDetail(stale, "Far off", isoDay(now.addingTimeInterval(30 * 86400)));
  stale->setModified(now.addingTimeInterval(-10 * 86400).timeIntervalSince1970());
  stale->updateStatusChangedOrModifiedDate();
  auto later = insertDelivery("S4", 40);
  addDetail(later, "Due soon but below", isoDay(now.addingTimeInterval(86400)));
  ASSERT_TRUE(store->saveData());

  std::vector<std::shared_ptr<qby::Delivery>> list = {soon, changed, stale, later};
  // Counting stops at the first delivery that is neither due soon nor changed recently.
  EXPECT_EQ(QBYTodayWindow::minimumVisibleRows(list, now), 2u);
  // A list that starts with such a delivery still shows one row.
  EXPECT_EQ(QBYTodayWindow::minimumVisibleRows({stale, soon}, now), 1u);
  EXPECT_EQ(QBYTodayWindow::minimumVisibleRows({}, now), 1u);
  // Never more than five.
  std::vector<std::shared_ptr<qby::Delivery>> many(8, soon);
  EXPECT_EQ(QBYTodayWindow::minimumVisibleRows(many, now), 5u);
  // A line due exactly a week ahead is no longer soon.
  auto week = insertDelivery("S5", 50);
  addDetail(week, "In a week", isoDay(now.addingTimeInterval(8 * 86400)));
  week->setModified(now.addingTimeInterval(-5 * 86400).timeIntervalSince1970());
  week->updateStatusChangedOrModifiedDate();
  ASSERT_TRUE(store->saveData());
  EXPECT_EQ(QBYTodayWindow::minimumVisibleRows({week}, now), 1u);
  EXPECT_EQ(QBYTodayWindow::minimumVisibleRows({soon, changed, week}, now), 2u);

  // The window in the order above: two relevant rows, then a stale one.
  ASSERT_TRUE(qby::QBYUserDefaults::sharedDefaults().setInteger(0, qby::QBYSortModeKey));
  openWindow();
  EXPECT_EQ(window->minimumVisibleRows(), 2u);
  screenshot("today-minimum-rows");
}

TEST_F(TodayWindowTest, RowActionsOpenArchiveAndAdvance) {
  auto parcel = insertDelivery("R1", 10);
  parcel->setUrl("https://carrier.example/track/R1");
  addDetail(parcel, "First box");
  addDetail(parcel, "Second box");
  auto odd = insertDelivery("R2", 20);
  odd->setUrl("file:///etc/passwd");
  ASSERT_TRUE(store->saveData());
  openWindow();
  ASSERT_EQ(shownNumbers(), (std::vector<std::string>{"R1", "R2"}));

  window->openDelivery(0, false);
  window->openDelivery(0, true);
  window->openDelivery(1, true);  // not a web page: never handed on
  window->editDelivery(1);
  window->addDelivery();
  ASSERT_EQ(opened.size(), 4u);
  EXPECT_EQ(opened[0], "porvane://show/uuid-R1");
  EXPECT_EQ(opened[1], "https://carrier.example/track/R1");
  EXPECT_EQ(opened[2], "porvane://edit/uuid-R2");
  EXPECT_EQ(opened[3], "porvane://add");

  // The row's action, as its menu item and package badge call it.
  ASSERT_TRUE(
      gtk_widget_activate_action(GTK_WIDGET(window->window()), "today.next-package", "u", 0u));
  EXPECT_EQ(parcel->selected(), 1);
  window->removeDeliveryFromRow(1);
  EXPECT_EQ(shownNumbers(), std::vector<std::string>{"R1"});

  auto reader = std::make_shared<qby::QBYDataStore>();
  qby::QBYDeliveriesManager::Options options;
  options.listenForActions = false;
  auto readerManager = qby::QBYDeliveriesManager::create(options);
  readerManager->setDataStore(reader);
  auto storedOdd =
      readerManager->deliveryWithUUID(std::string("uuid-R2"), true, reader->viewContext().get());
  ASSERT_NE(storedOdd, nullptr);
  EXPECT_TRUE(storedOdd->archived());
  auto storedParcel = readerManager->deliveryWithUUID(std::string("uuid-R1"));
  ASSERT_NE(storedParcel, nullptr);
  EXPECT_EQ(storedParcel->selected(), 1);
  screenshot("today-row-actions");
}

TEST_F(TodayWindowTest, HandsItsNotificationsToTheCompanion) {
  openWindow();
  qby::QBYNotification notification;
  notification.identifier = "n-1";
  notification.uuid = "uuid-N1";
  notification.title = "Parcel N1";
  notification.message = "Delivered";
  window->presentDeliveryNotification(notification);
  EXPECT_EQ(companionLaunches, 1);
  const auto message = qby::Paths::sharedContainer() / "Wormhole" /
                       (std::string(qby::QBYWormholeActionNotification) + ".archive");
  ASSERT_TRUE(std::filesystem::exists(message));

  // What the companion reads back is the notification; a removal carries only the uuid.
  auto companion =
      qby::MMWormhole::initWithApplicationGroupIdentifier(qby::Paths::kAppGroupID, "Wormhole");
  ASSERT_NE(companion, nullptr);
  auto received = companion->messageWithIdentifier(qby::QBYWormholeActionNotification);
  ASSERT_TRUE(received.has_value());
  const auto presented = qby::QBYNotification::notificationWithValue(*received);
  ASSERT_TRUE(presented.has_value());
  EXPECT_EQ(*presented, notification);

  window->removeNotificationForUUID("uuid-N1");
  EXPECT_EQ(companionLaunches, 2);
  received = companion->messageWithIdentifier(qby::QBYWormholeActionNotification);
  ASSERT_TRUE(received.has_value());
  const auto removal = qby::QBYNotification::notificationWithValue(*received);
  ASSERT_TRUE(removal.has_value());
  EXPECT_EQ(removal->uuid, std::optional<std::string>("uuid-N1"));
  EXPECT_EQ(removal->message, std::nullopt);
}

TEST_F(TodayWindowTest, TheApplicationPresentsOneWindowUntilItIsClosed) {
  // An empty store: the window's first update has nothing due, so no carrier is asked.
  auto application = qby::GObjectPtr<AdwApplication>::adopt(
      adw_application_new("com.quillbay.mac.Porvane.TodayTest", G_APPLICATION_NON_UNIQUE));
  ASSERT_TRUE(g_application_register(G_APPLICATION(application.get()), nullptr, nullptr));
  auto* gtkApplication = GTK_APPLICATION(application.get());
  std::weak_ptr<QBYTodayWindow> first = QBYTodayWindow::present(gtkApplication);
  ASSERT_FALSE(first.expired());
  GtkWindow* shown = first.lock()->window();
  EXPECT_EQ(gtk_window_get_application(shown), gtkApplication);
  EXPECT_TRUE(iterateUntil([&] { return gtk_widget_get_mapped(GTK_WIDGET(shown)); }));
  EXPECT_NE(qby::test::findWidget(GTK_WIDGET(shown), "You do not have\nany deliveries"), nullptr);
  // Asked again (the panel icon once more): the same window comes forward.
  EXPECT_EQ(QBYTodayWindow::present(gtkApplication), first.lock());

  // Closing lets the window and its manager go; the next request makes a new one.
  gtk_window_close(shown);
  ASSERT_TRUE(iterateUntil([&] { return first.expired(); }));
  auto second = QBYTodayWindow::present(gtkApplication);
  ASSERT_NE(second, nullptr);
  qby::test::iterateFor(std::chrono::milliseconds(100));
  gtk_window_close(second->window());
  second.reset();
  ASSERT_TRUE(iterateUntil([&] { return gtk_application_get_windows(gtkApplication) == nullptr; }));
}

}  // namespace
}  // namespace porvane::today
