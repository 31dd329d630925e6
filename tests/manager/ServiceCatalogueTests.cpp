// The service catalogue against a real store file: importing the lists (favourites by
// country, hidden services, settings replaced, colours), linking deliveries to their services
// (only broken ones or all on a repair), moving retired keys, use counts both ways through the
// host's key-value store, and the shipped lists themselves.
#include "manager/QBYServiceCatalogue.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

#include "model/Delivery.h"
#include "model/QBYDeliverySettings.h"
#include "model/Service.h"
#include "model/Setting.h"
#include "platform/MainQueue.h"
#include "store/QBYDataStore.h"
#include "store/QBYDeliveriesQueries.h"
#include "support/TestSupport.h"

namespace qby::test {
namespace {

// The manager's part, recorded: the key-value store holds what was handed to it.
class FakeHost : public QBYServiceCatalogueHost {
 public:
  QBYDataStore* catalogueDataStore() override { return store; }
  void catalogueUpdateUbiquitousKey(const std::string& key, const Value& object) override {
    keyValueStore[key] = object;
    ++keyValueWrites;
  }
  void catalogueSetForceUpdate(unsigned value) override { forceUpdate = value; }
  void catalogueCancelUpdate() override { calls.push_back("cancel"); }
  void catalogueReloadDeliveries() override { calls.push_back("reload"); }
  void catalogueShouldReloadDeliveries() override { calls.push_back("shouldReload"); }

  QBYDataStore* store = nullptr;
  std::map<std::string, Value> keyValueStore;
  int keyValueWrites = 0;
  unsigned forceUpdate = 0;
  std::vector<std::string> calls;
};

Dictionary setting(const char* type, const char* name, Value required) {
  return Dictionary{{"inputType", Value("text")},
                    {"type", Value(type)},
                    {"name", Value(name)},
                    {"required", std::move(required)}};
}

Dictionary entry(const char* from, const char* name, Array settings, Dictionary more = {}) {
  Dictionary result{{"from", Value(from)},
                    {"name", Value(name)},
                    {"shortName", Value(std::string(name) + " short")},
                    {"keywords", Value(std::string(name) + " words")},
                    {"settings", Value(std::move(settings))}};
  for (const auto& [key, value] : more) result.set(key, value);
  return result;
}

class ServiceCatalogueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    file = makeTempDir("catalogue") / "Porvane.sqlite";
    store = std::make_unique<QBYDataStore>(file);
    ASSERT_TRUE(store->available());
    host.store = store.get();
    catalogue = std::make_unique<QBYServiceCatalogue>(host);

    styles = Dictionary{{"red", Value(Dictionary{{"backgroundColor", Value("#FF0000FF")},
                                                 {"iconAccentColor", Value("#00FF0080")},
                                                 {"iconColor", Value("#FFFFFF")},
                                                 {"spinnerColor", Value("not a colour")},
                                                 {"smallTextColor", Value("#abc")},
                                                 {"largeTextColor", Value("#000000FF")}})}};
    services = Array{
        Value(entry("parcel.example", "Parcel Co",
                    Array{Value(setting("no", "Tracking number", Value(true))),
                          Value(setting("extra", "Postcode", Value(true)))},
                    Dictionary{{"style", Value("red")}, {"default-regions", Value("US, de ,FR")}})),
        Value(entry("courier.example", "Courier",
                    Array{Value(setting("no", "Number", Value(true)))},
                    Dictionary{{"default-regions", Value("GB")}})),
        Value(entry("gone.example", "Gone", Array{}, Dictionary{{"supported", Value(false)}})),
        Value(entry("other", "Web Page", Array{Value(setting("no", "Link", Value(1)))})),
    };
  }

  QBYManagedObjectContext& context() { return *store->viewContext(); }

  std::shared_ptr<Delivery> delivery(const std::string& uuid, const std::string& from,
                                     const std::shared_ptr<Service>& service = nullptr) {
    auto record = context().insert<Delivery>("Delivery");
    record->setUuid(uuid);
    record->setFrom(from);
    if (service) record->setService(service);
    return record;
  }

  // Reads the file again through a new store, so only what was saved counts. Earlier stores
  // stay open: records answered before must stay readable.
  std::shared_ptr<Service> savedService(const std::string& key) {
    if (reopened) earlier.push_back(std::move(reopened));
    reopened = std::make_unique<QBYDataStore>(file);
    return serviceForDomain(*reopened, key);
  }

