// Exported names of every code and flag set.
#include <iterator>

#include "codec/names.h"
#include "vorlet_v2.h"

namespace {

// A dense table indexed from `first`; outside it `fallback`.
template <size_t N>
const char* lookup(const char* const (&table)[N], int64_t value, int64_t first, const char* fallback) {
  const int64_t index = value - first;
  if (index < 0 || index >= static_cast<int64_t>(N)) return fallback;
  return table[index] != nullptr ? table[index] : fallback;
}

constexpr const char* kUnknown = "unknown";

constexpr const char* kStatus[] = {"closed", "would_block", "io", "stale_generation",
                                   "bad_state", "nomem", "invalid_arg", "ok"};
constexpr const char* kRuntimeState[] = {"created", "started", "stopped"};
constexpr const char* kOverloadMode[] = {"reject", "drop_expired_first", "drop_one_way_first"};
constexpr const char* kRouteStrategy[] = {"unspecified", "single_owner", "weighted_round_robin",
                                          "rendezvous_hash"};
constexpr const char* kQueueScope[] = {"ingress", "local_delivery", "remote_outbound"};
constexpr const char* kQueueRejectDetail[] = {"none", "queue_full", "remote_reply_reserve"};
constexpr const char* kAuthRole[] = {"none", "viewer", "operator", "admin"};
constexpr const char* kAuthScope[] = {"observe", "control", "admin"};
constexpr const char* kAuthAccessKind[] = {"observe", "control"};
constexpr const char* kAuthResultCode[] = {"ok", "unauthorized", "forbidden", "bad_request", "bad_state"};
constexpr const char* kDubbingJobState[] = {"none", "queued", "running", "succeeded", "failed", "cancelled"};
constexpr const char* kDubbingJobStage[] = {"none", "preflight", "asr", "translation", "tts", "mux", "publish"};
constexpr const char* kMonitorEventKind[] = {
    "started", "stopped", "control_applied", "control_rejected", "queue_rejected",
    "endpoint_unavailable", "remote_response_forwarded", "remote_deadletter_forwarded",
    "remote_reply_timeout", "late_remote_reply_dropped", "remote_transport_failed",
    "auth_config_applied", "authentication_accepted", "authentication_denied",
    "authorization_accepted", "authorization_denied", "auth_policy_applied"};
constexpr const char* kDeadletterReason[] = {
    "unspecified", "no_active_snapshot", "route_miss", "no_responsible_host", "queue_rejected",
    "local_handoff_failed", "delivery_failed", "remote_transport_failed", "runtime_stopped",
    "invalid_envelope", "endpoint_unavailable", "remote_reply_timeout", "locality_mismatch",
    "expired_before_delivery", "one_way_dropped_by_policy"};
constexpr const char* kRouteFlag[] = {"none", "prefer_local"};
constexpr const char* kEndpointFlag[] = {"none", "local", "unavailable"};

// Index i names bit 1 << i.
constexpr const char* kHealthFlag[] = {"process_alive", "runtime_started", "control_snapshot_present",
                                       "dataplane_ready", "transport_probe_only",
                                       "remote_outbound_saturated", "drained_route_present"};
constexpr const char* kFeatureFlag[] = {
    "request_pipe", "control_pipe", "monitor", "native_submit", "control_json",
    "remote_transport", "jemalloc", "delivered_request_pipe", "dubbing_jobs",
    "topology_snapshot", "monitor_snapshot", "event_log", "auth_types", "auth_config",
    "auth_gate", "auth_policy", "auth_context", "route_catalog", "auth_control_apply",
    "auth_observe_read", "auth_discovery_read", "auth_status_read", "auth_security_read"};

constexpr uint32_t kFeatureOrder[] = {0x1, 0x2, 0x4, 0x8, 0x10, 0x80, 0x100, 0x200,
                                      0x400, 0x20000, 0x800, 0x1000, 0x2000, 0x4000, 0x8000,
                                      0x10000, 0x40000, 0x80000, 0x100000, 0x200000, 0x400000,
                                      0x20, 0x40};
constexpr uint32_t kHealthOrder[] = {0x1, 0x2, 0x4, 0x8, 0x10, 0x20, 0x40};

// A single-bit name; NULL for 0, for several bits and for bits past the table.
template <size_t N>
const char* single_bit(const char* const (&table)[N], uint32_t flag) {
  if (flag == 0 || (flag & (flag - 1)) != 0) return nullptr;
  const int bit = __builtin_ctz(flag);
  return bit < static_cast<int>(N) ? table[bit] : nullptr;
}

}  // namespace

