// The lock-free rings (ingress and local delivery) under many producers:
// what a push was told is what the consumer gets, in each producer's
// order, across a racing stop, a full ring and batched takes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "runtime/consumer_wait.h"
#include "runtime/ingress.h"
#include "runtime/lifecycle.h"
#include "runtime/local_delivery.h"
#include "runtime/rings.h"
#include "runtime/runtime.h"
#include "support/job_support.h"

namespace vorlet::v2 {
namespace {

using test::make_item;
using test::make_local_job;

struct RuntimeDeleter {
  void operator()(Runtime* rt) const { runtime_destroy(rt); }
};
using RuntimePtr = std::unique_ptr<Runtime, RuntimeDeleter>;

RuntimePtr create(int32_t hint) {
  const vorlet_v2_RuntimeOptions options{"test", "ingress-mp", 0, hint};
  return RuntimePtr(runtime_create(&options));
}

// Each value carries its producer and its number among that producer's
// accepted pushes, as the frame's 8 bytes.
uint64_t tag_of(uint32_t producer, uint32_t n) { return (uint64_t{producer} << 32) | n; }
std::string bytes_of(uint64_t tag) { return std::string(reinterpret_cast<const char*>(&tag), sizeof tag); }
uint64_t read_tag(const void* frame, uint64_t length) {
  uint64_t tag = ~0ull;
  if (length == sizeof tag) std::memcpy(&tag, frame, sizeof tag);
  return tag;
}

// One lock-free ring, driven through the runtime's own ends. push frees a
// refused value itself (it stays with the caller); take appends what it
// got and returns false once the consumer has ended.
struct RingEnds {
  const char* name;
  std::function<Status(Runtime*, uint64_t)> push;
  std::function<bool(Runtime*, std::vector<uint64_t>*)> take;
  // Everything still in the ring, taken without sleeping; vacancies count
  // as ~0.
  std::function<std::vector<uint64_t>(Runtime*)> leftovers;
};

const RingEnds kRings[] = {
    {"ingress (dispatcher batches)",
     [](Runtime* rt, uint64_t tag) {
       IngressItem item = make_item(bytes_of(tag));
       const Status s = ingress_enqueue(rt, &item);
       if (s != Status::ok) ingress_item_discard(&item);
       return s;
     },
     [](Runtime* rt, std::vector<uint64_t>* got) {
       IngressItem batch[16];
       const uint64_t n = ingress_take(rt, batch, 16);
       for (uint64_t i = 0; i < n; ++i) {
         got->push_back(read_tag(batch[i].frame, batch[i].length));
         ingress_item_discard(&batch[i]);
       }
       return n != 0;
     },
     [](Runtime* rt) {
       std::vector<uint64_t> left;
       IngressItem item{};
       while (rt->ingress_ring.try_pop(&item)) {
         left.push_back(item.frame == nullptr ? ~0ull : read_tag(item.frame, item.length));
         ingress_item_discard(&item);
       }
       return left;
     }},
    {"local delivery",
     [](Runtime* rt, uint64_t tag) {
       LocalJobPtr job = make_local_job(bytes_of(tag));
       const Status s = local_delivery_enqueue(rt, job.get());
       if (s == Status::ok) (void)job.release();
       return s;
     },
     [](Runtime* rt, std::vector<uint64_t>* got) {
       const LocalJobPtr job(local_delivery_pop(rt));
       if (!job) return false;
       got->push_back(read_tag(job->frame, job->length));
       return true;
     },
     [](Runtime* rt) {
       std::vector<uint64_t> left;
       LocalJob* popped = nullptr;
       while (rt->local_ring.try_pop(&popped)) {
         const LocalJobPtr job(popped);
         left.push_back(job ? read_tag(job->frame, job->length) : ~0ull);
       }
       return left;
     }},
};

// Per producer, the numbers the consumer saw must be exactly 0, 1, ...,
// accepted - 1, in that order: nothing lost, doubled, reordered or taken
// that a push was refused.
void expect_each_producers_pushes_in_order(const std::vector<uint64_t>& got, const std::vector<uint32_t>& accepted) {
  std::vector<uint32_t> next(accepted.size(), 0);
  for (uint64_t tag : got) {
    const auto producer = static_cast<uint32_t>(tag >> 32);
    ASSERT_LT(producer, accepted.size()) << "a value no producer pushed";
    ASSERT_EQ(static_cast<uint32_t>(tag), next[producer]) << "producer " << producer;
    ++next[producer];
  }
  for (size_t p = 0; p < accepted.size(); ++p) EXPECT_EQ(next[p], accepted[p]) << "producer " << p;
}

// Eight producers fill a small ring while the consumer takes, and stop
// falls in the middle: the consumer ends only after taking every value
// whose push returned ok, each producer's in its order; a push that was
// refused (closed) left its value with its producer, never in the ring.
// Under the address sanitizer a value owned twice or by no one shows too.
TEST(IngressMultiProducer, ProducersRacingStopStrandNothingAndDoubleNothing) {
  constexpr uint32_t kProducers = 8;
  constexpr int kRounds = 12;
  for (const RingEnds& ring : kRings) {
    SCOPED_TRACE(ring.name);
    for (int round = 0; round < kRounds; ++round) {
      RuntimePtr rt = create(8);
      ASSERT_NE(rt, nullptr);
      std::vector<uint64_t> got;
      std::thread consumer([&] {
        while (ring.take(rt.get(), &got)) {
        }
      });
      std::vector<uint32_t> accepted(kProducers, 0);
      std::atomic<uint64_t> total{0};
      std::vector<std::thread> producers;
      for (uint32_t p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
          for (;;) {
            const Status s = ring.push(rt.get(), tag_of(p, accepted[p]));
            if (s == Status::ok) {
              ++accepted[p];
              total.fetch_add(1, std::memory_order_relaxed);
            } else if (s == Status::would_block) {
              std::this_thread::yield();
            } else {
              EXPECT_EQ(s, Status::closed);
              return;
            }
          }
        });
      }
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (total.load() < 1000 + 100 * static_cast<uint64_t>(round) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
      }
      rt->stopping.store(1, std::memory_order_release);
      lifecycle_wake_threads(rt.get());
      for (auto& t : producers) t.join();
      consumer.join();

      expect_each_producers_pushes_in_order(got, accepted);
      ASSERT_EQ(got.size(), total.load()) << "round " << round;
      // What is left are at most the places of pushes refused after the
      // consumer ended.
      for (uint64_t tag : ring.leftovers(rt.get())) EXPECT_EQ(tag, ~0ull) << "an accepted value was stranded";
    }
  }
}

