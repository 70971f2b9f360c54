#include "tcp/tcp_adapter.h"

#include <cstring>
#include <new>

#include "base/alloc.h"
#include "base/text.h"
#include "codec/codes.h"
#include "tcp/tcp_frame.h"

namespace vorlet::v2 {
namespace {

using platform::kNoSocket;
using platform::SocketError;
using platform::SocketHandle;

// The pause after an accept that failed for want of descriptors or memory:
// nothing signals that they are free again, so the accept is tried again
// after it.
constexpr uint32_t kAcceptRetryMs = 250;
constexpr uint64_t kInboundTextCapacity = 160;

// The spin flag of start and stop: test-and-set, and a contender sleeps in an
// atomic wait until the holder clears it.
class SpinGuard {
 public:
  explicit SpinGuard(std::atomic_flag& flag) noexcept : flag_(flag) {
    while (flag_.test_and_set(std::memory_order_acquire)) flag_.wait(true, std::memory_order_relaxed);
  }
  ~SpinGuard() {
    flag_.clear(std::memory_order_release);
    flag_.notify_one();
  }
  SpinGuard(const SpinGuard&) = delete;
  SpinGuard& operator=(const SpinGuard&) = delete;

 private:
  std::atomic_flag& flag_;
};

// Closes a socket when it goes out of scope unless released.
class SocketHolder {
 public:
  explicit SocketHolder(SocketHandle s = kNoSocket) noexcept : s_(s) {}
  ~SocketHolder() { platform::socket_close(s_); }
  SocketHolder(const SocketHolder&) = delete;
  SocketHolder& operator=(const SocketHolder&) = delete;
  SocketHandle get() const noexcept { return s_; }
  SocketHandle release() noexcept {
    const SocketHandle s = s_;
    s_ = kNoSocket;
    return s;
  }

