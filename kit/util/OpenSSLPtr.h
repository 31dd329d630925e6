// Owning pointers for OpenSSL objects: digests' contexts, certificates, keys and I/O streams.
// Only the digests, the signature checks and their tests include this header; the public
// headers hand on no OpenSSL type.
//
// Threads: any; each owner is a plain value.
#pragma once

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>

namespace qby {

struct EVPMDContextDeleter {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using EVPMDContextPtr = std::unique_ptr<EVP_MD_CTX, EVPMDContextDeleter>;

struct X509Deleter {
  void operator()(X509* certificate) const { X509_free(certificate); }
};
using X509Ptr = std::unique_ptr<X509, X509Deleter>;

struct EVPPKeyDeleter {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using EVPPKeyPtr = std::unique_ptr<EVP_PKEY, EVPPKeyDeleter>;

struct BIODeleter {
  void operator()(BIO* bio) const { BIO_free_all(bio); }
};
using BIOPtr = std::unique_ptr<BIO, BIODeleter>;

}  // namespace qby
