#include "runtime/rings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "pool/frame_buffer.h"
#include "codec/parsed_envelope.h"
#include "runtime/consumer_wait.h"
#include "runtime/host_pipe_writers.h"
#include "runtime/ingress.h"
#include "runtime/lifecycle.h"
#include "runtime/local_delivery.h"
#include "runtime/remote_outbound.h"
#include "runtime/runtime.h"
#include "support/job_support.h"
#include "support/test_runtime.h"
#include "vorlet/v2/transport.pb.h"

namespace vorlet::v2 {
namespace {

using test::envelope_bytes;
using test::make_item;
using test::make_local_job;
using test::make_remote_job;

Runtime* create(int32_t hint) {
  const vorlet_v2_RuntimeOptions options{"test", "rings", 0, hint};
  return runtime_create(&options);
}

struct RuntimeDeleter {
  void operator()(Runtime* rt) const { runtime_destroy(rt); }
};
using RuntimePtr = std::unique_ptr<Runtime, RuntimeDeleter>;

std::string id_of(const void* bytes, uint64_t length) {
  ParsedEnvelope pe{};
  std::string id = parsed_envelope_parse(bytes, length, &pe, nullptr, 0) == Status::ok ? pe.message_id : "?";
  parsed_envelope_clear(&pe);
  return id;
}

// Pushes a job onto the remote ring the way admission does, for tests of
// the remote worker's pop.
Status push_remote(Runtime* rt, RemoteJob* job) {
  {
    MutexLock hold(&rt->remote_outbound_lock);
    if (!rt->remote_ring.push(job)) return Status::would_block;
    rt->counters.store(Counter::remote_outbound_depth, rt->remote_ring.count());
    rt->counters.raise_peak(Counter::remote_outbound_peak, rt->remote_ring.count());
  }
  wake_after_push(&rt->remote_wake);
  return Status::ok;
}

TEST(Rings, CapacityIsThePowerOfTwoAtOrAboveTheRequestAndAtLeastTwo) {
  const struct { uint64_t requested, capacity; } cases[] = {{0, 2}, {1, 2}, {2, 2}, {3, 4}, {4096, 4096}, {5000, 8192}};
  for (const auto& c : cases) {
    IngressRing ingress{};
    JobRing<LocalJob> jobs{};
    ASSERT_EQ(ring_init(&ingress, c.requested), Status::ok);
    ASSERT_EQ(ring_init(&jobs, c.requested), Status::ok);
    EXPECT_EQ(ingress.capacity, c.capacity) << c.requested;
    EXPECT_EQ(jobs.capacity(), c.capacity) << c.requested;
    EXPECT_EQ(jobs.mask(), c.capacity - 1);
    ring_free(&ingress);
    ring_free(&jobs);
  }
  // A runtime's three rings share its capacity, with 2 as the least.
  for (const auto& [hint, slots] : {std::pair{1, 2u}, std::pair{0, 4096u}, std::pair{300, 512u}}) {
    RuntimePtr rt(create(hint));
    ASSERT_NE(rt, nullptr);
    EXPECT_EQ(rt->ingress_ring.capacity, slots);
    EXPECT_EQ(rt->local_ring.capacity, slots);
    EXPECT_EQ(rt->remote_ring.capacity(), slots);
  }
}

// A ring no array could hold is refused as exhaustion, before anything is
// allocated, and leaves the ring without one (empty and full alike).
TEST(Rings, InitBeyondAnyArrayIsOutOfMemory) {
  constexpr uint64_t kBeyond = (1ull << 40) + 1;
  IngressRing ingress{};
  JobRing<RemoteJob> jobs{};
  EXPECT_EQ(ring_init(&ingress, kBeyond), Status::nomem);
  EXPECT_EQ(ring_init(&jobs, kBeyond), Status::nomem);
  EXPECT_EQ(ingress.items, nullptr);
  EXPECT_FALSE(jobs.has_array());
  EXPECT_TRUE(jobs.full());
  EXPECT_TRUE(jobs.observed_empty());
  EXPECT_FALSE(jobs.push(nullptr));
}

// Each ring fills to its capacity, refuses the next push without change,
// and hands everything back in order, round after round, while the
// free-running indices cycle through the slots.
TEST(Rings, FillRefuseAndDrainInOrderAcrossWraps) {
  constexpr uint64_t kCapacity = 4;
  constexpr int kRounds = 3;
  struct Ring {
    const char* name;
    std::function<Status(Runtime*, const std::string&)> push;
    std::function<std::string(Runtime*)> pop;
    std::function<uint64_t(Runtime*)> write_index;
    Counter depth, peak;
  };
  const Ring rings[] = {
      {"ingress",
       [](Runtime* rt, const std::string& bytes) {
         IngressItem item = make_item(bytes);
         const Status s = ingress_enqueue(rt, &item);
         if (s != Status::ok) ingress_item_discard(&item);
         return s;
       },
       [](Runtime* rt) {
         IngressItem item{};
         if (!ingress_try_pop(rt, &item)) return std::string("(empty)");
         const std::string id = id_of(item.frame, item.length);
         ingress_item_discard(&item);
         return id;
       },
       [](Runtime* rt) { return rt->ingress_ring.write_index.load(); }, Counter::ingress_depth, Counter::ingress_peak},
      {"local",
       [](Runtime* rt, const std::string& bytes) {
         LocalJobPtr job = make_local_job(bytes);
         const Status s = local_delivery_enqueue(rt, job.get());
         if (s == Status::ok) (void)job.release();
         return s;
       },
       [](Runtime* rt) {
         LocalJobPtr job(local_delivery_pop(rt));
         return id_of(job->frame, job->length);
       },
       [](Runtime* rt) { return rt->local_ring.write_index.load(); }, Counter::local_delivery_depth,
       Counter::local_delivery_peak},
      {"remote",
       [](Runtime* rt, const std::string& bytes) {
         RemoteJobPtr job = make_remote_job(bytes);
         const Status s = push_remote(rt, job.get());
         if (s == Status::ok) (void)job.release();
         return s;
       },
       [](Runtime* rt) {
         RemoteJobPtr job(remote_outbound_pop(rt));
         return id_of(job->frame, job->length);
       },
       [](Runtime* rt) { return rt->remote_ring.write_index(); }, Counter::remote_outbound_depth,
       Counter::remote_outbound_peak},
  };
  for (const Ring& ring : rings) {
    SCOPED_TRACE(ring.name);
    RuntimePtr rt(create(kCapacity));
    int next = 0;
    for (int round = 0; round < kRounds; ++round) {
      for (uint64_t i = 0; i < kCapacity; ++i) {
        ASSERT_EQ(ring.push(rt.get(), envelope_bytes(std::to_string(next + i))), Status::ok);
      }
      const uint64_t before = ring.write_index(rt.get());
      EXPECT_EQ(ring.push(rt.get(), envelope_bytes("overflow")), Status::would_block);
      EXPECT_EQ(ring.write_index(rt.get()), before);
      EXPECT_EQ(rt->counters.load(ring.depth), kCapacity);
      for (uint64_t i = 0; i < kCapacity; ++i) EXPECT_EQ(ring.pop(rt.get()), std::to_string(next++));
      EXPECT_EQ(rt->counters.load(ring.depth), 0u);
    }
    EXPECT_EQ(ring.write_index(rt.get()), kCapacity * kRounds);
    EXPECT_EQ(rt->counters.load(ring.peak), kCapacity);
  }
}

// The operations admission drops queued jobs with, on a ring of letters:
// the capital ones match. Each case runs from index 0 and again with the
// indices moved on so that the queue wraps past the end of the array; the
// ring must then hold exactly the rest in their order, with every freed
// slot free again.
TEST(Rings, RemovingMatchesKeepsTheRestInOrder) {
  constexpr uint64_t kCapacity = 8;
  constexpr uint64_t kAll = kCapacity;
  const struct {
    const char* name;
    const char* queued;  // oldest first
    uint64_t max;        // 1 through take_first_matching
    const char* removed;
    const char* left;
  } cases[] = {
      {"at the front", "Abcde", kAll, "A", "bcde"},
      {"in the middle", "abCde", kAll, "C", "abde"},
      {"at the back", "abcdE", kAll, "E", "abcd"},
      {"none", "abcde", kAll, "", "abcde"},
      {"all", "ABCDE", kAll, "ABCDE", ""},
      {"empty", "", kAll, "", ""},
      {"scattered, a full ring", "aBcDefGH", kAll, "BDGH", "acef"},
      {"runs of them", "ABcdEFg", kAll, "ABEF", "cdg"},
      {"at most two, the oldest", "aBcDeF", 2, "BD", "aceF"},
      {"the first only", "aBcDe", 1, "B", "acDe"},
      {"the first only, at the back", "abcdE", 1, "E", "abcd"},
      {"the first only, none", "abcde", 1, "", "abcde"},
  };
  auto capital = [](char c) { return c >= 'A' && c <= 'Z'; };
  auto capitals = [&](const char* text) {
    return static_cast<uint64_t>(std::count_if(text, text + std::strlen(text), capital));
  };
  for (const auto& c : cases) {
    for (const uint64_t offset : {uint64_t{0}, uint64_t{6}}) {
      SCOPED_TRACE(std::string(c.name) + (offset != 0 ? ", wrapped" : ""));
      Ring<char> ring{};
      ASSERT_EQ(ring_init(&ring, kCapacity), Status::ok);
      char out[kCapacity] = {};
      for (uint64_t i = 0; i < offset; ++i) {
        ASSERT_TRUE(ring.push('x'));
        ASSERT_TRUE(ring.try_pop(&out[0]));
      }
      for (const char* q = c.queued; *q != '\0'; ++q) ASSERT_TRUE(ring.push(*q));
      const uint64_t before = ring.write_index();

      EXPECT_EQ(ring.count_matching(capital), capitals(c.queued));
      std::memset(out, 0, sizeof out);
      uint64_t n = 0;
      if (c.max == 1) {
        n = ring.take_first_matching(capital, &out[0]) ? 1 : 0;
      } else {
        n = ring.remove_matching(capital, out, c.max);
      }
      EXPECT_EQ(std::string(out, n), c.removed);
      EXPECT_EQ(ring.write_index(), before - n);
      EXPECT_EQ(ring.count(), std::strlen(c.left));
      EXPECT_EQ(ring.count_matching(capital), capitals(c.left));

      // The slots given back take new pushes up to the capacity, behind
      // the rest.
      std::string expected = c.left;
      while (ring.push('z')) expected += 'z';
      EXPECT_EQ(expected.size(), kCapacity);
      std::string drained;
      char item = 0;
      while (ring.try_pop(&item)) drained += item;
      EXPECT_EQ(drained, expected);
      ring_free(&ring);
    }
  }
  // A ring without an array has nothing to give.
  Ring<char> none{};
  char out = 'q';
  EXPECT_EQ(none.count_matching(capital), 0u);
  EXPECT_EQ(none.remove_matching(capital, &out, 1), 0u);
  EXPECT_FALSE(none.take_first_matching(capital, &out));
  EXPECT_EQ(out, 'q');
}

TEST(Rings, PushesRefuseMalformedJobsAndAStoppingRuntime) {
  RuntimePtr rt(create(8));
  const std::string bytes = envelope_bytes("m");
  IngressItem no_frame{nullptr, 10, IngressOrigin::host, nullptr};
  IngressItem item = make_item(bytes);
  IngressItem no_length = item;
  no_length.length = 0;
  EXPECT_EQ(ingress_enqueue(nullptr, &item), Status::invalid_arg);
  EXPECT_EQ(ingress_enqueue(rt.get(), &no_frame), Status::invalid_arg);
  EXPECT_EQ(ingress_enqueue(rt.get(), &no_length), Status::invalid_arg);

  LocalJobPtr job = make_local_job(bytes);
  EXPECT_EQ(local_delivery_enqueue(nullptr, job.get()), Status::invalid_arg);
  EXPECT_EQ(local_delivery_enqueue(rt.get(), nullptr), Status::invalid_arg);
  job->length = 0;
  EXPECT_EQ(local_delivery_enqueue(rt.get(), job.get()), Status::invalid_arg);
  job->length = bytes.size();

  rt->stopping.store(1);
  EXPECT_EQ(ingress_enqueue(rt.get(), &item), Status::closed);
  EXPECT_EQ(local_delivery_enqueue(rt.get(), job.get()), Status::closed);
  EXPECT_EQ(rt->ingress_ring.write_index.load(), 0u);
  EXPECT_EQ(rt->local_ring.write_index.load(), 0u);
  ingress_item_discard(&item);
}

TEST(Submit, StatusFollowsTheLifecycleBeforeTheBytes) {
  RuntimePtr rt(create(2));
  const std::string bytes = envelope_bytes("s");
  const void* none = nullptr;
  EXPECT_EQ(ingress_submit_envelope(nullptr, bytes.data(), bytes.size()), Status::invalid_arg);
  // Created: not accepting, not stopping.
  EXPECT_EQ(ingress_submit_envelope(rt.get(), none, 0), Status::bad_state);
  // Started.
  rt->accepting.store(1);
  EXPECT_EQ(ingress_submit_envelope(rt.get(), none, bytes.size()), Status::invalid_arg);
  EXPECT_EQ(ingress_submit_envelope(rt.get(), bytes.data(), 0), Status::invalid_arg);
  // Stopping between the accepting test and the push.
  rt->stopping.store(1);
  EXPECT_EQ(ingress_submit_envelope(rt.get(), bytes.data(), bytes.size()), Status::closed);
  // Stopped: closed, whatever the bytes.
  rt->accepting.store(0);
  EXPECT_EQ(ingress_submit_envelope(rt.get(), none, 0), Status::closed);
  EXPECT_EQ(rt->ingress_ring.write_index.load(), 0u);
}

TEST(Submit, AcceptsAnyBytesUntilTheRingIsFullThenOnlyCounts) {
  RuntimePtr rt(create(1));  // rings of 2; a 1 MiB frame limit for the pipe reader
  rt->accepting.store(1);
  const std::string not_an_envelope =
      "\x0A\x05"
      "a";
  const std::string beyond_pipe_limit(rt->max_frame_bytes + 1, 'x');
  ASSERT_EQ(ingress_submit_envelope(rt.get(), not_an_envelope.data(), not_an_envelope.size()), Status::ok);
  ASSERT_EQ(ingress_submit_envelope(rt.get(), beyond_pipe_limit.data(), beyond_pipe_limit.size()), Status::ok);

  const uint64_t monitor_seq = rt->counters.load(Counter::monitor_seq);
  EXPECT_EQ(ingress_submit_envelope(rt.get(), not_an_envelope.data(), not_an_envelope.size()), Status::would_block);
  EXPECT_EQ(rt->counters.load(Counter::queue_rejections), 1u);
  EXPECT_EQ(rt->counters.load(Counter::deadletters_emitted), 0u);
  EXPECT_EQ(rt->counters.load(Counter::monitor_seq), monitor_seq);
  EXPECT_EQ(rt->event_log->count, 0u);

  // The ring holds copies of exactly what was submitted.
  for (const std::string* expected : {&not_an_envelope, &beyond_pipe_limit}) {
    IngressItem item{};
    ASSERT_TRUE(ingress_try_pop(rt.get(), &item));
    EXPECT_EQ(item.origin, IngressOrigin::host);
    EXPECT_EQ(item.reply_slot, nullptr);
    EXPECT_EQ(std::string(static_cast<const char*>(item.frame), item.length), *expected);
    ingress_item_discard(&item);
  }
  EXPECT_EQ(rt->counters.load(Counter::ingress_depth), 0u);
  EXPECT_EQ(rt->counters.load(Counter::ingress_peak), 2u);
}

// On a full ring a refusal comes before the copy: no frame buffer is
// taken, so producers that outrun the dispatcher cause no pool traffic.
// The pool is emptied first, so a buffer taken and given back would wait
// in this thread's cache. Bad bytes and stop still answer as before.
TEST(Submit, AFullRingRefusesBeforeTakingAFrameBuffer) {
  RuntimePtr rt(create(1));  // rings of 2
  rt->accepting.store(1);
  const std::string bytes = envelope_bytes("s");
  ASSERT_EQ(ingress_submit_envelope(rt.get(), bytes.data(), bytes.size()), Status::ok);
  ASSERT_EQ(ingress_submit_envelope(rt.get(), bytes.data(), bytes.size()), Status::ok);
  frame_pool_trim();

  const struct {
    const char* name;
    const void* bytes;
    uint64_t length;
    Status expected;
  } cases[] = {
      {"refused", bytes.data(), bytes.size(), Status::would_block},
      {"again", bytes.data(), bytes.size(), Status::would_block},
      {"no bytes", nullptr, bytes.size(), Status::invalid_arg},
      {"length 0", bytes.data(), 0, Status::invalid_arg},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ingress_submit_envelope(rt.get(), c.bytes, c.length), c.expected);
  }
  EXPECT_EQ(frame_pool_thread_cached(), 0u) << "a refused submit took a frame buffer";
  EXPECT_EQ(rt->counters.load(Counter::queue_rejections), 2u);
  EXPECT_EQ(rt->ingress_ring.write_index.load(), 2u);

