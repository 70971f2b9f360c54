#include "runtime/deadletter_emit.h"

#include <atomic>

#include "base/alloc.h"
#include "codec/deadletter.h"
#include "runtime/event_log.h"
#include "runtime/host_pipe_writers.h"
#include "runtime/runtime.h"

namespace vorlet::v2 {
namespace {

std::atomic<DeadletterBuilder> g_builder{transport_build_deadletter};

void count_emission(Runtime* rt, DeadletterReason reason, uint32_t attempt_count) noexcept {
  rt->counters.add(Counter::deadletters_emitted);
  switch (reason) {
    case DeadletterReason::route_miss:
      rt->counters.add(Counter::route_misses);
      break;
    case DeadletterReason::delivery_failed:
      rt->counters.add(Counter::delivery_failures);
      break;
    case DeadletterReason::remote_transport_failed:
      rt->counters.add(Counter::remote_transport_failures);
      event_log_record(rt, MonitorEventKind::remote_transport_failed, 0, 0, attempt_count);
      break;
    case DeadletterReason::remote_reply_timeout:
      rt->counters.add(Counter::remote_reply_timeouts);
      event_log_record(rt, MonitorEventKind::remote_reply_timeout, 0, 0, attempt_count);
      break;
    default:
      break;
  }
}

}  // namespace

Status deadletter_bytes_build(const void* envelope_bytes, uint64_t length, DeadletterReason reason, const char* detail,
                              uint64_t active_generation, const char* resolved_host, uint32_t resolved_port,
                              uint32_t attempt_count, void** out, uint64_t* out_length) noexcept {
  const DeadletterBuilder build = g_builder.load(std::memory_order_relaxed);
  return build(envelope_bytes, length, wire(reason), detail, active_generation, resolved_host, resolved_port,
               attempt_count, out, out_length);
}

void deadletter_set_builder_for_tests(DeadletterBuilder builder) noexcept {
  g_builder.store(builder != nullptr ? builder : transport_build_deadletter, std::memory_order_relaxed);
}

void deadletter_emit(Runtime* rt, const void* envelope_bytes, uint64_t length, DeadletterReason reason,
                             const char* detail, uint64_t active_generation, const char* resolved_host,
                             uint16_t resolved_port, uint32_t attempt_count, ReplySlot* reply_slot) noexcept {
  count_emission(rt, reason, attempt_count);

  void* raw = nullptr;
  uint64_t built_length = 0;
  Status s = deadletter_bytes_build(envelope_bytes, length, reason, detail, active_generation, resolved_host,
                                    resolved_port, attempt_count, &raw, &built_length);
  HeapBlock bytes(raw);
  if (s != Status::ok) {
    // Without the envelope the deadletter is small and made of our own
    // texts: it can still tell the host (or a peer that fails over on its
    // reason) what happened.
    bytes.reset();
    s = deadletter_bytes_build(nullptr, 0, reason, detail, active_generation, resolved_host, resolved_port,
                               attempt_count, &raw, &built_length);
    bytes.reset(raw);
  }
  if (s != Status::ok) {
    // Nothing to send; a waiting requester still learns the outcome rather
    // than timing out.
    if (reply_slot != nullptr) {
      reply_slot_complete(reply_slot, ReplyKind::none, wire(reason), nullptr, 0, detail);
    }
    return;
  }
  if (reply_slot != nullptr) {
    reply_slot_complete(reply_slot, ReplyKind::deadletter, wire(reason), bytes.release(), built_length, detail);
  } else {
    host_pipe_writers_handoff_deadletter(rt, bytes.release(), built_length);
  }
}

}  // namespace vorlet::v2
