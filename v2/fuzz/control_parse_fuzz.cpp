// Control envelopes from the control pipe or a call: the parse (with its
// protobuf and JSON payloads), then the route table build, the listen
// address and the lookups behind it. The first byte chooses how the rest
// comes in: 0 as a whole control envelope; 1 or 2 as the JSON or protobuf
// payload of an apply-snapshot envelope whose generation is the next byte,
// so that the payload decoders are reached directly.
#include <cstring>
#include <string>

#include "base/alloc.h"
#include "fuzz_support.h"
#include "runtime/control_parse.h"
#include "runtime/route_table.h"
#include "vorlet/v2/control.pb.h"

using namespace vorlet::v2;
using namespace vorlet::v2::fuzz;
namespace pb = vorlet::v2::control;

namespace {

std::string wrap_payload(pb::ConfigFormat format, uint64_t generation, const uint8_t* payload, size_t size) {
  pb::ControlEnvelope envelope;
  envelope.set_generation(generation);
  envelope.set_kind(pb::CONTROL_KIND_APPLY_SNAPSHOT);
  envelope.set_payload_type(pb::CONTROL_PAYLOAD_TYPE_ROUTE_SNAPSHOT);
  envelope.set_payload_format(format);
  envelope.set_payload(payload, size);
  return envelope.SerializeAsString();
}

// What a built table promises to route resolution.
void check_table(const RouteRecord* table, uint64_t count) {
  for (uint64_t i = 0; i < count; ++i) {
    const RouteRecord& r = table[i];
    FUZZ_CHECK(r.target != nullptr && r.target[0] != '\0');
    FUZZ_CHECK(r.flags <= 1 && r.strategy <= 3);
    FUZZ_CHECK(r.strategy != 3 || (r.route_key_hint != nullptr && r.route_key_hint[0] != '\0'));
    FUZZ_CHECK(r.endpoint_count > 0 && r.endpoints != nullptr);
    FUZZ_CHECK(r.strategy != 1 || r.endpoint_count == 1);
    FUZZ_CHECK(r.rr_counter == 0);
    for (uint64_t k = 0; k < r.endpoint_count; ++k) {
      const EndpointDesc& e = r.endpoints[k];
      FUZZ_CHECK(e.host != nullptr && e.host[0] != '\0' && e.port != 0 && e.weight >= 1 && e.flags <= 3);
    }
    // Targets are unique, so the lookup finds each route itself.
    FUZZ_CHECK(route_table_find(const_cast<RouteRecord*>(table), count, r.target) == &table[i]);
  }
}

void build_behind(const RouteSnapshotDesc& snapshot) {
  static RouteRecord untouched{};
  RouteRecord* table = &untouched;  // every outcome overwrites it
  uint64_t count = 77;
  const Status s = route_table_build(&snapshot, &table, &count);
  if (s != Status::ok) {
    FUZZ_CHECK(s == Status::invalid_arg);
    FUZZ_CHECK(table == nullptr && count == 0);
    return;
  }
  FUZZ_CHECK(count == snapshot.route_count);
  check_table(table, count);
  char* host = nullptr;
  uint16_t port = 1;
  FUZZ_CHECK(route_table_local_listener(table, count, &host, &port) == Status::ok);
  if (host != nullptr) FUZZ_CHECK(port != 0);
  rt_free(host);
  FUZZ_CHECK(route_table_count_drained(table, count) <= count);
  FUZZ_CHECK((route_table_count_drained(table, count) > 0) == (route_table_has_drained(table, count) != 0));
  route_table_free(table, count);
}

void parse_control(const void* bytes, size_t size) {
  ControlEnvelopeHeader header;
  RouteSnapshotDesc snapshot{};
  OverloadPolicyDesc policy{};
  int32_t has_policy = 7;
  char text[160];
  std::memset(text, 0x55, sizeof text);
  text[0] = '\0';
  const Status s =
      control_envelope_apply_parse(bytes, size, &header, text, sizeof text, &snapshot, &policy, &has_policy);
  if (s != Status::ok) {
    FUZZ_CHECK(s == Status::invalid_arg || s == Status::io);
    FUZZ_CHECK(snapshot.routes == nullptr && snapshot.route_count == 0 && snapshot.generation == 0);
    FUZZ_CHECK(policy.struct_size == 32 && policy.remote_outbound_reply_reserve_slots == 0 &&
               policy.ingress_mode == 0 && policy.local_delivery_mode == 0 && policy.remote_outbound_mode == 0);
    FUZZ_CHECK(has_policy == 0);
    FUZZ_CHECK(terminated_within(text, sizeof text) && text[0] != '\0');
    return;
  }
  FUZZ_CHECK(has_policy == 0 || has_policy == 1);
  FUZZ_CHECK(policy.struct_size == 32);
  FUZZ_CHECK(snapshot.generation == header.generation);
  FUZZ_CHECK((snapshot.routes == nullptr) == (snapshot.route_count == 0));
  for (uint64_t i = 0; i < snapshot.route_count; ++i) {
    const RouteDesc& r = snapshot.routes[i];
    FUZZ_CHECK(r.target != nullptr);
    FUZZ_CHECK((r.endpoints == nullptr) == (r.endpoint_count == 0));
    for (uint64_t k = 0; k < r.endpoint_count; ++k) FUZZ_CHECK(r.endpoints[k].host != nullptr);
  }
  build_behind(snapshot);
  route_snapshot_desc_free(&snapshot);
  FUZZ_CHECK(snapshot.routes == nullptr && snapshot.route_count == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t mode = data[0] % 3;
  if (mode == 0) {
    parse_control(data + 1, size - 1);
    return 0;
  }
  if (size < 2) return 0;
  const pb::ConfigFormat format = mode == 1 ? pb::CONFIG_FORMAT_JSON : pb::CONFIG_FORMAT_PROTOBUF;
  const std::string envelope = wrap_payload(format, data[1], data + 2, size - 2);
  parse_control(envelope.data(), envelope.size());
  return 0;
}
