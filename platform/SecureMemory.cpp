#include "platform/SecureMemory.h"

#include <openssl/crypto.h>

void SecureWipe(void* p, size_t len) noexcept {
  if (p != nullptr && len != 0) {
    OPENSSL_cleanse(p, len);
  }
}

void WipeString(std::string& s) noexcept {
  // capacity() excludes the terminator slot; data() holds capacity() + 1.
  SecureWipe(s.data(), s.capacity() + 1);
  s.clear();
}
