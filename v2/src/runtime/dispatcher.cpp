#include "runtime/dispatcher.h"

#include <utility>

#include "base/alloc.h"
#include "base/clock.h"
#include "base/text.h"
#include "codec/codes.h"
#include "codec/parsed_envelope.h"
#include "pool/frame_buffer.h"
#include "runtime/event_log.h"
#include "runtime/host_pipe_writers.h"
#include "runtime/ingress.h"
#include "runtime/jobs.h"
#include "runtime/limits.h"
#include "runtime/local_delivery.h"
#include "runtime/remote_admission.h"
#include "runtime/route_table.h"
#include "runtime/runtime.h"

namespace vorlet::v2 {
namespace {

// At most this many items leave the ingress ring at once. Their slots are
// free for producers as soon as they are taken, and each item still meets
// stop as it would have in the ring: dispatch_item tests the flag.
constexpr uint64_t kDispatchBatch = 32;

bool missing(const char* text) noexcept { return text == nullptr || text[0] == '\0'; }

const char* or_default(const char* text, const char* fallback) noexcept { return missing(text) ? fallback : text; }

// The state of one item from its pop to its end. The holders give back
// whatever no job or queue took.
struct Item {
  Runtime* rt;
  FrameBuffer frame;
  uint64_t length;
  IngressOrigin origin;
  ReplySlotRef slot;
  ParsedEnvelopePtr parsed;  // the inbound handler's, or empty

