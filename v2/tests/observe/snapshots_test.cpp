#include "observe/snapshots.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <mutex>
#include <string>

#include "observe/runtime_health.h"
#include "observe/runtime_stats.h"
#include "runtime/control_apply.h"
#include "runtime/host_pipes.h"
#include "runtime/route_table.h"
#include "runtime/runtime.h"
#include "support/record_bytes.h"
#include "support/runtime_probe.h"

namespace vorlet::v2 {
namespace {

using test::all_zero;

struct TableRuntime {
  TableRuntime() {
    const vorlet_v2_RuntimeOptions options{nullptr, nullptr, 0, 0};
    rt = runtime_create(&options);
  }
  ~TableRuntime() { runtime_destroy(rt); }

  Status install(const RouteSnapshotDesc& snapshot) { return control_apply_snapshot(rt, &snapshot, nullptr); }

  Runtime* rt = nullptr;
};

// Two routes: "alpha" with three endpoints flagged local, local and
// unavailable, and nothing; "beta" with a rendezvous key. Both local
// endpoints listen on 127.0.0.1:7000.
struct TwoRoutes {
  EndpointDesc alpha_endpoints[3] = {{"127.0.0.1", 7000, 0, kEndpointFlagLocal},
                                     {"127.0.0.1", 7000, 5, kEndpointFlagLocal | kEndpointFlagUnavailable},
                                     {"10.0.0.9", 7100, 2, 0}};
  EndpointDesc beta_endpoints[1] = {{"10.0.0.8", 7200, 1, kEndpointFlagUnavailable}};
  RouteDesc routes[2] = {
      {"alpha", VORLET_V2_ROUTE_STRATEGY_WEIGHTED_ROUND_ROBIN, nullptr, kRouteFlagPreferLocal, alpha_endpoints, 3},
      {"beta", VORLET_V2_ROUTE_STRATEGY_RENDEZVOUS_HASH, "tenant", 0, beta_endpoints, 1}};
  RouteSnapshotDesc snapshot = {7, routes, 2};

