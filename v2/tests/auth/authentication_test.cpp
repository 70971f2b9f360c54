// Loading credentials, the summary, authenticate, login and clear.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "auth/auth_records.h"
#include "support/runtime_probe.h"
#include "support/test_runtime.h"

namespace vorlet::v2 {
namespace {

using test::recorded_events;
using test::TestRuntime;

constexpr unsigned char kSentinel = 0xA5;

// One viewer, two operators, no admin.
const AuthCredential kTeam[] = {
    {32, "vera", "v-secret", 1, 0},
    {32, "otto", "o-secret", 2, 0},
    {32, "olga", "o-secret", 2, 0},
};
const AuthConfig kTeamConfig{24, kTeam, 3};

struct AuthTest : ::testing::Test {
  void SetUp() override { ASSERT_EQ(vorlet_v2_runtime_apply_auth_config(r.handle(), &kTeamConfig), 0); }
  TestRuntime r;
};

TEST_F(AuthTest, ApplyRecordsTheCountAndTheSummaryCountsRoles) {
  const std::vector<MonitorEvent> events = recorded_events(r.rt);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].kind, 12u);
  EXPECT_EQ(events[0].detail, 0u);
  EXPECT_EQ(events[0].value1, 0u);
  EXPECT_EQ(events[0].value2, 3u);

  AuthConfigSummary s{};
  ASSERT_EQ(vorlet_v2_runtime_get_auth_config_summary(r.handle(), &s), 0);
  EXPECT_EQ(s.struct_size, 48u);
  EXPECT_EQ(s.configured, 1u);
  EXPECT_EQ(s.entries, 3u);
  EXPECT_EQ(s.viewers, 1u);
  EXPECT_EQ(s.operators, 2u);
  EXPECT_EQ(s.admins, 0u);

  // A 24-byte summary receives configured and entries only.
  unsigned char raw[64];
  std::memset(raw, kSentinel, sizeof raw);
  const uint64_t declared = 24;
  std::memcpy(raw, &declared, 8);
  ASSERT_EQ(vorlet_v2_runtime_get_auth_config_summary(r.handle(), reinterpret_cast<AuthConfigSummary*>(raw)), 0);
  uint64_t size = 0;
  uint32_t configured = 0;
  uint64_t entries = 0;
  std::memcpy(&size, raw, 8);
  std::memcpy(&configured, raw + 8, 4);
  std::memcpy(&entries, raw + 16, 8);
  EXPECT_EQ(size, 48u);
  EXPECT_EQ(configured, 1u);
  EXPECT_EQ(entries, 3u);
  for (size_t i = 12; i < 16; ++i) EXPECT_EQ(raw[i], kSentinel) << i;  // not written
  for (size_t i = 24; i < sizeof raw; ++i) EXPECT_EQ(raw[i], kSentinel) << i;

  EXPECT_EQ(vorlet_v2_runtime_get_auth_config_summary(nullptr, &s), -1);
  EXPECT_EQ(vorlet_v2_runtime_get_auth_config_summary(r.handle(), nullptr), -1);
}

TEST_F(AuthTest, AnEmptyConfigEmptiesTheTable) {
  const AuthConfig empty{0, nullptr, 0};
  ASSERT_EQ(vorlet_v2_runtime_apply_auth_config(r.handle(), &empty), 0);
  EXPECT_EQ(recorded_events(r.rt).back().value2, 0u);
  AuthConfigSummary s{};
  ASSERT_EQ(vorlet_v2_runtime_get_auth_config_summary(r.handle(), &s), 0);
  EXPECT_EQ(s.configured, 0u);
  EXPECT_EQ(s.entries, 0u);
  AuthResult result{};
  ASSERT_EQ(vorlet_v2_runtime_authenticate(r.handle(), "vera", "v-secret", &result), 0);
  EXPECT_EQ(result.result_code, 1u);
}

