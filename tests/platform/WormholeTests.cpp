#include <gio/gio.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/FileSystem.h"
#include "platform/GLibPtr.h"
#include "platform/MMWormhole.h"
#include "platform/MainQueue.h"
#include "platform/Paths.h"
#include "support/TestSupport.h"

namespace qby {
namespace {

namespace fs = std::filesystem;

constexpr double kSignalTimeout = 10;

fs::path messageFolder() {
  return Paths::sharedContainer() / "Wormhole";
}
fs::path messageFile(const std::string& identifier) {
  return messageFolder() / (identifier + ".archive");
}

std::unique_ptr<MMWormhole> makeWormhole() {
  return MMWormhole::initWithApplicationGroupIdentifier(Paths::kAppGroupID, "Wormhole");
}

// Every identifier a test uses is its own, so that a signal of another test program running on
// the same bus can never be mistaken for this one's.
std::string uniqueIdentifier(const std::string& name) {
  return "QBYTest" + name + std::to_string(g_random_int());
}

Dictionary payload(std::int64_t version) {
  Dictionary object;
  object.set("uuid", Value("uuid-1"));
  object.set("version", Value(version));
  return object;
}

// What one listener heard, and on which thread.
struct Heard {
  std::vector<std::optional<Value>> messages;
  bool offMainThread = false;

