#include "platform/TQPassword.h"

#include <errno.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <vector>

#include "internal/crypto/OpenSslHandles.h"
#include "internal/io/FileReader.h"
#include "platform/SecureMemory.h"
#include "platform/TqcConvert.h"
#include "platform/auto_handle.h"
#include "platform/internal/TqHome.h"
#include "util/Base64Codec.h"

namespace {

using Key = SecretBuffer<TQPassword::kKeySize>;

constexpr char kPrefix[] = "ENC1:";
constexpr size_t kPrefixLength = sizeof kPrefix - 1;
// Bound to the ciphertext so that a text of another format version cannot
// be passed off as this one.
constexpr unsigned char kAad[] = {'E', 'N', 'C', '1'};
constexpr size_t kNonceSize = 12;
constexpr size_t kTagSize = 16;

// Reads exactly kKeySize bytes from fd; false for a shorter or longer file.
bool ReadKey(int fd, Key& key) {
  FileBytes bytes;
  FileReadError error;
  if (!ReadOpenedFile(fd, Key::size(), bytes, error) ||
      bytes.size() != Key::size()) {
    return false;
  }
  std::copy(bytes.begin(), bytes.end(), key.data());
  return true;
}

enum class KeyRead { kRead, kMissing, kUnusable };

// ReadKeyFile: the key, through the home's checks; kMissing only when no
// file is there, so that a refused or broken one is never replaced. Why a
// key is unusable is in outProblem: the home's refusal (kHomeRefused), or a
// file that is not a key (kCredentialInvalid).
KeyRead ReadKeyFile(const TqHome& home, Key& key, CKoError& outProblem) {
  auto_handle file;
  const CKoError st = home.OpenFile(home.KeyFile(), TqHome::FileKind::kSecret,
                                    O_RDONLY, 0, file);
  if (st.IsError()) {
    if (TqHome::IsMissing(st)) {
      return KeyRead::kMissing;
    }
    outProblem = st;
    return KeyRead::kUnusable;
  }
  if (!ReadKey(file.get(), key)) {
    key.Wipe();
    outProblem = FXErrorUtil::ErrorWin32(
        TQ_LOC, TQ_ERROR_GENERAL, TqFailureReason::kCredentialInvalid,
        "%s is not a key: it must hold exactly %zu bytes",
        home.KeyFile().c_str(), Key::size());
    return KeyRead::kUnusable;
  }
  return KeyRead::kRead;
}

// The key: read, or made and published whole, so another process sees
// either no key or a complete one; of two concurrent creators one key wins.
CKoError CreateOrReadKey(const TqHome& home, Key& key) {
  CKoError problem;
  const KeyRead read = ReadKeyFile(home, key, problem);
  if (read == KeyRead::kRead) {
    return CKoError::Success();
  }
  if (read == KeyRead::kUnusable) {
    return problem.Push(TQ_LOC);
  }
  if (RAND_priv_bytes(reinterpret_cast<unsigned char*>(key.data()),
                      static_cast<int>(Key::size())) != 1) {
    key.Wipe();
    return FXErrorUtil::ErrorWin32(TQ_LOC, TQ_ERROR_GENERAL,
                                   TqFailureReason::kInternal,
                                   "cannot make a key: no random bytes");
  }
  bool kept = false;
  CKoError st = home.PublishFile(home.KeyFile(), key.c_str(), Key::size(), 0600,
                                 TqHome::Existing::kKeep, &kept);
  if (st.IsError()) {
    key.Wipe();
    return st.Push(TQ_LOC);
  }
  if (kept) {
    key.Wipe();
    if (ReadKeyFile(home, key, problem) != KeyRead::kRead) {
      return problem.IsError()
                 ? problem.Push(TQ_LOC)
                 : FXErrorUtil::ErrorWin32(TQ_LOC, TQ_ERROR_GENERAL,
                                           TqFailureReason::kHomeRefused,
                                           "%s went away while it was made",
                                           home.KeyFile().c_str());
    }
  }
  return CKoError::Success();
}

// AES-256-GCM, fetched once: OpenSSL 3 looks the algorithm up again at
// every init that names it by EVP_aes_256_gcm().
const EVP_CIPHER* Aes256Gcm() {
  static const EVP_CIPHER* const cipher = [] {
    const EVP_CIPHER* fetched =
        EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
    return fetched != nullptr ? fetched : EVP_aes_256_gcm();
  }();
  return cipher;
}

bool Base64Encode(const unsigned char* data, size_t size, std::string& out) {
  if (size > static_cast<size_t>(INT_MAX / 4 * 3)) {
    return false;
  }
  out.resize((size + 2) / 3 * 4 + 1);
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                data, static_cast<int>(size));
  out.resize(static_cast<size_t>(n));
  return true;
}

}  // namespace

bool TQPassword::decrypt(const char* encrypted, char* out,
                         unsigned long* length) {
  return !Decrypt(encrypted, out, length).IsError();
}

