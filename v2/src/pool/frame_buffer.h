// Frame buffers: the heap blocks that carry frame bodies through the
// runtime. A body of up to 64 KiB takes a pooled block of the smallest size
// class that holds it (256 B, 1 KiB, 4 KiB, 16 KiB, 64 KiB); a larger body
// gets a block of its exact size, freed on release.
//
// Idle pooled blocks wait in a small cache of the thread that released them
// (reused last in, first out), which spills half of itself to a shared
// depot when full and refills from it by half a cache at a time, so the
// depot's lock is taken once per batch, not per frame. Frames are often
// released on another thread than took them: a thread that only releases
// keeps at most its cache full and the depot takes the rest up to its bound,
// beyond which blocks are freed. A thread that exits gives its cache to the
// depot. Idle memory is therefore bounded per thread and in the depot.
//
// A frame buffer is known by its payload pointer; it goes back through
// frame_buffer_release (the exported frame release does the same).
//
// A buffer may also be charged to a FrameBudget: its bytes then count
// against the budget from acquisition until the buffer is released, by
// whatever path it takes, so that one holder bounds what many queues keep.
// The copies of received bytes into a (charged) buffer are made here too.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "base/status.h"

namespace vorlet::v2 {

// The size classes of pooled blocks, smallest first. Steps of four keep the
// classes few (so the caches stay small) while a 64 B frame no longer holds
// 64 KiB; a body wastes at most three quarters of its block.
inline constexpr uint64_t kFrameClassCount = 5;
inline constexpr uint64_t kFrameClassBytes[kFrameClassCount] = {256, 1024, 4096, 16384, 65536};
inline constexpr uint64_t kPooledFrameBytes = kFrameClassBytes[kFrameClassCount - 1];
// Idle blocks one thread's cache and the depot keep per class: about
// 500 KiB per thread and 4 MiB in the depot at most.
inline constexpr uint64_t kFrameCacheBlocks[kFrameClassCount] = {32, 32, 16, 8, 4};
inline constexpr uint64_t kFrameDepotBlocks[kFrameClassCount] = {256, 256, 128, 64, 32};

// A payload of at least n bytes (not cleared), or nullptr when memory is
// short or n is too large for a header. The caller owns it.
void* frame_buffer_acquire(uint64_t n) noexcept;

// Gives a payload back: a pooled block into the calling thread's cache
// (the cache or the depot may free blocks beyond their bounds), any other
// block freed; a charged buffer gives its charge back first. nullptr is
// ignored.
void frame_buffer_release(void* payload) noexcept;

// The payload bytes of a buffer (its class size for pooled blocks) and
// whether it is a pooled block.
uint64_t frame_buffer_capacity(const void* payload) noexcept;
bool frame_buffer_pooled(const void* payload) noexcept;

// Idle blocks the calling thread can take without allocating: those of the
// depot and of its own cache, every class. Other threads' caches are not
// counted.
uint64_t frame_pool_idle() noexcept;

// Idle blocks in the calling thread's own cache, every class.
uint64_t frame_pool_thread_cached() noexcept;

// Frees every idle block of the depot and of the calling thread's cache, so
// that the next frames this thread takes are new allocations.
void frame_pool_trim() noexcept;

// Bytes of the frame buffers charged to one owner and not yet released.
// The owner sets limit before the first charge and must outlive every
// buffer charged to it.
struct FrameBudget {
  alignas(64) std::atomic<uint64_t> held{0};
  uint64_t limit = 0;
};

// A buffer of exactly n bytes (never pooled) whose n bytes are charged to
// budget until it is released. would_block, with nothing taken, when the
// charge would take held above limit; nomem when memory is short or n is
// too large for a header; invalid_arg for a NULL budget or out.
Status frame_buffer_acquire_charged(FrameBudget* budget, uint64_t n, void** out) noexcept;

struct FrameBufferRelease {
  void operator()(void* payload) const noexcept { frame_buffer_release(payload); }
};

// Owns one frame buffer until release() hands it on (to a queue, a job, the
// host).
using FrameBuffer = std::unique_ptr<void, FrameBufferRelease>;

// Copies length bytes into a new frame buffer held by *out. invalid_arg for
// NULL bytes or out, or a length of 0; nomem when no buffer can be had.
Status frame_copy_from_bytes(const void* bytes, uint64_t length, FrameBuffer* out) noexcept;
// The same into a buffer charged to budget until its release; would_block
// when the budget has no room for length more bytes.
Status frame_copy_charged(FrameBudget* budget, const void* bytes, uint64_t length, FrameBuffer* out) noexcept;

}  // namespace vorlet::v2
