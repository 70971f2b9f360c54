#include "platform/socket.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/event.h"
#include "support/proc_probe.h"

namespace vorlet::v2::platform {
namespace {

using test::descriptor_flags;
using test::kFlagCloseOnExec;
using test::kFlagNonBlocking;

Ipv4Address loopback() {
  Ipv4Address a;
  EXPECT_TRUE(ipv4_parse("127.0.0.1", &a));
  return a;
}

// A listening socket on 127.0.0.1 and one connection to it, both ends open.
struct Loopback {
  SocketHandle listener = kNoSocket;
  SocketHandle client = kNoSocket;
  SocketHandle server = kNoSocket;
  uint16_t port = 0;

  Loopback() {
    listener = socket_open_ipv4(nullptr);
    const Ipv4Address a = loopback();
    if (socket_bind_ipv4(listener, &a, 0) != SocketError::none || socket_listen(listener, 4) != SocketError::none) {
      return;
    }
    port = socket_local_port(listener);
    AddressList list;
    if (!list.resolve("127.0.0.1", port)) return;
    client = socket_open_for(list.first(), nullptr);
    if (socket_connect(client, list.first()) != SocketError::none) return;
    SocketError err;
    server = socket_accept(listener, &err);
  }
  ~Loopback() {
    socket_close(client);
    socket_close(server);
    socket_close(listener);
  }
  bool ok() const { return server != kNoSocket; }
};

TEST(SocketLayer, PollReportsReadinessHangUpAndDeadDescriptors) {
  Loopback lo;
  ASSERT_TRUE(lo.ok());
  SocketError err;
  EXPECT_EQ(socket_poll(lo.server, kWantRead, 10, &err), PollResult::timed_out);
  EXPECT_EQ(socket_poll(lo.server, kWantWrite, 10, &err), PollResult::ready);

  const char byte = 'x';
  ASSERT_EQ(socket_send(lo.client, &byte, 1, &err), 1);
  EXPECT_EQ(socket_poll(lo.server, kWantRead, 1000, &err), PollResult::ready);
  char got = 0;
  EXPECT_EQ(socket_recv(lo.server, &got, 1, &err), 1);
  EXPECT_EQ(got, 'x');

  // A hang-up is "ready", and the receive then tells what happened.
  socket_close(lo.client);
  lo.client = kNoSocket;
  EXPECT_EQ(socket_poll(lo.server, kWantRead, 1000, &err), PollResult::ready);
  EXPECT_EQ(socket_recv(lo.server, &got, 1, &err), 0);

  // A descriptor that is not open fails instead of waiting.
  const SocketHandle dead = lo.server;
  socket_close(lo.server);
  lo.server = kNoSocket;
  EXPECT_EQ(socket_poll(dead, kWantRead, 1000, &err), PollResult::failed);
  EXPECT_EQ(err, SocketError::invalid);
}

// The cancel descriptor beside the socket: while it is not readable the
// socket's readiness and the time-out come as without it; once it is, the
// wait ends with cancelled at once, and cancelled wins over a socket that is
// ready too.
TEST(SocketLayer, PollEndsOnItsCancelDescriptorEvenWhenTheSocketIsReady) {
  using Clock = std::chrono::steady_clock;
  Loopback lo;
  ASSERT_TRUE(lo.ok());
  std::unique_ptr<Event> cancel(Event::create());
  ASSERT_NE(cancel, nullptr);
  const int32_t fd = cancel->descriptor();
  SocketError err;
  EXPECT_EQ(socket_poll(lo.server, kWantRead, 10, &err, fd), PollResult::timed_out);
  EXPECT_EQ(socket_poll(lo.server, kWantWrite, 10, &err, fd), PollResult::ready);

  cancel->set();
  for (uint32_t want : {kWantRead, kWantWrite, kWantRead | kWantWrite}) {
    const auto start = Clock::now();
    EXPECT_EQ(socket_poll(lo.server, want, 5000, &err, fd), PollResult::cancelled) << want;
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(1)) << want;
  }

  // Set from another thread while the wait sleeps.
  cancel->reset();
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    cancel->set();
  });
  const auto start = Clock::now();
  EXPECT_EQ(socket_poll(lo.server, kWantRead, 10000, &err, fd), PollResult::cancelled);
  const auto waited = Clock::now() - start;
  setter.join();
  EXPECT_GE(waited, std::chrono::milliseconds(90));
  EXPECT_LT(waited, std::chrono::seconds(3));
}

