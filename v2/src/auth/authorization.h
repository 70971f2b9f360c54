// Deciding whether a role may do something: by scope (a fixed table) or by
// access kind (against the runtime's auth policy).
#pragma once

#include <cstdint>

#include "auth/auth_records.h"
#include "base/status.h"

namespace vorlet::v2 {

struct Runtime;

// The role x scope table: ok or forbidden. Role and scope must be valid.
AuthResultCode auth_scope_decision(uint32_t role, uint32_t scope) noexcept;

// {table code, role}; invalid_arg for a role above 3 or a scope outside 1
// to 3. No runtime, no event.
Status auth_authorize_scope(uint32_t role, uint32_t scope, AuthVerdict* out) noexcept;

// {ok or forbidden, role} against the policy's minimum for access;
// {bad_state, 0} on a stopped runtime. invalid_arg for a role above 3 or a
// bad access kind. No event.
Status authorization_check_access(Runtime* rt, uint32_t role, uint32_t access, AuthVerdict* out) noexcept;

// The scope table with an authorization event (value1 role, value2 scope).
// A stopped runtime gives {bad_state, 0} before role and scope are looked
// at, and no event.
Status authorization_check_scope(Runtime* rt, uint32_t role, uint32_t scope, AuthVerdict* out) noexcept;

// Records authorization_accepted for ok, authorization_denied for
// forbidden, nothing for any other code.
void auth_record_authorization(Runtime* rt, AuthVerdict verdict, uint64_t value2) noexcept;

}  // namespace vorlet::v2
