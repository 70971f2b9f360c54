// Allocation entries of the library. A size of 0 allocates 1 byte, so NULL
// always means exhaustion; overflowing products are refused without
// allocating. Blocks of rt_aligned_calloc go back through rt_aligned_free,
// every other block through rt_free.
#pragma once

#include <cstdint>
#include <memory>

namespace vorlet::v2 {

void* rt_malloc(uint64_t n) noexcept;
void* rt_realloc(void* p, uint64_t n) noexcept;
void* rt_calloc(uint64_t count, uint64_t size) noexcept;
void rt_free(void* p) noexcept;

void* rt_aligned_calloc(uint64_t alignment, uint64_t count, uint64_t size) noexcept;
void rt_aligned_free(void* p) noexcept;

struct RtFree {
  void operator()(void* p) const noexcept { rt_free(p); }
};

// Owns one rt_malloc block until release() hands it on.
using HeapBlock = std::unique_ptr<void, RtFree>;

}  // namespace vorlet::v2