  static std::vector<std::string> settingTypes(const Service& service) {
    std::vector<std::string> types;
    for (const auto& s : service.settings()) types.push_back(s->type().value_or("?"));
    std::sort(types.begin(), types.end());
    return types;
  }

  std::filesystem::path file;
  std::unique_ptr<QBYDataStore> store;
  std::unique_ptr<QBYDataStore> reopened;
  std::vector<std::unique_ptr<QBYDataStore>> earlier;
  FakeHost host;
  std::unique_ptr<QBYServiceCatalogue> catalogue;
  Array services;
  Dictionary styles;
  LogCapture logs;
};

TEST_F(ServiceCatalogueTest, ImportWritesServicesInListOrderAndSaves) {
  catalogue->importServices(services, styles, false, false, std::nullopt);

  EXPECT_EQ(host.forceUpdate, 1u);
  auto parcel = savedService("parcel.example");
  ASSERT_TRUE(parcel);
  EXPECT_EQ(parcel->name(), "Parcel Co");
  EXPECT_EQ(parcel->shortName(), "Parcel Co short");
  EXPECT_EQ(parcel->keywords(), "Parcel Co words");
  EXPECT_EQ(parcel->sort(), "00");
  EXPECT_EQ(savedService("other")->sort(), "03");
  EXPECT_EQ(settingTypes(*parcel), (std::vector<std::string>{"extra", "no"}));
  const auto required = parcel->settingOfType("extra");
  ASSERT_TRUE(required);
  EXPECT_TRUE(required->required());
  EXPECT_EQ(required->name(), "Postcode");
  EXPECT_EQ(required->inputType(), "text");
  // Without defaults, no service is hidden or made a favourite.
  EXPECT_EQ(savedService("gone.example")->useCount(), 0);
  EXPECT_EQ(parcel->useCount(), 0);

  const auto& listed = catalogue->services();
  ASSERT_EQ(listed.size(), 4u);
  EXPECT_EQ(listed[0]->from(), "parcel.example");
  EXPECT_EQ(listed[3]->from(), "other");
}

TEST_F(ServiceCatalogueTest, ImportSkipsEntriesWithoutAKeyWithoutAdvancingTheCounter) {
  Array list{Value("not a dictionary"),
             Value(Dictionary{{"name", Value("No key")}}),
             Value(entry("", "Empty key", Array{})),
             Value(Dictionary{{"from", Value("first.example")}, {"name", Value("First")}}),
             Value(Dictionary{{"from", Value(7)}}),
             Value(entry("second.example", "Second", Array{}))};
  catalogue->importServices(list, {}, false, false, std::nullopt);
  EXPECT_EQ(savedService("first.example")->sort(), "00");
  EXPECT_EQ(savedService("second.example")->sort(), "01");
  EXPECT_EQ(catalogue->services().size(), 2u);
  // An absent keywords text is stored empty, not absent.
  EXPECT_EQ(savedService("first.example")->keywords(), "");
}

TEST_F(ServiceCatalogueTest, ColoursComeFromTheEntrysStyleInStoredForm) {
  catalogue->importServices(services, styles, false, false, std::nullopt);
  auto parcel = savedService("parcel.example");
  EXPECT_EQ(parcel->backgroundColor(), "#ff0000ff");
  EXPECT_EQ(parcel->iconAccentColor(), "#00ff0080");
  EXPECT_EQ(parcel->iconColor(), "#ffffffff");
  EXPECT_EQ(parcel->spinnerColor(), std::nullopt);
  EXPECT_EQ(parcel->smallTextColor(), "#aabbccff");
  EXPECT_EQ(parcel->largeTextColor(), "#000000ff");
  // No style: no colours.
  EXPECT_EQ(savedService("courier.example")->backgroundColor(), std::nullopt);
}

TEST_F(ServiceCatalogueTest, ColorWithHexByAlphaRejectsWhatIsNoColour) {
  EXPECT_EQ(QBYServiceCatalogue::colorWithHexByAlpha(std::string("12345678")), "#12345678");
  EXPECT_EQ(QBYServiceCatalogue::colorWithHexByAlpha(std::string("#1234")), "#11223344");
  EXPECT_EQ(QBYServiceCatalogue::colorWithHexByAlpha(std::string("#12345")), std::nullopt);
  EXPECT_EQ(QBYServiceCatalogue::colorWithHexByAlpha(std::string("#GG0000")), std::nullopt);
  EXPECT_EQ(QBYServiceCatalogue::colorWithHexByAlpha(std::string("")), std::nullopt);
  EXPECT_EQ(QBYServiceCatalogue::colorWithHexByAlpha(std::nullopt), std::nullopt);
}

