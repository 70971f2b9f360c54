// The socket layer of the TCP transport: just the stream-socket calls it
// needs, over the operating system's sockets. Results are plain values and
// SocketError codes; the OS error number never leaves this layer.
//
// Every socket this layer opens or accepts is close-on-exec, every accepted
// socket is non-blocking, and sends never raise SIGPIPE: a peer that went
// away is a failed send. The connection sockets (socket_open_for and
// socket_accept) send without the small-segment delay (TCP_NODELAY): the
// transport writes each frame whole and then waits for the answer, so
// holding back its last segment would only add a delayed acknowledgement's
// wait to every exchange. Where the option cannot be set the socket is
// used as it is.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorlet::v2::platform {

using SocketHandle = int;
inline constexpr SocketHandle kNoSocket = -1;

// Failure codes of socket calls. The transport was designed around the
// numbering of the Windows socket library, so the codes it reads keep those
// numbers; the rest are grouped by what a caller can do about them.
enum class SocketError : int32_t {
  none = 0,
  interrupted = 10004,      // a signal interrupted the call: call again
  invalid = 10022,          // the socket cannot do this (closed, shut down, not listening)
  too_many_files = 10024,   // descriptor table full (process or system)
  would_block = 10035,      // no progress possible now
  in_progress = 10036,      // a connect is under way
  already = 10037,          // a connect is already under way
  addr_not_avail = 10049,   // the address is not local to this machine
  connection_lost = 10053,  // one connection failed (aborted, reset, network error)
  no_buffers = 10055,       // kernel memory or buffer space exhausted
  connection_refused = 10061,
  failed = 10000,  // anything else
};

// Readiness wanted from socket_poll: a bit set.
inline constexpr uint32_t kWantRead = 1;
inline constexpr uint32_t kWantWrite = 2;
// The peer has closed the connection or shut down its sending side, or
// the connection failed. Bytes waiting to be read do not count, so a
// connection can be watched for its peer's departure while its request
// sits unread or extra bytes arrive.
inline constexpr uint32_t kWantHangUp = 4;

// cancelled: the stop's cancel descriptor became readable; expired: its
// expire descriptor did.
enum class PollResult { ready, timed_out, failed, cancelled, expired };

// The descriptors (Events') a wait watches beside its socket; -1: none.
// Readability of `cancel` ends the wait cancelled, that of `expire` ends it
// as if its time were up; cancel wins when both are readable. A single
// descriptor converts to a cancel.
struct PollStops {
  int32_t cancel = -1;
  int32_t expire = -1;

  PollStops() = default;
  PollStops(int32_t cancel_fd) noexcept : cancel(cancel_fd) {}  // NOLINT(google-explicit-constructor)
  PollStops(int32_t cancel_fd, int32_t expire_fd) noexcept : cancel(cancel_fd), expire(expire_fd) {}
};

// The socket library's start-up: nothing to do here, done once per process.
// true when sockets can be used.
bool socket_startup() noexcept;

// An IPv4 address in network byte order.
struct Ipv4Address {
  uint8_t bytes[4];
};

// Parses dotted IPv4 text ("a.b.c.d"). false for anything else.
bool ipv4_parse(const char* text, Ipv4Address* out) noexcept;

// One resolved stream address, owned by the AddressList that holds it.
struct ResolvedAddress;

// The addresses of a host and port for a TCP stream, in the resolver's
// order. Owns the resolver's list; not copyable.
class AddressList {
 public:
  AddressList() = default;
  ~AddressList();
  AddressList(const AddressList&) = delete;
  AddressList& operator=(const AddressList&) = delete;

  // Resolves host (a name or a numeric address) and port for any address
  // family. false when resolution failed; the list is then empty.
  bool resolve(const char* host, uint16_t port) noexcept;
  // Frees the list.
  void clear() noexcept;

  const ResolvedAddress* first() const noexcept;
  static const ResolvedAddress* next(const ResolvedAddress* a) noexcept;

 private:
  void* list_ = nullptr;
};

// A stream socket of the address's family and protocol, close-on-exec,
// blocking and with TCP_NODELAY on. kNoSocket on failure (*err says why; err may be NULL).
SocketHandle socket_open_for(const ResolvedAddress* a, SocketError* err) noexcept;
// The same, but non-blocking from the start, for a connect that is waited
// on: no second call to change the mode.
SocketHandle socket_open_nonblocking_for(const ResolvedAddress* a, SocketError* err) noexcept;
// An IPv4 TCP socket, close-on-exec and blocking.
SocketHandle socket_open_ipv4(SocketError* err) noexcept;

