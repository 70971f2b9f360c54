#include "runtime/deadletter_emit.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "base/alloc.h"
#include "codec/deadletter.h"
#include "pool/frame_buffer.h"
#include "runtime/host_pipe_writers.h"
#include "runtime/runtime.h"
#include "support/job_support.h"
#include "support/test_runtime.h"
#include "vorlet/v2/transport.pb.h"

namespace vorlet::v2 {
namespace {

using test::envelope_bytes;
using test::read_all_frames;
using test::TakeHandles;
using test::TestRuntime;

// Ends the runtime's writers and write ends, then reads every deadletter
// the host was sent.
std::vector<transport::Deadletter> host_deadletters(TestRuntime* host) {
  host_pipe_writers_finish(host->rt);
  host_handles_close_write_ends(&host->rt->host_handles);
  std::vector<std::string> frames;
  EXPECT_EQ(read_all_frames(host->handles.deadletter_read_fd, &frames), Status::closed);
  std::vector<transport::Deadletter> out(frames.size());
  for (size_t i = 0; i < frames.size(); ++i) EXPECT_TRUE(out[i].ParseFromString(frames[i]));
  return out;
}

transport::Deadletter parse_deadletter(const void* bytes, uint64_t length) {
  transport::Deadletter dl;
  EXPECT_TRUE(dl.ParseFromArray(bytes, static_cast<int>(length)));
  return dl;
}

struct Taken {
  ReplyKind kind;
  void* payload;
  uint64_t length;
  int32_t reason;
  char text[kReplyMessageCapacity];
};

Taken take(ReplySlot* slot) {
  Taken t{};
  EXPECT_EQ(reply_slot_wait(slot, 0, &t.kind, &t.payload, &t.length, &t.reason, t.text, sizeof t.text), Status::ok);
  return t;
}

TEST(DeadletterEmission, CountsRecordsAndCarriesWhatTheCallerGave) {
  TestRuntime host(0, TakeHandles{VORLET_V2_HOST_HANDLE_MONITOR_PIPE});
  ASSERT_EQ(host.opened, Status::ok);
  Runtime* rt = host.rt;
  ASSERT_TRUE(host_pipe_writers_start(rt, HostPipe::deadletter));
  const std::string envelope = envelope_bytes("env-1");
  const std::string not_an_envelope =
      "\x0A\x05"
      "a";

  const struct Case {
    DeadletterReason reason;
    const std::string* bytes;
    const char* host;
    uint16_t port;
    uint32_t attempts;
    Counter also;  // deadletters_emitted when nothing more
    uint32_t event;
  } cases[] = {
      {DeadletterReason::route_miss, &envelope, "h", 1, 0, Counter::route_misses, 0},
      {DeadletterReason::delivery_failed, &envelope, "h", 2, 0, Counter::delivery_failures, 0},
      {DeadletterReason::remote_transport_failed, &envelope, "h", 3, 3, Counter::remote_transport_failures, 11},
      {DeadletterReason::remote_reply_timeout, &envelope, "h", 4, 2, Counter::remote_reply_timeouts, 9},
      {DeadletterReason::runtime_stopped, &not_an_envelope, "h", 5, 0, Counter::deadletters_emitted, 0},
      {DeadletterReason::queue_rejected, &envelope, nullptr, 0, 0, Counter::deadletters_emitted, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.reason));
    const uint64_t emitted = rt->counters.load(Counter::deadletters_emitted);
    const uint64_t also = rt->counters.load(c.also);
    const uint64_t events = rt->event_log->last_seq;
    deadletter_emit(rt, c.bytes->data(), c.bytes->size(), c.reason, "what happened", 42, c.host, c.port,
                            c.attempts, nullptr);
    EXPECT_EQ(rt->counters.load(Counter::deadletters_emitted), emitted + 1);
    if (c.also != Counter::deadletters_emitted) {
      EXPECT_EQ(rt->counters.load(c.also), also + 1);
    }
    if (c.event == 0) {
      EXPECT_EQ(rt->event_log->last_seq, events);
    } else {
      ASSERT_EQ(rt->event_log->last_seq, events + 1);
      const MonitorEvent& ev = rt->event_log->entries[(rt->event_log->head + kEventLogEntries - 1) % kEventLogEntries];
      EXPECT_EQ(ev.kind, c.event);
      EXPECT_EQ(ev.value1, 0u);
      EXPECT_EQ(ev.value2, c.attempts);
    }
  }
  EXPECT_EQ(rt->counters.load(Counter::route_misses), 1u);
  EXPECT_EQ(rt->counters.load(Counter::delivery_failures), 1u);

