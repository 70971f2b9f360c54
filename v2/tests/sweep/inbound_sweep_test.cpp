// A peer's request handed to a started runtime's inbound handler under
// allocation failure, on each road it can take there: delivered one-way to
// the host, refused by the dispatcher as a route miss, and relayed to
// another runtime that answers it. The window holds the handler's call and
// everything the runtime's threads do with the request until they are idle
// again; each run then stops the runtime and reads what reached the host.
// A failing allocation may cost the handler its answer (a failure status),
// turn the request into one deadletter, or cost the deadletter itself; it
// never gives two outcomes on the host's side, a crash or a leak, whichever
// stage holds the request (and the parse it carries) when it fails.
#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "runtime/inbound_requests.h"
#include "support/envelopes.h"
#include "support/remote_request.h"
#include "support/scripted_peer.h"
#include "support/test_runtime.h"
#include "sweep/sweep_support.h"
#include "vorlet/v2/transport.pb.h"

namespace vorlet::v2::test {
namespace {

namespace tp = vorlet::v2::transport;

constexpr const char* kNextHop = "svc.next";
constexpr const char* kNowhere = "svc.nowhere";
constexpr uint32_t kPeerWaitMs = 2000;

std::string peer_request(const std::string& id, const char* target, bool one_way) {
  return test::envelope({.message_id = id,
                         .correlation_id = one_way ? "" : id,
                         .source = "sweep.peer",
                         .target = target,
                         .one_way = one_way,
                         .timeout_ms = 4000,
                         .payload = std::string(300, 'p'),
                         .headers = {{"tenant", "acme"}, {"trace", "t-1"}}})
      .SerializeAsString();
}

// The next hop's answer to m-relay.
std::string next_hop_answer() {
  return test::envelope({.message_id = "m-relay.r",
                         .correlation_id = "m-relay",
                         .source = "sweep.next",
                         .target = "sweep.peer",
                         .kind = tp::MESSAGE_KIND_RESPONSE,
                         .payload = "answer"})
      .SerializeAsString();
}

// What came out of one run: the handler's answer, and what the host read
// after stop.
struct Outcome {
  RemoteAnswer answer{};
  std::vector<FrameBytes> delivered;
  std::vector<FrameBytes> deadletters;
  std::string label() const {
    std::string l = "status " + std::to_string(static_cast<int>(answer.status)) + " kind " +
                    std::to_string(answer.kind);
    if (answer.kind == 2) {
      tp::Deadletter dl;
      l += dl.ParseFromString(answer.reply) ? " reason " + std::to_string(dl.reason()) : " unreadable";
    }
    if (!delivered.empty()) l += ", delivered " + std::to_string(delivered.size());
    if (!deadletters.empty()) l += ", host deadletters " + std::to_string(deadletters.size());
    return l;
  }
};

struct Road {
  const char* path;
  std::string bytes;
  // The outcome without a failure.
  std::string expected;
};

void PrintTo(const Road& road, std::ostream* out) { *out << road.path; }

std::string road_name(const ::testing::TestParamInfo<Road>& info) {
  static const char* const kNames[] = {"OneWayDelivery", "RouteMiss", "Relay"};
  return kNames[info.index];
}

class InboundSweep : public ::testing::TestWithParam<Road> {};

TEST_P(InboundSweep, EveryFailureEndsInOneOutcomeOrAnAccountedDrop) {
  const Road road = GetParam();
  ScriptedServer next_hop({PeerStep::reply(1, 0, "", next_hop_answer())});
  ASSERT_TRUE(next_hop.listening());
  std::map<std::string, uint64_t> outcomes;
  const uint64_t points = sweep(road.path, [&](const Fault& fault) {
    TestRuntime fx(64);
    FlatSnapshot snapshot;
    add_local_route(&snapshot, free_loopback_port());
    snapshot.route(kNextHop, VORLET_V2_ROUTE_STRATEGY_SINGLE_OWNER, {{"127.0.0.1", next_hop.port(), 1, 0}});
    EXPECT_EQ(fx.take_handles(), Status::ok);
    EXPECT_EQ(fx.apply(snapshot), Status::ok);
    EXPECT_EQ(fx.start(), Status::ok);
    Outcome out;
    bool quiet = false;
    {
      EmptyFramePool pool;
      FailingAllocations window(fault);
      // Called directly: the test's own copies of the answer are made once
      // the window is closed.
      uint8_t* reply = nullptr;
      uint64_t reply_length = 0;
      char text[160] = "";
      out.answer.status = inbound_requests_handle(
          fx.rt, reinterpret_cast<const uint8_t*>(road.bytes.data()), road.bytes.size(), kPeerWaitMs,
          &out.answer.kind, &reply, &reply_length, &out.answer.reason, text, sizeof text);
      quiet = wait_quiet(fx.rt);
      window.close();
      if (reply != nullptr) out.answer.reply.assign(reinterpret_cast<const char*>(reply), reply_length);
      rt_free(reply);
      out.answer.text = text;
      EXPECT_TRUE(quiet) << fault;
      EXPECT_EQ(fx.stop(), Status::ok) << fault;
      EXPECT_EQ(fx.read_until_eof(HostPipe::delivered, &out.delivered), Status::ok);
      EXPECT_EQ(fx.read_until_eof(HostPipe::deadletter, &out.deadletters), Status::ok);
      if (!window.fired()) {
        EXPECT_EQ(out.label(), road.expected) << "without a failure";
        return false;
      }
    }
    ++outcomes[out.label()];
    if (std::getenv("VORLET_SWEEP_TRACE") != nullptr) std::cerr << "sweep: " << fault << ": " << out.label() << "\n";
    EXPECT_LE(out.delivered.size() + out.deadletters.size(), 1u) << fault << ": " << out.label();
    return true;
  });
  EXPECT_GT(points, 0u);
  for (const auto& entry : outcomes) {
    std::printf("sweep: %s: %s: %llu\n", road.path, entry.first.c_str(),
                static_cast<unsigned long long>(entry.second));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Roads, InboundSweep,
    ::testing::Values(Road{"peer request, one-way delivery", peer_request("m-oneway", kLocalTarget, true),
                           "status 0 kind 1, delivered 1"},
                      Road{"peer request, route miss", peer_request("m-miss", kNowhere, false),
                           "status 0 kind 2 reason 2"},
                      Road{"peer request, relay", peer_request("m-relay", kNextHop, false), "status 0 kind 1"}),
    road_name);

}  // namespace
}  // namespace vorlet::v2::test
