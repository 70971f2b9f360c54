#include "auth/auth_policy.h"

#include "runtime/event_log.h"
#include "runtime/runtime.h"

namespace vorlet::v2 {

Status auth_policy_validate(const AuthPolicy* policy) noexcept {
  if (policy == nullptr) return Status::invalid_arg;
  if (!auth_input_covers(policy, VORLET_FIELD(AuthPolicy, control_min_role))) return Status::invalid_arg;
  const uint32_t observe = policy->observe_min_role;
  const uint32_t control = policy->control_min_role;
  if (!auth_role_valid(observe)) return Status::invalid_arg;
  // Role none and viewer never reach control.
  if (control != static_cast<uint32_t>(AuthRole::operator_) && control != static_cast<uint32_t>(AuthRole::admin)) {
    return Status::invalid_arg;
  }
  if (control < observe) return Status::invalid_arg;
  return Status::ok;
}

Status auth_policy_apply(Runtime* rt, const AuthPolicy* policy) noexcept {
  if (auth_policy_validate(policy) != Status::ok) return Status::invalid_arg;
  const uint32_t observe = policy->observe_min_role;
  const uint32_t control = policy->control_min_role;
  {
    MutexLock hold(&rt->auth.mutex);
    if (rt->state.load(std::memory_order_acquire) == RuntimeState::stopped) return Status::bad_state;
    rt->auth.observe_min_role = observe;
    rt->auth.control_min_role = control;
  }
  event_log_record(rt, MonitorEventKind::auth_policy_applied, 0, observe, control);
  return Status::ok;
}

AuthMinima auth_policy_get(Runtime* rt) noexcept {
  MutexLock hold(&rt->auth.mutex);
  return AuthMinima{rt->auth.observe_min_role, rt->auth.control_min_role};
}

}  // namespace vorlet::v2
