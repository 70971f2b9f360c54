#include "alloc_counter.h"

#include <atomic>
#include <cstddef>

namespace bench {
namespace {

std::atomic<bool> g_open{false};
std::atomic<uint64_t> g_count{0};

inline void count() {
  if (g_open.load(std::memory_order_relaxed)) g_count.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

#ifdef VORLET_BENCH_COUNT_ALLOCS

bool alloc_counter_available() { return true; }

}  // namespace bench

// The process's allocator entry points, counted and handed to the C
// library's own implementation. Defined in the executable, they take the
// place of the C library's for every shared object, the runtime included.
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* p, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* p);

void* malloc(size_t size) {
  bench::count();
  return __libc_malloc(size);
}
void* calloc(size_t count, size_t size) {
  bench::count();
  return __libc_calloc(count, size);
}
void* realloc(void* p, size_t size) {
  bench::count();
  return __libc_realloc(p, size);
}
void free(void* p) { __libc_free(p); }
void* memalign(size_t alignment, size_t size) {
  bench::count();
  return __libc_memalign(alignment, size);
}
void* aligned_alloc(size_t alignment, size_t size) {
  bench::count();
  return __libc_memalign(alignment, size);
}
int posix_memalign(void** out, size_t alignment, size_t size) {
  bench::count();
  void* p = __libc_memalign(alignment, size);
  if (p == nullptr) return 12;  // ENOMEM
  *out = p;
  return 0;
}
}

namespace bench {

#else

bool alloc_counter_available() { return false; }

#endif

void alloc_counter_open() {
  g_count.store(0, std::memory_order_relaxed);
  g_open.store(true, std::memory_order_seq_cst);
}

uint64_t alloc_counter_close() {
  g_open.store(false, std::memory_order_seq_cst);
  return g_count.load(std::memory_order_relaxed);
}

}  // namespace bench
