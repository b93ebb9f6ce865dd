#pragma once

#include <openssl/x509.h>

#include <memory>
#include <string>

// CaStore: the certificates of one CA bundle file as one parsed X509_STORE,
// shared by every TLS connection that trusts that file. Immutable once
// made; OpenSSL locks the store's own lookups.
// Tests: tests/platform/TQLibCurl_test.cpp
class CaStore {
 public:
  ~CaStore();
  CaStore(const CaStore&) = delete;
  CaStore& operator=(const CaStore&) = delete;

  // The store, owned by this object; X509_STORE_up_ref it before handing it
  // to an SSL_CTX (SSL_CTX_set_cert_store takes a reference).
  X509_STORE* store() const noexcept { return m_store; }
  const std::string& path() const noexcept { return m_path; }
  int certificateCount() const noexcept { return m_count; }

  // GetCaStore: the store for the file at path as it is now. A file is
  // parsed once and its store reused while its device, inode, size,
  // modification and change times stay the same; a changed file is parsed
  // anew (connections made before keep the store they verified with).
  // False, with a reason in outError (no secret: paths and OpenSSL's words
  // only), for a file that cannot be opened, is not a regular file, is
  // larger than 16 MiB or holds no PEM certificate.
  static bool Get(const std::string& path, std::shared_ptr<const CaStore>& out,
                  std::string& outError);

  // SystemBundle: the system's CA bundle file: libcurl's built-in CA file,
  // else OpenSSL's default certificate file.
  static const std::string& SystemBundle();

 private:
  CaStore() = default;
  X509_STORE* m_store = nullptr;
  std::string m_path;
  int m_count = 0;
};
