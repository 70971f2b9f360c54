#include "observe/snapshots.h"

#include <cstddef>
#include <cstring>

#include "base/alloc.h"
#include "base/text.h"
#include "observe/runtime_health.h"
#include "observe/runtime_stats.h"
#include "runtime/runtime.h"

namespace vorlet::v2 {

static_assert(sizeof(TopologySnapshot) == 48);
static_assert(offsetof(TopologySnapshot, has_snapshot) == 0);
static_assert(offsetof(TopologySnapshot, generation) == 8);
static_assert(offsetof(TopologySnapshot, local_listen_host) == 16);
static_assert(offsetof(TopologySnapshot, local_listen_port) == 24);
static_assert(offsetof(TopologySnapshot, route_count) == 32);
static_assert(offsetof(TopologySnapshot, routes) == 40);

static_assert(sizeof(RouteCatalogEntry) == 72);
static_assert(offsetof(RouteCatalogEntry, target) == 0);
static_assert(offsetof(RouteCatalogEntry, strategy) == 8);
static_assert(offsetof(RouteCatalogEntry, route_key_hint) == 16);
static_assert(offsetof(RouteCatalogEntry, flags) == 24);
static_assert(offsetof(RouteCatalogEntry, endpoint_count) == 32);
static_assert(offsetof(RouteCatalogEntry, local_endpoints) == 40);
static_assert(offsetof(RouteCatalogEntry, remote_endpoints) == 48);
static_assert(offsetof(RouteCatalogEntry, unavailable_endpoints) == 56);
static_assert(offsetof(RouteCatalogEntry, available_endpoints) == 64);

static_assert(sizeof(RouteCatalog) == 32);
static_assert(offsetof(RouteCatalog, has_snapshot) == 0);
static_assert(offsetof(RouteCatalog, generation) == 8);
static_assert(offsetof(RouteCatalog, route_count) == 16);
static_assert(offsetof(RouteCatalog, entries) == 24);

static_assert(sizeof(MonitorSnapshot) == 592);
static_assert(offsetof(MonitorSnapshot, monitor_seq) == 0);
static_assert(offsetof(MonitorSnapshot, captured_ns) == 8);
static_assert(offsetof(MonitorSnapshot, health) == 16);
static_assert(offsetof(MonitorSnapshot, stats) == 40);
static_assert(offsetof(MonitorSnapshot, topology) == 544);

namespace {

// A NULL text stays NULL; false only on exhaustion.
bool copy_optional_text(const char* src, const char** dst) noexcept {
  *dst = nullptr;
  if (src == nullptr) return true;
  *dst = text_dup(src);
  return *dst != nullptr;
}

// The snapshot owns what it points to; the public layout says const so
// that hosts do not write through it.
void free_owned(const void* p) noexcept { rt_free(const_cast<void*>(p)); }

Status copy_route(const RouteRecord& src, RouteDesc* dst) noexcept {
  dst->strategy = src.strategy;
  dst->flags = src.flags;
  dst->endpoint_count = src.endpoint_count;
  if (!copy_optional_text(src.target, &dst->target)) return Status::nomem;
  if (!copy_optional_text(src.route_key_hint, &dst->route_key_hint)) return Status::nomem;
  if (src.endpoint_count == 0) return Status::ok;
  if (src.endpoints == nullptr) return Status::invalid_arg;
  auto* endpoints = static_cast<EndpointDesc*>(rt_calloc(src.endpoint_count, sizeof(EndpointDesc)));
  if (endpoints == nullptr) return Status::nomem;
  dst->endpoints = endpoints;
  for (uint64_t e = 0; e < src.endpoint_count; ++e) {
    const EndpointDesc& from = src.endpoints[e];
    endpoints[e].port = from.port;
    endpoints[e].weight = from.weight;
    endpoints[e].flags = from.flags;
    if (!copy_optional_text(from.host, &endpoints[e].host)) return Status::nomem;
  }
  return Status::ok;
}

Status fill_topology(const RouteRecord* table, uint64_t route_count, const char* local_listen_host,
                     TopologySnapshot* out) noexcept {
  if (!copy_optional_text(local_listen_host, &out->local_listen_host)) return Status::nomem;
  if (route_count == 0) return Status::ok;
  if (table == nullptr) return Status::invalid_arg;
  auto* routes = static_cast<RouteDesc*>(rt_calloc(route_count, sizeof(RouteDesc)));
  if (routes == nullptr) return Status::nomem;
  out->routes = routes;
  for (uint64_t r = 0; r < route_count; ++r) {
    const Status s = copy_route(table[r], &routes[r]);
    if (s != Status::ok) return s;
  }
  return Status::ok;
}

Status fill_catalog(const RouteRecord* table, uint64_t route_count, RouteCatalog* out) noexcept {
  if (route_count == 0) return Status::ok;
  if (table == nullptr) return Status::invalid_arg;
  auto* entries = static_cast<RouteCatalogEntry*>(rt_calloc(route_count, sizeof(RouteCatalogEntry)));
  if (entries == nullptr) return Status::nomem;
  out->entries = entries;
  for (uint64_t r = 0; r < route_count; ++r) {
    const RouteRecord& route = table[r];
    RouteCatalogEntry& entry = entries[r];
    entry.strategy = route.strategy;
    entry.flags = route.flags;
    entry.endpoint_count = route.endpoint_count;
    if (!copy_optional_text(route.target, &entry.target)) return Status::nomem;
    if (!copy_optional_text(route.route_key_hint, &entry.route_key_hint)) return Status::nomem;
    if (route.endpoint_count != 0 && route.endpoints == nullptr) return Status::invalid_arg;
    for (uint64_t e = 0; e < route.endpoint_count; ++e) {
      const uint32_t flags = route.endpoints[e].flags;
      if ((flags & kEndpointFlagLocal) != 0) {
        ++entry.local_endpoints;
      } else {
        ++entry.remote_endpoints;
      }
      if ((flags & kEndpointFlagUnavailable) != 0) {
        ++entry.unavailable_endpoints;
      } else {
        ++entry.available_endpoints;
      }
    }
  }
  return Status::ok;
}

}  // namespace

Status topology_snapshot_build(const RouteRecord* table, uint64_t route_count, uint64_t generation,
                               uint32_t snapshot_present, const char* local_listen_host,
                               uint16_t local_listen_port, TopologySnapshot* out) noexcept {
  if (out == nullptr) return Status::invalid_arg;
  std::memset(out, 0, sizeof *out);
  out->has_snapshot = snapshot_present != 0 ? 1 : 0;
  out->generation = generation;
  out->local_listen_port = local_listen_port;
  out->route_count = route_count;
  const Status s = fill_topology(table, route_count, local_listen_host, out);
  if (s != Status::ok) topology_snapshot_free(out);
  return s;
}

Status route_catalog_build(const RouteRecord* table, uint64_t route_count, uint64_t generation,
                           uint32_t snapshot_present, RouteCatalog* out) noexcept {
  if (out == nullptr) return Status::invalid_arg;
  std::memset(out, 0, sizeof *out);
  out->has_snapshot = snapshot_present != 0 ? 1 : 0;
  out->generation = generation;
  out->route_count = route_count;
  const Status s = fill_catalog(table, route_count, out);
  if (s != Status::ok) route_catalog_free(out);
  return s;
}

void topology_snapshot_free(TopologySnapshot* snapshot) noexcept {
  if (snapshot == nullptr) return;
  if (snapshot->routes != nullptr) {
    for (uint64_t r = 0; r < snapshot->route_count; ++r) {
      RouteDesc& route = snapshot->routes[r];
      free_owned(route.target);
      free_owned(route.route_key_hint);
      if (route.endpoints != nullptr) {
        for (uint64_t e = 0; e < route.endpoint_count; ++e) free_owned(route.endpoints[e].host);
        free_owned(route.endpoints);
      }
    }
    rt_free(snapshot->routes);
  }
  free_owned(snapshot->local_listen_host);
  std::memset(snapshot, 0, sizeof *snapshot);
}

void route_catalog_free(RouteCatalog* catalog) noexcept {
  if (catalog == nullptr) return;
  if (catalog->entries != nullptr) {
    for (uint64_t r = 0; r < catalog->route_count; ++r) {
      free_owned(catalog->entries[r].target);
      free_owned(catalog->entries[r].route_key_hint);
    }
    rt_free(catalog->entries);
  }
  std::memset(catalog, 0, sizeof *catalog);
}

namespace {

// The copy of a table the caller retained (NULL: none published), made
// without any lock: a commit, the dispatcher and other readers go on
// meanwhile.
Status topology_of(const RouteTableRef* active, TopologySnapshot* out) noexcept {
  if (active == nullptr) return topology_snapshot_build(nullptr, 0, 0, 0, nullptr, 0, out);
  return topology_snapshot_build(active->table, active->count, active->generation, 1, active->listen_host,
                                 active->listen_port, out);
}

}  // namespace

void monitor_snapshot_free(MonitorSnapshot* snapshot) noexcept {
  if (snapshot == nullptr) return;
  topology_snapshot_free(&snapshot->topology);
  std::memset(snapshot, 0, sizeof *snapshot);
}

Status snapshots_get_topology(Runtime* rt, TopologySnapshot* out) noexcept {
  if (rt == nullptr || out == nullptr) return Status::invalid_arg;
  const RouteTableRefPtr active = rt->routes.acquire();
  return topology_of(active.get(), out);
}

Status snapshots_get_route_catalog(Runtime* rt, RouteCatalog* out) noexcept {
  if (rt == nullptr || out == nullptr) return Status::invalid_arg;
  const RouteTableRefPtr active = rt->routes.acquire();
  if (!active) return route_catalog_build(nullptr, 0, 0, 0, out);
  return route_catalog_build(active->table, active->count, active->generation, 1, out);
}

Status snapshots_get_monitor(Runtime* rt, MonitorSnapshot* out, MonotonicClock clock) noexcept {
  if (rt == nullptr || out == nullptr) return Status::invalid_arg;
  MonitorSnapshot snapshot{};  // the embedded records' sizes are 0: written whole
  // One table for the statistics, the health and the topology: the one
  // retained here, with which they agree on the generation, the route count
  // and the drained routes. The table is copied after runtime_lock is let
  // go.
  RouteTableRefPtr active;
  {
    MutexLock hold(&rt->runtime_lock);
    active = rt->routes.acquire();
    snapshot.monitor_seq = rt->counters.load(Counter::monitor_seq);
    if (clock(&snapshot.captured_ns) != 0) return Status::io;
    stats_copy_out(runtime_stats_collect(rt, active.get()), &snapshot.stats);
    const HealthSource health = health_source_collect(rt, active.get());
    health_copy_out(&health, &snapshot.health);
  }
  const Status s = topology_of(active.get(), &snapshot.topology);
  if (s != Status::ok) return s;  // the failed build has freed its part
  std::memcpy(out, &snapshot, sizeof snapshot);
  return Status::ok;
}

}  // namespace vorlet::v2
