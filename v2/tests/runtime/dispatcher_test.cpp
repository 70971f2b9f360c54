#include "runtime/dispatcher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "pool/frame_buffer.h"
#include "codec/parsed_envelope.h"
#include "runtime/control_apply.h"
#include "runtime/ingress.h"
#include "runtime/jobs.h"
#include "runtime/local_delivery.h"
#include "runtime/remote_admission.h"
#include "runtime/runtime.h"
#include "support/delivery_ledger.h"
#include "support/envelopes.h"
#include "support/job_support.h"
#include "support/runtime_probe.h"
#include "support/test_runtime.h"
#include "vorlet/v2/transport.pb.h"

namespace vorlet::v2 {
namespace {

using test::FlatSnapshot;
using test::FrameBytes;
using test::kLocalTarget;
using test::str;
using test::TestRuntime;

transport::Envelope request(const std::string& id, const std::string& target = kLocalTarget) {
  return test::envelope({.message_id = id,
                         .correlation_id = "c-" + id,
                         .source = "tester",
                         .target = target,
                         .payload = "payload of " + id});
}

transport::Envelope response_to(const std::string& request_id, const std::string& target = kLocalTarget) {
  return test::envelope({.message_id = "r-" + request_id,
                         .correlation_id = request_id,
                         .target = target,
                         .kind = transport::MESSAGE_KIND_RESPONSE,
                         .payload = "answer to " + request_id});
}

// What a reply slot ended with.
struct SlotResult {
  Status status;
  ReplyKind kind;
  int32_t reason;
  std::string payload;
  std::string message;
};

SlotResult wait_slot(ReplySlot* slot, uint32_t timeout_ms = 10000) {
  SlotResult r{};
  void* payload = nullptr;
  uint64_t length = 0;
  char text[kReplyMessageCapacity];
  r.status = reply_slot_wait(slot, timeout_ms, &r.kind, &payload, &length, &r.reason, text, sizeof text);
  if (payload != nullptr) r.payload.assign(static_cast<const char*>(payload), length);
  reply_payload_release(r.kind, payload);
  r.message = text;
  return r;
}

// A remote-origin item for `bytes` carrying `slot`, handed straight to the
// dispatcher's step: whatever becomes of it ends in the slot.
void dispatch_with_slot(Runtime* rt, const std::string& bytes, ReplySlot* slot) {
  IngressItem item = test::make_item(bytes, slot);
  item.origin = IngressOrigin::remote;
  dispatch_item(rt, &item);
}

transport::Deadletter parse_deadletter(const std::string& bytes) {
  transport::Deadletter dl;
  EXPECT_TRUE(dl.ParseFromString(bytes));
  return dl;
}

// A started runtime with `snapshot` applied and every pipe taken.
bool bring_up_with(TestRuntime& fx, FlatSnapshot& snapshot) {
  return fx.take_handles() == Status::ok && fx.apply(snapshot) == Status::ok && fx.start() == Status::ok;
}

// Through submit: each refusal is a reason-9 deadletter with generation 0
// and no destination; each accepted counterpart is routed to the host.
TEST(Dispatcher, SemanticRefusalsAreDeadletteredAndTheirCounterpartsRouted) {
  struct Case {
    const char* what;
    std::function<void(transport::Envelope&)> set;
    const char* refusal;
    HostPipe accepted_on;
  };
  const Case cases[] = {
      {"kind unspecified", [](transport::Envelope& e) { e.set_kind(transport::MESSAGE_KIND_UNSPECIFIED); },
       "envelope kind is unspecified", HostPipe::delivered},
      {"request without correlation", [](transport::Envelope& e) { e.clear_correlation_id(); },
       "request envelope missing correlation_id", HostPipe::delivered},
      {"one-way request with reply_to",
       [](transport::Envelope& e) {
         e.set_one_way(true);
         e.set_reply_to("tester");
       },
       "one-way request must not carry reply_to", HostPipe::delivered},
      {"one-way request without correlation",
       [](transport::Envelope& e) {
         e.set_one_way(true);
         e.clear_correlation_id();
       },
       nullptr, HostPipe::delivered},
      {"event", [](transport::Envelope& e) { e.set_kind(transport::MESSAGE_KIND_EVENT); }, nullptr,
       HostPipe::delivered},
      {"response without correlation",
       [](transport::Envelope& e) {
         e.set_kind(transport::MESSAGE_KIND_RESPONSE);
         e.clear_correlation_id();
       },
       "response envelope missing correlation_id", HostPipe::response},
      {"one-way response",
       [](transport::Envelope& e) {
         e.set_kind(transport::MESSAGE_KIND_RESPONSE);
         e.set_one_way(true);
       },
       "response envelope must not be one_way", HostPipe::response},
      {"response with reply_to",
       [](transport::Envelope& e) {
         e.set_kind(transport::MESSAGE_KIND_RESPONSE);
         e.set_reply_to("tester");
       },
       "response envelope must not carry reply_to", HostPipe::response},
      {"response overriding the hint",
       [](transport::Envelope& e) {
         e.set_kind(transport::MESSAGE_KIND_RESPONSE);
         e.set_delivery_hint(transport::DELIVERY_HINT_PREFER_LOCAL);
       },
       "response envelope must not override delivery_hint", HostPipe::response},
      // Matches nothing pending: to the host unchanged, although its target
      // has no route.
      {"unmatched response to nowhere",
       [](transport::Envelope& e) {
         e.set_kind(transport::MESSAGE_KIND_RESPONSE);
         e.set_target("nowhere");
         e.set_delivery_hint(transport::DELIVERY_HINT_ROUTER_DEFAULT);
       },
       nullptr, HostPipe::response},
  };
  TestRuntime fx;
  ASSERT_TRUE(fx.bring_up());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    transport::Envelope env = request(c.what);
    c.set(env);
    const std::string bytes = env.SerializeAsString();
    ASSERT_EQ(ingress_submit_envelope(fx.rt, bytes.data(), bytes.size()), Status::ok);
    FrameBytes got;
    if (c.refusal != nullptr) {
      ASSERT_EQ(fx.read_frame(HostPipe::deadletter, &got), Status::ok);
      const transport::Deadletter dl = parse_deadletter(str(got));
      EXPECT_EQ(dl.reason(), transport::DEADLETTER_REASON_INVALID_ENVELOPE);
      EXPECT_EQ(dl.detail(), c.refusal);
      EXPECT_EQ(dl.active_generation(), 0u);
      EXPECT_EQ(dl.resolved_host(), "");
      EXPECT_EQ(dl.resolved_port(), 0u);
      EXPECT_EQ(dl.endpoint_attempt_count(), 0u);
      EXPECT_EQ(dl.original_envelope().SerializeAsString(), bytes);
    } else {
      ASSERT_EQ(fx.read_frame(c.accepted_on, &got), Status::ok);
      EXPECT_EQ(str(got), bytes);  // byte-identical
    }
  }
  ASSERT_EQ(fx.stop(), Status::ok);
  std::vector<FrameBytes> rest;
  for (HostPipe pipe : {HostPipe::delivered, HostPipe::response, HostPipe::deadletter}) {
    ASSERT_EQ(fx.read_until_eof(pipe, &rest), Status::ok);
  }
  EXPECT_TRUE(rest.empty());
}

TEST(Dispatcher, RouteFailureReasons) {
  struct Case {
    Status status;
    RouteFailureKind kind;
    DeadletterReason reason;
  };
  const Case cases[] = {
      {Status::invalid_arg, RouteFailureKind::endpoint_unavailable, DeadletterReason::invalid_envelope},
      {Status::bad_state, RouteFailureKind::endpoint_unavailable, DeadletterReason::endpoint_unavailable},
      {Status::bad_state, RouteFailureKind::locality_mismatch, DeadletterReason::locality_mismatch},
      {Status::bad_state, RouteFailureKind::no_eligible_endpoint, DeadletterReason::delivery_failed},
  };
  for (const Case& c : cases) EXPECT_EQ(route_failure_reason(c.status, c.kind), c.reason);
}

// Every failure after the semantic check carries the active generation, and
// none names an endpoint: resolution did not settle on one.
TEST(Dispatcher, UnroutableEnvelopesBecomeDeadletters) {
  FlatSnapshot snapshot(5);
  snapshot.route(kLocalTarget, VORLET_V2_ROUTE_STRATEGY_SINGLE_OWNER,
                 {{"127.0.0.1", 1, 1, VORLET_V2_ENDPOINT_FLAG_LOCAL}});
  snapshot.route("svc.drained", VORLET_V2_ROUTE_STRATEGY_SINGLE_OWNER,
                 {{"127.0.0.1", 2, 1, VORLET_V2_ENDPOINT_FLAG_UNAVAILABLE}});
  snapshot.route("svc.keyed", VORLET_V2_ROUTE_STRATEGY_RENDEZVOUS_HASH, {{"127.0.0.1", 3, 1, 0}}, "tenant");
  snapshot.route("svc.far", VORLET_V2_ROUTE_STRATEGY_SINGLE_OWNER, {{"10.1.1.1", 4, 1, 0}});
  // Key "abc" scores 10.0.0.2 lowest: the strategy picks a remote endpoint,
  // and the deadletter still names none.
  snapshot.route("svc.sessions", VORLET_V2_ROUTE_STRATEGY_RENDEZVOUS_HASH,
                 {{"10.0.0.1", 7000, 1, VORLET_V2_ENDPOINT_FLAG_LOCAL},
                  {"10.0.0.2", 7000, 1, 0},
                  {"10.0.0.3", 7000, 1, 0}},
                 "tenant");
  struct Case {
    const char* what;
    std::string bytes;
    transport::DeadletterReason reason;
    const char* detail;
    uint64_t generation;
    bool has_original;
  };
  transport::Envelope local_only = request("local-only", "svc.far");
  local_only.set_delivery_hint(transport::DELIVERY_HINT_REQUIRE_LOCAL);
  transport::Envelope picked_remote = request("picked-remote", "svc.sessions");
  picked_remote.set_delivery_hint(transport::DELIVERY_HINT_REQUIRE_LOCAL);
  (*picked_remote.mutable_headers())["tenant"] = "abc";
  const Case cases[] = {
      {"unknown target", request("miss", "svc.none").SerializeAsString(), transport::DEADLETTER_REASON_ROUTE_MISS,
       "target not present in active snapshot", 5, true},
      {"target differing in case", request("case", "SVC.LOCAL").SerializeAsString(),
       transport::DEADLETTER_REASON_ROUTE_MISS, "target not present in active snapshot", 5, true},
      {"every endpoint unavailable", request("drained", "svc.drained").SerializeAsString(),
       transport::DEADLETTER_REASON_ENDPOINT_UNAVAILABLE, "all route endpoints are unavailable", 5, true},
      {"route key header missing", request("keyless", "svc.keyed").SerializeAsString(),
       transport::DEADLETTER_REASON_INVALID_ENVELOPE, "missing route key header 'tenant'", 5, true},
      {"local required, none there", local_only.SerializeAsString(), transport::DEADLETTER_REASON_LOCALITY_MISMATCH,
       "local delivery required but route has no local endpoint", 5, true},
      {"local required, the key picks a remote endpoint", picked_remote.SerializeAsString(),
       transport::DEADLETTER_REASON_LOCALITY_MISMATCH, "local delivery required but route selected non-local endpoint",
       5, true},
      {"undecodable bytes", std::string("\xff\xff\xff\xff", 4), transport::DEADLETTER_REASON_INVALID_ENVELOPE,
       "protobuf parse failed", 0, false},
  };
  TestRuntime fx;
  ASSERT_TRUE(bring_up_with(fx, snapshot));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const uint64_t misses = fx.counter(Counter::route_misses);
    const uint64_t unavailable = fx.counter(Counter::endpoint_unavailable_refusals);
    const uint64_t emitted = fx.counter(Counter::deadletters_emitted);
    ASSERT_EQ(ingress_submit_envelope(fx.rt, c.bytes.data(), c.bytes.size()), Status::ok);
    FrameBytes got;
    ASSERT_EQ(fx.read_frame(HostPipe::deadletter, &got), Status::ok);
    const transport::Deadletter dl = parse_deadletter(str(got));
    EXPECT_EQ(dl.reason(), c.reason);
    EXPECT_EQ(dl.detail(), c.detail);
    EXPECT_EQ(dl.active_generation(), c.generation);
    EXPECT_EQ(dl.resolved_host(), "");
    EXPECT_EQ(dl.resolved_port(), 0u);
    EXPECT_EQ(dl.has_original_envelope(), c.has_original);
    EXPECT_EQ(fx.counter(Counter::deadletters_emitted), emitted + 1);
    const bool miss = c.reason == transport::DEADLETTER_REASON_ROUTE_MISS;
    EXPECT_EQ(fx.counter(Counter::route_misses), misses + (miss ? 1 : 0));
    const bool refused = c.reason == transport::DEADLETTER_REASON_ENDPOINT_UNAVAILABLE;
    EXPECT_EQ(fx.counter(Counter::endpoint_unavailable_refusals), unavailable + (refused ? 1 : 0));
    if (refused) {
      EXPECT_EQ(fx.events().back().kind, 6u);
    }
  }
  ASSERT_EQ(fx.stop(), Status::ok);
}

