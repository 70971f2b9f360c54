// The runtime object: one 64-byte aligned, zero-filled block holding every
// lock, queue, pipe, thread, counter, table and registry of one runtime.
//
// The locks of a runtime, in the one order they are taken (a lock may be
// taken while those above it are held, never the other way round); the
// clang build checks each against the fields it guards:
//  1. runtime_lock: the lifecycle (start, stop and the state they write),
//     the configured overload policy, the host handle set; it serializes
//     the snapshot commits. Nothing on the data path takes it.
//  2. remote_outbound_lock: the remote outbound ring (admission and the
//     remote worker's pop). Only leaves are taken under it: admission fails
//     the jobs it drops once it has let go of it.
//  3. The reply registry's mutex, then a reply slot's (reply_registry.h);
//     stop fails the pending replies under runtime_lock.
//  4. The auth state's mutex (auth/auth_state.h) and the dubbing registry's
//     (observe/dubbing_state.h), each its subsystem's own.
//  5. Leaves, never held while another lock is taken: a consumer's wake
//     mutex (the ring's lock is let go before it), the event log's, each
//     pipe queue's, each job free list's, the active routes' two locks,
//     the TCP adapter's handler lock, and the process-wide ones (frame
//     pool depots, monitor registrations, log sink).
// The ingress and local delivery rings have no lock (rings.h,
// consumer_wait.h). Members that can fail to construct sit in InPlace
// slots so that teardown can run on a half-built object (create's failure
// path calls destroy).
//
// The auth state and the dubbing registry are held here, but their types
// belong to auth/ and observe/: only those subsystems read or write their
// fields, and create and destroy call their init and clear.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "auth/auth_state.h"
#include "base/mutex.h"
#include "observe/dubbing_state.h"
#include "platform/thread.h"
#include "pool/frame_buffer.h"
#include "runtime/active_routes.h"
#include "runtime/counters.h"
#include "runtime/event_log.h"
#include "runtime/host_pipes.h"
#include "runtime/in_place.h"
#include "runtime/pipe_queue.h"
#include "runtime/pipe_waiter.h"
#include "runtime/reply_registry.h"
#include "runtime/rings.h"
#include "runtime/route_table.h"
#include "runtime/spin_wait.h"
#include "tcp/tcp_adapter.h"
#include "vorlet_v2.h"

namespace vorlet::v2 {

struct FrameSplitter;
struct LocalDeliveryAdapter;

enum class RuntimeState : uint32_t { created = 0, started = 1, stopped = 2 };

// The runtime's own threads, in the order of their handles. Start launches
// them in another order (lifecycle.cpp).
enum class RuntimeThread : uint32_t {
  request_reader,
  control_reader,
  dispatcher,
  local_worker,
  remote_worker,
  delivered_writer,
  response_writer,
  deadletter_writer,
};
inline constexpr uint32_t kRuntimeThreadCount = 8;

// A consumer's sleep: producers signal the condition variable while holding
// the mutex, so a wake-up cannot fall between the consumer's test and wait.
// Every push reads `sleeping` and the busy consumer writes `spin` after
// every take, so each has a cache line of its own, apart from the mutex
// and from the next pair: a busy consumer's writes then never evict the
// line its producers read.
struct alignas(64) WakePair {
  Mutex mutex;
  CondVar cv;  // waited on with mutex
  // 1 while the consumer sleeps or is about to: a producer signals only
  // then (wake_after_push). It stays 0 while the consumer spins, so a push
  // then costs no wake (consumer_wait.h).
  alignas(64) std::atomic<uint32_t> sleeping;
  // The consumer's own: it spins once after a burst of work, never while
  // idle, and seldom while its spins miss (spin_wait.h).
  alignas(64) SpinGovernor spin;
};

struct alignas(64) Runtime {
  // ---- locks ----
  // The lifecycle's, the configured policy's and the host handle set's; it
  // serializes the snapshot commits (the active table itself is read
  // without it). See the lock order above.
  Mutex runtime_lock ACQUIRED_BEFORE(remote_outbound_lock);
  Mutex remote_outbound_lock;  // the remote outbound ring

  // Written by create, start and stop, under runtime_lock; read by anyone
  // in one load, so that a call that only asks whether the runtime has
  // stopped takes no lock.
  std::atomic<RuntimeState> state;

  // ---- create options (owned copies) ----
  char* option_text_a;
  char* option_text_b;
  uint32_t option_flag;  // 0 or 1

  // ---- limits, fixed at create ----
  int32_t queue_capacity;  // a power of two
  uint64_t max_frame_bytes;
  uint64_t aux_batch;
  uint64_t pipe_queue_capacity;
  // The request bytes of remote peers held at once, wherever they sit
  // (ingress ring, local ring, pipe queue, remote ring): the inbound
  // handler charges each request's frame buffer to it, and the buffer's
  // release gives the charge back. Its limit is fixed at create.
  FrameBudget peer_frames;

