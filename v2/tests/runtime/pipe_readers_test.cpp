#include "runtime/pipe_readers.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "codec/frame_io.h"
#include "platform/pipe.h"
#include "runtime/lifecycle.h"
#include "runtime/pipe_waiter.h"
#include "runtime/runtime.h"
#include "support/envelopes.h"
#include "support/proc_probe.h"
#include "support/test_runtime.h"
#include "support/waiting.h"
#include "support/runtime_probe.h"
#include "vorlet/v2/control.pb.h"
#include "vorlet/v2/transport.pb.h"

namespace vorlet::v2 {
namespace {

using test::eventually;
using test::FrameBytes;
using test::kLocalTarget;
using test::str;
using test::TestRuntime;
using Clock = std::chrono::steady_clock;

std::string request_bytes(const std::string& id, const std::string& target = kLocalTarget) {
  return test::envelope({.message_id = id, .correlation_id = "c-" + id, .target = target}).SerializeAsString();
}

// A JSON snapshot of the given generation with the fixture's local route.
std::string control_bytes(uint64_t generation, uint16_t port) {
  control::ControlEnvelope env;
  env.set_generation(generation);
  env.set_kind(control::CONTROL_KIND_APPLY_SNAPSHOT);
  env.set_payload_format(control::CONFIG_FORMAT_JSON);
  env.set_payload_type(control::CONTROL_PAYLOAD_TYPE_ROUTE_SNAPSHOT);
  env.set_payload(R"({"generation": )" + std::to_string(generation) + R"(, "routes": [{"target": ")" + kLocalTarget +
                  R"(", "strategy": "ROUTE_RESOLUTION_STRATEGY_SINGLE_OWNER", "endpoints": [{"host": "127.0.0.1", "port": )" +
                  std::to_string(port) + R"(, "flags": 1}]}]})");
  return env.SerializeAsString();
}

struct OwnPipe {
  int32_t read_end = -1;
  int32_t write_end = -1;
  OwnPipe() { EXPECT_EQ(platform::pipe_create(&read_end, &write_end), Status::ok); }
  ~OwnPipe() {
    platform::fd_close(read_end);
    platform::fd_close(write_end);
  }
};

TEST(PipeWaiter, StartsStopsAndRefusesWhatItCannotWatch) {
  PipeWaiter w;
  pipe_waiter_init(&w);
  EXPECT_EQ(pipe_waiter_wait(&w), PipeWait::unusable);
  EXPECT_EQ(pipe_waiter_wait(nullptr), PipeWait::unusable);
  EXPECT_EQ(pipe_waiter_wake(&w), Status::invalid_arg);
  EXPECT_EQ(pipe_waiter_start(&w, -1), Status::invalid_arg);
  EXPECT_EQ(pipe_waiter_start(nullptr, 0), Status::invalid_arg);
  OwnPipe p;
  ASSERT_EQ(pipe_waiter_start(&w, p.read_end), Status::ok);
  ASSERT_EQ(pipe_waiter_start(&w, p.read_end), Status::ok);  // a restart replaces the event
  EXPECT_EQ(pipe_waiter_wake(&w), Status::ok);
  pipe_waiter_stop(&w);
  EXPECT_EQ(w.fd, -1);
  EXPECT_EQ(w.event, nullptr);
  EXPECT_EQ(pipe_waiter_wake(&w), Status::invalid_arg);
  pipe_waiter_stop(&w);
  pipe_waiter_stop(nullptr);
}

TEST(PipeWaiter, AWaitEndsOnDataCloseOrWake) {
  OwnPipe p;
  PipeWaiter w;
  pipe_waiter_init(&w);
  ASSERT_EQ(pipe_waiter_start(&w, p.read_end), Status::ok);

  // A wake cuts a wait without limit short, and is consumed by it.
  auto start = Clock::now();
  std::thread waker([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(pipe_waiter_wake(&w), Status::ok);
  });
  EXPECT_EQ(pipe_waiter_wait(&w), PipeWait::woken);
  waker.join();
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  uint64_t written = 0;
  ASSERT_EQ(platform::pipe_write(p.write_end, "x", 1, nullptr, 0, &written), Status::ok);
  EXPECT_EQ(pipe_waiter_wait(&w), PipeWait::ready);
  unsigned char byte = 0;
  ASSERT_EQ(platform::pipe_read(p.read_end, &byte, 1, &written), Status::ok);

  std::thread closer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    platform::fd_close(p.write_end);
    p.write_end = -1;
  });
  EXPECT_EQ(pipe_waiter_wait(&w), PipeWait::ready);  // the reader will see the close
  closer.join();
  pipe_waiter_stop(&w);
}

