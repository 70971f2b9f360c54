// The bounded ring that carries work between the runtime's threads, and
// the runtime's three:
//  - the ingress ring: items from the submit call, the request pipe reader
//    and the inbound remote request handler to the dispatcher (producers
//    serialise on ingress_lock; the dispatcher pops without a lock);
//  - the local delivery ring: jobs from the dispatcher to the local worker
//    (both under local_delivery_lock);
//  - the remote outbound ring: jobs from remote admission to the remote
//    worker (both under remote_outbound_lock, since admission may reorder
//    queued jobs).
// How producers push onto them, and how consumers sleep and end, is with
// each ring's ends (ingress.h, local_delivery.h, remote_admission.h,
// remote_outbound.h) and consumer_wait.h.
//
// Capacities are powers of two (slot = index & mask); the indices are
// free-running 64-bit counts, each on its own cache line.
#pragma once

#include <atomic>
#include <cstdint>
#include <type_traits>

#include "codec/alloc.h"
#include "codec/status.h"
#include "runtime/jobs.h"

namespace vorlet::v2 {

// The smallest power of two that is at least max(requested, 2); 0 when the
// request is beyond any array that could be allocated.
uint64_t ring_capacity_for(uint64_t requested) noexcept;

// A ring of T, held by value; an empty slot holds T{}. Producers are
// serialised by a lock of the owner's; there is one consumer, which may
// pop without that lock (the ingress ring's dispatcher) or under it (the
// job rings' workers). The orderings below are what the lock-free consumer
// needs; under the lock they cost nothing more.
template <class T>
struct alignas(64) Ring {
  // The array is zero-filled and slots are copied as bytes would be.
  static_assert(std::is_trivially_copyable_v<T>);

  uint64_t capacity;
  uint64_t mask;
  T* items;  // owned; NULL counts as empty and as full
  // Published with release after the slot is written (by a producer) or
  // cleared (by the consumer); read with acquire by the other side.
  alignas(64) std::atomic<uint64_t> write_index;
  alignas(64) std::atomic<uint64_t> read_index;

  // Exact under the producers' lock with a consumer that pops under it
  // too; otherwise a snapshot.
  uint64_t count() const noexcept {
    if (items == nullptr) return 0;
    return write_index.load(std::memory_order_relaxed) - read_index.load(std::memory_order_relaxed);
  }
  bool full() const noexcept { return items == nullptr || count() >= capacity; }

  // A producer's push, under the producers' lock: false when full (the
  // value stays the caller's); on true the ring owns what the value owns
  // and *depth (may be NULL) is the count just after it.
  bool push(const T& value, uint64_t* depth = nullptr) noexcept {
    if (items == nullptr) return false;
    const uint64_t w = write_index.load(std::memory_order_relaxed);
    const uint64_t r = read_index.load(std::memory_order_acquire);  // the consumer cleared slot r - 1
    if (w - r >= capacity) return false;
    items[w & mask] = value;
    // Sequentially consistent, so that the consumer's sleep test sees it
    // or the producer sees the consumer asleep (wake_after_push).
    write_index.store(w + 1, std::memory_order_seq_cst);
    if (depth != nullptr) *depth = w + 1 - r;
    return true;
  }

  // The consumer's pop: false when empty. Otherwise the oldest value (for
  // a job ring possibly NULL, a slot emptied by admission) moves to *out,
  // its slot is cleared, and *depth (may be NULL) is what is left.
  bool try_pop(T* out, uint64_t* depth = nullptr) noexcept {
    if (items == nullptr) return false;
    const uint64_t r = read_index.load(std::memory_order_relaxed);
    const uint64_t w = write_index.load(std::memory_order_acquire);  // the producer's slot is visible
    if (r == w) return false;
    T& slot = items[r & mask];
    *out = slot;
    slot = T{};
    read_index.store(r + 1, std::memory_order_release);
    if (depth != nullptr) *depth = w - (r + 1);
    return true;
  }

  // Without any lock, for a consumer deciding whether to sleep.
  bool observed_empty() const noexcept {
    return items == nullptr ||
           write_index.load(std::memory_order_seq_cst) == read_index.load(std::memory_order_relaxed);
  }
};

// nomem when the array cannot be had (the ring then has none).
template <class T>
Status ring_init(Ring<T>* ring, uint64_t requested) noexcept {
  const uint64_t capacity = ring_capacity_for(requested);
  T* items = capacity == 0 ? nullptr : static_cast<T*>(rt_calloc(capacity, sizeof(T)));
  if (items == nullptr) return Status::nomem;
  ring->items = items;
  ring->capacity = capacity;
  ring->mask = capacity - 1;
  return Status::ok;
}

// Frees the array; what is still queued must have been drained.
template <class T>
void ring_free(Ring<T>* ring) noexcept {
  rt_free(ring->items);
  ring->items = nullptr;
}

// The ingress ring holds its items by value; the job rings hold pointers,
// so that admission can move a job without copying it.
using IngressRing = Ring<IngressItem>;
template <class Job>
using JobRing = Ring<Job*>;

}  // namespace vorlet::v2
