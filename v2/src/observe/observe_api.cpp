// Exported entry points of the configuration, statistics and health reads.
#include "auth/auth_gate.h"
#include "observe/runtime_config.h"
#include "observe/runtime_health.h"
#include "observe/runtime_stats.h"
#include "runtime/runtime.h"
#include "vorlet_v2.h"

using namespace vorlet::v2;

namespace {

// The plain readers cannot fail; as gated reads they answer ok.
template <class Rec>
auto always_ok(void (*read)(Runtime*, Rec*)) noexcept {
  return [read](Runtime* rt, Rec* out) {
    read(rt, out);
    return Status::ok;
  };
}

}  // namespace

extern "C" {

int32_t vorlet_v2_runtime_get_config(vorlet_v2_Runtime* runtime, vorlet_v2_RuntimeConfig* out) {
  if (runtime == nullptr || out == nullptr) return to_c(Status::invalid_arg);
  runtime_config_get(from_handle(runtime), out);
  return to_c(Status::ok);
}

int32_t vorlet_v2_runtime_get_stats(vorlet_v2_Runtime* runtime, vorlet_v2_RuntimeStats* out) {
  if (runtime == nullptr || out == nullptr) return to_c(Status::invalid_arg);
  runtime_stats_get(from_handle(runtime), out);
  return to_c(Status::ok);
}

int32_t vorlet_v2_runtime_get_health(vorlet_v2_Runtime* runtime, vorlet_v2_RuntimeHealth* out) {
  if (runtime == nullptr || out == nullptr) return to_c(Status::invalid_arg);
  runtime_health_get(from_handle(runtime), out);
  return to_c(Status::ok);
}

int32_t vorlet_v2_runtime_get_config_with_auth_context(vorlet_v2_Runtime* runtime,
                                                       const vorlet_v2_AuthContext* context,
                                                       vorlet_v2_RuntimeConfig* out, vorlet_v2_AuthResult* result) {
  return auth_gated_read(runtime, context, out, result, always_ok(runtime_config_get),
                         [](RuntimeConfig* o) { runtime_config_copy_out(RuntimeConfig{}, o); });
}

int32_t vorlet_v2_runtime_get_stats_with_auth_context(vorlet_v2_Runtime* runtime, const vorlet_v2_AuthContext* context,
                                                      vorlet_v2_RuntimeStats* out, vorlet_v2_AuthResult* result) {
  return auth_gated_read(runtime, context, out, result, always_ok(runtime_stats_get),
                         [](RuntimeStats* o) { stats_copy_out(RuntimeStats{}, o); });
}

int32_t vorlet_v2_runtime_get_health_with_auth_context(vorlet_v2_Runtime* runtime,
                                                       const vorlet_v2_AuthContext* context,
                                                       vorlet_v2_RuntimeHealth* out, vorlet_v2_AuthResult* result) {
  return auth_gated_read(runtime, context, out, result, always_ok(runtime_health_get), health_copy_out_empty);
}

}  // extern "C"
