#include "codec/frame_splitter.h"

#include <cstring>

#include "base/alloc.h"
#include "codec/frame_io.h"
#include "platform/pipe.h"
#include "pool/frame_buffer.h"

namespace vorlet::v2 {

namespace {

void drop_large(FrameSplitter* s) noexcept {
  frame_buffer_release(s->large);
  s->large = nullptr;
  s->large_length = 0;
  s->large_read = 0;
}

// Consumes n bytes of the buffer; an emptied buffer starts again at its
// front, so that the next read has all of it.
void consume(FrameSplitter* s, uint64_t n) noexcept {
  s->start += n;
  if (s->start == s->end) s->start = s->end = 0;
}

// What a frame still missing bytes comes to: more reading, or at end of
// file the loss of what was read of it.
Status incomplete(FrameSplitter* s) noexcept {
  if (!s->eof) return Status::would_block;
  drop_large(s);
  consume(s, s->end - s->start);
  return Status::io;
}

}  // namespace

FrameSplitter* frame_splitter_create(int32_t fd, uint64_t max_frame_bytes) noexcept {
  if (fd < 0) return nullptr;
  // The buffer is left as it comes: only bytes read into it are looked at.
  auto* s = static_cast<FrameSplitter*>(rt_malloc(sizeof(FrameSplitter)));
  if (s == nullptr) return nullptr;
  s->fd = fd;
  s->max_frame_bytes = max_frame_bytes;
  s->start = 0;
  s->end = 0;
  s->large = nullptr;
  s->large_length = 0;
  s->large_read = 0;
  s->eof = false;
  return s;
}

void frame_splitter_destroy(FrameSplitter* splitter) noexcept {
  if (splitter == nullptr) return;
  drop_large(splitter);
  rt_free(splitter);
}

Status frame_splitter_next(FrameSplitter* s, void** frame_out, uint64_t* length_out) noexcept {
  if (s == nullptr || frame_out == nullptr || length_out == nullptr) return Status::invalid_arg;
  *frame_out = nullptr;
  *length_out = 0;

  if (s->large != nullptr) {
    if (s->large_read < s->large_length) return incomplete(s);
    *frame_out = s->large;
    *length_out = s->large_length;
    s->large = nullptr;  // the caller owns it now
    drop_large(s);
    return Status::ok;
  }

  const uint64_t held = s->end - s->start;
  if (held < kFramePrefixBytes) {
    if (held == 0 && s->eof) return Status::closed;
    return incomplete(s);
  }
  const unsigned char* at = s->buffer + s->start;
  const uint64_t length = frame_prefix_decode(at);
  if (!frame_length_acceptable(length, s->max_frame_bytes)) {
    consume(s, kFramePrefixBytes);
    return Status::io;
  }

  if (length > kFrameSplitterBufferBytes - kFramePrefixBytes) {
    // It can never be whole in the buffer: what came of it moves to a
    // buffer of its own, and fill reads the rest straight into that.
    void* body = frame_buffer_acquire(length);
    if (body == nullptr) {
      consume(s, kFramePrefixBytes);
      return Status::nomem;
    }
    const uint64_t have = held - kFramePrefixBytes;  // less than length, the buffer being smaller
    std::memcpy(body, at + kFramePrefixBytes, have);
    consume(s, held);
    s->large = body;
    s->large_length = length;
    s->large_read = have;
    return incomplete(s);
  }

  if (held - kFramePrefixBytes < length) return incomplete(s);
  void* body = nullptr;
  if (length > 0) {
    body = frame_buffer_acquire(length);
    if (body == nullptr) {
      consume(s, kFramePrefixBytes);
      return Status::nomem;
    }
    std::memcpy(body, at + kFramePrefixBytes, length);
  }
  consume(s, kFramePrefixBytes + length);
  *frame_out = body;
  *length_out = length;
  return Status::ok;
}

Status frame_splitter_fill(FrameSplitter* s) noexcept {
  if (s == nullptr) return Status::invalid_arg;
  if (s->eof) return Status::ok;
  unsigned char* into;
  uint64_t room;
  if (s->large != nullptr) {
    into = static_cast<unsigned char*>(s->large) + s->large_read;
    room = s->large_length - s->large_read;
  } else {
    // What is left is the start of one frame (next split off every whole
    // one): it moves to the front, where the buffer has room for all of it.
    if (s->start > 0) {
      std::memmove(s->buffer, s->buffer + s->start, s->end - s->start);
      s->end -= s->start;
      s->start = 0;
    }
    into = s->buffer + s->end;
    room = kFrameSplitterBufferBytes - s->end;
  }
  // Whole frames are still waiting to be split off: nothing to read for.
  if (room == 0) return Status::ok;
  uint64_t got = 0;
  const Status st = platform::pipe_read(s->fd, into, room, &got);
  if (st == Status::closed) {
    s->eof = true;
    return Status::ok;
  }
  if (st != Status::ok) return st;
  if (s->large != nullptr) {
    s->large_read += got;
  } else {
    s->end += got;
  }
  return Status::ok;
}

}  // namespace vorlet::v2
