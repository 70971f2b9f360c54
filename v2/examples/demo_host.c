/* A small host of the vorlet v2 runtime: creates a runtime, prints what the
 * library calls its codes and flags, and takes the runtime down again. */
#include <stdio.h>

#include "vorlet_v2.h"

int main(void) {
  vorlet_v2_RuntimeOptions options = {"demo-host", "example", 1, 64};
  vorlet_v2_Runtime* runtime = vorlet_v2_runtime_create(&options);
  if (runtime == NULL) {
    fprintf(stderr, "demo: runtime_create failed\n");
    return 1;
  }
  printf("runtime created (state %s)\n", vorlet_v2_runtime_state_name(VORLET_V2_RUNTIME_CREATED));

  printf("status codes:");
  for (int32_t status = 0; status >= -7; --status) printf(" %d=%s", status, vorlet_v2_status_name(status));
  printf("\n");

  printf("deadletter reasons:");
  for (uint32_t reason = 0; reason <= 14; ++reason) printf(" %u=%s", reason, vorlet_v2_deadletter_reason_name(reason));
  printf("\n");

  char text[512];
  uint32_t features = 0x20021u;
  uint64_t n = vorlet_v2_format_runtime_feature_flags(features, text, sizeof text);
  printf("features 0x%x -> %s (%llu characters)\n", features, text, (unsigned long long)n);
  uint32_t health = 0x0Fu;
  n = vorlet_v2_format_health_flags(health, text, sizeof text);
  printf("health 0x%x -> %s (%llu characters)\n", health, text, (unsigned long long)n);

  vorlet_v2_runtime_destroy(runtime);
  printf("runtime destroyed\n");
  return 0;
}
