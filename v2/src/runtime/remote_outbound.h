// Remote outbound delivery. The remote worker takes jobs from the remote
// outbound ring and delivers each envelope to a remote runtime with one
// tcp-frame exchange per attempt, each attempt getting what is left of the
// job's budget. A peer's response goes on to the host's response pipe (or to
// the remote requester waiting on the job's reply slot); a peer's deadletter
// goes on with its attempt count re-stamped (and the job's envelope as its
// original when it names none). A reply about another request, or with a
// reason outside the protocol's, is not passed on. A transport failure, or
// a peer's refusal before its handler owned the envelope, fails over to an
// untried endpoint of the same route in the same route generation.
// Everything else ends as a deadletter through the one emission path.
//
// Locks: the worker holds remote_outbound_lock only to pop, and nothing
// during an exchange; failover reads the active table it retains, without
// runtime_lock.
#pragma once

#include <cstdint>

#include "base/clock.h"
#include "base/status.h"
#include "platform/event.h"

namespace vorlet::v2 {

struct Runtime;
struct RemoteJob;

// The size of the texts an exchange and a failover write.
inline constexpr uint64_t kRemoteTextCapacity = 160;

// Attempt counts reported in deadletters and events stop here.
inline constexpr uint64_t kAttemptCountCap = 0xFFFFFFFFull;

// After a failed attempt: records the job's current endpoint as tried, then
// resolves the job's route again, in the job's generation and with the
// envelope's own delivery hint, skipping every tried endpoint. ok: the job
// now names an untried endpoint (it stays a remote job, whatever that
// endpoint's flags). Otherwise the reason is in text (cut to capacity - 1):
// bad_state for a changed generation, a vanished or an exhausted route;
// else the status of the step that failed (recording the endpoint, parsing
// the envelope, resolution, copying the new host).
Status remote_outbound_failover_reresolve(Runtime* rt, RemoteJob* job, char* text, uint64_t text_capacity) noexcept;

// One job from its pop to its end: every attempt, every failover, and the
// one outcome (forwarded, or a deadletter). A job popped while the runtime
// is stopping becomes a runtime_stopped deadletter without an attempt; a
// relayed one whose requester has been answered or has given up ends as
// expired before its next attempt, and one whose requester gives up while
// an exchange is in flight has that exchange end at once, as its budget's
// end would end it, when relay_cut (the worker's own event; NULL: none) is
// given. The job stays the caller's, who frees it. The clock reads each
// attempt's budget.
void remote_deliver(Runtime* rt, RemoteJob* job, MonotonicClock clock = clock_monotonic_ns,
                    platform::Event* relay_cut = nullptr) noexcept;

// The remote worker's loop step: the next job, sleeping while there is
// none; NULL when the ring is empty and the runtime is stopping (then the
// worker ends). The caller owns the job. The ring's other end is
// admission's (remote_admission.h).
RemoteJob* remote_outbound_pop(Runtime* rt) noexcept;

// The remote worker's thread procedure (argument: the Runtime). It ends
// when its ring is empty and the runtime is stopping.
void remote_outbound_thread(void* runtime) noexcept;

}  // namespace vorlet::v2
