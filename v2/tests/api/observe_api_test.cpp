// Observation and dubbing calls through the library on a runtime that was
// created and never started.
#include <gtest/gtest.h>

#include <cstring>

#include "vorlet_v2.h"

namespace {

template <class T>
bool all_zero(const T& rec) {
  const auto* p = reinterpret_cast<const unsigned char*>(&rec);
  for (size_t i = 0; i < sizeof rec; ++i) {
    if (p[i] != 0) return false;
  }
  return true;
}

struct Created {
  Created() {
    const vorlet_v2_RuntimeOptions options{"a", "b", 0, 0};
    rt = vorlet_v2_runtime_create(&options);
  }
  ~Created() { vorlet_v2_runtime_destroy(rt); }
  vorlet_v2_Runtime* rt;
};

TEST(ObserveApi, SnapshotsOfAFreshRuntimeAreEmpty) {
  Created h;
  ASSERT_NE(h.rt, nullptr);
  vorlet_v2_TopologySnapshot topo;
  std::memset(&topo, 0xAB, sizeof topo);
  ASSERT_EQ(vorlet_v2_runtime_get_topology_snapshot(h.rt, &topo), VORLET_V2_OK);
  EXPECT_TRUE(all_zero(topo));
  vorlet_v2_runtime_free_topology_snapshot(&topo);

  vorlet_v2_RouteCatalog catalog;
  std::memset(&catalog, 0xAB, sizeof catalog);
  ASSERT_EQ(vorlet_v2_runtime_get_route_catalog(h.rt, &catalog), VORLET_V2_OK);
  EXPECT_TRUE(all_zero(catalog));
  vorlet_v2_runtime_free_route_catalog(&catalog);

  vorlet_v2_EventLogSnapshot log;
  ASSERT_EQ(vorlet_v2_runtime_get_event_log_snapshot(h.rt, 5, 0, &log), VORLET_V2_OK);
  EXPECT_EQ(log.after_seq, 5u);
  EXPECT_EQ(log.count, 0u);
  EXPECT_EQ(vorlet_v2_runtime_event_log_snapshot_flags(&log), 0u);
  vorlet_v2_runtime_free_event_log_snapshot(&log);
  EXPECT_TRUE(all_zero(log));

  EXPECT_EQ(vorlet_v2_runtime_get_topology_snapshot(nullptr, &topo), VORLET_V2_INVALID_ARG);
  EXPECT_EQ(vorlet_v2_runtime_get_route_catalog(h.rt, nullptr), VORLET_V2_INVALID_ARG);
  EXPECT_EQ(vorlet_v2_runtime_get_event_log_snapshot(nullptr, 0, 0, &log), VORLET_V2_INVALID_ARG);
  EXPECT_EQ(vorlet_v2_runtime_event_log_snapshot_flags(nullptr), 0u);
  vorlet_v2_runtime_free_topology_snapshot(nullptr);
  vorlet_v2_runtime_free_route_catalog(nullptr);
  vorlet_v2_runtime_free_event_log_snapshot(nullptr);
}

TEST(ObserveApi, DubbingJobsNeedAStartedRuntimeToChange) {
  Created h;
  const vorlet_v2_DubbingJobRequest request{0, "label", "a", "b", "c"};
  const vorlet_v2_DubbingJobRequest invalid{12, nullptr, nullptr, nullptr, nullptr};
  uint64_t handle = 0;
  EXPECT_EQ(vorlet_v2_runtime_submit_dubbing_job(h.rt, &request, &handle), VORLET_V2_BAD_STATE);
  EXPECT_EQ(vorlet_v2_runtime_submit_dubbing_job(h.rt, &invalid, &handle), VORLET_V2_BAD_STATE);
  EXPECT_EQ(vorlet_v2_runtime_submit_dubbing_job(h.rt, nullptr, &handle), VORLET_V2_INVALID_ARG);
  const vorlet_v2_DubbingJobUpdate update{0, 1, 2, 2, 0, nullptr, nullptr, nullptr};
  EXPECT_EQ(vorlet_v2_runtime_publish_dubbing_job_update(h.rt, &update), VORLET_V2_BAD_STATE);
  EXPECT_EQ(vorlet_v2_runtime_cancel_dubbing_job(h.rt, 1), VORLET_V2_BAD_STATE);
  EXPECT_EQ(vorlet_v2_runtime_cancel_dubbing_job(h.rt, 0), VORLET_V2_INVALID_ARG);
  vorlet_v2_DubbingJobRecord record{};
  EXPECT_EQ(vorlet_v2_runtime_get_dubbing_job(h.rt, 1, &record), VORLET_V2_BAD_STATE);
  uint64_t handles[2] = {9, 9};
  uint64_t count = 9;
  EXPECT_EQ(vorlet_v2_runtime_list_dubbing_jobs(h.rt, handles, 2, &count), VORLET_V2_OK);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(handles[0], 9u);
  EXPECT_EQ(vorlet_v2_runtime_list_dubbing_jobs(nullptr, handles, 2, &count), VORLET_V2_INVALID_ARG);
}

}  // namespace
