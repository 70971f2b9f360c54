// Waiting in tests: a condition polled until it holds or a bound passes,
// the time a step took, and the end of a test's own threads however the
// test returns. Every wait here ends by itself.
#pragma once

#include <chrono>
#include <cstdint>
#include <thread>
#include <utility>

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

// Runs `end` once: at end_now(), or else when it leaves its scope. A test
// whose threads run while it checks ends them through one, so that an
// ASSERT_* that returns early stops and joins them instead of destroying a
// joinable std::thread (which ends the whole test binary).
template <typename End>
class AtScopeEnd {
 public:
  explicit AtScopeEnd(End end) : end_(std::move(end)) {}
  ~AtScopeEnd() { end_now(); }
  AtScopeEnd(const AtScopeEnd&) = delete;
  AtScopeEnd& operator=(const AtScopeEnd&) = delete;

  void end_now() {
    if (done_) return;
    done_ = true;
    end_();
  }

 private:
  End end_;
  bool done_ = false;
};

}  // namespace vorlet::v2::test
