// The wait the listener takes after an accept that failed: it asks for no
// readiness, so the connection it could not take does not end it, and
// only the hang-up of a shutdown (stop), the cancel descriptor or the time
// does. socket_poll's kPollForever waits with no time limit.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "platform/event.h"
#include "platform/socket.h"

namespace vorlet::v2::platform {
namespace {

using Clock = std::chrono::steady_clock;

// A listening socket on 127.0.0.1 with one connection waiting in its queue.
struct PendingConnection {
  SocketHandle listener = kNoSocket;
  SocketHandle client = kNoSocket;

  PendingConnection() {
    listener = socket_open_ipv4(nullptr);
    Ipv4Address a;
    if (!ipv4_parse("127.0.0.1", &a)) return;
    if (socket_bind_ipv4(listener, &a, 0) != SocketError::none || socket_listen(listener, 4) != SocketError::none) {
      return;
    }
    AddressList list;
    if (!list.resolve("127.0.0.1", socket_local_port(listener))) return;
    client = socket_open_for(list.first(), nullptr);
    if (socket_connect(client, list.first()) != SocketError::none) {
      socket_close(client);
      client = kNoSocket;
    }
  }
  ~PendingConnection() {
    socket_close(client);
    socket_close(listener);
  }
  bool ok() const { return client != kNoSocket; }
};

TEST(SocketHangUpWait, APendingConnectionDoesNotEndItAShutdownDoes) {
  PendingConnection pc;
  ASSERT_TRUE(pc.ok());
  SocketError err;
  ASSERT_EQ(socket_poll(pc.listener, kWantRead, 1000, &err), PollResult::ready);  // the connection waits
  EXPECT_EQ(socket_poll(pc.listener, 0, 50, &err), PollResult::timed_out);

  for (const uint32_t timeout : {uint32_t{10000}, kPollForever}) {
    SCOPED_TRACE(timeout);
    PendingConnection again;
    ASSERT_TRUE(again.ok());
    const auto start = Clock::now();
    std::thread stopper([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      socket_shutdown(again.listener);
    });
    EXPECT_EQ(socket_poll(again.listener, 0, timeout, &err), PollResult::ready);
    stopper.join();
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  }
}

TEST(SocketHangUpWait, TheCancelDescriptorEndsAWaitWithoutLimit) {
  PendingConnection pc;
  ASSERT_TRUE(pc.ok());
  std::unique_ptr<Event> cancel(Event::create());
  ASSERT_NE(cancel, nullptr);
  const auto start = Clock::now();
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    cancel->set();
  });
  SocketError err;
  EXPECT_EQ(socket_poll(pc.listener, 0, kPollForever, &err, cancel->descriptor()), PollResult::cancelled);
  setter.join();
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
}

}  // namespace
}  // namespace vorlet::v2::platform
