// Account passwords as Argon2id strings (libsodium's crypto_pwhash_str), which carry their own
// salt and limits, so a later change of limits still verifies older hashes. Also the random
// client identifiers and login codes, and the digests under which codes are stored: a code is
// as good as a password while it lives, so the database holds only its digest.
//
// Thread rule: any thread (libsodium is initialised once, before the first use).
#pragma once

#include <optional>
#include <string>

namespace qby::server {

class QBYPasswordHasher {
 public:
  enum class Strength {
    Interactive,  // libsodium's interactive limits: what the server uses
    Minimum,      // the smallest limits: for tests only, so they stay fast
  };
  explicit QBYPasswordHasher(Strength strength = Strength::Interactive);

  // False when libsodium cannot start; nothing else here works then.
  static bool initialize();

  // Nothing when hashing failed (out of memory).
  std::optional<std::string> hash(const std::string& password) const;
  bool verify(const std::string& hash, const std::string& password) const;

  // `bytes` random bytes as lower-case hexadecimal.
  static std::string randomToken(size_t bytes = 16);
  // A keyed-free BLAKE2b digest (hexadecimal) of a high-entropy token.
  static std::string digest(const std::string& token);

 private:
  unsigned long long opsLimit_;
  size_t memLimit_;
};

}  // namespace qby::server
