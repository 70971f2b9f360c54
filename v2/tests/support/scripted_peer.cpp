#include "support/scripted_peer.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace vorlet::v2::test {
namespace {

using platform::SocketError;
using platform::SocketHandle;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kServerReadMs = 5000;
constexpr uint32_t kSilentHoldMs = 10000;
// Ample for 64 MiB to a peer that reads, under the sanitizers too.
constexpr uint32_t kPeerWriteMs = 60000;
constexpr uint64_t kServerMaxBody = 80ull << 20;

uint64_t ms_since(Clock::time_point start) {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

uint32_t ms_left(Clock::time_point deadline) {
  const auto now = Clock::now();
  if (now >= deadline) return 0;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
  return static_cast<uint32_t>(left < 1 ? 1 : left);
}

// Reads exactly n bytes before the deadline; `stop` (may be NULL) ends the
// wait early.
Status read_exact(SocketHandle s, uint8_t* p, uint64_t n, Clock::time_point deadline, const std::atomic<bool>* stop) {
  while (n > 0) {
    SocketError err;
    const int64_t got = platform::socket_recv(s, p, n, &err);
    if (got > 0) {
      p += got;
      n -= static_cast<uint64_t>(got);
      continue;
    }
    if (got == 0) return Status::closed;
    if (err == SocketError::interrupted) continue;
    if (err != SocketError::would_block) return Status::io;
    for (;;) {
      if (stop != nullptr && stop->load()) return Status::would_block;
      const uint32_t left = ms_left(deadline);
      if (left == 0) return Status::would_block;
      const auto r = platform::socket_poll(s, platform::kWantRead, left < 20 ? left : 20, &err);
      if (r == platform::PollResult::ready) break;
      if (r == platform::PollResult::failed && err != SocketError::interrupted) return Status::io;
    }
  }
  return Status::ok;
}

bool write_all(SocketHandle s, const Bytes& bytes, Clock::time_point deadline) {
  const uint8_t* p = bytes.data();
  uint64_t n = bytes.size();
  while (n > 0) {
    SocketError err;
    const int64_t sent = platform::socket_send(s, p, n, &err);
    if (sent > 0) {
      p += sent;
      n -= static_cast<uint64_t>(sent);
      continue;
    }
    if (sent < 0 && err != SocketError::would_block && err != SocketError::interrupted) return false;
    const uint32_t left = ms_left(deadline);
    if (left == 0) return false;
    (void)platform::socket_poll(s, platform::kWantWrite, left, &err);
  }
  return true;
}

Status read_frame_body(SocketHandle s, Bytes* body, Clock::time_point deadline, const std::atomic<bool>* stop,
                       uint64_t max_body) {
  body->clear();
  uint8_t prefix[8];
  Status st = read_exact(s, prefix, 8, deadline, stop);
  if (st != Status::ok) return st;
  uint64_t len = 0;
  for (int i = 7; i >= 0; --i) len = len << 8 | prefix[i];
  if (len > max_body) return Status::io;
  body->resize(len);
  st = read_exact(s, body->data(), len, deadline, stop);
  if (st != Status::ok) body->clear();
  return st;
}

// One receive of up to n bytes into data, waiting for them until the
// deadline: how many came (more than 0), or 0 with *status saying why none
// will: closed (the peer closed), io (a socket error) or would_block (the
// deadline passed).
uint64_t recv_within(SocketHandle s, uint8_t* data, uint64_t n, Clock::time_point deadline, Status* status) {
  for (;;) {
    SocketError err;
    const int64_t got = platform::socket_recv(s, data, n, &err);
    if (got > 0) return static_cast<uint64_t>(got);
    if (got == 0) {
      *status = Status::closed;
      return 0;
    }
    if (err == SocketError::interrupted) continue;
    if (err != SocketError::would_block) {
      *status = Status::io;
      return 0;
    }
    const uint32_t left = ms_left(deadline);
    if (left == 0) {
      *status = Status::would_block;
      return 0;
    }
    (void)platform::socket_poll(s, platform::kWantRead, left, &err);
  }
}

}  // namespace

// ---- wire ----

Bytes wire_u32(uint32_t v) {
  return Bytes{static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
               static_cast<uint8_t>(v >> 24)};
}

Bytes wire_u64(uint64_t v) { return wire_u32(static_cast<uint32_t>(v)) + wire_u32(static_cast<uint32_t>(v >> 32)); }

Bytes wire_bytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes wire_frame(const Bytes& body) { return wire_u64(body.size()) + body; }

Bytes wire_request_body(uint32_t timeout_ms, const std::string& payload) {
  return wire_bytes("V2Q1") + wire_u32(timeout_ms) + wire_u64(payload.size()) + wire_bytes(payload);
}

Bytes wire_reply_body(uint32_t kind, uint32_t reason, const std::string& text, const std::string& payload) {
  return wire_bytes("V2R1") + wire_u32(kind) + wire_u32(reason) + wire_u32(static_cast<uint32_t>(text.size())) +
         wire_bytes(text) + wire_bytes(payload);
}

WireReply wire_parse_reply(const Bytes& body) {
  WireReply r;
  if (body.size() < 16 || std::memcmp(body.data(), "V2R1", 4) != 0) return r;
  auto u32 = [&](size_t at) {
    return static_cast<uint32_t>(body[at]) | static_cast<uint32_t>(body[at + 1]) << 8 |
           static_cast<uint32_t>(body[at + 2]) << 16 | static_cast<uint32_t>(body[at + 3]) << 24;
  };
  const uint32_t text_len = u32(12);
  if (text_len > body.size() - 16) return r;
  r.valid = true;
  r.kind = u32(4);
  r.reason = u32(8);
  r.text.assign(reinterpret_cast<const char*>(body.data()) + 16, text_len);
  r.payload.assign(reinterpret_cast<const char*>(body.data()) + 16 + text_len, body.size() - 16 - text_len);
  return r;
}

uint16_t free_loopback_port() {
  platform::Ipv4Address loopback;
  if (!platform::ipv4_parse("127.0.0.1", &loopback)) return 0;
  const SocketHandle s = platform::socket_open_ipv4(nullptr);
  if (s == platform::kNoSocket) return 0;
  uint16_t port = 0;
  if (platform::socket_bind_ipv4(s, &loopback, 0) == SocketError::none) port = platform::socket_local_port(s);
  platform::socket_close(s);
  return port;
}

// ---- steps ----

PeerStep PeerStep::reply(uint32_t kind, uint32_t reason, const std::string& text, const std::string& payload) {
  return reply_body(wire_reply_body(kind, reason, text, payload));
}

PeerStep PeerStep::reply_body(Bytes body) { return PeerStep{Action::reply, std::move(body)}; }
PeerStep PeerStep::raw(Bytes bytes) { return PeerStep{Action::write_raw, std::move(bytes)}; }
PeerStep PeerStep::close_early() { return PeerStep{Action::close_early, {}}; }
PeerStep PeerStep::stay_silent() { return PeerStep{Action::stay_silent, {}}; }
PeerStep PeerStep::reset() { return PeerStep{Action::reset, {}}; }
PeerStep PeerStep::hold_unread() { return PeerStep{Action::hold_unread, {}}; }

void socket_close_with_reset(SocketHandle s) { platform::socket_abort(s); }

// ---- server ----

ScriptedServer::ScriptedServer(std::vector<PeerStep> script, bool cycle) : script_(std::move(script)), cycle_(cycle) {
  platform::Ipv4Address loopback;
  if (!platform::ipv4_parse("127.0.0.1", &loopback)) return;
  const SocketHandle s = platform::socket_open_ipv4(nullptr);
  if (s == platform::kNoSocket) return;
  if (!platform::socket_set_nonblocking(s) || platform::socket_bind_ipv4(s, &loopback, 0) != SocketError::none ||
      platform::socket_listen(s, 16) != SocketError::none) {
    platform::socket_close(s);
    return;
  }
  listener_ = s;
  port_ = platform::socket_local_port(s);
  thread_ = std::thread([this] { run(); });
}

ScriptedServer::~ScriptedServer() {
  stop_.store(true);
  if (thread_.joinable()) thread_.join();
  platform::socket_close(listener_);
}

std::vector<Bytes> ScriptedServer::requests() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return requests_;
}

