#include "codec/alloc.h"

#include <cstdlib>
#include <cstring>

namespace vorlet::v2 {
namespace {

bool mul_overflows(uint64_t a, uint64_t b, uint64_t* out) noexcept {
  return __builtin_mul_overflow(a, b, out);
}

}  // namespace

void* rt_malloc(uint64_t n) noexcept { return std::malloc(n == 0 ? 1 : n); }

void* rt_realloc(void* p, uint64_t n) noexcept { return std::realloc(p, n == 0 ? 1 : n); }

void* rt_calloc(uint64_t count, uint64_t size) noexcept {
  uint64_t total = 0;
  if (count == 0 || size == 0) return std::calloc(1, 1);
  if (mul_overflows(count, size, &total)) return nullptr;
  return std::calloc(1, total);
}

void rt_free(void* p) noexcept { std::free(p); }

void* rt_aligned_calloc(uint64_t alignment, uint64_t count, uint64_t size) noexcept {
  if (alignment < 8 || (alignment & (alignment - 1)) != 0) return nullptr;
  uint64_t total = 1;
  if (count != 0 && size != 0 && mul_overflows(count, size, &total)) return nullptr;
  uint64_t raw_size = 0;
  if (__builtin_add_overflow(alignment + 7, total, &raw_size)) return nullptr;
  auto* raw = static_cast<unsigned char*>(rt_malloc(raw_size));
  if (raw == nullptr) return nullptr;
  const uintptr_t base = reinterpret_cast<uintptr_t>(raw) + 8;
  const uintptr_t aligned = (base + alignment - 1) & ~static_cast<uintptr_t>(alignment - 1);
  auto* user = reinterpret_cast<unsigned char*>(aligned);
  std::memcpy(user - 8, &raw, sizeof raw);
  std::memset(user, 0, total);
  return user;
}

void rt_aligned_free(void* p) noexcept {
  if (p == nullptr) return;
  void* raw = nullptr;
  std::memcpy(&raw, static_cast<unsigned char*>(p) - 8, sizeof raw);
  rt_free(raw);
}

}  // namespace vorlet::v2
