// Comparisons of dates that may be absent, so callers can compare stored optional dates
// without unwrapping them first. Pure functions; any thread.
#pragma once

#include <optional>

#include "platform/Date.h"

namespace qby {

// True when both are absent or both are the same moment; false when only one is absent.
bool dateIsEqualToDate(const std::optional<Date>& date, const std::optional<Date>& other);

// Ordering of the date against the other. An absent date on either side is neither earlier
// nor later than anything, so each of these answers false for it.
bool isEarlierThan(const std::optional<Date>& date, const std::optional<Date>& other);
bool isEarlierThanOrEqualTo(const std::optional<Date>& date, const std::optional<Date>& other);
bool isLaterThan(const std::optional<Date>& date, const std::optional<Date>& other);
bool isLaterThanOrEqualTo(const std::optional<Date>& date, const std::optional<Date>& other);

}  // namespace qby
