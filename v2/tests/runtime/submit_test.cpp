// Submitting an envelope as a host does: through the public header and the
// shared library only.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "vorlet_v2.h"

namespace {

// The state decides before the bytes do: a runtime that is not started
// refuses whatever it is given.
TEST(SubmitEnvelope, StatusFollowsTheRuntimesLifecycle) {
  const std::string bytes = "not even an envelope";
  EXPECT_EQ(vorlet_v2_runtime_submit_envelope(nullptr, bytes.data(), bytes.size()), VORLET_V2_INVALID_ARG);

  const vorlet_v2_RuntimeOptions options{"host", "submit", 0, 0};
  vorlet_v2_Runtime* rt = vorlet_v2_runtime_create(&options);
  ASSERT_NE(rt, nullptr);
  EXPECT_EQ(vorlet_v2_runtime_submit_envelope(rt, bytes.data(), bytes.size()), VORLET_V2_BAD_STATE);
  EXPECT_EQ(vorlet_v2_runtime_submit_envelope(rt, nullptr, 0), VORLET_V2_BAD_STATE);

  // A remote endpoint: no listener is bound, so no port can collide.
  vorlet_v2_EndpointDesc endpoint = {"10.0.0.1", 7000, 1, 0};
  vorlet_v2_RouteDesc route = {"svc", VORLET_V2_ROUTE_STRATEGY_SINGLE_OWNER, nullptr, 0, &endpoint, 1};
  vorlet_v2_RouteSnapshotDesc snapshot = {1, &route, 1};
  ASSERT_EQ(vorlet_v2_runtime_apply_control_snapshot(rt, &snapshot), VORLET_V2_OK);
  vorlet_v2_HostHandles handles = {};
  handles.struct_size = sizeof handles;
  ASSERT_EQ(vorlet_v2_runtime_get_host_handles(rt, &handles), VORLET_V2_OK);
  ASSERT_EQ(vorlet_v2_runtime_start(rt), VORLET_V2_OK);

  // Started: the bytes are copied as they are; only missing bytes are
  // refused.
  EXPECT_EQ(vorlet_v2_runtime_submit_envelope(rt, bytes.data(), bytes.size()), VORLET_V2_OK);
  EXPECT_EQ(vorlet_v2_runtime_submit_envelope(rt, nullptr, bytes.size()), VORLET_V2_INVALID_ARG);
  EXPECT_EQ(vorlet_v2_runtime_submit_envelope(rt, bytes.data(), 0), VORLET_V2_INVALID_ARG);

  ASSERT_EQ(vorlet_v2_runtime_stop(rt), VORLET_V2_OK);
  EXPECT_EQ(vorlet_v2_runtime_submit_envelope(rt, bytes.data(), bytes.size()), VORLET_V2_CLOSED);
  EXPECT_EQ(vorlet_v2_runtime_submit_envelope(rt, nullptr, 0), VORLET_V2_CLOSED);

  vorlet_v2_runtime_destroy(rt);
  for (int fd :
       {handles.request_write_fd, handles.response_read_fd, handles.deadletter_read_fd, handles.control_write_fd}) {
    close(fd);
  }
}

}  // namespace
