// How the consumer of a ring (the dispatcher, the local worker, the remote
// worker) sleeps while its ring is empty and decides to end, and how a
// producer wakes it. Each ring's own ends (ingress.h, local_delivery.h,
// remote_admission.h, remote_outbound.h) are built on these.
//
// Nothing accepted is stranded at stop: producers test the stopping flag
// under the ring's lock, and a consumer decides to end only under that same
// lock, after seeing the ring empty and the flag set together. Everything
// pushed before that decision is popped; nothing can be pushed after it.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "runtime/counters.h"
#include "runtime/rings.h"
#include "runtime/runtime.h"

namespace vorlet::v2 {

// After a successful push: wakes the consumer when it sleeps (or is about
// to), under its wake mutex; costs one atomic load when it is busy. Stop
// and destroy wake every consumer unconditionally (runtime_wake_threads).
void wake_after_push(WakePair* wake) noexcept;

// The consumer's sleep, until ring_empty() is false or the runtime is
// stopping. The sleeping flag is raised before the ring is re-tested and
// producers read it after publishing their push (both sequentially
// consistent), so either the consumer sees the push or the producer sees
// the sleeper and signals under the wake mutex. Stop sets the flag first
// and then signals unconditionally.
template <class Empty>
void consumer_sleep(Runtime* rt, WakePair* wake, Empty ring_empty) noexcept {
  std::unique_lock<std::mutex> hold(wake->mutex.get());
  wake->sleeping.store(1, std::memory_order_seq_cst);
  while (rt->stopping.load(std::memory_order_seq_cst) == 0 && ring_empty()) wake->cv->wait(hold);
  wake->sleeping.store(0, std::memory_order_relaxed);
}

// A worker's loop step on a job ring whose two ends both take lock: the
// next job, with the ring's gauges updated, sleeping while there is none;
// NULL once the ring is empty and the runtime is stopping. The caller owns
// the job.
template <class Job>
Job* job_ring_pop(Runtime* rt, JobRing<Job>* ring, std::mutex* lock, WakePair* wake, Counter depth_gauge,
                  Counter peak_gauge) noexcept {
  for (;;) {
    Job* job = nullptr;
    bool took = false;
    uint64_t depth = 0;
    {
      std::lock_guard<std::mutex> hold(*lock);
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
      if (job != nullptr) return job;
      continue;  // a slot emptied by admission
    }
    consumer_sleep(rt, wake, [ring] { return ring->observed_empty(); });
  }
}

}  // namespace vorlet::v2
