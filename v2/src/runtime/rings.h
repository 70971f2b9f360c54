// The bounded rings that carry work between the runtime's threads, and
// the runtime's three:
//  - the ingress ring: items from the submit call, the request pipe reader
//    and the inbound remote request handler to the dispatcher;
//  - the local delivery ring: jobs from the dispatcher to the local worker;
//  - the remote outbound ring: jobs from remote admission to the remote
//    worker (both under remote_outbound_lock, since admission may take
//    queued jobs out).
// The first two are SlotRings, which producers push onto without a lock;
// the third is a Ring, whose producers serialise on the owner's lock. How
// producers push onto them, and how consumers sleep and end, is with each
// ring's ends (ingress.h, local_delivery.h, remote_admission.h,
// remote_outbound.h) and consumer_wait.h.
//
// Capacities are powers of two (slot = index & mask); the indices are
// free-running 64-bit counts, each on its own cache line.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>

#include "base/alloc.h"
#include "base/status.h"
#include "runtime/jobs.h"

namespace vorlet::v2 {

// The smallest power of two that is at least max(requested, 2); 0 when the
// request is beyond any array that could be allocated.
uint64_t ring_capacity_for(uint64_t requested) noexcept;

// A ring of T, held by value; an empty slot holds T{}. Producers are
// serialised by a lock of the owner's; there is one consumer, which pops
// under it too (the remote worker), so that the owner may also take queued
// items out under that lock (admission). The orderings below would let a
// consumer pop without the lock; under it they cost nothing more. Only the
// ring's own operations touch its slots and indices.
template <class T>
class alignas(64) Ring {
 public:
  // The array is zero-filled and slots are copied as bytes would be.
  static_assert(std::is_trivially_copyable_v<T>);

  uint64_t capacity() const noexcept { return capacity_; }
  uint64_t mask() const noexcept { return mask_; }
  bool has_array() const noexcept { return items_ != nullptr; }
  // Free-running: grows by one per push, falls by what remove_matching
  // takes out. A snapshot without the lock.
  uint64_t write_index() const noexcept { return write_index_.load(std::memory_order_relaxed); }

  // Exact under the producers' lock with a consumer that pops under it
  // too; otherwise a snapshot.
  uint64_t count() const noexcept {
    if (items_ == nullptr) return 0;
    return write_index_.load(std::memory_order_relaxed) - read_index_.load(std::memory_order_relaxed);
  }
  bool full() const noexcept { return items_ == nullptr || count() >= capacity_; }

  // A producer's push, under the producers' lock: false when full (the
  // value stays the caller's); on true the ring owns what the value owns
  // and *depth (may be NULL) is the count just after it.
  bool push(const T& value, uint64_t* depth = nullptr) noexcept {
    if (items_ == nullptr) return false;
    const uint64_t w = write_index_.load(std::memory_order_relaxed);
    const uint64_t r = read_index_.load(std::memory_order_acquire);  // the consumer cleared slot r - 1
    if (w - r >= capacity_) return false;
    items_[w & mask_] = value;
    // Sequentially consistent, so that the consumer's sleep test sees it
    // or the producer sees the consumer asleep (wake_after_push).
    write_index_.store(w + 1, std::memory_order_seq_cst);
    if (depth != nullptr) *depth = w + 1 - r;
    return true;
  }

  // The consumer's pop: false when empty. Otherwise the oldest value (T{}
  // when T{} was pushed) moves to *out, its slot is cleared, and *depth
  // (may be NULL) is what is left.
  bool try_pop(T* out, uint64_t* depth = nullptr) noexcept {
    if (items_ == nullptr) return false;
    const uint64_t r = read_index_.load(std::memory_order_relaxed);
    const uint64_t w = write_index_.load(std::memory_order_acquire);  // the producer's slot is visible
    if (r == w) return false;
    T& slot = items_[r & mask_];
    *out = slot;
    slot = T{};
    read_index_.store(r + 1, std::memory_order_release);
    if (depth != nullptr) *depth = w - (r + 1);
    return true;
  }

  // Without any lock, for a consumer deciding whether to sleep.
  bool observed_empty() const noexcept {
    return items_ == nullptr ||
           write_index_.load(std::memory_order_seq_cst) == read_index_.load(std::memory_order_relaxed);
  }

  // The queued items for which match(item) is true, under the producers'
  // lock. Every queued item is shown to match, T{} included.
  template <class Match>
  uint64_t count_matching(Match match) const noexcept {
    if (items_ == nullptr) return 0;
    const uint64_t r = read_index_.load(std::memory_order_relaxed);
    const uint64_t w = write_index_.load(std::memory_order_relaxed);
    uint64_t n = 0;
    for (uint64_t i = r; i < w; ++i) {
      if (match(static_cast<const T&>(items_[i & mask_]))) ++n;
    }
    return n;
  }

