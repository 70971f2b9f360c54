// The names of codes (statuses, reasons, kinds, events) as a host reads
// them: through the public header and the shared library only.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "vorlet_v2.h"

namespace {

using Int32NameFn = const char* (*)(int32_t);
using NameFn = const char* (*)(uint32_t);

TEST(Names, StatusNames) {
  const std::pair<int32_t, const char*> cases[] = {
      {0, "ok"},      {-1, "invalid_arg"},  {-2, "nomem"},       {-3, "bad_state"}, {-4, "stale_generation"},
      {-5, "io"},     {-6, "would_block"},  {-7, "closed"},      {1, "unknown"},    {-8, "unknown"},
      {INT32_MIN, "unknown"}, {INT32_MAX, "unknown"}};
  for (auto [value, name] : cases) EXPECT_STREQ(vorlet_v2_status_name(value), name) << value;
}

struct NameCase {
  const char* set;
  NameFn fn;
  uint32_t value;
  const char* name;  // nullptr: no name
};

const NameCase kNameCases[] = {
    {"state", vorlet_v2_runtime_state_name, 0, "created"},
    {"state", vorlet_v2_runtime_state_name, 2, "stopped"},
    {"state", vorlet_v2_runtime_state_name, 3, "unknown"},
    {"overload", vorlet_v2_overload_mode_name, 0, "reject"},
    {"overload", vorlet_v2_overload_mode_name, 1, "drop_expired_first"},
    {"overload", vorlet_v2_overload_mode_name, 2, "drop_one_way_first"},
    {"overload", vorlet_v2_overload_mode_name, 3, "unknown"},
    {"strategy", vorlet_v2_route_strategy_name, 0, "unspecified"},
    {"strategy", vorlet_v2_route_strategy_name, 3, "rendezvous_hash"},
    {"strategy", vorlet_v2_route_strategy_name, 4, "unknown"},
    {"scope", vorlet_v2_monitor_queue_scope_name, 0, "unknown"},
    {"scope", vorlet_v2_monitor_queue_scope_name, 1, "ingress"},
    {"scope", vorlet_v2_monitor_queue_scope_name, 3, "remote_outbound"},
    {"scope", vorlet_v2_monitor_queue_scope_name, 4, "unknown"},
    {"reject", vorlet_v2_monitor_queue_reject_detail_name, 0, "none"},
    {"reject", vorlet_v2_monitor_queue_reject_detail_name, 2, "remote_reply_reserve"},
    {"reject", vorlet_v2_monitor_queue_reject_detail_name, 3, "unknown"},
    {"role", vorlet_v2_runtime_auth_role_name, 0, "none"},
    {"role", vorlet_v2_runtime_auth_role_name, 3, "admin"},
    {"role", vorlet_v2_runtime_auth_role_name, 4, "unknown"},
    {"auth scope", vorlet_v2_runtime_auth_scope_name, 0, "unknown"},
    {"auth scope", vorlet_v2_runtime_auth_scope_name, 1, "observe"},
    {"auth scope", vorlet_v2_runtime_auth_scope_name, 3, "admin"},
    {"access", vorlet_v2_runtime_auth_access_kind_name, 0, "unknown"},
    {"access", vorlet_v2_runtime_auth_access_kind_name, 2, "control"},
    {"access", vorlet_v2_runtime_auth_access_kind_name, 3, "unknown"},
    {"result", vorlet_v2_runtime_auth_result_code_name, 4, "bad_state"},
    {"result", vorlet_v2_runtime_auth_result_code_name, 5, "unknown"},
    {"job state", vorlet_v2_dubbing_job_state_name, 5, "cancelled"},
    {"job state", vorlet_v2_dubbing_job_state_name, 6, "unknown"},
    {"job stage", vorlet_v2_dubbing_job_stage_name, 3, "translation"},
    {"job stage", vorlet_v2_dubbing_job_stage_name, 6, "publish"},
    {"job stage", vorlet_v2_dubbing_job_stage_name, 7, "unknown"},
    {"event", vorlet_v2_monitor_event_kind_name, 0, "unknown"},
    {"event", vorlet_v2_monitor_event_kind_name, 1, "started"},
    {"event", vorlet_v2_monitor_event_kind_name, 10, "late_remote_reply_dropped"},
    {"event", vorlet_v2_monitor_event_kind_name, 17, "auth_policy_applied"},
    {"event", vorlet_v2_monitor_event_kind_name, 18, "unknown"},
    {"reason", vorlet_v2_deadletter_reason_name, 0, "unspecified"},
    {"reason", vorlet_v2_deadletter_reason_name, 8, "runtime_stopped"},
    {"reason", vorlet_v2_deadletter_reason_name, 14, "one_way_dropped_by_policy"},
    {"reason", vorlet_v2_deadletter_reason_name, 15, "unknown"},
    {"route flag", vorlet_v2_route_flag_name, 0, "none"},
    {"route flag", vorlet_v2_route_flag_name, 1, "prefer_local"},
    {"route flag", vorlet_v2_route_flag_name, 2, nullptr},
    {"endpoint flag", vorlet_v2_endpoint_flag_name, 0, "none"},
    {"endpoint flag", vorlet_v2_endpoint_flag_name, 2, "unavailable"},
    {"endpoint flag", vorlet_v2_endpoint_flag_name, 3, nullptr},
    {"health flag", vorlet_v2_health_flag_name, 0, nullptr},
    {"health flag", vorlet_v2_health_flag_name, 0x1, "process_alive"},
    {"health flag", vorlet_v2_health_flag_name, 0x3, nullptr},
    {"health flag", vorlet_v2_health_flag_name, 0x40, "drained_route_present"},
    {"health flag", vorlet_v2_health_flag_name, 0x80, nullptr},
    {"feature flag", vorlet_v2_runtime_feature_flag_name, 0, nullptr},
    {"feature flag", vorlet_v2_runtime_feature_flag_name, 0x20, "remote_transport"},
    {"feature flag", vorlet_v2_runtime_feature_flag_name, 0x20000, "route_catalog"},
    {"feature flag", vorlet_v2_runtime_feature_flag_name, 0x400000, "auth_security_read"},
    {"feature flag", vorlet_v2_runtime_feature_flag_name, 0x800000, nullptr},
    {"feature flag", vorlet_v2_runtime_feature_flag_name, 0x21, nullptr},
};

TEST(Names, CodeAndFlagNames) {
  for (const NameCase& c : kNameCases) {
    const char* got = c.fn(c.value);
    if (c.name == nullptr) {
      EXPECT_EQ(got, nullptr) << c.set << " " << c.value;
    } else {
      ASSERT_NE(got, nullptr) << c.set << " " << c.value;
      EXPECT_STREQ(got, c.name) << c.set << " " << c.value;
    }
  }
  // The same value always yields the same static text.
  EXPECT_EQ(vorlet_v2_status_name(-3), vorlet_v2_status_name(-3));
}

// Every text of every code set, in value order from its first value; the
// value before the first (when there is one) and the one after the last
// have no name of their own.
struct CodeSet {
  const char* set;
  NameFn fn;
  uint32_t first;
  std::vector<const char*> names;
  const char* outside;  // "unknown" for code sets, nullptr for flags
};

const CodeSet kCodeSets[] = {
    {"state", vorlet_v2_runtime_state_name, 0, {"created", "started", "stopped"}, "unknown"},
    {"overload", vorlet_v2_overload_mode_name, 0, {"reject", "drop_expired_first", "drop_one_way_first"}, "unknown"},
    {"strategy", vorlet_v2_route_strategy_name, 0,
     {"unspecified", "single_owner", "weighted_round_robin", "rendezvous_hash"}, "unknown"},
    {"scope", vorlet_v2_monitor_queue_scope_name, 1, {"ingress", "local_delivery", "remote_outbound"}, "unknown"},
    {"reject", vorlet_v2_monitor_queue_reject_detail_name, 0, {"none", "queue_full", "remote_reply_reserve"},
     "unknown"},
    {"role", vorlet_v2_runtime_auth_role_name, 0, {"none", "viewer", "operator", "admin"}, "unknown"},
    {"auth scope", vorlet_v2_runtime_auth_scope_name, 1, {"observe", "control", "admin"}, "unknown"},
    {"access", vorlet_v2_runtime_auth_access_kind_name, 1, {"observe", "control"}, "unknown"},
    {"result", vorlet_v2_runtime_auth_result_code_name, 0,
     {"ok", "unauthorized", "forbidden", "bad_request", "bad_state"}, "unknown"},
    {"job state", vorlet_v2_dubbing_job_state_name, 0,
     {"none", "queued", "running", "succeeded", "failed", "cancelled"}, "unknown"},
    {"job stage", vorlet_v2_dubbing_job_stage_name, 0,
     {"none", "preflight", "asr", "translation", "tts", "mux", "publish"}, "unknown"},
    {"event", vorlet_v2_monitor_event_kind_name, 1,
     {"started", "stopped", "control_applied", "control_rejected", "queue_rejected", "endpoint_unavailable",
      "remote_response_forwarded", "remote_deadletter_forwarded", "remote_reply_timeout",
      "late_remote_reply_dropped", "remote_transport_failed", "auth_config_applied", "authentication_accepted",
      "authentication_denied", "authorization_accepted", "authorization_denied", "auth_policy_applied"},
     "unknown"},
    {"reason", vorlet_v2_deadletter_reason_name, 0,
     {"unspecified", "no_active_snapshot", "route_miss", "no_responsible_host", "queue_rejected",
      "local_handoff_failed", "delivery_failed", "remote_transport_failed", "runtime_stopped", "invalid_envelope",
      "endpoint_unavailable", "remote_reply_timeout", "locality_mismatch", "expired_before_delivery",
      "one_way_dropped_by_policy"},
     "unknown"},
    {"route flag", vorlet_v2_route_flag_name, 0, {"none", "prefer_local"}, nullptr},
    {"endpoint flag", vorlet_v2_endpoint_flag_name, 0, {"none", "local", "unavailable"}, nullptr},
};

TEST(Names, EveryTextOfEveryCodeSet) {
  for (const CodeSet& c : kCodeSets) {
    for (size_t i = 0; i < c.names.size(); ++i) {
      const uint32_t value = c.first + static_cast<uint32_t>(i);
      ASSERT_NE(c.fn(value), nullptr) << c.set << " " << value;
      EXPECT_STREQ(c.fn(value), c.names[i]) << c.set << " " << value;
    }
    std::vector<uint32_t> outside = {c.first + static_cast<uint32_t>(c.names.size()), 0xFFFFFFFFu};
    if (c.first > 0) outside.push_back(c.first - 1);
    for (uint32_t value : outside) {
      if (c.outside == nullptr) {
        EXPECT_EQ(c.fn(value), nullptr) << c.set << " " << value;
      } else {
        EXPECT_STREQ(c.fn(value), c.outside) << c.set << " " << value;
      }
    }
  }
  // One bit each, in ascending order.
  const char* const health[] = {"process_alive",        "runtime_started",           "control_snapshot_present",
                                "dataplane_ready",      "transport_probe_only",      "remote_outbound_saturated",
                                "drained_route_present"};
  for (uint32_t bit = 0; bit < 7; ++bit) EXPECT_STREQ(vorlet_v2_health_flag_name(1u << bit), health[bit]) << bit;
}

using FormatFn = uint64_t (*)(uint32_t, char*, uint64_t);

struct FormatCase {
  FormatFn fn;
  uint32_t flags;
  uint64_t capacity;
  const char* text;  // what the buffer holds
  uint64_t result;
};

const FormatCase kFormatCases[] = {
    {vorlet_v2_format_runtime_feature_flags, 0x20021, 64, "request_pipe,route_catalog,remote_transport", 43},
    {vorlet_v2_format_health_flags, 0x103, 64, "process_alive,runtime_started,unknown(0x100)", 44},
    {vorlet_v2_format_health_flags, 0x80, 64, "unknown(0x80)", 13},
    {vorlet_v2_format_health_flags, 0, 3, "no", 4},
    {vorlet_v2_format_health_flags, 0, 1, "", 4},
    {vorlet_v2_format_health_flags, 0, 5, "none", 4},
    {vorlet_v2_format_health_flags, 0x1, 5, "proc", 13},
    {vorlet_v2_format_health_flags, 0x1, 14, "process_alive", 13},
    {vorlet_v2_format_health_flags, 0x1, 13, "process_aliv", 13},
    {vorlet_v2_format_runtime_feature_flags, 0x800001, 64, "request_pipe,unknown(0x800000)", 30},
    {vorlet_v2_format_runtime_feature_flags, 0x80000000u, 64, "unknown(0x80000000)", 19},
};

TEST(Names, FlagFormattingCutsAtCapacityAndReturnsTheFullLength) {
  for (const FormatCase& c : kFormatCases) {
    char buffer[80];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(c.fn(c.flags, buffer, c.capacity), c.result) << c.flags << " cap " << c.capacity;
    EXPECT_STREQ(buffer, c.text) << c.flags << " cap " << c.capacity;
    for (size_t i = c.capacity; i < sizeof buffer; ++i) ASSERT_EQ(buffer[i], '#') << "byte " << i;
  }
}

TEST(Names, FormattingWithoutABuffer) {
  EXPECT_EQ(vorlet_v2_format_health_flags(0, nullptr, 10), 4u);
  char c = '#';
  EXPECT_EQ(vorlet_v2_format_health_flags(0x3, &c, 0), 29u);
  EXPECT_EQ(c, '#');
}

TEST(Names, AllFeatureFlagsInTheirFixedOrder) {
  char buffer[400];
  const uint64_t n = vorlet_v2_format_runtime_feature_flags(0x7FFFFF, buffer, sizeof buffer);
  EXPECT_EQ(n, 332u);
  EXPECT_EQ(std::string(buffer),
            "request_pipe,control_pipe,monitor,native_submit,control_json,delivered_request_pipe,"
            "dubbing_jobs,topology_snapshot,monitor_snapshot,route_catalog,event_log,auth_types,"
            "auth_config,auth_gate,auth_policy,auth_context,auth_control_apply,auth_observe_read,"
            "auth_discovery_read,auth_status_read,auth_security_read,remote_transport,jemalloc");
}

}  // namespace
