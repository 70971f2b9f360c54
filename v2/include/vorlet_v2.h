/*
 * vorlet v2: an in-process message-routing runtime.
 *
 * One plain C interface, usable from C11 and C++. Every record crossing it
 * uses fixed-width types. Records whose first field is `struct_size` follow
 * the size-prefix rule: the library reads and writes only fields lying wholly
 * inside the declared size, treats 0 (or more than the full size) as the full
 * size, and writes its own full size back into output records. Such a record
 * may gain fields at its end in a later release of the same major version;
 * the records without a size prefix keep their layout while abi_version is 1
 * and the major version is 1, and change only with both.
 *
 * Memory the library hands out is released by the library's own release
 * function for it; texts inside views and snapshots belong to the record.
 *
 * The contract for hosts (lifecycle, pipes, envelopes, control, routing,
 * peers, every reason, event, counter and status) is the page
 * docs/runtime/runtime-connector-contract.md, the path that
 * RuntimeInfo.contract_document names. The rules that hold for every call
 * unless its comment says otherwise:
 * - Statuses: calls that return int32_t return a VORLET_V2_ status code (0
 *   ok, negative a failure); what each failure leaves behind is in the
 *   call's comment, and the page lists the cases of each code per call.
 * - Ownership: a call only reads what it is given and keeps copies of what
 *   it needs, so the caller may free its inputs when it returns. What a
 *   call hands out is the caller's and goes back through the release or
 *   free function its comment names; static texts are never freed.
 * - Threads: calls on one runtime may run on any thread, at the same time
 *   as each other and as traffic, except the lifecycle calls (host
 *   handles, start, stop, destroy), which must not overlap one another;
 *   nothing may run on a runtime during or after its destroy. One frame
 *   reader, view, ticket or snapshot record is used by one thread at a
 *   time.
 * - Blocking: calls return without waiting, except for a short hold of the
 *   runtime's lock (stop too holds it only briefly, never while it joins a
 *   thread or the TCP listener) and where a comment says the call blocks.
 * - fork: a child has none of the library's threads and must not call it on
 *   a runtime or ask client made before the fork, not even to destroy it.
 *   Every descriptor the library opens is close-on-exec: fork to exec.
 */
#ifndef VORLET_V2_H
#define VORLET_V2_H

#include <stddef.h>
#include <stdint.h>

/* VORLET_V2_VERSION_MAJOR, _MINOR and _PATCH, the VORLET_V2_VERSION text
 * and VORLET_V2_VERSION_NUMBER (major * 10000 + minor * 100 + patch, for
 * #if): the version of the library this header came with. */
#include "vorlet_v2_version.h"

#if defined(VORLET_V2_BUILDING) && defined(__GNUC__)
#define VORLET_V2_API __attribute__((visibility("default")))
#else
#define VORLET_V2_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ======================================================================
 * Status codes: the signed 32-bit result of most calls, named by
 * vorlet_v2_status_name.
 * ====================================================================== */
#define VORLET_V2_OK 0
#define VORLET_V2_INVALID_ARG (-1)
#define VORLET_V2_NOMEM (-2)
#define VORLET_V2_BAD_STATE (-3)
#define VORLET_V2_STALE_GENERATION (-4)
#define VORLET_V2_IO (-5)
#define VORLET_V2_WOULD_BLOCK (-6)
#define VORLET_V2_CLOSED (-7)

/* ======================================================================
 * Frames: 8-byte little-endian length, then the body. Every host pipe but
 * the monitor pipe carries them. These calls need no runtime and may run on
 * any thread; frames written to one pipe must not interleave, so one
 * thread at a time writes a pipe.
 * ====================================================================== */

/* An incremental, non-blocking reader of the frames of one pipe. It
 * borrows its descriptor and is used by one thread at a time. */
typedef struct vorlet_v2_FrameReader vorlet_v2_FrameReader;

/* A reader of the pipe read end fd, accepting bodies of at most
 * max_frame_bytes (0: no limit). NULL when fd is negative or memory is
 * short. The reader is the caller's, freed with
 * vorlet_v2_frame_reader_destroy. */
VORLET_V2_API vorlet_v2_FrameReader* vorlet_v2_frame_reader_create(int32_t fd, uint64_t max_frame_bytes);
/* Frees the reader and any partly read frame; the descriptor stays open.
 * NULL is ignored. Not while a read on it runs. */
VORLET_V2_API void vorlet_v2_frame_reader_destroy(vorlet_v2_FrameReader* reader);
/* Never blocks; one thread at a time per reader. It reads only the bytes of
 * the frame at hand, so a host waits for the pipe with poll or epoll and
 * then calls it until -6: a pipe that holds more frames polls readable
 * again. 0: a whole frame;
 * *frame_out (NULL for an empty body) is the caller's, given back with
 * vorlet_v2_frame_release. -6: not complete yet, nothing lost. -7: the
 * pipe closed between frames. -5: the pipe closed inside a frame, or the
 * length is over the limit (only the length is consumed, so the body is
 * read as the next frames), or the pipe failed. -2: no memory for the
 * body. -1: a NULL argument. */
VORLET_V2_API int32_t vorlet_v2_frame_read_try(vorlet_v2_FrameReader* reader, void** frame_out, uint64_t* length_out);
/* Writes one frame, blocking until it is all out: as long as the reader
 * leaves the pipe full. The bytes stay the caller's. -1 for a negative fd
 * or NULL bytes with a length above 0; -7 when the reader has gone
 * (SIGPIPE does not reach the process); -5 for any other failure. */
VORLET_V2_API int32_t vorlet_v2_frame_write(int32_t fd, const void* bytes, uint64_t length);
/* Gives back a frame from vorlet_v2_frame_read_try, from any thread. NULL
 * is ignored. */
VORLET_V2_API void vorlet_v2_frame_release(void* frame);

/* ======================================================================
 * Transport views: build and parse envelopes and deadletters without protobuf.
 * ====================================================================== */

/* The enumerations of vorlet.v2.transport (transport.proto), with the
 * numbers the schema gives them. Envelope.kind (MessageKind): */
#define VORLET_V2_MESSAGE_KIND_UNSPECIFIED 0 /* refused by the runtime */
#define VORLET_V2_MESSAGE_KIND_REQUEST 1
#define VORLET_V2_MESSAGE_KIND_RESPONSE 2
#define VORLET_V2_MESSAGE_KIND_EVENT 3

/* Envelope.status (BusinessStatus). */
#define VORLET_V2_BUSINESS_STATUS_UNSPECIFIED 0u
#define VORLET_V2_BUSINESS_STATUS_OK 1u
#define VORLET_V2_BUSINESS_STATUS_ERROR 2u

/* Envelope.delivery_hint (DeliveryHint); a response may carry only 0 or 1. */
#define VORLET_V2_DELIVERY_HINT_UNSPECIFIED 0u
#define VORLET_V2_DELIVERY_HINT_ROUTER_DEFAULT 1u
#define VORLET_V2_DELIVERY_HINT_PREFER_LOCAL 2u
#define VORLET_V2_DELIVERY_HINT_REQUIRE_LOCAL 3u
#define VORLET_V2_DELIVERY_HINT_REQUIRE_REMOTE 4u

/* Envelope.payload_format (PayloadFormat): for the receiving application;
 * the runtime never reads the payload. */
#define VORLET_V2_PAYLOAD_FORMAT_UNSPECIFIED 0u
#define VORLET_V2_PAYLOAD_FORMAT_JSON 1u
#define VORLET_V2_PAYLOAD_FORMAT_PROTOBUF 2u
#define VORLET_V2_PAYLOAD_FORMAT_THRIFT 3u
#define VORLET_V2_PAYLOAD_FORMAT_MSGPACK 4u
#define VORLET_V2_PAYLOAD_FORMAT_PLAIN_TEXT 5u
#define VORLET_V2_PAYLOAD_FORMAT_BINARY 6u

/* Deadletter.reason (DeadletterReason), named by
 * vorlet_v2_deadletter_reason_name; the page says when each is emitted and
 * with which detail texts. No deadletter carries 0: no stage of the
 * runtime chooses it, and a peer's reply of reason 0 (or above 14) is not
 * passed on, its request ends with reason 7 instead. */
#define VORLET_V2_DEADLETTER_REASON_UNSPECIFIED 0
#define VORLET_V2_DEADLETTER_REASON_NO_ACTIVE_SNAPSHOT 1
#define VORLET_V2_DEADLETTER_REASON_ROUTE_MISS 2
#define VORLET_V2_DEADLETTER_REASON_NO_RESPONSIBLE_HOST 3
#define VORLET_V2_DEADLETTER_REASON_QUEUE_REJECTED 4
#define VORLET_V2_DEADLETTER_REASON_LOCAL_HANDOFF_FAILED 5
#define VORLET_V2_DEADLETTER_REASON_DELIVERY_FAILED 6
#define VORLET_V2_DEADLETTER_REASON_REMOTE_TRANSPORT_FAILED 7
#define VORLET_V2_DEADLETTER_REASON_RUNTIME_STOPPED 8
#define VORLET_V2_DEADLETTER_REASON_INVALID_ENVELOPE 9
#define VORLET_V2_DEADLETTER_REASON_ENDPOINT_UNAVAILABLE 10
#define VORLET_V2_DEADLETTER_REASON_REMOTE_REPLY_TIMEOUT 11
#define VORLET_V2_DEADLETTER_REASON_LOCALITY_MISMATCH 12
#define VORLET_V2_DEADLETTER_REASON_EXPIRED_BEFORE_DELIVERY 13
#define VORLET_V2_DEADLETTER_REASON_ONE_WAY_DROPPED_BY_POLICY 14

/* One header of an envelope (16 bytes). In records the library fills, both
 * texts are copies owned by the record that holds the array. */
typedef struct vorlet_v2_HeaderEntry {
  const char* key;
  const char* value;
} vorlet_v2_HeaderEntry;

/* The input of a build (144 bytes; struct_size must be at least 144). The
 * record and everything it points to stay the caller's; the build only reads
 * them. NULL texts are left out of the envelope. payload may be NULL only when
 * payload_len is 0, headers only when header_count is 0; a later header with
 * the same key replaces an earlier one. one_way: any non-zero value is true. */
