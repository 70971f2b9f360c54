// Envelope bytes as the dispatcher takes them from the host or a peer: the
// parse into the flat form, the envelope's own rules, then the route lookup
// and resolution on a fixed table that has every strategy, locality and
// availability case.
#include <cstring>

#include "codec/codes.h"
#include "codec/parsed_envelope.h"
#include "fuzz_support.h"
#include "runtime/dispatcher.h"
#include "runtime/route_resolution.h"
#include "runtime/route_table.h"

using namespace vorlet::v2;
using namespace vorlet::v2::fuzz;

namespace {

RouteRecord* g_table = nullptr;
uint64_t g_count = 0;

void build_table() {
  static EndpointDesc single[] = {{"10.0.0.1", 7001, 0, kEndpointFlagLocal}};
  static EndpointDesc rr[] = {{"10.0.0.1", 7001, 1, kEndpointFlagLocal},
                              {"10.0.0.2", 7002, 3, 0},
                              {"10.0.0.3", 7003, 5, kEndpointFlagUnavailable},
                              {"10.0.0.4", 7004, 0, kEndpointFlagLocal | kEndpointFlagUnavailable}};
  static EndpointDesc hashed[] = {{"10.0.0.5", 7005, 1, 0},
                                  {"10.0.0.6", 7006, 2, 0},
                                  {"10.0.0.7", 7007, 4, kEndpointFlagLocal}};
  static EndpointDesc any[] = {{"10.0.0.8", 7008, 1, kEndpointFlagUnavailable}, {"10.0.0.9", 7009, 1, 0}};
  static EndpointDesc drained[] = {{"10.0.0.10", 7010, 1, kEndpointFlagUnavailable}};
  static RouteDesc routes[] = {
      {"svc.single", VORLET_V2_ROUTE_STRATEGY_SINGLE_OWNER, nullptr, 0, single, 1},
      {"svc.rr", VORLET_V2_ROUTE_STRATEGY_WEIGHTED_ROUND_ROBIN, nullptr, kRouteFlagPreferLocal, rr, 4},
      {"svc.hash", VORLET_V2_ROUTE_STRATEGY_RENDEZVOUS_HASH, "tenant", 0, hashed, 3},
      {"svc.any", VORLET_V2_ROUTE_STRATEGY_UNSPECIFIED, nullptr, 0, any, 2},
      {"svc.drained", VORLET_V2_ROUTE_STRATEGY_WEIGHTED_ROUND_ROBIN, "", 0, drained, 1},
  };
  RouteSnapshotDesc snapshot{9, routes, sizeof routes / sizeof routes[0]};
  FUZZ_CHECK(route_table_build(&snapshot, &g_table, &g_count) == Status::ok);
}

// What a successful resolution may hand out.
void check_pick(const RouteRecord* route, const EnvelopeRouting& routing, const EndpointDesc* picked,
                const EndpointKey* excluded, uint64_t excluded_count) {
  FUZZ_CHECK(picked >= route->endpoints && picked < route->endpoints + route->endpoint_count);
  FUZZ_CHECK((picked->flags & kEndpointFlagUnavailable) == 0);
  FUZZ_CHECK(endpoint_list_contains(excluded, excluded_count, picked->host, picked->port) == 0);
  if (routing.delivery_hint == wire(DeliveryHint::require_local)) FUZZ_CHECK((picked->flags & kEndpointFlagLocal) != 0);
}

void resolve(RouteRecord* route, const ParsedEnvelope& pe) {
  const EnvelopeRouting routing = envelope_routing(pe);
  char text[kDispatchTextCapacity];
  for (uint64_t excluded_count = 0; excluded_count <= 1; ++excluded_count) {
    const EndpointKey excluded[] = {{route->endpoints[0].host, route->endpoints[0].port}};
    static const EndpointDesc kUntouched{};
    const EndpointDesc* picked = &kUntouched;  // every outcome overwrites it
    RouteFailureKind kind = RouteFailureKind::locality_mismatch;
    std::memset(text, 0x55, sizeof text);
    text[0] = '\0';
    const Status s =
        route_resolve_excluding(route, &routing, excluded, excluded_count, &picked, &kind, text, sizeof text);
    if (s == Status::ok) {
      check_pick(route, routing, picked, excluded, excluded_count);
    } else {
      FUZZ_CHECK(s == Status::invalid_arg || s == Status::bad_state);
      FUZZ_CHECK(picked == nullptr);
      FUZZ_CHECK(terminated_within(text, sizeof text));
      FUZZ_CHECK(utf8_valid(text, std::strlen(text)));
      (void)route_failure_reason(s, kind);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  build_table();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  char err[kDispatchTextCapacity];
  std::memset(err, 0x55, sizeof err);
  err[0] = '\0';
  ParsedEnvelope parsed;
  const ParsedEnvelope& pe = parsed;
  const Status s = parsed_envelope_parse(data, size, &parsed, err, sizeof err);
  if (s != Status::ok) {
    FUZZ_CHECK(s == Status::invalid_arg || s == Status::io);  // nomem needs memory exhaustion
    FUZZ_CHECK(terminated_within(err, sizeof err) && err[0] != '\0');
    if (s == Status::io) FUZZ_CHECK(pe.message_id == nullptr && pe.headers == nullptr && pe.header_count == 0);
    return 0;
  }
  FUZZ_CHECK(err[0] == '\0');  // untouched on success
  const char* texts[] = {pe.message_id, pe.correlation_id, pe.source, pe.target, pe.reply_to, pe.message_type};
  for (const char* t : texts) FUZZ_CHECK(t != nullptr);
  FUZZ_CHECK(pe.target[0] != '\0');
  FUZZ_CHECK(pe.one_way <= 1);
  FUZZ_CHECK((pe.headers == nullptr) == (pe.header_count == 0));
  for (uint64_t i = 0; i < pe.header_count; ++i) {
    FUZZ_CHECK(pe.headers[i].key != nullptr && pe.headers[i].value != nullptr);
  }

  char text[kDispatchTextCapacity];
  std::memset(text, 0x55, sizeof text);
  text[0] = '\0';
  if (parsed_envelope_validate_semantics(&pe, text, sizeof text) != Status::ok) {
    FUZZ_CHECK(terminated_within(text, sizeof text) && text[0] != '\0');
    return 0;
  }
  RouteRecord* route = route_table_find(g_table, g_count, pe.target);
  if (route == nullptr) return 0;
  FUZZ_CHECK(std::strcmp(route->target, pe.target) == 0);
  resolve(route, pe);
  return 0;
}
