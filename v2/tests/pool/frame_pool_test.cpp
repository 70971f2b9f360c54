// The frame pool across threads and size classes: blocks released on
// another thread than took them, caches that stay bounded, a thread's cache
// given back when it exits, and many threads at once (run under TSan).
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "pool/frame_buffer.h"

namespace vorlet::v2 {
namespace {

uint64_t total_cache_blocks() {
  uint64_t total = 0;
  for (uint64_t n : kFrameCacheBlocks) total += n;
  return total;
}

uint64_t total_depot_blocks() {
  uint64_t total = 0;
  for (uint64_t n : kFrameDepotBlocks) total += n;
  return total;
}

TEST(FramePoolClasses, ABodyTakesTheSmallestClassThatHoldsItAndAbove64KibAnExactBlock) {
  struct Case {
    uint64_t body;
    uint64_t capacity;
    bool pooled;
  };
  const Case cases[] = {
      {0, 256, true},         {1, 256, true},         {64, 256, true},        {256, 256, true},
      {257, 1024, true},      {1024, 1024, true},     {1025, 4096, true},     {4096, 4096, true},
      {4097, 16384, true},    {16384, 16384, true},   {16385, 65536, true},   {65536, 65536, true},
      {65537, 65537, false},  {200000, 200000, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    FrameBuffer b(frame_buffer_acquire(c.body));
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(frame_buffer_capacity(b.get()), c.capacity);
    EXPECT_EQ(frame_buffer_pooled(b.get()), c.pooled);
    if (c.body > 0) static_cast<unsigned char*>(b.get())[c.capacity - 1] = 1;  // ASan: the whole class is ours
  }
}

// Runs fn on a thread of its own and waits for it, thread exit included.
template <typename Fn>
void on_other_thread(Fn fn) {
  std::thread t(fn);
  t.join();
}

// A block freed on another thread than took it waits in that thread's cache
// (it is reused there first, and the taker cannot see it) until that thread
// exits and gives its cache to the depot.
TEST(FramePoolThreads, ABlockFreedElsewhereWaitsInThatThreadsCacheUntilItExits) {
  frame_pool_trim();
  void* block = frame_buffer_acquire(64);
  ASSERT_NE(block, nullptr);

  std::mutex m;
  std::condition_variable cv;
  bool released = false, may_exit = false;
  std::thread releaser([&] {
    frame_buffer_release(block);
    EXPECT_EQ(frame_pool_thread_cached(), 1u);
    void* again = frame_buffer_acquire(100);
    EXPECT_EQ(again, block);
    frame_buffer_release(again);
    std::unique_lock<std::mutex> hold(m);
    released = true;
    cv.notify_all();
    cv.wait(hold, [&] { return may_exit; });
  });
  {
    std::unique_lock<std::mutex> hold(m);
    cv.wait(hold, [&] { return released; });
    EXPECT_EQ(frame_pool_idle(), 0u);  // in the releaser's cache, not the depot
    may_exit = true;
    cv.notify_all();
  }
  releaser.join();
  EXPECT_EQ(frame_pool_idle(), 1u);
  EXPECT_EQ(frame_pool_thread_cached(), 0u);
  FrameBuffer back(frame_buffer_acquire(1));
  EXPECT_EQ(back.get(), block);
}

// A thread that only releases (a writer giving back what producers took)
// keeps at most its cache full and the depot at most its bound; the rest is
// freed, which ASan's leak check confirms at exit.
TEST(FramePoolThreads, AThreadThatOnlyReleasesStaysWithinTheBounds) {
  frame_pool_trim();
  std::vector<void*> blocks;
  for (uint64_t cls = 0; cls < kFrameClassCount; ++cls) {
    for (uint64_t i = 0; i < 2 * (kFrameCacheBlocks[cls] + kFrameDepotBlocks[cls]); ++i) {
      blocks.push_back(frame_buffer_acquire(kFrameClassBytes[cls]));
      ASSERT_NE(blocks.back(), nullptr);
    }
  }
  on_other_thread([&] {
    for (void* b : blocks) frame_buffer_release(b);
    EXPECT_LE(frame_pool_thread_cached(), total_cache_blocks());
    EXPECT_LE(frame_pool_idle(), total_cache_blocks() + total_depot_blocks());
    EXPECT_GE(frame_pool_idle(), total_depot_blocks());
  });
  EXPECT_EQ(frame_pool_idle(), total_depot_blocks());  // its cache found the depot full
  frame_pool_trim();
  EXPECT_EQ(frame_pool_idle(), 0u);
}

// A frame released by a thread_local destructor that runs after the pool's
// own flush at thread exit (one constructed before the thread first used the
// pool) goes to the depot rather than into a cache nobody flushes again.
TEST(FramePoolThreads, AFrameReleasedAfterTheThreadsFlushGoesToTheDepot) {
  frame_pool_trim();
  struct Holder {
    void* frame = nullptr;
    ~Holder() { frame_buffer_release(frame); }
  };
  on_other_thread([] {
    thread_local Holder holder;
    holder.frame = frame_buffer_acquire(64);  // the pool's first use on this thread
  });
  EXPECT_EQ(frame_pool_idle(), 1u);
}

// Threads that take blocks of every class, hand them to each other through
// a shared queue and release what they receive: no block is handed out to
// two holders at once, no payload is disturbed in between, and what stays
// idle afterwards is within the depot's bound.
TEST(FramePoolThreads, ManyThreadsTakingAndFreeingEachOthersBlocks) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 4000;
  struct Sent {
    void* block;
    uint64_t tag;  // what its taker wrote into its first bytes
  };
  std::mutex m;
  std::vector<Sent> queue;  // guarded by m
  std::set<void*> live;     // guarded by m: blocks between acquire and release
  auto worker = [&](int id) {
    for (int i = 0; i < kRounds; ++i) {
      const uint64_t body = kFrameClassBytes[(id + i) % kFrameClassCount] - (i % 3) * 100;
      void* b = frame_buffer_acquire(body);
      ASSERT_NE(b, nullptr);
      ASSERT_GE(frame_buffer_capacity(b), body);
      const uint64_t tag = (static_cast<uint64_t>(id) << 32) | static_cast<uint64_t>(i);
      std::memcpy(b, &tag, sizeof tag);
      std::memset(static_cast<unsigned char*>(b) + sizeof tag, id, body - sizeof tag);
      Sent received{nullptr, 0};
      {
        std::lock_guard<std::mutex> hold(m);
        EXPECT_TRUE(live.insert(b).second) << "a block handed out twice";
        queue.push_back(Sent{b, tag});
        if (queue.size() > 16) {
          received = queue.front();
          queue.erase(queue.begin());
          live.erase(received.block);
        }
      }
      if (received.block == nullptr) continue;
      uint64_t seen = 0;
      std::memcpy(&seen, received.block, sizeof seen);
      EXPECT_EQ(seen, received.tag) << "a block changed while another thread held it";
      EXPECT_EQ(static_cast<unsigned char*>(received.block)[sizeof seen], static_cast<unsigned char>(received.tag >> 32));
      frame_buffer_release(received.block);
    }
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back(worker, t);
  for (std::thread& t : threads) t.join();
  for (const Sent& s : queue) frame_buffer_release(s.block);
  EXPECT_LE(frame_pool_idle(), total_depot_blocks() + total_cache_blocks());
  frame_pool_trim();
}

}  // namespace
}  // namespace vorlet::v2
