#include "observe/info.h"

#include <cstddef>

#include "base/record.h"

namespace vorlet::v2 {

constexpr FieldSpan kInfoFields[] = {
    VORLET_FIELD_AT(RuntimeInfo, struct_size, 0),
    VORLET_FIELD_AT(RuntimeInfo, abi_version, 8),
    VORLET_FIELD_AT(RuntimeInfo, feature_flags, 12),
    VORLET_FIELD_AT(RuntimeInfo, version, 16),
    VORLET_FIELD_AT(RuntimeInfo, build_revision, 24),
    VORLET_FIELD_AT(RuntimeInfo, transport, 32),
    VORLET_FIELD_AT(RuntimeInfo, allocator, 40),
    VORLET_FIELD_AT(RuntimeInfo, contract_document, 48),
    VORLET_FIELD_AT(RuntimeInfo, wire_protocol, 56),
    VORLET_FIELD_AT(RuntimeInfo, contract_version, 64),
    VORLET_PADDING_AT(68, 4),  // the struct's tail padding: never written
};
static_assert(record_table_covers<RuntimeInfo>(kInfoFields, 72));
static_assert(sizeof(VORLET_BUILD_REVISION) == 9, "the build revision has eight characters");

namespace {

struct SurfaceProfile {
  const char* name;
  uint32_t required;
};

constexpr uint32_t kAuthBase =
    VORLET_V2_FEATURE_AUTH_TYPES | VORLET_V2_FEATURE_AUTH_POLICY | VORLET_V2_FEATURE_AUTH_CONTEXT;

// Indexed by profile id - 1.
constexpr SurfaceProfile kProfiles[] = {
    {"discovery", VORLET_V2_FEATURE_TOPOLOGY_SNAPSHOT | VORLET_V2_FEATURE_ROUTE_CATALOG |
                      VORLET_V2_FEATURE_AUTH_DISCOVERY_READ | kAuthBase},
    {"observe", VORLET_V2_FEATURE_MONITOR | VORLET_V2_FEATURE_MONITOR_SNAPSHOT | VORLET_V2_FEATURE_EVENT_LOG |
                    VORLET_V2_FEATURE_AUTH_OBSERVE_READ | VORLET_V2_FEATURE_AUTH_STATUS_READ |
                    VORLET_V2_FEATURE_AUTH_SECURITY_READ | kAuthBase},
    {"event_log", VORLET_V2_FEATURE_EVENT_LOG | VORLET_V2_FEATURE_AUTH_OBSERVE_READ | kAuthBase},
    {"control", VORLET_V2_FEATURE_CONTROL_JSON | VORLET_V2_FEATURE_AUTH_CONFIG | VORLET_V2_FEATURE_AUTH_GATE |
                    VORLET_V2_FEATURE_AUTH_CONTROL_APPLY | kAuthBase},
    {"request_driver", VORLET_V2_FEATURE_REQUEST_PIPE | VORLET_V2_FEATURE_NATIVE_SUBMIT |
                           VORLET_V2_FEATURE_REMOTE_TRANSPORT | VORLET_V2_FEATURE_DELIVERED_REQUEST_PIPE},
};
static_assert(kProfiles[0].required == 0x139200u);
static_assert(kProfiles[1].required == 0x699C04u);
static_assert(kProfiles[2].required == 0x99800u);
static_assert(kProfiles[3].required == 0x5F010u);
static_assert(kProfiles[4].required == 0xA9u);

const SurfaceProfile* find_profile(uint32_t profile) noexcept {
  if (profile == 0 || profile > sizeof kProfiles / sizeof kProfiles[0]) return nullptr;
  return &kProfiles[profile - 1];
}

}  // namespace

Status info_get(RuntimeInfo* out) noexcept {
  if (out == nullptr) return Status::invalid_arg;
  RuntimeInfo info{};
  info.abi_version = kAbiVersion;
  info.feature_flags = kRuntimeFeatureFlags;
  info.version = VORLET_V2_VERSION;
  info.build_revision = VORLET_BUILD_REVISION;
  info.transport = "tcp";
  info.allocator = "libc";
  info.contract_document = "docs/runtime/runtime-connector-contract.md";
  info.wire_protocol = "tcp-frame";
  info.contract_version = 1;
  record_write(out, info, kInfoFields);
  return Status::ok;
}

const char* surface_profile_name(uint32_t profile) noexcept {
  const SurfaceProfile* p = find_profile(profile);
  return p != nullptr ? p->name : "unknown";
}

uint32_t surface_required_features(uint32_t profile) noexcept {
  const SurfaceProfile* p = find_profile(profile);
  return p != nullptr ? p->required : 0;
}

int32_t surface_check_features(uint32_t available, uint32_t profile, uint32_t* missing_out) noexcept {
  const SurfaceProfile* p = find_profile(profile);
  const uint32_t missing = p != nullptr ? p->required & ~available : 0;
  if (missing_out != nullptr) *missing_out = missing;
  return (p != nullptr && missing == 0) ? 1 : 0;
}

}  // namespace vorlet::v2
