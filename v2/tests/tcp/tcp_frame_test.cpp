#include "tcp/tcp_frame.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/event.h"
#include "support/proc_probe.h"
#include "support/scripted_peer.h"

namespace vorlet::v2 {
namespace {

using platform::kNoSocket;
using platform::SocketError;
using platform::SocketHandle;
using test::Bytes;
using test::operator+;
using test::wire_bytes;
using test::wire_u32;
using test::wire_u64;

using test::SocketPair;

uint64_t elapsed_ms(std::chrono::steady_clock::time_point since) {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since).count());
}

uint64_t after_ms(uint32_t ms) { return tcp_now_ns() + static_cast<uint64_t>(ms) * 1000000ull; }

TEST(TcpFrame, BodiesOfEverySizeRoundTrip) {
  // Larger bodies than the socket buffers make both sides wait for room.
  for (size_t size : {size_t{0}, size_t{1}, size_t{16}, size_t{3} << 20}) {
    SocketPair p;
    ASSERT_NE(p.a, kNoSocket);
    Bytes body(size);
    for (size_t i = 0; i < size; ++i) body[i] = static_cast<uint8_t>(i * 7 + 1);
    Status sent = Status::io;
    std::thread sender([&] { sent = tcp_frame_send(p.b, body.data(), body.size(), after_ms(5000)); });
    TcpBody got{9, 9, 9};
    EXPECT_EQ(tcp_frame_receive(p.a, &got, after_ms(5000)), Status::ok) << size;
    sender.join();
    EXPECT_EQ(sent, Status::ok);
    EXPECT_EQ(got, body) << size;
  }
}

TEST(TcpFrame, SendWritesTheLittleEndianLengthPrefix) {
  SocketPair p;
  ASSERT_NE(p.a, kNoSocket);
  const Bytes body = wire_bytes("hello");
  ASSERT_EQ(tcp_frame_send(p.a, body.data(), body.size(), after_ms(1000)), Status::ok);
  uint8_t raw[13] = {};
  SocketError err;
  ASSERT_EQ(platform::socket_poll(p.b, platform::kWantRead, 1000, &err), platform::PollResult::ready);
  ASSERT_EQ(platform::socket_recv(p.b, raw, sizeof raw, &err), 13);
  EXPECT_EQ(Bytes(raw, raw + 13), wire_u64(5) + body);
}

TEST(TcpFrame, ReceiveTakesExactly64MiBAndRefusesMoreAfterThePrefix) {
  {
    SocketPair p;
    ASSERT_NE(p.a, kNoSocket);
    std::thread peer([&] { p.peer_write(wire_u64(kTcpMaxBody) + Bytes(kTcpMaxBody, 0x5a)); });
    TcpBody got;
    EXPECT_EQ(tcp_frame_receive(p.a, &got, after_ms(20000)), Status::ok);
    peer.join();
    ASSERT_EQ(got.size(), kTcpMaxBody);
    EXPECT_EQ(got.back(), 0x5a);
  }
  {
    SocketPair p;
    ASSERT_NE(p.a, kNoSocket);
    p.peer_write(wire_u64(kTcpMaxBody + 1) + wire_bytes("NEXTBYTE"));
    TcpBody got{1};
    EXPECT_EQ(tcp_frame_receive(p.a, &got, after_ms(2000)), Status::io);
    EXPECT_TRUE(got.empty());
    // Nothing past the prefix was read.
    char rest[8];
    SocketError err;
    ASSERT_EQ(platform::socket_recv(p.a, rest, sizeof rest, &err), 8);
    EXPECT_EQ(std::string(rest, 8), "NEXTBYTE");
  }
}

// A caller's own limit is refused at the prefix like the protocol's.
TEST(TcpFrame, ReceiveTakesUpToTheCallersLimit) {
  constexpr uint64_t kLimit = 100000;  // more than the first piece of the buffer
  {
    SocketPair p;
    ASSERT_NE(p.a, kNoSocket);
    Bytes body(kLimit);
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<uint8_t>(i * 13 + 5);
    std::thread peer([&] { p.peer_write(wire_u64(kLimit) + body); });
    TcpBody got;
    EXPECT_EQ(tcp_frame_receive(p.a, &got, after_ms(5000), -1, kLimit), Status::ok);
    peer.join();
    EXPECT_EQ(got, body);
  }
  {
    SocketPair p;
    ASSERT_NE(p.a, kNoSocket);
    p.peer_write(wire_u64(kLimit + 1) + wire_bytes("NEXTBYTE"));
    TcpBody got{1};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(tcp_frame_receive(p.a, &got, after_ms(2000), -1, kLimit), Status::io);
    EXPECT_LT(elapsed_ms(start), 1000u);
    EXPECT_TRUE(got.empty());
    char rest[8];
    SocketError err;
    ASSERT_EQ(platform::socket_recv(p.a, rest, sizeof rest, &err), 8);
    EXPECT_EQ(std::string(rest, 8), "NEXTBYTE");
  }
}

