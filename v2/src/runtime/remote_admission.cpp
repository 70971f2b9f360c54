#include "runtime/remote_admission.h"

#include "base/alloc.h"
#include "base/clock.h"
#include "runtime/consumer_wait.h"
#include "runtime/jobs.h"
#include "runtime/rings.h"
#include "runtime/runtime.h"

namespace vorlet::v2 {
namespace {

constexpr uint32_t kModeDropExpiredFirst = VORLET_V2_OVERLOAD_MODE_DROP_EXPIRED_FIRST;
constexpr uint32_t kModeDropOneWayFirst = VORLET_V2_OVERLOAD_MODE_DROP_ONE_WAY_FIRST;

bool expired(const RemoteJob* job, uint64_t now) noexcept { return job->deadline_ns != 0 && job->deadline_ns <= now; }

// The jobs one admission took out of the ring. They fail once the ring
// lock is released: their deadletters take the reply registry's and a
// reply slot's mutexes and may wait for room on the deadletter pipe, and
// the remote worker's pop need not wait for any of that.
struct Dropped {
  RemoteJob** expired = nullptr;  // owned (rt_calloc), expired_count jobs, oldest first
  uint64_t expired_count = 0;
  RemoteJob* one_way = nullptr;

  bool any() const noexcept { return expired_count != 0 || one_way != nullptr; }
};

// Takes every queued job that has expired at now out of the ring, oldest
// first, keeping the others in order. Nothing is taken when nothing has
// expired (the list is allocated only then) or when the list cannot be
// allocated. The ring is the runtime's remote ring, under its lock.
void take_expired(JobRing<RemoteJob>* ring, uint64_t now, Dropped* dropped) noexcept {
  auto is_expired = [now](const RemoteJob* job) noexcept { return job != nullptr && expired(job, now); };
  const uint64_t found = ring->count_matching(is_expired);
  if (found == 0) return;
  auto** list = static_cast<RemoteJob**>(rt_calloc(found, sizeof(RemoteJob*)));
  if (list == nullptr) return;
  dropped->expired = list;
  dropped->expired_count = ring->remove_matching(is_expired, list, found);
}

// A queued job that admission dropped: it fails, and is freed.
void drop(Runtime* rt, RemoteJob* job, DeadletterReason reason, const char* detail) noexcept {
  const RemoteJobPtr owned(job);
  job_fail(rt, *job, reason, detail);
}

// After the ring lock: each dropped job counts, fails and is freed, the
// expired ones oldest first.
void fail_dropped(Runtime* rt, Dropped* dropped) noexcept {
  for (uint64_t i = 0; i < dropped->expired_count; ++i) {
    rt->counters.add(Counter::remote_outbound_expired_dropped);
    drop(rt, dropped->expired[i], DeadletterReason::expired_before_delivery,
         "remote outbound queue dropped expired envelope before delivery");
  }
  rt_free(dropped->expired);
  if (dropped->one_way != nullptr) {
    rt->counters.add(Counter::one_way_evictions);
    drop(rt, dropped->one_way, DeadletterReason::one_way_dropped_by_policy,
         "remote outbound queue dropped one-way envelope by overload policy");
  }
  *dropped = Dropped{};
}

}  // namespace

Status remote_admission_enqueue(Runtime* rt, RemoteJob* job, MonitorQueueRejectDetail* detail_out,
                                MonotonicClock clock) noexcept {
  if (rt == nullptr || job == nullptr || job->frame == nullptr || job->length == 0) return Status::invalid_arg;
  if (detail_out != nullptr) *detail_out = MonitorQueueRejectDetail::none;

  JobRing<RemoteJob>& ring = rt->remote_ring;
  uint64_t depth;
  Dropped dropped;
  MonitorQueueRejectDetail refused = MonitorQueueRejectDetail::none;
  {
    MutexLock hold(&rt->remote_outbound_lock);
    if (rt->stopping.load(std::memory_order_acquire) != 0) return Status::closed;

    const uint64_t capacity = ring.capacity();
    const uint64_t on_entry = ring.count();
    const bool full_on_entry = ring.full();
    const uint64_t free_on_entry = on_entry >= capacity ? 0 : capacity - on_entry;
    const uint32_t mode = rt->remote_outbound_mode.load(std::memory_order_relaxed);
    const uint64_t reserve = rt->reply_reserve_slots.load(std::memory_order_relaxed);

    // Expired jobs make room only when room is short: the queue is full, or
    // a one-way job would reach into the reserve.
    if (mode == kModeDropExpiredFirst && on_entry > 0 && (full_on_entry || (reserve > 0 && free_on_entry <= reserve))) {
      uint64_t now = 0;
      if (clock_now_ns_status(&now, clock) == Status::ok) take_expired(&ring, now, &dropped);
    }

    // A one-way job gives way to one that expects a reply, only on a full
    // queue.
    if (mode == kModeDropOneWayFirst && ring.count() > 0 && full_on_entry && job->expects_reply != 0) {
      (void)ring.take_first_matching(
          [](const RemoteJob* queued) noexcept { return queued != nullptr && queued->expects_reply == 0; },
          &dropped.one_way);
    }

    depth = ring.count();
    const uint64_t free_now = depth >= capacity ? 0 : capacity - depth;
    if (reserve > 0 && free_now <= reserve && job->expects_reply == 0) {
      refused = MonitorQueueRejectDetail::remote_reply_reserve;
    } else if (!ring.push(job)) {
      refused = MonitorQueueRejectDetail::queue_full;
    } else {
      depth = ring.count();
    }
  }
  // The drops fail first, ahead of the newcomer's gauges and of the wake:
  // their counters keep their place, and a sleeping worker starts on what
  // was admitted only once their deadletters are out.
  const bool any_dropped = dropped.any();
  fail_dropped(rt, &dropped);
  if (refused != MonitorQueueRejectDetail::none) {
    // The gauge follows the drops even when the newcomer stays out.
    if (any_dropped) rt->counters.store(Counter::remote_outbound_depth, depth);
    if (refused == MonitorQueueRejectDetail::remote_reply_reserve) rt->counters.add(Counter::reply_reserve_rejections);
    if (detail_out != nullptr) *detail_out = refused;
    return Status::would_block;
  }
  rt->counters.store(Counter::remote_outbound_depth, depth);
  rt->counters.raise_peak(Counter::remote_outbound_peak, depth);
  wake_after_push(&rt->remote_wake);
  return Status::ok;
}

}  // namespace vorlet::v2
