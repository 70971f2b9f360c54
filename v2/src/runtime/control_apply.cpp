#include "runtime/control_apply.h"

#include <new>

#include "base/alloc.h"
#include "base/record.h"
#include "runtime/event_log.h"
#include "runtime/runtime.h"
#include "tcp/tcp_adapter.h"

namespace vorlet::v2 {
namespace {

constexpr uint64_t kParseTextCapacity = 160;

Status reject(Runtime* rt, Status status) noexcept {
  control_reject_count(rt, status);
  return status;
}

bool is_stale(const Runtime* rt, uint64_t generation) noexcept {
  return rt->routes.present() && generation <= rt->routes.generation();
}

// A new table with its listen address, private to one apply until the
// commit publishes it; the rest is freed when it goes.
struct PreparedSnapshot {
  RouteTableRefPtr table;  // never NULL once prepared, even for an empty snapshot
  ListenHostTexts::node_type host;  // empty: no listen host

  PreparedSnapshot() = default;
  PreparedSnapshot(const PreparedSnapshot&) = delete;
  PreparedSnapshot& operator=(const PreparedSnapshot&) = delete;
};

// Builds the table and the listen address outside the lock, so that the
// allocations do not hold up anyone; the listen host goes into a set node
// of its own, which the commit links in without allocating.
Status prepare(const RouteSnapshotDesc* snapshot, PreparedSnapshot* out) noexcept {
  RouteRecord* table = nullptr;
  uint64_t count = 0;
  Status s = route_table_build(snapshot, &table, &count);
  if (s != Status::ok) return s;
  out->table.reset(route_table_ref_adopt(table, count, snapshot->generation));
  if (!out->table) {
    route_table_free(table, count);
    return Status::nomem;
  }
  char* host = nullptr;
  s = route_table_local_listener(table, count, &host, &out->table->listen_port);
  if (s != Status::ok || host == nullptr) return s;
  const HeapBlock copied(host);
  try {
    ListenHostTexts one;
    one.emplace(host);
    out->host = one.extract(one.begin());
  } catch (const std::bad_alloc&) {
    return Status::nomem;
  }
  return Status::ok;
}

}  // namespace

Status overload_policy_resolve(const OverloadPolicyDesc* policy, const OverloadModes& defaults,
                               OverloadModes* out) noexcept {
  if (out == nullptr) return Status::invalid_arg;
  OverloadPolicyDesc read{};
  read.remote_outbound_reply_reserve_slots = defaults.reply_reserve_slots;
  read.ingress_mode = defaults.ingress_mode;
  read.local_delivery_mode = defaults.local_delivery_mode;
  read.remote_outbound_mode = defaults.remote_outbound_mode;
  if (policy != nullptr) {
    record_read(policy, read,
                {VORLET_FIELD(OverloadPolicyDesc, remote_outbound_reply_reserve_slots),
                 VORLET_FIELD(OverloadPolicyDesc, ingress_mode), VORLET_FIELD(OverloadPolicyDesc, local_delivery_mode),
                 VORLET_FIELD(OverloadPolicyDesc, remote_outbound_mode)});
  }
  // The ingress and local-delivery queues can only refuse when full.
  if (read.ingress_mode != VORLET_V2_OVERLOAD_MODE_REJECT || read.local_delivery_mode != VORLET_V2_OVERLOAD_MODE_REJECT ||
      read.remote_outbound_mode > VORLET_V2_OVERLOAD_MODE_DROP_ONE_WAY_FIRST) {
    return Status::invalid_arg;
  }
  *out = OverloadModes{read.ingress_mode, read.local_delivery_mode, read.remote_outbound_mode,
                       read.remote_outbound_reply_reserve_slots};
  return Status::ok;
}

void control_reject_count(Runtime* rt, Status status) noexcept {
  rt->counters.add(Counter::control_rejects);
  switch (status) {
    case Status::invalid_arg:
      rt->counters.add(Counter::control_rejects_invalid);
      break;
    case Status::bad_state:
      rt->counters.add(Counter::control_rejects_bad_state);
      break;
    case Status::stale_generation:
      rt->counters.add(Counter::control_rejects_stale);
      break;
    case Status::io:
      rt->counters.add(Counter::control_rejects_io);
      break;
    default:
      break;  // nomem has no counter of its own
  }
  const int64_t code = to_c(status);
  event_log_record(rt, MonitorEventKind::control_rejected, 0, static_cast<uint64_t>(code), 0);
}

Status control_apply_overload_policy(Runtime* rt, const OverloadPolicyDesc* policy) noexcept {
  if (rt == nullptr || policy == nullptr) return Status::invalid_arg;
  OverloadModes modes{};
  if (overload_policy_resolve(policy, OverloadModes{0, 0, 0, 0}, &modes) != Status::ok) return Status::invalid_arg;
  if (modes.reply_reserve_slots > static_cast<uint64_t>(rt->queue_capacity)) return Status::invalid_arg;
  MutexLock hold(&rt->runtime_lock);
  if (rt->state.load(std::memory_order_acquire) != RuntimeState::created) return Status::bad_state;
  rt->configured_ingress_mode = modes.ingress_mode;
  rt->configured_local_delivery_mode = modes.local_delivery_mode;
  rt->configured_remote_outbound_mode = modes.remote_outbound_mode;
  rt->configured_reply_reserve_slots = modes.reply_reserve_slots;
  rt->ingress_mode.store(modes.ingress_mode, std::memory_order_relaxed);
  rt->local_delivery_mode.store(modes.local_delivery_mode, std::memory_order_relaxed);
  rt->remote_outbound_mode.store(modes.remote_outbound_mode, std::memory_order_relaxed);
  rt->reply_reserve_slots.store(modes.reply_reserve_slots, std::memory_order_relaxed);
  return Status::ok;
}

Status control_apply_snapshot(Runtime* rt, const RouteSnapshotDesc* snapshot,
                              const OverloadPolicyDesc* policy) noexcept {
  if (rt == nullptr) return Status::invalid_arg;
  if (snapshot == nullptr) return reject(rt, Status::invalid_arg);

  // Events are recorded once the lock is let go, so each locked section
  // only decides.
  OverloadModes modes{};
  Status s;
  {
    MutexLock hold(&rt->runtime_lock);
    if (rt->state.load(std::memory_order_acquire) == RuntimeState::stopped) {
      s = Status::bad_state;
    } else if (is_stale(rt, snapshot->generation)) {
      s = Status::stale_generation;
    } else {
      const OverloadModes configured{rt->configured_ingress_mode, rt->configured_local_delivery_mode,
                                     rt->configured_remote_outbound_mode, rt->configured_reply_reserve_slots};
      s = overload_policy_resolve(policy, configured, &modes);
    }
  }
  if (s != Status::ok) return reject(rt, s);
  if (modes.reply_reserve_slots > static_cast<uint64_t>(rt->queue_capacity)) return reject(rt, Status::invalid_arg);

  PreparedSnapshot prepared;
  s = prepare(snapshot, &prepared);
  if (s != Status::ok) return reject(rt, s);

  const uint64_t installed = prepared.table->count;
  RouteTableRefPtr replaced;  // released after the lock: the last release frees a whole table
  {
    MutexLock hold(&rt->runtime_lock);
    const RouteTableRefPtr active = rt->routes.acquire();
    const uint16_t listen_port = prepared.table->listen_port;
    const RuntimeState state = rt->state.load(std::memory_order_acquire);
    if (state == RuntimeState::stopped) {
      s = Status::bad_state;
    } else if (is_stale(rt, snapshot->generation)) {
      // Another apply committed a newer generation meanwhile.
      s = Status::stale_generation;
    } else if (state == RuntimeState::started && !tcp_adapter_is_stopped(rt->tcp_adapter) && listen_port != 0 &&
               listen_port != (active ? active->listen_port : 0)) {
      // The running listener stays on its port; a snapshot that needs
      // another one cannot take effect.
      s = Status::bad_state;
    } else {
      // Readers hold the table they retained; a job that still names one
      // of the replaced table's hosts keeps it alive.
      replaced = rt->routes.publish(std::move(prepared.table), &prepared.host);
      rt->counters.store(Counter::event_generation, snapshot->generation);
      rt->ingress_mode.store(modes.ingress_mode, std::memory_order_relaxed);
      rt->local_delivery_mode.store(modes.local_delivery_mode, std::memory_order_relaxed);
      rt->remote_outbound_mode.store(modes.remote_outbound_mode, std::memory_order_relaxed);
      rt->reply_reserve_slots.store(modes.reply_reserve_slots, std::memory_order_relaxed);
    }
  }
  if (s != Status::ok) return reject(rt, s);
  event_log_record(rt, MonitorEventKind::control_applied, 0, 0, installed);
  return Status::ok;
}

Status control_apply_envelope(Runtime* rt, const void* bytes, uint64_t length) noexcept {
  if (rt == nullptr) return Status::invalid_arg;
  if (bytes == nullptr || length == 0) return reject(rt, Status::invalid_arg);
  ControlEnvelopeHeader header;
  control_envelope_header_clear(&header);
  OverloadPolicyDesc policy{};
  policy.struct_size = sizeof policy;
  int32_t has_policy = 0;
  RouteSnapshotDesc snapshot{0, nullptr, 0};
  // The parser's text is not reported further; its status is.
  char text[kParseTextCapacity];
  text[0] = '\0';
  const Status parsed =
      control_envelope_apply_parse(bytes, length, &header, text, sizeof text, &snapshot, &policy, &has_policy);
  if (parsed != Status::ok) {
    route_snapshot_desc_free(&snapshot);
    return reject(rt, parsed);
  }
  const Status applied = control_apply_snapshot(rt, &snapshot, has_policy == 1 ? &policy : nullptr);
  route_snapshot_desc_free(&snapshot);
  return applied;
}

}  // namespace vorlet::v2
