#include "runtime/host_pipes.h"

#include <cstddef>
#include <new>

#include "base/alloc.h"
#include "base/mutex.h"
#include "base/record.h"
#include "codec/frame_io.h"
#include "platform/pipe.h"
#include "runtime/runtime.h"

namespace vorlet::v2 {

static_assert(sizeof(vorlet_v2_HostHandles) == 40);
static_assert(offsetof(vorlet_v2_HostHandles, flags) == 8);
static_assert(offsetof(vorlet_v2_HostHandles, request_write_fd) == 12);
static_assert(offsetof(vorlet_v2_HostHandles, response_read_fd) == 16);
static_assert(offsetof(vorlet_v2_HostHandles, deadletter_read_fd) == 20);
static_assert(offsetof(vorlet_v2_HostHandles, control_write_fd) == 24);
static_assert(offsetof(vorlet_v2_HostHandles, monitor_read_fd) == 28);
static_assert(offsetof(vorlet_v2_HostHandles, delivered_read_fd) == 32);

namespace {

constexpr uint64_t kHostHandlesMinSize = 28;
constexpr uint64_t kHostHandlesMonitorSize = 32;
constexpr uint64_t kHostHandlesDeliveredSize = 36;
constexpr unsigned char kWakeByte = 0x01;

struct RegistrationList {
  Mutex mutex;  // also guards every next link; taken by consume to clear pending
  MonitorRegistration* head GUARDED_BY(mutex);
};

constinit RegistrationList g_registrations{};

void registration_link(MonitorRegistration* reg) noexcept {
  MutexLock hold(&g_registrations.mutex);
  reg->next = g_registrations.head;
  g_registrations.head = reg;
}

void registration_unlink(MonitorRegistration* reg) noexcept {
  MutexLock hold(&g_registrations.mutex);
  for (MonitorRegistration** p = &g_registrations.head; *p != nullptr; p = &(*p)->next) {
    if (*p == reg) {
      *p = reg->next;
      return;
    }
  }
}

MonitorRegistration* registration_new(int32_t host_read_fd) noexcept {
  void* block = rt_calloc(1, sizeof(MonitorRegistration));
  if (block == nullptr) return nullptr;
  auto* reg = ::new (block) MonitorRegistration{};
  reg->host_read_fd = host_read_fd;
  reg->pending.store(0, std::memory_order_relaxed);
  reg->next = nullptr;
  return reg;
}

void registration_free(MonitorRegistration* reg) noexcept {
  if (reg == nullptr) return;
  reg->~MonitorRegistration();
  rt_free(reg);
}

// One wake byte on the non-blocking monitor write end.
Status pipe_write_wake_byte(int32_t fd) noexcept {
  uint64_t written = 0;
  return platform::pipe_write(fd, &kWakeByte, 1, nullptr, 0, &written);
}

// Reads everything waiting; the status is that of the read that ended it.
Status pipe_drain(int32_t fd, uint64_t* total) noexcept {
  unsigned char scratch[256];
  *total = 0;
  for (;;) {
    uint64_t got = 0;
    int32_t eof = 0;
    const Status s = pipe_read_nonblocking(fd, scratch, sizeof scratch, &got, &eof);
    if (s != Status::ok) return s;
    *total += got;
  }
}

// Descriptors made by one open, closed all together when a later step fails.
struct Made {
  int32_t fds[12];
  int count = 0;
  void add(int32_t a, int32_t b) noexcept {
    fds[count++] = a;
    fds[count++] = b;
  }
  void close_all() noexcept {
    for (int i = 0; i < count; ++i) platform::fd_close(fds[i]);
    count = 0;
  }
};

}  // namespace

Status host_pipe_create(int32_t* runtime_end, int32_t* host_end, bool runtime_reads) noexcept {
  int32_t r = -1;
  int32_t w = -1;
  *runtime_end = -1;
  *host_end = -1;
  const Status s = platform::pipe_create(&r, &w);
  if (s != Status::ok) return Status::io;
  *runtime_end = runtime_reads ? r : w;
  *host_end = runtime_reads ? w : r;
  return Status::ok;
}

void fd_close_reset(std::atomic<int32_t>* fd) noexcept { platform::fd_close(fd->exchange(-1, std::memory_order_acq_rel)); }

void host_handles_init(HostHandleSet* set) noexcept {
  set->request_read_fd.store(-1, std::memory_order_relaxed);
  set->control_read_fd.store(-1, std::memory_order_relaxed);
  set->delivered_write_fd.store(-1, std::memory_order_relaxed);
  set->response_write_fd.store(-1, std::memory_order_relaxed);
  set->deadletter_write_fd.store(-1, std::memory_order_relaxed);
  set->monitor_write_fd.store(-1, std::memory_order_relaxed);
  set->monitor_enabled.store(0, std::memory_order_relaxed);
  set->monitor_registration = nullptr;
  set->delivered_enabled = 0;
  set->opened = 0;
}

Status host_handles_open(HostHandleSet* set, vorlet_v2_HostHandles* handles) noexcept {
  if (set == nullptr || handles == nullptr) return Status::invalid_arg;
  // This record's minimum differs from the general rule: the four
  // always-present descriptors must fit.
  const uint64_t eff = record_effective_size(record_read_declared(handles), sizeof(vorlet_v2_HostHandles));
  if (eff < kHostHandlesMinSize) return Status::invalid_arg;
  const uint32_t flags_in = handles->flags;
  const bool want_monitor = (flags_in & VORLET_V2_HOST_HANDLE_MONITOR_PIPE) != 0 && eff >= kHostHandlesMonitorSize;
  const bool want_delivered = (flags_in & VORLET_V2_HOST_HANDLE_DELIVERED_PIPE) != 0;
  if (want_delivered && eff < kHostHandlesDeliveredSize) return Status::invalid_arg;
  if (set->opened != 0) return Status::bad_state;

  Made made;
  int32_t request_rt = -1, request_host = -1, control_rt = -1, control_host = -1;
  int32_t delivered_rt = -1, delivered_host = -1, response_rt = -1, response_host = -1;
  int32_t deadletter_rt = -1, deadletter_host = -1, monitor_rt = -1, monitor_host = -1;
  Status s = host_pipe_create(&request_rt, &request_host, true);
  if (s == Status::ok) {
    made.add(request_rt, request_host);
    s = host_pipe_create(&control_rt, &control_host, true);
  }
  if (s == Status::ok) {
    made.add(control_rt, control_host);
    if (want_delivered) {
      s = host_pipe_create(&delivered_rt, &delivered_host, false);
      if (s == Status::ok) made.add(delivered_rt, delivered_host);
    }
  }
  if (s == Status::ok) {
    s = host_pipe_create(&response_rt, &response_host, false);
  }
  if (s == Status::ok) {
    made.add(response_rt, response_host);
    s = host_pipe_create(&deadletter_rt, &deadletter_host, false);
  }
  if (s == Status::ok) {
    made.add(deadletter_rt, deadletter_host);
    // The runtime's write ends of the host-bound pipes never block, so a
    // producer can try a frame straight on the pipe and queue it when there
    // is no room; the writer threads wait for room with a poll. Each end is
    // its own file description: the host's read ends stay blocking.
    for (const int32_t fd : {delivered_rt, response_rt, deadletter_rt}) {
      if (s == Status::ok && fd >= 0 && platform::fd_set_nonblocking(fd) != Status::ok) s = Status::io;
    }
  }
  if (s == Status::ok) {
    if (want_monitor) {
      s = host_pipe_create(&monitor_rt, &monitor_host, false);
      if (s == Status::ok) {
        made.add(monitor_rt, monitor_host);
        // The doorbell must never stall a runtime thread: a full monitor
        // pipe gives would_block. The host's end stays blocking.
        s = platform::fd_set_nonblocking(monitor_rt) == Status::ok ? Status::ok : Status::io;
      }
    }
  }
  if (s != Status::ok) {
    made.close_all();
    return Status::io;
  }
  MonitorRegistration* reg = nullptr;
  if (want_monitor) {
    reg = registration_new(monitor_host);
    if (reg == nullptr) {
      made.close_all();
      return Status::nomem;
    }
    registration_link(reg);
  }

  set->request_read_fd.store(request_rt, std::memory_order_relaxed);
  set->control_read_fd.store(control_rt, std::memory_order_relaxed);
  set->delivered_write_fd.store(delivered_rt, std::memory_order_relaxed);
  set->response_write_fd.store(response_rt, std::memory_order_relaxed);
  set->deadletter_write_fd.store(deadletter_rt, std::memory_order_relaxed);
  set->monitor_registration = reg;
  set->monitor_enabled.store(want_monitor ? 1 : 0, std::memory_order_relaxed);
  set->delivered_enabled = want_delivered ? 1 : 0;
  set->opened = 1;
  // Published last: a doorbell that sees the descriptor sees the
  // registration too.
  set->monitor_write_fd.store(monitor_rt, std::memory_order_release);

  vorlet_v2_HostHandles out{};
  out.flags = (want_monitor ? VORLET_V2_HOST_HANDLE_MONITOR_PIPE : 0u) |
              (want_delivered ? VORLET_V2_HOST_HANDLE_DELIVERED_PIPE : 0u);
  out.request_write_fd = request_host;
  out.response_read_fd = response_host;
  out.deadletter_read_fd = deadletter_host;
  out.control_write_fd = control_host;
  out.monitor_read_fd = monitor_host;
  out.delivered_read_fd = delivered_host;
  record_write(handles, out,
               {VORLET_FIELD(vorlet_v2_HostHandles, flags), VORLET_FIELD(vorlet_v2_HostHandles, request_write_fd),
                VORLET_FIELD(vorlet_v2_HostHandles, response_read_fd),
                VORLET_FIELD(vorlet_v2_HostHandles, deadletter_read_fd),
                VORLET_FIELD(vorlet_v2_HostHandles, control_write_fd),
                VORLET_FIELD(vorlet_v2_HostHandles, monitor_read_fd),
                VORLET_FIELD(vorlet_v2_HostHandles, delivered_read_fd)});
  return Status::ok;
}

void host_handles_close_all(HostHandleSet* set) noexcept {
  if (set == nullptr) return;
  fd_close_reset(&set->request_read_fd);
  fd_close_reset(&set->control_read_fd);
  fd_close_reset(&set->delivered_write_fd);
  fd_close_reset(&set->response_write_fd);
  fd_close_reset(&set->deadletter_write_fd);
  fd_close_reset(&set->monitor_write_fd);
  if (set->monitor_registration != nullptr) {
    registration_unlink(set->monitor_registration);
    registration_free(set->monitor_registration);
    set->monitor_registration = nullptr;
  }
  set->monitor_enabled.store(0, std::memory_order_relaxed);
  set->delivered_enabled = 0;
  set->opened = 0;
}

void host_handles_close_write_ends(HostHandleSet* set) noexcept {
  if (set == nullptr) return;
  fd_close_reset(&set->delivered_write_fd);
  fd_close_reset(&set->response_write_fd);
  fd_close_reset(&set->deadletter_write_fd);
}

void host_handles_close_read_ends(HostHandleSet* set) noexcept {
  if (set == nullptr) return;
  fd_close_reset(&set->request_read_fd);
  fd_close_reset(&set->control_read_fd);
}

bool host_handles_is_open(const HostHandleSet* set) noexcept { return set != nullptr && set->opened != 0; }

bool host_handles_monitor_enabled(const HostHandleSet* set) noexcept {
  return set != nullptr && set->monitor_write_fd.load(std::memory_order_acquire) >= 0;
}

bool host_handles_delivered_enabled(const HostHandleSet* set) noexcept {
  return set != nullptr && set->delivered_enabled != 0;
}

namespace {
int32_t load_fd(const HostHandleSet* set, const std::atomic<int32_t> HostHandleSet::*member) noexcept {
  return set == nullptr ? -1 : (set->*member).load(std::memory_order_acquire);
}
}  // namespace

int32_t host_handles_request_read_fd(const HostHandleSet* set) noexcept {
  return load_fd(set, &HostHandleSet::request_read_fd);
}
int32_t host_handles_control_read_fd(const HostHandleSet* set) noexcept {
  return load_fd(set, &HostHandleSet::control_read_fd);
}
int32_t host_handles_delivered_write_fd(const HostHandleSet* set) noexcept {
  return load_fd(set, &HostHandleSet::delivered_write_fd);
}
int32_t host_handles_response_write_fd(const HostHandleSet* set) noexcept {
  return load_fd(set, &HostHandleSet::response_write_fd);
}
int32_t host_handles_deadletter_write_fd(const HostHandleSet* set) noexcept {
  return load_fd(set, &HostHandleSet::deadletter_write_fd);
}

int32_t host_handles_write_fd(const HostHandleSet* set, HostPipe pipe) noexcept {
  switch (pipe) {
    case HostPipe::delivered:
      return host_handles_delivered_write_fd(set);
    case HostPipe::response:
      return host_handles_response_write_fd(set);
    case HostPipe::deadletter:
      return host_handles_deadletter_write_fd(set);
  }
  return -1;
}

Status host_handles_signal_monitor(HostHandleSet* set, int32_t* written) noexcept {
  if (set == nullptr) return Status::invalid_arg;
  if (written != nullptr) *written = 0;
  const int32_t fd = set->monitor_write_fd.load(std::memory_order_acquire);
  if (fd < 0) return Status::bad_state;
  MonitorRegistration* reg = set->monitor_registration;
  // An unconsumed byte already wakes the host; one byte per burst.
  if (reg != nullptr && reg->pending.exchange(1, std::memory_order_acq_rel) == 1) return Status::ok;
  if (set->monitor_enabled.load(std::memory_order_relaxed) == 0) return Status::bad_state;
  const Status s = pipe_write_wake_byte(fd);
  if (s == Status::ok) {
    if (written != nullptr) *written = 1;
    return s;
  }
  // A full pipe still holds bytes for the host; any other failure lets the
  // next change try again.
  if (reg != nullptr && s != Status::would_block) reg->pending.store(0, std::memory_order_release);
  return s;
}

Status monitor_consume(int32_t monitor_read_fd, uint64_t* drained_out) noexcept {
  if (monitor_read_fd < 0) return Status::invalid_arg;
  uint64_t total = 0;
  const Status end = pipe_drain(monitor_read_fd, &total);
  if (drained_out != nullptr) *drained_out = total;
  if (total == 0) return end;
  MutexLock hold(&g_registrations.mutex);
  for (MonitorRegistration* reg = g_registrations.head; reg != nullptr; reg = reg->next) {
    if (reg->host_read_fd == monitor_read_fd) {
      reg->pending.store(0, std::memory_order_release);
      break;
    }
  }
  return Status::ok;
}

Status host_pipes_get_handles(Runtime* rt, vorlet_v2_HostHandles* handles) noexcept {
  if (rt == nullptr || handles == nullptr) return Status::invalid_arg;
  MutexLock hold(&rt->runtime_lock);
  if (rt->state.load(std::memory_order_acquire) != RuntimeState::created || host_handles_is_open(&rt->host_handles)) {
    return Status::bad_state;
  }
  return host_handles_open(&rt->host_handles, handles);
}

void host_pipes_ring_doorbell(Runtime* rt) noexcept {
  if (!host_handles_monitor_enabled(&rt->host_handles)) return;
  int32_t written = 0;
  const Status s = host_handles_signal_monitor(&rt->host_handles, &written);
  if (s == Status::bad_state) return;
  if (s == Status::ok && written == 1) {
    rt->counters.add(Counter::monitor_signals_written);
    rt->counters.add(Counter::monitor_signals_written_total);
  } else {
    rt->counters.add(Counter::monitor_signals_skipped);
    rt->counters.add(Counter::monitor_signals_skipped_total);
  }
}

void host_pipes_monitor_change_notice(Runtime* rt) noexcept {
  rt->counters.add(Counter::monitor_seq);
  host_pipes_ring_doorbell(rt);
}

}  // namespace vorlet::v2
