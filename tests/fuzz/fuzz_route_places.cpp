// A tracking line's place text and route as a service reports them, turned into the route
// map's place names, cache keys and the retry text: every name must be non-blank, no name may
// repeat the one before it (after the line's own place), keys must be valid lower-cased UTF-8,
// and the retry text is never longer than the text.
//
// Input: the place text, a NUL byte, then the route (";"-separated stops).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "manager/QBYRoutePlaces.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t split = input.find('\0');
  const std::string_view location = input.substr(0, split);
  const std::string_view route =
      split == std::string_view::npos ? std::string_view() : input.substr(split + 1);

  const auto names = qby::QBYPlaceNamesForDetail(location, route);
  for (std::size_t i = 0; i < names.size(); ++i) {
    FUZZ_CHECK(names[i].find_first_not_of(" \t\r\n") != std::string::npos, names[i]);
    FUZZ_CHECK(names[i].find(';') == std::string::npos || i == 0, names[i]);
    if (i >= 2) FUZZ_CHECK(names[i] != names[i - 1], names[i]);
    const std::string tag = qby::QBYPlaceLookupTag(names[i], route.substr(0, 40));
    FUZZ_CHECK(qby::fuzz::isValidUTF8(tag), tag);
    FUZZ_CHECK(qby::QBYLowercasePlaceText(tag) == tag, tag);
  }
  const std::string retry = qby::QBYPlaceTextWithoutPostalCode(location);
  FUZZ_CHECK(qby::fuzz::isValidUTF8(retry), retry);
  if (qby::fuzz::isValidUTF8(location)) FUZZ_CHECK(retry.size() <= location.size(), retry);
  return 0;
}
