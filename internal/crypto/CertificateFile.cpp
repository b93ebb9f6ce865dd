#include "internal/crypto/CertificateFile.h"

#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <algorithm>
#include <climits>
#include <cstring>

namespace {

// Hands the password to OpenSSL for an encrypted PEM key. A password that
// does not fit OpenSSL's buffer fails rather than being cut short.
int PemPassword(char* buf, int size, int /*rwflag*/, void* userdata) {
  const auto* password = static_cast<const std::string*>(userdata);
  if (password == nullptr || size < 0 ||
      password->size() > static_cast<size_t>(size)) {
    return -1;
  }
  std::memcpy(buf, password->data(), password->size());
  return static_cast<int>(password->size());
}

bool LooksLikePem(const char* data, size_t size) {
  static constexpr char kBegin[] = "-----BEGIN ";
  return std::search(data, data + size, kBegin, kBegin + sizeof kBegin - 1) !=
         data + size;
}

BioPtr MemoryBio(const char* data, size_t size) {
  // BIO_new_mem_buf takes no empty buffer: an empty file is an empty BIO.
  static const char kNothing[1] = {0};
  return BioPtr(
      BIO_new_mem_buf(size == 0 ? kNothing : data, static_cast<int>(size)));
}

}  // namespace

const char* CertificateProblemText(CertificateProblem problem) noexcept {
  switch (problem) {
    case CertificateProblem::kNone:
      return "the certificate and its key can sign";
    case CertificateProblem::kNoCertificate:
      return "no certificate found (PEM, or PKCS#12 with the right password)";
    case CertificateProblem::kNoKey:
      return "no private key that opens with the given password";
    case CertificateProblem::kNotRsa:
      return "the private key is not an RSA key";
    case CertificateProblem::kKeyMismatch:
      break;
  }
  return "the private key does not belong to the certificate";
}

CertificateFile CertificateFile::Parse(const char* data, size_t size,
                                       const std::string& password) {
  ErrorQueueScope errors;
  CertificateFile out;
  if (data == nullptr || size > static_cast<size_t>(INT_MAX)) {
    return out;
  }
  if (LooksLikePem(data, size)) {
    if (BioPtr bio = MemoryBio(data, size)) {
      out.certificate.reset(
          PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    }
    // Certificates and other blocks before the key are skipped.
    if (BioPtr bio = MemoryBio(data, size)) {
      out.key.reset(PEM_read_bio_PrivateKey(
          bio.get(), nullptr, &PemPassword,
          const_cast<void*>(static_cast<const void*>(&password))));
    }
    return out;
  }
  BioPtr bio = MemoryBio(data, size);
  Pkcs12Ptr p12(bio ? d2i_PKCS12_bio(bio.get(), nullptr) : nullptr);
  EVP_PKEY* key = nullptr;
  X509* cert = nullptr;
  STACK_OF(X509)* chain = nullptr;
  if (p12 &&
      PKCS12_parse(p12.get(), password.c_str(), &key, &cert, &chain) == 1) {
    out.key.reset(key);
    out.certificate.reset(cert);
    CertStackPtr chainOwner(chain);
  }
  return out;
}

CertificateProblem CertificateFile::Check() const {
  if (!certificate) {
    return CertificateProblem::kNoCertificate;
  }
  if (!key) {
    return CertificateProblem::kNoKey;
  }
  if (EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA) {
    return CertificateProblem::kNotRsa;
  }
  ErrorQueueScope errors;
  if (EVP_PKEY_eq(X509_get0_pubkey(certificate.get()), key.get()) != 1) {
    return CertificateProblem::kKeyMismatch;
  }
  return CertificateProblem::kNone;
}

std::string Thumbprint(X509* cert, const EVP_MD* md) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (cert == nullptr || md == nullptr ||
      X509_digest(cert, md, digest, &length) != 1) {
    return std::string();
  }
  return std::string(reinterpret_cast<const char*>(digest), length);
}

std::string ThumbprintHex(X509* cert, const EVP_MD* md) {
  static constexpr char kHex[] = "0123456789abcdef";
  const std::string bytes = Thumbprint(cert, md);
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    hex += kHex[b >> 4];
    hex += kHex[b & 0x0F];
  }
  return hex;
}
