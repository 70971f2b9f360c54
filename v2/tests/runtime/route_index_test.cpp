// The route table's index of targets: every route of a large table is
// found, targets that share a probe start are told apart, and a duplicate
// target is refused wherever in the snapshot it stands.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "runtime/control_apply.h"
#include "runtime/route_table.h"
#include "runtime/runtime.h"
#include "support/test_runtime.h"
#include "support/runtime_probe.h"

namespace vorlet::v2 {
namespace {

using test::FlatSnapshot;
using test::TestRuntime;

// A snapshot of one single-owner route per target, each to its own port.
class ManyRoutes {
 public:
  explicit ManyRoutes(std::vector<std::string> targets) : targets_(std::move(targets)) {
    endpoints_.reserve(targets_.size());
    for (size_t i = 0; i < targets_.size(); ++i) {
      endpoints_.push_back({"10.0.0.1", static_cast<uint16_t>(1000 + i % 60000), 1, 0});
    }
    for (size_t i = 0; i < targets_.size(); ++i) {
      routes_.push_back(
          {targets_[i].c_str(), VORLET_V2_ROUTE_STRATEGY_SINGLE_OWNER, nullptr, 0, &endpoints_[i], 1});
    }
    snapshot_ = {1, routes_.data(), routes_.size()};
  }
  ManyRoutes(const ManyRoutes&) = delete;
  ManyRoutes& operator=(const ManyRoutes&) = delete;

  const RouteSnapshotDesc* snapshot() const { return &snapshot_; }
  const std::string& target(size_t i) const { return targets_[i]; }

 private:
  std::vector<std::string> targets_;
  std::vector<EndpointDesc> endpoints_;
  std::vector<RouteDesc> routes_;
  RouteSnapshotDesc snapshot_{};
};

std::vector<std::string> numbered(const std::string& stem, size_t n) {
  std::vector<std::string> out;
  for (size_t i = 0; i < n; ++i) out.push_back(stem + std::to_string(i));
  return out;
}

// A table built from a snapshot, freed with the holder.
class Built {
 public:
  explicit Built(const RouteSnapshotDesc* snapshot) : status_(route_table_build(snapshot, &table_, &count_)) {}
  ~Built() { route_table_free(table_, count_); }
  Built(const Built&) = delete;
  Built& operator=(const Built&) = delete;

  Status status() const { return status_; }
  RouteRecord* table() const { return table_; }
  uint64_t count() const { return count_; }
  RouteRecord* find(const std::string& target) const { return route_table_find(table_, count_, target.c_str()); }

