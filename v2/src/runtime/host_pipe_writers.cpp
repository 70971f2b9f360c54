#include "runtime/host_pipe_writers.h"

#include "runtime/lifecycle.h"
#include "runtime/runtime.h"

namespace vorlet::v2 {
namespace {

uint32_t index_of(HostPipe pipe) noexcept { return static_cast<uint32_t>(pipe); }

// The writers' handles follow each other in the thread table, in HostPipe
// order.
RuntimeThread writer_of(HostPipe pipe) noexcept {
  return static_cast<RuntimeThread>(static_cast<uint32_t>(RuntimeThread::delivered_writer) + index_of(pipe));
}
static_assert(static_cast<uint32_t>(RuntimeThread::response_writer) ==
              static_cast<uint32_t>(RuntimeThread::delivered_writer) + static_cast<uint32_t>(HostPipe::response));
static_assert(static_cast<uint32_t>(RuntimeThread::deadletter_writer) ==
              static_cast<uint32_t>(RuntimeThread::delivered_writer) + static_cast<uint32_t>(HostPipe::deadletter));

void run_writer(void* runtime, HostPipe pipe) noexcept {
  auto* rt = static_cast<Runtime*>(runtime);
  const int32_t fd = host_handles_write_fd(&rt->host_handles, pipe);
  rt->pipe_queues[index_of(pipe)]->writer_loop(fd);
}

constexpr platform::ThreadProc kWriterProcs[kHostPipeCount] = {
    delivered_request_writer_thread,
    response_writer_thread,
    deadletter_writer_thread,
};

}  // namespace

Status host_pipe_writers_push(Runtime* rt, HostPipe pipe, PipeItem* item, bool keep_if_closed) noexcept {
  bool blocked = false;
  const int32_t fd = host_handles_write_fd(&rt->host_handles, pipe);
  const Status s = rt->pipe_queues[index_of(pipe)]->push(fd, item, &blocked, keep_if_closed);
  if (s == Status::ok && blocked) host_pipes_monitor_change_notice(rt);
  return s;
}

uint64_t host_pipe_writers_push_direct_run(Runtime* rt, HostPipe pipe, PipeItem* items, uint64_t count) noexcept {
  if (host_handles_write_fd(&rt->host_handles, pipe) < 0) return 0;  // push refuses these
  return rt->pipe_queues[index_of(pipe)]->push_direct_run(items, count);
}

bool host_pipe_writers_idle(Runtime* rt, HostPipe pipe) noexcept {
  return rt->pipe_queues[index_of(pipe)]->writer_idle();
}

Status host_pipe_writers_handoff(Runtime* rt, HostPipe pipe, void* bytes, uint64_t length, BufferKind kind) noexcept {
  PipeItem item{bytes, length, kind};
  const Status s = host_pipe_writers_push(rt, pipe, &item);
  // Queued or given back by the queue: the item is cleared. Refused for an
  // argument: still ours, so it goes back here.
  pipe_item_release(&item);
  return s;
}

void host_pipe_writers_handoff_deadletter(Runtime* rt, void* bytes, uint64_t length) noexcept {
  (void)host_pipe_writers_handoff(rt, HostPipe::deadletter, bytes, length, BufferKind::heap);
}

Status host_pipe_writers_handoff_response(Runtime* rt, void* bytes, uint64_t length, BufferKind kind) noexcept {
  return host_pipe_writers_handoff(rt, HostPipe::response, bytes, length, kind);
}

void delivered_request_writer_thread(void* runtime) noexcept { run_writer(runtime, HostPipe::delivered); }
void response_writer_thread(void* runtime) noexcept { run_writer(runtime, HostPipe::response); }
void deadletter_writer_thread(void* runtime) noexcept { run_writer(runtime, HostPipe::deadletter); }

bool host_pipe_writers_start(Runtime* rt, HostPipe pipe) noexcept {
  const uint32_t i = index_of(pipe);
  if (!rt->pipe_queues[i].live()) return false;
  return lifecycle_thread_start(rt, writer_of(pipe), kWriterProcs[i]);
}

void host_pipe_writers_close_queue(Runtime* rt, HostPipe pipe) noexcept {
  const uint32_t i = index_of(pipe);
  if (rt->pipe_queues[i].live()) rt->pipe_queues[i]->close();
}

void host_pipe_writers_close_queues(Runtime* rt) noexcept {
  for (uint32_t i = 0; i < kHostPipeCount; ++i) host_pipe_writers_close_queue(rt, static_cast<HostPipe>(i));
}

void host_pipe_writers_join(Runtime* rt, HostPipe pipe) noexcept { lifecycle_thread_join(rt, writer_of(pipe)); }

bool host_pipe_writers_started(const Runtime* rt, HostPipe pipe) noexcept {
  return rt->thread_started[static_cast<uint32_t>(writer_of(pipe))] != 0;
}

void host_pipe_writers_reopen_queue(Runtime* rt, HostPipe pipe) noexcept {
  const uint32_t i = index_of(pipe);
  if (rt->pipe_queues[i].live()) rt->pipe_queues[i]->reopen();
}

void host_pipe_writers_finish(Runtime* rt) noexcept {
  host_pipe_writers_close_queues(rt);
  for (uint32_t i = 0; i < kHostPipeCount; ++i) host_pipe_writers_join(rt, static_cast<HostPipe>(i));
}

}  // namespace vorlet::v2