  // Stopping: closed, not would_block, and not counted.
  rt->stopping.store(1);
  EXPECT_EQ(ingress_submit_envelope(rt.get(), bytes.data(), bytes.size()), Status::closed);
  EXPECT_EQ(rt->counters.load(Counter::queue_rejections), 2u);
  rt->stopping.store(0);

  // A slot freed by the consumer takes the next submit.
  IngressItem item{};
  ASSERT_TRUE(ingress_try_pop(rt.get(), &item));
  ingress_item_discard(&item);
  EXPECT_EQ(ingress_submit_envelope(rt.get(), bytes.data(), bytes.size()), Status::ok);
  while (ingress_try_pop(rt.get(), &item)) ingress_item_discard(&item);
}

// A consumer that sleeps whenever its ring is empty is woken by every push:
// strict ping-pong would hang on a single lost wake-up.
TEST(Rings, ASleepingConsumerIsWokenByEveryPush) {
  constexpr int kExchanges = 2000;
  struct Consumer {
    const char* name;
    std::function<bool(Runtime*)> pop;  // false: ended
    std::function<Status(Runtime*, const std::string&)> push;
  };
  const Consumer consumers[] = {
      {"dispatcher",
       [](Runtime* rt) {
         IngressItem item{};
         if (!ingress_pop(rt, &item)) return false;
         ingress_item_discard(&item);
         return true;
       },
       [](Runtime* rt, const std::string& bytes) {
         IngressItem item = make_item(bytes);
         return ingress_enqueue(rt, &item);
       }},
      {"local worker", [](Runtime* rt) { return LocalJobPtr(local_delivery_pop(rt)) != nullptr; },
       [](Runtime* rt, const std::string& bytes) {
         return local_delivery_enqueue(rt, make_local_job(bytes).release());
       }},
      {"remote worker", [](Runtime* rt) { return RemoteJobPtr(remote_outbound_pop(rt)) != nullptr; },
       [](Runtime* rt, const std::string& bytes) { return push_remote(rt, make_remote_job(bytes).release()); }},
  };
  const std::string bytes = envelope_bytes("ping");
  for (const Consumer& c : consumers) {
    SCOPED_TRACE(c.name);
    RuntimePtr rt(create(4));
    std::atomic<int> taken{0};
    std::thread consumer([&] {
      while (c.pop(rt.get())) taken.fetch_add(1);
    });
    for (int i = 0; i < kExchanges; ++i) {
      ASSERT_EQ(c.push(rt.get(), bytes), Status::ok);
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (taken.load() != i + 1 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
      ASSERT_EQ(taken.load(), i + 1) << "a wake-up was lost at push " << i;
    }
    rt->stopping.store(1);
    lifecycle_wake_threads(rt.get());
    consumer.join();
  }
}

// Producers race the stopping flag; the consumer ends only after taking
// every item a producer was told it had pushed.
TEST(Rings, ConsumersEndOnlyAfterEverythingPushedBeforeStop) {
  constexpr int kProducers = 4;
  constexpr int kRounds = 20;
  const std::string bytes = envelope_bytes("race");
  for (const bool ingress : {true, false}) {
    SCOPED_TRACE(ingress ? "dispatcher" : "local worker");
    for (int round = 0; round < kRounds; ++round) {
      RuntimePtr rt(create(16));
      std::atomic<uint64_t> accepted{0}, taken{0};
      std::thread consumer([&] {
        for (;;) {
          if (ingress) {
            IngressItem item{};
            if (!ingress_pop(rt.get(), &item)) return;
            ingress_item_discard(&item);
          } else {
            if (LocalJobPtr(local_delivery_pop(rt.get())) == nullptr) return;
          }
          taken.fetch_add(1);
        }
      });
      std::vector<std::thread> producers;
      for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&] {
          for (;;) {
            Status s;
            if (ingress) {
              IngressItem item = make_item(bytes);
              s = ingress_enqueue(rt.get(), &item);
              if (s != Status::ok) ingress_item_discard(&item);
            } else {
              LocalJobPtr job = make_local_job(bytes);
              s = local_delivery_enqueue(rt.get(), job.get());
              if (s == Status::ok) (void)job.release();
            }
            if (s == Status::ok) accepted.fetch_add(1);
            if (s == Status::closed || s == Status::bad_state) return;
            if (s == Status::would_block) std::this_thread::yield();
          }
        });
      }
      // Stop while the producers are busy.
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (accepted.load() < 100 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
      rt->stopping.store(1);
      lifecycle_wake_threads(rt.get());
      for (auto& t : producers) t.join();
      consumer.join();
      ASSERT_EQ(taken.load(), accepted.load()) << "round " << round;
      ASSERT_GT(accepted.load(), 0u);
    }
  }
}

