// The auth gate: the one check in front of every ..._with_auth_context
// call. The gate trusts the role a context carries; it does not look the
// role up in the credential table again.
#pragma once

#include <cstdint>

#include "auth/auth_records.h"
#include "base/status.h"
#include "vorlet_v2.h"

namespace vorlet::v2 {

struct Runtime;

// The check behind vorlet_v2_runtime_authorize_context_access, in its
// order: invalid_arg for a bad access kind or a malformed context (declared
// 1 to 15 bytes, authenticated above 1, or authenticated with a role
// outside 1 to 3); an unauthenticated context gives {unauthorized, 0} and
// no event; otherwise the role against the policy for access, recorded as
// authorization_accepted or _denied (value1 role, value2 access), except a
// stopped runtime's {bad_state, 0}, which records nothing. rt and context
// must not be NULL.
Status auth_context_check(Runtime* rt, const AuthContext* context, uint32_t access, AuthVerdict* out) noexcept;

// The gate of a ..._with_auth_context call. invalid_arg leaves result
// untouched; otherwise the verdict is written into result and *allowed says
// whether the call may run. Every pointer must be present.
Status auth_gate_pass(Runtime* rt, const AuthContext* context, AuthAccessKind access, AuthResult* result,
                      bool* allowed) noexcept;

// A whole gated call: the gate, then run() when allowed (its status is
// returned) or deny() when not (0 is returned; deny empties the output of a
// reader and does nothing for an apply). The caller has checked every
// pointer.
template <class Run, class Deny>
Status auth_gated_call(Runtime* rt, const AuthContext* context, AuthAccessKind access, AuthResult* result, Run run,
                       Deny deny) noexcept {
  bool allowed = false;
  const Status s = auth_gate_pass(rt, context, access, result, &allowed);
  if (s != Status::ok) return s;
  if (!allowed) {
    deny();
    return Status::ok;
  }
  return run();
}

// The shim of every gated read: the four pointers checked, observe access,
// then read(rt, out) when allowed (its status is returned) or empty(out)
// when denied.
template <class Rec, class Read, class Empty>
int32_t auth_gated_read(vorlet_v2_Runtime* runtime, const AuthContext* context, Rec* out, AuthResult* result,
                        Read read, Empty empty) noexcept {
  if (runtime == nullptr || context == nullptr || out == nullptr || result == nullptr) {
    return to_c(Status::invalid_arg);
  }
  Runtime* rt = reinterpret_cast<Runtime*>(runtime);
  return to_c(auth_gated_call(
      rt, context, AuthAccessKind::observe, result, [&] { return read(rt, out); }, [&] { empty(out); }));
}

}  // namespace vorlet::v2
