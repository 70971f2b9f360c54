// A runtime whose host has taken its handles, for tests that play the host.
#pragma once

#include <cstdint>

#include "runtime/runtime.h"

namespace vorlet::v2::test {

struct HostRuntime {
  // hint: the create options' queue capacity; flags: HostHandles flags in.
  explicit HostRuntime(int32_t hint = 0, uint32_t flags = VORLET_V2_HOST_HANDLE_MONITOR_PIPE);
  // Destroys the runtime, then closes the host's ends still open.
  ~HostRuntime();
  HostRuntime(const HostRuntime&) = delete;
  HostRuntime& operator=(const HostRuntime&) = delete;

  // Closes one host end (a field of handles) and marks it -1.
  void close_host_end(int32_t* fd);

  Runtime* rt = nullptr;
  vorlet_v2_HostHandles handles{};
  Status opened = Status::io;
};

}  // namespace vorlet::v2::test
