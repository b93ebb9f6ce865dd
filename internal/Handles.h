#pragma once

#include <curl/curl.h>
#include <dirent.h>
#include <netdb.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sqlite3.h>

#include <memory>

#include "platform/auto_handle.h"

// The owner of every kind of C handle the library, its tools, tests and
// benchmarks hold: std::unique_ptr with the C library's own free function,
// one alias per handle type, so no handle is released by hand on any path
// and no file states a deleter of its own.

// libcurl
using CurlPtr = std::unique_ptr<CURL, FnDeleter<curl_easy_cleanup>>;
using SlistPtr = std::unique_ptr<curl_slist, FnDeleter<curl_slist_free_all>>;
// Text libcurl allocated (curl_easy_escape and the like).
using CurlTextPtr = std::unique_ptr<char, FnDeleter<curl_free>>;

// SQLite
using DatabasePtr = std::unique_ptr<sqlite3, FnDeleter<sqlite3_close>>;
using StatementPtr = std::unique_ptr<sqlite3_stmt, FnDeleter<sqlite3_finalize>>;

// OpenSSL
using BioPtr = std::unique_ptr<BIO, FnDeleter<BIO_free_all>>;
using X509Ptr = std::unique_ptr<X509, FnDeleter<X509_free>>;
using X509ExtensionPtr =
    std::unique_ptr<X509_EXTENSION, FnDeleter<X509_EXTENSION_free>>;
using Pkcs12Ptr = std::unique_ptr<PKCS12, FnDeleter<PKCS12_free>>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, FnDeleter<EVP_PKEY_free>>;
using MdPtr = std::unique_ptr<EVP_MD, FnDeleter<EVP_MD_free>>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, FnDeleter<EVP_MD_CTX_free>>;
using MacPtr = std::unique_ptr<EVP_MAC, FnDeleter<EVP_MAC_free>>;
using MacCtxPtr = std::unique_ptr<EVP_MAC_CTX, FnDeleter<EVP_MAC_CTX_free>>;
using CipherCtxPtr =
    std::unique_ptr<EVP_CIPHER_CTX, FnDeleter<EVP_CIPHER_CTX_free>>;

// A stack of certificates, the certificates freed with it.
inline void FreeCertStack(STACK_OF(X509) * certs) {
  sk_X509_pop_free(certs, X509_free);
}
using CertStackPtr = std::unique_ptr<STACK_OF(X509), FnDeleter<FreeCertStack>>;

// POSIX
using DirPtr = std::unique_ptr<DIR, FnDeleter<closedir>>;
using AddrInfoPtr = std::unique_ptr<addrinfo, FnDeleter<freeaddrinfo>>;

// TLS
using SslCtxPtr = std::unique_ptr<SSL_CTX, FnDeleter<SSL_CTX_free>>;
using SslPtr = std::unique_ptr<SSL, FnDeleter<SSL_free>>;

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