  MMWormhole::Listener listener() {
    return [this](const std::optional<Value>& message) {
      if (!MainQueue::isMainThread()) offMainThread = true;
      messages.push_back(message);
    };
  }
};

class FailingWrites : public FileSystem {
 public:
  bool writeFileAtomically(const fs::path&, std::string_view, std::string* error) override {
    if (error) *error = "No space left on device";
    return false;
  }
};

// --- Message files ---------------------------------------------------------------------------

TEST(WormholeFiles, AnObjectIsWrittenAsABinaryPropertyListAndReadBack) {
  auto wormhole = makeWormhole();
  ASSERT_TRUE(wormhole);
  const std::string identifier = "QBYWormholeActionNotification";
  ASSERT_TRUE(wormhole->passMessageObject(Value(payload(1)), identifier));

  const auto bytes = Paths::readFile(messageFile(identifier));
  ASSERT_TRUE(bytes);
  EXPECT_EQ(bytes->substr(0, 8), "bplist00");
  EXPECT_EQ(wormhole->messageWithIdentifier(identifier), Value(payload(1)));

  // A number and a text make whole messages too.
  ASSERT_TRUE(wormhole->passMessageObject(Value(7), "QBYWormholeActionUpdateBadge"));
  EXPECT_EQ(wormhole->messageWithIdentifier("QBYWormholeActionUpdateBadge"), Value(7));
  ASSERT_TRUE(wormhole->passMessageObject(Value("{\"no\":\"1Z\"}"), "QBYNewDelivery"));
  EXPECT_EQ(wormhole->messageWithIdentifier("QBYNewDelivery"), Value("{\"no\":\"1Z\"}"));
}

TEST(WormholeFiles, NoObjectWritesNoFileAndLeavesAWaitingOneAlone) {
  auto wormhole = makeWormhole();
  ASSERT_TRUE(wormhole);
  EXPECT_TRUE(wormhole->passMessageObject(std::nullopt, "QBYWormholeActionAddDelivery"));
  EXPECT_FALSE(fs::exists(messageFile("QBYWormholeActionAddDelivery")));
  EXPECT_FALSE(wormhole->messageWithIdentifier("QBYWormholeActionAddDelivery"));

  ASSERT_TRUE(wormhole->passMessageObject(Value(3), "QBYBadge"));
  EXPECT_TRUE(wormhole->passMessageObject(std::nullopt, "QBYBadge"));
  EXPECT_EQ(wormhole->messageWithIdentifier("QBYBadge"), Value(3));
}

TEST(WormholeFiles, TheLaterOfTwoSendersWins) {
  auto first = makeWormhole();
  auto second = makeWormhole();
  ASSERT_TRUE(first && second);
  ASSERT_TRUE(first->passMessageObject(Value(payload(1)), "QBYSame"));
  ASSERT_TRUE(second->passMessageObject(Value(payload(2)), "QBYSame"));
  EXPECT_EQ(first->messageWithIdentifier("QBYSame"), Value(payload(2)));
  // One file, no temporary leftovers beside it.
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(messageFolder()))
    names.push_back(entry.path().filename().string());
  EXPECT_EQ(names, std::vector<std::string>{"QBYSame.archive"});
}

TEST(WormholeFiles, IdentifiersThatAreNotSafeNamesAreRefused) {
  auto wormhole = makeWormhole();
  ASSERT_TRUE(wormhole);
  // A decoy outside the folder that a path-walking identifier would reach.
  test::writeFile(Paths::sharedContainer() / "secret.archive", "keep");
  const std::vector<std::string> invalid = {"",
                                            "../secret",
                                            "a/b",
                                            "..",
                                            "QBY.Action",
                                            "1QBYAction",
                                            "QBY Action",
                                            "Qbý",
                                            "QBY\nX",
                                            std::string("QBY\0X", 5),
                                            std::string(MMWormholeMaximumIdentifierLength + 1, 'Q'),
                                            "\xff\xfe"};
  Heard heard;
  for (const auto& identifier : invalid) {
    SCOPED_TRACE(testing::PrintToString(identifier));
    QBYError error;
    EXPECT_FALSE(wormhole->passMessageObject(Value(1), identifier, &error));
    EXPECT_EQ(error.domain, QBYErrorDomainWormhole);
    EXPECT_EQ(error.code, QBYWormholeErrorInvalidIdentifier);
    EXPECT_FALSE(wormhole->messageWithIdentifier(identifier));
    QBYError listenError;
    EXPECT_FALSE(
        wormhole->listenForMessageWithIdentifier(identifier, heard.listener(), &listenError));
    EXPECT_EQ(listenError.code, QBYWormholeErrorInvalidIdentifier);
    wormhole->clearMessageContentsForIdentifier(identifier);
  }
  EXPECT_EQ(wormhole->listenerCount(), 0u);
  EXPECT_TRUE(fs::is_empty(messageFolder()));
  EXPECT_EQ(Paths::readFile(Paths::sharedContainer() / "secret.archive"), "keep");
  // The longest identifier still makes a file and its temporary twin.
  const std::string longest(MMWormholeMaximumIdentifierLength, 'Q');
  EXPECT_TRUE(wormhole->passMessageObject(Value(1), longest));
  EXPECT_EQ(wormhole->messageWithIdentifier(longest), Value(1));
}

TEST(WormholeFiles, ADamagedMessageReadsAsNothingAndIsLogged) {
  auto wormhole = makeWormhole();
  ASSERT_TRUE(wormhole);
  test::LogCapture log;
  test::writeFile(messageFile("QBYGarbage"), "not a property list \x01\x02");
  EXPECT_FALSE(wormhole->messageWithIdentifier("QBYGarbage"));
  // A binary plist cut short in its offset table.
  ASSERT_TRUE(wormhole->passMessageObject(Value(payload(5)), "QBYTruncated"));
  auto bytes = *Paths::readFile(messageFile("QBYTruncated"));
  test::writeFile(messageFile("QBYTruncated"), bytes.substr(0, bytes.size() - 10));
  EXPECT_FALSE(wormhole->messageWithIdentifier("QBYTruncated"));
  test::writeFile(messageFile("QBYEmpty"), "");
  EXPECT_FALSE(wormhole->messageWithIdentifier("QBYEmpty"));

  EXPECT_EQ(log.linesContaining("Error reading message QBYGarbage").size(), 1u);
  EXPECT_EQ(log.linesContaining("Error reading message QBYTruncated").size(), 1u);
  EXPECT_EQ(log.linesContaining("Error reading message QBYEmpty").size(), 1u);
  // A missing file is no error: most actions carry no object.
  log.clear();
  EXPECT_FALSE(wormhole->messageWithIdentifier("QBYMissing"));
  EXPECT_TRUE(log.linesContaining("QBYMissing").empty());
}

TEST(WormholeFiles, AFailedWriteKeepsThePreviousMessageAndSaysSo) {
  auto wormhole = makeWormhole();
  ASSERT_TRUE(wormhole);
  ASSERT_TRUE(wormhole->passMessageObject(Value(payload(1)), "QBYKept"));
  test::LogCapture log;
  {
    FailingWrites failing;
    FileSystem::Override override(failing);
    QBYError error;
    EXPECT_FALSE(wormhole->passMessageObject(Value(payload(2)), "QBYKept", &error));
    EXPECT_EQ(error.code, QBYWormholeErrorWrite);
    EXPECT_NE(error.localizedDescription.find("No space left on device"), std::string::npos);
  }
  EXPECT_EQ(wormhole->messageWithIdentifier("QBYKept"), Value(payload(1)));
  EXPECT_EQ(log.linesContaining("Error passing message QBYKept").size(), 1u);

  // A null inside cannot be archived: the same, and nothing half-written.
  Array withNull{Value(1), Value()};
  QBYError error;
  EXPECT_FALSE(wormhole->passMessageObject(Value(withNull), "QBYKept", &error));
  EXPECT_EQ(error.code, QBYWormholeErrorArchive);
  EXPECT_EQ(wormhole->messageWithIdentifier("QBYKept"), Value(payload(1)));
}

TEST(WormholeFiles, ClearingRemovesOneMessageOrEveryMessageOfTheFolder) {
  auto wormhole = makeWormhole();
  ASSERT_TRUE(wormhole);
  ASSERT_TRUE(wormhole->passMessageObject(Value(1), "QBYOne"));
  ASSERT_TRUE(wormhole->passMessageObject(Value(2), "QBYTwo"));
  wormhole->clearMessageContentsForIdentifier("QBYOne");
  EXPECT_FALSE(fs::exists(messageFile("QBYOne")));
  EXPECT_EQ(wormhole->messageWithIdentifier("QBYTwo"), Value(2));
  wormhole->clearMessageContentsForIdentifier("QBYOne");  // already gone: no harm

  ASSERT_TRUE(wormhole->passMessageObject(Value(3), "QBYThree"));
  wormhole->clearAllMessageContents();
  EXPECT_TRUE(fs::is_empty(messageFolder()));

  // Without a folder of its own the channel shares the container with the store and the
  // defaults: clearing everything must not touch them.
  auto bare = MMWormhole::initWithApplicationGroupIdentifier(Paths::kAppGroupID, std::nullopt);
  ASSERT_TRUE(bare);
  ASSERT_TRUE(bare->passMessageObject(Value(4), "QBYBare"));
  EXPECT_TRUE(fs::exists(Paths::sharedContainer() / "QBYBare.archive"));
  bare->clearAllMessageContents();
  EXPECT_TRUE(fs::exists(Paths::sharedContainer() / "QBYBare.archive"));
}

TEST(WormholeFiles, NoChannelWithoutAContainer) {
  EXPECT_FALSE(MMWormhole::initWithApplicationGroupIdentifier("group.other.example", "Wormhole"));
  EXPECT_FALSE(MMWormhole::initWithApplicationGroupIdentifier(Paths::kAppGroupID, "../Elsewhere"));
  EXPECT_FALSE(MMWormhole::initWithApplicationGroupIdentifier(Paths::kAppGroupID, ""));

  // A home below a plain file cannot hold the container.
  const std::string savedHome = std::getenv("PORVANE_HOME");
  const auto blocker = test::writeFile(test::makeTempDir("blocked") / "file", "x");
  setenv("PORVANE_HOME", (blocker / "home").c_str(), 1);
  auto wormhole = makeWormhole();
  setenv("PORVANE_HOME", savedHome.c_str(), 1);
  EXPECT_FALSE(wormhole);
}

TEST(WormholeFiles, WithoutASessionBusMessagesStillWaitAndTheLogSaysWhy) {
  // Each test runs in a process of its own, so the bus connection is not made yet.
  const char* saved = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  const std::string savedAddress = saved ? saved : "";
  setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/porvane-bus", 1);
  test::LogCapture log;
  auto wormhole = makeWormhole();
  if (saved) {
    setenv("DBUS_SESSION_BUS_ADDRESS", savedAddress.c_str(), 1);
  } else {
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
  }
  ASSERT_TRUE(wormhole);
  EXPECT_FALSE(wormhole->canSignal());
  EXPECT_EQ(log.linesContaining("No session bus for inter-process signals").size(), 1u);

  EXPECT_TRUE(wormhole->passMessageObject(Value(2), "QBYOffline"));
  EXPECT_EQ(wormhole->messageWithIdentifier("QBYOffline"), Value(2));
  EXPECT_EQ(log.linesContaining("No signal for message QBYOffline: no session bus").size(), 1u);
  Heard heard;
  EXPECT_TRUE(wormhole->listenForMessageWithIdentifier("QBYOffline", heard.listener()));
  EXPECT_EQ(wormhole->listenerCount(), 1u);
  wormhole->stopListeningForMessageWithIdentifier("QBYOffline");
  EXPECT_EQ(wormhole->listenerCount(), 0u);
}

// --- Signals ---------------------------------------------------------------------------------

class WormholeSignals : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::getenv("DBUS_SESSION_BUS_ADDRESS")) GTEST_SKIP() << "no session bus";
    receiver = makeWormhole();
    sender = makeWormhole();
    ASSERT_TRUE(receiver && sender);
    ASSERT_TRUE(receiver->canSignal());
    barrier = uniqueIdentifier("Barrier");
    ASSERT_TRUE(receiver->listenForMessageWithIdentifier(barrier,
                                                         [this](const auto&) { ++barriersHeard; }));
  }

  void TearDown() override { MainQueue::drain(); }

  // Signals of one sender arrive in order: once the barrier sent after them is heard, every
  // signal before it has been delivered and handed to the main queue ahead of it.
  void waitForEverythingSent() {
    const int expected = barriersHeard + 1;
    ASSERT_TRUE(sender->passMessageObject(std::nullopt, barrier));
    ASSERT_TRUE(MainQueue::runUntil([&] { return barriersHeard >= expected; }, kSignalTimeout));
  }

  std::unique_ptr<MMWormhole> receiver;
  std::unique_ptr<MMWormhole> sender;
  std::string barrier;
  int barriersHeard = 0;
};

