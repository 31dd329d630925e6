// Services by use and typed words, and the add field's suggestion sections, against a real
// store holding a few services and deliveries.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "FinderTestSupport.h"
#include "finder/QBYDeliveriesFinder.h"
#include "model/Delivery.h"
#include "model/Service.h"
#include "platform/QBYUserDefaults.h"
#include "store/QBYDataStore.h"
#include "support/TestSupport.h"

namespace qby::test {
namespace {

using Strings = std::vector<std::string>;

class StaticPasteboard : public QBYPasteboard {
 public:
  explicit StaticPasteboard(QBYPasteboardContent content) : content_(std::move(content)) {}
  QBYPasteboardContent content() const override { return content_; }

 private:
  QBYPasteboardContent content_;
};

class SuggestionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    useRecognitionScripts();
    store = std::make_unique<QBYDataStore>(makeTempDir("finder") / "Porvane.sqlite");
    ASSERT_TRUE(store->available());
    auto* context = store->viewContext().get();
    service("www.ups.com", "UPS", "01", 0, "united parcel brown");
    service("www.fedex.com", "FedEx", "02", 3, "federal express");
    service("www.dhl.de", "DHL Paket", "03", 0, "deutsche post");
    service("www.canadapost.ca", "Canada Post", "04", -1, "");
    service("www.purolator.com", "Purolator", "05", 1, "");
    service("other", "Web Page", "06", 0, "");
    ASSERT_TRUE(context->save());
    finder = std::make_unique<QBYDeliveriesFinder>(store.get());
  }

  void service(const char* key, const char* name, const char* sort, int useCount,
               const char* keywords) {
    auto record = store->viewContext()->insert<Service>("Service");
    record->setFrom(std::string(key));
    record->setName(std::string(name));
    record->setSort(std::string(sort));
    record->setUseCount(useCount);
    record->setKeywords(std::string(keywords));
  }

  static Strings titles(const QBYSuggestions& suggestions) { return suggestions.titles; }
  static const std::vector<QBYDeliverySettings>* section(const QBYSuggestions& suggestions,
                                                         const std::string& title) {
    for (std::size_t i = 0; i < suggestions.titles.size(); ++i)
      if (suggestions.titles[i] == title) return &suggestions.items[i];
    return nullptr;
  }

  std::unique_ptr<QBYDataStore> store;
  std::unique_ptr<QBYDeliveriesFinder> finder;
};

TEST_F(SuggestionTest, KeysSortByUseAndPositionWithoutHiddenOrUnknownServices) {
  // Scores: ups 0 + 4, fedex 3 + 3, canadapost hidden, nowhere.example unknown.
  EXPECT_EQ(finder->domainsSortedByUse(std::optional(
                Strings{"www.ups.com", "www.fedex.com", "www.canadapost.ca", "nowhere.example"})),
            (Strings{"www.fedex.com", "www.ups.com"}));
  EXPECT_EQ(finder->domainsSortedByUse(std::optional(Strings{"nowhere.example"})),
            Strings{"nowhere.example"});
  EXPECT_FALSE(finder->domainsSortedByUse(std::optional<Strings>()));
  EXPECT_EQ(finder->domainsSortedByUse(Strings{"www.ups.com"},
                                       Strings{"www.ups.com", "www.dhl.de", "www.fedex.com"}, 1),
            (Strings{"www.ups.com", "www.fedex.com"}));
  // A 12-digit FedEx number: best FedEx, then the plausible services that exist.
  EXPECT_EQ(finder->domainsFromText(std::string("986578788855")),
            (Strings{"www.fedex.com", "www.dhl.de", "www.purolator.com"}));
  EXPECT_EQ(finder->bestDomainFromText(std::string("1Z999AA10123456784")), "www.ups.com");
}

TEST_F(SuggestionTest, ServicesMatchAllTypedWordsInNameKeyOrKeywords) {
  auto names = [&](const std::string& text) {
    Strings out;
    auto* context = finder->objectContext();
    auto found = finder->servicesMatchingSearch(text);
    context->performAndWait([&] {
      for (const auto& service : *found) out.push_back(*service->from());
    });
    return out;
  };
  EXPECT_EQ(names(" United Parcel\n"), Strings{"www.ups.com"});
  EXPECT_EQ(names(""), Strings{});  // no service contains the empty text
  EXPECT_EQ(names("FEDEX"), Strings{"www.fedex.com"});
  EXPECT_EQ(names("post"), (Strings{"www.dhl.de"}));  // Canada Post is hidden among several
  EXPECT_EQ(names("canada"), Strings{"www.canadapost.ca"});
  EXPECT_FALSE(finder->servicesMatchingSearch(std::nullopt));
}

