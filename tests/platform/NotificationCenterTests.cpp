#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/QBYNotificationCenter.h"

namespace qby {
namespace {

TEST(NotificationCenter, MatchesByNameAndSender) {
  QBYNotificationCenter center;
  const int senderA = 0;
  const int senderB = 0;
  std::vector<std::string> calls;
  auto byName =
      center.addObserver("Changed", nullptr, [&](const Notification&) { calls.push_back("name"); });
  auto bySender = center.addObserver(std::nullopt, &senderA,
                                     [&](const Notification&) { calls.push_back("sender"); });
  auto byBoth = center.addObserver("Changed", &senderB,
                                   [&](const Notification&) { calls.push_back("both"); });
  auto everything = center.addObserver(
      std::nullopt, nullptr, [&](const Notification& n) { calls.push_back("all:" + n.name); });

  center.post("Changed", &senderA);
  EXPECT_EQ(calls, (std::vector<std::string>{"name", "sender", "all:Changed"}));
  calls.clear();
  center.post("Changed", &senderB);
  EXPECT_EQ(calls, (std::vector<std::string>{"name", "both", "all:Changed"}));
  calls.clear();
  center.post("Other");
  EXPECT_EQ(calls, (std::vector<std::string>{"all:Other"}));
}

TEST(NotificationCenter, DeliversSenderAndUserInfoInTheOrderObserversWereAdded) {
  QBYNotificationCenter center;
  const int sender = 0;
  std::vector<int> order;
  Dictionary received;
  const void* receivedSender = nullptr;
  std::vector<ObserverToken> tokens;
  for (int i = 0; i < 5; ++i) {
    tokens.push_back(center.addObserver("N", nullptr, [&, i](const Notification& n) {
      order.push_back(i);
      received = n.userInfo;
      receivedSender = n.sender;
    }));
  }
  center.post("N", &sender, Dictionary{{"key", Value("value")}, {"count", Value(3)}});
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
  EXPECT_EQ(received, (Dictionary{{"key", Value("value")}, {"count", Value(3)}}));
  EXPECT_EQ(receivedSender, &sender);
}

TEST(NotificationCenter, TokensRemoveTheirObserverWhenDestroyedOrReset) {
  QBYNotificationCenter center;
  int calls = 0;
  {
    auto token = center.addObserver("N", nullptr, [&](const Notification&) { ++calls; });
    center.post("N");
  }
  center.post("N");
  EXPECT_EQ(calls, 1);

  auto token = center.addObserver("N", nullptr, [&](const Notification&) { ++calls; });
  ObserverToken moved = std::move(token);
  EXPECT_FALSE(token);  // NOLINT(bugprone-use-after-move): a moved token is empty
  EXPECT_TRUE(moved);
  token.reset();  // resetting the empty one removes nothing
  center.post("N");
  EXPECT_EQ(calls, 2);
  center.removeObserver(moved);
  EXPECT_FALSE(moved);
  center.post("N");
  EXPECT_EQ(calls, 2);
}

TEST(NotificationCenter, AnObserverRemovedDuringDeliveryIsNotCalledAgain) {
  QBYNotificationCenter center;
  std::vector<std::string> calls;
  ObserverToken second;
  auto first = center.addObserver("N", nullptr, [&](const Notification&) {
    calls.push_back("first");
    second.reset();  // e.g. the first observer's reaction destroys the second's owner
  });
  // The owner's state dies with the token; calling it afterwards would touch freed memory.
  auto state = std::make_unique<std::string>("second");
  second = center.addObserver("N", nullptr, [&](const Notification&) { calls.push_back(*state); });
  center.post("N");
  EXPECT_EQ(calls, std::vector<std::string>{"first"});
}

TEST(NotificationCenter, AnObserverMayRemoveItselfWhileItRuns) {
  QBYNotificationCenter center;
  ObserverToken token;
  auto captured = std::make_shared<std::string>("alive");
  std::string seen;
  token = center.addObserver("N", nullptr, [&, captured](const Notification&) {
    token.reset();
    seen = *captured;  // its own captures survive until it returns
  });
  center.post("N");
  center.post("N");
  EXPECT_EQ(seen, "alive");
  EXPECT_EQ(captured.use_count(), 1);
}

TEST(NotificationCenter, AnObserverAddedDuringDeliveryHearsOnlyLaterPosts) {
  QBYNotificationCenter center;
  int lateCalls = 0;
  ObserverToken late;
  auto adder = center.addObserver("N", nullptr, [&](const Notification&) {
    if (!late) late = center.addObserver("N", nullptr, [&](const Notification&) { ++lateCalls; });
  });
  center.post("N");
  EXPECT_EQ(lateCalls, 0);
  center.post("N");
  EXPECT_EQ(lateCalls, 1);
}

TEST(NotificationCenter, AnObserverMayPostAgainWithoutDeadlock) {
  QBYNotificationCenter center;
  std::vector<std::string> calls;
  auto outer = center.addObserver("Outer", nullptr, [&](const Notification&) {
    calls.push_back("outer");
    center.post("Inner");
    calls.push_back("outer done");
  });
  auto inner =
      center.addObserver("Inner", nullptr, [&](const Notification&) { calls.push_back("inner"); });
  center.post("Outer");
  EXPECT_EQ(calls, (std::vector<std::string>{"outer", "inner", "outer done"}));
}

TEST(NotificationCenter, PostsFromSeveralThreadsWhileObserversComeAndGo) {
  QBYNotificationCenter center;
  std::atomic<int> calls{0};
  auto steady = center.addObserver("N", nullptr, [&](const Notification&) { calls++; });
  std::atomic<bool> stop{false};
  std::thread churn([&] {
    while (!stop) {
      auto token = center.addObserver("N", nullptr, [](const Notification&) {});
    }
  });
  std::vector<std::thread> posters;
  for (int t = 0; t < 3; ++t) {
    posters.emplace_back([&] {
      for (int i = 0; i < 500; ++i) center.post("N");
    });
  }
  for (auto& poster : posters) poster.join();
  stop = true;
  churn.join();
  EXPECT_EQ(calls.load(), 1500);
}

TEST(NotificationCenter, DefaultCenterIsOneInstance) {
  EXPECT_EQ(&QBYNotificationCenter::defaultCenter(), &QBYNotificationCenter::defaultCenter());
  bool heard = false;
  auto token = QBYNotificationCenter::defaultCenter().addObserver(
      "NotificationCenterTests", nullptr, [&](const Notification&) { heard = true; });
  QBYNotificationCenter::defaultCenter().post("NotificationCenterTests");
  EXPECT_TRUE(heard);
}

}  // namespace
}  // namespace qby
