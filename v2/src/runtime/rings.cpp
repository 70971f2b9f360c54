#include "runtime/rings.h"

#include <mutex>

#include "runtime/deadletter_emit.h"
#include "runtime/runtime.h"

namespace vorlet::v2 {
namespace {

// Larger rings than this could never be allocated; refusing them here keeps
// the rounding below from overflowing.
constexpr uint64_t kMaxRingSlots = 1ull << 40;

bool stopping(const Runtime* rt) noexcept { return rt->stopping.load(std::memory_order_acquire) != 0; }

// The consumer's sleep. The sleeping flag is raised before the ring is
// re-tested and producers read it after publishing their push (both
// sequentially consistent), so either the consumer sees the push or the
// producer sees the sleeper and signals under the wake mutex. Stop sets
// the flag first and then signals unconditionally.
template <class Empty>
void sleep_until_work(Runtime* rt, WakePair* wake, Empty ring_empty) noexcept {
  std::unique_lock<std::mutex> hold(wake->mutex.get());
  wake->sleeping.store(1, std::memory_order_seq_cst);
  while (rt->stopping.load(std::memory_order_seq_cst) == 0 && ring_empty()) wake->cv->wait(hold);
  wake->sleeping.store(0, std::memory_order_relaxed);
}

bool ingress_observed_empty(const IngressRing& ring) noexcept {
  return ring.items == nullptr ||
         ring.write_index.load(std::memory_order_seq_cst) == ring.read_index.load(std::memory_order_relaxed);
}

template <class Job>
Job* job_pop(Runtime* rt, JobRing<Job>* ring, std::mutex* lock, WakePair* wake, Counter depth_gauge,
             Counter peak_gauge) noexcept {
  for (;;) {
    Job* job = nullptr;
    bool took = false;
    uint64_t depth = 0;
    {
      std::lock_guard<std::mutex> hold(*lock);
      if (ring->count() > 0) {
        job = ring->pop();
        depth = ring->count();
        took = true;
      } else if (stopping(rt)) {
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
    sleep_until_work(rt, wake, [ring] { return ring->observed_empty(); });
  }
}

// Destroy's drain of one job ring; the ring's consumer has ended.
template <class Job, class Free>
void drain_jobs(Runtime* rt, JobRing<Job>* ring, const char* detail, Free free_job) noexcept {
  while (ring->count() > 0) {
    std::unique_ptr<Job, Free> job(ring->pop(), free_job);
    if (!job) continue;
    job_fail(rt, *job, DeadletterReason::runtime_stopped, detail);
  }
}

}  // namespace

uint64_t ring_capacity_for(uint64_t requested) noexcept {
  if (requested > kMaxRingSlots) return 0;
  uint64_t capacity = 2;
  while (capacity < requested) capacity <<= 1;
  return capacity;
}

Status ingress_ring_init(IngressRing* ring, uint64_t requested) noexcept {
  const uint64_t capacity = ring_capacity_for(requested);
  auto* items = capacity == 0 ? nullptr : static_cast<IngressItem*>(rt_calloc(capacity, sizeof(IngressItem)));
  if (items == nullptr) return Status::invalid_arg;
  ring->items = items;
  ring->capacity = capacity;
  ring->mask = capacity - 1;
  return Status::ok;
}

void ingress_ring_free(IngressRing* ring) noexcept {
  rt_free(ring->items);
  ring->items = nullptr;
}

Status runtime_enqueue_ingress(Runtime* rt, const IngressItem* item) noexcept {
  if (rt == nullptr || item == nullptr || item->frame == nullptr || item->length == 0) return Status::invalid_arg;
  IngressRing& ring = rt->ingress_ring;
  uint64_t depth;
  {
    std::lock_guard<std::mutex> hold(rt->ingress_lock.get());
    if (stopping(rt)) return Status::closed;
    const uint64_t w = ring.write_index.load(std::memory_order_relaxed);
    const uint64_t r = ring.read_index.load(std::memory_order_acquire);  // the dispatcher cleared slot r - 1
    if (ring.items == nullptr || w - r >= ring.capacity) return Status::would_block;
    ring.items[w & ring.mask] = *item;
    ring.write_index.store(w + 1, std::memory_order_seq_cst);
    depth = w + 1 - r;
  }
  rt->counters.store(Counter::ingress_depth, depth);
  rt->counters.raise_peak(Counter::ingress_peak, depth);
  wake_after_push(&rt->dispatcher_wake);
  return Status::ok;
}

Status runtime_enqueue_local(Runtime* rt, LocalJob* job) noexcept {
  if (rt == nullptr || job == nullptr || job->frame == nullptr || job->length == 0) return Status::invalid_arg;
  {
    std::lock_guard<std::mutex> hold(rt->local_delivery_lock.get());
    if (stopping(rt)) return Status::bad_state;
    if (!rt->local_ring.push(job)) return Status::would_block;
    const uint64_t depth = rt->local_ring.count();
    rt->counters.store(Counter::local_delivery_depth, depth);
    rt->counters.raise_peak(Counter::local_delivery_peak, depth);
  }
  wake_after_push(&rt->local_wake);
  return Status::ok;
}

void wake_after_push(WakePair* wake) noexcept {
  if (wake->sleeping.load(std::memory_order_seq_cst) == 0) return;
  std::lock_guard<std::mutex> hold(wake->mutex.get());
  wake->cv->notify_one();
}

Status runtime_submit_envelope(Runtime* rt, const void* bytes, uint64_t length) noexcept {
  if (rt == nullptr) return Status::invalid_arg;
  if (rt->accepting.load(std::memory_order_acquire) == 0) return stopping(rt) ? Status::closed : Status::bad_state;
  FrameBuffer frame;
  Status s = frame_copy_from_bytes(bytes, length, &frame);
  if (s != Status::ok) return s;
  const IngressItem item{frame.get(), length, IngressOrigin::host, nullptr};
  s = runtime_enqueue_ingress(rt, &item);
  if (s == Status::ok) {
    (void)frame.release();  // the dispatcher owns it now
  } else if (s == Status::would_block) {
    rt->counters.add(Counter::queue_rejections);
  }
  return s;
}

bool runtime_ingress_try_pop(Runtime* rt, IngressItem* out) noexcept {
  IngressRing& ring = rt->ingress_ring;
  if (ring.items == nullptr) return false;
  const uint64_t r = ring.read_index.load(std::memory_order_relaxed);
  const uint64_t w = ring.write_index.load(std::memory_order_acquire);  // the producer's slot is visible
  if (r == w) return false;
  IngressItem& slot = ring.items[r & ring.mask];
  *out = slot;
  slot = IngressItem{nullptr, 0, IngressOrigin::host, nullptr};
  ring.read_index.store(r + 1, std::memory_order_release);
  const uint64_t depth = w - (r + 1);
  rt->counters.store(Counter::ingress_depth, depth);
  rt->counters.raise_peak(Counter::ingress_peak, depth);
  return true;
}

bool runtime_ingress_pop(Runtime* rt, IngressItem* out) noexcept {
  for (;;) {
    if (runtime_ingress_try_pop(rt, out)) return true;
    if (stopping(rt)) {
      // The end is decided under the producers' lock, where they test the
      // flag: what they pushed before is still taken.
      std::lock_guard<std::mutex> hold(rt->ingress_lock.get());
      if (ingress_observed_empty(rt->ingress_ring)) return false;
      continue;
    }
    sleep_until_work(rt, &rt->dispatcher_wake, [rt] { return ingress_observed_empty(rt->ingress_ring); });
  }
}

LocalJob* runtime_local_pop(Runtime* rt) noexcept {
  return job_pop(rt, &rt->local_ring, &rt->local_delivery_lock.get(), &rt->local_wake, Counter::local_delivery_depth,
                 Counter::local_delivery_peak);
}

RemoteJob* runtime_remote_pop(Runtime* rt) noexcept {
  return job_pop(rt, &rt->remote_ring, &rt->remote_outbound_lock.get(), &rt->remote_wake,
                 Counter::remote_outbound_depth, Counter::remote_outbound_peak);
}

void runtime_drain_rings_at_destroy(Runtime* rt) noexcept {
  IngressItem item{};
  while (runtime_ingress_try_pop(rt, &item)) {
    if (item.reply_slot != nullptr) {
      reply_slot_complete(item.reply_slot, ReplyKind::none, wire(DeadletterReason::runtime_stopped),
                          nullptr, 0, "runtime destroyed before remote request processing");
    }
    ingress_item_discard(&item);
  }
  drain_jobs(rt, &rt->local_ring, "runtime destroyed before local delivery", LocalJobFree{});
  drain_jobs(rt, &rt->remote_ring, "runtime destroyed before remote delivery", RemoteJobFree{});
}

}  // namespace vorlet::v2