void ScriptedServer::run() {
  size_t next = 0;
  while (!stop_.load()) {
    SocketError err;
    const auto r = platform::socket_poll(listener_, platform::kWantRead, 20, &err);
    if (r != platform::PollResult::ready) continue;
    const SocketHandle c = platform::socket_accept(listener_, &err);
    if (c == platform::kNoSocket) continue;
    accepted_.fetch_add(1);
    const PeerStep& step = script_.empty() ? PeerStep{PeerStep::Action::close_early, {}} : script_[next];
    if (next + 1 < script_.size()) {
      ++next;
    } else if (cycle_) {
      next = 0;
    }
    serve(c, step);
    if (step.action == PeerStep::Action::reset) {
      socket_close_with_reset(c);
    } else {
      platform::socket_close(c);
    }
  }
}

void ScriptedServer::serve(SocketHandle c, const PeerStep& step) {
  if (step.action == PeerStep::Action::hold_unread) {
    served_.fetch_add(1);
    // Until the client closes (a hang-up) or the server ends; nothing is
    // read, so the client's bytes pile up in the socket buffers.
    const auto hold_deadline = Clock::now() + std::chrono::milliseconds(kSilentHoldMs);
    while (!stop_.load() && ms_left(hold_deadline) > 0) {
      pollfd p{c, 0, 0};  // only a hang-up or an error, never readability
      if (::poll(&p, 1, 20) > 0) break;
    }
    return;
  }
  Bytes request;
  const auto read_deadline = Clock::now() + std::chrono::milliseconds(kServerReadMs);
  (void)read_frame_body(c, &request, read_deadline, &stop_, kServerMaxBody);
  {
    std::lock_guard<std::mutex> hold(mutex_);
    requests_.push_back(request);
  }
  served_.fetch_add(1);
  const auto write_deadline = Clock::now() + std::chrono::milliseconds(kServerReadMs);
  switch (step.action) {
    case PeerStep::Action::reply:
      (void)write_all(c, wire_frame(step.bytes), write_deadline);
      break;
    case PeerStep::Action::write_raw:
      (void)write_all(c, step.bytes, write_deadline);
      break;
    case PeerStep::Action::close_early:
    case PeerStep::Action::reset:
    case PeerStep::Action::hold_unread:
      break;
    case PeerStep::Action::stay_silent: {
      // Until the client closes (a read of 0 or an error) or the server ends.
      const auto hold_deadline = Clock::now() + std::chrono::milliseconds(kSilentHoldMs);
      uint8_t sink[256];
      while (!stop_.load() && ms_left(hold_deadline) > 0) {
        SocketError err;
        if (platform::socket_poll(c, platform::kWantRead, 20, &err) != platform::PollResult::ready) continue;
        const int64_t got = platform::socket_recv(c, sink, sizeof sink, &err);
        if (got == 0 || (got < 0 && err != SocketError::would_block && err != SocketError::interrupted)) break;
      }
      break;
    }
  }
}

