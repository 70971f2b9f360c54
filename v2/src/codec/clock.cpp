#include "codec/clock.h"

#include "platform/clock.h"

namespace vorlet::v2 {

uint32_t clock_monotonic_ns(uint64_t* out) noexcept {
  if (out == nullptr) return 1;
  return platform::monotonic_ns(out) ? 0 : 2;
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
