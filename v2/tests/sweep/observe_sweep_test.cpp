// The snapshot getters under allocation failure, on a runtime with a route
// table of several texts and arrays: every copy that fails gives -2 with
// what was already copied freed (the sweep's leak check), the topology,
// catalog and event-log records left all zero, the monitor snapshot left
// as the caller had it; no exception crosses the C interface.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "support/test_runtime.h"
#include "sweep/sweep_support.h"
#include "vorlet_v2.h"

namespace vorlet::v2::test {
namespace {

bool all_bytes(const unsigned char* p, size_t size, unsigned char value) {
  for (size_t i = 0; i < size; ++i) {
    if (p[i] != value) return false;
  }
  return true;
}

// One getter: the call into a record that starts as 0xAB bytes, whether
// the record shows a snapshot, and its free function.
struct Getter {
  const char* name;
  size_t size;
  bool keeps_record_on_failure;  // else left all zero
  std::function<int32_t(vorlet_v2_Runtime*, void*)> get;
  std::function<bool(const void*)> filled;
  std::function<void(void*)> release;
};

template <class Rec>
Getter getter(const char* name, bool keeps, int32_t (*get)(vorlet_v2_Runtime*, Rec*), bool (*filled)(const Rec&),
              void (*release)(Rec*)) {
  return {name, sizeof(Rec), keeps, [get](vorlet_v2_Runtime* rt, void* out) { return get(rt, static_cast<Rec*>(out)); },
          [filled](const void* rec) { return filled(*static_cast<const Rec*>(rec)); },
          [release](void* rec) { release(static_cast<Rec*>(rec)); }};
}

int32_t event_log(vorlet_v2_Runtime* rt, vorlet_v2_EventLogSnapshot* out) {
  return vorlet_v2_runtime_get_event_log_snapshot(rt, 0, 0, out);
}

TEST(ObserveSweep, FailedCopiesGiveNomemAndFreeWhatTheyTook) {
  TestRuntime fx;
  FlatSnapshot snapshot(4);
  add_local_route(&snapshot, 7000);
  snapshot.route("svc.far", VORLET_V2_ROUTE_STRATEGY_RENDEZVOUS_HASH,
                 {{"10.0.0.1", 7100}, {"10.0.0.2", 7200, 1, VORLET_V2_ENDPOINT_FLAG_UNAVAILABLE}}, "tenant");
  ASSERT_EQ(fx.apply(snapshot), Status::ok);  // also the event the log snapshot copies
  vorlet_v2_Runtime* rt = to_handle(fx.rt);

  const Getter getters[] = {
      getter<vorlet_v2_TopologySnapshot>(
          "topology", false, vorlet_v2_runtime_get_topology_snapshot,
          [](const vorlet_v2_TopologySnapshot& s) {
            return s.route_count == 2 && std::strcmp(s.routes[1].endpoints[1].host, "10.0.0.2") == 0;
          },
          vorlet_v2_runtime_free_topology_snapshot),
      getter<vorlet_v2_RouteCatalog>(
          "route catalog", false, vorlet_v2_runtime_get_route_catalog,
          [](const vorlet_v2_RouteCatalog& c) {
            return c.route_count == 2 && std::strcmp(c.entries[1].route_key_hint, "tenant") == 0;
          },
          vorlet_v2_runtime_free_route_catalog),
      getter<vorlet_v2_MonitorSnapshot>(
          "monitor snapshot", true, vorlet_v2_runtime_get_monitor_snapshot,
          [](const vorlet_v2_MonitorSnapshot& m) {
            return m.stats.struct_size == 504 && m.topology.route_count == 2 &&
                   std::strcmp(m.topology.local_listen_host, "127.0.0.1") == 0;
          },
          vorlet_v2_runtime_free_monitor_snapshot),
      getter<vorlet_v2_EventLogSnapshot>(
          "event log", false, event_log, [](const vorlet_v2_EventLogSnapshot& l) { return l.count == 1; },
          vorlet_v2_runtime_free_event_log_snapshot),
  };
  for (const Getter& g : getters) {
    SCOPED_TRACE(g.name);
    const uint64_t points = sweep(g.name, [&](const Fault& fault) {
      alignas(8) unsigned char record[sizeof(vorlet_v2_MonitorSnapshot)];  // the largest
      std::memset(record, 0xAB, sizeof record);
      FailingAllocations window(fault);
      const int32_t s = across_c_interface([&] { return g.get(rt, record); });
      window.close();
      if (window.fired()) {
        EXPECT_EQ(s, VORLET_V2_NOMEM) << fault;
        EXPECT_TRUE(all_bytes(record, g.size, g.keeps_record_on_failure ? 0xAB : 0x00)) << fault;
        if (g.keeps_record_on_failure) return true;  // nothing of the call's to free
      } else {
        EXPECT_EQ(s, VORLET_V2_OK);
        EXPECT_TRUE(g.filled(record));
      }
      g.release(record);
      return window.fired();
    });
    EXPECT_GT(points, 0u);
  }
}

}  // namespace
}  // namespace vorlet::v2::test
