#include "runtime/local_delivery.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/thread.h"
#include "runtime/deadletter_emit.h"
#include "runtime/host_pipe_writers.h"
#include "runtime/lifecycle.h"
#include "runtime/runtime.h"
#include "support/delivery_ledger.h"
#include "support/job_support.h"
#include "support/test_runtime.h"
#include "support/waiting.h"
#include "vorlet/v2/transport.pb.h"

namespace vorlet::v2 {
namespace {

using test::envelope_bytes;
using test::FrameBytes;
using test::make_local_job;
using test::read_all_frames;
using test::TakeHandles;
using test::TestRuntime;

constexpr uint32_t kDelivered = VORLET_V2_HOST_HANDLE_DELIVERED_PIPE;
constexpr uint32_t kMonitor = VORLET_V2_HOST_HANDLE_MONITOR_PIPE;

// The local road from the worker to the host, brought up and taken down in
// the order of start and stop (writers and gate, then the worker; stopping
// set and the worker joined, then the queues written out and the write ends
// closed, then the gate closed), with each step in the test's hands: to
// queue jobs before the worker runs, or to call the worker's step itself.
class LocalRoad {
 public:
  explicit LocalRoad(Runtime* rt) : rt_(rt) {}
  ~LocalRoad() { stop(); }

  void start_writers() {
    if (host_handles_delivered_enabled(&rt_->host_handles)) host_pipe_writers_start(rt_, HostPipe::delivered);
    host_pipe_writers_start(rt_, HostPipe::response);
    host_pipe_writers_start(rt_, HostPipe::deadletter);
    local_gate_open(rt_->local_adapter);
  }
  void start_worker() { worker_started_ = platform::start_thread(&worker_, local_delivery_thread, rt_); }
  void start() {
    start_writers();
    start_worker();
  }
  void set_stopping() {
    rt_->stopping.store(1);
    rt_->accepting.store(0);
    lifecycle_wake_threads(rt_);
  }
  void stop() {
    if (stopped_) return;
    stopped_ = true;
    set_stopping();
    if (worker_started_) platform::join_thread(&worker_);
    host_pipe_writers_finish(rt_);
    host_handles_close_write_ends(&rt_->host_handles);
    local_gate_close(rt_->local_adapter);
  }

