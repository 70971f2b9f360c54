#include "runtime/local_delivery.h"

#include <cstring>
#include <new>

#include "codec/frame_io.h"
#include "platform/pipe.h"
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

Status local_delivery_enqueue(Runtime* rt, LocalJob* job) noexcept {
  if (rt == nullptr || job == nullptr || job->frame == nullptr || job->length == 0) return Status::invalid_arg;
  return slot_ring_push(rt, &rt->local_ring, &rt->local_wake, job, Counter::local_delivery_depth,
                        Counter::local_delivery_peak);
}

LocalJob* local_delivery_pop(Runtime* rt) noexcept {
  LocalJob* job = nullptr;
  if (slot_ring_take(rt, &rt->local_ring, &rt->local_wake, &job, 1, Counter::local_delivery_depth,
                     Counter::local_delivery_peak) == 0) {
    return nullptr;
  }
  return job;
}

namespace {

// Before a job's frame goes to the host: false when the job became a
// deadletter instead.
bool local_admit(Runtime* rt, LocalJob* job) noexcept {
  if (rt->stopping.load(std::memory_order_acquire) != 0) {
    job_fail(rt, *job, DeadletterReason::runtime_stopped, "runtime stopped before local delivery");
    return false;
  }
  if (job->frame == nullptr || local_gate_admits(rt->local_adapter) != Status::ok) {
    job_fail(rt, *job, DeadletterReason::local_handoff_failed, "local delivery adapter failed");
    return false;
  }
  return true;
}

// The whole envelope, as it entered, goes on the delivered-request pipe
// when the host asked for it, else among the responses. No one but the
// host reads these bytes again, so the job's frame buffer itself goes.
HostPipe local_pipe(Runtime* rt) noexcept {
  return host_handles_delivered_enabled(&rt->host_handles) ? HostPipe::delivered : HostPipe::response;
}

// After the job's frame went to the pipe (the pipe owns it now). Delivered:
// a remote requester's entry stays registered for the host's response;
// only the job's reference goes with the job. A one-way request gets no
// response, so its requester is answered now, as delivered, instead of
// holding the peer's listener until it times out.
void local_handed_over(Runtime* rt, LocalJob* job) noexcept {
  job->frame = nullptr;
  if (job->one_way != 0 && job->reply_slot != nullptr) {
    reply_registry_remove(&rt->reply_registry.get(), job->reply_slot);
    reply_slot_complete(job->reply_slot, ReplyKind::response, 0, nullptr, 0, nullptr);
  }
}

// The usual hand-over of one admitted job: queued for the pipe's writer
// (or written straight out by the queue); a refused push leaves the frame
// with the job, for the deadletter.
void local_push(Runtime* rt, HostPipe pipe, LocalJob* job) noexcept {
  PipeItem item{job->frame, job->length, BufferKind::frame};
  if (host_pipe_writers_push(rt, pipe, &item, true) != Status::ok) {
    job_fail(rt, *job, DeadletterReason::runtime_stopped, "runtime stopped before local host handoff");
    return;
  }
  local_handed_over(rt, job);
}

}  // namespace

void local_deliver(Runtime* rt, LocalJob* job) noexcept {
  if (local_admit(rt, job)) local_push(rt, local_pipe(rt), job);
}

uint64_t local_delivery_take_run(Runtime* rt, const LocalJob* first, LocalJob** out, uint64_t max) noexcept {
  uint64_t bytes = first->length;
  if (bytes > platform::kPipeAtomicWriteBytes - 2 * kFramePrefixBytes) return 0;
  bytes += kFramePrefixBytes;
  // Nothing behind it: no run, and no need for the queue's mutex.
  if (rt->local_ring.count() == 0) return 0;
  if (!host_pipe_writers_idle(rt, local_pipe(rt))) return 0;
  uint64_t n = 0;
  while (n < max) {
    if (slot_ring_try_take(rt, &rt->local_ring, &out[n], 1, Counter::local_delivery_depth,
                           Counter::local_delivery_peak) == 0) {
      break;
    }
    const uint64_t length = out[n++]->length;
    if (kFramePrefixBytes + length > platform::kPipeAtomicWriteBytes - bytes) break;  // it goes on its own
    bytes += kFramePrefixBytes + length;
  }
  return n;
}

void local_deliver_batch(Runtime* rt, LocalJob* const* jobs, uint64_t count) noexcept {
  if (count > kLocalRunMost) count = kLocalRunMost;
  LocalJob* admitted[kLocalRunMost];
  PipeItem items[kLocalRunMost];
  uint64_t n = 0;
  for (uint64_t i = 0; i < count; ++i) {
    if (!local_admit(rt, jobs[i])) continue;
    admitted[n] = jobs[i];
    items[n] = PipeItem{jobs[i]->frame, jobs[i]->length, BufferKind::frame};
    ++n;
  }
  const HostPipe pipe = local_pipe(rt);
  uint64_t i = n >= 2 ? host_pipe_writers_push_direct_run(rt, pipe, items, n) : 0;
  for (uint64_t k = 0; k < i; ++k) local_handed_over(rt, admitted[k]);
  // The rest one by one, each checked again: the push before may have
  // waited for room while a stop began.
  for (; i < n; ++i) local_deliver(rt, admitted[i]);
}

void local_delivery_thread(void* runtime) noexcept {
  auto* rt = static_cast<Runtime*>(runtime);
  LocalJob* jobs[kLocalRunMost];
  while ((jobs[0] = local_delivery_pop(rt)) != nullptr) {
    const uint64_t n = 1 + local_delivery_take_run(rt, jobs[0], jobs + 1, kLocalRunMost - 1);
    if (n == 1) {
      local_deliver(rt, jobs[0]);
    } else {
      local_deliver_batch(rt, jobs, n);
    }
    for (uint64_t i = 0; i < n; ++i) const LocalJobPtr done{jobs[i]};
  }
}

}  // namespace vorlet::v2
