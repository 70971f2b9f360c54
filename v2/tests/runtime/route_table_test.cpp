#include "runtime/route_table.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "runtime/control_apply.h"
#include "runtime/runtime.h"
#include "support/runtime_probe.h"

namespace vorlet::v2 {
namespace {

// A valid two-route snapshot that each case bends in one place. Not
// copyable: the descriptors point into its own arrays.
struct SnapshotFixture {
  EndpointDesc alpha_endpoints[2] = {{"10.0.0.1", 7000, 0, 0}, {"10.0.0.2", 7001, 3, kEndpointFlagLocal}};
  EndpointDesc beta_endpoints[1] = {{"10.0.0.3", 7002, 1, 0}};
  RouteDesc routes[2] = {{"alpha", VORLET_V2_ROUTE_STRATEGY_WEIGHTED_ROUND_ROBIN, nullptr, 0, alpha_endpoints, 2},
                         {"beta", VORLET_V2_ROUTE_STRATEGY_SINGLE_OWNER, nullptr, 0, beta_endpoints, 1}};
  RouteSnapshotDesc snapshot = {5, routes, 2};

  SnapshotFixture() = default;
  SnapshotFixture(const SnapshotFixture&) = delete;
  SnapshotFixture& operator=(const SnapshotFixture&) = delete;
};

struct BuildCase {
  const char* what;
  std::function<void(SnapshotFixture&)> bend;
  Status expected;
};

TEST(RouteTableBuild, RefusesEveryBrokenRuleAndAcceptsTheRest) {
  const BuildCase cases[] = {
      {"the valid snapshot", [](SnapshotFixture&) {}, Status::ok},
      {"generation 0", [](SnapshotFixture& f) { f.snapshot.generation = 0; }, Status::invalid_arg},
      {"generation 0 without routes",
       [](SnapshotFixture& f) {
         f.snapshot.generation = 0;
         f.snapshot.route_count = 0;
       },
       Status::invalid_arg},
      {"routes NULL with a count", [](SnapshotFixture& f) { f.snapshot.routes = nullptr; }, Status::invalid_arg},
      {"target NULL", [](SnapshotFixture& f) { f.routes[1].target = nullptr; }, Status::invalid_arg},
      {"target empty", [](SnapshotFixture& f) { f.routes[0].target = ""; }, Status::invalid_arg},
      {"duplicate target", [](SnapshotFixture& f) { f.routes[1].target = "alpha"; }, Status::invalid_arg},
      {"targets differing in case", [](SnapshotFixture& f) { f.routes[1].target = "Alpha"; }, Status::ok},
      {"route flags 2", [](SnapshotFixture& f) { f.routes[0].flags = 2; }, Status::invalid_arg},
      {"route flags 1", [](SnapshotFixture& f) { f.routes[0].flags = kRouteFlagPreferLocal; }, Status::ok},
      {"strategy 4", [](SnapshotFixture& f) { f.routes[0].strategy = 4; }, Status::invalid_arg},
      {"strategy 0xFFFFFFFF", [](SnapshotFixture& f) { f.routes[0].strategy = 0xFFFFFFFFu; }, Status::invalid_arg},
      {"rendezvous without hint", [](SnapshotFixture& f) { f.routes[0].strategy = 3; }, Status::invalid_arg},
      {"rendezvous with empty hint",
       [](SnapshotFixture& f) {
         f.routes[0].strategy = 3;
         f.routes[0].route_key_hint = "";
       },
       Status::invalid_arg},
      {"rendezvous with hint",
       [](SnapshotFixture& f) {
         f.routes[0].strategy = 3;
         f.routes[0].route_key_hint = "tenant";
       },
       Status::ok},
      {"round robin with empty hint", [](SnapshotFixture& f) { f.routes[0].route_key_hint = ""; }, Status::ok},
      {"no endpoints", [](SnapshotFixture& f) { f.routes[0].endpoint_count = 0; }, Status::invalid_arg},
      {"endpoints NULL", [](SnapshotFixture& f) { f.routes[1].endpoints = nullptr; }, Status::invalid_arg},
      {"single owner with two endpoints", [](SnapshotFixture& f) { f.routes[0].strategy = 1; }, Status::invalid_arg},
      {"unspecified with two endpoints", [](SnapshotFixture& f) { f.routes[0].strategy = 0; }, Status::ok},
      {"endpoint flags 3",
       [](SnapshotFixture& f) { f.alpha_endpoints[1].flags = kEndpointFlagLocal | kEndpointFlagUnavailable; },
       Status::ok},
      {"endpoint flags 4", [](SnapshotFixture& f) { f.alpha_endpoints[1].flags = 4; }, Status::invalid_arg},
      {"port 0", [](SnapshotFixture& f) { f.beta_endpoints[0].port = 0; }, Status::invalid_arg},
      {"host NULL", [](SnapshotFixture& f) { f.alpha_endpoints[1].host = nullptr; }, Status::invalid_arg},
      {"host empty", [](SnapshotFixture& f) { f.alpha_endpoints[0].host = ""; }, Status::invalid_arg},
      {"host 0.0.0.0", [](SnapshotFixture& f) { f.alpha_endpoints[0].host = "0.0.0.0"; }, Status::invalid_arg},
      {"host ::", [](SnapshotFixture& f) { f.alpha_endpoints[0].host = "::"; }, Status::invalid_arg},
      {"host [::]", [](SnapshotFixture& f) { f.alpha_endpoints[0].host = "[::]"; }, Status::invalid_arg},
      {"host ::0", [](SnapshotFixture& f) { f.alpha_endpoints[0].host = "::0"; }, Status::invalid_arg},
      {"host 0:0:0:0:0:0:0:0", [](SnapshotFixture& f) { f.beta_endpoints[0].host = "0:0:0:0:0:0:0:0"; },
       Status::invalid_arg},
      {"host ::1", [](SnapshotFixture& f) { f.alpha_endpoints[0].host = "::1"; }, Status::ok},
      {"host 0.0.0.1", [](SnapshotFixture& f) { f.alpha_endpoints[0].host = "0.0.0.1"; }, Status::ok},
      {"host localhost", [](SnapshotFixture& f) { f.alpha_endpoints[0].host = "localhost"; }, Status::ok},
      {"host 0.0.0.0 with a space", [](SnapshotFixture& f) { f.alpha_endpoints[0].host = "0.0.0.0 "; }, Status::ok},
      {"the same endpoint twice", [](SnapshotFixture& f) { f.alpha_endpoints[1] = f.alpha_endpoints[0]; }, Status::ok},
  };
  for (const BuildCase& c : cases) {
    SnapshotFixture f;
    c.bend(f);
    RouteRecord* table = reinterpret_cast<RouteRecord*>(0x1);
    uint64_t count = 99;
    EXPECT_EQ(route_table_build(&f.snapshot, &table, &count), c.expected) << c.what;
    if (c.expected == Status::ok) {
      EXPECT_NE(table, nullptr) << c.what;
      EXPECT_EQ(count, 2u) << c.what;
    } else {
      // A refusal leaves nothing behind (the sanitizer build checks the
      // frees of what the first route had copied).
      EXPECT_EQ(table, nullptr) << c.what;
      EXPECT_EQ(count, 0u) << c.what;
    }
    route_table_free(table, count);
  }
}

TEST(RouteTableBuild, NullArgumentsAndEmptySnapshots) {
  SnapshotFixture f;
  RouteRecord* table = nullptr;
  uint64_t count = 0;
  EXPECT_EQ(route_table_build(&f.snapshot, nullptr, &count), Status::invalid_arg);
  EXPECT_EQ(route_table_build(&f.snapshot, &table, nullptr), Status::invalid_arg);
  EXPECT_EQ(route_table_build(nullptr, &table, &count), Status::invalid_arg);

  // No routes is a valid, empty table, even with a NULL array.
  const RouteSnapshotDesc empty{5, nullptr, 0};
  count = 7;
  EXPECT_EQ(route_table_build(&empty, &table, &count), Status::ok);
  EXPECT_EQ(table, nullptr);
  EXPECT_EQ(count, 0u);
}

TEST(RouteTableBuild, DeepCopiesAndStoresWeightZeroAsOne) {
  char target[] = "orders";
  char hint[] = "tenant";
  char empty_hint[] = "";
  char host[] = "10.0.0.9";
  EndpointDesc endpoints[2] = {{host, 7100, 0, kEndpointFlagLocal}, {"10.0.0.8", 7101, 5, kEndpointFlagUnavailable}};
  RouteDesc routes[3] = {{target, VORLET_V2_ROUTE_STRATEGY_RENDEZVOUS_HASH, hint, 1, endpoints, 2},
                         {"with-empty-hint", 2, empty_hint, 0, endpoints, 1},
                         {"without-hint", 0, nullptr, 0, endpoints + 1, 1}};
  const RouteSnapshotDesc snapshot{9, routes, 3};
  RouteRecord* table = nullptr;
  uint64_t count = 0;
  ASSERT_EQ(route_table_build(&snapshot, &table, &count), Status::ok);
  ASSERT_EQ(count, 3u);

  // The caller's texts may change or go away after the build.
  target[0] = hint[0] = host[0] = 'X';
  const RouteRecord& r = table[0];
  EXPECT_STREQ(r.target, "orders");
  EXPECT_NE(r.target, target);
  EXPECT_EQ(r.strategy, 3u);
  EXPECT_STREQ(r.route_key_hint, "tenant");
  EXPECT_EQ(r.flags, 1u);
  EXPECT_EQ(r.rr_counter, 0u);
  ASSERT_EQ(r.endpoint_count, 2u);
  EXPECT_NE(r.endpoints, endpoints);
  EXPECT_STREQ(r.endpoints[0].host, "10.0.0.9");
  EXPECT_EQ(r.endpoints[0].port, 7100);
  EXPECT_EQ(r.endpoints[0].weight, 1u);
  EXPECT_EQ(r.endpoints[0].flags, kEndpointFlagLocal);
  EXPECT_EQ(r.endpoints[1].weight, 5u);
  EXPECT_EQ(r.endpoints[1].flags, kEndpointFlagUnavailable);
  // A host-given empty hint stays an (owned) empty text; NULL stays NULL.
  ASSERT_NE(table[1].route_key_hint, nullptr);
  EXPECT_STREQ(table[1].route_key_hint, "");
  EXPECT_NE(table[1].route_key_hint, empty_hint);
  EXPECT_EQ(table[2].route_key_hint, nullptr);
  EXPECT_NE(table[1].endpoints[0].host, table[0].endpoints[0].host);  // shared endpoints are copied apart
  route_table_free(table, count);
  route_table_free(nullptr, 3);
}

struct LocalEndpoint {
  const char* host;
  uint16_t port;
  uint32_t flags;
  int route;  // 0 or 1
};

struct ListenerCase {
  const char* what;
  std::vector<LocalEndpoint> endpoints;
  const char* host;  // expected; NULL for none
  uint16_t port;
};

TEST(RouteTableLocalListener, DerivesHostAndPortFromLocalEndpoints) {
  constexpr uint32_t L = kEndpointFlagLocal;
  constexpr uint32_t U = kEndpointFlagUnavailable;
  const ListenerCase cases[] = {
      {"no local endpoint", {{"10.0.0.1", 7000, 0, 0}, {"10.0.0.2", 7000, U, 1}}, nullptr, 0},
      {"one local endpoint", {{"10.0.0.5", 7000, 0, 0}, {"10.0.0.1", 7000, L, 1}}, "10.0.0.1", 7000},
      {"an unavailable local endpoint", {{"10.0.0.1", 7000, L | U, 0}}, "10.0.0.1", 7000},
      {"same host and port in two routes", {{"10.0.0.1", 7000, L, 0}, {"10.0.0.1", 7000, L, 1}}, "10.0.0.1", 7000},
      {"two hosts on one port", {{"10.0.0.1", 7000, L, 0}, {"10.0.0.2", 7000, L, 1}}, nullptr, 7000},
      {"hosts differing in case", {{"node", 7000, L, 0}, {"NODE", 7000, L, 0}}, nullptr, 7000},
      {"two ports on one host", {{"10.0.0.1", 7000, L, 0}, {"10.0.0.1", 7001, L, 0}}, nullptr, 0},
      {"other hosts, then another port",
       {{"10.0.0.1", 7000, L, 0}, {"10.0.0.2", 7000, L, 0}, {"10.0.0.1", 7001, L, 1}},
       nullptr,
       0},
      {"non-local endpoints do not count", {{"10.0.0.1", 7000, L, 0}, {"10.0.0.2", 7001, 0, 1}}, "10.0.0.1", 7000},
  };
  for (const ListenerCase& c : cases) {
    std::vector<EndpointDesc> per_route[2];
    for (const LocalEndpoint& e : c.endpoints) per_route[e.route].push_back({e.host, e.port, 1, e.flags});
    std::vector<RouteDesc> routes;
    const char* targets[2] = {"r0", "r1"};
    for (int i = 0; i < 2; ++i) {
      if (!per_route[i].empty())
        routes.push_back({targets[i], 0, nullptr, 0, per_route[i].data(), per_route[i].size()});
    }
    const RouteSnapshotDesc snapshot{1, routes.data(), routes.size()};
    RouteRecord* table = nullptr;
    uint64_t count = 0;
    ASSERT_EQ(route_table_build(&snapshot, &table, &count), Status::ok) << c.what;

    char* host = reinterpret_cast<char*>(0x1);
    uint16_t port = 1;
    EXPECT_EQ(route_table_local_listener(table, count, &host, &port), Status::ok) << c.what;
    if (c.host == nullptr) {
      EXPECT_EQ(host, nullptr) << c.what;
    } else {
      ASSERT_NE(host, nullptr) << c.what;
      EXPECT_STREQ(host, c.host) << c.what;
    }
    EXPECT_EQ(port, c.port) << c.what;
    rt_free(host);
    route_table_free(table, count);
  }

  char* host = reinterpret_cast<char*>(0x1);
  uint16_t port = 1;
  EXPECT_EQ(route_table_local_listener(nullptr, 0, &host, &port), Status::ok);
  EXPECT_EQ(host, nullptr);
  EXPECT_EQ(port, 0);
  EXPECT_EQ(route_table_local_listener(nullptr, 0, nullptr, &port), Status::invalid_arg);
  EXPECT_EQ(route_table_local_listener(nullptr, 0, &host, nullptr), Status::invalid_arg);
}

// A built table from a list of (target, endpoint flags...) routes.
class BuiltTable {
 public:
  BuiltTable(std::vector<std::string> targets, std::vector<std::vector<uint32_t>> flags) {
    for (size_t i = 0; i < targets.size(); ++i) {
      std::vector<EndpointDesc> eps;
      for (size_t k = 0; k < flags[i].size(); ++k)
        eps.push_back({"10.0.0.1", static_cast<uint16_t>(7000 + k), 1, flags[i][k]});
      endpoints_.push_back(eps);
    }
    for (size_t i = 0; i < targets.size(); ++i) {
      routes_.push_back({nullptr, 0, nullptr, 0, endpoints_[i].data(), endpoints_[i].size()});
    }
    targets_ = std::move(targets);
    for (size_t i = 0; i < targets_.size(); ++i) routes_[i].target = targets_[i].c_str();
    const RouteSnapshotDesc snapshot{1, routes_.data(), routes_.size()};
    EXPECT_EQ(route_table_build(&snapshot, &table_, &count_), Status::ok);
  }
  ~BuiltTable() { route_table_free(table_, count_); }
  RouteRecord* table() const { return table_; }
  uint64_t count() const { return count_; }

