#include "runtime/remote_outbound.h"

#include "base/alloc.h"
#include "base/clock.h"
#include "base/text.h"
#include "codec/codes.h"
#include "codec/deadletter.h"
#include "codec/parsed_envelope.h"
#include "pool/frame_buffer.h"
#include "runtime/consumer_wait.h"
#include "runtime/event_log.h"
#include "runtime/host_pipe_writers.h"
#include "runtime/jobs.h"
#include "runtime/route_resolution.h"
#include "runtime/route_table.h"
#include "runtime/runtime.h"
#include "tcp/tcp_adapter.h"

namespace vorlet::v2 {
namespace {

constexpr char kNoTerminalResult[] = "remote transport returned no terminal result";
constexpr char kResponseAboutAnother[] = "remote response correlation_id does not match the request message_id";
constexpr char kDeadletterAboutAnother[] =
    "remote deadletter original_envelope message_id does not match the request message_id";
constexpr char kReasonOutOfRange[] = "remote peer reason is outside 1 to 14";
constexpr char kReplyTooLarge[] = "remote reply exceeds max frame bytes";

// The reasons a deadletter may carry; a peer's unspecified, or anything
// past one_way_dropped_by_policy, tells the host nothing it could act on.
bool is_known_reason(int32_t reason) noexcept {
  return reason >= wire(DeadletterReason::no_active_snapshot) &&
         reason <= wire(DeadletterReason::one_way_dropped_by_policy);
}

uint32_t capped(uint64_t attempts) noexcept {
  return attempts > kAttemptCountCap ? static_cast<uint32_t>(kAttemptCountCap) : static_cast<uint32_t>(attempts);
}

uint64_t tried(const RemoteJob* job) noexcept { return tried_set_count(&job->tried); }

// What one exchange handed back; reset before every attempt.
struct ExchangeResult {
  int32_t kind = wire(ReplyKind::none);
  HeapBlock reply;  // the peer's payload, an rt_malloc block
  uint64_t length = 0;
  int32_t reason = wire(DeadletterReason::delivery_failed);
  char text[kRemoteTextCapacity] = {};

