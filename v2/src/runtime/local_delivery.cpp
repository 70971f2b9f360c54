#include "runtime/local_delivery.h"

#include <cstring>
#include <new>

#include "runtime/consumer_wait.h"
#include "runtime/host_pipe_writers.h"
#include "runtime/jobs.h"
#include "runtime/runtime.h"

namespace vorlet::v2 {
namespace {

void set_open(LocalDeliveryAdapter* gate, uint8_t open) noexcept {
  while (gate->lock.exchange(1, std::memory_order_acquire) == 1) gate->lock.wait(1, std::memory_order_relaxed);
  gate->open.store(open, std::memory_order_release);
  gate->lock.store(0, std::memory_order_release);
  gate->lock.notify_all();
}

}  // namespace

LocalDeliveryAdapter* local_gate_create() noexcept { return new (std::nothrow) LocalDeliveryAdapter(); }

void local_gate_destroy(LocalDeliveryAdapter* gate) noexcept { delete gate; }

Status local_gate_open(LocalDeliveryAdapter* gate) noexcept {
  if (gate == nullptr) return Status::invalid_arg;
  set_open(gate, 1);
  return Status::ok;
}

void local_gate_close(LocalDeliveryAdapter* gate) noexcept {
  if (gate != nullptr) set_open(gate, 0);
}

Status local_gate_admits(const LocalDeliveryAdapter* gate) noexcept {
  if (gate == nullptr) return Status::invalid_arg;
  return gate->open.load(std::memory_order_acquire) == 1 ? Status::ok : Status::bad_state;
}

Status local_gate_copy(LocalDeliveryAdapter* gate, const void* bytes, uint64_t length, int32_t timeout_ms,
                       HeapBlock* out) noexcept {
  (void)timeout_ms;
  if (gate == nullptr || bytes == nullptr || out == nullptr) return Status::invalid_arg;
  if (local_gate_admits(gate) != Status::ok) return Status::bad_state;
  out->reset();
  HeapBlock copy(rt_malloc(length));
  if (!copy) return Status::nomem;
  std::memcpy(copy.get(), bytes, length);
  *out = std::move(copy);
  return Status::ok;
}

Status runtime_enqueue_local(Runtime* rt, LocalJob* job) noexcept {
  if (rt == nullptr || job == nullptr || job->frame == nullptr || job->length == 0) return Status::invalid_arg;
  return slot_ring_push(rt, &rt->local_ring, &rt->local_wake, job, Counter::local_delivery_depth,
                        Counter::local_delivery_peak);
}

LocalJob* runtime_local_pop(Runtime* rt) noexcept {
  LocalJob* job = nullptr;
  if (slot_ring_take(rt, &rt->local_ring, &rt->local_wake, &job, 1, Counter::local_delivery_depth,
                     Counter::local_delivery_peak) == 0) {
    return nullptr;
  }
  return job;
}

void local_deliver(Runtime* rt, LocalJob* job) noexcept {
  if (rt->stopping.load(std::memory_order_acquire) != 0) {
    job_fail(rt, *job, DeadletterReason::runtime_stopped, "runtime stopped before local delivery");
    return;
  }
  if (job->frame == nullptr || local_gate_admits(rt->local_adapter) != Status::ok) {
    job_fail(rt, *job, DeadletterReason::local_handoff_failed, "local delivery adapter failed");
    return;
  }
  // The whole envelope, as it entered, on the delivered-request pipe when
  // the host asked for it, else among the responses. No one but the host
  // reads these bytes again, so the job's frame buffer itself goes; a
  // refused push leaves it with the job, for the deadletter.
  const HostPipe pipe = host_handles_delivered_enabled(&rt->host_handles) ? HostPipe::delivered : HostPipe::response;
  PipeItem item{job->frame, job->length, BufferKind::frame};
  if (runtime_pipe_push(rt, pipe, &item, true) != Status::ok) {
    job_fail(rt, *job, DeadletterReason::runtime_stopped, "runtime stopped before local host handoff");
    return;
  }
  job->frame = nullptr;  // the queue owns it now
  // Delivered: a remote requester's entry stays registered for the host's
  // response; only the job's reference goes with the job. A one-way request
  // gets no response, so its requester is answered now, as delivered,
  // instead of holding the peer's listener until it times out.
  if (job->one_way != 0 && job->reply_slot != nullptr) {
    reply_registry_remove(&rt->reply_registry.get(), job->reply_slot);
    reply_slot_complete(job->reply_slot, ReplyKind::response, 0, nullptr, 0, nullptr);
  }
}

void local_delivery_thread(void* runtime) noexcept {
  auto* rt = static_cast<Runtime*>(runtime);
  while (const LocalJobPtr job{runtime_local_pop(rt)}) local_deliver(rt, job.get());
}

}  // namespace vorlet::v2