// The receive's modes change how many calls a frame takes, never which
// frame comes out: each mode, on frames that are there at once, come late,
// come in pieces or are larger than the first read, gives the same body.
// Only a whole-connection receive reads past its frame (and drops it).
TEST(TcpFrame, EveryReceiveModeGivesTheSameFrame) {
  Bytes large(200000);
  for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<uint8_t>(i * 7 + 3);
  const Bytes head_sized(kTcpReceiveHeadBytes - 8, 0x41);  // prefix and body fill the first read exactly
  const struct Shape {
    const char* name;
    Bytes body;
    int delay_ms;    // before the peer writes
    size_t split;    // bytes of the frame written first, the rest 20 ms later (0: all at once)
  } shapes[] = {
      {"small, there at once", wire_bytes("abc"), 0, 0},
      {"empty", Bytes{}, 0, 0},
      {"small, late", wire_bytes("late"), 30, 0},
      {"prefix alone first", wire_bytes("after the prefix"), 0, 8},
      {"half a prefix first", wire_bytes("split prefix"), 0, 3},
      {"the size of the first read", head_sized, 0, 0},
      {"larger than the first read", large, 0, 0},
      {"larger, in two pieces", large, 0, 5000},
  };
  const uint32_t modes[] = {0, kTcpReceiveWhole, kTcpReceiveAwait, kTcpReceiveWhole | kTcpReceiveAwait};
  for (const Shape& shape : shapes) {
    for (const uint32_t mode : modes) {
      SCOPED_TRACE(std::string(shape.name) + ", mode " + std::to_string(mode));
      SocketPair p;
      ASSERT_NE(p.a, kNoSocket);
      const Bytes frame = wire_u64(shape.body.size()) + shape.body + wire_bytes("TAIL");
      const size_t tail_at = frame.size() - 4;
      std::thread peer([&] {
        if (shape.delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(shape.delay_ms));
        if (shape.split == 0) {
          p.peer_write(frame);
          return;
        }
        p.peer_write(Bytes(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(shape.split)));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        p.peer_write(Bytes(frame.begin() + static_cast<std::ptrdiff_t>(shape.split), frame.end()));
      });
      TcpBody got{9};
      EXPECT_EQ(tcp_frame_receive(p.a, &got, after_ms(10000), -1, kTcpMaxBody, mode), Status::ok);
      peer.join();
      EXPECT_EQ(Bytes(got.begin(), got.end()), shape.body);
      // What follows the frame: still there unless the mode took the
      // connection whole and it came with the first read.
      char rest[4] = {};
      SocketError err;
      const int64_t n = platform::socket_recv(p.a, rest, sizeof rest, &err);
      // (A first piece shorter than the prefix leaves the read that
      // completes the prefix to take the rest.)
      const bool with_first_read = tail_at < kTcpReceiveHeadBytes && shape.split < 8;
      if ((mode & kTcpReceiveWhole) == 0 || !with_first_read) {
        EXPECT_EQ(n, 4);
        EXPECT_EQ(std::string(rest, 4), "TAIL");
      } else {
        EXPECT_EQ(n, -1);
        EXPECT_EQ(err, SocketError::would_block);
      }
    }
  }
  // A declared length past the limit is refused in every mode, the buffer
  // left empty.
  for (const uint32_t mode : modes) {
    SocketPair p;
    ASSERT_NE(p.a, kNoSocket);
    p.peer_write(wire_u64(101) + Bytes(200, 1));
    TcpBody got{1};
    EXPECT_EQ(tcp_frame_receive(p.a, &got, after_ms(2000), -1, 100, mode), Status::io) << mode;
    EXPECT_TRUE(got.empty()) << mode;
  }
}

