// Envelopes submitted to a started runtime under allocation failure, on
// each road an envelope can take: local delivery, a route miss, bytes that
// are no envelope, and a remote round trip. The window holds the submit
// call and everything the runtime's threads do with the envelope until
// they are idle again; each run then stops the runtime and reads what
// reached the host. A failing allocation may refuse the submit (nomem),
// turn the envelope into one deadletter, or cost the deadletter itself
// when that is what could not be built; it never gives two outcomes, a
// crash or a leak.
#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "support/envelopes.h"
#include "support/scripted_peer.h"
#include "support/test_runtime.h"
#include "sweep/sweep_support.h"
#include "vorlet/v2/transport.pb.h"

namespace vorlet::v2::test {
namespace {

namespace tp = vorlet::v2::transport;

constexpr const char* kRemote = "svc.remote";
constexpr const char* kNowhere = "svc.nowhere";

std::string request(const std::string& id, const char* target) {
  return test::envelope({.message_id = id,
                         .correlation_id = id,
                         .source = "sweep.host",
                         .target = target,
                         .reply_to = "sweep.host",
                         .timeout_ms = 5000,
                         .payload = std::string(300, 'p'),
                         .headers = {{"tenant", "acme"}, {"trace", "t-1"}}})
      .SerializeAsString();
}

// The peer's answer to m-remote.
std::string response() {
  return test::envelope({.message_id = "m-remote.r",
                         .correlation_id = "m-remote",
                         .source = "sweep.peer",
                         .target = "sweep.host",
                         .kind = tp::MESSAGE_KIND_RESPONSE,
                         .payload = "answer"})
      .SerializeAsString();
}

// What came out of one run, read on the host's side after stop.
struct Outcome {
  int32_t submitted = 0;
  std::vector<FrameBytes> delivered;
  std::vector<FrameBytes> responses;
  std::vector<int32_t> deadletter_reasons;
  size_t total() const { return delivered.size() + responses.size() + deadletter_reasons.size(); }
  std::string label() const {
    if (submitted != 0) return "submit refused " + std::to_string(submitted);
    if (total() == 0) return "nothing (deadletter dropped)";
    if (total() > 1) return "several outcomes";
    if (!delivered.empty()) return "delivered";
    if (!responses.empty()) return "response";
    return "deadletter reason " + std::to_string(deadletter_reasons[0]);
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
  static const char* const kNames[] = {"LocalDelivery", "RouteMiss", "NotAnEnvelope", "RemoteRoundTrip"};
  return kNames[info.index];
}

class SubmitSweep : public ::testing::TestWithParam<Road> {};

TEST_P(SubmitSweep, EveryFailureEndsInOneOutcomeOrAnAccountedDrop) {
  const Road road = GetParam();
  ScriptedServer peer({PeerStep::reply(1, 0, "", response())});
  ASSERT_TRUE(peer.listening());
  std::map<std::string, uint64_t> outcomes;
  const uint64_t points = sweep(road.path, [&](const Fault& fault) {
    TestRuntime fx(64);
    FlatSnapshot snapshot;
    add_local_route(&snapshot, free_loopback_port());
    snapshot.route(kRemote, VORLET_V2_ROUTE_STRATEGY_SINGLE_OWNER, {{"127.0.0.1", peer.port(), 1, 0}});
    EXPECT_EQ(fx.take_handles(), Status::ok);
    EXPECT_EQ(fx.apply(snapshot), Status::ok);
    EXPECT_EQ(fx.start(), Status::ok);
    Outcome out;
    bool quiet = false;
    {
      EmptyFramePool pool;
      FailingAllocations window(fault);
      out.submitted = across_c_interface([&] {
        return vorlet_v2_runtime_submit_envelope(to_handle(fx.rt), road.bytes.data(), road.bytes.size());
      });
      quiet = wait_quiet(fx.rt);
      window.close();
      EXPECT_TRUE(quiet) << fault;
      EXPECT_EQ(fx.stop(), Status::ok) << fault;
      EXPECT_EQ(fx.read_until_eof(HostPipe::delivered, &out.delivered), Status::ok);
      EXPECT_EQ(fx.read_until_eof(HostPipe::response, &out.responses), Status::ok);
      std::vector<FrameBytes> deadletters;
      EXPECT_EQ(fx.read_until_eof(HostPipe::deadletter, &deadletters), Status::ok);
      for (const FrameBytes& d : deadletters) {
        tp::Deadletter parsed;
        EXPECT_TRUE(parsed.ParseFromArray(d.data(), static_cast<int>(d.size())));
        out.deadletter_reasons.push_back(parsed.reason());
      }
      if (!window.fired()) {
        EXPECT_EQ(out.label(), road.expected) << "without a failure";
        return false;
      }
    }
    ++outcomes[out.label()];
    if (std::getenv("VORLET_SWEEP_TRACE") != nullptr) std::cerr << "sweep: " << fault << ": " << out.label() << "\n";
    EXPECT_TRUE(out.submitted == 0 || out.submitted == VORLET_V2_NOMEM) << fault;
    if (out.submitted != 0) {
      EXPECT_EQ(out.total(), 0u) << fault;
    }
    EXPECT_LE(out.total(), 1u) << fault << ": " << out.label();
    return true;
  });
  EXPECT_GT(points, 0u);
  for (const auto& entry : outcomes) {
    std::printf("sweep: %s: %s: %llu\n", road.path, entry.first.c_str(),
                static_cast<unsigned long long>(entry.second));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Roads, SubmitSweep,
    ::testing::Values(Road{"submit, local delivery", request("m-local", kLocalTarget), "delivered"},
                      Road{"submit, route miss", request("m-miss", kNowhere), "deadletter reason 2"},
                      Road{"submit, not an envelope", std::string("\xff\xff\xff", 3), "deadletter reason 9"},
                      Road{"submit, remote round trip", request("m-remote", kRemote), "response"}),
    road_name);

}  // namespace
}  // namespace vorlet::v2::test
