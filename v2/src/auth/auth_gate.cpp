#include "auth/auth_gate.h"

#include "auth/authorization.h"

namespace vorlet::v2 {

Status auth_context_check(Runtime* rt, const AuthContext* context, uint32_t access, AuthVerdict* out) noexcept {
  if (!auth_access_valid(access)) return Status::invalid_arg;
  if (!auth_input_covers(context, VORLET_FIELD(AuthContext, role))) return Status::invalid_arg;
  const uint32_t authenticated = context->authenticated;
  const uint32_t role = context->role;
  if (authenticated > 1) return Status::invalid_arg;
  if (authenticated == 0) {
    *out = kVerdictUnauthorized;
    return Status::ok;
  }
  if (!auth_role_held(role)) return Status::invalid_arg;
  const Status s = authorization_check_access(rt, role, access, out);
  if (s != Status::ok) return s;
  auth_record_authorization(rt, *out, access);
  return Status::ok;
}

Status auth_gate_pass(Runtime* rt, const AuthContext* context, AuthAccessKind access, AuthResult* result,
                      bool* allowed) noexcept {
  *allowed = false;
  AuthVerdict verdict{};
  const Status s = auth_context_check(rt, context, static_cast<uint32_t>(access), &verdict);
  if (s != Status::ok) return s;
  auth_result_write(result, verdict);
  *allowed = verdict.code == AuthResultCode::ok;
  return Status::ok;
}

}  // namespace vorlet::v2
