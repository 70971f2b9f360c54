// Exported entry points of the host pipes.
#include "runtime/host_pipes.h"
#include "runtime/runtime.h"
#include "vorlet_v2.h"

using namespace vorlet::v2;

extern "C" {

int32_t vorlet_v2_runtime_get_host_handles(vorlet_v2_Runtime* runtime, vorlet_v2_HostHandles* handles) {
  return to_c(host_pipes_get_handles(from_handle(runtime), handles));
}

int32_t vorlet_v2_monitor_consume(int32_t monitor_read_fd, uint64_t* drained_out) {
  return to_c(monitor_consume(monitor_read_fd, drained_out));
}

}  // extern "C"