typedef struct vorlet_v2_EnvelopeSpec {
  uint64_t struct_size;
  const char* message_id;
  const char* correlation_id;
  const char* source;
  const char* target;
  const char* reply_to;
  int32_t kind;
  uint32_t one_way;
  int32_t timeout_ms;
  const void* payload;
  uint64_t payload_len;
  const vorlet_v2_HeaderEntry* headers;
  uint64_t header_count;
  uint32_t status;
  const char* error_code;
  const char* error_message;
  uint32_t delivery_hint;
  const char* message_type;
  uint32_t payload_schema_version;
  uint32_t payload_format;
} vorlet_v2_EnvelopeSpec;

/* The flat form of a parsed envelope (136 bytes; the library writes
 * struct_size and never reads it). Every pointer is a copy owned by the view
 * and released by its cleanup or by the next parse into it: texts are ""
 * when empty, payload is NULL when empty (no terminator is added), headers
 * is NULL when there are none. Initialise a view (or zero it) before its
 * first parse or cleanup. */
typedef struct vorlet_v2_EnvelopeView {
  uint64_t struct_size;
  vorlet_v2_HeaderEntry* headers;
  uint64_t header_count;
  const char* message_id;
  const char* correlation_id;
  const char* source;
  const char* target;
  const char* reply_to;
  const char* message_type;
  const char* error_code;
  const char* error_message;
  const void* payload;
  uint64_t payload_len;
  int32_t kind;
  uint32_t one_way; /* 0 or 1 */
  int32_t timeout_ms;
  uint32_t payload_schema_version;
  uint32_t payload_format;
  uint32_t delivery_hint;
  uint32_t status;
} vorlet_v2_EnvelopeView;

/* The flat form of a parsed deadletter (184 bytes), owned like an envelope
 * view. A deadletter without an original envelope leaves the embedded view
 * zeroed (its texts NULL); detail and resolved_host are "" when empty. */
typedef struct vorlet_v2_DeadletterView {
  uint64_t struct_size;
  vorlet_v2_EnvelopeView original_envelope;
  const char* detail;
  const char* resolved_host;
  int32_t reason;
  uint64_t active_generation;
  uint32_t resolved_port;
  uint32_t endpoint_attempt_count;
} vorlet_v2_DeadletterView;

/* The calls of this section need no runtime and keep no state: they may
 * run on any thread at once, each view or spec used by one thread at a
 * time. None blocks. */

/* Serializes an envelope from spec into a new buffer that the caller gives
 * back with vorlet_v2_transport_buffer_release (an empty envelope is a
 * 1-byte buffer with *out_len 0). 0; -1 for NULL out or out_len (nothing
 * written) or a bad spec; -5 when the envelope would exceed 2^31 - 1 bytes;
 * -2 on exhaustion. Every failure leaves *out NULL and *out_len 0. */
VORLET_V2_API int32_t vorlet_v2_transport_build_envelope(const vorlet_v2_EnvelopeSpec* spec, void** out,
                                                         uint64_t* out_len);
/* Releases a buffer of a build; NULL is ignored. */
VORLET_V2_API void vorlet_v2_transport_buffer_release(void* buffer);
/* Fill a view from envelope or deadletter bytes, releasing what it held.
 * 0; -1 for NULL bytes or view; -5 for a length above 2^31 - 1 or bytes that
 * do not decode (the view keeps its earlier contents); -2 on exhaustion (the
 * view is left cleaned). */
VORLET_V2_API int32_t vorlet_v2_transport_parse_envelope(const void* bytes, uint64_t len,
                                                         vorlet_v2_EnvelopeView* view);
VORLET_V2_API int32_t vorlet_v2_transport_parse_deadletter(const void* bytes, uint64_t len,
                                                           vorlet_v2_DeadletterView* view);
/* Init zeroes a view and sets its sizes; cleanup releases everything the
 * view owns (the only way to release a parsed view's copies) and leaves it
 * as init does. NULL is ignored. */
VORLET_V2_API void vorlet_v2_transport_envelope_view_init(vorlet_v2_EnvelopeView* view);
VORLET_V2_API void vorlet_v2_transport_envelope_view_cleanup(vorlet_v2_EnvelopeView* view);
VORLET_V2_API void vorlet_v2_transport_deadletter_view_init(vorlet_v2_DeadletterView* view);
VORLET_V2_API void vorlet_v2_transport_deadletter_view_cleanup(vorlet_v2_DeadletterView* view);
/* The length of text before its NUL; 0 for NULL. */
VORLET_V2_API uint64_t vorlet_v2_transport_c_string_length(const char* text);
/* Copies len bytes from src to dst. 0 (at once when len is 0); -1 when a
 * pointer is NULL or dst_capacity is below len (dst untouched). */
VORLET_V2_API int32_t vorlet_v2_transport_copy_bytes(const void* src, uint64_t len, void* dst,
                                                     uint64_t dst_capacity);

/* ======================================================================
 * Runtime lifecycle: create and destroy.
 * ====================================================================== */

/* An opaque runtime. */
typedef struct vorlet_v2_Runtime vorlet_v2_Runtime;

/* Runtime states as reported by the statistics and named by
 * vorlet_v2_runtime_state_name. */
#define VORLET_V2_RUNTIME_CREATED 0u
#define VORLET_V2_RUNTIME_STARTED 1u
#define VORLET_V2_RUNTIME_STOPPED 2u

/* Create options (not size-prefixed, 24 bytes). The caller owns it and may
 * free it after the call. Both texts are copied (NULL as ""); any non-zero
 * flag is stored as 1; the texts and the flag are the host's own, reported
 * by vorlet_v2_runtime_get_config and read for nothing else. Every queue
 * and frame limit derives from queue_capacity (0 or less: 4096; capped at
 * 65536; rounded up to a power of two).
 *
 * So does what remote peers can make the runtime hold. The TCP listener
 * takes a request whose envelope is at most max_frame_bytes (4 MiB at the
 * default hint), not the protocol's 64 MiB: one that declares more is
 * refused at its length prefix, with the reply of a request that does not
 * decode (reason 7, "tcp request decode failed"). The peers' requests held
 * at once, wherever they wait in the runtime, take at most the larger of
 * 16 KiB per queue slot and max_frame_bytes (64 MiB at the default hint);
 * a request beyond that is answered at once as a full ingress queue answers
 * it (a deadletter of reason 4, "ingress queue rejected remote envelope").
 * A peer's reply (response or deadletter) larger than max_frame_bytes is
 * not handed on: the request ends with a deadletter of reason 7, "remote
 * reply exceeds max frame bytes", without trying another endpoint. */
typedef struct vorlet_v2_RuntimeOptions {
  const char* option_text_a;
  const char* option_text_b;
  uint32_t option_flag;
  int32_t queue_capacity;
} vorlet_v2_RuntimeOptions;

/* Returns a runtime in state created, or NULL (NULL options, exhaustion).
 * The runtime is the caller's until vorlet_v2_runtime_destroy. Any thread;
 * starts no thread. */
VORLET_V2_API vorlet_v2_Runtime* vorlet_v2_runtime_create(const vorlet_v2_RuntimeOptions* options);
/* Ends every thread, drains what is queued into deadletters, closes every
 * runtime-side descriptor and frees the runtime; the host's descriptors
 * stay open, snapshots taken stay valid, the texts get_config pointed to
 * go. NULL is ignored. Allowed in every state; no other call on the
 * runtime may run meanwhile or afterwards, and an ask client over it must
 * be destroyed first. On a started runtime it blocks as stop does. */
VORLET_V2_API void vorlet_v2_runtime_destroy(vorlet_v2_Runtime* runtime);

/* ======================================================================
 * Runtime lifecycle: host handles, start, stop, submit.
 * ====================================================================== */

/* HostHandles flags. In: which optional pipes to make; out: which were
 * made. */
#define VORLET_V2_HOST_HANDLE_MONITOR_PIPE 1u
#define VORLET_V2_HOST_HANDLE_DELIVERED_PIPE 2u

/* The host's ends of the runtime's pipes (size-prefixed, 40 bytes). The
 * descriptors belong to the host, which closes them; they are blocking and
 * close-on-exec. A host may wait for the read ends with poll or epoll (see
 * vorlet_v2_frame_read_try). A struct_size of 0 or above 40 means 40;
 * below 28 is refused. The monitor pipe needs 32 bytes (with fewer the
 * request is ignored), the delivered-request pipe 36 (with fewer it is
 * refused). Descriptors not made read -1. */
typedef struct vorlet_v2_HostHandles {
  uint64_t struct_size;
  uint32_t flags;
  int32_t request_write_fd;
  int32_t response_read_fd;
  int32_t deadletter_read_fd;
  int32_t control_write_fd;
  int32_t monitor_read_fd;
  int32_t delivered_read_fd;
  uint32_t reserved;
} vorlet_v2_HostHandles;

/* Makes the pipes and writes the host's ends back; once per runtime, only
 * before start. A lifecycle call: not at the same time as start, stop or
 * destroy. 0; -1 NULL or a bad size; -3 wrong state or handles already
 * taken; -5 a pipe could not be made; -2 no memory. After a failure no
 * descriptor of the attempt is left open and the call may be repeated. */
VORLET_V2_API int32_t vorlet_v2_runtime_get_host_handles(vorlet_v2_Runtime* runtime, vorlet_v2_HostHandles* handles);

/* Starts the runtime: its threads, and the TCP listener on the active
 * snapshot's local listen address when it has one (that address must be an
 * IPv4 literal). 0; -1 NULL; -3 unless the runtime is created, a snapshot
 * was applied and the host handles were taken; -5 when a part cannot be
 * brought up (the runtime then stays created, with its handles open, and
 * may be started again). A lifecycle call; holds the runtime lock while it
 * brings the parts up. */