TEST_F(WormholeSignals, AMessageSentIsHeardOnceOnTheMainThreadWithItsObject) {
  const auto identifier = uniqueIdentifier("Notification");
  Heard heard;
  ASSERT_TRUE(receiver->listenForMessageWithIdentifier(identifier, heard.listener()));
  ASSERT_TRUE(sender->passMessageObject(Value(payload(1)), identifier));
  // Never synchronously inside the send.
  EXPECT_TRUE(heard.messages.empty());
  waitForEverythingSent();
  ASSERT_EQ(heard.messages.size(), 1u);
  EXPECT_EQ(heard.messages[0], Value(payload(1)));
  EXPECT_FALSE(heard.offMainThread);
  // The receiver clears it, not the channel.
  EXPECT_TRUE(fs::exists(messageFile(identifier)));
}

TEST_F(WormholeSignals, AnActionWithoutObjectIsHeardWithNothing) {
  const auto identifier = uniqueIdentifier("AddDelivery");
  Heard heard;
  ASSERT_TRUE(receiver->listenForMessageWithIdentifier(identifier, heard.listener()));
  ASSERT_TRUE(sender->passMessageObject(std::nullopt, identifier));
  waitForEverythingSent();
  ASSERT_EQ(heard.messages.size(), 1u);
  EXPECT_FALSE(heard.messages[0]);
  EXPECT_FALSE(fs::exists(messageFile(identifier)));
}

