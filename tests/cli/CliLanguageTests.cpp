// The tool for a German user: the library's texts from the German catalog and dates as a
// German desktop says them (relative days, weekdays, "vor 5 Minuten"), and the panel status
// in German. Runs porvane under LANG=de_DE.UTF-8 and LANGUAGE=de with the catalog and locale
// the build makes; the deliveries are written into the test's own store beforehand.
#include <gtest/gtest.h>
#include <unicode/timezone.h>

#include <ctime>
#include <map>
#include <string>

#include "CliProcess.h"
#include "model/Delivery.h"
#include "model/Detail.h"
#include "platform/Date.h"
#include "platform/Value.h"
#include "presentation/QBYDateFormatter.h"
#include "store/QBYDataStore.h"
#include "store/core/QBYManagedObjectContext.h"
#include "support/TestSupport.h"

namespace porvane::test {
namespace {

const std::map<std::string, std::string>& german() {
  static const std::map<std::string, std::string> environment = {
      {"LANG", "de_DE.UTF-8"},
      {"LANGUAGE", "de"},
      {"LC_ALL", ""},
      {"LOCPATH", PORVANE_TEST_LOCPATH},
      {"PORVANE_LOCALE_DIR", PORVANE_LOCALE_BUILD_DIR},
      {"TZ", "UTC"},
  };
  return environment;
}

// The German weekday of the day `offset` days from today (UTC).
std::string germanWeekday(int offset) {
  static const char* const names[] = {"Sonntag",    "Montag",  "Dienstag", "Mittwoch",
                                      "Donnerstag", "Freitag", "Samstag"};
  const std::time_t when = std::time(nullptr) + offset * 86400;
  std::tm day{};
  gmtime_r(&when, &day);
  return names[day.tm_wday];
}

class CliGermanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    icu::TimeZone::adoptDefault(icu::TimeZone::createTimeZone("UTC"));
    qby::QBYDateFormatter::sharedFormatter().reset();
  }

  // A delivery whose one package is expected `offset` days from today, last updated
  // `updatedAgo` seconds ago.
  void addDelivery(const std::string& uuid, const std::string& name, int offset,
                   double updatedAgo) {
    qby::QBYDataStore store;
    ASSERT_TRUE(store.available());
    auto& context = *store.viewContext();
    auto delivery = context.insert<qby::Delivery>("Delivery");
    delivery->setUuid(uuid);
    delivery->setName(name);
    delivery->setFrom(std::string("www.ups.com"));
    delivery->setNo("1Z999AA1012345678" + std::to_string(offset));
    delivery->setModified(qby::Date::now().timeIntervalSince1970());
    delivery->setUpdatedTime(qby::Date::now().timeIntervalSince1970() - updatedAgo);
    auto detail = context.insert<qby::Detail>("Detail");
    detail->setIndex(0);
    detail->setItemName(name);
    detail->setDateString(day(offset));
    delivery->addDetail(detail);
    delivery->updateDeliveryDateSortIndex();
    ASSERT_TRUE(context.save());
  }

  static std::string day(int offset) {
    return *qby::QBYDateFormatter::sharedFormatter().stringFromDate(
        qby::Date::now().addingTimeInterval(offset * 86400.0));
  }
};

