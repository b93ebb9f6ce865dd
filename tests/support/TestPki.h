#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/UniqueHandle.h"

namespace tqtest {

using PkeyPtr = std::unique_ptr<EVP_PKEY, FnDeleter<EVP_PKEY_free>>;
using X509Ptr = std::unique_ptr<X509, FnDeleter<X509_free>>;

PkeyPtr GenerateRsaKey(unsigned int bits = 2048);
PkeyPtr GenerateEcKey();

struct CertSpec {
  std::string commonName;
  std::vector<std::string> dnsNames;
  std::vector<std::string> ipAddresses;
  bool isCa = false;
  long notBeforeOffsetSeconds = -3600;
  long validSeconds = 24 * 3600;
};

// Issues a certificate for subjectKey; self-signed when issuer is null.
X509Ptr IssueCertificate(const CertSpec& spec, EVP_PKEY* subjectKey,
                         X509* issuer, EVP_PKEY* issuerKey);

std::string CertToPem(X509* cert);
// PKCS#8 PEM; encrypted with AES-256-CBC when password is not empty.
std::string KeyToPem(EVP_PKEY* key, const std::string& password = "");
// PKCS#12 (DER) holding key and certificate, protected by password.
std::string ToPkcs12(EVP_PKEY* key, X509* cert, const std::string& password);
// SHA-1 fingerprint of the DER certificate, lower-case hex.
std::string Sha1ThumbprintHex(X509* cert);

void WriteFile(const std::string& path, const std::string& content,
               unsigned int mode = 0600);
std::string ReadFile(const std::string& path);

struct KeyPair {
  std::string certFile;
  std::string keyFile;
};

// A test PKI in dir: a CA (ca.pem) and a server certificate for localhost and
// 127.0.0.1 issued by it, plus on request the bad cases a client must refuse.
class TestPki {
 public:
  explicit TestPki(const std::string& dir);

  const std::string& caFile() const { return m_caFile; }
  const KeyPair& server() const { return m_server; }

  // A server certificate for localhost/127.0.0.1 from a CA nobody trusts.
  KeyPair UnknownCaServer();
  // A server certificate from our CA, but for another host name.
  KeyPair WrongHostServer();
  // Issues from our CA and writes "<name>.pem"/"<name>.key".
  KeyPair Issue(const std::string& name, const CertSpec& spec,
                EVP_PKEY* key = nullptr);

  EVP_PKEY* caKey() const { return m_caKey.get(); }
  X509* caCert() const { return m_caCert.get(); }

 private:
  std::string m_dir;
  PkeyPtr m_caKey;
  X509Ptr m_caCert;
  std::string m_caFile;
  KeyPair m_server;
};

}  // namespace tqtest
