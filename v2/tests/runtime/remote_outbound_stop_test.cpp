// The remote worker across start and stop: jobs popped while stopping and
// jobs still queued become stopped deadletters.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "runtime/remote_outbound_support.h"

namespace vorlet::v2 {
namespace {

using namespace test::outbound;
using test::PeerStep;
using test::ScriptedServer;

// Jobs the worker pops once stop has begun are deadlettered without a
// connection.
TEST(RemoteOutbound, JobsPoppedWhileStoppingBecomeStoppedDeadletters) {
  test::TestRuntime host(0, test::TakeHandles{0});
  ASSERT_EQ(host.opened, Status::ok);
  ScriptedServer server({respond()});
  for (int i = 0; i < 3; ++i) {
    RemoteJobPtr job = test::make_remote_job(request_bytes(false), 4, kLoopback, server.port());
    ASSERT_EQ(remote_admission_enqueue(host.rt, job.get(), nullptr), Status::ok);
    (void)job.release();
  }
  host.rt->stopping.store(1);
  test::RemoteRoad road(host.rt);
  ASSERT_TRUE(road.start());
  road.stop();
  std::vector<std::string> frames;
  EXPECT_EQ(test::read_all_frames(host.handles.deadletter_read_fd, &frames), Status::closed);
  ASSERT_EQ(frames.size(), 3u);
  for (const std::string& frame : frames) {
    transport::Deadletter dl;
    ASSERT_TRUE(dl.ParseFromString(frame));
    EXPECT_EQ(dl.reason(), 8);
    EXPECT_EQ(dl.detail(), "runtime stopped before remote delivery");
    EXPECT_EQ(dl.active_generation(), 4u);
    EXPECT_EQ(dl.resolved_port(), server.port());
    EXPECT_EQ(dl.endpoint_attempt_count(), 0u);
  }
  EXPECT_EQ(server.accepted(), 0);
}

// Start runs the remote worker and stop ends it: a job in flight when stop
// begins is cut at once, however much of its budget is left (its attempt
// counted), the jobs still queued become stopped deadletters, and the host
// reads all of it before end of file.
TEST(RemoteOutbound, AStartedRuntimeDeliversAndStopDrainsTheQueue) {
  ScriptedServer answering({respond()});
  ScriptedServer silent({PeerStep::stay_silent()});
  test::TestRuntime fx;
  ASSERT_EQ(fx.take_handles(), Status::ok);
  test::FlatSnapshot snapshot(1);
  snapshot.route("svc", kSingleOwner, {{kLoopback, answering.port()}});
  ASSERT_EQ(fx.apply(snapshot), Status::ok);
  ASSERT_EQ(fx.start(), Status::ok);
  ASSERT_TRUE(lifecycle_thread_running(fx.rt, RuntimeThread::remote_worker));

  auto push = [&](uint16_t port, int32_t timeout_ms) {
    RemoteJobPtr job = test::make_remote_job(request_bytes(false), 1, kLoopback, port);
    job->timeout_ms = timeout_ms;
    job->deadline_ns = deadline_after_ms(test_now(), timeout_ms);
    ASSERT_EQ(remote_admission_enqueue(fx.rt, job.get(), nullptr), Status::ok);
    (void)job.release();
  };
  push(answering.port(), 3000);
  test::FrameBytes response;
  ASSERT_EQ(fx.read_frame(HostPipe::response, &response), Status::ok);
  EXPECT_TRUE(std::string(response.begin(), response.end()) == response_bytes());

  push(silent.port(), 60000);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (silent.accepted() == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(silent.accepted(), 1);
  push(silent.port(), 3000);
  push(silent.port(), 3000);
  ASSERT_EQ(fx.stop(), Status::ok);

  std::vector<test::FrameBytes> frames;
  ASSERT_EQ(fx.read_until_eof(HostPipe::deadletter, &frames), Status::ok);
  ASSERT_EQ(frames.size(), 3u);
  const struct {
    int32_t reason;
    const char* detail;
    uint32_t attempts;
  } want[] = {{8, "remote exchange cut by runtime stop", 1},
              {8, "runtime stopped before remote delivery", 0},
              {8, "runtime stopped before remote delivery", 0}};
  for (size_t i = 0; i < frames.size(); ++i) {
    transport::Deadletter dl;
    ASSERT_TRUE(dl.ParseFromArray(frames[i].data(), static_cast<int>(frames[i].size())));
    EXPECT_EQ(dl.reason(), want[i].reason) << i;
    EXPECT_EQ(dl.detail(), want[i].detail) << i;
    EXPECT_EQ(dl.endpoint_attempt_count(), want[i].attempts) << i;
  }
  EXPECT_EQ(silent.accepted(), 1);
  EXPECT_FALSE(lifecycle_thread_running(fx.rt, RuntimeThread::remote_worker));
}

}  // namespace
}  // namespace vorlet::v2