// ---- client ----

bool PeerClient::open(uint16_t port) {
  close();
  if (!address_.resolve("127.0.0.1", port) || address_.first() == nullptr) return false;
  const SocketHandle s = platform::socket_open_for(address_.first(), nullptr);
  if (s == platform::kNoSocket) return false;
  if (!platform::socket_set_nonblocking(s)) {
    platform::socket_close(s);
    return false;
  }
  s_ = s;
  return true;
}

bool PeerClient::set_receive_buffer(int bytes) {
  return s_ != platform::kNoSocket && ::setsockopt(s_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) == 0;
}

bool PeerClient::connect() {
  if (s_ == platform::kNoSocket) return false;
  SocketError e = platform::socket_connect(s_, address_.first());
  if (e == SocketError::in_progress || e == SocketError::would_block) {
    SocketError err;
    e = SocketError::failed;
    if (platform::socket_poll(s_, platform::kWantWrite, 2000, &err) == platform::PollResult::ready &&
        !platform::socket_take_error(s_, &e)) {
      e = SocketError::failed;
    }
  }
  if (e != SocketError::none) close();
  return e == SocketError::none;
}

bool PeerClient::send(const Bytes& bytes) {
  return s_ != platform::kNoSocket && write_all(s_, bytes, Clock::now() + std::chrono::milliseconds(5000));
}

ClientOutcome PeerClient::read_frame(uint32_t wait_ms) {
  ClientOutcome out;
  const auto start = Clock::now();
  if (s_ != platform::kNoSocket) {
    out.status = read_frame_body(s_, &out.body, start + std::chrono::milliseconds(wait_ms), nullptr, kServerMaxBody);
  }
  out.elapsed_ms = ms_since(start);
  return out;
}

ClientOutcome PeerClient::read_to_end(uint32_t wait_ms) {
  ClientOutcome out;
  out.status = Status::would_block;
  const auto start = Clock::now();
  const auto deadline = start + std::chrono::milliseconds(wait_ms);
  uint8_t chunk[65536];
  while (s_ != platform::kNoSocket) {
    const uint64_t got = recv_within(s_, chunk, sizeof chunk, deadline, &out.status);
    if (got == 0) break;
    out.body.insert(out.body.end(), chunk, chunk + got);
  }
  out.elapsed_ms = ms_since(start);
  return out;
}

