// The TCP adapter's client exchanges: peer replies become results, failures
// before a connection have their own reasons, and arguments are checked.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>

#include "tcp/tcp_adapter_support.h"

namespace vorlet::v2 {
namespace {

using namespace test::adapter;

TEST(TcpExchange, PeerRepliesBecomeResultsWithTheirTexts) {
  const std::string utf8_1500 = [] {
    std::string s;
    for (int i = 0; i < 750; ++i) s += "\xC3\xA9";
    return s;
  }();
  std::string utf8_cut;  // 159 bytes fit, the cut keeps whole characters: 79 of them
  for (int i = 0; i < 79; ++i) utf8_cut += "\xC3\xA9";
  const std::string nul_text("ab\0cd", 5);
  struct Case {
    const char* name;
    PeerStep step;
    uint32_t timeout_ms;
    Status status;
    int32_t kind;
    int32_t reason;
    std::string text;
    bool reply_null;
    std::string reply;
  };
  const Case cases[] = {
      {"response", PeerStep::reply(1, 0, "", "response-bytes"), 2000, Status::ok, 1, 0, "", false, "response-bytes"},
      {"deadletter with a text", PeerStep::reply(2, 4, "queue full", "dl"), 2000, Status::ok, 2, 4, "queue full", false,
       "dl"},
      {"response without payload", PeerStep::reply(1, 0, "", ""), 2000, Status::ok, 1, 0, "", true, ""},
      {"unknown kind passed on", PeerStep::reply(5, 3, "odd", "x"), 2000, Status::ok, 5, 3, "odd", false, "x"},
      {"long text cut whole", PeerStep::reply(2, 0, utf8_1500, "x"), 2000, Status::ok, 2, 0, utf8_cut, false, "x"},
      {"text with an inner NUL", PeerStep::reply(2, 0, nul_text, "x"), 2000, Status::ok, 2, 0, "ab", false, "x"},
      {"no result, no text", PeerStep::reply(0, 0, "", ""), 2000, Status::io, 0, 0,
       "tcp peer returned no terminal result", true, ""},
      {"no result with a text", PeerStep::reply(0, 11, "peer busy", "ignored"), 2000, Status::io, 0, 11, "peer busy",
       true, ""},
      {"bad magic", PeerStep::reply_body(wire_bytes("V2X1") + wire_u32(1) + wire_u32(0) + wire_u32(0)), 2000,
       Status::io, 0, 7, "tcp response decode failed", true, ""},
      {"text longer than the body",
       PeerStep::reply_body(wire_bytes("V2R1") + wire_u32(1) + wire_u32(0) + wire_u32(100) + wire_bytes("abcd")), 2000,
       Status::io, 0, 7, "tcp response decode failed", true, ""},
      {"body shorter than the header", PeerStep::reply_body(wire_bytes("V2R1")), 2000, Status::io, 0, 7,
       "tcp response decode failed", true, ""},
      {"peer closes early", PeerStep::close_early(), 2000, Status::io, 0, 7, "tcp exchange failed", true, ""},
      {"peer closes after half a prefix", PeerStep::raw(Bytes{9, 0, 0, 0}), 2000, Status::io, 0, 7,
       "tcp exchange failed", true, ""},
      {"oversized reply", PeerStep::raw(wire_u64(kTcpMaxBody + 1)), 2000, Status::io, 0, 7, "tcp exchange failed", true,
       ""},
      {"peer stays silent", PeerStep::stay_silent(), 300, Status::io, 0, 11, "tcp reply timed out", true, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server({c.step});
    ASSERT_TRUE(server.listening());
    AdapterPtr a = started_outbound();
    const auto start = std::chrono::steady_clock::now();
    const Exchanged r = exchange(a.get(), "request-envelope", server.port(), c.timeout_ms);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.kind, c.kind);
    EXPECT_EQ(r.reason, c.reason);
    EXPECT_EQ(r.text, c.text);
    EXPECT_EQ(r.reply_null, c.reply_null);
    EXPECT_EQ(r.reply, c.reply);
    if (c.text == "tcp reply timed out") {
      EXPECT_GE(ms_since(start), c.timeout_ms - 1);
    }
    const TcpAdapterStats s = stats_of(a.get());
    EXPECT_EQ(s.exchanges, 1u);
    EXPECT_EQ(s.connections, 1u);
    EXPECT_EQ(s.connect_failures, 0u);
    ASSERT_TRUE(eventually([&] { return server.requests().size() == 1; }));
    EXPECT_EQ(server.requests()[0], wire_request_body(c.timeout_ms, "request-envelope"));
  }
}

TEST(TcpExchange, FailsBeforeAnyConnectionWithItsOwnReason) {
  const uint16_t closed_port = test::free_loopback_port();
  ASSERT_NE(closed_port, 0);
  struct Case {
    const char* name;
    bool start;
    const char* host;
    uint16_t port;
    Status status;
    const char* text;
    uint64_t connect_failures;
  };
  const Case cases[] = {
      {"not started", false, "127.0.0.1", closed_port, Status::bad_state, "remote transport adapter is not started", 0},
      {"port 0", true, "127.0.0.1", 0, Status::invalid_arg, "invalid remote submit arguments", 0},
      {"NULL host", true, nullptr, closed_port, Status::invalid_arg, "invalid remote submit arguments", 0},
      {"nothing listens", true, "127.0.0.1", closed_port, Status::io, "tcp connect failed", 1},
      {"name does not resolve", true, "", closed_port, Status::io, "tcp address resolution failed", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AdapterPtr a = make_adapter();
    if (c.start) {
      ASSERT_EQ(tcp_adapter_start(a.get(), nullptr, 0, nullptr, nullptr), Status::ok);
    }
    const Exchanged r = exchange(a.get(), "env", c.port, 500, c.host);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.kind, 0);
    EXPECT_TRUE(r.reply_null);
    EXPECT_EQ(r.reason, c.status == Status::io ? 7 : 6);
    EXPECT_EQ(r.text, c.text);
    const TcpAdapterStats s = stats_of(a.get());
    EXPECT_EQ(s.exchanges, 1u);
    EXPECT_EQ(s.connections, 0u);
    EXPECT_EQ(s.connect_failures, c.connect_failures);
  }
}

TEST(TcpExchange, ChecksEveryArgumentAndWritesOnlyWhatItIsGiven) {
  AdapterPtr a = started_outbound();
  const uint8_t payload[] = {1, 2, 3};
  int32_t kind = 9;
  uint8_t* reply = nullptr;
  uint64_t length = 9;
  int32_t reason = 9;
  char text[160];
  struct Case {
    const char* name;
    const uint8_t* payload;
    uint64_t payload_length;
    int32_t* kind;
    uint8_t** reply;
    uint64_t* length;
  };
  const Case cases[] = {
      {"no kind out", payload, 3, nullptr, &reply, &length}, {"no reply out", payload, 3, &kind, nullptr, &length},
      {"no length out", payload, 3, &kind, &reply, nullptr}, {"NULL payload", nullptr, 3, &kind, &reply, &length},
      {"empty payload", payload, 0, &kind, &reply, &length},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(tcp_adapter_exchange(a.get(), c.payload, c.payload_length, "127.0.0.1", 9, 100, c.kind, c.reply, c.length,
                                   &reason, text, sizeof text),
              Status::invalid_arg)
        << c.name;
    EXPECT_EQ(reason, 6) << c.name;
    EXPECT_STREQ(text, "invalid remote submit arguments") << c.name;
  }
  EXPECT_EQ(stats_of(a.get()).exchanges, 5u);
  EXPECT_EQ(stats_of(a.get()).connect_failures, 0u);

  // A NULL adapter touches nothing and counts nothing.
  kind = 9;
  reason = 9;
  std::strcpy(text, "keep");
  EXPECT_EQ(tcp_adapter_exchange(nullptr, payload, 3, "127.0.0.1", 9, 100, &kind, &reply, &length, &reason, text,
                                 sizeof text),
            Status::invalid_arg);
  EXPECT_EQ(kind, 9);
  EXPECT_EQ(reason, 9);
  EXPECT_STREQ(text, "keep");

  // The text is cut to its capacity; no reason or text buffer is fine too.
  const uint16_t closed_port = test::free_loopback_port();
  EXPECT_EQ(exchange(a.get(), "env", closed_port, 500, "127.0.0.1", 4).text, "tcp");
  ScriptedServer server({PeerStep::reply(1, 0, "fine", "ok")});
  EXPECT_EQ(tcp_adapter_exchange(a.get(), payload, 3, "127.0.0.1", server.port(), 2000, &kind, &reply, &length, nullptr,
                                 nullptr, 0),
            Status::ok);
  EXPECT_EQ(kind, 1);
  ASSERT_EQ(length, 2u);
  EXPECT_EQ(std::memcmp(reply, "ok", 2), 0);
  rt_free(reply);
}

TEST(TcpExchange, ATimeoutOfZeroWaitsOneSecondAndTravelsAsZero) {
  ScriptedServer server({PeerStep::stay_silent()});
  AdapterPtr a = started_outbound();
  const auto start = std::chrono::steady_clock::now();
  const Exchanged r = exchange(a.get(), "env", server.port(), 0);
  const uint64_t waited = ms_since(start);
  EXPECT_EQ(r.reason, 11);
  EXPECT_EQ(r.text, "tcp reply timed out");
  EXPECT_GE(waited, 999u);
  EXPECT_LT(waited, 2500u);
  ASSERT_TRUE(eventually([&] { return server.requests().size() == 1; }));
  EXPECT_EQ(server.requests()[0], wire_request_body(0, "env"));
}

}  // namespace
}  // namespace vorlet::v2
