#include "observe/runtime_health.h"

#include <cstddef>

#include "base/record.h"
#include "runtime/host_pipes.h"
#include "runtime/limits.h"
#include "runtime/runtime.h"
#include "tcp/tcp_adapter.h"

namespace vorlet::v2 {

namespace {

constexpr FieldSpan kHealthFields[] = {
    VORLET_FIELD_AT(RuntimeHealth, struct_size, 0),
    VORLET_FIELD_AT(RuntimeHealth, state, 8),
    VORLET_FIELD_AT(RuntimeHealth, flags, 12),
    VORLET_FIELD_AT(RuntimeHealth, generation, 16),
};
static_assert(record_table_covers<RuntimeHealth>(kHealthFields, 24));

void write_health(const RuntimeHealth& full, RuntimeHealth* out) noexcept { record_write(out, full, kHealthFields); }

}  // namespace

HealthSource health_source_collect(const Runtime* rt, const RouteTableRef* active) noexcept {
  HealthSource h{};
  h.state = static_cast<uint32_t>(rt->state.load(std::memory_order_acquire));
  h.generation = active != nullptr ? active->generation : 0;
  h.snapshot_present = active != nullptr ? 1 : 0;
  h.handles_open = host_handles_is_open(&rt->host_handles) ? 1 : 0;
  h.transport_probe_only = tcp_adapter_is_stopped(rt->tcp_adapter) ? 1 : 0;
  h.remote_outbound_capacity = limit_ring_slots(rt->queue_capacity);
  h.remote_outbound_depth = rt->counters.load(Counter::remote_outbound_depth);
  h.drained_route_present = active != nullptr && active->drained > 0 ? 1 : 0;
  return h;
}

uint32_t health_flags_from_source(const HealthSource* source) noexcept {
  if (source == nullptr) return 0;
  const bool started = source->state == static_cast<uint32_t>(RuntimeState::started);
  uint32_t flags = VORLET_V2_HEALTH_PROCESS_ALIVE;
  if (started) flags |= VORLET_V2_HEALTH_RUNTIME_STARTED;
  if (source->snapshot_present != 0) flags |= VORLET_V2_HEALTH_CONTROL_SNAPSHOT_PRESENT;
  if (started && source->snapshot_present != 0 && source->handles_open != 0) {
    flags |= VORLET_V2_HEALTH_DATAPLANE_READY;
  }
  if (source->transport_probe_only != 0) flags |= VORLET_V2_HEALTH_TRANSPORT_PROBE_ONLY;
  if (source->remote_outbound_capacity != 0 && source->remote_outbound_depth >= source->remote_outbound_capacity) {
    flags |= VORLET_V2_HEALTH_REMOTE_OUTBOUND_SATURATED;
  }
  if (source->drained_route_present != 0) flags |= VORLET_V2_HEALTH_DRAINED_ROUTE_PRESENT;
  return flags;
}

Status health_copy_out(const HealthSource* source, RuntimeHealth* out) noexcept {
  if (source == nullptr || out == nullptr) return Status::invalid_arg;
  RuntimeHealth full{};
  full.struct_size = sizeof(RuntimeHealth);
  full.state = source->state;
  full.flags = health_flags_from_source(source);
  full.generation = source->generation;
  write_health(full, out);
  return Status::ok;
}

void health_copy_out_empty(RuntimeHealth* out) noexcept { write_health(RuntimeHealth{}, out); }

void runtime_health_get(Runtime* rt, RuntimeHealth* out) noexcept {
  MutexLock hold(&rt->runtime_lock);
  const RouteTableRefPtr active = rt->routes.acquire();
  const HealthSource source = health_source_collect(rt, active.get());
  health_copy_out(&source, out);
}

}  // namespace vorlet::v2
