// Applying results dictionaries to deliveries in a real store file, with a fake manager as the
// host. The clock, zone and locale are pinned (Tuesday 12 March 2024, 10:00 in Berlin), so the
// notification texts and time stamps below are exact.
#include "manager/QBYResultsApplier.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "manager/QBYDeliveriesCalendar.h"
#include "manager/QBYNotification.h"
#include "model/Delivery.h"
#include "model/DeliveryText.h"
#include "model/Detail.h"
#include "model/HTML.h"
#include "platform/QBYUserDefaults.h"
#include "presentation/DateTestSupport.h"
#include "store/QBYDataStore.h"
#include "store/core/QBYManagedObjectContext.h"
#include "support/TestSupport.h"

namespace qby::test {
namespace {

constexpr double kMinute = 60;
constexpr double kHour = 3600;

// Everything the applier asks of the manager, recorded.
class FakeHost : public QBYResultsApplierHost {
 public:
  FakeHost(QBYDataStore& store, QBYUserDefaults& defaults) : store_(store), defaults_(defaults) {}

  QBYDataStore& dataStore() override { return store_; }
  std::shared_ptr<Delivery> deliveryWithUUID(const std::string& uuid) override {
    QBYFetchRequest request;
    request.entityName = "Delivery";
    request.predicate = "t.uuid = ?";
    request.arguments = {Value(uuid)};
    auto found = store_.viewContext()->executeFetchRequest(request);
    if (!found || found->empty()) return nullptr;
    return found->as<Delivery>(0);
  }
  void updateStatus(const std::optional<std::string>& message) override {
    statuses.push_back(message);
  }
  int applicationState() override { return state; }
  void presentDeliveryNotification(const QBYNotification& notification) override {
    notifications.push_back(notification);
  }
  void updatedDelivery(const std::shared_ptr<Delivery>& delivery) override {
    updated.push_back(delivery);
  }
  bool iCloudEnabled() override { return cloud; }
  void syncObject(const std::shared_ptr<Delivery>& delivery, bool immediately) override {
    synced.push_back({delivery, immediately});
    unsavedWhenSynced = store_.viewContext()->hasChanges();
  }
  void setUpdateResultNewData() override { ++newData; }
  void setPreviousEventDates(const std::string& uuid, std::vector<Date> dates) override {
    previousEventDates[uuid] = std::move(dates);
  }
  QBYUserDefaults& sharedDefaults() override { return defaults_; }

  int callbacks() const {
    return static_cast<int>(statuses.size() + notifications.size() + updated.size() +
                            synced.size() + previousEventDates.size()) +
           newData;
  }

  int state = 1;  // in the background unless a test brings the program to the front
  bool cloud = false;
  std::vector<std::optional<std::string>> statuses;
  std::vector<QBYNotification> notifications;
  std::vector<std::shared_ptr<Delivery>> updated;
  std::vector<std::pair<std::shared_ptr<Delivery>, bool>> synced;
  bool unsavedWhenSynced = true;
  int newData = 0;
  std::map<std::string, std::vector<Date>> previousEventDates;

 private:
  QBYDataStore& store_;
  QBYUserDefaults& defaults_;
};

// One item of a results dictionary; by default a line shipped yesterday.
struct Item {
  Item(std::string itemName,
       std::optional<std::string> shipped = std::optional<std::string>("In transit %@"))
      : name(std::move(itemName)), shippedText(std::move(shipped)) {}

  std::string name;
  std::optional<std::string> shippedText;
  std::optional<std::string> shippedDate = std::string("2024-03-11");
  std::optional<std::string> deliveredText;
  std::optional<std::string> deliveredDate;
  std::optional<std::string> icon;
  std::optional<std::string> dateString;
  std::optional<std::string> statusDate;

  Value value() const {
    Dictionary item{{"itemName", name}};
    const auto put = [&](const char* key, const std::optional<std::string>& text) {
      if (text) item.set(key, *text);
    };
    put("shippedText", shippedText);
    put("shippedDateString", shippedDate);
    put("deliveredText", deliveredText);
    put("deliveredDateString", deliveredDate);
    put("icon", icon);
    put("dateString", dateString);
    put("statusDateString", statusDate);
    return Value(std::move(item));
  }
};

class ResultsApplierTest : public PinnedDateTest {
 protected:
  void SetUp() override {
    PinnedDateTest::SetUp();
    store = std::make_unique<QBYDataStore>(makeTempDir("store") / "Porvane.sqlite");
    ASSERT_TRUE(store->available());
    context = store->viewContext().get();
    defaults = std::make_unique<QBYUserDefaults>(makeTempDir("defaults") / "shared.plist");
    host = std::make_unique<FakeHost>(*store, *defaults);
    applier = std::make_unique<QBYResultsApplier>(*host);
  }

