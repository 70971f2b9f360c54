#include "runtime/pipe_waiter.h"

#include <algorithm>
#include <thread>

#include "platform/clock.h"
#include "platform/pipe.h"
#include "platform/thread.h"

namespace vorlet::v2 {
namespace {

constexpr uint32_t kSpinLimit = 256;
constexpr uint32_t kYieldLimit = 32;
// A descriptor whose readiness tells nothing (not a pipe) is looked at
// again after this long asleep on the event, so that it is never spun on.
constexpr uint32_t kMisledSliceMs = 4;

}  // namespace

void pipe_waiter_init(PipeWaiter* waiter) noexcept {
  *waiter = PipeWaiter{-1, nullptr, kSpinLimit, kYieldLimit, 0};
}

Status pipe_waiter_start(PipeWaiter* waiter, int32_t fd) noexcept {
  if (waiter == nullptr || fd < 0) return Status::invalid_arg;
  pipe_waiter_stop(waiter);
  waiter->event = platform::Event::create();
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
  uint64_t deadline = 0;
  if (timeout_ms != kPipeWaitForever) {
    (void)platform::monotonic_ns(&deadline);
    deadline += static_cast<uint64_t>(timeout_ms) * 1000000ull;
  }
  const int32_t event_fd = waiter->event != nullptr ? waiter->event->descriptor() : -1;
  // Set when the last wait ended on readiness: if neither the event nor the
  // pipe has anything now, the readiness told nothing (a descriptor that is
  // not a pipe), and the next wait sleeps on the event alone.
  bool readiness_misled = false;
  for (;;) {
    if (waiter->event != nullptr && waiter->event->test_and_reset()) return PipeWait::woken;
    uint64_t waiting = 0;
    const Status s = platform::pipe_available(waiter->fd, &waiting);
    // A closed pipe is the reader's to see; other failures are retried
    // after a slice.
    if ((s == Status::ok && waiting > 0) || s == Status::closed) return PipeWait::ready;
    uint32_t wait = platform::kWaitForever;
    if (timeout_ms != kPipeWaitForever) {
      uint64_t now = 0;
      (void)platform::monotonic_ns(&now);
      if (now >= deadline) return PipeWait::timed_out;
      wait = static_cast<uint32_t>(std::min<uint64_t>(0xFFFFFFFEull, (deadline - now + 999999) / 1000000));
    }
    // Asleep on the pipe and the event together: bytes, a close or a wake
    // end the wait at once, and an idle pipe costs no wake-ups at all.
    if (!readiness_misled && s == Status::ok) {
      const Status w = platform::pipe_wait_readable_or(waiter->fd, event_fd, wait);
      readiness_misled = w == Status::ok;
      if (w != Status::io) continue;
    } else {
      readiness_misled = false;
    }
    const uint32_t slice = std::min(wait, kMisledSliceMs);
    if (waiter->event != nullptr) {
      (void)waiter->event->wait_ms(slice);
    } else {
      platform::sleep_ms(slice);
    }
  }
}

}  // namespace vorlet::v2
