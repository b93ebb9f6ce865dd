#pragma once

// Keys and certificates made with OpenSSL at run time, for the local token
// endpoint (its own TLS certificate) and for the tests (their CA, servers and
// client credentials). Every function throws std::runtime_error, with
// OpenSSL's reason, when OpenSSL or the file system fails.

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>
#include <vector>

#include "internal/crypto/OpenSslHandles.h"

namespace tqpki {

// GenerateRsaKey: a new RSA key of the given size; never null.
PkeyPtr GenerateRsaKey(unsigned int bits = 2048);
// GenerateEcKey: a new P-256 key; never null.
PkeyPtr GenerateEcKey();

// What a certificate to issue says: its subject, its subject alternative
// names, whether it is a CA, and when it is valid (from now plus
// notBeforeOffsetSeconds, for validSeconds).
struct CertificateFields {
  std::string commonName;
  std::vector<std::string> dnsNames;
  std::vector<std::string> ipAddresses;
  bool isCa = false;
  long notBeforeOffsetSeconds = -3600;
  long validSeconds = 24 * 3600;
};

// IssueCertificate: an X.509 v3 certificate for subjectKey, signed with
// SHA-256 by issuerKey under issuer's name; self-signed when issuer is null.
// Never null.
X509Ptr IssueCertificate(const CertificateFields& certFields,
                         EVP_PKEY* subjectKey, X509* issuer,
                         EVP_PKEY* issuerKey);

// CertToPem: the certificate as one PEM block.
std::string CertToPem(X509* cert);
// KeyToPem: PKCS#8 PEM; encrypted with AES-256-CBC when password is not
// empty.
std::string KeyToPem(EVP_PKEY* key, const std::string& password = "");
// ToPkcs12: PKCS#12 (DER) holding key and certificate, protected by password.
std::string ToPkcs12(EVP_PKEY* key, X509* cert, const std::string& password);

// WriteFile: replaces path with content, created with exactly mode (less the
// umask): an existing file is removed first so that its old mode cannot
// survive. Throws when the file cannot be created or fully written; a partly
// written file is removed.
void WriteFile(const std::string& path, const std::string& content,
               unsigned int mode = 0600);
// ReadFile: the whole file; an empty text when it cannot be read.
std::string ReadFile(const std::string& path);

struct ServerPki {
  std::string caFile;    // dir/ca.pem, the certificate clients trust
  std::string certFile;  // dir/server.pem
  std::string keyFile;   // dir/server.key, mode 0600
};

// GenerateServerPki: a new CA and a server certificate for "localhost" and
// 127.0.0.1 issued by it, written into dir (which must exist). The CA's key
// is never written: nobody can issue more certificates under it.
ServerPki GenerateServerPki(const std::string& dir);

}  // namespace tqpki
