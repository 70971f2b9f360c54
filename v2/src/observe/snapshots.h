// Topology, route-catalog and monitor snapshots: deep copies of the active
// route table (the monitor snapshot with the health and statistics beside
// it) that the host owns until it frees them, independent of the runtime
// from the moment they are taken.
#pragma once

#include <cstdint>

#include "base/clock.h"
#include "base/status.h"
#include "runtime/route_table.h"
#include "vorlet_v2.h"

namespace vorlet::v2 {

struct Runtime;

using TopologySnapshot = vorlet_v2_TopologySnapshot;
using RouteCatalog = vorlet_v2_RouteCatalog;
using RouteCatalogEntry = vorlet_v2_RouteCatalogEntry;
using MonitorSnapshot = vorlet_v2_MonitorSnapshot;

// Copies a route table into *out (zeroed first): every route with its
// texts and endpoints, without the round-robin counters. A NULL source text
// stays NULL. nomem and invalid_arg (a table or route that claims entries
// but has no array) leave *out all zero with nothing held. Takes no lock:
// the caller holds a reference to the table it copies.
Status topology_snapshot_build(const RouteRecord* table, uint64_t route_count, uint64_t generation,
                               uint32_t snapshot_present, const char* local_listen_host,
                               uint16_t local_listen_port, TopologySnapshot* out) noexcept;

// One summary line per route with its endpoint counts; failures as above.
Status route_catalog_build(const RouteRecord* table, uint64_t route_count, uint64_t generation,
                           uint32_t snapshot_present, RouteCatalog* out) noexcept;

// Release everything the record owns and zero it. Safe on a zeroed record,
// on one left by a failed build and on NULL.
void topology_snapshot_free(TopologySnapshot* snapshot) noexcept;
void route_catalog_free(RouteCatalog* catalog) noexcept;
void monitor_snapshot_free(MonitorSnapshot* snapshot) noexcept;

// The getters behind the exports: the build from the active table,
// retained, with no runtime lock. invalid_arg for a NULL pointer (nothing
// written).
Status snapshots_get_topology(Runtime* rt, TopologySnapshot* out) noexcept;
Status snapshots_get_route_catalog(Runtime* rt, RouteCatalog* out) noexcept;

// Everything from one retained table, the counters and the health read
// under the runtime lock, built into a record of its own: the caller's
// record is written only when all of it succeeded, so io (the clock
// failed) and nomem leave it as it was.
Status snapshots_get_monitor(Runtime* rt, MonitorSnapshot* out, MonotonicClock clock = clock_monotonic_ns) noexcept;

}  // namespace vorlet::v2
