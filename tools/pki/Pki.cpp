#include "tools/pki/Pki.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace tqpki {
namespace {

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
  X509ExtensionPtr ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str()));
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

X509Ptr IssueCertificate(const CertificateFields& certFields,
                         EVP_PKEY* subjectKey, X509* issuer,
                         EVP_PKEY* issuerKey) {
  static std::atomic<long> serial{1000};
  X509Ptr cert(X509_new());
  Check(cert != nullptr, "X509_new");
  X509* c = cert.get();
  Check(X509_set_version(c, 2) == 1, "X509_set_version");
  ASN1_INTEGER_set(X509_get_serialNumber(c), ++serial);
  X509_gmtime_adj(X509_getm_notBefore(c), certFields.notBeforeOffsetSeconds);
  X509_gmtime_adj(X509_getm_notAfter(c),
                  certFields.notBeforeOffsetSeconds + certFields.validSeconds);
  Check(X509_set_pubkey(c, subjectKey) == 1, "X509_set_pubkey");
  X509_NAME* name = X509_get_subject_name(c);
  X509_NAME_add_entry_by_txt(
      name, "CN", MBSTRING_ASC,
      reinterpret_cast<const unsigned char*>(certFields.commonName.c_str()), -1,
      -1, 0);
  X509* signer = issuer != nullptr ? issuer : c;
  Check(X509_set_issuer_name(c, X509_get_subject_name(signer)) == 1,
        "X509_set_issuer_name");
  AddExtension(c, signer, NID_basic_constraints,
               certFields.isCa ? "critical,CA:TRUE" : "CA:FALSE");
  AddExtension(c, signer, NID_subject_key_identifier, "hash");
  if (certFields.isCa) {
    AddExtension(c, signer, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    AddExtension(c, signer, NID_authority_key_identifier, "keyid");
    AddExtension(c, signer, NID_key_usage,
                 "critical,digitalSignature,keyEncipherment");
  }
  std::string san;
  for (const std::string& dns : certFields.dnsNames) {
    san += (san.empty() ? "DNS:" : ",DNS:") + dns;
  }
  for (const std::string& ip : certFields.ipAddresses) {
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

void WriteFile(const std::string& path, const std::string& content,
               unsigned int mode) {
  ::unlink(path.c_str());
  // O_EXCL: the mode applies only to a file this call creates.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                        static_cast<mode_t>(mode));
  if (fd < 0) {
    throw std::runtime_error("cannot create " + path + ": " +
                             std::strerror(errno));
  }
  size_t done = 0;
  while (done < content.size()) {
    const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      break;
    }
    done += static_cast<size_t>(n);
  }
  const bool closed = ::close(fd) == 0;
  if (done != content.size() || !closed) {
    ::unlink(path.c_str());
    throw std::runtime_error("cannot write " + path);
  }
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

ServerPki GenerateServerPki(const std::string& dir) {
  PkeyPtr caKey = GenerateEcKey();
  CertificateFields ca;
  ca.commonName = "tqcloudauth-idp local CA";
  ca.isCa = true;
  ca.validSeconds = 2 * 365 * 24 * 3600L;
  X509Ptr caCert = IssueCertificate(ca, caKey.get(), nullptr, nullptr);

  PkeyPtr serverKey = GenerateEcKey();
  CertificateFields server;
  server.commonName = "localhost";
  server.dnsNames = {"localhost"};
  server.ipAddresses = {"127.0.0.1", "::1"};
  server.validSeconds = 365 * 24 * 3600L;
  X509Ptr serverCert =
      IssueCertificate(server, serverKey.get(), caCert.get(), caKey.get());

  ServerPki pki{dir + "/ca.pem", dir + "/server.pem", dir + "/server.key"};
  WriteFile(pki.caFile, CertToPem(caCert.get()), 0644);
  WriteFile(pki.certFile, CertToPem(serverCert.get()), 0644);
  WriteFile(pki.keyFile, KeyToPem(serverKey.get()), 0600);
  return pki;
}

}  // namespace tqpki
