#include "auth/auth_records.h"

#include <cstddef>

namespace vorlet::v2 {

static_assert(sizeof(AuthCredential) == 32);
static_assert(offsetof(AuthCredential, principal) == 8);
static_assert(offsetof(AuthCredential, secret) == 16);
static_assert(offsetof(AuthCredential, role) == 24);
static_assert(sizeof(AuthConfig) == 24);
static_assert(offsetof(AuthConfig, entries) == 8);
static_assert(offsetof(AuthConfig, count) == 16);
static_assert(sizeof(AuthContext) == 16);
static_assert(offsetof(AuthContext, authenticated) == 8);
static_assert(offsetof(AuthContext, role) == 12);
static_assert(sizeof(AuthResult) == 16);
static_assert(offsetof(AuthResult, result_code) == 8);
static_assert(offsetof(AuthResult, role) == 12);
static_assert(sizeof(AuthPolicy) == 16);
static_assert(offsetof(AuthPolicy, observe_min_role) == 8);
static_assert(offsetof(AuthPolicy, control_min_role) == 12);
static_assert(sizeof(AuthConfigSummary) == 48);
static_assert(offsetof(AuthConfigSummary, configured) == 8);
static_assert(offsetof(AuthConfigSummary, entries) == 16);
static_assert(offsetof(AuthConfigSummary, viewers) == 24);
static_assert(offsetof(AuthConfigSummary, operators) == 32);
static_assert(offsetof(AuthConfigSummary, admins) == 40);

void auth_result_write(AuthResult* out, AuthVerdict verdict) noexcept {
  AuthResult full{};
  full.result_code = static_cast<uint32_t>(verdict.code);
  full.role = verdict.role;
  record_write(out, full, {VORLET_FIELD(AuthResult, result_code), VORLET_FIELD(AuthResult, role)});
}

void auth_context_write(AuthContext* out, uint32_t authenticated, uint32_t role) noexcept {
  AuthContext full{};
  full.authenticated = authenticated;
  full.role = role;
  record_write(out, full, {VORLET_FIELD(AuthContext, authenticated), VORLET_FIELD(AuthContext, role)});
}

void auth_policy_write(AuthPolicy* out, uint32_t observe_min_role, uint32_t control_min_role) noexcept {
  AuthPolicy full{};
  full.observe_min_role = observe_min_role;
  full.control_min_role = control_min_role;
  record_write(out, full,
               {VORLET_FIELD(AuthPolicy, observe_min_role), VORLET_FIELD(AuthPolicy, control_min_role)});
}

}  // namespace vorlet::v2
