// Route resolution: which endpoint of a route receives an envelope, by the
// endpoints' availability, the envelope's delivery hint, the route's
// locality preference and its strategy (single owner, weighted round robin,
// rendezvous hash).
//
// Callers hold the runtime lock for the whole call: weighted round robin
// advances the route's counter, and the endpoint returned points into the
// active table. Resolution allocates nothing and formats a text only when it
// fails.
#pragma once

#include <cstdint>

#include "base/status.h"
#include "codec/parsed_envelope.h"
#include "runtime/route_table.h"

namespace vorlet::v2 {

// Why a resolution found no endpoint; the dispatcher turns it into a
// deadletter reason.
enum class RouteFailureKind : int32_t {
  no_eligible_endpoint = 0,  // also every failure that is not a routing refusal
  endpoint_unavailable = 1,
  locality_mismatch = 2,
};

// One endpoint identity in an exclusion list (the endpoints a failover has
// already tried). Resolution only reads it; whoever builds the list owns
// the host texts.
struct EndpointKey {
  const char* host;
  uint16_t port;
};

// What resolution reads of an envelope, borrowed: target and headers point
// into the ParsedEnvelope the view was taken from, which must outlive it
// and stays its owner. A value, so that a caller may route on another hint
// than the envelope's without touching the parse.
struct EnvelopeRouting {
  const char* target;
  const HeaderEntry* headers;
  uint64_t header_count;
  uint32_t delivery_hint;
};

// The view of `pe`; copies no text.
inline EnvelopeRouting envelope_routing(const ParsedEnvelope& pe) noexcept {
  return EnvelopeRouting{pe.target, pe.headers, pe.header_count, pe.delivery_hint};
}

// 1 when some entry has the same port and a host equal by strcmp (both
// texts non-NULL); 0 for an empty or NULL list.
int endpoint_list_contains(const EndpointKey* list, uint64_t count, const char* host, uint16_t port) noexcept;

// The value of the first header whose key equals `name` by strcmp; NULL
// when there is none, the view is NULL or the name is NULL or empty.
// Points into the view's headers.
const char* envelope_header_value(const EnvelopeRouting* view, const char* name) noexcept;

// Chooses the endpoint for `view` on `route`, skipping the excluded endpoints.
// ok with *out set; otherwise invalid_arg or bad_state with *out NULL, the
// failure kind in *kind_out (when given) and the reason in `text` (when
// given, cut to text_cap - 1).
Status route_resolve_excluding(RouteRecord* route, const EnvelopeRouting* view, const EndpointKey* excluded,
                               uint64_t excluded_count, const EndpointDesc** out, RouteFailureKind* kind_out,
                               char* text, uint64_t text_cap) noexcept;
Status route_resolve(RouteRecord* route, const EnvelopeRouting* view, const EndpointDesc** out,
                     RouteFailureKind* kind_out, char* text, uint64_t text_cap) noexcept;

// The strategy pickers: an endpoint index, or route->endpoint_count when no
// endpoint is eligible. Round robin advances the route's counter only when
// something is eligible.
uint64_t route_pick_weighted_round_robin(RouteRecord* route, bool local_only, const EndpointKey* excluded,
                                         uint64_t excluded_count) noexcept;
uint64_t route_pick_rendezvous(const RouteRecord* route, const char* key, const EndpointKey* excluded,
                               uint64_t excluded_count) noexcept;

// The rendezvous score of one endpoint for `key`; the lowest score wins.
double rendezvous_score(const char* key, const char* host, uint16_t port, uint32_t weight) noexcept;

}  // namespace vorlet::v2
