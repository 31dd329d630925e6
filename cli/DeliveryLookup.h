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

// An exact uuid wins, then a unique uuid prefix, then the tracking number (the newest change
// when the number was added more than once, an active one before an archived one).
LookupResult findDelivery(qby::QBYDataStore& store, const std::string& idOrNumber);

}  // namespace porvane