bool socket_set_nonblocking(SocketHandle s) noexcept;
// SO_REUSEADDR on; false when it could not be set.
bool socket_set_reuse_address(SocketHandle s) noexcept;

// Starts a connect. none when connected at once; in_progress (or
// would_block, already) while it goes on: wait for writability, then read
// socket_take_error.
SocketError socket_connect(SocketHandle s, const ResolvedAddress* a) noexcept;
// The socket's pending error (SO_ERROR), cleared by the read. false when it
// cannot be read; *pending is none when there is no error.
bool socket_take_error(SocketHandle s, SocketError* pending) noexcept;

// Binds to address:port (NULL address: every local IPv4 address).
SocketError socket_bind_ipv4(SocketHandle s, const Ipv4Address* address, uint16_t port) noexcept;
// Listens with TCP_NODELAY on, which every accepted connection inherits.
SocketError socket_listen(SocketHandle s, int backlog) noexcept;
// The largest backlog the system takes (SOMAXCONN; the kernel may cap it
// lower, at net.core.somaxconn).
int socket_backlog_max() noexcept;
// The local port the socket is bound to; 0 when unknown.
uint16_t socket_local_port(SocketHandle s) noexcept;
// Accepts one pending connection, non-blocking, close-on-exec and with
// TCP_NODELAY on (inherited from a listener that socket_listen made).
// kNoSocket on failure with *err set (never NULL).
SocketHandle socket_accept(SocketHandle listener, SocketError* err) noexcept;

// One send call (never SIGPIPE). Bytes written, or -1 with *err set.
int64_t socket_send(SocketHandle s, const void* data, uint64_t length, SocketError* err) noexcept;
// One piece of a gathered send: length bytes at data.
struct SendPiece {
  const void* data;
  uint64_t length;
};
// The most pieces one gathered send takes.
inline constexpr uint32_t kMaxSendPieces = 8;
// One send call of the pieces' bytes in order, as socket_send of their
// concatenation would send them (never SIGPIPE): bytes written, which may
// end inside any piece, or -1 with *err set. More than kMaxSendPieces
// pieces fail with invalid.
int64_t socket_send_pieces(SocketHandle s, const SendPiece* pieces, uint32_t count, SocketError* err) noexcept;
// One receive call. Bytes read, 0 when the peer closed, or -1 with *err set.
int64_t socket_recv(SocketHandle s, void* data, uint64_t length, SocketError* err) noexcept;
// The bytes given to send calls that the peer has not acknowledged yet
// (sent or not): they fall as the peer takes them. -1 when unknown.
int64_t socket_unacknowledged_bytes(SocketHandle s) noexcept;

// Waits up to timeout_ms for one of the wanted directions. An error or
// hang-up on the socket counts as ready, so that the next send, receive or
// socket_take_error reports it (with want 0 only they end the wait: a
// listening socket hangs up at socket_shutdown); a descriptor that is not
// open fails.
// On failed, *err says why (interrupted: just wait again).
// stops: descriptors watched for reading beside the socket; once one is
// readable, or reports anything else, the wait ends with cancelled or
// expired, even when the socket is ready too, so that a peer that keeps its
// socket busy cannot outlast them.
// kPollForever as timeout_ms: no time limit.
// troubled (NULL: not asked): on ready, whether the socket reported an
// error or a hang-up beside what was wanted; a connect that polls writable
// without either has succeeded, and needs no socket_take_error.
inline constexpr uint32_t kPollForever = 0xFFFFFFFFu;
PollResult socket_poll(SocketHandle s, uint32_t want, uint32_t timeout_ms, SocketError* err,
                       PollStops stops = {}, bool* troubled = nullptr) noexcept;

// Ends both directions; wakes a thread that waits on or accepts from s.
void socket_shutdown(SocketHandle s) noexcept;
void socket_close(SocketHandle s) noexcept;
// Closes with a reset: whatever is still queued to send is dropped at
// once instead of lingering in the system for a peer that does not read.
void socket_abort(SocketHandle s) noexcept;

// The process's soft limit on open descriptors, and a way to change it
// (within the hard limit). Tests use them to provoke descriptor exhaustion.
bool descriptor_soft_limit(uint64_t* out) noexcept;
bool set_descriptor_soft_limit(uint64_t limit) noexcept;

}  // namespace vorlet::v2::platform
