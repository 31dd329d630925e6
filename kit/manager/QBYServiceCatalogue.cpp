#include "manager/QBYServiceCatalogue.h"

#include <unicode/locid.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>

#include "model/Delivery.h"
#include "model/QBYDeliverySettings.h"
#include "model/Service.h"
#include "model/Setting.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "platform/Resources.h"
#include "store/QBYDataStore.h"
#include "store/QBYDeliveriesQueries.h"
#include "util/StringUtilities.h"

namespace qby {
namespace {

// The six colours of a style, with the Service setters they fill.
struct StyleColor {
  const char* key;
  void (Service::*set)(std::optional<std::string>);
};
constexpr StyleColor kStyleColors[] = {
    {"backgroundColor", &Service::setBackgroundColor},
    {"iconAccentColor", &Service::setIconAccentColor},
    {"iconColor", &Service::setIconColor},
    {"spinnerColor", &Service::setSpinnerColor},
    {"smallTextColor", &Service::setSmallTextColor},
    {"largeTextColor", &Service::setLargeTextColor},
};

std::optional<Value> readList(std::string_view name) {
  const auto path = Resources::pathForResource(name, "plist", "lists");
  if (!path) {
    log("Missing resource: %@.plist", std::string(name));
    return std::nullopt;
  }
  std::ifstream file(*path, std::ios::binary);
  std::ostringstream bytes;
  bytes << file.rdbuf();
  if (!file) {
    log("Error reading %@: %@", path->string(), std::string("unreadable"));
    return std::nullopt;
  }
  QBYError error;
  auto value = Value::fromPlist(bytes.str(), &error);
  if (!value) log("Error reading %@: %@", path->string(), error);
  return value;
}

// Whether a region list ("US,CA, GB") names the country; entries compare trimmed, in upper case.
bool regionListContains(const std::string& regions, const std::string& country) {
  std::size_t start = 0;
  while (start <= regions.size()) {
    std::size_t end = regions.find(',', start);
    if (end == std::string::npos) end = regions.size();
    std::string region = trimmedString(std::string_view(regions).substr(start, end - start));
    std::transform(region.begin(), region.end(), region.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    if (!region.empty() && region == country) return true;
    start = end + 1;
  }
  return false;
}

// Only a real YES (or the number 1) makes a setting required.
bool isYes(const Value& value) {
  if (value.isBool()) return *value.asBool();
  if (value.isInteger()) return *value.asInteger() == 1;
  return false;
}

// A fetch that stays quiet when nothing matches: the import asks for services that do not
// exist yet, which is no event worth a log line.
std::shared_ptr<Service> fetchService(QBYManagedObjectContext& context, const std::string& key) {
  QBYFetchRequest request;
  request.entityName = "Service";
  request.predicate = R"(t."from" = ?)";
  request.arguments = {Value(key)};
  request.fetchLimit = 1;
  std::shared_ptr<Service> found;
  context.performAndWait([&] {
    QBYError error;
    auto results = context.executeFetchRequest(request, &error);
    if (!results) {
      log("Error getting service %@: %@ %@", key, error, error.userInfoDescription());
      return;
    }
    if (!results->empty()) found = results->as<Service>(0);
  });
  return found;
}

}  // namespace

QBYServiceCatalogue::QBYServiceCatalogue(QBYServiceCatalogueHost& host)
    : host_(host), alive_(std::make_shared<bool>(true)) {}

QBYServiceCatalogue::~QBYServiceCatalogue() = default;

// --- Import -----------------------------------------------------------------------------------

Array QBYServiceCatalogue::servicesList() {
  auto value = readList("Services");
  if (!value) return {};
  if (const auto* array = value->arrayPtr()) return *array;
  log("Error reading %@: %@", std::string("Services.plist"), std::string("not an array"));
  return {};
}

Dictionary QBYServiceCatalogue::stylesList() {
  auto value = readList("Styles");
  if (!value) return {};
  if (const auto* dictionary = value->dictionaryPtr()) return *dictionary;
  log("Error reading %@: %@", std::string("Styles.plist"), std::string("not a dictionary"));
  return {};
}

bool QBYServiceCatalogue::isSupportedService(const std::optional<std::string>& key) {
  static const std::set<std::string> unsupported = [] {
    std::set<std::string> keys;
    for (const auto& entry : servicesList()) {
      const Value& supported = entry["supported"];
      auto from = entry["from"].asString();
      if (from && !supported.isNull() && !supported.asBool().value_or(true)) keys.insert(*from);
    }
    return keys;
  }();
  return !key || !unsupported.contains(*key);
}

std::optional<std::string> QBYServiceCatalogue::currentCountryCode() {
  std::string country = icu::Locale::getDefault().getCountry();
  if (country.empty()) return std::nullopt;
  std::transform(country.begin(), country.end(), country.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return country;
}

const std::vector<QBYServiceKeyRemap>& QBYServiceCatalogue::retiredServiceKeys() {
  return QBYDeliverySettings::retiredServiceKeys();
}

std::optional<std::string> QBYServiceCatalogue::colorWithHexByAlpha(
    const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  std::string hex = trimmedString(*text);
  if (!hex.empty() && hex.front() == '#') hex.erase(0, 1);
  if (!std::all_of(hex.begin(), hex.end(), [](unsigned char c) { return std::isxdigit(c); }))
    return std::nullopt;
  if (hex.size() == 3 || hex.size() == 4) {
    std::string wide;
    for (char c : hex) wide.append(2, c);
    hex = wide;
  }
  if (hex.size() == 6) hex += "ff";
  if (hex.size() != 8) return std::nullopt;
  std::transform(hex.begin(), hex.end(), hex.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return "#" + hex;
}

void QBYServiceCatalogue::importServicesWithDefaults(bool defaults, bool repair) {
  importServices(servicesList(), stylesList(), defaults, repair,
                 defaults ? currentCountryCode() : std::nullopt);
}

void QBYServiceCatalogue::importServices(const Array& services, const Dictionary& styles,
                                         bool defaults, bool repair,
                                         const std::optional<std::string>& countryCode) {
  QBYDataStore* store = host_.catalogueDataStore();
  if (!store || !store->viewContext()) {
    log("Cannot import services without a data store");
    return;
  }

  std::optional<std::string> country;
  if (defaults) {
    if (countryCode && !countryCode->empty()) {
      country = *countryCode;
      std::transform(country->begin(), country->end(), country->begin(),
                     [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    }
    log("Setting defaults for country code: %@", country);
  }

  QBYManagedObjectContext& context = *store->viewContext();
  unsigned long position = 0;
  for (const Value& item : services) {
    const Dictionary* entry = item.dictionaryPtr();
    if (!entry) continue;
    const std::optional<std::string> key = (*entry)["from"].asString();
    auto service = serviceForDomainInStore(*store, key, true);
    if (!service) continue;

    service->setKeywords((*entry)["keywords"].asString().value_or(std::string()));
    service->setName((*entry)["name"].asString());
    service->setShortName((*entry)["shortName"].asString());
    char sort[32];
    std::snprintf(sort, sizeof sort, "%02lu", position);
    service->setSort(std::string(sort));

    const Dictionary* style = nullptr;
    if (auto styleName = (*entry)["style"].asString()) style = styles[*styleName].dictionaryPtr();
    for (const auto& color : kStyleColors) {
      std::optional<std::string> text;
      if (style) text = colorWithHexByAlpha((*style)[color.key].asString());
      ((*service).*color.set)(std::move(text));
    }

    if (defaults) {
      const Value& supported = (*entry)["supported"];
      if (!supported.isNull() && !supported.asBool().value_or(true)) {
        service->setUseCount(QBYServiceUseCountHidden);
      } else if (country && service->useCount() < 1) {
        if (auto regions = (*entry)["default-regions"].asString();
            regions && regionListContains(*regions, *country))
          service->setUseCount(1);
      }
    }

    // The list is the whole truth about a service's fields: nothing of the old ones survives.
    for (const auto& setting : service->settings()) {
      service->removeSetting(setting);
      context.deleteObject(setting);
    }
    if (const Array* fields = (*entry)["settings"].arrayPtr()) {
      for (const Value& fieldValue : *fields) {
        const Dictionary* field = fieldValue.dictionaryPtr();
        if (!field) continue;
        auto setting = context.insert<Setting>("Setting");
        setting->setInputType((*field)["inputType"].asString());
        setting->setType((*field)["type"].asString());
        setting->setName((*field)["name"].asString());
        setting->setRequired(isYes((*field)["required"]));
        setting->setService(service);
      }
    }

    remapDeliveriesFrom(key, !repair);
    ++position;
  }

  for (const auto& [former, successor] : retiredServiceKeys())
    remapDeliveriesFrom(former, successor);

  clearServices();
  saveDataStore();
  host_.catalogueSetForceUpdate(1);
}

// --- Services ---------------------------------------------------------------------------------

std::shared_ptr<Service> QBYServiceCatalogue::serviceForDomainInStore(
    QBYDataStore& store, const std::optional<std::string>& key, bool create) {
  // A service is named by its key; without one there is nothing to find or make.
  if (!hasValue(key) || !store.viewContext()) return nullptr;
  auto& context = *store.viewContext();
  if (!create) return qby::serviceForDomain(store, key, &context);
  if (auto service = fetchService(context, *key)) return service;
  std::shared_ptr<Service> service;
  context.performAndWait([&] {
    service = context.insert<Service>("Service");
    service->setFrom(key);
  });
  return service;
}

std::shared_ptr<Service> QBYServiceCatalogue::serviceForDomain(
    const std::optional<std::string>& key, bool create) {
  QBYDataStore* store = host_.catalogueDataStore();
  if (!store) return nullptr;
  return serviceForDomainInStore(*store, key, create);
}

const std::vector<std::shared_ptr<Service>>& QBYServiceCatalogue::services() {
  if (!services_) {
    QBYDataStore* store = host_.catalogueDataStore();
    services_ = store && store->viewContext()
                    ? servicesMarkedAsFavorites(*store, false, store->viewContext().get())
                    : std::vector<std::shared_ptr<Service>>{};
  }
  return *services_;
}

const std::vector<std::shared_ptr<Service>>& QBYServiceCatalogue::favoriteServices() {
  if (!favoriteServices_) {
    QBYDataStore* store = host_.catalogueDataStore();
    favoriteServices_ = store && store->viewContext()
                            ? servicesMarkedAsFavorites(*store, true, store->viewContext().get())
                            : std::vector<std::shared_ptr<Service>>{};
  }
  return *favoriteServices_;
}

void QBYServiceCatalogue::clearServices() {
  services_.reset();
  favoriteServices_.reset();
}

void QBYServiceCatalogue::clearFavoriteServices() {
  favoriteServices_.reset();
}

// --- Use counts -------------------------------------------------------------------------------

void QBYServiceCatalogue::increaseCountForService(const std::shared_ptr<Service>& service) {
  if (!service) return;
  service->setUseCount(service->useCount() + 1);
  clearFavoriteServices();
  syncServiceCounts();
}

void QBYServiceCatalogue::hideService(const std::shared_ptr<Service>& service) {
  if (!service) return;
  service->setUseCount(QBYServiceUseCountHidden);
  clearFavoriteServices();
  saveDataStore();
  syncServiceCounts();
}

void QBYServiceCatalogue::syncServiceCounts() {
  Dictionary counts;
  for (const auto& service : services()) {
    if (auto key = service->from()) counts.set(*key, Value(service->useCount()));
  }
  host_.catalogueUpdateUbiquitousKey(QBYFavoriteServicesKey, Value(std::move(counts)));
}

void QBYServiceCatalogue::ubiquitousKey(const std::string& key, const Value& object) {
  if (key != QBYFavoriteServicesKey) return;
  const Dictionary* counts = object.dictionaryPtr();
  if (!counts) return;
  bool changed = false;
  for (const auto& service : services()) {
    auto from = service->from();
    if (!from) continue;
    const Value* stored = counts->find(*from);
    // A peer that sent something other than a number for a service tells us nothing about it.
    if (!stored || !stored->isNumber()) continue;
    const auto count = stored->asInteger();
    if (!count || *count == service->useCount()) continue;
    service->setUseCount(*count);
    changed = true;
  }
  if (!changed) return;
  clearFavoriteServices();
  saveDataStore();
}

// --- Linking deliveries -----------------------------------------------------------------------

std::vector<std::shared_ptr<Delivery>> QBYServiceCatalogue::deliveriesFrom(
    const std::optional<std::string>& key, bool onlyBroken) {
  QBYDataStore* store = host_.catalogueDataStore();
  if (!key || !store || !store->viewContext()) return {};
  auto& context = *store->viewContext();
  QBYFetchRequest request;
  request.entityName = "Delivery";
  request.predicate = onlyBroken ? R"(t."from" = ? AND t."service" IS NULL)" : R"(t."from" = ?)";
  request.arguments = {Value(*key)};
  std::vector<std::shared_ptr<Delivery>> deliveries;
  context.performAndWait([&] {
    QBYError error;
    auto results = context.executeFetchRequest(request, &error);
    if (!results) {
      log("Error fetching deliveries from %@: %@, %@", key, error, error.userInfoDescription());
      return;
    }
    deliveries = results->allAs<Delivery>();
  });
  return deliveries;
}

void QBYServiceCatalogue::remapDeliveriesFrom(const std::optional<std::string>& key,
                                              bool onlyBroken) {
  const auto deliveries = deliveriesFrom(key, onlyBroken);
  if (deliveries.empty()) return;
  const auto service = serviceForDomain(key);
  for (const auto& delivery : deliveries) delivery->setService(service);
}

void QBYServiceCatalogue::remapDeliveriesFrom(const std::string& former,
                                              const std::string& successor) {
  QBYDataStore* store = host_.catalogueDataStore();
  if (!store || !store->viewContext()) return;
  const auto deliveries = deliveriesFrom(former, false);
  if (!deliveries.empty()) {
    const auto service = serviceForDomain(successor);
    for (const auto& delivery : deliveries) {
      delivery->setFrom(successor);
      delivery->setService(service);
    }
  }
  // Deleted at once rather than later on the main queue, so that the save that follows an
  // import writes the deletion too.
  if (auto retired = fetchService(*store->viewContext(), former)) {
    store->viewContext()->deleteObject(retired);
    clearServices();
  }
}

// --- Repair -----------------------------------------------------------------------------------

void QBYServiceCatalogue::repairDatabase() {
  host_.catalogueCancelUpdate();
  importServicesWithDefaults(false, true);
  saveDataStore();
  host_.catalogueReloadDeliveries();
  std::weak_ptr<bool> alive = alive_;
  QBYServiceCatalogueHost* host = &host_;
  MainQueue::async([alive, host] {
    if (alive.expired()) {
      log("Service catalogue gone before reloading deliveries");
      return;
    }
    host->catalogueShouldReloadDeliveries();
  });
}

bool QBYServiceCatalogue::saveDataStore() {
  QBYDataStore* store = host_.catalogueDataStore();
  return store && store->saveData();
}

}  // namespace qby
