#include "runtime/limits.h"

#include <gtest/gtest.h>

#include "runtime/runtime.h"

namespace vorlet::v2 {
namespace {

constexpr uint64_t MiB = 1ull << 20;

struct LimitCase {
  int32_t hint;
  int32_t capacity;
  uint64_t ring_slots;
  uint64_t max_frame_bytes;
  uint64_t aux_batch;
  uint64_t pipe_queue_capacity;
  uint64_t peer_frame_bytes;  // 16 KiB a slot, at least one max_frame_bytes
};

constexpr LimitCase kLimitCases[] = {
    {0, 4096, 4096, 4 * MiB, 32, 16, 64 * MiB},
    {-5, 4096, 4096, 4 * MiB, 32, 16, 64 * MiB},
    {1, 1, 2, 1 * MiB, 8, 4, 1 * MiB},
    {3, 4, 4, 1 * MiB, 8, 4, 1 * MiB},
    {32, 32, 32, 1 * MiB, 8, 4, 1 * MiB},
    {64, 64, 64, 1 * MiB, 8, 8, 1 * MiB},
    {300, 512, 512, 4 * MiB, 8, 16, 8 * MiB},
    {2048, 2048, 2048, 4 * MiB, 16, 16, 32 * MiB},
    {5000, 8192, 8192, 8 * MiB, 64, 16, 128 * MiB},
    {16384, 16384, 16384, 16 * MiB, 64, 16, 256 * MiB},
    {65536, 65536, 65536, 64 * MiB, 64, 16, 1024 * MiB},
    {70000, 65536, 65536, 64 * MiB, 64, 16, 1024 * MiB},
};

TEST(Limits, DerivedFromTheQueueCapacityHint) {
  for (const LimitCase& c : kLimitCases) {
    const int32_t q = limit_queue_capacity(c.hint);
    EXPECT_EQ(q, c.capacity) << c.hint;
    EXPECT_EQ(limit_ring_slots(q), c.ring_slots) << c.hint;
    EXPECT_EQ(limit_max_frame_bytes(q), c.max_frame_bytes) << c.hint;
    EXPECT_EQ(limit_aux_batch(q), c.aux_batch) << c.hint;
    EXPECT_EQ(limit_pipe_queue_capacity(q), c.pipe_queue_capacity) << c.hint;
    EXPECT_EQ(limit_peer_frame_bytes(q), c.peer_frame_bytes) << c.hint;
  }
}

TEST(Limits, CreateStoresTheDerivedLimits) {
  for (const LimitCase& c : kLimitCases) {
    vorlet_v2_RuntimeOptions options{nullptr, nullptr, 0, c.hint};
    Runtime* rt = runtime_create(&options);
    ASSERT_NE(rt, nullptr);
    EXPECT_EQ(rt->queue_capacity, c.capacity);
    EXPECT_EQ(rt->max_frame_bytes, c.max_frame_bytes);
    EXPECT_EQ(rt->aux_batch, c.aux_batch);
    EXPECT_EQ(rt->pipe_queue_capacity, c.pipe_queue_capacity);
    EXPECT_EQ(rt->peer_frames.limit, c.peer_frame_bytes) << c.hint;
    EXPECT_EQ(rt->peer_frames.held.load(), 0u) << c.hint;
    // The queues are made with them (every pipe queue size here is already
    // a power of two).
    EXPECT_EQ(rt->ingress_ring.capacity, c.ring_slots) << c.hint;
    EXPECT_EQ(rt->local_ring.capacity, c.ring_slots) << c.hint;
    EXPECT_EQ(rt->remote_ring.capacity(), c.ring_slots) << c.hint;
    for (auto& queue : rt->pipe_queues) EXPECT_EQ(queue->capacity(), c.pipe_queue_capacity) << c.hint;
    runtime_destroy(rt);
  }
}

TEST(Limits, EnvelopeTimeoutDefault) {
  EXPECT_EQ(envelope_timeout_or_default(0), 1000);
  EXPECT_EQ(envelope_timeout_or_default(-3), 1000);
  EXPECT_EQ(envelope_timeout_or_default(1), 1);
  EXPECT_EQ(envelope_timeout_or_default(250000), 250000);
}

}  // namespace
}  // namespace vorlet::v2
