// A scripted "tcp-frame" peer on the loopback interface, for tests of the
// TCP transport and of everything built on it (remote delivery, inbound
// requests, end-to-end runs).
//
// - ScriptedServer listens on 127.0.0.1 (a free port) and serves each
//   connection with the next step of its script: reply with a given reply
//   body, write raw bytes, close early, reset the connection, or stay
//   silent, or leave the request unread. It records the request body of
//   every connection it read.
// - StalledListener listens on 127.0.0.1 and never accepts, its queue full,
//   so that a connect to it stays under way.
// - PeerClient connects to 127.0.0.1, writes whatever bytes a test gives it
//   (a well-formed request, a broken one, nothing at all) and reads one
//   reply frame within a bound.
// - SocketPair is two connected loopback sockets, one under test and one
//   the test plays the peer with.
// - The wire_* helpers encode and decode the protocol's bodies on their own,
//   so that tests do not check the transport against itself.
//
// Everything here ends in bounded time and talks only to 127.0.0.1.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/status.h"
#include "platform/socket.h"

namespace vorlet::v2::test {

using Bytes = std::vector<uint8_t>;

// ---- the wire, encoded independently ----

Bytes wire_u32(uint32_t v);
Bytes wire_u64(uint64_t v);
Bytes wire_bytes(const std::string& s);
Bytes operator+(Bytes a, const Bytes& b);
// The 8-byte length prefix followed by the body.
Bytes wire_frame(const Bytes& body);
// "V2Q1", timeout_ms, payload length, payload.
Bytes wire_request_body(uint32_t timeout_ms, const std::string& payload);
// "V2R1", kind, reason, text length, text, payload.
Bytes wire_reply_body(uint32_t kind, uint32_t reason, const std::string& text, const std::string& payload);

struct WireReply {
  bool valid = false;  // magic, header and text length fit
  uint32_t kind = 0;
  uint32_t reason = 0;
  std::string text;
  std::string payload;
};
WireReply wire_parse_reply(const Bytes& body);

// A port on 127.0.0.1 that was free a moment ago (0 if none was found).
uint16_t free_loopback_port();

// ---- the server ----

struct PeerStep {
  enum class Action {
    reply,        // read the request frame, then send `bytes` as one frame body
    write_raw,    // read the request frame, then send `bytes` as they are, and close
    close_early,  // read the request frame, then close without a reply
    stay_silent,  // read the request frame, then send nothing until the client
                  // closes or the server ends
    reset,        // read the request frame, then reset the connection, as a
                  // peer that dies does
    hold_unread,  // read nothing at all and send nothing until the client
                  // closes or the server ends: a large request stalls its
                  // sender once the socket buffers are full
  };
  Action action = Action::reply;
  Bytes bytes;

  static PeerStep reply(uint32_t kind, uint32_t reason, const std::string& text, const std::string& payload);
  // Any body, well-formed or not (bad magic, a text longer than the body).
  static PeerStep reply_body(Bytes body);
  static PeerStep raw(Bytes bytes);
  static PeerStep close_early();
  static PeerStep stay_silent();
  static PeerStep reset();
  static PeerStep hold_unread();
};

// Closes s with a reset instead of an orderly close.
void socket_close_with_reset(platform::SocketHandle s);

class ScriptedServer {
 public:
  // Starts listening at once; the last step repeats for later connections,
  // or, with cycle, the script starts over.
  explicit ScriptedServer(std::vector<PeerStep> script, bool cycle = false);
  ~ScriptedServer();  // closes every connection and ends the thread
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  bool listening() const { return listener_ != platform::kNoSocket; }
  uint16_t port() const { return port_; }
  // Connections accepted so far.
  int accepted() const { return accepted_.load(); }
  // Connections whose step has begun: the request read (or, for
  // hold_unread, left unread) and the reply about to go out.
  int served() const { return served_.load(); }
  // The request body of each served connection, in order (empty when no
  // whole frame arrived).
  std::vector<Bytes> requests() const;

 private:
  void run();
  void serve(platform::SocketHandle c, const PeerStep& step);

