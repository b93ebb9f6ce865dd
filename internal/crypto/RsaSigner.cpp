#include "internal/crypto/RsaSigner.h"

#include <errno.h>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <sys/stat.h>

#include <cstring>
#include <utility>
#include <vector>

#include "internal/crypto/CertificateFile.h"
#include "platform/SecureMemory.h"

namespace {

// RFC 7518 3.5: the salt is as long as the digest.
constexpr int kPssSaltBytes = 32;

}  // namespace

RsaSigner::RsaSigner() = default;

RsaSigner::RsaSigner(FileOpener opener) : m_opener(std::move(opener)) {}

RsaSigner::~RsaSigner() { SecureWipe(m_passwordHash, sizeof m_passwordHash); }

unsigned long RsaSigner::LoadCount() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_loads;
}

bool RsaSigner::HashPassword(const std::string& password,
                             unsigned char (&out)[kHashSize]) const {
  MdCtxPtr ctx(EVP_MD_CTX_new());
  unsigned int n = 0;
  return ctx && EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) == 1 &&
         EVP_DigestUpdate(ctx.get(), m_salt, sizeof m_salt) == 1 &&
         EVP_DigestUpdate(ctx.get(), password.data(), password.size()) == 1 &&
         EVP_DigestFinal_ex(ctx.get(), out, &n) == 1 && n == kHashSize;
}

PkeyPtr RsaSigner::KeyFor(const std::string& file,
                          const std::string& password) {
  bool same = false;
  if (m_key && file == m_file) {
    unsigned char hash[kHashSize];
    struct stat st {};
    same = HashPassword(password, hash) &&
           CRYPTO_memcmp(hash, m_passwordHash, kHashSize) == 0 &&
           ::stat(file.c_str(), &st) == 0 && FileIdentity::Of(st) == m_id;
    SecureWipe(hash, sizeof hash);
  }
  if (!same) {
    // Whatever was loaded before must not serve another file or password.
    m_key.reset();
    m_file.clear();
    SecureWipe(m_passwordHash, sizeof m_passwordHash);
    if (!Load(file, password)) {
      return nullptr;
    }
  }
  // A reference of the signature's own: signing runs outside the lock,
  // and a key replaced meanwhile lives on until the signature is made.
  if (EVP_PKEY_up_ref(m_key.get()) != 1) {
    return nullptr;
  }
  return PkeyPtr(m_key.get());
}

bool RsaSigner::Load(const std::string& file, const std::string& password) {
  ++m_loads;
  auto_handle handle;
  if (m_opener) {
    if (!m_opener(file, handle)) {
      return false;
    }
  } else {
    // Without blocking: a FIFO named as the file is refused, not waited on.
    int fd = -1;
    do {
      fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    handle.reset(fd);
  }
  if (!handle.valid()) {
    return false;
  }
  FileBytes bytes;
  FileReadError error;
  FileIdentity identity;
  if (!ReadOpenedFile(handle.get(), kMaxCertificateFileBytes, bytes, error,
                      &identity) ||
      bytes.empty()) {
    return false;
  }
  CertificateFile parsed =
      CertificateFile::Parse(bytes.data(), bytes.size(), password);
  if (!parsed.key || EVP_PKEY_get_base_id(parsed.key.get()) != EVP_PKEY_RSA) {
    return false;
  }
  if (RAND_bytes(m_salt, sizeof m_salt) != 1 ||
      !HashPassword(password, m_passwordHash)) {
    return false;
  }
  m_key = std::move(parsed.key);
  m_file = file;
  m_id = identity;
  return true;
}

bool RsaSigner::Sign(const std::string& certificateFile,
                     const std::string& data, const std::string& password,
                     RsaScheme scheme, unsigned char* signature,
                     unsigned int& length) {
  ErrorQueueScope errors;
  if (signature == nullptr) {
    return false;
  }
  PkeyPtr key;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    key = KeyFor(certificateFile, password);
  }
  if (!key) {
    return false;
  }
  const int keySize = EVP_PKEY_get_size(key.get());
  if (keySize <= 0 || static_cast<unsigned int>(keySize) > length) {
    return false;
  }
  // Signed aside and copied only when complete: no partial signature, and
  // no copy left behind.
  std::vector<unsigned char, ZeroingAllocator<unsigned char>> out(
      static_cast<size_t>(keySize));
  size_t outLength = out.size();
  MdCtxPtr ctx(EVP_MD_CTX_new());
  EVP_PKEY_CTX* pctx = nullptr;  // owned by ctx
  if (!ctx || EVP_DigestSignInit(ctx.get(), &pctx, EVP_sha256(), nullptr,
                                 key.get()) != 1) {
    return false;
  }
  if (scheme == RsaScheme::kPssSha256 &&
      (EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PSS_PADDING) <= 0 ||
       EVP_PKEY_CTX_set_rsa_mgf1_md(pctx, EVP_sha256()) <= 0 ||
       EVP_PKEY_CTX_set_rsa_pss_saltlen(pctx, kPssSaltBytes) <= 0)) {
    return false;
  }
  if (EVP_DigestSign(ctx.get(), out.data(), &outLength,
                     reinterpret_cast<const unsigned char*>(data.data()),
                     data.size()) != 1 ||
      outLength > length) {
    return false;
  }
  std::memcpy(signature, out.data(), outLength);
  length = static_cast<unsigned int>(outLength);
  return true;
}
