/* A small host of the vorlet v2 runtime: two runtimes in one process, joined
 * over loopback TCP. Each gets its route snapshot as a JSON control envelope
 * (encoded here by hand, without protobuf), is started, and is then fed
 * envelopes:
 *   1. a request, built through the flat views, that runtime A delivers to
 *      its own host;
 *   2. a request that A's host asks through an ask client: A sends it to B,
 *      whose host answers it with the raw reply builder, and the ticket
 *      collects the response;
 *   3. a request asked for a target no route knows: the ticket collects the
 *      deadletter.
 * It prints what each host reads, with the names of reasons and events, and
 * takes both runtimes down again. */
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "vorlet_v2.h"

typedef struct Host {
  const char* name;
  vorlet_v2_Runtime* runtime;
  vorlet_v2_HostHandles handles;
  /* The host reads its delivered-request pipe itself; an ask client reads
   * the response and deadletter pipes of the runtime it asks through. */
  vorlet_v2_FrameReader* delivered;
  uint16_t port;
} Host;

/* ---- a control envelope, encoded by hand ---- */

static size_t put_varint(uint8_t* out, uint64_t v) {
  size_t n = 0;
  while (v >= 0x80) {
    out[n++] = (uint8_t)(v | 0x80);
    v >>= 7;
  }
  out[n++] = (uint8_t)v;
  return n;
}

static size_t put_number(uint8_t* out, uint32_t field, uint64_t v) {
  size_t n = put_varint(out, (uint64_t)field << 3);
  return n + put_varint(out + n, v);
}

static size_t put_bytes(uint8_t* out, uint32_t field, const char* bytes, size_t length) {
  size_t n = put_varint(out, ((uint64_t)field << 3) | 2);
  n += put_varint(out + n, length);
  memcpy(out + n, bytes, length);
  return n + length;
}

/* ControlEnvelope {generation, kind APPLY_SNAPSHOT, payload_format JSON,
 * payload_type ROUTE_SNAPSHOT, payload} applied through the call. */
static int32_t apply_json_snapshot(Host* host, uint64_t generation, const char* json) {
  uint8_t envelope[2048];
  size_t n = 0;
  if (strlen(json) + 64 > sizeof envelope) return VORLET_V2_INVALID_ARG;
  n += put_number(envelope + n, 2, generation);
  n += put_number(envelope + n, 3, VORLET_V2_CONTROL_KIND_APPLY_SNAPSHOT);
  n += put_number(envelope + n, 4, VORLET_V2_CONFIG_FORMAT_JSON);
  n += put_number(envelope + n, 5, VORLET_V2_CONTROL_PAYLOAD_TYPE_ROUTE_SNAPSHOT);
  n += put_bytes(envelope + n, 7, json, strlen(json));
  return vorlet_v2_runtime_apply_control_envelope(host->runtime, envelope, n);
}

/* ---- the host's side of the pipes ---- */

static int open_host(Host* host, const char* name) {
  vorlet_v2_RuntimeOptions options = {"demo-host", name, 0, 64};
  memset(host, 0, sizeof *host);
  host->name = name;
  host->runtime = vorlet_v2_runtime_create(&options);
  if (host->runtime == NULL) return 0;
  host->handles.struct_size = sizeof host->handles;
  host->handles.flags = VORLET_V2_HOST_HANDLE_DELIVERED_PIPE;
  if (vorlet_v2_runtime_get_host_handles(host->runtime, &host->handles) != VORLET_V2_OK) return 0;
  host->delivered = vorlet_v2_frame_reader_create(host->handles.delivered_read_fd, 0);
  return host->delivered != NULL;
}

static void close_host(Host* host) {
  int fds[] = {host->handles.request_write_fd, host->handles.response_read_fd, host->handles.deadletter_read_fd,
               host->handles.control_write_fd, host->handles.monitor_read_fd, host->handles.delivered_read_fd};
  vorlet_v2_frame_reader_destroy(host->delivered);
  vorlet_v2_runtime_destroy(host->runtime);
  for (size_t i = 0; i < sizeof fds / sizeof fds[0]; ++i) {
    if (fds[i] > 0) close(fds[i]);
  }
}