  std::vector<PeerStep> script_;
  bool cycle_;
  platform::SocketHandle listener_ = platform::kNoSocket;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> accepted_{0};
  std::atomic<int> served_{0};
  mutable std::mutex mutex_;  // guards requests_
  std::vector<Bytes> requests_;
  std::thread thread_;
};

// ---- the client ----

struct ClientOutcome {
  // ok: a whole frame arrived; closed: the peer closed first; would_block:
  // nothing complete within the bound; io: a socket error.
  Status status = Status::io;
  Bytes body;
  uint64_t elapsed_ms = 0;  // from the read's start to its end
};

class PeerClient {
 public:
  PeerClient() = default;
  ~PeerClient() { close(); }
  PeerClient(const PeerClient&) = delete;
  PeerClient& operator=(const PeerClient&) = delete;

  // Creates the socket for 127.0.0.1:port without connecting it.
  bool open(uint16_t port);
  // Before connect: a receive buffer of about this many bytes, so that what
  // this client does not read soon holds up its sender.
  bool set_receive_buffer(int bytes);
  // Connects the opened socket within 2 s.
  bool connect();
  bool connect(uint16_t port) { return open(port) && connect(); }
  // Writes every byte within 5 s.
  bool send(const Bytes& bytes);
  // Reads one frame within wait_ms.
  ClientOutcome read_frame(uint32_t wait_ms);
  // Reads whatever arrives until the peer closes or wait_ms pass: every
  // byte, and closed when the peer closed (would_block otherwise, io on a
  // socket error).
  ClientOutcome read_to_end(uint32_t wait_ms);
  // Reads one frame as read_frame_paced below does.
  ClientOutcome read_frame_paced(uint32_t chunk, uint32_t period_ms, uint32_t slow_ms, uint32_t wait_ms);
  // Bytes that arrived and are not read yet.
  uint64_t unread_bytes() const;
  // Shuts down the sending side: the peer reads end of file, and this
  // client can still read.
  void shutdown_send();
  void close();
  // Closes with a reset (the peer's next read fails) instead of an orderly
  // close.
  void reset();

 private:
  platform::AddressList address_;
  platform::SocketHandle s_ = platform::kNoSocket;
};

// Connects, writes `bytes`, reads one frame within wait_ms.
ClientOutcome client_exchange(uint16_t port, const Bytes& bytes, uint32_t wait_ms);

// Reads one frame from s as a slow reader does: chunk bytes every
// period_ms for the first slow_ms, then as fast as they come, within
// wait_ms in all. ok with the body once the whole frame came.
ClientOutcome read_frame_paced(platform::SocketHandle s, uint32_t chunk, uint32_t period_ms, uint32_t slow_ms,
                               uint32_t wait_ms);

// ---- two connected sockets ----

// Two connected non-blocking loopback sockets: a, the side under test (an
// accepted socket, as a listener's connection is), and b, the test's peer.
struct SocketPair {
  platform::SocketHandle a = platform::kNoSocket;
  platform::SocketHandle b = platform::kNoSocket;

  // peer_receive_buffer (0: the system's): b's receive buffer, set before
  // it connects.
  explicit SocketPair(int peer_receive_buffer = 0);
  ~SocketPair();
  SocketPair(const SocketPair&) = delete;
  SocketPair& operator=(const SocketPair&) = delete;

  void close_a();
  void close_b();
  // The peer closes with a reset, or shuts down its sending side.
  void reset_b();
  void shutdown_b_send();
  // The peer writes bytes (blocking until taken, within 60 s; a socket
  // error ends it early).
  void peer_write(const Bytes& bytes);
};

// ---- a listener that takes no connection ----

// Listens on 127.0.0.1 with the shortest queue and fills it with one
// connection of its own; it never accepts. The system then drops the
// opening of every further connection, which stays under way on the
// connecting side until that side gives up.
class StalledListener {
 public:
  StalledListener();
  ~StalledListener();
  StalledListener(const StalledListener&) = delete;
  StalledListener& operator=(const StalledListener&) = delete;

  // Listening, with its queue full.
  bool ready() const { return filled_; }
  uint16_t port() const { return port_; }

 private:
  platform::SocketHandle listener_ = platform::kNoSocket;
  uint16_t port_ = 0;
  PeerClient filler_;
  bool filled_ = false;
};

}  // namespace vorlet::v2::test
