#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/socket.h"

namespace vorlet::v2::platform {
namespace {

SocketError map_errno(int e) noexcept {
  switch (e) {
    case 0:
      return SocketError::none;
    case EINTR:
      return SocketError::interrupted;
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
      return SocketError::would_block;
    case EINPROGRESS:
      return SocketError::in_progress;
    case EALREADY:
      return SocketError::already;
    case EADDRNOTAVAIL:
      return SocketError::addr_not_avail;
    case ECONNREFUSED:
      return SocketError::connection_refused;
    case EMFILE:
    case ENFILE:
      return SocketError::too_many_files;
    case ENOBUFS:
    case ENOMEM:
      return SocketError::no_buffers;
    case EBADF:
    case EINVAL:
    case ENOTSOCK:
    case EFAULT:
      return SocketError::invalid;
    // Errors of one connection; accept(2) also passes the network errors of
    // a connection that failed in the queue, which are worth a retry.
    case ECONNABORTED:
    case ECONNRESET:
    case EPIPE:
    case EPROTO:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
    case ENETDOWN:
    case EPERM:
    case ETIMEDOUT:
      return SocketError::connection_lost;
    default:
      return SocketError::failed;
  }
}

void set_err(SocketError* err, SocketError value) noexcept {
  if (err != nullptr) *err = value;
}

// Best effort: a socket without it still works, only with the delay.
void set_no_delay(int s) noexcept {
  const int on = 1;
  (void)::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// ResolvedAddress is never defined: a pointer to one is a pointer to the
// resolver's entry.
const addrinfo* as_addrinfo(const ResolvedAddress* a) noexcept { return reinterpret_cast<const addrinfo*>(a); }
const ResolvedAddress* as_resolved(const addrinfo* a) noexcept { return reinterpret_cast<const ResolvedAddress*>(a); }

}  // namespace

bool socket_startup() noexcept {
  // Nothing to start on this platform; the once keeps the contract that
  // every later caller sees the first outcome.
  static const bool started = true;
  return started;
}

bool ipv4_parse(const char* text, Ipv4Address* out) noexcept {
  if (text == nullptr || out == nullptr) return false;
  in_addr a;
  if (inet_pton(AF_INET, text, &a) != 1) return false;
  std::memcpy(out->bytes, &a.s_addr, 4);
  return true;
}

AddressList::~AddressList() { clear(); }

bool AddressList::resolve(const char* host, uint16_t port) noexcept {
  clear();
  if (host == nullptr) return false;
  char service[8];
  std::snprintf(service, sizeof service, "%u", static_cast<unsigned>(port));
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* list = nullptr;
  if (getaddrinfo(host, service, &hints, &list) != 0) return false;
  list_ = list;
  return true;
}

void AddressList::clear() noexcept {
  if (list_ != nullptr) freeaddrinfo(static_cast<addrinfo*>(list_));
  list_ = nullptr;
}

const ResolvedAddress* AddressList::first() const noexcept { return as_resolved(static_cast<const addrinfo*>(list_)); }

const ResolvedAddress* AddressList::next(const ResolvedAddress* a) noexcept {
  return a == nullptr ? nullptr : as_resolved(as_addrinfo(a)->ai_next);
}

namespace {

SocketHandle open_for(const ResolvedAddress* a, int flags, SocketError* err) noexcept {
  if (a == nullptr) {
    set_err(err, SocketError::invalid);
    return kNoSocket;
  }
  const addrinfo* ai = as_addrinfo(a);
  const int s = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | flags, ai->ai_protocol);
  set_err(err, s < 0 ? map_errno(errno) : SocketError::none);
  if (s < 0) return kNoSocket;
  set_no_delay(s);
  return s;
}

}  // namespace

SocketHandle socket_open_for(const ResolvedAddress* a, SocketError* err) noexcept { return open_for(a, 0, err); }

SocketHandle socket_open_nonblocking_for(const ResolvedAddress* a, SocketError* err) noexcept {
  return open_for(a, SOCK_NONBLOCK, err);
}

SocketHandle socket_open_ipv4(SocketError* err) noexcept {
  const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  set_err(err, s < 0 ? map_errno(errno) : SocketError::none);
  return s < 0 ? kNoSocket : s;
}

bool socket_set_nonblocking(SocketHandle s) noexcept {
  const int flags = ::fcntl(s, F_GETFL);
  if (flags < 0) return false;
  return (flags & O_NONBLOCK) != 0 || ::fcntl(s, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool socket_set_reuse_address(SocketHandle s) noexcept {
  const int on = 1;
  return ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0;
}

SocketError socket_connect(SocketHandle s, const ResolvedAddress* a) noexcept {
  if (a == nullptr) return SocketError::invalid;
  const addrinfo* ai = as_addrinfo(a);
  return ::connect(s, ai->ai_addr, ai->ai_addrlen) == 0 ? SocketError::none : map_errno(errno);
}

bool socket_take_error(SocketHandle s, SocketError* pending) noexcept {
  int value = 0;
  socklen_t len = sizeof value;
  if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &value, &len) != 0) return false;
  if (pending != nullptr) *pending = map_errno(value);
  return true;
}

SocketError socket_bind_ipv4(SocketHandle s, const Ipv4Address* address, uint16_t port) noexcept {
  sockaddr_in sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  if (address != nullptr) {
    std::memcpy(&sa.sin_addr.s_addr, address->bytes, 4);
  } else {
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
  }
  return ::bind(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0 ? SocketError::none : map_errno(errno);
}

SocketError socket_listen(SocketHandle s, int backlog) noexcept {
  // Linux copies the option to every connection the listener accepts, which
  // saves a call per accept.
  set_no_delay(s);
  return ::listen(s, backlog) == 0 ? SocketError::none : map_errno(errno);
}

int socket_backlog_max() noexcept { return SOMAXCONN; }

uint16_t socket_local_port(SocketHandle s) noexcept {
  sockaddr_storage ss;
  socklen_t len = sizeof ss;
  if (::getsockname(s, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return 0;
  if (ss.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in*>(&ss)->sin_port);
  if (ss.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6*>(&ss)->sin6_port);
  return 0;
}

SocketHandle socket_accept(SocketHandle listener, SocketError* err) noexcept {
  const int s = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  *err = s < 0 ? map_errno(errno) : SocketError::none;
  if (s < 0) return kNoSocket;
  return s;  // TCP_NODELAY comes from the listener (socket_listen)
}

int64_t socket_send(SocketHandle s, const void* data, uint64_t length, SocketError* err) noexcept {
  const ssize_t n = ::send(s, data, static_cast<size_t>(length), MSG_NOSIGNAL);
  *err = n < 0 ? map_errno(errno) : SocketError::none;
  return n;
}

int64_t socket_send_pieces(SocketHandle s, const SendPiece* pieces, uint32_t count, SocketError* err) noexcept {
  if (count > kMaxSendPieces || (pieces == nullptr && count > 0)) {
    *err = SocketError::invalid;
    return -1;
  }
  iovec iov[kMaxSendPieces];
  for (uint32_t i = 0; i < count; ++i) {
    iov[i].iov_base = const_cast<void*>(pieces[i].data);
    iov[i].iov_len = static_cast<size_t>(pieces[i].length);
  }
  msghdr m;
  std::memset(&m, 0, sizeof m);
  m.msg_iov = iov;
  m.msg_iovlen = count;
  const ssize_t n = ::sendmsg(s, &m, MSG_NOSIGNAL);
  *err = n < 0 ? map_errno(errno) : SocketError::none;
  return n;
}

int64_t socket_recv(SocketHandle s, void* data, uint64_t length, SocketError* err) noexcept {
  const ssize_t n = ::recv(s, data, static_cast<size_t>(length), 0);
  *err = n < 0 ? map_errno(errno) : SocketError::none;
  return n;
}

int64_t socket_unacknowledged_bytes(SocketHandle s) noexcept {
  int queued = 0;
  if (::ioctl(s, SIOCOUTQ, &queued) != 0) return -1;
  return queued;
}

PollResult socket_poll(SocketHandle s, uint32_t want, uint32_t timeout_ms, SocketError* err, PollStops stops,
                       bool* troubled) noexcept {
  if (troubled != nullptr) *troubled = false;
  // poll passes over an entry whose descriptor is negative.
  pollfd p[3];
  p[0].fd = s;
  p[0].events = static_cast<short>(((want & kWantRead) != 0 ? POLLIN : 0) | ((want & kWantWrite) != 0 ? POLLOUT : 0) |
                                   ((want & kWantHangUp) != 0 ? POLLRDHUP : 0));
  p[0].revents = 0;
  p[1].fd = stops.cancel;
  p[1].events = POLLIN;
  p[1].revents = 0;
  p[2].fd = stops.expire;
  p[2].events = POLLIN;
  p[2].revents = 0;
  const int timeout = timeout_ms == kPollForever ? -1
                      : timeout_ms > 0x7fffffffu  ? 0x7fffffff
                                                  : static_cast<int>(timeout_ms);
  const int n = ::poll(p, 3, timeout);
  if (n < 0) {
    *err = map_errno(errno);
    return PollResult::failed;
  }
  *err = SocketError::none;
  if (n == 0) return PollResult::timed_out;
  if (p[1].revents != 0) return PollResult::cancelled;
  if (p[2].revents != 0) return PollResult::expired;
  if ((p[0].revents & POLLNVAL) != 0) {
    *err = SocketError::invalid;
    return PollResult::failed;
  }
  // A wanted event, or an error or hang-up the next call will report.
  if (troubled != nullptr) *troubled = (p[0].revents & (POLLERR | POLLHUP)) != 0;
  return PollResult::ready;
}

void socket_shutdown(SocketHandle s) noexcept {
  if (s >= 0) ::shutdown(s, SHUT_RDWR);
}

void socket_close(SocketHandle s) noexcept {
  // Not retried on EINTR: on Linux the descriptor is gone either way.
  if (s >= 0) ::close(s);
}

void socket_abort(SocketHandle s) noexcept {
  if (s < 0) return;
  // A zero linger time turns the close into a reset.
  const linger now{1, 0};
  (void)::setsockopt(s, SOL_SOCKET, SO_LINGER, &now, sizeof now);
  ::close(s);
}

bool descriptor_soft_limit(uint64_t* out) noexcept {
  rlimit r;
  if (out == nullptr || ::getrlimit(RLIMIT_NOFILE, &r) != 0) return false;
  *out = static_cast<uint64_t>(r.rlim_cur);
  return true;
}

bool set_descriptor_soft_limit(uint64_t limit) noexcept {
  rlimit r;
  if (::getrlimit(RLIMIT_NOFILE, &r) != 0) return false;
  r.rlim_cur = static_cast<rlim_t>(limit);
  return ::setrlimit(RLIMIT_NOFILE, &r) == 0;
}

}  // namespace vorlet::v2::platform
