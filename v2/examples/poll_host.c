/* A host that serves requests and asks its own, in the steps of
 * docs/host-guide.md, which quotes it. Two runtimes in one process, joined
 * over loopback TCP:
 *   - the server's host waits in one poll loop on its delivered-request,
 *     response, deadletter and monitor pipes: it answers every request,
 *     reads the answer to a request of its own and the deadletter of an
 *     envelope nobody serves, and follows the event log when the monitor
 *     pipe rings;
 *   - the client's host asks from several threads through an ask client,
 *     each thread keeping a window of asks in flight, the windows together
 *     no larger than the client runtime's queue capacity, so that no ask
 *     finds a queue full.
 * It exits 0 only when every ask got one answer, the response to it, and
 * the server answered every request once. */
#define _POSIX_C_SOURCE 200809L
#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "vorlet_v2.h"

enum { kAskThreads = 4, kAsksPerThread = 500, kMaxWindow = 1024 };

typedef struct Server {
  vorlet_v2_Runtime* runtime;
  vorlet_v2_HostHandles handles;
  vorlet_v2_FrameReader* delivered;
  vorlet_v2_FrameReader* responses;
  vorlet_v2_FrameReader* deadletters;
  uint64_t event_cursor;
  uint64_t requests_answered;
  uint64_t own_responses;
  uint64_t own_deadletters;
  uint64_t events_seen;
  int failed;
} Server;

typedef struct Asker {
  vorlet_v2_AskClientHandle* client;
  int index;
  int window;
  int answered;
  int failed;
  pthread_t thread;
} Asker;

/* ---- step 1: a runtime and its pipes ---- */

static vorlet_v2_Runtime* create_runtime(const char* name, vorlet_v2_HostHandles* handles) {
  /* The two texts and the flag are the host's own: the runtime keeps them
   * and reports them in vorlet_v2_runtime_get_config, nothing more. */
  vorlet_v2_RuntimeOptions options = {"poll-host", name, 0, 64};
  vorlet_v2_Runtime* runtime = vorlet_v2_runtime_create(&options);
  if (runtime == NULL) return NULL;
  memset(handles, 0, sizeof *handles);
  handles->struct_size = sizeof *handles;
  handles->flags = VORLET_V2_HOST_HANDLE_DELIVERED_PIPE | VORLET_V2_HOST_HANDLE_MONITOR_PIPE;
  if (vorlet_v2_runtime_get_host_handles(runtime, handles) != VORLET_V2_OK) {
    vorlet_v2_runtime_destroy(runtime);
    return NULL;
  }
  return runtime;
}

static void close_handles(const vorlet_v2_HostHandles* handles) {
  const int32_t fds[] = {handles->request_write_fd, handles->response_read_fd, handles->deadletter_read_fd,
                         handles->control_write_fd, handles->monitor_read_fd,  handles->delivered_read_fd};
  for (size_t i = 0; i < sizeof fds / sizeof fds[0]; ++i) {
    if (fds[i] >= 0) close(fds[i]);
  }
}

/* ---- step 2: routes, and start ---- */

/* The server serves svc.work and svc.self itself and listens on its port;
 * the client sends svc.work to the server. */
static int32_t apply_routes(vorlet_v2_Runtime* server, vorlet_v2_Runtime* client, uint64_t generation,
                            uint16_t port) {
  vorlet_v2_EndpointDesc here = {"127.0.0.1", port, 1, VORLET_V2_ENDPOINT_FLAG_LOCAL};
  vorlet_v2_EndpointDesc there = {"127.0.0.1", port, 1, 0};
  vorlet_v2_RouteDesc served[] = {
      {"svc.work", VORLET_V2_ROUTE_STRATEGY_SINGLE_OWNER, NULL, 0, &here, 1},
      {"svc.self", VORLET_V2_ROUTE_STRATEGY_SINGLE_OWNER, NULL, 0, &here, 1},
  };
  vorlet_v2_RouteDesc asked[] = {{"svc.work", VORLET_V2_ROUTE_STRATEGY_SINGLE_OWNER, NULL, 0, &there, 1}};
  vorlet_v2_RouteSnapshotDesc server_routes = {generation, served, 2};
  vorlet_v2_RouteSnapshotDesc client_routes = {generation, asked, 1};
  int32_t status = vorlet_v2_runtime_apply_control_snapshot(server, &server_routes);
  if (status == VORLET_V2_OK) status = vorlet_v2_runtime_apply_control_snapshot(client, &client_routes);
  return status;
}

/* Both runtimes routed and started; another port is tried, under a new
 * generation, when the server's listener cannot bind. The ports lie below
 * 32768, where the system's range for the local ports of outgoing
 * connections begins, so that no connection holds the one picked. */
