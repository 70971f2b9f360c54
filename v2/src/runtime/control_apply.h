// Control application: a route snapshot becomes the runtime's active route
// table, together with its generation, listen address and overload policy,
// published as one by a commit under runtime_lock; and the configured
// overload policy,
// which a snapshot without a policy of its own makes active again.
//
// Each snapshot apply either commits completely (then one control_applied
// event) or changes nothing and is counted by its status with one
// control_rejected event. Applies may run at once on several threads: the
// table is built without the lock, and the checks are made again before
// the swap, so an apply overtaken by a newer generation is stale.
#pragma once

#include <cstdint>

#include "base/status.h"
#include "runtime/control_parse.h"
#include "runtime/route_table.h"

namespace vorlet::v2 {

struct Runtime;

// The four values of an overload policy once resolved.
struct OverloadModes {
  uint32_t ingress_mode;
  uint32_t local_delivery_mode;
  uint32_t remote_outbound_mode;
  uint64_t reply_reserve_slots;
};

// The limit of control frames and control envelopes read from the pipe.
inline constexpr uint64_t kControlFrameLimit = 1048576;

// Reads `policy` (NULL: the defaults alone) under the size-prefix rule,
// fields the declared size leaves out taking their default. invalid_arg
// (out untouched) when out is NULL or a mode is out of range: ingress and
// local delivery accept only reject, remote outbound reject,
// drop_expired_first or drop_one_way_first. The reserve is not bounded
// here.
Status overload_policy_resolve(const OverloadPolicyDesc* policy, const OverloadModes& defaults,
                               OverloadModes* out) noexcept;

// A refused apply: raises control_rejects and the counter of its status,
// then records control_rejected with the status sign-extended.
void control_reject_count(Runtime* rt, Status status) noexcept;

// Sets the configured and the active overload policy; only before start.
// invalid_arg for NULL arguments, a bad mode or a reserve above the queue
// capacity; bad_state once started. Counts nothing and records no event.
Status control_apply_overload_policy(Runtime* rt, const OverloadPolicyDesc* policy) noexcept;

// Applies a flat snapshot, with `policy` as its overload policy or, when
// NULL, the configured one. The snapshot and the policy are only read.
// ok; invalid_arg (NULL runtime: not counted); nomem; bad_state when
// stopped, or when started with a running TCP adapter and a new non-zero
// listen port that differs from the recorded one; stale_generation when a
// snapshot is present and the generation does not grow.
Status control_apply_snapshot(Runtime* rt, const RouteSnapshotDesc* snapshot,
                              const OverloadPolicyDesc* policy) noexcept;

// Parses a serialized control envelope and applies its snapshot, with its
// overload policy when it carries one. A parse failure is refused with the
// parse's status (invalid_arg, nomem, io), also on a stopped runtime.
Status control_apply_envelope(Runtime* rt, const void* bytes, uint64_t length) noexcept;

}  // namespace vorlet::v2
