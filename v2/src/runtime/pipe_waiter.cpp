#include "runtime/pipe_waiter.h"

#include <algorithm>
#include <new>
#include <thread>

#include "platform/clock.h"
#include "platform/pipe.h"
#include "platform/thread.h"

namespace vorlet::v2 {
namespace {

constexpr uint32_t kSpinLimit = 256;
constexpr uint32_t kYieldLimit = 32;
constexpr uint32_t kPollSliceMs = 4;

}  // namespace

void pipe_waiter_init(PipeWaiter* waiter) noexcept {
  *waiter = PipeWaiter{-1, nullptr, kSpinLimit, kYieldLimit, 0};
}

Status pipe_waiter_start(PipeWaiter* waiter, int32_t fd) noexcept {
  if (waiter == nullptr || fd < 0) return Status::invalid_arg;
  pipe_waiter_stop(waiter);
  waiter->event = new (std::nothrow) platform::Event();
  if (waiter->event == nullptr) return Status::nomem;
  waiter->fd = fd;
  waiter->steps = 0;
  return Status::ok;
}

void pipe_waiter_stop(PipeWaiter* waiter) noexcept {
  if (waiter == nullptr) return;
  delete waiter->event;
  waiter->event = nullptr;
  waiter->fd = -1;
  waiter->steps = 0;
}

Status pipe_waiter_wake(PipeWaiter* waiter) noexcept {
  if (waiter == nullptr || waiter->event == nullptr) return Status::invalid_arg;
  waiter->event->set();
  return Status::ok;
}

PipeWait pipe_waiter_backoff(PipeWaiter* waiter, uint32_t timeout_ms) noexcept {
  waiter->steps += 1;
  if (waiter->steps < waiter->spin_limit) {
    platform::cpu_relax();
    return PipeWait::timed_out;
  }
  if (waiter->steps < waiter->spin_limit + waiter->yield_limit) {
    std::this_thread::yield();
    return PipeWait::timed_out;
  }
  waiter->steps = 0;
  return pipe_waiter_wait(waiter, timeout_ms);
}

PipeWait pipe_waiter_wait(PipeWaiter* waiter, uint32_t timeout_ms) noexcept {
  if (waiter == nullptr || waiter->fd < 0) return PipeWait::unusable;
  uint64_t slept = 0;
  for (;;) {
    if (waiter->event != nullptr && waiter->event->test_and_reset()) return PipeWait::woken;
    uint64_t waiting = 0;
    const Status s = platform::pipe_available(waiter->fd, &waiting);
    // A closed pipe is the reader's to see; other failures are retried at
    // the next slice.
    if ((s == Status::ok && waiting > 0) || s == Status::closed) return PipeWait::ready;
    uint32_t slice = kPollSliceMs;
    if (timeout_ms != kPipeWaitForever) {
      if (slept >= timeout_ms) return PipeWait::timed_out;
      slice = static_cast<uint32_t>(std::max<uint64_t>(1, std::min<uint64_t>(kPollSliceMs, timeout_ms - slept)));
      slept += slice;
    }
    // Sleeping on the event lets a wake end the slice at once.
    if (waiter->event != nullptr) {
      (void)waiter->event->wait_ms(slice);
    } else {
      platform::sleep_ms(slice);
    }
  }
}

}  // namespace vorlet::v2
