// Texts that leave the program: the add link, the e-mail that shares a delivery, and the
// region table that names a service's country.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>

#include "ModelFixture.h"
#include "model/QBYAddLink.h"
#include "platform/Format.h"
#include "platform/QBYUserDefaults.h"
#include "util/QBYRegions.h"

namespace qby::test {
namespace {

constexpr const char* kRow =
    "<tr><td class=\"label\" style=\"padding:10px 0 0 0\">%@</td></tr>"
    "<tr><td class=\"data\" style=\"padding:0 0 5px 0\">%@</td></tr>";

class TextTest : public ModelTest {
 protected:
  void SetUp() override {
    ModelTest::SetUp();
    setenv("PORVANE_VENDOR_URL", "https://vendor.test", 1);
  }
  void TearDown() override {
    unsetenv("PORVANE_VENDOR_URL");
    unsetenv("PORVANE_RESOURCE_DIR");
    ModelTest::TearDown();
  }

  // A template that shows each placeholder's value between markers.
  void useMarkerTemplate() {
    const auto folder = makeTempDir("resources");
    writeFile(folder / "templates" / "Email.html",
              "T={TITLE}|S={SERVICE}|D={DETAILS}|V={VIEW}|A={ADD}|T2={TITLE}");
    setenv("PORVANE_RESOURCE_DIR", folder.c_str(), 1);
  }
};

TEST_F(TextTest, AddLinkEncodesEveryValue) {
  EXPECT_EQ(
      QBYAddLink("www.usps.com", "A&B c", std::nullopt, "x/y?z=1", " "),
      "https://vendor.test/sync/grab/?from=www.usps.com&name=A%26B%20c&no=&extra=x%2Fy%3Fz%3D1"
      "&date=");
  EXPECT_EQ(QBYAddLink(std::nullopt, std::nullopt, "9400", std::nullopt, "2021-03-04"),
            "https://vendor.test/sync/grab/?from=&name=&no=9400&extra=&date=2021-03-04");
}

// The web service is the user's sync server; a deployment's own address comes first. There is
// no built-in host: without either, or with an address that would go out in clear, there is no
// add link, and the shipped template's e-mail text leaves the offer out.
TEST_F(TextTest, AddLinkFollowsTheConfiguredServerAndIsLeftOutWithoutOne) {
  unsetenv("PORVANE_VENDOR_URL");
  auto& defaults = QBYUserDefaults::sharedDefaults();
  defaults.removeObjectForKey("QBYVendorServiceURL");
  defaults.removeObjectForKey("QBYSyncServerURL");
  EXPECT_EQ(QBYAddLink("www.ups.com", "Chair", "1Z99", std::nullopt, std::nullopt), std::nullopt);

  auto delivery = makeDelivery();
  delivery->setService(makeService("www.ups.com", "UPS"));
  delivery->setFrom("www.ups.com");
  delivery->setNo("1Z99");
  delivery->setHistoryTitle("Chair");
  delivery->setUrl("https://ups.example/t?n=1&x=2");
  auto body = delivery->messageForEmail();
  ASSERT_TRUE(body);
  EXPECT_EQ(body->find("/sync/grab/"), std::string::npos) << *body;
  EXPECT_EQ(body->find("add this shipment"), std::string::npos) << *body;
  EXPECT_EQ(body->find("{ADD}"), std::string::npos);
  EXPECT_EQ(body->find("quillbay"), std::string::npos);
  EXPECT_NE(body->find("<a href=\"https://ups.example/t?n=1&amp;x=2\">Open the tracking page</a>"),
            std::string::npos)
      << *body;
  delivery->setUrl(std::nullopt);
  body = delivery->messageForEmail();
  ASSERT_TRUE(body);
  EXPECT_EQ(body->find("class=\"actions\""), std::string::npos) << *body;

  // An address that breaks the https rule counts as none.
  defaults.setObject(Value("http://sync.example.org"), "QBYSyncServerURL");
  EXPECT_EQ(QBYAddLink("www.ups.com", "Chair", "1Z99", std::nullopt, std::nullopt), std::nullopt);
  defaults.setObject(Value("https://sync.example.org/"), "QBYSyncServerURL");
  EXPECT_EQ(QBYAddLink("www.ups.com", "Chair", "1Z99", std::nullopt, std::nullopt),
            "https://sync.example.org/sync/grab/?from=www.ups.com&name=Chair&no=1Z99&extra=&date=");
  body = delivery->messageForEmail();
  ASSERT_TRUE(body);
  EXPECT_NE(body->find("<a href=\"https://sync.example.org/sync/grab/?from=www.ups.com&amp;"),
            std::string::npos)
      << *body;
  defaults.setObject(Value("https://links.example.org"), "QBYVendorServiceURL");
  EXPECT_EQ(QBYAddLink(std::nullopt, std::nullopt, "9", std::nullopt, std::nullopt),
            "https://links.example.org/sync/grab/?from=&name=&no=9&extra=&date=");
}

TEST_F(TextTest, EmailSubject) {
  auto delivery = makeDelivery();
  delivery->setService(makeService("www.ups.com", "UPS"));
  delivery->setNo("1Z99");
  delivery->setHistoryTitle("1Z99");
  EXPECT_EQ(delivery->titleForEmail(), "Shipment from UPS");
  delivery->setHistoryTitle("A very long title of a shipment that goes on");
  EXPECT_EQ(delivery->titleForEmail(), "A very long title of a shipment…");
  delivery->setHistoryTitle("Chair");
  EXPECT_EQ(delivery->titleForEmail(), "Chair");
}

TEST_F(TextTest, EmailBodyFillsTheTemplate) {
  useMarkerTemplate();
  auto service = makeService("www.ups.com", "UPS");
  service->setName("United Parcel Service");
  addSetting(service, "no", "Tracking Number");
  addSetting(service, "extra", "Postcode");
  auto delivery = makeDelivery();
  delivery->setService(service);
  delivery->setFrom("www.ups.com");
  delivery->setName("Gift <b>");
  delivery->setNo("1Z99");
  delivery->setExtra("10115");
  delivery->setDate("2021-03-04");
  delivery->setUrl("https://ups.example/t?n=1&x=2");
  delivery->setHistoryTitle("1Z99");

  const std::string rows = format(kRow, "Item Name", "Gift &lt;b&gt;") +
                           format(kRow, "Tracking Number", "1Z99") +
                           format(kRow, "From", "United Parcel Service") +
                           format(kRow, "Postcode", "10115") + format(kRow, "Date", "March 4");
  const std::string expected =
      "T=Shipment from UPS|S=UPS|D=" + rows +
      "|V=<a href=\"https://ups.example/t?n=1&amp;x=2\">open the tracking page</a> or "
      "|A=https://vendor.test/sync/grab/?from=www.ups.com&amp;name=Gift%20%3Cb%3E&amp;no=1Z99"
      "&amp;extra=10115&amp;date=2021-03-04|T2=Shipment from UPS";
  EXPECT_EQ(delivery->messageForEmail(), expected);
}

TEST_F(TextTest, EmailBodyLeavesOutBlankRows) {
  useMarkerTemplate();
  auto delivery = makeDelivery();
  delivery->setFrom("other");
  delivery->setName("  ");
  delivery->setExtra("https://www.shop.example/o/1");
  delivery->setDate("not a day");
  delivery->setHistoryTitle("Order");
  const std::string expected =
      "T=Order|S=|D=" + format(kRow, "Extra", "www.shop.example") +
      "|V=|A=https://vendor.test/sync/grab/?from=other&amp;name=%20%20&amp;no=&amp;extra="
      "https:%2F%2Fwww.shop.example%2Fo%2F1&amp;date=not%20a%20day|T2=Order";
  EXPECT_EQ(delivery->messageForEmail(), expected);
}

TEST_F(TextTest, ShippedTemplateHasNoPlaceholdersLeft) {
  auto delivery = makeDelivery();
  delivery->setService(makeService("www.ups.com", "UPS"));
  delivery->setName("Chair");
  delivery->setHistoryTitle("Chair");
  auto body = delivery->messageForEmail();
  ASSERT_TRUE(body) << "the Email template ships with the library";
  EXPECT_EQ(body->find("{TITLE}"), std::string::npos);
  EXPECT_EQ(body->find("{ADD}"), std::string::npos);
  EXPECT_EQ(body->find("{VIEW}"), std::string::npos);
  EXPECT_NE(body->find("<h1>Chair</h1>"), std::string::npos);
  EXPECT_NE(body->find("https://vendor.test/sync/grab/?from="), std::string::npos);
}

TEST(RegionTable, HasFortyDistinctKeysThatOrderLinksCanReach) {
  const auto keys = serviceKeysWithRegion();
  EXPECT_EQ(keys.size(), 40u);
  EXPECT_EQ(std::set<std::string_view>(keys.begin(), keys.end()).size(), 40u);
  EXPECT_EQ(regionForServiceKey(ServiceKey::AmazonOrderLink), std::nullopt);
  EXPECT_EQ(regionForServiceKey("other"), std::nullopt);
  EXPECT_EQ(regionForServiceKey(""), std::nullopt);
  EXPECT_EQ(regionForServiceKey(ServiceKey::AppleHongKong), "Hong Kong");
  EXPECT_EQ(regionForServiceKey(ServiceKey::PostNL), "Netherlands");
  EXPECT_EQ(regionForServiceKey("WWW.USPS.COM"), std::nullopt) << "keys match exactly";
  // Every national Amazon shop must be reachable from an order link's host.
  for (const char* shop :
       {ServiceKey::AmazonUS, ServiceKey::AmazonCanada, ServiceKey::AmazonUK,
        ServiceKey::AmazonJapan, ServiceKey::AmazonGermany, ServiceKey::AmazonAustria,
        ServiceKey::AmazonSpain, ServiceKey::AmazonFrance, ServiceKey::AmazonIndia,
        ServiceKey::AmazonItaly}) {
    EXPECT_TRUE(std::string_view(shop).starts_with("www.amazon.")) << shop;
    EXPECT_TRUE(regionForServiceKey(shop)) << shop;
  }
}

}  // namespace
}  // namespace qby::test