VORLET_V2_API int32_t vorlet_v2_runtime_start(vorlet_v2_Runtime* runtime);
/* Stops a started runtime for good: what is queued drains into deadletters,
 * every frame queued for the host is written out, then the runtime's ends
 * of the response, deadletter and delivered-request pipes close (the host
 * reads end of file) and so do its ends of the request and control pipes
 * (host writes fail). The monitor pipe and every reading call stay usable
 * until destroy. 0; -1 NULL; -3 unless started (also while another stop
 * runs). Blocks while the host does not read a host-bound pipe that is
 * full. Lifecycle calls on one runtime must not overlap.
 * No peer can hold stop: it cuts at once every wait of the TCP listener
 * (a request still arriving is answered as one that does not decode, and a
 * reply goes out only as far as it can without waiting; the listener then
 * serves no other connection) and of the remote exchange under way, whose
 * job ends with a deadletter of reason 8 and the detail "remote exchange
 * cut by runtime stop", its attempt counted and no other endpoint tried (a
 * request relayed for a peer: that peer gets the deadletter). Stop holds
 * the runtime lock only in short sections, never while it joins a thread
 * or the listener. The one wait it cannot cut is a host-name lookup
 * already in progress for a route endpoint named by host name: stop then
 * waits for the system's resolver. With endpoints given as literal
 * addresses, stop ends within about a second, whatever the peers do. */
VORLET_V2_API int32_t vorlet_v2_runtime_stop(vorlet_v2_Runtime* runtime);

/* Hands one serialized envelope to a started runtime: from any thread, at
 * the same time as any other call but destroy, and never blocks. The
 * bytes are copied; the call neither parses them nor limits their length:
 * what cannot be routed comes back later as a deadletter. 0 accepted; -1
 * NULL runtime, or NULL bytes or length 0 on a started runtime; -3 not
 * started yet; -7 stopping or stopped; -2 no memory for the copy; -6 the
 * ingress queue is full (no deadletter, no event: the status is the only
 * report). */
VORLET_V2_API int32_t vorlet_v2_runtime_submit_envelope(vorlet_v2_Runtime* runtime, const void* bytes,
                                                        uint64_t length);

/* ======================================================================
 * Control: route snapshots and the overload policy. The applies may run on
 * any thread, at the same time as each other, as traffic and as frames on
 * the control pipe: a snapshot is built without the runtime lock and
 * swapped in under it, and an apply overtaken by a larger generation gets
 * -4. The records passed in are only read. None blocks beyond the lock.
 * ====================================================================== */

/* The enumerations of a vorlet.v2.control.ControlEnvelope (control.proto).
 * The runtime accepts only kind APPLY_SNAPSHOT with payload type
 * ROUTE_SNAPSHOT, in format JSON or PROTOBUF; the envelope's generation must
 * equal its payload's. ControlEnvelope.kind (ControlKind): */
#define VORLET_V2_CONTROL_KIND_UNSPECIFIED 0
#define VORLET_V2_CONTROL_KIND_APPLY_SNAPSHOT 1
#define VORLET_V2_CONTROL_KIND_ACK 2  /* declared; never sent nor accepted */
#define VORLET_V2_CONTROL_KIND_NACK 3 /* declared; never sent nor accepted */

/* ControlEnvelope.payload_format (ConfigFormat). */
#define VORLET_V2_CONFIG_FORMAT_UNSPECIFIED 0
#define VORLET_V2_CONFIG_FORMAT_JSON 1
#define VORLET_V2_CONFIG_FORMAT_PROTOBUF 2

/* ControlEnvelope.payload_type (ControlPayloadType). */
#define VORLET_V2_CONTROL_PAYLOAD_TYPE_UNSPECIFIED 0
#define VORLET_V2_CONTROL_PAYLOAD_TYPE_ROUTE_SNAPSHOT 1

/* Route resolution strategies (RouteDesc.strategy; in the schema
 * RouteResolutionStrategy, ROUTE_RESOLUTION_STRATEGY_...). */
#define VORLET_V2_ROUTE_STRATEGY_UNSPECIFIED 0u
#define VORLET_V2_ROUTE_STRATEGY_SINGLE_OWNER 1u
#define VORLET_V2_ROUTE_STRATEGY_WEIGHTED_ROUND_ROBIN 2u
#define VORLET_V2_ROUTE_STRATEGY_RENDEZVOUS_HASH 3u

/* RouteDesc.flags: weighted round robin picks among the available local
 * endpoints when there are any. No other bit is valid. */
#define VORLET_V2_ROUTE_FLAG_PREFER_LOCAL 0x1u

/* EndpointDesc.flags: the endpoint is this runtime's own (delivered through
 * the host pipes; local endpoints also give the TCP listen address), and the
 * endpoint is drained (never picked). No other bit is valid. */
#define VORLET_V2_ENDPOINT_FLAG_LOCAL 0x1u
#define VORLET_V2_ENDPOINT_FLAG_UNAVAILABLE 0x2u

/* The TCP listen address comes from the local endpoints (drained ones
 * included) of the snapshot active at start. No local endpoint, or local
 * endpoints on different ports: no listener. Local endpoints on one port
 * that all name one host: the listener binds that IPv4 address (a host that
 * is not an IPv4 address, such as a name, makes start fail with -5). It
 * binds every IPv4 interface instead when the local endpoints name
 * different hosts, or when the one host they name is not an address of
 * this machine; the host text that vorlet_v2_runtime_get_config and the
 * topology snapshot report does not show that. To keep the listener on
 * loopback or on a private interface, give every local endpoint the same
 * address of that interface, one this machine has (127.0.0.1 for
 * loopback).
 *
 * Peers are not authenticated: a peer that can reach the listen address is
 * trusted as a requester and shares the host's message-id space. The
 * runtime matches replies for peers by message id, and the host's responses
 * all come back through one pipe, so a peer that sends a request with the
 * id of one of the host's own requests that is in flight and delivered
 * locally receives the host's answer to it, and the host's ask never
 * completes; duplicate ids are refused only among requests that peers have
 * pending. Give the host's own requests message ids that cannot be
 * guessed. */

/* Overload modes (OverloadPolicyDesc; in the schema OverloadMode). */
#define VORLET_V2_OVERLOAD_MODE_REJECT 0u
#define VORLET_V2_OVERLOAD_MODE_DROP_EXPIRED_FIRST 1u
#define VORLET_V2_OVERLOAD_MODE_DROP_ONE_WAY_FIRST 2u

/* The flat form of a route snapshot. Not size-prefixed; the layouts are
 * fixed (24, 48 and 24 bytes). A snapshot the host passes in is only read:
 * the runtime keeps copies of what it needs. Texts are NUL-terminated. */
typedef struct vorlet_v2_EndpointDesc {
  const char* host; /* host name or address; not empty, not a wildcard */
  uint16_t port;    /* not 0 */
  uint32_t weight;  /* 0 counts as 1 */
  uint32_t flags;   /* VORLET_V2_ENDPOINT_FLAG_... */
} vorlet_v2_EndpointDesc;

typedef struct vorlet_v2_RouteDesc {
  const char* target;         /* matched exactly against an envelope's target */
  uint32_t strategy;          /* VORLET_V2_ROUTE_STRATEGY_... */
  const char* route_key_hint; /* header holding the rendezvous key; may be NULL */
  uint32_t flags;             /* VORLET_V2_ROUTE_FLAG_... */
  const vorlet_v2_EndpointDesc* endpoints;
  uint64_t endpoint_count;
} vorlet_v2_RouteDesc;

typedef struct vorlet_v2_RouteSnapshotDesc {
  uint64_t generation; /* 0 is refused */
  const vorlet_v2_RouteDesc* routes; /* NULL only when route_count is 0 */
  uint64_t route_count;
} vorlet_v2_RouteSnapshotDesc;

/* Overload policy (size-prefixed, 32 bytes). Fields the declared size leaves
 * out take the caller-dependent defaults. The ingress and local-delivery
 * queues always reject when full, so only mode 0 is accepted for them. */
typedef struct vorlet_v2_OverloadPolicyDesc {
  uint64_t struct_size;
  uint64_t remote_outbound_reply_reserve_slots; /* at most the queue capacity */
  uint32_t ingress_mode;
  uint32_t local_delivery_mode;
  uint32_t remote_outbound_mode; /* VORLET_V2_OVERLOAD_MODE_... */
  uint32_t reserved;             /* not read */
} vorlet_v2_OverloadPolicyDesc;

/* Applies a serialized vorlet.v2.control.ControlEnvelope (an apply-snapshot
 * envelope with a route snapshot in protobuf or JSON), with the overload
 * policy it carries or else the configured one. Required fields: kind
 * VORLET_V2_CONTROL_KIND_APPLY_SNAPSHOT, payload_type
 * VORLET_V2_CONTROL_PAYLOAD_TYPE_ROUTE_SNAPSHOT, payload_format
 * VORLET_V2_CONFIG_FORMAT_JSON or _PROTOBUF, and a generation equal to the
 * payload's. 0; -1 NULL runtime, NULL bytes, length 0, an unsupported or
 * inconsistent envelope or a port above 65535; -5 bytes that do not decode
 * (for JSON also an enumeration name that names no value); -2 no memory;
 * and the results of the snapshot apply. No error text is reported: the
 * status and the control_rejected event are the report. */
VORLET_V2_API int32_t vorlet_v2_runtime_apply_control_envelope(vorlet_v2_Runtime* runtime, const void* bytes,
                                                               uint64_t length);
/* Applies a flat route snapshot with the configured overload policy. */
VORLET_V2_API int32_t vorlet_v2_runtime_apply_control_snapshot(vorlet_v2_Runtime* runtime,
                                                               const vorlet_v2_RouteSnapshotDesc* snapshot);
/* Applies a flat route snapshot with its own overload policy (NULL: the
 * configured one). The snapshot becomes the active route table with its
 * generation, listen address and policy, all at once; the records are only
 * read. 0; -1 NULL runtime or snapshot, a snapshot that breaks a route
 * rule, a bad policy mode or a reserve above the queue capacity; -2 no
 * memory; -3 a stopped runtime, or a started one and a listen port that is
 * not 0 and not the active snapshot's (the listener cannot move, and a
 * runtime started without one gets none); -4 a generation not above the
 * active one. Every refusal changes nothing and is counted and recorded as
 * an event, except a NULL runtime. */
VORLET_V2_API int32_t vorlet_v2_runtime_apply_control_snapshot_with_policy(
    vorlet_v2_Runtime* runtime, const vorlet_v2_RouteSnapshotDesc* snapshot,
    const vorlet_v2_OverloadPolicyDesc* policy);
/* Sets the configured overload policy (and makes it active); only before
 * start. 0; -1 NULL, a bad mode or a reserve above the queue capacity; -3
 * once started. Nothing is counted. */