// The expire descriptor ends a wait as its time would, and gives way to
// the cancel when both are readable.
TEST(SocketLayer, PollEndsExpiredOnItsExpireDescriptorAndCancelWins) {
  Loopback lo;
  ASSERT_TRUE(lo.ok());
  std::unique_ptr<Event> cancel(Event::create());
  std::unique_ptr<Event> expire(Event::create());
  ASSERT_NE(cancel, nullptr);
  ASSERT_NE(expire, nullptr);
  const PollStops stops(cancel->descriptor(), expire->descriptor());
  SocketError err;
  EXPECT_EQ(socket_poll(lo.server, kWantRead, 10, &err, stops), PollResult::timed_out);
  expire->set();
  EXPECT_EQ(socket_poll(lo.server, kWantRead, 5000, &err, stops), PollResult::expired);
  EXPECT_EQ(socket_poll(lo.server, kWantWrite, 5000, &err, stops), PollResult::expired);
  cancel->set();
  EXPECT_EQ(socket_poll(lo.server, kWantRead, 5000, &err, stops), PollResult::cancelled);
}

// Watching a connection for its peer's departure: bytes that arrive do not
// end the wait; the peer's close, half-close or reset does, whether or not
// bytes are still unread.
TEST(SocketLayer, PollForTheHangUpAloneEndsWhenThePeerLeavesNotWhenBytesCome) {
  using Clock = std::chrono::steady_clock;
  enum class Leave { none, close, shut_down_sending, reset };
  const struct Case {
    const char* name;
    bool bytes_first;
    Leave leave;
    PollResult expected;
  } cases[] = {
      {"bytes and nothing else", true, Leave::none, PollResult::timed_out},
      {"a close", false, Leave::close, PollResult::ready},
      {"a half-close", false, Leave::shut_down_sending, PollResult::ready},
      {"a reset", false, Leave::reset, PollResult::ready},
      {"bytes, then a half-close", true, Leave::shut_down_sending, PollResult::ready},
      {"bytes, then a reset", true, Leave::reset, PollResult::ready},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Loopback lo;
    ASSERT_TRUE(lo.ok());
    SocketError err;
    EXPECT_EQ(socket_poll(lo.server, kWantHangUp, 10, &err), PollResult::timed_out);
    if (c.bytes_first) {
      const char bytes[3] = {'a', 'b', 'c'};
      ASSERT_EQ(socket_send(lo.client, bytes, sizeof bytes, &err), 3);
    }
    switch (c.leave) {
      case Leave::none:
        break;
      case Leave::close:
        socket_close(lo.client);
        lo.client = kNoSocket;
        break;
      case Leave::shut_down_sending:
        ASSERT_EQ(::shutdown(lo.client, SHUT_WR), 0);
        break;
      case Leave::reset:
        socket_abort(lo.client);
        lo.client = kNoSocket;
        break;
    }
    const auto start = Clock::now();
    EXPECT_EQ(socket_poll(lo.server, kWantHangUp, c.leave == Leave::none ? 200 : 5000, &err), c.expected);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
  }
}

// What the peer has not acknowledged falls as it reads; a close with a
// reset drops what is still queued at once, and the peer's read fails.
TEST(SocketLayer, UnacknowledgedBytesFallAsThePeerReadsAndAnAbortResets) {
  Loopback lo;
  ASSERT_TRUE(lo.ok());
  SocketError err;
  EXPECT_EQ(socket_unacknowledged_bytes(lo.server), 0);
  const std::vector<char> big(8u << 20, 'q');
  ASSERT_TRUE(socket_set_nonblocking(lo.client));
  int64_t sent = 0;
  while (sent < static_cast<int64_t>(big.size())) {
    const int64_t n = socket_send(lo.server, big.data() + sent, big.size() - static_cast<uint64_t>(sent), &err);
    if (n <= 0) break;
    sent += n;
  }
  ASSERT_GT(sent, 0);
  const int64_t queued = socket_unacknowledged_bytes(lo.server);
  EXPECT_GT(queued, 0);
  EXPECT_LE(queued, sent);
  std::vector<char> sink(1 << 20);
  for (int i = 0; i < 200 && socket_unacknowledged_bytes(lo.server) >= queued; ++i) {
    if (socket_recv(lo.client, sink.data(), sink.size(), &err) <= 0) (void)socket_poll(lo.client, kWantRead, 50, &err);
  }
  EXPECT_LT(socket_unacknowledged_bytes(lo.server), queued);
  // Queued again, for the reset to drop.
  while (socket_send(lo.server, big.data(), big.size(), &err) > 0) {
  }

  socket_abort(lo.server);
  lo.server = kNoSocket;
  int64_t n = 0;
  for (int i = 0; i < 100; ++i) {
    n = socket_recv(lo.client, sink.data(), sink.size(), &err);
    if (n == 0 || (n < 0 && err != SocketError::would_block)) break;
    if (n < 0) (void)socket_poll(lo.client, kWantRead, 50, &err);
  }
  EXPECT_EQ(n, -1);
  EXPECT_EQ(err, SocketError::connection_lost);
  EXPECT_EQ(socket_unacknowledged_bytes(kNoSocket), -1);
}

