// The runtime's three host-bound pipe queues and their writer threads:
// how a frame for the host is queued, the hand-offs by which every stage
// passes a finished response or deadletter to the host, and how the
// writers are started and ended (stop and destroy: close the queues, join
// the writers, then close the write ends, so the host reads every queued
// frame and then end of file).
#pragma once

#include "base/status.h"
#include "runtime/host_pipes.h"
#include "runtime/pipe_queue.h"

namespace vorlet::v2 {

struct Runtime;

// Queues a buffer for the host on one pipe, with that pipe's gauges,
// waiting while its queue is full. A push that had to wait gives a monitor
// change notice, so a host that reads too slowly hears of it. Ownership as
// PipeQueue::push: on ok and bad_state *item is cleared (queued, or given
// back); on invalid_arg (e.g. the write end is already closed) the item is
// untouched and still the caller's, who releases it (pipe_item_release).
// With keep_if_closed a closed queue also leaves the item with the caller.
Status host_pipe_writers_push(Runtime* rt, HostPipe pipe, PipeItem* item, bool keep_if_closed = false) noexcept;

// The leading frames of items that go straight on one pipe together in one
// write (PipeQueue::push_direct_run): how many went, their items cleared;
// 0 when none did (the caller then pushes them one by one).
uint64_t host_pipe_writers_push_direct_run(Runtime* rt, HostPipe pipe, PipeItem* items, uint64_t count) noexcept;
// Whether the pipe's writer waits for work with no batch in hand (a push
// now may write straight to the pipe).
bool host_pipe_writers_idle(Runtime* rt, HostPipe pipe) noexcept;

// Puts a buffer on a host-bound pipe queue, waiting while it is full (a
// wait gives a monitor change notice). Takes ownership on every path: a
// buffer the queue refuses (closed, or the write end already closed) is
// given back by its kind. ok, or the refusal: bad_state (closed) or
// invalid_arg (no write end, an empty buffer).
Status host_pipe_writers_handoff(Runtime* rt, HostPipe pipe, void* bytes, uint64_t length, BufferKind kind) noexcept;

// A serialized deadletter (heap block) to the deadletter pipe; no caller
// acts on a refusal.
void host_pipe_writers_handoff_deadletter(Runtime* rt, void* bytes, uint64_t length) noexcept;
// A serialized envelope to the response pipe, given back by kind when
// refused.
Status host_pipe_writers_handoff_response(Runtime* rt, void* bytes, uint64_t length, BufferKind kind) noexcept;

// Thread procedures (argument: the Runtime). Each reads its pipe's write
// end once, when it starts.
void delivered_request_writer_thread(void* runtime) noexcept;
void response_writer_thread(void* runtime) noexcept;
void deadletter_writer_thread(void* runtime) noexcept;

// Starts the writer of one pipe and sets its started flag; false when the
// thread cannot be created (or already runs).
bool host_pipe_writers_start(Runtime* rt, HostPipe pipe) noexcept;
// Closes one queue: its writer writes out what is queued and ends.
void host_pipe_writers_close_queue(Runtime* rt, HostPipe pipe) noexcept;
void host_pipe_writers_close_queues(Runtime* rt) noexcept;
// Joins the writer of one pipe when it was started, and clears the flag.
void host_pipe_writers_join(Runtime* rt, HostPipe pipe) noexcept;
bool host_pipe_writers_started(const Runtime* rt, HostPipe pipe) noexcept;
// Opens a closed queue again; only once its writer is joined and while no
// producer runs (a start that failed undoes its close with it).
void host_pipe_writers_reopen_queue(Runtime* rt, HostPipe pipe) noexcept;
// Closes the three queues, then joins every started writer.
void host_pipe_writers_finish(Runtime* rt) noexcept;

}  // namespace vorlet::v2