  // Not a job yet, but it fails like one, slot rule and all.
  void deadletter(DeadletterReason reason, const char* detail, uint64_t generation, const char* host = nullptr,
                  uint16_t port = 0) const noexcept {
    JobHead head{};
    head.frame = frame.get();
    head.length = length;
    head.generation = generation;
    head.host = host;
    head.port = port;
    head.reply_slot = slot.get();
    job_fail(rt, head, reason, detail);
  }
};

// A response goes to the remote requester waiting for it, or, when none is
// pending, to the host unchanged. A requester that gave up makes it late.
void dispatch_response(Item& item, const ParsedEnvelope& pe) noexcept {
  Runtime* rt = item.rt;
  bool abandoned = false;
  ReplySlotRef pending(reply_registry_take(&rt->reply_registry.get(), pe.correlation_id, &abandoned));
  if (abandoned || (pending && reply_slot_timed_out(pending.get()))) {
    rt->counters.add(Counter::late_remote_replies_dropped);
    event_log_record(rt, MonitorEventKind::late_remote_reply_dropped, 0, 0, 0);
    return;
  }
  if (pending) {
    // The item's own frame buffer becomes the reply: no copy.
    reply_slot_complete(pending.get(), ReplyKind::response, 0, item.frame.release(), item.length, nullptr);
    return;
  }
  // A refused frame is given back by the queue.
  (void)host_pipe_writers_handoff_response(rt, item.frame.release(), item.length, BufferKind::frame);
}

// Where resolution ended, decided on the retained table and acted on after.
enum class Resolution { resolved, no_snapshot, no_route, no_endpoints, failed };

struct Destination {
  uint64_t generation = 0;
  // The endpoint's host, in the active table, which `table` keeps alive
  // for the job (or the deadletter) that names it.
  const char* host = nullptr;
  RouteTableRefPtr table;
  uint16_t port = 0;
  uint32_t flags = 0;
  Status status = Status::ok;
  RouteFailureKind kind = RouteFailureKind::no_eligible_endpoint;
};

// Resolves against the active table, retained for the while: no lock is
// held over the lookup and the resolution, and the reference goes on with
// the job that names one of its hosts.
Resolution resolve(Runtime* rt, const EnvelopeRouting& routing, Destination* out, char* text) noexcept {
  RouteTableRefPtr active = rt->routes.acquire();
  if (!active) {
    out->generation = 0;
    return Resolution::no_snapshot;
  }
  out->generation = active->generation;
  RouteRecord* route = route_table_find(active->table, active->count, routing.target);
  if (route == nullptr) return Resolution::no_route;
  if (route->endpoint_count == 0) return Resolution::no_endpoints;
  text[0] = '\0';
  const EndpointDesc* endpoint = nullptr;
  out->status = route_resolve(route, &routing, &endpoint, &out->kind, text, kDispatchTextCapacity);
  if (out->status != Status::ok || endpoint == nullptr) return Resolution::failed;
  out->table = std::move(active);
  out->host = endpoint->host;
  out->port = endpoint->port;
  out->flags = endpoint->flags;
  return Resolution::resolved;
}

void dispatch_local(Item& item, const ParsedEnvelope& pe, Destination& dest) noexcept {
  Runtime* rt = item.rt;
  const char* host = dest.host;
  LocalJobPtr job(local_job_new(&rt->local_jobs));
  if (!job) {
    item.deadletter(DeadletterReason::delivery_failed, "failed to allocate local delivery job", dest.generation, host,
                    dest.port);
    return;
  }
  job->frame = item.frame.release();
  job->length = item.length;
  job->generation = dest.generation;
  job->host = dest.host;
  job->host_table = dest.table.release();
  job->port = dest.port;
  job->timeout_ms = static_cast<int32_t>(envelope_timeout_or_default(pe.timeout_ms));
  job->reply_slot = item.slot.release();
  job->one_way = pe.one_way != 0 ? 1 : 0;

  const Status pushed = local_delivery_enqueue(rt, job.get());
  if (pushed == Status::ok) {
    (void)job.release();  // the local worker owns it now
    return;
  }
  if (pushed == Status::would_block) {
    dispatcher_count_queue_rejection(rt, MonitorQueueScope::local_delivery, MonitorQueueRejectDetail::queue_full);
    job_fail(rt, *job, DeadletterReason::queue_rejected, "local delivery queue rejected envelope");
  } else {
    job_fail(rt, *job, DeadletterReason::runtime_stopped, "runtime stopped before local enqueue");
  }
}

// Moves `pe` into the job once the job is made (pe is then empty).
void dispatch_remote(Item& item, ParsedEnvelope& pe, Destination& dest) noexcept {
  Runtime* rt = item.rt;
  const char* host = dest.host;
  RemoteJobPtr job(remote_job_new(&rt->remote_jobs));
  // The id a peer's reply must name, kept from this parse.
  if (job) job->message_id = text_dup(pe.message_id);
  if (!job || job->message_id == nullptr) {
    item.deadletter(DeadletterReason::delivery_failed, "failed to allocate remote outbound job", dest.generation, host,
                    dest.port);
    return;
  }
  uint64_t now = 0;
  if (clock_now_ns_status(&now) != Status::ok) {
    item.deadletter(DeadletterReason::delivery_failed, "failed to capture monotonic deadline for remote delivery",
                    dest.generation, host, dest.port);
    return;
  }
  const int32_t timeout_ms = static_cast<int32_t>(envelope_timeout_or_default(pe.timeout_ms));
  job->frame = item.frame.release();
  job->length = item.length;
  job->generation = dest.generation;
  job->deadline_ns = deadline_after_ms(now, timeout_ms);
  // A relayed request is worth nothing once its requester has stopped
  // waiting: it must not hold the remote worker past that.
  const uint64_t requester_deadline = item.slot ? item.slot->deadline_ns : 0;
  if (requester_deadline != 0 && requester_deadline < job->deadline_ns) job->deadline_ns = requester_deadline;
  job->host = dest.host;
  job->host_table = dest.table.release();
  job->port = dest.port;
  job->expects_reply = pe.one_way != 0 ? 0 : 1;
  job->timeout_ms = timeout_ms;
  job->reply_slot = item.slot.release();
  // Failover resolves again from this parse rather than a second one.
  job->parsed = std::move(pe);  // the job owns the parse now; pe is empty
  job->has_parsed = 1;

  MonitorQueueRejectDetail detail = MonitorQueueRejectDetail::none;
  const Status pushed = remote_admission_enqueue(rt, job.get(), &detail);
  if (pushed == Status::ok) {
    (void)job.release();  // the remote worker owns it now
    return;
  }
  if (pushed == Status::would_block) {
    const bool reserve = detail == MonitorQueueRejectDetail::remote_reply_reserve;
    rt->counters.add(Counter::remote_outbound_rejections);
    dispatcher_count_queue_rejection(rt, MonitorQueueScope::remote_outbound,
                                  reserve ? MonitorQueueRejectDetail::remote_reply_reserve
                                          : MonitorQueueRejectDetail::queue_full);
    job_fail(rt, *job, DeadletterReason::queue_rejected,
             reserve ? "remote outbound reply reservation rejected one-way envelope"
                     : "remote outbound queue rejected envelope");
  } else {
    job_fail(rt, *job, DeadletterReason::runtime_stopped, "runtime stopped before remote enqueue");
  }
}

// Requests, events and kinds outside the schema: resolved and handed to a
// worker.
void dispatch_routed(Item& item, ParsedEnvelope& pe, char* text) noexcept {
  Runtime* rt = item.rt;
  // A request relayed from a peer that insisted on a remote endpoint is
  // routed like any other: a local endpoint now delivers it to this host
  // instead of sending it back out.
  EnvelopeRouting routing = envelope_routing(pe);  // borrowed: pe outlives it
  if (item.origin == IngressOrigin::remote && routing.delivery_hint == wire(DeliveryHint::require_remote)) {
    routing.delivery_hint = wire(DeliveryHint::router_default);
  }

  Destination dest;
  switch (resolve(rt, routing, &dest, text)) {
    case Resolution::resolved:
      break;
    case Resolution::no_snapshot:
      item.deadletter(DeadletterReason::no_active_snapshot, "no active snapshot", dest.generation);
      return;
    case Resolution::no_route:
      item.deadletter(DeadletterReason::route_miss, "target not present in active snapshot", dest.generation);
      return;
    case Resolution::no_endpoints:
      item.deadletter(DeadletterReason::no_responsible_host, "route has no responsible host", dest.generation);
      return;
    case Resolution::failed:
      if (dest.kind == RouteFailureKind::endpoint_unavailable) {
        rt->counters.add(Counter::endpoint_unavailable_refusals);
        event_log_record(rt, MonitorEventKind::endpoint_unavailable, 0, 0, 0);
      }
      item.deadletter(route_failure_reason(dest.status, dest.kind), or_default(text, "route resolution failed"),
                      dest.generation);
      return;
  }
  if (dest.host == nullptr || dest.port == 0) {
    item.deadletter(DeadletterReason::delivery_failed, "failed to snapshot resolved destination", dest.generation);
    return;
  }
  // A host's REQUIRE_REMOTE goes out over TCP even to an endpoint flagged
  // local.
  if (routing.delivery_hint == wire(DeliveryHint::require_remote) || (dest.flags & kEndpointFlagLocal) == 0) {
    dispatch_remote(item, pe, dest);
  } else {
    dispatch_local(item, pe, dest);
  }
}

}  // namespace

void dispatcher_count_queue_rejection(Runtime* rt, MonitorQueueScope scope, MonitorQueueRejectDetail why) noexcept {
  rt->counters.add(Counter::queue_rejections);
  event_log_record(rt, MonitorEventKind::queue_rejected, static_cast<uint32_t>(scope), static_cast<uint64_t>(why), 0);
}

DeadletterReason route_failure_reason(Status status, RouteFailureKind kind) noexcept {
  if (status == Status::invalid_arg) return DeadletterReason::invalid_envelope;
  switch (kind) {
    case RouteFailureKind::endpoint_unavailable:
      return DeadletterReason::endpoint_unavailable;
    case RouteFailureKind::locality_mismatch:
      return DeadletterReason::locality_mismatch;
    default:
      return DeadletterReason::delivery_failed;
  }
}

void dispatch_item(Runtime* rt, IngressItem* popped) noexcept {
  Item item{rt, FrameBuffer(popped->frame), popped->length, popped->origin, ReplySlotRef(popped->reply_slot),
            ParsedEnvelopePtr(popped->parsed)};
  *popped = IngressItem{};

  if (rt->stopping.load(std::memory_order_acquire) != 0) {
    // The generation is an atomic: no need to contend with stop for the lock.
    item.deadletter(DeadletterReason::runtime_stopped, "runtime stopped before delivery", rt->routes.generation());
    return;
  }

  char text[kDispatchTextCapacity];
  text[0] = '\0';
  // A peer's envelope comes parsed: the inbound handler parsed these same
  // bytes and refused whatever the two checks below refuse, with the same
  // texts, before it queued the item.
  ParsedEnvelope own;
  ParsedEnvelope* pe = item.parsed.get();
  if (pe == nullptr) {
    if (parsed_envelope_parse(item.frame.get(), item.length, &own, text, sizeof text) != Status::ok) {
      item.deadletter(DeadletterReason::invalid_envelope, or_default(text, "invalid envelope"), 0);
      return;
    }
    if (parsed_envelope_validate_semantics(&own, text, sizeof text) != Status::ok) {
      item.deadletter(DeadletterReason::invalid_envelope, or_default(text, "invalid envelope semantics"), 0);
      return;
    }
    pe = &own;
  }
  if (pe->kind == wire(MessageKind::response)) {
    dispatch_response(item, *pe);  // never deadlettered, never routed
    return;
  }
  dispatch_routed(item, *pe, text);
}

void dispatcher_run(Runtime* rt) noexcept {
  // What is queued is taken a batch at a time, so that producers and the
  // dispatcher meet on the ring's indices once per batch, not per item.
  IngressItem batch[kDispatchBatch];
  for (;;) {
    const uint64_t n = ingress_take(rt, batch, kDispatchBatch);
    if (n == 0) return;
    for (uint64_t i = 0; i < n; ++i) dispatch_item(rt, &batch[i]);
  }
}

void dispatcher_thread(void* runtime) noexcept {
  auto* rt = static_cast<Runtime*>(runtime);
  // Nothing is dispatched before the start that launched this thread has
  // started the runtime or, failing, set stopping: no job is queued for a
  // worker that a failed start never ran.
  while (rt->start_settled.load(std::memory_order_acquire) == 0) rt->start_settled.wait(0, std::memory_order_acquire);
  dispatcher_run(rt);
}

}  // namespace vorlet::v2
