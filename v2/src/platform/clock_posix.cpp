#include <time.h>

#include <cerrno>

#include "platform/clock.h"

namespace vorlet::v2::platform {

bool monotonic_ns(uint64_t* out) noexcept {
  struct timespec ts;
  if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) return false;
  *out = static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
  return true;
}

void sleep_ms(uint32_t ms) noexcept {
  struct timespec req;
  req.tv_sec = ms / 1000;
  req.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  while (nanosleep(&req, &req) != 0 && errno == EINTR) {
  }
}

}  // namespace vorlet::v2::platform
