#include "codec/clock.h"

#include "platform/clock.h"

namespace vorlet::v2 {

uint32_t clock_monotonic_ns(uint64_t* out) noexcept {
  if (out == nullptr) return 1;
  return platform::monotonic_ns(out) ? 0 : 2;
}

}  // namespace vorlet::v2
