// A text that is trusted only after its signature checked out against a certificate shipped
// with the library. Service updates replace the services script with downloaded text, so that
// text is written to disk only once it carries a valid signature of the vendor's key.
//
// The check: the certificate resource (an X.509 certificate in DER form, "<name>.cer") must
// be self-signed with its own key and within its validity period; the signature (Base64,
// characters outside the Base64 alphabet are ignored, so line breaks do no harm) must be an
// RSA PKCS #1 v1.5 signature with SHA-1 over the text's UTF-8 bytes.
//
// A certificate that fails the check is logged as "Certificate is invalid: <code>" with one of
// the QBYCertificateStatus codes below; OpenSSL's own errors are printed to the console.
//
// A value type. One instance belongs to one thread at a time; the class operations may be
// called from any thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/QBYError.h"
#include "platform/Value.h"

typedef struct evp_pkey_st EVP_PKEY;

namespace qby {

inline constexpr const char* QBYSignedStringErrorDomain = "com.quillbay.signedstring";
// writeToFile on a text whose signature has not been verified.
inline constexpr std::int64_t QBYSignedStringErrorNotVerified = 100;
// writeToFile could not write the file; the description gives the cause.
inline constexpr std::int64_t QBYSignedStringErrorWriteFailed = 101;

// Why a certificate was refused (the number in "Certificate is invalid: %u").
enum QBYCertificateStatus : unsigned {
  QBYCertificateSignatureInvalid = 1,  // not signed by its own key (altered, or issued by another)
  QBYCertificateUnverifiable = 2,      // its signature could not be checked at all
  QBYCertificateNotYetValid = 3,       // before its "not before" time
  QBYCertificateExpired = 4,           // after its "not after" time
  QBYCertificateDatesUnreadable = 5,   // validity times that cannot be compared
  QBYCertificateNoPublicKey = 6,       // no public key that can be used
};

struct QBYPublicKeyDeleter {
  void operator()(EVP_PKEY* key) const;
};
using QBYPublicKeyPtr = std::unique_ptr<EVP_PKEY, QBYPublicKeyDeleter>;

class QBYSignedString {
 public:
  // A copy of the text, not verified.
  static QBYSignedString signedStringWithString(std::string_view text);

  const std::string& string() const { return string_; }
  bool verified() const { return verified_; }

  // Checks the Base64 signature of the text against the certificate resource of that name
  // (extension "cer"). Answers true and marks the text verified only when the signature is
  // valid; any failure answers false and leaves the text unverified.
  bool verifyWithSignature(std::string_view base64Signature, std::string_view certificateName);

  // Writes the text (UTF-8) to the file, atomically when asked, only once it is verified.
  // Unverified: writes nothing and gives the error QBYSignedStringErrorDomain / 100. A failed
  // write gives an error with the cause; a failed atomic write leaves the old file as it was.
  bool writeToFile(const std::filesystem::path& path, bool atomically, QBYError* error) const;

  // The public key of a DER certificate that passes the certificate check above, or nothing
  // (the reason is logged).
  static QBYPublicKeyPtr createPublicKeyFromCertificate(const Data& certificate);

  // Base64 decoding that skips every character outside the alphabet "A-Za-z0-9+/" (padding
  // included). Nothing when the remaining characters cannot form whole bytes (one character
  // left over).
  static std::optional<Data> decodeBase64(std::string_view text);

 private:
  explicit QBYSignedString(std::string text) : string_(std::move(text)) {}

  std::string string_;
  bool verified_ = false;
};

}  // namespace qby
