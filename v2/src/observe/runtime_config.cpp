#include "observe/runtime_config.h"

#include <cstddef>

#include "base/record.h"
#include "runtime/runtime.h"

namespace vorlet::v2 {

// The configuration record, one row per field in the order of the public
// header and at its offsets; runtime_config_collect sets each written one.
constexpr FieldSpan kConfigFields[] = {
    VORLET_FIELD_AT(RuntimeConfig, struct_size, 0),
    VORLET_FIELD_AT(RuntimeConfig, option_text_a, 8),
    VORLET_FIELD_AT(RuntimeConfig, option_text_b, 16),
    VORLET_FIELD_AT(RuntimeConfig, option_flag, 24),
    VORLET_FIELD_AT(RuntimeConfig, queue_capacity, 28),
    VORLET_FIELD_AT(RuntimeConfig, max_frame_bytes, 32),
    VORLET_FIELD_AT(RuntimeConfig, aux_batch, 40),
    VORLET_FIELD_AT(RuntimeConfig, state, 48),
    VORLET_FIELD_AT(RuntimeConfig, snapshot_present, 52),
    VORLET_FIELD_AT(RuntimeConfig, active_generation, 56),
    VORLET_FIELD_AT(RuntimeConfig, route_count, 64),
    VORLET_FIELD_AT(RuntimeConfig, local_listen_host, 72),
    VORLET_FIELD_AT(RuntimeConfig, local_listen_port, 80),
    VORLET_RESERVED_AT(RuntimeConfig, reserved0, 82),
    VORLET_FIELD_AT(RuntimeConfig, configured_ingress_mode, 84),
    VORLET_FIELD_AT(RuntimeConfig, configured_local_delivery_mode, 88),
    VORLET_FIELD_AT(RuntimeConfig, configured_remote_outbound_mode, 92),
    VORLET_FIELD_AT(RuntimeConfig, configured_reply_reserve_slots, 96),
    VORLET_FIELD_AT(RuntimeConfig, ingress_mode, 104),
    VORLET_FIELD_AT(RuntimeConfig, local_delivery_mode, 108),
    VORLET_FIELD_AT(RuntimeConfig, remote_outbound_mode, 112),
    VORLET_RESERVED_AT(RuntimeConfig, reserved1, 116),
    VORLET_FIELD_AT(RuntimeConfig, reply_reserve_slots, 120),
};
static_assert(record_table_covers<RuntimeConfig>(kConfigFields, 128));

RuntimeConfig runtime_config_collect(const Runtime* rt, const RouteTableRef* active) noexcept {
  RuntimeConfig c{};
  c.struct_size = sizeof(RuntimeConfig);
  c.option_text_a = rt->option_text_a;
  c.option_text_b = rt->option_text_b;
  c.option_flag = rt->option_flag;
  c.queue_capacity = rt->queue_capacity;
  c.max_frame_bytes = rt->max_frame_bytes;
  c.aux_batch = rt->aux_batch;
  c.state = static_cast<uint32_t>(rt->state.load(std::memory_order_acquire));
  c.snapshot_present = active != nullptr ? 1 : 0;
  c.active_generation = active != nullptr ? active->generation : 0;
  c.route_count = active != nullptr ? active->count : 0;
  c.local_listen_host = active != nullptr ? active->listen_host : nullptr;
  c.local_listen_port = active != nullptr ? active->listen_port : 0;
  c.configured_ingress_mode = rt->configured_ingress_mode;
  c.configured_local_delivery_mode = rt->configured_local_delivery_mode;
  c.configured_remote_outbound_mode = rt->configured_remote_outbound_mode;
  c.configured_reply_reserve_slots = rt->configured_reply_reserve_slots;
  c.ingress_mode = rt->ingress_mode.load(std::memory_order_relaxed);
  c.local_delivery_mode = rt->local_delivery_mode.load(std::memory_order_relaxed);
  c.remote_outbound_mode = rt->remote_outbound_mode.load(std::memory_order_relaxed);
  c.reply_reserve_slots = rt->reply_reserve_slots.load(std::memory_order_relaxed);
  return c;
}

Status runtime_config_copy_out(const RuntimeConfig& source, RuntimeConfig* out) noexcept {
  if (out == nullptr) return Status::invalid_arg;
  record_write(out, source, kConfigFields);
  return Status::ok;
}

void runtime_config_get(Runtime* rt, RuntimeConfig* out) noexcept {
  MutexLock hold(&rt->runtime_lock);
  const RouteTableRefPtr active = rt->routes.acquire();
  runtime_config_copy_out(runtime_config_collect(rt, active.get()), out);
}

}  // namespace vorlet::v2
