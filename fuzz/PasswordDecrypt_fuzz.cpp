// TQPassword::decrypt with a fixed key in a private TQ_HOME. Only the exact
// stored form of some text decrypts: arbitrary texts are checked against a
// reference built on OpenSSL (canonical Base64, AES-256-GCM with "ENC1" as
// additional data), and texts made by encrypt are altered at a fuzz-chosen
// place, which must make them fail. The out buffer is exactly *length + 1
// bytes: nothing may be written past it, and a failure zeros it.

#include <openssl/evp.h>
#include <sys/stat.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "platform/TQPassword.h"
#include "platform/internal/TqHome.h"

namespace {

const unsigned char kKey[32] = {0x6b, 0x1f, 0x3a, 0x90, 0x22, 0x4c, 0xe7, 0x05,
                                0x38, 0xd1, 0x7e, 0x64, 0xaa, 0x0b, 0x59, 0xc3,
                                0x11, 0x8f, 0x2d, 0x70, 0x9e, 0x46, 0xb5, 0x03,
                                0xfc, 0x27, 0x81, 0x5a, 0xde, 0x36, 0x4b, 0xe0};

// Base64 that encrypt could have written: decoded with the padding read
// as zero values, then accepted only when encoding the bytes again gives
// the same text (no blanks, no stray bits, no second spelling).
bool CanonicalBase64(const std::string& text, std::string& out) {
  if (text.empty() || text.size() % 4 != 0) {
    return false;
  }
  const size_t pad = text.size() - 1 - text.find_last_not_of('=');
  if (pad > 2) {
    return false;
  }
  std::string zeros = text;
  zeros.replace(text.size() - pad, pad, pad, 'A');
  std::vector<unsigned char> bytes(text.size() / 4 * 3 + 1);
  const int n = EVP_DecodeBlock(
      bytes.data(), reinterpret_cast<const unsigned char*>(zeros.data()),
      static_cast<int>(zeros.size()));
  if (n < 0 || static_cast<size_t>(n) != text.size() / 4 * 3) {
    return false;
  }
  out.assign(reinterpret_cast<const char*>(bytes.data()),
             static_cast<size_t>(n) - pad);
  std::vector<unsigned char> again(text.size() + 1);
  const int m = EVP_EncodeBlock(
      again.data(), reinterpret_cast<const unsigned char*>(out.data()),
      static_cast<int>(out.size()));
  return static_cast<size_t>(m) == text.size() &&
         std::memcmp(again.data(), text.data(), text.size()) == 0;
}

// The plain text of a stored form, or false.
bool ReferenceDecrypt(const std::string& stored, std::string& plain) {
  if (stored.compare(0, 5, "ENC1:") != 0) {
    return false;
  }
  std::string blob;
  if (!CanonicalBase64(stored.substr(5), blob) || blob.size() < 12 + 16) {
    return false;
  }
  const auto* nonce = reinterpret_cast<const unsigned char*>(blob.data());
  const size_t n = blob.size() - 28;
  std::vector<unsigned char> out(n + 1);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  int len = 0;
  int fin = 0;
  const unsigned char aad[] = {'E', 'N', 'C', '1'};
  const bool ok =
      EVP_DecryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, nullptr, nullptr) ==
          1 &&
      EVP_DecryptInit_ex(ctx, nullptr, nullptr, kKey, nonce) == 1 &&
      EVP_DecryptUpdate(ctx, nullptr, &len, aad, sizeof aad) == 1 &&
      EVP_DecryptUpdate(ctx, out.data(), &len, nonce + 12,
                        static_cast<int>(n)) == 1 &&
      EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, 16,
                          const_cast<unsigned char*>(nonce + 12 + n)) == 1 &&
      EVP_DecryptFinal_ex(ctx, out.data() + len, &fin) == 1;
  EVP_CIPHER_CTX_free(ctx);
  if (!ok) {
    return false;
  }
  plain.assign(reinterpret_cast<const char*>(out.data()), n);
  return true;
}

// decrypt with an out buffer of exactly capacity + 1 bytes; checks what the
// header promises about out and *length, returns the result.
bool Decrypt(const std::string& stored, unsigned long capacity,
             std::string& plain) {
  std::vector<char> text(stored.begin(), stored.end());
  text.push_back('\0');
  std::unique_ptr<char[]> out(new char[capacity + 1]);
  std::memset(out.get(), 0x5a, capacity + 1);
  unsigned long length = capacity;
  TQPassword service;
  const bool ok = service.decrypt(text.data(), out.get(), &length);
  if (ok) {
    FUZZ_CHECK(length <= capacity && out[length] == '\0',
               "decrypt success: length or terminator");
    plain.assign(out.get(), length);
  } else {
    FUZZ_CHECK(length == capacity, "decrypt failure changed *length");
    for (unsigned long i = 0; i <= capacity; ++i) {
      FUZZ_CHECK(out[i] == '\0', "decrypt failure left out unwiped");
    }
  }
  return ok;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  (void)tqfuzz::PrivateHome();  // TQ_HOME from now on
  const std::string path = TqHome().KeyFile();
  tqfuzz::WriteWholeFile(path,
                         std::string(reinterpret_cast<const char*>(kKey), 32));
  ::chmod(path.c_str(), 0600);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 14) {
    return 0;
  }
  tqfuzz::Reader in(data, size);
  const uint8_t mode = in.Byte();
  const unsigned long capacity = in.Byte();

  if ((mode & 1) == 0) {
    // An arbitrary text, up to its first NUL.
    const std::string rest = in.Rest();
    const std::string stored(rest.c_str());
    std::string want;
    const bool wantOk =
        ReferenceDecrypt(stored, want) && want.size() <= capacity;
    std::string got;
    const bool ok = Decrypt(stored, capacity, got);
    FUZZ_CHECK(ok == wantOk, std::string("decrypt ") +
                                 (ok ? "accepts " : "refuses ") + stored);
    FUZZ_CHECK(!ok || got == want, "decrypt gives another plain text");
    return 0;
  }

  // A stored form made by encrypt, then altered (or not) at one place.
  const size_t at = in.Byte() | static_cast<size_t>(in.Byte()) << 8;
  const uint8_t change = in.Byte();
  const std::string plain = in.Rest();
  std::string stored;
  TQPassword service;
  FUZZ_CHECK(service.encrypt(plain, stored), "encrypt failed");
  std::string altered = stored;
  switch (mode >> 1 & 3) {
    case 0:  // one byte changed (0: unchanged)
      altered[at % altered.size()] ^= static_cast<char>(change);
      break;
    case 1:  // cut short
      altered.resize(at % (altered.size() + 1));
      break;
    case 2:  // a byte inserted
      altered.insert(at % (altered.size() + 1), 1, static_cast<char>(change));
      break;
    default:  // a byte removed
      altered.erase(at % altered.size(), 1);
      break;
  }
  std::string got;
  const bool ok = Decrypt(altered, capacity, got);
  // A NUL put in the text shortens it: that is a change too.
  const bool same = std::string(altered.c_str()) == stored;
  FUZZ_CHECK(ok == (same && plain.size() <= capacity),
             std::string("decrypt ") + (ok ? "accepts" : "refuses") +
                 " an altered text: " + altered + " from " + stored);
  FUZZ_CHECK(!ok || got == plain, "decrypt gives another plain text");
  return 0;
}
