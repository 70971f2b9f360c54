// How the consumer of a ring (the dispatcher, the local worker, the remote
// worker) sleeps while its ring is empty and decides to end, and how a
// producer pushes and wakes it. Each ring's own ends (ingress.h,
// local_delivery.h, remote_admission.h, remote_outbound.h) are built on
// these.
//
// Nothing accepted is stranded at stop, and nothing is accepted once the
// consumer has decided to end:
//  - On a Ring (the remote ring), producers test the stopping flag under
//    the ring's lock, and the consumer decides to end only under that same
//    lock, after seeing the ring empty and the flag set together.
//  - On a SlotRing (the ingress and local rings) there is no lock. A
//    producer tests the flag, claims a slot (a sequentially consistent
//    compare-and-swap on write_index), then tests the flag again
//    (sequentially consistent) and publishes the slot: with its value when
//    the flag was still clear (accepted), else as a vacancy (closed, and
//    the value stays the producer's). The consumer, once it sees the flag
//    and has taken everything published, decides with a read-modify-write
//    of the flag (sequentially consistent, so it is ordered after every
//    producer's second test that read the flag clear) followed by a
//    sequentially consistent load of write_index: every claim whose
//    producer accepted comes before that load in the single total order,
//    so the consumer sees it, waits for its publication and takes it. A
//    claim after the load meets the flag set at its second test and is
//    refused. A claim that is not yet published makes the consumer sleep
//    until its producer publishes and wakes it: there is no spin.
//
// A consumer that has just emptied its ring spins a moment before it
// sleeps (consumer_spin), polling the ring with its sleeping flag still 0:
// a producer that publishes meanwhile reads 0 and skips the wake, and the
// spin sees the publication. The spin only delays the sleep and decides
// nothing. When it ends with the ring empty, the sleep raises the flag and
// re-tests the ring exactly as without a spin, so a push made just as the
// spin gave up is either seen by that re-test or finds the flag raised
// and signals (the sequentially consistent handshake of consumer_sleep).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "runtime/counters.h"
#include "runtime/rings.h"
#include "runtime/runtime.h"
#include "runtime/spin_wait.h"

