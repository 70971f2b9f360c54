#include "runtime/limits.h"

#include "runtime/runtime.h"

namespace vorlet::v2 {

int32_t limit_queue_capacity(int32_t hint) noexcept {
  if (hint <= 0) return 4096;
  if (hint > 65536) return 65536;
  int32_t q = 1;
  while (q < hint) q <<= 1;
  return q;
}

uint64_t limit_max_frame_bytes(int32_t capacity) noexcept {
  const uint64_t q = static_cast<uint64_t>(capacity);
  uint64_t bytes = q <= 256 ? (1ull << 20) : q <= 4096 ? (4ull << 20) : (8ull << 20);
  if (q * 1024 > bytes) bytes = q * 1024;
  return bytes > 67108864ull ? 67108864ull : bytes;
}

uint64_t limit_peer_frame_bytes(int32_t capacity) noexcept {
  const uint64_t per_slot = static_cast<uint64_t>(capacity) * 16384;
  const uint64_t frame = limit_max_frame_bytes(capacity);
  return per_slot > frame ? per_slot : frame;
}

uint64_t limit_aux_batch(int32_t capacity) noexcept {
  if (capacity < 1152) return 8;
  const uint64_t batch = static_cast<uint64_t>(capacity) / 128;
  return batch > 64 ? 64 : batch;
}

uint64_t limit_pipe_queue_capacity(int32_t capacity) noexcept {
  if (capacity < 40) return 4;
  const uint64_t n = static_cast<uint64_t>(capacity) / 8;
  return n > 16 ? 16 : n;
}

uint64_t limits_max_frame_bytes(const Runtime* rt) noexcept { return rt->max_frame_bytes; }

}  // namespace vorlet::v2