TEST_F(ServiceCatalogueTest, FirstLaunchInADefaultRegionMakesAFavouriteAndLaterImportsKeepCounts) {
  catalogue->importServices(services, styles, true, false, std::string("de"));
  ASSERT_EQ(logs.linesContaining("Setting defaults for country code: DE").size(), 1u);
  EXPECT_EQ(savedService("parcel.example")->useCount(), 1);  // "US, de ,FR" names DE
  EXPECT_EQ(savedService("courier.example")->useCount(), 0);
  ASSERT_EQ(catalogue->favoriteServices().size(), 1u);

  // The user builds up a count; neither a later plain import nor a defaults import lowers it.
  catalogue->increaseCountForService(catalogue->serviceForDomain("parcel.example"));
  catalogue->increaseCountForService(catalogue->serviceForDomain("parcel.example"));
  store->saveData();
  catalogue->importServices(services, styles, false, false, std::nullopt);
  EXPECT_EQ(savedService("parcel.example")->useCount(), 3);
  catalogue->importServices(services, styles, true, false, std::string("DE"));
  EXPECT_EQ(savedService("parcel.example")->useCount(), 3);
}

TEST_F(ServiceCatalogueTest, UnsupportedEntriesAreHiddenOnADefaultsImportOnly) {
  catalogue->importServices(services, styles, false, false, std::nullopt);
  EXPECT_EQ(savedService("gone.example")->useCount(), 0);
  catalogue->importServices(services, styles, true, false, std::nullopt);
  EXPECT_EQ(savedService("gone.example")->useCount(), QBYServiceUseCountHidden);
  ASSERT_EQ(logs.linesContaining("Setting defaults for country code: (null)").size(), 1u);
  // "supported" YES or absent hides nothing.
  EXPECT_EQ(savedService("parcel.example")->useCount(), 0);
}

TEST_F(ServiceCatalogueTest, ReimportReplacesSettingsCompletely) {
  catalogue->importServices(services, styles, false, false, std::nullopt);
  Array changed{Value(entry("parcel.example", "Parcel Co",
                            Array{Value(setting("date", "Ship date", Value(false))),
                                  Value(setting("password", "Password", Value("YES")))}))};
  catalogue->importServices(changed, styles, false, false, std::nullopt);

  auto parcel = savedService("parcel.example");
  EXPECT_EQ(settingTypes(*parcel), (std::vector<std::string>{"date", "password"}));
  EXPECT_FALSE(parcel->settingOfType("date")->required());
  // Only a real YES makes a setting required.
  EXPECT_FALSE(parcel->settingOfType("password")->required());
  // The old settings are gone from the file, not only unlinked.
  QBYFetchRequest request;
  request.entityName = "Setting";
  request.predicate = R"(t."type" = 'extra')";
  EXPECT_EQ(reopened->viewContext()->countForFetchRequest(request), 0u);
  // The service is not duplicated either.
  request.entityName = "Service";
  request.predicate = R"(t."from" = 'parcel.example')";
  EXPECT_EQ(reopened->viewContext()->countForFetchRequest(request), 1u);
}

TEST_F(ServiceCatalogueTest, ImportLinksBrokenDeliveriesAndRepairRelinksAll) {
  catalogue->importServices(services, styles, false, false, std::nullopt);
  auto parcel = catalogue->serviceForDomain("parcel.example");
  auto courier = catalogue->serviceForDomain("courier.example");
  auto broken = delivery("broken", "parcel.example");
  // A delivery linked to the wrong service keeps it unless the import repairs.
  auto mislinked = delivery("mislinked", "parcel.example", courier);
  store->saveData();

  catalogue->importServices(services, styles, false, false, std::nullopt);
  EXPECT_EQ(broken->service(), parcel);
  EXPECT_EQ(mislinked->service(), courier);

  catalogue->importServices(services, styles, false, true, std::nullopt);
  EXPECT_EQ(mislinked->service(), parcel);
  savedService("parcel.example");
  auto saved = deliveryWithUUID(std::string("mislinked"), *reopened->viewContext());
  ASSERT_TRUE(saved && saved->service());
  EXPECT_EQ(saved->service()->from(), "parcel.example");
}

