// The auth policy, the scope table, access checks and the gate.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "auth/auth_records.h"
#include "support/runtime_probe.h"
#include "support/test_runtime.h"

namespace vorlet::v2 {
namespace {

using test::event_count;
using test::recorded_events;
using test::TestRuntime;

TEST(AuthPolicyRules, ValidPairsOnly) {
  struct Case {
    uint64_t size;
    uint32_t observe;
    uint32_t control;
    int32_t want;
  };
  const Case cases[] = {
      {16, 0, 2, 0}, {16, 3, 3, 0}, {0, 1, 3, 0},  {1000, 2, 2, 0}, {16, 0, 1, -1},
      {16, 4, 3, -1}, {16, 3, 2, -1}, {16, 0, 4, -1}, {16, 0, 0, -1}, {12, 0, 2, -1},
  };
  for (const Case& c : cases) {
    const AuthPolicy policy{c.size, c.observe, c.control};
    EXPECT_EQ(vorlet_v2_runtime_validate_auth_policy(&policy), c.want)
        << c.size << " {" << c.observe << ", " << c.control << "}";
  }
  EXPECT_EQ(vorlet_v2_runtime_validate_auth_policy(nullptr), -1);
}

TEST(AuthPolicy, DefaultsApplyAndReadBack) {
  TestRuntime r;
  AuthPolicy out{};
  ASSERT_EQ(vorlet_v2_runtime_get_auth_policy(r.handle(), &out), 0);
  EXPECT_EQ(out.struct_size, 16u);
  EXPECT_EQ(out.observe_min_role, 0u);
  EXPECT_EQ(out.control_min_role, 2u);

  const AuthPolicy policy{0, 1, 3};
  ASSERT_EQ(vorlet_v2_runtime_apply_auth_policy(r.handle(), &policy), 0);
  const MonitorEvent ev = recorded_events(r.rt).back();
  EXPECT_EQ(ev.kind, 17u);
  EXPECT_EQ(ev.value1, 1u);
  EXPECT_EQ(ev.value2, 3u);
  out = AuthPolicy{12, 9, 9};  // room for the observe minimum only
  ASSERT_EQ(vorlet_v2_runtime_get_auth_policy(r.handle(), &out), 0);
  EXPECT_EQ(out.struct_size, 16u);
  EXPECT_EQ(out.observe_min_role, 1u);
  EXPECT_EQ(out.control_min_role, 9u);

  const AuthPolicy bad{16, 3, 2};
  const uint64_t events = event_count(r.rt);
  EXPECT_EQ(vorlet_v2_runtime_apply_auth_policy(r.handle(), &bad), -1);
  EXPECT_EQ(vorlet_v2_runtime_apply_auth_policy(r.handle(), nullptr), -1);
  EXPECT_EQ(vorlet_v2_runtime_apply_auth_policy(nullptr, &policy), -1);
  test::set_state(r.rt, RuntimeState::stopped);
  const AuthPolicy other{16, 0, 2};
  EXPECT_EQ(vorlet_v2_runtime_apply_auth_policy(r.handle(), &other), -3);
  EXPECT_EQ(event_count(r.rt), events);
  out = AuthPolicy{};
  ASSERT_EQ(vorlet_v2_runtime_get_auth_policy(r.handle(), &out), 0);  // allowed when stopped
  EXPECT_EQ(out.observe_min_role, 1u);
  EXPECT_EQ(out.control_min_role, 3u);
  EXPECT_EQ(vorlet_v2_runtime_get_auth_policy(r.handle(), nullptr), -1);
}

TEST(AuthScopes, TheRoleByScopeTable) {
  // want[role][scope - 1]: 0 ok, 2 forbidden.
  const uint32_t want[4][3] = {{2, 2, 2}, {0, 2, 2}, {0, 0, 2}, {0, 0, 0}};
  for (uint32_t role = 0; role < 4; ++role) {
    for (uint32_t scope = 1; scope <= 3; ++scope) {
      AuthResult out{};
      ASSERT_EQ(vorlet_v2_runtime_authorize_scope(role, scope, &out), 0);
      EXPECT_EQ(out.result_code, want[role][scope - 1]) << role << " x " << scope;
      EXPECT_EQ(out.role, role);
    }
  }
  AuthResult out{};
  EXPECT_EQ(vorlet_v2_runtime_authorize_scope(3, 4, &out), -1);
  EXPECT_EQ(vorlet_v2_runtime_authorize_scope(3, 0, &out), -1);
  EXPECT_EQ(vorlet_v2_runtime_authorize_scope(4, 1, &out), -1);
  EXPECT_EQ(vorlet_v2_runtime_authorize_scope(1, 1, nullptr), -1);
}

TEST(AuthScopes, AuthorizeRecordsEachDecision) {
  TestRuntime r;
  AuthResult out{};
  ASSERT_EQ(vorlet_v2_runtime_authorize(r.handle(), 2, 3, &out), 0);
  EXPECT_EQ(out.result_code, 2u);
  EXPECT_EQ(out.role, 2u);
  MonitorEvent ev = recorded_events(r.rt).back();
  EXPECT_EQ(ev.kind, 16u);
  EXPECT_EQ(ev.value1, 2u);
  EXPECT_EQ(ev.value2, 3u);

  ASSERT_EQ(vorlet_v2_runtime_authorize(r.handle(), 1, 1, &out), 0);
  EXPECT_EQ(out.result_code, 0u);
  ev = recorded_events(r.rt).back();
  EXPECT_EQ(ev.kind, 15u);
  EXPECT_EQ(ev.value1, 1u);
  EXPECT_EQ(ev.value2, 1u);

  const uint64_t events = event_count(r.rt);
  EXPECT_EQ(vorlet_v2_runtime_authorize(r.handle(), 4, 1, &out), -1);
  EXPECT_EQ(vorlet_v2_runtime_authorize(r.handle(), 1, 0, &out), -1);
  EXPECT_EQ(vorlet_v2_runtime_authorize(nullptr, 1, 1, &out), -1);
  EXPECT_EQ(vorlet_v2_runtime_authorize(r.handle(), 1, 1, nullptr), -1);

  // Stopped: bad_state before role and scope are looked at.
  test::set_state(r.rt, RuntimeState::stopped);
  out = AuthResult{16, 7, 7};
  ASSERT_EQ(vorlet_v2_runtime_authorize(r.handle(), 9, 0, &out), 0);
  EXPECT_EQ(out.result_code, 4u);
  EXPECT_EQ(out.role, 0u);
  EXPECT_EQ(event_count(r.rt), events);
}

TEST(AuthAccess, RoleAgainstThePolicyWithoutEvents) {
  TestRuntime r;
  struct Case {
    uint32_t role;
    uint32_t access;
    uint32_t code;
  };
  // The default policy {0, 2}.
  const Case defaults[] = {{0, 1, 0}, {1, 1, 0}, {0, 2, 2}, {1, 2, 2}, {2, 2, 0}, {3, 2, 0}};
  for (const Case& c : defaults) {
    AuthResult out{};
    ASSERT_EQ(vorlet_v2_runtime_authorize_access(r.handle(), c.role, c.access, &out), 0);
    EXPECT_EQ(out.result_code, c.code) << c.role << " / " << c.access;
    EXPECT_EQ(out.role, c.role);
  }
  const AuthPolicy strict{16, 2, 3};
  ASSERT_EQ(vorlet_v2_runtime_apply_auth_policy(r.handle(), &strict), 0);
  const Case strict_cases[] = {{1, 1, 2}, {2, 1, 0}, {2, 2, 2}, {3, 2, 0}};
  for (const Case& c : strict_cases) {
    AuthResult out{};
    ASSERT_EQ(vorlet_v2_runtime_authorize_access(r.handle(), c.role, c.access, &out), 0);
    EXPECT_EQ(out.result_code, c.code) << c.role << " / " << c.access;
  }
  EXPECT_EQ(event_count(r.rt), 1u);  // only the policy

  AuthResult out{};
  EXPECT_EQ(vorlet_v2_runtime_authorize_access(r.handle(), 4, 1, &out), -1);
  EXPECT_EQ(vorlet_v2_runtime_authorize_access(r.handle(), 1, 0, &out), -1);
  EXPECT_EQ(vorlet_v2_runtime_authorize_access(r.handle(), 1, 3, &out), -1);
  EXPECT_EQ(vorlet_v2_runtime_authorize_access(nullptr, 1, 1, &out), -1);
  test::set_state(r.rt, RuntimeState::stopped);
  ASSERT_EQ(vorlet_v2_runtime_authorize_access(r.handle(), 3, 1, &out), 0);
  EXPECT_EQ(out.result_code, 4u);
  EXPECT_EQ(out.role, 0u);
}

TEST(AuthGate, ChecksTheContextInOrder) {
  TestRuntime r;
  struct Case {
    const char* name;
    AuthContext ctx;
    uint32_t access;
    int32_t status;
    uint32_t code;
    uint32_t role;
    uint32_t event_kind;  // 0: none
  };
  const Case cases[] = {
      {"size 0 reads as 16", {0, 1, 2}, 1, 0, 0, 2, 15},
      {"no upper limit", {4096, 1, 1}, 2, 0, 2, 1, 16},
      {"size 8", {8, 1, 2}, 1, -1, 0, 0, 0},
      {"size 15", {15, 1, 2}, 1, -1, 0, 0, 0},
      {"authenticated 2", {16, 2, 2}, 1, -1, 0, 0, 0},
      {"authenticated without a role", {16, 1, 0}, 1, -1, 0, 0, 0},
      {"role 4", {16, 1, 4}, 1, -1, 0, 0, 0},
      {"not authenticated", {16, 0, 3}, 1, 0, 1, 0, 0},
      {"access 0", {16, 1, 3}, 0, -1, 0, 0, 0},
      {"access 3", {16, 0, 0}, 3, -1, 0, 0, 0},
  };
  for (const Case& c : cases) {
    const uint64_t events = event_count(r.rt);
    AuthResult out{16, 77, 77};
    EXPECT_EQ(vorlet_v2_runtime_authorize_context_access(r.handle(), &c.ctx, c.access, &out), c.status) << c.name;
    if (c.status == 0) {
      EXPECT_EQ(out.result_code, c.code) << c.name;
      EXPECT_EQ(out.role, c.role) << c.name;
    } else {
      EXPECT_EQ(out.result_code, 77u) << c.name;  // nothing written
    }
    if (c.event_kind == 0) {
      EXPECT_EQ(event_count(r.rt), events) << c.name;
    } else {
      ASSERT_EQ(event_count(r.rt), events + 1) << c.name;
      const MonitorEvent ev = recorded_events(r.rt).back();
      EXPECT_EQ(ev.kind, c.event_kind) << c.name;
      EXPECT_EQ(ev.value1, c.ctx.role) << c.name;
      EXPECT_EQ(ev.value2, c.access) << c.name;
    }
  }
  const AuthContext ctx{16, 1, 1};
  AuthResult out{};
  EXPECT_EQ(vorlet_v2_runtime_authorize_context_access(nullptr, &ctx, 1, &out), -1);
  EXPECT_EQ(vorlet_v2_runtime_authorize_context_access(r.handle(), nullptr, 1, &out), -1);
  EXPECT_EQ(vorlet_v2_runtime_authorize_context_access(r.handle(), &ctx, 1, nullptr), -1);
}

TEST(AuthGate, FollowsTheAppliedPolicyAndTrustsTheContextsRole) {
  TestRuntime r;
  const AuthPolicy policy{16, 1, 3};
  ASSERT_EQ(vorlet_v2_runtime_apply_auth_policy(r.handle(), &policy), 0);
  struct Case {
    uint32_t role;
    uint32_t access;
    uint32_t code;
    uint32_t event_kind;
  };
  const Case cases[] = {{1, 1, 0, 15}, {1, 2, 2, 16}, {2, 2, 2, 16}, {3, 2, 0, 15}};
  for (const Case& c : cases) {
    const AuthContext ctx{16, 1, c.role};  // no credential table at all
    AuthResult out{};
    ASSERT_EQ(vorlet_v2_runtime_authorize_context_access(r.handle(), &ctx, c.access, &out), 0);
    EXPECT_EQ(out.result_code, c.code);
    EXPECT_EQ(out.role, c.role);
    const MonitorEvent ev = recorded_events(r.rt).back();
    EXPECT_EQ(ev.kind, c.event_kind);
    EXPECT_EQ(ev.value1, c.role);
    EXPECT_EQ(ev.value2, c.access);
  }

  test::set_state(r.rt, RuntimeState::stopped);
  const uint64_t events = event_count(r.rt);
  const AuthContext admin{16, 1, 3};
  AuthResult out{};
  ASSERT_EQ(vorlet_v2_runtime_authorize_context_access(r.handle(), &admin, 1, &out), 0);
  EXPECT_EQ(out.result_code, 4u);
  EXPECT_EQ(out.role, 0u);
  EXPECT_EQ(event_count(r.rt), events);
}

// The gated readers of the security section: allowed, denied (the output
// holds only its size and zeros), malformed (nothing written) and stopped.
TEST(AuthGatedReads, SummaryAndPolicy) {
  TestRuntime r;
  const AuthCredential creds[] = {{0, "ada", "pw", 3, 0}};
  const AuthConfig config{0, creds, 1};
  ASSERT_EQ(vorlet_v2_runtime_apply_auth_config(r.handle(), &config), 0);
  const AuthContext admin{16, 1, 3};
  const AuthContext anonymous{16, 0, 0};
  const AuthContext malformed{16, 2, 3};

  AuthConfigSummary summary{};
  AuthResult result{};
  ASSERT_EQ(vorlet_v2_runtime_get_auth_config_summary_with_auth_context(r.handle(), &admin, &summary, &result), 0);
  EXPECT_EQ(result.result_code, 0u);
  EXPECT_EQ(result.role, 3u);
  EXPECT_EQ(summary.entries, 1u);
  EXPECT_EQ(summary.admins, 1u);
  EXPECT_EQ(recorded_events(r.rt).back().kind, 15u);

  std::memset(&summary, 0xA5, sizeof summary);
  summary.struct_size = 0;
  const uint64_t events = event_count(r.rt);
  ASSERT_EQ(vorlet_v2_runtime_get_auth_config_summary_with_auth_context(r.handle(), &anonymous, &summary, &result), 0);
  EXPECT_EQ(result.result_code, 1u);
  EXPECT_EQ(result.role, 0u);
  EXPECT_EQ(summary.struct_size, 48u);
  EXPECT_EQ(summary.configured, 0u);
  EXPECT_EQ(summary.entries, 0u);
  EXPECT_EQ(summary.viewers, 0u);
  EXPECT_EQ(summary.operators, 0u);
  EXPECT_EQ(summary.admins, 0u);
  EXPECT_EQ(event_count(r.rt), events);

  AuthPolicy policy{16, 9, 9};
  result = AuthResult{16, 9, 9};
  EXPECT_EQ(vorlet_v2_runtime_get_auth_policy_with_auth_context(r.handle(), &malformed, &policy, &result), -1);
  EXPECT_EQ(policy.observe_min_role, 9u);
  EXPECT_EQ(result.result_code, 9u);
  EXPECT_EQ(vorlet_v2_runtime_get_auth_policy_with_auth_context(r.handle(), &admin, nullptr, &result), -1);
  EXPECT_EQ(vorlet_v2_runtime_get_auth_policy_with_auth_context(r.handle(), &admin, &policy, nullptr), -1);
  EXPECT_EQ(vorlet_v2_runtime_get_auth_config_summary_with_auth_context(r.handle(), nullptr, &summary, &result), -1);

  ASSERT_EQ(vorlet_v2_runtime_get_auth_policy_with_auth_context(r.handle(), &admin, &policy, &result), 0);
  EXPECT_EQ(policy.observe_min_role, 0u);
  EXPECT_EQ(policy.control_min_role, 2u);

  // A policy that shuts viewers out of observe: a forbidden read.
  const AuthPolicy strict{16, 2, 2};
  ASSERT_EQ(vorlet_v2_runtime_apply_auth_policy(r.handle(), &strict), 0);
  const AuthContext viewer{16, 1, 1};
  policy = AuthPolicy{16, 9, 9};
  ASSERT_EQ(vorlet_v2_runtime_get_auth_policy_with_auth_context(r.handle(), &viewer, &policy, &result), 0);
  EXPECT_EQ(result.result_code, 2u);
  EXPECT_EQ(result.role, 1u);
  EXPECT_EQ(policy.struct_size, 16u);
  EXPECT_EQ(policy.observe_min_role, 0u);
  EXPECT_EQ(policy.control_min_role, 0u);
  EXPECT_EQ(recorded_events(r.rt).back().kind, 16u);

  test::set_state(r.rt, RuntimeState::stopped);
  const uint64_t before_stop_reads = event_count(r.rt);
  policy = AuthPolicy{16, 9, 9};
  ASSERT_EQ(vorlet_v2_runtime_get_auth_policy_with_auth_context(r.handle(), &admin, &policy, &result), 0);
  EXPECT_EQ(result.result_code, 4u);
  EXPECT_EQ(result.role, 0u);
  EXPECT_EQ(policy.observe_min_role, 0u);
  EXPECT_EQ(policy.control_min_role, 0u);
  ASSERT_EQ(vorlet_v2_runtime_get_auth_config_summary_with_auth_context(r.handle(), &admin, &summary, &result), 0);
  EXPECT_EQ(result.result_code, 4u);
  EXPECT_EQ(summary.entries, 0u);
  EXPECT_EQ(event_count(r.rt), before_stop_reads);
}

}  // namespace
}  // namespace vorlet::v2
