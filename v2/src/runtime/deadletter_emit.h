// The one path by which every deadletter of the runtime leaves, from
// whatever stage (dispatcher, workers, admission, request pipe reader,
// destroy): it raises the deadletter counters and events, builds the
// deadletter, and hands it to the waiting remote requester's reply slot, or
// else to the host's deadletter pipe.
#pragma once

#include <cstdint>

#include "base/status.h"
#include "codec/codes.h"
#include "runtime/reply_registry.h"

namespace vorlet::v2 {

struct Runtime;

// A serialized deadletter in a new rt_malloc block owned by the caller,
// made by the builder below: the codec's transport_build_deadletter, whose
// contract it keeps (invalid_arg for a NULL out or out_length, both
// cleared first otherwise; the envelope bytes become original_envelope when
// they decode as an envelope).
Status deadletter_bytes_build(const void* envelope_bytes, uint64_t length, DeadletterReason reason, const char* detail,
                              uint64_t active_generation, const char* resolved_host, uint32_t resolved_port,
                              uint32_t attempt_count, void** out, uint64_t* out_length) noexcept;

// The codec's builder behind deadletter_bytes_build. Tests replace it to
// make a build fail; NULL puts the codec's back.
using DeadletterBuilder = Status (*)(const void* envelope_bytes, uint64_t envelope_len, int32_t reason,
                                     const char* detail, uint64_t active_generation, const char* resolved_host,
                                     uint32_t resolved_port, uint32_t endpoint_attempt_count, void** out,
                                     uint64_t* out_len) noexcept;
void deadletter_set_builder_for_tests(DeadletterBuilder builder) noexcept;

// Emits one deadletter. The caller keeps its envelope bytes, texts and
// reply slot reference. A job fails through job_fail (jobs.h), which takes
// the slot out of the reply registry first, so that a late response no
// longer finds it.
//
// Counts deadletters_emitted once, plus, by reason: route_miss raises
// route_misses, delivery_failed delivery_failures, remote_transport_failed
// remote_transport_failures with a remote_transport_failed event, and
// remote_reply_timeout remote_reply_timeouts with a remote_reply_timeout
// event; the events carry the attempt count. A deadletter
// that cannot be built with its envelope is built without it; one that
// cannot be built at all still answers a waiting slot, as a failure of kind
// none with the reason and the detail.
void deadletter_emit(Runtime* rt, const void* envelope_bytes, uint64_t length, DeadletterReason reason,
                             const char* detail, uint64_t active_generation, const char* resolved_host,
                             uint16_t resolved_port, uint32_t attempt_count, ReplySlot* reply_slot) noexcept;

}  // namespace vorlet::v2
