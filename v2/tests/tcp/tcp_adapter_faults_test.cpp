// Faults the TCP adapter must survive: stop while a connection is served,
// accept failing for lack of descriptors, a listener that cannot start.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "tcp/tcp_adapter_support.h"

namespace vorlet::v2 {
namespace {

using namespace test::adapter;

TEST(TcpAdapterStop, ClosesTheListenSocketOnlyAfterTheListenerEnded) {
  Listening l;
  ASSERT_NE(l.port, 0);
  l.handler.set(replying("late", true));
  const int listen_fd = l.adapter->listen_socket.load();
  const std::string listen_target = test::descriptor_target(listen_fd);
  ASSERT_NE(listen_target, "");

  PeerClient client;
  ASSERT_TRUE(client.connect(l.port));
  ASSERT_TRUE(client.send(wire_frame(wire_request_body(2000, "env"))));
  ASSERT_TRUE(eventually([&] { return l.handler.entered.load(); }));

  std::atomic<bool> stopped{false};
  std::thread stopper([&] {
    tcp_adapter_stop(l.adapter.get());
    stopped.store(true);
  });
  ASSERT_TRUE(eventually([&] { return !l.adapter->configured.load(); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  // The listener is still serving: its socket number must still be its own.
  EXPECT_FALSE(stopped.load());
  EXPECT_EQ(test::descriptor_target(listen_fd), listen_target);

  l.handler.release.store(true);
  stopper.join();
  EXPECT_NE(test::descriptor_target(listen_fd), listen_target);
  // The connection in service was still answered.
  const test::ClientOutcome out = client.read_frame(3000);
  ASSERT_EQ(out.status, Status::ok);
  EXPECT_EQ(test::wire_parse_reply(out.body).payload, "late");
}

TEST(TcpAdapterStop, AConnectionInServiceWhileStopRunsIsToldTheHandlerIsGone) {
  Listening l;
  ASSERT_NE(l.port, 0);
  const Bytes request = wire_frame(wire_request_body(1000, "env"));
  PeerClient client;
  ASSERT_TRUE(client.connect(l.port));
  ASSERT_TRUE(client.send(Bytes(request.begin(), request.begin() + 10)));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // accepted, reading

  std::thread stopper([&] { tcp_adapter_stop(l.adapter.get()); });
  ASSERT_TRUE(eventually([&] {
    MutexLock hold(&l.adapter->handler_lock);
    return l.adapter->handler == nullptr && l.adapter->handler_context == nullptr;
  }));
  ASSERT_TRUE(client.send(Bytes(request.begin() + 10, request.end())));
  const test::ClientOutcome out = client.read_frame(3000);
  stopper.join();
  ASSERT_EQ(out.status, Status::ok);
  const test::WireReply r = test::wire_parse_reply(out.body);
  EXPECT_EQ(r.kind, 0u);
  EXPECT_EQ(r.reason, 6u);
  EXPECT_EQ(r.text, "inbound handler is not installed");
  EXPECT_EQ(l.handler.calls.load(), 0);
}

TEST(TcpListener, KeepsServingAfterAcceptFailsForLackOfDescriptors) {
  Listening l;
  ASSERT_NE(l.port, 0);
  l.handler.set(replying("served"));
  uint64_t limit = 0;
  ASSERT_TRUE(platform::descriptor_soft_limit(&limit));

  PeerClient client;
  ASSERT_TRUE(client.open(l.port));
  // Let no further descriptor open: the lowest free number becomes the limit.
  const platform::SocketHandle probe = platform::socket_open_ipv4(nullptr);
  ASSERT_NE(probe, platform::kNoSocket);
  platform::socket_close(probe);
  ASSERT_TRUE(platform::set_descriptor_soft_limit(static_cast<uint64_t>(probe)));
  const bool connected = client.connect();
  std::this_thread::sleep_for(std::chrono::milliseconds(600));  // accept fails more than once
  const platform::SocketHandle blocked = platform::socket_open_ipv4(nullptr);
  ASSERT_TRUE(platform::set_descriptor_soft_limit(limit));
  ASSERT_TRUE(connected);
  EXPECT_EQ(blocked, platform::kNoSocket);
  platform::socket_close(blocked);

  ASSERT_TRUE(client.send(wire_frame(wire_request_body(1000, "env"))));
  const test::ClientOutcome out = client.read_frame(3000);
  ASSERT_EQ(out.status, Status::ok);
  EXPECT_EQ(test::wire_parse_reply(out.body).payload, "served");
  EXPECT_FALSE(tcp_adapter_is_stopped(l.adapter.get()));
}

TEST(TcpAdapterStart, AListenerThatCannotStartLeavesTheAdapterIdle) {
  HandlerScript h;
  AdapterPtr a = make_adapter();
  a->start_listener = [](std::thread*, platform::ThreadProc, void*) { return false; };
  const uint16_t port = test::free_loopback_port();
  const size_t descriptors = test::open_descriptor_count();
  EXPECT_EQ(tcp_adapter_start(a.get(), "127.0.0.1", port, scripted_handler, &h), Status::io);
  EXPECT_TRUE(tcp_adapter_is_stopped(a.get()));
  EXPECT_FALSE(a->configured.load());
  EXPECT_EQ(a->listen_socket.load(), platform::kNoSocket);
  EXPECT_EQ(a->listen_port, 0);
  EXPECT_EQ(test::open_descriptor_count(), descriptors);
  EXPECT_FALSE(accepts_connections(port));
  EXPECT_EQ(exchange(a.get(), "env", port, 200).status, Status::bad_state);

  a->start_listener = platform::start_thread;
  ASSERT_EQ(tcp_adapter_start(a.get(), "127.0.0.1", port, scripted_handler, &h), Status::ok);
  EXPECT_EQ(ask(port, wire_frame(wire_request_body(100, "x"))).kind, 1u);
}

}  // namespace
}  // namespace vorlet::v2
