#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "DeliveriesManagerTestSupport.h"
#include "platform/MMWormhole.h"
#include "platform/Paths.h"
#include "store/QBYDeliveriesQueries.h"

namespace qby::test {
namespace {

namespace fs = std::filesystem;

fs::path messageFile(const std::string& identifier) {
  return Paths::sharedContainer() / "Wormhole" / (identifier + ".archive");
}

std::unique_ptr<MMWormhole> otherProgram() {
  return MMWormhole::initWithApplicationGroupIdentifier(Paths::kAppGroupID, "Wormhole");
}

QBYDeliverySettings queuedSettings(const std::string& no) {
  QBYDeliverySettings settings;
  settings.from = "carrier.example";
  settings.no = no;
  settings.name = "Parcel " + no;
  return settings;
}

Dictionary notificationDictionary(bool withMessage, bool withUUID = true) {
  QBYNotification notification;
  notification.identifier = "uuid-7-status";
  if (withUUID) notification.uuid = "uuid-7";
  notification.title = "Shoes";
  if (withMessage) notification.message = "Delivered";
  notification.category = QBYNotificationCategoryUpdate;
  return notification.dictionary();
}

class WormholeActionsTest : public DeliveriesManagerTest {
 protected:
  // Leaves a message as another program would, and processes it as its listener would.
  void receive(const std::string& identifier, const std::optional<Value>& object) {
    auto sender = otherProgram();
    ASSERT_TRUE(sender);
    ASSERT_TRUE(sender->passMessageObject(object, identifier));
    manager->processWormholeAction(identifier, object.value_or(Value()));
  }

