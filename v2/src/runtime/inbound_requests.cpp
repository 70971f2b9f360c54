#include "runtime/inbound_requests.h"

#include <cstring>

#include "base/alloc.h"
#include "base/clock.h"
#include "base/text.h"
#include "codec/codes.h"
#include "codec/parsed_envelope.h"
#include "pool/frame_buffer.h"
#include "runtime/deadletter_emit.h"
#include "runtime/dispatcher.h"
#include "runtime/event_log.h"
#include "runtime/ingress.h"
#include "runtime/jobs.h"
#include "runtime/remote_admission.h"
#include "runtime/reply_registry.h"
#include "runtime/runtime.h"

namespace vorlet::v2 {
namespace {

constexpr uint32_t kDefaultWaitMs = 1000;

bool has_text(const char* text, uint64_t capacity) noexcept { return text != nullptr && capacity > 0 && text[0] != 0; }

// The result of the handler's own refusals: a deadletter for the request
// bytes. When it cannot be built, `fallback` is returned with kind none.
Status answer_with_deadletter(const uint8_t* payload, uint64_t length, DeadletterReason reason, const char* detail,
                              uint64_t generation, Status fallback, int32_t* kind, uint8_t** reply,
                              uint64_t* reply_length) noexcept {
  void* bytes = nullptr;
  uint64_t built = 0;
  if (deadletter_bytes_build(payload, length, reason, detail, generation, nullptr, 0, 0, &bytes, &built) !=
      Status::ok) {
    rt_free(bytes);
    return fallback;
  }
  *kind = wire(ReplyKind::deadletter);
  *reply = static_cast<uint8_t*>(bytes);
  *reply_length = built;
  return Status::ok;
}

}  // namespace

Status inbound_requests_handle(void* context, const uint8_t* payload, uint64_t length, uint32_t timeout_ms,
                                     int32_t* kind, uint8_t** reply, uint64_t* reply_length, int32_t* reason,
                                     char* text, uint64_t text_capacity, InboundWatch* watch) noexcept {
  if (context == nullptr || payload == nullptr || kind == nullptr || reply == nullptr || reply_length == nullptr ||
      reason == nullptr || length == 0) {
    return Status::invalid_arg;
  }
  auto* rt = static_cast<Runtime*>(context);
  *kind = wire(ReplyKind::none);
  *reply = nullptr;
  *reply_length = 0;
  *reason = wire(DeadletterReason::delivery_failed);
  if (text == nullptr) text_capacity = 0;
  if (text_capacity > 0) text[0] = '\0';

  ParsedEnvelope parsed;
  const Status parse = parsed_envelope_parse(payload, length, &parsed, text, text_capacity);
  if (parse != Status::ok) {
    return answer_with_deadletter(payload, length, DeadletterReason::invalid_envelope,
                                  has_text(text, text_capacity) ? text : "invalid envelope", 0, parse, kind, reply,
                                  reply_length);
  }
  const Status semantics = parsed_envelope_validate_semantics(&parsed, text, text_capacity);
  if (semantics != Status::ok) {
    return answer_with_deadletter(payload, length, DeadletterReason::invalid_envelope,
                                  has_text(text, text_capacity) ? text : "invalid envelope semantics", 0, semantics,
                                  kind, reply, reply_length);
  }
  const char* message_id = parsed.message_id;
  if (parsed.kind != wire(MessageKind::request) || message_id == nullptr || message_id[0] == '\0') {
    const char* detail = "invalid envelope semantics";
    if (text_capacity > 0) {
      text_copy_bounded(text, text_capacity,
                        parsed.kind != wire(MessageKind::request) ? "remote transport accepts request envelopes only"
                                                    : "remote request missing message_id");
      detail = text;
    }
    return answer_with_deadletter(payload, length, DeadletterReason::invalid_envelope, detail, 0,
                                  Status::invalid_arg, kind, reply, reply_length);
  }

  // The handler's reference, for its wait.
  ReplySlotRef slot(reply_slot_create());
  if (!slot) return Status::nomem;
  ReplyRegistry* registry = &rt->reply_registry.get();
  const Status registered = reply_registry_register(registry, message_id, slot.get());
  if (registered != Status::ok) {
    if (registered == Status::bad_state && text_capacity > 0 && text[0] == '\0') {
      text_copy_bounded(text, text_capacity, "duplicate pending remote message_id");
    }
    return registered;
  }
  // The copy counts against the peers' budget until its buffer is
  // released, wherever the request then is; a request that does not fit is
  // refused as a full ring refuses it.
  FrameBuffer frame;
  const Status copied = frame_copy_charged(&rt->peer_frames, payload, length, &frame);
  if (copied != Status::ok && copied != Status::would_block) {
    reply_registry_remove(registry, slot.get());
    return copied;
  }

  // When this wait will end: a relay of the request on to another runtime
  // gets no budget past it.
  const uint32_t wait_ms = timeout_ms == 0 ? kDefaultWaitMs : timeout_ms;
  Status pushed = copied;
  if (copied == Status::ok) {
    uint64_t now = 0;
    if (clock_monotonic_ns(&now) == 0) slot->deadline_ns = deadline_add_ms(now, wait_ms);

    // The item's reference travels with it.
    reply_slot_retain(slot.get());
    // So does the parse: the frame holds the payload byte for byte, so the
    // dispatcher need not parse it again. Without memory for the move the
    // item goes without, and the dispatcher parses the frame.
    ParsedEnvelopePtr carried(parsed_envelope_move_to_heap(&parsed));
    message_id = nullptr;  // it lives in the moved parse now
    const IngressItem item{frame.get(), length, IngressOrigin::remote, slot.get(), carried.get()};
    pushed = ingress_enqueue(rt, &item);
    if (pushed == Status::ok) {
      (void)carried.release();  // the dispatcher owns it now
    } else {
      reply_slot_release(slot.get());  // the item's reference
    }
  }
  if (pushed != Status::ok) {
    reply_registry_remove(registry, slot.get());
    frame.reset();
    // The generation is read without runtime_lock, which a stop joining
    // this listener may hold.
    const uint64_t generation = rt->routes.generation();
    DeadletterReason refusal = DeadletterReason::runtime_stopped;
    const char* detail = "runtime stopped before enqueue";
    if (pushed == Status::would_block) {
      dispatcher_count_queue_rejection(rt, MonitorQueueScope::ingress, MonitorQueueRejectDetail::queue_full);
      refusal = DeadletterReason::queue_rejected;
      detail = "ingress queue rejected remote envelope";
    }
    return answer_with_deadletter(payload, length, refusal, detail, generation, pushed, kind, reply, reply_length);
  }
  (void)frame.release();  // the dispatcher owns it now

  ReplyKind got = ReplyKind::none;
  void* result = nullptr;
  uint64_t result_length = 0;
  const ReplyWatch peer{watch != nullptr ? watch->connection : platform::kNoSocket,
                        watch != nullptr ? watch->wake : nullptr};
  const Status waited =
      reply_slot_wait(slot.get(), wait_ms, &got, &result, &result_length, reason, text, text_capacity, &peer);
  if (waited == Status::closed) {
    // The peer left: nobody to answer. The id stays known, as after a
    // timeout, so that a late response is dropped.
    reply_registry_abandon(registry, slot.get());
    watch->peer_left = true;
    return Status::closed;
  }
  if (waited == Status::would_block) {
    *reason = wire(DeadletterReason::remote_reply_timeout);
    rt->counters.add(Counter::remote_reply_timeouts);
    event_log_record(rt, MonitorEventKind::remote_reply_timeout, 0, 0, 1);
    // The id stays known, so that a late response is dropped; the item's
    // reference goes with whatever stage discards it.
    reply_registry_abandon(registry, slot.get());
    return Status::io;
  }
  if (waited != Status::ok) {
    reply_registry_remove(registry, slot.get());
    return Status::io;
  }
  if (result != nullptr && result_length > 0) {
    void* copy = rt_malloc(result_length);
    if (copy == nullptr) {
      reply_payload_release(got, result);
      *reason = wire(DeadletterReason::delivery_failed);
      return Status::nomem;
    }
    std::memcpy(copy, result, result_length);
    reply_payload_release(got, result);
    *reply = static_cast<uint8_t*>(copy);
    *reply_length = result_length;
  } else {
    reply_payload_release(got, result);
  }
  *kind = wire(got);
  if (got == ReplyKind::none) return Status::bad_state;  // failed without a result, such as by stop
  return Status::ok;
}

}  // namespace vorlet::v2
