#include "runtime/remote_outbound.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "codec/alloc.h"
#include "codec/clock.h"
#include "codec/deadletter.h"
#include "runtime/deadletter_emit.h"
#include "runtime/host_pipe_writers.h"
#include "runtime/jobs.h"
#include "runtime/lifecycle.h"
#include "runtime/limits.h"
#include "runtime/remote_admission.h"
#include "runtime/runtime.h"
#include "support/host_runtime.h"
#include "support/job_support.h"
#include "support/lifecycle_runtime.h"
#include "support/remote_road.h"
#include "support/scripted_peer.h"
#include "vorlet/v2/transport.pb.h"

namespace vorlet::v2 {
namespace {

using test::PeerStep;
using test::ScriptedServer;

constexpr uint32_t kSingleOwner = VORLET_V2_ROUTE_STRATEGY_SINGLE_OWNER;
constexpr uint32_t kRoundRobin = VORLET_V2_ROUTE_STRATEGY_WEIGHTED_ROUND_ROBIN;
constexpr uint32_t kResponse = 1;
constexpr uint32_t kDeadletter = 2;
constexpr uint64_t kGeneration = 7;
const char kLoopback[] = "127.0.0.1";

std::string request_bytes(bool one_way) {
  transport::Envelope env;
  env.set_message_id("m-1");
  env.set_kind(transport::MESSAGE_KIND_REQUEST);
  env.set_target("svc");
  env.set_one_way(one_way);
  if (!one_way) env.set_correlation_id("c-1");
  env.set_payload("question");
  return env.SerializeAsString();
}

std::string response_bytes() {
  transport::Envelope env;
  env.set_message_id("r-1");
  env.set_correlation_id("m-1");
  env.set_kind(transport::MESSAGE_KIND_RESPONSE);
  env.set_payload(std::string("answer\0with a NUL", 17));
  return env.SerializeAsString();
}

// A peer's response to the request with this message id.
std::string response_to(const std::string& message_id) {
  transport::Envelope env;
  env.set_message_id("r-2");
  env.set_correlation_id(message_id);
  env.set_kind(transport::MESSAGE_KIND_RESPONSE);
  env.set_payload("someone else's answer");
  return env.SerializeAsString();
}

// What a peer's runtime would send back: its own deadletter, with its own
// host and attempt count, which only the count may change on the way. Its
// original envelope is the job's request, or one with the message id
// `about`; none when `about` is NULL.
std::string peer_deadletter(int32_t reason, const std::string& detail, const char* about = "m-1") {
  transport::Deadletter dl;
  if (about != nullptr) {
    dl.mutable_original_envelope()->ParseFromString(request_bytes(false));
    dl.mutable_original_envelope()->set_message_id(about);
  }
  dl.set_reason(static_cast<transport::DeadletterReason>(reason));
  dl.set_detail(detail);
  dl.set_active_generation(99);
  dl.set_resolved_host("far-side");
  dl.set_resolved_port(9);
  dl.set_endpoint_attempt_count(5);
  return dl.SerializeAsString();
}

PeerStep respond() { return PeerStep::reply(kResponse, 0, "", response_bytes()); }
PeerStep refuse(int32_t reason, const std::string& detail = "", const char* about = "m-1") {
  return PeerStep::reply(kDeadletter, static_cast<uint32_t>(reason), detail, peer_deadletter(reason, detail, about));
}
PeerStep answer_to(const std::string& message_id) {
  return PeerStep::reply(kResponse, 0, "", response_to(message_id));
}

uint64_t test_now() {
  uint64_t now = 0;
  EXPECT_EQ(clock_now_ns_status(&now), Status::ok);
  return now;
}

// An endpoint of the route: a scripted peer, or (none) a port where nothing
// listens.
struct Endpoint {
  std::optional<PeerStep> peer;
  uint32_t flags = 0;
};
const Endpoint kClosed{};

struct Plan {
  uint32_t strategy = kSingleOwner;
  std::vector<Endpoint> endpoints;
  bool one_way = false;
  int32_t timeout_ms = 3000;
  bool expired = false;           // the deadline passed while queued
  bool generation_moved = false;  // a new snapshot since the job resolved
  bool relayed = false;           // the job carries a remote requester's slot
  // The relayed job's requester, when the worker takes the job.
  enum class Requester { waiting, gave_up, answered } requester = Requester::waiting;
};

struct Event {
  uint32_t kind;
  uint64_t value1, value2;
  bool operator==(const Event&) const = default;
};

struct Outcome {
  std::vector<std::string> responses;
  std::vector<std::string> deadletter_frames;
  std::vector<transport::Deadletter> deadletters;
  std::vector<Event> events;
  std::vector<uint16_t> ports;
  std::vector<int> connections;  // per endpoint; -1 where nothing listens
  uint64_t elapsed_ms = 0;
  uint64_t counter[kCounterCount] = {};
  // A relayed job's slot, after the run.
  Status slot_status = Status::would_block;
  ReplyKind slot_kind = ReplyKind::none;
  int32_t slot_reason = 0;
  std::string slot_payload;
  std::string slot_message;
  uint64_t registry_entries = 0;

