#include "runtime/ingress.h"

#include "pool/frame_buffer.h"
#include "runtime/consumer_wait.h"
#include "runtime/runtime.h"

namespace vorlet::v2 {
namespace {

bool stopping(const Runtime* rt) noexcept { return rt->stopping.load(std::memory_order_acquire) != 0; }

}  // namespace

Status ingress_enqueue(Runtime* rt, const IngressItem* item) noexcept {
  if (rt == nullptr || item == nullptr || item->frame == nullptr || item->length == 0) return Status::invalid_arg;
  return slot_ring_push(rt, &rt->ingress_ring, &rt->dispatcher_wake, *item, Counter::ingress_depth,
                        Counter::ingress_peak);
}

Status ingress_submit_envelope(Runtime* rt, const void* bytes, uint64_t length) noexcept {
  if (rt == nullptr) return Status::invalid_arg;
  if (rt->accepting.load(std::memory_order_acquire) == 0) return stopping(rt) ? Status::closed : Status::bad_state;
  // A ring seen full refuses before the copy, which it would only free
  // again: producers that outrun the dispatcher retry at the cost of two
  // loads. The bytes are tested first and stop still answers closed, as
  // the push would.
  if (bytes != nullptr && length != 0 && !stopping(rt) && rt->ingress_ring.observed_full()) {
    rt->counters.add(Counter::queue_rejections);
    return Status::would_block;
  }
  FrameBuffer frame;
  Status s = frame_copy_from_bytes(bytes, length, &frame);
  if (s != Status::ok) return s;
  const IngressItem item{frame.get(), length, IngressOrigin::host, nullptr};
  s = ingress_enqueue(rt, &item);
  if (s == Status::ok) {
    (void)frame.release();  // the dispatcher owns it now
  } else if (s == Status::would_block) {
    rt->counters.add(Counter::queue_rejections);
  }
  return s;
}

bool ingress_try_pop(Runtime* rt, IngressItem* out) noexcept {
  for (;;) {
    uint64_t depth = 0;
    if (rt->ingress_ring.take(out, 1, &depth) == 0) return false;
    rt->counters.store(Counter::ingress_depth, depth);
    rt->counters.raise_peak(Counter::ingress_peak, depth);
    if (!ring_vacancy(*out)) return true;
  }
}

uint64_t ingress_take(Runtime* rt, IngressItem* out, uint64_t max) noexcept {
  return slot_ring_take(rt, &rt->ingress_ring, &rt->dispatcher_wake, out, max, Counter::ingress_depth,
                        Counter::ingress_peak);
}

bool ingress_pop(Runtime* rt, IngressItem* out) noexcept { return ingress_take(rt, out, 1) == 1; }

}  // namespace vorlet::v2