TEST_F(WormholeSignals, TwoSendersOfOneActionLeaveTheLatestObject) {
  const auto identifier = uniqueIdentifier("Badge");
  auto other = makeWormhole();
  ASSERT_TRUE(other);
  Heard heard;
  ASSERT_TRUE(receiver->listenForMessageWithIdentifier(identifier, heard.listener()));
  ASSERT_TRUE(sender->passMessageObject(Value(1), identifier));
  ASSERT_TRUE(other->passMessageObject(Value(2), identifier));
  waitForEverythingSent();
  ASSERT_EQ(heard.messages.size(), 2u);
  // Both signals read the one file, which the later write replaced.
  EXPECT_EQ(heard.messages.back(), Value(2));
  EXPECT_EQ(receiver->messageWithIdentifier(identifier), Value(2));
}

TEST_F(WormholeSignals, ListeningAgainReplacesTheListenerAndItsSubscription) {
  const auto identifier = uniqueIdentifier("Replace");
  Heard first;
  Heard second;
  ASSERT_TRUE(receiver->listenForMessageWithIdentifier(identifier, first.listener()));
  ASSERT_TRUE(receiver->listenForMessageWithIdentifier(identifier, second.listener()));
  ASSERT_TRUE(sender->passMessageObject(Value(1), identifier));
  waitForEverythingSent();
  EXPECT_TRUE(first.messages.empty());
  // Two subscriptions would hand the one signal over twice.
  EXPECT_EQ(second.messages.size(), 1u);
}

