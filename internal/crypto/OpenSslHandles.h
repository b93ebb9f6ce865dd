#pragma once

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <memory>

#include "platform/auto_handle.h"

// Owners of OpenSSL's objects, each released with OpenSSL's own function,
// so no object is freed by hand on any path.
using BioPtr = std::unique_ptr<BIO, FnDeleter<BIO_free_all>>;
using X509Ptr = std::unique_ptr<X509, FnDeleter<X509_free>>;
using X509StorePtr = std::unique_ptr<X509_STORE, FnDeleter<X509_STORE_free>>;
using X509ExtensionPtr =
    std::unique_ptr<X509_EXTENSION, FnDeleter<X509_EXTENSION_free>>;
using Pkcs12Ptr = std::unique_ptr<PKCS12, FnDeleter<PKCS12_free>>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, FnDeleter<EVP_PKEY_free>>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, FnDeleter<EVP_PKEY_CTX_free>>;
using MdPtr = std::unique_ptr<EVP_MD, FnDeleter<EVP_MD_free>>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, FnDeleter<EVP_MD_CTX_free>>;
using MacPtr = std::unique_ptr<EVP_MAC, FnDeleter<EVP_MAC_free>>;
using MacCtxPtr = std::unique_ptr<EVP_MAC_CTX, FnDeleter<EVP_MAC_CTX_free>>;
using CipherCtxPtr =
    std::unique_ptr<EVP_CIPHER_CTX, FnDeleter<EVP_CIPHER_CTX_free>>;
using SslCtxPtr = std::unique_ptr<SSL_CTX, FnDeleter<SSL_CTX_free>>;
using SslPtr = std::unique_ptr<SSL, FnDeleter<SSL_free>>;

// A stack of certificates, the certificates freed with it.
inline void FreeCertStack(STACK_OF(X509) * certs) {
  sk_X509_pop_free(certs, X509_free);
}
using CertStackPtr = std::unique_ptr<STACK_OF(X509), FnDeleter<FreeCertStack>>;

// Leaves the thread's OpenSSL error queue, for the scope's life, as it was
// found: failures are reported by result, and stale entries would confuse
// the next TLS user of the thread.
class ErrorQueueScope {
 public:
  ErrorQueueScope() { ERR_set_mark(); }
  ~ErrorQueueScope() { ERR_pop_to_mark(); }
  ErrorQueueScope(const ErrorQueueScope&) = delete;
  ErrorQueueScope& operator=(const ErrorQueueScope&) = delete;
};
