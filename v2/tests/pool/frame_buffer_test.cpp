#include "pool/frame_buffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <vector>

namespace vorlet::v2 {
namespace {

// Every test runs as its own process; this one also first frees whatever
// the pool held so that it sees only its own blocks. On one thread the last
// block released is the first taken again, and of more blocks than the
// thread's cache and the depot keep the surplus is freed.
TEST(FramePool, ReusesTheLastReleasedBlockFirstAndFreesWhatItCannotKeep) {
  frame_pool_trim();
  ASSERT_EQ(frame_pool_idle(), 0u);
  constexpr uint64_t kBig = kFrameClassCount - 1;
  const uint64_t kept = kFrameCacheBlocks[kBig] + kFrameDepotBlocks[kBig];

  std::vector<void*> blocks;
  for (uint64_t i = 0; i < kept + 8; ++i) {
    void* b = frame_buffer_acquire(i == 0 ? kFrameClassBytes[kBig - 1] + 1 : 65536);
    ASSERT_NE(b, nullptr);
    EXPECT_TRUE(frame_buffer_pooled(b));
    EXPECT_EQ(frame_buffer_capacity(b), kPooledFrameBytes);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(b) % 16, 0u);
    blocks.push_back(b);
  }
  for (void* b : blocks) frame_buffer_release(b);
  EXPECT_LE(frame_pool_thread_cached(), kFrameCacheBlocks[kBig]);
  EXPECT_GE(frame_pool_idle(), kFrameDepotBlocks[kBig]);
  EXPECT_LE(frame_pool_idle(), kept);  // the surplus was freed

  // Another class's blocks are not handed out for this one.
  FrameBuffer small(frame_buffer_acquire(64));
  EXPECT_EQ(frame_buffer_capacity(small.get()), kFrameClassBytes[0]);

  std::vector<FrameBuffer> held;
  held.emplace_back(frame_buffer_acquire(65536));
  EXPECT_EQ(held.back().get(), blocks[blocks.size() - 1]);
  held.emplace_back(frame_buffer_acquire(65536));
  EXPECT_EQ(held.back().get(), blocks[blocks.size() - 2]);
  // Every idle block is one that was released, each handed out once.
  std::set<void*> released(blocks.begin(), blocks.end());
  std::set<void*> taken = {held[0].get(), held[1].get()};
  while (frame_pool_idle() > 0) {
    held.emplace_back(frame_buffer_acquire(65536));
    EXPECT_EQ(released.count(held.back().get()), 1u);
    EXPECT_TRUE(taken.insert(held.back().get()).second);
  }
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