VORLET_V2_API int32_t vorlet_v2_runtime_apply_overload_policy(vorlet_v2_Runtime* runtime,
                                                              const vorlet_v2_OverloadPolicyDesc* policy);

/* ======================================================================
 * Monitor: events and the wake-up pipe.
 * ====================================================================== */

/* Monitor event kinds (MonitorEvent.kind), named by
 * vorlet_v2_monitor_event_kind_name. What detail, value1 and value2 hold
 * (0 where nothing is named; attempts count the endpoints tried): */
#define VORLET_V2_MONITOR_EVENT_STARTED 1u
#define VORLET_V2_MONITOR_EVENT_STOPPED 2u
#define VORLET_V2_MONITOR_EVENT_CONTROL_APPLIED 3u  /* value2 routes installed */
#define VORLET_V2_MONITOR_EVENT_CONTROL_REJECTED 4u /* value1 the status, sign-extended */
#define VORLET_V2_MONITOR_EVENT_QUEUE_REJECTED 5u   /* detail queue scope, value1 reject detail */
#define VORLET_V2_MONITOR_EVENT_ENDPOINT_UNAVAILABLE 6u
#define VORLET_V2_MONITOR_EVENT_REMOTE_RESPONSE_FORWARDED 7u   /* value2 attempts */
#define VORLET_V2_MONITOR_EVENT_REMOTE_DEADLETTER_FORWARDED 8u /* value1 the peer's reason, value2 attempts */
#define VORLET_V2_MONITOR_EVENT_REMOTE_REPLY_TIMEOUT 9u /* value2 1 (a peer's request) or attempts */
#define VORLET_V2_MONITOR_EVENT_LATE_REMOTE_REPLY_DROPPED 10u
#define VORLET_V2_MONITOR_EVENT_REMOTE_TRANSPORT_FAILED 11u   /* value2 attempts */
#define VORLET_V2_MONITOR_EVENT_AUTH_CONFIG_APPLIED 12u       /* value2 credentials */
#define VORLET_V2_MONITOR_EVENT_AUTHENTICATION_ACCEPTED 13u   /* value1 role */
#define VORLET_V2_MONITOR_EVENT_AUTHENTICATION_DENIED 14u     /* value1 1 */
#define VORLET_V2_MONITOR_EVENT_AUTHORIZATION_ACCEPTED 15u    /* value1 role, value2 scope or access kind */
#define VORLET_V2_MONITOR_EVENT_AUTHORIZATION_DENIED 16u      /* value1 role, value2 scope or access kind */
#define VORLET_V2_MONITOR_EVENT_AUTH_POLICY_APPLIED 17u /* value1 observe, value2 control minimum role */

/* The detail of a queue_rejected event: the queue that refused
 * (vorlet_v2_monitor_queue_scope_name)... */
#define VORLET_V2_MONITOR_QUEUE_SCOPE_INGRESS 1u
#define VORLET_V2_MONITOR_QUEUE_SCOPE_LOCAL_DELIVERY 2u
#define VORLET_V2_MONITOR_QUEUE_SCOPE_REMOTE_OUTBOUND 3u
/* ...and its value1: why (vorlet_v2_monitor_queue_reject_detail_name). */
#define VORLET_V2_MONITOR_QUEUE_REJECT_NONE 0u
#define VORLET_V2_MONITOR_QUEUE_REJECT_QUEUE_FULL 1u
#define VORLET_V2_MONITOR_QUEUE_REJECT_REMOTE_REPLY_RESERVE 2u

/* One recorded event (not size-prefixed, 56 bytes). seq counts the events
 * of the runtime from 1; monitor_seq is the runtime's monitor sequence
 * number just after the event raised it; timestamp_ns is monotonic (0 when
 * the clock failed); generation is the active route generation. */
typedef struct vorlet_v2_MonitorEvent {
  uint64_t seq;
  uint64_t monitor_seq;
  uint64_t timestamp_ns;
  uint64_t generation;
  uint32_t kind;
  uint32_t detail;
  uint64_t value1;
  uint64_t value2;
} vorlet_v2_MonitorEvent;

/* Drains the monitor pipe's wake-up bytes and re-arms the next one; any
 * thread, never blocks. Read the snapshots you follow after it returns (a
 * wake byte is written only while none is pending). 0 with *drained_out bytes
 * (when not NULL); -6 nothing pending; -7 the runtime's end is closed; -5 a
 * read failed; -1 a negative descriptor. */
VORLET_V2_API int32_t vorlet_v2_monitor_consume(int32_t monitor_read_fd, uint64_t* drained_out);

/* ======================================================================
 * Security: credentials, login, authorization.
 * ====================================================================== */

/* Roles (AuthRole), scopes (AuthScope), access kinds (AuthAccessKind) and
 * the result codes of every security outcome (AuthResultCode). */
#define VORLET_V2_AUTH_ROLE_NONE 0u
#define VORLET_V2_AUTH_ROLE_VIEWER 1u
#define VORLET_V2_AUTH_ROLE_OPERATOR 2u
#define VORLET_V2_AUTH_ROLE_ADMIN 3u
#define VORLET_V2_AUTH_SCOPE_OBSERVE 1u
#define VORLET_V2_AUTH_SCOPE_CONTROL 2u
#define VORLET_V2_AUTH_SCOPE_ADMIN 3u
#define VORLET_V2_AUTH_ACCESS_OBSERVE 1u
#define VORLET_V2_AUTH_ACCESS_CONTROL 2u
#define VORLET_V2_AUTH_RESULT_OK 0u
#define VORLET_V2_AUTH_RESULT_UNAUTHORIZED 1u
#define VORLET_V2_AUTH_RESULT_FORBIDDEN 2u
#define VORLET_V2_AUTH_RESULT_BAD_REQUEST 3u
#define VORLET_V2_AUTH_RESULT_BAD_STATE 4u

/* One credential (input, 32 bytes; array elements are always 32 bytes
 * apart). struct_size 0 means 32, otherwise at least 28. principal and
 * secret are non-empty NUL-terminated texts; role 1 to 3. */
typedef struct vorlet_v2_AuthCredential {
  uint64_t struct_size;
  const char* principal;
  const char* secret;
  uint32_t role;
  uint32_t reserved; /* not read */
} vorlet_v2_AuthCredential;

/* The credential table to load (input, 24 bytes; struct_size 0 means 24,
 * otherwise at least 24). count 0 to 32; entries may be NULL when count is
 * 0. Principals must differ (letter case counts). The runtime keeps copies. */
typedef struct vorlet_v2_AuthConfig {
  uint64_t struct_size;
  const vorlet_v2_AuthCredential* entries;
  uint64_t count;
} vorlet_v2_AuthConfig;

/* What a caller proved (16 bytes, kept by the host). As input struct_size 0
 * means 16, otherwise at least 16; login and clear refuse a record declared
 * 1 to 15 bytes long. authenticated 0 or 1; role 1 to 3 when authenticated,
 * else 0. */
typedef struct vorlet_v2_AuthContext {
  uint64_t struct_size;
  uint32_t authenticated;
  uint32_t role;
} vorlet_v2_AuthContext;

/* The outcome of a security operation (size-prefixed output, 16 bytes):
 * VORLET_V2_AUTH_RESULT_... and the role it concerns (0 for unauthorized
 * and bad_state). */
typedef struct vorlet_v2_AuthResult {
  uint64_t struct_size;
  uint32_t result_code;
  uint32_t role;
} vorlet_v2_AuthResult;

/* The least role for each access kind (16 bytes). As input struct_size 0
 * means 16, otherwise at least 16; observe_min_role 0 to 3,
 * control_min_role 2 or 3 and not below observe_min_role. As output it is
 * size-prefixed. */
typedef struct vorlet_v2_AuthPolicy {
  uint64_t struct_size;
  uint32_t observe_min_role;
  uint32_t control_min_role;
} vorlet_v2_AuthPolicy;

/* The loaded credentials by role (size-prefixed output, 48 bytes). */
typedef struct vorlet_v2_AuthConfigSummary {
  uint64_t struct_size;
  uint32_t configured; /* 1 when at least one credential is loaded */
  uint32_t reserved;   /* not written */
  uint64_t entries;
  uint64_t viewers;
  uint64_t operators;
  uint64_t admins;
} vorlet_v2_AuthConfigSummary;

/* Security outcomes are results, not errors: the calls below return 0 and
 * report ok, unauthorized, forbidden or bad_state in their AuthResult; -1
 * means a NULL pointer, a value outside its set or a malformed record, with
 * nothing written. Every call may be made from any host thread, at the same
 * time as traffic and as each other; none blocks beyond the short lock of
 * the runtime's credential table, and none hands out memory. The runtime keeps copies of the credentials
 * (compared in constant time, wiped when replaced or freed). */

/* Checks a credential table without a runtime. 0; -1 a broken rule; -2 no
 * memory for the trial copy. */
VORLET_V2_API int32_t vorlet_v2_runtime_validate_auth_config(const vorlet_v2_AuthConfig* config);
/* Replaces the runtime's credential table with a copy of config (count 0
 * empties it). 0; -1; -2 (nothing changed); -3 the runtime is stopped. */
VORLET_V2_API int32_t vorlet_v2_runtime_apply_auth_config(vorlet_v2_Runtime* runtime,
                                                          const vorlet_v2_AuthConfig* config);
/* 0; -1 for a NULL argument. Allowed in every state. */
VORLET_V2_API int32_t vorlet_v2_runtime_get_auth_config_summary(vorlet_v2_Runtime* runtime,
                                                               vorlet_v2_AuthConfigSummary* out);
/* Checks principal and secret against the table: {ok, role} or
 * {unauthorized, 0}; {bad_state, 0} on a stopped runtime. */
VORLET_V2_API int32_t vorlet_v2_runtime_authenticate(vorlet_v2_Runtime* runtime, const char* principal,
                                                     const char* secret, vorlet_v2_AuthResult* out);
/* Authenticates and writes the context: {1, role} on success, {0, 0}
 * otherwise; the result as authenticate gives it. */
VORLET_V2_API int32_t vorlet_v2_runtime_login(vorlet_v2_Runtime* runtime, const char* principal,
                                              const char* secret, vorlet_v2_AuthContext* context_out,
                                              vorlet_v2_AuthResult* result_out);