// The declared length is only the peer's word: a peer that declares 64 MiB
// and sends a few bytes makes the receive hold about what arrived, not the
// 64 MiB it declared, and the body is given back when the frame fails.
TEST(TcpFrame, ReceiveGrowsWithWhatArrivesNotWithTheDeclaredLength) {
  ASSERT_TRUE(test::reset_peak_resident());
  const uint64_t before = test::resident_bytes();
  for (int i = 0; i < 3; ++i) {
    SocketPair p;
    ASSERT_NE(p.a, kNoSocket);
    p.peer_write(wire_u64(kTcpMaxBody) + Bytes(30000, 0x33));
    TcpBody got;
    EXPECT_EQ(tcp_frame_receive(p.a, &got, after_ms(100)), Status::would_block);
    EXPECT_TRUE(got.empty());
    EXPECT_EQ(got.capacity(), 0u);
  }
  const uint64_t grown = test::peak_resident_bytes() - before;
  RecordProperty("peak_growth_bytes", std::to_string(grown));
  EXPECT_LT(grown, 8ull << 20);
}

TEST(TcpFrame, ReceiveReportsAnEarlyCloseApartFromADeadline) {
  struct Case {
    const char* name;
    Bytes sent;
    bool peer_closes;
    Status expected;
  };
  const Case cases[] = {
      {"half prefix, closed", Bytes{5, 0, 0, 0}, true, Status::closed},
      {"prefix and part of the body, closed", wire_u64(10) + wire_bytes("abc"), true, Status::closed},
      {"closed before anything", Bytes{}, true, Status::closed},
      {"nothing sent", Bytes{}, false, Status::would_block},
      {"half prefix, silent", Bytes{5, 0, 0, 0}, false, Status::would_block},
      {"part of the body, silent", wire_u64(10) + wire_bytes("abc"), false, Status::would_block},
  };
  for (const Case& c : cases) {
    SocketPair p;
    ASSERT_NE(p.a, kNoSocket);
    p.peer_write(c.sent);
    if (c.peer_closes) p.close_b();
    TcpBody got;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(tcp_frame_receive(p.a, &got, after_ms(150)), c.expected) << c.name;
    EXPECT_TRUE(got.empty()) << c.name;
    if (c.expected == Status::would_block) {
      EXPECT_GE(elapsed_ms(start), 149u) << c.name;
    }
  }
}

TEST(TcpFrame, SendToAClosedPeerFailsAndAFullPeerTimesOut) {
  {
    SocketPair p;
    ASSERT_NE(p.a, kNoSocket);
    p.close_b();
    const Bytes body(16 << 20, 1);  // more than the socket buffers take before the reset
    EXPECT_EQ(tcp_frame_send(p.a, body.data(), body.size(), after_ms(2000)), Status::io);
  }
  {
    // A peer that reads nothing: the socket buffers fill and the deadline ends
    // the send.
    SocketPair p;
    ASSERT_NE(p.a, kNoSocket);
    const Bytes body(64 << 20, 1);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(tcp_frame_send(p.a, body.data(), body.size(), after_ms(200)), Status::would_block);
    EXPECT_GE(elapsed_ms(start), 199u);
  }
}

TEST(TcpSocketWait, EndsAtReadinessOrAtTheDeadline) {
  SocketPair p;
  ASSERT_NE(p.a, kNoSocket);

  // Less than a millisecond left still waits one slice of 1 ms.
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(tcp_socket_wait(p.a, platform::kWantRead, tcp_now_ns() + 400000), Status::would_block);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::microseconds(900));

  // Writable at once.
  EXPECT_EQ(tcp_socket_wait(p.a, platform::kWantWrite, after_ms(1000)), Status::ok);

  // Readable after 1.2 s, across more than one 1000 ms slice of a 3 s wait.
  std::thread peer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    p.peer_write(Bytes{1});
  });
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(tcp_socket_wait(p.a, platform::kWantRead, after_ms(3000)), Status::ok);
  const uint64_t waited = elapsed_ms(start);
  peer.join();
  EXPECT_GE(waited, 1150u);
  EXPECT_LT(waited, 2500u);

  // A deadline in the past ends the wait before the socket is looked at:
  // would_block although the socket is readable.
  EXPECT_EQ(tcp_socket_wait(p.a, platform::kWantRead, tcp_now_ns() - 1), Status::would_block);

  // A descriptor that is not open.
  const SocketHandle dead = p.a;
  p.close_a();
  EXPECT_EQ(tcp_socket_wait(dead, platform::kWantRead, after_ms(1000)), Status::io);
}

