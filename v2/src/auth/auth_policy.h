// The auth policy: the least role for each access kind, held in the runtime
// under the auth state's lock ({observe 0, control 2} from create on).
#pragma once

#include <cstdint>

#include "auth/auth_records.h"
#include "base/status.h"

namespace vorlet::v2 {

struct Runtime;

// ok or invalid_arg: NULL, a size below 16, observe above 3, control not 2
// or 3, or control below observe.
Status auth_policy_validate(const AuthPolicy* policy) noexcept;

// Stores a valid policy and records auth_policy_applied. invalid_arg,
// bad_state on a stopped runtime.
Status auth_policy_apply(Runtime* rt, const AuthPolicy* policy) noexcept;

struct AuthMinima {
  uint32_t observe_min_role;
  uint32_t control_min_role;
};

// The policy in force, read under the auth state's lock.
AuthMinima auth_policy_get(Runtime* rt) noexcept;

}  // namespace vorlet::v2