  uint64_t count(Counter c) const { return counter[static_cast<size_t>(c)]; }
};

// Pushes one job through admission onto the remote ring of a runtime whose
// one route "svc" lists the plan's endpoints, lets the worker deliver it,
// then stops and reads everything the host was sent.
Outcome run(const Plan& plan) {
  Outcome out;
  test::HostRuntime host(0, 0);
  EXPECT_EQ(host.opened, Status::ok);
  Runtime* rt = host.rt;

  std::vector<std::unique_ptr<ScriptedServer>> servers;
  std::vector<EndpointDesc> endpoints;
  for (const Endpoint& e : plan.endpoints) {
    uint16_t port;
    if (e.peer) {
      servers.push_back(std::make_unique<ScriptedServer>(std::vector<PeerStep>{*e.peer}));
      EXPECT_TRUE(servers.back()->listening());
      port = servers.back()->port();
    } else {
      servers.push_back(nullptr);
      port = test::free_loopback_port();
    }
    out.ports.push_back(port);
    endpoints.push_back(EndpointDesc{kLoopback, port, 1, e.flags});
  }
  EXPECT_TRUE(test::install_route(rt, kGeneration, plan.strategy, endpoints));
  if (plan.generation_moved) {
    EXPECT_TRUE(test::install_route(rt, kGeneration + 1, plan.strategy, endpoints));
  }

  ReplySlot* slot = nullptr;
  if (plan.relayed) {
    slot = reply_slot_create();
    EXPECT_EQ(reply_registry_register(&rt->reply_registry.get(), "m-1", slot), Status::ok);
  }
  if (plan.requester == Plan::Requester::gave_up) {
    // As the inbound handler leaves it after its wait timed out.
    ReplyKind kind;
    void* payload = nullptr;
    uint64_t length = 0;
    int32_t reason = 0;
    EXPECT_EQ(reply_slot_wait(slot, 0, &kind, &payload, &length, &reason, nullptr, 0), Status::would_block);
    EXPECT_TRUE(reply_registry_abandon(&rt->reply_registry.get(), slot));
  } else if (plan.requester == Plan::Requester::answered) {
    reply_registry_remove(&rt->reply_registry.get(), slot);
    reply_slot_complete(slot, ReplyKind::none, 8, nullptr, 0, "answered already");
  }
  RemoteJobPtr job = test::make_remote_job(request_bytes(plan.one_way), kGeneration, kLoopback, out.ports[0], slot);
  job->expects_reply = plan.one_way ? 0 : 1;
  job->timeout_ms = plan.timeout_ms;
  const uint64_t now = test_now();
  job->deadline_ns = plan.expired ? now : deadline_after_ms(now, plan.timeout_ms);

  test::RemoteRoad road(rt);
  EXPECT_TRUE(road.start());
  const auto began = std::chrono::steady_clock::now();
  EXPECT_EQ(runtime_enqueue_remote(rt, job.get(), nullptr), Status::ok);
  (void)job.release();
  EXPECT_TRUE(road.wait_idle());
  out.elapsed_ms = static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - began).count());
  road.stop();

  EXPECT_EQ(test::read_all_frames(host.handles.response_read_fd, &out.responses), Status::closed);
  EXPECT_EQ(test::read_all_frames(host.handles.deadletter_read_fd, &out.deadletter_frames), Status::closed);
  for (const std::string& frame : out.deadletter_frames) {
    out.deadletters.emplace_back();
    EXPECT_TRUE(out.deadletters.back().ParseFromString(frame));
  }
  const EventLog& log = rt->event_log.get();
  for (uint64_t i = 0; i < log.count; ++i) {
    const MonitorEvent& ev = log.entries[(log.head + kEventLogEntries - log.count + i) % kEventLogEntries];
    // The worker's own (7, 8) and those its deadletters raise (9, 11).
    if (ev.kind == 7 || ev.kind == 8 || ev.kind == 9 || ev.kind == 11) {
      out.events.push_back(Event{ev.kind, ev.value1, ev.value2});
    }
  }
  for (size_t i = 0; i < kCounterCount; ++i) out.counter[i] = rt->counters.load(static_cast<Counter>(i));
  for (const auto& server : servers) out.connections.push_back(server ? server->accepted() : -1);

  if (slot != nullptr) {
    void* payload = nullptr;
    uint64_t length = 0;
    char text[kReplyMessageCapacity];
    out.slot_status =
        reply_slot_wait(slot, 0, &out.slot_kind, &payload, &length, &out.slot_reason, text, sizeof text);
    if (payload != nullptr) out.slot_payload.assign(static_cast<const char*>(payload), length);
    reply_payload_release(out.slot_kind, payload);
    out.slot_message = text;
    out.registry_entries = rt->reply_registry->count;
    reply_slot_release(slot);
  }
  return out;
}

// delivered: a one-way request the peer accepted; nothing reaches the host.
enum class To { response_pipe, deadletter_pipe, forwarded_deadletter, delivered };

struct Expect {
  To to;
  int32_t reason = 0;
  std::string detail;
  uint32_t attempts = 0;
  size_t endpoint = 0;  // whose host and port our deadletter names
  uint64_t retries = 0, recoveries = 0, exhausted = 0;
  std::vector<Event> events;
  std::vector<int> connections;  // empty: not checked
};