TEST(SocketLayer, SocketsAreCloseOnExecAndAcceptedOnesNonBlocking) {
  Loopback lo;
  ASSERT_TRUE(lo.ok());
  EXPECT_NE(descriptor_flags(lo.listener) & kFlagCloseOnExec, 0u);
  EXPECT_NE(descriptor_flags(lo.client) & kFlagCloseOnExec, 0u);
  const uint32_t accepted = descriptor_flags(lo.server);
  EXPECT_NE(accepted & kFlagCloseOnExec, 0u);
  EXPECT_NE(accepted & kFlagNonBlocking, 0u);

  char buf[4];
  SocketError err;
  EXPECT_EQ(socket_recv(lo.server, buf, sizeof buf, &err), -1);
  EXPECT_EQ(err, SocketError::would_block);
  EXPECT_EQ(static_cast<int32_t>(err), 10035);
}

TEST(SocketLayer, SendToAPeerThatWentAwayFailsWithoutSignal) {
  Loopback lo;
  ASSERT_TRUE(lo.ok());
  socket_close(lo.server);
  lo.server = kNoSocket;
  // The first send may still be taken; a later one meets the reset. Without
  // MSG_NOSIGNAL the process would die of SIGPIPE here.
  std::vector<char> chunk(4096, 'y');
  SocketError err = SocketError::none;
  int64_t n = 0;
  for (int i = 0; i < 100 && n >= 0; ++i) n = socket_send(lo.client, chunk.data(), chunk.size(), &err);
  EXPECT_EQ(n, -1);
  EXPECT_EQ(err, SocketError::connection_lost);
}

TEST(SocketLayer, ErrorsMapToTheTransportsCodes) {
  // A connect to a port where nothing listens: under way, then refused.
  uint16_t closed_port;
  {
    Loopback lo;
    ASSERT_TRUE(lo.ok());
    closed_port = lo.port;
  }
  AddressList list;
  ASSERT_TRUE(list.resolve("127.0.0.1", closed_port));
  const SocketHandle s = socket_open_for(list.first(), nullptr);
  ASSERT_TRUE(socket_set_nonblocking(s));
  SocketError e = socket_connect(s, list.first());
  if (e == SocketError::in_progress) {
    EXPECT_EQ(static_cast<int32_t>(e), 10036);
    SocketError err;
    EXPECT_EQ(socket_poll(s, kWantWrite, 2000, &err), PollResult::ready);
    ASSERT_TRUE(socket_take_error(s, &e));
  }
  EXPECT_EQ(e, SocketError::connection_refused);
  socket_close(s);

  // An address that is not local to this machine.
  const SocketHandle b = socket_open_ipv4(nullptr);
  Ipv4Address foreign;
  ASSERT_TRUE(ipv4_parse("192.0.2.1", &foreign));
  e = socket_bind_ipv4(b, &foreign, 0);
  EXPECT_EQ(e, SocketError::addr_not_avail);
  EXPECT_EQ(static_cast<int32_t>(e), 10049);

  // Accepting on a socket that does not listen: unusable, not "try again".
  SocketError err;
  EXPECT_EQ(socket_accept(b, &err), kNoSocket);
  EXPECT_EQ(err, SocketError::invalid);
  socket_close(b);
}

TEST(SocketLayer, ShutdownWakesAListenerAndLeavesTheDescriptorOpen) {
  Loopback lo;
  ASSERT_TRUE(lo.ok());
  ASSERT_TRUE(socket_set_nonblocking(lo.listener));
  const std::string before = test::descriptor_target(lo.listener);
  socket_shutdown(lo.listener);
  SocketError err;
  EXPECT_EQ(socket_poll(lo.listener, kWantRead, 1000, &err), PollResult::ready);
  EXPECT_EQ(socket_accept(lo.listener, &err), kNoSocket);
  EXPECT_EQ(err, SocketError::invalid);
  EXPECT_EQ(test::descriptor_target(lo.listener), before);
}

