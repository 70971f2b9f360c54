// Admission to the remote outbound ring, the one queue held to the overload
// policy: the active remote-outbound mode (reject, drop_expired_first,
// drop_one_way_first) and reply reserve decide, under remote_outbound_lock,
// whether a job gets in, whether queued jobs are dropped to make room, and
// whether a one-way job is refused because the last free slots are held
// back for jobs that expect a reply.
#pragma once

#include <cstdint>

#include "base/clock.h"
#include "base/status.h"
#include "runtime/event_log.h"

namespace vorlet::v2 {

struct Runtime;
struct RemoteJob;

// The dispatcher's push of a remote job. ok: admitted, the ring owns the
// job and the remote worker is woken. would_block: refused, with
// *detail_out queue_full or remote_reply_reserve. closed: the runtime is
// stopping. invalid_arg: NULL runtime or job, no frame or length 0. On
// every refusal the job stays the caller's. *detail_out (may be NULL) is
// none on every other path.
//
// Jobs are taken out to make room under the lock, through the ring's own
// operations, the others keeping their order: in drop_expired_first every
// queued job that has expired (0 < deadline_ns <= now), when the queue is
// full or its free slots are within a reserve (nothing when the temporary
// list of them cannot be allocated); in drop_one_way_first the oldest
// one-way job, when the queue is full and the newcomer expects a reply.
// Each becomes a deadletter (expired_before_delivery, oldest first, or
// one_way_dropped_by_policy) to its reply slot or the host once the lock
// is released, before this call returns and ahead of the newcomer's gauges
// and the wake.
//
// The clock tells expired jobs; when it cannot be read, nothing is swept.
Status remote_admission_enqueue(Runtime* rt, RemoteJob* job, MonitorQueueRejectDetail* detail_out,
                                MonotonicClock clock = clock_monotonic_ns) noexcept;

}  // namespace vorlet::v2
