#include "runtime/pipe_waiter.h"

#include "platform/pipe.h"
#include "platform/sleep.h"

namespace vorlet::v2 {
namespace {

// The pause after a failed read: long enough that a descriptor failing
// every read costs next to nothing, short enough that one failing for a
// moment loses little time.
constexpr uint32_t kFailedReadPauseMs = 4;

}  // namespace

void pipe_waiter_init(PipeWaiter* waiter) noexcept { *waiter = PipeWaiter{-1, nullptr}; }

Status pipe_waiter_start(PipeWaiter* waiter, int32_t fd) noexcept {
  if (waiter == nullptr || fd < 0) return Status::invalid_arg;
  pipe_waiter_stop(waiter);
  waiter->event = platform::Event::create();
  if (waiter->event == nullptr) return Status::nomem;
  waiter->fd = fd;
  return Status::ok;
}

void pipe_waiter_stop(PipeWaiter* waiter) noexcept {
  if (waiter == nullptr) return;
  delete waiter->event;
  waiter->event = nullptr;
  waiter->fd = -1;
}

Status pipe_waiter_wake(PipeWaiter* waiter) noexcept {
  if (waiter == nullptr || waiter->event == nullptr) return Status::invalid_arg;
  waiter->event->set();
  return Status::ok;
}

PipeWait pipe_waiter_wait(PipeWaiter* waiter) noexcept {
  if (waiter == nullptr || waiter->fd < 0 || waiter->event == nullptr) return PipeWait::unusable;
  for (;;) {
    bool woken = false;
    const Status s =
        platform::pipe_wait_readable_or(waiter->fd, waiter->event->descriptor(), platform::kWaitForever, &woken);
    if (woken) {
      waiter->event->reset();
      return PipeWait::woken;
    }
    if (s == Status::ok) return PipeWait::ready;
    pipe_waiter_pause(waiter);
  }
}

void pipe_waiter_pause(PipeWaiter* waiter) noexcept {
  if (waiter == nullptr || waiter->event == nullptr) {
    platform::sleep_ms(kFailedReadPauseMs);
    return;
  }
  (void)waiter->event->wait_ms(kFailedReadPauseMs);
}

}  // namespace vorlet::v2