void check(const Outcome& got, const Expect& want) {
  EXPECT_EQ(got.count(Counter::failover_retries), want.retries);
  EXPECT_EQ(got.count(Counter::failover_recoveries), want.recoveries);
  EXPECT_EQ(got.count(Counter::failover_exhausted), want.exhausted);
  EXPECT_EQ(got.events, want.events);
  if (!want.connections.empty()) {
    EXPECT_EQ(got.connections, want.connections);
  }
  const bool responded = want.to == To::response_pipe || want.to == To::delivered;
  EXPECT_EQ(got.count(Counter::remote_responses_forwarded), responded ? 1u : 0u);
  EXPECT_EQ(got.count(Counter::remote_deadletters_forwarded), want.to == To::forwarded_deadletter ? 1u : 0u);
  EXPECT_EQ(got.count(Counter::deadletters_emitted), responded ? 0u : 1u);

  switch (want.to) {
    case To::response_pipe:
      // The peer's bytes, untouched.
      ASSERT_EQ(got.responses.size(), 1u);
      EXPECT_TRUE(got.responses[0] == response_bytes());
      EXPECT_TRUE(got.deadletters.empty());
      break;
    case To::forwarded_deadletter: {
      EXPECT_TRUE(got.responses.empty());
      ASSERT_EQ(got.deadletters.size(), 1u);
      // The peer's deadletter, with only its attempt count re-stamped.
      transport::Deadletter expected;
      ASSERT_TRUE(expected.ParseFromString(peer_deadletter(want.reason, want.detail)));
      expected.set_endpoint_attempt_count(want.attempts);
      EXPECT_EQ(got.deadletters[0].SerializeAsString(), expected.SerializeAsString());
      break;
    }
    case To::deadletter_pipe: {
      EXPECT_TRUE(got.responses.empty());
      ASSERT_EQ(got.deadletters.size(), 1u);
      const transport::Deadletter& dl = got.deadletters[0];
      EXPECT_EQ(dl.reason(), want.reason);
      EXPECT_EQ(dl.detail(), want.detail);
      EXPECT_EQ(dl.endpoint_attempt_count(), want.attempts);
      EXPECT_EQ(dl.active_generation(), kGeneration);
      EXPECT_EQ(dl.resolved_host(), kLoopback);
      EXPECT_EQ(dl.resolved_port(), got.ports[want.endpoint]);
      EXPECT_EQ(dl.original_envelope().message_id(), "m-1");
      break;
    }
    case To::delivered:
      EXPECT_TRUE(got.responses.empty());
      EXPECT_TRUE(got.deadletters.empty());
      break;
  }
}

