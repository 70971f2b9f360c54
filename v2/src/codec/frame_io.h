// The two pipe primitives under frames, with their status mapping:
// would_block when nothing can move now, closed when the other side has
// gone, io for an unusable descriptor or any other failure, invalid_arg for
// bad arguments.
//
// The codec owns the frame (its 8-byte prefix and the batching of frames
// into one write), so the frame's pipe I/O sits here, beside the frame
// reader and the exported frame calls that the runtime and the ask client
// share; every system call it makes goes through platform/pipe.h, so the
// codec itself still talks to no OS.
#pragma once

#include <cstdint>

#include "base/status.h"

namespace vorlet::v2 {

// Frame prefix: the body length as 8 little-endian bytes.
inline constexpr uint64_t kFramePrefixBytes = 8;

void frame_prefix_encode(uint64_t length, unsigned char out[8]) noexcept;
uint64_t frame_prefix_decode(const unsigned char in[8]) noexcept;

// Whether a frame of this declared length may be read: within
// max_frame_bytes (0: no limit) and short enough for a buffer header.
inline bool frame_length_acceptable(uint64_t length, uint64_t max_frame_bytes) noexcept {
  constexpr uint64_t kLengthCeiling = UINT64_MAX - 15;
  return (max_frame_bytes == 0 || length <= max_frame_bytes) && length < kLengthCeiling;
}

// One read that never blocks, of at most capacity bytes. *count_out and
// *eof_out are cleared first; at end of file *eof_out is 1 and the result
// closed. would_block when nothing waits.
Status pipe_read_nonblocking(int32_t fd, void* buffer, int32_t capacity, uint64_t* count_out,
                             int32_t* eof_out) noexcept;

// Writes the 8 prefix bytes, then length body bytes, until all are out.
// When the descriptor has no room (non-blocking) it sleeps 1 ms and tries
// again. closed when the reader has gone, io for other failures (the frame
// may then be partly written).
Status frame_write_blocking(int32_t fd, const unsigned char prefix[8], const void* body, uint64_t length) noexcept;

// One frame of a batch.
struct FrameOut {
  const void* body;
  uint64_t length;
};

// Writes count frames back to back with as few write calls as the pipe
// takes (one for a batch that fits). A frame whose write fails is dropped,
// whatever of it was written stays on the pipe, and the next frame is
// tried; the statuses are not reported. When a non-blocking descriptor has
// no room it sleeps until it has (a poll, not a timer).
void frames_write_blocking(int32_t fd, const FrameOut* frames, uint64_t count) noexcept;

// One frame, prefix and body, in one write that does not wait, for a
// non-blocking pipe:
//  ok:          the whole frame is out.
//  would_block: the pipe had no room; nothing was written.
//  closed, io:  the write failed (closed: the reader has gone).
// A pipe takes a frame of at most platform::kPipeAtomicWriteBytes (prefix
// included) whole or not at all. Should a descriptor take part of one all
// the same, the rest follows at once, waiting for room as
// frames_write_blocking does, so no other bytes come between; the status is
// then that of the finish.
Status frame_write_once(int32_t fd, const void* body, uint64_t length) noexcept;

// Several frames back to back in one write that does not wait, as
// frame_write_once writes one: their prefixes and bodies together must be
// at most platform::kPipeAtomicWriteBytes, so that a pipe takes them whole
// or not at all (invalid_arg when they are more, or count is 0 or beyond
// platform::kPipeSliceMax / 2). ok: all are out; would_block: nothing was
// written; closed, io: the write failed, and the frames are lost. Should a
// descriptor take part of them all the same, the rest follows at once as
// frames_write_blocking writes it, and the status is ok.
Status frames_write_once(int32_t fd, const FrameOut* frames, uint64_t count) noexcept;

// Argument checks, the prefix and the write of one frame: the exported
// writer and the pipe writers share it.
Status frame_write(int32_t fd, const void* bytes, uint64_t length) noexcept;

}  // namespace vorlet::v2
