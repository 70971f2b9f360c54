#include "runtime/consumer_wait.h"

namespace vorlet::v2 {

void wake_after_push(WakePair* wake) noexcept {
  if (wake->sleeping.load(std::memory_order_seq_cst) == 0) return;
  MutexLock hold(&wake->mutex);
  wake->cv.notify_one();
}

}  // namespace vorlet::v2