static int start_both(Server* s, vorlet_v2_Runtime* client) {
  for (uint64_t attempt = 1; attempt <= 8; ++attempt) {
    uint16_t port = (uint16_t)(20000 + ((uint64_t)getpid() * 11 + attempt * 127) % 12000);
    if (apply_routes(s->runtime, client, attempt, port) != VORLET_V2_OK) return 0;
    if (vorlet_v2_runtime_start(s->runtime) != VORLET_V2_OK) continue;
    if (vorlet_v2_runtime_start(client) != VORLET_V2_OK) return 0;
    printf("server listens on 127.0.0.1:%u\n", port);
    return 1;
  }
  return 0;
}

/* ---- step 3: answering a request ---- */

/* The response to a delivered request, built by the raw reply builder: kind
 * response, correlation_id the request's message_id, addressed to the
 * request's source. */
static int answer(Server* s, const void* request, uint64_t length) {
  vorlet_v2_EnvelopeView view;
  vorlet_v2_transport_envelope_view_init(&view);
  int ok = vorlet_v2_transport_parse_envelope(request, length, &view) == VORLET_V2_OK;
  char text[96];
  snprintf(text, sizeof text, "re: %.*s", ok ? (int)view.payload_len : 0, ok ? (const char*)view.payload : "");
  vorlet_v2_transport_envelope_view_cleanup(&view);

  vorlet_v2_RawReplyOptions reply;
  memset(&reply, 0, sizeof reply);
  reply.struct_size = sizeof reply;
  reply.request = request;
  reply.request_len = length;
  reply.source = "server";
  reply.payload = text;
  reply.payload_len = strlen(text);
  void* bytes = NULL;
  uint64_t bytes_length = 0;
  int32_t status = vorlet_v2_client_build_raw_reply(&reply, &bytes, &bytes_length);
  if (status == VORLET_V2_OK) status = vorlet_v2_runtime_submit_envelope(s->runtime, bytes, bytes_length);
  vorlet_v2_client_bytes_release(bytes);
  return ok && status == VORLET_V2_OK;
}

/* ---- step 4: one poll loop over the host's pipes ---- */

enum { kDelivered, kResponses, kDeadletters, kMonitor, kPipes };

/* A request of the server's own host to itself, and a one-way envelope for
 * a target no route knows: the answer comes back on the response pipe, the
 * deadletter on the deadletter pipe. */
static int send_own(Server* s, const char* id, const char* target, uint32_t one_way) {
  vorlet_v2_RawRequestOptions request;
  memset(&request, 0, sizeof request);
  request.struct_size = sizeof request;
  request.message_id = id;
  request.source = "server";
  request.target = target;
  request.reply_to = one_way ? NULL : "server";
  request.payload = id;
  request.payload_len = strlen(id);
  request.one_way = one_way;
  void* bytes = NULL;
  uint64_t length = 0;
  int32_t status = vorlet_v2_client_build_raw_request(&request, &bytes, &length);
  if (status == VORLET_V2_OK) status = vorlet_v2_runtime_submit_envelope(s->runtime, bytes, length);
  vorlet_v2_client_bytes_release(bytes);
  return status == VORLET_V2_OK;
}

static void take_frame(Server* s, int pipe, const void* frame, uint64_t length) {
  if (pipe == kDelivered) {
    if (answer(s, frame, length)) {
      s->requests_answered++;
    } else {
      s->failed = 1;
    }
  } else if (pipe == kResponses) {
    s->own_responses++;
  } else {
    vorlet_v2_DeadletterView view;
    vorlet_v2_transport_deadletter_view_init(&view);
    if (vorlet_v2_transport_parse_deadletter(frame, length, &view) == VORLET_V2_OK) {
      printf("server: %s came back: %s, \"%s\"\n", view.original_envelope.message_id,
             vorlet_v2_deadletter_reason_name((uint32_t)view.reason), view.detail);
    }
    vorlet_v2_transport_deadletter_view_cleanup(&view);
    s->own_deadletters++;
  }
}

/* Every whole frame the pipe holds; 0 once it has ended. */
static int drain(Server* s, int pipe, vorlet_v2_FrameReader* reader) {
  for (;;) {
    void* frame = NULL;
    uint64_t length = 0;
    int32_t status = vorlet_v2_frame_read_try(reader, &frame, &length);
    if (status == VORLET_V2_WOULD_BLOCK) return 1;
    if (status != VORLET_V2_OK) {
      if (status != VORLET_V2_CLOSED) s->failed = 1;
      return 0;
    }
    take_frame(s, pipe, frame, length);
    vorlet_v2_frame_release(frame);
  }
}