 private:
  RouteRecord* table_ = nullptr;
  uint64_t count_ = 0;
  Status status_;
};

TEST(RouteIndex, FindsEveryRouteOfALargeTableAndNothingElse) {
  const size_t n = 20000;
  const ManyRoutes routes(numbered("svc.", n));
  const Built t(routes.snapshot());
  ASSERT_EQ(t.status(), Status::ok);
  ASSERT_EQ(t.count(), n);
  for (size_t i = 0; i < n; ++i) {
    const RouteRecord* found = t.find(routes.target(i));
    ASSERT_EQ(found, &t.table()[i]) << routes.target(i);
  }
  for (const char* absent : {"svc.20000", "svc.", "svc.-1", "svc.1 ", "svc.01", "SVC.1", "vc.1"}) {
    EXPECT_EQ(t.find(absent), nullptr) << absent;
  }
  // Only the first `count` routes are looked at, as a scan of them would.
  EXPECT_EQ(route_table_find(t.table(), 100, "svc.99"), &t.table()[99]);
  EXPECT_EQ(route_table_find(t.table(), 100, "svc.100"), nullptr);
  EXPECT_EQ(route_table_find(t.table(), 0, "svc.0"), nullptr);
}

TEST(RouteIndex, TargetsThatStartTheirSearchInOneSlotAreToldApart) {
  // Targets chosen so that all of them start in the index's last slot, and
  // their searches run on past the end of the slots to the first ones.
  const uint64_t routes_in_table = 6;
  // The index's last slot: the highest start among many targets.
  uint64_t last_slot = 0;
  for (int k = 0; k < 1000; ++k) {
    last_slot = std::max(last_slot, route_index_home_slot(routes_in_table, ("c" + std::to_string(k)).c_str()));
  }
  ASSERT_GE(last_slot, 2 * routes_in_table - 1);
  std::vector<std::string> colliding;
  std::vector<std::string> spare;  // more of them, not in the table
  for (int k = 0; colliding.size() + spare.size() < routes_in_table + 3 && k < 1000000; ++k) {
    const std::string t = "c" + std::to_string(k);
    if (route_index_home_slot(routes_in_table, t.c_str()) != last_slot) continue;
    (colliding.size() < routes_in_table ? colliding : spare).push_back(t);
  }
  ASSERT_EQ(colliding.size(), routes_in_table);
  ASSERT_EQ(spare.size(), 3u);

  const ManyRoutes routes(colliding);
  const Built t(routes.snapshot());
  ASSERT_EQ(t.status(), Status::ok);
  for (size_t i = 0; i < colliding.size(); ++i) EXPECT_EQ(t.find(colliding[i]), &t.table()[i]) << colliding[i];
  for (const std::string& absent : spare) EXPECT_EQ(t.find(absent), nullptr) << absent;

  // The last of them repeating one before it is still a duplicate.
  std::vector<std::string> repeated = colliding;
  repeated.back() = colliding[2];
  const ManyRoutes dup(repeated);
  const Built refused(dup.snapshot());
  EXPECT_EQ(refused.status(), Status::invalid_arg);
  EXPECT_EQ(refused.table(), nullptr);
  EXPECT_EQ(refused.count(), 0u);
}

TEST(RouteIndex, ADuplicateTargetIsRefusedWhereverItStands) {
  const size_t n = 30000;
  struct Case {
    const char* what;
    size_t at;      // the route that repeats a target
    size_t copies;  // the route whose target it repeats
  };
  const Case cases[] = {
      {"the last repeats the first", n - 1, 0},
      {"the last repeats the one before", n - 1, n - 2},
      {"the second repeats the first", 1, 0},
      {"one in the middle repeats a later one's target", n / 2, n - 1},
  };
  for (const Case& c : cases) {
    std::vector<std::string> targets = numbered("route/", n);
    targets[c.at] = targets[c.copies];
    const ManyRoutes routes(targets);
    const Built t(routes.snapshot());
    EXPECT_EQ(t.status(), Status::invalid_arg) << c.what;
    EXPECT_EQ(t.table(), nullptr) << c.what;
    EXPECT_EQ(t.count(), 0u) << c.what;
  }
}

TEST(RouteIndex, AnEmptySnapshotHasNoTableToSearch) {
  const ManyRoutes none({});
  const Built t(none.snapshot());
  ASSERT_EQ(t.status(), Status::ok);
  EXPECT_EQ(t.table(), nullptr);
  EXPECT_EQ(t.find("anything"), nullptr);
}

TEST(RouteIndex, ARuntimeTakesAHundredThousandRoutesAndRefusesADuplicateAsBefore) {
  // Applied through the flat call: with a scan for duplicates this size
  // took seconds; the index makes it a matter of milliseconds.
  const size_t n = 100000;
  TestRuntime fx;
  ASSERT_NE(fx.rt, nullptr);
  const ManyRoutes routes(numbered("tenant-", n));
  ASSERT_EQ(control_apply_snapshot(fx.rt, routes.snapshot(), nullptr), Status::ok);
  ASSERT_EQ(test::active_table(fx.rt).route_count, n);
  for (size_t i : {size_t{0}, n / 2, n - 1}) {
    EXPECT_EQ(route_table_find(test::active_table(fx.rt).routes, test::active_table(fx.rt).route_count, routes.target(i).c_str()), &test::active_table(fx.rt).routes[i]);
  }

  // A duplicate is refused as any broken rule: invalid_arg, counted as
  // invalid, the active table left as it was.
  std::vector<std::string> targets = numbered("tenant-", n);
  targets[n - 1] = targets[0];
  ManyRoutes dup(targets);
  RouteSnapshotDesc next = *dup.snapshot();
  next.generation = 2;
  const RouteRecord* active = test::active_table(fx.rt).routes;
  EXPECT_EQ(control_apply_snapshot(fx.rt, &next, nullptr), Status::invalid_arg);
  EXPECT_EQ(fx.counter(Counter::control_rejects), 1u);
  EXPECT_EQ(fx.counter(Counter::control_rejects_invalid), 1u);
  EXPECT_EQ(test::active_table(fx.rt).routes, active);
  EXPECT_EQ(test::active_table(fx.rt).route_count, n);
  EXPECT_EQ(fx.rt->routes.generation(), 1u);
}

}  // namespace
}  // namespace vorlet::v2
