// The user's own order of the delivery list: each delivery's `manualSortIndex`, ascending.
// A new position is the mean of its neighbours' indexes, or 10 beyond the ends, so a move
// writes one record in the common case. The list itself belongs to the deliveries manager,
// which saves the data store after a move.
//
// Threads: the main thread (the deliveries belong to the view context).
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

namespace qby {

class Delivery;

// A row that is not in the list (the interface's "no row").
inline constexpr std::int64_t QBYRowNotFound = std::numeric_limits<std::int64_t>::max();

// The index a delivery placed at the row would get: 10 for an empty list; the first index
// − 10 at row 0 (or above it); the mean of rows row − 1 and row inside the list; the last
// index + 10 at or past the end.
double indexForRow(const std::vector<std::shared_ptr<Delivery>>& deliveries, std::int64_t row);

// The index of a delivery placed above every other one of the list, whatever order the list
// is shown in: the smallest index − 10, or 10 for a list without others. `except` (the
// delivery being placed, which may already be in the list) is not counted.
double indexAboveAll(const std::vector<std::shared_ptr<Delivery>>& deliveries,
                     const Delivery* except);

// Moves the delivery at `from` so that it ends up at `to`. With adjust, a `to` above `from`
// counts the moved row as still in place (the main application's drop rows) and is lowered by
// one. Nothing happens (nullptr) when the rows are equal or either is not in the list; a
// target past the end moves the delivery to the end. The moved delivery gets its new index;
// when the neighbours leave no room for one (equal indexes, or indexes one apart, since the
// store keeps whole numbers), the list is renumbered 10, 20, 30, … first. Answers the moved
// delivery; `deliveries` is the new order.
std::shared_ptr<Delivery> moveDeliveryFromRow(std::vector<std::shared_ptr<Delivery>>& deliveries,
                                              std::int64_t from, std::int64_t to, bool adjust);

}  // namespace qby
