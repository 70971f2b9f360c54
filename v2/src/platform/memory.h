// Memory services of the platform that the standard library lacks.
#pragma once

#include <cstdint>

namespace vorlet::v2::platform {

// Zeroes `length` bytes at p in a way the compiler may not drop as a dead
// store, for secrets about to be freed. NULL or 0 does nothing.
void secure_wipe(void* p, uint64_t length) noexcept;

}  // namespace vorlet::v2::platform
