#include "observe/runtime_config.h"

#include <cstddef>
#include <mutex>

#include "codec/record.h"
#include "runtime/runtime.h"

namespace vorlet::v2 {

static_assert(sizeof(RuntimeConfig) == 128);
static_assert(offsetof(RuntimeConfig, option_text_a) == 8);
static_assert(offsetof(RuntimeConfig, option_text_b) == 16);
static_assert(offsetof(RuntimeConfig, option_flag) == 24);
static_assert(offsetof(RuntimeConfig, queue_capacity) == 28);
static_assert(offsetof(RuntimeConfig, max_frame_bytes) == 32);
static_assert(offsetof(RuntimeConfig, aux_batch) == 40);
static_assert(offsetof(RuntimeConfig, state) == 48);
static_assert(offsetof(RuntimeConfig, snapshot_present) == 52);
static_assert(offsetof(RuntimeConfig, active_generation) == 56);
static_assert(offsetof(RuntimeConfig, route_count) == 64);
static_assert(offsetof(RuntimeConfig, local_listen_host) == 72);
static_assert(offsetof(RuntimeConfig, local_listen_port) == 80);
static_assert(offsetof(RuntimeConfig, configured_ingress_mode) == 84);
static_assert(offsetof(RuntimeConfig, configured_local_delivery_mode) == 88);
static_assert(offsetof(RuntimeConfig, configured_remote_outbound_mode) == 92);
static_assert(offsetof(RuntimeConfig, configured_reply_reserve_slots) == 96);
static_assert(offsetof(RuntimeConfig, ingress_mode) == 104);
static_assert(offsetof(RuntimeConfig, local_delivery_mode) == 108);
static_assert(offsetof(RuntimeConfig, remote_outbound_mode) == 112);
static_assert(offsetof(RuntimeConfig, reply_reserve_slots) == 120);

RuntimeConfig runtime_config_collect(const Runtime* rt, const RouteTableRef* active) noexcept {
  RuntimeConfig c{};
  c.struct_size = sizeof(RuntimeConfig);
  c.option_text_a = rt->option_text_a;
  c.option_text_b = rt->option_text_b;
  c.option_flag = rt->option_flag;
  c.queue_capacity = rt->queue_capacity;
  c.max_frame_bytes = rt->max_frame_bytes;
  c.aux_batch = rt->aux_batch;
  c.state = static_cast<uint32_t>(rt->state);
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

Status runtime_copy_config_out(const RuntimeConfig& source, RuntimeConfig* out) noexcept {
  if (out == nullptr) return Status::invalid_arg;
  record_write(out, source,
               {VORLET_FIELD(RuntimeConfig, option_text_a),
                VORLET_FIELD(RuntimeConfig, option_text_b),
                VORLET_FIELD(RuntimeConfig, option_flag),
                VORLET_FIELD(RuntimeConfig, queue_capacity),
                VORLET_FIELD(RuntimeConfig, max_frame_bytes),
                VORLET_FIELD(RuntimeConfig, aux_batch),
                VORLET_FIELD(RuntimeConfig, state),
                VORLET_FIELD(RuntimeConfig, snapshot_present),
                VORLET_FIELD(RuntimeConfig, active_generation),
                VORLET_FIELD(RuntimeConfig, route_count),
                VORLET_FIELD(RuntimeConfig, local_listen_host),
                VORLET_FIELD(RuntimeConfig, local_listen_port),
                VORLET_FIELD(RuntimeConfig, configured_ingress_mode),
                VORLET_FIELD(RuntimeConfig, configured_local_delivery_mode),
                VORLET_FIELD(RuntimeConfig, configured_remote_outbound_mode),
                VORLET_FIELD(RuntimeConfig, configured_reply_reserve_slots),
                VORLET_FIELD(RuntimeConfig, ingress_mode),
                VORLET_FIELD(RuntimeConfig, local_delivery_mode),
                VORLET_FIELD(RuntimeConfig, remote_outbound_mode),
                VORLET_FIELD(RuntimeConfig, reply_reserve_slots)});
  return Status::ok;
}

void runtime_get_config(Runtime* rt, RuntimeConfig* out) noexcept {
  std::lock_guard<std::mutex> hold(rt->lock());
  const RouteTableRefPtr active = rt->routes.acquire();
  runtime_copy_config_out(runtime_config_collect(rt, active.get()), out);
}

}  // namespace vorlet::v2