  void TearDown() override {
    applier.reset();
    host.reset();
    context = nullptr;
    store.reset();
    PinnedDateTest::TearDown();
  }

  // A delivery that updated successfully an hour ago, with one line per item.
  std::shared_ptr<Delivery> delivery(const std::vector<Item>& items = {},
                                     const std::string& uuid = "D1") {
    auto record = context->insert<Delivery>("Delivery");
    record->setUuid(uuid);
    record->setFrom(std::string("parcel.example"));
    record->setNo(std::string("PX123"));
    record->setName(std::string("Shoes"));
    record->setModified(now().timeIntervalSince1970() - 2 * kHour);
    if (!items.empty()) {
      record->setUpdatedTime(now().timeIntervalSince1970() - kHour);
      record->setStatusChangedDate(now().addingTimeInterval(-kHour));
    }
    for (std::size_t i = 0; i < items.size(); ++i) {
      auto line = context->insert<Detail>("Detail");
      line->setAttributes(*items[i].value().dictionaryPtr());
      line->setIndex(static_cast<std::int64_t>(i));
      record->addDetail(line);
    }
    record->updateHistoryTitle();
    return record;
  }

  static Dictionary results(const std::shared_ptr<Delivery>& record, std::int64_t status,
                            const std::vector<Item>& items, double interval = 60,
                            const std::string& tap = "") {
    Array list;
    for (const auto& item : items) list.push_back(item.value());
    Dictionary out{{"uuid", *record->uuid()},
                   {"hash", record->settingsHash()},
                   {"status", status},
                   {"items", Value(std::move(list))},
                   {"interval", interval}};
    if (!tap.empty()) out.set("tap", tap);
    return out;
  }

  void apply(const Dictionary& dictionary, std::optional<Date> updatedDate = std::nullopt,
             std::shared_ptr<Delivery> record = nullptr) {
    applier->updateDelivery(std::move(record), dictionary, updatedDate, 7);
  }

  static std::vector<std::string> names(const std::shared_ptr<Delivery>& record) {
    std::vector<std::string> out;
    for (const auto& line : record->sortedDetails()) out.push_back(line->itemName().value_or("-"));
    return out;
  }

  std::size_t storedDetailCount() {
    QBYFetchRequest request;
    request.entityName = "Detail";
    const auto background = store->backgroundContext();
    std::size_t count = 999;
    background->performAndWait(
        [&] { count = background->countForFetchRequest(request).value_or(999); });
    return count;
  }

