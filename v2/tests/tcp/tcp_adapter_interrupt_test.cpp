// The TCP adapter's interrupt: it cuts an exchange and the listener in each
// of their waits, and holds until the adapter starts again. And an
// exchange's expiry, which ends it in each wait as its deadline would.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tcp/tcp_adapter_support.h"

namespace vorlet::v2 {
namespace {

using namespace test::adapter;

// An exchange cut in each of its waits: a peer whose queue is full (the
// connect), one that reads nothing of a large request (the send), one that
// reads the request and never answers (the receive). Each ends at the
// interrupt, long before its budget, with closed, reason 8 and its own text,
// and counts no connect failure.
TEST(TcpAdapterInterrupt, CutsAnExchangeInEachOfItsWaits) {
  const std::string large(8u << 20, 'q');
  for (const char* phase : {"connect", "send", "receive"}) {
    SCOPED_TRACE(phase);
    std::unique_ptr<test::StalledListener> stalled;
    std::unique_ptr<ScriptedServer> peer;
    uint16_t port = 0;
    std::string payload = "env";
    std::function<bool()> under_way;
    if (std::string(phase) == "connect") {
      stalled = std::make_unique<test::StalledListener>();
      ASSERT_TRUE(stalled->ready());
      port = stalled->port();
      under_way = [] { return true; };
    } else {
      const bool send = std::string(phase) == "send";
      peer = std::make_unique<ScriptedServer>(
          std::vector<PeerStep>{send ? PeerStep::hold_unread() : PeerStep::stay_silent()});
      ASSERT_TRUE(peer->listening());
      port = peer->port();
      if (send) payload = large;
      under_way = [&] { return peer->served() == 1; };
    }
    AdapterPtr a = started_outbound();
    Exchanged out;
    std::thread exchanger([&] { out = exchange(a.get(), payload, port, 60000); });
    EXPECT_TRUE(eventually(under_way));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // asleep in the wait
    const auto cut_at = std::chrono::steady_clock::now();
    tcp_adapter_interrupt(a.get());
    exchanger.join();
    const uint64_t took = ms_since(cut_at);
    std::printf("exchange cut in its %s wait after %llu ms\n", phase, static_cast<unsigned long long>(took));
    EXPECT_LT(took, 1000u);
    EXPECT_EQ(out.status, Status::closed);
    EXPECT_EQ(out.kind, 0);
    EXPECT_TRUE(out.reply_null);
    EXPECT_EQ(out.reason, 8);
    EXPECT_EQ(out.text, "remote exchange cut by runtime stop");
    const TcpAdapterStats st = stats_of(a.get());
    EXPECT_EQ(st.exchanges, 1u);
    EXPECT_EQ(st.connections, std::string(phase) == "connect" ? 0u : 1u);
    EXPECT_EQ(st.connect_failures, 0u);
  }
}

// The caller's expiry ends an exchange in each of its waits as its
// deadline would: a connect that has not completed fails as a connect, a
// send or a receive times out. Each ends at once, long before its budget.
TEST(TcpAdapterInterrupt, AnExpiryEndsAnExchangeInEachOfItsWaitsAsItsDeadlineWould) {
  const std::string large(8u << 20, 'q');
  const struct Case {
    const char* phase;
    int32_t reason;
    const char* text;
    uint64_t connections;
    uint64_t connect_failures;
  } cases[] = {
      {"connect", 7, "tcp connect failed", 0, 1},
      {"send", 11, "tcp reply timed out", 1, 0},
      {"receive", 11, "tcp reply timed out", 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.phase);
    const std::string phase = c.phase;
    std::unique_ptr<test::StalledListener> stalled;
    std::unique_ptr<ScriptedServer> peer;
    uint16_t port = 0;
    std::string payload = "env";
    std::function<bool()> under_way = [] { return true; };
    if (phase == "connect") {
      stalled = std::make_unique<test::StalledListener>();
      ASSERT_TRUE(stalled->ready());
      port = stalled->port();
    } else {
      peer = std::make_unique<ScriptedServer>(
          std::vector<PeerStep>{phase == "send" ? PeerStep::hold_unread() : PeerStep::stay_silent()});
      ASSERT_TRUE(peer->listening());
      port = peer->port();
      if (phase == "send") payload = large;
      under_way = [&] { return peer->served() == 1; };
    }
    std::unique_ptr<platform::Event> expire(platform::Event::create());
    ASSERT_NE(expire, nullptr);
    AdapterPtr a = started_outbound();
    Exchanged out;
    std::thread exchanger(
        [&] { out = exchange(a.get(), payload, port, 60000, "127.0.0.1", 160, expire->descriptor()); });
    EXPECT_TRUE(eventually(under_way));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // asleep in the wait
    const auto expired_at = std::chrono::steady_clock::now();
    expire->set();
    exchanger.join();
    const uint64_t took = ms_since(expired_at);
    std::printf("exchange expired in its %s wait after %llu ms\n", c.phase, static_cast<unsigned long long>(took));
    EXPECT_LT(took, 1000u);
    EXPECT_EQ(out.status, Status::io);
    EXPECT_EQ(out.kind, 0);
    EXPECT_TRUE(out.reply_null);
    EXPECT_EQ(out.reason, c.reason);
    EXPECT_EQ(out.text, c.text);
    const TcpAdapterStats st = stats_of(a.get());
    EXPECT_EQ(st.exchanges, 1u);
    EXPECT_EQ(st.connections, c.connections);
    EXPECT_EQ(st.connect_failures, c.connect_failures);
  }
}

// An exchange begun after the interrupt is cut before it connects; the next
// start begins without the interrupt.
TEST(TcpAdapterInterrupt, HoldsUntilTheAdapterStartsAgain) {
  ScriptedServer peer({PeerStep::reply(1, 0, "", "answer")});
  ASSERT_TRUE(peer.listening());
  AdapterPtr a = started_outbound();
  tcp_adapter_interrupt(a.get());
  const Exchanged cut = exchange(a.get(), "env", peer.port(), 5000);
  EXPECT_EQ(cut.status, Status::closed);
  EXPECT_EQ(cut.reason, 8);
  EXPECT_EQ(cut.text, "remote exchange cut by runtime stop");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(peer.accepted(), 0);
  const TcpAdapterStats st = stats_of(a.get());
  EXPECT_EQ(st.exchanges, 1u);
  EXPECT_EQ(st.connections, 0u);
  EXPECT_EQ(st.connect_failures, 0u);

  tcp_adapter_stop(a.get());
  tcp_adapter_interrupt(a.get());  // idle: nothing to interrupt
  ASSERT_EQ(tcp_adapter_start(a.get(), nullptr, 0, nullptr, nullptr), Status::ok);
  const Exchanged served = exchange(a.get(), "env", peer.port(), 5000);
  EXPECT_EQ(served.status, Status::ok);
  EXPECT_EQ(served.kind, 1);
  EXPECT_EQ(served.reply, "answer");
  tcp_adapter_interrupt(nullptr);  // nothing
}

// The interrupt cuts the listener's waits: a reply its peer does not read,
// and a request its peer sends only half of. The peer gets what could be
// sent without waiting, the listener ends by itself, and the stop that
// follows is quick.
TEST(TcpAdapterInterrupt, CutsTheListenersWaitsAndEndsIt) {
  const std::string large(8u << 20, 'r');
  for (const char* peer_does : {"the peer reads none of its reply", "the peer sends half a request", "idle"}) {
    SCOPED_TRACE(peer_does);
    const std::string what(peer_does);
    Listening l;
    ASSERT_NE(l.port, 0);
    l.handler.set(replying(large));
    const size_t threads = test::thread_count() - 1;  // all but the listener
    PeerClient client;
    ASSERT_TRUE(client.connect(l.port));
    const Bytes request = wire_frame(wire_request_body(0xFFFFFFFFu, "env"));
    if (what == "the peer reads none of its reply") {
      ASSERT_TRUE(client.send(request));
      ASSERT_TRUE(eventually([&] { return l.handler.calls.load() == 1 && client.unread_bytes() > 0; }));
      std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the buffers fill up
    } else if (what == "the peer sends half a request") {
      ASSERT_TRUE(client.send(Bytes(request.begin(), request.begin() + 10)));
      std::this_thread::sleep_for(std::chrono::milliseconds(100));  // accepted, reading
    }
    const auto cut_at = std::chrono::steady_clock::now();
    tcp_adapter_interrupt(l.adapter.get());
    // The listener ends without stop.
    EXPECT_TRUE(eventually([&] { return test::thread_count() == threads; }));
    const uint64_t ended = ms_since(cut_at);
    EXPECT_LT(ended, 1000u);

    if (what == "the peer reads none of its reply") {
      const test::ClientOutcome got = client.read_to_end(5000);
      EXPECT_EQ(got.status, Status::closed);
      EXPECT_GT(got.body.size(), 0u);
      EXPECT_LT(got.body.size(), 8 + 16 + large.size());  // a part of the frame, then the close
    } else if (what == "the peer sends half a request") {
      const test::ClientOutcome got = client.read_frame(3000);
      ASSERT_EQ(got.status, Status::ok);
      const test::WireReply r = test::wire_parse_reply(got.body);
      EXPECT_EQ(r.kind, 0u);
      EXPECT_EQ(r.reason, 7u);
      EXPECT_EQ(r.text, "tcp request decode failed");
      EXPECT_EQ(l.handler.calls.load(), 0);
    } else {
      // A connection after the interrupt is not served.
      PeerClient late;
      ASSERT_TRUE(late.connect(l.port));
      ASSERT_TRUE(late.send(request));
      EXPECT_EQ(late.read_frame(300).status, Status::would_block);
      EXPECT_EQ(l.handler.calls.load(), 0);
    }
    const auto stop_at = std::chrono::steady_clock::now();
    tcp_adapter_stop(l.adapter.get());
    EXPECT_LT(ms_since(stop_at), 1000u);
    std::printf("listener, %s: ended %llu ms after the interrupt\n", peer_does,
                static_cast<unsigned long long>(ended));
  }
}

}  // namespace
}  // namespace vorlet::v2
