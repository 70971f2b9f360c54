// The dubbing-job registry: sixteen fixed slots inside the runtime where the
// host keeps the records of jobs it works on. It never allocates. Handles
// and revisions only grow: a handle is never reused, and a job's revision
// is the registry-wide number of its last change, so revisions order the
// changes. A terminal job stays until a submit that finds no free slot
// evicts the terminal job changed longest ago.
//
// The registry operations run with the registry's lock held; the
// functions on a runtime take it, give the monitor change notice after
// each change and write no event.
#pragma once

#include <cstdint>

#include "base/clock.h"
#include "base/status.h"
#include "observe/dubbing_state.h"
#include "vorlet_v2.h"

namespace vorlet::v2 {

struct Runtime;

using DubbingJobRequest = vorlet_v2_DubbingJobRequest;
using DubbingJobUpdate = vorlet_v2_DubbingJobUpdate;

// invalid_arg for a declared size below the whole request or a missing
// required text; would_block when every slot holds a job that is not
// terminal.
Status dubbing_registry_submit(DubbingRegistry* reg, const DubbingJobRequest* request, uint64_t now,
                               uint64_t* handle_out) noexcept REQUIRES(reg->mutex);
// invalid_arg for a declared size below 28, handle 0 or progress above
// 1000; bad_state for an unknown handle or a terminal job.
Status dubbing_registry_update(DubbingRegistry* reg, const DubbingJobUpdate* update, uint64_t now) noexcept
    REQUIRES(reg->mutex);
// bad_state for an unknown handle or a job that succeeded or failed; ok
// without a change for a job already cancelled.
Status dubbing_registry_cancel(DubbingRegistry* reg, uint64_t handle, uint64_t now) noexcept REQUIRES(reg->mutex);
// The occupied slot holding handle, or NULL.
DubbingSlot* dubbing_registry_find(DubbingRegistry* reg, uint64_t handle) noexcept REQUIRES(reg->mutex);
// bad_state for an unknown handle; out follows the size-prefix rule.
Status dubbing_registry_copy_job(DubbingRegistry* reg, uint64_t handle, DubbingJobRecord* out) noexcept
    REQUIRES(reg->mutex);
// Up to capacity handles, most recently changed first; *count_out (may be
// NULL) gets the number of jobs.
void dubbing_registry_list(const DubbingRegistry* reg, uint64_t* handles, uint64_t capacity,
                           uint64_t* count_out) noexcept REQUIRES(reg->mutex);

// The exported calls. Changes read the clock before taking the registry's
// lock; submit and update need a started runtime, cancel, get and list work
// in every state.
Status dubbing_registry_submit_job(Runtime* rt, const DubbingJobRequest* request, uint64_t* handle_out,
                                   MonotonicClock clock = clock_monotonic_ns) noexcept;
Status dubbing_registry_publish_update(Runtime* rt, const DubbingJobUpdate* update,
                                       MonotonicClock clock = clock_monotonic_ns) noexcept;
Status dubbing_registry_cancel_job(Runtime* rt, uint64_t handle, MonotonicClock clock = clock_monotonic_ns) noexcept;
Status dubbing_registry_get_job(Runtime* rt, uint64_t handle, DubbingJobRecord* out) noexcept;
Status dubbing_registry_list_jobs(Runtime* rt, uint64_t* handles, uint64_t capacity, uint64_t* count_out) noexcept;

}  // namespace vorlet::v2
