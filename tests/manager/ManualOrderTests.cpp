// The manual order of the list: where a row's index falls, moves up and down with and without
// the drop-row adjustment, rows that are not in the list, and neighbours that leave no room.
#include "manager/QBYManualOrder.h"

#include <gtest/gtest.h>

#include "model/Delivery.h"
#include "store/QBYDataStore.h"
#include "support/TestSupport.h"

namespace qby::test {
namespace {

class ManualOrderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    store = std::make_unique<QBYDataStore>(makeTempDir("order") / "Porvane.sqlite");
    ASSERT_TRUE(store->available());
  }

  // Deliveries named by their uuids with the given indexes, in list order.
  std::vector<std::shared_ptr<Delivery>> list(
      const std::vector<std::pair<std::string, std::int64_t>>& rows) {
    std::vector<std::shared_ptr<Delivery>> result;
    for (const auto& [uuid, index] : rows) {
      auto record = store->viewContext()->insert<Delivery>("Delivery");
      record->setUuid(uuid);
      record->setManualSortIndex(index);
      result.push_back(record);
    }
    return result;
  }
  std::vector<std::shared_ptr<Delivery>> abcd() {
    return list({{"A", 10}, {"B", 20}, {"C", 30}, {"D", 40}});
  }

  static std::string order(const std::vector<std::shared_ptr<Delivery>>& deliveries) {
    std::string text;
    for (const auto& d : deliveries) text += d->uuid().value_or("?");
    return text;
  }
  // The list really is in ascending index order, with no two equal.
  static bool strictlyAscending(const std::vector<std::shared_ptr<Delivery>>& deliveries) {
    for (std::size_t i = 1; i < deliveries.size(); ++i)
      if (deliveries[i - 1]->manualSortIndex() >= deliveries[i]->manualSortIndex()) return false;
    return true;
  }

  std::unique_ptr<QBYDataStore> store;
};

TEST_F(ManualOrderTest, IndexForRow) {
  EXPECT_EQ(indexForRow({}, 0), 10);
  EXPECT_EQ(indexForRow({}, 5), 10);
  auto rows = abcd();
  EXPECT_EQ(indexForRow(rows, 0), 0);
  EXPECT_EQ(indexForRow(rows, -3), 0);
  EXPECT_EQ(indexForRow(rows, 1), 15);
  EXPECT_EQ(indexForRow(rows, 3), 35);
  EXPECT_EQ(indexForRow(rows, 4), 50);
  EXPECT_EQ(indexForRow(rows, QBYRowNotFound), 50);
  // The mean is not rounded here.
  EXPECT_EQ(indexForRow(list({{"X", 1}, {"Y", 2}}), 1), 1.5);
}

TEST_F(ManualOrderTest, MovingTheFirstRowDownWithAdjustment) {
  auto rows = abcd();
  auto moved = moveDeliveryFromRow(rows, 0, 3, true);
  ASSERT_TRUE(moved);
  EXPECT_EQ(moved->uuid(), "A");
  EXPECT_EQ(order(rows), "BCAD");
  EXPECT_EQ(moved->manualSortIndex(), 35);    // mean of C and D
  EXPECT_EQ(rows[0]->manualSortIndex(), 20);  // nobody else moved
}

TEST_F(ManualOrderTest, MovingDownWithoutAdjustmentCountsTheListWithoutTheMovedRow) {
  auto rows = abcd();
  ASSERT_TRUE(moveDeliveryFromRow(rows, 0, 3, false));
  EXPECT_EQ(order(rows), "BCDA");
  EXPECT_EQ(rows[3]->manualSortIndex(), 50);

  rows = abcd();
  ASSERT_TRUE(moveDeliveryFromRow(rows, 0, 2, true));
  EXPECT_EQ(order(rows), "BACD");
  EXPECT_EQ(rows[1]->manualSortIndex(), 25);
}

TEST_F(ManualOrderTest, MovingTheLastRowToTheTop) {
  auto rows = abcd();
  auto moved = moveDeliveryFromRow(rows, 3, 0, true);
  ASSERT_TRUE(moved);
  EXPECT_EQ(order(rows), "DABC");
  EXPECT_EQ(moved->manualSortIndex(), 0);  // A's index - 10
  // Adjustment applies only to downward moves.
  rows = abcd();
  ASSERT_TRUE(moveDeliveryFromRow(rows, 3, 1, true));
  EXPECT_EQ(order(rows), "ADBC");
  EXPECT_EQ(rows[1]->manualSortIndex(), 15);
}

TEST_F(ManualOrderTest, RowsThatAreNotInTheListMoveNothing) {
  auto rows = abcd();
  EXPECT_FALSE(moveDeliveryFromRow(rows, 1, 1, true));
  EXPECT_FALSE(moveDeliveryFromRow(rows, QBYRowNotFound, 1, true));
  EXPECT_FALSE(moveDeliveryFromRow(rows, 1, QBYRowNotFound, false));
  EXPECT_FALSE(moveDeliveryFromRow(rows, 4, 0, false));
  EXPECT_FALSE(moveDeliveryFromRow(rows, -1, 0, false));
  EXPECT_FALSE(moveDeliveryFromRow(rows, 0, -2, false));
  std::vector<std::shared_ptr<Delivery>> empty;
  EXPECT_FALSE(moveDeliveryFromRow(empty, 0, 1, true));
  EXPECT_EQ(order(rows), "ABCD");
  EXPECT_EQ(rows[0]->manualSortIndex(), 10);
}

TEST_F(ManualOrderTest, ATargetPastTheEndMovesToTheEnd) {
  auto rows = abcd();
  auto moved = moveDeliveryFromRow(rows, 1, 99, true);
  ASSERT_TRUE(moved);
  EXPECT_EQ(order(rows), "ACDB");
  EXPECT_EQ(moved->manualSortIndex(), 50);
}

TEST_F(ManualOrderTest, NeighboursWithoutRoomAreSpreadOutFirst) {
  // Indexes one apart: the mean would be stored as one of them.
  auto rows = list({{"A", 10}, {"B", 11}, {"C", 12}});
  ASSERT_TRUE(moveDeliveryFromRow(rows, 2, 1, false));
  EXPECT_EQ(order(rows), "ACB");
  EXPECT_TRUE(strictlyAscending(rows));

  // Equal indexes, as lists from before manual sorting have them.
  rows = list({{"A", 0}, {"B", 0}, {"C", 0}, {"D", 0}});
  ASSERT_TRUE(moveDeliveryFromRow(rows, 0, 3, true));
  EXPECT_EQ(order(rows), "BCAD");
  EXPECT_TRUE(strictlyAscending(rows));

  // Many moves into the same gap keep the order exact.
  rows = abcd();
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(moveDeliveryFromRow(rows, 3, 1, false));
    ASSERT_TRUE(strictlyAscending(rows)) << "after move " << i;
  }

  // Indexes at the ends of the stored range do not overflow.
  rows = list({{"A", std::numeric_limits<std::int64_t>::min() + 3}, {"B", 0}});
  ASSERT_TRUE(moveDeliveryFromRow(rows, 1, 0, false));
  EXPECT_EQ(order(rows), "BA");
  EXPECT_TRUE(strictlyAscending(rows));
}

}  // namespace
}  // namespace qby::test
