// Frame buffers: the heap blocks that carry frame bodies through the
// runtime. Bodies of up to 64 KiB use pooled 64 KiB blocks; the pool is
// process-wide, shared by every runtime and ask client, and keeps at most
// 32 idle blocks, handed out again in the order they were released. Larger
// bodies get a block of their exact size, freed on release.
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

#include "codec/status.h"

namespace vorlet::v2 {

inline constexpr uint64_t kPooledFrameBytes = 65536;
inline constexpr uint64_t kFramePoolSlots = 32;

// A payload of at least n bytes (not cleared), or nullptr when memory is
// short or n is too large for a header. The caller owns it.
void* frame_buffer_acquire(uint64_t n) noexcept;

// Gives a payload back: into the pool when it is a pooled block with room
// there, else freed; a charged buffer gives its charge back first. nullptr
// is ignored.
void frame_buffer_release(void* payload) noexcept;

// The payload bytes of a buffer (65536 for pooled blocks) and whether it is
// a pooled block.
uint64_t frame_buffer_capacity(const void* payload) noexcept;
bool frame_buffer_pooled(const void* payload) noexcept;

// Idle blocks the pool holds now.
uint64_t frame_pool_idle() noexcept;

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
