// A manual-reset event: once set it stays set, waking every waiter, until
// reset. One thread (stop) sets it to cut another thread's idle wait short.
// It has a descriptor that polls readable while it is set, so a thread can
// sleep on it and on a pipe at once.
#pragma once

#include <atomic>
#include <cstdint>

namespace vorlet::v2::platform {

class Event {
 public:
  // A new event, not set; nullptr when no memory or no descriptor is left.
  // The caller owns it and deletes it.
  static Event* create() noexcept;
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void set() noexcept;
  // is_set, reset and test_and_reset cost no system call while the event is
  // clear, the common case of the loops that ask or reset between steps; the
  // descriptor decides once it was set.
  void reset() noexcept;
  bool is_set() noexcept;
  // true when the event was set; it is reset in the same step.
  bool test_and_reset() noexcept;
  // Waits up to timeout_ms for the event; true when it is set (it stays
  // set), false on timeout.
  bool wait_ms(uint32_t timeout_ms) noexcept;
  // Readable while the event is set; owned by the event. For waits on
  // several descriptors at once, never to be read or closed.
  int32_t descriptor() const noexcept { return fd_; }

 private:
  explicit Event(int32_t fd) noexcept : fd_(fd) {}
  int32_t fd_;
  // Raised by set after its write, lowered by a reset before its read: so
  // it is never down while the descriptor stays readable past a set that
  // has returned, and is_set and a reset may trust it when it is down. set raises it
  // before its write as well, for a thread woken by the descriptor. As set
  // touches it after the write, whoever deletes the event must know that
  // every set has returned (by joining the setter, or by being it), not
  // only that the descriptor was readable.
  std::atomic<bool> raised_{false};
};

}  // namespace vorlet::v2::platform
