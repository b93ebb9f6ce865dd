#include "tests/support/TestPki.h"

#include "tests/support/TempHome.h"

namespace tqtest {

TestPki::TestPki(const std::string& dir) : m_dir(dir) {
  m_caKey = GenerateEcKey();
  CertificateFields ca;
  ca.commonName = "tqcloudauth test CA";
  ca.isCa = true;
  m_caCert = IssueCertificate(ca, m_caKey.get(), nullptr, nullptr);
  m_caFile = dir + "/ca.pem";
  WriteFile(m_caFile, CertToPem(m_caCert.get()), 0644);

  CertificateFields server;
  server.commonName = "localhost";
  server.dnsNames = {"localhost"};
  server.ipAddresses = {"127.0.0.1"};
  m_server = Issue("server", server);
}

KeyPair TestPki::Issue(const std::string& name,
                       const CertificateFields& certFields, EVP_PKEY* key) {
  PkeyPtr generated;
  if (key == nullptr) {
    generated = GenerateEcKey();
    key = generated.get();
  }
  X509Ptr cert =
      IssueCertificate(certFields, key, m_caCert.get(), m_caKey.get());
  KeyPair pair{m_dir + "/" + name + ".pem", m_dir + "/" + name + ".key"};
  WriteFile(pair.certFile, CertToPem(cert.get()), 0644);
  WriteFile(pair.keyFile, KeyToPem(key));
  return pair;
}

KeyPair TestPki::UnknownCaServer() {
  PkeyPtr otherCaKey = GenerateEcKey();
  CertificateFields ca;
  ca.commonName = "untrusted CA";
  ca.isCa = true;
  X509Ptr otherCa = IssueCertificate(ca, otherCaKey.get(), nullptr, nullptr);
  PkeyPtr key = GenerateEcKey();
  CertificateFields server;
  server.commonName = "localhost";
  server.dnsNames = {"localhost"};
  server.ipAddresses = {"127.0.0.1"};
  X509Ptr cert =
      IssueCertificate(server, key.get(), otherCa.get(), otherCaKey.get());
  KeyPair pair{m_dir + "/unknown-ca-server.pem",
               m_dir + "/unknown-ca-server.key"};
  WriteFile(pair.certFile, CertToPem(cert.get()), 0644);
  WriteFile(pair.keyFile, KeyToPem(key.get()));
  return pair;
}

KeyPair TestPki::WrongHostServer() {
  CertificateFields server;
  server.commonName = "other.example";
  server.dnsNames = {"other.example"};
  return Issue("wrong-host-server", server);
}

ClientCertificate MakeClientCertificate(const std::string& commonName,
                                        const std::string& password) {
  PkeyPtr key = GenerateRsaKey(2048);
  CertificateFields certFields;
  certFields.commonName = commonName;
  X509Ptr cert = IssueCertificate(certFields, key.get(), nullptr, nullptr);
  ClientCertificate c;
  c.certificatePem = CertToPem(cert.get());
  c.keyPem = KeyToPem(key.get(), password);
  c.pkcs12 = ToPkcs12(key.get(), cert.get(), password);
  c.thumbprintHex = ThumbprintHex(cert.get(), EVP_sha1());
  PkeyPtr ecKey = GenerateEcKey();
  X509Ptr ecCert = IssueCertificate(certFields, ecKey.get(), nullptr, nullptr);
  c.ecPem = CertToPem(ecCert.get()) + KeyToPem(ecKey.get());
  return c;
}

std::string RandomBytes(size_t n, unsigned seed) {
  std::string out(n, '\0');
  for (char& c : out) {
    seed = seed * 1103515245u + 12345u;
    c = static_cast<char>(seed >> 16);
  }
  return out;
}

TestPki& SharedPki() {
  struct Shared {
    TempDir dir;
    TestPki pki{dir.path()};
  };
  static Shared shared;
  return shared.pki;
}

}  // namespace tqtest
