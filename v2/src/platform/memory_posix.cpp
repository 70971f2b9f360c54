#include <string.h>

#include "platform/memory.h"

namespace vorlet::v2::platform {

void secure_wipe(void* p, uint64_t length) noexcept {
  if (p == nullptr || length == 0) return;
  explicit_bzero(p, static_cast<size_t>(length));
}

}  // namespace vorlet::v2::platform
