#include "auth/authorization.h"

#include "runtime/event_log.h"
#include "runtime/runtime.h"

namespace vorlet::v2 {

AuthResultCode auth_scope_decision(uint32_t role, uint32_t scope) noexcept {
  // Each scope needs its own rank of role: viewer observes, operator also
  // controls, admin does everything; role none does nothing.
  return role >= scope ? AuthResultCode::ok : AuthResultCode::forbidden;
}

Status auth_authorize_scope(uint32_t role, uint32_t scope, AuthVerdict* out) noexcept {
  if (!auth_scope_valid(scope) || !auth_role_valid(role)) return Status::invalid_arg;
  *out = AuthVerdict{auth_scope_decision(role, scope), role};
  return Status::ok;
}

Status authorization_check_access(Runtime* rt, uint32_t role, uint32_t access, AuthVerdict* out) noexcept {
  if (!auth_role_valid(role) || !auth_access_valid(access)) return Status::invalid_arg;
  bool stopped = false;
  uint32_t minimum = 0;
  {
    MutexLock hold(&rt->auth.mutex);
    stopped = rt->state.load(std::memory_order_acquire) == RuntimeState::stopped;
    minimum = access == static_cast<uint32_t>(AuthAccessKind::observe) ? rt->auth.observe_min_role
                                                                       : rt->auth.control_min_role;
  }
  if (stopped) {
    *out = kVerdictBadState;
  } else {
    *out = AuthVerdict{role >= minimum ? AuthResultCode::ok : AuthResultCode::forbidden, role};
  }
  return Status::ok;
}

void auth_record_authorization(Runtime* rt, AuthVerdict verdict, uint64_t value2) noexcept {
  if (verdict.code == AuthResultCode::ok) {
    event_log_record(rt, MonitorEventKind::authorization_accepted, 0, verdict.role, value2);
  } else if (verdict.code == AuthResultCode::forbidden) {
    event_log_record(rt, MonitorEventKind::authorization_denied, 0, verdict.role, value2);
  }
}

Status authorization_check_scope(Runtime* rt, uint32_t role, uint32_t scope, AuthVerdict* out) noexcept {
  if (rt->state.load(std::memory_order_acquire) == RuntimeState::stopped) {
    *out = kVerdictBadState;
    return Status::ok;
  }
  const Status s = auth_authorize_scope(role, scope, out);
  if (s != Status::ok) return s;
  auth_record_authorization(rt, *out, scope);
  return Status::ok;
}

}  // namespace vorlet::v2
