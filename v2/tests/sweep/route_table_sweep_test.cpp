// The route table build under allocation failure: every failing allocation
// is nomem with nothing left behind, and which comes first, a broken rule or
// a failed copy, follows the fixed order of the build's checks.
#include <gtest/gtest.h>

#include <functional>

#include "runtime/route_table.h"
#include "sweep/sweep_support.h"

namespace vorlet::v2::test {
namespace {

// One weighted round-robin route with two endpoints. Its allocations, in
// order: 1 the table, 2 the target, (the hint, when there is one,) then the
// endpoint array and one host per endpoint.
struct OneRouteSnapshot {
  EndpointDesc endpoints[2] = {{"10.0.0.1", 7000, 1, 0}, {"10.0.0.2", 7001, 1, 0}};
  RouteDesc route = {"alpha", VORLET_V2_ROUTE_STRATEGY_WEIGHTED_ROUND_ROBIN, nullptr, 0, endpoints, 2};
  RouteSnapshotDesc snapshot = {5, &route, 1};

  OneRouteSnapshot() = default;
  OneRouteSnapshot(const OneRouteSnapshot&) = delete;
  OneRouteSnapshot& operator=(const OneRouteSnapshot&) = delete;
};

Status build(const RouteSnapshotDesc& snapshot, const Fault& fault, bool* fired) {
  RouteRecord* table = reinterpret_cast<RouteRecord*>(0x1);
  uint64_t count = 99;
  FailingAllocations window(fault);
  const Status s = route_table_build(&snapshot, &table, &count);
  window.close();
  *fired = window.fired();
  if (s != Status::ok) {
    EXPECT_EQ(table, nullptr);
    EXPECT_EQ(count, 0u);
  }
  route_table_free(table, count);
  return s;
}

TEST(RouteTableSweep, EveryFailingAllocationIsNomem) {
  OneRouteSnapshot f;
  f.route.route_key_hint = "tenant";
  const uint64_t points = sweep("route table build", [&](const Fault& fault) {
    bool fired = false;
    const Status s = build(f.snapshot, fault, &fired);
    EXPECT_EQ(s, fired ? Status::nomem : Status::ok) << fault;
    return fired;
  });
  EXPECT_EQ(points, 6u);  // table, target, hint, endpoint array, two hosts
}

TEST(RouteTableSweep, BrokenRulesAndFailedCopiesMeetInTheBuildsOrder) {
  struct Case {
    const char* what;
    uint64_t fail_from;  // this allocation and every later one fail
    std::function<void(OneRouteSnapshot&)> bend;
    Status expected;
  };
  const Case cases[] = {
      // Judged before the target is copied.
      {"empty target", 2, [](OneRouteSnapshot& f) { f.route.target = ""; }, Status::invalid_arg},
      {"route flags 2", 2, [](OneRouteSnapshot& f) { f.route.flags = 2; }, Status::invalid_arg},
      // Judged after the target (and the hint) are copied.
      {"strategy 4", 2, [](OneRouteSnapshot& f) { f.route.strategy = 4; }, Status::nomem},
      {"strategy 4, target copied", 3, [](OneRouteSnapshot& f) { f.route.strategy = 4; }, Status::invalid_arg},
      {"rendezvous with an empty hint", 3,
       [](OneRouteSnapshot& f) {
         f.route.strategy = VORLET_V2_ROUTE_STRATEGY_RENDEZVOUS_HASH;
         f.route.route_key_hint = "";
       },
       Status::nomem},
      // Judged before the endpoint array is allocated.
      {"no endpoints", 3, [](OneRouteSnapshot& f) { f.route.endpoint_count = 0; }, Status::invalid_arg},
      // Judged endpoint by endpoint, after the array and before the host copy.
      {"endpoint flags 4", 3, [](OneRouteSnapshot& f) { f.endpoints[0].flags = 4; }, Status::nomem},
      {"endpoint flags 4, array allocated", 4, [](OneRouteSnapshot& f) { f.endpoints[0].flags = 4; },
       Status::invalid_arg},
      {"port 0", 4, [](OneRouteSnapshot& f) { f.endpoints[0].port = 0; }, Status::invalid_arg},
      {"wildcard host", 4, [](OneRouteSnapshot& f) { f.endpoints[0].host = "::"; }, Status::invalid_arg},
      {"second endpoint's port 0", 4, [](OneRouteSnapshot& f) { f.endpoints[1].port = 0; }, Status::nomem},
      // Judged once every endpoint is copied.
      {"single owner with two endpoints", 5,
       [](OneRouteSnapshot& f) { f.route.strategy = VORLET_V2_ROUTE_STRATEGY_SINGLE_OWNER; }, Status::nomem},
  };
  for (const Case& c : cases) {
    OneRouteSnapshot f;
    c.bend(f);
    bool fired = false;
    EXPECT_EQ(build(f.snapshot, Fault{c.fail_from, true}, &fired), c.expected) << c.what;
    EXPECT_EQ(fired, c.expected == Status::nomem) << c.what;
    // Without a failing allocation every one of them is a broken rule.
    EXPECT_EQ(build(f.snapshot, Fault{0, false}, &fired), Status::invalid_arg) << c.what;
  }
}

}  // namespace
}  // namespace vorlet::v2::test
