#include "base/clock.h"

#include <chrono>

namespace vorlet::v2 {

uint32_t clock_monotonic_ns(uint64_t* out) noexcept {
  if (out == nullptr) return 1;
  // The standard library's steady clock is the system's monotonic clock.
  *out = static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
  return 0;
}

Status clock_now_ns_status(uint64_t* out, MonotonicClock clock) noexcept {
  switch (clock(out)) {
    case 0:
      return Status::ok;
    case 1:
      return Status::invalid_arg;
    default:
      return Status::io;
  }
}

}  // namespace vorlet::v2
