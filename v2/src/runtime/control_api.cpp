// Exported control entry points: route snapshots and the overload policy.
#include "runtime/control_apply.h"
#include "runtime/runtime.h"
#include "vorlet_v2.h"

using namespace vorlet::v2;

extern "C" {

int32_t vorlet_v2_runtime_apply_control_envelope(vorlet_v2_Runtime* runtime, const void* bytes, uint64_t length) {
  return to_c(control_apply_envelope(from_handle(runtime), bytes, length));
}

int32_t vorlet_v2_runtime_apply_control_snapshot(vorlet_v2_Runtime* runtime,
                                                 const vorlet_v2_RouteSnapshotDesc* snapshot) {
  return to_c(control_apply_snapshot(from_handle(runtime), snapshot, nullptr));
}

int32_t vorlet_v2_runtime_apply_control_snapshot_with_policy(vorlet_v2_Runtime* runtime,
                                                             const vorlet_v2_RouteSnapshotDesc* snapshot,
                                                             const vorlet_v2_OverloadPolicyDesc* policy) {
  return to_c(control_apply_snapshot(from_handle(runtime), snapshot, policy));
}

int32_t vorlet_v2_runtime_apply_overload_policy(vorlet_v2_Runtime* runtime,
                                                const vorlet_v2_OverloadPolicyDesc* policy) {
  return to_c(control_apply_overload_policy(from_handle(runtime), policy));
}

}  // extern "C"
