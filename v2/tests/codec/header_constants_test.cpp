// The public header's named constants against what they name: the
// enumerations of the generated schemas, the library's name functions and
// the core's own enumerations. A constant that drifts from any of them, a
// schema value without its constant, or a named code without a constant
// fails here.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "auth/auth_records.h"
#include "codec/codes.h"
#include "base/status.h"
#include "runtime/deadletter_emit.h"
#include "runtime/event_log.h"
#include "runtime/runtime.h"
#include "vorlet/v2/control.pb.h"
#include "vorlet/v2/transport.pb.h"
#include "vorlet_v2.h"

namespace vorlet::v2 {
namespace {

struct Constant {
  const char* name;
  int64_t value;
};

#define VORLET_CONSTANT(c) Constant{#c, static_cast<int64_t>(c)}

// Every enumeration constant of the header.
const Constant kConstants[] = {
    VORLET_CONSTANT(VORLET_V2_OK),
    VORLET_CONSTANT(VORLET_V2_INVALID_ARG),
    VORLET_CONSTANT(VORLET_V2_NOMEM),
    VORLET_CONSTANT(VORLET_V2_BAD_STATE),
    VORLET_CONSTANT(VORLET_V2_STALE_GENERATION),
    VORLET_CONSTANT(VORLET_V2_IO),
    VORLET_CONSTANT(VORLET_V2_WOULD_BLOCK),
    VORLET_CONSTANT(VORLET_V2_CLOSED),
    VORLET_CONSTANT(VORLET_V2_MESSAGE_KIND_UNSPECIFIED),
    VORLET_CONSTANT(VORLET_V2_MESSAGE_KIND_REQUEST),
    VORLET_CONSTANT(VORLET_V2_MESSAGE_KIND_RESPONSE),
    VORLET_CONSTANT(VORLET_V2_MESSAGE_KIND_EVENT),
    VORLET_CONSTANT(VORLET_V2_BUSINESS_STATUS_UNSPECIFIED),
    VORLET_CONSTANT(VORLET_V2_BUSINESS_STATUS_OK),
    VORLET_CONSTANT(VORLET_V2_BUSINESS_STATUS_ERROR),
    VORLET_CONSTANT(VORLET_V2_DELIVERY_HINT_UNSPECIFIED),
    VORLET_CONSTANT(VORLET_V2_DELIVERY_HINT_ROUTER_DEFAULT),
    VORLET_CONSTANT(VORLET_V2_DELIVERY_HINT_PREFER_LOCAL),
    VORLET_CONSTANT(VORLET_V2_DELIVERY_HINT_REQUIRE_LOCAL),
    VORLET_CONSTANT(VORLET_V2_DELIVERY_HINT_REQUIRE_REMOTE),
    VORLET_CONSTANT(VORLET_V2_PAYLOAD_FORMAT_UNSPECIFIED),
    VORLET_CONSTANT(VORLET_V2_PAYLOAD_FORMAT_JSON),
    VORLET_CONSTANT(VORLET_V2_PAYLOAD_FORMAT_PROTOBUF),
    VORLET_CONSTANT(VORLET_V2_PAYLOAD_FORMAT_THRIFT),
    VORLET_CONSTANT(VORLET_V2_PAYLOAD_FORMAT_MSGPACK),
    VORLET_CONSTANT(VORLET_V2_PAYLOAD_FORMAT_PLAIN_TEXT),
    VORLET_CONSTANT(VORLET_V2_PAYLOAD_FORMAT_BINARY),
    VORLET_CONSTANT(VORLET_V2_DEADLETTER_REASON_UNSPECIFIED),
    VORLET_CONSTANT(VORLET_V2_DEADLETTER_REASON_NO_ACTIVE_SNAPSHOT),
    VORLET_CONSTANT(VORLET_V2_DEADLETTER_REASON_ROUTE_MISS),
    VORLET_CONSTANT(VORLET_V2_DEADLETTER_REASON_NO_RESPONSIBLE_HOST),
    VORLET_CONSTANT(VORLET_V2_DEADLETTER_REASON_QUEUE_REJECTED),
    VORLET_CONSTANT(VORLET_V2_DEADLETTER_REASON_LOCAL_HANDOFF_FAILED),
    VORLET_CONSTANT(VORLET_V2_DEADLETTER_REASON_DELIVERY_FAILED),
    VORLET_CONSTANT(VORLET_V2_DEADLETTER_REASON_REMOTE_TRANSPORT_FAILED),
    VORLET_CONSTANT(VORLET_V2_DEADLETTER_REASON_RUNTIME_STOPPED),
    VORLET_CONSTANT(VORLET_V2_DEADLETTER_REASON_INVALID_ENVELOPE),
    VORLET_CONSTANT(VORLET_V2_DEADLETTER_REASON_ENDPOINT_UNAVAILABLE),
    VORLET_CONSTANT(VORLET_V2_DEADLETTER_REASON_REMOTE_REPLY_TIMEOUT),
    VORLET_CONSTANT(VORLET_V2_DEADLETTER_REASON_LOCALITY_MISMATCH),
    VORLET_CONSTANT(VORLET_V2_DEADLETTER_REASON_EXPIRED_BEFORE_DELIVERY),
    VORLET_CONSTANT(VORLET_V2_DEADLETTER_REASON_ONE_WAY_DROPPED_BY_POLICY),
    VORLET_CONSTANT(VORLET_V2_RUNTIME_CREATED),
    VORLET_CONSTANT(VORLET_V2_RUNTIME_STARTED),
    VORLET_CONSTANT(VORLET_V2_RUNTIME_STOPPED),
    VORLET_CONSTANT(VORLET_V2_HOST_HANDLE_MONITOR_PIPE),
    VORLET_CONSTANT(VORLET_V2_HOST_HANDLE_DELIVERED_PIPE),
    VORLET_CONSTANT(VORLET_V2_CONTROL_KIND_UNSPECIFIED),
    VORLET_CONSTANT(VORLET_V2_CONTROL_KIND_APPLY_SNAPSHOT),
    VORLET_CONSTANT(VORLET_V2_CONTROL_KIND_ACK),
    VORLET_CONSTANT(VORLET_V2_CONTROL_KIND_NACK),
    VORLET_CONSTANT(VORLET_V2_CONFIG_FORMAT_UNSPECIFIED),
    VORLET_CONSTANT(VORLET_V2_CONFIG_FORMAT_JSON),
    VORLET_CONSTANT(VORLET_V2_CONFIG_FORMAT_PROTOBUF),
    VORLET_CONSTANT(VORLET_V2_CONTROL_PAYLOAD_TYPE_UNSPECIFIED),
    VORLET_CONSTANT(VORLET_V2_CONTROL_PAYLOAD_TYPE_ROUTE_SNAPSHOT),
    VORLET_CONSTANT(VORLET_V2_ROUTE_STRATEGY_UNSPECIFIED),
    VORLET_CONSTANT(VORLET_V2_ROUTE_STRATEGY_SINGLE_OWNER),
    VORLET_CONSTANT(VORLET_V2_ROUTE_STRATEGY_WEIGHTED_ROUND_ROBIN),
    VORLET_CONSTANT(VORLET_V2_ROUTE_STRATEGY_RENDEZVOUS_HASH),
    VORLET_CONSTANT(VORLET_V2_ROUTE_FLAG_PREFER_LOCAL),
    VORLET_CONSTANT(VORLET_V2_ENDPOINT_FLAG_LOCAL),
    VORLET_CONSTANT(VORLET_V2_ENDPOINT_FLAG_UNAVAILABLE),
    VORLET_CONSTANT(VORLET_V2_OVERLOAD_MODE_REJECT),
    VORLET_CONSTANT(VORLET_V2_OVERLOAD_MODE_DROP_EXPIRED_FIRST),
    VORLET_CONSTANT(VORLET_V2_OVERLOAD_MODE_DROP_ONE_WAY_FIRST),
    VORLET_CONSTANT(VORLET_V2_MONITOR_EVENT_STARTED),
    VORLET_CONSTANT(VORLET_V2_MONITOR_EVENT_STOPPED),
    VORLET_CONSTANT(VORLET_V2_MONITOR_EVENT_CONTROL_APPLIED),
    VORLET_CONSTANT(VORLET_V2_MONITOR_EVENT_CONTROL_REJECTED),
    VORLET_CONSTANT(VORLET_V2_MONITOR_EVENT_QUEUE_REJECTED),
    VORLET_CONSTANT(VORLET_V2_MONITOR_EVENT_ENDPOINT_UNAVAILABLE),
    VORLET_CONSTANT(VORLET_V2_MONITOR_EVENT_REMOTE_RESPONSE_FORWARDED),
    VORLET_CONSTANT(VORLET_V2_MONITOR_EVENT_REMOTE_DEADLETTER_FORWARDED),
    VORLET_CONSTANT(VORLET_V2_MONITOR_EVENT_REMOTE_REPLY_TIMEOUT),
    VORLET_CONSTANT(VORLET_V2_MONITOR_EVENT_LATE_REMOTE_REPLY_DROPPED),
    VORLET_CONSTANT(VORLET_V2_MONITOR_EVENT_REMOTE_TRANSPORT_FAILED),
    VORLET_CONSTANT(VORLET_V2_MONITOR_EVENT_AUTH_CONFIG_APPLIED),
    VORLET_CONSTANT(VORLET_V2_MONITOR_EVENT_AUTHENTICATION_ACCEPTED),
    VORLET_CONSTANT(VORLET_V2_MONITOR_EVENT_AUTHENTICATION_DENIED),
    VORLET_CONSTANT(VORLET_V2_MONITOR_EVENT_AUTHORIZATION_ACCEPTED),
    VORLET_CONSTANT(VORLET_V2_MONITOR_EVENT_AUTHORIZATION_DENIED),
    VORLET_CONSTANT(VORLET_V2_MONITOR_EVENT_AUTH_POLICY_APPLIED),
    VORLET_CONSTANT(VORLET_V2_MONITOR_QUEUE_SCOPE_INGRESS),
    VORLET_CONSTANT(VORLET_V2_MONITOR_QUEUE_SCOPE_LOCAL_DELIVERY),
    VORLET_CONSTANT(VORLET_V2_MONITOR_QUEUE_SCOPE_REMOTE_OUTBOUND),
    VORLET_CONSTANT(VORLET_V2_MONITOR_QUEUE_REJECT_NONE),
    VORLET_CONSTANT(VORLET_V2_MONITOR_QUEUE_REJECT_QUEUE_FULL),
    VORLET_CONSTANT(VORLET_V2_MONITOR_QUEUE_REJECT_REMOTE_REPLY_RESERVE),
    VORLET_CONSTANT(VORLET_V2_AUTH_ROLE_NONE),
    VORLET_CONSTANT(VORLET_V2_AUTH_ROLE_VIEWER),
    VORLET_CONSTANT(VORLET_V2_AUTH_ROLE_OPERATOR),
    VORLET_CONSTANT(VORLET_V2_AUTH_ROLE_ADMIN),
    VORLET_CONSTANT(VORLET_V2_AUTH_SCOPE_OBSERVE),
    VORLET_CONSTANT(VORLET_V2_AUTH_SCOPE_CONTROL),
    VORLET_CONSTANT(VORLET_V2_AUTH_SCOPE_ADMIN),
    VORLET_CONSTANT(VORLET_V2_AUTH_ACCESS_OBSERVE),
    VORLET_CONSTANT(VORLET_V2_AUTH_ACCESS_CONTROL),
    VORLET_CONSTANT(VORLET_V2_AUTH_RESULT_OK),
    VORLET_CONSTANT(VORLET_V2_AUTH_RESULT_UNAUTHORIZED),
    VORLET_CONSTANT(VORLET_V2_AUTH_RESULT_FORBIDDEN),
    VORLET_CONSTANT(VORLET_V2_AUTH_RESULT_BAD_REQUEST),
    VORLET_CONSTANT(VORLET_V2_AUTH_RESULT_BAD_STATE),
    VORLET_CONSTANT(VORLET_V2_HEALTH_PROCESS_ALIVE),
    VORLET_CONSTANT(VORLET_V2_HEALTH_RUNTIME_STARTED),
    VORLET_CONSTANT(VORLET_V2_HEALTH_CONTROL_SNAPSHOT_PRESENT),
    VORLET_CONSTANT(VORLET_V2_HEALTH_DATAPLANE_READY),
    VORLET_CONSTANT(VORLET_V2_HEALTH_TRANSPORT_PROBE_ONLY),
    VORLET_CONSTANT(VORLET_V2_HEALTH_REMOTE_OUTBOUND_SATURATED),
    VORLET_CONSTANT(VORLET_V2_HEALTH_DRAINED_ROUTE_PRESENT),
    VORLET_CONSTANT(VORLET_V2_FEATURE_REQUEST_PIPE),
    VORLET_CONSTANT(VORLET_V2_FEATURE_CONTROL_PIPE),
    VORLET_CONSTANT(VORLET_V2_FEATURE_MONITOR),
    VORLET_CONSTANT(VORLET_V2_FEATURE_NATIVE_SUBMIT),
    VORLET_CONSTANT(VORLET_V2_FEATURE_CONTROL_JSON),
    VORLET_CONSTANT(VORLET_V2_FEATURE_REMOTE_TRANSPORT),
    VORLET_CONSTANT(VORLET_V2_FEATURE_JEMALLOC),
    VORLET_CONSTANT(VORLET_V2_FEATURE_DELIVERED_REQUEST_PIPE),
    VORLET_CONSTANT(VORLET_V2_FEATURE_DUBBING_JOBS),
    VORLET_CONSTANT(VORLET_V2_FEATURE_TOPOLOGY_SNAPSHOT),
    VORLET_CONSTANT(VORLET_V2_FEATURE_MONITOR_SNAPSHOT),
    VORLET_CONSTANT(VORLET_V2_FEATURE_EVENT_LOG),
    VORLET_CONSTANT(VORLET_V2_FEATURE_AUTH_TYPES),
    VORLET_CONSTANT(VORLET_V2_FEATURE_AUTH_CONFIG),
    VORLET_CONSTANT(VORLET_V2_FEATURE_AUTH_GATE),
    VORLET_CONSTANT(VORLET_V2_FEATURE_AUTH_POLICY),
    VORLET_CONSTANT(VORLET_V2_FEATURE_AUTH_CONTEXT),
    VORLET_CONSTANT(VORLET_V2_FEATURE_ROUTE_CATALOG),
    VORLET_CONSTANT(VORLET_V2_FEATURE_AUTH_CONTROL_APPLY),
    VORLET_CONSTANT(VORLET_V2_FEATURE_AUTH_OBSERVE_READ),
    VORLET_CONSTANT(VORLET_V2_FEATURE_AUTH_DISCOVERY_READ),
    VORLET_CONSTANT(VORLET_V2_FEATURE_AUTH_STATUS_READ),
    VORLET_CONSTANT(VORLET_V2_FEATURE_AUTH_SECURITY_READ),
    VORLET_CONSTANT(VORLET_V2_SURFACE_DISCOVERY),
    VORLET_CONSTANT(VORLET_V2_SURFACE_OBSERVE),
    VORLET_CONSTANT(VORLET_V2_SURFACE_EVENT_LOG),
    VORLET_CONSTANT(VORLET_V2_SURFACE_CONTROL),
    VORLET_CONSTANT(VORLET_V2_SURFACE_REQUEST_DRIVER),
    VORLET_CONSTANT(VORLET_V2_DUBBING_JOB_NONE),
    VORLET_CONSTANT(VORLET_V2_DUBBING_JOB_QUEUED),
    VORLET_CONSTANT(VORLET_V2_DUBBING_JOB_RUNNING),
    VORLET_CONSTANT(VORLET_V2_DUBBING_JOB_SUCCEEDED),
    VORLET_CONSTANT(VORLET_V2_DUBBING_JOB_FAILED),
    VORLET_CONSTANT(VORLET_V2_DUBBING_JOB_CANCELLED),
    VORLET_CONSTANT(VORLET_V2_DUBBING_STAGE_NONE),
    VORLET_CONSTANT(VORLET_V2_DUBBING_STAGE_PREFLIGHT),
    VORLET_CONSTANT(VORLET_V2_DUBBING_STAGE_ASR),
    VORLET_CONSTANT(VORLET_V2_DUBBING_STAGE_TRANSLATION),
    VORLET_CONSTANT(VORLET_V2_DUBBING_STAGE_TTS),
    VORLET_CONSTANT(VORLET_V2_DUBBING_STAGE_MUX),
    VORLET_CONSTANT(VORLET_V2_DUBBING_STAGE_PUBLISH),
    VORLET_CONSTANT(VORLET_V2_REPLY_KIND_NONE),
    VORLET_CONSTANT(VORLET_V2_REPLY_KIND_RESPONSE),
    VORLET_CONSTANT(VORLET_V2_REPLY_KIND_DEADLETTER),
};

#undef VORLET_CONSTANT

// The constants whose name begins with prefix, by the rest of the name.
std::vector<std::pair<std::string, int64_t>> family(const char* prefix) {
  std::vector<std::pair<std::string, int64_t>> out;
  const size_t n = std::strlen(prefix);
  for (const Constant& c : kConstants) {
    if (std::strncmp(c.name, prefix, n) == 0) out.emplace_back(c.name + n, c.value);
  }
  return out;
}

std::string lower(std::string text) {
  for (char& ch : text) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return text;
}

using NameFn = const char* (*)(uint32_t);

// One enumeration of a schema: its values' names start with schema_prefix;
// the header spells each as header_prefix and the rest of the name.
struct SchemaFamily {
  const google::protobuf::EnumDescriptor* (*descriptor)();
  const char* schema_prefix;
  const char* header_prefix;
  NameFn name;  // the library's name function, or nullptr
};

const SchemaFamily kSchemaFamilies[] = {
    {transport::MessageKind_descriptor, "MESSAGE_KIND_", "VORLET_V2_MESSAGE_KIND_", nullptr},
    {transport::BusinessStatus_descriptor, "BUSINESS_STATUS_", "VORLET_V2_BUSINESS_STATUS_", nullptr},
    {transport::DeliveryHint_descriptor, "DELIVERY_HINT_", "VORLET_V2_DELIVERY_HINT_", nullptr},
    {transport::PayloadFormat_descriptor, "PAYLOAD_FORMAT_", "VORLET_V2_PAYLOAD_FORMAT_", nullptr},
    {transport::DeadletterReason_descriptor, "DEADLETTER_REASON_", "VORLET_V2_DEADLETTER_REASON_",
     vorlet_v2_deadletter_reason_name},
    {control::ControlKind_descriptor, "CONTROL_KIND_", "VORLET_V2_CONTROL_KIND_", nullptr},
    {control::ConfigFormat_descriptor, "CONFIG_FORMAT_", "VORLET_V2_CONFIG_FORMAT_", nullptr},
    {control::ControlPayloadType_descriptor, "CONTROL_PAYLOAD_TYPE_", "VORLET_V2_CONTROL_PAYLOAD_TYPE_", nullptr},
    {control::RouteResolutionStrategy_descriptor, "ROUTE_RESOLUTION_STRATEGY_", "VORLET_V2_ROUTE_STRATEGY_",
     vorlet_v2_route_strategy_name},
    {control::OverloadMode_descriptor, "OVERLOAD_MODE_", "VORLET_V2_OVERLOAD_MODE_", vorlet_v2_overload_mode_name},
};

TEST(HeaderConstants, EverySchemaEnumerationHasItsConstantsWithTheSchemaNumbers) {
  for (const SchemaFamily& f : kSchemaFamilies) {
    const google::protobuf::EnumDescriptor* d = f.descriptor();
    SCOPED_TRACE(d->full_name());
    const auto constants = family(f.header_prefix);
    std::set<std::string> seen;
    for (int i = 0; i < d->value_count(); ++i) {
      const google::protobuf::EnumValueDescriptor* v = d->value(i);
      ASSERT_EQ(v->name().rfind(f.schema_prefix, 0), 0u) << v->name();
      const std::string rest = v->name().substr(std::strlen(f.schema_prefix));
      seen.insert(rest);
      bool found = false;
      for (const auto& [name, value] : constants) {
        if (name != rest) continue;
        found = true;
        EXPECT_EQ(value, v->number()) << f.header_prefix << name;
      }
      EXPECT_TRUE(found) << "no constant " << f.header_prefix << rest;
      if (f.name != nullptr) {
        EXPECT_EQ(f.name(static_cast<uint32_t>(v->number())), lower(rest));
      }
    }
    // And no constant names a value the schema does not have.
    for (const auto& [name, value] : constants) {
      EXPECT_EQ(seen.count(name), 1u) << f.header_prefix << name << " is not in the schema";
    }
  }
}

// A family of codes or flags that the library names without a schema.
struct NamedFamily {
  const char* header_prefix;
  NameFn name;
  bool single_bits;  // a flag set: only single bits are named constants
};

const NamedFamily kNamedFamilies[] = {
    {"VORLET_V2_RUNTIME_", vorlet_v2_runtime_state_name, false},
    {"VORLET_V2_MONITOR_EVENT_", vorlet_v2_monitor_event_kind_name, false},
    {"VORLET_V2_MONITOR_QUEUE_SCOPE_", vorlet_v2_monitor_queue_scope_name, false},
    {"VORLET_V2_MONITOR_QUEUE_REJECT_", vorlet_v2_monitor_queue_reject_detail_name, false},
    {"VORLET_V2_AUTH_ROLE_", vorlet_v2_runtime_auth_role_name, false},
    {"VORLET_V2_AUTH_SCOPE_", vorlet_v2_runtime_auth_scope_name, false},
    {"VORLET_V2_AUTH_ACCESS_", vorlet_v2_runtime_auth_access_kind_name, false},
    {"VORLET_V2_AUTH_RESULT_", vorlet_v2_runtime_auth_result_code_name, false},
    {"VORLET_V2_DUBBING_JOB_", vorlet_v2_dubbing_job_state_name, false},
    {"VORLET_V2_DUBBING_STAGE_", vorlet_v2_dubbing_job_stage_name, false},
    {"VORLET_V2_SURFACE_", vorlet_v2_runtime_surface_profile_name, false},
    {"VORLET_V2_HEALTH_", vorlet_v2_health_flag_name, true},
    {"VORLET_V2_FEATURE_", vorlet_v2_runtime_feature_flag_name, true},
    {"VORLET_V2_ROUTE_FLAG_", vorlet_v2_route_flag_name, true},
    {"VORLET_V2_ENDPOINT_FLAG_", vorlet_v2_endpoint_flag_name, true},
};

TEST(HeaderConstants, EveryNamedCodeAndFlagHasItsConstant) {
  for (const NamedFamily& f : kNamedFamilies) {
    SCOPED_TRACE(f.header_prefix);
    std::set<int64_t> constant_values;
    for (const auto& [name, value] : family(f.header_prefix)) {
      constant_values.insert(value);
      const char* named = f.name(static_cast<uint32_t>(value));
      ASSERT_NE(named, nullptr) << name;
      EXPECT_EQ(named, lower(name)) << name;
    }
    // Every value the library names has its constant.
    std::set<int64_t> named_values;
    if (f.single_bits) {
      for (int bit = 0; bit < 32; ++bit) {
        if (f.name(1u << bit) != nullptr) named_values.insert(int64_t{1} << bit);
      }
    } else {
      for (uint32_t v = 0; v < 1024; ++v) {
        if (std::strcmp(f.name(v), "unknown") != 0) named_values.insert(v);
      }
    }
    EXPECT_EQ(constant_values, named_values);
  }
}

TEST(HeaderConstants, StatusCodesAreTheCoresAndCarryTheirNames) {
  const Constant statuses[] = {{"ok", VORLET_V2_OK},
                               {"invalid_arg", VORLET_V2_INVALID_ARG},
                               {"nomem", VORLET_V2_NOMEM},
                               {"bad_state", VORLET_V2_BAD_STATE},
                               {"stale_generation", VORLET_V2_STALE_GENERATION},
                               {"io", VORLET_V2_IO},
                               {"would_block", VORLET_V2_WOULD_BLOCK},
                               {"closed", VORLET_V2_CLOSED}};
  std::set<int64_t> named;
  for (int32_t v = -1024; v <= 1024; ++v) {
    if (std::strcmp(vorlet_v2_status_name(v), "unknown") != 0) named.insert(v);
  }
  std::set<int64_t> listed;
  for (const Constant& c : statuses) {
    listed.insert(c.value);
    EXPECT_STREQ(vorlet_v2_status_name(static_cast<int32_t>(c.value)), c.name);
  }
  EXPECT_EQ(listed, named);
}

// The core's own enumerations speak the header's numbers.
static_assert(to_c(Status::ok) == VORLET_V2_OK && to_c(Status::invalid_arg) == VORLET_V2_INVALID_ARG &&
              to_c(Status::nomem) == VORLET_V2_NOMEM && to_c(Status::bad_state) == VORLET_V2_BAD_STATE &&
              to_c(Status::stale_generation) == VORLET_V2_STALE_GENERATION && to_c(Status::io) == VORLET_V2_IO &&
              to_c(Status::would_block) == VORLET_V2_WOULD_BLOCK && to_c(Status::closed) == VORLET_V2_CLOSED);
static_assert(wire(MessageKind::unspecified) == VORLET_V2_MESSAGE_KIND_UNSPECIFIED &&
              wire(MessageKind::request) == VORLET_V2_MESSAGE_KIND_REQUEST &&
              wire(MessageKind::response) == VORLET_V2_MESSAGE_KIND_RESPONSE &&
              wire(MessageKind::event) == VORLET_V2_MESSAGE_KIND_EVENT);
static_assert(wire(DeliveryHint::unspecified) == VORLET_V2_DELIVERY_HINT_UNSPECIFIED &&
              wire(DeliveryHint::router_default) == VORLET_V2_DELIVERY_HINT_ROUTER_DEFAULT &&
              wire(DeliveryHint::prefer_local) == VORLET_V2_DELIVERY_HINT_PREFER_LOCAL &&
              wire(DeliveryHint::require_local) == VORLET_V2_DELIVERY_HINT_REQUIRE_LOCAL &&
              wire(DeliveryHint::require_remote) == VORLET_V2_DELIVERY_HINT_REQUIRE_REMOTE);
static_assert(static_cast<uint32_t>(RuntimeState::created) == VORLET_V2_RUNTIME_CREATED &&
              static_cast<uint32_t>(RuntimeState::started) == VORLET_V2_RUNTIME_STARTED &&
              static_cast<uint32_t>(RuntimeState::stopped) == VORLET_V2_RUNTIME_STOPPED);
static_assert(static_cast<int32_t>(ReplyKind::none) == VORLET_V2_REPLY_KIND_NONE &&
              static_cast<int32_t>(ReplyKind::response) == VORLET_V2_REPLY_KIND_RESPONSE &&
              static_cast<int32_t>(ReplyKind::deadletter) == VORLET_V2_REPLY_KIND_DEADLETTER);
static_assert(static_cast<uint32_t>(MonitorQueueScope::ingress) == VORLET_V2_MONITOR_QUEUE_SCOPE_INGRESS &&
              static_cast<uint32_t>(MonitorQueueScope::local_delivery) ==
                  VORLET_V2_MONITOR_QUEUE_SCOPE_LOCAL_DELIVERY &&
              static_cast<uint32_t>(MonitorQueueScope::remote_outbound) ==
                  VORLET_V2_MONITOR_QUEUE_SCOPE_REMOTE_OUTBOUND);
static_assert(static_cast<uint32_t>(MonitorQueueRejectDetail::none) == VORLET_V2_MONITOR_QUEUE_REJECT_NONE &&
              static_cast<uint32_t>(MonitorQueueRejectDetail::queue_full) ==
                  VORLET_V2_MONITOR_QUEUE_REJECT_QUEUE_FULL &&
              static_cast<uint32_t>(MonitorQueueRejectDetail::remote_reply_reserve) ==
                  VORLET_V2_MONITOR_QUEUE_REJECT_REMOTE_REPLY_RESERVE);
static_assert(static_cast<uint32_t>(AuthRole::none) == VORLET_V2_AUTH_ROLE_NONE &&
              static_cast<uint32_t>(AuthRole::viewer) == VORLET_V2_AUTH_ROLE_VIEWER &&
              static_cast<uint32_t>(AuthRole::operator_) == VORLET_V2_AUTH_ROLE_OPERATOR &&
              static_cast<uint32_t>(AuthRole::admin) == VORLET_V2_AUTH_ROLE_ADMIN);
static_assert(static_cast<uint32_t>(AuthScope::observe) == VORLET_V2_AUTH_SCOPE_OBSERVE &&
              static_cast<uint32_t>(AuthScope::control) == VORLET_V2_AUTH_SCOPE_CONTROL &&
              static_cast<uint32_t>(AuthScope::admin) == VORLET_V2_AUTH_SCOPE_ADMIN);
static_assert(static_cast<uint32_t>(AuthAccessKind::observe) == VORLET_V2_AUTH_ACCESS_OBSERVE &&
              static_cast<uint32_t>(AuthAccessKind::control) == VORLET_V2_AUTH_ACCESS_CONTROL);
static_assert(static_cast<uint32_t>(AuthResultCode::ok) == VORLET_V2_AUTH_RESULT_OK &&
              static_cast<uint32_t>(AuthResultCode::unauthorized) == VORLET_V2_AUTH_RESULT_UNAUTHORIZED &&
              static_cast<uint32_t>(AuthResultCode::forbidden) == VORLET_V2_AUTH_RESULT_FORBIDDEN &&
              static_cast<uint32_t>(AuthResultCode::bad_request) == VORLET_V2_AUTH_RESULT_BAD_REQUEST &&
              static_cast<uint32_t>(AuthResultCode::bad_state) == VORLET_V2_AUTH_RESULT_BAD_STATE);

// The two core enumerations that the events and deadletters carry, value
// by value: a kind or reason renumbered in the core fails here.
TEST(HeaderConstants, CoreEventKindsAndReasonsAreTheHeaders) {
  const std::pair<MonitorEventKind, uint32_t> kinds[] = {
      {MonitorEventKind::started, VORLET_V2_MONITOR_EVENT_STARTED},
      {MonitorEventKind::stopped, VORLET_V2_MONITOR_EVENT_STOPPED},
      {MonitorEventKind::control_applied, VORLET_V2_MONITOR_EVENT_CONTROL_APPLIED},
      {MonitorEventKind::control_rejected, VORLET_V2_MONITOR_EVENT_CONTROL_REJECTED},
      {MonitorEventKind::queue_rejected, VORLET_V2_MONITOR_EVENT_QUEUE_REJECTED},
      {MonitorEventKind::endpoint_unavailable, VORLET_V2_MONITOR_EVENT_ENDPOINT_UNAVAILABLE},
      {MonitorEventKind::remote_response_forwarded, VORLET_V2_MONITOR_EVENT_REMOTE_RESPONSE_FORWARDED},
      {MonitorEventKind::remote_deadletter_forwarded, VORLET_V2_MONITOR_EVENT_REMOTE_DEADLETTER_FORWARDED},
      {MonitorEventKind::remote_reply_timeout, VORLET_V2_MONITOR_EVENT_REMOTE_REPLY_TIMEOUT},
      {MonitorEventKind::late_remote_reply_dropped, VORLET_V2_MONITOR_EVENT_LATE_REMOTE_REPLY_DROPPED},
      {MonitorEventKind::remote_transport_failed, VORLET_V2_MONITOR_EVENT_REMOTE_TRANSPORT_FAILED},
      {MonitorEventKind::auth_config_applied, VORLET_V2_MONITOR_EVENT_AUTH_CONFIG_APPLIED},
      {MonitorEventKind::authentication_accepted, VORLET_V2_MONITOR_EVENT_AUTHENTICATION_ACCEPTED},
      {MonitorEventKind::authentication_denied, VORLET_V2_MONITOR_EVENT_AUTHENTICATION_DENIED},
      {MonitorEventKind::authorization_accepted, VORLET_V2_MONITOR_EVENT_AUTHORIZATION_ACCEPTED},
      {MonitorEventKind::authorization_denied, VORLET_V2_MONITOR_EVENT_AUTHORIZATION_DENIED},
      {MonitorEventKind::auth_policy_applied, VORLET_V2_MONITOR_EVENT_AUTH_POLICY_APPLIED},
  };
  EXPECT_EQ(std::size(kinds), family("VORLET_V2_MONITOR_EVENT_").size());
  for (auto [core, header] : kinds) EXPECT_EQ(static_cast<uint32_t>(core), header);

  // Every reason is numbered in the core as in the schema, which the test
  // above ties to the header.
  const google::protobuf::EnumDescriptor* reasons = transport::DeadletterReason_descriptor();
  const std::pair<DeadletterReason, const char*> core_reasons[] = {
      {DeadletterReason::unspecified, "DEADLETTER_REASON_UNSPECIFIED"},
      {DeadletterReason::no_active_snapshot, "DEADLETTER_REASON_NO_ACTIVE_SNAPSHOT"},
      {DeadletterReason::route_miss, "DEADLETTER_REASON_ROUTE_MISS"},
      {DeadletterReason::no_responsible_host, "DEADLETTER_REASON_NO_RESPONSIBLE_HOST"},
      {DeadletterReason::queue_rejected, "DEADLETTER_REASON_QUEUE_REJECTED"},
      {DeadletterReason::local_handoff_failed, "DEADLETTER_REASON_LOCAL_HANDOFF_FAILED"},
      {DeadletterReason::delivery_failed, "DEADLETTER_REASON_DELIVERY_FAILED"},
      {DeadletterReason::remote_transport_failed, "DEADLETTER_REASON_REMOTE_TRANSPORT_FAILED"},
      {DeadletterReason::runtime_stopped, "DEADLETTER_REASON_RUNTIME_STOPPED"},
      {DeadletterReason::invalid_envelope, "DEADLETTER_REASON_INVALID_ENVELOPE"},
      {DeadletterReason::endpoint_unavailable, "DEADLETTER_REASON_ENDPOINT_UNAVAILABLE"},
      {DeadletterReason::remote_reply_timeout, "DEADLETTER_REASON_REMOTE_REPLY_TIMEOUT"},
      {DeadletterReason::locality_mismatch, "DEADLETTER_REASON_LOCALITY_MISMATCH"},
      {DeadletterReason::expired_before_delivery, "DEADLETTER_REASON_EXPIRED_BEFORE_DELIVERY"},
      {DeadletterReason::one_way_dropped_by_policy, "DEADLETTER_REASON_ONE_WAY_DROPPED_BY_POLICY"},
  };
  EXPECT_EQ(std::size(core_reasons), static_cast<size_t>(reasons->value_count()));
  for (auto [core, name] : core_reasons) {
    const google::protobuf::EnumValueDescriptor* v = reasons->FindValueByName(name);
    ASSERT_NE(v, nullptr) << name;
    EXPECT_EQ(static_cast<int32_t>(core), v->number()) << name;
  }
}

// The codec's message kinds and delivery hints, value by value against the
// schema: one the schema gains, or one renumbered in the core, fails here.
TEST(HeaderConstants, CoreMessageKindsAndDeliveryHintsAreTheSchemas) {
  const google::protobuf::EnumDescriptor* kinds = transport::MessageKind_descriptor();
  const std::pair<MessageKind, const char*> core_kinds[] = {
      {MessageKind::unspecified, "MESSAGE_KIND_UNSPECIFIED"},
      {MessageKind::request, "MESSAGE_KIND_REQUEST"},
      {MessageKind::response, "MESSAGE_KIND_RESPONSE"},
      {MessageKind::event, "MESSAGE_KIND_EVENT"},
  };
  EXPECT_EQ(std::size(core_kinds), static_cast<size_t>(kinds->value_count()));
  for (auto [core, name] : core_kinds) {
    const google::protobuf::EnumValueDescriptor* v = kinds->FindValueByName(name);
    ASSERT_NE(v, nullptr) << name;
    EXPECT_EQ(wire(core), v->number()) << name;
  }

  const google::protobuf::EnumDescriptor* hints = transport::DeliveryHint_descriptor();
  const std::pair<DeliveryHint, const char*> core_hints[] = {
      {DeliveryHint::unspecified, "DELIVERY_HINT_UNSPECIFIED"},
      {DeliveryHint::router_default, "DELIVERY_HINT_ROUTER_DEFAULT"},
      {DeliveryHint::prefer_local, "DELIVERY_HINT_PREFER_LOCAL"},
      {DeliveryHint::require_local, "DELIVERY_HINT_REQUIRE_LOCAL"},
      {DeliveryHint::require_remote, "DELIVERY_HINT_REQUIRE_REMOTE"},
  };
  EXPECT_EQ(std::size(core_hints), static_cast<size_t>(hints->value_count()));
  for (auto [core, name] : core_hints) {
    const google::protobuf::EnumValueDescriptor* v = hints->FindValueByName(name);
    ASSERT_NE(v, nullptr) << name;
    EXPECT_EQ(static_cast<int64_t>(wire(core)), v->number()) << name;
  }
}

}  // namespace
}  // namespace vorlet::v2
