#pragma once

#include <chrono>
#include <cstdint>

namespace zv {

// Nanoseconds on the monotonic clock: for ages and durations, never dates.
inline int64_t MonotonicNanos() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace zv
