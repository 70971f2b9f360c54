#include "runtime/lifecycle.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "base/alloc.h"
#include "codec/frame_io.h"
#include "codec/frame_splitter.h"
#include "runtime/control_apply.h"
#include "runtime/host_pipe_writers.h"
#include "runtime/ingress.h"
#include "runtime/local_delivery.h"
#include "support/envelopes.h"
#include "support/pipe_support.h"
#include "support/proc_probe.h"
#include "support/scripted_peer.h"
#include "support/test_runtime.h"
#include "tcp/tcp_adapter.h"
#include "vorlet/v2/transport.pb.h"

namespace vorlet::v2 {
namespace {

using test::FlatSnapshot;
using test::FrameBytes;
using test::TestRuntime;

std::vector<uint32_t> kinds(const std::vector<MonitorEvent>& events) {
  std::vector<uint32_t> out;
  for (const MonitorEvent& e : events) out.push_back(e.kind);
  return out;
}

// An inbound handler that answers every request with its own bytes, so
// that the listener can be seen serving.
Status echo_handler(void*, const uint8_t* payload, uint64_t length, uint32_t, int32_t* kind, uint8_t** reply,
                    uint64_t* reply_length, int32_t*, char*, uint64_t, InboundWatch*) {
  auto* copy = static_cast<uint8_t*>(rt_malloc(length));
  if (copy == nullptr) return Status::nomem;
  std::memcpy(copy, payload, length);
  *kind = 1;
  *reply = copy;
  *reply_length = length;
  return Status::ok;
}

// The threads a started runtime runs beside its pipe writers: the
// dispatcher, the two workers, the two pipe readers and, since the default
// snapshot gives it a listen address, the TCP listener.
constexpr size_t kThreadsBesideWriters = 6;

// Thread creation that fails at the n-th call (1-based) from now on.
std::atomic<int> g_thread_calls{0};
std::atomic<int> g_fail_at{0};
bool failing_start_thread(std::thread* out, platform::ThreadProc proc, void* arg) {
  if (++g_thread_calls == g_fail_at.load()) return false;
  return platform::start_thread(out, proc, arg);
}
void fail_thread_creation_at(Runtime* rt, int n) {
  g_thread_calls = 0;
  g_fail_at = n;
  rt->start_thread = failing_start_thread;
}

TEST(RuntimeLifecycle, StateTable) {
  EXPECT_EQ(lifecycle_start(nullptr), Status::invalid_arg);
  EXPECT_EQ(lifecycle_stop(nullptr), Status::invalid_arg);

  struct Case {
    const char* what;
    std::function<void(TestRuntime&)> prepare;
    Status start;
    RuntimeState after;
  };
  auto snapshot = [](TestRuntime& fx) {
    FlatSnapshot s(1);
    test::add_local_route(&s, test::free_loopback_port());
    ASSERT_EQ(fx.apply(s), Status::ok);
  };
  auto handles = [](TestRuntime& fx) { ASSERT_EQ(fx.take_handles(), Status::ok); };
  const Case cases[] = {
      {"nothing taken", [](TestRuntime&) {}, Status::bad_state, RuntimeState::created},
      {"handles without a snapshot", handles, Status::bad_state, RuntimeState::created},
      {"a snapshot without handles", snapshot, Status::bad_state, RuntimeState::created},
      {"snapshot, then handles",
       [&](TestRuntime& fx) {
         snapshot(fx);
         handles(fx);
       },
       Status::ok, RuntimeState::started},
      {"handles, then snapshot",
       [&](TestRuntime& fx) {
         handles(fx);
         snapshot(fx);
       },
       Status::ok, RuntimeState::started},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TestRuntime fx;
    ASSERT_NE(fx.rt, nullptr);
    EXPECT_EQ(fx.stop(), Status::bad_state);  // never before start
    c.prepare(fx);
    EXPECT_EQ(fx.start(), c.start);
    EXPECT_EQ(fx.rt->state, c.after);
    if (c.start != Status::ok) continue;
    EXPECT_EQ(fx.rt->accepting.load(), 1u);
    EXPECT_EQ(fx.start(), Status::bad_state);
    vorlet_v2_HostHandles again{};
    EXPECT_EQ(host_pipes_get_handles(fx.rt, &again), Status::bad_state);
    EXPECT_EQ(fx.rt->state, RuntimeState::started);
    EXPECT_EQ(fx.stop(), Status::ok);
    EXPECT_EQ(fx.rt->state, RuntimeState::stopped);
    EXPECT_EQ(fx.rt->accepting.load(), 0u);
    EXPECT_EQ(fx.rt->stopping.load(), 1u);
    EXPECT_EQ(fx.start(), Status::bad_state);
    EXPECT_EQ(fx.stop(), Status::bad_state);
    EXPECT_EQ(fx.rt->state, RuntimeState::stopped);
  }
}

TEST(RuntimeLifecycle, StartRunsTheDeliveredRequestWriterOnlyWhenThatPipeWasAskedFor) {
  for (uint32_t flags : {0u, TestRuntime::kAllPipes}) {
    SCOPED_TRACE(flags);
    const size_t before = test::baseline_thread_count();
    {
      TestRuntime fx;
      ASSERT_TRUE(fx.bring_up(flags));
      const bool delivered = (flags & VORLET_V2_HOST_HANDLE_DELIVERED_PIPE) != 0;
      EXPECT_EQ(test::thread_count(), before + (delivered ? 3 : 2) + kThreadsBesideWriters);
      for (RuntimeThread t : {RuntimeThread::dispatcher, RuntimeThread::local_worker, RuntimeThread::remote_worker,
                              RuntimeThread::control_reader, RuntimeThread::request_reader}) {
        EXPECT_TRUE(lifecycle_thread_running(fx.rt, t)) << static_cast<int>(t);
      }
      EXPECT_EQ(fx.rt->request_waiter_armed, 1u);
      EXPECT_EQ(fx.rt->control_waiter_armed, 1u);
      EXPECT_EQ(fx.rt->local_adapter->open.load(), 1u);
      EXPECT_EQ(lifecycle_thread_running(fx.rt, RuntimeThread::delivered_writer), delivered);
      EXPECT_TRUE(lifecycle_thread_running(fx.rt, RuntimeThread::response_writer));
      EXPECT_TRUE(lifecycle_thread_running(fx.rt, RuntimeThread::deadletter_writer));
      EXPECT_NE(fx.rt->request_reader, nullptr);
      EXPECT_NE(fx.rt->control_reader, nullptr);
      EXPECT_EQ(fx.rt->control_reader->max_frame_bytes, kControlFrameLimit);
      EXPECT_EQ(fx.rt->request_reader->max_frame_bytes, fx.rt->max_frame_bytes);
      ASSERT_EQ(fx.stop(), Status::ok);
      EXPECT_EQ(test::thread_count(), before);
      for (uint32_t i = 0; i < kRuntimeThreadCount; ++i) EXPECT_EQ(fx.rt->thread_started[i], 0u) << i;
      EXPECT_EQ(fx.rt->request_reader, nullptr);
      EXPECT_EQ(fx.rt->control_reader, nullptr);
      EXPECT_EQ(fx.rt->request_waiter_armed, 0u);
      EXPECT_EQ(fx.rt->control_waiter_armed, 0u);
    }
  }
}

TEST(RuntimeLifecycle, StopWritesOutEveryQueuedFrameThenTheHostReadsEndOfFile) {
  TestRuntime fx;
  ASSERT_TRUE(fx.bring_up());
  const HostPipe pipes[] = {HostPipe::delivered, HostPipe::response, HostPipe::deadletter};
  constexpr uint32_t kFrames = 12;
  for (HostPipe pipe : pipes) {
    for (uint32_t i = 0; i < kFrames; ++i) {
      ASSERT_EQ(fx.push_frame(pipe, test::pattern(200 + i, i + 100 * static_cast<uint32_t>(pipe))), Status::ok);
    }
  }
  ASSERT_EQ(fx.stop(), Status::ok);
  // Pushes after stop are refused: the queues stay closed.
  EXPECT_EQ(fx.push_frame(HostPipe::response, FrameBytes{1}), Status::invalid_arg);

  for (HostPipe pipe : pipes) {
    SCOPED_TRACE(static_cast<uint32_t>(pipe));
    std::vector<FrameBytes> frames;
    ASSERT_EQ(fx.read_until_eof(pipe, &frames), Status::ok);
    ASSERT_EQ(frames.size(), kFrames);
    for (uint32_t i = 0; i < kFrames; ++i) {
      EXPECT_TRUE(frames[i] == test::pattern(200 + i, i + 100 * static_cast<uint32_t>(pipe))) << i;
    }
  }
  // The runtime's read ends are closed: a host write fails, and the
  // process survives it.
  const unsigned char body[4] = {1, 2, 3, 4};
  EXPECT_EQ(frame_write(fx.handles.request_write_fd, body, sizeof body), Status::closed);
  EXPECT_EQ(frame_write(fx.handles.control_write_fd, body, sizeof body), Status::closed);
  // The monitor pipe stays open until destroy: a change after stop still
  // rings it.
  EXPECT_GE(fx.rt->host_handles.monitor_write_fd.load(), 0);
}

TEST(RuntimeLifecycle, StartAndStopRecordTheirEventsAndLifecycleLines) {
  constexpr const char* kVariable = "VORLET_V2_RUNTIME_LIFECYCLE_LOG";
  setenv(kVariable, "1", 1);
  TestRuntime fx;
  ASSERT_EQ(fx.take_handles(), Status::ok);
  FlatSnapshot s(7);
  test::add_local_route(&s, test::free_loopback_port());
  ASSERT_EQ(fx.apply(s), Status::ok);
  testing::internal::CaptureStderr();
  ASSERT_EQ(fx.start(), Status::ok);
  ASSERT_EQ(fx.stop(), Status::ok);
  const std::string printed = testing::internal::GetCapturedStderr();
  unsetenv(kVariable);
  EXPECT_EQ(printed,
            "vorlet[info] vorlet-runtime-v2: runtime_started (v2\\src\\runtime:4667)\n"
            "vorlet[info] vorlet-runtime-v2: runtime_stopped (v2\\src\\runtime:4751)\n");

  const std::vector<MonitorEvent> events = fx.events();
  const std::vector<uint32_t> expected = {3, 1, 2};  // control_applied, started, stopped
  ASSERT_EQ(kinds(events), expected);
  for (size_t i = 1; i < events.size(); ++i) {
    EXPECT_EQ(events[i].detail, 0u);
    EXPECT_EQ(events[i].value1, 0u);
    EXPECT_EQ(events[i].value2, 0u);
    EXPECT_EQ(events[i].generation, 7u);
  }
}

TEST(RuntimeLifecycle, StartResetsTheRunCountersAndKeepsTheMonitorTotals) {
  TestRuntime fx;
  ASSERT_EQ(fx.take_handles(), Status::ok);
  const unsigned char junk[3] = {0xFF, 0xFF, 0xFF};
  EXPECT_EQ(control_apply_envelope(fx.rt, junk, sizeof junk), Status::io);
  FlatSnapshot s(1);
  test::add_local_route(&s, test::free_loopback_port());
  ASSERT_EQ(fx.apply(s), Status::ok);
  ASSERT_EQ(fx.counter(Counter::control_rejects), 1u);
  ASSERT_EQ(fx.counter(Counter::control_rejects_io), 1u);
  const uint64_t seq = fx.counter(Counter::monitor_seq);
  const uint64_t written = fx.counter(Counter::monitor_signals_written_total);
  const uint64_t skipped = fx.counter(Counter::monitor_signals_skipped_total);
  ASSERT_EQ(seq, 2u);
  ASSERT_EQ(written + skipped, 2u);

  ASSERT_EQ(fx.start(), Status::ok);
  for (size_t i = 0; i < kCountersResetAtStart; ++i) {
    const auto c = static_cast<Counter>(i);
    // The started event itself rings the monitor pipe once more.
    if (c == Counter::monitor_signals_written || c == Counter::monitor_signals_skipped) continue;
    EXPECT_EQ(fx.counter(c), 0u) << i;
  }
  EXPECT_EQ(fx.counter(Counter::monitor_signals_written) + fx.counter(Counter::monitor_signals_skipped), 1u);
  EXPECT_EQ(fx.counter(Counter::monitor_seq), seq + 1);
  EXPECT_EQ(fx.counter(Counter::monitor_signals_written_total) + fx.counter(Counter::monitor_signals_skipped_total),
            written + skipped + 1);
  EXPECT_EQ(fx.counter(Counter::event_generation), 1u);
}

// A test that fails before it reads what it was sent leaves its fixture
// with a full host pipe; taking the fixture down must not wait for a
// reader that will never come.
TEST(RuntimeLifecycle, AFixtureWithAFullUnreadPipeIsTakenDownWithoutWaiting) {
  auto fx = std::make_unique<TestRuntime>();
  ASSERT_TRUE(fx->bring_up());
  // Twice what the pipe holds, none of it read: the writer waits for room
  // with frames in hand, and the queue behind it still has some.
  for (uint32_t i = 0; i < 32; ++i) ASSERT_EQ(fx->push_frame(HostPipe::delivered, test::pattern(4000, i)), Status::ok);
  std::promise<void> gone;
  std::future<void> done = gone.get_future();
  // The thread owns the fixture, so that a destroy that hangs hangs there.
  std::thread([fx = std::move(fx), gone = std::move(gone)]() mutable {
    fx.reset();
    gone.set_value();
  }).detach();
  ASSERT_EQ(done.wait_for(std::chrono::seconds(20)), std::future_status::ready) << "the fixture's destroy waited";
}

TEST(RuntimeLifecycle, NothingIsLeftBehindAfterStopAndDestroyOrDestroyAlone) {
  for (bool stop_first : {true, false}) {
    SCOPED_TRACE(stop_first ? "stop, then destroy" : "destroy a started runtime");
    const size_t fds = test::open_descriptor_count();
    const size_t threads = test::baseline_thread_count();
    {
      TestRuntime fx;
      fx.rt->inbound_handler = echo_handler;  // so that a listener runs too
      ASSERT_TRUE(fx.bring_up());
      EXPECT_EQ(test::thread_count(), threads + 3 + kThreadsBesideWriters);
      // Six pipes, both ends, the listening socket, the events that wake
      // the two pipe readers, the one that interrupts the TCP adapter, the
      // one a peer's request waits on beside its connection and the one
      // that cuts a relay whose requester gave up.
      EXPECT_EQ(test::open_descriptor_count(), fds + 18);
      ASSERT_EQ(fx.push_frame(HostPipe::response, test::pattern(64, 1)), Status::ok);
      if (stop_first) {
        ASSERT_EQ(fx.stop(), Status::ok);
        EXPECT_EQ(test::thread_count(), threads);
        // Left open: the host's six ends and the runtime's monitor end.
        EXPECT_EQ(test::open_descriptor_count(), fds + 7);
      }
    }
    EXPECT_EQ(test::thread_count(), threads);
    EXPECT_EQ(test::open_descriptor_count(), fds);
  }
}

TEST(RuntimeLifecycle, StartRunsTheListenerOnTheSnapshotsAddressAndStopEndsIt) {
  TestRuntime fx;
  fx.rt->inbound_handler = echo_handler;
  ASSERT_TRUE(fx.bring_up());
  const test::ClientOutcome served =
      test::client_exchange(fx.listen_port(), test::wire_frame(test::wire_request_body(500, "ping")), 5000);
  ASSERT_EQ(served.status, Status::ok);
  const test::WireReply reply = test::wire_parse_reply(served.body);
  EXPECT_TRUE(reply.valid);
  EXPECT_EQ(reply.kind, 1u);
  EXPECT_EQ(reply.payload, "ping");

  ASSERT_EQ(fx.stop(), Status::ok);
  EXPECT_TRUE(tcp_adapter_is_stopped(fx.rt->tcp_adapter));
  test::PeerClient late;
  EXPECT_FALSE(late.connect(fx.listen_port()));
}

TEST(RuntimeLifecycle, AStartWhoseListenerCannotBindUnwindsAndCanBeRetried) {
  auto occupant = std::make_unique<test::ScriptedServer>(std::vector<test::PeerStep>{test::PeerStep::stay_silent()});
  ASSERT_TRUE(occupant->listening());
  const size_t threads = test::baseline_thread_count();
  TestRuntime fx;
  fx.rt->inbound_handler = echo_handler;
  ASSERT_EQ(fx.take_handles(), Status::ok);
  FlatSnapshot s(1);
  test::add_local_route(&s, occupant->port());
  ASSERT_EQ(fx.apply(s), Status::ok);
  const uint64_t events_before = fx.events().size();
  const size_t fds = test::open_descriptor_count();

  EXPECT_EQ(fx.start(), Status::io);
  EXPECT_EQ(test::open_descriptor_count(), fds);  // the socket that could not bind is closed
  EXPECT_EQ(fx.rt->state, RuntimeState::created);
  EXPECT_EQ(fx.rt->accepting.load(), 0u);
  EXPECT_EQ(fx.rt->stopping.load(), 0u);  // created again, not closed
  const FrameBytes probe = test::pattern(16, 1);
  EXPECT_EQ(ingress_submit_envelope(fx.rt, probe.data(), probe.size()), Status::bad_state);
  EXPECT_EQ(fx.rt->request_reader, nullptr);
  EXPECT_EQ(fx.rt->control_reader, nullptr);
  EXPECT_TRUE(tcp_adapter_is_stopped(fx.rt->tcp_adapter));
  EXPECT_EQ(fx.rt->local_adapter->open.load(), 0u);
  EXPECT_EQ(test::thread_count(), threads);
  EXPECT_EQ(fx.events().size(), events_before);  // no started event
  EXPECT_TRUE(host_handles_is_open(&fx.rt->host_handles));

  occupant.reset();  // the port is free again
  const size_t without_occupant = test::thread_count();
  ASSERT_EQ(fx.start(), Status::ok);
  EXPECT_EQ(fx.rt->stopping.load(), 0u);
  EXPECT_FALSE(tcp_adapter_is_stopped(fx.rt->tcp_adapter));
  EXPECT_EQ(test::thread_count(), without_occupant + 3 + kThreadsBesideWriters);
  EXPECT_EQ(fx.stop(), Status::ok);
}

// A start that fails after some writers ran ends them, gives their queues
// back open, and a second start then runs cleanly.
TEST(RuntimeLifecycle, AStartWhoseThreadCannotBeCreatedUnwindsAndASecondStartRunsCleanly) {
  for (int fail_at = 1; fail_at <= static_cast<int>(3 + kThreadsBesideWriters - 1); ++fail_at) {
    SCOPED_TRACE(fail_at);
    const size_t threads = test::baseline_thread_count();
    TestRuntime fx;
    ASSERT_EQ(fx.take_handles(), Status::ok);
    FlatSnapshot s(1);
    test::add_local_route(&s, test::free_loopback_port());
    ASSERT_EQ(fx.apply(s), Status::ok);
    fail_thread_creation_at(fx.rt, fail_at);
    EXPECT_EQ(fx.start(), Status::io);
    EXPECT_EQ(fx.rt->state, RuntimeState::created);
    EXPECT_EQ(fx.rt->stopping.load(), 0u);
    for (uint32_t i = 0; i < kRuntimeThreadCount; ++i) EXPECT_EQ(fx.rt->thread_started[i], 0u) << i;
    EXPECT_EQ(test::thread_count(), threads);
    EXPECT_EQ(fx.rt->request_reader, nullptr);
    EXPECT_TRUE(tcp_adapter_is_stopped(fx.rt->tcp_adapter));

    fx.rt->start_thread = platform::start_thread;
    ASSERT_EQ(fx.start(), Status::ok);
    EXPECT_EQ(fx.rt->stopping.load(), 0u);
    EXPECT_EQ(test::thread_count(), threads + 3 + kThreadsBesideWriters);
    const HostPipe pipes[] = {HostPipe::delivered, HostPipe::response, HostPipe::deadletter};
    for (HostPipe pipe : pipes) ASSERT_EQ(fx.push_frame(pipe, test::pattern(32, fail_at)), Status::ok);
    ASSERT_EQ(fx.stop(), Status::ok);
    for (HostPipe pipe : pipes) {
      std::vector<FrameBytes> frames;
      ASSERT_EQ(fx.read_until_eof(pipe, &frames), Status::ok);
      ASSERT_EQ(frames.size(), 1u);
      EXPECT_TRUE(frames[0] == test::pattern(32, fail_at));
    }
  }
}

// Thread creation that, at the n-th call, first runs a step (with the
// runtime lock held, as start holds it) and then fails.
std::function<void()> g_before_failing;
bool failing_after_step(std::thread* out, platform::ThreadProc proc, void* arg) {
  if (++g_thread_calls == g_fail_at.load()) {
    g_before_failing();
    return false;
  }
  return platform::start_thread(out, proc, arg);
}

// A peer's request that reached the ingress ring while a start was failing
// is answered like the work a stop drains (a reason-8 deadletter, on which
// the peer may try elsewhere), and is not delivered by a later start after
// all. A dispatcher that runs waits for the start's lock to resolve, so it
// finds the runtime stopping by the time it could queue a job.
TEST(RuntimeLifecycle, AFailedStartAnswersWhatPeersQueuedAndLeavesNothingForTheNextStart) {
  const struct {
    const char* name;
    int fail_at;  // with the delivered-request writer first: 4 dispatcher, 5 local worker, 6 remote worker
    const char* target;
    const char* detail;
  } cases[] = {
      {"no thread ran", 1, test::kLocalTarget, "runtime stopped before delivery"},
      {"the writers ran", 4, test::kLocalTarget, "runtime stopped before delivery"},
      {"the dispatcher ran, local target", 5, test::kLocalTarget, "runtime stopped before local enqueue"},
      {"the dispatcher ran, remote target", 6, "svc.remote", "runtime stopped before remote enqueue"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TestRuntime fx;
    ASSERT_EQ(fx.take_handles(), Status::ok);
    const uint16_t port = test::free_loopback_port();
    FlatSnapshot s(1);
    test::add_local_route(&s, port);
    s.route("svc.remote", VORLET_V2_ROUTE_STRATEGY_SINGLE_OWNER, {{"127.0.0.1", test::free_loopback_port()}});
    ASSERT_EQ(fx.apply(s), Status::ok);

    test::ClientOutcome outcome;
    std::thread peer;
    Runtime* rt = fx.rt;
    g_before_failing = [&] {
      const std::string request = test::request_envelope({"peer-1", c.target});
      peer = std::thread([&] {
        outcome = test::client_exchange(port, test::wire_frame(test::wire_request_body(20000, request)), 20000);
      });
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (rt->ingress_ring.write_index.load() == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      EXPECT_EQ(rt->ingress_ring.write_index.load(), 1u);
    };
    g_thread_calls = 0;
    g_fail_at = c.fail_at;
    rt->start_thread = failing_after_step;
    EXPECT_EQ(fx.start(), Status::io);
    peer.join();

    ASSERT_EQ(outcome.status, Status::ok);
    const test::WireReply reply = test::wire_parse_reply(outcome.body);
    ASSERT_TRUE(reply.valid);
    EXPECT_EQ(reply.kind, 2u);
    EXPECT_EQ(reply.reason, 8u);
    transport::Deadletter dl;
    ASSERT_TRUE(dl.ParseFromString(reply.payload));
    // A dispatcher that took the request before the start failed ends it
    // at its push; else it ends as one popped while stopping.
    if (c.fail_at < 5 || dl.detail() != "runtime stopped before delivery") {
      EXPECT_EQ(dl.detail(), c.detail);
    }
    EXPECT_EQ(dl.original_envelope().message_id(), "peer-1");
    EXPECT_EQ(rt->ingress_ring.write_index.load(), rt->ingress_ring.read_index.load());
    EXPECT_EQ(rt->local_ring.count(), 0u);
    EXPECT_EQ(rt->remote_ring.count(), 0u);
    EXPECT_EQ(rt->reply_registry->count, 0u);

    // The next start begins with empty rings: the host is never handed the
    // request its peer was told had failed. A request submitted now comes
    // after anything left over, on the same road.
    rt->start_thread = platform::start_thread;
    ASSERT_EQ(fx.start(), Status::ok);
    const std::string marker = test::request_envelope({"marker", test::kLocalTarget});
    ASSERT_EQ(ingress_submit_envelope(rt, marker.data(), marker.size()), Status::ok);
    FrameBytes first;
    ASSERT_EQ(fx.read_frame(HostPipe::delivered, &first), Status::ok);
    std::string id;
    EXPECT_TRUE(test::envelope_id(std::string(first.begin(), first.end()), &id));
    EXPECT_EQ(id, "marker");
    ASSERT_EQ(fx.stop(), Status::ok);
    for (HostPipe pipe : {HostPipe::delivered, HostPipe::response, HostPipe::deadletter}) {
      std::vector<FrameBytes> frames;
      ASSERT_EQ(fx.read_until_eof(pipe, &frames), Status::ok);
      EXPECT_TRUE(frames.empty()) << static_cast<int>(pipe);
    }
  }
}

TEST(RuntimeLifecycle, OfTwoStopsAtOnceOneStopsAndTheOtherIsRefused) {
  TestRuntime fx;
  ASSERT_TRUE(fx.bring_up());
  for (int i = 0; i < 8; ++i) ASSERT_EQ(fx.push_frame(HostPipe::response, test::pattern(1000, i)), Status::ok);
  std::atomic<int> ok{0}, refused{0};
  auto stopper = [&] { (lifecycle_stop(fx.rt) == Status::ok ? ok : refused).fetch_add(1); };
  std::thread a(stopper), b(stopper);
  a.join();
  b.join();
  EXPECT_EQ(ok.load(), 1);
  EXPECT_EQ(refused.load(), 1);
  EXPECT_EQ(fx.rt->state, RuntimeState::stopped);
  std::vector<FrameBytes> frames;
  ASSERT_EQ(fx.read_until_eof(HostPipe::response, &frames), Status::ok);
  EXPECT_EQ(frames.size(), 8u);
}

}  // namespace
}  // namespace vorlet::v2
