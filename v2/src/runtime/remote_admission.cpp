#include "runtime/remote_admission.h"

#include <mutex>

#include "codec/alloc.h"
#include "codec/clock.h"
#include "runtime/consumer_wait.h"
#include "runtime/jobs.h"
#include "runtime/rings.h"
#include "runtime/runtime.h"

namespace vorlet::v2 {
namespace {

constexpr uint32_t kModeDropExpiredFirst = VORLET_V2_OVERLOAD_MODE_DROP_EXPIRED_FIRST;
constexpr uint32_t kModeDropOneWayFirst = VORLET_V2_OVERLOAD_MODE_DROP_ONE_WAY_FIRST;

bool expired(const RemoteJob* job, uint64_t now) noexcept { return job->deadline_ns != 0 && job->deadline_ns <= now; }

// A queued job that admission dropped: it fails, and is freed.
void drop(Runtime* rt, RemoteJob* job, DeadletterReason reason, const char* detail) noexcept {
  const RemoteJobPtr owned(job);
  job_fail(rt, *job, reason, detail);
}

// Takes the oldest queued one-way job out of the ring; every newer job
// moves one slot towards the oldest, so the order of the rest stays.
// nullptr when every queued job expects a reply.
RemoteJob* take_oldest_one_way(JobRing<RemoteJob>* ring) noexcept {
  const uint64_t r = ring->read_index.load(std::memory_order_relaxed);
  const uint64_t w = ring->write_index.load(std::memory_order_relaxed);
  uint64_t i = r;
  while (i < w && (ring->items[i & ring->mask] == nullptr || ring->items[i & ring->mask]->expects_reply != 0)) ++i;
  if (i == w) return nullptr;
  RemoteJob* job = ring->items[i & ring->mask];
  for (; i + 1 < w; ++i) ring->items[i & ring->mask] = ring->items[(i + 1) & ring->mask];
  ring->items[(w - 1) & ring->mask] = nullptr;
  ring->write_index.store(w - 1, std::memory_order_seq_cst);
  return job;
}

}  // namespace

uint64_t remote_outbound_sweep_expired(Runtime* rt, uint64_t now) noexcept {
  JobRing<RemoteJob>& ring = rt->remote_ring;
  if (ring.count() == 0) return 0;
  const uint64_t r = ring.read_index.load(std::memory_order_relaxed);
  const uint64_t w = ring.write_index.load(std::memory_order_relaxed);
  uint64_t found = 0;
  for (uint64_t i = r; i < w; ++i) {
    const RemoteJob* job = ring.items[i & ring.mask];
    if (job != nullptr && expired(job, now)) ++found;
  }
  if (found == 0) return 0;
  // Allocated only when something expired.
  auto** dropped = static_cast<RemoteJob**>(rt_calloc(found, sizeof(RemoteJob*)));
  if (dropped == nullptr) return 0;

  // Compacted in place: the jobs kept are written back in order from
  // read_index on; the worker's pop takes the same lock, so it never sees
  // the ring half-compacted.
  uint64_t kept = r;
  uint64_t n = 0;
  for (uint64_t i = r; i < w; ++i) {
    RemoteJob* job = ring.items[i & ring.mask];
    ring.items[i & ring.mask] = nullptr;
    if (job == nullptr) continue;
    if (expired(job, now)) {
      dropped[n++] = job;
    } else {
      ring.items[kept++ & ring.mask] = job;
    }
  }
  ring.write_index.store(kept, std::memory_order_seq_cst);

  for (uint64_t i = 0; i < n; ++i) {
    rt->counters.add(Counter::remote_outbound_expired_dropped);
    drop(rt, dropped[i], DeadletterReason::expired_before_delivery,
         "remote outbound queue dropped expired envelope before delivery");
  }
  rt_free(dropped);
  return n;
}

Status runtime_enqueue_remote(Runtime* rt, RemoteJob* job, MonitorQueueRejectDetail* detail_out,
                              MonotonicClock clock) noexcept {
  if (rt == nullptr || job == nullptr || job->frame == nullptr || job->length == 0) return Status::invalid_arg;
  if (detail_out != nullptr) *detail_out = MonitorQueueRejectDetail::none;
  auto refuse = [detail_out](MonitorQueueRejectDetail why) noexcept {
    if (detail_out != nullptr) *detail_out = why;
    return Status::would_block;
  };

  JobRing<RemoteJob>& ring = rt->remote_ring;
  uint64_t depth;
  bool dropped = false;
  {
    std::lock_guard<std::mutex> hold(rt->remote_outbound_lock.get());
    if (rt->stopping.load(std::memory_order_acquire) != 0) return Status::closed;

    const uint64_t capacity = ring.capacity;
    const uint64_t on_entry = ring.count();
    const bool full_on_entry = ring.full();
    const uint64_t free_on_entry = on_entry >= capacity ? 0 : capacity - on_entry;
    const uint32_t mode = rt->remote_outbound_mode.load(std::memory_order_relaxed);
    const uint64_t reserve = rt->reply_reserve_slots.load(std::memory_order_relaxed);

    // Expired jobs make room only when room is short: the queue is full, or
    // a one-way job would reach into the reserve.
    if (mode == kModeDropExpiredFirst && on_entry > 0 && (full_on_entry || (reserve > 0 && free_on_entry <= reserve))) {
      uint64_t now = 0;
      if (clock_now_ns_status(&now, clock) == Status::ok && remote_outbound_sweep_expired(rt, now) > 0) dropped = true;
    }

    // A one-way job gives way to one that expects a reply, only on a full
    // queue.
    if (mode == kModeDropOneWayFirst && ring.count() > 0 && full_on_entry && job->expects_reply != 0) {
      if (RemoteJob* evicted = take_oldest_one_way(&ring)) {
        dropped = true;
        rt->counters.add(Counter::one_way_evictions);
        drop(rt, evicted, DeadletterReason::one_way_dropped_by_policy,
             "remote outbound queue dropped one-way envelope by overload policy");
      }
    }

    depth = ring.count();
    const uint64_t free_now = depth >= capacity ? 0 : capacity - depth;
    const bool refused_by_reserve = reserve > 0 && free_now <= reserve && job->expects_reply == 0;
    if (refused_by_reserve || !ring.push(job)) {
      // The gauge follows the drops even when the newcomer stays out.
      if (dropped) rt->counters.store(Counter::remote_outbound_depth, depth);
      if (refused_by_reserve) {
        rt->counters.add(Counter::reply_reserve_rejections);
        return refuse(MonitorQueueRejectDetail::remote_reply_reserve);
      }
      return refuse(MonitorQueueRejectDetail::queue_full);
    }
    depth = ring.count();
  }
  rt->counters.store(Counter::remote_outbound_depth, depth);
  rt->counters.raise_peak(Counter::remote_outbound_peak, depth);
  wake_after_push(&rt->remote_wake);
  return Status::ok;
}

}  // namespace vorlet::v2
