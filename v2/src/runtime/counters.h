// The gauges and counters of one runtime, each on its own cache line.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace vorlet::v2 {

// Layout order. The statistics report all but the last two, each in the
// field of its name (the table in observe/runtime_stats.cpp).
enum class Counter : uint32_t {
  ingress_depth,
  ingress_peak,
  local_delivery_depth,
  local_delivery_peak,
  delivered_pipe_depth,
  delivered_pipe_peak,
  delivered_pipe_blocked,
  delivered_pipe_direct_writes,
  response_pipe_depth,
  response_pipe_peak,
  response_pipe_blocked,
  response_pipe_direct_writes,
  deadletter_pipe_depth,
  deadletter_pipe_peak,
  deadletter_pipe_blocked,
  deadletter_pipe_direct_writes,
  remote_outbound_depth,
  remote_outbound_peak,
  queue_rejections,
  remote_outbound_rejections,
  remote_outbound_expired_dropped,
  one_way_evictions,
  route_misses,
  deadletters_emitted,
  delivery_failures,
  remote_transport_failures,
  remote_reply_timeouts,
  late_remote_replies_dropped,
  endpoint_unavailable_refusals,
  remote_responses_forwarded,
  remote_deadletters_forwarded,
  failover_retries,
  failover_recoveries,
  failover_exhausted,
  control_rejects,
  control_rejects_invalid,
  control_rejects_stale,
  control_rejects_bad_state,
  control_rejects_io,
  reply_reserve_rejections,
  monitor_signals_written,
  monitor_signals_skipped,
  monitor_signals_written_total,
  monitor_signals_skipped_total,
  monitor_seq,
  event_generation,
};

inline constexpr size_t kCounterCount = static_cast<size_t>(Counter::event_generation) + 1;
// Start zeroes ingress_depth through monitor_signals_skipped.
inline constexpr size_t kCountersResetAtStart = static_cast<size_t>(Counter::monitor_signals_skipped) + 1;
static_assert(kCounterCount == 46);
static_assert(kCountersResetAtStart == 42);

struct alignas(64) PaddedCounter {
  std::atomic<uint64_t> value;
};
static_assert(sizeof(PaddedCounter) == 64);

class Counters {
 public:
  std::atomic<uint64_t>& operator[](Counter c) noexcept { return lines_[static_cast<size_t>(c)].value; }
  const std::atomic<uint64_t>& operator[](Counter c) const noexcept { return lines_[static_cast<size_t>(c)].value; }

  void add(Counter c, uint64_t n = 1) noexcept { (*this)[c].fetch_add(n, std::memory_order_relaxed); }
  void store(Counter c, uint64_t v) noexcept { (*this)[c].store(v, std::memory_order_relaxed); }
  uint64_t load(Counter c) const noexcept { return (*this)[c].load(std::memory_order_relaxed); }
  // Raises a peak to at least v.
  void raise_peak(Counter c, uint64_t v) noexcept {
    auto& peak = (*this)[c];
    uint64_t seen = peak.load(std::memory_order_relaxed);
    while (seen < v && !peak.compare_exchange_weak(seen, v, std::memory_order_relaxed)) {
    }
  }
  void reset_for_start() noexcept {
    for (size_t i = 0; i < kCountersResetAtStart; ++i) lines_[i].value.store(0, std::memory_order_relaxed);
  }

 private:
  PaddedCounter lines_[kCounterCount];
};

}  // namespace vorlet::v2