TEST(RequestPipeReader, FramesTheHostWritesAreRoutedAndAnEmptyOneIsRefused) {
  TestRuntime fx;
  ASSERT_TRUE(fx.bring_up());
  const int32_t fd = fx.handles.request_write_fd;
  const std::string local = request_bytes("via-pipe");
  const std::string miss = request_bytes("missing", "svc.none");
  ASSERT_EQ(frame_write(fd, local.data(), local.size()), Status::ok);
  ASSERT_EQ(frame_write(fd, miss.data(), miss.size()), Status::ok);
  FrameBytes got;
  ASSERT_EQ(fx.read_frame(HostPipe::delivered, &got), Status::ok);
  EXPECT_EQ(str(got), local);
  ASSERT_EQ(fx.read_frame(HostPipe::deadletter, &got), Status::ok);
  transport::Deadletter dl;
  ASSERT_TRUE(dl.ParseFromString(str(got)));
  EXPECT_EQ(dl.reason(), transport::DEADLETTER_REASON_ROUTE_MISS);
  EXPECT_EQ(dl.original_envelope().message_id(), "missing");

  const uint64_t emitted = fx.counter(Counter::deadletters_emitted);
  const unsigned char empty_frame[8] = {};
  ASSERT_EQ(frame_write_blocking(fd, empty_frame, nullptr, 0), Status::ok);
  ASSERT_EQ(fx.read_frame(HostPipe::deadletter, &got), Status::ok);
  ASSERT_TRUE(dl.ParseFromString(str(got)));
  EXPECT_EQ(dl.reason(), transport::DEADLETTER_REASON_QUEUE_REJECTED);
  EXPECT_EQ(dl.detail(), "ingress queue rejected envelope");
  EXPECT_EQ(dl.active_generation(), 1u);
  EXPECT_FALSE(dl.has_original_envelope());
  EXPECT_EQ(fx.counter(Counter::queue_rejections), 1u);
  EXPECT_EQ(fx.counter(Counter::deadletters_emitted), emitted + 1);
  const MonitorEvent last = fx.events().back();
  EXPECT_EQ(last.kind, 5u);
  EXPECT_EQ(last.detail, 1u);
  EXPECT_EQ(last.value1, 1u);
  EXPECT_EQ(last.value2, 0u);

  // The reader goes on after the refusal.
  ASSERT_EQ(frame_write(fd, local.data(), local.size()), Status::ok);
  ASSERT_EQ(fx.read_frame(HostPipe::delivered, &got), Status::ok);
  EXPECT_EQ(str(got), local);
  ASSERT_EQ(fx.stop(), Status::ok);
}

// Control envelopes on the control pipe are applied; once the host closes
// that pipe only the control reader ends, and requests keep flowing.
TEST(ControlPipeReader, AppliesWhatTheHostWritesAndEndsAloneWhenThePipeCloses) {
  TestRuntime fx;
  ASSERT_TRUE(fx.bring_up());
  const std::string apply = control_bytes(2, fx.listen_port());
  ASSERT_EQ(frame_write(fx.handles.control_write_fd, apply.data(), apply.size()), Status::ok);
  ASSERT_TRUE(eventually([&] { return fx.rt->routes.generation() == 2; }));
  const std::string garbage = "not a control envelope";
  ASSERT_EQ(frame_write(fx.handles.control_write_fd, garbage.data(), garbage.size()), Status::ok);
  ASSERT_TRUE(eventually([&] { return fx.counter(Counter::control_rejects) == 1; }));

  const size_t threads = test::thread_count();
  fx.close_host_end(&fx.handles.control_write_fd);
  ASSERT_TRUE(eventually([&] { return test::thread_count() == threads - 1; }));

  const std::string local = request_bytes("after-close");
  ASSERT_EQ(frame_write(fx.handles.request_write_fd, local.data(), local.size()), Status::ok);
  FrameBytes got;
  ASSERT_EQ(fx.read_frame(HostPipe::delivered, &got), Status::ok);
  EXPECT_EQ(str(got), local);
  ASSERT_EQ(fx.stop(), Status::ok);
}

// A descriptor that fails every read (its pending bytes cannot even be
// asked for) makes the reader idle between tries instead of spinning.
TEST(RequestPipeReader, APersistentReadFailureDoesNotSpin) {
  TestRuntime fx;
  ASSERT_TRUE(fx.bring_up());
  const int devnull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(devnull, 0);
  // Same descriptor number, now a device that tells no byte count.
  ASSERT_GE(::dup2(devnull, host_handles_request_read_fd(&fx.rt->host_handles)), 0);
  ::close(devnull);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const std::clock_t cpu_before = std::clock();
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  const double cpu_ms = 1000.0 * static_cast<double>(std::clock() - cpu_before) / CLOCKS_PER_SEC;
  EXPECT_LT(cpu_ms, 300.0);  // a spinning reader would take about 600
  ASSERT_EQ(fx.stop(), Status::ok);
}

// Both readers sit in their waits; stop wakes them (and the listener)
// instead of waiting out their slices.
TEST(PipeReaders, StopWhileIdleReturnsPromptly) {
  TestRuntime fx;
  ASSERT_TRUE(fx.bring_up());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const auto start = Clock::now();
  ASSERT_EQ(fx.stop(), Status::ok);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
}

}  // namespace
}  // namespace vorlet::v2
