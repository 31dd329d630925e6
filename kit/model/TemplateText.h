// Filling a tracking line's text template: the services write "Delivered %@" and the program
// puts a phrased date where the "%@" stands. Pure functions; any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qby {

// The template split at "%@": the first part, the date (when given), the second part; text
// after a second placeholder is dropped. A template without placeholder comes back as it is.
// *usedDate tells whether the date was put in.
std::string stringWithDate(std::string_view templateText, const std::optional<std::string>& date,
                           bool* usedDate = nullptr);

}  // namespace qby
