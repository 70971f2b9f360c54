/* A small host of the vorlet v2 runtime: creates a runtime, prints what the
 * library calls its codes and flags, builds and reads back an envelope
 * through the flat views, and takes the runtime down again. */
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

  /* An envelope without protobuf: build it from a spec, read it back. */
  vorlet_v2_HeaderEntry headers[] = {{"tenant", "acme"}};
  vorlet_v2_EnvelopeSpec spec = {0};
  spec.struct_size = sizeof spec;
  spec.message_id = "demo-1";
  spec.source = "demo-host";
  spec.target = "svc.echo";
  spec.reply_to = "demo-host";
  spec.kind = 1; /* request */
  spec.payload = "hello";
  spec.payload_len = 5;
  spec.headers = headers;
  spec.header_count = 1;
  void* bytes = NULL;
  uint64_t len = 0;
  int32_t status = vorlet_v2_transport_build_envelope(&spec, &bytes, &len);
  printf("build_envelope -> %s, %llu bytes\n", vorlet_v2_status_name(status), (unsigned long long)len);
  if (status == VORLET_V2_OK) {
    vorlet_v2_EnvelopeView view;
    vorlet_v2_transport_envelope_view_init(&view);
    status = vorlet_v2_transport_parse_envelope(bytes, len, &view);
    if (status == VORLET_V2_OK) {
      printf("parsed: id %s, %s -> %s, %llu payload bytes, header %s=%s\n", view.message_id, view.source,
             view.target, (unsigned long long)view.payload_len, view.headers[0].key, view.headers[0].value);
    }
    vorlet_v2_transport_envelope_view_cleanup(&view);
    vorlet_v2_transport_buffer_release(bytes);
  }

  vorlet_v2_runtime_destroy(runtime);
  printf("runtime destroyed\n");
  return 0;
}
