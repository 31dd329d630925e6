// The string hash used where texts are compared by hash: settings equality and the change
// text of the delivery timeline. FNV-1a over the UTF-8 bytes: the same text gives the same
// number in every process and on every run, which the timeline's readers rely on.
#pragma once

#include <cstdint>
#include <string_view>

namespace qby {

constexpr std::uint64_t stringHash(std::string_view text) {
  std::uint64_t hash = 14695981039346656037ull;
  for (const char c : text) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211ull;
  }
  return hash;
}

}  // namespace qby
