#pragma once

#include <unistd.h>

// auto_handle: the owner of one POSIX file descriptor. It starts at -1; a
// descriptor is valid when it is 0 or more; reset(d) closes the held one (if
// valid) and takes d; destruction closes a valid descriptor.
class auto_handle {
 public:
  auto_handle() noexcept = default;
  explicit auto_handle(int fd) noexcept : m_fd(fd) {}
  ~auto_handle() { reset(-1); }
  auto_handle(const auto_handle&) = delete;
  auto_handle& operator=(const auto_handle&) = delete;
  auto_handle(auto_handle&& other) noexcept : m_fd(other.release()) {}
  auto_handle& operator=(auto_handle&& other) noexcept {
    if (this != &other) {
      reset(other.release());
    }
    return *this;
  }

  int get() const noexcept { return m_fd; }
  bool valid() const noexcept { return m_fd >= 0; }
  void reset(int fd) noexcept {
    if (m_fd >= 0) {
      ::close(m_fd);
    }
    m_fd = fd;
  }
  int release() noexcept {
    const int fd = m_fd;
    m_fd = -1;
    return fd;
  }

 private:
  int m_fd = -1;
};

// FnDeleter: the deleter that lets std::unique_ptr own a C library handle
// through the library's own free function:
//   std::unique_ptr<CURL, FnDeleter<curl_easy_cleanup>>
// Each library's owners are named once, beside its users
// (internal/net/CurlHandles.h, internal/crypto/OpenSslHandles.h,
// platform/internal/SqliteHandles.h).
template <auto Fn>
struct FnDeleter {
  template <class T>
  void operator()(T* p) const noexcept {
    if (p != nullptr) {
      Fn(p);
    }
  }
};