// A cancel descriptor that is readable ends every wait of the routines with
// bad_state, at once, with the socket ready or not and no deadline in
// sight; what can move without a wait still moves first.
TEST(TcpFrame, ACancelledWaitEndsEveryRoutineAndWhatNeedsNoWaitStillMoves) {
  using Run = std::function<Status(SocketPair&, int32_t cancel)>;
  const Bytes big(16 << 20, 7);  // more than the socket buffers of a peer that reads nothing
  const struct Case {
    const char* name;
    Run run;
    Status expected;
  } cases[] = {
      {"a wait for bytes",
       [](SocketPair& p, int32_t c) { return tcp_socket_wait(p.a, platform::kWantRead, kTcpNoDeadline, c); },
       Status::bad_state},
      {"a wait for room, the socket writable",
       [](SocketPair& p, int32_t c) { return tcp_socket_wait(p.a, platform::kWantWrite, kTcpNoDeadline, c); },
       Status::bad_state},
      {"a receive with nothing sent",
       [](SocketPair& p, int32_t c) {
         TcpBody got;
         return tcp_frame_receive(p.a, &got, kTcpNoDeadline, c);
       },
       Status::bad_state},
      {"a receive of half a frame",
       [](SocketPair& p, int32_t c) {
         p.peer_write(wire_u64(10) + wire_bytes("abc"));
         TcpBody got;
         return tcp_frame_receive(p.a, &got, kTcpNoDeadline, c);
       },
       Status::bad_state},
      {"a send the peer does not read",
       [&big](SocketPair& p, int32_t c) { return tcp_frame_send(p.a, big.data(), big.size(), kTcpNoDeadline, c); },
       Status::bad_state},
      {"a receive of a frame already there",
       [](SocketPair& p, int32_t c) {
         p.peer_write(wire_u64(3) + wire_bytes("abc"));
         TcpBody got;
         const Status s = tcp_frame_receive(p.a, &got, kTcpNoDeadline, c);
         return s == Status::ok && got == wire_bytes("abc") ? s : Status::io;
       },
       Status::ok},
      {"a receive of a frame already there, waiting first",
       [](SocketPair& p, int32_t c) {
         p.peer_write(wire_u64(3) + wire_bytes("abc"));
         TcpBody got;
         const Status s =
             tcp_frame_receive(p.a, &got, kTcpNoDeadline, c, kTcpMaxBody, kTcpReceiveAwait | kTcpReceiveWhole);
         return s == Status::ok && got == wire_bytes("abc") ? s : Status::io;
       },
       Status::ok},
      {"a receive with nothing sent, waiting first",
       [](SocketPair& p, int32_t c) {
         TcpBody got;
         return tcp_frame_receive(p.a, &got, kTcpNoDeadline, c, kTcpMaxBody, kTcpReceiveAwait | kTcpReceiveWhole);
       },
       Status::bad_state},
      {"a send that fits the buffers",
       [](SocketPair& p, int32_t c) {
         const Bytes body = wire_bytes("small");
         return tcp_frame_send(p.a, body.data(), body.size(), kTcpNoDeadline, c);
       },
       Status::ok},
  };
  for (const Case& c : cases) {
    SocketPair p;
    ASSERT_NE(p.a, kNoSocket);
    std::unique_ptr<platform::Event> cancel(platform::Event::create());
    ASSERT_NE(cancel, nullptr);
    cancel->set();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(c.run(p, cancel->descriptor()), c.expected) << c.name;
    EXPECT_LT(elapsed_ms(start), 1000u) << c.name;
  }

  // Set while a receive sleeps: it ends then, not at its deadline.
  SocketPair p;
  ASSERT_NE(p.a, kNoSocket);
  std::unique_ptr<platform::Event> cancel(platform::Event::create());
  ASSERT_NE(cancel, nullptr);
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    cancel->set();
  });
  TcpBody got;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(tcp_frame_receive(p.a, &got, after_ms(30000), cancel->descriptor()), Status::bad_state);
  const uint64_t waited = elapsed_ms(start);
  setter.join();
  EXPECT_GE(waited, 90u);
  EXPECT_LT(waited, 3000u);
  EXPECT_TRUE(got.empty());
}

