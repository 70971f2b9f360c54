// Two runtimes on loopback under load: a's host threads send requests of
// every shape (local and remote, one-way and two-way, empty to 64 KiB) to a
// itself, to b and to a route shared with a scripted peer that refuses,
// resets, answers garbage or stays silent; b's host answers what reaches it
// and asks requests of its own through an ask client; a third thread applies
// new snapshots to both all the while. Then both stop, and every envelope is
// accounted for by message id: each one a host's submit (or begin) accepted
// has exactly one outcome at that host, and the receiving host had each
// request at most once.
//
// The traffic runs for VORLET_SOAK_SECONDS (3 by default; `make soak` runs
// longer).
#include <google/protobuf/util/json_util.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "codec/frame_io.h"
#include "runtime/ingress.h"
#include "runtime/runtime.h"
#include "support/delivery_ledger.h"
#include "support/envelopes.h"
#include "support/loopback_pair.h"
#include "support/proc_probe.h"
#include "support/scripted_peer.h"
#include "support/test_runtime.h"
#include "vorlet/v2/control.pb.h"
#include "vorlet/v2/transport.pb.h"
#include "vorlet_v2.h"

namespace vorlet::v2 {
namespace {

namespace ctl = control;
using test::DeliveryLedger;
using test::EndpointSpec;
using test::FrameBytes;
using test::kLocalTarget;
using test::kRemoteTarget;
using test::LedgerOutcome;
using test::PeerStep;
using test::RequestSpec;
using test::str;
using Clock = std::chrono::steady_clock;

// a's route to b (by weight) and to the scripted peer.
constexpr const char* kSharedTarget = "svc.shared";
constexpr uint32_t kSingleOwner = VORLET_V2_ROUTE_STRATEGY_SINGLE_OWNER;
constexpr uint32_t kRoundRobin = VORLET_V2_ROUTE_STRATEGY_WEIGHTED_ROUND_ROBIN;
// Remote budgets. The peer that stays silent holds a's remote worker for a
// whole budget, so requests that may meet it get a short one.
constexpr int32_t kRemoteTimeoutMs = 2000;
constexpr int32_t kSharedTimeoutMs = 150;

std::chrono::milliseconds traffic_time() {
  const char* text = std::getenv("VORLET_SOAK_SECONDS");
  const long seconds = text != nullptr ? std::strtol(text, nullptr, 10) : 0;
  return std::chrono::milliseconds(seconds > 0 ? seconds * 1000 : 3000);
}

// Submits, waiting while the ingress queue is full; false once the runtime
// no longer accepts.
bool submit_patiently(Runtime* rt, const std::string& bytes) {
  for (;;) {
    const Status s = ingress_submit_envelope(rt, bytes.data(), bytes.size());
    if (s == Status::ok) return true;
    if (s != Status::would_block) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
}

// The n-th request of one of a's host threads: the first sends to a itself,
// the others to b and to the shared route; every combination of target,
// one-way flag and payload size comes round.
RequestSpec a_request(int thread, const std::string& id, uint64_t n) {
  static const uint64_t kPayloads[] = {0, 1, 200, 4096, 65536, 16384, 700};
  RequestSpec spec;
  spec.message_id = id;
  spec.target = thread == 0 ? kLocalTarget : n % 4 == 3 ? kSharedTarget : kRemoteTarget;
  spec.one_way = n % 3 == 0;
  spec.timeout_ms = spec.target == kSharedTarget ? kSharedTimeoutMs : kRemoteTimeoutMs;
  spec.payload_bytes = kPayloads[n % 7];
  return spec;
}

// a's host threads pause after each request. The remote worker delivers one
// request at a time, so the remote senders also hold back while a's remote
// queue holds more than a few, for a while (queue limits are met anyway).
void a_pause(int thread, Runtime* rt) {
  if (thread == 0) {
    std::this_thread::sleep_for(std::chrono::microseconds(250));
    return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  for (int i = 0; i < 50 && rt->counters.load(Counter::remote_outbound_depth) > 8; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

struct Route {
  std::string target;
  uint32_t strategy;
  std::vector<EndpointSpec> endpoints;
};

// a's routes under generation g: its own, b's, and the shared route in one
// of four shapes (b drained, or no shared route at all, among them).
std::vector<Route> a_routes(uint64_t g, uint16_t a_port, uint16_t b_port, uint16_t peer_port) {
  std::vector<Route> routes = {
      {kLocalTarget, kSingleOwner, {{"127.0.0.1", a_port, 1, VORLET_V2_ENDPOINT_FLAG_LOCAL}}},
      {kRemoteTarget, kSingleOwner, {{"127.0.0.1", b_port}}},
  };
  switch (g % 4) {
    case 0:
      routes.push_back({kSharedTarget, kRoundRobin, {{"127.0.0.1", peer_port}, {"127.0.0.1", b_port}}});
      break;
    case 1:
      routes.push_back({kSharedTarget, kRoundRobin, {{"127.0.0.1", b_port, 1}, {"127.0.0.1", peer_port, 3}}});
      break;
    case 2:
      routes.push_back({kSharedTarget, kRoundRobin,
                        {{"127.0.0.1", peer_port}, {"127.0.0.1", b_port, 1, VORLET_V2_ENDPOINT_FLAG_UNAVAILABLE}}});
      break;
    default:
      break;
  }
  return routes;
}

void to_flat(const std::vector<Route>& routes, test::FlatSnapshot* s) {
  for (const Route& r : routes) s->route(r.target, r.strategy, r.endpoints);
}

// The same routes as a JSON control envelope, on odd generations with an
// overload policy for the remote outbound queue.
std::string to_control_envelope(uint64_t g, const std::vector<Route>& routes) {
  ctl::RouteSnapshotPayload payload;
  payload.set_generation(g);
  for (const Route& r : routes) {
    ctl::Route* route = payload.add_routes();
    route->set_target(r.target);
    route->set_strategy(static_cast<ctl::RouteResolutionStrategy>(r.strategy));
    for (const EndpointSpec& e : r.endpoints) {
      ctl::Endpoint* endpoint = route->add_endpoints();
      endpoint->set_host(e.host);
      endpoint->set_port(e.port);
      endpoint->set_weight(e.weight);
      endpoint->set_flags(e.flags);
    }
  }
  if (g % 4 == 1) {
    payload.mutable_overload_policy()->set_remote_outbound_mode(ctl::OVERLOAD_MODE_DROP_ONE_WAY_FIRST);
    payload.mutable_overload_policy()->set_remote_outbound_reply_reserve_slots(8);
  } else if (g % 4 == 3) {
    payload.mutable_overload_policy()->set_remote_outbound_mode(ctl::OVERLOAD_MODE_DROP_EXPIRED_FIRST);
  }
  ctl::ControlEnvelope env;
  env.set_generation(g);
  env.set_kind(ctl::CONTROL_KIND_APPLY_SNAPSHOT);
  env.set_payload_format(ctl::CONFIG_FORMAT_JSON);
  env.set_payload_type(ctl::CONTROL_PAYLOAD_TYPE_ROUTE_SNAPSHOT);
  std::string json;
  EXPECT_TRUE(google::protobuf::util::MessageToJsonString(payload, &json).ok());
  env.set_payload(json);
  return env.SerializeAsString();
}

// A pre-ownership refusal, as b's runtime would send it.
PeerStep peer_refusal() {
  transport::Deadletter dl;
  dl.set_reason(transport::DEADLETTER_REASON_QUEUE_REJECTED);
  dl.set_detail("ingress queue rejected remote envelope");
  return PeerStep::reply(2, transport::DEADLETTER_REASON_QUEUE_REJECTED, dl.detail(), dl.SerializeAsString());
}

bool starts_with(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

TEST(Soak, EveryEnvelopeIsAccountedForUnderLoadPeerFaultsAndNewSnapshots) {
  const std::chrono::milliseconds traffic = traffic_time();
  const size_t fds = test::open_descriptor_count();
  const size_t threads = test::baseline_thread_count();

  DeliveryLedger at_a;  // a's host: what its submits accepted, what came back
  DeliveryLedger at_b;  // b's host: every request delivered to it
  std::map<std::string, RequestSpec> a_sent;  // guarded by a_sent_mutex
  std::mutex a_sent_mutex;
  // b's asks, by message id: "answered", "deadlettered <reason>", or the
  // status that failed the ask. Guarded by b_asked_mutex.
  std::map<std::string, std::string> b_asked;
  std::mutex b_asked_mutex;
  uint64_t peer_accepted = 0;
  {
    test::ScriptedServer peer({peer_refusal(), PeerStep::close_early(), peer_refusal(), PeerStep::reset(),
                               PeerStep::reply_body(test::wire_bytes("no reply at all")), peer_refusal(),
                               PeerStep::close_early(), PeerStep::stay_silent()},
                              true);
    ASSERT_TRUE(peer.listening());
    test::LoopbackPair pair(64);
    ASSERT_TRUE(pair.bring_up());
    {
      test::FlatSnapshot g2(2);
      to_flat(a_routes(0, pair.a_port, pair.b_port, peer.port()), &g2);
      ASSERT_EQ(pair.a.apply(g2), Status::ok);
    }

    test::HostPipeDrain a_drain(&at_a, {pair.a.handles.delivered_read_fd, pair.a.handles.response_read_fd},
                                pair.a.handles.deadletter_read_fd);
    // b's host: asks through an ask client, which reads b's response and
    // deadletter pipes; reads what is delivered to it and answers every
    // two-way request, a's and its own.
    vorlet_v2_AskClientHandle* asker = vorlet_v2_ask_client_create(to_handle(pair.b.rt), &pair.b.handles);
    ASSERT_NE(asker, nullptr);
    std::thread b_host([&] {
      FrameBytes got;
      while (pair.b.read_frame(HostPipe::delivered, &got, 30000) == Status::ok) {
        const std::string bytes = str(got);
        at_b.delivered(bytes.data(), bytes.size());
        std::string id;
        bool one_way = false;
        if (test::envelope_id(bytes, &id, &one_way) && !one_way) {
          (void)submit_patiently(pair.b.rt, test::response_for(bytes));
        }
      }
    });

    std::atomic<bool> traffic_done{false};
    std::vector<std::thread> senders;
    for (int t = 0; t < 3; ++t) {
      senders.emplace_back([&, t] {
        for (uint64_t n = 0;; ++n) {
          const std::string id = "a" + std::to_string(t) + "-" + std::to_string(n);
          const RequestSpec spec = a_request(t, id, n);
          if (!submit_patiently(pair.a.rt, test::request_envelope(spec))) return;
          at_a.accepted(id);
          {
            std::lock_guard<std::mutex> hold(a_sent_mutex);
            a_sent.emplace(id, spec);
          }
          a_pause(t, pair.a.rt);
        }
      });
    }
    for (int t = 0; t < 2; ++t) {
      senders.emplace_back([&, t] {
        for (uint64_t n = 0;; ++n) {
          const std::string id = "b" + std::to_string(t) + "-" + std::to_string(n);
          const std::string bytes =
              test::request_envelope(RequestSpec{id, kRemoteTarget, false, kRemoteTimeoutMs, (n * 977) % 20000});
          vorlet_v2_AskTicket* ticket = nullptr;
          int32_t begun;
          while ((begun = vorlet_v2_ask_client_begin(asker, bytes.data(), bytes.size(), &ticket)) ==
                 VORLET_V2_WOULD_BLOCK) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
          }
          if (begun != VORLET_V2_OK) return;  // b no longer takes asks
          int32_t kind = 0;
          void* answer = nullptr;
          uint64_t length = 0;
          const int32_t awaited = vorlet_v2_ask_ticket_await(ticket, 30000, &kind, &answer, &length);
          std::string outcome = "failed " + std::to_string(awaited);
          if (awaited == VORLET_V2_OK && kind == VORLET_V2_REPLY_KIND_RESPONSE) {
            outcome = "answered";
          } else if (awaited == VORLET_V2_OK && kind == VORLET_V2_REPLY_KIND_DEADLETTER) {
            transport::Deadletter dl;
            EXPECT_TRUE(dl.ParseFromArray(answer, static_cast<int>(length)));
            outcome = "deadlettered " + std::to_string(dl.reason());
          }
          vorlet_v2_client_bytes_release(answer);
          vorlet_v2_ask_ticket_destroy(ticket);
          std::lock_guard<std::mutex> hold(b_asked_mutex);
          b_asked.emplace(id, outcome);
        }
      });
    }
    // New snapshots for both, a's alternately by call and through its
    // control pipe; b's keep its routes.
    std::thread snapshots([&] {
      for (uint64_t g = 3; !traffic_done.load(); ++g) {
        const std::vector<Route> routes = a_routes(g, pair.a_port, pair.b_port, peer.port());
        if (g % 2 == 0) {
          test::FlatSnapshot flat(g);
          to_flat(routes, &flat);
          EXPECT_EQ(pair.a.apply(flat), Status::ok);
        } else {
          const std::string env = to_control_envelope(g, routes);
          EXPECT_EQ(frame_write(pair.a.handles.control_write_fd, env.data(), env.size()), Status::ok);
          const auto until = Clock::now() + std::chrono::seconds(2);
          while (pair.a.rt->routes.generation() < g && Clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
          }
          EXPECT_EQ(pair.a.rt->routes.generation(), g);
        }
        test::FlatSnapshot b_routes(g);
        b_routes.route(kRemoteTarget, kSingleOwner, {{"127.0.0.1", pair.b_port, 1, VORLET_V2_ENDPOINT_FLAG_LOCAL}});
        EXPECT_EQ(pair.b.apply(b_routes), Status::ok);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    });

    std::this_thread::sleep_for(traffic);
    traffic_done.store(true);
    snapshots.join();
    // a first, while its hosts still send: nothing of a's then waits on b.
    ASSERT_EQ(pair.a.stop(), Status::ok);
    ASSERT_EQ(pair.b.stop(), Status::ok);
    for (auto& t : senders) t.join();
    b_host.join();
    vorlet_v2_ask_client_destroy(asker);
    ASSERT_TRUE(a_drain.wait(60000));
    peer_accepted = static_cast<uint64_t>(peer.accepted());
    // The peer's faults went through failover: to b when the shape of the
    // shared route left b eligible, else to the end of the road. Which of
    // the two a slow run meets is up to timing.
    EXPECT_GT(pair.a.counter(Counter::failover_retries) + pair.a.counter(Counter::failover_exhausted), 0u);
  }
  EXPECT_EQ(test::open_descriptor_count(), fds);
  EXPECT_EQ(test::thread_count(), threads);

  // ---- b's host ----
  std::map<std::string, uint64_t> b_delivered;  // every request that reached b's host
  for (const auto& [id, ways] : at_b.outcomes()) {
    for (const LedgerOutcome& o : ways) {
      EXPECT_EQ(o.kind, LedgerOutcome::delivered) << id;
      ++b_delivered[id];
    }
  }
  for (const auto& [id, n] : b_delivered) {
    EXPECT_EQ(n, 1u) << "delivered more than once at b: " << id;
    if (starts_with(id, "a")) {
      EXPECT_EQ(a_sent.count(id), 1u) << "b's host got a request a never accepted: " << id;
    } else {
      EXPECT_EQ(b_asked.count(id), 1u) << "b's host got a request it never asked: " << id;
    }
  }
  // Each ask reported one outcome; an answer means b's host had the request,
  // a deadletter that it never had.
  std::map<std::string, uint64_t> b_outcomes;
  for (const auto& [id, outcome] : b_asked) {
    ++b_outcomes[outcome];
    const bool delivered = b_delivered.count(id) != 0;
    if (outcome == "answered") {
      EXPECT_TRUE(delivered) << id;
    } else if (starts_with(outcome, "deadlettered")) {
      EXPECT_FALSE(delivered) << id << " " << outcome;
    } else {
      // Only the stop fails an ask: delivered but not yet answered, or
      // still on its way to the host.
      EXPECT_EQ(outcome, "failed -7") << id;
    }
  }
  std::string b_summary;
  for (const auto& [outcome, n] : b_outcomes) b_summary += ", " + std::to_string(n) + " " + outcome;

  // ---- a's host ----
  const auto a_out = at_a.outcomes();
  uint64_t delivered_locally = 0, answered = 0, one_way_at_b = 0, timed_out_but_delivered = 0, cut_by_stop = 0;
  std::map<int32_t, uint64_t> deadlettered;
  for (const auto& [id, spec] : a_sent) {
    const auto it = a_out.find(id);
    const std::vector<LedgerOutcome> none;
    const std::vector<LedgerOutcome>& ways = it == a_out.end() ? none : it->second;
    const bool at_b_host = b_delivered.count(id) != 0;
    const bool remote = spec.target != kLocalTarget;
    if (ways.size() > 1) {
      ADD_FAILURE() << id << " came out " << ways.size() << " times at a";
      continue;
    }
    if (ways.empty()) {
      // An accepted one-way request leaves nothing at its sender.
      if (remote && spec.one_way && at_b_host) {
        ++one_way_at_b;
      } else {
        ADD_FAILURE() << "lost: " << id << " to " << spec.target << (spec.one_way ? " one-way" : "");
      }
      continue;
    }
    const LedgerOutcome& o = ways.front();
    switch (o.kind) {
      case LedgerOutcome::delivered:
        EXPECT_FALSE(remote) << id;
        EXPECT_FALSE(at_b_host) << id;
        ++delivered_locally;
        break;
      case LedgerOutcome::answered:
        EXPECT_TRUE(remote && !spec.one_way && at_b_host) << id;
        ++answered;
        break;
      case LedgerOutcome::deadlettered:
        if (at_b_host && o.reason == transport::DEADLETTER_REASON_RUNTIME_STOPPED) {
          // b took it, but a's stop cut the exchange before b's answer came.
          EXPECT_EQ(o.detail, "remote exchange cut by runtime stop") << id;
          ++cut_by_stop;
        } else if (at_b_host) {
          // b took it, but a's budget ran out before b's answer came.
          EXPECT_EQ(o.reason, transport::DEADLETTER_REASON_REMOTE_REPLY_TIMEOUT) << id;
          ++timed_out_but_delivered;
        } else {
          ++deadlettered[o.reason];
        }
        break;
    }
  }
  for (const auto& [id, ways] : a_out) {
    if (a_sent.count(id) == 0) ADD_FAILURE() << "came out at a, never accepted: " << id;
  }

  uint64_t deadlettered_total = 0;
  std::string by_reason;
  for (const auto& [reason, n] : deadlettered) {
    deadlettered_total += n;
    by_reason += " " + std::to_string(reason) + ":" + std::to_string(n);
  }
  std::printf(
      "soak (%lld ms): a accepted %zu: %llu delivered locally, %llu answered by b, %llu one-way delivered at b, "
      "%llu deadlettered (by reason%s), %llu delivered at b after a's budget ran out (reason 11), "
      "%llu delivered at b before a's stop cut the exchange (reason 8); "
      "b asked %zu%s; b's host had %zu requests delivered; the scripted peer took %llu connections\n",
      static_cast<long long>(traffic.count()), a_sent.size(), static_cast<unsigned long long>(delivered_locally),
      static_cast<unsigned long long>(answered), static_cast<unsigned long long>(one_way_at_b),
      static_cast<unsigned long long>(deadlettered_total), by_reason.c_str(),
      static_cast<unsigned long long>(timed_out_but_delivered), static_cast<unsigned long long>(cut_by_stop),
      b_asked.size(), b_summary.c_str(),
      b_delivered.size(), static_cast<unsigned long long>(peer_accepted));
  EXPECT_EQ(delivered_locally + answered + one_way_at_b + deadlettered_total + timed_out_but_delivered + cut_by_stop,
            a_sent.size());
  // One remote worker: stop cuts at most the one exchange it had under way.
  EXPECT_LE(cut_by_stop, 1u);
  EXPECT_GT(delivered_locally, 0u);
  EXPECT_GT(answered, 0u);
  EXPECT_GT(one_way_at_b, 0u);
  EXPECT_GT(b_outcomes["answered"], 0u);
  EXPECT_GT(peer_accepted, 0u);
}

}  // namespace
}  // namespace vorlet::v2
