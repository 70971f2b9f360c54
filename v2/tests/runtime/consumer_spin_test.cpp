// The bounded spin of a ring's consumer before it sleeps: when it spins
// at all, that a push during the spin is taken without waking anyone, and
// that a push just as the spin gives up is never lost.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "runtime/consumer_wait.h"
#include "runtime/ingress.h"
#include "runtime/lifecycle.h"
#include "runtime/runtime.h"
#include "runtime/spin_wait.h"
#include "support/job_support.h"

namespace vorlet::v2 {
namespace {

using test::make_item;

struct RuntimeDeleter {
  void operator()(Runtime* rt) const { runtime_destroy(rt); }
};
using RuntimePtr = std::unique_ptr<Runtime, RuntimeDeleter>;

RuntimePtr create() {
  const vorlet_v2_RuntimeOptions options{"test", "consumer-spin", 0, 64};
  return RuntimePtr(runtime_create(&options));
}

void push(Runtime* rt, const std::string& bytes) {
  IngressItem item = make_item(bytes);
  ASSERT_EQ(ingress_enqueue(rt, &item), Status::ok);
}

std::string take_one(Runtime* rt) {
  IngressItem item{};
  if (ingress_take(rt, &item, 1) != 1) return "<ended>";
  std::string got(static_cast<const char*>(item.frame), item.length);
  ingress_item_discard(&item);
  return got;
}

// Each step: what happened, and whether the governor then lets the
// consumer spin.
TEST(SpinGovernor, SpinsOncePerBurstAndBacksOffWhileItsSpinsMiss) {
  SpinGovernor g{};
  EXPECT_FALSE(g.take_turn()) << "idle from the start: no spin";
  g.worked();
  g.worked();
  EXPECT_TRUE(g.take_turn()) << "after work";
  EXPECT_FALSE(g.take_turn()) << "one spin per burst, however long the idle after it";

  for (uint32_t i = 0; i < kSpinMissLimit; ++i) {
    g.worked();
    ASSERT_TRUE(g.take_turn()) << "miss " << i << " is still below the limit";
    g.outcome(false);
  }
  // Missing: one burst in kSpinRetryEvery spins.
  for (uint32_t round = 0; round < 2; ++round) {
    for (uint32_t i = 1; i < kSpinRetryEvery; ++i) {
      g.worked();
      ASSERT_FALSE(g.take_turn()) << "round " << round << ", burst " << i;
    }
    g.worked();
    ASSERT_TRUE(g.take_turn()) << "round " << round << ": the retry";
    g.outcome(false);
  }
  // A retry that hits brings the spin back for every burst.
  for (uint32_t i = 1; i < kSpinRetryEvery; ++i) {
    g.worked();
    ASSERT_FALSE(g.take_turn());
  }
  g.worked();
  ASSERT_TRUE(g.take_turn());
  g.outcome(true);
  for (uint32_t i = 0; i < 3; ++i) {
    g.worked();
    EXPECT_TRUE(g.take_turn()) << "burst " << i << " after a hit";
    g.outcome(true);
  }
}

TEST(SpinWait, CalibratedBudgetGrowsWithTheWindowAndIsNeverZero) {
  EXPECT_GE(spin_iterations_for_ns(0), 1u);
  const uint64_t short_window = spin_iterations_for_ns(10'000);
  const uint64_t long_window = spin_iterations_for_ns(100'000);
  EXPECT_GE(short_window, 1u);
  EXPECT_GT(long_window, short_window);
  int polls = 0;
  EXPECT_FALSE(spin_until(5, [&] { return ++polls > 100; }));
  EXPECT_EQ(polls, 6) << "one poll per iteration and a last one";
  polls = 0;
  EXPECT_TRUE(spin_until(1000, [&] { return ++polls == 3; }));
  EXPECT_EQ(polls, 3);
}

// The spin is entered after work; inside it (its first poll of the ring
// holds until then) a producer pushes and reads the consumer's sleeping
// flag, as its wake does: 0, so the push signals no one, and the spin
// then reports the item. A take right after finds it.
TEST(ConsumerSpin, PushDuringTheSpinIsTakenWithoutAWake) {
  for (int round = 0; round < 50; ++round) {
    RuntimePtr rt = create();
    ASSERT_NE(rt, nullptr);
    std::atomic<int> stage{0};
    std::atomic<uint32_t> sleeping_at_push{9};
    std::thread producer([&] {
      while (stage.load(std::memory_order_acquire) == 0) std::this_thread::yield();
      push(rt.get(), "pushed");
      sleeping_at_push.store(rt->dispatcher_wake.sleeping.load(std::memory_order_seq_cst));
      stage.store(2, std::memory_order_release);
    });
    rt->dispatcher_wake.spin.worked();
    Runtime* r = rt.get();
    const bool hit = consumer_spin(r, &r->dispatcher_wake, [r, &stage] {
      if (stage.load(std::memory_order_acquire) == 0) {
        stage.store(1, std::memory_order_release);
        while (stage.load(std::memory_order_acquire) != 2) std::this_thread::yield();
      }
      return !r->ingress_ring.next_published();
    });
    producer.join();
    EXPECT_TRUE(hit) << "round " << round;
    EXPECT_EQ(sleeping_at_push.load(), 0u) << "round " << round << ": the push would have signalled";
    EXPECT_EQ(take_one(r), "pushed");
    EXPECT_FALSE(consumer_spin(r, &r->dispatcher_wake, [] { return true; }))
        << "the take re-armed it, an empty ring: a miss";
  }
}

// Pushes at delays spread across the spin's window and past it: each one
// is taken, whether the spin, the sleep's re-test or the wake found it.
TEST(ConsumerSpin, PushAsTheSpinEndsIsNotLost) {
  const auto window = std::chrono::nanoseconds(kConsumerSpinNs);
  constexpr int kRounds = 120;
  for (int round = 0; round < kRounds; ++round) {
    RuntimePtr rt = create();
    ASSERT_NE(rt, nullptr);
    push(rt.get(), "first");
    std::atomic<int> stage{0};
    std::atomic<bool> got_second{false};
    std::thread consumer([&] {
      if (take_one(rt.get()) != "first") return;
      stage.store(1, std::memory_order_release);
      got_second.store(take_one(rt.get()) == "second", std::memory_order_release);
    });
    while (stage.load(std::memory_order_acquire) == 0) std::this_thread::yield();
    // From half the window to twice it.
    const auto delay = window / 2 + window * 3 * (round % 12) / 22;
    const auto until = std::chrono::steady_clock::now() + delay;
    while (std::chrono::steady_clock::now() < until) {
    }
    push(rt.get(), "second");
    // A lost push leaves the consumer asleep: give it ample time, then
    // stop the runtime so the thread can end either way.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!got_second.load(std::memory_order_acquire) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    const bool taken = got_second.load(std::memory_order_acquire);
    if (!taken) {
      rt->stopping.store(1, std::memory_order_seq_cst);
      MutexLock hold(&rt->dispatcher_wake.mutex);
      rt->dispatcher_wake.cv.notify_all();
    }
    consumer.join();
    ASSERT_TRUE(taken) << "round " << round << ": the push after " << delay.count() << " ns was lost";
  }
}

}  // namespace
}  // namespace vorlet::v2
