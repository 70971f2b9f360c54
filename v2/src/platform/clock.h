// Monotonic clock of the platform, in nanoseconds from an arbitrary origin.
#pragma once

#include <cstdint>

namespace vorlet::v2::platform {

// false when the clock cannot be read; *out is then untouched.
bool monotonic_ns(uint64_t* out) noexcept;

// Sleeps the calling thread for about `ms` milliseconds.
void sleep_ms(uint32_t ms) noexcept;

}  // namespace vorlet::v2::platform
