// How a pipe reader idles when its pipe has nothing: a burst of processor
// pauses, then yields, then a wait asleep on the pipe and on an event that
// stop (or destroy) sets, so it ends as soon as bytes arrive, the pipe
// closes or the event is set. A busy pipe is thus read without pauses, and
// an idle one costs nothing.
//
// Each waiter belongs to one reader thread; stop and destroy touch it only
// through pipe_waiter_wake while it is armed, and stop it after joining its
// reader.
#pragma once

#include <cstdint>

#include "codec/status.h"
#include "platform/event.h"

namespace vorlet::v2 {

enum class PipeWait : int32_t {
  ready = 0,      // the pipe has data, or its write end closed
  timed_out = 1,  // nothing yet: read again (also a plain idle step)
  woken = 2,      // the event was set
  unusable = 3,   // the waiter is not started
};

// A wait with no time limit.
inline constexpr uint32_t kPipeWaitForever = 0xFFFFFFFFu;
// The longest a reader sleeps before it looks at the stopping flag again.
inline constexpr uint32_t kReaderWaitMs = 250;

struct PipeWaiter {
  int32_t fd;              // borrowed from the host handle set; -1 when not started
  platform::Event* event;  // owned from start to stop; set by pipe_waiter_wake
  uint32_t spin_limit;
  uint32_t yield_limit;
  uint32_t steps;  // idle steps since the last frame
};

// Not started, no event, limits 256 and 32.
void pipe_waiter_init(PipeWaiter* waiter) noexcept;
// Watches fd (never closes it) with a fresh event, not set. invalid_arg for
// a NULL waiter or a negative descriptor; nomem when no event can be had
// (the waiter is then not started).
Status pipe_waiter_start(PipeWaiter* waiter, int32_t fd) noexcept;
// Frees the event and forgets the descriptor. NULL-safe.
void pipe_waiter_stop(PipeWaiter* waiter) noexcept;
// Sets the event. invalid_arg for NULL or a waiter that is not started.
Status pipe_waiter_wake(PipeWaiter* waiter) noexcept;

// After a frame: the next idle step starts the back-off afresh.
inline void pipe_waiter_reset_backoff(PipeWaiter* waiter) noexcept { waiter->steps = 0; }

// One idle step after a read found nothing: a pause, a yield, or (every
// spin_limit + yield_limit steps) a wait of timeout_ms.
PipeWait pipe_waiter_backoff(PipeWaiter* waiter, uint32_t timeout_ms) noexcept;

// Until the pipe has data or closes, the event is set (it is reset then) or
// timeout_ms pass (kPipeWaitForever: no limit).
PipeWait pipe_waiter_wait(PipeWaiter* waiter, uint32_t timeout_ms) noexcept;

}  // namespace vorlet::v2
