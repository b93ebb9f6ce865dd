#include "internal/crypto/RsaSigner.h"

#include <errno.h>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <utility>
#include <vector>

#include "internal/crypto/CertificateFile.h"
#include "internal/io/FileReader.h"
#include "platform/SecureMemory.h"
#include "platform/auto_handle.h"

namespace {

bool SameTime(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

}  // namespace

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
  struct stat st {};
  FileBytes bytes;
  FileReadError error;
  if (::fstat(handle.get(), &st) != 0 ||
      !ReadOpenedFile(handle.get(), kMaxCertificateFileBytes, bytes, error) ||
      bytes.empty()) {
    return false;
  }
  CertificateFile parsed =
      CertificateFile::Parse(bytes.data(), bytes.size(), password);
  PkeyPtr key = std::move(parsed.key);
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
