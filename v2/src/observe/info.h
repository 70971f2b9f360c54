// What the library is: the ABI version, the info record and the surface
// profiles. All constants; no runtime is needed.
#pragma once

#include <cstdint>

#include "base/status.h"
#include "vorlet_v2.h"

namespace vorlet::v2 {

using RuntimeInfo = vorlet_v2_RuntimeInfo;

inline constexpr uint32_t kAbiVersion = 1;
// Every feature bit from 0x1 to 0x400000 except the allocator this library
// does not use.
inline constexpr uint32_t kRuntimeFeatureFlags = 0x7FFFFFu & ~VORLET_V2_FEATURE_JEMALLOC;
static_assert(kRuntimeFeatureFlags == 0x7FFFBFu);

// Writes the full size, then every field the declared size covers.
// invalid_arg for NULL.
Status info_get(RuntimeInfo* out) noexcept;

// "unknown" and 0 outside the five profiles.
const char* surface_profile_name(uint32_t profile) noexcept;
uint32_t surface_required_features(uint32_t profile) noexcept;
// 1 when `available` covers the profile; *missing_out (may be NULL) gets
// what it lacks, 0 for a profile outside the table, which never passes.
int32_t surface_check_features(uint32_t available, uint32_t profile, uint32_t* missing_out) noexcept;

}  // namespace vorlet::v2
