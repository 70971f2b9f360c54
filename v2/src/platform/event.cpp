#include "platform/event.h"

#include <chrono>

namespace vorlet::v2::platform {

void Event::set() noexcept {
  std::lock_guard<std::mutex> hold(mutex_);
  set_ = true;
  changed_.notify_all();
}

void Event::reset() noexcept {
  std::lock_guard<std::mutex> hold(mutex_);
  set_ = false;
}

bool Event::is_set() noexcept {
  std::lock_guard<std::mutex> hold(mutex_);
  return set_;
}

bool Event::test_and_reset() noexcept {
  std::lock_guard<std::mutex> hold(mutex_);
  const bool was = set_;
  set_ = false;
  return was;
}

bool Event::wait_ms(uint32_t timeout_ms) noexcept {
  std::unique_lock<std::mutex> hold(mutex_);
  return changed_.wait_for(hold, std::chrono::milliseconds(timeout_ms), [this] { return set_; });
}

}  // namespace vorlet::v2::platform