  TwoRoutes() = default;
  TwoRoutes(const TwoRoutes&) = delete;
  TwoRoutes& operator=(const TwoRoutes&) = delete;
};

TEST(Snapshots, AreEmptyBeforeAnySnapshotAndRefuseNullArguments) {
  TableRuntime h;
  ASSERT_NE(h.rt, nullptr);
  TopologySnapshot topo;
  std::memset(&topo, 0xAB, sizeof topo);
  ASSERT_EQ(snapshots_get_topology(h.rt, &topo), Status::ok);
  EXPECT_TRUE(all_zero(topo));
  RouteCatalog catalog;
  std::memset(&catalog, 0xAB, sizeof catalog);
  ASSERT_EQ(snapshots_get_route_catalog(h.rt, &catalog), Status::ok);
  EXPECT_TRUE(all_zero(catalog));

  EXPECT_EQ(snapshots_get_topology(nullptr, &topo), Status::invalid_arg);
  EXPECT_EQ(snapshots_get_topology(h.rt, nullptr), Status::invalid_arg);
  EXPECT_EQ(snapshots_get_route_catalog(nullptr, &catalog), Status::invalid_arg);
  EXPECT_EQ(snapshots_get_route_catalog(h.rt, nullptr), Status::invalid_arg);
  topology_snapshot_free(nullptr);
  route_catalog_free(nullptr);
}

TEST(Snapshots, CopyEveryRouteAndCountTheEndpointsByFlag) {
  TableRuntime h;
  TwoRoutes source;
  ASSERT_EQ(h.install(source.snapshot), Status::ok);

  TopologySnapshot topo;
  ASSERT_EQ(snapshots_get_topology(h.rt, &topo), Status::ok);
  EXPECT_EQ(topo.has_snapshot, 1u);
  EXPECT_EQ(topo.generation, 7u);
  ASSERT_NE(topo.local_listen_host, nullptr);
  EXPECT_STREQ(topo.local_listen_host, "127.0.0.1");
  EXPECT_NE(topo.local_listen_host, test::active_table(h.rt).listen_host);
  EXPECT_EQ(topo.local_listen_port, 7000u);
  ASSERT_EQ(topo.route_count, 2u);
  const RouteDesc& alpha = topo.routes[0];
  EXPECT_STREQ(alpha.target, "alpha");
  EXPECT_NE(alpha.target, test::active_table(h.rt).routes[0].target);
  EXPECT_EQ(alpha.strategy, VORLET_V2_ROUTE_STRATEGY_WEIGHTED_ROUND_ROBIN);
  EXPECT_EQ(alpha.route_key_hint, nullptr);
  EXPECT_EQ(alpha.flags, kRouteFlagPreferLocal);
  ASSERT_EQ(alpha.endpoint_count, 3u);
  const uint32_t weights[3] = {1, 5, 2};  // weight 0 was stored as 1
  for (int e = 0; e < 3; ++e) {
    EXPECT_STREQ(alpha.endpoints[e].host, source.alpha_endpoints[e].host) << e;
    EXPECT_NE(alpha.endpoints[e].host, test::active_table(h.rt).routes[0].endpoints[e].host) << e;
    EXPECT_EQ(alpha.endpoints[e].port, source.alpha_endpoints[e].port) << e;
    EXPECT_EQ(alpha.endpoints[e].weight, weights[e]) << e;
    EXPECT_EQ(alpha.endpoints[e].flags, source.alpha_endpoints[e].flags) << e;
  }
  EXPECT_STREQ(topo.routes[1].route_key_hint, "tenant");
  EXPECT_EQ(topo.routes[1].strategy, VORLET_V2_ROUTE_STRATEGY_RENDEZVOUS_HASH);
  // Bytes no field covers are 0.
  EXPECT_EQ(std::memcmp(reinterpret_cast<const char*>(&topo) + 4, "\0\0\0\0", 4), 0);
  EXPECT_EQ(std::memcmp(reinterpret_cast<const char*>(&topo) + 26, "\0\0\0\0\0\0", 6), 0);
  topology_snapshot_free(&topo);
  EXPECT_TRUE(all_zero(topo));

  RouteCatalog catalog;
  ASSERT_EQ(snapshots_get_route_catalog(h.rt, &catalog), Status::ok);
  EXPECT_EQ(catalog.has_snapshot, 1u);
  EXPECT_EQ(catalog.generation, 7u);
  ASSERT_EQ(catalog.route_count, 2u);
  struct Counts {
    const char* target;
    const char* hint;
    uint64_t endpoints, local, remote, unavailable, available;
  };
  const Counts expected[2] = {{"alpha", nullptr, 3, 2, 1, 1, 2}, {"beta", "tenant", 1, 0, 1, 1, 0}};
  for (int r = 0; r < 2; ++r) {
    const RouteCatalogEntry& entry = catalog.entries[r];
    EXPECT_STREQ(entry.target, expected[r].target);
    if (expected[r].hint == nullptr) {
      EXPECT_EQ(entry.route_key_hint, nullptr);
    } else {
      EXPECT_STREQ(entry.route_key_hint, expected[r].hint);
    }
    EXPECT_EQ(entry.strategy, source.routes[r].strategy);
    EXPECT_EQ(entry.flags, source.routes[r].flags);
    EXPECT_EQ(entry.endpoint_count, expected[r].endpoints) << r;
    EXPECT_EQ(entry.local_endpoints, expected[r].local) << r;
    EXPECT_EQ(entry.remote_endpoints, expected[r].remote) << r;
    EXPECT_EQ(entry.unavailable_endpoints, expected[r].unavailable) << r;
    EXPECT_EQ(entry.available_endpoints, expected[r].available) << r;
  }
  route_catalog_free(&catalog);
  EXPECT_TRUE(all_zero(catalog));
  route_catalog_free(&catalog);
}

TEST(Snapshots, OutliveTheTableTheyCameFromAndTheRuntime) {
  TopologySnapshot topo;
  RouteCatalog catalog;
  {
    TableRuntime h;
    TwoRoutes first;
    ASSERT_EQ(h.install(first.snapshot), Status::ok);
    ASSERT_EQ(snapshots_get_topology(h.rt, &topo), Status::ok);
    ASSERT_EQ(snapshots_get_route_catalog(h.rt, &catalog), Status::ok);

    EndpointDesc gamma_endpoint = {"10.1.1.1", 9000, 1, 0};
    RouteDesc gamma = {"gamma", VORLET_V2_ROUTE_STRATEGY_SINGLE_OWNER, nullptr, 0, &gamma_endpoint, 1};
    const RouteSnapshotDesc second = {8, &gamma, 1};
    ASSERT_EQ(h.install(second), Status::ok);
    EXPECT_EQ(topo.generation, 7u);
    EXPECT_STREQ(topo.routes[1].target, "beta");
  }
  // The runtime is gone; the copies are not.
  EXPECT_EQ(topo.generation, 7u);
  EXPECT_STREQ(topo.local_listen_host, "127.0.0.1");
  EXPECT_STREQ(topo.routes[0].endpoints[2].host, "10.0.0.9");
  EXPECT_STREQ(catalog.entries[1].route_key_hint, "tenant");
  topology_snapshot_free(&topo);
  topology_snapshot_free(&topo);
  route_catalog_free(&catalog);
  route_catalog_free(&catalog);
}

// Array sizes past what the allocation shims accept make the builders run
// out of memory at a chosen place; the sanitizer build checks that nothing
// taken before that place leaks.
TEST(Snapshots, FailedBuildsFreeWhatTheyTookAndLeaveTheRecordZero) {
  constexpr uint64_t kHuge = uint64_t{1} << 62;
  TwoRoutes source;
  TableRuntime h;
  ASSERT_EQ(h.install(source.snapshot), Status::ok);
  RouteRecord* table = test::active_table(h.rt).routes;

  struct Case {
    const char* what;
    std::function<void(RouteRecord*)> bend;  // on a private copy of the two records
    uint64_t route_count;
    bool table_null;
    Status topology;
    Status catalog;  // ok: not tried (the catalog walks endpoints it does not copy)
  };
  const Case cases[] = {
      {"route array", [](RouteRecord*) {}, kHuge, false, Status::nomem, Status::nomem},
      {"endpoint array of the second route", [&](RouteRecord* r) { r[1].endpoint_count = kHuge; }, 2, false,
       Status::nomem, Status::ok},
      {"routes claimed without an array", [](RouteRecord*) {}, 2, true, Status::invalid_arg, Status::invalid_arg},
      {"endpoints claimed without an array", [](RouteRecord* r) { r[1].endpoints = nullptr; }, 2, false,
       Status::invalid_arg, Status::invalid_arg},
  };
  for (const Case& c : cases) {
    RouteRecord copy[2];
    std::memcpy(copy, table, sizeof copy);  // shallow: borrows the installed texts
    c.bend(copy);
    const RouteRecord* t = c.table_null ? nullptr : copy;

    TopologySnapshot topo;
    std::memset(&topo, 0xAB, sizeof topo);
    EXPECT_EQ(topology_snapshot_build(t, c.route_count, 7, 1, "127.0.0.1", 7000, &topo), c.topology) << c.what;
    EXPECT_TRUE(all_zero(topo)) << c.what;
    topology_snapshot_free(&topo);

    if (c.catalog == Status::ok) continue;
    RouteCatalog catalog;
    std::memset(&catalog, 0xAB, sizeof catalog);
    EXPECT_EQ(route_catalog_build(t, c.route_count, 7, 1, &catalog), c.catalog) << c.what;
    EXPECT_TRUE(all_zero(catalog)) << c.what;
    route_catalog_free(&catalog);
  }
}

uint32_t failing_clock(uint64_t*) noexcept { return 2; }

TEST(MonitorSnapshot, HoldsOnePictureWithRecordsOfTheirOwnSizes) {
  TableRuntime h;
  TwoRoutes source;
  ASSERT_EQ(h.install(source.snapshot), Status::ok);
  host_pipes_monitor_change_notice(h.rt);

  MonitorSnapshot snap;
  std::memset(&snap, 0xAB, sizeof snap);
  ASSERT_EQ(snapshots_get_monitor(h.rt, &snap), Status::ok);
  EXPECT_EQ(snap.monitor_seq, 2u);  // the control_applied event, then the notice
  EXPECT_GT(snap.captured_ns, 0u);
  EXPECT_EQ(snap.health.struct_size, 24u);
  EXPECT_EQ(snap.stats.struct_size, 504u);
  RuntimeHealth health{};
  runtime_health_get(h.rt, &health);
  EXPECT_EQ(std::memcmp(&snap.health, &health, sizeof health), 0);
  RuntimeStats stats{};
  runtime_stats_get(h.rt, &stats);
  EXPECT_EQ(std::memcmp(&snap.stats, &stats, sizeof stats), 0);
  EXPECT_EQ(snap.health.generation, 7u);
  EXPECT_EQ(snap.stats.route_count, 2u);
  EXPECT_EQ(snap.topology.generation, 7u);
  ASSERT_EQ(snap.topology.route_count, 2u);
  EXPECT_STREQ(snap.topology.routes[1].route_key_hint, "tenant");
  EXPECT_STREQ(snap.topology.local_listen_host, "127.0.0.1");

  monitor_snapshot_free(&snap);
  EXPECT_TRUE(all_zero(snap));
  monitor_snapshot_free(&snap);
  monitor_snapshot_free(nullptr);
  EXPECT_EQ(snapshots_get_monitor(nullptr, &snap), Status::invalid_arg);
  EXPECT_EQ(snapshots_get_monitor(h.rt, nullptr), Status::invalid_arg);
}

TEST(MonitorSnapshot, AFailedCaptureLeavesTheCallersRecordAsItWas) {
  TableRuntime h;
  TwoRoutes source;
  ASSERT_EQ(h.install(source.snapshot), Status::ok);
  MonitorSnapshot snap;
  MonitorSnapshot before;
  std::memset(&before, 0xAB, sizeof before);

  std::memcpy(&snap, &before, sizeof snap);
  EXPECT_EQ(snapshots_get_monitor(h.rt, &snap, failing_clock), Status::io);
  EXPECT_EQ(std::memcmp(&snap, &before, sizeof snap), 0);

  // An endpoint count past what the allocation shims accept makes the
  // topology copy run out of memory halfway; restored before anything else
  // reads the table. The route's first endpoint is available, so the
  // statistics' walk for drained routes stops there.
  uint64_t* count = &test::active_table(h.rt).routes[0].endpoint_count;
  const uint64_t kept = *count;
  {
    MutexLock hold(&h.rt->runtime_lock);
    *count = uint64_t{1} << 62;
  }
  const Status s = snapshots_get_monitor(h.rt, &snap);
  {
    MutexLock hold(&h.rt->runtime_lock);
    *count = kept;
  }
  EXPECT_EQ(s, Status::nomem);
  EXPECT_EQ(std::memcmp(&snap, &before, sizeof snap), 0);
}

}  // namespace
}  // namespace vorlet::v2
