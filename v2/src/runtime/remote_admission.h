// Admission to the remote outbound ring, the one queue held to the overload
// policy: the active remote-outbound mode (reject, drop_expired_first,
// drop_one_way_first) and reply reserve decide, under remote_outbound_lock,
// whether a job gets in, whether queued jobs are dropped to make room, and
// whether a one-way job is refused because the last free slots are held
// back for jobs that expect a reply.
#pragma once

#include <cstdint>

#include "codec/clock.h"
#include "codec/status.h"
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
// A job dropped to make room (an expired one in drop_expired_first, the
// oldest one-way one in drop_one_way_first) becomes a deadletter
// (expired_before_delivery or one_way_dropped_by_policy) to its reply slot
// or the host, emitted with the lock held.
//
// The clock tells expired jobs; when it cannot be read, nothing is swept.
Status runtime_enqueue_remote(Runtime* rt, RemoteJob* job, MonitorQueueRejectDetail* detail_out,
                              MonotonicClock clock = clock_monotonic_ns) noexcept;

// Removes every queued job that has expired at now (0 < deadline_ns <= now),
// keeping the others in order, and turns each into an
// expired_before_delivery deadletter, oldest first. The number removed; 0
// (nothing dropped) when the temporary list cannot be allocated.
// remote_outbound_lock held.
uint64_t remote_outbound_sweep_expired(Runtime* rt, uint64_t now) noexcept;

}  // namespace vorlet::v2