TEST_F(CliGermanTest, TheListSpeaksGermanDayCountsAndUpdateTimes) {
  addDelivery("A0000001-0000-4000-8000-000000000001", "Winterstiefel", 3, 300);
  addDelivery("A0000002-0000-4000-8000-000000000002", "Kamera", 1, 3600);
  const RunResult result = runCli({"list"}, "", german());
  ASSERT_EQ(result.exitCode, 0) << result.err;
  EXPECT_NE(result.out.find("3 Tage"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("1 Tag "), std::string::npos) << result.out;
  // The newest update of the list, as the status line under the list says it.
  EXPECT_NE(result.out.find("Aktualisiert vor 5 Minuten"), std::string::npos) << result.out;
  EXPECT_EQ(result.out.find("days"), std::string::npos) << result.out;
  EXPECT_EQ(result.out.find("Updated"), std::string::npos) << result.out;
}

TEST_F(CliGermanTest, AListNeverUpdatedSaysSoInGerman) {
  qby::QBYDataStore store;
  ASSERT_TRUE(store.available());
  auto delivery = store.viewContext()->insert<qby::Delivery>("Delivery");
  delivery->setUuid(std::string("B0000001-0000-4000-8000-000000000001"));
  delivery->setFrom(std::string("www.ups.com"));
  delivery->setNo(std::string("1Z999AA10123456784"));
  ASSERT_TRUE(store.viewContext()->save());
  const RunResult result = runCli({"list"}, "", german());
  ASSERT_EQ(result.exitCode, 0) << result.err;
  EXPECT_NE(result.out.find("Nie aktualisiert"), std::string::npos) << result.out;
}

TEST_F(CliGermanTest, ThePanelStatusNamesTheNextDayInGerman) {
  addDelivery("C0000001-0000-4000-8000-000000000001", "Winterstiefel", 3, 60);
  addDelivery("C0000002-0000-4000-8000-000000000002", "Kamera", 4, 60);
  const RunResult result = runCli({"status", "--json"}, "", german());
  ASSERT_EQ(result.exitCode, 0) << result.err;
  // One line, as panels read it.
  ASSERT_FALSE(result.out.empty());
  EXPECT_EQ(result.out.find('\n'), result.out.size() - 1) << result.out;
  const auto json = qby::Value::fromJSON(result.out);
  ASSERT_TRUE(json) << result.out;
  EXPECT_EQ((*json)["count"], qby::Value(2));
  EXPECT_EQ((*json)["next"]["title"], qby::Value("Winterstiefel"));
  const std::string weekday = germanWeekday(3);
  EXPECT_EQ((*json)["next"]["dateText"].asString(), weekday);
  EXPECT_EQ((*json)["text"].asString(), "2 · " + weekday);
  EXPECT_EQ((*json)["tooltip"].asString(),
            "Aktive Sendungen: 2\nAls Nächstes: Winterstiefel, " + weekday);
}

TEST_F(CliGermanTest, RelativeDayWordsComeFromTheGermanLocale) {
  addDelivery("D0000001-0000-4000-8000-000000000001", "Kamera", 1, 60);
  const RunResult tomorrow = runCli({"status", "--json"}, "", german());
  ASSERT_EQ(tomorrow.exitCode, 0) << tomorrow.err;
  const auto json = qby::Value::fromJSON(tomorrow.out);
  ASSERT_TRUE(json) << tomorrow.out;
  // ICU's German word, written small as it stands in a sentence.
  EXPECT_EQ((*json)["next"]["dateText"].asString(), "morgen");
}

TEST_F(CliGermanTest, ValidationMessagesNameTheFieldInGerman) {
  const RunResult result =
      runCli({"add", "3SABCD1234567", "--service", "www.postnl.nl"}, "", german());
  EXPECT_EQ(result.exitCode, 65);
  EXPECT_EQ(result.err, "porvane add: Postleitzahl ist erforderlich.\n");
}

TEST_F(CliGermanTest, AFileThatIsNoDeliveryDocumentIsRefusedInGerman) {
  const auto file = qby::test::writeFile(qby::test::makeTempDir("files") / "notiz.porvane",
                                         "Einkaufsliste: Milch, Brot");
  const RunResult result = runCli({"import", file.string()}, "", german());
  EXPECT_EQ(result.exitCode, 65);
  EXPECT_EQ(result.err,
            "porvane import: " + file.string() + ": Die Datei hat nicht das richtige Format.\n");
  const auto empty = qby::test::writeFile(file.parent_path() / "leer.porvane", "");
  EXPECT_EQ(runCli({"import", empty.string()}, "", german()).err,
            "porvane import: " + empty.string() + ": Die Datei ist leer.\n");
}

}  // namespace
}  // namespace porvane::test
