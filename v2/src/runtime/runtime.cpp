// Create and destroy of the runtime object. Both are ordered step lists;
// components join them at their places. Every teardown step is guarded, so
// destroy also takes down a half-built object.
#include "runtime/runtime.h"

#include <new>

#include "base/alloc.h"
#include "base/text.h"
#include "runtime/control_apply.h"
#include "runtime/host_pipe_writers.h"
#include "runtime/inbound_requests.h"
#include "runtime/ingress.h"
#include "runtime/jobs.h"
#include "runtime/lifecycle.h"
#include "runtime/limits.h"
#include "runtime/local_delivery.h"
#include "runtime/log.h"
#include "runtime/route_table_ref.h"
#include "tcp/tcp_adapter.h"

namespace vorlet::v2 {
namespace {

// The final teardown: each part is released only when it was built, in
// reverse order of building.
void release_parts(Runtime* rt) noexcept {
  ring_free(&rt->ingress_ring);
  ring_free(&rt->local_ring);
  ring_free(&rt->remote_ring);
  // Every job was freed (back here) before destroy.
  job_free_list_clear(&rt->local_jobs);
  job_free_list_clear(&rt->remote_jobs);
  for (auto& queue : rt->pipe_queues) queue.destroy();
  // The active snapshot, installed after create, and its kept texts.
  rt->routes.clear();
  // The credential table, each secret wiped before it is freed.
  auth_state_clear(&rt->auth);

  rt->reply_registry.destroy();
  rt->event_log.destroy();
  rt_free(rt->option_text_a);
  rt_free(rt->option_text_b);
  rt->option_text_a = nullptr;
  rt->option_text_b = nullptr;

}

void free_block(Runtime* rt) noexcept {
  rt->~Runtime();
  rt_aligned_free(rt);
}

// Builds the parts in order. nomem when a ring or a pipe queue cannot be
// had; throws only what a constructor throws.
Status build(Runtime* rt, const vorlet_v2_RuntimeOptions& options) {
  // The locks and wake condition variables are members, built with the
  // object; the event log and the reply registry come first.
  rt->event_log.construct();
  rt->reply_registry.construct();
  // Nobody else sees the object yet: the locks are taken only so that the
  // fields they guard are written as everywhere else.
  MutexLock config(&rt->runtime_lock);
  MutexLock remote(&rt->remote_outbound_lock);

  // Limits and defaults.
  rt->queue_capacity = limit_queue_capacity(options.queue_capacity);
  rt->max_frame_bytes = limit_max_frame_bytes(rt->queue_capacity);
  rt->aux_batch = limit_aux_batch(rt->queue_capacity);
  rt->pipe_queue_capacity = limit_pipe_queue_capacity(rt->queue_capacity);
  rt->peer_frames.limit = limit_peer_frame_bytes(rt->queue_capacity);
  rt->configured_ingress_mode = 0;
  rt->configured_local_delivery_mode = 0;
  rt->configured_remote_outbound_mode = 0;
  rt->configured_reply_reserve_slots = 0;
  rt->ingress_mode.store(0, std::memory_order_relaxed);
  rt->local_delivery_mode.store(0, std::memory_order_relaxed);
  rt->remote_outbound_mode.store(0, std::memory_order_relaxed);
  rt->reply_reserve_slots.store(0, std::memory_order_relaxed);
  auth_state_init(&rt->auth);

  // The three rings, all of the same capacity (at least 2).
  const uint64_t ring_slots = limit_ring_slots(rt->queue_capacity);
  Status s = ring_init(&rt->ingress_ring, ring_slots);
  if (s == Status::ok) s = ring_init(&rt->local_ring, ring_slots);
  if (s == Status::ok) s = ring_init(&rt->remote_ring, ring_slots);
  if (s != Status::ok) return s;
  // Jobs alive at once: a full ring, one in the dispatcher's hand, one in
  // the worker's, and one that admission is moving.
  constexpr uint64_t kJobsBeyondRing = 3;
  job_free_list_init(&rt->local_jobs, rt->local_ring.capacity + kJobsBeyondRing);
  job_free_list_init(&rt->remote_jobs, rt->remote_ring.capacity() + kJobsBeyondRing);

  // The three host-bound pipe queues.
  const PipeGauges gauges[kHostPipeCount] = {
      {&rt->counters[Counter::delivered_pipe_depth], &rt->counters[Counter::delivered_pipe_peak],
       &rt->counters[Counter::delivered_pipe_blocked], &rt->counters[Counter::delivered_pipe_direct_writes]},
      {&rt->counters[Counter::response_pipe_depth], &rt->counters[Counter::response_pipe_peak],
       &rt->counters[Counter::response_pipe_blocked], &rt->counters[Counter::response_pipe_direct_writes]},
      {&rt->counters[Counter::deadletter_pipe_depth], &rt->counters[Counter::deadletter_pipe_peak],
       &rt->counters[Counter::deadletter_pipe_blocked], &rt->counters[Counter::deadletter_pipe_direct_writes]},
  };
  for (uint32_t i = 0; i < kHostPipeCount; ++i) {
    PipeQueue& queue = rt->pipe_queues[i].construct();
    s = queue.init(rt->pipe_queue_capacity, gauges[i]);
    if (s != Status::ok) return s;
  }

  // The host handle set (nothing opened); then the local delivery adapter,
  // the TCP adapter (idle until start), the pipe waiters, the dubbing registry.
  host_handles_init(&rt->host_handles);
  rt->local_adapter = local_gate_create();
  rt->tcp_adapter = tcp_adapter_create();
  rt->inbound_handler = inbound_requests_handle;
  pipe_waiter_init(&rt->request_waiter);
  pipe_waiter_init(&rt->control_waiter);
  dubbing_registry_init(&rt->dubbing);

  // Flags and counters start at zero (the block is zero-filled).
  rt->start_thread = platform::start_thread;
  rt->accepting.store(0, std::memory_order_relaxed);
  rt->stopping.store(0, std::memory_order_relaxed);
  rt->state.store(RuntimeState::created, std::memory_order_release);

  // Option texts.
  rt->option_text_a = text_dup(options.option_text_a);
  rt->option_text_b = text_dup(options.option_text_b);
  return Status::ok;
}

// Destroy's drain of one job ring, once its worker has ended: every job
// still queued fails as runtime_stopped.
template <class JobPtr, class RingOfJobs>
void drain_jobs(Runtime* rt, RingOfJobs* ring, const char* detail) noexcept {
  typename JobPtr::pointer popped = nullptr;
  while (ring->try_pop(&popped)) {
    const JobPtr job(popped);
    if (job) job_fail(rt, *job, DeadletterReason::runtime_stopped, detail);
  }
}

// What is still queued when the runtime goes: remote items fail their
// reply slots, local and remote jobs become runtime_stopped deadletters
// ("runtime destroyed before ..."); everything is released.
void drain_rings_at_destroy(Runtime* rt) noexcept {
  IngressItem item{};
  while (ingress_try_pop(rt, &item)) {
    if (item.reply_slot != nullptr) {
      reply_slot_complete(item.reply_slot, ReplyKind::none, wire(DeadletterReason::runtime_stopped), nullptr, 0,
                          "runtime destroyed before remote request processing");
    }
    ingress_item_discard(&item);
  }
  drain_jobs<LocalJobPtr>(rt, &rt->local_ring, "runtime destroyed before local delivery");
  drain_jobs<RemoteJobPtr>(rt, &rt->remote_ring, "runtime destroyed before remote delivery");
}

// The parts without which a built runtime is destroyed again.
bool complete(const Runtime* rt) noexcept {
  return rt->local_adapter != nullptr && rt->tcp_adapter != nullptr && rt->option_text_a != nullptr &&
         rt->option_text_b != nullptr;
}

}  // namespace

Runtime* runtime_create(const vorlet_v2_RuntimeOptions* options) noexcept {
  if (options == nullptr) return nullptr;
  void* block = rt_aligned_calloc(64, 1, sizeof(Runtime));
  if (block == nullptr) return nullptr;
  // Value-initialisation on the zeroed block: every InPlace slot starts not
  // live, every atomic at 0. Nothing here can throw.
  Runtime* rt = ::new (block) Runtime();
  bool built = false;
  try {
    built = build(rt, *options) == Status::ok && complete(rt);
  } catch (...) {
    built = false;
  }
  if (!built) {
    // Every teardown step is guarded, so destroy undoes exactly what exists.
    runtime_destroy(rt);
    return nullptr;
  }
  rt->option_flag = options->option_flag != 0 ? 1 : 0;
  log_lifecycle("runtime_created", kLifecycleFile, kLifecycleCreatedLine);
  return rt;
}

void runtime_destroy(Runtime* rt) noexcept {
  if (rt == nullptr) return;
  rt->stopping.store(1, std::memory_order_release);
  tcp_adapter_interrupt(rt->tcp_adapter);
  // The threads end in stop's order.
  lifecycle_wake_threads(rt);
  lifecycle_join_consumers(rt);

  lifecycle_stop_pipe_waiters(rt);

  if (rt->reply_registry.live()) reply_registry_fail_all(&rt->reply_registry.get(), "runtime destroyed");

  lifecycle_destroy_frame_readers(rt);

  local_gate_destroy(rt->local_adapter);
  rt->local_adapter = nullptr;
  // The TCP listener ends before its adapter goes.
  if (rt->tcp_adapter != nullptr) {
    tcp_adapter_stop(rt->tcp_adapter);
    tcp_adapter_destroy(rt->tcp_adapter);
    rt->tcp_adapter = nullptr;
  }

  // What is still queued becomes deadletters. A pipe queue whose writer
  // never ran would keep them anyway, and once full would hold destroy
  // forever: it is closed first, so they are given back instead.
  for (HostPipe pipe : {HostPipe::delivered, HostPipe::response, HostPipe::deadletter}) {
    if (!host_pipe_writers_started(rt, pipe)) host_pipe_writers_close_queue(rt, pipe);
  }
  if (rt->reply_registry.live()) drain_rings_at_destroy(rt);

  // The writers write out what is queued, then end; only then are the
  // runtime's ends closed, each once.
  host_pipe_writers_finish(rt);
  host_handles_close_all(&rt->host_handles);
  release_parts(rt);
  free_block(rt);
}

}  // namespace vorlet::v2