// What becomes of a job for each way the peers behave: one exchange per
// attempt, failover on transport failures and on refusals before the
// peer's handler took the envelope, the peer's answer passed on, and every
// other end a deadletter with its counters and event.
TEST(RemoteOutbound, EachPeerBehaviourHasItsOutcome) {
  const struct Row {
    const char* name;
    Plan plan;
    Expect want;
  } rows[] = {
      {"single owner on a closed port",
       {kSingleOwner, {kClosed}},
       {To::deadletter_pipe, 7, "single-owner endpoint is unavailable", 1, 0, 0, 0, 1, {{11, 0, 1}}, {}}},
      {"round robin: the first closed, the second answers",
       {kRoundRobin, {kClosed, {respond()}, {respond()}}},
       {To::response_pipe, 0, "", 0, 0, 1, 1, 0, {{7, 0, 2}}, {-1, 1, 0}}},
      {"failover to an endpoint flagged local still goes over TCP",
       {kRoundRobin, {kClosed, {respond(), VORLET_V2_ENDPOINT_FLAG_LOCAL}}},
       {To::response_pipe, 0, "", 0, 0, 1, 1, 0, {{7, 0, 2}}, {-1, 1}}},
      {"every endpoint closed",
       {kRoundRobin, {kClosed, kClosed}},
       {To::deadletter_pipe, 7, "no eligible endpoint for route strategy", 2, 1, 1, 0, 1, {{11, 0, 2}}, {}}},
      {"a peer deadletter after ownership is forwarded",
       {kSingleOwner, {{refuse(13, "peer budget spent")}}},
       {To::forwarded_deadletter, 13, "peer budget spent", 1, 0, 0, 0, 0, {{8, 13, 1}}, {}}},
      {"peer refusal 4 before ownership fails over",
       {kRoundRobin, {{refuse(4)}, {respond()}}},
       {To::response_pipe, 0, "", 0, 0, 1, 1, 0, {{7, 0, 2}}, {1, 1}}},
      {"peer refusal 5 before ownership fails over",
       {kRoundRobin, {{refuse(5)}, {respond()}}},
       {To::response_pipe, 0, "", 0, 0, 1, 1, 0, {{7, 0, 2}}, {1, 1}}},
      {"peer refusal 8 before ownership fails over",
       {kRoundRobin, {{refuse(8)}, {respond()}}},
       {To::response_pipe, 0, "", 0, 0, 1, 1, 0, {{7, 0, 2}}, {1, 1}}},
      {"peer refusal with nowhere else to go",
       {kSingleOwner, {{refuse(5, "handler queue full")}}},
       {To::deadletter_pipe, 5, "handler queue full", 1, 0, 0, 0, 1, {}, {}}},
      {"peer refusal without a detail",
       {kSingleOwner, {{refuse(4)}}},
       {To::deadletter_pipe, 4, "remote endpoint rejected before handler ownership", 1, 0, 0, 0, 1, {}, {}}},
      {"a peer that never replies",
       {kSingleOwner, {{PeerStep::stay_silent()}}, false, 300},
       {To::deadletter_pipe, 11, "tcp reply timed out", 1, 0, 0, 0, 0, {{9, 0, 1}}, {1}}},
      {"a new snapshot before the failover",
       {kRoundRobin, {{PeerStep::close_early()}, {respond()}}, false, 3000, false, true},
       {To::deadletter_pipe, 7, "route generation changed before failover attempt", 1, 0, 0, 0, 1, {{11, 0, 1}},
        {1, 0}}},
      {"expired while queued",
       {kSingleOwner, {{respond()}}, false, 3000, true},
       {To::deadletter_pipe, 13, "remote delivery budget expired before transport attempt", 0, 0, 0, 0, 0, {}, {0}}},
      {"a peer failure reply",
       {kSingleOwner, {{PeerStep::reply(0, 10, "endpoint drained", "")}}},
       {To::deadletter_pipe, 10, "endpoint drained", 1, 0, 0, 0, 0, {}, {}}},
      {"a response that is no envelope",
       {kSingleOwner, {{PeerStep::reply(kResponse, 0, "", "\xFF\xFF not an envelope")}}},
       {To::deadletter_pipe, 7, "tcp response decode failed", 1, 0, 0, 0, 0, {{11, 0, 1}}, {}}},
      {"a response that is a request",
       {kRoundRobin, {{PeerStep::reply(kResponse, 0, "", request_bytes(false))}, {respond()}}},
       {To::deadletter_pipe, 7, "tcp response decode failed", 1, 0, 0, 0, 0, {{11, 0, 1}}, {1, 0}}},
      {"a reply kind outside the protocol",
       {kSingleOwner, {{PeerStep::reply(5, 0, "", "whatever")}}},
       {To::deadletter_pipe, 6, "remote transport returned no terminal result", 1, 0, 0, 0, 0, {}, {}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const Outcome got = run(row.plan);
    check(got, row.want);
    if (row.plan.timeout_ms == 300) {
      EXPECT_GE(got.elapsed_ms, 250u);
      EXPECT_LT(got.elapsed_ms, 2000u);
    }
  }
}

// A peer's reply is passed on only when it is about the job: a response
// whose correlation_id is not the job's message_id, or a deadletter whose
// original envelope is another request, would answer whoever asked that
// one. Such a reply, and one whose reason is outside 1 to 14, ends the job
// with its own deadletter (reason 7, without failover: the peer may own the
// envelope), so the host hears of this job once and of no other. A peer
// deadletter that names no envelope goes on with the job's.
TEST(RemoteOutbound, AReplyThatIsNotAboutTheJobEndsItWithItsOwnDeadletter) {
  const std::string prefixed_id = std::string("m-1\0tail", 8);
  const struct Row {
    const char* name;
    Plan plan;
    Expect want;
  } rows[] = {
      {"a response to another request",
       {kRoundRobin, {{answer_to("m-2")}, {respond()}}},
       {To::deadletter_pipe, 7, "remote response correlation_id does not match the request message_id", 1, 0, 0, 0,
        0, {{11, 0, 1}}, {1, 0}}},
      {"a response whose correlation_id goes on past the job's message_id",
       {kSingleOwner, {{answer_to(prefixed_id)}}},
       {To::deadletter_pipe, 7, "remote response correlation_id does not match the request message_id", 1, 0, 0, 0,
        0, {{11, 0, 1}}, {1}}},
      {"a response to another request for a one-way job",
       {kSingleOwner, {{answer_to("m-2")}}, true},
       {To::deadletter_pipe, 7, "remote response correlation_id does not match the request message_id", 1, 0, 0, 0,
        0, {{11, 0, 1}}, {1}}},
      {"a peer deadletter about another request",
       {kRoundRobin, {{refuse(13, "peer budget spent", "m-2")}, {respond()}}},
       {To::deadletter_pipe, 7, "remote deadletter original_envelope message_id does not match the request message_id",
        1, 0, 0, 0, 0, {{11, 0, 1}}, {1, 0}}},
      {"a refusal before ownership about another request",
       {kRoundRobin, {{refuse(4, "queue full", "m-2")}, {respond()}}},
       {To::deadletter_pipe, 7, "remote deadletter original_envelope message_id does not match the request message_id",
        1, 0, 0, 0, 0, {{11, 0, 1}}, {1, 0}}},
      {"a peer deadletter that names no envelope takes the job's",
       {kSingleOwner, {{refuse(13, "peer budget spent", nullptr)}}},
       {To::forwarded_deadletter, 13, "peer budget spent", 1, 0, 0, 0, 0, {{8, 13, 1}}, {1}}},
      {"a peer deadletter with reason 0",
       {kRoundRobin, {{refuse(0, "no reason")}, {respond()}}},
       {To::deadletter_pipe, 7, "no reason", 1, 0, 0, 0, 0, {{11, 0, 1}}, {1, 0}}},
      {"a peer deadletter with reason 15",
       {kSingleOwner, {{refuse(15, "a reason from a newer peer")}}},
       {To::deadletter_pipe, 7, "a reason from a newer peer", 1, 0, 0, 0, 0, {{11, 0, 1}}, {1}}},
      {"a peer deadletter with reason 99 and no detail",
       {kSingleOwner, {{refuse(99, "")}}},
       {To::deadletter_pipe, 7, "remote peer reason is outside 1 to 14", 1, 0, 0, 0, 0, {{11, 0, 1}}, {1}}},
      {"a failure reply with reason 0",
       {kRoundRobin, {{PeerStep::reply(0, 0, "no reason given", "")}, {respond()}}},
       {To::deadletter_pipe, 7, "no reason given", 1, 0, 0, 0, 0, {{11, 0, 1}}, {1, 0}}},
      {"a failure reply with reason 15 and no text",
       {kSingleOwner, {{PeerStep::reply(0, 15, "", "")}}},
       {To::deadletter_pipe, 7, "tcp peer returned no terminal result", 1, 0, 0, 0, 0, {{11, 0, 1}}, {1}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const Outcome got = run(row.plan);
    // One outcome, and it is this job's: nothing reaches the host that an
    // ask for another message id would take.
    check(got, row.want);
    EXPECT_EQ(got.count(Counter::remote_transport_failures), row.want.to == To::deadletter_pipe ? 1u : 0u);
    for (const transport::Deadletter& dl : got.deadletters) EXPECT_EQ(dl.original_envelope().message_id(), "m-1");
  }
}

// A relayed request whose requester has its answer or has given up (its
// wait timed out) is not sent: it ends as expired with no attempt, and the
// worker moves on at once.
TEST(RemoteOutbound, ARelayedRequestWhoseRequesterLeftIsNotSent) {
  for (const Plan::Requester requester : {Plan::Requester::gave_up, Plan::Requester::answered}) {
    SCOPED_TRACE(requester == Plan::Requester::gave_up ? "gave up" : "answered");
    Plan plan{kSingleOwner, {{PeerStep::stay_silent()}}, false, 3000};
    plan.relayed = true;
    plan.requester = requester;
    const Outcome got = run(plan);
    EXPECT_EQ(got.connections, std::vector<int>{0});
    EXPECT_LT(got.elapsed_ms, 2000u);
    EXPECT_TRUE(got.responses.empty());
    EXPECT_TRUE(got.deadletters.empty());
    EXPECT_EQ(got.count(Counter::deadletters_emitted), 1u);
    EXPECT_EQ(got.count(Counter::failover_exhausted), 0u);
    EXPECT_EQ(got.count(Counter::remote_reply_timeouts), 0u);
    EXPECT_TRUE(got.events.empty());
    EXPECT_EQ(got.registry_entries, requester == Plan::Requester::gave_up ? 1u : 0u);  // the abandoned id
    ASSERT_EQ(got.slot_status, Status::ok);
    if (requester == Plan::Requester::answered) {
      // The first completion stays; the job's deadletter found the slot done.
      EXPECT_EQ(got.slot_kind, ReplyKind::none);
      EXPECT_EQ(got.slot_message, "answered already");
      continue;
    }
    // Nobody takes it, but the slot holds what the job ended with.
    EXPECT_EQ(got.slot_kind, ReplyKind::deadletter);
    EXPECT_EQ(got.slot_reason, 13);
    EXPECT_EQ(got.slot_message, "remote delivery budget expired before transport attempt");
    transport::Deadletter dl;
    ASSERT_TRUE(dl.ParseFromString(got.slot_payload));
    EXPECT_EQ(dl.reason(), 13);
    EXPECT_EQ(dl.endpoint_attempt_count(), 0u);
    EXPECT_EQ(dl.original_envelope().message_id(), "m-1");
  }
}

// A request relayed from a remote peer gets its answer through its
// requester's slot, never on the host's pipes, and its registry entry is
// gone once the slot is answered.
TEST(RemoteOutbound, RelayedRequestsAnswerTheirRequestersSlot) {
  const struct Row {
    const char* name;
    Endpoint peer;
    ReplyKind kind;
    int32_t reason;
    const char* message;
  } rows[] = {
      {"response", {respond()}, ReplyKind::response, 0, ""},
      {"peer deadletter", {refuse(13, "peer budget spent")}, ReplyKind::deadletter, 13, "peer budget spent"},
      {"transport failure", kClosed, ReplyKind::deadletter, 7, "single-owner endpoint is unavailable"},
      {"response to another request", {answer_to("m-2")}, ReplyKind::deadletter, 7,
       "remote response correlation_id does not match the request message_id"},
      {"peer deadletter that names no envelope", {refuse(13, "peer budget spent", nullptr)}, ReplyKind::deadletter,
       13, "peer budget spent"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Plan plan{kSingleOwner, {row.peer}};
    plan.relayed = true;
    const Outcome got = run(plan);
    EXPECT_TRUE(got.responses.empty());
    EXPECT_TRUE(got.deadletters.empty());
    EXPECT_EQ(got.registry_entries, 0u);
    ASSERT_EQ(got.slot_status, Status::ok);
    EXPECT_EQ(got.slot_kind, row.kind);
    EXPECT_EQ(got.slot_reason, row.reason);
    EXPECT_EQ(got.slot_message, row.message);
    if (row.kind == ReplyKind::response) {
      EXPECT_TRUE(got.slot_payload == response_bytes());
      continue;
    }
    transport::Deadletter dl;
    ASSERT_TRUE(dl.ParseFromString(got.slot_payload));
    EXPECT_EQ(dl.reason(), row.reason);
    EXPECT_EQ(dl.endpoint_attempt_count(), 1u);
    EXPECT_EQ(dl.original_envelope().message_id(), "m-1");
  }
}

// An empty terminal reply is not passed on as if it were one: an empty
// peer deadletter (for any job) and an empty response to a request that
// awaits one end as a delivery failure, counted there and not as
// forwarded.
TEST(RemoteOutbound, AnEmptyTerminalReplyIsADeliveryFailure) {
  const struct Row {
    const char* name;
    uint32_t kind;
    bool one_way;
  } rows[] = {
      {"empty deadletter, two-way", kDeadletter, false},
      {"empty deadletter, one-way", kDeadletter, true},
      {"empty response, two-way", kResponse, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Plan plan{kSingleOwner, {{PeerStep::reply(row.kind, 13, "", "")}}};
    plan.one_way = row.one_way;
    check(run(plan), {To::deadletter_pipe, 6, "remote transport returned no terminal result", 1, 0, 0, 0, 0, {}, {}});
  }
}

// Bytes that claim to be a peer's deadletter but do not decode never reach
// the host: the job's own deadletter goes instead, without a failover (the
// peer may own the envelope already).
TEST(RemoteOutbound, AnUndecodablePeerDeadletterIsNotForwarded) {
  const PeerStep garbage = PeerStep::reply(kDeadletter, 5, "", "\xFF\xFF not a deadletter");
  const Outcome got = run({kRoundRobin, {{garbage}, {respond()}}});
  check(got, {To::deadletter_pipe, 7, "deadletter protobuf parse failed", 1, 0, 0, 0, 0, {{11, 0, 1}}, {1, 0}});
  EXPECT_EQ(got.count(Counter::remote_transport_failures), 1u);
}

// A peer's text is raw bytes from the network; as a detail of a deadletter
// built here it is made valid UTF-8, so that the deadletter still parses.
TEST(RemoteOutbound, PeerTextsBecomeValidDetails) {
  const Outcome got = run({kSingleOwner, {{PeerStep::reply(0, 10, "drained \xC3\x28 \xFF!", "")}}});
  ASSERT_EQ(got.deadletter_frames.size(), 1u);
  check(got, {To::deadletter_pipe, 10, "drained ?( ?!", 1, 0, 0, 0, 0, {}, {}});
}

// A one-way request that a peer accepted (an empty response) is delivered:
// counted as a response, nothing for the host, no deadletter; a relayed
// one answers its requester with an empty response.
TEST(RemoteOutbound, AnAcceptedOneWayRequestIsDelivered) {
  Plan plan{kRoundRobin, {kClosed, {PeerStep::reply(kResponse, 0, "", "")}}};
  plan.one_way = true;
  const Outcome got = run(plan);
  check(got, {To::delivered, 0, "", 0, 0, 1, 1, 0, {{7, 0, 2}}, {-1, 1}});

  plan.relayed = true;
  const Outcome relayed = run(plan);
  EXPECT_TRUE(relayed.responses.empty());
  EXPECT_TRUE(relayed.deadletters.empty());
  ASSERT_EQ(relayed.slot_status, Status::ok);
  EXPECT_EQ(relayed.slot_kind, ReplyKind::response);
  EXPECT_EQ(relayed.slot_reason, 0);
  EXPECT_TRUE(relayed.slot_payload.empty());
  EXPECT_EQ(relayed.registry_entries, 0u);
}

// A response envelope of exactly `size` serialized bytes.
std::string sized_response(uint64_t size) {
  transport::Envelope env;
  env.set_message_id("r-1");
  env.set_correlation_id("m-1");
  env.set_kind(transport::MESSAGE_KIND_RESPONSE);
  uint64_t payload = size;
  for (int i = 0; i < 8; ++i) {
    env.set_payload(std::string(payload, 'r'));
    const uint64_t got = env.ByteSizeLong();
    if (got == size) break;
    payload = got > size ? payload - (got - size) : payload + (size - got);
  }
  EXPECT_EQ(env.ByteSizeLong(), size);
  return env.SerializeAsString();
}

// A peer's deadletter that carries a large original envelope.
std::string large_peer_deadletter(int32_t reason, uint64_t at_least) {
  transport::Deadletter dl;
  dl.mutable_original_envelope()->ParseFromString(request_bytes(false));
  dl.mutable_original_envelope()->set_payload(std::string(at_least, 'q'));
  dl.set_reason(static_cast<transport::DeadletterReason>(reason));
  dl.set_endpoint_attempt_count(1);
  return dl.SerializeAsString();
}

// A terminal reply larger than the runtime's max_frame_bytes (4 MiB at the
// default hint) reaches neither the host nor a requesting peer, whatever it
// is: the job ends with reason 7 on the endpoint that sent it, without a
// failover (the peer may own the envelope). A reply of exactly the limit
// goes on.
TEST(RemoteOutbound, RepliesAboveMaxFrameBytesAreNotPassedOn) {
  const uint64_t limit = limit_max_frame_bytes(limit_queue_capacity(0));
  ASSERT_EQ(limit, 4ull << 20);
  const char* const kTooLarge = "remote reply exceeds max frame bytes";

  // Relayed first: the requester's slot gets our deadletter instead, or the
  // reply of exactly the limit. (A reply wrongly passed on to the host
  // below would fill its response pipe, which this run reads only after
  // stop.)
  Plan plan{kSingleOwner, {{PeerStep::reply(kResponse, 0, "", sized_response(limit + 1))}}};
  plan.relayed = true;
  const Outcome refused = run(plan);
  EXPECT_TRUE(refused.responses.empty());
  EXPECT_TRUE(refused.deadletters.empty());
  EXPECT_EQ(refused.registry_entries, 0u);
  ASSERT_EQ(refused.slot_status, Status::ok);
  ASSERT_EQ(refused.slot_kind, ReplyKind::deadletter);
  EXPECT_EQ(refused.slot_reason, 7);
  EXPECT_EQ(refused.slot_message, kTooLarge);
  transport::Deadletter dl;
  ASSERT_TRUE(dl.ParseFromString(refused.slot_payload));
  EXPECT_EQ(dl.detail(), kTooLarge);
  EXPECT_EQ(dl.endpoint_attempt_count(), 1u);
  EXPECT_EQ(refused.count(Counter::remote_responses_forwarded), 0u);

  plan.endpoints = {{PeerStep::reply(kResponse, 0, "", sized_response(limit))}};
  const Outcome taken = run(plan);
  ASSERT_EQ(taken.slot_status, Status::ok);
  EXPECT_EQ(taken.slot_kind, ReplyKind::response);
  EXPECT_EQ(taken.slot_payload.size(), limit);
  EXPECT_EQ(taken.count(Counter::remote_responses_forwarded), 1u);

  const Expect ended{To::deadletter_pipe, 7, kTooLarge, 1, 0, 0, 0, 0, {{11, 0, 1}}, {1, 0}};
  const struct Row {
    const char* name;
    PeerStep reply;
  } rows[] = {
      {"response one byte above", PeerStep::reply(kResponse, 0, "", sized_response(limit + 1))},
      {"peer deadletter after ownership", PeerStep::reply(kDeadletter, 13, "", large_peer_deadletter(13, limit))},
      {"refusal before ownership", PeerStep::reply(kDeadletter, 4, "", large_peer_deadletter(4, limit))},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const Outcome got = run({kRoundRobin, {{row.reply}, {respond()}}});
    check(got, ended);
    EXPECT_EQ(got.count(Counter::remote_transport_failures), 1u);
  }
}

uint32_t broken_clock(uint64_t*) noexcept { return 2; }

// A budget that cannot be read ends the job before any attempt.
TEST(RemoteOutbound, AJobWhoseBudgetCannotBeReadEndsBeforeAnyAttempt) {
  test::HostRuntime host(0, 0);
  ASSERT_EQ(host.opened, Status::ok);
  ScriptedServer server({respond()});
  ASSERT_TRUE(runtime_start_pipe_writer(host.rt, HostPipe::deadletter));
  RemoteJobPtr job = test::make_remote_job(request_bytes(false), kGeneration, kLoopback, server.port());
  job->deadline_ns = deadline_after_ms(test_now(), 3000);
  remote_deliver(host.rt, job.get(), broken_clock);
  runtime_finish_pipe_writers(host.rt);
  host_handles_close_write_ends(&host.rt->host_handles);
  std::vector<std::string> frames;
  EXPECT_EQ(test::read_all_frames(host.handles.deadletter_read_fd, &frames), Status::closed);
  ASSERT_EQ(frames.size(), 1u);
  transport::Deadletter dl;
  ASSERT_TRUE(dl.ParseFromString(frames[0]));
  EXPECT_EQ(dl.reason(), 6);
  EXPECT_EQ(dl.detail(), "failed to capture remaining remote delivery budget");
  EXPECT_EQ(dl.endpoint_attempt_count(), 0u);
  EXPECT_EQ(host.rt->counters.load(Counter::delivery_failures), 1u);
  EXPECT_EQ(server.accepted(), 0);
}

// Jobs the worker pops once stop has begun are deadlettered without a
// connection.
TEST(RemoteOutbound, JobsPoppedWhileStoppingBecomeStoppedDeadletters) {
  test::HostRuntime host(0, 0);
  ASSERT_EQ(host.opened, Status::ok);
  ScriptedServer server({respond()});
  for (int i = 0; i < 3; ++i) {
    RemoteJobPtr job = test::make_remote_job(request_bytes(false), 4, kLoopback, server.port());
    ASSERT_EQ(runtime_enqueue_remote(host.rt, job.get(), nullptr), Status::ok);
    (void)job.release();
  }
  host.rt->stopping.store(1);
  test::RemoteRoad road(host.rt);
  ASSERT_TRUE(road.start());
  road.stop();
  std::vector<std::string> frames;
  EXPECT_EQ(test::read_all_frames(host.handles.deadletter_read_fd, &frames), Status::closed);
  ASSERT_EQ(frames.size(), 3u);
  for (const std::string& frame : frames) {
    transport::Deadletter dl;
    ASSERT_TRUE(dl.ParseFromString(frame));
    EXPECT_EQ(dl.reason(), 8);
    EXPECT_EQ(dl.detail(), "runtime stopped before remote delivery");
    EXPECT_EQ(dl.active_generation(), 4u);
    EXPECT_EQ(dl.resolved_port(), server.port());
    EXPECT_EQ(dl.endpoint_attempt_count(), 0u);
  }
  EXPECT_EQ(server.accepted(), 0);
}

// Start runs the remote worker and stop ends it: a job in flight when stop
// begins is cut at once, however much of its budget is left (its attempt
// counted), the jobs still queued become stopped deadletters, and the host
// reads all of it before end of file.
TEST(RemoteOutbound, AStartedRuntimeDeliversAndStopDrainsTheQueue) {
  ScriptedServer answering({respond()});
  ScriptedServer silent({PeerStep::stay_silent()});
  test::LifecycleRuntime fx;
  ASSERT_EQ(fx.take_handles(), Status::ok);
  test::FlatSnapshot snapshot(1);
  snapshot.route("svc", kSingleOwner, {{kLoopback, answering.port()}});
  ASSERT_EQ(fx.apply(snapshot), Status::ok);
  ASSERT_EQ(fx.start(), Status::ok);
  ASSERT_TRUE(runtime_thread_running(fx.rt, RuntimeThread::remote_worker));

  auto push = [&](uint16_t port, int32_t timeout_ms) {
    RemoteJobPtr job = test::make_remote_job(request_bytes(false), 1, kLoopback, port);
    job->timeout_ms = timeout_ms;
    job->deadline_ns = deadline_after_ms(test_now(), timeout_ms);
    ASSERT_EQ(runtime_enqueue_remote(fx.rt, job.get(), nullptr), Status::ok);
    (void)job.release();
  };
  push(answering.port(), 3000);
  test::FrameBytes response;
  ASSERT_EQ(fx.read_frame(HostPipe::response, &response), Status::ok);
  EXPECT_TRUE(std::string(response.begin(), response.end()) == response_bytes());

  push(silent.port(), 60000);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (silent.accepted() == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(silent.accepted(), 1);
  push(silent.port(), 3000);
  push(silent.port(), 3000);
  ASSERT_EQ(fx.stop(), Status::ok);

  std::vector<test::FrameBytes> frames;
  ASSERT_EQ(fx.read_until_eof(HostPipe::deadletter, &frames), Status::ok);
  ASSERT_EQ(frames.size(), 3u);
  const struct {
    int32_t reason;
    const char* detail;
    uint32_t attempts;
  } want[] = {{8, "remote exchange cut by runtime stop", 1},
              {8, "runtime stopped before remote delivery", 0},
              {8, "runtime stopped before remote delivery", 0}};
  for (size_t i = 0; i < frames.size(); ++i) {
    transport::Deadletter dl;
    ASSERT_TRUE(dl.ParseFromArray(frames[i].data(), static_cast<int>(frames[i].size())));
    EXPECT_EQ(dl.reason(), want[i].reason) << i;
    EXPECT_EQ(dl.detail(), want[i].detail) << i;
    EXPECT_EQ(dl.endpoint_attempt_count(), want[i].attempts) << i;
  }
  EXPECT_EQ(silent.accepted(), 1);
  EXPECT_FALSE(runtime_thread_running(fx.rt, RuntimeThread::remote_worker));
}

TEST(PeerDeadletters, RefusalsBeforeOwnershipAreTheOnesThatFailOver) {
  for (int32_t reason = 0; reason <= 15; ++reason) {
    const std::string bytes = peer_deadletter(reason, "why");
    DeadletterSummary summary{};
    ASSERT_EQ(deadletter_summary_decode(bytes.data(), bytes.size(), &summary), Status::ok);
    EXPECT_EQ(summary.reason, reason);
    EXPECT_EQ(summary.endpoint_attempt_count, 5u);
    EXPECT_STREQ(summary.detail, "why");
    EXPECT_EQ(deadletter_is_pre_ownership(summary), reason == 4 || reason == 5 || reason == 8) << reason;
  }
  DeadletterSummary summary{};
  EXPECT_EQ(deadletter_summary_decode("\xFF\xFF", 2, &summary), Status::io);
  EXPECT_EQ(summary.reason, 0);
  EXPECT_STREQ(summary.detail, "deadletter protobuf parse failed");
  EXPECT_FALSE(deadletter_is_pre_ownership(summary));
  EXPECT_EQ(deadletter_summary_decode(nullptr, 2, &summary), Status::invalid_arg);
  EXPECT_EQ(deadletter_summary_decode("x", 0, &summary), Status::invalid_arg);
}

TEST(PeerDeadletters, ReStampingReplacesTheBlockOrKeepsTheOldOne) {
  const std::string original = peer_deadletter(13, "why");
  void* bytes = rt_malloc(original.size());
  std::memcpy(bytes, original.data(), original.size());
  uint64_t length = original.size();

  EXPECT_EQ(deadletter_set_attempt_count(nullptr, &length, 1), Status::invalid_arg);
  EXPECT_EQ(deadletter_set_attempt_count(&bytes, nullptr, 1), Status::invalid_arg);
  uint64_t zero = 0;
  EXPECT_EQ(deadletter_set_attempt_count(&bytes, &zero, 1), Status::invalid_arg);
  void* before = bytes;
  EXPECT_EQ(deadletter_set_attempt_count(&bytes, &length, 0), Status::ok);
  EXPECT_EQ(bytes, before);

  ASSERT_EQ(deadletter_set_attempt_count(&bytes, &length, 3), Status::ok);
  transport::Deadletter dl;
  ASSERT_TRUE(dl.ParseFromArray(bytes, static_cast<int>(length)));
  EXPECT_EQ(dl.endpoint_attempt_count(), 3u);
  dl.set_endpoint_attempt_count(5);
  EXPECT_EQ(dl.SerializeAsString(), original);
  rt_free(bytes);

  void* junk = rt_malloc(2);
  std::memcpy(junk, "\xFF\xFF", 2);
  uint64_t junk_length = 2;
  EXPECT_EQ(deadletter_set_attempt_count(&junk, &junk_length, 3), Status::io);
  EXPECT_EQ(junk_length, 2u);
  EXPECT_EQ(std::memcmp(junk, "\xFF\xFF", 2), 0);
  rt_free(junk);
}

}  // namespace
}  // namespace vorlet::v2
