// The read-ahead frame reader of the library's own pipe readers (the
// runtime's request and control readers, the ask client's lanes). One read
// takes whatever the pipe holds into a buffer of the splitter's own, and
// every whole frame is then split out of it without another system call.
// A frame too large for that buffer gets its own frame buffer, and the rest
// of its body is read straight into it.
//
// Unlike frame_read_try it reads past the frame it returns: only a reader
// that owns its pipe's read end may use it. It borrows its descriptor (never
// closes it) and belongs to one reading thread at a time.
#pragma once

#include <cstdint>

#include "base/status.h"

namespace vorlet::v2 {

// The read-ahead buffer: as large as a host pipe's buffer, so that one read
// empties a full pipe and a reader falling behind catches up in one call.
inline constexpr uint64_t kFrameSplitterBufferBytes = 65536;

struct FrameSplitter {
  int32_t fd;
  uint64_t max_frame_bytes;  // 0: no limit
  uint64_t start;            // the first byte of buffer not yet split off
  uint64_t end;              // one past the last byte read into buffer
  // A frame too large for the buffer, gathered in its own frame buffer.
  void* large;
  uint64_t large_length;
  uint64_t large_read;
  bool eof;  // the pipe has reported end of file; nothing more comes
  unsigned char buffer[kFrameSplitterBufferBytes];
};

// nullptr when fd is negative or memory is short (one allocation, buffer
// included).
FrameSplitter* frame_splitter_create(int32_t fd, uint64_t max_frame_bytes) noexcept;
// Releases what was read and not handed on, and the splitter; the
// descriptor stays open. NULL-safe.
void frame_splitter_destroy(FrameSplitter* splitter) noexcept;

// The next whole frame out of what was read; never a system call. The
// results are those of frame_read_try: ok, a whole frame, *frame_out owned
// by the caller (a frame buffer, or nullptr for an empty body);
// would_block: more bytes are needed (frame_splitter_fill); closed: end of
// file between frames (again on every later call); io: the length is over
// the limit (only its 8 bytes are consumed, so the following bytes are
// taken as the next length), or end of file inside a frame (the partial
// frame is dropped, closed follows); nomem: no buffer for the body (only
// its 8 length bytes are consumed, as for io).
Status frame_splitter_next(FrameSplitter* splitter, void** frame_out, uint64_t* length_out) noexcept;

// One read of what the pipe holds, into the buffer or straight into a large
// frame's body. Call it when frame_splitter_next gave would_block and the
// descriptor polls readable: on a blocking descriptor it blocks otherwise.
// ok: bytes came, or end of file was seen (frame_splitter_next tells);
// would_block: a non-blocking descriptor had nothing; io: the read failed,
// and nothing read before is lost (the caller pauses before it tries again).
Status frame_splitter_fill(FrameSplitter* splitter) noexcept;

}  // namespace vorlet::v2
