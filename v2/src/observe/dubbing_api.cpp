// Exported entry points of the dubbing-job registry.
#include "observe/dubbing_registry.h"
#include "runtime/runtime.h"
#include "vorlet_v2.h"

using namespace vorlet::v2;

extern "C" {

int32_t vorlet_v2_runtime_submit_dubbing_job(vorlet_v2_Runtime* runtime, const vorlet_v2_DubbingJobRequest* request,
                                             uint64_t* handle_out) {
  return to_c(dubbing_registry_submit_job(from_handle(runtime), request, handle_out));
}

int32_t vorlet_v2_runtime_publish_dubbing_job_update(vorlet_v2_Runtime* runtime,
                                                     const vorlet_v2_DubbingJobUpdate* update) {
  return to_c(dubbing_registry_publish_update(from_handle(runtime), update));
}

int32_t vorlet_v2_runtime_cancel_dubbing_job(vorlet_v2_Runtime* runtime, uint64_t handle) {
  return to_c(dubbing_registry_cancel_job(from_handle(runtime), handle));
}

int32_t vorlet_v2_runtime_get_dubbing_job(vorlet_v2_Runtime* runtime, uint64_t handle,
                                          vorlet_v2_DubbingJobRecord* out) {
  return to_c(dubbing_registry_get_job(from_handle(runtime), handle, out));
}

int32_t vorlet_v2_runtime_list_dubbing_jobs(vorlet_v2_Runtime* runtime, uint64_t* handles, uint64_t capacity,
                                            uint64_t* count_out) {
  return to_c(dubbing_registry_list_jobs(from_handle(runtime), handles, capacity, count_out));
}

}  // extern "C"
