#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <string>
#include <thread>

#include "platform/Date.h"
#include "platform/Format.h"
#include "platform/QBYError.h"
#include "platform/Value.h"

namespace qby {
namespace {

TEST(FormatTest, ObjectPlaceholderUsesEachArgumentsTextForm) {
  const std::optional<std::string> absent;
  const std::optional<std::string> present = "x";
  EXPECT_EQ(format("Error saving changes: %@ %@", std::string("disk full"), absent),
            "Error saving changes: disk full (null)");
  EXPECT_EQ(format("%@/%@", present, "literal"), "x/literal");
  EXPECT_EQ(format("%@", Value(Array{Value("a"), Value("b")})), "(\n    a,\n    b\n)");
  EXPECT_EQ(format("at %@", Date(1706702400.0)), "at 2024-01-31 12:00:00 +0000");
  EXPECT_EQ(format("%@", 2.5), "2.5");
  EXPECT_EQ(format("%@ %@", true, 42), "1 42");
  EXPECT_EQ(format("%@", static_cast<const char*>(nullptr)), "(null)");
}

TEST(FormatTest, ErrorsPrintTheirDescriptionAndAbsentErrorsPrintNull) {
  const QBYError error =
      QBYError::make("com.quillbay.datastore", 100, "Save failed", {{"path", Value("/tmp/x")}});
  EXPECT_EQ(format("Error fetching deliveries: %@, %@", error, Value(error.userInfo)),
            "Error fetching deliveries: Error Domain=com.quillbay.datastore Code=100 "
            "\"Save failed\" UserInfo={path=/tmp/x}, {\n    path = \"/tmp/x\";\n}");
  EXPECT_EQ(format("%@", std::optional<QBYError>()), "(null)");
  EXPECT_EQ(format("%@", std::optional<QBYError>(error)), error.description());
}

TEST(FormatTest, IntegerConversionsAndLengthModifiers) {
  EXPECT_EQ(format("%d|%i|%ld|%lld|%zd", -1, 2, -3L, 4LL, static_cast<std::ptrdiff_t>(-5)),
            "-1|2|-3|4|-5");
  EXPECT_EQ(format("%lu|%llu|%u|%zu", 1UL, 18446744073709551615ULL, 7U, std::size_t{9}),
            "1|18446744073709551615|7|9");
  EXPECT_EQ(format("%x %X %05d %-4d| %+d", 255, 255, 42, 7, 3), "ff FF 00042 7   | +3");
  EXPECT_EQ(format("%ld", Value(std::int64_t{-9000000000})), "-9000000000");
  EXPECT_EQ(format("%d", true), "1");
  EXPECT_EQ(format("%d", 2.9), "2");
}

TEST(FormatTest, RealConversions) {
  EXPECT_EQ(format("%.2f", 3.14159), "3.14");
  EXPECT_EQ(format("%f", 1.5), "1.500000");
  EXPECT_EQ(format("%.0f", 2.5), "2");
  EXPECT_EQ(format("%.1f km", 12), "12.0 km");
  EXPECT_EQ(format("%g", 0.0001), "0.0001");
  EXPECT_EQ(format("%.2f", Value(0.125)), "0.12");
  EXPECT_EQ(format("%8.3f|", -1.0), "  -1.000|");
}

TEST(FormatTest, PercentEscapesAndTextConversions) {
  EXPECT_EQ(format("100%% done"), "100% done");
  EXPECT_EQ(format("%s and %s", "this", std::string("that")), "this and that");
  EXPECT_EQ(format("%.3s", "abcdef"), "abc");
  EXPECT_EQ(format("[%5@][%-5@]", "ab", "ü"), "[   ab][ü    ]");
  // A text given where a number is expected prints as the text.
  EXPECT_EQ(format("%d items", "several"), "several items");
}

TEST(FormatTest, PositionalArgumentsMayReorder) {
  EXPECT_EQ(format("%2$@ before %1$@", "first", "second"), "second before first");
  EXPECT_EQ(format("%1$@ %1$@", "again"), "again again");
  EXPECT_EQ(format("%2$d/%1$.1f", 0.5, 3), "3/0.5");
  EXPECT_EQ(format("%3$@", "a", "b"), "(null)");
}

TEST(FormatTest, TooFewArgumentsPrintNullAndNeverReadBeyond) {
  EXPECT_EQ(format("%@ and %@", "one"), "one and (null)");
  EXPECT_EQ(format("%d %ld %.2f %s"), "(null) (null) (null) (null)");
  EXPECT_EQ(formatArgs("%@", {}), "(null)");
}

TEST(FormatTest, UnknownOrBrokenPlaceholdersStayAsWritten) {
  EXPECT_EQ(format("%k %n %p", 1, 2, 3), "%k %n %p");
  EXPECT_EQ(format("%*d", 5, 1), "%*d");
  EXPECT_EQ(format("ends with %"), "ends with %");
  EXPECT_EQ(format("%l"), "%l");
  EXPECT_EQ(format("%99999999999d", 1), "%99999999999d");
  EXPECT_EQ(format("no placeholders", 1), "no placeholders");
  // Unknown placeholders do not consume arguments.
  EXPECT_EQ(format("%q %@", "a"), "%q a");
}

TEST(FormatTest, HugeWidthsAndPrecisionsStayBounded) {
  EXPECT_EQ(format("%4096d", 1).size(), 4096u);
  EXPECT_EQ(format("%.4096f", 1.0).size(), 4098u);
  EXPECT_EQ(format("%5000d", 1), "%5000d");
}

TEST(DateTest, DescriptionIsUTCToTheSecond) {
  EXPECT_EQ(Date(0).description(), "1970-01-01 00:00:00 +0000");
  EXPECT_EQ(Date(951782400.0).description(), "2000-02-29 00:00:00 +0000");
  EXPECT_EQ(Date(-0.001).description(), "1969-12-31 23:59:59 +0000");
  EXPECT_EQ(Date(253402300799.0).description(), "9999-12-31 23:59:59 +0000");
  // No calendar text for times no calendar here can name.
  EXPECT_EQ(Date(1e300).description(), "1.0000000000000001e+300");
}

TEST(DateTest, NowFollowsTheRealClockUnlessOverridden) {
  const Date before = Date::now();
  EXPECT_GT(before.timeIntervalSince1970(), 1.6e9);  // after 2020
  {
    const ClockOverride fixed(Date(1000.5));
    EXPECT_EQ(Date::now(), Date(1000.5));
    EXPECT_DOUBLE_EQ(Date(1010.5).timeIntervalSinceNow(), 10.0);
  }
  EXPECT_GE(Date::now(), before);

  std::atomic<int> ticks{0};
  {
    const ClockOverride moving([&] { return Date(++ticks); });
    EXPECT_EQ(Date::now(), Date(1));
    EXPECT_EQ(Date::now(), Date(2));
  }
  EXPECT_GT(Date::now().timeIntervalSince1970(), 1.6e9);
}

TEST(DateTest, OverrideIsSeenFromOtherThreads) {
  const ClockOverride fixed(Date(42));
  Date seen;
  std::thread reader([&] { seen = Date::now(); });
  reader.join();
  EXPECT_EQ(seen, Date(42));
}

}  // namespace
}  // namespace qby