/* The events recorded since the last look; the monitor pipe only rings. */
static void follow_events(Server* s) {
  if (vorlet_v2_monitor_consume(s->handles.monitor_read_fd, NULL) != VORLET_V2_OK) return;
  vorlet_v2_EventLogSnapshot log;
  memset(&log, 0, sizeof log);
  if (vorlet_v2_runtime_get_event_log_snapshot(s->runtime, s->event_cursor, 0, &log) != VORLET_V2_OK) return;
  for (uint64_t i = 0; i < log.count; ++i) {
    printf("server: event %s\n", vorlet_v2_monitor_event_kind_name(log.entries[i].kind));
    s->event_cursor = log.entries[i].seq;
    s->events_seen++;
  }
  vorlet_v2_runtime_free_event_log_snapshot(&log);
}

/* Until the runtime has stopped: its three frame pipes then end, after the
 * last frame queued for them. */
static void serve(Server* s) {
  struct pollfd fds[kPipes] = {
      [kDelivered] = {s->handles.delivered_read_fd, POLLIN, 0},
      [kResponses] = {s->handles.response_read_fd, POLLIN, 0},
      [kDeadletters] = {s->handles.deadletter_read_fd, POLLIN, 0},
      [kMonitor] = {s->handles.monitor_read_fd, POLLIN, 0},
  };
  vorlet_v2_FrameReader* readers[] = {s->delivered, s->responses, s->deadletters};
  int open_pipes = 3;
  while (open_pipes > 0) {
    if (poll(fds, kPipes, -1) < 0) {
      if (errno == EINTR) continue;
      s->failed = 1;
      return;
    }
    for (int pipe = kDelivered; pipe <= kDeadletters; ++pipe) {
      if (fds[pipe].revents == 0) continue;
      if (!drain(s, pipe, readers[pipe])) {
        fds[pipe].fd = -1; /* poll skips it from now on */
        open_pipes--;
      }
    }
    if (fds[kMonitor].revents & POLLIN) follow_events(s);
  }
}

/* ---- step 5: a window of asks from several threads ---- */

static int begin_ask(Asker* a, int n, vorlet_v2_AskTicket** ticket) {
  char id[48];
  snprintf(id, sizeof id, "ask-%d-%d", a->index, n);
  vorlet_v2_RawRequestOptions request;
  memset(&request, 0, sizeof request);
  request.struct_size = sizeof request;
  request.message_id = id;
  request.source = "client";
  request.target = "svc.work";
  request.reply_to = "client";
  request.payload = id;
  request.payload_len = strlen(id);
  request.timeout_ms = 5000;
  void* bytes = NULL;
  uint64_t length = 0;
  int32_t status = vorlet_v2_client_build_raw_request(&request, &bytes, &length);
  if (status == VORLET_V2_OK) status = vorlet_v2_ask_client_begin(a->client, bytes, length, ticket);
  vorlet_v2_client_bytes_release(bytes);
  return status == VORLET_V2_OK;
}

/* The one answer of an ask: the response whose correlation_id is the ask's
 * message id, carrying the server's answer to it. */
static int is_its_answer(vorlet_v2_AskTicket* ticket, int32_t kind, const void* bytes, uint64_t length) {
  if (kind != VORLET_V2_REPLY_KIND_RESPONSE) return 0;
  const char* id = vorlet_v2_ask_ticket_message_id(ticket);
  char expected[64];
  snprintf(expected, sizeof expected, "re: %s", id);
  vorlet_v2_EnvelopeView view;
  vorlet_v2_transport_envelope_view_init(&view);
  int ok = vorlet_v2_transport_parse_envelope(bytes, length, &view) == VORLET_V2_OK &&
           strcmp(view.correlation_id, id) == 0 && view.payload_len == strlen(expected) &&
           memcmp(view.payload, expected, view.payload_len) == 0;
  vorlet_v2_transport_envelope_view_cleanup(&view);
  return ok;
}

static void* ask_in_window(void* arg) {
  Asker* a = arg;
  vorlet_v2_AskTicket* tickets[kMaxWindow] = {NULL};
  int begun = 0;
  for (int slot = 0; slot < a->window && begun < kAsksPerThread; ++slot) {
    if (!begin_ask(a, begun++, &tickets[slot])) a->failed++;
  }
  /* The oldest ask first; each answer makes room for the next ask. */
  for (int slot = 0; a->answered + a->failed < kAsksPerThread; slot = (slot + 1) % a->window) {
    if (tickets[slot] == NULL) continue;
    int32_t kind = 0;
    void* bytes = NULL;
    uint64_t length = 0;
    int32_t status = vorlet_v2_ask_ticket_await(tickets[slot], 5000, &kind, &bytes, &length);
    if (status == VORLET_V2_OK && is_its_answer(tickets[slot], kind, bytes, length)) {
      a->answered++;
    } else {
      a->failed++;
    }
    vorlet_v2_client_bytes_release(bytes);
    vorlet_v2_ask_ticket_destroy(tickets[slot]);
    tickets[slot] = NULL;
    if (begun < kAsksPerThread && !begin_ask(a, begun++, &tickets[slot])) a->failed++;
  }
  return NULL;
}