// Before any snapshot, and once stop has begun (even for bytes that are
// not an envelope), the dispatcher's step answers without routing.
TEST(Dispatcher, NoSnapshotAndStoppingAnswerBeforeRouting) {
  test::TestRuntime created;
  Runtime* rt = created.rt;
  ReplySlotRef slot(reply_slot_create());
  dispatch_with_slot(rt, request("early").SerializeAsString(), slot.get());
  SlotResult r = wait_slot(slot.get());
  ASSERT_EQ(r.kind, ReplyKind::deadletter);
  transport::Deadletter dl = parse_deadletter(r.payload);
  EXPECT_EQ(dl.reason(), transport::DEADLETTER_REASON_NO_ACTIVE_SNAPSHOT);
  EXPECT_EQ(dl.detail(), "no active snapshot");
  EXPECT_EQ(dl.active_generation(), 0u);

  FlatSnapshot snapshot(9);
  test::add_local_route(&snapshot, 7000);
  ASSERT_EQ(control_apply_snapshot(rt, snapshot.desc(), nullptr), Status::ok);
  rt->stopping.store(1);
  ReplySlotRef late(reply_slot_create());
  dispatch_with_slot(rt, "not an envelope", late.get());
  r = wait_slot(late.get());
  ASSERT_EQ(r.kind, ReplyKind::deadletter);
  dl = parse_deadletter(r.payload);
  EXPECT_EQ(dl.reason(), transport::DEADLETTER_REASON_RUNTIME_STOPPED);
  EXPECT_EQ(dl.detail(), "runtime stopped before delivery");
  EXPECT_EQ(dl.active_generation(), 9u);
  EXPECT_EQ(rt->counters.load(Counter::deadletters_emitted), 2u);
}

