#include "codec/frame_buffer.h"

#include <cstddef>
#include <cstring>
#include <mutex>

#include "codec/alloc.h"

namespace vorlet::v2 {
namespace {

// Sits right before the payload; 16 bytes so the payload keeps the
// allocator's 16-byte alignment.
struct FrameBufferHeader {
  uint64_t capacity;
  uint32_t pooled;
  uint32_t charged;  // 1: a FrameCharge sits right before this header
};
static_assert(sizeof(FrameBufferHeader) == 16);

// Before the header of a charged buffer, which is one allocation of charge,
// header and payload; also 16 bytes, for the same alignment.
struct FrameCharge {
  FrameBudget* budget;
  uint64_t bytes;
};
static_assert(sizeof(FrameCharge) == 16);

FrameBufferHeader* header_of(const void* payload) noexcept {
  return reinterpret_cast<FrameBufferHeader*>(const_cast<unsigned char*>(static_cast<const unsigned char*>(payload)) -
                                              sizeof(FrameBufferHeader));
}

void* payload_of(FrameBufferHeader* h) noexcept { return reinterpret_cast<unsigned char*>(h) + sizeof *h; }

// Idle blocks in release order: taking always takes the oldest, giving back
// appends. A ring keeps both O(1).
struct FramePool {
  std::mutex mutex;  // guards blocks, first and count; held only to take or put one block
  FrameBufferHeader* blocks[kFramePoolSlots];
  uint64_t first;
  uint64_t count;
};

// Constant-initialised, so it is ready before any static constructor of a
// host runs; blocks still idle at exit stay reachable from it.
constinit FramePool g_pool{};

FrameBufferHeader* pool_take() noexcept {
  std::lock_guard<std::mutex> hold(g_pool.mutex);
  if (g_pool.count == 0) return nullptr;
  FrameBufferHeader* h = g_pool.blocks[g_pool.first];
  g_pool.blocks[g_pool.first] = nullptr;
  g_pool.first = (g_pool.first + 1) % kFramePoolSlots;
  --g_pool.count;
  return h;
}

bool pool_put(FrameBufferHeader* h) noexcept {
  std::lock_guard<std::mutex> hold(g_pool.mutex);
  if (g_pool.count == kFramePoolSlots) return false;
  g_pool.blocks[(g_pool.first + g_pool.count) % kFramePoolSlots] = h;
  ++g_pool.count;
  return true;
}

FrameBufferHeader* block_new(uint64_t capacity, uint32_t pooled) noexcept {
  auto* h = static_cast<FrameBufferHeader*>(rt_malloc(sizeof(FrameBufferHeader) + capacity));
  if (h == nullptr) return nullptr;
  h->capacity = capacity;
  h->pooled = pooled;
  h->charged = 0;
  return h;
}

// Takes n bytes of the budget; false when they do not fit under its limit.
bool budget_take(FrameBudget* budget, uint64_t n) noexcept {
  uint64_t held = budget->held.load(std::memory_order_relaxed);
  do {
    if (n > budget->limit || held > budget->limit - n) return false;
  } while (!budget->held.compare_exchange_weak(held, held + n, std::memory_order_relaxed));
  return true;
}

}  // namespace

void* frame_buffer_acquire(uint64_t n) noexcept {
  if (n > UINT64_MAX - sizeof(FrameBufferHeader)) return nullptr;
  FrameBufferHeader* h = nullptr;
  if (n <= kPooledFrameBytes) {
    h = pool_take();
    if (h == nullptr) h = block_new(kPooledFrameBytes, 1);
  } else {
    h = block_new(n, 0);
  }
  return h == nullptr ? nullptr : payload_of(h);
}

Status frame_buffer_acquire_charged(FrameBudget* budget, uint64_t n, void** out) noexcept {
  if (budget == nullptr || out == nullptr) return Status::invalid_arg;
  *out = nullptr;
  constexpr uint64_t kOverhead = sizeof(FrameCharge) + sizeof(FrameBufferHeader);
  if (n > UINT64_MAX - kOverhead) return Status::nomem;
  if (!budget_take(budget, n)) return Status::would_block;
  auto* charge = static_cast<FrameCharge*>(rt_malloc(kOverhead + n));
  if (charge == nullptr) {
    budget->held.fetch_sub(n, std::memory_order_relaxed);
    return Status::nomem;
  }
  charge->budget = budget;
  charge->bytes = n;
  auto* h = reinterpret_cast<FrameBufferHeader*>(charge + 1);
  h->capacity = n;
  h->pooled = 0;
  h->charged = 1;
  *out = payload_of(h);
  return Status::ok;
}

void frame_buffer_release(void* payload) noexcept {
  if (payload == nullptr) return;
  FrameBufferHeader* h = header_of(payload);
  if (h->charged != 0) {
    // One allocation with its charge; never pooled.
    FrameCharge* charge = reinterpret_cast<FrameCharge*>(h) - 1;
    charge->budget->held.fetch_sub(charge->bytes, std::memory_order_relaxed);
    rt_free(charge);
    return;
  }
  if (h->pooled != 0 && pool_put(h)) return;
  rt_free(h);
}

uint64_t frame_buffer_capacity(const void* payload) noexcept { return header_of(payload)->capacity; }

bool frame_buffer_pooled(const void* payload) noexcept { return header_of(payload)->pooled != 0; }

uint64_t frame_pool_idle() noexcept {
  std::lock_guard<std::mutex> hold(g_pool.mutex);
  return g_pool.count;
}

Status frame_copy_from_bytes(const void* bytes, uint64_t length, FrameBuffer* out) noexcept {
  if (bytes == nullptr || out == nullptr || length == 0) return Status::invalid_arg;
  out->reset();
  FrameBuffer frame(frame_buffer_acquire(length));
  if (!frame) return Status::nomem;
  std::memcpy(frame.get(), bytes, length);
  *out = std::move(frame);
  return Status::ok;
}

Status frame_copy_charged(FrameBudget* budget, const void* bytes, uint64_t length, FrameBuffer* out) noexcept {
  if (bytes == nullptr || out == nullptr || length == 0) return Status::invalid_arg;
  out->reset();
  void* raw = nullptr;
  const Status s = frame_buffer_acquire_charged(budget, length, &raw);
  if (s != Status::ok) return s;
  std::memcpy(raw, bytes, length);
  out->reset(raw);
  return Status::ok;
}

}  // namespace vorlet::v2
