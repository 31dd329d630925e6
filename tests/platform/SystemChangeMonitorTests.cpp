// The system-change monitor: the zone named by the zone files, adopting a new zone and telling
// observers, noticing a replaced localtime link, and watching the real files and clock.
#include "platform/SystemChangeMonitor.h"

#include <gtest/gtest.h>
#include <unicode/timezone.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>

#include "platform/MainQueue.h"
#include "platform/QBYNotificationCenter.h"
#include "support/TestSupport.h"

namespace qby {
namespace {

namespace fs = std::filesystem;

std::string defaultZoneID() {
  std::unique_ptr<icu::TimeZone> zone(icu::TimeZone::createDefault());
  icu::UnicodeString id;
  std::string result;
  zone->getID(id).toUTF8String(result);
  return result;
}

// Points the link at a zone file the way tools replace /etc/localtime: a new link renamed
// over the old one.
void relink(const fs::path& link, const std::string& target) {
  const fs::path temporary = link.string() + ".new";
  fs::remove(temporary);
  fs::create_symlink(target, temporary);
  fs::rename(temporary, link);
}

class SystemChangeMonitorTest : public ::testing::Test {
 protected:
  // The monitor adopts zones as ICU's default: start from a known one and give the saved one
  // back afterwards.
  void SetUp() override {
    savedZone_.reset(icu::TimeZone::createDefault());
    icu::TimeZone::adoptDefault(icu::TimeZone::createTimeZone("Europe/Berlin"));
    folder = test::makeTempDir("zone");
    localtime = folder / "localtime";
    timezone = folder / "timezone";
  }

  SystemChangeMonitorOptions optionsReadingTheFolder() const {
    SystemChangeMonitorOptions options;
    options.timeZoneFiles = {localtime.string(), timezone.string()};
    options.detectTimeZone = [localtime = localtime, timezone = timezone] {
      return SystemChangeMonitor::timeZoneIDFromFiles(localtime.string(), timezone.string());
    };
    options.watchClock = false;
    return options;
  }

  void TearDown() override { icu::TimeZone::adoptDefault(savedZone_.release()); }

  fs::path folder;
  fs::path localtime;
  fs::path timezone;

 private:
  std::unique_ptr<icu::TimeZone> savedZone_;
};

TEST_F(SystemChangeMonitorTest, ZoneFilesNameTheZone) {
  auto fromFiles = [&] {
    return SystemChangeMonitor::timeZoneIDFromFiles(localtime.string(), timezone.string());
  };
  EXPECT_EQ(fromFiles(), std::nullopt);

  test::writeFile(timezone, "America/New_York\n");
  EXPECT_EQ(fromFiles(), "America/New_York");

  // The link wins over the text file, also when relative or below posix/.
  fs::create_symlink("/usr/share/zoneinfo/Asia/Tokyo", localtime);
  EXPECT_EQ(fromFiles(), "Asia/Tokyo");
  relink(localtime, "../../usr/share/zoneinfo/posix/Europe/Paris");
  EXPECT_EQ(fromFiles(), "Europe/Paris");

  // Names that are no zone are ignored.
  relink(localtime, "/usr/share/zoneinfo/Nowhere/Special");
  EXPECT_EQ(fromFiles(), "America/New_York");
  test::writeFile(timezone, "  Not/AZone  \n");
  EXPECT_EQ(fromFiles(), std::nullopt);
  test::writeFile(timezone, "");
  EXPECT_EQ(fromFiles(), std::nullopt);
}

TEST_F(SystemChangeMonitorTest, CheckingAdoptsANewZoneAndTellsObservers) {
  int posts = 0;
  ObserverToken token = QBYNotificationCenter::defaultCenter().addObserver(
      QBYSystemTimeZoneDidChangeNotification, nullptr, [&](const Notification&) { ++posts; });

  SystemChangeMonitor monitor(optionsReadingTheFolder());
  EXPECT_FALSE(monitor.checkTimeZone());  // the files name no zone yet

  test::writeFile(timezone, "Europe/Berlin\n");
  EXPECT_FALSE(monitor.checkTimeZone());  // the zone in use already
  EXPECT_EQ(posts, 0);

  test::writeFile(timezone, "America/New_York\n");
  EXPECT_TRUE(monitor.checkTimeZone());
  EXPECT_EQ(posts, 1);
  EXPECT_EQ(defaultZoneID(), "America/New_York");

  EXPECT_FALSE(monitor.checkTimeZone());
  EXPECT_EQ(posts, 1);
}

TEST_F(SystemChangeMonitorTest, ReplacingTheLocaltimeLinkIsNoticed) {
  fs::create_symlink("/usr/share/zoneinfo/Europe/Berlin", localtime);
  bool changed = false;
  ObserverToken token = QBYNotificationCenter::defaultCenter().addObserver(
      QBYSystemTimeZoneDidChangeNotification, nullptr,
      [&](const Notification&) { changed = true; });
  SystemChangeMonitor monitor(optionsReadingTheFolder());

  relink(localtime, "/usr/share/zoneinfo/Asia/Tokyo");
  ASSERT_TRUE(MainQueue::runUntil([&] { return changed; }, 30.0));
  EXPECT_EQ(defaultZoneID(), "Asia/Tokyo");
}

TEST_F(SystemChangeMonitorTest, WatchingTheRealFilesAndClockStartsAndStops) {
  // Nothing changes here; the monitor must come and go cleanly (and without leaks).
  for (int i = 0; i < 3; ++i) {
    SystemChangeMonitor monitor;
    MainQueue::drain();
  }
  const auto host = SystemChangeMonitor::hostTimeZoneID();
  if (host) {
    std::unique_ptr<icu::TimeZone> zone(icu::TimeZone::createTimeZone(host->c_str()));
    EXPECT_NE(*zone, icu::TimeZone::getUnknown()) << *host;
  }
}

}  // namespace
}  // namespace qby
