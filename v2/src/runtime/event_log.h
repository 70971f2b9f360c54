// Monitor events and the runtime's event log. The event kinds and the
// codes their arguments carry (the queue scope and reject detail of a
// queue_rejected event) are named here, once, with the public header's
// numbers. The log keeps the last 64 events, each stamped with a dense
// sequence number (a reader sees a loss as a gap), the runtime's
// monitor_seq, the monotonic time and the route generation.
#pragma once

#include <cstdint>

#include "base/mutex.h"
#include "vorlet_v2.h"

namespace vorlet::v2 {

struct Runtime;

using MonitorEvent = vorlet_v2_MonitorEvent;

// Kinds and the arguments each emitter passes (0 where none is named).
enum class MonitorEventKind : uint32_t {
  started = 1,
  stopped = 2,
  control_applied = 3,            // value2: route count of the new table
  control_rejected = 4,           // value1: the rejecting status, sign-extended
  queue_rejected = 5,             // detail: queue scope; value1: reject detail
  endpoint_unavailable = 6,
  remote_response_forwarded = 7,  // value2: attempts
  remote_deadletter_forwarded = 8,  // value1: the peer's reason; value2: attempts
  remote_reply_timeout = 9,       // value2: 1 (inbound request) or attempts
  late_remote_reply_dropped = 10,
  remote_transport_failed = 11,   // value2: attempts
  auth_config_applied = 12,       // value2: credential count
  authentication_accepted = 13,   // value1: role
  authentication_denied = 14,     // value1: 1
  authorization_accepted = 15,    // value1: role; value2: scope or access kind
  authorization_denied = 16,      // value1: role; value2: scope or access kind
  auth_policy_applied = 17,       // value1: observe minimum; value2: control minimum
};

// The queue named by a queue_rejected event (its detail).
enum class MonitorQueueScope : uint32_t {
  ingress = 1,
  local_delivery = 2,
  remote_outbound = 3,
};

// Why a queue refused a job: value1 of a queue_rejected event, and the
// out value of remote admission.
enum class MonitorQueueRejectDetail : uint32_t {
  none = 0,
  queue_full = 1,
  remote_reply_reserve = 2,  // a one-way job would have taken a reserved slot
};

inline constexpr uint64_t kEventLogEntries = 64;

// Lives inside the runtime from create to destroy; never cleared between.
struct EventLog {
  // Guards everything below. Never held while another lock is taken, so an
  // event may be recorded with any other lock held.
  Mutex mutex;
  uint64_t last_seq GUARDED_BY(mutex) = 0;  // the last sequence number given
  uint64_t count GUARDED_BY(mutex) = 0;     // events held, at most 64
  uint64_t head GUARDED_BY(mutex) = 0;      // the slot the next event goes to
  MonitorEvent entries[kEventLogEntries] GUARDED_BY(mutex) = {};

  // Stores ev (its seq replaced by the next sequence number), overwriting
  // the oldest event when full.
  void append(const MonitorEvent& ev) noexcept;
};

// Records one event: raises monitor_seq, stamps the event, appends it and
// rings the monitor doorbell. Callable from any thread, with or without
// runtime_lock held. Never fails; a NULL runtime does nothing.
void event_log_record(Runtime* rt, MonitorEventKind kind, uint32_t detail, uint64_t value1, uint64_t value2) noexcept;

}  // namespace vorlet::v2
