#include "internal/RsaSigner.h"

#include <errno.h>
#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <utility>
#include <vector>

#include "platform/SecureMemory.h"
#include "platform/auto_handle.h"

namespace {

using SecretBytes = std::vector<unsigned char, ZeroingAllocator<unsigned char>>;

bool SameTime(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

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

bool LooksLikePem(const SecretBytes& bytes) {
  static constexpr char kBegin[] = "-----BEGIN ";
  const auto* begin = reinterpret_cast<const char*>(bytes.data());
  const auto* end = begin + bytes.size();
  return std::search(begin, end, kBegin, kBegin + sizeof kBegin - 1) != end;
}

PkeyPtr PemKey(const SecretBytes& bytes, const std::string& password) {
  BioPtr bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
  if (!bio) {
    return nullptr;
  }
  // Certificates and other blocks before the key are skipped.
  return PkeyPtr(PEM_read_bio_PrivateKey(
      bio.get(), nullptr, &PemPassword,
      const_cast<void*>(static_cast<const void*>(&password))));
}

PkeyPtr Pkcs12Key(const SecretBytes& bytes, const std::string& password) {
  BioPtr bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
  if (!bio) {
    return nullptr;
  }
  Pkcs12Ptr p12(d2i_PKCS12_bio(bio.get(), nullptr));
  if (!p12) {
    return nullptr;
  }
  EVP_PKEY* key = nullptr;
  X509* cert = nullptr;
  STACK_OF(X509)* chain = nullptr;
  const int ok = PKCS12_parse(p12.get(), password.c_str(), &key, &cert, &chain);
  PkeyPtr keyOwner(key);
  X509Ptr certOwner(cert);
  CertStackPtr chainOwner(chain);
  return ok == 1 ? std::move(keyOwner) : nullptr;
}

// The first certificate of a PEM text.
X509Ptr PemCertificate(const SecretBytes& bytes) {
  BioPtr bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
  if (!bio) {
    return nullptr;
  }
  return X509Ptr(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
}

}  // namespace

bool CheckCertificateKey(const std::string& bytes, const std::string& password,
                         std::string& outProblem) {
  ErrorQueueScope errors;
  const SecretBytes copy(bytes.begin(), bytes.end());
  X509Ptr cert;
  PkeyPtr key;
  if (LooksLikePem(copy)) {
    cert = PemCertificate(copy);
    key = PemKey(copy, password);
  } else {
    BioPtr bio(BIO_new_mem_buf(copy.data(), static_cast<int>(copy.size())));
    Pkcs12Ptr p12(bio ? d2i_PKCS12_bio(bio.get(), nullptr) : nullptr);
    EVP_PKEY* rawKey = nullptr;
    X509* rawCert = nullptr;
    STACK_OF(X509)* chain = nullptr;
    if (p12 && PKCS12_parse(p12.get(), password.c_str(), &rawKey, &rawCert,
                            &chain) == 1) {
      key.reset(rawKey);
      cert.reset(rawCert);
      CertStackPtr chainOwner(chain);
    }
  }
  if (!cert) {
    outProblem =
        "no certificate found (PEM, or PKCS#12 with the right "
        "password)";
    return false;
  }
  if (!key) {
    outProblem =
        "no private key that opens with the given password "
        "(--certificate-password-stdin)";
    return false;
  }
  if (EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA) {
    outProblem = "the private key is not an RSA key (RS256 needs one)";
    return false;
  }
  if (EVP_PKEY_eq(X509_get0_pubkey(cert.get()), key.get()) != 1) {
    outProblem = "the private key does not belong to the certificate";
    return false;
  }
  return true;
}

RsaSigner::RsaSigner() = default;

RsaSigner::RsaSigner(FileOpener opener) : m_opener(std::move(opener)) {}

RsaSigner::~RsaSigner() { SecureWipe(m_passwordHash, sizeof m_passwordHash); }

bool RsaSigner::HashPassword(const std::string& password,
                             unsigned char (&out)[kHashSize]) const {
  MdCtxPtr ctx(EVP_MD_CTX_new());
  unsigned int n = 0;
  return ctx && EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) == 1 &&
         EVP_DigestUpdate(ctx.get(), m_salt, sizeof m_salt) == 1 &&
         EVP_DigestUpdate(ctx.get(), password.data(), password.size()) == 1 &&
         EVP_DigestFinal_ex(ctx.get(), out, &n) == 1 && n == kHashSize;
}

bool RsaSigner::EnsureKey(const std::string& file,
                          const std::string& password) {
  if (m_key && file == m_file) {
    unsigned char hash[kHashSize];
    struct stat st {};
    const bool same = HashPassword(password, hash) &&
                      CRYPTO_memcmp(hash, m_passwordHash, kHashSize) == 0 &&
                      ::stat(file.c_str(), &st) == 0 &&
                      st.st_dev == m_id.device && st.st_ino == m_id.inode &&
                      st.st_size == m_id.size &&
                      SameTime(st.st_mtim, m_id.modified) &&
                      SameTime(st.st_ctim, m_id.changed);
    SecureWipe(hash, sizeof hash);
    if (same) {
      return true;
    }
  }
  // Whatever was loaded before must not serve another file or password.
  m_key.reset();
  m_file.clear();
  SecureWipe(m_passwordHash, sizeof m_passwordHash);
  return Load(file, password);
}

bool RsaSigner::Load(const std::string& file, const std::string& password) {
  ++m_loads;
  auto_handle handle;
  if (m_opener) {
    if (!m_opener(file, handle)) {
      return false;
    }
  } else {
    // O_NONBLOCK: a FIFO named as the file must not hang the request; the
    // fstat below refuses it.
    int fd = -1;
    do {
      fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    handle.reset(fd);
  }
  if (!handle.valid()) {
    return false;
  }
  const int fd = handle.get();
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0 ||
      st.st_size > kMaxFileBytes) {
    return false;
  }
  SecretBytes bytes(static_cast<size_t>(st.st_size));
  size_t got = 0;
  while (got < bytes.size()) {
    const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    got += static_cast<size_t>(n);
  }

  PkeyPtr key = LooksLikePem(bytes) ? PemKey(bytes, password)
                                    : Pkcs12Key(bytes, password);
  if (!key || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA) {
    return false;
  }
  if (RAND_bytes(m_salt, sizeof m_salt) != 1 ||
      !HashPassword(password, m_passwordHash)) {
    return false;
  }
  m_key = std::move(key);
  m_file = file;
  m_id.device = st.st_dev;
  m_id.inode = st.st_ino;
  m_id.size = st.st_size;
  m_id.modified = st.st_mtim;
  m_id.changed = st.st_ctim;
  return true;
}

bool RsaSigner::Sign(const std::string& certificateFile,
                     const std::string& data, const std::string& password,
                     unsigned char* signature, unsigned int& length) {
  ErrorQueueScope errors;
  if (signature == nullptr || !EnsureKey(certificateFile, password)) {
    return false;
  }
  const int keySize = EVP_PKEY_get_size(m_key.get());
  if (keySize <= 0 || static_cast<unsigned int>(keySize) > length) {
    return false;
  }
  // Signed aside and copied only when complete: no partial signature.
  std::vector<unsigned char> out(static_cast<size_t>(keySize));
  size_t outLength = out.size();
  MdCtxPtr ctx(EVP_MD_CTX_new());
  if (!ctx ||
      EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr,
                         m_key.get()) != 1 ||
      EVP_DigestSign(ctx.get(), out.data(), &outLength,
                     reinterpret_cast<const unsigned char*>(data.data()),
                     data.size()) != 1 ||
      outLength > length) {
    return false;
  }
  std::memcpy(signature, out.data(), outLength);
  length = static_cast<unsigned int>(outLength);
  return true;
}
