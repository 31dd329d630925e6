// The smaller records: sync fields and cloud system fields, services and their settings,
// locations, the stored search text.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ModelFixture.h"
#include "model/DeliveryText.h"
#include "model/Location.h"
#include "model/QBYCloudKitData.h"

namespace qby::test {
namespace {

using ::testing::ElementsAre;

using RecordTest = ModelTest;

TEST_F(RecordTest, ModifiedSince) {
  auto delivery = makeDelivery();
  EXPECT_FALSE(delivery->modifiedSince(Date(100))) << "never modified";
  delivery->setModified(200);
  EXPECT_TRUE(delivery->modifiedSince(Date(100)));
  EXPECT_FALSE(delivery->modifiedSince(Date(200)));
  EXPECT_FALSE(delivery->modifiedSince(std::nullopt));
  EXPECT_FALSE(delivery->modifiedSince(Date(0.05))) << "a date at 1970 means none";
  EXPECT_TRUE(delivery->modifiedSince(Date(0.1)));
}

TEST_F(RecordTest, CloudKitTags) {
  auto delivery = makeDelivery();
  EXPECT_FALSE(delivery->matchesCloudKitTag(std::nullopt)) << "no tag matches nothing";
  EXPECT_FALSE(delivery->matchesCloudKitTag("t1"));
  delivery->setCloudKitTag("t1");
  EXPECT_TRUE(delivery->matchesCloudKitTag("t1"));
  EXPECT_FALSE(delivery->matchesCloudKitTag("t2"));

  delivery->setModified(500);
  EXPECT_TRUE(delivery->shouldIgnoreUpdateWithCloudKitTag("t1", Date(900)));
  EXPECT_TRUE(delivery->shouldIgnoreUpdateWithCloudKitTag("t2", Date(400)));
  EXPECT_FALSE(delivery->shouldIgnoreUpdateWithCloudKitTag("t2", Date(600)));
}

TEST_F(RecordTest, UpdateCloudKitData) {
  auto delivery = makeDelivery();
  delivery->updateCloudKitData(std::nullopt, "t0", true, context_.get());
  EXPECT_EQ(delivery->cloudKitTag(), "t0");
  EXPECT_EQ(delivery->cloudKitData(), nullptr) << "nothing to clear, nothing inserted";

  delivery->updateCloudKitData(Data{1, 2, 3}, "t1", false, context_.get());
  auto fields = delivery->cloudKitData();
  ASSERT_NE(fields, nullptr);
  EXPECT_EQ(fields->data(), (Data{1, 2, 3}));
  EXPECT_EQ(fields->object(), delivery);

  delivery->updateCloudKitData(Data{4}, "t2", false, context_.get());
  EXPECT_EQ(delivery->cloudKitData(), fields) << "the record is reused";
  EXPECT_EQ(fields->data(), (Data{4}));

  delivery->updateCloudKitData(std::nullopt, std::nullopt, false, context_.get());
  EXPECT_EQ(delivery->cloudKitTag(), std::nullopt);
  EXPECT_EQ(fields->data(), (Data{4})) << "kept without allowDelete";

  delivery->updateCloudKitData(std::nullopt, "t3", true, context_.get());
  EXPECT_EQ(delivery->cloudKitData(), fields);
  EXPECT_EQ(fields->data(), std::nullopt);
}

TEST_F(RecordTest, SyncObjectQueryString) {
  auto delivery = makeDelivery();
  EXPECT_EQ(delivery->QBYSyncObject::queryString(), "&uuid=");
  delivery->setUuid("a/b");
  EXPECT_EQ(delivery->QBYSyncObject::queryString(), "&uuid=a%2Fb");
}

TEST_F(RecordTest, ServiceSettings) {
  auto service = makeService("www.usps.com", "USPS");
  EXPECT_EQ(service->settingsCount(), 0u);
  EXPECT_FALSE(service->hasSettingOfType("no"));
  EXPECT_EQ(service->localizedNameForSettingOfType("extra"), "Extra");
  EXPECT_EQ(service->localizedNameForSettingOfType(""), "");

  auto number = addSetting(service, "no", "Tracking Number");
  addSetting(service, "extra", "Postcode");
  EXPECT_EQ(service->settingsCount(), 4u);
  EXPECT_TRUE(service->hasSettingOfType("no"));
  EXPECT_EQ(service->settingOfType("no"), number);
  EXPECT_EQ(service->settingOfType("password"), nullptr);
  EXPECT_EQ(service->localizedNameForSettingOfType("extra"), "Postcode");
  EXPECT_EQ(service->localizedNameForSettingOfType("date"), "Date");
  EXPECT_EQ(number->service(), service);
}

TEST_F(RecordTest, ServiceNames) {
  auto service = makeService("www.usps.com", "USPS");
  EXPECT_EQ(service->localizedName(), "USPS");
  service->setName("United States Postal Service");
  EXPECT_EQ(service->localizedName(), "United States Postal Service");
  EXPECT_FALSE(service->isOther());
  service->setFrom("other");
  EXPECT_TRUE(service->isOther());
  EXPECT_EQ(Service::regionNameForDomain(std::string("www.royalmail.com")), "UK");
  EXPECT_EQ(Service::regionNameForDomain(std::nullopt), std::nullopt);
}

TEST_F(RecordTest, LocationDatesAndExpiry) {
  auto location = context_->insert<Location>("Location");
  EXPECT_EQ(location->date(), Date(kNow));
  EXPECT_FALSE(location->isExpired());

  location->setDate(daysFromNow(-29));
  EXPECT_FALSE(location->isExpired());
  location->setDate(daysFromNow(-31));
  EXPECT_TRUE(location->isExpired());
  location->setMoved(true);
  EXPECT_FALSE(location->isExpired()) << "moved locations never expire";

  location->setMoved(false);
  location->setErrorMessage("Not found");
  location->setDate(daysFromNow(-8));
  EXPECT_TRUE(location->isExpired());
  location->setDate(daysFromNow(-6));
  EXPECT_FALSE(location->isExpired());
}

TEST_F(RecordTest, LocationAttributes) {
  auto location = context_->insert<Location>("Location");
  location->setAttributes(Dictionary{{"errorMessage", "x"},
                                     {"latitude", 52.5},
                                     {"name", "Berlin"},
                                     {"moved", true},
                                     {"region", "DE"},
                                     {"longitude", 13.4}});
  EXPECT_EQ(location->coordinate(), std::make_pair(52.5, 13.4));
  EXPECT_THAT(location->attributes().keys(),
              ElementsAre("name", "region", "moved", "latitude", "longitude", "errorMessage"));
  EXPECT_EQ(location->date(), std::nullopt) << "a missing key clears its field";
  location->setAttributes(Dictionary{{"name", "Paris"}, {"date", Date(kNow)}, {"radius", 500}});
  EXPECT_THAT(location->attributes().keys(), ElementsAre("name", "radius", "date"));
  EXPECT_EQ(location->radius(), 500);
  EXPECT_FALSE(location->moved());
}

TEST_F(RecordTest, DeliveryTextKeepsAFoldedCopy) {
  auto delivery = makeDelivery();
  auto text = context_->insert<DeliveryText>("DeliveryText");
  text->setDelivery(delivery);
  text->setText("Café ZÜRICH Straße");
  EXPECT_EQ(text->text(), "Café ZÜRICH Straße");
  ASSERT_TRUE(text->foldedText());
  EXPECT_EQ(text->foldedText()->substr(0, 11), "cafe zurich");
  EXPECT_EQ(delivery->searchText(), text);
  text->setText(std::nullopt);
  EXPECT_EQ(text->foldedText(), std::nullopt);
}

}  // namespace
}  // namespace qby::test
