// Status codes of the library. Internal code speaks Status; the C boundary
// converts with to_c(). They sit below every layer, the platform included,
// so this file includes nothing but the standard library.
#pragma once

#include <cstdint>

namespace vorlet::v2 {

enum class Status : int32_t {
  ok = 0,
  invalid_arg = -1,
  nomem = -2,
  bad_state = -3,
  stale_generation = -4,
  io = -5,
  would_block = -6,
  closed = -7,
};

constexpr int32_t to_c(Status s) noexcept { return static_cast<int32_t>(s); }
constexpr Status from_c(int32_t s) noexcept { return static_cast<Status>(s); }

}  // namespace vorlet::v2
