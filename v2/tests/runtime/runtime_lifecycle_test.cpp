// The runtime's lifecycle and control calls as a host without protobuf
// uses them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "vorlet_v2.h"

namespace {

TEST(RuntimeLifecycle, CreateAndDestroyThroughTheLibrary) {
  EXPECT_EQ(vorlet_v2_runtime_create(nullptr), nullptr);
  for (int32_t hint : {0, -5, 1, 3, 64, 70000}) {
    vorlet_v2_RuntimeOptions options{"a", "b", 7, hint};
    vorlet_v2_Runtime* rt = vorlet_v2_runtime_create(&options);
    ASSERT_NE(rt, nullptr) << hint;
    vorlet_v2_runtime_destroy(rt);
  }
  vorlet_v2_runtime_destroy(nullptr);
}

std::string varint(uint64_t v) {
  std::string out;
  while (v >= 0x80) {
    out.push_back(static_cast<char>((v & 0x7F) | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<char>(v));
  return out;
}

// An apply-snapshot control envelope with a JSON payload, encoded by hand:
// generation (2), kind 1 (3), format 1 JSON (4), payload type 1 (5), payload (7).
std::string json_control_envelope(uint64_t generation, const std::string& json) {
  return "\x10" + varint(generation) + "\x18\x01\x20\x01\x28\x01" + "\x3A" + varint(json.size()) + json;
}

// Reads one frame from a blocking pipe: 0 with the body, -7 at end of file.
int32_t read_frame(vorlet_v2_FrameReader* reader, std::string* body) {
  for (int i = 0; i < 5000; ++i) {
    void* frame = nullptr;
    uint64_t length = 0;
    const int32_t s = vorlet_v2_frame_read_try(reader, &frame, &length);
    if (s == VORLET_V2_OK) {
      body->assign(static_cast<const char*>(frame), length);
      vorlet_v2_frame_release(frame);
    }
    if (s != VORLET_V2_WOULD_BLOCK) return s;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return VORLET_V2_WOULD_BLOCK;
}

TEST(RuntimeLifecycle, AHostTakesItsPipesAppliesASnapshotStartsAndStops) {
  EXPECT_EQ(vorlet_v2_runtime_start(nullptr), VORLET_V2_INVALID_ARG);
  EXPECT_EQ(vorlet_v2_runtime_stop(nullptr), VORLET_V2_INVALID_ARG);
  EXPECT_EQ(vorlet_v2_runtime_apply_control_snapshot(nullptr, nullptr), VORLET_V2_INVALID_ARG);
  EXPECT_EQ(vorlet_v2_runtime_apply_control_snapshot_with_policy(nullptr, nullptr, nullptr), VORLET_V2_INVALID_ARG);
  EXPECT_EQ(vorlet_v2_runtime_apply_control_envelope(nullptr, "x", 1), VORLET_V2_INVALID_ARG);
  EXPECT_EQ(vorlet_v2_runtime_apply_overload_policy(nullptr, nullptr), VORLET_V2_INVALID_ARG);

  const vorlet_v2_RuntimeOptions options{"host", "test", 0, 64};
  vorlet_v2_Runtime* rt = vorlet_v2_runtime_create(&options);
  ASSERT_NE(rt, nullptr);
  EXPECT_EQ(vorlet_v2_runtime_start(rt), VORLET_V2_BAD_STATE);

  vorlet_v2_OverloadPolicyDesc policy = {sizeof policy, 64, 0, 0, VORLET_V2_OVERLOAD_MODE_DROP_ONE_WAY_FIRST, 0};
  EXPECT_EQ(vorlet_v2_runtime_apply_overload_policy(rt, &policy), VORLET_V2_OK);
  policy.remote_outbound_reply_reserve_slots = 65;
  EXPECT_EQ(vorlet_v2_runtime_apply_overload_policy(rt, &policy), VORLET_V2_INVALID_ARG);

  const std::string json =
      R"({"generation":"3","routes":[{"target":"svc.echo","strategy":"ROUTE_RESOLUTION_STRATEGY_SINGLE_OWNER",)"
      R"("endpoints":[{"host":"10.0.0.1","port":7000}]}],"unknown":1})";
  const std::string envelope = json_control_envelope(3, json);
  EXPECT_EQ(vorlet_v2_runtime_apply_control_envelope(rt, envelope.data(), envelope.size()), VORLET_V2_OK);
  EXPECT_EQ(vorlet_v2_runtime_apply_control_envelope(rt, envelope.data(), envelope.size()),
            VORLET_V2_STALE_GENERATION);
  EXPECT_EQ(vorlet_v2_runtime_apply_control_envelope(rt, envelope.data(), 0), VORLET_V2_INVALID_ARG);

  vorlet_v2_EndpointDesc endpoint = {"10.0.0.2", 7001, 0, 0};
  vorlet_v2_RouteDesc route = {"svc.other", VORLET_V2_ROUTE_STRATEGY_SINGLE_OWNER, nullptr, 0, &endpoint, 1};
  vorlet_v2_RouteSnapshotDesc snapshot = {4, &route, 1};
  EXPECT_EQ(vorlet_v2_runtime_apply_control_snapshot(rt, &snapshot), VORLET_V2_OK);
  EXPECT_EQ(vorlet_v2_runtime_start(rt), VORLET_V2_BAD_STATE);  // no handles yet

  vorlet_v2_HostHandles handles = {};
  handles.struct_size = sizeof handles;
  handles.flags = VORLET_V2_HOST_HANDLE_MONITOR_PIPE;
  ASSERT_EQ(vorlet_v2_runtime_get_host_handles(rt, &handles), VORLET_V2_OK);
  EXPECT_EQ(vorlet_v2_runtime_stop(rt), VORLET_V2_BAD_STATE);
  ASSERT_EQ(vorlet_v2_runtime_start(rt), VORLET_V2_OK);
  EXPECT_EQ(vorlet_v2_runtime_start(rt), VORLET_V2_BAD_STATE);
  policy.remote_outbound_reply_reserve_slots = 64;
  EXPECT_EQ(vorlet_v2_runtime_apply_overload_policy(rt, &policy), VORLET_V2_BAD_STATE);
  snapshot.generation = 5;
  EXPECT_EQ(vorlet_v2_runtime_apply_control_snapshot_with_policy(rt, &snapshot, nullptr), VORLET_V2_OK);
  ASSERT_EQ(vorlet_v2_runtime_stop(rt), VORLET_V2_OK);
  EXPECT_EQ(vorlet_v2_runtime_stop(rt), VORLET_V2_BAD_STATE);
  EXPECT_EQ(vorlet_v2_runtime_start(rt), VORLET_V2_BAD_STATE);
  snapshot.generation = 6;
  EXPECT_EQ(vorlet_v2_runtime_apply_control_snapshot(rt, &snapshot), VORLET_V2_BAD_STATE);

  // The host reads end of file on the response and deadletter pipes, and a
  // write into the request pipe fails without a SIGPIPE killing it.
  for (int32_t fd : {handles.response_read_fd, handles.deadletter_read_fd}) {
    vorlet_v2_FrameReader* reader = vorlet_v2_frame_reader_create(fd, 0);
    std::string body;
    EXPECT_EQ(read_frame(reader, &body), VORLET_V2_CLOSED);
    vorlet_v2_frame_reader_destroy(reader);
  }
  EXPECT_EQ(vorlet_v2_frame_write(handles.request_write_fd, "ping", 4), VORLET_V2_CLOSED);
  EXPECT_EQ(vorlet_v2_frame_write(handles.control_write_fd, "ping", 4), VORLET_V2_CLOSED);

  vorlet_v2_runtime_destroy(rt);
  for (int fd : {handles.request_write_fd, handles.response_read_fd, handles.deadletter_read_fd,
                 handles.control_write_fd, handles.monitor_read_fd}) {
    close(fd);
  }
}

}  // namespace
