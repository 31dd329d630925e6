// The background updater: when the companion is wanted, the login item's file, its failures,
// and launching the companion through a fake bus that counts the requests.
#include "manager/QBYBackgroundUpdater.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "FakeBusDaemon.h"
#include "platform/BusNames.h"
#include "platform/FileSystem.h"
#include "platform/MainQueue.h"
#include "platform/Paths.h"
#include "platform/QBYUserDefaults.h"
#include "support/TestSupport.h"

namespace qby {
namespace {

namespace fs = std::filesystem;

QBYUserDefaults& shared() {
  return QBYUserDefaults::sharedDefaults();
}

TEST(BackgroundUpdaterDecisionTest, OnlyAGlobalShortcutUsesButDoesNotRequireTheCompanion) {
  EXPECT_FALSE(QBYBackgroundUpdater::usingBackgroundUpdater());
  EXPECT_FALSE(QBYBackgroundUpdater::requiresBackgroundUpdater());

  // Any stored value means a shortcut, whatever its kind.
  ASSERT_TRUE(shared().setObject(Value(Dictionary{}), QBYShowShortcutKey));
  EXPECT_TRUE(QBYBackgroundUpdater::usingBackgroundUpdater());
  EXPECT_FALSE(QBYBackgroundUpdater::requiresBackgroundUpdater());
  ASSERT_TRUE(shared().removeObjectForKey(QBYShowShortcutKey));
  ASSERT_TRUE(shared().setObject(Value(false), QBYAddShortcutKey));
  EXPECT_TRUE(QBYBackgroundUpdater::usingBackgroundUpdater());
  EXPECT_FALSE(QBYBackgroundUpdater::requiresBackgroundUpdater());
}

TEST(BackgroundUpdaterDecisionTest, BackgroundUpdatesOrThePanelItemRequireTheCompanion) {
  ASSERT_TRUE(shared().setBool(true, QBYMenuBarModeKey));
  EXPECT_TRUE(QBYBackgroundUpdater::requiresBackgroundUpdater());
  EXPECT_TRUE(QBYBackgroundUpdater::usingBackgroundUpdater());
  ASSERT_TRUE(shared().setBool(false, QBYMenuBarModeKey));
  EXPECT_FALSE(QBYBackgroundUpdater::requiresBackgroundUpdater());
  ASSERT_TRUE(shared().setBool(true, QBYBackgroundUpdatesKey));
  EXPECT_TRUE(QBYBackgroundUpdater::requiresBackgroundUpdater());
}

class BackgroundUpdaterBusTest : public ::testing::Test {
 protected:
  test::FakeBusDaemon daemon_;
  BusNames bus_{daemon_.address(), BusNames::Kind::Peer};
  BusNames::Override installed_{bus_};
};

TEST_F(BackgroundUpdaterBusTest, RunningMeansTheCompanionsNameHasAnOwner) {
  EXPECT_FALSE(QBYBackgroundUpdater::backgroundUpdaterOpen());
  daemon_.setOwned(QBYBackgroundUpdaterIdentifier, true);
  EXPECT_TRUE(QBYBackgroundUpdater::backgroundUpdaterOpen());
}

TEST_F(BackgroundUpdaterBusTest, NeedsARelaunchOnlyWhenWantedAndNotRunning) {
  EXPECT_FALSE(QBYBackgroundUpdater::backgroundUpdaterNeedsRelaunch());
  ASSERT_TRUE(shared().setBool(true, QBYBackgroundUpdatesKey));
  EXPECT_TRUE(QBYBackgroundUpdater::backgroundUpdaterNeedsRelaunch());
  daemon_.setOwned(QBYBackgroundUpdaterIdentifier, true);
  EXPECT_FALSE(QBYBackgroundUpdater::backgroundUpdaterNeedsRelaunch());
}

TEST_F(BackgroundUpdaterBusTest, LaunchesTheCompanionWhenNeitherWantedNorRunning) {
  QBYBackgroundUpdater::launchBackgroundUpdater();
  ASSERT_TRUE(MainQueue::runUntil([&] { return !daemon_.startRequests().empty(); }, 10));
  EXPECT_EQ(daemon_.startRequests(), std::vector<std::string>{QBYBackgroundUpdaterIdentifier});
}

TEST_F(BackgroundUpdaterBusTest, DoesNotLaunchTheCompanionThatStartsAtLogin) {
  ASSERT_TRUE(shared().setObject(Value("ctrl+alt+p"), QBYAddShortcutKey));
  QBYBackgroundUpdater::launchBackgroundUpdater();
  // A request, had one been sent, would reach the fake before this answer does.
  daemon_.setOwned("org.porvane.Test.Marker", true);
  ASSERT_TRUE(BusNames::current().nameHasOwner("org.porvane.Test.Marker"));
  MainQueue::drain();
  EXPECT_TRUE(daemon_.startRequests().empty());
}

TEST_F(BackgroundUpdaterBusTest, DoesNotLaunchTheCompanionThatRunsAlready) {
  daemon_.setOwned(QBYBackgroundUpdaterIdentifier, true);
  QBYBackgroundUpdater::launchBackgroundUpdater();
  ASSERT_TRUE(BusNames::current().nameHasOwner(QBYBackgroundUpdaterIdentifier));
  MainQueue::drain();
  EXPECT_TRUE(daemon_.startRequests().empty());
}

TEST(LoginItemTest, LivesInTheAutostartFolderBelowTheTestHome) {
  const fs::path item = QBYBackgroundUpdater::loginItemPath();
  EXPECT_EQ(item,
            test::home() / "config" / "autostart" / "com.quillbay.mac.Porvane.Updater.desktop");
}

TEST(LoginItemTest, SettingWritesTheEntryAndRemovingTakesItAway) {
  test::LogCapture log;
  ASSERT_TRUE(QBYBackgroundUpdater::enableBackgroundUpdater(true));
  EXPECT_TRUE(QBYBackgroundUpdater::loginItemEnabled());
  const auto contents = Paths::readFile(QBYBackgroundUpdater::loginItemPath());
  ASSERT_TRUE(contents);
  EXPECT_EQ(contents->rfind("[Desktop Entry]\n", 0), 0u);
  EXPECT_NE(contents->find("\nType=Application\n"), std::string::npos);
  EXPECT_NE(contents->find("\nNoDisplay=true\n"), std::string::npos);
  EXPECT_NE(contents->find("\nExec=" + QBYBackgroundUpdater::programPath().string() + "\n"),
            std::string::npos);
  // Setting again replaces the entry and leaves no temporary file beside it.
  ASSERT_TRUE(QBYBackgroundUpdater::enableBackgroundUpdater(true));
  int entries = 0;
  for (const auto& entry :
       fs::directory_iterator(QBYBackgroundUpdater::loginItemPath().parent_path())) {
    (void)entry;
    ++entries;
  }
  EXPECT_EQ(entries, 1);

  ASSERT_TRUE(QBYBackgroundUpdater::enableBackgroundUpdater(false));
  EXPECT_FALSE(fs::exists(QBYBackgroundUpdater::loginItemPath()));
  EXPECT_EQ(log.lines(),
            (std::vector<std::string>{"Set login item", "Set login item", "Removed login item"}));
}

TEST(LoginItemTest, RemovingAnEntryThatIsNotThereSucceeds) {
  test::LogCapture log;
  EXPECT_TRUE(QBYBackgroundUpdater::enableBackgroundUpdater(false));
  EXPECT_EQ(log.lines(), std::vector<std::string>{"Removed login item"});
}

// Fails every atomic write, as a full disk would.
class FullDisk : public FileSystem {
 public:
  bool writeFileAtomically(const fs::path&, std::string_view, std::string* error) override {
    if (error) *error = "No space left on device";
    return false;
  }
};

TEST(LoginItemTest, AFailedWriteIsReportedAndLeavesNoFile) {
  test::LogCapture log;
  FullDisk disk;
  const FileSystem::Override installed(disk);
  EXPECT_FALSE(QBYBackgroundUpdater::enableBackgroundUpdater(true));
  EXPECT_FALSE(fs::exists(QBYBackgroundUpdater::loginItemPath()));
  EXPECT_EQ(log.linesContaining("Failed to set login item").size(), 1u);
  EXPECT_TRUE(log.linesContaining("Set login item").empty());
}

TEST(LoginItemTest, AnAutostartFolderThatCannotBeMadeIsAFailure) {
  test::LogCapture log;
  const fs::path folder = QBYBackgroundUpdater::loginItemPath().parent_path();
  test::writeFile(folder, "a file where the folder should be");
  EXPECT_FALSE(QBYBackgroundUpdater::enableBackgroundUpdater(true));
  EXPECT_EQ(log.linesContaining("Failed to set login item").size(), 1u);
  EXPECT_TRUE(fs::is_regular_file(folder));
}

TEST(LoginItemTest, AnEntryThatCannotBeRemovedIsAFailureAndStays) {
  test::LogCapture log;
  // Something that unlink() refuses: a folder with content under the entry's name.
  const fs::path item = QBYBackgroundUpdater::loginItemPath();
  test::writeFile(item / "inside", "x");
  EXPECT_FALSE(QBYBackgroundUpdater::enableBackgroundUpdater(false));
  EXPECT_EQ(log.linesContaining("Failed to remove login item").size(), 1u);
  EXPECT_TRUE(fs::exists(item / "inside"));
}

TEST(LoginItemTest, TheProgramPathIsQuotedForTheLauncher) {
  EXPECT_EQ(desktopEntryExecWord("/usr/bin/porvane-express"), "/usr/bin/porvane-express");
  // A blank: one quoted word.
  EXPECT_EQ(desktopEntryExecWord("/home/a b/bin/x"), "\"/home/a b/bin/x\"");
  // Inside quotes a backslash is escaped for the word, then again for the string value.
  EXPECT_EQ(desktopEntryExecWord("/opt/a\\b/x"), "\"/opt/a\\\\\\\\b/x\"");
  EXPECT_EQ(desktopEntryExecWord("/opt/$HOME/x"), "\"/opt/\\\\$HOME/x\"");
  EXPECT_EQ(desktopEntryExecWord("/opt/\"q\"/x"), "\"/opt/\\\\\"q\\\\\"/x\"");
  // A percent sign would be a field code.
  EXPECT_EQ(desktopEntryExecWord("/opt/100%/x"), "/opt/100%%/x");
}

}  // namespace
}  // namespace qby
