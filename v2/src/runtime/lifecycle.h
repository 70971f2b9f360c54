// Runtime start and stop, and the thread table they share with destroy.
//
// States: created -> started -> stopped (final). Start brings the parts up
// in a fixed order and, when a step fails, takes down what it brought up in
// reverse and leaves the runtime created, ready for another start. Stop
// ends the threads so that every queue drains, writes out what is queued
// for the host and then closes the runtime's ends of the host pipes (the
// host reads every frame, then end of file); the monitor pipe stays open
// until destroy.
//
// Lifecycle calls on one runtime must not overlap (a second stop that
// meets one in progress is refused).
#pragma once

#include "base/status.h"
#include "platform/thread.h"
#include "runtime/runtime.h"

namespace vorlet::v2 {

// ok; invalid_arg for NULL; bad_state unless created with a snapshot
// present and the host handles taken; io when a part cannot be brought up
// (after the unwinding).
Status lifecycle_start(Runtime* rt) noexcept;

// ok; invalid_arg for NULL; bad_state unless started.
Status lifecycle_stop(Runtime* rt) noexcept;

// Starts one runtime thread through rt->start_thread and sets its started
// flag. false when it already runs or cannot be created.
bool lifecycle_thread_start(Runtime* rt, RuntimeThread which, platform::ThreadProc proc) noexcept;
// Joins one runtime thread when it was started, and clears its flag.
void lifecycle_thread_join(Runtime* rt, RuntimeThread which) noexcept;
bool lifecycle_thread_running(const Runtime* rt, RuntimeThread which) noexcept;

// Stop's and destroy's first steps, once `stopping` is set. Wakes every
// runtime thread that may sleep: the armed pipe waiters and the three
// consumers (each signalled under its wake mutex).
void lifecycle_wake_threads(Runtime* rt) noexcept;
// Then joins, those that run, the request reader, the control reader, the
// dispatcher, the local worker and the remote worker, which turn what is
// left in their queues into deadletters, and frees the remote worker's
// relay cut. Without runtime_lock: the ending threads may take it.
void lifecycle_join_consumers(Runtime* rt) noexcept;

// Destroys the two frame readers of the request and control pipes.
void lifecycle_destroy_frame_readers(Runtime* rt) noexcept;

// Stops the control waiter, then the request waiter, clearing their armed
// flags; only once their readers have been joined.
void lifecycle_stop_pipe_waiters(Runtime* rt) noexcept;

}  // namespace vorlet::v2
