// The health record: the runtime state, seven health flags and the active
// generation. The flags are derived from a HealthSource gathered under the
// runtime lock, which the monitor snapshot gathers the same way.
#pragma once

#include <cstdint>

#include "base/status.h"
#include "runtime/runtime.h"
#include "vorlet_v2.h"

namespace vorlet::v2 {

struct Runtime;
struct RouteTableRef;

using RuntimeHealth = vorlet_v2_RuntimeHealth;

struct HealthSource {
  uint32_t state;                  // RuntimeState
  uint64_t generation;             // of the active route snapshot
  uint32_t snapshot_present;       // 0/1
  uint32_t handles_open;           // 0/1: the host has taken its handles
  uint32_t transport_probe_only;   // 0/1: the TCP adapter is not running
  uint64_t remote_outbound_capacity;
  uint64_t remote_outbound_depth;
  uint32_t drained_route_present;  // 0/1
};

// The generation, snapshot and drained routes from `active` (NULL: none
// published).
HealthSource health_source_collect(const Runtime* rt, const RouteTableRef* active) noexcept
    REQUIRES(rt->runtime_lock);

// The VORLET_V2_HEALTH_... word; 0 for NULL.
uint32_t health_flags_from_source(const HealthSource* source) noexcept;

// Writes 24 into struct_size, then state, flags and generation where the
// caller's size covers them. invalid_arg for a NULL pointer.
Status health_copy_out(const HealthSource* source, RuntimeHealth* out) noexcept;

// vorlet_v2_runtime_get_health: gathers and copies out under runtime_lock.
void runtime_health_get(Runtime* rt, RuntimeHealth* out) noexcept;

// An all-zero record of its full size (a denied caller's).
void health_copy_out_empty(RuntimeHealth* out) noexcept;

}  // namespace vorlet::v2
