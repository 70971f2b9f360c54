#include "support/remote_road.h"

#include <chrono>
#include <mutex>

#include "platform/thread.h"
#include "runtime/control_apply.h"
#include "runtime/host_pipe_writers.h"
#include "runtime/lifecycle.h"
#include "runtime/remote_outbound.h"
#include "tcp/tcp_adapter.h"

namespace vorlet::v2::test {

bool RemoteRoad::start() {
  if (!host_pipe_writers_start(rt_, HostPipe::response) || !host_pipe_writers_start(rt_, HostPipe::deadletter)) {
    return false;
  }
  if (tcp_adapter_start(rt_->tcp_adapter, nullptr, 0, nullptr, nullptr) != Status::ok) return false;
  worker_started_ = platform::start_thread(&worker_, remote_outbound_thread, rt_);
  return worker_started_;
}

bool RemoteRoad::wait_idle(uint32_t timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < deadline) {
    {
      // The worker raises its sleeping flag only after its last job ended,
      // and a job leaves the ring under this lock.
      MutexLock hold(&rt_->remote_outbound_lock);
      if (rt_->remote_ring.count() == 0 && rt_->remote_wake.sleeping.load() == 1) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

void RemoteRoad::stop() {
  if (stopped_) return;
  stopped_ = true;
  rt_->stopping.store(1);
  rt_->accepting.store(0);
  tcp_adapter_interrupt(rt_->tcp_adapter);
  lifecycle_wake_threads(rt_);
  if (worker_started_) platform::join_thread(&worker_);
  host_pipe_writers_finish(rt_);
  host_handles_close_write_ends(&rt_->host_handles);
  tcp_adapter_stop(rt_->tcp_adapter);
}

bool install_route(Runtime* rt, uint64_t generation, uint32_t strategy, const std::vector<EndpointDesc>& endpoints) {
  const RouteDesc route{"svc", strategy, nullptr, 0, endpoints.data(), endpoints.size()};
  const RouteSnapshotDesc snapshot{generation, &route, 1};
  return control_apply_snapshot(rt, &snapshot, nullptr) == Status::ok;
}

}  // namespace vorlet::v2::test
