#include "runtime/remote_admission.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/alloc.h"
#include "base/clock.h"
#include "codec/parsed_envelope.h"
#include "runtime/host_pipe_writers.h"
#include "runtime/jobs.h"
#include "runtime/lifecycle.h"
#include "runtime/remote_outbound.h"
#include "runtime/runtime.h"
#include "support/delivery_ledger.h"
#include "support/envelopes.h"
#include "support/job_support.h"
#include "support/test_runtime.h"
#include "support/waiting.h"
#include "vorlet/v2/transport.pb.h"

namespace vorlet::v2 {
namespace {

using Detail = MonitorQueueRejectDetail;

constexpr uint32_t kReject = VORLET_V2_OVERLOAD_MODE_REJECT;
constexpr uint32_t kDropExpired = VORLET_V2_OVERLOAD_MODE_DROP_EXPIRED_FIRST;
constexpr uint32_t kDropOneWay = VORLET_V2_OVERLOAD_MODE_DROP_ONE_WAY_FIRST;

uint64_t now_ns() {
  uint64_t now = 0;
  EXPECT_EQ(clock_now_ns_status(&now), Status::ok);
  return now;
}

std::string envelope(const std::string& id, bool one_way) {
  return test::envelope({.message_id = id, .target = "svc", .one_way = one_way}).SerializeAsString();
}

// A job by its letter: R expects a reply, O is one-way (both with a live
// deadline); E and e are the same but expired; Z expects a reply and has no
// deadline.
RemoteJobPtr job_for(char shape, const std::string& id, uint64_t now) {
  const bool one_way = shape == 'O' || shape == 'e';
  RemoteJobPtr job = test::make_remote_job(envelope(id, one_way), 3, "peer", 7100);
  job->expects_reply = one_way ? 0 : 1;
  job->deadline_ns = shape == 'Z' ? 0 : (shape == 'E' || shape == 'e') ? now - 1 : deadline_after_ms(now, 60000);
  return job;
}

std::string id_of(const RemoteJob* job) {
  ParsedEnvelope pe{};
  EXPECT_EQ(parsed_envelope_parse(job->frame, job->length, &pe, nullptr, 0), Status::ok);
  std::string id = pe.message_id;
  parsed_envelope_clear(&pe);
  return id;
}

void set_policy(Runtime* rt, uint32_t mode, uint64_t reserve) {
  rt->remote_outbound_mode.store(mode);
  rt->reply_reserve_slots.store(reserve);
}

// The queued job ids, oldest first, emptying the ring.
std::string drain_queue(Runtime* rt) {
  std::string order;
  MutexLock hold(&rt->remote_outbound_lock);
  RemoteJob* popped = nullptr;
  while (rt->remote_ring.try_pop(&popped)) {
    RemoteJobPtr job(popped);
    if (job) order += id_of(job.get());
  }
  return order;
}

std::vector<transport::Deadletter> host_deadletters(test::TestRuntime* host) {
  host_pipe_writers_finish(host->rt);
  host_handles_close_write_ends(&host->rt->host_handles);
  std::vector<std::string> frames;
  EXPECT_EQ(test::read_all_frames(host->handles.deadletter_read_fd, &frames), Status::closed);
  std::vector<transport::Deadletter> out(frames.size());
  for (size_t i = 0; i < frames.size(); ++i) EXPECT_TRUE(out[i].ParseFromString(frames[i]));
  return out;
}

// What admission does with a newcomer on a queue of capacity 8, per mode,
// reserve and what is queued. Queued jobs are named 0 to 7 in push order,
// the newcomer N.
TEST(RemoteAdmission, EachModeJudgesTheNewcomerByWhatIsQueued) {
  const struct Row {
    const char* name;
    uint32_t mode;
    uint64_t reserve;
    const char* queued;  // job letters, oldest first
    char newcomer;
    Status status;
    Detail detail;
    const char* queue_after;  // ids, oldest first
    const char* dropped;      // ids of the deadlettered jobs, in order
    uint64_t reserve_rejections;
  } rows[] = {
      {"reject: full", kReject, 0, "RRRRRRRR", 'R', Status::would_block, Detail::queue_full, "01234567", "", 0},
      {"reject: room", kReject, 0, "RRR", 'O', Status::ok, Detail::none, "012N", "", 0},
      {"reject: one-way into the reserve", kReject, 2, "RRRRRR", 'O', Status::would_block,
       Detail::remote_reply_reserve, "012345", "", 1},
      {"reject: a reply-expecting job takes the reserve", kReject, 2, "RRRRRRR", 'R', Status::ok, Detail::none,
       "0123456N", "", 0},
      {"reject: expired jobs stay", kReject, 0, "EEEEEEEE", 'R', Status::would_block, Detail::queue_full, "01234567",
       "", 0},
      {"drop expired: full, oldest expired first", kDropExpired, 0, "ERERReRR", 'R', Status::ok, Detail::none,
       "13467N", "025", 0},
      {"drop expired: full, nothing expired", kDropExpired, 0, "RZRZRZRZ", 'R', Status::would_block,
       Detail::queue_full, "01234567", "", 0},
      {"drop expired: room, no sweep", kDropExpired, 0, "EERRR", 'R', Status::ok, Detail::none, "01234N", "", 0},
      {"drop expired: within the reserve, the sweep makes room", kDropExpired, 2, "RERRRR", 'O', Status::ok,
       Detail::none, "02345N", "1", 0},
      {"drop expired: within the reserve, still within after the sweep", kDropExpired, 3, "RERRRR", 'O',
       Status::would_block, Detail::remote_reply_reserve, "02345", "1", 1},
      {"drop one-way: full, the oldest one-way job gives way", kDropOneWay, 0, "RROROORR", 'R', Status::ok,
       Detail::none, "0134567N", "2", 0},
      {"drop one-way: full of reply-expecting jobs", kDropOneWay, 0, "RRRRRRRR", 'R', Status::would_block,
       Detail::queue_full, "01234567", "", 0},
      {"drop one-way: full, a one-way newcomer", kDropOneWay, 0, "RROROORR", 'O', Status::would_block,
       Detail::queue_full, "01234567", "", 0},
      {"drop one-way: full, a one-way newcomer, reserve", kDropOneWay, 2, "RROROORR", 'O', Status::would_block,
       Detail::remote_reply_reserve, "01234567", "", 1},
      {"drop one-way: room, nothing evicted", kDropOneWay, 0, "RROR", 'R', Status::ok, Detail::none, "0123N", "", 0},
      {"drop one-way: expired jobs stay", kDropOneWay, 0, "EEEEEEEE", 'R', Status::would_block, Detail::queue_full,
       "01234567", "", 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    test::TestRuntime host(8, test::TakeHandles{0});
    ASSERT_EQ(host.opened, Status::ok);
    Runtime* rt = host.rt;
    ASSERT_EQ(rt->remote_ring.capacity(), 8u);
    ASSERT_TRUE(host_pipe_writers_start(rt, HostPipe::deadletter));
    const uint64_t now = now_ns();
    const std::string queued = row.queued;
    for (size_t i = 0; i < queued.size(); ++i) {
      RemoteJobPtr job = job_for(queued[i], std::to_string(i), now);
      ASSERT_EQ(remote_admission_enqueue(rt, job.get(), nullptr), Status::ok);
      (void)job.release();
    }

    set_policy(rt, row.mode, row.reserve);
    RemoteJobPtr newcomer = job_for(row.newcomer, "N", now);
    Detail detail = Detail::queue_full;
    EXPECT_EQ(remote_admission_enqueue(rt, newcomer.get(), &detail), row.status);
    EXPECT_EQ(detail, row.detail);
    if (row.status == Status::ok) (void)newcomer.release();  // a refused job stays with the caller

    const std::string dropped = row.dropped;
    EXPECT_EQ(rt->counters.load(Counter::remote_outbound_depth), std::string(row.queue_after).size());
    EXPECT_EQ(drain_queue(rt), row.queue_after);
    EXPECT_EQ(rt->counters.load(Counter::reply_reserve_rejections), row.reserve_rejections);
    EXPECT_EQ(rt->counters.load(Counter::remote_outbound_expired_dropped),
              row.mode == kDropExpired ? dropped.size() : 0u);
    EXPECT_EQ(rt->counters.load(Counter::one_way_evictions), row.mode == kDropOneWay ? dropped.size() : 0u);
    EXPECT_EQ(rt->counters.load(Counter::deadletters_emitted), dropped.size());

    const std::vector<transport::Deadletter> got = host_deadletters(&host);
    ASSERT_EQ(got.size(), dropped.size());
    for (size_t i = 0; i < got.size(); ++i) {
      const transport::Deadletter& dl = got[i];
      EXPECT_EQ(dl.original_envelope().message_id(), std::string(1, dropped[i]));
      if (row.mode == kDropExpired) {
        EXPECT_EQ(dl.reason(), 13);
        EXPECT_EQ(dl.detail(), "remote outbound queue dropped expired envelope before delivery");
      } else {
        EXPECT_EQ(dl.reason(), 14);
        EXPECT_EQ(dl.detail(), "remote outbound queue dropped one-way envelope by overload policy");
      }
      EXPECT_EQ(dl.active_generation(), 3u);
      EXPECT_EQ(dl.resolved_host(), "peer");
      EXPECT_EQ(dl.resolved_port(), 7100u);
      EXPECT_EQ(dl.endpoint_attempt_count(), 0u);
    }
  }
}

// With capacity 8 and a reserve of 2, one-way jobs get in while more than
// two slots are free; jobs that expect a reply fill the queue.
TEST(RemoteAdmission, TheReserveKeepsTheLastSlotsForJobsThatExpectAReply) {
  test::TestRuntime host(8, test::TakeHandles{0});
  ASSERT_EQ(host.opened, Status::ok);
  Runtime* rt = host.rt;
  set_policy(rt, kReject, 2);
  const uint64_t now = now_ns();
  auto push = [&](char shape, Detail* detail) {
    RemoteJobPtr job = job_for(shape, "j", now);
    const Status s = remote_admission_enqueue(rt, job.get(), detail);
    if (s == Status::ok) (void)job.release();
    return s;
  };
  Detail detail = Detail::none;
  for (int i = 0; i < 6; ++i) ASSERT_EQ(push('O', &detail), Status::ok) << i;
  EXPECT_EQ(push('O', &detail), Status::would_block);
  EXPECT_EQ(detail, Detail::remote_reply_reserve);
  EXPECT_EQ(rt->counters.load(Counter::reply_reserve_rejections), 1u);
  EXPECT_EQ(push('R', &detail), Status::ok);
  EXPECT_EQ(detail, Detail::none);
  EXPECT_EQ(push('R', &detail), Status::ok);
  EXPECT_EQ(push('R', &detail), Status::would_block);
  EXPECT_EQ(detail, Detail::queue_full);
  EXPECT_EQ(rt->counters.load(Counter::reply_reserve_rejections), 1u);
  EXPECT_EQ(rt->counters.load(Counter::remote_outbound_peak), 8u);
}

TEST(RemoteAdmission, RefusesMalformedJobsAndAStoppingRuntime) {
  test::TestRuntime host(8, test::TakeHandles{0});
  ASSERT_EQ(host.opened, Status::ok);
  Runtime* rt = host.rt;
  RemoteJobPtr job = job_for('R', "j", now_ns());
  Detail detail = Detail::queue_full;
  EXPECT_EQ(remote_admission_enqueue(nullptr, job.get(), &detail), Status::invalid_arg);
  EXPECT_EQ(remote_admission_enqueue(rt, nullptr, &detail), Status::invalid_arg);
  RemoteJobPtr empty(remote_job_new());
  EXPECT_EQ(remote_admission_enqueue(rt, empty.get(), &detail), Status::invalid_arg);
  empty->frame = frame_buffer_acquire(4);
  EXPECT_EQ(remote_admission_enqueue(rt, empty.get(), &detail), Status::invalid_arg);
  EXPECT_EQ(detail, Detail::queue_full);  // untouched by a malformed call

  rt->stopping.store(1);
  EXPECT_EQ(remote_admission_enqueue(rt, job.get(), &detail), Status::closed);
  EXPECT_EQ(detail, Detail::none);
  EXPECT_EQ(rt->remote_ring.count(), 0u);
}

uint32_t broken_clock(uint64_t*) noexcept { return 2; }

// Without a clock no job can be told expired: nothing is swept and the
// full queue refuses.
TEST(RemoteAdmission, AClockThatCannotBeReadSkipsTheSweep) {
  test::TestRuntime host(2, test::TakeHandles{0});
  ASSERT_EQ(host.opened, Status::ok);
  Runtime* rt = host.rt;
  const uint64_t now = now_ns();
  for (const char* id : {"0", "1"}) {
    ASSERT_EQ(remote_admission_enqueue(rt, job_for('E', id, now).release(), nullptr), Status::ok);
  }
  set_policy(rt, kDropExpired, 0);
  RemoteJobPtr newcomer = job_for('R', "N", now);
  Detail detail = Detail::none;
  EXPECT_EQ(remote_admission_enqueue(rt, newcomer.get(), &detail, broken_clock), Status::would_block);
  EXPECT_EQ(detail, Detail::queue_full);
  EXPECT_EQ(rt->counters.load(Counter::remote_outbound_expired_dropped), 0u);
  EXPECT_EQ(drain_queue(rt), "01");
}

// A dropped job that came from a remote peer answers its requester, and
// its registry entry goes.
TEST(RemoteAdmission, DroppedJobsAnswerTheirRequesters) {
  for (const uint32_t mode : {kDropExpired, kDropOneWay}) {
    SCOPED_TRACE(mode);
    test::TestRuntime host(2, test::TakeHandles{0});
    ASSERT_EQ(host.opened, Status::ok);
    Runtime* rt = host.rt;
    const uint64_t now = now_ns();
    ReplySlot* slot = reply_slot_create();
    ASSERT_EQ(reply_registry_register(&rt->reply_registry.get(), "0", slot), Status::ok);
    RemoteJobPtr relayed = job_for(mode == kDropExpired ? 'E' : 'O', "0", now);
    reply_slot_retain(slot);
    relayed->reply_slot = slot;
    ASSERT_EQ(remote_admission_enqueue(rt, relayed.release(), nullptr), Status::ok);
    ASSERT_EQ(remote_admission_enqueue(rt, job_for('R', "1", now).release(), nullptr), Status::ok);

    set_policy(rt, mode, 0);
    RemoteJobPtr newcomer = job_for('R', "N", now);
    ASSERT_EQ(remote_admission_enqueue(rt, newcomer.get(), nullptr), Status::ok);
    (void)newcomer.release();
    EXPECT_EQ(drain_queue(rt), "1N");

    ReplyKind kind = ReplyKind::none;
    void* payload = nullptr;
    uint64_t length = 0;
    int32_t reason = 0;
    ASSERT_EQ(reply_slot_wait(slot, 0, &kind, &payload, &length, &reason, nullptr, 0), Status::ok);
    EXPECT_EQ(kind, ReplyKind::deadletter);
    EXPECT_EQ(reason, mode == kDropExpired ? 13 : 14);
    reply_payload_release(kind, payload);
    EXPECT_EQ(rt->reply_registry->count, 0u);
    EXPECT_EQ(slot->refs.load(), 1);  // the job's and the registry's references are gone
    reply_slot_release(slot);
    EXPECT_TRUE(host_deadletters(&host).empty());
  }
}

// A dropped job's deadletter may have to wait for room on the deadletter
// pipe, for as long as the host takes to read it. That wait is admission's
// own: the remote worker goes on popping what was admitted meanwhile, and
// the deadletter still reaches the host in its place once there is room.
TEST(RemoteAdmission, TheWorkerPopsWhileADroppedJobWaitsForTheDeadletterPipe) {
  test::TestRuntime host(1, test::TakeHandles{0});  // a ring of 2
  ASSERT_EQ(host.opened, Status::ok);
  Runtime* rt = host.rt;
  ASSERT_EQ(rt->remote_ring.capacity(), 2u);
  const uint64_t now = now_ns();
  for (const char* id : {"0", "1"}) {
    ASSERT_EQ(remote_admission_enqueue(rt, job_for(id[0] == '0' ? 'E' : 'R', id, now).release(), nullptr), Status::ok);
  }
  // No writer yet: frames the host has not taken fill the deadletter queue.
  const uint64_t queued = rt->pipe_queues[static_cast<uint32_t>(HostPipe::deadletter)]->capacity();
  transport::Deadletter earlier;
  earlier.set_detail("earlier");
  const std::string earlier_bytes = earlier.SerializeAsString();
  for (uint64_t i = 0; i < queued; ++i) {
    PipeItem filler{rt_malloc(earlier_bytes.size()), earlier_bytes.size(), BufferKind::heap};
    std::memcpy(filler.buffer, earlier_bytes.data(), earlier_bytes.size());
    ASSERT_EQ(host_pipe_writers_push(rt, HostPipe::deadletter, &filler), Status::ok);
  }

  set_policy(rt, kDropExpired, 0);
  std::atomic<bool> admitted{false};
  std::thread dispatcher([&] {
    RemoteJobPtr newcomer = job_for('R', "N", now);
    EXPECT_EQ(remote_admission_enqueue(rt, newcomer.get(), nullptr), Status::ok);
    (void)newcomer.release();
    admitted.store(true);
  });
  // However the test returns, the dispatcher's wait for room ends (the
  // closed queue refuses its deadletter) and it is joined.
  test::AtScopeEnd end_dispatcher([&] {
    if (!dispatcher.joinable()) return;
    host_pipe_writers_close_queue(rt, HostPipe::deadletter);
    dispatcher.join();
  });
  // The expired job is out and its deadletter waits for room.
  (void)test::eventually([&] { return rt->counters.load(Counter::deadletters_emitted) != 0; });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_EQ(rt->counters.load(Counter::deadletters_emitted), 1u);
  EXPECT_FALSE(admitted.load());

  std::atomic<bool> popped{false};
  std::string first;
  std::thread worker([&] {
    const RemoteJobPtr job(remote_outbound_pop(rt));
    first = id_of(job.get());
    popped.store(true);
  });
  // However the test returns, the worker's pop ends (on the stop, if the
  // ring is empty) and it is joined.
  test::AtScopeEnd end_worker([&] {
    if (!worker.joinable()) return;
    rt->stopping.store(1);
    lifecycle_wake_threads(rt);
    worker.join();
  });
  EXPECT_TRUE(test::eventually([&] { return popped.load(); }, 5000))
      << "the worker's pop waited for the host to read a deadletter";
  EXPECT_FALSE(admitted.load());

  // The host reads again: admission ends, and the deadletter follows what
  // was queued before it.
  ASSERT_TRUE(host_pipe_writers_start(rt, HostPipe::deadletter));
  dispatcher.join();
  worker.join();
  EXPECT_EQ(first, "1");
  EXPECT_EQ(drain_queue(rt), "N");
  const std::vector<transport::Deadletter> got = host_deadletters(&host);
  ASSERT_EQ(got.size(), queued + 1);
  for (uint64_t i = 0; i < queued; ++i) EXPECT_EQ(got[i].detail(), "earlier");
  EXPECT_EQ(got.back().original_envelope().message_id(), "0");
  EXPECT_EQ(got.back().reason(), 13);
}

// Admission compacts the ring while the worker pops from it: every job
// admitted comes out exactly once, popped by the worker or dropped as a
// deadletter, whatever the interleaving.
TEST(RemoteAdmission, DropsAndPopsNeverLoseOrDoubleAJob) {
  for (const uint32_t mode : {kDropExpired, kDropOneWay}) {
    SCOPED_TRACE(mode);
    test::TestRuntime host(16, test::TakeHandles{0});
    ASSERT_EQ(host.opened, Status::ok);
    Runtime* rt = host.rt;
    set_policy(rt, mode, 4);
    test::DeliveryLedger ledger;
    test::HostPipeDrain drain(&ledger, {}, host.handles.deadletter_read_fd);
    ASSERT_TRUE(host_pipe_writers_start(rt, HostPipe::deadletter));

    std::thread worker([&] {
      while (RemoteJob* popped = remote_outbound_pop(rt)) {
        const RemoteJobPtr job(popped);
        ledger.delivered(job->frame, job->length);
        std::this_thread::yield();
      }
    });
    const char shapes[] = "ROeRERORZO";
    uint64_t refused = 0;
    for (int i = 0; i < 3000; ++i) {
      const std::string id = "j" + std::to_string(i);
      RemoteJobPtr job = job_for(shapes[i % (sizeof shapes - 1)], id, now_ns());
      const Status s = remote_admission_enqueue(rt, job.get(), nullptr);
      if (s == Status::ok) {
        ledger.accepted(id);
        (void)job.release();
      } else {
        ASSERT_EQ(s, Status::would_block);
        ++refused;
      }
    }
    rt->stopping.store(1);
    lifecycle_wake_threads(rt);
    worker.join();
    host_pipe_writers_finish(rt);
    host_handles_close_write_ends(&rt->host_handles);
    ASSERT_TRUE(drain.wait());
    EXPECT_EQ(ledger.problems(), std::vector<std::string>{});
    EXPECT_EQ(ledger.accepted_count() + refused, 3000u);
    EXPECT_EQ(ledger.deadlettered_count(), rt->counters.load(Counter::remote_outbound_expired_dropped) +
                                               rt->counters.load(Counter::one_way_evictions));
  }
}

}  // namespace
}  // namespace vorlet::v2