// A response finds its pending requester by correlation_id; one whose
// requester gave up is dropped as late; one that finds nothing goes to the
// host.
TEST(Dispatcher, ResponsesCompleteTheirPendingRequestOrAreDroppedAsLate) {
  TestRuntime fx;
  ASSERT_TRUE(fx.bring_up());
  ReplyRegistry* registry = &fx.rt->reply_registry.get();

  ReplySlotRef live(reply_slot_create());
  ASSERT_EQ(reply_registry_register(registry, "req-live", live.get()), Status::ok);
  const std::string answer = response_to("req-live").SerializeAsString();
  ASSERT_EQ(ingress_submit_envelope(fx.rt, answer.data(), answer.size()), Status::ok);
  const SlotResult r = wait_slot(live.get());
  EXPECT_EQ(r.status, Status::ok);
  EXPECT_EQ(r.kind, ReplyKind::response);
  EXPECT_EQ(r.reason, 0);
  EXPECT_EQ(r.payload, answer);
  EXPECT_EQ(registry->count, 0u);

  // Given up: abandoned in the registry, or timed out in its slot.
  ReplySlotRef abandoned(reply_slot_create());
  ASSERT_EQ(reply_registry_register(registry, "req-abandoned", abandoned.get()), Status::ok);
  ASSERT_TRUE(reply_registry_abandon(registry, abandoned.get()));
  ReplySlotRef timed_out(reply_slot_create());
  ASSERT_EQ(reply_registry_register(registry, "req-timed-out", timed_out.get()), Status::ok);
  EXPECT_EQ(wait_slot(timed_out.get(), 1).status, Status::would_block);
  for (const char* id : {"req-abandoned", "req-timed-out"}) {
    SCOPED_TRACE(id);
    const uint64_t late = fx.counter(Counter::late_remote_replies_dropped);
    const std::string bytes = response_to(id).SerializeAsString();
    ASSERT_EQ(ingress_submit_envelope(fx.rt, bytes.data(), bytes.size()), Status::ok);
    for (int i = 0; i < 1000 && fx.counter(Counter::late_remote_replies_dropped) == late; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(fx.counter(Counter::late_remote_replies_dropped), late + 1);
    const MonitorEvent last = fx.events().back();
    EXPECT_EQ(last.kind, 10u);
    EXPECT_EQ(last.detail, 0u);
    bool was_abandoned = true;
    EXPECT_EQ(reply_registry_take(registry, id, &was_abandoned), nullptr);
    EXPECT_FALSE(was_abandoned);  // the entry is gone
  }
  EXPECT_FALSE(abandoned->completed);

  ASSERT_EQ(fx.stop(), Status::ok);
  std::vector<FrameBytes> frames;
  ASSERT_EQ(fx.read_until_eof(HostPipe::response, &frames), Status::ok);
  EXPECT_TRUE(frames.empty());  // none of them reached the host
  ASSERT_EQ(fx.read_until_eof(HostPipe::deadletter, &frames), Status::ok);
  EXPECT_TRUE(frames.empty());
}

// A request a peer relayed with REQUIRE_REMOTE is routed like any other, so
// the local endpoint it resolves to delivers it to this host.
TEST(Dispatcher, ARelayedRequireRemoteRequestIsDeliveredLocally) {
  TestRuntime fx;
  ASSERT_TRUE(fx.bring_up());
  transport::Envelope env = request("relayed");
  env.set_delivery_hint(transport::DELIVERY_HINT_REQUIRE_REMOTE);
  const std::string bytes = env.SerializeAsString();
  ReplySlotRef slot(reply_slot_create());
  ASSERT_EQ(reply_registry_register(&fx.rt->reply_registry.get(), "relayed", slot.get()), Status::ok);
  reply_slot_retain(slot.get());
  FrameBuffer frame;
  ASSERT_EQ(frame_copy_from_bytes(bytes.data(), bytes.size(), &frame), Status::ok);
  const IngressItem item{frame.get(), bytes.size(), IngressOrigin::remote, slot.get()};
  ASSERT_EQ(ingress_enqueue(fx.rt, &item), Status::ok);
  (void)frame.release();
  FrameBytes got;
  ASSERT_EQ(fx.read_frame(HostPipe::delivered, &got), Status::ok);
  EXPECT_EQ(str(got), bytes);
  // Still pending: the host's response will complete it.
  EXPECT_EQ(fx.rt->reply_registry->count, 1u);
  ASSERT_EQ(fx.stop(), Status::ok);
  const SlotResult r = wait_slot(slot.get(), 0);
  EXPECT_EQ(r.kind, ReplyKind::none);
  EXPECT_EQ(r.message, "runtime stopped");
}

// A full local delivery queue refuses the job: reason 4 with the endpoint,
// counted, announced, and everything the item held given back.
TEST(Dispatcher, AFullLocalQueueDeadlettersTheEnvelope) {
  test::TestRuntime created(1);  // rings of 2
  Runtime* rt = created.rt;
  FlatSnapshot snapshot(3);
  test::add_local_route(&snapshot, 7100);
  ASSERT_EQ(control_apply_snapshot(rt, snapshot.desc(), nullptr), Status::ok);
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(local_delivery_enqueue(rt, test::make_local_job(test::envelope_bytes("filler")).release()), Status::ok);
  }
  ReplySlotRef slot(reply_slot_create());
  ASSERT_EQ(reply_registry_register(&rt->reply_registry.get(), "overflow", slot.get()), Status::ok);
  dispatch_with_slot(rt, request("overflow").SerializeAsString(), slot.get());
  const SlotResult r = wait_slot(slot.get());
  ASSERT_EQ(r.kind, ReplyKind::deadletter);
  const transport::Deadletter dl = parse_deadletter(r.payload);
  EXPECT_EQ(dl.reason(), transport::DEADLETTER_REASON_QUEUE_REJECTED);
  EXPECT_EQ(dl.detail(), "local delivery queue rejected envelope");
  EXPECT_EQ(dl.active_generation(), 3u);
  EXPECT_EQ(dl.resolved_host(), "127.0.0.1");
  EXPECT_EQ(dl.resolved_port(), 7100u);
  EXPECT_EQ(rt->counters.load(Counter::queue_rejections), 1u);
  const std::vector<MonitorEvent> events = test::recorded_events(rt);
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back().kind, 5u);
  EXPECT_EQ(events.back().detail, 2u);
  EXPECT_EQ(events.back().value1, 1u);
  EXPECT_EQ(rt->reply_registry->count, 0u);  // removed before the deadletter
  EXPECT_EQ(slot->refs.load(), 1);           // only ours is left
}

