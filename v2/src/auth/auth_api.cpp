// Exported entry points of the security calls.
#include "auth/auth_gate.h"
#include "auth/auth_policy.h"
#include "auth/auth_records.h"
#include "auth/authentication.h"
#include "auth/authorization.h"
#include "runtime/control_apply.h"
#include "runtime/runtime.h"
#include "vorlet_v2.h"

using namespace vorlet::v2;

namespace {

// Writes a verdict the core produced when it returned ok.
int32_t write_verdict(Status s, const AuthVerdict& verdict, AuthResult* out) noexcept {
  if (s == Status::ok) auth_result_write(out, verdict);
  return to_c(s);
}

}  // namespace

extern "C" {

int32_t vorlet_v2_runtime_validate_auth_config(const vorlet_v2_AuthConfig* config) {
  return to_c(auth_config_validate(config));
}

int32_t vorlet_v2_runtime_apply_auth_config(vorlet_v2_Runtime* runtime, const vorlet_v2_AuthConfig* config) {
  if (runtime == nullptr || config == nullptr) return to_c(Status::invalid_arg);
  return to_c(authentication_apply_config(from_handle(runtime), config));
}

int32_t vorlet_v2_runtime_get_auth_config_summary(vorlet_v2_Runtime* runtime, vorlet_v2_AuthConfigSummary* out) {
  if (runtime == nullptr || out == nullptr) return to_c(Status::invalid_arg);
  authentication_config_summary(from_handle(runtime), out);
  return to_c(Status::ok);
}

int32_t vorlet_v2_runtime_get_auth_config_summary_with_auth_context(vorlet_v2_Runtime* runtime,
                                                                    const vorlet_v2_AuthContext* context,
                                                                    vorlet_v2_AuthConfigSummary* out,
                                                                    vorlet_v2_AuthResult* result) {
  return auth_gated_read(
      runtime, context, out, result,
      [](Runtime* rt, vorlet_v2_AuthConfigSummary* o) {
        authentication_config_summary(rt, o);
        return Status::ok;
      },
      [](vorlet_v2_AuthConfigSummary* o) { auth_config_summary_copy_out(AuthConfigSummary{}, o); });
}

int32_t vorlet_v2_runtime_authenticate(vorlet_v2_Runtime* runtime, const char* principal, const char* secret,
                                       vorlet_v2_AuthResult* out) {
  if (runtime == nullptr || principal == nullptr || secret == nullptr || out == nullptr) {
    return to_c(Status::invalid_arg);
  }
  auth_result_write(out, authentication_authenticate(from_handle(runtime), principal, secret));
  return to_c(Status::ok);
}

int32_t vorlet_v2_runtime_login(vorlet_v2_Runtime* runtime, const char* principal, const char* secret,
                                vorlet_v2_AuthContext* context_out, vorlet_v2_AuthResult* result_out) {
  if (runtime == nullptr || principal == nullptr || secret == nullptr || context_out == nullptr ||
      result_out == nullptr) {
    return to_c(Status::invalid_arg);
  }
  return to_c(authentication_login(from_handle(runtime), principal, secret, context_out, result_out));
}

int32_t vorlet_v2_runtime_clear_auth_context(vorlet_v2_AuthContext* context) {
  return to_c(auth_context_clear(context));
}

int32_t vorlet_v2_runtime_validate_auth_policy(const vorlet_v2_AuthPolicy* policy) {
  return to_c(auth_policy_validate(policy));
}

int32_t vorlet_v2_runtime_apply_auth_policy(vorlet_v2_Runtime* runtime, const vorlet_v2_AuthPolicy* policy) {
  if (runtime == nullptr) return to_c(Status::invalid_arg);
  return to_c(auth_policy_apply(from_handle(runtime), policy));
}

int32_t vorlet_v2_runtime_get_auth_policy(vorlet_v2_Runtime* runtime, vorlet_v2_AuthPolicy* out) {
  if (runtime == nullptr || out == nullptr) return to_c(Status::invalid_arg);
  const AuthMinima minima = auth_policy_get(from_handle(runtime));
  auth_policy_write(out, minima.observe_min_role, minima.control_min_role);
  return to_c(Status::ok);
}

int32_t vorlet_v2_runtime_get_auth_policy_with_auth_context(vorlet_v2_Runtime* runtime,
                                                            const vorlet_v2_AuthContext* context,
                                                            vorlet_v2_AuthPolicy* out, vorlet_v2_AuthResult* result) {
  return auth_gated_read(
      runtime, context, out, result,
      [](Runtime* rt, vorlet_v2_AuthPolicy* o) {
        const AuthMinima minima = auth_policy_get(rt);
        auth_policy_write(o, minima.observe_min_role, minima.control_min_role);
        return Status::ok;
      },
      [](vorlet_v2_AuthPolicy* o) { auth_policy_write(o, 0, 0); });
}

int32_t vorlet_v2_runtime_authorize_scope(uint32_t role, uint32_t scope, vorlet_v2_AuthResult* out) {
  if (out == nullptr) return to_c(Status::invalid_arg);
  AuthVerdict verdict{};
  return write_verdict(auth_authorize_scope(role, scope, &verdict), verdict, out);
}

int32_t vorlet_v2_runtime_authorize_access(vorlet_v2_Runtime* runtime, uint32_t role, uint32_t access,
                                           vorlet_v2_AuthResult* out) {
  if (runtime == nullptr || out == nullptr) return to_c(Status::invalid_arg);
  AuthVerdict verdict{};
  return write_verdict(authorization_check_access(from_handle(runtime), role, access, &verdict), verdict, out);
}

int32_t vorlet_v2_runtime_authorize(vorlet_v2_Runtime* runtime, uint32_t role, uint32_t scope,
                                    vorlet_v2_AuthResult* out) {
  if (runtime == nullptr || out == nullptr) return to_c(Status::invalid_arg);
  AuthVerdict verdict{};
  return write_verdict(authorization_check_scope(from_handle(runtime), role, scope, &verdict), verdict, out);
}

int32_t vorlet_v2_runtime_authorize_context_access(vorlet_v2_Runtime* runtime, const vorlet_v2_AuthContext* context,
                                                   uint32_t access, vorlet_v2_AuthResult* out) {
  if (runtime == nullptr || context == nullptr || out == nullptr) return to_c(Status::invalid_arg);
  AuthVerdict verdict{};
  return write_verdict(auth_context_check(from_handle(runtime), context, access, &verdict), verdict, out);
}

int32_t vorlet_v2_runtime_apply_control_envelope_with_auth_context(vorlet_v2_Runtime* runtime,
                                                                   const vorlet_v2_AuthContext* context,
                                                                   const void* bytes, uint64_t length,
                                                                   vorlet_v2_AuthResult* result) {
  if (runtime == nullptr || context == nullptr || bytes == nullptr || length == 0 || result == nullptr) {
    return to_c(Status::invalid_arg);
  }
  Runtime* rt = from_handle(runtime);
  return to_c(auth_gated_call(
      rt, context, AuthAccessKind::control, result, [&] { return control_apply_envelope(rt, bytes, length); },
      [] {}));
}

int32_t vorlet_v2_runtime_apply_control_snapshot_with_auth_context(vorlet_v2_Runtime* runtime,
                                                                   const vorlet_v2_AuthContext* context,
                                                                   const vorlet_v2_RouteSnapshotDesc* snapshot,
                                                                   vorlet_v2_AuthResult* result) {
  if (runtime == nullptr || context == nullptr || snapshot == nullptr || result == nullptr) {
    return to_c(Status::invalid_arg);
  }
  Runtime* rt = from_handle(runtime);
  return to_c(auth_gated_call(
      rt, context, AuthAccessKind::control, result,
      [&] { return control_apply_snapshot(rt, snapshot, nullptr); }, [] {}));
}

}  // extern "C"
