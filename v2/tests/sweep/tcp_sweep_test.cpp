// The TCP adapter under allocation failure. An exchange that meets a failing
// allocation ends with the status, reason, text and counters of its own
// failure and hands out nothing; the listener answers a request whose body
// cannot be held with the decode failure, closes a connection whose reply
// cannot be built, and goes on serving either way.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "base/alloc.h"
#include "support/scripted_peer.h"
#include "sweep/sweep_support.h"
#include "tcp/tcp_adapter.h"
#include "tcp/tcp_frame.h"

namespace vorlet::v2::test {
namespace {

struct AdapterDeleter {
  void operator()(TcpAdapter* a) const { tcp_adapter_destroy(a); }
};
using AdapterPtr = std::unique_ptr<TcpAdapter, AdapterDeleter>;

TEST(TcpSweep, AnExchangeEndsWithTheRowOfItsFailure) {
  ScriptedServer server({PeerStep::reply(1, 4, "fine", "response-bytes")});
  ASSERT_TRUE(server.listening());
  const std::string payload(300, 'e');
  const uint64_t points = sweep("tcp exchange", [&](const Fault& fault) {
    AdapterPtr a(tcp_adapter_create());
    EXPECT_EQ(tcp_adapter_start(a.get(), nullptr, 0, nullptr, nullptr), Status::ok);
    int32_t kind = -1;
    uint8_t* reply = nullptr;
    uint64_t length = 99;
    int32_t reason = -1;
    char text[160];
    FailingAllocations window(fault);
    const Status s = tcp_adapter_exchange(a.get(), reinterpret_cast<const uint8_t*>(payload.data()), payload.size(),
                                          "127.0.0.1", server.port(), 5000, &kind, &reply, &length, &reason, text,
                                          sizeof text);
    window.close();
    TcpAdapterStats stats{};
    tcp_adapter_stats(a.get(), &stats);
    EXPECT_EQ(stats.exchanges, 1u) << fault;
    EXPECT_EQ(stats.connect_failures, 0u) << fault;
    const std::string said(text);
    if (s == Status::ok) {
      EXPECT_FALSE(window.fired()) << fault;
      EXPECT_EQ(kind, 1) << fault;
      EXPECT_EQ(reason, 4) << fault;
      EXPECT_EQ(said, "fine") << fault;
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(reply), length), "response-bytes") << fault;
    } else {
      EXPECT_TRUE(window.fired()) << fault;
      EXPECT_EQ(kind, 0) << fault;
      EXPECT_EQ(reply, nullptr) << fault;
      EXPECT_EQ(length, 0u) << fault;
      if (said == "failed to allocate tcp request") {
        // Before any connection: the request body could not be built.
        EXPECT_EQ(s, Status::nomem) << fault;
        EXPECT_EQ(reason, 6) << fault;
        EXPECT_EQ(stats.connections, 0u) << fault;
      } else if (said == "tcp exchange failed") {
        // The reply's receive buffer could not be allocated.
        EXPECT_EQ(s, Status::io) << fault;
        EXPECT_EQ(reason, 7) << fault;
        EXPECT_EQ(stats.connections, 1u) << fault;
      } else {
        EXPECT_EQ(said, "failed to allocate tcp reply copy") << fault;
        EXPECT_EQ(s, Status::nomem) << fault;
        EXPECT_EQ(reason, 6) << fault;
        EXPECT_EQ(stats.connections, 1u) << fault;
      }
    }
    rt_free(reply);
    return window.fired();
  });
  EXPECT_GE(points, 3u);  // request body, receive buffer, reply copy
}

// Answers with a copy of the request, in a block of the library's heap.
Status echo_handler(void*, const uint8_t* payload, uint64_t length, uint32_t, int32_t* result_kind, uint8_t** reply,
                    uint64_t* reply_length, int32_t* reason, char* text, uint64_t text_capacity, InboundWatch*) {
  void* copy = rt_malloc(length);
  if (copy == nullptr) {
    std::snprintf(text, text_capacity, "%s", "echo: no memory");
    return Status::nomem;
  }
  std::memcpy(copy, payload, length);
  *result_kind = 1;
  *reason = 0;
  *reply = static_cast<uint8_t*>(copy);
  *reply_length = length;
  return Status::ok;
}

TEST(TcpSweep, TheListenerAnswersOrClosesAndServesTheNextConnection) {
  AdapterPtr a(tcp_adapter_create());
  uint16_t port = 0;
  for (int attempt = 0; attempt < 5 && port == 0; ++attempt) {
    const uint16_t p = free_loopback_port();
    if (tcp_adapter_start(a.get(), "127.0.0.1", p, echo_handler, nullptr) == Status::ok) port = p;
  }
  ASSERT_NE(port, 0);
  const Bytes request = wire_frame(wire_request_body(2000, "inbound-envelope"));

  const uint64_t points = sweep("tcp listener", [&](const Fault& fault) {
    // The client runs on a thread of its own, whose allocations are not
    // counted: only the listener's are.
    std::atomic<bool> go{false};
    std::atomic<bool> done{false};
    ClientOutcome out;
    std::thread client([&] {
      while (!go.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      out = client_exchange(port, request, 5000);
      done.store(true);
    });
    FailingAllocations window(fault);
    go.store(true);
    while (!done.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    window.close();
    client.join();

    if (out.status == Status::ok) {
      const WireReply r = wire_parse_reply(out.body);
      EXPECT_TRUE(r.valid) << fault;
      if (r.kind == 1) {
        EXPECT_EQ(r.payload, "inbound-envelope") << fault;
      } else {
        // The request body could not be held, or the handler found no memory.
        EXPECT_TRUE(window.fired()) << fault;
        EXPECT_EQ(r.kind, 0u) << fault;
        EXPECT_TRUE((r.reason == 7 && r.text == "tcp request decode failed") ||
                    (r.reason == 6 && r.text == "echo: no memory"))
            << fault << " " << r.reason << " " << r.text;
      }
    } else {
      // The reply could not be built: the connection closes without one (a
      // reset when the request was left unread).
      EXPECT_TRUE(window.fired()) << fault;
      EXPECT_TRUE(out.status == Status::closed || out.status == Status::io) << fault;
    }
    // The listener goes on: the next request, with memory, is served.
    const ClientOutcome next = client_exchange(port, request, 5000);
    EXPECT_EQ(next.status, Status::ok) << fault;
    EXPECT_EQ(wire_parse_reply(next.body).payload, "inbound-envelope") << fault;
    return window.fired();
  });
  EXPECT_GE(points, 3u);  // request body, the handler's reply, reply body
  EXPECT_FALSE(tcp_adapter_is_stopped(a.get()));
}

}  // namespace
}  // namespace vorlet::v2::test
