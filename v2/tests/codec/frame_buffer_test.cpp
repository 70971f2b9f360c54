#include "codec/frame_buffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace vorlet::v2 {
namespace {

// The pool is process-wide; every test runs as its own process, and this
// one also first takes out whatever the pool held so that it sees only its
// own blocks.
TEST(FramePool, HandsBlocksBackInReleaseOrderAndKeepsAtMost32) {
  std::vector<FrameBuffer> held;
  while (frame_pool_idle() > 0) held.emplace_back(frame_buffer_acquire(1));

  std::vector<void*> blocks;
  for (int i = 0; i < 33; ++i) {
    void* b = frame_buffer_acquire(i == 0 ? 0 : 65536);
    ASSERT_NE(b, nullptr);
    EXPECT_TRUE(frame_buffer_pooled(b));
    EXPECT_EQ(frame_buffer_capacity(b), kPooledFrameBytes);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(b) % 16, 0u);
    blocks.push_back(b);
  }
  // Released in an order unlike the acquisition order.
  std::vector<void*> released;
  for (int i = 32; i >= 0; i -= 2) released.push_back(blocks[i]);
  for (int i = 31; i >= 1; i -= 2) released.push_back(blocks[i]);
  for (void* b : released) frame_buffer_release(b);
  EXPECT_EQ(frame_pool_idle(), kFramePoolSlots);  // the 33rd was freed

  for (size_t i = 0; i < kFramePoolSlots; ++i) {
    void* b = frame_buffer_acquire(100);
    EXPECT_EQ(b, released[i]) << "acquisition " << i;
    held.emplace_back(b);
  }
  EXPECT_EQ(frame_pool_idle(), 0u);
  FrameBuffer fresh(frame_buffer_acquire(65536));
  ASSERT_NE(fresh, nullptr);
  EXPECT_TRUE(frame_buffer_pooled(fresh.get()));
  EXPECT_EQ(frame_pool_idle(), 0u);
}

TEST(FramePool, BodiesAbove64KibGetAnExactUnpooledBlock) {
  const uint64_t idle = frame_pool_idle();
  FrameBuffer big(frame_buffer_acquire(65537));
  ASSERT_NE(big, nullptr);
  EXPECT_FALSE(frame_buffer_pooled(big.get()));
  EXPECT_EQ(frame_buffer_capacity(big.get()), 65537u);
  static_cast<unsigned char*>(big.get())[65536] = 1;
  big.reset();  // freed, not pooled
  EXPECT_EQ(frame_pool_idle(), idle);
  EXPECT_EQ(frame_buffer_acquire(UINT64_MAX - 15), nullptr);
  frame_buffer_release(nullptr);
}

// A charged buffer holds its bytes against the budget from acquisition to
// release, whichever the order; a charge that does not fit takes nothing.
TEST(FrameBudget, ChargesHoldTheirBytesUntilReleased) {
  FrameBudget budget;
  budget.limit = 1000;
  const uint64_t idle = frame_pool_idle();

  void* a = nullptr;
  ASSERT_EQ(frame_buffer_acquire_charged(&budget, 600, &a), Status::ok);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(budget.held.load(), 600u);
  EXPECT_FALSE(frame_buffer_pooled(a));
  EXPECT_EQ(frame_buffer_capacity(a), 600u);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 16, 0u);
  static_cast<unsigned char*>(a)[599] = 1;

  void* refused = reinterpret_cast<void*>(&budget);
  EXPECT_EQ(frame_buffer_acquire_charged(&budget, 401, &refused), Status::would_block);
  EXPECT_EQ(refused, nullptr);
  EXPECT_EQ(budget.held.load(), 600u);

  void* b = nullptr;
  ASSERT_EQ(frame_buffer_acquire_charged(&budget, 400, &b), Status::ok);  // exactly the limit
  EXPECT_EQ(budget.held.load(), 1000u);
  EXPECT_EQ(frame_buffer_acquire_charged(&budget, 1, &refused), Status::would_block);

  frame_buffer_release(a);
  EXPECT_EQ(budget.held.load(), 400u);
  EXPECT_EQ(frame_pool_idle(), idle);  // freed, never pooled
  // Small ones too: every charged buffer is exact and unpooled.
  FrameBuffer small;
  void* raw = nullptr;
  ASSERT_EQ(frame_buffer_acquire_charged(&budget, 10, &raw), Status::ok);
  small.reset(raw);
  EXPECT_FALSE(frame_buffer_pooled(small.get()));
  EXPECT_EQ(budget.held.load(), 410u);
  small.reset();
  frame_buffer_release(b);
  EXPECT_EQ(budget.held.load(), 0u);
  EXPECT_EQ(frame_pool_idle(), idle);

  EXPECT_EQ(frame_buffer_acquire_charged(&budget, UINT64_MAX - 15, &raw), Status::nomem);
  EXPECT_EQ(frame_buffer_acquire_charged(nullptr, 1, &raw), Status::invalid_arg);
  EXPECT_EQ(budget.held.load(), 0u);
}

TEST(FrameCopy, CopiesIntoAFrameBufferOrRefuses) {
  const char bytes[] = "serialized envelope";
  FrameBuffer frame;
  EXPECT_EQ(frame_copy_from_bytes(nullptr, 4, &frame), Status::invalid_arg);
  EXPECT_EQ(frame_copy_from_bytes(bytes, 0, &frame), Status::invalid_arg);
  EXPECT_EQ(frame_copy_from_bytes(bytes, sizeof bytes, nullptr), Status::invalid_arg);
  ASSERT_EQ(frame_copy_from_bytes(bytes, sizeof bytes, &frame), Status::ok);
  EXPECT_EQ(std::memcmp(frame.get(), bytes, sizeof bytes), 0);
  EXPECT_TRUE(frame_buffer_pooled(frame.get()));
}

}  // namespace
}  // namespace vorlet::v2