TEST_F(AuthTest, ARefusedApplyKeepsTheTable) {
  const AuthCredential dup[] = {{0, "a", "x", 1, 0}, {0, "a", "y", 2, 0}};
  const AuthConfig bad{0, dup, 2};
  EXPECT_EQ(vorlet_v2_runtime_apply_auth_config(r.handle(), &bad), -1);
  EXPECT_EQ(vorlet_v2_runtime_apply_auth_config(r.handle(), nullptr), -1);
  EXPECT_EQ(vorlet_v2_runtime_apply_auth_config(nullptr, &kTeamConfig), -1);

  test::set_state(r.rt, RuntimeState::stopped);
  const AuthConfig empty{0, nullptr, 0};
  EXPECT_EQ(vorlet_v2_runtime_apply_auth_config(r.handle(), &empty), -3);
  EXPECT_EQ(recorded_events(r.rt).size(), 1u);  // only the first apply
  AuthConfigSummary s{};
  ASSERT_EQ(vorlet_v2_runtime_get_auth_config_summary(r.handle(), &s), 0);  // allowed when stopped
  EXPECT_EQ(s.entries, 3u);
}

TEST_F(AuthTest, AuthenticateReportsAndRecordsTheOutcome) {
  struct Case {
    const char* principal;
    const char* secret;
    uint32_t code;
    uint32_t role;
    uint32_t event_kind;
    uint64_t event_value1;
  };
  const Case cases[] = {
      {"vera", "v-secret", 0, 1, 13, 1},
      {"olga", "o-secret", 0, 2, 13, 2},
      {"vera", "o-secret", 1, 0, 14, 1},  // known principal, wrong secret
      {"VERA", "v-secret", 1, 0, 14, 1},
      {"nobody", "v-secret", 1, 0, 14, 1},
  };
  for (const Case& c : cases) {
    AuthResult result{16, 77, 77};
    ASSERT_EQ(vorlet_v2_runtime_authenticate(r.handle(), c.principal, c.secret, &result), 0);
    EXPECT_EQ(result.struct_size, 16u);
    EXPECT_EQ(result.result_code, c.code) << c.principal;
    EXPECT_EQ(result.role, c.role) << c.principal;
    const MonitorEvent ev = recorded_events(r.rt).back();
    EXPECT_EQ(ev.kind, c.event_kind) << c.principal;
    EXPECT_EQ(ev.value1, c.event_value1);
    EXPECT_EQ(ev.value2, 0u);
    EXPECT_EQ(ev.detail, 0u);
  }

  AuthResult result{};
  EXPECT_EQ(vorlet_v2_runtime_authenticate(nullptr, "vera", "v-secret", &result), -1);
  EXPECT_EQ(vorlet_v2_runtime_authenticate(r.handle(), nullptr, "v-secret", &result), -1);
  EXPECT_EQ(vorlet_v2_runtime_authenticate(r.handle(), "vera", nullptr, &result), -1);
  EXPECT_EQ(vorlet_v2_runtime_authenticate(r.handle(), "vera", "v-secret", nullptr), -1);
}

TEST_F(AuthTest, AResultIsWrittenOnlyAsFarAsItsDeclaredSize) {
  struct Case {
    uint64_t declared;
    bool code_written;
    bool role_written;
  };
  const Case cases[] = {{0, true, true}, {100, true, true}, {16, true, true},
                        {12, true, false}, {11, false, false}, {8, false, false}};
  for (const Case& c : cases) {
    unsigned char raw[24];
    std::memset(raw, kSentinel, sizeof raw);
    std::memcpy(raw, &c.declared, 8);
    ASSERT_EQ(vorlet_v2_runtime_authenticate(r.handle(), "otto", "o-secret", reinterpret_cast<AuthResult*>(raw)), 0);
    uint64_t size = 0;
    uint32_t code = 0;
    uint32_t role = 0;
    std::memcpy(&size, raw, 8);
    std::memcpy(&code, raw + 8, 4);
    std::memcpy(&role, raw + 12, 4);
    EXPECT_EQ(size, 16u) << c.declared;
    EXPECT_EQ(code, c.code_written ? 0u : 0xA5A5A5A5u) << c.declared;
    EXPECT_EQ(role, c.role_written ? 2u : 0xA5A5A5A5u) << c.declared;
    for (size_t i = 16; i < sizeof raw; ++i) EXPECT_EQ(raw[i], kSentinel);
  }
}

