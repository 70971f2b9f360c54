#include "runtime/consumer_wait.h"

namespace vorlet::v2 {

void wake_after_push(WakePair* wake) noexcept {
  if (wake->sleeping.load(std::memory_order_seq_cst) == 0) return;
  std::lock_guard<std::mutex> hold(wake->mutex.get());
  wake->cv->notify_one();
}

}  // namespace vorlet::v2
