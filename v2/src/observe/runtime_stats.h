// The statistics record: every gauge and counter of a runtime, of its pipe
// queues and of its TCP adapter, with the limits and the active policy.
#pragma once

#include "base/status.h"
#include "runtime/runtime.h"
#include "vorlet_v2.h"

namespace vorlet::v2 {

struct Runtime;
struct RouteTableRef;

using RuntimeStats = vorlet_v2_RuntimeStats;

// A whole record, its generation, route count and drained routes from
// `active` (the caller's; NULL: none published), the policy under
// runtime_lock. Each counter is one relaxed load, so the record is not a
// single cut across them.
RuntimeStats runtime_stats_collect(const Runtime* rt, const RouteTableRef* active) noexcept
    REQUIRES(rt->runtime_lock);

// Writes source into out by the size-prefix rule (504 bytes); invalid_arg
// for a NULL out.
Status stats_copy_out(const RuntimeStats& source, RuntimeStats* out) noexcept;

// vorlet_v2_runtime_get_stats: collects and copies out under runtime_lock.
void runtime_stats_get(Runtime* rt, RuntimeStats* out) noexcept;

}  // namespace vorlet::v2