  // Takes out, oldest first, up to max queued items for which match(item)
  // is true and moves them to out[0..n): the caller owns what they own
  // now. The items left close up towards the oldest in their order, so
  // read_index stays and write_index falls by n; the slots freed at the
  // back are cleared. Returns n (0: nothing changed). Under the producers'
  // lock, which the consumer's pop takes too: a pop never sees the ring
  // half closed up.
  template <class Match>
  uint64_t remove_matching(Match match, T* out, uint64_t max) noexcept {
    if (items_ == nullptr || max == 0) return 0;
    const uint64_t r = read_index_.load(std::memory_order_relaxed);
    const uint64_t w = write_index_.load(std::memory_order_relaxed);
    uint64_t kept = r;
    uint64_t n = 0;
    for (uint64_t i = r; i < w; ++i) {
      const T item = items_[i & mask_];
      if (n < max && match(item)) {
        out[n++] = item;
      } else {
        // kept <= i: that slot was read already. Until the first match
        // nothing moves, and a ring with none is not written at all.
        if (kept != i) items_[kept & mask_] = item;
        ++kept;
      }
    }
    if (n == 0) return 0;
    for (uint64_t i = kept; i < w; ++i) items_[i & mask_] = T{};
    // Sequentially consistent like a push's, for the consumer's sleep test.
    write_index_.store(kept, std::memory_order_seq_cst);
    return n;
  }

  // The oldest queued item for which match(item) is true, taken out as by
  // remove_matching (the newer ones each move one slot towards the oldest)
  // and moved to *out: true. False when none matches (nothing changed).
  template <class Match>
  bool take_first_matching(Match match, T* out) noexcept {
    return remove_matching(match, out, 1) == 1;
  }

 private:
  template <class U>
  friend Status ring_init(Ring<U>* ring, uint64_t requested) noexcept;
  template <class U>
  friend void ring_free(Ring<U>* ring) noexcept;

  uint64_t capacity_;
  uint64_t mask_;
  T* items_;  // owned; NULL counts as empty and as full
  // Published with release after the slot is written (by a producer) or
  // cleared (by the consumer); read with acquire by the other side.
  alignas(64) std::atomic<uint64_t> write_index_;
  alignas(64) std::atomic<uint64_t> read_index_;
};

// nomem when the array cannot be had (the ring then has none).
template <class T>
Status ring_init(Ring<T>* ring, uint64_t requested) noexcept {
  const uint64_t capacity = ring_capacity_for(requested);
  T* items = capacity == 0 ? nullptr : static_cast<T*>(rt_calloc(capacity, sizeof(T)));
  if (items == nullptr) return Status::nomem;
  ring->items_ = items;
  ring->capacity_ = capacity;
  ring->mask_ = capacity - 1;
  return Status::ok;
}

// Frees the array; what is still queued must have been drained.
template <class T>
void ring_free(Ring<T>* ring) noexcept {
  rt_free(ring->items_);
  ring->items_ = nullptr;
}

// A ring of T for many producers that push without a lock and one
// consumer (a bounded queue with a sequence number per slot). Each slot's
// sequence says whose turn it is at position p (p & mask == the slot):
//   seq == p          free: the producer that claims p may write it;
//   seq == p + 1      published: the consumer may take it;
//   seq == p + capacity  taken: free for position p + capacity.
// A producer claims p by moving write_index from p to p + 1 with one
// compare-and-swap, and only when slot p is free (else the ring is full
// and nothing changes); it then writes the value and publishes. The
// consumer takes published slots in position order, so what one producer
// pushed comes out in its order. Between a claim and its publication the
// consumer waits for that slot: the owner of a claim always publishes it,
// with its value or, when it may no longer push, with an empty T (a
// vacancy, which the consumer skips).
//
// Orderings: a publication (release) is what the consumer's acquire of the
// sequence sees before it reads the value; the consumer stores read_index
// (release) before it frees the slot (release), so a producer that
// acquires a freed slot sees read_index past it and a depth it computes
// never exceeds the capacity. Claims and publications are sequentially
// consistent, for the stop and sleep tests in consumer_wait.h.
//
// kSlotAlign is each slot's alignment. A ring with many producers gives
// each slot a cache line of its own (64), so that producers on different
// cores writing neighbouring slots do not take the same line from each
// other; a ring with one producer packs its slots.
template <class T, size_t kSlotAlign = alignof(std::atomic<uint64_t>)>
struct alignas(64) SlotRing {
  static_assert(std::is_trivially_copyable_v<T>);

  struct alignas(kSlotAlign) Slot {
    std::atomic<uint64_t> seq;
    T value;
  };

  uint64_t capacity;
  uint64_t mask;
  Slot* items;  // owned; NULL counts as empty and as full
  alignas(64) std::atomic<uint64_t> write_index;  // positions claimed
  alignas(64) std::atomic<uint64_t> read_index;   // positions taken by the consumer

  // Claimed and not yet taken (vacancies and claims still being written
  // included): a snapshot, and exact once producers and consumer are still.
  uint64_t count() const noexcept {
    if (items == nullptr) return 0;
    const uint64_t r = read_index.load(std::memory_order_acquire);
    return write_index.load(std::memory_order_relaxed) - r;
  }

