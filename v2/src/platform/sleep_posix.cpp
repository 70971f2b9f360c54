#include <time.h>

#include <cerrno>

#include "platform/sleep.h"

namespace vorlet::v2::platform {

void sleep_ms(uint32_t ms) noexcept {
  struct timespec req;
  req.tv_sec = ms / 1000;
  req.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  while (nanosleep(&req, &req) != 0 && errno == EINTR) {
  }
}

}  // namespace vorlet::v2::platform
