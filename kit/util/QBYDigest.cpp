#include "util/QBYDigest.h"

#include <openssl/err.h>
#include <openssl/evp.h>

#include <array>

#include "platform/Log.h"

namespace qby {

namespace {

// The digest's bytes as lower-case hexadecimal digits; nothing (and a log line naming the
// digest) when OpenSSL cannot compute it.
std::optional<std::string> hexDigest(const EVP_MD* type, const char* name, std::string_view text) {
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int length = 0;
  if (EVP_Digest(text.data(), text.size(), digest.data(), &length, type, nullptr) != 1) {
    std::array<char, 256> message{};
    ERR_error_string_n(ERR_get_error(), message.data(), message.size());
    log("Error computing %@ digest: %@", std::string(name), message.data());
    return std::nullopt;
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(length * 2);
  for (unsigned int i = 0; i < length; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 0x0f];
  }
  return hex;
}

}  // namespace

std::optional<std::string> QBYSHA256Hash(std::string_view text) {
  return hexDigest(EVP_sha256(), "SHA-256", text);
}

std::optional<std::string> QBYSHA256Hash(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  return QBYSHA256Hash(std::string_view(*text));
}

bool QBYVerifySHA256Hash(const std::optional<std::string>& text, std::string_view hexDigest) {
  const auto digest = QBYSHA256Hash(text);
  if (!digest || digest->size() != hexDigest.size()) return false;
  for (std::size_t i = 0; i < hexDigest.size(); ++i) {
    char c = hexDigest[i];
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    if (c != (*digest)[i]) return false;
  }
  return true;
}

std::string md5HexDigest(std::string_view text) {
  return hexDigest(EVP_md5(), "MD5", text).value_or("");
}

}  // namespace qby
