#include "runtime/host_pipes.h"

#include <gtest/gtest.h>

#include "platform/pipe.h"
#include "runtime/host_pipe_writers.h"
#include "support/pipe_support.h"
#include "support/test_runtime.h"

namespace vorlet::v2 {
namespace {

using test::TakeHandles;
using test::TestPipe;
using test::TestRuntime;

uint64_t waiting(int32_t fd) {
  uint64_t n = 0;
  EXPECT_EQ(platform::pipe_available(fd, &n), Status::ok);
  return n;
}

uint64_t counter(Runtime* rt, Counter c) { return rt->counters.load(c); }

TEST(Doorbell, ChangesCoalesceIntoOneByteUntilConsumed) {
  TestRuntime host(0, TakeHandles{VORLET_V2_HOST_HANDLE_MONITOR_PIPE});
  ASSERT_EQ(host.opened, Status::ok);
  Runtime* rt = host.rt;
  const int32_t monitor = host.handles.monitor_read_fd;
  ASSERT_GE(monitor, 0);

  uint64_t drained = 99;
  EXPECT_EQ(monitor_consume(monitor, &drained), Status::would_block);
  EXPECT_EQ(drained, 0u);

  host_pipes_monitor_change_notice(rt);
  host_pipes_monitor_change_notice(rt);
  EXPECT_EQ(waiting(monitor), 1u);
  EXPECT_EQ(counter(rt, Counter::monitor_seq), 2u);
  EXPECT_EQ(counter(rt, Counter::monitor_signals_written), 1u);
  EXPECT_EQ(counter(rt, Counter::monitor_signals_skipped), 1u);
  EXPECT_EQ(counter(rt, Counter::monitor_signals_written_total), 1u);
  EXPECT_EQ(counter(rt, Counter::monitor_signals_skipped_total), 1u);

  EXPECT_EQ(monitor_consume(monitor, &drained), Status::ok);
  EXPECT_EQ(drained, 1u);
  EXPECT_EQ(monitor_consume(monitor, nullptr), Status::would_block);

  host_pipes_monitor_change_notice(rt);  // re-armed: a byte again
  EXPECT_EQ(waiting(monitor), 1u);
  EXPECT_EQ(counter(rt, Counter::monitor_signals_written), 2u);
  EXPECT_EQ(monitor_consume(-1, &drained), Status::invalid_arg);
}

TEST(Doorbell, WithoutAMonitorPipeNothingIsCounted) {
  TestRuntime host(0, TakeHandles{0});
  ASSERT_EQ(host.opened, Status::ok);
  EXPECT_EQ(host.handles.monitor_read_fd, -1);
  host_pipes_monitor_change_notice(host.rt);
  EXPECT_EQ(counter(host.rt, Counter::monitor_seq), 1u);
  EXPECT_EQ(counter(host.rt, Counter::monitor_signals_written), 0u);
  EXPECT_EQ(counter(host.rt, Counter::monitor_signals_skipped), 0u);
  int32_t written = 5;
  EXPECT_EQ(host_handles_signal_monitor(&host.rt->host_handles, &written), Status::bad_state);
  EXPECT_EQ(written, 0);
}

// The host's thread rings here; SIGPIPE must not end the process, and a
// failed byte must not leave the doorbell looking armed.
TEST(Doorbell, AHostThatClosedItsMonitorEndIsSkippedAndTriedAgain) {
  TestRuntime host(0, TakeHandles{VORLET_V2_HOST_HANDLE_MONITOR_PIPE});
  host.close_host_end(&host.handles.monitor_read_fd);
  int32_t written = 5;
  EXPECT_EQ(host_handles_signal_monitor(&host.rt->host_handles, &written), Status::closed);
  EXPECT_EQ(written, 0);
  EXPECT_EQ(host_handles_signal_monitor(&host.rt->host_handles, &written), Status::closed);
  host_pipes_monitor_change_notice(host.rt);
  EXPECT_EQ(counter(host.rt, Counter::monitor_signals_skipped), 1u);
  EXPECT_EQ(counter(host.rt, Counter::monitor_signals_written), 0u);
}

// The runtime's monitor end never blocks a runtime thread: a full pipe
// gives would_block, and the doorbell stays armed, since the bytes in the
// pipe still wake the host.
TEST(Doorbell, AFullMonitorPipeGivesWouldBlockAndStaysArmed) {
  TestRuntime host(0, TakeHandles{VORLET_V2_HOST_HANDLE_MONITOR_PIPE});
  ASSERT_EQ(host.opened, Status::ok);
  Runtime* rt = host.rt;
  const int32_t runtime_end = rt->host_handles.monitor_write_fd.load();
  const unsigned char fill[4096] = {};
  uint64_t filled = 0;
  for (;;) {
    uint64_t n = 0;
    const Status s = platform::pipe_write(runtime_end, fill, sizeof fill, nullptr, 0, &n);
    if (s == Status::would_block) break;
    ASSERT_EQ(s, Status::ok);
    filled += n;
  }
  ASSERT_EQ(filled, platform::kPipeBufferBytes);

  int32_t written = 5;
  EXPECT_EQ(host_handles_signal_monitor(&rt->host_handles, &written), Status::would_block);
  EXPECT_EQ(written, 0);
  // Still pending: the next change writes nothing and is counted skipped.
  EXPECT_EQ(host_handles_signal_monitor(&rt->host_handles, &written), Status::ok);
  EXPECT_EQ(written, 0);
  host_pipes_monitor_change_notice(rt);
  EXPECT_EQ(counter(rt, Counter::monitor_signals_skipped), 1u);

  uint64_t drained = 0;
  EXPECT_EQ(monitor_consume(host.handles.monitor_read_fd, &drained), Status::ok);
  EXPECT_EQ(drained, filled);
  host_pipes_monitor_change_notice(rt);
  EXPECT_EQ(counter(rt, Counter::monitor_signals_written), 1u);
  EXPECT_EQ(waiting(host.handles.monitor_read_fd), 1u);
}

TEST(HostHandles, TakenOnceAndOnlyInStateCreated) {
  TestRuntime host(0, TakeHandles{VORLET_V2_HOST_HANDLE_MONITOR_PIPE});
  ASSERT_EQ(host.opened, Status::ok);
  EXPECT_TRUE(host_handles_is_open(&host.rt->host_handles));
  vorlet_v2_HostHandles again{};
  EXPECT_EQ(host_pipes_get_handles(host.rt, &again), Status::bad_state);
  EXPECT_EQ(host_pipes_get_handles(host.rt, nullptr), Status::invalid_arg);
  EXPECT_EQ(host_pipes_get_handles(nullptr, &again), Status::invalid_arg);

  const vorlet_v2_RuntimeOptions options{nullptr, nullptr, 0, 0};
  Runtime* started = runtime_create(&options);
  started->state = RuntimeState::started;
  EXPECT_EQ(host_pipes_get_handles(started, &again), Status::bad_state);
  EXPECT_FALSE(host_handles_is_open(&started->host_handles));
  runtime_destroy(started);
}

// Stop closes the write ends, destroy closes what is left; a descriptor
// closed twice would take down a pipe opened in between.
TEST(HostHandles, EveryRuntimeSideDescriptorIsClosedOnce) {
  const size_t baseline = test::open_fd_count();
  {
    TestRuntime host(0, TakeHandles{VORLET_V2_HOST_HANDLE_MONITOR_PIPE | VORLET_V2_HOST_HANDLE_DELIVERED_PIPE});
    ASSERT_EQ(host.opened, Status::ok);
    EXPECT_EQ(test::open_fd_count(), baseline + 12);
    HostHandleSet* set = &host.rt->host_handles;
    host_handles_close_write_ends(set);
    host_handles_close_read_ends(set);
    EXPECT_EQ(host_handles_response_write_fd(set), -1);
    EXPECT_EQ(host_handles_request_read_fd(set), -1);
    EXPECT_FALSE(host_handles_delivered_write_fd(set) >= 0);
    EXPECT_TRUE(host_handles_monitor_enabled(set));  // stays until destroy
    EXPECT_EQ(test::open_fd_count(), baseline + 7);

    TestPipe bystander;  // takes descriptors the runtime just closed
    runtime_destroy(host.rt);
    host.rt = nullptr;
    const unsigned char byte = 7;
    uint64_t n = 0;
    EXPECT_EQ(platform::pipe_write(bystander.write_fd, &byte, 1, nullptr, 0, &n), Status::ok);
    EXPECT_EQ(waiting(bystander.read_fd), 1u);
  }
  EXPECT_EQ(test::open_fd_count(), baseline);
}

TEST(HostHandles, DestroyWithoutHandlesClosesNothing) {
  TestPipe bystander;
  const size_t baseline = test::open_fd_count();
  const vorlet_v2_RuntimeOptions options{nullptr, nullptr, 0, 0};
  runtime_destroy(runtime_create(&options));
  EXPECT_EQ(test::open_fd_count(), baseline);
  EXPECT_EQ(waiting(bystander.read_fd), 0u);
}

}  // namespace
}  // namespace vorlet::v2
