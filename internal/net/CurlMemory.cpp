#include "internal/net/CurlMemory.h"

#include <curl/curl.h>
#include <malloc.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/SecureMemory.h"

namespace {

void* Malloc(size_t size) { return std::malloc(size); }

void Free(void* block) {
  if (block != nullptr) {
    SecureWipe(block, malloc_usable_size(block));
    std::free(block);
  }
}

// Always moves to a new block, so that the old one is wiped: realloc would
// leave a copy behind when it moves the block itself.
void* Realloc(void* block, size_t size) {
  if (block == nullptr) {
    return std::malloc(size);
  }
  if (size == 0) {
    Free(block);
    return nullptr;
  }
  const size_t held = malloc_usable_size(block);
  if (size <= held) {
    return block;  // it fits where it is
  }
  void* moved = std::malloc(size);
  if (moved == nullptr) {
    return nullptr;  // the old block stays, as realloc leaves it
  }
  std::memcpy(moved, block, held);
  Free(block);
  return moved;
}

char* Strdup(const char* text) {
  const size_t size = std::strlen(text) + 1;
  auto* copy = static_cast<char*>(std::malloc(size));
  if (copy != nullptr) {
    std::memcpy(copy, text, size);
  }
  return copy;
}

void* Calloc(size_t count, size_t size) { return std::calloc(count, size); }

}  // namespace

void InitCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    curl_global_init_mem(CURL_GLOBAL_DEFAULT, &Malloc, &Free, &Realloc, &Strdup,
                         &Calloc);
  });
}
