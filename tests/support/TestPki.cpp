#include "tests/support/TestPki.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace tqtest {
namespace {

using BioPtr = std::unique_ptr<BIO, FnDeleter<BIO_free_all>>;
using Pkcs12Ptr = std::unique_ptr<PKCS12, FnDeleter<PKCS12_free>>;
using ExtPtr = std::unique_ptr<X509_EXTENSION, FnDeleter<X509_EXTENSION_free>>;

void Check(bool ok, const char* what) {
  if (!ok) {
    char err[256];
    ERR_error_string_n(ERR_get_error(), err, sizeof err);
    throw std::runtime_error(std::string(what) + ": " + err);
  }
}

std::string BioText(BIO* bio) {
  char* data = nullptr;
  const long len = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<size_t>(len));
}

void AddExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  ExtPtr ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str()));
  Check(ext != nullptr, "X509V3_EXT_conf_nid");
  Check(X509_add_ext(cert, ext.get(), -1) == 1, "X509_add_ext");
}

}  // namespace

PkeyPtr GenerateRsaKey(unsigned int bits) {
  PkeyPtr key(EVP_RSA_gen(bits));
  Check(key != nullptr, "EVP_RSA_gen");
  return key;
}

PkeyPtr GenerateEcKey() {
  PkeyPtr key(EVP_EC_gen("P-256"));
  Check(key != nullptr, "EVP_EC_gen");
  return key;
}

X509Ptr IssueCertificate(const CertSpec& spec, EVP_PKEY* subjectKey,
                         X509* issuer, EVP_PKEY* issuerKey) {
  static std::atomic<long> serial{1000};
  X509Ptr cert(X509_new());
  Check(cert != nullptr, "X509_new");
  X509* c = cert.get();
  Check(X509_set_version(c, 2) == 1, "X509_set_version");
  ASN1_INTEGER_set(X509_get_serialNumber(c), ++serial);
  X509_gmtime_adj(X509_getm_notBefore(c), spec.notBeforeOffsetSeconds);
  X509_gmtime_adj(X509_getm_notAfter(c),
                  spec.notBeforeOffsetSeconds + spec.validSeconds);
  Check(X509_set_pubkey(c, subjectKey) == 1, "X509_set_pubkey");
  X509_NAME* name = X509_get_subject_name(c);
  X509_NAME_add_entry_by_txt(
      name, "CN", MBSTRING_ASC,
      reinterpret_cast<const unsigned char*>(spec.commonName.c_str()), -1, -1,
      0);
  X509* signer = issuer != nullptr ? issuer : c;
  Check(X509_set_issuer_name(c, X509_get_subject_name(signer)) == 1,
        "X509_set_issuer_name");
  AddExtension(c, signer, NID_basic_constraints,
               spec.isCa ? "critical,CA:TRUE" : "CA:FALSE");
  AddExtension(c, signer, NID_subject_key_identifier, "hash");
  if (spec.isCa) {
    AddExtension(c, signer, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    AddExtension(c, signer, NID_authority_key_identifier, "keyid");
    AddExtension(c, signer, NID_key_usage,
                 "critical,digitalSignature,keyEncipherment");
  }
  std::string san;
  for (const std::string& dns : spec.dnsNames) {
    san += (san.empty() ? "DNS:" : ",DNS:") + dns;
  }
  for (const std::string& ip : spec.ipAddresses) {
    san += (san.empty() ? "IP:" : ",IP:") + ip;
  }
  if (!san.empty()) {
    AddExtension(c, signer, NID_subject_alt_name, san);
  }
  Check(X509_sign(c, issuerKey != nullptr ? issuerKey : subjectKey,
                  EVP_sha256()) > 0,
        "X509_sign");
  return cert;
}

std::string CertToPem(X509* cert) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  Check(PEM_write_bio_X509(bio.get(), cert) == 1, "PEM_write_bio_X509");
  return BioText(bio.get());
}

std::string KeyToPem(EVP_PKEY* key, const std::string& password) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  const EVP_CIPHER* cipher = password.empty() ? nullptr : EVP_aes_256_cbc();
  Check(PEM_write_bio_PKCS8PrivateKey(
            bio.get(), key, cipher,
            password.empty() ? nullptr : const_cast<char*>(password.data()),
            static_cast<int>(password.size()), nullptr, nullptr) == 1,
        "PEM_write_bio_PKCS8PrivateKey");
  return BioText(bio.get());
}

std::string ToPkcs12(EVP_PKEY* key, X509* cert, const std::string& password) {
  Pkcs12Ptr p12(PKCS12_create(password.c_str(), "test", key, cert, nullptr, 0,
                              0, 0, 0, 0));
  Check(p12 != nullptr, "PKCS12_create");
  BioPtr bio(BIO_new(BIO_s_mem()));
  Check(i2d_PKCS12_bio(bio.get(), p12.get()) == 1, "i2d_PKCS12_bio");
  return BioText(bio.get());
}

std::string Sha1ThumbprintHex(X509* cert) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  Check(X509_digest(cert, EVP_sha1(), md, &len) == 1, "X509_digest");
  std::string hex;
  char two[3];
  for (unsigned int i = 0; i < len; ++i) {
    std::snprintf(two, sizeof two, "%02x", md[i]);
    hex += two;
  }
  return hex;
}

void WriteFile(const std::string& path, const std::string& content,
               unsigned int mode) {
  ::unlink(path.c_str());
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
                        static_cast<mode_t>(mode));
  if (fd < 0) {
    throw std::runtime_error("cannot create " + path);
  }
  const ssize_t n = ::write(fd, content.data(), content.size());
  ::close(fd);
  if (n != static_cast<ssize_t>(content.size())) {
    throw std::runtime_error("cannot write " + path);
  }
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

TestPki::TestPki(const std::string& dir) : m_dir(dir) {
  m_caKey = GenerateEcKey();
  CertSpec ca;
  ca.commonName = "tqcloudauth test CA";
  ca.isCa = true;
  m_caCert = IssueCertificate(ca, m_caKey.get(), nullptr, nullptr);
  m_caFile = dir + "/ca.pem";
  WriteFile(m_caFile, CertToPem(m_caCert.get()), 0644);

  CertSpec server;
  server.commonName = "localhost";
  server.dnsNames = {"localhost"};
  server.ipAddresses = {"127.0.0.1"};
  m_server = Issue("server", server);
}

KeyPair TestPki::Issue(const std::string& name, const CertSpec& spec,
                       EVP_PKEY* key) {
  PkeyPtr generated;
  if (key == nullptr) {
    generated = GenerateEcKey();
    key = generated.get();
  }
  X509Ptr cert = IssueCertificate(spec, key, m_caCert.get(), m_caKey.get());
  KeyPair pair{m_dir + "/" + name + ".pem", m_dir + "/" + name + ".key"};
  WriteFile(pair.certFile, CertToPem(cert.get()), 0644);
  WriteFile(pair.keyFile, KeyToPem(key));
  return pair;
}

KeyPair TestPki::UnknownCaServer() {
  PkeyPtr otherCaKey = GenerateEcKey();
  CertSpec ca;
  ca.commonName = "untrusted CA";
  ca.isCa = true;
  X509Ptr otherCa = IssueCertificate(ca, otherCaKey.get(), nullptr, nullptr);
  PkeyPtr key = GenerateEcKey();
  CertSpec server;
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
  CertSpec server;
  server.commonName = "other.example";
  server.dnsNames = {"other.example"};
  return Issue("wrong-host-server", server);
}

}  // namespace tqtest
