// Finds the delivery a command names: by its ID (the full uuid, or the first characters of it
// as the list shows them) or by its tracking number. Deleted deliveries are never found.
//
// Threads: main thread; the records belong to the view context.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace qby {
class Delivery;
class QBYDataStore;
}  // namespace qby

namespace porvane {

// The shortest ID prefix that is looked up as one; shorter words are only tracking numbers.
inline constexpr std::size_t kMinimumIDPrefix = 4;

struct LookupResult {
  enum Kind { Found, NotFound, Ambiguous };
  Kind kind = NotFound;
  std::shared_ptr<qby::Delivery> delivery;              // when found
  std::vector<std::shared_ptr<qby::Delivery>> matches;  // when ambiguous
};

// A tracking number as the lookup compares it: ASCII letters upper-cased, blanks and dashes
// left out, so "1z 999 aa1-0123456784" names the delivery saved as "1Z999AA10123456784".
std::string numberKey(const std::string& number);

// The deliveries whose tracking number has the same key as the number, active ones first,
// then the newest change first.
std::vector<std::shared_ptr<qby::Delivery>> deliveriesWithNumber(qby::QBYDataStore& store,
                                                                 const std::string& number);

// An exact ID (in any case) wins. Otherwise the word is looked up as a tracking number and as
// an ID prefix, and a word that names several deliveries is ambiguous rather than taken to
// mean one of them: a number of another delivery that happens to begin like an ID never
// picks that delivery silently. Only the same number added under the same service more than
// once (an archived copy beside an active one) is one delivery: the active one, else the
// newest change.
LookupResult findDelivery(qby::QBYDataStore& store, const std::string& idOrNumber);

}  // namespace porvane