TEST_F(ServiceCatalogueTest, DeliveriesFromSelectsByKeyAndOptionallyOnlyBroken) {
  catalogue->importServices(services, styles, false, false, std::nullopt);
  auto parcel = catalogue->serviceForDomain("parcel.example");
  delivery("a", "parcel.example", parcel);
  delivery("b", "parcel.example");
  delivery("c", "courier.example");
  EXPECT_EQ(catalogue->deliveriesFrom(std::string("parcel.example"), false).size(), 2u);
  auto brokenOnes = catalogue->deliveriesFrom(std::string("parcel.example"), true);
  ASSERT_EQ(brokenOnes.size(), 1u);
  EXPECT_EQ(brokenOnes[0]->uuid(), "b");
  EXPECT_TRUE(catalogue->deliveriesFrom(std::nullopt, false).empty());
}

TEST_F(ServiceCatalogueTest, RetiredKeysMoveToTheirSuccessorAndTheirServiceGoes) {
  ASSERT_FALSE(QBYServiceCatalogue::retiredServiceKeys().empty());
  const auto& [former, successor] = QBYServiceCatalogue::retiredServiceKeys().front();
  // The table settings use is the same one.
  EXPECT_EQ(QBYDeliverySettings::currentServiceKey(former), successor);

  Array list{Value(entry(successor.c_str(), "Successor", Array{}))};
  auto oldService = catalogue->serviceForDomain(former, true);
  auto moved = delivery("moved", former, oldService);
  store->saveData();

  catalogue->importServices(list, {}, false, false, std::nullopt);
  EXPECT_EQ(moved->from(), successor);
  ASSERT_TRUE(moved->service());
  EXPECT_EQ(moved->service()->from(), successor);
  EXPECT_FALSE(savedService(former));
  auto saved = deliveryWithUUID(std::string("moved"), *reopened->viewContext());
  ASSERT_TRUE(saved);
  EXPECT_EQ(saved->from(), successor);
}

TEST_F(ServiceCatalogueTest, MissingListsChangeNothingButStillRemapSaveAndForceUpdate) {
  catalogue->importServices(services, styles, false, false, std::nullopt);
  host.forceUpdate = 0;
  const auto& [former, successor] = QBYServiceCatalogue::retiredServiceKeys().front();
  auto moved = delivery("moved", former);
  store->saveData();

  catalogue->importServices({}, {}, true, true, std::string("DE"));
  EXPECT_EQ(host.forceUpdate, 1u);
  EXPECT_EQ(savedService("parcel.example")->useCount(), 0);
  EXPECT_EQ(settingTypes(*savedService("parcel.example")),
            (std::vector<std::string>{"extra", "no"}));
  auto saved = deliveryWithUUID(std::string("moved"), *reopened->viewContext());
  ASSERT_TRUE(saved);
  EXPECT_EQ(saved->from(), successor);
}

TEST_F(ServiceCatalogueTest, ServiceForDomainCreatesOnlyWhenAsked) {
  EXPECT_FALSE(catalogue->serviceForDomain("new.example"));
  EXPECT_FALSE(catalogue->serviceForDomain(std::nullopt, true));
  EXPECT_FALSE(catalogue->serviceForDomain(std::string(), true));
  auto made = catalogue->serviceForDomain("new.example", true);
  ASSERT_TRUE(made);
  EXPECT_EQ(made->from(), "new.example");
  EXPECT_EQ(catalogue->serviceForDomain("new.example"), made);
  EXPECT_EQ(catalogue->serviceForDomain("new.example", true), made);
}

