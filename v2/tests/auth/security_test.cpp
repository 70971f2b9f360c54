// Credentials, login and gated reads as a host uses them.
#include <gtest/gtest.h>

#include "vorlet_v2.h"

namespace {

struct Runtime {
  Runtime() {
    const vorlet_v2_RuntimeOptions options{"host", "security", 0, 0};
    handle = vorlet_v2_runtime_create(&options);
  }
  ~Runtime() { vorlet_v2_runtime_destroy(handle); }
  vorlet_v2_Runtime* handle;
};

TEST(HostSecurity, LoginReadThroughTheGateThenClear) {
  Runtime rt;
  ASSERT_NE(rt.handle, nullptr);
  const vorlet_v2_AuthCredential creds[] = {
      {sizeof(vorlet_v2_AuthCredential), "viewer", "look", VORLET_V2_AUTH_ROLE_VIEWER, 0},
      {sizeof(vorlet_v2_AuthCredential), "ops", "run", VORLET_V2_AUTH_ROLE_OPERATOR, 0},
  };
  const vorlet_v2_AuthConfig config{sizeof config, creds, 2};
  ASSERT_EQ(vorlet_v2_runtime_validate_auth_config(&config), VORLET_V2_OK);
  ASSERT_EQ(vorlet_v2_runtime_apply_auth_config(rt.handle, &config), VORLET_V2_OK);

  vorlet_v2_AuthContext ctx{sizeof ctx, 0, 0};
  vorlet_v2_AuthResult result{sizeof result, 0, 0};
  ASSERT_EQ(vorlet_v2_runtime_login(rt.handle, "viewer", "look", &ctx, &result), VORLET_V2_OK);
  ASSERT_EQ(result.result_code, VORLET_V2_AUTH_RESULT_OK);
  EXPECT_EQ(ctx.authenticated, 1u);
  EXPECT_EQ(ctx.role, VORLET_V2_AUTH_ROLE_VIEWER);

  vorlet_v2_RuntimeHealth health{sizeof health, 0, 0, 0};
  ASSERT_EQ(vorlet_v2_runtime_get_health_with_auth_context(rt.handle, &ctx, &health, &result), VORLET_V2_OK);
  EXPECT_EQ(result.result_code, VORLET_V2_AUTH_RESULT_OK);
  EXPECT_EQ(health.state, VORLET_V2_RUNTIME_CREATED);
  EXPECT_EQ(health.flags, VORLET_V2_HEALTH_PROCESS_ALIVE | VORLET_V2_HEALTH_TRANSPORT_PROBE_ONLY);

  // A viewer may observe but not control.
  ASSERT_EQ(vorlet_v2_runtime_authorize_context_access(rt.handle, &ctx, VORLET_V2_AUTH_ACCESS_CONTROL, &result),
            VORLET_V2_OK);
  EXPECT_EQ(result.result_code, VORLET_V2_AUTH_RESULT_FORBIDDEN);
  EXPECT_EQ(result.role, VORLET_V2_AUTH_ROLE_VIEWER);

  ASSERT_EQ(vorlet_v2_runtime_clear_auth_context(&ctx), VORLET_V2_OK);
  vorlet_v2_RuntimeStats stats{};
  stats.struct_size = sizeof stats;
  ASSERT_EQ(vorlet_v2_runtime_get_stats_with_auth_context(rt.handle, &ctx, &stats, &result), VORLET_V2_OK);
  EXPECT_EQ(result.result_code, VORLET_V2_AUTH_RESULT_UNAUTHORIZED);
  EXPECT_EQ(stats.struct_size, sizeof stats);
  EXPECT_EQ(stats.queue_capacity, 0u);

  ASSERT_EQ(vorlet_v2_runtime_get_stats(rt.handle, &stats), VORLET_V2_OK);
  EXPECT_EQ(stats.queue_capacity, 4096u);
}

}  // namespace
