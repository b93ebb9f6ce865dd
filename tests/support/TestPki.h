#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>
#include <vector>

#include "internal/crypto/CertificateFile.h"
#include "tools/pki/Pki.h"

namespace tqtest {

// The general key and certificate makers live in tools/pki, shared with the
// local token endpoint; the tests keep calling them by these names.
using tqpki::CertificateFields;
using tqpki::CertToPem;
using tqpki::GenerateEcKey;
using tqpki::GenerateRsaKey;
using tqpki::IssueCertificate;
using tqpki::KeyToPem;
using tqpki::ReadFile;
using tqpki::ToPkcs12;
using tqpki::WriteFile;

// An application's own certificate (self-signed, RSA 2048) in the forms a
// stored credential holds it.
struct ClientCertificate {
  std::string certificatePem;
  std::string keyPem;  // encrypted with the password given
  std::string pkcs12;  // DER, the same password
  std::string thumbprintHex;
  std::string ecPem;  // an EC certificate with its plain key: cannot sign RS256
};
ClientCertificate MakeClientCertificate(const std::string& commonName,
                                        const std::string& password);

// n bytes of every value, the same for the same seed.
std::string RandomBytes(size_t n, unsigned seed);

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
  KeyPair Issue(const std::string& name, const CertificateFields& certFields,
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

// SharedPki: the test program's one TestPki, made on first use in a
// temporary folder that is removed at exit. Key generation is the slow part
// of a test's set-up; every test of a program can trust the same CA.
TestPki& SharedPki();

}  // namespace tqtest
