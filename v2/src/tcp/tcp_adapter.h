// The runtime's remote transport. As a client it runs one "tcp-frame"
// exchange per call (connect, request frame, reply frame, close); as a
// server, once started with a port and a handler, one listener thread
// accepts connections and serves them one at a time, handing each request to
// the InboundHandler and writing its result back as the reply frame.
//
// One adapter belongs to one runtime, which creates, starts, stops and
// destroys it. Start and stop are serialized by the adapter's spin flag;
// the exchange, the listener, the stats copy and the stopped test never take
// it, so stop may join the listener while holding it.
//
// Every wait of the listener (accept, request, reply) and of an exchange
// (connect, request, reply) also watches the adapter's interrupt event, so
// that no peer can hold the runtime's stop: tcp_adapter_interrupt cuts them
// all at once. Only a host-name lookup cannot be cut: it lasts as long as
// the system's resolver takes (a literal address needs no lookup).
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "base/mutex.h"
#include "base/status.h"
#include "platform/event.h"
#include "platform/socket.h"
#include "platform/thread.h"
#include "tcp/tcp_frame.h"

namespace vorlet::v2 {

// What the listener lends the handler for the wait on its result: the
// connection the request came on, which the handler may watch for its
// peer's departure (platform::kWantHangUp; never to be read, written or
// closed), and an event that it may sleep on beside it. The event may be
// left set by a result that came as the previous wait ended. The
// handler sets peer_left when the peer left before the result came: the
// listener then sends nothing and goes on to the next connection.
struct InboundWatch {
  platform::SocketHandle connection;
  platform::Event* wake;
  bool peer_left;
};

// The handler of inbound requests. On entry: *result_kind none (a
// ReplyKind), *reply NULL, *reply_length 0, *reason delivery_failed, text
// "" in a buffer of text_capacity (160) bytes, watch->peer_left false.
// payload points into the request body and is valid only during the call;
// length may be 0; timeout_ms 0 means 1000. The handler allocates the
// reply bytes with rt_malloc; the listener frees them with rt_free.
using InboundHandler = Status (*)(void* context, const uint8_t* payload, uint64_t length, uint32_t timeout_ms,
                                  int32_t* result_kind, uint8_t** reply, uint64_t* reply_length, int32_t* reason,
                                  char* text, uint64_t text_capacity, InboundWatch* watch);

// How long a reply may move no byte before the listener gives it up and
// resets the connection: the time it gives a request to arrive. A peer
// that reads, however slowly, keeps its reply coming.
inline constexpr uint32_t kTcpReplyStallMs = kTcpDefaultTimeoutMs;

// The text of an exchange cut by tcp_adapter_interrupt (reason
// runtime_stopped).
inline constexpr char kTcpExchangeCutText[] = "remote exchange cut by runtime stop";

struct TcpAdapterStats {
  uint64_t exchanges;
  uint64_t connections;
  uint64_t connect_failures;
};

struct alignas(64) TcpAdapter {
  // Start and stop only: a test-and-set flag, contenders sleep in an atomic
  // wait on it.
  alignas(64) std::atomic_flag lock;
  // Start succeeded (outbound only or listening) and stop has not run since.
  alignas(64) std::atomic<bool> configured;
  // Set by every start that was not already configured, cleared when that
  // start fails and by stop.
  alignas(64) std::atomic<bool> running;
  alignas(64) std::atomic<uint64_t> exchanges;
  alignas(64) std::atomic<uint64_t> connections;
  alignas(64) std::atomic<uint64_t> connect_failures;

  // Guards handler and handler_context, so that the listener always reads a
  // pair that start or stop wrote together. Start and stop take it while
  // they hold the spin flag; nobody holds it over a call.
  Mutex handler_lock;
  InboundHandler handler GUARDED_BY(handler_lock);
  void* handler_context GUARDED_BY(handler_lock);

  uint16_t listen_port;  // under the spin flag; 0 when not listening
  // The largest request body the listener receives: the request header
  // and the payload limit start was given. Written by start before the
  // listener runs.
  uint64_t max_request_body;
  std::atomic<platform::SocketHandle> listen_socket;
  std::thread listener;  // started by start, joined by stop

