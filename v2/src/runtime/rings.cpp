#include "runtime/rings.h"

namespace vorlet::v2 {
namespace {

// Larger rings than this could never be allocated; refusing them here keeps
// the rounding below from overflowing.
constexpr uint64_t kMaxRingSlots = 1ull << 40;

}  // namespace

uint64_t ring_capacity_for(uint64_t requested) noexcept {
  if (requested > kMaxRingSlots) return 0;
  uint64_t capacity = 2;
  while (capacity < requested) capacity <<= 1;
  return capacity;
}

}  // namespace vorlet::v2