// Remote admission's refusals become the dispatcher's deadletters, with the
// endpoint, the counters and the queue_rejected event.
TEST(Dispatcher, RemoteAdmissionRefusalsBecomeDeadletters) {
  struct Case {
    const char* what;
    bool one_way;
    uint64_t reserve;
    int queued;
    const char* detail;
    uint64_t reject_detail;
  };
  const Case cases[] = {
      {"reply reserve", true, 1, 1, "remote outbound reply reservation rejected one-way envelope", 2},
      {"queue full", false, 0, 2, "remote outbound queue rejected envelope", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::TestRuntime created(1);  // rings of 2
    Runtime* rt = created.rt;
    const OverloadPolicyDesc policy{sizeof(OverloadPolicyDesc), c.reserve, 0, 0, 0, 0};
    ASSERT_EQ(control_apply_overload_policy(rt, &policy), Status::ok);
    FlatSnapshot snapshot(6);
    snapshot.route("svc.remote", VORLET_V2_ROUTE_STRATEGY_SINGLE_OWNER, {{"10.0.0.5", 7300, 1, 0}});
    ASSERT_EQ(control_apply_snapshot(rt, snapshot.desc(), nullptr), Status::ok);
    for (int i = 0; i < c.queued; ++i) {
      ASSERT_EQ(remote_admission_enqueue(rt, test::make_remote_job(test::envelope_bytes("queued")).release(), nullptr),
                Status::ok);
    }
    transport::Envelope env = request("refused", "svc.remote");
    if (c.one_way) {
      env.set_one_way(true);
      env.clear_correlation_id();
    }
    ReplySlotRef slot(reply_slot_create());
    dispatch_with_slot(rt, env.SerializeAsString(), slot.get());
    const SlotResult r = wait_slot(slot.get());
    ASSERT_EQ(r.kind, ReplyKind::deadletter);
    const transport::Deadletter dl = parse_deadletter(r.payload);
    EXPECT_EQ(dl.reason(), transport::DEADLETTER_REASON_QUEUE_REJECTED);
    EXPECT_EQ(dl.detail(), c.detail);
    EXPECT_EQ(dl.active_generation(), 6u);
    EXPECT_EQ(dl.resolved_host(), "10.0.0.5");
    EXPECT_EQ(dl.resolved_port(), 7300u);
    EXPECT_EQ(rt->counters.load(Counter::queue_rejections), 1u);
    EXPECT_EQ(rt->counters.load(Counter::remote_outbound_rejections), 1u);
    EXPECT_EQ(rt->counters.load(Counter::reply_reserve_rejections), c.reserve != 0 ? 1u : 0u);
    const MonitorEvent last = test::recorded_events(rt).back();
    EXPECT_EQ(last.kind, 5u);
    EXPECT_EQ(last.detail, 3u);
    EXPECT_EQ(last.value1, c.reject_detail);
  }
}

// Producers submit while stop runs: every envelope submit accepted comes out
// exactly once, delivered to the host or deadlettered (misses and
// envelopes that meet the stop).
TEST(Dispatcher, EveryAcceptedEnvelopeComesOutOnceAcrossStop) {
  constexpr int kProducers = 4;
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    TestRuntime fx(64);
    ASSERT_TRUE(fx.bring_up());
    test::DeliveryLedger ledger;
    test::HostPipeDrain drain(&ledger, {fx.handles.delivered_read_fd, fx.handles.response_read_fd},
                              fx.handles.deadletter_read_fd);
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
      producers.emplace_back([&, p] {
        for (int i = 0;; ++i) {
          const std::string id = "p" + std::to_string(p) + "-" + std::to_string(i);
          const std::string bytes = request(id, i % 3 == 0 ? "svc.none" : kLocalTarget).SerializeAsString();
          Status s;
          while ((s = ingress_submit_envelope(fx.rt, bytes.data(), bytes.size())) == Status::would_block) {
            std::this_thread::yield();
          }
          if (s != Status::ok) return;  // stopping
          ledger.accepted(id);
        }
      });
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    // Stop only once the local road has delivered something, so that the
    // stop falls on a runtime in full flow whatever the scheduling.
    while ((ledger.accepted_count() < 400 || ledger.delivered_count() == 0) &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(fx.stop(), Status::ok);
    for (auto& t : producers) t.join();
    ASSERT_TRUE(drain.wait());
    for (const std::string& problem : ledger.problems()) ADD_FAILURE() << problem;
    EXPECT_GT(ledger.delivered_count(), 0u);
    EXPECT_GT(ledger.deadletter_details()["target not present in active snapshot"], 0u);
    EXPECT_EQ(ledger.delivered_count() + ledger.deadlettered_count(), ledger.accepted_count());
  }
}

}  // namespace
}  // namespace vorlet::v2