// Producers racing for the last slots of a ring nobody takes from: exactly
// its capacity is accepted, every other push is would_block (submit counts
// each in queue_rejections), the indices move once per accepted push, and
// the ring then gives back exactly what was accepted, each producer's in
// order, and takes the next round as well.
TEST(IngressMultiProducer, AFullRingRefusesEveryOtherPushAndStaysWhole) {
  constexpr uint32_t kProducers = 8;
  constexpr uint64_t kCapacity = 4;
  constexpr int kRounds = 3;
  for (const RingEnds& ring : kRings) {
    SCOPED_TRACE(ring.name);
    RuntimePtr rt = create(kCapacity);
    ASSERT_NE(rt, nullptr);
    for (int round = 0; round < kRounds; ++round) {
      std::vector<uint32_t> accepted(kProducers, 0);
      std::atomic<uint64_t> refused{0};
      std::atomic<bool> go{false};
      std::vector<std::thread> producers;
      for (uint32_t p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
          while (!go.load()) std::this_thread::yield();
          for (int i = 0; i < 4; ++i) {
            const Status s = ring.push(rt.get(), tag_of(p, accepted[p]));
            if (s == Status::ok) {
              ++accepted[p];
            } else {
              EXPECT_EQ(s, Status::would_block);
              refused.fetch_add(1);
            }
          }
        });
      }
      go.store(true);
      for (auto& t : producers) t.join();
      EXPECT_EQ(refused.load(), kProducers * 4 - kCapacity);
      const uint64_t claimed = std::string(ring.name) == "local delivery" ? rt->local_ring.write_index.load()
                                                                          : rt->ingress_ring.write_index.load();
      EXPECT_EQ(claimed, kCapacity * static_cast<uint64_t>(round + 1));

      std::vector<uint64_t> got = ring.leftovers(rt.get());
      expect_each_producers_pushes_in_order(got, accepted);
      EXPECT_EQ(got.size(), kCapacity);
    }
  }

  // Through submit, each refusal is counted once.
  RuntimePtr rt = create(kCapacity);
  ASSERT_NE(rt, nullptr);
  rt->accepting.store(1);
  std::atomic<uint64_t> ok{0}, full{0};
  std::vector<std::thread> producers;
  for (uint32_t p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      const std::string bytes = bytes_of(tag_of(p, 0));
      for (int i = 0; i < 4; ++i) {
        const Status s = ingress_submit_envelope(rt.get(), bytes.data(), bytes.size());
        (s == Status::ok ? ok : full).fetch_add(1);
        EXPECT_TRUE(s == Status::ok || s == Status::would_block) << static_cast<int>(s);
      }
    });
  }
  for (auto& t : producers) t.join();
  EXPECT_EQ(ok.load(), kCapacity);
  EXPECT_EQ(rt->counters.load(Counter::queue_rejections), full.load());
  EXPECT_EQ(rt->counters.load(Counter::ingress_peak), kCapacity);
}

