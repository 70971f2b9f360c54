#include "pool/frame_buffer.h"

#include <cstddef>
#include <cstring>

#include "base/alloc.h"
#include "base/mutex.h"

namespace vorlet::v2 {
namespace {

// Sits right before the payload; 16 bytes so the payload keeps the
// allocator's 16-byte alignment.
struct FrameBufferHeader {
  uint64_t capacity;
  uint32_t size_class;  // 0: not pooled; else the index in kFrameClassBytes + 1
  uint32_t charged;     // 1: a FrameCharge sits right before this header
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

constexpr uint64_t largest(const uint64_t (&values)[kFrameClassCount]) noexcept {
  uint64_t most = 0;
  for (uint64_t v : values) most = v > most ? v : most;
  return most;
}
constexpr uint64_t kMaxCacheBlocks = largest(kFrameCacheBlocks);
constexpr uint64_t kMaxDepotBlocks = largest(kFrameDepotBlocks);

// The smallest class that holds n bytes; n is at most kPooledFrameBytes.
uint32_t class_of(uint64_t n) noexcept {
  uint32_t cls = 0;
  while (kFrameClassBytes[cls] < n) ++cls;
  return cls;
}

void free_blocks(FrameBufferHeader* const* blocks, uint64_t n) noexcept {
  for (uint64_t i = 0; i < n; ++i) rt_free(blocks[i]);
}

// The shared idle blocks of one class, a stack. Each starts a cache line of
// its own, so one class's lock shares no line with another class.
struct alignas(64) DepotClass {
  Mutex mutex;  // held only to move one batch
  uint64_t count GUARDED_BY(mutex);
  FrameBufferHeader* blocks[kMaxDepotBlocks] GUARDED_BY(mutex);
};

// Constant-initialised and never destroyed, so it is ready before any static
// constructor of a host runs and still there when the last thread (or a
// static destructor) gives blocks back; blocks idle at exit stay reachable
// from it.
constinit DepotClass g_depot[kFrameClassCount]{};

// Moves up to want blocks of the depot's top into out; how many it moved.
uint64_t depot_take(uint32_t cls, FrameBufferHeader** out, uint64_t want) noexcept {
  DepotClass& d = g_depot[cls];
  MutexLock hold(&d.mutex);
  const uint64_t n = want < d.count ? want : d.count;
  d.count -= n;
  std::memcpy(out, d.blocks + d.count, n * sizeof *out);
  return n;
}

// Puts n blocks into the depot and frees those it has no room for.
void depot_put(uint32_t cls, FrameBufferHeader* const* blocks, uint64_t n) noexcept {
  DepotClass& d = g_depot[cls];
  uint64_t kept = 0;
  {
    MutexLock hold(&d.mutex);
    const uint64_t room = kFrameDepotBlocks[cls] - d.count;
    kept = n < room ? n : room;
    std::memcpy(d.blocks + d.count, blocks, kept * sizeof *blocks);
    d.count += kept;
  }
  free_blocks(blocks + kept, n - kept);
}

// One thread's idle blocks, a stack per class: the last block released is
// the first taken again, while it is likely still in the processor's cache.
struct CacheClass {
  uint64_t count;
  FrameBufferHeader* blocks[kMaxCacheBlocks];
};

// unused until the thread first pools a block; gone once its flush at
// thread exit has run, after which the thread goes to the depot directly.
enum class CacheState : uint32_t { unused, live, gone };

// Trivially destructible, so it stays usable for as long as the thread
// runs, including after its flush (a host's own thread_local destructors or,
// on the main thread, static destructors may still release frames).
struct ThreadCache {
  CacheState state;
  CacheClass classes[kFrameClassCount];
};
constinit thread_local ThreadCache t_cache{};

// Gives the thread's cache to the depot when the thread exits. It holds no
// blocks itself, so its place among the thread's other destructors does not
// matter: a frame released after it goes to the depot.
struct CacheFlush {
  bool armed = false;
  ~CacheFlush() {
    if (!armed) return;
    for (uint32_t cls = 0; cls < kFrameClassCount; ++cls) {
      CacheClass& cc = t_cache.classes[cls];
      depot_put(cls, cc.blocks, cc.count);
      cc.count = 0;
    }
    t_cache.state = CacheState::gone;
  }
};
thread_local CacheFlush t_flush;

// The calling thread's cache, or nullptr once it has been flushed.
ThreadCache* thread_cache() noexcept {
  ThreadCache& cache = t_cache;
  if (cache.state == CacheState::live) return &cache;
  if (cache.state == CacheState::gone) return nullptr;
  t_flush.armed = true;  // the first use of t_flush registers its destructor
  cache.state = CacheState::live;
  return &cache;
}

// An idle block of the class, or nullptr when neither the cache nor the
// depot has one. An empty cache refills by half its size in one batch.
FrameBufferHeader* pool_take(uint32_t cls) noexcept {
  ThreadCache* cache = thread_cache();
  if (cache == nullptr) {
    FrameBufferHeader* h = nullptr;
    depot_take(cls, &h, 1);
    return h;
  }
  CacheClass& cc = cache->classes[cls];
  if (cc.count == 0) cc.count = depot_take(cls, cc.blocks, kFrameCacheBlocks[cls] / 2);
  return cc.count == 0 ? nullptr : cc.blocks[--cc.count];
}

// A full cache first spills its older half, the blocks least likely to be
// warm, to the depot in one batch.
void pool_put(FrameBufferHeader* h, uint32_t cls) noexcept {
  ThreadCache* cache = thread_cache();
  if (cache == nullptr) {
    depot_put(cls, &h, 1);
    return;
  }
  CacheClass& cc = cache->classes[cls];
  if (cc.count == kFrameCacheBlocks[cls]) {
    const uint64_t spilled = cc.count / 2;
    depot_put(cls, cc.blocks, spilled);
    std::memmove(cc.blocks, cc.blocks + spilled, (cc.count - spilled) * sizeof *cc.blocks);
    cc.count -= spilled;
  }
  cc.blocks[cc.count++] = h;
}

FrameBufferHeader* block_new(uint64_t capacity, uint32_t size_class) noexcept {
  auto* h = static_cast<FrameBufferHeader*>(rt_malloc(sizeof(FrameBufferHeader) + capacity));
  if (h == nullptr) return nullptr;
  h->capacity = capacity;
  h->size_class = size_class;
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
    const uint32_t cls = class_of(n);
    h = pool_take(cls);
    if (h == nullptr) h = block_new(kFrameClassBytes[cls], cls + 1);
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
  h->size_class = 0;
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
  if (h->size_class != 0) {
    pool_put(h, h->size_class - 1);
    return;
  }
  rt_free(h);
}

uint64_t frame_buffer_capacity(const void* payload) noexcept { return header_of(payload)->capacity; }

bool frame_buffer_pooled(const void* payload) noexcept { return header_of(payload)->size_class != 0; }

uint64_t frame_pool_idle() noexcept {
  uint64_t idle = frame_pool_thread_cached();
  for (DepotClass& d : g_depot) {
    MutexLock hold(&d.mutex);
    idle += d.count;
  }
  return idle;
}

uint64_t frame_pool_thread_cached() noexcept {
  uint64_t cached = 0;
  for (const CacheClass& cc : t_cache.classes) cached += cc.count;
  return cached;
}

void frame_pool_trim() noexcept {
  for (uint32_t cls = 0; cls < kFrameClassCount; ++cls) {
    CacheClass& cc = t_cache.classes[cls];
    free_blocks(cc.blocks, cc.count);
    cc.count = 0;
    FrameBufferHeader* blocks[kMaxDepotBlocks];
    const uint64_t n = depot_take(cls, blocks, kMaxDepotBlocks);
    free_blocks(blocks, n);
  }
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