ClientOutcome read_frame_paced(SocketHandle s, uint32_t chunk, uint32_t period_ms, uint32_t slow_ms, uint32_t wait_ms) {
  ClientOutcome out;
  out.status = Status::would_block;
  const auto start = Clock::now();
  const auto slow_until = start + std::chrono::milliseconds(slow_ms);
  const auto deadline = start + std::chrono::milliseconds(wait_ms);
  Bytes got;
  uint64_t want = 8;  // the prefix, then the prefix and the body
  bool have_length = false;
  std::vector<uint8_t> buffer(65536);
  while (s != platform::kNoSocket && got.size() < want) {
    const bool slow = Clock::now() < slow_until;
    uint64_t ask = want - got.size();
    if (ask > buffer.size()) ask = buffer.size();
    if (slow && ask > chunk) ask = chunk;
    const uint64_t n = recv_within(s, buffer.data(), ask, deadline, &out.status);
    if (n == 0) break;
    got.insert(got.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n));
    if (!have_length && got.size() >= 8) {
      uint64_t length = 0;
      for (int i = 7; i >= 0; --i) length = length << 8 | got[static_cast<size_t>(i)];
      want = 8 + length;
      have_length = true;
    }
    if (slow) std::this_thread::sleep_for(std::chrono::milliseconds(period_ms));
  }
  if (have_length && got.size() == want) {
    out.status = Status::ok;
    out.body.assign(got.begin() + 8, got.end());
  }
  out.elapsed_ms = ms_since(start);
  return out;
}

ClientOutcome PeerClient::read_frame_paced(uint32_t chunk, uint32_t period_ms, uint32_t slow_ms, uint32_t wait_ms) {
  return test::read_frame_paced(s_, chunk, period_ms, slow_ms, wait_ms);
}

uint64_t PeerClient::unread_bytes() const {
  int n = 0;
  if (s_ == platform::kNoSocket || ::ioctl(s_, FIONREAD, &n) != 0 || n < 0) return 0;
  return static_cast<uint64_t>(n);
}

void PeerClient::shutdown_send() {
  if (s_ != platform::kNoSocket) (void)::shutdown(s_, SHUT_WR);
}

void PeerClient::close() {
  platform::socket_close(s_);
  s_ = platform::kNoSocket;
}

void PeerClient::reset() {
  socket_close_with_reset(s_);
  s_ = platform::kNoSocket;
}

ClientOutcome client_exchange(uint16_t port, const Bytes& bytes, uint32_t wait_ms) {
  PeerClient client;
  if (!client.connect(port)) return ClientOutcome{};
  if (!bytes.empty() && !client.send(bytes)) return ClientOutcome{};
  return client.read_frame(wait_ms);
}

// ---- two connected sockets ----

SocketPair::SocketPair(int peer_receive_buffer) {
  const SocketHandle listener = platform::socket_open_ipv4(nullptr);
  platform::Ipv4Address lo;
  platform::ipv4_parse("127.0.0.1", &lo);
  if (platform::socket_bind_ipv4(listener, &lo, 0) == SocketError::none &&
      platform::socket_listen(listener, 1) == SocketError::none) {
    platform::AddressList list;
    if (list.resolve("127.0.0.1", platform::socket_local_port(listener))) {
      b = platform::socket_open_for(list.first(), nullptr);
      if (peer_receive_buffer > 0) {
        (void)::setsockopt(b, SOL_SOCKET, SO_RCVBUF, &peer_receive_buffer, sizeof peer_receive_buffer);
      }
      if (platform::socket_connect(b, list.first()) == SocketError::none) {
        SocketError err;
        a = platform::socket_accept(listener, &err);
        platform::socket_set_nonblocking(b);
      }
    }
  }
  platform::socket_close(listener);
}

SocketPair::~SocketPair() {
  close_a();
  close_b();
}

void SocketPair::close_a() {
  platform::socket_close(a);
  a = platform::kNoSocket;
}

void SocketPair::close_b() {
  platform::socket_close(b);
  b = platform::kNoSocket;
}

void SocketPair::reset_b() {
  platform::socket_abort(b);
  b = platform::kNoSocket;
}

void SocketPair::shutdown_b_send() {
  if (b != platform::kNoSocket) (void)::shutdown(b, SHUT_WR);
}

void SocketPair::peer_write(const Bytes& bytes) {
  (void)write_all(b, bytes, Clock::now() + std::chrono::milliseconds(kPeerWriteMs));
}

}  // namespace vorlet::v2::test

namespace vorlet::v2::test {

// ---- a listener that takes no connection ----

StalledListener::StalledListener() {
  platform::Ipv4Address loopback;
  if (!platform::ipv4_parse("127.0.0.1", &loopback)) return;
  const SocketHandle s = platform::socket_open_ipv4(nullptr);
  if (s == platform::kNoSocket) return;
  // A queue of length 0 holds one connection that is not accepted.
  if (platform::socket_bind_ipv4(s, &loopback, 0) != SocketError::none ||
      platform::socket_listen(s, 0) != SocketError::none) {
    platform::socket_close(s);
    return;
  }
  listener_ = s;
  port_ = platform::socket_local_port(s);
  filled_ = filler_.connect(port_);
}

StalledListener::~StalledListener() {
  filler_.close();
  platform::socket_close(listener_);
}

}  // namespace vorlet::v2::test
