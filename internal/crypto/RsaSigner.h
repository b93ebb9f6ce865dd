#pragma once

#include <openssl/evp.h>
#include <sys/types.h>

#include <ctime>
#include <functional>
#include <memory>
#include <string>

#include "internal/crypto/OpenSslHandles.h"
#include "platform/auto_handle.h"

// RsaSigner: RS256 signatures (RSASSA-PKCS1-v1_5 with SHA-256) with the RSA
// private key of a certificate file, which is either PEM (certificate and
// key in one file; the key plain, PKCS#8 encrypted or traditionally
// encrypted with the password) or PKCS#12 DER (an empty password means none
// and also opens a file without a MAC). The key is read and parsed once and
// kept; it is read again when the file changes (device, inode, size,
// modification or change time), when another file or another password is
// given. The password itself is not kept: only a salted SHA-256 of it, to
// notice a different one. Not thread-safe: one caller at a time, like the
// HTTP client that holds it.
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
            const std::string& password, unsigned char* signature,
            unsigned int& length);

  // The number of times a key was read and parsed; for tests.
  unsigned long LoadCount() const noexcept { return m_loads; }

 private:
  struct FileId {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    timespec changed{};
  };
  static constexpr size_t kSaltSize = 16;
  static constexpr size_t kHashSize = 32;

  bool EnsureKey(const std::string& file, const std::string& password);
  bool Load(const std::string& file, const std::string& password);
  bool HashPassword(const std::string& password,
                    unsigned char (&out)[kHashSize]) const;

  FileOpener m_opener;
  PkeyPtr m_key;
  std::string m_file;
  FileId m_id;
  unsigned char m_salt[kSaltSize] = {};
  unsigned char m_passwordHash[kHashSize] = {};
  unsigned long m_loads = 0;
};