  // ---- overload policy: configured, then in force ----
  uint32_t configured_ingress_mode GUARDED_BY(runtime_lock);
  uint32_t configured_local_delivery_mode GUARDED_BY(runtime_lock);
  uint32_t configured_remote_outbound_mode GUARDED_BY(runtime_lock);
  uint64_t configured_reply_reserve_slots GUARDED_BY(runtime_lock);
  // Read without runtime_lock by admission, hence atomic.
  std::atomic<uint32_t> ingress_mode;
  std::atomic<uint32_t> local_delivery_mode;
  std::atomic<uint32_t> remote_outbound_mode;
  std::atomic<uint64_t> reply_reserve_slots;

  // ---- host handle set ----
  HostHandleSet host_handles;

  // ---- local delivery adapter and TCP adapter ----
  // Owned; the gate, open only from start to stop.
  LocalDeliveryAdapter* local_adapter;
  TcpAdapter* tcp_adapter;  // owned; created idle with the runtime
  // The remote worker's: set when the requester of the relay in flight
  // gives up, which ends its exchange. Owned; made by start, freed by the
  // stop or the failed start that joined the worker.
  platform::Event* relay_cut;
  // What start installs in the TCP adapter for requests from remote peers,
  // with the runtime as its context. Without one the adapter serves
  // outbound exchanges only and does not listen.
  InboundHandler inbound_handler;

  // ---- pipe frame readers (from start to stop) ----
  // Owned; made by start on the runtime's read ends of the request and
  // control pipes, destroyed by stop (or destroy).
  FrameSplitter* request_reader;
  FrameSplitter* control_reader;

  // ---- queues: rings and host-bound pipe queues ----
  IngressRing ingress_ring;  // pushed and taken without a lock
  LocalRing local_ring;      // pushed and taken without a lock
  // Indexed by HostPipe: delivered-request, response, deadletter.
  InPlace<PipeQueue> pipe_queues[kHostPipeCount];
  JobRing<RemoteJob> remote_ring GUARDED_BY(remote_outbound_lock);
  // Idle jobs for the dispatcher to reuse, each under its own (leaf) mutex.
  JobFreeList local_jobs;
  JobFreeList remote_jobs;

  // ---- the three wake pairs ----
  WakePair dispatcher_wake;
  WakePair local_wake;
  WakePair remote_wake;

  // ---- pipe waiters ----
  // Each belongs to its reader thread; start, stop and destroy only start,
  // wake (while armed) and stop them.
  PipeWaiter request_waiter;
  PipeWaiter control_waiter;

  // ---- threads, started and armed flags ----
  // Touched only by start, stop and destroy. Indexed by RuntimeThread.
  std::thread threads[kRuntimeThreadCount];
  uint32_t thread_started[kRuntimeThreadCount];
  uint32_t request_waiter_armed;
  uint32_t control_waiter_armed;
  // How start creates the runtime threads (platform::start_thread); tests
  // replace it to make one creation fail.
  bool (*start_thread)(std::thread*, platform::ThreadProc, void*);

  // ---- hot flags, each on its own line ----
  // The ingress and local consumers decide to end with a read-modify-write
  // of stopping (consumer_wait.h), whatever order its stores use.
  alignas(64) std::atomic<uint32_t> stopping;
  alignas(64) std::atomic<uint32_t> accepting;
  // 0 from the moment a start begins until it has started the runtime or,
  // failing, set stopping; then 1 (notified). The dispatcher waits for it
  // before its first item.
  std::atomic<uint32_t> start_settled;

  // ---- gauges and counters ----
  alignas(64) Counters counters;

  // ---- event log ----
  InPlace<EventLog> event_log;

  // ---- credential table and authorization minima ----
  // Only auth/ reads or writes its fields, under its own lock.
  AuthState auth;

  // ---- active snapshot ----
  // The active route table with its generation and listen address,
  // published by commits (under runtime_lock) and read without it.
  ActiveRoutes routes;

  // ---- dubbing registry ----
  // Only observe/ reads or writes its fields, under its own lock.
  DubbingRegistry dubbing;

  // ---- reply registry ----
  InPlace<ReplyRegistry> reply_registry;
};

inline Runtime* from_handle(vorlet_v2_Runtime* h) noexcept { return reinterpret_cast<Runtime*>(h); }
inline vorlet_v2_Runtime* to_handle(Runtime* rt) noexcept { return reinterpret_cast<vorlet_v2_Runtime*>(rt); }

// Create and destroy behind the exported entry points. runtime_create never
// throws: a failure at any step undoes what was done and returns nullptr.
Runtime* runtime_create(const vorlet_v2_RuntimeOptions* options) noexcept;
void runtime_destroy(Runtime* rt) noexcept;

}  // namespace vorlet::v2