// The dispatcher's take moves out up to its batch of what is published, in
// push order and across the wrap of the indices, leaves vacancies out, and
// sets the depth gauge to what is left.
TEST(IngressMultiProducer, BatchedTakesKeepPushOrderAndSkipVacancies) {
  RuntimePtr rt = create(8);
  ASSERT_NE(rt, nullptr);
  uint64_t next_in = 0, next_out = 0;
  auto push = [&](uint64_t n) {
    for (uint64_t i = 0; i < n; ++i) {
      IngressItem item = make_item(bytes_of(next_in++));
      ASSERT_EQ(ingress_enqueue(rt.get(), &item), Status::ok);
    }
  };
  auto take = [&](uint64_t max, uint64_t expected, uint64_t left) {
    IngressItem batch[8];
    ASSERT_EQ(ingress_take(rt.get(), batch, max), expected);
    for (uint64_t i = 0; i < expected; ++i) {
      EXPECT_EQ(read_tag(batch[i].frame, batch[i].length), next_out++);
      ingress_item_discard(&batch[i]);
    }
    EXPECT_EQ(rt->counters.load(Counter::ingress_depth), left);
  };
  push(5);
  take(3, 3, 2);
  push(6);  // wraps: positions 5 to 10 of a ring of 8
  take(8, 8, 0);

  // A producer that claimed and then gave up leaves a vacancy between two
  // values: the take hands over only the two.
  push(1);
  IngressRing::Slot* slot = nullptr;
  uint64_t position = 0;
  ASSERT_TRUE(rt->ingress_ring.claim(&slot, &position));
  IngressRing::publish(slot, position, IngressItem{});
  push(1);
  take(8, 2, 0);
  EXPECT_EQ(rt->ingress_ring.count(), 0u);
}

// A producer that has claimed a slot but not yet published it when stop
// comes: the consumer must neither end (the value would be stranded) nor
// spin; it sleeps until the publication wakes it, takes the value and only
// then ends.
TEST(IngressMultiProducer, StopWaitsAsleepForAClaimStillBeingWritten) {
  RuntimePtr rt = create(8);
  ASSERT_NE(rt, nullptr);
  IngressRing::Slot* slot = nullptr;
  uint64_t position = 0;
  ASSERT_TRUE(rt->ingress_ring.claim(&slot, &position));  // a producer, stalled after its claim
  rt->stopping.store(1, std::memory_order_release);

  std::atomic<bool> ended{false};
  std::vector<uint64_t> got;
  std::thread consumer([&] {
    while (kRings[0].take(rt.get(), &got)) {
    }
    ended.store(true);
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (rt->dispatcher_wake.sleeping.load() == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(rt->dispatcher_wake.sleeping.load(), 1u) << "the consumer should sleep while the claim is written";
  lifecycle_wake_threads(rt.get());  // a stray wake-up does not end it either
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(ended.load()) << "the consumer ended with a claim unpublished";

  // The stalled producer, which saw the flag clear at its second test,
  // publishes its value.
  IngressItem item = make_item(bytes_of(42));
  IngressRing::publish(slot, position, item);
  wake_after_push(&rt->dispatcher_wake);
  consumer.join();
  EXPECT_TRUE(ended.load());
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0], 42u);
}

}  // namespace
}  // namespace vorlet::v2
