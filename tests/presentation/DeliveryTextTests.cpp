// The row and detail texts of deliveries over a real store, with the clock, zone and locale
// pinned (German, so that the dates prove which relative mode each line uses).
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "DateTestSupport.h"
#include "MarkupCheck.h"
#include "model/Delivery.h"
#include "model/Detail.h"
#include "model/Service.h"
#include "model/Setting.h"
#include "presentation/QBYDateFormatter.h"
#include "presentation/text/QBYDeliveryDetailText.h"
#include "presentation/text/QBYDeliveryRowText.h"
#include "store/QBYDataStore.h"
#include "support/TestSupport.h"

namespace qby {
namespace {

using test::local;
using test::markupText;
using Kind = QBYDeliveryDetailText::LineKind;

constexpr const char* kNumber = "1Z999AA10123456784";

class DeliveryTextTest : public test::PinnedDateTest {
 protected:
  void SetUp() override {
    PinnedDateTest::SetUp();
    test::setDefaultLocale("de_DE");
    store_ = std::make_unique<QBYDataStore>(test::makeTempDir("store") / "Deliveries.sqlite");
    ASSERT_TRUE(store_->available());
  }

  void TearDown() override {
    store_.reset();
    PinnedDateTest::TearDown();
  }

  QBYManagedObjectContext& context() { return *store_->viewContext(); }
  QBYDateFormatter& formatter() { return QBYDateFormatter::sharedFormatter(); }

  // Pinned now is Tuesday 12 March 2024.
  std::string day(int offset) { return *formatter().stringFromDate(local(2024, 3, 12 + offset)); }

  std::shared_ptr<Service> service(const std::string& from, const std::string& noLabel) {
    auto service = context().insert<Service>("Service");
    service->setFrom(from);
    service->setName(std::string("UPS"));
    service->setShortName(std::string("UPS"));
    auto setting = context().insert<Setting>("Setting");
    setting->setType(std::string("no"));
    setting->setName(noLabel);
    service->addSetting(setting);
    return service;
  }

  std::shared_ptr<Delivery> makeDelivery(std::optional<std::string> name,
                                         std::optional<std::string> number = kNumber) {
    auto delivery = context().insert<Delivery>("Delivery");
    delivery->setUuid(std::string("0a1b2c3d-0000-4000-8000-000000000001"));
    delivery->setNo(std::move(number));
    delivery->setName(std::move(name));
    delivery->setFrom(std::string("www.ups.com"));
    delivery->setService(service("www.ups.com", "Waybill"));
    return delivery;
  }

  std::shared_ptr<Detail> addDetail(const std::shared_ptr<Delivery>& delivery, int index,
                                    std::optional<std::string> item) {
    auto detail = context().insert<Detail>("Detail");
    detail->setIndex(index);
    detail->setItemName(std::move(item));
    delivery->addDetail(detail);
    return detail;
  }

  QBYDeliveryDetailText detailText(const std::shared_ptr<Delivery>& delivery, bool plain = false,
                                   const QBYDetailTextColors& colors = {},
                                   std::optional<bool> updating = std::nullopt) {
    return QBYDeliveryDetailText::textForDelivery(delivery.get(), plain, formatter(), colors,
                                                  updating);
  }

