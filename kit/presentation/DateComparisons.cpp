#include "presentation/DateComparisons.h"

namespace qby {

bool dateIsEqualToDate(const std::optional<Date>& date, const std::optional<Date>& other) {
  if (!date || !other) return !date && !other;
  return *date == *other;
}

bool isEarlierThan(const std::optional<Date>& date, const std::optional<Date>& other) {
  return date && other && *date < *other;
}

bool isEarlierThanOrEqualTo(const std::optional<Date>& date, const std::optional<Date>& other) {
  return date && other && *date <= *other;
}

bool isLaterThan(const std::optional<Date>& date, const std::optional<Date>& other) {
  return date && other && *date > *other;
}

bool isLaterThanOrEqualTo(const std::optional<Date>& date, const std::optional<Date>& other) {
  return date && other && *date >= *other;
}

}  // namespace qby
