#include "DeliveryLookup.h"

#include <algorithm>

#include "model/Delivery.h"
#include "store/QBYDataStore.h"
#include "util/StringUtilities.h"

namespace porvane {

namespace {

using DeliveryList = std::vector<std::shared_ptr<qby::Delivery>>;

DeliveryList fetch(qby::QBYDataStore& store, std::string predicate,
                   std::vector<qby::Value> arguments, std::size_t limit) {
  qby::QBYFetchRequest request;
  request.entityName = "Delivery";
  request.predicate = R"(t."removed" IS NOT 1 AND )" + std::move(predicate);
  request.arguments = std::move(arguments);
  request.fetchLimit = limit;
  const auto results = store.viewContext()->executeFetchRequest(request);
  if (!results) return {};
  return results->allAs<qby::Delivery>();
}

std::string upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

// substr instead of LIKE: the ID is user input and may hold "%" or "_". IDs are compared in
// upper case: the store writes them so, people copy them in either case.
DeliveryList byUUID(qby::QBYDataStore& store, const std::string& uuid) {
  return fetch(store, R"(upper(t."uuid") = ?)", {qby::Value(upper(uuid))}, 20);
}

DeliveryList byUUIDPrefix(qby::QBYDataStore& store, const std::string& prefix) {
  return fetch(store, R"(upper(substr(t."uuid", 1, ?)) = ?)",
               {qby::Value(static_cast<std::int64_t>(prefix.size())), qby::Value(upper(prefix))},
               20);
}

bool looksLikeID(const std::string& text) {
  return text.size() >= kMinimumIDPrefix && text.size() <= 36 &&
         std::all_of(text.begin(), text.end(),
                     [](unsigned char c) { return std::isxdigit(c) || c == '-'; });
}

bool contains(const DeliveryList& list, const std::shared_ptr<qby::Delivery>& delivery) {
  return std::find(list.begin(), list.end(), delivery) != list.end();
}

LookupResult found(std::shared_ptr<qby::Delivery> delivery) {
  LookupResult result;
  result.kind = LookupResult::Found;
  result.delivery = std::move(delivery);
  return result;
}

LookupResult ambiguous(DeliveryList matches) {
  LookupResult result;
  result.kind = LookupResult::Ambiguous;
  result.matches = std::move(matches);
  return result;
}

}  // namespace

std::string numberKey(const std::string& number) {
  std::string key;
  key.reserve(number.size());
  for (const char c : number) {
    if (c == ' ' || c == '-' || c == '\t') continue;
    key.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
  }
  return key;
}

DeliveryList deliveriesWithNumber(qby::QBYDataStore& store, const std::string& number) {
  const std::string key = numberKey(qby::trimmedString(number));
  if (key.empty() || !store.viewContext()) return {};
  // The same key in SQL (upper() changes ASCII letters only, as numberKey does), so the
  // store finds the few candidates itself.
  auto matches =
      fetch(store, R"(upper(replace(replace(replace(t."no", ' ', ''), '-', ''), char(9), '')) = ?)",
            {qby::Value(key)}, 0);
  std::stable_sort(matches.begin(), matches.end(), [](const auto& a, const auto& b) {
    if (a->archived() != b->archived()) return !a->archived();
    return a->modified() > b->modified();
  });
  return matches;
}

LookupResult findDelivery(qby::QBYDataStore& store, const std::string& idOrNumber) {
  const std::string word = qby::trimmedString(idOrNumber);
  if (word.empty() || !store.viewContext()) return {};

  if (auto exact = byUUID(store, word); exact.size() == 1) return found(exact.front());

  const DeliveryList byNumber = deliveriesWithNumber(store, word);
  const DeliveryList byPrefix = looksLikeID(word) ? byUUIDPrefix(store, word) : DeliveryList();

  // Every delivery the word may mean, once each.
  DeliveryList candidates = byNumber;
  for (const auto& delivery : byPrefix)
    if (!contains(candidates, delivery)) candidates.push_back(delivery);
  if (candidates.empty()) return {};
  if (candidates.size() == 1) return found(candidates.front());

  // Copies of one delivery: the same number under the same service, nothing else named.
  const bool oneShipment = candidates.size() == byNumber.size() &&
                           std::all_of(byNumber.begin(), byNumber.end(), [&](const auto& delivery) {
                             return delivery->from() == byNumber.front()->from();
                           });
  if (oneShipment) return found(byNumber.front());
  return ambiguous(std::move(candidates));
}

}  // namespace porvane
