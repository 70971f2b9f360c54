// The incremental, non-blocking frame reader of one pipe. It gathers a
// frame across as many calls as the bytes take to arrive and never blocks.
// It borrows its descriptor (never closes it) and belongs to one reading
// thread at a time.
#pragma once

#include <cstdint>

#include "base/status.h"

namespace vorlet::v2 {

struct FrameReader {
  int32_t fd;
  uint64_t max_frame_bytes;  // 0: no limit
  unsigned char prefix[8];
  uint64_t prefix_read;
  uint64_t frame_length;
  void* body;  // a frame buffer while a body is being gathered
  uint64_t body_read;
};

// nullptr when fd is negative or memory is short.
FrameReader* frame_reader_create(int32_t fd, uint64_t max_frame_bytes) noexcept;
// Releases a partly gathered body and the reader; the descriptor stays open.
void frame_reader_destroy(FrameReader* reader) noexcept;

// ok: a whole frame, *frame_out owned by the caller (a frame buffer, or
// nullptr for an empty body). would_block: what arrived is kept for the
// next call. closed: the pipe closed between frames (again on every later
// call). io: the pipe closed inside a frame, the length is over the limit
// (only the 8 length bytes are consumed, so the following bytes are taken
// as the next length), or the pipe failed; nomem: no buffer for the body.
// After io or nomem the partial frame is gone and the next call starts a
// new frame.
Status frame_read_try(FrameReader* reader, void** frame_out, uint64_t* length_out) noexcept;

}  // namespace vorlet::v2
