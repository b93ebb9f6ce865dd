#pragma once

#include <chrono>
#include <cstdint>

// SteadyMs: the monotonic clock in milliseconds, for deadlines and the
// intervals between checks.
inline int64_t SteadyMs() noexcept {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
