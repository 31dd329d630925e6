// The panel status line: which delivery counts as next, what each panel reads, and that every
// text a panel shows is one clean line of valid UTF-8. A real store, a pinned clock and zone.
#include <gtest/gtest.h>
#include <unicode/locid.h>
#include <unicode/timezone.h>

#include <algorithm>
#include <memory>
#include <string>

#include "PanelStatus.h"
#include "model/Delivery.h"
#include "model/Detail.h"
#include "platform/Date.h"
#include "presentation/QBYDateFormatter.h"
#include "store/QBYDataStore.h"
#include "store/core/QBYManagedObjectContext.h"
#include "support/TestSupport.h"

namespace porvane {
namespace {

using namespace qby;

// Monday 1 March 2021, 12:00 UTC.
constexpr double kNow = 1614600000;

class PanelStatusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    icu::TimeZone::adoptDefault(icu::TimeZone::createTimeZone("UTC"));
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale::setDefault(icu::Locale("en_US"), status);
    QBYDateFormatter::sharedFormatter().reset();
    clock_ = std::make_unique<ClockOverride>(Date(kNow));
    store_ = std::make_unique<QBYDataStore>(test::makeTempDir("store") / "Deliveries.sqlite");
    ASSERT_TRUE(store_->available());
  }

  std::shared_ptr<Delivery> delivery(const std::string& uuid, const std::string& name) {
    auto record = store_->viewContext()->insert<Delivery>("Delivery");
    record->setUuid(uuid);
    record->setName(name);
    record->setNo(std::string("1Z") + uuid);
    record->setFrom(std::string("www.ups.com"));
    list_.push_back(record);
    return record;
  }

  // A package line expected `offset` days from today; icon "checkmark" when delivered.
  std::shared_ptr<Detail> line(const std::shared_ptr<Delivery>& owner, int index,
                               std::optional<int> offset, const std::string& icon = "",
                               const std::string& item = "") {
    auto detail = store_->viewContext()->insert<Detail>("Detail");
    detail->setIndex(index);
    if (!item.empty()) detail->setItemName(item);
    if (offset) detail->setDateString(day(*offset));
    if (!icon.empty()) detail->setIcon(icon);
    owner->addDetail(detail);
    return detail;
  }

  static std::string day(int offset) {
    return *QBYDateFormatter::sharedFormatter().stringFromDate(Date(kNow + offset * 86400.0));
  }

  PanelStatus status(bool updating = false) {
    return panelStatus(list_, QBYDateFormatter::sharedFormatter(), updating, Date(kNow));
  }

  std::unique_ptr<ClockOverride> clock_;
  std::unique_ptr<QBYDataStore> store_;
  std::vector<std::shared_ptr<Delivery>> list_;
};

TEST_F(PanelStatusTest, NoActiveDeliveriesIsEmptyWithNothingNext) {
  auto archived = delivery("A1", "Old");
  archived->setArchived(true);
  line(archived, 0, 1);
  auto removed = delivery("R1", "Gone");
  removed->setRemoved(true);
  line(removed, 0, 1);

  const PanelStatus result = status();
  EXPECT_EQ(result.count, 0u);
  EXPECT_FALSE(result.next);
  const Value json = result.json();
  EXPECT_EQ(json["text"], Value("0"));
  EXPECT_EQ(json["class"], Value("empty"));
  EXPECT_EQ(json["count"], Value(0));
  EXPECT_TRUE(json.dictionaryPtr()->contains("next"));
  EXPECT_TRUE(json["next"].isNull());
  EXPECT_EQ(json["tooltip"], Value("Active deliveries: 0"));
}

TEST_F(PanelStatusTest, NextIsTheSoonestPackageNotYetDeliveredTodayOrLater) {
  auto late = delivery("L1", "Late");
  line(late, 0, -1);  // yesterday, not delivered: overdue, not next
  auto delivered = delivery("D1", "Delivered");
  line(delivered, 0, 0, "checkmark");
  auto failing = delivery("E1", "Failing");
  line(failing, 0, 0, "error");
  auto undated = delivery("U1", "Undated");
  line(undated, 0, std::nullopt);
  auto boots = delivery("B1", "Boots");
  line(boots, 0, 5, "", "Left boot");
  line(boots, 1, 2, "", "Right boot");  // the second package of one delivery is sooner
  auto camera = delivery("C1", "Camera");
  line(camera, 0, 3);

  const PanelStatus result = status();
  EXPECT_EQ(result.count, 6u);
  ASSERT_TRUE(result.next);
  EXPECT_EQ(result.next->id, "B1");
  EXPECT_EQ(result.next->title, "Right boot");
  EXPECT_EQ(result.next->days, 2);
  EXPECT_EQ(result.next->date, "2021-03-03");
  EXPECT_EQ(result.next->dateText, "Wednesday");
  EXPECT_EQ(result.cssClass(), "active");
  EXPECT_EQ(result.text(), "6 · Wednesday");
  EXPECT_EQ(result.json()["next"]["days"], Value(2));
}

TEST_F(PanelStatusTest, ADeliveryDueTodayMakesTheTodayClassAndTiesKeepTheListOrder) {
  auto first = delivery("F1", "First");
  line(first, 0, 0);
  auto second = delivery("S1", "Second");
  line(second, 0, 0);
  const PanelStatus result = status(true);
  ASSERT_TRUE(result.next);
  EXPECT_EQ(result.next->id, "F1");
  EXPECT_EQ(result.next->title, "First");
  EXPECT_EQ(result.cssClass(), "today");
  EXPECT_EQ(result.next->dateText, "Today");
  EXPECT_EQ(result.json()["updating"], Value(true));
  EXPECT_EQ(result.tooltip(), "Active deliveries: 2\nNext: First, Today\nUpdating…");
  // A week ahead the list names the day of the month, not the weekday.
  list_.clear();
  auto later = delivery("W1", "Later");
  line(later, 0, 7);
  EXPECT_EQ(status().next->dateText, "March 8");
}

TEST_F(PanelStatusTest, TextsFromElsewhereStayOnOneLineAndValidUTF8) {
  auto hostile = delivery("H1", "x");
  line(hostile, 0, 1, "", std::string("Shoes\n\x1B[31mred\xFF"));
  const Value json = status().json();
  const auto text = json.toJSON();
  ASSERT_TRUE(text) << "a name from elsewhere broke the JSON";
  EXPECT_EQ(text->find('\n'), std::string::npos);
  const std::string title = json["next"]["title"].asString().value_or("");
  EXPECT_EQ(title.find('\n'), std::string::npos);
  EXPECT_EQ(title.find('\x1B'), std::string::npos);
  EXPECT_NE(title.find("\xEF\xBF\xBD"), std::string::npos);
  // The tooltip's own line breaks are the only ones in it.
  const std::string tooltip = json["tooltip"].asString().value_or("");
  EXPECT_EQ(std::count(tooltip.begin(), tooltip.end(), '\n'), 1);
}

}  // namespace
}  // namespace porvane
