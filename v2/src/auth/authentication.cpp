#include "auth/authentication.h"

#include <utility>

#include "auth/credentials.h"
#include "runtime/event_log.h"
#include "runtime/runtime.h"

namespace vorlet::v2 {

Status auth_config_validate(const AuthConfig* config) noexcept {
  CredentialEntry* table = nullptr;
  uint64_t count = 0;
  const Status s = auth_config_copy_validated(config, &table, &count);
  credential_table_free(table, count);
  return s;
}

Status authentication_apply_config(Runtime* rt, const AuthConfig* config) noexcept {
  CredentialEntry* table = nullptr;
  uint64_t count = 0;
  const Status s = auth_config_copy_validated(config, &table, &count);
  if (s != Status::ok) return s;
  const uint64_t applied = count;
  bool stopped = false;
  {
    MutexLock hold(&rt->auth.mutex);
    stopped = rt->state.load(std::memory_order_acquire) == RuntimeState::stopped;
    if (!stopped) {
      // Afterwards table and count hold the old table, freed below.
      std::swap(table, rt->auth.credentials);
      std::swap(count, rt->auth.credential_count);
    }
  }
  credential_table_free(table, count);
  if (stopped) return Status::bad_state;
  event_log_record(rt, MonitorEventKind::auth_config_applied, 0, 0, applied);
  return Status::ok;
}

namespace {

constexpr FieldSpan kSummaryFields[] = {
    VORLET_FIELD_AT(AuthConfigSummary, struct_size, 0),
    VORLET_FIELD_AT(AuthConfigSummary, configured, 8),
    VORLET_RESERVED_AT(AuthConfigSummary, reserved, 12),
    VORLET_FIELD_AT(AuthConfigSummary, entries, 16),
    VORLET_FIELD_AT(AuthConfigSummary, viewers, 24),
    VORLET_FIELD_AT(AuthConfigSummary, operators, 32),
    VORLET_FIELD_AT(AuthConfigSummary, admins, 40),
};
static_assert(record_table_covers<AuthConfigSummary>(kSummaryFields, 48));

}  // namespace

void auth_config_summary_copy_out(const AuthConfigSummary& summary, AuthConfigSummary* out) noexcept {
  record_write(out, summary, kSummaryFields);
}

void authentication_config_summary(Runtime* rt, AuthConfigSummary* out) noexcept {
  MutexLock hold(&rt->auth.mutex);
  auth_config_summary_copy_out(credential_table_summary(rt->auth.credentials, rt->auth.credential_count), out);
}

AuthVerdict authentication_authenticate(Runtime* rt, const char* principal, const char* secret) noexcept {
  uint32_t role = static_cast<uint32_t>(AuthRole::none);
  {
    MutexLock hold(&rt->auth.mutex);
    if (rt->state.load(std::memory_order_acquire) == RuntimeState::stopped) return kVerdictBadState;
    role = credential_table_match(rt->auth.credentials, rt->auth.credential_count, principal, secret);
  }
  if (role == static_cast<uint32_t>(AuthRole::none)) {
    event_log_record(rt, MonitorEventKind::authentication_denied, 0, 1, 0);
    return kVerdictUnauthorized;
  }
  event_log_record(rt, MonitorEventKind::authentication_accepted, 0, role, 0);
  return AuthVerdict{AuthResultCode::ok, role};
}

Status authentication_login(Runtime* rt, const char* principal, const char* secret, AuthContext* context_out,
                            AuthResult* result_out) noexcept {
  if (!auth_context_writable(context_out)) return Status::invalid_arg;
  const AuthVerdict verdict = authentication_authenticate(rt, principal, secret);
  const bool in = verdict.code == AuthResultCode::ok && auth_role_held(verdict.role);
  auth_context_write(context_out, in ? 1 : 0, in ? verdict.role : 0);
  auth_result_write(result_out, verdict);
  return Status::ok;
}

Status auth_context_clear(AuthContext* context) noexcept {
  if (context == nullptr || !auth_context_writable(context)) return Status::invalid_arg;
  auth_context_write(context, 0, 0);
  return Status::ok;
}

}  // namespace vorlet::v2