TEST(SocketLayer, PollWaitsOnDescriptorsAbove1023) {
  // A wait built on fd_set could not hold these descriptors.
  uint64_t limit = 0;
  ASSERT_TRUE(descriptor_soft_limit(&limit));
  if (limit < 1200 && !set_descriptor_soft_limit(1200)) GTEST_SKIP() << "descriptor limit too low";
  std::vector<SocketHandle> filler;
  while (filler.empty() || filler.back() < 1030) {
    const SocketHandle s = socket_open_ipv4(nullptr);
    ASSERT_NE(s, kNoSocket);
    filler.push_back(s);
  }
  Loopback lo;
  ASSERT_TRUE(lo.ok());
  ASSERT_GE(lo.server, 1024);
  SocketError err;
  EXPECT_EQ(socket_poll(lo.server, kWantRead, 10, &err), PollResult::timed_out);
  const char byte = 'z';
  ASSERT_EQ(socket_send(lo.client, &byte, 1, &err), 1);
  EXPECT_EQ(socket_poll(lo.server, kWantRead, 1000, &err), PollResult::ready);
  for (SocketHandle s : filler) socket_close(s);
}

TEST(SocketLayer, ParsesOnlyDottedIpv4AndResolvesNumericHosts) {
  struct Case {
    const char* text;
    bool ok;
  };
  const Case cases[] = {{"127.0.0.1", true},  {"0.0.0.0", true}, {"192.0.2.1", true},  {"", false},
                        {"localhost", false}, {"1.2.3", false},  {"256.1.1.1", false}, {"::1", false},
                        {"1.2.3.4 ", false},  {nullptr, false}};
  for (const Case& c : cases) {
    Ipv4Address a{{9, 9, 9, 9}};
    EXPECT_EQ(ipv4_parse(c.text, &a), c.ok) << (c.text ? c.text : "NULL");
  }
  Ipv4Address a;
  ASSERT_TRUE(ipv4_parse("10.1.2.3", &a));
  EXPECT_EQ(a.bytes[0], 10);
  EXPECT_EQ(a.bytes[3], 3);

  AddressList list;
  EXPECT_TRUE(list.resolve("127.0.0.1", 9));
  EXPECT_NE(list.first(), nullptr);
  EXPECT_FALSE(list.resolve("", 9));
  EXPECT_EQ(list.first(), nullptr);
}

// Reads exactly n bytes from the non-blocking s, within 5 s; what came.
std::string receive_exactly(SocketHandle s, size_t n) {
  std::string got;
  char buf[256];
  while (got.size() < n) {
    SocketError err;
    if (socket_poll(s, kWantRead, 5000, &err) != PollResult::ready) break;
    const int64_t r = socket_recv(s, buf, std::min(sizeof buf, n - got.size()), &err);
    if (r <= 0 && err != SocketError::would_block) break;
    if (r > 0) got.append(buf, static_cast<size_t>(r));
  }
  return got;
}

TEST(SocketLayer, ConnectionSocketsSendWithoutTheSmallSegmentDelay) {
  Loopback lo;
  ASSERT_TRUE(lo.ok());
  // The connecting end (socket_open_for) and the accepted one: the two the
  // transport sends frames on.
  for (const SocketHandle s : {lo.client, lo.server}) {
    int on = 0;
    socklen_t length = sizeof on;
    ASSERT_EQ(::getsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, &length), 0);
    EXPECT_NE(on, 0) << (s == lo.client ? "connecting socket" : "accepted socket");
  }
}

TEST(SocketLayer, APiecedSendWritesItsPiecesInOrderAndRefusesTooMany) {
  Loopback lo;
  ASSERT_TRUE(lo.ok());
  SocketError err;
  const SendPiece pieces[] = {{"ab", 2}, {"", 0}, {"cde", 3}, {"f", 1}};
  EXPECT_EQ(socket_send_pieces(lo.client, pieces, 4, &err), 6);
  EXPECT_EQ(err, SocketError::none);

  SendPiece many[kMaxSendPieces + 1];
  for (SendPiece& p : many) p = {"x", 1};
  EXPECT_EQ(socket_send_pieces(lo.client, many, kMaxSendPieces + 1, &err), -1);
  EXPECT_EQ(err, SocketError::invalid);
  EXPECT_EQ(socket_send_pieces(lo.client, many, kMaxSendPieces, &err), static_cast<int64_t>(kMaxSendPieces));
  // Nothing of the refused send went out.
  EXPECT_EQ(receive_exactly(lo.server, 6 + kMaxSendPieces), "abcdef" + std::string(kMaxSendPieces, 'x'));

  // A peer that went away fails the send without a signal.
  socket_close(lo.server);
  lo.server = kNoSocket;
  int64_t n = 0;
  for (int i = 0; i < 100 && n >= 0; ++i) n = socket_send_pieces(lo.client, pieces, 4, &err);
  EXPECT_EQ(n, -1);
  EXPECT_EQ(err, SocketError::connection_lost);
}

}  // namespace
}  // namespace vorlet::v2::platform
