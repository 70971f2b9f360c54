#include "codec/frame_io.h"

#include "platform/pipe.h"

namespace vorlet::v2 {

void frame_prefix_encode(uint64_t length, unsigned char out[8]) noexcept {
  for (int i = 0; i < 8; ++i) out[i] = static_cast<unsigned char>(length >> (8 * i));
}

uint64_t frame_prefix_decode(const unsigned char in[8]) noexcept {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | in[i];
  return v;
}

Status pipe_read_nonblocking(int32_t fd, void* buffer, int32_t capacity, uint64_t* count_out,
                             int32_t* eof_out) noexcept {
  if (buffer == nullptr || count_out == nullptr || eof_out == nullptr) return Status::invalid_arg;
  *count_out = 0;
  *eof_out = 0;
  if (fd < 0 || capacity <= 0) return Status::invalid_arg;
  uint64_t waiting = 0;
  Status s = platform::pipe_available(fd, &waiting);
  if (s != Status::ok) return s;
  if (waiting == 0) return Status::would_block;
  s = platform::pipe_read(fd, buffer, static_cast<uint64_t>(capacity), count_out);
  if (s == Status::closed) *eof_out = 1;
  return s;
}

Status frame_write_blocking(int32_t fd, const unsigned char prefix[8], const void* body, uint64_t length) noexcept {
  uint64_t prefix_done = 0;
  uint64_t body_done = 0;
  const auto* bytes = static_cast<const unsigned char*>(body);
  while (prefix_done < kFramePrefixBytes || body_done < length) {
    uint64_t n = 0;
    const Status s = platform::pipe_write(fd, prefix + prefix_done, kFramePrefixBytes - prefix_done,
                                          bytes == nullptr ? nullptr : bytes + body_done, length - body_done, &n);
    if (s == Status::would_block) {
      // A host's non-blocking descriptor: sleep until the reader makes room
      // (or goes, which the next write reports).
      (void)platform::pipe_wait_writable(fd);
      continue;
    }
    if (s != Status::ok) return s;
    const uint64_t to_prefix = n < kFramePrefixBytes - prefix_done ? n : kFramePrefixBytes - prefix_done;
    prefix_done += to_prefix;
    body_done += n - to_prefix;
  }
  return Status::ok;
}

namespace {

constexpr uint64_t kFramesPerCall = platform::kPipeSliceMax / 2;

// frames_write_blocking's loop, from byte offset of frame first on.
void frames_write_from(int32_t fd, const FrameOut* frames, uint64_t count, uint64_t first, uint64_t offset) noexcept {
  unsigned char prefixes[kFramesPerCall][kFramePrefixBytes];
  platform::PipeSlice parts[platform::kPipeSliceMax];
  while (first < count) {
    const uint64_t batch = count - first < kFramesPerCall ? count - first : kFramesPerCall;
    uint32_t n = 0;
    for (uint64_t i = 0; i < batch; ++i) {
      const FrameOut& f = frames[first + i];
      frame_prefix_encode(f.length, prefixes[i]);
      const uint64_t skip = i == 0 ? offset : 0;
      const auto* body = static_cast<const unsigned char*>(f.body);
      if (skip < kFramePrefixBytes) {
        parts[n++] = {prefixes[i] + skip, kFramePrefixBytes - skip};
        parts[n++] = {body, f.length};
      } else {
        parts[n++] = {body + (skip - kFramePrefixBytes), f.length - (skip - kFramePrefixBytes)};
      }
    }
    uint64_t written = 0;
    const Status s = platform::pipe_write_gather(fd, parts, n, &written);
    if (s == Status::would_block) {
      // A failed wait is left to the next write to report.
      (void)platform::pipe_wait_writable(fd);
      continue;
    }
    if (s != Status::ok) {
      ++first;  // this frame is lost; the next may still go out
      offset = 0;
      continue;
    }
    while (written > 0 && first < count) {
      const uint64_t left = kFramePrefixBytes + frames[first].length - offset;
      if (written < left) {
        offset += written;
        break;
      }
      written -= left;
      ++first;
      offset = 0;
    }
  }
}

}  // namespace

void frames_write_blocking(int32_t fd, const FrameOut* frames, uint64_t count) noexcept {
  frames_write_from(fd, frames, count, 0, 0);
}

Status frames_write_once(int32_t fd, const FrameOut* frames, uint64_t count) noexcept {
  if (fd < 0 || frames == nullptr || count == 0 || count > kFramesPerCall) return Status::invalid_arg;
  unsigned char prefixes[kFramesPerCall][kFramePrefixBytes];
  platform::PipeSlice parts[platform::kPipeSliceMax];
  uint64_t total = 0;
  for (uint64_t i = 0; i < count; ++i) {
    if (frames[i].body == nullptr || frames[i].length == 0 || frames[i].length > platform::kPipeAtomicWriteBytes ||
        kFramePrefixBytes + frames[i].length > platform::kPipeAtomicWriteBytes - total) {
      return Status::invalid_arg;
    }
    total += kFramePrefixBytes + frames[i].length;
    frame_prefix_encode(frames[i].length, prefixes[i]);
    parts[2 * i] = {prefixes[i], kFramePrefixBytes};
    parts[2 * i + 1] = {frames[i].body, frames[i].length};
  }
  uint64_t written = 0;
  const Status s = platform::pipe_write_gather(fd, parts, static_cast<uint32_t>(2 * count), &written);
  if (s != Status::ok) return s;
  if (written < total) {
    // A descriptor that took part of them all the same: the rest follows at
    // once, so no other bytes come between.
    uint64_t first = 0;
    while (written >= kFramePrefixBytes + frames[first].length) written -= kFramePrefixBytes + frames[first++].length;
    frames_write_from(fd, frames, count, first, written);
  }
  return Status::ok;
}

Status frame_write_once(int32_t fd, const void* body, uint64_t length) noexcept {
  if (fd < 0 || body == nullptr || length == 0 || length > UINT64_MAX - kFramePrefixBytes) return Status::invalid_arg;
  unsigned char prefix[kFramePrefixBytes];
  frame_prefix_encode(length, prefix);
  uint64_t written = 0;
  Status s = platform::pipe_write(fd, prefix, kFramePrefixBytes, body, length, &written);
  if (s != Status::ok) return s;
  const auto* bytes = static_cast<const unsigned char*>(body);
  uint64_t done = written;
  while (done < kFramePrefixBytes + length) {
    const uint64_t in_prefix = done < kFramePrefixBytes ? done : kFramePrefixBytes;
    s = platform::pipe_write(fd, prefix + in_prefix, kFramePrefixBytes - in_prefix, bytes + (done - in_prefix),
                             length - (done - in_prefix), &written);
    if (s == Status::would_block) {
      (void)platform::pipe_wait_writable(fd);
      continue;
    }
    if (s != Status::ok) return s;
    done += written;
  }
  return Status::ok;
}

Status frame_write(int32_t fd, const void* bytes, uint64_t length) noexcept {
  if (fd < 0 || (bytes == nullptr && length > 0)) return Status::invalid_arg;
  if (length > UINT64_MAX - kFramePrefixBytes) return Status::invalid_arg;
  unsigned char prefix[8];
  frame_prefix_encode(length, prefix);
  return frame_write_blocking(fd, prefix, bytes, length);
}

}  // namespace vorlet::v2