 private:
  Runtime* rt_;
  std::thread worker_;
  bool worker_started_ = false;
  bool stopped_ = false;
};

std::vector<std::string> frames_on(int32_t fd) {
  std::vector<std::string> frames;
  EXPECT_EQ(read_all_frames(fd, &frames), Status::closed);
  return frames;
}

std::vector<transport::Deadletter> deadletters_on(int32_t fd) {
  std::vector<transport::Deadletter> out;
  for (const std::string& frame : frames_on(fd)) {
    out.emplace_back();
    EXPECT_TRUE(out.back().ParseFromString(frame));
  }
  return out;
}

TEST(LocalGate, CopiesOnlyWhileOpen) {
  LocalDeliveryAdapter* gate = local_gate_create();
  ASSERT_NE(gate, nullptr);
  const char bytes[] = "envelope bytes";
  HeapBlock copy;
  EXPECT_EQ(local_gate_copy(gate, bytes, sizeof bytes, 1000, &copy), Status::bad_state);  // created closed
  EXPECT_EQ(local_gate_open(gate), Status::ok);
  EXPECT_EQ(local_gate_copy(nullptr, bytes, sizeof bytes, 1000, &copy), Status::invalid_arg);
  EXPECT_EQ(local_gate_copy(gate, nullptr, sizeof bytes, 1000, &copy), Status::invalid_arg);
  EXPECT_EQ(local_gate_copy(gate, bytes, sizeof bytes, 1000, nullptr), Status::invalid_arg);
  ASSERT_EQ(local_gate_copy(gate, bytes, sizeof bytes, 1000, &copy), Status::ok);
  EXPECT_NE(copy.get(), static_cast<const void*>(bytes));
  EXPECT_EQ(std::memcmp(copy.get(), bytes, sizeof bytes), 0);
  local_gate_close(gate);
  EXPECT_EQ(local_gate_copy(gate, bytes, sizeof bytes, 1000, &copy), Status::bad_state);
  EXPECT_EQ(local_gate_open(nullptr), Status::invalid_arg);
  local_gate_close(nullptr);
  local_gate_destroy(gate);
}

// The host gets the whole envelope as it entered, byte for byte: on the
// delivered-request pipe when it asked for it, else among the responses.
TEST(LocalDelivery, TheWholeEnvelopeReachesTheHostsChosenPipe) {
  for (const bool delivered_pipe : {true, false}) {
    SCOPED_TRACE(delivered_pipe ? "delivered-request pipe" : "response pipe");
    TestRuntime fx;
    ASSERT_TRUE(fx.bring_up(delivered_pipe ? TestRuntime::kAllPipes : kMonitor));
    const std::string bytes = envelope_bytes("local-1", 3000);
    ASSERT_EQ(local_delivery_enqueue(fx.rt, make_local_job(bytes).release()), Status::ok);
    const HostPipe expected_on = delivered_pipe ? HostPipe::delivered : HostPipe::response;
    FrameBytes got;
    ASSERT_EQ(fx.read_frame(expected_on, &got), Status::ok);
    EXPECT_TRUE(std::string(got.begin(), got.end()) == bytes);
    ASSERT_EQ(fx.stop(), Status::ok);
    for (HostPipe pipe : {HostPipe::delivered, HostPipe::response, HostPipe::deadletter}) {
      if (pipe == HostPipe::delivered && !delivered_pipe) continue;
      std::vector<FrameBytes> rest;
      EXPECT_EQ(fx.read_until_eof(pipe, &rest), Status::ok);
      EXPECT_TRUE(rest.empty());
    }
    EXPECT_EQ(fx.counter(Counter::deadletters_emitted), 0u);
  }
}

TEST(LocalDelivery, JobsQueuedAtStopBecomeStoppedDeadletters) {
  TestRuntime host(0, TakeHandles{kDelivered});
  ASSERT_EQ(host.opened, Status::ok);
  LocalRoad road(host.rt);
  road.start_writers();
  for (int i = 0; i < 3; ++i) {
    const std::string host_name = "node-" + std::to_string(i);
    ASSERT_EQ(local_delivery_enqueue(host.rt, make_local_job(envelope_bytes("queued-" + std::to_string(i)), 10 + i,
                                                            host_name.c_str(), 7000 + i)
                                                 .release()),
              Status::ok);
  }
  // Stop begins before the worker reaches them; the worker still takes
  // every one of them before it ends.
  road.set_stopping();
  road.start_worker();
  road.stop();
  EXPECT_TRUE(frames_on(host.handles.delivered_read_fd).empty());
  const std::vector<transport::Deadletter> got = deadletters_on(host.handles.deadletter_read_fd);
  ASSERT_EQ(got.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(got[i].reason(), 8);
    EXPECT_EQ(got[i].detail(), "runtime stopped before local delivery");
    EXPECT_EQ(got[i].active_generation(), 10u + i);
    EXPECT_EQ(got[i].resolved_host(), "node-" + std::to_string(i));
    EXPECT_EQ(got[i].resolved_port(), 7000u + i);
    EXPECT_EQ(got[i].endpoint_attempt_count(), 0u);
    EXPECT_EQ(got[i].original_envelope().message_id(), "queued-" + std::to_string(i));
  }
  EXPECT_EQ(host.rt->counters.load(Counter::deadletters_emitted), 3u);
  EXPECT_EQ(host.rt->counters.load(Counter::local_delivery_depth), 0u);
}

// Jobs queued faster than the worker takes them: the small frames of a
// burst go to the idle pipe together, a large one among them through the
// writer, and the host reads every envelope once, in the order queued,
// with nothing deadlettered. Before the large one the pipe is idle, so all
// of those went straight out.
TEST(LocalDelivery, ABurstOfSmallAndLargeJobsReachesTheHostInOrder) {
  constexpr int kJobs = 60;
  constexpr int kLarge = 15;  // and every twentieth after it
  TestRuntime host(0, TakeHandles{kDelivered});
  ASSERT_EQ(host.opened, Status::ok);
  LocalRoad road(host.rt);
  road.start_writers();
  std::vector<std::string> sent;
  for (int i = 0; i < kJobs; ++i) {
    const bool large = i >= kLarge && (i - kLarge) % 20 == 0;
    sent.push_back(envelope_bytes("burst-" + std::to_string(i), large ? 6000 : 40 + i));
    ASSERT_EQ(local_delivery_enqueue(host.rt, make_local_job(sent.back()).release()), Status::ok) << i;
  }
  PipeQueue& delivered = *host.rt->pipe_queues[static_cast<uint32_t>(HostPipe::delivered)];
  ASSERT_TRUE(test::eventually([&] { return delivered.writer_idle(); }));
  road.start_worker();
  std::vector<FrameBytes> got;
  for (int i = 0; i < kJobs; ++i) {
    FrameBytes frame;
    ASSERT_EQ(host.read_frame(HostPipe::delivered, &frame), Status::ok) << i;
    got.push_back(std::move(frame));
  }
  road.stop();
  for (int i = 0; i < kJobs; ++i) EXPECT_TRUE(std::string(got[i].begin(), got[i].end()) == sent[i]) << i;
  EXPECT_GE(host.rt->counters.load(Counter::delivered_pipe_direct_writes), static_cast<uint64_t>(kLarge));
  EXPECT_LE(host.rt->counters.load(Counter::delivered_pipe_direct_writes), static_cast<uint64_t>(kJobs - 3));
  EXPECT_EQ(host.rt->counters.load(Counter::deadletters_emitted), 0u);
  EXPECT_EQ(host.rt->counters.load(Counter::local_delivery_depth), 0u);
  EXPECT_EQ(host.rt->counters.load(Counter::local_delivery_peak), static_cast<uint64_t>(kJobs));
}

// A job that cannot be handed over becomes a deadletter: on the deadletter
// pipe, or, for a remote requester, in its reply slot, whose entry leaves
// the registry so that a late response no longer finds it.
TEST(LocalDelivery, JobsThatCannotBeHandedOverBecomeDeadletters) {
  const struct {
    const char* name;
    bool close_gate;  // else the delivered-request queue is closed
    bool remote;
    int reason;
    const char* detail;
  } cases[] = {
      {"gate closed", true, false, 5, "local delivery adapter failed"},
      {"gate closed, remote requester", true, true, 5, "local delivery adapter failed"},
      {"queue closed", false, false, 8, "runtime stopped before local host handoff"},
      {"queue closed, remote requester", false, true, 8, "runtime stopped before local host handoff"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TestRuntime host(0, TakeHandles{kDelivered});
    ASSERT_EQ(host.opened, Status::ok);
    Runtime* rt = host.rt;
    LocalRoad road(rt);
    road.start_writers();
    if (c.close_gate) {
      local_gate_close(rt->local_adapter);
    } else {
      host_pipe_writers_close_queue(rt, HostPipe::delivered);
    }
    ReplySlot* slot = nullptr;
    if (c.remote) {
      slot = reply_slot_create();
      ASSERT_EQ(reply_registry_register(&rt->reply_registry.get(), "req-9", slot), Status::ok);
    }
    LocalJobPtr job = make_local_job(envelope_bytes("req-9"), 4, "here", 4100, slot);
    local_deliver(rt, job.get());
    job.reset();
    road.stop();

    EXPECT_TRUE(frames_on(host.handles.delivered_read_fd).empty());
    const std::vector<transport::Deadletter> on_pipe = deadletters_on(host.handles.deadletter_read_fd);
    transport::Deadletter dl;
    if (c.remote) {
      EXPECT_TRUE(on_pipe.empty());
      EXPECT_EQ(rt->reply_registry->count, 0u);
      ReplyKind kind;
      void* payload;
      uint64_t length;
      int32_t reason;
      ASSERT_EQ(reply_slot_wait(slot, 0, &kind, &payload, &length, &reason, nullptr, 0), Status::ok);
      EXPECT_EQ(kind, ReplyKind::deadletter);
      EXPECT_EQ(reason, c.reason);
      EXPECT_TRUE(dl.ParseFromArray(payload, static_cast<int>(length)));
      rt_free(payload);
      EXPECT_EQ(slot->refs.load(), 1);
      reply_slot_release(slot);
    } else {
      ASSERT_EQ(on_pipe.size(), 1u);
      dl = on_pipe[0];
    }
    EXPECT_EQ(dl.reason(), c.reason);
    EXPECT_EQ(dl.detail(), c.detail);
    EXPECT_EQ(dl.active_generation(), 4u);
    EXPECT_EQ(dl.resolved_host(), "here");
    EXPECT_EQ(dl.resolved_port(), 4100u);
    EXPECT_EQ(rt->counters.load(Counter::deadletters_emitted), 1u);
  }
}

TEST(LocalDelivery, ARemoteRequestDeliveredKeepsItsPendingReply) {
  TestRuntime fx;
  ASSERT_TRUE(fx.bring_up());
  Runtime* rt = fx.rt;
  ReplySlot* slot = reply_slot_create();
  ASSERT_EQ(reply_registry_register(&rt->reply_registry.get(), "req-1", slot), Status::ok);
  ASSERT_EQ(local_delivery_enqueue(rt, make_local_job(envelope_bytes("req-1"), 1, "h", 1, slot).release()), Status::ok);
  FrameBytes got;
  ASSERT_EQ(fx.read_frame(HostPipe::delivered, &got), Status::ok);
  // The host's response will find it; only the job's reference went.
  EXPECT_EQ(reply_registry_take(&rt->reply_registry.get(), "req-1", nullptr), slot);
  // The worker lets go of its job just after the frame is on its way.
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (slot->refs.load() > 2 && std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(slot->refs.load(), 2);
  reply_slot_release(slot);
  reply_slot_release(slot);
  ASSERT_EQ(fx.stop(), Status::ok);
}

// A host that does not read blocks the worker once its queue is full;
// nothing is lost, and the wait is counted and announced.
TEST(LocalDelivery, ASlowHostBlocksTheWorkerAndLosesNothing) {
  // More than fit on the way without the host reading: the pipe, the
  // writer's batch, the queue, the worker's hand and the ring hold 12.
  constexpr int kJobs = 20;
  TestRuntime fx(1);  // rings of 2, pipe queues of 4
  ASSERT_TRUE(fx.bring_up());
  Runtime* rt = fx.rt;
  std::vector<std::string> sent;
  for (int i = 0; i < kJobs; ++i) sent.push_back(envelope_bytes("slow-" + std::to_string(i), 60000));
  std::atomic<int> pushed{0};
  std::thread dispatcher([&] {
    for (int i = 0; i < kJobs; ++i) {
      LocalJobPtr job = make_local_job(sent[i]);
      while (local_delivery_enqueue(rt, job.get()) == Status::would_block) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      (void)job.release();
      pushed.store(i + 1);
    }
  });
  // Wait until the worker is stuck: the pushes stop advancing.
  int seen = -1;
  for (int stable = 0; stable < 50; std::this_thread::sleep_for(std::chrono::milliseconds(2))) {
    stable = pushed.load() == seen ? stable + 1 : 0;
    seen = pushed.load();
  }
  EXPECT_LT(seen, kJobs);
  const uint64_t seq_while_stuck = fx.counter(Counter::monitor_seq);

  for (int i = 0; i < kJobs; ++i) {
    FrameBytes got;
    ASSERT_EQ(fx.read_frame(HostPipe::delivered, &got), Status::ok) << i;
    EXPECT_TRUE(std::string(got.begin(), got.end()) == sent[i]) << i;
  }
  dispatcher.join();
  ASSERT_EQ(fx.stop(), Status::ok);
  EXPECT_GE(fx.counter(Counter::delivered_pipe_blocked), 1u);
  EXPECT_GT(fx.counter(Counter::monitor_seq), seq_while_stuck);
  EXPECT_EQ(fx.counter(Counter::deadletters_emitted), 0u);
}

// Several threads push jobs while stop runs: every job the ring accepted
// reaches the host exactly once, delivered or deadlettered (the local ring
// has one producer in the runtime, the dispatcher; more producers make the
// race with stop tighter).
TEST(LocalDelivery, EveryAcceptedJobIsAccountedForAcrossStop) {
  constexpr int kProducers = 4;
  constexpr int kRounds = 5;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE(round);
    TestRuntime fx(64);
    ASSERT_TRUE(fx.bring_up());
    Runtime* rt = fx.rt;
    test::DeliveryLedger ledger;
    test::HostPipeDrain drain(&ledger, {fx.handles.delivered_read_fd, fx.handles.response_read_fd},
                              fx.handles.deadletter_read_fd);
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
      producers.emplace_back([&, p] {
        for (int i = 0;; ++i) {
          const std::string id = "p" + std::to_string(p) + "-" + std::to_string(i);
          LocalJobPtr job = make_local_job(envelope_bytes(id, 200));
          Status s;
          while ((s = local_delivery_enqueue(rt, job.get())) == Status::would_block) std::this_thread::yield();
          if (s != Status::ok) return;  // stopping: the job stays ours and goes
          (void)job.release();
          ledger.accepted(id);
        }
      });
    }
    // Stop while the producers are busy.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (ledger.accepted_count() < 200 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(fx.stop(), Status::ok);
    for (auto& t : producers) t.join();
    ASSERT_TRUE(drain.wait());
    for (const std::string& p : ledger.problems()) ADD_FAILURE() << p;
    EXPECT_GT(ledger.accepted_count(), 0u);
    EXPECT_EQ(ledger.delivered_count() + ledger.deadlettered_count(), ledger.accepted_count());
    for (const auto& [detail, n] : ledger.deadletter_details()) {
      EXPECT_TRUE(detail == "runtime stopped before local delivery") << detail << " x" << n;
    }
  }
}

}  // namespace
}  // namespace vorlet::v2
