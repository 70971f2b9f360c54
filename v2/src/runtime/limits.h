// Every size limit of a runtime derives from the one queue-capacity hint of
// its create options.
#pragma once

#include <cstdint>

namespace vorlet::v2 {

struct Runtime;

// 0 or less: 4096; above 65536: 65536; else the next power of two >= hint.
int32_t limit_queue_capacity(int32_t hint) noexcept;
// Frame limit of the request pipe reader, from the capacity.
uint64_t limit_max_frame_bytes(int32_t capacity) noexcept;
uint64_t limit_aux_batch(int32_t capacity) noexcept;
// Bytes of requests from remote peers the runtime holds at once, from the
// capacity: 16 KiB per ring slot, and never less than one request of
// limit_max_frame_bytes.
uint64_t limit_peer_frame_bytes(int32_t capacity) noexcept;
// Capacity of each host-bound pipe queue, before its power-of-two rounding.
uint64_t limit_pipe_queue_capacity(int32_t capacity) noexcept;
// The frame limit a runtime fixed at create (limit_max_frame_bytes of its
// capacity). Never changes afterwards, so it is read without the runtime
// lock.
uint64_t limits_max_frame_bytes(const Runtime* rt) noexcept;
// Slots of each of the three rings.
inline uint64_t limit_ring_slots(int32_t capacity) noexcept { return capacity < 2 ? 2 : static_cast<uint64_t>(capacity); }

// A request timeout of 0 or less means 1000 ms.
inline int64_t envelope_timeout_or_default(int64_t timeout_ms) noexcept {
  return timeout_ms <= 0 ? 1000 : timeout_ms;
}

}  // namespace vorlet::v2
