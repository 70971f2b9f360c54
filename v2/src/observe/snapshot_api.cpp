// Exported entry points of the topology, route-catalog, monitor and
// event-log snapshots, plain and behind the auth gate.
#include <cstring>

#include "auth/auth_gate.h"
#include "observe/event_log_snapshot.h"
#include "observe/snapshots.h"
#include "runtime/runtime.h"
#include "vorlet_v2.h"

using namespace vorlet::v2;

namespace {

// A gated snapshot: the output is zeroed before the gate runs, so a denied
// or refused caller is left with an empty record that its free function
// accepts.
template <class Rec, class Take>
int32_t gated_snapshot(vorlet_v2_Runtime* runtime, const vorlet_v2_AuthContext* context, Rec* out,
                       vorlet_v2_AuthResult* result, Take take) noexcept {
  const bool callable = runtime != nullptr && context != nullptr && out != nullptr && result != nullptr;
  if (callable) std::memset(out, 0, sizeof *out);
  return auth_gated_read(runtime, context, out, result, take, [](Rec*) {});
}

}  // namespace

extern "C" {

int32_t vorlet_v2_runtime_get_topology_snapshot(vorlet_v2_Runtime* runtime, vorlet_v2_TopologySnapshot* out) {
  return to_c(snapshots_get_topology(from_handle(runtime), out));
}

int32_t vorlet_v2_runtime_get_route_catalog(vorlet_v2_Runtime* runtime, vorlet_v2_RouteCatalog* out) {
  return to_c(snapshots_get_route_catalog(from_handle(runtime), out));
}

void vorlet_v2_runtime_free_topology_snapshot(vorlet_v2_TopologySnapshot* snapshot) {
  topology_snapshot_free(snapshot);
}

void vorlet_v2_runtime_free_route_catalog(vorlet_v2_RouteCatalog* catalog) { route_catalog_free(catalog); }

int32_t vorlet_v2_runtime_get_monitor_snapshot(vorlet_v2_Runtime* runtime, vorlet_v2_MonitorSnapshot* out) {
  return to_c(snapshots_get_monitor(from_handle(runtime), out));
}

void vorlet_v2_runtime_free_monitor_snapshot(vorlet_v2_MonitorSnapshot* snapshot) {
  monitor_snapshot_free(snapshot);
}

int32_t vorlet_v2_runtime_get_event_log_snapshot(vorlet_v2_Runtime* runtime, uint64_t after_seq, uint64_t max_entries,
                                                 vorlet_v2_EventLogSnapshot* out) {
  return to_c(event_log_snapshot_get(from_handle(runtime), after_seq, max_entries, out));
}

uint32_t vorlet_v2_runtime_event_log_snapshot_flags(const vorlet_v2_EventLogSnapshot* snapshot) {
  return event_log_snapshot_flags(snapshot);
}

void vorlet_v2_runtime_free_event_log_snapshot(vorlet_v2_EventLogSnapshot* snapshot) {
  event_log_snapshot_free(snapshot);
}

int32_t vorlet_v2_runtime_get_topology_snapshot_with_auth_context(vorlet_v2_Runtime* runtime,
                                                                  const vorlet_v2_AuthContext* context,
                                                                  vorlet_v2_TopologySnapshot* out,
                                                                  vorlet_v2_AuthResult* result) {
  return gated_snapshot(runtime, context, out, result,
                        [](Runtime* rt, TopologySnapshot* o) { return snapshots_get_topology(rt, o); });
}

int32_t vorlet_v2_runtime_get_route_catalog_with_auth_context(vorlet_v2_Runtime* runtime,
                                                              const vorlet_v2_AuthContext* context,
                                                              vorlet_v2_RouteCatalog* out,
                                                              vorlet_v2_AuthResult* result) {
  return gated_snapshot(runtime, context, out, result,
                        [](Runtime* rt, RouteCatalog* o) { return snapshots_get_route_catalog(rt, o); });
}

int32_t vorlet_v2_runtime_get_monitor_snapshot_with_auth_context(vorlet_v2_Runtime* runtime,
                                                                 const vorlet_v2_AuthContext* context,
                                                                 vorlet_v2_MonitorSnapshot* out,
                                                                 vorlet_v2_AuthResult* result) {
  return gated_snapshot(runtime, context, out, result,
                        [](Runtime* rt, MonitorSnapshot* o) { return snapshots_get_monitor(rt, o); });
}

int32_t vorlet_v2_runtime_get_event_log_snapshot_with_auth_context(vorlet_v2_Runtime* runtime,
                                                                   const vorlet_v2_AuthContext* context,
                                                                   uint64_t after_seq, uint64_t max_entries,
                                                                   vorlet_v2_EventLogSnapshot* out,
                                                                   vorlet_v2_AuthResult* result) {
  return gated_snapshot(runtime, context, out, result, [=](Runtime* rt, EventLogSnapshot* o) {
    return event_log_snapshot_get(rt, after_seq, max_entries, o);
  });
}

}  // extern "C"
