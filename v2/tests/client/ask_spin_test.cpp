// An ask's caller polls for its answer a moment before it sleeps: an
// answer that comes during that poll, just as it gives up, or long after
// is collected the same, once, and a caller that only polls does not wait.
#include <gtest/gtest.h>
#include <time.h>

#include <chrono>
#include <string>
#include <thread>

#include "client/ask_support.h"
#include "runtime/spin_wait.h"

namespace vorlet::v2::test {
namespace {

using namespace ask;

TEST_F(AskOverOwnPipes, AnswersAcrossTheSpinWindowAreCollectedOnce) {
  const auto window = std::chrono::nanoseconds(kAskSpinNs);
  for (int round = 0; round < 40; ++round) {
    const std::string id = "spin." + std::to_string(round);
    vorlet_v2_AskTicket* t = begin_ok(id);
    // From at once to twice the window, in twentieths.
    const auto delay = window * (round % 20) / 10;
    std::thread writer([&] {
      const auto until = Clock::now() + delay;
      while (Clock::now() < until) {
      }
      answer(response(id, "answer." + std::to_string(round)));
    });
    const Outcome o = await(t, 10000);
    writer.join();
    EXPECT_EQ(o.status, 0) << "round " << round;
    EXPECT_EQ(o.kind, VORLET_V2_REPLY_KIND_RESPONSE) << "round " << round;
    EXPECT_EQ(o.bytes, response(id, "answer." + std::to_string(round))) << "round " << round;
    EXPECT_EQ(await(t).status, VORLET_V2_INVALID_ARG) << "round " << round << ": spent";
  }
}

// The processor time the calling thread has used: a spin spends it, a
// thread that is only preempted (a busy machine) does not.
uint64_t thread_cpu_ns() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

TEST_F(AskOverOwnPipes, APollWithoutTimeoutReturnsAtOnce) {
  vorlet_v2_AskTicket* t = begin_ok("unanswered");
  for (int i = 0; i < 1000; ++i) {
    const uint64_t start = thread_cpu_ns();
    ASSERT_EQ(await(t, 0).status, VORLET_V2_WOULD_BLOCK);
    // Far below a spin window, were a zero timeout to spin (counted in the
    // thread's processor time, so that a preempted poll still passes).
    if (thread_cpu_ns() - start < kAskSpinNs / 2) return;
  }
  FAIL() << "every poll used half a spin window of processor time or more";
}

}  // namespace
}  // namespace vorlet::v2::test
