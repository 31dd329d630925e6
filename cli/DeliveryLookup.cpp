#include "DeliveryLookup.h"

#include <algorithm>

#include "model/Delivery.h"
#include "model/QBYDeliverySettings.h"
#include "store/QBYDataStore.h"
#include "store/QBYDeliveriesQueries.h"
#include "util/StringUtilities.h"

namespace porvane {

namespace {

std::vector<std::shared_ptr<qby::Delivery>> byUUIDPrefix(qby::QBYDataStore& store,
                                                         const std::string& prefix) {
  qby::QBYFetchRequest request;
  request.entityName = "Delivery";
  // substr instead of LIKE: the ID is user input and may hold "%" or "_".
  request.predicate = R"(t."removed" IS NOT 1 AND substr(t."uuid", 1, ?) = ?)";
  request.arguments = {qby::Value(static_cast<std::int64_t>(prefix.size())), qby::Value(prefix)};
  request.fetchLimit = 20;
  const auto results = store.viewContext()->executeFetchRequest(request);
  if (!results) return {};
  return results->allAs<qby::Delivery>();
}

bool looksLikeID(const std::string& text) {
  return text.size() >= kMinimumIDPrefix && text.size() <= 36 &&
         std::all_of(text.begin(), text.end(),
                     [](unsigned char c) { return std::isxdigit(c) || c == '-'; });
}

}  // namespace

LookupResult findDelivery(qby::QBYDataStore& store, const std::string& idOrNumber) {
  LookupResult result;
  const std::string word = qby::trimmedString(idOrNumber);
  if (word.empty() || !store.viewContext()) return result;

  if (auto exact = qby::deliveryWithUUID(word, *store.viewContext())) {
    result.kind = LookupResult::Found;
    result.delivery = std::move(exact);
    return result;
  }
  if (looksLikeID(word)) {
    std::string lower = word;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    auto matches = byUUIDPrefix(store, lower);
    if (matches.empty() && lower != word) matches = byUUIDPrefix(store, word);
    if (matches.size() == 1) {
      result.kind = LookupResult::Found;
      result.delivery = matches.front();
      return result;
    }
    if (matches.size() > 1) {
      result.kind = LookupResult::Ambiguous;
      result.matches = std::move(matches);
      return result;
    }
  }

  qby::QBYDeliverySettings settings;
  settings.no = word;
  auto byNumber = qby::deliveriesWithSettings(store, settings, false, true, 0);
  if (byNumber.empty()) return result;
  std::stable_sort(byNumber.begin(), byNumber.end(), [](const auto& a, const auto& b) {
    if (a->archived() != b->archived()) return !a->archived();
    return a->modified() > b->modified();
  });
  result.kind = LookupResult::Found;
  result.delivery = byNumber.front();
  return result;
}

}  // namespace porvane