CKoError TQPassword::Decrypt(const char* encrypted, char* out,
                             unsigned long* length) {
  const auto failed = [](const FXCodeLocation& loc) {
    return FXErrorUtil::ErrorWin32(loc, TQ_ERROR_GENERAL,
                                   TqFailureReason::kCredentialInvalid,
                                   "Failed to decrypt password");
  };
  if (out == nullptr || length == nullptr) {
    return failed(TQ_LOC);
  }
  const unsigned long capacity = *length;
  struct WipeOnFailure {
    char* p;
    size_t n;
    bool armed = true;
    ~WipeOnFailure() {
      if (armed) {
        SecureWipe(p, n);
      }
    }
  } wipe{out, capacity < ULONG_MAX ? capacity + 1 : capacity};

  if (encrypted == nullptr ||
      std::strncmp(encrypted, kPrefix, kPrefixLength) != 0) {
    return failed(TQ_LOC);
  }
  const std::string text(encrypted + kPrefixLength);
  std::string blob;
  std::string canonical;
  // Only the exact form encrypt writes: no blanks, no stray bits, so that
  // one stored text never has a second spelling.
  if (!base64Decode(text, blob) || blob.size() < kNonceSize + kTagSize ||
      !Base64Encode(reinterpret_cast<const unsigned char*>(blob.data()),
                    blob.size(), canonical) ||
      canonical != text) {
    return failed(TQ_LOC);
  }
  const size_t cipherSize = blob.size() - kNonceSize - kTagSize;
  if (cipherSize > capacity || cipherSize > static_cast<size_t>(INT_MAX)) {
    return failed(TQ_LOC);
  }
  Key key;
  CKoError problem;
  if (ReadKeyFile(TqHome(), key, problem) != KeyRead::kRead) {
    // A home or key file that the checks refuse is named, with its fix.
    return problem.GetReason() == TqFailureReason::kHomeRefused
               ? problem.Push(TQ_LOC)
               : failed(TQ_LOC);
  }
  const auto* nonce = reinterpret_cast<const unsigned char*>(blob.data());
  const unsigned char* cipher = nonce + kNonceSize;
  const unsigned char* tag = cipher + cipherSize;
  CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
  int n = 0;
  int final = 0;
  auto* plain = reinterpret_cast<unsigned char*>(out);
  const bool ok =
      ctx != nullptr &&
      EVP_DecryptInit_ex(ctx.get(), Aes256Gcm(), nullptr, nullptr, nullptr) ==
          1 &&
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN,
                          static_cast<int>(kNonceSize), nullptr) == 1 &&
      EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr,
                         reinterpret_cast<const unsigned char*>(key.c_str()),
                         nonce) == 1 &&
      EVP_DecryptUpdate(ctx.get(), nullptr, &n, kAad, sizeof kAad) == 1 &&
      EVP_DecryptUpdate(ctx.get(), plain, &n, cipher,
                        static_cast<int>(cipherSize)) == 1 &&
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG,
                          static_cast<int>(kTagSize),
                          const_cast<unsigned char*>(tag)) == 1 &&
      EVP_DecryptFinal_ex(ctx.get(), plain + n, &final) == 1;
  if (!ok || static_cast<size_t>(n + final) != cipherSize) {
    return failed(TQ_LOC);  // out, holding unauthenticated bytes, is wiped
  }
  out[cipherSize] = '\0';
  *length = static_cast<unsigned long>(cipherSize);
  wipe.armed = false;
  return CKoError::Success();
}

bool TQPassword::encrypt(const std::string& plain, std::string& encrypted) {
  return !Encrypt(plain, encrypted).IsError();
}

CKoError TQPassword::Encrypt(const std::string& plain, std::string& encrypted) {
  const auto failed = [](const FXCodeLocation& loc) {
    return FXErrorUtil::ErrorWin32(loc, TQ_ERROR_GENERAL,
                                   TqFailureReason::kInternal,
                                   "cannot encrypt the secret");
  };
  if (plain.size() > static_cast<size_t>(INT_MAX) - kNonceSize - kTagSize) {
    return failed(TQ_LOC);
  }
  const TqHome home;
  Key key;
  CKoError st = home.MakeFolder(home.Path());
  if (!st.IsError()) {
    st = CreateOrReadKey(home, key);
  }
  if (st.IsError()) {
    return st.Push(TQ_LOC);
  }
  std::vector<unsigned char> blob(kNonceSize + plain.size() + kTagSize);
  unsigned char* nonce = blob.data();
  unsigned char* cipher = nonce + kNonceSize;
  unsigned char* tag = cipher + plain.size();
  if (RAND_bytes(nonce, static_cast<int>(kNonceSize)) != 1) {
    return failed(TQ_LOC);
  }
  CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
  int n = 0;
  int final = 0;
  const bool ok =
      ctx != nullptr &&
      EVP_EncryptInit_ex(ctx.get(), Aes256Gcm(), nullptr, nullptr, nullptr) ==
          1 &&
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN,
                          static_cast<int>(kNonceSize), nullptr) == 1 &&
      EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr,
                         reinterpret_cast<const unsigned char*>(key.c_str()),
                         nonce) == 1 &&
      EVP_EncryptUpdate(ctx.get(), nullptr, &n, kAad, sizeof kAad) == 1 &&
      EVP_EncryptUpdate(ctx.get(), cipher, &n,
                        reinterpret_cast<const unsigned char*>(plain.data()),
                        static_cast<int>(plain.size())) == 1 &&
      EVP_EncryptFinal_ex(ctx.get(), cipher + n, &final) == 1 &&
      static_cast<size_t>(n + final) == plain.size() &&
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG,
                          static_cast<int>(kTagSize), tag) == 1;
  std::string text;
  if (!ok || !Base64Encode(blob.data(), blob.size(), text)) {
    return failed(TQ_LOC);
  }
  encrypted = kPrefix + text;
  return CKoError::Success();
}