/* The windows of all threads together: the queue capacity, which holds every
 * ask still unanswered wherever it waits. */
static int window_per_thread(vorlet_v2_Runtime* runtime, int threads) {
  vorlet_v2_RuntimeConfig config;
  memset(&config, 0, sizeof config);
  config.struct_size = sizeof config;
  if (vorlet_v2_runtime_get_config(runtime, &config) != VORLET_V2_OK) return 1;
  int window = config.queue_capacity / threads;
  if (window > kMaxWindow) window = kMaxWindow;
  return window > 0 ? window : 1;
}

/* ---- step 6: stop and destroy ---- */

typedef struct Run {
  Server* server;
  vorlet_v2_Runtime* client;
  vorlet_v2_AskClientHandle* asks;
  Asker askers[kAskThreads];
} Run;

/* The client side: the askers, then both runtimes stopped. The server's
 * stop ends the poll loop, once the host has read everything. */
static void* drive(void* arg) {
  Run* run = arg;
  for (int i = 0; i < kAskThreads; ++i) pthread_join(run->askers[i].thread, NULL);
  vorlet_v2_ask_client_destroy(run->asks);
  vorlet_v2_runtime_stop(run->client);
  vorlet_v2_runtime_stop(run->server->runtime);
  return NULL;
}

int main(void) {
  Run run;
  Server server;
  vorlet_v2_HostHandles client_handles;
  memset(&run, 0, sizeof run);
  memset(&server, 0, sizeof server);
  run.server = &server;
  server.runtime = create_runtime("server", &server.handles);
  run.client = create_runtime("client", &client_handles);
  if (server.runtime == NULL || run.client == NULL) {
    fprintf(stderr, "poll host: cannot create the runtimes\n");
    return 1;
  }
  server.delivered = vorlet_v2_frame_reader_create(server.handles.delivered_read_fd, 0);
  server.responses = vorlet_v2_frame_reader_create(server.handles.response_read_fd, 0);
  server.deadletters = vorlet_v2_frame_reader_create(server.handles.deadletter_read_fd, 0);
  int ok = server.delivered != NULL && server.responses != NULL && server.deadletters != NULL &&
           start_both(&server, run.client);
  /* The client's response and deadletter pipes belong to the ask client. */
  run.asks = ok ? vorlet_v2_ask_client_create(run.client, &client_handles) : NULL;
  ok = ok && run.asks != NULL && send_own(&server, "own-1", "svc.self", 0) &&
       send_own(&server, "own-2", "svc.nowhere", 1);

  const int window = window_per_thread(run.client, kAskThreads);
  int threads = 0;
  for (; ok && threads < kAskThreads; ++threads) {
    Asker* a = &run.askers[threads];
    a->client = run.asks;
    a->index = threads;
    a->window = window;
    if (pthread_create(&a->thread, NULL, ask_in_window, a) != 0) break;
  }
  pthread_t driver;
  if (ok && threads == kAskThreads && pthread_create(&driver, NULL, drive, &run) == 0) {
    printf("%d threads ask %d each, %d in flight per thread\n", kAskThreads, kAsksPerThread, window);
    serve(&server);
    pthread_join(driver, NULL);
  } else {
    ok = 0;
    for (int i = 0; i < threads; ++i) pthread_join(run.askers[i].thread, NULL);
    vorlet_v2_ask_client_destroy(run.asks);
  }

  int answered = 0;
  int failed = 0;
  for (int i = 0; i < kAskThreads; ++i) {
    answered += run.askers[i].answered;
    failed += run.askers[i].failed;
  }
  printf("client: %d asks answered, %d failed\n", answered, failed);
  printf("server: %llu requests answered, %llu answer and %llu deadletter of its own, %llu events\n",
         (unsigned long long)server.requests_answered, (unsigned long long)server.own_responses,
         (unsigned long long)server.own_deadletters, (unsigned long long)server.events_seen);
  ok = ok && !server.failed && failed == 0 && answered == kAskThreads * kAsksPerThread &&
       server.requests_answered == (uint64_t)answered + 1 && server.own_responses == 1 &&
       server.own_deadletters == 1 && server.events_seen > 0;

  vorlet_v2_frame_reader_destroy(server.delivered);
  vorlet_v2_frame_reader_destroy(server.responses);
  vorlet_v2_frame_reader_destroy(server.deadletters);
  vorlet_v2_runtime_destroy(server.runtime);
  vorlet_v2_runtime_destroy(run.client);
  close_handles(&server.handles);
  close_handles(&client_handles);
  return ok ? 0 : 1;
}
