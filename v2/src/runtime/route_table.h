// The route table: a validated deep copy of a route snapshot, the form the
// runtime routes on. A table is an array of RouteRecord with a count; it
// owns every text and every endpoint array in it, and an index of its
// targets (a hash table built with it, in the same allocation), so that
// finding a route and refusing a duplicate target take constant time
// whatever the number of routes. Only route_table_build makes tables and
// only route_table_free frees them.
//
// Building, the listener derivation and freeing work on private data and
// take no lock. Once published as the active table (active_routes.h), a
// table is only read, by any thread that holds a reference to it, but for
// its round-robin counters, which advance atomically.
#pragma once

#include <cstdint>

#include "base/status.h"
#include "vorlet_v2.h"

namespace vorlet::v2 {

using EndpointDesc = vorlet_v2_EndpointDesc;
using RouteDesc = vorlet_v2_RouteDesc;
using RouteSnapshotDesc = vorlet_v2_RouteSnapshotDesc;

constexpr uint32_t kRouteFlagPreferLocal = VORLET_V2_ROUTE_FLAG_PREFER_LOCAL;
constexpr uint32_t kEndpointFlagLocal = VORLET_V2_ENDPOINT_FLAG_LOCAL;
constexpr uint32_t kEndpointFlagUnavailable = VORLET_V2_ENDPOINT_FLAG_UNAVAILABLE;

// A RouteDesc plus the weighted round-robin counter. In a built table every
// text is an owned copy (route_key_hint may be NULL), every endpoint weight
// is at least 1, and the invariants of route_table_build hold.
struct RouteRecord {
  char* target;
  uint32_t strategy;
  char* route_key_hint;
  uint32_t flags;
  EndpointDesc* endpoints;  // hosts are owned copies
  uint64_t endpoint_count;
  uint64_t rr_counter;  // picks made; starts at 0 in every new table; advanced atomically
};

// Validates `snapshot` and deep-copies it into a new table owned by the
// caller (NULL with count 0 for an empty snapshot). ok, invalid_arg for any
// broken rule, nomem; on failure nothing is left behind and the outs hold
// NULL and 0. The snapshot is only read.
Status route_table_build(const RouteSnapshotDesc* snapshot, RouteRecord** out_table, uint64_t* out_count) noexcept;

// Frees every text, every endpoint array and the array itself. NULL is
// ignored; a partly filled (zero-initialised) table is fine.
void route_table_free(RouteRecord* table, uint64_t count) noexcept;

// Where this runtime's TCP listener binds, from the endpoints flagged local:
// one host and one port -> a copy of that host (owned by the caller) and the
// port; one port on several hosts -> NULL and the port (every interface);
// no local endpoint or several ports -> NULL and 0 (no listener).
Status route_table_local_listener(const RouteRecord* table, uint64_t count, char** out_host,
                                  uint16_t* out_port) noexcept;

// The route whose target equals `target` exactly, or NULL. `table` is one
// route_table_build made; only its first `count` routes are looked at.
RouteRecord* route_table_find(RouteRecord* table, uint64_t count, const char* target) noexcept;

// The slot of the index where a search for `target` starts in a table of
// route_count routes. Targets with the same one collide; tests use it to
// choose such targets.
uint64_t route_index_home_slot(uint64_t route_count, const char* target) noexcept;

// 1 when at least one endpoint of the route is not flagged unavailable.
int route_has_available_endpoint(const RouteRecord* route) noexcept;

// Drained: a route with endpoints of which none is available.
uint64_t route_table_count_drained(const RouteRecord* table, uint64_t count) noexcept;
int route_table_has_drained(const RouteRecord* table, uint64_t count) noexcept;

}  // namespace vorlet::v2
