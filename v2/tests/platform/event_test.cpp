#include "platform/event.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "platform/pipe.h"

namespace vorlet::v2::platform {
namespace {

using Clock = std::chrono::steady_clock;

TEST(PlatformEvent, SetCutsAWaitShortAndStaysSetUntilReset) {
  std::unique_ptr<Event> owned(Event::create());
  ASSERT_NE(owned, nullptr);
  Event& event = *owned;
  EXPECT_FALSE(event.is_set());
  EXPECT_FALSE(event.wait_ms(5));

  const auto start = Clock::now();
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    event.set();
  });
  EXPECT_TRUE(event.wait_ms(10000));
  setter.join();
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));

  // Manual reset: every later test and wait still sees it, however often
  // it was set.
  event.set();
  EXPECT_TRUE(event.wait_ms(0));
  EXPECT_TRUE(event.is_set());
  EXPECT_TRUE(event.test_and_reset());
  EXPECT_FALSE(event.test_and_reset());
  event.set();
  event.reset();
  EXPECT_FALSE(event.wait_ms(1));
}

// is_set answers from memory while the event is clear: sets and resets
// racing on two threads must still leave it agreeing with the descriptor,
// and a set that has returned, with no reset after it, is seen.
TEST(PlatformEvent, IsSetAgreesWithTheDescriptorAfterRacingSetsAndResets) {
  std::unique_ptr<Event> event(Event::create());
  ASSERT_NE(event, nullptr);
  for (int round = 0; round < 200; ++round) {
    std::thread setter([&] {
      for (int i = 0; i < 20; ++i) event->set();
    });
    std::thread resetter([&] {
      for (int i = 0; i < 20; ++i) event->reset();
    });
    setter.join();
    resetter.join();
    ASSERT_EQ(event->is_set(), event->wait_ms(0)) << "round " << round;
    event->set();
    ASSERT_TRUE(event->is_set()) << "round " << round;
    event->reset();
    ASSERT_FALSE(event->is_set()) << "round " << round;
    ASSERT_FALSE(event->wait_ms(0)) << "round " << round;
  }
}

// A thread asleep on a pipe with no time limit is woken by the pipe's bytes
// or by the event, whichever comes first, and tells which by looking.
TEST(PlatformEvent, AWaitOnAPipeAndAnEventEndsAtEither) {
  std::unique_ptr<Event> event(Event::create());
  ASSERT_NE(event, nullptr);
  int32_t r = -1, w = -1;
  ASSERT_EQ(pipe_create(&r, &w), Status::ok);

  EXPECT_EQ(pipe_wait_readable_or(r, event->descriptor(), 5), Status::would_block);

  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    event->set();
  });
  const auto start = Clock::now();
  EXPECT_EQ(pipe_wait_readable_or(r, event->descriptor(), kWaitForever), Status::ok);
  setter.join();
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  uint64_t waiting = 1;
  EXPECT_EQ(pipe_available(r, &waiting), Status::ok);
  EXPECT_EQ(waiting, 0u);
  EXPECT_TRUE(event->test_and_reset());

  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    uint64_t written = 0;
    (void)pipe_write(w, "x", 1, nullptr, 0, &written);
  });
  EXPECT_EQ(pipe_wait_readable_or(r, event->descriptor(), kWaitForever), Status::ok);
  writer.join();
  EXPECT_FALSE(event->is_set());
  EXPECT_EQ(pipe_available(r, &waiting), Status::ok);
  EXPECT_EQ(waiting, 1u);

  // Without an event it is the plain wait on the pipe.
  EXPECT_EQ(pipe_wait_readable_or(r, -1, kWaitForever), Status::ok);
  fd_close(w);
  fd_close(r);
  EXPECT_EQ(pipe_wait_readable_or(-1, event->descriptor(), 5), Status::io);
}

}  // namespace
}  // namespace vorlet::v2::platform
