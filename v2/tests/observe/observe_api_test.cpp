// Observation and dubbing calls through the library: on a runtime that was
// created and never started, behind the auth gate, and across start and
// stop.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <functional>

#include "support/api_runtime.h"
#include "support/record_bytes.h"
#include "vorlet_v2.h"

namespace {

using vorlet::v2::test::all_zero;
using vorlet::v2::test::ApiRuntime;

TEST(ObserveApi, SnapshotsOfAFreshRuntimeAreEmpty) {
  ApiRuntime h("a", "b");
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
  ApiRuntime h("a", "b");
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

// Handles taken (no optional pipes) and a snapshot of generation 3 with one
// remote route applied, so that start needs nothing else and binds nothing.
struct Host {
  Host() {
    const vorlet_v2_RuntimeOptions options{"host", "observe", 0, 0};
    rt = vorlet_v2_runtime_create(&options);
    handles.struct_size = sizeof handles;
    handles.flags = 0;
    opened = vorlet_v2_runtime_get_host_handles(rt, &handles);
    applied = vorlet_v2_runtime_apply_control_snapshot(rt, &snapshot);
  }
  ~Host() {
    vorlet_v2_runtime_destroy(rt);
    if (opened != VORLET_V2_OK) return;
    for (int32_t fd : {handles.request_write_fd, handles.response_read_fd, handles.deadletter_read_fd,
                       handles.control_write_fd}) {
      if (fd >= 0) close(fd);
    }
  }
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  uint64_t monitor_seq() {
    vorlet_v2_MonitorSnapshot snap;
    EXPECT_EQ(vorlet_v2_runtime_get_monitor_snapshot(rt, &snap), VORLET_V2_OK);
    const uint64_t seq = snap.monitor_seq;
    vorlet_v2_runtime_free_monitor_snapshot(&snap);
    return seq;
  }
  uint64_t last_event() {
    vorlet_v2_EventLogSnapshot log;
    EXPECT_EQ(vorlet_v2_runtime_get_event_log_snapshot(rt, 0, 0, &log), VORLET_V2_OK);
    const uint64_t last = log.last_seq;
    vorlet_v2_runtime_free_event_log_snapshot(&log);
    return last;
  }

  vorlet_v2_EndpointDesc endpoint{"10.0.0.9", 7100, 1, 0};
  vorlet_v2_RouteDesc route{"svc.remote", VORLET_V2_ROUTE_STRATEGY_SINGLE_OWNER, nullptr, 0, &endpoint, 1};
  vorlet_v2_RouteSnapshotDesc snapshot{3, &route, 1};
  vorlet_v2_Runtime* rt = nullptr;
  vorlet_v2_HostHandles handles{};
  int32_t opened = VORLET_V2_IO;
  int32_t applied = VORLET_V2_IO;
};

// One gated getter, called into a record full of 0xAB: whether the record
// came back all zero, and whether it shows the applied snapshot.
struct Outcome {
  int32_t status;
  bool zero;
  bool shows_snapshot;
};
using GatedCall = std::function<Outcome(vorlet_v2_Runtime*, const vorlet_v2_AuthContext*, vorlet_v2_AuthResult*)>;

template <class Rec, class Call, class Shows, class Free>
Outcome call_gated(Call call, Shows shows, Free free_record) {
  Rec rec;
  std::memset(&rec, 0xAB, sizeof rec);
  Outcome out{call(&rec), false, false};
  out.zero = all_zero(rec);
  if (out.status == VORLET_V2_OK) {
    out.shows_snapshot = shows(rec);
    free_record(&rec);
  }
  return out;
}

const struct {
  const char* name;
  GatedCall call;
} kGated[] = {
    {"topology",
     [](vorlet_v2_Runtime* rt, const vorlet_v2_AuthContext* ctx, vorlet_v2_AuthResult* result) {
       return call_gated<vorlet_v2_TopologySnapshot>(
           [&](vorlet_v2_TopologySnapshot* o) {
             return vorlet_v2_runtime_get_topology_snapshot_with_auth_context(rt, ctx, o, result);
           },
           [](const vorlet_v2_TopologySnapshot& t) { return t.generation == 3 && t.route_count == 1; },
           vorlet_v2_runtime_free_topology_snapshot);
     }},
    {"route catalog",
     [](vorlet_v2_Runtime* rt, const vorlet_v2_AuthContext* ctx, vorlet_v2_AuthResult* result) {
       return call_gated<vorlet_v2_RouteCatalog>(
           [&](vorlet_v2_RouteCatalog* o) {
             return vorlet_v2_runtime_get_route_catalog_with_auth_context(rt, ctx, o, result);
           },
           [](const vorlet_v2_RouteCatalog& c) { return c.generation == 3 && c.entries[0].remote_endpoints == 1; },
           vorlet_v2_runtime_free_route_catalog);
     }},
    {"monitor",
     [](vorlet_v2_Runtime* rt, const vorlet_v2_AuthContext* ctx, vorlet_v2_AuthResult* result) {
       return call_gated<vorlet_v2_MonitorSnapshot>(
           [&](vorlet_v2_MonitorSnapshot* o) {
             return vorlet_v2_runtime_get_monitor_snapshot_with_auth_context(rt, ctx, o, result);
           },
           [](const vorlet_v2_MonitorSnapshot& m) {
             return m.topology.generation == 3 && m.health.struct_size == 24 && m.stats.struct_size == 504;
           },
           vorlet_v2_runtime_free_monitor_snapshot);
     }},
    {"event log",
     [](vorlet_v2_Runtime* rt, const vorlet_v2_AuthContext* ctx, vorlet_v2_AuthResult* result) {
       return call_gated<vorlet_v2_EventLogSnapshot>(
           [&](vorlet_v2_EventLogSnapshot* o) {
             return vorlet_v2_runtime_get_event_log_snapshot_with_auth_context(rt, ctx, 0, 0, o, result);
           },
           [](const vorlet_v2_EventLogSnapshot& e) { return e.count > 0; },
           vorlet_v2_runtime_free_event_log_snapshot);
     }},
};

TEST(ObserveApi, GatedSnapshotsAreEmptyUnlessAllowed) {
  Host open;
  ASSERT_EQ(open.applied, VORLET_V2_OK);
  Host strict;  // observe needs an operator
  const vorlet_v2_AuthPolicy policy{sizeof policy, VORLET_V2_AUTH_ROLE_OPERATOR, VORLET_V2_AUTH_ROLE_OPERATOR};
  ASSERT_EQ(vorlet_v2_runtime_apply_auth_policy(strict.rt, &policy), VORLET_V2_OK);
  Host stopped;
  ASSERT_EQ(vorlet_v2_runtime_start(stopped.rt), VORLET_V2_OK);
  ASSERT_EQ(vorlet_v2_runtime_stop(stopped.rt), VORLET_V2_OK);

  const vorlet_v2_AuthContext viewer{sizeof viewer, 1, VORLET_V2_AUTH_ROLE_VIEWER};
  const vorlet_v2_AuthContext anonymous{sizeof anonymous, 0, 0};
  const vorlet_v2_AuthContext malformed{sizeof malformed, 2, VORLET_V2_AUTH_ROLE_VIEWER};
  struct Case {
    const char* what;
    vorlet_v2_Runtime* rt;
    const vorlet_v2_AuthContext* ctx;
    int32_t status;
    uint32_t code;  // 0xFFFFFFFF: result untouched
    uint32_t role;
  };
  const Case cases[] = {
      {"viewer, default policy", open.rt, &viewer, VORLET_V2_OK, VORLET_V2_AUTH_RESULT_OK, VORLET_V2_AUTH_ROLE_VIEWER},
      {"not authenticated", open.rt, &anonymous, VORLET_V2_OK, VORLET_V2_AUTH_RESULT_UNAUTHORIZED, 0},
      {"viewer below the policy", strict.rt, &viewer, VORLET_V2_OK, VORLET_V2_AUTH_RESULT_FORBIDDEN,
       VORLET_V2_AUTH_ROLE_VIEWER},
      {"stopped runtime", stopped.rt, &viewer, VORLET_V2_OK, VORLET_V2_AUTH_RESULT_BAD_STATE, 0},
      {"malformed context", open.rt, &malformed, VORLET_V2_INVALID_ARG, 0xFFFFFFFFu, 0xFFFFFFFFu},
  };
  for (const auto& getter : kGated) {
    for (const Case& c : cases) {
      vorlet_v2_AuthResult result{sizeof result, 0xFFFFFFFFu, 0xFFFFFFFFu};
      const Outcome out = getter.call(c.rt, c.ctx, &result);
      const std::string what = std::string(getter.name) + ": " + c.what;
      EXPECT_EQ(out.status, c.status) << what;
      EXPECT_EQ(result.result_code, c.code) << what;
      EXPECT_EQ(result.role, c.role) << what;
      const bool allowed = c.code == VORLET_V2_AUTH_RESULT_OK;
      EXPECT_EQ(out.zero, !allowed) << what;
      EXPECT_EQ(out.shows_snapshot, allowed) << what;
    }
    // A NULL pointer writes nothing at all.
    vorlet_v2_AuthResult result{sizeof result, 7, 7};
    const Outcome out = getter.call(open.rt, nullptr, &result);
    EXPECT_EQ(out.status, VORLET_V2_INVALID_ARG) << getter.name;
    EXPECT_FALSE(out.zero) << getter.name;
    EXPECT_EQ(result.result_code, 7u) << getter.name;
  }
}

TEST(ObserveApi, AGatedEventLogReadFindsItsOwnAuthorization) {
  Host h;
  const vorlet_v2_AuthContext viewer{0, 1, VORLET_V2_AUTH_ROLE_VIEWER};
  vorlet_v2_AuthResult result{};
  vorlet_v2_EventLogSnapshot log;
  ASSERT_EQ(vorlet_v2_runtime_get_event_log_snapshot_with_auth_context(h.rt, &viewer, 0, 0, &log, &result),
            VORLET_V2_OK);
  ASSERT_EQ(result.result_code, VORLET_V2_AUTH_RESULT_OK);
  ASSERT_EQ(log.count, 2u);  // control_applied, then the gate's own event
  const vorlet_v2_MonitorEvent& newest = log.entries[log.count - 1];
  EXPECT_EQ(newest.seq, log.last_seq);
  EXPECT_STREQ(vorlet_v2_monitor_event_kind_name(newest.kind), "authorization_accepted");
  EXPECT_EQ(newest.value1, VORLET_V2_AUTH_ROLE_VIEWER);
  EXPECT_EQ(newest.value2, VORLET_V2_AUTH_ACCESS_OBSERVE);
  EXPECT_EQ(newest.generation, 3u);
  vorlet_v2_runtime_free_event_log_snapshot(&log);
}

TEST(ObserveApi, DubbingJobsAcrossStartAndStop) {
  Host h;
  ASSERT_EQ(h.applied, VORLET_V2_OK);
  const vorlet_v2_DubbingJobRequest request{0, "episode 1", "in.mp4", "out.mp4", "de"};
  uint64_t first = 0;
  EXPECT_EQ(vorlet_v2_runtime_submit_dubbing_job(h.rt, &request, &first), VORLET_V2_BAD_STATE);
  ASSERT_EQ(vorlet_v2_runtime_start(h.rt), VORLET_V2_OK);

  const uint64_t events = h.last_event();
  const uint64_t seq = h.monitor_seq();
  ASSERT_EQ(vorlet_v2_runtime_submit_dubbing_job(h.rt, &request, &first), VORLET_V2_OK);
  uint64_t second = 0;
  ASSERT_EQ(vorlet_v2_runtime_submit_dubbing_job(h.rt, &request, &second), VORLET_V2_OK);
  EXPECT_NE(first, second);
  const vorlet_v2_DubbingJobUpdate update{0, first, VORLET_V2_DUBBING_JOB_RUNNING, VORLET_V2_DUBBING_STAGE_TTS, 750,
                                          "speaking", nullptr, nullptr};
  ASSERT_EQ(vorlet_v2_runtime_publish_dubbing_job_update(h.rt, &update), VORLET_V2_OK);
  EXPECT_EQ(h.monitor_seq(), seq + 3);
  EXPECT_EQ(h.last_event(), events);  // no event for any of them

  ASSERT_EQ(vorlet_v2_runtime_stop(h.rt), VORLET_V2_OK);
  uint64_t third = 0;
  EXPECT_EQ(vorlet_v2_runtime_submit_dubbing_job(h.rt, &request, &third), VORLET_V2_BAD_STATE);
  EXPECT_EQ(vorlet_v2_runtime_publish_dubbing_job_update(h.rt, &update), VORLET_V2_BAD_STATE);
  // Cancel, get and list still work after stop.
  EXPECT_EQ(vorlet_v2_runtime_cancel_dubbing_job(h.rt, first), VORLET_V2_OK);
  vorlet_v2_DubbingJobRecord job{};
  ASSERT_EQ(vorlet_v2_runtime_get_dubbing_job(h.rt, first, &job), VORLET_V2_OK);
  EXPECT_STREQ(vorlet_v2_dubbing_job_state_name(job.state), "cancelled");
  EXPECT_STREQ(vorlet_v2_dubbing_job_stage_name(job.stage), "tts");
  EXPECT_EQ(job.progress, 750u);
  EXPECT_STREQ(job.status_reason, "cancelled_by_host");
  EXPECT_STREQ(job.submit_label, "episode 1");
  uint64_t listed[2] = {};
  uint64_t count = 0;
  ASSERT_EQ(vorlet_v2_runtime_list_dubbing_jobs(h.rt, listed, 2, &count), VORLET_V2_OK);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(listed[0], first);
  EXPECT_EQ(listed[1], second);
}

}  // namespace
