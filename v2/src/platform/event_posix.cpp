#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <new>

#include "platform/event.h"

namespace vorlet::v2::platform {

// The event is an eventfd whose counter is non-zero while set: set adds to
// it, reset reads it back to zero.
Event* Event::create() noexcept {
  const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) return nullptr;
  Event* event = new (std::nothrow) Event(fd);
  if (event == nullptr) close(fd);
  return event;
}

Event::~Event() { close(fd_); }

void Event::set() noexcept {
  const uint64_t one = 1;
  // Raised before the write too, so that a thread which learns of the set
  // from the descriptor (its poll woke) finds the flag up when it asks.
  raised_.store(true, std::memory_order_seq_cst);
  // A counter too full to add to (EAGAIN) is set already.
  while (write(fd_, &one, sizeof one) < 0 && errno == EINTR) {
  }
  raised_.store(true, std::memory_order_seq_cst);
}

void Event::reset() noexcept { (void)test_and_reset(); }

bool Event::is_set() noexcept { return raised_.load(std::memory_order_seq_cst) && wait_ms(0); }

bool Event::test_and_reset() noexcept {
  // Down, the descriptor holds no set that has returned (see raised_): there
  // is nothing to read back.
  if (!raised_.exchange(false, std::memory_order_seq_cst)) return false;
  uint64_t value = 0;
  ssize_t n;
  while ((n = read(fd_, &value, sizeof value)) < 0 && errno == EINTR) {
  }
  return n == static_cast<ssize_t>(sizeof value);
}

bool Event::wait_ms(uint32_t timeout_ms) noexcept {
  struct timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    struct pollfd p{fd_, POLLIN, 0};
    const int r = poll(&p, 1, timeout_ms > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(timeout_ms));
    if (r > 0) return (p.revents & POLLIN) != 0;
    if (r == 0 || errno != EINTR) return false;
    // Interrupted: wait out only what is left.
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const int64_t spent_ms = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
    if (spent_ms >= static_cast<int64_t>(timeout_ms)) return false;
    timeout_ms -= static_cast<uint32_t>(spent_ms);
    start = now;
  }
}

}  // namespace vorlet::v2::platform
