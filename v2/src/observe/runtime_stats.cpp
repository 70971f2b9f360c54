#include "observe/runtime_stats.h"

#include <cstddef>

#include "base/record.h"
#include "runtime/limits.h"
#include "runtime/runtime.h"
#include "tcp/tcp_adapter.h"

namespace vorlet::v2 {

// The statistics record, one row per field, in the order of the public
// header and at its offsets. A COUNTER field takes the Counter of its name;
// a VALUE field is set in runtime_stats_collect; a RESERVED one is never
// written. A new counter needs its Counter, its field in
// vorlet_v2_RuntimeStats and its row here.
#define VORLET_STATS_FIELDS(VALUE, COUNTER, RESERVED) \
  VALUE(struct_size, 0)                               \
  VALUE(active_generation, 8)                         \
  VALUE(route_count, 16)                              \
  VALUE(state, 24)                                    \
  RESERVED(reserved0, 28)                             \
  VALUE(queue_capacity, 32)                           \
  COUNTER(ingress_depth, 40)                          \
  COUNTER(ingress_peak, 48)                           \
  COUNTER(queue_rejections, 56)                       \
  COUNTER(route_misses, 64)                           \
  COUNTER(deadletters_emitted, 72)                    \
  COUNTER(delivery_failures, 80)                      \
  COUNTER(remote_transport_failures, 88)              \
  VALUE(transport_exchanges, 96)                      \
  VALUE(transport_connections, 104)                   \
  VALUE(transport_connect_failures, 112)              \
  VALUE(max_frame_bytes, 120)                         \
  VALUE(aux_batch, 128)                               \
  VALUE(delivered_pipe_capacity, 136)                 \
  COUNTER(delivered_pipe_depth, 144)                  \
  COUNTER(delivered_pipe_peak, 152)                   \
  COUNTER(delivered_pipe_blocked, 160)                \
  VALUE(response_pipe_capacity, 168)                  \
  COUNTER(response_pipe_depth, 176)                   \
  COUNTER(response_pipe_peak, 184)                    \
  COUNTER(response_pipe_blocked, 192)                 \
  VALUE(deadletter_pipe_capacity, 200)                \
  COUNTER(deadletter_pipe_depth, 208)                 \
  COUNTER(deadletter_pipe_peak, 216)                  \
  COUNTER(deadletter_pipe_blocked, 224)               \
  COUNTER(remote_reply_timeouts, 232)                 \
  COUNTER(late_remote_replies_dropped, 240)           \
  VALUE(remote_outbound_capacity, 248)                \
  COUNTER(remote_outbound_depth, 256)                 \
  COUNTER(remote_outbound_peak, 264)                  \
  COUNTER(remote_outbound_rejections, 272)            \
  COUNTER(remote_outbound_expired_dropped, 280)       \
  COUNTER(endpoint_unavailable_refusals, 288)         \
  COUNTER(remote_responses_forwarded, 296)            \
  COUNTER(remote_deadletters_forwarded, 304)          \
  VALUE(drained_routes, 312)                          \
  COUNTER(control_rejects, 320)                       \
  COUNTER(control_rejects_invalid, 328)               \
  COUNTER(control_rejects_stale, 336)                 \
  COUNTER(control_rejects_bad_state, 344)             \
  COUNTER(control_rejects_io, 352)                    \
  VALUE(reply_reserve_slots, 360)                     \
  COUNTER(reply_reserve_rejections, 368)              \
  VALUE(ingress_mode, 376)                            \
  VALUE(local_delivery_mode, 380)                     \
  VALUE(remote_outbound_mode, 384)                    \
  RESERVED(reserved1, 388)                            \
  COUNTER(monitor_signals_written, 392)               \
  COUNTER(monitor_signals_skipped, 400)               \
  COUNTER(monitor_signals_written_total, 408)         \
  COUNTER(monitor_signals_skipped_total, 416)         \
  VALUE(local_delivery_capacity, 424)                 \
  COUNTER(local_delivery_depth, 432)                  \
  COUNTER(local_delivery_peak, 440)                   \
  COUNTER(delivered_pipe_direct_writes, 448)          \
  COUNTER(response_pipe_direct_writes, 456)           \
  COUNTER(deadletter_pipe_direct_writes, 464)         \
  COUNTER(one_way_evictions, 472)                     \
  COUNTER(failover_retries, 480)                      \
  COUNTER(failover_recoveries, 488)                   \
  COUNTER(failover_exhausted, 496)

#define VORLET_STATS_ROW(name, offset) VORLET_FIELD_AT(RuntimeStats, name, offset),
#define VORLET_STATS_RESERVED_ROW(name, offset) VORLET_RESERVED_AT(RuntimeStats, name, offset),
#define VORLET_STATS_COUNTER(name, offset) Counter::name,
#define VORLET_STATS_SKIP(name, offset)

namespace {

constexpr FieldSpan kStatsFields[] = {
    VORLET_STATS_FIELDS(VORLET_STATS_ROW, VORLET_STATS_ROW, VORLET_STATS_RESERVED_ROW)};
static_assert(record_table_covers<RuntimeStats>(kStatsFields, 504));

constexpr Counter kStatsCounters[] = {
    VORLET_STATS_FIELDS(VORLET_STATS_SKIP, VORLET_STATS_COUNTER, VORLET_STATS_SKIP)};

// Every counter is reported once, but the event log's two: monitor_seq and
// event_generation are read through the event log snapshot.
constexpr bool stats_report_each_counter_once() noexcept {
  uint32_t seen[kCounterCount] = {};
  for (const Counter c : kStatsCounters) ++seen[static_cast<size_t>(c)];
  for (size_t i = 0; i < kCounterCount; ++i) {
    const bool event_log = i == static_cast<size_t>(Counter::monitor_seq) ||
                           i == static_cast<size_t>(Counter::event_generation);
    if (seen[i] != (event_log ? 0u : 1u)) return false;
  }
  return true;
}
static_assert(stats_report_each_counter_once());

// A counter is 64 bits: its field must not narrow it.
#define VORLET_STATS_WIDE(name, offset) \
  static_assert(sizeof(RuntimeStats::name) == sizeof(uint64_t), #name " is narrower than its counter");
VORLET_STATS_FIELDS(VORLET_STATS_SKIP, VORLET_STATS_WIDE, VORLET_STATS_SKIP)
#undef VORLET_STATS_WIDE

uint64_t pipe_capacity(const Runtime* rt, HostPipe pipe) noexcept {
  const auto& queue = rt->pipe_queues[static_cast<uint32_t>(pipe)];
  return queue.live() ? queue->capacity() : 0;
}

}  // namespace

RuntimeStats runtime_stats_collect(const Runtime* rt, const RouteTableRef* active) noexcept {
  RuntimeStats s{};
  s.struct_size = sizeof(RuntimeStats);
  s.active_generation = active != nullptr ? active->generation : 0;
  s.route_count = active != nullptr ? active->count : 0;
  s.state = static_cast<uint32_t>(rt->state.load(std::memory_order_acquire));
  s.queue_capacity = static_cast<uint64_t>(rt->queue_capacity);
  s.max_frame_bytes = rt->max_frame_bytes;
  s.aux_batch = rt->aux_batch;

  TcpAdapterStats transport{};
  tcp_adapter_stats(rt->tcp_adapter, &transport);
  s.transport_exchanges = transport.exchanges;
  s.transport_connections = transport.connections;
  s.transport_connect_failures = transport.connect_failures;

  s.delivered_pipe_capacity = pipe_capacity(rt, HostPipe::delivered);
  s.response_pipe_capacity = pipe_capacity(rt, HostPipe::response);
  s.deadletter_pipe_capacity = pipe_capacity(rt, HostPipe::deadletter);
  // Every ring is made with this many slots.
  s.remote_outbound_capacity = limit_ring_slots(rt->queue_capacity);
  s.local_delivery_capacity = limit_ring_slots(rt->queue_capacity);

  s.drained_routes = active != nullptr ? active->drained : 0;
  s.reply_reserve_slots = rt->reply_reserve_slots.load(std::memory_order_relaxed);
  s.ingress_mode = rt->ingress_mode.load(std::memory_order_relaxed);
  s.local_delivery_mode = rt->local_delivery_mode.load(std::memory_order_relaxed);
  s.remote_outbound_mode = rt->remote_outbound_mode.load(std::memory_order_relaxed);

  // Gauges and counters move on other threads: each is one relaxed load.
#define VORLET_STATS_LOAD(name, offset) s.name = rt->counters.load(Counter::name);
  VORLET_STATS_FIELDS(VORLET_STATS_SKIP, VORLET_STATS_LOAD, VORLET_STATS_SKIP)
#undef VORLET_STATS_LOAD
  return s;
}

Status stats_copy_out(const RuntimeStats& source, RuntimeStats* out) noexcept {
  if (out == nullptr) return Status::invalid_arg;
  record_write(out, source, kStatsFields);
  return Status::ok;
}

void runtime_stats_get(Runtime* rt, RuntimeStats* out) noexcept {
  MutexLock hold(&rt->runtime_lock);
  // Under runtime_lock no commit comes between the table and the state.
  const RouteTableRefPtr active = rt->routes.acquire();
  stats_copy_out(runtime_stats_collect(rt, active.get()), out);
}

}  // namespace vorlet::v2
