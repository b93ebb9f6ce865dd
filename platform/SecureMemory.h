#pragma once

#include <cstddef>
#include <string>

#include "platform/TQExport.h"

// SecureWipe: overwrites len bytes at p with zeros in a way the compiler may
// not elide (OPENSSL_cleanse). Null or zero length does nothing.
TQ_EXPORT void SecureWipe(void* p, size_t len) noexcept;

// WipeString: zeros the whole storage of s (its capacity, so bytes beyond the
// current size left by earlier content are covered too) and clears it.
TQ_EXPORT void WipeString(std::string& s) noexcept;

// Fixed buffer for a decrypted secret; wiped when it goes out of scope,
// whichever path leaves the scope.
template <size_t N>
class SecretBuffer {
 public:
  SecretBuffer() noexcept { SecureWipe(m_bytes, N); }
  ~SecretBuffer() { SecureWipe(m_bytes, N); }
  SecretBuffer(const SecretBuffer&) = delete;
  SecretBuffer& operator=(const SecretBuffer&) = delete;

  char* data() noexcept { return m_bytes; }
  const char* c_str() const noexcept { return m_bytes; }
  static constexpr size_t size() noexcept { return N; }
  void Wipe() noexcept { SecureWipe(m_bytes, N); }

 private:
  char m_bytes[N];
};

// Wipes the named string when the scope ends; for request bodies and other
// std::string copies of a secret that an interface forces on us.
class StringWipeGuard {
 public:
  explicit StringWipeGuard(std::string& s) noexcept : m_s(s) {}
  ~StringWipeGuard() { WipeString(m_s); }
  StringWipeGuard(const StringWipeGuard&) = delete;
  StringWipeGuard& operator=(const StringWipeGuard&) = delete;

 private:
  std::string& m_s;
};

// Allocator that zeros memory before giving it back, for containers that
// hold secrets and may reallocate while they grow.
template <class T>
struct ZeroingAllocator {
  using value_type = T;
  ZeroingAllocator() noexcept = default;
  template <class U>
  ZeroingAllocator(const ZeroingAllocator<U>&) noexcept {}
  T* allocate(size_t n) { return std::allocator<T>{}.allocate(n); }
  void deallocate(T* p, size_t n) noexcept {
    SecureWipe(p, n * sizeof(T));
    std::allocator<T>{}.deallocate(p, n);
  }
  template <class U>
  bool operator==(const ZeroingAllocator<U>&) const noexcept {
    return true;
  }
  template <class U>
  bool operator!=(const ZeroingAllocator<U>&) const noexcept {
    return false;
  }
};