  const std::vector<transport::Deadletter> got = host_deadletters(&host);
  ASSERT_EQ(got.size(), std::size(cases));
  for (size_t i = 0; i < got.size(); ++i) {
    const Case& c = cases[i];
    const transport::Deadletter& dl = got[i];
    EXPECT_EQ(dl.reason(), static_cast<int>(c.reason));
    EXPECT_EQ(dl.detail(), "what happened");
    EXPECT_EQ(dl.active_generation(), 42u);
    EXPECT_EQ(dl.resolved_host(), c.host != nullptr ? c.host : "");
    EXPECT_EQ(dl.resolved_port(), c.port);
    EXPECT_EQ(dl.endpoint_attempt_count(), c.attempts);
    EXPECT_EQ(dl.has_original_envelope(), c.bytes == &envelope) << i;
    if (dl.has_original_envelope()) {
      EXPECT_EQ(dl.original_envelope().message_id(), "env-1");
    }
  }
}

TEST(DeadletterEmission, AWaitingReplySlotTakesTheDeadletterInsteadOfThePipe) {
  TestRuntime host(0, TakeHandles{0});
  ASSERT_EQ(host.opened, Status::ok);
  ASSERT_TRUE(host_pipe_writers_start(host.rt, HostPipe::deadletter));
  ReplySlot* slot = reply_slot_create();
  const std::string envelope = envelope_bytes("remote-req");
  deadletter_emit(host.rt, envelope.data(), envelope.size(), DeadletterReason::local_handoff_failed,
                          "local delivery adapter failed", 3, "h", 9, 0, slot);
  Taken t = take(slot);
  EXPECT_EQ(t.kind, ReplyKind::deadletter);
  EXPECT_EQ(t.reason, 5);
  EXPECT_STREQ(t.text, "local delivery adapter failed");
  const transport::Deadletter dl = parse_deadletter(t.payload, t.length);
  EXPECT_EQ(dl.reason(), 5);
  EXPECT_EQ(dl.original_envelope().message_id(), "remote-req");
  rt_free(t.payload);
  reply_slot_release(slot);
  EXPECT_TRUE(host_deadletters(&host).empty());
  EXPECT_EQ(host.rt->counters.load(Counter::deadletters_emitted), 1u);
}

// Fails the build of every deadletter that would carry an envelope.
Status fail_with_envelope(const void* envelope_bytes, uint64_t envelope_len, int32_t reason, const char* detail,
                          uint64_t generation, const char* host, uint32_t port, uint32_t attempts, void** out,
                          uint64_t* out_len) noexcept {
  if (envelope_bytes != nullptr) return Status::nomem;
  return transport_build_deadletter(envelope_bytes, envelope_len, reason, detail, generation, host, port, attempts, out,
                                    out_len);
}

Status fail_always(const void*, uint64_t, int32_t, const char*, uint64_t, const char*, uint32_t, uint32_t, void**,
                   uint64_t*) noexcept {
  return Status::nomem;
}

// A deadletter that cannot be built with its envelope still goes out
// without it; one that cannot be built at all still answers a waiting slot.
TEST(DeadletterEmission, AFailedBuildStillReportsTheOutcome) {
  const struct {
    const char* name;
    DeadletterBuilder builder;
    bool with_slot;
    ReplyKind slot_kind;  // with a slot
    size_t on_pipe;       // without one
  } cases[] = {
      {"retried without the envelope, to the pipe", fail_with_envelope, false, ReplyKind::none, 1},
      {"retried without the envelope, to the slot", fail_with_envelope, true, ReplyKind::deadletter, 0},
      {"never built, to the pipe", fail_always, false, ReplyKind::none, 0},
      {"never built, the slot fails", fail_always, true, ReplyKind::none, 0},
  };
  const std::string envelope = envelope_bytes("lost");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TestRuntime host(0, TakeHandles{0});
    ASSERT_EQ(host.opened, Status::ok);
    ASSERT_TRUE(host_pipe_writers_start(host.rt, HostPipe::deadletter));
    ReplySlot* slot = c.with_slot ? reply_slot_create() : nullptr;
    deadletter_set_builder_for_tests(c.builder);
    deadletter_emit(host.rt, envelope.data(), envelope.size(), DeadletterReason::remote_reply_timeout,
                            "peer too slow", 5, "peer", 7100, 1, slot);
    deadletter_set_builder_for_tests(nullptr);
    EXPECT_EQ(host.rt->counters.load(Counter::deadletters_emitted), 1u);
    EXPECT_EQ(host.rt->counters.load(Counter::remote_reply_timeouts), 1u);
    if (slot != nullptr) {
      Taken t = take(slot);
      EXPECT_EQ(t.kind, c.slot_kind);
      EXPECT_EQ(t.reason, 11);
      EXPECT_STREQ(t.text, "peer too slow");
      if (c.slot_kind == ReplyKind::deadletter) {
        const transport::Deadletter dl = parse_deadletter(t.payload, t.length);
        EXPECT_EQ(dl.reason(), 11);
        EXPECT_FALSE(dl.has_original_envelope());
      } else {
        EXPECT_EQ(t.payload, nullptr);
      }
      rt_free(t.payload);
      reply_slot_release(slot);
    }
    const std::vector<transport::Deadletter> got = host_deadletters(&host);
    ASSERT_EQ(got.size(), c.on_pipe);
    if (c.on_pipe == 1) {
      EXPECT_EQ(got[0].reason(), 11);
      EXPECT_EQ(got[0].detail(), "peer too slow");
      EXPECT_EQ(got[0].resolved_host(), "peer");
      EXPECT_FALSE(got[0].has_original_envelope());
    }
  }
}

