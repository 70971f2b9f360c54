// Health, configuration and statistics as a runtime goes through its life.
#include <gtest/gtest.h>

#include "support/test_runtime.h"
#include "support/runtime_probe.h"

namespace vorlet::v2 {
namespace {

using test::FlatSnapshot;
using test::TestRuntime;

uint32_t health_flags(Runtime* rt, vorlet_v2_RuntimeHealth* out = nullptr) {
  vorlet_v2_RuntimeHealth h{};
  EXPECT_EQ(vorlet_v2_runtime_get_health(to_handle(rt), &h), 0);
  if (out != nullptr) *out = h;
  return h.flags;
}

TEST(HealthLifecycle, CreatedSnapshotStartedStopped) {
  TestRuntime fx;
  EXPECT_EQ(health_flags(fx.rt), 0x11u);
  ASSERT_EQ(fx.take_handles(), Status::ok);
  EXPECT_EQ(health_flags(fx.rt), 0x11u);

  FlatSnapshot remote_only(4);
  remote_only.route("svc.remote", VORLET_V2_ROUTE_STRATEGY_SINGLE_OWNER, {{"10.0.0.5", 7000}});
  ASSERT_EQ(fx.apply(remote_only), Status::ok);
  vorlet_v2_RuntimeHealth h{};
  EXPECT_EQ(health_flags(fx.rt, &h), 0x15u);
  EXPECT_EQ(h.state, 0u);
  EXPECT_EQ(h.generation, 4u);

  ASSERT_EQ(fx.start(), Status::ok);
  EXPECT_EQ(health_flags(fx.rt, &h), 0x0Fu);
  EXPECT_EQ(h.state, 1u);

  ASSERT_EQ(fx.stop(), Status::ok);
  EXPECT_EQ(health_flags(fx.rt, &h), 0x15u);
  EXPECT_EQ(h.state, 2u);
  EXPECT_EQ(h.generation, 4u);
}

TEST(HealthLifecycle, AStartedRuntimeWithADrainedRoute) {
  TestRuntime fx;
  ASSERT_EQ(fx.take_handles(), Status::ok);
  FlatSnapshot snapshot(1);
  snapshot.route("svc.drained", VORLET_V2_ROUTE_STRATEGY_WEIGHTED_ROUND_ROBIN,
                 {{"10.0.0.1", 7000, 1, VORLET_V2_ENDPOINT_FLAG_UNAVAILABLE},
                  {"10.0.0.2", 7000, 1, VORLET_V2_ENDPOINT_FLAG_UNAVAILABLE}});
  snapshot.route("svc.half", VORLET_V2_ROUTE_STRATEGY_WEIGHTED_ROUND_ROBIN,
                 {{"10.0.0.3", 7000, 1, VORLET_V2_ENDPOINT_FLAG_UNAVAILABLE}, {"10.0.0.4", 7000}});
  snapshot.route("svc.alone", VORLET_V2_ROUTE_STRATEGY_SINGLE_OWNER,
                 {{"10.0.0.5", 7000, 1, VORLET_V2_ENDPOINT_FLAG_UNAVAILABLE}});
  ASSERT_EQ(fx.apply(snapshot), Status::ok);
  EXPECT_EQ(health_flags(fx.rt), 0x55u);
  ASSERT_EQ(fx.start(), Status::ok);
  EXPECT_EQ(health_flags(fx.rt), 0x4Fu);

  vorlet_v2_RuntimeStats s{};
  ASSERT_EQ(vorlet_v2_runtime_get_stats(to_handle(fx.rt), &s), 0);
  EXPECT_EQ(s.drained_routes, 2u);
  EXPECT_EQ(s.route_count, 3u);
  EXPECT_EQ(s.active_generation, 1u);
  EXPECT_EQ(s.state, 1u);
}

TEST(ConfigLifecycle, ReportsTheActiveTableAndBothPolicies) {
  TestRuntime fx(64);
  const vorlet_v2_OverloadPolicyDesc configured{32, 4, 0, 0, VORLET_V2_OVERLOAD_MODE_DROP_EXPIRED_FIRST, 0};
  ASSERT_EQ(vorlet_v2_runtime_apply_overload_policy(to_handle(fx.rt), &configured), 0);
  FlatSnapshot snapshot(9);
  test::add_local_route(&snapshot, 7311);
  snapshot.route("svc.remote", VORLET_V2_ROUTE_STRATEGY_SINGLE_OWNER, {{"10.0.0.5", 7000}});
  const vorlet_v2_OverloadPolicyDesc active{32, 2, 0, 0, VORLET_V2_OVERLOAD_MODE_DROP_ONE_WAY_FIRST, 0};
  ASSERT_EQ(vorlet_v2_runtime_apply_control_snapshot_with_policy(to_handle(fx.rt), snapshot.desc(), &active), 0);

  vorlet_v2_RuntimeConfig c{};
  ASSERT_EQ(vorlet_v2_runtime_get_config(to_handle(fx.rt), &c), 0);
  EXPECT_EQ(c.snapshot_present, 1u);
  EXPECT_EQ(c.active_generation, 9u);
  EXPECT_EQ(c.route_count, 2u);
  EXPECT_STREQ(c.local_listen_host, "127.0.0.1");
  EXPECT_EQ(c.local_listen_host, test::active_table(fx.rt).listen_host);  // borrowed, not copied
  EXPECT_EQ(c.local_listen_port, 7311u);
  EXPECT_EQ(c.configured_remote_outbound_mode, 1u);
  EXPECT_EQ(c.configured_reply_reserve_slots, 4u);
  EXPECT_EQ(c.remote_outbound_mode, 2u);
  EXPECT_EQ(c.reply_reserve_slots, 2u);

  vorlet_v2_RuntimeStats s{};
  ASSERT_EQ(vorlet_v2_runtime_get_stats(to_handle(fx.rt), &s), 0);
  EXPECT_EQ(s.remote_outbound_mode, 2u);
  EXPECT_EQ(s.reply_reserve_slots, 2u);
}

TEST(StatsLifecycle, StartResetsCountersButNotTheTotals) {
  TestRuntime fx;
  ASSERT_EQ(fx.take_handles(), Status::ok);
  FlatSnapshot snapshot(2);
  snapshot.route("svc.remote", VORLET_V2_ROUTE_STRATEGY_SINGLE_OWNER, {{"10.0.0.5", 7000}});
  ASSERT_EQ(fx.apply(snapshot), Status::ok);
  ASSERT_EQ(fx.apply(snapshot), Status::stale_generation);  // counted, and an event rings the doorbell

  vorlet_v2_RuntimeStats before{};
  ASSERT_EQ(vorlet_v2_runtime_get_stats(to_handle(fx.rt), &before), 0);
  EXPECT_EQ(before.control_rejects, 1u);
  EXPECT_EQ(before.control_rejects_stale, 1u);
  const uint64_t rings = before.monitor_signals_written_total + before.monitor_signals_skipped_total;
  EXPECT_GE(rings, 2u);

  ASSERT_EQ(fx.start(), Status::ok);
  vorlet_v2_RuntimeStats after{};
  ASSERT_EQ(vorlet_v2_runtime_get_stats(to_handle(fx.rt), &after), 0);
  EXPECT_EQ(after.control_rejects, 0u);
  EXPECT_EQ(after.control_rejects_stale, 0u);
  EXPECT_GE(after.monitor_signals_written_total + after.monitor_signals_skipped_total, rings);
  EXPECT_EQ(after.transport_exchanges, 0u);
}

}  // namespace
}  // namespace vorlet::v2