// The expire descriptor ends every wait of the routines as their deadline
// would: would_block, at once, however far the deadline.
TEST(TcpFrame, AnExpiredWaitEndsLikeItsDeadline) {
  SocketPair p;
  ASSERT_NE(p.a, kNoSocket);
  std::unique_ptr<platform::Event> expire(platform::Event::create());
  ASSERT_NE(expire, nullptr);
  const platform::PollStops stops(-1, expire->descriptor());
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    expire->set();
  });
  TcpBody got;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(tcp_frame_receive(p.a, &got, after_ms(30000), stops), Status::would_block);
  const uint64_t waited = elapsed_ms(start);
  setter.join();
  EXPECT_GE(waited, 90u);
  EXPECT_LT(waited, 3000u);
  const Bytes big(16 << 20, 7);
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(tcp_frame_send(p.a, big.data(), big.size(), kTcpNoDeadline, stops), Status::would_block);
  EXPECT_EQ(tcp_socket_wait(p.a, platform::kWantRead, kTcpNoDeadline, stops), Status::would_block);
  EXPECT_LT(elapsed_ms(start), 3000u);
}

// A send with a stall limit ends once no byte has moved for that long,
// however far its deadline; a peer that reads, however slowly, keeps it
// going to its last byte. The peer's small receive buffer makes its reading
// show in what it acknowledges.
TEST(TcpFrame, ASendEndsWhenNoByteMovesForItsStallLimitAndASlowReaderKeepsIt) {
  constexpr uint32_t kStallMs = 1000;
  {
    SCOPED_TRACE("a peer that reads nothing");
    SocketPair p;
    ASSERT_NE(p.a, kNoSocket);
    const Bytes big(32 << 20, 3);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(tcp_frame_send(p.a, big.data(), big.size(), kTcpNoDeadline, {}, kStallMs), Status::would_block);
    const uint64_t took = elapsed_ms(start);
    std::printf("a send to a peer that reads nothing gave up after %llu ms\n", static_cast<unsigned long long>(took));
    EXPECT_GE(took, kStallMs - 50);
    EXPECT_LT(took, kStallMs + 2000);
  }
  {
    SCOPED_TRACE("a peer that reads 1 KiB every 100 ms for 3 s, then the rest");
    SocketPair p(4096);
    ASSERT_NE(p.a, kNoSocket);
    Bytes big(12 << 20);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 13 + i / 4099);
    Status sent = Status::io;
    std::thread sender([&] { sent = tcp_frame_send(p.a, big.data(), big.size(), after_ms(120000), {}, kStallMs); });
    // The frame, read as the slow peer reads it: whole once its prefix
    // gave the body's length.
    const test::ClientOutcome got = test::read_frame_paced(p.b, 1024, 100, 3000, 60000);
    sender.join();
    EXPECT_EQ(sent, Status::ok);
    EXPECT_EQ(got.status, Status::ok);
    ASSERT_EQ(got.body.size(), big.size());
    EXPECT_TRUE(got.body == big);
  }
}

TEST(TcpBodies, RequestCarriesTheTimeoutAsGiven) {
  const uint8_t payload[] = {'e', 'n', 'v'};
  for (uint32_t timeout : {0u, 1u, 2500u, 0xffffffffu}) {
    TcpBody body;
    ASSERT_TRUE(tcp_request_body_build(timeout, payload, sizeof payload, &body));
    EXPECT_EQ(body, test::wire_request_body(timeout, "env")) << timeout;
  }
}

TEST(TcpBodies, ReplyCutsItsTextTo1024BytesWithoutSplittingACharacter) {
  const std::string long_ascii(2000, 'x');
  // 1023 ASCII bytes and then a two-byte character across the 1024 mark.
  const std::string split = std::string(1023, 'a') + "\xC3\xA9" + "tail";
  struct Case {
    const char* name;
    const char* text;
    const uint8_t* payload;
    uint64_t payload_length;
    Bytes expected;
  };
  const uint8_t pl[] = {'p', 'l'};
  const Case cases[] = {
      {"no text, no payload", nullptr, nullptr, 0, test::wire_reply_body(1, 0, "", "")},
      {"empty text", "", pl, 2, test::wire_reply_body(1, 0, "", "pl")},
      {"payload given with length 0", "t", pl, 0, test::wire_reply_body(1, 0, "t", "")},
      {"NULL payload with a length", "t", nullptr, 5, test::wire_reply_body(1, 0, "t", "")},
      {"2000-byte text", long_ascii.c_str(), pl, 2, test::wire_reply_body(1, 0, std::string(1024, 'x'), "pl")},
      {"character across the cut", split.c_str(), nullptr, 0, test::wire_reply_body(1, 0, std::string(1023, 'a'), "")},
  };
  for (const Case& c : cases) {
    TcpBody body;
    ASSERT_TRUE(tcp_reply_body_build(1, 0, c.text, c.payload, c.payload_length, &body)) << c.name;
    EXPECT_EQ(body, c.expected) << c.name;
  }
  TcpBody body;
  ASSERT_TRUE(tcp_reply_body_build(2, 11, "why", nullptr, 0, &body));
  EXPECT_EQ(body, wire_bytes("V2R1") + wire_u32(2) + wire_u32(11) + wire_u32(3) + wire_bytes("why"));
}

