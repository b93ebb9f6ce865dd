#include "internal/base/ForkGeneration.h"

#include <pthread.h>

#include <atomic>

namespace {

std::atomic<uint64_t> g_generation{0};

void InChild() { g_generation.fetch_add(1, std::memory_order_relaxed); }

// Registered when the library is loaded, before anything could be made that
// a child must not use.
const bool g_registered = pthread_atfork(nullptr, nullptr, &InChild) == 0;

}  // namespace

uint64_t ForkGeneration() noexcept {
  (void)g_registered;
  return g_generation.load(std::memory_order_relaxed);
}
