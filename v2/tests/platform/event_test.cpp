#include "platform/event.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace vorlet::v2::platform {
namespace {

TEST(PlatformEvent, SetCutsAWaitShortAndStaysSetUntilReset) {
  Event event;
  EXPECT_FALSE(event.is_set());
  EXPECT_FALSE(event.wait_ms(5));

  const auto start = std::chrono::steady_clock::now();
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    event.set();
  });
  EXPECT_TRUE(event.wait_ms(10000));
  setter.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));

  // Manual reset: every later test and wait still sees it.
  EXPECT_TRUE(event.wait_ms(0));
  EXPECT_TRUE(event.is_set());
  EXPECT_TRUE(event.test_and_reset());
  EXPECT_FALSE(event.test_and_reset());
  event.set();
  event.reset();
  EXPECT_FALSE(event.wait_ms(1));
}

}  // namespace
}  // namespace vorlet::v2::platform