TEST(TcpBodies, RequestDecodeAcceptsOnlyAnExactBody) {
  struct Case {
    const char* name;
    Bytes body;
    bool ok;
  };
  const Case cases[] = {
      {"payload", test::wire_request_body(70, "abc"), true},
      {"empty payload", test::wire_request_body(0, ""), true},
      {"empty body", Bytes{}, false},
      {"magic only", wire_bytes("V2Q1"), false},
      {"bad magic", wire_bytes("V2R1") + wire_u32(0) + wire_u64(0), false},
      {"header short by one", wire_bytes("V2Q1") + wire_u32(0) + Bytes(7, 0), false},
      {"payload_length one more", wire_bytes("V2Q1") + wire_u32(0) + wire_u64(4) + wire_bytes("abc"), false},
      {"payload_length one less", wire_bytes("V2Q1") + wire_u32(0) + wire_u64(2) + wire_bytes("abc"), false},
      {"payload_length huge", wire_bytes("V2Q1") + wire_u32(0) + wire_u64(~0ull) + wire_bytes("abc"), false},
  };
  for (const Case& c : cases) {
    TcpRequest r{};
    EXPECT_EQ(tcp_request_decode(c.body.data(), c.body.size(), &r), c.ok) << c.name;
  }
  const Bytes body = test::wire_request_body(70, "abc");
  TcpRequest r{};
  ASSERT_TRUE(tcp_request_decode(body.data(), body.size(), &r));
  EXPECT_EQ(r.timeout_ms, 70u);
  EXPECT_EQ(r.payload_length, 3u);
  EXPECT_EQ(std::memcmp(r.payload, "abc", 3), 0);
}

TEST(TcpBodies, ReplyDecodeRequiresTheTextToFitTheBody) {
  struct Case {
    const char* name;
    Bytes body;
    bool ok;
    uint32_t text_length;
    uint64_t payload_length;
  };
  const Case cases[] = {
      {"text and payload", test::wire_reply_body(1, 0, "hi", "payload"), true, 2, 7},
      {"exactly the header", test::wire_reply_body(0, 0, "", ""), true, 0, 0},
      {"text of 1500 bytes", test::wire_reply_body(2, 5, std::string(1500, 't'), "x"), true, 1500, 1},
      {"text longer than the body", wire_bytes("V2R1") + wire_u32(1) + wire_u32(0) + wire_u32(3) + wire_bytes("ab"),
       false, 0, 0},
      {"bad magic", wire_bytes("V2Q1") + wire_u32(1) + wire_u32(0) + wire_u32(0), false, 0, 0},
      {"magic only", wire_bytes("V2R1"), false, 0, 0},
      {"three bytes", wire_bytes("V2R"), false, 0, 0},
      {"header short by one", wire_bytes("V2R1") + wire_u32(1) + wire_u32(0) + Bytes(3, 0), false, 0, 0},
  };
  for (const Case& c : cases) {
    TcpReply r{};
    ASSERT_EQ(tcp_reply_decode(c.body.data(), c.body.size(), &r), c.ok) << c.name;
    if (!c.ok) continue;
    EXPECT_EQ(r.text_length, c.text_length) << c.name;
    EXPECT_EQ(r.payload_length, c.payload_length) << c.name;
  }
  const Bytes body = test::wire_reply_body(0xfffffffeu, 11, "hi", "pay");
  TcpReply r{};
  ASSERT_TRUE(tcp_reply_decode(body.data(), body.size(), &r));
  EXPECT_EQ(r.result_kind, -2);
  EXPECT_EQ(r.reason, 11);
  EXPECT_EQ(std::string(r.text, r.text_length), "hi");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(r.payload), r.payload_length), "pay");
}

