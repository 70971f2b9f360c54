// The values and records of the security calls, and how their outputs are
// written. Outcomes travel internally as an AuthVerdict and reach the caller
// through the 16-byte output rule.
#pragma once

#include <cstdint>

#include "base/record.h"
#include "vorlet_v2.h"

namespace vorlet::v2 {

using AuthCredential = vorlet_v2_AuthCredential;
using AuthConfig = vorlet_v2_AuthConfig;
using AuthContext = vorlet_v2_AuthContext;
using AuthResult = vorlet_v2_AuthResult;
using AuthPolicy = vorlet_v2_AuthPolicy;
using AuthConfigSummary = vorlet_v2_AuthConfigSummary;

enum class AuthRole : uint32_t { none = 0, viewer = 1, operator_ = 2, admin = 3 };
enum class AuthScope : uint32_t { observe = 1, control = 2, admin = 3 };
enum class AuthAccessKind : uint32_t { observe = 1, control = 2 };
enum class AuthResultCode : uint32_t { ok = 0, unauthorized = 1, forbidden = 2, bad_request = 3, bad_state = 4 };

// The number a value travels as.
constexpr uint32_t wire(AuthRole role) noexcept { return static_cast<uint32_t>(role); }
constexpr uint32_t wire(AuthScope scope) noexcept { return static_cast<uint32_t>(scope); }
constexpr uint32_t wire(AuthAccessKind access) noexcept { return static_cast<uint32_t>(access); }

inline constexpr uint32_t kAuthRoleMax = wire(AuthRole::admin);

constexpr bool auth_role_valid(uint32_t role) noexcept { return role <= kAuthRoleMax; }
// The roles a logged-in caller can hold.
constexpr bool auth_role_held(uint32_t role) noexcept {
  return role >= wire(AuthRole::viewer) && role <= kAuthRoleMax;
}
constexpr bool auth_scope_valid(uint32_t scope) noexcept {
  return scope >= wire(AuthScope::observe) && scope <= wire(AuthScope::admin);
}
constexpr bool auth_access_valid(uint32_t access) noexcept {
  return access == wire(AuthAccessKind::observe) || access == wire(AuthAccessKind::control);
}

// A security outcome: the code and the role it concerns.
struct AuthVerdict {
  AuthResultCode code;
  uint32_t role;
};

inline constexpr AuthVerdict kVerdictUnauthorized{AuthResultCode::unauthorized, wire(AuthRole::none)};
inline constexpr AuthVerdict kVerdictBadState{AuthResultCode::bad_state, wire(AuthRole::none)};

// 16 into struct_size, then the code and the role where the caller's size
// covers them. out must not be NULL.
void auth_result_write(AuthResult* out, AuthVerdict verdict) noexcept;

// The same rule for a context: {authenticated, role}.
void auth_context_write(AuthContext* out, uint32_t authenticated, uint32_t role) noexcept;

// A policy or {0, 0} as output.
void auth_policy_write(AuthPolicy* out, uint32_t observe_min_role, uint32_t control_min_role) noexcept;

// true when the record's declared size (0: the full size, no upper limit)
// covers the field that ends the part an input needs.
template <class Rec>
bool auth_input_covers(const Rec* rec, FieldSpan last_required) noexcept {
  return struct_field_fits(record_read_declared(rec), last_required.offset, last_required.width) != 0;
}

// A context is written back only when its declared size is 0 or at least
// 16: a shorter one would keep a stale authenticated and role that a later
// gate would trust.
inline bool auth_context_writable(const AuthContext* context) noexcept {
  return auth_input_covers(context, VORLET_FIELD(AuthContext, role));
}

}  // namespace vorlet::v2
