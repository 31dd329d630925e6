// Notification values as the companion and the messenger pass them around, and the list of
// deliveries the badge counts.
#include "manager/QBYNotification.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/QBYUserDefaults.h"
#include "platform/Value.h"
#include "support/TestSupport.h"

namespace qby::test {
namespace {

TEST(NotificationTest, DictionaryFormLeavesOutAbsentPropertiesAndRoundTrips) {
  QBYNotification note;
  note.identifier = "D1-single";
  note.uuid = "D1";
  note.title = "Shoes";
  note.message = "";
  note.category = "update";
  const auto dictionary = note.dictionary();
  EXPECT_EQ(dictionary.size(), 5u);
  EXPECT_FALSE(dictionary.contains("action"));
  EXPECT_EQ(QBYNotification::notificationWithDictionary(dictionary), note);

  const auto removal = QBYNotification::notificationWithUUID(std::string("D1")).dictionary();
  EXPECT_EQ(removal.keys(), std::vector<std::string>{"uuid"});

  // Values of the wrong kind read as absent; something that is not a dictionary is nothing.
  const auto odd = QBYNotification::notificationWithDictionary(
      Dictionary{{"uuid", 5}, {"title", "T"}, {"message", Value(Array{})}});
  EXPECT_EQ(odd.uuid, std::nullopt);
  EXPECT_EQ(odd.title, "T");
  EXPECT_EQ(odd.message, std::nullopt);
  EXPECT_EQ(QBYNotification::notificationWithValue(Value("x")), std::nullopt);
  EXPECT_EQ(QBYNotification::initWithCoder(Value(note.encodeWithCoder())), note);
}

TEST(NotificationTest, BadgeListCountsEachDeliveryOnce) {
  QBYUserDefaults defaults(makeTempDir("badge") / "shared.plist");
  EXPECT_EQ(QBYNotifications::removeUUIDFromBadge("D1", &defaults), 0u);
  EXPECT_FALSE(defaults.dictionaryRepresentation().contains(QBYBadgeUUIDsKey));

  EXPECT_EQ(QBYNotifications::addUUIDToBadge("D1", &defaults), 1u);
  EXPECT_EQ(QBYNotifications::addUUIDToBadge("D1", &defaults), 1u);
  EXPECT_EQ(QBYNotifications::addUUIDToBadge("D2", &defaults), 2u);
  defaults.setObject(Value(Array{Value("D1"), Value("D2"), Value("D1")}), QBYBadgeUUIDsKey);
  EXPECT_EQ(QBYNotifications::removeUUIDFromBadge("D1", &defaults), 1u);
  EXPECT_EQ(defaults.arrayForKey(QBYBadgeUUIDsKey), (Array{Value("D2")}));

  QBYNotifications::removeAllBadgeUUIDs(&defaults);
  EXPECT_FALSE(defaults.dictionaryRepresentation().contains(QBYBadgeUUIDsKey));
  EXPECT_FALSE(QBYNotifications::enabled(&defaults));
  defaults.setBool(true, "QBYBackgroundUpdates");
  EXPECT_TRUE(QBYNotifications::enabled(&defaults));
}

}  // namespace
}  // namespace qby::test
