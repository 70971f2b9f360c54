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

namespace {

constexpr FieldSpan kContextFields[] = {
    VORLET_FIELD_AT(AuthContext, struct_size, 0),
    VORLET_FIELD_AT(AuthContext, authenticated, 8),
    VORLET_FIELD_AT(AuthContext, role, 12),
};
static_assert(record_table_covers<AuthContext>(kContextFields, 16));

constexpr FieldSpan kResultFields[] = {
    VORLET_FIELD_AT(AuthResult, struct_size, 0),
    VORLET_FIELD_AT(AuthResult, result_code, 8),
    VORLET_FIELD_AT(AuthResult, role, 12),
};
static_assert(record_table_covers<AuthResult>(kResultFields, 16));

constexpr FieldSpan kPolicyFields[] = {
    VORLET_FIELD_AT(AuthPolicy, struct_size, 0),
    VORLET_FIELD_AT(AuthPolicy, observe_min_role, 8),
    VORLET_FIELD_AT(AuthPolicy, control_min_role, 12),
};
static_assert(record_table_covers<AuthPolicy>(kPolicyFields, 16));

}  // namespace

void auth_result_write(AuthResult* out, AuthVerdict verdict) noexcept {
  AuthResult full{};
  full.result_code = static_cast<uint32_t>(verdict.code);
  full.role = verdict.role;
  record_write(out, full, kResultFields);
}

void auth_context_write(AuthContext* out, uint32_t authenticated, uint32_t role) noexcept {
  AuthContext full{};
  full.authenticated = authenticated;
  full.role = role;
  record_write(out, full, kContextFields);
}

void auth_policy_write(AuthPolicy* out, uint32_t observe_min_role, uint32_t control_min_role) noexcept {
  AuthPolicy full{};
  full.observe_min_role = observe_min_role;
  full.control_min_role = control_min_role;
  record_write(out, full, kPolicyFields);
}

}  // namespace vorlet::v2
