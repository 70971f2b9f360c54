// A manual-reset event: once set it stays set, waking every waiter, until
// reset. One thread (stop) sets it to cut another thread's idle wait short.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace vorlet::v2::platform {

class Event {
 public:
  Event() = default;
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void set() noexcept;
  void reset() noexcept;
  bool is_set() noexcept;
  // true when the event was set; it is reset in the same step.
  bool test_and_reset() noexcept;
  // Waits up to timeout_ms for the event; true when it is set (it stays
  // set), false on timeout.
  bool wait_ms(uint32_t timeout_ms) noexcept;

 private:
  std::mutex mutex_;  // guards set_
  std::condition_variable changed_;
  bool set_ = false;
};

}  // namespace vorlet::v2::platform
