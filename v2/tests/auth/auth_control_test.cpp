// Control applies made on behalf of an auth context, and every gated call
// on a runtime that was started and stopped.
#include <gtest/gtest.h>

#include <cstring>

#include "support/test_runtime.h"
#include "support/runtime_probe.h"

namespace vorlet::v2 {
namespace {

using test::FlatSnapshot;
using test::TestRuntime;

const vorlet_v2_AuthContext kViewer{16, 1, 1};
const vorlet_v2_AuthContext kOperator{16, 1, 2};
const vorlet_v2_AuthContext kAnonymous{16, 0, 0};

struct ControlCounters {
  explicit ControlCounters(const TestRuntime& fx)
      : rejects(fx.counter(Counter::control_rejects)),
        invalid(fx.counter(Counter::control_rejects_invalid)),
        io(fx.counter(Counter::control_rejects_io)),
        stale(fx.counter(Counter::control_rejects_stale)) {}
  bool operator==(const ControlCounters&) const = default;
  uint64_t rejects, invalid, io, stale;
};

TEST(AuthControlApply, ADeniedApplyChangesNothing) {
  TestRuntime fx;
  FlatSnapshot first(5);
  first.route("svc.a", VORLET_V2_ROUTE_STRATEGY_SINGLE_OWNER, {{"10.0.0.1", 7000}});
  ASSERT_EQ(fx.apply(first), Status::ok);
  FlatSnapshot next(6);
  next.route("svc.b", VORLET_V2_ROUTE_STRATEGY_SINGLE_OWNER, {{"10.0.0.2", 7000}});
  next.route("svc.c", VORLET_V2_ROUTE_STRATEGY_SINGLE_OWNER, {{"10.0.0.3", 7000}});
  const unsigned char bytes[] = {0x0a, 0x01, 0x41};
  const ControlCounters counters(fx);
  const size_t events = fx.events().size();

  struct Case {
    const vorlet_v2_AuthContext* ctx;
    uint32_t code;
    uint32_t role;
    size_t new_events;  // authorization_denied, or nothing when not authenticated
  };
  const Case cases[] = {{&kViewer, 2, 1, 1}, {&kAnonymous, 1, 0, 0}};
  size_t seen = events;
  for (const Case& c : cases) {
    vorlet_v2_AuthResult result{16, 9, 9};
    EXPECT_EQ(vorlet_v2_runtime_apply_control_snapshot_with_auth_context(to_handle(fx.rt), c.ctx, next.desc(), &result),
              0);
    EXPECT_EQ(result.result_code, c.code);
    EXPECT_EQ(result.role, c.role);
    result = vorlet_v2_AuthResult{16, 9, 9};
    EXPECT_EQ(vorlet_v2_runtime_apply_control_envelope_with_auth_context(to_handle(fx.rt), c.ctx, bytes, sizeof bytes,
                                                                         &result),
              0);
    EXPECT_EQ(result.result_code, c.code);
    seen += 2 * c.new_events;
    ASSERT_EQ(fx.events().size(), seen);
    if (c.new_events != 0) {
      EXPECT_EQ(fx.events().back().kind, 16u);
      EXPECT_EQ(fx.events().back().value2, 2u);  // access kind control
    }
  }
  EXPECT_EQ(fx.rt->routes.generation(), 5u);
  EXPECT_EQ(test::active_table(fx.rt).route_count, 1u);
  EXPECT_TRUE(ControlCounters(fx) == counters);
  for (const MonitorEvent& ev : fx.events()) EXPECT_NE(ev.kind, 4u);  // no control_rejected
}

TEST(AuthControlApply, AnAllowedApplyReturnsThePlainCallsStatus) {
  TestRuntime fx;
  const vorlet_v2_OverloadPolicyDesc configured{32, 0, 0, 0, VORLET_V2_OVERLOAD_MODE_DROP_ONE_WAY_FIRST, 0};
  ASSERT_EQ(vorlet_v2_runtime_apply_overload_policy(to_handle(fx.rt), &configured), 0);
  FlatSnapshot snapshot(7);
  snapshot.route("svc.a", VORLET_V2_ROUTE_STRATEGY_SINGLE_OWNER, {{"10.0.0.1", 7000}});
  const vorlet_v2_OverloadPolicyDesc other{32, 0, 0, 0, VORLET_V2_OVERLOAD_MODE_DROP_EXPIRED_FIRST, 0};
  ASSERT_EQ(vorlet_v2_runtime_apply_control_snapshot_with_policy(to_handle(fx.rt), snapshot.desc(), &other), 0);
  EXPECT_EQ(fx.rt->remote_outbound_mode.load(), 1u);

  vorlet_v2_AuthResult result{};
  snapshot.generation(8);
  ASSERT_EQ(vorlet_v2_runtime_apply_control_snapshot_with_auth_context(to_handle(fx.rt), &kOperator, snapshot.desc(),
                                                                       &result),
            0);
  EXPECT_EQ(result.result_code, 0u);
  EXPECT_EQ(result.role, 2u);
  EXPECT_EQ(fx.rt->routes.generation(), 8u);
  EXPECT_EQ(fx.rt->remote_outbound_mode.load(), 2u);  // the configured policy again
  EXPECT_EQ(fx.events().back().kind, 3u);              // control_applied after the authorization
  EXPECT_EQ(fx.events()[fx.events().size() - 2].kind, 15u);

  // The plain call's refusals come back and are counted as its own.
  EXPECT_EQ(vorlet_v2_runtime_apply_control_snapshot_with_auth_context(to_handle(fx.rt), &kOperator, snapshot.desc(),
                                                                       &result),
            -4);
  EXPECT_EQ(fx.counter(Counter::control_rejects_stale), 1u);
  const unsigned char garbage[] = {0xff, 0xff, 0xff};
  EXPECT_EQ(vorlet_v2_runtime_apply_control_envelope_with_auth_context(to_handle(fx.rt), &kOperator, garbage,
                                                                       sizeof garbage, &result),
            -5);
  EXPECT_EQ(fx.counter(Counter::control_rejects_io), 1u);
}

TEST(AuthControlApply, BadArgumentsAreRefusedWithoutACount) {
  TestRuntime fx;
  FlatSnapshot snapshot(1);
  const unsigned char bytes[] = {0x0a};
  vorlet_v2_Runtime* rt = to_handle(fx.rt);
  const vorlet_v2_AuthContext malformed{16, 1, 0};
  vorlet_v2_AuthResult result{16, 9, 9};
  EXPECT_EQ(vorlet_v2_runtime_apply_control_envelope_with_auth_context(rt, &kOperator, bytes, 0, &result), -1);
  EXPECT_EQ(vorlet_v2_runtime_apply_control_envelope_with_auth_context(rt, &kOperator, nullptr, 1, &result), -1);
  EXPECT_EQ(vorlet_v2_runtime_apply_control_envelope_with_auth_context(rt, nullptr, bytes, 1, &result), -1);
  EXPECT_EQ(vorlet_v2_runtime_apply_control_envelope_with_auth_context(rt, &kOperator, bytes, 1, nullptr), -1);
  EXPECT_EQ(vorlet_v2_runtime_apply_control_envelope_with_auth_context(nullptr, &kOperator, bytes, 1, &result), -1);
  EXPECT_EQ(vorlet_v2_runtime_apply_control_envelope_with_auth_context(rt, &malformed, bytes, 1, &result), -1);
  EXPECT_EQ(vorlet_v2_runtime_apply_control_snapshot_with_auth_context(rt, &kOperator, nullptr, &result), -1);
  EXPECT_EQ(vorlet_v2_runtime_apply_control_snapshot_with_auth_context(rt, &malformed, snapshot.desc(), &result), -1);
  EXPECT_EQ(result.result_code, 9u);
  EXPECT_EQ(result.role, 9u);
  EXPECT_EQ(fx.counter(Counter::control_rejects), 0u);
  EXPECT_TRUE(fx.events().empty());
}

// After a real start and stop every gated call is denied with bad_state,
// empties its output and records nothing.
TEST(AuthStoppedRuntime, EveryGatedCallIsDeniedWithBadState) {
  TestRuntime fx;
  ASSERT_TRUE(fx.bring_up());
  ASSERT_EQ(fx.stop(), Status::ok);
  vorlet_v2_Runtime* rt = to_handle(fx.rt);
  const vorlet_v2_AuthContext admin{16, 1, 3};
  const size_t events = fx.events().size();
  const uint64_t generation = fx.rt->routes.generation();

  auto expect_bad_state = [](const vorlet_v2_AuthResult& r, const char* call) {
    EXPECT_EQ(r.result_code, 4u) << call;
    EXPECT_EQ(r.role, 0u) << call;
  };
  vorlet_v2_AuthResult result{};
  vorlet_v2_RuntimeConfig config{};
  std::memset(&config, 0x5A, sizeof config);
  config.struct_size = 0;
  ASSERT_EQ(vorlet_v2_runtime_get_config_with_auth_context(rt, &admin, &config, &result), 0);
  expect_bad_state(result, "config");
  EXPECT_EQ(config.struct_size, 128u);
  EXPECT_EQ(config.option_text_a, nullptr);
  EXPECT_EQ(config.state, 0u);
  vorlet_v2_RuntimeStats stats{};
  stats.max_frame_bytes = 9;
  ASSERT_EQ(vorlet_v2_runtime_get_stats_with_auth_context(rt, &admin, &stats, &result), 0);
  expect_bad_state(result, "stats");
  EXPECT_EQ(stats.max_frame_bytes, 0u);
  vorlet_v2_RuntimeHealth health{0, 9, 9, 9};
  ASSERT_EQ(vorlet_v2_runtime_get_health_with_auth_context(rt, &admin, &health, &result), 0);
  expect_bad_state(result, "health");
  EXPECT_EQ(health.flags, 0u);
  vorlet_v2_AuthPolicy policy{16, 9, 9};
  ASSERT_EQ(vorlet_v2_runtime_get_auth_policy_with_auth_context(rt, &admin, &policy, &result), 0);
  expect_bad_state(result, "policy");
  EXPECT_EQ(policy.control_min_role, 0u);
  vorlet_v2_AuthConfigSummary summary{};
  summary.entries = 9;
  ASSERT_EQ(vorlet_v2_runtime_get_auth_config_summary_with_auth_context(rt, &admin, &summary, &result), 0);
  expect_bad_state(result, "summary");
  EXPECT_EQ(summary.entries, 0u);

  FlatSnapshot next(generation + 1);
  next.route("svc.late", VORLET_V2_ROUTE_STRATEGY_SINGLE_OWNER, {{"10.0.0.9", 7000}});
  ASSERT_EQ(vorlet_v2_runtime_apply_control_snapshot_with_auth_context(rt, &admin, next.desc(), &result), 0);
  expect_bad_state(result, "snapshot apply");
  const unsigned char bytes[] = {0x0a};
  ASSERT_EQ(vorlet_v2_runtime_apply_control_envelope_with_auth_context(rt, &admin, bytes, 1, &result), 0);
  expect_bad_state(result, "envelope apply");

  EXPECT_EQ(fx.events().size(), events);
  EXPECT_EQ(fx.rt->routes.generation(), generation);
  EXPECT_EQ(fx.counter(Counter::control_rejects), 0u);

  // The plain reads still answer, and report the stopped runtime.
  ASSERT_EQ(vorlet_v2_runtime_get_health(rt, &health), 0);
  EXPECT_EQ(health.state, 2u);
  EXPECT_EQ(health.flags, 0x15u);
}

}  // namespace
}  // namespace vorlet::v2
