// The library's clock and deadline arithmetic on the monotonic clock.
#pragma once

#include <cstdint>

namespace vorlet::v2 {

// 0: stored through out; 1: out is NULL; 2: the clock cannot be read (out
// untouched).
uint32_t clock_monotonic_ns(uint64_t* out) noexcept;

// A clock of that shape; callers that read the time take one so that a
// failing clock can be put in its place.
using MonotonicClock = uint32_t (*)(uint64_t* out) noexcept;

// base + ms milliseconds, in nanoseconds; no saturation.
constexpr uint64_t deadline_add_ms(uint64_t base, uint32_t ms) noexcept {
  return base + static_cast<uint64_t>(ms) * 1000000ull;
}

}  // namespace vorlet::v2
