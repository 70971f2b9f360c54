#include "support/host_runtime.h"

#include "platform/pipe.h"
#include "runtime/host_pipes.h"

namespace vorlet::v2::test {

HostRuntime::HostRuntime(int32_t hint, uint32_t flags) {
  const vorlet_v2_RuntimeOptions options{"test", "host", 0, hint};
  rt = runtime_create(&options);
  handles.struct_size = sizeof handles;
  handles.flags = flags;
  if (rt != nullptr) opened = runtime_get_host_handles(rt, &handles);
}

HostRuntime::~HostRuntime() {
  runtime_destroy(rt);
  if (opened != Status::ok) return;
  for (int32_t* fd : {&handles.request_write_fd, &handles.response_read_fd, &handles.deadletter_read_fd,
                      &handles.control_write_fd, &handles.monitor_read_fd, &handles.delivered_read_fd}) {
    close_host_end(fd);
  }
}

void HostRuntime::close_host_end(int32_t* fd) {
  platform::fd_close(*fd);
  *fd = -1;
}

}  // namespace vorlet::v2::test
