#include "observe/runtime_stats.h"

#include <cstddef>
#include <mutex>

#include "codec/record.h"
#include "runtime/limits.h"
#include "runtime/route_table.h"
#include "runtime/runtime.h"
#include "tcp/tcp_adapter.h"

namespace vorlet::v2 {

static_assert(sizeof(RuntimeStats) == 504);
static_assert(offsetof(RuntimeStats, active_generation) == 8);
static_assert(offsetof(RuntimeStats, route_count) == 16);
static_assert(offsetof(RuntimeStats, state) == 24);
static_assert(offsetof(RuntimeStats, queue_capacity) == 32);
static_assert(offsetof(RuntimeStats, ingress_depth) == 40);
static_assert(offsetof(RuntimeStats, ingress_peak) == 48);
static_assert(offsetof(RuntimeStats, queue_rejections) == 56);
static_assert(offsetof(RuntimeStats, route_misses) == 64);
static_assert(offsetof(RuntimeStats, deadletters_emitted) == 72);
static_assert(offsetof(RuntimeStats, delivery_failures) == 80);
static_assert(offsetof(RuntimeStats, remote_transport_failures) == 88);
static_assert(offsetof(RuntimeStats, transport_exchanges) == 96);
static_assert(offsetof(RuntimeStats, transport_connections) == 104);
static_assert(offsetof(RuntimeStats, transport_connect_failures) == 112);
static_assert(offsetof(RuntimeStats, max_frame_bytes) == 120);
static_assert(offsetof(RuntimeStats, aux_batch) == 128);
static_assert(offsetof(RuntimeStats, delivered_pipe_capacity) == 136);
static_assert(offsetof(RuntimeStats, delivered_pipe_depth) == 144);
static_assert(offsetof(RuntimeStats, delivered_pipe_peak) == 152);
static_assert(offsetof(RuntimeStats, delivered_pipe_blocked) == 160);
static_assert(offsetof(RuntimeStats, response_pipe_capacity) == 168);
static_assert(offsetof(RuntimeStats, response_pipe_depth) == 176);
static_assert(offsetof(RuntimeStats, response_pipe_peak) == 184);
static_assert(offsetof(RuntimeStats, response_pipe_blocked) == 192);
static_assert(offsetof(RuntimeStats, deadletter_pipe_capacity) == 200);
static_assert(offsetof(RuntimeStats, deadletter_pipe_depth) == 208);
static_assert(offsetof(RuntimeStats, deadletter_pipe_peak) == 216);
static_assert(offsetof(RuntimeStats, deadletter_pipe_blocked) == 224);
static_assert(offsetof(RuntimeStats, remote_reply_timeouts) == 232);
static_assert(offsetof(RuntimeStats, late_remote_replies_dropped) == 240);
static_assert(offsetof(RuntimeStats, remote_outbound_capacity) == 248);
static_assert(offsetof(RuntimeStats, remote_outbound_depth) == 256);
static_assert(offsetof(RuntimeStats, remote_outbound_peak) == 264);
static_assert(offsetof(RuntimeStats, remote_outbound_rejections) == 272);
static_assert(offsetof(RuntimeStats, remote_outbound_expired_dropped) == 280);
static_assert(offsetof(RuntimeStats, endpoint_unavailable_refusals) == 288);
static_assert(offsetof(RuntimeStats, remote_responses_forwarded) == 296);
static_assert(offsetof(RuntimeStats, remote_deadletters_forwarded) == 304);
static_assert(offsetof(RuntimeStats, drained_routes) == 312);
static_assert(offsetof(RuntimeStats, control_rejects) == 320);
static_assert(offsetof(RuntimeStats, control_rejects_invalid) == 328);
static_assert(offsetof(RuntimeStats, control_rejects_stale) == 336);
static_assert(offsetof(RuntimeStats, control_rejects_bad_state) == 344);
static_assert(offsetof(RuntimeStats, control_rejects_io) == 352);
static_assert(offsetof(RuntimeStats, reply_reserve_slots) == 360);
static_assert(offsetof(RuntimeStats, reply_reserve_rejections) == 368);
static_assert(offsetof(RuntimeStats, ingress_mode) == 376);
static_assert(offsetof(RuntimeStats, local_delivery_mode) == 380);
static_assert(offsetof(RuntimeStats, remote_outbound_mode) == 384);
static_assert(offsetof(RuntimeStats, monitor_signals_written) == 392);
static_assert(offsetof(RuntimeStats, monitor_signals_skipped) == 400);
static_assert(offsetof(RuntimeStats, monitor_signals_written_total) == 408);
static_assert(offsetof(RuntimeStats, monitor_signals_skipped_total) == 416);
static_assert(offsetof(RuntimeStats, local_delivery_capacity) == 424);
static_assert(offsetof(RuntimeStats, local_delivery_depth) == 432);
static_assert(offsetof(RuntimeStats, local_delivery_peak) == 440);
static_assert(offsetof(RuntimeStats, delivered_pipe_direct_writes) == 448);
static_assert(offsetof(RuntimeStats, response_pipe_direct_writes) == 456);
static_assert(offsetof(RuntimeStats, deadletter_pipe_direct_writes) == 464);
static_assert(offsetof(RuntimeStats, one_way_evictions) == 472);
static_assert(offsetof(RuntimeStats, failover_retries) == 480);
static_assert(offsetof(RuntimeStats, failover_recoveries) == 488);
static_assert(offsetof(RuntimeStats, failover_exhausted) == 496);

namespace {

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
  s.state = static_cast<uint32_t>(rt->state);
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
  s.ingress_depth = rt->counters.load(Counter::ingress_depth);
  s.ingress_peak = rt->counters.load(Counter::ingress_peak);
  s.queue_rejections = rt->counters.load(Counter::queue_rejections);
  s.route_misses = rt->counters.load(Counter::route_misses);
  s.deadletters_emitted = rt->counters.load(Counter::deadletters_emitted);
  s.delivery_failures = rt->counters.load(Counter::delivery_failures);
  s.remote_transport_failures = rt->counters.load(Counter::remote_transport_failures);
  s.delivered_pipe_depth = rt->counters.load(Counter::delivered_pipe_depth);
  s.delivered_pipe_peak = rt->counters.load(Counter::delivered_pipe_peak);
  s.delivered_pipe_blocked = rt->counters.load(Counter::delivered_pipe_blocked);
  s.response_pipe_depth = rt->counters.load(Counter::response_pipe_depth);
  s.response_pipe_peak = rt->counters.load(Counter::response_pipe_peak);
  s.response_pipe_blocked = rt->counters.load(Counter::response_pipe_blocked);
  s.deadletter_pipe_depth = rt->counters.load(Counter::deadletter_pipe_depth);
  s.deadletter_pipe_peak = rt->counters.load(Counter::deadletter_pipe_peak);
  s.deadletter_pipe_blocked = rt->counters.load(Counter::deadletter_pipe_blocked);
  s.remote_reply_timeouts = rt->counters.load(Counter::remote_reply_timeouts);
  s.late_remote_replies_dropped = rt->counters.load(Counter::late_remote_replies_dropped);
  s.remote_outbound_depth = rt->counters.load(Counter::remote_outbound_depth);
  s.remote_outbound_peak = rt->counters.load(Counter::remote_outbound_peak);
  s.remote_outbound_rejections = rt->counters.load(Counter::remote_outbound_rejections);
  s.remote_outbound_expired_dropped = rt->counters.load(Counter::remote_outbound_expired_dropped);
  s.endpoint_unavailable_refusals = rt->counters.load(Counter::endpoint_unavailable_refusals);
  s.remote_responses_forwarded = rt->counters.load(Counter::remote_responses_forwarded);
  s.remote_deadletters_forwarded = rt->counters.load(Counter::remote_deadletters_forwarded);
  s.control_rejects = rt->counters.load(Counter::control_rejects);
  s.control_rejects_invalid = rt->counters.load(Counter::control_rejects_invalid);
  s.control_rejects_stale = rt->counters.load(Counter::control_rejects_stale);
  s.control_rejects_bad_state = rt->counters.load(Counter::control_rejects_bad_state);
  s.control_rejects_io = rt->counters.load(Counter::control_rejects_io);
  s.reply_reserve_rejections = rt->counters.load(Counter::reply_reserve_rejections);
  s.monitor_signals_written = rt->counters.load(Counter::monitor_signals_written);
  s.monitor_signals_skipped = rt->counters.load(Counter::monitor_signals_skipped);
  s.monitor_signals_written_total = rt->counters.load(Counter::monitor_signals_written_total);
  s.monitor_signals_skipped_total = rt->counters.load(Counter::monitor_signals_skipped_total);
  s.local_delivery_depth = rt->counters.load(Counter::local_delivery_depth);
  s.local_delivery_peak = rt->counters.load(Counter::local_delivery_peak);
  s.delivered_pipe_direct_writes = rt->counters.load(Counter::delivered_pipe_direct_writes);
  s.response_pipe_direct_writes = rt->counters.load(Counter::response_pipe_direct_writes);
  s.deadletter_pipe_direct_writes = rt->counters.load(Counter::deadletter_pipe_direct_writes);
  s.one_way_evictions = rt->counters.load(Counter::one_way_evictions);
  s.failover_retries = rt->counters.load(Counter::failover_retries);
  s.failover_recoveries = rt->counters.load(Counter::failover_recoveries);
  s.failover_exhausted = rt->counters.load(Counter::failover_exhausted);
  return s;
}

Status stats_copy_out(const RuntimeStats& source, RuntimeStats* out) noexcept {
  if (out == nullptr) return Status::invalid_arg;
  record_write(out, source,
               {VORLET_FIELD(RuntimeStats, active_generation),
                VORLET_FIELD(RuntimeStats, route_count),
                VORLET_FIELD(RuntimeStats, state),
                VORLET_FIELD(RuntimeStats, queue_capacity),
                VORLET_FIELD(RuntimeStats, ingress_depth),
                VORLET_FIELD(RuntimeStats, ingress_peak),
                VORLET_FIELD(RuntimeStats, queue_rejections),
                VORLET_FIELD(RuntimeStats, route_misses),
                VORLET_FIELD(RuntimeStats, deadletters_emitted),
                VORLET_FIELD(RuntimeStats, delivery_failures),
                VORLET_FIELD(RuntimeStats, remote_transport_failures),
                VORLET_FIELD(RuntimeStats, transport_exchanges),
                VORLET_FIELD(RuntimeStats, transport_connections),
                VORLET_FIELD(RuntimeStats, transport_connect_failures),
                VORLET_FIELD(RuntimeStats, max_frame_bytes),
                VORLET_FIELD(RuntimeStats, aux_batch),
                VORLET_FIELD(RuntimeStats, delivered_pipe_capacity),
                VORLET_FIELD(RuntimeStats, delivered_pipe_depth),
                VORLET_FIELD(RuntimeStats, delivered_pipe_peak),
                VORLET_FIELD(RuntimeStats, delivered_pipe_blocked),
                VORLET_FIELD(RuntimeStats, response_pipe_capacity),
                VORLET_FIELD(RuntimeStats, response_pipe_depth),
                VORLET_FIELD(RuntimeStats, response_pipe_peak),
                VORLET_FIELD(RuntimeStats, response_pipe_blocked),
                VORLET_FIELD(RuntimeStats, deadletter_pipe_capacity),
                VORLET_FIELD(RuntimeStats, deadletter_pipe_depth),
                VORLET_FIELD(RuntimeStats, deadletter_pipe_peak),
                VORLET_FIELD(RuntimeStats, deadletter_pipe_blocked),
                VORLET_FIELD(RuntimeStats, remote_reply_timeouts),
                VORLET_FIELD(RuntimeStats, late_remote_replies_dropped),
                VORLET_FIELD(RuntimeStats, remote_outbound_capacity),
                VORLET_FIELD(RuntimeStats, remote_outbound_depth),
                VORLET_FIELD(RuntimeStats, remote_outbound_peak),
                VORLET_FIELD(RuntimeStats, remote_outbound_rejections),
                VORLET_FIELD(RuntimeStats, remote_outbound_expired_dropped),
                VORLET_FIELD(RuntimeStats, endpoint_unavailable_refusals),
                VORLET_FIELD(RuntimeStats, remote_responses_forwarded),
                VORLET_FIELD(RuntimeStats, remote_deadletters_forwarded),
                VORLET_FIELD(RuntimeStats, drained_routes),
                VORLET_FIELD(RuntimeStats, control_rejects),
                VORLET_FIELD(RuntimeStats, control_rejects_invalid),
                VORLET_FIELD(RuntimeStats, control_rejects_stale),
                VORLET_FIELD(RuntimeStats, control_rejects_bad_state),
                VORLET_FIELD(RuntimeStats, control_rejects_io),
                VORLET_FIELD(RuntimeStats, reply_reserve_slots),
                VORLET_FIELD(RuntimeStats, reply_reserve_rejections),
                VORLET_FIELD(RuntimeStats, ingress_mode),
                VORLET_FIELD(RuntimeStats, local_delivery_mode),
                VORLET_FIELD(RuntimeStats, remote_outbound_mode),
                VORLET_FIELD(RuntimeStats, monitor_signals_written),
                VORLET_FIELD(RuntimeStats, monitor_signals_skipped),
                VORLET_FIELD(RuntimeStats, monitor_signals_written_total),
                VORLET_FIELD(RuntimeStats, monitor_signals_skipped_total),
                VORLET_FIELD(RuntimeStats, local_delivery_capacity),
                VORLET_FIELD(RuntimeStats, local_delivery_depth),
                VORLET_FIELD(RuntimeStats, local_delivery_peak),
                VORLET_FIELD(RuntimeStats, delivered_pipe_direct_writes),
                VORLET_FIELD(RuntimeStats, response_pipe_direct_writes),
                VORLET_FIELD(RuntimeStats, deadletter_pipe_direct_writes),
                VORLET_FIELD(RuntimeStats, one_way_evictions),
                VORLET_FIELD(RuntimeStats, failover_retries),
                VORLET_FIELD(RuntimeStats, failover_recoveries),
                VORLET_FIELD(RuntimeStats, failover_exhausted)});
  return Status::ok;
}

void runtime_get_stats(Runtime* rt, RuntimeStats* out) noexcept {
  std::lock_guard<std::mutex> hold(rt->lock());
  // Under runtime_lock no commit comes between the table and the state.
  const RouteTableRefPtr active = rt->routes.acquire();
  stats_copy_out(runtime_stats_collect(rt, active.get()), out);
}

}  // namespace vorlet::v2
