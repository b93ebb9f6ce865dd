#pragma once

#include <memory>

// Owners for C handles: std::unique_ptr with the library's own free function
// as deleter, so no handle is released by hand on any path.
//   using CurlPtr = std::unique_ptr<CURL, FnDeleter<curl_easy_cleanup>>;
template <auto Fn>
struct FnDeleter {
  template <class T>
  void operator()(T* p) const noexcept {
    if (p != nullptr) {
      Fn(p);
    }
  }
};
