/* A small host of the vorlet v2 runtime: creates a runtime, prints what the
 * library calls its codes and flags, reads its health and statistics, logs
 * in through the credential table, builds and reads back an envelope
 * through the flat views, takes its pipes, applies a flat route snapshot,
 * starts and stops it, and takes the runtime down again. */
#include <stdio.h>
#include <unistd.h>

#include "vorlet_v2.h"

/* The runtime's state and health flags by name. */
static void print_health(vorlet_v2_Runtime* runtime, const char* when) {
  vorlet_v2_RuntimeHealth health = {sizeof health, 0, 0, 0};
  char flags[256];
  if (vorlet_v2_runtime_get_health(runtime, &health) != VORLET_V2_OK) return;
  vorlet_v2_format_health_flags(health.flags, flags, sizeof flags);
  printf("health %s: state %s, generation %llu, flags %s\n", when, vorlet_v2_runtime_state_name(health.state),
         (unsigned long long)health.generation, flags);
}

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

  /* Health and statistics, read directly and through the auth gate. */
  print_health(runtime, "after create");
  vorlet_v2_RuntimeStats stats = {0};
  stats.struct_size = sizeof stats;
  if (vorlet_v2_runtime_get_stats(runtime, &stats) == VORLET_V2_OK) {
    printf("stats: queue capacity %llu, frame limit %llu bytes, response pipe queue %llu frames\n",
           (unsigned long long)stats.queue_capacity, (unsigned long long)stats.max_frame_bytes,
           (unsigned long long)stats.response_pipe_capacity);
  }
  vorlet_v2_AuthCredential credentials[] = {{sizeof(vorlet_v2_AuthCredential), "ops", "demo-secret",
                                             VORLET_V2_AUTH_ROLE_OPERATOR, 0}};
  vorlet_v2_AuthConfig auth_config = {sizeof auth_config, credentials, 1};
  vorlet_v2_AuthContext context = {sizeof context, 0, 0};
  vorlet_v2_AuthResult auth = {sizeof auth, 0, 0};
  if (vorlet_v2_runtime_apply_auth_config(runtime, &auth_config) == VORLET_V2_OK &&
      vorlet_v2_runtime_login(runtime, "ops", "demo-secret", &context, &auth) == VORLET_V2_OK) {
    printf("login: %s as %s\n", vorlet_v2_runtime_auth_result_code_name(auth.result_code),
           vorlet_v2_runtime_auth_role_name(auth.role));
    vorlet_v2_RuntimeHealth gated = {sizeof gated, 0, 0, 0};
    vorlet_v2_runtime_get_health_with_auth_context(runtime, &context, &gated, &auth);
    printf("gated health read: %s, flags 0x%x\n", vorlet_v2_runtime_auth_result_code_name(auth.result_code),
           gated.flags);
    vorlet_v2_runtime_clear_auth_context(&context);
  }

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

  /* The pipes, a route snapshot without protobuf, then a start and a stop. */
  vorlet_v2_HostHandles handles = {0};
  handles.struct_size = sizeof handles;
  handles.flags = VORLET_V2_HOST_HANDLE_MONITOR_PIPE | VORLET_V2_HOST_HANDLE_DELIVERED_PIPE;
  status = vorlet_v2_runtime_get_host_handles(runtime, &handles);
  printf("get_host_handles -> %s (request %d, response %d, deadletter %d, control %d, monitor %d, delivered %d)\n",
         vorlet_v2_status_name(status), handles.request_write_fd, handles.response_read_fd,
         handles.deadletter_read_fd, handles.control_write_fd, handles.monitor_read_fd, handles.delivered_read_fd);
  if (status != VORLET_V2_OK) {
    vorlet_v2_runtime_destroy(runtime);
    return 1;
  }

  vorlet_v2_EndpointDesc echo_endpoints[] = {{"10.0.0.7", 7000, 1, 0}};
  vorlet_v2_EndpointDesc store_endpoints[] = {{"10.0.0.8", 7000, 3, 0}, {"10.0.0.9", 7000, 1, 0}};
  vorlet_v2_RouteDesc routes[] = {
      {"svc.echo", VORLET_V2_ROUTE_STRATEGY_SINGLE_OWNER, NULL, 0, echo_endpoints, 1},
      {"svc.store", VORLET_V2_ROUTE_STRATEGY_RENDEZVOUS_HASH, "tenant", 0, store_endpoints, 2},
  };
  vorlet_v2_RouteSnapshotDesc snapshot = {1, routes, 2};
  vorlet_v2_OverloadPolicyDesc policy = {sizeof policy, 8, VORLET_V2_OVERLOAD_MODE_REJECT,
                                         VORLET_V2_OVERLOAD_MODE_REJECT, VORLET_V2_OVERLOAD_MODE_DROP_ONE_WAY_FIRST, 0};
  status = vorlet_v2_runtime_apply_overload_policy(runtime, &policy);
  printf("apply_overload_policy (remote outbound %s, reserve %llu) -> %s\n",
         vorlet_v2_overload_mode_name(policy.remote_outbound_mode),
         (unsigned long long)policy.remote_outbound_reply_reserve_slots, vorlet_v2_status_name(status));
  for (uint64_t i = 0; i < snapshot.route_count; ++i) {
    printf("  route %s: %s, %llu endpoint(s)\n", routes[i].target, vorlet_v2_route_strategy_name(routes[i].strategy),
           (unsigned long long)routes[i].endpoint_count);
  }
  status = vorlet_v2_runtime_apply_control_snapshot(runtime, &snapshot);
  printf("apply_control_snapshot (generation 1) -> %s\n", vorlet_v2_status_name(status));
  status = vorlet_v2_runtime_apply_control_snapshot(runtime, &snapshot);
  printf("apply_control_snapshot (generation 1 again) -> %s\n", vorlet_v2_status_name(status));

  status = vorlet_v2_runtime_start(runtime);
  printf("runtime_start -> %s (state %s)\n", vorlet_v2_status_name(status),
         vorlet_v2_runtime_state_name(status == VORLET_V2_OK ? VORLET_V2_RUNTIME_STARTED : VORLET_V2_RUNTIME_CREATED));
  print_health(runtime, "after start");
  status = vorlet_v2_runtime_stop(runtime);
  printf("runtime_stop -> %s (state %s)\n", vorlet_v2_status_name(status),
         vorlet_v2_runtime_state_name(status == VORLET_V2_OK ? VORLET_V2_RUNTIME_STOPPED : VORLET_V2_RUNTIME_STARTED));
  print_health(runtime, "after stop");
  status = vorlet_v2_runtime_start(runtime);
  printf("runtime_start after stop -> %s\n", vorlet_v2_status_name(status));
  status = vorlet_v2_frame_write(handles.request_write_fd, "late", 4);
  printf("frame_write into the request pipe after stop -> %s\n", vorlet_v2_status_name(status));

  vorlet_v2_runtime_destroy(runtime);
  printf("runtime destroyed\n");
  int fds[] = {handles.request_write_fd, handles.response_read_fd, handles.deadletter_read_fd,
               handles.control_write_fd, handles.monitor_read_fd, handles.delivered_read_fd};
  for (size_t i = 0; i < sizeof fds / sizeof fds[0]; ++i) {
    if (fds[i] >= 0) close(fds[i]);
  }
  return 0;
}