// What destroy finds still queued ends as a failure for its requester or a
// deadletter for the host, never silently.
TEST(RuntimeDestroy, DrainsEveryRingIntoAStoppedOutcome) {
  test::TestRuntime host(0, test::TakeHandles{0});
  ASSERT_EQ(host.opened, Status::ok);
  Runtime* rt = host.rt;
  ASSERT_TRUE(host_pipe_writers_start(rt, HostPipe::deadletter));
  ReplySlot* registered = reply_slot_create();
  ReplySlot* unregistered = reply_slot_create();
  ReplySlot* inbound = reply_slot_create();
  ASSERT_EQ(reply_registry_register(&rt->reply_registry.get(), "pending", registered), Status::ok);

  IngressItem remote_item = make_item(envelope_bytes("inbound"), inbound);
  IngressItem host_item = make_item(envelope_bytes("from-host"));
  ASSERT_EQ(ingress_enqueue(rt, &remote_item), Status::ok);
  ASSERT_EQ(ingress_enqueue(rt, &host_item), Status::ok);
  ASSERT_EQ(local_delivery_enqueue(rt, make_local_job(envelope_bytes("pending"), 3, "l", 31, registered).release()),
            Status::ok);
  ASSERT_EQ(local_delivery_enqueue(rt, make_local_job(envelope_bytes("unreg"), 3, "l", 32, unregistered).release()),
            Status::ok);
  ASSERT_EQ(local_delivery_enqueue(rt, make_local_job(envelope_bytes("local"), 3, "l", 33).release()), Status::ok);
  ASSERT_EQ(push_remote(rt, make_remote_job(envelope_bytes("remote"), 4, "r", 44).release()), Status::ok);

  runtime_destroy(rt);
  host.rt = nullptr;

  std::vector<std::string> frames;
  EXPECT_EQ(test::read_all_frames(host.handles.deadletter_read_fd, &frames), Status::closed);
  ASSERT_EQ(frames.size(), 2u);
  const struct {
    const char* id;
    const char* detail;
    uint64_t generation;
    const char* host;
    uint32_t port;
  } expected[] = {{"local", "runtime destroyed before local delivery", 3, "l", 33},
                  {"remote", "runtime destroyed before remote delivery", 4, "r", 44}};
  for (size_t i = 0; i < frames.size(); ++i) {
    transport::Deadletter dl;
    ASSERT_TRUE(dl.ParseFromString(frames[i]));
    EXPECT_EQ(dl.reason(), 8);
    EXPECT_EQ(dl.detail(), expected[i].detail);
    EXPECT_EQ(dl.original_envelope().message_id(), expected[i].id);
    EXPECT_EQ(dl.active_generation(), expected[i].generation);
    EXPECT_EQ(dl.resolved_host(), expected[i].host);
    EXPECT_EQ(dl.resolved_port(), expected[i].port);
  }

  const struct {
    ReplySlot* slot;
    ReplyKind kind;
    const char* text;
  } slots[] = {
      {registered, ReplyKind::none, "runtime destroyed"},  // pending replies fail first
      {unregistered, ReplyKind::deadletter, "runtime destroyed before local delivery"},
      {inbound, ReplyKind::none, "runtime destroyed before remote request processing"},
  };
  for (const auto& s : slots) {
    SCOPED_TRACE(s.text);
    ReplyKind kind;
    void* payload;
    uint64_t length;
    int32_t reason;
    char text[kReplyMessageCapacity];
    ASSERT_EQ(reply_slot_wait(s.slot, 0, &kind, &payload, &length, &reason, text, sizeof text), Status::ok);
    EXPECT_EQ(kind, s.kind);
    EXPECT_EQ(reason, 8);
    EXPECT_STREQ(text, s.text);
    rt_free(payload);
    EXPECT_EQ(s.slot->refs.load(), 1);  // every other reference was given back
    reply_slot_release(s.slot);
  }
}

}  // namespace
}  // namespace vorlet::v2
