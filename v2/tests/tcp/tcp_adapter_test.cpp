// The TCP adapter's start and stop: what it binds, starting again, ports in
// use, its layout, and its life inside a runtime.
#include <gtest/gtest.h>

#include "tcp/tcp_adapter_support.h"

namespace vorlet::v2 {
namespace {

using namespace test::adapter;

TEST(TcpAdapterStart, BindsAsAskedOrServesOutboundOnly) {
  struct Case {
    const char* name;
    const char* host;
    bool with_port;
    bool with_handler;
    Status status;
    bool listening;
    bool running;
  };
  const Case cases[] = {
      {"every address", "", true, true, Status::ok, true, true},
      {"NULL host", nullptr, true, true, Status::ok, true, true},
      {"loopback", "127.0.0.1", true, true, Status::ok, true, true},
      {"address not local: every address instead", "192.0.2.1", true, true, Status::ok, true, true},
      {"port 0: outbound only", "127.0.0.1", false, true, Status::ok, false, true},
      {"no handler: outbound only", "127.0.0.1", true, false, Status::ok, false, true},
      {"a name, not an address", "localhost", true, true, Status::invalid_arg, false, false},
      {"not dotted IPv4", "1.2.3", true, true, Status::invalid_arg, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HandlerScript h;
    AdapterPtr a = make_adapter();
    const uint16_t port = test::free_loopback_port();
    ASSERT_NE(port, 0);
    const size_t threads = test::thread_count();
    EXPECT_EQ(
        tcp_adapter_start(a.get(), c.host, c.with_port ? port : 0, c.with_handler ? scripted_handler : nullptr, &h),
        c.status);
    EXPECT_EQ(tcp_adapter_is_stopped(a.get()), !c.running);
    EXPECT_EQ(a->listener.joinable(), c.listening);
    if (!c.listening) {
      EXPECT_EQ(test::thread_count(), threads);  // no listener thread
    }
    EXPECT_EQ(a->listen_port, c.listening ? port : 0);
    EXPECT_EQ(accepts_connections(port), c.listening);
    if (c.listening) {
      EXPECT_EQ(ask(port, wire_frame(wire_request_body(100, "x"))).kind, 1u);
    }
    if (c.running) {
      // Outbound exchanges work in every started mode.
      ScriptedServer peer({PeerStep::reply(1, 0, "", "ok")});
      EXPECT_EQ(exchange(a.get(), "env", peer.port(), 2000).status, Status::ok);
    }
    tcp_adapter_stop(a.get());
    EXPECT_TRUE(tcp_adapter_is_stopped(a.get()));
    EXPECT_FALSE(accepts_connections(port));
  }
}

TEST(TcpAdapterStart, ASecondStartKeepsTheFirstPortAndHandler) {
  Listening l;
  ASSERT_NE(l.port, 0);
  HandlerScript other;
  const uint16_t other_port = test::free_loopback_port();
  EXPECT_EQ(tcp_adapter_start(l.adapter.get(), nullptr, other_port, scripted_handler, &other), Status::ok);
  EXPECT_EQ(l.adapter->listen_port, l.port);
  EXPECT_FALSE(accepts_connections(other_port));
  ask(l.port, wire_frame(wire_request_body(100, "x")));
  EXPECT_EQ(l.handler.calls.load(), 1);
  EXPECT_EQ(other.calls.load(), 0);
}

TEST(TcpAdapterStart, StartStopStartListensAgainOnTheSamePort) {
  Listening l;
  ASSERT_NE(l.port, 0);
  ask(l.port, wire_frame(wire_request_body(100, "x")));
  tcp_adapter_stop(l.adapter.get());
  EXPECT_FALSE(accepts_connections(l.port));
  EXPECT_FALSE(l.adapter->configured.load());
  EXPECT_EQ(l.adapter->listen_socket.load(), platform::kNoSocket);
  ASSERT_EQ(tcp_adapter_start(l.adapter.get(), "127.0.0.1", l.port, scripted_handler, &l.handler), Status::ok);
  EXPECT_EQ(ask(l.port, wire_frame(wire_request_body(100, "y"))).kind, 1u);
  EXPECT_EQ(l.handler.seen().payload, "y");
  tcp_adapter_stop(l.adapter.get());
  tcp_adapter_stop(l.adapter.get());  // stopping an idle adapter does nothing
  EXPECT_TRUE(tcp_adapter_is_stopped(l.adapter.get()));
}

TEST(TcpAdapterStart, APortInUseFailsAndLeavesTheAdapterIdle) {
  ScriptedServer occupant({PeerStep::close_early()});
  ASSERT_TRUE(occupant.listening());
  HandlerScript h;
  AdapterPtr a = make_adapter();
  const size_t descriptors = test::open_descriptor_count();
  EXPECT_EQ(tcp_adapter_start(a.get(), "127.0.0.1", occupant.port(), scripted_handler, &h), Status::io);
  EXPECT_TRUE(tcp_adapter_is_stopped(a.get()));
  EXPECT_FALSE(a->configured.load());
  EXPECT_EQ(a->listen_socket.load(), platform::kNoSocket);
  EXPECT_EQ(test::open_descriptor_count(), descriptors);
  EXPECT_EQ(exchange(a.get(), "env", occupant.port(), 500).status, Status::bad_state);
}

TEST(TcpAdapterStart, NullAdaptersAreRefusedOrIgnored) {
  HandlerScript h;
  EXPECT_EQ(tcp_adapter_start(nullptr, nullptr, 1, scripted_handler, &h), Status::invalid_arg);
  tcp_adapter_stop(nullptr);
  tcp_adapter_destroy(nullptr);
  EXPECT_TRUE(tcp_adapter_is_stopped(nullptr));
  const TcpAdapterStats s = stats_of(nullptr);
  EXPECT_EQ(s.exchanges + s.connections + s.connect_failures, 0u);
  tcp_adapter_stats(nullptr, nullptr);
  AdapterPtr a = make_adapter();
  EXPECT_TRUE(tcp_adapter_is_stopped(a.get()));
}

TEST(TcpAdapterLayout, HotFieldsSitOnTheirOwnLines) {
  const size_t lines[] = {offsetof(TcpAdapter, lock) / 64,        offsetof(TcpAdapter, configured) / 64,
                          offsetof(TcpAdapter, running) / 64,     offsetof(TcpAdapter, exchanges) / 64,
                          offsetof(TcpAdapter, connections) / 64, offsetof(TcpAdapter, connect_failures) / 64};
  for (size_t i = 1; i < sizeof lines / sizeof lines[0]; ++i) EXPECT_GT(lines[i], lines[i - 1]);
  EXPECT_EQ(alignof(TcpAdapter), 64u);
}

// ---- inside the runtime ----

TEST(TcpAdapterInRuntime, CreatedIdleAndStoppedBeforeDestroy) {
  vorlet_v2_RuntimeOptions options{nullptr, nullptr, 0, 0};
  Runtime* rt = runtime_create(&options);
  ASSERT_NE(rt, nullptr);
  ASSERT_NE(rt->tcp_adapter, nullptr);
  EXPECT_TRUE(tcp_adapter_is_stopped(rt->tcp_adapter));
  HandlerScript h;
  const uint16_t port = test::free_loopback_port();
  ASSERT_EQ(tcp_adapter_start(rt->tcp_adapter, "127.0.0.1", port, scripted_handler, &h), Status::ok);
  ASSERT_TRUE(accepts_connections(port));
  const size_t threads = test::thread_count();
  runtime_destroy(rt);  // a listening adapter: destroy ends the listener first
  EXPECT_EQ(test::thread_count(), threads - 1);
  EXPECT_FALSE(accepts_connections(port));
}

}  // namespace
}  // namespace vorlet::v2
