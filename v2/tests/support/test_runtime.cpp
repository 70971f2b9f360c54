#include "support/test_runtime.h"

#include <cstring>
#include <mutex>
#include <thread>

#include "base/alloc.h"
#include "platform/pipe.h"
#include "runtime/control_apply.h"
#include "runtime/host_pipe_writers.h"
#include "runtime/lifecycle.h"
#include "support/pipe_support.h"
#include "support/proc_probe.h"
#include "support/runtime_probe.h"
#include "support/scripted_peer.h"

namespace vorlet::v2::test {

FlatSnapshot& FlatSnapshot::route(const std::string& target, uint32_t strategy, std::vector<EndpointSpec> endpoints,
                                  const char* hint, uint32_t flags) {
  routes_.push_back(Route{target, strategy, hint != nullptr, hint != nullptr ? hint : "", flags, std::move(endpoints), {}});
  return *this;
}

const RouteSnapshotDesc* FlatSnapshot::desc() {
  flat_.clear();
  for (Route& r : routes_) {
    r.flat.clear();
    for (const EndpointSpec& e : r.endpoints) r.flat.push_back(EndpointDesc{e.host.c_str(), e.port, e.weight, e.flags});
    flat_.push_back(RouteDesc{r.target.c_str(), r.strategy, r.has_hint ? r.hint.c_str() : nullptr, r.flags,
                              r.flat.empty() ? nullptr : r.flat.data(), r.flat.size()});
  }
  desc_ = RouteSnapshotDesc{generation_, flat_.empty() ? nullptr : flat_.data(), flat_.size()};
  return &desc_;
}

size_t baseline_thread_count() {
  std::thread([] {}).join();
  return thread_count();
}

void add_local_route(FlatSnapshot* snapshot, uint16_t port) {
  snapshot->route(kLocalTarget, VORLET_V2_ROUTE_STRATEGY_SINGLE_OWNER,
                  {{"127.0.0.1", port, 1, VORLET_V2_ENDPOINT_FLAG_LOCAL}});
}

TestRuntime::TestRuntime(int32_t queue_capacity)
    : TestRuntime(vorlet_v2_RuntimeOptions{"test", "runtime", 0, queue_capacity}) {}

TestRuntime::TestRuntime(const vorlet_v2_RuntimeOptions& options) {
  rt = runtime_create(&options);
  handles.monitor_read_fd = -1;
  handles.delivered_read_fd = -1;
}

TestRuntime::TestRuntime(int32_t queue_capacity, TakeHandles take) : TestRuntime(queue_capacity) {
  if (rt != nullptr) take_handles(take.flags);
}

TestRuntime::~TestRuntime() {
  // A writer holds destroy until the host reads or closes its end, and a
  // test that failed early may leave frames unread: close the host-bound
  // ends first, so that destroy drops those frames rather than wait.
  if (handles_taken_) {
    for (int32_t* fd : {&handles.response_read_fd, &handles.deadletter_read_fd, &handles.delivered_read_fd}) {
      close_host_end(fd);
    }
  }
  runtime_destroy(rt);
  for (FrameReader*& reader : readers_) {
    frame_reader_destroy(reader);
    reader = nullptr;
  }
  if (!handles_taken_) return;
  for (int32_t* fd : {&handles.request_write_fd, &handles.response_read_fd, &handles.deadletter_read_fd,
                      &handles.control_write_fd, &handles.monitor_read_fd, &handles.delivered_read_fd}) {
    close_host_end(fd);
  }
}

Status TestRuntime::take_handles(uint32_t flags) {
  vorlet_v2_HostHandles h{};
  h.struct_size = sizeof h;
  h.flags = flags;
  opened = host_pipes_get_handles(rt, &h);
  if (opened == Status::ok) {
    handles = h;
    handles_taken_ = true;
  }
  return opened;
}

Status TestRuntime::apply(FlatSnapshot& snapshot) { return control_apply_snapshot(rt, snapshot.desc(), nullptr); }

Status TestRuntime::start() { return lifecycle_start(rt); }

Status TestRuntime::stop() { return lifecycle_stop(rt); }

bool TestRuntime::bring_up(uint32_t flags, uint16_t listen_port) {
  if (rt == nullptr || take_handles(flags) != Status::ok) return false;
  listen_port_ = listen_port != 0 ? listen_port : free_loopback_port();
  if (listen_port_ == 0) return false;
  FlatSnapshot snapshot(1);
  add_local_route(&snapshot, listen_port_);
  return apply(snapshot) == Status::ok && start() == Status::ok;
}

int32_t TestRuntime::host_read_fd(HostPipe pipe) const {
  switch (pipe) {
    case HostPipe::delivered:
      return handles.delivered_read_fd;
    case HostPipe::response:
      return handles.response_read_fd;
    case HostPipe::deadletter:
      return handles.deadletter_read_fd;
  }
  return -1;
}

Status TestRuntime::read_frame(HostPipe pipe, FrameBytes* body, uint32_t timeout_ms) {
  FrameReader*& reader = readers_[static_cast<uint32_t>(pipe)];
  if (reader == nullptr) reader = frame_reader_create(host_read_fd(pipe), 0);
  if (reader == nullptr) return Status::invalid_arg;
  return test::read_frame(reader, body, timeout_ms);
}

Status TestRuntime::read_until_eof(HostPipe pipe, std::vector<FrameBytes>* frames, uint32_t timeout_ms) {
  for (;;) {
    FrameBytes body;
    const Status s = read_frame(pipe, &body, timeout_ms);
    if (s == Status::closed) return Status::ok;
    if (s != Status::ok) return s;
    frames->push_back(std::move(body));
  }
}

Status TestRuntime::push_frame(HostPipe pipe, const FrameBytes& body) {
  void* copy = rt_malloc(body.size());
  if (copy == nullptr) return Status::nomem;
  std::memcpy(copy, body.data(), body.size());
  PipeItem item{copy, body.size(), BufferKind::heap};
  const Status s = host_pipe_writers_push(rt, pipe, &item);
  pipe_item_release(&item);  // still ours when the push refused it
  return s;
}

void TestRuntime::close_host_end(int32_t* fd) {
  platform::fd_close(*fd);
  *fd = -1;
}

std::vector<MonitorEvent> TestRuntime::events() const { return recorded_events(rt); }

}  // namespace vorlet::v2::test