 private:
  std::vector<std::string> targets_;
  std::vector<std::vector<EndpointDesc>> endpoints_;
  std::vector<RouteDesc> routes_;
  RouteRecord* table_ = nullptr;
  uint64_t count_ = 0;
};

TEST(RouteTableFind, MatchesTheTargetExactly) {
  const BuiltTable t({"orders", "Orders", "orders.eu"}, {{0}, {0}, {0}});
  EXPECT_EQ(route_table_find(t.table(), t.count(), "orders"), &t.table()[0]);
  EXPECT_EQ(route_table_find(t.table(), t.count(), "Orders"), &t.table()[1]);
  EXPECT_EQ(route_table_find(t.table(), t.count(), "orders.eu"), &t.table()[2]);
  EXPECT_EQ(route_table_find(t.table(), t.count(), "ORDERS"), nullptr);
  EXPECT_EQ(route_table_find(t.table(), t.count(), "order"), nullptr);
  EXPECT_EQ(route_table_find(t.table(), t.count(), "orders "), nullptr);
  EXPECT_EQ(route_table_find(t.table(), t.count(), ""), nullptr);
  EXPECT_EQ(route_table_find(t.table(), t.count(), nullptr), nullptr);
  EXPECT_EQ(route_table_find(t.table(), 0, "orders"), nullptr);
  EXPECT_EQ(route_table_find(nullptr, 3, "orders"), nullptr);
}

TEST(RouteTableDrained, CountsRoutesWithoutAnAvailableEndpoint) {
  constexpr uint32_t U = kEndpointFlagUnavailable;
  constexpr uint32_t L = kEndpointFlagLocal;
  const BuiltTable t({"all-drained", "one-available", "local-drained", "fine"}, {{U, U}, {U, 0, U}, {L | U}, {L}});
  EXPECT_EQ(route_has_available_endpoint(&t.table()[0]), 0);
  EXPECT_EQ(route_has_available_endpoint(&t.table()[1]), 1);
  EXPECT_EQ(route_has_available_endpoint(&t.table()[2]), 0);
  EXPECT_EQ(route_has_available_endpoint(&t.table()[3]), 1);
  EXPECT_EQ(route_has_available_endpoint(nullptr), 0);
  const RouteRecord no_endpoints{};
  EXPECT_EQ(route_has_available_endpoint(&no_endpoints), 0);

  EXPECT_EQ(route_table_count_drained(t.table(), t.count()), 2u);
  EXPECT_EQ(route_table_has_drained(t.table(), t.count()), 1);
  EXPECT_EQ(route_table_count_drained(t.table() + 3, 1), 0u);
  EXPECT_EQ(route_table_has_drained(t.table() + 3, 1), 0);
  EXPECT_EQ(route_table_count_drained(nullptr, 4), 0u);
  EXPECT_EQ(route_table_count_drained(t.table(), 0), 0u);
  // A route without endpoints is not drained.
  EXPECT_EQ(route_table_count_drained(&no_endpoints, 1), 0u);
}

TEST(RuntimeActiveSnapshot, StartsEmptyAndIsFreedByDestroy) {
  vorlet_v2_RuntimeOptions options{nullptr, nullptr, 0, 0};
  Runtime* rt = runtime_create(&options);
  ASSERT_NE(rt, nullptr);
  EXPECT_EQ((rt->routes.present() ? 1u : 0u), 0u);
  EXPECT_EQ(rt->routes.generation(), 0u);
  EXPECT_EQ(test::active_table(rt).routes, nullptr);
  EXPECT_EQ(test::active_table(rt).route_count, 0u);
  EXPECT_EQ(test::active_table(rt).listen_host, nullptr);
  EXPECT_EQ(test::active_table(rt).listen_port, 0);

  // The leak check of the sanitizer build sees whether destroy releases
  // the table and the host.
  SnapshotFixture f;
  ASSERT_EQ(control_apply_snapshot(rt, &f.snapshot, nullptr), Status::ok);
  EXPECT_STREQ(test::active_table(rt).listen_host, "10.0.0.2");
  EXPECT_EQ(test::active_table(rt).listen_port, 7001);
  runtime_destroy(rt);
}

}  // namespace
}  // namespace vorlet::v2
