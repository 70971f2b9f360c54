#include "codec/frame_reader.h"

#include "base/alloc.h"
#include "codec/frame_io.h"
#include "pool/frame_buffer.h"

namespace vorlet::v2 {
namespace {

void reset(FrameReader* r) noexcept {
  frame_buffer_release(r->body);
  r->body = nullptr;
  r->prefix_read = 0;
  r->frame_length = 0;
  r->body_read = 0;
}

int32_t read_size(uint64_t missing) noexcept {
  return missing > static_cast<uint64_t>(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(missing);
}

}  // namespace

FrameReader* frame_reader_create(int32_t fd, uint64_t max_frame_bytes) noexcept {
  if (fd < 0) return nullptr;
  auto* r = static_cast<FrameReader*>(rt_calloc(1, sizeof(FrameReader)));
  if (r == nullptr) return nullptr;
  r->fd = fd;
  r->max_frame_bytes = max_frame_bytes;
  return r;
}

void frame_reader_destroy(FrameReader* reader) noexcept {
  if (reader == nullptr) return;
  frame_buffer_release(reader->body);
  rt_free(reader);
}

Status frame_read_try(FrameReader* r, void** frame_out, uint64_t* length_out) noexcept {
  if (r == nullptr || frame_out == nullptr || length_out == nullptr) return Status::invalid_arg;
  *frame_out = nullptr;
  *length_out = 0;
  uint64_t got = 0;
  int32_t eof = 0;

  while (r->prefix_read < kFramePrefixBytes) {
    const Status s = pipe_read_nonblocking(r->fd, r->prefix + r->prefix_read,
                                           static_cast<int32_t>(kFramePrefixBytes - r->prefix_read), &got, &eof);
    if (s == Status::would_block) return s;
    if (s == Status::closed) {
      if (r->prefix_read == 0) return Status::closed;
      reset(r);
      return Status::io;
    }
    if (s != Status::ok) {
      reset(r);
      return s;
    }
    r->prefix_read += got;
    if (r->prefix_read == kFramePrefixBytes) {
      r->frame_length = frame_prefix_decode(r->prefix);
      if (!frame_length_acceptable(r->frame_length, r->max_frame_bytes)) {
        reset(r);
        return Status::io;
      }
      if (r->frame_length > 0) {
        r->body = frame_buffer_acquire(r->frame_length);
        if (r->body == nullptr) {
          reset(r);
          return Status::nomem;
        }
      }
    }
  }

  auto* body = static_cast<unsigned char*>(r->body);
  while (r->body_read < r->frame_length) {
    const Status s = pipe_read_nonblocking(r->fd, body + r->body_read, read_size(r->frame_length - r->body_read), &got, &eof);
    if (s == Status::would_block) return s;
    if (s != Status::ok) {
      reset(r);
      return s == Status::closed ? Status::io : s;
    }
    r->body_read += got;
  }

  *frame_out = r->body;
  *length_out = r->frame_length;
  r->body = nullptr;  // the caller owns it now
  reset(r);
  return Status::ok;
}

}  // namespace vorlet::v2
