// Exported entry points of the topology, route-catalog and event-log
// snapshots.
#include "observe/event_log_snapshot.h"
#include "observe/snapshots.h"
#include "runtime/runtime.h"
#include "vorlet_v2.h"

using namespace vorlet::v2;

extern "C" {

int32_t vorlet_v2_runtime_get_topology_snapshot(vorlet_v2_Runtime* runtime, vorlet_v2_TopologySnapshot* out) {
  return to_c(runtime_get_topology_snapshot(from_handle(runtime), out));
}

int32_t vorlet_v2_runtime_get_route_catalog(vorlet_v2_Runtime* runtime, vorlet_v2_RouteCatalog* out) {
  return to_c(runtime_get_route_catalog(from_handle(runtime), out));
}

void vorlet_v2_runtime_free_topology_snapshot(vorlet_v2_TopologySnapshot* snapshot) {
  topology_snapshot_free(snapshot);
}

void vorlet_v2_runtime_free_route_catalog(vorlet_v2_RouteCatalog* catalog) { route_catalog_free(catalog); }

int32_t vorlet_v2_runtime_get_event_log_snapshot(vorlet_v2_Runtime* runtime, uint64_t after_seq, uint64_t max_entries,
                                                 vorlet_v2_EventLogSnapshot* out) {
  return to_c(runtime_get_event_log_snapshot(from_handle(runtime), after_seq, max_entries, out));
}

uint32_t vorlet_v2_runtime_event_log_snapshot_flags(const vorlet_v2_EventLogSnapshot* snapshot) {
  return event_log_snapshot_flags(snapshot);
}

void vorlet_v2_runtime_free_event_log_snapshot(vorlet_v2_EventLogSnapshot* snapshot) {
  event_log_snapshot_free(snapshot);
}

}  // extern "C"