namespace vorlet::v2 {

// After a successful push: wakes the consumer when it sleeps (or is about
// to), under its wake mutex; costs one atomic load when it is busy. Stop
// and destroy wake every consumer unconditionally (lifecycle_wake_threads).
void wake_after_push(WakePair* wake) noexcept;

// Before the consumer sleeps on an empty ring: when it handled work since
// it last spun (and its spins do not keep missing), it polls the ring for up to kConsumerSpinNs (no system
// call, sleeping left at 0), so a push in that window is taken without a
// wake. True when the ring has something or the runtime is stopping. The
// spin decides nothing: a push it misses, even one just as it ends, meets
// the sleep's handshake below like any other.
template <class Empty>
bool consumer_spin(Runtime* rt, WakePair* wake, Empty ring_empty) noexcept {
  if (!wake->spin.take_turn()) return false;
  const bool hit = spin_until(spin_iterations_for_ns(kConsumerSpinNs), [rt, &ring_empty] {
    return rt->stopping.load(std::memory_order_relaxed) != 0 || !ring_empty();
  });
  wake->spin.outcome(hit);
  return hit;
}

// The consumer's sleep, until ring_empty() is false or the runtime is
// stopping. The sleeping flag is raised before the ring is re-tested and
// producers read it after publishing their push (both sequentially
// consistent), so either the consumer sees the push or the producer sees
// the sleeper and signals under the wake mutex. Stop sets the flag first
// and then signals unconditionally.
template <class Empty>
void consumer_sleep(Runtime* rt, WakePair* wake, Empty ring_empty) noexcept {
  MutexLock hold(&wake->mutex);
  wake->sleeping.store(1, std::memory_order_seq_cst);
  while (rt->stopping.load(std::memory_order_seq_cst) == 0 && ring_empty()) wake->cv.wait(wake->mutex);
  wake->sleeping.store(0, std::memory_order_relaxed);
}

// A SlotRing producer's push: ok (the ring owns what the value owns; the
// count just after it goes to the depth gauge and raises the peak), closed
// when the runtime is stopping, would_block when the ring is full. On a
// refusal the value stays the caller's. The consumer is woken after every
// publication, a vacancy's too, since it may be waiting for that very slot.
template <class T, size_t kSlotAlign>
Status slot_ring_push(Runtime* rt, SlotRing<T, kSlotAlign>* ring, WakePair* wake, const T& value, Counter depth_gauge,
                      Counter peak_gauge) noexcept {
  if (rt->stopping.load(std::memory_order_acquire) != 0) return Status::closed;
  typename SlotRing<T, kSlotAlign>::Slot* slot = nullptr;
  uint64_t position = 0;
  if (!ring->claim(&slot, &position)) return Status::would_block;
  const bool refused = rt->stopping.load(std::memory_order_seq_cst) != 0;
  SlotRing<T, kSlotAlign>::publish(slot, position, refused ? T{} : value);
  if (!refused) {
    const uint64_t depth = ring->count();
    rt->counters.store(depth_gauge, depth);
    rt->counters.raise_peak(peak_gauge, depth);
  }
  wake_after_push(wake);
  return refused ? Status::closed : Status::ok;
}

// A SlotRing consumer's loop step: up to max (at least 1) values moved to
// out[] in push order, vacancies left out, sleeping while there is none; 0
// once the ring is empty and the runtime is stopping (then the consumer
// ends). Each take stores the count it left to the depth gauge.
template <class T, size_t kSlotAlign>
uint64_t slot_ring_take(Runtime* rt, SlotRing<T, kSlotAlign>* ring, WakePair* wake, T* out, uint64_t max,
                        Counter depth_gauge, Counter peak_gauge) noexcept {
  for (;;) {
    uint64_t depth = 0;
    const uint64_t took = ring->take(out, max, &depth);
    if (took != 0) {
      rt->counters.store(depth_gauge, depth);
      rt->counters.raise_peak(peak_gauge, depth);
      uint64_t kept = 0;
      for (uint64_t i = 0; i < took; ++i) {
        if (!ring_vacancy(out[i])) out[kept++] = out[i];
      }
      if (kept != 0) {
        wake->spin.worked();
        return kept;
      }
      continue;
    }
    if (rt->stopping.load(std::memory_order_acquire) != 0) {
      // The end is decided here (see the head comment): the flag's
      // read-modify-write, then the claims.
      if (rt->stopping.fetch_or(0, std::memory_order_seq_cst) != 0 && ring->drained()) return 0;
      // A claim is still being written: its producer wakes us once it is
      // published, whatever the flag says.
      MutexLock hold(&wake->mutex);
      wake->sleeping.store(1, std::memory_order_seq_cst);
      while (!ring->next_published()) wake->cv.wait(wake->mutex);
      wake->sleeping.store(0, std::memory_order_relaxed);
      continue;
    }
    if (consumer_spin(rt, wake, [ring] { return !ring->next_published(); })) continue;
    consumer_sleep(rt, wake, [ring] { return !ring->next_published(); });
  }
}

// The same take without the sleep: what is published now, up to max (at
// least 1), vacancies left out; 0 when nothing is. It decides nothing
// about the end.
template <class T, size_t kSlotAlign>
uint64_t slot_ring_try_take(Runtime* rt, SlotRing<T, kSlotAlign>* ring, T* out, uint64_t max, Counter depth_gauge,
                            Counter peak_gauge) noexcept {
  for (;;) {
    uint64_t depth = 0;
    const uint64_t took = ring->take(out, max, &depth);
    if (took == 0) return 0;
    rt->counters.store(depth_gauge, depth);
    rt->counters.raise_peak(peak_gauge, depth);
    uint64_t kept = 0;
    for (uint64_t i = 0; i < took; ++i) {
      if (!ring_vacancy(out[i])) out[kept++] = out[i];
    }
    if (kept != 0) return kept;
  }
}

// A worker's loop step on a job ring whose two ends both take lock: the
// next job, with the ring's gauges updated, sleeping while there is none;
// NULL once the ring is empty and the runtime is stopping. The caller owns
// the job.
template <class Job>
Job* job_ring_pop(Runtime* rt, JobRing<Job>* ring, Mutex* lock, WakePair* wake, Counter depth_gauge,
                  Counter peak_gauge) noexcept {
  for (;;) {
    Job* job = nullptr;
    bool took = false;
    uint64_t depth = 0;
    {
      MutexLock hold(lock);
      if (ring->try_pop(&job, &depth)) {
        took = true;
      } else if (rt->stopping.load(std::memory_order_acquire) != 0) {
        // Decided under the ring's lock: no producer can push once it has
        // seen the flag here.
        return nullptr;
      }
    }
    if (took) {
      rt->counters.store(depth_gauge, depth);
      rt->counters.raise_peak(peak_gauge, depth);
      if (job != nullptr) {
        wake->spin.worked();
        return job;
      }
      continue;  // nothing to hand on in an empty slot: look again
    }
    if (consumer_spin(rt, wake, [ring] { return ring->observed_empty(); })) continue;
    consumer_sleep(rt, wake, [ring] { return ring->observed_empty(); });
  }
}

}  // namespace vorlet::v2
