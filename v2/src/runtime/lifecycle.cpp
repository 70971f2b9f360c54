#include "runtime/lifecycle.h"

#include "codec/frame_splitter.h"
#include "runtime/control_apply.h"
#include "runtime/dispatcher.h"
#include "runtime/event_log.h"
#include "runtime/host_pipe_writers.h"
#include "runtime/local_delivery.h"
#include "runtime/log.h"
#include "runtime/pipe_readers.h"
#include "runtime/pipe_waiter.h"
#include "runtime/remote_outbound.h"
#include "tcp/tcp_adapter.h"

namespace vorlet::v2 {
namespace {

struct ThreadStep {
  RuntimeThread which;
  platform::ThreadProc proc;
};

// The runtime threads in start order: the writers first, so that whatever
// a later thread hands to the host has somewhere to go. The delivered-
// request writer runs only when the host asked for that pipe.
constexpr ThreadStep kStartOrder[] = {
    {RuntimeThread::delivered_writer, delivered_request_writer_thread},
    {RuntimeThread::response_writer, response_writer_thread},
    {RuntimeThread::deadletter_writer, deadletter_writer_thread},
    {RuntimeThread::dispatcher, dispatcher_thread},
    {RuntimeThread::local_worker, local_delivery_thread},
    {RuntimeThread::remote_worker, remote_outbound_thread},
    {RuntimeThread::control_reader, control_pipe_reader_thread},
    {RuntimeThread::request_reader, request_pipe_reader_thread},
};

// Stop and destroy join the producers of the rings before their consumers,
// so that each consumer drains what the producers left.
constexpr RuntimeThread kConsumerJoinOrder[] = {RuntimeThread::request_reader, RuntimeThread::control_reader,
                                                RuntimeThread::dispatcher, RuntimeThread::local_worker,
                                                RuntimeThread::remote_worker};

// A failed start ends its threads in reverse order of start.
constexpr RuntimeThread kUnwindJoinOrder[] = {RuntimeThread::request_reader, RuntimeThread::control_reader,
                                              RuntimeThread::remote_worker, RuntimeThread::local_worker,
                                              RuntimeThread::dispatcher};
constexpr HostPipe kUnwindWriterOrder[] = {HostPipe::delivered, HostPipe::deadletter, HostPipe::response};

uint32_t index_of(RuntimeThread which) noexcept { return static_cast<uint32_t>(which); }

void wake(WakePair& pair) noexcept {
  MutexLock hold(&pair.mutex);
  pair.cv.notify_all();
}

// The start has settled: the dispatcher may begin.
void settle_start(Runtime* rt) noexcept {
  rt->start_settled.store(1, std::memory_order_release);
  rt->start_settled.notify_all();
}

// Once the remote worker, its only user, is joined (or never ran).
void free_relay_cut(Runtime* rt) noexcept {
  delete rt->relay_cut;
  rt->relay_cut = nullptr;
}

// What a start brought up beyond what the runtime shows by itself (the
// readers, the started and armed flags).
struct StartProgress {
  bool tcp_adapter = false;
};

// Steps of start under runtime_lock; false at the first that fails.
bool bring_up(Runtime* rt, StartProgress* done) noexcept REQUIRES(rt->runtime_lock) {
  rt->request_reader = frame_splitter_create(host_handles_request_read_fd(&rt->host_handles), rt->max_frame_bytes);
  if (rt->request_reader == nullptr) return false;
  rt->control_reader = frame_splitter_create(host_handles_control_read_fd(&rt->host_handles), kControlFrameLimit);
  if (rt->control_reader == nullptr) return false;

  if (local_gate_open(rt->local_adapter) != Status::ok) return false;

  // Without a listen port or a handler the adapter serves outbound
  // exchanges only.
  // A peer's request is held to the envelope limit of the host's own.
  // Commits take runtime_lock too: the listen address is the one of the
  // table active for the whole start.
  const RouteTableRefPtr active = rt->routes.acquire();
  if (tcp_adapter_start(rt->tcp_adapter, active ? active->listen_host : nullptr, active ? active->listen_port : 0,
                        rt->inbound_handler, rt, rt->max_frame_bytes) != Status::ok) {
    return false;
  }
  done->tcp_adapter = true;

  if (pipe_waiter_start(&rt->request_waiter, host_handles_request_read_fd(&rt->host_handles)) != Status::ok) {
    return false;
  }
  rt->request_waiter_armed = 1;
  if (pipe_waiter_start(&rt->control_waiter, host_handles_control_read_fd(&rt->host_handles)) != Status::ok) {
    return false;
  }
  rt->control_waiter_armed = 1;

  rt->relay_cut = platform::Event::create();
  if (rt->relay_cut == nullptr) return false;

  rt->stopping.store(0, std::memory_order_release);
  rt->accepting.store(0, std::memory_order_release);
  rt->start_settled.store(0, std::memory_order_release);
  // A new run counts afresh; the monitor totals, monitor_seq and the event
  // generation go on.
  rt->counters.reset_for_start();

  for (const ThreadStep& step : kStartOrder) {
    if (step.which == RuntimeThread::delivered_writer && !host_handles_delivered_enabled(&rt->host_handles)) continue;
    if (!lifecycle_thread_start(rt, step.which, step.proc)) return false;
  }
  return true;
}

// A listener that ran before the dispatcher existed may have queued peers'
// requests. They are answered as the dispatcher answers what it finds at
// stop (it runs here on the caller's thread and, stopping being set,
// returns once the ring is empty; a dispatcher that ran has emptied it
// already). Left in the ring, they would be delivered by a later start
// after their peers were told they had failed.
void drain_ingress_after_failed_start(Runtime* rt) noexcept { dispatcher_run(rt); }

// Takes down, in reverse, what a failed start brought up, and leaves the
// runtime created with its host handles open, so that start may run again.
// Called and returns with runtime_lock held; releases it around the joins
// and around the stop of the TCP adapter.
void unwind(Runtime* rt, const StartProgress& done) noexcept REQUIRES(rt->runtime_lock) {
  // First, whatever step failed: nothing may be queued from here on, and a
  // listener already serving peers turns them away instead of waiting.
  rt->stopping.store(1, std::memory_order_release);
  rt->accepting.store(0, std::memory_order_release);
  settle_start(rt);
  tcp_adapter_interrupt(rt->tcp_adapter);

  bool any_thread = false;
  for (uint32_t i = 0; i < kRuntimeThreadCount; ++i) any_thread = any_thread || rt->thread_started[i] != 0;
  if (any_thread) {
    lifecycle_wake_threads(rt);
    bool writer_ran[kHostPipeCount] = {};
    rt->runtime_lock.unlock();
    // The consumers drain into the pipe queues before those close, as in
    // stop, so nothing they hand to the host is refused.
    for (RuntimeThread which : kUnwindJoinOrder) lifecycle_thread_join(rt, which);
    drain_ingress_after_failed_start(rt);
    for (HostPipe pipe : kUnwindWriterOrder) {
      writer_ran[static_cast<uint32_t>(pipe)] = host_pipe_writers_started(rt, pipe);
      if (writer_ran[static_cast<uint32_t>(pipe)]) host_pipe_writers_close_queue(rt, pipe);
    }
    for (HostPipe pipe : kUnwindWriterOrder) host_pipe_writers_join(rt, pipe);
    rt->runtime_lock.lock();
    // Each writer wrote its queue out before it ended; the queues take
    // frames again for the next start.
    for (HostPipe pipe : kUnwindWriterOrder) {
      if (writer_ran[static_cast<uint32_t>(pipe)]) host_pipe_writers_reopen_queue(rt, pipe);
    }
  } else {
    drain_ingress_after_failed_start(rt);
  }
  free_relay_cut(rt);  // the remote worker is joined, or never ran

  lifecycle_stop_pipe_waiters(rt);

  // Pending remote replies fail (runtime_stopped) before the adapter stops, so
  // that no inbound handler holds up the end of the listener.
  reply_registry_fail_all(&rt->reply_registry.get(), "runtime stopped");

  if (done.tcp_adapter) {
    // The listener is joined without runtime_lock, as in stop.
    rt->runtime_lock.unlock();
    tcp_adapter_stop(rt->tcp_adapter);
    rt->runtime_lock.lock();
  }

  local_gate_close(rt->local_adapter);

  lifecycle_destroy_frame_readers(rt);

  // Nothing runs any more that could queue: the runtime is simply created
  // again, and submit answers "not started" (-3) rather than "closed".
  rt->stopping.store(0, std::memory_order_release);
}

}  // namespace

bool lifecycle_thread_start(Runtime* rt, RuntimeThread which, platform::ThreadProc proc) noexcept {
  const uint32_t i = index_of(which);
  if (rt->thread_started[i] != 0) return false;
  auto start = rt->start_thread != nullptr ? rt->start_thread : platform::start_thread;
  if (!start(&rt->threads[i], proc, rt)) return false;
  rt->thread_started[i] = 1;
  return true;
}

void lifecycle_thread_join(Runtime* rt, RuntimeThread which) noexcept {
  const uint32_t i = index_of(which);
  if (rt->thread_started[i] == 0) return;
  platform::join_thread(&rt->threads[i]);
  rt->thread_started[i] = 0;
}

bool lifecycle_thread_running(const Runtime* rt, RuntimeThread which) noexcept {
  return rt->thread_started[index_of(which)] != 0;
}

void lifecycle_wake_threads(Runtime* rt) noexcept {
  if (rt->request_waiter_armed != 0) (void)pipe_waiter_wake(&rt->request_waiter);
  if (rt->control_waiter_armed != 0) (void)pipe_waiter_wake(&rt->control_waiter);
  wake(rt->dispatcher_wake);
  wake(rt->local_wake);
  wake(rt->remote_wake);
}

void lifecycle_join_consumers(Runtime* rt) noexcept {
  for (RuntimeThread which : kConsumerJoinOrder) lifecycle_thread_join(rt, which);
  free_relay_cut(rt);
}

void lifecycle_stop_pipe_waiters(Runtime* rt) noexcept {
  pipe_waiter_stop(&rt->control_waiter);
  rt->control_waiter_armed = 0;
  pipe_waiter_stop(&rt->request_waiter);
  rt->request_waiter_armed = 0;
}

void lifecycle_destroy_frame_readers(Runtime* rt) noexcept {
  frame_splitter_destroy(rt->control_reader);
  rt->control_reader = nullptr;
  frame_splitter_destroy(rt->request_reader);
  rt->request_reader = nullptr;
}

Status lifecycle_start(Runtime* rt) noexcept {
  if (rt == nullptr) return Status::invalid_arg;
  {
    MutexLock hold(&rt->runtime_lock);
    if (rt->state.load(std::memory_order_acquire) != RuntimeState::created || !rt->routes.present() ||
        !host_handles_is_open(&rt->host_handles)) {
      return Status::bad_state;
    }
    StartProgress done;
    if (!bring_up(rt, &done)) {
      unwind(rt, done);
      return Status::io;
    }
    rt->state.store(RuntimeState::started, std::memory_order_release);
    rt->accepting.store(1, std::memory_order_release);
    settle_start(rt);
  }
  event_log_record(rt, MonitorEventKind::started, 0, 0, 0);
  log_lifecycle("runtime_started", kLifecycleFile, kLifecycleStartedLine);
  return Status::ok;
}

Status lifecycle_stop(Runtime* rt) noexcept {
  if (rt == nullptr) return Status::invalid_arg;
  {
    MutexLock hold(&rt->runtime_lock);
    // A started runtime that is already stopping has a stop in progress.
    if (rt->state.load(std::memory_order_acquire) != RuntimeState::started ||
        rt->stopping.load(std::memory_order_acquire) != 0) {
      return Status::bad_state;
    }
    rt->stopping.store(1, std::memory_order_release);
    rt->accepting.store(0, std::memory_order_release);
    // No peer holds stop: every wait of the listener and of the remote
    // worker's exchange ends now.
    tcp_adapter_interrupt(rt->tcp_adapter);
    lifecycle_wake_threads(rt);
  }

  lifecycle_join_consumers(rt);
  // Every writer writes out what is queued before it ends; only then do the
  // write ends close, so the host reads every frame and then end of file.
  host_pipe_writers_finish(rt);
  host_handles_close_write_ends(&rt->host_handles);

  {
    MutexLock hold(&rt->runtime_lock);
    // Every waiting remote requester gets its failure (runtime_stopped).
    reply_registry_fail_all(&rt->reply_registry.get(), "runtime stopped");

    lifecycle_stop_pipe_waiters(rt);

    // A host write into the request or control pipe now fails instead of
    // filling a pipe that nobody reads.
    host_handles_close_read_ends(&rt->host_handles);
    lifecycle_destroy_frame_readers(rt);
  }

  // The interrupt has cut the listener's waits; it is joined without
  // runtime_lock all the same, so that no getter or other caller ever waits
  // on what a peer does.
  tcp_adapter_stop(rt->tcp_adapter);

  {
    MutexLock hold(&rt->runtime_lock);
    local_gate_close(rt->local_adapter);

    rt->state.store(RuntimeState::stopped, std::memory_order_release);
  }
  event_log_record(rt, MonitorEventKind::stopped, 0, 0, 0);
  log_lifecycle("runtime_stopped", kLifecycleFile, kLifecycleStoppedLine);
  return Status::ok;
}

}  // namespace vorlet::v2
