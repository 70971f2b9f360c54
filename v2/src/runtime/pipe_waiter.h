// How a pipe reader idles when it has no whole frame: asleep on the pipe
// and on an event that stop (or destroy) sets, with no time limit, so that
// it wakes only when bytes arrive, the pipe closes or the event is set. An
// idle reader makes no system call and takes no wake-up.
//
// Each waiter belongs to one reader thread; stop and destroy touch it only
// through pipe_waiter_wake while it is armed, and stop it after joining its
// reader.
#pragma once

#include <cstdint>

#include "base/status.h"
#include "platform/event.h"

namespace vorlet::v2 {

enum class PipeWait : int32_t {
  ready = 0,     // the pipe has data, or its write end closed
  woken = 1,     // the event was set
  unusable = 2,  // the waiter is not started
};

struct PipeWaiter {
  int32_t fd;              // borrowed from the host handle set; -1 when not started
  platform::Event* event;  // owned from start to stop; set by pipe_waiter_wake
};

// Not started, no event.
void pipe_waiter_init(PipeWaiter* waiter) noexcept;
// Watches fd (never closes it) with a fresh event, not set. invalid_arg for
// a NULL waiter or a negative descriptor; nomem when no event can be had
// (the waiter is then not started).
Status pipe_waiter_start(PipeWaiter* waiter, int32_t fd) noexcept;
// Frees the event and forgets the descriptor. NULL-safe.
void pipe_waiter_stop(PipeWaiter* waiter) noexcept;
// Sets the event. invalid_arg for NULL or a waiter that is not started.
Status pipe_waiter_wake(PipeWaiter* waiter) noexcept;

// Until the pipe has data or closes, or the event is set (it is reset
// then; the event wins when both are). A descriptor that cannot be waited
// on is tried again after pauses, as a failed read is.
PipeWait pipe_waiter_wait(PipeWaiter* waiter) noexcept;

// After a read that failed: a short sleep on the event alone (a descriptor
// that fails every read still polls readable), so that a reader that tries
// again never spins. Ends at once when the event is set.
void pipe_waiter_pause(PipeWaiter* waiter) noexcept;

}  // namespace vorlet::v2
