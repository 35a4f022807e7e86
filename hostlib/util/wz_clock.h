// The monotonic clock in milliseconds, for deadlines, intervals and the
// durations the service reports; never a time of day.
//
// Thread safety: a pure function of the clock.
#pragma once

#include <chrono>
#include <cstdint>

inline int64_t WzNowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