TEST_F(ServiceCatalogueTest, UseCountsTravelThroughTheKeyValueStoreBothWays) {
  catalogue->importServices(services, styles, false, false, std::nullopt);
  auto parcel = catalogue->serviceForDomain("parcel.example");
  ASSERT_TRUE(catalogue->favoriteServices().empty());

  catalogue->increaseCountForService(parcel);
  // The cached favourites were dropped, so the count shows at once.
  ASSERT_EQ(catalogue->favoriteServices().size(), 1u);
  const Value& sent = host.keyValueStore[QBYFavoriteServicesKey];
  ASSERT_TRUE(sent.isDictionary());
  EXPECT_EQ(sent["parcel.example"], Value(1));
  EXPECT_EQ(sent["courier.example"], Value(0));
  EXPECT_EQ(sent.dictionaryPtr()->size(), 4u);

  catalogue->hideService(catalogue->serviceForDomain("courier.example"));
  EXPECT_EQ(host.keyValueStore[QBYFavoriteServicesKey]["courier.example"], Value(-1));
  EXPECT_EQ(savedService("courier.example")->useCount(), -1);  // hiding saves

  // From another device: named services take the count, others keep theirs, odd values and
  // other keys are ignored.
  const int writes = host.keyValueWrites;
  catalogue->ubiquitousKey(
      QBYFavoriteServicesKey,
      Value(Dictionary{
          {"courier.example", Value(5)}, {"other", Value("lots")}, {"unknown.example", Value(9)}}));
  EXPECT_EQ(catalogue->serviceForDomain("courier.example")->useCount(), 5);
  EXPECT_EQ(parcel->useCount(), 1);
  EXPECT_EQ(catalogue->serviceForDomain("other")->useCount(), 0);
  ASSERT_EQ(catalogue->favoriteServices().size(), 2u);
  EXPECT_EQ(host.keyValueWrites, writes);  // taking counts does not send them back

  catalogue->ubiquitousKey("QBYSomethingElse", Value(Dictionary{{"parcel.example", Value(8)}}));
  catalogue->ubiquitousKey(QBYFavoriteServicesKey, Value("not a dictionary"));
  EXPECT_EQ(parcel->useCount(), 1);

  // Increasing a hidden service's count makes it visible again (count 0), not a favourite.
  auto gone = catalogue->serviceForDomain("gone.example");
  gone->setUseCount(-1);
  catalogue->increaseCountForService(gone);
  EXPECT_EQ(gone->useCount(), 0);
}

TEST_F(ServiceCatalogueTest, RepairCancelsImportsReloadsAndAsksTheInterfaceLater) {
  catalogue->importServices(services, styles, false, false, std::nullopt);
  host.forceUpdate = 0;
  catalogue->repairDatabase();
  EXPECT_EQ(host.calls, (std::vector<std::string>{"cancel", "reload"}));
  EXPECT_EQ(host.forceUpdate, 1u);
  ASSERT_TRUE(MainQueue::runUntil([&] { return host.calls.size() == 3; }, 10));
  EXPECT_EQ(host.calls.back(), "shouldReload");

  // Gone before the queued call runs: nothing is called on it.
  catalogue->repairDatabase();
  catalogue.reset();
  host.calls.clear();
  MainQueue::drain();
  EXPECT_TRUE(host.calls.empty());
}

TEST_F(ServiceCatalogueTest, WithoutADataStoreNothingHappens) {
  host.store = nullptr;
  catalogue->importServices(services, styles, true, false, std::string("DE"));
  EXPECT_EQ(host.forceUpdate, 0u);
  EXPECT_FALSE(catalogue->serviceForDomain("parcel.example", true));
  EXPECT_TRUE(catalogue->services().empty());
  catalogue->syncServiceCounts();
  EXPECT_TRUE(host.keyValueStore[QBYFavoriteServicesKey].isDictionary());
}

// The shipped lists: every entry imports, every style it names exists with six valid colours,
// and the retired keys' successors are services of the list.
TEST_F(ServiceCatalogueTest, ShippedListsImportCompletely) {
  const Array list = QBYServiceCatalogue::servicesList();
  const Dictionary shippedStyles = QBYServiceCatalogue::stylesList();
  ASSERT_FALSE(list.empty());
  ASSERT_FALSE(shippedStyles.empty());

  std::set<std::string> keys;
  for (const auto& item : list) {
    ASSERT_TRUE(item.isDictionary());
    const auto key = item["from"].asString();
    ASSERT_TRUE(key);
    EXPECT_TRUE(keys.insert(*key).second) << "duplicate " << *key;
    if (auto style = item["style"].asString()) {
      const Dictionary* colors = shippedStyles[*style].dictionaryPtr();
      ASSERT_TRUE(colors) << *key << " names a missing style " << *style;
      for (const char* name : {"backgroundColor", "iconAccentColor", "iconColor", "spinnerColor",
                               "smallTextColor", "largeTextColor"})
        EXPECT_TRUE(QBYServiceCatalogue::colorWithHexByAlpha((*colors)[name].asString()))
            << *style << " " << name;
    }
  }
  for (const auto& [former, successor] : QBYServiceCatalogue::retiredServiceKeys()) {
    EXPECT_TRUE(keys.count(successor)) << successor;
    EXPECT_FALSE(keys.count(former)) << former;
  }

  catalogue->importServicesWithDefaults(false, false);
  EXPECT_EQ(catalogue->services().size(), list.size());
  EXPECT_EQ(host.forceUpdate, 1u);
}

}  // namespace
}  // namespace qby::test
