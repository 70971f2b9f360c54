// Credentials, login and gated reads as a host uses them.
#include <gtest/gtest.h>

#include "support/api_runtime.h"
#include "vorlet_v2.h"

namespace {

using vorlet::v2::test::ApiRuntime;

TEST(HostSecurity, LoginReadThroughTheGateThenClear) {
  ApiRuntime host("host", "security");
  ASSERT_NE(host.rt, nullptr);
  const vorlet_v2_AuthCredential creds[] = {
      {sizeof(vorlet_v2_AuthCredential), "viewer", "look", VORLET_V2_AUTH_ROLE_VIEWER, 0},
      {sizeof(vorlet_v2_AuthCredential), "ops", "run", VORLET_V2_AUTH_ROLE_OPERATOR, 0},
  };
  const vorlet_v2_AuthConfig config{sizeof config, creds, 2};
  ASSERT_EQ(vorlet_v2_runtime_validate_auth_config(&config), VORLET_V2_OK);
  ASSERT_EQ(vorlet_v2_runtime_apply_auth_config(host.rt, &config), VORLET_V2_OK);

  vorlet_v2_AuthContext ctx{sizeof ctx, 0, 0};
  vorlet_v2_AuthResult result{sizeof result, 0, 0};
  ASSERT_EQ(vorlet_v2_runtime_login(host.rt, "viewer", "look", &ctx, &result), VORLET_V2_OK);
  ASSERT_EQ(result.result_code, VORLET_V2_AUTH_RESULT_OK);
  EXPECT_EQ(ctx.authenticated, 1u);
  EXPECT_EQ(ctx.role, VORLET_V2_AUTH_ROLE_VIEWER);

  vorlet_v2_RuntimeHealth health{sizeof health, 0, 0, 0};
  ASSERT_EQ(vorlet_v2_runtime_get_health_with_auth_context(host.rt, &ctx, &health, &result), VORLET_V2_OK);
  EXPECT_EQ(result.result_code, VORLET_V2_AUTH_RESULT_OK);
  EXPECT_EQ(health.state, VORLET_V2_RUNTIME_CREATED);
  EXPECT_EQ(health.flags, VORLET_V2_HEALTH_PROCESS_ALIVE | VORLET_V2_HEALTH_TRANSPORT_PROBE_ONLY);

  // A viewer may observe but not control.
  ASSERT_EQ(vorlet_v2_runtime_authorize_context_access(host.rt, &ctx, VORLET_V2_AUTH_ACCESS_CONTROL, &result),
            VORLET_V2_OK);
  EXPECT_EQ(result.result_code, VORLET_V2_AUTH_RESULT_FORBIDDEN);
  EXPECT_EQ(result.role, VORLET_V2_AUTH_ROLE_VIEWER);

  ASSERT_EQ(vorlet_v2_runtime_clear_auth_context(&ctx), VORLET_V2_OK);
  vorlet_v2_RuntimeStats stats{};
  stats.struct_size = sizeof stats;
  ASSERT_EQ(vorlet_v2_runtime_get_stats_with_auth_context(host.rt, &ctx, &stats, &result), VORLET_V2_OK);
  EXPECT_EQ(result.result_code, VORLET_V2_AUTH_RESULT_UNAUTHORIZED);
  EXPECT_EQ(stats.struct_size, sizeof stats);
  EXPECT_EQ(stats.queue_capacity, 0u);

  ASSERT_EQ(vorlet_v2_runtime_get_stats(host.rt, &stats), VORLET_V2_OK);
  EXPECT_EQ(stats.queue_capacity, 4096u);
}

}  // namespace
