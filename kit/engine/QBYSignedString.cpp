#include "engine/QBYSignedString.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/Date.h"
#include "platform/Log.h"
#include "platform/Paths.h"
#include "platform/Resources.h"
#include "util/OpenSSLPtr.h"

namespace qby {

void QBYPublicKeyDeleter::operator()(EVP_PKEY* key) const {
  EVPPKeyDeleter{}(key);
}

namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// OpenSSL keeps its errors in a per-thread queue; print what this thread collected so that a
// refused update can be diagnosed from the log, and leave the queue empty for the next check.
void logOpenSSLErrors() {
  while (const unsigned long code = ERR_get_error()) {
    std::array<char, 256> message{};
    ERR_error_string_n(code, message.data(), message.size());
    log("%@", message.data());
  }
}

QBYPublicKeyPtr refuseCertificate(QBYCertificateStatus status) {
  log("Certificate is invalid: %u", static_cast<unsigned>(status));
  return nullptr;
}

int base64Value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

bool writeFileDirectly(const std::filesystem::path& path, std::string_view bytes,
                       std::string* error) {
  FilePtr file(std::fopen(path.c_str(), "wb"));
  if (!file) {
    *error = std::strerror(errno);
    return false;
  }
  if (std::fwrite(bytes.data(), 1, bytes.size(), file.get()) != bytes.size() ||
      std::fflush(file.get()) != 0) {
    *error = std::strerror(errno);
    return false;
  }
  if (std::fclose(file.release()) != 0) {
    *error = std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace

QBYSignedString QBYSignedString::signedStringWithString(std::string_view text) {
  return QBYSignedString(std::string(text));
}

std::optional<Data> QBYSignedString::decodeBase64(std::string_view text) {
  Data bytes;
  bytes.reserve(text.size() / 4 * 3 + 3);
  std::uint32_t group = 0;
  int count = 0;
  for (const char c : text) {
    const int value = base64Value(static_cast<unsigned char>(c));
    if (value < 0) continue;
    group = (group << 6) | static_cast<std::uint32_t>(value);
    if (++count == 4) {
      bytes.push_back(static_cast<std::uint8_t>(group >> 16));
      bytes.push_back(static_cast<std::uint8_t>(group >> 8));
      bytes.push_back(static_cast<std::uint8_t>(group));
      group = 0;
      count = 0;
    }
  }
  // Two or three characters left carry one or two bytes (their padding was skipped like any
  // other character); a single one carries less than a byte, so the text was cut short.
  if (count == 1) return std::nullopt;
  if (count == 2) {
    bytes.push_back(static_cast<std::uint8_t>(group >> 4));
  } else if (count == 3) {
    bytes.push_back(static_cast<std::uint8_t>(group >> 10));
    bytes.push_back(static_cast<std::uint8_t>(group >> 2));
  }
  return bytes;
}

QBYPublicKeyPtr QBYSignedString::createPublicKeyFromCertificate(const Data& certificateData) {
  ERR_clear_error();
  if (certificateData.empty() || certificateData.size() > static_cast<std::size_t>(LONG_MAX)) {
    log("Failed to create trust reference");
    return nullptr;
  }
  const unsigned char* cursor = certificateData.data();
  X509Ptr certificate(d2i_X509(nullptr, &cursor, static_cast<long>(certificateData.size())));
  // Bytes after the certificate mean the file is not what it claims to be.
  if (!certificate || cursor != certificateData.data() + certificateData.size()) {
    log("Failed to create trust reference");
    logOpenSSLErrors();
    return nullptr;
  }

  QBYPublicKeyPtr key(X509_get_pubkey(certificate.get()));
  if (!key) {
    logOpenSSLErrors();
    return refuseCertificate(QBYCertificateNoPublicKey);
  }

  // The certificate is its own and only anchor: it must carry a valid signature of its own
  // key, which also catches any change made to it after it was issued.
  const int signatureResult = X509_verify(certificate.get(), key.get());
  if (signatureResult < 0) {
    log("Failed trust evaluation");
    logOpenSSLErrors();
    return refuseCertificate(QBYCertificateUnverifiable);
  }
  if (signatureResult == 0) {
    ERR_clear_error();
    return refuseCertificate(QBYCertificateSignatureInvalid);
  }

  std::time_t now = static_cast<std::time_t>(Date::now().timeIntervalSince1970());
  const int notBefore = X509_cmp_time(X509_get0_notBefore(certificate.get()), &now);
  const int notAfter = X509_cmp_time(X509_get0_notAfter(certificate.get()), &now);
  if (notBefore == 0 || notAfter == 0) {
    ERR_clear_error();
    return refuseCertificate(QBYCertificateDatesUnreadable);
  }
  if (notBefore > 0) return refuseCertificate(QBYCertificateNotYetValid);
  if (notAfter < 0) return refuseCertificate(QBYCertificateExpired);
  return key;
}

bool QBYSignedString::verifyWithSignature(std::string_view base64Signature,
                                          std::string_view certificateName) {
  const auto certificatePath = Resources::pathForResource(certificateName, "cer");
  const auto certificateBytes =
      certificatePath ? Paths::readFile(*certificatePath) : std::optional<std::string>();
  if (!certificateBytes) {
    log("Verification certificate not found: %@", certificateName);
    return false;
  }
  const auto key =
      createPublicKeyFromCertificate(Data(certificateBytes->begin(), certificateBytes->end()));
  if (!key) return false;

  const auto signature = decodeBase64(base64Signature);
  if (!signature) {
    log("Signature is not valid Base64");
    return false;
  }

  ERR_clear_error();
  EVPMDContextPtr context(EVP_MD_CTX_new());
  EVP_PKEY_CTX* keyContext = nullptr;
  // The default provider of the default library context: the system's security level governs
  // TLS only, so SHA-1 signatures still verify here.
  if (!context || EVP_DigestVerifyInit_ex(context.get(), &keyContext, "SHA1", nullptr,
                                          "provider=default", key.get(), nullptr) != 1) {
    logOpenSSLErrors();
    return false;
  }
  if (EVP_PKEY_is_a(key.get(), "RSA") &&
      EVP_PKEY_CTX_set_rsa_padding(keyContext, RSA_PKCS1_PADDING) != 1) {
    logOpenSSLErrors();
    return false;
  }
  const int result =
      EVP_DigestVerify(context.get(), signature->data(), signature->size(),
                       reinterpret_cast<const unsigned char*>(string_.data()), string_.size());
  if (result == 1) {
    verified_ = true;
    return true;
  }
  // 0 is a signature that does not match, an answer rather than a failure of the check.
  if (result < 0)
    logOpenSSLErrors();
  else
    ERR_clear_error();
  return false;
}

bool QBYSignedString::writeToFile(const std::filesystem::path& path, bool atomically,
                                  QBYError* error) const {
  if (!verified_) {
    setError(error, QBYError::make(
                        QBYSignedStringErrorDomain, QBYSignedStringErrorNotVerified,
                        "The file could not be written because the data has not been verified."));
    return false;
  }
  std::string cause;
  const bool written = atomically ? Paths::writeFileAtomically(path, string_, &cause)
                                  : writeFileDirectly(path, string_, &cause);
  if (!written) {
    setError(error, QBYError::make(QBYSignedStringErrorDomain, QBYSignedStringErrorWriteFailed,
                                   cause.empty() ? "The file could not be written." : cause,
                                   Dictionary{{"path", Value(path.string())}}));
  }
  return written;
}

}  // namespace qby
