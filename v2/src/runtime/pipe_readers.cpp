#include "runtime/pipe_readers.h"

#include "codec/frame_splitter.h"
#include "pool/frame_buffer.h"
#include "runtime/consumer_wait.h"
#include "runtime/control_apply.h"
#include "runtime/deadletter_emit.h"
#include "runtime/dispatcher.h"
#include "runtime/event_log.h"
#include "runtime/ingress.h"
#include "runtime/jobs.h"
#include "runtime/pipe_waiter.h"
#include "runtime/remote_admission.h"
#include "runtime/runtime.h"

namespace vorlet::v2 {
namespace {

bool stopping(const Runtime* rt) noexcept { return rt->stopping.load(std::memory_order_acquire) != 0; }

// One frame from the request pipe: queued for the dispatcher, or answered
// with a deadletter when the ingress ring refuses it.
void admit_request(Runtime* rt, FrameBuffer frame, uint64_t length) noexcept {
  DeadletterReason reason = DeadletterReason::runtime_stopped;
  const char* detail = "runtime stopped before enqueue";
  if (!stopping(rt)) {
    const IngressItem item{frame.get(), length, IngressOrigin::host, nullptr};
    if (ingress_enqueue(rt, &item) == Status::ok) {
      (void)frame.release();  // the dispatcher owns it now
      return;
    }
    // Full, closed by a stop under way, or an empty frame the ring does not
    // take: all are the queue's refusal to the host.
    dispatcher_count_queue_rejection(rt, MonitorQueueScope::ingress, MonitorQueueRejectDetail::queue_full);
    reason = DeadletterReason::queue_rejected;
    detail = "ingress queue rejected envelope";
  }
  deadletter_emit(rt, frame.get(), length, reason, detail, rt->routes.generation(), nullptr, 0, 0, nullptr);
}

// Hands on every whole frame that was read, then sleeps until the pipe has
// more (or closes, or stop wakes it) and reads what it holds in one call.
template <class OnFrame>
void read_loop(Runtime* rt, FrameSplitter* splitter, PipeWaiter* waiter, OnFrame on_frame) noexcept {
  while (!stopping(rt)) {
    void* raw = nullptr;
    uint64_t length = 0;
    const Status s = frame_splitter_next(splitter, &raw, &length);
    if (s == Status::ok) {
      on_frame(FrameBuffer(raw), length);
      continue;
    }
    if (s == Status::closed) return;  // the host closed its write end
    // io or nomem: that frame is gone, and the bytes after it are read as
    // the next.
    if (s != Status::would_block) continue;
    const PipeWait w = pipe_waiter_wait(waiter);
    if (w == PipeWait::unusable) return;
    if (w == PipeWait::woken) continue;  // stop: the loop sees the flag
    if (frame_splitter_fill(splitter) != Status::ok) pipe_waiter_pause(waiter);
  }
}

}  // namespace

void request_pipe_reader_thread(void* runtime) noexcept {
  auto* rt = static_cast<Runtime*>(runtime);
  read_loop(rt, rt->request_reader, &rt->request_waiter,
            [rt](FrameBuffer frame, uint64_t length) { admit_request(rt, std::move(frame), length); });
  // The dispatcher may be asleep on an empty ring: let it see the flag.
  wake_after_push(&rt->dispatcher_wake);
}

void control_pipe_reader_thread(void* runtime) noexcept {
  auto* rt = static_cast<Runtime*>(runtime);
  // The apply counts and records its own outcome.
  read_loop(rt, rt->control_reader, &rt->control_waiter, [rt](FrameBuffer frame, uint64_t length) {
    (void)control_apply_envelope(rt, frame.get(), length);
  });
}

}  // namespace vorlet::v2