/* One frame from the delivered-request pipe; NULL when none came, or when
 * none of its bytes came for five seconds. Until the frame is whole the host
 * waits in poll: the reader takes only the bytes of the frame at hand, so
 * the pipe polls readable while the next bytes wait in it. */
static void* read_frame(Host* host, uint64_t* length) {
  struct pollfd readable = {host->handles.delivered_read_fd, POLLIN, 0};
  for (;;) {
    void* frame = NULL;
    int32_t status = vorlet_v2_frame_read_try(host->delivered, &frame, length);
    if (status == VORLET_V2_OK) return frame;
    if (status != VORLET_V2_WOULD_BLOCK) break;
    int ready = poll(&readable, 1, 5000);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
  }
  printf("  [%s] nothing arrived\n", host->name);
  return NULL;
}

/* ---- envelopes through the flat views ---- */

static int32_t send_request(Host* host, const char* id, const char* target, const char* text) {
  vorlet_v2_EnvelopeSpec spec;
  memset(&spec, 0, sizeof spec);
  spec.struct_size = sizeof spec;
  spec.message_id = id;
  spec.correlation_id = id;
  spec.source = host->name;
  spec.target = target;
  spec.kind = VORLET_V2_MESSAGE_KIND_REQUEST;
  spec.timeout_ms = 3000;
  spec.payload = text;
  spec.payload_len = strlen(text);
  void* bytes = NULL;
  uint64_t length = 0;
  int32_t status = vorlet_v2_transport_build_envelope(&spec, &bytes, &length);
  if (status == VORLET_V2_OK) status = vorlet_v2_runtime_submit_envelope(host->runtime, bytes, length);
  vorlet_v2_transport_buffer_release(bytes);
  return status;
}

/* Prints an envelope that came through `where`. */
static int print_envelope(Host* host, const char* where, const void* bytes, uint64_t length) {
  vorlet_v2_EnvelopeView view;
  vorlet_v2_transport_envelope_view_init(&view);
  int ok = vorlet_v2_transport_parse_envelope(bytes, length, &view) == VORLET_V2_OK;
  if (ok) {
    printf("  [%s] %s: %s %s from %s to %s%s%s: \"%.*s\"\n", host->name, where,
           view.kind == VORLET_V2_MESSAGE_KIND_RESPONSE ? "response" : "request", view.message_id, view.source,
           view.target, view.kind == VORLET_V2_MESSAGE_KIND_RESPONSE ? ", answering " : "",
           view.kind == VORLET_V2_MESSAGE_KIND_RESPONSE ? view.correlation_id : "", (int)view.payload_len,
           (const char*)view.payload);
  }
  vorlet_v2_transport_envelope_view_cleanup(&view);
  return ok;
}

static int print_deadletter(Host* host, const char* where, const void* bytes, uint64_t length) {
  vorlet_v2_DeadletterView view;
  vorlet_v2_transport_deadletter_view_init(&view);
  int ok = vorlet_v2_transport_parse_deadletter(bytes, length, &view) == VORLET_V2_OK;
  if (ok) {
    const vorlet_v2_EnvelopeView* original = &view.original_envelope;
    printf("  [%s] %s: %s to %s came back, reason %s, \"%s\", generation %llu\n", host->name, where,
           original->message_id != NULL ? original->message_id : "an envelope",
           original->target != NULL ? original->target : "?", vorlet_v2_deadletter_reason_name((uint32_t)view.reason),
           view.detail, (unsigned long long)view.active_generation);
  }
  vorlet_v2_transport_deadletter_view_cleanup(&view);
  return ok;
}

/* Reads one delivered request and prints it. */
static int read_request(Host* host) {
  uint64_t length = 0;
  void* frame = read_frame(host, &length);
  if (frame == NULL) return 0;
  int ok = print_envelope(host, "delivered-request pipe", frame, length);
  vorlet_v2_frame_release(frame);
  return ok;
}

/* The host's service: reads one delivered request and answers it with the
 * raw reply builder. */
