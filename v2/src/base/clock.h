// The library's clock and deadline arithmetic on the monotonic clock: the
// standard library's steady clock, in nanoseconds from an arbitrary origin.
#pragma once

#include <cstdint>

#include "base/status.h"

namespace vorlet::v2 {

// 0: stored through out; 1: out is NULL; 2: the clock cannot be read (out
// untouched), which the steady clock never reports; a clock put in its
// place may.
uint32_t clock_monotonic_ns(uint64_t* out) noexcept;

// A clock of that shape; callers that read the time take one so that a
// failing clock can be put in its place.
using MonotonicClock = uint32_t (*)(uint64_t* out) noexcept;

// base + ms milliseconds, in nanoseconds; no saturation.
constexpr uint64_t deadline_add_ms(uint64_t base, uint32_t ms) noexcept {
  return base + static_cast<uint64_t>(ms) * 1000000ull;
}

// The clock as a status: ok with *out set; invalid_arg for a NULL out; io
// when the clock cannot be read.
Status clock_now_ns_status(uint64_t* out, MonotonicClock clock = clock_monotonic_ns) noexcept;

// The deadline ms milliseconds after now (a negative ms counts as 0).
constexpr uint64_t deadline_after_ms(uint64_t now, int32_t ms) noexcept {
  return deadline_add_ms(now, ms < 0 ? 0u : static_cast<uint32_t>(ms));
}

// The whole milliseconds left from now until deadline, rounded up (so a
// budget is never 0 before its deadline) and capped at 0xFFFFFFFF; 0 once
// the deadline is reached.
constexpr uint64_t remaining_budget_ms(uint64_t now, uint64_t deadline) noexcept {
  if (now >= deadline) return 0;
  const uint64_t left = deadline - now;
  const uint64_t ms = left / 1000000ull + (left % 1000000ull != 0 ? 1 : 0);
  return ms > 0xFFFFFFFFull ? 0xFFFFFFFFull : ms;
}

}  // namespace vorlet::v2
