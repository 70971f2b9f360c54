// A job names its endpoint by pointing into the route table it resolved
// under; the table lives as long as the runtime or any such job holds it.
#include "runtime/route_table_ref.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/envelopes.h"
#include "support/scripted_peer.h"
#include "support/test_runtime.h"
#include "support/runtime_probe.h"
#include "vorlet/v2/transport.pb.h"

namespace vorlet::v2 {
namespace {

using test::FlatSnapshot;
using test::FrameBytes;
using test::TestRuntime;

constexpr const char* kFar = "svc.far";

uint64_t active_refs(Runtime* rt) {
  MutexLock hold(&rt->runtime_lock);
  return test::active_table(rt).ref != nullptr ? test::active_table(rt).refs : 0;
}

// The deadletters the host read after stop, parsed.
std::vector<transport::Deadletter> deadletters_of(TestRuntime& fx) {
  std::vector<FrameBytes> frames;
  EXPECT_EQ(fx.read_until_eof(HostPipe::deadletter, &frames), Status::ok);
  std::vector<transport::Deadletter> out;
  for (const FrameBytes& f : frames) {
    transport::Deadletter dl;
    EXPECT_TRUE(dl.ParseFromArray(f.data(), static_cast<int>(f.size())));
    out.push_back(dl);
  }
  return out;
}

// A remote job whose exchange is under way when a new snapshot replaces
// its table still holds the old table: its deadletter names the endpoint
// it was sent to, not one of the new table. Only the job holds the old
// table meanwhile, and nothing holds it after (ASan sees a host read from a
// freed table, LSan one left behind).
TEST(RouteTableRef, AJobInFlightKeepsItsHostAcrossASnapshotSwap) {
  test::ScriptedServer peer({test::PeerStep::stay_silent()});
  ASSERT_TRUE(peer.listening());
  TestRuntime fx(64);
  FlatSnapshot first(1);
  first.route(kFar, VORLET_V2_ROUTE_STRATEGY_SINGLE_OWNER, {{"127.0.0.1", peer.port(), 1, 0}});
  ASSERT_EQ(fx.take_handles(), Status::ok);
  ASSERT_EQ(fx.apply(first), Status::ok);
  ASSERT_EQ(fx.start(), Status::ok);
  EXPECT_EQ(active_refs(fx.rt), 1u);

  const std::string bytes = test::request_envelope({.message_id = "m-far", .target = kFar, .timeout_ms = 600});
  ASSERT_EQ(vorlet_v2_runtime_submit_envelope(fx.handle(), bytes.data(), bytes.size()), VORLET_V2_OK);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (peer.served() < 1 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ASSERT_EQ(peer.served(), 1);

  FlatSnapshot second(2);
  second.route(kFar, VORLET_V2_ROUTE_STRATEGY_SINGLE_OWNER, {{"192.0.2.1", 9, 1, 0}});
  const RouteTableRef* old_ref = test::active_table(fx.rt).ref;
  const uint64_t held_by_job = old_ref->refs.load();
  ASSERT_EQ(fx.apply(second), Status::ok);
  EXPECT_EQ(held_by_job, 2u);  // the runtime's and the job's
  EXPECT_NE(test::active_table(fx.rt).ref, old_ref);
  EXPECT_EQ(active_refs(fx.rt), 1u);

  ASSERT_EQ(fx.stop(), Status::ok);
  const std::vector<transport::Deadletter> dls = deadletters_of(fx);
  ASSERT_EQ(dls.size(), 1u);
  EXPECT_EQ(dls[0].resolved_host(), "127.0.0.1");
  EXPECT_EQ(dls[0].resolved_port(), peer.port());
  EXPECT_EQ(dls[0].active_generation(), 1u);
  EXPECT_EQ(active_refs(fx.rt), 1u);  // the finished job let go
}

// Snapshots swapped while envelopes stream to a local endpoint: every
// envelope is delivered or deadlettered once, every deadletter that names
// an endpoint names the one it resolved to, and the active table ends with
// the runtime's reference alone. Under TSan this is the race between a
// job's release and a commit's.
TEST(RouteTableRef, SnapshotSwapsUnderTrafficLoseNoHost) {
  const uint16_t port = test::free_loopback_port();
  ASSERT_NE(port, 0);
  TestRuntime fx(1024);
  ASSERT_EQ(fx.take_handles(), Status::ok);
  FlatSnapshot initial(1);
  test::add_local_route(&initial, port);
  ASSERT_EQ(fx.apply(initial), Status::ok);
  ASSERT_EQ(fx.start(), Status::ok);

  std::atomic<bool> sending{true};
  std::atomic<uint64_t> swaps{0};
  std::thread swapper([&] {
    for (uint64_t g = 2; sending.load(); ++g) {
      FlatSnapshot next(g);
      test::add_local_route(&next, port);
      // A second route, so that each table differs in shape too.
      next.route("svc.extra-" + std::to_string(g), VORLET_V2_ROUTE_STRATEGY_SINGLE_OWNER, {{"192.0.2.7", 7, 1, 0}});
      if (fx.apply(next) == Status::ok) swaps.fetch_add(1);
    }
  });

  constexpr int kEnvelopes = 300;
  int accepted = 0;
  for (int i = 0; i < kEnvelopes; ++i) {
    const std::string bytes = test::request_envelope(
        {.message_id = "m-" + std::to_string(i), .target = test::kLocalTarget, .one_way = true, .payload_bytes = 8});
    if (vorlet_v2_runtime_submit_envelope(fx.handle(), bytes.data(), bytes.size()) == VORLET_V2_OK) ++accepted;
    if (i % 16 == 0) std::this_thread::yield();
  }
  while (swaps.load() < 20) std::this_thread::yield();
  sending.store(false);
  swapper.join();

  ASSERT_EQ(fx.stop(), Status::ok);
  std::vector<FrameBytes> delivered;
  EXPECT_EQ(fx.read_until_eof(HostPipe::delivered, &delivered), Status::ok);
  const std::vector<transport::Deadletter> dls = deadletters_of(fx);
  EXPECT_EQ(delivered.size() + dls.size(), static_cast<size_t>(accepted));
  for (const transport::Deadletter& dl : dls) {
    if (!dl.resolved_host().empty()) {
      EXPECT_EQ(dl.resolved_host(), "127.0.0.1");
      EXPECT_EQ(dl.resolved_port(), port);
    }
  }
  EXPECT_EQ(active_refs(fx.rt), 1u);
}

}  // namespace
}  // namespace vorlet::v2
