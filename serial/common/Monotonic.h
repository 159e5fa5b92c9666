// The one monotonic clock of every program here: deadlines, waits and the moments the bench
// and the tests compare. std::chrono::steady_clock is CLOCK_MONOTONIC on Linux, so a child
// program's reading is comparable with the parent's.
#pragma once

#include <chrono>
#include <cstdint>

/// Nanoseconds of the monotonic clock.
inline std::int64_t MonotonicNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

/// Milliseconds of the monotonic clock, with the fraction.
inline double MonotonicMs() {
    return static_cast<double>(MonotonicNs()) / 1e6;
}
