// The TCP adapter's listener: handler results become exact replies, requests
// that do not decode or exceed the payload limit are refused, and a silent
// client is answered.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "tcp/tcp_adapter_support.h"

namespace vorlet::v2 {
namespace {

using namespace test::adapter;

TEST(TcpListener, HandlerResultsBecomeExactReplies) {
  struct Case {
    const char* name;
    Status status;
    int32_t kind;
    int32_t reason;
    const char* text;
    bool fill_text;
    std::string reply;
    uint32_t want_kind;
    uint32_t want_reason;
    std::string want_text;
  };
  const Case cases[] = {
      {
          "response",
          Status::ok,
          1,
          0,
          "",
          false,
          "resp",
          1,
          0,
          "",
      },
      {"deadletter with a text", Status::ok, 2, 9, "bad envelope", false, "dl", 2, 9, "bad envelope"},
      {"failure with nothing said", Status::io, 0, 0, "", false, "", 0, 6, "inbound delivery failed"},
      {"failure with a reason only", Status::io, 0, 11, "", false, "", 0, 11, "inbound delivery failed"},
      {"failure with a text only", Status::bad_state, 0, 0, "duplicate", false, "", 0, 6, "duplicate"},
      {"no result but ok", Status::ok, 0, 11, "remote reply timed out", false, "", 0, 11, "remote reply timed out"},
      {"failure that still gave a result", Status::bad_state, 2, 8, "x", false, "dl", 2, 8, "x"},
      {"text left unterminated", Status::ok, 1, 0, "", true, "", 1, 0, std::string(159, 'z')},
  };
  Listening l;
  ASSERT_NE(l.port, 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    l.handler.set({c.status, c.kind, c.reason, c.text, c.fill_text, c.reply, false});
    const test::WireReply r = ask(l.port, wire_frame(wire_request_body(750, "inbound-envelope")));
    ASSERT_TRUE(r.valid);
    EXPECT_EQ(r.kind, c.want_kind);
    EXPECT_EQ(r.reason, c.want_reason);
    EXPECT_EQ(r.text, c.want_text);
    EXPECT_EQ(r.payload, c.reply);
    const HandlerScript::Seen seen = l.handler.seen();
    EXPECT_EQ(seen.payload, "inbound-envelope");
    EXPECT_EQ(seen.timeout_ms, 750u);
    EXPECT_TRUE(seen.presets_ok);
  }
  EXPECT_EQ(l.handler.calls.load(), 8);
}

TEST(TcpListener, RequestsThatDoNotDecodeGetTheDecodeFailureReply) {
  Listening l;
  ASSERT_NE(l.port, 0);
  const Bytes failure = test::wire_reply_body(0, 7, "tcp request decode failed", "");
  ASSERT_EQ(wire_frame(failure).size(), 49u);
  struct Case {
    const char* name;
    Bytes sent;
  };
  const Case cases[] = {
      {"zero-length frame", wire_u64(0)},
      {"declared length above 64 MiB", wire_u64(kTcpMaxBody + 1)},
      {"bad magic", wire_frame(wire_bytes("V2R1") + wire_u32(0) + wire_u64(0))},
      {"shorter than the header", wire_frame(wire_bytes("V2Q1") + wire_u32(0))},
      {"payload_length one more", wire_frame(wire_bytes("V2Q1") + wire_u32(0) + wire_u64(4) + wire_bytes("abc"))},
      {"payload_length one less", wire_frame(wire_bytes("V2Q1") + wire_u32(0) + wire_u64(2) + wire_bytes("abc"))},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PeerClient client;
    ASSERT_TRUE(client.connect(l.port));
    ASSERT_TRUE(client.send(c.sent));
    const test::ClientOutcome out = client.read_frame(3000);
    ASSERT_EQ(out.status, Status::ok);
    EXPECT_EQ(out.body, failure);
    // Then the connection closes.
    EXPECT_EQ(client.read_frame(3000).status, Status::closed);
  }
  EXPECT_EQ(l.handler.calls.load(), 0);

  // A valid request of an empty envelope still reaches the handler.
  l.handler.set(replying("r"));
  EXPECT_EQ(ask(l.port, wire_frame(wire_request_body(0, ""))).payload, "r");
  EXPECT_EQ(l.handler.seen().payload, "");
  EXPECT_EQ(l.handler.calls.load(), 1);
}

TEST(TcpListener, AcceptsABodyOfExactly64MiB) {
#if defined(_GLIBCXX_TSAN)
  // The listener gives a request one second; under ThreadSanitizer and a
  // loaded machine 64 MiB does not always cross loopback in that time. The
  // other builds keep the case.
  GTEST_SKIP() << "too slow under ThreadSanitizer for the listener's one-second receive";
#endif
  Listening l;
  ASSERT_NE(l.port, 0);
  l.handler.set(replying("big"));
  const std::string payload(kTcpMaxBody - kTcpHeaderBytes, 'p');
  const Bytes request = wire_frame(wire_request_body(500, payload));
  // On a loaded machine 64 MiB may not cross loopback within the listener's
  // one second; a listener that refused the size would refuse every try.
  test::WireReply r;
  for (int attempt = 0; attempt < 3 && r.payload != "big"; ++attempt) {
    const test::ClientOutcome out = test::client_exchange(l.port, request, 10000);
    if (out.status == Status::ok) r = test::wire_parse_reply(out.body);
  }
  EXPECT_EQ(r.payload, "big");
  EXPECT_EQ(l.handler.seen().payload.size(), payload.size());
}

// A listener given a payload limit takes a request of exactly that payload
// and refuses a larger one as soon as its length prefix arrives, without
// waiting for a body; a limit above the protocol's keeps the protocol's.
TEST(TcpListener, TakesRequestsUpToItsPayloadLimitAndRefusesLargerAtThePrefix) {
  constexpr uint64_t kLimit = 1000;
  Listening l("127.0.0.1", kLimit);
  ASSERT_NE(l.port, 0);
  l.handler.set(replying("taken"));
  EXPECT_EQ(ask(l.port, wire_frame(wire_request_body(500, std::string(kLimit, 'p')))).payload, "taken");
  EXPECT_EQ(l.handler.calls.load(), 1);

  const Bytes failure = test::wire_reply_body(0, 7, "tcp request decode failed", "");
  for (uint64_t declared : {kTcpHeaderBytes + kLimit + 1, kTcpMaxBody + 1}) {
    SCOPED_TRACE(declared);
    PeerClient client;
    ASSERT_TRUE(client.connect(l.port));
    ASSERT_TRUE(client.send(wire_u64(declared)));  // the prefix alone
    const test::ClientOutcome out = client.read_frame(3000);
    ASSERT_EQ(out.status, Status::ok);
    EXPECT_EQ(out.body, failure);
    EXPECT_LT(out.elapsed_ms, 900u);  // not the one second a missing body gets
  }
  EXPECT_EQ(l.handler.calls.load(), 1);

  Listening wide("127.0.0.1", UINT64_MAX);
  ASSERT_NE(wide.port, 0);
  EXPECT_EQ(wide.adapter->max_request_body, kTcpMaxBody);
  PeerClient client;
  ASSERT_TRUE(client.connect(wide.port));
  ASSERT_TRUE(client.send(wire_u64(kTcpMaxBody + 1)));
  const test::ClientOutcome out = client.read_frame(3000);
  ASSERT_EQ(out.status, Status::ok);
  EXPECT_EQ(out.body, failure);
}

// Length prefixes that declare 64 MiB and bring a few bytes cost the
// listener about what arrived: it does not size its buffer by the peer's
// word.
TEST(TcpListener, APrefixDeclaring64MiBCostsTheListenerNoSuchBuffer) {
  Listening l;
  ASSERT_NE(l.port, 0);
  ASSERT_TRUE(test::reset_peak_resident());
  const uint64_t before = test::resident_bytes();
  for (int i = 0; i < 4; ++i) {
    PeerClient client;
    ASSERT_TRUE(client.connect(l.port));
    ASSERT_TRUE(client.send(wire_u64(kTcpMaxBody) + wire_bytes("V2Q1")));
    // The listener holds the connection while it waits for the rest.
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
  }
  const uint64_t grown = test::peak_resident_bytes() - before;
  RecordProperty("peak_growth_bytes", std::to_string(grown));
  EXPECT_LT(grown, 16ull << 20);
  EXPECT_EQ(l.handler.calls.load(), 0);
}

TEST(TcpListener, ASilentClientIsAnsweredAfterOneSecondAndHoldsTheNextOne) {
  Listening l;
  ASSERT_NE(l.port, 0);
  l.handler.set(replying("second"));
  PeerClient silent;
  ASSERT_TRUE(silent.connect(l.port));
  const auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the silent one is accepted first
  PeerClient next;
  ASSERT_TRUE(next.connect(l.port));
  ASSERT_TRUE(next.send(wire_frame(wire_request_body(1000, "env"))));

  const test::ClientOutcome first = silent.read_frame(3000);
  const uint64_t first_ms = ms_since(start);
  const test::ClientOutcome second = next.read_frame(3000);
  const uint64_t second_ms = ms_since(start);
  ASSERT_EQ(first.status, Status::ok);
  EXPECT_EQ(test::wire_parse_reply(first.body).text, "tcp request decode failed");
  EXPECT_GE(first_ms, 900u);
  EXPECT_LT(first_ms, 2000u);
  ASSERT_EQ(second.status, Status::ok);
  EXPECT_EQ(test::wire_parse_reply(second.body).payload, "second");
  EXPECT_GE(second_ms, 900u);
}

TEST(TcpListener, ExchangesWithAnotherAdapter) {
  Listening server;
  ASSERT_NE(server.port, 0);
  HandlerScript::Result deadletter = replying("deadletter-bytes");
  deadletter.kind = 2;
  deadletter.reason = 4;
  deadletter.text = "queue full";
  server.handler.set(deadletter);
  AdapterPtr client = started_outbound();
  const Exchanged r = exchange(client.get(), "envelope", server.port, 2000);
  EXPECT_EQ(r.status, Status::ok);
  EXPECT_EQ(r.kind, 2);
  EXPECT_EQ(r.reason, 4);
  EXPECT_EQ(r.text, "queue full");
  EXPECT_EQ(r.reply, "deadletter-bytes");
  EXPECT_EQ(server.handler.seen().payload, "envelope");
  EXPECT_EQ(server.handler.seen().timeout_ms, 2000u);
  // The server's own counters count only its own exchanges.
  EXPECT_EQ(stats_of(server.adapter.get()).exchanges, 0u);
}

}  // namespace
}  // namespace vorlet::v2
