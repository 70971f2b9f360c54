// The remote road from the remote worker to the host, for tests that push
// jobs onto the remote outbound ring and watch what comes out: the response
// and deadletter writers, the TCP adapter (outbound only) and the remote
// worker, brought up and taken down in the order of start and stop.
#pragma once

#include <cstdint>
#include <thread>
#include <vector>

#include "runtime/route_table.h"
#include "runtime/runtime.h"

namespace vorlet::v2::test {

class RemoteRoad {
 public:
  explicit RemoteRoad(Runtime* rt) : rt_(rt) {}
  ~RemoteRoad() { stop(); }
  RemoteRoad(const RemoteRoad&) = delete;
  RemoteRoad& operator=(const RemoteRoad&) = delete;

  // The writers and the adapter, then the worker; false when one failed.
  bool start();
  // Until the worker sleeps again with its ring empty: every job pushed
  // before has ended. false after about timeout_ms.
  bool wait_idle(uint32_t timeout_ms = 10000);
  // Stopping set, the adapter interrupted and the worker joined; the queues written out and the
  // runtime's write ends closed (the host then reads end of file); the
  // adapter stopped.
  void stop();

 private:
  Runtime* rt_;
  std::thread worker_;
  bool worker_started_ = false;
  bool stopped_ = false;
};

// Applies a snapshot of one route "svc" with this generation, as the host
// would; false when it is refused.
bool install_route(Runtime* rt, uint64_t generation, uint32_t strategy, const std::vector<EndpointDesc>& endpoints);

}  // namespace vorlet::v2::test
