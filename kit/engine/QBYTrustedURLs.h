// The programs that may read a keyring item without asking the user.
//
// The Secret Service keeps no per-program access lists: once the user's collection is
// unlocked, any program running in the user's session may read its items, and while it is
// locked none may. So there is no list to build and the answer is always nil; the operation is
// kept so that the password store reads like its counterparts on keychains that have such
// lists.
//
// Any thread.
#pragma once

#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

namespace qby {

class QBYTrustedURLs {
 public:
  QBYTrustedURLs() = delete;

  // Always nil (see above).
  static std::optional<std::vector<std::filesystem::path>> trustedURLsForSecureItem(
      std::string_view label);
};

}  // namespace qby