/* Writes {0, 0} into the context. 0; -1 for NULL or a short record. */
VORLET_V2_API int32_t vorlet_v2_runtime_clear_auth_context(vorlet_v2_AuthContext* context);

/* Checks a policy without a runtime: 0 or -1. */
VORLET_V2_API int32_t vorlet_v2_runtime_validate_auth_policy(const vorlet_v2_AuthPolicy* policy);
/* Installs the policy (default {0, 2}). 0; -1; -3 the runtime is stopped. */
VORLET_V2_API int32_t vorlet_v2_runtime_apply_auth_policy(vorlet_v2_Runtime* runtime,
                                                          const vorlet_v2_AuthPolicy* policy);
/* 0; -1 for a NULL argument. Allowed in every state. */
VORLET_V2_API int32_t vorlet_v2_runtime_get_auth_policy(vorlet_v2_Runtime* runtime, vorlet_v2_AuthPolicy* out);
/* The fixed role x scope table: viewer observes, operator also controls,
 * admin has every scope; role none has none. No runtime, no event. */
VORLET_V2_API int32_t vorlet_v2_runtime_authorize_scope(uint32_t role, uint32_t scope, vorlet_v2_AuthResult* out);
/* role against the policy's minimum for an access kind; no event. */
VORLET_V2_API int32_t vorlet_v2_runtime_authorize_access(vorlet_v2_Runtime* runtime, uint32_t role,
                                                         uint32_t access, vorlet_v2_AuthResult* out);
/* The scope table with an authorization event; a stopped runtime answers
 * {bad_state, 0} before role and scope are looked at. */
VORLET_V2_API int32_t vorlet_v2_runtime_authorize(vorlet_v2_Runtime* runtime, uint32_t role, uint32_t scope,
                                                  vorlet_v2_AuthResult* out);
/* The gate of every ..._with_auth_context call: an unauthenticated context
 * is {unauthorized, 0} without an event; an authenticated one is checked
 * against the policy and recorded as an authorization event. -1 for a bad
 * access kind or a malformed context (size below 16, authenticated above 1,
 * role outside 1 to 3 when authenticated). */
VORLET_V2_API int32_t vorlet_v2_runtime_authorize_context_access(vorlet_v2_Runtime* runtime,
                                                                 const vorlet_v2_AuthContext* context,
                                                                 uint32_t access, vorlet_v2_AuthResult* out);

/* The ..._with_auth_context calls: -1 (nothing written) for a NULL pointer
 * or a context the gate finds malformed; otherwise the gate's verdict goes
 * into result. Allowed: the plain call runs and its status is returned.
 * Denied: 0, nothing changes, and a reader's output holds only its full
 * struct_size and zeros. Readers need observe access, applies control. */
VORLET_V2_API int32_t vorlet_v2_runtime_get_auth_config_summary_with_auth_context(
    vorlet_v2_Runtime* runtime, const vorlet_v2_AuthContext* context, vorlet_v2_AuthConfigSummary* out,
    vorlet_v2_AuthResult* result);
VORLET_V2_API int32_t vorlet_v2_runtime_get_auth_policy_with_auth_context(vorlet_v2_Runtime* runtime,
                                                                          const vorlet_v2_AuthContext* context,
                                                                          vorlet_v2_AuthPolicy* out,
                                                                          vorlet_v2_AuthResult* result);
/* The control applies on behalf of a caller with control access. Allowed:
 * the status of vorlet_v2_runtime_apply_control_envelope, or of
 * vorlet_v2_runtime_apply_control_snapshot (the configured overload policy
 * applies). Denied: 0 with no snapshot, generation, counter or event
 * changed. A length of 0 is refused with -1 like a NULL pointer, without
 * counting a rejection. */
VORLET_V2_API int32_t vorlet_v2_runtime_apply_control_envelope_with_auth_context(vorlet_v2_Runtime* runtime,
                                                                               const vorlet_v2_AuthContext* context,
                                                                               const void* bytes, uint64_t length,
                                                                               vorlet_v2_AuthResult* result);
VORLET_V2_API int32_t vorlet_v2_runtime_apply_control_snapshot_with_auth_context(
    vorlet_v2_Runtime* runtime, const vorlet_v2_AuthContext* context, const vorlet_v2_RouteSnapshotDesc* snapshot,
    vorlet_v2_AuthResult* result);

/* ======================================================================
 * Observation: configuration, statistics, health.
 * ====================================================================== */

/* Health flags (RuntimeHealth.flags), named by vorlet_v2_health_flag_name. */
#define VORLET_V2_HEALTH_PROCESS_ALIVE 0x1u
#define VORLET_V2_HEALTH_RUNTIME_STARTED 0x2u
#define VORLET_V2_HEALTH_CONTROL_SNAPSHOT_PRESENT 0x4u
#define VORLET_V2_HEALTH_DATAPLANE_READY 0x8u
#define VORLET_V2_HEALTH_TRANSPORT_PROBE_ONLY 0x10u
#define VORLET_V2_HEALTH_REMOTE_OUTBOUND_SATURATED 0x20u
#define VORLET_V2_HEALTH_DRAINED_ROUTE_PRESENT 0x40u

/* What the runtime was created with and what it runs now (size-prefixed
 * output, 128 bytes). The texts are the runtime's own and stay valid until
 * destroy: the option texts, and local_listen_host (NULL when none), whose
 * text the runtime keeps even after a later snapshot names another. */
typedef struct vorlet_v2_RuntimeConfig {
  uint64_t struct_size;
  const char* option_text_a;
  const char* option_text_b;
  uint32_t option_flag;
  int32_t queue_capacity;
  uint64_t max_frame_bytes;
  uint64_t aux_batch;
  uint32_t state;            /* VORLET_V2_RUNTIME_... */
  uint32_t snapshot_present; /* 0 or 1 */
  uint64_t active_generation;
  uint64_t route_count;
  const char* local_listen_host;
  uint16_t local_listen_port;
  uint16_t reserved0; /* not written */
  uint32_t configured_ingress_mode;
  uint32_t configured_local_delivery_mode;
  uint32_t configured_remote_outbound_mode;
  uint64_t configured_reply_reserve_slots;
  uint32_t ingress_mode;
  uint32_t local_delivery_mode;
  uint32_t remote_outbound_mode;
  uint32_t reserved1; /* not written */
  uint64_t reply_reserve_slots;
} vorlet_v2_RuntimeConfig;

/* Gauges and counters of the runtime, its pipe queues and its TCP adapter
 * (size-prefixed output, 504 bytes). Each value is one the counter really
 * had; the record is not one cut across all of them. Start zeroes every
 * counter except the two _total ones. */
typedef struct vorlet_v2_RuntimeStats {
  uint64_t struct_size;
  uint64_t active_generation;
  uint64_t route_count;
  uint32_t state;
  uint32_t reserved0; /* not written */
  uint64_t queue_capacity;
  uint64_t ingress_depth;
  uint64_t ingress_peak;
  uint64_t queue_rejections;
  uint64_t route_misses;
  uint64_t deadletters_emitted;
  uint64_t delivery_failures;
  uint64_t remote_transport_failures;
  uint64_t transport_exchanges;
  uint64_t transport_connections;
  uint64_t transport_connect_failures;
  uint64_t max_frame_bytes;
  uint64_t aux_batch;
  /* Each host-bound pipe's queue: its capacity, frames queued now, the
   * most queued, and pushes that waited for room. A frame written straight
   * on the pipe (see the _direct_writes fields) never enters the queue, so
   * it raises neither depth nor peak and is never counted as blocked. */
  uint64_t delivered_pipe_capacity;
  uint64_t delivered_pipe_depth;
  uint64_t delivered_pipe_peak;
  uint64_t delivered_pipe_blocked;
  uint64_t response_pipe_capacity;
  uint64_t response_pipe_depth;
  uint64_t response_pipe_peak;
  uint64_t response_pipe_blocked;
  uint64_t deadletter_pipe_capacity;
  uint64_t deadletter_pipe_depth;
  uint64_t deadletter_pipe_peak;
  uint64_t deadletter_pipe_blocked;
  uint64_t remote_reply_timeouts;
  uint64_t late_remote_replies_dropped;
  uint64_t remote_outbound_capacity;
  uint64_t remote_outbound_depth;
  uint64_t remote_outbound_peak;
  uint64_t remote_outbound_rejections;
  uint64_t remote_outbound_expired_dropped;
  uint64_t endpoint_unavailable_refusals;
  uint64_t remote_responses_forwarded;
  uint64_t remote_deadletters_forwarded;
  uint64_t drained_routes;
  uint64_t control_rejects;
  uint64_t control_rejects_invalid;
  uint64_t control_rejects_stale;
  uint64_t control_rejects_bad_state;
  uint64_t control_rejects_io;
  uint64_t reply_reserve_slots;
  uint64_t reply_reserve_rejections;
  uint32_t ingress_mode;
  uint32_t local_delivery_mode;
  uint32_t remote_outbound_mode;
  uint32_t reserved1; /* not written */
  uint64_t monitor_signals_written;
  uint64_t monitor_signals_skipped;
  uint64_t monitor_signals_written_total;
  uint64_t monitor_signals_skipped_total;
  uint64_t local_delivery_capacity;
  uint64_t local_delivery_depth;
  uint64_t local_delivery_peak;
  /* Frames of at most 4,096 bytes (prefix included) that their producer
   * wrote whole on the pipe itself, because the queue was empty, its writer
   * idle and the pipe had room; every other frame goes through the queue
   * and its writer thread. */
  uint64_t delivered_pipe_direct_writes;
  uint64_t response_pipe_direct_writes;
  uint64_t deadletter_pipe_direct_writes;
  uint64_t one_way_evictions;
  uint64_t failover_retries;
  uint64_t failover_recoveries;
  uint64_t failover_exhausted;
} vorlet_v2_RuntimeStats;

/* State and health flags (size-prefixed output, 24 bytes). */
typedef struct vorlet_v2_RuntimeHealth {
  uint64_t struct_size;
  uint32_t state; /* VORLET_V2_RUNTIME_... */
  uint32_t flags; /* VORLET_V2_HEALTH_... */
  uint64_t generation;
} vorlet_v2_RuntimeHealth;