  std::unique_ptr<QBYDataStore> store_;
};

std::string footerOf(const QBYDeliveryDetailText& text) {
  std::string footer;
  for (const auto& line : text.lines)
    if (line.kind == Kind::Footer) footer += line.text + "|";
  return footer;
}

// --- Row text ---

TEST_F(DeliveryTextTest, RowWithoutDetailIsBlankWithTheMessageAsStatus) {
  auto delivery = makeDelivery(std::string("Camera"));
  delivery->setMessage(std::string("Sign in <now> & retry"));
  const auto row = QBYDeliveryRowText::forDelivery(delivery.get(), nullptr, formatter(), 0);
  EXPECT_EQ(row.title, " ");
  EXPECT_EQ(row.deliver, " ");
  EXPECT_EQ(row.status, "Sign in <now> & retry");
  EXPECT_EQ(markupText(row.statusMarkup), row.status);
  EXPECT_TRUE(row.statusIsMessage);
  EXPECT_FALSE(row.package);

  delivery->setMessage(std::nullopt);
  EXPECT_EQ(QBYDeliveryRowText::forDelivery(delivery.get(), nullptr, formatter(), 0).status, " ");
  const auto none = QBYDeliveryRowText::forDelivery(nullptr, nullptr, formatter(), 2);
  EXPECT_EQ(none.title + none.status + none.deliver, "   ");
}

TEST_F(DeliveryTextTest, RowFillsTheTemplatesWithWeekAheadDatesAndBoldFlags) {
  auto delivery = makeDelivery(std::string("Camera"));
  auto detail = addDetail(delivery, 0, std::string("Camera body"));
  detail->setShippedText(std::string("Versandt %@"));
  detail->setShippedDateString(day(-1));
  detail->setDeliveredText(std::string("Zustellung %@"));
  detail->setDeliveredDateString(day(5));
  detail->setDeliveredBold(true);
  detail->setDateString(day(5));

  const auto row = QBYDeliveryRowText::forDelivery(delivery.get(), detail.get(), formatter(), 0);
  EXPECT_EQ(row.title, "Camera body");
  EXPECT_EQ(row.status, "Versandt gestern");
  EXPECT_EQ(row.statusMarkup, "Versandt <b>gestern</b>");
  EXPECT_EQ(row.deliver, "Zustellung Sonntag");
  EXPECT_EQ(row.deliverMarkup, "<b>Zustellung </b><b>Sonntag</b>");
  EXPECT_FALSE(row.statusIsMessage);
  EXPECT_EQ(row.daysNumber, "5");
  EXPECT_FALSE(row.package);

  // A week ahead is past the relative range: day and month.
  detail->setDeliveredDateString(day(7));
  EXPECT_EQ(QBYDeliveryRowText::forDelivery(delivery.get(), detail.get(), formatter(), 0).deliver,
            "Zustellung 19. März");
  // No shipped text: a single blank, never the bare date.
  detail->setShippedText(std::nullopt);
  EXPECT_EQ(QBYDeliveryRowText::forDelivery(delivery.get(), detail.get(), formatter(), 0).status,
            " ");
}

TEST_F(DeliveryTextTest, CompactRowNamesAnItemCalledByItsNumberByTheEmailTitle) {
  auto delivery = makeDelivery(std::nullopt);
  delivery->setHistoryTitle(std::string(kNumber));
  auto detail = addDetail(delivery, 0, "Parcel " + std::string(kNumber));

  const auto normal = QBYDeliveryRowText::forDelivery(delivery.get(), detail.get(), formatter(), 0);
  EXPECT_EQ(normal.title, "Parcel " + std::string(kNumber));
  const auto compact =
      QBYDeliveryRowText::forDelivery(delivery.get(), detail.get(), formatter(), 2);
  EXPECT_EQ(compact.title, delivery->titleForEmail());
  EXPECT_EQ(compact.title, "Shipment from UPS");

  // Without a number nothing is "contained": the item name stays.
  delivery->setNo(std::nullopt);
  EXPECT_EQ(QBYDeliveryRowText::forDelivery(delivery.get(), detail.get(), formatter(), 2).title,
            "Parcel " + std::string(kNumber));
}

TEST_F(DeliveryTextTest, RowOfSeveralPackagesShowsWhichOneWithStyleOpacity) {
  auto delivery = makeDelivery(std::string("Order"));
  addDetail(delivery, 0, std::string("Shoes"));
  auto second = addDetail(delivery, 1, std::string("Socks"));
  addDetail(delivery, 2, std::string("Laces"));
  delivery->setSelected(1);

  auto row = QBYDeliveryRowText::forDelivery(delivery.get(), second.get(), formatter(), 0);
  ASSERT_TRUE(row.package);
  EXPECT_EQ(row.package->number, 2);
  EXPECT_EQ(row.package->count, 3u);
  EXPECT_DOUBLE_EQ(row.package->opacity, 0.75);
  EXPECT_EQ(row.title, "Socks");

  delivery->setArchived(true);
  row = QBYDeliveryRowText::forDelivery(delivery.get(), second.get(), formatter(), 0);
  EXPECT_DOUBLE_EQ(row.package->opacity, 0.45);
  row = QBYDeliveryRowText::forDelivery(delivery.get(), second.get(), formatter(), 2);
  EXPECT_DOUBLE_EQ(row.package->opacity, 0.85);
}

TEST_F(DeliveryTextTest, RowEscapesHostileNamesAndRepairsBrokenBytes) {
  auto delivery = makeDelivery(std::nullopt);
  auto detail = addDetail(delivery, 0, std::string("<b>Tom & Jerry</b> \xC3("));
  detail->setShippedText(std::string("<span>%@"));
  const auto row = QBYDeliveryRowText::forDelivery(delivery.get(), detail.get(), formatter(), 0);
  EXPECT_EQ(row.title, "<b>Tom & Jerry</b> \uFFFD(");
  EXPECT_EQ(markupText(row.titleMarkup), row.title);
  EXPECT_EQ(markupText(row.statusMarkup), row.status);
  EXPECT_EQ(row.status, "<span>");
}

// --- Detail text ---

TEST_F(DeliveryTextTest, NoDeliveryGivesEmptyDetailText) {
  const auto text = QBYDeliveryDetailText::textForDelivery(nullptr, false, formatter());
  EXPECT_TRUE(text.lines.empty());
  EXPECT_EQ(text.text, "");
  EXPECT_EQ(text.markup, "");
}

TEST_F(DeliveryTextTest, DetailOfOnePackageHasNoDotsNoLinksAndEveryLineInItsMode) {
  auto delivery = makeDelivery(std::string("Camera"));
  delivery->setUpdatedTime(now().timeIntervalSince1970() - 300);
  auto detail = addDetail(delivery, 0, std::string("Camera: Lens cap"));
  detail->setShippedText(std::string("Versandt %@"));
  detail->setShippedDateString(day(-1));
  detail->setShippedBold(true);
  detail->setShippedExtra(std::string("Gescannt %@"));
  detail->setStatusDateString(day(-1));
  detail->setDeliveredText(std::string("Erwartet %@"));
  detail->setDeliveredDateString(day(2));
  detail->setDeliveredExtra(std::string("Erwartet %@"));  // same as the line: not repeated
  detail->setDateString(day(2));

  const auto text = detailText(delivery);
  // Shipped in mode 0 (day and month), its extra in mode 1 ("gestern"). The footer's words
  // come from the message catalogue (none in tests), the time ago from the locale.
  EXPECT_EQ(text.text,
            "Camera\nLens cap\n2 days\nVersandt 11. März\nGescannt gestern\nErwartet 14. März\n"
            "Refreshed vor 5 Minuten\nWaybill: 1Z999AA10123456784");
  EXPECT_EQ(text.markup.find("<a "), std::string::npos);
  EXPECT_EQ(text.text.find("●"), std::string::npos);
  EXPECT_EQ(markupText(text.markup), text.text);
  EXPECT_NE(text.markup.find("<b>Versandt </b><b>11. März</b>"), std::string::npos);
  for (const auto& line : text.lines) EXPECT_FALSE(line.link);
}

TEST_F(DeliveryTextTest, DetailRemovesTheNamePrefixOnlyFromLongerItemNames) {
  auto delivery = makeDelivery(std::string("  Camera "));
  addDetail(delivery, 0, std::string("Camera: X"));
  EXPECT_EQ(detailText(delivery).lines.at(1).text, "X");

  auto exact = makeDelivery(std::string("Camera"));
  addDetail(exact, 0, std::string("Camera: "));  // only two characters longer: kept
  EXPECT_EQ(detailText(exact).lines.at(1).text, "Camera: ");

  // One package named like the delivery: the item line says nothing new.
  auto same = makeDelivery(std::string("Camera"));
  addDetail(same, 0, std::string("Camera"));
  const auto text = detailText(same);
  EXPECT_EQ(text.lines.at(1).kind, Kind::Footer);
}

TEST_F(DeliveryTextTest, DetailOfSeveralPackagesDotsAndLinksEachAndColoursTheSelectedOne) {
  auto delivery = makeDelivery(std::string("Order"));
  addDetail(delivery, 0, std::string("Shoes"));
  addDetail(delivery, 1, std::nullopt);
  delivery->setSelected(1);
  QBYDetailTextColors colors;
  colors.badge = "#999999";
  colors.badgeSelected = "#0000ff";

  const auto text = detailText(delivery, false, colors);
  ASSERT_EQ(text.lines.at(1).kind, Kind::Item);
  EXPECT_EQ(text.lines.at(1).text, "Shoes");
  EXPECT_EQ(text.lines.at(1).link, "porvane://showpackage/0");
  EXPECT_EQ(text.lines.at(2).text, "Unknown Item");
  EXPECT_EQ(text.lines.at(2).link, "porvane://showpackage/1");
  EXPECT_NE(text.text.find("●○ Shoes\n○● Unknown Item\n"), std::string::npos) << text.text;
  EXPECT_NE(text.markup.find("<a href=\"porvane://showpackage/0\"><span foreground=\"#999999\">"
                             "●○</span> Shoes</a>"),
            std::string::npos)
      << text.markup;
  EXPECT_NE(text.markup.find("<span foreground=\"#0000ff\">○●</span> Unknown Item"),
            std::string::npos);
  EXPECT_EQ(markupText(text.markup), text.text);

  // Plain: no links and no selection colour.
  const auto plain = detailText(delivery, true, colors);
  EXPECT_EQ(plain.markup.find("<a "), std::string::npos);
  EXPECT_EQ(plain.markup.find("#0000ff"), std::string::npos);
  EXPECT_FALSE(plain.lines.at(2).link);
  EXPECT_EQ(plain.text, text.text);
}

TEST_F(DeliveryTextTest, ManyPackagesAreCountedNotDotted) {
  EXPECT_EQ(QBYDeliveryDetailText::packageDots(0, 3), "●○○");
  EXPECT_EQ(QBYDeliveryDetailText::packageDots(9, 10), "○○○○○○○○○●");
  EXPECT_EQ(QBYDeliveryDetailText::packageDots(3, 12), "4/12");
  EXPECT_EQ(QBYDeliveryDetailText::packageDots(5, 2), "6/2");
}

TEST_F(DeliveryTextTest, FooterSaysNeverUpdatedOrWhatTheUpdateIsDoing) {
  auto delivery = makeDelivery(std::string("Camera"));
  EXPECT_EQ(footerOf(detailText(delivery)), "Never updated|Waybill: 1Z999AA10123456784|");

  delivery->setUpdating(true);
  EXPECT_EQ(footerOf(detailText(delivery)), "Updating…|Waybill: 1Z999AA10123456784|");
  delivery->setMessage(std::string("Signing in"));
  EXPECT_EQ(footerOf(detailText(delivery)), "Signing in|Waybill: 1Z999AA10123456784|");
  // The caller knows better than the stored flag whether a run works on it.
  EXPECT_EQ(footerOf(detailText(delivery, false, {}, false)),
            "Never updated|Waybill: 1Z999AA10123456784|");
  // An archived delivery is not updated, whatever its flag says.
  delivery->setArchived(true);
  EXPECT_EQ(footerOf(detailText(delivery)), "Never updated|Waybill: 1Z999AA10123456784|");
}

TEST_F(DeliveryTextTest, WithoutNameTheNumberIsTheTitleAndNotRepeated) {
  auto delivery = makeDelivery(std::string("  "));
  const auto text = detailText(delivery);
  EXPECT_EQ(text.lines.front().text, kNumber);
  EXPECT_TRUE(text.lines.front().truncatesAtEnd);
  EXPECT_EQ(footerOf(text), "Never updated|");

  // No name and no number: the web page's site, not repeated as the extra line either.
  auto page = makeDelivery(std::nullopt, std::nullopt);
  page->setExtra(std::string("https://www.example.com/orders/1"));
  const auto pageText = detailText(page);
  EXPECT_EQ(pageText.lines.front().text, "example.com");
  EXPECT_EQ(footerOf(pageText), "Never updated|");

  auto unknown = makeDelivery(std::nullopt, std::nullopt);
  unknown->setExtra(std::string(" 90210\n"));
  const auto unknownText = detailText(unknown);
  EXPECT_EQ(unknownText.lines.front().text, "Unknown Item");
  EXPECT_EQ(footerOf(unknownText), "Never updated|Extra: 90210|");
  // A blank extra value gets no line at all.
  unknown->setExtra(std::string("  "));
  EXPECT_EQ(footerOf(detailText(unknown)), "Never updated|");
}

TEST_F(DeliveryTextTest, WebPageServiceHasNoRefreshLineAndNoFinalLineBreak) {
  auto delivery = makeDelivery(std::string("Lamp"), std::nullopt);
  delivery->setFrom(std::string("other"));
  delivery->setService(service("other", "Address"));
  auto detail = addDetail(delivery, 0, std::string("Lamp"));
  detail->setShippedText(std::string("Seite geändert"));
  const auto text = detailText(delivery);
  EXPECT_EQ(text.text, "Lamp\nSeite geändert");
  EXPECT_EQ(footerOf(text), "");
}

TEST_F(DeliveryTextTest, FailedPackageMarksTheFirstFooterLineUnlessPlain) {
  auto delivery = makeDelivery(std::string("Camera"));
  addDetail(delivery, 0, std::string("Lens"));
  addDetail(delivery, 1, std::string("Body"))->setIcon(std::string("error"));

  const auto text = detailText(delivery);
  EXPECT_NE(text.text.find("\n⚠ Never updated\nWaybill"), std::string::npos) << text.text;
  EXPECT_EQ(markupText(text.markup), text.text);
  const auto plain = detailText(delivery, true);
  EXPECT_EQ(plain.text.find("⚠"), std::string::npos);
}

TEST_F(DeliveryTextTest, DetailColoursTitleBodyAndFooterAndEscapesStoredTexts) {
  auto delivery = makeDelivery(std::string("<Gift> & \xFF"));
  auto detail = addDetail(delivery, 0, std::string("Box"));
  detail->setDeliveredText(std::string("</span>%@"));
  QBYDetailTextColors colors;
  colors.title = "red";
  colors.body = "green";
  colors.footer = "\"><b>";

  const auto text = detailText(delivery, false, colors);
  EXPECT_EQ(text.lines.front().text, "<Gift> & \uFFFD");
  EXPECT_EQ(text.markup.rfind("<span foreground=\"red\">&lt;Gift&gt; &amp; \uFFFD</span>\n", 0), 0u)
      << text.markup;
  EXPECT_NE(text.markup.find("<span foreground=\"green\">Box</span>"), std::string::npos);
  EXPECT_EQ(markupText(text.markup), text.text);
}

}  // namespace
}  // namespace qby
