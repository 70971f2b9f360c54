// Waiting in tests: a condition polled until it holds or a bound passes,
// and the time a step took. Every wait here ends by itself.
#pragma once

#include <chrono>
#include <cstdint>
#include <thread>

namespace vorlet::v2::test {

using Clock = std::chrono::steady_clock;

// Milliseconds from t until now.
inline uint64_t ms_since(Clock::time_point t) {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

// Polls pred every millisecond until it holds (true) or about timeout_ms
// have passed; then pred decides once more.
template <typename Pred>
bool eventually(Pred pred, uint32_t timeout_ms = 10000) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!pred()) {
    if (Clock::now() >= deadline) return pred();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace vorlet::v2::test
