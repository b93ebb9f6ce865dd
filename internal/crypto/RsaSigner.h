#pragma once

#include <openssl/evp.h>

#include <functional>
#include <mutex>
#include <string>

#include "internal/crypto/OpenSslHandles.h"
#include "internal/io/FileReader.h"
#include "platform/auto_handle.h"

// The RSA signature schemes of JWS (RFC 7518 3.3, 3.5).
enum class RsaScheme {
  kPkcs1Sha256,  // RS256: RSASSA-PKCS1-v1_5 with SHA-256
  kPssSha256,    // PS256: RSASSA-PSS, SHA-256, MGF1 with SHA-256, salt 32
};

// RsaSigner: signatures with the RSA private key of a certificate file (as
// CertificateFile reads it: PEM, or PKCS#12 DER). The key is read and
// parsed once and kept; it is read again when the file changes (its
// FileIdentity), when another file or another password is given. The
// password itself is not kept: only a salted SHA-256 of it, to notice a
// different one. Any number of threads may sign at once: the key is looked
// up under the signer's lock, and each signature is made outside it.
// The owner may give the way certificate files are opened (the HTTP client
// opens those under the home through the home's checks).
// Tests: tests/internal/RsaSigner_test.cpp
class RsaSigner {
 public:
  // FileOpener: opens path for reading into out; false when it cannot or
  // must not be read.
  using FileOpener =
      std::function<bool(const std::string& path, auto_handle& out)>;

  // Without an opener, files are opened without blocking (a FIFO is then
  // refused by the regular-file check, never waited on).
  RsaSigner();
  explicit RsaSigner(FileOpener opener);
  ~RsaSigner();
  RsaSigner(const RsaSigner&) = delete;
  RsaSigner& operator=(const RsaSigner&) = delete;

  // Sign: true with the signature of data in signature[0, length) and its
  // byte count in length. False, with signature and length untouched, for a
  // null buffer, a file that is missing, unreadable, too large or neither
  // PEM nor PKCS#12, a wrong password, a file without a private key, a key
  // that is not RSA, or a signature longer than length. The OpenSSL error
  // queue is left as it was found.
  bool Sign(const std::string& certificateFile, const std::string& data,
            const std::string& password, RsaScheme scheme,
            unsigned char* signature, unsigned int& length);

  // The number of times a key was read and parsed; for tests.
  unsigned long LoadCount() const;

 private:
  static constexpr size_t kSaltSize = 16;
  static constexpr size_t kHashSize = 32;

  // The key for file and password, read when needed; under m_mutex.
  PkeyPtr KeyFor(const std::string& file, const std::string& password);
  bool Load(const std::string& file, const std::string& password);
  bool HashPassword(const std::string& password,
                    unsigned char (&out)[kHashSize]) const;

  const FileOpener m_opener;
  mutable std::mutex m_mutex;
  PkeyPtr m_key;
  std::string m_file;
  FileIdentity m_id;
  unsigned char m_salt[kSaltSize] = {};
  unsigned char m_passwordHash[kHashSize] = {};
  unsigned long m_loads = 0;
};