/* Each 0, or -1 for a NULL argument (nothing written). Allowed in every
 * state; they only read, from any thread and at the same time as traffic,
 * holding the runtime lock while they copy. Nothing to free: the texts of
 * RuntimeConfig are the runtime's (see there). */
VORLET_V2_API int32_t vorlet_v2_runtime_get_config(vorlet_v2_Runtime* runtime, vorlet_v2_RuntimeConfig* out);
VORLET_V2_API int32_t vorlet_v2_runtime_get_stats(vorlet_v2_Runtime* runtime, vorlet_v2_RuntimeStats* out);
VORLET_V2_API int32_t vorlet_v2_runtime_get_health(vorlet_v2_Runtime* runtime, vorlet_v2_RuntimeHealth* out);
/* The same behind the gate with observe access (see the Security section):
 * a denied caller gets 0 and a record of its full size and zeros (health
 * flags 0 too). */
VORLET_V2_API int32_t vorlet_v2_runtime_get_config_with_auth_context(vorlet_v2_Runtime* runtime,
                                                                     const vorlet_v2_AuthContext* context,
                                                                     vorlet_v2_RuntimeConfig* out,
                                                                     vorlet_v2_AuthResult* result);
VORLET_V2_API int32_t vorlet_v2_runtime_get_stats_with_auth_context(vorlet_v2_Runtime* runtime,
                                                                    const vorlet_v2_AuthContext* context,
                                                                    vorlet_v2_RuntimeStats* out,
                                                                    vorlet_v2_AuthResult* result);
VORLET_V2_API int32_t vorlet_v2_runtime_get_health_with_auth_context(vorlet_v2_Runtime* runtime,
                                                                     const vorlet_v2_AuthContext* context,
                                                                     vorlet_v2_RuntimeHealth* out,
                                                                     vorlet_v2_AuthResult* result);

/* ======================================================================
 * Observation: topology, route catalog, monitor and event-log snapshots.
 * ====================================================================== */

/* Snapshots are not size-prefixed: the library fills the whole record. Every
 * text and array a snapshot points to belongs to the snapshot and is
 * released only by its free function, which zeroes the record (freeing a
 * zeroed record, or one twice, is harmless). A snapshot stays valid after
 * later control applications and after the runtime is destroyed. The getters
 * overwrite the record without freeing what it held: free a reused record
 * first. All getters work in every runtime state, from any thread and at
 * the same time as traffic. The topology and the route catalog copy the
 * active table they hold on to, without the runtime lock; the monitor
 * snapshot takes it only while it reads the counters and the health (the
 * event-log snapshot takes the event log's own lock only). A record is
 * freed by one thread, when no other reads it. */

/* A deep copy of the active route table (48 bytes). Before any control
 * application: has_snapshot 0, generation 0, no routes, no listen host, port
 * 0. Each route is a RouteDesc whose target, route_key_hint (NULL stays NULL)
 * and endpoint hosts are owned copies; routes is NULL when route_count is
 * 0. */
typedef struct vorlet_v2_TopologySnapshot {
  uint32_t has_snapshot; /* 1 once a route snapshot has been applied */
  uint64_t generation;
  const char* local_listen_host; /* NULL when the table has none */
  uint16_t local_listen_port;
  uint64_t route_count;
  vorlet_v2_RouteDesc* routes;
} vorlet_v2_TopologySnapshot;

/* One line per route, in route-table order (72 bytes). local + remote =
 * endpoint_count = unavailable + available. */
typedef struct vorlet_v2_RouteCatalogEntry {
  const char* target;
  uint32_t strategy;          /* VORLET_V2_ROUTE_STRATEGY_... */
  const char* route_key_hint; /* NULL when the route has none */
  uint32_t flags;             /* VORLET_V2_ROUTE_FLAG_... */
  uint64_t endpoint_count;
  uint64_t local_endpoints;       /* flagged local */
  uint64_t remote_endpoints;      /* not flagged local */
  uint64_t unavailable_endpoints; /* flagged unavailable */
  uint64_t available_endpoints;   /* not flagged unavailable */
} vorlet_v2_RouteCatalogEntry;

/* The route catalog (32 bytes); entries is NULL when route_count is 0. */
typedef struct vorlet_v2_RouteCatalog {
  uint32_t has_snapshot;
  uint64_t generation;
  uint64_t route_count;
  vorlet_v2_RouteCatalogEntry* entries;
} vorlet_v2_RouteCatalog;

/* 0; -1 for a NULL argument (nothing written); -2 on exhaustion (the record
 * is left all zero). */
VORLET_V2_API int32_t vorlet_v2_runtime_get_topology_snapshot(vorlet_v2_Runtime* runtime,
                                                              vorlet_v2_TopologySnapshot* out);
VORLET_V2_API int32_t vorlet_v2_runtime_get_route_catalog(vorlet_v2_Runtime* runtime, vorlet_v2_RouteCatalog* out);
/* Release what the record owns and zero it; NULL is ignored. */
VORLET_V2_API void vorlet_v2_runtime_free_topology_snapshot(vorlet_v2_TopologySnapshot* snapshot);
VORLET_V2_API void vorlet_v2_runtime_free_route_catalog(vorlet_v2_RouteCatalog* catalog);

/* One consistent picture, all of it from one active table (592 bytes): the monitor sequence number and the monotonic time at
 * capture, complete health (struct_size 24) and statistics (struct_size
 * 504) records, and a topology snapshot that the record owns. Read it after
 * draining the monitor pipe. */
typedef struct vorlet_v2_MonitorSnapshot {
  uint64_t monitor_seq;
  uint64_t captured_ns;
  vorlet_v2_RuntimeHealth health;
  vorlet_v2_RuntimeStats stats;
  vorlet_v2_TopologySnapshot topology;
} vorlet_v2_MonitorSnapshot;

/* 0; -1 for a NULL argument (nothing written); -5 when the clock fails and
 * -2 on exhaustion, both leaving the caller's record as it was. */
VORLET_V2_API int32_t vorlet_v2_runtime_get_monitor_snapshot(vorlet_v2_Runtime* runtime, vorlet_v2_MonitorSnapshot* out);
/* Releases the embedded topology and zeroes the record; NULL is ignored. */
VORLET_V2_API void vorlet_v2_runtime_free_monitor_snapshot(vorlet_v2_MonitorSnapshot* snapshot);

/* A batch of the event log (48 bytes), the events after the cursor
 * after_seq, oldest first. last_seq is the newest event's sequence (0 for an
 * empty log); lost counts events after the cursor that the log no longer
 * holds; remaining those it holds that the batch did not return. entries
 * (NULL when count is 0) belongs to the snapshot. */
typedef struct vorlet_v2_EventLogSnapshot {
  uint64_t after_seq;
  uint64_t last_seq;
  uint64_t lost;
  uint64_t remaining;
  uint64_t count;
  vorlet_v2_MonitorEvent* entries;
} vorlet_v2_EventLogSnapshot;

/* Bits of vorlet_v2_runtime_event_log_snapshot_flags. */
#define VORLET_V2_EVENT_LOG_SNAPSHOT_HAS_ENTRIES 0x1u /* count is not 0 */
#define VORLET_V2_EVENT_LOG_SNAPSHOT_LOST 0x2u        /* events were missed */
#define VORLET_V2_EVENT_LOG_SNAPSHOT_REMAINING 0x4u   /* call again at once */
#define VORLET_V2_EVENT_LOG_SNAPSHOT_AHEAD 0x8u       /* last_seq > after_seq */

/* At most max_entries events (0: no limit) after after_seq. Follow the log
 * by passing 0 first, then the last entry's seq (or last_seq). Takes only the
 * event log's own lock. 0; -1 for a NULL runtime or out (nothing written);
 * -2 on exhaustion (the record is left all zero). */
VORLET_V2_API int32_t vorlet_v2_runtime_get_event_log_snapshot(vorlet_v2_Runtime* runtime, uint64_t after_seq,
                                                               uint64_t max_entries,
                                                               vorlet_v2_EventLogSnapshot* out);
/* The VORLET_V2_EVENT_LOG_SNAPSHOT_... bits of a batch; 0 for NULL. */
VORLET_V2_API uint32_t vorlet_v2_runtime_event_log_snapshot_flags(const vorlet_v2_EventLogSnapshot* snapshot);
/* Releases the entries and zeroes the record; NULL is ignored. */
VORLET_V2_API void vorlet_v2_runtime_free_event_log_snapshot(vorlet_v2_EventLogSnapshot* snapshot);

/* The snapshot getters behind the gate with observe access (see the
 * Security section). With every pointer present the output is zeroed first;
 * a malformed context then gives -1, and a denied caller gets 0 with the
 * verdict in result and the record left all zero. An allowed call returns
 * what the plain getter returns; the gate's authorization event is already
 * in the log, so an event-log batch can hold it. */
VORLET_V2_API int32_t vorlet_v2_runtime_get_topology_snapshot_with_auth_context(vorlet_v2_Runtime* runtime,
                                                                                const vorlet_v2_AuthContext* context,
                                                                                vorlet_v2_TopologySnapshot* out,
                                                                                vorlet_v2_AuthResult* result);
VORLET_V2_API int32_t vorlet_v2_runtime_get_route_catalog_with_auth_context(vorlet_v2_Runtime* runtime,
                                                                            const vorlet_v2_AuthContext* context,
                                                                            vorlet_v2_RouteCatalog* out,
                                                                            vorlet_v2_AuthResult* result);
VORLET_V2_API int32_t vorlet_v2_runtime_get_monitor_snapshot_with_auth_context(vorlet_v2_Runtime* runtime,
                                                                               const vorlet_v2_AuthContext* context,
                                                                               vorlet_v2_MonitorSnapshot* out,
                                                                               vorlet_v2_AuthResult* result);
VORLET_V2_API int32_t vorlet_v2_runtime_get_event_log_snapshot_with_auth_context(
    vorlet_v2_Runtime* runtime, const vorlet_v2_AuthContext* context, uint64_t after_seq, uint64_t max_entries,
    vorlet_v2_EventLogSnapshot* out, vorlet_v2_AuthResult* result);

/* ======================================================================
 * Info record and surface profiles.
 * ====================================================================== */

