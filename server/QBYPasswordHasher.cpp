#include "QBYPasswordHasher.h"

#include <sodium.h>

#include <vector>

namespace qby::server {

QBYPasswordHasher::QBYPasswordHasher(Strength strength)
    : opsLimit_(strength == Strength::Interactive ? crypto_pwhash_OPSLIMIT_INTERACTIVE
                                                  : crypto_pwhash_OPSLIMIT_MIN),
      memLimit_(strength == Strength::Interactive ? crypto_pwhash_MEMLIMIT_INTERACTIVE
                                                  : crypto_pwhash_MEMLIMIT_MIN) {}

bool QBYPasswordHasher::initialize() {
  return sodium_init() >= 0;
}

std::optional<std::string> QBYPasswordHasher::hash(const std::string& password) const {
  char out[crypto_pwhash_STRBYTES];
  if (crypto_pwhash_str_alg(out, password.data(), password.size(), opsLimit_, memLimit_,
                            crypto_pwhash_ALG_ARGON2ID13) != 0)
    return std::nullopt;
  return std::string(out);
}

bool QBYPasswordHasher::verify(const std::string& hash, const std::string& password) const {
  if (hash.empty() || hash.size() >= crypto_pwhash_STRBYTES) return false;
  return crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}

std::string QBYPasswordHasher::randomToken(size_t bytes) {
  std::vector<unsigned char> random(bytes);
  randombytes_buf(random.data(), random.size());
  std::string hex(bytes * 2 + 1, '\0');
  sodium_bin2hex(hex.data(), hex.size(), random.data(), random.size());
  hex.pop_back();
  return hex;
}

std::string QBYPasswordHasher::digest(const std::string& token) {
  unsigned char out[crypto_generichash_BYTES];
  crypto_generichash(out, sizeof out, reinterpret_cast<const unsigned char*>(token.data()),
                     token.size(), nullptr, 0);
  char hex[crypto_generichash_BYTES * 2 + 1];
  sodium_bin2hex(hex, sizeof hex, out, sizeof out);
  return hex;
}

}  // namespace qby::server