static int answer_request(Host* host, const char* text) {
  uint64_t length = 0;
  void* frame = read_frame(host, &length);
  if (frame == NULL) return 0;
  int ok = print_envelope(host, "delivered-request pipe", frame, length);
  vorlet_v2_RawReplyOptions reply;
  memset(&reply, 0, sizeof reply);
  reply.struct_size = sizeof reply;
  reply.request = frame;
  reply.request_len = length;
  reply.source = host->name;
  reply.payload = text;
  reply.payload_len = strlen(text);
  void* bytes = NULL;
  uint64_t bytes_length = 0;
  int32_t status = vorlet_v2_client_build_raw_reply(&reply, &bytes, &bytes_length);
  if (status == VORLET_V2_OK) status = vorlet_v2_runtime_submit_envelope(host->runtime, bytes, bytes_length);
  printf("  [%s] host answers with the raw reply builder: %s\n", host->name, vorlet_v2_status_name(status));
  vorlet_v2_client_bytes_release(bytes);
  vorlet_v2_frame_release(frame);
  return ok && status == VORLET_V2_OK;
}

/* Asks a two-way request through the client and prints what its ticket
 * collects: a response or a deadletter, whose kind is returned (0 for
 * none). */
static int32_t ask(Host* host, vorlet_v2_AskClientHandle* client, const char* id, const char* target,
                   const char* text, Host* server, const char* answer) {
  vorlet_v2_RawRequestOptions request;
  memset(&request, 0, sizeof request);
  request.struct_size = sizeof request;
  request.message_id = id;
  request.source = host->name;
  request.target = target;
  request.reply_to = host->name;
  request.payload = text;
  request.payload_len = strlen(text);
  request.timeout_ms = 3000;
  void* bytes = NULL;
  uint64_t length = 0;
  vorlet_v2_AskTicket* ticket = NULL;
  int32_t status = vorlet_v2_client_build_raw_request(&request, &bytes, &length);
  if (status == VORLET_V2_OK) status = vorlet_v2_ask_client_begin(client, bytes, length, &ticket);
  vorlet_v2_client_bytes_release(bytes);
  printf("  [%s] ask %s -> %s\n", host->name, id, vorlet_v2_status_name(status));
  if (status != VORLET_V2_OK) return 0;
  if (server != NULL) answer_request(server, answer);

  int32_t kind = 0;
  status = vorlet_v2_ask_ticket_await(ticket, 5000, &kind, &bytes, &length);
  if (status != VORLET_V2_OK) {
    printf("  [%s] ticket of %s: %s\n", host->name, vorlet_v2_ask_ticket_message_id(ticket),
           vorlet_v2_status_name(status));
  } else if (kind == VORLET_V2_REPLY_KIND_RESPONSE) {
    print_envelope(host, "ticket", bytes, length);
  } else {
    print_deadletter(host, "ticket", bytes, length);
  }
  vorlet_v2_client_bytes_release(bytes);
  vorlet_v2_ask_ticket_destroy(ticket);
  return kind;
}

static void print_events(Host* host) {
  vorlet_v2_EventLogSnapshot log;
  memset(&log, 0, sizeof log);
  if (vorlet_v2_runtime_get_event_log_snapshot(host->runtime, 0, 0, &log) != VORLET_V2_OK) return;
  printf("  [%s] events:", host->name);
  for (uint64_t i = 0; i < log.count; ++i) {
    printf("%s %s", i == 0 ? "" : ",", vorlet_v2_monitor_event_kind_name(log.entries[i].kind));
  }
  printf("\n");
  vorlet_v2_runtime_free_event_log_snapshot(&log);
}

/* A loopback port to listen on, below 32768, where the system's range for
 * the local ports of outgoing connections begins, so that no connection
 * holds it. */
static uint16_t pick_port(uint64_t attempt, unsigned salt) {
  return (uint16_t)(20000 + ((uint64_t)getpid() * 7 + attempt * 113 + salt) % 12000);
}

/* B's snapshot, B started; then A's, naming B's port, A started. Each
 * listener that cannot bind tries another port, under a new generation. */
