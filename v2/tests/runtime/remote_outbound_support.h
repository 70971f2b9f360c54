// Shared by the remote worker's tests: the request, the peers' replies and
// deadletters, and run(), which takes one job through admission and the
// remote worker against scripted peers and reads what the host was sent;
// check() holds an outcome to what a row expects.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/clock.h"
#include "runtime/deadletter_emit.h"
#include "runtime/host_pipe_writers.h"
#include "runtime/jobs.h"
#include "runtime/lifecycle.h"
#include "runtime/limits.h"
#include "runtime/remote_admission.h"
#include "runtime/remote_outbound.h"
#include "runtime/runtime.h"
#include "support/envelopes.h"
#include "support/job_support.h"
#include "support/remote_road.h"
#include "support/scripted_peer.h"
#include "support/test_runtime.h"
#include "vorlet/v2/transport.pb.h"

namespace vorlet::v2::test::outbound {

constexpr uint32_t kSingleOwner = VORLET_V2_ROUTE_STRATEGY_SINGLE_OWNER;
constexpr uint32_t kRoundRobin = VORLET_V2_ROUTE_STRATEGY_WEIGHTED_ROUND_ROBIN;
constexpr uint32_t kResponse = 1;
constexpr uint32_t kDeadletter = 2;
constexpr uint64_t kGeneration = 7;
const char kLoopback[] = "127.0.0.1";

inline std::string request_bytes(bool one_way) {
  return test::envelope({.message_id = "m-1",
                         .correlation_id = one_way ? "" : "c-1",
                         .target = "svc",
                         .one_way = one_way,
                         .payload = "question"})
      .SerializeAsString();
}

inline std::string response_bytes() {
  return test::envelope({.message_id = "r-1",
                         .correlation_id = "m-1",
                         .kind = transport::MESSAGE_KIND_RESPONSE,
                         .payload = std::string("answer\0with a NUL", 17)})
      .SerializeAsString();
}

// A peer's response to the request with this message id.
inline std::string response_to(const std::string& message_id) {
  return test::envelope({.message_id = "r-2",
                         .correlation_id = message_id,
                         .kind = transport::MESSAGE_KIND_RESPONSE,
                         .payload = "someone else's answer"})
      .SerializeAsString();
}

// What a peer's runtime would send back: its own deadletter, with its own
// host and attempt count, which only the count may change on the way. Its
// original envelope is the job's request, or one with the message id
// `about`; none when `about` is NULL.
using test::peer_deadletter;

inline PeerStep respond() { return PeerStep::reply(kResponse, 0, "", response_bytes()); }
inline PeerStep refuse(int32_t reason, const std::string& detail = "", const char* about = "m-1") {
  return PeerStep::reply(kDeadletter, static_cast<uint32_t>(reason), detail, peer_deadletter(reason, detail, about));
}
inline PeerStep answer_to(const std::string& message_id) {
  return PeerStep::reply(kResponse, 0, "", response_to(message_id));
}

inline uint64_t test_now() {
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
inline Outcome run(const Plan& plan) {
  Outcome out;
  test::TestRuntime host(0, test::TakeHandles{0});
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
  EXPECT_EQ(remote_admission_enqueue(rt, job.get(), nullptr), Status::ok);
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

inline void check(const Outcome& got, const Expect& want) {
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

}  // namespace vorlet::v2::test::outbound