/* Runtime features (RuntimeInfo.feature_flags), one surface each. */
#define VORLET_V2_FEATURE_REQUEST_PIPE 0x1u
#define VORLET_V2_FEATURE_CONTROL_PIPE 0x2u
#define VORLET_V2_FEATURE_MONITOR 0x4u
#define VORLET_V2_FEATURE_NATIVE_SUBMIT 0x8u
#define VORLET_V2_FEATURE_CONTROL_JSON 0x10u
#define VORLET_V2_FEATURE_REMOTE_TRANSPORT 0x20u
#define VORLET_V2_FEATURE_JEMALLOC 0x40u
#define VORLET_V2_FEATURE_DELIVERED_REQUEST_PIPE 0x80u
#define VORLET_V2_FEATURE_DUBBING_JOBS 0x100u
#define VORLET_V2_FEATURE_TOPOLOGY_SNAPSHOT 0x200u
#define VORLET_V2_FEATURE_MONITOR_SNAPSHOT 0x400u
#define VORLET_V2_FEATURE_EVENT_LOG 0x800u
#define VORLET_V2_FEATURE_AUTH_TYPES 0x1000u
#define VORLET_V2_FEATURE_AUTH_CONFIG 0x2000u
#define VORLET_V2_FEATURE_AUTH_GATE 0x4000u
#define VORLET_V2_FEATURE_AUTH_POLICY 0x8000u
#define VORLET_V2_FEATURE_AUTH_CONTEXT 0x10000u
#define VORLET_V2_FEATURE_ROUTE_CATALOG 0x20000u
#define VORLET_V2_FEATURE_AUTH_CONTROL_APPLY 0x40000u
#define VORLET_V2_FEATURE_AUTH_OBSERVE_READ 0x80000u
#define VORLET_V2_FEATURE_AUTH_DISCOVERY_READ 0x100000u
#define VORLET_V2_FEATURE_AUTH_STATUS_READ 0x200000u
#define VORLET_V2_FEATURE_AUTH_SECURITY_READ 0x400000u

/* What the library is (size-prefixed output, full size 72). The texts are
 * static strings of the library: read them, never free them. The calls of
 * this section need no runtime, return constants and may run on any
 * thread. */
typedef struct vorlet_v2_RuntimeInfo {
  uint64_t struct_size;
  uint32_t abi_version;   /* the version of the record layouts: 1 */
  uint32_t feature_flags; /* VORLET_V2_FEATURE_... */
  const char* version;
  const char* build_revision; /* 8 lower-case hexadecimal characters */
  const char* transport;
  const char* allocator;
  const char* contract_document;
  const char* wire_protocol;
  uint32_t contract_version;
} vorlet_v2_RuntimeInfo;

/* Surface profiles: the features one kind of host needs. */
#define VORLET_V2_SURFACE_DISCOVERY 1u
#define VORLET_V2_SURFACE_OBSERVE 2u
#define VORLET_V2_SURFACE_EVENT_LOG 3u
#define VORLET_V2_SURFACE_CONTROL 4u
#define VORLET_V2_SURFACE_REQUEST_DRIVER 5u

VORLET_V2_API uint32_t vorlet_v2_runtime_get_abi_version(void);
/* Writes 72 into struct_size, then every field the declared size covers.
 * 0; -1 for NULL. */
VORLET_V2_API int32_t vorlet_v2_runtime_get_info(vorlet_v2_RuntimeInfo* info);
/* The profile's static name, "unknown" outside 1 to 5. */
VORLET_V2_API const char* vorlet_v2_runtime_surface_profile_name(uint32_t profile);
/* The profile's required features, 0 outside 1 to 5. */
VORLET_V2_API uint32_t vorlet_v2_runtime_surface_required_features(uint32_t profile);
/* 1 when `available` holds every feature the profile requires, else 0.
 * missing_out (may be NULL) receives the required features not available;
 * an unknown profile is never satisfied and reports nothing missing. */
VORLET_V2_API int32_t vorlet_v2_runtime_surface_check_features(uint32_t available, uint32_t profile,
                                                               uint32_t* missing_out);

/* ======================================================================
 * Dubbing jobs.
 * ====================================================================== */

/* A registry of sixteen jobs that the host works on and reports on; the
 * runtime only keeps their records. Every change raises the monitor
 * sequence number and rings the monitor pipe; none writes an event. The
 * calls may run on any thread, at the same time as traffic; each holds the
 * registry's own lock briefly, allocates nothing and hands out nothing to
 * free. */

/* Job states; 3, 4 and 5 are terminal (no update; only these are evicted). */
#define VORLET_V2_DUBBING_JOB_NONE 0u
#define VORLET_V2_DUBBING_JOB_QUEUED 1u
#define VORLET_V2_DUBBING_JOB_RUNNING 2u
#define VORLET_V2_DUBBING_JOB_SUCCEEDED 3u
#define VORLET_V2_DUBBING_JOB_FAILED 4u
#define VORLET_V2_DUBBING_JOB_CANCELLED 5u

/* Job stages; a new job starts in preflight. */
#define VORLET_V2_DUBBING_STAGE_NONE 0u
#define VORLET_V2_DUBBING_STAGE_PREFLIGHT 1u
#define VORLET_V2_DUBBING_STAGE_ASR 2u
#define VORLET_V2_DUBBING_STAGE_TRANSLATION 3u
#define VORLET_V2_DUBBING_STAGE_TTS 4u
#define VORLET_V2_DUBBING_STAGE_MUX 5u
#define VORLET_V2_DUBBING_STAGE_PUBLISH 6u

/* A new job (size-prefixed input, 40 bytes; a declared size of 1 to 39 is
 * refused). The three submit texts are required; the label may be NULL.
 * Texts are kept up to their field's capacity minus one (127, 511, 511 and
 * 63 bytes), cut without error. */
typedef struct vorlet_v2_DubbingJobRequest {
  uint64_t struct_size;
  const char* submit_label;
  const char* submit_text_1;
  const char* submit_text_2;
  const char* submit_text_3;
} vorlet_v2_DubbingJobRequest;

/* A progress report (size-prefixed input, 56 bytes; the declared size must
 * be 0 or at least 28). state and stage are stored as given; progress is in
 * thousandths, at most 1000. The three status texts replace the job's: a
 * NULL or uncovered pointer leaves an empty text (kept up to 191, 511 and
 * 511 bytes). */
typedef struct vorlet_v2_DubbingJobUpdate {
  uint64_t struct_size;
  uint64_t handle; /* not 0 */
  uint32_t state;  /* VORLET_V2_DUBBING_JOB_... */
  uint32_t stage;  /* VORLET_V2_DUBBING_STAGE_... */
  uint32_t progress;
  const char* status_reason;
  const char* status_text_1;
  const char* status_text_2;
} vorlet_v2_DubbingJobUpdate;

/* One job as the registry holds it (size-prefixed output, full size 2488).
 * Each text field holds a NUL-terminated text; the rest of the field is 0.
 * revision is the registry-wide number of the job's last change; the times
 * are monotonic nanoseconds. */
typedef struct vorlet_v2_DubbingJobRecord {
  uint64_t struct_size;
  uint64_t handle;
  uint32_t state;
  uint32_t stage;
  uint32_t progress;
  uint32_t cancel_requested; /* 1 once the host cancelled the job */
  uint64_t revision;
  uint64_t created_ns;
  uint64_t updated_ns;
  char submit_label[128];
  char submit_text_1[512];
  char submit_text_2[512];
  char submit_text_3[64];
  char status_reason[192]; /* "cancelled_by_host" after a cancel */
  char status_text_1[512];
  char status_text_2[512];
} vorlet_v2_DubbingJobRecord;

/* Submit and update need a started runtime. The statuses come in this
 * order: -1 for a NULL argument, -5 when the clock fails, -3 unless the
 * runtime is started, then the registry's own checks. Submit: -1 for an
 * invalid request; -6 when all sixteen slots hold jobs that are not
 * terminal (otherwise the terminal job changed longest ago is evicted);
 * *handle_out receives a handle never used before. Update: -1 for an
 * invalid update; -3 for an unknown handle or a terminal job. */
VORLET_V2_API int32_t vorlet_v2_runtime_submit_dubbing_job(vorlet_v2_Runtime* runtime,
                                                           const vorlet_v2_DubbingJobRequest* request,
                                                           uint64_t* handle_out);
VORLET_V2_API int32_t vorlet_v2_runtime_publish_dubbing_job_update(vorlet_v2_Runtime* runtime,
                                                                   const vorlet_v2_DubbingJobUpdate* update);
/* Works in every state. 0 (also for a job already cancelled); -1 for a NULL
 * runtime or handle 0; -5 when the clock fails; -3 for an unknown handle or
 * a job that succeeded or failed. */
VORLET_V2_API int32_t vorlet_v2_runtime_cancel_dubbing_job(vorlet_v2_Runtime* runtime, uint64_t handle);
/* Works in every state. 0; -1 for a NULL pointer or handle 0; -3 for an
 * unknown handle. */
VORLET_V2_API int32_t vorlet_v2_runtime_get_dubbing_job(vorlet_v2_Runtime* runtime, uint64_t handle,
                                                        vorlet_v2_DubbingJobRecord* out);
/* Works in every state. Writes up to `capacity` handles, most recently
 * changed first (terminal jobs included), and the number of jobs into
 * *count_out; handles and count_out may be NULL. 0; -1 for a NULL
 * runtime. */
VORLET_V2_API int32_t vorlet_v2_runtime_list_dubbing_jobs(vorlet_v2_Runtime* runtime, uint64_t* handles,
                                                          uint64_t capacity, uint64_t* count_out);

/* ======================================================================
 * Ask client and raw request/reply builders.
 * ====================================================================== */

/* Options of a raw request (size-prefixed input, full size 72; nothing is
 * written back). message_id, source and target are required and non-empty
 * and need a declared size of at least 32. A two-way request (one_way 0)
 * needs a non-empty reply_to, a one-way request (one_way 1) must leave it
 * NULL or empty. payload may be NULL when payload_len is 0; payload_len is
 * at most 2^31 - 1. timeout_ms >= 0, delivery_hint 0 to 4. */
