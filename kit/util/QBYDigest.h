// Digests of texts: SHA-256, as the services file and the sync service compare them (the digest
// of a text's UTF-8 bytes written as 64 lower-case hexadecimal digits), and MD5, the settings
// hash of a delivery (32 digits).
//
// Pure functions; any thread may call them.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qby {

// The digest of the text's bytes, each byte as "%02x". Nothing when the text is absent or the
// digest cannot be computed (the cause is logged).
std::optional<std::string> QBYSHA256Hash(const std::optional<std::string>& text);
std::optional<std::string> QBYSHA256Hash(std::string_view text);

// True when the text's digest equals the given hexadecimal digest (upper- or lower-case
// digits). False when the text is absent or has no digest.
bool QBYVerifySHA256Hash(const std::optional<std::string>& text, std::string_view hexDigest);

// MD5 of the UTF-8 bytes as 32 lower-case hexadecimal digits; empty when the digest cannot be
// computed (the cause is logged).
std::string md5HexDigest(std::string_view text);

}  // namespace qby
