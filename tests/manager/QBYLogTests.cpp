#include "manager/QBYLog.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>

#include "platform/FileSystem.h"
#include "platform/Log.h"
#include "platform/Paths.h"
#include "platform/QBYNotificationCenter.h"
#include "platform/QBYUserDefaults.h"
#include "platform/Resources.h"
#include "presentation/DateTestSupport.h"
#include "support/TestSupport.h"

namespace qby {
namespace {

std::string contents(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Keeps the test's own standard error and puts it back, since outputToFile() takes it over.
class KeepStderr {
 public:
  KeepStderr() : saved_(dup(STDERR_FILENO)) {}
  ~KeepStderr() {
    dup2(saved_, STDERR_FILENO);
    close(saved_);
  }

 private:
  int saved_;
};

class QBYLogTest : public testing::Test {
 protected:
  void SetUp() override {
    // Cases share one home when the program runs them in one process: start each clean.
    auto& standard = QBYUserDefaults::standardDefaults();
    for (const char* key :
         {"QBYLogLastBuild", "QBYLogDaysToRotate", "QBYLogMaximumFiles", "QBYLogEnabled"})
      standard.removeObjectForKey(key);
    QBYLog::startForGroup(std::string("QX7T2LM9RA.com.quillbay.Porvane"));
    QBYUserDefaults::sharedDefaults().removeObjectForKey("QBYLogEnabled");
    std::filesystem::remove_all(QBYLog::folderURL());
  }

  // The current file and the rotated ones, each holding its own name.
  void makeFiles(long highestNumber) {
    std::filesystem::create_directories(QBYLog::folderURL());
    for (long n = 0; n <= highestNumber; ++n) {
      const auto file = QBYLog::incrementFileName(QBYLog::URL(), n);
      test::writeFile(file, "file " + std::to_string(n) + "\n");
    }
  }

  KeepStderr keep_;
};

TEST_F(QBYLogTest, RotatedFileNamesCountFromTwo) {
  const std::filesystem::path file = "/logs/porvane.log";
  EXPECT_EQ(QBYLog::incrementFileName(file, 0), file);
  EXPECT_EQ(QBYLog::incrementFileName(file, 1), "/logs/porvane-2.log");
  EXPECT_EQ(QBYLog::incrementFileName(file, 3), "/logs/porvane-4.log");
}

TEST_F(QBYLogTest, ZeroRotationSettingsReadAsDefaults) {
  QBYLog::setDaysToRotate(0);
  QBYLog::setMaximumFiles(0);
  EXPECT_EQ(QBYLog::daysToRotate(), 1);
  EXPECT_EQ(QBYLog::maximumFiles(), 5);
  QBYLog::setDaysToRotate(3);
  QBYLog::setMaximumFiles(7);
  EXPECT_EQ(QBYLog::daysToRotate(), 3);
  EXPECT_EQ(QBYLog::maximumFiles(), 7);
}

TEST_F(QBYLogTest, LogsLiveInTheSharedContainerWhenAGroupIsSet) {
  EXPECT_EQ(QBYLog::folderURL(), Paths::sharedContainer() / "Logs");
  EXPECT_EQ(QBYLog::URL().filename(), QBYLog::programName() + ".log");
  QBYUserDefaults::standardDefaults().removeObjectForKey("QBYLogGroupID");
  EXPECT_EQ(QBYLog::folderURL(), Paths::privateContainer() / "Logs");
}

TEST_F(QBYLogTest, NewBuildRotatesKeepingTheMaximumNumberOfFiles) {
  makeFiles(8);
  // An older build wrote last, so this start rotates although the file is new.
  QBYUserDefaults::standardDefaults().setDouble(Resources::buildNumber() - 1, "QBYLogLastBuild");
  QBYLog::outputToFile();

  const auto file = QBYLog::URL();
  EXPECT_EQ(contents(QBYLog::incrementFileName(file, 1)), "file 0\n");
  EXPECT_EQ(contents(QBYLog::incrementFileName(file, 2)), "file 1\n");
  EXPECT_EQ(contents(QBYLog::incrementFileName(file, 3)), "file 2\n");
  EXPECT_EQ(contents(QBYLog::incrementFileName(file, 4)), "file 3\n");
  for (long n = 5; n <= 8; ++n)
    EXPECT_FALSE(std::filesystem::exists(QBYLog::incrementFileName(file, n))) << n;
  EXPECT_EQ(QBYLog::paths().size(), 5u);
  EXPECT_EQ(QBYUserDefaults::standardDefaults().doubleForKey("QBYLogLastBuild"),
            Resources::buildNumber());
}

TEST_F(QBYLogTest, YoungFileOfTheSameBuildIsKeptAndAppendedTo) {
  makeFiles(0);
  QBYUserDefaults::standardDefaults().setDouble(Resources::buildNumber(), "QBYLogLastBuild");
  QBYLog::outputToFile();
  logLine("after start");
  EXPECT_EQ(contents(QBYLog::URL()), "file 0\nafter start\n");
  EXPECT_FALSE(std::filesystem::exists(QBYLog::incrementFileName(QBYLog::URL(), 1)));
}

TEST_F(QBYLogTest, NewFileStartsWithAHeaderAndReceivesConsoleLines) {
  QBYLog::outputToFile();
  logLine("Error saving changes: disk full");
  const std::string text = contents(QBYLog::URL());
  const std::string expectedStart = QBYLog::programName() + " " + Resources::version() + " (" +
                                    std::to_string(Resources::buildNumber()) + ")\n" +
                                    QBYLog::systemVersion() +
                                    "\nVendor ID: " + QBYLog::vendorIdentifier() + "\n\n";
  EXPECT_EQ(text.substr(0, expectedStart.size()), expectedStart);
  EXPECT_NE(text.find("Error saving changes: disk full\n"), std::string::npos);
}

TEST_F(QBYLogTest, VendorIdentifierIsAStableUUID) {
  const auto first = QBYLog::vendorIdentifier();
  EXPECT_EQ(first.size(), 36u);
  EXPECT_EQ(first[14], '4');
  EXPECT_EQ(QBYLog::vendorIdentifier(), first);
}

TEST_F(QBYLogTest, TurningOffForgetsRotationSettingsAndTellsObservers) {
  int posted = 0;
  auto token = QBYNotificationCenter::defaultCenter().addObserver(
      std::string(QBYLogChangeNotification), nullptr, [&](const Notification&) { ++posted; });
  QBYLog::setDaysToRotate(4);
  QBYLog::setMaximumFiles(9);
  QBYLog::setEnabled(true);
  EXPECT_TRUE(QBYLog::enabled());
  EXPECT_TRUE(std::filesystem::exists(QBYLog::URL()));
  QBYLog::setEnabled(false);
  EXPECT_FALSE(QBYLog::enabled());
  EXPECT_EQ(QBYLog::daysToRotate(), 1);
  EXPECT_EQ(QBYLog::maximumFiles(), 5);
  EXPECT_EQ(posted, 2);
}

TEST_F(QBYLogTest, DeleteRemovesOnlyLogFiles) {
  makeFiles(2);
  test::writeFile(QBYLog::folderURL() / "notes.txt", "keep");
  EXPECT_TRUE(QBYLog::deleteLogFiles());
  EXPECT_TRUE(QBYLog::paths().empty());
  EXPECT_TRUE(std::filesystem::exists(QBYLog::folderURL() / "notes.txt"));
}

// Pins a time zone for ICU and for the C library alike, and puts both back.
class PinnedZone {
 public:
  explicit PinnedZone(const char* id) : savedZone_(icu::TimeZone::createDefault()) {
    if (const char* tz = std::getenv("TZ")) savedTZ_ = tz;
    test::setDefaultZone(id);
    setenv("TZ", id, 1);
    tzset();
  }
  ~PinnedZone() {
    icu::TimeZone::adoptDefault(savedZone_.release());
    if (savedTZ_)
      setenv("TZ", savedTZ_->c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

 private:
  std::unique_ptr<icu::TimeZone> savedZone_;
  std::optional<std::string> savedTZ_;
};

TEST(QBYLogAge, CountsCalendarDaysAcrossDaylightSavingChanges) {
  // Twelve and more hours ahead of UTC, a day's noon can fall on the previous UTC day; summer
  // time ends on 5 April 2020 (a 25-hour day) and starts on 27 September 2020 (23 hours).
  const PinnedZone zone("Pacific/Auckland");
  using test::local;
  EXPECT_EQ(QBYLog::ageInDays(local(2020, 4, 4, 10), local(2020, 4, 5, 10)), 1);
  EXPECT_EQ(QBYLog::ageInDays(local(2020, 9, 26, 10), local(2020, 9, 27, 10)), 1);
  EXPECT_EQ(QBYLog::ageInDays(local(2020, 4, 4, 10), local(2020, 4, 6, 9)), 2);
  EXPECT_EQ(QBYLog::ageInDays(local(2020, 9, 26, 23, 59), local(2020, 9, 27, 0, 1)), 1);
  EXPECT_EQ(QBYLog::ageInDays(local(2020, 4, 5, 0, 1), local(2020, 4, 5, 23, 59)), 0);
  EXPECT_EQ(QBYLog::ageInDays(local(2020, 9, 27, 10), local(2020, 9, 26, 10)), -1);
}

TEST_F(QBYLogTest, FileOfAnEarlierDayRotatesAtTheNextStart) {
  const PinnedZone zone("Pacific/Auckland");
  makeFiles(0);
  QBYUserDefaults::standardDefaults().setDouble(Resources::buildNumber(), "QBYLogLastBuild");
  {
    // Later the same day: kept.
    const ClockOverride sameDay(Date::now());
    QBYLog::outputToFile();
  }
  EXPECT_FALSE(std::filesystem::exists(QBYLog::incrementFileName(QBYLog::URL(), 1)));
  {
    // Two days on (a day and a half could still be the next day): rotated.
    const ClockOverride later(Date::now().addingTimeInterval(2 * 86400));
    QBYLog::outputToFile();
  }
  // The first start sent standard error there, so the second one's lines follow.
  EXPECT_TRUE(contents(QBYLog::incrementFileName(QBYLog::URL(), 1)).starts_with("file 0\n"));
  EXPECT_FALSE(contents(QBYLog::URL()).starts_with("file 0\n"));
}

// Refuses to move one file, as a read-only or vanished target folder would.
class RefusingRename : public FileSystem {
 public:
  explicit RefusingRename(std::filesystem::path refused) : refused_(std::move(refused)) {}
  bool rename(const std::filesystem::path& from, const std::filesystem::path& to,
              std::string* error) override {
    if (from == refused_) {
      if (error) *error = "Permission denied";
      return false;
    }
    return FileSystem::rename(from, to, error);
  }

 private:
  std::filesystem::path refused_;
};

TEST_F(QBYLogTest, ARotationWhoseMoveFailsLosesNoFile) {
  const auto file = QBYLog::URL();
  for (const long refused : {2L, 0L}) {
    SCOPED_TRACE(refused);
    std::filesystem::remove_all(QBYLog::folderURL());
    makeFiles(3);
    QBYUserDefaults::standardDefaults().setDouble(Resources::buildNumber() - 1, "QBYLogLastBuild");
    RefusingRename faulty(QBYLog::incrementFileName(file, refused));
    test::LogCapture log;
    {
      FileSystem::Override override(faulty);
      QBYLog::outputToFile();
    }
    EXPECT_EQ(log.linesContaining("Error rotating log file: " +
                                  QBYLog::incrementFileName(file, refused).string() +
                                  ", Permission denied")
                  .size(),
              1u);
    // Above the refused file everything moved up; from it down nothing moved, and the
    // current file stays where it was, to be appended to.
    for (long n = 3; n > refused; --n)
      EXPECT_EQ(contents(QBYLog::incrementFileName(file, n + 1)),
                "file " + std::to_string(n) + "\n")
          << n;
    for (long n = refused; n >= 0; --n)
      EXPECT_TRUE(contents(QBYLog::incrementFileName(file, n))
                      .starts_with("file " + std::to_string(n) + "\n"))
          << n;
  }
}

TEST(QBYLogAlert, CarriesTheExactTexts) {
  const auto alert = QBYLog::enabledAlert();
  EXPECT_EQ(alert.message, "Logs are now enabled");
  EXPECT_NE(alert.informativeText.find("click\u00a0Logs."), std::string::npos);
  EXPECT_EQ(alert.buttons, std::vector<std::string>{"OK"});
}

}  // namespace
}  // namespace qby
