// Exported lifecycle entry points of the runtime.
#include <cstddef>

#include "runtime/ingress.h"
#include "runtime/lifecycle.h"
#include "runtime/runtime.h"
#include "vorlet_v2.h"

using namespace vorlet::v2;

// The create options' layout is part of the interface.
static_assert(sizeof(vorlet_v2_RuntimeOptions) == 24);
static_assert(offsetof(vorlet_v2_RuntimeOptions, option_text_a) == 0);
static_assert(offsetof(vorlet_v2_RuntimeOptions, option_text_b) == 8);
static_assert(offsetof(vorlet_v2_RuntimeOptions, option_flag) == 16);
static_assert(offsetof(vorlet_v2_RuntimeOptions, queue_capacity) == 20);

extern "C" {

vorlet_v2_Runtime* vorlet_v2_runtime_create(const vorlet_v2_RuntimeOptions* options) {
  return to_handle(runtime_create(options));
}

void vorlet_v2_runtime_destroy(vorlet_v2_Runtime* runtime) { runtime_destroy(from_handle(runtime)); }

int32_t vorlet_v2_runtime_start(vorlet_v2_Runtime* runtime) { return to_c(lifecycle_start(from_handle(runtime))); }

int32_t vorlet_v2_runtime_stop(vorlet_v2_Runtime* runtime) { return to_c(lifecycle_stop(from_handle(runtime))); }

int32_t vorlet_v2_runtime_submit_envelope(vorlet_v2_Runtime* runtime, const void* bytes, uint64_t length) {
  return to_c(ingress_submit_envelope(from_handle(runtime), bytes, length));
}

}  // extern "C"