 private:
  SocketHandle s_;
};

void set_handler(TcpAdapter* a, InboundHandler handler, void* context) noexcept {
  MutexLock hold(&a->handler_lock);
  a->handler = handler;
  a->handler_context = context;
}

// The descriptor every wait watches beside its socket; -1 without an event.
int32_t interrupt_fd(const TcpAdapter* a) noexcept {
  return a->interrupt != nullptr ? a->interrupt->descriptor() : -1;
}

bool interrupted(const TcpAdapter* a) noexcept { return a->interrupt != nullptr && a->interrupt->is_set(); }

// ---- client ----

// A socket connected to host:port before the deadline, trying every
// resolved address in order; kNoSocket with *failure set otherwise, or with
// *cut set when a connect wait was cancelled (no later address is tried).
SocketHandle connect_before(const char* host, uint16_t port, uint64_t deadline_ns, platform::PollStops stops,
                            bool* cut, const char** failure) noexcept {
  if (!platform::socket_startup()) {
    *failure = "winsock startup failed";
    return kNoSocket;
  }
  platform::AddressList addresses;
  if (!addresses.resolve(host, port)) {
    *failure = "tcp address resolution failed";
    return kNoSocket;
  }
  for (const auto* a = addresses.first(); a != nullptr; a = platform::AddressList::next(a)) {
    SocketHolder s(platform::socket_open_nonblocking_for(a, nullptr));
    if (s.get() == kNoSocket) continue;
    const SocketError e = platform::socket_connect(s.get(), a);
    if (e == SocketError::none) return s.release();
    if (e == SocketError::in_progress || e == SocketError::would_block || e == SocketError::already ||
        e == SocketError::interrupted) {
      SocketError pending = SocketError::failed;
      bool troubled = true;
      const Status w = tcp_socket_wait(s.get(), platform::kWantWrite, deadline_ns, stops, &troubled);
      if (w == Status::bad_state) {
        *cut = true;
        return kNoSocket;
      }
      // Writable with neither error nor hang-up: connected. Otherwise the
      // socket's error says.
      if (w == Status::ok && !troubled) return s.release();
      if (w == Status::ok && platform::socket_take_error(s.get(), &pending) && pending == SocketError::none) {
        return s.release();
      }
    }
  }
  *failure = "tcp connect failed";
  return kNoSocket;
}

// ---- server ----

// Sends the reply and closes c. A reply that cannot be built is not sent
// (the peer sees the close). One that stalls or runs out of time is given
// up with a reset, so that what it left queued does not linger in the
// system for a peer that does not read; one cut by the interrupt closes as
// any, the peer keeping what was sent.
void reply_and_close(const TcpAdapter* a, SocketHolder* c, int32_t kind, int32_t reason, const char* text,
                     const uint8_t* payload, uint64_t payload_length, uint64_t deadline_ns) noexcept {
  TcpBody reply;
  if (!tcp_reply_body_build(kind, reason, text, payload, payload_length, &reply)) return;
  if (tcp_frame_send(c->get(), reply.data(), reply.size(), deadline_ns, interrupt_fd(a), kTcpReplyStallMs) ==
      Status::would_block) {
    platform::socket_abort(c->release());
  }
}

// Reads one request from c, answers it and closes c. wake: the event the
// handler may sleep on (NULL: none).
void serve_connection(TcpAdapter* a, SocketHandle accepted, platform::Event* wake) noexcept {
  SocketHolder c(accepted);
  if (!platform::socket_startup()) return;
  TcpBody request;
  TcpRequest req;
  // A receive cut by the interrupt is a failed receive, answered as any.
  // The connection carries this one request: its bytes have come with the
  // accept, as a rule, and nothing after it is read.
  const Status received = tcp_frame_receive(c.get(), &request, tcp_deadline_after_ms(kTcpDefaultTimeoutMs),
                                            interrupt_fd(a), a->max_request_body, kTcpReceiveWhole);
  if (received != Status::ok || !tcp_request_decode(request.data(), request.size(), &req)) {
    reply_and_close(a, &c, wire(ReplyKind::none), wire(DeadletterReason::remote_transport_failed),
                    "tcp request decode failed", nullptr, 0, tcp_deadline_after_ms(kTcpDefaultTimeoutMs));
    return;
  }

  InboundHandler handler;
  void* context;
  {
    MutexLock hold(&a->handler_lock);
    handler = a->handler;
    context = a->handler_context;
  }
  if (handler == nullptr) {
    reply_and_close(a, &c, wire(ReplyKind::none), wire(DeadletterReason::delivery_failed),
                    "inbound handler is not installed", nullptr, 0, tcp_deadline_after_ms(req.timeout_ms));
    return;
  }

  int32_t kind = wire(ReplyKind::none);
  uint8_t* out = nullptr;
  uint64_t out_length = 0;
  int32_t reason = wire(DeadletterReason::delivery_failed);
  char text[kInboundTextCapacity];
  text[0] = '\0';
  InboundWatch watch{c.get(), wake, false};
  const Status st = handler(context, req.payload, req.payload_length, req.timeout_ms, &kind, &out, &out_length, &reason,
                            text, sizeof text, &watch);
  if (watch.peer_left) {
    // Nobody to answer: the request was given up when its peer left.
    rt_free(out);
    return;
  }
  text[sizeof text - 1] = '\0';  // whatever the handler left, the text ends in the buffer
  if (st != Status::ok && kind == wire(ReplyKind::none)) {
    if (reason == wire(DeadletterReason::unspecified)) reason = wire(DeadletterReason::delivery_failed);
    if (text[0] == '\0') text_copy_bounded(text, sizeof text, "inbound delivery failed");
  }
  const uint32_t timeout_ms = req.timeout_ms;
  TcpBody().swap(request);  // the request may be large; it is no longer needed
  // The deadline is the peer's own budget; a peer that stops reading loses
  // the reply sooner, and the interrupt ends it at once.
  reply_and_close(a, &c, kind, reason, text, out, out_length, tcp_deadline_after_ms(timeout_ms));
  rt_free(out);
}

// Sleeps until the accept may be tried again. The connection that could
// not be taken keeps the socket readable, so the wait asks for no
// readiness: only the hang-up of stop's shutdown, the interrupt or the time
// ends it.
void back_off(const TcpAdapter* a, SocketHandle listener) noexcept {
  SocketError err;
  (void)platform::socket_poll(listener, 0, kAcceptRetryMs, &err, interrupt_fd(a));
}

// Accepts and serves one connection, after the poll reported the listener
// readable. Back to the poll after it, not to another accept: with one
// connection per exchange the next is seldom queued yet, and the poll
// costs no more than the accept that would find none. false when the
// listener must end: the socket is unusable, or the adapter stops or is
// interrupted.
bool serve_pending(TcpAdapter* a, SocketHandle listener, platform::Event* wake) noexcept {
  for (;;) {
    if (interrupted(a)) return false;
    SocketError err;
    const SocketHandle c = platform::socket_accept(listener, &err);
    if (c != kNoSocket) {
      serve_connection(a, c, wake);
      return a->configured.load(std::memory_order_acquire);
    }
    switch (err) {
      case SocketError::interrupted:
      case SocketError::connection_lost:
        continue;  // that one connection failed; the next may be fine
      case SocketError::would_block:
        return a->configured.load(std::memory_order_acquire);
      case SocketError::invalid:
        return false;
      default:
        // Out of descriptors or memory, or a failure we cannot place: the
        // pending connection stays queued, so poll would report it at once.
        back_off(a, listener);
        return a->configured.load(std::memory_order_acquire) && !interrupted(a);
    }
  }
}

void listener_main(void* arg) {
  auto* a = static_cast<TcpAdapter*>(arg);
  const int32_t cancel = interrupt_fd(a);
  while (a->configured.load(std::memory_order_acquire)) {
    const SocketHandle listener = a->listen_socket.load(std::memory_order_acquire);
    if (listener == kNoSocket) break;
    // No time limit: the interrupt ends the wait, and so does the shutdown
    // of the socket by stop.
    const Status st = tcp_socket_wait(listener, platform::kWantRead, kTcpNoDeadline, cancel);
    if (st != Status::ok) break;  // interrupted, or the socket is unusable
    if (!serve_pending(a, listener, a->reply_wake)) break;
  }
}

}  // namespace

TcpAdapter::TcpAdapter() noexcept
    : configured(false),
      running(false),
      exchanges(0),
      connections(0),
      connect_failures(0),
      handler(nullptr),
      handler_context(nullptr),
      listen_port(0),
      max_request_body(kTcpMaxBody),
      listen_socket(kNoSocket),
      interrupt(nullptr),
      reply_wake(nullptr),
      start_listener(platform::start_thread) {}

TcpAdapter* tcp_adapter_create() noexcept { return new (std::nothrow) TcpAdapter(); }

void tcp_adapter_destroy(TcpAdapter* adapter) noexcept {
  if (adapter == nullptr) return;
  tcp_adapter_stop(adapter);
  delete adapter;
}

void tcp_adapter_interrupt(TcpAdapter* adapter) noexcept {
  if (adapter != nullptr && adapter->interrupt != nullptr) adapter->interrupt->set();
}

Status tcp_adapter_start(TcpAdapter* adapter, const char* bind_host, uint16_t port, InboundHandler handler,
                         void* context, uint64_t max_request_payload) noexcept {
  if (adapter == nullptr) return Status::invalid_arg;
  SpinGuard guard(adapter->lock);
  if (adapter->configured.load(std::memory_order_acquire)) return Status::ok;

  set_handler(adapter, handler, context);
  adapter->listen_port = 0;
  adapter->running.store(true, std::memory_order_release);
  auto fail = [adapter](Status st) noexcept {
    set_handler(adapter, nullptr, nullptr);
    delete adapter->interrupt;
    adapter->interrupt = nullptr;
    delete adapter->reply_wake;
    adapter->reply_wake = nullptr;
    adapter->running.store(false, std::memory_order_release);
    return st;
  };
  // A fresh event, not set, for this run: it lives until stop.
  delete adapter->interrupt;
  adapter->interrupt = platform::Event::create();
  if (adapter->interrupt == nullptr) return fail(Status::io);
  if (port == 0 || handler == nullptr) {
    adapter->configured.store(true, std::memory_order_release);
    return Status::ok;
  }

  adapter->reply_wake = platform::Event::create();
  if (adapter->reply_wake == nullptr) return fail(Status::io);
  if (!platform::socket_startup()) return fail(Status::io);
  SocketHolder s(platform::socket_open_ipv4(nullptr));
  if (s.get() == kNoSocket) return fail(Status::io);
  (void)platform::socket_set_reuse_address(s.get());
  if (!platform::socket_set_nonblocking(s.get())) return fail(Status::io);

  const bool any = bind_host == nullptr || bind_host[0] == '\0';
  platform::Ipv4Address address;
  if (!any && !platform::ipv4_parse(bind_host, &address)) return fail(Status::invalid_arg);
  SocketError err = platform::socket_bind_ipv4(s.get(), any ? nullptr : &address, port);
  // A configured host that is not local to this machine: listen on every
  // address instead.
  if (err == SocketError::addr_not_avail && !any) err = platform::socket_bind_ipv4(s.get(), nullptr, port);
  if (err != SocketError::none) return fail(Status::io);
  // Peers that come in a crowd wait in the queue for their turn rather
  // than being turned away.
  if (platform::socket_listen(s.get(), platform::socket_backlog_max()) != SocketError::none) return fail(Status::io);

  adapter->listen_port = port;
  adapter->max_request_body = max_request_payload < kTcpMaxRequestPayload ? kTcpHeaderBytes + max_request_payload
                                                                          : kTcpMaxBody;
  adapter->listen_socket.store(s.get(), std::memory_order_release);
  adapter->configured.store(true, std::memory_order_release);
  if (!adapter->start_listener(&adapter->listener, listener_main, adapter)) {
    // No listener: back to idle, the socket closes with its holder.
    adapter->configured.store(false, std::memory_order_release);
    adapter->listen_socket.store(kNoSocket, std::memory_order_release);
    adapter->listen_port = 0;
    return fail(Status::io);
  }
  (void)s.release();  // the adapter owns the socket now; stop closes it
  return Status::ok;
}

void tcp_adapter_stop(TcpAdapter* adapter) noexcept {
  if (adapter == nullptr) return;
  SpinGuard guard(adapter->lock);
  adapter->configured.store(false, std::memory_order_release);
  set_handler(adapter, nullptr, nullptr);
  adapter->listen_port = 0;
  const SocketHandle s = adapter->listen_socket.exchange(kNoSocket, std::memory_order_acq_rel);
  // Shutting the socket down wakes the listener; the descriptor is closed
  // only once the listener is joined, so that it never waits on or accepts
  // from a number the process has given to another descriptor meanwhile.
  platform::socket_shutdown(s);
  platform::join_thread(&adapter->listener);
  platform::socket_close(s);
  // Nothing waits on the event any more: the listener has ended, and no
  // exchange runs while the adapter stops.
  delete adapter->interrupt;
  adapter->interrupt = nullptr;
  delete adapter->reply_wake;
  adapter->reply_wake = nullptr;
  adapter->running.store(false, std::memory_order_release);
}

Status tcp_adapter_exchange(TcpAdapter* adapter, const uint8_t* payload, uint64_t payload_length, const char* host,
                            uint16_t port, uint32_t timeout_ms, int32_t* result_kind, uint8_t** reply,
                            uint64_t* reply_length, int32_t* reason, char* text, uint64_t text_capacity,
                            int32_t expire_fd) noexcept {
  if (adapter == nullptr) return Status::invalid_arg;
  adapter->exchanges.fetch_add(1, std::memory_order_relaxed);
  if (result_kind != nullptr) *result_kind = wire(ReplyKind::none);
  if (reply != nullptr) *reply = nullptr;
  if (reply_length != nullptr) *reply_length = 0;
  if (reason != nullptr) *reason = wire(DeadletterReason::delivery_failed);
  if (text != nullptr && text_capacity > 0) text[0] = '\0';

  auto fail = [&](Status st, DeadletterReason why, const char* message) noexcept {
    if (reason != nullptr) *reason = wire(why);
    text_copy_bounded(text, text_capacity, message);
    return st;
  };
  if (result_kind == nullptr || reply == nullptr || reply_length == nullptr || payload == nullptr ||
      payload_length == 0 || host == nullptr || port == 0) {
    return fail(Status::invalid_arg, DeadletterReason::delivery_failed, "invalid remote submit arguments");
  }
  if (!adapter->configured.load(std::memory_order_acquire)) {
    return fail(Status::bad_state, DeadletterReason::delivery_failed, "remote transport adapter is not started");
  }
  // Cut by the interrupt: the runtime stops. Nothing is retried after it.
  auto cut = [&]() noexcept { return fail(Status::closed, DeadletterReason::runtime_stopped, kTcpExchangeCutText); };
  if (interrupted(adapter)) return cut();

  const uint64_t deadline = tcp_deadline_after_ms(timeout_ms);
  TcpBody request;
  if (!tcp_request_body_build(timeout_ms, payload, payload_length, &request)) {
    return fail(Status::nomem, DeadletterReason::delivery_failed, "failed to allocate tcp request");
  }
  const char* failure = nullptr;
  const platform::PollStops stops(interrupt_fd(adapter), expire_fd);
  bool connect_cut = false;
  SocketHolder s(connect_before(host, port, deadline, stops, &connect_cut, &failure));
  if (connect_cut) return cut();
  if (s.get() == kNoSocket) {
    adapter->connect_failures.fetch_add(1, std::memory_order_relaxed);
    return fail(Status::io, DeadletterReason::remote_transport_failed, failure);
  }

  adapter->connections.fetch_add(1, std::memory_order_relaxed);
  TcpBody response;
  Status st = tcp_frame_send(s.get(), request.data(), request.size(), deadline, stops);
  // The answer comes after the peer's round trip: wait before the first
  // receive. The connection ends with it.
  if (st == Status::ok) {
    st = tcp_frame_receive(s.get(), &response, deadline, stops, kTcpMaxBody, kTcpReceiveWhole | kTcpReceiveAwait);
  }
  platform::socket_close(s.release());
  if (st == Status::bad_state) return cut();
  if (st == Status::would_block) return fail(Status::io, DeadletterReason::remote_reply_timeout, "tcp reply timed out");
  if (st != Status::ok) return fail(Status::io, DeadletterReason::remote_transport_failed, "tcp exchange failed");

  TcpReply r;
  if (!tcp_reply_decode(response.data(), response.size(), &r)) {
    return fail(Status::io, DeadletterReason::remote_transport_failed, "tcp response decode failed");
  }
  if (r.result_kind == wire(ReplyKind::none)) {
    if (reason != nullptr) *reason = r.reason;
    if (r.text_length > 0) {
      tcp_received_text_copy(text, text_capacity, r.text, r.text_length);
    } else {
      text_copy_bounded(text, text_capacity, "tcp peer returned no terminal result");
    }
    return Status::io;
  }
  if (r.payload_length > 0) {
    void* copy = rt_malloc(r.payload_length);
    if (copy == nullptr) {
      return fail(Status::nomem, DeadletterReason::delivery_failed, "failed to allocate tcp reply copy");
    }
    std::memcpy(copy, r.payload, static_cast<size_t>(r.payload_length));
    *reply = static_cast<uint8_t*>(copy);
    *reply_length = r.payload_length;
  }
  *result_kind = r.result_kind;
  if (reason != nullptr) *reason = r.reason;
  tcp_received_text_copy(text, text_capacity, r.text, r.text_length);
  return Status::ok;
}

void tcp_adapter_stats(const TcpAdapter* adapter, TcpAdapterStats* out) noexcept {
  if (out == nullptr) return;
  if (adapter == nullptr) {
    *out = TcpAdapterStats{0, 0, 0};
    return;
  }
  out->exchanges = adapter->exchanges.load(std::memory_order_relaxed);
  out->connections = adapter->connections.load(std::memory_order_relaxed);
  out->connect_failures = adapter->connect_failures.load(std::memory_order_relaxed);
}

bool tcp_adapter_is_stopped(const TcpAdapter* adapter) noexcept {
  return adapter == nullptr || !adapter->running.load(std::memory_order_acquire);
}

}  // namespace vorlet::v2
