#include "runtime/control_parse.h"

#include <google/protobuf/descriptor.h>
#include <google/protobuf/descriptor.pb.h>
#include <google/protobuf/dynamic_message.h>
#include <google/protobuf/struct.pb.h>
#include <google/protobuf/util/json_util.h>
#include <google/protobuf/util/type_resolver.h>
#include <google/protobuf/util/type_resolver_util.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/text.h"
#include "codec/message_buffer.h"
#include "codec/scratch_arena.h"
#include "vorlet/v2/control.pb.h"

namespace vorlet::v2 {

static_assert(sizeof(vorlet_v2_OverloadPolicyDesc) == 32);
static_assert(offsetof(vorlet_v2_OverloadPolicyDesc, struct_size) == 0);
static_assert(offsetof(vorlet_v2_OverloadPolicyDesc, remote_outbound_reply_reserve_slots) == 8);
static_assert(offsetof(vorlet_v2_OverloadPolicyDesc, ingress_mode) == 16);
static_assert(offsetof(vorlet_v2_OverloadPolicyDesc, local_delivery_mode) == 20);
static_assert(offsetof(vorlet_v2_OverloadPolicyDesc, remote_outbound_mode) == 24);

namespace {

namespace pb = google::protobuf;

constexpr uint32_t kMaxPort = 65535;

// A failure of the parse: its status and its fixed text.
struct ParseError {
  Status status;
  const char* text;
};

constexpr ParseError kOk{Status::ok, nullptr};

// With unknown fields ignored, protobuf's JSON parser reads an enum string
// that names no value as 0 without complaint: a mistyped strategy would send
// everything to the first endpoint. To see what each enum member held, the
// same text is parsed a second time, with the same parser and options, into
// a shadow of the schema whose enum fields are google.protobuf.Value fields:
// every other member, undeclared ones included, is read exactly as in the
// real parse, and each enum member keeps the JSON value it was given. A
// string there must be a declared name.
class EnumNameCheck {
 public:
  // Built once, on the first JSON payload; shared read-only afterwards
  // (descriptor pools, the factory's prototypes and the type resolver are
  // safe to use from several threads).
  static EnumNameCheck& instance() {
    static EnumNameCheck check;
    return check;
  }

  // False when the text does not parse into the shadow or some enum member
  // is a string that is not a declared name of its enum.
  bool names_declared(const std::string& text) {
    if (shadow_payload_ == nullptr) return false;  // the shadow schema did not build
    pb::util::JsonParseOptions options;
    options.ignore_unknown_fields = true;
    std::string binary;
    if (!pb::util::JsonToBinaryString(resolver_.get(), type_url_, text, &binary, options).ok()) return false;
    // On an arena: a message that runs out of memory halfway through a parse
    // leaves pieces that only the arena still knows about.
    pb::Arena arena;
    pb::Message* shadow = shadow_payload_->New(&arena);
    if (!shadow->ParseFromString(binary)) return false;
    return declared(*shadow, control::RouteSnapshotPayload::descriptor());
  }

 private:
  EnumNameCheck() {
    pb::FileDescriptorProto value_file;
    pb::Value::descriptor()->file()->CopyTo(&value_file);
    pb::FileDescriptorProto shadow_file;
    control::RouteSnapshotPayload::descriptor()->file()->CopyTo(&shadow_file);
    shadow_file.add_dependency(value_file.name());
    for (pb::DescriptorProto& message : *shadow_file.mutable_message_type()) {
      for (pb::FieldDescriptorProto& field : *message.mutable_field()) {
        if (field.type() != pb::FieldDescriptorProto::TYPE_ENUM) continue;
        field.set_type(pb::FieldDescriptorProto::TYPE_MESSAGE);
        field.set_type_name(".google.protobuf.Value");
      }
    }
    if (pool_.BuildFile(value_file) == nullptr || pool_.BuildFile(shadow_file) == nullptr) return;
    const pb::Descriptor* payload =
        pool_.FindMessageTypeByName(control::RouteSnapshotPayload::descriptor()->full_name());
    if (payload == nullptr) return;
    resolver_.reset(pb::util::NewTypeResolverForDescriptorPool("type.googleapis.com", &pool_));
    type_url_ = "type.googleapis.com/" + payload->full_name();
    shadow_payload_ = factory_.GetPrototype(payload);
  }

