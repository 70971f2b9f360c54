// The configuration record: what a runtime was created with, its active
// route table's generation and listen address, and the configured and
// active overload policies.
#pragma once

#include "base/status.h"
#include "runtime/runtime.h"
#include "vorlet_v2.h"

namespace vorlet::v2 {

struct Runtime;
struct RouteTableRef;

using RuntimeConfig = vorlet_v2_RuntimeConfig;

// A whole record from the runtime, the snapshot's part from `active` (NULL:
// none published). Its texts point at the
// runtime's own copies, kept until destroy.
RuntimeConfig runtime_config_collect(const Runtime* rt, const RouteTableRef* active) noexcept
    REQUIRES(rt->runtime_lock);

// Writes source into out by the size-prefix rule (128 bytes); invalid_arg
// for a NULL out.
Status runtime_config_copy_out(const RuntimeConfig& source, RuntimeConfig* out) noexcept;

// vorlet_v2_runtime_get_config: collects and copies out under runtime_lock.
void runtime_config_get(Runtime* rt, RuntimeConfig* out) noexcept;

}  // namespace vorlet::v2