  std::unique_ptr<QBYDataStore> store;
  QBYManagedObjectContext* context = nullptr;
  std::unique_ptr<QBYUserDefaults> defaults;
  std::unique_ptr<FakeHost> host;
  std::unique_ptr<QBYResultsApplier> applier;
};

// --- Times -----------------------------------------------------------------------------------

TEST_F(ResultsApplierTest, IntervalSetsNextAndBackgroundUpdate) {
  struct Case {
    double interval, next, background;
  };
  for (const Case& c : {Case{5, 5, 30}, Case{60, 60, 180}, Case{300, 300, 720},
                        Case{1000, 1000, 1000}, Case{720, 720, 720}, Case{0, 0, 30}}) {
    auto record = delivery({{"Shoes"}}, "I" + std::to_string(c.interval));
    apply(results(record, 2, {{"Shoes"}}, c.interval));
    const double start = now().timeIntervalSince1970();
    EXPECT_DOUBLE_EQ(record->nextUpdate(), start + c.next * kMinute) << c.interval;
    EXPECT_DOUBLE_EQ(record->backgroundUpdate(), start + c.background * kMinute) << c.interval;
    context->deleteObject(record);
  }
}

TEST_F(ResultsApplierTest, MissingOrUnreadableIntervalCountsAsZero) {
  auto record = delivery({{"Shoes"}});
  auto dictionary = results(record, 2, {{"Shoes"}});
  dictionary.erase("interval");
  apply(dictionary);
  EXPECT_DOUBLE_EQ(record->nextUpdate(), now().timeIntervalSince1970());
  EXPECT_DOUBLE_EQ(record->backgroundUpdate(), now().timeIntervalSince1970() + 30 * kMinute);

  dictionary.set("interval", "soon");
  apply(dictionary);
  EXPECT_DOUBLE_EQ(record->nextUpdate(), now().timeIntervalSince1970());
  dictionary.set("interval", std::numeric_limits<double>::quiet_NaN());
  apply(dictionary);
  EXPECT_DOUBLE_EQ(record->nextUpdate(), now().timeIntervalSince1970());
  EXPECT_FALSE(std::isnan(record->backgroundUpdate()));

  // Intervals whose times would overflow to infinity never to update again.
  for (const double huge : {1e308, -1e308, std::numeric_limits<double>::infinity()}) {
    dictionary.set("interval", huge);
    apply(dictionary);
    EXPECT_DOUBLE_EQ(record->nextUpdate(), now().timeIntervalSince1970()) << huge;
    EXPECT_DOUBLE_EQ(record->backgroundUpdate(), now().timeIntervalSince1970() + 30 * kMinute)
        << huge;
  }
}

TEST_F(ResultsApplierTest, SyncedResultsCountFromTheirOwnDate) {
  auto record = delivery({{"Shoes"}});
  const Date then = now().addingTimeInterval(-3 * kHour);
  apply(results(record, 2, {{"Shoes"}}, 60), then);
  EXPECT_DOUBLE_EQ(record->nextUpdate(), then.timeIntervalSince1970() + 60 * kMinute);
  EXPECT_DOUBLE_EQ(record->updatedTime(), then.timeIntervalSince1970());
  EXPECT_EQ(record->serviceUpdateVersion(), 7);
}

// --- Results that are dropped or only report progress -----------------------------------------

TEST_F(ResultsApplierTest, UnknownUUIDOrChangedSettingsAreDroppedSilently) {
  auto record = delivery({{"Shoes"}});
  auto unknown = results(record, 2, {{"Boots"}});
  unknown.set("uuid", "nobody");
  apply(unknown);

  auto stale = results(record, 2, {{"Boots"}});
  record->setNo(std::string("PX999"));  // edited while the update ran
  apply(stale);

  auto unhashed = results(record, 2, {{"Boots"}});
  unhashed.erase("hash");
  apply(unhashed);

  auto progress = results(record, 2, {{"Boots"}});
  progress.set("hash", "0123");
  progress.set("updating", true);
  apply(progress);

  EXPECT_EQ(host->callbacks(), 0);
  EXPECT_EQ(names(record), std::vector<std::string>{"Shoes"});
  EXPECT_FALSE(record->updating());
  EXPECT_DOUBLE_EQ(record->nextUpdate(), 0);
}

TEST_F(ResultsApplierTest, ProgressReportsOnlyMarkTheDeliveryUpdating) {
  auto record = delivery({{"Shoes"}});
  Dictionary progress{{"uuid", "D1"},
                      {"hash", record->settingsHash()},
                      {"updating", true},
                      {"message", "Signing in…"}};
  apply(progress);
  EXPECT_TRUE(record->updating());
  EXPECT_EQ(record->message(), "Signing in…");
  ASSERT_EQ(host->statuses.size(), 1u);
  EXPECT_EQ(host->statuses[0], "Signing in…");
  ASSERT_EQ(host->updated.size(), 1u);
  EXPECT_EQ(host->updated[0], record);
  EXPECT_DOUBLE_EQ(record->nextUpdate(), 0);

  // Without a message the status line is cleared and the stored message stays.
  progress.erase("message");
  apply(progress);
  ASSERT_EQ(host->statuses.size(), 2u);
  EXPECT_EQ(host->statuses[1], std::nullopt);
  EXPECT_EQ(record->message(), "Signing in…");

  apply(results(record, 2, {{"Shoes"}}));
  EXPECT_FALSE(record->updating());
  EXPECT_EQ(record->message(), "");
}

// --- Found and not found ---------------------------------------------------------------------

TEST_F(ResultsApplierTest, NotFoundShortlyAfterASuccessIsIgnored) {
  LogCapture logs;
  auto record = delivery({{"Shoes", std::string("Shipped %@")}});
  record->setLastErrorDate(std::nullopt);
  Item error{"Not found", std::string("No information")};
  error.icon = "error";
  auto dictionary = results(record, 1, {error});
  dictionary.set("url", "https://parcel.example/track?PX123");
  apply(dictionary);

  EXPECT_EQ(logs.linesContaining("Ignoring not found error").size(), 1u);
  EXPECT_EQ(logs.linesContaining("Ignoring not found error")[0],
            "Ignoring not found error for parcel.example. Last success: 2024-03-12 08:00:00 "
            "+0000");
  EXPECT_EQ(record->lastErrorDate(), now());
  EXPECT_EQ(names(record), std::vector<std::string>{"Shoes"});
  EXPECT_DOUBLE_EQ(record->updatedTime(), now().timeIntervalSince1970() - kHour);
  EXPECT_EQ(record->statusChangedDate(), now().addingTimeInterval(-kHour));
  EXPECT_EQ(record->tap(), "");
  // The delivery had no link yet, so it takes the one of the answer.
  EXPECT_EQ(record->url(), "https://parcel.example/track?PX123");
  EXPECT_EQ(host->newData, 0);
  EXPECT_TRUE(host->notifications.empty());
  EXPECT_TRUE(host->synced.empty());

  // A later failure keeps the date of the first one and leaves a link that is there alone.
  pinNow(now().addingTimeInterval(kHour));
  dictionary.set("url", "https://elsewhere.example/");
  apply(dictionary);
  EXPECT_EQ(record->lastErrorDate(), now().addingTimeInterval(-kHour));
  EXPECT_EQ(record->url(), "https://parcel.example/track?PX123");
}

TEST_F(ResultsApplierTest, FirstUpdateThatFindsNothingStoresTheErrorItems) {
  auto record = delivery();
  Item error{"Shoes", std::string("Not found yet")};
  error.icon = "error";
  apply(results(record, 1, {error}));
  EXPECT_EQ(names(record), std::vector<std::string>{"Shoes"});
  EXPECT_TRUE(record->hasError());
  EXPECT_EQ(record->historyTitle(), "Shoes");
  EXPECT_EQ(defaults->dateOrNilForKey(QBYLastErrorDateKey), now());

  // A failed update of a delivery without details shows its error lines too…
  auto other = delivery({}, "D2");
  apply(results(other, 0, {error}));
  EXPECT_EQ(names(other), std::vector<std::string>{"Shoes"});
  EXPECT_DOUBLE_EQ(other->updatedTime(), 0);

  // …but never replaces details a delivery already has.
  auto tracked = delivery({{"Boots"}, {"Socks"}}, "D3");
  apply(results(tracked, 0, {error}));
  EXPECT_EQ(names(tracked), (std::vector<std::string>{"Boots", "Socks"}));
}

TEST_F(ResultsApplierTest, FoundResultsClearTheErrorAndSetTheUpdateTime) {
  auto record = delivery({{"Shoes"}});
  record->setLastErrorDate(now().addingTimeInterval(-kHour));
  record->setStatusChangedDate(std::nullopt);
  auto dictionary = results(record, 2, {{"Shoes"}});
  dictionary.set("url", "  ");
  dictionary.set("mobileURL", "https://m.parcel.example/PX123");
  record->setUrl(std::string("https://old.example/"));
  apply(dictionary);
  EXPECT_EQ(record->lastErrorDate(), std::nullopt);
  EXPECT_DOUBLE_EQ(record->updatedTime(), now().timeIntervalSince1970());
  EXPECT_EQ(record->statusChangedDate(), now());
  // Found results always rewrite the links; a blank one becomes none.
  EXPECT_EQ(record->url(), std::nullopt);
  EXPECT_EQ(record->mobileURL(), "https://m.parcel.example/PX123");
  EXPECT_EQ(record->serviceUpdateVersion(), 7);
}

TEST_F(ResultsApplierTest, LockedKeychainIsLoggedAndNeverAdvancesTheUpdateTime) {
  LogCapture logs;
  auto record = delivery({{"Shoes"}});
  record->setStatusChangedDate(now().addingTimeInterval(-3 * kHour - 59 * kMinute));
  const double updated = record->updatedTime();
  apply(results(record, -1, {{"Shoes"}}, 60, "password"));
  EXPECT_EQ(logs.linesContaining("keychain is locked"),
            std::vector<std::string>{
                "Update failed because keychain is locked for parcel.example. Last success 3 "
                "hour(s) ago"});
  EXPECT_DOUBLE_EQ(record->updatedTime(), updated);

  auto fresh = delivery({}, "D2");
  apply(results(fresh, -1, {}, 60, "password"));
  EXPECT_EQ(logs.linesContaining("Never updated"),
            std::vector<std::string>{
                "Update failed because keychain is locked for parcel.example. Never updated"});

  // Even a successful answer that asks for the password leaves the update time and the error.
  record->setLastErrorDate(now().addingTimeInterval(-kHour));
  apply(results(record, 2, {{"Shoes"}}, 60, "password"));
  EXPECT_DOUBLE_EQ(record->updatedTime(), updated);
  EXPECT_EQ(record->lastErrorDate(), now().addingTimeInterval(-kHour));
  EXPECT_EQ(record->tap(), "password");
}

TEST_F(ResultsApplierTest, SignInRequestKeepsDetailsAndTellsTheUserOnce) {
  LogCapture logs;
  auto record = delivery({{"Shoes"}});
  record->setUrl(std::string("https://old.example/"));
  record->setItemCacheJSON(std::string("[]"));
  Item signIn{"Sign in to Parcel Co", std::string("Please sign in %@")};
  auto dictionary = results(record, 1, {signIn}, 60, "signin");
  dictionary.set("url", "https://parcel.example/login");
  apply(dictionary);

  EXPECT_EQ(record->tap(), "signin");
  EXPECT_EQ(names(record), std::vector<std::string>{"Shoes"});
  EXPECT_EQ(record->lastErrorDate(), now());
  EXPECT_EQ(record->url(), "https://parcel.example/login");
  EXPECT_EQ(record->itemCacheJSON(), std::nullopt);
  EXPECT_EQ(logs.linesContaining("changed: "),
            std::vector<std::string>{"Sign in to Parcel Co changed: signin"});
  ASSERT_EQ(host->notifications.size(), 1u);
  const auto& note = host->notifications[0];
  EXPECT_EQ(note.identifier, "D1-signin");
  EXPECT_EQ(note.uuid, "D1");
  EXPECT_EQ(note.title, "Sign in to Parcel Co");
  EXPECT_EQ(note.message, "Please sign in ");
  EXPECT_EQ(note.category, "update");
  EXPECT_EQ(note.action, std::nullopt);
  EXPECT_EQ(host->newData, 1);

  // The same answer again is no news.
  apply(dictionary);
  EXPECT_EQ(host->notifications.size(), 1u);
  EXPECT_EQ(host->newData, 1);
}

// --- Details and change detection -----------------------------------------------------------

TEST_F(ResultsApplierTest, ThreeItemsBecomeTwoReusingRecordsByPosition) {
  auto record = delivery({{"First"}, {"Second"}, {"Third"}});
  record->setSelected(2);
  ASSERT_TRUE(context->save());
  const auto before = record->sortedDetails();

  apply(results(record, 2, {{"First"}, {"Second"}}));
  const auto after = record->sortedDetails();
  ASSERT_EQ(after.size(), 2u);
  EXPECT_EQ(after[0], before[0]);
  EXPECT_EQ(after[1], before[1]);
  EXPECT_TRUE(before[2]->isDeleted());
  EXPECT_EQ(record->selected(), 0);
  EXPECT_EQ(record->historyTitle(), "First");
  ASSERT_TRUE(context->save());
  EXPECT_EQ(storedDetailCount(), 2u);

  // Growing again inserts a record for the new position only.
  apply(results(record, 2, {{"First"}, {"Second"}, {"Fourth"}}));
  const auto grown = record->sortedDetails();
  ASSERT_EQ(grown.size(), 3u);
  EXPECT_EQ(grown[0], before[0]);
  EXPECT_EQ(grown[2]->index(), 2);
  ASSERT_TRUE(context->save());
  EXPECT_EQ(storedDetailCount(), 3u);
}

TEST_F(ResultsApplierTest, SelectionFollowsItsItemToANewPosition) {
  auto record = delivery({{"Boots"}, {"Shoes"}});
  record->setSelected(1);
  apply(results(record, 2, {{"Hat"}, {"Boots"}, {"Shoes"}}));
  EXPECT_EQ(names(record), (std::vector<std::string>{"Hat", "Boots", "Shoes"}));
  EXPECT_EQ(record->selected(), 2);
  EXPECT_EQ(record->historyTitle(), "Shoes");
}

TEST_F(ResultsApplierTest, RenamedItemIsMatchedAndNotAnnouncedAsNew) {
  LogCapture logs;
  Item old{"Parcel to Berlin"};
  old.deliveredDate = "2024-03-14";
  auto record = delivery({{"Gloves"}, old});
  Item renamed = old;
  renamed.name = "Parcel to Berlin Mitte";
  // The renamed item now comes first, where another line stood before.
  apply(results(record, 2, {renamed, {"Gloves"}}));

  EXPECT_EQ(logs.linesContaining("Item name changed"),
            std::vector<std::string>{
                "Item name changed from \"Parcel to Berlin\" to \"Parcel to Berlin Mitte\""});
  EXPECT_TRUE(logs.linesContaining("Item is new").empty());
  EXPECT_TRUE(logs.linesContaining("changed: ").empty());
  EXPECT_TRUE(host->notifications.empty());
  EXPECT_EQ(host->newData, 0);
  EXPECT_EQ(record->statusChangedDate(), now().addingTimeInterval(-kHour));

  // A different delivered day is not the same item: the line is compared with its position.
  Item moved = renamed;
  moved.name = "Parcel to Berlin Mitte Nord";
  moved.deliveredDate = "2024-03-15";
  apply(results(record, 2, {{"Parcel to Berlin Mitte"}, {"Gloves"}, moved}));
  EXPECT_EQ(logs.linesContaining("Parcel to Berlin Mitte Nord changed: Item is new").size(), 1u);
}

TEST_F(ResultsApplierTest, ReasonsForAChange) {
  LogCapture logs;
  Item base{"Shoes", std::string("Left the depot %@")};
  base.dateString = "2024-03-14";
  base.statusDate = "2024-03-11";
  auto record = delivery({base});

  Item reworded = base;
  reworded.shippedText = "Left the depot. %@";  // punctuation only
  apply(results(record, 2, {reworded}));
  EXPECT_TRUE(logs.linesContaining("changed: ").empty());

  Item later = reworded;
  later.dateString = "2024-03-15";
  apply(results(record, 2, {later}));
  Item rewritten = later;
  rewritten.shippedText = "Arrived at the sorting centre %@";
  apply(results(record, 2, {rewritten}));
  Item restamped = rewritten;
  restamped.shippedText = "Arrived at the sorting centre in Leipzig %@";
  restamped.statusDate = "2024-03-12";
  apply(results(record, 2, {restamped}));
  Item same = restamped;
  same.shippedText = "Arrived at the sorting centre in Leipzig today %@";
  apply(results(record, 2, {same}));

  EXPECT_EQ(logs.linesContaining("changed: "),
            (std::vector<std::string>{"Shoes changed: Ship or delivery date changed",
                                      "Shoes changed: Text is different",
                                      "Shoes changed: Text is similar, date is different"}));
  EXPECT_EQ(host->notifications.size(), 3u);
  EXPECT_EQ(host->newData, 3);
  EXPECT_EQ(record->statusChangedDate(), now());
}

TEST_F(ResultsApplierTest, PlainWebPagesChangeOnlyWithTheirDate) {
  LogCapture logs;
  Item page{"Order 55", std::string("Processing %@")};
  page.dateString = "2024-03-14";
  auto record = delivery({page});
  record->setFrom(std::string("other"));
  Item changed = page;
  changed.shippedText = "Something else entirely %@";
  apply(results(record, 2, {changed}));
  EXPECT_TRUE(logs.linesContaining("changed: ").empty());
  changed.dateString = "2024-03-16";
  apply(results(record, 2, {changed}));
  EXPECT_EQ(logs.linesContaining("changed: "),
            std::vector<std::string>{"Order 55 changed: Ship or delivery date changed"});
}

TEST_F(ResultsApplierTest, DeliveredItemNotifiesOnceWithCheckMarkAndArchiveAction) {
  LogCapture logs;
  Item transit{"Shoes", std::string("Shipped %@")};
  transit.deliveredText = "Expected %@";
  transit.deliveredDate = "2024-03-13";
  auto record = delivery({transit});
  Item delivered = transit;
  delivered.icon = "checkmark";
  delivered.deliveredText = "Delivered %@";
  delivered.deliveredDate = "2024-03-12";
  apply(results(record, 2, {delivered}));

  EXPECT_EQ(logs.linesContaining("changed: "),
            std::vector<std::string>{"Shoes changed: Changed to delivered"});
  ASSERT_EQ(host->notifications.size(), 1u);
  const auto& note = host->notifications[0];
  EXPECT_EQ(note.identifier, "D1-single");
  EXPECT_EQ(note.uuid, "D1");
  EXPECT_EQ(note.title, "\u2713\u00A0Shoes");
  EXPECT_EQ(note.message, "Shipped Yesterday\nDelivered Today");
  EXPECT_EQ(note.category, "update");
  EXPECT_EQ(note.action, "archive");
  EXPECT_EQ(host->newData, 1);

  apply(results(record, 2, {delivered}));
  EXPECT_EQ(host->notifications.size(), 1u);
  EXPECT_EQ(host->newData, 1);
}

TEST_F(ResultsApplierTest, ItemNotificationsOfAnOrderAreIdentifiedByItemName) {
  auto record = delivery({{"Blue Shoes (size 42)"}, {"Socks"}});
  Item shoes{"Blue Shoes (size 42)", std::string("Shipped %@")};
  shoes.dateString = "2024-03-15";
  Item socks{"Socks", std::nullopt};
  socks.deliveredText = "Arrives %@";
  socks.deliveredDate = "nonsense";
  auto dictionary = results(record, 2, {shoes, socks, {"Ünïcode Hat"}});
  apply(dictionary);
  ASSERT_EQ(host->notifications.size(), 3u);
  EXPECT_EQ(host->notifications[0].identifier, "D1-blue_shoes_size_42_");
  EXPECT_EQ(host->notifications[0].message, "Shipped Yesterday");
  EXPECT_EQ(host->notifications[1].identifier, "D1-socks");
  // An unreadable date leaves the placeholder empty; the message is never absent.
  EXPECT_EQ(host->notifications[1].message, "Arrives ");
  EXPECT_EQ(host->notifications[2].identifier, "D1-ünïcode_hat");
  EXPECT_EQ(host->notifications[2].title, "Ünïcode Hat");
  EXPECT_EQ(host->notifications[2].action, std::nullopt);
}

TEST_F(ResultsApplierTest, SingleItemWithATapNamesTheTapAndLeavesOutTheDeliveredLine) {
  Item item{"Shoes", std::string("Shipped %@")};
  item.deliveredText = "Expected %@";
  item.deliveredDate = "2024-03-14";
  auto record = delivery();
  record->setTap(std::string("signin"));
  apply(results(record, 2, {item}, 60, "signin"));
  ASSERT_EQ(host->notifications.size(), 1u);
  EXPECT_EQ(host->notifications[0].identifier, "D1-signin");
  EXPECT_EQ(host->notifications[0].message, "Shipped Yesterday");
}

TEST_F(ResultsApplierTest, InFrontChangesAreRecordedButNotPresented) {
  host->state = 0;
  auto record = delivery({{"Shoes"}});
  Item changed{"Shoes", std::string("Out for delivery %@")};
  apply(results(record, 2, {changed}));
  EXPECT_EQ(record->statusChangedDate(), now());
  EXPECT_EQ(host->newData, 1);
  EXPECT_TRUE(host->notifications.empty());

  apply(results(record, 1, {changed}, 60, "signin"));
  EXPECT_EQ(host->newData, 2);
  EXPECT_TRUE(host->notifications.empty());
}

TEST_F(ResultsApplierTest, ArchivedDeliveriesTakeNewDetailsWithoutNews) {
  auto record = delivery({{"Shoes"}});
  record->setArchived(true);
  apply(results(record, 2, {{"Boots"}, {"Socks"}}));
  EXPECT_EQ(names(record), (std::vector<std::string>{"Boots", "Socks"}));
  EXPECT_TRUE(host->notifications.empty());
  EXPECT_EQ(host->newData, 0);
}

// --- Sync -------------------------------------------------------------------------------------

TEST_F(ResultsApplierTest, ResultsFromSyncNeverChangeTapOrErrorAndAreNotPushedBack) {
  host->cloud = true;
  auto record = delivery({{"Shoes"}});
  record->setTap(std::string("signin"));
  record->setLastErrorDate(now().addingTimeInterval(-kHour));
  record->setItemCacheJSON(std::string("[{\"itemName\":\"Shoes\",\"url\":\"u\"}]"));
  const Date then = now().addingTimeInterval(-10 * kMinute);
  apply(results(record, 2, {{"Boots"}}), then);
  EXPECT_EQ(record->tap(), "signin");
  EXPECT_EQ(record->lastErrorDate(), now().addingTimeInterval(-kHour));
  EXPECT_EQ(names(record), std::vector<std::string>{"Boots"});
  EXPECT_EQ(record->itemCacheJSON(), "[{\"itemName\":\"Shoes\",\"url\":\"u\"}]");
  EXPECT_TRUE(host->synced.empty());
  EXPECT_EQ(host->updated.size(), 1u);

  // The failure of another machine is not this machine's tap either.
  apply(results(record, 1, {{"Boots"}}, 60, "password"), then);
  EXPECT_EQ(record->tap(), "signin");
}

TEST_F(ResultsApplierTest, LiveFoundResultsAreSavedAndHandedToCloudSync) {
  auto record = delivery({{"Shoes"}});
  apply(results(record, 2, {{"Shoes"}}));
  EXPECT_TRUE(host->synced.empty());  // cloud sync off

  host->cloud = true;
  apply(results(record, 2, {{"Shoes"}}));
  ASSERT_EQ(host->synced.size(), 1u);
  EXPECT_EQ(host->synced[0].first, record);
  EXPECT_FALSE(host->synced[0].second);
  EXPECT_FALSE(host->unsavedWhenSynced);

  // Failures are not pushed.
  apply(results(record, 0, {{"Shoes"}}));
  EXPECT_EQ(host->synced.size(), 1u);
}

// --- Search text, HTML, calendar ---------------------------------------------------------------

TEST_F(ResultsApplierTest, SearchTextIsRefreshedAndLegacyHTMLDeleted) {
  auto record = delivery({{"Shoes"}});
  auto html = context->insert<HTML>("HTML");
  record->setHtml(html);
  apply(results(record, 2, {{"Leather Boots", std::string("Handed to courier %@")}}));
  ASSERT_TRUE(record->searchText());
  const auto text = record->searchText()->text().value_or("");
  EXPECT_NE(text.find("Leather Boots"), std::string::npos) << text;
  EXPECT_NE(text.find("PX123"), std::string::npos) << text;
  EXPECT_EQ(record->html(), nullptr);
  EXPECT_TRUE(html->isDeleted());

  // The search record is reused, not duplicated.
  const auto searchRecord = record->searchText();
  apply(results(record, 2, {{"Suede Boots"}}));
  EXPECT_EQ(record->searchText(), searchRecord);
  EXPECT_NE(searchRecord->text().value_or("").find("Suede Boots"), std::string::npos);
  ASSERT_TRUE(context->save());
}

TEST_F(ResultsApplierTest, PreviousDeliveredDatesAreKeptOnlyWithCalendarEvents) {
  Item a{"A"}, b{"B"}, c{"C"};
  a.deliveredDate = b.deliveredDate = "2024-03-14";
  c.deliveredDate = "2024-03-15";
  auto record = delivery({a, b, c, {"Undated"}});
  apply(results(record, 2, {{"A"}}));
  EXPECT_TRUE(host->previousEventDates.empty());

  record = delivery({a, b, c, {"Undated"}}, "D2");
  defaults->setObject(Value(Dictionary{{"identifier", "cal"}}), QBYDeliveriesCalendarInfoKey);
  apply(results(record, 2, {{"A"}}));
  ASSERT_EQ(host->previousEventDates.count("D2"), 1u);
  auto dates = host->previousEventDates["D2"];
  std::sort(dates.begin(), dates.end());
  EXPECT_EQ(dates, (std::vector<Date>{local(2024, 3, 14, 0), local(2024, 3, 15, 0)}));
}

TEST_F(ResultsApplierTest, MalformedResultsNeverCrashOrLoseDetails) {
  auto record = delivery({{"Shoes"}, {"Socks"}});
  auto dictionary = results(record, 2, {});
  dictionary.set("items", "not a list");
  dictionary.set("status", "2");
  apply(dictionary);  // a status that is not a number is a failure
  EXPECT_EQ(names(record), (std::vector<std::string>{"Shoes", "Socks"}));

  dictionary.set("status", 2);
  dictionary.set("items", Value(Array{Value(3), Item{"Boots"}.value(), Value()}));
  dictionary.set("tap", Value(Array{}));
  dictionary.set("url", 5);
  apply(dictionary);
  EXPECT_EQ(names(record), std::vector<std::string>{"Boots"});
  EXPECT_EQ(record->url(), std::nullopt);
  EXPECT_EQ(record->tap(), "");
  ASSERT_TRUE(context->save());
}

// --- Deleting related records ----------------------------------------------------------------

TEST_F(ResultsApplierTest, DeletingDetailsAndSearchText) {
  auto record = delivery({{"Shoes"}, {"Socks"}});
  applier->updateSearchTextForDelivery(record, *context);
  ASSERT_TRUE(context->save());
  ASSERT_EQ(storedDetailCount(), 2u);

  applier->deleteDetailsFromDelivery(record);
  applier->deleteSearchTextFromDelivery(record);
  EXPECT_TRUE(record->details().empty());
  EXPECT_EQ(record->searchText(), nullptr);
  ASSERT_TRUE(context->save());
  EXPECT_EQ(storedDetailCount(), 0u);

  // Nothing to delete is fine.
  applier->deleteDetailsFromDelivery(record);
  applier->deleteSearchTextFromDelivery(record);
  applier->deleteHTMLFromDelivery(record);
  EXPECT_FALSE(context->hasChanges());
}

}  // namespace
}  // namespace qby::test
