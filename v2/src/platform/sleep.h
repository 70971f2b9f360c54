// Sleeping the calling thread, for the few waits that have nothing to wake
// on but time. The library's clock is base/clock.h.
#pragma once

#include <cstdint>

namespace vorlet::v2::platform {

// Sleeps the calling thread for about `ms` milliseconds.
void sleep_ms(uint32_t ms) noexcept;

}  // namespace vorlet::v2::platform