TEST(TcpBodies, ReceivedTextIsBoundedByItsLengthAndCutSafely) {
  // The received bytes sit in a larger buffer with no terminator after the
  // text; the copy must not read on.
  const char bytes[] = {'a', 'b', 'c', 'd', 'e', 'f', 'X', 'X'};
  struct Case {
    const char* name;
    const char* text;
    uint64_t length;
    uint64_t capacity;
    const char* expected;
  };
  const Case cases[] = {
      {"whole text", bytes, 3, 160, "abc"},  {"cut to capacity - 1", bytes, 6, 4, "abc"},
      {"inner NUL", "ab\0cd", 5, 160, "ab"}, {"character across the cut", "a\xC3\xA9", 3, 3, "a"},
      {"empty", bytes, 0, 160, ""},          {"NULL text", nullptr, 4, 160, ""},
  };
  for (const Case& c : cases) {
    char out[160];
    std::memset(out, '#', sizeof out);
    tcp_received_text_copy(out, c.capacity, c.text, c.length);
    EXPECT_STREQ(out, c.expected) << c.name;
  }
  char out[4] = {'#', '#', '#', '#'};
  tcp_received_text_copy(out, 0, bytes, 3);
  EXPECT_EQ(out[0], '#');
  tcp_received_text_copy(nullptr, 10, bytes, 3);  // nothing to write to
}

TEST(TcpFrame, APartialSendGoesOnFromWhereItEnded) {
  // A prefix, an empty piece and a body; every count of bytes sent, in one
  // step or in two, leaves exactly the rest of the frame to send.
  const std::string whole = "PPPPPPPPbody!";
  for (size_t sent = 0; sent <= whole.size(); ++sent) {
    for (size_t step = 0; step <= sent; ++step) {
      platform::SendPiece pieces[3] = {{whole.data(), 8}, {whole.data() + 8, 0}, {whole.data() + 8, 5}};
      uint32_t first = tcp_pieces_advance(pieces, 3, 0, step);
      first = tcp_pieces_advance(pieces, 3, first, sent - step);
      std::string rest;
      for (uint32_t i = first; i < 3; ++i) rest.append(static_cast<const char*>(pieces[i].data), pieces[i].length);
      EXPECT_EQ(rest, whole.substr(sent)) << sent << " in steps of " << step;
      EXPECT_EQ(first == 3, sent == whole.size()) << sent;
      if (first < 3) {
        EXPECT_GT(pieces[first].length, 0u) << sent;
      }
    }
  }
}

TEST(TcpFrame, FramesToASlowReaderArriveWholeAndInOrder) {
  // A small send buffer and a reader that takes a few bytes at a time with
  // pauses: most sends are partial, ending in prefixes and bodies alike.
  SocketPair p;
  ASSERT_NE(p.a, kNoSocket);
  const int small = 4096;
  ASSERT_EQ(::setsockopt(p.a, SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
  std::vector<Bytes> bodies;
  Bytes expected;
  for (size_t i = 0; i < 60; ++i) {
    const size_t sizes[] = {0, 1, 7, 8, 9, 1000, 4093, 70001};
    Bytes body(sizes[i % 8]);
    for (size_t k = 0; k < body.size(); ++k) body[k] = static_cast<uint8_t>(i * 31 + k);
    expected = expected + test::wire_frame(body);
    bodies.push_back(std::move(body));
  }
  Status sent = Status::ok;
  std::thread sender([&] {
    for (const Bytes& body : bodies) {
      sent = tcp_frame_send(p.a, body.data(), body.size(), after_ms(20000));
      if (sent != Status::ok) return;
    }
  });
  Bytes got;
  uint8_t chunk[1500];
  for (size_t reads = 0; got.size() < expected.size(); ++reads) {
    SocketError err;
    if (platform::socket_poll(p.b, platform::kWantRead, 10000, &err) != platform::PollResult::ready) break;
    const uint64_t want = 1 + reads % sizeof chunk;
    const int64_t n = platform::socket_recv(p.b, chunk, want, &err);
    if (n > 0) got.insert(got.end(), chunk, chunk + n);
    if (n == 0 || (n < 0 && err != SocketError::would_block)) break;
    if (reads % 64 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  sender.join();
  EXPECT_EQ(sent, Status::ok);
  ASSERT_EQ(got.size(), expected.size());
  EXPECT_TRUE(got == expected);
}

}  // namespace
}  // namespace vorlet::v2