  // `real` is the schema's own type of the shadow message: its field of the
  // same number tells an enum member from a nested message.
  static bool declared(const pb::Message& shadow, const pb::Descriptor* real) {
    const pb::Reflection* reflection = shadow.GetReflection();
    std::vector<const pb::FieldDescriptor*> fields;
    reflection->ListFields(shadow, &fields);
    for (const pb::FieldDescriptor* field : fields) {
      if (field->cpp_type() != pb::FieldDescriptor::CPPTYPE_MESSAGE) continue;
      const pb::FieldDescriptor* real_field = real->FindFieldByNumber(field->number());
      if (real_field == nullptr) return false;
      const int count = field->is_repeated() ? reflection->FieldSize(shadow, field) : 1;
      for (int i = 0; i < count; ++i) {
        const pb::Message& element = field->is_repeated() ? reflection->GetRepeatedMessage(shadow, field, i)
                                                          : reflection->GetMessage(shadow, field);
        const bool ok = real_field->cpp_type() == pb::FieldDescriptor::CPPTYPE_ENUM
                            ? name_declared(element, real_field->enum_type())
                            : declared(element, real_field->message_type());
        if (!ok) return false;
      }
    }
    return true;
  }

  // Numbers and null are left to the real parse; a string must be a name.
  static bool name_declared(const pb::Message& value, const pb::EnumDescriptor* type) {
    const pb::FieldDescriptor* text = value.GetDescriptor()->FindFieldByNumber(pb::Value::kStringValueFieldNumber);
    const pb::Reflection* reflection = value.GetReflection();
    return !reflection->HasField(value, text) || type->FindValueByName(reflection->GetString(value, text)) != nullptr;
  }

