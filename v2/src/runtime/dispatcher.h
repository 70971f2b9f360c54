// The dispatcher: the one consumer of the ingress ring. For each item it
// decides, in a fixed order, what becomes of the envelope: a deadletter when
// the runtime is stopping or the envelope is malformed; for a response, the
// pending reply of a remote requester or the host's response pipe; for
// anything else, a job for the local or the remote worker, chosen by route
// resolution against the active table. Every refusal leaves through the
// one deadletter emission path.
//
// The dispatcher takes no runtime_lock: it resolves against the active
// table it retains, so no getter, apply or other caller can hold up
// routing.
#pragma once

#include <cstdint>

#include "base/status.h"
#include "runtime/deadletter_emit.h"
#include "runtime/event_log.h"
#include "runtime/remote_admission.h"
#include "runtime/route_resolution.h"

namespace vorlet::v2 {

struct Runtime;
struct IngressItem;

// A queue refused an envelope: queue_rejections is raised and one
// queue_rejected event names the queue and why.
void dispatcher_count_queue_rejection(Runtime* rt, MonitorQueueScope scope, MonitorQueueRejectDetail why) noexcept;

// The size of the dispatcher's text buffer: parser, semantic and
// resolution messages are at most 127 bytes.
inline constexpr uint64_t kDispatchTextCapacity = 128;

// The deadletter reason of a failed resolution: invalid_arg (the route or
// envelope cannot be resolved at all) -> invalid_envelope; otherwise by the
// failure kind: endpoint_unavailable, locality_mismatch, else
// delivery_failed.
DeadletterReason route_failure_reason(Status status, RouteFailureKind kind) noexcept;

// Processes one popped item to its end: routed, matched, handed to the host
// or deadlettered. Takes everything the item owns.
void dispatch_item(Runtime* rt, IngressItem* item) noexcept;

// The dispatcher's loop: items are taken and dispatched until the ingress
// ring is empty and the runtime is stopping.
void dispatcher_run(Runtime* rt) noexcept;

// The dispatcher's thread procedure (argument: the Runtime): the loop, once
// the start that launched it has settled.
void dispatcher_thread(void* runtime) noexcept;

}  // namespace vorlet::v2
