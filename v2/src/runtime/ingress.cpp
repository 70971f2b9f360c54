#include "runtime/ingress.h"

#include <mutex>

#include "codec/frame_buffer.h"
#include "runtime/consumer_wait.h"
#include "runtime/runtime.h"

namespace vorlet::v2 {
namespace {

bool stopping(const Runtime* rt) noexcept { return rt->stopping.load(std::memory_order_acquire) != 0; }

}  // namespace

Status runtime_enqueue_ingress(Runtime* rt, const IngressItem* item) noexcept {
  if (rt == nullptr || item == nullptr || item->frame == nullptr || item->length == 0) return Status::invalid_arg;
  uint64_t depth;
  {
    std::lock_guard<std::mutex> hold(rt->ingress_lock.get());
    if (stopping(rt)) return Status::closed;
    if (!rt->ingress_ring.push(*item, &depth)) return Status::would_block;
  }
  rt->counters.store(Counter::ingress_depth, depth);
  rt->counters.raise_peak(Counter::ingress_peak, depth);
  wake_after_push(&rt->dispatcher_wake);
  return Status::ok;
}

Status runtime_submit_envelope(Runtime* rt, const void* bytes, uint64_t length) noexcept {
  if (rt == nullptr) return Status::invalid_arg;
  if (rt->accepting.load(std::memory_order_acquire) == 0) return stopping(rt) ? Status::closed : Status::bad_state;
  FrameBuffer frame;
  Status s = frame_copy_from_bytes(bytes, length, &frame);
  if (s != Status::ok) return s;
  const IngressItem item{frame.get(), length, IngressOrigin::host, nullptr};
  s = runtime_enqueue_ingress(rt, &item);
  if (s == Status::ok) {
    (void)frame.release();  // the dispatcher owns it now
  } else if (s == Status::would_block) {
    rt->counters.add(Counter::queue_rejections);
  }
  return s;
}

bool runtime_ingress_try_pop(Runtime* rt, IngressItem* out) noexcept {
  uint64_t depth = 0;
  if (!rt->ingress_ring.try_pop(out, &depth)) return false;
  rt->counters.store(Counter::ingress_depth, depth);
  rt->counters.raise_peak(Counter::ingress_peak, depth);
  return true;
}

bool runtime_ingress_pop(Runtime* rt, IngressItem* out) noexcept {
  for (;;) {
    if (runtime_ingress_try_pop(rt, out)) return true;
    if (stopping(rt)) {
      // The end is decided under the producers' lock, where they test the
      // flag: what they pushed before is still taken.
      std::lock_guard<std::mutex> hold(rt->ingress_lock.get());
      if (rt->ingress_ring.observed_empty()) return false;
      continue;
    }
    consumer_sleep(rt, &rt->dispatcher_wake, [rt] { return rt->ingress_ring.observed_empty(); });
  }
}

}  // namespace vorlet::v2