extern "C" {

const char* vorlet_v2_status_name(int32_t status) { return lookup(kStatus, status, -7, kUnknown); }
const char* vorlet_v2_runtime_state_name(uint32_t state) { return lookup(kRuntimeState, state, 0, kUnknown); }
const char* vorlet_v2_overload_mode_name(uint32_t mode) { return lookup(kOverloadMode, mode, 0, kUnknown); }
const char* vorlet_v2_route_strategy_name(uint32_t strategy) {
  return lookup(kRouteStrategy, strategy, 0, kUnknown);
}
const char* vorlet_v2_monitor_queue_scope_name(uint32_t scope) { return lookup(kQueueScope, scope, 1, kUnknown); }
const char* vorlet_v2_monitor_queue_reject_detail_name(uint32_t detail) {
  return lookup(kQueueRejectDetail, detail, 0, kUnknown);
}
const char* vorlet_v2_runtime_auth_role_name(uint32_t role) { return lookup(kAuthRole, role, 0, kUnknown); }
const char* vorlet_v2_runtime_auth_scope_name(uint32_t scope) { return lookup(kAuthScope, scope, 1, kUnknown); }
const char* vorlet_v2_runtime_auth_access_kind_name(uint32_t access_kind) {
  return lookup(kAuthAccessKind, access_kind, 1, kUnknown);
}
const char* vorlet_v2_runtime_auth_result_code_name(uint32_t code) {
  return lookup(kAuthResultCode, code, 0, kUnknown);
}
const char* vorlet_v2_dubbing_job_state_name(uint32_t state) { return lookup(kDubbingJobState, state, 0, kUnknown); }
const char* vorlet_v2_dubbing_job_stage_name(uint32_t stage) { return lookup(kDubbingJobStage, stage, 0, kUnknown); }
const char* vorlet_v2_monitor_event_kind_name(uint32_t kind) { return lookup(kMonitorEventKind, kind, 1, kUnknown); }
const char* vorlet_v2_deadletter_reason_name(uint32_t reason) {
  return lookup(kDeadletterReason, reason, 0, kUnknown);
}
const char* vorlet_v2_route_flag_name(uint32_t flag) { return lookup(kRouteFlag, flag, 0, nullptr); }
const char* vorlet_v2_endpoint_flag_name(uint32_t flag) { return lookup(kEndpointFlag, flag, 0, nullptr); }
const char* vorlet_v2_health_flag_name(uint32_t flag) { return single_bit(kHealthFlag, flag); }
const char* vorlet_v2_runtime_feature_flag_name(uint32_t flag) { return single_bit(kFeatureFlag, flag); }

uint64_t vorlet_v2_format_runtime_feature_flags(uint32_t flags, char* buffer, uint64_t capacity) {
  return vorlet::v2::format_flag_list(flags, buffer, capacity, kFeatureOrder, std::size(kFeatureOrder),
                                      vorlet_v2_runtime_feature_flag_name);
}

uint64_t vorlet_v2_format_health_flags(uint32_t flags, char* buffer, uint64_t capacity) {
  return vorlet::v2::format_flag_list(flags, buffer, capacity, kHealthOrder, std::size(kHealthOrder),
                                      vorlet_v2_health_flag_name);
}

}  // extern "C"