  // Claims the next free position: false when the ring is full (nothing
  // changed). On true the caller must publish the slot.
  bool claim(Slot** out, uint64_t* position) noexcept {
    if (items == nullptr) return false;
    uint64_t pos = write_index.load(std::memory_order_relaxed);
    for (;;) {
      Slot* slot = &items[pos & mask];
      const uint64_t seq = slot->seq.load(std::memory_order_acquire);
      const auto lag = static_cast<int64_t>(seq - pos);
      if (lag == 0) {
        if (write_index.compare_exchange_weak(pos, pos + 1, std::memory_order_seq_cst, std::memory_order_relaxed)) {
          *out = slot;
          *position = pos;
          return true;
        }
      } else if (lag < 0) {
        return false;  // the consumer has not taken this slot's last value
      } else {
        pos = write_index.load(std::memory_order_relaxed);  // another producer claimed pos
      }
    }
  }

  // Writes and publishes a claimed slot; the ring owns what the value owns.
  static void publish(Slot* slot, uint64_t position, const T& value) noexcept {
    slot->value = value;
    slot->seq.store(position + 1, std::memory_order_seq_cst);
  }

  // The consumer's take: up to max published values, in order, moved to
  // out[]; their slots are free again when it returns. *depth (may be
  // NULL) is what is left claimed. Returns how many it took (vacancies
  // included).
  uint64_t take(T* out, uint64_t max, uint64_t* depth = nullptr) noexcept {
    if (items == nullptr || max == 0) return 0;
    const uint64_t r = read_index.load(std::memory_order_relaxed);
    uint64_t n = 0;
    while (n < max) {
      Slot& slot = items[(r + n) & mask];
      if (slot.seq.load(std::memory_order_acquire) != r + n + 1) break;
      out[n] = slot.value;
      slot.value = T{};
      ++n;
    }
    if (n == 0) return 0;
    read_index.store(r + n, std::memory_order_release);
    for (uint64_t i = 0; i < n; ++i) items[(r + i) & mask].seq.store(r + i + capacity, std::memory_order_release);
    if (depth != nullptr) *depth = write_index.load(std::memory_order_relaxed) - (r + n);
    return n;
  }

  // A producer's look before it prepares a value: true when the next
  // position still holds a value the consumer has not taken, so a claim
  // now would fail. A snapshot that decides nothing: a push still decides
  // by its claim.
  bool observed_full() const noexcept {
    if (items == nullptr) return true;
    const uint64_t pos = write_index.load(std::memory_order_relaxed);
    return static_cast<int64_t>(items[pos & mask].seq.load(std::memory_order_acquire) - pos) < 0;
  }

  // One value, as take: false when the next slot is not published.
  bool try_pop(T* out, uint64_t* depth = nullptr) noexcept { return take(out, 1, depth) == 1; }

  // The consumer's tests, without any lock. next_published: the slot at
  // read_index is published (sequentially consistent, against a producer's
  // publication and its test of the sleeping flag). drained: nothing is
  // claimed that the consumer has not taken (sequentially consistent,
  // against a producer's claim and its test of the stopping flag).
  bool next_published() const noexcept {
    if (items == nullptr) return false;
    const uint64_t r = read_index.load(std::memory_order_relaxed);
    return items[r & mask].seq.load(std::memory_order_seq_cst) == r + 1;
  }
  bool drained() const noexcept {
    return items == nullptr ||
           write_index.load(std::memory_order_seq_cst) == read_index.load(std::memory_order_relaxed);
  }
};

// nomem when the array cannot be had (the ring then has none). Every slot
// starts free for its first position.
template <class T, size_t kSlotAlign>
Status ring_init(SlotRing<T, kSlotAlign>* ring, uint64_t requested) noexcept {
  using Slot = typename SlotRing<T, kSlotAlign>::Slot;
  const uint64_t capacity = ring_capacity_for(requested);
  void* block = capacity == 0 ? nullptr : rt_aligned_calloc(alignof(Slot), capacity, sizeof(Slot));
  if (block == nullptr) return Status::nomem;
  auto* items = static_cast<Slot*>(block);
  for (uint64_t i = 0; i < capacity; ++i) {
    Slot* slot = new (&items[i]) Slot{};
    slot->seq.store(i, std::memory_order_relaxed);
  }
  ring->items = items;
  ring->capacity = capacity;
  ring->mask = capacity - 1;
  return Status::ok;
}

// Frees the array; what is still queued must have been drained.
template <class T, size_t kSlotAlign>
void ring_free(SlotRing<T, kSlotAlign>* ring) noexcept {
  rt_aligned_free(ring->items);
  ring->items = nullptr;
}

// A slot a producer gave up after its claim.
inline bool ring_vacancy(const IngressItem& item) noexcept { return item.frame == nullptr; }
template <class Job>
bool ring_vacancy(const Job* job) noexcept {
  return job == nullptr;
}

// The ingress ring holds its items by value; the job rings hold pointers,
// so that admission can move a job without copying it.
using IngressRing = SlotRing<IngressItem, 64>;  // pushed by every producer of the runtime
using LocalRing = SlotRing<LocalJob*>;         // pushed by the dispatcher
template <class Job>
using JobRing = Ring<Job*>;

}  // namespace vorlet::v2
