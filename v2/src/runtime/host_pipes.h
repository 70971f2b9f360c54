// The runtime's ends of the host pipes (HostHandleSet), how they are made
// and handed to the host, the monitor doorbell and its process-wide
// registrations.
//
// Ownership: the host owns every descriptor written back into HostHandles;
// the set owns the runtime's ends and closes each exactly once. Readers,
// waiters and writer threads only borrow them.
#pragma once

#include <atomic>
#include <cstdint>

#include "base/status.h"
#include "vorlet_v2.h"

namespace vorlet::v2 {

struct Runtime;

// The three host-bound pipes, each with a pipe queue and a writer thread.
enum class HostPipe : uint32_t { delivered = 0, response = 1, deadletter = 2 };
inline constexpr uint32_t kHostPipeCount = 3;

// One per monitor pipe, in a process-wide list, so that
// vorlet_v2_monitor_consume (which knows only the host's descriptor) can
// re-arm the doorbell.
struct MonitorRegistration {
  int32_t host_read_fd;
  std::atomic<uint32_t> pending;  // a wake byte was written and not consumed
  MonitorRegistration* next;      // under the list mutex
};

// Lives in the runtime. The descriptors are atomic because hand-offs and
// the doorbell read them on other threads than the ones that make and
// close them; each is -1 when absent or closed. The flags are changed only
// under runtime_lock (open) or by destroy.
struct HostHandleSet {
  std::atomic<int32_t> request_read_fd{-1};
  std::atomic<int32_t> control_read_fd{-1};
  std::atomic<int32_t> delivered_write_fd{-1};   // non-blocking, as the two below
  std::atomic<int32_t> response_write_fd{-1};
  std::atomic<int32_t> deadletter_write_fd{-1};
  std::atomic<int32_t> monitor_write_fd{-1};  // non-blocking
  std::atomic<uint32_t> monitor_enabled{0};
  MonitorRegistration* monitor_registration = nullptr;
  uint32_t delivered_enabled = 0;
  uint32_t opened = 0;  // the host has taken its handles
};

// Makes one pipe; with runtime_reads the runtime keeps the read end. Both
// ends are not inherited. io on failure, with both outputs at -1.
Status host_pipe_create(int32_t* runtime_end, int32_t* host_end, bool runtime_reads) noexcept;

// Closes fd when >= 0 and stores -1; a descriptor is closed only once even
// when two threads race here.
void fd_close_reset(std::atomic<int32_t>* fd) noexcept;

void host_handles_init(HostHandleSet* set) noexcept;
// Makes the pipes the record asks for and writes the host's ends back.
// invalid_arg for a bad size, bad_state when already open, io when a pipe
// fails, nomem for the registration; nothing of a failed attempt stays open.
Status host_handles_open(HostHandleSet* set, vorlet_v2_HostHandles* handles) noexcept;
// Closes every runtime-side descriptor still open, unlinks and frees the
// monitor registration and clears the flags (destroy).
void host_handles_close_all(HostHandleSet* set) noexcept;
// The runtime's write ends of the delivered-request, response and
// deadletter pipes (stop, after the writers are joined): the host then
// reads end of file.
void host_handles_close_write_ends(HostHandleSet* set) noexcept;
// The runtime's read ends of the request and control pipes (stop, after the
// readers are joined): a host write then fails instead of filling a pipe
// nobody reads.
void host_handles_close_read_ends(HostHandleSet* set) noexcept;

bool host_handles_is_open(const HostHandleSet* set) noexcept;
bool host_handles_monitor_enabled(const HostHandleSet* set) noexcept;
bool host_handles_delivered_enabled(const HostHandleSet* set) noexcept;
// Each -1 for a NULL set.
int32_t host_handles_request_read_fd(const HostHandleSet* set) noexcept;
int32_t host_handles_control_read_fd(const HostHandleSet* set) noexcept;
int32_t host_handles_delivered_write_fd(const HostHandleSet* set) noexcept;
int32_t host_handles_response_write_fd(const HostHandleSet* set) noexcept;
int32_t host_handles_deadletter_write_fd(const HostHandleSet* set) noexcept;
int32_t host_handles_write_fd(const HostHandleSet* set, HostPipe pipe) noexcept;

// The doorbell: writes one wake byte unless one is still unconsumed.
// ok (written 1 when a byte went out, 0 when one was pending), bad_state
// without a monitor pipe, would_block when the pipe is full, closed when
// the host closed its end, io else. *written may be NULL.
Status host_handles_signal_monitor(HostHandleSet* set, int32_t* written) noexcept;

// Drains the host's monitor read end and re-arms its doorbell.
Status monitor_consume(int32_t monitor_read_fd, uint64_t* drained_out) noexcept;

// vorlet_v2_runtime_get_host_handles: under runtime_lock, once, in state
// created.
Status host_pipes_get_handles(Runtime* rt, vorlet_v2_HostHandles* handles) noexcept;

// Rings the doorbell when the monitor pipe exists and counts the outcome in
// the monitor_signals counters. Cheap when a byte is already pending.
void host_pipes_ring_doorbell(Runtime* rt) noexcept;

// Announces a change without an event: raises monitor_seq, then rings.
void host_pipes_monitor_change_notice(Runtime* rt) noexcept;

}  // namespace vorlet::v2