TEST_F(SuggestionTest, ClipboardNumberIsMaskedWithAHairSpaceAndBullets) {
  QBYPasteboardContent content;
  content.plainText = "986578788855";
  finder->setPasteboard(std::make_shared<StaticPasteboard>(content));
  const auto suggestions = finder->suggestionsForNaturalString(std::nullopt, {}, true);
  const auto* clipboard = section(suggestions, "From Your Clipboard");
  ASSERT_TRUE(clipboard);
  ASSERT_FALSE(clipboard->empty());
  EXPECT_EQ(clipboard->front().from, "www.fedex.com");
  EXPECT_EQ(clipboard->front().no, "986578788855");
  EXPECT_EQ(clipboard->front().displayName,
            "9865\u200A\u2022\u2022\u2022\u2022\u2022\u2022\u2022\u2022");
  EXPECT_EQ(clipboard->front().serviceName, "FedEx");
  // Favourites: use count above 0, in list order.
  const auto* favorites = section(suggestions, "Favorites");
  ASSERT_TRUE(favorites);
  ASSERT_EQ(favorites->size(), 2u);
  EXPECT_EQ((*favorites)[0].from, "www.fedex.com");
  EXPECT_EQ((*favorites)[1].from, "www.purolator.com");
}

TEST_F(SuggestionTest, ServiceWordsBecomeTheNameOnlyWhenNotPartOfTheService) {
  auto suggestions = finder->suggestionsForNaturalString(std::string("brown"), {}, false);
  const auto* services = section(suggestions, "Services");
  ASSERT_TRUE(services);
  ASSERT_EQ(services->size(), 1u);
  EXPECT_EQ(services->front().from, "www.ups.com");
  EXPECT_EQ(services->front().name, "brown");
  EXPECT_FALSE(services->front().no);
  EXPECT_EQ(suggestions.titles.back(), "More");

  suggestions = finder->suggestionsForNaturalString(std::string("ups"), {}, false);
  services = section(suggestions, "Services");
  ASSERT_TRUE(services);
  EXPECT_FALSE(services->front().name);
}

TEST_F(SuggestionTest, TypedNumberWithServiceWordKeepsOnlyThatService) {
  const auto suggestions =
      finder->suggestionsForNaturalString(std::string("purolator 986578788855"), {}, false);
  const auto* best = section(suggestions, "Best guesses");
  ASSERT_TRUE(best);
  ASSERT_EQ(best->size(), 1u);
  EXPECT_EQ(best->front().from, "www.purolator.com");
  EXPECT_EQ(best->front().no, "986578788855");
  EXPECT_FALSE(section(suggestions, "Services"));
  const auto& more = suggestions.items.back().front();
  EXPECT_EQ(more.name, "purolator");
  EXPECT_EQ(more.no, "986578788855");
}

TEST_F(SuggestionTest, UnknownAddressesAndUnknownWordsFallBackToTheWebPageService) {
  auto suggestions =
      finder->suggestionsForNaturalString(std::string("https://shop.example/o/1"), {}, false);
  const auto* best = section(suggestions, "Best guesses");
  ASSERT_TRUE(best);
  EXPECT_EQ(best->front().from, "other");
  EXPECT_EQ(best->front().extra, "https://shop.example/o/1");
  EXPECT_FALSE(section(suggestions, "Services"));  // an empty remainder matches no service

  suggestions = finder->suggestionsForNaturalString(std::string("xyzzy"), {}, false);
  const auto* services = section(suggestions, "Services");
  ASSERT_TRUE(services);
  ASSERT_EQ(services->size(), 1u);
  EXPECT_EQ(services->front().from, "other");
  EXPECT_EQ(services->front().name, "xyzzy");
  EXPECT_EQ(suggestions.titles.back(), "More");
  EXPECT_EQ(suggestions.items.back().front().name, "xyzzy");
}

TEST_F(SuggestionTest, RecentArchiveAndSuggestionItemsListEqualSettingsOnce) {
  auto* context = store->viewContext().get();
  for (int i = 0; i < 3; ++i) {
    auto delivery = context->insert<Delivery>("Delivery");
    delivery->setUuid("u" + std::to_string(i));
    delivery->setFrom(std::string("www.ups.com"));
    delivery->setNo(std::string(i < 2 ? "1Z999AA10123456784" : "1Z5R89390357567127"));
    delivery->setArchived(i != 2);
    delivery->setRemoved(false);
    delivery->setModified(Date::now().timeIntervalSince1970() - i);
    delivery->setHistoryTitle("Parcel " + std::to_string(i));
  }
  ASSERT_TRUE(context->save());
  QBYDataStore::sharedDefaults().setInteger(-1, "QBYHistoryDays");
  auto archived = finder->recentDeliveriesFromArchive(true, 10, *finder->objectContext());
  EXPECT_EQ(archived.size(), 2u);
  auto active = finder->recentDeliveriesFromArchive(false, 0, *finder->objectContext());
  EXPECT_EQ(active.size(), 1u);
  const auto suggestions = finder->suggestionsForNaturalString(std::nullopt, {}, false);
  const auto* archive = section(suggestions, "Archive");
  ASSERT_TRUE(archive);
  EXPECT_EQ(archive->size(), 2u);  // different uuids: different settings
  EXPECT_EQ(archive->front().displayName, "Parcel 0");
}

}  // namespace
}  // namespace qby::test