TEST_F(WormholeSignals, StoppingOrDestroyingEndsListening) {
  const auto stopped = uniqueIdentifier("Stopped");
  const auto destroyed = uniqueIdentifier("Destroyed");
  Heard heardStopped;
  Heard heardDestroyed;
  ASSERT_TRUE(receiver->listenForMessageWithIdentifier(stopped, heardStopped.listener()));
  receiver->stopListeningForMessageWithIdentifier(stopped);
  EXPECT_EQ(receiver->listenerCount(), 1u);  // the barrier

  auto doomed = makeWormhole();
  ASSERT_TRUE(doomed);
  ASSERT_TRUE(doomed->listenForMessageWithIdentifier(destroyed, heardDestroyed.listener()));
  ASSERT_TRUE(sender->passMessageObject(Value(1), stopped));
  ASSERT_TRUE(sender->passMessageObject(Value(2), destroyed));
  // Gone before the bus delivered the signal sent to it.
  doomed.reset();
  waitForEverythingSent();
  EXPECT_TRUE(heardStopped.messages.empty());
  EXPECT_TRUE(heardDestroyed.messages.empty());
}

TEST_F(WormholeSignals, AFailedWriteSendsNoSignal) {
  const auto identifier = uniqueIdentifier("Failed");
  Heard heard;
  ASSERT_TRUE(receiver->listenForMessageWithIdentifier(identifier, heard.listener()));
  {
    FailingWrites failing;
    FileSystem::Override override(failing);
    EXPECT_FALSE(sender->passMessageObject(Value(1), identifier));
  }
  waitForEverythingSent();
  EXPECT_TRUE(heard.messages.empty());
}

TEST_F(WormholeSignals, ASignalFromAnotherProgramsConnectionIsHeard) {
  // Another program has a connection of its own; the bus, not this process, routes its signal.
  GError* rawError = nullptr;
  GCharPtr address(g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &rawError));
  GErrorPtr addressError(rawError);
  ASSERT_TRUE(address);
  auto connection = GObjectPtr<GDBusConnection>::adopt(g_dbus_connection_new_for_address_sync(
      address.get(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, &rawError));
  GErrorPtr connectError(rawError);
  ASSERT_TRUE(connection);

  const auto identifier = uniqueIdentifier("Remote");
  Heard heard;
  ASSERT_TRUE(receiver->listenForMessageWithIdentifier(identifier, heard.listener()));
  auto files =
      MMWormholeFileTransiting::initWithApplicationGroupIdentifier(Paths::kAppGroupID, "Wormhole");
  ASSERT_TRUE(files);
  ASSERT_TRUE(files->writeMessageObject(Value(payload(9)), identifier));
  ASSERT_TRUE(g_dbus_connection_emit_signal(
      connection.get(), nullptr, MMWormholeSignalPath, MMWormholeSignalInterface,
      identifier.c_str(), g_variant_new("(s)", receiver->channelName().c_str()), nullptr));
  ASSERT_TRUE(g_dbus_connection_flush_sync(connection.get(), nullptr, nullptr));
  ASSERT_TRUE(MainQueue::runUntil([&] { return !heard.messages.empty(); }, kSignalTimeout));
  EXPECT_EQ(heard.messages[0], Value(payload(9)));
  g_dbus_connection_close_sync(connection.get(), nullptr, nullptr);
}

TEST_F(WormholeSignals, AnotherContainersSignalsAreNotHeard) {
  // A second installation (here: another home) on the same session bus, sending the same
  // action. Only the receiver's own channel may wake it.
  const auto identifier = uniqueIdentifier("Elsewhere");
  Heard heard;
  ASSERT_TRUE(receiver->listenForMessageWithIdentifier(identifier, heard.listener()));
  const std::string home = std::getenv("PORVANE_HOME");
  ASSERT_EQ(setenv("PORVANE_HOME", (test::home() / "other").c_str(), 1), 0);
  auto elsewhere = makeWormhole();
  ASSERT_EQ(setenv("PORVANE_HOME", home.c_str(), 1), 0);
  ASSERT_TRUE(elsewhere);
  EXPECT_NE(elsewhere->channelName(), receiver->channelName());
  ASSERT_TRUE(elsewhere->passMessageObject(Value(payload(7)), identifier));

  // The barrier goes out after it from the same bus, so once it is heard the other signal
  // would have been too.
  ASSERT_TRUE(sender->passMessageObject(Value(payload(8)), identifier));
  waitForEverythingSent();
  ASSERT_EQ(heard.messages.size(), 1u);
  EXPECT_EQ(heard.messages[0], Value(payload(8)));
}

}  // namespace
}  // namespace qby