static int bring_up(Host* a, Host* b) {
  char json[1024];
  int started = 0;
  for (uint64_t generation = 1; generation <= 8 && !started; ++generation) {
    b->port = pick_port(generation, 0);
    snprintf(json, sizeof json,
             "{\"generation\": %llu, \"routes\": ["
             "{\"target\": \"svc.remote\", \"strategy\": \"ROUTE_RESOLUTION_STRATEGY_SINGLE_OWNER\","
             " \"endpoints\": [{\"host\": \"127.0.0.1\", \"port\": %u, \"flags\": 1}]}]}",
             (unsigned long long)generation, b->port);
    int32_t status = apply_json_snapshot(b, generation, json);
    if (status != VORLET_V2_OK) {
      printf("B's snapshot refused: %s\n", vorlet_v2_status_name(status));
      return 0;
    }
    started = vorlet_v2_runtime_start(b->runtime) == VORLET_V2_OK;
  }
  if (!started) {
    printf("no free loopback port found for B\n");
    return 0;
  }
  started = 0;
  for (uint64_t generation = 1; generation <= 8 && !started; ++generation) {
    a->port = pick_port(generation, 6000);
    if (a->port == b->port) continue;
    snprintf(json, sizeof json,
             "{\"generation\": %llu, \"routes\": ["
             "{\"target\": \"svc.echo\", \"strategy\": \"ROUTE_RESOLUTION_STRATEGY_SINGLE_OWNER\","
             " \"endpoints\": [{\"host\": \"127.0.0.1\", \"port\": %u, \"flags\": 1}]},"
             "{\"target\": \"svc.remote\", \"strategy\": \"ROUTE_RESOLUTION_STRATEGY_SINGLE_OWNER\","
             " \"endpoints\": [{\"host\": \"127.0.0.1\", \"port\": %u}]}]}",
             (unsigned long long)generation, a->port, b->port);
    int32_t status = apply_json_snapshot(a, generation, json);
    if (status != VORLET_V2_OK) {
      printf("A's snapshot refused: %s\n", vorlet_v2_status_name(status));
      return 0;
    }
    started = vorlet_v2_runtime_start(a->runtime) == VORLET_V2_OK;
  }
  if (!started) {
    printf("no free loopback port found for A\n");
    return 0;
  }
  printf("JSON snapshots applied: A serves svc.echo on port %u and sends svc.remote to B;\n"
         "B serves svc.remote on port %u. Both started.\n",
         a->port, b->port);
  return 1;
}

int main(void) {
  Host a, b;
  if (!open_host(&a, "A") || !open_host(&b, "B")) {
    fprintf(stderr, "demo: cannot create the runtimes\n");
    return 1;
  }
  int ok = bring_up(&a, &b);
  /* From here on A's response and deadletter pipes belong to the client. */
  vorlet_v2_AskClientHandle* client = ok ? vorlet_v2_ask_client_create(a.runtime, &a.handles) : NULL;
  if (ok && client == NULL) {
    printf("ask client could not be created\n");
    ok = 0;
  }
  if (ok) {
    printf("\n1. local delivery: A's host sends req-1 to svc.echo\n");
    send_request(&a, "req-1", "svc.echo", "hello, me");
    ok = read_request(&a) && ok;

    printf("\n2. remote round trip: A's host asks req-2 of svc.remote\n");
    ok = ask(&a, client, "req-2", "svc.remote", "hello, B", &b, "hello back from B") == VORLET_V2_REPLY_KIND_RESPONSE &&
         ok;

    printf("\n3. route miss: A's host asks req-3 of svc.nowhere\n");
    ok = ask(&a, client, "req-3", "svc.nowhere", "anyone?", NULL, NULL) == VORLET_V2_REPLY_KIND_DEADLETTER && ok;

    printf("\n");
    vorlet_v2_RuntimeStats stats;
    memset(&stats, 0, sizeof stats);
    stats.struct_size = sizeof stats;
    if (vorlet_v2_runtime_get_stats(a.runtime, &stats) == VORLET_V2_OK) {
      printf("  [A] stats: %llu response forwarded from a peer, %llu route miss, %llu deadletter\n",
             (unsigned long long)stats.remote_responses_forwarded, (unsigned long long)stats.route_misses,
             (unsigned long long)stats.deadletters_emitted);
    }
    print_events(&a);
    print_events(&b);
  }
  vorlet_v2_ask_client_destroy(client);

  printf("\nstop A: %s, stop B: %s\n", vorlet_v2_status_name(vorlet_v2_runtime_stop(a.runtime)),
         vorlet_v2_status_name(vorlet_v2_runtime_stop(b.runtime)));
  close_host(&a);
  close_host(&b);
  printf("both runtimes destroyed\n");
  return ok ? 0 : 1;
}