// One owner, one release: whatever the queue refuses goes back by its kind.
TEST(HostHandoff, RefusedBuffersAreGivenBackByTheirKind) {
  for (const bool closed_queue : {false, true}) {
    SCOPED_TRACE(closed_queue ? "closed queue" : "no write end");
    TestRuntime host(0, TakeHandles{VORLET_V2_HOST_HANDLE_DELIVERED_PIPE});
    ASSERT_EQ(host.opened, Status::ok);
    Runtime* rt = host.rt;
    if (closed_queue) {
      host_pipe_writers_close_queues(rt);
    } else {
      host_handles_close_write_ends(&rt->host_handles);
    }
    const Status refusal = closed_queue ? Status::bad_state : Status::invalid_arg;

    void* frame = frame_buffer_acquire(64);
    const uint64_t idle = frame_pool_idle();
    EXPECT_EQ(host_pipe_writers_handoff_response(rt, frame, 64, BufferKind::frame), refusal);
    EXPECT_EQ(frame_pool_idle(), idle + 1);
    // Heap blocks: ASan reports one that is not freed.
    EXPECT_EQ(host_pipe_writers_handoff_response(rt, rt_malloc(64), 64, BufferKind::heap), refusal);
    host_pipe_writers_handoff_deadletter(rt, rt_malloc(64), 64);
    EXPECT_EQ(host_pipe_writers_handoff(rt, HostPipe::delivered, rt_malloc(64), 64, BufferKind::heap), refusal);
  }
}

// A host that does not read its deadletter pipe makes the emitting thread
// wait; nothing is lost, and each wait is counted and announced.
TEST(DeadletterEmission, ASlowHostHoldsTheEmitterAndHearsOfIt) {
  constexpr int kDeadletters = 12;
  TestRuntime host(1, TakeHandles{VORLET_V2_HOST_HANDLE_MONITOR_PIPE});  // pipe queues of 4
  ASSERT_EQ(host.opened, Status::ok);
  Runtime* rt = host.rt;
  ASSERT_TRUE(host_pipe_writers_start(rt, HostPipe::deadletter));
  const std::string big = envelope_bytes("big", 60000);  // one deadletter nearly fills the pipe

  std::atomic<int> done{0};
  std::thread emitter([&] {
    for (int i = 0; i < kDeadletters; ++i) {
      deadletter_emit(rt, big.data(), big.size(), DeadletterReason::runtime_stopped, "held", 1, "h", 1, 0,
                              nullptr);
      done.store(i + 1);
    }
  });
  // The emitter gets stuck behind the full pipe and queue.
  int seen = -1;
  for (int stable = 0; stable < 50; std::this_thread::sleep_for(std::chrono::milliseconds(2))) {
    stable = done.load() == seen ? stable + 1 : 0;
    seen = done.load();
  }
  EXPECT_LT(seen, kDeadletters);

  std::vector<std::string> frames;
  std::thread closer([&] {
    emitter.join();
    host_pipe_writers_finish(rt);
    host_handles_close_write_ends(&rt->host_handles);
  });
  EXPECT_EQ(read_all_frames(host.handles.deadletter_read_fd, &frames), Status::closed);
  closer.join();
  EXPECT_EQ(frames.size(), static_cast<size_t>(kDeadletters));

  const uint64_t blocked = rt->counters.load(Counter::deadletter_pipe_blocked);
  EXPECT_GE(blocked, 1u);
  EXPECT_EQ(rt->counters.load(Counter::monitor_seq), blocked);
  EXPECT_EQ(rt->counters.load(Counter::monitor_signals_written) + rt->counters.load(Counter::monitor_signals_skipped),
            blocked);
}

}  // namespace
}  // namespace vorlet::v2
