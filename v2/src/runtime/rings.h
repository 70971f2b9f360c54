// The three bounded rings between the runtime's threads, and how their
// consumers sleep and end:
//  - the ingress ring: items from the submit call, the request pipe reader
//    and the inbound remote request handler to the dispatcher (producers
//    serialise on ingress_lock; the dispatcher pops without a lock);
//  - the local delivery ring: jobs from the dispatcher to the local worker
//    (both under local_delivery_lock);
//  - the remote outbound ring: jobs from remote admission to the remote
//    worker (both under remote_outbound_lock, since admission may reorder
//    queued jobs).
//
// Nothing accepted is stranded at stop: producers test the stopping flag
// under the ring's lock, and a consumer decides to end only under that same
// lock, after seeing the ring empty and the flag set together. Everything
// pushed before that decision is popped; nothing can be pushed after it.
//
// Capacities are powers of two (slot = index & mask); the indices are
// free-running 64-bit counts, each on its own cache line.
#pragma once

#include <atomic>
#include <cstdint>

#include "codec/alloc.h"
#include "codec/status.h"
#include "runtime/jobs.h"

namespace vorlet::v2 {

struct Runtime;
struct WakePair;

// The smallest power of two that is at least max(requested, 2); 0 when the
// request is beyond any array that could be allocated.
uint64_t ring_capacity_for(uint64_t requested) noexcept;

struct alignas(64) IngressRing {
  uint64_t capacity;
  uint64_t mask;
  IngressItem* items;  // owned; NULL counts as empty and as full
  // Published with release after the slot is written (by a producer) or
  // cleared (by the dispatcher); read with acquire by the other side.
  alignas(64) std::atomic<uint64_t> write_index;
  alignas(64) std::atomic<uint64_t> read_index;
};

// invalid_arg when the array cannot be had (the ring then has none).
Status ingress_ring_init(IngressRing* ring, uint64_t requested) noexcept;
// Frees the array; what is still queued must have been drained.
void ingress_ring_free(IngressRing* ring) noexcept;

// A ring of job pointers. Every member function but observed_empty() runs
// under the ring's lock.
template <class Job>
struct alignas(64) JobRing {
  uint64_t capacity;
  uint64_t mask;
  Job** items;  // owned; an empty slot holds NULL; NULL counts as empty and full
  alignas(64) std::atomic<uint64_t> write_index;
  alignas(64) std::atomic<uint64_t> read_index;

  uint64_t count() const noexcept {
    if (items == nullptr) return 0;
    return write_index.load(std::memory_order_relaxed) - read_index.load(std::memory_order_relaxed);
  }
  bool full() const noexcept { return items == nullptr || count() >= capacity; }

  // false when full; the ring owns the job on true.
  bool push(Job* job) noexcept {
    if (full()) return false;
    const uint64_t w = write_index.load(std::memory_order_relaxed);
    items[w & mask] = job;
    // Sequentially consistent, so that the consumer's sleep test sees it
    // or the producer sees the consumer asleep (wake_after_push).
    write_index.store(w + 1, std::memory_order_seq_cst);
    return true;
  }

  // The oldest job (possibly NULL for a slot emptied by admission), the
  // ring's slot cleared; only when count() > 0.
  Job* pop() noexcept {
    const uint64_t r = read_index.load(std::memory_order_relaxed);
    Job* job = items[r & mask];
    items[r & mask] = nullptr;
    read_index.store(r + 1, std::memory_order_relaxed);
    return job;
  }

  // Without the lock, for a consumer deciding whether to sleep.
  bool observed_empty() const noexcept {
    return items == nullptr ||
           write_index.load(std::memory_order_seq_cst) == read_index.load(std::memory_order_relaxed);
  }
};

// invalid_arg when the array cannot be had (the ring then has none).
template <class Job>
Status job_ring_init(JobRing<Job>* ring, uint64_t requested) noexcept {
  const uint64_t capacity = ring_capacity_for(requested);
  Job** items = capacity == 0 ? nullptr : static_cast<Job**>(rt_calloc(capacity, sizeof(Job*)));
  if (items == nullptr) return Status::invalid_arg;
  ring->items = items;
  ring->capacity = capacity;
  ring->mask = capacity - 1;
  return Status::ok;
}
template <class Job>
void job_ring_free(JobRing<Job>* ring) noexcept {
  rt_free(ring->items);
  ring->items = nullptr;
}

// ---- producers ----

// Pushes a copy of *item; on ok the ring owns its frame and slot reference.
// invalid_arg: NULL runtime, no frame or length 0; closed: stopping;
// would_block: full. On a refusal everything stays with the caller.
Status runtime_enqueue_ingress(Runtime* rt, const IngressItem* item) noexcept;

// The dispatcher's push of a local job; on ok the ring owns the job.
// invalid_arg: NULL runtime or job, no frame or length 0; bad_state:
// stopping; would_block: full. On a refusal the job stays with the caller.
Status runtime_enqueue_local(Runtime* rt, LocalJob* job) noexcept;

// After a successful push: wakes the consumer when it sleeps (or is about
// to), under its wake mutex; costs one atomic load when it is busy. Stop
// and destroy wake every consumer unconditionally (runtime_wake_threads).
void wake_after_push(WakePair* wake) noexcept;

// The submit call: copies the bytes into a frame buffer and pushes it as a
// host item. invalid_arg (NULL runtime; NULL bytes or length 0 once
// accepting), bad_state (not started yet), closed (stopping or stopped),
// nomem (no frame buffer), would_block (full; counted in queue_rejections).
// The state test comes before any test of the bytes.
Status runtime_submit_envelope(Runtime* rt, const void* bytes, uint64_t length) noexcept;

// ---- consumers ----

// The dispatcher's pop, without a lock: false when the ring is empty.
bool runtime_ingress_try_pop(Runtime* rt, IngressItem* out) noexcept;
// The dispatcher's loop step: the next item, sleeping while there is none;
// false when the ring is empty and the runtime is stopping (then the
// dispatcher ends).
bool runtime_ingress_pop(Runtime* rt, IngressItem* out) noexcept;

// The workers' loop steps: the next job, sleeping while there is none;
// NULL when the ring is empty and the runtime is stopping (then the worker
// ends). The caller owns the job.
LocalJob* runtime_local_pop(Runtime* rt) noexcept;
RemoteJob* runtime_remote_pop(Runtime* rt) noexcept;

// ---- destroy ----

// What is still queued when the runtime goes: remote items fail their
// reply slots, local and remote jobs become runtime_stopped deadletters
// ("runtime destroyed before ..."); everything is released.
void runtime_drain_rings_at_destroy(Runtime* rt) noexcept;

}  // namespace vorlet::v2
