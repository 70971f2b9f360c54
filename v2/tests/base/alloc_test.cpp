#include "base/alloc.h"

#include <gtest/gtest.h>

#include <cstdint>

#include "base/clock.h"

namespace vorlet::v2 {
namespace {

TEST(AllocationShims, ZeroSizesGiveAUsableBlock) {
  void* m = rt_malloc(0);
  ASSERT_NE(m, nullptr);
  void* r = rt_realloc(m, 0);
  ASSERT_NE(r, nullptr);
  rt_free(r);
  for (auto [count, size] : {std::pair<uint64_t, uint64_t>{0, 8}, {8, 0}, {0, 0}}) {
    auto* c = static_cast<unsigned char*>(rt_calloc(count, size));
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c[0], 0);
    rt_free(c);
  }
  rt_free(nullptr);
}

TEST(AllocationShims, OverflowingProductsAreRefused) {
  EXPECT_EQ(rt_calloc(1ull << 32, 1ull << 32), nullptr);
  EXPECT_EQ(rt_calloc(UINT64_MAX, 2), nullptr);
  EXPECT_EQ(rt_aligned_calloc(64, 1ull << 32, 1ull << 32), nullptr);
  EXPECT_EQ(rt_aligned_calloc(64, 1, UINT64_MAX - 60), nullptr);
}

TEST(AllocationShims, AlignedBlockIsAlignedAndZeroed) {
  for (uint64_t bad : {0ull, 1ull, 4ull, 24ull, 65ull}) EXPECT_EQ(rt_aligned_calloc(bad, 1, 16), nullptr) << bad;
  for (uint64_t alignment : {8ull, 16ull, 64ull, 4096ull}) {
    auto* p = static_cast<unsigned char*>(rt_aligned_calloc(alignment, 1, 48000));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % alignment, 0u);
    for (size_t i = 0; i < 48000; ++i) ASSERT_EQ(p[i], 0) << i;
    rt_aligned_free(p);
  }
  auto* one = rt_aligned_calloc(64, 0, 0);
  ASSERT_NE(one, nullptr);
  rt_aligned_free(one);
  rt_aligned_free(nullptr);
}

TEST(Clock, MonotonicReadsAndDeadlines) {
  EXPECT_EQ(clock_monotonic_ns(nullptr), 1u);
  uint64_t a = 0, b = 0;
  ASSERT_EQ(clock_monotonic_ns(&a), 0u);
  ASSERT_EQ(clock_monotonic_ns(&b), 0u);
  EXPECT_LE(a, b);
  EXPECT_EQ(deadline_add_ms(a, 0), a);
  EXPECT_EQ(deadline_add_ms(5, 4294967295u), 5 + 4294967295000000ull);
}

// A budget is rounded up, so a deadline not yet reached never reads as 0.
TEST(Clock, RemainingBudgetRoundsUpAndEndsAtTheDeadline) {
  const uint64_t now = 5'000'000'000ull;
  const struct Case {
    uint64_t deadline, ms;
  } cases[] = {
      {now + 1, 1},          {now + 1'000'000, 1}, {now + 1'000'001, 2},
      {now, 0},              {now - 1, 0},         {now + 0xFFFFFFFFull * 1'000'000 + 1, 0xFFFFFFFFull},
  };
  for (const Case& c : cases) EXPECT_EQ(remaining_budget_ms(now, c.deadline), c.ms) << c.deadline - now;
  EXPECT_EQ(deadline_after_ms(now, 250), now + 250'000'000ull);
  EXPECT_EQ(deadline_after_ms(now, -5), now);

  uint64_t t = 0;
  EXPECT_EQ(clock_now_ns_status(&t), Status::ok);
  EXPECT_GT(t, 0u);
  EXPECT_EQ(clock_now_ns_status(nullptr), Status::invalid_arg);
}

}  // namespace
}  // namespace vorlet::v2