  void reset() noexcept {
    kind = wire(ReplyKind::none);
    reply.reset();
    length = 0;
    reason = wire(DeadletterReason::delivery_failed);
    text[0] = '\0';
  }
};

// Ends a job with a deadletter that reports its attempts.
void fail(Runtime* rt, RemoteJob* job, DeadletterReason reason, const char* detail, uint64_t attempts) noexcept {
  job_fail(rt, *job, reason, detail, capped(attempts));
}

// A peer took the envelope: counts the delivery, then passes the response
// on to the waiting remote requester, or else to the host. A one-way job's
// empty response means delivered, with nothing to pass on but the news.
void forward_response(Runtime* rt, RemoteJob* job, ExchangeResult* ex) noexcept {
  const uint64_t attempts = tried(job) + 1;
  rt->counters.add(Counter::remote_responses_forwarded);
  event_log_record(rt, MonitorEventKind::remote_response_forwarded, 0, 0, capped(attempts));
  if (tried(job) > 0) rt->counters.add(Counter::failover_recoveries);

  if (job->reply_slot != nullptr) {
    reply_registry_remove(&rt->reply_registry.get(), job->reply_slot);
    if (ex->length == 0) {
      reply_slot_complete(job->reply_slot, ReplyKind::response, 0, nullptr, 0, nullptr);
      return;
    }
    FrameBuffer copy;
    if (frame_copy_from_bytes(ex->reply.get(), ex->length, &copy) == Status::ok) {
      reply_slot_complete(job->reply_slot, ReplyKind::response, 0, copy.release(), ex->length, nullptr);
    } else {
      reply_slot_complete(job->reply_slot, ReplyKind::none, wire(DeadletterReason::delivery_failed),
                          nullptr, 0, "failed to copy remote reply payload");
    }
    return;
  }
  if (ex->length > 0) (void)host_pipe_writers_handoff_response(rt, ex->reply.release(), ex->length, BufferKind::heap);
}

// A peer's deadletter for an envelope its handler owned: passed on with the
// attempts re-stamped, to the waiting remote requester or to the host.
void forward_deadletter(Runtime* rt, RemoteJob* job, ExchangeResult* ex, const DeadletterSummary& peer) noexcept {
  const uint32_t attempts = capped(tried(job) + 1);
  rt->counters.add(Counter::remote_deadletters_forwarded);
  event_log_record(rt, MonitorEventKind::remote_deadletter_forwarded, 0,
                   static_cast<uint64_t>(static_cast<int64_t>(peer.reason)), attempts);
  void* bytes = ex->reply.release();
  // One that names no envelope gets this job's, so that its requester can
  // tell it is the answer. On a failure the peer's own bytes go on.
  const bool stamp = peer.original == DeadletterOriginal::absent;
  (void)deadletter_set_attempt_count(&bytes, &ex->length, attempts, stamp ? job->frame : nullptr,
                                     stamp ? job->length : 0);
  ex->reply.reset(bytes);
  rt->counters.add(Counter::deadletters_emitted);
  if (job->reply_slot != nullptr) {
    reply_registry_remove(&rt->reply_registry.get(), job->reply_slot);
    reply_slot_complete(job->reply_slot, ReplyKind::deadletter, peer.reason, ex->reply.release(), ex->length,
                        peer.detail);
  } else {
    host_pipe_writers_handoff_deadletter(rt, ex->reply.release(), ex->length);
  }
}

// The steps after an exchange without a terminal reply. true: try the next
// endpoint.
bool after_failed_exchange(Runtime* rt, RemoteJob* job, ExchangeResult* ex) noexcept {
  if (!is_known_reason(ex->reason)) {
    // Only a peer's failure reply carries such a reason. Its text is kept;
    // no failover: the peer may own the envelope.
    fail(rt, job, DeadletterReason::remote_transport_failed, ex->text[0] != '\0' ? ex->text : kReasonOutOfRange,
         tried(job) + 1);
    return false;
  }
  const bool transport = ex->reason == wire(DeadletterReason::remote_transport_failed);
  if (transport) {
    if (remote_outbound_failover_reresolve(rt, job, ex->text, sizeof ex->text) == Status::ok) {
      rt->counters.add(Counter::failover_retries);
      return true;
    }
    rt->counters.add(Counter::failover_exhausted);
  }
  // After a transport failure the failover has recorded the endpoint; any
  // other failure ends on the endpoint just tried.
  const uint64_t attempts = transport ? tried(job) : tried(job) + 1;
  fail(rt, job, static_cast<DeadletterReason>(ex->reason),
       ex->text[0] != '\0' ? ex->text : "remote transport adapter rejected remote delivery", attempts);
  return false;
}

// A peer's deadletter. true: try the next endpoint.
bool after_peer_deadletter(Runtime* rt, RemoteJob* job, ExchangeResult* ex) noexcept {
  if (ex->length == 0) {
    // Nothing to pass on: the envelope would vanish (and a relayed
    // request's requester would never hear back).
    fail(rt, job, DeadletterReason::delivery_failed, kNoTerminalResult, tried(job) + 1);
    return false;
  }
  DeadletterSummary peer{};
  if (deadletter_summary_decode(ex->reply.get(), ex->length, &peer, job->message_id) != Status::ok) {
    // Bytes the host could not read are not passed on; the job's own
    // deadletter goes instead. No failover: the peer may own the envelope.
    fail(rt, job, DeadletterReason::remote_transport_failed, peer.detail, tried(job) + 1);
    return false;
  }
  // Nor is one about another request (it would answer that one's
  // requester), or one whose reason says nothing: this job's own goes
  // instead, without failover.
  if (peer.original == DeadletterOriginal::other) {
    fail(rt, job, DeadletterReason::remote_transport_failed, kDeadletterAboutAnother, tried(job) + 1);
    return false;
  }
  if (!is_known_reason(peer.reason)) {
    fail(rt, job, DeadletterReason::remote_transport_failed, peer.detail[0] != '\0' ? peer.detail : kReasonOutOfRange,
         tried(job) + 1);
    return false;
  }
  if (!deadletter_is_pre_ownership(peer)) {
    forward_deadletter(rt, job, ex, peer);
    return false;
  }
  // The peer refused before its handler took the envelope: another
  // endpoint may still take it. The failover's own message is not reported.
  char failover_text[kRemoteTextCapacity] = "";
  if (remote_outbound_failover_reresolve(rt, job, failover_text, sizeof failover_text) == Status::ok) {
    rt->counters.add(Counter::failover_retries);
    return true;
  }
  rt->counters.add(Counter::failover_exhausted);
  ex->reply.reset();
  fail(rt, job, static_cast<DeadletterReason>(peer.reason),
       peer.detail[0] != '\0' ? peer.detail : "remote endpoint rejected before handler ownership", tried(job));
  return false;
}

// What a peer's non-empty response is. It must be a response envelope,
// and one that answers this job: what is passed on reaches the host's
// response pipe, or the requesting peer, as an answer to whatever its
// correlation_id names.
enum class PeerResponse { answer, not_a_response, about_another };

PeerResponse classify_response(const RemoteJob* job, const ExchangeResult& ex) noexcept {
  int32_t kind = wire(MessageKind::unspecified);
  bool correlated = false;
  if (envelope_peek_correlation(ex.reply.get(), ex.length, job->message_id, &kind, &correlated) != Status::ok ||
      kind != wire(MessageKind::response)) {
    return PeerResponse::not_a_response;
  }
  return correlated ? PeerResponse::answer : PeerResponse::about_another;
}

// A terminal reply is held to the runtime's frame limit: the host's frame
// readers may refuse anything larger, and a reply relayed to a requesting
// peer is held to the limit of what this runtime takes from peers.
bool reply_too_large(const Runtime* rt, const ExchangeResult& ex) noexcept {
  const bool terminal = ex.kind == wire(ReplyKind::response) || ex.kind == wire(ReplyKind::deadletter);
  return terminal && ex.length > rt->max_frame_bytes;
}

}  // namespace

Status remote_outbound_failover_reresolve(Runtime* rt, RemoteJob* job, char* text, uint64_t text_capacity) noexcept {
  if (rt == nullptr || job == nullptr) return Status::invalid_arg;
  Status s = tried_set_add(&job->tried, job->host, job->port);
  if (s != Status::ok) {
    text_copy_bounded(text, text_capacity, "failed to record failed endpoint attempt");
    return s;
  }

  // The dispatcher's parse, kept in the job; a job made without one (a
  // test's) is decoded here.
  ParsedEnvelope parsed;
  const ParsedEnvelope* pe = &job->parsed;
  if (job->has_parsed == 0) {
    char parse_error[128] = "";
    const Status parsed_status =
        parsed_envelope_parse(job->frame, job->length, &parsed, parse_error, sizeof parse_error);
    if (parsed_status != Status::ok) {
      text_copy_bounded(text, text_capacity,
                        parse_error[0] != '\0' ? parse_error : "failed to parse envelope for failover");
      return parsed_status;
    }
    pe = &parsed;
  }
  const EnvelopeRouting routing = envelope_routing(*pe);

  // The active table, read without runtime_lock; the job keeps it for its
  // new host when the failover succeeds.
  RouteTableRefPtr table = rt->routes.acquire();
  if (!table || table->generation != job->generation) {
    text_copy_bounded(text, text_capacity, "route generation changed before failover attempt");
    return Status::bad_state;
  }
  RouteRecord* route = route_table_find(table->table, table->count, routing.target);
  if (route == nullptr) {
    text_copy_bounded(text, text_capacity, "route disappeared before failover attempt");
    return Status::bad_state;
  }
  const EndpointDesc* endpoint = nullptr;
  s = route_resolve_excluding(route, &routing, tried_set_entries(&job->tried), tried_set_count(&job->tried),
                              &endpoint, nullptr, text, text_capacity);
  if (s != Status::ok || endpoint == nullptr) return s != Status::ok ? s : Status::bad_state;
  const char* host = endpoint->host;
  const uint16_t port = endpoint->port;
  if (host == nullptr || port == 0) return Status::nomem;
  // The job now names a host of the active table; its old table reference
  // goes with the holder.
  job->host = host;
  RouteTableRef* held = job->host_table;
  job->host_table = table.release();
  table.reset(held);
  job->port = port;
  return Status::ok;
}

void remote_deliver(Runtime* rt, RemoteJob* job, MonotonicClock clock, platform::Event* relay_cut) noexcept {
  if (rt->stopping.load(std::memory_order_acquire) != 0) {
    fail(rt, job, DeadletterReason::runtime_stopped, "runtime stopped before remote delivery", tried(job));
    return;
  }
  ExchangeResult ex;
  for (;;) {
    ex.reset();
    // Later attempts get what is left of the first one's budget.
    uint64_t budget;
    if (job->deadline_ns != 0) {
      uint64_t now = 0;
      if (clock_now_ns_status(&now, clock) != Status::ok) {
        fail(rt, job, DeadletterReason::delivery_failed, "failed to capture remaining remote delivery budget",
             tried(job));
        return;
      }
      budget = remaining_budget_ms(now, job->deadline_ns);
    } else {
      budget = job->timeout_ms > 0 ? static_cast<uint64_t>(job->timeout_ms) : 0;
    }
    // A relayed request whose requester has its answer or has given up is
    // not sent (again): nobody would take the result. Once it is sent, the
    // requester's giving up sets relay_cut, and the exchange ends then.
    const bool watched = relay_cut != nullptr && job->reply_slot != nullptr;
    if (watched) relay_cut->reset();
    if (budget == 0 || (watched ? !reply_slot_relay_begin(job->reply_slot, relay_cut)
                                : reply_slot_settled(job->reply_slot))) {
      if (tried(job) > 0) rt->counters.add(Counter::failover_exhausted);
      fail(rt, job, DeadletterReason::expired_before_delivery,
           "remote delivery budget expired before transport attempt", tried(job));
      return;
    }

    uint8_t* reply = nullptr;
    const Status s = tcp_adapter_exchange(rt->tcp_adapter, static_cast<const uint8_t*>(job->frame), job->length,
                                          job->host, job->port, static_cast<uint32_t>(budget), &ex.kind, &reply,
                                          &ex.length, &ex.reason, ex.text, sizeof ex.text,
                                          watched ? relay_cut->descriptor() : -1);
    if (watched) reply_slot_relay_end(job->reply_slot);
    ex.reply.reset(reply);
    // The text may be the peer's raw bytes, and may become a detail.
    utf8_sanitize(ex.text);

    bool next_attempt = false;
    if (s == Status::closed) {
      // Cut by stop: the attempt counts, and no other endpoint is tried.
      fail(rt, job, DeadletterReason::runtime_stopped, kTcpExchangeCutText, tried(job) + 1);
    } else if (s != Status::ok) {
      next_attempt = after_failed_exchange(rt, job, &ex);
    } else if (reply_too_large(rt, ex)) {
      // Not passed on, and no failover: the peer may own the envelope.
      fail(rt, job, DeadletterReason::remote_transport_failed, kReplyTooLarge, tried(job) + 1);
    } else if (ex.kind == wire(ReplyKind::response)) {
      // An empty response is a delivery only where no response is awaited.
      if (ex.length == 0 && job->expects_reply != 0) {
        fail(rt, job, DeadletterReason::delivery_failed, kNoTerminalResult, tried(job) + 1);
      } else {
        // Not passed on unless it is the answer, and no failover: the peer
        // may own the envelope.
        const PeerResponse what = ex.length > 0 ? classify_response(job, ex) : PeerResponse::answer;
        if (what == PeerResponse::not_a_response) {
          fail(rt, job, DeadletterReason::remote_transport_failed, "tcp response decode failed", tried(job) + 1);
        } else if (what == PeerResponse::about_another) {
          fail(rt, job, DeadletterReason::remote_transport_failed, kResponseAboutAnother, tried(job) + 1);
        } else {
          forward_response(rt, job, &ex);
        }
      }
    } else if (ex.kind == wire(ReplyKind::deadletter)) {
      next_attempt = after_peer_deadletter(rt, job, &ex);
    } else {
      fail(rt, job, DeadletterReason::delivery_failed, kNoTerminalResult, tried(job) + 1);
    }
    if (!next_attempt) return;
  }
}

RemoteJob* remote_outbound_pop(Runtime* rt) noexcept {
  // The ring is its worker's to pop under the lock that job_ring_pop takes.
  return job_ring_pop(rt, &rt->remote_ring, &rt->remote_outbound_lock, &rt->remote_wake,
                      Counter::remote_outbound_depth, Counter::remote_outbound_peak);
}

void remote_outbound_thread(void* runtime) noexcept {
  auto* rt = static_cast<Runtime*>(runtime);
  while (const RemoteJobPtr job{remote_outbound_pop(rt)}) {
    remote_deliver(rt, job.get(), clock_monotonic_ns, rt->relay_cut);
  }
}

}  // namespace vorlet::v2