TEST_F(AuthTest, LoginWritesAContextFromTheAuthentication) {
  AuthContext ctx{0, 5, 5};
  AuthResult result{0, 5, 5};
  ASSERT_EQ(vorlet_v2_runtime_login(r.handle(), "otto", "o-secret", &ctx, &result), 0);
  EXPECT_EQ(ctx.struct_size, 16u);
  EXPECT_EQ(ctx.authenticated, 1u);
  EXPECT_EQ(ctx.role, 2u);
  EXPECT_EQ(result.result_code, 0u);
  EXPECT_EQ(result.role, 2u);

  ASSERT_EQ(vorlet_v2_runtime_login(r.handle(), "otto", "wrong", &ctx, &result), 0);
  EXPECT_EQ(ctx.authenticated, 0u);
  EXPECT_EQ(ctx.role, 0u);
  EXPECT_EQ(result.result_code, 1u);
  EXPECT_EQ(result.role, 0u);
  EXPECT_EQ(recorded_events(r.rt).back().kind, 14u);

  EXPECT_EQ(vorlet_v2_runtime_login(r.handle(), "otto", "o-secret", nullptr, &result), -1);
  EXPECT_EQ(vorlet_v2_runtime_login(r.handle(), "otto", "o-secret", &ctx, nullptr), -1);
  EXPECT_EQ(vorlet_v2_runtime_login(nullptr, "otto", "o-secret", &ctx, &result), -1);
}

TEST_F(AuthTest, AStoppedRuntimeAnswersBadStateWithoutAnEvent) {
  test::set_state(r.rt, RuntimeState::stopped);
  const uint64_t events = test::event_count(r.rt);
  AuthResult result{};
  ASSERT_EQ(vorlet_v2_runtime_authenticate(r.handle(), "vera", "v-secret", &result), 0);
  EXPECT_EQ(result.result_code, 4u);
  EXPECT_EQ(result.role, 0u);

  AuthContext ctx{16, 1, 3};
  ASSERT_EQ(vorlet_v2_runtime_login(r.handle(), "vera", "v-secret", &ctx, &result), 0);
  EXPECT_EQ(ctx.authenticated, 0u);
  EXPECT_EQ(ctx.role, 0u);
  EXPECT_EQ(result.result_code, 4u);
  EXPECT_EQ(result.role, 0u);
  EXPECT_EQ(test::event_count(r.rt), events);
}

// A context too short to hold both fields would keep a stale
// authenticated and role that a gate would trust: login and clear refuse
// it and write nothing, and login does not even authenticate.
TEST_F(AuthTest, LoginAndClearRefuseAShortContextAndLeaveItAlone) {
  for (uint64_t declared : {1u, 8u, 12u, 15u}) {
    const AuthContext before{declared, 1, 3};
    AuthContext ctx = before;
    AuthResult result{16, 9, 9};
    const uint64_t events = test::event_count(r.rt);
    EXPECT_EQ(vorlet_v2_runtime_login(r.handle(), "vera", "wrong", &ctx, &result), -1) << declared;
    EXPECT_EQ(std::memcmp(&ctx, &before, sizeof ctx), 0) << declared;
    EXPECT_EQ(result.result_code, 9u);
    EXPECT_EQ(result.role, 9u);
    EXPECT_EQ(test::event_count(r.rt), events) << declared;

    EXPECT_EQ(vorlet_v2_runtime_clear_auth_context(&ctx), -1) << declared;
    EXPECT_EQ(std::memcmp(&ctx, &before, sizeof ctx), 0) << declared;

    // The gate refuses the same context, so it never passes as logged in.
    EXPECT_EQ(vorlet_v2_runtime_authorize_context_access(r.handle(), &ctx, 1, &result), -1);
  }
}

TEST(AuthContextClear, WritesAnUnauthenticatedContext) {
  for (uint64_t declared : {0u, 16u, 100u}) {
    AuthContext ctx{declared, 1, 3};
    ASSERT_EQ(vorlet_v2_runtime_clear_auth_context(&ctx), 0);
    EXPECT_EQ(ctx.struct_size, 16u);
    EXPECT_EQ(ctx.authenticated, 0u);
    EXPECT_EQ(ctx.role, 0u);
  }
  EXPECT_EQ(vorlet_v2_runtime_clear_auth_context(nullptr), -1);
}

}  // namespace
}  // namespace vorlet::v2