  // Set by tcp_adapter_interrupt. Owned; made afresh (not set) by every
  // start that was not already configured, freed by stop and by a failed
  // start, so that an idle adapter holds no descriptor. Every wait of the
  // listener and of an exchange watches its descriptor.
  platform::Event* interrupt;
  // What a handler sleeps on beside the connection the listener serves
  // (InboundWatch). Owned; made by a start that listens, freed by stop and
  // by a failed start.
  platform::Event* reply_wake;

  // How start launches the listener; tests replace it to make it fail.
  bool (*start_listener)(std::thread*, platform::ThreadProc, void*);

  TcpAdapter() noexcept;
};

// A new idle adapter; nullptr when it cannot be allocated. Owned by the
// caller, released with tcp_adapter_destroy.
TcpAdapter* tcp_adapter_create() noexcept;

// Stops the adapter if it still runs (no listener may outlive it), then
// releases it. NULL-safe.
void tcp_adapter_destroy(TcpAdapter* adapter) noexcept;

// Port 0 or no handler: outbound only. Otherwise listens on bind_host
// (NULL or "": every IPv4 address; a host that is not local to this
// machine: every address) and port, and takes requests whose payload is at
// most max_request_payload bytes (the protocol's own ceiling at most): a
// larger one is refused at its length prefix, answered as a request that
// does not decode. A start while configured changes nothing. invalid_arg
// for a NULL adapter or a bind host that is not an IPv4 address; io when
// the events, the socket or the listener thread cannot be had.
// After a failure the adapter is idle. Each start that was not configured
// begins without an interrupt.
Status tcp_adapter_start(TcpAdapter* adapter, const char* bind_host, uint16_t port, InboundHandler handler,
                         void* context, uint64_t max_request_payload = kTcpMaxRequestPayload) noexcept;

// Back to idle: the listener ends and the listen socket closes. A
// connection in service is served to its end, within its own deadlines,
// unless the adapter was interrupted first (as the runtime's stop does).
// No exchange may be under way (the runtime joins its remote worker
// first): stop frees the event that exchanges watch. NULL-safe.
void tcp_adapter_stop(TcpAdapter* adapter) noexcept;

// Cuts every wait of the listener and of exchanges, from now until the
// adapter stops: the listener answers no further connection and ends (a
// connection it serves gets what can be sent without waiting), and an
// exchange ends cut, one begun afterwards before it connects. Never blocks;
// for the runtime's stop, at the moment it sets its stopping flag. Nothing
// for a NULL or idle adapter.
void tcp_adapter_interrupt(TcpAdapter* adapter) noexcept;

// One exchange with host:port within timeout_ms (0: 1000). ok means a
// terminal reply: *result_kind is the peer's kind as sent (never none: a
// response, a deadletter or a number no ReplyKind names) and *reply a
// rt_malloc copy of its payload (NULL when empty) that the caller frees
// with rt_free. Any other status leaves *result_kind none and *reply NULL,
// with the reason and text saying why. reason and text may be NULL; text is
// cut to text_capacity - 1 bytes and terminated. closed: the exchange was cut by
// the interrupt (runtime_stopped, kTcpExchangeCutText), whatever it had
// sent; it counts in connections only when it had connected, never in
// connect_failures. expire_fd (-1: none), an Event's: once it is readable
// the exchange ends as if its time were up then, for a caller whose
// reason to wait has gone.
Status tcp_adapter_exchange(TcpAdapter* adapter, const uint8_t* payload, uint64_t payload_length, const char* host,
                            uint16_t port, uint32_t timeout_ms, int32_t* result_kind, uint8_t** reply,
                            uint64_t* reply_length, int32_t* reason, char* text, uint64_t text_capacity,
                            int32_t expire_fd = -1) noexcept;

// Copies the three counters (zeros for a NULL adapter); nothing for a NULL
// out. The counters are read one by one.
void tcp_adapter_stats(const TcpAdapter* adapter, TcpAdapterStats* out) noexcept;

// true for a NULL adapter or one that is not running. An outbound-only
// adapter runs.
bool tcp_adapter_is_stopped(const TcpAdapter* adapter) noexcept;

}  // namespace vorlet::v2
