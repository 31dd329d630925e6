#include "manager/QBYManualOrder.h"

#include <cmath>
#include <optional>

#include "model/Delivery.h"

namespace qby {
namespace {

constexpr double kStep = 10;

// The index as the record keeps it (a whole number); nothing when it does not fit one.
std::optional<std::int64_t> storedIndex(double index) {
  const double whole = std::floor(index);
  // 2^63 as a double: the first value past the stored range.
  constexpr double kLimit = 9223372036854775808.0;
  if (!std::isfinite(whole) || whole >= kLimit || whole < -kLimit) return std::nullopt;
  return static_cast<std::int64_t>(whole);
}

// Whether the index, as stored, falls strictly between the neighbours of the row.
bool fitsAtRow(const std::vector<std::shared_ptr<Delivery>>& deliveries, std::size_t row,
               std::optional<std::int64_t> index) {
  if (!index) return false;
  if (row > 0 && *index <= deliveries[row - 1]->manualSortIndex()) return false;
  if (row < deliveries.size() && *index >= deliveries[row]->manualSortIndex()) return false;
  return true;
}

}  // namespace

double indexForRow(const std::vector<std::shared_ptr<Delivery>>& deliveries, std::int64_t row) {
  if (deliveries.empty()) return kStep;
  if (row <= 0) return static_cast<double>(deliveries.front()->manualSortIndex()) - kStep;
  const auto count = static_cast<std::int64_t>(deliveries.size());
  if (row >= count) return static_cast<double>(deliveries.back()->manualSortIndex()) + kStep;
  const auto above =
      static_cast<double>(deliveries[static_cast<std::size_t>(row - 1)]->manualSortIndex());
  const auto below =
      static_cast<double>(deliveries[static_cast<std::size_t>(row)]->manualSortIndex());
  return (above + below) / 2;
}

double indexAboveAll(const std::vector<std::shared_ptr<Delivery>>& deliveries,
                     const Delivery* except) {
  std::optional<std::int64_t> smallest;
  for (const auto& delivery : deliveries) {
    if (!delivery || delivery.get() == except) continue;
    const auto index = delivery->manualSortIndex();
    if (!smallest || index < *smallest) smallest = index;
  }
  return smallest ? static_cast<double>(*smallest) - kStep : kStep;
}

std::shared_ptr<Delivery> moveDeliveryFromRow(std::vector<std::shared_ptr<Delivery>>& deliveries,
                                              std::int64_t from, std::int64_t to, bool adjust) {
  const auto count = static_cast<std::int64_t>(deliveries.size());
  if (from == to || from == QBYRowNotFound || to == QBYRowNotFound) return nullptr;
  if (from < 0 || from >= count || to < 0) return nullptr;

  std::int64_t target = adjust && from < to ? to - 1 : to;
  auto list = deliveries;
  auto delivery = list[static_cast<std::size_t>(from)];
  list.erase(list.begin() + from);
  if (target > static_cast<std::int64_t>(list.size()))
    target = static_cast<std::int64_t>(list.size());
  const auto row = static_cast<std::size_t>(target);

  auto index = storedIndex(indexForRow(list, target));
  if (!fitsAtRow(list, row, index)) {
    // The neighbours are equal or one apart: spread the list out again so that the moved
    // delivery gets a place of its own instead of sharing one with a neighbour.
    for (std::size_t i = 0; i < list.size(); ++i)
      list[i]->setManualSortIndex(static_cast<std::int64_t>((i + 1) * kStep));
    index = storedIndex(indexForRow(list, target));
  }
  delivery->setManualSortIndex(index.value_or(0));
  list.insert(list.begin() + target, delivery);
  deliveries = std::move(list);
  return delivery;
}

}  // namespace qby
