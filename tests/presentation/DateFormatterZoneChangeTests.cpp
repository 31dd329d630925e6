// The date formatter when the system's zone changes under it: a zone the system-change monitor
// adopts is the zone the next date text is written in.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/QBYNotificationCenter.h"
#include "platform/SystemChangeMonitor.h"
#include "presentation/DateTestSupport.h"
#include "presentation/QBYDateFormatter.h"
#include "support/TestSupport.h"

namespace qby {
namespace {

namespace fs = std::filesystem;

using DateFormatterZoneChangeTest = test::PinnedDateTest;

TEST_F(DateFormatterZoneChangeTest, DatesFollowAZoneTheMonitorAdopts) {
  const fs::path timezone = test::makeTempDir("zone") / "timezone";
  SystemChangeMonitorOptions options;
  options.timeZoneFiles = {timezone.string()};
  options.detectTimeZone = [timezone] {
    return SystemChangeMonitor::timeZoneIDFromFiles("/nonexistent/localtime", timezone.string());
  };
  options.watchClock = false;
  int posts = 0;
  ObserverToken token = QBYNotificationCenter::defaultCenter().addObserver(
      QBYSystemTimeZoneDidChangeNotification, nullptr, [&](const Notification&) { ++posts; });

  QBYDateFormatter formatter;
  const Date halfPastMidnight = test::local(2024, 3, 12, 0, 30);  // Berlin
  ASSERT_EQ(formatter.stringFromDate(halfPastMidnight), "2024-03-12");

  SystemChangeMonitor monitor(options);
  test::writeFile(timezone, "America/New_York\n");
  const auto resets = formatter.resetCount();
  ASSERT_TRUE(monitor.checkTimeZone());
  EXPECT_EQ(posts, 1);
  EXPECT_EQ(formatter.resetCount(), resets + 1);
  EXPECT_EQ(formatter.stringFromDate(halfPastMidnight), "2024-03-11");
}

}  // namespace
}  // namespace qby
