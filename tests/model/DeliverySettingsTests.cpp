#include "model/QBYDeliverySettings.h"

#include <gtest/gtest.h>

#include "support/TestSupport.h"
#include "util/QBYRegions.h"

namespace qby {
namespace {

TEST(DeliverySettingsDictionary, NewValueHoldsOnlyArchived) {
  const QBYDeliverySettings settings;
  EXPECT_EQ(settings.selected, -1);
  const Dictionary dictionary = settings.dictionary();
  ASSERT_EQ(dictionary.size(), 1u);
  EXPECT_EQ(dictionary["archived"], Value(false));
}

TEST(DeliverySettingsDictionary, KeysComeInTheirFixedOrder) {
  QBYDeliverySettings settings;
  settings.date = "2024-05-01";
  settings.extra = "10115";
  settings.from = "www.dhl.de";
  settings.no = "00340434161094042557";
  settings.name = "Shoes";
  settings.uuid = "ABC";
  settings.selected = 2;
  settings.changedPassword = true;
  settings.password = "secret";
  settings.modified = 17;
  settings.detailsJSON = "{}";
  EXPECT_EQ(settings.dictionary().keys(),
            (std::vector<std::string>{"uuid", "name", "no", "from", "extra", "date", "archived",
                                      "selected", "changedPassword"}));
}

TEST(DeliverySettingsDictionary, ReadingWithoutSelectedGivesZero) {
  const auto settings = QBYDeliverySettings::settingsWithDictionary(Dictionary{{"no", "123"}});
  EXPECT_EQ(settings.selected, 0);
  EXPECT_EQ(settings.no, "123");
  EXPECT_FALSE(settings.name);
}

TEST(DeliverySettingsDictionary, ArchivedAndRemovedMeansDelete) {
  EXPECT_TRUE(
      QBYDeliverySettings::settingsWithDictionary(Dictionary{{"archived", true}, {"removed", true}})
          .shouldDelete);
  EXPECT_FALSE(QBYDeliverySettings::settingsWithDictionary(
                   Dictionary{{"archived", false}, {"removed", true}})
                   .shouldDelete);
}

TEST(DeliverySettingsDictionary, CarriedResultsNeedTheirJSON) {
  auto without = QBYDeliverySettings::settingsWithDictionary(
      Dictionary{{"updatedTime", 1000.0}, {"serviceUpdateVersion", 5}, {"detailsLanguage", "de"}});
  EXPECT_EQ(without.updatedTime, 0);
  EXPECT_EQ(without.serviceUpdateVersion, 0);
  EXPECT_FALSE(without.detailsLanguage);

  auto with = QBYDeliverySettings::settingsWithDictionary(Dictionary{
      {"detailsJSON", "{\"status\":2}"}, {"updatedTime", 1000.0}, {"serviceUpdateVersion", 5}});
  EXPECT_EQ(with.updatedTime, 1000.0);
  EXPECT_EQ(with.serviceUpdateVersion, 5);
}

TEST(DeliverySettingsDictionary, LinkTextsAreReadAsNumbersAndFlags) {
  // An opened link gives every value as text.
  auto settings = QBYDeliverySettings::settingsWithDictionary(
      Dictionary{{"archived", "1"}, {"selected", "3"}, {"changedPassword", "YES"}});
  EXPECT_TRUE(settings.archived);
  EXPECT_EQ(settings.selected, 3);
  EXPECT_TRUE(settings.changedPassword);
  settings = QBYDeliverySettings::settingsWithDictionary(Dictionary{{"archived", "0"}});
  EXPECT_FALSE(settings.archived);
}

TEST(DeliverySettingsRetiredKeys, MovedOnlyWhenAsked) {
  for (const char* old : {"www.poste.it/posta1", "www.poste.it/pacco1", "www.poste.it/maxi",
                          "www.poste.it/pacco", "www.poste.it/ems"}) {
    const Dictionary dictionary{{"from", old}};
    EXPECT_EQ(QBYDeliverySettings::settingsWithDictionary(dictionary, true).from,
              ServiceKey::PosteItaliane)
        << old;
    EXPECT_EQ(QBYDeliverySettings::settingsWithDictionary(dictionary, false).from, old) << old;
  }
  const Dictionary current{{"from", ServiceKey::PosteItaliane}};
  EXPECT_EQ(QBYDeliverySettings::settingsWithDictionary(current, true).from,
            ServiceKey::PosteItaliane);
  EXPECT_EQ(QBYDeliverySettings::currentServiceKey(std::string("www.tntpost.nl")),
            ServiceKey::PostNL);
  EXPECT_FALSE(QBYDeliverySettings::currentServiceKey(std::nullopt));
}

TEST(DeliverySettingsCarriedResults, TimeVersionAndLanguageDecide) {
  QBYDeliverySettings settings;
  settings.detailsJSON = R"({"status":2,"items":[]})";
  settings.updatedTime = 5000;
  settings.serviceUpdateVersion = 7;
  settings.detailsLanguage = "de";

  // A receiver without results takes them whatever its language.
  auto results = settings.detailsLaterThan(0, 7, std::string("en"));
  ASSERT_TRUE(results);
  EXPECT_EQ((*results)["status"], Value(2));
  // Results as new as the receiver's are not taken.
  EXPECT_FALSE(settings.detailsLaterThan(5000, 7, std::string("de")));
  // Other scripts, other language.
  EXPECT_FALSE(settings.detailsLaterThan(100, 8, std::string("de")));
  EXPECT_FALSE(settings.detailsLaterThan(100, 7, std::string("en")));
  EXPECT_TRUE(settings.detailsLaterThan(100, 0, std::string("de")));
  EXPECT_TRUE(settings.detailsLaterThan(100, 7, std::nullopt));

  settings.detailsJSON = "";
  EXPECT_FALSE(settings.detailsLaterThan(0, 0, std::nullopt));
}

TEST(DeliverySettingsCarriedResults, BrokenJSONIsLoggedAndIgnored) {
  test::LogCapture capture;
  EXPECT_FALSE(QBYDeliverySettings::dictionaryFromJSON(std::string("{\"items\": [")));
  ASSERT_EQ(capture.linesContaining("Error converting from JSON data: ").size(), 1u);
  EXPECT_FALSE(QBYDeliverySettings::dictionaryFromJSON(std::string("[1,2]")));
  EXPECT_EQ(capture.linesContaining("JSON data is not a dictionary: NSArray").size(), 1u);
  capture.clear();
  EXPECT_FALSE(QBYDeliverySettings::dictionaryFromJSON(std::nullopt));
  EXPECT_TRUE(capture.lines().empty());
}

TEST(DeliverySettingsText, SuggestionDescriptionStripsSchemeAndSlash) {
  QBYDeliverySettings settings;
  settings.extra = "https://shop.example.com/orders/42/";
  EXPECT_EQ(settings.suggestionDescription(), "shop.example.com/orders/42");
  settings.no = "123";
  EXPECT_EQ(settings.suggestionDescription(), "123");
  settings.displayName = "Parcel";
  EXPECT_EQ(settings.suggestionDescription(), "Parcel");
  settings.extra = "10115";
  settings.no.reset();
  settings.displayName.reset();
  EXPECT_FALSE(settings.suggestionDescription());
}

TEST(DeliverySettingsText, TitlesFallBack) {
  QBYDeliverySettings settings;
  EXPECT_EQ(settings.defaultTitle(), "Unknown Item");
  settings.no = "123";
  settings.name = "   ";
  EXPECT_EQ(settings.defaultTitle(), "123");
  settings.name = "Books";
  EXPECT_EQ(settings.defaultTitle(), "Books");
  settings.from = "www.usps.com";
  EXPECT_EQ(settings.suggestionTitle(), "www.usps.com");
  settings.serviceName = "USPS";
  EXPECT_EQ(settings.suggestionTitle(), "USPS");
}

TEST(DeliverySettingsEquality, PasswordCountsSkipSyncDoesNot) {
  QBYDeliverySettings a;
  a.uuid = "U";
  a.no = "1";
  QBYDeliverySettings b = a;
  b.skipSync = true;
  b.shouldPresent = 2;
  b.detailsJSON = "{}";
  EXPECT_EQ(a, b);
  b.password = "pw";
  EXPECT_NE(a, b);
  QBYDeliverySettings c = a;
  c.archived = true;
  EXPECT_NE(a, c);
  QBYDeliverySettings d = a;
  d.modified = 12.5;
  EXPECT_NE(a, d);
  // Absent and empty differ.
  QBYDeliverySettings e = a;
  e.extra = "";
  EXPECT_NE(a, e);
}

TEST(DeliverySettingsArchive, KeepsItsFieldsAndNeverThePassword) {
  QBYDeliverySettings settings;
  settings.uuid = "U";
  settings.name = "Name";
  settings.no = "N";
  settings.from = "www.usps.com";
  settings.extra = "E";
  settings.date = "2024-01-02";
  settings.modified = 123.25;
  settings.archived = true;
  settings.changedPassword = true;
  settings.itemCacheJSON = "[]";
  settings.password = "secret";
  settings.selected = 4;
  settings.detailsJSON = "{}";

  const Dictionary archive = settings.archivedDictionary();
  EXPECT_FALSE(archive.contains("password"));
  EXPECT_FALSE(archive.contains("detailsJSON"));
  // The archive survives a property list round trip, which is how it crosses processes.
  auto plist = Value(archive).toPlist(Value::PlistFormat::Binary);
  ASSERT_TRUE(plist);
  auto back = Value::fromPlist(*plist);
  ASSERT_TRUE(back && back->dictionaryPtr());
  const auto restored = QBYDeliverySettings::settingsWithArchivedDictionary(*back->dictionaryPtr());
  EXPECT_EQ(restored.uuid, "U");
  EXPECT_EQ(restored.date, "2024-01-02");
  EXPECT_EQ(restored.modified, 123.25);
  EXPECT_TRUE(restored.archived);
  EXPECT_TRUE(restored.changedPassword);
  EXPECT_EQ(restored.itemCacheJSON, "[]");
  EXPECT_EQ(restored.selected, -1);
  EXPECT_FALSE(restored.password);
}

TEST(DeliverySettingsText, DescriptionHidesThePassword) {
  QBYDeliverySettings settings;
  settings.password = "hunter2";
  settings.cloudKitData = Data{1, 2, 3};
  const std::string text = settings.description();
  EXPECT_EQ(text.find("hunter2"), std::string::npos);
  EXPECT_NE(text.find("••••••••"), std::string::npos);
  EXPECT_NE(text.find("<...>"), std::string::npos);
}

}  // namespace
}  // namespace qby