  // The deliveries the add queue in the shared defaults held.
  std::size_t storedDeliveries() {
    QBYFetchRequest request;
    request.entityName = "Delivery";
    auto results = context().executeFetchRequest(request);
    return results ? results->size() : 0;
  }
};

// --- The main application --------------------------------------------------------------------

TEST_F(WormholeActionsTest, TheApplicationRefreshesAndUpdatesSoonOnUpdateDeliveries) {
  manager->setProcessType(QBYProcessTypeApplication);
  const int reloadsBefore = delegate->reloads;
  receive(QBYWormholeActionUpdateDeliveries, Value(1));
  EXPECT_FALSE(fs::exists(messageFile(QBYWormholeActionUpdateDeliveries)));
  EXPECT_TRUE(manager->updateDeliveriesPending());
  MainQueue::drain();
  EXPECT_GT(delegate->reloads, reloadsBefore);
}

TEST_F(WormholeActionsTest, TheApplicationShowsOnlyNumbersAsItsBadge) {
  manager->setProcessType(QBYProcessTypeApplication);
  receive(QBYWormholeActionUpdateBadge, Value(4));
  receive(QBYWormholeActionUpdateBadge, Value(2.0));
  receive(QBYWormholeActionUpdateBadge, Value("9"));
  receive(QBYWormholeActionUpdateBadge, Value(notificationDictionary(true)));
  receive(QBYWormholeActionUpdateBadge, std::nullopt);
  EXPECT_EQ(notifications->badgeCounts, (std::vector<long>{4, 2}));
  // Ignored or not, the message is gone.
  EXPECT_FALSE(fs::exists(messageFile(QBYWormholeActionUpdateBadge)));
}

TEST_F(WormholeActionsTest, TheApplicationAddsTheQueuedDeliveriesOnAddDelivery) {
  manager->setProcessType(QBYProcessTypeApplication);
  parentOpen = true;  // never asked in the application itself
  manager->addDeliveryLaterWithSettings(queuedSettings("Q1"));
  manager->addDeliveryLaterWithSettings(queuedSettings("Q2"));
  receive(QBYWormholeActionAddDelivery, Value(0));
  EXPECT_EQ(storedDeliveries(), 2u);
  EXPECT_FALSE(QBYDataStore::sharedDefaults().arrayForKey(QBYAddToDeliveriesKey));
  EXPECT_FALSE(fs::exists(messageFile(QBYWormholeActionAddDelivery)));
}

TEST_F(WormholeActionsTest, TheApplicationPassesEverythingElseOnWithItsObject) {
  manager->setProcessType(QBYProcessTypeApplication);
  const Value newDelivery("{\"from\":\"carrier.example\",\"no\":\"1Z\"}");
  receive(QBYWormholeActionNewDelivery, newDelivery);
  receive(QBYWormholeActionBeginRestart, std::nullopt);
  // The companion's own actions are not the application's business, but are passed on too.
  receive(QBYWormholeActionNotification, Value(notificationDictionary(true)));
  ASSERT_EQ(notifications->passedOn.size(), 3u);
  EXPECT_EQ(notifications->passedOn[0].first, QBYWormholeActionNewDelivery);
  EXPECT_EQ(notifications->passedOn[0].second, newDelivery);
  EXPECT_EQ(notifications->passedOn[1].first, QBYWormholeActionBeginRestart);
  EXPECT_TRUE(notifications->passedOn[1].second.isNull());
  EXPECT_TRUE(notifications->presented.empty());
  EXPECT_FALSE(fs::exists(messageFile(QBYWormholeActionNewDelivery)));
  EXPECT_FALSE(fs::exists(messageFile(QBYWormholeActionNotification)));
}

// --- The background updater ------------------------------------------------------------------

TEST_F(WormholeActionsTest, TheCompanionPresentsOrRemovesNotificationsByTheirMessage) {
  manager->setProcessType(QBYProcessTypeCompanion);
  receive(QBYWormholeActionNotification, Value(notificationDictionary(true)));
  ASSERT_EQ(notifications->presented.size(), 1u);
  EXPECT_EQ(notifications->presented[0],
            QBYNotification::notificationWithDictionary(notificationDictionary(true)));
  EXPECT_FALSE(fs::exists(messageFile(QBYWormholeActionNotification)));

  receive(QBYWormholeActionNotification,
          Value(QBYNotification::notificationWithUUID("uuid-7").dictionary()));
  EXPECT_EQ(notifications->removedNotifications, std::vector<std::string>{"uuid-7"});
  EXPECT_EQ(notifications->presented.size(), 1u);
}

TEST_F(WormholeActionsTest, TheCompanionIgnoresNotificationsWithoutUUIDOrOfTheWrongKind) {
  manager->setProcessType(QBYProcessTypeCompanion);
  receive(QBYWormholeActionNotification, Value(notificationDictionary(true, false)));
  receive(QBYWormholeActionNotification, Value(notificationDictionary(false, false)));
  receive(QBYWormholeActionNotification, Value("uuid-7"));
  receive(QBYWormholeActionNotification, Value(Array{Value(notificationDictionary(true))}));
  receive(QBYWormholeActionNotification, std::nullopt);
  // A uuid that is not a text is no uuid.
  Dictionary numericUUID = notificationDictionary(true);
  numericUUID.set("uuid", Value(7));
  receive(QBYWormholeActionNotification, Value(numericUUID));
  EXPECT_TRUE(notifications->presented.empty());
  EXPECT_TRUE(notifications->removedNotifications.empty());
  EXPECT_TRUE(notifications->passedOn.empty());
  EXPECT_FALSE(fs::exists(messageFile(QBYWormholeActionNotification)));
}

TEST_F(WormholeActionsTest, TheCompanionClearsBadgesUpdatesSettingsAndPassesOnTheRest) {
  manager->setProcessType(QBYProcessTypeCompanion);
  receive(QBYWormholeActionClearNotifications, std::nullopt);
  receive(QBYWormholeActionUpdateSettings, Value(true));
  receive(QBYWormholeActionRequestRestart, std::nullopt);
  receive(QBYWormholeActionQuit, Value(1));
  EXPECT_EQ(notifications->badgeClears, 1);
  EXPECT_EQ(notifications->settingsUpdates, 1);
  ASSERT_EQ(notifications->passedOn.size(), 2u);
  EXPECT_EQ(notifications->passedOn[0].first, QBYWormholeActionRequestRestart);
  EXPECT_EQ(notifications->passedOn[1].first, QBYWormholeActionQuit);
  EXPECT_EQ(notifications->passedOn[1].second, Value(1));
  for (const char* action : {QBYWormholeActionUpdateSettings, QBYWormholeActionQuit})
    EXPECT_FALSE(fs::exists(messageFile(action))) << action;
  // Badges are the application's to show: the companion does not act on UpdateBadge itself.
  receive(QBYWormholeActionUpdateBadge, Value(3));
  EXPECT_TRUE(notifications->badgeCounts.empty());
}

TEST_F(WormholeActionsTest, TheCompanionLeavesAddDeliveryToTheRunningApplication) {
  manager->setProcessType(QBYProcessTypeCompanion);
  manager->addDeliveryLaterWithSettings(queuedSettings("Q1"));
  parentOpen = true;
  receive(QBYWormholeActionAddDelivery, Value(1));
  EXPECT_EQ(storedDeliveries(), 0u);
  EXPECT_TRUE(fs::exists(messageFile(QBYWormholeActionAddDelivery)));
  EXPECT_EQ(QBYDataStore::sharedDefaults().arrayForKey(QBYAddToDeliveriesKey)->size(), 1u);

  // With the application gone the companion adds them itself.
  parentOpen = false;
  manager->processWormholeAction(QBYWormholeActionAddDelivery, Value(1));
  EXPECT_EQ(storedDeliveries(), 1u);
  EXPECT_FALSE(fs::exists(messageFile(QBYWormholeActionAddDelivery)));
  EXPECT_FALSE(QBYDataStore::sharedDefaults().arrayForKey(QBYAddToDeliveriesKey));
}

TEST_F(WormholeActionsTest, WithoutANotificationDelegateMessagesAreStillCleared) {
  manager->setProcessType(QBYProcessTypeCompanion);
  manager->setNotificationDelegate({});
  receive(QBYWormholeActionNotification, Value(notificationDictionary(true)));
  receive(QBYWormholeActionQuit, Value(1));
  EXPECT_FALSE(fs::exists(messageFile(QBYWormholeActionNotification)));
  EXPECT_FALSE(fs::exists(messageFile(QBYWormholeActionQuit)));
  EXPECT_TRUE(notifications->presented.empty());
  EXPECT_TRUE(notifications->passedOn.empty());
}

// --- Listening -------------------------------------------------------------------------------

TEST_F(WormholeActionsTest, AMessageThatWaitedIsProcessedWhenTheCompanionStarts) {
  manager->setProcessType(QBYProcessTypeCompanion);
  auto sender = otherProgram();
  ASSERT_TRUE(sender);
  ASSERT_TRUE(sender->passMessageObject(Value(notificationDictionary(true)),
                                        QBYWormholeActionNotification));
  ASSERT_TRUE(sender->passMessageObject(Value(5), QBYWormholeActionUpdateBadge));
  manager->start();
  ASSERT_EQ(notifications->presented.size(), 1u);
  EXPECT_EQ(notifications->presented[0].message, "Delivered");
  EXPECT_FALSE(fs::exists(messageFile(QBYWormholeActionNotification)));
  // Not one of the companion's actions: it waits for the application.
  EXPECT_TRUE(notifications->badgeCounts.empty());
  EXPECT_TRUE(fs::exists(messageFile(QBYWormholeActionUpdateBadge)));
}

TEST_F(WormholeActionsTest, AManagerThatDoesNotListenLeavesWaitingMessagesAlone) {
  QBYDeliveriesManager::Options options;
  options.listenForActions = false;
  auto tool = QBYDeliveriesManager::create(std::move(options));
  tool->setDataStore(store);
  tool->setProcessType(QBYProcessTypeApplication);
  tool->setNotificationDelegate(notifications);
  auto sender = otherProgram();
  ASSERT_TRUE(sender);
  const Value page("{\"no\":\"1Z\"}");
  ASSERT_TRUE(sender->passMessageObject(page, QBYWormholeActionNewDelivery));
  tool->start();
  EXPECT_TRUE(notifications->passedOn.empty());
  EXPECT_EQ(sender->messageWithIdentifier(QBYWormholeActionNewDelivery), page);
  tool->stop();
}

TEST_F(WormholeActionsTest, AStartedApplicationHearsItsActionsFromOtherPrograms) {
  if (!std::getenv("DBUS_SESSION_BUS_ADDRESS")) GTEST_SKIP() << "no session bus";
  manager->setProcessType(QBYProcessTypeApplication);
  manager->start();
  ASSERT_TRUE(manager->wormhole());
  auto sender = otherProgram();
  ASSERT_TRUE(sender);
  // Notification is the companion's: heard by nobody here. The badge comes after it, so once
  // the badge is in, the notification would have been too.
  ASSERT_TRUE(sender->passMessageObject(Value(notificationDictionary(true)),
                                        QBYWormholeActionNotification));
  ASSERT_TRUE(sender->passMessageObject(Value(6), QBYWormholeActionUpdateBadge));
  ASSERT_TRUE(MainQueue::runUntil([&] { return !notifications->badgeCounts.empty(); }, 10));
  EXPECT_EQ(notifications->badgeCounts, std::vector<long>{6});
  EXPECT_TRUE(notifications->passedOn.empty());
  EXPECT_TRUE(fs::exists(messageFile(QBYWormholeActionNotification)));
  EXPECT_FALSE(fs::exists(messageFile(QBYWormholeActionUpdateBadge)));
}

TEST_F(WormholeActionsTest, AManagerWithoutATestSenderSendsItsActionsThroughTheChannel) {
  if (!std::getenv("DBUS_SESSION_BUS_ADDRESS")) GTEST_SKIP() << "no session bus";
  QBYDeliveriesManager::Options options;
  options.parentAppOpen = [] { return true; };
  auto widget = QBYDeliveriesManager::create(std::move(options));
  widget->setDataStore(store);
  widget->setProcessType(QBYProcessTypeWidget);

  auto application = otherProgram();
  ASSERT_TRUE(application);
  std::vector<std::string> heard;
  for (const char* action : {QBYWormholeActionUpdateDeliveries, QBYWormholeActionAddDelivery}) {
    ASSERT_TRUE(application->listenForMessageWithIdentifier(
        action, [&heard, action](const std::optional<Value>&) { heard.push_back(action); }));
  }
  widget->updateDeliveries();
  widget->addDeliveryLaterWithSettings(queuedSettings("W1"));
  ASSERT_TRUE(MainQueue::runUntil([&] { return heard.size() >= 2; }, 10));
  EXPECT_EQ(heard, (std::vector<std::string>{QBYWormholeActionUpdateDeliveries,
                                             QBYWormholeActionAddDelivery}));
}

TEST_F(WormholeActionsTest, AListenerOutlivedByItsSignalDoesNothing) {
  if (!std::getenv("DBUS_SESSION_BUS_ADDRESS")) GTEST_SKIP() << "no session bus";
  manager->setProcessType(QBYProcessTypeApplication);
  manager->listenForWormholeAction(QBYWormholeActionUpdateBadge);
  auto sender = otherProgram();
  ASSERT_TRUE(sender);
  ASSERT_TRUE(sender->passMessageObject(Value(8), QBYWormholeActionUpdateBadge));
  manager.reset();
  // Whatever was on its way finds nobody; the message waits for the next start.
  std::vector<std::string> barrier;
  ASSERT_TRUE(sender->listenForMessageWithIdentifier(
      "QBYTestBarrier", [&](const std::optional<Value>&) { barrier.push_back("done"); }));
  ASSERT_TRUE(sender->passMessageObject(std::nullopt, "QBYTestBarrier"));
  ASSERT_TRUE(MainQueue::runUntil([&] { return !barrier.empty(); }, 10));
  EXPECT_TRUE(notifications->badgeCounts.empty());
  EXPECT_TRUE(fs::exists(messageFile(QBYWormholeActionUpdateBadge)));
}

}  // namespace
}  // namespace qby::test