  pb::DescriptorPool pool_;
  pb::DynamicMessageFactory factory_{&pool_};
  std::unique_ptr<pb::util::TypeResolver> resolver_;
  std::string type_url_;
  const pb::Message* shadow_payload_ = nullptr;
};

bool parse_json_payload(const std::string& text, control::RouteSnapshotPayload& payload) {
  pb::util::JsonParseOptions options;
  options.ignore_unknown_fields = true;
  if (!pb::util::JsonStringToMessage(text, &payload, options).ok()) return false;
  return EnumNameCheck::instance().names_declared(text);
}

// Copies one payload route into a zeroed RouteDesc. What was copied before a
// failure stays in `out` for route_snapshot_desc_free.
ParseError route_from_payload(const control::Route& in, RouteDesc& out) noexcept {
  out.target = text_dup(in.target().c_str());
  out.strategy = static_cast<uint32_t>(in.strategy());
  out.flags = in.flags();
  // An empty hint is no hint.
  if (!in.route_key_hint().empty()) out.route_key_hint = text_dup(in.route_key_hint().c_str());
  if (out.target == nullptr || (!in.route_key_hint().empty() && out.route_key_hint == nullptr)) {
    return {Status::nomem, "route string allocation failed"};
  }
  const int n = in.endpoints_size();
  if (n == 0) return kOk;  // refused later by the table build
  auto* endpoints = static_cast<EndpointDesc*>(rt_calloc(static_cast<uint64_t>(n), sizeof(EndpointDesc)));
  if (endpoints == nullptr) return {Status::nomem, "endpoint allocation failed"};
  out.endpoints = endpoints;
  out.endpoint_count = static_cast<uint64_t>(n);
  for (int k = 0; k < n; ++k) {
    const control::Endpoint& e = in.endpoints(k);
    // The flat record holds 16 bits; keeping only the low ones would send
    // the traffic to some other port.
    if (e.port() > kMaxPort) return {Status::invalid_arg, "endpoint port out of range"};
    endpoints[k].host = text_dup(e.host().c_str());
    if (endpoints[k].host == nullptr) return {Status::nomem, "endpoint host allocation failed"};
    endpoints[k].port = static_cast<uint16_t>(e.port());
    endpoints[k].weight = e.weight();
    endpoints[k].flags = e.flags();
  }
  return kOk;
}

// Converts without validating (the table build judges the routes).
ParseError route_snapshot_from_payload(const control::RouteSnapshotPayload& payload,
                                       RouteSnapshotDesc& snapshot) noexcept {
  snapshot.generation = payload.generation();
  const int n = payload.routes_size();
  if (n == 0) return kOk;
  auto* routes = static_cast<RouteDesc*>(rt_calloc(static_cast<uint64_t>(n), sizeof(RouteDesc)));
  if (routes == nullptr) return {Status::nomem, "route allocation failed"};
  snapshot.routes = routes;
  snapshot.route_count = static_cast<uint64_t>(n);
  for (int i = 0; i < n; ++i) {
    const ParseError e = route_from_payload(payload.routes(i), routes[i]);
    if (e.status != Status::ok) return e;
  }
  return kOk;
}

void overload_policy_from_payload(const control::RouteSnapshotPayload& payload, OverloadPolicyDesc& policy,
                                  int32_t& has_policy) noexcept {
  if (!payload.has_overload_policy()) return;
  const control::OverloadPolicy& p = payload.overload_policy();
  policy.remote_outbound_reply_reserve_slots = p.remote_outbound_reply_reserve_slots();
  policy.ingress_mode = static_cast<uint32_t>(p.ingress_mode());
  policy.local_delivery_mode = static_cast<uint32_t>(p.local_delivery_mode());
  policy.remote_outbound_mode = static_cast<uint32_t>(p.remote_outbound_mode());
  has_policy = 1;
}

ParseError parse(const void* bytes, uint64_t len, ControlEnvelopeHeader& header, RouteSnapshotDesc& snapshot,
                 OverloadPolicyDesc& policy, int32_t& has_policy) {
  // On an arena: a map field that runs out of memory while it grows is left
  // unfit for its own destructor on the heap, and the envelope's metadata
  // is a map. Destroying the arena never walks the map.
  ScratchArena arena;
  control::ControlEnvelope& envelope = *arena.make<control::ControlEnvelope>();
  if (len > kMaxMessageBytes || !envelope.ParseFromArray(bytes, static_cast<int>(len))) {
    return {Status::io, "control envelope protobuf parse failed"};
  }
  header.seq = envelope.seq();
  header.generation = envelope.generation();
  header.kind = static_cast<int32_t>(envelope.kind());
  header.payload_format = static_cast<int32_t>(envelope.payload_format());
  header.payload_type = static_cast<int32_t>(envelope.payload_type());
  header.schema_version = envelope.schema_version();

  if (header.kind != control::CONTROL_KIND_APPLY_SNAPSHOT) return {Status::invalid_arg, "unsupported control kind"};
  if (header.payload_type != control::CONTROL_PAYLOAD_TYPE_ROUTE_SNAPSHOT) {
    return {Status::invalid_arg, "unsupported control payload type"};
  }
  control::RouteSnapshotPayload& payload = *arena.make<control::RouteSnapshotPayload>();
  switch (header.payload_format) {
    case control::CONFIG_FORMAT_JSON:
      if (!parse_json_payload(envelope.payload(), payload)) return {Status::io, "route snapshot json parse failed"};
      break;
    case control::CONFIG_FORMAT_PROTOBUF:
      if (!payload.ParseFromString(envelope.payload())) return {Status::io, "route snapshot protobuf parse failed"};
      break;
    default:
      return {Status::invalid_arg, "unsupported control payload format"};
  }
  if (payload.generation() != envelope.generation()) {
    return {Status::invalid_arg, "envelope and payload generation mismatch"};
  }
  const ParseError converted = route_snapshot_from_payload(payload, snapshot);
  if (converted.status != Status::ok) return converted;
  overload_policy_from_payload(payload, policy, has_policy);
  return kOk;
}

void policy_clear(OverloadPolicyDesc& policy) noexcept {
  std::memset(&policy, 0, sizeof policy);
  policy.struct_size = sizeof policy;
}

}  // namespace

void control_envelope_header_clear(ControlEnvelopeHeader* header) noexcept {
  if (header != nullptr) *header = ControlEnvelopeHeader{};
}

Status control_envelope_apply_parse(const void* bytes, uint64_t len, ControlEnvelopeHeader* header, char* text,
                                    uint64_t text_cap, RouteSnapshotDesc* snapshot, OverloadPolicyDesc* policy,
                                    int32_t* has_policy) noexcept {
  if (bytes == nullptr || header == nullptr || snapshot == nullptr || policy == nullptr || has_policy == nullptr) {
    text_copy_bounded(text, text_cap, "invalid arguments");
    return Status::invalid_arg;
  }
  control_envelope_header_clear(header);
  policy_clear(*policy);
  *has_policy = 0;
  *snapshot = RouteSnapshotDesc{};

  ParseError result;
  try {
    result = parse(bytes, len, *header, *snapshot, *policy, *has_policy);
  } catch (const std::bad_alloc&) {
    result = {Status::nomem, "memory allocation failed"};
  }
  if (result.status != Status::ok) {
    // No partial snapshot and no half-copied policy leave a failed parse.
    route_snapshot_desc_free(snapshot);
    policy_clear(*policy);
    *has_policy = 0;
    text_copy_bounded(text, text_cap, result.text);
  }
  return result.status;
}

void route_snapshot_desc_free(RouteSnapshotDesc* snapshot) noexcept {
  if (snapshot == nullptr) return;
  if (snapshot->routes != nullptr) {
    for (uint64_t i = 0; i < snapshot->route_count; ++i) {
      const RouteDesc& r = snapshot->routes[i];
      rt_free(const_cast<char*>(r.target));
      rt_free(const_cast<char*>(r.route_key_hint));
      if (r.endpoints != nullptr) {
        for (uint64_t k = 0; k < r.endpoint_count; ++k) rt_free(const_cast<char*>(r.endpoints[k].host));
        rt_free(const_cast<EndpointDesc*>(r.endpoints));
      }
    }
    rt_free(const_cast<RouteDesc*>(snapshot->routes));
  }
  snapshot->generation = 0;
  snapshot->routes = nullptr;
  snapshot->route_count = 0;
}

}  // namespace vorlet::v2
