#pragma once

#include <openssl/evp.h>

#include <string>

#include "internal/crypto/OpenSslHandles.h"

// CertificateFile: what a certificate credential's file holds, parsed one
// way for the signer, for `tqcloudauth credential add` and for doctor. The
// file is PEM (certificates and the private key in one file; the key plain,
// PKCS#8-encrypted or traditionally encrypted with the password) or PKCS#12
// DER (an empty password means none and also opens a file without a MAC).
// Tests: tests/internal/RsaSigner_test.cpp

// The largest certificate file read: far above any certificate with its
// chain and key.
inline constexpr size_t kMaxCertificateFileBytes = 1024 * 1024;

// What keeps a certificate file from signing assertions.
enum class CertificateProblem {
  kNone,
  kNoCertificate,  // no certificate (PEM, or PKCS#12 that opens)
  kNoKey,          // no private key that opens with the password
  kNotRsa,         // the key is not RSA
  kKeyMismatch,    // the key does not belong to the certificate
};

// CertificateProblemText: the problem for people, naming no option of any
// program: "no certificate found (PEM, or PKCS#12 with the right password)",
// "no private key that opens with the given password", "the private key is
// not an RSA key", "the private key does not belong to the certificate".
const char* CertificateProblemText(CertificateProblem problem) noexcept;

struct CertificateFile {
  X509Ptr certificate;  // the PEM's first, or the PKCS#12's own
  PkeyPtr key;          // null when no key opens with the password

  // Parse: the certificate and key of a file's bytes (size bytes at data).
  // Only the key needs the password; a PEM certificate is found without it.
  // The OpenSSL error queue is left as it was found.
  static CertificateFile Parse(const char* data, size_t size,
                               const std::string& password);

  // Check: kNone when it holds a certificate and an RSA key that belongs to
  // it; the first problem otherwise.
  CertificateProblem Check() const;
};

// Thumbprint: the digest (EVP_sha1() for "x5t", EVP_sha256() for
// "x5t#S256") of cert's DER form: its raw bytes; "" when it cannot be made.
std::string Thumbprint(X509* cert, const EVP_MD* md);

// ThumbprintHex: Thumbprint in lower-case hex, as a stored credential keeps
// the SHA-1 one.
std::string ThumbprintHex(X509* cert, const EVP_MD* md);