typedef struct vorlet_v2_RawRequestOptions {
  uint64_t struct_size;
  const char* message_id;
  const char* source;
  const char* target;
  const char* reply_to;
  const void* payload;
  uint64_t payload_len;
  int32_t timeout_ms;
  uint32_t delivery_hint;
  uint32_t one_way;
} vorlet_v2_RawRequestOptions;

/* Options of a raw reply (size-prefixed input, full size 48; nothing is
 * written back). request (1 to 2^31 - 1 bytes) must be a serialized two-way
 * request with a message id and a source; source, the replier's name, is
 * required and non-empty. request, request_len and source need a declared
 * size of at least 32. */
typedef struct vorlet_v2_RawReplyOptions {
  uint64_t struct_size;
  const void* request;
  uint64_t request_len;
  const char* source;
  const void* payload;
  uint64_t payload_len;
} vorlet_v2_RawReplyOptions;

/* Build a serialized request envelope, or the response that answers a
 * request (correlated by the request's message id, addressed to its
 * source). A response built otherwise needs kind 2, the request's message
 * id as correlation_id, a non-empty target, one_way 0, no reply_to and hint
 * 0 or 1; no one reads its message_id or source. Need no runtime; any
 * thread; never block. The new buffer goes back through
 * vorlet_v2_client_bytes_release.
 * 0; -1 for a NULL out-pointer (nothing written), bad options or an
 * envelope that cannot be serialized; -2 on exhaustion. Every failure leaves
 * *out NULL and *out_len 0. */
VORLET_V2_API int32_t vorlet_v2_client_build_raw_request(const vorlet_v2_RawRequestOptions* options, void** out,
                                                         uint64_t* out_len);
VORLET_V2_API int32_t vorlet_v2_client_build_raw_reply(const vorlet_v2_RawReplyOptions* options, void** out,
                                                       uint64_t* out_len);
/* Releases a buffer of either builder or of an ask ticket, from any thread;
 * NULL is ignored. */
VORLET_V2_API void vorlet_v2_client_bytes_release(void* bytes);

/* An ask client sends request envelopes into a runtime and collects the
 * answer to each one (a response envelope or a deadletter) through a
 * ticket. Its two threads read the runtime's response and deadletter pipes
 * and consume every frame there: a host that uses an ask client does not
 * read those two pipes itself; a frame that answers no pending ask (such as
 * the deadletter of a one-way envelope) is discarded, and the host sees it
 * only in the statistics and events. */
typedef struct vorlet_v2_AskClientHandle vorlet_v2_AskClientHandle;
/* One ask. A ticket is used by one thread at a time; different tickets of
 * one client may be used from different threads, also while the client is
 * being destroyed. */
typedef struct vorlet_v2_AskTicket vorlet_v2_AskTicket;

/* The kinds of answer vorlet_v2_ask_ticket_await reports. */
#define VORLET_V2_REPLY_KIND_NONE 0
#define VORLET_V2_REPLY_KIND_RESPONSE 1
#define VORLET_V2_REPLY_KIND_DEADLETTER 2

/* A running client over a runtime and the host's ends of its pipes
 * (handles is only read; it must cover delivered_read_fd, so a declared
 * size of 1 to 35 is refused). The response, deadletter and delivered-
 * request read descriptors must all be open: the delivered-request pipe
 * keeps local deliveries off the response pipe. The descriptors stay the
 * host's; the client only reads the response and deadletter pipes. The
 * runtime must outlive the client; it may be created or started. NULL on
 * any failure. The handle is the caller's until
 * vorlet_v2_ask_client_destroy. Starts two threads. */
VORLET_V2_API vorlet_v2_AskClientHandle* vorlet_v2_ask_client_create(vorlet_v2_Runtime* runtime,
                                                                     const vorlet_v2_HostHandles* handles);
/* Fails every pending ask with -7, ends the client's threads and frees the
 * handle; returns once both threads have ended. Live tickets still report
 * their failed ask once. No other call on the handle may run meanwhile or
 * afterwards. NULL is ignored. */
VORLET_V2_API void vorlet_v2_ask_client_destroy(vorlet_v2_AskClientHandle* client);

/* Checks a serialized two-way request (1 to 2^31 - 1 bytes, kind request,
 * not one-way, a message id), registers it under its message id and
 * submits it (with an empty correlation id filled with the message id; the
 * caller's bytes are not changed). 0 with *ticket_out set; -1 bad
 * arguments or request; -2 no memory; -3 an ask with that message id is
 * pending on this client; -7 the client was destroyed or its pipes closed;
 * -5 the client stopped on a pipe error; otherwise the status of
 * vorlet_v2_runtime_submit_envelope (-3 not started, -6 queue full, -7
 * stopping). On any failure *ticket_out is NULL (when ticket_out is given)
 * and nothing stays registered. Any thread, at the same time as other
 * begins (they reach the runtime one at a time); never blocks. The ticket
 * is the caller's until vorlet_v2_ask_ticket_destroy; the request bytes
 * stay the caller's.
 * Answers are matched by message id alone. An id may be asked again once
 * its earlier ask was answered, failed or cancelled; until the earlier
 * ask's answer has arrived (or can no longer arrive), the new ticket may
 * receive that answer in place of its own, and the two cannot be told
 * apart. Hosts that retry should use a new message id (see also the note
 * on peers beside the endpoint flags).
 * Begin does not wait for room further on: an ask that finds the remote
 * outbound or local delivery queue full is answered by a deadletter of
 * reason 4. Asks in flight through one runtime, over all threads and with
 * whatever else is submitted there, up to its queue capacity
 * (RuntimeConfig.queue_capacity) never meet a full queue. */
VORLET_V2_API int32_t vorlet_v2_ask_client_begin(vorlet_v2_AskClientHandle* client, const void* request,
                                                 uint64_t length, vorlet_v2_AskTicket** ticket_out);
/* Blocks up to timeout_ms for the ask's outcome and reports it once: 0 with
 * kind 1 (a serialized response Envelope) or 2 (a serialized Deadletter)
 * and the bytes, which the caller releases with
 * vorlet_v2_client_bytes_release; or the status that failed the ask (-7
 * closed, -5 pipe error, -2 no memory) with kind 0 and no bytes. Either way
 * the ticket is then spent. -6: no outcome yet (kind 0, NULL, 0); the
 * ticket stays active. -1 (nothing written): NULL ticket or out-pointer, or
 * a spent or cancelled ticket. */
VORLET_V2_API int32_t vorlet_v2_ask_ticket_await(vorlet_v2_AskTicket* ticket, uint32_t timeout_ms, int32_t* kind_out,
                                                 void** bytes_out, uint64_t* length_out);
/* vorlet_v2_ask_ticket_await with a timeout of 0: never blocks. */
VORLET_V2_API int32_t vorlet_v2_ask_ticket_poll(vorlet_v2_AskTicket* ticket, int32_t* kind_out, void** bytes_out,
                                                uint64_t* length_out);
/* Gives the ask up: an answer that already arrived is freed, and one that
 * arrives later is discarded unless an ask with the same message id is
 * pending then, which receives it. The message id may be asked again at
 * once; a retry should use a new one (see vorlet_v2_ask_client_begin).
 * NULL and spent tickets are ignored. */
VORLET_V2_API void vorlet_v2_ask_ticket_cancel(vorlet_v2_AskTicket* ticket);
/* The ask's message id, owned by the ticket and valid until it is
 * destroyed; "" for NULL. */
VORLET_V2_API const char* vorlet_v2_ask_ticket_message_id(const vorlet_v2_AskTicket* ticket);
/* Cancels and frees the ticket (and the client's state, when the handle
 * and every other ticket are gone); NULL is ignored. */
VORLET_V2_API void vorlet_v2_ask_ticket_destroy(vorlet_v2_AskTicket* ticket);

/* ======================================================================
 * Names of codes and flags. Every text is static: never freed, valid for
 * the life of the process. Code sets give "unknown" for values outside
 * their table; single-flag functions give NULL. Any thread, no runtime.
 * ====================================================================== */
VORLET_V2_API const char* vorlet_v2_status_name(int32_t status);
VORLET_V2_API const char* vorlet_v2_runtime_state_name(uint32_t state);
VORLET_V2_API const char* vorlet_v2_overload_mode_name(uint32_t mode);
VORLET_V2_API const char* vorlet_v2_route_strategy_name(uint32_t strategy);
VORLET_V2_API const char* vorlet_v2_monitor_queue_scope_name(uint32_t scope);
VORLET_V2_API const char* vorlet_v2_monitor_queue_reject_detail_name(uint32_t detail);
VORLET_V2_API const char* vorlet_v2_runtime_auth_role_name(uint32_t role);
VORLET_V2_API const char* vorlet_v2_runtime_auth_scope_name(uint32_t scope);
VORLET_V2_API const char* vorlet_v2_runtime_auth_access_kind_name(uint32_t access_kind);
VORLET_V2_API const char* vorlet_v2_runtime_auth_result_code_name(uint32_t code);
VORLET_V2_API const char* vorlet_v2_dubbing_job_state_name(uint32_t state);
VORLET_V2_API const char* vorlet_v2_dubbing_job_stage_name(uint32_t stage);
VORLET_V2_API const char* vorlet_v2_monitor_event_kind_name(uint32_t kind);
VORLET_V2_API const char* vorlet_v2_deadletter_reason_name(uint32_t reason);
VORLET_V2_API const char* vorlet_v2_route_flag_name(uint32_t flag);
VORLET_V2_API const char* vorlet_v2_endpoint_flag_name(uint32_t flag);
VORLET_V2_API const char* vorlet_v2_health_flag_name(uint32_t flag);
VORLET_V2_API const char* vorlet_v2_runtime_feature_flag_name(uint32_t flag);

/* Format a flag mask as names joined by ",", in a fixed order; "none" for 0
 * and "unknown(0x..)" for bits without a name. The buffer receives at most
 * capacity - 1 characters and a NUL; the result is the whole text's length,
 * as with snprintf. */
VORLET_V2_API uint64_t vorlet_v2_format_runtime_feature_flags(uint32_t flags, char* buffer, uint64_t capacity);
VORLET_V2_API uint64_t vorlet_v2_format_health_flags(uint32_t flags, char* buffer, uint64_t capacity);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* VORLET_V2_H */
