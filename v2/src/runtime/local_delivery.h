// Local delivery: hands an envelope whose target resolved to a local
// endpoint to the host. The dispatcher pushes jobs onto the local delivery
// ring (both of its ends are here); the local worker pops them, passes the envelope through the local delivery gate and queues the
// job's own frame buffer on the delivered-request pipe (when the host asked
// for it) or on the response pipe: the bytes that entered are the bytes the
// host reads, with no copy. What cannot be handed over becomes a deadletter.
#pragma once

#include <atomic>
#include <cstdint>

#include "base/alloc.h"
#include "base/status.h"

namespace vorlet::v2 {

struct Runtime;
struct LocalJob;

// The local delivery gate, owned by the runtime. Start opens it before any
// thread runs and stop closes it after the local worker has ended, so it
// refuses nothing while the worker runs.
struct LocalDeliveryAdapter {
  // A spin lock over changes of open; contenders sleep in an atomic wait.
  std::atomic<uint8_t> lock{0};
  std::atomic<uint8_t> open{0};  // 1 while local delivery is allowed
};

// A closed gate; nullptr on exhaustion. Released with local_gate_destroy.
LocalDeliveryAdapter* local_gate_create() noexcept;
void local_gate_destroy(LocalDeliveryAdapter* gate) noexcept;  // NULL-safe
// invalid_arg for NULL.
Status local_gate_open(LocalDeliveryAdapter* gate) noexcept;
void local_gate_close(LocalDeliveryAdapter* gate) noexcept;  // NULL-safe

// ok while the gate is open; invalid_arg for NULL, bad_state when closed.
Status local_gate_admits(const LocalDeliveryAdapter* gate) noexcept;

// Copies the envelope into a new heap block held by *out. invalid_arg for
// NULL arguments, bad_state when the gate is closed, nomem. The timeout
// travels with the job and is not used here.
Status local_gate_copy(LocalDeliveryAdapter* gate, const void* bytes, uint64_t length, int32_t timeout_ms,
                       HeapBlock* out) noexcept;

// The dispatcher's push of a local job; on ok the ring owns the job and the
// local worker is woken. invalid_arg: NULL runtime or job, no frame or
// length 0; closed: stopping; would_block: full. On a refusal the job stays
// with the caller.
Status local_delivery_enqueue(Runtime* rt, LocalJob* job) noexcept;

// The local worker's loop step: the next job, sleeping while there is none;
// NULL when the ring is empty and the runtime is stopping (then the worker
// ends). The caller owns the job.
LocalJob* local_delivery_pop(Runtime* rt) noexcept;

// The most jobs whose frames the local worker writes to an idle pipe
// together, in one write (and one wake of the host) instead of one each.
inline constexpr uint64_t kLocalRunMost = 32;

// After local_delivery_pop gave a job whose frame may go straight to an idle
// pipe: the jobs right behind it in the ring, taken without waiting, for as
// long as their frames and those before them fit in one pipe write, and
// only while that pipe's writer is idle (else the worker still holds one
// job at a time). The last one taken may be the first that does not fit.
// Up to max; the caller owns them.
uint64_t local_delivery_take_run(Runtime* rt, const LocalJob* first, LocalJob** out, uint64_t max) noexcept;

// Delivers one job (the worker's step): to the host's pipe, or as a
// deadletter. The job stays the caller's, who frees it.
void local_deliver(Runtime* rt, LocalJob* job) noexcept;

// Delivers jobs in order as local_deliver delivers each, except that a run
// of small frames goes out in one write when the pipe is idle. A job that
// does not go in that write is checked again just before its push, so a
// push that waited for room cannot carry the next job past a stop. The
// jobs stay the caller's.
void local_deliver_batch(Runtime* rt, LocalJob* const* jobs, uint64_t count) noexcept;

// The local worker's thread procedure (argument: the Runtime). It ends when
// its ring is empty and the runtime is stopping; every job it comes to
// after the stopping flag was set becomes a runtime_stopped deadletter.
void local_delivery_thread(void* runtime) noexcept;

}  // namespace vorlet::v2
