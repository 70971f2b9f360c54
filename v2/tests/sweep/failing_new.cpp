// The sweep binary's operator new and delete: the C heap, with every
// allocation first asking the sweep whether it must fail, so that the
// allocations of protobuf and the standard library are swept along with
// the library's own. A failing new throws std::bad_alloc (its nothrow
// forms return NULL), as it would on exhaustion.
#include <cstddef>
#include <cstdlib>
#include <new>

#include "base/alloc_faults.h"

namespace {

void* allocate(std::size_t n, std::size_t alignment) noexcept {
  if (vorlet::v2::alloc_faults::fail_next()) return nullptr;
  if (n == 0) n = 1;
  if (alignment <= alignof(std::max_align_t)) return std::malloc(n);
  n = (n + alignment - 1) / alignment * alignment;  // aligned_alloc wants a multiple
  return std::aligned_alloc(alignment, n);
}

void* allocate_or_throw(std::size_t n, std::size_t alignment) {
  void* p = allocate(n, alignment);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

constexpr std::size_t kPlain = alignof(std::max_align_t);

}  // namespace

void* operator new(std::size_t n) { return allocate_or_throw(n, kPlain); }
void* operator new[](std::size_t n) { return allocate_or_throw(n, kPlain); }
void* operator new(std::size_t n, std::align_val_t a) { return allocate_or_throw(n, static_cast<std::size_t>(a)); }
void* operator new[](std::size_t n, std::align_val_t a) { return allocate_or_throw(n, static_cast<std::size_t>(a)); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return allocate(n, kPlain); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return allocate(n, kPlain); }
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return allocate(n, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return allocate(n, static_cast<std::size_t>(a));
}

void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
